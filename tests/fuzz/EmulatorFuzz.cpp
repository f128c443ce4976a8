#include "tests/fuzz/EmulatorFuzz.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "terminal/QXTrmEmu.h"
#include "terminal/ScreenDump.h"
#include "tests/fuzz/FuzzInput.h"
#include "tests/terminal/FakeTerminal.h"

namespace zav::fuzz {
namespace {

// The fake terminal with the port settings the VT100 asks for and a column
// switch; canvas calls are dropped after each paint so a long input stays small.
class Host : public test::FakeTerminal {
 public:
  TQxTerminalBuffer* buffer = nullptr;
  int32_t PortBaud() const override { return 9600; }
  bool SetColumns(int n) override {
    if (!buffer) return false;
    buffer->SetColCount(n);
    visibleCols = n;
    return true;
  }
};

[[noreturn]] void Broken(const char* what, int row, int col) {
  std::fprintf(stderr, "row %d, column %d: ", row, col);
  fuzz::Broken("emulator", what);
}

// In origin mode Row and Col count from the region: look at the screen's own.
void CheckCursor(TQxTerminalBuffer& buf) {
  const bool absolute = buf.AbsoluteAddressing;
  buf.AbsoluteAddressing = true;
  const int row = buf.Row(), col = buf.Col();
  buf.AbsoluteAddressing = absolute;
  if (row < 1 || row > buf.RowCount() || col < 1 || col > buf.ColCount())
    Broken("the cursor left the screen", row, col);
}

}  // namespace

int FuzzEmulator(const uint8_t* data, size_t size, bool vt100) {
  TFuzzInput in(data, size);
  Host host;
  std::unique_ptr<TQxTerminalEmulator> emu;
  if (vt100)
    emu = std::make_unique<TQxVT100Emulator>(nullptr);
  else
    emu = std::make_unique<TQxTTYEmulator>(nullptr);
  emu->SetInternal(true);
  emu->SetTerminal(&host);
  TQxTerminalBuffer& buf = emu->Buffer();
  host.buffer = &buf;

  auto feed = [&](const std::string& s) { emu->ProcessBlock(reinterpret_cast<const uint8_t*>(s.data()), s.size()); };
  const uint8_t start = in.Byte();
  static constexpr int kRows[] = {24, 2, 3, 60};
  const int rows = kRows[(start >> 4) & 3];
  if (rows != 24) {
    buf.SetRowCount(rows);
    host.visibleRows = rows;
  }
  if (start & 1) feed("\x1b[?3h");
  if (start & 2) feed("\x1b[?2l");
  host.halfDuplex = (start & 4) != 0;
  bool wide = (start & 1) != 0;

  while (!in.Done()) {
    const uint8_t c = in.Byte();
    if (c < 0xF8) {
      auto run = in.Take(size_t(c) + 1);
      emu->ProcessBlock(run.data(), run.size());
    } else if (c == 0xF8) {
      emu->LazyPaint();
    } else if (c == 0xF9) {
      emu->Paint();
    } else if (c == 0xFA) {
      emu->BlinkPaint(in.Byte() & 1);
    } else if (c == 0xFB) {
      uint16_t key = uint16_t(in.Byte() | (in.Byte() << 8));
      emu->KeyDown(key, TShiftState(in.Byte() & 7));
    } else if (c == 0xFC) {
      uint8_t ch = in.Byte();
      emu->KeyPress(ch);
    } else if (c == 0xFD) {
      const int r = in.Range(2, 64), cols = in.Range(2, 255);
      buf.SetRowCount(r);
      buf.SetColCount(cols);
      host.visibleRows = r;
      host.visibleCols = cols;
    } else if (c == 0xFE) {
      wide = !wide;
      feed(wide ? "\x1b[?3h" : "\x1b[?3l");
    } else {
      emu->EraseScreen();
    }
    host.canvas.ops.clear();
    host.sent.clear();
    host.cursorEvents.clear();
    CheckCursor(buf);
  }
  emu->LazyPaint();
  const std::string dump = DumpScreen(buf);
  if (dump.rfind("# vtdump", 0) != 0) Broken("the screen dump has no header", buf.Row(), buf.Col());
  emu->SetTerminal(nullptr);
  return 0;
}

}  // namespace zav::fuzz
