// SPDX-License-Identifier: MPL-2.0
#include "ua/security/psha.h"

#include <limits>

#include "ua/security/security_error.h"

namespace varo::ua {

ByteArray PSHA_impl(THashAlg alg, std::string_view label, ByteSpan secret, ByteSpan seed, size_t offset,
                    size_t length) {
  if (length > std::numeric_limits<size_t>::max() - offset) throw NativeSecurityError("key length overflow");
  ByteArray s;
  s.reserve(label.size() + seed.size());
  s.insert(s.end(), label.begin(), label.end());
  s.insert(s.end(), seed.begin(), seed.end());

  ByteArray out;
  if (length == 0) return out;
  out.reserve(length);
  const THmac keyed(alg, secret);  // the secret's key blocks are hashed once for all rounds
  const size_t blockSize = keyed.size();

  THmac first = keyed;
  first.update(s);
  ByteArray a = first.final();  // A(1)
  size_t streamPos = 0;         // position of the current block in the P_hash stream
  const size_t end = offset + length;
  while (streamPos < end) {
    if (streamPos + blockSize > offset) {
      THmac block = keyed;
      block.update(a);
      block.update(s);
      const ByteArray b = block.final();
      const size_t from = offset > streamPos ? offset - streamPos : 0;
      const size_t to = std::min(blockSize, end - streamPos);
      out.insert(out.end(), b.begin() + static_cast<ptrdiff_t>(from), b.begin() + static_cast<ptrdiff_t>(to));
    }
    streamPos += blockSize;
    if (streamPos >= end) break;
    THmac next = keyed;
    next.update(a);
    a = next.final();
  }
  return out;
}

ByteArray PSha(THashAlg alg, ByteSpan secret, ByteSpan seed, size_t length) {
  return PSHA_impl(alg, {}, secret, seed, 0, length);
}

}  // namespace varo::ua
