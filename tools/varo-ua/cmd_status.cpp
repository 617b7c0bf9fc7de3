// SPDX-License-Identifier: MPL-2.0
// varo-ua status URL: the server status fields, one "Name: value" line each.
#include <cstdio>

#include "commands.h"
#include "platform/strings.h"
#include "ua_session.h"

namespace {

int Status(varo::tool::Args& a) {
  if (a.positional.size() != 1) throw varo::tool::UsageError{"status needs URL"};
  auto client = varo::tool::ConnectClient(a, a.positional[0], false);
  varo::ua::uaServerStatusDataType s;
  const varo::ua::uaStatusCode code = client->ReadServerStatus(s, 0);
  varo::tool::CloseClient(*client);
  if (code != 0) throw varo::ua::TVaroUAClient::CreateException(code);
  const int32_t state = s.State ? s.State->Value : 7;
  std::printf("StartTime: %s\n", varo::tool::TimestampText(s.StartTime).c_str());
  std::printf("CurrentTime: %s\n", varo::tool::TimestampText(s.CurrentTime).c_str());
  std::printf("State: %s\n", varo::ua::uaServerState::ToString(state).c_str());
  if (s.BuildInfo) {
    const varo::ua::uaBuildInfo& b = *s.BuildInfo;
    std::printf("ProductUri: %s\n", b.ProductUri.c_str());
    std::printf("ManufacturerName: %s\n", b.ManufacturerName.c_str());
    std::printf("ProductName: %s\n", b.ProductName.c_str());
    std::printf("SoftwareVersion: %s\n", b.SoftwareVersion.c_str());
    std::printf("BuildNumber: %s\n", b.BuildNumber.c_str());
    std::printf("BuildDate: %s\n", varo::tool::TimestampText(b.BuildDate).c_str());
  }
  std::printf("SecondsTillShutdown: %u\n", s.SecondsTillShutdown);
  std::printf("ShutdownReason: %s\n", s.ShutdownReason ? s.ShutdownReason->ToString().c_str() : "");
  return 0;
}

varo::tool::VaroCommand cmd{"status", "status URL", "the server status fields", Status};

}  // namespace
