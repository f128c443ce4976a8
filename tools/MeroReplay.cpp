// mero replay: recorded byte streams through a headless terminal, printed as
// screen dumps.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "Mero.h"
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
    "  --dump-each            one dump after each file instead of one at the end\n";

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + path + ": " + strerror(errno));
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ToolError("cannot read " + path + ": " + strerror(errno));
  return data;
}

}  // namespace

int RunReplay(ArgReader& args) {
  bool vt100 = false;
  int rows = 24, cols = 80;
  size_t chunk = 4096;
  bool fullDump = true;
  bool dumpEach = false;
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
