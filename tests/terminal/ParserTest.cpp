#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "terminal/QXTrmPsr.h"

namespace zav {
namespace {

// One delivered result: the command with its arguments and sequence text.
struct Event {
  int result;
  int command;
  std::vector<int> args;
  std::string seq;
  bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
  os << "{" << e.result << ", cmd " << e.command << ", (";
  for (int a : e.args) os << a << " ";
  return os << "), \"" << e.seq << "\"}";
}

// Feeds the bytes and returns every result other than "more needed" (3).
std::vector<Event> Feed(TQxVT100Parser& p, const std::string& bytes) {
  std::vector<Event> out;
  for (char c : bytes) {
    const int r = p.ProcessChar(uint8_t(c));
    if (r == kParseMore) continue;
    Event e{r, p.Command(), {}, {}};
    for (int i = 0; i < p.ArgumentCount(); ++i) e.args.push_back(p.GetArgument(i));
    p.GetSequence(e.seq);
    out.push_back(e);
  }
  return out;
}

Event Only(const std::string& bytes) {
  TQxVT100Parser p;
  auto events = Feed(p, bytes);
  EXPECT_EQ(events.size(), 1u) << bytes;
  return events.empty() ? Event{} : events.back();
}

TEST(VT100Parser, CharactersAndUpperBytes) {
  TQxVT100Parser p;
  auto ev = Feed(p, "a~\x7f\xe9");
  ASSERT_EQ(ev.size(), 4u);
  EXPECT_EQ(ev[0], (Event{1, 1, {}, "a"}));
  EXPECT_EQ(ev[1].result, 1);
  EXPECT_EQ(ev[2].result, 2);
  EXPECT_EQ(ev[3], (Event{2, 1, {}, "\xe9"}));
  EXPECT_EQ(p.GetArgument(-1), 0);
  EXPECT_EQ(p.GetArgument(5), 0);
}

TEST(VT100Parser, CursorPositionDefaults) {
  EXPECT_EQ(Only("\x1b[H"), (Event{4, 2, {1, 1}, "\x1b[H"}));
  EXPECT_EQ(Only("\x1b[;5H"), (Event{4, 2, {1, 5}, "\x1b[;5H"}));
  EXPECT_EQ(Only("\x1b[7;9f").args, (std::vector<int>{7, 9}));
  EXPECT_EQ(Only("\x1b[1;2;3H"), (Event{0, 0, {}, ""}));
  EXPECT_EQ(Only("\x1b[4A"), (Event{4, 3, {4}, "\x1b[4A"}));
  EXPECT_EQ(Only("\x1b[B").args, (std::vector<int>{1}));
  EXPECT_EQ(Only("\x1b[1;2C").result, 0);  // too many for a count
}

TEST(VT100Parser, RenditionLists) {
  EXPECT_EQ(Only("\x1b[m"), (Event{4, 16, {0}, "\x1b[m"}));
  EXPECT_EQ(Only("\x1b[1;;4m").args, (std::vector<int>{1, 0, 4}));
  EXPECT_EQ(Only("\x1b[1;5;31m").args, (std::vector<int>{1, 5, 31}));
  EXPECT_EQ(Only("\x1b[2;q").args, (std::vector<int>{2, 0}));
  // As-given commands keep -1 for empty parameters.
  EXPECT_EQ(Only("\x1b[r"), (Event{4, 113, {-1}, "\x1b[r"}));
  EXPECT_EQ(Only("\x1b[5;r").args, (std::vector<int>{5, -1}));
  EXPECT_EQ(Only("\x1b[n").args, (std::vector<int>{-1}));
  EXPECT_EQ(Only("\x1b[6n").args, (std::vector<int>{6}));
  EXPECT_EQ(Only("\x1b[c"), (Event{4, 41, {0}, "\x1b[c"}));
  EXPECT_EQ(Only("\x1b[?1;3h"), (Event{4, 13, {-2, 1, 3}, "\x1b[?1;3h"}));
}

TEST(VT100Parser, InvalidSequences) {
  EXPECT_EQ(Only("\x1b[=5h").result, 0);
  EXPECT_EQ(Only("\x1b[1?h").result, 0);
  EXPECT_EQ(Only("\x1b[99999999999A").result, 0);  // does not convert
  EXPECT_EQ(Only("\x1b[5~").result, 0);             // unknown final
  // The exact reset sequence wins whatever the parse says.
  EXPECT_EQ(Only("\x1b[61\"p"), (Event{4, 89, {}, "\x1b[61\"p"}));
  EXPECT_EQ(Only("\x1b[62\"p").result, 0);
  // After a dropped sequence the next byte is ordinary text again.
  TQxVT100Parser p;
  auto ev = Feed(p, "\x1b[=5hX");
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[1], (Event{1, 1, {}, "X"}));
}

TEST(VT100Parser, ControlBytesInsideASequence) {
  TQxVT100Parser p;
  auto ev = Feed(p, "\x1b[1\n2A");
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0], (Event{4, 117, {}, "\n"}));
  EXPECT_EQ(ev[1], (Event{4, 3, {12}, "\x1b[12A"}));
  // A second ESC abandons the first sequence.
  ev = Feed(p, "\x1b[1\x1b[B");
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0], (Event{4, 4, {1}, "\x1b[B"}));
  // CAN does not cancel.
  ev = Feed(p, "\x1b[5\x18" "C");
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].result, 0);
  EXPECT_EQ(ev[1], (Event{4, 5, {5}, "\x1b[5C"}));
  // Control commands.
  ev = Feed(p, "\x05\x07\b\t\x0b\x0c\r\x0e\x0f\x01");
  ASSERT_EQ(ev.size(), 10u);
  EXPECT_EQ(ev[0].command, 114);
  EXPECT_EQ(ev[1].command, 115);
  EXPECT_EQ(ev[2].command, 116);
  EXPECT_EQ(ev[3], (Event{4, 34, {1}, "\t"}));
  EXPECT_EQ(ev[4], (Event{4, 40, {1}, "\x0b"}));
  EXPECT_EQ(ev[5], (Event{4, 50, {2}, "\x0c"}));
  EXPECT_EQ(ev[6].command, 118);
  EXPECT_EQ(ev[7].command, 119);
  EXPECT_EQ(ev[8].command, 120);
  EXPECT_EQ(ev[9], (Event{0, 0, {}, ""}));
}

