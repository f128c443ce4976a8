// What the unit records of a database say, per plan: yield and first-pass
// yield, the steps that fail most and the station's errors, and each
// measurement's spread against its limits with its capability. Counted in
// the database and in one pass over the values, so a year of records is never
// held in memory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "qc/RecordDb.h"

namespace zav::qc {

struct SummaryFilter {
  std::string Plan, Station;
  std::string From, To;  // YYYY-MM-DD, both days included (UTC)
  std::string Unit;      // a unit id pattern: * any text, ? one character
};

// Records and units of a plan, or of one station, operator or day of it. A
// unit id tested several times counts once: by its last test for the yield
// and its first for the first-pass yield. ERROR and ABORTED records are not
// tests of the unit: they are counted apart.
struct Tally {
  std::string Key;  // the station, operator or day; empty for the whole plan
  uint64_t Records = 0, Pass = 0, Fail = 0, Error = 0, Aborted = 0;
  uint64_t Units = 0;          // units with a PASS or FAIL record
  uint64_t UnitsPassed = 0;    // whose last test passed
  uint64_t FirstPassed = 0;    // whose first test passed
  uint64_t UntestedUnits = 0;  // units with only ERROR or ABORTED records
  uint64_t Retests() const { return Pass + Fail - Units; }
  std::optional<double> Yield() const;
  std::optional<double> FirstPassYield() const;
};

struct Cause {
  std::string What;
  uint64_t Count = 0;
  double Share = 0;  // of the records it is counted among
};

struct Bin {
  double From = 0, To = 0;
  uint64_t Count = 0;
};

// The values of one stretch of time, for a run chart.
struct RunColumn {
  double At = 0;  // seconds since the first value's record started
  double Least = 0, Greatest = 0, Mean = 0;
  uint64_t Count = 0;
};

// One measurement of a step under one set of limits: a plan version that
// changed them starts another.
struct MeasureSummary {
  std::string Step, Name, Unit;
  std::optional<double> Min, Max, MarginalMin, MarginalMax;  // limits and band
  std::vector<std::string> PlanVersions;  // SHA-256 of the plan files it comes from
  uint64_t N = 0, Units = 0, Below = 0, Above = 0, Marginal = 0;
  double Mean = 0, Least = 0, Greatest = 0;
  std::optional<double> Sd;        // sample standard deviation; none for one value
  std::optional<double> Cp, Cpk;   // Cpk alone (one-sided) where one limit is set
  std::string CapabilityNote;      // why there is no Cp/Cpk, when there is none
  double BelowShare() const { return N ? double(Below) / double(N) : 0; }
  double AboveShare() const { return N ? double(Above) / double(N) : 0; }
  double MarginalShare() const { return N ? double(Marginal) / double(N) : 0; }
  std::vector<Bin> Histogram;
  std::vector<RunColumn> Run;
  std::string FirstStarted;  // the ISO time RunColumn::At counts from
  double RunSpan = 0;        // seconds the run chart covers (the plan's records')
};

struct FailedUnit {
  std::string UnitId, Started, Station, Step;
};

struct PlanSummary {
  std::string Plan;
  std::string FirstStarted;  // the earliest record's start
  Tally All;
  std::vector<Cause> FailingSteps;  // share of the FAIL records, largest first
  std::vector<Cause> ErrorCauses;   // share of the ERROR records, largest first
  std::vector<MeasureSummary> Measures;
  std::vector<Tally> Stations, Operators, Days;
  std::vector<FailedUnit> RecentFailures;  // the last FAIL records, newest first
};

constexpr size_t kRecentFailures = 20;

// Histogram bins and run-chart columns of each measurement.
constexpr size_t kHistogramBins = 30;
constexpr size_t kRunColumns = 120;

// Throws std::invalid_argument for a filter that is not one (a bad date).
void CheckFilter(const SummaryFilter& filter);

// Every plan the filter lets through, by name. Throws RecordDbError, or
// std::invalid_argument for a bad date.
std::vector<PlanSummary> Summarize(RecordDb& db, const SummaryFilter& filter);

}  // namespace zav::qc
