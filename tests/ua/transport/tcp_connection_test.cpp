// SPDX-License-Identifier: MPL-2.0
// The TCP connection and its receive thread against an in-process loopback peer: message
// framing, bounds on the size field, peer close and reset, Close from every thread, blocked
// sends, reconnects and destruction. Every wait is bounded.
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "tcp_loopback_test.h"
#include "ua/transport/tcp_connection.h"
#include "ua/transport/url.h"

namespace varo::ua {
namespace {

using test::Concat;
using test::FinishesWithin;
using test::Header;
using test::LoopbackServer;
using test::Message;
using test::RecordingHandler;

// The first aCount bytes of aBytes.
ByteArray Prefix(const ByteArray& aBytes, size_t aCount) {
  return ByteArray(aBytes.begin(), aBytes.begin() + aCount);
}

void Sleep(int aMs) {
  std::this_thread::sleep_for(std::chrono::milliseconds(aMs));
}

class TcpConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client.getSocket().SetHandler(&handler);
    client.Connect(server.Url(), "", 2000);
    peer = server.Accept();
  }
  void Send(const ByteArray& aBytes) { peer.Send(aBytes, 2000); }
  // No further error arrives within a short while.
  void ExpectErrorCount(size_t aCount) {
    Sleep(50);
    EXPECT_EQ(handler.Errors().size(), aCount);
  }

  LoopbackServer server;
  RecordingHandler handler;
  uaTcpClient client;
  TuaSocket peer;
};

// One receive scenario: what the peer does, the message sizes that must arrive, and a part of
// the one critical error that must follow ("" = none).
struct ReceiveCase {
  const char* name;
  std::function<void(TuaSocket&, RecordingHandler&)> peer;
  std::vector<size_t> sizes;
  const char* error;
  bool connectionEnds;  // our side closes the connection after the error
};

