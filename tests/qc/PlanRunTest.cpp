// A unit going through plans against a scripted device on a simulated clock,
// and the reports its run leaves.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "qc/PlanRun.h"
#include "qc/Report.h"
#include "tests/support/JUnitCheck.h"
#include "tests/support/TestSupport.h"

namespace zav::qc {
namespace {

using namespace std::chrono_literals;

// The device: answers a sent text after 10 ms, greets with a banner, and
// says yes or no when the operator is asked.
class ScriptedUnit : public RunHost {
 public:
  std::map<std::string, std::string> Replies;
  std::string Banner;
  bool OperatorSays = true;
  std::string Sent, Lines;
  std::vector<std::pair<SteadyTime, std::string>> Due;
  PlanRun* Run = nullptr;
  SteadyTime Now{};

  // Answers that change: each send takes the next (then none).
  std::map<std::string, std::vector<std::string>> Turns;
  // The operator stops the run this long after it starts (or, with
  // HangUp, the line goes away then).
  std::optional<std::chrono::milliseconds> StopAfter;
  bool HangUp = false;

  void Send(const std::string& bytes) override {
    Sent += bytes;
    const auto r = Replies.find(bytes);
    if (r != Replies.end()) Due.emplace_back(Now + 10ms, r->second);
    const auto t = Turns.find(bytes);
    if (t != Turns.end() && !t->second.empty()) {
      Due.emplace_back(Now + 10ms, t->second.front());
      t->second.erase(t->second.begin());
    }
  }
  std::string LinesFail;  // why setting the lines fails, or empty
  std::string TransferCannotStart;  // why a transfer cannot start, or empty
  std::string SetLines(std::optional<bool> dtr, std::optional<bool> rts) override {
    if (!LinesFail.empty()) return LinesFail;
    if (dtr) Lines += *dtr ? "D" : "d";
    if (rts) Lines += *rts ? "R" : "r";
    return {};
  }
  std::string SendBreak(int) override { return "not supported by this device"; }
  // A transfer that "receives" ArrivingFile (unless empty) and ends at once.
  std::string ArrivingFile;
  void StartTransfer(const TransferStep& t, const std::string& dir) override {
    if (!TransferCannotStart.empty()) return Run->TransferNotStarted(TransferCannotStart, Now);
    if (!t.Sending && !ArrivingFile.empty()) test::WriteFile(dir + "/" + t.File, ArrivingFile);
    Run->TransferEnded(true, {}, Now);
  }
  void CancelTransfer() override {}
  // The operator answers at once, or after OperatorTakes (each question in turn).
  std::optional<std::chrono::milliseconds> OperatorTakes;
  std::vector<std::pair<SteadyTime, bool>> Answers;
  int Withdrawn = 0;
  void Ask(const std::string&) override {
    if (!OperatorTakes) return Run->Answer(OperatorSays, Now);
    Answers.emplace_back(Now + *OperatorTakes, OperatorSays);
  }
  void AskWithdrawn() override {
    ++Withdrawn;
    if (!Answers.empty()) Answers.erase(Answers.begin());  // the operator's dialog goes
  }

  // Runs the plan to its end on simulated time (at most a minute of it).
  const UnitResult& Go(const Plan& plan, const std::string& givenId = {}, const std::string& dir = ".") {
    PlanRun run(plan, *this, "COM7", givenId, dir);
    Run = &run;
    Now = SteadyTime{} + 1h;
    if (!Banner.empty()) Due.emplace_back(Now + 5ms, Banner);
    run.Start(Now);
    const SteadyTime started = Now;
    bool stopped = false;
    while (!run.Done() && Now < SteadyTime{} + 1h + 60s) {
      std::optional<SteadyTime> next = run.NextWake();
      if (StopAfter && !stopped && (!next || started + *StopAfter < *next)) next = started + *StopAfter;
      for (const auto& d : Due)
        if (!next || d.first < *next) next = d.first;
      for (const auto& a : Answers)
        if (!next || a.first < *next) next = a.first;
      if (!next) break;
      Now = std::max(Now, *next);
      for (size_t i = 0; i < Due.size();) {
        if (Due[i].first <= Now) {
          const std::string bytes = Due[i].second;
          Due.erase(Due.begin() + long(i));
          run.Received(bytes, Now);
        } else {
          ++i;
        }
      }
      if (StopAfter && !stopped && Now >= started + *StopAfter) {
        stopped = true;
        if (HangUp)
          run.Abort("the device hung up", Now, Verdict::Error, true);
        else
          run.Abort("stopped by the operator", Now, Verdict::Aborted);
      }
      while (!Answers.empty() && Answers.front().first <= Now) {
        const bool yes = Answers.front().second;
        Answers.erase(Answers.begin());
        run.Answer(yes, Now);
      }
      run.Tick(Now);
    }
    EXPECT_TRUE(run.Done());
    result_ = run.Result();
    vars_ = run.Variables();
    Run = nullptr;
    return result_;
  }
  std::map<std::string, std::string> vars_;

