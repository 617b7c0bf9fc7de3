// SPDX-License-Identifier: MPL-2.0
// The background threads of TVaroUAClient: keep-alive status reads, token renewal, a server
// that dies or never answers, and the teardown after a lost connection.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/demo_server.h"
#include "ua/client/ua_client.h"
#include "ua/encoding/status_codes.h"

namespace varo::ua {
namespace {

using test::DemoServer;
using test::DemoServerOptions;
using namespace std::chrono_literals;

// Records OnServerShutdown calls.
struct ShutdownLog {
  std::mutex lock;
  std::condition_variable cond;
  std::vector<std::string> reasons;
  void Attach(TVaroUAClient& c) {
    c.OnServerShutdown = [this](TVaroUAClient&, const std::string& r) {
      std::lock_guard l(lock);
      reasons.push_back(r);
      cond.notify_all();
    };
  }
  bool Wait(std::chrono::milliseconds t = 15s) {
    std::unique_lock l(lock);
    return cond.wait_for(l, t, [&] { return !reasons.empty(); });
  }
  size_t Count() {
    std::lock_guard l(lock);
    return reasons.size();
  }
};

template <class Pred>
bool WaitUntil(Pred p, std::chrono::milliseconds t = 15s) {
  const auto end = std::chrono::steady_clock::now() + t;
  while (!p()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

void ReadServerState(TVaroUAClient& c) {
  uaRead r(&c);
  r.Request->NodesToRead_Setlength(1);
  r.Request->NodesToRead[0]->NodeId = std::make_unique<uaNodeId>(2259u, 0);
  r.Request->NodesToRead[0]->AttributeId = 13;
  r.Run();
  ASSERT_TRUE(r.Response);
  ASSERT_EQ(r.Response->Results.size(), 1u);
  EXPECT_EQ(r.Response->Results[0]->StatusCode, 0u);
}

TEST(ClientThreads, KeepAliveReadsTheServerStatus) {
  VARO_REQUIRE_DEMO_SERVER(DemoServer::Shared());
  TVaroUAClient c;
  c.SetUrl(DemoServer::Shared().Url());
  std::mutex m;
  std::vector<std::pair<uaStatusCode, int32_t>> reads;
  c.OnServerStatusRead = [&](TVaroUAClient&, uaStatusCode code, const uaServerStatusDataType* s, bool&) {
    std::lock_guard l(m);
    reads.emplace_back(code, s && s->State ? s->State->Value : -1);
  };
  c.SetKeepAlive(200);
  c.SetActive(true);
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard l(m);
    return reads.size() >= 3;
  }));
  {
    std::lock_guard l(m);
    for (auto [code, state] : reads) {
      EXPECT_EQ(code, 0u);
      EXPECT_EQ(state, 0);  // Running
    }
  }
  // KeepAlive 0 stops the status thread.
  c.SetKeepAlive(0);
  size_t n;
  {
    std::lock_guard l(m);
    n = reads.size();
  }
  std::this_thread::sleep_for(600ms);
  {
    std::lock_guard l(m);
    EXPECT_EQ(reads.size(), n);
  }
  uaServerStatusDataType status;
  EXPECT_EQ(c.ReadServerStatus(status, 0), 0u);
  ASSERT_TRUE(status.BuildInfo);
  EXPECT_FALSE(status.BuildInfo->ProductUri.empty());
}

TEST(ClientThreads, IdleSessionIsKeptAliveWithinItsTimeout) {
  VARO_REQUIRE_DEMO_SERVER(DemoServer::Shared());
  TVaroUAClient c;
  c.SetUrl(DemoServer::Shared().Url());
  c.SetSessionTimeout(3000);  // the demo server grants down to 100 ms
  ShutdownLog log;
  log.Attach(c);
  c.SetActive(true);
  auto session = c.SessionData();
  ASSERT_TRUE(session);
  EXPECT_LE(session->RevisedSessionTimeout, 3000.0);
  // No request of ours (and no status thread) for more than twice the session timeout: the
  // server would close the session unless the client keeps it alive.
  std::this_thread::sleep_for(7500ms);
  ReadServerState(c);
  EXPECT_EQ(log.Count(), 0u);
  EXPECT_TRUE(c.Active());
  c.SetActive(false);
}

TEST(ClientThreads, StatusHandlerThatWantsAShutdownGetsAskedAgainAndTheClientGoes) {
  VARO_REQUIRE_DEMO_SERVER(DemoServer::Shared());
  TVaroUAClient c;
  c.SetUrl(DemoServer::Shared().Url());
  ShutdownLog shut;
  shut.Attach(c);
  std::mutex m;
  std::vector<std::pair<uaStatusCode, bool>> calls;  // (code, had status)
  c.OnServerStatusRead = [&](TVaroUAClient&, uaStatusCode code, const uaServerStatusDataType* s, bool& sd) {
    std::lock_guard l(m);
    calls.emplace_back(code, s != nullptr);
    sd = true;
  };
  c.SetKeepAlive(200);
  c.SetActive(true);
  ASSERT_TRUE(shut.Wait());
  EXPECT_TRUE(WaitUntil([&] { return !c.Active(); }));
  EXPECT_EQ(shut.reasons[0], Statuscodes::ToString(uaBadShutdown));
  std::lock_guard l(m);
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0], std::make_pair(0u, true));
  EXPECT_EQ(calls[1], std::make_pair(uaBadServerHalted, false));
  EXPECT_EQ(shut.Count(), 1u);
}

