// SPDX-License-Identifier: MPL-2.0
// Security modes and policies of a secure channel, the parameters of every policy and the
// RSA block arithmetic. Header-only, so that the channel code can use it without linking
// the cryptography.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ua/security/hash.h"
#include "ua/security/security_error.h"

namespace varo::ua {

enum TuaSecureMode : uint8_t { uaSNULL = 0, uaSNone = 1, uaSSign = 2, uaSSignAndEncrypt = 3 };

enum TuaSecurePolicy : uint8_t {
  uaSPNULL = 0,
  uaSPNone = 1,
  uaSPBasic128Rsa15 = 2,
  uaSPBasic256 = 3,
  uaSPBasic256Sha256 = 4,
  uaSPAes128_Sha256_RsaOaep = 5,
  uaSPAes256_Sha256_RsaPss = 6,
};

// Whose certificate: the server's (remote) or the client's own (local).
enum TCertificateUsage : uint8_t { cuUseRemoteKey = 0, cuUseLocalKey = 1 };

enum TRSAPadding : uint8_t { rpPKCS = 0, rpOAEP = 1, rpPSS = 2 };

// Scoped: the value names would otherwise clash with OpenSSL's SHA1()/SHA256() functions.
enum class THashAlgorithm : uint8_t { SHA1 = 0, SHA256 = 1 };

enum TSymmAlgorithm : uint8_t { saAES128 = 0, saAES192 = 1, saAES256 = 2 };

// The provider implementations a client can choose from.
enum TuaSecurityLib : uint8_t { uaSOpenSSL = 0, uaSNative = 1 };

constexpr THashAlg ToHashAlg(THashAlgorithm h) {
  return h == THashAlgorithm::SHA256 ? THashAlg::Sha256 : THashAlg::Sha1;
}
constexpr size_t HashAlgorithmSize(THashAlgorithm h) {
  return h == THashAlgorithm::SHA256 ? 32 : 20;
}

// Algorithm URIs used by the policies.
namespace uaAlgorithmUri {
inline constexpr std::string_view kRsa15 = "http://www.w3.org/2001/04/xmlenc#rsa-1_5";
inline constexpr std::string_view kRsaOaep = "http://www.w3.org/2001/04/xmlenc#rsa-oaep";
inline constexpr std::string_view kRsaOaepSha256 = "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256";
inline constexpr std::string_view kRsaSha1 = "http://www.w3.org/2000/09/xmldsig#rsa-sha1";
inline constexpr std::string_view kRsaSha256 = "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256";
inline constexpr std::string_view kRsaPssSha256 = "http://opcfoundation.org/UA/security/rsa-pss-sha2-256";
inline constexpr std::string_view kHmacSha1 = "http://www.w3.org/2000/09/xmldsig#hmac-sha1";
inline constexpr std::string_view kHmacSha256 = "http://www.w3.org/2000/09/xmldsig#hmac-sha256";
inline constexpr std::string_view kAes128Cbc = "http://www.w3.org/2001/04/xmlenc#aes128-cbc";
inline constexpr std::string_view kAes256Cbc = "http://www.w3.org/2001/04/xmlenc#aes256-cbc";
inline constexpr std::string_view kPSha1 =
    "http://docs.oasis-open.org/ws-sx/ws-secureconversation/200512/dk/p_sha1";
inline constexpr std::string_view kPSha256 =
    "http://docs.oasis-open.org/ws-sx/ws-secureconversation/200512/dk/p_sha256";
}  // namespace uaAlgorithmUri

// Everything the channel needs to know about one security policy. Lengths are in bytes
// unless the name says bits.
struct uaSecurityPolicyInfo {
  TuaSecurePolicy fPolicy;
  std::string_view fName;
  std::string_view fUri;
  // Asymmetric encryption (OpenSecureChannel chunks, secrets such as passwords).
  std::string_view fAsymmetricEncryptionUri;
  TRSAPadding fAsymmetricEncryptionPadding;
  THashAlgorithm fAsymmetricEncryptionHash;  // OAEP hash and MGF1 hash
  // Asymmetric signature.
  std::string_view fAsymmetricSignatureUri;
  TRSAPadding fAsymmetricSignaturePadding;
  THashAlgorithm fAsymmetricSignatureHash;
  size_t fPssSaltLength;  // 0 unless the signature padding is PSS
  // Symmetric signature (HMAC).
  std::string_view fSymmetricSignatureUri;
  THashAlgorithm fSymmetricSignatureHash;
  size_t fSymmetricSignatureSize;
  // Symmetric encryption (AES-CBC).
  std::string_view fSymmetricEncryptionUri;
  TSymmAlgorithm fSymmetricAlgorithm;
  size_t fSymmetricBlockSize;  // 1 for None
  // Key derivation.
  std::string_view fKeyDerivationUri;
  THashAlgorithm fKeyDerivationHash;
  size_t fSigningKeyLength;
  size_t fEncryptingKeyLength;
  size_t fInitVectorLength;
  // Client nonce of OpenSecureChannel.
  size_t fNonceLength;
  // Accepted RSA modulus sizes of both certificates.
  uint32_t fMinAsymmetricKeyBits;
  uint32_t fMaxAsymmetricKeyBits;