 private:
  UnitResult result_;
};

std::string Outcomes(const UnitResult& r) {
  std::string s;
  for (const auto& step : r.Steps) s += std::string(s.empty() ? "" : " ") + VerdictText(step.Outcome);
  return s;
}

const char* const kBoardPlan = R"(name: board
unit-id: {send: "SN?\r", expect: 'SN: (\w+)', timeout: 1}
steps:
  - name: banner
    send: "HELLO\r"
    expect: READY
    timeout: 2
  - name: version
    send: "VER?\r"
    expect: 'VER (\d+)\.(\d+)'
    capture: [major, minor]
    check: {major: {min: 2, max: 9}}
  - name: reset lines
    set: {dtr: false, rts: true}
    wait: 0.2
  - name: no errors
    absent: 'ERROR|FAULT'
    for: 1
  - name: label
    prompt: Is the LED on?
    continue-on-failure: true
  - name: echo id
    send: "ID ${unit} ${major}\r"
    expect: 'OK'
)";

struct Device {
  std::string banner;
  std::map<std::string, std::string> replies;
  bool yes = true;
};

Device GoodBoard() {
  return {"boot\r\n",
          {{"SN?\r", "SN: AB12\r\n"}, {"HELLO\r", "READY\r\n"}, {"VER?\r", "VER 3.14\r\n"}, {"ID AB12 3\r", "OK\r\n"}},
          true};
}

TEST(PlanRun, AGoodUnitPassesEveryStep) {
  const Plan plan = ParsePlan(kBoardPlan, "board.yaml");
  ScriptedUnit unit;
  const Device d = GoodBoard();
  unit.Banner = d.banner;
  unit.Replies = d.replies;
  const UnitResult& r = unit.Go(plan);
  EXPECT_EQ(Outcomes(r), "PASS PASS PASS PASS PASS PASS PASS") << r.Transcript;
  EXPECT_EQ(r.Outcome, Verdict::Pass);
  EXPECT_EQ(r.UnitId, "AB12");
  EXPECT_EQ(unit.vars_["minor"], "14");
  EXPECT_EQ(unit.Lines, "dR");
  EXPECT_EQ(unit.Sent, "SN?\rHELLO\rVER?\rID AB12 3\r");
  EXPECT_NEAR(r.Steps[3].Seconds, 0.2, 0.001);
  EXPECT_NEAR(r.Steps[4].Seconds, 1.0, 0.001);
  // The transcript holds both directions and the steps, each line stamped.
  EXPECT_NE(r.Transcript.find(" > \"VER?\\r\"\n"), std::string::npos) << r.Transcript;
  EXPECT_NE(r.Transcript.find(" < \"VER 3.14\\r\\n\"\n"), std::string::npos) << r.Transcript;
  EXPECT_NE(r.Transcript.find(" -- step \"version\"\n"), std::string::npos) << r.Transcript;
}

TEST(PlanRun, EachKindOfFailureSaysWhatWentWrong) {
  struct Case {
    std::string name;
    std::function<void(Device&)> fault;
    std::string outcomes, message;
    std::string givenId = {};
  };
  const std::vector<Case> cases = {
      {"no banner", [](Device& d) { d.replies.erase("HELLO\r"); }, "PASS FAIL SKIPPED SKIPPED SKIPPED SKIPPED SKIPPED",
       "expected /READY/ within 2.0 s"},
      {"version out of range", [](Device& d) { d.replies["VER?\r"] = "VER 1.9\r\n"; },
       "PASS PASS FAIL SKIPPED SKIPPED SKIPPED SKIPPED", "major = 1 is below the minimum 2"},
      {"unwanted text", [](Device& d) { d.replies["VER?\r"] = "VER 3.1\r\nFAULT 7\r\n"; },
       "PASS PASS PASS PASS FAIL SKIPPED SKIPPED", "unwanted /ERROR|FAULT/ arrived: \"FAULT\""},
      {"operator says no", [](Device& d) { d.yes = false; }, "PASS PASS PASS PASS PASS FAIL PASS",
       "the operator answered no"},
      {"no serial number", [](Device& d) { d.replies.erase("SN?\r"); },
       "FAIL SKIPPED SKIPPED SKIPPED SKIPPED SKIPPED SKIPPED", "expected /SN: (\\w+)/"},
      {"another unit than the label", [](Device&) {}, "FAIL SKIPPED SKIPPED SKIPPED SKIPPED SKIPPED SKIPPED",
       "the unit says it is \"AB12\", not \"ZZ99\"", "ZZ99"},
  };
  const Plan plan = ParsePlan(kBoardPlan, "board.yaml");
  for (const auto& c : cases) {
    Device d = GoodBoard();
    c.fault(d);
    ScriptedUnit unit;
    unit.Banner = d.banner;
    unit.Replies = d.replies;
    unit.OperatorSays = d.yes;
    const UnitResult& r = unit.Go(plan, c.givenId);
    EXPECT_EQ(Outcomes(r), c.outcomes) << c.name << "\n" << r.Transcript;
    EXPECT_EQ(r.Outcome, Verdict::Fail) << c.name;
    const auto failed = std::find_if(r.Steps.begin(), r.Steps.end(),
                                     [](const StepResult& s) { return s.Outcome == Verdict::Fail; });
    ASSERT_NE(failed, r.Steps.end()) << c.name;
    EXPECT_NE(failed->Message.find(c.message), std::string::npos) << c.name << ": " << failed->Message;
    EXPECT_EQ(r.FirstFailure(), failed->Name) << c.name;
    for (auto s = failed + 1; s != r.Steps.end(); ++s) {
      if (s->Outcome == Verdict::Skipped) {
        EXPECT_EQ(s->Message, "not run: an earlier step failed") << c.name;
      }
    }
  }
}

// A prompt with a timeout fails when the operator is too slow and the question
// is withdrawn (the host takes its dialog away), so only the next question's
// own answer counts for it. Without a timeout the operator may take as long as
// needed.
TEST(PlanRun, APromptWithATimeoutFailsWhenNoAnswerComesInTime) {
  struct Case {
    const char* name;
    int takesMs;
    bool yes;
    std::string outcomes, message;
    int withdrawn;
  };
  const Plan plan = ParsePlan(R"(name: p
steps:
  - {name: first, prompt: 'Label on?', timeout: 2, continue-on-failure: true}
  - {name: second, prompt: 'LED on?'}
)", "p.yaml");
  for (const Case& c : std::vector<Case>{
           {"in time", 1500, true, "PASS PASS", "", 0},
           {"too late, the late no ignored", 3000, false, "FAIL FAIL", "no answer to \"Label on?\" within 2.0 s", 1},
           {"too late, then yes to the second", 2500, true, "FAIL PASS", "no answer to \"Label on?\" within 2.0 s", 1},
           {"slow without a timeout", 30000, true, "FAIL PASS", "no answer", 1},
       }) {
    ScriptedUnit unit;
    unit.OperatorTakes = std::chrono::milliseconds(c.takesMs);
    unit.OperatorSays = c.yes;
    const UnitResult& r = unit.Go(plan);
    EXPECT_EQ(Outcomes(r), c.outcomes) << c.name << "\n" << r.Transcript;
    EXPECT_NE(r.Steps[0].Message.find(c.message), std::string::npos) << c.name << ": " << r.Steps[0].Message;
    EXPECT_EQ(unit.Withdrawn, c.withdrawn) << c.name;
    if (c.outcomes == "FAIL FAIL") {
      EXPECT_NE(r.Steps[1].Message.find("the operator answered no to \"LED on?\""), std::string::npos)
          << c.name << ": the second question's own answer, " << r.Steps[1].Message;
    }
  }
}

TEST(PlanRun, ATimedOutExpectTellsWhatArrivedLastAndWhen) {
  const Plan plan = ParsePlan("name: p\nsteps:\n  - {send: 'PING\\r', expect: PONG, timeout: 0.5}\n", "p.yaml");
  ScriptedUnit unit;
  unit.Replies = {{"PING\r", "PANG\r\n"}};
  const UnitResult& r = unit.Go(plan);
  ASSERT_EQ(r.Steps.size(), 1u);
  EXPECT_EQ(r.Steps[0].Message, "expected /PONG/ within 0.5 s");
  EXPECT_EQ(r.Steps[0].Detail, "last arrived 0.01 s into the step (0.49 s ago): \"PANG\\r\\n\"");
}

TEST(PlanRun, FileBytesGoOutAndALineThatCannotBreakIsAStationError) {
  test::ScratchDir dir;
  ASSERT_TRUE(test::WriteFile("boot.bin", std::string("\x00\x01\xff", 3)));
  const Plan plan = ParsePlan("name: p\nsteps:\n  - {send-file: boot.bin, send: 'go\\r'}\n  - {break: 100}\n",
                              (dir.path() / "p.yaml").string());
  ScriptedUnit unit;
  const UnitResult& r = unit.Go(plan);
  EXPECT_EQ(unit.Sent, std::string("\x00\x01\xffgo\r", 6));
  EXPECT_EQ(Outcomes(r), "PASS ERROR");
  EXPECT_EQ(r.Outcome, Verdict::Error);
  EXPECT_EQ(r.Steps[1].Message, "not supported by this device");
  EXPECT_NE(r.Transcript.find(" > \"\\x00\\x01\\xFFgo\\r\"\n"), std::string::npos) << r.Transcript;
}

TEST(PlanRun, AnAbortedUnitErrsAndSkipsTheRest) {
  const Plan plan = ParsePlan("name: p\nsteps:\n  - {expect: X, timeout: 9}\n  - {wait: 1}\n", "p.yaml");
  ScriptedUnit unit;
  PlanRun run(plan, unit, "COM1");
  run.Start(SteadyTime{});
  run.Abort("the device hung up", SteadyTime{} + 2s);
  ASSERT_TRUE(run.Done());
  EXPECT_EQ(Outcomes(run.Result()), "ERROR SKIPPED");
  EXPECT_EQ(run.Result().Outcome, Verdict::Error);
  EXPECT_EQ(run.Result().Steps[1].Message, "not run: the device hung up");
  EXPECT_FALSE(run.NextWake());
}

TEST(PlanRun, AMatchThatCouldGrowWaitsForTheLineToSettle) {
  const Plan plan = ParsePlan("name: p\nsteps:\n  - {expect: 'V(\\d+)', capture: v, timeout: 5}\n", "p.yaml");
  ScriptedUnit unit;
  PlanRun run(plan, unit, "COM1");
  const SteadyTime t0{};
  run.Start(t0);
  run.Received("V1", t0 + 10ms);
  EXPECT_FALSE(run.Done());
  ASSERT_TRUE(run.NextWake());
  EXPECT_EQ(*run.NextWake(), t0 + 110ms);  // the default settle time after the last byte
  run.Received("2", t0 + 50ms);
  EXPECT_EQ(*run.NextWake(), t0 + 150ms);
  run.Tick(t0 + 150ms);
  ASSERT_TRUE(run.Done());
  EXPECT_EQ(run.Variables().at("v"), "12");
}

TEST(PlanRun, AReceivedFileIsCheckedBySizeAndContent) {
  test::ScratchDir dir;
  ASSERT_TRUE(test::WriteFile("expected.bin", "0123456789"));
  const Plan plan = ParsePlan(
      "name: p\nsteps:\n  - transfer: {protocol: xmodem, receive: got.bin, size: 10, same-as: expected.bin}\n",
      (dir.path() / "p.yaml").string());
  const std::string in = (dir.path() / "in").string();
  std::filesystem::create_directory(in);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"0123456789", ""},
      {"", "no file got.bin arrived"},
      {"01234", "got.bin arrived with 5 bytes, not 10"},
      {"0123456780", "got.bin arrived but differs from"},
  };
  for (const auto& [arriving, failure] : cases) {
    std::filesystem::remove(in + "/got.bin");
    ScriptedUnit unit;
    unit.ArrivingFile = arriving;
    const UnitResult& r = unit.Go(plan, {}, in);
    EXPECT_EQ(r.Outcome, failure.empty() ? Verdict::Pass : Verdict::Fail) << arriving;
    EXPECT_EQ(r.Steps[0].Message.rfind(failure, 0), 0u) << r.Steps[0].Message;
  }
}

