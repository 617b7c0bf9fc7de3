// SPDX-License-Identifier: MPL-2.0
#include "ua/security/bignum.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <memory>
#include <random>

#include "support/test_support.h"

namespace varo::ua {
namespace {

using test::Hex;
using test::ToHex;

TLInt H(const char* hex) {
  return TLInt::FromBytes(Hex(hex));
}
std::string Str(const TLInt& v) {
  return ToHex(v.ToBytes());
}

// ---- OpenSSL reference ----

struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
struct CtxFree {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn ToBn(const TLInt& v) {
  ByteArray b = v.ToBytes();
  return Bn(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr));
}
TLInt FromBn(const BIGNUM* b) {
  ByteArray out(static_cast<size_t>(BN_num_bytes(b)));
  BN_bn2bin(b, out.data());
  return TLInt::FromBytes(out);
}

class Rng {
 public:
  explicit Rng(uint32_t seed) : gen_(seed) {}
  TLInt Bits(size_t bits, bool odd = false, bool top = true) {
    ByteArray b((bits + 7) / 8);
    for (auto& x : b) x = static_cast<uint8_t>(gen_());
    if (bits % 8) b[0] &= static_cast<uint8_t>(0xFF >> (8 - bits % 8));
    if (top) b[0] |= static_cast<uint8_t>(bits % 8 ? 1 << (bits % 8 - 1) : 0x80);
    if (odd) b.back() |= 1;
    return TLInt::FromBytes(b);
  }

