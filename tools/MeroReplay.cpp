// mero replay: recorded byte streams through a headless terminal, printed as
// screen dumps.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "Mero.h"
#include "terminal/Canvas.h"
#include "terminal/QXTrmEmu.h"
#include "terminal/ScreenDump.h"

namespace zav::mero {

namespace {

const char* const kHelp =
    "usage: mero replay [OPTIONS] FILE...\n"
    "Feeds the files' bytes into a headless terminal and prints its screen dump.\n"
    "Replies the emulator would send to the port are discarded.\n"
    "  --emulator tty|vt100   the emulator (default tty)\n"
    "  --rows R, --cols C     screen size (default 24 x 80)\n"
    "  --chunk N              bytes handed to the emulator at once (default 4096)\n"
    "  --dump text|full       the text only, or every section (default full)\n"
    "  --dump-each            one dump after each file instead of one at the end\n";

// Draws nowhere: replay only looks at the screen buffer.
class NullCanvas : public TQxCanvas {
 public:
  TQxRect ClipRect() const override { return clip_; }
  void SetClipRect(const TQxRect& r) override { clip_ = r; }
  void FillRect(const TQxRect&, uint32_t) override {}
  void TextRun(const TQxRect&, int, int, const TQxFont&, uint32_t, const uint8_t*, int, const int*) override {}
  void Line(int, int, int, int, uint32_t) override {}

 private:
  TQxRect clip_{0, 0, 0, 0};
};

class HeadlessHost : public ITerminalHost {
 public:
  int bells = 0;
  int rows = 24, cols = 80;
  TQxTerminalEmulator* emulator = nullptr;

  bool HalfDuplex() const override { return false; }
  bool PortOpen() const override { return true; }
  void PortSend(const uint8_t*, size_t) override {}
  void Beep() override { ++bells; }
  uint32_t Color() const override { return 0; }
  TQxFont Font() const override { return {}; }
  int CellWidth() const override { return 8; }
  int CellHeight() const override { return 12; }
  int ViewRow() const override { return 1; }
  int ViewCol() const override { return 1; }
  int VisibleRows() const override { return rows; }
  int VisibleCols() const override { return cols; }
  TQxCanvas* Canvas() override { return &canvas_; }
  void CursorMoved(TQxTerminalBuffer*, int, int) override {}
  TQxTerminalEmulator* Emulator() const override { return emulator; }
  void SetEmulator(TQxTerminalEmulator* e) override { emulator = e; }
  bool SetColumns(int n) override {
    if (!emulator) return false;
    emulator->Buffer().SetColCount(n);
    cols = n;
    return true;
  }

 private:
  NullCanvas canvas_;
};

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError("cannot read " + path + ": " + strerror(errno));
  std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ToolError("cannot read " + path + ": " + strerror(errno));
  return data;
}

// The header line and the [text] section of a full dump.
std::string TextPart(const std::string& dump) {
  const size_t next = dump.find("\n[line]\n");
  return next == std::string::npos ? dump : dump.substr(0, next + 1);
}

}  // namespace

int RunReplay(ArgReader& args) {
  bool vt100 = false;
  int rows = 24, cols = 80;
  size_t chunk = 4096;
  bool fullDump = true;
  bool dumpEach = false;
  std::vector<std::string> files;
  while (!args.Done()) {
    const std::string word = args.Next();
    if (IsHelp(word)) {
      std::fputs(kHelp, stdout);
      return kExitOk;
    }
    if (word == "--emulator") {
      vt100 = args.Choice(word, {"tty", "vt100"}) == 1;
    } else if (word == "--rows") {
      rows = int(args.Number(word, 1, 255));
    } else if (word == "--cols") {
      cols = int(args.Number(word, 1, 255));
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

  HeadlessHost host;
  std::unique_ptr<TQxTerminalEmulator> emu;
  TQxVT100Emulator* vt = nullptr;
  if (vt100) {
    auto v = std::make_unique<TQxVT100Emulator>(nullptr);
    vt = v.get();
    emu = std::move(v);
  } else {
    emu = std::make_unique<TQxTTYEmulator>(nullptr);
  }
  emu->SetInternal(true);
  host.emulator = emu.get();
  emu->SetTerminal(&host);
  if (rows != 24 || cols != 80) {
    emu->Buffer().SetRowCount(rows);
    emu->Buffer().SetColCount(cols);
    host.rows = rows;
    host.cols = cols;
  }

  auto dump = [&] {
    TScreenDumpInfo info;
    info.Bells = host.bells;
    if (vt) {
      info.Reverse = vt->ScreenReverse();
      info.LineAttr = [vt](int row) { return int(vt->LineAttrs().Get(row)); };
    }
    const std::string text = DumpScreen(emu->Buffer(), info);
    const std::string out = fullDump ? text : TextPart(text);
    WriteAll(1, out.data(), out.size());
  };
  for (const auto& stream : streams) {
    const auto* p = reinterpret_cast<const uint8_t*>(stream.data());
    for (size_t at = 0; at < stream.size(); at += chunk) emu->ProcessBlock(p + at, std::min(chunk, stream.size() - at));
    if (dumpEach) dump();
  }
  if (!dumpEach) dump();
  emu->SetTerminal(nullptr);
  return kExitOk;
}

}  // namespace zav::mero
