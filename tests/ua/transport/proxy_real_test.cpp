// SPDX-License-Identifier: MPL-2.0
// The UA TCP connection through real proxies started by the tests: tinyproxy for HTTP CONNECT
// (with and without Basic authentication) and dante's danted for SOCKS4, each on a free
// loopback port with its configuration in a temporary directory, tunnelling to an in-process
// echo server. A missing proxy binary fails the test unless VARO_NO_PROXY_TESTS is set.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "support/demo_server.h"
#include "support/stack_session.h"
#include "support/test_files.h"
#include "support/test_support.h"
#include "tcp_loopback_test.h"
#include "ua/transport/tcp_connection.h"

extern char** environ;

namespace varo::ua {
namespace {

namespace fs = std::filesystem;
using test::LoopbackServer;
using test::Message;
using test::RecordingHandler;
using varo::test::TempDir;

std::optional<std::string> FindBinary(const std::string& aName) {
  for (const char* dir :
       {"/usr/sbin/", "/usr/bin/", "/usr/local/sbin/", "/usr/local/bin/", "/sbin/", "/bin/"}) {
    const std::string path = dir + aName;
    if (::access(path.c_str(), X_OK) == 0) return path;
  }
  return std::nullopt;
}

// Skips only when asked to; otherwise a missing proxy is a failure with a hint.
#define REQUIRE_BINARY(var, name)                                                  \
  const auto var = FindBinary(name);                                               \
  if (!var) {                                                                      \
    if (std::getenv("VARO_NO_PROXY_TESTS")) GTEST_SKIP() << name " not installed"; \
    FAIL() << name                                                                 \
        " not found: install the proxy packages with scripts/deps (tinyproxy, "    \
        "dante-server) or set VARO_NO_PROXY_TESTS to skip the proxy tests";        \
  }

uint16_t FreePort() {
  LoopbackServer probe;
  return probe.Port();
}

// A child process in its own process group, its output in a log file; stopped and reaped
// on destruction.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& aArgs, const fs::path& aLog) : fLog(aLog) {
    std::vector<char*> argv;
    for (const auto& a : aArgs) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, aLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    const int rc = posix_spawn(&fPid, argv[0], &fa, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("could not start " + aArgs[0]);
  }
  ~ChildProcess() {
    if (fPid <= 0) return;
    ::kill(-fPid, SIGTERM);
    for (int i = 0; i < 100; ++i) {
      if (::waitpid(fPid, nullptr, WNOHANG) == fPid) {
        ::kill(-fPid, SIGKILL);  // children left in the group
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-fPid, SIGKILL);
    ::waitpid(fPid, nullptr, 0);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // False once the process has ended (it is reaped, and what is left of its group killed).
  bool Running() {
    if (fPid <= 0) return false;
    if (::waitpid(fPid, nullptr, WNOHANG) != fPid) return true;
    ::kill(-fPid, SIGKILL);
    fPid = 0;
    return false;
  }
  std::string Log() const {
    try {
      return varo::test::ReadTextFile(fLog.string());
    } catch (const std::exception&) {
      return "(no log)";
    }
  }

 private:
  pid_t fPid = 0;
  fs::path fLog;
};

// Waits until something accepts connections on the port; false when the process ended or the
// time ran out.
bool WaitListening(ChildProcess& aProcess, uint16_t aPort, int aTimeoutMs = 3000) {
  const int64_t deadline = TuaSocket::NowMs() + aTimeoutMs;
  while (TuaSocket::NowMs() < deadline) {
    if (!aProcess.Running()) return false;
    try {
      TuaSocket s;
      s.Connect("127.0.0.1", aPort, 200);
      return true;
    } catch (const EuaSocketError&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  return false;
}

// Echoes every byte of one connection at a time until stopped.
class EchoServer {
 public:
  EchoServer() : fThread([this] { Run(); }) {}
  ~EchoServer() {
    fStop = true;
    fThread.join();
  }
  uint16_t Port() const { return fServer.Port(); }
  std::string Url() const { return fServer.Url(); }

 private:
  void Run() {
    while (!fStop) {
      TuaSocket peer;
      try {
        peer = fServer.Accept(100);
      } catch (const std::exception&) {
        continue;
      }
      uint8_t buf[8192];
      while (!fStop) {
        size_t got = 0;
        try {
          const auto r = peer.Receive(buf, sizeof buf, 100, got);
          if (r == TuaSocket::RecvResult::Closed) break;
          if (got) peer.Send(ByteSpan(buf, got), 1000);
        } catch (const std::exception&) {
          break;
        }
      }
    }
  }

  LoopbackServer fServer;
  std::atomic<bool> fStop{false};
  std::thread fThread;
};

// Sends two messages through the connection and expects them back from the echo server.
void ExpectEcho(uaTcpClient& aClient, RecordingHandler& aHandler) {
  const ByteArray small = Message(100, 1);
  const ByteArray large = Message(40000, 2);
  EXPECT_TRUE(aClient.getSocket().SendMessage(small));
  EXPECT_TRUE(aClient.getSocket().SendMessage(large));
  ASSERT_TRUE(aHandler.WaitMessages(2));
  const auto msgs = aHandler.Messages();
  EXPECT_EQ(msgs[0], small);
  EXPECT_EQ(msgs[1], large);
  EXPECT_TRUE(aHandler.Errors().empty());
}

class TinyProxy {
 public:
  TinyProxy(const std::string& aBinary, const std::string& aExtraConfig) : fPort(FreePort()) {
    std::ofstream(fDir.Path("tinyproxy.conf")) << "Port " << fPort << "\n"
                                               << "Listen 127.0.0.1\n"
                                               << "Timeout 10\n"
                                               << "MaxClients 20\n"
                                               << "Allow 127.0.0.1\n"
                                               << "LogLevel Info\n"
                                               << aExtraConfig;
    fProcess.emplace(std::vector<std::string>{aBinary, "-d", "-c", fDir.Path("tinyproxy.conf").string()},
                     fDir.Path("tinyproxy.log"));
  }
  bool Ready() { return WaitListening(*fProcess, fPort); }
  std::string Log() const { return fProcess->Log(); }
  std::string Url(const std::string& aUserInfo = "") const {
    return "http://" + aUserInfo + "127.0.0.1:" + std::to_string(fPort);
  }

 private:
  TempDir fDir{"varo-proxy"};
  uint16_t fPort;
  std::optional<ChildProcess> fProcess;
};

class Danted {
 public:
  Danted(const std::string& aBinary, const std::string& aRules) : fPort(FreePort()) {
    std::ofstream conf(fDir.Path("danted.conf"));
    conf << "logoutput: stderr\n"
         << "internal: 127.0.0.1 port = " << fPort << "\n"
         << "external: 127.0.0.1\n"
         << "socksmethod: none\n"
         << "clientmethod: none\n";
    if (::geteuid() == 0) conf << "user.privileged: root\nuser.unprivileged: nobody\n";
    conf << "client pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n}\n"
         << aRules << "socks pass {\n  from: 127.0.0.0/8 to: 0.0.0.0/0\n  protocol: tcp\n}\n";
    conf.close();
    fProcess.emplace(std::vector<std::string>{aBinary, "-f", fDir.Path("danted.conf").string(), "-N", "1"},
                     fDir.Path("danted.log"));
  }
  bool Ready() { return WaitListening(*fProcess, fPort); }
  std::string Log() const { return fProcess->Log(); }
  std::string Url() const { return "socks4://127.0.0.1:" + std::to_string(fPort); }

 private:
  TempDir fDir{"varo-proxy"};
  uint16_t fPort;
  std::optional<ChildProcess> fProcess;
};

// The proxy error of a Connect, or "" when it connected.
std::string ConnectError(uaTcpClient& aClient, const std::string& aUrl, const std::string& aProxy) {
  try {
    aClient.Connect(aUrl, aProxy, 2000);
  } catch (const EuaProxyError& e) {
    return e.what();
  }
  return "";
}

TEST(ProxyTinyproxy, HttpConnectTunnelCarriesBytesBothWays) {
  REQUIRE_BINARY(bin, "tinyproxy");
  EchoServer echo;
  TinyProxy proxy(*bin, "");
  ASSERT_TRUE(proxy.Ready()) << proxy.Log();
  RecordingHandler handler;
  uaTcpClient client;
  client.getSocket().SetHandler(&handler);
  client.Connect(echo.Url(), proxy.Url(), 2000);
  ExpectEcho(client, handler);
}

TEST(ProxyTinyproxy, BasicAuthenticationOn407) {
  REQUIRE_BINARY(bin, "tinyproxy");
  EchoServer echo;
  TinyProxy proxy(*bin, "BasicAuth user s3cret\n");
  ASSERT_TRUE(proxy.Ready()) << proxy.Log();
  RecordingHandler handler;
  uaTcpClient client;
  client.getSocket().SetHandler(&handler);

  EXPECT_EQ(ConnectError(client, echo.Url(), proxy.Url()), "HTTP/1.0 407 Proxy Authentication Required");
  // Wrong credentials: the retry is refused too (tinyproxy answers 401 there); the error is the
  // status line of that answer.
  const std::string wrong = ConnectError(client, echo.Url(), proxy.Url("user:wrong@"));
  EXPECT_EQ(wrong.rfind("HTTP/1.0 40", 0), 0u) << wrong;
  EXPECT_EQ(wrong.find('\r'), std::string::npos) << wrong;
  EXPECT_TRUE(client.ReadThread().Paused());

  client.Connect(echo.Url(), proxy.Url("user:s3cret@"), 2000);
  ExpectEcho(client, handler);
}

TEST(ProxyTinyproxy, RefusalGivesTheStatusLine) {
  REQUIRE_BINARY(bin, "tinyproxy");
  EchoServer echo;
  // Only port 1 may be tunnelled to: the echo server's port is refused with 403.
  TinyProxy proxy(*bin, "ConnectPort 1\n");
  ASSERT_TRUE(proxy.Ready()) << proxy.Log();
  RecordingHandler handler;
  uaTcpClient client;
  client.getSocket().SetHandler(&handler);
  const std::string error = ConnectError(client, echo.Url(), proxy.Url());
  EXPECT_EQ(error.rfind("HTTP/1.", 0), 0u) << error;
  EXPECT_NE(error.find(" 403 "), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  EXPECT_TRUE(handler.Errors().empty());  // raised to the caller only
  EXPECT_TRUE(client.ReadThread().Paused());
}

TEST(ProxyDanted, Socks4TunnelCarriesBytesBothWays) {
  REQUIRE_BINARY(bin, "danted");
  EchoServer echo;
  Danted proxy(*bin, "");
  ASSERT_TRUE(proxy.Ready()) << proxy.Log();
  RecordingHandler handler;
  uaTcpClient client;
  client.getSocket().SetHandler(&handler);
  client.Connect(echo.Url(), proxy.Url(), 2000);
  ExpectEcho(client, handler);
}

TEST(ProxyDanted, Socks4RefusalRaises) {
  REQUIRE_BINARY(bin, "danted");
  EchoServer echo;
  Danted proxy(*bin, "socks block {\n  from: 0.0.0.0/0 to: 127.0.0.1/32 port = " +
                         std::to_string(echo.Port()) + "\n}\n");
  ASSERT_TRUE(proxy.Ready()) << proxy.Log();
  RecordingHandler handler;
  uaTcpClient client;
  client.getSocket().SetHandler(&handler);
  EXPECT_EQ(ConnectError(client, echo.Url(), proxy.Url()),
            "SOCKS4 proxy refused the connection to 127.0.0.1:" + std::to_string(echo.Port()) +
                " (91: request rejected or failed)");
  EXPECT_TRUE(handler.Errors().empty());
  EXPECT_TRUE(client.ReadThread().Paused());
}

// A secure channel to the node-opcua demo server through each proxy: Hello, OpenSecureChannel
// and GetEndpoints travel the tunnel.
void ExpectEndpointsThrough(const std::string& aProxy) {
  varo::test::StackSession s;
  const std::string url = varo::test::DemoServer::Shared().Url();
  s.Connect(url, aProxy);
  s.Open();
  auto resp = s.GetEndpoints(url);
  EXPECT_FALSE(resp->Endpoints.empty());
  s.Close();
}

TEST(ProxyTinyproxy, OpcUaChannelToTheDemoServer) {
  REQUIRE_BINARY(bin, "tinyproxy");
  TinyProxy proxy(*bin, "");
  ASSERT_TRUE(proxy.Ready()) << proxy.Log();
  ExpectEndpointsThrough(proxy.Url());
}

TEST(ProxyDanted, OpcUaChannelToTheDemoServer) {
  REQUIRE_BINARY(bin, "danted");
  Danted proxy(*bin, "");
  ASSERT_TRUE(proxy.Ready()) << proxy.Log();
  ExpectEndpointsThrough(proxy.Url());
}

}  // namespace
}  // namespace varo::ua
