// SPDX-License-Identifier: MPL-2.0
// Hello / Acknowledge / Error against the node-opcua demo server, over a plain socket.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/demo_server.h"
#include "support/test_support.h"
#include "ua/encoding/status_codes.h"
#include "ua/transport/tcp_message_io.h"
#include "ua/transport/tcp_messages.h"

namespace varo::ua {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kIoTimeout{5000};
constexpr uint32_t kBadCommunicationError = 0x80050000;
constexpr uint32_t kBadConnectionRejected = 0x80AC0000;

// A blocking-free TCP client socket for the tests: every operation waits with poll() and
// raises std::runtime_error on timeout, error or early close.
class TestSocket {
 public:
  TestSocket(uint16_t port, milliseconds timeout) {
    fFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fFd < 0) fail("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
      if (errno != EINPROGRESS) fail("connect");
      if (!waitFor(POLLOUT, timeout)) throw std::runtime_error("connect timed out");
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fFd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) fail("getsockopt");
      if (err != 0) {
        errno = err;
        fail("connect");
      }
    }
    int one = 1;
    ::setsockopt(fFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~TestSocket() { ::close(fFd); }
  TestSocket(const TestSocket&) = delete;
  TestSocket& operator=(const TestSocket&) = delete;

  void Send(ByteSpan data, milliseconds timeout = kIoTimeout) {
    const auto deadline = Clock::now() + timeout;
    size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::send(fFd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (!waitFor(POLLOUT, left(deadline))) throw std::runtime_error("send timed out");
      } else {
        fail("send");
      }
    }
  }

  // Exactly n bytes.
  ByteArray Receive(size_t n, milliseconds timeout = kIoTimeout) {
    const auto deadline = Clock::now() + timeout;
    ByteArray out(n);
    size_t done = 0;
    while (done < n) {
      const ssize_t r = ::recv(fFd, out.data() + done, n - done, 0);
      if (r > 0) {
        done += static_cast<size_t>(r);
      } else if (r == 0) {
        throw std::runtime_error("connection closed after " + std::to_string(done) + " of " +
                                 std::to_string(n) + " bytes");
      } else if (errno == EAGAIN || errno == EINTR) {
        if (!waitFor(POLLIN, left(deadline))) throw std::runtime_error("receive timed out");
      } else {
        fail("recv");
      }
    }
    return out;
  }

  // One whole message: the 8-byte header, then as many bytes as it announces (at most
  // maxSize, so a hostile size cannot make us allocate).
  ByteArray ReceiveMessage(uint32_t maxSize = 65536, milliseconds timeout = kIoTimeout) {
    ByteArray msg = Receive(uaTcpHeaderSize, timeout);
    const uint32_t size = static_cast<uint32_t>(msg[4]) | static_cast<uint32_t>(msg[5]) << 8 |
                          static_cast<uint32_t>(msg[6]) << 16 | static_cast<uint32_t>(msg[7]) << 24;
    if (size < uaTcpHeaderSize || size > maxSize) {
      throw std::runtime_error("message announces " + std::to_string(size) + " bytes");
    }
    ByteArray body = Receive(size - uaTcpHeaderSize, timeout);
    msg.insert(msg.end(), body.begin(), body.end());
    return msg;
  }

  // True when the peer closes the connection within the timeout; bytes before the close are
  // discarded.
  bool WaitForClose(milliseconds timeout = kIoTimeout) {
    const auto deadline = Clock::now() + timeout;
    uint8_t sink[512];
    for (;;) {
      const ssize_t r = ::recv(fFd, sink, sizeof sink, 0);
      if (r == 0) return true;
      if (r < 0 && errno == ECONNRESET) return true;
      if (r < 0 && errno != EAGAIN && errno != EINTR) fail("recv");
      if (r < 0 && !waitFor(POLLIN, left(deadline))) return false;
    }
  }

 private:
  [[noreturn]] static void fail(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
  }
  static milliseconds left(Clock::time_point deadline) {
    const auto l = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    return l.count() > 0 ? l : milliseconds(0);
  }
  bool waitFor(short events, milliseconds timeout) {
    pollfd pfd{fFd, events, 0};
    for (;;) {
      const int r = ::poll(&pfd, 1, static_cast<int>(timeout.count()));
      if (r > 0) return true;
      if (r == 0) return false;
      if (errno != EINTR) fail("poll");
    }
  }

  int fFd = -1;
};

// One server for the tests of this file, without load variables so that it starts quickly.
test::DemoServer& HelloServer() {
  static test::DemoServer server([] {
    test::DemoServerOptions o;
    o.loadCount = 0;
    return o;
  }());
  return server;
}

