// SPDX-License-Identifier: MPL-2.0
#include "ua/transport/url.h"

#include <charconv>

#include "platform/strings.h"

namespace varo::ua {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(std::string_view s, std::string_view aUrl) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    const int hi = i + 2 < s.size() ? hexValue(s[i + 1]) : -1;
    const int lo = i + 2 < s.size() ? hexValue(s[i + 2]) : -1;
    if (hi < 0 || lo < 0) throw EuaUrlError("Invalid percent escape in URL: " + std::string(aUrl));
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

bool validScheme(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
                    c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

bool hostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '%' || c == '~';
}

}  // namespace

uint16_t uaUrl::PortOr(uint16_t aDefault) const {
  if (Port.empty()) return aDefault;
  unsigned v = 0;
  auto [p, ec] = std::from_chars(Port.data(), Port.data() + Port.size(), v);
  if (ec != std::errc() || p != Port.data() + Port.size() || v == 0 || v > 65535)
    throw EuaUrlError("Invalid port number: '" + Port + "'");
  return static_cast<uint16_t>(v);
}

uaUrl ParseUrl(std::string_view aUrl) {
  if (aUrl.size() > uaMaxUrlLength)
    throw EuaUrlError(varo::Format("URL of %zu characters is longer than %zu", aUrl.size(), uaMaxUrlLength));
  const std::string shown(aUrl);
  for (char c : aUrl) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F)
      throw EuaUrlError("URL contains a space or control character: " + shown);
  }
  uaUrl u;
  const size_t sep = aUrl.find("://");
  if (sep == std::string_view::npos || !validScheme(aUrl.substr(0, sep)))
    throw EuaUrlError("URL has no scheme: " + shown);
  u.Protocol = std::string(aUrl.substr(0, sep));
  std::string_view rest = aUrl.substr(sep + 3);

  const size_t pathStart = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, pathStart);
  if (pathStart != std::string_view::npos) u.Path = std::string(rest.substr(pathStart));

  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    std::string_view userInfo = authority.substr(0, at);
    authority = authority.substr(at + 1);
    const size_t colon = userInfo.find(':');
    u.Username = percentDecode(userInfo.substr(0, colon), aUrl);
    if (colon != std::string_view::npos) u.Password = percentDecode(userInfo.substr(colon + 1), aUrl);
  }

  std::string_view portText;
  if (!authority.empty() && authority.front() == '[') {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) throw EuaUrlError("Unterminated IPv6 address in URL: " + shown);
    std::string_view literal = authority.substr(1, close - 1);
    if (literal.empty()) throw EuaUrlError("Empty IPv6 address in URL: " + shown);
    // Address, then an optional zone ("%25" and an interface name).
    const size_t zone = literal.find('%');
    for (char c : literal.substr(0, zone)) {
      if (hexValue(c) < 0 && c != ':' && c != '.') throw EuaUrlError("Invalid IPv6 address in URL: " + shown);
    }
    std::string host(literal.substr(0, zone));
    if (zone != std::string_view::npos) {
      const std::string zoneId = percentDecode(literal.substr(zone), aUrl);
      if (zoneId.size() < 2 || zoneId[0] != '%') throw EuaUrlError("Invalid IPv6 zone in URL: " + shown);
      for (char c : std::string_view(zoneId).substr(1)) {
        if (!hostChar(c) || c == '%') throw EuaUrlError("Invalid IPv6 zone in URL: " + shown);
      }
      host += zoneId;
    }
    u.Host = std::move(host);
    u.IPv6Literal = true;
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') throw EuaUrlError("Unexpected text after the IPv6 address in URL: " + shown);
      portText = after.substr(1);
      if (portText.empty()) throw EuaUrlError("Empty port in URL: " + shown);
    }
  } else {
    const size_t colon = authority.rfind(':');
    std::string_view host = authority.substr(0, colon);
    if (colon != std::string_view::npos) {
      portText = authority.substr(colon + 1);
      if (portText.empty()) throw EuaUrlError("Empty port in URL: " + shown);
    }
    for (char c : host) {
      if (!hostChar(c)) throw EuaUrlError("Invalid host name in URL: " + shown);
    }
    u.Host = std::string(host);
  }
  if (!portText.empty()) {
    u.Port = std::string(portText);
    (void)u.PortOr(0);  // validates
  }
  return u;
}

uaUrl ParseOpcTcpUrl(std::string_view aUrl) {
  uaUrl u = ParseUrl(aUrl);
  if (!varo::SameText(u.Protocol, "opc.tcp")) throw EuaUrlError("Not an opc.tcp URL: " + std::string(aUrl));
  if (u.Host.empty()) throw EuaUrlError("URL has no host: " + std::string(aUrl));
  return u;
}

std::string HostPort(std::string_view aHost, uint16_t aPort) {
  std::string s;
  if (aHost.find(':') != std::string_view::npos) {
    s = "[" + std::string(aHost) + "]";
  } else {
    s = std::string(aHost);
  }
  return s + ":" + varo::UIntToStr(aPort);
}

}  // namespace varo::ua
