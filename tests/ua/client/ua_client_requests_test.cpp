// SPDX-License-Identifier: MPL-2.0
// The request path of TVaroUAClient: the three waiting schemes, service faults, time-outs,
// cancellation and the service table, against the node-opcua demo server.
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
using namespace std::chrono_literals;

// Counts handler calls and what they received, for asynchronous requests.
struct HandlerLog {
  std::mutex lock;
  std::condition_variable cond;
  std::vector<std::pair<bool, std::shared_ptr<void>>> calls;  // (had a response, data)
  std::vector<int32_t> objNos;

  uaServiceCallEvent Handler() {
    return [this](uint32_t, std::unique_ptr<TuaObj> r, std::shared_ptr<void> data) {
      std::lock_guard l(lock);
      calls.emplace_back(r != nullptr, std::move(data));
      objNos.push_back(r ? r->ObjNo : 0);
      cond.notify_all();
    };
  }
  bool WaitFor(size_t n, std::chrono::milliseconds t = 10s) {
    std::unique_lock l(lock);
    return cond.wait_for(l, t, [&] { return calls.size() >= n; });
  }
  size_t Count() {
    std::lock_guard l(lock);
    return calls.size();
  }
};

void ReadOne(uaRead& aCall, const uaNodeId& aNode) {
  aCall.Request->NodesToRead_Setlength(1);
  aCall.Request->NodesToRead[0]->NodeId = std::make_unique<uaNodeId>(aNode);
  aCall.Request->NodesToRead[0]->AttributeId = 13;
}

// A subscription whose Publish requests wait long on the server: 10 s interval, keep-alive
// after 10 intervals.
uint32_t CreateSlowSubscription(TVaroUAClient& aClient) {
  uaCreateSubscription sub(&aClient);
  sub.Request->RequestedPublishingInterval = 10000;
  sub.Request->RequestedLifetimeCount = 300;
  sub.Request->RequestedMaxKeepAliveCount = 10;
  sub.Request->PublishingEnabled = true;
  sub.Run();
  return sub.Response->SubscriptionId;
}

class ClientRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    VARO_REQUIRE_DEMO_SERVER(DemoServer::Shared());
    fClient = std::make_unique<TVaroUAClient>();
    fClient->SetUrl(DemoServer::Shared().Url());
    fClient->SetActive(true);
    ASSERT_TRUE(fClient->Active());
  }
  std::unique_ptr<TVaroUAClient> fClient;
};

TEST_F(ClientRequests, RunAndRunSyncReadAValue) {
  const uaNodeId node("Demo.ReadOnly.Int32", 1);
  for (int i = 0; i < 2; ++i) {
    uaRead a(fClient.get());
    ReadOne(a, node);
    if (i == 0)
      a.Run();
    else
      a.RunSync();
    ASSERT_TRUE(a.Response);
    ASSERT_EQ(a.Response->Results.size(), 1u);
    EXPECT_EQ(a.Response->Results[0]->Value->Get<int32_t>(), 42);
    EXPECT_EQ(a.Error, 0u);
  }
  // A call object may run again; every run takes a new request id.
  uaRead c(fClient.get());
  ReadOne(c, node);
  c.Run();
  const uint32_t first = c.RequestId;
  c.Run();
  EXPECT_NE(c.RequestId, first);
  ASSERT_TRUE(c.Response);
}

TEST_F(ClientRequests, ServiceFaultRaisesItsServiceResultFromEveryScheme) {
  // A Read without nodes is answered with a ServiceFault (BadNothingToDo).
  uaRead single(fClient.get());
  try {
    single.Run();
    FAIL();
  } catch (const uaConnectionException& e) {
    EXPECT_EQ(e.what(), "UA Error ($800f0000) " + Statuscodes::ToString(0x800F0000u));
  }
  EXPECT_EQ(single.Error, 0x800F0000u);
  uaRead listed(fClient.get());
  EXPECT_THROW(listed.RunSync(), uaConnectionException);
  EXPECT_EQ(listed.Error, 0x800F0000u);

  HandlerLog h;
  uaRead async(fClient.get());
  async.RunAsync(h.Handler());
  ASSERT_TRUE(h.WaitFor(1));
  EXPECT_EQ(h.objNos[0], uaServiceFault::kObjNo);
  // The client still works after the faults.
  uaRead ok(fClient.get());
  ReadOne(ok, uaNodeId(2259u, 0));
  ok.Run();
  EXPECT_TRUE(ok.Response);
}

