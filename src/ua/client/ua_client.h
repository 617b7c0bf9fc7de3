// SPDX-License-Identifier: MPL-2.0
// TVaroUAClient: the session-level OPC UA client, one object per server connection. It owns
// the stack client (TCP connection, secure channel, security provider), chooses an endpoint
// by the wanted security mode and policy, opens and renews the secure channel, creates and
// activates the session, keeps it alive and offers the service calls.
//
// Threads of a client: the caller's thread (connect, disconnect, synchronous calls), the
// receive thread of the stack (responses, acknowledge, transport failures), the renew thread,
// the status thread (KeepAlive > 0) and one worker thread per client that watches the
// deadlines of asynchronous requests, keeps an idle session alive and runs the teardown after
// a lost connection. Events (OnServerShutdown, OnLog, ...) may run on any of them; an event
// handler must not destroy the client.
//
// Waiting schemes of a request (ua/client/service_call.cpp):
//   single-slot synchronous call (Run): one at a time per client;
//   listed synchronous call (RunSync): any number, from any thread;
//   asynchronous call (RunAsync): the response goes to a handler.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/bytes.h"
#include "platform/error.h"
#include "platform/variant.h"
#include "ua/encoding/service_types.h"
#include "ua/security/policy.h"
#include "ua/transport/stack_client.h"

namespace varo::ua {

// The exception class of the UA client.
class uaConnectionException : public EVaroError {
 public:
  using EVaroError::EVaroError;
};

class TVaroUAClient;
class TuaRenewTimer;
class TuaStatusTimer;

// Status codes used by the client.
inline constexpr uaStatusCode uaBadServerNotConnected = 0x800D0000u;
inline constexpr uaStatusCode uaBadRequestTimeout = 0x80850000u;
inline constexpr uaStatusCode uaBadConnectionClosed = 0x80AE0000u;
inline constexpr uaStatusCode uaBadUnknownResponse = 0x80090000u;
inline constexpr uaStatusCode uaBadNodeIdUnknown = 0x80340000u;
inline constexpr uaStatusCode uaBadServerHalted = 0x800E0000u;
inline constexpr uaStatusCode uaBadShutdown = 0x800C0000u;
inline constexpr uaStatusCode uaBadCommunicationError = 0x80050000u;
inline constexpr uaStatusCode uaBadSessionIdInvalid = 0x80250000u;
inline constexpr uaStatusCode uaBadSessionClosed = 0x80260000u;
inline constexpr uaStatusCode uaBadInvalidArgument = 0x80AB0000u;
inline constexpr uaStatusCode uaBadNodeIdInvalid = 0x80330000u;

// Last-error codes of the request path that are not status codes.
inline constexpr uint32_t uaErrUnsupportedObject = 9001;  // "unsupported object: <id>"
inline constexpr uint32_t uaErrNoHandler = 9002;          // "no handler for object: <id>"

// The user identity of ActivateSession.
class TuaUserLogin {
 public:
  enum TuaSecurityUser : uint8_t {
    Anonymous = 0,
    UserName = 1,
    Certificate = 2,
    IssuedToken = 3,
    Kerberos = 4
  };

  TuaSecurityUser LoginMode = Anonymous;
  std::string Username;     // Certificate: path of the user certificate (DER)
  std::string Password;     // Certificate: password of the private key
  std::string Datafile;     // Certificate: path of the private key; IssuedToken: token data file
  std::string fEncodetype;  // encryption algorithm of an issued token (not published)

