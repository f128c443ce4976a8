// Received bytes as a person reads them in a log: text lines with local time
// stamps, or a hex dump in the layout of `hexdump -C` (without its squeezing of
// repeated rows: nothing received is hidden), optionally stamped per row.
//
// Pure formatting: the caller passes the time with every call (a real clock
// through TLogTime::Now, a fixed one in tests) and writes the returned text
// wherever it goes (stdout, a capture file, a view). Not thread-safe; one
// formatter per stream.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zav {

// A moment as the formatters need it: a monotonic clock for gaps and the local
// time of day for stamps.
struct TLogTime {
  int64_t MonotonicMs = 0;
  int64_t LocalMsOfDay = 0;  // 0 .. 86'399'999
  int64_t LocalDay = 0;      // the local date as days since 1970-01-01 (0: not known)
  static TLogTime Now();
};

// "[HH:MM:SS.mmm] " for a local time of day.
std::string FormatStamp(int64_t localMsOfDay);

// One hex dump row: offset, up to 16 bytes in two groups of eight, the
// printable text between bars, and a line end.
std::string FormatHexRow(uint64_t offset, std::string_view bytes);

constexpr int64_t kDefaultLogGapMs = 100;

class TReceiveLog {
 public:
  enum class Mode { Text, Hex };
  // Text without stamps passes bytes through unchanged. Everything else is
  // held per line (text) or row (hex) and given out once it is complete, or
  // once it has waited `gapMs` since its last byte (Flush), the stamp being
  // the time of its first byte.
  TReceiveLog(Mode mode, bool stamps, int64_t gapMs = kDefaultLogGapMs);

  std::string Feed(std::string_view bytes, const TLogTime& now);
  // Gives out a held partial line or row when it has waited the gap.
  std::string Flush(const TLogTime& now);
  // Milliseconds until Flush has something to give (-1: nothing held).
  int64_t MsUntilFlush(const TLogTime& now) const;
  // The end of the stream: what is held, and for hex the final offset line.
  std::string Finish();

  // A text line longer than this is given out in pieces of this size.
  static constexpr size_t kMaxLine = 4096;

 private:
  std::string Emit();
  bool Passthrough() const { return mode_ == Mode::Text && !stamps_; }

  Mode mode_;
  bool stamps_;
  int64_t gapMs_;
  std::string held_;
  TLogTime firstTime_{}, lastTime_{};
  uint64_t offset_ = 0;  // hex: bytes given out so far
};

}  // namespace zav
