// A plan's transfers as every host runs them: on an in-memory line under a
// real port, the test plays the clock and the line.
#include <gtest/gtest.h>

#include <memory>

#include "protocols/bplus/QwBPlus.h"
#include "qc/Plan.h"
#include "qc/PlanLine.h"
#include "qc/PlanTransfer.h"
#include "serial/QxExcept.h"
#include "serial/QxPort.h"
#include "tests/support/MemoryDevice.h"
#include "tests/support/TestSupport.h"

namespace zav::qc {
namespace {

using std::chrono::milliseconds;

// The host every window and mero unit is: the plan's line and its transfers.
class Host : public RunHost {
 public:
  PlanLine* line = nullptr;
  PlanTransfer* transfers = nullptr;
  std::vector<std::string> events;  // "began sending", "ended CODE"
  void Send(const std::string& bytes) override { line->Send(bytes); }
  std::string SetLines(std::optional<bool> dtr, std::optional<bool> rts) override {
    line->SetLines(dtr, rts);
    return {};
  }
  std::string SendBreak(int ms) override {
    line->Break(ms);
    return {};
  }
  void StartTransfer(const TransferStep& t, const std::string& dir) override { transfers->Request(t, dir); }
  void CancelTransfer() override { transfers->Cancel(); }
  void Ask(const std::string&) override {}
};

class PlanTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = new TMroComPort(&form);
    device = test::OpenMemoryPort(*port);
    ASSERT_NE(device, nullptr);
    test::WriteFile(scratch.path() / "fw.bin", std::string(300, 'x'));
  }
  void TearDown() override { test::DrainQueue(); }

  void Start(const std::string& planText) {
    plan = ParsePlan(planText, (scratch.path() / "p.yaml").string());
    line = std::make_unique<PlanLine>(*port);
    transfers = std::make_unique<PlanTransfer>(*port, plan->Settle);
    transfers->Began = [this](TMroProtocol& p, bool sending) {
      host.events.push_back(std::string(sending ? "began sending " : "began receiving ") + ProtocolName(p.ProtocolType()));
    };
    transfers->Ended = [this](int32_t code) { host.events.push_back("ended " + std::to_string(code)); };
    host.line = line.get();
    host.transfers = transfers.get();
    run = std::make_unique<PlanRun>(*plan, host, "COM3", "", scratch.path().string());
    run->Start(t0);
  }
  // One host pass, as the window's and mero's Service.
  void Service(SteadyTime now) {
    line->Pump(now);
    transfers->Pump(*run, now, line->Idle());
    run->Tick(now);
  }

  test::ScratchDir scratch;
  TComponent form{nullptr};
  TMroComPort* port = nullptr;
  test::TMemoryDispatcher* device = nullptr;
  std::optional<Plan> plan;
  Host host;
  std::unique_ptr<PlanLine> line;
  std::unique_ptr<PlanTransfer> transfers;
  std::unique_ptr<PlanRun> run;
  const SteadyTime t0 = SteadyTime() + std::chrono::hours(1);
};