uaMessageHello MakeHello(const std::string& url, uint32_t receive, uint32_t send, uint32_t maxMessage,
                         uint32_t maxChunks) {
  uaMessageHello hello;
  hello.fReceiveBufferSize = receive;
  hello.fSendBufferSize = send;
  hello.fMaxMessageSize = maxMessage;
  hello.fMaxChunkCount = maxChunks;
  hello.fEndpointUrl = url;
  return hello;
}

// Sends the Hello and reads the Acknowledge with our reader.
uaMessageAck ExchangeHello(TestSocket& socket, const uaMessageHello& hello) {
  uaTcpMessageWriter writer;
  writer.WriteMessageHello(hello);
  socket.Send(writer.View());

  uaTcpMessageReader reader;
  reader.SetInputStreamData(socket.ReceiveMessage());
  const uaMsgHeader header = reader.ReadMessageHeader_();
  if (header.fMessageType == uaTcpError) {
    uaMessageError error;
    reader.ReadErrorBody(error);
    throw std::runtime_error("server answered the Hello with Error " + Statuscodes::ToString(error.fError) +
                             ": " + error.fReason);
  }
  EXPECT_EQ(header.fMessageType, uaTcpAcknowledge);
  EXPECT_EQ(header.fMessageSize, 28u);
  uaMessageAck ack;
  reader.ReadMessageAcknowledge(ack);
  EXPECT_EQ(reader.Remaining(), 0u);
  return ack;
}

struct HelloCase {
  const char* name;
  uint32_t receive, send, maxMessage, maxChunks;
};

TEST(DemoHello, AcknowledgeIsNegotiatedWithOurLimits) {
  VARO_REQUIRE_DEMO_SERVER(HelloServer());
  const HelloCase cases[] = {
      {"client defaults", 0xFFFF, 0xFFFF, 0x1000000, 0},
      {"smallest buffers", 8192, 8192, 0, 0},
      {"buffers above the server's maximum", 1048576, 1048576, 0, 0},
      {"asymmetric buffers with limits", 16384, 65535, 1048576, 64},
  };
  for (const HelloCase& c : cases) {
    SCOPED_TRACE(c.name);
    const uaMessageHello hello = MakeHello(HelloServer().Url(), c.receive, c.send, c.maxMessage, c.maxChunks);
    TestSocket socket(HelloServer().Port(), kIoTimeout);
    const uaMessageAck ack = ExchangeHello(socket, hello);

    // Buffer sizes never below the minimum. The server's ReceiveBufferSize does not exceed
    // our SendBufferSize; its SendBufferSize, though, follows our SendBufferSize rather than
    // our ReceiveBufferSize (16384 offered, 65535 acknowledged), so the negotiation below must
    // bound each direction by our own offer.
    EXPECT_GE(ack.fReceiveBufferSize, uaTcpMinBufferSize);
    EXPECT_LE(ack.fReceiveBufferSize, hello.fSendBufferSize);
    EXPECT_GE(ack.fSendBufferSize, uaTcpMinBufferSize);

    uaTcpConnectionLimits limits;
    limits.UpdateMaxSize(hello, ack);
    EXPECT_EQ(limits.fresponse, ack);
    const uaDirectionLimits send = limits.SendLimits();
    EXPECT_EQ(send.BufferSize, std::min(hello.fSendBufferSize, ack.fReceiveBufferSize));
    EXPECT_EQ(send.MaxMessageSize, MinLimit(hello.fMaxMessageSize, ack.fMaxMessageSize));
    EXPECT_EQ(send.MaxChunkCount, MinLimit(hello.fMaxChunkCount, ack.fMaxChunkCount));
    const uaDirectionLimits receive = limits.ReceiveLimits();
    EXPECT_EQ(receive.BufferSize, std::min(hello.fReceiveBufferSize, ack.fSendBufferSize));
    EXPECT_LE(receive.BufferSize, hello.fReceiveBufferSize);
    EXPECT_LE(send.BufferSize, hello.fSendBufferSize);
    EXPECT_EQ(receive.MaxMessageSize, hello.fMaxMessageSize);
    EXPECT_EQ(receive.MaxChunkCount, hello.fMaxChunkCount);
    // The server keeps at most 512 KiB buffers: a larger offer is lowered to its size.
    if (c.receive > 524288) {
      EXPECT_LT(receive.BufferSize, c.receive);
    }
  }
}

