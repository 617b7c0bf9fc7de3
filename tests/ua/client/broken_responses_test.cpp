// SPDX-License-Identifier: MPL-2.0
// The node helpers against responses a well-behaved server does not send: result arrays
// shorter than the request, no result at all, a missing response, method results whose
// status is bad without any argument to blame, and endless continuation points. Each is a
// failure with a message, never a read past the end. The demo server answers; a relay in
// between changes its answers.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/strings.h"
#include "rewriting_proxy.h"
#include "support/demo_server.h"
#include "ua/client/ua_attributes.h"
#include "ua/client/ua_client.h"
#include "ua/client/ua_client_services.h"

namespace varo::ua {
namespace {

using ::varo::test::DemoServer;
using ::varo::ua::test::RewritingProxy;

// The response as type T, or null.
template <class T>
T* As(std::unique_ptr<TuaObj>& aObj) {
  return dynamic_cast<T*>(aObj.get());
}

class BrokenResponses : public ::testing::Test {
 protected:
  void SetUp() override {
    VARO_REQUIRE_DEMO_SERVER(DemoServer::Shared());
    fProxy = std::make_unique<RewritingProxy>(DemoServer::Shared().Port());
    fClient = std::make_unique<TVaroUAClient>();
    fClient->SetUrl(fProxy->Url());
    fClient->SetTimeout(5000);
    ASSERT_NO_THROW(fClient->SetActive(true));
    ASSERT_TRUE(fClient->Active());
  }
  void TearDown() override {
    fClient.reset();
    fProxy.reset();
  }

  // Every response of type T goes through aChange first.
  template <class T>
  void Change(std::function<void(T&)> aChange) {
    fProxy->SetHook([aChange](std::unique_ptr<TuaObj> aObj) {
      if (T* r = As<T>(aObj)) aChange(*r);
      return aObj;
    });
  }

  template <class F>
  void ExpectFailure(const char* aWhat, F&& aCall, const std::string& aStart) {
    try {
      aCall();
      ADD_FAILURE() << aWhat << ": no exception";
    } catch (const EVaroError& e) {
      EXPECT_TRUE(StartsWith(e.what(), aStart)) << aWhat << ": " << e.what();
    }
  }

  std::unique_ptr<RewritingProxy> fProxy;
  std::unique_ptr<TVaroUAClient> fClient;
};

TEST_F(BrokenResponses, ShortReadResultsFail) {
  Change<uaReadResponse>([](uaReadResponse& r) {
    if (!r.Results.empty()) r.Results.resize(r.Results.size() - 1);
  });
  ExpectFailure(
      "ReadNode", [&] { fClient->ReadNode("ns=1;s=Demo.Static.Int32"); },
      "ERROR: can not read attributes: 26 results for 27 values");
  ExpectFailure(
      "ReadNodeAttributes",
      [&] {
        fClient->ReadNodeAttributes({"ns=1;s=Demo.Static.Int32", "i=85"}, {attrValue, attrBrowseName});
      },
      "ERROR: can not read attributes: 3 results for 4 values");
  ExpectFailure(
      "ReadNodeAttribute", [&] { fClient->ReadNodeAttribute("ns=1;s=Demo.Static.Int32", attrValue); },
      "ERROR: can not read attributes: 0 results for 1 values");
  ExpectFailure(
      "ReadNodeAttributeAsVariant",
      [&] { fClient->ReadNodeAttributeAsVariant("ns=1;s=Demo.Static.Int32", attrValue); },
      "ERROR: can not read attributes");
  ExpectFailure(
      "GetNamespaceIndex", [&] { fClient->GetNamespaceIndex("urn:x"); }, "ERROR: can not read attributes");

  // With the answers whole again, the same client goes on.
  fProxy->ClearHook();
  EXPECT_EQ(fClient->ReadNodeAttributeAsVariant("ns=1;s=Demo.ReadOnly.Int32", attrValue).toInt64(), 42);
}

TEST_F(BrokenResponses, ShortWriteResultsFail) {
  Change<uaWriteResponse>([](uaWriteResponse& r) { r.Results.clear(); });
  ExpectFailure(
      "WriteNodeAttribute",
      [&] {
        fClient->WriteNodeAttribute("ns=1;s=Demo.Static.Int32", attrValue, uaVariant(int32_t{-123456}));
      },
      "ERROR: can not write attributes: 0 results for 1 values");
  // The writes do reach the server: they write the values the nodes start with, so the other
  // cases of this binary still find them.
  const uaDataValue v(std::make_unique<uaVariant>(int32_t{-123456}));
  ExpectFailure(
      "WriteNodeAttributes",
      [&] {
        fClient->WriteNodeAttributes({"ns=1;s=Demo.Static.Int32", "ns=1;s=Demo.ReadOnly.Int32"}, {attrValue},
                                     {&v, &v});
      },
      "ERROR: can not write attributes: 0 results for 2 values");
  // Fewer values than attributes is the caller's mistake, refused before anything is sent.
  ExpectFailure(
      "WriteNodeAttributes with too few values",
      [&] {
        fClient->WriteNodeAttributes({"ns=1;s=Demo.Static.Int32", "ns=1;s=Demo.Static.Int16"}, {attrValue},
                                     {&v});
      },
      "ERROR: can not write attributes: 1 values for 2 attributes");
}

TEST_F(BrokenResponses, MethodResultsFail) {
  const uaVariant a(1.0), b(2.0);
  auto call = [&] { return fClient->MethodCall("ns=1;s=Demo.Methods", "ns=1;s=Demo.Methods.Add", {&a, &b}); };
  const struct {
    const char* name;
    std::function<void(uaCallResponse&)> change;
    std::string start;
  } cases[] = {
      {"no result", [](uaCallResponse& r) { r.Results.clear(); }, "ERROR: can not call method"},
      {"BadInvalidArgument without argument results",
       [](uaCallResponse& r) {
         r.Results[0]->StatusCode = uaBadInvalidArgument;
         r.Results[0]->InputArgumentResults.clear();
       },
       "UA Error ($80ab0000)"},
      {"BadInvalidArgument with only good argument results",
       [](uaCallResponse& r) {
         r.Results[0]->StatusCode = uaBadInvalidArgument;
         r.Results[0]->InputArgumentResults = {0, 0};
       },
       "UA Error ($80ab0000)"},
      {"BadInvalidArgument blaming the second argument",
       [](uaCallResponse& r) {
         r.Results[0]->StatusCode = uaBadInvalidArgument;
         r.Results[0]->InputArgumentResults = {0, 0x80740000u};
       },
       "UA Error ($80740000)"},
      {"other bad status", [](uaCallResponse& r) { r.Results[0]->StatusCode = 0x80750000u; },
       "UA Error ($80750000)"},
      {"uncertain status", [](uaCallResponse& r) { r.Results[0]->StatusCode = 0x40000000u; },
       "UA Error ($40000000)"},
  };
  for (const auto& c : cases) {
    Change<uaCallResponse>([&c](uaCallResponse& r) {
      if (!r.Results.empty() && r.Results[0]) c.change(r);
    });
    ExpectFailure(c.name, call, c.start);
  }
  fProxy->ClearHook();
  const auto out = call();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0]->ToString(), "3");
}

