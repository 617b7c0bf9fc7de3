// SPDX-License-Identifier: MPL-2.0
// The native security provider: RSA with the system's own big numbers and PKCS#1 encodings,
// HMAC and AES-CBC of its own, keys and certificates read by its own DER/X.509 reader.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "ua/security/provider.h"
#include "ua/security/provider_sym.h"
#include "ua/security/rsa.h"

namespace varo::ua {

// Padding and OAEP hash last selected for one direction of the RSA encryption.
struct TMSKey {
  TRSAEncryptionType fEncType = TRSAEncryptionType::sbePKCS;
  TRSAHashType fHashFunction = TRSAHashType::rsahfSHA1;
};

// The asymmetric part: the client's private key, the public keys of the client's (local)
// and the server's (remote) certificate and their application URIs.
//
// Encryption uses the remote key with the padding of fRemote; decryption and signing use
// the private key, decryption with the padding of fPrivate. The two directions keep separate
// settings, so sending and receiving threads do not disturb each other. A failed load leaves
// the keys loaded before as they were.
class TAsym_Native : public uaMessageSecurityAsym {
 public:
  // The usage is not looked at: decryption is always with the private key, encryption
  // always with the server's key. A padding other than rpPKCS and rpOAEP raises "unknown
  // padding", a hash other than SHA1 and SHA256 "unknown HashFunction".
  void initRSADecrypt(TCertificateUsage usage, TRSAPadding padding, THashAlgorithm hash) override;
  void initRSAEncrypt(TCertificateUsage usage, TRSAPadding padding, THashAlgorithm hash) override;
  void setRSAEncryptMode(TRSAPadding padding, THashAlgorithm hash) override;

  // DER certificate bytes; a chain (leaf first) gives the leaf's key and URI. A local
  // certificate whose key is not the loaded private key's is refused.
  void LoadPublicCertificate(ByteSpan der, TCertificateUsage usage) override;
  // PEM text of a PKCS#1 or PKCS#8 key, or the DER of either. Encrypted keys are refused;
  // the password is not used. A loaded local certificate of another key is forgotten.
  void LoadPrivateKey(ByteSpan bytes, std::string_view password) override;
  // The server certificate's modulus length, or the client key's (the private key when one
  // is loaded, else the local certificate); 0 when there is none.
  size_t RSASize(TCertificateUsage usage) const override;
  // The first URI of the subject alternative names of the certificate of that usage; empty
  // when it has none or no certificate is loaded.
  std::string getCertificateApplicationName(TCertificateUsage usage) const override;

  void EncryptRsa(ByteSpan plain, size_t offset, size_t end, std::span<uint8_t> result, size_t p,
                  size_t k) override;
  size_t DecryptRsa(ByteSpan cipher, size_t offset, size_t end, std::span<uint8_t> result, size_t p,
                    size_t k) override;
  // rpPKCS signs the DigestInfo, rpPSS the hash with a salt as long as the digest; rpOAEP
  // raises "unknown Sign padding". The signature is k bytes.
  ByteArray Sign_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset,
                     size_t end) override;
  // Signs with the private key in `key` (read like LoadPrivateKey) instead of the loaded one.
  ByteArray Sign_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset, size_t end,
                     ByteSpan key, std::string_view password) override;
  // Checks a signature with the server certificate's key.
  bool Verify_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset, size_t end,
                  ByteSpan signature) override;
  void EncryptRsaSecret(TRSAPadding padding, THashAlgorithm hash, ByteSpan plain, size_t offset, size_t end,
                        std::span<uint8_t> result, size_t p, size_t k) override;

 private:
  struct Certificate {
    TRsaPublicKey key;
    std::string uri;
  };
  const TRsaPublicKey& RemoteKey(const char* operation) const;
  const TRsaPrivateKey& PrivateKey(const char* operation) const;
  static TMSKey Translate(TRSAPadding padding, THashAlgorithm hash);
  static TRsaPrivateKey ReadPrivateKey(ByteSpan bytes);
  void Encrypt(const TMSKey& mode, ByteSpan plain, size_t offset, size_t end, std::span<uint8_t> result,
               size_t p, size_t k) const;

  std::optional<TRsaPrivateKey> fLocalPrivateKey;
  std::optional<Certificate> fLocalCert;
  std::optional<Certificate> fRemoteCert;
  TMSKey fRemote;   // encryption with the server's key
  TMSKey fPrivate;  // decryption with the client's key
};

// HMAC and AES-CBC with one context per direction.
using TSym_Native = TuaSymmetricContext;

// The native provider; registered in slot uaSNative.
class TSecurityNative : public uaMessageSecurityImpl {
 public:
  TSecurityNative();
  ~TSecurityNative() override;

  std::unique_ptr<uaMessageSecurityImpl> Create() const override;
  TuaSecurityLib SecurityLib() const override { return uaSNative; }

 private:
  std::unique_ptr<TAsym_Native> fasymImpl;
  std::unique_ptr<TSym_Native> fsymImpl;
};

// Puts the native provider into slot uaSNative of SecurityLibClasses unless the slot already
// holds a provider. Safe to call any number of times; whoever needs the native provider
// calls it (a static library would drop a registration done by a static initialiser).
void RegisterNativeSecurityLib();

}  // namespace varo::ua
