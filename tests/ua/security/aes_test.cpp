// SPDX-License-Identifier: MPL-2.0
// AES and CBC: published vectors, comparison with OpenSSL on random input, parameter errors,
// for both the AES-instruction and the portable bitsliced code.
#include "ua/security/aes.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>

#include "support/test_support.h"
#include "ua/security/security_error.h"

namespace varo::ua {
namespace {

using test::Hex;
using test::ToHex;

class AesImplTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (GetParam() && !AesAccelerationAvailable()) GTEST_SKIP() << "CPU has no AES instructions";
    ASSERT_EQ(SetAesAcceleration(GetParam()), GetParam());
  }
  void TearDown() override { SetAesAcceleration(true); }
};

INSTANTIATE_TEST_SUITE_P(Impl, AesImplTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "AesInstructions" : "Portable"; });

struct BlockCase {
  const char* name;
  const char* key;
  const char* plain;
  const char* cipher;
};

const BlockCase kBlockCases[] = {
    {"AES-128 cipher example", "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
     "3925841d02dc09fbdc118597196a0b32"},
    {"AES-128", "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
     "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"AES-192", "000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
     "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"AES-256", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
};

TEST_P(AesImplTest, BlockVectorsBothDirections) {
  for (const auto& c : kBlockCases) {
    SCOPED_TRACE(c.name);
    const TAes aes(Hex(c.key));
    EXPECT_EQ(aes.keySize(), Hex(c.key).size());
    EXPECT_EQ(aes.rounds(), static_cast<int>(Hex(c.key).size() / 4 + 6));
    ByteArray block = Hex(c.plain);
    aes.encryptBlock(block, block);
    EXPECT_EQ(ToHex(block), ToHex(Hex(c.cipher)));
    aes.decryptBlock(block, block);
    EXPECT_EQ(ToHex(block), ToHex(Hex(c.plain)));
  }
}

struct CbcCase {
  const char* name;
  const char* key;
  const char* cipher;
};

constexpr const char* kCbcIv = "000102030405060708090a0b0c0d0e0f";
constexpr const char* kCbcPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e5130c81c46a35ce411e5fbc1191a0a52ef"
    "f69f2445df4f9b17ad2b417be66c3710";

const CbcCase kCbcCases[] = {
    {"CBC-AES128", "2b7e151628aed2a6abf7158809cf4f3c",
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b273bed6b8e3c1743b7116e69e22229516"
     "3ff1caa1681fac09120eca307586e1a7"},
    {"CBC-AES192", "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
     "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a571b242012fb7ae07fa9baac3df102e0"
     "08b0e27988598881d920a9e64f5615cd"},
    {"CBC-AES256", "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4",
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d39f23369a9d9bacfa530e26304231461"
     "b2eb05e2c39be9fcda6c19078c6a9d1b"},
};

TEST_P(AesImplTest, CbcVectorsCopyingAndInPlace) {
  const ByteArray iv = Hex(kCbcIv), plain = Hex(kCbcPlain);
  for (const auto& c : kCbcCases) {
    SCOPED_TRACE(c.name);
    const ByteArray key = Hex(c.key), cipher = Hex(c.cipher);
    EXPECT_EQ(ToHex(AesCbcEncrypt(key, iv, plain)), ToHex(cipher));
    EXPECT_EQ(ToHex(AesCbcDecrypt(key, iv, cipher)), ToHex(plain));

    const TAes aes(key);
    ByteArray buf = plain;
    aes.encryptCbc(iv, buf);
    EXPECT_EQ(buf, cipher);
    // Every call restarts the chain from the IV it is given.
    ByteArray again = plain;
    aes.encryptCbc(iv, again);
    EXPECT_EQ(again, cipher);
    aes.decryptCbc(iv, buf);
    EXPECT_EQ(buf, plain);
  }
}

ByteArray RandomBytes(std::mt19937& rng, size_t n) {
  ByteArray b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

ByteArray OpenSslCbc(bool encrypt, ByteSpan key, ByteSpan iv, ByteSpan data) {
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_cbc()
                             : key.size() == 24 ? EVP_aes_192_cbc()
                                                : EVP_aes_256_cbc();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EXPECT_EQ(EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  ByteArray out(data.size() + 16);
  int len = 0, fin = 0;
  EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &len, data.data(), static_cast<int>(data.size())), 1);
  EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + len, &fin), 1);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(len + fin));
  return out;
}

