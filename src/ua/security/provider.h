// SPDX-License-Identifier: MPL-2.0
// The security provider of a secure channel: the asymmetric and symmetric interfaces every
// provider implements, the operations all providers share (loading keys and certificates,
// block-wise RSA, secret encryption, key installation, P_SHA) and the registry of the
// provider implementations.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "platform/bytes.h"
#include "ua/security/hash.h"
#include "ua/security/policy.h"
#include "ua/security/policy_keys.h"
#include "ua/security/rsa.h"

namespace varo::ua {

// What a provider needs from the channel it is installed in.
class IuaSecurityChannel {
 public:
  virtual ~IuaSecurityChannel() = default;
  // Stores a certificate in the channel's connection data.
  virtual void SetCertificate(TCertificateUsage usage, ByteArray der) = 0;
};

// RSA with the client's private key and the two certificates. Positions are byte offsets
// into the given buffers; "end" is exclusive. Implementations raise EuaSecurityError.
class uaMessageSecurityAsym {
 public:
  virtual ~uaMessageSecurityAsym() = default;

  // Padding and OAEP hash of decryption with the client's private key.
  virtual void initRSADecrypt(TCertificateUsage usage, TRSAPadding padding, THashAlgorithm hash) = 0;
  // Padding and OAEP hash of the channel's encryption with the server's key.
  virtual void initRSAEncrypt(TCertificateUsage usage, TRSAPadding padding, THashAlgorithm hash) = 0;
  virtual void setRSAEncryptMode(TRSAPadding padding, THashAlgorithm hash) = 0;
  // Loads the public key of a DER certificate as the server's (remote) or the client's
  // (local) key. The private key is loaded before the local certificate.
  virtual void LoadPublicCertificate(ByteSpan der, TCertificateUsage usage) = 0;
  virtual void LoadPrivateKey(ByteSpan bytes, std::string_view password) = 0;
  // Modulus length in bytes of the remote or local key; 0 when none is loaded.
  virtual size_t RSASize(TCertificateUsage usage) const = 0;
  virtual std::string getCertificateApplicationName(TCertificateUsage usage) const = 0;
  // Encrypts plain[offset, end) with the server's key block by block: p plaintext bytes
  // (fewer for the last block) into k bytes of result each, one after another.
  virtual void EncryptRsa(ByteSpan plain, size_t offset, size_t end, std::span<uint8_t> result, size_t p,
                          size_t k) = 0;
  // Decrypts cipher[offset, end) in k-byte blocks with the client's private key, writes the
  // decrypted messages one after another into result and returns the bytes written.
  virtual size_t DecryptRsa(ByteSpan cipher, size_t offset, size_t end, std::span<uint8_t> result, size_t p,
                            size_t k) = 0;
  // Signature of data[offset, end) with the client's private key.
  virtual ByteArray Sign_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset,
                             size_t end) = 0;
  // Signature with a separately supplied private key.
  virtual ByteArray Sign_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset,
                             size_t end, ByteSpan key, std::string_view password) = 0;
  // Checks the server's signature over data[offset, end) with the server's key (the
  // OpenSecureChannel response). A wrong signature returns false; implementations compare in
  // constant time (VerifyRsaSignature does).
  virtual bool Verify_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset, size_t end,
                          ByteSpan signature) = 0;
  // Encrypts a secret (a user password) with the server's key under its own padding and hash,
  // leaving the channel's encryption settings as they are. Same layout as EncryptRsa.
  virtual void EncryptRsaSecret(TRSAPadding padding, THashAlgorithm hash, ByteSpan plain, size_t offset,
                                size_t end, std::span<uint8_t> result, size_t p, size_t k) = 0;
};

// HMAC and AES-CBC with the keys of the current channel token.
class uaMessageSecuritySym {
 public:
  virtual ~uaMessageSecuritySym() = default;

