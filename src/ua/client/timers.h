// SPDX-License-Identifier: MPL-2.0
// The background threads of a connected client: the renew thread renews the secure-channel
// token before its lifetime ends; the status thread reads the server status periodically.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace varo::ua {

class TVaroUAClient;

// A thread that sleeps on an event so that it can be woken and stopped at once.
class TuaTimer {
 public:
  TuaTimer(TVaroUAClient& aClient, uint32_t aInterval);
  // Stops and joins the thread. Must not run on the thread itself.
  virtual ~TuaTimer();
  TuaTimer(const TuaTimer&) = delete;
  TuaTimer& operator=(const TuaTimer&) = delete;

  void Start();
  void Stop();
  void SetInterval(uint32_t aInterval);
  uint32_t Interval() const;

 protected:
  virtual void Execute() = 0;
  // Waits up to aMs; true when the wait ran out (neither woken nor terminated).
  bool WaitTimeout(int64_t aMs);
  bool Terminated() const;

  TVaroUAClient& fuaClient;
  mutable std::mutex fLock;
  std::condition_variable fEvent;
  uint32_t fInterval;
  bool fSignalled = false;
  bool fTerminated = false;
  std::thread fThread;
};

// Renews the channel token at 0.75 of its lifetime; retries sooner after a lost renewal.
class TuaRenewTimer final : public TuaTimer {
 public:
  TuaRenewTimer(TVaroUAClient& aClient, bool aSecure, uint32_t aRenewInterval);
  ~TuaRenewTimer() override;
  // Called by the renewal's response handler: a new lifetime arrived, or none (retry).
  void RenewalDone(bool aOk, uint32_t aRevisedLifetime);
  bool Secure() const { return fSecure; }
  // The wait before the next renewal: 0.75 of the lifetime in whole ms (ties to even). The
  // lifetime is the one given at start, or the granted one when the server shortened it,
  // never below 100 ms; after a lost renewal a twentieth of it (at least 500 ms).
  static int64_t NextWait(uint32_t aInterval, uint32_t aGranted, bool aRetry);

 protected:
  void Execute() override;

 private:
  bool fSecure;
  bool fRetry = false;
  uint32_t fGrantedLifetime = 0;
};

// Reads the server status every fInterval ms; a failing read, or the application's verdict,
// turns into a shutdown of the client.
class TuaStatusTimer final : public TuaTimer {
 public:
  TuaStatusTimer(TVaroUAClient& aClient, uint32_t aInterval);
  ~TuaStatusTimer() override;

 protected:
  void Execute() override;
};

}  // namespace varo::ua
