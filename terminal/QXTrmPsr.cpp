#include "terminal/QXTrmPsr.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>

namespace zav {

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr int kMaxListArgs = 30000;  // rendition and LED lists

}  // namespace

TQxVT100Parser::TQxVT100Parser(bool wideChars) : TQxTerminalParser(wideChars) {
  args_.reserve(16);
  seq_.reserve(64);
  savedSeq_.reserve(64);
  savedArgs_.reserve(16);
}

void TQxVT100Parser::GetSequence(std::string& out) const {
  if (command_ == kCmdNone) {
    out.clear();
  } else if (shortLen_ > 0) {
    out.assign(shortSeq_, shortLen_);
  } else {
    out = seq_;
  }
}

void TQxVT100Parser::Clear() {
  seq_.clear();
  shortLen_ = 0;
  command_ = kCmdNone;
  args_.clear();
}

int TQxVT100Parser::Finish(uint8_t cmd, int result) {
  command_ = cmd;
  state_ = Done;
  return result;
}

int TQxVT100Parser::Drop() {
  command_ = kCmdNone;
  args_.clear();
  state_ = Done;
  return kParseNothing;
}

void TQxVT100Parser::AcceptChar(uint8_t b) {
  args_.clear();
  shortSeq_[0] = char(b);
  shortLen_ = 1;
  command_ = kCmdChar;
  state_ = Done;
}

int TQxVT100Parser::ProcessControlSequence(const uint8_t* seq, size_t n) {
  if (vt52_ || !Idle() || n < 3 || n >= kMaxSequence || seq[0] == 0 || seq[0] != kEsc || seq[1] != '[') return -1;
  const uint8_t final = seq[n - 1];
  if (final < 0x40 || final > 0x7E) return -1;
  for (size_t i = 2; i + 1 < n; ++i)
    if (seq[i] < 0x20 || seq[i] >= 0x40) return -1;
  seq_.assign(reinterpret_cast<const char*>(seq), n);
  shortLen_ = 0;
  command_ = kCmdNone;
  state_ = Done;
  // The arguments come straight from the caller's bytes: no second pass
  // over the copy.
  return DispatchControlSequence(final, seq, n);
}

// Inlined into both callers: it runs once per control sequence.
[[gnu::always_inline]] inline int TQxVT100Parser::DispatchArguments(uint8_t final) {
  // What each final byte (0x40-0x7E) means, as data.
  enum Kind : uint8_t {
    kUnknown = 0,
    kDefaulted,  // at most `max` arguments, padded to `min`, an empty one takes `def`
    kSingle,     // at most one argument, an empty one stays -1
    kPlain,      // the arguments as they are
    kResetMode,  // as kPlain; "?2" also selects VT52 mode
  };
  struct Final {
    uint8_t kind;
    uint8_t cmd;
    uint8_t def;
    uint8_t min;
    int32_t max;
  };
  static constexpr auto kFinals = [] {
    std::array<Final, 0x7F - 0x40> t{};
    auto set = [&t](char f, Final v) { t[size_t(f - 0x40)] = v; };
    set('H', {kDefaulted, kCmdCursorPosition, 1, 2, 2});
    set('f', {kDefaulted, kCmdCursorPosition, 1, 2, 2});
    set('A', {kDefaulted, kCmdCursorUp, 1, 1, 1});
    set('B', {kDefaulted, kCmdCursorDown, 1, 1, 1});
    set('C', {kDefaulted, kCmdCursorRight, 1, 1, 1});
    set('D', {kDefaulted, kCmdCursorLeft, 1, 1, 1});
    set('m', {kDefaulted, kCmdGraphicRendition, 0, 1, kMaxListArgs});
    set('q', {kDefaulted, kCmdLoadLeds, 0, 1, kMaxListArgs});
    set('c', {kDefaulted, kCmdIdentify, 0, 1, 1});
    set('P', {kDefaulted, kCmdDeleteChars, 1, 1, 1});
    set('M', {kDefaulted, kCmdDeleteLines, 1, 1, 1});
    set('X', {kDefaulted, kCmdEraseChars, 1, 1, 1});
    set('J', {kDefaulted, kCmdEraseDisplay, 0, 1, 1});
    set('K', {kDefaulted, kCmdEraseLine, 0, 1, 1});
    set('@', {kDefaulted, kCmdInsertChars, 1, 1, 1});
    set('L', {kDefaulted, kCmdInsertLines, 1, 1, 1});
    set('g', {kDefaulted, kCmdClearTabs, 0, 1, 1});
    set('n', {kSingle, kCmdStatusReport, 0, 0, 1});
    set('x', {kSingle, kCmdTerminalParams, 0, 0, 1});
    set('h', {kPlain, kCmdSetMode, 0, 0, 0});
    set('r', {kPlain, kCmdScrollRegion, 0, 0, 0});
    set('s', {kPlain, kCmdSaveCursor, 0, 0, 0});
    set('u', {kPlain, kCmdRestoreCursor, 0, 0, 0});
    set('y', {kPlain, kCmdConfidenceTest, 0, 0, 0});
    set('l', {kResetMode, kCmdResetMode, 0, 0, 0});
    return t;
  }();

  if (final < 0x40 || final > 0x7E) return Drop();
  const Final& f = kFinals[size_t(final - 0x40)];
  switch (f.kind) {
    case kDefaulted: {
      if (args_.size() > size_t(f.max)) return Drop();
      const int32_t def = f.def;
      while (args_.size() < f.min) args_.push_back(def);
      for (int32_t& a : args_)
        if (a == -1) a = def;
      return Finish(f.cmd);
    }
    case kSingle:
      if (args_.size() > 1) return Drop();
      return Finish(f.cmd);
    case kPlain:
      return Finish(f.cmd);
    case kResetMode:
      if (args_.size() == 2 && args_[0] == -2 && args_[1] == 2) vt52_ = true;
      return Finish(f.cmd);
    default:
      return Drop();
  }
}

