// Numbers in received lines, for the plot and its CSV.
//
// Bytes are cut into lines (LF ends a line, a CR before it is dropped); each
// line is stamped with the time its first byte arrived (as TReceiveLog stamps
// it) and parsed in one of three formats:
//   numbers  "12.5 3.1 -0.4" or "12.5,3.1,-0.4": series 1, 2, 3 (an empty
//            field between commas is a missing value); a line of names before
//            the first numbers (a CSV header) names the series;
//   labels   "temp:21.5 rpm:1200" or "temp=21.5,rpm=1200": a series per
//            label, a label seen first later adds a series;
//   regex    a PCRE2 pattern; its groups (named, or numbered) are the series.
// Auto picks numbers or labels from the first line that is either. A line
// that parses as none is counted and skipped.
//
// Pure: the caller passes the time with the bytes. Not thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "terminal/ReceiveLog.h"

namespace zav {

// A cell with no value (a missing field, a group that did not match). Any
// NaN read from the line ("nan") stays a value of its own.
double PlotMissing();
bool IsPlotMissing(double v);

// Parses a whole field as a number: decimal or exponent, optional sign,
// "nan" and "inf"; nothing for anything else.
std::optional<double> ParsePlotNumber(std::string_view text);

// Shortest text that reads back as the same double ("12.5", "1e-07", "nan").
std::string FormatPlotNumber(double v);

// The local time of day of a line stamped "[HH:MM:SS.mmm] " (FormatStamp),
// and in `rest` what follows the stamp.
std::optional<int64_t> ParseStamp(std::string_view line, std::string_view& rest);

// Going from stamp `lastMs` to stamp `ms` (times of day) passed midnight: the
// clock went back by more than half a day.
bool PassedMidnight(int64_t lastMs, int64_t ms);

enum class PlotFormatKind { Auto, Numbers, Labels, Regex };

struct TPlotFormat {
  PlotFormatKind Kind = PlotFormatKind::Auto;
  std::string Pattern;  // Regex only
  // "auto", "numbers", "labels", or anything else as a pattern.
  static TPlotFormat FromText(const std::string& text);
  std::string Text() const;
};

// One parsed line: its time (local time in ms since 1970-01-01, from the
// stamp's date; a stamp without one counts from day 0, a day more for every
// midnight passed) and a cell per series known by then (PlotMissing for none).
struct TPlotRow {
  int64_t TimeMs = 0;
  std::vector<double> Cells;
};

class TPlotParser {
 public:
  // Throws std::invalid_argument with PCRE2's reason for a bad pattern.
  explicit TPlotParser(const TPlotFormat& format = {});
  ~TPlotParser();
  TPlotParser(const TPlotParser&) = delete;
  TPlotParser& operator=(const TPlotParser&) = delete;

  // Takes the received bytes; gives the rows of the lines they completed.
  std::vector<TPlotRow> Feed(std::string_view bytes, const TLogTime& now);
  // One whole line (without its line end) received at `at`.
  std::optional<TPlotRow> Line(std::string_view line, const TLogTime& at);
  // The end of the stream: the held partial line, if it parses.
  std::optional<TPlotRow> Finish();

  const std::vector<std::string>& Names() const { return names_; }
  PlotFormatKind Chosen() const { return chosen_; }
  uint64_t Lines() const { return lines_; }
  uint64_t Skipped() const { return skipped_; }

  // Lines longer than this are cut (a stream with no line ends).
  static constexpr size_t kMaxLine = 64 * 1024;

 private:
  class Regex;
  int64_t Stamp(const TLogTime& at);
  bool ParseNumbers(std::string_view line, std::vector<double>& cells);
  bool ParseLabels(std::string_view line, std::vector<double>& cells);
  bool ParseRegex(std::string_view line, std::vector<double>& cells);
  void TakeHeader(std::string_view line);
  int SeriesFor(std::string_view name);

  TPlotFormat format_;
  PlotFormatKind chosen_;
  std::unique_ptr<Regex> regex_;
  std::vector<std::string> names_;
  bool named_ = false;  // names came from a header (numbers) or the pattern
  bool dataSeen_ = false;
  std::vector<std::string> header_;  // the last line of names before any numbers
  std::string held_;
  TLogTime heldTime_{};
  int64_t lastMs_ = INT64_MIN;
  int64_t dayMs_ = 0;
  uint64_t lines_ = 0, skipped_ = 0;
};

}  // namespace zav
