// SPDX-License-Identifier: MPL-2.0
// RSA keys, the RSA primitive and the PKCS#1 encodings: v1.5 encryption and signatures,
// OAEP with SHA-1 or SHA-256 and PSS with SHA-1 or SHA-256 (MGF1 with the same hash).
//
// Every failure raises EuaSecurityError with a "Native Security Error: " message. Decryption
// failures of both paddings go through one path with one message, "decrypt error", after a
// decoding whose timing does not depend on where the padding is wrong.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/bytes.h"
#include "ua/security/bignum.h"
#include "ua/security/hash.h"

namespace varo::ua {

enum class TRSAEncryptionType { sbePKCS, sbeOAEP };
enum class TRSAHashType { rsahfMD5, rsahfSHA1, rsahfSHA256, rsahfSHA384, rsahfSHA512 };

// Accepted modulus sizes in bits.
inline constexpr size_t kRsaMinModulusBits = 512;
inline constexpr size_t kRsaMaxModulusBits = 8192;

class TRsaPublicKey {
 public:
  // Big-endian magnitudes. An even, zero, too short or too long modulus, or an exponent
  // that is even, below 3 or not below the modulus, raises.
  TRsaPublicKey(ByteSpan modulus, ByteSpan exponent);
  TRsaPublicKey(const TLInt& modulus, const TLInt& exponent);

  // k, the modulus length in bytes (the RSA block size).
  size_t ByteLength() const { return k_; }
  size_t BitLength() const { return n_.BitLength(); }
  const TLInt& Modulus() const { return n_; }
  const TLInt& Exponent() const { return e_; }
  const TMontgomery& Mont() const { return *mont_; }

  // input^e mod n as exactly k bytes. The input must be at most k bytes and below n.
  ByteArray Raw(ByteSpan input) const;
  TLInt RawInt(const TLInt& x) const;

 private:
  TLInt n_, e_;
  size_t k_ = 0;
  std::shared_ptr<const TMontgomery> mont_;
};

// Private key with CRT parameters. Copies share the precomputed state and the blinding
// values (guarded by a lock), so a key may be used from several threads.
class TRsaPrivateKey {
 public:
  // All parameters given; they are checked for consistency (p * q == n, e * dp == 1 mod
  // p - 1, e * dq == 1 mod q - 1, q * qinv == 1 mod p).
  static TRsaPrivateKey FromCrt(ByteSpan n, ByteSpan e, ByteSpan d, ByteSpan p, ByteSpan q, ByteSpan dp,
                                ByteSpan dq, ByteSpan qinv);
  // dp, dq and qinv are computed from d, p and q.
  static TRsaPrivateKey FromPrimes(ByteSpan n, ByteSpan e, ByteSpan d, ByteSpan p, ByteSpan q);

  const TRsaPublicKey& PublicKey() const;
  size_t ByteLength() const { return PublicKey().ByteLength(); }

  // input^d mod n as exactly k bytes, computed with CRT on a blinded input and checked with
  // the public exponent before it is returned. The input must be at most k bytes and below n.
  ByteArray Raw(ByteSpan input) const;

  struct Impl;

 private:
  explicit TRsaPrivateKey(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<Impl> impl_;
};

// Hash helpers: only rsahfSHA1 and rsahfSHA256; others raise "unknown HashFunction".
size_t RsaHashSize(TRSAHashType hash);
ByteArray RsaHash(TRSAHashType hash, ByteSpan data);
// Mask generation function 1 over the given hash.
ByteArray MGF1(ByteSpan seed, size_t maskLength, TRSAHashType hash);
// DER prefix of the DigestInfo of a PKCS#1 v1.5 signature.
ByteSpan DigestInfoPrefix(TRSAHashType hash);

// Plaintext bytes per RSA block: k - 11 for PKCS#1 v1.5, k - 42 for OAEP SHA-1, k - 66 for
// OAEP SHA-256, 0 for anything else or a key too short for the padding.
size_t RSAPlainBlockSize(size_t k, TRSAEncryptionType type, TRSAHashType hash);

// PKCS#1 v1.5 type 2: at most k - 11 bytes; the padding is random non-zero bytes from the
// operating system's secure random source.
ByteArray RSAEncryptPKCS(const TRsaPublicKey& key, ByteSpan message);
// Accepts exactly 0x00 0x02, at least 8 non-zero bytes, 0x00, message.
ByteArray RSADecryptPKCS(const TRsaPrivateKey& key, ByteSpan cipher);

// OAEP with MGF1 of the same hash; the label is empty in every policy.
ByteArray RSAEncryptOAEP(const TRsaPublicKey& key, ByteSpan message, TRSAHashType hash, ByteSpan label = {});
// The ciphertext must be exactly k bytes and below the modulus.
ByteArray RSADecryptOAEP(const TRsaPrivateKey& key, ByteSpan cipher, TRSAHashType hash, ByteSpan label = {});

// RSASSA-PKCS1-v1_5: hashes the data and signs its DigestInfo.
ByteArray RSASignPKCS1v15(const TRsaPrivateKey& key, ByteSpan data, TRSAHashType hash);
bool RSAVerifyPKCS1v15(const TRsaPublicKey& key, ByteSpan data, ByteSpan signature, TRSAHashType hash);

// RSASSA-PSS over a message hash, with a random salt of saltLength bytes.
ByteArray RSASignPSS(const TRsaPrivateKey& key, ByteSpan messageHash, TRSAHashType hash, size_t saltLength);
bool RSAVerifyPSS(const TRsaPublicKey& key, ByteSpan messageHash, ByteSpan signature, TRSAHashType hash,
                  size_t saltLength);

// Block-wise encryption: the plaintext is cut into RSAPlainBlockSize pieces (the last may be
// shorter, or is zero-filled to a whole block when fill is set), each encrypted into k bytes.
ByteArray RSAEncryptBlocks(const TRsaPublicKey& key, TRSAEncryptionType type, TRSAHashType hash,
                           ByteSpan plain, bool fill = false);
// Block-wise decryption of whole k-byte blocks; the decrypted messages are concatenated.
ByteArray RSADecryptBlocks(const TRsaPrivateKey& key, TRSAEncryptionType type, TRSAHashType hash,
                           ByteSpan cipher);

// Deterministic encodings with the random parts given, for known-answer tests.
namespace rsa_detail {
// EM = 0x00 || maskedSeed || maskedDB for a k-byte block; seed is hLen bytes.
ByteArray EncodeOAEP(ByteSpan message, ByteSpan label, TRSAHashType hash, size_t k, ByteSpan seed);
ByteArray EncryptOAEPWithSeed(const TRsaPublicKey& key, ByteSpan message, TRSAHashType hash, ByteSpan label,
                              ByteSpan seed);
// EMSA-PSS encoding for emBits = modBits - 1.
ByteArray EncodePSS(ByteSpan messageHash, size_t emBits, TRSAHashType hash, ByteSpan salt);
ByteArray SignPSSWithSalt(const TRsaPrivateKey& key, ByteSpan messageHash, TRSAHashType hash, ByteSpan salt);
}  // namespace rsa_detail

}  // namespace varo::ua
