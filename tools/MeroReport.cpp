// mero report: what the unit records say, per plan: yield, the steps that fail
// most, each measurement's spread against its limits. Printed, and on demand a
// page, CSV files and JSON.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>

#include "MeroQc.h"
#include "qc/RecordDb.h"
#include "qc/Summary.h"
#include "qc/SummaryPage.h"

namespace zav::mero {

namespace {

const char* const kHelp =
    "usage: mero report [--db URL | --dir REPORTDIR] [--plan NAME] [--station NAME]\n"
    "                   [--from DATE] [--to DATE] [--unit PATTERN]\n"
    "                   [--html FILE] [--csv DIR] [--json FILE]\n"
    "Reads the unit records (REPORTDIR/results.db, the current directory's unless\n"
    "given, or the PostgreSQL server --db names) and prints, per plan: units tested,\n"
    "PASS/FAIL/ERROR/ABORTED, yield and first-pass yield, retests, the failing steps\n"
    "and error causes, each measurement's n, mean, standard deviation, min, max,\n"
    "shares outside its limits and marginal, Cp and Cpk, and the yield per station,\n"
    "operator and day.\n"
    "  --from, --to DATE   YYYY-MM-DD (UTC), both days included\n"
    "  --unit PATTERN      unit ids: * any text, ? one character\n"
    "  --html FILE         one page with charts, readable offline and printable\n"
    "  --csv DIR           the figures as CSV files in DIR\n"
    "  --json FILE         the figures as JSON\n"
    "Exit status: 0 done (also with no records), 1 the records cannot be read, 2 bad\n"
    "arguments.\n";

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  if (!f.flush()) throw ToolError("cannot write " + path);
}

std::string NowText() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", &tm);
  return buf;
}

}  // namespace

int RunReport(ArgReader& args) {
  std::string dir = ".", db, html, csv, json;
  qc::SummaryFilter filter;
  std::string word;
  while (NextOption(args, kHelp, word)) {
    if (word == "--db")
      db = args.Value(word);
    else if (word == "--dir")
      dir = args.Value(word);
    else if (word == "--plan")
      filter.Plan = args.Value(word);
    else if (word == "--station")
      filter.Station = args.Value(word);
    else if (word == "--from")
      filter.From = args.Value(word);
    else if (word == "--to")
      filter.To = args.Value(word);
    else if (word == "--unit")
      filter.Unit = args.Value(word);
    else if (word == "--html")
      html = args.Value(word);
    else if (word == "--csv")
      csv = args.Value(word);
    else if (word == "--json")
      json = args.Value(word);
    else
      throw UsageError("unexpected \"" + word + "\"");
  }
  std::vector<qc::PlanSummary> plans;
  try {
    qc::CheckFilter(filter);
    if (db.empty()) {
      db = qc::DefaultDatabase(dir);
      struct stat st {};
      // Reading never makes a database: no file is no records.
      if (stat(db.c_str(), &st) != 0) db.clear();
    }
    if (!db.empty()) {
      qc::RecordDb records(db);
      plans = qc::Summarize(records, filter);
    }
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  } catch (const qc::RecordDbError& e) {
    throw ToolError(e.what());
  }
  std::fputs(qc::SummaryText(plans, filter).c_str(), stdout);
  if (!html.empty()) WriteText(html, qc::SummaryHtml(plans, filter, NowText()));
  if (!json.empty()) WriteText(json, qc::SummaryJson(plans, filter));
  if (!csv.empty()) {
    try {
      qc::WriteSummaryCsv(plans, csv);
    } catch (const std::runtime_error& e) {
      throw ToolError(e.what());
    }
  }
  return kExitOk;
}

}  // namespace zav::mero
