#include "terminal/QXTrmBuf.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace zav {

// ---------------------------------------------------------------------------
// TqxTerminalArray

TqxTerminalArray::TqxTerminalArray(int itemSize)
    : itemSize_(itemSize == 1 || itemSize == 2 || itemSize == 4 ? itemSize : 1) {}

int TqxTerminalArray::StrideFor(int cols, int itemSize) {
  if (itemSize == 1) return (cols + 3) & ~3;
  if (itemSize == 2) return (cols + 1) & ~1;
  return cols;
}

void TqxTerminalArray::FillItems(uint8_t* p, int count) {
  if (count <= 0) return;
  if (itemSize_ == 1) {
    std::memset(p, int(fill_ & 0xFF), size_t(count));
    return;
  }
  // A 32-byte pattern copied block by block: the compiler turns each copy
  // into a couple of vector stores.
  uint8_t pattern[32];
  if (itemSize_ == 4) {
    const uint32_t v = fill_;
    for (int i = 0; i < 32; i += 4) std::memcpy(pattern + i, &v, 4);
  } else {
    const uint16_t v = uint16_t(fill_);
    for (int i = 0; i < 32; i += 2) std::memcpy(pattern + i, &v, 2);
  }
  size_t left = size_t(count) * size_t(itemSize_);
  for (; left >= 32; left -= 32, p += 32) std::memcpy(p, pattern, 32);
  std::memcpy(p, pattern, left);
}

void TqxTerminalArray::Reallocate(int rows, int cols) {
  const int stride = StrideFor(cols, itemSize_);
  const size_t rowBytes = size_t(stride) * size_t(itemSize_);
  std::vector<uint8_t> data(rowBytes * static_cast<size_t>(rows));
  std::vector<uint32_t> index(static_cast<size_t>(rows) * 2);
  for (int r = 0; r < rows; ++r) {
    index[size_t(r)] = index[size_t(r + rows)] = uint32_t(r);
    FillItems(data.data() + rowBytes * size_t(r), stride);
  }
  // Bottom-aligned: the last rows of the old storage become the last rows.
  const int keepRows = data_.empty() ? 0 : std::min(rows_, rows);
  const int keepCols = std::min(cols_, cols);
  for (int i = 0; i < keepRows; ++i) {
    const int from = rows_ - keepRows + i;
    const int to = rows - keepRows + i;
    std::memcpy(data.data() + rowBytes * size_t(to), RowPtr(from), size_t(keepCols) * size_t(itemSize_));
  }
  data_ = std::move(data);
  rowIndex_ = std::move(index);
  base_ = 0;
  rows_ = rows;
  cols_ = cols;
  stride_ = stride;
  rowBytes_ = rowBytes;
}

void TqxTerminalArray::SetColCount(int n) {
  if (n < 0) n = 0;
  if (n == cols_) return;
  if (StrideFor(n, itemSize_) == stride_ && !data_.empty()) {
    cols_ = n;  // cells beyond the new width keep their contents
    return;
  }
  Reallocate(rows_, n);
}

void TqxTerminalArray::SetRowCount(int n) {
  if (n < 0) n = 0;
  if (n == rows_) return;
  Reallocate(n, cols_);
}

void TqxTerminalArray::Clear() {
  for (int r = 0; r < rows_; ++r) FillItems(RowPtr(r), stride_);
}

void TqxTerminalArray::ClearItems(int row, int firstCol, int lastCol) {
  if (row < 0 || row >= rows_) return;
  firstCol = std::max(firstCol, 0);
  lastCol = std::min(lastCol, cols_ - 1);
  if (firstCol > lastCol) return;
  FillItems(RowPtr(row) + size_t(firstCol) * size_t(itemSize_), lastCol - firstCol + 1);
}

void TqxTerminalArray::WriteItems(const void* src, int count, int col, int row) {
  if (row < 0 || row >= rows_ || col < 0 || col >= cols_) return;
  count = std::min(count, cols_ - col);
  if (count <= 0) return;
  std::memcpy(RowPtr(row) + size_t(col) * size_t(itemSize_), src, size_t(count) * size_t(itemSize_));
}

void TqxTerminalArray::InsertItems(int count, int row, int col) {
  if (row < 0 || row >= rows_ || col < 0 || col >= cols_) return;
  count = std::min(count, cols_ - col);
  if (count <= 0) return;
  uint8_t* p = RowPtr(row) + size_t(col) * size_t(itemSize_);
  const int moved = cols_ - col - count;
  std::memmove(p + size_t(count) * size_t(itemSize_), p, size_t(moved) * size_t(itemSize_));
  FillItems(p, count);
}

