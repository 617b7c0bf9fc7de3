// SPDX-License-Identifier: MPL-2.0
// varo-ua servers URL: FindServers without a session, one server per line.
// Line: application URI, application name, application type, discovery URLs (comma
// separated), separated by tabs.
#include <cstdio>

#include "commands.h"
#include "platform/strings.h"
#include "ua_session.h"

namespace {

std::string ApplicationTypeName(int32_t aType) {
  switch (aType) {
    case 0:
      return "Server";
    case 1:
      return "Client";
    case 2:
      return "ClientAndServer";
    case 3:
      return "DiscoveryServer";
    default:
      return varo::IntToStr(aType);
  }
}

int Servers(varo::tool::Args& a) {
  if (a.positional.size() != 1) throw varo::tool::UsageError{"servers needs URL"};
  auto client = varo::tool::ConnectClient(a, a.positional[0], true);
  varo::ua::uaFindServers call(client.get());
  call.Request->EndpointUrl = a.positional[0];
  call.Run();
  if (!call.Response) throw varo::EVaroError("UA Error FindServers: no response");
  for (const auto& s : call.Response->Servers) {
    if (!s) continue;
    std::printf("%s\t%s\t%s\t%s\n", s->ApplicationUri.c_str(),
                s->ApplicationName ? s->ApplicationName->Text.c_str() : "",
                ApplicationTypeName(s->ApplicationType ? s->ApplicationType->Value : 0).c_str(),
                varo::Join(s->DiscoveryUrls, ",").c_str());
  }
  varo::tool::CloseClient(*client);
  return 0;
}

varo::tool::VaroCommand cmd{"servers", "servers URL",
                            "FindServers without a session: URI, name, type, discovery URLs", Servers};

}  // namespace
