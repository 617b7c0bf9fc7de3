// SPDX-License-Identifier: MPL-2.0
#include "ua/security/rsa.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/random.h"

namespace varo::ua {

namespace {

// Failure raised by the native cryptography.
EuaSecurityError NativeError(const std::string& what) {
  return EuaSecurityError("Native Security Error: " + what);
}

[[noreturn]] void InvalidKey(const char* why) {
  throw NativeError(std::string("invalid RSA key: ") + why);
}
[[noreturn]] void EncryptError() {
  throw NativeError("encrypt error");
}
[[noreturn]] void DecryptError() {
  throw NativeError("decrypt error");
}
[[noreturn]] void SignError() {
  throw NativeError("sign error");
}

THashAlg ToHashAlg(TRSAHashType hash) {
  switch (hash) {
    case TRSAHashType::rsahfSHA1:
      return THashAlg::Sha1;
    case TRSAHashType::rsahfSHA256:
      return THashAlg::Sha256;
    default:
      throw NativeError("unknown HashFunction");
  }
}

// Branch-free byte masks: 0xFF.. when the condition holds, else 0.
inline size_t MaskIsZero(size_t x) {
  return ((x | (size_t{0} - x)) >> (sizeof(size_t) * 8 - 1)) - 1;
}
inline size_t MaskEq(size_t a, size_t b) {
  return MaskIsZero(a ^ b);
}
// a >= b for values below 2^63.
inline size_t MaskGe(size_t a, size_t b) {
  return ((a - b) >> (sizeof(size_t) * 8 - 1)) - 1;
}
inline size_t Select(size_t mask, size_t a, size_t b) {
  return (a & mask) | (b & ~mask);
}

// Uniform random value in [1, n - 1] by rejection sampling.
TLInt RandomBelow(const TLInt& n) {
  const size_t bits = n.BitLength();
  const size_t len = (bits + 7) / 8;
  const uint8_t topMask = static_cast<uint8_t>(0xFF >> (len * 8 - bits));
  for (;;) {
    ByteArray b = SecureRandomBytes(len);
    b[0] &= topMask;
    TLInt r = TLInt::FromBytes(b);
    if (!r.IsZero() && Compare(r, n) < 0) return r;
  }
}

void RandomNonZero(uint8_t* dst, size_t n) {
  SecureRandom(dst, n);
  for (size_t i = 0; i < n; ++i) {
    while (dst[i] == 0) SecureRandom(&dst[i], 1);
  }
}

void XorInto(uint8_t* dst, ByteSpan mask) {
  for (size_t i = 0; i < mask.size(); ++i) dst[i] ^= mask[i];
}

}  // namespace

// ---- public key ----

TRsaPublicKey::TRsaPublicKey(ByteSpan modulus, ByteSpan exponent)
    : TRsaPublicKey(TLInt::FromBytes(modulus), TLInt::FromBytes(exponent)) {}

TRsaPublicKey::TRsaPublicKey(const TLInt& modulus, const TLInt& exponent) : n_(modulus), e_(exponent) {
  if (n_.IsZero()) InvalidKey("empty modulus");
  if (n_.IsEven()) InvalidKey("even modulus");
  if (n_.BitLength() < kRsaMinModulusBits) InvalidKey("modulus too short");
  if (n_.BitLength() > kRsaMaxModulusBits) InvalidKey("modulus too long");
  if (e_.IsEven() || Compare(e_, TLInt(3)) < 0 || Compare(e_, n_) >= 0) InvalidKey("bad public exponent");
  k_ = (n_.BitLength() + 7) / 8;
  mont_ = std::make_shared<const TMontgomery>(n_);
}

TLInt TRsaPublicKey::RawInt(const TLInt& x) const {
  if (Compare(x, n_) >= 0) throw NativeError("RSA input out of range");
  return mont_->ExpPublic(x, e_);
}

ByteArray TRsaPublicKey::Raw(ByteSpan input) const {
  if (input.size() > k_) throw NativeError("RSA input out of range");
  return RawInt(TLInt::FromBytes(input)).ToBytes(k_);
}

// ---- private key ----

struct TRsaPrivateKey::Impl {
  TRsaPublicKey pub;
  TLInt p, q, dp, dq, qinv;
  size_t pBits = 0, qBits = 0;
  TMontgomery mp, mq;
  std::vector<Limb> qinvMont;  // qinv * R mod p