void TqxTerminalArray::DeleteItems(int count, int row, int col) {
  if (row < 0 || row >= rows_ || col < 0 || col >= cols_) return;
  count = std::min(count, cols_ - col);
  if (count <= 0) return;
  uint8_t* p = RowPtr(row) + size_t(col) * size_t(itemSize_);
  const int moved = cols_ - col - count;
  std::memmove(p, p + size_t(count) * size_t(itemSize_), size_t(moved) * size_t(itemSize_));
  FillItems(p + size_t(moved) * size_t(itemSize_), count);
}

void TqxTerminalArray::ScrollRows(int count, int startRow, int endRow) {
  if (rows_ == 0 || count == 0) return;
  int top = std::max(std::min(startRow, endRow), 0);
  int bottom = std::min(std::max(startRow, endRow), rows_ - 1);
  if (top > bottom) return;
  const int height = bottom - top + 1;
  const int n = count > 0 ? count : -count;
  if (n > height - 1) {
    for (int r = top; r <= bottom; ++r) FillItems(RowPtr(r), stride_);
    return;
  }
  if (height == rows_) {
    // The whole array: turn the ring. This is every line feed at the bottom
    // of the screen, so it must not cost a pass over all rows.
    base_ = count > 0 ? (base_ + n) % rows_ : (base_ + rows_ - n) % rows_;
  } else {
    // Part of it: rotate the range's entries, keeping both copies in step.
    // The range lies whole in the doubled table from base_ + top on; its
    // entries below rows_ have their copy rows_ further on, the others
    // rows_ before.
    uint32_t* const table = rowIndex_.data();
    const int start = base_ + top;
    const int end = start + height;
    std::rotate(table + start, table + start + (count > 0 ? n : height - n), table + end);
    const int split = std::min(end, rows_);
    if (start < split) std::copy(table + start, table + split, table + start + rows_);
    const int from = std::max(start, rows_);
    if (from < end) std::copy(table + from, table + end, table + from - rows_);
  }
  if (count > 0) {
    for (int r = bottom - n + 1; r <= bottom; ++r) FillItems(RowPtr(r), stride_);
  } else {
    for (int r = top; r < top + n; ++r) FillItems(RowPtr(r), stride_);
  }
}

void TqxTerminalArray::ReplaceItems(uint32_t oldValue, uint32_t newValue) {
  for (int r = 0; r < rows_; ++r) {
    uint8_t* p = RowPtr(r);
    for (int c = 0; c < cols_; ++c, p += itemSize_) {
      if (itemSize_ == 1) {
        if (*p == uint8_t(oldValue)) *p = uint8_t(newValue);
      } else if (itemSize_ == 2) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        if (v == uint16_t(oldValue)) {
          v = uint16_t(newValue);
          std::memcpy(p, &v, 2);
        }
      } else {
        uint32_t v;
        std::memcpy(&v, p, 4);
        if (v == oldValue) std::memcpy(p, &newValue, 4);
      }
    }
  }
}

void* TqxTerminalArray::GetItemPtr(int row, int col) {
  if (itemSize_ != 1 && itemSize_ != 2 && itemSize_ != 4)
    throw ETerminalError("TqxTerminalArray.GetItemPtr: invalid item size");
  if (data_.empty() || row < 0 || row >= rows_ || col < 0 || col >= stride_) return nullptr;
  return RowPtr(row) + size_t(col) * size_t(itemSize_);
}

const void* TqxTerminalArray::GetItemPtr(int row, int col) const {
  return const_cast<TqxTerminalArray*>(this)->GetItemPtr(row, col);
}

// ---------------------------------------------------------------------------
// TQxTerminalBuffer

