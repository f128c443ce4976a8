// A headless terminal for emulator tests: records what goes to the port, the
// beeps, cursor events and every canvas call.
#pragma once

#include <string>
#include <vector>

#include "terminal/Canvas.h"
#include "terminal/QXTrmEmu.h"

namespace zav::test {

struct CanvasOp {
  enum Kind { Fill, Text, Line } kind;
  TQxRect rect;       // Fill, Text
  int x = 0, y = 0;   // Text origin, Line start
  int x2 = 0, y2 = 0; // Line end
  uint32_t fore = 0;  // Text font colour, Line colour, Fill colour
  uint32_t back = 0;
  std::string text;
  std::vector<int> advances;
  std::string font;
};

class RecordingCanvas : public TQxCanvas {
 public:
  TQxRect clip{0, 0, 10000, 10000};
  std::vector<CanvasOp> ops;

  TQxRect ClipRect() const override { return clip; }
  void SetClipRect(const TQxRect& r) override { clip = r; }
  void FillRect(const TQxRect& r, uint32_t color) override {
    ops.push_back({CanvasOp::Fill, r, 0, 0, 0, 0, color, 0, {}, {}, {}});
  }
  void TextRun(const TQxRect& r, int x, int y, const TQxFont& font, uint32_t back, const uint8_t* text,
               int count, const int* advances) override {
    ops.push_back({CanvasOp::Text, r, x, y, 0, 0, font.Color, back,
                   std::string(reinterpret_cast<const char*>(text), size_t(count)),
                   std::vector<int>(advances, advances + count), font.Name});
  }
  void Line(int x1, int y1, int x2, int y2, uint32_t color) override {
    ops.push_back({CanvasOp::Line, {}, x1, y1, x2, y2, color, 0, {}, {}, {}});
  }
  std::vector<CanvasOp> Texts() const {
    std::vector<CanvasOp> out;
    for (const auto& op : ops)
      if (op.kind == CanvasOp::Text) out.push_back(op);
    return out;
  }
};

class FakeTerminal : public ITerminalHost {
 public:
  bool halfDuplex = false;
  bool portOpen = true;
  std::string sent;
  int bells = 0;
  uint32_t color = 0x000000;
  TQxFont font;
  int cellWidth = 8, cellHeight = 12;
  int viewRow = 1, viewCol = 1, visibleRows = 24, visibleCols = 80;
  RecordingCanvas canvas;
  std::vector<std::pair<int, int>> cursorEvents;
  TQxTerminalEmulator* emulator = nullptr;

  bool HalfDuplex() const override { return halfDuplex; }
  bool PortOpen() const override { return portOpen; }
  void PortSend(const uint8_t* data, size_t count) override {
    sent.append(reinterpret_cast<const char*>(data), count);
  }
  void Beep() override { ++bells; }
  uint32_t Color() const override { return color; }
  TQxFont Font() const override { return font; }
  int CellWidth() const override { return cellWidth; }
  int CellHeight() const override { return cellHeight; }
  int ViewRow() const override { return viewRow; }
  int ViewCol() const override { return viewCol; }
  int VisibleRows() const override { return visibleRows; }
  int VisibleCols() const override { return visibleCols; }
  TQxCanvas* Canvas() override { return &canvas; }
  void CursorMoved(TQxTerminalBuffer*, int row, int col) override { cursorEvents.emplace_back(row, col); }
  TQxTerminalEmulator* Emulator() const override { return emulator; }
  void SetEmulator(TQxTerminalEmulator* e) override {
    // As the control does: drop the old pairing, then link the new one.
    if (e == emulator) return;
    TQxTerminalEmulator* old = emulator;
    emulator = nullptr;
    if (old) UnlinkTerminal(this, true);
    emulator = e;
    if (e) LinkTerminal(this, e);
  }
};

}  // namespace zav::test
