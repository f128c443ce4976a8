// TQxTTYEmulator::ProcessBlock on plain text: CR LF lines of 10 to 129
// characters (the long ones wrap), fed in 4096-byte blocks as the terminal
// receives them. Usage: bench_tty_process_block [megabytes] [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "terminal/QXTrmEmu.h"

namespace {

// A terminal with nothing attached: the emulator's calls cost what they cost.
class Host : public zav::ITerminalHost {
 public:
  bool HalfDuplex() const override { return false; }
  bool PortOpen() const override { return false; }
  void PortSend(const uint8_t*, size_t) override {}
  void Beep() override {}
  uint32_t Color() const override { return 0; }
  zav::TQxFont Font() const override { return {}; }
  int CellWidth() const override { return 8; }
  int CellHeight() const override { return 12; }
  int ViewRow() const override { return 1; }
  int ViewCol() const override { return 1; }
  int VisibleRows() const override { return 24; }
  int VisibleCols() const override { return 80; }
  zav::TQxCanvas* Canvas() override { return nullptr; }
  void CursorMoved(zav::TQxTerminalBuffer*, int, int) override { ++moves; }
  zav::TQxTerminalEmulator* Emulator() const override { return nullptr; }
  void SetEmulator(zav::TQxTerminalEmulator*) override {}
  long moves = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const double mb = argc > 1 ? std::atof(argv[1]) : 16.0;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  std::string text;
  const size_t size = size_t(mb * 1024 * 1024);
  unsigned seed = 12345;
  while (text.size() < size) {
    seed = seed * 1103515245u + 12345u;
    const int len = 10 + int((seed >> 16) % 120);
    for (int i = 0; i < len; ++i) text += char('!' + (i * 7 + int(text.size())) % 90);
    text += "\r\n";
  }
  text.resize(size);

  Host host;
  zav::TQxTTYEmulator emu(nullptr);
  emu.SetInternal(true);
  emu.SetTerminal(&host);
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t at = 0; at < text.size(); at += 4096) {
      emu.ProcessBlock(p + at, std::min<size_t>(4096, text.size() - at));
      zav::TQxRect rect;
      while (emu.Buffer().GetInvalidRect(rect)) {
      }
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    best = std::min(best, s);
  }
  const double mbps = double(text.size()) / (1024.0 * 1024.0) / best;
  std::printf("bytes %zu, rounds %d, best %.4f s, cursor events %ld\n", text.size(), rounds, best, host.moves);
  std::printf("RESULT tty_process_block %.1f MB/s\n", mbps);
  return 0;
}