TQxTerminalBuffer::TQxTerminalBuffer(bool wideChars)
    : wide_(wideChars),
      chars_(wideChars ? 2 : 1),
      charSets_(1),
      attrPlane_(1),
      forePlane_(4),
      backPlane_(4) {
  chars_.SetDefaultItem(defChar_);
  charSets_.SetDefaultItem(defCharSet_);
  attrPlane_.SetDefaultItem(defAttrs_);
  forePlane_.SetDefaultItem(defFore_);
  backPlane_.SetDefaultItem(defBack_);
  svRowCount_ = 200;
  colCount_ = 80;
  rowCount_ = 24;
  ResizePlanes(svRowCount_, colCount_);
  horzTabs_.assign(size_t(colCount_), false);
  vertTabs_.assign(size_t(rowCount_), false);
  SetDefaultTabs();
  SetRegionToScreen();
  curRow_ = ScreenTop();
  curCol_ = 0;
  InvalidateScreen();
  CursorChanged();
}

TQxTerminalBuffer::~TQxTerminalBuffer() { DiscardInvalid(); }

void TQxTerminalBuffer::ResizePlanes(int rows, int cols) {
  ++planesVersion_;
  for (TqxTerminalArray* a : {&chars_, &charSets_, &attrPlane_, &forePlane_, &backPlane_}) {
    a->SetRowCount(rows);
    a->SetColCount(cols);
  }
}

void TQxTerminalBuffer::SetDefaultTabs() {
  std::fill(horzTabs_.begin(), horzTabs_.end(), false);
  std::fill(vertTabs_.begin(), vertTabs_.end(), false);
  for (int c = 0; c < colCount_; c += 8) horzTabs_[size_t(c)] = true;
}

void TQxTerminalBuffer::SetRegionToScreen() {
  regionLeft_ = 0;
  regionWidth_ = colCount_;
  regionTop_ = ScreenTop();
  regionHeight_ = rowCount_;
}

void TQxTerminalBuffer::ApplyRegion() {
  regionLeft_ = 0;
  regionWidth_ = colCount_;
  if (regionActive_) {
    regionTop_ = scrollTop_;
    regionHeight_ = scrollBottom_ - scrollTop_ + 1;
  } else {
    regionTop_ = ScreenTop();
    regionHeight_ = rowCount_;
  }
}

void TQxTerminalBuffer::CursorChanged() {
  cursorMoved_ = true;
  if (OnCursorMoved) OnCursorMoved(this, Row(), Col());
}

// --- sizes -----------------------------------------------------------------

void TQxTerminalBuffer::SetColCount(int n) {
  if (n == colCount_) return;
  if (n < 2) throw ETerminalError("TQxTerminalBuffer.tbSetColCount: new count too small");
  colCount_ = n;
  horzTabs_.resize(size_t(n), false);
  ResizePlanes(svRowCount_, n);
  regionWidth_ = n;
  InvalidateScreen();
  pendingWrap_ = false;
  if (regionActive_) {
    SetScrollRegionActive(false);
  } else {
    curRow_ = ScreenTop();
    curCol_ = 0;
    CursorChanged();
  }
}

void TQxTerminalBuffer::SetRowCount(int n) {
  if (n == rowCount_ || n > svRowCount_) return;
  if (n < 2) throw ETerminalError("TQxTerminalBuffer.tbSetRowCount: new count too small");
  SetScrollRegionActive(false);
  rowCount_ = n;
  vertTabs_.assign(size_t(n), false);
  SetRegionToScreen();
  historyLines_ = std::min(historyLines_, svRowCount_ - rowCount_);
  pendingWrap_ = false;
  if (curRow_ < ScreenTop()) {
    curRow_ = ScreenTop();
    CursorChanged();
  }
}

void TQxTerminalBuffer::SetSVRowCount(int n) {
  if (n == svRowCount_) return;
  if (n < 2) throw ETerminalError("TQxTerminalBuffer.tbSetSVRowCount: new count too small");
  // An active region would keep rows that may no longer exist: switch it off.
  SetScrollRegionActive(false);
  if (n < rowCount_) {
    rowCount_ = n;
    vertTabs_.assign(size_t(n), false);
  }
  const int diff = n - svRowCount_;
  ResizePlanes(n, colCount_);
  svRowCount_ = n;
  curRow_ = std::clamp(curRow_ + diff, 0, n - 1);
  historyLines_ = std::min(historyLines_, svRowCount_ - rowCount_);
  pendingWrap_ = false;
  ApplyRegion();
  DiscardInvalid();
  InvalidateScreen();
  CursorChanged();
}

// --- coordinates -------------------------------------------------------------

int TQxTerminalBuffer::InternalRow(int r) const {
  return AbsoluteAddressing ? r + svRowCount_ - rowCount_ - 1 : r + regionTop_ - 1;
}

