// mero test: a QC plan run on one or more ports, each port one unit, all at
// once on this thread; a verdict per step and per unit, and the reports.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <utility>

#include "MeroQc.h"
#include "MeroTransfer.h"
#include "qc/RecordDb.h"
#include "qc/Report.h"
#include "serial/QxExcept.h"

namespace zav::mero {

namespace {

const char* const kHelp =
    "usage: mero test PLAN --port PORT [--port PORT ...] [--unit-id ID ...] [--report DIR]\n"
    "                 [--station NAME] [--operator NAME] [--db URL] [--yes]\n"
    "       mero test --check PLAN\n"
    "Runs a QC plan on each PORT at once, one unit per port: each step PASS or FAIL\n"
    "(ERROR when the station could not test it) and each measurement as it ends,\n"
    "then the unit's verdict and a summary. Per unit, DIR (default: the\n"
    "current directory) gets UNIT-YYYYmmdd-HHMMSS.xml (JUnit), UNIT-...log (the\n"
    "transcript), UNIT-...json (the unit's record) and a line in results.csv; UNIT\n"
    "is the unit id, else the port. Each record also goes into a database (DIR/\n"
    "results.db unless --db names one); one that cannot go in yet waits in DIR/spool\n"
    "and goes in with the next unit, or with \"mero results --flush\".\n"
    "  --port PORT      a port to test (COMn or a device path); repeatable\n"
    "  --unit-id ID     the unit's id, one per --port in order (checked against the\n"
    "                   plan's unit-id step when it has one)\n"
    "  --report DIR     where reports go\n"
    "  --station NAME   the station the records name (default: the host name)\n"
    "  --operator NAME  the operator the records name\n"
    "  --db URL         postgresql://USER@HOST[:PORT]/DB, or an SQLite file\n"
    "  --yes            answer every operator prompt yes (else a prompt fails)\n"
    "  --quiet          no \"mero: PORT: open at ...\" line as each port opens\n"
    "  --check          only read and check the plan\n"
    "Exit status: 0 every unit passed, 1 a unit failed, 2 bad arguments or plan,\n"
    "3 a unit could not be tested (port, line or station error, or stopped) and\n"
    "none failed.\n";

using Clock = std::chrono::steady_clock;

// The label column fits the longest port name of the run (network addresses
// are long).
int gLabelWidth = 12;

std::string MakeReceiveDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/mero-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw ToolError("cannot make a directory for received files: " +
                                                          std::string(std::strerror(errno)));
  return pattern;
}

PortOptions LineOf(const qc::Plan& plan, const std::string& port) {
  PortOptions o;
  o.Port = port;
  o.Baud = plan.Line.Baud;
  o.DataBits = plan.Line.DataBits;
  o.Parity = TParity(int(plan.Line.Parity));
  o.StopBits = plan.Line.StopBits;
  o.Flow = PortOptions::TFlow(int(plan.Line.Flow));
  return o;
}

}  // namespace

PortUnit::PortUnit(const qc::Plan& plan, const PortOptions& line, std::string givenId, bool yes)
    : plan_(plan), line_(line), label_(line.Port), yes_(yes) {
  // Received files wait in a directory of their own until their step checked them.
  auto receives = [](const std::vector<qc::Step>& steps) {
    return std::any_of(steps.begin(), steps.end(),
                       [](const qc::Step& s) { return s.Transfer && !s.Transfer->Sending; });
  };
  if (receives(plan.Setup) || receives(plan.Steps) || receives(plan.Teardown)) receiveDir_ = MakeReceiveDir();
  run_ = std::make_unique<qc::PlanRun>(plan, *this, line.Port, std::move(givenId), receiveDir_);
}

PortUnit::~PortUnit() {
  transfers_.reset();  // aborts a running transfer
  // Closing serves the port's last events: none may reach the run any more.
  if (port_) port_->Port().SetOnTriggerAvail(nullptr);
  line_out_.reset();
  port_.reset();
  if (!receiveDir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(receiveDir_, ignored);
  }
}