int TQxVT100Parser::ProcessSequenceAt(const uint8_t* p, size_t avail, size_t& used) {
  if (vt52_ || !Idle() || avail < 3 || p[0] != kEsc) return -1;
  if (p[1] == '(' || p[1] == ')') {
    // A designation; an intermediate byte before the set's character makes
    // it a longer one, which the byte path drops.
    const uint8_t c = p[2];
    if (c < '0' || c > '~') return -1;
    int32_t code;
    switch (c) {
      case '0': code = 0; break;
      case '1': code = 1; break;
      case '2': code = 2; break;
      case 'A': code = 65; break;
      case 'B': code = 66; break;
      default: code = -1; break;
    }
    std::memcpy(shortSeq_, p, 3);
    shortLen_ = 3;
    args_.clear();
    command_ = kCmdNone;
    used = 3;
    if (code < 0) return Drop();
    args_.push_back(p[1] == '(' ? 0 : 1);
    args_.push_back(code);
    return Finish(kCmdDesignateCharSet);
  }
  if (p[1] != '[') return -1;
  // Parameters as ParseArguments reads them: digits, ';', a leading '?'; an
  // intermediate ends them; any other parameter byte makes the sequence
  // invalid (dropped once its final byte is there).
  const size_t limit = std::min(avail, kMaxInBlock);
  int32_t args[kMaxInBlockArgs];
  int count = 0;
  size_t i = 2;
  if (p[2] == '?') {
    args[count++] = -2;
    i = 3;
  }
  int64_t value = 0;
  int digits = 0;
  bool params = true;  // still reading parameters
  bool valid = true;
  for (;; ++i) {
    if (i >= limit) return -1;
    const uint8_t c = p[i];
    if (c >= 0x40) {
      if (c > 0x7E) return -1;
      break;  // the final byte
    }
    if (c < 0x20) return -1;
    if (!params) continue;
    if (c >= '0' && c <= '9') {
      if (++digits > 255) {
        valid = params = false;
        continue;
      }
      value = value * 10 + (c - '0');
      if (digits >= 10 && value > std::numeric_limits<int32_t>::max()) valid = params = false;
    } else if (c == ';') {
      if (count == kMaxInBlockArgs) return -1;
      args[count++] = digits == 0 ? -1 : int32_t(value);
      value = 0;
      digits = 0;
    } else if (c <= 0x2F) {
      params = false;  // an intermediate: the rest is not read
    } else {
      valid = params = false;
    }
  }
  const uint8_t final = p[i];
  const size_t n = i + 1;
  if (valid) {
    if (count == kMaxInBlockArgs) return -1;
    args[count++] = digits == 0 ? -1 : int32_t(value);
  }
  used = n;
  std::memcpy(shortSeq_, p, n);
  shortLen_ = n;
  command_ = kCmdNone;
  state_ = Done;
  if (final == 'p' && n == 6 && std::memcmp(p, "\x1b[61\"p", 6) == 0) {
    args_.clear();
    return Finish(kCmdReset);
  }
  if (!valid) return Drop();
  args_.assign(args, args + count);
  return DispatchArguments(final);
}

