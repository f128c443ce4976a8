// Emulators: turn received bytes into screen-buffer operations, keystrokes
// into bytes for the port, and paint the buffer on the terminal's canvas.
//
// The terminal control and its com port are reached only through
// ITerminalHost, so emulators run headless in tests and tools. Everything here
// runs on the GUI thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "terminal/Canvas.h"
#include "terminal/QXTrmBuf.h"
#include "terminal/QXTrmMap.h"
#include "terminal/QXTrmPsr.h"

namespace zav {

class TQxTerminalEmulator;

// Modifier keys held with a key.
using TShiftState = uint8_t;
constexpr TShiftState kShiftKey = 0x01;
constexpr TShiftState kAltKey = 0x02;
constexpr TShiftState kCtrlKey = 0x04;

// The terminal control as an emulator sees it.
class ITerminalHost {
 public:
  virtual ~ITerminalHost() = default;

  // Port side.
  virtual bool HalfDuplex() const = 0;
  // The terminal has a com port and it is open.
  virtual bool PortOpen() const = 0;
  virtual void PortSend(const uint8_t* data, size_t count) = 0;
  virtual void Beep() = 0;

  // Appearance and view: colours 0x00BBGGRR; view row and column are the
  // buffer cell (1-based absolute) shown at the top-left.
  virtual uint32_t Color() const = 0;
  virtual TQxFont Font() const = 0;
  virtual int CellWidth() const = 0;
  virtual int CellHeight() const = 0;
  virtual int ViewRow() const = 0;
  virtual int ViewCol() const = 0;
  virtual int VisibleRows() const = 0;
  virtual int VisibleCols() const = 0;
  virtual TQxCanvas* Canvas() = 0;

  // The control's OnCursorMoved event.
  virtual void CursorMoved(TQxTerminalBuffer* sender, int row, int col) = 0;

  // The external emulator; the setter links through LinkTerminal.
  virtual TQxTerminalEmulator* Emulator() const = 0;
  virtual void SetEmulator(TQxTerminalEmulator* emulator) = 0;

  // Used by the VT100 emulator; the defaults suit a host without a port.
  // Replies go out only when this terminal is its port's own terminal.
  virtual bool IsPortTerminal() const { return true; }
  // Adds a line to the port's dispatch log when the port is open.
  virtual void PortLog(const std::string& /*text*/) {}
  virtual int32_t PortBaud() const { return 0; }
  // 0 none, 1 odd, 2 even, 3 mark, 4 space.
  virtual int PortParity() const { return 0; }
  virtual int PortDataBits() const { return 8; }
  // The control's Columns; false when the host has no such setting, and the
  // emulator then sizes its buffer itself.
  virtual bool SetColumns(int /*n*/) { return false; }
};

// The process-wide terminal-emulator pairing of external emulators.
// Link does nothing when the terminal is already paired; otherwise it records
// the pair and sets both sides. Unlink forgets the terminal's pair and, with
// notify, clears both sides.
void LinkTerminal(ITerminalHost* terminal, TQxTerminalEmulator* emulator);
void UnlinkTerminal(ITerminalHost* terminal, bool notify);
TQxTerminalEmulator* LinkedEmulator(ITerminalHost* terminal);

class TQxTerminalEmulator : public TComponent {
 public:
  // The concrete emulator creates the buffer; the base owns it.
  TQxTerminalEmulator(TComponent* owner, std::unique_ptr<TQxTerminalBuffer> buffer);
  ~TQxTerminalEmulator() override;

  ITerminalHost* Terminal() const { return terminal_; }
  TQxTerminalBuffer& Buffer() { return *buffer_; }
  const TQxTerminalBuffer& Buffer() const { return *buffer_; }
  // Set by a terminal on the emulator it creates for itself: such an emulator
  // takes no part in the linking.
  bool Internal() const { return internal_; }
  void SetInternal(bool on) { internal_ = on; }

