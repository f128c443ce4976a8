// Triggers, handlers and event distribution over the in-memory device.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "serial/QxExcept.h"
#include "tests/support/MemoryDevice.h"

namespace zav::test {
namespace {

struct Note {
  UINT msg;
  uint32_t first;
  uint32_t data;
  bool operator==(const Note&) const = default;
};

class TriggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(d.Open(), 0);
    d.RegisterMethodHandler({this, [this](UINT m, WPARAM f, LPARAM s) {
                               notes.push_back({m, uint32_t(f), uint32_t(s) & 0xFFFF});
                               EXPECT_EQ(uint32_t(s) >> 16, uint32_t(d.Handle()));
                               if (onNote) onNote(m, uint32_t(f));
                             }});
  }
  void TearDown() override { SetFixedClockForTesting(-1); }
  // One device-event pass after bytes arrive.
  void Arrive(const std::string& bytes) {
    d.InjectReceived(bytes);
    d.DeviceEventPass(0x0001);
  }
  std::string Take(uint32_t n) {
    std::string s(n, '\0');
    EXPECT_EQ(d.ReadBlock(s.data(), n), int32_t(n));
    return s;
  }

  TMemoryDispatcher d;
  std::vector<Note> notes;
  std::function<void(UINT, uint32_t)> onNote;
};

TEST_F(TriggerTest, HandlesAreMultiplesOfEightThenTheSmallestFree) {
  EXPECT_EQ(d.CreateTimerTrigger(), 8);
  EXPECT_EQ(d.CreateStatusTrigger(3), 16 | 3);
  EXPECT_EQ(d.CreateDataTrigger("OK", false), 24);
  for (int i = 4; i < 4096; ++i) ASSERT_EQ(d.CreateTimerTrigger(), i * 8);
  ASSERT_EQ(d.DeleteTrigger(16 | 3), 4);  // the kind found: status
  ASSERT_EQ(d.DeleteTrigger(40), 2);      // timer
  EXPECT_EQ(d.CreateTimerTrigger(), 16);  // the 4096th handle: not 32768
  EXPECT_EQ(d.CreateTimerTrigger(), 40);
  EXPECT_EQ(d.CreateTimerTrigger(), 32768);
  d.ResetTriggers();
  EXPECT_EQ(d.CreateTimerTrigger(), 8);
}

TEST_F(TriggerTest, BadHandlesAndKinds) {
  EXPECT_EQ(d.DeleteTrigger(0), ecBadTriggerHandle);
  ASSERT_EQ(d.SetAvailLength(5), 0);
  EXPECT_EQ(d.DeleteTrigger(1), 0);
  EXPECT_EQ(d.AvailThreshold(), 0u);
  EXPECT_EQ(d.CreateStatusTrigger(6), ecBadArgument);
  int32_t timer = d.CreateTimerTrigger();
  int32_t status = d.CreateStatusTrigger(1);
  EXPECT_EQ(d.ArmTimerTrigger(status, 1, true), ecBadTriggerHandle);
  EXPECT_EQ(d.ArmStatusTrigger(timer, 1, true), ecBadTriggerHandle);
  int32_t ticks = 99;
  EXPECT_EQ(d.TimerTicksLeft(status, ticks), ecBadTriggerHandle);
  EXPECT_EQ(ticks, 0);
  EXPECT_EQ(d.FindTrigger(timer, false), 2);
  EXPECT_EQ(d.FindTrigger(status, false), 4);
  EXPECT_EQ(d.FindTrigger(d.CreateDataTrigger("x", false), false), 3);
  EXPECT_EQ(d.CreateDataTrigger(std::string(23, 'a'), false), ecTriggerTooLong);
  EXPECT_GT(d.CreateDataTrigger(std::string(22, 'a'), false), 0);
  EXPECT_EQ(d.CreateDataTrigger("", false), ecBadArgument);
}

