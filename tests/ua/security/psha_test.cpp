// SPDX-License-Identifier: MPL-2.0
// P_SHA1 / P_SHA256 key expansion: a published TLS 1.2 vector, windows at an offset, the
// channel key split, and comparison with OpenSSL's TLS1-PRF and an HMAC-built reference.
#include "ua/security/psha.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/kdf.h>
#include <openssl/params.h>

#include <random>
#include <string>

#include "support/test_support.h"
#include "ua/security/security_error.h"

namespace varo::ua {
namespace {

using test::Hex;
using test::ToHex;

ByteArray RandomBytes(std::mt19937& rng, size_t n) {
  ByteArray b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// OpenSSL's TLS1-PRF with a single digest (not MD5-SHA1) is P_hash of that digest.
ByteArray OpenSslTlsPrf(THashAlg alg, ByteSpan secret, ByteSpan seed, size_t length) {
  EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "TLS1-PRF", nullptr);
  EXPECT_NE(kdf, nullptr);
  EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
  std::string digest = alg == THashAlg::Sha1 ? "SHA1" : "SHA256";
  ByteArray secretCopy(secret.begin(), secret.end()), seedCopy(seed.begin(), seed.end());
  const OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest.data(), 0),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SECRET, secretCopy.data(), secretCopy.size()),
      OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SEED, seedCopy.data(), seedCopy.size()),
      OSSL_PARAM_construct_end()};
  ByteArray out(length);
  EXPECT_EQ(EVP_KDF_derive(ctx, out.data(), out.size(), params), 1);
  EVP_KDF_CTX_free(ctx);
  EVP_KDF_free(kdf);
  return out;
}

// P_hash written directly from its definition with OpenSSL's HMAC.
ByteArray ReferencePHash(THashAlg alg, ByteSpan secret, ByteSpan seed, size_t length) {
  const EVP_MD* md = alg == THashAlg::Sha1 ? EVP_sha1() : EVP_sha256();
  auto hmac = [&](ByteSpan data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    HMAC(md, secret.data(), static_cast<int>(secret.size()), data.data(), data.size(), out, &len);
    return ByteArray(out, out + len);
  };
  ByteArray result;
  ByteArray a = hmac(seed);
  while (result.size() < length) {
    ByteArray in = a;
    in.insert(in.end(), seed.begin(), seed.end());
    const ByteArray block = hmac(in);
    result.insert(result.end(), block.begin(), block.end());
    a = hmac(a);
  }
  result.resize(length);
  return result;
}

TEST(PShaTest, Tls12Sha256Vector) {
  const ByteArray secret = Hex("9bbe436ba940f017b17652849a71db35");
  const ByteArray seed = Hex("a0ba9f936cda311827a6f796ffd5198c");
  const ByteArray expected =
      Hex("e3f229ba727be17b8d122620557cd453c2aab21d07c3d495329b52d4e61edb5a6b301791e90d35c9c9a46b4e14baf9af0f"
          "a022f707"
          "7def17abfd3797c0564bab4fbc91666e9def9b97fce34f796789baa48082d122ee42c5a72e5a5110fff70187347b66");
  EXPECT_EQ(ToHex(PSHA_impl(THashAlg::Sha256, "test label", secret, seed, 0, expected.size())),
            ToHex(expected));
}

TEST(PShaTest, MatchesOpenSslAndReferenceOnRandomInput) {
  std::mt19937 rng(7);
  for (THashAlg alg : {THashAlg::Sha1, THashAlg::Sha256}) {
    for (int i = 0; i < 40; ++i) {
      const ByteArray secret = RandomBytes(rng, 1 + rng() % 70);
      const ByteArray seed = RandomBytes(rng, 1 + rng() % 70);
      const size_t length = rng() % 200;
      SCOPED_TRACE(testing::Message()
                   << "secret " << secret.size() << " seed " << seed.size() << " length " << length);
      const ByteArray ours = PSha(alg, secret, seed, length);
      ASSERT_EQ(ours.size(), length);
      EXPECT_EQ(ours, ReferencePHash(alg, secret, seed, length));
      if (length > 0) {
        EXPECT_EQ(ours, OpenSslTlsPrf(alg, secret, seed, length));
      }
    }
  }
}