// Each measurement of a step is taken when its expect matches: its value as
// a number with the text that arrived, its outcome against the limits and
// the marginal band, and the step fails with the first failing one.
TEST(PlanRun, MeasurementsTakeTheirValuesAndOutcomes) {
  const Plan plan = ParsePlan(R"(name: p
steps:
  - name: battery
    send: "VBAT?\r"
    expect: 'VBAT (\S+) IBAT (\S+)'
    capture: vbat
    measure:
      - {from: vbat, unit: V, min: 3.2, max: 3.4, marginal: 0.1}
      - {name: current, from: 2, unit: mA, max: 500, marginal: {max: 450}}
)", "p.yaml");
  struct Case {
    const char* reply;
    std::string vbat, current;  // "OUTCOME shown-value"
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {"VBAT 3.300 IBAT 120", "PASS 3.300 V", "PASS 120 mA", ""},
           {"VBAT 3.215 IBAT 460", "MARGINAL 3.215 V", "MARGINAL 460 mA", ""},
           {"VBAT 3.385 IBAT 0x1C2", "MARGINAL 3.385 V", "PASS 0x1C2 mA", ""},
           {"VBAT 3.385 IBAT 0x1F4", "MARGINAL 3.385 V", "MARGINAL 0x1F4 mA", ""},
           {"VBAT +3.3e0 IBAT -5", "PASS +3.3e0 V", "PASS -5 mA", ""},
           {"VBAT 3.452 IBAT 501", "FAIL 3.452 V", "FAIL 501 mA", "vbat = 3.452 V is above the maximum 3.400 V"},
           {"VBAT 3.1 IBAT 10", "FAIL 3.1 V", "PASS 10 mA", "vbat = 3.1 V is below the minimum 3.2 V"},
           {"VBAT 3.3V IBAT nan", "FAIL \"3.3V\"", "FAIL \"nan\"", "vbat = \"3.3V\" is not a number"},
       }) {
    ScriptedUnit unit;
    unit.Replies = {{"VBAT?\r", std::string(c.reply) + "\r\n"}};
    const UnitResult& r = unit.Go(plan);
    ASSERT_EQ(r.Steps[0].Measurements.size(), 2u);
    const auto& m = r.Steps[0].Measurements;
    EXPECT_EQ(std::string(MeasureText(m[0].Outcome)) + " " + m[0].ValueText(), c.vbat) << c.reply;
    EXPECT_EQ(std::string(MeasureText(m[1].Outcome)) + " " + m[1].ValueText(), c.current) << c.reply;
    EXPECT_EQ(r.Outcome, c.message.empty() ? Verdict::Pass : Verdict::Fail) << c.reply;
    EXPECT_EQ(r.Steps[0].Message, c.message) << c.reply;
  }
  // The value, and its limits with the value's precision.
  ScriptedUnit unit;
  unit.Replies = {{"VBAT?\r", "VBAT 3.2150 IBAT 0x10\r\n"}};
  const UnitResult& r = unit.Go(plan);
  EXPECT_EQ(*r.Steps[0].Measurements[0].Value, 3.215);
  EXPECT_EQ(*r.Steps[0].Measurements[1].Value, 16);
  EXPECT_NE(r.Transcript.find(" -- measured vbat = 3.2150 V [3.2000, 3.4000] MARGINAL\n"), std::string::npos);
}

