// SPDX-License-Identifier: MPL-2.0
// The native provider against libcrypto: keys and certificates made by the openssl command
// line at test time, random inputs through the provider interface, results checked by
// libcrypto and libcrypto's results fed back into the provider.
#include "ua/security/native_provider.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

#include "support/openssl_peer.h"
#include "support/security_helpers.h"
#include "support/test_files.h"
#include "support/test_support.h"

namespace varo::ua {
namespace {

using H = THashAlgorithm;
using test::RunShell;

// ---- libcrypto ----

using test::MdCtx;
using test::PkeyCtx;
using test::PkeyFree;
using Pkey = std::shared_ptr<EVP_PKEY>;

void Check(int rc, const char* what) {
  if (rc <= 0) throw std::runtime_error(std::string("libcrypto: ") + what);
}

Pkey OsslPrivateKey(ByteSpan pem) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())),
                                                BIO_free);
  EVP_PKEY* k = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  if (!k) throw std::runtime_error("libcrypto: private key");
  return Pkey(k, PkeyFree());
}

// The public key of the first certificate in the DER bytes.
Pkey OsslCertificateKey(ByteSpan der) {
  const unsigned char* p = der.data();
  X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
  if (!x) throw std::runtime_error("libcrypto: certificate");
  EVP_PKEY* k = X509_get_pubkey(x);
  X509_free(x);
  if (!k) throw std::runtime_error("libcrypto: certificate key");
  return Pkey(k, PkeyFree());
}

const EVP_MD* Md(H hash) {
  return hash == H::SHA256 ? EVP_sha256() : EVP_sha1();
}

void SetEncryptionPadding(EVP_PKEY_CTX* ctx, TRSAPadding padding, H hash) {
  if (padding == rpOAEP) {
    Check(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING), "oaep");
    Check(EVP_PKEY_CTX_set_rsa_oaep_md(ctx, Md(hash)), "oaep md");
    Check(EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, Md(hash)), "mgf1 md");
  } else {
    Check(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING), "pkcs1");
  }
}

ByteArray OsslEncrypt(EVP_PKEY* key, TRSAPadding padding, H hash, ByteSpan msg) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  Check(EVP_PKEY_encrypt_init(ctx.get()), "encrypt init");
  SetEncryptionPadding(ctx.get(), padding, hash);
  size_t len = 0;
  Check(EVP_PKEY_encrypt(ctx.get(), nullptr, &len, msg.data(), msg.size()), "encrypt size");
  ByteArray out(len);
  Check(EVP_PKEY_encrypt(ctx.get(), out.data(), &len, msg.data(), msg.size()), "encrypt");
  out.resize(len);
  return out;
}

ByteArray OsslDecrypt(EVP_PKEY* key, TRSAPadding padding, H hash, ByteSpan cipher) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(key, nullptr));
  Check(EVP_PKEY_decrypt_init(ctx.get()), "decrypt init");
  SetEncryptionPadding(ctx.get(), padding, hash);
  size_t len = 0;
  Check(EVP_PKEY_decrypt(ctx.get(), nullptr, &len, cipher.data(), cipher.size()), "decrypt size");
  ByteArray out(len);
  Check(EVP_PKEY_decrypt(ctx.get(), out.data(), &len, cipher.data(), cipher.size()), "decrypt");
  out.resize(len);
  return out;
}

// Digest signing contexts; PSS with MGF1 of the same hash and a salt exactly as long as the
// digest.
void SetSignaturePadding(EVP_PKEY_CTX* pctx, TRSAPadding padding, H hash) {
  if (padding == rpPSS) {
    Check(EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING), "pss");
    Check(EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, RSA_PSS_SALTLEN_DIGEST), "pss salt");
    Check(EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, Md(hash)), "pss mgf1");
  } else {
    Check(EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING), "pkcs1 sign");
  }
}

ByteArray OsslSign(EVP_PKEY* key, TRSAPadding padding, H hash, ByteSpan data) {
  MdCtx md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  Check(EVP_DigestSignInit(md.get(), &pctx, Md(hash), nullptr, key), "sign init");
  SetSignaturePadding(pctx, padding, hash);
  size_t len = 0;
  Check(EVP_DigestSign(md.get(), nullptr, &len, data.data(), data.size()), "sign size");
  ByteArray sig(len);
  Check(EVP_DigestSign(md.get(), sig.data(), &len, data.data(), data.size()), "sign");
  sig.resize(len);
  return sig;
}

bool OsslVerify(EVP_PKEY* key, TRSAPadding padding, H hash, ByteSpan data, ByteSpan sig) {
  MdCtx md(EVP_MD_CTX_new());
  EVP_PKEY_CTX* pctx = nullptr;
  Check(EVP_DigestVerifyInit(md.get(), &pctx, Md(hash), nullptr, key), "verify init");
  SetSignaturePadding(pctx, padding, hash);
  return EVP_DigestVerify(md.get(), sig.data(), sig.size(), data.data(), data.size()) == 1;
}

ByteArray OsslHmac(H hash, ByteSpan key, ByteSpan data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  HMAC(Md(hash), key.data(), static_cast<int>(key.size()), data.data(), data.size(), out, &n);
  return ByteArray(out, out + n);
}

