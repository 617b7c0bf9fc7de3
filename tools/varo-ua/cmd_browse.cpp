// SPDX-License-Identifier: MPL-2.0
// varo-ua browse URL [NODEID]: the forward references of the node (default ns=0;i=85), all
// of them (BrowseNext follows the server's continuation points).
// Line: node id, browse name, display name, node class, separated by tabs.
#include <cstdio>

#include "commands.h"
#include "ua/client/ua_client_services.h"
#include "ua_session.h"

namespace {

int Browse(varo::tool::Args& a) {
  if (a.positional.empty() || a.positional.size() > 2)
    throw varo::tool::UsageError{"browse needs URL [NODEID]"};
  const varo::ua::uaNodeId node = a.positional.size() == 2 ? varo::ua::uaParseNodeId(a.positional[1])
                                                           : varo::ua::uaNodeId(varo::ua::uaObjectsFolder, 0);
  auto client = varo::tool::ConnectClient(a, a.positional[0], false);
  for (const auto& r : varo::ua::BrowseAll(*client, node)) {
    if (!r->IsForward) continue;
    std::printf("%s\t%s\t%s\t%s\n", r->NodeId ? r->NodeId->ToString().c_str() : "",
                r->BrowseName ? r->BrowseName->ToString().c_str() : "",
                r->DisplayName ? r->DisplayName->Text.c_str() : "",
                varo::tool::NodeClassName(r->NodeClass ? r->NodeClass->Value : 0).c_str());
  }
  varo::tool::CloseClient(*client);
  return 0;
}

varo::tool::VaroCommand cmd{"browse", "browse URL [NODEID]",
                            "forward references (default ns=0;i=85): node id, browse name, display name, "
                            "node class",
                            Browse};

}  // namespace
