#include "terminal/QXTrmEmu.h"

#include <algorithm>
#include <cstring>

namespace zav {

// ---------------------------------------------------------------------------
// Terminal-emulator links: a plain list with recycled entries.

namespace {

struct LinkEntry {
  LinkEntry* Next;
  ITerminalHost* Terminal;
  TQxTerminalEmulator* Emulator;
};

struct LinkList {
  LinkEntry* head = nullptr;
  LinkEntry* free = nullptr;
};

LinkList& Links() {
  static LinkList* list = new LinkList;  // outlives components in static storage
  return *list;
}

LinkEntry* FindLink(ITerminalHost* terminal, LinkEntry** prev) {
  LinkEntry* p = nullptr;
  for (LinkEntry* e = Links().head; e; p = e, e = e->Next) {
    if (e->Terminal == terminal) {
      if (prev) *prev = p;
      return e;
    }
  }
  return nullptr;
}

}  // namespace

void LinkTerminal(ITerminalHost* terminal, TQxTerminalEmulator* emulator) {
  if (!terminal || FindLink(terminal, nullptr)) return;
  LinkList& l = Links();
  LinkEntry* e = l.free;
  if (e) {
    l.free = e->Next;
  } else {
    e = new LinkEntry;
  }
  *e = {l.head, terminal, emulator};
  l.head = e;
  terminal->SetEmulator(emulator);
  if (emulator) emulator->SetTerminal(terminal);
}

void UnlinkTerminal(ITerminalHost* terminal, bool notify) {
  LinkEntry* prev = nullptr;
  LinkEntry* e = FindLink(terminal, &prev);
  if (!e) return;
  LinkList& l = Links();
  (prev ? prev->Next : l.head) = e->Next;
  TQxTerminalEmulator* emulator = e->Emulator;
  e->Next = l.free;
  l.free = e;
  if (notify && emulator) {
    terminal->SetEmulator(nullptr);
    emulator->SetTerminal(nullptr);
  }
}

TQxTerminalEmulator* LinkedEmulator(ITerminalHost* terminal) {
  LinkEntry* e = FindLink(terminal, nullptr);
  return e ? e->Emulator : nullptr;
}

// ---------------------------------------------------------------------------
// TQxTerminalEmulator

TQxTerminalEmulator::TQxTerminalEmulator(TComponent* owner, std::unique_ptr<TQxTerminalBuffer> buffer)
    : TComponent(owner), buffer_(std::move(buffer)) {
  buffer_->OnCursorMoved = [this](TQxTerminalBuffer* sender, int row, int col) {
    CursorMovedForwarder(sender, row, col);
  };
}

TQxTerminalEmulator::~TQxTerminalEmulator() {
  AnnounceRemoval();
  if (terminal_ && !internal_) {
    ITerminalHost* t = terminal_;
    terminal_ = nullptr;
    UnlinkTerminal(t, true);
  }
  buffer_->OnCursorMoved = nullptr;
}

void TQxTerminalEmulator::CursorMovedForwarder(TQxTerminalBuffer* sender, int row, int col) {
  if (terminal_) terminal_->CursorMoved(sender, row, col);
}

bool TQxTerminalEmulator::NeedsUpdate() {
  // Both flags are read so that a cursor move already covered by a pending
  // rectangle does not cause a second, empty paint.
  const bool invalid = buffer_->HasInvalidRect();
  const bool moved = buffer_->HasCursorMoved();
  return invalid || moved;
}

void TQxTerminalEmulator::SetTerminal(ITerminalHost* terminal) {
  if (terminal == terminal_) return;
  if (terminal_ && !internal_) {
    ITerminalHost* old = terminal_;
    terminal_ = nullptr;
    UnlinkTerminal(old, true);
  }
  terminal_ = terminal;
  if (!terminal || internal_) return;
  TQxTerminalEmulator* current = terminal->Emulator();
  if (current && current != this) UnlinkTerminal(terminal, true);
  LinkTerminal(terminal, this);
}

void TQxTerminalEmulator::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  auto* host = dynamic_cast<ITerminalHost*>(component);
  if (!host) return;
  if (operation == TOperation::opRemove && host == terminal_) {
    terminal_ = nullptr;
    if (!internal_) UnlinkTerminal(host, false);
  } else if (operation == TOperation::opInsert && !terminal_) {
    SetTerminal(host);
  }
}

