// SPDX-License-Identifier: MPL-2.0
// The socket end of the UA TCP transport: the connection that sends finished chunks, the
// transport client that opens it (directly or through an HTTP CONNECT or SOCKS4 proxy), and the
// receive thread that cuts the incoming byte stream into whole messages by their size field
// and hands each one, on that thread, to the message handler.
//
// Failures on the receive or send path are not raised; they are reported once per connection
// through the handler's OnCriticalError. Connect errors are raised to the caller of Connect.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/bytes.h"
#include "ua/transport/proxy.h"
#include "ua/transport/socket.h"
#include "ua/transport/tcp_messages.h"

namespace varo::ua {

enum uaTConnectionState : uint8_t {
  uaCS_Closed = 0,
  uaCS_Close = 1,
  uaCS_Closing = 2,
  uaCS_Connecting = 3,
  uaCS_Opening = 4,
  uaCS_Open = 5,
  uaCS_Faulted = 6,
};

// What the connection calls: the channel's message handler plugs in here.
class IuaMessageHandler {
 public:
  virtual ~IuaMessageHandler() = default;
  // One whole received message, header included, on the receive thread. The bytes are valid
  // only during the call. An exception ends the connection and reaches OnCriticalError.
  virtual void HandleInputMessage(varo::ByteSpan aMessage) = 0;
  // A transport failure (read error, send error, closed connection); called at most once per
  // connection, on the receive thread or on the sending thread.
  virtual void OnCriticalError(const std::string& aReason) = 0;
};

// The transport connection as the channel sees it.
class uaConnection {
 public:
  virtual ~uaConnection() = default;
  uaConnection(const uaConnection&) = delete;
  uaConnection& operator=(const uaConnection&) = delete;

  virtual void SetReceiveBufferSize(uint32_t aSize) = 0;
  virtual void SetSendBufferSize(uint32_t aSize) = 0;
  virtual uint32_t GetReceiveBufferSize() const = 0;
  virtual uint32_t GetSendBufferSize() const = 0;
  virtual void SetState(uaTConnectionState aState);
  void MarkClosing() { SetState(uaCS_Closing); }
  void MarkClose() { SetState(uaCS_Close); }
  // Sends aLength bytes of aBytes from aOffset. Returns false when the bytes were not sent: no
  // socket is open, or the connection is faulted (a send failure is reported through
  // OnCriticalError once and leaves the state uaCS_Faulted). A range beyond aBytes raises
  // EuaSocketError.
  virtual bool SendMessage(varo::ByteSpan aBytes, size_t aLength, size_t aOffset) = 0;
  bool SendMessage(varo::ByteSpan aBytes) { return SendMessage(aBytes, aBytes.size(), 0); }
  virtual void Close() = 0;

  uaTConnectionState State() const { return fState.load(); }

  // The handler is not owned. Set it before Connect; change it only while closed.
  void SetHandler(IuaMessageHandler* aHandler) { fStackChannel.store(aHandler); }
  IuaMessageHandler* Handler() const { return fStackChannel.load(); }

  // Passes the exception's message to the handler's critical-error callback (once per
  // connection, see ReportCriticalError).
  void OnException(const std::exception& aError) { ReportCriticalError(aError.what()); }
  // Reports aReason unless a failure was already reported since the last Connect. Returns
  // whether it was reported now.
  bool ReportCriticalError(const std::string& aReason);

 protected:
  uaConnection() = default;
  void ResetCriticalError() { fErrorReported.store(false); }
  // The two halves of ReportCriticalError: take the one report of this connection, and pass a
  // reason to the handler.
  bool ClaimCriticalError() { return !fErrorReported.exchange(true); }
  void DeliverCriticalError(const std::string& aReason);

  std::atomic<uaTConnectionState> fState{uaCS_Closed};

 private:
  std::atomic<IuaMessageHandler*> fStackChannel{nullptr};
  std::atomic<bool> fErrorReported{false};
};

// The connection over our TCP socket.
class uaTcpConnection : public uaConnection {
 public:
  uaTcpConnection() = default;

  void SetReceiveBufferSize(uint32_t aSize) override;
  void SetSendBufferSize(uint32_t aSize) override;
  uint32_t GetReceiveBufferSize() const override;
  uint32_t GetSendBufferSize() const override;
  void SetState(uaTConnectionState aState) override;
  bool SendMessage(varo::ByteSpan aBytes, size_t aLength, size_t aOffset) override;
  using uaConnection::SendMessage;
  // Shuts the socket down; a thread blocked in a send or receive wakes up at once.
  void Close() override;

