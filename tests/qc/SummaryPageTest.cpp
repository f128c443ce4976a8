// What a summary becomes: the page's charts mark what a measurement has
// (limits, a marginal band) and nothing it has not; text from the records is
// never markup; the CSV keeps every digit and keeps formulas text.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "qc/SummaryPage.h"
#include "tests/support/TestSupport.h"

namespace zav::qc {
namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

MeasureSummary Measure(std::optional<double> min, std::optional<double> max, std::optional<double> mmin = {},
                       std::optional<double> mmax = {}) {
  MeasureSummary m;
  m.Step = "battery";
  m.Name = "vbat";
  m.Unit = "V";
  m.Min = min;
  m.Max = max;
  m.MarginalMin = mmin;
  m.MarginalMax = mmax;
  m.N = 3;
  m.Units = 3;
  m.Mean = 3.3;
  m.Least = 3.25;
  m.Greatest = 3.35;
  m.Sd = 0.05;
  for (int b = 0; b < 4; ++b) m.Histogram.push_back({3.2 + 0.05 * b, 3.25 + 0.05 * b, uint64_t(b)});
  m.Run = {{0, 3.25, 3.3, 3.28, 2}, {3600, 3.3, 3.35, 3.33, 1}};
  m.RunSpan = 7200;
  m.FirstStarted = "2026-12-01T08:00:00.000Z";
  return m;
}

PlanSummary Plan(std::vector<MeasureSummary> measures) {
  PlanSummary p;
  p.Plan = "Board QC";
  p.All.Records = 4;
  p.All.Pass = 2;
  p.All.Fail = 1;
  p.All.Error = 1;
  p.All.Units = 3;
  p.All.UnitsPassed = 2;
  p.All.FirstPassed = 2;
  p.FailingSteps = {{"battery", 1, 1.0}};
  p.ErrorCauses = {{"the device hung up", 1, 1.0}};
  p.Days = {p.All};
  p.Days[0].Key = "2026-12-01";
  p.Measures = std::move(measures);
  return p;
}

// Each chart marks the limits the measurement has, and shades the band that
// passes as MARGINAL only where there is one.
TEST(SummaryPage, ChartsMarkTheLimitsAndTheBandAMeasurementHas) {
  struct Case {
    const char* name;
    MeasureSummary m;
    size_t limitLines;  // in the histogram and the run chart together
    size_t bands;
  };
  const Case cases[] = {
      {"both limits and a band", Measure(3.2, 3.4, 3.22, 3.38), 4, 4},
      {"both limits, no band", Measure(3.2, 3.4), 4, 0},
      {"an upper limit only", Measure(std::nullopt, 3.4), 2, 0},
      {"no limits", Measure(std::nullopt, std::nullopt), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string page = SummaryHtml({Plan({c.m})}, {}, "now");
    EXPECT_EQ(Count(page, "class=\"limit\""), c.limitLines);
    EXPECT_EQ(Count(page, "class=\"marginal\""), c.bands);
    EXPECT_NE(page.find("aria-label=\"histogram of battery / vbat [V]\""), std::string::npos);
    EXPECT_NE(page.find("aria-label=\"run chart of battery / vbat [V]\""), std::string::npos);
    EXPECT_NE(page.find("aria-label=\"failing steps\""), std::string::npos);
    EXPECT_NE(page.find("aria-label=\"yield per day\""), std::string::npos);
    // Nothing fetched: the only address is the SVG namespace's name.
    EXPECT_EQ(Count(page, "http"), Count(page, "http://www.w3.org/2000/svg"));
    EXPECT_EQ(Count(page, "src="), 0u);
    EXPECT_EQ(Count(page, "href="), 0u);
  }
}

// Whatever a unit, a station or a plan is called, the page's only elements
// are its own.
TEST(SummaryPage, TextFromTheRecordsIsNeverMarkup) {
  const std::string hostile = "<script>alert('x')</script><img src=x onerror=y>\"&";
  MeasureSummary m = Measure(3.2, 3.4);
  m.Step = hostile;
  m.Unit = hostile;
  PlanSummary p = Plan({m});
  p.Plan = hostile;
  p.FailingSteps[0].What = hostile;
  p.Stations = {p.All};
  p.Stations[0].Key = hostile;
  p.RecentFailures = {{hostile, "2026-12-01T08:00:00.000Z", hostile, hostile}};
  SummaryFilter f;
  f.Plan = hostile;
  const std::string page = SummaryHtml({p}, f, hostile);
  const std::set<std::string> ours = {"html", "head", "meta", "title", "style", "body", "h1", "h2", "h3", "p",
                                      "section", "div", "small", "svg", "line", "rect", "text", "polyline", "circle",
                                      "table", "tr", "th", "td"};
  const std::regex tag("<(/?)([a-zA-Z0-9]+)");
  for (auto it = std::sregex_iterator(page.begin(), page.end(), tag); it != std::sregex_iterator(); ++it)
    EXPECT_TRUE(ours.count((*it)[2].str())) << "an element <" << (*it)[2].str() << "> came from the records";
  EXPECT_EQ(page.find("onerror=y>"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert("), std::string::npos);
}

// The edge cases say what they are: no records, and a measurement without a
// spread or without limits.
TEST(SummaryText, SaysWhatIsMissingAndWhy) {
  SummaryFilter f;
  f.Plan = "Board QC";
  f.From = "2026-12-01";
  EXPECT_EQ(SummaryText({}, f), "No unit records match (plan Board QC, from 2026-12-01): nothing to report.\n");
  EXPECT_NE(SummaryHtml({}, f, "now").find("nothing to report"), std::string::npos);
  MeasureSummary one = Measure(3.2, 3.4);
  one.N = 1;
  one.Sd.reset();
  one.CapabilityNote = "one value: no standard deviation, no Cpk";
  const std::string text = SummaryText({Plan({one})}, {});
  EXPECT_NE(text.find("sd -"), std::string::npos);
  EXPECT_NE(text.find("Cpk -  (one value: no standard deviation, no Cpk)"), std::string::npos);
  EXPECT_NE(text.find("yield 66.7% (2/3)  first-pass yield 66.7%  retests 0"), std::string::npos);
}

// Numbers go out with every digit; a station's name that a spreadsheet would
// run stays text.
TEST(SummaryCsv, KeepsEveryDigitAndFormulasStayText) {
  test::ScratchDir dir{"zav-summary-csv", false};
  MeasureSummary m = Measure(3.2, 3.4);
  m.Mean = 3.3000000000000003;
  m.Cpk = 0.1 + 0.2;
  PlanSummary p = Plan({m});
  p.Stations = {p.All};
  p.Stations[0].Key = "=HYPERLINK(\"x\")";
  WriteSummaryCsv({p}, dir.path().string());
  std::istringstream measures(test::ReadFile(dir.path() / "measurements.csv"));
  std::string header, row;
  std::getline(measures, header);
  std::getline(measures, row);
  EXPECT_NE(row.find(",3.3000000000000003,"), std::string::npos) << row;
  EXPECT_NE(row.find(",0.30000000000000004,"), std::string::npos) << row;
  const std::string stations = test::ReadFile(dir.path() / "stations.csv");
  EXPECT_NE(stations.find("Board QC,\"'=HYPERLINK(\"\"x\"\")\",4,"), std::string::npos) << stations;
  for (const char* file : {"plans.csv", "steps.csv", "errors.csv", "operators.csv", "days.csv"})
    EXPECT_TRUE(std::filesystem::exists(dir.path() / file)) << file;
}

}  // namespace
}  // namespace zav::qc