int TQxVT100Parser::ProcessChar(uint8_t b) {
  // From here on seq_ is the sequence: a short one held aside is over
  // (every path below from Done rewrites or clears seq_).
  shortLen_ = 0;
  // The common cases first: a character outside any sequence, and the
  // parameter bytes inside a control sequence.
  if (b >= 0x20) {
    if (Idle()) {
      AcceptChar(b);
      return b <= 0x7E ? kParseChar : kParseUpperChar;
    }
    if (state_ == ControlSequence && b < 0x40 && seq_.size() < kMaxSequence) {
      seq_.push_back(char(b));
      return kParseMore;
    }
  }
  if (state_ == Done) {
    args_.clear();
    seq_.clear();
    command_ = kCmdNone;
    state_ = Ground;
  } else if (state_ == ControlInside) {
    command_ = kCmdNone;
    if (savedState_ == Ground) {
      seq_.clear();
      args_.clear();
    } else {
      seq_.swap(savedSeq_);
      args_.swap(savedArgs_);  // a VT52 address keeps its row
    }
    state_ = savedState_;
  }

  if (b < 0x20) {
    // A control byte acts at once; the interrupted sequence resumes after it
    // (the saved copies are swapped in and out, never copied).
    savedState_ = state_;
    if (state_ != Ground) {
      savedSeq_.swap(seq_);
      savedArgs_.swap(args_);
    }
    state_ = ControlInside;
    args_.clear();
    if (b == kEsc) {
      // An ESC always starts a new sequence, abandoning one in progress.
      seq_.assign(1, char(kEsc));
      command_ = kCmdNone;
      state_ = Escape;
      return kParseMore;
    }
    // The control bytes that are commands, and their argument (-1 none).
    // CAN and SUB are not: the sequence in progress is not cancelled.
    struct Control {
      uint8_t cmd;
      int8_t arg;
    };
    static constexpr auto kControls = [] {
      std::array<Control, 0x20> t{};
      for (Control& c : t) c = {kCmdNone, -1};
      t[0x05] = {kCmdAnswerback, -1};
      t[0x07] = {kCmdBell, -1};
      t[0x08] = {kCmdBackspace, -1};
      t[0x09] = {kCmdHorzTab, 1};
      t[0x0A] = {kCmdLineFeed, -1};
      t[0x0B] = {kCmdVertTab, 1};
      t[0x0C] = {kCmdEraseDisplay, 2};
      t[0x0D] = {kCmdCarriageReturn, -1};
      t[0x0E] = {kCmdShiftOut, -1};
      t[0x0F] = {kCmdShiftIn, -1};
      return t;
    }();
    const Control c = kControls[b];
    if (c.cmd == kCmdNone) return kParseNothing;
    if (c.arg >= 0) args_.push_back(c.arg);
    shortSeq_[0] = char(b);
    shortLen_ = 1;
    command_ = c.cmd;
    return kParseCommand;
  }

  if (seq_.size() >= kMaxSequence) {
    seq_.clear();
    return Drop();
  }
  seq_.push_back(char(b));

  switch (state_) {
    case Ground:
      return Finish(kCmdChar, b <= 0x7E ? kParseChar : kParseUpperChar);
    case Escape:
      return vt52_ ? EscapeVt52(b) : EscapeAnsi(b);
    case ControlSequence:
      if (b < 0x40 || b > 0x7E) return kParseMore;
      state_ = Done;
      return DispatchControlSequence(b, reinterpret_cast<const uint8_t*>(seq_.data()), seq_.size());
    case Hash:
      state_ = Done;
      switch (b) {
        case '3': args_.push_back(0); return Finish(kCmdDoubleHeight);
        case '4': args_.push_back(1); return Finish(kCmdDoubleHeight);
        case '5': return Finish(kCmdSingleWidth);
        case '6': return Finish(kCmdDoubleWidth);
        case '8': return Finish(kCmdAlignmentTest);
        default: return Drop();
      }
    case DesignateG0:
    case DesignateG1: {
      if (b < '0' || b > '~') return kParseMore;
      const int32_t set = state_ == DesignateG0 ? 0 : 1;
      int32_t code;
      switch (b) {
        case '0': code = 0; break;
        case '1': code = 1; break;
        case '2': code = 2; break;
        case 'A': code = 65; break;
        case 'B': code = 66; break;
        default: code = -1; break;
      }
      if (seq_.size() != 3 || code < 0) return Drop();
      args_.push_back(set);
      args_.push_back(code);
      return Finish(kCmdDesignateCharSet);
    }
    case OtherDesignate:
      if (b < '0' || b > '~') return kParseMore;
      return Drop();
    case Vt52Address:
      args_.push_back(int32_t(b) - 31);
      if (args_.size() < 2) return kParseMore;
      return Finish(kCmdCursorPosition);
    default:
      return Drop();
  }
}

