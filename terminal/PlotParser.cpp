#define PCRE2_CODE_UNIT_WIDTH 8
#include "terminal/PlotParser.h"

#include <pcre2.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace zav {

namespace {

constexpr uint64_t kMissingBits = 0x7ff8'dead'0000'0000ULL;
constexpr int64_t kDayMs = 86'400'000;

bool IsSpace(char c) { return c == ' ' || c == '\t'; }
bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == ',' || c == ';'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (IsSpace(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsSpace(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The fields of a numbers line: cut at commas, semicolons or tabs when it has
// any (an empty field is kept, a trailing one dropped), else at runs of spaces.
std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> out;
  const bool delimited = line.find_first_of(",;\t") != std::string_view::npos;
  size_t at = 0;
  while (at <= line.size()) {
    if (!delimited) {
      while (at < line.size() && line[at] == ' ') ++at;
      if (at == line.size()) break;
    }
    size_t end = delimited ? line.find_first_of(",;\t", at) : line.find(' ', at);
    if (end == std::string_view::npos) end = line.size();
    out.push_back(Trim(line.substr(at, end - at)));
    at = end + 1;
  }
  if (!out.empty() && out.back().empty()) out.pop_back();
  return out;
}

std::string PcreMessage(int code) {
  PCRE2_UCHAR buf[256];
  if (pcre2_get_error_message(code, buf, sizeof buf) < 0) return "error " + std::to_string(code);
  return reinterpret_cast<const char*>(buf);
}

}  // namespace

double PlotMissing() { return std::bit_cast<double>(kMissingBits); }
bool IsPlotMissing(double v) { return std::bit_cast<uint64_t>(v) == kMissingBits; }

std::optional<double> ParsePlotNumber(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || text.front() == '+') return std::nullopt;
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (std::isnan(v)) v = std::numeric_limits<double>::quiet_NaN();  // one NaN, never the missing one
  return v;
}

std::string FormatPlotNumber(double v) {
  if (std::isnan(v)) return "nan";
  char buf[40];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::optional<int64_t> ParseStamp(std::string_view line, std::string_view& rest) {
  // [HH:MM:SS.mmm] with a space after it
  static constexpr std::string_view kShape = "[00:00:00.000] ";
  if (line.size() < kShape.size()) return std::nullopt;
  int64_t digits[9];
  int n = 0;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const char c = line[i];
    if (kShape[i] != '0' ? c != kShape[i] : (c < '0' || c > '9')) return std::nullopt;
    if (kShape[i] == '0') digits[n++] = c - '0';
  }
  const int64_t h = digits[0] * 10 + digits[1], m = digits[2] * 10 + digits[3], sec = digits[4] * 10 + digits[5];
  if (h > 23 || m > 59 || sec > 59) return std::nullopt;
  rest = line.substr(kShape.size());
  return ((h * 60 + m) * 60 + sec) * 1000 + digits[6] * 100 + digits[7] * 10 + digits[8];
}

TPlotFormat TPlotFormat::FromText(const std::string& text) {
  if (text == "auto") return {};
  if (text == "numbers") return {PlotFormatKind::Numbers, {}};
  if (text == "labels") return {PlotFormatKind::Labels, {}};
  return {PlotFormatKind::Regex, text};
}

std::string TPlotFormat::Text() const {
  switch (Kind) {
    case PlotFormatKind::Numbers:
      return "numbers";
    case PlotFormatKind::Labels:
      return "labels";
    case PlotFormatKind::Regex:
      return Pattern;
    default:
      return "auto";
  }
}

// A compiled pattern and the series its groups give.
class TPlotParser::Regex {
 public:
  explicit Regex(const std::string& source) {
    int code = 0;
    PCRE2_SIZE offset = 0;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(), 0, &code, &offset, nullptr);
    if (!code_)
      throw std::invalid_argument("bad pattern \"" + source + "\" at " + std::to_string(offset) + ": " +
                                  PcreMessage(code));
    pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);  // the interpreter gives the same answers where JIT is refused
    data_ = pcre2_match_data_create_from_pattern(code_, nullptr);
    uint32_t groups = 0;
    pcre2_pattern_info(code_, PCRE2_INFO_CAPTURECOUNT, &groups);
    groups_ = groups == 0 ? 0 : 1;  // no groups: the whole match is the value
    for (uint32_t g = groups_; g <= groups; ++g) Names.push_back(g == 0 ? "value" : std::to_string(g));
    uint32_t count = 0, size = 0;
    PCRE2_SPTR table = nullptr;
    pcre2_pattern_info(code_, PCRE2_INFO_NAMECOUNT, &count);
    pcre2_pattern_info(code_, PCRE2_INFO_NAMEENTRYSIZE, &size);
    pcre2_pattern_info(code_, PCRE2_INFO_NAMETABLE, &table);
    for (uint32_t i = 0; i < count; ++i) {
      const PCRE2_SPTR entry = table + i * size;
      const int group = (entry[0] << 8) | entry[1];
      Names[size_t(group - 1)] = reinterpret_cast<const char*>(entry + 2);
    }
  }
  ~Regex() {
    pcre2_match_data_free(data_);
    pcre2_code_free(code_);
  }
  // The line's cells, or false when the pattern is not in it.
  bool Match(std::string_view line, std::vector<double>& cells) {
    const int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(line.data()), line.size(), 0, 0, data_, nullptr);
    if (rc < 0) return false;
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data_);
    bool any = false;
    for (size_t i = 0; i < Names.size(); ++i) {
      const size_t g = i + groups_;
      if (int(g) >= rc || ov[2 * g] == PCRE2_UNSET) continue;
      if (auto v = ParsePlotNumber(Trim(line.substr(ov[2 * g], ov[2 * g + 1] - ov[2 * g])))) {
        cells[i] = *v;
        any = true;
      }
    }
    return any;
  }
  std::vector<std::string> Names;

 private:
  pcre2_code* code_ = nullptr;
  pcre2_match_data* data_ = nullptr;
  uint32_t groups_ = 1;  // the first group that is a series
};

