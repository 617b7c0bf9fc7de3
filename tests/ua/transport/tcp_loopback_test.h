// SPDX-License-Identifier: MPL-2.0
// In-process loopback peers for the TCP connection tests: a listening server whose accepted
// sockets the test drives by hand, and a handler that records what the connection delivers.
// Every wait has a time-out.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/bytes.h"
#include "ua/transport/socket.h"
#include "ua/transport/tcp_connection.h"

namespace varo::ua::test {

// A listening socket on the loopback address of the given family.
class LoopbackServer {
 public:
  explicit LoopbackServer(bool aIPv6 = false, int aReceiveBuffer = 0) {
    fFd = ::socket(aIPv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fFd < 0) throw std::runtime_error("socket() failed");
    const int one = 1;
    setsockopt(fFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Accepted sockets inherit the receive buffer, which must be set before listen.
    if (aReceiveBuffer > 0) setsockopt(fFd, SOL_SOCKET, SO_RCVBUF, &aReceiveBuffer, sizeof aReceiveBuffer);
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (aIPv6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
      a->sin6_family = AF_INET6;
      a->sin6_addr = in6addr_loopback;
      len = sizeof *a;
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&ss);
      a->sin_family = AF_INET;
      a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      len = sizeof *a;
    }
    if (::bind(fFd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fFd, 8) != 0)
      throw std::runtime_error("bind/listen failed");
    socklen_t got = sizeof ss;
    getsockname(fFd, reinterpret_cast<sockaddr*>(&ss), &got);
    fPort = aIPv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                  : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  }
  ~LoopbackServer() { ::close(fFd); }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  uint16_t Port() const { return fPort; }
  std::string Url() const { return "opc.tcp://127.0.0.1:" + std::to_string(fPort) + "/test"; }

  // The next connection; raises after aTimeoutMs.
  TuaSocket Accept(int aTimeoutMs = 2000) {
    pollfd p{fFd, POLLIN, 0};
    if (::poll(&p, 1, aTimeoutMs) != 1) throw std::runtime_error("no connection to accept");
    const int fd = ::accept4(fFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) throw std::runtime_error("accept failed");
    return TuaSocket::Adopt(fd);
  }

 private:
  int fFd = -1;
  uint16_t fPort = 0;
};

// Closes the socket with a reset instead of an orderly close.
inline void ResetConnection(TuaSocket& aSocket) {
  linger l{1, 0};
  setsockopt(aSocket.Handle(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  aSocket.Release();
}

// A UA-framed message of aSize bytes (at least 8): type word, size, then bytes aFill, aFill+1...
inline ByteArray Message(uint32_t aSize, uint8_t aFill = 0x10, uint32_t aType = 0x4647534D) {
  ByteArray m(aSize < 8 ? 8 : aSize);
  std::memcpy(m.data(), &aType, 4);
  std::memcpy(m.data() + 4, &aSize, 4);
  for (size_t i = 8; i < m.size(); ++i) m[i] = static_cast<uint8_t>(aFill + i);
  return m;
}

// A header alone, announcing aSize bytes.
inline ByteArray Header(uint32_t aSize) {
  ByteArray m = Message(8);
  std::memcpy(m.data() + 4, &aSize, 4);
  return m;
}

inline ByteArray Concat(std::initializer_list<ByteArray> aParts) {
  ByteArray out;
  for (const auto& p : aParts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Records messages and critical errors; an optional hook runs inside HandleInputMessage.
class RecordingHandler : public IuaMessageHandler {
 public:
  void HandleInputMessage(ByteSpan aMessage) override {
    if (OnMessage) OnMessage(aMessage);
    std::lock_guard lk(fMutex);
    fMessages.emplace_back(aMessage.begin(), aMessage.end());
    fCond.notify_all();
  }
  void OnCriticalError(const std::string& aReason) override {
    {
      std::lock_guard lk(fMutex);
      fErrors.push_back(aReason);
      fCond.notify_all();
    }
    if (OnError) OnError(aReason);
  }

  bool WaitMessages(size_t aCount, int aTimeoutMs = 2000) {
    std::unique_lock lk(fMutex);
    return fCond.wait_for(lk, std::chrono::milliseconds(aTimeoutMs),
                          [&] { return fMessages.size() >= aCount; });
  }
  bool WaitErrors(size_t aCount, int aTimeoutMs = 2000) {
    std::unique_lock lk(fMutex);
    return fCond.wait_for(lk, std::chrono::milliseconds(aTimeoutMs),
                          [&] { return fErrors.size() >= aCount; });
  }
  std::vector<ByteArray> Messages() {
    std::lock_guard lk(fMutex);
    return fMessages;
  }
  std::vector<std::string> Errors() {
    std::lock_guard lk(fMutex);
    return fErrors;
  }

  std::function<void(ByteSpan)> OnMessage;
  // Runs after the error was recorded (the stack client closes the connection from here).
  std::function<void(const std::string&)> OnError;

 private:
  std::mutex fMutex;
  std::condition_variable fCond;
  std::vector<ByteArray> fMessages;
  std::vector<std::string> fErrors;
};

// Reads until aCount bytes arrived or the peer closed; gives what arrived.
inline ByteArray ReadBytes(TuaSocket& aSocket, size_t aCount, int aTimeoutMs = 2000) {
  ByteArray out(aCount);
  size_t done = 0;
  const int64_t deadline = TuaSocket::NowMs() + aTimeoutMs;
  while (done < aCount && TuaSocket::NowMs() < deadline) {
    size_t got = 0;
    const auto r = aSocket.Receive(out.data() + done, aCount - done,
                                   static_cast<int>(deadline - TuaSocket::NowMs()), got);
    if (r != TuaSocket::RecvResult::Data) break;
    done += got;
  }
  out.resize(done);
  return out;
}

// True when the peer closes the connection within the time-out (reads and drops any data).
inline bool PeerCloses(TuaSocket& aSocket, int aTimeoutMs = 2000) {
  const int64_t deadline = TuaSocket::NowMs() + aTimeoutMs;
  uint8_t buf[4096];
  while (TuaSocket::NowMs() < deadline) {
    size_t got = 0;
    try {
      const auto r = aSocket.Receive(buf, sizeof buf, static_cast<int>(deadline - TuaSocket::NowMs()), got);
      if (r == TuaSocket::RecvResult::Closed) return true;
    } catch (const EuaConnectionClosed&) {
      return true;
    }
  }
  return false;
}

// Runs aFn on another thread; a call that does not finish within aTimeoutMs is a hang, and
// the test binary aborts rather than wait forever.
inline void FinishesWithin(int aTimeoutMs, const std::function<void()>& aFn) {
  auto f = std::async(std::launch::async, aFn);
  if (f.wait_for(std::chrono::milliseconds(aTimeoutMs)) != std::future_status::ready) {
    ADD_FAILURE() << "call did not finish within " << aTimeoutMs << " ms";
    std::abort();
  }
  f.get();
}

}  // namespace varo::ua::test
