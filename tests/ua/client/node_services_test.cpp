// SPDX-License-Identifier: MPL-2.0
// The node helpers of TVaroUAClient against the node-opcua demo server: reads, writes of
// every built-in type and of arrays, browsing past the server's reference cap, method calls
// and the server status.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <set>

#include "platform/datetime.h"
#include "platform/strings.h"
#include "support/demo_server.h"
#include "ua/client/ua_attributes.h"
#include "ua/client/ua_client.h"
#include "ua/client/ua_client_services.h"
#include "ua/encoding/binary_codec.h"
#include "ua/encoding/status_codes.h"
#include "ua/security/native_provider.h"

namespace varo::ua {
namespace {

using test::DemoServer;

// One connected client for the whole suite: the cases only read and write values.
class NodeServices : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (test::DemoServerDisabled()) return;
    if (!test::EnsureDemoServer(DemoServer::Shared())) return;
    RegisterNativeSecurityLib();
    sClient = std::make_unique<TVaroUAClient>();
    sClient->SetUrl(DemoServer::Shared().Url());
    try {
      sClient->SetActive(true);
    } catch (const std::exception& e) {
      sConnectError = e.what();
      sClient.reset();
    }
  }
  static void TearDownTestSuite() { sClient.reset(); }

  void SetUp() override {
    VARO_REQUIRE_DEMO_SERVER(DemoServer::Shared());
    ASSERT_TRUE(sClient && sClient->Active()) << "connect failed: " << sConnectError;
  }

  TVaroUAClient& Client() { return *sClient; }

  static std::unique_ptr<TVaroUAClient> sClient;
  static std::string sConnectError;
};
std::unique_ptr<TVaroUAClient> NodeServices::sClient;
std::string NodeServices::sConnectError;

std::string Static(const std::string& aType) {
  return "ns=1;s=Demo.Static." + aType;
}
std::string StaticArray(const std::string& aType) {
  return "ns=1;s=Demo.Static.Array." + aType;
}

template <class T>
std::vector<std::unique_ptr<T>> Objects(std::vector<T> aItems) {
  std::vector<std::unique_ptr<T>> out;
  for (T& i : aItems) out.push_back(std::make_unique<T>(std::move(i)));
  return out;
}

// An Argument structure (binary encoding id 298) with a binary body.
uaExtensionObject ArgumentObject(const std::string& aName, uint32_t aDataType) {
  TuaBinaryEncoder enc;
  enc.Write(aName, "Name");
  const uaNodeId type(aDataType, 0);
  enc.Write(&type, "DataType");
  enc.Write(int32_t{-1}, "ValueRank");
  enc.Write(int32_t{0}, "ArrayDimensions");  // empty, as the server encodes it back
  const uaLocalizedText none;
  enc.Write(&none, "Description");
  return uaExtensionObject(std::make_unique<uaExpandedNodeId>(uaNodeId(298u, 0)), enc.TakeBytes());
}

uaDiagnosticInfo Diagnostic(int32_t aSymbolicId, const std::string& aInfo) {
  uaDiagnosticInfo d;
  d.SymbolicId = aSymbolicId;
  d.AdditionalInfo = aInfo;
  return d;
}

uaDataValue IntDataValue(int32_t aValue) {
  return uaDataValue(std::make_unique<uaVariant>(aValue));
}

TDateTime Date(int y, int mo, int d, int h, int mi, int s, int ms) {
  return EncodeDateTime({y, mo, d, h, mi, s, ms});
}

struct RoundTripCase {
  std::string type;
  std::function<uaVariant()> scalar;
  std::function<uaVariant()> array;
};
void PrintTo(const RoundTripCase& aCase, std::ostream* aOut) {
  *aOut << aCase.type;
}

