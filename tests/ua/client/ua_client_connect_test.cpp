// SPDX-License-Identifier: MPL-2.0
// Connect, disconnect, endpoint choice and identities of TVaroUAClient against the node-opcua
// demo server.
#include <atomic>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/demo_server.h"
#include "support/test_certs.h"
#include "ua/client/ua_client.h"

namespace varo::ua {
namespace {

using test::DemoServer;

struct LogLine {
  int severity;
  uint32_t type;
  std::string text;
  std::string data;
  int32_t objNo;
  bool deleteSubscriptions;
};

class ClientConnect : public ::testing::Test {
 protected:
  void SetUp() override {
    VARO_REQUIRE_DEMO_SERVER(DemoServer::Shared());
    fClient = std::make_unique<TVaroUAClient>();
    fClient->SetUrl(DemoServer::Shared().Url());
    fClient->OnLog = [this](TVaroUAClient&, int sev, uint32_t type, const std::string& text,
                            const TuaObj* data) {
      std::lock_guard l(fLogLock);
      auto* close = dynamic_cast<const uaCloseSessionRequest*>(data);
      fLog.push_back({sev, type, text, data ? data->ToString() : std::string(), data ? data->ObjNo : 0,
                      close && close->DeleteSubscriptions});
    };
  }

  void TearDown() override {
    if (HasFailure())
      for (const LogLine& l : Log()) std::cerr << l.severity << "/" << l.type << " " << l.text << "\n";
  }

  std::vector<LogLine> Log() {
    std::lock_guard l(fLogLock);
    return fLog;
  }