  // Keys the HMAC of outgoing chunks (the client's signing key).
  virtual void InitSymmetricSign(THashAlgorithm hash, ByteSpan key) = 0;
  // HMAC of data[offset, offset + length): 20 or 32 bytes.
  virtual ByteArray SymmetricSign(ByteSpan data, size_t offset, size_t length) = 0;
  virtual void InitEncryptSymm(TSymmAlgorithm algorithm, ByteSpan key, ByteSpan iv) = 0;
  // AES-CBC of input[offset, offset + length) into output[0, length); every call starts from
  // the stored IV. The length is a multiple of 16.
  virtual void encryptSymm(ByteSpan input, size_t offset, std::span<uint8_t> output, size_t length) = 0;
  virtual void InitDecryptSymm(TSymmAlgorithm algorithm, ByteSpan key, ByteSpan iv) = 0;
  virtual void DecryptSymm(ByteSpan input, size_t offset, std::span<uint8_t> output, size_t length) = 0;
  // Keys the HMAC that checks incoming chunks (the server's signing key).
  virtual void InitSymmetricVerify(THashAlgorithm hash, ByteSpan key) = 0;
  // True when signature is the HMAC of data[offset, offset + length) under the verify key;
  // compared in constant time. False when no verify key is set.
  virtual bool SymmetricVerify(ByteSpan data, size_t offset, size_t length, ByteSpan signature) = 0;
};

// The asymmetric sizes of one direction of an OpenSecureChannel exchange.
struct uaAsymmetricSizes {
  size_t fKeySize = 0;         // k of the encrypting key
  size_t fPlainBlockSize = 0;  // plaintext bytes per block
  size_t fSignatureSize = 0;   // k of the signing key
  bool fExtraPaddingByte = false;
};

// Base of every security provider. A provider is owned by its channel (std::unique_ptr);
// the two interface pointers refer to parts the derived class owns.
class uaMessageSecurityImpl {
 public:
  uaMessageSecurityImpl() = default;
  uaMessageSecurityImpl(const uaMessageSecurityImpl&) = delete;
  uaMessageSecurityImpl& operator=(const uaMessageSecurityImpl&) = delete;
  virtual ~uaMessageSecurityImpl() = default;

  // A new provider of the same class, in its initial state.
  virtual std::unique_ptr<uaMessageSecurityImpl> Create() const = 0;
  // The registry slot of the class.
  virtual TuaSecurityLib SecurityLib() const = 0;

  // The channel the provider is installed in; set by the channel, cleared when it drops the
  // provider.
  void setChannel(IuaSecurityChannel* channel) { fuaChannel = channel; }
  IuaSecurityChannel* channel() const { return fuaChannel; }

  // The interfaces; raise EuaSecurityError when the derived class has not set them.
  uaMessageSecurityAsym& asym() const;
  uaMessageSecuritySym& sym() const;

  // HMAC of the key derivation.
  struct THMAC {
    THashAlgorithm fMode = THashAlgorithm::SHA1;
    ByteArray Compute(ByteSpan data, ByteSpan key) const { return Hmac(ToHashAlg(fMode), key, data); }
  };

  // ---- Loading keys and certificates ----
  // The whole file, or the stream from its position to its end. Raises EuaSecurityError
  // when the file cannot be read or holds more than kMaxKeyFileSize bytes.
  static constexpr size_t kMaxKeyFileSize = 1u << 20;
  static ByteArray LoadDERFile(const std::filesystem::path& path);
  static ByteArray LoadDERFromStream(std::istream& stream);

  void LoadPrivateKey(const std::filesystem::path& path, std::string_view password);
  void LoadPrivateKey(std::istream& stream, std::string_view password);
  void LoadPrivateKey(ByteSpan bytes, std::string_view password);

  // Stores the certificate in the channel's connection data, then loads its key when the
  // bytes are not empty. The provider must be installed in a channel.
  void LoadPublicCertifitace(const std::filesystem::path& path, TCertificateUsage usage);
  void LoadPublicCertifitace(std::istream& stream, TCertificateUsage usage);
  void LoadPublicCertifitace(ByteSpan der, TCertificateUsage usage);

  // ---- Asymmetric operations ----
  static size_t RSABlockSize(size_t k, TRSAPadding padding, THashAlgorithm hash) {
    return RsaPlainBlockSize(k, padding, hash);
  }

  // Selects the policy's encryption padding for the sending direction (server's key) and
  // returns the sizes; all zero for None. Raises when a key is missing or its size is
  // outside the policy's limits.
  uaAsymmetricSizes AsymmetricSendSizes(TuaSecurePolicy policy);
  // Same for the receiving direction (client's private key).
  uaAsymmetricSizes AsymmetricReceiveSizes(TuaSecurePolicy policy);