const std::vector<RoundTripCase>& RoundTripCases() {
  static const std::vector<RoundTripCase> cases = {
      {"Boolean", [] { return uaVariant(false); },
       [] {
         return uaVariant(std::vector<bool>{false, false, true});
       }},
      {"SByte", [] { return uaVariant(int8_t{-100}); },
       [] {
         return uaVariant(std::vector<int8_t>{1, -2, 3});
       }},
      {"Byte", [] { return uaVariant(uint8_t{7}); },
       [] {
         return uaVariant::FromByteValues({9, 8, 7});
       }},
      {"Int16", [] { return uaVariant(int16_t{12345}); },
       [] {
         return uaVariant(std::vector<int16_t>{-1, 2, -3});
       }},
      {"UInt16", [] { return uaVariant(uint16_t{65000}); },
       [] {
         return uaVariant(std::vector<uint16_t>{4, 5, 6});
       }},
      {"Int32", [] { return uaVariant(int32_t{987654}); },
       [] {
         return uaVariant(std::vector<int32_t>{7, -8, 9});
       }},
      {"UInt32", [] { return uaVariant(uint32_t{4294967295u}); },
       [] {
         return uaVariant(std::vector<uint32_t>{1, 2, 3});
       }},
      {"Int64", [] { return uaVariant(std::numeric_limits<int64_t>::min()); },
       [] {
         return uaVariant(std::vector<int64_t>{std::numeric_limits<int64_t>::max(), -1, 0});
       }},
      // Above 2^63: the value must not pass through a signed conversion anywhere.
      {"UInt64", [] { return uaVariant(uint64_t{0x8000000000000001ull}); },
       [] {
         return uaVariant(std::vector<uint64_t>{0xFFFFFFFFFFFFFFFFull, 1ull << 63, 0});
       }},
      {"Float", [] { return uaVariant(-0.25f); },
       [] {
         return uaVariant(std::vector<float>{1.5f, -2.5f, 0});
       }},
      {"Double", [] { return uaVariant(1e-300); },
       [] {
         return uaVariant(std::vector<double>{-0.5, 1e300, 6.02214076e23});
       }},
      {"String",
       [] {
         return uaVariant(
             "Gr\xC3\xBC\xC3\x9F"
             "e \xE2\x9C\x93");
       },
       [] {
         return uaVariant(std::vector<std::string>{"x", "", "zz"});
       }},
      {"DateTime", [] { return uaVariant::FromDateTime(Date(2031, 5, 6, 7, 8, 9, 10)); },
       [] {
         return uaVariant::FromDateTimeArray({Date(1999, 12, 31, 23, 59, 59, 999),
                                              Date(2024, 2, 29, 0, 0, 0, 0), Date(2100, 1, 1, 12, 0, 0, 1)});
       }},
      {"Guid", [] { return uaVariant(StringToGUID("{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}")); },
       [] {
         return uaVariant(std::vector<TGUID>{StringToGUID("{00000000-0000-0000-0000-000000000001}"),
                                             StringToGUID("{12345678-9ABC-DEF0-1234-56789ABCDEF0}"),
                                             TGUID{}});
       }},
      {"ByteString",
       [] {
         return uaVariant(ByteArray{0, 1, 2, 0xFE});
       },
       [] {
         return uaVariant(std::vector<ByteArray>{{0xAA}, {1, 2}, {}});
       }},
      {"XmlElement", [] { return uaVariant::FromXmlElement("<w a=\"1\">x</w>"); },
       [] {
         return uaVariant::FromXmlElementArray({"<a/>", "<b/>", "<c/>"});
       }},
      {"NodeId", [] { return uaVariant(uaNodeId(4711u, 1)); },
       [] {
         return uaVariant(
             Objects<uaNodeId>({uaNodeId(1u, 0), uaNodeId("Written", 1),
                                uaNodeId(StringToGUID("{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"), 2)}));
       }},
      {"ExpandedNodeId", [] { return uaVariant(uaExpandedNodeId(uaNodeId("Far", 1))); },
       [] {
         return uaVariant(Objects<uaExpandedNodeId>({uaExpandedNodeId(uaNodeId(2253u, 0)),
                                                     uaExpandedNodeId(uaNodeId("B", 1)),
                                                     uaExpandedNodeId(uaNodeId(9u, 0))}));
       }},
      {"StatusCode", [] { return uaVariant::FromStatusCode(0x80AB0000u); },
       [] {
         return uaVariant::FromStatusCodeArray({0, 0x40000000u, 0x803B0000u});
       }},
      {"QualifiedName", [] { return uaVariant(uaQualifiedName("Written", 1)); },
       [] {
         return uaVariant(Objects<uaQualifiedName>(
             {uaQualifiedName("x", 0), uaQualifiedName("y", 1), uaQualifiedName("z", 2)}));
       }},
      {"LocalizedText", [] { return uaVariant(uaLocalizedText("Wert", "de")); },
       [] {
         return uaVariant(Objects<uaLocalizedText>(
             {uaLocalizedText("one", ""), uaLocalizedText("zwei", "de"), uaLocalizedText("", "en")}));
       }},
      {"ExtensionObject", [] { return uaVariant(ArgumentObject("written", 11)); },
       [] {
         return uaVariant(Objects<uaExtensionObject>(
             {ArgumentObject("p", 6), ArgumentObject("q", 12), ArgumentObject("r", 1)}));
       }},
      {"DataValue", [] { return uaVariant(std::make_unique<uaDataValue>(IntDataValue(99))); },
       [] {
         return uaVariant(Objects<uaDataValue>({IntDataValue(1), IntDataValue(-2), IntDataValue(3)}));
       }},
      // The Variant nodes are typed BaseDataType: what is written is the value itself.
      {"Variant", [] { return uaVariant(2.5); },
       [] {
         std::vector<std::unique_ptr<uaVariant>> items;
         items.push_back(std::make_unique<uaVariant>(int32_t{5}));
         items.push_back(std::make_unique<uaVariant>("six"));
         items.push_back(std::make_unique<uaVariant>(7.5));
         return uaVariant(std::move(items));
       }},
      {"DiagnosticInfo", [] { return uaVariant(std::make_unique<uaDiagnosticInfo>(Diagnostic(5, "w"))); },
       [] {
         return uaVariant(
             Objects<uaDiagnosticInfo>({Diagnostic(1, "a"), Diagnostic(2, "b"), Diagnostic(3, "")}));
       }},
  };
  return cases;
}

