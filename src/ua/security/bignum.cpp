// SPDX-License-Identifier: MPL-2.0
#include "ua/security/bignum.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace varo::ua {

namespace {

// Failure raised by the native cryptography.
EuaSecurityError NativeError(const std::string& what) {
  return EuaSecurityError("Native Security Error: " + what);
}

using u128 = unsigned __int128;

[[noreturn]] void TooLarge() {
  throw MathException_("Number too large");
}

// All ones when x == 0, else zero, without a branch.
inline Limb MaskIsZero(Limb x) {
  return ((x | (Limb{0} - x)) >> 63) - 1;
}
inline Limb MaskEq(Limb a, Limb b) {
  return MaskIsZero(a ^ b);
}

// r = a - b over n limbs; returns the borrow (0 or 1).
inline Limb SubN(Limb* r, const Limb* a, const Limb* b, size_t n) {
  Limb borrow = 0;
  for (size_t j = 0; j < n; ++j) {
    u128 d = static_cast<u128>(a[j]) - b[j] - borrow;
    r[j] = static_cast<Limb>(d);
    borrow = static_cast<Limb>(d >> 64) & 1;
  }
  return borrow;
}

// r = a + b over n limbs; returns the carry.
inline Limb AddN(Limb* r, const Limb* a, const Limb* b, size_t n) {
  Limb carry = 0;
  for (size_t j = 0; j < n; ++j) {
    u128 s = static_cast<u128>(a[j]) + b[j] + carry;
    r[j] = static_cast<Limb>(s);
    carry = static_cast<Limb>(s >> 64);
  }
  return carry;
}

// -1/0/1 comparison of two n-limb numbers (variable-time).
int CmpN(const Limb* a, const Limb* b, size_t n) {
  for (size_t j = n; j-- > 0;) {
    if (a[j] != b[j]) return a[j] < b[j] ? -1 : 1;
  }
  return 0;
}

// Final step of a Montgomery product: t holds n limbs plus a top limb (value < 2m); writes
// t mod m to r with a masked select instead of a branch.
inline void FinalSubtract(Limb* r, const Limb* t, Limb top, const Limb* m, size_t n) {
  std::array<Limb, TLInt::kMaxLimbs> d;
  Limb borrow = SubN(d.data(), t, m, n);
  // Keep t only when it was below m: no top limb and the subtraction borrowed.
  Limb keep = Limb{0} - ((~top & borrow) & 1);
  for (size_t j = 0; j < n; ++j) r[j] = (t[j] & keep) | (d[j] & ~keep);
}

// Montgomery product, operand scanning with the multiplication and the reduction of each
// step in one pass (two independent carry chains). t stays below 2m, so its top limb is 0 or 1.
template <size_t N>
inline void MontMulCore(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb m0inv, Limb* t, size_t n) {
  const size_t len = N ? N : n;
  for (size_t j = 0; j <= len; ++j) t[j] = 0;
  for (size_t i = 0; i < len; ++i) {
    const Limb bi = b[i];
    u128 p = static_cast<u128>(a[0]) * bi + t[0];
    Limb c1 = static_cast<Limb>(p >> 64);
    const Limb lo = static_cast<Limb>(p);
    const Limb q = lo * m0inv;
    u128 s = static_cast<u128>(q) * m[0] + lo;
    Limb c2 = static_cast<Limb>(s >> 64);
#pragma GCC unroll 16
    for (size_t j = 1; j < len; ++j) {
      p = static_cast<u128>(a[j]) * bi + t[j] + c1;
      c1 = static_cast<Limb>(p >> 64);
      s = static_cast<u128>(q) * m[j] + static_cast<Limb>(p) + c2;
      c2 = static_cast<Limb>(s >> 64);
      t[j - 1] = static_cast<Limb>(s);
    }
    u128 top = static_cast<u128>(t[len]) + c1 + c2;
    t[len - 1] = static_cast<Limb>(top);
    t[len] = static_cast<Limb>(top >> 64);
  }
  FinalSubtract(r, t, t[len], m, len);
}

template <size_t N>
void MontMulFixed(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb m0inv, size_t) {
  Limb t[N + 1];
  MontMulCore<N>(r, a, b, m, m0inv, t, N);
}

// The same for any limb count.
void MontMulAny(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb m0inv, size_t n) {
  std::array<Limb, TLInt::kMaxLimbs + 1> t;
  MontMulCore<0>(r, a, b, m, m0inv, t.data(), n);
}

// out = table entry idx of count entries of n limbs, reading every entry in full so that the
// memory accesses do not depend on idx. With N fixed the selection stays in vector registers.
template <size_t N>
void SelectEntry(Limb* out, const Limb* table, size_t count, Limb idx, size_t n) {
  if constexpr (N == 0) {
    std::fill(out, out + n, 0);
    for (size_t k = 0; k < count; ++k) {
      const Limb mask = MaskEq(k, idx);
      const Limb* entry = table + k * n;
      for (size_t j = 0; j < n; ++j) out[j] |= entry[j] & mask;
    }
  } else {
    using V = Limb __attribute__((vector_size(16)));
    constexpr size_t kV = N / 2;
    V acc[kV] = {};
    for (size_t k = 0; k < count; ++k) {
      const Limb m = MaskEq(k, idx);
      const V mask = {m, m};
      const Limb* entry = table + k * N;
      for (size_t j = 0; j < kV; ++j) {
        V e;
        std::memcpy(&e, entry + 2 * j, sizeof e);
        acc[j] |= e & mask;
      }
    }
    std::memcpy(out, acc, sizeof acc);
  }
}

#if defined(__x86_64__)
// ---- Montgomery product with mulx/adcx/adox for fixed limb counts ----
//
// Operand scanning: for every limb b[i], one pass adds a * b[i] to the accumulator and a
// second pass adds q * m (q = t[0] * m0inv) and shifts the accumulator down by one limb. Each
// pass runs two carry chains at once: the low halves of the products on CF (adcx), the high
// halves on OF (adox). The accumulator lives in t[0..n-1] with its two top limbs in registers;
// t[-1] is a scratch slot that receives the zero low limb of every reduction pass.

// clang-format off
#define VARO_STEP(src, hiNew, hiOld, j, dst)                  \
  "mulx 8*" #j "(%[" #src "]), %[lo], %[" #hiNew "]\n\t"      \
  "adcx 8*" #j "(%[t]), %[lo]\n\t"                             \
  "adox %[" #hiOld "], %[lo]\n\t"                              \
  "mov %[lo], 8*" #j dst "(%[t])\n\t"
// Pass steps: multiply (M) stores in place, reduce (R) stores one limb lower.
#define VARO_ME(j) VARO_STEP(a, hA, hB, j, "")
#define VARO_MO(j) VARO_STEP(a, hB, hA, j, "")
#define VARO_RE(j) VARO_STEP(m, hA, hB, j, "-8")
#define VARO_RO(j) VARO_STEP(m, hB, hA, j, "-8")
#define VARO_STEPS16(E, O)                                                                      \
  E(0) O(1) E(2) O(3) E(4) O(5) E(6) O(7) E(8) O(9) E(10) O(11) E(12) O(13) E(14) O(15)
#define VARO_STEPS32(E, O)                                                                      \
  VARO_STEPS16(E, O)                                                                            \
  E(16) O(17) E(18) O(19) E(20) O(21) E(22) O(23) E(24) O(25) E(26) O(27) E(28) O(29) E(30) O(31)
// Final subtraction r = t - m over the limbs, borrow left in CF.
#define VARO_SUB0 "mov (%[t]), %[lo]\n\tsub (%[m]), %[lo]\n\tmov %[lo], (%[r])\n\t"
#define VARO_SBB(j)                      \
  "mov 8*" #j "(%[t]), %[lo]\n\t"        \
  "sbb 8*" #j "(%[m]), %[lo]\n\t"        \
  "mov %[lo], 8*" #j "(%[r])\n\t"
#define VARO_SBB16                                                                             \
  VARO_SBB(1) VARO_SBB(2) VARO_SBB(3) VARO_SBB(4) VARO_SBB(5) VARO_SBB(6) VARO_SBB(7) VARO_SBB(8) \
  VARO_SBB(9) VARO_SBB(10) VARO_SBB(11) VARO_SBB(12) VARO_SBB(13) VARO_SBB(14) VARO_SBB(15)
#define VARO_SBB32                                                                                  \
  VARO_SBB16 VARO_SBB(16) VARO_SBB(17) VARO_SBB(18) VARO_SBB(19) VARO_SBB(20) VARO_SBB(21)        \
      VARO_SBB(22) VARO_SBB(23) VARO_SBB(24) VARO_SBB(25) VARO_SBB(26) VARO_SBB(27) VARO_SBB(28) \
          VARO_SBB(29) VARO_SBB(30) VARO_SBB(31)

#define VARO_MONT_ASM(STEPS, SBB, N)                                                 \
  asm volatile(                                                                      \
      "xor %k[zero], %k[zero]\n\t"                                                   \
      "xor %k[tn], %k[tn]\n\t"                                                       \
      "1:\n\t"                                                                       \
      "mov (%[bp]), %%rdx\n\t"                                                       \
      "xor %k[hB], %k[hB]\n\t" STEPS(VARO_ME, VARO_MO)                               \
      "adcx %[zero], %[tn]\n\t"                                                      \
      "adox %[hB], %[tn]\n\t"                                                        \
      "mov $0, %k[tn1]\n\t"                                                          \
      "adcx %[zero], %[tn1]\n\t"                                                     \
      "adox %[zero], %[tn1]\n\t"                                                     \
      "mov (%[t]), %%rdx\n\t"                                                        \
      "imul %[m0inv], %%rdx\n\t"                                                     \
      "xor %k[hB], %k[hB]\n\t" STEPS(VARO_RE, VARO_RO)                               \
      "adcx %[zero], %[tn]\n\t"                                                      \
      "adox %[hB], %[tn]\n\t"                                                        \
      "mov %[tn], 8*" #N "-8(%[t])\n\t"                                              \
      "adcx %[zero], %[tn1]\n\t"                                                     \
      "adox %[zero], %[tn1]\n\t"                                                     \
      "mov %[tn1], %[tn]\n\t"                                                        \
      "lea 8(%[bp]), %[bp]\n\t"                                                      \
      "cmp %[bend], %[bp]\n\t"                                                       \
      "jne 1b\n\t" VARO_SUB0 SBB                                                     \
      "sbb $0, %[tn]\n\t"                                                            \
      "sbb %[hB], %[hB]\n\t"                                                         \
      : [bp] "+r"(bp), [lo] "=&r"(lo), [hA] "=&r"(hA), [hB] "=&r"(hB),               \
        [zero] "=&r"(zero), [tn] "=&r"(tn), [tn1] "=&r"(tn1)                         \
      : [a] "r"(a), [m] "r"(m), [t] "r"(t), [r] "r"(r), [bend] "m"(bend),            \
        [m0inv] "m"(m0inv)                                                           \
      : "rdx", "cc", "memory")
// clang-format on

// r = a * b / R mod m for N limbs. The final subtraction is masked: hB is all ones when the
// accumulator was already below m.
template <size_t N>
void MontMulAdx(Limb* r, const Limb* a, const Limb* b, const Limb* m, Limb m0inv, size_t) {
  static_assert(N == 16 || N == 32);
  Limb buf[N + 1] = {};
  Limb* t = buf + 1;
  const Limb* bp = b;
  const Limb* const bend = b + N;
  Limb lo, hA, hB, zero, tn, tn1;
  if constexpr (N == 16) {
    VARO_MONT_ASM(VARO_STEPS16, VARO_SBB16, 16);
  } else {
    VARO_MONT_ASM(VARO_STEPS32, VARO_SBB32, 32);
  }
  const Limb keep = hB;
  for (size_t j = 0; j < N; ++j) r[j] = (t[j] & keep) | (r[j] & ~keep);
}

// ---- Montgomery squaring with mulx/adcx/adox for 16 limbs ----
//
// The square goes into a 32-limb buffer s in three phases: the cross products a[i] * a[j] for
// i < j (one pass per i), then doubling and the squares a[i]^2 on the diagonal (doubling on CF,
// the diagonal on OF), then the reduction: one pass per low limb adds q * m in place, the
// carry out of the pass's top limb waits in c for the next pass. The result is s[16..31] plus
// c * 2^1024, below 2m, and the final subtraction is masked as in the product.

// clang-format off
#define VARO_SQROW_BEGIN(i) "mov 8*" #i "(%[a]), %%rdx\n\txor %k[hB], %k[hB]\n\t"
#define VARO_X(i, j, hiNew, hiOld)                            \
  "mulx 8*" #j "(%[a]), %[lo], %[" #hiNew "]\n\t"             \
  "adcx 8*(" #i "+" #j ")(%[s]), %[lo]\n\t"                   \
  "adox %[" #hiOld "], %[lo]\n\t"                             \
  "mov %[lo], 8*(" #i "+" #j ")(%[s])\n\t"
#define VARO_XA(i, j) VARO_X(i, j, hA, hB)
#define VARO_XB(i, j) VARO_X(i, j, hB, hA)
#define VARO_SQROW_END(i, h)                                  \
  "adcx %[zero], %[" #h "]\n\t"                               \
  "adox %[zero], %[" #h "]\n\t"                               \
  "mov %[" #h "], 8*(" #i "+16)(%[s])\n\t"
#define VARO_SQ16_CROSS \
  VARO_SQROW_BEGIN(0) VARO_XA(0, 1) VARO_XB(0, 2) VARO_XA(0, 3) VARO_XB(0, 4) VARO_XA(0, 5) VARO_XB(0, 6) VARO_XA(0, 7) VARO_XB(0, 8) VARO_XA(0, 9) VARO_XB(0, 10) VARO_XA(0, 11) VARO_XB(0, 12) VARO_XA(0, 13) VARO_XB(0, 14) VARO_XA(0, 15) VARO_SQROW_END(0, hA) \
  VARO_SQROW_BEGIN(1) VARO_XA(1, 2) VARO_XB(1, 3) VARO_XA(1, 4) VARO_XB(1, 5) VARO_XA(1, 6) VARO_XB(1, 7) VARO_XA(1, 8) VARO_XB(1, 9) VARO_XA(1, 10) VARO_XB(1, 11) VARO_XA(1, 12) VARO_XB(1, 13) VARO_XA(1, 14) VARO_XB(1, 15) VARO_SQROW_END(1, hB) \
  VARO_SQROW_BEGIN(2) VARO_XA(2, 3) VARO_XB(2, 4) VARO_XA(2, 5) VARO_XB(2, 6) VARO_XA(2, 7) VARO_XB(2, 8) VARO_XA(2, 9) VARO_XB(2, 10) VARO_XA(2, 11) VARO_XB(2, 12) VARO_XA(2, 13) VARO_XB(2, 14) VARO_XA(2, 15) VARO_SQROW_END(2, hA) \
  VARO_SQROW_BEGIN(3) VARO_XA(3, 4) VARO_XB(3, 5) VARO_XA(3, 6) VARO_XB(3, 7) VARO_XA(3, 8) VARO_XB(3, 9) VARO_XA(3, 10) VARO_XB(3, 11) VARO_XA(3, 12) VARO_XB(3, 13) VARO_XA(3, 14) VARO_XB(3, 15) VARO_SQROW_END(3, hB) \
  VARO_SQROW_BEGIN(4) VARO_XA(4, 5) VARO_XB(4, 6) VARO_XA(4, 7) VARO_XB(4, 8) VARO_XA(4, 9) VARO_XB(4, 10) VARO_XA(4, 11) VARO_XB(4, 12) VARO_XA(4, 13) VARO_XB(4, 14) VARO_XA(4, 15) VARO_SQROW_END(4, hA) \
  VARO_SQROW_BEGIN(5) VARO_XA(5, 6) VARO_XB(5, 7) VARO_XA(5, 8) VARO_XB(5, 9) VARO_XA(5, 10) VARO_XB(5, 11) VARO_XA(5, 12) VARO_XB(5, 13) VARO_XA(5, 14) VARO_XB(5, 15) VARO_SQROW_END(5, hB) \
  VARO_SQROW_BEGIN(6) VARO_XA(6, 7) VARO_XB(6, 8) VARO_XA(6, 9) VARO_XB(6, 10) VARO_XA(6, 11) VARO_XB(6, 12) VARO_XA(6, 13) VARO_XB(6, 14) VARO_XA(6, 15) VARO_SQROW_END(6, hA) \
  VARO_SQROW_BEGIN(7) VARO_XA(7, 8) VARO_XB(7, 9) VARO_XA(7, 10) VARO_XB(7, 11) VARO_XA(7, 12) VARO_XB(7, 13) VARO_XA(7, 14) VARO_XB(7, 15) VARO_SQROW_END(7, hB) \
  VARO_SQROW_BEGIN(8) VARO_XA(8, 9) VARO_XB(8, 10) VARO_XA(8, 11) VARO_XB(8, 12) VARO_XA(8, 13) VARO_XB(8, 14) VARO_XA(8, 15) VARO_SQROW_END(8, hA) \
  VARO_SQROW_BEGIN(9) VARO_XA(9, 10) VARO_XB(9, 11) VARO_XA(9, 12) VARO_XB(9, 13) VARO_XA(9, 14) VARO_XB(9, 15) VARO_SQROW_END(9, hB) \
  VARO_SQROW_BEGIN(10) VARO_XA(10, 11) VARO_XB(10, 12) VARO_XA(10, 13) VARO_XB(10, 14) VARO_XA(10, 15) VARO_SQROW_END(10, hA) \
  VARO_SQROW_BEGIN(11) VARO_XA(11, 12) VARO_XB(11, 13) VARO_XA(11, 14) VARO_XB(11, 15) VARO_SQROW_END(11, hB) \
  VARO_SQROW_BEGIN(12) VARO_XA(12, 13) VARO_XB(12, 14) VARO_XA(12, 15) VARO_SQROW_END(12, hA) \
  VARO_SQROW_BEGIN(13) VARO_XA(13, 14) VARO_XB(13, 15) VARO_SQROW_END(13, hB) \
  VARO_SQROW_BEGIN(14) VARO_XA(14, 15) VARO_SQROW_END(14, hA)
#define VARO_DIAG(i)                                          \
  "mov 8*" #i "(%[a]), %%rdx\n\t"                             \
  "mulx %%rdx, %[lo], %[hA]\n\t"                              \
  "mov 16*" #i "(%[s]), %[hB]\n\t"                            \
  "adcx %[hB], %[hB]\n\t"                                     \
  "adox %[lo], %[hB]\n\t"                                     \
  "mov %[hB], 16*" #i "(%[s])\n\t"                            \
  "mov 16*" #i "+8(%[s]), %[hB]\n\t"                          \
  "adcx %[hB], %[hB]\n\t"                                     \
  "adox %[hA], %[hB]\n\t"                                     \
  "mov %[hB], 16*" #i "+8(%[s])\n\t"
#define VARO_SQ16_DIAG                                                                          \
  VARO_DIAG(0) VARO_DIAG(1) VARO_DIAG(2) VARO_DIAG(3) VARO_DIAG(4) VARO_DIAG(5) VARO_DIAG(6)     \
  VARO_DIAG(7) VARO_DIAG(8) VARO_DIAG(9) VARO_DIAG(10) VARO_DIAG(11) VARO_DIAG(12) VARO_DIAG(13) \
  VARO_DIAG(14) VARO_DIAG(15)
// Reduction pass steps: q * m[j] added in place at the moving pointer t.
#define VARO_SE(j) VARO_STEP(m, hA, hB, j, "")
#define VARO_SO(j) VARO_STEP(m, hB, hA, j, "")
// clang-format on

void MontSqrAdx16(Limb* r, const Limb* a, const Limb* m, Limb m0inv, size_t) {
  Limb s[32] = {};
  Limb* t = s;
  const Limb* const tend = s + 16;
  Limb lo, hA, hB, zero, c;
  // clang-format off
  asm volatile(
      "xor %k[zero], %k[zero]\n\t"
      VARO_SQ16_CROSS
      "xor %k[hB], %k[hB]\n\t"
      VARO_SQ16_DIAG
      "xor %k[c], %k[c]\n\t"
      "1:\n\t"
      "mov (%[t]), %%rdx\n\t"
      "imul %[m0inv], %%rdx\n\t"
      "xor %k[hB], %k[hB]\n\t"
      VARO_STEPS16(VARO_SE, VARO_SO)
      "mov 8*16(%[t]), %[lo]\n\t"
      "adcx %[c], %[lo]\n\t"
      "adox %[hB], %[lo]\n\t"
      "mov %[lo], 8*16(%[t])\n\t"
      "mov $0, %k[c]\n\t"
      "adcx %[zero], %[c]\n\t"
      "adox %[zero], %[c]\n\t"
      "lea 8(%[t]), %[t]\n\t"
      "cmp %[tend], %[t]\n\t"
      "jne 1b\n\t"
      VARO_SUB0 VARO_SBB16
      "sbb $0, %[c]\n\t"
      "sbb %[hB], %[hB]\n\t"
      : [t] "+r"(t), [lo] "=&r"(lo), [hA] "=&r"(hA), [hB] "=&r"(hB), [zero] "=&r"(zero),
        [c] "=&r"(c)
      : [a] "r"(a), [s] "r"(s), [m] "r"(m), [r] "r"(r), [tend] "m"(tend), [m0inv] "m"(m0inv)
      : "rdx", "cc", "memory");
  // clang-format on
  const Limb keep = hB;
  for (size_t j = 0; j < 16; ++j) r[j] = (s[16 + j] & keep) | (r[j] & ~keep);
}

// bmi2 (mulx) and adx (adcx, adox), from cpuid leaf 7.
bool HasMulxAdx() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return (b & (1u << 8)) && (b & (1u << 19));
}
#endif

}  // namespace