  // Blinding pair in Montgomery form mod n: a = r^e, ai = r^-1. Squared after every use and
  // drawn afresh every kBlindingUses uses.
  static constexpr unsigned kBlindingUses = 32;
  std::mutex blindLock;
  std::vector<Limb> blindA, blindAi;
  unsigned blindUses = kBlindingUses;

  Impl(TRsaPublicKey pubKey, TLInt p_, TLInt q_, TLInt dp_, TLInt dq_, TLInt qinv_)
      : pub(std::move(pubKey)),
        p(std::move(p_)),
        q(std::move(q_)),
        dp(std::move(dp_)),
        dq(std::move(dq_)),
        qinv(std::move(qinv_)),
        pBits(p.BitLength()),
        qBits(q.BitLength()),
        mp(p),
        mq(q),
        qinvMont(mp.ToMont(qinv)) {}

  void NextBlinding(std::vector<Limb>& a, std::vector<Limb>& ai) {
    const TMontgomery& mn = pub.Mont();
    std::lock_guard<std::mutex> guard(blindLock);
    if (blindUses >= kBlindingUses) {
      TLInt r = RandomBelow(pub.Modulus());
      // The inversion is variable-time, so it runs on r * s for a second random s.
      TLInt s = RandomBelow(pub.Modulus());
      TLInt inv = mn.ModMul(ModInverse(mn.ModMul(r, s), pub.Modulus()), s);
      blindA = mn.ToMont(mn.ExpPublic(r, pub.Exponent()));
      blindAi = mn.ToMont(inv);
      blindUses = 0;
    } else {
      mn.MontMul(blindA.data(), blindA.data(), blindA.data());
      mn.MontMul(blindAi.data(), blindAi.data(), blindAi.data());
    }
    ++blindUses;
    a = blindA;
    ai = blindAi;
  }
};

namespace {

TRsaPrivateKey::Impl* MakeChecked(std::unique_ptr<TRsaPrivateKey::Impl>& out, const TLInt& n, const TLInt& e,
                                  const TLInt& p, const TLInt& q, const TLInt& dp, const TLInt& dq,
                                  const TLInt& qinv) {
  TRsaPublicKey pub(n, e);
  const TLInt one(1);
  if (p.IsEven() || q.IsEven() || Compare(p, one) <= 0 || Compare(q, one) <= 0) InvalidKey("bad prime");
  if (!(Mul(p, q) == n)) InvalidKey("p * q differs from the modulus");
  const TLInt p1 = Sub(p, one), q1 = Sub(q, one);
  if (dp.IsZero() || Compare(dp, p1) >= 0 || dq.IsZero() || Compare(dq, q1) >= 0)
    InvalidKey("bad CRT exponent");
  if (!(Mod(Mul(e, dp), p1) == one) || !(Mod(Mul(e, dq), q1) == one))
    InvalidKey("CRT exponent does not match");
  if (Compare(qinv, p) >= 0 || !(Mod(Mul(q, qinv), p) == one)) InvalidKey("bad CRT coefficient");
  out = std::make_unique<TRsaPrivateKey::Impl>(std::move(pub), p, q, dp, dq, qinv);
  return out.get();
}

}  // namespace

TRsaPrivateKey TRsaPrivateKey::FromCrt(ByteSpan n, ByteSpan e, ByteSpan /*d*/, ByteSpan p, ByteSpan q,
                                       ByteSpan dp, ByteSpan dq, ByteSpan qinv) {
  std::unique_ptr<Impl> impl;
  MakeChecked(impl, TLInt::FromBytes(n), TLInt::FromBytes(e), TLInt::FromBytes(p), TLInt::FromBytes(q),
              TLInt::FromBytes(dp), TLInt::FromBytes(dq), TLInt::FromBytes(qinv));
  return TRsaPrivateKey(std::shared_ptr<Impl>(std::move(impl)));
}

TRsaPrivateKey TRsaPrivateKey::FromPrimes(ByteSpan n, ByteSpan e, ByteSpan d, ByteSpan p, ByteSpan q) {
  const TLInt dd = TLInt::FromBytes(d), pp = TLInt::FromBytes(p), qq = TLInt::FromBytes(q);
  const TLInt one(1);
  if (pp.IsEven() || qq.IsEven() || Compare(pp, one) <= 0 || Compare(qq, one) <= 0) InvalidKey("bad prime");
  if (dd.IsZero()) InvalidKey("empty private exponent");
  TLInt qinv;
  try {
    qinv = ModInverse(qq, pp);
  } catch (const MathException_&) {
    InvalidKey("bad prime");
  }
  std::unique_ptr<Impl> impl;
  MakeChecked(impl, TLInt::FromBytes(n), TLInt::FromBytes(e), pp, qq, Mod(dd, Sub(pp, one)),
              Mod(dd, Sub(qq, one)), qinv);
  return TRsaPrivateKey(std::shared_ptr<Impl>(std::move(impl)));
}

const TRsaPublicKey& TRsaPrivateKey::PublicKey() const {
  return impl_->pub;
}

ByteArray TRsaPrivateKey::Raw(ByteSpan input) const {
  Impl& k = *impl_;
  const TRsaPublicKey& pub = k.pub;
  const TMontgomery& mn = pub.Mont();
  if (input.size() > pub.ByteLength()) throw NativeError("RSA input out of range");
  const TLInt c = TLInt::FromBytes(input);
  if (Compare(c, pub.Modulus()) >= 0) throw NativeError("RSA input out of range");

  std::vector<Limb> a, ai;
  k.NextBlinding(a, ai);
  // Blinded input c * r^e (a is in Montgomery form, so one product gives the plain value).
  std::vector<Limb> x = c.ToLimbs(mn.Limbs());
  mn.MontMul(x.data(), x.data(), a.data());
  const TLInt blinded = TLInt::FromLimbs(x);

  const TLInt m1 = k.mp.ExpSecret(k.mp.Reduce(blinded), k.dp, k.pBits);
  const TLInt m2 = k.mq.ExpSecret(k.mq.Reduce(blinded), k.dq, k.qBits);
  // h = qinv * (m1 - m2) mod p; m = m2 + h * q < n.
  std::vector<Limb> h = k.mp.ModSub(m1, k.mp.Reduce(m2)).ToLimbs(k.mp.Limbs());
  k.mp.MontMul(h.data(), h.data(), k.qinvMont.data());
  const TLInt mb = Add(m2, Mul(TLInt::FromLimbs(h), k.q));

  // Unblind with r^-1.
  std::vector<Limb> y = mb.ToLimbs(mn.Limbs());
  mn.MontMul(y.data(), y.data(), ai.data());
  const TLInt m = TLInt::FromLimbs(y);

  // A fault in the computation must not leak a value that reveals the factors.
  if (!(pub.RawInt(m) == c)) throw NativeError("RSA private operation failed its check");
  return m.ToBytes(pub.ByteLength());
}

// ---- hashes ----

size_t RsaHashSize(TRSAHashType hash) {
  return HashSize(ToHashAlg(hash));
}

ByteArray RsaHash(TRSAHashType hash, ByteSpan data) {
  return Hash(ToHashAlg(hash), data);
}

ByteArray MGF1(ByteSpan seed, size_t maskLength, TRSAHashType hash) {
  const THashAlg alg = ToHashAlg(hash);
  ByteArray out;
  out.reserve(maskLength + HashSize(alg));
  ByteArray buf(seed.begin(), seed.end());
  buf.resize(seed.size() + 4);
  for (uint32_t counter = 0; out.size() < maskLength; ++counter) {
    buf[seed.size()] = static_cast<uint8_t>(counter >> 24);
    buf[seed.size() + 1] = static_cast<uint8_t>(counter >> 16);
    buf[seed.size() + 2] = static_cast<uint8_t>(counter >> 8);
    buf[seed.size() + 3] = static_cast<uint8_t>(counter);
    ByteArray h = Hash(alg, buf);
    out.insert(out.end(), h.begin(), h.end());
  }
  out.resize(maskLength);
  return out;
}

ByteSpan DigestInfoPrefix(TRSAHashType hash) {
  static const uint8_t kSha1[] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                  0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
  static const uint8_t kSha256[] = {0x30, 0x31, 0x30, 0x0D, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                    0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  switch (hash) {
    case TRSAHashType::rsahfSHA1:
      return kSha1;
    case TRSAHashType::rsahfSHA256:
      return kSha256;
    default:
      throw NativeError("unknown HashFunction");
  }
}

size_t RSAPlainBlockSize(size_t k, TRSAEncryptionType type, TRSAHashType hash) {
  size_t overhead = 0;
  if (type == TRSAEncryptionType::sbePKCS) {
    overhead = 11;
  } else if (type == TRSAEncryptionType::sbeOAEP && hash == TRSAHashType::rsahfSHA1) {
    overhead = 42;
  } else if (type == TRSAEncryptionType::sbeOAEP && hash == TRSAHashType::rsahfSHA256) {
    overhead = 66;
  } else {
    return 0;
  }
  return k > overhead ? k - overhead : 0;
}

// ---- PKCS#1 v1.5 encryption ----

ByteArray RSAEncryptPKCS(const TRsaPublicKey& key, ByteSpan message) {
  const size_t k = key.ByteLength();
  if (message.size() + 11 > k) EncryptError();
  ByteArray em(k);
  em[0] = 0x00;
  em[1] = 0x02;
  const size_t psLen = k - message.size() - 3;
  RandomNonZero(&em[2], psLen);
  em[2 + psLen] = 0x00;
  if (!message.empty()) std::memcpy(&em[3 + psLen], message.data(), message.size());
  return key.Raw(em);
}

ByteArray RSADecryptPKCS(const TRsaPrivateKey& key, ByteSpan cipher) {
  const size_t k = key.ByteLength();
  if (cipher.size() != k || k < 11) DecryptError();
  ByteArray em;
  try {
    em = key.Raw(cipher);
  } catch (const EuaSecurityError&) {
    DecryptError();
  }
  size_t good = MaskIsZero(em[0]) & MaskEq(em[1], 2);
  size_t looking = ~size_t{0};
  size_t zeroIndex = 0;
  for (size_t i = 2; i < k; ++i) {
    const size_t isZero = MaskIsZero(em[i]);
    zeroIndex = Select(looking & isZero, i, zeroIndex);
    looking &= ~isZero;
  }
  good &= ~looking;
  good &= MaskGe(zeroIndex, 2 + 8);  // at least eight padding bytes
  if (!good) DecryptError();
  return ByteArray(em.begin() + static_cast<std::ptrdiff_t>(zeroIndex + 1), em.end());
}

// ---- OAEP ----

namespace rsa_detail {

ByteArray EncodeOAEP(ByteSpan message, ByteSpan label, TRSAHashType hash, size_t k, ByteSpan seed) {
  const size_t hLen = RsaHashSize(hash);
  if (k < 2 * hLen + 2 || message.size() > k - 2 * hLen - 2 || seed.size() != hLen) EncryptError();
  ByteArray em(k, 0);
  uint8_t* seedPart = &em[1];
  uint8_t* db = &em[1 + hLen];
  const size_t dbLen = k - hLen - 1;
  ByteArray lHash = RsaHash(hash, label);
  std::memcpy(db, lHash.data(), hLen);
  db[dbLen - message.size() - 1] = 0x01;
  if (!message.empty()) std::memcpy(db + dbLen - message.size(), message.data(), message.size());
  std::memcpy(seedPart, seed.data(), hLen);
  XorInto(db, MGF1(seed, dbLen, hash));
  XorInto(seedPart, MGF1(ByteSpan(db, dbLen), hLen, hash));
  return em;
}

ByteArray EncryptOAEPWithSeed(const TRsaPublicKey& key, ByteSpan message, TRSAHashType hash, ByteSpan label,
                              ByteSpan seed) {
  return key.Raw(EncodeOAEP(message, label, hash, key.ByteLength(), seed));
}

}  // namespace rsa_detail

ByteArray RSAEncryptOAEP(const TRsaPublicKey& key, ByteSpan message, TRSAHashType hash, ByteSpan label) {
  ByteArray seed = SecureRandomBytes(RsaHashSize(hash));
  return rsa_detail::EncryptOAEPWithSeed(key, message, hash, label, seed);
}

ByteArray RSADecryptOAEP(const TRsaPrivateKey& key, ByteSpan cipher, TRSAHashType hash, ByteSpan label) {
  const size_t k = key.ByteLength();
  const size_t hLen = RsaHashSize(hash);
  if (k < 2 * hLen + 2 || cipher.size() != k) DecryptError();
  ByteArray em;
  try {
    em = key.Raw(cipher);
  } catch (const EuaSecurityError&) {
    DecryptError();
  }
  uint8_t* seed = &em[1];
  uint8_t* db = &em[1 + hLen];
  const size_t dbLen = k - hLen - 1;
  XorInto(seed, MGF1(ByteSpan(db, dbLen), hLen, hash));
  XorInto(db, MGF1(ByteSpan(seed, hLen), dbLen, hash));
  const ByteArray lHash = RsaHash(hash, label);

  size_t good = MaskIsZero(em[0]);
  size_t diff = 0;
  for (size_t i = 0; i < hLen; ++i) diff |= static_cast<size_t>(db[i] ^ lHash[i]);
  good &= MaskIsZero(diff);
  size_t looking = ~size_t{0};
  size_t oneIndex = 0;
  size_t invalid = 0;
  for (size_t i = hLen; i < dbLen; ++i) {
    const size_t isZero = MaskIsZero(db[i]);
    const size_t isOne = MaskEq(db[i], 1);
    oneIndex = Select(looking & isOne, i, oneIndex);
    invalid |= looking & ~isZero & ~isOne;
    looking &= ~isOne;
  }
  good &= ~invalid & ~looking;
  if (!good) DecryptError();
  return ByteArray(db + oneIndex + 1, db + dbLen);
}

// ---- PKCS#1 v1.5 signatures ----

namespace {

ByteArray EncodePKCS1v15Signature(ByteSpan data, TRSAHashType hash, size_t k) {
  ByteSpan prefix = DigestInfoPrefix(hash);
  ByteArray digest = RsaHash(hash, data);
  const size_t tLen = prefix.size() + digest.size();
  if (tLen + 11 > k) SignError();
  ByteArray em(k, 0xFF);
  em[0] = 0x00;
  em[1] = 0x01;
  em[k - tLen - 1] = 0x00;
  std::memcpy(&em[k - tLen], prefix.data(), prefix.size());
  std::memcpy(&em[k - digest.size()], digest.data(), digest.size());
  return em;
}

}  // namespace

ByteArray RSASignPKCS1v15(const TRsaPrivateKey& key, ByteSpan data, TRSAHashType hash) {
  return key.Raw(EncodePKCS1v15Signature(data, hash, key.ByteLength()));
}

bool RSAVerifyPKCS1v15(const TRsaPublicKey& key, ByteSpan data, ByteSpan signature, TRSAHashType hash) {
  const size_t k = key.ByteLength();
  if (signature.size() != k) return false;
  const TLInt s = TLInt::FromBytes(signature);
  if (Compare(s, key.Modulus()) >= 0) return false;
  ByteArray expected;
  try {
    expected = EncodePKCS1v15Signature(data, hash, k);
  } catch (const EuaSecurityError&) {
    return false;
  }
  return ConstantTimeEqual(key.RawInt(s).ToBytes(k), expected);
}

// ---- PSS ----

namespace rsa_detail {

ByteArray EncodePSS(ByteSpan messageHash, size_t emBits, TRSAHashType hash, ByteSpan salt) {
  const size_t hLen = RsaHashSize(hash);
  const size_t emLen = (emBits + 7) / 8;
  if (messageHash.size() != hLen || emLen < hLen + salt.size() + 2) SignError();
  ByteArray mPrime(8, 0);
  mPrime.insert(mPrime.end(), messageHash.begin(), messageHash.end());
  mPrime.insert(mPrime.end(), salt.begin(), salt.end());
  const ByteArray h = RsaHash(hash, mPrime);
  const size_t dbLen = emLen - hLen - 1;
  ByteArray em(emLen, 0);
  em[dbLen - salt.size() - 1] = 0x01;
  if (!salt.empty()) std::memcpy(&em[dbLen - salt.size()], salt.data(), salt.size());
  XorInto(em.data(), MGF1(h, dbLen, hash));
  em[0] &= static_cast<uint8_t>(0xFF >> (8 * emLen - emBits));
  std::memcpy(&em[dbLen], h.data(), hLen);
  em[emLen - 1] = 0xBC;
  return em;
}

ByteArray SignPSSWithSalt(const TRsaPrivateKey& key, ByteSpan messageHash, TRSAHashType hash, ByteSpan salt) {
  const size_t modBits = key.PublicKey().BitLength();
  return key.Raw(EncodePSS(messageHash, modBits - 1, hash, salt));
}

}  // namespace rsa_detail

ByteArray RSASignPSS(const TRsaPrivateKey& key, ByteSpan messageHash, TRSAHashType hash, size_t saltLength) {
  if (saltLength > key.ByteLength()) SignError();
  ByteArray salt = SecureRandomBytes(saltLength);
  return rsa_detail::SignPSSWithSalt(key, messageHash, hash, salt);
}

bool RSAVerifyPSS(const TRsaPublicKey& key, ByteSpan messageHash, ByteSpan signature, TRSAHashType hash,
                  size_t saltLength) {
  const size_t k = key.ByteLength();
  const size_t hLen = RsaHashSize(hash);
  if (signature.size() != k || messageHash.size() != hLen) return false;
  const TLInt s = TLInt::FromBytes(signature);
  if (Compare(s, key.Modulus()) >= 0) return false;
  const size_t emBits = key.BitLength() - 1;
  const size_t emLen = (emBits + 7) / 8;
  if (emLen < hLen + saltLength + 2) return false;
  ByteArray full = key.RawInt(s).ToBytes(k);
  // When emBits is a multiple of 8 the encoded message is one byte shorter than k.
  if (emLen < k && full[0] != 0) return false;
  ByteArray em(full.end() - static_cast<std::ptrdiff_t>(emLen), full.end());
  if (em[emLen - 1] != 0xBC) return false;
  const uint8_t topMask = static_cast<uint8_t>(0xFF >> (8 * emLen - emBits));
  if (em[0] & ~topMask) return false;
  const size_t dbLen = emLen - hLen - 1;
  ByteSpan h(&em[dbLen], hLen);
  XorInto(em.data(), MGF1(h, dbLen, hash));
  em[0] &= topMask;
  const size_t psLen = dbLen - saltLength - 1;
  for (size_t i = 0; i < psLen; ++i) {
    if (em[i] != 0) return false;
  }
  if (em[psLen] != 0x01) return false;
  ByteArray mPrime(8, 0);
  mPrime.insert(mPrime.end(), messageHash.begin(), messageHash.end());
  mPrime.insert(mPrime.end(), em.begin() + static_cast<std::ptrdiff_t>(psLen + 1),
                em.begin() + static_cast<std::ptrdiff_t>(dbLen));
  return ConstantTimeEqual(RsaHash(hash, mPrime), h);
}

// ---- block-wise ----

ByteArray RSAEncryptBlocks(const TRsaPublicKey& key, TRSAEncryptionType type, TRSAHashType hash,
                           ByteSpan plain, bool fill) {
  const size_t k = key.ByteLength();
  const size_t p = RSAPlainBlockSize(k, type, hash);
  if (p == 0) EncryptError();
  const size_t blocks = (plain.size() + p - 1) / p;
  ByteArray out;
  out.reserve(blocks * k);
  ByteArray block;
  for (size_t i = 0; i < blocks; ++i) {
    const size_t off = i * p;
    const size_t len = std::min(p, plain.size() - off);
    block.assign(plain.begin() + static_cast<std::ptrdiff_t>(off),
                 plain.begin() + static_cast<std::ptrdiff_t>(off + len));
    if (fill) block.resize(p, 0);
    ByteArray c =
        type == TRSAEncryptionType::sbeOAEP ? RSAEncryptOAEP(key, block, hash) : RSAEncryptPKCS(key, block);
    out.insert(out.end(), c.begin(), c.end());
  }
  return out;
}

ByteArray RSADecryptBlocks(const TRsaPrivateKey& key, TRSAEncryptionType type, TRSAHashType hash,
                           ByteSpan cipher) {
  const size_t k = key.ByteLength();
  if (RSAPlainBlockSize(k, type, hash) == 0 || cipher.size() % k != 0) DecryptError();
  ByteArray out;
  for (size_t off = 0; off < cipher.size(); off += k) {
    ByteSpan block = cipher.subspan(off, k);
    ByteArray m =
        type == TRSAEncryptionType::sbeOAEP ? RSADecryptOAEP(key, block, hash) : RSADecryptPKCS(key, block);
    out.insert(out.end(), m.begin(), m.end());
  }
  return out;
}

}  // namespace varo::ua
