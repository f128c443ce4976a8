// The dispatcher core over the in-memory device: registry, life cycle, the two
// rings, reading and writing, purges, notification bookkeeping, trace and log
// recording.
#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "serial/QxExcept.h"
#include "tests/support/MemoryDevice.h"

namespace zav::test {
namespace {

std::string Repeat(char c, size_t n) { return std::string(n, c); }

std::string ReadAll(TMemoryDispatcher& d) {
  std::string s(d.InputUsed(), '\0');
  if (!s.empty()) {
    EXPECT_EQ(d.ReadBlock(s.data(), uint32_t(s.size())), int32_t(s.size()));
  }
  return s;
}

// Fills the receive ring through the device and one pass.
void Receive(TMemoryDispatcher& d, const std::string& bytes) {
  d.InjectReceived(bytes);
  d.Pass();
}

TEST(DispatcherRegistry, HandlesReuseTheLowestFreeSlotAndTrimTheEnd) {
  int32_t base = TMroBaseDispatcher::RegistryCount();
  auto a = std::make_unique<TMemoryDispatcher>();
  auto b = std::make_unique<TMemoryDispatcher>();
  auto c = std::make_unique<TMemoryDispatcher>();
  EXPECT_EQ(a->Handle(), base);
  EXPECT_EQ(b->Handle(), base + 1);
  EXPECT_EQ(c->Handle(), base + 2);
  b.reset();
  auto d = std::make_unique<TMemoryDispatcher>();
  EXPECT_EQ(d->Handle(), base + 1);  // the hole is reused
  {
    TLockGuard g(TMroBaseDispatcher::RegistryLock());
    EXPECT_EQ(TMroBaseDispatcher::LookupDispatcher(d->Handle()), d.get());
    EXPECT_EQ(TMroBaseDispatcher::LookupDispatcher(-1), nullptr);
    EXPECT_EQ(TMroBaseDispatcher::LookupDispatcher(base + 3), nullptr);
  }
  c.reset();
  d.reset();
  EXPECT_EQ(TMroBaseDispatcher::RegistryCount(), base + 1);  // empty slots at the end go
  a.reset();
  EXPECT_EQ(TMroBaseDispatcher::RegistryCount(), base);
}

TEST(DispatcherLifeCycle, InitializeSetsUpRingsLinesAndSettings) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(4096, 1000, ipDtrOn), 0);
  EXPECT_TRUE(d.HasBuffers());
  EXPECT_TRUE(d.dtrLine);
  EXPECT_FALSE(d.rtsLine);
  EXPECT_EQ(d.OutputFree(), 1000u);
  EXPECT_EQ(d.InputFree(), kDispatchBufferSize);
  uint32_t in, out;
  d.QueueSizes(in, out);
  EXPECT_EQ(in, 4096u);
  EXPECT_EQ(out, 1000u);
  EXPECT_EQ(d.CurrentBaud(), 9600);
  EXPECT_EQ(d.deviceDcb.BaudRate, 9600u);
}

TEST(DispatcherLifeCycle, HandshakeOptionsLeaveTheLinesToTheDriver) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(4096, 4096, ipDtrHandshake | ipRtsOn), 0);
  EXPECT_TRUE(d.DtrHandshake());
  EXPECT_EQ(d.SetDtr(false), 1);  // under handshake: nothing changes
  EXPECT_TRUE(d.rtsLine);
}

TEST(DispatcherLifeCycle, FailedOpenReturnsTheNegatedSystemErrorAndLeavesNothing) {
  TMemoryDispatcher d;
  d.failOpenWith = 2;
  EXPECT_EQ(d.Open(), -2);
  EXPECT_FALSE(d.HasBuffers());
  d.failOpenWith = 5;
  EXPECT_EQ(d.Open(), -5);
  d.failOpenWith = 0;
  d.failSetupQueues = true;
  EXPECT_EQ(d.Open(), -87);
  EXPECT_FALSE(d.opened);  // shut down again
  EXPECT_FALSE(d.HasBuffers());
}

TEST(DispatcherLifeCycle, RefusedLineSettingsFailTheOpen) {
  TMemoryDispatcher d;
  d.setSettingsResult = -31;
  EXPECT_EQ(d.Open(), -31);
  EXPECT_FALSE(d.HasBuffers());
  EXPECT_FALSE(d.opened);
}

