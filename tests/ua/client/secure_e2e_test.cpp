// SPDX-License-Identifier: MPL-2.0
// Secured sessions of TVaroUAClient against the node-opcua demo server: every policy with Sign
// and SignAndEncrypt through the native and the OpenSSL provider, with read, write and method
// call, anonymous and user-name logins (the password encrypted for the server), messages of
// many chunks in both directions, token renewal under security, key sizes, PKCS#1 and PKCS#8
// keys, and a server that sends its certificate together with its CA.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/demo_server.h"
#include "support/stack_session.h"
#include "support/test_certs.h"
#include "ua/client/ua_attributes.h"
#include "ua/client/ua_client.h"
#include "ua/security/native_provider.h"
#include "ua/security/openssl_provider.h"
#include "ua/security/x509.h"

namespace varo::ua {
namespace {

using test::DemoServer;
using test::DemoServerOptions;

constexpr const char* kUser = "demo";
constexpr const char* kPassword = "demo-password";
constexpr const char* kNonePolicyUri = "http://opcfoundation.org/UA/SecurityPolicy#None";

enum class KeyForm { Pkcs1, Pkcs8 };

struct SecureCase {
  TuaSecurePolicy policy;
  TuaSecureMode mode;
  TuaSecurityLib lib;
  size_t bits = 2048;
  KeyForm form = KeyForm::Pkcs8;
};

std::string LibName(TuaSecurityLib aLib) {
  return aLib == uaSOpenSSL ? "OpenSSL" : "Native";
}

std::string CaseName(const testing::TestParamInfo<SecureCase>& info) {
  const SecureCase& c = info.param;
  return uaSecurityPolicies::PolicyName(c.policy) + "_" + SecureModeToString(c.mode) + "_" + LibName(c.lib) +
         "_" + std::to_string(c.bits) + (c.form == KeyForm::Pkcs1 ? "_Pkcs1" : "_Pkcs8");
}

void RegisterProviders() {
  static const bool once = [] {
    RegisterNativeSecurityLib();
    RegisterOpenSSLSecurityLib();
    return true;
  }();
  (void)once;
}

// A client for the case, not yet connected. Small buffers make every message above 8 KiB
// travel in several chunks.
std::unique_ptr<TVaroUAClient> MakeClient(const std::string& aUrl, const SecureCase& c) {
  RegisterProviders();
  auto client = std::make_unique<TVaroUAClient>();
  client->SetUrl(aUrl);
  client->SetSecurityMode(c.mode);
  client->SetSecurityPolicy(c.policy);
  client->SetSecurityLib(c.lib);
  const test::TestIdentity& id = test::ClientIdentity(c.bits);
  client->SetPrivateKey(c.form == KeyForm::Pkcs1 ? id.keyPkcs1Pem : id.keyPem);
  client->SetPublicKey(id.certDer);
  client->Stack().MessageLimits().fReceiveBufferSize = 8192;
  client->Stack().MessageLimits().fSendBufferSize = 8192;
  return client;
}

// The provider installed in the client's channel is of the class the case asked for.
void ExpectProvider(TVaroUAClient& aClient, TuaSecurityLib aLib) {
  uaMessageSecurityImpl* s = aClient.Stack().TcpChannel().Security();
  ASSERT_NE(s, nullptr);
  if (aLib == uaSOpenSSL)
    EXPECT_NE(dynamic_cast<TIndy_OpenSSL*>(s), nullptr);
  else
    EXPECT_NE(dynamic_cast<TSecurityNative*>(s), nullptr);
}

// The channel really runs the case's mode and policy.
void ExpectChannel(TVaroUAClient& aClient, const SecureCase& c) {
  uaChannel& ch = aClient.Stack().TcpChannel();
  EXPECT_EQ(ch.SecurityMode(), c.mode);
  EXPECT_EQ(ch.SecurityPolicy(), c.policy);
  ASSERT_TRUE(aClient.Endpoint());
  EXPECT_EQ(aClient.Endpoint()->SecurityPolicyUri, uaSecurityPolicies::uaSecurityPolicyToString(c.policy));
  ExpectProvider(aClient, c.lib);
}

int32_t ReadInt32(TVaroUAClient& aClient, const std::string& aNode) {
  std::unique_ptr<uaDataValue> dv = aClient.ReadNodeAttribute(aNode, attrValue);
  if (!dv || !dv->Value) throw std::runtime_error("no value for " + aNode);
  return dv->Value->Get<int32_t>();
}

// The security policy under which the password of the chosen endpoint's user-name policy
// travels (the token policy's own, else the endpoint's).
std::string UserTokenPolicyUri(const uaEndpointDescription& aEndpoint) {
  std::string uri;
  bool found = false;
  for (const auto& p : aEndpoint.UserIdentityTokens) {
    if (!p || !p->TokenType || p->TokenType->Value != TuaUserLogin::UserName) continue;
    const std::string& own = p->SecurityPolicyUri;
    const std::string effective = own.empty() ? aEndpoint.SecurityPolicyUri : own;
    if (!found || effective != kNonePolicyUri) uri = effective;
    found = true;
  }
  return uri;
}

// Writes a value, reads it back and restores the old one.
void WriteReadBack(TVaroUAClient& aClient, const std::string& aNode, int32_t aValue) {
  const int32_t before = ReadInt32(aClient, aNode);
  EXPECT_EQ(aClient.WriteNodeAttribute(aNode, attrValue, uaVariant(aValue)), 0u);
  EXPECT_EQ(ReadInt32(aClient, aNode), aValue);
  EXPECT_EQ(aClient.WriteNodeAttribute(aNode, attrValue, uaVariant(before)), 0u);
}

void CallAdd(TVaroUAClient& aClient, double a, double b) {
  uaVariant va(a), vb(b);
  std::vector<std::unique_ptr<uaVariant>> out =
      aClient.MethodCall("ns=1;s=Demo.Methods", "ns=1;s=Demo.Methods.Add", {&va, &vb});
  ASSERT_EQ(out.size(), 1u);
  ASSERT_TRUE(out[0]);
  EXPECT_DOUBLE_EQ(out[0]->Get<double>(), a + b);
}

// About 100 KB of ByteStrings, each with its own pattern, so that a lost, reordered or
// repeated chunk shows in the comparison.
std::vector<ByteArray> BigByteStrings(uint8_t aSeed) {
  std::vector<ByteArray> v;
  for (size_t i = 0; i < 25; ++i) {
    ByteArray b(4000 + i);
    for (size_t j = 0; j < b.size(); ++j) b[j] = static_cast<uint8_t>(aSeed + i * 31 + j * 7);
    v.push_back(std::move(b));
  }
  return v;
}

// A request and a response of about 100 KB each over buffers of 8 KiB: both directions go in
// many chunks, each signed (and encrypted) on its own.
void BigRoundTrip(TVaroUAClient& aClient, uint8_t aSeed) {
  const std::string node = "ns=1;s=Demo.Static.Array.ByteString";
  uaChannel& ch = aClient.Stack().TcpChannel();
  const uint32_t sendBuffer = ch.ConnectionData().SendBufferSize();
  const uint32_t receiveBuffer = ch.ConnectionData().fLimits.fHandShakeLimits.fReceiveBufferSize;
  EXPECT_LE(sendBuffer, 8192u);
  EXPECT_LE(receiveBuffer, 8192u);

  std::unique_ptr<uaDataValue> old = aClient.ReadNodeAttribute(node, attrValue);
  ASSERT_TRUE(old && old->Value);
  const std::vector<ByteArray> big = BigByteStrings(aSeed);
  const uint32_t seqBefore = ch.ConnectionData().fSequenceHeader.fSequenceNumber;
  ASSERT_EQ(aClient.WriteNodeAttribute(node, attrValue, uaVariant(big)), 0u);
  // The write request alone took at least 100000 / 8192 chunks.
  EXPECT_GE(ch.ConnectionData().fSequenceHeader.fSequenceNumber - seqBefore, 12u);

  std::unique_ptr<uaDataValue> back = aClient.ReadNodeAttribute(node, attrValue);
  ASSERT_TRUE(back && back->Value);
  // The response is far larger than one chunk we accept, so it came in many.
  const auto* got = back->Value->GetIf<std::vector<ByteArray>>();
  ASSERT_NE(got, nullptr);
  EXPECT_TRUE(*got == big);
  EXPECT_EQ(aClient.WriteNodeAttribute(node, attrValue, *old->Value), 0u);
}

std::vector<TuaSecurePolicy> SecuredPolicies() {
  return {uaSPBasic128Rsa15, uaSPBasic256, uaSPBasic256Sha256, uaSPAes128_Sha256_RsaOaep,
          uaSPAes256_Sha256_RsaPss};
}

// Every policy, mode and provider with 2048-bit keys; the key form alternates so that each
// provider and mode loads both forms.
std::vector<SecureCase> MatrixCases() {
  std::vector<SecureCase> v;
  size_t i = 0;
  for (TuaSecurePolicy p : SecuredPolicies())
    for (TuaSecureMode m : {uaSSign, uaSSignAndEncrypt}) {
      for (TuaSecurityLib lib : {uaSNative, uaSOpenSSL})
        v.push_back({p, m, lib, 2048, (i % 2) == 0 ? KeyForm::Pkcs8 : KeyForm::Pkcs1});
      ++i;
    }
  return v;
}

class SecureMatrix : public testing::TestWithParam<SecureCase> {
 protected:
  void SetUp() override { VARO_REQUIRE_DEMO_SERVER(DemoServer::Shared()); }
};

TEST_P(SecureMatrix, AnonymousAndUserSessions) {
  const SecureCase c = GetParam();
  std::unique_ptr<TVaroUAClient> client = MakeClient(DemoServer::Shared().Url(), c);
  ByteArray trusted;
  client->OnTrustCertificate = [&](TVaroUAClient&, const ByteArray& cert) {
    trusted = cert;
    return true;
  };

  // Anonymous: read, write, call, and the large messages under SignAndEncrypt.
  client->SetActive(true);
  ASSERT_TRUE(client->Active());
  ExpectChannel(*client, c);
  EXPECT_FALSE(trusted.empty());
  ASSERT_TRUE(client->SessionData());
  EXPECT_TRUE(client->SessionData()->ServerCertificate == trusted);
  EXPECT_EQ(ReadInt32(*client, "ns=1;s=Demo.ReadOnly.Int32"), 42);
  WriteReadBack(*client, "ns=1;s=Demo.Static.Int32", 1000 + static_cast<int32_t>(c.policy));
  CallAdd(*client, 1.25, static_cast<double>(c.mode));
  if (c.mode == uaSSignAndEncrypt) BigRoundTrip(*client, static_cast<uint8_t>(c.policy * 16 + c.lib));
  client->SetActive(false);
  EXPECT_FALSE(client->Active());

  // User name on the same client: the password goes encrypted with the server's key, which
  // the server insists on for a secured user-token policy (it refuses a plain one).
  client->UserLogin().SetUser(kUser, kPassword);
  client->SetActive(true);
  ASSERT_TRUE(client->Active());
  ExpectChannel(*client, c);
  EXPECT_NE(UserTokenPolicyUri(*client->Endpoint()), kNonePolicyUri);
  EXPECT_FALSE(UserTokenPolicyUri(*client->Endpoint()).empty());
  EXPECT_EQ(ReadInt32(*client, "ns=1;s=Demo.ReadOnly.Int32"), 42);
  CallAdd(*client, -2.5, 0.5);
  client->SetActive(false);
  EXPECT_FALSE(client->ServerShutdown());
}

INSTANTIATE_TEST_SUITE_P(EveryPolicyModeAndProvider, SecureMatrix, testing::ValuesIn(MatrixCases()),
                         CaseName);

// The key sizes a policy allows besides 2048 bits: 1024 for the two SHA-1 policies, 4096 for
// the SHA-256 ones.
std::vector<SecureCase> KeySizeCases() {
  std::vector<SecureCase> v;
  for (TuaSecurityLib lib : {uaSNative, uaSOpenSSL}) {
    for (TuaSecurePolicy p : {uaSPBasic128Rsa15, uaSPBasic256})
      v.push_back({p, uaSSignAndEncrypt, lib, 1024, lib == uaSNative ? KeyForm::Pkcs1 : KeyForm::Pkcs8});
    for (TuaSecurePolicy p : {uaSPBasic256Sha256, uaSPAes128_Sha256_RsaOaep, uaSPAes256_Sha256_RsaPss})
      v.push_back({p, uaSSignAndEncrypt, lib, 4096, lib == uaSNative ? KeyForm::Pkcs8 : KeyForm::Pkcs1});
  }
  return v;
}

class SecureKeySizes : public SecureMatrix {};

TEST_P(SecureKeySizes, UserSessionReadsAndWrites) {
  const SecureCase c = GetParam();
  std::unique_ptr<TVaroUAClient> client = MakeClient(DemoServer::Shared().Url(), c);
  client->UserLogin().SetUser(kUser, kPassword);
  client->SetActive(true);
  ASSERT_TRUE(client->Active());
  ExpectChannel(*client, c);
  // The provider signs with our key: its size shows in the session's client certificate.
  EXPECT_TRUE(client->Stack().TcpChannel().LocalCertificate() == test::ClientIdentity(c.bits).certDer);
  EXPECT_EQ(ReadInt32(*client, "ns=1;s=Demo.ReadOnly.Int32"), 42);
  WriteReadBack(*client, "ns=1;s=Demo.Static.Int32", static_cast<int32_t>(c.bits));
  client->SetActive(false);
}

INSTANTIATE_TEST_SUITE_P(AllowedKeySizes, SecureKeySizes, testing::ValuesIn(KeySizeCases()), CaseName);

class SecureLogin : public testing::TestWithParam<TuaSecurityLib> {
 protected:
  void SetUp() override { VARO_REQUIRE_DEMO_SERVER(DemoServer::Shared()); }
};

// Without message security the user-name policy still names a secured policy: the client
// installs a provider only to encrypt the password with the endpoint's certificate.
TEST_P(SecureLogin, PasswordEncryptedOnAnUnsecuredChannel) {
  const TuaSecurityLib lib = GetParam();
  std::unique_ptr<TVaroUAClient> client =
      MakeClient(DemoServer::Shared().Url(), {uaSPNone, uaSNone, lib, 2048, KeyForm::Pkcs8});
  client->UserLogin().SetUser(kUser, kPassword);
  client->SetActive(true);
  ASSERT_TRUE(client->Active());
  ASSERT_TRUE(client->Endpoint());
  EXPECT_EQ(client->Stack().TcpChannel().SecurityMode(), uaSNone);
  std::string tokenPolicy;
  for (const auto& p : client->Endpoint()->UserIdentityTokens)
    if (p && p->TokenType && p->TokenType->Value == TuaUserLogin::UserName && !p->SecurityPolicyUri.empty() &&
        p->SecurityPolicyUri != kNonePolicyUri)
      tokenPolicy = p->SecurityPolicyUri;
  EXPECT_FALSE(tokenPolicy.empty()) << "the server offers no user-name policy with its own security policy";
  ExpectProvider(*client, lib);
  EXPECT_EQ(ReadInt32(*client, "ns=1;s=Demo.ReadOnly.Int32"), 42);
  client->SetActive(false);
}

// The server checks what it decrypted: a wrong password is refused, under security too.
TEST_P(SecureLogin, WrongPasswordIsRefused) {
  const TuaSecurityLib lib = GetParam();
  for (auto [policy, mode] :
       {std::pair{uaSPBasic256Sha256, uaSSignAndEncrypt}, std::pair{uaSPNone, uaSNone}}) {
    std::unique_ptr<TVaroUAClient> client =
        MakeClient(DemoServer::Shared().Url(), {policy, mode, lib, 2048, KeyForm::Pkcs8});
    client->UserLogin().SetUser(kUser, "not-the-password");
    try {
      client->SetActive(true);
      ADD_FAILURE() << "connected with a wrong password";
    } catch (const uaConnectionException& e) {
      EXPECT_NE(std::string(e.what()).find("UA Error ($"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(client->Active());
  }
}

INSTANTIATE_TEST_SUITE_P(BothProviders, SecureLogin, testing::Values(uaSNative, uaSOpenSSL),
                         [](const testing::TestParamInfo<TuaSecurityLib>& i) { return LibName(i.param); });

// Tokens of 3 s: the renew thread replaces the token before it lapses, several times, while
// reads go on; four secured clients (both providers, both modes) share the same window.
TEST(SecureRenewal, TokensRenewWhileReadsGoOn) {
  if (test::DemoServerDisabled()) GTEST_SKIP() << "VARO_NO_DEMO_SERVER is set";
  DemoServerOptions opts;
  opts.maxChannelLifetimeMs = 3000;
  opts.loadCount = 10;
  DemoServer server(opts);
  ASSERT_TRUE(test::EnsureDemoServer(server));

  const std::vector<SecureCase> cases = {
      {uaSPBasic256Sha256, uaSSignAndEncrypt, uaSNative},
      {uaSPAes256_Sha256_RsaPss, uaSSignAndEncrypt, uaSOpenSSL},
      {uaSPBasic128Rsa15, uaSSign, uaSNative, 2048, KeyForm::Pkcs1},
      {uaSPAes128_Sha256_RsaOaep, uaSSign, uaSOpenSSL, 2048, KeyForm::Pkcs1},
  };
  std::vector<std::unique_ptr<TVaroUAClient>> clients;
  std::vector<std::vector<uint32_t>> tokens(cases.size());
  // When each token was first seen in use.
  std::vector<std::vector<std::chrono::steady_clock::time_point>> seen(cases.size());
  for (const SecureCase& c : cases) {
    clients.push_back(MakeClient(server.Url(), c));
    if (c.mode == uaSSignAndEncrypt) clients.back()->UserLogin().SetUser(kUser, kPassword);
    clients.back()->SetActive(true);
    ASSERT_TRUE(clients.back()->Active()) << CaseName({c, 0});
  }
  const auto start = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(7500)) {
    for (size_t i = 0; i < clients.size(); ++i) {
      SCOPED_TRACE(CaseName({cases[i], 0}));
      ASSERT_TRUE(clients[i]->Active());
      EXPECT_EQ(ReadInt32(*clients[i], "ns=1;s=Demo.ReadOnly.Int32"), 42);
      const uint32_t id = clients[i]->Stack().TcpChannel().TokenId();
      if (tokens[i].empty() || tokens[i].back() != id) {
        tokens[i].push_back(id);
        seen[i].push_back(std::chrono::steady_clock::now());
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (size_t i = 0; i < clients.size(); ++i) {
    SCOPED_TRACE(CaseName({cases[i], 0}));
    // 7.5 s with tokens of 3 s: the first token and at least two renewed ones.
    EXPECT_GE(tokens[i].size(), 3u);
    // Each token is replaced well before its 3 s have passed (at three quarters of them),
    // not at the end of its lifetime.
    for (size_t t = 1; t < seen[i].size(); ++t)
      EXPECT_LT(seen[i][t] - seen[i][t - 1], std::chrono::milliseconds(2800)) << "token " << tokens[i][t];
    EXPECT_FALSE(clients[i]->ServerShutdown());
    // The session survived the renewals: a large message still goes through the newest keys.
    if (cases[i].mode == uaSSignAndEncrypt) BigRoundTrip(*clients[i], static_cast<uint8_t>(i));
    clients[i]->SetActive(false);
  }
}

// A server whose certificate field holds its leaf certificate followed by the CA that signed
// it. Keys and thumbprints must come from the leaf.
class SecureChain : public testing::Test {
 protected:
  static DemoServer& Server() {
    static DemoServer server([] {
      DemoServerOptions o;
      o.certificateChain = true;
      o.loadCount = 10;
      return o;
    }());
    return server;
  }
  void SetUp() override {
    if (test::DemoServerDisabled()) GTEST_SKIP() << "VARO_NO_DEMO_SERVER is set";
    ASSERT_TRUE(test::EnsureDemoServer(Server()));
  }
};

TEST_F(SecureChain, EndpointsCarryLeafAndCa) {
  test::StackSession s;
  s.Connect(Server().Url());
  s.Open();
  uaGetEndpointsRequest req;
  req.EndpointUrl = Server().Url();
  auto resp = s.Call<uaGetEndpointsResponse>(req);
  s.Close();
  size_t secured = 0;
  for (const auto& e : resp->Endpoints) {
    if (e->ServerCertificate.empty()) continue;
    const std::vector<ByteSpan> parts = SplitCertificateChain(e->ServerCertificate);
    ASSERT_EQ(parts.size(), 2u) << e->SecurityPolicyUri;
    EXPECT_LT(parts[0].size(), e->ServerCertificate.size());
    // The leaf names the server, the second element is its issuer.
    TX509Certificate leaf, ca;
    leaf.Load(parts[0]);
    ca.Load(parts[1]);
    EXPECT_EQ(leaf.ApplicationUri(), "urn:varo:demo-server");
    EXPECT_FALSE(leaf.isSelfIssued());
    EXPECT_TRUE(ca.isSelfIssued());
    EXPECT_TRUE(leaf.Certificate().fIssuer.Comparex500Name(&ca.Certificate().fSubject));
    ++secured;
  }
  EXPECT_GT(secured, 0u);
}

TEST_F(SecureChain, SecuredSessionsWithBothProviders) {
  for (const SecureCase& c :
       {SecureCase{uaSPBasic256Sha256, uaSSignAndEncrypt, uaSNative},
        SecureCase{uaSPAes256_Sha256_RsaPss, uaSSignAndEncrypt, uaSOpenSSL},
        SecureCase{uaSPBasic128Rsa15, uaSSign, uaSOpenSSL, 2048, KeyForm::Pkcs1},
        SecureCase{uaSPAes128_Sha256_RsaOaep, uaSSign, uaSNative, 2048, KeyForm::Pkcs1}}) {
    SCOPED_TRACE(CaseName({c, 0}));
    std::unique_ptr<TVaroUAClient> client = MakeClient(Server().Url(), c);
    ByteArray trusted;
    client->OnTrustCertificate = [&](TVaroUAClient&, const ByteArray& cert) {
      trusted = cert;
      return true;
    };
    client->UserLogin().SetUser(kUser, kPassword);
    client->SetActive(true);
    ASSERT_TRUE(client->Active());
    ExpectChannel(*client, c);
    // The whole chain is handed to the trust question and kept as the remote certificate.
    EXPECT_EQ(SplitCertificateChain(trusted).size(), 2u);
    EXPECT_TRUE(client->Stack().TcpChannel().RemoteCertificate() == trusted);
    EXPECT_EQ(ReadInt32(*client, "ns=1;s=Demo.ReadOnly.Int32"), 42);
    WriteReadBack(*client, "ns=1;s=Demo.Static.Int32", 77);
    CallAdd(*client, 2.0, 3.0);
    client->SetActive(false);
    EXPECT_FALSE(client->ServerShutdown());
  }
}

}  // namespace
}  // namespace varo::ua