ByteArray OsslAesCbc(bool encrypt, ByteSpan key, ByteSpan iv, ByteSpan data) {
  const EVP_CIPHER* cipher = key.size() == 16 ? EVP_aes_128_cbc() : EVP_aes_256_cbc();
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      EVP_CIPHER_CTX_free);
  Check(EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv.data(), encrypt ? 1 : 0), "aes init");
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  ByteArray out(data.size() + 16);
  int n = 0, m = 0;
  Check(EVP_CipherUpdate(ctx.get(), out.data(), &n, data.data(), static_cast<int>(data.size())), "aes");
  Check(EVP_CipherFinal_ex(ctx.get(), out.data() + n, &m), "aes final");
  out.resize(static_cast<size_t>(n + m));
  return out;
}

// ---- Random test inputs (not key material) ----

ByteArray RandomBytes(std::mt19937& rng, size_t n) {
  ByteArray b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

size_t RandomIn(std::mt19937& rng, size_t lo, size_t hi) {
  return std::uniform_int_distribution<size_t>(lo, hi)(rng);
}

// ---- Keys and certificates made by openssl ----

// One RSA key with its self-signed certificate and the key in every format we read.
struct Identity {
  size_t bits = 0;
  std::string uri;     // first SAN URI
  ByteArray pkcs8Pem;  // "PRIVATE KEY"
  ByteArray pkcs1Pem;  // "RSA PRIVATE KEY"
  ByteArray pkcs1Der;  // RSAPrivateKey
  ByteArray pkcs8Der;  // PrivateKeyInfo
  ByteArray cert;      // DER
  Pkey ossl;           // the private key in libcrypto
  Pkey osslPublic;     // the certificate's key in libcrypto
  size_t k() const { return bits / 8; }
};

class TTestChannel : public IuaSecurityChannel {
 public:
  void SetCertificate(TCertificateUsage usage, ByteArray der) override {
    (usage == cuUseRemoteKey ? remote : local) = std::move(der);
  }
  ByteArray remote, local;
};

// A native provider installed in a channel, as the client uses it.
struct Installed {
  TTestChannel channel;
  TSecurityNative prov;
  Installed() { prov.setChannel(&channel); }
  uaMessageSecurityAsym& asym() { return prov.asym(); }
};

class NativeProviderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<test::TempDir>("varo_native");
    for (size_t bits : {1024, 2048, 4096}) {
      for (const char* role : {"client", "server"}) MakeIdentity(role + std::to_string(bits), bits);
    }
    const std::string key = Q("client2048.key");
    RunShell("openssl pkey -in " + key + " -aes256 -passout pass:secret -out " + Q("enc8.pem"));
    RunShell("openssl rsa -in " + key + " -aes256 -passout pass:secret -traditional -out " + Q("enc1.pem"));
    RunShell("openssl req -x509 -new -key " + Q("server1024.key") + " -outform DER -out " + Q("nosan.der") +
             " -days 30 -subj '/CN=No SAN'");
    // A chain: the leaf (server2048's key, signed by a CA) first, then the CA.
    RunShell("openssl req -x509 -newkey rsa:1024 -nodes -keyout " + Q("ca.key") + " -out " + Q("ca.pem") +
             " -days 30 -subj '/CN=Varo Test CA'");
    RunShell("openssl x509 -in " + Q("ca.pem") + " -outform DER -out " + Q("ca.der"));
    RunShell("printf 'subjectAltName=URI:urn:varo:leaf,DNS:leaf.example\\n' > " + Q("leaf.ext"));
    RunShell("openssl req -new -key " + Q("server2048.key") + " -subj '/CN=Leaf' -out " + Q("leaf.csr"));
    RunShell("openssl x509 -req -in " + Q("leaf.csr") + " -CA " + Q("ca.pem") + " -CAkey " + Q("ca.key") +
             " -set_serial 7 -days 30 -extfile " + Q("leaf.ext") + " -outform DER -out " + Q("leaf.der"));
  }
  static void TearDownTestSuite() {
    ids_.clear();
    dir_.reset();
  }

  static std::string Q(const std::string& name) { return dir_->Quoted(name); }
  static ByteArray File(const std::string& name) { return dir_->Bytes(name); }

  static void MakeIdentity(const std::string& name, size_t bits) {
    const std::string key = Q(name + ".key");
    RunShell("openssl req -x509 -newkey rsa:" + std::to_string(bits) + " -nodes -keyout " + key + " -out " +
             Q(name + ".der") + " -outform DER -days 30 -subj '/CN=" + name +
             "' -addext 'subjectAltName=URI:urn:varo:" + name + ",DNS:" + name +
             ".example,URI:urn:varo:" + name + ":second'");
    RunShell("openssl pkey -in " + key + " -traditional -out " + Q(name + ".pkcs1.pem"));
    RunShell("openssl pkey -in " + key + " -outform DER -out " + Q(name + ".pkcs1.der"));
    RunShell("openssl pkcs8 -topk8 -nocrypt -in " + key + " -outform DER -out " + Q(name + ".pkcs8.der"));
    Identity id;
    id.bits = bits;
    id.uri = "urn:varo:" + name;
    id.pkcs8Pem = File(name + ".key");
    id.pkcs1Pem = File(name + ".pkcs1.pem");
    id.pkcs1Der = File(name + ".pkcs1.der");
    id.pkcs8Der = File(name + ".pkcs8.der");
    id.cert = File(name + ".der");
    id.ossl = OsslPrivateKey(id.pkcs8Pem);
    id.osslPublic = OsslCertificateKey(id.cert);
    ids_[name] = std::move(id);
  }

  static const Identity& Id(const std::string& name) { return ids_.at(name); }
  static const Identity& Client(size_t bits) { return Id("client" + std::to_string(bits)); }
  static const Identity& Server(size_t bits) { return Id("server" + std::to_string(bits)); }

  // A provider with the client's key and certificate as local and the server's certificate
  // as remote, loaded the way the client component loads them.
  static std::unique_ptr<Installed> Provider(const Identity& client, const Identity& server) {
    auto p = std::make_unique<Installed>();
    p->prov.LoadPrivateKey(ByteSpan(client.pkcs8Pem), "");
    p->prov.LoadPublicCertifitace(ByteSpan(client.cert), cuUseLocalKey);
    p->prov.LoadPublicCertifitace(ByteSpan(server.cert), cuUseRemoteKey);
    return p;
  }

  static inline std::unique_ptr<test::TempDir> dir_;
  static inline std::map<std::string, Identity> ids_;
};

