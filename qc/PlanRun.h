// One unit going through a plan: an event-driven run that never blocks.
//
// The host owns the port. It hands the run what arrives (Received), calls
// Tick when the time the run asked for has come (NextWake), and carries out
// what the run asks of the line (RunHost). Transfers and operator prompts
// are asked for and answered later (TransferEnded, Answer), from any depth
// of the host's own code, also from inside the request. All times are the
// host's steady clock, so tests can drive a run without waiting.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qc/Plan.h"
#include "qc/StreamMatch.h"

namespace zav::qc {

using SteadyTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

// Fail: the unit did something wrong. Error: the station could not test it
// (the port, a modem-line call, a break, a transfer that could not start, a
// pattern at its match limit). Aborted: stopped by the operator or a signal.
enum class Verdict { Pass, Fail, Error, Skipped, Running, Aborted };
// "PASS", "FAIL", "ERROR", "SKIPPED", "RUNNING", "ABORTED"
const char* VerdictText(Verdict v);

enum class MeasureOutcome { Pass, Marginal, Fail, NotMeasured };
const char* MeasureText(MeasureOutcome m);  // "PASS", "MARGINAL", "FAIL", "NOT MEASURED"

struct Measurement {
  std::string Name;
  std::optional<double> Value;  // none: not measured, or not a number
  std::string Text;             // what arrived (an elapsed time: the value)
  std::string Unit;
  std::optional<double> Min, Max, MarginLow, MarginHigh;
  MeasureOutcome Outcome = MeasureOutcome::NotMeasured;
  std::string Message;  // why it failed or was not measured
  // The value, and the limits with the value's precision: "3.452 V", "[3.200, 3.400]".
  std::string ValueText() const;
  std::string LimitsText() const;
};

struct StepResult {
  std::string Name;
  Verdict Outcome = Verdict::Skipped;
  double Seconds = 0;
  std::string Message;  // one line: what went wrong, or what was skipped
  std::string Detail;   // more: what arrived last and when
  std::vector<Measurement> Measurements{};
  int Tries = 0;          // how many times it ran (retry: more than once)
  bool Teardown = false;  // a teardown step: never changes the unit's verdict
};

struct UnitResult {
  std::string Plan, Port, UnitId;
  std::string PlanFile, PlanSha256;
  WallTime Started{};
  double Seconds = 0;
  Verdict Outcome = Verdict::Running;
  std::string Error;  // why the unit could not be tested (a port that did not open)
  std::vector<StepResult> Steps;
  std::string Transcript;  // one line per piece, both directions, time-stamped
  std::map<std::string, std::string> Variables;  // every captured variable, at the end
  std::vector<std::string> ReceivedFiles;          // paths of the files transfer steps received
  // The first step that did not pass, or empty.
  std::string FirstFailure() const;
};

// What a run asks of the port.
class RunHost {
 public:
  virtual ~RunHost() = default;
  // Queues bytes for the line; nothing is dropped.
  virtual void Send(const std::string& bytes) = 0;
  // Sets the modem control lines; an empty text, or why it failed.
  virtual std::string SetLines(std::optional<bool> dtr, std::optional<bool> rts) = 0;
  // Sends a break of `ms` milliseconds; an empty text, or why it failed.
  virtual std::string SendBreak(int ms) = 0;
  // Starts a transfer; its end comes through PlanRun::TransferEnded. A
  // received file goes into `dir`.
  virtual void StartTransfer(const TransferStep& transfer, const std::string& dir) = 0;
  // Stops a running transfer (its end still comes through TransferEnded).
  virtual void CancelTransfer() = 0;
  // Asks the operator; the answer comes through PlanRun::Answer.
  virtual void Ask(const std::string& question) = 0;
  // The question asked last needs no answer any more (its time ran out, or
  // the run stopped): the host takes it away from the operator. An answer
  // that still comes before the next question is ignored.
  virtual void AskWithdrawn() {}
  // Progress, for a display.
  virtual void StepStarted(size_t /*index*/, const std::string& /*name*/) {}
  virtual void StepEnded(size_t /*index*/, const StepResult& /*result*/) {}
  // A measurement of the running step has its outcome (NOT MEASURED ones
  // come as their step ends, before StepEnded).
  virtual void MeasurementEnded(size_t /*index*/, const Measurement& /*m*/) {}
};

class PlanRun {
 public:
  // `unitId` given by the operator names the unit (and must agree with the
  // plan's unit-id step when there is one); `receiveDir` is where transfer
  // steps put received files.
  PlanRun(const Plan& plan, RunHost& host, std::string port, std::string unitId = {},
          std::string receiveDir = ".");
  ~PlanRun();
  PlanRun(const PlanRun&) = delete;
  PlanRun& operator=(const PlanRun&) = delete;