  void SetAnonymous() { LoginMode = Anonymous; }
  void SetUser(std::string aUserName, std::string aPassword) {
    LoginMode = UserName;
    Username = std::move(aUserName);
    Password = std::move(aPassword);
  }
  void SetCertificate(std::string aPublicKey, std::string aPrivatKey, std::string aPrivateKeyPasword) {
    LoginMode = Certificate;
    Username = std::move(aPublicKey);
    Datafile = std::move(aPrivatKey);
    Password = std::move(aPrivateKeyPasword);
  }
  // "Anonymous", "UserName", "Certificate", "IssuedToken", "Kerberos".
  static std::string TokenTypeName(int32_t aType);
};

// Handler of an asynchronous request: the request id, the response (owned by the handler;
// null after a time-out or when the request was cancelled) and the caller's data.
using uaServiceCallEvent =
    std::function<void(uint32_t aRequestId, std::unique_ptr<TuaObj> aResponse, std::shared_ptr<void> aData)>;

// One waiting request. Shared by the waiter and the dispatcher, so that neither frees it
// under the other. All fields are guarded by the client's request lock.
struct TuaRequest {
  uint32_t RequestId = 0;
  const TuaObj* Request = nullptr;  // not owned
  int32_t ExpectedResponseId = 0;   // binary encoding id of the response that may answer it
  std::unique_ptr<TuaObj> Response;
  std::shared_ptr<void> Data;
  uaServiceCallEvent Handler;
  int Timeout = 0;          // 0 for synchronous requests; ms for asynchronous ones
  int64_t DeadlineMs = 0;   // monotonic deadline of an asynchronous request
  bool Done = false;        // the event: response, error or cancellation is there
  uaMessageError Error;     // this request's own error record
  std::string RequestName;  // short name, for messages
};
using TuaRequestPtr = std::shared_ptr<TuaRequest>;

// A row of the service table.
struct uaServiceInfo {
  int32_t ServiceId = 0;
  int32_t ResponseId = 0;  // 0 for response rows
  std::string Name;        // short name
  uaServiceCallEvent Handler;
};

// Short name of a request or response class: without "ua" and the first "Request" (or, if
// none, the first "Response"): uaReadRequest gives Read.
std::string uaShortName(std::string_view aClassName);
std::string uaShortName(const TuaObj& aObj);
// The class name of a structured object ("uaReadRequest"); "TuaObj" when unknown.
std::string uaClassName(const TuaObj& aObj);

// The non-generic part of a service call.
class TuaServiceCallBase {
 public:
  // Raises "Client object is nil (not allowed)" for no client. Takes a request id and fills
  // the request header.
  TuaServiceCallBase(TVaroUAClient* aClient, std::unique_ptr<TuaRequestObj> aRequest);
  virtual ~TuaServiceCallBase();
  TuaServiceCallBase(const TuaServiceCallBase&) = delete;
  TuaServiceCallBase& operator=(const TuaServiceCallBase&) = delete;

  TVaroUAClient* uaClient;
  uint32_t RequestId = 0;
  uaStatusCode Error = 0;

  // Raises CreateException unless the code is Good (Uncertain codes raise too).
  void CheckStatusCode(uaStatusCode aStatusCode) const;
  uaConnectionException CreateException(uaStatusCode aStatusCode) const;
  static std::string StatuscodeToString(uaStatusCode aValue);

 protected:
  // The three schemes; the result is the response (or a ServiceFault), null when none.
  std::unique_ptr<TuaObj> DoRun(int aTimeOut);
  std::unique_ptr<TuaObj> DoRunSync(int aTimeOut);
  void DoRunAsync(uaServiceCallEvent aHandler, std::shared_ptr<void> aData, int aTimeOut);
  // OpenSecureChannel / CloseSecureChannel through the secure-message path.
  std::unique_ptr<TuaObj> DoRunSecure();
  // A ServiceFault or another unexpected object in place of the response: Error := its
  // service result and raise.
  void RaiseUnexpected(const TuaObj& aObj);

  std::unique_ptr<TuaRequestObj> fRequest;
};

// A service call: owns its request and, after a synchronous run, its response.
template <class TReq, class TResp>
class TuaServiceCall : public TuaServiceCallBase {
 public:
  explicit TuaServiceCall(TVaroUAClient* aClient)
      : TuaServiceCallBase(aClient, std::make_unique<TReq>()), Request(static_cast<TReq*>(fRequest.get())) {}