bool PortUnit::Start() {
  try {
    port_ = std::make_unique<ToolPort>(line_);
  } catch (const std::exception& e) {
    std::vector<std::string> steps;
    for (size_t i = 0; i < run_->StepCount(); ++i) steps.push_back(run_->StepName(i));
    failed_ = UnopenedUnit(plan_.Name, label_, steps, e.what());
    std::fprintf(stderr, "mero: %s: %s\n", label_.c_str(), e.what());
    return false;
  }
  line_out_ = std::make_unique<qc::PlanLine>(port_->Port());
  transfers_ = std::make_unique<qc::PlanTransfer>(port_->Port(), plan_.Settle);
  port_->Port().SetOnTriggerAvail([this](TMroCustomComPort*, uint16_t) {
    if (transfers_->Running()) return;  // the protocol reads them
    run_->Received(port_->ReadAll(), Clock::now());
  });
  AnnounceReady(line_);
  run_->Start(Clock::now());
  return true;
}

void PortUnit::Service() {
  if (Done()) return;
  const auto now = Clock::now();
  if (!RunOver()) {
    // A transfer's end first (none starts here: a stop or a hang-up comes
    // before); what came after it is the run's again.
    const bool wasRunning = transfers_->Running();
    if (transfers_->Pump(*run_, now, false) && wasRunning && !RunOver()) run_->Received(port_->ReadAll(), now);
    // Once each: the plan's teardown still runs after the stop.
    if (StopRequested() && !stopped_) {
      stopped_ = true;
      CancelTransfer();
      run_->Abort("stopped by a signal", now, qc::Verdict::Aborted);
    } else if (port_->DeviceGone() && !gone_) {
      gone_ = true;
      line_out_->Clear();
      CancelTransfer();
      run_->Abort("the device hung up", now, qc::Verdict::Error, true);
    }
  } else if (port_->DeviceGone()) {
    gone_ = true;  // what the plan left on the line can no longer go
    line_out_->Clear();
  }
  if (std::string failed = line_out_->Pump(Clock::now()); !failed.empty()) lineFailure_ = std::move(failed);
  if (RunOver()) {
    // A line that takes nothing (flow control held off) does not keep mero forever.
    if (!overAt_) overAt_ = now;
    if (!line_out_->Idle() && now - *overAt_ > std::chrono::seconds(10)) {
      std::fprintf(stderr, "mero: %s: the line took nothing for 10 s; what the plan left on it is dropped\n",
                   label_.c_str());
      line_out_->Clear();
    }
    return;
  }
  if (!lineFailure_.empty()) run_->Abort(std::exchange(lineFailure_, {}), Clock::now(), qc::Verdict::Error);
  transfers_->Pump(*run_, Clock::now(), line_out_->Idle());
  run_->Tick(Clock::now());
}

std::chrono::milliseconds PortUnit::Idle() const {
  using std::chrono::milliseconds;
  if (Done()) return milliseconds(1000);
  milliseconds idle(500);  // also how soon a hang-up is seen
  const auto now = Clock::now();
  for (const auto wake : {run_->NextWake(), transfers_ ? transfers_->NextWake() : std::nullopt,
                          line_out_ ? line_out_->NextWake(now) : std::nullopt}) {
    if (!wake) continue;
    const auto left = std::chrono::ceil<milliseconds>(*wake - Clock::now());
    idle = std::clamp(left, milliseconds(0), idle);
  }
  return idle;
}

bool PortUnit::RunOver() const { return failed_ || run_->Done(); }

// The unit is over once what its plan put on the line has gone too (a
// teardown's last line change, say).
bool PortUnit::Done() const { return RunOver() && (failed_ || gone_ || !line_out_ || line_out_->Idle()); }

qc::UnitResult PortUnit::Result() const { return failed_ ? *failed_ : run_->Result(); }

// The line's actions go out in the plan's order from Service; one that
// fails there ends the unit as the station's fault.
void PortUnit::Send(const std::string& bytes) {
  line_out_->Send(bytes);
  if (std::string failed = line_out_->Pump(Clock::now()); !failed.empty()) lineFailure_ = std::move(failed);
}

std::string PortUnit::SetLines(std::optional<bool> dtr, std::optional<bool> rts) {
  line_out_->SetLines(dtr, rts);
  return {};
}