TEST(DispatcherLifeCycle, ShutdownPurgesBothWaysAndReleases) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  ASSERT_EQ(d.WriteBlock("abc", 3), 0);
  d.InjectReceived("xyz");
  d.ShutdownPort();
  EXPECT_EQ(d.purgesIn, 1);
  EXPECT_EQ(d.purgesOut, 1);
  EXPECT_EQ(d.DriverInputWaiting(), 0u);
  EXPECT_FALSE(d.opened);
  EXPECT_FALSE(d.HasBuffers());
  EXPECT_EQ(d.Wire(), "");  // the pending output was dropped
}

// --- Writing ------------------------------------------------------------------------

TEST(DispatcherWrite, ExactlyTheFreeSpaceFillsTheRingOneMoreFails) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(4096, 100), 0);
  ASSERT_EQ(d.StartLog(4096), 0);
  EXPECT_EQ(d.WriteBlock(Repeat('a', 60).data(), 60), 0);
  EXPECT_EQ(d.WriteBlock(Repeat('b', 41).data(), 41), ecOutputBufferTooSmall);
  EXPECT_EQ(d.OutputUsed(), 60u);  // nothing queued
  EXPECT_EQ(d.WriteBlock(Repeat('c', 40).data(), 40), 0);
  EXPECT_TRUE(d.OutFull());
  EXPECT_EQ(d.OutputFree(), 0u);
  EXPECT_EQ(d.WriteByte('x'), ecOutputBufferTooSmall);
  EXPECT_EQ(d.Wire(), Repeat('a', 60) + Repeat('c', 40));
  EXPECT_FALSE(d.OutFull());
  EXPECT_EQ(d.OutputFree(), 100u);
}

TEST(DispatcherWrite, BlocksWrapTheTransmitRingInOrder) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(4096, 10), 0);
  ASSERT_EQ(d.WriteBlock("0123456", 7), 0);
  EXPECT_EQ(d.Wire(5), "01234");
  // Head at 7, tail at 5: 8 free; a block of 8 crosses the end.
  ASSERT_EQ(d.WriteBlock("ABCDEFGH", 8), 0);
  EXPECT_TRUE(d.OutFull());
  EXPECT_EQ(d.Wire(), "56ABCDEFGH");
  EXPECT_EQ(d.Sent(), "0123456ABCDEFGH");
}

// The sending side the output thread and the in-memory wire share.
class SendingDispatcher : public TMemoryDispatcher {
 public:
  using TMemoryDispatcher::SendTransmitRun;
};

TEST(DispatcherWrite, TheSendingSideTakesWhatWentOutDropsAFailedRunAndLosesToAPurge) {
  SendingDispatcher d;
  ASSERT_EQ(d.Open(4096, 10), 0);
  ASSERT_EQ(d.WriteBlock("0123456", 7), 0);
  EXPECT_EQ(d.Wire(5), "01234");
  ASSERT_EQ(d.WriteBlock("ABCDEFGH", 8), 0);  // wraps: "56ABC" at the end, "DEFGH" from the start
  std::string runs;
  auto take = [&](int64_t result) {
    return [&runs, result](std::span<const uint8_t> run) {
      runs += std::string(run.begin(), run.end()) + "|";
      return result;
    };
  };
  EXPECT_EQ(d.SendTransmitRun(take(1)), 1u);  // one byte went out
  EXPECT_EQ(d.SendTransmitRun(take(0)), 0u);  // nothing went out: all stays
  EXPECT_EQ(d.SendTransmitRun(take(-1)), 4u);  // failed for good: the run is dropped
  EXPECT_EQ(runs, "56ABC|6ABC|6ABC|");
  EXPECT_EQ(d.OutputUsed(), 5u);
  // A purge while a run is being sent: nothing of the new ring is consumed.
  EXPECT_EQ(d.SendTransmitRun([&](std::span<const uint8_t> run) {
    EXPECT_EQ(std::string(run.begin(), run.end()), "DEFGH");
    d.PurgeOutput();
    d.WriteBlock("xy", 2);
    return int64_t(run.size());
  }),
            0u);
  EXPECT_EQ(d.Wire(), "xy");
}

