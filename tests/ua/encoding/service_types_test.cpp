// SPDX-License-Identifier: MPL-2.0
// The structured service types: construction, wire form, bounds on decoding, text form, the
// registry and service table, and the description table checked against the OPC Foundation's
// published type schema and node ids (tests/typesdata, installed by scripts/deps).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/strings.h"
#include "support/test_support.h"
#include "ua/encoding/binary_codec.h"
#include "ua/encoding/service_types.h"

namespace varo::ua {
namespace {

using test::Hex;
using test::ToHex;

// The dynamic type of an object (typeid of a dereferenced pointer, without the warning).
template <class T>
const std::type_info& TypeOf(const T& v) {
  return typeid(v);
}

ByteArray Encode(const TuaObj& o) {
  TuaBinaryEncoder e;
  o.Encode(e);
  return e.TakeBytes();
}

ByteArray Concat(std::initializer_list<ByteArray> parts) {
  ByteArray r;
  for (const auto& p : parts) r.insert(r.end(), p.begin(), p.end());
  return r;
}

// A new request header: null token, Timestamp 0.0 (1899-12-30), zeros, null audit id, null
// additional header.
const char kNewRequestHeader[] =
    "00 00  00 C0 0C A9 A9 35 4F 01  00000000 00000000 FFFFFFFF 00000000  00 00 00";
// A new response header: Timestamp 0.0, zeros, no diagnostics, no strings, no header.
const char kNewResponseHeader[] = "00 C0 0C A9 A9 35 4F 01  00000000 00000000  00  FFFFFFFF  00 00 00";

// ---------------------------------------------------------------------------------------
// The table

TEST(ServiceTypes, TableHoldsEveryTypeOnceWithItsFactory) {
  const auto& table = ServiceTypeTable();
  EXPECT_EQ(table.size(), 152u);
  EXPECT_EQ(ServiceEnumTable().size(), 11u);
  std::set<int32_t> ids;
  std::set<std::string> names;
  for (const auto& t : table) {
    SCOPED_TRACE(t.name);
    EXPECT_TRUE(ids.insert(t.objNo).second);
    EXPECT_TRUE(names.insert(t.name).second);
    auto o = t.create();
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->ObjNo, t.objNo);
    EXPECT_EQ(o->NamespaceIndex, 0);
    auto again = o->Create();
    EXPECT_EQ(TypeOf(*again), TypeOf(*o));
    EXPECT_EQ(FindServiceType(t.objNo), &t);
    // Requests and responses reach their header through the base class.
    std::string_view cat = t.category;
    if (cat == "Request") {
      auto* r = dynamic_cast<TuaRequestObj*>(o.get());
      ASSERT_NE(r, nullptr);
      EXPECT_NE(r->GetRequestHeader(), nullptr);
    } else if (cat == "Response") {
      auto* r = dynamic_cast<TuaResponseObj*>(o.get());
      ASSERT_NE(r, nullptr);
      EXPECT_NE(r->GetResponseHeader(), nullptr);
    } else {
      EXPECT_EQ(dynamic_cast<TuaRequestObj*>(o.get()), nullptr);
      EXPECT_EQ(dynamic_cast<TuaResponseObj*>(o.get()), nullptr);
    }
  }
  EXPECT_EQ(FindServiceType(1), nullptr);
  EXPECT_EQ(CreateServiceObject(999999), nullptr);
}

// Every type: a new object encodes, decodes as the same class and encodes to the same bytes.
TEST(ServiceTypes, EveryNewObjectRoundTrips) {
  for (const auto& t : ServiceTypeTable()) {
    SCOPED_TRACE(t.name);
    auto o = t.create();
    ByteArray bytes = EncodeServiceMessage(*o);
    auto back = DecodeServiceMessage(bytes);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(TypeOf(*back), TypeOf(*o));
    EXPECT_EQ(ToHex(EncodeServiceMessage(*back)), ToHex(bytes));
    auto twice = DecodeServiceMessage(bytes);
    EXPECT_EQ(twice->ToString(), back->ToString());
    EXPECT_TRUE(StartsWith(o->ToString(), std::string("{\"ClassId\":\"")));
  }
}

TEST(ServiceTypes, ServiceTablePairsRequestsWithResponses) {
  struct Case {
    int32_t request, response;
  } cases[] = {{631, 634}, {428, 431}, {446, 449}, {461, 464}, {467, 470}, {527, 530},     {533, 536},
               {673, 676}, {712, 715}, {787, 790}, {751, 754}, {826, 829}, {12208, 12209}, {12211, 12212}};
  for (const auto& c : cases) EXPECT_EQ(ResponseIdForRequest(c.request), c.response) << c.request;
  EXPECT_EQ(ResponseIdForRequest(397), 0);  // ServiceFault is no request
  EXPECT_EQ(ResponseIdForRequest(634), 0);
  const auto& services = ServiceInfoTable();
  auto read =
      std::find_if(services.begin(), services.end(), [](const ServiceInfo& s) { return s.name == "Read"; });
  ASSERT_NE(read, services.end());
  EXPECT_EQ(read->requestId, 631);
  for (const auto& s : services) {
    EXPECT_EQ(std::string(FindServiceType(s.requestId)->name), "ua" + s.name + "Request");
    EXPECT_EQ(std::string(FindServiceType(s.responseId)->name), "ua" + s.name + "Response");
  }
}

// ---------------------------------------------------------------------------------------
// Construction and wire form

TEST(ServiceTypes, NewReadRequestAndItsEncoding) {
  uaReadRequest r;
  EXPECT_EQ(r.ObjNo, 631);
  EXPECT_NE(r.RequestHeader, nullptr);
  EXPECT_EQ(r.TimestampsToReturn, nullptr);
  EXPECT_TRUE(r.NodesToRead.empty());
  EXPECT_EQ(ToHex(Encode(r)),
            ToHex(Concat({Hex(kNewRequestHeader), Hex("0000000000000000 00000000 FFFFFFFF")})));
  // As a message: the four-byte node id of 631 first.
  EXPECT_EQ(ToHex(EncodeServiceMessage(r)), ToHex(Concat({Hex("01 00 77 02"), Encode(r)})));
}

TEST(ServiceTypes, ConstructorsCreateTheNestedStructures) {
  uaEndpointDescription ep;
  EXPECT_NE(ep.Server, nullptr);
  uaOpenSecureChannelResponse osc;
  EXPECT_NE(osc.SecurityToken, nullptr);
  EXPECT_NE(osc.ResponseHeader, nullptr);
  uaBrowseRequest br;
  EXPECT_NE(br.View, nullptr);
  uaMonitoredItemCreateRequest mi;
  EXPECT_NE(mi.ItemToMonitor, nullptr);
  EXPECT_NE(mi.RequestedParameters, nullptr);
  EXPECT_EQ(mi.MonitoringMode, nullptr);
  uaPublishResponse pr;
  EXPECT_NE(pr.NotificationMessage, nullptr);
  uaServerStatusDataType st;
  EXPECT_NE(st.BuildInfo, nullptr);
  EXPECT_EQ(st.ShutdownReason, nullptr);
}

TEST(ServiceTypes, SetlengthResizesWithNewObjects) {
  uaBrowseRequest r;
  r.NodesToBrowse_Setlength(3);
  ASSERT_EQ(r.NodesToBrowse.size(), 3u);
  for (const auto& e : r.NodesToBrowse) EXPECT_NE(e, nullptr);
  r.NodesToBrowse[0]->NodeClassMask = 7;
  r.NodesToBrowse_Setlength(1);
  ASSERT_EQ(r.NodesToBrowse.size(), 1u);
  EXPECT_EQ(r.NodesToBrowse[0]->NodeClassMask, 7u);
  uaNode n;
  n.RolePermissions_Setlength(2);
  n.UserRolePermissions_Setlength(1);
  n.References_Setlength(4);
  EXPECT_EQ(n.RolePermissions.size() + n.UserRolePermissions.size() + n.References.size(), 7u);
}

TEST(ServiceTypes, DerivedTypesEncodeTheirBaseFirst) {
  uaUserNameIdentityToken t;
  EXPECT_EQ(t.ObjNo, 324);
  t.PolicyId = "u";
  t.UserName = "bob";
  t.Password = {1, 2};
  EXPECT_EQ(ToHex(Encode(t)), ToHex(Hex("01000000 75  03000000 626F62  02000000 0102  FFFFFFFF")));

  uaDataChangeFilter f;
  f.Trigger = std::make_unique<uaDataChangeTrigger>(1);
  f.DeadbandType = 1;
  f.DeadbandValue = 0.5;
  EXPECT_EQ(ToHex(Encode(f)), ToHex(Hex("01000000 01000000 000000000000E03F")));

  // A variable node: every node field, then the variable's own.
  uaVariableNode v;
  EXPECT_EQ(v.ObjNo, 269);
  uaNode plain;
  ByteArray node = Encode(plain);
  v.ValueRank = -1;
  v.AccessLevel = 3;
  ByteArray bytes = Encode(v);
  ASSERT_GT(bytes.size(), node.size());
  EXPECT_EQ(ToHex(ByteArray(bytes.begin(), bytes.begin() + node.size())), ToHex(node));
  auto back = DecodeServiceMessage(EncodeServiceMessage(v));
  auto* vb = dynamic_cast<uaVariableNode*>(back.get());
  ASSERT_NE(vb, nullptr);
  EXPECT_EQ(vb->ValueRank, -1);
  EXPECT_EQ(vb->AccessLevel, 3);
}

TEST(ServiceTypes, DecodedEnumerationKeepsItsNumberAndPrintsItsName) {
  for (int32_t value : {2, 7, -1}) {
    uaReadRequest r;
    r.TimestampsToReturn = std::make_unique<uaTimestampsToReturn>(value);
    auto back = DecodeServiceMessage(EncodeServiceMessage(r));
    auto& rb = dynamic_cast<uaReadRequest&>(*back);
    ASSERT_NE(rb.TimestampsToReturn, nullptr);
    EXPECT_EQ(TypeOf(*rb.TimestampsToReturn), typeid(uaEnum));
    EXPECT_EQ(rb.TimestampsToReturn->Value, value);
    EXPECT_EQ(rb.TimestampsToReturn->ToString(), IntToStr(value));
    std::string name = value == 2 ? "Both" : "NONE " + IntToStr(value);
    EXPECT_NE(rb.ToString().find("\"TimestampsToReturn\":\"" + name + "\""), std::string::npos);
    EXPECT_EQ(ToHex(EncodeServiceMessage(rb)), ToHex(EncodeServiceMessage(r)));
  }
}

TEST(ServiceTypes, EnumerationNames) {
  EXPECT_EQ(uaNodeClass::ToString(1), "Obj");
  EXPECT_EQ(uaNodeClass::ToString(3), "NONE 3");
  EXPECT_EQ(uaNodeClass::ToString(128), "View");
  EXPECT_EQ(uaFilterOperator::ToString(7), "_Not");
  EXPECT_EQ(uaServerState::ToString(7), "Unknown");
  EXPECT_EQ(uaBrowseDirection::ToString(3), "Invalid");
  uaMonitoringMode m(2);
  EXPECT_EQ(m.ValueName(), "Reporting");
  EXPECT_EQ(static_cast<const uaEnum&>(m).ToString(), "2");
  EXPECT_EQ(m.Clone()->ToString(), "2");
  EXPECT_EQ(TypeOf(*m.Clone()), typeid(uaMonitoringMode));
}

TEST(ServiceTypes, NullNestedStructureIsAnEncodingErrorAndIsRecreatedOnDecoding) {
  uaReadRequest r;
  r.RequestHeader.reset();
  EXPECT_EQ(r.GetRequestHeader(), nullptr);
  try {
    Encode(r);
    FAIL() << "no error";
  } catch (const EuaEncodeError& e) {
    EXPECT_STREQ(e.what(), "Error Message: nil");
  }
  uaReadRequest full;
  ByteArray bytes = Encode(full);
  TuaBinaryDecoder d(bytes);
  r.Decode(d);
  EXPECT_NE(r.RequestHeader, nullptr);
}

// ---------------------------------------------------------------------------------------
// Decoding errors and bounds

TEST(ServiceTypes, ArrayCountsAreBoundedByTheBytesLeft) {
  ByteArray readHead = Concat({Hex("01 00 7A 02"), Hex(kNewResponseHeader)});
  // Zero and -1 give empty arrays.
  for (const char* counts : {"00000000 FFFFFFFF", "FFFFFFFF 00000000", "00000000 00000000"}) {
    auto r = DecodeServiceMessage(Concat({readHead, Hex(counts)}));
    auto& rr = dynamic_cast<uaReadResponse&>(*r);
    EXPECT_TRUE(rr.Results.empty());
    EXPECT_TRUE(rr.DiagnosticInfos.empty());
  }
  struct Case {
    const char* what;
    ByteArray bytes;
  } cases[] = {
      {"DataValue[] with a huge count", Concat({readHead, Hex("FFFFFF7F")})},
      {"DataValue[] longer than the bytes", Concat({readHead, Hex("03000000 00 00")})},
      {"structure array with a huge count",
       Concat({Hex("01 00 12 02"), Hex(kNewResponseHeader), Hex("FFFFFF7F 01 02 03 04")})},
      {"String[] inside the header with a huge count",
       Hex("01 00 7A 02  00C00CA9A9354F01 00000000 00000000 00 FFFFFF7F 41")},
      {"UInt32[] with a count of 1000 and 8 bytes",
       Concat({Hex("01 00 3D 03"), Hex(kNewResponseHeader), Hex("01000000 E8030000 0000000000000000")})},
      {"truncated body", Hex("01 00 7A 02  00C00CA9")},
      {"unknown message id", Hex("01 00 FF FF")},
      {"string form message id", Hex("03 00 00 01 00 00 00 41")},
      {"empty", {}},
  };
  for (const auto& c : cases) {
    EXPECT_THROW(DecodeServiceMessage(c.bytes), EuaDecodeError) << c.what;
  }
}

TEST(ServiceTypes, TrailingBytesAreAnErrorOnlyWhenAsked) {
  uaCloseSessionResponse r;
  ByteArray bytes = Concat({EncodeServiceMessage(r), Hex("AA")});
  EXPECT_THROW(DecodeServiceMessage(bytes), EuaDecodeError);
  EXPECT_NE(DecodeServiceMessage(bytes, false), nullptr);
}

// ---------------------------------------------------------------------------------------
// Structures inside extension objects

TEST(ServiceTypes, FilterAndNotificationsTravelInExtensionObjects) {
  uaCreateMonitoredItemsRequest req;
  req.SubscriptionId = 9;
  req.TimestampsToReturn = std::make_unique<uaTimestampsToReturn>(2);
  req.ItemsToCreate_Setlength(1);
  auto& item = *req.ItemsToCreate[0];
  item.ItemToMonitor->NodeId = std::make_unique<uaNodeId>("Demo.Static", 2);
  item.ItemToMonitor->AttributeId = 13;
  item.MonitoringMode = std::make_unique<uaMonitoringMode>(2);
  auto filter = std::make_shared<uaDataChangeFilter>();
  filter->Trigger = std::make_unique<uaDataChangeTrigger>(1);
  filter->DeadbandValue = 0.25;
  item.RequestedParameters->Filter = std::make_unique<uaExtensionObject>(filter);
  item.RequestedParameters->QueueSize = 5;

  auto back = DecodeServiceMessage(EncodeServiceMessage(req));
  auto& rb = dynamic_cast<uaCreateMonitoredItemsRequest&>(*back);
  ASSERT_EQ(rb.ItemsToCreate.size(), 1u);
  const auto& ext = *rb.ItemsToCreate[0]->RequestedParameters->Filter;
  EXPECT_EQ(ext.Encoding, uaExtensionObject::eo_BinaryBody);
  EXPECT_EQ(ext.ObjNo(), 724);
  uaDataChangeFilter f;
  TExtensionObjReader::ReadObject(ext, f);
  ASSERT_NE(f.Trigger, nullptr);
  EXPECT_EQ(f.Trigger->Value, 1);
  EXPECT_EQ(f.DeadbandValue, 0.25);
  EXPECT_EQ(rb.ItemsToCreate[0]->ItemToMonitor->NodeId->ToString(), "ns=2;s=Demo.Static");
  // The binary body re-encodes to the same bytes as the encodeable object did.
  EXPECT_EQ(ToHex(EncodeServiceMessage(rb)), ToHex(EncodeServiceMessage(req)));

  uaPublishResponse pub;
  pub.SubscriptionId = 3;
  auto dcn = std::make_shared<uaDataChangeNotification>();
  dcn->MonitoredItems_Setlength(2);
  for (int i = 0; i < 2; ++i) {
    dcn->MonitoredItems[i]->ClientHandle = 100 + i;
    dcn->MonitoredItems[i]->Value = std::make_unique<uaDataValue>(std::make_unique<uaVariant>(1.5 * i));
  }
  auto scn = std::make_shared<uaStatusChangeNotification>();
  scn->Status = 0x80AB0000u;
  pub.NotificationMessage->NotificationData.push_back(std::make_unique<uaExtensionObject>(dcn));
  pub.NotificationMessage->NotificationData.push_back(std::make_unique<uaExtensionObject>(scn));
  auto pb = DecodeServiceMessage(EncodeServiceMessage(pub));
  auto& pr = dynamic_cast<uaPublishResponse&>(*pb);
  ASSERT_EQ(pr.NotificationMessage->NotificationData.size(), 2u);
  uaDataChangeNotification d;
  TExtensionObjReader::ReadObject(*pr.NotificationMessage->NotificationData[0], d);
  ASSERT_EQ(d.MonitoredItems.size(), 2u);
  EXPECT_EQ(d.MonitoredItems[1]->ClientHandle, 101u);
  EXPECT_EQ(d.MonitoredItems[1]->Value->Value->Get<double>(), 1.5);
  uaStatusChangeNotification s;
  TExtensionObjReader::ReadObject(*pr.NotificationMessage->NotificationData[1], s);
  EXPECT_EQ(s.Status, 0x80AB0000u);
  // The wrong class for a body is refused.
  uaStatusChangeNotification wrong;
  EXPECT_THROW(TExtensionObjReader::ReadObject(*pr.NotificationMessage->NotificationData[0], wrong),
               EuaCodecError);
}

TEST(ServiceTypes, IdentityTokenIsSharedByCopiesOfItsExtensionObject) {
  auto token = std::make_shared<uaUserNameIdentityToken>();
  token->PolicyId = "user";
  token->UserName = "demo";
  uaActivateSessionRequest req;
  req.UserIdentityToken = std::make_unique<uaExtensionObject>(token);
  token.reset();
  uaExtensionObject copy(*req.UserIdentityToken);
  ByteArray before = EncodeServiceMessage(req);
  req.UserIdentityToken.reset();  // the copy keeps the token alive
  req.UserIdentityToken = std::make_unique<uaExtensionObject>(copy);
  EXPECT_EQ(ToHex(EncodeServiceMessage(req)), ToHex(before));
  auto back = DecodeServiceMessage(before);
  uaUserNameIdentityToken t;
  TExtensionObjReader::ReadObject(*dynamic_cast<uaActivateSessionRequest&>(*back).UserIdentityToken, t);
  EXPECT_EQ(t.UserName, "demo");
  EXPECT_EQ(t.PolicyId, "user");
}

// ---------------------------------------------------------------------------------------
// Text form

TEST(ServiceTypes, TextOfANewRequestHeader) {
  uaRequestHeader h;
  EXPECT_EQ(h.ToString(),
            "{\"ClassId\":\"uaRequestHeader-391\",\r\n"
            "\"AuthenticationToken\":\"\",\r\n"
            "\"Timestamp\":\"1899-12-30\",\r\n"
            "\"RequestHandle\":\"0\",\r\n"
            "\"ReturnDiagnostics\":\"0\",\r\n"
            "\"AuditEntryId\":\"\",\r\n"
            "\"TimeoutHint\":\"0\",\r\n"
            "\"AdditionalHeader\":\"\"\r\n"
            "}\r\n");
}

TEST(ServiceTypes, TextOfATypeWithoutFieldsAndOfDerivedTypes) {
  EXPECT_EQ(uaMonitoringFilter().ToString(), "{\"ClassId\":\"uaMonitoringFilter-721\",\r\n}\r\n");
  // The base part's text takes the place of the class name.
  uaAnonymousIdentityToken a;
  a.PolicyId = "anon";
  EXPECT_EQ(a.ToString(),
            "{\"ClassId\":\"{\"ClassId\":\"uaUserIdentityToken-321\",\r\n\"PolicyId\":\"anon\"\r\n}\r\n-"
            "321\",\r\n}\r\n");
  uaVariableNode v;
  std::string s = v.ToString();
  EXPECT_TRUE(StartsWith(
      s, std::string("{\"ClassId\":\"{\"ClassId\":\"{\"ClassId\":\"uaNode-269\",\r\n\"NodeId\":\"\",")));
  EXPECT_NE(s.find("}\r\n-269\",\r\n}\r\n-269\",\r\n\"Value\":\"\""), std::string::npos);
}

TEST(ServiceTypes, TextOfFieldValues) {
  uaCreateSessionRequest r;
  r.ClientNonce = {1, 20, 255};
  r.RequestedSessionTimeout = 1.5;
  r.SessionName = "a \"b\"";
  r.MaxResponseMessageSize = 4294967295u;
  r.ClientDescription->ApplicationType = std::make_unique<uaApplicationType>(1);
  r.ClientDescription->ApplicationName = std::make_unique<uaLocalizedText>("Explorer", "en");
  r.ClientDescription->DiscoveryUrls = {"opc.tcp://a", "opc.tcp://b"};
  std::string s = r.ToString();
  for (const char* part :
       {"\"ClientNonce\":\"120255\"", "\"RequestedSessionTimeout\":\"1.5\"", "\"SessionName\":\"a \"b\"\"",
        "\"MaxResponseMessageSize\":\"4294967295\"", "\"ApplicationType\":\"Client\"",
        "\"ApplicationName\":\"Explorer:l=en\"", "\"DiscoveryUrls\":[\"opc.tcp://a\",\r\n\"opc.tcp://b\"]",
        "\"ClientDescription\":{\"ClassId\":\"uaApplicationDescription-310\",\r\n",
        "\"ClientCertificate\":\"\""}) {
    EXPECT_NE(s.find(part), std::string::npos) << part << "\n" << s;
  }
  // A time stamp from the wire beyond the last displayable date still prints.
  ByteArray fault = Hex("01 00 8D 01  00C0C00CA9A9354F 01000000 00000000 00 FFFFFFFF 000000");
  auto sf = DecodeServiceMessage(fault);
  EXPECT_NE(sf->ToString().find("\"Timestamp\":\""), std::string::npos);
  // So does a variant holding such a date: it reads as the largest date-time.
  ByteArray read =
      Concat({Hex("01 00 7A 02"), Hex(kNewResponseHeader), Hex("01000000 01 0D FEFFFFFFFFFFFF7F FFFFFFFF")});
  std::string text = DecodeServiceMessage(read)->ToString();
  EXPECT_NE(text.find("\"Results\":[\"9999-12-31 23:59:59"), std::string::npos) << text;
  ByteArray once = EncodeServiceMessage(*sf);
  EXPECT_EQ(ToHex(EncodeServiceMessage(*DecodeServiceMessage(once))), ToHex(once));

  uaCloseSessionRequest c;
  c.DeleteSubscriptions = true;
  EXPECT_NE(c.ToString().find("\"DeleteSubscriptions\":\"-1\""), std::string::npos);
  uaGetEndpointsRequest g;
  EXPECT_NE(g.ToString().find("\"ProfileUris\":[\"\"]"), std::string::npos);
  uaReadResponse rr;
  rr.Results.push_back(std::make_unique<uaDataValue>(std::make_unique<uaVariant>(int32_t{42})));
  rr.Results.push_back(nullptr);
  EXPECT_NE(rr.ToString().find("\"Results\":[\"42\",\r\n\"\"]"), std::string::npos) << rr.ToString();
}

// ---------------------------------------------------------------------------------------
// The description table against the published schema and node ids

std::string TypesDataFile(const std::string& relative) {
  std::string path = test::SourcePath("tests/typesdata/node_modules/" + relative);
  if (!std::filesystem::exists(path)) {
    ADD_FAILURE() << "missing " << path << " (scripts/deps installs tests/typesdata)";
    return {};
  }
  return test::ReadTextFile(path);
}

std::string Attr(const std::string& line, const std::string& name) {
  std::string key = " " + name + "=\"";
  size_t p = line.find(key);
  if (p == std::string::npos) return {};
  p += key.size();
  return line.substr(p, line.find('"', p) - p);
}

struct SchemaField {
  std::string name, type;
  bool array = false;
};
struct SchemaType {
  std::string base;
  std::vector<SchemaField> fields;  // own fields, without the length fields of arrays
};
struct Schema {
  std::map<std::string, SchemaType> structs;
  std::map<std::string, std::map<int32_t, std::string>> enums;
};

Schema ReadSchema() {
  std::string src = TypesDataFile("node-opcua-nodesets/nodesets/Opc.Ua.Types.bsd");
  Schema s;
  SchemaType* cur = nullptr;
  std::map<int32_t, std::string>* curEnum = nullptr;
  for (const std::string& line : Split(src, '\n')) {
    if (line.find("<opc:StructuredType ") != std::string::npos) {
      cur = &s.structs[Attr(line, "Name")];
      cur->base = Attr(line, "BaseType");
    } else if (line.find("</opc:StructuredType>") != std::string::npos) {
      if (cur) {
        // Drop the length fields of the arrays.
        std::set<std::string> lengths;
        std::vector<SchemaField> own;
        for (const auto& f : cur->fields) {
          if (f.type.rfind("#len:", 0) == 0) lengths.insert(f.type.substr(5));
        }
        for (const auto& f : cur->fields) {
          if (f.type.rfind("#", 0) == 0 || lengths.count(f.name)) continue;
          own.push_back(f);
        }
        cur->fields = own;
      }
      cur = nullptr;
    } else if (cur && line.find("<opc:Field ") != std::string::npos) {
      if (!Attr(line, "SourceType").empty()) continue;  // a base type's field
      std::string len = Attr(line, "LengthField");
      if (!len.empty()) cur->fields.push_back({"", "#len:" + len, false});
      cur->fields.push_back({Attr(line, "Name"), Attr(line, "TypeName"), !len.empty()});
    } else if (line.find("<opc:EnumeratedType ") != std::string::npos) {
      curEnum = &s.enums[Attr(line, "Name")];
    } else if (line.find("</opc:EnumeratedType>") != std::string::npos) {
      curEnum = nullptr;
    } else if (curEnum && line.find("<opc:EnumeratedValue ") != std::string::npos) {
      (*curEnum)[static_cast<int32_t>(StrToInt(Attr(line, "Value")))] = Attr(line, "Name");
    }
  }
  return s;
}

std::map<std::string, uint32_t> PublishedObjectIds() {
  std::string src = TypesDataFile("node-opcua-constants/source/opcua_node_ids.ts");
  std::map<std::string, uint32_t> ids;
  size_t start = src.find("export enum ObjectIds {");
  if (start == std::string::npos) return ids;
  std::string body = src.substr(start, src.find('}', start) - start);
  for (const std::string& line : Split(body, '\n')) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string name(Trim(std::string_view(line).substr(0, eq)));
    std::string value(Trim(std::string_view(line).substr(eq + 1)));
    if (!value.empty() && value.back() == ',') value.pop_back();
    ids[name] = static_cast<uint32_t>(StrToUInt64(std::string(Trim(value))));
  }
  return ids;
}

