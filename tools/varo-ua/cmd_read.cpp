// SPDX-License-Identifier: MPL-2.0
// varo-ua read URL NODEID...: the Value attribute of each node, one line per node:
//   NODEID = <value text> TAB <status text> TAB <source timestamp, ISO 8601 UTC>
// A node whose status is Bad makes the command fail (after every line is printed).
#include <cstdio>

#include "commands.h"
#include "ua/client/ua_attributes.h"
#include "ua/client/ua_client_services.h"
#include "ua_session.h"

namespace {

constexpr int32_t kTimestampsSource = 0;

int Read(varo::tool::Args& a) {
  if (a.positional.size() < 2) throw varo::tool::UsageError{"read needs URL NODEID..."};
  const std::vector<std::string> nodes(a.positional.begin() + 1, a.positional.end());
  for (const std::string& n : nodes) varo::ua::uaParseNodeId(n);
  auto client = varo::tool::ConnectClient(a, a.positional[0], false);
  const auto values = client->ReadNodeAttributes(nodes, {varo::ua::attrValue}, kTimestampsSource);
  varo::ua::uaStatusCode firstBad = 0;
  for (size_t i = 0; i < nodes.size(); ++i) {
    const varo::ua::uaDataValue& v = *values[i];
    std::printf("%s = %s\t%s\t%s\n", nodes[i].c_str(), v.ToString().c_str(),
                varo::ua::uaStatusText(v.StatusCode).c_str(),
                varo::tool::TimestampText(v.SourceTimestamp).c_str());
    if ((v.StatusCode & 0x80000000u) != 0 && firstBad == 0) firstBad = v.StatusCode;
  }
  std::fflush(stdout);
  varo::tool::CloseClient(*client);
  if (firstBad != 0) throw varo::ua::TVaroUAClient::CreateException(firstBad);
  return 0;
}

varo::tool::VaroCommand cmd{"read", "read URL NODEID...",
                            "\"NODEID = value\", status text, source timestamp (ISO 8601, UTC)", Read};

}  // namespace
