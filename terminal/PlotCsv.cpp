#include "terminal/PlotCsv.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "platform/CsvField.h"

namespace zav {

namespace {

std::string SystemError(const std::string& what, const std::string& path, int err) {
  return "cannot " + what + " " + path + ": " + std::strerror(err);
}

}  // namespace

std::string PlotCsvHeader(const std::vector<std::string>& names) {
  std::string out = "time,seconds";
  for (const auto& n : names) out += ',' + CsvField(n);
  return out + '\n';
}

std::string PlotCsvRow(int64_t timeMs, int64_t startMs, const std::vector<double>& cells, size_t columns) {
  using namespace std::chrono;
  const int64_t days = timeMs >= 0 ? timeMs / 86'400'000 : (timeMs + 1) / 86'400'000 - 1;
  const int64_t ms = timeMs - days * 86'400'000;
  const year_month_day date{sys_days{std::chrono::days{days}}};
  const int64_t since = timeMs - startMs;
  char head[80];
  std::snprintf(head, sizeof head, "%04d-%02u-%02uT%02d:%02d:%02d.%03d,%lld.%03d", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(ms / 3'600'000), int(ms / 60'000 % 60),
                int(ms / 1000 % 60), int(ms % 1000), static_cast<long long>(since / 1000), int(since % 1000));
  std::string out = head;
  for (size_t i = 0; i < columns; ++i) {
    out += ',';
    if (i < cells.size() && !IsPlotMissing(cells[i])) out += FormatPlotNumber(cells[i]);
  }
  return out + '\n';
}

void SavePlotCsv(const TPlotStore& store, const std::string& path) {
  TPlotCsvSave save(store, path);
  while (!save.Step(size_t(-1))) {
  }
}

TPlotCsvSave::TPlotCsvSave(const TPlotStore& store, const std::string& path)
    : store_(store), path_(path), rows_(store.Rows()), series_(store.SeriesCount()) {
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) throw std::runtime_error(SystemError("open", path, errno));
  Write(PlotCsvHeader(store.Names()));
}

TPlotCsvSave::~TPlotCsvSave() {
  if (file_) std::fclose(file_);
}

void TPlotCsvSave::Write(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
    const int err = errno;
    std::fclose(file_);
    file_ = nullptr;
    throw std::runtime_error(SystemError("write", path_, err));
  }
}

bool TPlotCsvSave::Step(size_t rows) {
  if (!file_) return true;
  std::string text;
  std::vector<double> cells(series_);
  const size_t end = rows_ - next_ < rows ? rows_ : next_ + rows;
  for (; next_ < end; ++next_) {
    for (size_t s = 0; s < series_; ++s) cells[s] = store_.Value(s, next_);
    text += PlotCsvRow(store_.Time(next_), store_.Time(0), cells, series_);
    if (text.size() >= (1 << 16)) {
      Write(text);
      text.clear();
    }
  }
  Write(text);
  if (next_ < rows_) return false;
  std::FILE* f = file_;
  file_ = nullptr;
  if (std::fclose(f) != 0) throw std::runtime_error(SystemError("write", path_, errno));
  return true;
}

TPlotCsvFile::TPlotCsvFile(const std::string& path) : path_(path) {
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) throw std::runtime_error(SystemError("open", path, errno));
}

TPlotCsvFile::~TPlotCsvFile() {
  if (file_) std::fclose(file_);
}

void TPlotCsvFile::Fail(const std::string& what) {
  const int err = errno;
  if (file_) std::fclose(file_);
  file_ = nullptr;
  throw std::runtime_error(SystemError(what, path_, err));
}

void TPlotCsvFile::Write(const std::string& text) {
  if (!file_) throw std::runtime_error("cannot write " + path_ + ": the file is closed");
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) Fail("write");
}

void TPlotCsvFile::Add(const std::vector<TPlotRow>& rows, const std::vector<std::string>& names) {
  if (rows.empty()) return;
  std::string text;
  if (!headerWritten_) {
    // The series the first row knew: later ones get their names at the end.
    headerColumns_ = columns_ = std::min(names.size(), rows.front().Cells.size());
    text = PlotCsvHeader(std::vector<std::string>(names.begin(), names.begin() + long(headerColumns_)));
    headerWritten_ = true;
    startMs_ = rows.front().TimeMs;
  }
  for (const TPlotRow& row : rows) {
    columns_ = std::max(columns_, row.Cells.size());
    text += PlotCsvRow(row.TimeMs, startMs_, row.Cells, columns_);
    ++rows_;
  }
  Write(text);
}

void TPlotCsvFile::Flush() {
  if (file_ && std::fflush(file_) != 0) Fail("write");
}

void TPlotCsvFile::Finish(const std::vector<std::string>& names) {
  if (!file_) return;
  if (!headerWritten_) Write(PlotCsvHeader(names));
  if (std::fclose(file_) != 0) {
    file_ = nullptr;
    throw std::runtime_error(SystemError("write", path_, errno));
  }
  file_ = nullptr;
  if (headerWritten_ && std::max(columns_, names.size()) > headerColumns_) RewriteHeader(names);
}

// Series that came after the header: the file again with the full header and
// every row padded to all the columns, then put in the old one's place.
void TPlotCsvFile::RewriteHeader(const std::vector<std::string>& names) {
  const std::string temp = path_ + ".tmp";
  std::FILE* in = std::fopen(path_.c_str(), "rb");
  if (!in) throw std::runtime_error(SystemError("read", path_, errno));
  std::FILE* out = std::fopen(temp.c_str(), "wb");
  if (!out) {
    const int err = errno;
    std::fclose(in);
    throw std::runtime_error(SystemError("open", temp, err));
  }
  const size_t columns = std::max(columns_, names.size());
  std::string text = PlotCsvHeader(names);
  char* line = nullptr;
  size_t capacity = 0;
  bool ok = true, first = true;
  for (ssize_t n; ok && (n = getline(&line, &capacity, in)) > 0;) {
    if (first) {  // the old header
      first = false;
      continue;
    }
    std::string row(line, size_t(n) - (line[n - 1] == '\n' ? 1 : 0));
    const size_t cells = size_t(std::count(row.begin(), row.end(), ',')) - 1;
    text += row + std::string(columns - std::min(columns, cells), ',') + '\n';
    if (text.size() >= (1 << 16)) {
      ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
      text.clear();
    }
  }
  std::free(line);
  ok = ok && !std::ferror(in) && std::fwrite(text.data(), 1, text.size(), out) == text.size();
  const int err = errno;
  std::fclose(in);
  if (std::fclose(out) != 0 || !ok || std::rename(temp.c_str(), path_.c_str()) != 0) {
    std::remove(temp.c_str());
    throw std::runtime_error(SystemError("rewrite", path_, ok ? errno : err));
  }
}

}  // namespace zav
