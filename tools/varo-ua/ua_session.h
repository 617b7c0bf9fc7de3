// SPDX-License-Identifier: MPL-2.0
// The connection of the server commands of varo-ua: a TVaroUAClient set up from the global
// options, and the names the commands print.
#pragma once

#include <memory>
#include <string>

#include "commands.h"
#include "ua/client/ua_client.h"

namespace varo::tool {

// A connected client for the URL: security mode and policy, user, client key and
// certificate, security library, proxy and time-outs from the options. A session-less client
// stops after the unsecured secure channel (for GetEndpoints and FindServers). Raises the
// client's own error when the connect fails; UsageError for a bad option value.
std::unique_ptr<ua::TVaroUAClient> ConnectClient(const Args& aArgs, const std::string& aUrl,
                                                 bool aSessionLess);

// Disconnects, swallowing errors: the command's result is already known.
void CloseClient(ua::TVaroUAClient& aClient) noexcept;

// "None", "Sign", "SignAndEncrypt"; the number for other values.
std::string SecurityModeName(int32_t aMode);
// "Object", "Variable", "Method", "ObjectType", "VariableType", "ReferenceType", "DataType",
// "View"; the number for other values.
std::string NodeClassName(int32_t aNodeClass);
// The date-time as ISO 8601 in UTC; empty for the null date-time.
std::string TimestampText(TDateTime aUtc);

}  // namespace varo::tool