  std::unique_ptr<TVaroUAClient> fClient;
  std::mutex fLogLock;
  std::vector<LogLine> fLog;
};

TEST_F(ClientConnect, AnonymousConnectAndDisconnect) {
  int connects = 0, disconnects = 0;
  fClient->OnConnect = [&](TVaroUAClient&) { ++connects; };
  fClient->OnDisconnect = [&](TVaroUAClient&) { ++disconnects; };
  fClient->SetActive(true);
  ASSERT_TRUE(fClient->Active());
  EXPECT_EQ(connects, 1);
  ASSERT_TRUE(fClient->SessionData());
  ASSERT_TRUE(fClient->SessionData()->AuthenticationToken);
  ASSERT_TRUE(fClient->Endpoint());
  EXPECT_EQ(fClient->Endpoint()->EndpointUrl.rfind("opc.tcp://127.0.0.1:", 0), 0u);

  // A session that was handed out stays valid after the disconnect.
  std::shared_ptr<const uaCreateSessionResponse> held = fClient->SessionData();
  fClient->SetActive(false);
  EXPECT_FALSE(fClient->Active());
  EXPECT_FALSE(fClient->Disconnecting());
  EXPECT_EQ(disconnects, 1);
  EXPECT_EQ(fClient->SessionData(), nullptr);
  EXPECT_EQ(fClient->Endpoint(), nullptr);
  EXPECT_TRUE(held->AuthenticationToken);
  // Setting the current value does nothing.
  fClient->SetActive(false);
  EXPECT_EQ(disconnects, 1);

  // CloseSession asks the server to drop the subscriptions too.
  bool sawClose = false;
  for (const LogLine& l : Log()) {
    if (l.objNo == uaCloseSessionRequest::kObjNo) {
      sawClose = true;
      EXPECT_TRUE(l.deleteSubscriptions);
    }
  }
  EXPECT_TRUE(sawClose);
}

TEST_F(ClientConnect, SessionNamesCountPerClientAndEveryConnectStartsFresh) {
  std::vector<std::string> names;
  fClient->OnLog = [&](TVaroUAClient&, int, uint32_t, const std::string&, const TuaObj* data) {
    if (auto* r = dynamic_cast<const uaCreateSessionRequest*>(data)) names.push_back(r->SessionName);
  };
  for (int i = 0; i < 2; ++i) {
    fClient->SetActive(true);
    ASSERT_TRUE(fClient->Active());
    uaRead read(fClient.get());
    read.Request->NodesToRead_Setlength(1);
    read.Request->NodesToRead[0]->NodeId = std::make_unique<uaNodeId>(2259u, 0);
    read.Request->NodesToRead[0]->AttributeId = 13;
    read.Run();
    ASSERT_TRUE(read.Response);
    fClient->SetActive(false);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Varo-Session 1", "Varo-Session 2"}));
}

TEST_F(ClientConnect, UserNameWithRightAndWrongPassword) {
  fClient->UserLogin().SetUser("demo", "demo-password");
  fClient->SetActive(true);
  EXPECT_TRUE(fClient->Active());
  // When the server offers a user-name policy that encrypts the password, that one is used.
  bool encrypting = false;
  for (const auto& p : fClient->Endpoint()->UserIdentityTokens)
    if (p->TokenType && p->TokenType->Value == TuaUserLogin::UserName && !p->SecurityPolicyUri.empty() &&
        p->SecurityPolicyUri != "http://opcfoundation.org/UA/SecurityPolicy#None")
      encrypting = true;
  if (encrypting) {
    EXPECT_NE(fClient->UserTokenPolicyUri(), "http://opcfoundation.org/UA/SecurityPolicy#None");
  }
  fClient->SetActive(false);

  fClient->UserLogin().SetUser("demo", "not-the-password");
  try {
    fClient->SetActive(true);
    FAIL() << "a wrong password connected";
  } catch (const uaConnectionException& e) {
    EXPECT_EQ(std::string(e.what()).rfind("UA Error ($80", 0), 0u) << e.what();
  }
  EXPECT_FALSE(fClient->Active());
  EXPECT_EQ(fClient->SessionData(), nullptr);
  // The client connects again afterwards.
  fClient->UserLogin().SetUser("demo", "demo-password");
  fClient->SetActive(true);
  EXPECT_TRUE(fClient->Active());
}

TEST_F(ClientConnect, PasswordsNeverReachTheLog) {
  fClient->UserLogin().SetUser("demo", "demo-password");
  fClient->SetActive(true);
  fClient->SetActive(false);
  fClient->UserLogin().SetUser("demo", "wrong-secret-xyz");
  EXPECT_THROW(fClient->SetActive(true), uaConnectionException);
  bool sawActivate = false;
  for (const LogLine& l : Log()) {
    EXPECT_EQ(l.text.find("demo-password"), std::string::npos);
    EXPECT_EQ(l.data.find("demo-password"), std::string::npos);
    EXPECT_EQ(l.text.find("wrong-secret-xyz"), std::string::npos);
    EXPECT_EQ(l.data.find("wrong-secret-xyz"), std::string::npos);
    if (l.text == "ActivateSession") sawActivate = true;
    EXPECT_NE(l.objNo, uaActivateSessionRequest::kObjNo);
  }
  EXPECT_TRUE(sawActivate);
}

TEST_F(ClientConnect, UserPolicyTheServerDoesNotOfferIsRefused) {
  fClient->UserLogin().LoginMode = TuaUserLogin::Kerberos;
  try {
    fClient->SetActive(true);
    FAIL();
  } catch (const uaConnectionException& e) {
    EXPECT_STREQ(e.what(), "User Policy: Kerberos not supported by the OPC Server");
  }
  EXPECT_FALSE(fClient->Active());
}

TEST_F(ClientConnect, NoEndpointOfTheWantedModeAndPolicy) {
  fClient->SetSecurityMode(uaSNone);
  fClient->SetSecurityPolicy(uaSPBasic256Sha256);
  try {
    fClient->SetActive(true);
    FAIL();
  } catch (const uaConnectionException& e) {
    const std::string m = e.what();
    EXPECT_EQ(m.rfind("Can't find right Security Mode: None with Policy: "
                      "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256\n"
                      "Possible security modes for opc.tcp:// are:\n",
                      0),
              0u)
        << m;
    EXPECT_NE(m.find("\nNone - None"), std::string::npos) << m;
    EXPECT_NE(m.find("\nSignAndEncrypt - Basic256Sha256"), std::string::npos) << m;
    EXPECT_NE(m.back(), '\n');
  }
  EXPECT_FALSE(fClient->Active());
}

TEST_F(ClientConnect, SecuredModeWithoutKeysFailsBeforeConnecting) {
  fClient->SetSecurityMode(uaSSign);
  fClient->SetSecurityPolicy(uaSPBasic256Sha256);
  try {
    fClient->SetActive(true);
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "OPC UA security: public or private key not defined");
  }
  for (const LogLine& l : Log()) EXPECT_EQ(l.text.find("connecting URL="), std::string::npos);
  EXPECT_FALSE(fClient->Active());
}

TEST_F(ClientConnect, SessionLessConnectOpensOnlyTheChannel) {
  fClient->SetSessionLess(true);
  fClient->SetKeepAlive(200);
  fClient->SetActive(true);
  ASSERT_TRUE(fClient->Active());
  EXPECT_EQ(fClient->SessionData(), nullptr);
  uaFindServers find(fClient.get());
  find.Request->EndpointUrl = fClient->Url();
  find.RunSync();
  ASSERT_TRUE(find.Response);
  ASSERT_FALSE(find.Response->Servers.empty());
  EXPECT_EQ(find.Response->Servers[0]->ApplicationUri, "urn:varo:demo-server");
  fClient->SetActive(false);
  EXPECT_FALSE(fClient->Active());
}

TEST_F(ClientConnect, SecuredConnectChecksTheServerAndAsksForTrust) {
  const test::TestIdentity& id = test::ClientIdentity(2048);
  fClient->SetPrivateKey(id.keyPem);
  fClient->SetPublicKey(id.certDer);
  fClient->SetSecurityMode(uaSSignAndEncrypt);
  fClient->SetSecurityPolicy(uaSPBasic256Sha256);
  ByteArray offered;
  fClient->OnTrustCertificate = [&](TVaroUAClient&, const ByteArray& cert) {
    offered = cert;
    return false;
  };
  // Not trusted: the connect ends quietly.
  fClient->SetActive(true);
  EXPECT_FALSE(fClient->Active());
  EXPECT_FALSE(offered.empty());

  fClient->OnTrustCertificate = [&](TVaroUAClient&, const ByteArray&) { return true; };
  fClient->UserLogin().SetUser("demo", "demo-password");
  fClient->SetActive(true);
  ASSERT_TRUE(fClient->Active());
  EXPECT_EQ(fClient->Stack().TcpChannel().SecurityMode(), uaSSignAndEncrypt);
  ASSERT_TRUE(fClient->SessionData());
  EXPECT_EQ(fClient->SessionData()->ServerCertificate, offered);
  uaRead r(fClient.get());
  r.Request->NodesToRead_Setlength(1);
  r.Request->NodesToRead[0]->NodeId = std::make_unique<uaNodeId>("Demo.ReadOnly.Int32", 1);
  r.Request->NodesToRead[0]->AttributeId = 13;
  r.Run();
  ASSERT_TRUE(r.Response);
  EXPECT_EQ(r.Response->Results[0]->Value->Get<int32_t>(), 42);
  fClient->SetActive(false);
}

// Every policy in both secured modes: channel, server signature of CreateSession, client
// signature and encrypted password.
class ClientSecured : public ClientConnect,
                      public ::testing::WithParamInterface<std::pair<TuaSecureMode, TuaSecurePolicy>> {};

TEST_P(ClientSecured, ConnectsReadsAndDisconnects) {
  const test::TestIdentity& id = test::ClientIdentity(2048);
  fClient->SetPrivateKey(id.keyPem);
  fClient->SetPublicKey(id.certDer);
  fClient->SetSecurityMode(GetParam().first);
  fClient->SetSecurityPolicy(GetParam().second);
  fClient->UserLogin().SetUser("demo", "demo-password");
  fClient->SetActive(true);
  ASSERT_TRUE(fClient->Active());
  EXPECT_EQ(fClient->Stack().TcpChannel().SecurityPolicy(), GetParam().second);
  uaRead r(fClient.get());
  r.Request->NodesToRead_Setlength(1);
  r.Request->NodesToRead[0]->NodeId = std::make_unique<uaNodeId>("Demo.ReadOnly.Int32", 1);
  r.Request->NodesToRead[0]->AttributeId = 13;
  r.Run();
  ASSERT_TRUE(r.Response);
  EXPECT_EQ(r.Response->Results[0]->Value->Get<int32_t>(), 42);
  fClient->SetActive(false);
}

INSTANTIATE_TEST_SUITE_P(EveryPolicy, ClientSecured,
                         ::testing::Values(std::pair{uaSSign, uaSPBasic128Rsa15},
                                           std::pair{uaSSignAndEncrypt, uaSPBasic128Rsa15},
                                           std::pair{uaSSign, uaSPBasic256},
                                           std::pair{uaSSignAndEncrypt, uaSPBasic256},
                                           std::pair{uaSSign, uaSPBasic256Sha256},
                                           std::pair{uaSSignAndEncrypt, uaSPBasic256Sha256},
                                           std::pair{uaSSign, uaSPAes128_Sha256_RsaOaep},
                                           std::pair{uaSSignAndEncrypt, uaSPAes128_Sha256_RsaOaep},
                                           std::pair{uaSSign, uaSPAes256_Sha256_RsaPss},
                                           std::pair{uaSSignAndEncrypt, uaSPAes256_Sha256_RsaPss}));

TEST(ClientConnectUrl, UrlWithoutTheOpcTcpSchemeIsRefusedBeforeAnyConnection) {
  for (const char* url : {"http://127.0.0.1:4840", "OPC.TCP://127.0.0.1:4840", ""}) {
    TVaroUAClient c;
    c.SetUrl(url);
    try {
      c.SetActive(true);
      FAIL() << url;
    } catch (const uaConnectionException& e) {
      EXPECT_STREQ(e.what(), "wrong endpoint URL for OPC UA server");
    }
    EXPECT_FALSE(c.Active());
  }
}

}  // namespace
}  // namespace varo::ua
