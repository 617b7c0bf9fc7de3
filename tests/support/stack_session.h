// SPDX-License-Identifier: MPL-2.0
// A synchronous driver over uaStackClient for the transport tests and benchmarks: connect and
// wait for the Acknowledge, open or renew the secure channel, call a service and wait for its
// response, close the channel. Waits are bounded; every failure raises std::runtime_error
// with what the stack reported.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "ua/encoding/service_types.h"
#include "ua/transport/stack_client.h"

namespace varo::test {

class StackSession {
 public:
  StackSession();
  ~StackSession();

  ua::uaStackClient& Stack() { return fStack; }

  // Connects and waits for the Acknowledge.
  void Connect(const std::string& aUrl, std::string_view aProxy = {}, int aTimeoutMs = 10000);
  // OpenSecureChannel (Issue or Renew) under the channel's current mode and policy; activates
  // the token and returns the response.
  std::unique_ptr<ua::uaOpenSecureChannelResponse> Open(bool aRenew = false, uint32_t aLifetimeMs = 600000);
  // Sends aRequest as a service message and returns the decoded response (a ServiceFault
  // comes back as such).
  std::unique_ptr<ua::TuaObj> Call(ua::TuaRequestObj& aRequest);
  template <class TResp>
  std::unique_ptr<TResp> Call(ua::TuaRequestObj& aRequest) {
    std::unique_ptr<ua::TuaObj> r = Call(aRequest);
    auto* p = dynamic_cast<TResp*>(r.get());
    if (!p) throw std::runtime_error("unexpected response type");
    r.release();
    return std::unique_ptr<TResp>(p);
  }
  // GetEndpoints for aUrl. With aPaddingBytes the request carries that many bytes of profile
  // URIs besides the real transport profile, which filters nothing away and only makes the
  // request long (for messages of several chunks).
  std::unique_ptr<ua::uaGetEndpointsResponse> GetEndpoints(const std::string& aUrl, size_t aPaddingBytes = 0);
  // CloseSecureChannel (no response is expected) and disconnect.
  void Close();

  // What the stack reported, for tests of failures.
  std::optional<std::string> CriticalError();
  std::optional<ua::uaMessageError> LastError();
  // Waits until a critical error or a server Error message arrives; false on time-out.
  bool WaitForFailure(int aTimeoutMs);

  int fTimeoutMs = 10000;

 private:
  ByteArray WaitResponse(uint32_t aRequestId);
  void FillHeader(ua::TuaRequestObj& aRequest);

  ua::uaStackClient fStack;
  std::mutex fLock;
  std::condition_variable fCond;
  bool fAck = false;
  std::map<uint32_t, ByteArray> fResponses;
  std::map<uint32_t, ua::uaMessageError> fAborts;
  std::optional<std::string> fCritical;
  std::optional<ua::uaMessageError> fError;
  uint32_t fNextRequestId = 0;
  uint32_t fHandle = 0;
};

}  // namespace varo::test
