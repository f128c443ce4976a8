// A run of characters written in one piece leaves the buffer exactly as the
// same characters written one by one, apart from the number of cursor events.
#include <gtest/gtest.h>

#include <string>

#include "terminal/QXTrmBuf.h"
#include "terminal/ScreenDump.h"

namespace zav {
namespace {

struct Counted {
  TQxTerminalBuffer buf{false};
  int events = 0;
  Counted() {
    buf.OnCursorMoved = [this](TQxTerminalBuffer*, int, int) { ++events; };
  }
};

// Writes `text` through WriteRun wherever it applies, as the TTY emulator does.
void WriteByRuns(TQxTerminalBuffer& b, const std::string& text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  for (size_t i = 0; i < text.size();) {
    size_t done = b.WriteRun(p + i, text.size() - i);
    if (done == 0) {
      b.WriteChar(p[i]);
      done = 1;
    }
    i += done;
  }
}

TEST(WriteRun, MatchesCharacterByCharacterAcrossWrapsAndColours) {
  for (bool delayed : {true, false}) {
    Counted runs, chars;
    for (auto* b : {&runs.buf, &chars.buf}) {
      b->DelayedWrap = delayed;
      b->SetForeColor(0x0000FF);
      b->SetCursorPosition(3, 70);
    }
    std::string text;
    for (int i = 0; i < 300; ++i) text += char('A' + i % 26);
    WriteByRuns(runs.buf, text);
    for (char c : text) chars.buf.WriteChar(uint8_t(c));
    EXPECT_EQ(DumpScreen(runs.buf), DumpScreen(chars.buf));
    EXPECT_EQ(runs.buf.Row(), chars.buf.Row());
    EXPECT_EQ(runs.buf.Col(), chars.buf.Col());
    EXPECT_LT(runs.events, chars.events);  // one event per run
    TQxRect a, b;
    ASSERT_TRUE(runs.buf.GetInvalidRect(a));
    ASSERT_TRUE(chars.buf.GetInvalidRect(b));
    EXPECT_EQ(a.Top, b.Top);
    EXPECT_EQ(a.Left, b.Left);
    EXPECT_EQ(a.Right, b.Right);
  }
}

TEST(WriteRun, LeavesTheLastColumnAndInsertModeToWriteChar) {
  TQxTerminalBuffer b(false);
  b.SetCursorPosition(1, 80);
  const uint8_t x[] = {'x', 'y'};
  EXPECT_EQ(b.WriteRun(x, 2), 0u);  // the wrap column
  b.SetCursorPosition(1, 78);
  EXPECT_EQ(b.WriteRun(x, 2), 2u);
  EXPECT_EQ(b.Col(), 80);
  b.InsertMode = true;
  b.SetCursorPosition(1, 1);
  EXPECT_EQ(b.WriteRun(x, 2), 0u);
}

}  // namespace
}  // namespace zav