TEST_F(ClientRequests, ListedCallsFromSeveralThreadsAtOnce) {
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        uaRead r(fClient.get());
        ReadOne(r, uaNodeId("Demo.ReadOnly.Int32", 1));
        r.RunSync();
        if (r.Response && r.Response->Results.size() == 1 &&
            r.Response->Results[0]->Value->Get<int32_t>() == 42)
          ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 80);
  EXPECT_EQ(fClient->OpenRequestCount(), 0u);
}

TEST_F(ClientRequests, SecondSingleSlotCallWhileOneWaitsIsRefused) {
  const uint32_t sub = CreateSlowSubscription(*fClient);
  (void)sub;
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    uaPublish p(fClient.get());
    try {
      p.Run(3000);
    } catch (const std::exception&) {
    }
    done = true;
  });
  std::this_thread::sleep_for(300ms);
  uaRead r(fClient.get());
  ReadOne(r, uaNodeId(2259u, 0));
  try {
    r.Run();
    ADD_FAILURE() << "a second single-slot call ran";
  } catch (const uaConnectionException& e) {
    EXPECT_STREQ(e.what(), "one sync call is already in process");
  }
  waiter.join();
  EXPECT_TRUE(done);
}

TEST_F(ClientRequests, SynchronousTimeOutClearsTheIdAndTheLateResponseReachesNobody) {
  CreateSlowSubscription(*fClient);
  uaPublish p(fClient.get());
  try {
    p.Run(300);
    FAIL();
  } catch (const uaConnectionException& e) {
    EXPECT_STREQ(e.what(), "UA Error: Timeout calling request: (1) Publish");
  }
  EXPECT_EQ(p.Response, nullptr);
  // The slot is free again.
  uaRead r(fClient.get());
  ReadOne(r, uaNodeId(2259u, 0));
  r.Run();
  EXPECT_TRUE(r.Response);
}

TEST_F(ClientRequests, AsynchronousTimeOutHandsTheCallersDataToTheHandlerOnce) {
  CreateSlowSubscription(*fClient);
  HandlerLog h;
  auto data = std::make_shared<int>(7);
  {
    uaPublish p(fClient.get());
    p.RunAsync(h.Handler(), data, 300);
  }  // the call object may go right away
  ASSERT_TRUE(h.WaitFor(1));
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(h.Count(), 1u);
  EXPECT_FALSE(h.calls[0].first);
  EXPECT_EQ(h.calls[0].second, data);
  EXPECT_EQ(fClient->LastError().fError, uaBadRequestTimeout);
  EXPECT_EQ(fClient->OpenRequestCount(), 0u);
}

TEST_F(ClientRequests, AsynchronousResponseGoesToItsHandler) {
  HandlerLog h;
  for (int i = 0; i < 5; ++i) {
    uaRead r(fClient.get());
    ReadOne(r, uaNodeId("Demo.ReadOnly.Int32", 1));
    r.RunAsync(h.Handler(), std::make_shared<int>(i));
  }
  ASSERT_TRUE(h.WaitFor(5));
  for (auto& [had, data] : h.calls) EXPECT_TRUE(had);
  for (int32_t no : h.objNos) EXPECT_EQ(no, uaReadResponse::kObjNo);
}

TEST_F(ClientRequests, DisconnectCallsEveryPendingHandlerExactlyOnce) {
  CreateSlowSubscription(*fClient);
  HandlerLog h;
  for (int i = 0; i < 4; ++i) {
    uaPublish p(fClient.get());
    p.RunAsync(h.Handler(), nullptr, 60000);
  }
  EXPECT_EQ(fClient->OpenRequestCount(), 4u);
  fClient->SetActive(false);
  EXPECT_EQ(h.Count(), 4u);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(h.Count(), 4u);
  for (auto& [had, data] : h.calls) EXPECT_FALSE(had);
}

TEST_F(ClientRequests, DestroyingTheClientWithRequestsPending) {
  CreateSlowSubscription(*fClient);
  HandlerLog h;
  for (int i = 0; i < 3; ++i) {
    uaPublish p(fClient.get());
    p.RunAsync(h.Handler(), std::make_shared<std::string>("data"), 60000);
  }
  fClient.reset();
  EXPECT_EQ(h.Count(), 3u);
}

TEST_F(ClientRequests, DisconnectFromAnotherThreadWakesAListedWaiter) {
  CreateSlowSubscription(*fClient);
  std::string failure;
  std::thread waiter([&] {
    uaPublish p(fClient.get());
    try {
      p.RunSync(60000);
      failure = "no exception";
    } catch (const std::exception& e) {
      failure = e.what();
    }
  });
  std::this_thread::sleep_for(300ms);
  fClient->SetActive(false);
  waiter.join();
  EXPECT_NE(failure.find("Publish"), std::string::npos) << failure;
  EXPECT_EQ(failure.find("Timeout"), std::string::npos) << failure;
}

