// SPDX-License-Identifier: MPL-2.0
// The OpenSSL provider against the system's own RSA, AES, HMAC and P_SHA: byte for byte
// where the result is deterministic, round trips in both directions where it is not, and
// tampered signatures. Keys and certificates are made by the openssl command line.
#include "ua/security/openssl_provider.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/random.h"
#include "platform/strings.h"
#include "support/security_helpers.h"
#include "support/test_files.h"
#include "support/test_support.h"
#include "ua/security/aes.h"
#include "ua/security/hash.h"
#include "ua/security/native_provider.h"
#include "ua/security/pem.h"
#include "ua/security/policy_keys.h"
#include "ua/security/provider_sym.h"
#include "ua/security/psha.h"
#include "ua/security/rsa.h"
#include "ua/security/x509.h"

namespace varo::ua {
namespace {

using H = THashAlgorithm;

using test::RunShell;
using test::SecurityErrorOf;

ByteArray Pattern(size_t n, uint8_t seed = 1) {
  ByteArray b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed);
  return b;
}

ByteArray Cat(ByteSpan a, ByteSpan b) {
  ByteArray out(a.begin(), a.end());
  out.resize(a.size() + b.size());
  std::copy(b.begin(), b.end(), out.begin() + static_cast<std::ptrdiff_t>(a.size()));
  return out;
}

TRsaPrivateKey NativePrivate(const TRSAPrivateKey& k) {
  return TRsaPrivateKey::FromCrt(k.n, k.e, k.d, k.p, k.q, k.dp, k.dq, k.qinv);
}

// ---- Key material, made once per run ----

// The keys and certificates, made on first use in a folder removed at exit.
void MakeMaterial(const test::TempDir& t) {
  auto cert = [&](const std::string& key, const std::string& out, const std::string& san) {
    std::string cmd = "openssl req -x509 -key " + t.Quoted(key) +
                      " -subj /CN=VaroTest -days 2 -outform DER -out " + t.Quoted(out);
    if (!san.empty()) cmd += " -addext 'subjectAltName=" + san + "'";
    RunShell(cmd);
  };
  for (const char* who : {"server", "client"}) {
    RunShell("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " +
             t.Quoted(std::string(who) + ".pem"));
  }
  cert("server.pem", "server.der", "URI:urn:varo:test:server,DNS:server.example");
  // The URI is not the first entry; the first URI counts.
  cert("client.pem", "client.der", "DNS:client.example,URI:urn:varo:test:client,URI:urn:varo:other");
  cert("server.pem", "nosan.der", "");
  RunShell("openssl rsa -in " + t.Quoted("client.pem") + " -traditional -out " + t.Quoted("client1.pem"));
  RunShell("openssl pkcs8 -topk8 -nocrypt -in " + t.Quoted("client.pem") + " -outform DER -out " +
           t.Quoted("client8.der"));
  RunShell("openssl rsa -in " + t.Quoted("client.pem") + " -traditional -outform DER -out " +
           t.Quoted("client1.der"));
  RunShell("openssl pkey -in " + t.Quoted("client.pem") + " -aes-256-cbc -passout pass:secret -out " +
           t.Quoted("enc8.pem"));
  RunShell("openssl rsa -in " + t.Quoted("client.pem") + " -traditional -aes128 -passout pass:secret -out " +
           t.Quoted("enc1.pem"));
  RunShell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + t.Quoted("ec.pem"));
  cert("ec.pem", "ec.der", "URI:urn:varo:test:ec");
}

const test::TempDir& Material() {
  static const test::TempDir dir("varo_openssl");
  static const bool made = (MakeMaterial(dir), true);
  (void)made;
  return dir;
}

class TTestChannel : public IuaSecurityChannel {
 public:
  void SetCertificate(TCertificateUsage usage, ByteArray der) override {
    (usage == cuUseRemoteKey ? remote : local) = std::move(der);
  }
  ByteArray remote, local;
};

// The client's provider with its key and both certificates, and the native keys of the
// other ends.
class OpenSSLProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!OpenSSLSecurityAvailable(&why)) GTEST_SKIP() << why;
    const test::TempDir& m = Material();
    provider_ = std::make_unique<TIndy_OpenSSL>();
    provider_->setChannel(&channel_);
    provider_->LoadPrivateKey(ByteSpan(m.Bytes("client.pem")), "");
    provider_->LoadPublicCertifitace(ByteSpan(m.Bytes("client.der")), cuUseLocalKey);
    provider_->LoadPublicCertifitace(ByteSpan(m.Bytes("server.der")), cuUseRemoteKey);
  }

  uaMessageSecurityAsym& asym() { return provider_->asym(); }
  uaMessageSecuritySym& sym() { return provider_->sym(); }

  static const TRsaPrivateKey& ServerKey() {
    static const TRsaPrivateKey k = NativePrivate(LoadPrivateKeyPem(Text("server.pem")));
    return k;
  }
  static const TRsaPrivateKey& ClientKey() {
    static const TRsaPrivateKey k = NativePrivate(LoadPrivateKeyPem(Text("client.pem")));
    return k;
  }
  static std::string Text(const std::string& name) { return Material().Text(name); }

  TTestChannel channel_;
  std::unique_ptr<TIndy_OpenSSL> provider_;
};

// ---- Loading, registration ----

TEST(OpenSSLLibrary, LoadsAndRegistersOnce) {
  std::string why = "unchanged";
  if (!OpenSSLSecurityAvailable(&why)) GTEST_SKIP() << why;
  EXPECT_EQ(why, "");
  const uaSecurityFactory saved = SecurityLibClasses::Factory(uaSOpenSSL);
  RegisterOpenSSLSecurityLib();
  RegisterOpenSSLSecurityLib();
  ASSERT_TRUE(SecurityLibClasses::IsRegistered(uaSOpenSSL));
  std::unique_ptr<uaMessageSecurityImpl> p = SecurityLibClasses::Create(uaSOpenSSL);
  ASSERT_NE(dynamic_cast<TIndy_OpenSSL*>(p.get()), nullptr);
  EXPECT_EQ(p->SecurityLib(), uaSOpenSSL);
  std::unique_ptr<uaMessageSecurityImpl> q = p->Create();
  ASSERT_NE(dynamic_cast<TIndy_OpenSSL*>(q.get()), nullptr);
  EXPECT_NE(q.get(), p.get());
  uaMessageSecurityImpl* raw = p.get();
  EXPECT_EQ(SecurityLibClasses::Select(std::move(p), uaSOpenSSL).get(), raw);
  EXPECT_TRUE(StartsWith(static_cast<TIndy_OpenSSL&>(*q).LibraryVersion(), "OpenSSL 3"));
  SecurityLibClasses::Register(uaSOpenSSL, saved);
}

