// SPDX-License-Identifier: MPL-2.0
#include <gtest/gtest.h>

#include "ua/client/timers.h"

namespace varo::ua {
namespace {

TEST(RenewTimer, WaitBeforeTheNextRenewal) {
  struct Case {
    uint32_t interval, granted;
    bool retry;
    int64_t wait;
  };
  const Case cases[] = {
      {3600000, 0, false, 2700000},        // 0.75 of the lifetime
      {3600000, 3600000, false, 2700000},  // same lifetime on renewal
      {3600000, 7200000, false, 2700000},  // a longer grant does not stretch the interval
      {3600000, 600000, false, 450000},    // a shorter one is followed
      {0, 0, false, 75},                   // a lifetime of 0 does not spin
      {1, 0, false, 75},
      {3000, 0, false, 2250},  // a short token is renewed before it lapses
      {3000, 1000, false, 750},
      {4002, 0, false, 3002},      // 3001.5: ties to even
      {4006, 0, false, 3004},      // 3004.5: ties to even
      {4001, 0, false, 3001},      // 3000.75
      {3600000, 0, true, 180000},  // retry after a lost renewal, well before expiry
      {0, 0, true, 500},
  };
  for (const Case& c : cases)
    EXPECT_EQ(TuaRenewTimer::NextWait(c.interval, c.granted, c.retry), c.wait)
        << c.interval << " " << c.granted << " " << c.retry;
}

}  // namespace
}  // namespace varo::ua