  TReq* const Request;  // owned by the call
  std::unique_ptr<TResp> Response;

  // Single-slot synchronous call (aTimeOut 0: the client's Timeout). Raises on a bad service
  // result, a time-out, a lost connection or when not connected.
  void Run(int aTimeOut = 0) { Response = Take(DoRun(aTimeOut)); }
  // Listed synchronous call; no response (during a disconnect) is not an error.
  void RunSync(int aTimeOut = 0) { Response = Take(DoRunSync(aTimeOut)); }
  // Asynchronous call; the call object may be freed right after it returns.
  void RunAsync(uaServiceCallEvent aHandler, std::shared_ptr<void> aData = nullptr, int aTimeOut = 0) {
    DoRunAsync(std::move(aHandler), std::move(aData), aTimeOut);
  }
  // The secure-channel variants (OpenSecureChannel / CloseSecureChannel requests only).
  void RunSecure() { Response = Take(DoRunSecure()); }

 private:
  std::unique_ptr<TResp> Take(std::unique_ptr<TuaObj> aObj) {
    if (!aObj) return nullptr;
    if (auto* p = dynamic_cast<TResp*>(aObj.get())) {
      aObj.release();
      return std::unique_ptr<TResp>(p);
    }
    RaiseUnexpected(*aObj);
    return nullptr;
  }
};

using uaFindServers = TuaServiceCall<uaFindServersRequest, uaFindServersResponse>;
using uaGetEndpoints = TuaServiceCall<uaGetEndpointsRequest, uaGetEndpointsResponse>;
using uaOpenSecureChannel = TuaServiceCall<uaOpenSecureChannelRequest, uaOpenSecureChannelResponse>;
using uaCloseSecureChannel = TuaServiceCall<uaCloseSecureChannelRequest, uaCloseSecureChannelResponse>;
using uaCreateSession = TuaServiceCall<uaCreateSessionRequest, uaCreateSessionResponse>;
using uaActivateSession = TuaServiceCall<uaActivateSessionRequest, uaActivateSessionResponse>;
using uaCloseSession = TuaServiceCall<uaCloseSessionRequest, uaCloseSessionResponse>;
using uaCancel = TuaServiceCall<uaCancelRequest, uaCancelResponse>;
using uaBrowse = TuaServiceCall<uaBrowseRequest, uaBrowseResponse>;
using uaBrowseNext = TuaServiceCall<uaBrowseNextRequest, uaBrowseNextResponse>;
using uaRead = TuaServiceCall<uaReadRequest, uaReadResponse>;
using uaWrite = TuaServiceCall<uaWriteRequest, uaWriteResponse>;
using uaCall = TuaServiceCall<uaCallRequest, uaCallResponse>;
using uaCreateMonitoredItems = TuaServiceCall<uaCreateMonitoredItemsRequest, uaCreateMonitoredItemsResponse>;
using uaSetMonitoringMode = TuaServiceCall<uaSetMonitoringModeRequest, uaSetMonitoringModeResponse>;
using uaDeleteMonitoredItems = TuaServiceCall<uaDeleteMonitoredItemsRequest, uaDeleteMonitoredItemsResponse>;
using uaCreateSubscription = TuaServiceCall<uaCreateSubscriptionRequest, uaCreateSubscriptionResponse>;
using uaModifySubscription = TuaServiceCall<uaModifySubscriptionRequest, uaModifySubscriptionResponse>;
using uaSetPublishingMode = TuaServiceCall<uaSetPublishingModeRequest, uaSetPublishingModeResponse>;
using uaPublish = TuaServiceCall<uaPublishRequest, uaPublishResponse>;
using uaRepublish = TuaServiceCall<uaRepublishRequest, uaRepublishResponse>;
using uaDeleteSubscriptions = TuaServiceCall<uaDeleteSubscriptionsRequest, uaDeleteSubscriptionsResponse>;

// Log event: severity 0, 1, 3 or 4, a log type, the text and the object concerned (may be
// null; identity tokens are never handed out).
using TuaLogEvent = std::function<void(TVaroUAClient& aSender, int aLogSeverity, uint32_t aLogType,
                                       const std::string& aLogMessage, const TuaObj* aData)>;
using TuaServerShutdownEvent = std::function<void(TVaroUAClient& aSender, const std::string& aReason)>;
using TuaNotifyEvent = std::function<void(TVaroUAClient& aSender)>;
// First source of the client's key (PEM text) and certificate (DER); true hands both over.
using TuaGetCertificateEvent =
    std::function<bool(TVaroUAClient& aSender, ByteArray& aPrivateKey, ByteArray& aPublicCertificate)>;
// Asked before the secured reconnect; false stops the connect silently.
using TuaTrustCertificateEvent =
    std::function<bool(TVaroUAClient& aSender, const ByteArray& aServerCertificate)>;
// Each status read of the status thread; setting aShutdown makes the client treat the server
// as gone. aServerStatus is null on the shutdown question.
using TuaServerStatusReadEvent =
    std::function<void(TVaroUAClient& aSender, uaStatusCode aStatuscode,
                       const uaServerStatusDataType* aServerStatus, bool& aShutdown)>;

inline constexpr const char* kVaroUAClientVersion = "1.27";
inline constexpr const char* kVaroUAClientName = "Varo-Client 1.27";

class TVaroUAClient {
 public:
  TVaroUAClient();
  // Cancels what waits, disconnects (without OnDisconnect) and joins every thread. Must not
  // run on a thread of the client (inside one of its events).
  virtual ~TVaroUAClient();
  TVaroUAClient(const TVaroUAClient&) = delete;
  TVaroUAClient& operator=(const TVaroUAClient&) = delete;

