// Unit records in the two databases, against real servers: an SQLite file
// and a PostgreSQL server the test starts itself. One row per record however
// often it is offered, nothing half stored, the spool that keeps records
// while the database is away, and writers that take turns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>

#include "qc/RecordDb.h"
#include "qc/Report.h"
#include "qc/Summary.h"
#include "tests/support/PgServer.h"
#include "tests/support/TestSupport.h"

namespace zav::qc {
namespace {

using test::PgServer;
using test::ScratchDir;

// A unit with a measured step, a retried one, a skipped teardown and text
// from the device that no database takes as it is (NUL, bytes that are not
// UTF-8, quotes).
UnitResult SampleUnit(const std::string& id, double vbat, int minute = 0) {
  UnitResult u;
  u.Plan = "Board QC";
  u.PlanFile = "/plans/board.yaml";
  u.PlanSha256 = Sha256Hex("name: Board QC\n");
  u.Port = "COM2";
  u.UnitId = id;
  u.Started = std::chrono::system_clock::now() + std::chrono::minutes(minute);
  u.Seconds = 1.25;
  u.Outcome = vbat > 3.4 ? Verdict::Fail : Verdict::Pass;
  Measurement m;
  m.Name = "vbat";
  m.Value = vbat;
  m.Text = std::to_string(vbat);
  m.Unit = "V";
  m.Min = 3.2;
  m.Max = 3.4;
  m.Outcome = vbat > 3.4 ? MeasureOutcome::Fail : MeasureOutcome::Pass;
  Measurement unread;
  unread.Name = "ibat";
  unread.Text = std::string("x\0\xFF\"'", 5);
  unread.Outcome = MeasureOutcome::Fail;
  u.Steps = {{"battery", u.Outcome, 0.5, "", "", {m, unread}, 1},
             {"boot", Verdict::Pass, 0.7, "", "", {}, 3},
             {"power off", Verdict::Skipped, 0, "not run", "", {}, 0, true}};
  u.Variables = {{"unit", id}, {"banner", std::string("v1\0\xC3(", 5)}};
  return u;
}

std::string SampleJson(const std::string& id, double vbat, std::string* recordId = nullptr, int minute = 0) {
  const std::string rid = NewRecordId();
  if (recordId) *recordId = rid;
  ReportFiles files;
  files.Xml = "/r/" + id + ".xml";
  files.Log = "/r/" + id + ".log";
  files.Received = {"/r/" + id + ".files/log.bin"};
  RecordContext context;
  context.Station = "bench-7";
  context.Operator = "A. N. Other";
  context.Version = "3.4";
  context.Line = "115200 8N1";
  return RecordJson(SampleUnit(id, vbat, minute), context, files, rid);
}

std::string Count(RecordDb& db, const std::string& table) {
  return db.Query("SELECT COUNT(*) FROM " + table).at(0).at(0).value_or("null");
}

// Each engine as a database URL, with what keeps it alive.
struct Engine {
  const char* name;
  std::function<std::string(std::shared_ptr<void>& keep, const std::string& dir)> make;
};

const Engine kEngines[] = {
    {"SQLite", [](std::shared_ptr<void>&, const std::string& dir) { return DefaultDatabase(dir); }},
    {"PostgreSQL",
     [](std::shared_ptr<void>& keep, const std::string&) {
       auto server = std::make_shared<PgServer>();
       keep = server;
       return server->Url();
     }},
};

class RecordStore : public ::testing::TestWithParam<Engine> {
 protected:
  void SetUp() override {
    if (std::string(GetParam().name) == "PostgreSQL" && !PgServer::Missing().empty())
      GTEST_FAIL() << PgServer::Missing();
    url = GetParam().make(keep, scratch.path().string());
  }
  ScratchDir scratch{"zav-records", false};
  std::shared_ptr<void> keep;
  std::string url;
};

TEST_P(RecordStore, EachRecordIsOneRowHoweverOftenItIsOfferedAndQueriesFindItsParts) {
  std::string firstId;
  const std::string first = SampleJson("AB12", 3.452, &firstId);
  {
    RecordDb db(url);
    EXPECT_EQ(db.SchemaVersion(), RecordDb::LatestSchema());
    EXPECT_TRUE(db.Store(first));
    EXPECT_FALSE(db.Store(first));  // offered again: a spool flushed twice
    EXPECT_TRUE(db.Store(SampleJson("AB13", 3.301)));
  }
  RecordDb db(url);  // opened again: nothing to migrate, nothing lost
  EXPECT_EQ(db.SchemaVersion(), RecordDb::LatestSchema());
  EXPECT_EQ(Count(db, "units"), "2");
  EXPECT_EQ(Count(db, "steps"), "6");
  // "Every vbat of plan X": one join.
  const auto vbat = db.Query(
      "SELECT u.unit_id, m.value, m.unit, m.outcome, u.station FROM measurements m JOIN units u USING (record_id)"
      " WHERE u.plan = ? AND m.name = ? ORDER BY u.unit_id",
      {"Board QC", "vbat"});
  ASSERT_EQ(vbat.size(), 2u);
  EXPECT_EQ(vbat[0][0], "AB12");
  EXPECT_DOUBLE_EQ(std::stod(vbat[0][1].value()), 3.452);
  EXPECT_EQ(vbat[0][2], "V");
  EXPECT_EQ(vbat[0][3], "FAIL");
  EXPECT_EQ(vbat[1][3], "PASS");
  EXPECT_EQ(vbat[0][4], "bench-7");
  // Text no client passes as it is arrives readable; a value not measured is null.
  const auto ibat =
      db.Query("SELECT value, text FROM measurements WHERE name = 'ibat' AND record_id = ?", {firstId}).at(0);
  EXPECT_FALSE(ibat[0].has_value());
  EXPECT_EQ(ibat[1], "x\\x00\xEF\xBF\xBD\"'");
  const auto unit =
      db.Query("SELECT outcome, line, operator, plan_sha256, started < ended FROM units WHERE record_id = ?", {firstId})
          .at(0);
  EXPECT_EQ(unit[0], "FAIL");
  EXPECT_EQ(unit[1], "115200 8N1");
  EXPECT_EQ(unit[2], "A. N. Other");
  EXPECT_EQ(unit[3], Sha256Hex("name: Board QC\n"));
  EXPECT_TRUE(unit[4] == "1" || unit[4] == "t") << unit[4].value_or("null");
  EXPECT_EQ(db.Query("SELECT tries FROM steps WHERE record_id = ? AND name = 'boot'", {firstId}).at(0).at(0), "3");
  EXPECT_EQ(db.Query("SELECT teardown FROM steps WHERE record_id = ? AND seq = 2", {firstId}).at(0).at(0), "1");
  EXPECT_EQ(db.Query("SELECT path FROM files WHERE record_id = ? AND kind = 'received'", {firstId}).at(0).at(0),
            "/r/AB12.files/log.bin");
  EXPECT_EQ(db.Query("SELECT value FROM variables WHERE record_id = ? AND name = 'unit'", {firstId}).at(0).at(0),
            "AB12");
}

// A record the store cannot take leaves nothing behind: no unit without its steps.
TEST_P(RecordStore, ARecordThatCannotGoInLeavesNothingHalfStored) {
  RecordDb db(url);
  std::string broken = SampleJson("BAD1", 3.3);
  const size_t steps = broken.find("\"steps\": [");
  ASSERT_NE(steps, std::string::npos);
  broken.replace(steps, 10, "\"steps\": [ 42,");  // the unit row goes in first, then a step that is not one
  EXPECT_THROW(db.Store(broken), RecordDbError);
  EXPECT_THROW(db.Store("{\"record\": 1}"), RecordDbError);
  EXPECT_THROW(db.Store("not json"), RecordDbError);
  EXPECT_EQ(Count(db, "units"), "0");
  EXPECT_EQ(Count(db, "steps"), "0");
}

// The summary reads both engines alike: a unit that failed and then passed
// counts once for the yield and as a failure for the first pass; values
// stream from the server a row at a time; a unit pattern's wildcards are ours
// alone.
TEST_P(RecordStore, TheSummaryCountsTheSameOnEveryEngine) {
  RecordDb db(url);
  ASSERT_TRUE(db.Store(SampleJson("AB12", 3.452, nullptr, 0)));
  ASSERT_TRUE(db.Store(SampleJson("AB13", 3.301, nullptr, 1)));
  ASSERT_TRUE(db.Store(SampleJson("AB12", 3.35, nullptr, 2)));
  const std::vector<PlanSummary> all = Summarize(db, {});
  ASSERT_EQ(all.size(), 1u);
  const PlanSummary& p = all[0];
  EXPECT_EQ(p.Plan, "Board QC");
  EXPECT_EQ(p.All.Records, 3u);
  EXPECT_EQ(p.All.Units, 2u);
  EXPECT_EQ(p.All.UnitsPassed, 2u);
  EXPECT_EQ(p.All.FirstPassed, 1u);
  EXPECT_EQ(p.All.Retests(), 1u);
  ASSERT_EQ(p.FailingSteps.size(), 1u);
  EXPECT_EQ(p.FailingSteps[0].What, "battery");
  ASSERT_EQ(p.Measures.size(), 1u);  // ibat was never measured
  const MeasureSummary& m = p.Measures[0];
  const double mean = (3.452 + 3.301 + 3.35) / 3;
  const double sd = std::sqrt((std::pow(3.452 - mean, 2) + std::pow(3.301 - mean, 2) + std::pow(3.35 - mean, 2)) / 2);
  EXPECT_EQ(m.N, 3u);
  EXPECT_EQ(m.Units, 2u);
  EXPECT_NEAR(m.Mean, mean, 1e-12);
  ASSERT_TRUE(m.Sd && m.Cp && m.Cpk);
  EXPECT_NEAR(*m.Sd, sd, 1e-12);
  EXPECT_NEAR(*m.Cp, 0.2 / (6 * sd), 1e-9);
  EXPECT_NEAR(*m.Cpk, (3.4 - mean) / (3 * sd), 1e-9);
  EXPECT_EQ(m.Above, 1u);
  uint64_t binned = 0;
  for (const Bin& b : m.Histogram) binned += b.Count;
  EXPECT_EQ(binned, 3u);
  EXPECT_EQ(m.PlanVersions, std::vector<std::string>{Sha256Hex("name: Board QC\n")});
  ASSERT_EQ(p.Stations.size(), 1u);
  EXPECT_EQ(p.Stations[0].Key, "bench-7");
  ASSERT_EQ(p.RecentFailures.size(), 1u);
  EXPECT_EQ(p.RecentFailures[0].UnitId, "AB12");
  struct Case {
    const char* unit;
    uint64_t records;
  };
  for (const Case& c : {Case{"AB1?", 3}, Case{"AB13", 1}, Case{"AB_3", 0}, Case{"*2", 2}}) {
    SummaryFilter f;
    f.Unit = c.unit;
    const auto some = Summarize(db, f);
    EXPECT_EQ(some.empty() ? 0 : some[0].All.Records, c.records) << c.unit;
  }
  SummaryFilter bad;
  bad.From = "2026-02-30x";
  EXPECT_THROW(Summarize(db, bad), std::invalid_argument);
}

// The histogram's bins lie end to end, hold the limits, and count each value
// in the bin whose range holds it, however far the values spread: a value
// far outside the first ones seen grows the range as the pass goes.
TEST(SummaryHistogram, EveryValueIsCountedInTheBinThatHoldsIt) {
  struct Case {
    const char* name;
    std::vector<double> values;
  };
  std::vector<Case> cases = {
      {"around the limits", {}},
      {"an outlier far below, then far above", {3.3, 3.31, -250.0, 3.29, 1e4, 3.3}},
      {"all equal", {3.3, 3.3, 3.3}},
      {"a spread of a millionth", {}},
      {"negative, below both limits", {-7.5, -7.25, -8.0, -7.75}},
  };
  for (int i = 0; i < 150; ++i) cases[0].values.push_back(3.1 + 0.4 * ((i * 37) % 150) / 150.0);
  for (int i = 0; i < 40; ++i) cases[3].values.push_back(3.3 + 1e-6 * i);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch{"zav-histogram", false};
    RecordDb db(DefaultDatabase(scratch.path().string()));
    for (size_t i = 0; i < c.values.size(); ++i) ASSERT_TRUE(db.Store(SampleJson("H" + std::to_string(i), c.values[i])));
    const auto plans = Summarize(db, {});
    ASSERT_EQ(plans.size(), 1u);
    ASSERT_EQ(plans[0].Measures.size(), 1u);
    const MeasureSummary& m = plans[0].Measures[0];
    ASSERT_EQ(m.N, c.values.size());
    const std::vector<Bin>& bins = m.Histogram;
    ASSERT_FALSE(bins.empty());
    EXPECT_LE(bins.size(), kHistogramBins + 1);
    EXPECT_LE(bins.front().From, std::min(m.Least, 3.2));
    EXPECT_GT(bins.back().To, std::max(m.Greatest, 3.4));
    std::vector<uint64_t> want(bins.size(), 0);
    for (size_t b = 0; b + 1 < bins.size(); ++b) EXPECT_EQ(bins[b].To, bins[b + 1].From) << b;
    for (const double v : c.values) {
      const auto in = std::find_if(bins.begin(), bins.end(), [&](const Bin& b) { return v >= b.From && v < b.To; });
      ASSERT_NE(in, bins.end()) << v;
      want[size_t(in - bins.begin())]++;
    }
    for (size_t b = 0; b < bins.size(); ++b) EXPECT_EQ(bins[b].Count, want[b]) << "bin " << b << " from " << bins[b].From;
  }
}

INSTANTIATE_TEST_SUITE_P(Engines, RecordStore, ::testing::ValuesIn(kEngines),
                         [](const auto& info) { return std::string(info.param.name); });

// Records wait in the spool while the server is away and go in once, oldest
// first, when it is back; an entry offered twice is stored once.
TEST(RecordSpool, RecordsWaitWhileTheServerIsDownAndGoInOnceWhenItIsBack) {
  ASSERT_EQ(PgServer::Missing(), "");
  ScratchDir reports("zav-spool", false);
  const std::string dir = reports.path().string();
  PgServer server;
  const std::string url = server.Url();
  SpoolRecord(dir, SampleJson("S1", 3.3), "20261209T100000.000Z-a");
  EXPECT_EQ(FlushSpool(dir, url).Stored, 1u);
  server.Stop();
  std::set<std::string> ids;
  for (int i = 0; i < 3; ++i) {
    std::string id;
    const std::string record = SampleJson("S" + std::to_string(i + 2), 3.3, &id);
    SpoolRecord(dir, record, "20261209T10000" + std::to_string(i + 1) + ".000Z-" + id);
    ids.insert(id);
    const SpoolOutcome away = FlushSpool(dir, url);
    EXPECT_EQ(away.Stored, 0u);
    EXPECT_EQ(away.Waiting, size_t(i + 1));
    EXPECT_NE(away.Problem.find("cannot connect to the database"), std::string::npos) << away.Problem;
  }
  // One entry copied, as a crash between storing and removing it would leave.
  const auto entries = std::filesystem::directory_iterator(dir + "/spool");
  for (const auto& e : entries)
    if (e.path().extension() == ".json") {
      std::filesystem::copy_file(e.path(), dir + "/spool/20261209T200000.000Z-copy.json");
      break;
    }
  server.Start();
  const SpoolOutcome back = FlushSpool(dir, url);
  EXPECT_EQ(back.Stored, 3u);
  EXPECT_EQ(back.AlreadyThere, 1u);
  EXPECT_EQ(back.Waiting, 0u) << back.Problem;
  RecordDb db(url);
  EXPECT_EQ(Count(db, "units"), "4");
  for (const auto& id : ids) EXPECT_EQ(db.Query("SELECT unit_id FROM units WHERE record_id = ?", {id}).size(), 1u);
  EXPECT_EQ(FlushSpool(dir, url).Stored, 0u);
}

// Two processes store into one SQLite file at once, each also offering the
// records the other offers: every record once, no writer turned away.
TEST(RecordSpool, TwoProcessesWritingOneSqliteFileAtOnceEachGetIn) {
  ScratchDir reports("zav-sqlite", false);
  const std::string url = "sqlite:" + DefaultDatabase(reports.path().string());
  std::vector<std::string> shared;
  for (int i = 0; i < 10; ++i) shared.push_back(SampleJson("SHARED" + std::to_string(i), 3.3));
  constexpr int kOwn = 60;
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      int code = 0;
      try {
        RecordDb db(url);
        for (int i = 0; i < kOwn; ++i) {
          db.Store(SampleJson("P" + std::to_string(c) + "-" + std::to_string(i), 3.3));
          if (i % 6 == 0) db.Store(shared[size_t(i / 6)]);
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "child %d: %s\n", c, e.what());
        code = 1;
      }
      _exit(code);
    }
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  RecordDb db(url);
  EXPECT_EQ(Count(db, "units"), std::to_string(2 * kOwn + 10));
  EXPECT_EQ(Count(db, "steps"), std::to_string(3 * (2 * kOwn + 10)));
}

// A unit id or captured text a spreadsheet would run as a formula stays text
// in results.csv; every other field is as it was.
TEST(ResultsCsv, TextThatLooksLikeAFormulaStaysText) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"AB12", ",AB12,"},
      {"=1+2", ",\"'=1+2\","},
      {"+41 22", ",\"'+41 22\","},
      {"-3", ",\"'-3\","},
      {"@SUM(A1)", ",\"'@SUM(A1)\","},
      {"=HYPERLINK(\"x\",\"y\")", ",\"'=HYPERLINK(\"\"x\"\",\"\"y\"\")\","},
      {"a,b", ",\"a,b\","},
  };
  for (const auto& [id, field] : cases) {
    UnitResult u = SampleUnit(id, 3.3);
    const std::string line = ResultsLine(u);
    EXPECT_NE(line.find(",COM2" + field + "PASS,"), std::string::npos) << id << " -> " << line;
  }
}

}  // namespace
}  // namespace zav::qc
