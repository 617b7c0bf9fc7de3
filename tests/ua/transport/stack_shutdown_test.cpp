// SPDX-License-Identifier: MPL-2.0
// Shutting the stack client down while it is stuck: a send that blocks because the peer does
// not read, or a peer that stops in the middle of a message. Disconnect and destruction must
// return at once (well within the send time-out), the blocked sender must get an exception,
// and our own shutdown is no failure to report. A send that fails by itself faults the
// connection, raises to its caller at once and is reported exactly once.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

#include "fake_server_test.h"
#include "ua/encoding/service_types.h"
#include "ua/transport/stack_client.h"

namespace varo::ua {
namespace {

using test::FakePeer;
using test::FakeServer;

constexpr int kSmallBuffer = 4096;

int64_t NowMs() {
  return TuaSocket::NowMs();
}

// A request of about aBytes bytes: far more than the socket buffers of both ends hold.
std::unique_ptr<uaGetEndpointsRequest> BigRequest(size_t aBytes = 8u << 20) {
  auto r = std::make_unique<uaGetEndpointsRequest>();
  r->RequestHeader = std::make_unique<uaRequestHeader>();
  r->EndpointUrl = "opc.tcp://127.0.0.1/big";
  for (size_t n = 0; n < aBytes; n += 1000) r->ProfileUris.push_back(std::string(996, 'u'));
  return r;
}

// A stack client connected to a fake peer, counting the critical errors it reports.
struct Client {
  explicit Client(const std::string& aUrl, int aSendTimeoutMs) : stack(std::make_unique<uaStackClient>()) {
    stack->fHandleCriticalException = [this](const std::string& aReason) {
      std::lock_guard lk(mutex);
      reasons.push_back(aReason);
    };
    stack->Connect(aUrl);
    uaTcpConnection& c = stack->Client().getSocket();
    c.SetSendBufferSize(kSmallBuffer);
    c.SetSendTimeout(aSendTimeoutMs);
  }
  std::vector<std::string> Reasons() {
    std::lock_guard lk(mutex);
    return reasons;
  }
  // Starts a big send on another thread and checks that it blocks.
  std::future<std::string> StartBlockedSend() {
    auto f = std::async(std::launch::async, [s = stack.get()]() -> std::string {
      const auto big = BigRequest();
      try {
        s->SendMessage(1, *big);
        return "sent";
      } catch (const std::exception& e) {
        return e.what();
      }
    });
    EXPECT_EQ(f.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "send did not block";
    return f;
  }

  std::unique_ptr<uaStackClient> stack;
  std::mutex mutex;
  std::vector<std::string> reasons;
};

TEST(StackShutdown, AFailedSendFaultsRaisesAndReportsOnce) {
  FakeServer server([](FakePeer& p) { p.WaitForStop(); }, kSmallBuffer);
  Client c(server.Url(), 300);
  const auto big = BigRequest();
  const int64_t t0 = NowMs();
  EXPECT_THROW(c.stack->SendMessage(1, *big), EuaTcpError);
  const int64_t took = NowMs() - t0;
  EXPECT_GE(took, 300);
  EXPECT_LT(took, 1500) << "the send went on after the first chunk failed";
  EXPECT_EQ(c.stack->Client().getSocket().State(), uaCS_Faulted);
  ASSERT_EQ(c.Reasons().size(), 1u);
  EXPECT_EQ(c.Reasons()[0], "Send timed out after 300 ms on SendMessage");

  // Later sends fail at once; the receive thread, which sees the connection end, adds nothing.
  const int64_t t1 = NowMs();
  uaGetEndpointsRequest small;
  EXPECT_THROW(c.stack->SendMessage(2, small), EuaTcpError);
  EXPECT_LT(NowMs() - t1, 100);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(c.Reasons().size(), 1u);
  EXPECT_TRUE(c.stack->Client().ReadThread().Paused());
}

enum class Stuck { SendBlocked, PeerStallsMidMessage };
enum class Action { Disconnect, Destroy };

struct ShutdownCase {
  const char* name;
  Stuck stuck;
  Action action;
};

void PrintTo(const ShutdownCase& aCase, std::ostream* aOut) {
  *aOut << aCase.name;
}

class StackShutdownTest : public ::testing::TestWithParam<ShutdownCase> {};

TEST_P(StackShutdownTest, ReturnsAtOnceWithoutAFailureReport) {
  const ShutdownCase& sc = GetParam();
  constexpr int kSendTimeoutMs = 5000;
  FakeServer server(
      [&](FakePeer& p) {
        if (sc.stuck == Stuck::PeerStallsMidMessage) p.Send(test::Header(1000));
        p.WaitForStop();
      },
      kSmallBuffer);
  Client c(server.Url(), kSendTimeoutMs);
  std::future<std::string> sender;
  if (sc.stuck == Stuck::SendBlocked)
    sender = c.StartBlockedSend();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the header has arrived

  auto closing = std::async(std::launch::async, [&] {
    if (sc.action == Action::Disconnect)
      c.stack->Disconnect();
    else
      c.stack.reset();
  });
  const int64_t t0 = NowMs();
  if (closing.wait_for(std::chrono::milliseconds(kSendTimeoutMs)) != std::future_status::ready) {
    ADD_FAILURE() << "shutdown did not return within the send time-out";
    std::abort();
  }
  EXPECT_LT(NowMs() - t0, 1000);
  if (sender.valid()) {
    ASSERT_EQ(sender.wait_for(std::chrono::milliseconds(1000)), std::future_status::ready);
    EXPECT_EQ(sender.get(), "The message could not be sent: the connection is closed or faulted");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(c.Reasons().empty()) << c.Reasons()[0];
  if (c.stack) {
    // Still usable: a new connection to a well-behaved peer works.
    FakeServer again([](FakePeer& p) {
      p.ExpectHello();
      p.SendAck();
      p.HoldUntilClosed();
    });
    std::promise<void> acked;
    c.stack->fOnAckMessage = [&](uaStackClient&, const uaMessageAck&) { acked.set_value(); };
    c.stack->Connect(again.Url());
    EXPECT_EQ(acked.get_future().wait_for(std::chrono::seconds(2)), std::future_status::ready);
    c.stack->Disconnect();
    c.stack->fOnAckMessage = nullptr;
  }
  server.Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StackShutdownTest,
    ::testing::Values(
        ShutdownCase{"DisconnectWhileASendBlocks", Stuck::SendBlocked, Action::Disconnect},
        ShutdownCase{"DestroyWhileASendBlocks", Stuck::SendBlocked, Action::Destroy},
        ShutdownCase{"DisconnectWhileThePeerStalls", Stuck::PeerStallsMidMessage, Action::Disconnect},
        ShutdownCase{"DestroyWhileThePeerStalls", Stuck::PeerStallsMidMessage, Action::Destroy}),
    [](const ::testing::TestParamInfo<ShutdownCase>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace varo::ua