  // ---- Published properties ----
  // Setting true connects, false disconnects with session close; the current value does
  // nothing. Connect failures raise and leave the client inactive.
  bool Active() const { return fState.load() == stActive; }
  void SetActive(bool aValue);
  const std::string& Url() const { return fUrl; }
  void SetUrl(std::string aUrl) { fUrl = std::move(aUrl); }
  bool SessionLess() const { return fSessionLess; }
  void SetSessionLess(bool aValue) { fSessionLess = aValue; }
  TuaSecureMode SecurityMode() const { return fSecurityMode; }
  void SetSecurityMode(TuaSecureMode aValue) { fSecurityMode = aValue; }
  TuaSecurePolicy SecurityPolicy() const { return fSecurityPolicy; }
  void SetSecurityPolicy(TuaSecurePolicy aValue) { fSecurityPolicy = aValue; }
  const std::string& ClientName() const { return fClientName; }
  void SetClientName(std::string aValue) { fClientName = std::move(aValue); }
  TuaUserLogin& UserLogin() { return fUserLogin; }
  const std::string& Proxy() const { return fProxy; }
  void SetProxy(std::string aValue) { fProxy = std::move(aValue); }
  std::string Version() const { return kVaroUAClientVersion; }
  TuaSecurityLib SecurityLib() const { return fSecurityLib; }
  void SetSecurityLib(TuaSecurityLib aValue) { fSecurityLib = aValue; }
  const ByteArray& PrivateKey() const { return fPrivateKey; }
  void SetPrivateKey(ByteArray aValue) { fPrivateKey = std::move(aValue); }
  const ByteArray& PublicKey() const { return fPublicKey; }
  void SetPublicKey(ByteArray aValue) { fPublicKey = std::move(aValue); }
  // Period of the status thread in ms; 0 or less: none. Changing it on an active client
  // restarts the status thread.
  int KeepAlive() const { return fKeepAlive; }
  void SetKeepAlive(int aValue);