// Same type, rank and value; date-times compare to the millisecond (the wire counts 100 ns
// ticks, the date-time is a double).
void ExpectSameValue(const uaVariant& aExpected, const uaVariant& aGot, const std::string& aWhat) {
  EXPECT_EQ(aGot.BuildInType(), aExpected.BuildInType()) << aWhat;
  EXPECT_EQ(aGot.IsArray(), aExpected.IsArray()) << aWhat;
  if (aExpected.BuildInType() == bit_DateTime) {
    EXPECT_EQ(aGot.ToString(), aExpected.ToString()) << aWhat;
  } else {
    EXPECT_TRUE(aGot == aExpected) << aWhat << ": wrote " << aExpected.ToString() << ", read "
                                   << aGot.ToString();
  }
}

void RoundTrip(TVaroUAClient& aClient, const std::string& aNode, const uaVariant& aValue) {
  std::unique_ptr<uaDataValue> before = aClient.ReadNodeAttribute(aNode, attrValue);
  ASSERT_TRUE(before && before->Value) << aNode;
  ASSERT_EQ(before->StatusCode, 0u) << aNode;
  ASSERT_FALSE(*before->Value == aValue) << aNode << ": pick a value that differs from the initial one";

  const uaStatusCode written = aClient.WriteNodeAttribute(aNode, attrValue, aValue);
  ASSERT_EQ(written, 0u) << aNode << ": " << uaStatusText(written);
  std::unique_ptr<uaDataValue> after = aClient.ReadNodeAttribute(aNode, attrValue, 2);
  ASSERT_TRUE(after && after->Value) << aNode;
  EXPECT_EQ(after->StatusCode, 0u);
  ExpectSameValue(aValue, *after->Value, aNode);

  // Put the initial value back for the other cases of this binary.
  EXPECT_EQ(aClient.WriteNodeAttribute(aNode, attrValue, *before), 0u) << aNode;
}