  // The largest message the peer may send: the receive buffer size we announce in Hello
  // (default 65535). A size field above it, or below 8, ends the connection. There is no
  // "no limit": 0 restores the default.
  void SetMaxReceiveSize(uint32_t aSize) {
    fMaxReceiveSize.store(aSize ? aSize : uaMessageLimits{}.fReceiveBufferSize);
  }
  uint32_t MaxReceiveSize() const { return fMaxReceiveSize.load(); }
  // A send that makes no progress for this long fails (milliseconds; 0 = no limit).
  void SetSendTimeout(int aMs) { fSendTimeoutMs.store(aMs); }
  int SendTimeout() const { return fSendTimeoutMs.load(); }
  // A message that has begun but makes no progress for this long fails (0 = no limit).
  void SetReadTimeout(int aMs) { fReadTimeoutMs.store(aMs); }
  int ReadTimeout() const { return fReadTimeoutMs.load(); }

  std::function<void(uaTConnectionState)> fOnStateChange;

  // One receive step (the read thread's cycle): waits up to aWaitMs for data, then hands every
  // complete buffered message to the handler while aKeepGoing() holds. Returns whether a
  // message was processed. Raises on a closed connection, socket errors, bad size fields and
  // exceptions of the handler.
  bool ReceiveMessage(int aWaitMs, const std::function<bool()>& aKeepGoing);

 private:
  friend class uaTcpClient;
  // Called by the client with the read thread paused and outside its cycle.
  void Attach(TuaSocket aSocket);
  void Detach();

  TuaSocket fSocket;
  // Sends in progress; Detach waits for them so that the descriptor is never closed under a
  // sender (Shutdown has woken them by then).
  std::mutex fSendMutex;
  std::condition_variable fSendCond;
  int fActiveSends = 0;
  // Received bytes not yet handed on: fInput[0, fFill).
  varo::ByteArray fInput;
  size_t fFill = 0;
  int64_t fLastProgressMs = 0;
  std::atomic<uint32_t> fMaxReceiveSize{uaMessageLimits{}.fReceiveBufferSize};
  std::atomic<int> fSendTimeoutMs{10000};
  std::atomic<int> fReadTimeoutMs{0};
  std::atomic<bool> fSendFailed{false};
};

// The receive thread. Created paused; runs ReceiveMessage cycles while resumed; pauses itself
// on a receive error and reports it.
class TReadThread {
 public:
  TReadThread(uaTcpConnection& aConnection, bool aPaused);
  // Terminates and joins. Must not run on this thread.
  ~TReadThread();
  TReadThread(const TReadThread&) = delete;
  TReadThread& operator=(const TReadThread&) = delete;

  void SetPaused(bool aPaused);
  bool Paused() const;
  bool Terminated() const;
  // Waits until the thread is outside a read cycle (paused or ended); false on time-out
  // (aTimeoutMs < 0 = no limit). Returns at once on the thread itself.
  bool WaitWorkEnd(int aTimeoutMs) const;
  bool IsCurrentThread() const { return std::this_thread::get_id() == fThread.get_id(); }
  void Terminate();
  // Terminates and joins (not on the thread itself).
  void Stop();

 private:
  void Execute();
  void HandleReadError(const std::string& aReason);

  uaTcpConnection& fConnection;
  mutable std::mutex fMutex;
  mutable std::condition_variable fCond;
  bool fPaused;
  bool fTerminated = false;
  bool fInCycle = false;
  std::thread fThread;
};

// The transport client: owns the connection and its receive thread.
class uaTcpClient {
 public:
  uaTcpClient();
  // Closes, then terminates and joins the receive thread. Must not run on the receive thread
  // (from inside a handler); that is a programming error and aborts with a message.
  ~uaTcpClient();
  uaTcpClient(const uaTcpClient&) = delete;
  uaTcpClient& operator=(const uaTcpClient&) = delete;

  void setConnectTimeOut(int aMs) { fConnectTimeoutMs.store(aMs); }
  int getConnectTimeOut() const { return fConnectTimeoutMs.load(); }
  void setReadTimeOut(int aMs) { fConnection.SetReadTimeout(aMs); }
  int getReadTimeOut() const { return fConnection.ReadTimeout(); }

  // Opens the connection to the host and port of the opc.tcp URL (port 4840 when none),
  // through the proxy of aProxy (see ParseProxy), within aConnectTimeout ms (0 = the client's
  // connect time-out), then resumes the receive thread. A connection still open is closed
  // first. Raises EuaUrlError, EuaSocketError or EuaProxyError; raises EuaSocketError when
  // called on the receive thread.
  void Connect(std::string_view aUrl, std::string_view aProxy = {}, int aConnectTimeout = 0);
  // Pauses the receive thread and shuts the socket down. Off the receive thread it returns once
  // the thread has left its cycle; on the receive thread (from a handler) it only marks and
  // returns, and the thread stops after the handler returns.
  void Close();

  uaTcpConnection& getSocket() { return fConnection; }
  TReadThread& ReadThread() { return *fReadThread; }

 private:
  uaTcpConnection fConnection;
  std::atomic<int> fConnectTimeoutMs{10000};
  std::unique_ptr<TReadThread> fReadThread;
  std::mutex fConnectMutex;  // serialises Connect and Close of different callers
};

}  // namespace varo::ua