  TuaServerShutdownEvent OnServerShutdown;
  TuaNotifyEvent OnConnect;
  TuaNotifyEvent OnDisconnect;
  TuaLogEvent OnLog;
  TuaGetCertificateEvent OnGetCertificate;
  TuaTrustCertificateEvent OnTrustCertificate;
  TuaServerStatusReadEvent OnServerStatusRead;

  // ---- Public properties ----
  int Timeout() const { return fTimeout; }  // ms: default wait and TimeoutHint
  void SetTimeout(int aValue) { fTimeout = aValue; }
  int TimeoutConnect() const { return fTimeoutConnect; }  // ms: Acknowledge, OpenSecureChannel
  void SetTimeoutConnect(int aValue) { fTimeoutConnect = aValue; }
  // ms: the session timeout asked for in CreateSession (default 1.2 h). An idle client keeps
  // its session alive with a read at a third of the timeout the server grants.
  double SessionTimeout() const { return fRequestedSessionTimeout; }
  void SetSessionTimeout(double aValue) { fRequestedSessionTimeout = aValue; }
  bool Disconnecting() const { return fState.load() == stDisconnecting; }
  // The CreateSession response of the current session, or null. Shared: it stays valid for
  // the holder after a disconnect.
  std::shared_ptr<const uaCreateSessionResponse> SessionData() const;
  // The chosen endpoint, or null.
  std::shared_ptr<const uaEndpointDescription> Endpoint() const;
  // True once the connection was lost or the server reported a critical error, until the
  // next connect.
  bool ServerShutdown() const { return fServerShutdown.load(); }
  // The last error recorded on the request path (informational copy; every request has its
  // own record).
  uaMessageError LastError() const;
  // Security policy URI of the user-token policy chosen for the session (empty before).
  const std::string& UserTokenPolicyUri() const { return fSecurityPolicyUri; }
  // The stack client (for tests and the link's diagnostics).
  uaStackClient& Stack() { return *fTcp; }

  // ---- Operations ----
  virtual void FillAppDescription(uaApplicationDescription& aClientDescription);
  void Log(int aLogSeverity, uint32_t aLogType, const std::string& aLogMessage,
           const TuaObj* aData = nullptr);
  // Any non-zero code raises CreateException(code).
  void CheckStatusCode(uaStatusCode aStatusCode) const;
  // uaConnectionException "UA Error ($%x) %s".
  static uaConnectionException CreateException(uaStatusCode aStatusCode);
  // Sends Cancel for the waiting single-slot request (aRequestId 0: its id).
  void CancelRequest(uint32_t aRequestId = 0);
  // The status code of whatever an asynchronous handler received.
  uaStatusCode HandleServiceFault(const TuaObj* aResponse);

  // ---- Request path (ua/client/service_call.cpp) ----
  // 1 .. 0x7FFFFFFE, wrapping; thread-safe.
  uint32_t NextRequestId();
  uint32_t NextSessionNumber();
  void FillRequestHeader(uint32_t aHandle, uaRequestHeader& aHeader);
  std::unique_ptr<TuaObj> SendSingleSync(uint32_t aId, const TuaRequestObj& aRequest, int aTimeout);
  std::unique_ptr<TuaObj> SendListedSync(uint32_t aId, const TuaRequestObj& aRequest, int aTimeout);
  void SendAsync(uint32_t aId, const TuaRequestObj& aRequest, int aTimeout, std::shared_ptr<void> aData,
                 uaServiceCallEvent aHandler);
  std::unique_ptr<TuaObj> SendSecureMsgAndWait(uint32_t aId, const TuaRequestObj& aRequest, int aTimeout);
  // Replaces the default handler of a service-table row; raises for an unknown id.
  void RegisterHandler(int32_t aServiceId, uaServiceCallEvent aHandler);
  // Wakes every listed synchronous waiter and hands each asynchronous request, exactly once,
  // to its handler without a response.
  void CancelOpenRequests();
  // Number of listed and asynchronous requests that wait (for tests).
  size_t OpenRequestCount() const;
  // True when requests may be sent: the transport is open and no shutdown was seen.
  bool TransportOpen() const { return fTransportOpen.load() && !fServerShutdown.load(); }
  size_t ServiceTableSize() const { return fServiceDict.size(); }

