// mero replay against the terminal model's golden screen dumps.
#include "tests/support/ToolHarness.h"

namespace zav::test {
namespace {

using Replay = ToolTest;

const std::string kData = ZAV_TERMINAL_TEST_DATA;

TEST_F(Replay, FullDumpsMatchTheGoldenDumpsInAnyChunking) {
  for (const std::string name : {"tty_basic", "tty_wrap", "tty_scroll", "tty_oem"}) {
    for (const std::string chunk : {"1", "7", "4096"}) {
      const RunResult r = Run({"replay", "--dump", "full", "--chunk", chunk, kData + "/" + name + ".bin"});
      EXPECT_EQ(r.exitCode, 0) << r.err;
      EXPECT_EQ(r.out, ReadFile(kData + "/" + name + ".dump")) << name << " chunk " << chunk;
    }
  }
  for (const std::string name : {"vt100_align", "vt100_edit", "vt100_linedraw", "vt100_sgr"}) {
    const RunResult r = Run({"replay", "--emulator", "vt100", "--chunk", "5", kData + "/" + name + ".bin"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, ReadFile(kData + "/" + name + ".dump")) << name;
  }
}

TEST_F(Replay, DumpEachPrintsOneScreenPerFileAndFilesContinueTheSameScreen) {
  const std::string first = dir + "/first.bin", second = dir + "/second.bin", both = dir + "/both.bin";
  WriteFile(first, "line one\r\n\a");
  WriteFile(second, "line two");
  WriteFile(both, "line one\r\n\aline two");
  const RunResult each = Run({"replay", "--dump-each", first, second});
  const RunResult one = Run({"replay", first});
  const RunResult whole = Run({"replay", both});
  ASSERT_EQ(each.exitCode, 0) << each.err;
  EXPECT_EQ(each.out, one.out + whole.out);
  EXPECT_EQ(Run({"replay", first, second}).out, whole.out);
}

TEST_F(Replay, TextDumpIsTheHeaderAndTextOfTheFullDump) {
  const std::string stream = dir + "/s.bin";
  WriteFile(stream, "abc\r\ndef");
  const RunResult text = Run({"replay", "--dump", "text", "--rows", "3", "--cols", "10", stream});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  EXPECT_EQ(text.out,
            "# vtdump rows=3 cols=10 cursor=1,3 reverse=0 cursorvisible=1 scrollback=0 bells=0\n"
            "[text]\n"
            "abc       \n"
            "def       \n"
            "          \n");
  const RunResult full = Run({"replay", "--rows", "3", "--cols", "10", stream});
  EXPECT_EQ(full.out.rfind(text.out, 0), 0u);
  EXPECT_GT(full.out.size(), text.out.size());
}

// Found by fuzzing: one row or column was accepted and then failed inside the
// buffer, and a screen taller than the history silently stayed at 24 rows.
TEST_F(Replay, EveryScreenSizeFromTwoTo255IsTaken) {
  const std::string stream = dir + "/s.bin";
  WriteFile(stream, "x");
  for (const auto& [rows, cols] : std::vector<std::pair<std::string, std::string>>{{"2", "2"}, {"255", "255"}}) {
    const RunResult r = Run({"replay", "--dump", "text", "--rows", rows, "--cols", cols, stream});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("# vtdump rows=" + rows + " cols=" + cols + " cursor=0,1 ", 0), 0u) << r.out.substr(0, 80);
  }
}

TEST_F(Replay, RepliesToQueriesAreDiscarded) {
  const std::string stream = dir + "/q.bin";
  WriteFile(stream, "\x1b[c\x1b[5n\x1b[6n\x05ok");
  const RunResult r = Run({"replay", "--emulator", "vt100", "--dump", "text", "--rows", "2", "--cols", "4", stream});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "# vtdump rows=2 cols=4 cursor=0,2 reverse=0 cursorvisible=1 scrollback=0 bells=0\n[text]\nok  \n    \n");
}

TEST_F(Replay, MissingFilesAndBadOptions) {
  const std::string good = dir + "/g.bin";
  WriteFile(good, "x");
  const RunResult missing = Run({"replay", good, dir + "/missing.bin"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_EQ(missing.out, "") << "nothing is printed before every file was read";
  EXPECT_NE(missing.err.find("missing.bin"), std::string::npos) << missing.err;
  for (const auto& args : std::vector<std::vector<std::string>>{{"replay"},
                                                                 {"replay", "--emulator", "ansi", good},
                                                                 {"replay", "--chunk", "0", good},
                                                                 {"replay", "--rows", "x", good},
                                                                 {"replay", "--rows", "1", good},
                                                                 {"replay", "--cols", "1", good},
                                                                 {"replay", "--dump", "html", good}}) {
    EXPECT_EQ(Run(args).exitCode, 2) << args[1];
  }
}

}  // namespace
}  // namespace zav::test
