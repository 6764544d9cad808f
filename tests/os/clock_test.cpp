#include "os/clock.h"

#include <gtest/gtest.h>

TEST(Clock, SleepLastsAtLeastItsTimeAndTicksAgree) {
  uint64_t ns0 = os_monotonic_ns();
  uint32_t t0 = os_tick_ms();
  os_sleep_ms(30);
  uint64_t ns1 = os_monotonic_ns();
  uint32_t t1 = os_tick_ms();
  EXPECT_GE(ns1 - ns0, 30u * 1000000u);
  // Unsigned difference stays right across the 32-bit wrap.
  EXPECT_GE((uint32_t)(t1 - t0), 29u);
  EXPECT_LT((uint32_t)(t1 - t0), 5000u);
}
