// A QC test plan: the line settings and the steps one unit goes through, read
// from a YAML file. Loading checks everything that can be checked without a
// port (keys, types, ranges, patterns, files, variables), so a bad plan never
// opens one; each fault is reported as PLAN:LINE:COLUMN: what is wrong.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "qc/StreamMatch.h"

namespace zav::qc {

class PlanError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct LineSettings {
  long Baud = 115200;
  int DataBits = 8;
  enum TParity { None, Odd, Even, Mark, Space } Parity = None;
  int StopBits = 1;
  enum TFlow { NoFlow, RtsCts, XonXoff } Flow = NoFlow;
};

// A text to send: escapes are already bytes; ${name} parts are filled in
// from the captured variables when the step runs.
struct SendText {
  struct Piece {
    bool Variable = false;
    std::string Text;  // the bytes, or the variable's name
  };
  std::vector<Piece> Pieces;
  bool Empty() const { return Pieces.empty(); }
};

// A value a step measures and the limits it must lie within. A `check:`
// is a measurement without a unit.
struct Measure {
  std::string Name;
  std::string Variable;  // a captured variable, or
  int Group = 0;         // a group of the step's expect, or
  std::string Since;     // the end of this earlier step to the match (elapsed time)
  std::string Unit;      // free text shown with the value; s or ms for elapsed time
  std::optional<double> Min, Max;
  // The marginal band: a value outside [MarginLow, MarginHigh] but within
  // the limits passes, marked MARGINAL.
  std::optional<double> MarginLow, MarginHigh;
  std::shared_ptr<Pattern> Match;  // the whole value must match (checks only)
  bool FromCheck = false;          // written as check: (its messages as ever)
};
using Check = Measure;

struct TransferStep {
  std::string Protocol;  // a protocol word of mero send/recv
  bool Sending = true;
  std::string File;                   // sent, or received under this name
  std::optional<uint64_t> Size;       // a received file's expected size
  std::string SameAs;                 // a received file must equal this one
};

struct Step {
  std::string Name;
  int Line = 0;  // where the step starts in the plan
  std::optional<bool> Dtr, Rts;
  std::optional<int> BreakMs;
  std::string SendFile;     // path resolved against the plan's directory
  SendText Send;
  std::optional<TransferStep> Transfer;
  std::shared_ptr<Pattern> Expect;
  std::vector<std::string> Capture;  // group i+1 into Capture[i]
  std::vector<Measure> Checks;  // check: entries first, then measure:
  std::shared_ptr<Pattern> Absent;
  double For = 0;        // seconds the absent pattern is watched for
  double Timeout = 5;    // seconds for expect (and transfer, prompt)
  double Wait = 0;       // seconds to wait at the end
  std::string Prompt;
  bool ContinueOnFailure = false;
  int Retry = 0;  // a failed step runs again up to this many times
  // A step with nothing but a transfer has its own time limit (by size).
  bool TimeoutGiven = false;
};

struct Plan {
  std::string Name;
  std::string Path;  // the file it came from
  std::string Sha256;  // of the file's text, lower-case hex: which plan a record ran
  LineSettings Line;
  std::optional<Step> UnitId;  // group 1 of its expect names the unit
  std::vector<Step> Steps;
  // Setup runs before the unit-id step; teardown after the last step, however
  // the unit ended, and never changes its verdict.
  std::vector<Step> Setup, Teardown;
  // Seconds of quiet after which a match that could still grow is taken.
  double Settle = 0.1;
};

// Reads and checks a plan file; throws PlanError("PATH:LINE:COLUMN: ...").
Plan LoadPlan(const std::string& path);
// The same from text (the path names it in errors; files are looked for
// beside it).
Plan ParsePlan(const std::string& text, const std::string& path);

// Text with \r \n \t \e \\ \xHH escapes turned into bytes; throws
// std::invalid_argument naming a bad escape.
std::string UnescapeText(const std::string& text);
// Splits a send text into bytes and ${variable} pieces.
SendText ParseSendText(const std::string& text);

}  // namespace zav::qc
