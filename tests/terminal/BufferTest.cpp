#include <gtest/gtest.h>

#include <string>

#include "terminal/QXTrmBuf.h"

namespace zav {
namespace {

std::string RowText(TQxTerminalBuffer& b, int row) {
  const uint8_t* p = b.GetLineChars(row);
  return std::string(reinterpret_cast<const char*>(p), size_t(b.ColCount()));
}

std::string Trimmed(TQxTerminalBuffer& b, int row) {
  std::string s = RowText(b, row);
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

void Write(TQxTerminalBuffer& b, const std::string& s) {
  for (char c : s) b.WriteChar(uint8_t(c));
}

void DrainInvalid(TQxTerminalBuffer& b) {
  TQxRect r;
  while (b.GetInvalidRect(r)) {
  }
}

TEST(TerminalArray, StrideFillResizeAndScroll) {
  TqxTerminalArray a(1);
  EXPECT_EQ(a.GetItemPtr(0, 0), nullptr);  // nothing allocated yet
  a.SetDefaultItem('.');
  a.SetRowCount(3);
  a.SetColCount(5);
  auto* r0 = static_cast<uint8_t*>(a.GetItemPtr(0, 0));
  ASSERT_NE(r0, nullptr);
  EXPECT_EQ(r0[4], '.');
  // Three rows "AAAAA", "BBBBB", "CCCCC".
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 5; ++c) {
      const uint8_t v = uint8_t('A' + r);
      a.WriteItems(&v, 1, c, r);
    }
  // Same stride (8): cells beyond the width survive a shrink and reappear.
  a.SetColCount(6);
  a.SetColCount(5);
  EXPECT_EQ(static_cast<uint8_t*>(a.GetItemPtr(2, 4))[0], 'C');
  // Growing the rows keeps the last rows at the bottom.
  a.SetRowCount(4);
  EXPECT_EQ(static_cast<uint8_t*>(a.GetItemPtr(0, 0))[0], '.');
  EXPECT_EQ(static_cast<uint8_t*>(a.GetItemPtr(3, 0))[0], 'C');
  // Up by one over rows 1..3: B C . -> C . (fill)
  a.ScrollRows(1, 3, 1);
  EXPECT_EQ(static_cast<uint8_t*>(a.GetItemPtr(1, 0))[0], 'B');
  EXPECT_EQ(static_cast<uint8_t*>(a.GetItemPtr(2, 0))[0], 'C');
  EXPECT_EQ(static_cast<uint8_t*>(a.GetItemPtr(3, 0))[0], '.');
  a.ScrollRows(-1, 1, 3);
  EXPECT_EQ(static_cast<uint8_t*>(a.GetItemPtr(1, 0))[0], '.');
  EXPECT_EQ(static_cast<uint8_t*>(a.GetItemPtr(2, 0))[0], 'B');
  // A count beyond the height less one fills the whole range.
  a.ScrollRows(3, 0, 2);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(static_cast<uint8_t*>(a.GetItemPtr(r, 0))[0], '.');
  EXPECT_EQ(static_cast<uint8_t*>(a.GetItemPtr(3, 0))[0], 'C');
}

TEST(TerminalArray, InsertDeleteReplaceAndItemSizes) {
  TqxTerminalArray a(4);
  a.SetRowCount(1);
  a.SetColCount(4);
  const uint32_t v[4] = {1, 2, 3, 4};
  a.WriteItems(v, 10, 0, 0);  // clipped to the row
  a.SetDefaultItem(9);
  a.InsertItems(2, 0, 1);
  auto* p = static_cast<uint32_t*>(a.GetItemPtr(0, 0));
  EXPECT_EQ((std::vector<uint32_t>{p[0], p[1], p[2], p[3]}), (std::vector<uint32_t>{1, 9, 9, 2}));
  a.DeleteItems(5, 0, 2);
  EXPECT_EQ((std::vector<uint32_t>{p[0], p[1], p[2], p[3]}), (std::vector<uint32_t>{1, 9, 9, 9}));
  a.ReplaceItems(9, 7);
  EXPECT_EQ(p[3], 7u);
  EXPECT_EQ(TqxTerminalArray(3).ItemSize(), 1);
  EXPECT_EQ(TqxTerminalArray(2).ItemSize(), 2);
}

TEST(TerminalBuffer, FreshBuffer) {
  TQxTerminalBuffer b;
  EXPECT_EQ(b.ColCount(), 80);
  EXPECT_EQ(b.RowCount(), 24);
  EXPECT_EQ(b.SVRowCount(), 200);
  EXPECT_EQ(b.Row(), 1);
  EXPECT_EQ(b.Col(), 1);
  for (int c = 1; c <= 80; ++c) EXPECT_EQ(b.HorzTabAt(c), c % 8 == 1) << c;
  TQxRect r;
  ASSERT_TRUE(b.GetInvalidRect(r));
  EXPECT_EQ(r, (TQxRect{1, 1, 80, 24}));
  EXPECT_FALSE(b.GetInvalidRect(r));
  EXPECT_EQ(b.ForeColor(), 0xC0C0C0u);
  EXPECT_EQ(b.BackColor(), 0u);
  EXPECT_EQ(RowText(b, 1), std::string(80, ' '));
}

TEST(TerminalBuffer, SizeLimits) {
  TQxTerminalBuffer b;
  try {
    b.SetColCount(1);
    FAIL();
  } catch (const ETerminalError& e) {
    EXPECT_STREQ(e.what(), "TQxTerminalBuffer.tbSetColCount: new count too small");
  }
  try {
    b.SetRowCount(1);
    FAIL();
  } catch (const ETerminalError& e) {
    EXPECT_STREQ(e.what(), "TQxTerminalBuffer.tbSetRowCount: new count too small");
  }
  try {
    b.SetSVRowCount(1);
    FAIL();
  } catch (const ETerminalError& e) {
    EXPECT_STREQ(e.what(), "TQxTerminalBuffer.tbSetSVRowCount: new count too small");
  }
  EXPECT_EQ(b.ColCount(), 80);
  EXPECT_EQ(b.RowCount(), 24);
  EXPECT_EQ(b.SVRowCount(), 200);
  b.SetRowCount(300);
  EXPECT_EQ(b.RowCount(), 24);
  // A narrower buffer keeps the tab stops below its width.
  b.SetColCount(20);
  EXPECT_TRUE(b.HorzTabAt(17));
  EXPECT_FALSE(b.HorzTabAt(25));
}

TEST(TerminalBuffer, EightyFirstCharacterWrapsLate) {
  TQxTerminalBuffer b;
  Write(b, std::string(80, 'x'));
  EXPECT_EQ(b.Row(), 1);
  EXPECT_EQ(b.Col(), 80);
  EXPECT_TRUE(b.PendingWrap());
  EXPECT_EQ(RowText(b, 1), std::string(80, 'x'));
  b.WriteChar('y');
  EXPECT_EQ(RowText(b, 1), std::string(80, 'x'));
  EXPECT_EQ(Trimmed(b, 2), "y");
  EXPECT_EQ(b.Row(), 2);
  EXPECT_EQ(b.Col(), 2);
}

TEST(TerminalBuffer, WrapWithoutDelayOrAutoWrap) {
  TQxTerminalBuffer b;
  b.DelayedWrap = false;
  Write(b, std::string(80, 'x'));
  EXPECT_EQ(b.Row(), 2);
  EXPECT_EQ(b.Col(), 1);
  b.AutoWrap = false;
  b.DelayedWrap = true;
  Write(b, std::string(80, 'a') + "Z");
  EXPECT_EQ(Trimmed(b, 2), std::string(79, 'a') + "Z");  // the last column is overwritten
  EXPECT_EQ(b.Row(), 2);
}

TEST(TerminalBuffer, LineFeedAtBottomFillsHistory) {
  TQxTerminalBuffer b;
  Write(b, "top");
  b.SetCursorPosition(24, 1);
  Write(b, "bottom");
  b.LineFeed();
  EXPECT_EQ(Trimmed(b, 0), "top");  // the most recent history line
  EXPECT_EQ(Trimmed(b, 23), "bottom");
  EXPECT_EQ(Trimmed(b, 24), "");
  EXPECT_EQ(b.Row(), 24);
  EXPECT_EQ(b.HistoryLineCount(), 1);
}

TEST(TerminalBuffer, LineFeedAtRegionBottomDiscardsRegionTop) {
  TQxTerminalBuffer b;
  for (int r = 1; r <= 24; ++r) {
    b.SetCursorPosition(r, 1);
    Write(b, "row" + std::to_string(r));
  }
  b.SetScrollRegion(5, 10);
  EXPECT_TRUE(b.ScrollRegionActive());
  b.SetCursorPosition(10, 1);
  b.LineFeed();
  EXPECT_EQ(Trimmed(b, 4), "row4");
  EXPECT_EQ(Trimmed(b, 5), "row6");
  EXPECT_EQ(Trimmed(b, 9), "row10");
  EXPECT_EQ(Trimmed(b, 10), "");
  EXPECT_EQ(Trimmed(b, 11), "row11");
  EXPECT_EQ(Trimmed(b, 0), "");  // nothing went into the history
  EXPECT_EQ(b.HistoryLineCount(), 0);
}

TEST(TerminalBuffer, ScrollRegionSetting) {
  TQxTerminalBuffer b;
  b.SetCursorPosition(7, 7);
  b.SetScrollRegion(24, 1);
  EXPECT_FALSE(b.ScrollRegionActive());
  b.SetScrollRegion(10, 5);
  EXPECT_TRUE(b.ScrollRegionActive());
  EXPECT_EQ(b.Row(), 5);
  EXPECT_EQ(b.Col(), 1);
  // Relative addressing counts from the region's top.
  b.AbsoluteAddressing = false;
  b.SetCursorPosition(2, 3);
  EXPECT_EQ(b.AbsCursorRow(), 6);
  EXPECT_EQ(b.Row(), 2);
  // Rows outside the screen are held to it instead of reaching past the buffer.
  b.AbsoluteAddressing = true;
  b.SetScrollRegion(0, 99);
  EXPECT_FALSE(b.ScrollRegionActive());
  b.SetScrollRegion(20, 99);
  ASSERT_TRUE(b.ScrollRegionActive());
  b.SetCursorPosition(24, 1);
  b.LineFeed();
  EXPECT_EQ(b.Row(), 24);
}

TEST(TerminalBuffer, EraseFillsWithCurrentColours) {
  TQxTerminalBuffer b;
  Write(b, "hello");
  b.SetForeColor(0x0000FF);
  b.EraseLine();
  EXPECT_EQ(RowText(b, 1), std::string(80, ' '));
  const uint32_t* fg = b.GetLineForeColors(1);
  for (int c = 0; c < 80; ++c) ASSERT_EQ(fg[c], 0x0000FFu);
  EXPECT_EQ(b.GetLineForeColors(2)[0], 0xC0C0C0u);
}

TEST(TerminalBuffer, DefBackColorRecoloursOnlyDefaultCells) {
  TQxTerminalBuffer b;
  b.SetBackColor(0x00FF00);
  Write(b, "g");
  b.SetBackColor(0);
  Write(b, "d");
  b.SetDefBackColor(0xFF0000);
  const uint32_t* bg = b.GetLineBackColors(1);
  EXPECT_EQ(bg[0], 0x00FF00u);
  EXPECT_EQ(bg[1], 0xFF0000u);
  EXPECT_EQ(bg[79], 0xFF0000u);
  EXPECT_EQ(b.GetLineBackColors(-100)[5], 0xFF0000u);  // history too
  EXPECT_EQ(b.BackColor(), 0u);                        // the current colour stays
}

TEST(TerminalBuffer, CursorMovedFlagAndEvent) {
  TQxTerminalBuffer b;
  std::vector<std::pair<int, int>> events;
  b.OnCursorMoved = [&](TQxTerminalBuffer* s, int r, int c) {
    EXPECT_EQ(s, &b);
    events.emplace_back(r, c);
  };
  EXPECT_TRUE(b.HasCursorMoved());  // the constructor moved it
  EXPECT_FALSE(b.HasCursorMoved());
  b.SetCursorPosition(3, 4);
  EXPECT_TRUE(b.HasCursorMoved());
  EXPECT_FALSE(b.HasCursorMoved());
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back(), std::make_pair(3, 4));
  b.SetCursorPosition(1, 1);
  events.clear();
  b.Backspace();  // at column 1: no move, no event
  EXPECT_TRUE(events.empty());
}

TEST(TerminalBuffer, ShrinkingHistoryKeepsNewestLines) {
  TQxTerminalBuffer b;
  for (int i = 0; i < 200; ++i) {
    Write(b, "L" + std::to_string(i));
    b.CarriageReturn();
    b.LineFeed();
  }
  // Line 199 is on screen row 24... lines 176..199 on screen? The cursor sits on
  // an empty row 24, so the screen shows lines 177..199 in rows 1..23.
  EXPECT_EQ(Trimmed(b, 1), "L177");
  EXPECT_EQ(Trimmed(b, 0), "L176");
  b.SetCursorPosition(20, 5);
  b.SetSVRowCount(50);
  EXPECT_EQ(b.SVRowCount(), 50);
  EXPECT_EQ(b.RowCount(), 24);
  EXPECT_EQ(Trimmed(b, 1), "L177");
  EXPECT_EQ(Trimmed(b, 0), "L176");
  EXPECT_EQ(Trimmed(b, -25), "L151");  // 26 history lines: rows 0 .. -25
  EXPECT_EQ(b.GetLineChars(-26), nullptr);
  EXPECT_EQ(b.Row(), 20);
  EXPECT_EQ(b.Col(), 5);
  EXPECT_EQ(b.HistoryLineCount(), 26);
  // Below RowCount, the screen shrinks with it.
  b.SetSVRowCount(10);
  EXPECT_EQ(b.RowCount(), 10);
}

TEST(TerminalBuffer, InvalidRectanglesMerge) {
  TQxTerminalBuffer b;
  DrainInvalid(b);
  EXPECT_FALSE(b.HasInvalidRect());
  b.SetCursorPosition(2, 3);
  b.WriteChar('a');
  b.SetCursorPosition(5, 10);
  b.WriteChar('b');
  EXPECT_TRUE(b.HasInvalidRect());
  TQxRect r;
  ASSERT_TRUE(b.GetInvalidRect(r));
  EXPECT_EQ(r, (TQxRect{3, 2, 10, 5}));
  EXPECT_FALSE(b.HasInvalidRect());
  // A long burst scattered over the screen still merges into its bounding box.
  for (int i = 0; i < 5000; ++i) {
    b.SetCursorPosition(1 + (i * 7) % 24, 1 + (i * 13) % 80);
    b.WriteChar('z');
  }
  ASSERT_TRUE(b.GetInvalidRect(r));
  EXPECT_EQ(r, (TQxRect{1, 1, 80, 24}));
}

TEST(TerminalBuffer, InsertAndDeleteCharacters) {
  TQxTerminalBuffer b;
  b.SetColCount(10);
  Write(b, "abcdefghij");
  b.SetCursorPosition(1, 3);
  b.SetBackColor(0x0000FF);
  b.InsertChars(2);
  EXPECT_EQ(RowText(b, 1), "ab  cdefgh");
  EXPECT_EQ(b.GetLineBackColors(1)[2], 0x0000FFu);
  EXPECT_EQ(b.GetLineBackColors(1)[4], 0u);  // moved with its character
  b.DeleteChars(100);
  EXPECT_EQ(RowText(b, 1), "ab        ");
  DrainInvalid(b);
  b.SetCursorPosition(1, 1);
  b.InsertMode = true;
  b.WriteChar('X');
  EXPECT_EQ(RowText(b, 1), "Xab       ");
  TQxRect r;
  ASSERT_TRUE(b.GetInvalidRect(r));
  EXPECT_EQ(r, (TQxRect{1, 1, 10, 1}));  // the shifted cells are repainted too
}

TEST(TerminalBuffer, InsertAndDeleteLinesInRegionNotify) {
  TQxTerminalBuffer b;
  for (int r = 1; r <= 24; ++r) {
    b.SetCursorPosition(r, 1);
    Write(b, std::to_string(r));
  }
  std::vector<std::tuple<int, int, int>> scrolls;
  b.OnRowsScrolled = [&](TQxTerminalBuffer*, int count, int top, int bottom) {
    scrolls.emplace_back(count, top, bottom);
  };
  b.SetScrollRegion(3, 8);
  b.SetCursorPosition(4, 1);
  b.InsertLines(2);
  EXPECT_EQ(Trimmed(b, 3), "3");
  EXPECT_EQ(Trimmed(b, 4), "");
  EXPECT_EQ(Trimmed(b, 6), "4");
  EXPECT_EQ(Trimmed(b, 8), "6");
  EXPECT_EQ(Trimmed(b, 9), "9");
  b.DeleteLines(1);
  EXPECT_EQ(Trimmed(b, 4), "");
  EXPECT_EQ(Trimmed(b, 5), "4");
  EXPECT_EQ(Trimmed(b, 8), "");
  ASSERT_EQ(scrolls.size(), 2u);
  EXPECT_EQ(scrolls[0], std::make_tuple(-2, 4, 8));
  EXPECT_EQ(scrolls[1], std::make_tuple(1, 4, 8));
  // Outside the region nothing moves.
  b.SetCursorPosition(20, 1);
  b.DeleteLines(1);
  EXPECT_EQ(Trimmed(b, 20), "20");
}

TEST(TerminalBuffer, EraseOperations) {
  TQxTerminalBuffer b;
  b.SetColCount(10);
  for (int r = 1; r <= 24; ++r) {
    b.SetCursorPosition(r, 1);
    Write(b, "0123456789");
  }
  b.SetCursorPosition(2, 5);
  b.EraseToEOL();
  EXPECT_EQ(RowText(b, 2), "0123      ");
  b.EraseToBOL();
  EXPECT_EQ(RowText(b, 2), "          ");
  b.SetCursorPosition(3, 8);
  b.EraseChars(5);  // continues on the next row
  EXPECT_EQ(RowText(b, 3), "0123456   ");
  EXPECT_EQ(RowText(b, 4), "  23456789");
  b.SetCursorPosition(24, 9);
  b.EraseChars(50);  // stops at the bottom row
  EXPECT_EQ(RowText(b, 24), "01234567  ");
  b.SetCursorPosition(10, 3);
  b.EraseToEOW();
  EXPECT_EQ(RowText(b, 10), "01        ");
  EXPECT_EQ(RowText(b, 11), "          ");
  EXPECT_EQ(RowText(b, 9), "0123456789");
  b.SetCursorPosition(6, 3);
  b.EraseToBOW();
  EXPECT_EQ(RowText(b, 6), "   3456789");
  EXPECT_EQ(RowText(b, 5), "          ");
  EXPECT_EQ(RowText(b, 1), "          ");
  EXPECT_EQ(RowText(b, 7), "0123456789");
  b.EraseScreen();
  EXPECT_EQ(RowText(b, 1), "          ");
  EXPECT_EQ(RowText(b, -17), "0123456789");  // screen row 7 went into the history
  EXPECT_EQ(b.HistoryLineCount(), 24);
  b.ClearAll();
  EXPECT_EQ(RowText(b, -17), "          ");
  EXPECT_EQ(b.HistoryLineCount(), 0);
}

TEST(TerminalBuffer, TabsAndCursorMoves) {
  TQxTerminalBuffer b;
  b.HorzTab();
  EXPECT_EQ(b.Col(), 9);
  b.SetCol(74);
  b.HorzTab();
  EXPECT_EQ(b.Col(), 80);  // no stop left: the last column
  b.SetCol(3);
  b.SetHorzTab();
  b.SetCol(1);
  b.HorzTab();
  EXPECT_EQ(b.Col(), 3);
  b.ClearAllHorzTabs();
  b.SetCol(1);
  b.HorzTab();
  EXPECT_EQ(b.Col(), 80);
  b.VertTab();
  EXPECT_EQ(b.Row(), 24);
  b.SetCursorPosition(1, 1);
  b.MoveCursorLeft(true, false);
  EXPECT_EQ(b.Col(), 1);
  b.SetCursorPosition(2, 1);
  b.MoveCursorLeft(true, false);
  EXPECT_EQ(b.Row(), 1);
  EXPECT_EQ(b.Col(), 80);
  b.NewLineMode = true;
  b.LineFeed();
  EXPECT_EQ(b.Row(), 2);
  EXPECT_EQ(b.Col(), 1);
  // Absolute addressing reaches into the history with rows of 0 or less.
  b.SetRow(-5);
  EXPECT_EQ(b.Row(), -5);
  b.SetRow(-1000);
  EXPECT_EQ(b.Row(), -175);
}

TEST(TerminalBuffer, ResetRestoresDefaults) {
  TQxTerminalBuffer b;
  b.SetForeColor(0x123456);
  b.SetCharAttrs(kAttrBold);
  b.InsertMode = true;
  b.AutoWrap = false;
  b.SetScrollRegion(3, 4);
  Write(b, "abc");
  b.ClearAllHorzTabs();
  b.Reset();
  EXPECT_EQ(b.ForeColor(), 0xC0C0C0u);
  EXPECT_EQ(b.CharAttrs(), 0);
  EXPECT_FALSE(b.InsertMode);
  EXPECT_TRUE(b.AutoWrap);
  EXPECT_FALSE(b.ScrollRegionActive());
  EXPECT_EQ(b.Row(), 1);
  EXPECT_TRUE(b.HorzTabAt(9));
  EXPECT_EQ(RowText(b, 3), std::string(80, ' '));
  EXPECT_EQ(b.GetLineForeColors(3)[0], 0xC0C0C0u);
}

}  // namespace
}  // namespace zav