// Decrypts every k-byte block with libcrypto and concatenates the messages.
ByteArray OsslDecryptBlocks(EVP_PKEY* key, TRSAPadding padding, H hash, ByteSpan cipher, size_t k) {
  ByteArray out;
  for (size_t off = 0; off < cipher.size(); off += k) {
    const ByteArray m = OsslDecrypt(key, padding, hash, cipher.subspan(off, k));
    out.insert(out.end(), m.begin(), m.end());
  }
  return out;
}

// Encrypts p-byte pieces with libcrypto.
ByteArray OsslEncryptBlocks(EVP_PKEY* key, TRSAPadding padding, H hash, ByteSpan plain, size_t p) {
  ByteArray out;
  for (size_t off = 0; off < plain.size(); off += p) {
    const ByteArray c = OsslEncrypt(key, padding, hash, plain.subspan(off, std::min(p, plain.size() - off)));
    out.insert(out.end(), c.begin(), c.end());
  }
  return out;
}

// ---- Asymmetric encryption ----

TEST_F(NativeProviderTest, ChannelEncryptionPerPolicyAndKeySizeAgreesWithLibcryptoBothWays) {
  std::mt19937 rng(1234);
  for (const uaSecurityPolicyInfo& info : SecurityPolicies()) {
    if (!info.HasSecurity()) continue;
    const TRSAPadding padding = info.fAsymmetricEncryptionPadding;
    const H hash = info.fAsymmetricEncryptionHash;
    for (size_t bits : {1024, 2048, 4096}) {
      SCOPED_TRACE(std::string(info.fName) + " " + std::to_string(bits));
      const Identity& client = Client(bits);
      const Identity& server = Server(bits);
      auto p = Provider(client, server);
      if (!info.AsymmetricKeySizeAllowed(bits)) {
        EXPECT_THROW(p->prov.AsymmetricSendSizes(info.fPolicy), EuaSecurityError);
        EXPECT_THROW(p->prov.AsymmetricReceiveSizes(info.fPolicy), EuaSecurityError);
        continue;
      }
      const uaAsymmetricSizes send = p->prov.AsymmetricSendSizes(info.fPolicy);
      ASSERT_EQ(send.fKeySize, server.k());
      ASSERT_EQ(send.fPlainBlockSize, RsaPlainBlockSize(server.k(), padding, hash));
      EXPECT_EQ(send.fSignatureSize, client.k());
      EXPECT_EQ(send.fExtraPaddingByte, bits > 2048);
      const uaAsymmetricSizes recv = p->prov.AsymmetricReceiveSizes(info.fPolicy);
      ASSERT_EQ(recv.fKeySize, client.k());
      EXPECT_EQ(recv.fSignatureSize, server.k());
      const size_t pb = send.fPlainBlockSize;

      for (size_t length : {size_t{1}, pb, 2 * pb, RandomIn(rng, 2, 3 * pb)}) {
        SCOPED_TRACE(length);
        // Ours encrypts a chunk body inside a larger buffer; libcrypto decrypts.
        const ByteArray plain = RandomBytes(rng, length);
        ByteArray framed = RandomBytes(rng, length + 9);
        std::copy(plain.begin(), plain.end(), framed.begin() + 4);
        const ByteArray cipher = p->prov.EncryptRsaBlocks(padding, hash, framed, 4, 4 + length);
        ASSERT_EQ(cipher.size(), server.k() * RsaBlockCount(length, pb));
        EXPECT_EQ(OsslDecryptBlocks(server.ossl.get(), padding, hash, cipher, server.k()), plain);
        // libcrypto encrypts with the client certificate; ours decrypts.
        const ByteArray fromServer =
            OsslEncryptBlocks(client.osslPublic.get(), padding, hash, plain, recv.fPlainBlockSize);
        EXPECT_EQ(p->prov.DecryptRsaBlocks(padding, hash, fromServer, 0, fromServer.size()), plain);
      }
    }
  }
}

TEST_F(NativeProviderTest, SecretsUseTheirOwnPaddingZeroFillAndLeaveTheChannelPadding) {
  struct Case {
    TRSAPadding padding;
    H hash;
    size_t plainBlock;  // for a 2048-bit key
  } const cases[] = {{rpPKCS, H::SHA1, 245}, {rpOAEP, H::SHA1, 214}, {rpOAEP, H::SHA256, 190}};
  std::mt19937 rng(99);
  const Identity& server = Server(2048);
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.padding) * 10 + int(c.hash));
    auto p = Provider(Client(2048), server);
    // The channel encrypts with PKCS#1 v1.5 (Basic128Rsa15) ...
    p->prov.AsymmetricSendSizes(uaSPBasic128Rsa15);
    // ... while the user token asks for its own padding.
    const ByteArray secret = RandomBytes(rng, 30);
    const ByteArray cipher = p->prov.EncryptRsaPlainBlockSize(c.padding, c.hash, secret);
    ASSERT_EQ(cipher.size(), 256u);
    ByteArray expected = secret;
    expected.resize(c.plainBlock, 0);
    EXPECT_EQ(OsslDecrypt(server.ossl.get(), c.padding, c.hash, cipher), expected);
    // A longer secret takes two blocks, the second zero-filled.
    const ByteArray longSecret = RandomBytes(rng, c.plainBlock + 5);
    const ByteArray longCipher = p->prov.EncryptRsaPlainBlockSize(c.padding, c.hash, longSecret);
    expected = longSecret;
    expected.resize(2 * c.plainBlock, 0);
    EXPECT_EQ(OsslDecryptBlocks(server.ossl.get(), c.padding, c.hash, longCipher, 256), expected);

    const ByteArray chunk = RandomBytes(rng, 100);
    const ByteArray channelCipher = p->prov.EncryptRsaBlocks(rpPKCS, H::SHA1, chunk, 0, chunk.size());
    EXPECT_EQ(OsslDecrypt(server.ossl.get(), rpPKCS, H::SHA1, channelCipher), chunk);
  }
}

