#include <gtest/gtest.h>

#include <string>

#include "FakeTerminal.h"
#include "terminal/QXTrmEmu.h"

namespace zav {
namespace {

using test::CanvasOp;
using test::FakeTerminal;

struct Tty : ::testing::Test {
  TQxTTYEmulator emu{nullptr};
  FakeTerminal term;

  Tty() {
    emu.SetInternal(true);
    emu.SetTerminal(&term);
  }
  void Feed(const std::string& s) { emu.ProcessBlock(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
  std::string Row(int r) {
    const uint8_t* p = emu.Buffer().GetLineChars(r);
    std::string s(reinterpret_cast<const char*>(p), size_t(emu.Buffer().ColCount()));
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
  }
  void Settle() {
    emu.LazyPaint();
    term.canvas.ops.clear();
    emu.NeedsUpdate();
  }
};

TEST_F(Tty, BytesAndControls) {
  Feed("AB\r\nC");
  EXPECT_EQ(Row(1), "AB");
  EXPECT_EQ(Row(2), "C");
  EXPECT_EQ(emu.Buffer().Col(), 2);
  Feed("\x0c\x0b\x01\x1b");  // form feed, vertical tab and others are ignored
  EXPECT_EQ(Row(2), "C");
  EXPECT_EQ(emu.Buffer().Row(), 2);
  EXPECT_EQ(emu.Buffer().Col(), 2);
  Feed("\x07");
  EXPECT_EQ(term.bells, 1);
  EXPECT_EQ(emu.Buffer().Col(), 2);
  Feed("\b\b\b");  // no erase, stops at column 1
  EXPECT_EQ(emu.Buffer().Col(), 1);
  EXPECT_EQ(Row(2), "C");
  Feed("\tx\x7f\xe9");
  EXPECT_EQ(Row(2), std::string("C       x\x7f\xe9"));
  // The terminal's cursor event follows the buffer.
  ASSERT_FALSE(term.cursorEvents.empty());
  EXPECT_EQ(term.cursorEvents.back(), std::make_pair(2, 12));
}

TEST_F(Tty, KeyPressSendsAndEchoes) {
  uint8_t ch = 0x08;
  emu.KeyPress(ch);
  EXPECT_EQ(ch, 0x7F);
  EXPECT_EQ(term.sent, "\x7f");
  EXPECT_EQ(Row(1), "");  // full duplex: no echo
  term.halfDuplex = true;
  ch = 0x08;
  emu.KeyPress(ch);
  EXPECT_EQ(Row(1), "\x7f");  // DEL is a character for the screen
  ch = 'a';
  emu.KeyPress(ch);
  EXPECT_EQ(term.sent, "\x7f\x7f" "a");
}

TEST_F(Tty, ClosedPortWithoutEchoChangesNothing) {
  term.portOpen = false;
  Settle();
  uint8_t ch = 'q';
  emu.KeyPress(ch);
  EXPECT_EQ(term.sent, "");
  EXPECT_EQ(Row(1), "");
  EXPECT_FALSE(emu.NeedsUpdate());
  // Without a terminal at all the key is dropped too.
  TQxTTYEmulator lone(nullptr);
  lone.KeyPress(ch);
  EXPECT_EQ(lone.Buffer().Col(), 1);
}

TEST_F(Tty, LazyPaintDrawsRunsOfTheChangedArea) {
  Settle();
  EXPECT_FALSE(emu.NeedsUpdate());
  Feed("ab");
  emu.Buffer().SetForeColor(0x0000FF);
  Feed("cd");
  emu.Buffer().SetForeColor(0xC0C0C0);  // the terminal's own colour again
  EXPECT_TRUE(emu.NeedsUpdate());
  emu.LazyPaint();
  auto texts = term.canvas.Texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].text, "ab");
  EXPECT_EQ(texts[0].fore, 0xC0C0C0u);
  EXPECT_EQ(texts[0].back, 0u);
  EXPECT_EQ(texts[0].rect, (TQxRect{0, 0, 16, 12}));
  EXPECT_EQ(texts[0].advances, (std::vector<int>{8, 8}));
  EXPECT_EQ(texts[0].font, "Terminal");
  EXPECT_EQ(texts[1].text, "cd");
  EXPECT_EQ(texts[1].fore, 0x0000FFu);
  EXPECT_EQ(texts[1].x, 16);
  EXPECT_FALSE(emu.Buffer().HasInvalidRect());
}

TEST_F(Tty, RunColoursAndLines) {
  TQxTerminalBuffer& b = emu.Buffer();
  Settle();
  b.SetForeColor(0x102030);
  b.SetBackColor(0x405060);
  b.SetCharAttrs(kAttrReverse | kAttrSelected);
  Feed("n");
  b.SetCharAttrs(kAttrReverse);
  Feed("r");
  b.SetCharAttrs(kAttrBold);
  Feed("b");
  b.SetCharAttrs(kAttrBold | kAttrReverse);
  Feed("B");
  b.SetCharAttrs(kAttrInvisible | kAttrBold);
  Feed("i");
  b.SetCharAttrs(kAttrUnderline | kAttrStrike);
  Feed("us");
  // Back to the terminal's colours so the follow-up does not repaint all.
  b.SetCharAttrs(0);
  b.SetForeColor(0xC0C0C0);
  b.SetBackColor(0);
  emu.LazyPaint();
  auto t = term.canvas.Texts();
  ASSERT_EQ(t.size(), 6u);
  // Reverse and selected cancel out.
  EXPECT_EQ(t[0].fore, 0x102030u);
  EXPECT_EQ(t[0].back, 0x405060u);
  EXPECT_EQ(t[1].fore, 0x405060u);
  EXPECT_EQ(t[1].back, 0x102030u);
  // Bold brightens the colour holding the cell's foreground.
  EXPECT_EQ(t[2].fore, 0x90A0B0u);
  EXPECT_EQ(t[2].back, 0x405060u);
  EXPECT_EQ(t[3].fore, 0x405060u);
  EXPECT_EQ(t[3].back, 0x90A0B0u);
  // Invisible draws in the background colour and is not brightened.
  EXPECT_EQ(t[4].fore, 0x405060u);
  EXPECT_EQ(t[5].text, "us");
  std::vector<CanvasOp> lines;
  for (const auto& op : term.canvas.ops)
    if (op.kind == CanvasOp::Line) lines.push_back(op);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].x, 40);
  EXPECT_EQ(lines[0].y, 10);  // underline: cell height - 2
  EXPECT_EQ(lines[0].x2, 56);
  EXPECT_EQ(lines[0].fore, 0x102030u);
  EXPECT_EQ(lines[1].y, 6);  // strike-through: half the cell height
}