// The schema type name of a built-in field kind.
std::string SchemaTypeOf(const std::string& kind) {
  static const std::map<std::string, std::string> m = {
      {"Boolean", "opc:Boolean"},
      {"Byte", "opc:Byte"},
      {"UInt16", "opc:UInt16"},
      {"Int32", "opc:Int32"},
      {"UInt32", "opc:UInt32"},
      {"Double", "opc:Double"},
      {"DateTime", "opc:DateTime"},
      {"StatusCode", "ua:StatusCode"},
      {"String", "opc:String"},
      {"ByteString", "opc:ByteString"},
      {"NodeId", "ua:NodeId"},
      {"ExpandedNodeId", "ua:ExpandedNodeId"},
      {"QualifiedName", "ua:QualifiedName"},
      {"LocalizedText", "ua:LocalizedText"},
      {"ExtensionObject", "ua:ExtensionObject"},
      {"DataValue", "ua:DataValue"},
      {"Variant", "ua:Variant"},
      {"DiagnosticInfo", "ua:DiagnosticInfo"},
  };
  auto it = m.find(kind);
  return it == m.end() ? "?" + kind : it->second;
}

std::string Unprefixed(const std::string& name) {
  return name.substr(2);
}  // without "ua"

TEST(ServiceTypesPublished, EncodingIdsMatchThePublishedNodeIds) {
  auto ids = PublishedObjectIds();
  ASSERT_FALSE(ids.empty());
  for (const auto& t : ServiceTypeTable()) {
    auto it = ids.find(Unprefixed(t.name) + "_Encoding_DefaultBinary");
    ASSERT_NE(it, ids.end()) << t.name;
    EXPECT_EQ(static_cast<int32_t>(it->second), t.objNo) << t.name;
  }
}

