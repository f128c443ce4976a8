#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Resources.h"
#include "terminal/QXTrmMap.h"

namespace zav {
namespace {

std::vector<std::pair<std::string, std::string>> DrawItems(TQxCharSetMapping& m) {
  std::vector<std::pair<std::string, std::string>> out;
  std::string font, text;
  while (m.NextDrawItem(font, text)) out.emplace_back(font, text);
  return out;
}

TEST(MapHash, MatchesTheTableFunction) {
  EXPECT_EQ(QxMapHash(""), 0u);
  EXPECT_EQ(QxMapHash("A"), 0x41u);
  EXPECT_EQ(QxMapHash("AB"), 0x41u * 16 + 0x42);
  // Long keys fold the top nibble back in and clear it.
  const uint32_t h = QxMapHash("abcdefghijklmnop");
  EXPECT_EQ(h & 0xF0000000u, 0u);
  EXPECT_EQ(QxMapHash("x", 5), 5u * 16 + 'x');
}

TEST(CharQueue, GrowsAndStaysTerminated) {
  TCharQueue q;
  for (int i = 0; i < 100; ++i) q.Add(char('a' + i % 26));
  EXPECT_EQ(q.Length(), 100u);
  EXPECT_EQ(std::strlen(q.Text()), 100u);
  EXPECT_EQ(q.Copy().substr(0, 3), "abc");
  q.Clear();
  EXPECT_EQ(q.Copy(), "");
}

TEST(KeyboardMapping, AddGetAndDuplicates) {
  TQxKeyboardMapping m;
  EXPECT_EQ(m.Get("none"), "");
  EXPECT_TRUE(m.Add("k", "first"));
  EXPECT_FALSE(m.Add("k", "second"));
  EXPECT_EQ(m.Get("k"), "first");
  EXPECT_EQ(m.Get("K"), "");  // case matters
  EXPECT_EQ(m.Count(), 1);
  // Strings are cut to 63 bytes, keys included.
  m.Add(std::string(70, 'x'), std::string(80, 'v'));
  EXPECT_EQ(m.Get(std::string(63, 'x')), std::string(63, 'v'));
  m.Clear();
  EXPECT_EQ(m.Count(), 0);
  EXPECT_EQ(m.Get("k"), "");
}

TEST(KeyboardMapping, GeneratedTableHoldsTheLookupChain) {
  TQxKeyboardMapping m;
  ASSERT_TRUE(m.LoadFromResource("QXVT100KeyMap"));  // names match without case
  EXPECT_EQ(m.Count(), 221);
  EXPECT_EQ(m.Get("\\x25"), "VK_LEFT");
  EXPECT_EQ(m.Get("\\x0D"), "VK_RETURN");
  EXPECT_EQ(m.Get("\\x60"), "VK_NUMPAD0");
  EXPECT_EQ(m.Get("\\x90"), "VK_NUMLOCK");
  EXPECT_EQ(m.Get("\\x87"), "VK_F24");
  EXPECT_EQ(m.Get("\\x2A"), "");  // not a mapped code
  EXPECT_EQ(m.Get("VK_LEFT"), "DEC_LEFTc");
  EXPECT_EQ(m.Get("VK_NUMLOCK"), "DEC_PF1k");
  EXPECT_EQ(m.Get("ctrl+VK_DECIMAL"), "DEC_KP,k");
  EXPECT_EQ(m.Get("shift+VK_RETURN"), "DEC_LF");
  EXPECT_EQ(m.Get("DEC_UP1"), "\\e[A");
  EXPECT_EQ(m.Get("DEC_LEFT2"), "\\eOD");
  EXPECT_EQ(m.Get("DEC_PF45"), "\\eOS");
  EXPECT_EQ(m.Get("DEC_KP74"), "\\e?w");
  EXPECT_EQ(m.Get("DEC_KPE3"), "\\x0D");
  EXPECT_EQ(m.Get("DEC_KP,6"), "\\eOl");
  EXPECT_EQ(m.Get("DEC_NULL"), "\\x00");
}

TEST(KeyboardMapping, DamagedTablesLoadNothing) {
  ASSERT_TRUE(TQxKeyboardMapping().LoadFromResource("QXVT100KEYMAP"));  // registers the tables
  auto full = FindResource("QXVT100KEYMAP");
  ASSERT_TRUE(full);
  static std::vector<uint8_t> noTrailer, badLead, truncated;
  noTrailer.assign(full->begin(), full->end() - 4);
  badLead.assign(full->begin(), full->end());
  badLead[0] = 'X';
  truncated.assign(full->begin(), full->begin() + 100);
  RegisterResource("TEST_KEYMAP_NO_TRAILER", noTrailer);
  RegisterResource("TEST_KEYMAP_BAD_LEAD", badLead);
  RegisterResource("TEST_KEYMAP_TRUNCATED", truncated);
  for (const char* name : {"TEST_KEYMAP_NO_TRAILER", "TEST_KEYMAP_BAD_LEAD", "TEST_KEYMAP_TRUNCATED", "MISSING"}) {
    TQxKeyboardMapping m;
    m.Add("stale", "entry");
    EXPECT_FALSE(m.LoadFromResource(name)) << name;
    EXPECT_EQ(m.Count(), 0) << name;
    EXPECT_EQ(m.Get("\\x25"), "") << name;
    EXPECT_EQ(m.Get("stale"), "") << name;
  }
  for (const char* name : {"TEST_KEYMAP_NO_TRAILER", "TEST_KEYMAP_BAD_LEAD", "TEST_KEYMAP_TRUNCATED"})
    UnregisterResource(name);
}

TEST(CharSetMapping, RangesAndDrawLists) {
  TQxCharSetMapping m;
  EXPECT_TRUE(m.Add("set", 'a', 'c', 0x80, "Font"));
  EXPECT_EQ(m.Count(), 3);
  EXPECT_FALSE(m.Add("set", 'c', 'd', 0x90, "Other"));  // 'c' is taken: nothing added
  EXPECT_EQ(m.Count(), 3);
  EXPECT_TRUE(m.Add("other", 'c', 'd', 0x90, "Other"));
  m.BuildDrawList("set", "xabcdb");
  auto items = DrawItems(m);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[0], std::make_pair(std::string("<Default>"), std::string("x")));
  EXPECT_EQ(items[1], std::make_pair(std::string("Font"), std::string("\x80\x81\x82")));
  EXPECT_EQ(items[2], std::make_pair(std::string("<Default>"), std::string("d")));
  EXPECT_EQ(items[3], std::make_pair(std::string("Font"), std::string("\x81")));
  m.BuildDrawList("set", "");
  EXPECT_TRUE(DrawItems(m).empty());
  // A long run goes into one item.
  m.BuildDrawList("set", std::string(500, 'a'));
  items = DrawItems(m);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].second, std::string(500, '\x80'));
}

