#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Thread.h"

namespace zav {
namespace {

TEST(Event, AutoResetWakesOneWaitThenResets) {
  TEvent e(TEvent::Kind::AutoReset);
  EXPECT_FALSE(e.Wait(0));
  e.Set();
  EXPECT_TRUE(e.IsSet());
  EXPECT_TRUE(e.Wait(0));
  EXPECT_FALSE(e.IsSet());
  EXPECT_FALSE(e.Wait(10));
}

TEST(Event, ManualResetStaysSetUntilReset) {
  TEvent e(TEvent::Kind::ManualReset, true);
  EXPECT_TRUE(e.Wait(0));
  EXPECT_TRUE(e.Wait(0));
  e.Reset();
  EXPECT_FALSE(e.Wait(0));
}

TEST(Event, WaitEndsWhenAnotherThreadSets) {
  TEvent e;
  TOwnedThread t;
  t.Start([&] { e.Set(); });
  EXPECT_TRUE(e.Wait(5000));
  t.Join();
}

TEST(Event, WaitForPairReportsTheSignalledOneAndConsumesOnlyIt) {
  TEvent a, b;
  EXPECT_EQ(TEvent::WaitForPair(a, b, 0), -1);
  b.Set();
  EXPECT_EQ(TEvent::WaitForPair(a, b, 0), 1);
  EXPECT_FALSE(b.IsSet());
  a.Set();
  b.Set();
  EXPECT_EQ(TEvent::WaitForPair(a, b, 0), 0);  // first wins
  EXPECT_TRUE(b.IsSet());                      // and the other is untouched
  EXPECT_EQ(TEvent::WaitForPair(a, b, 0), 1);
}

TEST(Event, WaitForPairWakesOnASetFromAnotherThread) {
  TEvent a, b;
  std::atomic<int> got{-2};
  TOwnedThread waiter;
  waiter.Start([&] { got = TEvent::WaitForPair(a, b, 10000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  b.Set();
  waiter.Join();
  EXPECT_EQ(got.load(), 1);
}

TEST(Event, ManyWakeUpsAreNeverLost) {
  TEvent ping, pong;
  constexpr int kRounds = 2000;
  TOwnedThread t;
  t.Start([&] {
    for (int i = 0; i < kRounds; ++i) {
      ASSERT_TRUE(ping.Wait(10000));
      pong.Set();
    }
  });
  TEvent never;
  for (int i = 0; i < kRounds; ++i) {
    ping.Set();
    ASSERT_EQ(TEvent::WaitForPair(never, pong, 10000), 1);
  }
  t.Join();
}

TEST(OwnedThread, PriorityIsStoredAndClamped) {
  TOwnedThread t;
  EXPECT_EQ(t.Priority(), kPriorityNormal);
  t.SetPriority(9);
  EXPECT_EQ(t.Priority(), kPriorityTimeCritical);
  TEvent go;
  t.Start([&] { go.Wait(); });
  t.SetPriority(1);
  EXPECT_EQ(t.Priority(), 1);
  go.Set();
  t.Join();
  EXPECT_FALSE(t.Joinable());
}

}  // namespace
}  // namespace zav
