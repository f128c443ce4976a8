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

}  // namespace zav