TEST(DispatcherWrite, ZeroBytesReturnAtOnceAndLogNothing) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  ASSERT_EQ(d.StartLog(1000), 0);
  d.InjectLineErrors(leParity);
  EXPECT_EQ(d.WriteBlock(nullptr, 0), 0);
  EXPECT_EQ(d.PendingLineErrors(), 0u);  // the device was not even asked
}

TEST(DispatcherWrite, ABlockWriteReplacesPendingLineErrorsWithTheDevicesWord) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  d.InjectLineErrors(leParity);
  d.RefreshLineErrors();
  EXPECT_EQ(d.PendingLineErrors(), leParity);
  d.InjectLineErrors(leFraming);
  ASSERT_EQ(d.WriteBlock("x", 1), 0);
  EXPECT_EQ(d.PendingLineErrors(), leFraming);
}

TEST(DispatcherWrite, ADeviceThatQueuesNothingGivesPutBlockFail) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  d.failWrite = true;
  EXPECT_EQ(d.WriteBlock("abc", 3), ecPutBlockFail);
}

TEST(DispatcherWrite, Rs485WithoutDriverToggleNeedsABaseAddress) {
  TMemoryDispatcher d;
  d.togglesRts = false;
  ASSERT_EQ(d.Open(4096, 4096, 0), 0);
  ASSERT_EQ(d.SetRs485(true), 0);
  EXPECT_EQ(d.WriteBlock("a", 1), ecBaseAddressNotSet);
  d.uartBase = 0x3F8;
  ASSERT_EQ(d.SetRs485(true), 0);
  EXPECT_EQ(d.UartBase(), 0x3F8);
  EXPECT_EQ(d.WriteBlock("a", 1), 0);
  EXPECT_TRUE(d.rtsLine);  // raised before queueing
}

TEST(DispatcherWrite, NotOpenIsAnErrorNotACrash) {
  TMemoryDispatcher d;
  EXPECT_EQ(d.WriteBlock("a", 1), ecCommNotOpen);
  uint8_t b;
  EXPECT_EQ(d.ReadByte(b), ecBufferIsEmpty);
  EXPECT_FALSE(d.Pass());
}

// --- Reading ------------------------------------------------------------------------

TEST(DispatcherRead, EmptyRingReadsAndPeeksFailWithoutMoving) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  uint8_t b = 0x55;
  EXPECT_EQ(d.ReadByte(b), ecBufferIsEmpty);
  EXPECT_EQ(b, 0x55);
  Receive(d, "ab");
  EXPECT_EQ(d.PeekByte(2, b), 0);
  EXPECT_EQ(b, 'b');
  EXPECT_EQ(d.PeekByte(3, b), ecBufferIsEmpty);
  char buf[3];
  EXPECT_EQ(d.ReadBlock(buf, 3), ecBufferIsEmpty);
  EXPECT_EQ(d.InputUsed(), 2u);
  EXPECT_EQ(d.PeekBlock(buf, 2), 2);
  EXPECT_EQ(d.InputUsed(), 2u);
  EXPECT_EQ(d.ReadByte(b), 0);
  EXPECT_EQ(b, 'a');
  EXPECT_EQ(d.InTail(), 1u);
}

TEST(DispatcherRead, FullRingCountsEightKAndStopsReading) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  Receive(d, Repeat('x', kDispatchBufferSize + 100));
  EXPECT_TRUE(d.InputFull());
  EXPECT_EQ(d.InHead(), d.InTail());
  EXPECT_EQ(d.InputUsed(), kDispatchBufferSize);
  EXPECT_EQ(d.InputFree(), 0u);
  EXPECT_TRUE(d.InputReady());
  // A full ring returns at once and leaves the rest with the driver.
  EXPECT_TRUE(d.Pass());
  EXPECT_EQ(d.DriverInputWaiting(), 100u);
  uint8_t b;
  EXPECT_EQ(d.ReadByte(b), 0);
  EXPECT_FALSE(d.InputFull());
  d.Pass();
  EXPECT_EQ(d.InputUsed(), kDispatchBufferSize);  // one byte fitted
  EXPECT_EQ(d.DriverInputWaiting(), 99u);
}

