// SPDX-License-Identifier: MPL-2.0
// Proxies for the UA TCP connection: an HTTP CONNECT tunnel or a SOCKS4 CONNECT, chosen by
// the proxy URL's scheme. Both handshakes are bounded in time and in the bytes they read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ua/transport/socket.h"

namespace varo::ua {

// The proxy refused or broke the handshake; the message says why (for HTTP the status line).
class EuaProxyError : public EuaSocketError {
 public:
  using EuaSocketError::EuaSocketError;
};

enum class TuaProxyKind : uint8_t { None, HttpConnect, Socks4 };

struct uaProxySettings {
  TuaProxyKind Kind = TuaProxyKind::None;
  std::string Host;
  uint16_t Port = 0;
  std::string Username;
  std::string Password;
};

// The most header bytes read from an HTTP proxy's answer.
inline constexpr size_t uaMaxProxyHeaderBytes = 16384;

// From a proxy URL: empty -> no proxy; scheme "http" or "urn" (any case) -> HTTP CONNECT with
// the URL's host, port (80 when none), user and password; "socks4" -> SOCKS4 with the URL's host
// and port, which is required; any other scheme -> no proxy. Raises EuaUrlError for a
// malformed URL or a SOCKS4 URL without a port.
uaProxySettings ParseProxy(std::string_view aProxyUrl);

// Connects to aHost:aPort directly or through the proxy; the whole call, proxy handshake
// included, ends within aTimeoutMs (0 = no limit). Raises EuaSocketError / EuaProxyError.
TuaSocket OpenTcp(const uaProxySettings& aProxy, const std::string& aHost, uint16_t aPort, int aTimeoutMs);

// The handshakes on a socket already connected to the proxy. aDeadlineMs is steady time
// (TuaSocket::NowMs). HttpConnect returns the HTTP status code; it raises EuaProxyError with
// the status line for any status but 200 unless aReturn407 is set and the status is 407.
int HttpConnectHandshake(TuaSocket& aSocket, const std::string& aHost, uint16_t aPort,
                         const std::string& aAuthorization, int64_t aDeadlineMs, bool aReturn407);
void Socks4Handshake(TuaSocket& aSocket, const std::string& aHost, uint16_t aPort, int64_t aDeadlineMs);

// Standard base64 with padding.
std::string Base64Encode(std::string_view aBytes);

}  // namespace varo::ua
