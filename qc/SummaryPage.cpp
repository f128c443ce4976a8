#include "qc/SummaryPage.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "platform/CsvField.h"
#include "qc/Report.h"

namespace zav::qc {

namespace {

std::string Format(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}
std::string Short(double v) { return Format("%.4g", v); }
std::string Full(double v) { return Format("%.17g", v); }
std::string Percent(std::optional<double> share) { return share ? Format("%.1f%%", *share * 100) : "-"; }
std::string Percent(double share) { return Format("%.1f%%", share * 100); }
std::string Maybe(std::optional<double> v) { return v ? Short(*v) : "-"; }

std::string LimitsOf(const MeasureSummary& m) {
  if (!m.Min && !m.Max) return "no limits";
  if (m.Min && m.Max) return "[" + Short(*m.Min) + ", " + Short(*m.Max) + "]";
  return m.Min ? ">= " + Short(*m.Min) : "<= " + Short(*m.Max);
}

std::string Label(const MeasureSummary& m) {
  return m.Step + " / " + m.Name + (m.Unit.empty() ? "" : " [" + m.Unit + "]");
}

std::string Html(const std::string& raw) { return XmlText(raw); }

// --- Charts: inline SVG, scaled by its viewBox ------------------------------

constexpr double kW = 560, kH = 200, kLeft = 48, kRight = 12, kTop = 12, kBottom = 28;

struct Axis {
  double lo, hi, from, to;  // values lo..hi onto pixels from..to
  double operator()(double v) const { return hi == lo ? (from + to) / 2 : from + (v - lo) / (hi - lo) * (to - from); }
};

std::string Svg(const std::string& label, const std::string& body, double height = kH) {
  return "<svg class=\"chart\" role=\"img\" aria-label=\"" + Html(label) + "\" viewBox=\"0 0 " + Short(kW) + " " +
         Short(height) + "\" xmlns=\"http://www.w3.org/2000/svg\">" + body + "</svg>";
}

std::string Line(double x1, double y1, double x2, double y2, const std::string& cls) {
  return "<line class=\"" + cls + "\" x1=\"" + Short(x1) + "\" y1=\"" + Short(y1) + "\" x2=\"" + Short(x2) +
         "\" y2=\"" + Short(y2) + "\"/>";
}
std::string Rect(double x, double y, double w, double h, const std::string& cls) {
  return "<rect class=\"" + cls + "\" x=\"" + Short(x) + "\" y=\"" + Short(y) + "\" width=\"" + Short(std::max(w, 0.0)) +
         "\" height=\"" + Short(std::max(h, 0.0)) + "\"/>";
}
std::string Text(double x, double y, const std::string& text, const std::string& anchor = "start") {
  return "<text x=\"" + Short(x) + "\" y=\"" + Short(y) + "\" text-anchor=\"" + anchor + "\">" + Html(text) +
         "</text>";
}

// The limit lines across a chart: vertical (x axis of values) or horizontal.
std::string Limits(const MeasureSummary& m, const Axis& axis, bool vertical, double a, double b) {
  std::string out;
  auto at = [&](std::optional<double> v, const char* cls, const char* name) {
    if (!v) return;
    const double p = axis(*v);
    out += vertical ? Line(p, a, p, b, cls) + Text(p, a - 2, name, "middle") : Line(a, p, b, p, cls) + Text(b, p - 3, name, "end");
  };
  at(m.Min, "limit", "LSL");
  at(m.Max, "limit", "USL");
  return out;
}

// The band inside the limits that passes as MARGINAL.
std::string MarginalBand(const MeasureSummary& m, const Axis& axis, bool vertical, double a, double b) {
  std::string out;
  auto band = [&](std::optional<double> from, std::optional<double> to) {
    if (!from || !to || *to <= *from) return;
    const double p = axis(*from), q = axis(*to);
    out += vertical ? Rect(std::min(p, q), a, std::fabs(q - p), b - a, "marginal")
                    : Rect(a, std::min(p, q), b - a, std::fabs(q - p), "marginal");
  };
  band(m.Min, m.MarginalMin);
  band(m.MarginalMax, m.Max);
  return out;
}

std::string Histogram(const MeasureSummary& m) {
  if (m.Histogram.empty()) return "";
  uint64_t most = 1;
  for (const Bin& b : m.Histogram) most = std::max(most, b.Count);
  const Axis x{m.Histogram.front().From, m.Histogram.back().To, kLeft, kW - kRight};
  const Axis y{0, double(most), kH - kBottom, kTop + 10};
  std::string body = MarginalBand(m, x, true, kTop + 10, kH - kBottom);
  for (const Bin& b : m.Histogram)
    body += Rect(x(b.From) + 0.5, y(double(b.Count)), x(b.To) - x(b.From) - 1, y(0) - y(double(b.Count)), "bar");
  body += Limits(m, x, true, kTop + 10, kH - kBottom);
  body += Line(kLeft, kH - kBottom, kW - kRight, kH - kBottom, "axis");
  body += Text(kLeft, kH - 10, Short(x.lo)) + Text(kW - kRight, kH - 10, Short(x.hi), "end") +
          Text(kLeft - 4, y(double(most)) + 4, std::to_string(most), "end") + Text(kLeft - 4, y(0), "0", "end");
  return Svg("histogram of " + Label(m), body);
}

std::string RunChart(const MeasureSummary& m) {
  if (m.Run.empty()) return "";
  double lo = std::min(m.Least, m.Min.value_or(m.Least)), hi = std::max(m.Greatest, m.Max.value_or(m.Greatest));
  if (hi <= lo) {
    lo -= 1;
    hi += 1;
  }
  const double pad = (hi - lo) * 0.08;
  const double span = m.RunSpan;
  const Axis x{0, span, kLeft, kW - kRight};
  const Axis y{lo - pad, hi + pad, kH - kBottom, kTop};
  std::string band, mean;
  for (const RunColumn& c : m.Run)
    band += Line(x(c.At), y(c.Least), x(c.At), y(c.Greatest), "spread");
  for (const RunColumn& c : m.Run) mean += (mean.empty() ? "" : " ") + Short(x(c.At)) + "," + Short(y(c.Mean));
  std::string body = MarginalBand(m, y, false, kLeft, kW - kRight) + band;
  body += "<polyline class=\"mean\" points=\"" + mean + "\"/>";
  for (const RunColumn& c : m.Run) body += "<circle class=\"dot\" cx=\"" + Short(x(c.At)) + "\" cy=\"" + Short(y(c.Mean)) + "\" r=\"1.8\"/>";
  body += Limits(m, y, false, kLeft, kW - kRight);
  body += Line(kLeft, kH - kBottom, kW - kRight, kH - kBottom, "axis");
  body += Text(kLeft, kH - 10, m.FirstStarted.substr(0, 16)) +
          Text(kW - kRight, kH - 10, "+" + Short(span / 86400) + " days", "end") +
          Text(kLeft - 4, y(hi) + 4, Short(hi), "end") + Text(kLeft - 4, y(lo), Short(lo), "end");
  return Svg("run chart of " + Label(m), body);
}

// Horizontal bars, largest first: the ten largest causes.
std::string Pareto(const std::vector<Cause>& causes, const std::string& label) {
  const size_t n = std::min<size_t>(causes.size(), 10);
  if (n == 0) return "";
  const double row = 22, height = kTop + row * double(n) + 8;
  const double most = double(causes.front().Count);
  const Axis x{0, most, 200, kW - 90};
  std::string body;
  for (size_t i = 0; i < n; ++i) {
    const Cause& c = causes[i];
    const double top = kTop + row * double(i);
    std::string name = c.What.empty() ? "(none)" : c.What;
    if (name.size() > 30) name = name.substr(0, 29) + "...";
    body += Text(194, top + 14, name, "end") + Rect(200, top + 3, x(double(c.Count)) - 200, row - 6, "bar") +
            Text(x(double(c.Count)) + 4, top + 14, std::to_string(c.Count) + " (" + Percent(c.Share) + ")");
  }
  return Svg(label, body, height);
}

std::string YieldLine(const std::vector<Tally>& days) {
  std::vector<std::pair<std::string, double>> points;
  for (const Tally& d : days)
    if (d.Yield()) points.emplace_back(d.Key, *d.Yield());
  if (points.empty()) return "";
  const Axis x{0, double(points.size() - 1), kLeft, kW - kRight};
  const Axis y{0, 1, kH - kBottom, kTop};
  std::string line, dots;
  for (size_t i = 0; i < points.size(); ++i) {
    line += (line.empty() ? "" : " ") + Short(x(double(i))) + "," + Short(y(points[i].second));
    dots += "<circle class=\"dot\" cx=\"" + Short(x(double(i))) + "\" cy=\"" + Short(y(points[i].second)) +
            "\" r=\"2.5\"><title>" + Html(points[i].first + ": " + Percent(points[i].second)) + "</title></circle>";
  }
  std::string body = Line(kLeft, y(1), kW - kRight, y(1), "grid") + Line(kLeft, y(0.5), kW - kRight, y(0.5), "grid");
  body += "<polyline class=\"mean\" points=\"" + line + "\"/>" + dots;
  body += Text(kLeft - 4, y(1) + 4, "100%", "end") + Text(kLeft - 4, y(0.5) + 4, "50%", "end") +
          Text(kLeft - 4, y(0), "0%", "end");
  body += Text(kLeft, kH - 10, points.front().first) + Text(kW - kRight, kH - 10, points.back().first, "end");
  return Svg("yield per day", body);
}

// A figure the page shows, with its exact value for a machine that reads it.
std::string Figure(const std::string& name, const std::string& caption, const std::string& shown,
                   std::optional<double> exact) {
  return "<div class=\"figure\"><div class=\"value\" data-figure=\"" + Html(name) + "\"" +
         (exact ? " data-value=\"" + Full(*exact) + "\"" : "") + ">" + Html(shown) + "</div><div class=\"caption\">" +
         Html(caption) + "</div></div>";
}

std::string TallyTable(const std::vector<Tally>& tallies, const std::string& what, const std::string& id) {
  if (tallies.empty()) return "";
  std::string out = "<table class=\"tally\" id=\"" + id + "\"><tr><th>" + Html(what) +
                    "</th><th>units</th><th>passed</th><th>yield</th><th>first pass</th><th>errors</th></tr>";
  for (const Tally& t : tallies)
    out += "<tr><td>" + Html(t.Key.empty() ? "(none)" : t.Key) + "</td><td>" + std::to_string(t.Units) + "</td><td>" +
           std::to_string(t.UnitsPassed) + "</td><td data-value=\"" + (t.Yield() ? Full(*t.Yield()) : "") + "\">" +
           Percent(t.Yield()) + "</td><td>" + Percent(t.FirstPassYield()) + "</td><td>" +
           std::to_string(t.Error + t.Aborted) + "</td></tr>";
  return out + "</table>";
}

const char* const kStyle = R"(
body{font-family:sans-serif;margin:0 auto;max-width:60rem;padding:0.8rem;color:#1b1b1b;background:#fff}
h1{font-size:1.4rem;margin:0.2rem 0}h2{font-size:1.2rem;border-bottom:2px solid #345;margin-top:1.6rem}
h3{font-size:1rem;margin:1.2rem 0 0.3rem}.filter{color:#555}
.figures{display:flex;flex-wrap:wrap;gap:0.5rem}.figure{border:1px solid #ccd;border-radius:6px;padding:0.4rem 0.7rem;min-width:7rem}
.figure .value{font-size:1.4rem;font-weight:bold}.figure .caption{font-size:0.8rem;color:#555}
.chart{width:100%;max-width:560px;height:auto;display:block}
.chart text{font-size:11px;fill:#333}.bar{fill:#4a78b0}.limit{stroke:#c0392b;stroke-width:1.5;stroke-dasharray:5 3}
.marginal{fill:#f5c04a;opacity:0.35}.axis{stroke:#555}.grid{stroke:#ccc}.spread{stroke:#9cc3e6;stroke-width:3}
.mean{fill:none;stroke:#1f4e79;stroke-width:1.5}.dot{fill:#1f4e79}
table{border-collapse:collapse;margin:0.3rem 0;font-size:0.9rem}td,th{border:1px solid #ccd;padding:0.15rem 0.45rem;text-align:right}
td:first-child,th:first-child{text-align:left}.measure{display:grid;grid-template-columns:1fr;gap:0.3rem;page-break-inside:avoid}
.note{color:#8a5a00}.empty{font-size:1.1rem;padding:2rem 0}
@media(min-width:50rem){.measure{grid-template-columns:15rem 1fr}}
@media print{body{max-width:none}h2{page-break-before:auto}}
)";

std::string MeasureTable(const MeasureSummary& m) {
  auto row = [](const std::string& name, const std::string& key, const std::string& shown, std::optional<double> exact) {
    return "<tr><th>" + Html(name) + "</th><td data-stat=\"" + key + "\"" +
           (exact ? " data-value=\"" + Full(*exact) + "\"" : "") + ">" + Html(shown) + "</td></tr>";
  };
  std::string t = "<div><table class=\"stats\">";
  t += row("limits", "limits", LimitsOf(m), std::nullopt);
  t += row("values", "n", std::to_string(m.N), double(m.N));
  t += row("units", "units", std::to_string(m.Units), double(m.Units));
  t += row("mean", "mean", Short(m.Mean), m.Mean);
  t += row("std. dev.", "sd", Maybe(m.Sd), m.Sd);
  t += row("min", "min", Short(m.Least), m.Least);
  t += row("max", "max", Short(m.Greatest), m.Greatest);
  t += row("below LSL", "below", Percent(m.BelowShare()), m.BelowShare());
  t += row("above USL", "above", Percent(m.AboveShare()), m.AboveShare());
  t += row("marginal", "marginal", Percent(m.MarginalShare()), m.MarginalShare());
  t += row("Cp", "cp", Maybe(m.Cp), m.Cp);
  t += row("Cpk", "cpk", Maybe(m.Cpk), m.Cpk);
  t += "</table>";
  if (!m.CapabilityNote.empty()) t += "<p class=\"note\">" + Html(m.CapabilityNote) + "</p>";
  return t + "</div>";
}

std::string Versions(const MeasureSummary& m) {
  std::string out;
  for (const std::string& v : m.PlanVersions) out += (out.empty() ? "" : ", ") + v.substr(0, 8);
  return out;
}

}  // namespace

std::string FilterText(const SummaryFilter& f) {
  std::string out;
  auto add = [&](const std::string& what) { out += (out.empty() ? "" : ", ") + what; };
  if (!f.Plan.empty()) add("plan " + f.Plan);
  if (!f.Station.empty()) add("station " + f.Station);
  if (!f.From.empty() || !f.To.empty())
    add((f.From.empty() ? "up" : "from " + f.From) + (f.To.empty() ? std::string() : " to " + f.To));
  if (!f.Unit.empty()) add("units " + f.Unit);
  return out.empty() ? "all records" : out;
}

std::string SummaryText(const std::vector<PlanSummary>& plans, const SummaryFilter& filter) {
  if (plans.empty()) return "No unit records match (" + FilterText(filter) + "): nothing to report.\n";
  std::string out;
  for (const PlanSummary& p : plans) {
    const Tally& a = p.All;
    out += "plan " + p.Plan + ": " + std::to_string(a.Records) + " records, " + std::to_string(a.Units) +
           " units tested" + (a.UntestedUnits ? ", " + std::to_string(a.UntestedUnits) + " never tested (errors only)" : "") +
           "\n";
    out += "  PASS " + std::to_string(a.Pass) + "  FAIL " + std::to_string(a.Fail) + "  ERROR " + std::to_string(a.Error) +
           "  ABORTED " + std::to_string(a.Aborted) + "\n";
    out += "  yield " + Percent(a.Yield()) + " (" + std::to_string(a.UnitsPassed) + "/" + std::to_string(a.Units) +
           ")  first-pass yield " + Percent(a.FirstPassYield()) + "  retests " + std::to_string(a.Retests()) + "\n";
    auto causes = [&](const char* title, const std::vector<Cause>& list) {
      if (list.empty()) return;
      out += std::string("  ") + title + ":\n";
      for (size_t i = 0; i < list.size() && i < 10; ++i)
        out += "    " + Format("%6.0f", double(list[i].Count)) + "  " + Format("%5.1f%%", list[i].Share * 100) + "  " +
               (list[i].What.empty() ? "(none)" : list[i].What) + "\n";
    };
    causes("failing steps", p.FailingSteps);
    causes("error causes", p.ErrorCauses);
    for (const MeasureSummary& m : p.Measures) {
      out += "  " + Label(m) + "  " + LimitsOf(m) + (!m.PlanVersions.empty() ? "  plan " + Versions(m) : "") + "\n";
      out += "    n " + std::to_string(m.N) + "  mean " + Short(m.Mean) + "  sd " + Maybe(m.Sd) + "  min " +
             Short(m.Least) + "  max " + Short(m.Greatest) + "  <LSL " + Percent(m.BelowShare()) + "  >USL " +
             Percent(m.AboveShare()) + "  marginal " + Percent(m.MarginalShare()) + "  Cp " + Maybe(m.Cp) + "  Cpk " +
             Maybe(m.Cpk) + (m.CapabilityNote.empty() ? "" : "  (" + m.CapabilityNote + ")") + "\n";
    }
    auto tallies = [&](const char* title, const std::vector<Tally>& list) {
      out += std::string("  ") + title + ":";
      for (const Tally& t : list)
        out += "  " + (t.Key.empty() ? "(none)" : t.Key) + " " + std::to_string(t.Units) + " " + Percent(t.Yield());
      out += "\n";
    };
    tallies("stations", p.Stations);
    tallies("operators", p.Operators);
    tallies("days", p.Days);
  }
  return out;
}

std::string SummaryHtml(const std::vector<PlanSummary>& plans, const SummaryFilter& filter,
                        const std::string& generated) {
  std::string out = "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
                    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                    "<title>Test results</title><style>" +
                    std::string(kStyle) + "</style></head><body><h1>Test results</h1><p class=\"filter\">" +
                    Html(FilterText(filter)) + " &middot; made " + Html(generated) + "</p>";
  if (plans.empty())
    return out + "<p class=\"empty\" id=\"empty\">No unit records match: nothing to report.</p></body></html>\n";
  for (const PlanSummary& p : plans) {
    const Tally& a = p.All;
    out += "<section class=\"plan\" data-plan=\"" + Html(p.Plan) + "\"><h2>Plan " + Html(p.Plan) + "</h2><div class=\"figures\">";
    out += Figure("units", "units tested", std::to_string(a.Units), double(a.Units));
    out += Figure("yield", "yield", Percent(a.Yield()), a.Yield());
    out += Figure("first-pass-yield", "first-pass yield", Percent(a.FirstPassYield()), a.FirstPassYield());
    out += Figure("pass", "PASS", std::to_string(a.Pass), double(a.Pass));
    out += Figure("fail", "FAIL", std::to_string(a.Fail), double(a.Fail));
    out += Figure("error", "ERROR", std::to_string(a.Error), double(a.Error));
    out += Figure("aborted", "ABORTED", std::to_string(a.Aborted), double(a.Aborted));
    out += Figure("retests", "retests", std::to_string(a.Retests()), double(a.Retests()));
    out += Figure("untested", "never tested (errors only)", std::to_string(a.UntestedUnits), double(a.UntestedUnits));
    out += "</div>";
    if (!p.FailingSteps.empty()) out += "<h3>Failing steps</h3>" + Pareto(p.FailingSteps, "failing steps");
    if (!p.ErrorCauses.empty()) out += "<h3>Station errors</h3>" + Pareto(p.ErrorCauses, "error causes");
    if (!p.Days.empty()) out += "<h3>Yield per day</h3>" + YieldLine(p.Days);
    for (const MeasureSummary& m : p.Measures) {
      out += "<h3 class=\"measure-title\">" + Html(Label(m)) + " <small>" + Html(LimitsOf(m)) +
             (m.PlanVersions.empty() ? "" : " &middot; plan " + Html(Versions(m))) + "</small></h3>";
      out += "<div class=\"measure\" data-measure=\"" + Html(m.Step + "/" + m.Name) + "\">" + MeasureTable(m) + "<div>" +
             Histogram(m) + RunChart(m) + "</div></div>";
    }
    if (!p.RecentFailures.empty()) {
      out += "<h3>Last failed units</h3><table id=\"failures\"><tr><th>unit</th><th>started (UTC)</th><th>station</th>"
             "<th>failing step</th></tr>";
      for (const FailedUnit& f : p.RecentFailures)
        out += "<tr><td class=\"unit\">" + Html(f.UnitId.empty() ? "(no id)" : f.UnitId) + "</td><td>" +
               Html(f.Started) + "</td><td>" + Html(f.Station) + "</td><td>" + Html(f.Step) + "</td></tr>";
      out += "</table>";
    }
    out += "<h3>Stations</h3>" + TallyTable(p.Stations, "station", "stations");
    out += "<h3>Operators</h3>" + TallyTable(p.Operators, "operator", "operators");
    out += "<h3>Days</h3>" + TallyTable(p.Days, "day (UTC)", "days");
    out += "</section>";
  }
  return out + "</body></html>\n";
}

namespace {

nlohmann::json Json(std::optional<double> v) { return v ? nlohmann::json(*v) : nlohmann::json(nullptr); }

nlohmann::json Json(const Tally& t) {
  return {{"key", t.Key},           {"records", t.Records},   {"pass", t.Pass},
          {"fail", t.Fail},         {"error", t.Error},       {"aborted", t.Aborted},
          {"units", t.Units},       {"units_passed", t.UnitsPassed}, {"first_passed", t.FirstPassed},
          {"untested_units", t.UntestedUnits}, {"retests", t.Retests()}, {"yield", Json(t.Yield())},
          {"first_pass_yield", Json(t.FirstPassYield())}};
}

}  // namespace

std::string SummaryJson(const std::vector<PlanSummary>& plans, const SummaryFilter& filter) {
  nlohmann::json out = {{"filter", FilterText(filter)}, {"plans", nlohmann::json::array()}};
  for (const PlanSummary& p : plans) {
    nlohmann::json j = {{"plan", p.Plan}, {"all", Json(p.All)}};
    for (const auto& [key, list] : {std::pair{"failing_steps", &p.FailingSteps}, {"error_causes", &p.ErrorCauses}}) {
      j[key] = nlohmann::json::array();
      for (const Cause& c : *list) j[key].push_back({{"what", c.What}, {"count", c.Count}, {"share", c.Share}});
    }
    j["recent_failures"] = nlohmann::json::array();
    for (const FailedUnit& f : p.RecentFailures)
      j["recent_failures"].push_back({{"unit_id", f.UnitId}, {"started", f.Started}, {"station", f.Station}, {"step", f.Step}});
    j["measurements"] = nlohmann::json::array();
    for (const MeasureSummary& m : p.Measures)
      j["measurements"].push_back({{"step", m.Step}, {"name", m.Name}, {"unit", m.Unit}, {"min", Json(m.Min)},
                                   {"max", Json(m.Max)}, {"marginal_min", Json(m.MarginalMin)},
                                   {"marginal_max", Json(m.MarginalMax)}, {"plan_versions", m.PlanVersions},
                                   {"n", m.N}, {"units", m.Units}, {"mean", m.Mean}, {"sd", Json(m.Sd)},
                                   {"least", m.Least}, {"greatest", m.Greatest}, {"below_share", m.BelowShare()},
                                   {"above_share", m.AboveShare()}, {"marginal_share", m.MarginalShare()},
                                   {"cp", Json(m.Cp)}, {"cpk", Json(m.Cpk)}, {"note", m.CapabilityNote}});
    for (const auto& [key, list] : {std::pair{"stations", &p.Stations}, {"operators", &p.Operators}, {"days", &p.Days}}) {
      j[key] = nlohmann::json::array();
      for (const Tally& t : *list) j[key].push_back(Json(t));
    }
    out["plans"].push_back(std::move(j));
  }
  return out.dump(2) + "\n";
}

void WriteSummaryCsv(const std::vector<PlanSummary>& plans, const std::string& dir) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
    throw std::runtime_error("cannot make " + dir + ": " + std::strerror(errno));
  auto number = [](std::optional<double> v) { return v ? Full(*v) : std::string(); };
  auto write = [&](const std::string& name, const std::string& header, const std::string& rows) {
    std::ofstream f(dir + "/" + name, std::ios::binary | std::ios::trunc);
    f << header << "\n" << rows;
    if (!f.flush()) throw std::runtime_error("cannot write " + dir + "/" + name);
  };
  const std::string tallyHeader = "plan,key,records,pass,fail,error,aborted,units,units_passed,first_passed,"
                                  "untested_units,retests,yield,first_pass_yield";
  auto tally = [&](const std::string& plan, const Tally& t) {
    return CsvField(plan) + "," + CsvField(t.Key) + "," + std::to_string(t.Records) + "," + std::to_string(t.Pass) + "," +
           std::to_string(t.Fail) + "," + std::to_string(t.Error) + "," + std::to_string(t.Aborted) + "," +
           std::to_string(t.Units) + "," + std::to_string(t.UnitsPassed) + "," + std::to_string(t.FirstPassed) + "," +
           std::to_string(t.UntestedUnits) + "," + std::to_string(t.Retests()) + "," + number(t.Yield()) + "," +
           number(t.FirstPassYield()) + "\n";
  };
  std::string all, steps, errors, measures, stations, operators, days;
  for (const PlanSummary& p : plans) {
    all += tally(p.Plan, p.All);
    for (const Cause& c : p.FailingSteps)
      steps += CsvField(p.Plan) + "," + CsvField(c.What) + "," + std::to_string(c.Count) + "," + Full(c.Share) + "\n";
    for (const Cause& c : p.ErrorCauses)
      errors += CsvField(p.Plan) + "," + CsvField(c.What) + "," + std::to_string(c.Count) + "," + Full(c.Share) + "\n";
    for (const MeasureSummary& m : p.Measures)
      measures += CsvField(p.Plan) + "," + CsvField(m.Step) + "," + CsvField(m.Name) + "," + CsvField(m.Unit) + "," +
                  number(m.Min) + "," + number(m.Max) + "," + number(m.MarginalMin) + "," + number(m.MarginalMax) + "," +
                  std::to_string(m.N) + "," + std::to_string(m.Units) + "," + Full(m.Mean) + "," + number(m.Sd) + "," +
                  Full(m.Least) + "," + Full(m.Greatest) + "," + Full(m.BelowShare()) + "," + Full(m.AboveShare()) +
                  "," + Full(m.MarginalShare()) + "," + number(m.Cp) + "," + number(m.Cpk) + "," +
                  CsvField(m.CapabilityNote) + "\n";
    for (const Tally& t : p.Stations) stations += tally(p.Plan, t);
    for (const Tally& t : p.Operators) operators += tally(p.Plan, t);
    for (const Tally& t : p.Days) days += tally(p.Plan, t);
  }
  write("plans.csv", tallyHeader, all);
  write("steps.csv", "plan,step,count,share", steps);
  write("errors.csv", "plan,cause,count,share", errors);
  write("measurements.csv",
        "plan,step,name,unit,min,max,marginal_min,marginal_max,n,units,mean,sd,min_value,max_value,below_share,"
        "above_share,marginal_share,cp,cpk,note",
        measures);
  write("stations.csv", tallyHeader, stations);
  write("operators.csv", tallyHeader, operators);
  write("days.csv", tallyHeader, days);
}

}  // namespace zav::qc
