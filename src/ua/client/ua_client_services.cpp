// SPDX-License-Identifier: MPL-2.0
// The node helpers of TVaroUAClient: whole nodes, attribute matrices, the namespace table,
// method lookup and method calls. Each runs one listed synchronous call; a missing response
// or a result array shorter than the request is a failure and is never dereferenced.
#include <cstdint>
#include <limits>
#include <utility>

#include "platform/strings.h"
#include "ua/client/ua_attributes.h"
#include "ua/client/ua_client.h"
#include "ua/client/ua_client_services.h"
#include "ua/encoding/status_codes.h"

namespace varo::ua {

namespace {

constexpr uaStatusCode kSeverityMask = 0xC0000000u;
constexpr int32_t kTimestampsNeither = 3;
// BrowseNext rounds in a row without a single reference before the browse is given up.
constexpr int kMaxEmptyBrowseRounds = 3;

bool IsGood(uaStatusCode aCode) {
  return (aCode & kSeverityMask) == 0;
}

// A missing entry of a result array reads as a data value without value.
const uaDataValue& EntryOrEmpty(const std::unique_ptr<uaDataValue>& aEntry) {
  static const uaDataValue kEmpty;
  return aEntry ? *aEntry : kEmpty;
}

bool HasValue(const uaDataValue& aValue) {
  return aValue.Value && aValue.Value->HasValue();
}

// ---- conversions of attribute values into node fields ----

bool AsBool(const uaDataValue& aValue) {
  return aValue.Value->ToVariant().toBool();
}

template <class T>
T AsUnsigned(const uaDataValue& aValue) {
  const uint64_t v = aValue.Value->ToVariant().toUInt64();
  if (v > std::numeric_limits<T>::max()) {
    throw EVariantError("Overflow while converting attribute value " + UIntToStr(v));
  }
  return static_cast<T>(v);
}

int32_t AsInt32(const uaDataValue& aValue) {
  const int64_t v = aValue.Value->ToVariant().toInt64();
  if (v < INT32_MIN || v > INT32_MAX)
    throw EVariantError("Overflow while converting attribute value " + IntToStr(v));
  return static_cast<int32_t>(v);
}

double AsDouble(const uaDataValue& aValue) {
  return aValue.Value->ToVariant().toDouble();
}

std::unique_ptr<uaNodeId> AsNodeId(const uaDataValue& aValue) {
  if (const auto* p = aValue.Value->GetIf<std::unique_ptr<uaNodeId>>(); p && *p) {
    return std::make_unique<uaNodeId>(**p);
  }
  if (const auto* p = aValue.Value->GetIf<std::unique_ptr<uaExpandedNodeId>>(); p && *p) {
    return std::make_unique<uaNodeId>((*p)->NodeId);
  }
  return std::make_unique<uaNodeId>(NodeIdFromString(aValue.Value->ToVariant().toString()));
}

std::unique_ptr<uaQualifiedName> AsQualifiedName(const uaDataValue& aValue) {
  if (const auto* p = aValue.Value->GetIf<std::unique_ptr<uaQualifiedName>>(); p && *p) {
    return std::make_unique<uaQualifiedName>(**p);
  }
  return std::make_unique<uaQualifiedName>(aValue.Value->ToVariant().toString(), 0);
}

std::unique_ptr<uaLocalizedText> AsLocalizedText(const uaDataValue& aValue) {
  if (const auto* p = aValue.Value->GetIf<std::unique_ptr<uaLocalizedText>>(); p && *p) {
    return std::make_unique<uaLocalizedText>(**p);
  }
  return std::make_unique<uaLocalizedText>(aValue.Value->ToVariant().toString(), "");
}

std::vector<uint32_t> AsUInt32Array(const uaDataValue& aValue) {
  if (const auto* p = aValue.Value->GetIf<std::vector<uint32_t>>()) return *p;
  std::vector<uint32_t> out;
  const Variant v = aValue.Value->ToVariant();
  if (!v.isArray()) throw EVariantError("array dimensions are not an array");
  for (const Variant& e : v.elements()) {
    const uint64_t x = e.toUInt64();
    if (x > UINT32_MAX) throw EVariantError("Overflow while converting attribute value " + UIntToStr(x));
    out.push_back(static_cast<uint32_t>(x));
  }
  return out;
}

std::unique_ptr<uaExtensionObject> AsExtensionObject(const uaDataValue& aValue) {
  if (const auto* p = aValue.Value->GetIf<std::unique_ptr<uaExtensionObject>>(); p && *p) {
    return std::make_unique<uaExtensionObject>(**p);
  }
  throw EVariantError("Source is not a extension object");
}

std::unique_ptr<uaReadValueId> ReadValue(const uaNodeId& aNodeId, uint32_t aAttribute) {
  auto r = std::make_unique<uaReadValueId>();
  r->NodeId = std::make_unique<uaNodeId>(aNodeId);
  r->AttributeId = aAttribute;
  return r;
}

void FillView(uaBrowseRequest& aRequest) {
  aRequest.View->ViewId.reset();
  aRequest.View->Timestamp = kNullDateTime;  // the platform's minimum date
  aRequest.View->ViewVersion = 0;
}

void ReleaseContinuationPoint(TVaroUAClient& aClient, const ByteArray& aPoint) noexcept {
  try {
    uaBrowseNext release(&aClient);
    release.Request->ReleaseContinuationPoints = true;
    release.Request->ContinuationPoints.push_back(aPoint);
    release.RunSync();
  } catch (...) {
    // The point times out on the server in any case.
  }
}

// The single result of a one-node browse call, checked.
uaBrowseResult& SingleResult(TVaroUAClient& aClient, std::vector<std::unique_ptr<uaBrowseResult>>* aResults,
                             const std::string& aWhat) {
  if (aResults == nullptr) throw EVaroError("ERROR: can not browse " + aWhat + ": no response");
  if (aResults->empty() || !(*aResults)[0])
    throw EVaroError("ERROR: can not browse " + aWhat + ": no result");
  uaBrowseResult& result = *(*aResults)[0];
  aClient.CheckStatusCode(result.StatusCode);
  return result;
}

}  // namespace

uaNodeId uaParseNodeId(const std::string& aText) {
  try {
    return NodeIdFromString(aText);
  } catch (const std::exception& e) {
    throw EVaroError(Format("$%x Cannot parse node id text (%s) ", uaBadNodeIdInvalid, aText.c_str()) +
                     e.what());
  }
}

std::string uaStatusText(uaStatusCode aCode) {
  return aCode == 0 ? std::string("Good") : Statuscodes::ToString(aCode);
}

std::vector<std::unique_ptr<uaReferenceDescription>> BrowseAll(TVaroUAClient& aClient,
                                                               const uaNodeId& aNodeId,
                                                               const TuaBrowseFilter& aFilter) {
  const std::string what = aNodeId.ToString();
  std::vector<std::unique_ptr<uaReferenceDescription>> refs;
  ByteArray point;
  {
    uaBrowse call(&aClient);
    FillView(*call.Request);
    call.Request->RequestedMaxReferencesPerNode = aFilter.MaxReferencesPerNode;
    auto d = std::make_unique<uaBrowseDescription>();
    d->NodeId = std::make_unique<uaNodeId>(aNodeId);
    d->BrowseDirection = std::make_unique<uaBrowseDirection>(aFilter.Direction);
    if (aFilter.ReferenceTypeId != 0)
      d->ReferenceTypeId = std::make_unique<uaNodeId>(aFilter.ReferenceTypeId, 0);
    d->IncludeSubtypes = aFilter.IncludeSubtypes;
    d->NodeClassMask = aFilter.NodeClassMask;
    d->ResultMask = aFilter.ResultMask;
    call.Request->NodesToBrowse.push_back(std::move(d));
    call.RunSync();
    uaBrowseResult& result = SingleResult(aClient, call.Response ? &call.Response->Results : nullptr, what);
    for (auto& r : result.References) {
      if (r) refs.push_back(std::move(r));
    }
    point = std::move(result.ContinuationPoint);
  }
  int emptyRounds = 0;
  while (!point.empty()) {
    try {
      uaBrowseNext next(&aClient);
      next.Request->ReleaseContinuationPoints = false;
      next.Request->ContinuationPoints.push_back(point);
      next.RunSync();
      uaBrowseResult& result = SingleResult(aClient, next.Response ? &next.Response->Results : nullptr, what);
      // The server gave this point up with the answer: nothing to release any more.
      point.clear();
      size_t added = 0;
      for (auto& r : result.References) {
        if (r) {
          refs.push_back(std::move(r));
          ++added;
        }
      }
      point = std::move(result.ContinuationPoint);
      emptyRounds = added == 0 ? emptyRounds + 1 : 0;
      if (!point.empty() && emptyRounds >= kMaxEmptyBrowseRounds) {
        throw EVaroError("ERROR: can not browse " + what +
                         ": the server sends continuation points without references");
      }
    } catch (...) {
      if (!point.empty()) ReleaseContinuationPoint(aClient, point);
      throw;
    }
  }
  return refs;
}

// ---------------------------------------------------------------------------------------
// Reading

std::unique_ptr<uaNode> TVaroUAClient::ReadNode(const std::string& aNodeId) {
  return ReadNode(uaParseNodeId(aNodeId));
}

std::unique_ptr<uaNode> TVaroUAClient::ReadNode(const uaNodeId& aNodeId) {
  uaRead call(this);
  call.Request->MaxAge = 0;
  call.Request->TimestampsToReturn = std::make_unique<uaTimestampsToReturn>(kTimestampsNeither);
  for (int32_t a = kFirstAttribute; a <= kLastAttribute; ++a) {
    call.Request->NodesToRead.push_back(ReadValue(aNodeId, static_cast<uint32_t>(a)));
  }
  call.RunSync();
  if (!call.Response) throw EVaroError("ERROR: can not read attributes");
  const auto& results = call.Response->Results;
  if (results.size() < static_cast<size_t>(kLastAttribute)) {
    throw EVaroError(
        Format("ERROR: can not read attributes: %zu results for %d values", results.size(), kLastAttribute));
  }
  auto at = [&](int32_t aAttr) -> const uaDataValue& { return EntryOrEmpty(results[aAttr - 1]); };

  call.CheckStatusCode(at(attrNodeId).StatusCode);
  const uaDataValue& cls = at(attrNodeClass);
  if (!HasValue(cls)) throw EVaroError("node has no class attribute");
  if (!IsGood(cls.StatusCode)) throw EVaroError("node class attribute is bad");
  const int32_t nodeClass = AsInt32(cls);

  auto present = [&](int32_t aAttr) { return HasValue(at(aAttr)); };
  std::unique_ptr<uaNode> node;
  switch (nodeClass) {
    case 1: {
      auto n = std::make_unique<uaObjectNode>();
      if (present(attrEventNotifier)) n->EventNotifier = AsUnsigned<uint8_t>(at(attrEventNotifier));
      node = std::move(n);
      break;
    }
    case 2: {
      auto n = std::make_unique<uaVariableNode>();
      if (present(attrValue)) n->Value = std::make_unique<uaVariant>(*at(attrValue).Value);
      if (present(attrDataType)) n->DataType = AsNodeId(at(attrDataType));
      if (present(attrValueRank)) n->ValueRank = AsInt32(at(attrValueRank));
      if (present(attrArrayDimensions)) n->ArrayDimensions = AsUInt32Array(at(attrArrayDimensions));
      if (present(attrAccessLevel)) n->AccessLevel = AsUnsigned<uint8_t>(at(attrAccessLevel));
      if (present(attrUserAccessLevel)) n->UserAccessLevel = AsUnsigned<uint8_t>(at(attrUserAccessLevel));
      if (present(attrMinimumSamplingInterval)) {
        n->MinimumSamplingInterval = AsDouble(at(attrMinimumSamplingInterval));
      }
      if (present(attrHistorizing)) n->Historizing = AsBool(at(attrHistorizing));
      if (present(attrAccessLevelEx)) n->AccessLevelEx = AsUnsigned<uint32_t>(at(attrAccessLevelEx));
      node = std::move(n);
      break;
    }
    case 4: {
      auto n = std::make_unique<uaMethodNode>();
      if (present(attrExecutable)) n->Executable = AsBool(at(attrExecutable));
      if (present(attrUserExecutable)) n->UserExecutable = AsBool(at(attrUserExecutable));
      node = std::move(n);
      break;
    }
    case 8: {
      auto n = std::make_unique<uaObjectTypeNode>();
      if (present(attrIsAbstract)) n->IsAbstract = AsBool(at(attrIsAbstract));
      node = std::move(n);
      break;
    }
    case 16: {
      auto n = std::make_unique<uaVariableTypeNode>();
      if (present(attrValue)) n->Value = std::make_unique<uaVariant>(*at(attrValue).Value);
      if (present(attrDataType)) n->DataType = AsNodeId(at(attrDataType));
      if (present(attrValueRank)) n->ValueRank = AsInt32(at(attrValueRank));
      if (present(attrIsAbstract)) n->IsAbstract = AsBool(at(attrIsAbstract));
      if (present(attrArrayDimensions)) n->ArrayDimensions = AsUInt32Array(at(attrArrayDimensions));
      node = std::move(n);
      break;
    }
    case 32: {
      auto n = std::make_unique<uaReferenceTypeNode>();
      if (present(attrIsAbstract)) n->IsAbstract = AsBool(at(attrIsAbstract));
      if (present(attrSymmetric)) n->Symmetric = AsBool(at(attrSymmetric));
      if (present(attrInverseName)) n->InverseName = AsLocalizedText(at(attrInverseName));
      node = std::move(n);
      break;
    }
    case 64: {
      auto n = std::make_unique<uaDataTypeNode>();
      if (present(attrIsAbstract)) n->IsAbstract = AsBool(at(attrIsAbstract));
      if (present(attrDataTypeDefinition))
        n->DataTypeDefinition = AsExtensionObject(at(attrDataTypeDefinition));
      node = std::move(n);
      break;
    }
    case 128: {
      auto n = std::make_unique<uaViewNode>();
      if (present(attrContainsNoLoops)) n->ContainsNoLoops = AsBool(at(attrContainsNoLoops));
      if (present(attrEventNotifier)) n->EventNotifier = AsUnsigned<uint8_t>(at(attrEventNotifier));
      node = std::move(n);
      break;
    }
    default:
      node = std::make_unique<uaNode>();
      break;
  }
  if (present(attrDisplayName)) node->DisplayName = AsLocalizedText(at(attrDisplayName));
  if (present(attrBrowseName)) node->BrowseName = AsQualifiedName(at(attrBrowseName));
  if (present(attrNodeId)) node->NodeId = AsNodeId(at(attrNodeId));
  node->NodeClass = std::make_unique<uaNodeClass>(nodeClass);
  if (present(attrDescription)) node->Description = AsLocalizedText(at(attrDescription));
  if (present(attrWriteMask)) node->WriteMask = AsUnsigned<uint32_t>(at(attrWriteMask));
  if (present(attrUserWriteMask)) node->UserWriteMask = AsUnsigned<uint32_t>(at(attrUserWriteMask));
  if (present(attrAccessRestrictions)) {
    node->AccessRestrictions = AsUnsigned<uint16_t>(at(attrAccessRestrictions));
  }
  return node;
}

std::vector<std::unique_ptr<uaDataValue>> TVaroUAClient::ReadNodeAttributes(
    const std::vector<std::string>& aNodeIds, const std::vector<int32_t>& aAttributes,
    int32_t aTimestampsToReturn) {
  // Every id is parsed, before the call takes a request id, straight into its entries; the
  // last entry of a node takes the parsed id over instead of a copy.
  std::vector<std::unique_ptr<uaReadValueId>> nodes;
  nodes.reserve(aNodeIds.size() * aAttributes.size());
  for (const std::string& text : aNodeIds) {
    uaNodeId id = uaParseNodeId(text);
    for (size_t j = 0; j < aAttributes.size(); ++j) {
      auto r = std::make_unique<uaReadValueId>();
      r->NodeId = j + 1 < aAttributes.size() ? std::make_unique<uaNodeId>(id)
                                             : std::make_unique<uaNodeId>(std::move(id));
      r->AttributeId = static_cast<uint32_t>(aAttributes[j]);
      nodes.push_back(std::move(r));
    }
  }

  uaRead call(this);
  call.Request->MaxAge = 0;
  call.Request->TimestampsToReturn = std::make_unique<uaTimestampsToReturn>(aTimestampsToReturn);
  call.Request->NodesToRead = std::move(nodes);
  const size_t count = call.Request->NodesToRead.size();
  call.RunSync();
  if (!call.Response) throw EVaroError("ERROR: can not read attributes");
  auto& results = call.Response->Results;
  if (results.size() < count) {
    throw EVaroError(
        Format("ERROR: can not read attributes: %zu results for %zu values", results.size(), count));
  }
  std::vector<std::unique_ptr<uaDataValue>> out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    out.push_back(results[i] ? std::move(results[i]) : std::make_unique<uaDataValue>());
  }
  return out;
}

