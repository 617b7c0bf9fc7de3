// SPDX-License-Identifier: MPL-2.0
#include "ua/transport/proxy.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

#include "platform/strings.h"
#include "ua/transport/url.h"

namespace varo::ua {

namespace {

struct AddrInfoDeleter {
  void operator()(addrinfo* p) const { freeaddrinfo(p); }
};

// Reads the answer's header byte by byte so that no byte of the tunnel is consumed.
std::string readHttpHeader(TuaSocket& aSocket, int64_t aDeadlineMs) {
  std::string header;
  while (header.size() < uaMaxProxyHeaderBytes) {
    uint8_t c = 0;
    aSocket.ReceiveExact(&c, 1, aDeadlineMs);
    header.push_back(static_cast<char>(c));
    if (varo::EndsWith(header, "\r\n\r\n") || varo::EndsWith(header, "\n\n")) return header;
  }
  throw EuaProxyError(
      varo::Format("HTTP proxy answer header is longer than %zu bytes", uaMaxProxyHeaderBytes));
}

uint32_t ipv4Of(const std::string& aHost) {
  in_addr a{};
  if (inet_pton(AF_INET, aHost.c_str(), &a) == 1) return a.s_addr;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* raw = nullptr;
  if (getaddrinfo(aHost.c_str(), nullptr, &hints, &raw) != 0 || !raw)
    throw EuaProxyError("SOCKS4 needs an IPv4 address for " + aHost);
  std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);
  return reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
}

const char* socks4ReplyText(uint8_t aCode) {
  switch (aCode) {
    case 91:
      return "request rejected or failed";
    case 92:
      return "request rejected, the proxy could not reach the client's identd";
    case 93:
      return "request rejected, identd reported a different user id";
    default:
      return "unknown reply";
  }
}

}  // namespace

