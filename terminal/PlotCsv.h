// The plot's values as CSV: a row per parsed line, the local date and time
// (ISO 8601, YYYY-MM-DDTHH:MM:SS.mmm) and the seconds since the first row,
// then a column per series in the order the series appeared; a missing value
// is an empty cell. Numbers are written in their shortest exact form.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "terminal/PlotParser.h"
#include "terminal/PlotStore.h"

namespace zav {

std::string PlotCsvHeader(const std::vector<std::string>& names);
// One row ending in CRLF-free "\n", with `columns` series cells.
std::string PlotCsvRow(int64_t timeMs, int64_t startMs, const std::vector<double>& cells, size_t columns);

// Writes everything the store holds to `path` (replacing it); throws
// std::runtime_error with the system's reason.
void SavePlotCsv(const TPlotStore& store, const std::string& path);

// The same in steps, so that a window saving millions of rows goes on taking
// new ones between the steps: the file holds the rows and series the store
// had when the save began. The store may grow meanwhile, not shrink. Throws
// std::runtime_error with the system's reason (the file is then left as far
// as it got).
class TPlotCsvSave {
 public:
  TPlotCsvSave(const TPlotStore& store, const std::string& path);
  ~TPlotCsvSave();
  TPlotCsvSave(const TPlotCsvSave&) = delete;
  TPlotCsvSave& operator=(const TPlotCsvSave&) = delete;

  // Writes up to `rows` more rows; true once the file is complete and closed.
  bool Step(size_t rows);
  size_t Done() const { return next_; }
  size_t Total() const { return rows_; }
  const std::string& Path() const { return path_; }

 private:
  void Write(const std::string& text);

  const TPlotStore& store_;
  std::string path_;
  std::FILE* file_ = nullptr;
  size_t rows_, series_, next_ = 0;
};

// A CSV written while the session runs (a row as each line is parsed), for a
// log that is not held in memory. A series that appears after the header was
// written gets its cells at once and its name when the file is finished (the
// header is rewritten then). Throws std::runtime_error on a write error.
class TPlotCsvFile {
 public:
  explicit TPlotCsvFile(const std::string& path);
  ~TPlotCsvFile();
  TPlotCsvFile(const TPlotCsvFile&) = delete;
  TPlotCsvFile& operator=(const TPlotCsvFile&) = delete;

  void Add(const std::vector<TPlotRow>& rows, const std::vector<std::string>& names);
  // Writes out what is buffered.
  void Flush();
  // Completes the header and closes the file.
  void Finish(const std::vector<std::string>& names);
  uint64_t Rows() const { return rows_; }

 private:
  void Write(const std::string& text);
  void RewriteHeader(const std::vector<std::string>& names);
  [[noreturn]] void Fail(const std::string& what);

  std::string path_;
  std::FILE* file_ = nullptr;
  bool headerWritten_ = false;
  size_t headerColumns_ = 0, columns_ = 0;
  int64_t startMs_ = 0;
  uint64_t rows_ = 0;
};

}  // namespace zav