  void Start(SteadyTime now, WallTime wallNow = std::chrono::system_clock::now());
  void Received(std::string_view bytes, SteadyTime now);
  void Tick(SteadyTime now);
  void TransferEnded(bool ok, const std::string& message, SteadyTime now);
  // The host could not start the transfer asked for: the station's fault.
  void TransferNotStarted(const std::string& why, SteadyTime now);
  void Answer(bool yes, SteadyTime now);
  // The line went away (Error), or the operator or a signal stopped the run
  // (Aborted): the step running ends so with `reason`, the rest are skipped
  // and the teardown runs, unless `lineGone` (nothing could reach the unit)
  // or the teardown itself is what was stopped.
  void Abort(const std::string& reason, SteadyTime now, Verdict how = Verdict::Error, bool lineGone = false);

  bool Done() const { return done_; }
  // When Tick should next be called; nullopt: only an event moves the run.
  std::optional<SteadyTime> NextWake() const;
  const UnitResult& Result() const { return result_; }
  const std::map<std::string, std::string>& Variables() const { return vars_; }
  // Index of the step running: setup steps first, then the unit-id step,
  // the steps, and the teardown steps.
  size_t Current() const { return index_; }
  size_t StepCount() const { return steps_.size(); }
  const std::string& StepName(size_t i) const { return steps_[i]->Name; }

 private:
  enum class Phase { Begin, Transfer, Expect, Absent, Wait, Prompt, End };
  void Advance(SteadyTime now);
  bool RunPhase(SteadyTime now);  // false: waiting for time or an event
  void BeginStep(SteadyTime now);
  // Ends the running step; true, so a phase can return it.
  bool EndStep(Verdict v, SteadyTime now, std::string message = {}, std::string detail = {});
  void Finish(SteadyTime now);
  bool Matched(SteadyTime now);
  std::string Filled(const SendText& text, std::string& missing) const;
  std::string ArrivedLast(SteadyTime now) const;
  // Takes the step's measurements that are due (elapsed ones only at the
  // match, or at the end of a step without expect); the first failure's text.
  std::string Measure(SteadyTime now, bool atEnd, const std::vector<std::string>& groups);
  std::string Stamp(SteadyTime now) const;
  void Note(SteadyTime now, char direction, std::string_view bytes);
  void LineSent(const std::string& bytes, SteadyTime now);

  const Plan& plan_;
  RunHost& host_;
  std::vector<const Step*> steps_;
  std::string givenId_, receiveDir_;
  UnitResult result_;
  std::map<std::string, std::string> vars_;
  StreamText text_;
  std::unique_ptr<StreamSearch> search_;
  SteadyTime start_{}, stepStart_{}, deadline_{}, lastArrival_{};
  bool arrived_ = false;           // something arrived in this step
  std::string tail_;               // the last bytes that arrived, for failure texts
  std::optional<SteadyTime> settleAt_;
  WallTime wallStart_{};
  size_t index_ = 0;
  size_t teardownStart_ = 0;        // index of the first teardown step
  SteadyTime firstTry_{};           // when the running step's first try began
  std::string skipReason_ = "an earlier step failed";
  Phase phase_ = Phase::Begin;
  bool started_ = false, done_ = false, inAdvance_ = false, failed_ = false;
  std::optional<std::pair<bool, std::string>> transferEnd_;
  bool transferNotStarted_ = false;
  bool measured_ = false;  // the running step's measurements are taken
  std::map<std::string, SteadyTime> stepEnds_;  // for elapsed-since
  std::optional<bool> answer_;
  bool asking_ = false;  // a question is out and its answer not in
  bool cancelled_ = false;  // a transfer over its time is being cancelled
  bool phaseStarted_ = false;
  // The transcript line being gathered: its direction, first byte's time, bytes.
  char pendingDir_ = 0;
  std::string pendingStamp_, pending_;
};

// Local time as HH:MM:SS.mmm, the transcripts' time stamp.
std::string TimeStamp(WallTime t);

// A byte string as a C-style quoted text (\r, \n, \xHH) for one-line display.
std::string Printable(std::string_view bytes, size_t limit = 200);

}  // namespace zav::qc
