// SPDX-License-Identifier: MPL-2.0
// Parses arbitrary text as PEM and as private keys in PEM and DER form.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ua/security/pem.h"

using namespace varo;
using namespace varo::ua;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteSpan bytes(data, size);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto guarded = [](auto&& f) {
    try {
      f();
    } catch (const EuaSecurityError&) {
    }
  };
  guarded([&] { (void)ParsePem(text); });
  guarded([&] { (void)LoadPrivateKey(bytes, TFileFormat::PEM).ToString(); });
  guarded([&] { (void)LoadPrivateKey(bytes, TFileFormat::DER).KeyBitSize(); });
  guarded([&] {
    TX509Certificate cert;
    cert.Load(CertificateBytesToDer(bytes));
  });
  guarded([&] { (void)Base64DecodeStrict(text); });
  return 0;
}