TPlotParser::TPlotParser(const TPlotFormat& format) : format_(format), chosen_(format.Kind) {
  if (format.Kind == PlotFormatKind::Regex) {
    regex_ = std::make_unique<Regex>(format.Pattern);
    names_ = regex_->Names;
    named_ = true;
  }
}

TPlotParser::~TPlotParser() = default;

bool PassedMidnight(int64_t lastMs, int64_t ms) { return ms < lastMs - kDayMs / 2; }

int64_t TPlotParser::Stamp(const TLogTime& at) {
  int64_t ms = at.LocalDay * kDayMs + at.LocalMsOfDay;
  if (at.LocalDay == 0) {  // no date: days are counted at each midnight
    ms += dayMs_;
    if (lastMs_ != INT64_MIN && PassedMidnight(lastMs_ % kDayMs, at.LocalMsOfDay)) {
      dayMs_ += kDayMs;
      ms += kDayMs;
    }
  }
  if (ms < lastMs_) ms = lastMs_;  // a clock set back does not run time backwards
  lastMs_ = ms;
  return ms;
}

std::vector<TPlotRow> TPlotParser::Feed(std::string_view bytes, const TLogTime& now) {
  std::vector<TPlotRow> rows;
  while (!bytes.empty()) {
    if (held_.empty()) heldTime_ = now;
    const size_t nl = bytes.find('\n');
    const size_t take = std::min(nl == std::string_view::npos ? bytes.size() : nl, kMaxLine - held_.size());
    held_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    const bool ended = !bytes.empty() && bytes.front() == '\n';
    if (ended) bytes.remove_prefix(1);
    if (ended || held_.size() >= kMaxLine) {
      if (auto row = Line(held_, heldTime_)) rows.push_back(std::move(*row));
      held_.clear();
    }
  }
  return rows;
}

std::optional<TPlotRow> TPlotParser::Finish() {
  if (held_.empty()) return std::nullopt;
  auto row = Line(held_, heldTime_);
  held_.clear();
  return row;
}