class NodeRoundTrip : public NodeServices, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(NodeRoundTrip, Scalar) {
  RoundTrip(Client(), Static(GetParam().type), GetParam().scalar());
}

TEST_P(NodeRoundTrip, Array) {
  RoundTrip(Client(), StaticArray(GetParam().type), GetParam().array());
}

INSTANTIATE_TEST_SUITE_P(EveryBuiltInType, NodeRoundTrip, ::testing::ValuesIn(RoundTripCases()),
                         [](const auto& info) { return info.param.type; });

TEST_F(NodeServices, UInt64AboveTwoToTheSixtyThreeKeepsEveryBit) {
  for (uint64_t v : {uint64_t{1} << 63, uint64_t{0xFFFFFFFFFFFFFFFEull}, uint64_t{0xFFFFFFFFFFFFFFFFull}}) {
    ASSERT_EQ(Client().WriteNodeAttribute(Static("UInt64"), attrValue, uaVariant(v)), 0u);
    std::unique_ptr<uaDataValue> back = Client().ReadNodeAttribute(Static("UInt64"), attrValue);
    ASSERT_TRUE(back && back->Value);
    ASSERT_NE(back->Value->GetIf<uint64_t>(), nullptr);
    EXPECT_EQ(*back->Value->GetIf<uint64_t>(), v);
    EXPECT_EQ(back->Value->ToString(), UIntToStr(v));
    EXPECT_EQ(Client().ReadNodeAttributeAsVariant(Static("UInt64"), attrValue).toUInt64(), v);
  }
  EXPECT_EQ(Client().WriteNodeAttribute(Static("UInt64"), attrValue, uaVariant(uint64_t{1} << 40)), 0u);
}

TEST_F(NodeServices, WriteToReadOnlyNodeGivesItsStatusText) {
  const uaStatusCode status =
      Client().WriteNodeAttribute("ns=1;s=Demo.ReadOnly.Int32", attrValue, uaVariant(int32_t{1}));
  EXPECT_EQ(status, 0x803B0000u);
  EXPECT_EQ(uaStatusText(status), "The access level does not allow writing to the Node.");
  EXPECT_EQ(Client().ReadNodeAttributeAsVariant("ns=1;s=Demo.ReadOnly.Int32", attrValue).toInt64(), 42);
}

TEST_F(NodeServices, AttributeMatrixIsNodeMajor) {
  const std::vector<std::string> nodes = {Static("Int32"), "ns=1;s=Demo.ReadOnly.Int32"};
  const std::vector<int32_t> attrs = {attrBrowseName, attrValue, attrDataType};
  // Other tests of this binary write the same node: set the value this test reads.
  const uaDataValue one = IntDataValue(-123456);
  ASSERT_EQ(Client().WriteNodeAttributes({Static("Int32")}, {attrValue}, {&one}),
            (std::vector<uaStatusCode>{0}));
  auto values = Client().ReadNodeAttributes(nodes, attrs);
  ASSERT_EQ(values.size(), 6u);
  EXPECT_EQ(values[0]->ToString(), "Int32");
  EXPECT_EQ(values[1]->ToString(), "-123456");
  EXPECT_EQ(values[2]->ToString(), "ns=0;i=6");
  EXPECT_EQ(values[3]->ToString(), "Int32");
  EXPECT_EQ(values[4]->ToString(), "42");  // the second node's second attribute
  EXPECT_EQ(values[5]->ToString(), "ns=0;i=6");
  // Neither time stamp was asked for.
  for (const auto& v : values) EXPECT_EQ(v->SourceTimestamp, kNullDateTime);

  const uaDataValue two = IntDataValue(7);
  const std::vector<uaStatusCode> results = Client().WriteNodeAttributes(
      {Static("Int32"), "ns=1;s=Demo.ReadOnly.Int32"}, {attrValue}, {&one, &two});
  EXPECT_EQ(results, (std::vector<uaStatusCode>{0, 0x803B0000u}));
}

