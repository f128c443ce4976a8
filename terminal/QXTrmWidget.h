// The terminal control: a Qt widget that shows what the com port receives
// through its emulator and sends what is typed.
//
// Received bytes reach it on the dispatcher thread through the data handler,
// which appends them to a locked byte queue and posts MsgTerminalDataQueued to the control's
// message window; everything else runs on the GUI thread. The emulator paints
// into a backing image that the paint event copies to the screen, so lazy
// repaints between paint events keep their pixels.
#pragma once

#include <QImage>
#include <QPainter>
#include <QRawFont>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <array>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "platform/MessageNumbers.h"
#include "platform/Messages.h"
#include "terminal/QXTrmEmu.h"

class QScrollBar;
class QTimer;

namespace zav {

class TMroCustomComPort;
class TMroBaseDispatcher;

constexpr UINT kMsgDataQueued = MsgTerminalDataQueued;

// A contiguous growable byte queue. Not locked: the terminal guards it.
class TzzByteQueue {
 public:
  void Append(const uint8_t* data, size_t n);
  // Makes room for n bytes at the tail and returns their address.
  uint8_t* Reserve(size_t n);
  void Advance(size_t n);
  size_t Count() const { return tail_ - head_; }
  // Throw ETerminalError when fewer than n bytes are queued.
  const uint8_t* Peek(size_t n) const;
  void Remove(size_t n);
  void Clear() { head_ = tail_ = 0; }
  size_t Capacity() const { return data_.size(); }

 private:
  void Check(size_t n) const;
  std::vector<uint8_t> data_;
  size_t head_ = 0;
  size_t tail_ = 0;
};

enum class TQxCaptureMode { cmOff, cmOn, cmAppend };
enum class TQxCursorType { ctNone, ctUnderline, ctBlock };
enum class TQxBorderStyle { bsNone, bsSingle };

// The canvas over a QPainter; bytes are drawn as code page 437 glyphs in OEM
// fonts and as Latin-1 otherwise.
class TQtCanvas : public TQxCanvas {
 public:
  // With the image the painter paints on (32-bit RGB, no transform), text
  // runs are copied into it from cached cell tiles instead of being drawn.
  void Begin(QPainter* painter, QImage* image = nullptr) {
    painter_ = painter;
    image_ = image && image->format() == QImage::Format_RGB32 ? image : nullptr;
  }
  void End() {
    painter_ = nullptr;
    image_ = nullptr;
  }
  bool Active() const { return painter_ != nullptr; }
  TQxRect ClipRect() const override { return clip_; }
  void SetClipRect(const TQxRect& rect) override;
  void FillRect(const TQxRect& rect, uint32_t color) override;
  void TextRun(const TQxRect& rect, int x, int y, const TQxFont& font, uint32_t back, const uint8_t* text,
               int count, const int* advances) override;
  void Line(int x1, int y1, int x2, int y2, uint32_t color) override;

 private:
  void UseFont(const TQxFont& font);
  // Copies a run of equal-width cells from tiles; false when a tile cannot
  // stand for the cell (a glyph whose ink leaves it, a byte the font lacks).
  bool CopyTiles(const QRect& box, const uint8_t* text, int count, int width, uint32_t fore, uint32_t back);
  // The tile of byte b in these colours: its pixels' offset in tilePixels_,
  // or kSpills.
  int32_t Tile(uint8_t b, uint32_t fore, uint32_t back, int width, int height);
  static constexpr int32_t kNoTile = -1;
  static constexpr int32_t kSpills = -2;

  QPainter* painter_ = nullptr;
  QImage* image_ = nullptr;
  TQxRect clip_{0, 0, 0, 0};
  QString glyphs_;
  // The last font asked for, made once: building a QFont and asking the font
  // database about it costs more than drawing a row.
  bool haveFont_ = false;
  std::string fontName_;
  int fontHeight_ = 0;
  QFont qfont_;
  int ascent_ = 0;
  int advance_ = 0;
  bool fontOem_ = true;
  // Glyph indexes of the 256 byte values in the font (0: not in the font), so
  // rows are drawn as glyph runs without shaping text every time.
  QRawFont raw_;
  std::array<quint32, 256> glyphOf_{};
  QVector<quint32> runGlyphs_;
  QVector<QPointF> runPositions_;
  // Cell tiles, made on first use per colour pair and dropped with the font.
  struct TTileSet {
    uint32_t Fore, Back;
    std::array<int32_t, 256> At;
  };
  std::vector<TTileSet> tileSets_;
  std::vector<uint32_t> tilePixels_;
  int tileWidth_ = 0;
  int tileHeight_ = 0;
};

// A window-system colour (0x00BBGGRR) as a QColor and a font as a QFont.
QColor ToQColor(uint32_t color);
QFont ToQFont(const TQxFont& font);

class TQxCustomTerminal : public QWidget, public TComponent, public ITerminalHost {
 public:
  explicit TQxCustomTerminal(TComponent* owner, QWidget* parent = nullptr);
  ~TQxCustomTerminal() override;