// ---- TLInt ----

TLInt::TLInt(uint64_t v) {
  if (v) d_.push_back(v);
}

void TLInt::Normalize() {
  while (!d_.empty() && d_.back() == 0) d_.pop_back();
}

TLInt TLInt::FromLimbs(std::vector<Limb> limbs) {
  TLInt r;
  r.d_ = std::move(limbs);
  r.Normalize();
  if (r.d_.size() > kMaxLimbs) TooLarge();
  return r;
}

TLInt TLInt::FromBytes(ByteSpan be) {
  if (be.size() > kMaxBytes) TooLarge();
  TLInt r;
  r.d_.assign((be.size() + 7) / 8, 0);
  for (size_t i = 0; i < be.size(); ++i) {
    size_t bitPos = i * 8;  // position counted from the least significant end
    r.d_[bitPos / 64] |= static_cast<Limb>(be[be.size() - 1 - i]) << (bitPos % 64);
  }
  r.Normalize();
  return r;
}

ByteArray TLInt::ToBytes() const {
  return ToBytes((BitLength() + 7) / 8);
}

ByteArray TLInt::ToBytes(size_t len) const {
  if ((BitLength() + 7) / 8 > len) throw MathException_("Output buffer too small");
  ByteArray out(len, 0);
  for (size_t i = 0; i < len && i / 8 < d_.size(); ++i) {
    out[len - 1 - i] = static_cast<uint8_t>(d_[i / 8] >> ((i % 8) * 8));
  }
  return out;
}

