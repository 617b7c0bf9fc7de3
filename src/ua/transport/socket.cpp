// SPDX-License-Identifier: MPL-2.0
#include "ua/transport/socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "platform/strings.h"
#include "ua/transport/url.h"

namespace varo::ua {

namespace {

constexpr int kSliceMs = 100;

struct AddrInfoDeleter {
  void operator()(addrinfo* p) const { freeaddrinfo(p); }
};

void setNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
    throw EuaSocketError("Socket error: " + SocketErrorText(errno));
}

// Milliseconds left before aDeadline, at most a slice; -1 for "no deadline".
int sliceUntil(int64_t aDeadline) {
  if (aDeadline < 0) return kSliceMs;
  const int64_t left = aDeadline - TuaSocket::NowMs();
  return static_cast<int>(std::clamp<int64_t>(left, 0, kSliceMs));
}

}  // namespace

std::string SocketErrorText(int aErrno) {
  char buf[256] = {};
  // GNU strerror_r returns the text, which may or may not be in buf.
  const char* text = strerror_r(aErrno, buf, sizeof buf);
  return text ? std::string(text) : varo::Format("error %d", aErrno);
}

int64_t TuaSocket::NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

TuaSocket::~TuaSocket() {
  Release();
}

TuaSocket::TuaSocket(TuaSocket&& aOther) noexcept : fFd(aOther.fFd.exchange(-1)) {
  fShutdown.store(aOther.fShutdown.load());
}

TuaSocket& TuaSocket::operator=(TuaSocket&& aOther) noexcept {
  if (this != &aOther) {
    Release();
    fFd = aOther.fFd.exchange(-1);
    fShutdown.store(aOther.fShutdown.load());
  }
  return *this;
}

TuaSocket TuaSocket::Adopt(int aFd) {
  setNonBlocking(aFd);
  return TuaSocket(aFd);
}

void TuaSocket::Release() {
  const int fd = fFd.exchange(-1);
  if (fd >= 0) ::close(fd);
}

void TuaSocket::Shutdown() {
  fShutdown = true;
  const int fd = fFd;
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void TuaSocket::Connect(const std::string& aHost, uint16_t aPort, int aTimeoutMs) {
  Release();
  const std::string where = HostPort(aHost, aPort);
  const int64_t deadline = aTimeoutMs > 0 ? NowMs() + aTimeoutMs : -1;

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
  addrinfo* raw = nullptr;
  const std::string port = varo::UIntToStr(aPort);
  const int rc = getaddrinfo(aHost.c_str(), port.c_str(), &hints, &raw);
  if (rc != 0) {
    // AI_ADDRCONFIG hides loopback-only families on hosts without other interfaces.
    hints.ai_flags = AI_NUMERICSERV;
    const int rc2 = getaddrinfo(aHost.c_str(), port.c_str(), &hints, &raw);
    if (rc2 != 0) throw EuaSocketError("Could not resolve host " + aHost + ": " + gai_strerror(rc2));
  }
  std::unique_ptr<addrinfo, AddrInfoDeleter> list(raw);

  std::string lastError = "no address";
  for (addrinfo* ai = list.get(); ai; ai = ai->ai_next) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      lastError = SocketErrorText(errno);
      continue;
    }
    TuaSocket candidate(fd);
    setNonBlocking(fd);
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        lastError = SocketErrorText(errno);
        continue;
      }
      int err = ETIMEDOUT;
      for (;;) {
        int wait = -1;
        if (deadline >= 0) {
          const int64_t left = deadline - NowMs();
          if (left <= 0) break;
          wait = static_cast<int>(std::min<int64_t>(left, 1000));
        }
        pollfd p{fd, POLLOUT, 0};
        const int n = ::poll(&p, 1, wait);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
          err = errno;
          break;
        }
        if (n == 0) continue;
        socklen_t len = sizeof err;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        break;
      }
      if (err != 0) {
        lastError = err == ETIMEDOUT ? std::string("Connect timed out") : SocketErrorText(err);
        if (err == ETIMEDOUT && deadline >= 0 && NowMs() >= deadline) break;
        continue;
      }
    }
    *this = std::move(candidate);
    SetNoDelay(true);
    return;
  }
  throw EuaSocketError("Could not connect to " + where + ": " + lastError);
}