TEST_F(NativeProviderTest, RsaFailuresRaiseWithoutTouchingMemoryOutsideTheBuffers) {
  const Identity& client = Client(2048);
  const Identity& server = Server(2048);
  auto p = Provider(client, server);
  p->prov.AsymmetricSendSizes(uaSPBasic256Sha256);
  p->prov.AsymmetricReceiveSizes(uaSPBasic256Sha256);
  const ByteArray plain(214, 0x42);
  ByteArray result(256);
  // Block sizes that do not fit the key or the padding, and a result buffer one block short.
  EXPECT_THROW(p->asym().EncryptRsa(plain, 0, 214, result, 215, 256), EuaSecurityError);
  EXPECT_THROW(p->asym().EncryptRsa(plain, 0, 214, result, 214, 128), EuaSecurityError);
  EXPECT_THROW(p->asym().EncryptRsa(plain, 0, 214, result, 0, 256), EuaSecurityError);
  EXPECT_THROW(p->asym().EncryptRsa(plain, 0, 214, std::span<uint8_t>(result).first(255), 214, 256),
               EuaSecurityError);
  EXPECT_THROW(p->asym().EncryptRsa(plain, 0, 215, result, 214, 256), EuaSecurityError);

  // Decryption into a result too small for the message, and blocks that are not whole.
  const ByteArray cipher = OsslEncrypt(client.osslPublic.get(), rpOAEP, H::SHA1, plain);
  ByteArray small(100, 0xEE);
  EXPECT_THROW(p->asym().DecryptRsa(cipher, 0, 256, std::span<uint8_t>(small).first(50), 214, 256),
               EuaSecurityError);
  EXPECT_EQ(small, ByteArray(100, 0xEE));
  EXPECT_THROW(p->asym().DecryptRsa(cipher, 0, 255, result, 214, 256), EuaSecurityError);
  EXPECT_THROW(p->asym().DecryptRsa(cipher, 0, 256, result, 214, 512), EuaSecurityError);

  // A tampered block, and a block encrypted with another padding.
  for (size_t pos : {size_t{0}, size_t{100}, size_t{255}}) {
    ByteArray bad = cipher;
    bad[pos] ^= 0x01;
    try {
      p->prov.DecryptRsaBlocks(rpOAEP, H::SHA1, bad, 0, bad.size());
      ADD_FAILURE() << "tampered block at " << pos << " accepted";
    } catch (const EuaSecurityError& e) {
      EXPECT_STREQ(e.what(), "Native Security Error: decrypt error");
    }
  }
  const ByteArray pkcs = OsslEncrypt(client.osslPublic.get(), rpPKCS, H::SHA1, plain);
  EXPECT_THROW(p->prov.DecryptRsaBlocks(rpOAEP, H::SHA1, pkcs, 0, pkcs.size()), EuaSecurityError);
}

// ---- Signatures ----

struct SignCase {
  TRSAPadding padding;
  H hash;
};
constexpr SignCase kSignCases[] = {
    {rpPKCS, H::SHA1}, {rpPKCS, H::SHA256}, {rpPSS, H::SHA256}, {rpPSS, H::SHA1}};

TEST_F(NativeProviderTest, SignaturesAgreeWithLibcryptoBothWays) {
  std::mt19937 rng(77);
  for (size_t bits : {1024, 2048, 4096}) {
    const Identity& client = Client(bits);
    const Identity& server = Server(bits);
    auto p = Provider(client, server);
    for (const SignCase& c : kSignCases) {
      SCOPED_TRACE(std::to_string(bits) + " " + std::to_string(int(c.padding) * 10 + int(c.hash)));
      const ByteArray data = RandomBytes(rng, RandomIn(rng, 1, 3000));
      const size_t offset = RandomIn(rng, 0, data.size() / 2);
      const size_t end = RandomIn(rng, offset, data.size());
      const ByteSpan signedPart = ByteSpan(data).subspan(offset, end - offset);

      // Ours signs with the client key, libcrypto checks with the client certificate.
      const ByteArray ours = p->asym().Sign_Rsa(c.padding, c.hash, data, offset, end);
      ASSERT_EQ(ours.size(), client.k());
      EXPECT_TRUE(OsslVerify(client.osslPublic.get(), c.padding, c.hash, signedPart, ours));
      EXPECT_FALSE(OsslVerify(server.osslPublic.get(), c.padding, c.hash, signedPart, ours));
      const ByteArray whole = p->prov.Sign_Rsa(c.padding, c.hash, data);
      EXPECT_TRUE(OsslVerify(client.osslPublic.get(), c.padding, c.hash, data, whole));

      // libcrypto signs with the server key, ours checks with the server certificate.
      const ByteArray theirs = OsslSign(server.ossl.get(), c.padding, c.hash, signedPart);
      EXPECT_TRUE(p->asym().Verify_Rsa(c.padding, c.hash, data, offset, end, theirs));
      ByteArray badSig = theirs;
      badSig[RandomIn(rng, 0, badSig.size() - 1)] ^= static_cast<uint8_t>(1u << RandomIn(rng, 0, 7));
      EXPECT_FALSE(p->asym().Verify_Rsa(c.padding, c.hash, data, offset, end, badSig));
      if (end > offset) {
        ByteArray badData = data;
        badData[RandomIn(rng, offset, end - 1)] ^= 0x20;
        EXPECT_FALSE(p->asym().Verify_Rsa(c.padding, c.hash, badData, offset, end, theirs));
      }
      // The client's own signature is not the server's.
      EXPECT_FALSE(p->asym().Verify_Rsa(c.padding, c.hash, data, offset, end, ours));
      EXPECT_FALSE(
          p->asym().Verify_Rsa(c.padding == rpPSS ? rpPKCS : rpPSS, c.hash, data, offset, end, theirs));
    }
  }
}