TEST_F(NodeServices, UnknownNodeAndBadTextAreReportedNotRaised) {
  auto v = Client().ReadNodeAttribute("ns=1;s=Demo.NoSuchNode", attrValue);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->StatusCode, uaBadNodeIdUnknown);
  EXPECT_FALSE(v->Value && v->Value->HasValue());
  EXPECT_TRUE(Client().ReadNodeAttributeAsVariant("ns=1;s=Demo.NoSuchNode", attrValue).isEmptyOrNull());
  try {
    Client().ReadNodeAttribute("ns=x;i=1", attrValue);
    FAIL() << "no exception";
  } catch (const EVaroError& e) {
    EXPECT_TRUE(StartsWith(e.what(), "$80330000 Cannot parse node id text (ns=x;i=1) ")) << e.what();
  }
}

TEST_F(NodeServices, ReadNodeBuildsTheClassOfTheNode) {
  std::unique_ptr<uaNode> variable = Client().ReadNode(Static("Double"));
  auto* v = dynamic_cast<uaVariableNode*>(variable.get());
  ASSERT_NE(v, nullptr);
  ASSERT_TRUE(v->NodeClass);
  EXPECT_EQ(v->NodeClass->Value, 2);
  ASSERT_TRUE(v->NodeId && v->BrowseName && v->DisplayName && v->Value && v->DataType);
  EXPECT_EQ(v->NodeId->ToString(), "ns=1;s=Demo.Static.Double");
  EXPECT_EQ(v->BrowseName->Name, "Double");
  EXPECT_EQ(v->BrowseName->NamespaceIndex, 1);
  EXPECT_EQ(v->DataType->ToString(), "ns=0;i=11");
  EXPECT_EQ(v->ValueRank, -1);
  EXPECT_EQ(v->AccessLevel & 3, 3);
  EXPECT_EQ(v->Value->ToString(), "2.718281828459045");

  std::unique_ptr<uaNode> method = Client().ReadNode("ns=1;s=Demo.Methods.Add");
  auto* m = dynamic_cast<uaMethodNode*>(method.get());
  ASSERT_NE(m, nullptr);
  EXPECT_TRUE(m->Executable);
  EXPECT_TRUE(m->UserExecutable);

  std::unique_ptr<uaNode> objects = Client().ReadNode(uaNodeId(85u, 0));
  ASSERT_NE(dynamic_cast<uaObjectNode*>(objects.get()), nullptr);
  std::unique_ptr<uaNode> type = Client().ReadNode("i=58");  // BaseObjectType
  auto* t = dynamic_cast<uaObjectTypeNode*>(type.get());
  ASSERT_NE(t, nullptr);
  std::unique_ptr<uaNode> ref = Client().ReadNode("i=33");
  auto* r = dynamic_cast<uaReferenceTypeNode*>(ref.get());
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(r->IsAbstract);
  std::unique_ptr<uaNode> dataType = Client().ReadNode("i=11");
  ASSERT_NE(dynamic_cast<uaDataTypeNode*>(dataType.get()), nullptr);

  // A node that does not exist fails on its Node Id attribute.
  try {
    Client().ReadNode("ns=1;s=Demo.NoSuchNode");
    FAIL() << "no exception";
  } catch (const uaConnectionException& e) {
    EXPECT_TRUE(StartsWith(e.what(), "UA Error ($80340000)")) << e.what();
  }
}

