#include "terminal/Replay.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "terminal/Canvas.h"
#include "terminal/ScreenDump.h"

namespace zav {
namespace {

// Draws nowhere: a replay only looks at the screen buffer.
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

}  // namespace

// Replies the emulator would send to the port are discarded.
class TReplaySession::Host : public ITerminalHost {
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

TReplaySession::TReplaySession(bool vt100, int rows, int cols) : host_(std::make_unique<Host>()) {
  if (vt100) {
    auto v = std::make_unique<TQxVT100Emulator>(nullptr);
    vt100_ = v.get();
    emulator_ = std::move(v);
  } else {
    emulator_ = std::make_unique<TQxTTYEmulator>(nullptr);
  }
  emulator_->SetInternal(true);
  host_->emulator = emulator_.get();
  emulator_->SetTerminal(host_.get());
  if (rows == 0 && cols == 0) return;
  if (rows < kMinSize || rows > kMaxSize || cols < kMinSize || cols > kMaxSize)
    throw std::invalid_argument("screen size out of range: " + std::to_string(rows) + " x " + std::to_string(cols));
  if (rows != 24 || cols != 80) {
    // The rows are the last rows of the history: a taller screen needs more.
    if (rows > emulator_->Buffer().SVRowCount()) emulator_->Buffer().SetSVRowCount(rows);
    emulator_->Buffer().SetRowCount(rows);
    emulator_->Buffer().SetColCount(cols);
    host_->rows = rows;
    host_->cols = cols;
  }
}

TReplaySession::~TReplaySession() { emulator_->SetTerminal(nullptr); }

void TReplaySession::Feed(const uint8_t* data, size_t size, size_t chunk) {
  chunk = std::max<size_t>(chunk, 1);
  for (size_t at = 0; at < size; at += chunk) emulator_->ProcessBlock(data + at, std::min(chunk, size - at));
}

int TReplaySession::Bells() const { return host_->bells; }

std::string TReplaySession::Dump(bool full) const {
  TScreenDumpInfo info;
  info.Bells = host_->bells;
  if (vt100_) {
    info.Reverse = vt100_->ScreenReverse();
    TQxVT100Emulator* vt = vt100_;
    info.LineAttr = [vt](int row) { return int(vt->LineAttrs().Get(row)); };
  }
  std::string text = DumpScreen(emulator_->Buffer(), info);
  if (full) return text;
  const size_t next = text.find("\n[line]\n");
  return next == std::string::npos ? text : text.substr(0, next + 1);
}

}  // namespace zav