TEST_F(NativeProviderTest, KeyedSigningUsesTheSuppliedKey) {
  // A user certificate's key signs the user token, while the channel keeps the client key.
  auto p = Provider(Client(2048), Server(2048));
  const Identity& user = Server(1024);
  const ByteArray data = ToBytes("server certificate followed by the server nonce");
  for (const ByteArray* key : {&user.pkcs8Pem, &user.pkcs1Pem, &user.pkcs1Der, &user.pkcs8Der}) {
    for (const SignCase& c : kSignCases) {
      const ByteArray sig = p->prov.Sign_Rsa(c.padding, c.hash, data, *key, "");
      ASSERT_EQ(sig.size(), 128u);
      EXPECT_TRUE(OsslVerify(user.osslPublic.get(), c.padding, c.hash, data, sig));
    }
  }
  EXPECT_THROW(p->prov.Sign_Rsa(rpPKCS, H::SHA256, data, File("enc8.pem"), "secret"), EuaSecurityError);
  EXPECT_THROW(p->prov.Sign_Rsa(rpPKCS, H::SHA256, data, ByteSpan(), ""), EuaSecurityError);
  EXPECT_THROW(p->prov.Sign_Rsa(rpPKCS, H::SHA256, data, user.cert, ""), EuaSecurityError);
  // The loaded key is still the client's.
  EXPECT_TRUE(OsslVerify(Client(2048).osslPublic.get(), rpPKCS, H::SHA256, data,
                         p->prov.Sign_Rsa(rpPKCS, H::SHA256, data)));
}

// ---- Keys and certificates ----

TEST_F(NativeProviderTest, EveryPrivateKeyFormatGivesTheSameKey) {
  const Identity& client = Client(2048);
  // The files really are the four formats.
  EXPECT_NE(std::string(client.pkcs8Pem.begin(), client.pkcs8Pem.end()).find("BEGIN PRIVATE KEY"),
            std::string::npos);
  EXPECT_NE(std::string(client.pkcs1Pem.begin(), client.pkcs1Pem.end()).find("BEGIN RSA PRIVATE KEY"),
            std::string::npos);
  ASSERT_GT(client.pkcs1Der.size(), 8u);
  ASSERT_GT(client.pkcs8Der.size(), 8u);
  EXPECT_EQ(client.pkcs1Der[7], 0x02);  // version, then the modulus
  EXPECT_EQ(client.pkcs8Der[7], 0x30);  // version, then the algorithm identifier

  const ByteArray data = ToBytes("one key, four encodings");
  const ByteArray fromServer = OsslEncrypt(client.osslPublic.get(), rpOAEP, H::SHA256, data);
  for (const ByteArray* key : {&client.pkcs8Pem, &client.pkcs1Pem, &client.pkcs1Der, &client.pkcs8Der}) {
    Installed p;
    p.prov.LoadPrivateKey(ByteSpan(*key), "");
    p.prov.LoadPublicCertifitace(ByteSpan(client.cert), cuUseLocalKey);
    EXPECT_EQ(p.asym().RSASize(cuUseLocalKey), 256u);
    EXPECT_TRUE(OsslVerify(client.osslPublic.get(), rpPKCS, H::SHA256, data,
                           p.prov.Sign_Rsa(rpPKCS, H::SHA256, data)));
    p.asym().initRSADecrypt(cuUseLocalKey, rpOAEP, H::SHA256);
    EXPECT_EQ(p.prov.DecryptRsaBlocks(rpOAEP, H::SHA256, fromServer, 0, fromServer.size()), data);
  }
}

TEST_F(NativeProviderTest, EncryptedKeysAreRefusedAndTheLoadedKeyStays) {
  const Identity& client = Client(2048);
  auto p = Provider(client, Server(2048));
  for (const char* name : {"enc8.pem", "enc1.pem"}) {
    for (const char* password : {"", "secret"}) {
      SCOPED_TRACE(std::string(name) + " / " + password);
      try {
        p->prov.LoadPrivateKey(ByteSpan(File(name)), password);
        ADD_FAILURE() << "encrypted key accepted";
      } catch (const EuaSecurityError& e) {
        EXPECT_NE(std::string(e.what()).find("encrypted private keys are not supported"), std::string::npos)
            << e.what();
      }
    }
  }
  EXPECT_THROW(p->prov.LoadPrivateKey(ByteSpan(ToBytes("no key here")), ""), EuaSecurityError);
  EXPECT_THROW(p->prov.LoadPrivateKey(ByteSpan(client.pkcs1Der).first(100), ""), EuaSecurityError);
  const ByteArray data = ToBytes("still signing");
  EXPECT_TRUE(
      OsslVerify(client.osslPublic.get(), rpPKCS, H::SHA1, data, p->prov.Sign_Rsa(rpPKCS, H::SHA1, data)));
  EXPECT_EQ(p->asym().getCertificateApplicationName(cuUseLocalKey), client.uri);
}

