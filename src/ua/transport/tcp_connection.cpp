// SPDX-License-Identifier: MPL-2.0
#include "ua/transport/tcp_connection.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/strings.h"
#include "ua/transport/url.h"

namespace varo::ua {

namespace {

// How long one receive cycle waits for data before it looks at the pause flag again.
constexpr int kCycleWaitMs = 200;
// The input buffer grows in steps of at least this size (never beyond the receive limit).
constexpr size_t kInputChunk = 16384;
constexpr uint32_t kBadTcpMessageTooLarge = 0x80800000u;

}  // namespace

// ---------------------------------------------------------------------------------------
// uaConnection

void uaConnection::SetState(uaTConnectionState aState) {
  fState.store(aState);
}

bool uaConnection::ReportCriticalError(const std::string& aReason) {
  if (!ClaimCriticalError()) return false;
  DeliverCriticalError(aReason);
  return true;
}

void uaConnection::DeliverCriticalError(const std::string& aReason) {
  if (IuaMessageHandler* h = Handler()) h->OnCriticalError(aReason);
}

// ---------------------------------------------------------------------------------------
// uaTcpConnection

void uaTcpConnection::SetReceiveBufferSize(uint32_t aSize) {
  fSocket.SetReceiveBufferSize(static_cast<int>(std::min<uint32_t>(aSize, 0x7FFFFFFF)));
}
void uaTcpConnection::SetSendBufferSize(uint32_t aSize) {
  fSocket.SetSendBufferSize(static_cast<int>(std::min<uint32_t>(aSize, 0x7FFFFFFF)));
}
uint32_t uaTcpConnection::GetReceiveBufferSize() const {
  return static_cast<uint32_t>(std::max(0, fSocket.GetReceiveBufferSize()));
}
uint32_t uaTcpConnection::GetSendBufferSize() const {
  return static_cast<uint32_t>(std::max(0, fSocket.GetSendBufferSize()));
}

void uaTcpConnection::SetState(uaTConnectionState aState) {
  uaConnection::SetState(aState);
  if (fOnStateChange) fOnStateChange(aState);
}

bool uaTcpConnection::SendMessage(varo::ByteSpan aBytes, size_t aLength, size_t aOffset) {
  if (aOffset > aBytes.size() || aLength > aBytes.size() - aOffset)
    throw EuaSocketError(varo::Format("SendMessage range %zu+%zu is beyond the %zu bytes given", aOffset,
                                      aLength, aBytes.size()));
  {
    std::lock_guard lk(fSendMutex);
    if (!fSocket.IsOpen() || fSendFailed.load()) return false;
    ++fActiveSends;
  }
  struct SendGuard {
    uaTcpConnection& c;
    ~SendGuard() {
      std::lock_guard lk(c.fSendMutex);
      --c.fActiveSends;
      c.fSendCond.notify_all();
    }
  };
  std::string failure;
  {
    SendGuard guard{*this};
    try {
      fSocket.Send(aBytes.subspan(aOffset, aLength), fSendTimeoutMs.load());
      return true;
    } catch (const std::exception& e) {
      if (fSendFailed.exchange(true)) return false;
      SetState(uaCS_Faulted);
      // A send cut short by our own Close (or by the receive thread ending the connection) is
      // no new failure: the sender sees false, nothing more is reported.
      if (fSocket.IsShutdown()) return false;
      // Claim the one report before the shutdown, so that the send failure, not the receive
      // thread's view of the closed socket, is the reason given.
      if (!ClaimCriticalError()) return false;
      failure = std::string(e.what()) + " on SendMessage";
      // Part of a chunk may have gone out: the stream cannot be continued.
      fSocket.Shutdown();
    }
  }
  // Reported outside the send bookkeeping: the handler may Close (and so Detach) from here.
  DeliverCriticalError(failure);
  return false;
}

void uaTcpConnection::Close() {
  fSocket.Shutdown();
}

void uaTcpConnection::Attach(TuaSocket aSocket) {
  std::lock_guard lk(fSendMutex);
  fSocket = std::move(aSocket);
  fInput.clear();
  fInput.shrink_to_fit();
  fFill = 0;
  fSendFailed = false;
  ResetCriticalError();
}

void uaTcpConnection::Detach() {
  std::unique_lock lk(fSendMutex);
  fSendCond.wait(lk, [this] { return fActiveSends == 0; });
  fSocket.Release();
  fInput.clear();
  fInput.shrink_to_fit();
  fFill = 0;
}

bool uaTcpConnection::ReceiveMessage(int aWaitMs, const std::function<bool()>& aKeepGoing) {
  bool processed = false;
  uint32_t announced = 0;
  // Hands on every whole message that is buffered; leaves `announced` at the size of the
  // incomplete one (0 while fewer than 8 bytes are there).
  auto drain = [&]() {
    while (aKeepGoing()) {
      announced = 0;
      if (fFill < uaTcpHeaderSize) return;
      uint32_t size = 0;
      std::memcpy(&size, fInput.data() + 4, 4);
      const uint32_t limit = MaxReceiveSize();
      if (size < uaTcpHeaderSize)
        throw EuaTcpError(
            varo::Format("UA Error ($%x) BadTcpMessageTooLarge: message size %u is smaller than "
                         "the %u-byte header",
                         kBadTcpMessageTooLarge, size, uaTcpHeaderSize));
      if (size > limit)
        throw EuaTcpError(
            varo::Format("UA Error ($%x) BadTcpMessageTooLarge: message size %u exceeds the "
                         "receive buffer size of %u bytes",
                         kBadTcpMessageTooLarge, size, limit));
      announced = size;
      if (fFill < size) return;
      // The bytes count as consumed even when the handler fails.
      if (IuaMessageHandler* h = Handler()) {
        struct Consume {
          uaTcpConnection& c;
          size_t n;
          ~Consume() {
            std::memmove(c.fInput.data(), c.fInput.data() + n, c.fFill - n);
            c.fFill -= n;
          }
        } consume{*this, size};
        h->HandleInputMessage(varo::ByteSpan(fInput.data(), size));
      } else {
        std::memmove(fInput.data(), fInput.data() + size, fFill - size);
        fFill -= size;
      }
      processed = true;
    }
  };

  drain();
  if (processed || !aKeepGoing()) return processed;

  // Grow towards the announced size only as bytes arrive: at most twice what is buffered, at
  // least one step, never past the message.
  const size_t need = announced ? announced : uaTcpHeaderSize;
  if (fInput.size() < need) fInput.resize(std::min(need, std::max(fInput.size() * 2, fFill + kInputChunk)));

  size_t got = 0;
  switch (fSocket.Receive(fInput.data() + fFill, fInput.size() - fFill, aWaitMs, got)) {
    case TuaSocket::RecvResult::Data:
      fFill += got;
      fLastProgressMs = TuaSocket::NowMs();
      drain();
      return processed;
    case TuaSocket::RecvResult::Timeout: {
      const int readTimeout = fReadTimeoutMs.load();
      if (fFill > 0 && readTimeout > 0 && TuaSocket::NowMs() - fLastProgressMs >= readTimeout)
        throw EuaSocketError(varo::Format("Read timed out after %d ms with %zu bytes of a message received",
                                          readTimeout, fFill));
      return false;
    }
    case TuaSocket::RecvResult::Closed:
      if (!aKeepGoing()) return false;  // our own Close
      if (fFill > 0)
        throw EuaConnectionClosed(varo::Format(
            "Connection closed by the peer in the middle of a message (%zu of %u bytes received)", fFill,
            announced ? announced : uaTcpHeaderSize));
      throw EuaConnectionClosed("Connection closed by the peer");
  }
  return processed;
}

// ---------------------------------------------------------------------------------------
// TReadThread

TReadThread::TReadThread(uaTcpConnection& aConnection, bool aPaused)
    : fConnection(aConnection), fPaused(aPaused), fThread([this] { Execute(); }) {}

TReadThread::~TReadThread() {
  Stop();
}

void TReadThread::Stop() {
  Terminate();
  if (fThread.joinable() && !IsCurrentThread()) fThread.join();
}

void TReadThread::Terminate() {
  std::lock_guard lk(fMutex);
  fTerminated = true;
  fCond.notify_all();
}

void TReadThread::SetPaused(bool aPaused) {
  std::lock_guard lk(fMutex);
  if (fTerminated || fPaused == aPaused) return;
  fPaused = aPaused;
  fCond.notify_all();
}

bool TReadThread::Paused() const {
  std::lock_guard lk(fMutex);
  return fPaused;
}

bool TReadThread::Terminated() const {
  std::lock_guard lk(fMutex);
  return fTerminated;
}

bool TReadThread::WaitWorkEnd(int aTimeoutMs) const {
  if (IsCurrentThread()) return true;
  std::unique_lock lk(fMutex);
  auto outside = [this] { return !fInCycle; };
  if (aTimeoutMs < 0) {
    fCond.wait(lk, outside);
    return true;
  }
  return fCond.wait_for(lk, std::chrono::milliseconds(aTimeoutMs), outside);
}

void TReadThread::Execute() {
  std::unique_lock lk(fMutex);
  for (;;) {
    if (fPaused && !fTerminated) {
      fInCycle = false;
      fCond.notify_all();
      fCond.wait(lk, [this] { return !fPaused || fTerminated; });
    }
    if (fTerminated) break;
    if (fPaused) continue;
    fInCycle = true;
    lk.unlock();

    std::string error;
    bool failed = false;
    try {
      fConnection.ReceiveMessage(kCycleWaitMs, [this] {
        std::lock_guard g(fMutex);
        return !fPaused && !fTerminated;
      });
    } catch (const std::exception& e) {
      failed = true;
      error = e.what();
    } catch (...) {
      failed = true;
      error = "Unknown error on the receive thread";
    }

    lk.lock();
    if (failed && !fPaused && !fTerminated) {
      lk.unlock();
      HandleReadError(error);
      lk.lock();
    }
  }
  fInCycle = false;
  fCond.notify_all();
}

void TReadThread::HandleReadError(const std::string& aReason) {
  // The stream cannot be continued after a failed message: end the connection and pause. The
  // report is part of the cycle, so a Close or Connect on another thread waits for it and never
  // races with what the handler does from here (it may Close).
  fConnection.Close();
  {
    std::lock_guard lk(fMutex);
    fPaused = true;
  }
  fConnection.ReportCriticalError(aReason);
  {
    std::lock_guard lk(fMutex);
    fInCycle = false;
    fCond.notify_all();
  }
}

// ---------------------------------------------------------------------------------------
// uaTcpClient

uaTcpClient::uaTcpClient() : fReadThread(std::make_unique<TReadThread>(fConnection, true)) {
  fConnection.fOnStateChange = [this](uaTConnectionState aState) {
    if (aState == uaCS_Closed && fReadThread) fReadThread->SetPaused(true);
  };
}

uaTcpClient::~uaTcpClient() {
  if (fReadThread && fReadThread->IsCurrentThread()) {
    std::fprintf(stderr, "uaTcpClient destroyed on its own receive thread\n");
    std::abort();
  }
  Close();
  // Joined while the pointer is still valid: a callback still running may use it.
  fReadThread->Stop();
  fConnection.fOnStateChange = nullptr;
  fReadThread.reset();
}

void uaTcpClient::Close() {
  fReadThread->SetPaused(true);
  fConnection.Close();
  if (fReadThread->IsCurrentThread()) return;  // the thread stops once the handler returns
  std::lock_guard lk(fConnectMutex);
  fReadThread->WaitWorkEnd(-1);
  fConnection.Detach();
}

void uaTcpClient::Connect(std::string_view aUrl, std::string_view aProxy, int aConnectTimeout) {
  if (fReadThread->IsCurrentThread())
    throw EuaSocketError("Connect must not be called on the receive thread");
  const uaProxySettings proxy = ParseProxy(aProxy);
  const uaUrl url = ParseOpcTcpUrl(aUrl);
  const uint16_t port = url.PortOr(uaDefaultTcpPort);
  if (aConnectTimeout > 0) setConnectTimeOut(aConnectTimeout);

  std::lock_guard lk(fConnectMutex);
  fReadThread->SetPaused(true);
  fConnection.Close();
  fReadThread->WaitWorkEnd(-1);
  fConnection.Detach();

  fConnection.Attach(OpenTcp(proxy, url.Host, port, getConnectTimeOut()));
  if (fReadThread->Terminated()) fReadThread = std::make_unique<TReadThread>(fConnection, true);
  fReadThread->SetPaused(false);
}

}  // namespace varo::ua