std::vector<Limb> TLInt::ToLimbs(size_t count) const {
  if (d_.size() > count) throw MathException_("Output buffer too small");
  std::vector<Limb> out(count, 0);
  std::copy(d_.begin(), d_.end(), out.begin());
  return out;
}

size_t TLInt::BitLength() const {
  if (d_.empty()) return 0;
  return 64 * (d_.size() - 1) + (64 - static_cast<size_t>(std::countl_zero(d_.back())));
}

bool TLInt::TestBit(size_t i) const {
  return (LimbAt(i / 64) >> (i % 64)) & 1;
}

// ---- free arithmetic ----

int Compare(const TLInt& a, const TLInt& b) {
  if (a.LimbCount() != b.LimbCount()) return a.LimbCount() < b.LimbCount() ? -1 : 1;
  return CmpN(a.Limbs().data(), b.Limbs().data(), a.LimbCount());
}

TLInt Add(const TLInt& a, const TLInt& b) {
  size_t n = std::max(a.LimbCount(), b.LimbCount());
  std::vector<Limb> x = a.ToLimbs(n), y = b.ToLimbs(n), r(n + 1);
  r[n] = AddN(r.data(), x.data(), y.data(), n);
  return TLInt::FromLimbs(std::move(r));
}

TLInt Sub(const TLInt& a, const TLInt& b) {
  if (Compare(a, b) < 0) throw MathException_("Negative result");
  size_t n = a.LimbCount();
  std::vector<Limb> y = b.ToLimbs(n), r(n);
  SubN(r.data(), a.Limbs().data(), y.data(), n);
  return TLInt::FromLimbs(std::move(r));
}

