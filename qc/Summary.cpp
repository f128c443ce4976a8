#include "qc/Summary.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <unordered_map>

namespace zav::qc {

std::optional<double> Tally::Yield() const {
  if (Units == 0) return std::nullopt;
  return double(UnitsPassed) / double(Units);
}

std::optional<double> Tally::FirstPassYield() const {
  if (Units == 0) return std::nullopt;
  return double(FirstPassed) / double(Units);
}

namespace {

// A unit without an id is a unit of its own.
constexpr const char* kUnitKey = "CASE WHEN u.unit_id = '' THEN u.record_id ELSE u.unit_id END";
constexpr const char* kTested = "u.outcome IN ('PASS', 'FAIL')";

bool IsDay(const std::string& d) {
  if (d.size() != 10 || d[4] != '-' || d[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (d[i] < '0' || d[i] > '9') return false;
  const int month = std::atoi(d.substr(5, 2).c_str()), day = std::atoi(d.substr(8, 2).c_str());
  return month >= 1 && month <= 12 && day >= 1 && day <= 31;
}

// A LIKE pattern from a glob: * and ? as wildcards, LIKE's own kept literal.
std::string LikePattern(const std::string& glob) {
  std::string out;
  for (const char c : glob) {
    if (c == '*')
      out += '%';
    else if (c == '?')
      out += '_';
    else if (c == '%' || c == '_' || c == '\\')
      out += std::string("\\") + c;
    else
      out += c;
  }
  return out;
}

struct Where {
  std::string Sql;  // "u.plan = ? AND ...", over units as u
  SqlParams Params;
};

Where FilterOf(const SummaryFilter& f, const std::string& plan) {
  Where w{"u.plan = ?", {plan}};
  if (!f.Station.empty()) {
    w.Sql += " AND u.station = ?";
    w.Params.emplace_back(f.Station);
  }
  if (!f.From.empty()) {
    w.Sql += " AND substr(u.started, 1, 10) >= ?";
    w.Params.emplace_back(f.From);
  }
  if (!f.To.empty()) {
    w.Sql += " AND substr(u.started, 1, 10) <= ?";
    w.Params.emplace_back(f.To);
  }
  if (!f.Unit.empty()) {
    w.Sql += " AND u.unit_id LIKE ? ESCAPE '\\'";
    w.Params.emplace_back(LikePattern(f.Unit));
  }
  return w;
}

uint64_t Count(const std::optional<std::string>& cell) { return cell ? std::strtoull(cell->c_str(), nullptr, 10) : 0; }
std::optional<double> Number(const std::optional<std::string>& cell) {
  if (!cell) return std::nullopt;
  return std::strtod(cell->c_str(), nullptr);
}

// Tallies grouped by `group` (an expression over u; '' for one tally).
std::vector<Tally> Tallies(RecordDb& db, const Where& w, const std::string& group) {
  const std::string sql =
      std::string("WITH t AS (SELECT ") + group + " AS g, " + kUnitKey +
      " AS k, u.outcome AS outcome,"
      " CASE WHEN " + kTested + " THEN 1 ELSE 0 END AS tested, u.started AS started, u.record_id AS id"
      " FROM units u WHERE " + w.Sql +
      "), r AS (SELECT g, k, outcome, tested,"
      " ROW_NUMBER() OVER (PARTITION BY g, k, tested ORDER BY started, id) AS f,"
      " ROW_NUMBER() OVER (PARTITION BY g, k, tested ORDER BY started DESC, id DESC) AS l FROM t)"
      " SELECT g, COUNT(*),"
      " SUM(CASE WHEN outcome = 'PASS' THEN 1 ELSE 0 END), SUM(CASE WHEN outcome = 'FAIL' THEN 1 ELSE 0 END),"
      " SUM(CASE WHEN outcome = 'ERROR' THEN 1 ELSE 0 END), SUM(CASE WHEN outcome = 'ABORTED' THEN 1 ELSE 0 END),"
      " SUM(CASE WHEN tested = 1 AND l = 1 THEN 1 ELSE 0 END),"
      " SUM(CASE WHEN tested = 1 AND l = 1 AND outcome = 'PASS' THEN 1 ELSE 0 END),"
      " SUM(CASE WHEN tested = 1 AND f = 1 AND outcome = 'PASS' THEN 1 ELSE 0 END),"
      " COUNT(DISTINCT k)"
      " FROM r GROUP BY g ORDER BY g";
  std::vector<Tally> out;
  for (const SqlRow& row : db.Query(sql, w.Params)) {
    Tally t;
    t.Key = row[0].value_or("");
    t.Records = Count(row[1]);
    t.Pass = Count(row[2]);
    t.Fail = Count(row[3]);
    t.Error = Count(row[4]);
    t.Aborted = Count(row[5]);
    t.Units = Count(row[6]);
    t.UnitsPassed = Count(row[7]);
    t.FirstPassed = Count(row[8]);
    t.UntestedUnits = Count(row[9]) - t.Units;
    out.push_back(std::move(t));
  }
  return out;
}

std::vector<Cause> Pareto(RecordDb& db, const Where& w, const std::string& what, const std::string& outcome) {
  const std::string sql = "SELECT " + what + " AS c, COUNT(*) FROM units u WHERE " + w.Sql +
                          " AND u.outcome = ? GROUP BY c ORDER BY COUNT(*) DESC, c";
  SqlParams params = w.Params;
  params.emplace_back(outcome);
  std::vector<Cause> out;
  uint64_t total = 0;
  for (const SqlRow& row : db.Query(sql, params)) {
    out.push_back({row[0].value_or(""), Count(row[1]), 0});
    total += out.back().Count;
  }
  for (Cause& c : out) c.Share = double(c.Count) / double(total);
  return out;
}

// Seconds since the epoch of "YYYY-MM-DDTHH:MM:SS.mmmZ".
double Seconds(const std::string& iso) {
  if (iso.size() < 19) return 0;
  auto num = [&](size_t at, size_t n) { return std::atoi(iso.substr(at, n).c_str()); };
  int y = num(0, 4);
  const unsigned m = unsigned(num(5, 2)), d = unsigned(num(8, 2));
  // Days from the civil date (proleptic Gregorian).
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const double days = double(era) * 146097 + double(doe) - 719468;
  double secs = days * 86400 + num(11, 2) * 3600 + num(14, 2) * 60 + num(17, 2);
  if (iso.size() > 20 && iso[19] == '.') secs += std::strtod(("0" + iso.substr(19, 4)).c_str(), nullptr);
  return secs;
}

constexpr const char* kMeasureKey = "m.step, m.name, m.unit, m.min, m.max, m.marginal_min, m.marginal_max";

std::string KeyOf(const SqlRow& row) {
  std::string key;
  for (size_t i = 0; i < 7; ++i) key += (row[i] ? *row[i] : std::string("\x1e")) + '\x1f';
  return key;
}

// Where each measurement's values go while they stream by.
struct Accumulator {
  double t0 = 0, span = 0, lo = 0, width = 1;
  double squares = 0;
  std::vector<RunColumn> columns = std::vector<RunColumn>(kRunColumns);
};

void Capability(MeasureSummary& m) {
  if (!m.Sd) {
    m.CapabilityNote = m.N == 1 ? "one value: no standard deviation, no Cpk" : "no values";
    return;
  }
  if (!m.Min && !m.Max) {
    m.CapabilityNote = "no limits: no Cpk";
    return;
  }
  if (*m.Sd == 0) {
    m.CapabilityNote = "all values equal (sigma = 0): Cpk not defined";
    return;
  }
  const double s = *m.Sd;
  if (m.Min && m.Max) {
    m.Cp = (*m.Max - *m.Min) / (6 * s);
    m.Cpk = std::min(*m.Max - m.Mean, m.Mean - *m.Min) / (3 * s);
  } else if (m.Max) {
    m.Cpk = (*m.Max - m.Mean) / (3 * s);
  } else {
    m.Cpk = (m.Mean - *m.Min) / (3 * s);
  }
}

std::vector<MeasureSummary> Measures(RecordDb& db, const Where& w) {
  const std::string from = " FROM measurements m JOIN units u ON u.record_id = m.record_id WHERE " + w.Sql +
                           " AND m.value IS NOT NULL";
  // First the figures the database counts, then one pass over the values for
  // the spread, the histogram and the run chart.
  const std::string totals = std::string("SELECT ") + kMeasureKey +
                             ", COUNT(*), AVG(m.value), MIN(m.value), MAX(m.value),"
                             " SUM(CASE WHEN m.min IS NOT NULL AND m.value < m.min THEN 1 ELSE 0 END),"
                             " SUM(CASE WHEN m.max IS NOT NULL AND m.value > m.max THEN 1 ELSE 0 END),"
                             " SUM(CASE WHEN m.outcome = 'MARGINAL' THEN 1 ELSE 0 END),"
                             " COUNT(DISTINCT " + std::string(kUnitKey) + "), MIN(u.started), MAX(u.started),"
                             " MIN(m.step_seq), MIN(m.seq)" + from + " GROUP BY " + kMeasureKey;
  std::vector<MeasureSummary> out;
  std::vector<Accumulator> acc;
  std::vector<std::pair<int64_t, int64_t>> order;
  std::unordered_map<std::string, size_t> index;
  for (const SqlRow& row : db.Query(totals, w.Params)) {
    MeasureSummary m;
    m.Step = row[0].value_or("");
    m.Name = row[1].value_or("");
    m.Unit = row[2].value_or("");
    m.Min = Number(row[3]);
    m.Max = Number(row[4]);
    m.MarginalMin = Number(row[5]);
    m.MarginalMax = Number(row[6]);
    m.N = Count(row[7]);
    m.Mean = Number(row[8]).value_or(0);
    m.Least = Number(row[9]).value_or(0);
    m.Greatest = Number(row[10]).value_or(0);
    m.Below = Count(row[11]);
    m.Above = Count(row[12]);
    m.Marginal = Count(row[13]);
    m.Units = Count(row[14]);
    m.FirstStarted = row[15].value_or("");
    Accumulator a;
    a.t0 = Seconds(m.FirstStarted);
    a.span = Seconds(row[16].value_or("")) - a.t0;
    double lo = std::min(m.Least, m.Min.value_or(m.Least)), hi = std::max(m.Greatest, m.Max.value_or(m.Greatest));
    if (hi <= lo) {
      const double pad = lo == 0 ? 0.5 : std::fabs(lo) * 0.05;
      lo -= pad;
      hi += pad;
    }
    a.lo = lo;
    a.width = (hi - lo) / double(kHistogramBins);
    for (size_t b = 0; b < kHistogramBins; ++b)
      m.Histogram.push_back({lo + double(b) * a.width, lo + double(b + 1) * a.width, 0});
    index.emplace(KeyOf(row), out.size());
    order.emplace_back(std::atoll(row[17].value_or("0").c_str()), std::atoll(row[18].value_or("0").c_str()));
    out.push_back(std::move(m));
    acc.push_back(std::move(a));
  }
  if (out.empty()) return out;
  db.Each(std::string("SELECT ") + kMeasureKey + ", m.value, u.started" + from, w.Params, [&](const SqlRow& row) {
    const auto it = index.find(KeyOf(row));
    if (it == index.end()) return;  // a record stored since the totals: counted next time
    MeasureSummary& m = out[it->second];
    Accumulator& a = acc[it->second];
    const double v = std::strtod(row[7]->c_str(), nullptr);
    a.squares += (v - m.Mean) * (v - m.Mean);
    const double b = std::floor((v - a.lo) / a.width);
    m.Histogram[size_t(std::clamp(b, 0.0, double(kHistogramBins - 1)))].Count++;
    const double t = Seconds(row[8].value_or("")) - a.t0;
    const size_t c =
        a.span > 0 ? size_t(std::clamp(std::floor(t / a.span * double(kRunColumns)), 0.0, double(kRunColumns - 1))) : 0;
    RunColumn& col = a.columns[c];
    if (col.Count == 0 || v < col.Least) col.Least = v;
    if (col.Count == 0 || v > col.Greatest) col.Greatest = v;
    col.Mean += v;  // a sum until the end
    col.Count++;
  });
  for (size_t i = 0; i < out.size(); ++i) {
    MeasureSummary& m = out[i];
    Accumulator& a = acc[i];
    if (m.N > 1) m.Sd = std::sqrt(a.squares / double(m.N - 1));
    Capability(m);
    for (size_t c = 0; c < kRunColumns; ++c) {
      RunColumn col = a.columns[c];
      if (col.Count == 0) continue;
      col.Mean /= double(col.Count);
      col.At = a.span > 0 ? (double(c) + 0.5) * a.span / double(kRunColumns) : 0;
      m.Run.push_back(col);
    }
  }
  // The plan's order: by step, then by the measurement's place in it.
  std::vector<size_t> sorted(out.size());
  for (size_t i = 0; i < sorted.size(); ++i) sorted[i] = i;
  std::stable_sort(sorted.begin(), sorted.end(), [&](size_t x, size_t y) { return order[x] < order[y]; });
  std::vector<MeasureSummary> ordered;
  for (size_t i : sorted) ordered.push_back(std::move(out[i]));
  return ordered;
}

void PlanVersions(RecordDb& db, const Where& w, std::vector<MeasureSummary>& measures) {
  if (measures.empty()) return;
  const std::string sql = std::string("SELECT DISTINCT ") + kMeasureKey +
                          ", u.plan_sha256 FROM measurements m JOIN units u ON u.record_id = m.record_id WHERE " +
                          w.Sql + " AND m.value IS NOT NULL ORDER BY u.plan_sha256";
  db.Each(sql, w.Params, [&](const SqlRow& row) {
    // Limits compare as numbers: the database's text of a number is its own.
    for (MeasureSummary& m : measures) {
      if (m.Step != row[0].value_or("") || m.Name != row[1].value_or("") || m.Unit != row[2].value_or("")) continue;
      if (m.Min != Number(row[3]) || m.Max != Number(row[4]) || m.MarginalMin != Number(row[5]) ||
          m.MarginalMax != Number(row[6]))
        continue;
      m.PlanVersions.push_back(row[7].value_or(""));
    }
  });
}

}  // namespace

std::vector<PlanSummary> Summarize(RecordDb& db, const SummaryFilter& f) {
  for (const std::string* day : {&f.From, &f.To})
    if (!day->empty() && !IsDay(*day)) throw std::invalid_argument("not a date (YYYY-MM-DD): " + *day);
  std::vector<std::string> plans;
  if (!f.Plan.empty()) {
    plans.push_back(f.Plan);
  } else {
    for (const SqlRow& row : db.Query("SELECT DISTINCT plan FROM units ORDER BY plan")) plans.push_back(row[0].value_or(""));
  }
  std::vector<PlanSummary> out;
  for (const std::string& plan : plans) {
    const Where w = FilterOf(f, plan);
    PlanSummary s;
    s.Plan = plan;
    const std::vector<Tally> all = Tallies(db, w, "''");
    if (all.empty()) continue;  // nothing of it passes the filter
    s.All = all.front();
    s.FailingSteps = Pareto(db, w, "u.first_failure", "FAIL");
    s.ErrorCauses = Pareto(db, w,
                           "COALESCE(NULLIF(u.error, ''), (SELECT s.message FROM steps s WHERE s.record_id ="
                           " u.record_id AND s.outcome IN ('ERROR', 'ABORTED') ORDER BY s.seq LIMIT 1), '')",
                           "ERROR");
    s.Measures = Measures(db, w);
    PlanVersions(db, w, s.Measures);
    s.Stations = Tallies(db, w, "u.station");
    s.Operators = Tallies(db, w, "u.operator");
    s.Days = Tallies(db, w, "substr(u.started, 1, 10)");
    for (const SqlRow& row : db.Query("SELECT u.unit_id, u.started, u.station, u.first_failure FROM units u WHERE " +
                                          w.Sql + " AND u.outcome = 'FAIL' ORDER BY u.started DESC, u.record_id DESC LIMIT " +
                                          std::to_string(kRecentFailures),
                                      w.Params))
      s.RecentFailures.push_back({row[0].value_or(""), row[1].value_or(""), row[2].value_or(""), row[3].value_or("")});
    out.push_back(std::move(s));
  }
  return out;
}

}  // namespace zav::qc