int TQxTerminalBuffer::InternalCol(int c) const { return AbsoluteAddressing ? c - 1 : c + regionLeft_ - 1; }

int TQxTerminalBuffer::Row() const {
  return AbsoluteAddressing ? curRow_ + rowCount_ - svRowCount_ + 1 : curRow_ - regionTop_ + 1;
}

int TQxTerminalBuffer::Col() const { return AbsoluteAddressing ? curCol_ + 1 : curCol_ - regionLeft_ + 1; }

// --- cursor ------------------------------------------------------------------

void TQxTerminalBuffer::SetCursorPosition(int row, int col) {
  SetRow(row);
  SetCol(col);
}

void TQxTerminalBuffer::SetRow(int r) {
  pendingWrap_ = false;
  curRow_ = std::clamp(InternalRow(r), 0, svRowCount_ - 1);
  CursorChanged();
}

void TQxTerminalBuffer::SetCol(int c) {
  pendingWrap_ = false;
  curCol_ = std::clamp(InternalCol(c), 0, colCount_ - 1);
  CursorChanged();
}

void TQxTerminalBuffer::ScrollUpForCursor() {
  if (regionActive_) {
    ScrollPlanes(1, regionTop_, RegionBottom());
    InvalidateRows(regionTop_, RegionBottom());
  } else {
    ScrollPlanes(1, 0, RegionBottom());
    if (historyLines_ < svRowCount_ - rowCount_) ++historyLines_;
    // The history moved too; a view scrolled back into it must be redrawn.
    InvalidateRows(0, RegionBottom());
  }
}

void TQxTerminalBuffer::MoveCursorRight(bool wrap, bool scroll) {
  pendingWrap_ = false;
  if (curCol_ < RegionRight()) {
    ++curCol_;
  } else if (!wrap) {
    return;
  } else if (curRow_ != RegionBottom()) {
    if (curRow_ >= svRowCount_ - 1) return;  // below the region, on the last row
    ++curRow_;
    curCol_ = regionLeft_;
  } else {
    if (!scroll) return;
    ScrollUpForCursor();
    curCol_ = regionLeft_;
  }
  CursorChanged();
}

void TQxTerminalBuffer::MoveCursorLeft(bool wrap, bool scroll) {
  pendingWrap_ = false;
  if (curCol_ > regionLeft_) {
    --curCol_;
  } else if (!wrap) {
    return;
  } else if (curRow_ != regionTop_) {
    if (curRow_ <= 0) return;
    --curRow_;
    curCol_ = RegionRight();
  } else {
    if (!scroll) return;
    ScrollPlanes(-1, regionTop_, RegionBottom());
    InvalidateRows(regionTop_, RegionBottom());
    curCol_ = RegionRight();
  }
  CursorChanged();
}

void TQxTerminalBuffer::MoveCursorDown(bool scroll) {
  pendingWrap_ = false;
  if (curRow_ != RegionBottom()) {
    if (curRow_ >= svRowCount_ - 1) return;
    ++curRow_;
    CursorChanged();
  } else if (scroll) {
    ScrollUpForCursor();
  }
}

void TQxTerminalBuffer::MoveCursorUp(bool scroll) {
  pendingWrap_ = false;
  if (curRow_ != regionTop_) {
    // Above an active region the screen's top row is the limit, as it is
    // without one; only a cursor put into the history moves on up there.
    if (curRow_ <= 0 || curRow_ == ScreenTop()) return;
    --curRow_;
    CursorChanged();
  } else if (scroll) {
    ScrollPlanes(-1, regionTop_, RegionBottom());
    InvalidateRows(regionTop_, RegionBottom());
  }
}

void TQxTerminalBuffer::CarriageReturn() {
  pendingWrap_ = false;
  if (curCol_ == regionLeft_) return;
  curCol_ = regionLeft_;
  CursorChanged();
}

void TQxTerminalBuffer::LineFeed() {
  if (NewLineMode) CarriageReturn();
  MoveCursorDown(true);
}

void TQxTerminalBuffer::Backspace() {
  pendingWrap_ = false;
  if (curCol_ > regionLeft_) {
    --curCol_;
    CursorChanged();
  }
}

void TQxTerminalBuffer::HorzTab() {
  pendingWrap_ = false;
  int c = curCol_ + 1;
  while (c < RegionRight() && !horzTabs_[size_t(c)]) ++c;
  c = std::min(c, RegionRight());
  if (c != curCol_) {
    curCol_ = c;
    CursorChanged();
  }
}

