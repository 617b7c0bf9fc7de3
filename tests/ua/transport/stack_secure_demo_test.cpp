// SPDX-License-Identifier: MPL-2.0
// Secured channels to the node-opcua demo server with the native provider: every policy with
// Sign and with SignAndEncrypt, OpenSecureChannel issue and renew, and service messages of
// several chunks in both directions.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>

#include "support/demo_server.h"
#include "support/stack_session.h"
#include "support/test_certs.h"
#include "ua/encoding/service_types.h"
#include "ua/security/native_provider.h"
#include "ua/security/x509.h"

namespace varo::ua {
namespace {

using test::DemoServer;
using test::StackSession;

const std::string& Url() {
  return DemoServer::Shared().Url();
}

// The server's certificate, from its endpoint list over an unsecured channel.
const ByteArray& ServerCertificate() {
  static const ByteArray cert = [] {
    StackSession s;
    s.Connect(Url());
    s.Open();
    auto resp = s.GetEndpoints(Url());
    s.Close();
    for (const auto& e : resp->Endpoints)
      if (!e->ServerCertificate.empty()) return e->ServerCertificate;
    throw std::runtime_error("no endpoint with a certificate");
  }();
  return cert;
}

void Secure(StackSession& s, TuaSecureMode aMode, TuaSecurePolicy aPolicy, size_t aBits = 2048) {
  RegisterNativeSecurityLib();
  const test::TestIdentity& id = test::ClientIdentity(aBits);
  uaChannel& ch = s.Stack().TcpChannel();
  ch.SetSecurity(SecurityLibClasses::Create(uaSNative));
  ch.SetLocalPrivateKey(id.keyPem);
  ch.SetLocalCertificate(id.certDer);
  ch.SetRemoteCertificate(ServerCertificate());
  ch.ChangeSecurityProtocol(aMode, aPolicy);
}

std::unique_ptr<uaGetEndpointsResponse> GetEndpoints(StackSession& s, size_t aPaddingBytes = 0) {
  return s.GetEndpoints(Url(), aPaddingBytes);
}

struct SecureCase {
  TuaSecureMode mode;
  TuaSecurePolicy policy;
};

std::string CaseName(const testing::TestParamInfo<SecureCase>& info) {
  return uaSecurityPolicies::PolicyName(info.param.policy) + "_" + SecureModeToString(info.param.mode);
}

class StackSecureDemo : public testing::TestWithParam<SecureCase> {};

TEST_P(StackSecureDemo, OpenRenewAndChunkedMessages) {
  const SecureCase c = GetParam();
  StackSession s;
  s.Stack().MessageLimits().fReceiveBufferSize = 8192;
  s.Stack().MessageLimits().fSendBufferSize = 8192;
  Secure(s, c.mode, c.policy);
  s.Connect(Url());
  auto first = s.Open(false, 60000);
  uaChannel& ch = s.Stack().TcpChannel();
  EXPECT_NE(ch.SecureChannelId(), 0u);
  EXPECT_EQ(first->ServerNonce.size(), SecurityPolicyNonceLength(c.policy));

  const uint32_t before = ch.ConnectionData().fSequenceHeader.fSequenceNumber;
  auto big = GetEndpoints(s, 20000);
  EXPECT_GE(ch.ConnectionData().fSequenceHeader.fSequenceNumber - before, 3u);
  EXPECT_FALSE(big->Endpoints.empty());

  auto renewed = s.Open(true, 60000);
  EXPECT_NE(renewed->SecurityToken->TokenId, first->SecurityToken->TokenId);
  EXPECT_FALSE(GetEndpoints(s)->Endpoints.empty());
  s.Close();
  EXPECT_FALSE(s.CriticalError().has_value()) << *s.CriticalError();
}

std::vector<SecureCase> AllCases() {
  std::vector<SecureCase> v;
  for (TuaSecurePolicy p : {uaSPBasic128Rsa15, uaSPBasic256, uaSPBasic256Sha256, uaSPAes128_Sha256_RsaOaep,
                            uaSPAes256_Sha256_RsaPss})
    for (TuaSecureMode m : {uaSSign, uaSSignAndEncrypt}) v.push_back({m, p});
  return v;
}

INSTANTIATE_TEST_SUITE_P(AllPolicies, StackSecureDemo, testing::ValuesIn(AllCases()), CaseName);

TEST(StackSecureDemoChecks, ResponseFromAnotherServerCertificateIsRefused) {
  // We expect a different server certificate than the one the server signs with: the
  // OpenSecureChannel response must be refused, not trusted.
  StackSession s;
  s.fTimeoutMs = 5000;
  Secure(s, uaSSignAndEncrypt, uaSPBasic256Sha256);
  const test::TestIdentity& other = test::ClientIdentity(3072);
  s.Stack().TcpChannel().SetRemoteCertificate(other.certDer);
  s.Connect(Url());
  // The server cannot decrypt what we encrypted for another key, or we refuse its answer:
  // either way the channel does not open.
  const auto start = std::chrono::steady_clock::now();
  try {
    s.Open();
    ADD_FAILURE() << "the channel opened";
  } catch (const std::runtime_error& e) {
    std::cerr << "refused: " << e.what() << "\n";
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

}  // namespace
}  // namespace varo::ua