  // ---- Status read (ua/client/timers.cpp) ----
  // Reads node 2256 as a listed call: the status code of the result, or BadUnknownResponse
  // (no response / disconnecting) or BadNodeIdUnknown (no result).
  uaStatusCode ReadServerStatus(uaServerStatusDataType& aServerStatus, int aTimeout);

  // ---- Node attributes, browse, read, write and method calls (defined with the attribute helpers) ----
  std::unique_ptr<uaNode> ReadNode(const uaNodeId& aNodeId);
  std::unique_ptr<uaNode> ReadNode(const std::string& aNodeId);
  std::vector<std::unique_ptr<uaDataValue>> ReadNodeAttributes(const std::vector<std::string>& aNodeIds,
                                                               const std::vector<int32_t>& aAttributes,
                                                               int32_t aTimestampsToReturn = 3);
  std::unique_ptr<uaDataValue> ReadNodeAttribute(const std::string& aNodeId, int32_t aAttribute,
                                                 int32_t aTimestampsToReturn = 3);
  Variant ReadNodeAttributeAsVariant(const std::string& aNodeId, int32_t aAttribute);
  std::vector<uaStatusCode> WriteNodeAttributes(const std::vector<std::string>& aNodeIds,
                                                const std::vector<int32_t>& aAttributes,
                                                const std::vector<const uaDataValue*>& aValues);
  uaStatusCode WriteNodeAttribute(const std::string& aNodeId, int32_t aAttribute, const uaDataValue& aValue);
  uaStatusCode WriteNodeAttribute(const std::string& aNodeId, int32_t aAttribute, const uaVariant& aValue);
  std::vector<std::string> GetNamespaceArray();
  int32_t GetNamespaceIndex(const std::string& aNameSpaceUri);
  std::vector<std::string> MethodsGet(const std::string& aObjectId);
  std::string MethodGetParent(const std::string& aMethodId);
  std::vector<std::unique_ptr<uaVariant>> MethodCall(const std::string& aObjectId,
                                                     const std::string& aMethodId,
                                                     const std::vector<const uaVariant*>& aInputArguments);

 protected:
  // Runs the connect sequence; on any failure the client is left disconnected.
  void Connect();
  // The disconnect sequence; false when another disconnect already runs or nothing is open.
  bool Disconnect(bool aCloseSession);
  // Flags the shutdown, wakes every waiter and schedules the teardown on the worker thread.
  // Safe on any thread, also under the channel's send lock.
  void HandleCriticalError(const std::string& aReason);

 private:
  friend class TuaServiceCallBase;
  friend class TuaTimer;
  friend class TuaRenewTimer;
  friend class TuaStatusTimer;

  enum TState : int { stInactive = 0, stConnecting = 1, stActive = 2, stDisconnecting = 3 };

  // Connect steps (ua_client.cpp).
  void WaitForAcknowledge(bool aRaise);
  void RequestSecurityToken(bool aSecured, bool aRenew);
  void OnSecurityTokenResponse(std::unique_ptr<TuaObj> aResponse);
  bool SelectEndpoint(bool aKeepOnNoMatch);
  void EnsureSecurityProvider();
  void LoadCertificates();
  void CreateSession();
  void ActivateSession();
  std::unique_ptr<uaExtensionObject> BuildIdentityToken(ByteArray& aUserKey, std::string& aUserKeyPolicy);
  uaEncryptedData SignData(ByteSpan aData, const std::string& aPolicyUri, ByteSpan aKey = {},
                           std::string_view aPassword = {});
  void VerifyServerSession(const uaCreateSessionResponse& aResponse, ByteSpan aClientNonce);
  void StartRenewTimer(bool aSecure);
  void StartStatusTimer();
  void StopTimers();
  void FailConnect();
  ByteArray LoadIdentityFile(const std::string& aPath);