  // --- Properties ---
  bool Active() const { return active_; }
  void SetActive(bool on);
  int BlinkTime() const { return blinkTime_; }
  void SetBlinkTime(int ms);
  TQxBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TQxBorderStyle style);
  TQxCaptureMode Capture() const { return capture_; }
  void SetCapture(TQxCaptureMode mode);
  const std::string& CaptureFile() const { return captureFile_; }
  void SetCaptureFile(const std::string& name);
  int Columns() const;
  void SetColumnsProperty(int n);
  TMroCustomComPort* ComPort() const { return port_; }
  void SetComPort(TMroCustomComPort* port);
  TQxCursorType CursorType() const { return cursorType_; }
  void SetCursorType(TQxCursorType type);
  bool HalfDuplex() const override { return halfDuplex_; }
  void SetHalfDuplex(bool on) { halfDuplex_ = on; }
  int LazyByteDelay() const { return lazyByteDelay_; }
  void SetLazyByteDelay(int n);
  int LazyTimeDelay() const { return lazyTimeDelay_; }
  void SetLazyTimeDelay(int ms);
  int Rows() const;
  void SetRows(int n);
  int ScrollbackRows() const;
  void SetScrollbackRows(int n);
  bool Scrollback() const { return scrollback_; }
  void SetScrollback(bool on);
  bool UseLazyDisplay() const { return useLazyDisplay_; }
  void SetUseLazyDisplay(bool on) { useLazyDisplay_ = on; }
  bool WantAllKeys() const { return wantAllKeys_; }
  void SetWantAllKeys(bool on) { wantAllKeys_ = on; }
  uint32_t ColorValue() const { return color_; }
  void SetColor(uint32_t color);
  const TQxFont& TermFont() const { return font_; }
  void SetTermFont(const TQxFont& font);
  std::function<void(TQxCustomTerminal*, int row, int col)> OnCursorMoved;
  // The port's bytes as they reach the emulator, on the GUI thread (a
  // terminal program watches them for the start of a transfer). An inactive
  // control takes no bytes from the port, so a transfer has them all.
  std::function<void(TQxCustomTerminal*, const uint8_t* data, size_t count)> OnDataReceived;

  // The current emulator (the internal one when none is attached).
  TQxTerminalEmulator& CurrentEmulator() const { return *current_; }
  TQxTerminalBuffer& Buffer() const { return current_->Buffer(); }

  // --- State, for tools and tests ---
  bool Attached() const { return attached_; }
  bool AttachPending() const { return attachPending_; }
  HWND MessageWindow() const { return window_; }
  void SetViewRow(int row);
  void SetViewCol(int col);
  bool HasSelection() const { return hasSelection_; }
  // The selection as copied: each row followed by CR LF.
  std::string SelectionText() const;
  void CopySelection();
  void CancelMode();
  // The backing image the emulator paints on.
  const QImage& Image() const { return image_; }
  bool TimerEnabled() const;
  void SetTimerEnabled(bool on);
  // One 100 ms timer tick: selection auto-scroll, blinking, lazy display.
  void TimerTick();
  // Processes whatever the data handler has queued; false when nothing was.
  bool ProcessQueue();
  // The MsgTerminalDataQueued handling: the queue taken, and a hold begun after a batch.
  void TakeQueued();
  // How long bytes that follow a batch wait to be taken with the next.
  static constexpr int kHoldMs = 50;
  // Queues bytes as the data handler does and posts MsgTerminalDataQueued.
  void QueueBytes(const uint8_t* data, size_t n);

