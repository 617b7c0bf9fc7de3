// SPDX-License-Identifier: MPL-2.0
// A scripted UA TCP server on the loopback address for tests of the stack client against a
// hostile or broken peer. A thread accepts one connection and plays the script on it with a
// FakePeer, which reads the client's messages and sends valid or deliberately broken answers
// (chunks for security None, made with our own chunk encoder). Every wait is bounded, Stop()
// wakes the thread wherever it waits, and the destructor joins it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/datetime.h"
#include "tcp_loopback_test.h"
#include "ua/encoding/service_types.h"
#include "ua/transport/channel.h"
#include "ua/transport/chunk.h"
#include "ua/transport/tcp_message_io.h"

namespace varo::ua::test {

// The server end of one connection.
class FakePeer {
 public:
  FakePeer(TuaSocket& aSocket, const std::atomic<bool>& aStop) : fSocket(aSocket), fStop(aStop) {
    fOpnHeader.fHeader.fSecureChannelId = fChannelId;
    fOpnHeader.fSecureHeader.fSecurityPolicyUri = uaSecurityPolicies::uaSecurityPolicyToString(uaSPNone);
    fMsgHeader.fHeader.fSecureChannelId = fChannelId;
    fMsgHeader.fSecureHeader.ftokenId = fTokenId;
  }

  // One whole message from the client. Raises when the client closes, the server is stopped,
  // or nothing complete arrives within aTimeoutMs.
  ByteArray ReadMessage(int aTimeoutMs = 5000) {
    const int64_t deadline = TuaSocket::NowMs() + aTimeoutMs;
    ByteArray m(uaTcpHeaderSize);
    ReadExact(m.data(), uaTcpHeaderSize, deadline);
    uint32_t size = 0;
    std::memcpy(&size, m.data() + 4, 4);
    if (size < uaTcpHeaderSize || size > (16u << 20))
      throw std::runtime_error("client sent a bad size field");
    m.resize(size);
    ReadExact(m.data() + uaTcpHeaderSize, size - uaTcpHeaderSize, deadline);
    return m;
  }

  uint32_t ReadType(const ByteArray& aMessage) {
    uint32_t t = 0;
    std::memcpy(&t, aMessage.data(), 4);
    return t;
  }

  void ExpectHello() {
    const ByteArray m = ReadMessage();
    if (ReadType(m) != uaTcpHello) throw std::runtime_error("expected a Hello");
  }

  void SendAck(const uaMessageAck& aAck = uaMessageAck{}) {
    fWriter.WriteMessageAcknowledge(aAck);
    Send(fWriter.View());
  }

  void SendError(uaStatusCode aStatus, const std::string& aReason) {
    uaMessageError e;
    e.fError = aStatus;
    e.fReason = aReason;
    fWriter.WriteMessageError(e);
    Send(fWriter.View());
  }

  // Reads one secure conversation message of aType (OPN, MSG or CLO) and gives its request id
  // and body.
  uaReceivedMessage ReadChunked(uint32_t aType) {
    const ByteArray m = ReadMessage();
    if (uaTcp::getMessageType(ReadType(m)) != aType) throw std::runtime_error("unexpected message type");
    std::optional<uaReceivedMessage> r = fDecoder.ProcessChunk(m, fNone);
    if (!r || r->fKind != uaReceivedMessage::rmComplete)
      throw std::runtime_error("expected a request in one chunk");
    return std::move(*r);
  }

  // Hello, Acknowledge, OpenSecureChannel and its response.
  void Handshake() {
    ExpectHello();
    SendAck();
    SendOpenResponse(ReadChunked(uaTcpOpenSecureChannel).fRequestId);
  }

  void SendOpenResponse(uint32_t aRequestId) {
    uaOpenSecureChannelResponse r;
    r.ResponseHeader = NewResponseHeader();
    r.SecurityToken = std::make_unique<uaChannelSecurityToken>();
    r.SecurityToken->ChannelId = fChannelId;
    r.SecurityToken->TokenId = fTokenId;
    r.SecurityToken->CreatedAt = NowUtc();
    r.SecurityToken->RevisedLifetime = 600000;
    fEncoder.WriteMessageChunks(uaTcpOpenSecureChannel, fNone, Sender(), aRequestId, r, fData, fWriter,
                                fOpnHeader);
  }

  // The request id of the next service request.
  uint32_t ReadRequest() { return ReadChunked(uaTcpMessage).fRequestId; }

  // A service response in as many chunks as the server's send buffer (fData) needs.
  void SendResponse(uint32_t aRequestId, const TuaObj& aResponse) {
    fEncoder.WriteMessageChunks(uaTcpMessage, fNone, Sender(), aRequestId, aResponse, fData, fWriter,
                                fMsgHeader);
  }
  // The chunks of a response as they would be sent, without sending them.
  ByteArray EncodeResponse(uint32_t aRequestId, const TuaObj& aResponse) {
    ByteArray out;
    fEncoder.WriteMessageChunks(
        uaTcpMessage, fNone, [&](ByteSpan c) { out.insert(out.end(), c.begin(), c.end()); }, aRequestId,
        aResponse, fData, fWriter, fMsgHeader);
    return out;
  }

  // A GetEndpoints response with one endpoint; aCertificateBytes make it as long as wanted.
  static std::unique_ptr<uaGetEndpointsResponse> Endpoints(size_t aCertificateBytes = 0) {
    auto r = std::make_unique<uaGetEndpointsResponse>();
    r->ResponseHeader = NewResponseHeader();
    auto e = std::make_unique<uaEndpointDescription>();
    e->EndpointUrl = "opc.tcp://127.0.0.1/fake";
    e->SecurityPolicyUri = uaSecurityPolicies::uaSecurityPolicyToString(uaSPNone);
    e->ServerCertificate.assign(aCertificateBytes, 0xC5);
    r->Endpoints.push_back(std::move(e));
    return r;
  }

