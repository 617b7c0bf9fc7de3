// SPDX-License-Identifier: MPL-2.0
// Golden service messages: complete messages (encoding node id, then the body) as an
// independent OPC UA stack (node-opcua, see tests/typesdata/generate_messages.js) encodes them.
// Every line of tests/typesdata/service_messages.txt is decoded through the message registry,
// must give the expected class with the expected key fields (extension objects unpacked into
// their structures), and must re-encode to exactly the same bytes.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "support/test_support.h"
#include "ua/encoding/binary_codec.h"
#include "ua/encoding/builtin_types.h"
#include "ua/encoding/service_types.h"

namespace varo::ua {
namespace {

using varo::test::Hex;
using varo::test::ToHex;

using Message = varo::test::GoldenCase;

std::vector<Message> LoadMessages() {
  return varo::test::LoadGoldenCases("tests/typesdata/service_messages.txt");
}

// The dates the generator uses: 2024-05-17 06:00, 12:00 and 18:00 UTC.
const TDateTime kT1 = varo::EncodeDateTime({2024, 5, 17, 6, 0, 0, 0});
const TDateTime kT2 = varo::EncodeDateTime({2024, 5, 17, 12, 0, 0, 0});
const TDateTime kT3 = varo::EncodeDateTime({2024, 5, 17, 18, 0, 0, 0});

const uaNodeId kSessionToken(ByteArray{0xa1, 0xb2, 0xc3, 0xd4}, 1);
constexpr uaStatusCode kBadNodeIdUnknown = 0x80340000;

// The object as class T; fails the test (and returns null) for another class.
template <class T>
T* As(TuaObj& aObj) {
  T* p = dynamic_cast<T*>(&aObj);
  EXPECT_NE(p, nullptr) << "expected " << T::kClassName;
  return p;
}

int32_t EnumValue(const std::unique_ptr<uaEnum>& aEnum) {
  return aEnum ? aEnum->Value : -1;
}

void ExpectRequestHeader(const TuaRequestObj& aRequest, uint32_t aHandle, const uaNodeId& aToken) {
  const uaRequestHeader* h = aRequest.GetRequestHeader();
  ASSERT_NE(h, nullptr);
  ASSERT_NE(h->AuthenticationToken, nullptr);
  EXPECT_EQ(*h->AuthenticationToken, aToken);
  EXPECT_EQ(h->Timestamp, kT1);
  EXPECT_EQ(h->RequestHandle, aHandle);
  EXPECT_EQ(h->TimeoutHint, 10000u);
  EXPECT_TRUE(h->AuditEntryId.empty());
}

void ExpectResponseHeader(const TuaResponseObj& aResponse, uint32_t aHandle, uaStatusCode aResult = 0) {
  const uaResponseHeader* h = aResponse.GetResponseHeader();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(h->Timestamp, kT2);
  EXPECT_EQ(h->RequestHandle, aHandle);
  EXPECT_EQ(h->ServiceResult, aResult);
  EXPECT_TRUE(h->StringTable.empty());
}

void ExpectScalar(const std::unique_ptr<uaVariant>& aValue, uaBuildInType aType) {
  ASSERT_NE(aValue, nullptr);
  EXPECT_EQ(aValue->BuildInType(), aType);
  EXPECT_EQ(aValue->ValueRank(), -1);
}

void ExpectEndpoint(const uaEndpointDescription& e, int32_t aMode, uint8_t aLevel,
                    const std::vector<std::pair<std::string, int32_t>>& aTokens) {
  EXPECT_EQ(e.EndpointUrl, "opc.tcp://localhost:4840");
  ASSERT_NE(e.Server, nullptr);
  EXPECT_EQ(e.Server->ApplicationUri, "urn:varo:test:server");
  ASSERT_NE(e.Server->ApplicationName, nullptr);
  EXPECT_EQ(*e.Server->ApplicationName, uaLocalizedText("Test Server", "en"));
  EXPECT_EQ(EnumValue(e.Server->ApplicationType), 0);  // Server
  EXPECT_EQ(e.Server->DiscoveryUrls, std::vector<std::string>{"opc.tcp://localhost:4840"});
  EXPECT_EQ(EnumValue(e.SecurityMode), aMode);
  EXPECT_EQ(e.SecurityLevel, aLevel);
  ASSERT_EQ(e.UserIdentityTokens.size(), aTokens.size());
  for (size_t i = 0; i < aTokens.size(); ++i) {
    EXPECT_EQ(e.UserIdentityTokens[i]->PolicyId, aTokens[i].first);
    EXPECT_EQ(EnumValue(e.UserIdentityTokens[i]->TokenType), aTokens[i].second);
  }
}

using Check = std::function<void(TuaObj&)>;

const std::map<std::string, Check>& Checks() {
  static const std::map<std::string, Check> checks = {
      {"GetEndpointsRequest",
       [](TuaObj& o) {
         auto* m = As<uaGetEndpointsRequest>(o);
         if (!m) return;
         ExpectRequestHeader(*m, 1, uaNodeId());
         EXPECT_EQ(m->EndpointUrl, "opc.tcp://localhost:4840");
         EXPECT_EQ(m->LocaleIds, (std::vector<std::string>{"en", "de"}));
         EXPECT_TRUE(m->ProfileUris.empty());
       }},
      {"GetEndpointsResponse",
       [](TuaObj& o) {
         auto* m = As<uaGetEndpointsResponse>(o);
         if (!m) return;
         ExpectResponseHeader(*m, 1);
         ASSERT_EQ(m->Endpoints.size(), 2u);
         ExpectEndpoint(*m->Endpoints[0], 1, 1, {{"anonymous", 0}, {"username_basic256", 1}});
         EXPECT_TRUE(m->Endpoints[0]->ServerCertificate.empty());
         EXPECT_EQ(m->Endpoints[0]->UserIdentityTokens[1]->SecurityPolicyUri,
                   "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256");
         ExpectEndpoint(*m->Endpoints[1], 3, 3, {{"certificate", 2}});
         EXPECT_EQ(m->Endpoints[1]->ServerCertificate, (ByteArray{0x30, 0x82, 0x01, 0x0a}));
         EXPECT_EQ(m->Endpoints[1]->TransportProfileUri,
                   "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary");
       }},
      {"OpenSecureChannelRequest",
       [](TuaObj& o) {
         auto* m = As<uaOpenSecureChannelRequest>(o);
         if (!m) return;
         ExpectRequestHeader(*m, 2, uaNodeId());
         EXPECT_EQ(m->ClientProtocolVersion, 0u);
         EXPECT_EQ(EnumValue(m->RequestType), 1);   // Renew
         EXPECT_EQ(EnumValue(m->SecurityMode), 2);  // Sign
         EXPECT_EQ(m->ClientNonce, (ByteArray{1, 2, 3, 4, 5, 6, 7, 8}));
         EXPECT_EQ(m->RequestedLifetime, 3600000u);
       }},
      {"OpenSecureChannelResponse",
       [](TuaObj& o) {
         auto* m = As<uaOpenSecureChannelResponse>(o);
         if (!m) return;
         ExpectResponseHeader(*m, 2);
         ASSERT_NE(m->SecurityToken, nullptr);
         EXPECT_EQ(m->SecurityToken->ChannelId, 17u);
         EXPECT_EQ(m->SecurityToken->TokenId, 2u);
         EXPECT_EQ(m->SecurityToken->CreatedAt, kT2);
         EXPECT_EQ(m->SecurityToken->RevisedLifetime, 600000u);
         EXPECT_EQ(m->ServerNonce, (ByteArray{0xf0, 0xe1, 0xd2, 0xc3}));
       }},
      {"CreateSessionRequest",
       [](TuaObj& o) {
         auto* m = As<uaCreateSessionRequest>(o);
         if (!m) return;
         ExpectRequestHeader(*m, 3, uaNodeId());
         ASSERT_NE(m->ClientDescription, nullptr);
         EXPECT_EQ(m->ClientDescription->ApplicationUri, "urn:varo:explorer");
         EXPECT_EQ(EnumValue(m->ClientDescription->ApplicationType), 1);  // Client
         EXPECT_EQ(m->SessionName, "Session 1");
         EXPECT_EQ(m->ClientNonce, (ByteArray{0x11, 0x22, 0x33, 0x44}));
         EXPECT_TRUE(m->ClientCertificate.empty());
         EXPECT_EQ(m->RequestedSessionTimeout, 1200000.0);
         EXPECT_EQ(m->MaxResponseMessageSize, 16777216u);
       }},
      {"CreateSessionResponse",
       [](TuaObj& o) {
         auto* m = As<uaCreateSessionResponse>(o);
         if (!m) return;
         ExpectResponseHeader(*m, 3);
         ASSERT_NE(m->SessionId, nullptr);
         EXPECT_EQ(*m->SessionId, uaNodeId(70001, 1));
         ASSERT_NE(m->AuthenticationToken, nullptr);
         EXPECT_EQ(*m->AuthenticationToken, kSessionToken);
         EXPECT_EQ(m->RevisedSessionTimeout, 600000.0);
         EXPECT_EQ(m->ServerNonce, (ByteArray{0x55, 0x66, 0x77, 0x88}));
         ASSERT_EQ(m->ServerEndpoints.size(), 1u);
         ExpectEndpoint(*m->ServerEndpoints[0], 1, 1, {{"anonymous", 0}, {"username_basic256", 1}});
         EXPECT_TRUE(m->ServerSoftwareCertificates.empty());
       }},
      {"ActivateSessionRequest",
       [](TuaObj& o) {
         auto* m = As<uaActivateSessionRequest>(o);
         if (!m) return;
         ExpectRequestHeader(*m, 4, kSessionToken);
         EXPECT_EQ(m->LocaleIds, std::vector<std::string>{"en"});
         ASSERT_NE(m->UserIdentityToken, nullptr);
         EXPECT_EQ(m->UserIdentityToken->ObjNo(), uaUserNameIdentityToken::kObjNo);
         uaUserNameIdentityToken token;
         TExtensionObjReader::ReadObject(*m->UserIdentityToken, token);
         EXPECT_EQ(token.PolicyId, "username_basic256");
         EXPECT_EQ(token.UserName, "operator");
         EXPECT_EQ(token.Password, varo::ToBytes("pass"));
         EXPECT_TRUE(token.EncryptionAlgorithm.empty());
       }},
      {"BrowseRequest",
       [](TuaObj& o) {
         auto* m = As<uaBrowseRequest>(o);
         if (!m) return;
         ExpectRequestHeader(*m, 5, kSessionToken);
         ASSERT_NE(m->View, nullptr);
         EXPECT_EQ(m->View->Timestamp, kT1);
         EXPECT_EQ(m->RequestedMaxReferencesPerNode, 100u);
         ASSERT_EQ(m->NodesToBrowse.size(), 2u);
         const auto& a = *m->NodesToBrowse[0];
         EXPECT_EQ(*a.NodeId, uaNodeId(85, 0));
         EXPECT_EQ(EnumValue(a.BrowseDirection), 0);  // Forward
         EXPECT_EQ(*a.ReferenceTypeId, uaNodeId(33, 0));
         EXPECT_TRUE(a.IncludeSubtypes);
         EXPECT_EQ(a.ResultMask, 63u);
         const auto& b = *m->NodesToBrowse[1];
         EXPECT_EQ(*b.NodeId, uaNodeId(std::string("Machine.Line1"), 2));
         EXPECT_EQ(EnumValue(b.BrowseDirection), 2);  // Both
         EXPECT_FALSE(b.IncludeSubtypes);
         EXPECT_EQ(b.NodeClassMask, 3u);
       }},
      {"BrowseResponse",
       [](TuaObj& o) {
         auto* m = As<uaBrowseResponse>(o);
         if (!m) return;
         ExpectResponseHeader(*m, 5);
         ASSERT_EQ(m->Results.size(), 2u);
         const auto& r = *m->Results[0];
         EXPECT_EQ(r.StatusCode, 0u);
         EXPECT_EQ(r.ContinuationPoint, (ByteArray{0x0c, 0x0d}));
         ASSERT_EQ(r.References.size(), 2u);
         EXPECT_EQ(*r.References[0]->NodeId, uaExpandedNodeId(uaNodeId(2253, 0)));
         EXPECT_EQ(*r.References[0]->BrowseName, uaQualifiedName("Server", 0));
         EXPECT_EQ(EnumValue(r.References[0]->NodeClass), 1);  // Object
         EXPECT_EQ(*r.References[0]->TypeDefinition, uaExpandedNodeId(uaNodeId(2004, 0)));
         EXPECT_TRUE(r.References[1]->IsForward);
         EXPECT_EQ(*r.References[1]->NodeId, uaExpandedNodeId(uaNodeId(std::string("Temperature"), 2)));
         EXPECT_EQ(*r.References[1]->DisplayName, uaLocalizedText("Temperatur", "de"));
         EXPECT_EQ(EnumValue(r.References[1]->NodeClass), 2);  // Variable
         EXPECT_EQ(m->Results[1]->StatusCode, kBadNodeIdUnknown);
         EXPECT_TRUE(m->Results[1]->References.empty());
       }},
      {"BrowseNextRequest",
       [](TuaObj& o) {
         auto* m = As<uaBrowseNextRequest>(o);
         if (!m) return;
         ExpectRequestHeader(*m, 6, kSessionToken);
         EXPECT_FALSE(m->ReleaseContinuationPoints);
         EXPECT_EQ(m->ContinuationPoints, (std::vector<ByteArray>{{0x0c, 0x0d}, {0xff}}));
       }},
      {"ReadRequest",
       [](TuaObj& o) {
         auto* m = As<uaReadRequest>(o);
         if (!m) return;
         ExpectRequestHeader(*m, 7, kSessionToken);
         EXPECT_EQ(m->MaxAge, 500.0);
         EXPECT_EQ(EnumValue(m->TimestampsToReturn), 2);  // Both
         ASSERT_EQ(m->NodesToRead.size(), 3u);
         EXPECT_EQ(*m->NodesToRead[0]->NodeId, uaNodeId(2258, 0));
         EXPECT_EQ(m->NodesToRead[0]->AttributeId, 13u);
         EXPECT_EQ(*m->NodesToRead[2]->NodeId, uaNodeId(std::string("Temperature"), 2));
         EXPECT_EQ(m->NodesToRead[2]->AttributeId, 4u);
         EXPECT_TRUE(m->NodesToRead[2]->IndexRange.empty());
       }},
      {"ReadResponse",
       [](TuaObj& o) {
         auto* m = As<uaReadResponse>(o);
         if (!m) return;
         ExpectResponseHeader(*m, 7);
         ASSERT_EQ(m->Results.size(), 3u);
         const uaDataValue& a = *m->Results[0];
         ExpectScalar(a.Value, bit_DateTime);
         EXPECT_EQ(a.Value->Get<double>(), kT3);
         EXPECT_EQ(a.SourceTimestamp, kT3);
         EXPECT_EQ(a.ServerTimestamp, kT3);
         const uaDataValue& b = *m->Results[1];
         ExpectScalar(b.Value, bit_Double);
         EXPECT_EQ(b.Value->Get<double>(), 21.5);
         EXPECT_EQ(b.SourceTimestamp, kT2);
         const uaDataValue& c = *m->Results[2];
         EXPECT_EQ(c.Value, nullptr);
         EXPECT_EQ(c.StatusCode, kBadNodeIdUnknown);
       }},
      {"WriteRequest",
       [](TuaObj& o) {
         auto* m = As<uaWriteRequest>(o);
         if (!m) return;
         ExpectRequestHeader(*m, 8, kSessionToken);
         ASSERT_EQ(m->NodesToWrite.size(), 2u);
         EXPECT_EQ(*m->NodesToWrite[0]->NodeId, uaNodeId(std::string("Setpoint"), 2));
         EXPECT_EQ(m->NodesToWrite[0]->AttributeId, 13u);
         ASSERT_NE(m->NodesToWrite[0]->Value, nullptr);
         ExpectScalar(m->NodesToWrite[0]->Value->Value, bit_Float);
         EXPECT_EQ(m->NodesToWrite[0]->Value->Value->Get<float>(), 42.25f);
         ASSERT_NE(m->NodesToWrite[1]->Value, nullptr);
         ExpectScalar(m->NodesToWrite[1]->Value->Value, bit_String);
         EXPECT_EQ(m->NodesToWrite[1]->Value->Value->Get<std::string>(), "Line 1");
       }},
      {"CallRequest",
       [](TuaObj& o) {
         auto* m = As<uaCallRequest>(o);
         if (!m) return;
         ExpectRequestHeader(*m, 9, kSessionToken);
         ASSERT_EQ(m->MethodsToCall.size(), 1u);
         const auto& c = *m->MethodsToCall[0];
         EXPECT_EQ(*c.ObjectId, uaNodeId(std::string("Pump"), 2));
         EXPECT_EQ(*c.MethodId, uaNodeId(std::string("Pump.Start"), 2));
         ASSERT_EQ(c.InputArguments.size(), 2u);
         ExpectScalar(c.InputArguments[0], bit_UInt32);
         EXPECT_EQ(c.InputArguments[0]->Get<uint32_t>(), 1500u);
         ExpectScalar(c.InputArguments[1], bit_Boolean);
         EXPECT_TRUE(c.InputArguments[1]->Get<bool>());
       }},
      {"CallResponse",
       [](TuaObj& o) {
         auto* m = As<uaCallResponse>(o);
         if (!m) return;
         ExpectResponseHeader(*m, 9);
         ASSERT_EQ(m->Results.size(), 1u);
         const auto& r = *m->Results[0];
         EXPECT_EQ(r.StatusCode, 0u);
         EXPECT_EQ(r.InputArgumentResults, (std::vector<uaStatusCode>{0, 0}));
         ASSERT_EQ(r.OutputArguments.size(), 1u);
         ExpectScalar(r.OutputArguments[0], bit_String);
         EXPECT_EQ(r.OutputArguments[0]->Get<std::string>(), "started");
       }},
      {"CreateSubscriptionRequest",
       [](TuaObj& o) {
         auto* m = As<uaCreateSubscriptionRequest>(o);
         if (!m) return;
         ExpectRequestHeader(*m, 10, kSessionToken);
         EXPECT_EQ(m->RequestedPublishingInterval, 1000.0);
         EXPECT_EQ(m->RequestedLifetimeCount, 600u);
         EXPECT_EQ(m->RequestedMaxKeepAliveCount, 20u);
         EXPECT_EQ(m->MaxNotificationsPerPublish, 0u);
         EXPECT_TRUE(m->PublishingEnabled);
         EXPECT_EQ(m->Priority, 5);
       }},
      {"CreateMonitoredItemsRequest",
       [](TuaObj& o) {
         auto* m = As<uaCreateMonitoredItemsRequest>(o);
         if (!m) return;
         ExpectRequestHeader(*m, 11, kSessionToken);
         EXPECT_EQ(m->SubscriptionId, 7u);
         EXPECT_EQ(EnumValue(m->TimestampsToReturn), 0);  // Source
         ASSERT_EQ(m->ItemsToCreate.size(), 1u);
         const auto& item = *m->ItemsToCreate[0];
         EXPECT_EQ(*item.ItemToMonitor->NodeId, uaNodeId(std::string("Temperature"), 2));
         EXPECT_EQ(item.ItemToMonitor->AttributeId, 13u);
         EXPECT_EQ(EnumValue(item.MonitoringMode), 2);  // Reporting
         const auto& p = *item.RequestedParameters;
         EXPECT_EQ(p.ClientHandle, 101u);
         EXPECT_EQ(p.SamplingInterval, 250.0);
         EXPECT_EQ(p.QueueSize, 10u);
         EXPECT_TRUE(p.DiscardOldest);
         ASSERT_NE(p.Filter, nullptr);
         EXPECT_EQ(p.Filter->ObjNo(), uaDataChangeFilter::kObjNo);
         uaDataChangeFilter filter;
         TExtensionObjReader::ReadObject(*p.Filter, filter);
         EXPECT_EQ(EnumValue(filter.Trigger), 2);  // StatusValueTimestamp
         EXPECT_EQ(filter.DeadbandType, 1u);
         EXPECT_EQ(filter.DeadbandValue, 0.5);
       }},
      {"PublishRequest",
       [](TuaObj& o) {
         auto* m = As<uaPublishRequest>(o);
         if (!m) return;
         ExpectRequestHeader(*m, 12, kSessionToken);
         ASSERT_EQ(m->SubscriptionAcknowledgements.size(), 2u);
         EXPECT_EQ(m->SubscriptionAcknowledgements[0]->SubscriptionId, 7u);
         EXPECT_EQ(m->SubscriptionAcknowledgements[0]->SequenceNumber, 3u);
         EXPECT_EQ(m->SubscriptionAcknowledgements[1]->SequenceNumber, 4u);
       }},
      {"PublishResponse",
       [](TuaObj& o) {
         auto* m = As<uaPublishResponse>(o);
         if (!m) return;
         ExpectResponseHeader(*m, 12);
         EXPECT_EQ(m->SubscriptionId, 7u);
         EXPECT_EQ(m->AvailableSequenceNumbers, (std::vector<uint32_t>{5, 6}));
         EXPECT_FALSE(m->MoreNotifications);
         EXPECT_EQ(m->Results, (std::vector<uaStatusCode>{0, 0x80790000}));
         const auto& n = *m->NotificationMessage;
         EXPECT_EQ(n.SequenceNumber, 6u);
         EXPECT_EQ(n.PublishTime, kT3);
         ASSERT_EQ(n.NotificationData.size(), 2u);

         ASSERT_NE(n.NotificationData[0], nullptr);
         EXPECT_EQ(n.NotificationData[0]->ObjNo(), uaDataChangeNotification::kObjNo);
         uaDataChangeNotification data;
         TExtensionObjReader::ReadObject(*n.NotificationData[0], data);
         ASSERT_EQ(data.MonitoredItems.size(), 2u);
         EXPECT_EQ(data.MonitoredItems[0]->ClientHandle, 101u);
         ASSERT_NE(data.MonitoredItems[0]->Value, nullptr);
         ExpectScalar(data.MonitoredItems[0]->Value->Value, bit_Double);
         EXPECT_EQ(data.MonitoredItems[0]->Value->Value->Get<double>(), 22.75);
         EXPECT_EQ(data.MonitoredItems[0]->Value->SourceTimestamp, kT3);
         EXPECT_EQ(data.MonitoredItems[1]->ClientHandle, 102u);
         ASSERT_NE(data.MonitoredItems[1]->Value, nullptr);
         ExpectScalar(data.MonitoredItems[1]->Value->Value, bit_Int32);
         EXPECT_EQ(data.MonitoredItems[1]->Value->Value->Get<int32_t>(), -5);

         ASSERT_NE(n.NotificationData[1], nullptr);
         EXPECT_EQ(n.NotificationData[1]->ObjNo(), uaStatusChangeNotification::kObjNo);
         uaStatusChangeNotification change;
         TExtensionObjReader::ReadObject(*n.NotificationData[1], change);
         EXPECT_EQ(change.Status, 0x800d0000u);  // BadServerHalted
       }},
      {"ServiceFault",
       [](TuaObj& o) {
         auto* m = As<uaServiceFault>(o);
         if (!m) return;
         ExpectResponseHeader(*m, 13, 0x80280000);  // BadSessionIdInvalid
       }},
  };
  return checks;
}

class ServiceGolden : public ::testing::Test {
 protected:
  static const std::vector<Message>& Messages() {
    static const std::vector<Message> messages = LoadMessages();
    return messages;
  }
};

TEST_F(ServiceGolden, FixtureIsPresentAndEveryMessageIsKnown) {
  ASSERT_FALSE(Messages().empty());
  std::set<std::string> seen;
  for (const Message& m : Messages()) {
    EXPECT_TRUE(Checks().count(m.name)) << "no check for fixture message " << m.name;
    EXPECT_TRUE(seen.insert(m.name).second) << "duplicate fixture message " << m.name;
  }
  for (const auto& [name, check] : Checks())
    EXPECT_TRUE(seen.count(name)) << name << " missing from the fixture";
}

TEST_F(ServiceGolden, DecodesWithExpectedFieldsAndReencodesIdentically) {
  for (const Message& m : Messages()) {
    SCOPED_TRACE(m.name);
    const auto check = Checks().find(m.name);
    if (check == Checks().end()) continue;  // reported by FixtureIsPresentAndEveryMessageIsKnown
    std::unique_ptr<TuaObj> obj;
    try {
      obj = DecodeServiceMessage(m.bytes);
    } catch (const std::exception& e) {
      ADD_FAILURE() << "decoding failed: " << e.what();
      continue;
    }
    ASSERT_NE(obj, nullptr);
    check->second(*obj);
    EXPECT_EQ(ToHex(EncodeServiceMessage(*obj)), ToHex(m.bytes));
  }
}

// A message cut anywhere before its end must be refused, never read past the bytes present.
TEST_F(ServiceGolden, TruncatedMessagesAreRefused) {
  for (const Message& m : Messages()) {
    SCOPED_TRACE(m.name);
    for (size_t len = 0; len < m.bytes.size(); ++len) {
      EXPECT_ANY_THROW(DecodeServiceMessage(ByteSpan(m.bytes.data(), len))) << "cut at " << len;
    }
  }
}

}  // namespace
}  // namespace varo::ua
