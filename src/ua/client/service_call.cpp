// SPDX-License-Identifier: MPL-2.0
// The request path of TVaroUAClient: request ids and headers, the three waiting schemes,
// matching responses to their requests, error records, the service table and the worker
// thread that watches the deadlines of asynchronous requests.
//
// Locking: fRequestLock covers the single slot, the list of open requests, every request
// record and the acknowledge flag; nothing is sent and no handler or event runs while it is
// held. Sends take CritSectSendMessage (and the channel's own send lock inside it).
#include <algorithm>
#include <chrono>
#include <stdexcept>

#include "platform/datetime.h"
#include "platform/strings.h"
#include "ua/client/ua_attributes.h"
#include "ua/client/ua_client.h"
#include "ua/encoding/binary_codec.h"
#include "ua/encoding/status_codes.h"

namespace varo::ua {

namespace {

enum TSendKind : int { skMessage = 0, skOpen = 1, skClose = 2 };

constexpr uaStatusCode kBadDecodingError = 0x80070000u;
constexpr const char* kTimeoutText = "Timeout occurred while processing the request.";

std::string FormatError(const std::string& aName, const uaMessageError& aError) {
  return Format("UA Error: %s: $%08X %s", aName.c_str(), aError.fError, aError.fReason.c_str());
}

// Requests whose log data would carry secrets.
bool CarriesIdentity(const TuaObj* aObj) {
  return aObj && aObj->ObjNo == uaActivateSessionRequest::kObjNo;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Names

std::string uaShortName(std::string_view aClassName) {
  std::string n(aClassName);
  if (StartsWith(n, "ua")) n.erase(0, 2);
  if (size_t p = n.find("Request"); p != std::string::npos) {
    n.erase(p, 7);
  } else if (size_t q = n.find("Response"); q != std::string::npos) {
    n.erase(q, 8);
  }
  return n;
}

std::string uaClassName(const TuaObj& aObj) {
  const ServiceTypeInfo* t = FindServiceType(aObj.ObjNo);
  return t ? std::string(t->name) : std::string("TuaObj");
}

std::string uaShortName(const TuaObj& aObj) {
  return uaShortName(uaClassName(aObj));
}

// ---------------------------------------------------------------------------------------
// Service calls

TuaServiceCallBase::TuaServiceCallBase(TVaroUAClient* aClient, std::unique_ptr<TuaRequestObj> aRequest)
    : uaClient(aClient), fRequest(std::move(aRequest)) {
  if (!uaClient) throw EVaroError("Client object is nil (not allowed)");
  RequestId = uaClient->NextRequestId();
  if (uaRequestHeader* h = fRequest->GetRequestHeader()) uaClient->FillRequestHeader(RequestId, *h);
}

TuaServiceCallBase::~TuaServiceCallBase() = default;

void TuaServiceCallBase::CheckStatusCode(uaStatusCode aStatusCode) const {
  if ((aStatusCode & 0xC0000000u) != 0) throw CreateException(aStatusCode);
}

uaConnectionException TuaServiceCallBase::CreateException(uaStatusCode aStatusCode) const {
  return TVaroUAClient::CreateException(aStatusCode);
}

std::string TuaServiceCallBase::StatuscodeToString(uaStatusCode aValue) {
  return Statuscodes::ToString(aValue);
}

namespace {
// The authentication token and time stamp may have changed since the call was built (a
// reused call object, a session created in between); the request handle stays.
void RefreshHeader(TVaroUAClient& aClient, TuaRequestObj& aRequest) {
  if (uaRequestHeader* h = aRequest.GetRequestHeader()) {
    const uint32_t handle = h->RequestHandle;
    aClient.FillRequestHeader(handle, *h);
  }
}

uaStatusCode ServiceResultOf(const TuaObj& aObj) {
  if (auto* r = dynamic_cast<const TuaResponseObj*>(&aObj)) {
    if (const uaResponseHeader* h = r->GetResponseHeader()) return h->ServiceResult;
  }
  return uaBadUnknownResponse;
}
}  // namespace

void TuaServiceCallBase::RaiseUnexpected(const TuaObj& aObj) {
  Error = ServiceResultOf(aObj);
  if (Error == 0) Error = uaBadUnknownResponse;
  throw CreateException(Error);
}

std::unique_ptr<TuaObj> TuaServiceCallBase::DoRun(int aTimeOut) {
  TVaroUAClient& c = *uaClient;
  const std::string name = uaShortName(*fRequest);
  std::unique_ptr<TuaObj> response;
  if (c.TransportOpen()) {
    c.Log(1, 6, name, fRequest.get());
    RefreshHeader(c, *fRequest);
    RequestId = c.NextRequestId();
    response = c.SendSingleSync(RequestId, *fRequest, aTimeOut);
    if (response) {
      Error = ServiceResultOf(*response);
      c.CheckStatusCode(Error);
      c.Log(1, 9, uaShortName(*response), response.get());
    } else if (!c.ServerShutdown()) {
      c.Log(0, 5, uaClassName(*fRequest) + ": Response = nil");
    }
  }
  if (response) return response;
  Error = uaBadServerNotConnected;
  if (c.ServerShutdown()) {
    std::string reason;
    {
      std::lock_guard l(c.fStateLock);
      reason = c.fShutdownReason;
    }
    throw uaConnectionException("UA Error " + name + ": connection lost: " + reason);
  }
  throw EVaroError("UA Error " + name + ": no response or not connected");
}

std::unique_ptr<TuaObj> TuaServiceCallBase::DoRunSync(int aTimeOut) {
  TVaroUAClient& c = *uaClient;
  const std::string name = uaShortName(*fRequest);
  if (c.ServerShutdown() || c.Disconnecting()) return nullptr;
  if (!c.TransportOpen()) {
    Error = uaBadServerNotConnected;
    throw EVaroError("UA Error RunSync " + name + ": not connected");
  }
  c.Log(1, 6, name, fRequest.get());
  RefreshHeader(c, *fRequest);
  RequestId = c.NextRequestId();
  std::unique_ptr<TuaObj> response = c.SendListedSync(RequestId, *fRequest, aTimeOut);
  if (response) {
    Error = ServiceResultOf(*response);
    c.CheckStatusCode(Error);
    c.Log(1, 9, uaShortName(*response), response.get());
  } else if (!c.ServerShutdown()) {
    c.Log(0, 5, uaClassName(*fRequest) + ": Response = nil");
  }
  return response;
}

void TuaServiceCallBase::DoRunAsync(uaServiceCallEvent aHandler, std::shared_ptr<void> aData, int aTimeOut) {
  TVaroUAClient& c = *uaClient;
  if (!c.fTransportOpen.load()) throw uaConnectionException("first connect to server");
  if (c.Disconnecting() || c.ServerShutdown()) return;
  c.Log(1, 7, uaShortName(*fRequest), fRequest.get());
  RefreshHeader(c, *fRequest);
  RequestId = c.NextRequestId();
  c.SendAsync(RequestId, *fRequest, aTimeOut, std::move(aData), std::move(aHandler));
}

std::unique_ptr<TuaObj> TuaServiceCallBase::DoRunSecure() {
  TVaroUAClient& c = *uaClient;
  c.Log(1, 8, uaShortName(*fRequest), fRequest.get());
  RefreshHeader(c, *fRequest);
  RequestId = c.NextRequestId();
  std::unique_ptr<TuaObj> response = c.SendSecureMsgAndWait(RequestId, *fRequest, c.TimeoutConnect());
  if (response) {
    Error = ServiceResultOf(*response);
    c.CheckStatusCode(Error);
    c.Log(1, 11, uaShortName(*response), response.get());
  }
  return response;
}

// ---------------------------------------------------------------------------------------
// Ids, headers, errors

namespace {

// The next value of a counter that runs from 1 to 0x7FFFFFFE and starts over, from any thread.
uint32_t NextCount(std::atomic<uint32_t>& aCounter) {
  uint32_t cur = aCounter.load();
  uint32_t next;
  do {
    next = (cur > 0x7FFFFFFDu ? 0 : cur) + 1;
  } while (!aCounter.compare_exchange_weak(cur, next));
  return next;
}

}  // namespace

uint32_t TVaroUAClient::NextRequestId() {
  return NextCount(fUniqueId);
}

uint32_t TVaroUAClient::NextSessionNumber() {
  return NextCount(fUniqueId2);
}

void TVaroUAClient::FillRequestHeader(uint32_t aHandle, uaRequestHeader& aHeader) {
  {
    std::lock_guard l(fSessionLock);
    aHeader.AuthenticationToken = std::make_unique<uaNodeId>(fAuthenticationToken);
  }
  aHeader.Timestamp = NowUtc();
  aHeader.RequestHandle = aHandle;
  aHeader.ReturnDiagnostics = 0;
  aHeader.AuditEntryId = fClientName;
  aHeader.TimeoutHint = static_cast<uint32_t>(std::max(fTimeout, 0));
  aHeader.AdditionalHeader.reset();
}

uaConnectionException TVaroUAClient::CreateException(uaStatusCode aStatusCode) {
  return uaConnectionException(
      Format("UA Error ($%x) %s", aStatusCode, Statuscodes::ToString(aStatusCode).c_str()));
}

void TVaroUAClient::CheckStatusCode(uaStatusCode aStatusCode) const {
  if (aStatusCode != 0) throw CreateException(aStatusCode);
}

uaMessageError TVaroUAClient::LastError() const {
  std::lock_guard l(fRequestLock);
  return fLastError;
}

void TVaroUAClient::Log(int aLogSeverity, uint32_t aLogType, const std::string& aLogMessage,
                        const TuaObj* aData) {
  if (fDestroying.load() || !OnLog) return;
  OnLog(*this, aLogSeverity, aLogType, aLogMessage, CarriesIdentity(aData) ? nullptr : aData);
}

uaStatusCode TVaroUAClient::HandleServiceFault(const TuaObj* aResponse) {
  uaStatusCode code;
  std::string text;
  if (!aResponse) {
    code = uaBadRequestTimeout;
    text = kTimeoutText;
  } else if (auto* r = dynamic_cast<const TuaResponseObj*>(aResponse); r && r->GetResponseHeader()) {
    code = r->GetResponseHeader()->ServiceResult;
    text = Statuscodes::ToString(code);
  } else {
    code = uaBadRequestTimeout;
    text = "wrong response object: " + uaShortName(*aResponse);
  }
  if (OnLog) Log(3, code, text, aResponse);
  return code;
}

void TVaroUAClient::SetLastErrorState(uint32_t aRequestId, TUaErrorType aType, uint32_t aCode,
                                      const std::string& aReason) {
  uaMessageError e{aCode, aReason.empty() ? Statuscodes::ToString(aCode) : aReason, aType};
  TuaRequestPtr asyncFailed;
  {
    std::lock_guard l(fRequestLock);
    fLastError = e;
    if (aRequestId == 0) {
      // A server Error message: the connection ends; every synchronous waiter fails.
      if (aType == et_Critical) {
        auto fail = [&](const TuaRequestPtr& r) {
          if (r && !r->Done) {
            r->Error = e;
            r->Done = true;
          }
        };
        fail(fOpenRequest);
        for (auto& [id, r] : fOpenRequests)
          if (r->Timeout == 0) fail(r);
      }
    } else if (fOpenRequest && fOpenRequest->RequestId == aRequestId) {
      fOpenRequest->Error = e;
      fOpenRequest->Done = true;
    } else if (auto it = fOpenRequests.find(aRequestId); it != fOpenRequests.end()) {
      TuaRequestPtr r = it->second;
      r->Error = e;
      r->Done = true;
      if (r->Timeout != 0) {
        asyncFailed = r;
        fOpenRequests.erase(it);
      }
    }
  }
  fRequestCond.notify_all();
  if (asyncFailed && asyncFailed->Handler)
    asyncFailed->Handler(asyncFailed->RequestId, nullptr, asyncFailed->Data);
}

// ---------------------------------------------------------------------------------------
// Service table

void TVaroUAClient::InitServiceTable() {
  for (const ServiceTypeInfo& t : ServiceTypeTable()) {
    const std::string_view cat = t.category;
    if (cat != "Request" && cat != "Response") continue;
    uaServiceInfo info;
    info.ServiceId = t.objNo;
    info.ResponseId = cat == "Request" ? ResponseIdForRequest(t.objNo) : 0;
    info.Name = uaShortName(t.name);
    fServiceDict.emplace(t.objNo, std::move(info));
  }
  RegisterHandler(uaServiceFault::kObjNo,
                  [this](uint32_t aId, std::unique_ptr<TuaObj> aResponse, std::shared_ptr<void>) {
                    if (!aResponse) return;
                    const uaStatusCode code = ServiceResultOf(*aResponse);
                    if (code != 0) {
                      std::lock_guard l(fRequestLock);
                      fLastError = {code, Statuscodes::ToString(code), et_Critical};
                    }
                    (void)aId;
                  });
  RegisterHandler(uaPublishResponse::kObjNo, [](uint32_t, std::unique_ptr<TuaObj>, std::shared_ptr<void>) {});
}

void TVaroUAClient::RegisterHandler(int32_t aServiceId, uaServiceCallEvent aHandler) {
  auto it = fServiceDict.find(aServiceId);
  if (it == fServiceDict.end())
    throw EVaroError("Method RegisterHandler: UA Server number not found:" + IntToStr(aServiceId));
  std::lock_guard l(fRequestLock);
  it->second.Handler = std::move(aHandler);
}

// ---------------------------------------------------------------------------------------
// Sending and waiting

TuaRequestPtr TVaroUAClient::NewRequest(uint32_t aId, const TuaRequestObj& aRequest) {
  auto r = std::make_shared<TuaRequest>();
  r->RequestId = aId == 0 ? NextRequestId() : aId;
  r->Request = &aRequest;
  if (auto it = fServiceDict.find(aRequest.ObjNo); it != fServiceDict.end())
    r->ExpectedResponseId = it->second.ResponseId;
  r->RequestName = uaShortName(aRequest);
  return r;
}

void TVaroUAClient::Send(uint32_t aId, const TuaRequestObj& aRequest, int aKind) {
  std::lock_guard l(CritSectSendMessage);
  switch (aKind) {
    case skOpen:
      fTcp->SendOpenSecureChannelRequest(aId, aRequest);
      break;
    case skClose:
      fTcp->CloseSecureChannel(aId, aRequest);
      break;
    default:
      fTcp->SendMessage(aId, aRequest);
      break;
  }
  fLastSendMs.store(uaMonotonicMs());
}

void TVaroUAClient::WaitForResponse(const TuaRequestPtr& aRecord, int aTimeout) {
  if (aTimeout <= 0) aTimeout = fTimeout;
  std::unique_lock l(fRequestLock);
  const bool signalled =
      fRequestCond.wait_for(l, std::chrono::milliseconds(aTimeout), [&] { return aRecord->Done; });
  if (!signalled) {
    aRecord->RequestId = 0;
    throw uaConnectionException("UA Error: Timeout calling request: (1) " + aRecord->RequestName);
  }
  if (aRecord->Error.fError != 0)
    throw uaConnectionException(FormatError(aRecord->RequestName, aRecord->Error));
}

namespace {
// Empties the single slot when the call ends, also by an exception.
struct SlotGuard {
  std::mutex& lock;
  TuaRequestPtr& slot;
  const TuaRequestPtr& mine;
  ~SlotGuard() {
    std::lock_guard l(lock);
    if (slot == mine) slot.reset();
  }
};
struct ListGuard {
  std::mutex& lock;
  std::map<uint32_t, TuaRequestPtr>& list;
  const TuaRequestPtr& mine;
  ~ListGuard() {
    std::lock_guard l(lock);
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->second == mine) {
        list.erase(it);
        break;
      }
    }
  }
};
}  // namespace

std::unique_ptr<TuaObj> TVaroUAClient::SendInSlot(uint32_t aId, const TuaRequestObj& aRequest, int aKind,
                                                  int aTimeout) {
  TuaRequestPtr rec = NewRequest(aId, aRequest);
  {
    std::lock_guard l(fRequestLock);
    if (fOpenRequest) throw uaConnectionException("one sync call is already in process");
    // Checked under the lock: a shutdown flagged after this point finds the record.
    if (!TransportOpen()) return nullptr;
    fOpenRequest = rec;
  }
  SlotGuard guard{fRequestLock, fOpenRequest, rec};
  Send(rec->RequestId, aRequest, aKind);
  WaitForResponse(rec, aTimeout);
  std::lock_guard l(fRequestLock);
  return std::move(rec->Response);
}

std::unique_ptr<TuaObj> TVaroUAClient::SendSingleSync(uint32_t aId, const TuaRequestObj& aRequest,
                                                      int aTimeout) {
  return SendInSlot(aId, aRequest, skMessage, aTimeout);
}

std::unique_ptr<TuaObj> TVaroUAClient::SendListedSync(uint32_t aId, const TuaRequestObj& aRequest,
                                                      int aTimeout) {
  TuaRequestPtr rec = NewRequest(aId, aRequest);
  {
    std::lock_guard l(fRequestLock);
    if (!TransportOpen() || Disconnecting()) return nullptr;
    fOpenRequests[rec->RequestId] = rec;
  }
  ListGuard guard{fRequestLock, fOpenRequests, rec};
  Send(rec->RequestId, aRequest, skMessage);
  WaitForResponse(rec, aTimeout);
  std::lock_guard l(fRequestLock);
  return std::move(rec->Response);
}

void TVaroUAClient::SendAsync(uint32_t aId, const TuaRequestObj& aRequest, int aTimeout,
                              std::shared_ptr<void> aData, uaServiceCallEvent aHandler) {
  TuaRequestPtr rec = NewRequest(aId, aRequest);
  rec->Handler = std::move(aHandler);
  rec->Timeout = aTimeout > 0 ? aTimeout : (fTimeout > 0 ? fTimeout : 10000);
  rec->Data = std::move(aData);
  rec->DeadlineMs = uaMonotonicMs() + rec->Timeout;
  {
    std::lock_guard l(fRequestLock);
    if (!TransportOpen()) return;
    fOpenRequests[rec->RequestId] = rec;
  }
  {
    std::lock_guard l(fWorkerLock);
    fWorkerCond.notify_all();
  }
  try {
    Send(rec->RequestId, aRequest, aRequest.ObjNo == uaOpenSecureChannelRequest::kObjNo ? skOpen : skMessage);
  } catch (...) {
    // Not sent: the caller learns it from the exception; the handler is not called.
    std::lock_guard l(fRequestLock);
    if (auto it = fOpenRequests.find(rec->RequestId); it != fOpenRequests.end() && it->second == rec)
      fOpenRequests.erase(it);
    throw;
  }
}

std::unique_ptr<TuaObj> TVaroUAClient::SendSecureMsgAndWait(uint32_t aId, const TuaRequestObj& aRequest,
                                                            int aTimeout) {
  if (!TransportOpen()) return nullptr;
  {
    std::lock_guard l(fRequestLock);
    if (fOpenRequest) throw uaConnectionException("one sync call is already in process");
  }
  if (aRequest.ObjNo == uaCloseSecureChannelRequest::kObjNo) {
    Send(aId, aRequest, skClose);
    return nullptr;
  }
  if (aRequest.ObjNo != uaOpenSecureChannelRequest::kObjNo)
    throw uaConnectionException("Wrong message type in SendSecureMsgAndWait:" + uaShortName(aRequest));
  return SendInSlot(aId, aRequest, skOpen, aTimeout);
}

void TVaroUAClient::CancelOpenRequests() {
  std::vector<TuaRequestPtr> async;
  {
    std::lock_guard l(fRequestLock);
    for (auto& [id, r] : fOpenRequests) {
      if (!r->Done) {
        r->Done = true;
        if (r->Timeout == 0 && r->Error.fError == 0)
          r->Error = {uaBadConnectionClosed, "the request was cancelled", et_Critical};
      }
      if (r->Timeout != 0) async.push_back(r);
    }
    fOpenRequests.clear();
  }
  fRequestCond.notify_all();
  for (const TuaRequestPtr& r : async)
    if (r->Handler) r->Handler(r->RequestId, nullptr, r->Data);
}

size_t TVaroUAClient::OpenRequestCount() const {
  std::lock_guard l(fRequestLock);
  return fOpenRequests.size();
}

void TVaroUAClient::CancelRequest(uint32_t aRequestId) {
  uint32_t handle;
  {
    std::lock_guard l(fRequestLock);
    if (!fOpenRequest) return;
    handle = aRequestId != 0 ? aRequestId : fOpenRequest->RequestId;
  }
  uaCancel call(this);
  call.Request->RequestHandle = handle;
  call.RunSync();
}

void TVaroUAClient::WakeAllWaiters(uint32_t aCode, const std::string& aReason) {
  {
    std::lock_guard l(fRequestLock);
    uaMessageError e{aCode, aReason, et_Critical};
    if (fOpenRequest && !fOpenRequest->Done) {
      fOpenRequest->Error = e;
      fOpenRequest->Done = true;
    }
    for (auto& [id, r] : fOpenRequests) {
      if (r->Timeout == 0 && !r->Done) {
        r->Error = e;
        r->Done = true;
      }
    }
    if (fLastError.fError == 0) fLastError = e;
  }
  fRequestCond.notify_all();
}

// ---------------------------------------------------------------------------------------
// Responses (receive thread)

void TVaroUAClient::DispatchResponse(uint32_t aRequestId, ByteSpan aMessage) {
  uint32_t typeId = 0;
  std::unique_ptr<TuaObj> obj;
  try {
    TuaBinaryDecoder dec(aMessage);
    dec.ReadMessageId(typeId, "TypeId");
    if (typeId <= INT32_MAX && fServiceDict.count(static_cast<int32_t>(typeId)) != 0)
      obj = CreateServiceObject(static_cast<int32_t>(typeId));
    if (!obj) {
      SetLastErrorState(aRequestId, et_Critical, uaErrUnsupportedObject,
                        "unsupported object: " + UIntToStr(typeId));
      return;
    }
    dec.Read(*obj, "Body");
  } catch (const std::exception& e) {
    SetLastErrorState(aRequestId, et_Critical, kBadDecodingError, std::string("Error Message: ") + e.what());
    return;
  }

  // A session the server no longer knows ends the connection for the application; the
  // response itself is delivered first.
  const uaStatusCode serviceResult = ServiceResultOf(*obj);
  const bool sessionGone = serviceResult == uaBadSessionIdInvalid || serviceResult == uaBadSessionClosed;

  const bool isFault = obj->ObjNo == uaServiceFault::kObjNo;
  TuaRequestPtr asyncRec;
  uaServiceCallEvent handler;
  bool noHandler = false;
  {
    std::lock_guard l(fRequestLock);
    auto matches = [&](const TuaRequest& r) { return isFault || r.ExpectedResponseId == obj->ObjNo; };
    if (aRequestId != 0 && fOpenRequest && fOpenRequest->RequestId == aRequestId && !fOpenRequest->Done) {
      TuaRequest& r = *fOpenRequest;
      if (matches(r)) {
        r.Response = std::move(obj);
      } else {
        r.Error = {uaBadUnknownResponse, "unexpected response: " + uaShortName(*obj), et_Critical};
        fLastError = r.Error;
      }
      r.Done = true;
    } else if (auto it = aRequestId != 0 ? fOpenRequests.find(aRequestId) : fOpenRequests.end();
               it != fOpenRequests.end()) {
      TuaRequestPtr rec = it->second;
      fOpenRequests.erase(it);
      const bool ok = matches(*rec);
      if (!ok) {
        rec->Error = {uaBadUnknownResponse, "unexpected response: " + uaShortName(*obj), et_Critical};
        fLastError = rec->Error;
        obj.reset();
      }
      rec->Done = true;
      if (rec->Timeout == 0) {
        if (ok) rec->Response = std::move(obj);
      } else {
        asyncRec = rec;
        handler = rec->Handler;
        if (!handler && obj) {
          if (auto row = fServiceDict.find(obj->ObjNo); row != fServiceDict.end())
            handler = row->second.Handler;
        }
      }
    } else {
      noHandler = !Disconnecting();
    }
  }
  fRequestCond.notify_all();
  if (noHandler) {
    SetLastErrorState(0, et_Abort, uaErrNoHandler, "no handler for object: " + UIntToStr(typeId));
  } else if (asyncRec && handler) {
    if (obj) Log(1, 10, uaShortName(*obj), obj.get());
    handler(asyncRec->RequestId, std::move(obj), asyncRec->Data);
  }
  if (sessionGone && Active()) HandleCriticalError(Statuscodes::ToString(serviceResult));
}

// ---------------------------------------------------------------------------------------
// Worker thread

void TVaroUAClient::Post(std::function<void()> aTask) {
  std::lock_guard l(fWorkerLock);
  if (fWorkerStop) return;
  fWorkerTasks.push_back(std::move(aTask));
  fWorkerCond.notify_all();
}

void TVaroUAClient::WorkerLoop() {
  for (;;) {
    const int64_t now = uaMonotonicMs();
    int64_t next = now + 1000;
    std::vector<TuaRequestPtr> expired;
    {
      std::lock_guard l(fRequestLock);
      for (auto it = fOpenRequests.begin(); it != fOpenRequests.end();) {
        TuaRequest& r = *it->second;
        if (r.Timeout != 0 && r.DeadlineMs <= now) {
          r.Error = {uaBadRequestTimeout, kTimeoutText, et_Critical};
          r.Done = true;
          fLastError = r.Error;
          expired.push_back(it->second);
          it = fOpenRequests.erase(it);
          continue;
        }
        if (r.Timeout != 0) next = std::min(next, r.DeadlineMs);
        ++it;
      }
    }
    if (!expired.empty()) fRequestCond.notify_all();
    for (const TuaRequestPtr& r : expired) {
      if (r->Handler) {
        try {
          r->Handler(r->RequestId, nullptr, r->Data);
        } catch (const std::exception& e) {
          Log(4, 5, e.what());
        }
      }
    }
    CheckSessionKeepAlive(now);

    std::function<void()> task;
    {
      std::unique_lock l(fWorkerLock);
      if (fWorkerTasks.empty() && !fWorkerStop)
        fWorkerCond.wait_for(l, std::chrono::milliseconds(std::max<int64_t>(1, next - uaMonotonicMs())));
      if (fWorkerStop && fWorkerTasks.empty()) return;
      if (!fWorkerTasks.empty()) {
        task = std::move(fWorkerTasks.front());
        fWorkerTasks.pop_front();
      }
    }
    if (task) {
      try {
        task();
      } catch (const std::exception& e) {
        Log(4, 5, e.what());
      }
    }
  }
}

void TVaroUAClient::CheckSessionKeepAlive(int64_t aNowMs) {
  if (!Active() || fSessionLess || !TransportOpen()) return;
  double timeout;
  {
    std::lock_guard l(fSessionLock);
    if (!fSessionResponse) return;
    timeout = fRevisedSessionTimeout;
  }
  if (timeout <= 0) return;
  const int64_t period = std::max<int64_t>(static_cast<int64_t>(timeout / 3), 100);
  if (aNowMs - fLastSendMs.load() < period) return;
  fLastSendMs.store(aNowMs);
  try {
    // A cheap read of the server state keeps an idle session from timing out.
    uaRead call(this);
    call.Request->MaxAge = 0;
    call.Request->TimestampsToReturn = std::make_unique<uaTimestampsToReturn>(3);
    call.Request->NodesToRead_Setlength(1);
    call.Request->NodesToRead[0]->NodeId = std::make_unique<uaNodeId>(2259u, 0);
    call.Request->NodesToRead[0]->AttributeId = attrValue;
    call.RunAsync([](uint32_t, std::unique_ptr<TuaObj>, std::shared_ptr<void>) {});
  } catch (const std::exception& e) {
    Log(4, 5, std::string("session keep-alive: ") + e.what());
  }
}

}  // namespace varo::ua