TLInt Mul(const TLInt& a, const TLInt& b) {
  if (a.IsZero() || b.IsZero()) return TLInt();
  size_t na = a.LimbCount(), nb = b.LimbCount();
  if (na + nb > TLInt::kMaxLimbs) TooLarge();
  std::vector<Limb> r(na + nb, 0);
  const Limb* x = a.Limbs().data();
  const Limb* y = b.Limbs().data();
  for (size_t i = 0; i < nb; ++i) {
    Limb carry = 0;
    for (size_t j = 0; j < na; ++j) {
      u128 p = static_cast<u128>(x[j]) * y[i] + r[i + j] + carry;
      r[i + j] = static_cast<Limb>(p);
      carry = static_cast<Limb>(p >> 64);
    }
    r[i + na] = carry;
  }
  return TLInt::FromLimbs(std::move(r));
}

TLInt Mod(const TLInt& a, const TLInt& m) {
  if (m.IsZero()) throw MathException_("Division by zero");
  if (Compare(a, m) < 0) return a;
  const size_t n = m.LimbCount() + 1;  // room for 2 * remainder
  std::vector<Limb> r(n, 0), mm = m.ToLimbs(n), tmp(n);
  for (size_t bit = a.BitLength(); bit-- > 0;) {
    // r = 2r + bit
    Limb carry = a.TestBit(bit) ? 1 : 0;
    for (size_t j = 0; j < n; ++j) {
      Limb next = r[j] >> 63;
      r[j] = (r[j] << 1) | carry;
      carry = next;
    }
    if (CmpN(r.data(), mm.data(), n) >= 0) {
      SubN(tmp.data(), r.data(), mm.data(), n);
      r.swap(tmp);
    }
  }
  return TLInt::FromLimbs(std::move(r));
}