// What keeps the station from testing ends the step in ERROR (never
// retried); what the unit does wrong is a FAIL.
TEST(PlanRun, TheStationsOwnFaultsAreErrors) {
  test::ScratchDir dir;
  ASSERT_TRUE(test::WriteFile("fw.bin", "firmware"));
  struct Case {
    const char* name;
    std::string step;
    std::function<void(ScriptedUnit&)> fault;
    Verdict outcome;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {"modem lines", "{set: {dtr: true}, retry: 2}", [](ScriptedUnit& u) { u.LinesFail = "no such ioctl"; },
            Verdict::Error, "no such ioctl"},
           {"transfer cannot start", "{transfer: {protocol: xmodem, send: fw.bin}, retry: 2}",
            [](ScriptedUnit& u) { u.TransferCannotStart = "no protocol"; }, Verdict::Error,
            "the transfer could not start: no protocol"},
           {"match limit", "{send: 'GO\\r', expect: '(a+)+$', timeout: 1, retry: 2}",
            [](ScriptedUnit& u) { u.Replies = {{"GO\r", std::string(40, 'a') + "b"}}; }, Verdict::Error,
            "matching /(a+)+$/ failed: "},
           {"unit silent", "{send: 'GO\\r', expect: 'OK', timeout: 1, retry: 2}", [](ScriptedUnit&) {}, Verdict::Fail,
            "expected /OK/ within 1.0 s"},
       }) {
    const Plan plan = ParsePlan("name: p\nsteps:\n  - " + c.step + "\n", (dir.path() / "p.yaml").string());
    ScriptedUnit unit;
    c.fault(unit);
    const UnitResult& r = unit.Go(plan);
    EXPECT_EQ(r.Outcome, c.outcome) << c.name << "\n" << r.Transcript;
    EXPECT_EQ(r.Steps[0].Message.rfind(c.message, 0), 0u) << c.name << ": " << r.Steps[0].Message;
    EXPECT_EQ(r.Steps[0].Tries, c.outcome == Verdict::Error ? 1 : 3) << c.name;
  }
}