std::string Base64Encode(std::string_view aBytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((aBytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= aBytes.size(); i += 3) {
    const uint32_t v = (uint32_t(uint8_t(aBytes[i])) << 16) | (uint32_t(uint8_t(aBytes[i + 1])) << 8) |
                       uint8_t(aBytes[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  const size_t rest = aBytes.size() - i;
  if (rest) {
    uint32_t v = uint32_t(uint8_t(aBytes[i])) << 16;
    if (rest == 2) v |= uint32_t(uint8_t(aBytes[i + 1])) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

uaProxySettings ParseProxy(std::string_view aProxyUrl) {
  uaProxySettings s;
  const std::string_view trimmed = varo::Trim(aProxyUrl);
  if (trimmed.empty()) return s;
  const uaUrl u = ParseUrl(trimmed);
  if (varo::SameText(u.Protocol, "http") || varo::SameText(u.Protocol, "urn")) {
    s.Kind = TuaProxyKind::HttpConnect;
    s.Port = u.PortOr(80);
  } else if (varo::SameText(u.Protocol, "socks4")) {
    if (!u.HasPort()) throw EuaUrlError("SOCKS4 proxy URL has no port: " + std::string(trimmed));
    s.Kind = TuaProxyKind::Socks4;
    s.Port = u.PortOr(0);
  } else {
    return s;
  }
  if (u.Host.empty()) throw EuaUrlError("Proxy URL has no host: " + std::string(trimmed));
  s.Host = u.Host;
  s.Username = u.Username;
  s.Password = u.Password;
  return s;
}

int HttpConnectHandshake(TuaSocket& aSocket, const std::string& aHost, uint16_t aPort,
                         const std::string& aAuthorization, int64_t aDeadlineMs, bool aReturn407) {
  const std::string target = HostPort(aHost, aPort);
  std::string request = "CONNECT " + target + " HTTP/1.0\r\nHost: " + target + "\r\n";
  if (!aAuthorization.empty()) request += "Proxy-Authorization: Basic " + aAuthorization + "\r\n";
  request += "\r\n";
  const int64_t left = aDeadlineMs - TuaSocket::NowMs();
  if (left <= 0) throw EuaProxyError("HTTP proxy handshake timed out");
  aSocket.Send(varo::ByteSpan(reinterpret_cast<const uint8_t*>(request.data()), request.size()),
               static_cast<int>(left));

  std::string header;
  try {
    header = readHttpHeader(aSocket, aDeadlineMs);
  } catch (const EuaProxyError&) {
    throw;
  } catch (const EuaSocketError& e) {
    throw EuaProxyError(std::string("HTTP proxy handshake failed: ") + e.what());
  }
  const size_t eol = header.find_first_of("\r\n");
  const std::string statusLine = header.substr(0, eol);
  // "HTTP/1.x NNN reason"
  int status = 0;
  if (varo::StartsWith(statusLine, "HTTP/") && statusLine.size() >= 12 && statusLine[8] == ' ') {
    const auto code = varo::TryStrToInt64(std::string_view(statusLine).substr(9, 3));
    if (code && *code >= 100 && *code <= 999) status = static_cast<int>(*code);
  }
  if (status == 0)
    throw EuaProxyError("HTTP proxy sent no valid status line: " + varo::SanitizeUtf8(statusLine));
  if (status == 200) return status;
  if (status == 407 && aReturn407) return status;
  throw EuaProxyError(varo::SanitizeUtf8(statusLine));
}

void Socks4Handshake(TuaSocket& aSocket, const std::string& aHost, uint16_t aPort, int64_t aDeadlineMs) {
  const uint32_t ip = ipv4Of(aHost);  // network order
  uint8_t req[9];
  req[0] = 4;  // version
  req[1] = 1;  // CONNECT
  req[2] = static_cast<uint8_t>(aPort >> 8);
  req[3] = static_cast<uint8_t>(aPort & 0xFF);
  std::memcpy(req + 4, &ip, 4);
  req[8] = 0;  // empty user id
  const int64_t left = aDeadlineMs - TuaSocket::NowMs();
  if (left <= 0) throw EuaProxyError("SOCKS4 handshake timed out");
  uint8_t reply[8] = {};
  try {
    aSocket.Send(varo::ByteSpan(req, sizeof req), static_cast<int>(left));
    aSocket.ReceiveExact(reply, sizeof reply, aDeadlineMs);
  } catch (const EuaSocketError& e) {
    throw EuaProxyError(std::string("SOCKS4 handshake failed: ") + e.what());
  }
  if (reply[0] != 0 && reply[0] != 4)
    throw EuaProxyError(varo::Format("SOCKS4 proxy sent an invalid reply (version %u)", reply[0]));
  if (reply[1] != 90)
    throw EuaProxyError(varo::Format("SOCKS4 proxy refused the connection to %s (%u: %s)",
                                     HostPort(aHost, aPort).c_str(), reply[1], socks4ReplyText(reply[1])));
}

TuaSocket OpenTcp(const uaProxySettings& aProxy, const std::string& aHost, uint16_t aPort, int aTimeoutMs) {
  // A generous bound for the handshake when the caller sets no limit.
  const int64_t deadline = TuaSocket::NowMs() + (aTimeoutMs > 0 ? aTimeoutMs : 60000);
  auto remaining = [&]() {
    const int64_t left = deadline - TuaSocket::NowMs();
    if (left <= 0) throw EuaSocketError("Connect timed out");
    return static_cast<int>(left);
  };
  TuaSocket s;
  switch (aProxy.Kind) {
    case TuaProxyKind::None:
      s.Connect(aHost, aPort, aTimeoutMs);
      break;
    case TuaProxyKind::HttpConnect: {
      s.Connect(aProxy.Host, aProxy.Port, remaining());
      const bool haveCredentials = !aProxy.Username.empty() || !aProxy.Password.empty();
      const int status = HttpConnectHandshake(s, aHost, aPort, "", deadline, haveCredentials);
      if (status == 407) {
        // Retry with credentials on a fresh proxy connection: the proxy may close the first
        // one, and a fresh one needs no reading of the refusal's body.
        s.Release();
        s.Connect(aProxy.Host, aProxy.Port, remaining());
        HttpConnectHandshake(s, aHost, aPort, Base64Encode(aProxy.Username + ":" + aProxy.Password), deadline,
                             false);
      }
      break;
    }
    case TuaProxyKind::Socks4:
      s.Connect(aProxy.Host, aProxy.Port, remaining());
      Socks4Handshake(s, aHost, aPort, deadline);
      break;
  }
  return s;
}

}  // namespace varo::ua