TEST_F(NativeProviderTest, ApplicationUriIsTheFirstSanUriOfEachCertificate) {
  Installed empty;
  EXPECT_EQ(empty.asym().getCertificateApplicationName(cuUseLocalKey), "");
  EXPECT_EQ(empty.asym().getCertificateApplicationName(cuUseRemoteKey), "");
  EXPECT_EQ(empty.asym().RSASize(cuUseLocalKey), 0u);
  EXPECT_EQ(empty.asym().RSASize(cuUseRemoteKey), 0u);

  auto p = Provider(Client(2048), Server(4096));
  EXPECT_EQ(p->asym().getCertificateApplicationName(cuUseLocalKey), "urn:varo:client2048");
  EXPECT_EQ(p->asym().getCertificateApplicationName(cuUseRemoteKey), "urn:varo:server4096");
  EXPECT_EQ(p->channel.local, Client(2048).cert);
  EXPECT_EQ(p->channel.remote, Server(4096).cert);
  p->prov.LoadPublicCertifitace(ByteSpan(File("nosan.der")), cuUseRemoteKey);
  EXPECT_EQ(p->asym().getCertificateApplicationName(cuUseRemoteKey), "");
  EXPECT_EQ(p->asym().RSASize(cuUseRemoteKey), 128u);
}

TEST_F(NativeProviderTest, ACertificateChainGivesTheLeafsKeyAndUri) {
  const ByteArray leaf = File("leaf.der");
  ByteArray chain = leaf;
  const ByteArray ca = File("ca.der");
  chain.insert(chain.end(), ca.begin(), ca.end());
  const Identity& leafKey = Server(2048);  // the leaf certifies server2048's key; the CA's has 1024 bits

  auto p = Provider(Client(2048), Client(1024));
  p->prov.LoadPublicCertifitace(ByteSpan(chain), cuUseRemoteKey);
  EXPECT_EQ(p->asym().RSASize(cuUseRemoteKey), 256u);
  EXPECT_EQ(p->asym().getCertificateApplicationName(cuUseRemoteKey), "urn:varo:leaf");
  p->prov.AsymmetricSendSizes(uaSPBasic256Sha256);
  const ByteArray secret = ToBytes("for the leaf only");
  const ByteArray cipher = p->prov.EncryptRsaBlocks(rpOAEP, H::SHA1, secret, 0, secret.size());
  EXPECT_EQ(OsslDecrypt(leafKey.ossl.get(), rpOAEP, H::SHA1, cipher), secret);
  EXPECT_TRUE(
      p->prov.Verify_Rsa(rpPKCS, H::SHA256, secret, OsslSign(leafKey.ossl.get(), rpPKCS, H::SHA256, secret)));

  // As the client's own certificate the chain goes with the leaf's private key.
  Installed local;
  local.prov.LoadPrivateKey(ByteSpan(leafKey.pkcs1Pem), "");
  EXPECT_NO_THROW(local.prov.LoadPublicCertifitace(ByteSpan(chain), cuUseLocalKey));
  EXPECT_EQ(local.asym().getCertificateApplicationName(cuUseLocalKey), "urn:varo:leaf");
}

TEST_F(NativeProviderTest, ALocalCertificateMustBelongToThePrivateKey) {
  const Identity& client = Client(2048);
  const Identity& other = Client(4096);
  auto p = Provider(client, Server(2048));
  try {
    p->prov.LoadPublicCertifitace(ByteSpan(other.cert), cuUseLocalKey);
    ADD_FAILURE() << "foreign certificate accepted";
  } catch (const EuaSecurityError& e) {
    EXPECT_STREQ(e.what(),
                 "Native Security Error: the client certificate does not belong to the loaded private key");
  }
  EXPECT_EQ(p->asym().getCertificateApplicationName(cuUseLocalKey), client.uri);
  EXPECT_EQ(p->asym().RSASize(cuUseLocalKey), 256u);

  // A new key replaces the old one; the certificate of the old key is forgotten until the
  // new key's certificate is loaded.
  p->prov.LoadPrivateKey(ByteSpan(other.pkcs8Pem), "");
  EXPECT_EQ(p->asym().RSASize(cuUseLocalKey), 512u);
  EXPECT_EQ(p->asym().getCertificateApplicationName(cuUseLocalKey), "");
  p->prov.LoadPublicCertifitace(ByteSpan(other.cert), cuUseLocalKey);
  EXPECT_EQ(p->asym().getCertificateApplicationName(cuUseLocalKey), other.uri);
  // Reloading the same key keeps its certificate.
  p->prov.LoadPrivateKey(ByteSpan(other.pkcs1Der), "");
  EXPECT_EQ(p->asym().getCertificateApplicationName(cuUseLocalKey), other.uri);

  // Damaged certificates raise and leave the loaded one in place.
  EXPECT_THROW(p->prov.LoadPublicCertifitace(ByteSpan(Server(1024).cert).first(200), cuUseRemoteKey),
               EuaSecurityError);
  EXPECT_EQ(p->asym().RSASize(cuUseRemoteKey), 256u);
}

