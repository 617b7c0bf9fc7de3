// SPDX-License-Identifier: MPL-2.0
// TVaroUAClient: construction, connect and disconnect sequences, endpoint choice, client
// certificate, session creation and activation with the identity tokens, lost connection.
//
// State machine (fState, transitions under fStateLock):
//   inactive -> connecting -> active -> disconnecting -> inactive
//   connecting -> disconnecting -> inactive (a failed connect)
// A lost connection (HandleCriticalError, on the receive, renew or status thread) only flags
// the shutdown and wakes the waiters there; the teardown runs on the client's worker thread,
// so no thread ever joins itself.
#include "ua/client/ua_client.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <mutex>

#include "platform/random.h"
#include "platform/strings.h"
#include "ua/client/callback_scope.h"
#include "ua/client/timers.h"
#include "ua/encoding/binary_codec.h"
#include "ua/encoding/status_codes.h"
#include "ua/security/native_provider.h"
#include "ua/security/openssl_provider.h"
#include "ua/security/policy_keys.h"
#include "ua/security/x509.h"
#include "ua/transport/url.h"

namespace varo::ua {

namespace {

constexpr uint32_t kRequestedLifetime = 3600000;
constexpr uint32_t kMaxResponseMessageSize = 0xFFFF0;
constexpr size_t kSessionNonceLength = 32;
constexpr const char* kNonePolicyUri = "http://opcfoundation.org/UA/SecurityPolicy#None";
constexpr const char* kPolicyPrefix = "http://opcfoundation.org/UA/SecurityPolicy#";
constexpr const char* kProductUriFormat = "urn:varo-automation.example:VaroUA:%s";

// The server's own certificate out of what it sent: the leaf when it sent a chain (servers
// check our signature against their own certificate only). Bytes that do not split into
// certificates are taken as they are.
ByteArray ServerOwnCertificate(const ByteArray& aSent) {
  try {
    if (!aSent.empty()) {
      const ByteSpan leaf = LeafCertificate(aSent);
      return ByteArray(leaf.begin(), leaf.end());
    }
  } catch (const std::exception&) {
  }
  return aSent;
}

bool IsNonePolicy(std::string_view aUri) {
  return aUri.empty() || aUri == kNonePolicyUri;
}

std::string NormalizedUrl(std::string_view aUrl) {
  while (!aUrl.empty() && (aUrl.back() == '/' || aUrl.back() == ' ')) aUrl.remove_suffix(1);
  return ToLowerAscii(aUrl);
}

std::string UrlScheme(std::string_view aUrl) {
  const size_t p = aUrl.find("://");
  return ToLowerAscii(p == std::string_view::npos ? std::string_view{} : aUrl.substr(0, p));
}

// aEndpointUrl with host and port of aUserUrl; unchanged when either does not parse.
std::string WithHostOf(const std::string& aEndpointUrl, const std::string& aUserUrl) {
  try {
    const uaUrl e = ParseUrl(aEndpointUrl);
    const uaUrl u = ParseUrl(aUserUrl);
    std::string hostPort = u.HasPort() ? HostPort(u.Host, u.PortOr(uaDefaultTcpPort))
                                       : (u.IPv6Literal ? "[" + u.Host + "]" : u.Host);
    return e.Protocol + "://" + hostPort + e.Path;
  } catch (const std::exception&) {
    return aEndpointUrl;
  }
}

void RegisterProviders() {
  static std::once_flag once;
  std::call_once(once, [] {
    RegisterNativeSecurityLib();
    RegisterOpenSSLSecurityLib();
  });
}

}  // namespace

std::string TuaUserLogin::TokenTypeName(int32_t aType) {
  switch (aType) {
    case Anonymous:
      return "Anonymous";
    case UserName:
      return "UserName";
    case Certificate:
      return "Certificate";
    case IssuedToken:
      return "IssuedToken";
    case Kerberos:
      return "Kerberos";
    default:
      return IntToStr(aType);
  }
}

// ---------------------------------------------------------------------------------------
// Construction and destruction

TVaroUAClient::TVaroUAClient() {
  RegisterProviders();
  InitServiceTable();
  fTcp = std::make_unique<uaStackClient>();
  fTcp->fOnErrorMessage = [this](uaStackClient&, const uaMessageError& aMsg, uint32_t aRequestId) {
    TuaCallbackScope scope(this);
    SetLastErrorState(aMsg.fType == et_Abort ? aRequestId : 0, aMsg.fType, aMsg.fError, aMsg.fReason);
  };
  fTcp->fOnAckMessage = [this](uaStackClient&, const uaMessageAck&) {
    {
      std::lock_guard l(fRequestLock);
      fAckReceived = true;
    }
    fRequestCond.notify_all();
  };
  fTcp->fOnReceivedMessage = [this](uaChannel&, uint32_t aRequestId, ByteSpan aMessage) {
    TuaCallbackScope scope(this);
    DispatchResponse(aRequestId, aMessage);
  };
  fTcp->fHandleCriticalException = [this](const std::string& aReason) {
    TuaCallbackScope scope(this);
    HandleCriticalError(aReason);
  };
  fWorker = std::thread([this] { WorkerLoop(); });
}

TVaroUAClient::~TVaroUAClient() {
  fDestroying.store(true);
  OnDisconnect = nullptr;
  try {
    std::lock_guard a(fActiveLock);
    Disconnect(true);
  } catch (...) {
    // Destruction goes on whatever the server did.
  }
  CancelOpenRequests();
  StopTimers();
  {
    std::lock_guard l(fWorkerLock);
    fWorkerStop = true;
    fWorkerTasks.clear();
  }
  fWorkerCond.notify_all();
  if (fWorker.joinable()) fWorker.join();
  // The stack joins its receive thread before the fields it calls into go.
  fTcp.reset();
}

// ---------------------------------------------------------------------------------------
// Properties

void TVaroUAClient::SetActive(bool aValue) {
  if (TuaCallbackScope::Inside(this)) {
    // On the receive, renew or status thread: connecting would wait for this very thread,
    // disconnecting would join it. The disconnect runs on the worker thread instead.
    if (aValue) throw uaConnectionException("connect is not possible from inside a callback of the client");
    Post([this] {
      std::lock_guard a(fActiveLock);
      Disconnect(true);
    });
    return;
  }
  std::lock_guard a(fActiveLock);
  if (aValue == Active()) return;
  if (aValue) {
    Connect();
  } else {
    Disconnect(true);
  }
}

void TVaroUAClient::SetKeepAlive(int aValue) {
  if (TuaCallbackScope::Inside(this)) {
    // The status thread may be the caller; it is replaced from the worker thread.
    Post([this, aValue] { SetKeepAlive(aValue); });
    return;
  }
  fKeepAlive = aValue;
  std::unique_ptr<TuaStatusTimer> old;
  {
    std::lock_guard l(fTimerLock);
    old = std::move(fStatusTimer);
  }
  old.reset();
  if (Active() && !Disconnecting() && !fServerShutdown.load()) StartStatusTimer();
}

std::shared_ptr<const uaCreateSessionResponse> TVaroUAClient::SessionData() const {
  std::lock_guard l(fSessionLock);
  return fSessionResponse;
}

std::shared_ptr<const uaEndpointDescription> TVaroUAClient::Endpoint() const {
  std::lock_guard l(fSessionLock);
  return fEndpoint;
}

void TVaroUAClient::FillAppDescription(uaApplicationDescription& aClientDescription) {
  if (fSecurityMode <= uaSNone) {
    aClientDescription.ApplicationUri = Format("urn:localhost:VaroUA:%s", fClientName.c_str());
  } else {
    uaMessageSecurityImpl* s = fTcp->TcpChannel().Security();
    aClientDescription.ApplicationUri =
        s ? s->asym().getCertificateApplicationName(cuUseLocalKey) : std::string();
  }
  aClientDescription.ProductUri = Format(kProductUriFormat, fClientName.c_str());
  aClientDescription.ApplicationName = std::make_unique<uaLocalizedText>(fClientName, "");
  aClientDescription.ApplicationType = std::make_unique<uaApplicationType>(1);
}

// ---------------------------------------------------------------------------------------
// Timers

void TVaroUAClient::StartRenewTimer(bool aSecure) {
  if (fServerShutdown.load()) return;
  uint32_t lifetime = 0;
  {
    std::lock_guard l(fSessionLock);
    if (fOpenSecureChannelResponse && fOpenSecureChannelResponse->SecurityToken)
      lifetime = fOpenSecureChannelResponse->SecurityToken->RevisedLifetime;
  }
  auto t = std::make_unique<TuaRenewTimer>(*this, aSecure, lifetime);
  t->Start();
  std::unique_ptr<TuaRenewTimer> old;
  {
    std::lock_guard l(fTimerLock);
    old = std::move(fRenewTimer);
    fRenewTimer = std::move(t);
  }
}

void TVaroUAClient::StartStatusTimer() {
  if (fKeepAlive <= 0 || fServerShutdown.load() || fSessionLess) return;
  auto t = std::make_unique<TuaStatusTimer>(*this, static_cast<uint32_t>(fKeepAlive));
  t->Start();
  std::unique_ptr<TuaStatusTimer> old;
  {
    std::lock_guard l(fTimerLock);
    old = std::move(fStatusTimer);
    fStatusTimer = std::move(t);
  }
}

void TVaroUAClient::StopTimers() {
  std::unique_ptr<TuaRenewTimer> renew;
  std::unique_ptr<TuaStatusTimer> status;
  {
    std::lock_guard l(fTimerLock);
    renew = std::move(fRenewTimer);
    status = std::move(fStatusTimer);
  }
  // Joined outside the lock: a renewal answer on the receive thread may want the lock.
  renew.reset();
  status.reset();
}

// ---------------------------------------------------------------------------------------
// Connect

void TVaroUAClient::WaitForAcknowledge(bool aRaise) {
  std::unique_lock l(fRequestLock);
  const bool ok = fRequestCond.wait_for(l, std::chrono::milliseconds(std::max(fTimeoutConnect, 0)), [&] {
    return fAckReceived || fServerShutdown.load();
  }) && fAckReceived;
  fAckReceived = false;
  l.unlock();
  if (ok || !aRaise) return;
  if (fServerShutdown.load()) {
    std::lock_guard s(fStateLock);
    throw uaConnectionException(fShutdownReason);
  }
  throw uaConnectionException("UA Error: Timeout no acknowledge from server: " + fUrl);
}

void TVaroUAClient::Connect() {
  StopTimers();
  if (fUrl.find("opc.tcp") == std::string::npos)
    throw uaConnectionException("wrong endpoint URL for OPC UA server");
  {
    std::lock_guard l(fStateLock);
    if (fState.load() != stInactive) return;
    fState.store(stConnecting);
    fServerShutdown.store(false);
    fShutdownReason.clear();
  }
  try {
    fSecurityPolicyUri.clear();
    {
      std::lock_guard l(fRequestLock);
      fLastError = {};
      fAckReceived = false;
    }
    if (fSecurityMode == uaSSign || fSecurityMode == uaSSignAndEncrypt) {
      LoadCertificates();
    } else if (SecurityLibClasses::IsRegistered(fSecurityLib)) {
      // A password may have to be encrypted even on a channel without security.
      EnsureSecurityProvider();
    }
    Log(1, 6, Format("connecting URL=%s Proxy=%s TimeOut=%d", fUrl.c_str(), fProxy.c_str(), fTimeoutConnect));
    fTcp->Connect(fUrl, fProxy, fTimeoutConnect);
    fTransportOpen.store(true);
    Log(1, 9, Format("connected to UA URL=%s", fUrl.c_str()));
    WaitForAcknowledge(true);
    RequestSecurityToken(false, false);

    if (!fSessionLess) {
      if (SelectEndpoint(false)) {
        // Close the unsecured transport and reconnect to the chosen endpoint.
        fTransportOpen.store(false);
        CancelOpenRequests();
        fTcp->Disconnect();
        {
          std::lock_guard l(fStateLock);
          fServerShutdown.store(false);
          fShutdownReason.clear();
        }
        std::shared_ptr<const uaEndpointDescription> ep = Endpoint();
        if (OnTrustCertificate && !OnTrustCertificate(*this, ep->ServerCertificate)) {
          Disconnect(true);
          return;
        }
        fTcp->TcpChannel().SetRemoteCertificate(ep->ServerCertificate);
        fTcp->Connect(ep->EndpointUrl, fProxy, fTimeoutConnect);
        fTransportOpen.store(true);
        WaitForAcknowledge(true);
        RequestSecurityToken(true, false);
        StartRenewTimer(true);
        SelectEndpoint(true);
      }
      CreateSession();
      ActivateSession();
      bool haveRenew;
      {
        std::lock_guard l(fTimerLock);
        haveRenew = fRenewTimer != nullptr;
      }
      if (!haveRenew) StartRenewTimer(false);
    }
    {
      std::lock_guard l(fStateLock);
      if (fServerShutdown.load()) throw uaConnectionException(fShutdownReason);
      fState.store(stActive);
    }
  } catch (...) {
    FailConnect();
    throw;
  }
  StartStatusTimer();
  if (OnConnect && !fDestroying.load()) OnConnect(*this);
}

void TVaroUAClient::FailConnect() {
  try {
    Disconnect(true);
  } catch (const std::exception& e) {
    Log(4, 5, e.what());
  }
}

void TVaroUAClient::RequestSecurityToken(bool aSecured, bool aRenew) {
  if (fServerShutdown.load()) return;
  uaChannel& ch = fTcp->TcpChannel();
  uaOpenSecureChannel call(this);
  uaOpenSecureChannelRequest& req = *call.Request;
  req.RequestType = std::make_unique<uaSecurityTokenRequestType>(aRenew ? 1 : 0);
  req.ClientProtocolVersion = 0;
  req.RequestedLifetime = kRequestedLifetime;
  if (aSecured) {
    req.SecurityMode = std::make_unique<uaMessageSecurityMode>(fSecurityMode);
    if (!aRenew) ch.ChangeSecurityProtocol(fSecurityMode, fSecurityPolicy);
    req.ClientNonce = CreateClientNonce(fSecurityPolicy);
  } else {
    req.SecurityMode = std::make_unique<uaMessageSecurityMode>(uaSNone);
    if (!aRenew) ch.ChangeSecurityProtocol(uaSNone, uaSPNone);
  }
  {
    // The receive thread derives the keys of the answer from this nonce.
    std::lock_guard l(ch.SendLock());
    ch.ConnectionData().fLocalNonce = req.ClientNonce;
  }
  if (!aRenew) {
    call.RunSecure();
    if (!call.Response || !call.Response->SecurityToken)
      throw uaConnectionException("UA Error: no answer to OpenSecureChannel from " + fUrl);
    OnSecurityTokenResponse(std::move(call.Response));
    return;
  }
  if (!fTransportOpen.load()) throw uaConnectionException("first connect to server");
  Log(1, 7, "OpenSecureChannel", &req);
  call.RequestId = NextRequestId();
  SendAsync(call.RequestId, req, fTimeoutConnect, nullptr,
            [this](uint32_t, std::unique_ptr<TuaObj> aResponse, std::shared_ptr<void>) {
              OnSecurityTokenResponse(std::move(aResponse));
            });
}

void TVaroUAClient::OnSecurityTokenResponse(std::unique_ptr<TuaObj> aResponse) {
  auto* r = dynamic_cast<uaOpenSecureChannelResponse*>(aResponse.get());
  const bool ok = r && r->SecurityToken && r->ResponseHeader && r->ResponseHeader->ServiceResult == 0;
  uint32_t lifetime = 0;
  if (ok) {
    try {
      fTcp->TcpChannel().ActivateToken(r->SecurityToken->TokenId, r->ServerNonce,
                                       r->SecurityToken->RevisedLifetime);
      lifetime = r->SecurityToken->RevisedLifetime;
      aResponse.release();
      std::lock_guard l(fSessionLock);
      fOpenSecureChannelResponse.reset(r);
    } catch (const std::exception& e) {
      Log(4, uaBadCommunicationError, std::string("Renew Timer: ") + e.what());
      lifetime = 0;
    }
  } else {
    if (OnLog) Log(3, 9, "Renew timer: timeout no response from server");
  }
  std::lock_guard l(fTimerLock);
  if (fRenewTimer) fRenewTimer->RenewalDone(lifetime != 0, lifetime);
}

void TVaroUAClient::EnsureSecurityProvider() {
  uaChannel& ch = fTcp->TcpChannel();
  if (ch.Security() && ch.Security()->SecurityLib() == fSecurityLib) return;
  if (!SecurityLibClasses::IsRegistered(fSecurityLib)) throw uaConnectionException(kSecurityNotSupported);
  const TuaSecureMode mode = ch.SecurityMode();
  const TuaSecurePolicy policy = ch.SecurityPolicy();
  ch.SetSecurity(SecurityLibClasses::Create(fSecurityLib));
  ch.LoadRemoteCertificate();
  ch.ChangeSecurityProtocol(mode, policy);
}

void TVaroUAClient::LoadCertificates() {
  uaChannel& ch = fTcp->TcpChannel();
  if (ch.Security() && ch.Security()->SecurityLib() == fSecurityLib && !ch.LocalCertificate().empty()) return;
  ByteArray key;
  ByteArray cert;
  bool have = false;
  if (OnGetCertificate) have = OnGetCertificate(*this, key, cert);
  if (!have) {
    // The program carries no raw-data resources; the properties are the last source.
    if (fPrivateKey.empty() || fPublicKey.empty())
      throw EVaroError("OPC UA security: public or private key not defined");
    key = fPrivateKey;
    cert = fPublicKey;
  }
  EnsureSecurityProvider();
  uaMessageSecurityImpl* s = ch.Security();
  s->LoadPrivateKey(ByteSpan(key), "");
  s->LoadPublicCertifitace(ByteSpan(cert), cuUseLocalKey);
}

bool TVaroUAClient::SelectEndpoint(bool aKeepOnNoMatch) {
  uaGetEndpoints call(this);
  call.Request->EndpointUrl = fUrl;
  call.Run();
  if (!call.Response) return true;
  const std::string wantedPolicy = uaSecurityPolicies::uaSecurityPolicyToString(fSecurityPolicy);
  auto& eps = call.Response->Endpoints;
  for (auto& ep : eps) {
    if (!ep || UrlScheme(ep->EndpointUrl) != "opc.tcp") continue;
    if (!ep->SecurityMode || ep->SecurityMode->Value != static_cast<int32_t>(fSecurityMode)) continue;
    if (ep->SecurityPolicyUri != wantedPolicy) continue;
    std::shared_ptr<uaEndpointDescription> chosen(ep.release());
    chosen->EndpointUrl = WithHostOf(chosen->EndpointUrl, fUrl);
    if (chosen->Server && !chosen->Server->DiscoveryUrls.empty()) chosen->Server->DiscoveryUrls = {fUrl};
    {
      std::lock_guard l(fSessionLock);
      fEndpoint = chosen;
    }
    // Into the connection data and the provider only: changing the channel's policy would
    // drop the token of the channel that is running.
    uaChannel& ch = fTcp->TcpChannel();
    ch.ConnectionData().fRemoteCertificate = chosen->ServerCertificate;
    if (ch.Security() && !chosen->ServerCertificate.empty()) {
      try {
        ch.Security()->asym().LoadPublicCertificate(LeafCertificate(chosen->ServerCertificate),
                                                    cuUseRemoteKey);
      } catch (const std::exception& e) {
        // Only a secured use of the key needs it; that use reports the reason.
        Log(3, 9, std::string("server certificate: ") + e.what());
      }
    }
    return fSecurityMode != uaSNone || NormalizedUrl(chosen->EndpointUrl) != NormalizedUrl(fUrl);
  }
  if (aKeepOnNoMatch && Endpoint()) return false;
  std::string list = "\nPossible security modes for opc.tcp:// are:";
  for (const auto& ep : eps) {
    if (!ep || UrlScheme(ep->EndpointUrl) != "opc.tcp") continue;
    std::string policy = ep->SecurityPolicyUri;
    if (StartsWith(policy, kPolicyPrefix)) policy.erase(0, std::string_view(kPolicyPrefix).size());
    const auto mode = static_cast<TuaSecureMode>(ep->SecurityMode ? ep->SecurityMode->Value : 0);
    list += "\n" + SecureModeToString(mode) + " - " + policy;
  }
  list = std::string(TrimRight(list));
  throw uaConnectionException(Format("Can't find right Security Mode: %s with Policy: %s",
                                     SecureModeToString(fSecurityMode).c_str(), wantedPolicy.c_str()) +
                              list);
}

// ---------------------------------------------------------------------------------------
// Session

void TVaroUAClient::CreateSession() {
  if (fServerShutdown.load()) return;
  std::shared_ptr<const uaEndpointDescription> ep = Endpoint();
  if (!ep) throw uaConnectionException("no endpoint chosen");
  uaChannel& ch = fTcp->TcpChannel();
  uaCreateSession call(this);
  uaCreateSessionRequest& req = *call.Request;
  FillAppDescription(*req.ClientDescription);
  req.ServerUri = ep->Server ? ep->Server->ApplicationUri : std::string();
  req.EndpointUrl = fUrl;
  req.ClientCertificate = ch.LocalCertificate();
  if (!req.ClientCertificate.empty()) {
    // The session nonce stays out of the channel data: a renewal answered meanwhile derives
    // its keys from the channel's own nonce there.
    req.ClientNonce = SecureRandomBytes(kSessionNonceLength);
  }
  req.RequestedSessionTimeout = fRequestedSessionTimeout;
  req.SessionName = "Varo-Session " + UIntToStr(NextSessionNumber());
  req.MaxResponseMessageSize = kMaxResponseMessageSize;
  call.Run();
  if (!call.Response) throw uaConnectionException("UA Error CreateSession: no response");
  if (fSecurityMode == uaSSign || fSecurityMode == uaSSignAndEncrypt)
    VerifyServerSession(*call.Response, req.ClientNonce);
  std::shared_ptr<uaCreateSessionResponse> resp(call.Response.release());
  std::lock_guard l(fSessionLock);
  fSessionResponse = resp;
  fAuthenticationToken = resp->AuthenticationToken ? *resp->AuthenticationToken : uaNodeId(1u, 0);
  fRevisedSessionTimeout = resp->RevisedSessionTimeout;
}

void TVaroUAClient::VerifyServerSession(const uaCreateSessionResponse& aResponse, ByteSpan aClientNonce) {
  std::shared_ptr<const uaEndpointDescription> ep = Endpoint();
  uaChannel& ch = fTcp->TcpChannel();
  // The server must present the certificate of the endpoint we chose and trusted.
  if (!ep || aResponse.ServerCertificate.empty() || ep->ServerCertificate.empty() ||
      !std::ranges::equal(LeafCertificate(aResponse.ServerCertificate),
                          LeafCertificate(ep->ServerCertificate)))
    throw uaConnectionException(
        "UA Error CreateSession: the server certificate differs from the certificate of the endpoint");
  // Its signature over our certificate and nonce proves it holds the certificate's key.
  const TuaSecurePolicy policy = uaSecurityPolicies::StringToUaSecurityPolicy(ep->SecurityPolicyUri);
  const uaSecurityPolicyInfo& info = SecurityPolicyInfo(policy);
  ByteArray data = ch.LocalCertificate();
  data.insert(data.end(), aClientNonce.begin(), aClientNonce.end());
  const uaSignatureData* sig = aResponse.ServerSignature.get();
  uaMessageSecurityImpl* s = ch.Security();
  if (!s || !sig || sig->Signature.empty() ||
      !s->Verify_Rsa(info.fAsymmetricSignaturePadding, info.fAsymmetricSignatureHash, data, sig->Signature))
    throw uaConnectionException("UA Error CreateSession: the server signature does not verify");
}

ByteArray TVaroUAClient::LoadIdentityFile(const std::string& aPath) {
  if (StartsWith(aPath, "RES:\\")) throw uaConnectionException("Resource file not found: " + aPath);
  return uaMessageSecurityImpl::LoadDERFile(aPath);
}

uaEncryptedData TVaroUAClient::SignData(ByteSpan aData, const std::string& aPolicyUri, ByteSpan aKey,
                                        std::string_view aPassword) {
  uaEncryptedData out;
  if (IsNonePolicy(aPolicyUri)) return out;
  LoadCertificates();
  fTcp->SessionSign(aData, out, aPolicyUri, aKey, aPassword);
  return out;
}

std::unique_ptr<uaExtensionObject> TVaroUAClient::BuildIdentityToken(ByteArray& aUserKey,
                                                                     std::string& aUserKeyPolicy) {
  fSecurityPolicyUri.clear();
  std::shared_ptr<const uaEndpointDescription> ep = Endpoint();
  std::shared_ptr<const uaCreateSessionResponse> session = SessionData();
  const int32_t mode = fUserLogin.LoginMode;
  const std::string typeName = TuaUserLogin::TokenTypeName(mode);
  // Of the policies of the login mode prefer the last one whose policy encrypts the secret;
  // else the last one.
  const uaUserTokenPolicy* chosen = nullptr;
  const uaUserTokenPolicy* chosenSecured = nullptr;
  if (ep) {
    for (const auto& p : ep->UserIdentityTokens) {
      if (!p || !p->TokenType || p->TokenType->Value != mode) continue;
      chosen = p.get();
      const std::string& uri = p->SecurityPolicyUri.empty() ? ep->SecurityPolicyUri : p->SecurityPolicyUri;
      if (!IsNonePolicy(uri)) chosenSecured = p.get();
    }
  }
  if (chosenSecured) chosen = chosenSecured;
  if (!chosen) throw uaConnectionException("User Policy: " + typeName + " not supported by the OPC Server");
  fSecurityPolicyUri = chosen->SecurityPolicyUri;
  const std::string effectivePolicy =
      fSecurityPolicyUri.empty() && ep ? ep->SecurityPolicyUri : fSecurityPolicyUri;
  try {
    std::shared_ptr<TuaObj> token;
    switch (mode) {
      case TuaUserLogin::Anonymous: {
        fSecurityPolicyUri = kNonePolicyUri;
        auto t = std::make_shared<uaAnonymousIdentityToken>();
        t->PolicyId = chosen->PolicyId;
        token = t;
        break;
      }
      case TuaUserLogin::UserName: {
        auto t = std::make_shared<uaUserNameIdentityToken>();
        t->PolicyId = chosen->PolicyId;
        t->UserName = fUserLogin.Username;
        if (!fUserLogin.Password.empty()) {
          ByteArray secret(fUserLogin.Password.begin(), fUserLogin.Password.end());
          if (!IsNonePolicy(effectivePolicy)) {
            if (session)
              secret.insert(secret.end(), session->ServerNonce.begin(), session->ServerNonce.end());
            EnsureSecurityProvider();
            uaEncryptedData enc;
            fTcp->SessionEncryptPassword(secret, enc, effectivePolicy);
            std::fill(secret.begin(), secret.end(), 0);
            t->Password = std::move(enc.Data);
            t->EncryptionAlgorithm = std::move(enc.Algorithm);
          } else {
            t->Password = std::move(secret);
          }
        }
        token = t;
        break;
      }
      case TuaUserLogin::Certificate: {
        auto t = std::make_shared<uaX509IdentityToken>();
        t->PolicyId = chosen->PolicyId;
        t->CertificateData = LoadIdentityFile(fUserLogin.Username);
        aUserKey = LoadIdentityFile(fUserLogin.Datafile);
        aUserKeyPolicy = effectivePolicy;
        token = t;
        break;
      }
      case TuaUserLogin::IssuedToken: {
        auto t = std::make_shared<uaIssuedIdentityToken>();
        t->PolicyId = chosen->PolicyId;
        t->TokenData = LoadIdentityFile(fUserLogin.Datafile);
        t->EncryptionAlgorithm = fUserLogin.fEncodetype;
        token = t;
        break;
      }
      default:
        throw uaConnectionException("User Policy: " + typeName + " not supported by the OPC client");
    }
    TuaBinaryEncoder enc;
    token->Encode(enc);
    auto ext = std::make_unique<uaExtensionObject>();
    ext->SetBody(*token, enc.TakeBytes());
    return ext;
  } catch (const uaConnectionException&) {
    throw;
  } catch (const std::exception& e) {
    throw uaConnectionException(e.what());
  }
}

void TVaroUAClient::ActivateSession() {
  if (fServerShutdown.load()) return;
  std::shared_ptr<const uaEndpointDescription> ep = Endpoint();
  std::shared_ptr<const uaCreateSessionResponse> session = SessionData();
  if (!ep || !session) throw uaConnectionException("UA Error ActivateSession: no session");
  uaActivateSession call(this);
  uaActivateSessionRequest& req = *call.Request;
  ByteArray userKey;
  std::string userKeyPolicy;
  req.UserIdentityToken = BuildIdentityToken(userKey, userKeyPolicy);
  ByteArray data = ServerOwnCertificate(session->ServerCertificate);
  data.insert(data.end(), session->ServerNonce.begin(), session->ServerNonce.end());
  uaEncryptedData sig = SignData(data, ep->SecurityPolicyUri);
  req.ClientSignature->Algorithm = sig.Algorithm;
  req.ClientSignature->Signature = std::move(sig.Data);
  if (fUserLogin.LoginMode == TuaUserLogin::Certificate) {
    uaEncryptedData usig = SignData(data, userKeyPolicy, userKey, fUserLogin.Password);
    req.UserTokenSignature->Algorithm = usig.Algorithm;
    req.UserTokenSignature->Signature = std::move(usig.Data);
  }
  call.Run();
  if (call.Response && !call.Response->Results.empty() && call.Response->Results[0] != 0)
    throw CreateException(call.Response->Results[0]);
}

// ---------------------------------------------------------------------------------------
// Disconnect and lost connection

bool TVaroUAClient::Disconnect(bool aCloseSession) {
  bool wasActive;
  {
    std::lock_guard l(fStateLock);
    const int st = fState.load();
    if (st != stActive && st != stConnecting) return false;
    wasActive = st == stActive;
    fState.store(stDisconnecting);
  }
  try {
    CancelOpenRequests();
    StopTimers();
    const bool polite = fTransportOpen.load() && !fServerShutdown.load();
    if (aCloseSession && !fSessionLess && polite && SessionData()) {
      try {
        uaCloseSession call(this);
        call.Request->DeleteSubscriptions = true;
        call.Run(std::min(fTimeout > 0 ? fTimeout : 10000, 5000));
      } catch (const std::exception& e) {
        Log(4, 5, e.what());
      }
    }
    if (polite) {
      try {
        uaCloseSecureChannel call(this);
        call.Request->RequestHeader->AuthenticationToken = std::make_unique<uaNodeId>(1u, 0);
        call.RunSecure();
      } catch (const std::exception& e) {
        Log(4, 5, e.what());
      }
    }
    fTransportOpen.store(false);
    fTcp->Disconnect();
    {
      std::lock_guard l(fSessionLock);
      fSessionResponse.reset();
      fOpenSecureChannelResponse.reset();
      fAuthenticationToken = uaNodeId(1u, 0);
      fRevisedSessionTimeout = 0;
      if (aCloseSession && !fSessionLess) fEndpoint.reset();
    }
    if (wasActive && OnDisconnect && !fDestroying.load()) OnDisconnect(*this);
  } catch (...) {
    fTransportOpen.store(false);
    fState.store(stInactive);
    throw;
  }
  fState.store(stInactive);
  return wasActive;
}

void TVaroUAClient::HandleCriticalError(const std::string& aReason) {
  std::string reason = aReason;
  int st;
  {
    std::lock_guard l(fStateLock);
    st = fState.load();
    if (fServerShutdown.load() || st == stDisconnecting || st == stInactive) return;
    {
      std::lock_guard r(fRequestLock);
      if (fOpenRequest && fOpenRequest->Request)
        reason += " was returned during " + uaClassName(*fOpenRequest->Request);
    }
    fServerShutdown.store(true);
    fShutdownReason = reason;
  }
  WakeAllWaiters(uaBadConnectionClosed, reason);
  if (st != stActive || fDestroying.load()) return;
  Post([this, reason] {
    bool tornDown = false;
    {
      std::lock_guard a(fActiveLock);
      tornDown = Disconnect(true);
    }
    if (tornDown && OnServerShutdown && !fDestroying.load()) OnServerShutdown(*this, reason);
  });
}

}  // namespace varo::ua