std::unique_ptr<uaDataValue> TVaroUAClient::ReadNodeAttribute(const std::string& aNodeId, int32_t aAttribute,
                                                              int32_t aTimestampsToReturn) {
  auto values = ReadNodeAttributes({aNodeId}, {aAttribute}, aTimestampsToReturn);
  return std::move(values[0]);
}

Variant TVaroUAClient::ReadNodeAttributeAsVariant(const std::string& aNodeId, int32_t aAttribute) {
  std::unique_ptr<uaDataValue> value = ReadNodeAttribute(aNodeId, aAttribute, kTimestampsNeither);
  if (!value) return Variant();
  return value->ValueToVariant();
}

// ---------------------------------------------------------------------------------------
// Writing

std::vector<uaStatusCode> TVaroUAClient::WriteNodeAttributes(const std::vector<std::string>& aNodeIds,
                                                             const std::vector<int32_t>& aAttributes,
                                                             const std::vector<const uaDataValue*>& aValues) {
  const size_t count = aNodeIds.size() * aAttributes.size();
  if (aValues.size() < count) {
    throw EVaroError(
        Format("ERROR: can not write attributes: %zu values for %zu attributes", aValues.size(), count));
  }
  std::vector<uaNodeId> ids;
  ids.reserve(aNodeIds.size());
  for (const std::string& text : aNodeIds) ids.push_back(uaParseNodeId(text));

  uaWrite call(this);
  for (size_t i = 0; i < ids.size(); ++i) {
    for (size_t j = 0; j < aAttributes.size(); ++j) {
      const uaDataValue* value = aValues[j + i * aAttributes.size()];
      auto w = std::make_unique<uaWriteValue>();
      w->NodeId = std::make_unique<uaNodeId>(ids[i]);
      w->AttributeId = static_cast<uint32_t>(aAttributes[j]);
      w->Value = value ? std::make_unique<uaDataValue>(*value) : std::make_unique<uaDataValue>();
      call.Request->NodesToWrite.push_back(std::move(w));
    }
  }
  call.RunSync();
  if (!call.Response) throw EVaroError("ERROR: can not write attributes");
  const auto& results = call.Response->Results;
  if (results.size() < count) {
    throw EVaroError(
        Format("ERROR: can not write attributes: %zu results for %zu values", results.size(), count));
  }
  return std::vector<uaStatusCode>(results.begin(), results.begin() + static_cast<std::ptrdiff_t>(count));
}

