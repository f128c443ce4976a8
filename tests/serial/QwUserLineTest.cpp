// Line settings, modem lines and line errors, flow control, RS-485 and thread
// priorities, over the in-memory device.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "serial/QxExcept.h"
#include "tests/support/MemoryDevice.h"

namespace zav::test {
namespace {

class LineTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(d.Open(4096, 4096, ipDtrOn | ipRtsOn), 0); }
  TMemoryDispatcher d;
};

TEST_F(LineTest, KeepValuesTouchNothingAndDoNotWaitForOutput) {
  size_t writes = d.settingsWrites.size();
  ASSERT_EQ(d.WriteBlock("pending", 7), 0);  // nobody drains it
  EXPECT_EQ(d.ConfigureLine(kKeepBaud, kKeepParity, kKeepDataBits, kKeepStopBits), 0);
  EXPECT_EQ(d.settingsWrites.size(), writes);
  // The same values as the device's are no change either.
  EXPECT_EQ(d.ConfigureLine(9600, 0, 8, 1), 0);
  EXPECT_EQ(d.settingsWrites.size(), writes);
}

TEST_F(LineTest, FiveDataBitsMakeTwoStopBitsOneAndAHalf) {
  ASSERT_EQ(d.ConfigureLine(kKeepBaud, kKeepParity, 5, 2), 0);
  EXPECT_EQ(d.deviceDcb.ByteSize, 5);
  EXPECT_EQ(d.deviceDcb.StopBits, 1);
  // Kept stop bits with 5 data bits: still one and a half.
  ASSERT_EQ(d.ConfigureLine(kKeepBaud, 2, kKeepDataBits, kKeepStopBits), 0);
  EXPECT_EQ(d.deviceDcb.StopBits, 1);
  EXPECT_EQ(d.deviceDcb.Parity, 2);
}

TEST_F(LineTest, StopBitArgumentsMapOntoTheControlBlock) {
  ASSERT_EQ(d.ConfigureLine(kKeepBaud, kKeepParity, kKeepDataBits, 2), 0);
  EXPECT_EQ(d.deviceDcb.StopBits, 2);
  ASSERT_EQ(d.ConfigureLine(kKeepBaud, kKeepParity, kKeepDataBits, 0), 0);  // 0 means one
  EXPECT_EQ(d.deviceDcb.StopBits, 0);
  ASSERT_EQ(d.ConfigureLine(kKeepBaud, kKeepParity, kKeepDataBits, 7), 0);  // above 3 means two
  EXPECT_EQ(d.deviceDcb.StopBits, 2);
  int32_t baud;
  int parity, data, stop;
  ASSERT_EQ(d.QueryLine(baud, parity, data, stop), 0);
  EXPECT_EQ(baud, 9600);
  EXPECT_EQ(stop, 2);
}

TEST_F(LineTest, NewBaudWaitsUntilQueuedOutputIsSent) {
  ASSERT_EQ(d.WriteBlock(std::string(100, 'x').data(), 100), 0);
  std::atomic<bool> stop{false};
  std::thread wire([&] {
    // The far end takes a byte at a time.
    while (!stop) {
      if (d.Wire(1).empty()) std::this_thread::yield();
    }
  });
  ASSERT_EQ(d.ConfigureLine(115200, kKeepParity, kKeepDataBits, kKeepStopBits), 0);
  stop = true;
  wire.join();
  EXPECT_EQ(d.Sent(), std::string(100, 'x'));
  ASSERT_FALSE(d.outputUsedAtSettingsWrite.empty());
  EXPECT_EQ(d.outputUsedAtSettingsWrite.back(), 0u);  // written only once drained
  EXPECT_EQ(d.deviceDcb.BaudRate, 115200u);
  EXPECT_EQ(d.CurrentBaud(), 115200);
}

