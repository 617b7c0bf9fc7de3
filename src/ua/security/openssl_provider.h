// SPDX-License-Identifier: MPL-2.0
// The security provider that does its cryptography through OpenSSL 3's libcrypto. The
// library is not linked: it is loaded at run time ("libcrypto.so.3", then "libcrypto.so")
// and its functions are resolved by name, so the program also runs where OpenSSL is not
// installed. The provider then reports itself unavailable: creating one raises
// EuaSecurityError with the reason.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "platform/bytes.h"
#include "ua/security/provider.h"

namespace varo::ua {

// Registers the OpenSSL provider in slot uaSOpenSSL of SecurityLibClasses. Call it at
// start-up; calling it again changes nothing. The slot is registered even without OpenSSL:
// a provider created from it then raises the reason.
void RegisterOpenSSLSecurityLib();

// True when libcrypto could be loaded and every function the provider needs was found.
// Otherwise false, with the reason in *why (when given). The library is loaded once per
// process, on the first call of this function or the first provider created.
bool OpenSSLSecurityAvailable(std::string* why = nullptr);

namespace openssl_detail {
struct TOpenSSLApi;
class TOpenSSLAsym;
class TOpenSSLSym;

// One load attempt over the given library names, tried in order, without the process-wide
// caching of OpenSSLSecurityAvailable. Returns the resolved functions, or null with the
// reason ("Could not load OpenSSL : " followed by what failed) in `why`. A library that
// was opened stays loaded for the rest of the run.
std::shared_ptr<const TOpenSSLApi> LoadCryptoLibrary(std::span<const char* const> names, std::string& why);
}  // namespace openssl_detail

// The provider: RSA with EVP_PKEY contexts (PKCS#1 v1.5 and OAEP encryption, PKCS#1 v1.5
// and PSS signatures), HMAC with EVP_MAC and AES-CBC with EVP_CIPHER_CTX. Received
// signatures, asymmetric and symmetric, are verified.
class TIndy_OpenSSL : public uaMessageSecurityImpl {
 public:
  // Raises EuaSecurityError when OpenSSL is not available.
  TIndy_OpenSSL();
  ~TIndy_OpenSSL() override;

  std::unique_ptr<uaMessageSecurityImpl> Create() const override;
  TuaSecurityLib SecurityLib() const override { return uaSOpenSSL; }

  // The library version text and number as OpenSSL reports them, "OpenSSL 3.0.x ... (030000...)".
  std::string LibraryVersion() const;

 private:
  std::shared_ptr<const openssl_detail::TOpenSSLApi> fApi;
  std::unique_ptr<openssl_detail::TOpenSSLAsym> fAsymImpl;
  std::unique_ptr<openssl_detail::TOpenSSLSym> fSymImpl;
};

}  // namespace varo::ua