  // Encrypts data[offset, end) with the server's key: k bytes per started plain block. With
  // `fill` the last block is padded with zero bytes to a whole plain block.
  ByteArray EncryptRsaBlocks(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset,
                             size_t end, bool fill = false);
  // Decrypts data[offset, end), which must be whole k-byte blocks of the client's key; the
  // result holds the decrypted messages one after another.
  ByteArray DecryptRsaBlocks(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset,
                             size_t end);
  // Encrypts a short secret (a user password) with the server's key, the last block padded
  // with zero bytes. Works with the remote key's own size and the given padding only; the
  // channel's encryption settings are not touched.
  ByteArray EncryptRsaPlainBlockSize(TRSAPadding padding, THashAlgorithm hash, ByteSpan plain);

  ByteArray Sign_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data);
  ByteArray Sign_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, ByteSpan key,
                     std::string_view password);
  bool Verify_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, ByteSpan signature);

  // ---- Symmetric keys ----
  // Keys the symmetric contexts for a newly activated token: signing with the client's
  // signing key, checking with the server's; with Sign or SignAndEncrypt also encryption
  // with the client's keys and decryption with the server's. Nothing for None.
  void ActivateKeys(TuaSecurePolicy policy, TuaSecureMode mode, const uaChannelKeys& keys);
  // Re-keys the receiving side (check and decryption) with another token's server keys.
  void SwitchReceiveKeys(TuaSecurePolicy policy, TuaSecureMode mode, const uaDerivedKeys& server);

  // Bytes [offset, offset + length) of the P_SHA stream of secret over label ‖ seed.
  static ByteArray PSHA_impl(const THMAC& hmac, std::string_view label, ByteSpan secret, ByteSpan seed,
                             size_t offset, size_t length);

 protected:
  IuaSecurityChannel* fuaChannel = nullptr;  // not owned
  uaMessageSecurityAsym* fasym = nullptr;    // owned by the derived class
  uaMessageSecuritySym* fsym = nullptr;      // owned by the derived class

 private:
  // The sizes once the direction's RSA mode is selected: `encrypting` names the key that
  // encrypts, `signing` the key that signs.
  uaAsymmetricSizes AsymmetricSizes(const uaSecurityPolicyInfo& info, TCertificateUsage encrypting,
                                    TCertificateUsage signing) const;
};

// ---- Helpers for provider implementations ----

// Raises EuaSecurityError unless offset <= end <= size.
void CheckSecurityRange(size_t size, size_t offset, size_t end);

TRSAHashType ToRsaHashType(THashAlgorithm hash);

// Checks an RSA signature over `data` with PKCS#1 v1.5 or PSS (salt as long as the digest);
// every other padding, a signature of the wrong length or a wrong signature returns false.
// The final comparison runs in constant time.
bool VerifyRsaSignature(const TRsaPublicKey& key, TRSAPadding padding, THashAlgorithm hash, ByteSpan data,
                        ByteSpan signature);

// Constant-time check of an HMAC: `keyed` is copied, fed data[offset, offset + length) and
// its result compared with signature. A range outside data returns false.
bool VerifyMac(const THmac& keyed, ByteSpan data, size_t offset, size_t length, ByteSpan signature);

// ---- Registry ----

using uaSecurityFactory = std::function<std::unique_ptr<uaMessageSecurityImpl>()>;

// The provider implementations by slot. Each provider module registers its factory once
// at start-up; a slot stays empty when the module is not part of the build.
class SecurityLibClasses {
 public:
  static void Register(TuaSecurityLib lib, uaSecurityFactory factory);
  static void Unregister(TuaSecurityLib lib);
  static bool IsRegistered(TuaSecurityLib lib);
  // The factory of a slot (empty when none is registered).
  static uaSecurityFactory Factory(TuaSecurityLib lib);
  // A new provider of the slot; an empty slot raises "iOS: Security not supported yet".
  static std::unique_ptr<uaMessageSecurityImpl> Create(TuaSecurityLib lib);
  // `current` when it is already of the slot's class, else a new provider of the slot.
  static std::unique_ptr<uaMessageSecurityImpl> Select(std::unique_ptr<uaMessageSecurityImpl> current,
                                                       TuaSecurityLib lib);
  // "uaSOpenSSL" or "uaSNative", and back (false for any other name).
  static std::string_view Name(TuaSecurityLib lib);
  static bool FromName(std::string_view name, TuaSecurityLib& lib);
};

inline constexpr const char* kSecurityNotSupported = "iOS: Security not supported yet";

}  // namespace varo::ua
