// The VT100 emulator headless: commands, replies, modes, line attributes,
// blinking, the key map and the row painter, and golden screen dumps.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "FakeTerminal.h"
#include "tests/support/GoldenReplay.h"
#include "terminal/QXTrmEmu.h"
#include "terminal/ScreenDump.h"

namespace zav {
namespace {

// A host with the port settings the VT100 reads and a Columns setting.
class VtHost : public test::FakeTerminal {
 public:
  int32_t baud = 9600;
  int parity = 0;
  int dataBits = 8;
  bool portTerminal = true;
  std::vector<std::string> log;
  TQxTerminalBuffer* buffer = nullptr;  // for SetColumns

  bool IsPortTerminal() const override { return portTerminal; }
  void PortLog(const std::string& text) override { log.push_back(text); }
  int32_t PortBaud() const override { return baud; }
  int PortParity() const override { return parity; }
  int PortDataBits() const override { return dataBits; }
  bool SetColumns(int n) override {
    if (!buffer) return false;
    buffer->SetColCount(n);
    visibleCols = n;
    return true;
  }
};

class Vt100 : public ::testing::Test {
 protected:
  void SetUp() override {
    emu.SetInternal(true);
    emu.SetTerminal(&host);
  }
  void Feed(const std::string& s) {
    emu.ProcessBlock(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }
  std::string Row(int r) {
    const uint8_t* p = emu.Buffer().GetLineChars(r);
    return std::string(reinterpret_cast<const char*>(p), size_t(emu.Buffer().ColCount()));
  }
  uint16_t Key(uint16_t key, TShiftState shift = 0) {
    emu.KeyDown(key, shift);
    return key;
  }

  VtHost host;
  TQxVT100Emulator emu{nullptr};
};

TEST_F(Vt100, StatusReportsAndIdentify) {
  Feed("\033[5;10H\033[6n");
  EXPECT_EQ(host.sent, "\033[5;10R");
  host.sent.clear();
  Feed("\033[5n\033[c");
  EXPECT_EQ(host.sent, "\033[0n\033[?1;0c");
  host.sent.clear();
  Feed("\033[?2l");  // VT52
  EXPECT_FALSE(emu.AnsiMode());
  Feed("\033Z");
  EXPECT_EQ(host.sent, "\033/Z");
  Feed("\033<");
  EXPECT_TRUE(emu.AnsiMode());
  // Every command went to the dispatch log while the port is open.
  ASSERT_FALSE(host.log.empty());
  EXPECT_EQ(host.log.front(), "\033[5;10H");
}

TEST_F(Vt100, CursorReportFollowsOriginMode) {
  Feed("\033[5;20r\033[?6h\033[3;4H\033[6n");
  EXPECT_EQ(host.sent, "\033[3;4R");
  EXPECT_EQ(emu.Buffer().AbsCursorRow(), 7);
}

// The mode a command leaves is the parser's after every command, the
// designations included (their unknown-set branch once skipped the update).
TEST_F(Vt100, EveryCommandLeavesTheModeOfTheParser) {
  struct Case {
    const char* input;
    bool ansi;
    uint8_t g0, g1;
  };
  const Case cases[] = {
      {"\033(0", true, 2, 0},
      {"\033)A", true, 0, 1},
      {"\033(B\033)2", true, 0, 4},
      {"\033[?2l", false, 0, 0},
      {"\033[?2l\033(0", false, 0, 0},  // no designations in VT52 mode
      {"\033[?2l\033<\033(1", true, 3, 0},
      {"\033[?2l\033<\033(Z", true, 0, 0},  // an unknown set: dropped
  };
  for (const Case& c : cases) {
    Feed("\033c");
    Feed(c.input);
    EXPECT_EQ(emu.AnsiMode(), c.ansi) << c.input;
    EXPECT_EQ(emu.G0(), c.g0) << c.input;
    EXPECT_EQ(emu.G1(), c.g1) << c.input;
    Feed("\033<");
  }
  // The branch no parser sequence reaches: a set this terminal lacks.
  for (int designator : {-1, 3, 64, 67, 48}) EXPECT_EQ(DesignatedCharSet(designator), -1) << designator;
  EXPECT_EQ(DesignatedCharSet('A'), 1);
  EXPECT_EQ(DesignatedCharSet('B'), 0);
  EXPECT_EQ(DesignatedCharSet(0), 2);
}

// Found by fuzzing: "ESC [ 0 H" put the cursor into the history above the
// screen, and the next character was written there.
TEST_F(Vt100, CursorPositionZeroIsTheFirstRowAndColumn) {
  for (const std::string seq : {"\033[0H", "\033[0;0H", "\033[0;0f"}) {
    Feed("\033[12;40H");
    Feed(seq + "Z");
    EXPECT_EQ(emu.Buffer().AbsCursorRow(), 1) << seq;
    EXPECT_EQ(Row(1).substr(0, 1), "Z") << seq;
    Feed("\033[2J");
  }
  // In origin mode row 0 is the region's first row.
  Feed("\033[5;20r\033[?6h\033[0;0HY");
  EXPECT_EQ(emu.Buffer().AbsCursorRow(), 5);
  EXPECT_EQ(Row(5).substr(0, 1), "Y");
}

// Found by fuzzing: with a scroll region below it, a cursor on the top row
// moved up into the history.
TEST_F(Vt100, CursorUpAboveTheRegionStopsAtTheTopRow) {
  Feed("\033[5r\033[H\033[A\033[3AX");
  EXPECT_EQ(emu.Buffer().AbsCursorRow(), 1);
  EXPECT_EQ(Row(1).substr(0, 1), "X");
  // Inside the region the top margin stops it.
  Feed("\033[7;1H\033[9AY");
  EXPECT_EQ(emu.Buffer().AbsCursorRow(), 5);
  EXPECT_EQ(Row(5).substr(0, 1), "Y");
}

TEST_F(Vt100, RepliesOnlyToOwnOpenPort) {
  host.portTerminal = false;
  Feed("\033[c\005");
  EXPECT_EQ(host.log.size(), 2u);  // logged all the same
  host.portTerminal = true;
  host.portOpen = false;
  Feed("\033[c\033[6n");
  EXPECT_EQ(host.sent, "");
  EXPECT_EQ(host.log.size(), 2u);
  host.portOpen = true;
  emu.Answerback = "bench-7";
  Feed("\005");
  EXPECT_EQ(host.sent, "bench-7");
}

TEST_F(Vt100, TerminalParametersUseThePortSettings) {
  host.baud = 2400;
  host.parity = 2;
  host.dataBits = 7;
  Feed("\033[x");  // empty argument: solicitation 0
  EXPECT_EQ(host.sent, "\033[2;5;2;88;88;1;0x");
  host.sent.clear();
  host.baud = 115200;
  host.parity = 1;
  host.dataBits = 8;
  Feed("\033[1x");
  EXPECT_EQ(host.sent, "\033[3;4;1;120;120;1;0x");
}

TEST_F(Vt100, Columns132AndBackOnReset) {
  host.buffer = &emu.Buffer();
  Feed("\033[?3h");
  EXPECT_TRUE(emu.Columns132());
  EXPECT_EQ(emu.Buffer().ColCount(), 132);
  Feed("\033[1;130Hxyz");  // the whole width is addressable
  EXPECT_EQ(Row(1).substr(129, 3), "xyz");
  Feed("\033c");
  EXPECT_FALSE(emu.Columns132());
  EXPECT_EQ(emu.Buffer().ColCount(), 80);
  // Without a Columns setting the emulator sizes its own buffer.
  host.buffer = nullptr;
  Feed("\033[?3h");
  EXPECT_EQ(emu.Buffer().ColCount(), 132);
  Feed("\033[?3l");
  EXPECT_EQ(emu.Buffer().ColCount(), 80);
}

TEST_F(Vt100, ModesAndReset) {
  Feed("\033[?1h\033=\033[?8l\033[?4h\033[?9h\033[?7l\033[4h\033[20h\033[?5h");
  EXPECT_TRUE(emu.CursorKeyApplication());
  EXPECT_TRUE(emu.KeypadApplication());
  EXPECT_FALSE(emu.AutoRepeat());
  EXPECT_TRUE(emu.SmoothScroll());
  EXPECT_TRUE(emu.Interlace());
  EXPECT_FALSE(emu.Buffer().AutoWrap);
  EXPECT_TRUE(emu.Buffer().InsertMode);
  EXPECT_TRUE(emu.Buffer().NewLineMode);
  EXPECT_TRUE(emu.ScreenReverse());
  EXPECT_TRUE(emu.NeedsUpdate());  // screen reverse repaints everything
  // Several modes in one sequence are not applied.
  Feed("\033[4;20l");
  EXPECT_TRUE(emu.Buffer().InsertMode);
  Feed("\033(0\033)2\016");
  EXPECT_EQ(emu.G0(), 2);
  EXPECT_EQ(emu.G1(), 4);
  EXPECT_TRUE(emu.ShiftedOut());
  EXPECT_EQ(emu.Buffer().CharSet(), 4);
  Feed("\033c");
  EXPECT_FALSE(emu.CursorKeyApplication());
  EXPECT_FALSE(emu.KeypadApplication());
  EXPECT_TRUE(emu.AutoRepeat());
  EXPECT_FALSE(emu.SmoothScroll());
  EXPECT_FALSE(emu.Interlace());
  EXPECT_TRUE(emu.Buffer().AutoWrap);
  EXPECT_FALSE(emu.Buffer().InsertMode);
  EXPECT_FALSE(emu.Buffer().NewLineMode);
  EXPECT_FALSE(emu.ScreenReverse());
  EXPECT_FALSE(emu.ShiftedOut());
  EXPECT_EQ(emu.G0(), 0);
  EXPECT_EQ(emu.G1(), 0);
  EXPECT_EQ(emu.Buffer().CharSet(), 0);
}

TEST_F(Vt100, ScrollRegionWithoutArgumentsIsOff) {
  Feed("\033[5;10r");
  EXPECT_TRUE(emu.Buffer().ScrollRegionActive());
  Feed("\033[r");
  EXPECT_FALSE(emu.Buffer().ScrollRegionActive());
}

TEST_F(Vt100, AlignmentTestKeepsDefaultCharacter) {
  Feed("\033#8");
  EXPECT_EQ(Row(1), std::string(80, 'E'));
  EXPECT_EQ(Row(24), std::string(80, 'E'));
  EXPECT_EQ(emu.Buffer().DefChar(), ' ');
  Feed("\033[2J");
  EXPECT_EQ(Row(12), std::string(80, ' '));
}

TEST_F(Vt100, GraphicRendition) {
  Feed("\033[1;5;31mA");
  TQxTerminalBuffer& b = emu.Buffer();
  EXPECT_EQ(b.GetLineAttrs(1)[0], kAttrBold | kAttrBlink);
  EXPECT_EQ(b.GetLineForeColors(1)[0], 0x000080u);
  Feed("\033[44;7mB\033[25;27mC\033[mD");
  EXPECT_EQ(b.GetLineBackColors(1)[1], 0x800000u);
  EXPECT_EQ(b.GetLineAttrs(1)[1], kAttrBold | kAttrBlink | kAttrReverse);
  EXPECT_EQ(b.GetLineAttrs(1)[2], kAttrBold);
  EXPECT_EQ(b.GetLineAttrs(1)[3], 0);
  EXPECT_EQ(b.GetLineForeColors(1)[3], b.DefForeColor());
  EXPECT_EQ(b.GetLineBackColors(1)[3], b.DefBackColor());
}

TEST_F(Vt100, UpperBytes) {
  Feed("\xC4\xE0\xB3x");
  TQxTerminalBuffer& b = emu.Buffer();
  EXPECT_EQ(Row(1).substr(0, 3), "qxx");  // 0xE0 shows nothing
  EXPECT_EQ(b.GetLineCharSets(1)[0], 2);
  EXPECT_EQ(b.GetLineCharSets(1)[1], 2);
  EXPECT_EQ(b.GetLineCharSets(1)[2], 0);  // the current set was restored
  emu.DisplayUpperASCII = true;
  Feed("\xE0");
  EXPECT_EQ(uint8_t(Row(1)[3]), 0xE0);
}

TEST_F(Vt100, SaveAndRestoreCursor) {
  Feed("\033[3;7H\033[1;32m\033(0\0337\033[H\033[m\033(B\0338");
  TQxTerminalBuffer& b = emu.Buffer();
  EXPECT_EQ(b.Row(), 3);
  EXPECT_EQ(b.Col(), 7);
  EXPECT_EQ(b.CharAttrs(), kAttrBold);
  EXPECT_EQ(b.ForeColor(), 0x008000u);
  EXPECT_EQ(b.CharSet(), 2);
}

TEST_F(Vt100, LineAttributesFollowScrolls) {
  Feed("\033[3H\033#6\033[4H\033#3\033[5H\033#4");
  TQxLineAttrArray& la = emu.LineAttrs();
  EXPECT_EQ(la.Get(3), kLineDoubleWidth);
  EXPECT_EQ(la.Get(4), kLineDoubleTop);
  EXPECT_EQ(la.Get(5), kLineDoubleBottom);
  EXPECT_EQ(la.Get(1000), 0);
  la.Set(-1000, 3);  // ignored
  Feed("\033[24H\n\n");  // two lines into the history
  EXPECT_EQ(la.Get(1), kLineDoubleWidth);
  EXPECT_EQ(la.Get(3), kLineDoubleBottom);
  EXPECT_EQ(la.Get(23), 0);
  // Within a region only its rows move.
  Feed("\033[2;10r\033[2H\033M");
  EXPECT_EQ(la.Get(1), kLineDoubleWidth);
  EXPECT_EQ(la.Get(2), 0);
  EXPECT_EQ(la.Get(3), kLineDoubleTop);
  // A smaller history keeps the newest rows.
  emu.Buffer().SetSVRowCount(30);
  EXPECT_EQ(la.Get(3), kLineDoubleTop);
  Feed("\033c");
  EXPECT_EQ(la.Get(3), 0);
}

TEST_F(Vt100, BlinkRunsAndBlinkPaint) {
  Feed("ab\033[5mcde\033[mf\033[2;79H\033[5mxyz");
  ASSERT_TRUE(emu.HasBlinkingText());
  ASSERT_EQ(emu.BlinkRuns().size(), 3u);  // the wrapped run ends at its row's end
  EXPECT_EQ(emu.BlinkRuns()[0].Row, 1);
  EXPECT_EQ(emu.BlinkRuns()[0].First, 3);
  EXPECT_EQ(emu.BlinkRuns()[0].Last, 5);
  EXPECT_EQ(emu.BlinkRuns()[1].First, 79);
  EXPECT_EQ(emu.BlinkRuns()[1].Last, 80);
  EXPECT_EQ(emu.BlinkRuns()[2].Row, 3);
  host.canvas.ops.clear();
  emu.BlinkPaint(0);
  ASSERT_FALSE(host.canvas.ops.empty());
  for (const auto& op : host.canvas.ops) EXPECT_EQ(op.kind, test::CanvasOp::Fill);
  EXPECT_EQ(host.canvas.ops[0].rect, (TQxRect{16, 0, 40, 12}));
  host.canvas.ops.clear();
  emu.BlinkPaint(1);
  ASSERT_FALSE(host.canvas.Texts().empty());
  EXPECT_EQ(host.canvas.Texts()[0].text, "cde");
  Feed("\033[m\033[2J");
  EXPECT_FALSE(emu.HasBlinkingText());
}

TEST_F(Vt100, KeyTranslation) {
  EXPECT_EQ(Key(0x26), 0);  // up arrow
  EXPECT_EQ(host.sent, "\033[A");
  host.sent.clear();
  Feed("\033[?1h");
  Key(0x26);
  EXPECT_EQ(host.sent, "\033OA");
  host.sent.clear();
  Feed("\033[?2l");  // VT52
  Key(0x26);
  EXPECT_EQ(host.sent, "\033A");
  host.sent.clear();
  Feed("\033<\033=");
  Key(0x65);  // keypad 5, application mode
  EXPECT_EQ(host.sent, "\033Ou");
  host.sent.clear();
  Feed("\033>");
  Key(0x65);
  EXPECT_EQ(host.sent, "5");
  host.sent.clear();
  // Backspace goes out as DEL; shift+Backspace as BS.
  Key(0x08);
  Key(0x08, kShiftKey);
  EXPECT_EQ(host.sent, "\x7f\x08");
  host.sent.clear();
  // Keys the map does not know are left for the key press.
  EXPECT_EQ(Key(0x41), 0x41);
  EXPECT_EQ(Key(0x41, kCtrlKey), 0x41);
  EXPECT_EQ(host.sent, "");
}

TEST_F(Vt100, HeldKeyWithAutoRepeatOffSendsOnce) {
  Feed("\033[?8l");
  EXPECT_EQ(Key(0x26), 0);
  EXPECT_EQ(Key(0x8000 | 0x26), 0);
  EXPECT_EQ(Key(0x8000 | 0x26), 0);
  EXPECT_EQ(host.sent, "\033[A");
  Feed("\033[?8h");
  Key(0x8000 | 0x26);
  EXPECT_EQ(host.sent, "\033[A\033[A");
}

TEST_F(Vt100, EchoStopsAtEscapeAndNewLineMode) {
  host.halfDuplex = true;
  Key(0x08);  // DEL echoed locally: no visible character
  Key(0x26);  // ESC [ A: nothing echoed, cursor stays
  EXPECT_EQ(emu.Buffer().Row(), 1);
  host.sent.clear();
  host.halfDuplex = false;
  Feed("\033[20h");
  uint8_t cr = '\r';
  emu.KeyPress(cr);
  Key(0x2B);  // keypad Enter: CR, and LF in new-line mode
  EXPECT_EQ(host.sent, "\r\n\r\n");
}

TEST_F(Vt100, RowPainterDoubleWidthAndCharacterSets) {
  Feed("\033(0lqk\033(B ok\033#6");
  host.canvas.ops.clear();
  emu.Paint();
  const auto texts = host.canvas.Texts();
  ASSERT_GE(texts.size(), 2u);
  // Line drawing goes to its own font, with doubled advances.
  EXPECT_EQ(texts[0].font, "Terminal");
  EXPECT_EQ(texts[0].rect.Left, 0);
  EXPECT_EQ(texts[0].advances[0], 16);
  EXPECT_EQ(texts[0].text.size(), 3u);
  EXPECT_NE(texts[0].text, "lqk");  // mapped to glyph codes
  EXPECT_EQ(texts[1].x, 48);
  // The view starting on an even column moves the origin left by a cell.
  host.viewCol = 2;
  host.canvas.ops.clear();
  emu.Paint();
  EXPECT_EQ(host.canvas.Texts()[0].x, -8);
}

TEST_F(Vt100, RowPainterDoubleHeightAndReverse) {
  Feed("\033[2HTop\033#3\r\n\033[1mTop\033#4");
  host.canvas.ops.clear();
  emu.Paint();
  std::vector<test::CanvasOp> row3;
  for (const auto& t : host.canvas.Texts())
    if (t.rect.Top == 24) row3.push_back(t);
  ASSERT_FALSE(row3.empty());
  EXPECT_EQ(row3[0].y, 12);  // the bottom half draws the top's text from its y
  EXPECT_EQ(row3[0].text.substr(0, 3), "Top");
  Feed("\033[?5h");
  host.canvas.ops.clear();
  ASSERT_TRUE(emu.NeedsUpdate());
  emu.LazyPaint();
  const auto texts = host.canvas.Texts();
  ASSERT_EQ(int(texts.size()) >= 24, true);
  EXPECT_EQ(texts[0].back, emu.Buffer().DefForeColor());
}

// A host whose port is the slave side of a pseudo-terminal.
class PtyHost : public VtHost {
 public:
  int fd = -1;
  void PortSend(const uint8_t* data, size_t count) override {
    ASSERT_EQ(write(fd, data, count), ssize_t(count));
  }
};

std::string ReadFor(int fd, size_t want) {
  std::string got;
  char buf[256];
  while (got.size() < want) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) break;
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, size_t(n));
  }
  return got;
}

