#include "platform/Event.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

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

// The dispatcher's wait: events as in WaitForPair, 2 for a descriptor of the
// set that got new bytes (edge-triggered: once per arrival), -1 on time-out;
// a Set from another thread wakes it through its eventfd, never lost.
TEST(Event, WaitForPairOrReadyAlsoReportsNewBytesOnADescriptor) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
  const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  const int watch = epoll_create1(EPOLL_CLOEXEC);
  epoll_event w{}, d{};
  w.events = EPOLLIN;
  w.data.fd = wake;
  d.events = EPOLLIN | EPOLLET;
  d.data.fd = fds[0];
  ASSERT_EQ(epoll_ctl(watch, EPOLL_CTL_ADD, wake, &w), 0);
  ASSERT_EQ(epoll_ctl(watch, EPOLL_CTL_ADD, fds[0], &d), 0);
  TEvent a, b;
  auto wait = [&](uint32_t ms) { return TEvent::WaitForPairOrReady(a, b, watch, wake, ms); };

  EXPECT_EQ(wait(0), -1);
  b.Set();
  a.Set();
  EXPECT_EQ(wait(0), 0);  // first wins, the other stays set
  EXPECT_EQ(wait(0), 1);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  EXPECT_EQ(wait(0), 2);
  EXPECT_EQ(wait(0), -1);  // the same bytes unread: no second report

  constexpr int kRounds = 1000;
  TEvent ping;
  TOwnedThread t;
  t.Start([&] {
    for (int i = 0; i < kRounds; ++i) {
      ASSERT_TRUE(ping.Wait(10000));
      if (i % 2) {
        b.Set();
      } else {
        ASSERT_EQ(write(fds[1], "y", 1), 1);
      }
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    ping.Set();
    ASSERT_EQ(wait(10000), i % 2 ? 1 : 2) << "round " << i;
  }
  t.Join();
  for (int fd : {fds[0], fds[1], wake, watch}) close(fd);
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