int TQxVT100Parser::EscapeAnsi(uint8_t b) {
  switch (b) {
    case '#': state_ = Hash; return kParseMore;
    case '(': state_ = DesignateG0; return kParseMore;
    case ')': state_ = DesignateG1; return kParseMore;
    case '*': case '+': case '-': case '.': case '/': state_ = OtherDesignate; return kParseMore;
    case '[': state_ = ControlSequence; return kParseMore;
    default: break;
  }
  state_ = Done;
  switch (b) {
    case '1':
    case '2': return Finish(kCmdNone);
    case '7': return Finish(kCmdSaveCursor);
    case '8': return Finish(kCmdRestoreCursor);
    case '=': args_ = {-2, 999}; return Finish(kCmdSetMode);
    case '>': args_ = {-2, 999}; return Finish(kCmdResetMode);
    case 'D': return Finish(kCmdIndex);
    case 'E': return Finish(kCmdNextLine);
    case 'H': return Finish(kCmdSetTab);
    case 'M': return Finish(kCmdReverseIndex);
    case 'Z': args_ = {0}; return Finish(kCmdIdentify);
    case 'c': return Finish(kCmdReset);
    default: return Drop();
  }
}

int TQxVT100Parser::EscapeVt52(uint8_t b) {
  state_ = Done;
  switch (b) {
    case '<': args_ = {-2, 2}; vt52_ = false; return Finish(kCmdSetMode);
    case '=': args_ = {-2, 999}; return Finish(kCmdSetMode);
    case '>': args_ = {-2, 999}; return Finish(kCmdResetMode);
    case 'A': args_ = {1}; return Finish(kCmdCursorUp);
    case 'B': args_ = {1}; return Finish(kCmdCursorDown);
    case 'C': args_ = {1}; return Finish(kCmdCursorRight);
    case 'D': args_ = {1}; return Finish(kCmdCursorLeft);
    case 'F': return Finish(kCmdShiftOut);
    case 'G': return Finish(kCmdShiftIn);
    case 'H': args_ = {1, 1}; return Finish(kCmdCursorPosition);
    case 'I': return Finish(kCmdReverseIndex);
    case 'J': args_ = {0}; return Finish(kCmdEraseDisplay);
    case 'K': args_ = {0}; return Finish(kCmdEraseLine);
    case 'Y':
      state_ = Vt52Address;
      command_ = kCmdCursorPosition;
      return kParseMore;
    case 'Z': args_ = {52}; return Finish(kCmdIdentify);
    default: return Drop();
  }
}

bool TQxVT100Parser::ParseArguments(const uint8_t* seq, size_t n) {
  args_.clear();
  size_t i = 2;  // after ESC [
  if (i < n && seq[i] == '?') {
    args_.push_back(-2);
    ++i;
  }
  int64_t value = 0;
  int digits = 0;
  for (; i < n; ++i) {
    const uint8_t c = seq[i];
    if (c >= '0' && c <= '9') {
      if (++digits > 255) return false;
      value = value * 10 + (c - '0');
      // Nine digits always fit.
      if (digits >= 10 && value > std::numeric_limits<int32_t>::max()) return false;  // does not convert
    } else if (c == ';') {
      args_.push_back(digits == 0 ? -1 : int32_t(value));
      value = 0;
      digits = 0;
    } else if ((c >= 0x20 && c <= 0x2F) || (c >= 0x40 && c <= 0x7E)) {
      break;
    } else {
      return false;
    }
  }
  args_.push_back(digits == 0 ? -1 : int32_t(value));
  return true;
}

int TQxVT100Parser::DispatchControlSequence(uint8_t final, const uint8_t* seq, size_t n) {
  if (final == 'p' && n == 6 && std::memcmp(seq, "\x1b[61\"p", 6) == 0) {
    args_.clear();
    return Finish(kCmdReset);
  }
  if (!ParseArguments(seq, n)) return Drop();
  return DispatchArguments(final);
}


}  // namespace zav
