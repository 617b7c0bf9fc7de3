// SPDX-License-Identifier: MPL-2.0
// The stack client against a scripted fake server that misbehaves in one way per case: hostile
// size fields, truncated and reset messages, garbage, Error messages, wrong channel ids,
// sequence gaps, a server that stops answering, undersized Acknowledge buffers, oversized
// chunks and messages, unknown message types. Each case must end in one clear error at the
// right step, within a bounded time, and without a crash.
#include <gtest/gtest.h>

#include "fake_server_test.h"
#include "support/stack_session.h"

namespace varo::ua {
namespace {

using test::FakePeer;
using test::FakeServer;
using test::FinishesWithin;
using varo::test::StackSession;

// Whether aText contains aPart, shown with both on failure.
::testing::AssertionResult Contains(const std::string& aText, const std::string& aPart) {
  if (aText.find(aPart) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << aText << "\" does not contain \"" << aPart << "\"";
}

// What the stack reported, without the prefix StackSession puts in front of a transport failure.
std::string WithoutPrefix(const std::string& aText) {
  const std::string prefix = "connection failed: ";
  return aText.rfind(prefix, 0) == 0 ? aText.substr(prefix.size()) : aText;
}

constexpr uaStatusCode kBadTcpEndpointUrlInvalid = 0x80830000u;

int64_t NowMs() {
  return TuaSocket::NowMs();
}

// The step of the conversation at which a case fails.
enum Step { kConnect, kOpen, kCall, kNone };
const char* StepName(Step s) {
  static const char* const names[] = {"Connect", "Open", "Call", "none"};
  return names[s];
}

// Where the one error shows up besides the exception of the failing step.
enum Source {
  kCritical,     // a transport failure: CriticalError() holds the text, the client ends the connection
  kServerError,  // an Error message of the server: LastError() holds it
  kOnlyThrown,   // neither: the step itself failed (time-out, aborted response)
};

struct FakeCase {
  const char* name;
  FakeServer::Script script;
  Step failsAt;
  Source source;
  const char* error;  // part of the exception text
  std::function<void(StackSession&)> setup;
  std::function<void(StackSession&)> after;  // more checks once the step has failed
};

constexpr int kStepTimeoutMs = 1000;

std::vector<FakeCase> Cases() {
  auto half = [](const ByteArray& m) { return ByteArray(m.begin(), m.begin() + m.size() / 2); };
  return {
      {"SizeFieldOf2Pow31",
       [](FakePeer& p) {
         p.Handshake();
         p.ReadRequest();
         p.Send(test::Header(0x80000000u));
         p.ExpectClientCloses();
       },
       kCall, kCritical,
       "UA Error ($80800000) BadTcpMessageTooLarge: message size 2147483648 exceeds the receive buffer size "
       "of 65535 bytes",
       nullptr, nullptr},
      {"TruncatedMessageThenClose",
       [half](FakePeer& p) {
         p.Handshake();
         const uint32_t id = p.ReadRequest();
         p.Send(half(p.EncodeResponse(id, *FakePeer::Endpoints(1000))));
         p.Pause(50);
         p.Close();
       },
       kCall, kCritical, "Connection closed by the peer in the middle of a message", nullptr, nullptr},
      {"GarbageInsteadOfAcknowledge",
       [](FakePeer& p) {
         p.ExpectHello();
         const std::string http = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n";
         p.Send(ByteSpan(reinterpret_cast<const uint8_t*>(http.data()), http.size()));
         p.ExpectClientCloses();
       },
       kConnect, kCritical, "BadTcpMessageTooLarge: message size 825110831 exceeds", nullptr,
       nullptr},  // size field "/1.1"
      {"ErrorMessageInsteadOfAcknowledge",
       [](FakePeer& p) {
         p.ExpectHello();
         p.SendError(kBadTcpEndpointUrlInvalid, "no endpoint /test here");
         p.HoldUntilClosed();
       },
       kConnect, kServerError, "server error: no endpoint /test here", nullptr,
       [](StackSession& s) {
         ASSERT_TRUE(s.LastError());
         EXPECT_EQ(s.LastError()->fError, kBadTcpEndpointUrlInvalid);
         EXPECT_EQ(s.LastError()->fType, et_Critical);
       }},
      {"ErrorMessageInsteadOfAResponse",
       [](FakePeer& p) {
         p.Handshake();
         p.ReadRequest();
         p.SendError(uaBadTcpMessageTooLarge, "request too large for us");
         p.HoldUntilClosed();
       },
       kCall, kServerError, "server error: request too large for us", nullptr,
       [](StackSession& s) {
         ASSERT_TRUE(s.LastError());
         EXPECT_EQ(s.LastError()->fError, uaBadTcpMessageTooLarge);
       }},
      {"WrongSecureChannelId",
       [](FakePeer& p) {
         p.Handshake();
         const uint32_t id = p.ReadRequest();
         p.fMsgHeader.fHeader.fSecureChannelId = p.fChannelId + 1;
         p.SendResponse(id, *FakePeer::Endpoints());
         p.ExpectClientCloses();
       },
       kCall, kCritical,
       "UA Error ($80220000) The specified secure channel is no longer valid.: chunk for channel 8 on "
       "channel 7",
       nullptr, nullptr},
      {"SequenceGap",
       [](FakePeer& p) {
         p.Handshake();
         const uint32_t id = p.ReadRequest();
         p.fData.getNextSequenceNumber();  // skip one
         p.SendResponse(id, *FakePeer::Endpoints());
         p.ExpectClientCloses();
       },
       kCall, kCritical,
       "UA Error ($80880000) The sequence number is not valid.: sequence number 3 follows 1", nullptr,
       nullptr},
      {"ResetInTheMiddleOfAMessage",
       [half](FakePeer& p) {
         p.Handshake();
         const uint32_t id = p.ReadRequest();
         p.Send(half(p.EncodeResponse(id, *FakePeer::Endpoints(1000))));
         p.Pause(100);  // the client has taken the first half
         p.Reset();
       },
       kCall, kCritical, "connection failed: Connection reset by the peer", nullptr, nullptr},
      {"ServerStopsAnswering",
       [](FakePeer& p) {
         p.Handshake();
         p.ReadRequest();
         p.HoldUntilClosed();
       },
       kCall, kOnlyThrown, "no response within the time-out", nullptr, nullptr},
      {"AcknowledgeWithASmallReceiveBuffer",
       [](FakePeer& p) {
         p.ExpectHello();
         uaMessageAck ack;
         ack.fReceiveBufferSize = 4096;
         p.SendAck(ack);
         p.ExpectClientCloses();
       },
       kConnect, kCritical,
       "connection failed: Acknowledge rejected: ReceiveBufferSize 4096 is below the minimum of 8192 bytes",
       nullptr, nullptr},
      {"AcknowledgeWithASmallSendBuffer",
       [](FakePeer& p) {
         p.ExpectHello();
         uaMessageAck ack;
         ack.fSendBufferSize = 8191;
         p.SendAck(ack);
         p.ExpectClientCloses();
       },
       kConnect, kCritical, "Acknowledge rejected: SendBufferSize 8191 is below the minimum of 8192 bytes",
       nullptr, nullptr},
      {"ChunkLargerThanOurReceiveBuffer",
       [](FakePeer& p) {
         p.Handshake();
         const uint32_t id = p.ReadRequest();
         p.fData.fLimits.fHandShakeLimits.fSendBufferSize = 1 << 20;  // ignores what we announced
         p.SendResponse(id, *FakePeer::Endpoints(100000));
         p.ExpectClientCloses();
       },
       kCall, kCritical, "BadTcpMessageTooLarge: message size 100", nullptr, nullptr},
      {"ChunkLargerThanTheNegotiatedBuffer",
       // The server announced a send buffer of 8192 bytes and then sends larger chunks; the
       // size field is within what we announced, the chunk is not within the negotiation.
       [](FakePeer& p) {
         p.ExpectHello();
         uaMessageAck ack;
         ack.fSendBufferSize = 8192;
         p.SendAck(ack);
         p.SendOpenResponse(p.ReadChunked(uaTcpOpenSecureChannel).fRequestId);
         const uint32_t id = p.ReadRequest();
         p.fData.fLimits.fHandShakeLimits.fSendBufferSize = 20000;
         p.SendResponse(id, *FakePeer::Endpoints(15000));
         p.ExpectClientCloses();
       },
       kCall, kCritical,
       "UA Error ($80800000) The size of the message chunk specified in the header is too large.: chunk of "
       "15",
       nullptr, nullptr},
      {"MessageAboveOurMaxMessageSize",
       // The request fails with the limit it broke, then the connection ends: the server has
       // broken what we announced.
       [](FakePeer& p) {
         p.Handshake();
         p.fData.fLimits.fHandShakeLimits.fSendBufferSize = 8192;
         try {
           p.SendResponse(p.ReadRequest(), *FakePeer::Endpoints(50000));
         } catch (const EuaConnectionClosed&) {
           // the client may close before the last chunks are out
         }
         p.ExpectClientCloses();
       },
       kCall, kCritical, "message exceeds the limit of 20000 bytes",
       [](StackSession& s) { s.Stack().MessageLimits().fMaxMessageSize = 20000; },
       [](StackSession& s) { EXPECT_TRUE(Contains(*s.CriticalError(), "UA Error ($80b90000)")); }},
      {"UnknownMessageType",
       [](FakePeer& p) {
         p.Handshake();
         p.ReadRequest();
         p.Send(test::Message(24, 0, 0x465A5958));  // "XYZF"
         p.ExpectClientCloses();
       },
       kCall, kCritical,
       "UA Error ($807e0000) The type of the message specified in the header invalid.: unknown message type "
       "465a5958",
       nullptr, nullptr},
      {"AbortChunkForTheRequest",
       [](FakePeer& p) {
         p.Handshake();
         const uint32_t id = p.ReadRequest();
         // A final chunk whose letter is 'A' and whose body is an Error body.
         uaTcpMessageWriter body;
         uaMessageError e;
         e.fError = uaBadResponseTooLarge;
         e.fReason = "gave up";
         body.WriteMessageError(e);
         ByteArray chunk = p.EncodeResponse(id, *FakePeer::Endpoints());
         // Replace the body behind the 24 bytes of headers (12 + token id 4 + sequence 8).
         chunk.resize(24);
         chunk.insert(chunk.end(), body.View().begin() + 8, body.View().end());
         uaTcpMessageWriter::UpdateMessageValue(chunk, 0, uaTcpMessage | uaTcpChunkAbort);
         uaTcpMessageWriter::UpdateMessageValue(chunk, 4, static_cast<uint32_t>(chunk.size()));
         p.Send(chunk);
         p.SendResponse(p.ReadRequest(), *FakePeer::Endpoints());
         p.HoldUntilClosed();
       },
       kCall, kOnlyThrown, "aborted: gave up", nullptr,
       [](StackSession& s) {
         uaGetEndpointsRequest again;
         EXPECT_EQ(s.Call<uaGetEndpointsResponse>(again)->Endpoints.size(), 1u);
         EXPECT_FALSE(s.CriticalError());
       }},
  };
}

void PrintTo(const FakeCase& aCase, std::ostream* aOut) {
  *aOut << aCase.name;
}

class FakeServerTest : public ::testing::TestWithParam<FakeCase> {};

TEST_P(FakeServerTest, EndsInOneClearError) {
  const FakeCase& c = GetParam();
  FakeServer server(c.script);
  StackSession s;
  s.fTimeoutMs = kStepTimeoutMs;
  if (c.setup) c.setup(s);

  Step at = kNone;
  std::string thrown;
  int64_t stepStarted = 0;
  int64_t stepTook = 0;
  FinishesWithin(10000, [&] {
    try {
      stepStarted = NowMs();
      at = kConnect;
      s.Connect(server.Url(), {}, kStepTimeoutMs);
      stepStarted = NowMs();
      at = kOpen;
      s.Open();
      stepStarted = NowMs();
      at = kCall;
      uaGetEndpointsRequest req;
      req.EndpointUrl = server.Url();
      s.Call<uaGetEndpointsResponse>(req);
      at = kNone;
    } catch (const std::exception& e) {
      thrown = e.what();
    }
    stepTook = NowMs() - stepStarted;
  });
  EXPECT_EQ(StepName(at), StepName(c.failsAt)) << thrown;
  EXPECT_TRUE(Contains(thrown, c.error));
  // Failures are seen when they happen; only a silent server makes the step wait for its
  // time-out, and then not longer.
  if (c.source == kOnlyThrown && std::string(c.error).find("time-out") != std::string::npos) {
    EXPECT_GE(stepTook, kStepTimeoutMs - 50);
    EXPECT_LT(stepTook, kStepTimeoutMs + 500);
  } else {
    EXPECT_LT(stepTook, kStepTimeoutMs / 2) << thrown;
  }

  switch (c.source) {
    case kCritical:
      // It may follow the failed request by a moment (a response over our limits).
      ASSERT_TRUE(s.WaitForFailure(2000));
      ASSERT_TRUE(s.CriticalError());
      EXPECT_TRUE(Contains(*s.CriticalError(), WithoutPrefix(c.error)));
      EXPECT_FALSE(s.LastError());
      // The stream cannot go on after such a failure: the client ends the connection.
      EXPECT_TRUE(server.WaitDone(5000));
      break;
    case kServerError:
      EXPECT_FALSE(s.CriticalError());
      break;
    case kOnlyThrown:
      EXPECT_FALSE(s.CriticalError());
      EXPECT_FALSE(s.LastError());
      break;
  }
  if (c.after) {
    try {
      c.after(s);
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what() << "; critical error: " << s.CriticalError().value_or("none")
                    << "; server: " << server.ScriptError();
    }
  }

  FinishesWithin(5000, [&] {
    s.Close();
    server.Stop();
  });
  EXPECT_EQ(server.ScriptError(), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, FakeServerTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<FakeCase>& i) {
                           return std::string(i.param.name);
                         });

// A well-behaved fake server: the conversation itself works, so the cases above fail for the
// reason they name.
TEST(FakeServer, PlaysAWholeConversation) {
  FakeServer server([](FakePeer& p) {
    p.Handshake();
    p.SendResponse(p.ReadRequest(), *FakePeer::Endpoints(20000));
    p.HoldUntilClosed();
  });
  StackSession s;
  s.fTimeoutMs = kStepTimeoutMs;
  s.Connect(server.Url());
  auto open = s.Open();
  EXPECT_EQ(s.Stack().TcpChannel().SecureChannelId(), 7u);
  EXPECT_EQ(s.Stack().TcpChannel().TokenId(), 3u);
  uaGetEndpointsRequest req;
  auto resp = s.Call<uaGetEndpointsResponse>(req);
  ASSERT_EQ(resp->Endpoints.size(), 1u);
  EXPECT_EQ(resp->Endpoints[0]->ServerCertificate.size(), 20000u);
  s.Close();
  server.Stop();
  EXPECT_EQ(server.ScriptError(), "");
  EXPECT_FALSE(s.CriticalError());
}

}  // namespace
}  // namespace varo::ua
