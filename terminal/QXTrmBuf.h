// The terminal's screen model: a grid of cells with scrollback history above
// it, the cursor, drawing attributes, tab stops, a scrolling region and the
// list of rectangles changed since the last repaint.
//
// Rows and columns are 0-based inside; every public operation takes 1-based
// external numbers, absolute (row 1 = first screen row, history rows 0, -1,
// ...) or relative to the region, by `AbsoluteAddressing`. The row readers for
// painting and the invalid rectangles always use absolute external rows.
//
// Single-threaded: only the GUI thread uses a buffer. The size setters raise
// ETerminalError for counts below 2 and leave the buffer unchanged then.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "terminal/Canvas.h"

namespace zav {

// Terminal-side errors; the text names the class and the operation.
class ETerminalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Cell attribute bits.
constexpr uint8_t kAttrBold = 0x01;
constexpr uint8_t kAttrUnderline = 0x02;
constexpr uint8_t kAttrStrike = 0x04;
constexpr uint8_t kAttrBlink = 0x08;
constexpr uint8_t kAttrReverse = 0x10;
constexpr uint8_t kAttrInvisible = 0x20;
constexpr uint8_t kAttrSelected = 0x40;


// A rectangular block of items of 1, 2 or 4 bytes. Rows are reached through a
// row table, so scrolling a range of rows moves row indices, not cells.
class TqxTerminalArray {
 public:
  explicit TqxTerminalArray(int itemSize);

  int ColCount() const { return cols_; }
  void SetColCount(int n);
  int RowCount() const { return rows_; }
  void SetRowCount(int n);
  int ItemSize() const { return itemSize_; }
  uint32_t DefaultItem() const { return fill_; }
  void SetDefaultItem(uint32_t value) { fill_ = value; }

  void Clear();
  void ClearItems(int row, int firstCol, int lastCol);
  // Copies at most to the end of the row.
  void WriteItems(const void* src, int count, int col, int row);
  // Both clip `count` to the end of the row and fill the vacated items.
  void InsertItems(int count, int row, int col);
  void DeleteItems(int count, int row, int col);
  // Rows start..end (either order); count > 0 moves them up, < 0 down; the
  // vacated rows are filled. |count| beyond the range's height - 1 fills all.
  void ScrollRows(int count, int startRow, int endRow);
  void ReplaceItems(uint32_t oldValue, uint32_t newValue);
  // Null when nothing is allocated.
  void* GetItemPtr(int row, int col);
  const void* GetItemPtr(int row, int col) const;

  // Row base pointer without checks, for the buffer's hot paths.
  uint8_t* RowPtr(int row) { return data_.data() + size_t(rowIndex_[size_t(base_ + row)]) * rowBytes_; }

 private:
  void Reallocate(int rows, int cols);
  void FillItems(uint8_t* p, int count);
  static int StrideFor(int cols, int itemSize);

  int cols_ = 0;
  int stride_ = 0;
  int rows_ = 0;
  int itemSize_;
  uint32_t fill_ = 0;
  size_t rowBytes_ = 0;
  std::vector<uint8_t> data_;
  // Logical row r is storage row rowIndex_[base_ + r]; the table holds two
  // copies so whole-array scrolls only move base_.
  std::vector<uint32_t> rowIndex_;
  int base_ = 0;
};

class TQxTerminalBuffer {
 public:
  using TCursorMovedEvent = std::function<void(TQxTerminalBuffer* sender, int row, int col)>;
  using TRowsScrolledEvent = std::function<void(TQxTerminalBuffer* sender, int count, int top, int bottom)>;

  explicit TQxTerminalBuffer(bool wideChars = false);
  ~TQxTerminalBuffer();
  TQxTerminalBuffer(const TQxTerminalBuffer&) = delete;
  TQxTerminalBuffer& operator=(const TQxTerminalBuffer&) = delete;

  // Sizes.
  int ColCount() const { return colCount_; }
  void SetColCount(int n);
  int RowCount() const { return rowCount_; }
  void SetRowCount(int n);
  int SVRowCount() const { return svRowCount_; }
  void SetSVRowCount(int n);
  bool WideChars() const { return wide_; }

  // Cursor.
  void SetCursorPosition(int row, int col);
  int Row() const;
  void SetRow(int r);
  int Col() const;
  void SetCol(int c);
  void MoveCursorUp(bool scroll);
  void MoveCursorDown(bool scroll);
  void MoveCursorLeft(bool wrap, bool scroll);
  void MoveCursorRight(bool wrap, bool scroll);
  void CarriageReturn();
  void LineFeed();
  void Backspace();
  void HorzTab();
  void VertTab();

  void WriteChar(uint16_t ch);
  // Writes characters from `text` as WriteChar would, as far as they fit on the
  // cursor row before its last column (where wrapping starts) and while no
  // insert mode or pending wrap asks for more; returns how many it wrote (0 to
  // n). The cursor moves once for the whole run: one notification, not n.
  size_t WriteRun(const uint8_t* text, size_t n);

  // Erasing; the cursor stays.
  void EraseChars(int n);
  void EraseToEOL();
  void EraseToBOL();
  void EraseLine();
  void EraseToEOW();
  void EraseToBOW();
  void EraseScreen();
  void ClearAll();

  // Editing.
  void InsertChars(int n);
  void DeleteChars(int n);
  void InsertLines(int n);
  void DeleteLines(int n);