void TQxTerminalBuffer::VertTab() {
  pendingWrap_ = false;
  int r = curRow_ + 1;
  while (r < RegionBottom()) {
    const int s = r - ScreenTop();
    if (s >= 0 && s < rowCount_ && vertTabs_[size_t(s)]) break;
    ++r;
  }
  r = std::min(r, RegionBottom());
  if (r > curRow_) {
    curRow_ = r;
    CursorChanged();
  }
}

// --- writing -------------------------------------------------------------------

void TQxTerminalBuffer::WriteChar(uint16_t ch) {
  if (pendingWrap_) MoveCursorRight(AutoWrap, true);
  const int row = curRow_;
  const int col = curCol_;
  if (InsertMode) {
    for (TqxTerminalArray* a : {&chars_, &charSets_, &attrPlane_, &forePlane_, &backPlane_})
      a->InsertItems(1, row, col);
    Invalidate(col, row, RegionRight(), row);
  }
  // The cursor row's five row addresses are kept until the row or the
  // planes' layout changes. Everything is read before the first store: byte
  // stores may alias anything, so loads after them would be repeated.
  if (row != cachedRow_ || planesVersion_ != cachedVersion_) {
    cachedRow_ = row;
    cachedVersion_ = planesVersion_;
    rowCache_[0] = chars_.RowPtr(row);
    rowCache_[1] = charSets_.RowPtr(row);
    rowCache_[2] = attrPlane_.RowPtr(row);
    rowCache_[3] = forePlane_.RowPtr(row);
    rowCache_[4] = backPlane_.RowPtr(row);
  }
  uint8_t* const chars = rowCache_[0];
  uint8_t* const sets = rowCache_[1];
  uint8_t* const attrs = rowCache_[2];
  uint8_t* const fores = rowCache_[3];
  uint8_t* const backs = rowCache_[4];
  const uint8_t charSet = charSet_;
  const uint8_t attr = attrs_;
  const uint32_t fore = fore_;
  const uint32_t back = back_;
  const int extRow = row - ScreenTop() + 1;
  const int right = RegionRight();
  const bool delayed = DelayedWrap;
  if (wide_) {
    std::memcpy(chars + size_t(col) * 2, &ch, 2);
  } else {
    chars[col] = uint8_t(ch);
  }
  sets[col] = charSet;
  attrs[col] = attr;
  std::memcpy(fores + size_t(col) * 4, &fore, 4);
  std::memcpy(backs + size_t(col) * 4, &back, 4);

  const int extCol = col + 1;
  if (!invalidAny_) {
    invalid_ = {extCol, extRow, extCol, extRow};
    invalidAny_ = true;
  } else {
    invalid_.Left = std::min(invalid_.Left, extCol);
    invalid_.Top = std::min(invalid_.Top, extRow);
    invalid_.Right = std::max(invalid_.Right, extCol);
    invalid_.Bottom = std::max(invalid_.Bottom, extRow);
  }

  if (col == right && delayed) {
    pendingWrap_ = true;
  } else if (col < right) {
    curCol_ = col + 1;
    CursorChanged();
  } else {
    MoveCursorRight(AutoWrap, true);
  }
}