// Block counts around the four-lane (portable) and eight-way (instructions) groupings.
TEST_P(AesImplTest, MatchesOpenSslOnRandomInput) {
  std::mt19937 rng(2024);
  for (size_t keyLen : {16, 24, 32}) {
    for (size_t blocks : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 64, 257}) {
      SCOPED_TRACE(testing::Message() << "key " << keyLen << " blocks " << blocks);
      const ByteArray key = RandomBytes(rng, keyLen), iv = RandomBytes(rng, 16);
      const ByteArray plain = RandomBytes(rng, 16 * blocks);
      const ByteArray cipher = AesCbcEncrypt(key, iv, plain);
      ASSERT_EQ(cipher, OpenSslCbc(true, key, iv, plain));
      ASSERT_EQ(AesCbcDecrypt(key, iv, cipher), plain);
      const ByteArray randomCipher = RandomBytes(rng, 16 * blocks);
      ByteArray inPlace = randomCipher;
      TAes(key).decryptCbc(iv, inPlace);
      ASSERT_EQ(inPlace, OpenSslCbc(false, key, iv, randomCipher));
    }
  }
}

// The key schedule serves both code paths whichever was selected when the key was expanded.
TEST(AesTest, KeyExpandedUnderOnePathWorksUnderTheOther) {
  if (!AesAccelerationAvailable()) GTEST_SKIP() << "CPU has no AES instructions";
  const ByteArray key = Hex(kCbcCases[2].key), iv = Hex(kCbcIv), plain = Hex(kCbcPlain);
  for (bool expandAccelerated : {true, false}) {
    SetAesAcceleration(expandAccelerated);
    const TAes aes(key);
    for (bool runAccelerated : {true, false}) {
      SetAesAcceleration(runAccelerated);
      ByteArray buf = plain;
      aes.encryptCbc(iv, buf);
      EXPECT_EQ(buf, Hex(kCbcCases[2].cipher));
      aes.decryptCbc(iv, buf);
      EXPECT_EQ(buf, plain);
    }
  }
  SetAesAcceleration(true);
}

void ExpectNativeError(const std::function<void()>& f, const char* what) {
  try {
    f();
    ADD_FAILURE() << what << ": no exception";
  } catch (const EuaSecurityError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Native Security Error: ", 0), 0u) << e.what();
  }
}

TEST(AesTest, UnsupportedKeyLengthsRaise) {
  for (size_t len : {0, 1, 8, 15, 17, 20, 23, 25, 31, 33, 48, 64}) {
    ExpectNativeError([&] { TAes aes(ByteArray(len, 1)); }, ("key length " + std::to_string(len)).c_str());
    ExpectNativeError([&] { (void)AesCbcEncrypt(ByteArray(len, 1), ByteArray(16), ByteArray(16)); },
                      "encrypt");
  }
}

// Bad parameters raise and leave the output exactly as it was.
TEST(AesTest, BadIvDataOrOutputRaiseWithoutWriting) {
  const TAes aes(ByteArray(16, 7));
  struct Case {
    const char* name;
    size_t iv, in, out;
  };
  const Case cases[] = {
      {"empty IV", 0, 16, 16},  {"short IV", 15, 16, 16},     {"long IV", 17, 32, 32},
      {"one byte", 16, 1, 1},   {"15 bytes", 16, 15, 15},     {"17 bytes", 16, 17, 17},
      {"50 bytes", 16, 50, 50}, {"output short", 16, 32, 16}, {"output long", 16, 32, 48},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ByteArray iv(c.iv, 3), in(c.in, 5);
    ByteArray out(c.out, 0xEE);
    ExpectNativeError([&] { aes.encryptCbc(iv, in, out); }, "encrypt");
    EXPECT_EQ(out, ByteArray(c.out, 0xEE));
    ExpectNativeError([&] { aes.decryptCbc(iv, in, out); }, "decrypt");
    EXPECT_EQ(out, ByteArray(c.out, 0xEE));
  }
  ExpectNativeError([&] { (void)AesCbcDecrypt(ByteArray(32, 1), ByteArray(16), ByteArray(50)); }, "50 bytes");
  ByteArray block(16);
  ExpectNativeError([&] { aes.encryptBlock(ByteArray(15), block); }, "short block");
}

TEST(AesTest, PartlyOverlappingBuffersRaise) {
  const TAes aes(ByteArray(32, 9));
  ByteArray buf(64, 1);
  const ByteArray iv(16);
  ExpectNativeError([&] { aes.encryptCbc(iv, ByteSpan(buf).first(32), std::span(buf).subspan(16, 32)); },
                    "enc");
  ExpectNativeError([&] { aes.decryptCbc(iv, ByteSpan(buf).subspan(16, 32), std::span(buf).first(32)); },
                    "dec");
  EXPECT_EQ(buf, ByteArray(64, 1));
}

}  // namespace
}  // namespace varo::ua