// A transfer takes the line only once what the plan put on it before has
// gone (DTR drops after "RST\r" has left, and only then the transfer), and
// the next one only once the line has settled after the last one ended; a
// cancelled transfer ends its step through the run, never inside the call
// that cancelled it.
TEST_F(PlanTransferTest, TransfersWaitForTheLineAndTheSettleTime) {
  Start(R"(name: p
settle: 0.5
steps:
  - send: 'RST\r'
  - set: {dtr: false}
  - {name: first, transfer: {protocol: xmodem, send: fw.bin}, timeout: 30, continue-on-failure: true}
  - {name: second, transfer: {protocol: xmodem, send: fw.bin}, timeout: 30}
)");
  Service(t0);
  EXPECT_TRUE(transfers->Busy());
  EXPECT_TRUE(host.events.empty()) << "the transfer began before DTR dropped";
  EXPECT_EQ(device->Wire(), "RST\r");
  Service(t0);
  ASSERT_EQ(host.events, std::vector<std::string>{"began sending Xmodem"});
  const auto log = device->LineLog();
  EXPECT_EQ(std::vector<std::string>(log.end() - 2, log.end()), (std::vector<std::string>{"> RST\r", "DTR off"}));
  EXPECT_TRUE(transfers->Running());

  transfers->Cancel();
  test::DrainQueue();  // the component's finish report
  ASSERT_EQ(host.events.size(), 2u);
  EXPECT_EQ(host.events[1], "ended " + std::to_string(ecCancelRequested));
  const SteadyTime ended = t0 + milliseconds(100);
  Service(ended);  // the first step fails; the second waits for the line to settle
  ASSERT_EQ(run->Result().Steps.size(), 4u);
  EXPECT_EQ(run->Result().Steps[2].Outcome, Verdict::Fail);
  EXPECT_EQ(transfers->NextWake(), ended + milliseconds(500));
  Service(ended + milliseconds(499));
  EXPECT_EQ(host.events.size(), 2u);
  Service(ended + milliseconds(500));
  EXPECT_EQ(host.events.back(), "began sending Xmodem");

  transfers->DeviceGone();
  test::DrainQueue();
  EXPECT_EQ(host.events.back(), "ended " + std::to_string(ecDeviceGone));
  Service(ended + milliseconds(600));
  ASSERT_TRUE(run->Done());
  EXPECT_NE(run->Result().Steps[3].Message.find(ErrorText(ecDeviceGone)), std::string::npos)
      << run->Result().Steps[3].Message;
}

// A transfer asked for and cancelled before it began never begins, and the
// run ends.
TEST_F(PlanTransferTest, ATransferCancelledBeforeItBeganNeverBegins) {
  Start("name: p\nsteps:\n  - send: 'AT\\r'\n  - set: {dtr: false}\n  - {transfer: {protocol: kermit, send: fw.bin}}\n");
  Service(t0);
  ASSERT_TRUE(transfers->Busy());
  host.CancelTransfer();  // as the window's Stop and mero's signal do
  run->Abort("stopped by the operator", t0, Verdict::Aborted);
  device->Wire();
  Service(t0);
  EXPECT_FALSE(transfers->Busy());
  EXPECT_TRUE(host.events.empty());
  EXPECT_TRUE(run->Done());
  EXPECT_EQ(run->Result().Outcome, Verdict::Aborted);
}

// The settings a transfer starts from are the same whoever hosts it: what
// the component was set to before does not count, and the line's own shape
// does.
TEST(UnattendedSettings, AreTheSameWhateverTheComponentHeld) {
  struct Case {
    TProtocolType type;
    bool sending;
    int dataBits;
    int32_t handshakeWait;
    char highbit;  // Kermit only
    TBPlusRole role;  // B+ only
  };
  const Case cases[] = {
      {ptZmodem, false, 8, 182, 0, bprAuto},  {ptZmodem, true, 8, 182, 0, bprAuto},
      {ptKermit, true, 7, 0, '&', bprAuto},   {ptKermit, true, 8, 0, 'Y', bprAuto},
      {ptBPlus, true, 8, 0, 0, bprInitiator}, {ptBPlus, false, 8, 0, 0, bprResponder},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(ProtocolName(c.type)) + (c.sending ? " send" : " receive"));
    TComponent owner{nullptr};
    auto* port = new TMroComPort(&owner);
    port->SetDataBits(uint16_t(c.dataBits));
    auto* p = new TMroProtocol(&owner);
    p->SetComPort(port);
    p->SetProtocolType(c.type);
    p->SetHandshakeWait(1092);  // as the bench window sets its own
    ApplyUnattendedSettings(*p, c.sending);
    if (c.handshakeWait != 0) {
      EXPECT_EQ(p->HandshakeWait(), c.handshakeWait);
    }
    if (c.type == ptZmodem && !c.sending) {
      EXPECT_EQ(p->FinishWait(), 36);
    }
    if (c.highbit != 0) {
      EXPECT_EQ(p->KermitHighbitPrefix(), c.highbit);
    }
    if (c.type == ptBPlus) {
      EXPECT_EQ(BPlusArea(p->Record())->Role, c.role);
    }
  }
}

}  // namespace
}  // namespace zav::qc
