// SPDX-License-Identifier: MPL-2.0
// varo-ua endpoints URL: the server's endpoints, one per line.
// Line: endpoint URL, security mode name, security policy URI, user token types (comma
// separated, each type once), separated by tabs.
#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "platform/strings.h"
#include "ua_session.h"

namespace {

int Endpoints(varo::tool::Args& a) {
  if (a.positional.size() != 1) throw varo::tool::UsageError{"endpoints needs URL"};
  auto client = varo::tool::ConnectClient(a, a.positional[0], true);
  varo::ua::uaGetEndpoints call(client.get());
  call.Request->EndpointUrl = a.positional[0];
  call.Run();
  if (!call.Response) throw varo::EVaroError("UA Error GetEndpoints: no response");
  for (const auto& e : call.Response->Endpoints) {
    if (!e) continue;
    std::vector<std::string> tokens;
    for (const auto& t : e->UserIdentityTokens) {
      if (!t) continue;
      // One name per type: servers list a policy per security policy of the same type.
      const std::string name = varo::ua::TuaUserLogin::TokenTypeName(t->TokenType ? t->TokenType->Value : 0);
      if (std::find(tokens.begin(), tokens.end(), name) == tokens.end()) tokens.push_back(name);
    }
    std::printf("%s\t%s\t%s\t%s\n", e->EndpointUrl.c_str(),
                varo::tool::SecurityModeName(e->SecurityMode ? e->SecurityMode->Value : 0).c_str(),
                e->SecurityPolicyUri.c_str(), varo::Join(tokens, ",").c_str());
  }
  varo::tool::CloseClient(*client);
  return 0;
}

varo::tool::VaroCommand cmd{"endpoints", "endpoints URL",
                            "one line per endpoint: URL, mode, policy URI, user token types", Endpoints};

}  // namespace
