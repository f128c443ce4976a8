// What keeping a unit's record costs: 1,000 records of a plan with 12 steps
// and 24 measurements, each stored on its own into an SQLite file (one
// transaction, on disk when it returns), then the same through the spool (the
// record written whole to the spool, then offered), as a station does after
// each unit. Reports the median and the 99th percentile of each.
//
//   bench_record_store [RECORDS] [DIRECTORY]   (default 1000, a fresh temporary one)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "qc/RecordDb.h"
#include "qc/Report.h"

namespace {

using namespace zav::qc;
using Clock = std::chrono::steady_clock;

std::string Record(int n) {
  UnitResult u;
  u.Plan = "Board QC";
  u.PlanSha256 = Sha256Hex("plan");
  u.Port = "COM2";
  u.UnitId = "SN" + std::to_string(100000 + n);
  u.Started = std::chrono::system_clock::now();
  u.Seconds = 12.5;
  u.Outcome = Verdict::Pass;
  for (int s = 0; s < 12; ++s) {
    StepResult step{"step " + std::to_string(s), Verdict::Pass, 0.8, "", "", {}, 1};
    for (int m = 0; m < 2; ++m) {
      Measurement x;
      x.Name = "value" + std::to_string(m);
      x.Value = 3.3 + 0.001 * n;
      x.Text = std::to_string(*x.Value);
      x.Unit = "V";
      x.Min = 3.0;
      x.Max = 3.6;
      x.Outcome = MeasureOutcome::Pass;
      step.Measurements.push_back(x);
    }
    u.Steps.push_back(step);
  }
  u.Variables = {{"unit", u.UnitId}, {"fw", "1.4.2"}, {"mac", "00:11:22:33:44:55"}};
  ReportFiles files;
  files.Xml = "/reports/" + u.UnitId + ".xml";
  files.Log = "/reports/" + u.UnitId + ".log";
  RecordContext context;
  context.Station = "bench";
  context.Line = "115200 8N1";
  return RecordJson(u, context, files, NewRecordId());
}

struct Figures {
  double median, p99;
};

Figures Of(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]};
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;
  std::string dir;
  if (argc > 2) {
    dir = argv[2];
  } else {
    char tmpl[] = "/tmp/bench-records-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    dir = tmpl;
  }
  std::vector<std::string> records;
  for (int i = 0; i < 2 * count; ++i) records.push_back(Record(i));
  std::vector<double> stored, spooled;
  try {
    RecordDb db(DefaultDatabase(dir));
    for (int i = 0; i < count; ++i) {
      const auto t0 = Clock::now();
      db.Store(records[size_t(i)]);
      stored.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    for (int i = count; i < 2 * count; ++i) {
      const auto t0 = Clock::now();
      SpoolRecord(dir, records[size_t(i)], "r" + std::to_string(i));
      const SpoolOutcome out = FlushSpool(dir, DefaultDatabase(dir));
      spooled.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      if (out.Stored != 1) throw std::runtime_error("a record did not go in: " + out.Problem);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_record_store: %s\n", e.what());
    return 1;
  }
  if (argc <= 2) std::filesystem::remove_all(dir);
  const Figures s = Of(stored), p = Of(spooled);
  std::printf("%d records of %zu bytes each into SQLite\n", count, records.front().size());
  std::printf("through the spool (written, opened, offered): median %.2f ms, p99 %.2f ms\n", p.median, p.p99);
  std::printf("stored directly: median %.2f ms, p99 %.2f ms\n", s.median, s.p99);
  std::printf("RESULT record_store_sqlite_median %.2f ms\n", s.median);
  return 0;
}
