// SPDX-License-Identifier: MPL-2.0
// A small URL parser for endpoint and proxy URLs: scheme://[user[:password]@]host[:port][/path].
// The host may be a bracketed IPv6 literal ("[::1]"). Every part is bounds-checked; a URL that
// does not fit raises EuaUrlError with a message naming the problem.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/error.h"

namespace varo::ua {

class EuaUrlError : public varo::EVaroError {
 public:
  using EVaroError::EVaroError;
};

// The port every opc.tcp URL without an explicit port uses.
inline constexpr uint16_t uaDefaultTcpPort = 4840;
// The longest URL accepted.
inline constexpr size_t uaMaxUrlLength = 4096;

struct uaUrl {
  std::string Protocol;  // the scheme as written, without "://"
  std::string Username;  // percent-decoded
  std::string Password;  // percent-decoded
  std::string Host;      // without the brackets of an IPv6 literal
  std::string Port;      // decimal text as written; empty when the URL has none
  std::string Path;      // from the first '/' after the authority, "" when there is none
  bool IPv6Literal = false;

  // The port as a number; aDefault when the URL has none.
  uint16_t PortOr(uint16_t aDefault) const;
  bool HasPort() const { return !Port.empty(); }
};

// Parses any URL of the form above. The scheme is required; a port must be 1 to 65535.
uaUrl ParseUrl(std::string_view aUrl);

// Parses an endpoint URL; the scheme must be "opc.tcp" (any case) and the host present.
uaUrl ParseOpcTcpUrl(std::string_view aUrl);

// "host:port" for a CONNECT request or a message; IPv6 hosts in brackets.
std::string HostPort(std::string_view aHost, uint16_t aPort);

}  // namespace varo::ua
