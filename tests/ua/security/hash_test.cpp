// SPDX-License-Identifier: MPL-2.0
// SHA-1, SHA-256 and HMAC: published vectors, streaming in odd pieces and comparison with
// OpenSSL on random input, for both the SHA-instruction and the portable code.
#include "ua/security/hash.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <random>
#include <string>

#include "support/test_support.h"

namespace varo::ua {
namespace {

using test::Hex;
using test::ToHex;

// Runs every test once with the SHA instructions (skipped when the CPU lacks them) and once
// with the portable code.
class HashImplTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && !ShaAccelerationAvailable()) GTEST_SKIP() << "CPU has no SHA instructions";
    ASSERT_EQ(SetShaAcceleration(GetParam()), GetParam());
  }
  void TearDown() override { SetShaAcceleration(true); }
};

INSTANTIATE_TEST_SUITE_P(Impl, HashImplTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "ShaInstructions" : "Portable"; });

ByteArray Repeat(uint8_t b, size_t n) {
  return ByteArray(n, b);
}

struct DigestCase {
  const char* name;
  ByteArray message;
  const char* sha1;
  const char* sha256;
};

std::vector<DigestCase> DigestCases() {
  return {
      {"empty",
       {},
       "da39a3ee5e6b4b0d3255bfef95601890afd80709",
       "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", ToBytes("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d",
       "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"448 bits", ToBytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"896 bits",
       ToBytes(
           "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
           "mnopqrstnopqrstu"),
       "a49b2446a02c645bf419f995b67091253a04a259",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {"million a", Repeat('a', 1000000), "34aa973cd4c4daa4f61eeb2bdbad27316534016f",
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
}

TEST_P(HashImplTest, PublishedVectorsOneShot) {
  for (const auto& c : DigestCases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ToHex(Sha1(c.message)), ToHex(Hex(c.sha1)));
    EXPECT_EQ(ToHex(Sha256(c.message)), ToHex(Hex(c.sha256)));
    EXPECT_EQ(Hash(THashAlg::Sha1, c.message), Hex(c.sha1));
    EXPECT_EQ(Hash(THashAlg::Sha256, c.message), Hex(c.sha256));
  }
}

// Feeds the message in pieces whose sizes cross the 64-byte block boundary at every offset.
template <typename H>
ByteArray HashInPieces(ByteSpan message) {
  static constexpr size_t kPieces[] = {1, 3, 7, 13, 61, 64, 65, 127, 0, 200, 1001};
  H ctx;
  size_t pos = 0;
  for (size_t i = 0; pos < message.size(); ++i) {
    const size_t n = std::min(kPieces[i % std::size(kPieces)], message.size() - pos);
    ctx.update(message.subspan(pos, n));
    pos += n;
  }
  const auto d = ctx.final();
  return ByteArray(d.begin(), d.end());
}

TEST_P(HashImplTest, PublishedVectorsStreamedInOddPieces) {
  for (const auto& c : DigestCases()) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(HashInPieces<TSha1>(c.message), Hex(c.sha1));
    EXPECT_EQ(HashInPieces<TSha256>(c.message), Hex(c.sha256));
  }
}

TEST_P(HashImplTest, ContextIsFreshAfterFinal) {
  TSha256 ctx;
  ctx.update(ToBytes("something else"));
  (void)ctx.final();
  ctx.update(ToBytes("abc"));
  const auto d = ctx.final();
  EXPECT_EQ(ByteArray(d.begin(), d.end()),
            Hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  TSha1 ctx1;
  ctx1.update(ToBytes("abc"));
  (void)ctx1.final();
  const auto e = ctx1.final();
  EXPECT_EQ(ByteArray(e.begin(), e.end()), Hex("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
}

ByteArray OpenSslDigest(const EVP_MD* md, ByteSpan data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EXPECT_EQ(EVP_Digest(data.data(), data.size(), out, &len, md, nullptr), 1);
  return ByteArray(out, out + len);
}

ByteArray OpenSslHmac(const EVP_MD* md, ByteSpan key, ByteSpan data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  static const unsigned char kNoKey = 0;
  EXPECT_NE(HMAC(md, key.empty() ? &kNoKey : key.data(), static_cast<int>(key.size()), data.data(),
                 data.size(), out, &len),
            nullptr);
  return ByteArray(out, out + len);
}

ByteArray RandomBytes(std::mt19937& rng, size_t n) {
  ByteArray b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Every length up to five blocks (all padding cases), then random longer ones.
TEST_P(HashImplTest, MatchesOpenSslOnRandomInput) {
  std::mt19937 rng(1234);
  for (size_t n = 0; n < 400; ++n) {
    const size_t len = n < 320 ? n : rng() % 20000;
    const ByteArray m = RandomBytes(rng, len);
    SCOPED_TRACE(len);
    ASSERT_EQ(Sha1(m), OpenSslDigest(EVP_sha1(), m));
    ASSERT_EQ(Sha256(m), OpenSslDigest(EVP_sha256(), m));
    ASSERT_EQ(HashInPieces<TSha256>(m), Sha256(m));
  }
}

struct HmacCase {
  const char* name;
  ByteArray key;
  ByteArray data;
  const char* mac;  // may be a truncated prefix
};

std::vector<HmacCase> HmacSha1Cases() {
  return {
      {"1", Repeat(0x0b, 20), ToBytes("Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00"},
      {"2", ToBytes("Jefe"), ToBytes("what do ya want for nothing?"),
       "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
      {"3", Repeat(0xaa, 20), Repeat(0xdd, 50), "125d7342b9ac11cd91a39af48aa17b4f63f175d3"},
      {"4", Hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Repeat(0xcd, 50),
       "4c9007f4026250c6bc8414f9bf50c86c2d7235da"},
      {"5", Repeat(0x0c, 20), ToBytes("Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04"},
      {"6 (80-byte key)", Repeat(0xaa, 80), ToBytes("Test Using Larger Than Block-Size Key - Hash Key First"),
       "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
      {"7 (80-byte key)", Repeat(0xaa, 80),
       ToBytes("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
       "e8e99d0f45237d786d6bbaa7965c7808bbff1a91"},
  };
}

std::vector<HmacCase> HmacSha256Cases() {
  return {
      {"1", Repeat(0x0b, 20), ToBytes("Hi There"),
       "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"2", ToBytes("Jefe"), ToBytes("what do ya want for nothing?"),
       "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {"3", Repeat(0xaa, 20), Repeat(0xdd, 50),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {"4", Hex("0102030405060708090a0b0c0d0e0f10111213141516171819"), Repeat(0xcd, 50),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {"5 (truncated)", Repeat(0x0c, 20), ToBytes("Test With Truncation"),
       "a3b6167473100ee06e0c796c2955552b"},
      {"6 (131-byte key)", Repeat(0xaa, 131),
       ToBytes("Test Using Larger Than Block-Size Key - Hash Key First"),
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {"7 (131-byte key)", Repeat(0xaa, 131),
       ToBytes("This is a test using a larger than block-size key and a larger than block-size data. The key "
               "needs to be hashed before being used by the HMAC algorithm."),
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
}

void ExpectMacStartsWith(const ByteArray& mac, const char* expected) {
  const ByteArray want = Hex(expected);
  ASSERT_GE(mac.size(), want.size());
  EXPECT_EQ(ToHex(ByteSpan(mac).first(want.size())), ToHex(want));
}

TEST_P(HashImplTest, HmacPublishedVectors) {
  for (const auto& c : HmacSha1Cases()) {
    SCOPED_TRACE(std::string("HMAC-SHA1 case ") + c.name);
    ExpectMacStartsWith(HmacSha1(c.key, c.data), c.mac);
    ExpectMacStartsWith(Hmac(THashAlg::Sha1, c.key, c.data), c.mac);
  }
  for (const auto& c : HmacSha256Cases()) {
    SCOPED_TRACE(std::string("HMAC-SHA256 case ") + c.name);
    ExpectMacStartsWith(HmacSha256(c.key, c.data), c.mac);
    ExpectMacStartsWith(Hmac(THashAlg::Sha256, c.key, c.data), c.mac);
  }
}

// Key lengths around the block size: 64 bytes is used as is, 65 is hashed first.
TEST_P(HashImplTest, HmacMatchesOpenSslOnRandomKeysAndData) {
  std::mt19937 rng(99);
  for (size_t keyLen : {0, 1, 20, 32, 63, 64, 65, 100, 131, 300}) {
    for (int i = 0; i < 12; ++i) {
      const ByteArray key = RandomBytes(rng, keyLen);
      const ByteArray data = RandomBytes(rng, rng() % 3000);
      SCOPED_TRACE(testing::Message() << "key " << keyLen << " data " << data.size());
      ASSERT_EQ(HmacSha1(key, data), OpenSslHmac(EVP_sha1(), key, data));
      ASSERT_EQ(HmacSha256(key, data), OpenSslHmac(EVP_sha256(), key, data));
    }
  }
}

// The keyed context is copied per message, the way a channel signs every chunk with one key.
TEST_P(HashImplTest, KeyedHmacCopiesSignIndependently) {
  const ByteArray key = Repeat(0x42, 32);
  for (THashAlg alg : {THashAlg::Sha1, THashAlg::Sha256}) {
    const THmac keyed(alg, key);
    EXPECT_EQ(keyed.size(), HashSize(alg));
    for (const char* text : {"first chunk", "", "second, somewhat longer chunk of the message stream"}) {
      THmac mac = keyed;
      const ByteArray data = ToBytes(text);
      mac.update(ByteSpan(data).first(data.size() / 2));
      mac.update(ByteSpan(data).subspan(data.size() / 2));
      EXPECT_EQ(mac.final(), Hmac(alg, key, data)) << text;
    }
  }
}

TEST(HashTest, HashSizes) {
  EXPECT_EQ(HashSize(THashAlg::Sha1), 20u);
  EXPECT_EQ(HashSize(THashAlg::Sha256), 32u);
}

TEST(HashTest, ConstantTimeEqual) {
  struct Case {
    ByteArray a, b;
    bool equal;
  };
  const Case cases[] = {
      {{}, {}, true},
      {Hex("00"), {}, false},
      {Hex("010203"), Hex("010203"), true},
      {Hex("010203"), Hex("010202"), false},
      {Hex("810203"), Hex("010203"), false},
      {Hex("010203"), Hex("01020300"), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ConstantTimeEqual(c.a, c.b), c.equal) << ToHex(c.a) << " vs " << ToHex(c.b);
  }
}

}  // namespace
}  // namespace varo::ua
