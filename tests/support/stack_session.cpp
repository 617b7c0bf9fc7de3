// SPDX-License-Identifier: MPL-2.0
#include "support/stack_session.h"

#include <chrono>
#include <stdexcept>

#include "platform/datetime.h"
#include "ua/security/policy_keys.h"

namespace varo::test {

using namespace varo::ua;

StackSession::StackSession() {
  fStack.fOnAckMessage = [this](uaStackClient&, const uaMessageAck&) {
    std::lock_guard l(fLock);
    fAck = true;
    fCond.notify_all();
  };
  fStack.fOnReceivedMessage = [this](uaChannel&, uint32_t id, ByteSpan msg) {
    std::lock_guard l(fLock);
    fResponses[id] = ByteArray(msg.begin(), msg.end());
    fCond.notify_all();
  };
  fStack.fOnErrorMessage = [this](uaStackClient&, const uaMessageError& e, uint32_t id) {
    std::lock_guard l(fLock);
    if (id != 0 && e.fType == et_Abort)
      fAborts[id] = e;
    else
      fError = e;
    fCond.notify_all();
  };
  fStack.fHandleCriticalException = [this](const std::string& reason) {
    std::lock_guard l(fLock);
    if (!fCritical) fCritical = reason;
    fCond.notify_all();
  };
}

StackSession::~StackSession() = default;

void StackSession::Connect(const std::string& aUrl, std::string_view aProxy, int aTimeoutMs) {
  {
    std::lock_guard l(fLock);
    fAck = false;
    fCritical.reset();
    fError.reset();
    fResponses.clear();
  }
  fStack.Connect(aUrl, aProxy, aTimeoutMs);
  std::unique_lock l(fLock);
  if (!fCond.wait_for(l, std::chrono::milliseconds(fTimeoutMs), [&] { return fAck || fCritical || fError; }))
    throw std::runtime_error("no Acknowledge within the time-out");
  if (fCritical) throw std::runtime_error("connection failed: " + *fCritical);
  if (fError) throw std::runtime_error("server error: " + fError->fReason);
}

void StackSession::FillHeader(TuaRequestObj& aRequest) {
  uaRequestHeader* h = aRequest.GetRequestHeader();
  if (!h) return;
  h->Timestamp = NowUtc();
  h->RequestHandle = ++fHandle;
  if (h->TimeoutHint == 0) h->TimeoutHint = static_cast<uint32_t>(fTimeoutMs);
}

ByteArray StackSession::WaitResponse(uint32_t aRequestId) {
  std::unique_lock l(fLock);
  const bool done = fCond.wait_for(l, std::chrono::milliseconds(fTimeoutMs), [&] {
    return fResponses.count(aRequestId) || fAborts.count(aRequestId) || fCritical || fError;
  });
  if (!done) throw std::runtime_error("no response within the time-out");
  if (auto it = fResponses.find(aRequestId); it != fResponses.end()) {
    ByteArray r = std::move(it->second);
    fResponses.erase(it);
    return r;
  }
  if (auto it = fAborts.find(aRequestId); it != fAborts.end()) {
    const std::string reason = it->second.fReason;
    fAborts.erase(it);
    throw std::runtime_error("aborted: " + reason);
  }
  if (fCritical) throw std::runtime_error("connection failed: " + *fCritical);
  throw std::runtime_error("server error: " + fError->fReason);
}

std::unique_ptr<uaOpenSecureChannelResponse> StackSession::Open(bool aRenew, uint32_t aLifetimeMs) {
  uaChannel& ch = fStack.TcpChannel();
  uaOpenSecureChannelRequest req;
  FillHeader(req);
  req.ClientProtocolVersion = 0;
  req.RequestType = std::make_unique<uaSecurityTokenRequestType>(aRenew ? 1 : 0);
  req.SecurityMode =
      std::make_unique<uaMessageSecurityMode>(ch.SecurityMode() == uaSNULL ? uaSNone : ch.SecurityMode());
  ch.ConnectionData().fLocalNonce =
      CreateClientNonce(ch.SecurityPolicy() == uaSPNULL ? uaSPNone : ch.SecurityPolicy());
  req.ClientNonce = ch.ConnectionData().fLocalNonce;
  req.RequestedLifetime = aLifetimeMs;
  const uint32_t id = ++fNextRequestId;
  fStack.SendOpenSecureChannelRequest(id, req);
  std::unique_ptr<TuaObj> r = DecodeServiceMessage(WaitResponse(id));
  auto* resp = dynamic_cast<uaOpenSecureChannelResponse*>(r.get());
  if (!resp) throw std::runtime_error("OpenSecureChannel answered with another message");
  r.release();
  std::unique_ptr<uaOpenSecureChannelResponse> out(resp);
  if (!out->SecurityToken) throw std::runtime_error("OpenSecureChannel response without a token");
  ch.ActivateToken(out->SecurityToken->TokenId, out->ServerNonce, out->SecurityToken->RevisedLifetime);
  return out;
}

std::unique_ptr<TuaObj> StackSession::Call(TuaRequestObj& aRequest) {
  FillHeader(aRequest);
  const uint32_t id = ++fNextRequestId;
  fStack.SendMessage(id, aRequest);
  return DecodeServiceMessage(WaitResponse(id));
}

std::unique_ptr<uaGetEndpointsResponse> StackSession::GetEndpoints(const std::string& aUrl,
                                                                   size_t aPaddingBytes) {
  uaGetEndpointsRequest req;
  req.EndpointUrl = aUrl;
  if (aPaddingBytes) {
    req.ProfileUris.push_back("http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary");
    for (size_t n = 0; n < aPaddingBytes; n += 100) req.ProfileUris.push_back(std::string(96, 'p'));
  }
  return Call<uaGetEndpointsResponse>(req);
}

void StackSession::Close() {
  uaCloseSecureChannelRequest req;
  FillHeader(req);
  try {
    fStack.CloseSecureChannel(++fNextRequestId, req);
  } catch (const std::exception&) {
    // The connection may already be gone; closing it is all that is left to do.
  }
  fStack.Disconnect();
}

std::optional<std::string> StackSession::CriticalError() {
  std::lock_guard l(fLock);
  return fCritical;
}

std::optional<uaMessageError> StackSession::LastError() {
  std::lock_guard l(fLock);
  return fError;
}

bool StackSession::WaitForFailure(int aTimeoutMs) {
  std::unique_lock l(fLock);
  return fCond.wait_for(l, std::chrono::milliseconds(aTimeoutMs), [&] { return fCritical || fError; });
}

}  // namespace varo::test