void TQxTerminalEmulator::SendChar(uint8_t ch, bool echo) {
  if (!terminal_) return;
  if (echo && terminal_->HalfDuplex()) ProcessBlock(&ch, 1);
  if (terminal_ && terminal_->PortOpen()) terminal_->PortSend(&ch, 1);
}

// ---------------------------------------------------------------------------
// TQxTTYEmulator

TQxTTYEmulator::TQxTTYEmulator(TComponent* owner)
    : TQxTerminalEmulator(owner, std::make_unique<TQxTerminalBuffer>(false)) {}

bool TQxTTYEmulator::NeedsUpdate() {
  const bool base = TQxTerminalEmulator::NeedsUpdate();
  return repaintAll_ || base;
}

void TQxTTYEmulator::KeyPress(uint8_t& ch) {
  if (ch == 0x08) ch = 0x7F;
  SendChar(ch, true);
}

void TQxTTYEmulator::ProcessBlock(const uint8_t* data, size_t length) {
  TQxTerminalBuffer& buf = Buffer();
  for (size_t i = 0; i < length; ++i) {
    const uint8_t b = data[i];
    if (b >= 0x20) {
      // A run of printable bytes goes in one piece as far as the row allows.
      size_t end = i + 1;
      const size_t limit = std::min(length, i + 256);  // a bounded look; the rest comes next turn
      while (end < limit && data[end] >= 0x20) ++end;
      const size_t done = buf.WriteRun(data + i, end - i);
      if (done > 0) {
        i += done - 1;
        continue;
      }
      buf.WriteChar(b);
      continue;
    }
    switch (b) {
      case 0x07:
        if (Terminal()) Terminal()->Beep();
        break;
      case 0x08:
        buf.Backspace();
        break;
      case 0x09:
        buf.HorzTab();
        break;
      case 0x0A:
        buf.LineFeed();
        break;
      case 0x0D:
        buf.CarriageReturn();
        break;
      default:
        break;
    }
  }
}

void TQxTTYEmulator::ColorFollowUp() {
  ITerminalHost* t = Terminal();
  if (!t) return;
  TQxTerminalBuffer& buf = Buffer();
  const uint32_t back = t->Color();
  const uint32_t fore = t->Font().Color;
  if (back == buf.BackColor() && fore == buf.ForeColor()) return;
  buf.SetDefBackColor(back);
  buf.SetDefForeColor(fore);
  buf.SetBackColor(back);
  buf.SetForeColor(fore);
  repaintAll_ = true;
}

void TQxTTYEmulator::LazyPaint() {
  ColorFollowUp();
  TQxTerminalBuffer& buf = Buffer();
  TQxRect r;
  if (repaintAll_) {
    repaintAll_ = false;
    for (int row = 1; row <= buf.RowCount(); ++row) DrawRowSegment(row, 1, buf.ColCount());
    while (buf.GetInvalidRect(r)) {
    }
    return;
  }
  while (buf.GetInvalidRect(r)) {
    for (int row = r.Top; row <= r.Bottom; ++row) DrawRowSegment(row, r.Left, r.Right);
  }
}

bool TQxTerminalEmulator::ClipToCells(int& r1, int& r2, int& c1, int& c2) {
  ITerminalHost* t = Terminal();
  if (!t || !t->Canvas()) return false;
  const int cw = t->CellWidth();
  const int ch = t->CellHeight();
  if (cw <= 0 || ch <= 0) return false;
  const TQxRect clip = t->Canvas()->ClipRect();
  if (clip.Right <= clip.Left || clip.Bottom <= clip.Top) return false;
  c1 = clip.Left / cw + t->ViewCol();
  c2 = t->ViewCol() + (clip.Right - 1) / cw;
  r1 = clip.Top / ch + t->ViewRow();
  r2 = t->ViewRow() + (clip.Bottom - 1) / ch;
  return true;
}