uaStatusCode TVaroUAClient::WriteNodeAttribute(const std::string& aNodeId, int32_t aAttribute,
                                               const uaDataValue& aValue) {
  return WriteNodeAttributes({aNodeId}, {aAttribute}, {&aValue})[0];
}

uaStatusCode TVaroUAClient::WriteNodeAttribute(const std::string& aNodeId, int32_t aAttribute,
                                               const uaVariant& aValue) {
  const uaDataValue value(std::make_unique<uaVariant>(aValue));
  return WriteNodeAttribute(aNodeId, aAttribute, value);
}

// ---------------------------------------------------------------------------------------
// Namespaces

std::vector<std::string> TVaroUAClient::GetNamespaceArray() {
  std::unique_ptr<uaDataValue> value =
      ReadNodeAttribute(uaNodeId(uaServerNamespaceArray, 0).ToString(), attrValue, kTimestampsNeither);
  if (!value || !IsGood(value->StatusCode) || !value->Value) return {};
  if (const auto* names = value->Value->GetIf<std::vector<std::string>>()) return *names;
  return {};
}

int32_t TVaroUAClient::GetNamespaceIndex(const std::string& aNameSpaceUri) {
  const std::vector<std::string> names = GetNamespaceArray();
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == aNameSpaceUri) return static_cast<int32_t>(i);
  }
  return -1;
}