TEST_F(NodeServices, NamespaceTable) {
  const std::vector<std::string> names = Client().GetNamespaceArray();
  ASSERT_GE(names.size(), 2u);
  EXPECT_EQ(names[0], "http://opcfoundation.org/UA/");
  EXPECT_EQ(Client().GetNamespaceIndex("http://opcfoundation.org/UA/"), 0);
  EXPECT_EQ(Client().GetNamespaceIndex(names[1]), 1);
  EXPECT_EQ(Client().GetNamespaceIndex(ToUpperAscii(names[1])), -1);
  EXPECT_EQ(Client().GetNamespaceIndex("urn:no:such:namespace"), -1);
}

TEST_F(NodeServices, BrowseFollowsContinuationPointsPastTheReferenceCap) {
  // One Browse alone stops at the server's cap and hands out a continuation point.
  uaBrowse first(&Client());
  first.Request->View->Timestamp = kNullDateTime;
  auto d = std::make_unique<uaBrowseDescription>();
  d->NodeId = std::make_unique<uaNodeId>("Demo.Big", 1);
  d->BrowseDirection = std::make_unique<uaBrowseDirection>(0);
  d->ReferenceTypeId = std::make_unique<uaNodeId>(uaHierarchicalReferences, 0);
  d->IncludeSubtypes = true;
  d->ResultMask = uaBrowseResultAll;
  first.Request->NodesToBrowse.push_back(std::move(d));
  first.RunSync();
  ASSERT_TRUE(first.Response);
  ASSERT_EQ(first.Response->Results.size(), 1u);
  EXPECT_EQ(first.Response->Results[0]->References.size(), 1000u);
  EXPECT_FALSE(first.Response->Results[0]->ContinuationPoint.empty());
  uaBrowseNext release(&Client());
  release.Request->ReleaseContinuationPoints = true;
  release.Request->ContinuationPoints.push_back(first.Response->Results[0]->ContinuationPoint);
  release.RunSync();

  TuaBrowseFilter filter;
  filter.ReferenceTypeId = uaHierarchicalReferences;
  const auto refs = BrowseAll(Client(), uaNodeId("Demo.Big", 1), filter);
  ASSERT_EQ(refs.size(), 1200u);
  std::set<std::string> ids;
  for (const auto& r : refs) {
    ASSERT_TRUE(r->NodeId && r->BrowseName && r->NodeClass);
    EXPECT_EQ(r->NodeClass->Value, 2);
    ids.insert(r->NodeId->ToString());
  }
  EXPECT_EQ(ids.size(), 1200u);
  EXPECT_EQ(ids.count("ns=1;s=Demo.Big.0"), 1u);
  EXPECT_EQ(ids.count("ns=1;s=Demo.Big.1199"), 1u);

  // A smaller page size needs more BrowseNext rounds and gives the same set.
  filter.MaxReferencesPerNode = 250;
  EXPECT_EQ(BrowseAll(Client(), uaNodeId("Demo.Big", 1), filter).size(), 1200u);
}

TEST_F(NodeServices, BrowseOfUnknownNodeRaisesItsStatus) {
  try {
    BrowseAll(Client(), uaNodeId("Demo.NoSuchNode", 1));
    FAIL() << "no exception";
  } catch (const uaConnectionException& e) {
    EXPECT_TRUE(StartsWith(e.what(), "UA Error ($80340000)")) << e.what();
  }
}

TEST_F(NodeServices, MethodLookup) {
  EXPECT_EQ(Client().MethodsGet("ns=1;s=Demo.Methods"), std::vector<std::string>{"ns=1;s=Demo.Methods.Add"});
  EXPECT_EQ(Client().MethodGetParent("ns=1;s=Demo.Methods.Add"), "ns=1;s=Demo.Methods");
  EXPECT_TRUE(Client().MethodsGet("ns=1;s=Demo.Static").empty());
}