 private:
  std::mt19937 gen_;
};

// ---- conversions ----

TEST(BigNum, BytesRoundTripAndLimits) {
  EXPECT_TRUE(TLInt::FromBytes({}).IsZero());
  EXPECT_TRUE(TLInt::FromBytes(Hex("00 00 00")).IsZero());
  EXPECT_EQ(TLInt::FromBytes(Hex("00 01 02 03 04 05 06 07 08 09")), H("01 02 03 04 05 06 07 08 09"));
  EXPECT_EQ(Str(H("00 80 00 00 00 00 00 00 00 01")), "80 00 00 00 00 00 00 00 01");
  EXPECT_EQ(H("01 00 00 00 00 00 00 00 00").BitLength(), 65u);
  EXPECT_EQ(ToHex(H("01 02").ToBytes(4)), "00 00 01 02");
  EXPECT_EQ(ToHex(TLInt().ToBytes(2)), "00 00");

  ByteArray max(TLInt::kMaxBytes, 0xFF);
  EXPECT_EQ(TLInt::FromBytes(max).BitLength(), 8 * TLInt::kMaxBytes);
  max.push_back(0xFF);
  EXPECT_THROW(TLInt::FromBytes(max), MathException_);

  ByteArray b256(256, 0xA5);
  TLInt v = TLInt::FromBytes(b256);
  EXPECT_EQ(v.ToBytes(256), b256);
  try {
    v.ToBytes(255);
    FAIL() << "no exception";
  } catch (const MathException_& e) {
    EXPECT_STREQ(e.what(), "Output buffer too small");
  }
}

TEST(BigNum, BitsAndParity) {
  TLInt v = H("80 00 00 00 00 00 00 00 01");
  EXPECT_TRUE(v.TestBit(0));
  EXPECT_FALSE(v.TestBit(1));
  EXPECT_TRUE(v.TestBit(71));
  EXPECT_FALSE(v.TestBit(500));
  EXPECT_TRUE(v.IsOdd());
  EXPECT_TRUE(TLInt().IsEven());
  EXPECT_EQ(TLInt().BitLength(), 0u);
  EXPECT_EQ(TLInt(1).BitLength(), 1u);
}

// ---- add, sub, mul, mod: edge cases ----

struct ArithCase {
  const char* a;
  const char* b;
  const char* sum;
  const char* product;
};

TEST(BigNum, AddMulCarryChains) {
  const ArithCase cases[] = {
      {"", "", "", ""},
      {"01", "", "01", ""},
      {"FFFFFFFFFFFFFFFF", "01", "01 0000000000000000", "FFFFFFFFFFFFFFFF"},
      {"FFFFFFFFFFFFFFFF FFFFFFFFFFFFFFFF FFFFFFFFFFFFFFFF", "01",
       "01 0000000000000000 0000000000000000 0000000000000000",
       "FFFFFFFFFFFFFFFF FFFFFFFFFFFFFFFF FFFFFFFFFFFFFFFF"},
      {"FFFFFFFFFFFFFFFF FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF FFFFFFFFFFFFFFFF",
       "01 FFFFFFFFFFFFFFFF FFFFFFFFFFFFFFFE",
       "FFFFFFFFFFFFFFFF FFFFFFFFFFFFFFFE 0000000000000000 0000000000000001"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a);
    TLInt a = H(c.a), b = H(c.b);
    EXPECT_EQ(Str(Add(a, b)), Str(H(c.sum)));
    EXPECT_EQ(Str(Add(b, a)), Str(H(c.sum)));
    EXPECT_EQ(Str(Mul(a, b)), Str(H(c.product)));
    EXPECT_EQ(Str(Sub(H(c.sum), b)), Str(a));
  }
}

TEST(BigNum, SubAndModErrors) {
  EXPECT_EQ(Str(Sub(H("01 0000000000000000 0000000000000000"), TLInt(1))),
            Str(H("FFFFFFFFFFFFFFFF FFFFFFFFFFFFFFFF")));
  EXPECT_TRUE(Sub(H("1234"), H("1234")).IsZero());
  EXPECT_THROW(Sub(TLInt(1), TLInt(2)), MathException_);
  try {
    Mod(TLInt(5), TLInt());
    FAIL() << "no exception";
  } catch (const MathException_& e) {
    EXPECT_STREQ(e.what(), "Division by zero");
  }
  TLInt m = H("F123456789ABCDEF 0123456789ABCDEF 01");
  EXPECT_TRUE(Mod(m, m).IsZero());
  EXPECT_EQ(Mod(Sub(m, TLInt(1)), m), Sub(m, TLInt(1)));
  EXPECT_EQ(Mod(Add(m, TLInt(7)), m), TLInt(7));
  EXPECT_EQ(Mod(Mul(m, m), m), TLInt());
}

TEST(BigNum, Shifts) {
  TLInt v = H("81 0000000000000001");
  EXPECT_EQ(Str(ShiftLeft(v, 65)), Str(H("0102 0000000000000002 0000000000000000")));
  EXPECT_EQ(ShiftRight(ShiftLeft(v, 131), 131), v);
  EXPECT_EQ(Str(ShiftRight(v, 64)), "81");
  EXPECT_TRUE(ShiftRight(v, 200).IsZero());
}

TEST(BigNum, ModInverse) {
  TLInt m = H("7FFFFFFFFFFFFFFF FFFFFFFFFFFFFFFF");  // 2^127 - 1, prime
  for (uint64_t a : {1ull, 2ull, 3ull, 0xFFFFFFFFFFFFFFFFull}) {
    TLInt inv = ModInverse(TLInt(a), m);
    EXPECT_EQ(Mod(Mul(inv, TLInt(a)), m), TLInt(1)) << a;
  }
  EXPECT_EQ(ModInverse(Sub(m, TLInt(1)), m), Sub(m, TLInt(1)));
  EXPECT_THROW(ModInverse(TLInt(), m), MathException_);
  EXPECT_THROW(ModInverse(TLInt(15), TLInt(35)), MathException_);  // gcd 5
  EXPECT_THROW(ModInverse(TLInt(3), TLInt(16)), MathException_);   // even modulus
}

// ---- Montgomery ----

TEST(Montgomery, RejectsEvenOrTrivialModulus) {
  EXPECT_THROW(TMontgomery{TLInt()}, EuaSecurityError);
  EXPECT_THROW(TMontgomery{TLInt(1)}, EuaSecurityError);
  EXPECT_THROW(TMontgomery{H("0100000000000000000000")}, EuaSecurityError);
}

TEST(Montgomery, EdgeValues) {
  Rng rng(7);
  for (size_t bits : {61u, 64u, 512u, 1000u, 1024u, 2048u}) {
    SCOPED_TRACE(bits);
    TLInt m = rng.Bits(bits, true);
    TMontgomery mont(m);
    TLInt m1 = Sub(m, TLInt(1));
    // (m - 1)^2 = 1, (m - 1)^odd = m - 1, x^0 = 1, 0^x = 0, x^1 = x.
    EXPECT_EQ(mont.ModMul(m1, m1), TLInt(1));
    EXPECT_EQ(mont.ExpSecret(m1, TLInt(3), bits), m1);
    EXPECT_EQ(mont.ExpSecret(m1, TLInt(), bits), TLInt(1));
    EXPECT_EQ(mont.ExpPublic(m1, TLInt(65537)), m1);
    EXPECT_EQ(mont.ExpSecret(TLInt(), m1, bits), TLInt());
    EXPECT_EQ(mont.ExpSecret(TLInt(2), TLInt(1), bits), TLInt(2));
    EXPECT_EQ(mont.ExpPublic(TLInt(5), TLInt()), TLInt(1));
    EXPECT_EQ(mont.ExpPublic(m1, TLInt(1)), m1);
    EXPECT_EQ(mont.ExpPublic(TLInt(3), TLInt(2)), TLInt(9));
    EXPECT_EQ(mont.ExpPublic(TLInt(3), TLInt(3)), TLInt(27));
    EXPECT_EQ(mont.ModSub(TLInt(), TLInt(1)), m1);
    EXPECT_EQ(mont.ModSub(m1, m1), TLInt());
    EXPECT_EQ(mont.Reduce(Mul(m1, m1)), TLInt(1));
    EXPECT_EQ(mont.Reduce(m), TLInt());
    EXPECT_EQ(mont.FromMont(mont.ToMont(m1)), m1);
    EXPECT_THROW(mont.ExpSecret(TLInt(2), ShiftLeft(TLInt(1), bits), bits), MathException_);
  }
}

// Differential test against OpenSSL's BIGNUM on random operands of many sizes; the sizes
// include every limb count that has its own fixed-size product routine and some that do not.
TEST(Montgomery, MatchesOpenSsl) {
  std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
  Rng rng(2024);
  for (size_t bits : {64u, 127u, 512u, 513u, 576u, 1024u, 1025u, 1536u, 2048u, 2049u, 3072u, 4096u}) {
    SCOPED_TRACE(bits);
    for (int round = 0; round < 3; ++round) {
      TLInt m = rng.Bits(bits, true);
      TLInt a = Mod(rng.Bits(bits + 17), m), b = Mod(rng.Bits(bits - 3), m);
      TLInt e = rng.Bits(bits, false, round != 0);
      Bn bm = ToBn(m), ba = ToBn(a), bb = ToBn(b), be = ToBn(e), r(BN_new());
      TMontgomery mont(m);

      BN_mul(r.get(), ba.get(), bb.get(), ctx.get());
      EXPECT_EQ(Mul(a, b), FromBn(r.get()));
      TLInt wide = Mul(a, rng.Bits(bits + 40));
      Bn bw = ToBn(wide);
      BN_mod(r.get(), bw.get(), bm.get(), ctx.get());
      EXPECT_EQ(Mod(wide, m), FromBn(r.get()));
      EXPECT_EQ(mont.Reduce(wide), FromBn(r.get()));
      BN_mod_mul(r.get(), ba.get(), bb.get(), bm.get(), ctx.get());
      EXPECT_EQ(mont.ModMul(a, b), FromBn(r.get()));
      BN_mod_exp(r.get(), ba.get(), be.get(), bm.get(), ctx.get());
      EXPECT_EQ(mont.ExpSecret(a, e, bits), FromBn(r.get()));
      EXPECT_EQ(mont.ExpPublic(a, e), FromBn(r.get()));
      if (BN_mod_inverse(r.get(), ba.get(), bm.get(), ctx.get()) != nullptr) {
        EXPECT_EQ(ModInverse(a, m), FromBn(r.get()));
      }
    }
  }
}

// Moduli that stress the carry chains of the limb products: all limbs all ones, only the top
// and bottom bits set, a small top limb, and random values; each at the limb counts with a
// processor-specific product and at one without.
std::vector<TLInt> KernelModuli(Rng& rng, size_t limbs) {
  const size_t bits = 64 * limbs;
  const TLInt top = ShiftLeft(TLInt(1), bits - 1);
  return {
      Sub(ShiftLeft(TLInt(1), bits), TLInt(1)),  // 2^bits - 1
      Add(top, TLInt(1)),                        // 2^(bits-1) + 1
      Add(ShiftLeft(TLInt(1), bits - 60), TLInt(0xFFFFFFFFFFFFFFFFull)),
      rng.Bits(bits, true),
      rng.Bits(bits, true),
  };
}

// Operands below m: the extremes, values with all-ones limbs, and random values.
std::vector<TLInt> KernelOperands(Rng& rng, const TLInt& m) {
  const size_t bits = m.BitLength();
  std::vector<TLInt> v = {TLInt(),
                          TLInt(1),
                          TLInt(2),
                          Sub(m, TLInt(1)),
                          Sub(m, TLInt(2)),
                          Mod(Sub(ShiftLeft(TLInt(1), bits - 1), TLInt(1)), m),
                          Mod(Sub(ShiftLeft(TLInt(1), 64 * (m.LimbCount() - 1)), TLInt(1)), m),
                          Mod(ShiftLeft(TLInt(1), 64 * m.LimbCount()), m)};  // R mod m
  for (int i = 0; i < 6; ++i) v.push_back(Mod(rng.Bits(bits), m));
  return v;
}

Bn BnMontMul(const TLInt& a, const TLInt& b, BN_MONT_CTX* mont, BN_CTX* ctx) {
  Bn ba = ToBn(a), bb = ToBn(b), r(BN_new());
  BN_mod_mul_montgomery(r.get(), ba.get(), bb.get(), mont, ctx);
  return r;
}

// The processor-specific products (where this machine has them) against the portable one and
// against OpenSSL's Montgomery product, which uses the same R = 2^(64n).
TEST(Montgomery, KernelsMatchPortableAndOpenSsl) {
  std::unique_ptr<BN_CTX, CtxFree> ctx(BN_CTX_new());
  Rng rng(99);
  for (size_t limbs : {8u, 16u, 17u, 32u}) {
    for (const TLInt& m : KernelModuli(rng, limbs)) {
      SCOPED_TRACE(Str(m));
      TMontgomery fast(m), portable(m, TMontKernel::Portable);
      EXPECT_FALSE(portable.FastKernel());
      std::unique_ptr<BN_MONT_CTX, void (*)(BN_MONT_CTX*)> bmont(BN_MONT_CTX_new(), BN_MONT_CTX_free);
      Bn bm = ToBn(m);
      ASSERT_EQ(BN_MONT_CTX_set(bmont.get(), bm.get(), ctx.get()), 1);
      const std::vector<TLInt> ops = KernelOperands(rng, m);
      for (const TLInt& a : ops) {
        for (const TLInt& b : ops) {
          std::vector<Limb> x = a.ToLimbs(limbs), y = b.ToLimbs(limbs), rf(limbs), rp(limbs);
          fast.MontMul(rf.data(), x.data(), y.data());
          portable.MontMul(rp.data(), x.data(), y.data());
          const TLInt want = FromBn(BnMontMul(a, b, bmont.get(), ctx.get()).get());
          ASSERT_EQ(Str(TLInt::FromLimbs(rf)), Str(want)) << Str(a) << " * " << Str(b);
          ASSERT_EQ(Str(TLInt::FromLimbs(rp)), Str(want)) << Str(a) << " * " << Str(b);
        }
        // Squares, in place as the exponentiations use them, and into a separate output.
        const TLInt want = FromBn(BnMontMul(a, a, bmont.get(), ctx.get()).get());
        std::vector<Limb> x = a.ToLimbs(limbs), y = a.ToLimbs(limbs), z(limbs), w = a.ToLimbs(limbs);
        fast.MontSqr(x.data(), x.data());
        portable.MontSqr(y.data(), y.data());
        fast.MontSqr(z.data(), w.data());
        fast.MontMul(w.data(), w.data(), w.data());
        EXPECT_EQ(Str(TLInt::FromLimbs(x)), Str(want)) << Str(a);
        EXPECT_EQ(Str(TLInt::FromLimbs(y)), Str(want)) << Str(a);
        EXPECT_EQ(Str(TLInt::FromLimbs(z)), Str(want)) << Str(a);
        EXPECT_EQ(Str(TLInt::FromLimbs(w)), Str(want)) << Str(a);
      }
    }
  }
}

// Long chains of squares and products in place, as in an exponentiation: a fault that shows only on rare
// carry patterns gets many chances, and the two kernels must stay in step.
TEST(Montgomery, KernelChainsStayInStep) {
  Rng rng(5);
  for (size_t limbs : {16u, 32u}) {
    for (const TLInt& m : KernelModuli(rng, limbs)) {
      TMontgomery fast(m), portable(m, TMontKernel::Portable);
      std::vector<Limb> a = Mod(rng.Bits(64 * limbs), m).ToLimbs(limbs), b = a;
      const std::vector<Limb> c = Mod(rng.Bits(64 * limbs), m).ToLimbs(limbs);
      for (int i = 0; i < 2000; ++i) {
        if (i % 3) {
          fast.MontSqr(a.data(), a.data());
          portable.MontMul(b.data(), b.data(), b.data());
        } else {
          fast.MontMul(a.data(), a.data(), c.data());
          portable.MontMul(b.data(), b.data(), c.data());
        }
        ASSERT_EQ(a, b) << "step " << i;
      }
    }
  }
}

}  // namespace
}  // namespace varo::ua