TEST_F(LineTest, SettingsWrittenCarryTheDevicesFixedBitsAndTheLineStates) {
  d.deviceDcb.Flags |= dcbNull;  // a device value the comparison ignores
  ASSERT_EQ(d.ConfigureLine(2400, kKeepParity, kKeepDataBits, kKeepStopBits), 0);
  const TDCB& w = d.settingsWrites.back();
  EXPECT_TRUE(w.Flags & dcbNull);
  EXPECT_EQ(w.Flags & dcbDtrControlMask, dcbDtrEnable);
  EXPECT_EQ(w.Flags & dcbRtsControlMask, dcbRtsEnable);
}

TEST_F(LineTest, RefusedSettingsStillSetTheBaudAndReassertTheLines) {
  d.setSettingsResult = -87;
  d.escapes.clear();
  EXPECT_EQ(d.ConfigureLine(1200, kKeepParity, kKeepDataBits, kKeepStopBits), -87);
  EXPECT_EQ(d.CurrentBaud(), 1200);
  EXPECT_EQ(d.escapes, (std::vector<int>{kEscSetDtr, kEscSetRts}));
}

TEST_F(LineTest, BaudCodesTranslate) {
  EXPECT_EQ(TranslateBaud(0xFEFF), 115200);
  EXPECT_EQ(TranslateBaud(0xFF10), 110);
  EXPECT_EQ(TranslateBaud(0xFF16), 9600);
  EXPECT_EQ(TranslateBaud(0xFF19), 0xFF19);  // a dash: not translated
  EXPECT_EQ(TranslateBaud(0xFF27), 256000);
  EXPECT_EQ(TranslateBaud(57600), 57600);
}

TEST_F(LineTest, DtrAndRtsFollowRequestsUnlessUnderHandshake) {
  EXPECT_EQ(d.SetDtr(false), 0);
  EXPECT_FALSE(d.dtrLine);
  EXPECT_FALSE(d.DtrAsserted());
  EXPECT_EQ(d.SetRts(false), 0);
  EXPECT_FALSE(d.rtsLine);
  ASSERT_EQ(d.SetHardwareFlow(3000, 1000, hwfUseRTS), 0);
  EXPECT_EQ(d.SetRts(true), 1);
  EXPECT_FALSE(d.rtsLine);
  EXPECT_EQ(d.SetDtr(true), 0);
  EXPECT_TRUE(d.dtrLine);
}

TEST_F(LineTest, BreakIsSetThenCleared) {
  d.SendBreakFor(1, false);
  EXPECT_EQ(d.breaks, (std::vector<bool>{true, false}));
}

// --- Modem and line status -------------------------------------------------------

TEST_F(LineTest, DeltaBitsAccumulateUntilAReadClearsThem) {
  d.SetModemLines(mbDsr);
  d.RefreshModemBits();  // the dispatcher thread saw the change
  EXPECT_EQ(d.ReadModemBits(0xFF), mbDsr | mbDeltaDsr);
  EXPECT_EQ(d.ReadModemBits(0xFF), mbDsr | mbDeltaDsr);  // kept by 0xFF
  EXPECT_EQ(d.ReadModemBits(0xF0), mbDsr | mbDeltaDsr);  // reported once more...
  EXPECT_EQ(d.ReadModemBits(0xFF), mbDsr);               // ...and cleared
}

TEST_F(LineTest, CarrierPresentClearsOnlyDeltaDcd) {
  d.SetModemLines(mbDcd | mbCts);
  d.RefreshModemBits();
  EXPECT_TRUE(d.CarrierPresent());
  EXPECT_EQ(d.ModemBits(), mbDcd | mbCts | mbDeltaCts);
  d.SetModemLines(mbCts);
  d.RefreshModemBits();
  EXPECT_FALSE(d.CarrierPresent());
}

TEST_F(LineTest, RingSeenBecomesTrailingEdgeOnce) {
  d.SignalRing();
  EXPECT_EQ(d.ReadModemBits(0xFB) & mbTrailingRing, mbTrailingRing);
  EXPECT_EQ(d.ReadModemBits(0xFF) & mbTrailingRing, 0);
}