TEST_F(NodeServices, MethodCallWithGoodArguments) {
  const uaVariant a(1.5), b(2.25);
  auto out = Client().MethodCall("ns=1;s=Demo.Methods", "ns=1;s=Demo.Methods.Add", {&a, &b});
  ASSERT_EQ(out.size(), 1u);
  ASSERT_NE(out[0]->GetIf<double>(), nullptr);
  EXPECT_EQ(*out[0]->GetIf<double>(), 3.75);
}

TEST_F(NodeServices, MethodCallWithBadArgumentsRaises) {
  const uaVariant one(1.0), text("two"), i32(int32_t{3});
  const struct {
    const char* name;
    std::string object;
    std::vector<const uaVariant*> args;
  } cases[] = {
      {"argument of the wrong type", "ns=1;s=Demo.Methods", {&one, &text}},
      {"Int32 for a Double", "ns=1;s=Demo.Methods", {&i32, &one}},
      {"argument missing", "ns=1;s=Demo.Methods", {&one}},
      {"too many arguments", "ns=1;s=Demo.Methods", {&one, &one, &one}},
      {"no object (nil)", "NIL", {&one, &one}},
  };
  for (const auto& c : cases) {
    try {
      Client().MethodCall(c.object, "ns=1;s=Demo.Methods.Add", c.args);
      ADD_FAILURE() << c.name << ": no exception";
    } catch (const uaConnectionException& e) {
      EXPECT_TRUE(StartsWith(e.what(), "UA Error ($8")) << c.name << ": " << e.what();
    }
  }
  try {
    Client().MethodCall("ns=1;s=Demo.Methods", "ns=1;s=Demo.Methods.NoSuchMethod", {&one, &one});
    ADD_FAILURE() << "unknown method: no exception";
  } catch (const uaConnectionException& e) {
    EXPECT_TRUE(StartsWith(e.what(), "UA Error ($80750000)")) << e.what();  // BadMethodInvalid
  }
  // The client keeps working after each of them.
  const uaVariant a(1.0), b(1.0);
  EXPECT_EQ(Client().MethodCall("ns=1;s=Demo.Methods", "ns=1;s=Demo.Methods.Add", {&a, &b}).size(), 1u);
}

TEST_F(NodeServices, ServerStatus) {
  uaServerStatusDataType status;
  ASSERT_EQ(Client().ReadServerStatus(status, 0), 0u);
  ASSERT_TRUE(status.State);
  EXPECT_EQ(status.State->Value, 0);  // Running
  ASSERT_TRUE(status.BuildInfo);
  EXPECT_EQ(status.BuildInfo->ProductName, "Varo Demo Server");
  EXPECT_EQ(status.BuildInfo->ManufacturerName, "Varo");
  EXPECT_GT(status.CurrentTime, status.StartTime);
  EXPECT_LT(std::abs(status.CurrentTime - NowUtc()) * 86400.0, 60.0);
}

TEST(NodeServicesOffline, CallsOnAnInactiveClientRaise) {
  TVaroUAClient client;
  const uaVariant a(1.0);
  const uaDataValue v = IntDataValue(1);
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"ReadNode", [&] { client.ReadNode("i=85"); }},
      {"ReadNodeAttributes", [&] { client.ReadNodeAttributes({"i=85"}, {attrValue}); }},
      {"WriteNodeAttribute", [&] { client.WriteNodeAttribute("i=85", attrValue, v); }},
      {"MethodsGet", [&] { client.MethodsGet("i=85"); }},
      {"MethodCall", [&] { client.MethodCall("i=85", "i=1", {&a}); }},
      {"BrowseAll", [&] { BrowseAll(client, uaNodeId(85u, 0)); }},
  };
  for (const auto& [name, call] : calls) {
    try {
      call();
      ADD_FAILURE() << name << ": no exception";
    } catch (const EVaroError& e) {
      EXPECT_NE(std::string(e.what()).find("not connected"), std::string::npos) << name << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace varo::ua