std::string PortUnit::SendBreak(int ms) {
  line_out_->Break(ms);
  return {};
}

void PortUnit::StartTransfer(const qc::TransferStep& t, const std::string& dir) {
  transfers_->Request(t, dir);  // started by Service, in the plan's order
}

void PortUnit::CancelTransfer() { transfers_->Cancel(); }

void PortUnit::Ask(const std::string& question) {
  // No one to ask here: --yes stands for the operator.
  if (!yes_) std::printf("%s  prompt: %s (no operator: give --yes to answer yes)\n", label_.c_str(), question.c_str());
  run_->Answer(yes_, Clock::now());
}

void PortUnit::StepEnded(size_t, const qc::StepResult& result) { PrintStep(label_, result); }

void PortUnit::MeasurementEnded(size_t index, const qc::Measurement& m) {
  PrintMeasurement(label_, run_->StepName(index), m);
}

void PrintMeasurement(const std::string& label, const std::string& step, const qc::Measurement& m) {
  const std::string limits = m.LimitsText();
  std::printf("%-*s %-28s %s = %s%s%s  %s\n", gLabelWidth, label.c_str(), qc::Printable(step, 60).c_str(),
              qc::Printable(m.Name, 60).c_str(), m.ValueText().c_str(), limits.empty() ? "" : "  ", limits.c_str(),
              qc::MeasureText(m.Outcome));
  std::fflush(stdout);
}

void PrintStep(const std::string& label, const qc::StepResult& step) {
  std::printf("%-*s %-28s %-7s %7.2f s%s%s\n", gLabelWidth, label.c_str(), qc::Printable(step.Name, 60).c_str(),
              qc::VerdictText(step.Outcome), step.Seconds, step.Message.empty() ? "" : "  ",
              step.Message.c_str());
  if (step.Outcome == qc::Verdict::Fail && !step.Detail.empty())
    std::printf("%-*s %-28s         %s\n", gLabelWidth, label.c_str(), "", step.Detail.c_str());
  std::fflush(stdout);
}

std::string Keeping::Database() const { return Db.empty() ? qc::DefaultDatabase(Dir) : Db; }

bool RecordOption(ArgReader& args, const std::string& word, Keeping& keeping) {
  if (word == "--station")
    keeping.Context.Station = args.Value(word);
  else if (word == "--operator")
    keeping.Context.Operator = args.Value(word);
  else if (word == "--db")
    keeping.Db = args.Value(word);
  else
    return false;
  return true;
}

bool FinishUnit(const std::string& label, const qc::UnitResult& unit, const Keeping& keeping,
                const std::string& line) {
  try {
    qc::RecordContext context = keeping.Context;
    context.Line = line;
    const qc::ReportFiles files = qc::WriteReports(unit, keeping.Dir, context);
    std::printf("%-*s %s  unit %s  %.2f s  report %s\n", gLabelWidth, label.c_str(), qc::VerdictText(unit.Outcome),
                unit.UnitId.empty() ? "(no id)" : qc::Printable(unit.UnitId, 60).c_str(), unit.Seconds,
                files.Xml.c_str());
    std::fflush(stdout);
    return true;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mero: %s: %s\n", label.c_str(), e.what());
    return false;
  }
}

bool StoreRecords(const Keeping& keeping) {
  const qc::SpoolOutcome out = qc::FlushSpool(keeping.Dir, keeping.Database());
  if (out.Waiting == 0 && out.Problem.empty()) return true;
  std::fprintf(stderr, "mero: %zu record%s wait%s in %s/spool: %s\n", out.Waiting, out.Waiting == 1 ? "" : "s",
               out.Waiting == 1 ? "s" : "", keeping.Dir.c_str(), out.Problem.c_str());
  return false;
}

int Summary(const std::vector<qc::UnitResult>& units) {
  size_t passed = 0, failed = 0;
  for (const auto& u : units) {
    passed += u.Outcome == qc::Verdict::Pass;
    failed += u.Outcome == qc::Verdict::Fail;
  }
  const size_t untested = units.size() - passed - failed;
  std::printf("%zu unit%s: %zu passed, %zu failed", units.size(), units.size() == 1 ? "" : "s", passed, failed);
  if (untested > 0) std::printf(", %zu not tested", untested);
  std::printf("\n");
  return failed > 0 ? kExitFailed : untested > 0 ? kExitUntested : kExitOk;
}