TEST_F(TriggerTest, AvailabilityIsAnnouncedOncePerHeadPosition) {
  ASSERT_EQ(d.SetAvailLength(10), 0);
  Arrive("123456789");
  EXPECT_TRUE(notes.empty());
  Arrive("0");
  ASSERT_EQ(notes, (std::vector<Note>{{MsgTriggerAvail, 10, 0}}));
  d.DeviceEventPass(0);  // nobody took the data: no new announcement
  d.DeviceEventPass(0);
  EXPECT_EQ(notes.size(), 1u);
  Arrive("a");
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[1].first, 11u);
}

TEST_F(TriggerTest, AFullRoundOfTheRingIsAnnouncedThoughTheHeadIsBackWhereItWas) {
  ASSERT_EQ(d.SetAvailLength(1), 0);
  size_t taken = 0;
  onNote = [&](UINT m, uint32_t n) {
    if (m == MsgTriggerAvail) taken += Take(n).size();
  };
  Arrive("0123456789");
  ASSERT_EQ(taken, 10u);
  // Exactly a ring's worth in one pass: the head comes back to the same index.
  Arrive(std::string(kDispatchBufferSize, 'f'));
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[1].first, kDispatchBufferSize);
  EXPECT_EQ(taken, 10u + kDispatchBufferSize);
  EXPECT_FALSE(d.InputFull());
}

TEST_F(TriggerTest, AHandlerThatTakesEverythingIsNotAnnouncedAgain) {
  ASSERT_EQ(d.SetAvailLength(1), 0);
  std::string got;
  onNote = [&](UINT m, uint32_t n) {
    if (m == MsgTriggerAvail) got += Take(n);
  };
  Arrive("hello");
  Arrive(" world");
  EXPECT_EQ(got, "hello world");
  EXPECT_EQ(d.InputUsed(), 0u);
  EXPECT_EQ(notes.size(), 2u);
}

TEST_F(TriggerTest, DataMatchIgnoringCaseAnnouncesThePrecedingBytesFirst) {
  ASSERT_EQ(d.SetAvailLength(1), 0);
  int32_t ok = d.CreateDataTrigger("OK", true);
  std::string before;
  onNote = [&](UINT m, uint32_t n) {
    if (m == MsgTriggerAvail) before += Take(n);
  };
  Arrive("xyzok!");
  ASSERT_GE(notes.size(), 2u);
  EXPECT_EQ(notes[0], (Note{MsgTriggerAvail, 3, 0}));
  EXPECT_EQ(notes[1], (Note{MsgTriggerData, uint32_t(ok), 2}));
  EXPECT_EQ(before.substr(0, 3), "xyz");
}

TEST_F(TriggerTest, LaterDataTriggersAreNotifiedFirst) {
  int32_t a = d.CreateDataTrigger("K", false);
  int32_t b = d.CreateDataTrigger("OK", false);
  Arrive("OK");
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].first, uint32_t(b));
  EXPECT_EQ(notes[1].first, uint32_t(a));
}

TEST_F(TriggerTest, OverlappingMatchCompletesOnce) {
  int32_t h = d.CreateDataTrigger("abab", false);
  Arrive("ababab");
  d.DeviceEventPass(0);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].first, uint32_t(h));
  Arrive("ab");  // "abab" again, counting the two left over
  EXPECT_EQ(notes.size(), 2u);
}

TEST(MatchDataByte, CandidatesAdvanceOrDie) {
  std::array<int32_t, kMaxDataTriggerLength> states{};
  const char* s = "aab";
  std::string input = "aaab";
  std::vector<bool> hits;
  for (char c : input) hits.push_back(TMroBaseDispatcher::MatchDataByte(states, uint8_t(c), 3, false, s));
  EXPECT_EQ(hits, (std::vector<bool>{false, false, false, true}));
  states.fill(0);
  EXPECT_FALSE(TMroBaseDispatcher::MatchDataByte(states, 'o', 2, true, "OK"));
  EXPECT_EQ(states[0], 1);
  EXPECT_TRUE(TMroBaseDispatcher::MatchDataByte(states, 'k', 2, true, "OK"));
  EXPECT_EQ(states[0], 0);
}