TEST(VT100Parser, EscapesAndDesignations) {
  EXPECT_EQ(Only("\x1b" "7").command, 17);
  EXPECT_EQ(Only("\x1b" "8").command, 18);
  EXPECT_EQ(Only("\x1b" "D").command, 121);
  EXPECT_EQ(Only("\x1b" "E").command, 76);
  EXPECT_EQ(Only("\x1b" "H").command, 65);
  EXPECT_EQ(Only("\x1b" "M").command, 88);
  EXPECT_EQ(Only("\x1b" "c").command, 89);
  EXPECT_EQ(Only("\x1b" "Z"), (Event{4, 41, {0}, "\x1b" "Z"}));
  EXPECT_EQ(Only("\x1b=").args, (std::vector<int>{-2, 999}));
  EXPECT_EQ(Only("\x1b>").command, 90);
  EXPECT_EQ(Only("\x1b" "1"), (Event{4, 0, {}, ""}));
  EXPECT_EQ(Only("\x1b<").result, 0);
  EXPECT_EQ(Only("\x1b#3"), (Event{4, 123, {0}, "\x1b#3"}));
  EXPECT_EQ(Only("\x1b#4").args, (std::vector<int>{1}));
  EXPECT_EQ(Only("\x1b#5").command, 127);
  EXPECT_EQ(Only("\x1b#6").command, 124);
  EXPECT_EQ(Only("\x1b#8").command, 122);
  EXPECT_EQ(Only("\x1b#9").result, 0);
  EXPECT_EQ(Only("\x1b(0"), (Event{4, 129, {0, 0}, "\x1b(0"}));
  EXPECT_EQ(Only("\x1b)A").args, (std::vector<int>{1, 65}));
  EXPECT_EQ(Only("\x1b(B").args, (std::vector<int>{0, 66}));
  EXPECT_EQ(Only("\x1b(X"), (Event{0, 0, {}, ""}));
  EXPECT_EQ(Only("\x1b( 0").result, 0);  // intermediate byte: not three bytes long
  EXPECT_EQ(Only("\x1b*0").result, 0);
}