  // Request path (service_call.cpp).
  TuaRequestPtr NewRequest(uint32_t aId, const TuaRequestObj& aRequest);
  void Send(uint32_t aId, const TuaRequestObj& aRequest, int aKind);
  // Sends in the single slot and waits for the answer (aKind: message or open).
  std::unique_ptr<TuaObj> SendInSlot(uint32_t aId, const TuaRequestObj& aRequest, int aKind, int aTimeout);
  void WaitForResponse(const TuaRequestPtr& aRecord, int aTimeout);
  void DispatchResponse(uint32_t aRequestId, ByteSpan aMessage);
  void SetLastErrorState(uint32_t aRequestId, TUaErrorType aType, uint32_t aCode, const std::string& aReason);
  void WakeAllWaiters(uint32_t aCode, const std::string& aReason);
  void InitServiceTable();
  // Worker thread: deadlines of asynchronous requests, idle-session reads, posted tasks.
  void WorkerLoop();
  void Post(std::function<void()> aTask);
  void CheckSessionKeepAlive(int64_t aNowMs);

  // Settings.
  std::string fUrl;
  bool fSessionLess = false;
  TuaSecureMode fSecurityMode = uaSNone;
  TuaSecurePolicy fSecurityPolicy = uaSPNone;
  std::string fClientName = kVaroUAClientName;
  TuaUserLogin fUserLogin;
  std::string fProxy;
  TuaSecurityLib fSecurityLib = uaSNative;
  ByteArray fPrivateKey;
  ByteArray fPublicKey;
  int fKeepAlive = 0;
  int fTimeout = 10000;
  int fTimeoutConnect = 10000;

  // State.
  std::atomic<int> fState{stInactive};
  std::atomic<bool> fTransportOpen{false};
  std::atomic<bool> fServerShutdown{false};
  std::atomic<bool> fDestroying{false};
  std::string fShutdownReason;  // guarded by fStateLock
  mutable std::mutex fStateLock;
  std::mutex fActiveLock;  // serialises connect and disconnect sequences started by callers
  std::string fSecurityPolicyUri;

  // Session and endpoint data read by other threads: guarded by fSessionLock.
  mutable std::mutex fSessionLock;
  std::shared_ptr<uaEndpointDescription> fEndpoint;
  std::shared_ptr<uaCreateSessionResponse> fSessionResponse;
  std::shared_ptr<uaOpenSecureChannelResponse> fOpenSecureChannelResponse;
  uaNodeId fAuthenticationToken{1u, 0};
  double fRevisedSessionTimeout = 0;
  double fRequestedSessionTimeout = 1.2 * 3600000;

  // Counters.
  std::atomic<uint32_t> fUniqueId{1};
  std::atomic<uint32_t> fUniqueId2{0};
  std::atomic<int64_t> fLastSendMs{0};

  // Requests: one lock covers the single slot, the list and the acknowledge flag.
  mutable std::mutex fRequestLock;
  std::condition_variable fRequestCond;
  TuaRequestPtr fOpenRequest;
  std::map<uint32_t, TuaRequestPtr> fOpenRequests;
  bool fAckReceived = false;
  uaMessageError fLastError;
  std::map<int32_t, uaServiceInfo> fServiceDict;
  std::mutex CritSectSendMessage;

  // Worker thread.
  std::mutex fWorkerLock;
  std::condition_variable fWorkerCond;
  std::deque<std::function<void()>> fWorkerTasks;
  bool fWorkerStop = false;
  std::thread fWorker;

  std::unique_ptr<TuaRenewTimer> fRenewTimer;
  std::unique_ptr<TuaStatusTimer> fStatusTimer;
  std::mutex fTimerLock;

  std::unique_ptr<uaStackClient> fTcp;  // last: its receive thread calls into the fields above
};

}  // namespace varo::ua