TEST(DemoHello, BuiltHelloForTheEndpointIsAcknowledged) {
  VARO_REQUIRE_DEMO_SERVER(HelloServer());
  TestSocket socket(HelloServer().Port(), kIoTimeout);
  socket.Send(BuildHelloMessage(HelloServer().Url()));
  uaTcpMessageReader reader;
  reader.SetInputStreamData(socket.ReceiveMessage());
  EXPECT_EQ(reader.ReadMessageHeader_().fMessageType, uaTcpAcknowledge);
  uaMessageAck ack;
  reader.ReadMessageAcknowledge(ack);
  EXPECT_EQ(ack.fProtocolVersion, 0u);
}

ByteArray WithHeader(uint32_t type, uint32_t size, ByteSpan body) {
  ByteArray out(8);
  uaTcpMessageWriter::UpdateMessageValue(out, 0, type);
  uaTcpMessageWriter::UpdateMessageValue(out, 4, size);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

struct RejectCase {
  const char* name;
  ByteArray bytes;
  uint32_t status;
};

TEST(DemoHello, BadFirstMessagesGetAnErrorAndAClose) {
  VARO_REQUIRE_DEMO_SERVER(HelloServer());
  const std::string url = HelloServer().Url();
  auto hello = [&](uint32_t receive, uint32_t send) {
    uaTcpMessageWriter writer;
    writer.WriteMessageHello(MakeHello(url, receive, send, 0, 0));
    return ByteArray(writer.View().begin(), writer.View().end());
  };
  const ByteArray zeros(8, 0);
  const std::vector<RejectCase> cases = {
      {"receive buffer below 8192", hello(1024, 65535), kBadConnectionRejected},
      {"send buffer below 8192", hello(65535, 8191), kBadConnectionRejected},
      {"Hello body cut short", WithHeader(uaTcpHello, 16, zeros), kBadConnectionRejected},
      {"a MSG chunk instead of a Hello", WithHeader(uaTcpMessage | uaTcpChunkFinal, 16, zeros),
       kBadCommunicationError},
      {"garbage type word", WithHeader(0x21215A58 /* "XZ!!" */, 16, zeros), kBadCommunicationError},
  };
  for (const RejectCase& c : cases) {
    SCOPED_TRACE(c.name);
    TestSocket socket(HelloServer().Port(), kIoTimeout);
    socket.Send(c.bytes);

    uaTcpMessageReader reader;
    reader.SetInputStreamData(socket.ReceiveMessage());
    const uaMsgHeader header = reader.ReadMessageHeader_();
    ASSERT_EQ(header.fMessageType, uaTcpError) << test::ToHex(reader.Buffer().view());
    uaMessageError error;
    reader.ReadErrorBody(error);
    EXPECT_EQ(reader.Remaining(), 0u);
    EXPECT_EQ(error.fError, c.status) << Statuscodes::ToString(error.fError);
    EXPECT_FALSE(error.fReason.empty());
    EXPECT_TRUE(error.isCritical());
    EXPECT_TRUE(socket.WaitForClose());
  }
}

// The fixture itself: Kill() ends and reaps the server, a restart gives a working one.
TEST(DemoServerFixture, KillAndRestart) {
  test::DemoServerOptions options;
  options.loadCount = 0;
  test::DemoServer server(options);
  VARO_REQUIRE_DEMO_SERVER(server);
  const pid_t first = server.Pid();
  ASSERT_GT(first, 0);
  EXPECT_EQ(server.Url(), "opc.tcp://127.0.0.1:" + std::to_string(server.Port()));

  server.Kill();
  EXPECT_FALSE(server.Running());
  EXPECT_EQ(server.Pid(), 0);
  errno = 0;
  EXPECT_EQ(::kill(first, 0), -1);  // reaped, not a zombie
  EXPECT_EQ(errno, ESRCH);

  server.Restart();
  ASSERT_TRUE(server.Running());
  EXPECT_NE(server.Pid(), first);
  TestSocket socket(server.Port(), kIoTimeout);
  const uaMessageAck ack = ExchangeHello(socket, MakeHello(server.Url(), 0xFFFF, 0xFFFF, 0x1000000, 0));
  EXPECT_GE(ack.fSendBufferSize, uaTcpMinBufferSize);

  server.Stop();
  EXPECT_FALSE(server.Running());
}

TEST(DemoServerFixture, FailedStartReportsTheServersError) {
  if (test::DemoServerDisabled()) GTEST_SKIP() << "VARO_NO_DEMO_SERVER is set";
  test::DemoServerOptions options;
  options.loadCount = 2000000;  // refused by the server's argument check
  test::DemoServer server(options);
  try {
    server.Start();
    FAIL() << "the server started with a refused option";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("--load-count must be at most"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(server.Running());
}

}  // namespace
}  // namespace varo::ua
