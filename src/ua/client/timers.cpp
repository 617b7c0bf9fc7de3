// SPDX-License-Identifier: MPL-2.0
#include "ua/client/timers.h"

#include <chrono>
#include <cmath>

#include "ua/client/callback_scope.h"
#include "ua/client/ua_attributes.h"
#include "ua/client/ua_client.h"
#include "ua/client/ua_client_services.h"
#include "ua/encoding/binary_codec.h"
#include "ua/encoding/status_codes.h"

namespace varo::ua {

namespace {
// A granted lifetime below this is treated as this, so that renewals never run in a tight
// loop. Kept small: a token must still be renewed before it lapses.
constexpr uint32_t kMinLifetimeMs = 100;
constexpr uint32_t kStatusPeriodAfterFailure = 100000;

int64_t RenewPoint(uint32_t aLifetime) {
  // Whole milliseconds, ties to even.
  return static_cast<int64_t>(std::nearbyint(static_cast<double>(aLifetime) * 0.75));
}
}  // namespace

// ---------------------------------------------------------------------------------------
// TuaTimer

TuaTimer::TuaTimer(TVaroUAClient& aClient, uint32_t aInterval) : fuaClient(aClient), fInterval(aInterval) {}

TuaTimer::~TuaTimer() {
  Stop();
}

void TuaTimer::Start() {
  if (!fThread.joinable()) fThread = std::thread([this] { Execute(); });
}

void TuaTimer::Stop() {
  {
    std::lock_guard l(fLock);
    fTerminated = true;
    fSignalled = true;
  }
  fEvent.notify_all();
  if (fThread.joinable() && fThread.get_id() != std::this_thread::get_id()) fThread.join();
}

void TuaTimer::SetInterval(uint32_t aInterval) {
  {
    std::lock_guard l(fLock);
    fInterval = aInterval;
    fSignalled = true;
  }
  fEvent.notify_all();
}

uint32_t TuaTimer::Interval() const {
  std::lock_guard l(fLock);
  return fInterval;
}

bool TuaTimer::WaitTimeout(int64_t aMs) {
  std::unique_lock l(fLock);
  const bool woken =
      fEvent.wait_for(l, std::chrono::milliseconds(std::max<int64_t>(aMs, 0)), [&] { return fSignalled; });
  if (woken && !fTerminated) fSignalled = false;
  return !woken && !fTerminated;
}

bool TuaTimer::Terminated() const {
  std::lock_guard l(fLock);
  return fTerminated;
}

// ---------------------------------------------------------------------------------------
// Renew thread

TuaRenewTimer::TuaRenewTimer(TVaroUAClient& aClient, bool aSecure, uint32_t aRenewInterval)
    : TuaTimer(aClient, aRenewInterval), fSecure(aSecure) {}

TuaRenewTimer::~TuaRenewTimer() {
  Stop();
}

void TuaRenewTimer::RenewalDone(bool aOk, uint32_t aRevisedLifetime) {
  {
    std::lock_guard l(fLock);
    if (aOk) {
      fGrantedLifetime = aRevisedLifetime;
      fRetry = false;
      return;
    }
    // Try again well before the token runs out.
    fRetry = true;
    fSignalled = true;
  }
  fEvent.notify_all();
}

int64_t TuaRenewTimer::NextWait(uint32_t aInterval, uint32_t aGranted, bool aRetry) {
  uint32_t lifetime = aInterval;
  // A server that shortens the lifetime on renewal is followed; a longer one is not.
  if (aGranted != 0 && aGranted < lifetime) lifetime = aGranted;
  lifetime = std::max(lifetime, kMinLifetimeMs);
  return aRetry ? std::max<int64_t>(lifetime / 20, 500) : RenewPoint(lifetime);
}

void TuaRenewTimer::Execute() {
  TuaCallbackScope scope(&fuaClient);
  while (!Terminated()) {
    int64_t wait;
    {
      std::lock_guard l(fLock);
      wait = NextWait(fInterval, fGrantedLifetime, fRetry);
    }
    if (!WaitTimeout(wait)) continue;
    try {
      fuaClient.RequestSecurityToken(fSecure, true);
    } catch (const std::exception& e) {
      if (fuaClient.OnLog) fuaClient.Log(4, uaBadCommunicationError, std::string("Renew Timer: ") + e.what());
      std::lock_guard l(fLock);
      fRetry = true;
    }
  }
}

// ---------------------------------------------------------------------------------------
// Status thread

TuaStatusTimer::TuaStatusTimer(TVaroUAClient& aClient, uint32_t aInterval) : TuaTimer(aClient, aInterval) {}

TuaStatusTimer::~TuaStatusTimer() {
  Stop();
}

void TuaStatusTimer::Execute() {
  TuaCallbackScope scope(&fuaClient);
  uint32_t period = Interval();
  std::unique_ptr<uaServerStatusDataType> status;
  while (!Terminated()) {
    if (!WaitTimeout(period)) continue;
    bool shutdown = false;
    try {
      status = std::make_unique<uaServerStatusDataType>();
      const uaStatusCode code = fuaClient.ReadServerStatus(*status, 0);
      if (fuaClient.Disconnecting() || Terminated()) continue;
      if (fuaClient.OnServerStatusRead) fuaClient.OnServerStatusRead(fuaClient, code, status.get(), shutdown);
      if (shutdown) throw uaConnectionException(Statuscodes::ToString(uaBadShutdown));
    } catch (const std::exception& e) {
      period = kStatusPeriodAfterFailure;
      const std::string reason = e.what();
      if (fuaClient.Disconnecting() || Terminated()) continue;
      // The application decides on the client's worker thread; the teardown joins this
      // thread, so it must not run here.
      TVaroUAClient* client = &fuaClient;
      fuaClient.Post([client, reason] {
        bool sd = true;
        if (client->OnServerStatusRead) client->OnServerStatusRead(*client, uaBadServerHalted, nullptr, sd);
        if (sd) client->HandleCriticalError(reason);
      });
    }
  }
}

// ---------------------------------------------------------------------------------------
// Status read

uaStatusCode TVaroUAClient::ReadServerStatus(uaServerStatusDataType& aServerStatus, int aTimeout) {
  if (Disconnecting()) return uaBadUnknownResponse;
  uaRead call(this);
  call.Request->MaxAge = 0;
  call.Request->TimestampsToReturn = std::make_unique<uaTimestampsToReturn>(3);
  call.Request->NodesToRead_Setlength(1);
  call.Request->NodesToRead[0]->NodeId = std::make_unique<uaNodeId>(uaServerStatusNode, 0);
  call.Request->NodesToRead[0]->AttributeId = attrValue;
  call.RunSync(aTimeout);
  if (!call.Response) return uaBadUnknownResponse;
  if (call.Response->Results.empty() || !call.Response->Results[0]) return uaBadNodeIdUnknown;
  const uaDataValue& dv = *call.Response->Results[0];
  if (!dv.Value || !dv.Value->HasValue()) throw EVaroError("Source value is nil");
  const auto* ext = dv.Value->GetIf<std::unique_ptr<uaExtensionObject>>();
  if (!ext || !*ext) throw EVaroError("Source is not a extension object");
  const uaExtensionObject& eo = **ext;
  if (eo.Encoding == uaExtensionObject::eo_EncodeableObject && eo.Object) {
    if (eo.Object->ObjNo != uaServerStatusDataType::kObjNo)
      throw EVaroError("Source is not a extension object");
    TuaBinaryEncoder enc;
    eo.Object->Encode(enc);
    TuaBinaryDecoder dec(enc.View());
    aServerStatus.Decode(dec);
  } else if (eo.Encoding == uaExtensionObject::eo_BinaryBody &&
             eo.ObjNo() == uaServerStatusDataType::kObjNo) {
    TuaBinaryDecoder dec(ByteSpan(eo.BinaryBody));
    aServerStatus.Decode(dec);
  } else {
    throw EVaroError("Source is not a extension object");
  }
  return dv.StatusCode;
}

}  // namespace varo::ua