TEST_F(NativeProviderTest, FailuresCarryTheNativeMessages) {
  auto p = Provider(Client(2048), Server(2048));
  Installed empty;
  const ByteArray data(64, 1);
  ByteArray out(128);
  // The channel encrypts with PKCS#1 v1.5; the failed selections below must not change that.
  p->prov.AsymmetricSendSizes(uaSPBasic128Rsa15);
  const auto bad = [](int v) { return static_cast<TCertificateUsage>(v); };
  struct Case {
    const char* name;
    std::function<void()> run;
    std::string message;
  } const cases[] = {
      {"sign with OAEP", [&] { p->prov.Sign_Rsa(rpOAEP, H::SHA256, data); }, "unknown Sign padding"},
      {"PSS encryption", [&] { p->asym().setRSAEncryptMode(rpPSS, H::SHA256); }, "unknown padding"},
      {"PSS decryption", [&] { p->asym().initRSADecrypt(cuUseLocalKey, rpPSS, H::SHA1); }, "unknown padding"},
      {"hash", [&] { p->asym().initRSAEncrypt(cuUseRemoteKey, rpOAEP, static_cast<H>(7)); },
       "unknown HashFunction"},
      {"sign hash", [&] { p->prov.Sign_Rsa(rpPKCS, static_cast<H>(2), data); }, "unknown HashFunction"},
      {"verify hash", [&] { p->prov.Verify_Rsa(rpPKCS, static_cast<H>(2), data, data); },
       "unknown HashFunction"},
      {"size usage", [&] { p->asym().RSASize(bad(2)); }, "unknown Certificate"},
      {"uri usage", [&] { p->asym().getCertificateApplicationName(bad(3)); }, "unknown Certificate"},
      {"load usage", [&] { p->asym().LoadPublicCertificate(Server(2048).cert, bad(2)); },
       "unknown Certificate"},
      {"sign without key", [&] { empty.prov.Sign_Rsa(rpPKCS, H::SHA1, data); },
       "sign error: no private key loaded"},
      {"decrypt without key", [&] { empty.asym().DecryptRsa(data, 0, 64, out, 22, 64); },
       "decrypt error: no private key loaded"},
      {"encrypt without certificate", [&] { empty.asym().EncryptRsa(data, 0, 10, out, 117, 128); },
       "encrypt error: no server certificate loaded"},
      {"verify without certificate", [&] { empty.prov.Verify_Rsa(rpPKCS, H::SHA1, data, data); },
       "verify error: no server certificate loaded"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.run();
      ADD_FAILURE() << "no exception";
    } catch (const EuaSecurityError& e) {
      EXPECT_EQ(std::string(e.what()), "Native Security Error: " + c.message);
    }
  }
  const ByteArray cipher = p->prov.EncryptRsaBlocks(rpPKCS, H::SHA1, data, 0, data.size());
  EXPECT_EQ(OsslDecrypt(Server(2048).ossl.get(), rpPKCS, H::SHA1, cipher), data);
}

// ---- Symmetric part ----

TEST_F(NativeProviderTest, SymmetricOperationsAgreeWithLibcryptoOnRandomInputs) {
  std::mt19937 rng(4242);
  TSecurityNative prov;
  uaMessageSecuritySym& s = prov.sym();
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    // HMAC keys of every length, including keys longer than the 64-byte block.
    const H hash = round % 2 ? H::SHA256 : H::SHA1;
    const ByteArray signKey = RandomBytes(rng, RandomIn(rng, 1, 150));
    const ByteArray verifyKey = RandomBytes(rng, RandomIn(rng, 1, 150));
    s.InitSymmetricSign(hash, signKey);
    s.InitSymmetricVerify(hash, verifyKey);
    const ByteArray data = RandomBytes(rng, RandomIn(rng, 0, 600));
    const size_t offset = RandomIn(rng, 0, data.size());
    const size_t length = RandomIn(rng, 0, data.size() - offset);
    const ByteSpan part = ByteSpan(data).subspan(offset, length);
    const ByteArray mac = s.SymmetricSign(data, offset, length);
    EXPECT_EQ(mac, OsslHmac(hash, signKey, part));
    EXPECT_EQ(s.SymmetricSign(data, offset, length), mac);  // the keyed context is not consumed
    const ByteArray theirs = OsslHmac(hash, verifyKey, part);
    EXPECT_TRUE(s.SymmetricVerify(data, offset, length, theirs));
    ByteArray tampered = theirs;
    tampered[RandomIn(rng, 0, tampered.size() - 1)] ^= 0x80;
    EXPECT_FALSE(s.SymmetricVerify(data, offset, length, tampered));
    EXPECT_FALSE(s.SymmetricVerify(data, offset, length, mac));

    // AES-128 and AES-256 in CBC mode, each direction with its own key and IV.
    const bool aes256 = RandomIn(rng, 0, 1) == 1;
    const TSymmAlgorithm alg = aes256 ? saAES256 : saAES128;
    const ByteArray encKey = RandomBytes(rng, aes256 ? 32 : 16), encIv = RandomBytes(rng, 16);
    const ByteArray decKey = RandomBytes(rng, aes256 ? 32 : 16), decIv = RandomBytes(rng, 16);
    s.InitEncryptSymm(alg, encKey, encIv);
    s.InitDecryptSymm(alg, decKey, decIv);
    const size_t blocks = RandomIn(rng, 0, 8);
    const ByteArray plain = RandomBytes(rng, 16 * blocks + 16);
    const size_t at = RandomIn(rng, 0, 16);
    ByteArray out1(16 * blocks), out2(16 * blocks);
    s.encryptSymm(plain, at, out1, out1.size());
    s.encryptSymm(plain, at, out2, out2.size());
    EXPECT_EQ(out1, out2);  // every call starts again from the token's IV
    EXPECT_EQ(out1, OsslAesCbc(true, encKey, encIv, ByteSpan(plain).subspan(at, out1.size())));
    const ByteArray fromServer = OsslAesCbc(true, decKey, decIv, ByteSpan(plain).first(16 * blocks));
    ByteArray dec(fromServer.size());
    s.DecryptSymm(fromServer, 0, dec, dec.size());
    EXPECT_EQ(dec, ByteArray(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(dec.size())));
  }
}