TEST(VT100Parser, Vt52Mode) {
  TQxVT100Parser p;
  auto ev = Feed(p, "\x1b[?2l");
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0], (Event{4, 90, {-2, 2}, "\x1b[?2l"}));
  EXPECT_TRUE(p.VT52());
  ev = Feed(p, "\x1bY\x25\x2a");
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0], (Event{4, 2, {6, 11}, "\x1bY\x25\x2a"}));
  // A control byte between row and column keeps the row.
  ev = Feed(p, "\x1bY\x21\r\x22");
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[1].args, (std::vector<int>{2, 3}));
  ev = Feed(p, "\x1b" "A\x1b" "D\x1b" "H\x1b" "J\x1b" "K\x1b" "Z\x1b" "F\x1b" "G\x1b" "I\x1b=\x1b>\x1bQ");
  ASSERT_EQ(ev.size(), 12u);
  EXPECT_EQ(ev[0], (Event{4, 3, {1}, "\x1b" "A"}));
  EXPECT_EQ(ev[1].command, 6);
  EXPECT_EQ(ev[2].args, (std::vector<int>{1, 1}));
  EXPECT_EQ(ev[3], (Event{4, 50, {0}, "\x1bJ"}));
  EXPECT_EQ(ev[4].command, 52);
  EXPECT_EQ(ev[5].args, (std::vector<int>{52}));
  EXPECT_EQ(ev[6].command, 119);
  EXPECT_EQ(ev[7].command, 120);
  EXPECT_EQ(ev[8].command, 88);
  EXPECT_EQ(ev[9].command, 13);
  EXPECT_EQ(ev[10].command, 90);
  EXPECT_EQ(ev[11].result, 0);
  // ANSI sequences mean nothing in VT52 mode: "[" is not a VT52 escape.
  EXPECT_EQ(Feed(p, "\x1b[").back().result, 0);
  ev = Feed(p, "\x1b<");
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0], (Event{4, 13, {-2, 2}, "\x1b<"}));
  EXPECT_FALSE(p.VT52());
  EXPECT_EQ(Feed(p, "\x1b[2A").back().args, (std::vector<int>{2}));
}

TEST(VT100Parser, SplitAtEveryByteMatchesWhole) {
  const std::string stream =
      "ab\x1b[1;31mred\x1b[0m\r\n\x1b[12;40H\x1b(0lqk\x1b(B\x1b[?2l\x1bY  \x1b<\x1b#6\x1b[2J\x1b[1\n2A";
  TQxVT100Parser whole;
  const auto expected = Feed(whole, stream);
  // abab-style: the same stream in two pieces at every split point.
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    TQxVT100Parser p;
    auto ev = Feed(p, stream.substr(0, cut));
    auto rest = Feed(p, stream.substr(cut));
    ev.insert(ev.end(), rest.begin(), rest.end());
    ASSERT_EQ(ev, expected) << "cut at " << cut;
  }
}

TEST(VT100Parser, RunawaySequenceIsDropped) {
  TQxVT100Parser p;
  std::string s = "\x1b[";
  s += std::string(TQxVT100Parser::kMaxSequence + 10, '1');
  auto ev = Feed(p, s + "mZ");
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(ev.front().result, 0);
  EXPECT_EQ(ev.back(), (Event{1, 1, {}, "Z"}));
}

TEST(VT100Parser, ClearKeepsStateAndMode) {
  TQxVT100Parser p;
  Feed(p, "\x1b[?2l");
  Feed(p, "\x1b[3");
  p.Clear();
  EXPECT_EQ(p.Command(), 0);
  EXPECT_EQ(p.ArgumentCount(), 0);
  EXPECT_TRUE(p.VT52());
}

TEST(VT100Parser, IdleAfterAControlByteOutsideASequenceOnly) {
  TQxVT100Parser p;
  EXPECT_TRUE(p.Idle());
  p.ProcessChar('\n');
  EXPECT_TRUE(p.Idle());
  Feed(p, "\x1b[1");
  EXPECT_FALSE(p.Idle());
  p.ProcessChar('\r');  // inside the sequence: it resumes afterwards
  EXPECT_FALSE(p.Idle());
  EXPECT_EQ(Feed(p, "A").back(), (Event{4, 3, {1}, "\x1b[1A"}));
  EXPECT_TRUE(p.Idle());
}

