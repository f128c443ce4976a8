// The plot's core: numbers parsed from received lines in the three formats,
// the rows kept with their times, the min/max reduction per pixel column and
// the CSV, both saved from the store and written as the lines come.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "terminal/PlotCsv.h"
#include "terminal/PlotParser.h"
#include "terminal/PlotStore.h"
#include "tests/support/TestSupport.h"

namespace zav {
namespace {

constexpr double M = -12345.678;  // a missing cell in the tables (PlotMissing compares unequal to itself)

TLogTime At(int64_t ms) { return TLogTime{ms, ms}; }

std::string Cells(const std::vector<double>& cells) {
  std::string out;
  for (const double v : cells) out += (IsPlotMissing(v) ? std::string("-") : FormatPlotNumber(v)) + " ";
  return out;
}

std::string Expected(const std::vector<double>& cells) {
  std::string out;
  for (const double v : cells) out += (v == M ? std::string("-") : FormatPlotNumber(v)) + " ";
  return out;
}

std::string Join(const std::vector<std::string>& names) {
  std::string out;
  for (const auto& n : names) out += n + "|";
  return out;
}

TEST(PlotNumber, ReadsWholeFieldsOnly) {
  const struct {
    const char* text;
    bool ok;
    double value;
  } cases[] = {
      {"12.5", true, 12.5},    {"-0.4", true, -0.4},       {"+3", true, 3},
      {"1e3", true, 1000},     {"-2.5E-3", true, -0.0025}, {".5", true, 0.5},
      {"inf", true, INFINITY}, {"-inf", true, -INFINITY},  {"", false, 0},
      {"+", false, 0},         {"++1", false, 0},          {"12.5C", false, 0},
      {"0x10", false, 0},      {"1,5", false, 0},          {" 1", false, 0},
      {"abc", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const auto v = ParsePlotNumber(c.text);
    ASSERT_EQ(v.has_value(), c.ok);
    if (c.ok) {
      EXPECT_EQ(*v, c.value);
    }
  }
  const auto nan = ParsePlotNumber("nan");
  ASSERT_TRUE(nan && std::isnan(*nan));
  EXPECT_FALSE(IsPlotMissing(*nan));  // a NaN the device sent is a value, not a gap
  EXPECT_EQ(FormatPlotNumber(*nan), "nan");
  for (const double v : {0.1, 12.5, -1e-7, 1234567.891, 1e300}) EXPECT_EQ(ParsePlotNumber(FormatPlotNumber(v)), v);
}

// One line at a time through each format: the cells it gives ("" for a line
// skipped) and the series known after it.
TEST(PlotParser, LinesInEachFormat) {
  struct Case {
    const char* format;
    std::vector<std::string> lines;
    std::vector<std::vector<double>> rows;  // one per line; {} = skipped
    std::string names;
    uint64_t skipped;
  };
  const std::vector<Case> cases = {
      {"numbers",
       {"12.5 3.1 -0.4", "1\t2\t3", "4,5,6", "7;8;9"},
       {{12.5, 3.1, -0.4}, {1, 2, 3}, {4, 5, 6}, {7, 8, 9}},
       "1|2|3|",
       0},
      {"numbers", {"1,,3", "1,2,", " 5   6 ", "1, 2 ,3"}, {{1, M, 3}, {1, 2, M}, {5, 6, M}, {1, 2, 3}}, "1|2|3|", 0},
      {"numbers", {"1e3 -2E-2 +7", "ok 1", "1 2 3 4"}, {{1000, -0.02, 7}, {}, {1, 2, 3, 4}}, "1|2|3|4|", 1},
      {"numbers", {"time,temp", "1,2", "time,temp", "3,4"}, {{}, {1, 2}, {}, {3, 4}}, "time|temp|", 1},
      {"numbers", {"Booting v1.2 now", "1,2"}, {{}, {1, 2}}, "1|2|", 1},
      {"labels",
       {"temp:21.5 rpm:1200", "temp=22,rpm=1300", "rpm: 1400 temp: 23", "volt=5 temp=24"},
       {{21.5, 1200}, {22, 1300}, {23, 1400}, {24, M, 5}},
       "temp|rpm|volt|",
       0},
      {"labels", {"Error: overheat", "temp:abc rpm:7", "T=1C x=2"}, {{}, {7}, {M, 2}}, "rpm|x|", 1},
      {"labels", {"temp = 21.5 ; rpm =1200", "mode on temp:-1e1", "="}, {{21.5, 1200}, {-10, M}, {}}, "temp|rpm|", 1},
      {"auto", {"hello", "temp:1 rpm:2", "3 4"}, {{}, {1, 2}, {}}, "temp|rpm|", 2},
      {"auto", {"a,b,c", "1,2,3", "x:1"}, {{}, {1, 2, 3}, {}}, "a|b|c|", 1},
      {R"(T=(?<temp>[-\d.]+)C V=([-\d.e]+))",
       {"T=21.5C V=3.3", "T=-4C V=-", "nothing here"},
       {{21.5, 3.3}, {-4, M}, {}},
       "temp|2|",
       1},
      {R"(load (\d+)%)", {"cpu load 75% now", "load 5%"}, {{75}, {5}}, "1|", 0},
      {R"(-?\d+)", {"x=-17"}, {{-17}}, "value|", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    TPlotParser parser(TPlotFormat::FromText(c.format));
    for (size_t i = 0; i < c.lines.size(); ++i) {
      SCOPED_TRACE(c.lines[i]);
      const auto row = parser.Line(c.lines[i], At(int64_t(i)));
      ASSERT_EQ(row.has_value(), !c.rows[i].empty());
      if (row) {
        EXPECT_EQ(Cells(row->Cells), Expected(c.rows[i]));
      }
    }
    EXPECT_EQ(Join(parser.Names()), c.names);
    EXPECT_EQ(parser.Skipped(), c.skipped);
  }
}

TEST(PlotParser, AutoChoosesFromTheFirstLineThatParses) {
  const struct {
    const char* first;
    PlotFormatKind kind;
  } cases[] = {{"1 2 3", PlotFormatKind::Numbers}, {"a=1", PlotFormatKind::Labels}, {"x", PlotFormatKind::Auto}};
  for (const auto& c : cases) {
    TPlotParser parser;
    parser.Line(c.first, At(0));
    EXPECT_EQ(parser.Chosen(), c.kind) << c.first;
  }
  EXPECT_THROW(TPlotParser(TPlotFormat::FromText("T=(\\d")), std::invalid_argument);
}

// Bytes cut anywhere give the same rows; CR LF and LF both end lines; each
// row carries the time its line's first byte came; blank lines are nothing.
TEST(PlotParser, StreamCutAnywhereGivesTheSameRows) {
  const std::string stream = "t,v\r\n1,2\r\n\r\n3,4\n5,6\n7";
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    SCOPED_TRACE(cut);
    TPlotParser parser;
    auto rows = parser.Feed(std::string_view(stream).substr(0, cut), At(100));
    for (auto& r : parser.Feed(std::string_view(stream).substr(cut), At(200))) rows.push_back(std::move(r));
    if (auto last = parser.Finish()) rows.push_back(*last);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(Join(parser.Names()), "t|v|");
    EXPECT_EQ(Cells(rows[0].Cells) + Cells(rows[3].Cells), "1 2 7 - ");
    EXPECT_EQ(rows[1].TimeMs, cut <= 12 ? 200 : 100);  // "3,4" starts at byte 12
    EXPECT_EQ(parser.Skipped(), 0u);
    EXPECT_EQ(parser.Lines(), 5u);  // the header, four rows
  }
}

// Random streams of number-like bytes, fed whole and in random pieces, give
// the same rows, series and counts in every format.
TEST(PlotParser, RandomStreamsGiveTheSameRowsHoweverTheyAreCut) {
  const std::string alphabet = "0123456789.-+eE:=,; \t\r\n\nnaitT()x";
  std::mt19937 random(7);
  for (const char* format : {"auto", "numbers", "labels", R"((?<a>[-\d.]+)\D+(\d+)?)"}) {
    size_t parsed = 0;
    for (int round = 0; round < 20; ++round) {
      std::string stream;
      for (int i = 0; i < 2000; ++i) stream += alphabet[random() % alphabet.size()];
      TPlotParser whole(TPlotFormat::FromText(format)), cut(TPlotFormat::FromText(format));
      auto expected = whole.Feed(stream, At(1));
      std::vector<TPlotRow> rows;
      for (size_t at = 0; at < stream.size();) {
        const size_t n = std::min(stream.size() - at, size_t(random() % 40));
        for (auto& r : cut.Feed(std::string_view(stream).substr(at, n), At(1))) rows.push_back(std::move(r));
        at += n;
      }
      if (auto last = whole.Finish()) expected.push_back(*last);
      if (auto last = cut.Finish()) rows.push_back(*last);
      ASSERT_EQ(rows.size(), expected.size()) << format << " " << round;
      for (size_t i = 0; i < rows.size(); ++i) ASSERT_EQ(Cells(rows[i].Cells), Cells(expected[i].Cells)) << i;
      EXPECT_EQ(cut.Names(), whole.Names());
      EXPECT_EQ(cut.Skipped(), whole.Skipped());
      EXPECT_EQ(cut.Lines(), whole.Lines());
      parsed += rows.size();
    }
    EXPECT_GT(parsed, 100u) << format;  // the streams do hold numbers in each format
  }
}

TEST(PlotParser, TimeRunsOnPastMidnightAndNeverBack) {
  TPlotParser parser;
  const int64_t day = 86'400'000;
  const int64_t stamps[] = {day - 1000, day - 10, 5, 3, 2000};
  std::vector<int64_t> times;
  for (const int64_t s : stamps) times.push_back(parser.Line("1", At(s))->TimeMs);
  EXPECT_EQ(times, (std::vector<int64_t>{day - 1000, day - 10, day + 5, day + 5, day + 2000}));

  // Stamps with their date: the date says where midnight is.
  TPlotParser dated;
  const TLogTime stamps2[] = {{0, day - 10, 19'723}, {0, 10, 19'724}, {0, 5, 19'724}, {0, 100, 19'726}};
  times.clear();
  for (const TLogTime& s : stamps2) times.push_back(dated.Line("1", s)->TimeMs - 19'723 * day);
  EXPECT_EQ(times, (std::vector<int64_t>{day - 10, day + 10, day + 10, 3 * day + 100}));
}

TEST(PlotParser, ALineWithoutEndIsCutAtTheLimit) {
  TPlotParser parser;
  EXPECT_TRUE(parser.Feed(std::string(TPlotParser::kMaxLine + 10, 'x'), At(0)).empty());
  EXPECT_EQ(parser.Lines(), 1u);
  EXPECT_FALSE(parser.Finish().has_value());
  EXPECT_EQ(parser.Lines(), 2u);
  EXPECT_EQ(parser.Skipped(), 2u);
}

// The stamps mero term --timestamps writes, read back for mero replay --csv.
TEST(PlotParser, StampsReadBackAsTheyWereWritten) {
  const struct {
    std::string line;
    int64_t ms;  // -1: not a stamped line
    std::string rest;
  } cases[] = {
      {"[10:00:00.000] 1 2", 36'000'000, "1 2"},
      {"[23:59:59.999] ", 86'399'999, ""},
      {FormatStamp(45'296'789) + "a:1\r\n", 45'296'789, "a:1\r\n"},
      {"[24:00:00.000] x", -1, ""},
      {"[10:60:00.000] x", -1, ""},
      {"[10:00:00.000]x", -1, ""},
      {"[1:00:00.000] x", -1, ""},
      {"10:00:00.000 x", -1, ""},
      {"[10:00:00.00] x", -1, ""},
      {"", -1, ""},
  };
  for (const auto& c : cases) {
    std::string_view rest;
    const auto ms = ParseStamp(c.line, rest);
    EXPECT_EQ(ms.value_or(-1), c.ms) << c.line;
    if (ms) {
      EXPECT_EQ(rest, c.rest) << c.line;
    }
  }
}

TPlotStore StoreOf(const std::vector<std::pair<int64_t, std::vector<double>>>& rows,
                   const std::vector<std::string>& names) {
  TPlotStore store;
  for (const auto& [t, cells] : rows) store.Add({t, cells}, names);
  return store;
}

// A spike one row wide survives any width; a column's first and last values
// join it to its neighbours; the values outside the view are given.
TEST(PlotStore, DecimationKeepsEverySpike) {
  TPlotStore store;
  const size_t n = 100'000;
  for (size_t i = 0; i < n; ++i) store.Add({int64_t(i), {i == 54'321 ? 1000.0 : double(i % 7)}}, {"a"});
  for (const int width : {1, 7, 640, 1000, 4096}) {
    SCOPED_TRACE(width);
    const TPlotDecimated d = store.Decimate(0, 10'000, 90'000, width);
    ASSERT_EQ(d.Columns.size(), size_t(width));
    double hi = -1, lo = 1e9;
    for (const auto& c : d.Columns) {
      ASSERT_TRUE(c.Any);
      hi = std::max(hi, c.Hi);
      lo = std::min(lo, c.Lo);
    }
    EXPECT_EQ(hi, 1000);
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(d.Columns.front().First, 10'000 % 7);
    EXPECT_EQ(d.Columns.back().Last, 89'999 % 7);
    ASSERT_TRUE(d.Before && d.After);
    EXPECT_EQ(d.Before->TimeMs, 9'999);
    EXPECT_EQ(d.After->TimeMs, 90'000);
  }
  double lo = 0, hi = 0;
  for (const auto& [from, to] : std::vector<std::pair<size_t, size_t>>{{0, n}, {54'000, 54'400}, {54'321, 54'322}}) {
    ASSERT_TRUE(store.Range(0, from, to, lo, hi));
    EXPECT_EQ(hi, 1000);
  }
  ASSERT_TRUE(store.Range(0, 54'322, 60'000, lo, hi));
  EXPECT_EQ(hi, 6);
}

TEST(PlotStore, GapsAndNonFiniteValuesAreLeftOutOfTheScale) {
  const double nan = std::nan("");
  const TPlotStore store = StoreOf({{0, {1}}, {1, {nan, 5}}, {2, {INFINITY, 9}}, {3, {-2}}}, {"a", "b"});
  EXPECT_EQ(store.Values(), 6u);  // a NaN and an infinity sent are values kept
  double lo = 0, hi = 0;
  ASSERT_TRUE(store.Range(0, 0, 4, lo, hi));
  EXPECT_EQ(std::make_pair(lo, hi), std::make_pair(-2.0, 1.0));
  EXPECT_FALSE(store.Range(1, 0, 1, lo, hi));  // b came later: missing before
  EXPECT_TRUE(IsPlotMissing(store.Value(1, 0)));
  EXPECT_TRUE(IsPlotMissing(store.Value(1, 3)));
  const TPlotDecimated d = store.Decimate(0, 0, 4, 4);
  EXPECT_EQ(d.Columns[0].Any + d.Columns[1].Any + d.Columns[2].Any + d.Columns[3].Any, 2);
}

// A series that went quiet: its last value is found across the blocks
// without one, whichever way the search goes and wherever it starts.
TEST(PlotStore, NeighboursAreFoundAcrossQuietBlocks) {
  TPlotStore store;
  const size_t n = 40 * TPlotStore::kBlock + 17;
  for (size_t i = 0; i < n; ++i) {
    const bool a = i == 3 || i == n - 5;
    store.Add({int64_t(i), {a ? double(i) : PlotMissing(), 1.0}}, {"a", "b"});
  }
  for (const double t0 : {4.0, 300.0, 2560.0, 5000.0}) {
    SCOPED_TRACE(t0);
    const TPlotDecimated d = store.Decimate(0, t0, double(n - 6), 50);
    ASSERT_TRUE(d.Before && d.After);
    EXPECT_EQ(d.Before->Value, 3);
    EXPECT_EQ(d.After->Value, double(n - 5));
    for (const auto& c : d.Columns) EXPECT_FALSE(c.Any);
  }
  const TPlotDecimated all = store.Decimate(0, 0, double(n), 1);
  EXPECT_EQ(all.Columns[0].First, 3);
  EXPECT_EQ(all.Columns[0].Last, double(n - 5));
  EXPECT_FALSE(all.Before || all.After);
}

std::string Read(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(PlotCsv, SavedAndStreamedFilesAreTheSame) {
  test::ScratchDir dir("plotcsv");
  const std::string input = "a,b c\n1,2\n-0.5,1e-07\n,3\nnoise\n4,nan\n";
  TPlotParser forStore, forFile;
  TPlotStore store;
  TPlotCsvFile file((dir.path() / "streamed.csv").string());
  int64_t ms = 86'399'980;
  for (const char c : input) {  // a byte at a time, a millisecond apart, over midnight
    const std::string b(1, c);
    for (const auto& r : forStore.Feed(b, At(ms))) store.Add(r, forStore.Names());
    file.Add(forFile.Feed(b, At(ms)), forFile.Names());
    ms = (ms + 1) % 86'400'000;
  }
  file.Finish(forFile.Names());
  SavePlotCsv(store, (dir.path() / "saved.csv").string());
  const std::string expected =
      "time,seconds,a,b c\n"
      "1970-01-01T23:59:59.986,0.000,1,2\n"
      "1970-01-01T23:59:59.990,0.004,-0.5,1e-07\n"
      "1970-01-02T00:00:00.001,0.015,,3\n"
      "1970-01-02T00:00:00.010,0.024,4,nan\n";
  EXPECT_EQ(Read(dir.path() / "saved.csv"), expected);
  EXPECT_EQ(Read(dir.path() / "streamed.csv"), expected);
  EXPECT_EQ(PlotCsvHeader({"x,y", "say \"hi\""}), "time,seconds,\"x,y\",\"say \"\"hi\"\"\"\n");
  // A name the device sent that a spreadsheet would run as a formula stays text.
  EXPECT_EQ(PlotCsvHeader({"=HYPERLINK(\"x\")", "@sum", "-t", "t-1"}),
            "time,seconds,\"'=HYPERLINK(\"\"x\"\")\",\"'@sum\",\"'-t\",t-1\n");
  const struct {
    int64_t timeMs, startMs;
    const char* row;
  } rows[] = {
      {86'400'000 + 3'723'004, 3'000, "1970-01-02T01:02:03.004,90120.004,1.5\n"},
      {19'723 * 86'400'000LL + 86'399'999, 19'723 * 86'400'000LL, "2024-01-01T23:59:59.999,86399.999,1.5\n"},
      {19'782 * 86'400'000LL, 19'781 * 86'400'000LL + 86'399'000, "2024-02-29T00:00:00.000,1.000,1.5\n"},
  };
  for (const auto& r : rows) EXPECT_EQ(PlotCsvRow(r.timeMs, r.startMs, {1.5}, 1), r.row);
}

// Labels that come later get their column: at once in the rows, and in the
// header once the file is finished.
TEST(PlotCsv, ALateSeriesIsAddedToTheHeaderAtTheEnd) {
  test::ScratchDir dir("plotcsv");
  const auto path = dir.path() / "late.csv";
  TPlotParser parser;
  TPlotCsvFile file(path.string());
  file.Add(parser.Feed("t:1\nt:2 v:3\n", At(1000)), parser.Names());
  file.Flush();
  EXPECT_EQ(Read(path), "time,seconds,t\n1970-01-01T00:00:01.000,0.000,1\n1970-01-01T00:00:01.000,0.000,2,3\n");
  file.Add(parser.Feed("w:4\n", At(2500)), parser.Names());
  file.Finish(parser.Names());
  EXPECT_EQ(file.Rows(), 3u);
  EXPECT_EQ(Read(path),
            "time,seconds,t,v,w\n1970-01-01T00:00:01.000,0.000,1,,\n1970-01-01T00:00:01.000,0.000,2,3,\n"
            "1970-01-01T00:00:02.500,1.500,,,4\n");
  EXPECT_FALSE(std::filesystem::exists(path.string() + ".tmp"));
}

TEST(PlotCsv, UnwritablePathsAreReported) {
  test::ScratchDir dir("plotcsv");
  const std::string bad = (dir.path() / "no-such-dir" / "x.csv").string();
  try {
    TPlotCsvFile file(bad);
    FAIL() << "opened " << bad;
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos) << e.what();
  }
  EXPECT_THROW(SavePlotCsv(TPlotStore(), bad), std::runtime_error);
  TPlotCsvFile full("/dev/full");
  EXPECT_THROW(
      {
        for (int i = 0; i < 100'000; ++i) full.Add({{i, {1.0}}}, {"a"});
        full.Flush();
      },
      std::runtime_error);
}

}  // namespace
}  // namespace zav
