// SPDX-License-Identifier: MPL-2.0
// The stack client against the node-opcua demo server over security None: Hello and
// Acknowledge, OpenSecureChannel issue and renew, GetEndpoints, messages of several chunks in
// both directions, CloseSecureChannel.
#include <gtest/gtest.h>

#include <chrono>
#include <set>

#include "support/demo_server.h"
#include "support/stack_session.h"
#include "ua/encoding/service_types.h"

namespace varo::ua {
namespace {

using test::DemoServer;
using test::StackSession;

const std::string& Url() {
  return DemoServer::Shared().Url();
}

std::unique_ptr<uaGetEndpointsResponse> GetEndpoints(StackSession& s, size_t aPaddingBytes = 0) {
  return s.GetEndpoints(Url(), aPaddingBytes);
}

TEST(StackDemo, HelloAcknowledgeNegotiatesTheLimits) {
  StackSession s;
  uaMessageHello& offer = s.Stack().MessageLimits();
  offer.fReceiveBufferSize = 16384;
  offer.fSendBufferSize = 16384;
  s.Connect(Url());
  const uaTcpConnectionLimits& l = s.Stack().TcpChannel().ConnectionData().fLimits;
  EXPECT_GE(l.fresponse.fReceiveBufferSize, 8192u);
  EXPECT_LE(l.fHandShakeLimits.fSendBufferSize, 16384u);
  EXPECT_LE(l.fHandShakeLimits.fReceiveBufferSize, 16384u);
  EXPECT_EQ(l.fHandShakeLimits.fSendBufferSize, std::min<uint32_t>(16384, l.fresponse.fReceiveBufferSize));
  s.Close();
}

TEST(StackDemo, OpenIssueThenRenewKeepsTheChannel) {
  StackSession s;
  s.Connect(Url());
  uaChannel& ch = s.Stack().TcpChannel();
  EXPECT_EQ(ch.SecureChannelId(), 0u);
  auto first = s.Open(false, 60000);
  const uint32_t channelId = ch.SecureChannelId();
  EXPECT_NE(channelId, 0u);
  EXPECT_EQ(first->SecurityToken->ChannelId, channelId);
  EXPECT_EQ(ch.TokenId(), first->SecurityToken->TokenId);
  EXPECT_GT(first->SecurityToken->RevisedLifetime, 0u);
  EXPECT_FALSE(GetEndpoints(s)->Endpoints.empty());

  auto renewed = s.Open(true, 60000);
  EXPECT_EQ(ch.SecureChannelId(), channelId);
  EXPECT_EQ(renewed->SecurityToken->ChannelId, channelId);
  EXPECT_NE(renewed->SecurityToken->TokenId, first->SecurityToken->TokenId);
  EXPECT_EQ(ch.TokenId(), renewed->SecurityToken->TokenId);
  // Service messages go on under the new token, and the old one is kept for late answers.
  EXPECT_FALSE(GetEndpoints(s)->Endpoints.empty());
  EXPECT_EQ(ch.SymmDelegate().fChannelSecurity.previousToken->ftokenId, first->SecurityToken->TokenId);
  s.Close();
}

TEST(StackDemo, GetEndpointsListsEveryPolicyOfTheServer) {
  StackSession s;
  s.Connect(Url());
  s.Open();
  auto resp = GetEndpoints(s);
  std::set<std::string> policies;
  for (const auto& e : resp->Endpoints) {
    policies.insert(e->SecurityPolicyUri);
    EXPECT_EQ(e->EndpointUrl.rfind("opc.tcp://", 0), 0u);
  }
  for (const char* name : {"None", "Basic128Rsa15", "Basic256", "Basic256Sha256", "Aes128_Sha256_RsaOaep",
                           "Aes256_Sha256_RsaPss"})
    EXPECT_TRUE(policies.count(std::string("http://opcfoundation.org/UA/SecurityPolicy#") + name)) << name;
  s.Close();
}

TEST(StackDemo, MessagesOfSeveralChunksInBothDirections) {
  StackSession s;
  // The smallest buffers a peer must accept: the endpoint list (server certificates for every
  // secured endpoint) comes back in several chunks, and the padded request goes out in several.
  s.Stack().MessageLimits().fReceiveBufferSize = 8192;
  s.Stack().MessageLimits().fSendBufferSize = 8192;
  size_t chunksSent = 0;
  s.Connect(Url());
  s.Open();
  const uint32_t before = s.Stack().TcpChannel().ConnectionData().fSequenceHeader.fSequenceNumber;
  auto resp = GetEndpoints(s, 30000);
  chunksSent = s.Stack().TcpChannel().ConnectionData().fSequenceHeader.fSequenceNumber - before;
  EXPECT_GE(chunksSent, 4u);
  size_t certificateBytes = 0;
  for (const auto& e : resp->Endpoints) certificateBytes += e->ServerCertificate.size();
  EXPECT_GT(certificateBytes, 8192u) << "the response should not have fitted one chunk";
  s.Close();
}

TEST(StackDemo, CloseSecureChannelEndsTheConversation) {
  StackSession s;
  s.Connect(Url());
  s.Open();
  s.Close();
  EXPECT_FALSE(s.CriticalError().has_value() && s.CriticalError()->find("Stream") != std::string::npos);
  // A new connection over the same stack starts from scratch.
  s.Connect(Url());
  EXPECT_EQ(s.Stack().TcpChannel().SecureChannelId(), 0u);
  s.Open();
  EXPECT_FALSE(GetEndpoints(s)->Endpoints.empty());
  s.Close();
}

}  // namespace
}  // namespace varo::ua
