// SPDX-License-Identifier: MPL-2.0
// varo-ua write URL NODEID VALUE: writes the Value attribute. The type comes from the node's
// DataType (for enumerations and other derived types: from the current value; for
// BaseDataType from the text: a number or a string); arrays are written as a;b;c. Prints the status text; a
// bad status fails with the status text.
#include <cstdio>

#include "commands.h"
#include "ua/client/ua_attributes.h"
#include "ua/client/ua_client_services.h"
#include "ua_session.h"
#include "value_text.h"

namespace {

using varo::ua::uaBuildInType;

int Write(varo::tool::Args& a) {
  if (a.positional.size() != 3) throw varo::tool::UsageError{"write needs URL NODEID VALUE"};
  const std::string& node = a.positional[1];
  const std::string& text = a.positional[2];
  varo::ua::uaParseNodeId(node);
  auto client = varo::tool::ConnectClient(a, a.positional[0], false);

  const auto attrs = client->ReadNodeAttributes(
      {node}, {varo::ua::attrValue, varo::ua::attrDataType, varo::ua::attrValueRank}, 3);
  const varo::ua::uaDataValue& current = *attrs[0];
  const varo::ua::uaDataValue& dataType = *attrs[1];
  const varo::ua::uaDataValue& valueRank = *attrs[2];
  client->CheckStatusCode(dataType.StatusCode);
  const varo::ua::uaNodeId* typeId = nullptr;
  if (dataType.Value) {
    if (const auto* p = dataType.Value->GetIf<std::unique_ptr<varo::ua::uaNodeId>>()) typeId = p->get();
  }
  uaBuildInType type = varo::tool::BuildInTypeOfDataType(typeId);
  const varo::ua::uaVariant* now = current.Value && current.Value->HasValue() ? current.Value.get() : nullptr;
  if (type == varo::ua::bit_null) {
    // Enumerations and other subtypes of the built-in types: as the value there is.
    // BaseDataType itself (bit_Variant) takes whatever the text looks like.
    type = now != nullptr ? now->BuildInType() : varo::ua::bit_Variant;
  }
  int32_t rank = -1;
  if (valueRank.Value && valueRank.Value->HasValue())
    rank = static_cast<int32_t>(valueRank.Value->ToVariant().toInt64());
  const bool isArray = rank >= 0 || ((rank == -2 || rank == -3) && now != nullptr && now->IsArray());

  const std::unique_ptr<varo::ua::uaVariant> value =
      isArray ? varo::tool::ArrayFromText(text, type) : varo::tool::ScalarFromText(text, type);
  const varo::ua::uaStatusCode status = client->WriteNodeAttribute(node, varo::ua::attrValue, *value);
  varo::tool::CloseClient(*client);
  if (status != 0) throw varo::ua::TVaroUAClient::CreateException(status);
  std::printf("%s\n", varo::ua::uaStatusText(status).c_str());
  return 0;
}

varo::tool::VaroCommand cmd{"write", "write URL NODEID VALUE",
                            "writes the Value attribute (type from the node's DataType); arrays a;b;c, "
                            "ByteString hex, DateTime ISO 8601 UTC, LocalizedText text:l=locale",
                            Write};

}  // namespace