TLInt ShiftLeft(const TLInt& a, size_t bits) {
  if (a.IsZero()) return a;
  size_t limbs = bits / 64, sh = bits % 64;
  if (a.LimbCount() + limbs + 1 > TLInt::kMaxLimbs + 1) TooLarge();
  std::vector<Limb> r(a.LimbCount() + limbs + 1, 0);
  for (size_t i = 0; i < a.LimbCount(); ++i) {
    Limb v = a.LimbAt(i);
    r[i + limbs] |= v << sh;
    if (sh) r[i + limbs + 1] |= v >> (64 - sh);
  }
  return TLInt::FromLimbs(std::move(r));
}

TLInt ShiftRight(const TLInt& a, size_t bits) {
  size_t limbs = bits / 64, sh = bits % 64;
  if (limbs >= a.LimbCount()) return TLInt();
  std::vector<Limb> r(a.LimbCount() - limbs, 0);
  for (size_t i = 0; i < r.size(); ++i) {
    Limb v = a.LimbAt(i + limbs) >> sh;
    if (sh) v |= a.LimbAt(i + limbs + 1) << (64 - sh);
    r[i] = v;
  }
  return TLInt::FromLimbs(std::move(r));
}

TLInt ModInverse(const TLInt& a, const TLInt& m) {
  if (m.IsEven() || Compare(m, TLInt(1)) <= 0) throw MathException_("Number not invertible");
  const size_t n = m.LimbCount() + 1;
  std::vector<Limb> u = Mod(a, m).ToLimbs(n), v = m.ToLimbs(n), mm = m.ToLimbs(n);
  std::vector<Limb> x1(n, 0), x2(n, 0), tmp(n);
  x1[0] = 1;
  auto isZero = [&](const std::vector<Limb>& x) {
    return std::all_of(x.begin(), x.end(), [](Limb l) { return l == 0; });
  };
  auto isOne = [&](const std::vector<Limb>& x) {
    return x[0] == 1 && std::all_of(x.begin() + 1, x.end(), [](Limb l) { return l == 0; });
  };
  auto shr1 = [&](std::vector<Limb>& x) {
    for (size_t j = 0; j < n; ++j) x[j] = (x[j] >> 1) | (j + 1 < n ? x[j + 1] << 63 : 0);
  };
  // x = x / 2 mod m (m odd, x < m): add m first when x is odd; n limbs leave room for the carry.
  auto halve = [&](std::vector<Limb>& x) {
    if (x[0] & 1) AddN(x.data(), x.data(), mm.data(), n);
    shr1(x);
  };
  // x = (x - y) mod m for x, y < m.
  auto subMod = [&](std::vector<Limb>& x, const std::vector<Limb>& y) {
    if (SubN(x.data(), x.data(), y.data(), n)) AddN(x.data(), x.data(), mm.data(), n);
  };
  if (isZero(u)) throw MathException_("Number not invertible");
  while (!isOne(u) && !isOne(v)) {
    if (isZero(u) || isZero(v)) throw MathException_("Number not invertible");
    while ((u[0] & 1) == 0) {
      shr1(u);
      halve(x1);
    }
    while ((v[0] & 1) == 0) {
      shr1(v);
      halve(x2);
    }
    if (CmpN(u.data(), v.data(), n) >= 0) {
      SubN(u.data(), u.data(), v.data(), n);
      subMod(x1, x2);
    } else {
      SubN(v.data(), v.data(), u.data(), n);
      subMod(x2, x1);
    }
  }
  return TLInt::FromLimbs(isOne(u) ? std::move(x1) : std::move(x2));
}