// ---------------------------------------------------------------------------------------
// Methods

std::vector<std::string> TVaroUAClient::MethodsGet(const std::string& aObjectId) {
  TuaBrowseFilter filter;
  filter.Direction = 0;
  filter.NodeClassMask = 4;
  filter.ResultMask = 16;
  std::vector<std::string> out;
  for (const auto& ref : BrowseAll(*this, uaParseNodeId(aObjectId), filter)) {
    if (ref->NodeId) out.push_back(ref->NodeId->NodeId.ToString());
  }
  return out;
}

std::string TVaroUAClient::MethodGetParent(const std::string& aMethodId) {
  TuaBrowseFilter filter;
  filter.Direction = 1;
  filter.ReferenceTypeId = uaHierarchicalReferences;
  filter.IncludeSubtypes = true;
  filter.NodeClassMask = 1;
  filter.ResultMask = 0;
  const auto refs = BrowseAll(*this, uaParseNodeId(aMethodId), filter);
  if (refs.size() != 1 || !refs[0]->NodeId) return {};
  return refs[0]->NodeId->NodeId.ToString();
}

std::vector<std::unique_ptr<uaVariant>> TVaroUAClient::MethodCall(
    const std::string& aObjectId, const std::string& aMethodId,
    const std::vector<const uaVariant*>& aInputArguments) {
  auto method = std::make_unique<uaCallMethodRequest>();
  if (ToLowerAscii(aObjectId) != "nil")
    method->ObjectId = std::make_unique<uaNodeId>(uaParseNodeId(aObjectId));
  method->MethodId = std::make_unique<uaNodeId>(uaParseNodeId(aMethodId));
  for (const uaVariant* arg : aInputArguments) {
    method->InputArguments.push_back(arg ? std::make_unique<uaVariant>(*arg) : std::make_unique<uaVariant>());
  }
  uaCall call(this);
  call.Request->MethodsToCall.push_back(std::move(method));
  call.RunSync();
  if (!call.Response) throw EVaroError("ERROR: can not call method " + aMethodId + ": no response");
  auto& results = call.Response->Results;
  if (results.empty() || !results[0])
    throw EVaroError("ERROR: can not call method " + aMethodId + ": no result");
  uaCallMethodResult& result = *results[0];
  if (result.StatusCode == uaBadInvalidArgument) {
    for (uaStatusCode argResult : result.InputArgumentResults) call.CheckStatusCode(argResult);
  }
  // Also when no single argument was blamed, a bad method status is a failure.
  call.CheckStatusCode(result.StatusCode);
  std::vector<std::unique_ptr<uaVariant>> out;
  out.reserve(result.OutputArguments.size());
  for (auto& v : result.OutputArguments) out.push_back(v ? std::move(v) : std::make_unique<uaVariant>());
  return out;
}

}  // namespace varo::ua
