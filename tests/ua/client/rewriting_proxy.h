// SPDX-License-Identifier: MPL-2.0
// A UA TCP relay on the loopback address that hands every single-chunk service response
// from the server (security None) to a hook before the client sees it. The hook may change
// the response, replace it or drop it (nullptr); sequence numbers of the later messages are
// renumbered so that the channel stays consistent. Requests pass unchanged. For tests of
// the client against answers a real server does not give: short result arrays, missing
// responses, odd status codes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/bytes.h"
#include "platform/strings.h"
#include "ua/encoding/service_types.h"

namespace varo::ua::test {

class RewritingProxy {
 public:
  using Hook = std::function<std::unique_ptr<TuaObj>(std::unique_ptr<TuaObj>)>;

  explicit RewritingProxy(uint16_t aUpstreamPort) : fUpstreamPort(aUpstreamPort) {
    fListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fListen < 0) throw std::runtime_error("socket() failed");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fListen, 4) != 0) {
      ::close(fListen);
      throw std::runtime_error("bind/listen failed");
    }
    socklen_t len = sizeof a;
    ::getsockname(fListen, reinterpret_cast<sockaddr*>(&a), &len);
    fPort = ntohs(a.sin_port);
    fAcceptThread = std::thread([this] { AcceptLoop(); });
  }

  ~RewritingProxy() {
    fStop = true;
    if (fAcceptThread.joinable()) fAcceptThread.join();
    for (std::thread& t : fConnections) {
      if (t.joinable()) t.join();
    }
    ::close(fListen);
  }
  RewritingProxy(const RewritingProxy&) = delete;
  RewritingProxy& operator=(const RewritingProxy&) = delete;

  std::string Url() const { return "opc.tcp://127.0.0.1:" + UIntToStr(fPort); }

  void SetHook(Hook aHook) {
    std::lock_guard<std::mutex> lock(fHookLock);
    fHook = std::move(aHook);
  }
  void ClearHook() { SetHook(nullptr); }
  // Responses the hook dropped so far.
  int Dropped() const { return fDroppedTotal.load(); }

 private:
  static constexpr size_t kHeader = 8;
  static constexpr size_t kBodyOffset = 24;  // header, channel id, token id, sequence, request id

  void AcceptLoop() {
    while (!fStop) {
      pollfd p{fListen, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const int client = ::accept4(fListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      fConnections.emplace_back([this, client] { Serve(client); });
    }
  }

  static bool SendAll(int aFd, const uint8_t* aData, size_t aSize) {
    while (aSize > 0) {
      const ssize_t n = ::send(aFd, aData, aSize, MSG_NOSIGNAL);
      if (n <= 0) return false;
      aData += n;
      aSize -= static_cast<size_t>(n);
    }
    return true;
  }

  static uint32_t Get32(const ByteArray& aBuf, size_t aAt) {
    uint32_t v;
    std::memcpy(&v, aBuf.data() + aAt, 4);
    return v;
  }
  static void Put32(ByteArray& aBuf, size_t aAt, uint32_t aValue) {
    std::memcpy(aBuf.data() + aAt, &aValue, 4);
  }

  // A whole message from the server; false when it is to be dropped.
  bool Rewrite(ByteArray& aMsg, uint32_t& aDropped) {
    const bool msgFinal = aMsg.size() > kBodyOffset && std::memcmp(aMsg.data(), "MSGF", 4) == 0;
    if (std::memcmp(aMsg.data(), "MSG", 3) == 0 && aMsg.size() >= kBodyOffset) {
      Put32(aMsg, 16, Get32(aMsg, 16) - aDropped);
    }
    if (!msgFinal) return true;
    Hook hook;
    {
      std::lock_guard<std::mutex> lock(fHookLock);
      hook = fHook;
    }
    if (!hook) return true;
    std::unique_ptr<TuaObj> obj;
    try {
      obj = DecodeServiceMessage(ByteSpan(aMsg).subspan(kBodyOffset), true);
    } catch (const std::exception&) {
      return true;
    }
    obj = hook(std::move(obj));
    if (!obj) {
      ++aDropped;
      ++fDroppedTotal;
      return false;
    }
    const ByteArray body = EncodeServiceMessage(*obj);
    aMsg.resize(kBodyOffset);
    aMsg.insert(aMsg.end(), body.begin(), body.end());
    Put32(aMsg, 4, static_cast<uint32_t>(aMsg.size()));
    return true;
  }

  void Serve(int aClient) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(fUpstreamPort);
    if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      if (server >= 0) ::close(server);
      ::close(aClient);
      return;
    }
    ByteArray pending;
    uint32_t dropped = 0;
    uint8_t chunk[65536];
    bool open = true;
    while (open && !fStop) {
      pollfd p[2] = {{aClient, POLLIN, 0}, {server, POLLIN, 0}};
      if (::poll(p, 2, 50) <= 0) continue;
      if (p[0].revents != 0) {
        const ssize_t n = ::recv(aClient, chunk, sizeof chunk, 0);
        open = n > 0 && SendAll(server, chunk, static_cast<size_t>(n));
      }
      if (open && p[1].revents != 0) {
        const ssize_t n = ::recv(server, chunk, sizeof chunk, 0);
        open = n > 0;
        if (open) pending.insert(pending.end(), chunk, chunk + n);
        while (open && pending.size() >= kHeader) {
          const uint32_t size = Get32(pending, 4);
          if (size < kHeader) {
            open = false;
            break;
          }
          if (pending.size() < size) break;
          ByteArray msg(pending.begin(), pending.begin() + size);
          pending.erase(pending.begin(), pending.begin() + size);
          if (Rewrite(msg, dropped)) open = SendAll(aClient, msg.data(), msg.size());
        }
      }
    }
    ::close(server);
    ::close(aClient);
  }

  uint16_t fUpstreamPort;
  uint16_t fPort = 0;
  int fListen = -1;
  std::atomic<bool> fStop{false};
  std::atomic<int> fDroppedTotal{0};
  std::mutex fHookLock;
  Hook fHook;
  std::thread fAcceptThread;
  std::vector<std::thread> fConnections;  // touched by the accept thread only, joined after it
};

}  // namespace varo::ua::test
