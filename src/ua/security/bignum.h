// SPDX-License-Identifier: MPL-2.0
// Unsigned big integers with 64-bit limbs and Montgomery arithmetic for RSA.
//
// TLInt is a plain value type for set-up work (key loading, checks, conversions). The
// exponentiations run in TMontgomery on fixed-length limb arrays; ExpSecret runs in time
// independent of the exponent's and base's values (fixed window, masked table scan, masked
// final subtraction).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/bytes.h"
#include "ua/security/security_error.h"

namespace varo::ua {

// Raised by the arithmetic: "Number too large", "Output buffer too small", "Division by zero",
// "Negative result", "Number not invertible".
class MathException_ : public EuaSecurityError {
 public:
  using EuaSecurityError::EuaSecurityError;
};

using Limb = uint64_t;

// Non-negative integer, limbs least significant first, normalised (no zero top limb; zero has
// no limbs).
class TLInt {
 public:
  // Largest magnitude accepted from bytes (24576 bits).
  static constexpr size_t kMaxBytes = 3072;
  static constexpr size_t kMaxLimbs = kMaxBytes / 8 * 2 + 2;

  TLInt() = default;
  explicit TLInt(uint64_t v);
  // Takes ownership of the limbs and normalises; more than kMaxLimbs raises "Number too large".
  static TLInt FromLimbs(std::vector<Limb> limbs);
  // Big-endian magnitude; leading zero bytes are allowed. More than kMaxBytes raises.
  static TLInt FromBytes(ByteSpan be);

  // Minimal big-endian form (zero gives an empty array).
  ByteArray ToBytes() const;
  // Exactly len bytes, left-padded with zeros; a value that does not fit raises
  // "Output buffer too small".
  ByteArray ToBytes(size_t len) const;
  // The low `count` limbs, zero-extended; a value that does not fit raises.
  std::vector<Limb> ToLimbs(size_t count) const;

  bool IsZero() const { return d_.empty(); }
  bool IsOdd() const { return !d_.empty() && (d_[0] & 1); }
  bool IsEven() const { return !IsOdd(); }
  size_t BitLength() const;
  // Bit i counted from 0 at the least significant end.
  bool TestBit(size_t i) const;
  size_t LimbCount() const { return d_.size(); }
  Limb LimbAt(size_t i) const { return i < d_.size() ? d_[i] : 0; }
  const std::vector<Limb>& Limbs() const { return d_; }

  friend bool operator==(const TLInt& a, const TLInt& b) { return a.d_ == b.d_; }

 private:
  void Normalize();
  std::vector<Limb> d_;
};

// -1, 0, 1 as a < b, a == b, a > b.
int Compare(const TLInt& a, const TLInt& b);
TLInt Add(const TLInt& a, const TLInt& b);
// a - b; raises "Negative result" when b > a.
TLInt Sub(const TLInt& a, const TLInt& b);
TLInt Mul(const TLInt& a, const TLInt& b);
// a mod m by binary long division; zero m raises "Division by zero". Not constant-time: used
// for key set-up and public values.
TLInt Mod(const TLInt& a, const TLInt& m);
TLInt ShiftLeft(const TLInt& a, size_t bits);
TLInt ShiftRight(const TLInt& a, size_t bits);
// a^-1 mod m for odd m > 1 (binary extended Euclid); raises "Number not invertible" when
// gcd(a, m) != 1. Variable-time: callers blind secret inputs.
TLInt ModInverse(const TLInt& a, const TLInt& m);

// Which Montgomery product a TMontgomery uses: the fastest one the processor supports, or the
// portable one (kept selectable so that the two can be compared).
enum class TMontKernel { Auto, Portable };

// Montgomery arithmetic modulo an odd m > 1 with R = 2^(64n), n = limb count of m.
class TMontgomery {
 public:
  // An even, zero or one modulus raises EuaSecurityError.
  explicit TMontgomery(const TLInt& m, TMontKernel kernel = TMontKernel::Auto);

  size_t Limbs() const { return n_; }
  // True when a processor-specific product serves this modulus.
  bool FastKernel() const { return fast_; }
  const TLInt& Modulus() const { return mod_; }

  // r = a * b / R mod m for a, b < m (n limbs each); r may alias a or b. Constant-time.
  void MontMul(Limb* r, const Limb* a, const Limb* b) const;
  // r = a * a / R mod m for a < m; r may alias a. Constant-time.
  void MontSqr(Limb* r, const Limb* a) const;

  // a mod m. Constant-time when a < m * R (the usual case for CRT halves); other values fall
  // back to Mod.
  TLInt Reduce(const TLInt& a) const;
  // a * b mod m for a, b < m.
  TLInt ModMul(const TLInt& a, const TLInt& b) const;
  // (a - b) mod m for a, b < m, constant-time.
  TLInt ModSub(const TLInt& a, const TLInt& b) const;
  // a * R mod m for a < m (n limbs).
  std::vector<Limb> ToMont(const TLInt& a) const;
  TLInt FromMont(const std::vector<Limb>& a) const;

  // base^e mod m, variable-time in e (public exponents). base is reduced first.
  TLInt ExpPublic(const TLInt& base, const TLInt& e) const;
  // base^e mod m for e < 2^ebits with a fixed 5-bit window; the sequence of operations and
  // memory accesses depends only on ebits and n. base must be below m.
  TLInt ExpSecret(const TLInt& base, const TLInt& e, size_t ebits) const;

 private:
  using MulFn = void (*)(Limb*, const Limb*, const Limb*, const Limb*, Limb, size_t);
  using SqrFn = void (*)(Limb*, const Limb*, const Limb*, Limb, size_t);
  // t (2n limbs) / R mod m, constant-time for t < m * R.
  std::vector<Limb> Redc(const std::vector<Limb>& t) const;

  TLInt mod_;
  size_t n_ = 0;
  std::vector<Limb> m_;
  Limb m0inv_ = 0;         // -m^-1 mod 2^64
  std::vector<Limb> rr_;   // R^2 mod m
  std::vector<Limb> one_;  // R mod m (one in Montgomery form)
  MulFn mul_ = nullptr;
  SqrFn sqr_ = nullptr;  // null: squares go through mul_
  bool fast_ = false;
};

}  // namespace varo::ua
