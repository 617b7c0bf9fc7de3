// SPDX-License-Identifier: MPL-2.0
// varo-ua call URL OBJECTID METHODID [ARG...]: calls the method and prints its output
// arguments, one per line. Each argument text is converted to the data type the method
// declares for it (its InputArguments property); without a declaration a number becomes a
// number and anything else a string.
#include <cstdio>

#include "commands.h"
#include "platform/strings.h"
#include "ua/client/ua_attributes.h"
#include "ua/client/ua_client_services.h"
#include "ua/encoding/binary_codec.h"
#include "ua_session.h"
#include "value_text.h"

namespace {

using varo::ua::uaBuildInType;

struct DeclaredArgument {
  uaBuildInType type = varo::ua::bit_Variant;
  int32_t valueRank = -1;
};

// The fields of an Argument structure that matter here: name, data type, value rank.
DeclaredArgument DecodeArgument(const varo::ua::uaExtensionObject& aObj) {
  DeclaredArgument d;
  if (aObj.Encoding != varo::ua::uaExtensionObject::eo_BinaryBody) return d;
  varo::ua::TuaBinaryDecoder dec{varo::ByteSpan(aObj.BinaryBody)};
  std::string name;
  std::unique_ptr<varo::ua::uaNodeId> dataType;
  dec.Read(name, "Name");
  dec.Read(dataType, "DataType");
  dec.Read(d.valueRank, "ValueRank");
  const uaBuildInType t = varo::tool::BuildInTypeOfDataType(dataType.get());
  if (t != varo::ua::bit_null) d.type = t;
  return d;
}

// The declared input arguments of the method; empty when it has none or they cannot be read.
std::vector<DeclaredArgument> InputArguments(varo::ua::TVaroUAClient& aClient, const std::string& aMethodId) {
  varo::ua::TuaBrowseFilter filter;
  filter.ReferenceTypeId = varo::ua::uaHasProperty;
  filter.NodeClassMask = 2;  // Variable
  std::vector<DeclaredArgument> out;
  for (const auto& r : varo::ua::BrowseAll(aClient, varo::ua::uaParseNodeId(aMethodId), filter)) {
    if (!r->BrowseName || r->BrowseName->Name != "InputArguments" || !r->NodeId) continue;
    auto value = aClient.ReadNodeAttribute(r->NodeId->NodeId.ToString(), varo::ua::attrValue);
    if (!value || !value->Value) break;
    if (const auto* args = value->Value->GetIf<std::vector<std::unique_ptr<varo::ua::uaExtensionObject>>>()) {
      for (const auto& e : *args) out.push_back(e ? DecodeArgument(*e) : DeclaredArgument{});
    } else if (const auto* one = value->Value->GetIf<std::unique_ptr<varo::ua::uaExtensionObject>>();
               one && *one) {
      out.push_back(DecodeArgument(**one));
    }
    break;
  }
  return out;
}

int Call(varo::tool::Args& a) {
  if (a.positional.size() < 3) throw varo::tool::UsageError{"call needs URL OBJECTID METHODID [ARG...]"};
  const std::string& object = a.positional[1];
  const std::string& method = a.positional[2];
  if (varo::ToLowerAscii(object) != "nil") varo::ua::uaParseNodeId(object);
  varo::ua::uaParseNodeId(method);
  auto client = varo::tool::ConnectClient(a, a.positional[0], false);

  const std::vector<DeclaredArgument> declared = InputArguments(*client, method);
  std::vector<std::unique_ptr<varo::ua::uaVariant>> args;
  for (size_t i = 3; i < a.positional.size(); ++i) {
    const DeclaredArgument d = i - 3 < declared.size() ? declared[i - 3] : DeclaredArgument{};
    args.push_back(d.valueRank >= 0 ? varo::tool::ArrayFromText(a.positional[i], d.type)
                                    : varo::tool::ScalarFromText(a.positional[i], d.type));
  }
  std::vector<const varo::ua::uaVariant*> argPtrs;
  for (const auto& v : args) argPtrs.push_back(v.get());
  const auto outputs = client->MethodCall(object, method, argPtrs);
  for (const auto& v : outputs) std::printf("%s\n", v->ToString().c_str());
  std::fflush(stdout);
  varo::tool::CloseClient(*client);
  return 0;
}

varo::tool::VaroCommand cmd{"call", "call URL OBJECTID METHODID [ARG...]",
                            "calls a method; prints the output arguments, one per line", Call};

}  // namespace
