// The receive log formatters on exact output, with a fixed clock: each case is
// a list of steps (bytes arriving, or a flush at a time) and the whole text.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal/ReceiveLog.h"

namespace zav {
namespace {

constexpr int64_t kBase = ((13 * 60 + 5) * 60 + 9) * 1000 + 250;  // 13:05:09.250

TLogTime At(int64_t ms) { return {ms, kBase + ms}; }

struct Step {
  int64_t ms;
  std::string bytes;
  bool flush = false;  // a flush at `ms` instead of bytes
};

struct Case {
  const char* name;
  TReceiveLog::Mode mode;
  bool stamps;
  std::vector<Step> steps;
  std::string expected;  // everything given out, Finish included
};

using M = TReceiveLog::Mode;

const std::vector<Case> kCases = {
    {"plain text passes unchanged", M::Text, false, {{0, "ab\r\nc"}, {500, std::string("d\0\xff", 3)}},
     std::string("ab\r\ncd\0\xff", 8)},
    {"a stamp per line at its first byte", M::Text, true, {{0, "one\r\ntw"}, {40, "o\n"}, {60, "three\n"}},
     "[13:05:09.250] one\r\n[13:05:09.250] two\n[13:05:09.310] three\n"},
    {"a partial line that waited the gap stands alone", M::Text, true,
     {{0, "login: "}, {99, "", true}, {100, "", true}, {350, "me\n"}},
     "[13:05:09.250] login: \n[13:05:09.600] me\n"},
    {"a partial line waiting less than the gap goes on", M::Text, true, {{0, "ab"}, {99, "cd"}, {198, "\n"}},
     "[13:05:09.250] abcd\n"},
    {"the end gives out the partial line", M::Text, true, {{0, "x\ny"}}, "[13:05:09.250] x\n[13:05:09.250] y\n"},
    {"hex: full rows, a partial row and the end offset", M::Hex, false,
     {{0, "0123456789abcdefghij\x01\x7f\x80 z"}},
     "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
     "00000010  67 68 69 6a 01 7f 80 20  7a                       |ghij... z|\n"
     "00000019\n"},
    {"hex: a row is complete across arrivals", M::Hex, false, {{0, "01234567"}, {50, "89abcdefX"}},
     "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
     "00000010  58                                                |X|\n"
     "00000011\n"},
    {"hex: a row flushed by the gap, the next starts at its offset", M::Hex, true,
     {{0, "abc"}, {100, "", true}, {1000, "defghijklmnopqrstu"}},
     "[13:05:09.250] 00000000  61 62 63                                          |abc|\n"
     "[13:05:10.250] 00000003  64 65 66 67 68 69 6a 6b  6c 6d 6e 6f 70 71 72 73  |defghijklmnopqrs|\n"
     "[13:05:10.250] 00000013  74 75                                             |tu|\n"
     "00000015\n"},
    {"hex: nothing received prints nothing", M::Hex, true, {}, ""},
};

TEST(ReceiveLog, FormatsEachCaseExactly) {
  for (const Case& c : kCases) {
    TReceiveLog log(c.mode, c.stamps);
    std::string out;
    for (const Step& s : c.steps) out += s.flush ? log.Flush(At(s.ms)) : log.Feed(s.bytes, At(s.ms));
    out += log.Finish();
    EXPECT_EQ(out, c.expected) << c.name;
  }
}

TEST(ReceiveLog, LongTextLinesComeOutInPieces) {
  TReceiveLog log(M::Text, true);
  const std::string first = log.Feed(std::string(TReceiveLog::kMaxLine + 3, 'x'), At(0));
  EXPECT_EQ(first, "[13:05:09.250] " + std::string(TReceiveLog::kMaxLine, 'x') + "\n");
  EXPECT_EQ(log.Finish(), "[13:05:09.250] xxx\n");
}

TEST(ReceiveLog, TimeUntilFlushCountsFromTheLastByte) {
  TReceiveLog log(M::Hex, false, 250);
  EXPECT_EQ(log.MsUntilFlush(At(0)), -1);
  log.Feed("ab", At(0));
  log.Feed("c", At(100));
  EXPECT_EQ(log.MsUntilFlush(At(120)), 230);
  EXPECT_EQ(log.MsUntilFlush(At(900)), 0);
}

TEST(ReceiveLog, StampsAndLargeOffsets) {
  EXPECT_EQ(FormatStamp(0), "[00:00:00.000] ");
  EXPECT_EQ(FormatStamp(86'399'999), "[23:59:59.999] ");
  EXPECT_EQ(FormatHexRow(0x123456789ull, "A"),
            "123456789  41                                                |A|\n");
}

}  // namespace
}  // namespace zav
