// What a plan puts on the line, seen from the line: an in-memory device under
// a real port records bytes as the wire takes them, modem-line changes and
// breaks in one log, and the test plays the clock.
#include <gtest/gtest.h>

#include <memory>

#include "qc/PlanLine.h"
#include "serial/QxPort.h"
#include "tests/support/MemoryDevice.h"
#include "tests/support/TestSupport.h"

namespace zav::qc {
namespace {

using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

class PlanLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = new TMroComPort(&form);
    device = test::OpenMemoryPort(*port);
    ASSERT_NE(device, nullptr);
    line = std::make_unique<PlanLine>(*port);
    baseline = device->LineLog().size();  // what opening the port did
  }
  void TearDown() override { test::DrainQueue(); }
  Lines Log() const {
    const Lines all = device->LineLog();
    return Lines(all.begin() + long(baseline), all.end());
  }

  test::ScratchDir scratch;
  TComponent form{nullptr};
  TMroComPort* port = nullptr;
  test::TMemoryDispatcher* device = nullptr;
  std::unique_ptr<PlanLine> line;
  size_t baseline = 0;
  const SteadyTime t0 = SteadyTime() + std::chrono::hours(1);
};

// "RST\r" then DTR low: DTR drops after the last byte has left, not when the
// plan asked; a break is timed by the clock the caller brings, and what comes
// after it waits for its end.
TEST_F(PlanLineTest, TheLineSeesWhatThePlanPutInThePlansOrder) {
  line->Send("RST\r");
  line->SetLines(false, std::nullopt);
  line->Send("AT\r");
  line->Break(250);
  line->Send("after");
  line->SetLines(std::nullopt, false);
  EXPECT_EQ(line->Pump(t0), "");
  EXPECT_EQ(Log(), Lines{});  // the bytes wait in the ring; DTR waits for them
  EXPECT_EQ(line->NextWake(t0), t0 + milliseconds(20));
  device->Wire(2);
  EXPECT_EQ(line->Pump(t0), "");
  EXPECT_EQ(Log(), (Lines{"> RS"}));
  device->Wire();
  EXPECT_EQ(line->Pump(t0), "");
  device->Wire();
  EXPECT_EQ(line->Pump(t0 + milliseconds(1)), "");
  EXPECT_EQ(Log(), (Lines{"> RS", "> T\r", "DTR off", "> AT\r", "break on"}));
  EXPECT_EQ(line->NextWake(t0), t0 + milliseconds(251));
  EXPECT_EQ(device->Wire(), "");  // nothing goes during the break
  EXPECT_EQ(line->Pump(t0 + milliseconds(250)), "");
  EXPECT_FALSE(line->Idle());
  EXPECT_EQ(line->Pump(t0 + milliseconds(251)), "");
  device->Wire();
  EXPECT_EQ(line->Pump(t0 + milliseconds(252)), "");
  EXPECT_EQ(Log(), (Lines{"> RS", "> T\r", "DTR off", "> AT\r", "break on", "break off", "> after", "RTS off"}));
  EXPECT_TRUE(line->Idle());
  EXPECT_EQ(line->NextWake(t0), std::nullopt);
}

// A line change that fails ends the queue with its reason (the run makes it
// the station's fault); a line dropped in a break is never left in it.
TEST_F(PlanLineTest, AFailedLineChangeSaysWhyAndABreakNeverOutlivesTheLine) {
  device->failEscapes = true;
  line->Send("x");
  line->SetLines(false, std::nullopt);  // DTR is on since the open
  line->Send("never");
  EXPECT_EQ(line->Pump(t0), "");
  device->Wire();
  EXPECT_NE(line->Pump(t0), "");
  EXPECT_TRUE(line->Idle());
  device->Wire();
  EXPECT_EQ(Log(), (Lines{"> x"}));

  device->failEscapes = false;
  line->Break(1000);
  EXPECT_EQ(line->Pump(t0), "");
  line.reset();
  EXPECT_EQ(Log(), (Lines{"> x", "break on", "break off"}));
}

}  // namespace
}  // namespace zav::qc