TEST_F(LineTest, TakeLineErrorReportsTheFirstAndLeavesTheBreak) {
  d.InjectLineErrors(leParity | leBreak | leFraming);
  d.RefreshLineErrors();
  EXPECT_EQ(d.TakeLineError(), 3);
  EXPECT_EQ(d.PendingLineErrors(), leBreak);
  EXPECT_EQ(d.TakeLineError(), 9);
  EXPECT_TRUE(d.TakeLineBreak());
  EXPECT_FALSE(d.TakeLineBreak());
  EXPECT_EQ(d.TakeLineError(), 0);
  d.InjectLineErrors(leRxOverflow | leOverrun);
  d.RefreshLineErrors();
  EXPECT_EQ(d.TakeLineError(), 1);
  EXPECT_EQ(d.TakeLineError(), 0);  // 0x01..0x08 all cleared together
}

TEST_F(LineTest, LineErrorsSeenWhileAskingForOutputAreKept) {
  d.InjectLineErrors(leFraming);
  EXPECT_EQ(d.OutputUsed(), 0u);
  EXPECT_EQ(d.TakeLineError(), 4);
}

TEST_F(LineTest, LineErrorsAreCollectedByTheReceivePass) {
  d.InjectLineErrors(leOverrun);
  d.InjectReceived("a");
  d.Pass();
  EXPECT_EQ(d.PendingLineErrors(), leOverrun);
}

TEST_F(LineTest, LineErrorCountsStartOverWhenThePortOpensAgain) {
  d.InjectLineErrors(leParity | leBreak, 2);
  EXPECT_EQ(d.LineErrorCounts(), (TLineErrorCounts{2, 0, 0, 2}));
  d.ShutdownPort();
  ASSERT_EQ(d.Open(), 0);
  EXPECT_FALSE(d.LineErrorCounts().Any());
}

// --- Flow control -----------------------------------------------------------------

TEST_F(LineTest, FlowThresholdsOutOfOrderChangeNothing) {
  size_t writes = d.settingsWrites.size();
  EXPECT_EQ(d.SetHardwareFlow(100, 200, hwfUseRTS), ecBadArgument);
  EXPECT_EQ(d.SetHardwareFlow(5000, 100, hwfUseRTS), ecBadArgument);
  EXPECT_EQ(d.SetSoftwareFlow(100, 200, swfReceive), ecBadArgument);
  EXPECT_EQ(d.settingsWrites.size(), writes);
  EXPECT_FALSE(d.RtsHandshake());
}

TEST_F(LineTest, HardwareFlowThresholdsAndOptions) {
  ASSERT_EQ(d.SetHardwareFlow(3686, 410, hwfUseRTS | hwfRequireCTS), 0);
  const TDCB& w = d.settingsWrites.back();
  EXPECT_EQ(w.XoffLim, 410);
  EXPECT_EQ(w.XonLim, 410);
  EXPECT_EQ(w.Flags & dcbRtsControlMask, dcbRtsHandshake);
  EXPECT_EQ(w.Flags & dcbDtrControlMask, dcbDtrEnable);
  EXPECT_TRUE(w.Flags & dcbOutxCtsFlow);
  EXPECT_FALSE(w.Flags & dcbOutxDsrFlow);
  uint32_t hw, sw;
  uint8_t xon, xoff;
  ASSERT_EQ(d.QueryFlow(hw, sw, xon, xoff), 0);
  EXPECT_EQ(hw, hwfUseRTS | hwfRequireCTS);
  EXPECT_EQ(sw, 0u);
  ASSERT_EQ(d.SetHardwareFlow(3072, 1024, 0), 0);  // off again
  EXPECT_FALSE(d.RtsHandshake());
  EXPECT_EQ(d.settingsWrites.back().XoffLim, 1024);
  EXPECT_EQ(d.settingsWrites.back().Flags & dcbRtsControlMask, dcbRtsEnable);
}