TEST(CharSetMapping, GeneratedTable) {
  TQxCharSetMapping m;
  ASSERT_TRUE(m.LoadFromResource("QXVT100CharSet"));
  EXPECT_EQ(m.Count(), 603);
  m.BuildDrawList("VT100-linedraw", "lqqk");
  auto items = DrawItems(m);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].first, "Terminal");
  EXPECT_EQ(items[0].second, "\xDA\xC4\xC4\xBF");
  m.BuildDrawList("VT100-USASCII", "A\xE9");
  items = DrawItems(m);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0], std::make_pair(std::string("<Default>"), std::string("A")));
  EXPECT_EQ(items[1], std::make_pair(std::string("Terminal"), std::string("\xE9")));
  m.BuildDrawList("VT100-UK", "#1");
  items = DrawItems(m);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].second, "\xA3" "1");
  m.BuildDrawList("VT100-ROM2", "_`~");
  EXPECT_EQ(DrawItems(m)[0].second, "\x20\x04\xFA");
  // Characters a set lacks are drawn unchanged in the terminal's font.
  m.BuildDrawList("VT100-UK", "\xE9");
  EXPECT_EQ(DrawItems(m)[0].first, "<Default>");
  std::vector<std::string> fonts{"stale"};
  m.GetFontNames(fonts);
  std::sort(fonts.begin(), fonts.end());
  EXPECT_EQ(fonts, (std::vector<std::string>{"<Default>", "Terminal"}));
}

TEST(CharSetMapping, MissingTrailerLoadsNothing) {
  ASSERT_TRUE(TQxCharSetMapping().LoadFromResource("QXVT100CHARSET"));  // registers the tables
  auto full = FindResource("QXVT100CHARSET");
  ASSERT_TRUE(full);
  static std::vector<uint8_t> noTrailer;
  noTrailer.assign(full->begin(), full->end() - 4);
  RegisterResource("TEST_CHARSET_NO_TRAILER", noTrailer);
  TQxCharSetMapping m;
  EXPECT_FALSE(m.LoadFromResource("TEST_CHARSET_NO_TRAILER"));
  EXPECT_EQ(m.Count(), 0);
  m.BuildDrawList("VT100-linedraw", "q");
  auto items = DrawItems(m);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0], std::make_pair(std::string("<Default>"), std::string("q")));
  UnregisterResource("TEST_CHARSET_NO_TRAILER");
}

}  // namespace
}  // namespace zav