struct LoaderCase {
  const char* name;
  std::vector<const char*> libraries;
  bool loads;
  std::vector<std::string> inMessage;
};

class OpenSSLLoaderTest : public ::testing::TestWithParam<LoaderCase> {};

TEST_P(OpenSSLLoaderTest, ReportsWhatFailed) {
  if (!OpenSSLSecurityAvailable()) GTEST_SKIP() << "no OpenSSL";
  const LoaderCase& c = GetParam();
  std::string why;
  const auto api = openssl_detail::LoadCryptoLibrary(c.libraries, why);
  EXPECT_EQ(api != nullptr, c.loads) << why;
  if (c.loads) {
    EXPECT_EQ(why, "");
    return;
  }
  EXPECT_TRUE(StartsWith(why, "Could not load OpenSSL : ")) << why;
  for (const std::string& part : c.inMessage) EXPECT_NE(why.find(part), std::string::npos) << why;
}

INSTANTIATE_TEST_SUITE_P(
    Libraries, OpenSSLLoaderTest,
    ::testing::Values(
        LoaderCase{"Missing", {"libvaro-no-such-crypto.so.9"}, false, {"libvaro-no-such-crypto.so.9"}},
        LoaderCase{"NoName", {}, false, {"no library name"}},
        // libc has none of the functions: every missing one is named.
        LoaderCase{"WrongLibrary", {"libc.so.6"}, false, {"EVP_PKEY_encrypt", ", CRYPTO_memcmp"}},
        LoaderCase{"FallsBackToTheNextName", {"libvaro-no-such-crypto.so.9", "libcrypto.so.3"}, true, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Private keys ----

struct KeyCase {
  const char* name;
  const char* file;
  const char* password;
};

class OpenSSLPrivateKeyTest : public OpenSSLProviderTest, public ::testing::WithParamInterface<KeyCase> {};

// Every form gives the same key: its PKCS#1 v1.5 signature equals the native one.
TEST_P(OpenSSLPrivateKeyTest, EveryFormLoadsTheSameKey) {
  const KeyCase& c = GetParam();
  asym().LoadPrivateKey(ByteSpan(Material().Bytes(c.file)), c.password);
  EXPECT_EQ(asym().RSASize(cuUseLocalKey), 256u);
  const ByteArray data = Pattern(333);
  EXPECT_EQ(provider_->Sign_Rsa(rpPKCS, H::SHA256, data),
            RSASignPKCS1v15(ClientKey(), data, TRSAHashType::rsahfSHA256));
}

INSTANTIATE_TEST_SUITE_P(Forms, OpenSSLPrivateKeyTest,
                         ::testing::Values(KeyCase{"Pkcs8Pem", "client.pem", ""},
                                           KeyCase{"Pkcs1Pem", "client1.pem", ""},
                                           KeyCase{"Pkcs8Der", "client8.der", ""},
                                           KeyCase{"Pkcs1Der", "client1.der", ""},
                                           KeyCase{"EncryptedPkcs8", "enc8.pem", "secret"},
                                           KeyCase{"EncryptedPkcs1", "enc1.pem", "secret"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OpenSSLProviderTest, UnusablePrivateKeysRaise) {
  const test::TempDir& m = Material();
  std::string corrupt = Text("client.pem");
  corrupt[40] = '*';
  ByteArray truncated = m.Bytes("client1.der");
  truncated.resize(truncated.size() / 2);
  const std::string longPassword(5000, 'x');
  struct Case {
    const char* name;
    ByteArray bytes;
    std::string password;
    const char* message;
  } cases[] = {
      {"empty", {}, "", "Can not load the buffer"},
      {"text", ByteArray{'h', 'e', 'l', 'l', 'o'}, "", "Could not load RSA private key"},
      {"corrupt base64", ByteArray(corrupt.begin(), corrupt.end()), "", "Could not load RSA private key"},
      {"truncated DER", truncated, "", "Could not load RSA private key"},
      {"encrypted, no password", m.Bytes("enc8.pem"), "", "Could not load RSA private key"},
      {"encrypted, wrong password", m.Bytes("enc1.pem"), "wrong", "Could not load RSA private key"},
      {"encrypted, password too long", m.Bytes("enc8.pem"), longPassword, "Could not load RSA private key"},
      {"EC key", m.Bytes("ec.pem"), "", "Could not load RSA private key"},
      {"certificate", m.Bytes("client.der"), "", "Could not load RSA private key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(StartsWith(SecurityErrorOf([&] { asym().LoadPrivateKey(c.bytes, c.password); }), c.message));
  }
  // A failed load leaves no key behind.
  EXPECT_EQ(asym().RSASize(cuUseLocalKey), 0u);
  EXPECT_THROW(provider_->Sign_Rsa(rpPKCS, H::SHA1, Pattern(10)), EuaSecurityError);
  EXPECT_TRUE(StartsWith(SecurityErrorOf([&] { asym().initRSADecrypt(cuUseLocalKey, rpPKCS, H::SHA1); }),
                         "init decrypt"));
}

// ---- Certificates ----

TEST_F(OpenSSLProviderTest, ApplicationUriIsTheFirstSanUri) {
  EXPECT_EQ(asym().getCertificateApplicationName(cuUseRemoteKey), "urn:varo:test:server");
  EXPECT_EQ(asym().getCertificateApplicationName(cuUseLocalKey), "urn:varo:test:client");
  EXPECT_EQ(asym().RSASize(cuUseRemoteKey), 256u);
  EXPECT_EQ(channel_.remote, Material().Bytes("server.der"));
  EXPECT_EQ(channel_.local, Material().Bytes("client.der"));
  for (const char* file : {"server.der", "client.der", "nosan.der"}) {
    SCOPED_TRACE(file);
    TX509Certificate native;
    native.Load(Material().Bytes(file));
    asym().LoadPublicCertificate(Material().Bytes(file), cuUseRemoteKey);
    EXPECT_EQ(asym().getCertificateApplicationName(cuUseRemoteKey), native.ApplicationUri());
  }
  EXPECT_EQ(asym().getCertificateApplicationName(cuUseRemoteKey), "");
  // A chain: the first certificate counts.
  asym().LoadPublicCertificate(Cat(Material().Bytes("server.der"), Material().Bytes("client.der")),
                               cuUseRemoteKey);
  EXPECT_EQ(asym().getCertificateApplicationName(cuUseRemoteKey), "urn:varo:test:server");
  EXPECT_TRUE(StartsWith(
      SecurityErrorOf([&] { asym().getCertificateApplicationName(static_cast<TCertificateUsage>(5)); }),
      "unknown Certificate"));
  EXPECT_EQ(asym().RSASize(static_cast<TCertificateUsage>(5)), 0u);
}

TEST_F(OpenSSLProviderTest, UnusableCertificatesRaiseAndKeepThePreviousOne) {
  ByteArray truncated = Material().Bytes("client.der");
  truncated.resize(truncated.size() - 40);
  struct Case {
    const char* name;
    ByteArray der;
    const char* message;
  } cases[] = {
      {"empty", {}, "Could not load X509 buffer"},
      {"garbage", Pattern(300), "Could not load X509 certificate"},
      {"truncated", truncated, "Could not load X509 certificate"},
      {"EC key", Material().Bytes("ec.der"), "Could not load RSA public key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(
        StartsWith(SecurityErrorOf([&] { asym().LoadPublicCertificate(c.der, cuUseRemoteKey); }), c.message));
    EXPECT_EQ(asym().getCertificateApplicationName(cuUseRemoteKey), "urn:varo:test:server");
    EXPECT_EQ(asym().RSASize(cuUseRemoteKey), 256u);
  }
}

// ---- Asymmetric encryption ----

struct EncryptCase {
  TRSAPadding padding;
  H hash;
  TRSAEncryptionType type;
};

class OpenSSLRsaEncryptTest : public OpenSSLProviderTest,
                              public ::testing::WithParamInterface<EncryptCase> {};

TEST_P(OpenSSLRsaEncryptTest, RoundTripsWithNativeRsaBothWays) {
  const EncryptCase& c = GetParam();
  const TRSAHashType h = ToRsaHashType(c.hash);
  const size_t p = RsaPlainBlockSize(256, c.padding, c.hash);
  asym().initRSAEncrypt(cuUseRemoteKey, c.padding, c.hash);
  asym().initRSADecrypt(cuUseLocalKey, c.padding, c.hash);
  for (size_t length : {size_t{1}, p - 1, p, p + 1, 3 * p - 5}) {
    SCOPED_TRACE(length);
    const ByteArray plain = Pattern(length);
    // To the server: only whole k-byte blocks, as many as started plain blocks.
    const ByteArray toServer = provider_->EncryptRsaBlocks(c.padding, c.hash, plain, 0, plain.size());
    EXPECT_EQ(toServer.size(), 256 * RsaBlockCount(length, p));
    EXPECT_EQ(RSADecryptBlocks(ServerKey(), c.type, h, toServer), plain);
    // From the server.
    const ByteArray toClient = RSAEncryptBlocks(ClientKey().PublicKey(), c.type, h, plain);
    EXPECT_EQ(provider_->DecryptRsaBlocks(c.padding, c.hash, toClient, 0, toClient.size()), plain);
  }
  // A range inside a larger buffer.
  const ByteArray buffer = Pattern(600, 9);
  const ByteArray part = provider_->EncryptRsaBlocks(c.padding, c.hash, buffer, 17, 17 + p + 3);
  EXPECT_EQ(RSADecryptBlocks(ServerKey(), c.type, h, part),
            ByteArray(buffer.begin() + 17, buffer.begin() + 17 + static_cast<std::ptrdiff_t>(p) + 3));
}

INSTANTIATE_TEST_SUITE_P(Paddings, OpenSSLRsaEncryptTest,
                         ::testing::Values(EncryptCase{rpPKCS, H::SHA1, TRSAEncryptionType::sbePKCS},
                                           EncryptCase{rpOAEP, H::SHA1, TRSAEncryptionType::sbeOAEP},
                                           EncryptCase{rpOAEP, H::SHA256, TRSAEncryptionType::sbeOAEP}));

TEST_F(OpenSSLProviderTest, TwoFullOaepBlocksGiveTwoKeySizedBlocks) {
  asym().initRSAEncrypt(cuUseRemoteKey, rpOAEP, H::SHA1);
  const ByteArray plain = Pattern(428);
  ByteArray result(512);
  asym().EncryptRsa(plain, 0, plain.size(), result, 214, 256);
  EXPECT_EQ(RSADecryptBlocks(ServerKey(), TRSAEncryptionType::sbeOAEP, TRSAHashType::rsahfSHA1, result),
            plain);
  // A result buffer too small for the blocks raises instead of writing past it.
  ByteArray small(511);
  EXPECT_THROW(asym().EncryptRsa(plain, 0, plain.size(), small, 214, 256), EuaSecurityError);
  EXPECT_THROW(asym().EncryptRsa(plain, 0, plain.size() + 1, result, 214, 256), EuaSecurityError);
}

// The secret is zero-filled to a whole block and encrypted with its own padding; the
// channel's padding stays as it was.
TEST_F(OpenSSLProviderTest, SecretEncryptionLeavesTheChannelPaddingAlone) {
  asym().initRSAEncrypt(cuUseRemoteKey, rpPKCS, H::SHA1);
  const ByteArray secret = Pattern(30);
  const ByteArray enc = provider_->EncryptRsaPlainBlockSize(rpOAEP, H::SHA1, secret);
  ASSERT_EQ(enc.size(), 256u);
  ByteArray expected = secret;
  expected.resize(214, 0);
  EXPECT_EQ(RSADecryptOAEP(ServerKey(), enc, TRSAHashType::rsahfSHA1), expected);
  const ByteArray enc256 = provider_->EncryptRsaPlainBlockSize(rpOAEP, H::SHA256, secret);
  EXPECT_EQ(RSADecryptOAEP(ServerKey(), enc256, TRSAHashType::rsahfSHA256).size(), 190u);
  const ByteArray chunk = provider_->EncryptRsaBlocks(rpPKCS, H::SHA1, secret, 0, secret.size());
  EXPECT_EQ(RSADecryptPKCS(ServerKey(), chunk), secret);
}

// A new server certificate rebuilds the encryption context with the padding chosen before.
TEST_F(OpenSSLProviderTest, NewServerCertificateKeepsThePadding) {
  asym().initRSAEncrypt(cuUseRemoteKey, rpOAEP, H::SHA256);
  asym().LoadPublicCertificate(Material().Bytes("client.der"), cuUseRemoteKey);
  const ByteArray plain = Pattern(100);
  const ByteArray enc = provider_->EncryptRsaBlocks(rpOAEP, H::SHA256, plain, 0, plain.size());
  EXPECT_EQ(RSADecryptOAEP(ClientKey(), enc, TRSAHashType::rsahfSHA256), plain);
}

TEST_F(OpenSSLProviderTest, DecryptionFailuresRaise) {
  asym().initRSADecrypt(cuUseLocalKey, rpOAEP, H::SHA1);
  ByteArray cipher = RSAEncryptOAEP(ClientKey().PublicKey(), Pattern(50), TRSAHashType::rsahfSHA1);
  ByteArray result(214 * 2);
  cipher[100] ^= 1;
  EXPECT_TRUE(
      StartsWith(SecurityErrorOf([&] { asym().DecryptRsa(cipher, 0, cipher.size(), result, 214, 256); }),
                 "decrypt error pos 0 keySize: 256 text length: "));
  // The wrong OAEP hash fails the same way, with no detail from OpenSSL.
  cipher[100] ^= 1;
  asym().initRSADecrypt(cuUseLocalKey, rpOAEP, H::SHA256);
  const std::string wrongHash =
      SecurityErrorOf([&] { asym().DecryptRsa(cipher, 0, cipher.size(), result, 190, 256); });
  EXPECT_TRUE(StartsWith(wrongHash, "decrypt error pos 0")) << wrongHash;
  EXPECT_EQ(wrongHash.find('('), std::string::npos) << wrongHash;
  // An incomplete block is refused, not read past.
  EXPECT_THROW(asym().DecryptRsa(cipher, 0, 200, result, 214, 256), EuaSecurityError);
  EXPECT_THROW(provider_->DecryptRsaBlocks(rpOAEP, H::SHA1, cipher, 0, 255), EuaSecurityError);
  // A result too small for the decrypted bytes.
  asym().initRSADecrypt(cuUseLocalKey, rpOAEP, H::SHA1);
  ByteArray tiny(10);
  EXPECT_THROW(asym().DecryptRsa(cipher, 0, cipher.size(), tiny, 214, 256), EuaSecurityError);
  EXPECT_TRUE(StartsWith(SecurityErrorOf([&] { asym().initRSADecrypt(cuUseLocalKey, rpPSS, H::SHA1); }),
                         "cannot set padding"));
  EXPECT_THROW(asym().DecryptRsa(cipher, 0, cipher.size(), result, 214, 256), EuaSecurityError);
}

TEST_F(OpenSSLProviderTest, EncryptionNeedsAKeyAndAnEncryptionPadding) {
  TIndy_OpenSSL empty;
  EXPECT_TRUE(
      StartsWith(SecurityErrorOf([&] { empty.asym().initRSAEncrypt(cuUseRemoteKey, rpPKCS, H::SHA1); }),
                 "init encrypt"));
  ByteArray out(256);
  EXPECT_THROW(empty.asym().EncryptRsa(Pattern(10), 0, 10, out, 245, 256), EuaSecurityError);
  EXPECT_EQ(empty.asym().RSASize(cuUseRemoteKey), 0u);
  EXPECT_TRUE(StartsWith(SecurityErrorOf([&] { asym().initRSAEncrypt(cuUseRemoteKey, rpPSS, H::SHA256); }),
                         "cannot set padding"));
  EXPECT_TRUE(
      StartsWith(SecurityErrorOf([&] { asym().initRSAEncrypt(cuUseRemoteKey, rpOAEP, static_cast<H>(9)); }),
                 "unknown HashFunction"));
}

// ---- Signatures ----

TEST_F(OpenSSLProviderTest, Pkcs1SignaturesEqualNativeOnes) {
  const ByteArray data = Pattern(1000);
  for (H hash : {H::SHA1, H::SHA256}) {
    SCOPED_TRACE(static_cast<int>(hash));
    const TRSAHashType h = ToRsaHashType(hash);
    EXPECT_EQ(provider_->Sign_Rsa(rpPKCS, hash, data), RSASignPKCS1v15(ClientKey(), data, h));
    EXPECT_EQ(asym().Sign_Rsa(rpPKCS, hash, data, 10, 500),
              RSASignPKCS1v15(ClientKey(), ByteSpan(data).subspan(10, 490), h));
    // With a separately supplied key, plain or password-protected.
    EXPECT_EQ(provider_->Sign_Rsa(rpPKCS, hash, data, Material().Bytes("server.pem"), ""),
              RSASignPKCS1v15(ServerKey(), data, h));
    EXPECT_EQ(provider_->Sign_Rsa(rpPKCS, hash, data, Material().Bytes("enc1.pem"), "secret"),
              RSASignPKCS1v15(ClientKey(), data, h));
  }
  EXPECT_TRUE(
      StartsWith(SecurityErrorOf([&] { provider_->Sign_Rsa(rpPKCS, H::SHA1, data, Pattern(40), ""); }),
                 "Could not load RSA private key"));
  EXPECT_THROW(asym().Sign_Rsa(rpPKCS, H::SHA1, data, 10, 5), EuaSecurityError);
}

TEST_F(OpenSSLProviderTest, PssSignaturesVerifyNatively) {
  const ByteArray data = Pattern(777);
  const ByteArray hash = Sha256(data);
  const ByteArray a = provider_->Sign_Rsa(rpPSS, H::SHA256, data);
  const ByteArray b = provider_->Sign_Rsa(rpPSS, H::SHA256, data);
  EXPECT_NE(a, b);  // random salt
  for (const ByteArray& sig : {a, b}) {
    ASSERT_EQ(sig.size(), 256u);
    EXPECT_TRUE(RSAVerifyPSS(ClientKey().PublicKey(), hash, sig, TRSAHashType::rsahfSHA256, 32));
  }
  const ByteArray sha1 = provider_->Sign_Rsa(rpPSS, H::SHA1, data);
  EXPECT_TRUE(RSAVerifyPSS(ClientKey().PublicKey(), Sha1(data), sha1, TRSAHashType::rsahfSHA1, 20));
}

// Signing errors raise; no empty or zero signature comes back.
TEST_F(OpenSSLProviderTest, SigningWithAnEncryptionPaddingRaises) {
  EXPECT_TRUE(StartsWith(SecurityErrorOf([&] { provider_->Sign_Rsa(rpOAEP, H::SHA1, Pattern(10)); }),
                         "cannot set padding"));
  EXPECT_TRUE(
      StartsWith(SecurityErrorOf([&] { provider_->Sign_Rsa(rpPKCS, static_cast<H>(7), Pattern(10)); }),
                 "unknown HashFunction"));
}

struct VerifyCase {
  const char* name;
  TRSAPadding padding;
  H hash;
};

class OpenSSLVerifyTest : public OpenSSLProviderTest, public ::testing::WithParamInterface<VerifyCase> {};

TEST_P(OpenSSLVerifyTest, AcceptsTheServersSignatureAndNothingElse) {
  const VerifyCase& c = GetParam();
  const TRSAHashType h = ToRsaHashType(c.hash);
  const size_t salt = HashAlgorithmSize(c.hash);
  const ByteArray data = Pattern(500);
  auto sign = [&](ByteSpan d) {
    return c.padding == rpPSS ? RSASignPSS(ServerKey(), RsaHash(h, d), h, salt)
                              : RSASignPKCS1v15(ServerKey(), d, h);
  };
  const ByteArray sig = sign(data);
  EXPECT_TRUE(provider_->Verify_Rsa(c.padding, c.hash, data, sig));
  EXPECT_TRUE(asym().Verify_Rsa(c.padding, c.hash, Cat(Pattern(8), data), 8, 508, sig));

  for (size_t i : {size_t{0}, size_t{1}, size_t{128}, size_t{255}}) {
    ByteArray bad = sig;
    bad[i] ^= 0x01;
    EXPECT_FALSE(provider_->Verify_Rsa(c.padding, c.hash, data, bad)) << "signature byte " << i;
  }
  ByteArray badData = data;
  badData[499] ^= 0x80;
  EXPECT_FALSE(provider_->Verify_Rsa(c.padding, c.hash, badData, sig));
  EXPECT_FALSE(provider_->Verify_Rsa(c.padding, c.hash, data, ByteSpan(sig).first(255)));
  EXPECT_FALSE(provider_->Verify_Rsa(c.padding, c.hash, data, Cat(sig, Pattern(1))));
  EXPECT_FALSE(provider_->Verify_Rsa(c.padding, c.hash, data, {}));
  EXPECT_FALSE(provider_->Verify_Rsa(c.padding, c.hash == H::SHA1 ? H::SHA256 : H::SHA1, data, sig));
  EXPECT_FALSE(provider_->Verify_Rsa(c.padding == rpPSS ? rpPKCS : rpPSS, c.hash, data, sig));
  EXPECT_FALSE(provider_->Verify_Rsa(rpOAEP, c.hash, data, sig));
  // The client's own key is not the server's.
  const ByteArray own = provider_->Sign_Rsa(c.padding, c.hash, data);
  EXPECT_FALSE(provider_->Verify_Rsa(c.padding, c.hash, data, own));
  if (c.padding == rpPSS) {
    // The salt must be as long as the digest.
    const ByteArray shortSalt = RSASignPSS(ServerKey(), RsaHash(h, data), h, salt - 4);
    EXPECT_FALSE(provider_->Verify_Rsa(c.padding, c.hash, data, shortSalt));
  }
}

INSTANTIATE_TEST_SUITE_P(Paddings, OpenSSLVerifyTest,
                         ::testing::Values(VerifyCase{"Pkcs1Sha1", rpPKCS, H::SHA1},
                                           VerifyCase{"Pkcs1Sha256", rpPKCS, H::SHA256},
                                           VerifyCase{"PssSha256", rpPSS, H::SHA256},
                                           VerifyCase{"PssSha1", rpPSS, H::SHA1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OpenSSLProviderTest, VerificationWithoutServerKeyRaises) {
  TIndy_OpenSSL empty;
  EXPECT_THROW(empty.asym().Verify_Rsa(rpPKCS, H::SHA1, Pattern(5), 0, 5, Pattern(256)), EuaSecurityError);
  EXPECT_THROW(asym().Verify_Rsa(rpPKCS, H::SHA1, Pattern(5), 0, 6, Pattern(256)), EuaSecurityError);
}

// ---- Every policy, both directions of an OpenSecureChannel exchange ----

class OpenSSLPolicyTest : public OpenSSLProviderTest,
                          public ::testing::WithParamInterface<TuaSecurePolicy> {};

TEST_P(OpenSSLPolicyTest, AsymmetricExchangeWithNativeServer) {
  const uaSecurityPolicyInfo& info = SecurityPolicyInfo(GetParam());
  const TRSAEncryptionType type =
      info.fAsymmetricEncryptionPadding == rpOAEP ? TRSAEncryptionType::sbeOAEP : TRSAEncryptionType::sbePKCS;
  const TRSAHashType encHash = ToRsaHashType(info.fAsymmetricEncryptionHash);
  const TRSAHashType sigHash = ToRsaHashType(info.fAsymmetricSignatureHash);
  const ByteArray chunk = Pattern(1500, 3);

  const uaAsymmetricSizes send = provider_->AsymmetricSendSizes(info.fPolicy);
  EXPECT_EQ(send.fKeySize, 256u);
  EXPECT_EQ(send.fSignatureSize, 256u);
  EXPECT_EQ(send.fPlainBlockSize,
            RsaPlainBlockSize(256, info.fAsymmetricEncryptionPadding, info.fAsymmetricEncryptionHash));
  const ByteArray sig =
      provider_->Sign_Rsa(info.fAsymmetricSignaturePadding, info.fAsymmetricSignatureHash, chunk);
  if (info.fAsymmetricSignaturePadding == rpPSS) {
    EXPECT_TRUE(
        RSAVerifyPSS(ClientKey().PublicKey(), RsaHash(sigHash, chunk), sig, sigHash, info.fPssSaltLength));
  } else {
    EXPECT_EQ(sig, RSASignPKCS1v15(ClientKey(), chunk, sigHash));
  }
  const ByteArray sent = provider_->EncryptRsaBlocks(info.fAsymmetricEncryptionPadding,
                                                     info.fAsymmetricEncryptionHash, chunk, 0, chunk.size());
  EXPECT_EQ(RSADecryptBlocks(ServerKey(), type, encHash, sent), chunk);

  const uaAsymmetricSizes receive = provider_->AsymmetricReceiveSizes(info.fPolicy);
  EXPECT_EQ(receive.fPlainBlockSize, send.fPlainBlockSize);
  const ByteArray reply = RSAEncryptBlocks(ClientKey().PublicKey(), type, encHash, chunk);
  EXPECT_EQ(provider_->DecryptRsaBlocks(info.fAsymmetricEncryptionPadding, info.fAsymmetricEncryptionHash,
                                        reply, 0, reply.size()),
            chunk);
  const ByteArray serverSig =
      info.fAsymmetricSignaturePadding == rpPSS
          ? RSASignPSS(ServerKey(), RsaHash(sigHash, chunk), sigHash, info.fPssSaltLength)
          : RSASignPKCS1v15(ServerKey(), chunk, sigHash);
  EXPECT_TRUE(provider_->Verify_Rsa(info.fAsymmetricSignaturePadding, info.fAsymmetricSignatureHash, chunk,
                                    serverSig));
}

// Keys derived from the nonces, installed in the provider and in the native symmetric
// context: same signatures and ciphertexts, and what the native "server" sends is checked
// and decrypted.
TEST_P(OpenSSLPolicyTest, SymmetricKeysMatchNativeContexts) {
  const uaSecurityPolicyInfo& info = SecurityPolicyInfo(GetParam());
  const ByteArray clientNonce = SecureRandomBytes(info.fNonceLength);
  const ByteArray serverNonce = SecureRandomBytes(info.fNonceLength);
  const uaChannelKeys keys = DeriveChannelKeys(info.fPolicy, clientNonce, serverNonce);
  provider_->ActivateKeys(info.fPolicy, uaSSignAndEncrypt, keys);

  TuaSymmetricContext client, server;
  client.InitSymmetricSign(info.fSymmetricSignatureHash, keys.fClient.fSigningKey);
  client.InitEncryptSymm(info.fSymmetricAlgorithm, keys.fClient.fEncryptingKey, keys.fClient.fInitVector);
  server.InitSymmetricSign(info.fSymmetricSignatureHash, keys.fServer.fSigningKey);
  server.InitEncryptSymm(info.fSymmetricAlgorithm, keys.fServer.fEncryptingKey, keys.fServer.fInitVector);

  const ByteArray chunk = Pattern(16 * 50, 5);
  EXPECT_EQ(sym().SymmetricSign(chunk, 0, chunk.size()), client.SymmetricSign(chunk, 0, chunk.size()));
  ByteArray mine(chunk.size()), theirs(chunk.size());
  sym().encryptSymm(chunk, 0, mine, chunk.size());
  client.encryptSymm(chunk, 0, theirs, chunk.size());
  EXPECT_EQ(mine, theirs);

  ByteArray fromServer(chunk.size()), decrypted(chunk.size());
  server.encryptSymm(chunk, 0, fromServer, chunk.size());
  sym().DecryptSymm(fromServer, 0, decrypted, chunk.size());
  EXPECT_EQ(decrypted, chunk);
  const ByteArray serverSig = server.SymmetricSign(chunk, 0, chunk.size());
  ASSERT_EQ(serverSig.size(), info.fSymmetricSignatureSize);
  EXPECT_TRUE(sym().SymmetricVerify(chunk, 0, chunk.size(), serverSig));
  // The client's own signature is not the server's.
  EXPECT_FALSE(sym().SymmetricVerify(chunk, 0, chunk.size(), sym().SymmetricSign(chunk, 0, chunk.size())));
}

INSTANTIATE_TEST_SUITE_P(Policies, OpenSSLPolicyTest,
                         ::testing::Values(uaSPBasic128Rsa15, uaSPBasic256, uaSPBasic256Sha256,
                                           uaSPAes128_Sha256_RsaOaep, uaSPAes256_Sha256_RsaPss),
                         [](const auto& info) { return std::string(SecurityPolicyInfo(info.param).fName); });

// ---- HMAC ----

TEST_F(OpenSSLProviderTest, HmacEqualsNativeForKeysAndSlices) {
  const ByteArray data = Pattern(300, 11);
  for (H hash : {H::SHA1, H::SHA256}) {
    for (size_t keyLength : {size_t{0}, size_t{16}, size_t{24}, size_t{32}, size_t{64}, size_t{100}}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(hash)) + " key " + std::to_string(keyLength));
      const ByteArray key = Pattern(keyLength, 77);
      sym().InitSymmetricSign(hash, key);
      for (auto [offset, length] :
           {std::pair<size_t, size_t>{0, 0}, {0, 300}, {13, 200}, {299, 1}, {300, 0}}) {
        EXPECT_EQ(sym().SymmetricSign(data, offset, length),
                  Hmac(ToHashAlg(hash), key, ByteSpan(data).subspan(offset, length)));
      }
      // Keying again replaces the key.
      sym().InitSymmetricSign(hash, Pattern(20, 1));
      EXPECT_EQ(sym().SymmetricSign(data, 0, 10),
                Hmac(ToHashAlg(hash), Pattern(20, 1), ByteSpan(data).first(10)));
    }
  }
  EXPECT_THROW(sym().SymmetricSign(data, 290, 11), EuaSecurityError);
  EXPECT_THROW(sym().SymmetricSign(data, 301, 0), EuaSecurityError);
  TIndy_OpenSSL empty;
  EXPECT_THROW(empty.sym().SymmetricSign(data, 0, 1), EuaSecurityError);
}

TEST_F(OpenSSLProviderTest, SymmetricVerifyRejectsEveryChange) {
  const ByteArray key = Pattern(32, 3);
  const ByteArray data = Pattern(200);
  EXPECT_FALSE(sym().SymmetricVerify(data, 0, data.size(), HmacSha256(key, data)));  // no key yet
  sym().InitSymmetricVerify(H::SHA256, key);
  const ByteArray mac = HmacSha256(key, ByteSpan(data).subspan(20, 100));
  EXPECT_TRUE(sym().SymmetricVerify(data, 20, 100, mac));
  for (size_t i = 0; i < mac.size(); ++i) {
    ByteArray bad = mac;
    bad[i] ^= 0x40;
    EXPECT_FALSE(sym().SymmetricVerify(data, 20, 100, bad)) << i;
  }
  EXPECT_FALSE(sym().SymmetricVerify(data, 20, 101, mac));
  EXPECT_FALSE(sym().SymmetricVerify(data, 20, 100, ByteSpan(mac).first(31)));
  EXPECT_FALSE(sym().SymmetricVerify(data, 20, 100, Cat(mac, Pattern(1))));
  EXPECT_FALSE(sym().SymmetricVerify(data, 20, 100, {}));
  EXPECT_FALSE(sym().SymmetricVerify(data, 150, 100, mac));  // range outside the data
  // The signing key is another key.
  sym().InitSymmetricSign(H::SHA256, Pattern(32, 4));
  EXPECT_FALSE(sym().SymmetricVerify(data, 20, 100, sym().SymmetricSign(data, 20, 100)));
}

// P_SHA built on the provider's HMAC gives the bytes of the system's P_SHA at every offset.
TEST_F(OpenSSLProviderTest, PShaOverOpenSSLHmacEqualsPSHA_impl) {
  const ByteArray secret = Pattern(32, 21), seed = Pattern(32, 42);
  for (H hash : {H::SHA1, H::SHA256}) {
    sym().InitSymmetricSign(hash, secret);
    auto mac = [&](ByteSpan d) { return sym().SymmetricSign(d, 0, d.size()); };
    ByteArray stream, a = mac(seed);
    while (stream.size() < 200) {
      const ByteArray block = mac(Cat(a, seed));
      stream.insert(stream.end(), block.begin(), block.end());
      a = mac(a);
    }
    uaMessageSecurityImpl::THMAC hmac;
    hmac.fMode = hash;
    for (auto [offset, length] :
         {std::pair<size_t, size_t>{0, 0}, {0, 80}, {20, 20}, {7, 33}, {24, 32}, {56, 16}}) {
      SCOPED_TRACE(std::to_string(offset) + "+" + std::to_string(length));
      EXPECT_EQ(uaMessageSecurityImpl::PSHA_impl(hmac, "", secret, seed, offset, length),
                ByteArray(stream.begin() + static_cast<std::ptrdiff_t>(offset),
                          stream.begin() + static_cast<std::ptrdiff_t>(offset + length)));
    }
  }
}

// ---- AES-CBC ----

struct AesCase {
  TSymmAlgorithm algorithm;
  size_t keySize;
};

class OpenSSLAesTest : public OpenSSLProviderTest, public ::testing::WithParamInterface<AesCase> {};

TEST_P(OpenSSLAesTest, EqualsNativeAesAndRestartsFromTheIvEveryCall) {
  const AesCase& c = GetParam();
  const ByteArray key = Pattern(c.keySize, 90), iv = Pattern(16, 200);
  sym().InitEncryptSymm(c.algorithm, key, iv);
  sym().InitDecryptSymm(c.algorithm, key, iv);
  for (size_t length : {size_t{16}, size_t{64}, size_t{4096}}) {
    SCOPED_TRACE(length);
    const ByteArray input = Pattern(length + 5, 1);
    const ByteSpan plain = ByteSpan(input).subspan(5, length);
    const ByteArray expected = AesCbcEncrypt(key, iv, plain);
    ByteArray first(length), second(length);
    sym().encryptSymm(input, 5, first, length);
    sym().encryptSymm(input, 5, second, length);
    EXPECT_EQ(first, expected);
    EXPECT_EQ(second, expected);
    ByteArray back(length + 3);
    sym().DecryptSymm(Cat(Pattern(3), first), 3, back, length);
    EXPECT_EQ(ByteArray(back.begin(), back.begin() + static_cast<std::ptrdiff_t>(length)),
              ByteArray(plain.begin(), plain.end()));
    // Decrypting twice gives the same bytes too.
    ByteArray again(length);
    sym().DecryptSymm(first, 0, again, length);
    EXPECT_EQ(again, ByteArray(plain.begin(), plain.end()));
    // Decrypting arbitrary bytes equals the native result (no padding is checked).
    const ByteArray noise = Pattern(length, 33);
    ByteArray mine(length);
    sym().DecryptSymm(noise, 0, mine, length);
    EXPECT_EQ(mine, AesCbcDecrypt(key, iv, noise));
  }
  // In place.
  ByteArray data = Pattern(48);
  const ByteArray expected = AesCbcEncrypt(key, iv, data);
  sym().encryptSymm(data, 0, data, data.size());
  EXPECT_EQ(data, expected);
}

INSTANTIATE_TEST_SUITE_P(KeySizes, OpenSSLAesTest,
                         ::testing::Values(AesCase{saAES128, 16}, AesCase{saAES192, 24},
                                           AesCase{saAES256, 32}));

TEST_F(OpenSSLProviderTest, AesRefusesUnusableInput) {
  const ByteArray key = Pattern(32), iv = Pattern(16);
  ByteArray out(64);
  EXPECT_THROW(sym().encryptSymm(Pattern(32), 0, out, 32), EuaSecurityError);  // no key yet
  EXPECT_THROW(sym().DecryptSymm(Pattern(32), 0, out, 32), EuaSecurityError);
  EXPECT_TRUE(
      StartsWith(SecurityErrorOf([&] { sym().InitEncryptSymm(static_cast<TSymmAlgorithm>(7), key, iv); }),
                 "unknown AES function"));
  EXPECT_THROW(sym().InitEncryptSymm(saAES128, key, iv), EuaSecurityError);  // 32-byte key for AES-128
  EXPECT_THROW(sym().InitDecryptSymm(saAES256, key, Pattern(15)), EuaSecurityError);
  sym().InitEncryptSymm(saAES256, key, iv);
  EXPECT_THROW(sym().encryptSymm(Pattern(32), 0, out, 15), EuaSecurityError);
  EXPECT_THROW(sym().encryptSymm(Pattern(32), 17, out, 16), EuaSecurityError);
  EXPECT_THROW(sym().encryptSymm(Pattern(128), 0, out, 80), EuaSecurityError);  // output too small
  EXPECT_NO_THROW(sym().encryptSymm(Pattern(32), 16, out, 16));
}

// ---- Against the native provider, through the provider interface ----

// The OpenSSL provider as the client, a native provider as the server (the mirror image:
// server key, server certificate as its own, client certificate as the remote one) and a
// native twin set up exactly like the client.
class OpenSSLNativeTest : public OpenSSLProviderTest, public ::testing::WithParamInterface<TuaSecurePolicy> {
 protected:
  void SetUp() override {
    OpenSSLProviderTest::SetUp();
    if (IsSkipped()) return;
    const test::TempDir& m = Material();
    server_.setChannel(&serverChannel_);
    server_.LoadPrivateKey(ByteSpan(m.Bytes("server.pem")), "");
    server_.LoadPublicCertifitace(ByteSpan(m.Bytes("server.der")), cuUseLocalKey);
    server_.LoadPublicCertifitace(ByteSpan(m.Bytes("client.der")), cuUseRemoteKey);
    twin_.setChannel(&twinChannel_);
    twin_.LoadPrivateKey(ByteSpan(m.Bytes("client.pem")), "");
    twin_.LoadPublicCertifitace(ByteSpan(m.Bytes("client.der")), cuUseLocalKey);
    twin_.LoadPublicCertifitace(ByteSpan(m.Bytes("server.der")), cuUseRemoteKey);
  }
  const uaSecurityPolicyInfo& Info() const { return SecurityPolicyInfo(GetParam()); }

  TTestChannel serverChannel_, twinChannel_;
  TSecurityNative server_, twin_;
};

TEST_P(OpenSSLNativeTest, AsymmetricBothWays) {
  const uaSecurityPolicyInfo& info = Info();
  const TRSAPadding encPad = info.fAsymmetricEncryptionPadding, sigPad = info.fAsymmetricSignaturePadding;
  const H encHash = info.fAsymmetricEncryptionHash, sigHash = info.fAsymmetricSignatureHash;
  const ByteArray chunk = Pattern(1200, 17);

  const uaAsymmetricSizes send = provider_->AsymmetricSendSizes(info.fPolicy);
  const uaAsymmetricSizes serverReceive = server_.AsymmetricReceiveSizes(info.fPolicy);
  EXPECT_EQ(send.fKeySize, serverReceive.fKeySize);
  EXPECT_EQ(send.fPlainBlockSize, serverReceive.fPlainBlockSize);
  EXPECT_EQ(send.fSignatureSize, serverReceive.fSignatureSize);
  const ByteArray sent = provider_->EncryptRsaBlocks(encPad, encHash, chunk, 0, chunk.size());
  EXPECT_EQ(server_.DecryptRsaBlocks(encPad, encHash, sent, 0, sent.size()), chunk);
  ByteArray sig = provider_->Sign_Rsa(sigPad, sigHash, chunk);
  EXPECT_TRUE(server_.Verify_Rsa(sigPad, sigHash, chunk, sig));
  if (sigPad == rpPKCS) {
    EXPECT_EQ(sig, twin_.Sign_Rsa(sigPad, sigHash, chunk));
  }
  sig[sig.size() / 2] ^= 4;
  EXPECT_FALSE(server_.Verify_Rsa(sigPad, sigHash, chunk, sig));

  server_.AsymmetricSendSizes(info.fPolicy);
  provider_->AsymmetricReceiveSizes(info.fPolicy);
  const ByteArray reply = server_.EncryptRsaBlocks(encPad, encHash, chunk, 0, chunk.size());
  EXPECT_EQ(provider_->DecryptRsaBlocks(encPad, encHash, reply, 0, reply.size()), chunk);
  ByteArray serverSig = server_.Sign_Rsa(sigPad, sigHash, chunk);
  EXPECT_TRUE(provider_->Verify_Rsa(sigPad, sigHash, chunk, serverSig));
  serverSig[0] ^= 1;
  EXPECT_FALSE(provider_->Verify_Rsa(sigPad, sigHash, chunk, serverSig));

  // A user password: zero-filled to a whole block.
  const ByteArray secret = Pattern(30, 8);
  const ByteArray enc = provider_->EncryptRsaPlainBlockSize(encPad, encHash, secret);
  ByteArray expected = secret;
  expected.resize(send.fPlainBlockSize, 0);
  server_.asym().initRSADecrypt(cuUseLocalKey, encPad, encHash);
  EXPECT_EQ(server_.DecryptRsaBlocks(encPad, encHash, enc, 0, enc.size()), expected);

  for (TCertificateUsage usage : {cuUseRemoteKey, cuUseLocalKey}) {
    EXPECT_EQ(provider_->asym().getCertificateApplicationName(usage),
              twin_.asym().getCertificateApplicationName(usage));
    EXPECT_EQ(provider_->asym().RSASize(usage), twin_.asym().RSASize(usage));
  }
}

TEST_P(OpenSSLNativeTest, SymmetricBothWaysAndAfterATokenSwitch) {
  const uaSecurityPolicyInfo& info = Info();
  auto mirrored = [](const uaChannelKeys& k) { return uaChannelKeys{k.fServer, k.fClient}; };
  const uaChannelKeys keys = DeriveChannelKeys(info.fPolicy, SecureRandomBytes(info.fNonceLength),
                                               SecureRandomBytes(info.fNonceLength));
  provider_->ActivateKeys(info.fPolicy, uaSSignAndEncrypt, keys);
  twin_.ActivateKeys(info.fPolicy, uaSSignAndEncrypt, keys);
  server_.ActivateKeys(info.fPolicy, uaSSignAndEncrypt, mirrored(keys));

  const ByteArray chunk = Pattern(16 * 40, 23);
  const size_t n = chunk.size();
  auto encrypt = [&](uaMessageSecurityImpl& p) {
    ByteArray out(n);
    p.sym().encryptSymm(chunk, 0, out, n);
    return out;
  };
  auto decrypt = [&](uaMessageSecurityImpl& p, const ByteArray& in) {
    ByteArray out(n);
    p.sym().DecryptSymm(in, 0, out, n);
    return out;
  };
  const ByteArray sig = provider_->sym().SymmetricSign(chunk, 0, n);
  EXPECT_EQ(sig, twin_.sym().SymmetricSign(chunk, 0, n));
  EXPECT_TRUE(server_.sym().SymmetricVerify(chunk, 0, n, sig));
  const ByteArray sent = encrypt(*provider_);
  EXPECT_EQ(sent, encrypt(twin_));
  EXPECT_EQ(decrypt(server_, sent), chunk);
  EXPECT_TRUE(provider_->sym().SymmetricVerify(chunk, 0, n, server_.sym().SymmetricSign(chunk, 0, n)));
  EXPECT_EQ(decrypt(*provider_, encrypt(server_)), chunk);

  // The server moves to a new token; the client reads with its keys after the switch.
  const uaChannelKeys next = DeriveChannelKeys(info.fPolicy, SecureRandomBytes(info.fNonceLength),
                                               SecureRandomBytes(info.fNonceLength));
  server_.ActivateKeys(info.fPolicy, uaSSignAndEncrypt, mirrored(next));
  const ByteArray newSig = server_.sym().SymmetricSign(chunk, 0, n);
  EXPECT_FALSE(provider_->sym().SymmetricVerify(chunk, 0, n, newSig));
  provider_->SwitchReceiveKeys(info.fPolicy, uaSSignAndEncrypt, next.fServer);
  EXPECT_TRUE(provider_->sym().SymmetricVerify(chunk, 0, n, newSig));
  EXPECT_EQ(decrypt(*provider_, encrypt(server_)), chunk);
}

INSTANTIATE_TEST_SUITE_P(Policies, OpenSSLNativeTest,
                         ::testing::Values(uaSPBasic128Rsa15, uaSPBasic256, uaSPBasic256Sha256,
                                           uaSPAes128_Sha256_RsaOaep, uaSPAes256_Sha256_RsaPss),
                         [](const auto& info) { return std::string(SecurityPolicyInfo(info.param).fName); });

TEST_F(OpenSSLProviderTest, LocalCertificateMustBelongToThePrivateKey) {
  EXPECT_EQ(
      SecurityErrorOf([&] { asym().LoadPublicCertificate(Material().Bytes("server.der"), cuUseLocalKey); }),
      "the client certificate does not belong to the loaded private key");
  EXPECT_EQ(asym().getCertificateApplicationName(cuUseLocalKey), "urn:varo:test:client");
  // Another private key drops the client certificate of the old one.
  asym().LoadPrivateKey(Material().Bytes("server.pem"), "");
  EXPECT_EQ(asym().getCertificateApplicationName(cuUseLocalKey), "");
  asym().LoadPublicCertificate(Material().Bytes("nosan.der"), cuUseLocalKey);  // the server key's
}

}  // namespace
}  // namespace varo::ua