TEST(DispatcherRead, DataWrapsTheReceiveRingIntact) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  Receive(d, Repeat('a', 8000));
  EXPECT_EQ(ReadAll(d), Repeat('a', 8000));
  // Head at 8000: the next 500 bytes go in two pieces across the end.
  std::string block;
  for (int i = 0; i < 500; ++i) block += char('A' + i % 26);
  Receive(d, block);
  EXPECT_EQ(d.InHead(), 308u);
  std::string got(500, '\0');
  ASSERT_EQ(d.PeekBlock(got.data(), 500), 500);
  EXPECT_EQ(got, block);
  EXPECT_EQ(ReadAll(d), block);
  EXPECT_EQ(d.InTail(), 308u);
}

TEST(DispatcherRead, TailLandingExactlyOnTheEndWrapsToZero) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  Receive(d, Repeat('z', kDispatchBufferSize));
  std::string all(kDispatchBufferSize, '\0');
  EXPECT_EQ(d.ReadBlock(all.data(), kDispatchBufferSize), int32_t(kDispatchBufferSize));
  EXPECT_EQ(d.InTail(), 0u);
  EXPECT_FALSE(d.InputReady());
}

TEST(DispatcherRead, PurgeInputDropsRingAndDriverData) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  Receive(d, "hello");
  d.InjectReceived("more");
  EXPECT_EQ(d.PurgeInput(), 0);
  EXPECT_EQ(d.InputUsed(), 0u);
  EXPECT_EQ(d.DriverInputWaiting(), 0u);
  EXPECT_FALSE(d.InputReady());
}

// --- Notification bookkeeping --------------------------------------------------------

// Runs an availability notification with handlers that each read `reads` bytes.
bool Notify(TMemoryDispatcher& d, const std::vector<uint32_t>& reads, uint32_t announced,
            std::vector<std::string>* seen = nullptr) {
  d.BeginAvailNotification();
  for (uint32_t n : reads) {
    d.BeginHandlerCall();
    std::string got(n, '\0');
    EXPECT_EQ(d.ReadBlock(got.data(), n), int32_t(n));
    if (seen) seen->push_back(got);
    d.EndHandlerCall();
  }
  return d.EndAvailNotification(true, announced);
}

TEST(DispatcherNotification, HandlersReadTheSameBytesAndTheTailMovesToTheFurthest) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  Receive(d, "0123456789");
  std::vector<std::string> seen;
  EXPECT_FALSE(Notify(d, {3, 7}, 10, &seen));  // 7 of 10 taken: not all
  EXPECT_EQ(seen, (std::vector<std::string>{"012", "0123456"}));
  EXPECT_EQ(d.InTail(), 7u);
  EXPECT_TRUE(Notify(d, {3, 3}, 3));
  EXPECT_EQ(d.InTail(), 10u);  // two handlers reading 3 each: 3, not 6
}

TEST(DispatcherNotification, ReadsDuringANotificationSeeOnlyWhatIsLeftForThem) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  Receive(d, "abcde");
  d.BeginAvailNotification();
  d.BeginHandlerCall();
  uint8_t b;
  EXPECT_EQ(d.ReadByte(b), 0);
  EXPECT_EQ(b, 'a');
  EXPECT_EQ(d.InputUsed(), 4u);
  EXPECT_EQ(d.InputFree(), kDispatchBufferSize - 4);
  char rest[4];
  EXPECT_EQ(d.ReadBlock(rest, 4), 4);
  EXPECT_FALSE(d.InputReady());
  EXPECT_EQ(d.ReadByte(b), ecBufferIsEmpty);
  EXPECT_EQ(d.InTail(), 0u);  // the tail waits for the end of the notification
  d.EndHandlerCall();
  EXPECT_TRUE(d.EndAvailNotification(true, 5));
  EXPECT_EQ(d.InTail(), 5u);
}

TEST(DispatcherNotification, PurgeDuringANotificationConsumesEverythingAtTheEnd) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  Receive(d, "abcdef");
  d.BeginAvailNotification();
  d.BeginHandlerCall();
  EXPECT_EQ(d.PurgeInput(), 0);
  d.EndHandlerCall();
  d.EndAvailNotification(false, 0);
  EXPECT_EQ(d.InputUsed(), 0u);
}