std::optional<TPlotRow> TPlotParser::Line(std::string_view line, const TLogTime& at) {
  line = Trim(line);
  ++lines_;
  TPlotRow row;
  row.Cells.assign(names_.size(), PlotMissing());
  bool ok = false;
  switch (chosen_) {
    case PlotFormatKind::Numbers:
      ok = ParseNumbers(line, row.Cells);
      break;
    case PlotFormatKind::Labels:
      ok = ParseLabels(line, row.Cells);
      break;
    case PlotFormatKind::Regex:
      ok = ParseRegex(line, row.Cells);
      break;
    case PlotFormatKind::Auto:
      if ((ok = ParseLabels(line, row.Cells)))
        chosen_ = PlotFormatKind::Labels;
      else if ((ok = ParseNumbers(line, row.Cells)))
        chosen_ = PlotFormatKind::Numbers;
      break;
  }
  if (!ok) {
    if (line.empty()) {
      --lines_;  // blank lines are no lines
      return std::nullopt;
    }
    ++skipped_;  // given back if it turns out to be the header
    if (chosen_ == PlotFormatKind::Auto || chosen_ == PlotFormatKind::Numbers) TakeHeader(line);
    return std::nullopt;
  }
  dataSeen_ = true;
  row.Cells.resize(names_.size(), PlotMissing());
  row.TimeMs = Stamp(at);
  return row;
}

bool TPlotParser::ParseNumbers(std::string_view line, std::vector<double>& cells) {
  const auto fields = Fields(line);
  if (fields.empty()) return false;
  std::vector<double> values(fields.size(), PlotMissing());
  bool any = false;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].empty()) continue;
    const auto v = ParsePlotNumber(fields[i]);
    if (!v) return false;
    values[i] = *v;
    any = true;
  }
  if (!any) return false;
  if (!named_ && !dataSeen_ && header_.size() == values.size()) {
    names_ = header_;  // the header matched the first numbers
    named_ = true;
    --skipped_;
  }
  while (names_.size() < values.size()) names_.push_back(std::to_string(names_.size() + 1));
  cells.resize(names_.size(), PlotMissing());
  std::copy(values.begin(), values.end(), cells.begin());
  return true;
}

bool TPlotParser::ParseLabels(std::string_view line, std::vector<double>& cells) {
  bool any = false;
  size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && IsSeparator(line[at])) ++at;
    const size_t start = at;
    while (at < line.size() && line[at] != ':' && line[at] != '=' && !IsSeparator(line[at])) ++at;
    const std::string_view label = line.substr(start, at - start);
    size_t mark = at;  // "temp = 21.5": spaces may stand before the mark
    while (mark < line.size() && IsSpace(line[mark])) ++mark;
    if (mark == line.size() || (line[mark] != ':' && line[mark] != '=')) continue;  // a word that is no pair
    at = mark + 1;
    while (at < line.size() && IsSpace(line[at])) ++at;
    const size_t valueStart = at;
    while (at < line.size() && !IsSeparator(line[at])) ++at;
    const auto v = ParsePlotNumber(line.substr(valueStart, at - valueStart));
    if (label.empty() || !v) continue;
    const int series = SeriesFor(label);
    cells.resize(names_.size(), PlotMissing());
    cells[size_t(series)] = *v;
    any = true;
  }
  return any;
}

bool TPlotParser::ParseRegex(std::string_view line, std::vector<double>& cells) { return regex_->Match(line, cells); }

// The last line of names before the first numbers names the series when it
// has a name for each of them (a banner line has not, as a rule).
void TPlotParser::TakeHeader(std::string_view line) {
  if (named_ || dataSeen_) return;
  const auto fields = Fields(line);
  for (const auto f : fields)
    if (f.empty() || ParsePlotNumber(f)) return;
  header_.assign(fields.begin(), fields.end());
}

int TPlotParser::SeriesFor(std::string_view name) {
  for (size_t i = 0; i < names_.size(); ++i)
    if (names_[i] == name) return int(i);
  names_.emplace_back(name);
  return int(names_.size() - 1);
}

}  // namespace zav
