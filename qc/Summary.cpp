#include "qc/Summary.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <map>
#include <string_view>
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

// What the pass over the values needs of each record the filter let through.
struct RecordInfo {
  uint32_t plan;     // its place in the summary
  uint32_t unit;     // the unit's number within its plan
  uint32_t version;  // its plan file's place in Versions
  double started;    // seconds since the epoch
};
struct Records {
  std::unordered_map<std::string, RecordInfo> byId;
  std::vector<std::string> versions;  // plan files' SHA-256
  std::unordered_map<std::string, uint32_t> versionIndex;
  std::vector<std::pair<double, double>> spans;  // each plan's first and last start
};

double Seconds(std::string_view iso);

// Every tally of a plan in one pass over its records, each unit's records
// together in time order: the whole plan, and per station, operator and day
// (UTC). Within each, a unit counts once: its first test for the first pass,
// its last for the yield.
void CountTallies(RecordDb& db, const Where& w, PlanSummary& s, Records& records, uint32_t planIndex) {
  enum { kAll, kStation, kOperator, kDay, kDimensions };
  std::map<std::string, Tally, std::less<>> tallies[kDimensions];
  struct Seen {
    Tally* tally;
    bool tested = false, firstPassed = false, lastPassed = false;
  };
  std::vector<Seen> unit;  // the current unit's groups
  auto endUnit = [&] {
    for (const Seen& seen : unit) {
      seen.tally->Units += seen.tested;
      seen.tally->UnitsPassed += seen.lastPassed;
      seen.tally->FirstPassed += seen.firstPassed;
      seen.tally->UntestedUnits += !seen.tested;
    }
    unit.clear();
  };
  std::string current, versionSeen;
  uint32_t units = 0, version = 0;
  bool any = false;
  std::pair<double, double> span{0, 0};
  db.Scan(std::string("SELECT ") + kUnitKey + ", u.outcome, u.station, u.operator, substr(u.started, 1, 10)," +
              " u.record_id, u.started, u.plan_sha256 FROM units u WHERE " + w.Sql + " ORDER BY 1, u.started, u.record_id",
          w.Params, [&](const SqlView& row) {
            if (row.Text(0) != current || unit.empty()) {
              endUnit();
              current.assign(row.Text(0));
              ++units;
            }
            if (row.Text(7) != versionSeen || !any) {
              versionSeen.assign(row.Text(7));
              auto v = records.versionIndex.find(versionSeen);
              if (v == records.versionIndex.end()) {
                v = records.versionIndex.emplace(versionSeen, uint32_t(records.versions.size())).first;
                records.versions.push_back(versionSeen);
              }
              version = v->second;
            }
            const std::string_view startedText = row.Text(6);
            const double started = Seconds(startedText);
            if (s.FirstStarted.empty() || startedText < s.FirstStarted) s.FirstStarted.assign(startedText);
            span = any ? std::pair{std::min(span.first, started), std::max(span.second, started)}
                       : std::pair{started, started};
            any = true;
            records.byId[std::string(row.Text(5))] = RecordInfo{planIndex, units - 1, version, started};
            const std::string_view outcome = row.Text(1);
            const bool tested = outcome == "PASS" || outcome == "FAIL", passed = outcome == "PASS";
            for (int d = 0; d < kDimensions; ++d) {
              const std::string_view key = d == kAll ? std::string_view() : row.Text(size_t(d) + 1);
              auto found = tallies[d].find(key);
              if (found == tallies[d].end()) found = tallies[d].emplace(std::string(key), Tally{}).first;
              Tally& t = found->second;
              t.Records++;
              t.Pass += passed;
              t.Fail += outcome == "FAIL";
              t.Error += outcome == "ERROR";
              t.Aborted += outcome == "ABORTED";
              auto it = std::find_if(unit.begin(), unit.end(), [&](const Seen& x) { return x.tally == &t; });
              if (it == unit.end()) it = unit.insert(unit.end(), Seen{&t});
              if (!tested) continue;
              if (!it->tested) it->firstPassed = passed;
              it->tested = true;
              it->lastPassed = passed;
            }
          });
  endUnit();
  records.spans.push_back(span);
  s.All = tallies[kAll][""];
  for (auto& [key, t] : tallies[kStation]) s.Stations.push_back(t), s.Stations.back().Key = key;
  for (auto& [key, t] : tallies[kOperator]) s.Operators.push_back(t), s.Operators.back().Key = key;
  for (auto& [key, t] : tallies[kDay]) s.Days.push_back(t), s.Days.back().Key = key;
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
double Seconds(std::string_view iso) {
  if (iso.size() < 19) return 0;
  auto num = [&](size_t at, size_t n) {
    int v = 0;
    for (size_t i = at; i < at + n; ++i) v = v * 10 + (iso[i] - '0');
    return v;
  };
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
  if (iso.size() >= 23 && iso[19] == '.') secs += num(20, 3) / 1000.0;
  return secs;
}

// The measurement's group of a row: its first seven cells, into `key`.
void KeyOf(const SqlRow& row, std::string& key) {
  key.clear();
  for (size_t i = 0; i < 7; ++i) {
    if (row[i])
      key += *row[i];
    else
      key += '\x1e';
    key += '\x1f';
  }
}

// A histogram of fine bins whose range grows (by doubling the bins' width)
// to take every value, so one pass needs no range given ahead. The bins
// shown are whole runs of fine bins: their counts are exact.
class FineHistogram {
 public:
  static constexpr int64_t kBins = 4096;
  void Take(double v) {
    Cover(v);
    counts_[size_t(Index(v))]++;
  }
  // Makes `v` part of the range without counting it (a limit to show).
  void Cover(double v) {
    if (!std::isfinite(v)) return;
    if (counts_.empty()) {
      const double scale = v == 0 ? 1 : std::fabs(v);
      width_ = scale / double(kBins);
      origin_ = v - double(kBins / 2) * width_;
      counts_.assign(size_t(kBins), 0);
    }
    while (v < origin_ || v >= origin_ + double(kBins) * width_) Grow(v < origin_);
  }
  // About `bins` bins from the first to the last value or limit covered.
  std::vector<Bin> Bins(size_t bins, double least, double greatest) const {
    if (counts_.empty()) return {};
    const int64_t first = Index(least), last = Index(greatest);
    const int64_t run = std::max<int64_t>(1, (last - first + int64_t(bins)) / int64_t(bins));
    std::vector<Bin> out;
    for (int64_t i = first; i <= last; i += run) {
      Bin b{origin_ + double(i) * width_, origin_ + double(std::min(i + run, kBins)) * width_, 0};
      for (int64_t k = i; k < std::min(i + run, kBins); ++k) b.Count += counts_[size_t(k)];
      out.push_back(b);
    }
    return out;
  }

 private:
  int64_t Index(double v) const {
    return std::clamp(int64_t(std::floor((v - origin_) / width_)), int64_t(0), kBins - 1);
  }
  // Twice as wide: the range grows downward (`down`) or upward by its own width.
  void Grow(bool down) {
    std::vector<uint64_t> merged(size_t(kBins), 0);
    const int64_t shift = down ? kBins / 2 : 0;
    for (int64_t i = 0; i < kBins; ++i) merged[size_t(shift + i / 2)] += counts_[size_t(i)];
    if (down) origin_ -= double(kBins) * width_;
    width_ *= 2;
    counts_ = std::move(merged);
  }
  double origin_ = 0, width_ = 1;
  std::vector<uint64_t> counts_;
};

// Where each measurement's values go while they stream by.
struct Accumulator {
  double mean = 0, squares = 0;  // Welford's running mean and sum of squared deviations
  FineHistogram histogram;
  std::vector<RunColumn> columns = std::vector<RunColumn>(kRunColumns);
  std::vector<bool> units;        // by the units' numbers within the plan
  std::vector<uint32_t> versions;  // places in Records::versions
  std::pair<int64_t, int64_t> place{INT64_MAX, INT64_MAX};  // the first (step, measurement) it was seen at
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

// Every plan's measurements in one pass over the values, in the table's own
// order (a record's values together); a record the filter did not let
// through is passed over.
void Measures(RecordDb& db, const Records& records, std::vector<PlanSummary>& plans, const std::vector<Where>& filters) {
  struct Group {
    MeasureSummary m;
    Accumulator a;
    uint32_t plan;
  };
  // Records of one plan file put their values in the same order: the group
  // of each place is remembered and only checked for the next record.
  std::vector<size_t> layout;
  uint32_t layoutVersion = UINT32_MAX;
  size_t place = 0;
  std::vector<Group> groups;
  std::unordered_map<std::string, size_t> index;
  std::string key, lastRecord;
  const RecordInfo* record = nullptr;
  // The group of a row: found by its cells and the plan, or a new one.
  const auto Find = [&](const SqlRow& row, uint32_t plan) {
    KeyOf(row, key);
    key += std::to_string(plan);
    auto it = index.find(key);
    if (it == index.end()) {
      Group g{{}, {}, plan};
      MeasureSummary& m = g.m;
      m.Step = row[0].value_or("");
      m.Name = row[1].value_or("");
      m.Unit = row[2].value_or("");
      m.Min = Number(row[3]);
      m.Max = Number(row[4]);
      m.MarginalMin = Number(row[5]);
      m.MarginalMax = Number(row[6]);
      for (const auto& limit : {m.Min, m.Max})
        if (limit) g.a.histogram.Cover(*limit);
      it = index.emplace(key, groups.size()).first;
      groups.push_back(std::move(g));
    }
    return it->second;
  };
  SqlRow row;  // a row's first seven cells, copied only for a place not seen before
  // A limit read in place equals the group's.
  const auto same = [](const SqlView& view, size_t c, const std::optional<double>& limit) {
    return view.Null(c) ? !limit : limit && view.Number(c) == *limit;
  };
  const auto take = [&](const SqlView& view) {
            if (view.Null(11)) return;
            if (const std::string_view id = view.Text(11); id != lastRecord) {
              lastRecord.assign(id);
              const auto found = records.byId.find(lastRecord);
              record = found == records.byId.end() ? nullptr : &found->second;
              place = 0;
              if (record && record->version != layoutVersion) {
                layout.clear();
                layoutVersion = record->version;
              }
            }
            if (record == nullptr) return;
            const size_t at = place++;
            size_t gi = at < layout.size() ? layout[at] : SIZE_MAX;
            if (gi != SIZE_MAX) {
              const MeasureSummary& m = groups[gi].m;
              if (view.Text(0) != m.Step || view.Text(1) != m.Name || view.Text(2) != m.Unit || !same(view, 3, m.Min) ||
                  !same(view, 4, m.Max) || !same(view, 5, m.MarginalMin) || !same(view, 6, m.MarginalMax))
                gi = SIZE_MAX;
            }
            if (gi == SIZE_MAX) {
              row.resize(7);
              for (size_t c = 0; c < 7; ++c)
                row[c] = view.Null(c) ? std::nullopt : std::optional<std::string>(view.Text(c));
              gi = Find(row, record->plan);
              if (layout.size() <= at) layout.resize(at + 1, SIZE_MAX);
              layout[at] = gi;
            }
            Group& g = groups[gi];
            MeasureSummary& m = g.m;
            Accumulator& a = g.a;
            const double v = view.Number(7);
            m.Least = m.N == 0 ? v : std::min(m.Least, v);
            m.Greatest = m.N == 0 ? v : std::max(m.Greatest, v);
            ++m.N;
            const double delta = v - a.mean;
            a.mean += delta / double(m.N);
            a.squares += delta * (v - a.mean);
            m.Below += m.Min && v < *m.Min;
            m.Above += m.Max && v > *m.Max;
            m.Marginal += !view.Null(8) && view.Text(8) == "MARGINAL";
            a.histogram.Take(v);
            const auto [first, last] = records.spans[record->plan];
            const double length = last - first;
            const size_t c = length > 0 ? size_t(std::clamp(std::floor((record->started - first) / length * double(kRunColumns)),
                                                            0.0, double(kRunColumns - 1)))
                                        : 0;
            RunColumn& col = a.columns[c];
            if (col.Count == 0 || v < col.Least) col.Least = v;
            if (col.Count == 0 || v > col.Greatest) col.Greatest = v;
            col.Mean += v;  // a sum until the end
            col.Count++;
            if (a.units.size() <= record->unit) a.units.resize(std::max<size_t>(record->unit + 1, a.units.size() * 2));
            if (!a.units[record->unit]) {
              a.units[record->unit] = true;
              m.Units++;
            }
            if (std::find(a.versions.begin(), a.versions.end(), record->version) == a.versions.end())
              a.versions.push_back(record->version);
            a.place = std::min(a.place, std::pair<int64_t, int64_t>(int64_t(view.Number(9)), int64_t(view.Number(10))));
          };
  const std::string columns = "SELECT m.step, m.name, m.unit, m.min, m.max, m.marginal_min, m.marginal_max, m.value,"
                              " m.outcome, m.step_seq, m.seq, m.record_id";
  // A few of the records: each plan's through the filter; most of them: the
  // whole table once, in its own order, is faster than a lookup per record.
  const uint64_t all = Count(db.Query("SELECT COUNT(*) FROM units").at(0).at(0));
  if (records.byId.size() * 4 < all) {
    for (const Where& w : filters)
      db.Scan(columns + " FROM units u JOIN measurements m ON m.record_id = u.record_id WHERE " + w.Sql +
                  " AND m.value IS NOT NULL",
              w.Params, take);
  } else {
    db.Scan(columns + " FROM measurements m WHERE m.value IS NOT NULL", {}, take);
  }
  for (Group& g : groups) {
    MeasureSummary& m = g.m;
    Accumulator& a = g.a;
    const auto [first, last] = records.spans[g.plan];
    m.Mean = a.mean;
    if (m.N > 1) m.Sd = std::sqrt(a.squares / double(m.N - 1));
    Capability(m);
    for (const uint32_t v : a.versions) m.PlanVersions.push_back(records.versions[v]);
    std::sort(m.PlanVersions.begin(), m.PlanVersions.end());
    m.Histogram = a.histogram.Bins(kHistogramBins, std::min(m.Least, m.Min.value_or(m.Least)),
                                   std::max(m.Greatest, m.Max.value_or(m.Greatest)));
    m.RunSpan = last - first;
    m.FirstStarted = plans[g.plan].FirstStarted;
    for (size_t c = 0; c < kRunColumns; ++c) {
      RunColumn col = a.columns[c];
      if (col.Count == 0) continue;
      col.Mean /= double(col.Count);
      col.At = m.RunSpan > 0 ? (double(c) + 0.5) * m.RunSpan / double(kRunColumns) : 0;
      m.Run.push_back(col);
    }
  }
  // Each plan's in its order: by step, then by the measurement's place in it.
  std::stable_sort(groups.begin(), groups.end(), [](const Group& x, const Group& y) { return x.a.place < y.a.place; });
  for (Group& g : groups) plans[g.plan].Measures.push_back(std::move(g.m));
}

}  // namespace

void CheckFilter(const SummaryFilter& f) {
  for (const std::string* day : {&f.From, &f.To})
    if (!day->empty() && !IsDay(*day)) throw std::invalid_argument("not a date (YYYY-MM-DD): " + *day);
}

std::vector<PlanSummary> Summarize(RecordDb& db, const SummaryFilter& f) {
  CheckFilter(f);
  std::vector<std::string> plans;
  if (!f.Plan.empty()) {
    plans.push_back(f.Plan);
  } else {
    for (const SqlRow& row : db.Query("SELECT DISTINCT plan FROM units ORDER BY plan")) plans.push_back(row[0].value_or(""));
  }
  db.PrepareForScans();
  std::vector<PlanSummary> out;
  std::vector<Where> filters;
  Records records;
  for (const std::string& plan : plans) {
    const Where w = FilterOf(f, plan);
    PlanSummary s;
    s.Plan = plan;
    CountTallies(db, w, s, records, uint32_t(out.size()));
    if (s.All.Records == 0) {  // nothing of it passes the filter
      records.spans.pop_back();
      continue;
    }
    s.FailingSteps = Pareto(db, w, "u.first_failure", "FAIL");
    s.ErrorCauses = Pareto(db, w,
                           "COALESCE(NULLIF(u.error, ''), (SELECT s.message FROM steps s WHERE s.record_id ="
                           " u.record_id AND s.outcome IN ('ERROR', 'ABORTED') ORDER BY s.seq LIMIT 1), '')",
                           "ERROR");
    for (const SqlRow& row : db.Query("SELECT u.unit_id, u.started, u.station, u.first_failure FROM units u WHERE " +
                                          w.Sql + " AND u.outcome = 'FAIL' ORDER BY u.started DESC, u.record_id DESC LIMIT " +
                                          std::to_string(kRecentFailures),
                                      w.Params))
      s.RecentFailures.push_back({row[0].value_or(""), row[1].value_or(""), row[2].value_or(""), row[3].value_or("")});
    out.push_back(std::move(s));
    filters.push_back(w);
  }
  if (!records.byId.empty()) Measures(db, records, out, filters);
  return out;
}

}  // namespace zav::qc