size_t TQxTerminalBuffer::WriteRun(const uint8_t* text, size_t n) {
  if (pendingWrap_ || InsertMode || wide_) return 0;
  const int row = curRow_;
  const int col = curCol_;
  const int right = RegionRight();
  if (col >= right) return 0;
  const size_t k = std::min(n, size_t(right - col));
  if (k == 0) return 0;
  if (row != cachedRow_ || planesVersion_ != cachedVersion_) {
    cachedRow_ = row;
    cachedVersion_ = planesVersion_;
    rowCache_[0] = chars_.RowPtr(row);
    rowCache_[1] = charSets_.RowPtr(row);
    rowCache_[2] = attrPlane_.RowPtr(row);
    rowCache_[3] = forePlane_.RowPtr(row);
    rowCache_[4] = backPlane_.RowPtr(row);
  }
  uint8_t* const fores = rowCache_[3] + size_t(col) * 4;
  uint8_t* const backs = rowCache_[4] + size_t(col) * 4;
  const uint32_t fore = fore_;
  const uint32_t back = back_;
  std::memcpy(rowCache_[0] + col, text, k);
  std::memset(rowCache_[1] + col, charSet_, k);
  std::memset(rowCache_[2] + col, attrs_, k);
  // Colours two cells a store.
  const uint64_t fore2 = uint64_t(fore) * 0x100000001ull;
  const uint64_t back2 = uint64_t(back) * 0x100000001ull;
  size_t i = 0;
  for (; i + 2 <= k; i += 2) {
    std::memcpy(fores + i * 4, &fore2, 8);
    std::memcpy(backs + i * 4, &back2, 8);
  }
  if (i < k) {
    std::memcpy(fores + i * 4, &fore, 4);
    std::memcpy(backs + i * 4, &back, 4);
  }
  const int extRow = row - ScreenTop() + 1;
  const int first = col + 1;
  const int last = col + int(k);
  if (!invalidAny_) {
    invalid_ = {first, extRow, last, extRow};
    invalidAny_ = true;
  } else {
    invalid_.Left = std::min(invalid_.Left, first);
    invalid_.Top = std::min(invalid_.Top, extRow);
    invalid_.Right = std::max(invalid_.Right, last);
    invalid_.Bottom = std::max(invalid_.Bottom, extRow);
  }
  curCol_ = col + int(k);
  CursorChanged();
  return k;
}

// --- erasing -------------------------------------------------------------------

void TQxTerminalBuffer::ClearCells(int row, int firstCol, int lastCol) {
  // The planes all have the buffer's rows and columns: one range check, and
  // the fills done here in place of five ClearItems calls.
  const int first = std::max(firstCol, 0);
  const int last = std::min(lastCol, colCount_ - 1);
  if (row >= 0 && row < svRowCount_ && first <= last) {
    const size_t n = size_t(last - first + 1);
    if (wide_) {
      chars_.ClearItems(row, first, last);
    } else {
      std::memset(chars_.RowPtr(row) + first, int(chars_.DefaultItem() & 0xFF), n);
    }
    std::memset(charSets_.RowPtr(row) + first, int(charSets_.DefaultItem() & 0xFF), n);
    std::memset(attrPlane_.RowPtr(row) + first, int(attrPlane_.DefaultItem() & 0xFF), n);
    uint8_t* const fores = forePlane_.RowPtr(row) + size_t(first) * 4;
    uint8_t* const backs = backPlane_.RowPtr(row) + size_t(first) * 4;
    const uint32_t fore = forePlane_.DefaultItem();
    const uint32_t back = backPlane_.DefaultItem();
    const uint64_t fore2 = uint64_t(fore) * 0x100000001ull;
    const uint64_t back2 = uint64_t(back) * 0x100000001ull;
    size_t i = 0;
    for (; i + 2 <= n; i += 2) {
      std::memcpy(fores + i * 4, &fore2, 8);
      std::memcpy(backs + i * 4, &back2, 8);
    }
    if (i < n) {
      std::memcpy(fores + i * 4, &fore, 4);
      std::memcpy(backs + i * 4, &back, 4);
    }
  }
  Invalidate(first, row, last, row);
}

void TQxTerminalBuffer::EraseChars(int n) {
  pendingWrap_ = false;
  int row = curRow_;
  int col = curCol_;
  while (n > 0 && row <= std::max(RegionBottom(), curRow_)) {
    const int last = std::min(colCount_ - 1, col + n - 1);
    ClearCells(row, col, last);
    n -= last - col + 1;
    col = 0;
    ++row;
  }
}

void TQxTerminalBuffer::EraseToEOL() {
  pendingWrap_ = false;
  ClearCells(curRow_, curCol_, RegionRight());
}

void TQxTerminalBuffer::EraseToBOL() {
  pendingWrap_ = false;
  ClearCells(curRow_, regionLeft_, curCol_);
}

void TQxTerminalBuffer::EraseLine() {
  pendingWrap_ = false;
  ClearCells(curRow_, regionLeft_, RegionRight());
}

void TQxTerminalBuffer::EraseToEOW() {
  pendingWrap_ = false;
  ClearCells(curRow_, curCol_, colCount_ - 1);
  const int first = curRow_ + 1;
  const int last = svRowCount_ - 1;
  if (first <= last) {
    ScrollPlanes(last - first + 1, first, last);
    InvalidateRows(first, last);
  }
}