// retry: N runs a failed step again up to N times; the transcript shows each
// try, the result how many it took.
TEST(PlanRun, AFailedStepIsTriedAgainUpToItsRetries) {
  const Plan plan = ParsePlan(R"(name: p
steps:
  - {name: temp, send: "T?\r", expect: 'T (\d+)', capture: t, measure: {from: t, max: 40}, timeout: 0.5, retry: 2}
  - {name: after, wait: 0.1}
)", "p.yaml");
  struct Case {
    std::vector<std::string> answers;
    std::string outcomes;
    int tries;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {{"T 38\r\n"}, "PASS PASS", 1, ""},
           {{"T 45\r\n", "T 38\r\n"}, "PASS PASS", 2, "passed on try 2"},
           {{"T 45\r\n", "T 46\r\n", "T 47\r\n", "T 20\r\n"}, "FAIL SKIPPED", 3, "t = 47 is above the maximum 40"},
           {{}, "FAIL SKIPPED", 3, "expected /T (\\d+)/ within 0.5 s"},
       }) {
    ScriptedUnit unit;
    unit.Turns = {{"T?\r", c.answers}};
    const UnitResult& r = unit.Go(plan);
    const std::string name = c.answers.empty() ? "silent" : c.answers.back();
    EXPECT_EQ(Outcomes(r), c.outcomes) << name << "\n" << r.Transcript;
    EXPECT_EQ(r.Steps[0].Tries, c.tries) << name;
    EXPECT_EQ(r.Steps[1].Tries, c.outcomes == "PASS PASS" ? 1 : 0) << name;
    EXPECT_EQ(r.Steps[0].Message, c.message) << name;
    EXPECT_EQ(unit.Sent, [&] {
      std::string sent;
      for (int i = 0; i < c.tries; ++i) sent += "T?\r";
      return sent;
    }()) << name;
    if (c.tries > 1) {
      EXPECT_NE(r.Transcript.find(" -- step \"temp\", try 2 of 3\n"), std::string::npos) << r.Transcript;
    }
    // The last try's measurement is the one kept.
    if (!c.answers.empty()) {
      EXPECT_EQ(r.Steps[0].Measurements[0].Text, c.answers[size_t(c.tries - 1)].substr(2, 2)) << name;
    }
  }
}