TEST(ServiceTypesPublished, FieldsMatchThePublishedSchema) {
  // Node classes are no longer part of the published binary schema; their layout is checked
  // by the tests above (base first) and by their encoding ids.
  const std::set<std::string> notInSchema = {
      "uaNode",         "uaInstanceNode",  "uaTypeNode",       "uaObjectNode",       "uaVariableNode",
      "uaMethodNode",   "uaViewNode",      "uaObjectTypeNode", "uaVariableTypeNode", "uaReferenceTypeNode",
      "uaDataTypeNode", "uaReferenceNode",
  };
  Schema schema = ReadSchema();
  ASSERT_GT(schema.structs.size(), 100u);
  std::set<std::string> enumNames;
  for (const auto& e : ServiceEnumTable()) enumNames.insert(e.name);
  for (const auto& t : ServiceTypeTable()) {
    SCOPED_TRACE(t.name);
    auto it = schema.structs.find(Unprefixed(t.name));
    if (notInSchema.count(t.name)) {
      EXPECT_EQ(it, schema.structs.end()) << "now published: check it against the schema";
      continue;
    }
    ASSERT_NE(it, schema.structs.end());
    const SchemaType& st = it->second;
    if (std::string_view(t.category) == "Derived") {
      EXPECT_EQ(st.base, "tns:" + Unprefixed(t.base));
    } else {
      EXPECT_EQ(st.base, "ua:ExtensionObject");
    }
    ASSERT_EQ(st.fields.size(), t.fields.size());
    // Option sets that this system holds as the plain number they are on the wire.
    const std::map<std::string, std::string> optionSets = {{"Permissions", "tns:PermissionType"}};
    for (size_t i = 0; i < t.fields.size(); ++i) {
      const auto& ours = t.fields[i];
      const auto& pub = st.fields[i];
      SCOPED_TRACE(ours.name);
      EXPECT_EQ(pub.name, ours.name);
      std::string kind = ours.kind, arg = ours.arg;
      bool array = kind == "Array" || kind == "StructArray";
      EXPECT_EQ(pub.array, array);
      std::string expected;
      if (kind == "Enum") {
        EXPECT_TRUE(enumNames.count(arg));
        expected = "tns:" + Unprefixed(arg);
      } else if (kind == "Struct" || kind == "StructArray") {
        expected = "tns:" + Unprefixed(arg);
      } else {
        expected = SchemaTypeOf(kind == "Array" ? arg : kind);
        auto o = optionSets.find(ours.name);
        if (kind == "UInt32" && o != optionSets.end() && pub.type == o->second) expected = o->second;
      }
      EXPECT_EQ(pub.type, expected);
    }
  }
}

TEST(ServiceTypesPublished, EnumerationsMatchThePublishedSchema) {
  // Names this system spells differently from the published ones.
  const std::map<std::string, std::string> renamed = {{"uaNodeClass/Obj", "Object"},
                                                      {"uaFilterOperator/_Not", "Not"},
                                                      {"uaFilterOperator/_And", "And"},
                                                      {"uaFilterOperator/_Or", "Or"}};
  Schema schema = ReadSchema();
  for (const auto& e : ServiceEnumTable()) {
    SCOPED_TRACE(e.name);
    auto it = schema.enums.find(Unprefixed(e.name));
    ASSERT_NE(it, schema.enums.end());
    EXPECT_EQ(it->second.size(), e.values.size());
    for (const auto& [value, name] : e.values) {
      auto r = renamed.find(std::string(e.name) + "/" + name);
      std::string published = r == renamed.end() ? std::string(name) : r->second;
      auto v = it->second.find(value);
      ASSERT_NE(v, it->second.end()) << value;
      EXPECT_EQ(v->second, published);
    }
  }
}

}  // namespace
}  // namespace varo::ua