TEST_F(TriggerTest, OutputUsedLevelZeroFiresWhenEmptyAndOnlyOnce) {
  int32_t h = d.CreateStatusTrigger(4);
  ASSERT_EQ(d.ArmStatusTrigger(h, 0, true), 0);
  ASSERT_EQ(d.WriteBlock("abc", 3), 0);
  d.StatusAndTimerPass();
  EXPECT_TRUE(notes.empty());
  d.Wire();
  d.StatusAndTimerPass();
  ASSERT_EQ(notes, (std::vector<Note>{{MsgTriggerStatus, uint32_t(h), 0}}));
  d.StatusAndTimerPass();
  EXPECT_EQ(notes.size(), 1u);
  ASSERT_EQ(d.ArmStatusTrigger(h, 0, true), 0);
  d.StatusAndTimerPass();
  EXPECT_EQ(notes.size(), 2u);
}

TEST_F(TriggerTest, ModemLineErrorAndOutputSentTriggers) {
  int32_t modem = d.CreateStatusTrigger(1);
  int32_t line = d.CreateStatusTrigger(2);
  int32_t sent = d.CreateStatusTrigger(5);
  int32_t free = d.CreateStatusTrigger(3);
  ASSERT_EQ(d.ArmStatusTrigger(modem, mbDsr, true), 0);
  ASSERT_EQ(d.ArmStatusTrigger(line, 0x02, true), 0);  // parity
  ASSERT_EQ(d.ArmStatusTrigger(sent, 0, true), 0);
  ASSERT_EQ(d.ArmStatusTrigger(free, 4000, true), 0);
  ASSERT_EQ(d.WriteBlock("x", 1), 0);
  d.SetModemLines(mbCts);  // not watched
  d.DeviceEventPass(0x0008);
  d.StatusAndTimerPass();
  // Output free (4095 >= 4000) and output sent fire; the modem one does not.
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0], (Note{MsgTriggerStatus, uint32_t(sent), 0}));
  EXPECT_EQ(notes[1], (Note{MsgTriggerStatus, uint32_t(free), 4095}));
  notes.clear();
  d.SetModemLines(mbCts | mbDsr);
  d.InjectLineErrors(leParity);
  d.DeviceEventPass(0x0010 | 0x0080);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].first, uint32_t(modem));
  EXPECT_EQ(notes[1].first, uint32_t(line));
  EXPECT_EQ(uint8_t(notes[0].first & 7), 1);
}

TEST_F(TriggerTest, TimerTriggerFiresOnceAfterItsInterval) {
  SetFixedClockForTesting(1000 * 55);
  int32_t h = d.CreateTimerTrigger();
  ASSERT_EQ(d.ArmTimerTrigger(h, 2, true), 0);
  int32_t left = 0;
  ASSERT_EQ(d.TimerTicksLeft(h, left), 0);
  EXPECT_EQ(left, 2);
  SetFixedClockForTesting(1002 * 55);
  d.StatusAndTimerPass();
  EXPECT_TRUE(notes.empty());  // expiry < now, strictly
  SetFixedClockForTesting(1003 * 55);
  d.StatusAndTimerPass();
  d.StatusAndTimerPass();
  ASSERT_EQ(notes, (std::vector<Note>{{MsgTriggerTimer, uint32_t(h), 0}}));
  ASSERT_EQ(d.ArmTimerTrigger(h, 0, true), 0);  // same interval again
  SetFixedClockForTesting(1006 * 55);
  d.StatusAndTimerPass();
  EXPECT_EQ(notes.size(), 2u);
}

