// Parsers turning a received byte stream, one byte at a time, into characters
// to show or complete terminal commands with numeric arguments.
//
// TQxVT100Parser knows the VT100 control sequences and, once a reset of
// private mode 2 selects it, the VT52 ones. Input may be split at any byte;
// a control byte inside a sequence is delivered at once and the sequence then
// resumes. Unknown or malformed sequences are dropped (result 0); nothing
// throws. The parser keeps no screen state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zav {

// Results of ProcessChar.
constexpr int kParseNothing = 0;    // ignored byte, unknown or invalid sequence
constexpr int kParseChar = 1;       // a displayable 0x20-0x7E (command 1)
constexpr int kParseUpperChar = 2;  // a byte 0x7F-0xFF outside a sequence (command 1)
constexpr int kParseMore = 3;       // a sequence is in progress
constexpr int kParseCommand = 4;    // Command, ArgumentCount and GetArgument are ready

// Command numbers.
enum : uint8_t {
  kCmdNone = 0,
  kCmdChar = 1,
  kCmdCursorPosition = 2,
  kCmdCursorUp = 3,
  kCmdCursorDown = 4,
  kCmdCursorRight = 5,
  kCmdCursorLeft = 6,
  kCmdSetMode = 13,
  kCmdGraphicRendition = 16,
  kCmdSaveCursor = 17,
  kCmdRestoreCursor = 18,
  kCmdStatusReport = 19,
  kCmdHorzTab = 34,
  kCmdVertTab = 40,
  kCmdIdentify = 41,
  kCmdDeleteChars = 43,
  kCmdDeleteLines = 45,
  kCmdEraseChars = 49,
  kCmdEraseDisplay = 50,
  kCmdEraseLine = 52,
  kCmdSetTab = 65,
  kCmdInsertChars = 66,
  kCmdInsertLines = 67,
  kCmdNextLine = 76,
  kCmdReverseIndex = 88,
  kCmdReset = 89,
  kCmdResetMode = 90,
  kCmdClearTabs = 106,
  kCmdScrollRegion = 113,
  kCmdAnswerback = 114,
  kCmdBell = 115,
  kCmdBackspace = 116,
  kCmdLineFeed = 117,
  kCmdCarriageReturn = 118,
  kCmdShiftOut = 119,
  kCmdShiftIn = 120,
  kCmdIndex = 121,
  kCmdAlignmentTest = 122,
  kCmdDoubleHeight = 123,
  kCmdDoubleWidth = 124,
  kCmdLoadLeds = 125,
  kCmdTerminalParams = 126,
  kCmdSingleWidth = 127,
  kCmdConfidenceTest = 128,
  kCmdDesignateCharSet = 129,
};

class TQxTerminalParser {
 public:
  explicit TQxTerminalParser(bool wideChars) : wide_(wideChars) {}
  virtual ~TQxTerminalParser() = default;

  virtual int GetArgument(int /*index*/) const { return 0; }
  virtual void GetSequence(std::string& out) const { out.clear(); }
  virtual int ProcessChar(uint8_t /*b*/) { return kParseNothing; }
  virtual int ProcessWideChar(char16_t /*ch*/) { return kParseNothing; }
  virtual void Clear() {}

  uint8_t Command() const { return command_; }
  bool WideChars() const { return wide_; }

 protected:
  uint8_t command_ = kCmdNone;

 private:
  bool wide_;
};

class TQxVT100Parser : public TQxTerminalParser {
 public:
  // A sequence longer than this is dropped instead of growing without end.
  static constexpr size_t kMaxSequence = 65536;

  explicit TQxVT100Parser(bool wideChars = false);

  // The value, or 0 outside 0 .. ArgumentCount - 1. -1 marks an empty
  // parameter, -2 as the first argument the private marker "?".
  int GetArgument(int index) const override { return Argument(index); }
  // The same, without the virtual call.
  int Argument(int index) const {
    return index < 0 || index >= int(args_.size()) ? 0 : args_[size_t(index)];
  }
  int ArgumentCount() const { return int(args_.size()); }
  // The bytes that produced the current command (a control byte alone for a
  // control command); empty when Command is 0.
  void GetSequence(std::string& out) const override;
  int ProcessChar(uint8_t b) override;
  // Empties the sequence and the arguments; state and VT52 mode stay.
  void Clear() override;

  bool VT52() const { return vt52_; }
  // No sequence in progress: a displayable byte now is just a character.
  // A control byte met outside a sequence leaves nothing to resume either.
  bool Idle() const {
    return state_ == Ground || state_ == Done || (state_ == ControlInside && savedState_ == Ground);
  }
  // The state ProcessChar leaves after the displayable byte `b` while idle, for
  // callers that take a run of such bytes without parsing each.
  void AcceptChar(uint8_t b);
  // A whole control sequence "ESC [ params final" met while idle (no control
  // bytes inside), taken in one call; the same result and state as feeding it
  // to ProcessChar byte by byte. Returns -1 when it does not apply.
  int ProcessControlSequence(const uint8_t* seq, size_t n);
  // A sequence at `p` (`avail` bytes there) met while idle: a control
  // sequence "ESC [ params final" of at most kMaxInBlock bytes and at most
  // kMaxInBlockArgs arguments, or a designation "ESC ( c" / "ESC ) c", parsed
  // in one pass with the same result and state as feeding it to ProcessChar
  // byte by byte; `used` is its length. Returns -1, changing nothing, when it
  // does not apply (not whole in the bytes, a control byte inside, ...).
  static constexpr size_t kMaxInBlock = 64;
  static constexpr int kMaxInBlockArgs = 16;
  int ProcessSequenceAt(const uint8_t* p, size_t avail, size_t& used);

 private:
  enum State : uint8_t {
    Ground = 0,
    Escape = 1,
    ControlSequence = 2,
    Hash = 3,
    DesignateG0 = 4,
    DesignateG1 = 5,
    OtherDesignate = 6,
    Done = 7,
    ControlInside = 8,
    Vt52Address = 9,
  };

  int EscapeAnsi(uint8_t b);
  int EscapeVt52(uint8_t b);
  // `seq` and `n`: the whole sequence, ESC [ to the final byte.
  int DispatchControlSequence(uint8_t final, const uint8_t* seq, size_t n);
  // The command of a control sequence whose arguments are in args_.
  int DispatchArguments(uint8_t final);
  bool ParseArguments(const uint8_t* seq, size_t n);
  int Finish(uint8_t cmd, int result = kParseCommand);
  int Drop();

  std::vector<int32_t> args_;
  std::string seq_;
  // A sequence taken whole by AcceptChar or ProcessSequenceAt is kept here
  // instead of seq_ (no string work per sequence); shortLen_ 0: it is in seq_.
  char shortSeq_[kMaxInBlock];
  size_t shortLen_ = 0;
  std::string savedSeq_;
  std::vector<int32_t> savedArgs_;
  State state_ = Ground;
  State savedState_ = Ground;
  bool vt52_ = false;
};

}  // namespace zav