// Setup runs before the unit-id step and teardown after the last step
// whatever happened; a teardown step's failure is reported but the unit's
// verdict stands.
TEST(PlanRun, TeardownRunsAfterAFailureAnErrorOrAStop) {
  const Plan plan = ParsePlan(R"(name: p
setup:
  - {name: power up, set: {dtr: true}}
unit-id: {send: "SN?\r", expect: 'SN: (\w+)', timeout: 1}
steps:
  - {name: a, send: "A\r", expect: OK, timeout: 0.5}
  - {name: b, wait: 2}
teardown:
  - {name: power down, set: {dtr: false}}
  - {name: bye, send: "BYE ${unit}\r", expect: BYE, timeout: 0.2}
)", "p.yaml");
  struct Case {
    const char* name;
    bool answersA, answersBye;
    std::optional<std::chrono::milliseconds> stopAfter;
    std::string outcomes;
    Verdict unit;
    std::string firstFailure;
    bool hangUp = false;
  };
  for (const Case& c : std::vector<Case>{
           {"good", true, true, {}, "PASS PASS PASS PASS PASS PASS", Verdict::Pass, ""},
           {"teardown fails", true, false, {}, "PASS PASS PASS PASS PASS FAIL", Verdict::Pass, ""},
           {"a fails", false, true, {}, "PASS PASS FAIL SKIPPED PASS PASS", Verdict::Fail, "a"},
           {"a fails, teardown too", false, false, {}, "PASS PASS FAIL SKIPPED PASS FAIL", Verdict::Fail, "a"},
           {"stopped in b", true, true, 1000ms, "PASS PASS PASS ABORTED PASS PASS", Verdict::Aborted, "b"},
           {"stopped in the teardown", true, true, 2025ms, "PASS PASS PASS PASS PASS ABORTED", Verdict::Pass, ""},
           {"hung up in b: no teardown", true, true, 1000ms, "PASS PASS PASS ERROR SKIPPED SKIPPED", Verdict::Error,
            "b", true},
       }) {
    ScriptedUnit unit;
    unit.Replies = {{"SN?\r", "SN: U1\r\n"}};
    if (c.answersA) unit.Replies["A\r"] = "OK\r\n";
    if (c.answersBye) unit.Replies["BYE U1\r"] = "BYE\r\n";
    unit.StopAfter = c.stopAfter;
    unit.HangUp = c.hangUp;
    const UnitResult& r = unit.Go(plan);
    EXPECT_EQ(Outcomes(r), c.outcomes) << c.name << "\n" << r.Transcript;
    EXPECT_EQ(r.Outcome, c.unit) << c.name;
    EXPECT_EQ(r.FirstFailure(), c.firstFailure) << c.name;
    EXPECT_EQ(unit.Lines, c.hangUp ? "D" : "Dd") << c.name;
    EXPECT_EQ(unit.Sent.rfind("SN?\r", 0), 0u) << c.name;
    EXPECT_TRUE(r.Steps[5].Teardown && r.Steps[4].Teardown && !r.Steps[3].Teardown) << c.name;
    if (!c.answersBye) {
      EXPECT_EQ(r.Steps[5].Message, "expected /BYE/ within 0.2 s (teardown: the unit's verdict stands)") << c.name;
    }
    if (c.hangUp) {
      EXPECT_EQ(r.Steps[5].Message, "not run: the device hung up") << c.name;
    }
  }
}

// Host that records each measurement as the run reports it.
class MeasuringUnit : public ScriptedUnit {
 public:
  std::vector<std::string> Reported;
  void MeasurementEnded(size_t index, const Measurement& m) override {
    Reported.push_back(std::to_string(index) + " " + m.Name + " " + MeasureText(m.Outcome));
  }
};

// Elapsed time from the end of an earlier step to a match, or to the end of
// a step without expect; a step that ends first leaves its measurements
// NOT MEASURED, and the host hears of every one.
TEST(PlanRun, ElapsedTimesAndMeasurementsNeverTaken) {
  const Plan plan = ParsePlan(R"(name: p
steps:
  - {name: power_on, set: {dtr: true}}
  - name: boot
    send: "BOOT\r"
    expect: READY
    timeout: 2
    measure: {name: boot_time, elapsed-since: power_on, unit: s, max: 0.05}
    continue-on-failure: true
  - {name: settle, wait: 0.25, measure: {name: since_boot, elapsed-since: boot, unit: ms, min: 240, max: 260}}
  - {name: reading, send: "T?\r", expect: 'T (\d+)', capture: t, measure: {from: t, unit: °C, max: 40}}
)", "p.yaml");
  MeasuringUnit unit;
  unit.Replies = {{"BOOT\r", "READY\r\n"}};
  const UnitResult& r = unit.Go(plan);
  EXPECT_EQ(Outcomes(r), "PASS PASS PASS FAIL") << r.Transcript;
  EXPECT_EQ(r.Outcome, Verdict::Fail);
  EXPECT_EQ(r.Steps[1].Measurements[0].ValueText(), "0.010 s");  // the reply comes 10 ms after BOOT
  EXPECT_EQ(r.Steps[1].Measurements[0].Outcome, MeasureOutcome::Pass);
  EXPECT_EQ(r.Steps[2].Measurements[0].ValueText(), "250 ms");
  EXPECT_EQ(r.Steps[2].Measurements[0].LimitsText(), "[240, 260]");
  const Measurement& t = r.Steps[3].Measurements[0];
  EXPECT_EQ(t.Outcome, MeasureOutcome::NotMeasured);
  EXPECT_FALSE(t.Value);
  EXPECT_EQ(t.ValueText(), "-");
  EXPECT_EQ(t.Message, "not measured: the step ended before it");
  EXPECT_EQ(unit.Reported, (std::vector<std::string>{"1 boot_time PASS", "2 since_boot PASS", "3 t NOT MEASURED"}));

  // Too slow a boot fails its measurement, and the unit with it.
  MeasuringUnit slow;
  const Plan slower = ParsePlan(R"(name: p
steps:
  - {name: power_on, set: {dtr: true}, wait: 0.1}
  - {name: boot, wait: 0.1, measure: {name: boot_time, elapsed-since: power_on, max: 0.05}}
)", "p.yaml");
  const UnitResult& s = slow.Go(slower);
  EXPECT_EQ(Outcomes(s), "PASS FAIL");
  EXPECT_EQ(s.Steps[1].Message, "boot_time = 0.100 s is above the maximum 0.050 s");
}

