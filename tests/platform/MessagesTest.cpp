#include "platform/Messages.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "platform/Event.h"

namespace zav {
namespace {

// A thread that owns one window and runs its message loop until told to quit.
class WindowThread {
 public:
  explicit WindowThread(WindowProc proc) {
    std::promise<HWND> ready;
    auto f = ready.get_future();
    thread_ = std::thread([&ready, proc = std::move(proc)] {
      HWND w = CreateMessageWindow(proc);
      ready.set_value(w);
      RunMessageLoop();
      DestroyMessageWindow(w);
    });
    hwnd_ = f.get();
  }
  ~WindowThread() {
    PostMessage(hwnd_, kStop, 0, 0);
    thread_.join();
  }
  HWND hwnd() const { return hwnd_; }
  static constexpr UINT kStop = WM_USER + 999;

  // Every procedure given to a WindowThread must end the loop on kStop.
  static bool HandleStop(UINT msg) {
    if (msg != kStop) return false;
    PostQuitMessage(0);
    return true;
  }

 private:
  std::thread thread_;
  HWND hwnd_;
};

TEST(Messages, PostedMessagesArriveInOrderOnTheOwnerThread) {
  std::vector<int> seen;
  HWND w = CreateMessageWindow([&](HWND, UINT msg, WPARAM wp, LPARAM) -> LRESULT {
    if (msg == WM_USER) seen.push_back(int(wp));
    return 0;
  });
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(PostMessage(w, WM_USER, WPARAM(i), 0));
  EXPECT_TRUE(seen.empty());  // nothing runs before the queue is pumped
  while (PumpOneMessage() != PumpResult::Empty) {
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_TRUE(DestroyMessageWindow(w));
}

TEST(Messages, DestroyedWindowRefusesPostsAndSends) {
  HWND w = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 7; });
  EXPECT_EQ(SendMessage(w, WM_USER, 0, 0), 7);
  EXPECT_TRUE(PostMessage(w, WM_USER, 0, 0));
  EXPECT_TRUE(DestroyMessageWindow(w));
  EXPECT_FALSE(IsWindow(w));
  EXPECT_FALSE(PostMessage(w, WM_USER, 0, 0));
  EXPECT_EQ(SendMessage(w, WM_USER, 0, 0), 0);
  LRESULT r = 1;
  EXPECT_FALSE(SendMessageTimeout(w, WM_USER, 0, 0, SMTO_BLOCK, 100, &r));
  // The message posted before destruction is dropped, not delivered.
  EXPECT_EQ(PumpOneMessage(), PumpResult::Dispatched);
  EXPECT_FALSE(DestroyMessageWindow(w));
}

TEST(Messages, CrossThreadSendRunsOnTheOwnerAndReturnsItsResult) {
  std::atomic<std::thread::id> ranOn;
  WindowThread t([&](HWND, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
    if (WindowThread::HandleStop(msg)) return 0;
    ranOn = std::this_thread::get_id();
    return LRESULT(wp) + lp;
  });
  EXPECT_EQ(SendMessage(t.hwnd(), WM_USER, 40, 2), 42);
  LRESULT r = 0;
  EXPECT_TRUE(SendMessageTimeout(t.hwnd(), WM_USER, 1, 2, SMTO_BLOCK, 3000, &r));
  EXPECT_EQ(r, 3);
  EXPECT_NE(ranOn.load(), std::this_thread::get_id());
}

// The receiver answers only after the sender gave up. The late answer must not
// touch the sender's (by then reused) stack: ASan would report it.
TEST(Messages, AnswerAfterTimeOutNeverWritesIntoTheSender) {
  TEvent release;
  TEvent answered;
  WindowThread t([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (WindowThread::HandleStop(msg)) return 0;
    release.Wait();
    answered.Set();
    return 12345;
  });
  auto sendOnce = [&] {
    LRESULT result = -1;  // lives on this frame only
    bool ok = SendMessageTimeout(t.hwnd(), WM_USER, 0, 0, SMTO_BLOCK, 50, &result);
    EXPECT_FALSE(ok);
    EXPECT_EQ(result, -1);
  };
  sendOnce();
  // Reuse the stack area the result lived in.
  volatile char scratch[4096];
  for (auto& c : scratch) c = 0x5A;
  release.Set();
  ASSERT_TRUE(answered.Wait(5000));
  for (auto& c : scratch) EXPECT_EQ(c, 0x5A);
  // The window still answers normally afterwards.
  release.Set();
  EXPECT_EQ(SendMessage(t.hwnd(), WM_USER, 0, 0), 12345);
}

// Two threads each send to the other's window at the same moment. A sender
// keeps serving sends addressed to its own thread, so neither blocks for ever.
TEST(Messages, TwoThreadsSendingToEachOtherDoNotDeadlock) {
  constexpr int kRounds = 200;
  std::promise<HWND> aReady, bReady;
  auto aWin = aReady.get_future().share();
  auto bWin = bReady.get_future().share();
  std::atomic<int> served{0};
  auto proc = [&](HWND, UINT, WPARAM wp, LPARAM) -> LRESULT {
    served++;
    return LRESULT(wp) * 2;
  };
  std::atomic<int> good{0};
  auto body = [&](std::promise<HWND>& mine, std::shared_future<HWND> other) {
    HWND me = CreateMessageWindow(proc);
    mine.set_value(me);
    HWND peer = other.get();
    for (int i = 0; i < kRounds; ++i) {
      if (SendMessage(peer, WM_USER, WPARAM(i), 0) == LRESULT(i) * 2) good++;
    }
    // Keep serving until the peer is done too.
    while (served.load() < 2 * kRounds) {
      PumpOneMessage();
      WaitForThreadMessage(std::chrono::steady_clock::now() + std::chrono::milliseconds(5));
    }
    DestroyMessageWindow(me);
  };
  std::thread a(body, std::ref(aReady), bWin);
  std::thread b(body, std::ref(bReady), aWin);
  a.join();
  b.join();
  EXPECT_EQ(good.load(), 2 * kRounds);
}

TEST(Messages, QuitSeenWhilePumpingIsPostedAgain) {
  int seen = 0;
  HWND w = CreateMessageWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return ++seen; });
  PostQuitMessage(9);
  PostMessage(w, WM_USER, 0, 0);
  EXPECT_EQ(PumpOneMessage(), PumpResult::Quit);
  // The quit went behind the window message: it is still there for the loop.
  EXPECT_EQ(PumpOneMessage(), PumpResult::Dispatched);
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(PumpOneMessage(), PumpResult::Quit);
  EXPECT_EQ(RunMessageLoop(), 9);
  EXPECT_EQ(PumpOneMessage(), PumpResult::Empty);
  DestroyMessageWindow(w);
}