  // --- ITerminalHost ---
  bool PortOpen() const override;
  void PortSend(const uint8_t* data, size_t count) override;
  void Beep() override;
  uint32_t Color() const override { return color_; }
  TQxFont Font() const override { return font_; }
  int CellWidth() const override { return cellWidth_; }
  int CellHeight() const override { return cellHeight_; }
  int ViewRow() const override { return viewRow_; }
  int ViewCol() const override { return viewCol_; }
  int VisibleRows() const override { return visibleRows_; }
  int VisibleCols() const override { return visibleCols_; }
  TQxCanvas* Canvas() override { return &canvas_; }
  void CursorMoved(TQxTerminalBuffer* sender, int row, int col) override;
  TQxTerminalEmulator* Emulator() const override { return external_; }
  void SetEmulator(TQxTerminalEmulator* emulator) override;
  bool IsPortTerminal() const override;
  void PortLog(const std::string& text) override;
  int32_t PortBaud() const override;
  int PortParity() const override;
  int PortDataBits() const override;
  bool SetColumns(int n) override;

 protected:
  void Notification(TComponent* component, TOperation operation) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  bool event(QEvent* event) override;

 private:
  LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
  void DataHandler(UINT msg, WPARAM wParam, LPARAM lParam);
  void Attach();
  void Detach();
  void CloseCapture();
  void MeasureFont();
  void Layout();
  void UpdateScrollBars();
  void ScrollAction(bool vertical, int action);
  QRect ClientRect() const;
  // Runs `paint` with the canvas on the backing image, clipped to the text
  // area, and schedules the changed pixels for the screen.
  void PaintOnImage(const std::function<void()>& paint, const QRect& area);
  void ResizeImage();
  QRect CaretRect() const;
  void UpdateCaret();
  void CellAt(QPoint p, int& row, int& col) const;
  void ExtendSelection(int row, int col);
  void MarkSelection(int r1, int c1, int r2, int c2, bool on);
  void WriteSampleText();
  uint16_t VirtualKey(const QKeyEvent* event) const;

  // Properties.
  bool active_ = true;
  int blinkTime_ = 500;
  TQxBorderStyle borderStyle_ = TQxBorderStyle::bsSingle;
  TQxCaptureMode capture_ = TQxCaptureMode::cmOff;
  std::string captureFile_ = "MEROTERM.CAP";
  TMroCustomComPort* port_ = nullptr;
  TQxCursorType cursorType_ = TQxCursorType::ctBlock;
  bool halfDuplex_ = false;
  int lazyByteDelay_ = 200;
  int lazyTimeDelay_ = 100;
  bool scrollback_ = false;
  bool useLazyDisplay_ = true;
  bool wantAllKeys_ = true;
  uint32_t color_ = 0x000000;
  TQxFont font_{"Terminal", -12, 0xC0C0C0, true};

  // Emulators.
  std::unique_ptr<TQxTTYEmulator> internal_;
  TQxTerminalEmulator* external_ = nullptr;
  TQxTerminalEmulator* current_ = nullptr;

  // Port hand-over.
  HWND window_ = 0;
  // Read by the data handler on the dispatcher thread, which may still be
  // in a call when the control lets go of the port.
  std::atomic<TMroBaseDispatcher*> dispatcher_{nullptr};
  std::mutex queueLock_;
  // A MsgTerminalDataQueued is on its way: more bytes join the queue without another post.
  std::atomic<bool> postPending_{false};
  TzzByteQueue queue_;
  std::vector<uint8_t> work_;
  bool attached_ = false;
  bool attachPending_ = false;
  int captureFd_ = -1;

  // View and layout.
  int cellWidth_ = 0;
  int cellHeight_ = 0;
  int viewRow_ = 1;
  int viewCol_ = 1;
  int visibleRows_ = 0;
  int visibleCols_ = 0;
  int fullRows_ = 0;
  int fullCols_ = 0;
  bool hBar_ = false;
  bool rowsBar_ = false;
  QRect textArea_;
  QScrollBar* hScroll_ = nullptr;
  QScrollBar* vScroll_ = nullptr;
  bool settingBars_ = false;

  // Painting.
  QImage image_;
  TQtCanvas canvas_;
  QTimer* timer_ = nullptr;
  QTimer* hold_ = nullptr;  // while it runs, bytes queued wait for it rather than post
  bool caretCreated_ = false;
  bool caretShown_ = false;
  QRect caretDrawn_;
  int blinkCounter_ = 0;
  int blinkPhase_ = 1;
  int lazyTime_ = 0;
  int lazyBytes_ = 0;

  // Selection.
  bool selecting_ = false;
  bool hasSelection_ = false;
  int anchorRow_ = 0, anchorCol_ = 0;
  int selStartRow_ = 0, selStartCol_ = 0, selEndRow_ = 0, selEndCol_ = 0;
};

// The published form of the control.
class TQxTerminal : public TQxCustomTerminal {
 public:
  using TQxCustomTerminal::TQxCustomTerminal;
};

}  // namespace zav
