// SPDX-License-Identifier: MPL-2.0
// Marks the threads a client owns (receive callbacks, renew and status threads) while they
// run its code, so that operations which would join or wait for such a thread can be handed
// to the client's worker thread instead.
#pragma once

namespace varo::ua {

class TVaroUAClient;

class TuaCallbackScope {
 public:
  explicit TuaCallbackScope(const TVaroUAClient* aClient) : fPrevious(tCurrent) { tCurrent = aClient; }
  ~TuaCallbackScope() { tCurrent = fPrevious; }
  TuaCallbackScope(const TuaCallbackScope&) = delete;
  TuaCallbackScope& operator=(const TuaCallbackScope&) = delete;

  // True on a thread that currently runs a callback or timer body of aClient.
  static bool Inside(const TVaroUAClient* aClient) { return tCurrent == aClient; }

 private:
  static inline thread_local const TVaroUAClient* tCurrent = nullptr;
  const TVaroUAClient* fPrevious;
};

}  // namespace varo::ua