TEST(DispatcherNotification, FullRingDuringANotification) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  Receive(d, Repeat('q', kDispatchBufferSize));
  d.BeginAvailNotification();
  d.BeginHandlerCall();
  EXPECT_TRUE(d.InputReady());
  std::string all(kDispatchBufferSize, '\0');
  EXPECT_EQ(d.ReadBlock(all.data(), kDispatchBufferSize), int32_t(kDispatchBufferSize));
  EXPECT_FALSE(d.InputReady());
  d.EndHandlerCall();
  EXPECT_TRUE(d.EndAvailNotification(true, kDispatchBufferSize));
  EXPECT_FALSE(d.InputFull());
  EXPECT_EQ(d.InputUsed(), 0u);
}

// --- Slots, option bits, queues ----------------------------------------------------

TEST(DispatcherSlots, OnlySlotsOneToThreeExist) {
  TMemoryDispatcher d;
  int x = 0;
  void* out = nullptr;
  EXPECT_EQ(d.SetDataSlot(0, &x), ecBadArgument);
  EXPECT_EQ(d.SetDataSlot(4, &x), ecBadArgument);
  EXPECT_EQ(d.GetDataSlot(4, out), ecBadArgument);
  EXPECT_EQ(d.SetDataSlot(3, &x), 0);
  EXPECT_EQ(d.GetDataSlot(3, out), 0);
  EXPECT_EQ(out, &x);
  d.SetOptionBits(0x05);
  d.ClearOptionBits(0x01);
  EXPECT_EQ(d.GetOptionBits(), 0x04u);
}

TEST(DispatcherSlots, ResizingDriverQueuesKeepsTheRings) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(4096, 512), 0);
  EXPECT_EQ(d.ResizeDriverQueues(100, 100), 0);
  uint32_t in, out;
  d.QueueSizes(in, out);
  EXPECT_EQ(in, 4096u);
  EXPECT_EQ(out, 512u);
  d.failSetupQueues = true;
  EXPECT_EQ(d.ResizeDriverQueues(100, 100), -87);
}

// --- Trace and log recording ----------------------------------------------------------

TEST(DispatcherTrace, ReadersAndWritersAreTracedWhileTracing) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  EXPECT_EQ(d.StartTrace(4000001), ecBadArgument);
  EXPECT_FALSE(d.Tracing());
  ASSERT_EQ(d.StartTrace(3), 0);
  Receive(d, "xy");
  std::string got = ReadAll(d);
  EXPECT_EQ(got, "xy");
  ASSERT_EQ(d.WriteBlock("zw", 2), 0);
  d.PauseTrace();
  ASSERT_EQ(d.WriteBlock("!", 1), 0);  // not recorded
  EXPECT_FALSE(d.Tracing());
  d.ResumeTrace();
  EXPECT_TRUE(d.Tracing());
  d.EndTrace();
  d.ResumeTrace();
  EXPECT_FALSE(d.Tracing());  // no buffer, nothing to resume
}

TEST(DispatcherLog, ReadsAndWritesAreLoggedOnlyWhileLogging) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(), 0);
  EXPECT_FALSE(d.Logging());
  ASSERT_EQ(d.StartLog(64), 0);
  EXPECT_TRUE(d.Logging());
  d.PauseLog();
  EXPECT_FALSE(d.Logging());
  ASSERT_EQ(d.StartLog(64), 0);  // a paused log only empties
  EXPECT_FALSE(d.Logging());
  d.ResumeLog();
  EXPECT_TRUE(d.Logging());
  // Entries larger than the whole log are dropped; smaller ones push out the oldest.
  ASSERT_EQ(d.WriteBlock(Repeat('a', 60).data(), 60), 0);
  for (int i = 0; i < 10; ++i) ASSERT_EQ(d.WriteBlock("abcdefgh", 8), 0);
  d.AddLogText("user text");
  d.EndLog();
  EXPECT_FALSE(d.Logging());
}

}  // namespace
}  // namespace zav::test