// The event ProcessSequenceAt delivers, in Feed's form.
Event Taken(TQxVT100Parser& p, int result) {
  Event e{result, p.Command(), {}, {}};
  for (int i = 0; i < p.ArgumentCount(); ++i) e.args.push_back(p.GetArgument(i));
  p.GetSequence(e.seq);
  return e;
}

TEST(VT100Parser, SequenceTakenWholeMatchesByteByByte) {
  const std::string sequences[] = {
      "\x1b[H",          "\x1b[12;40H",    "\x1b[1;31m",     "\x1b[m",     "\x1b[;5H",     "\x1b[?25h",
      "\x1b[?2l",        "\x1b[61\"p",     "\x1b[1 q",       "\x1b[5?h",   "\x1b[:1m",     "\x1b[2J",
      "\x1b[99999999999H", "\x1b[0000000000007A", "\x1b[1;2;3;4;5;6;7;8;9;10;11;12;13;14;15;16m",
      "\x1b[3~",         "\x1b(0",         "\x1b)B",         "\x1b(Q",     "\x1b)1"};
  // Before each: nothing, a character, a control byte, a finished sequence.
  const std::string before[] = {"", "x", "\r", "\x1b[5C"};
  // After each: more text and sequences, which must go on the same way.
  const std::string after = "Z\x1b" "A\x1b[2Bq";
  for (const std::string& pre : before) {
    for (const std::string& seq : sequences) {
      TQxVT100Parser bytes;
      Feed(bytes, pre);
      const auto expected = Feed(bytes, seq);
      const auto expectedAfter = Feed(bytes, after);

      TQxVT100Parser whole;
      Feed(whole, pre);
      const std::string input = seq + after;
      size_t used = 0;
      const int result = whole.ProcessSequenceAt(reinterpret_cast<const uint8_t*>(input.data()), input.size(), used);
      ASSERT_GE(result, 0) << seq;
      EXPECT_EQ(used, seq.size()) << seq;
      ASSERT_EQ(expected.size(), 1u) << seq;
      EXPECT_EQ(Taken(whole, result), expected.back()) << "after \"" << pre << "\"";
      EXPECT_EQ(whole.VT52(), bytes.VT52()) << seq;
      EXPECT_EQ(Feed(whole, after), expectedAfter) << seq;
    }
  }
}

TEST(VT100Parser, SequenceTakenWholeDeclinesAndChangesNothing) {
  std::string tooLong = "\x1b[" + std::string(TQxVT100Parser::kMaxInBlock, '1') + "m";
  std::string tooMany = "\x1b[1";
  for (int i = 1; i < TQxVT100Parser::kMaxInBlockArgs + 1; ++i) tooMany += ";1";
  tooMany += "m";
  const std::string declined[] = {"\x1b[12", "\x1b[1\n2A", "\x1b[1\x90m", "\x1b[1\x1b[m", "\x1b(", "\x1b( 0",
                                  "\x1b" "D", "x\x1b[m",  tooLong,         tooMany};
  for (const std::string& seq : declined) {
    TQxVT100Parser p;
    Feed(p, "\x1b[4;7H");
    const Event keep = Taken(p, 0);
    size_t used = 99;
    EXPECT_EQ(p.ProcessSequenceAt(reinterpret_cast<const uint8_t*>(seq.data()), seq.size(), used), -1) << seq;
    EXPECT_EQ(used, 99u) << seq;
    EXPECT_EQ(Taken(p, 0), keep) << seq;
    EXPECT_TRUE(p.Idle());
  }
  // Not while a sequence is in progress, and not in VT52 mode.
  const std::string csi = "\x1b[m";
  size_t used = 0;
  TQxVT100Parser busy;
  Feed(busy, "\x1b[1");
  EXPECT_EQ(busy.ProcessSequenceAt(reinterpret_cast<const uint8_t*>(csi.data()), csi.size(), used), -1);
  TQxVT100Parser vt52;
  Feed(vt52, "\x1b[?2l");
  EXPECT_EQ(vt52.ProcessSequenceAt(reinterpret_cast<const uint8_t*>(csi.data()), csi.size(), used), -1);
}

}  // namespace
}  // namespace zav