TEST_F(TriggerTest, TheWaitForTheNextPassFollowsTheFirstArmedTimer) {
  SetFixedClockForTesting(1000 * 55 + 10);  // 10 ms into tick 1000
  EXPECT_EQ(d.MsUntilNextTimer(50), 50u);  // no timer
  int32_t h = d.CreateTimerTrigger();
  int32_t far = d.CreateTimerTrigger();
  ASSERT_EQ(d.ArmTimerTrigger(far, 100, true), 0);
  ASSERT_EQ(d.ArmTimerTrigger(h, 0, true), 0);  // expires at tick 1000: fires from tick 1001
  EXPECT_EQ(d.MsUntilNextTimer(50), 45u);
  ASSERT_EQ(d.ArmTimerTrigger(h, 2, true), 0);   // fires from tick 1003
  EXPECT_EQ(d.MsUntilNextTimer(500), 155u);
  EXPECT_EQ(d.MsUntilNextTimer(50), 50u);
  SetFixedClockForTesting(1003 * 55);
  EXPECT_EQ(d.MsUntilNextTimer(50), 0u);  // due now
  ASSERT_EQ(d.ArmTimerTrigger(h, 0, false), 0);
  EXPECT_EQ(d.MsUntilNextTimer(50), 50u);  // the far one is not near
}

TEST_F(TriggerTest, SavedTriggersComeBackWithTheirHandles) {
  ASSERT_EQ(d.SetAvailLength(7), 0);
  int32_t t = d.CreateTimerTrigger();
  int32_t s = d.CreateStatusTrigger(2);
  int32_t m = d.CreateDataTrigger("ab", false);
  TSavedTriggers saved;
  d.SaveTriggers(saved);
  d.ResetTriggers();
  EXPECT_EQ(d.FindTrigger(t, false), ecBadTriggerHandle);
  d.RestoreTriggers(saved);
  EXPECT_EQ(d.AvailThreshold(), 7u);
  EXPECT_EQ(d.FindTrigger(t, false), 2);
  EXPECT_EQ(d.FindTrigger(s, false), 4);
  EXPECT_EQ(d.FindTrigger(m, false), 3);
  TMroBaseDispatcher::FreeSavedTriggers(saved);
  EXPECT_TRUE(saved.Timers.empty());
}

TEST_F(TriggerTest, HandlesAfterARestoreIntoAFreshDispatcherAreNew) {
  int32_t t = d.CreateTimerTrigger();
  int32_t s = d.CreateStatusTrigger(2);
  TSavedTriggers saved;
  d.SaveTriggers(saved);
  TMemoryDispatcher fresh;  // as after the port is opened again
  ASSERT_EQ(fresh.Open(), 0);
  fresh.RestoreTriggers(saved);
  int32_t next = fresh.CreateTimerTrigger();
  EXPECT_NE(next, t);
  EXPECT_NE(next, s & ~7);
  EXPECT_EQ(fresh.FindTrigger(t, false), 2);
}

// --- Handlers -----------------------------------------------------------------------

std::vector<std::string> g_order;
void ProcA(UINT, WPARAM, LPARAM) { g_order.push_back("proc"); }

TEST_F(TriggerTest, MethodsThenProceduresThenWindows) {
  g_order.clear();
  onNote = [&](UINT, uint32_t) { g_order.push_back("method"); };
  HWND port = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
    g_order.push_back("port window");
    return 0;
  });
  d.RegisterWindowHandler(port);
  d.RegisterProcHandler(&ProcA);
  d.RefreshHandlerService(1);
  EXPECT_TRUE(d.NotifyHandlers(MsgTriggerTimer, 8, 0));
  EXPECT_EQ(g_order, (std::vector<std::string>{"method", "proc", "port window"}));
  // The port's window alone, not wanted: nobody is called at all.
  d.UnregisterProcHandler(&ProcA);
  d.UnregisterMethodHandler(this);
  d.RefreshHandlerService(2);
  EXPECT_FALSE(d.HandlersPresentNow());
  g_order.clear();
  EXPECT_TRUE(d.NotifyHandlers(MsgTriggerTimer, 8, 0));
  EXPECT_TRUE(g_order.empty());
  d.UnregisterWindowHandler(port);
  DestroyMessageWindow(port);
}

TEST_F(TriggerTest, AHandlerUnregisteringItselfIsNotCalledAgain) {
  int calls = 0;
  int other = 0;
  d.RegisterMethodHandler({&calls, [&](UINT, WPARAM, LPARAM) {
                             ++calls;
                             d.UnregisterMethodHandler(&calls);
                             EXPECT_TRUE(d.HandlersPresentNow());  // still listed until the end
                           }});
  d.RegisterMethodHandler({&other, [&](UINT, WPARAM, LPARAM) { ++other; }});
  d.NotifyHandlers(MsgTriggerTimer, 8, 0);
  d.NotifyHandlers(MsgTriggerTimer, 8, 0);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(other, 2);
  EXPECT_EQ(notes.size(), 2u);
}

