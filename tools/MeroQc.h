// What mero test and mero selftest share: a plan's unit on an open port, the
// lines they print and the reports they leave.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Mero.h"
#include "qc/PlanLine.h"
#include "qc/PlanTransfer.h"
#include "qc/PlanRun.h"
#include "qc/Record.h"

namespace zav::mero {

// Prints a step's line as it ends: "LABEL  STEP  PASS  0.52 s  message".
void PrintStep(const std::string& label, const qc::StepResult& step);
// Prints a measurement as it ends: "LABEL  STEP  vbat = 3.452 V  [3.200, 3.400]  FAIL".
void PrintMeasurement(const std::string& label, const std::string& step, const qc::Measurement& m);
// Where a run's reports and records go.
struct Keeping {
  std::string Dir = ".";  // the report directory
  std::string Db;         // a database URL; empty: DIR/results.db
  qc::RecordContext Context;
  std::string Database() const;
};
// Writes the unit's reports and record into the report directory and prints
// its closing line; a report that cannot be written is said on stderr and
// fails the unit. `line` is the port's settings for the record.
bool FinishUnit(const std::string& label, const qc::UnitResult& unit, const Keeping& keeping,
                const std::string& line);
// Offers the spooled records to the database; says on stderr what still
// waits and why. True when none waits.
bool StoreRecords(const Keeping& keeping);
// Reads --station, --operator and --db into `keeping`; false: not one of them.
bool RecordOption(ArgReader& args, const std::string& word, Keeping& keeping);
// Prints the summary of all units and returns the exit code: kExitFailed
// when a unit failed, else kExitUntested when one could not be tested.
int Summary(const std::vector<qc::UnitResult>& units);
// A unit whose port did not open: every step skipped, the reason as its error.
qc::UnitResult UnopenedUnit(const std::string& plan, const std::string& port, const std::vector<std::string>& steps,
                            const std::string& reason);
// Checks that `dir` is a directory we can write reports into (UsageError).
void CheckReportDir(const std::string& dir);

// One unit of a plan on its own port: the port's bytes go to the run, the
// run's requests go to the port. Everything happens on the calling thread.
class PortUnit : public qc::RunHost {
 public:
  PortUnit(const qc::Plan& plan, const PortOptions& line, std::string givenId, bool yes);
  ~PortUnit() override;
  // Opens the port and starts the run; false when the port did not open
  // (Result() then holds the reason).
  bool Start();
  // Moves the run on: a port that went away, bytes waiting to go, the time.
  void Service();
  // How long the caller may sleep before the next Service.
  std::chrono::milliseconds Idle() const;
  bool Done() const;
  qc::UnitResult Result() const;
  const std::string& Label() const { return label_; }
  const PortOptions& Line() const { return line_; }

  void Send(const std::string& bytes) override;
  std::string SetLines(std::optional<bool> dtr, std::optional<bool> rts) override;
  std::string SendBreak(int ms) override;
  void StartTransfer(const qc::TransferStep& transfer, const std::string& dir) override;
  void CancelTransfer() override;
  void Ask(const std::string& question) override;
  void StepEnded(size_t index, const qc::StepResult& result) override;
  void MeasurementEnded(size_t index, const qc::Measurement& m) override;

 private:
  const qc::Plan& plan_;
  PortOptions line_;
  std::string label_, receiveDir_;
  bool yes_;
  std::unique_ptr<ToolPort> port_;
  std::unique_ptr<qc::PlanRun> run_;
  std::unique_ptr<qc::PlanTransfer> transfers_;  // made with the port
  bool RunOver() const;  // the run has its verdict (the line may still be busy)
  std::optional<qc::UnitResult> failed_;
  bool stopped_ = false, gone_ = false;  // the run was told
  std::unique_ptr<qc::PlanLine> line_out_;  // what the plan puts on the line, in its order
  std::string lineFailure_;                 // a line action that failed, for the run
  std::optional<std::chrono::steady_clock::time_point> overAt_;  // when the run had its verdict
};

}  // namespace zav::mero