TEST_F(Tty, BrighteningSaturates) {
  TQxTerminalBuffer& b = emu.Buffer();
  Settle();
  b.SetForeColor(0xF08010);
  b.SetCharAttrs(kAttrBold);
  Feed("x");
  b.SetCharAttrs(0);
  b.SetForeColor(0xC0C0C0);
  emu.LazyPaint();
  auto t = term.canvas.Texts();
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].fore, 0xFFFF90u);
}

TEST_F(Tty, ColourChangeRecoloursDefaultCells) {
  TQxTerminalBuffer& b = emu.Buffer();
  Feed("d");
  b.SetBackColor(0x00FF00);
  Feed("g");
  b.SetBackColor(0);
  Settle();
  term.color = 0x800000;  // the control's Color becomes blue
  emu.LazyPaint();
  EXPECT_EQ(b.GetLineBackColors(1)[0], 0x800000u);
  EXPECT_EQ(b.GetLineBackColors(1)[1], 0x00FF00u);
  EXPECT_EQ(b.GetLineBackColors(24)[79], 0x800000u);
  EXPECT_EQ(b.BackColor(), 0x800000u);
  // Everything was repainted: one or more runs on each of the 24 rows.
  int rowsDrawn = 0;
  for (const auto& op : term.canvas.Texts())
    if (op.x == 0) ++rowsDrawn;
  EXPECT_EQ(rowsDrawn, 24);
  EXPECT_FALSE(emu.RepaintAll());
}

TEST_F(Tty, PaintCoversTheClipAndStaysInTheView) {
  Feed("0123456789");
  Settle();
  term.canvas.clip = {16, 0, 40, 12};  // columns 3..5 of row 1
  emu.Paint();
  auto t = term.canvas.Texts();
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].text, "234");
  EXPECT_EQ(t[0].x, 16);
  // A view scrolled right: cells left of it are not drawn, x is relative.
  term.canvas.ops.clear();
  term.viewCol = 5;
  term.visibleCols = 76;
  term.canvas.clip = {0, 0, 10000, 10000};
  emu.Paint();
  t = term.canvas.Texts();
  ASSERT_FALSE(t.empty());
  EXPECT_EQ(t[0].text.substr(0, 6), "456789");
  EXPECT_EQ(t[0].x, 0);
  // Never past the last column, even with a clip wider than the screen.
  for (const auto& op : t) EXPECT_LE(op.rect.Right, 76 * 8);
  EXPECT_FALSE(emu.Buffer().HasInvalidRect());
}

TEST_F(Tty, WideRowsPaintWholeRuns) {
  TQxTerminalBuffer& b = emu.Buffer();
  b.SetColCount(300);
  term.visibleCols = 300;
  Settle();
  Feed(std::string(300, 'w'));
  emu.LazyPaint();
  auto t = term.canvas.Texts();
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(t[0].text, std::string(300, 'w'));
  EXPECT_EQ(t[0].advances.size(), 300u);
}

TEST(TerminalLinks, PairingOneToOne) {
  FakeTerminal t1, t2;
  {
    TQxTTYEmulator e1(nullptr), e2(nullptr);
    e1.SetTerminal(&t1);
    EXPECT_EQ(t1.emulator, &e1);
    EXPECT_EQ(LinkedEmulator(&t1), &e1);
    // A second emulator takes the terminal over; the first lets go.
    e2.SetTerminal(&t1);
    EXPECT_EQ(t1.emulator, &e2);
    EXPECT_EQ(e1.Terminal(), nullptr);
    EXPECT_EQ(e2.Terminal(), &t1);
    // Moving it to another terminal frees the first.
    e2.SetTerminal(&t2);
    EXPECT_EQ(t1.emulator, nullptr);
    EXPECT_EQ(LinkedEmulator(&t1), nullptr);
    EXPECT_EQ(t2.emulator, &e2);
    // The terminal side can detach too.
    t2.SetEmulator(nullptr);
    EXPECT_EQ(LinkedEmulator(&t2), nullptr);
    EXPECT_EQ(e2.Terminal(), nullptr);
    t1.SetEmulator(&e1);
    EXPECT_EQ(e1.Terminal(), &t1);
  }
  // Destroying a linked emulator leaves its terminal without one.
  EXPECT_EQ(t1.emulator, nullptr);
  EXPECT_EQ(LinkedEmulator(&t1), nullptr);
}

TEST(TerminalLinks, InternalEmulatorStaysOutOfTheList) {
  FakeTerminal t;
  TQxTTYEmulator e(nullptr);
  e.SetInternal(true);
  e.SetTerminal(&t);
  EXPECT_EQ(e.Terminal(), &t);
  EXPECT_EQ(t.emulator, nullptr);
  EXPECT_EQ(LinkedEmulator(&t), nullptr);
}

}  // namespace
}  // namespace zav