TEST_F(ClientRequests, LateResponsesAfterTimeOutsReachNoCallerAndAreRecorded) {
  // Publish answers with a keep-alive after about a second.
  uaCreateSubscription sub(fClient.get());
  sub.Request->RequestedPublishingInterval = 500;
  sub.Request->RequestedLifetimeCount = 30;
  sub.Request->RequestedMaxKeepAliveCount = 2;
  sub.Request->PublishingEnabled = true;
  sub.Run();
  uaPublish p(fClient.get());
  EXPECT_THROW(p.Run(100), uaConnectionException);
  HandlerLog h;
  uaPublish a(fClient.get());
  a.RunAsync(h.Handler(), nullptr, 100);
  ASSERT_TRUE(h.WaitFor(1));
  // Both answers come later and find nobody waiting.
  EXPECT_TRUE([&] {
    for (int i = 0; i < 100; ++i) {
      if (fClient->LastError().fError == uaErrNoHandler) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  }());
  EXPECT_EQ(fClient->LastError().fReason,
            "no handler for object: " + std::to_string(uaPublishResponse::kObjNo));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(h.Count(), 1u);
  // The client goes on working.
  uaRead r(fClient.get());
  ReadOne(r, uaNodeId(2259u, 0));
  r.Run();
  EXPECT_TRUE(r.Response);
}

TEST(ClientRequestsOffline, CallsWithoutConnectionFailWithTheirTexts) {
  TVaroUAClient c;
  uaRead r(&c);
  try {
    r.Run();
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "UA Error Read: no response or not connected");
  }
  EXPECT_EQ(r.Error, uaBadServerNotConnected);
  try {
    r.RunSync();
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "UA Error RunSync Read: not connected");
  }
  try {
    r.RunAsync(nullptr);
    FAIL();
  } catch (const uaConnectionException& e) {
    EXPECT_STREQ(e.what(), "first connect to server");
  }
  try {
    uaRead nil(nullptr);
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Client object is nil (not allowed)");
  }
}

TEST(ClientRequestsOffline, ServiceTableAndHandlers) {
  TVaroUAClient c;
  EXPECT_EQ(c.ServiceTableSize(), 79u);
  EXPECT_NO_THROW(c.RegisterHandler(uaReadResponse::kObjNo, nullptr));
  try {
    c.RegisterHandler(12345, nullptr);
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Method RegisterHandler: UA Server number not found:12345");
  }
}

TEST(ClientRequestsOffline, RequestIdsAndStatusTexts) {
  TVaroUAClient c;
  // The first id of a new client is 2; ids never repeat in a row and stay positive.
  EXPECT_EQ(c.NextRequestId(), 2u);
  EXPECT_EQ(c.NextRequestId(), 3u);
  EXPECT_EQ(c.NextSessionNumber(), 1u);
  EXPECT_STREQ(
      TVaroUAClient::CreateException(0x80340000u).what(),
      "UA Error ($80340000) The node id refers to a node that does not exist in the server address space.");
  EXPECT_NO_THROW(c.CheckStatusCode(0));
  EXPECT_THROW(c.CheckStatusCode(0x40000000u), uaConnectionException);
  uaRead r(&c);
  EXPECT_NO_THROW(r.CheckStatusCode(0x00A00000u));                      // Good with info bits
  EXPECT_THROW(r.CheckStatusCode(0x40000000u), uaConnectionException);  // Uncertain
  EXPECT_EQ(c.HandleServiceFault(nullptr), uaBadRequestTimeout);
  uaServiceFault fault;
  fault.ResponseHeader->ServiceResult = 0x80010000u;
  EXPECT_EQ(c.HandleServiceFault(&fault), 0x80010000u);
  uaReadRequest notAResponse;
  EXPECT_EQ(c.HandleServiceFault(&notAResponse), uaBadRequestTimeout);
}

TEST(ClientRequestsOffline, ShortNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"uaReadRequest", "Read"},
      {"uaReadResponse", "Read"},
      {"uaCreateSessionRequest", "CreateSession"},
      {"uaServiceFault", "ServiceFault"},
      {"uaRequestResponse", "Response"},
      {"Plain", "Plain"},
  };
  for (auto [in, out] : cases) EXPECT_EQ(uaShortName(in), out) << in;
  uaBrowseNextRequest b;
  EXPECT_EQ(uaShortName(b), "BrowseNext");
  EXPECT_EQ(uaClassName(b), "uaBrowseNextRequest");
}

}  // namespace
}  // namespace varo::ua