  void Send(ByteSpan aBytes) { fSocket.Send(aBytes, 5000); }
  void Pause(int aMs) { std::this_thread::sleep_for(std::chrono::milliseconds(aMs)); }
  // An orderly close (FIN) of both directions.
  void Close() { fSocket.Shutdown(); }
  // Closes with a reset instead.
  void Reset() { ResetConnection(fSocket); }

  // Reads and drops what the client sends until it closes the connection or the server is
  // stopped.
  void HoldUntilClosed() {
    uint8_t buf[4096];
    while (!fStop.load()) {
      size_t got = 0;
      try {
        if (fSocket.Receive(buf, sizeof buf, 50, got) == TuaSocket::RecvResult::Closed) return;
      } catch (const EuaSocketError&) {
        return;
      }
    }
  }
  // Neither reads nor sends until the server is stopped: a peer whose buffers fill up.
  void WaitForStop() {
    while (!fStop.load()) Pause(20);
  }
  // Raises unless the client closes the connection within aTimeoutMs.
  void ExpectClientCloses(int aTimeoutMs = 3000) {
    const int64_t deadline = TuaSocket::NowMs() + aTimeoutMs;
    uint8_t buf[4096];
    while (TuaSocket::NowMs() < deadline && !fStop.load()) {
      size_t got = 0;
      try {
        if (fSocket.Receive(buf, sizeof buf, 50, got) == TuaSocket::RecvResult::Closed) return;
      } catch (const EuaConnectionClosed&) {
        return;
      }
    }
    throw std::runtime_error("the client did not close the connection");
  }

  // The server's side of the conversation: its send limits and sequence numbers.
  uaTcpConnectionData fData;
  uaMsgAsymmetricHeader fOpnHeader;
  uaMsgSymmetricHeader fMsgHeader;
  uint32_t fChannelId = 7;
  uint32_t fTokenId = 3;

 private:
  static std::unique_ptr<uaResponseHeader> NewResponseHeader() {
    auto h = std::make_unique<uaResponseHeader>();
    h->Timestamp = NowUtc();
    return h;
  }
  uaChunkSendCallback Sender() {
    return [this](ByteSpan c) { Send(c); };
  }
  void ReadExact(uint8_t* aDst, size_t aCount, int64_t aDeadline) {
    size_t done = 0;
    while (done < aCount) {
      if (fStop.load()) throw std::runtime_error("server stopped");
      if (TuaSocket::NowMs() >= aDeadline) throw std::runtime_error("client sent nothing in time");
      size_t got = 0;
      if (fSocket.Receive(aDst + done, aCount - done, 50, got) == TuaSocket::RecvResult::Closed)
        throw std::runtime_error("client closed the connection");
      done += got;
    }
  }

  TuaSocket& fSocket;
  const std::atomic<bool>& fStop;
  uaTcpMessageWriter fWriter;
  uaChunkEncoder fEncoder;
  uaChunkDecoder fDecoder;
  uaNoneDelegate fNone;
};

class FakeServer {
 public:
  using Script = std::function<void(FakePeer&)>;

  // Listens at once; the thread accepts one connection (within 5 s) and plays aScript on it.
  // aReceiveBuffer > 0 sets the accepted socket's receive buffer (a peer slow to take data).
  explicit FakeServer(Script aScript, int aReceiveBuffer = 0)
      : fListen(false, aReceiveBuffer), fScript(std::move(aScript)), fThread([this] { Run(); }) {}
  ~FakeServer() { Stop(); }
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  std::string Url() const { return fListen.Url(); }

  // Wakes the script wherever it waits and joins the thread.
  void Stop() {
    fStop = true;
    {
      std::lock_guard lk(fMutex);
      if (fPeer) fPeer->Shutdown();
    }
    if (fThread.joinable()) fThread.join();
  }
  // Waits until the script has ended.
  bool WaitDone(int aTimeoutMs) {
    std::unique_lock lk(fMutex);
    return fCond.wait_for(lk, std::chrono::milliseconds(aTimeoutMs), [this] { return fDone; });
  }
  // Why the script failed; empty when it ran to its end (or was stopped while holding).
  std::string ScriptError() {
    std::lock_guard lk(fMutex);
    return fError;
  }

 private:
  void Run() {
    std::string error;
    try {
      TuaSocket peer;
      for (int i = 0; i < 100 && !fStop.load() && !peer.IsOpen(); ++i) {
        try {
          peer = fListen.Accept(50);
        } catch (const std::runtime_error&) {
          // nobody yet
        }
      }
      if (!peer.IsOpen()) throw std::runtime_error("no client connected");
      {
        std::lock_guard lk(fMutex);
        fPeer = &peer;
      }
      struct Unpublish {
        FakeServer& s;
        ~Unpublish() {
          std::lock_guard lk(s.fMutex);
          s.fPeer = nullptr;
        }
      } unpublish{*this};
      if (fStop.load()) peer.Shutdown();
      FakePeer p(peer, fStop);
      fScript(p);
    } catch (const std::exception& e) {
      error = e.what();
    }
    std::lock_guard lk(fMutex);
    fError = error;
    fDone = true;
    fCond.notify_all();
  }

  LoopbackServer fListen;
  Script fScript;
  std::atomic<bool> fStop{false};
  std::mutex fMutex;
  std::condition_variable fCond;
  TuaSocket* fPeer = nullptr;  // the accepted socket while the script runs
  bool fDone = false;
  std::string fError;
  std::thread fThread;  // last: starts once everything above exists
};

}  // namespace varo::ua::test