TEST(ClientThreads, TokenIsRenewedPastTwiceTheServersLifetime) {
  if (test::DemoServerDisabled()) GTEST_SKIP();
  DemoServerOptions o;
  o.maxChannelLifetimeMs = 4000;
  DemoServer server(o);
  ASSERT_TRUE(test::EnsureDemoServer(server));
  TVaroUAClient c;
  c.SetUrl(server.Url());
  ShutdownLog shut;
  shut.Attach(c);
  // Token ids granted by renewals, as their responses reach the client.
  std::mutex m;
  std::vector<uint32_t> tokens;
  c.OnLog = [&](TVaroUAClient&, int, uint32_t type, const std::string&, const TuaObj* data) {
    if (auto* r = dynamic_cast<const uaOpenSecureChannelResponse*>(data);
        r && type == 10 && r->SecurityToken) {
      std::lock_guard l(m);
      tokens.push_back(r->SecurityToken->TokenId);
    }
  };
  c.SetActive(true);
  const auto end = std::chrono::steady_clock::now() + 9500ms;
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(250ms);
    ASSERT_NO_FATAL_FAILURE(ReadServerState(c));
  }
  std::lock_guard l(m);
  EXPECT_GE(tokens.size(), 2u);
  for (size_t i = 1; i < tokens.size(); ++i) EXPECT_NE(tokens[i], tokens[i - 1]);
  EXPECT_TRUE(c.Active());
  EXPECT_EQ(shut.Count(), 0u);
}

