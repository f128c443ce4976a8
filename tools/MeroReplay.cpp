// mero replay: recorded byte streams through a headless terminal, printed as
// screen dumps; or stamped captures read again into the plot's CSV.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
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
    "                         how the lines are read for --csv (default auto)\n";

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + path + ": " + strerror(errno));
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ToolError("cannot read " + path + ": " + strerror(errno));
  return data;
}

// Every line of the captures, stamped, through the plot parser into `path`.
void ReplayCsv(const std::vector<std::string>& files, const std::vector<std::string>& streams,
               const TPlotFormat& format, const std::string& path) {
  std::unique_ptr<TPlotParser> parser;
  try {
    parser = std::make_unique<TPlotParser>(format);
  } catch (const std::invalid_argument& e) {
    throw UsageError(std::string("--plot-format: ") + e.what());
  }
  try {
    TPlotCsvFile csv(path);
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
        if (auto row = parser->Line(text, TLogTime{*ms, *ms})) csv.Add({*row}, parser->Names());
      }
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
  if (plotFormatGiven && csvPath.empty()) throw UsageError("--plot-format goes with --csv");
  if (!csvPath.empty()) {
    ReplayCsv(files, streams, plotFormat, csvPath);
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
