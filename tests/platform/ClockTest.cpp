#include "platform/Clock.h"

#include <gtest/gtest.h>

#include "platform/Messages.h"

namespace zav {
namespace {

TEST(EventTimer, StartCapsTheInterval) {
  TEventTimer t;
  NewTimer(t, 100, 5000);
  EXPECT_EQ(t.StartTicks, 5000);
  EXPECT_EQ(t.ExpireTicks, 5100);
  NewTimer(t, 0x7FFFFFF0, 10);
  EXPECT_EQ(t.ExpireTicks, 10 + kTickWrap);
}

TEST(EventTimer, ExpiresOnlyAfterTheExpiryTick) {
  TEventTimer t;
  NewTimer(t, 10, 1000);
  EXPECT_FALSE(TimerExpired(t, 1000));
  EXPECT_FALSE(TimerExpired(t, 1010));  // expiry < now, strictly
  EXPECT_TRUE(TimerExpired(t, 1011));
  EXPECT_EQ(ElapsedTicks(t, 1004), 4);
  EXPECT_EQ(RemainingTicks(t, 1004), 6);
  EXPECT_EQ(RemainingTicks(t, 2000), 0);
}

TEST(EventTimer, ArithmeticAcrossTheTickWrap) {
  // Started 5 ticks before the wrap for 20 ticks: expiry lies past the wrap.
  TEventTimer t;
  NewTimer(t, 20, kTickWrap - 5);
  EXPECT_EQ(t.ExpireTicks, kTickWrap + 15);
  // Before the wrap.
  EXPECT_FALSE(TimerExpired(t, kTickWrap - 1));
  EXPECT_EQ(ElapsedTicks(t, kTickWrap - 1), 4);
  EXPECT_EQ(RemainingTicks(t, kTickWrap - 1), 16);
  // After the wrap the tick count restarts at 0: now < start.
  EXPECT_EQ(ElapsedTicks(t, 3), 8);
  EXPECT_EQ(RemainingTicks(t, 3), 12);
  EXPECT_FALSE(TimerExpired(t, 3));
  EXPECT_FALSE(TimerExpired(t, 15));
  EXPECT_TRUE(TimerExpired(t, 16));
  EXPECT_EQ(RemainingTicks(t, 16), 0);
}

TEST(EventTimer, ShortTimerBeforeWrapSeenAfterWrapIsExpired) {
  TEventTimer t;
  NewTimer(t, 2, kTickWrap - 10);
  EXPECT_TRUE(TimerExpired(t, 0));
  EXPECT_EQ(ElapsedTicks(t, 0), 10);
}

TEST(TickConversions, MatchTheLibraryFormulas) {
  EXPECT_EQ(Secs2Ticks(1), 18);
  EXPECT_EQ(Secs2Ticks(10), 182);
  EXPECT_EQ(Secs2Ticks(60), 1092);
  EXPECT_EQ(Ticks2Secs(0), 0);
  EXPECT_EQ(Ticks2Secs(9), 0);
  EXPECT_EQ(Ticks2Secs(10), 1);  // (10 + 9) * 92 div 1675
  EXPECT_EQ(Ticks2Secs(182), 10);
  // Large counts would overflow 32-bit intermediates.
  EXPECT_EQ(Ticks2Secs(kTickWrap), int32_t((int64_t(kTickWrap) + 9) * 92 / 1675));
  EXPECT_EQ(Secs2Ticks(2000000), int32_t(int64_t(2000000) * 1675 / 92));
}

TEST(MsClock, WrapsAtTwoToTheThirtyOne) {
  SetClockOffsetForTesting(0);
  uint32_t base = MsClock();
  SetClockOffsetForTesting(int64_t(0x80000000) - base - 2);
  uint32_t before = MsClock();
  EXPECT_GE(before, 0x7FFFFF00u);
  EXPECT_LT(before, 0x80000000u);
  DelayMs(5);
  uint32_t after = MsClock();
  EXPECT_LT(after, 1000u);  // wrapped to a small value
  EXPECT_LE(CurrentTicks(), kTickWrap);
  SetClockOffsetForTesting(0);
}

TEST(DelayTicks, YieldingDelayServesMessagesAndEndsOnQuit) {
  int seen = 0;
  HWND w = CreateMessageWindow([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg == WM_USER + 1) {
      ++seen;
      PostQuitMessage(3);
    }
    return 0;
  });
  PostMessage(w, WM_USER + 1, 0, 0);
  // Long delay: ends early because of the quit message.
  EXPECT_FALSE(DelayTicks(1000, true));
  EXPECT_EQ(seen, 1);
  // The quit message was posted again for the thread's own loop.
  EXPECT_EQ(RunMessageLoop(), 3);
  DestroyMessageWindow(w);
}

TEST(DelayTicks, NonYieldingDelayLeavesMessagesQueued) {
  int seen = 0;
  HWND w = CreateMessageWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return ++seen; });
  PostMessage(w, WM_USER, 0, 0);
  EXPECT_TRUE(DelayTicks(1, false));
  EXPECT_EQ(seen, 0);
  EXPECT_EQ(PumpOneMessage(), PumpResult::Dispatched);
  EXPECT_EQ(seen, 1);
  DestroyMessageWindow(w);
}

}  // namespace
}  // namespace zav
