// What mero report costs on a year of records: UNITS unit records with 10
// measurements each in an SQLite file (made once by the database itself,
// about 5% of them retests, 3% station errors, values drawn around their
// limits), then the summary and the page, timed in a child process whose
// peak memory is its own.
//
//   bench_report [UNITS] [DIRECTORY]   (default 1000000, a fresh temporary one;
//                                        a DIRECTORY that holds the records already is reused)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "qc/RecordDb.h"
#include "qc/Summary.h"
#include "qc/SummaryPage.h"

namespace {

using namespace zav::qc;
using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// A value around 3.3 from the sum of three uniform draws (close to normal).
constexpr const char* kValue =
    "3.3 + ((abs(random()) % 1000) + (abs(random()) % 1000) + (abs(random()) % 1000) - 1500) / 15000.0";

void Build(const std::string& path, long units) {
  RecordDb db(path);
  db.Query("BEGIN");
  db.Query(
      "WITH RECURSIVE c(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM c WHERE i < ? - 1)"
      " INSERT INTO units (record_id, unit_id, station, operator, plan, plan_file, plan_sha256, program,"
      " program_version, port, line, started, ended, seconds, outcome, error, first_failure, junit, transcript, record)"
      " SELECT printf('r%08d', i), printf('SN%08d', i % (? * 95 / 100)), 'bench-' || (i % 3), 'op' || (i % 5),"
      " 'board', '/plans/board.yaml', 'a1b2', 'mero', '1', 'COM1', '115200 8N1',"
      " strftime('%Y-%m-%dT%H:%M:%S', 1767225600 + i * 30, 'unixepoch') || '.000Z',"
      " strftime('%Y-%m-%dT%H:%M:%S', 1767225630 + i * 30, 'unixepoch') || '.000Z', 30.0,"
      " CASE WHEN i % 33 = 0 THEN 'ERROR' WHEN abs(random()) % 100 < 6 THEN 'FAIL' ELSE 'PASS' END,"
      " '', '', '', '', '{}' FROM c",
      {std::to_string(units), std::to_string(units)});
  db.Query("UPDATE units SET first_failure = CASE WHEN outcome = 'ERROR' THEN 'power on'"
           " WHEN outcome = 'FAIL' THEN 'step ' || (abs(random()) % 4) ELSE '' END, error ="
           " CASE WHEN outcome = 'ERROR' THEN 'the device hung up' ELSE '' END");
  // A record's values together, as a station stores them.
  db.Query(std::string(
               "WITH RECURSIVE k(k) AS (SELECT 0 UNION ALL SELECT k + 1 FROM k WHERE k < 9)"
               " INSERT INTO measurements (record_id, step_seq, seq, step, name, value, text, unit, min, max,"
               " marginal_min, marginal_max, outcome, message) SELECT u.record_id, k.k / 3, k.k, 'step ' || (k.k / 3),"
               " 'value' || k.k, ") +
           kValue + ", '', 'V', 3.2, 3.4, 3.22, 3.38, 'PASS', '' FROM units u CROSS JOIN k WHERE u.outcome <> 'ERROR'");
  db.Query("UPDATE measurements SET outcome = CASE WHEN value < min OR value > max THEN 'FAIL'"
           " WHEN value < marginal_min OR value > marginal_max THEN 'MARGINAL' ELSE 'PASS' END");
  db.Query("COMMIT");
}

long Units(const std::string& path) {
  if (!std::filesystem::exists(path)) return 0;
  RecordDb db(path);
  return std::atol(db.Query("SELECT COUNT(*) FROM units").at(0).at(0).value_or("0").c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const long units = argc > 1 ? std::atol(argv[1]) : 1000000;
  std::string dir = argc > 2 ? argv[2] : "";
  const bool temporary = dir.empty();
  if (temporary) {
    char tmpl[] = "/tmp/zav-bench-report-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    dir = tmpl;
  }
  const std::string path = DefaultDatabase(dir);
  try {
    if (Units(path) != units) {
      std::filesystem::remove(path);
      const auto t = Clock::now();
      Build(path, units);
      std::printf("made %ld unit records with 10 measurements each in %.1f s (%.0f MB)\n", units, Since(t),
                  double(std::filesystem::file_size(path)) / 1e6);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_report: %s\n", e.what());
    return 1;
  }
  std::fflush(stdout);
  const auto t = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    try {
      RecordDb db(path);
      const std::vector<PlanSummary> plans = Summarize(db, {});
      std::ofstream(dir + "/report.html") << SummaryHtml(plans, {}, "now");
      std::printf("%s", SummaryText(plans, {}).substr(0, 400).c_str());
      std::fflush(stdout);
      _exit(0);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "bench_report: %s\n", e.what());
      _exit(1);
    }
  }
  int status = 0;
  waitpid(child, &status, 0);
  const double seconds = Since(t);
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  if (temporary) std::filesystem::remove_all(dir);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
  std::printf("summary and page of %ld units: %.2f s, peak memory %.0f MB\n", units, seconds,
              double(usage.ru_maxrss) / 1024);
  std::printf("RESULT report_seconds %.2f s\n", seconds);
  return 0;
}