TEST(ClientThreads, KilledServerEndsAWaitingCallAndReportsOneShutdown) {
  if (test::DemoServerDisabled()) GTEST_SKIP();
  DemoServer server;
  ASSERT_TRUE(test::EnsureDemoServer(server));
  auto c = std::make_unique<TVaroUAClient>();
  c->SetUrl(server.Url());
  c->SetKeepAlive(500);
  ShutdownLog shut;
  shut.Attach(*c);
  c->SetActive(true);
  {
    uaCreateSubscription sub(c.get());
    sub.Request->RequestedPublishingInterval = 10000;
    sub.Request->RequestedLifetimeCount = 300;
    sub.Request->RequestedMaxKeepAliveCount = 10;
    sub.Run();
  }
  std::thread killer([&] {
    std::this_thread::sleep_for(300ms);
    server.Kill();
  });
  std::string failure;
  uaPublish p(c.get());
  try {
    p.Run(60000);
    failure = "no exception";
  } catch (const std::exception& e) {
    failure = e.what();
  }
  killer.join();
  EXPECT_EQ(failure.find("Timeout"), std::string::npos) << failure;
  EXPECT_NE(failure.find("Publish"), std::string::npos) << failure;
  ASSERT_TRUE(shut.Wait());
  EXPECT_TRUE(WaitUntil([&] { return !c->Active() && !c->Disconnecting(); }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(shut.Count(), 1u);
  EXPECT_TRUE(c->ServerShutdown());
  // Calls after the loss fail at once.
  uaRead r(c.get());
  EXPECT_THROW(r.Run(), std::exception);
  c.reset();  // joins every thread
}

TEST(ClientThreads, ReconnectAfterTheServerCameBack) {
  if (test::DemoServerDisabled()) GTEST_SKIP();
  DemoServer server;
  ASSERT_TRUE(test::EnsureDemoServer(server));
  TVaroUAClient c;
  c.SetUrl(server.Url());
  ShutdownLog shut;
  shut.Attach(c);
  c.SetActive(true);
  server.Kill();
  ASSERT_TRUE(shut.Wait());
  ASSERT_TRUE(WaitUntil([&] { return !c.Active() && !c.Disconnecting(); }));
  server.Start();
  c.SetUrl(server.Url());
  c.SetActive(true);
  EXPECT_TRUE(c.Active());
  EXPECT_FALSE(c.ServerShutdown());
  ReadServerState(c);
}

TEST(ClientThreads, SessionTheServerNoLongerKnowsBecomesAShutdown) {
  VARO_REQUIRE_DEMO_SERVER(DemoServer::Shared());
  TVaroUAClient c;
  c.SetUrl(DemoServer::Shared().Url());
  ShutdownLog shut;
  shut.Attach(c);
  c.SetActive(true);
  {
    // Closed behind the client's back: the next request is refused by the server.
    uaCloseSession close(&c);
    close.Run();
  }
  uaRead r(&c);
  r.Request->NodesToRead_Setlength(1);
  r.Request->NodesToRead[0]->NodeId = std::make_unique<uaNodeId>(2259u, 0);
  r.Request->NodesToRead[0]->AttributeId = 13;
  try {
    r.Run();
    FAIL();
  } catch (const uaConnectionException& e) {
    EXPECT_TRUE(r.Error == uaBadSessionIdInvalid || r.Error == uaBadSessionClosed) << e.what();
  }
  ASSERT_TRUE(shut.Wait());
  // The text of the status, perhaps followed by the request that was waiting.
  EXPECT_TRUE(shut.reasons[0].rfind(Statuscodes::ToString(uaBadSessionIdInvalid), 0) == 0 ||
              shut.reasons[0].rfind(Statuscodes::ToString(uaBadSessionClosed), 0) == 0)
      << shut.reasons[0];
  EXPECT_TRUE(WaitUntil([&] { return !c.Active() && !c.Disconnecting(); }));
  EXPECT_EQ(shut.Count(), 1u);
}

TEST(ClientThreads, DisconnectFromInsideTheClientsOwnThreads) {
  VARO_REQUIRE_DEMO_SERVER(DemoServer::Shared());
  // From the status thread (changing KeepAlive there too), then from the receive thread.
  for (int where = 0; where < 2; ++where) {
    TVaroUAClient c;
    c.SetUrl(DemoServer::Shared().Url());
    std::atomic<int> calls{0};
    if (where == 0) {
      c.OnServerStatusRead = [&](TVaroUAClient& s, uaStatusCode, const uaServerStatusDataType*, bool&) {
        if (calls++ == 0) {
          s.SetKeepAlive(300);
          s.SetActive(false);
        }
      };
      c.SetKeepAlive(200);
    }
    c.SetActive(true);
    if (where == 1) {
      uaRead r(&c);
      r.Request->NodesToRead_Setlength(1);
      r.Request->NodesToRead[0]->NodeId = std::make_unique<uaNodeId>(2259u, 0);
      r.Request->NodesToRead[0]->AttributeId = 13;
      r.RunAsync([&](uint32_t, std::unique_ptr<TuaObj>, std::shared_ptr<void>) {
        ++calls;
        EXPECT_THROW(c.SetActive(true), uaConnectionException);
        c.SetActive(false);
      });
    }
    EXPECT_TRUE(WaitUntil([&] { return calls.load() > 0 && !c.Active() && !c.Disconnecting(); })) << where;
  }
}

// A TCP listener on the loopback interface that accepts one connection and then either
// closes it at once or keeps it open without a word.
class SilentPeer {
 public:
  explicit SilentPeer(bool aCloseAtOnce) : fClose(aCloseAtOnce) {
    fFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fFd, 1);
    socklen_t len = sizeof a;
    getsockname(fFd, reinterpret_cast<sockaddr*>(&a), &len);
    fPort = ntohs(a.sin_port);
    fThread = std::thread([this] {
      const int c = accept(fFd, nullptr, nullptr);
      if (c < 0) return;
      if (fClose) {
        close(c);
        return;
      }
      std::unique_lock l(fLock);
      fCond.wait(l, [&] { return fStop; });
      close(c);
    });
  }
  ~SilentPeer() {
    {
      std::lock_guard l(fLock);
      fStop = true;
    }
    fCond.notify_all();
    shutdown(fFd, SHUT_RDWR);
    close(fFd);
    fThread.join();
  }
  std::string Url() const { return "opc.tcp://127.0.0.1:" + std::to_string(fPort); }

 private:
  bool fClose;
  int fFd = -1;
  uint16_t fPort = 0;
  std::mutex fLock;
  std::condition_variable fCond;
  bool fStop = false;
  std::thread fThread;
};

TEST(ClientThreads, PeerThatNeverAcknowledges) {
  SilentPeer peer(false);
  TVaroUAClient c;
  c.SetUrl(peer.Url());
  c.SetTimeoutConnect(300);
  try {
    c.SetActive(true);
    FAIL();
  } catch (const uaConnectionException& e) {
    EXPECT_EQ(std::string(e.what()), "UA Error: Timeout no acknowledge from server: " + peer.Url());
  }
  EXPECT_FALSE(c.Active());
}

TEST(ClientThreads, ConnectionLostDuringConnectRaisesTheReason) {
  SilentPeer peer(true);
  TVaroUAClient c;
  c.SetUrl(peer.Url());
  ShutdownLog shut;
  shut.Attach(c);
  try {
    c.SetActive(true);
    FAIL();
  } catch (const uaConnectionException& e) {
    EXPECT_FALSE(std::string(e.what()).empty());
    EXPECT_EQ(std::string(e.what()).find("Timeout"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(c.Active());
  EXPECT_EQ(c.SessionData(), nullptr);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(shut.Count(), 0u);
}

}  // namespace
}  // namespace varo::ua
