// SPDX-License-Identifier: MPL-2.0
// A thin TCP client socket over POSIX: name resolution for IPv4 and IPv6, connect with a
// time-out, TCP_NODELAY, socket buffer sizes, and sends and receives that wait with poll and
// never block longer than asked. The descriptor stays non-blocking for its whole life.
//
// Shutdown() may be called from any thread while another thread waits in Send or Receive: it
// wakes that thread, whose call then ends with an error or "closed". The descriptor itself is
// released only by Release() or the destructor, once no other thread uses the socket.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/bytes.h"
#include "platform/error.h"

namespace varo::ua {

// A socket operation failed: resolve, connect, send, receive, or a proxy handshake.
class EuaSocketError : public varo::EVaroError {
 public:
  using EVaroError::EVaroError;
};

// The peer closed the connection (orderly close or reset).
class EuaConnectionClosed : public EuaSocketError {
 public:
  using EuaSocketError::EuaSocketError;
};

class TuaSocket {
 public:
  // How a Receive call ended.
  enum class RecvResult { Data, Timeout, Closed };

  TuaSocket() = default;
  ~TuaSocket();
  TuaSocket(TuaSocket&& aOther) noexcept;
  TuaSocket& operator=(TuaSocket&& aOther) noexcept;
  TuaSocket(const TuaSocket&) = delete;
  TuaSocket& operator=(const TuaSocket&) = delete;

  // Resolves aHost (name, IPv4 or IPv6 text) and connects to the first address that accepts
  // within the time-out (milliseconds, for the whole call; 0 = no limit). Raises
  // EuaSocketError naming the host and port. Any previous descriptor is released first.
  void Connect(const std::string& aHost, uint16_t aPort, int aTimeoutMs);
  // Adopts an already connected descriptor (used by the tests' server side).
  static TuaSocket Adopt(int aFd);

  bool IsOpen() const { return fFd >= 0; }
  int Handle() const { return fFd; }

  // Sends every byte. Waits in slices of at most 100 ms for buffer space; raises
  // EuaSocketError when the socket fails, was shut down, or when no byte could be written for
  // aTimeoutMs milliseconds (0 = no limit).
  void Send(varo::ByteSpan aBytes, int aTimeoutMs);
  // Receives up to aMax bytes into aDst, waiting at most aTimeoutMs (negative = no limit)
  // for the first byte. aCount is set to the bytes received. Raises EuaSocketError on errors
  // other than an orderly close; a reset is EuaConnectionClosed.
  RecvResult Receive(uint8_t* aDst, size_t aMax, int aTimeoutMs, size_t& aCount);
  // Receives exactly aCount bytes before aDeadlineMs of steady time (milliseconds, see
  // NowMs()); raises EuaSocketError on time-out and EuaConnectionClosed on close.
  void ReceiveExact(uint8_t* aDst, size_t aCount, int64_t aDeadlineMs);

  // Stops both directions; wakes a thread that waits in Send or Receive. Thread-safe.
  void Shutdown();
  // Whether Shutdown was called since the socket was opened (stays set after Release).
  bool IsShutdown() const { return fShutdown.load(); }
  // Closes the descriptor. Not thread-safe: no other thread may use the socket.
  void Release();

  void SetNoDelay(bool aOn);
  void SetReceiveBufferSize(int aSize);
  void SetSendBufferSize(int aSize);
  int GetReceiveBufferSize() const;
  int GetSendBufferSize() const;

  // Steady clock in milliseconds.
  static int64_t NowMs();

 private:
  explicit TuaSocket(int aFd) : fFd(aFd) {}
  void setIntOption(int aLevel, int aName, int aValue, const char* aWhat);
  int getIntOption(int aLevel, int aName) const;

  std::atomic<int> fFd{-1};
  std::atomic<bool> fShutdown{false};
};

// The text of an errno value ("Connection refused").
std::string SocketErrorText(int aErrno);

}  // namespace varo::ua