  bool HasSecurity() const { return fPolicy != uaSPNone; }
  bool AsymmetricKeySizeAllowed(size_t bits) const {
    return HasSecurity() && bits >= fMinAsymmetricKeyBits && bits <= fMaxAsymmetricKeyBits;
  }
  // Length of the P_SHA stream one side's key set takes: signing key, encrypting key, IV.
  size_t DerivedKeyStreamLength() const {
    return fSigningKeyLength + fEncryptingKeyLength + fInitVectorLength;
  }
};

namespace policy_detail {
using H = THashAlgorithm;
namespace U = uaAlgorithmUri;
inline constexpr std::array<uaSecurityPolicyInfo, 6> kPolicies{{
    {uaSPNone, "None", "http://opcfoundation.org/UA/SecurityPolicy#None",
     {},       rpPKCS, H::SHA1,
     {},       rpPKCS, H::SHA1,
     0,        {},     H::SHA1,
     0,        {},     saAES128,
     1,        {},     H::SHA1,
     0,        0,      0,
     0,        0,      0},
    {uaSPBasic128Rsa15,
     "Basic128Rsa15",
     "http://opcfoundation.org/UA/SecurityPolicy#Basic128Rsa15",
     U::kRsa15,
     rpPKCS,
     H::SHA1,
     U::kRsaSha1,
     rpPKCS,
     H::SHA1,
     0,
     U::kHmacSha1,
     H::SHA1,
     20,
     U::kAes128Cbc,
     saAES128,
     16,
     U::kPSha1,
     H::SHA1,
     16,
     16,
     16,
     16,
     1024,
     2048},
    {uaSPBasic256,
     "Basic256",
     "http://opcfoundation.org/UA/SecurityPolicy#Basic256",
     U::kRsaOaep,
     rpOAEP,
     H::SHA1,
     U::kRsaSha1,
     rpPKCS,
     H::SHA1,
     0,
     U::kHmacSha1,
     H::SHA1,
     20,
     U::kAes256Cbc,
     saAES256,
     16,
     U::kPSha1,
     H::SHA1,
     24,
     32,
     16,
     32,
     1024,
     2048},
    {uaSPBasic256Sha256,
     "Basic256Sha256",
     "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256",
     U::kRsaOaep,
     rpOAEP,
     H::SHA1,
     U::kRsaSha256,
     rpPKCS,
     H::SHA256,
     0,
     U::kHmacSha256,
     H::SHA256,
     32,
     U::kAes256Cbc,
     saAES256,
     16,
     U::kPSha256,
     H::SHA256,
     32,
     32,
     16,
     32,
     2048,
     4096},
    {uaSPAes128_Sha256_RsaOaep,
     "Aes128_Sha256_RsaOaep",
     "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep",
     U::kRsaOaep,
     rpOAEP,
     H::SHA1,
     U::kRsaSha256,
     rpPKCS,
     H::SHA256,
     0,
     U::kHmacSha256,
     H::SHA256,
     32,
     U::kAes128Cbc,
     saAES128,
     16,
     U::kPSha256,
     H::SHA256,
     32,
     16,
     16,
     32,
     2048,
     4096},
    {uaSPAes256_Sha256_RsaPss,
     "Aes256_Sha256_RsaPss",
     "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss",
     U::kRsaOaepSha256,
     rpOAEP,
     H::SHA256,
     U::kRsaPssSha256,
     rpPSS,
     H::SHA256,
     32,
     U::kHmacSha256,
     H::SHA256,
     32,
     U::kAes256Cbc,
     saAES256,
     16,
     U::kPSha256,
     H::SHA256,
     32,
     32,
     16,
     32,
     2048,
     4096},
}};
}  // namespace policy_detail

// Every policy with message security parameters, None first.
inline constexpr const std::array<uaSecurityPolicyInfo, 6>& SecurityPolicies() {
  return policy_detail::kPolicies;
}

// The parameters of a policy; uaSPNULL (no policy chosen) or a value outside the enumeration
// raises EuaSecurityError.
inline const uaSecurityPolicyInfo& SecurityPolicyInfo(TuaSecurePolicy policy) {
  for (const auto& p : policy_detail::kPolicies)
    if (p.fPolicy == policy) return p;
  throw EuaSecurityError("Unsupported security policy: " + std::to_string(static_cast<int>(policy)));
}

// The policy of a URI (exact match), uaSPNULL when it is not one of ours.
inline TuaSecurePolicy SecurityPolicyFromUri(std::string_view uri) {
  for (const auto& p : policy_detail::kPolicies)
    if (p.fUri == uri) return p.fPolicy;
  return uaSPNULL;
}

// The URI of a policy; empty for uaSPNULL.
inline std::string_view SecurityPolicyUri(TuaSecurePolicy policy) {
  for (const auto& p : policy_detail::kPolicies)
    if (p.fPolicy == policy) return p.fUri;
  return {};
}

// Nonce length of the client's OpenSecureChannel request; 0 for None and uaSPNULL.
inline size_t SecurityPolicyNonceLength(TuaSecurePolicy policy) {
  return policy == uaSPNULL ? 0 : SecurityPolicyInfo(policy).fNonceLength;
}

// ---------------------------------------------------------------------------------------
// RSA block arithmetic (k = modulus length in bytes)

// Plaintext bytes per RSA block: k - 11 for PKCS#1 v1.5, k - 42 for OAEP with SHA-1, k - 66
// for OAEP with SHA-256; 0 for PSS (a signature padding) and for a key too short to hold the
// padding.
constexpr size_t RsaPlainBlockSize(size_t k, TRSAPadding padding, THashAlgorithm hash) {
  size_t overhead = 0;
  switch (padding) {
    case rpPKCS:
      overhead = 11;
      break;
    case rpOAEP:
      overhead = 2 * HashAlgorithmSize(hash) + 2;
      break;
    default:
      return 0;
  }
  return k > overhead ? k - overhead : 0;
}

// Number of RSA blocks needed for `length` bytes cut into `blockSize` pieces (the last
// piece may be shorter); raises for a zero block size.
inline size_t RsaBlockCount(size_t length, size_t blockSize) {
  if (blockSize == 0) throw EuaSecurityError("RSA block size is 0");
  return length / blockSize + (length % blockSize != 0 ? 1 : 0);
}

// Bytes of ciphertext for `plainLength` bytes of plaintext: k per started plain block.
inline size_t RsaCipherTextSize(size_t k, size_t plainBlockSize, size_t plainLength) {
  return k * RsaBlockCount(plainLength, plainBlockSize);
}

// The asymmetric padding of a chunk carries a second size byte for keys above 2048 bits.
constexpr bool RsaNeedsExtraPaddingByte(size_t k) {
  return k > 256;
}

}  // namespace varo::ua
