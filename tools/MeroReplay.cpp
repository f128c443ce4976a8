// mero replay: recorded byte streams through a headless terminal, printed as
// screen dumps; or stamped captures read again into the plot's CSV.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Mero.h"
#include "terminal/PlotCsv.h"
#include "terminal/Replay.h"

namespace zav::mero {

namespace {

const char* const kHelp =
    "usage: mero replay [OPTIONS] FILE...\n"
    "Feeds the files' bytes into a headless terminal and prints its screen dump.\n"
    "Replies the emulator would send to the port are discarded.\n"
    "  --emulator tty|vt100   the emulator (default tty)\n"
    "  --rows R, --cols C     screen size, 2 to 255 (default 24 x 80)\n"
    "  --chunk N              bytes handed to the emulator at once (default 4096)\n"
    "  --dump text|full       the text only, or every section (default full)\n"
    "  --dump-each            one dump after each file instead of one at the end\n"
    "  --csv FILE             instead of a dump: the files are captures with time stamps\n"
    "                         (mero term --timestamps --capture); the numbers in their\n"
    "                         lines go to FILE as CSV, as mero term --csv writes them\n"
    "  --plot-format auto|numbers|labels|REGEX\n"
    "                         how the lines are read for --csv (default auto)\n"
    "  --date YYYY-MM-DD      for --csv: the date of the first line (default: from the\n"
    "                         last file's modification time)\n";

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + path + ": " + strerror(errno));
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ToolError("cannot read " + path + ": " + strerror(errno));
  return data;
}

struct StampedLine {
  int64_t Ms;  // the stamp's time of day
  std::string_view Text;
};

// Every line of the captures with its stamp; a line without one is an error.
std::vector<StampedLine> StampedLines(const std::vector<std::string>& files, const std::vector<std::string>& streams) {
  std::vector<StampedLine> out;
  for (size_t f = 0; f < streams.size(); ++f) {
    std::string_view rest = streams[f];
    for (size_t number = 1; !rest.empty(); ++number) {
      const size_t nl = rest.find('\n');
      const std::string_view line = rest.substr(0, nl);
      rest.remove_prefix(nl == std::string_view::npos ? rest.size() : nl + 1);
      std::string_view text;
      const auto ms = ParseStamp(line, text);
      if (!ms)
        throw ToolError(files[f] + ":" + std::to_string(number) +
                        ": no [HH:MM:SS.mmm] time stamp (a capture of mero term --timestamps is needed)");
      out.push_back({*ms, text});
    }
  }
  return out;
}