// ---- TMontgomery ----

TMontgomery::TMontgomery(const TLInt& m, TMontKernel kernel) : mod_(m) {
  if (m.IsEven() || Compare(m, TLInt(1)) <= 0) throw NativeError("Montgomery modulus must be odd");
  n_ = m.LimbCount();
  m_ = m.Limbs();
  // Newton iteration for m0^-1 mod 2^64; m0 * m0 == 1 mod 8 gives three correct bits.
  Limb inv = m_[0];
  for (int i = 0; i < 5; ++i) inv *= 2 - m_[0] * inv;
  m0inv_ = Limb{0} - inv;
  one_ = Mod(ShiftLeft(TLInt(1), 64 * n_), m).ToLimbs(n_);
  rr_ = Mod(ShiftLeft(TLInt(1), 128 * n_), m).ToLimbs(n_);
  switch (n_) {
    case 8:
      mul_ = &MontMulFixed<8>;
      break;
    case 9:
      mul_ = &MontMulFixed<9>;
      break;
    case 16:
      mul_ = &MontMulFixed<16>;
      break;
    case 17:
      mul_ = &MontMulFixed<17>;
      break;
    case 24:
      mul_ = &MontMulFixed<24>;
      break;
    case 32:
      mul_ = &MontMulFixed<32>;
      break;
    case 33:
      mul_ = &MontMulFixed<33>;
      break;
    case 48:
      mul_ = &MontMulFixed<48>;
      break;
    case 64:
      mul_ = &MontMulFixed<64>;
      break;
    default:
      mul_ = &MontMulAny;
      break;
  }
#if defined(__x86_64__)
  static const bool mulxAdx = HasMulxAdx();
  if (kernel == TMontKernel::Auto && mulxAdx) {
    if (n_ == 16) {
      mul_ = &MontMulAdx<16>;
      sqr_ = &MontSqrAdx16;
      fast_ = true;
    } else if (n_ == 32) {
      mul_ = &MontMulAdx<32>;
      fast_ = true;
    }
  }
#else
  (void)kernel;
#endif
}