void TQxTTYEmulator::Paint() {
  ColorFollowUp();
  int r1, r2, c1, c2;
  if (!ClipToCells(r1, r2, c1, c2)) return;
  for (int row = r1; row <= r2; ++row) DrawRowSegment(row, c1, c2);
}

namespace {

uint32_t Brighten(uint32_t c) {
  uint32_t out = 0;
  for (int shift = 0; shift < 24; shift += 8) {
    const uint32_t v = std::min<uint32_t>(((c >> shift) & 0xFF) + 128, 255);
    out |= v << shift;
  }
  return out;
}

}  // namespace

void TQxTTYEmulator::DrawRowSegment(int r, int c1, int c2) {
  ITerminalHost* t = Terminal();
  if (!t) return;
  TQxCanvas* canvas = t->Canvas();
  if (!canvas) return;
  TQxTerminalBuffer& buf = Buffer();
  const int viewRow = t->ViewRow();
  const int viewCol = t->ViewCol();
  const int visRows = t->VisibleRows();
  const int visCols = t->VisibleCols();
  const int cw = t->CellWidth();
  const int chh = t->CellHeight();
  if (r < viewRow || r > viewRow + visRows - 1) return;
  if (c2 < viewCol || c1 >= viewCol + visCols) return;
  // The last visible column is view column + visible columns - 1; never read
  // past the row either.
  c1 = std::max(c1, std::max(viewCol, 1));
  c2 = std::min({c2, viewCol + visCols - 1, buf.ColCount()});
  if (c1 > c2) return;
  const uint8_t* chars = buf.GetLineChars(r);
  const uint8_t* attrs = buf.GetLineAttrs(r);
  const uint32_t* fores = buf.GetLineForeColors(r);
  const uint32_t* backs = buf.GetLineBackColors(r);
  if (!chars || !attrs || !fores || !backs) return;

  runs_.clear();
  for (int c = c1; c <= c2; ++c) {
    const int i = c - 1;
    if (!runs_.empty()) {
      Run& last = runs_.back();
      if (last.Attrs == attrs[i] && last.Fore == fores[i] && last.Back == backs[i]) {
        last.Last = c;
        continue;
      }
    }
    runs_.push_back({c, c, fores[i], backs[i], attrs[i]});
  }

  const size_t cols = size_t(buf.ColCount());
  if (advances_.size() < cols) advances_.resize(cols);
  std::fill(advances_.begin(), advances_.begin() + long(cols), cw);
  if (scratch_.size() < cols + 1) scratch_.resize(cols + 1);

  TQxFont font = t->Font();
  for (const Run& run : runs_) {
    uint32_t fore = run.Fore;
    uint32_t back = run.Back;
    const bool reverse = (run.Attrs & kAttrReverse) != 0;
    const bool selected = (run.Attrs & kAttrSelected) != 0;
    const bool swapped = reverse != selected;
    if (swapped) std::swap(fore, back);
    if (run.Attrs & kAttrInvisible) {
      fore = back;
    } else if (run.Attrs & kAttrBold) {
      // Brighten whichever colour now holds the cell's foreground.
      if (swapped) {
        back = Brighten(back);
      } else {
        fore = Brighten(fore);
      }
    }
    const int len = run.Last - run.First + 1;
    std::memcpy(scratch_.data(), chars + (run.First - 1), size_t(len));
    scratch_[size_t(len)] = 0;
    const int x = (run.First - viewCol) * cw;
    const int y = (r - viewRow) * chh;
    const TQxRect rect{x, y, x + len * cw, y + chh};
    font.Color = fore;
    canvas->TextRun(rect, x, y, font, back, scratch_.data(), len, advances_.data());
    if (run.Attrs & kAttrUnderline) canvas->Line(x, y + chh - 2, x + len * cw, y + chh - 2, fore);
    if (run.Attrs & kAttrStrike) canvas->Line(x, y + chh / 2, x + len * cw, y + chh / 2, fore);
  }
}

}  // namespace zav