  // Reading consumes the buffer's cursor-moved flag.
  virtual bool NeedsUpdate();
  virtual void SetTerminal(ITerminalHost* terminal);
  virtual void EraseScreen() {}
  virtual void ClearAll() {}
  // Local echo when `echo` and half duplex; then to the port if it is open.
  virtual void SendChar(uint8_t ch, bool echo);
  virtual void BlinkPaint(int /*phase*/) {}
  virtual bool HasBlinkingText() { return false; }
  virtual void KeyDown(uint16_t& /*key*/, TShiftState /*shift*/) {}
  virtual void KeyPress(uint8_t& /*ch*/) {}
  virtual void LazyPaint() {}
  virtual void Paint() {}
  virtual void ProcessBlock(const uint8_t* /*data*/, size_t /*length*/) {}

 protected:
  // The cells under the canvas's clip rectangle (buffer rows and columns, view
  // offset included). False when there is nothing to paint.
  bool ClipToCells(int& firstRow, int& lastRow, int& firstCol, int& lastCol);
  void Notification(TComponent* component, TOperation operation) override;
  // Forwards the buffer's cursor notification to the terminal's event.
  void CursorMovedForwarder(TQxTerminalBuffer* sender, int row, int col);

 private:
  std::unique_ptr<TQxTerminalBuffer> buffer_;
  ITerminalHost* terminal_ = nullptr;
  bool internal_ = false;
};

// The plain teletype: printable bytes (0x20-0xFF) are written, BEL beeps,
// BS, HT, LF and CR move the cursor, every other control byte is ignored.
class TQxTTYEmulator : public TQxTerminalEmulator {
 public:
  explicit TQxTTYEmulator(TComponent* owner);

  bool NeedsUpdate() override;
  void EraseScreen() override { Buffer().EraseScreen(); }
  void ClearAll() override { Buffer().ClearAll(); }
  // Backspace goes out as DEL.
  void KeyPress(uint8_t& ch) override;
  void LazyPaint() override;
  void Paint() override;
  void ProcessBlock(const uint8_t* data, size_t length) override;

  bool RepaintAll() const { return repaintAll_; }

 private:
  struct Run {
    int First;
    int Last;
    uint32_t Fore;
    uint32_t Back;
    uint8_t Attrs;
  };

  void ColorFollowUp();
  // Screen row r, columns c1..c2, all 1-based absolute.
  void DrawRowSegment(int r, int c1, int c2);

  bool repaintAll_ = false;
  std::vector<uint8_t> scratch_;
  std::vector<int> advances_;
  std::vector<Run> runs_;  // reused from paint to paint
};

// One line attribute per buffer row, addressed by absolute external row:
// 0 single width, 1 double-height top half, 2 double-height bottom half,
// 3 double width. Follows the buffer's scrolls; re-sizes itself, keeping the
// newest rows, when the buffer's SVRowCount changes.
class TQxLineAttrArray {
 public:
  explicit TQxLineAttrArray(TQxTerminalBuffer& buffer);
  // 0 outside the array.
  uint8_t Get(int row);
  // Ignored outside the array.
  void Set(int row, uint8_t value);
  void Clear();
  // The buffer's rows-scrolled notification (absolute external rows).
  void RowsScrolled(int count, int top, int bottom);

 private:
  void Fit();
  int Index(int row) const { return row + buffer_.SVRowCount() - buffer_.RowCount() - 1; }

  TQxTerminalBuffer& buffer_;
  std::vector<uint8_t> attrs_;
};

// Line attribute values.
constexpr uint8_t kLineSingle = 0;
constexpr uint8_t kLineDoubleTop = 1;
constexpr uint8_t kLineDoubleBottom = 2;
constexpr uint8_t kLineDoubleWidth = 3;

// A VT100 with VT52 mode, line attributes, blinking text, alternative
// character sets drawn with other fonts and a keyboard translated through the
// key map.
// The character set (0 US ASCII, 1 UK, 2 line drawing, 3 and 4 the alternate
// sets) a designation names by its final character's code ('0' as 0, '1' as 1,
// '2' as 2, 'A' as 65, 'B' as 66, as the parser hands them over); -1 for any
// other.
int DesignatedCharSet(int designator);

class TQxVT100Emulator : public TQxTerminalEmulator {
 public:
  explicit TQxVT100Emulator(TComponent* owner);
  ~TQxVT100Emulator() override;