void TMontgomery::MontMul(Limb* r, const Limb* a, const Limb* b) const {
  mul_(r, a, b, m_.data(), m0inv_, n_);
}

void TMontgomery::MontSqr(Limb* r, const Limb* a) const {
  if (sqr_) {
    sqr_(r, a, m_.data(), m0inv_, n_);
  } else {
    mul_(r, a, a, m_.data(), m0inv_, n_);
  }
}

std::vector<Limb> TMontgomery::Redc(const std::vector<Limb>& tin) const {
  std::vector<Limb> t(tin);
  t.resize(2 * n_, 0);
  Limb extra = 0;
  for (size_t i = 0; i < n_; ++i) {
    const Limb q = t[i] * m0inv_;
    Limb carry = 0;
    for (size_t j = 0; j < n_; ++j) {
      u128 p = static_cast<u128>(q) * m_[j] + t[i + j] + carry;
      t[i + j] = static_cast<Limb>(p);
      carry = static_cast<Limb>(p >> 64);
    }
    u128 s = static_cast<u128>(t[i + n_]) + carry + extra;
    t[i + n_] = static_cast<Limb>(s);
    extra = static_cast<Limb>(s >> 64);
  }
  std::vector<Limb> r(n_);
  FinalSubtract(r.data(), t.data() + n_, extra, m_.data(), n_);
  return r;
}

