#include "platform/TimeSource.h"

#include <gtest/gtest.h>

#include <thread>

namespace corvane {
namespace {

TEST(TimeSourceTest, ScaledTimeRunsFasterAndEventsAutoReset) {
  ScaledTimeSource time(1000.0);
  AutoResetEvent event;
  const Millis start = time.Now();
  EXPECT_FALSE(time.Wait(event, Millis(15000)));  // 15 virtual seconds, 15 ms real
  const Millis waited = time.Now() - start;
  EXPECT_GE(waited.count(), 15000);
  EXPECT_LT(waited.count(), 15000 * 100);  // far less than the 15 s it stands for

  event.Set();  // pending with no waiter
  EXPECT_TRUE(time.Wait(event, Millis(60000)));
  EXPECT_FALSE(event.TryConsume());  // the wait consumed it

  std::thread setter([&event] { event.Set(); });
  EXPECT_TRUE(time.Wait(event, Millis(60'000'000)));
  setter.join();
}

}  // namespace
}  // namespace corvane
