// SPDX-License-Identifier: MPL-2.0
#include "ua/client/ua_client.h"

#include "ua/client/timers.h"

namespace varo::ua {

namespace {
[[noreturn]] void NotYet() {
  throw uaConnectionException("not implemented yet");
}
}  // namespace

std::string TuaUserLogin::TokenTypeName(int32_t) {
  return {};
}
std::string uaShortName(std::string_view aClassName) {
  return std::string(aClassName);
}
std::string uaShortName(const TuaObj&) {
  return {};
}
std::string uaClassName(const TuaObj&) {
  return {};
}

TuaServiceCallBase::TuaServiceCallBase(TVaroUAClient* aClient, std::unique_ptr<TuaRequestObj> aRequest)
    : uaClient(aClient), fRequest(std::move(aRequest)) {}
TuaServiceCallBase::~TuaServiceCallBase() = default;
void TuaServiceCallBase::CheckStatusCode(uaStatusCode) const {}
uaConnectionException TuaServiceCallBase::CreateException(uaStatusCode) const {
  return uaConnectionException("");
}
std::string TuaServiceCallBase::StatuscodeToString(uaStatusCode) {
  return {};
}
std::unique_ptr<TuaObj> TuaServiceCallBase::DoRun(int) {
  NotYet();
}
std::unique_ptr<TuaObj> TuaServiceCallBase::DoRunSync(int) {
  NotYet();
}
void TuaServiceCallBase::DoRunAsync(uaServiceCallEvent, std::shared_ptr<void>, int) {
  NotYet();
}
std::unique_ptr<TuaObj> TuaServiceCallBase::DoRunSecure() {
  NotYet();
}
void TuaServiceCallBase::RaiseUnexpected(const TuaObj&) {
  NotYet();
}

TVaroUAClient::TVaroUAClient() : fTcp(std::make_unique<uaStackClient>()) {}
TVaroUAClient::~TVaroUAClient() = default;
void TVaroUAClient::SetActive(bool) {
  NotYet();
}
void TVaroUAClient::SetKeepAlive(int aValue) {
  fKeepAlive = aValue;
}
std::shared_ptr<const uaCreateSessionResponse> TVaroUAClient::SessionData() const {
  return nullptr;
}
std::shared_ptr<const uaEndpointDescription> TVaroUAClient::Endpoint() const {
  return nullptr;
}
uaMessageError TVaroUAClient::LastError() const {
  return {};
}
void TVaroUAClient::FillAppDescription(uaApplicationDescription&) {}
void TVaroUAClient::Log(int, uint32_t, const std::string&, const TuaObj*) {}
void TVaroUAClient::CheckStatusCode(uaStatusCode) const {}
uaConnectionException TVaroUAClient::CreateException(uaStatusCode) {
  return uaConnectionException("");
}
void TVaroUAClient::CancelRequest(uint32_t) {}
uaStatusCode TVaroUAClient::HandleServiceFault(const TuaObj*) {
  return 0;
}
uint32_t TVaroUAClient::NextRequestId() {
  return ++fUniqueId;
}
uint32_t TVaroUAClient::NextSessionNumber() {
  return ++fUniqueId2;
}
void TVaroUAClient::FillRequestHeader(uint32_t, uaRequestHeader&) {}
std::unique_ptr<TuaObj> TVaroUAClient::SendSingleSync(uint32_t, const TuaRequestObj&, int) {
  NotYet();
}
std::unique_ptr<TuaObj> TVaroUAClient::SendListedSync(uint32_t, const TuaRequestObj&, int) {
  NotYet();
}
void TVaroUAClient::SendAsync(uint32_t, const TuaRequestObj&, int, std::shared_ptr<void>,
                              uaServiceCallEvent) {
  NotYet();
}
std::unique_ptr<TuaObj> TVaroUAClient::SendSecureMsgAndWait(uint32_t, const TuaRequestObj&, int) {
  NotYet();
}
void TVaroUAClient::RegisterHandler(int32_t, uaServiceCallEvent) {}
void TVaroUAClient::CancelOpenRequests() {}
size_t TVaroUAClient::OpenRequestCount() const {
  return 0;
}
uaStatusCode TVaroUAClient::ReadServerStatus(uaServerStatusDataType&, int) {
  return uaBadUnknownResponse;
}

TuaTimer::TuaTimer(TVaroUAClient& aClient, uint32_t aInterval) : fuaClient(aClient), fInterval(aInterval) {}
TuaTimer::~TuaTimer() = default;
TuaRenewTimer::TuaRenewTimer(TVaroUAClient& aClient, bool aSecure, uint32_t aRenewInterval)
    : TuaTimer(aClient, aRenewInterval), fSecure(aSecure) {}
TuaRenewTimer::~TuaRenewTimer() = default;
void TuaRenewTimer::Execute() {}
TuaStatusTimer::TuaStatusTimer(TVaroUAClient& aClient, uint32_t aInterval) : TuaTimer(aClient, aInterval) {}
TuaStatusTimer::~TuaStatusTimer() = default;
void TuaStatusTimer::Execute() {}

}  // namespace varo::ua