TEST_F(LineTest, ReceiveFlowHoldsTheRingAtTheThresholds) {
  // Full at 3686 of InSize 4096 (XoffLim 410), resume at 410 (XonLim).
  ASSERT_EQ(d.SetSoftwareFlow(3686, 410, swfReceive), 0);
  d.InjectReceived(std::string(8000, 'x'));
  d.Pass();
  d.Pass();
  EXPECT_EQ(d.InputUsed(), 3686u);  // the rest waits in the driver
  EXPECT_EQ(d.DriverInputWaiting(), 8000u - 3686u);
  std::string taken(3000, '\0');
  ASSERT_EQ(d.ReadBlock(taken.data(), 3000), 3000);
  d.Pass();
  EXPECT_EQ(d.InputUsed(), 686u);  // above resume: still held
  ASSERT_EQ(d.ReadBlock(taken.data(), 300), 300);
  d.Pass();
  EXPECT_EQ(d.InputUsed(), 3686u);  // at or below resume: filling again, up to full
  ASSERT_EQ(d.ClearSoftwareFlow(), 0);
  d.Pass();
  EXPECT_EQ(d.InputUsed(), 3686u + 1014u);  // no flow control: the rest fits
}

TEST_F(LineTest, Rs485WithADriverThatTogglesMakesRtsToggle) {
  ASSERT_EQ(d.SetRs485(true), 0);
  ASSERT_EQ(d.SetHardwareFlow(3000, 1000, 0), 0);
  EXPECT_EQ(d.settingsWrites.back().Flags & dcbRtsControlMask, dcbRtsToggle);
  EXPECT_TRUE(d.RtsHandshake());
}

TEST_F(LineTest, SoftwareFlowSetsCharactersAndLimits) {
  ASSERT_EQ(d.SetFlowChars('A', 'B'), 0);
  ASSERT_EQ(d.SetSoftwareFlow(3000, 500, swfReceive | swfTransmit), 0);
  TDCB w = d.settingsWrites.back();
  EXPECT_TRUE(w.Flags & dcbInX);
  EXPECT_TRUE(w.Flags & dcbOutX);
  EXPECT_EQ(w.XoffLim, 4096 - 3000);
  EXPECT_EQ(w.XonLim, 500);
  EXPECT_EQ(w.XonChar, 0x11);
  EXPECT_EQ(w.XoffChar, 0x13);
  uint32_t hw, sw;
  uint8_t xon, xoff;
  ASSERT_EQ(d.QueryFlow(hw, sw, xon, xoff), 0);
  EXPECT_EQ(sw, swfReceive | swfTransmit);
  ASSERT_EQ(d.ClearSoftwareFlow(), 0);
  ASSERT_EQ(d.QueryFlow(hw, sw, xon, xoff), 0);
  EXPECT_EQ(sw, 0u);
}

TEST_F(LineTest, PrioritiesFollowTheBaseAndRs485) {
  EXPECT_EQ(d.ThreadPriority(0), kPriorityNormal);
  d.SetPriorityBase(2);
  EXPECT_EQ(d.PriorityBase(), 2);
  EXPECT_EQ(d.ThreadPriority(0), 5);
  EXPECT_EQ(d.ThreadPriority(1), 5);
  EXPECT_EQ(d.ThreadPriority(2), 5);
  ASSERT_EQ(d.SetRs485(true), 0);
  EXPECT_EQ(d.ThreadPriority(2), 6);
  d.SetPriorityBase(3);
  EXPECT_EQ(d.ThreadPriority(2), kPriorityTimeCritical);  // clamped at the top
  ASSERT_EQ(d.SetRs485(false), 0);
  EXPECT_EQ(d.ThreadPriority(2), kPriorityTimeCritical);
}

}  // namespace
}  // namespace zav::test