// The station's own faults end a unit in ERROR, a stop in ABORTED; what the
// unit did wrong outweighs both.
TEST(PlanRun, StationFaultsAndStopsAreNotFailedUnits) {
  const Plan plan = ParsePlan(R"(name: p
steps:
  - {name: first, send: "A\r", expect: X, timeout: 0.1, continue-on-failure: true}
  - {name: second, expect: Y, timeout: 9}
  - {name: third, wait: 1}
)", "p.yaml");
  struct Case {
    const char* name;
    bool firstFails;
    Verdict how;
    std::string outcomes;
    Verdict unit;
  };
  for (const Case& c : std::vector<Case>{
           {"hung up", false, Verdict::Error, "PASS ERROR SKIPPED", Verdict::Error},
           {"stopped", false, Verdict::Aborted, "PASS ABORTED SKIPPED", Verdict::Aborted},
           {"stopped after a failure", true, Verdict::Aborted, "FAIL ABORTED SKIPPED", Verdict::Fail},
       }) {
    ScriptedUnit unit;
    if (!c.firstFails) unit.Replies = {{"A\r", "X\r\n"}};
    PlanRun run(plan, unit, "COM1");
    unit.Run = &run;
    const SteadyTime t0{};
    run.Start(t0);
    for (const auto& d : unit.Due) run.Received(d.second, d.first);
    run.Tick(t0 + 200ms);
    run.Abort("the reason", t0 + 1s, c.how);
    ASSERT_TRUE(run.Done()) << c.name;
    EXPECT_EQ(Outcomes(run.Result()), c.outcomes) << c.name;
    EXPECT_EQ(run.Result().Outcome, c.unit) << c.name;
    EXPECT_EQ(run.Result().FirstFailure(), c.firstFails ? "first" : "second") << c.name;
  }
}

UnitResult Sample(Verdict last) {
  UnitResult u;
  u.Plan = "Board <QC> & \"co\"";
  u.Port = "/dev/pts/3";
  u.UnitId = "SN\x1b[31m\xff";
  u.Started = std::chrono::system_clock::from_time_t(1700000000);
  u.Seconds = 1.5;
  u.Steps = {{"banner", Verdict::Pass, 0.25, {}, {}},
             {"version", last, 1.25, "expected /VER/ within 1.0 s", "nothing arrived"},
             {"rest", Verdict::Skipped, 0, "not run: an earlier step failed", {}}};
  u.Outcome = last == Verdict::Pass ? Verdict::Pass : last;
  u.Transcript = "12:00:00.000 < \"READY\\r\\n\"\n";
  return u;
}

TEST(Reports, JUnitReportsSatisfyTheSchemaForEveryOutcome) {
  UnitResult noPort = Sample(Verdict::Skipped);
  noPort.Error = "COM9: no such port";
  noPort.Outcome = Verdict::Error;
  for (const UnitResult& u : {Sample(Verdict::Pass), Sample(Verdict::Fail), Sample(Verdict::Error), noPort}) {
    const std::string xml = JUnitXml(u);
    EXPECT_EQ(test::JUnitProblems(xml), "") << xml;
  }
  const std::string failed = JUnitXml(Sample(Verdict::Fail));
  EXPECT_NE(failed.find("<testsuite name=\"Board &lt;QC&gt; &amp; &quot;co&quot;\" tests=\"3\" failures=\"1\" "
                        "errors=\"0\" skipped=\"1\" time=\"1.500\""),
            std::string::npos)
      << failed;
  EXPECT_NE(failed.find("<failure message=\"expected /VER/ within 1.0 s\" type=\"FAIL\">"), std::string::npos);
  EXPECT_NE(failed.find("<property name=\"unit-id\" value=\"SN\\x1B[31m\xEF\xBF\xBD\"/>"), std::string::npos);
  EXPECT_NE(JUnitXml(noPort).find("<error message=\"COM9: no such port\" type=\"port\"/>"), std::string::npos);

  // A long transcript: the report keeps its last whole lines.
  UnitResult chatty = Sample(Verdict::Pass);
  chatty.Transcript.clear();
  for (int i = 0; i < 20000; ++i) chatty.Transcript += "12:00:00.000 < \"line " + std::to_string(i) + "\"\n";
  const std::string xml = JUnitXml(chatty);
  EXPECT_LT(xml.size(), 512u * 1024);  // of a 600 KB transcript
  EXPECT_NE(xml.find("<system-out>[the transcript's start is in the .log file]\n12:00:00.000"), std::string::npos);
  EXPECT_NE(xml.find("line 19999"), std::string::npos);
  EXPECT_EQ(test::JUnitProblems(xml), "");
}