TEST(Vt100Pty, RepliesReachTheFarEnd) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios tio{};
  tcgetattr(slave, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  PtyHost host;
  host.fd = slave;
  TQxVT100Emulator emu(nullptr);
  emu.SetInternal(true);
  emu.SetTerminal(&host);
  const std::string in = "\033[5;10H\033[6n\033[c";
  emu.ProcessBlock(reinterpret_cast<const uint8_t*>(in.data()), in.size());
  const std::string want = "\033[5;10R\033[?1;0c";
  EXPECT_EQ(ReadFor(master, want.size()), want);
  close(slave);
  close(master);
}

// ---------------------------------------------------------------------------
// Golden screen dumps.

class Vt100Golden : public ::testing::TestWithParam<const char*> {};

TEST_P(Vt100Golden, MatchesDumpInAnyChunking) {
  EXPECT_EQ(test::CheckGolden(ZAV_TERMINAL_TEST_DATA, GetParam(), true, {1, 5, 64}), "");
}

INSTANTIATE_TEST_SUITE_P(Vt100, Vt100Golden,
                         ::testing::Values("vt100_align", "vt100_linedraw", "vt100_sgr", "vt100_edit",
                                           "vt100_dwl_tabs", "vt100_dwl_drop"));

}  // namespace
}  // namespace zav
