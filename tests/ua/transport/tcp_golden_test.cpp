// SPDX-License-Identifier: MPL-2.0
// The UA TCP messages of the golden vectors (tests/golden/builtin_vectors.txt, written by
// node-opcua): our writer must produce the same bytes and our reader must read them back.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/test_support.h"
#include "ua/transport/tcp_message_io.h"

namespace varo::ua {
namespace {

using varo::test::Hex;
using varo::test::ToHex;

std::map<std::string, ByteArray> LoadTcpVectors() {
  std::map<std::string, ByteArray> out;
  for (auto& c : varo::test::LoadGoldenCases("tests/golden/builtin_vectors.txt")) {
    if (c.name.starts_with("Hello_") || c.name == "Acknowledge" || c.name == "Error")
      out[c.name] = std::move(c.bytes);
  }
  return out;
}

uaMessageHello DefaultHello(const char* url) {
  uaMessageHello h;
  h.fEndpointUrl = url;
  return h;
}

TEST(UaTcpGolden, HelloMessages) {
  const auto vectors = LoadTcpVectors();
  const std::pair<const char*, const char*> cases[] = {
      {"Hello_Short", "opc.tcp://h:4840"},
      {"Hello_Long", "opc.tcp://plc-line-7.factory.example.com:48010/UA/DemoServer"},
  };
  for (const auto& [name, url] : cases) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(vectors.count(name));
    const ByteArray& theirs = vectors.at(name);
    EXPECT_EQ(ToHex(BuildHelloMessage(url)), ToHex(theirs));

    uaTcpMessageReader r;
    r.SetInputStreamData(theirs);
    const uaMsgHeader h = r.ReadMessageHeader_();
    EXPECT_EQ(h.fMessageType, uaTcpHello);
    EXPECT_EQ(h.fMessageSize, theirs.size());
    uaMessageHello hello;
    r.ReadMessageHello(hello);
    EXPECT_EQ(hello, DefaultHello(url));
    EXPECT_EQ(r.Remaining(), 0u);
  }
}

TEST(UaTcpGolden, Acknowledge) {
  const auto vectors = LoadTcpVectors();
  ASSERT_TRUE(vectors.count("Acknowledge"));
  const ByteArray& theirs = vectors.at("Acknowledge");
  // Version 0, receive 65536, send 8192, max message 16777216, max chunks 64.
  uaMessageAck ack;
  ack.fReceiveBufferSize = 65536;
  ack.fSendBufferSize = 8192;
  ack.fMaxMessageSize = 16777216;
  ack.fMaxChunkCount = 64;
  uaTcpMessageWriter w;
  w.WriteMessageAcknowledge(ack);
  EXPECT_EQ(ToHex(w.View()), ToHex(theirs));

  uaTcpMessageReader r;
  r.SetInputStreamData(theirs);
  EXPECT_EQ(r.ReadMessageHeader_().fMessageType, uaTcpAcknowledge);
  uaMessageAck back;
  r.ReadMessageAcknowledge(back);
  EXPECT_EQ(back, ack);

  uaTcpConnectionLimits limits;
  limits.UpdateMaxSize(back);
  EXPECT_EQ(limits.SendLimits(), (uaDirectionLimits{65535, 16777216, 64}));
  EXPECT_EQ(limits.ReceiveLimits(), (uaDirectionLimits{8192, 16777216, 0}));
}

TEST(UaTcpGolden, Error) {
  const auto vectors = LoadTcpVectors();
  ASSERT_TRUE(vectors.count("Error"));
  const ByteArray& theirs = vectors.at("Error");
  uaMessageError err;
  err.fError = 0x80820000;  // BadTcpEndpointUrlInvalid
  err.fReason = "bad url";
  uaTcpMessageWriter w;
  w.WriteMessageError(err);
  EXPECT_EQ(ToHex(w.View()), ToHex(theirs));

  uaTcpMessageReader r;
  r.SetInputStreamData(theirs);
  EXPECT_EQ(r.ReadMessageHeader_().fMessageType, uaTcpError);
  uaMessageError back;
  r.ReadErrorBody(back);
  EXPECT_EQ(back, err);
}

}  // namespace
}  // namespace varo::ua