TLInt TMontgomery::Reduce(const TLInt& a) const {
  if (a.LimbCount() > 2 * n_ || Compare(ShiftRight(a, 64 * n_), mod_) >= 0) return Mod(a, mod_);
  std::vector<Limb> x = Redc(a.Limbs());    // a / R
  MontMul(x.data(), x.data(), rr_.data());  // a
  return TLInt::FromLimbs(std::move(x));
}

std::vector<Limb> TMontgomery::ToMont(const TLInt& a) const {
  std::vector<Limb> x = a.ToLimbs(n_);
  MontMul(x.data(), x.data(), rr_.data());
  return x;
}

TLInt TMontgomery::FromMont(const std::vector<Limb>& a) const {
  std::vector<Limb> one(n_, 0), r(n_);
  one[0] = 1;
  MontMul(r.data(), a.data(), one.data());
  return TLInt::FromLimbs(std::move(r));
}

TLInt TMontgomery::ModMul(const TLInt& a, const TLInt& b) const {
  std::vector<Limb> x = a.ToLimbs(n_), y = ToMont(b);
  MontMul(x.data(), x.data(), y.data());
  return TLInt::FromLimbs(std::move(x));
}

TLInt TMontgomery::ModSub(const TLInt& a, const TLInt& b) const {
  std::vector<Limb> x = a.ToLimbs(n_), y = b.ToLimbs(n_), r(n_), s(n_);
  Limb borrow = SubN(r.data(), x.data(), y.data(), n_);
  AddN(s.data(), r.data(), m_.data(), n_);
  Limb useSum = Limb{0} - borrow;
  for (size_t j = 0; j < n_; ++j) r[j] = (s[j] & useSum) | (r[j] & ~useSum);
  return TLInt::FromLimbs(std::move(r));
}

TLInt TMontgomery::ExpPublic(const TLInt& base, const TLInt& e) const {
  std::vector<Limb> b = ToMont(Compare(base, mod_) < 0 ? base : Mod(base, mod_));
  const size_t bits = e.BitLength();
  if (bits == 0) return FromMont(one_);
  // Left to right from below the top bit: 65537 takes 16 squares and one product.
  std::vector<Limb> acc = b;
  for (size_t bit = bits - 1; bit-- > 0;) {
    MontSqr(acc.data(), acc.data());
    if (e.TestBit(bit)) MontMul(acc.data(), acc.data(), b.data());
  }
  return FromMont(acc);
}

TLInt TMontgomery::ExpSecret(const TLInt& base, const TLInt& e, size_t ebits) const {
  constexpr size_t kWindow = 5;
  constexpr size_t kTable = size_t{1} << kWindow;
  const size_t n = n_;
  if (e.BitLength() > ebits) throw MathException_("Number too large");
  // The exponent as a fixed number of limbs so that no access depends on its length.
  const size_t elimbs = (ebits + 63) / 64 + 1;
  std::vector<Limb> ex = e.ToLimbs(elimbs);
  auto window = [&](size_t pos) -> Limb {  // bits [pos, pos + kWindow) of the exponent
    size_t li = pos / 64, sh = pos % 64;
    Limb v = ex[li] >> sh;
    if (sh > 64 - kWindow && li + 1 < elimbs) v |= ex[li + 1] << (64 - sh);
    return v & (kTable - 1);
  };

  std::vector<Limb> table(kTable * n);
  std::copy(one_.begin(), one_.end(), table.begin());
  std::vector<Limb> b = ToMont(base);
  std::copy(b.begin(), b.end(), table.begin() + n);
  for (size_t i = 2; i < kTable; ++i) MontMul(&table[i * n], &table[(i - 1) * n], b.data());

  std::vector<Limb> acc(n), sel(n);
  auto lookup = [&](Limb idx) {
    if (n == 16) {
      SelectEntry<16>(sel.data(), table.data(), kTable, idx, n);
    } else if (n == 32) {
      SelectEntry<32>(sel.data(), table.data(), kTable, idx, n);
    } else {
      SelectEntry<0>(sel.data(), table.data(), kTable, idx, n);
    }
  };

  const size_t windows = std::max<size_t>(1, (ebits + kWindow - 1) / kWindow);
  lookup(window((windows - 1) * kWindow));
  acc = sel;
  for (size_t w = windows - 1; w-- > 0;) {
    for (size_t s = 0; s < kWindow; ++s) MontSqr(acc.data(), acc.data());
    lookup(window(w * kWindow));
    MontMul(acc.data(), acc.data(), sel.data());
  }
  return FromMont(acc);
}

}  // namespace varo::ua