TEST(Messages, SenderIsReleasedWhenTheOwnerThreadEnds) {
  std::promise<HWND> ready;
  TEvent sendQueued;
  std::thread owner([&] {
    HWND w = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 1; });
    ready.set_value(w);
    sendQueued.Wait();
    // Ends without ever pumping; the window is not destroyed explicitly.
  });
  HWND w = ready.get_future().get();
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sendQueued.Set();
  });
  EXPECT_EQ(SendMessage(w, WM_USER, 0, 0), 0);
  owner.join();
  releaser.join();
  EXPECT_FALSE(IsWindow(w));
}

TEST(Messages, NotifyFdWakesAnotherEventLoopAndDrainDispatches) {
  int fd = ThreadQueueNotifyFd();
  ASSERT_GE(fd, 0);
  std::vector<UINT> seen;
  HWND w = CreateMessageWindow([&](HWND self, UINT msg, WPARAM, LPARAM) -> LRESULT {
    seen.push_back(msg);
    // Posted from a handler: runs in the next drain, after a new wake-up.
    if (msg == WM_USER) PostMessage(self, WM_USER + 1, 0, 0);
    return 0;
  });
  std::thread poster([w] { PostMessage(w, WM_USER, 0, 0); });
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  poster.join();
  EXPECT_FALSE(DrainThreadQueue());
  EXPECT_EQ(seen, std::vector<UINT>{WM_USER});
  ASSERT_EQ(poll(&p, 1, 5000), 1);
  EXPECT_FALSE(DrainThreadQueue());
  EXPECT_EQ(seen, (std::vector<UINT>{WM_USER, WM_USER + 1}));
  EXPECT_EQ(poll(&p, 1, 0), 0);  // nothing left: the fd is quiet
  PostQuitMessage(0);
  EXPECT_TRUE(DrainThreadQueue());
  DestroyMessageWindow(w);
}

}  // namespace
}  // namespace zav