TEST_F(TriggerTest, AHandlerRegisteredDuringANotificationHearsOnlyTheNextOne) {
  int late = 0;
  bool registered = false;
  onNote = [&](UINT, uint32_t) {
    if (registered) return;
    registered = true;
    d.RegisterMethodHandler({&late, [&](UINT, WPARAM, LPARAM) { ++late; }});
  };
  d.NotifyHandlers(MsgTriggerTimer, 8, 0);
  EXPECT_EQ(late, 0);
  d.NotifyHandlers(MsgTriggerTimer, 8, 0);
  EXPECT_EQ(late, 1);
}

TEST_F(TriggerTest, ClosingFromAHandlerStopsTheNotification) {
  int later = 0;
  onNote = [&](UINT, uint32_t) { d.ShutdownPort(); };
  d.RegisterMethodHandler({&later, [&](UINT, WPARAM, LPARAM) { ++later; }});
  EXPECT_FALSE(d.NotifyHandlers(MsgTriggerTimer, 8, 0));
  EXPECT_EQ(later, 0);
  EXPECT_TRUE(d.HasBuffers());  // the release waits for the dispatcher thread
}

// A close from another thread while a handler runs on the dispatcher's side
// leaves the release to that side, which stops the notification there.
TEST_F(TriggerTest, ClosingFromAnotherThreadDuringAHandlerLeavesTheReleaseToTheDispatcher) {
  TEvent inHandler, closed;
  int later = 0;
  onNote = [&](UINT, uint32_t) {
    inHandler.Set();
    closed.Wait();
  };
  d.RegisterMethodHandler({&later, [&](UINT, WPARAM, LPARAM) { ++later; }});
  std::future<bool> notified = std::async(std::launch::async, [&] { return d.NotifyHandlers(MsgTriggerTimer, 8, 0); });
  ASSERT_TRUE(inHandler.Wait(5000));
  d.ShutdownPort();
  EXPECT_TRUE(d.HasBuffers());  // not released under the running handler
  closed.Set();
  EXPECT_FALSE(notified.get());
  EXPECT_EQ(later, 0);
  d.CloseOnDestroy();  // what the dispatcher thread does on its way out
  EXPECT_FALSE(d.HasBuffers());
}

// A window whose thread never answers is given up after 3000 ms; the next
// window handler is still called.
TEST_F(TriggerTest, AnUnansweringWindowIsGivenUpAndTheNextIsCalled) {
  TEvent release, firstReady, secondReady, stop;
  std::atomic<HWND> stuck{0}, good{0};
  std::atomic<int> goodCalls{0};
  std::thread blocked([&] {
    stuck = CreateMessageWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
    firstReady.Set();
    release.Wait();  // never pumps until released
    while (PumpOneMessage() != PumpResult::Empty) {
    }
    DestroyMessageWindow(stuck);
  });
  std::thread serving([&] {
    good = CreateMessageWindow([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
      if (msg == MsgTriggerTimer) goodCalls++;
      if (msg == WM_USER) PostQuitMessage(0);
      return 0;
    });
    secondReady.Set();
    RunMessageLoop();
    DestroyMessageWindow(good);
  });
  firstReady.Wait();
  secondReady.Wait();
  d.RegisterWindowHandler(stuck);
  d.RegisterWindowHandler(good);
  auto t0 = std::chrono::steady_clock::now();
  d.NotifyHandlers(MsgTriggerTimer, 8, 0);
  auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(goodCalls.load(), 1);
  EXPECT_GE(waited, std::chrono::milliseconds(2900));
  release.Set();
  PostMessage(good, WM_USER, 0, 0);
  blocked.join();
  serving.join();
}

}  // namespace
}  // namespace zav::test