// A step's measurements are properties of its testcase; a stopped unit's
// step is an <error> with its reason.
TEST(Reports, MeasurementsAreTestcasePropertiesAndAStopIsAnError) {
  UnitResult u = Sample(Verdict::Fail);
  Measurement vbat;
  vbat.Name = "vbat";
  vbat.Value = 3.452;
  vbat.Text = "3.452";
  vbat.Unit = "V";
  vbat.Min = 3.2;
  vbat.Max = 3.4;
  vbat.MarginLow = 3.22;
  vbat.Outcome = MeasureOutcome::Fail;
  Measurement garbled;
  garbled.Name = "temp";
  garbled.Text = "4<1";
  garbled.Outcome = MeasureOutcome::Fail;
  Measurement later;
  later.Name = "current";
  u.Steps[1].Measurements = {vbat, garbled, later};
  u.Steps[1].Message = "vbat = 3.452 V is above the maximum 3.400 V";
  u.Steps[0].Measurements = {vbat};
  u.Steps[0].Measurements[0].Outcome = MeasureOutcome::Marginal;
  u.Steps[0].Tries = 3;
  const std::string xml = JUnitXml(u);
  EXPECT_EQ(test::JUnitProblems(xml), "") << xml;
  EXPECT_NE(xml.find(R"(<testcase name="version" classname="Board &lt;QC&gt; &amp; &quot;co&quot;.SN__31m_" time="1.250">
      <properties>
        <property name="vbat" value="3.452"/>
        <property name="vbat.unit" value="V"/>
        <property name="vbat.min" value="3.2"/>
        <property name="vbat.max" value="3.4"/>
        <property name="vbat.marginal-min" value="3.22"/>
        <property name="vbat.outcome" value="FAIL"/>
        <property name="temp" value=""/>
        <property name="temp.outcome" value="FAIL"/>
        <property name="temp.text" value="4&lt;1"/>
        <property name="current" value=""/>
        <property name="current.outcome" value="NOT MEASURED"/>
      </properties>
      <failure message="vbat = 3.452 V is above the maximum 3.400 V" type="FAIL">)"),
            std::string::npos)
      << xml;
  EXPECT_NE(xml.find("<property name=\"vbat.outcome\" value=\"MARGINAL\"/>\n        <property name=\"tries\" "
                     "value=\"3\"/>\n      </properties>\n    </testcase>"),
            std::string::npos)
      << xml;

  UnitResult stopped = Sample(Verdict::Aborted);
  stopped.Steps[1].Message = "stopped by the operator";
  const std::string aborted = JUnitXml(stopped);
  EXPECT_EQ(test::JUnitProblems(aborted), "") << aborted;
  EXPECT_NE(aborted.find("failures=\"0\" errors=\"1\""), std::string::npos) << aborted;
  EXPECT_NE(aborted.find("<error message=\"stopped by the operator\" type=\"ABORTED\">"), std::string::npos) << aborted;
  EXPECT_NE(ResultsLine(stopped).find(",ABORTED,version,"), std::string::npos) << ResultsLine(stopped);
}

TEST(Reports, FilesPerUnitAndOneResultsLogAcrossUnits) {
  test::ScratchDir dir;
  const std::string here = dir.path().string();
  const UnitResult u = Sample(Verdict::Fail);
  const ReportFiles first = WriteReports(u, here);
  const ReportFiles second = WriteReports(u, here);
  const std::string stem = "SN__31m_-" + [&] {
    char buf[32];
    const std::time_t t = std::chrono::system_clock::to_time_t(u.Started);
    std::tm tm{};
    localtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
    return std::string(buf);
  }();
  EXPECT_EQ(first.Xml, here + "/" + stem + ".xml");
  EXPECT_EQ(second.Log, here + "/" + stem + "-2.log");
  EXPECT_EQ(test::ReadFile(first.Log), u.Transcript);
  const std::string csv = test::ReadFile(here + "/results.csv");
  const std::string line = ResultsLine(u);
  EXPECT_EQ(csv, std::string(kResultsHeader) + "\n" + line + "\n" + line + "\n");
  EXPECT_NE(line.find(",\"Board <QC> & \"\"co\"\"\",/dev/pts/3,"), std::string::npos) << line;
  EXPECT_NE(line.find(",FAIL,version,1.500"), std::string::npos) << line;
}

}  // namespace
}  // namespace zav::qc
