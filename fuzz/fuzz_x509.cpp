// SPDX-License-Identifier: MPL-2.0
// Loads arbitrary bytes as a certificate (or chain) and asks for everything a caller uses.
#include <cstddef>
#include <cstdint>

#include "ua/security/x509.h"

using namespace varo;
using namespace varo::ua;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteSpan bytes(data, size);
  try {
    (void)SplitCertificateChain(bytes);
  } catch (const EuaSecurityError&) {
  }
  TX509Certificate cert;
  try {
    cert.Load(bytes);
  } catch (const EuaSecurityError&) {
    return 0;
  }
  const TBSCertificate& tbs = cert.Certificate();
  auto guarded = [](auto&& f) {
    try {
      f();
    } catch (const EuaSecurityError&) {
    }
  };
  guarded([&] { (void)cert.ToString(); });
  guarded([&] { (void)cert.PublicKey().KeyBitSize(); });
  guarded([&] { (void)cert.ApplicationUri(); });
  guarded([&] {
    for (const auto& ip : cert.SubjectAltNames().iPAddress) (void)IpAddressToString(ip);
  });
  guarded([&] { (void)tbs.NotBefore(); });
  guarded([&] { (void)tbs.NotAfter(); });
  guarded([&] { (void)tbs.Version(); });
  guarded([&] { (void)tbs.SerialNumber(); });
  (void)cert.isSelfIssued();
  (void)tbs.Issuer();
  (void)tbs.Subject();
  return 0;
}
