// The dispatcher's read-only views read from another thread while the
// dispatcher side changes what they show: each view takes its lock (or reads
// an atomic), which the ThreadSanitizer run checks; the values read are
// always ones that were written.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/MemoryDevice.h"

namespace zav::test {
namespace {

void TogglingHandler(UINT, WPARAM, LPARAM) {}

TEST(DispatcherViews, EveryViewIsSafeToReadWhileTheDispatcherSideWrites) {
  TMemoryDispatcher d;
  ASSERT_EQ(d.Open(4096, 512), 0);
  std::atomic<bool> done{false};
  std::atomic<int> reads{0}, odd{0};

  std::thread reader([&] {
    while (!done) {
      const TDCB line = d.LineSettings();
      if (line.XonChar != 0x11 && line.XonChar != 0x21) ++odd;
      const uint8_t lines = d.ModemBits() & 0xF0;  // one read: two could straddle a change
      if (lines != 0x00 && lines != 0xB0) ++odd;
      if (d.InHead() >= kDispatchBufferSize || d.InTail() >= kDispatchBufferSize) ++odd;
      if (d.CurrentBaud() <= 0) ++odd;
      // The rest only has to be readable.
      volatile bool sink = d.Tracing() ^ d.Logging() ^ d.DtrAsserted() ^ d.RtsAsserted() ^ d.DtrHandshake() ^
                           d.RtsHandshake() ^ d.Rs485() ^ d.InAvailDispatch() ^ d.InDispatchNow() ^
                           d.HandlersPresentNow() ^ d.PortHandlerWantedNow() ^ d.InputFull() ^ d.OutFull() ^
                           d.HasBuffers() ^ d.HasRunningThreads() ^ (d.UartBase() != 0) ^
                           (d.PriorityBase() != 0) ^ (d.AvailThreshold() != 0) ^ (d.PendingLineErrors() != 0) ^
                           (d.DeviceHandle() != 0);
      (void)sink;
      ++reads;
    }
  });

  // The dispatcher side: passes over received data, line and modem changes,
  // triggers, handlers, trace and log switched on and off, writes drained.
  d.RegisterProcHandler(&TogglingHandler);
  for (int i = 0; i < 400; ++i) {
    d.InjectReceived("data\r\n");
    d.SetModemLines(i & 1 ? 0xB0 : 0x00);
    d.SetAvailLength(uint32_t(1 + i % 3));
    d.DeviceEventPass(0xFFFFFFFF);
    d.StatusAndTimerPass();
    d.RefreshModemBits();
    uint8_t buf[16];
    while (d.InputUsed() > 0) d.ReadBlock(buf, std::min<uint32_t>(d.InputUsed(), sizeof buf));
    d.SetDtr(i & 1);
    d.SetRts(i & 2);
    d.SetFlowChars(i & 1 ? 0x21 : 0x11, 0x13);
    d.SetRs485(i % 5 == 0);
    if (i % 7 == 0) d.StartTrace(1000); else d.EndTrace();
    if (i % 11 == 0) d.StartLog(4096); else d.EndLog();
    d.WriteBlock("out", 3);
    d.Wire();
  }
  // Let the reader see the final state at least once before it stops.
  const int before = reads.load();
  while (reads.load() < before + 2) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(odd.load(), 0);
  EXPECT_EQ(d.Sent(), [] {
    std::string s;
    for (int i = 0; i < 400; ++i) s += "out";
    return s;
  }());
}

}  // namespace
}  // namespace zav::test