TEST_F(TcpConnectionTest, ReceiveScenarios) {
  const ReceiveCase cases[] = {
      {"two messages in one segment",
       [](TuaSocket& p, RecordingHandler&) {
         p.Send(Concat({Message(20, 1), Message(33, 2)}), 2000);
       },
       {20, 33},
       "",
       false},
      {"one message over many segments",
       [](TuaSocket& p, RecordingHandler& h) {
         const ByteArray m = Message(5000, 3);
         for (size_t i = 0; i + 1 < m.size(); i += 97) {
           p.Send(ByteSpan(m).subspan(i, std::min<size_t>(97, m.size() - 1 - i)), 2000);
           Sleep(1);
         }
         Sleep(50);
         EXPECT_TRUE(h.Messages().empty()) << "handed on before its last byte";
         p.Send(ByteSpan(m).last(1), 2000);
       },
       {5000},
       "",
       false},
      {"header split inside the size field",
       [](TuaSocket& p, RecordingHandler&) {
         const ByteArray m = Message(12, 4);
         p.Send(ByteSpan(m).first(6), 2000);
         Sleep(30);
         p.Send(ByteSpan(m).subspan(6), 2000);
       },
       {12},
       "",
       false},
      {"largest allowed message",
       [](TuaSocket& p, RecordingHandler&) { p.Send(Message(65535, 5), 2000); },
       {65535},
       "",
       false},
      {"header-only message",
       [](TuaSocket& p, RecordingHandler&) { p.Send(Message(8), 2000); },
       {8},
       "",
       false},
      {"size field 2^31",
       [](TuaSocket& p, RecordingHandler&) { p.Send(Header(0x80000000u), 2000); },
       {},
       "BadTcpMessageTooLarge",
       true},
      {"size field one above the receive buffer",
       [](TuaSocket& p, RecordingHandler&) { p.Send(Header(65536), 2000); },
       {},
       "BadTcpMessageTooLarge",
       true},
      {"size field below 8",
       [](TuaSocket& p, RecordingHandler&) { p.Send(Header(7), 2000); },
       {},
       "BadTcpMessageTooLarge",
       true},
      {"size field 0 after a good message",
       [](TuaSocket& p, RecordingHandler&) {
         p.Send(Concat({Message(10), Header(0)}), 2000);
       },
       {10},
       "BadTcpMessageTooLarge",
       true},
      {"truncated message then close",
       [](TuaSocket& p, RecordingHandler&) {
         p.Send(ByteSpan(Message(100)).first(60), 2000);
         Sleep(20);
         p.Shutdown();
       },
       {},
       "in the middle of a message (60 of 100 bytes received)",
       true},
      {"reset in the middle of a message",
       [](TuaSocket& p, RecordingHandler&) {
         p.Send(ByteSpan(Message(100)).first(30), 2000);
         Sleep(20);
         test::ResetConnection(p);
       },
       {},
       "reset",
       true},
      {"orderly close between messages",
       [](TuaSocket& p, RecordingHandler&) {
         p.Send(Message(16), 2000);
         Sleep(20);
         p.Shutdown();
       },
       {16},
       "Connection closed by the peer",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingHandler h;
    uaTcpClient cl;
    cl.getSocket().SetHandler(&h);
    cl.Connect(server.Url(), "", 2000);
    TuaSocket p = server.Accept();
    c.peer(p, h);
    ASSERT_TRUE(h.WaitMessages(c.sizes.size()));
    if (*c.error) {
      ASSERT_TRUE(h.WaitErrors(1));
    }
    Sleep(50);
    const auto msgs = h.Messages();
    ASSERT_EQ(msgs.size(), c.sizes.size());
    for (size_t i = 0; i < msgs.size(); ++i) {
      EXPECT_EQ(msgs[i].size(), c.sizes[i]);
      EXPECT_EQ(msgs[i],
                Message(static_cast<uint32_t>(c.sizes[i]), msgs[i].size() > 8 ? msgs[i][8] - 8 : 0x10));
    }
    const auto errs = h.Errors();
    if (*c.error) {
      ASSERT_EQ(errs.size(), 1u);
      EXPECT_NE(errs[0].find(c.error), std::string::npos) << errs[0];
      EXPECT_TRUE(cl.ReadThread().Paused());
      if (c.connectionEnds && p.IsOpen()) {
        EXPECT_TRUE(test::PeerCloses(p));
      }
    } else {
      EXPECT_TRUE(errs.empty()) << errs[0];
      EXPECT_FALSE(cl.ReadThread().Paused());
    }
  }
}

TEST_F(TcpConnectionTest, SizeLimitIsSettable) {
  client.getSocket().SetMaxReceiveSize(100000);
  Send(Message(70000));
  ASSERT_TRUE(handler.WaitMessages(1));
  client.getSocket().SetMaxReceiveSize(1000);
  Send(Message(1001));
  ASSERT_TRUE(handler.WaitErrors(1));
  EXPECT_NE(handler.Errors()[0].find("exceeds the receive buffer size of 1000 bytes"), std::string::npos);
  EXPECT_NE(handler.Errors()[0].find("($80800000)"), std::string::npos);
  client.getSocket().SetMaxReceiveSize(0);
  EXPECT_EQ(client.getSocket().MaxReceiveSize(), 65535u);
}

TEST_F(TcpConnectionTest, HandlerExceptionEndsTheConnectionOnce) {
  handler.OnMessage = [](ByteSpan) { throw std::runtime_error("Error Message: bad body"); };
  Send(Concat({Message(20), Message(20)}));
  ASSERT_TRUE(handler.WaitErrors(1));
  ExpectErrorCount(1);
  EXPECT_EQ(handler.Errors()[0], "Error Message: bad body");
  EXPECT_TRUE(client.ReadThread().Paused());
  EXPECT_TRUE(test::PeerCloses(peer));
}

TEST_F(TcpConnectionTest, PeerCloseReportsOnceAndReconnectResumes) {
  // As the stack client does: close from the critical-error callback (on the receive thread).
  handler.OnError = [&](const std::string&) { client.Close(); };
  peer.Shutdown();
  ASSERT_TRUE(handler.WaitErrors(1));
  ExpectErrorCount(1);
  EXPECT_TRUE(client.ReadThread().Paused());
  // Sending on the dead connection does not add a second report.
  client.getSocket().SendMessage(Message(20));
  client.getSocket().SendMessage(Message(20));
  ExpectErrorCount(1);

  client.Connect(server.Url());
  TuaSocket peer2 = server.Accept();
  EXPECT_FALSE(client.ReadThread().Paused());
  peer2.Send(Message(24, 9), 2000);
  ASSERT_TRUE(handler.WaitMessages(1));
  EXPECT_EQ(handler.Messages()[0], Message(24, 9));
  // A new connection may report its own failure.
  peer2.Shutdown();
  ASSERT_TRUE(handler.WaitErrors(2));
}

TEST_F(TcpConnectionTest, SendReachesThePeer) {
  const ByteArray m = Message(300, 7);
  EXPECT_TRUE(client.getSocket().SendMessage(m, 100, 50));
  EXPECT_EQ(test::ReadBytes(peer, 100), ByteArray(m.begin() + 50, m.begin() + 150));
  EXPECT_TRUE(client.getSocket().SendMessage(m));
  EXPECT_EQ(test::ReadBytes(peer, 300), m);
  EXPECT_THROW(client.getSocket().SendMessage(m, 251, 50), EuaSocketError);
  EXPECT_THROW(client.getSocket().SendMessage(m, 0, 301), EuaSocketError);
  EXPECT_TRUE(handler.Errors().empty());
}

TEST_F(TcpConnectionTest, StallThenCloseEndsPromptly) {
  Send(Prefix(Message(1000), 400));
  Sleep(100);
  EXPECT_TRUE(handler.Messages().empty());
  FinishesWithin(2000, [&] { client.Close(); });
  EXPECT_TRUE(client.ReadThread().Paused());
  EXPECT_TRUE(test::PeerCloses(peer));
  ExpectErrorCount(0);  // our own Close is no failure
}

TEST_F(TcpConnectionTest, ReadTimeoutEndsAStalledMessageOnly) {
  client.setReadTimeOut(200);
  Sleep(450);  // idle between messages is normal
  EXPECT_TRUE(handler.Errors().empty());
  Send(Prefix(Message(1000), 400));
  ASSERT_TRUE(handler.WaitErrors(1));
  EXPECT_NE(handler.Errors()[0].find("Read timed out after 200 ms with 400 bytes"), std::string::npos)
      << handler.Errors()[0];
  ExpectErrorCount(1);
}

TEST_F(TcpConnectionTest, CloseFromInsideTheHandlerDoesNotWaitForItself) {
  std::atomic<bool> closedInside{false};
  handler.OnMessage = [&](ByteSpan) {
    client.Close();
    closedInside = true;
  };
  Send(Concat({Message(20), Message(30)}));
  ASSERT_TRUE(handler.WaitMessages(1));
  Sleep(100);
  EXPECT_TRUE(closedInside);
  // Paused: the second message, already buffered, is not handed on.
  EXPECT_EQ(handler.Messages().size(), 1u);
  EXPECT_TRUE(client.ReadThread().Paused());
  EXPECT_TRUE(client.ReadThread().WaitWorkEnd(1000));
  ExpectErrorCount(0);
  FinishesWithin(2000, [&] { client.Close(); });

  handler.OnMessage = nullptr;
  client.Connect(server.Url());
  TuaSocket peer2 = server.Accept();
  peer2.Send(Message(40), 2000);
  ASSERT_TRUE(handler.WaitMessages(2));
  EXPECT_EQ(handler.Messages()[1].size(), 40u);
}

TEST_F(TcpConnectionTest, ConnectOnTheReceiveThreadRaises) {
  std::string error;
  handler.OnMessage = [&](ByteSpan) {
    try {
      client.Connect(server.Url());
    } catch (const EuaSocketError& e) {
      error = e.what();
    }
  };
  Send(Message(20));
  ASSERT_TRUE(handler.WaitMessages(1));
  EXPECT_EQ(error, "Connect must not be called on the receive thread");
}

TEST_F(TcpConnectionTest, StateClosedPausesTheReadThread) {
  auto& c = client.getSocket();
  c.MarkClosing();
  EXPECT_EQ(c.State(), uaCS_Closing);
  c.MarkClose();
  EXPECT_EQ(c.State(), uaCS_Close);
  EXPECT_FALSE(client.ReadThread().Paused());
  c.SetState(uaCS_Closed);
  EXPECT_TRUE(client.ReadThread().Paused());
  EXPECT_TRUE(client.ReadThread().WaitWorkEnd(1000));
  Send(Message(20));
  Sleep(100);
  EXPECT_TRUE(handler.Messages().empty());
}

TEST_F(TcpConnectionTest, SocketBufferSizes) {
  auto& c = client.getSocket();
  c.SetReceiveBufferSize(32768);
  c.SetSendBufferSize(16384);
  // The kernel keeps at least what was asked (Linux doubles it for its own bookkeeping).
  EXPECT_GE(c.GetReceiveBufferSize(), 32768u);
  EXPECT_GE(c.GetSendBufferSize(), 16384u);
}

TEST(TcpConnection, DestroyWithTheThreadRunning) {
  LoopbackServer server;
  {
    uaTcpClient idle;  // never connected
  }
  for (int stage = 0; stage < 4; ++stage) {
    SCOPED_TRACE(stage);
    RecordingHandler handler;
    auto client = std::make_unique<uaTcpClient>();
    client->getSocket().SetHandler(&handler);
    client->Connect(server.Url());
    TuaSocket peer = server.Accept();
    if (stage == 1) peer.Send(Prefix(Message(100), 50), 2000);
    if (stage == 2) {
      handler.OnMessage = [](ByteSpan) { Sleep(150); };
      peer.Send(Message(20), 2000);
      Sleep(30);  // the handler is running now
    }
    if (stage == 3) {
      // The critical-error callback closes the client while the client is being destroyed.
      uaTcpClient* raw = client.get();
      handler.OnError = [raw](const std::string&) {
        Sleep(100);
        raw->Close();
      };
      peer.Shutdown();
      ASSERT_TRUE(handler.WaitErrors(1));
    }
    FinishesWithin(2000, [&] { client.reset(); });
    EXPECT_EQ(handler.Errors().size(), stage == 3 ? 1u : 0u);
    EXPECT_TRUE(test::PeerCloses(peer));
  }
}

TEST(TcpConnection, SendToAPeerThatDoesNotReadFailsOnce) {
  LoopbackServer server(false, 4096);
  RecordingHandler handler;
  uaTcpClient client;
  client.getSocket().SetHandler(&handler);
  client.Connect(server.Url());
  TuaSocket peer = server.Accept();  // never reads
  // As the stack client does: close the connection from the critical-error callback, here on
  // the sending thread.
  std::atomic<bool> closed{false};
  handler.OnError = [&](const std::string&) {
    client.Close();
    closed = true;
  };
  auto& c = client.getSocket();
  c.SetSendBufferSize(4096);
  c.SetSendTimeout(300);
  const ByteArray big(8 << 20, 0x55);
  bool sent = true;
  FinishesWithin(3000, [&] { sent = c.SendMessage(big); });
  EXPECT_FALSE(sent);
  EXPECT_EQ(c.State(), uaCS_Faulted);
  ASSERT_TRUE(handler.WaitErrors(1));
  EXPECT_EQ(handler.Errors()[0], "Send timed out after 300 ms on SendMessage");
  // Sending has stopped: no new attempt, no second report, and the connection is ended.
  EXPECT_FALSE(c.SendMessage(Message(20)));
  Sleep(50);
  EXPECT_EQ(handler.Errors().size(), 1u);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(test::PeerCloses(peer));
  EXPECT_TRUE(client.ReadThread().Paused());
}

TEST(TcpConnection, SendToAClosedPeerFailsOnce) {
  LoopbackServer server;
  RecordingHandler handler;
  uaTcpClient client;
  client.getSocket().SetHandler(&handler);
  client.Connect(server.Url());
  TuaSocket peer = server.Accept();
  client.ReadThread().SetPaused(true);  // let the send path, not the reader, see the close
  ASSERT_TRUE(client.ReadThread().WaitWorkEnd(1000));
  test::ResetConnection(peer);
  Sleep(20);
  const ByteArray m(4096, 1);
  bool sent = true;
  for (int i = 0; i < 20 && sent; ++i) sent = client.getSocket().SendMessage(m);
  EXPECT_FALSE(sent);
  EXPECT_EQ(client.getSocket().State(), uaCS_Faulted);
  ASSERT_TRUE(handler.WaitErrors(1));
  EXPECT_EQ(handler.Errors()[0], "Connection closed by the peer on SendMessage");
  Sleep(50);
  EXPECT_EQ(handler.Errors().size(), 1u);
}

TEST(TcpConnection, CloseWakesABlockedSend) {
  LoopbackServer server(false, 4096);
  RecordingHandler handler;
  uaTcpClient client;
  client.getSocket().SetHandler(&handler);
  client.Connect(server.Url());
  TuaSocket peer = server.Accept();  // never reads
  client.getSocket().SetSendBufferSize(4096);
  client.getSocket().SetSendTimeout(0);  // no limit: only Close can end it
  std::atomic<bool> sent{true};
  auto sender =
      std::async(std::launch::async, [&] { sent = client.getSocket().SendMessage(ByteArray(8 << 20, 1)); });
  Sleep(100);
  EXPECT_EQ(sender.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
      << "send did not block";
  FinishesWithin(2000, [&] { client.Close(); });
  ASSERT_EQ(sender.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_FALSE(sent);
  Sleep(50);
  EXPECT_TRUE(handler.Errors().empty()) << handler.Errors()[0];  // our own Close is no failure
}

TEST(TcpConnection, ConnectErrorsRaise) {
  uint16_t closedPort = 0;
  {
    LoopbackServer gone;
    closedPort = gone.Port();
  }
  uaTcpClient client;
  try {
    client.Connect("opc.tcp://127.0.0.1:" + std::to_string(closedPort), "", 1000);
    FAIL() << "connected to a closed port";
  } catch (const EuaSocketError& e) {
    EXPECT_NE(std::string(e.what()).find("Could not connect to 127.0.0.1:" + std::to_string(closedPort)),
              std::string::npos)
        << e.what();
  }
  EXPECT_THROW(client.Connect("http://127.0.0.1:4840"), EuaUrlError);
  EXPECT_THROW(client.Connect("opc.tcp://127.0.0.1:4840", "socks4://127.0.0.1"), EuaUrlError);
  EXPECT_TRUE(client.ReadThread().Paused());
  EXPECT_EQ(client.getConnectTimeOut(), 1000);
}

TEST(TcpConnection, ConnectsOverIPv6) {
  std::unique_ptr<LoopbackServer> server;
  try {
    server = std::make_unique<LoopbackServer>(true);
  } catch (const std::exception&) {
    GTEST_SKIP() << "no IPv6 loopback on this host";
  }
  RecordingHandler handler;
  uaTcpClient client;
  client.getSocket().SetHandler(&handler);
  client.Connect("opc.tcp://[::1]:" + std::to_string(server->Port()) + "/v6");
  TuaSocket peer = server->Accept();
  EXPECT_TRUE(client.getSocket().SendMessage(Message(16)));
  EXPECT_EQ(test::ReadBytes(peer, 16), Message(16));
  peer.Send(Message(18), 2000);
  ASSERT_TRUE(handler.WaitMessages(1));
}

}  // namespace
}  // namespace varo::ua