// A window at an offset is exactly that slice of the stream, for offsets on and off block edges.
TEST(PShaTest, WindowAtOffsetIsSliceOfStream) {
  const ByteArray secret = Hex("00112233445566778899aabbccddeeff");
  const ByteArray seed = Hex("0f0e0d0c0b0a09080706050403020100ffeeddcc");
  for (THashAlg alg : {THashAlg::Sha1, THashAlg::Sha256}) {
    const ByteArray stream = PSha(alg, secret, seed, 200);
    for (size_t offset : {0, 1, 19, 20, 21, 31, 32, 33, 64, 100}) {
      for (size_t length : {0, 1, 16, 20, 32, 45, 99}) {
        SCOPED_TRACE(testing::Message() << "offset " << offset << " length " << length);
        const ByteArray window = PSHA_impl(alg, {}, secret, seed, offset, length);
        EXPECT_EQ(window, ByteArray(stream.begin() + static_cast<ptrdiff_t>(offset),
                                    stream.begin() + static_cast<ptrdiff_t>(offset + length)));
      }
    }
  }
}

TEST(PShaTest, OffsetTwentyWithSha1IsSecondHmacBlock) {
  const ByteArray secret = Hex("0102030405");
  const ByteArray seed = Hex("a1a2a3");
  const ByteArray a1 = HmacSha1(secret, seed);
  const ByteArray a2 = HmacSha1(secret, a1);
  ByteArray in = a2;
  in.insert(in.end(), seed.begin(), seed.end());
  EXPECT_EQ(PSHA_impl(THashAlg::Sha1, {}, secret, seed, 20, 20), HmacSha1(secret, in));
}

TEST(PShaTest, LabelIsPrefixedToSeed) {
  const ByteArray secret = Hex("cafe");
  const ByteArray seed = Hex("0001");
  ByteArray labelled = ToBytes("key expansion");
  labelled.insert(labelled.end(), seed.begin(), seed.end());
  EXPECT_EQ(PSHA_impl(THashAlg::Sha256, "key expansion", secret, seed, 5, 40),
            PSHA_impl(THashAlg::Sha256, {}, secret, labelled, 5, 40));
}

TEST(PShaTest, EmptyResultAndOverflow) {
  const ByteArray secret = Hex("01");
  EXPECT_TRUE(PSHA_impl(THashAlg::Sha1, {}, secret, secret, 0, 0).empty());
  EXPECT_TRUE(PSha(THashAlg::Sha256, secret, secret, 0).empty());
  try {
    (void)PSHA_impl(THashAlg::Sha1, {}, secret, secret, SIZE_MAX, 2);
    FAIL() << "no exception";
  } catch (const EuaSecurityError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Native Security Error: ", 0), 0u) << e.what();
  }
}

// The channel's key split for Basic256 (signing 24, encrypting 32, IV 16) reads consecutive
// windows of one P_SHA1 stream.
TEST(PShaTest, Basic256KeySplitReadsConsecutiveWindows) {
  std::mt19937 rng(3);
  const ByteArray serverNonce = RandomBytes(rng, 32);
  const ByteArray clientNonce = RandomBytes(rng, 32);
  const ByteArray stream = PSha(THashAlg::Sha1, serverNonce, clientNonce, 72);
  const ByteArray sign = PSHA_impl(THashAlg::Sha1, {}, serverNonce, clientNonce, 0, 24);
  const ByteArray enc = PSHA_impl(THashAlg::Sha1, {}, serverNonce, clientNonce, 24, 32);
  const ByteArray iv = PSHA_impl(THashAlg::Sha1, {}, serverNonce, clientNonce, 56, 16);
  ByteArray joined = sign;
  joined.insert(joined.end(), enc.begin(), enc.end());
  joined.insert(joined.end(), iv.begin(), iv.end());
  EXPECT_EQ(joined, stream);
  EXPECT_EQ(stream, OpenSslTlsPrf(THashAlg::Sha1, serverNonce, clientNonce, 72));
}

}  // namespace
}  // namespace varo::ua