void TuaSocket::Send(varo::ByteSpan aBytes, int aTimeoutMs) {
  size_t done = 0;
  int64_t lastProgress = NowMs();
  while (done < aBytes.size()) {
    if (fFd < 0 || fShutdown) throw EuaSocketError("Socket is closed");
    const ssize_t n = ::send(fFd, aBytes.data() + done, aBytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      lastProgress = NowMs();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      const int err = errno;
      if (err == EPIPE || err == ECONNRESET) throw EuaConnectionClosed("Connection closed by the peer");
      throw EuaSocketError("Socket error: " + SocketErrorText(err));
    }
    if (aTimeoutMs > 0 && NowMs() - lastProgress >= aTimeoutMs)
      throw EuaSocketError(varo::Format("Send timed out after %d ms", aTimeoutMs));
    pollfd p{fFd, POLLOUT, 0};
    if (::poll(&p, 1, kSliceMs) < 0 && errno != EINTR)
      throw EuaSocketError("Socket error: " + SocketErrorText(errno));
  }
}

TuaSocket::RecvResult TuaSocket::Receive(uint8_t* aDst, size_t aMax, int aTimeoutMs, size_t& aCount) {
  aCount = 0;
  if (fFd < 0) return RecvResult::Closed;
  const int64_t deadline = aTimeoutMs >= 0 ? NowMs() + aTimeoutMs : -1;
  for (;;) {
    if (fShutdown) return RecvResult::Closed;
    const ssize_t n = ::recv(fFd, aDst, aMax, 0);
    if (n > 0) {
      aCount = static_cast<size_t>(n);
      return RecvResult::Data;
    }
    if (n == 0) return RecvResult::Closed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      const int err = errno;
      if (err == ECONNRESET) throw EuaConnectionClosed("Connection reset by the peer");
      throw EuaSocketError("Socket error: " + SocketErrorText(err));
    }
    const int wait = sliceUntil(deadline);
    if (deadline >= 0 && wait == 0) return RecvResult::Timeout;
    pollfd p{fFd, POLLIN, 0};
    if (::poll(&p, 1, wait) < 0 && errno != EINTR)
      throw EuaSocketError("Socket error: " + SocketErrorText(errno));
  }
}

void TuaSocket::ReceiveExact(uint8_t* aDst, size_t aCount, int64_t aDeadlineMs) {
  size_t done = 0;
  while (done < aCount) {
    const int64_t left = aDeadlineMs - NowMs();
    if (left <= 0) throw EuaSocketError("Read timed out");
    size_t got = 0;
    switch (Receive(aDst + done, aCount - done, static_cast<int>(left), got)) {
      case RecvResult::Data:
        done += got;
        break;
      case RecvResult::Timeout:
        throw EuaSocketError("Read timed out");
      case RecvResult::Closed:
        throw EuaConnectionClosed("Connection closed by the peer");
    }
  }
}

void TuaSocket::setIntOption(int aLevel, int aName, int aValue, const char* aWhat) {
  if (fFd < 0) return;
  if (setsockopt(fFd, aLevel, aName, &aValue, sizeof aValue) != 0)
    throw EuaSocketError(std::string("Could not set ") + aWhat + ": " + SocketErrorText(errno));
}

int TuaSocket::getIntOption(int aLevel, int aName) const {
  if (fFd < 0) return 0;
  int v = 0;
  socklen_t len = sizeof v;
  if (getsockopt(fFd, aLevel, aName, &v, &len) != 0) return 0;
  return v;
}

void TuaSocket::SetNoDelay(bool aOn) {
  setIntOption(IPPROTO_TCP, TCP_NODELAY, aOn ? 1 : 0, "TCP_NODELAY");
}
void TuaSocket::SetReceiveBufferSize(int aSize) {
  setIntOption(SOL_SOCKET, SO_RCVBUF, aSize, "SO_RCVBUF");
}
void TuaSocket::SetSendBufferSize(int aSize) {
  setIntOption(SOL_SOCKET, SO_SNDBUF, aSize, "SO_SNDBUF");
}
int TuaSocket::GetReceiveBufferSize() const {
  return getIntOption(SOL_SOCKET, SO_RCVBUF);
}
int TuaSocket::GetSendBufferSize() const {
  return getIntOption(SOL_SOCKET, SO_SNDBUF);
}

}  // namespace varo::ua