// The date of the first line, as days since 1970-01-01: the last file was
// last written on the day of the last line (or the day after, when its stamp
// lies after the file's time), and each midnight passed goes back a day.
int64_t FirstDay(const std::string& lastFile, const std::vector<StampedLine>& lines) {
  struct stat st {};
  if (stat(lastFile.c_str(), &st) != 0) throw ToolError("cannot read " + lastFile + ": " + strerror(errno));
  std::tm local{};
  localtime_r(&st.st_mtime, &local);
  using namespace std::chrono;
  const year_month_day date{year(local.tm_year + 1900), month(unsigned(local.tm_mon + 1)),
                            std::chrono::day(unsigned(local.tm_mday))};
  int64_t day = sys_days(date).time_since_epoch().count();
  const int64_t fileMs = ((int64_t(local.tm_hour) * 60 + local.tm_min) * 60 + local.tm_sec) * 1000;
  if (!lines.empty() && lines.back().Ms > fileMs + 60'000) --day;
  for (size_t i = 1; i < lines.size(); ++i) day -= PassedMidnight(lines[i - 1].Ms, lines[i].Ms);
  return day;
}

// "YYYY-MM-DD" as days since 1970-01-01.
int64_t ParseDate(const std::string& text) {
  int y = 0;
  unsigned m = 0, d = 0;
  char tail = 0;
  using namespace std::chrono;
  if (std::sscanf(text.c_str(), "%4d-%2u-%2u%c", &y, &m, &d, &tail) == 3 && text.size() == 10) {
    const year_month_day date{year(y), month(m), day(d)};
    if (date.ok()) return sys_days(date).time_since_epoch().count();
  }
  throw UsageError("--date must be a date as YYYY-MM-DD, not \"" + text + "\"");
}

// Every line of the captures, stamped, through the plot parser into `path`.
void ReplayCsv(const std::vector<std::string>& files, const std::vector<std::string>& streams,
               const TPlotFormat& format, const std::string& path, std::optional<int64_t> firstDay) {
  std::unique_ptr<TPlotParser> parser;
  try {
    parser = std::make_unique<TPlotParser>(format);
  } catch (const std::invalid_argument& e) {
    throw UsageError(std::string("--plot-format: ") + e.what());
  }
  const std::vector<StampedLine> lines = StampedLines(files, streams);
  int64_t day = firstDay ? *firstDay : FirstDay(files.back(), lines);
  try {
    TPlotCsvFile csv(path);
    for (size_t i = 0; i < lines.size(); ++i) {
      if (i > 0 && PassedMidnight(lines[i - 1].Ms, lines[i].Ms)) ++day;
      if (auto row = parser->Line(lines[i].Text, TLogTime{lines[i].Ms, lines[i].Ms, day}))
        csv.Add({*row}, parser->Names());
    }
    csv.Finish(parser->Names());
    std::fprintf(stderr, "mero: %s: %llu rows, %zu series, %llu lines skipped\n", path.c_str(),
                 static_cast<unsigned long long>(csv.Rows()), parser->Names().size(),
                 static_cast<unsigned long long>(parser->Skipped()));
  } catch (const std::runtime_error& e) {
    if (dynamic_cast<const ToolError*>(&e)) throw;
    throw ToolError(e.what());
  }
}

}  // namespace

int RunReplay(ArgReader& args) {
  bool vt100 = false;
  int rows = 24, cols = 80;
  size_t chunk = 4096;
  bool fullDump = true;
  bool dumpEach = false;
  std::string csvPath;
  TPlotFormat plotFormat;
  bool plotFormatGiven = false;
  std::optional<int64_t> firstDay;
  std::vector<std::string> files;
  std::string word;
  while (NextOption(args, kHelp, word)) {
    if (word == "--emulator") {
      vt100 = args.Choice(word, {"tty", "vt100"}) == 1;
    } else if (word == "--rows") {
      rows = int(args.Number(word, TReplaySession::kMinSize, TReplaySession::kMaxSize));
    } else if (word == "--cols") {
      cols = int(args.Number(word, TReplaySession::kMinSize, TReplaySession::kMaxSize));
    } else if (word == "--chunk") {
      chunk = size_t(args.Number(word, 1, 1 << 24));
    } else if (word == "--dump") {
      fullDump = args.Choice(word, {"text", "full"}) == 1;
    } else if (word == "--dump-each") {
      dumpEach = true;
    } else if (word == "--csv") {
      csvPath = args.Value(word);
    } else if (word == "--plot-format") {
      plotFormat = TPlotFormat::FromText(args.Value(word));
      plotFormatGiven = true;
    } else if (word == "--date") {
      firstDay = ParseDate(args.Value(word));
    } else if (word.rfind("--", 0) == 0) {
      throw UsageError("unexpected \"" + word + "\"");
    } else {
      files.push_back(word);
    }
  }
  if (files.empty()) throw UsageError("no FILE given");
  // Every file is read first: a missing one stops the replay before any output.
  std::vector<std::string> streams;
  for (const auto& f : files) streams.push_back(ReadWhole(f));
  if ((plotFormatGiven || firstDay) && csvPath.empty()) throw UsageError("--plot-format and --date go with --csv");
  if (!csvPath.empty()) {
    ReplayCsv(files, streams, plotFormat, csvPath, firstDay);
    return kExitOk;
  }

  TReplaySession session(vt100, rows, cols);
  auto dump = [&] {
    const std::string out = session.Dump(fullDump);
    WriteAll(1, out.data(), out.size());
  };
  for (const auto& stream : streams) {
    session.Feed(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(), chunk);
    if (dumpEach) dump();
  }
  if (!dumpEach) dump();
  return kExitOk;
}

}  // namespace zav::mero
