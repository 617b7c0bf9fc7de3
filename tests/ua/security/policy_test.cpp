// SPDX-License-Identifier: MPL-2.0
#include "ua/security/policy.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <set>
#include <string>

#include "support/test_support.h"
#include "ua/security/policy_keys.h"
#include "ua/security/provider.h"

namespace varo::ua {
namespace {

using H = THashAlgorithm;

// The published parameters of every policy, written out independently of the table in the
// code.
struct ExpectedPolicy {
  TuaSecurePolicy policy;
  const char* uri;
  const char* asymEncUri;
  TRSAPadding asymEncPadding;
  H asymEncHash;
  const char* asymSigUri;
  TRSAPadding asymSigPadding;
  H asymSigHash;
  size_t pssSalt;
  const char* symSigUri;
  H symSigHash;
  size_t symSigSize;
  const char* symEncUri;
  TSymmAlgorithm symAlg;
  size_t blockSize;
  const char* kdUri;
  H kdHash;
  size_t signingKey, encryptingKey, iv, nonce;
  uint32_t minBits, maxBits;
};

const ExpectedPolicy kExpected[] = {
    {uaSPNone, "http://opcfoundation.org/UA/SecurityPolicy#None",
     "",       rpPKCS,
     H::SHA1,  "",
     rpPKCS,   H::SHA1,
     0,        "",
     H::SHA1,  0,
     "",       saAES128,
     1,        "",
     H::SHA1,  0,
     0,        0,
     0,        0,
     0},
    {uaSPBasic128Rsa15,
     "http://opcfoundation.org/UA/SecurityPolicy#Basic128Rsa15",
     "http://www.w3.org/2001/04/xmlenc#rsa-1_5",
     rpPKCS,
     H::SHA1,
     "http://www.w3.org/2000/09/xmldsig#rsa-sha1",
     rpPKCS,
     H::SHA1,
     0,
     "http://www.w3.org/2000/09/xmldsig#hmac-sha1",
     H::SHA1,
     20,
     "http://www.w3.org/2001/04/xmlenc#aes128-cbc",
     saAES128,
     16,
     "http://docs.oasis-open.org/ws-sx/ws-secureconversation/200512/dk/p_sha1",
     H::SHA1,
     16,
     16,
     16,
     16,
     1024,
     2048},
    {uaSPBasic256,
     "http://opcfoundation.org/UA/SecurityPolicy#Basic256",
     "http://www.w3.org/2001/04/xmlenc#rsa-oaep",
     rpOAEP,
     H::SHA1,
     "http://www.w3.org/2000/09/xmldsig#rsa-sha1",
     rpPKCS,
     H::SHA1,
     0,
     "http://www.w3.org/2000/09/xmldsig#hmac-sha1",
     H::SHA1,
     20,
     "http://www.w3.org/2001/04/xmlenc#aes256-cbc",
     saAES256,
     16,
     "http://docs.oasis-open.org/ws-sx/ws-secureconversation/200512/dk/p_sha1",
     H::SHA1,
     24,
     32,
     16,
     32,
     1024,
     2048},
    {uaSPBasic256Sha256,
     "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256",
     "http://www.w3.org/2001/04/xmlenc#rsa-oaep",
     rpOAEP,
     H::SHA1,
     "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256",
     rpPKCS,
     H::SHA256,
     0,
     "http://www.w3.org/2000/09/xmldsig#hmac-sha256",
     H::SHA256,
     32,
     "http://www.w3.org/2001/04/xmlenc#aes256-cbc",
     saAES256,
     16,
     "http://docs.oasis-open.org/ws-sx/ws-secureconversation/200512/dk/p_sha256",
     H::SHA256,
     32,
     32,
     16,
     32,
     2048,
     4096},
    {uaSPAes128_Sha256_RsaOaep,
     "http://opcfoundation.org/UA/SecurityPolicy#Aes128_Sha256_RsaOaep",
     "http://www.w3.org/2001/04/xmlenc#rsa-oaep",
     rpOAEP,
     H::SHA1,
     "http://www.w3.org/2001/04/xmldsig-more#rsa-sha256",
     rpPKCS,
     H::SHA256,
     0,
     "http://www.w3.org/2000/09/xmldsig#hmac-sha256",
     H::SHA256,
     32,
     "http://www.w3.org/2001/04/xmlenc#aes128-cbc",
     saAES128,
     16,
     "http://docs.oasis-open.org/ws-sx/ws-secureconversation/200512/dk/p_sha256",
     H::SHA256,
     32,
     16,
     16,
     32,
     2048,
     4096},
    {uaSPAes256_Sha256_RsaPss,
     "http://opcfoundation.org/UA/SecurityPolicy#Aes256_Sha256_RsaPss",
     "http://opcfoundation.org/UA/security/rsa-oaep-sha2-256",
     rpOAEP,
     H::SHA256,
     "http://opcfoundation.org/UA/security/rsa-pss-sha2-256",
     rpPSS,
     H::SHA256,
     32,
     "http://www.w3.org/2000/09/xmldsig#hmac-sha256",
     H::SHA256,
     32,
     "http://www.w3.org/2001/04/xmlenc#aes256-cbc",
     saAES256,
     16,
     "http://docs.oasis-open.org/ws-sx/ws-secureconversation/200512/dk/p_sha256",
     H::SHA256,
     32,
     32,
     16,
     32,
     2048,
     4096},
};

TEST(SecurityPolicyTable, MatchesThePublishedParameters) {
  ASSERT_EQ(SecurityPolicies().size(), std::size(kExpected));
  for (const ExpectedPolicy& e : kExpected) {
    const uaSecurityPolicyInfo& p = SecurityPolicyInfo(e.policy);
    SCOPED_TRACE(std::string(p.fName));
    EXPECT_EQ(p.fPolicy, e.policy);
    EXPECT_EQ(p.fUri, e.uri);
    EXPECT_EQ(std::string("http://opcfoundation.org/UA/SecurityPolicy#") + std::string(p.fName), e.uri);
    EXPECT_EQ(p.fAsymmetricEncryptionUri, e.asymEncUri);
    EXPECT_EQ(p.fAsymmetricEncryptionPadding, e.asymEncPadding);
    EXPECT_EQ(p.fAsymmetricEncryptionHash, e.asymEncHash);
    EXPECT_EQ(p.fAsymmetricSignatureUri, e.asymSigUri);
    EXPECT_EQ(p.fAsymmetricSignaturePadding, e.asymSigPadding);
    EXPECT_EQ(p.fAsymmetricSignatureHash, e.asymSigHash);
    EXPECT_EQ(p.fPssSaltLength, e.pssSalt);
    EXPECT_EQ(p.fSymmetricSignatureUri, e.symSigUri);
    EXPECT_EQ(p.fSymmetricSignatureHash, e.symSigHash);
    EXPECT_EQ(p.fSymmetricSignatureSize, e.symSigSize);
    EXPECT_EQ(p.fSymmetricEncryptionUri, e.symEncUri);
    EXPECT_EQ(p.fSymmetricAlgorithm, e.symAlg);
    EXPECT_EQ(p.fSymmetricBlockSize, e.blockSize);
    EXPECT_EQ(p.fKeyDerivationUri, e.kdUri);
    EXPECT_EQ(p.fKeyDerivationHash, e.kdHash);
    EXPECT_EQ(p.fSigningKeyLength, e.signingKey);
    EXPECT_EQ(p.fEncryptingKeyLength, e.encryptingKey);
    EXPECT_EQ(p.fInitVectorLength, e.iv);
    EXPECT_EQ(p.fNonceLength, e.nonce);
    EXPECT_EQ(SecurityPolicyNonceLength(e.policy), e.nonce);
    EXPECT_EQ(p.fMinAsymmetricKeyBits, e.minBits);
    EXPECT_EQ(p.fMaxAsymmetricKeyBits, e.maxBits);
    // Round trip through the URI.
    EXPECT_EQ(SecurityPolicyFromUri(e.uri), e.policy);
    EXPECT_EQ(SecurityPolicyUri(e.policy), e.uri);
  }
}

TEST(SecurityPolicyTable, KeySizeLimitsAreInclusiveAndNoneAllowsNothing) {
  struct Case {
    TuaSecurePolicy policy;
    size_t bits;
    bool allowed;
  } const cases[] = {
      {uaSPNone, 2048, false},
      {uaSPBasic128Rsa15, 1023, false},
      {uaSPBasic128Rsa15, 1024, true},
      {uaSPBasic128Rsa15, 2048, true},
      {uaSPBasic128Rsa15, 2056, false},
      {uaSPBasic256, 1024, true},
      {uaSPBasic256, 3072, false},
      {uaSPBasic256Sha256, 1024, false},
      {uaSPBasic256Sha256, 2048, true},
      {uaSPBasic256Sha256, 4096, true},
      {uaSPBasic256Sha256, 4104, false},
      {uaSPAes128_Sha256_RsaOaep, 3072, true},
      {uaSPAes256_Sha256_RsaPss, 1024, false},
      {uaSPAes256_Sha256_RsaPss, 4096, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SecurityPolicyInfo(c.policy).AsymmetricKeySizeAllowed(c.bits), c.allowed)
        << SecurityPolicyInfo(c.policy).fName << " " << c.bits;
  }
}

TEST(SecurityPolicyTable, UnknownPoliciesAndUris) {
  EXPECT_THROW(SecurityPolicyInfo(uaSPNULL), EuaSecurityError);
  EXPECT_THROW(SecurityPolicyInfo(static_cast<TuaSecurePolicy>(7)), EuaSecurityError);
  EXPECT_EQ(SecurityPolicyUri(uaSPNULL), "");
  EXPECT_EQ(SecurityPolicyNonceLength(uaSPNULL), 0u);
  for (const char* uri : {"", "http://opcfoundation.org/UA/SecurityPolicy#Basic128",
                          "http://opcfoundation.org/UA/SecurityPolicy#basic256", "Basic256",
                          "http://opcfoundation.org/UA/SecurityPolicy#Basic256 "}) {
    EXPECT_EQ(SecurityPolicyFromUri(uri), uaSPNULL) << uri;
  }
}

// ---- RSA block arithmetic ----

TEST(RsaBlockArithmetic, PlainBlockSizePerPaddingAndKeySize) {
  struct Case {
    size_t k;
    TRSAPadding padding;
    H hash;
    size_t plain;
  } const cases[] = {
      {128, rpPKCS, H::SHA1, 117},
      {128, rpOAEP, H::SHA1, 86},
      {128, rpOAEP, H::SHA256, 62},
      {256, rpPKCS, H::SHA1, 245},
      {256, rpPKCS, H::SHA256, 245},
      {256, rpOAEP, H::SHA1, 214},
      {256, rpOAEP, H::SHA256, 190},
      {384, rpOAEP, H::SHA256, 318},
      {512, rpPKCS, H::SHA1, 501},
      {512, rpOAEP, H::SHA1, 470},
      {512, rpOAEP, H::SHA256, 446},
      {256, rpPSS, H::SHA256, 0},
      {512, rpPSS, H::SHA1, 0},
      // Keys too short for the padding have no block at all (no wrap-around).
      {11, rpPKCS, H::SHA1, 0},
      {42, rpOAEP, H::SHA1, 0},
      {60, rpOAEP, H::SHA256, 0},
      {0, rpPKCS, H::SHA1, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RsaPlainBlockSize(c.k, c.padding, c.hash), c.plain) << c.k << " " << int(c.padding);
    EXPECT_EQ(uaMessageSecurityImpl::RSABlockSize(c.k, c.padding, c.hash), c.plain);
  }
}

TEST(RsaBlockArithmetic, CipherSizesAndPaddingBytes) {
  struct Case {
    size_t k, p, plainLength, cipher;
  } const cases[] = {
      {256, 214, 0, 0},     {256, 214, 1, 256},     {256, 214, 214, 256},
      {256, 214, 215, 512}, {512, 446, 1000, 1536},
  };
  for (const Case& c : cases)
    EXPECT_EQ(RsaCipherTextSize(c.k, c.p, c.plainLength), c.cipher) << c.plainLength;
  EXPECT_THROW(RsaBlockCount(10, 0), EuaSecurityError);
  EXPECT_FALSE(RsaNeedsExtraPaddingByte(128));
  EXPECT_FALSE(RsaNeedsExtraPaddingByte(256));
  EXPECT_TRUE(RsaNeedsExtraPaddingByte(384));
  EXPECT_TRUE(RsaNeedsExtraPaddingByte(512));
}

// ---- Key derivation ----

// P_hash computed with OpenSSL's HMAC, independent of our code.
ByteArray ReferencePHash(const EVP_MD* md, ByteSpan secret, ByteSpan seed, size_t length) {
  ByteArray out;
  unsigned int n = 0;
  unsigned char a[EVP_MAX_MD_SIZE];
  HMAC(md, secret.data(), static_cast<int>(secret.size()), seed.data(), seed.size(), a, &n);
  ByteArray aPrev(a, a + n);
  while (out.size() < length) {
    ByteArray in = aPrev;
    in.insert(in.end(), seed.begin(), seed.end());
    unsigned char block[EVP_MAX_MD_SIZE];
    unsigned int bn = 0;
    HMAC(md, secret.data(), static_cast<int>(secret.size()), in.data(), in.size(), block, &bn);
    out.insert(out.end(), block, block + bn);
    HMAC(md, secret.data(), static_cast<int>(secret.size()), aPrev.data(), aPrev.size(), a, &n);
    aPrev.assign(a, a + n);
  }
  out.resize(length);
  return out;
}

ByteArray Slice(const ByteArray& b, size_t from, size_t len) {
  return ByteArray(b.begin() + static_cast<std::ptrdiff_t>(from),
                   b.begin() + static_cast<std::ptrdiff_t>(from + len));
}

TEST(KeyDerivation, EveryPolicyMatchesAnIndependentPHash) {
  for (const uaSecurityPolicyInfo& info : SecurityPolicies()) {
    if (!info.HasSecurity()) continue;
    SCOPED_TRACE(std::string(info.fName));
    const ByteArray clientNonce = CreateClientNonce(info.fPolicy);
    const ByteArray serverNonce = CreateClientNonce(info.fPolicy);
    const uaChannelKeys keys = DeriveChannelKeys(info.fPolicy, clientNonce, serverNonce);

    const EVP_MD* md = info.fKeyDerivationHash == H::SHA256 ? EVP_sha256() : EVP_sha1();
    const size_t s = info.fSigningKeyLength, e = info.fEncryptingKeyLength, iv = info.fInitVectorLength;
    const ByteArray clientStream = ReferencePHash(md, serverNonce, clientNonce, s + e + iv);
    const ByteArray serverStream = ReferencePHash(md, clientNonce, serverNonce, s + e + iv);
    EXPECT_EQ(keys.fClient.fSigningKey, Slice(clientStream, 0, s));
    EXPECT_EQ(keys.fClient.fEncryptingKey, Slice(clientStream, s, e));
    EXPECT_EQ(keys.fClient.fInitVector, Slice(clientStream, s + e, iv));
    EXPECT_EQ(keys.fServer.fSigningKey, Slice(serverStream, 0, s));
    EXPECT_EQ(keys.fServer.fEncryptingKey, Slice(serverStream, s, e));
    EXPECT_EQ(keys.fServer.fInitVector, Slice(serverStream, s + e, iv));
    EXPECT_NE(keys.fClient.fSigningKey, keys.fServer.fSigningKey);
  }
}

TEST(KeyDerivation, Basic256UsesOffsets0And24And56OfTheSha1Stream) {
  const ByteArray clientNonce = test::Hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  const ByteArray serverNonce = test::Hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff000102030405060708090a0b0c0d0e0f");
  const uaChannelKeys keys = DeriveChannelKeys(uaSPBasic256, clientNonce, serverNonce);
  const ByteArray stream = ReferencePHash(EVP_sha1(), serverNonce, clientNonce, 72);
  EXPECT_EQ(keys.fClient.fSigningKey, Slice(stream, 0, 24));
  EXPECT_EQ(keys.fClient.fEncryptingKey, Slice(stream, 24, 32));
  EXPECT_EQ(keys.fClient.fInitVector, Slice(stream, 56, 16));
  // The class operation gives the same stream bytes, also from an offset inside a block.
  const uaMessageSecurityImpl::THMAC hmac{H::SHA1};
  EXPECT_EQ(uaMessageSecurityImpl::PSHA_impl(hmac, {}, serverNonce, clientNonce, 20, 20),
            Slice(stream, 20, 20));
  EXPECT_TRUE(uaMessageSecurityImpl::PSHA_impl(hmac, {}, serverNonce, clientNonce, 0, 0).empty());
}

TEST(KeyDerivation, RejectsNoneAndShortNonces) {
  const ByteArray n32(32, 7), n16(16, 7);
  EXPECT_THROW(DeriveChannelKeys(uaSPNone, n32, n32), EuaSecurityError);
  EXPECT_THROW(DeriveChannelKeys(uaSPNULL, n32, n32), EuaSecurityError);
  EXPECT_THROW(DeriveChannelKeys(uaSPBasic256Sha256, n32, {}), EuaSecurityError);
  EXPECT_THROW(DeriveChannelKeys(uaSPBasic256Sha256, {}, n32), EuaSecurityError);
  EXPECT_THROW(DeriveChannelKeys(uaSPBasic256, n16, n32), EuaSecurityError);
  EXPECT_NO_THROW(DeriveChannelKeys(uaSPBasic128Rsa15, n16, n16));
}

TEST(Nonces, HaveThePolicyLengthAndDiffer) {
  EXPECT_TRUE(CreateClientNonce(uaSPNone).empty());
  EXPECT_TRUE(CreateClientNonce(uaSPNULL).empty());
  for (const uaSecurityPolicyInfo& info : SecurityPolicies()) {
    if (!info.HasSecurity()) continue;
    std::set<ByteArray> seen;
    for (int i = 0; i < 8; ++i) {
      const ByteArray n = CreateClientNonce(info.fPolicy);
      EXPECT_EQ(n.size(), info.fNonceLength);
      seen.insert(n);
    }
    EXPECT_EQ(seen.size(), 8u) << info.fName;
  }
}

}  // namespace
}  // namespace varo::ua
