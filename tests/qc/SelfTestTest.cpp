// The built-in self-test on the in-memory device, whose far end plays a
// loopback plug: bytes and modem lines come back as the plug's wiring says.
#include <gtest/gtest.h>

#include <thread>

#include "qc/SelfTest.h"
#include "tests/support/MemoryDevice.h"

namespace zav::qc {
namespace {

struct Plug {
  bool rtsToCts = true;    // a broken wire leaves CTS off
  bool dropByte = false;   // the loop loses the tenth byte once
  bool changeByte = false; // and changes the twentieth
  bool modemLines = true;  // the device has modem lines at all
  int32_t settingsResult = 0;
};

std::string Outcomes(const UnitResult& r) {
  std::string s;
  for (const auto& step : r.Steps) s += step.Name + "=" + VerdictText(step.Outcome) + ";";
  return s;
}

UnitResult RunOn(const Plug& plug, std::vector<long> rates) {
  test::TMemoryDispatcher dev;
  dev.hasModemLines = plug.modemLines;
  EXPECT_EQ(dev.Open(), 0);
  dev.setSettingsResult = plug.settingsResult;
  bool dropped = false;
  SelftestSetup setup;
  setup.Port = &dev;
  setup.Rates = std::move(rates);
  setup.RatesGiven = true;
  setup.Pump = [&](std::chrono::milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::string bytes = dev.Wire();
    if (plug.dropByte && !dropped && bytes.size() > 10) {
      bytes.erase(10, 1);
      if (plug.changeByte) bytes[20] = char(bytes[20] ^ 0x40);
      dropped = true;
    }
    dev.InjectReceived(bytes);
    dev.Pass();
    dev.SetModemLines(uint8_t((dev.rtsLine && plug.rtsToCts ? mbCts : 0) |
                              (dev.dtrLine ? mbDsr | mbDcd | mbRi : 0)));
  };
  return RunSelftest(setup, "mem");
}

TEST(Selftest, AGoodPlugPassesEveryCheck) {
  const UnitResult r = RunOn({}, {9600, 115200});
  EXPECT_EQ(Outcomes(r),
            "pattern at 9600=PASS;pattern at 115200=PASS;RTS to CTS=PASS;DTR to DSR=PASS;DTR to DCD=PASS;"
            "DTR to RI=PASS;");
  EXPECT_EQ(r.Outcome, Verdict::Pass);
  EXPECT_EQ(r.Steps[1].Message.rfind("2880 bytes, 0 lost, 0 changed, ", 0), 0u) << r.Steps[1].Message;
}

TEST(Selftest, EachFaultFailsOnlyItsCheck) {
  Plug broken;
  broken.rtsToCts = false;
  UnitResult r = RunOn(broken, {9600});
  EXPECT_EQ(Outcomes(r), "pattern at 9600=PASS;RTS to CTS=FAIL;DTR to DSR=PASS;DTR to DCD=PASS;DTR to RI=PASS;");
  EXPECT_EQ(r.Steps[1].Message, "the input stayed off when the line went on");

  Plug lossy;
  lossy.dropByte = true;
  lossy.changeByte = true;
  r = RunOn(lossy, {9600});
  EXPECT_EQ(r.Steps[0].Outcome, Verdict::Fail);
  EXPECT_EQ(r.Steps[0].Message.rfind("256 bytes, 1 lost, 1 changed", 0), 0u) << r.Steps[0].Message;

  Plug refuses;
  refuses.settingsResult = -87;
  r = RunOn(refuses, {19200, 38400});
  EXPECT_EQ(r.Steps[0].Message, "the device does not take 19200 baud");
  EXPECT_EQ(r.Steps[1].Message, "not run: the device does not take 19200 baud");
  EXPECT_EQ(r.Outcome, Verdict::Fail);
}

TEST(Selftest, ModemChecksOfADeviceWithoutModemLinesAreSkippedNotPassed) {
  Plug pty;
  pty.modemLines = false;
  const UnitResult r = RunOn(pty, {9600});
  ASSERT_EQ(r.Steps.size(), 5u);
  for (size_t i = 1; i < r.Steps.size(); ++i) {
    EXPECT_EQ(r.Steps[i].Outcome, Verdict::Skipped);
    EXPECT_EQ(r.Steps[i].Message, "not supported by this device");
  }
  EXPECT_EQ(r.Outcome, Verdict::Pass);
}

}  // namespace
}  // namespace zav::qc
