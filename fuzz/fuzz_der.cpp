// SPDX-License-Identifier: MPL-2.0
// Walks arbitrary bytes as nested DER elements and renders every primitive value. Only
// EuaSecurityError may escape the reader; anything else (or a sanitizer report) is a fault.
#include <cstddef>
#include <cstdint>

#include "ua/security/der.h"

using namespace varo;
using namespace varo::ua;

namespace {

void Render(uint8_t tag, ByteSpan content) {
  try {
    switch (tag) {
      case kDerInteger: {
        ASN1Integer i;
        i.Assign(tag, content);
        (void)i.ToStringDecimal();
        (void)i.ToInt64();
        break;
      }
      case kDerOid: {
        ASN1ObjectIdentifier o;
        o.Assign(tag, content);
        (void)o.ToString();
        (void)OIDNames::getTagForOid(o);
        break;
      }
      case kDerUtcTime:
      case kDerGeneralizedTime: {
        ASN1Time t;
        t.Assign(tag, content);
        (void)t.ToString();
        (void)t.Time();
        break;
      }
      default: {
        ASN1StringType s;
        s.Assign(tag, content);
        (void)s.ToString();
        DERBitString b;
        b.Assign(tag, content);
        (void)b.ToString();
      }
    }
  } catch (const EuaSecurityError&) {
  }
}

void Walk(DERReader r, int depth) {
  while (!r.AtEnd()) {
    const DERHeader h = r.ReadItem();
    if ((h.tag & 0x20) && depth < 64) {
      Walk(DERReader(r.Data(), h.contentPos, h.endPos()), depth + 1);
    } else {
      Render(h.tag, r.Data().subspan(h.contentPos, h.length));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    Walk(DERReader(ByteSpan(data, size)), 0);
  } catch (const EuaSecurityError&) {
  }
  return 0;
}