  // Scrolling region and tabs.
  void SetScrollRegion(int top, int bottom);
  bool ScrollRegionActive() const { return regionActive_; }
  void SetScrollRegionActive(bool on);
  void SetHorzTab();
  void ClearHorzTab();
  void ClearAllHorzTabs();
  void ClearAllVertTabs();
  bool HorzTabAt(int col) const;  // external column, for inspection

  // Current and default drawing values.
  uint8_t CharAttrs() const { return attrs_; }
  void SetCharAttrs(uint8_t a);
  uint32_t ForeColor() const { return fore_; }
  void SetForeColor(uint32_t c);
  uint32_t BackColor() const { return back_; }
  void SetBackColor(uint32_t c);
  uint8_t CharSet() const { return charSet_; }
  void SetCharSet(uint8_t s);
  uint32_t DefForeColor() const { return defFore_; }
  void SetDefForeColor(uint32_t c);
  uint32_t DefBackColor() const { return defBack_; }
  void SetDefBackColor(uint32_t c);
  // The default character is the fill of the character plane.
  uint16_t DefChar() const { return defChar_; }
  void SetDefChar(uint16_t ch);
  uint8_t DefCharAttrs() const { return defAttrs_; }
  uint8_t DefCharSet() const { return defCharSet_; }

  // Mode flags.
  bool AbsoluteAddressing = true;
  bool AutoWrap = true;
  bool DelayedWrap = true;
  bool InsertMode = false;
  bool NewLineMode = false;

  void Reset();

  // Row readers (absolute external rows); index with column - 1. The
  // attribute row may be written through (the selection does).
  uint8_t* GetLineChars(int row);
  uint8_t* GetLineCharSets(int row);
  uint8_t* GetLineAttrs(int row);
  uint32_t* GetLineForeColors(int row);
  uint32_t* GetLineBackColors(int row);

  // Merges everything recorded into one bounding rectangle, removes it and
  // returns it (1-based absolute external cells, inclusive).
  bool GetInvalidRect(TQxRect& rect);
  bool HasInvalidRect() const { return invalidAny_; }
  // Returns the cursor-moved flag and clears it.
  bool HasCursorMoved();
  bool PendingWrap() const { return pendingWrap_; }
  // The cursor in absolute external numbers, whatever the addressing mode.
  int AbsCursorRow() const { return curRow_ - ScreenTop() + 1; }
  int AbsCursorCol() const { return curCol_ + 1; }

  // Lines pushed into the history since the last clear, at most its size.
  int HistoryLineCount() const { return historyLines_; }

  TCursorMovedEvent OnCursorMoved;
  TRowsScrolledEvent OnRowsScrolled;

 private:
  void ResizePlanes(int rows, int cols);
  void SetRegionToScreen();
  void ApplyRegion();
  void SetDefaultTabs();
  void CursorChanged();
  void Invalidate(int left, int top, int right, int bottom);  // internal coordinates
  void InvalidateRows(int top, int bottom) { Invalidate(0, top, colCount_ - 1, bottom); }
  void InvalidateScreen();
  void DiscardInvalid();
  void ScrollPlanes(int count, int top, int bottom);
  void ScrollUpForCursor();
  void ClearCells(int row, int firstCol, int lastCol);
  int ScreenTop() const { return svRowCount_ - rowCount_; }
  int RegionRight() const { return regionLeft_ + regionWidth_ - 1; }
  int RegionBottom() const { return regionTop_ + regionHeight_ - 1; }
  int InternalRow(int r) const;
  int InternalCol(int c) const;
  int AbsoluteRow(int r) const { return r + svRowCount_ - rowCount_ - 1; }

  bool wide_;
  int colCount_ = 0;
  int rowCount_ = 0;
  int svRowCount_ = 0;
  TqxTerminalArray chars_;
  TqxTerminalArray charSets_;
  TqxTerminalArray attrPlane_;
  TqxTerminalArray forePlane_;
  TqxTerminalArray backPlane_;

  int curRow_ = 0;
  int curCol_ = 0;
  bool pendingWrap_ = false;
  bool cursorMoved_ = false;

  int regionLeft_ = 0;
  int regionTop_ = 0;
  int regionWidth_ = 0;
  int regionHeight_ = 0;
  bool regionActive_ = false;
  int scrollTop_ = 0;
  int scrollBottom_ = 0;

  std::vector<bool> horzTabs_;
  std::vector<bool> vertTabs_;

  uint8_t attrs_ = 0, defAttrs_ = 0;
  uint8_t charSet_ = 0, defCharSet_ = 0;
  uint32_t fore_ = 0xC0C0C0, defFore_ = 0xC0C0C0;
  uint32_t back_ = 0, defBack_ = 0;
  uint16_t defChar_ = 0x20;

  // Everything changed since the last GetInvalidRect, as one bounding range
  // (1-based absolute external cells); a paint takes the union anyway.
  TQxRect invalid_{0, 0, 0, 0};
  bool invalidAny_ = false;
  // WriteChar's cache of the cursor row in each plane; planesVersion_ counts
  // every change that moves rows (scrolls, resizes).
  uint8_t* rowCache_[5] = {};
  int cachedRow_ = -1;
  uint32_t planesVersion_ = 0;
  uint32_t cachedVersion_ = 0;
  int historyLines_ = 0;
};

}  // namespace zav
