// The VT100 emulator: commands from the parser applied to the screen buffer,
// replies to the port, line attributes, blinking, the key map and the row
// painter with per-font sub-runs.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "terminal/QXTrmEmu.h"

namespace zav {

// The last column a line shows: half the columns on a double-width line.
static int HalfColumns(const TQxTerminalBuffer& buf, uint8_t lineAttr) {
  return lineAttr == kLineSingle ? buf.ColCount() : buf.ColCount() / 2;
}

// ---------------------------------------------------------------------------
// TQxLineAttrArray

TQxLineAttrArray::TQxLineAttrArray(TQxTerminalBuffer& buffer) : buffer_(buffer) { Fit(); }

void TQxLineAttrArray::Fit() {
  const size_t n = size_t(std::max(buffer_.SVRowCount(), 0));
  if (attrs_.size() == n) return;
  // Keep the newest (bottom) rows.
  std::vector<uint8_t> next(n, 0);
  const size_t keep = std::min(n, attrs_.size());
  std::copy(attrs_.end() - long(keep), attrs_.end(), next.end() - long(keep));
  attrs_.swap(next);
}

uint8_t TQxLineAttrArray::Get(int row) {
  Fit();
  const int i = Index(row);
  return (i < 0 || i >= int(attrs_.size())) ? 0 : attrs_[size_t(i)];
}

void TQxLineAttrArray::Set(int row, uint8_t value) {
  Fit();
  const int i = Index(row);
  if (i >= 0 && i < int(attrs_.size())) attrs_[size_t(i)] = value;
}

void TQxLineAttrArray::Clear() {
  Fit();
  std::fill(attrs_.begin(), attrs_.end(), 0);
}

void TQxLineAttrArray::RowsScrolled(int count, int top, int bottom) {
  Fit();
  if (count == 0 || attrs_.empty()) return;
  int a = std::clamp(Index(std::min(top, bottom)), 0, int(attrs_.size()) - 1);
  int b = std::clamp(Index(std::max(top, bottom)), 0, int(attrs_.size()) - 1);
  const int height = b - a + 1;
  uint8_t* p = attrs_.data();
  if (std::abs(count) >= height) {
    std::fill(p + a, p + b + 1, 0);
  } else if (count > 0) {
    std::memmove(p + a, p + a + count, size_t(height - count));
    std::fill(p + b - count + 1, p + b + 1, 0);
  } else {
    const int n = -count;
    std::memmove(p + a + n, p + a, size_t(height - n));
    std::fill(p + a, p + a + n, 0);
  }
}

// ---------------------------------------------------------------------------
// TQxVT100Emulator

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kCr = 0x0D;
constexpr uint8_t kLf = 0x0A;

// Bytes 0xB0-0xDA as line-drawing characters.
constexpr char kUpperLineDraw[] = "aaaxuuukkuxkjjjkmvwtqnttmlvwtqnvvwwmmllnnjl";
static_assert(sizeof(kUpperLineDraw) - 1 == 0xDA - 0xB0 + 1);

const char* const kCharSetNames[] = {"VT100-USASCII", "VT100-UK", "VT100-linedraw", "VT100-ROM1",
                                     "VT100-ROM2"};

constexpr uint32_t kColors[8] = {0x000000, 0x000080, 0x008000, 0x008080,
                                 0x800000, 0x800080, 0x808000, 0xC0C0C0};

uint32_t Brighten(uint32_t c) {
  uint32_t out = 0;
  for (int shift = 0; shift < 24; shift += 8)
    out |= std::min<uint32_t>(((c >> shift) & 0xFF) + 128, 255) << shift;
  return out;
}

int SpeedCode(int32_t baud) {
  switch (baud) {
    case 150: return 32;
    case 300: return 48;
    case 600: return 56;
    case 1200: return 64;
    case 2400: return 88;
    case 4800: return 104;
    case 9600: return 112;
    default: return 120;
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

TQxVT100Emulator::TQxVT100Emulator(TComponent* owner)
    : TQxTerminalEmulator(owner, std::make_unique<TQxTerminalBuffer>(false)), lineAttrs_(Buffer()) {
  keys_.LoadFromResource("QXVT100KeyMap");
  charSets_.LoadFromResource("QXVT100CharSet");
  Buffer().OnRowsScrolled = [this](TQxTerminalBuffer*, int count, int top, int bottom) {
    lineAttrs_.RowsScrolled(count, top, bottom);
  };
}

TQxVT100Emulator::~TQxVT100Emulator() { Buffer().OnRowsScrolled = nullptr; }

bool TQxVT100Emulator::NeedsUpdate() {
  const bool base = TQxTerminalEmulator::NeedsUpdate();
  return base || repaintAll_ || !dirtyRows_.empty();
}

void TQxVT100Emulator::SetTerminal(ITerminalHost* terminal) {
  TQxTerminalEmulator::SetTerminal(terminal);
  if (Terminal()) font_ = Terminal()->Font();
}

void TQxVT100Emulator::Reply(const std::string& text) {
  ITerminalHost* t = Terminal();
  if (!t || !t->PortOpen() || !t->IsPortTerminal()) return;
  t->PortSend(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void TQxVT100Emulator::SetColumns(int n) {
  ITerminalHost* t = Terminal();
  if (!t || !t->SetColumns(n)) Buffer().SetColCount(n);
}

void TQxVT100Emulator::ProcessBlock(const uint8_t* data, size_t length) {
  TQxTerminalBuffer& buf = Buffer();
  for (size_t i = 0; i < length; ++i) {
    const uint8_t b = data[i];
    if (b >= 0x20 && b <= 0x7E && parser_.Idle()) {
      // A run of plain characters goes into the row in one piece.
      size_t end = i + 1;
      const size_t limit = std::min(length, i + 256);
      while (end < limit && data[end] >= 0x20 && data[end] <= 0x7E) ++end;
      const size_t done = buf.WriteRun(data + i, end - i);
      if (done > 0) {
        parser_.AcceptChar(data[i + done - 1]);
        i += done - 1;
        continue;
      }
    }
    int result = -1;
    if (b == 0x1B && parser_.Idle()) {
      // A sequence that lies whole in this block is parsed in one go.
      size_t used = 0;
      result = parser_.ProcessSequenceAt(data + i, length - i, used);
      if (result >= 0) i += used - 1;
    }
    if (result < 0) result = parser_.ProcessChar(b);
    switch (result) {
      case kParseChar:
        buf.WriteChar(b);
        break;
      case kParseUpperChar:
        if (DisplayUpperASCII) {
          buf.WriteChar(b);
        } else if (b >= 0xB0 && b <= 0xDA) {
          const uint8_t keep = buf.CharSet();
          buf.SetCharSet(2);
          buf.WriteChar(uint8_t(kUpperLineDraw[b - 0xB0]));
          buf.SetCharSet(keep);
        }
        break;
      case kParseCommand:
        Execute();
        // After every command, whichever way Execute left it: the parser
        // decides the mode, and a command may have switched it.
        ansi_ = !parser_.VT52();
        break;
      default:
        break;
    }
  }
  if (buf.HasInvalidRect()) RebuildBlinks();
}

int DesignatedCharSet(int designator) {
  switch (designator) {
    case 0: return 2;   // "0" line drawing
    case 1: return 3;   // "1" alternate ROM
    case 2: return 4;   // "2" alternate ROM, graphics
    case 65: return 1;  // "A" United Kingdom
    case 66: return 0;  // "B" US ASCII
    default: return -1;
  }
}

void TQxVT100Emulator::ResetModes() {
  ansi_ = true;
  cursorKeyApp_ = keypadApp_ = false;
  autoRepeat_ = true;
  interlace_ = false;
  origin_ = false;
  if (screenReverse_) repaintAll_ = true;
  screenReverse_ = false;
  smoothScroll_ = false;
  shiftedOut_ = false;
  g0_ = g1_ = 0;
  TQxTerminalBuffer& buf = Buffer();
  buf.InsertMode = false;
  buf.NewLineMode = false;
  buf.AbsoluteAddressing = true;
  buf.AutoWrap = true;
  buf.SetCharSet(0);
  cols132_ = false;
  if (buf.ColCount() != 80) SetColumns(80);
  lineAttrs_.Clear();
}

void TQxVT100Emulator::SetPrivateMode(int mode, bool on) {
  TQxTerminalBuffer& buf = Buffer();
  switch (mode) {
    case 1: cursorKeyApp_ = on; break;
    case 2: ansi_ = on; break;
    case 3:
      cols132_ = on;
      SetColumns(on ? 132 : 80);
      break;
    case 4: smoothScroll_ = on; break;
    case 5:
      if (screenReverse_ != on) repaintAll_ = true;
      screenReverse_ = on;
      break;
    case 6:
      origin_ = on;
      buf.AbsoluteAddressing = !on;
      buf.SetCursorPosition(1, 1);  // home of the new addressing
      break;
    case 7: buf.AutoWrap = on; break;
    case 8: autoRepeat_ = on; break;
    case 9: interlace_ = on; break;
    case 999: keypadApp_ = on; break;
    default: break;
  }
}

void TQxVT100Emulator::Execute() {
  ITerminalHost* t = Terminal();
  if (t && t->PortOpen()) {
    parser_.GetSequence(seq_);
    t->PortLog(seq_);
  }
  TQxTerminalBuffer& buf = Buffer();
  const int n = parser_.ArgumentCount();
  auto arg = [this](int i) { return parser_.Argument(i); };
  char text[96];

  switch (parser_.Command()) {
    case kCmdCursorPosition:
      // 0 means the first row or column: the buffer would take it as a row
      // of the history above the screen.
      if (n == 2) buf.SetCursorPosition(std::max(arg(0), 1), std::max(arg(1), 1));
      break;
    case kCmdCursorUp:
    case kCmdCursorDown:
    case kCmdCursorRight:
    case kCmdCursorLeft: {
      if (n != 1) break;
      const int count = std::max(arg(0), 1);
      // Beyond the screen's size every further step is a no-op.
      const int limit = std::min(count, std::max(buf.RowCount(), buf.ColCount()));
      const uint8_t cmd = parser_.Command();
      for (int i = 0; i < limit; ++i) {
        if (cmd == kCmdCursorUp) buf.MoveCursorUp(false);
        else if (cmd == kCmdCursorDown) buf.MoveCursorDown(false);
        else if (cmd == kCmdCursorRight) buf.MoveCursorRight(false, false);
        else buf.MoveCursorLeft(false, false);
      }
      break;
    }
    case kCmdSetMode:
    case kCmdResetMode: {
      const bool on = parser_.Command() == kCmdSetMode;
      if (n == 1) {
        if (arg(0) == 4) buf.InsertMode = on;
        else if (arg(0) == 20) buf.NewLineMode = on;
      } else if (n == 2 && arg(0) == -2) {
        SetPrivateMode(arg(1), on);
      }
      break;
    }
    case kCmdGraphicRendition:
      for (int i = 0; i < n; ++i) {
        const int a = arg(i);
        uint8_t attrs = buf.CharAttrs();
        switch (a) {
          case -1:
          case 0:
            buf.SetCharAttrs(0);
            buf.SetForeColor(buf.DefForeColor());
            buf.SetBackColor(buf.DefBackColor());
            continue;
          case 1: attrs |= kAttrBold; break;
          case 4: attrs |= kAttrUnderline; break;
          case 5: attrs |= kAttrBlink; break;
          case 7: attrs |= kAttrReverse; break;
          case 8: attrs |= kAttrInvisible; break;
          case 22: attrs &= uint8_t(~kAttrBold); break;
          case 24: attrs &= uint8_t(~kAttrUnderline); break;
          case 25: attrs &= uint8_t(~kAttrBlink); break;
          case 27: attrs &= uint8_t(~kAttrReverse); break;
          case 28: attrs &= uint8_t(~kAttrInvisible); break;
          default:
            if (a >= 30 && a <= 37) buf.SetForeColor(kColors[a - 30]);
            else if (a >= 40 && a <= 47) buf.SetBackColor(kColors[a - 40]);
            continue;
        }
        buf.SetCharAttrs(attrs);
      }
      break;
    case kCmdSaveCursor:
      saved_ = {buf.CharAttrs(), buf.BackColor(), buf.CharSet(), buf.Col(), buf.ForeColor(), buf.Row()};
      break;
    case kCmdRestoreCursor:
      buf.SetCharAttrs(saved_.Attrs);
      buf.SetBackColor(saved_.Back);
      buf.SetCharSet(saved_.CharSet);
      buf.SetCol(saved_.Col);
      buf.SetForeColor(saved_.Fore);
      buf.SetRow(saved_.Row);
      break;
    case kCmdStatusReport:
      if (n != 1) break;
      if (arg(0) == 5) {
        Reply("\033[0n");
      } else if (arg(0) == 6) {
        std::snprintf(text, sizeof text, "\033[%d;%dR", buf.Row(), buf.Col());
        Reply(text);
      }
      break;
    case kCmdHorzTab:
    case kCmdVertTab:
      if (n == 1) {
        const int count = std::min(arg(0), std::max(buf.RowCount(), buf.ColCount()));
        for (int i = 0; i < count; ++i) {
          if (parser_.Command() == kCmdHorzTab) {
            buf.HorzTab();
            // A double-width line shows half the columns; its margin is there.
            const int margin = HalfColumns(buf, lineAttrs_.Get(buf.AbsCursorRow()));
            if (buf.Col() > margin) buf.SetCol(margin);
          } else {
            buf.VertTab();
          }
        }
      }
      break;
    case kCmdIdentify:
      if (n != 1) break;
      if (arg(0) == 0) Reply("\033[?1;0c");
      else if (arg(0) == 52) Reply("\033/Z");
      break;
    case kCmdDeleteChars:
      if (n >= 1) buf.DeleteChars(arg(0));
      break;
    case kCmdDeleteLines:
      if (n >= 1) buf.DeleteLines(arg(0));
      break;
    case kCmdEraseChars:
      if (n >= 1) buf.EraseChars(arg(0));
      break;
    case kCmdInsertChars:
      if (n >= 1) buf.InsertChars(arg(0));
      break;
    case kCmdInsertLines:
      if (n >= 1) buf.InsertLines(arg(0));
      break;
    case kCmdEraseDisplay:
      if (arg(0) == 0) buf.EraseToEOW();
      else if (arg(0) == 1) buf.EraseToBOW();
      else if (arg(0) == 2) buf.EraseScreen();
      break;
    case kCmdEraseLine:
      if (arg(0) == 0) buf.EraseToEOL();
      else if (arg(0) == 1) buf.EraseToBOL();
      else if (arg(0) == 2) buf.EraseLine();
      break;
    case kCmdSetTab:
      buf.SetHorzTab();
      break;
    case kCmdNextLine:
      buf.LineFeed();
      if (!buf.NewLineMode) buf.CarriageReturn();
      break;
    case kCmdReverseIndex:
      buf.MoveCursorUp(true);
      break;
    case kCmdIndex:
      buf.MoveCursorDown(true);
      break;
    case kCmdReset:
      buf.Reset();
      ResetModes();
      break;
    case kCmdClearTabs:
      if (arg(0) == 0) buf.ClearHorzTab();
      else if (arg(0) == 3) buf.ClearAllHorzTabs();
      break;
    case kCmdScrollRegion: {
      int top = n >= 1 ? arg(0) : -1;
      int bottom = n >= 2 ? arg(1) : -1;
      if (top <= 0) top = 1;
      if (bottom <= 0) bottom = buf.RowCount();
      buf.SetScrollRegion(top, bottom);
      break;
    }
    case kCmdAnswerback:
      Reply(Answerback);
      break;
    case kCmdBell:
      if (t) t->Beep();
      break;
    case kCmdBackspace:
      buf.Backspace();
      break;
    case kCmdLineFeed:
      buf.LineFeed();
      break;
    case kCmdCarriageReturn:
      buf.CarriageReturn();
      break;
    case kCmdShiftOut:
      buf.SetCharSet(ansi_ ? g1_ : 2);
      shiftedOut_ = true;
      break;
    case kCmdShiftIn:
      buf.SetCharSet(ansi_ ? g0_ : 0);
      shiftedOut_ = false;
      break;
    case kCmdAlignmentTest: {
      const uint16_t keep = buf.DefChar();
      buf.SetDefChar('E');
      buf.EraseScreen();
      buf.SetDefChar(keep);
      break;
    }
    case kCmdDoubleHeight:
    case kCmdDoubleWidth:
    case kCmdSingleWidth: {
      uint8_t attr = kLineSingle;
      if (parser_.Command() == kCmdDoubleHeight) {
        if (n != 1) break;
        attr = arg(0) == 0 ? kLineDoubleTop : kLineDoubleBottom;
      } else if (parser_.Command() == kCmdDoubleWidth) {
        attr = kLineDoubleWidth;
      }
      const int row = buf.AbsCursorRow();
      lineAttrs_.Set(row, attr);
      dirtyRows_.push_back(row);
      if (attr != kLineSingle) {
        // The right half of a double-width line cannot be shown: it goes, so
        // a return to single width shows blanks there; the cursor stays on
        // the half that is shown.
        const int margin = HalfColumns(buf, attr);
        const int col = std::min(buf.Col(), margin);
        buf.SetCol(margin + 1);
        buf.EraseToEOL();
        buf.SetCol(col);
      }
      break;
    }
    case kCmdLoadLeds:
      for (int i = 0; i < n; ++i) {
        const int a = arg(i);
        if (a <= 0) leds_ = 0;
        else if (a <= 4) leds_ = uint8_t(leds_ | (1u << (a - 1)));
      }
      break;
    case kCmdTerminalParams: {
      const int solicited = n == 1 ? std::clamp(arg(0), 0, 1) : 1;
      const int parityCode = t ? t->PortParity() : 0;
      const int parity = parityCode == 1 ? 4 : parityCode == 2 ? 5 : 1;
      const int bits = (t ? t->PortDataBits() : 8) == 8 ? 1 : 2;
      const int speed = SpeedCode(t ? t->PortBaud() : 0);
      std::snprintf(text, sizeof text, "\033[%d;%d;%d;%d;%d;%d;%dx", solicited + 2, parity, bits, speed, speed, 1,
                    0);
      Reply(text);
      break;
    }
    case kCmdDesignateCharSet: {
      if (n != 2) break;
      const int designated = DesignatedCharSet(arg(1));
      if (designated < 0) break;  // a set this terminal does not have: nothing changes
      const uint8_t set = uint8_t(designated);
      if (arg(0) == 0) {
        g0_ = set;
        if (!shiftedOut_) buf.SetCharSet(set);
      } else if (arg(0) == 1) {
        g1_ = set;
        if (shiftedOut_ && ansi_) buf.SetCharSet(set);
      }
      break;
    }
    default:  // confidence test, characters, none
      break;
  }
}

void TQxVT100Emulator::RebuildBlinks() {
  blinks_.clear();
  TQxTerminalBuffer& buf = Buffer();
  const int first = Terminal() ? Terminal()->ViewRow() : 1;
  const int cols = buf.ColCount();
  for (int r = first; r < first + buf.RowCount(); ++r) {
    const uint8_t* attrs = buf.GetLineAttrs(r);
    if (!attrs) continue;
    for (int c = 0; c < cols;) {
      // Rows without blinking text are the rule: look at eight cells a time.
      if (c + 8 <= cols) {
        uint64_t word;
        std::memcpy(&word, attrs + c, 8);
        if (!(word & (0x0101010101010101ull * kAttrBlink))) {
          c += 8;
          continue;
        }
      }
      if (!(attrs[c] & kAttrBlink)) {
        ++c;
        continue;
      }
      const int start = c;
      while (c < cols && (attrs[c] & kAttrBlink)) ++c;
      blinks_.push_back({r, start + 1, c});
    }
  }
}

void TQxVT100Emulator::BlinkPaint(int phase) {
  for (const BlinkRun& b : blinks_) DrawRow(b.Row, b.First, b.Last, true, phase != 0);
}

// ---------------------------------------------------------------------------
// Keyboard

void TQxVT100Emulator::KeyDown(uint16_t& key, TShiftState shift) {
  if (key & 0x8000) {
    if (!autoRepeat_) {
      key = 0;
      return;
    }
    key = uint16_t(key & 0x7FFF);
  }
  char code[16];
  std::snprintf(code, sizeof code, "\\x%.2X", unsigned(key));
  const std::string name = keys_.Get(code);
  if (name.empty()) return;
  std::string modified = name;
  if (shift & kAltKey) modified = "alt+" + modified;
  if (shift & kCtrlKey) modified = "ctrl+" + modified;
  if (shift & kShiftKey) modified = "shift+" + modified;
  std::string vt = keys_.Get(modified);
  if (vt.empty()) return;
  char& last = vt.back();
  if (last == 'c') {
    last = !ansi_ ? '0' : cursorKeyApp_ ? '2' : '1';
  } else if (last == 'k') {
    last = ansi_ ? (keypadApp_ ? '6' : '5') : (keypadApp_ ? '4' : '3');
  }
  const std::string out = keys_.Get(vt);
  if (out.empty()) return;
  SendKeyString(out);
  // The PC's own Num Lock state is the window system's; nothing to undo here.
  key = 0;
}

void TQxVT100Emulator::SendKeyString(const std::string& s) {
  bool echo = true;
  const size_t len = s.size();
  for (size_t i = 0; i < len; ++i) {
    const char c = s[i];
    if (c != '\\' || i + 1 >= len) {
      SendChar(uint8_t(c), echo);
      continue;
    }
    const char next = s[++i];
    if (next == 'e') {
      SendChar(kEsc, false);
      echo = false;
    } else if (next == 'x') {
      const int hi = i + 1 < len ? HexDigit(s[i + 1]) : -1;
      const int lo = i + 2 < len ? HexDigit(s[i + 2]) : -1;
      i = std::min(i + 2, len - 1);
      const uint8_t b = (hi < 0 || lo < 0) ? uint8_t('?') : uint8_t(hi * 16 + lo);
      if (b == kCr) {
        SendChar(kCr, echo);
        if (Buffer().NewLineMode) SendChar(kLf, echo);
      } else if (b == kEsc) {
        SendChar(kEsc, false);
        echo = false;
      } else {
        SendChar(b, echo);
      }
    } else {
      SendChar('\\', echo);
      SendChar(uint8_t(next), echo);
    }
  }
}

void TQxVT100Emulator::KeyPress(uint8_t& ch) {
  SendChar(ch, true);
  if (ch == kCr && Buffer().NewLineMode) SendChar(kLf, true);
}

// ---------------------------------------------------------------------------
// Painting

void TQxVT100Emulator::LazyPaint() {
  TQxTerminalBuffer& buf = Buffer();
  TQxRect r;
  if (repaintAll_) {
    repaintAll_ = false;
    dirtyRows_.clear();
    const int first = Terminal() ? Terminal()->ViewRow() : 1;
    for (int row = first; row < first + buf.RowCount(); ++row) DrawRow(row, 1, buf.ColCount(), true, true);
    while (buf.GetInvalidRect(r)) {
    }
    return;
  }
  for (int row : dirtyRows_) DrawRow(row, 1, buf.ColCount(), true, true);
  dirtyRows_.clear();
  while (buf.GetInvalidRect(r)) {
    for (int row = r.Top; row <= r.Bottom; ++row) {
      // A double-height top half shows in the row below it too.
      DrawRow(row, r.Left, r.Right, true, true);
      if (lineAttrs_.Get(row + 1) == kLineDoubleBottom && row + 1 > r.Bottom)
        DrawRow(row + 1, r.Left, r.Right, true, true);
    }
  }
}

void TQxVT100Emulator::Paint() {
  int r1, r2, c1, c2;
  if (!ClipToCells(r1, r2, c1, c2)) return;
  for (int row = r1; row <= r2; ++row) DrawRow(row, c1, c2, false, true);
}

void TQxVT100Emulator::DrawRow(int r, int c1, int c2, bool cells, bool text) {
  ITerminalHost* t = Terminal();
  if (!t) return;
  TQxCanvas* canvas = t->Canvas();
  if (!canvas) return;
  TQxTerminalBuffer& buf = Buffer();
  const int viewRow = t->ViewRow();
  const int viewCol = t->ViewCol();
  const int visCols = t->VisibleCols();
  const int cw = t->CellWidth();
  const int chh = t->CellHeight();
  if (r < viewRow || r > viewRow + t->VisibleRows() - 1) return;
  const uint8_t la = lineAttrs_.Get(r);
  int lo = viewCol;
  int hi = viewCol + visCols - 1;
  if (la != kLineSingle) {
    if (!cells) {
      c1 = (c1 - 1) / 2 + 1;
      c2 = (c2 - 1) / 2 + 1;
    }
    lo = (viewCol - 1) / 2 + 1;
    hi = (viewCol + visCols - 1) / 2 + 1;
  }
  c1 = std::max({c1, lo, 1});
  c2 = std::min({c2, hi, buf.ColCount()});
  if (c1 > c2) return;
  const int src = la == kLineDoubleBottom ? r - 1 : r;
  const uint8_t* chars = buf.GetLineChars(src);
  const uint8_t* sets = buf.GetLineCharSets(src);
  const uint8_t* attrs = buf.GetLineAttrs(src);
  const uint32_t* fores = buf.GetLineForeColors(src);
  const uint32_t* backs = buf.GetLineBackColors(src);
  if (!chars || !sets || !attrs || !fores || !backs) return;

  const int cellW = la == kLineSingle ? cw : 2 * cw;
  auto cellX = [&](int c) { return la == kLineSingle ? (c - viewCol) * cw : (2 * c - 1 - viewCol) * cw; };
  const int y = (r - viewRow) * chh;

  runs_.clear();
  for (int c = c1; c <= c2; ++c) {
    const int i = c - 1;
    if (!runs_.empty()) {
      Run& last = runs_.back();
      if (last.Attrs == attrs[i] && last.Fore == fores[i] && last.Back == backs[i] && last.CharSet == sets[i]) {
        last.Last = c;
        continue;
      }
    }
    runs_.push_back({c, c, fores[i], backs[i], attrs[i], sets[i]});
  }

  const size_t cols = size_t(buf.ColCount());
  if (advances_.size() < cols) advances_.resize(cols);
  if (scratch_.size() < cols + 1) scratch_.resize(cols + 1);
  std::fill(advances_.begin(), advances_.begin() + long(cols), cellW);

  const TQxFont termFont = t->Font();
  const bool doubleHeight = la == kLineDoubleTop || la == kLineDoubleBottom;
  const int textY = la == kLineDoubleBottom ? y - chh : y;
  for (const Run& run : runs_) {
    uint32_t fore = run.Fore;
    uint32_t back = run.Back;
    const bool reverse = ((run.Attrs & kAttrReverse) != 0) != screenReverse_;
    const bool swapped = reverse != ((run.Attrs & kAttrSelected) != 0);
    if (swapped) std::swap(fore, back);
    const int len = run.Last - run.First + 1;
    const int x = cellX(run.First);
    if (!text) {
      canvas->FillRect({x, y, x + len * cellW, y + chh}, back);
      continue;
    }
    if (run.Attrs & kAttrInvisible) {
      fore = back;
    } else if (run.Attrs & kAttrBold) {
      if (swapped) back = Brighten(back);
      else fore = Brighten(fore);
    }
    std::memcpy(scratch_.data(), chars + (run.First - 1), size_t(len));
    scratch_[size_t(len)] = 0;
    const char* setName = run.CharSet < 5 ? kCharSetNames[run.CharSet] : kCharSetNames[0];
    charSets_.BuildDrawList(setName, scratch_.data(), size_t(len));
    int at = x;
    while (charSets_.NextDrawItem(fontName_, itemText_)) {
      const int m = int(itemText_.size());
      TQxFont font = termFont;
      if (fontName_ != TQxCharSetMapping::kDefaultFont) {
        font = font_;
        font.Name = fontName_;
      }
      if (doubleHeight) font.Height *= 2;
      font.Color = fore;
      canvas->TextRun({at, y, at + m * cellW, y + chh}, at, textY, font, back,
                      reinterpret_cast<const uint8_t*>(itemText_.data()), m, advances_.data());
      at += m * cellW;
    }
    const int right = x + len * cellW;
    if (run.Attrs & kAttrUnderline) canvas->Line(x, y + chh - 2, right, y + chh - 2, fore);
    if (run.Attrs & kAttrStrike) canvas->Line(x, y + chh / 2, right, y + chh / 2, fore);
  }
}

}  // namespace zav
