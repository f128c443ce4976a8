// Every parsed row kept for the plot: a time per row and a column of values
// per series, with the minimum and maximum of each block of rows so that a
// view of any width is reduced to a few points per pixel column without
// reading every value again.
//
// Not thread-safe; the plot's owner feeds and reads it on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "terminal/PlotParser.h"

namespace zav {

// One pixel column of a series: the first and last values in it and the
// least and greatest (non-finite values and missing cells are left out).
struct TPlotColumn {
  bool Any = false;
  double First = 0, Last = 0, Lo = 0, Hi = 0;
};

// A time and a value (the neighbours just outside a view).
struct TPlotPoint {
  double TimeMs = 0;
  double Value = 0;
};

struct TPlotDecimated {
  std::vector<TPlotColumn> Columns;
  std::optional<TPlotPoint> Before, After;  // the nearest values outside the view
};

class TPlotStore {
 public:
  // Adds a row; `names` are the parser's series (the row's cells follow them).
  void Add(const TPlotRow& row, const std::vector<std::string>& names);
  void Clear();

  size_t Rows() const { return times_.size(); }
  size_t SeriesCount() const { return names_.size(); }
  const std::vector<std::string>& Names() const { return names_; }
  uint64_t Values() const { return values_; }
  int64_t Time(size_t row) const { return times_[row]; }
  double Value(size_t series, size_t row) const { return columns_[series].Cells[row]; }

  // The first row at or after `timeMs`.
  size_t RowAt(double timeMs) const;
  // The least and greatest finite values of a series in rows [from, to);
  // false when there is none.
  bool Range(size_t series, size_t from, size_t to, double& lo, double& hi) const;
  // The series over [t0, t1) ms cut into `width` columns.
  TPlotDecimated Decimate(size_t series, double t0, double t1, int width) const;

  static constexpr size_t kBlock = 256;

 private:
  struct Column {
    std::vector<double> Cells;
    std::vector<double> BlockLo, BlockHi;  // per full block of kBlock rows
  };
  void CloseBlock(Column& c);
  std::optional<TPlotPoint> Finite(size_t series, size_t row, int step, size_t stop) const;

  std::vector<std::string> names_;
  std::vector<int64_t> times_;
  std::vector<Column> columns_;
  uint64_t values_ = 0;
};

}  // namespace zav
