#include "terminal/PlotStore.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace zav {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

bool Usable(double v) { return std::isfinite(v); }  // the missing cell is a NaN too

}  // namespace

void TPlotStore::Add(const TPlotRow& row, const std::vector<std::string>& names) {
  while (names_.size() < names.size()) {
    names_.push_back(names[names_.size()]);
    Column c;
    c.Cells.assign(times_.size(), PlotMissing());
    c.BlockLo.assign(times_.size() / kBlock, kInf);
    c.BlockHi.assign(times_.size() / kBlock, -kInf);
    columns_.push_back(std::move(c));
  }
  times_.push_back(row.TimeMs);
  for (size_t s = 0; s < columns_.size(); ++s) {
    const double v = s < row.Cells.size() ? row.Cells[s] : PlotMissing();
    columns_[s].Cells.push_back(v);
    if (!IsPlotMissing(v)) ++values_;
    if (times_.size() % kBlock == 0) CloseBlock(columns_[s]);
  }
}

void TPlotStore::CloseBlock(Column& c) {
  double lo = kInf, hi = -kInf;
  for (auto it = c.Cells.end() - kBlock; it != c.Cells.end(); ++it) {
    if (!Usable(*it)) continue;
    lo = std::min(lo, *it);
    hi = std::max(hi, *it);
  }
  c.BlockLo.push_back(lo);
  c.BlockHi.push_back(hi);
}

void TPlotStore::Clear() {
  names_.clear();
  times_.clear();
  columns_.clear();
  values_ = 0;
}

size_t TPlotStore::RowAt(double timeMs) const {
  return size_t(
      std::lower_bound(times_.begin(), times_.end(), timeMs, [](int64_t t, double want) { return double(t) < want; }) -
      times_.begin());
}

bool TPlotStore::Range(size_t series, size_t from, size_t to, double& lo, double& hi) const {
  const Column& c = columns_[series];
  double l = kInf, h = -kInf;
  auto scan = [&](size_t a, size_t b) {
    for (size_t i = a; i < b; ++i) {
      const double v = c.Cells[i];
      if (!Usable(v)) continue;
      l = std::min(l, v);
      h = std::max(h, v);
    }
  };
  const size_t firstFull = (from + kBlock - 1) / kBlock, endFull = to / kBlock;
  if (firstFull >= endFull) {
    scan(from, to);
  } else {
    scan(from, firstFull * kBlock);
    for (size_t b = firstFull; b < endFull; ++b) {
      l = std::min(l, c.BlockLo[b]);
      h = std::max(h, c.BlockHi[b]);
    }
    scan(endFull * kBlock, to);
  }
  if (l > h) return false;
  lo = l;
  hi = h;
  return true;
}

// The first usable value from `row` on (step 1) or back (step -1), not
// reaching `stop` (size_t(-1) going back: none). Whole blocks without one are
// passed over by their summary, so a series that went quiet costs little.
std::optional<TPlotPoint> TPlotStore::Finite(size_t series, size_t row, int step, size_t stop) const {
  const Column& c = columns_[series];
  for (size_t i = row; i != stop;) {
    const size_t b = i / kBlock;
    if (b < c.BlockLo.size() && !(c.BlockLo[b] <= c.BlockHi[b])) {
      if (step > 0 && i % kBlock == 0 && (b + 1) * kBlock <= stop) {
        i = (b + 1) * kBlock;
        continue;
      }
      if (step < 0 && i % kBlock == kBlock - 1 && int64_t(b * kBlock) > int64_t(stop)) {
        i = b * kBlock - 1;
        continue;
      }
    }
    if (Usable(c.Cells[i])) return TPlotPoint{double(times_[i]), c.Cells[i]};
    i += size_t(step);
  }
  return std::nullopt;
}

TPlotDecimated TPlotStore::Decimate(size_t series, double t0, double t1, int width) const {
  TPlotDecimated out;
  if (width <= 0 || !(t1 > t0) || series >= columns_.size()) return out;
  out.Columns.resize(size_t(width));
  const double step = (t1 - t0) / width;
  size_t row = RowAt(t0);
  const size_t first = row;
  for (int x = 0; x < width; ++x) {
    const size_t end = x + 1 == width ? RowAt(t1) : RowAt(t0 + step * (x + 1));
    TPlotColumn& col = out.Columns[size_t(x)];
    if (end > row && Range(series, row, end, col.Lo, col.Hi)) {
      col.Any = true;
      col.First = Finite(series, row, 1, end)->Value;
      col.Last = Finite(series, end - 1, -1, row - 1)->Value;
    }
    row = end;
  }
  if (first > 0) out.Before = Finite(series, first - 1, -1, size_t(-1));
  if (row < times_.size()) out.After = Finite(series, row, 1, times_.size());
  return out;
}

}  // namespace zav