void TQxTerminalBuffer::EraseToBOW() {
  pendingWrap_ = false;
  ClearCells(curRow_, 0, curCol_);
  const int first = ScreenTop();
  const int last = curRow_ - 1;
  if (first <= last) {
    ScrollPlanes(last - first + 1, first, last);
    InvalidateRows(first, last);
  }
}

void TQxTerminalBuffer::EraseScreen() {
  pendingWrap_ = false;
  ScrollPlanes(rowCount_, 0, svRowCount_ - 1);
  historyLines_ = std::min(historyLines_ + rowCount_, svRowCount_ - rowCount_);
  InvalidateRows(0, svRowCount_ - 1);
}

void TQxTerminalBuffer::ClearAll() {
  for (TqxTerminalArray* a : {&chars_, &charSets_, &attrPlane_, &forePlane_, &backPlane_}) a->Clear();
  historyLines_ = 0;
  SetCursorPosition(1, 1);
  InvalidateScreen();
}

// --- editing -------------------------------------------------------------------

void TQxTerminalBuffer::InsertChars(int n) {
  pendingWrap_ = false;
  n = std::min(n, RegionRight() - curCol_ + 1);
  if (n <= 0) return;
  for (TqxTerminalArray* a : {&chars_, &charSets_, &attrPlane_, &forePlane_, &backPlane_})
    a->InsertItems(n, curRow_, curCol_);
  // Everything right of the cursor moved, not only the n new cells.
  Invalidate(curCol_, curRow_, RegionRight(), curRow_);
}

void TQxTerminalBuffer::DeleteChars(int n) {
  pendingWrap_ = false;
  n = std::min(n, RegionRight() - curCol_ + 1);
  if (n <= 0) return;
  for (TqxTerminalArray* a : {&chars_, &charSets_, &attrPlane_, &forePlane_, &backPlane_})
    a->DeleteItems(n, curRow_, curCol_);
  Invalidate(curCol_, curRow_, RegionRight(), curRow_);
}

void TQxTerminalBuffer::InsertLines(int n) {
  pendingWrap_ = false;
  // Outside the region there is nothing to push down.
  if (n <= 0 || curRow_ < regionTop_ || curRow_ > RegionBottom()) return;
  ScrollPlanes(-n, curRow_, RegionBottom());
  InvalidateRows(curRow_, RegionBottom());
}

void TQxTerminalBuffer::DeleteLines(int n) {
  pendingWrap_ = false;
  if (n <= 0 || curRow_ < regionTop_ || curRow_ > RegionBottom()) return;
  ScrollPlanes(n, curRow_, RegionBottom());
  InvalidateRows(curRow_, RegionBottom());
}

void TQxTerminalBuffer::ScrollPlanes(int count, int top, int bottom) {
  ++planesVersion_;
  for (TqxTerminalArray* a : {&chars_, &charSets_, &attrPlane_, &forePlane_, &backPlane_})
    a->ScrollRows(count, top, bottom);
  if (OnRowsScrolled) OnRowsScrolled(this, count, top - ScreenTop() + 1, bottom - ScreenTop() + 1);
}

// --- region and tabs -------------------------------------------------------------

void TQxTerminalBuffer::SetScrollRegion(int top, int bottom) {
  if (top > bottom) std::swap(top, bottom);
  // Rows outside the screen would let scrolls reach past the buffer.
  top = std::clamp(top, 1, rowCount_);
  bottom = std::clamp(bottom, 1, rowCount_);
  scrollTop_ = AbsoluteRow(top);
  scrollBottom_ = AbsoluteRow(bottom);
  if (regionActive_) SetScrollRegionActive(false);
  if (!(top == 1 && bottom == rowCount_)) SetScrollRegionActive(true);
}

void TQxTerminalBuffer::SetScrollRegionActive(bool on) {
  if (on == regionActive_) return;
  regionActive_ = on;
  ApplyRegion();
  pendingWrap_ = false;
  curRow_ = regionTop_;
  curCol_ = regionLeft_;
  CursorChanged();
}

void TQxTerminalBuffer::SetHorzTab() { horzTabs_[size_t(curCol_)] = true; }
void TQxTerminalBuffer::ClearHorzTab() { horzTabs_[size_t(curCol_)] = false; }
void TQxTerminalBuffer::ClearAllHorzTabs() { std::fill(horzTabs_.begin(), horzTabs_.end(), false); }
void TQxTerminalBuffer::ClearAllVertTabs() { std::fill(vertTabs_.begin(), vertTabs_.end(), false); }