  std::string Answerback = "MEROterm";
  bool DisplayUpperASCII = false;

  bool NeedsUpdate() override;
  void SetTerminal(ITerminalHost* terminal) override;
  void EraseScreen() override { Buffer().EraseScreen(); }
  void ClearAll() override { Buffer().ClearAll(); }
  void BlinkPaint(int phase) override;
  bool HasBlinkingText() override { return !blinks_.empty(); }
  void KeyDown(uint16_t& key, TShiftState shift) override;
  void KeyPress(uint8_t& ch) override;
  void LazyPaint() override;
  void Paint() override;
  void ProcessBlock(const uint8_t* data, size_t length) override;

  // Inspection.
  TQxLineAttrArray& LineAttrs() { return lineAttrs_; }
  const TQxCharSetMapping& CharSetMapping() const { return charSets_; }
  const TQxKeyboardMapping& KeyMapping() const { return keys_; }
  bool AnsiMode() const { return ansi_; }
  bool CursorKeyApplication() const { return cursorKeyApp_; }
  bool KeypadApplication() const { return keypadApp_; }
  bool AutoRepeat() const { return autoRepeat_; }
  bool Columns132() const { return cols132_; }
  bool ScreenReverse() const { return screenReverse_; }
  bool OriginMode() const { return origin_; }
  bool SmoothScroll() const { return smoothScroll_; }
  bool Interlace() const { return interlace_; }
  bool ShiftedOut() const { return shiftedOut_; }
  uint8_t G0() const { return g0_; }
  uint8_t G1() const { return g1_; }
  uint8_t Leds() const { return leds_; }
  // (row, first column, last column) runs of visible blinking cells.
  struct BlinkRun {
    int Row;
    int First;
    int Last;
  };
  const std::vector<BlinkRun>& BlinkRuns() const { return blinks_; }

 private:
  struct Run {
    int First;
    int Last;
    uint32_t Fore;
    uint32_t Back;
    uint8_t Attrs;
    uint8_t CharSet;
  };
  struct SavedCursor {
    uint8_t Attrs = 0;
    uint32_t Back = 0;
    uint8_t CharSet = 0;
    int Col = 1;
    uint32_t Fore = 0xC0C0C0;
    int Row = 1;
  };

  void Execute();
  void ResetModes();
  void SetPrivateMode(int mode, bool on);
  void SetColumns(int n);
  void Reply(const std::string& text);
  void SendKeyString(const std::string& s);
  void RebuildBlinks();
  void RepaintRows();
  // Screen row r, columns c1..c2 (cells when `cells`); background only when
  // not `text`.
  void DrawRow(int r, int c1, int c2, bool cells, bool text);

  TQxVT100Parser parser_;
  TQxKeyboardMapping keys_;
  TQxCharSetMapping charSets_;
  TQxLineAttrArray lineAttrs_;
  TQxFont font_;
  std::vector<uint8_t> scratch_;
  std::vector<int> advances_;
  std::vector<Run> runs_;
  std::vector<BlinkRun> blinks_;
  std::vector<int> dirtyRows_;  // rows whose line attribute changed
  std::string seq_;
  std::string fontName_;
  std::string itemText_;
  SavedCursor saved_;

  bool repaintAll_ = false;
  bool ansi_ = true;
  bool cursorKeyApp_ = false;
  bool keypadApp_ = false;
  bool autoRepeat_ = true;
  bool cols132_ = false;
  bool smoothScroll_ = false;
  bool screenReverse_ = false;
  bool origin_ = false;
  bool interlace_ = false;
  bool shiftedOut_ = false;
  uint8_t g0_ = 0;
  uint8_t g1_ = 0;
  uint8_t leds_ = 0;
};

}  // namespace zav