TEST_F(BrokenResponses, BrowseWithoutResultFails) {
  Change<uaBrowseResponse>([](uaBrowseResponse& r) { r.Results.clear(); });
  ExpectFailure(
      "BrowseAll", [&] { BrowseAll(*fClient, uaNodeId("Demo", 1)); },
      "ERROR: can not browse ns=1;s=Demo: no result");
  ExpectFailure(
      "MethodsGet", [&] { fClient->MethodsGet("ns=1;s=Demo.Methods"); }, "ERROR: can not browse");
  ExpectFailure(
      "MethodGetParent", [&] { fClient->MethodGetParent("ns=1;s=Demo.Methods.Add"); },
      "ERROR: can not browse");
}

TEST_F(BrokenResponses, EndlessContinuationPointsAreGivenUpAndReleased) {
  std::atomic<int> nextCalls{0};
  fProxy->SetHook([&](std::unique_ptr<TuaObj> aObj) {
    if (auto* r = As<uaBrowseNextResponse>(aObj)) {
      ++nextCalls;
      for (auto& res : r->Results) {
        if (!res) continue;
        // A server that keeps handing out a point without ever sending a reference.
        res->StatusCode = 0;
        res->References.clear();
        res->ContinuationPoint = {1, 2, 3};
      }
    }
    return aObj;
  });
  ExpectFailure(
      "BrowseAll", [&] { BrowseAll(*fClient, uaNodeId("Demo.Big", 1)); },
      "ERROR: can not browse ns=1;s=Demo.Big: the server sends continuation points without references");
  // Three rounds without progress, then one call that releases the point.
  EXPECT_EQ(nextCalls.load(), 4);
}

TEST_F(BrokenResponses, MissingResponseFailsWhenTheClientDisconnects) {
  fProxy->SetHook([](std::unique_ptr<TuaObj> aObj) -> std::unique_ptr<TuaObj> {
    if (As<uaReadResponse>(aObj)) return nullptr;
    return aObj;
  });
  auto read = std::async(std::launch::async, [&] {
    try {
      fClient->ReadNodeAttributes({"ns=1;s=Demo.Static.Int32"}, {attrValue});
      return std::string("no exception");
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  });
  // Wait until the request is out and its answer was swallowed.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  while (fProxy->Dropped() == 0 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(fProxy->Dropped(), 1);
  const auto started = std::chrono::steady_clock::now();
  fClient->SetActive(false);
  ASSERT_EQ(read.wait_for(std::chrono::seconds(3)), std::future_status::ready) << "the read still waits";
  const std::string text = read.get();
  EXPECT_NE(text, "no exception");
  EXPECT_FALSE(text.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
}

}  // namespace
}  // namespace varo::ua