bool TQxTerminalBuffer::HorzTabAt(int col) const {
  return col >= 1 && col <= colCount_ && horzTabs_[size_t(col - 1)];
}

// --- attributes and colours --------------------------------------------------------

void TQxTerminalBuffer::SetCharAttrs(uint8_t a) {
  attrs_ = a;
  attrPlane_.SetDefaultItem(a);
}

void TQxTerminalBuffer::SetForeColor(uint32_t c) {
  fore_ = c;
  forePlane_.SetDefaultItem(c);
}

void TQxTerminalBuffer::SetBackColor(uint32_t c) {
  back_ = c;
  backPlane_.SetDefaultItem(c);
}

void TQxTerminalBuffer::SetCharSet(uint8_t s) {
  charSet_ = s;
  charSets_.SetDefaultItem(s);
}

void TQxTerminalBuffer::SetDefForeColor(uint32_t c) {
  if (c == defFore_) return;
  forePlane_.ReplaceItems(defFore_, c);
  defFore_ = c;
}

void TQxTerminalBuffer::SetDefBackColor(uint32_t c) {
  if (c == defBack_) return;
  backPlane_.ReplaceItems(defBack_, c);
  defBack_ = c;
}

void TQxTerminalBuffer::SetDefChar(uint16_t ch) {
  defChar_ = wide_ ? ch : uint16_t(ch & 0xFF);
  chars_.SetDefaultItem(defChar_);
}

void TQxTerminalBuffer::Reset() {
  SetCharAttrs(defAttrs_);
  SetForeColor(defFore_);
  SetBackColor(defBack_);
  SetCharSet(defCharSet_);
  chars_.SetDefaultItem(defChar_);
  for (TqxTerminalArray* a : {&chars_, &charSets_, &attrPlane_, &forePlane_, &backPlane_}) a->Clear();
  SetDefaultTabs();
  AbsoluteAddressing = true;
  AutoWrap = true;
  DelayedWrap = true;
  InsertMode = false;
  NewLineMode = false;
  SetScrollRegionActive(false);
  historyLines_ = 0;
  SetCursorPosition(1, 1);
  InvalidateScreen();
}

// --- reading back -------------------------------------------------------------------

uint8_t* TQxTerminalBuffer::GetLineChars(int row) {
  return static_cast<uint8_t*>(chars_.GetItemPtr(AbsoluteRow(row), 0));
}
uint8_t* TQxTerminalBuffer::GetLineCharSets(int row) {
  return static_cast<uint8_t*>(charSets_.GetItemPtr(AbsoluteRow(row), 0));
}
uint8_t* TQxTerminalBuffer::GetLineAttrs(int row) {
  return static_cast<uint8_t*>(attrPlane_.GetItemPtr(AbsoluteRow(row), 0));
}
uint32_t* TQxTerminalBuffer::GetLineForeColors(int row) {
  return static_cast<uint32_t*>(forePlane_.GetItemPtr(AbsoluteRow(row), 0));
}
uint32_t* TQxTerminalBuffer::GetLineBackColors(int row) {
  return static_cast<uint32_t*>(backPlane_.GetItemPtr(AbsoluteRow(row), 0));
}

bool TQxTerminalBuffer::HasCursorMoved() {
  const bool moved = cursorMoved_;
  cursorMoved_ = false;
  return moved;
}

// --- invalid rectangles --------------------------------------------------------------

void TQxTerminalBuffer::Invalidate(int left, int top, int right, int bottom) {
  const int base = ScreenTop() - 1;
  top -= base;
  bottom -= base;
  ++left;
  ++right;
  if (!invalidAny_) {
    invalid_ = {left, top, right, bottom};
    invalidAny_ = true;
    return;
  }
  invalid_.Left = std::min(invalid_.Left, left);
  invalid_.Top = std::min(invalid_.Top, top);
  invalid_.Right = std::max(invalid_.Right, right);
  invalid_.Bottom = std::max(invalid_.Bottom, bottom);
}

void TQxTerminalBuffer::InvalidateScreen() { InvalidateRows(ScreenTop(), svRowCount_ - 1); }

void TQxTerminalBuffer::DiscardInvalid() { invalidAny_ = false; }

bool TQxTerminalBuffer::GetInvalidRect(TQxRect& rect) {
  if (!invalidAny_) return false;
  rect = invalid_;
  invalidAny_ = false;
  return true;
}

}  // namespace zav