qc::UnitResult UnopenedUnit(const std::string& plan, const std::string& port, const std::vector<std::string>& steps,
                            const std::string& reason) {
  qc::UnitResult u;
  u.Plan = plan;
  u.Port = port;
  u.Started = std::chrono::system_clock::now();
  u.Outcome = qc::Verdict::Error;
  u.Error = reason;
  for (const auto& s : steps) u.Steps.push_back({s, qc::Verdict::Skipped, 0, "not run: the port did not open", {}, {}});
  return u;
}

void CheckReportDir(const std::string& dir) {
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) throw UsageError("--report " + dir + " is not a directory");
  if (access(dir.c_str(), W_OK) != 0) throw UsageError("--report " + dir + ": " + std::strerror(errno));
}

int RunTest(ArgReader& args) {
  std::string planPath;
  Keeping keeping;
  std::vector<std::string> ports, ids;
  bool check = false, yes = false, quiet = false;
  std::string word;
  while (NextOption(args, kHelp, word)) {
    if (word == "--port") {
      ports.push_back(args.Value(word));
    } else if (word == "--unit-id") {
      ids.push_back(args.Value(word));
    } else if (word == "--report") {
      keeping.Dir = args.Value(word);
    } else if (RecordOption(args, word, keeping)) {
    } else if (word == "--check") {
      check = true;
    } else if (word == "--yes") {
      yes = true;
    } else if (word == "--quiet") {
      quiet = true;
    } else if (word.rfind("--", 0) == 0 || !planPath.empty()) {
      throw UsageError("unexpected \"" + word + "\"");
    } else {
      planPath = word;
    }
  }
  if (planPath.empty()) throw UsageError("no PLAN given");
  qc::Plan plan;
  try {
    plan = qc::LoadPlan(planPath);
  } catch (const qc::PlanError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return kExitUsage;
  }
  if (check) {
    std::printf("%s: plan \"%s\", %zu step%s: OK\n", planPath.c_str(), plan.Name.c_str(), plan.Steps.size(),
                plan.Steps.size() == 1 ? "" : "s");
    return kExitOk;
  }
  if (ports.empty()) throw UsageError("no --port given");
  if (!ids.empty() && ids.size() != ports.size())
    throw UsageError("--unit-id goes once per --port (" + std::to_string(ports.size()) + " ports, " +
                     std::to_string(ids.size()) + " ids)");
  for (size_t i = 0; i < ports.size(); ++i)
    if (std::count(ports.begin(), ports.end(), ports[i]) > 1) throw UsageError("port " + ports[i] + " given twice");
  CheckReportDir(keeping.Dir);
  keeping.Context.Version = ProgramVersion();
  for (const auto& p : ports) gLabelWidth = std::max(gLabelWidth, int(std::min<size_t>(p.size(), 60)));

  InstallStopSignals();
  std::vector<std::unique_ptr<PortUnit>> units;
  for (size_t i = 0; i < ports.size(); ++i) {
    PortOptions line = LineOf(plan, ports[i]);
    line.Quiet = quiet;
    units.push_back(std::make_unique<PortUnit>(plan, line, ids.empty() ? "" : ids[i], yes));
  }
  for (auto& u : units) u->Start();
  while (std::any_of(units.begin(), units.end(), [](const auto& u) { return !u->Done(); })) {
    auto idle = std::chrono::milliseconds(1000);
    for (const auto& u : units) idle = std::min(idle, u->Idle());
    WaitAndPump(-1, idle);
    for (auto& u : units) u->Service();
  }
  std::vector<qc::UnitResult> results;
  bool written = true;
  for (const auto& u : units) {
    results.push_back(u->Result());
    written = FinishUnit(u->Label(), results.back(), keeping, SettingsText(u->Line())) && written;
  }
  StoreRecords(keeping);
  units.clear();  // ports close (and their last bytes leave) before the summary
  const int code = Summary(results);
  return written ? code : kExitFailed;
}

}  // namespace zav::mero