// ---- Both directions at once ----

TEST_F(NativeProviderTest, SendingAndReceivingThreadsDoNotDisturbEachOther) {
  const Identity& client = Client(1024);
  const Identity& server = Server(1024);
  auto p = Provider(client, server);
  p->prov.AsymmetricSendSizes(uaSPBasic256);                 // OAEP SHA-1 out
  p->asym().initRSADecrypt(cuUseLocalKey, rpPKCS, H::SHA1);  // PKCS#1 v1.5 in
  const uaChannelKeys keys =
      DeriveChannelKeys(uaSPBasic256, CreateClientNonce(uaSPBasic256), CreateClientNonce(uaSPBasic256));
  p->prov.ActivateKeys(uaSPBasic256, uaSSignAndEncrypt, keys);

  const ByteArray msg = ToBytes("a message of either direction, repeated");
  const ByteArray inbound = OsslEncrypt(client.osslPublic.get(), rpPKCS, H::SHA1, msg);
  const ByteArray inboundSym =
      OsslAesCbc(true, keys.fServer.fEncryptingKey, keys.fServer.fInitVector, ByteSpan(msg).first(32));
  const ByteArray outboundSym =
      OsslAesCbc(true, keys.fClient.fEncryptingKey, keys.fClient.fInitVector, ByteSpan(msg).first(32));
  constexpr int kRounds = 30;
  int sendFailures = 0, receiveFailures = 0;
  std::thread sender([&] {
    for (int i = 0; i < kRounds; ++i) {
      const ByteArray c = p->prov.EncryptRsaBlocks(rpOAEP, H::SHA1, msg, 0, msg.size());
      const ByteArray sig = p->prov.Sign_Rsa(rpPKCS, H::SHA1, msg);
      ByteArray sym(32);
      p->prov.sym().encryptSymm(msg, 0, sym, 32);
      if (OsslDecrypt(server.ossl.get(), rpOAEP, H::SHA1, c) != msg || sym != outboundSym ||
          !OsslVerify(client.osslPublic.get(), rpPKCS, H::SHA1, msg, sig)) {
        ++sendFailures;
      }
    }
  });
  std::thread receiver([&] {
    for (int i = 0; i < kRounds; ++i) {
      ByteArray sym(32);
      p->prov.sym().DecryptSymm(inboundSym, 0, sym, 32);
      if (p->prov.DecryptRsaBlocks(rpPKCS, H::SHA1, inbound, 0, inbound.size()) != msg ||
          sym != ByteArray(msg.begin(), msg.begin() + 32)) {
        ++receiveFailures;
      }
    }
  });
  sender.join();
  receiver.join();
  EXPECT_EQ(sendFailures, 0);
  EXPECT_EQ(receiveFailures, 0);
}

// ---- Registration ----

using test::SavedSlot;

TEST(NativeProviderRegistry, RegistersOnceAndCreatesFreshNativeProviders) {
  SavedSlot slot(uaSNative);
  SecurityLibClasses::Unregister(uaSNative);
  RegisterNativeSecurityLib();
  RegisterNativeSecurityLib();
  ASSERT_TRUE(SecurityLibClasses::IsRegistered(uaSNative));
  std::unique_ptr<uaMessageSecurityImpl> p = SecurityLibClasses::Create(uaSNative);
  ASSERT_NE(dynamic_cast<TSecurityNative*>(p.get()), nullptr);
  EXPECT_EQ(p->SecurityLib(), uaSNative);
  EXPECT_NO_THROW(p->asym());
  EXPECT_NO_THROW(p->sym());
  EXPECT_EQ(p->Create()->SecurityLib(), uaSNative);
}

TEST(NativeProviderRegistry, AFilledSlotIsLeftAlone) {
  SavedSlot slot(uaSNative);
  int made = 0;
  SecurityLibClasses::Register(uaSNative, [&made] {
    ++made;
    return std::make_unique<TSecurityNative>();
  });
  RegisterNativeSecurityLib();
  SecurityLibClasses::Create(uaSNative);
  EXPECT_EQ(made, 1);
}

TEST_F(NativeProviderTest, CreateGivesANewProviderInItsInitialState) {
  auto p = Provider(Client(2048), Server(2048));
  std::unique_ptr<uaMessageSecurityImpl> fresh = p->prov.Create();
  ASSERT_NE(dynamic_cast<TSecurityNative*>(fresh.get()), nullptr);
  EXPECT_EQ(fresh->asym().RSASize(cuUseLocalKey), 0u);
  EXPECT_EQ(fresh->asym().RSASize(cuUseRemoteKey), 0u);
  EXPECT_EQ(fresh->channel(), nullptr);
  EXPECT_EQ(fresh->asym().getCertificateApplicationName(cuUseLocalKey), "");
  EXPECT_THROW(fresh->sym().SymmetricSign(ByteArray(4), 0, 4), EuaSecurityError);
}

}  // namespace
}  // namespace varo::ua
