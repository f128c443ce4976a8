// mero send and recv with Xmodem and Ymodem: their options, the names they
// need, the history, the directories a batch carries.
#include <filesystem>

#include "tests/support/ToolHarness.h"

namespace zav::test {
namespace {

using XYmodemTool = ToolTest;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(XYmodemTool, OptionsAndNamesAreCheckedBeforeThePortOpens) {
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  WriteFile(dir + "/f.bin", "x");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"recv", ends[1], "--protocol", "xmodem-1k"},                       // Xmodem carries no name
           {"recv", ends[1], "--protocol", "ymodem", "--file", "f.bin"},       // Ymodem brings its own
           {"send", ends[0], "--protocol", "xmodem", "--block-wait", "0", dir + "/f.bin"},
           {"send", ends[0], "--protocol", "xmodem", "--handshake-retry", "x", dir + "/f.bin"},
           {"send", ends[0], "--protocol", "xmodem", "--include-directory", dir + "/f.bin"},
           {"send", ends[0], "--protocol", "ymodem", "--honor-directory", dir + "/f.bin"},
           {"recv", ends[1], "--protocol", "ymodem-g", "--include-directory"}}) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.exitCode, 2) << args[3] << " " << args[4] << ": " << r.err;
  }
  const RunResult sendHelp = Run({"send", "--protocol", "ymodem", "--help"});
  EXPECT_TRUE(Contains(sendHelp.out, "--include-directory")) << sendHelp.out;
  EXPECT_TRUE(Contains(sendHelp.out, "--block-wait TICKS")) << sendHelp.out;
  const RunResult recvHelp = Run({"recv", "--protocol", "ymodem-g", "--help"});
  EXPECT_TRUE(Contains(recvHelp.out, "--honor-directory")) << recvHelp.out;
}

TEST_F(XYmodemTool, AnXmodemFileGoesToAPathAndABatchKeepsItsDirectories) {
  std::filesystem::create_directories(dir + "/out/sub");
  std::filesystem::create_directories(dir + "/in");
  WriteFile(dir + "/out/sub/deep.bin", std::string(3000, 'd'));
  WriteFile(dir + "/out/top.bin", "top");
  const std::string history = dir + "/MERO.HIS";
  {
    const auto ends = StartCable();
    ASSERT_EQ(ends.size(), 2u);
    Child& recv = Start({"recv", ends[1], "--protocol", "xmodem-1k", "--file", dir + "/in/x.bin", "--history",
                         history, "--handshake-wait", "18"});
    ASSERT_TRUE(WaitReady(recv, ends[1])) << Err(recv);
    const RunResult sent = Run({"send", ends[0], "--protocol", "xmodem-1k", "--history", history,
                                dir + "/out/top.bin"});
    EXPECT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_EQ(Wait(recv), 0) << Err(recv);
    const std::string got = ReadFile(dir + "/in/x.bin");
    EXPECT_EQ(got, "top" + std::string(1021, '\x1A'));  // the 1K block's fill stays in an Xmodem file
  }
  {
    // Relative names with directories: the receiver makes them below --dir.
    const auto ends = StartCable();
    ASSERT_EQ(ends.size(), 2u);
    Child& recv = Start({"recv", ends[1], "--protocol", "ymodem", "--dir", dir + "/in", "--honor-directory",
                         "--history", history});
    ASSERT_TRUE(WaitReady(recv, ends[1])) << Err(recv);
    const RunResult sent = Run({"send", ends[0], "--protocol", "ymodem", "--include-directory", "--history",
                                history, dir + "/out/sub/deep.bin", dir + "/out/top.bin"});
    EXPECT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_EQ(Wait(recv), 0) << Err(recv);
    const std::string kept = dir.substr(1);  // the absolute path's directories, made relative
    EXPECT_EQ(ReadFile(dir + "/in/" + kept + "/out/sub/deep.bin"), std::string(3000, 'd'));
    EXPECT_EQ(ReadFile(dir + "/in/" + kept + "/out/top.bin"), "top");
    EXPECT_TRUE(Contains(Err(recv), "received 3000 bytes into " + dir + "/in/" + kept + "/out/sub/deep.bin"))
        << Err(recv);
  }
  const std::string his = ReadFile(history);
  for (const char* line : {"Xmodem1K transmit finished OK", "Xmodem1K receive finished OK",
                           "Ymodem transmit finished OK", "Ymodem receive finished OK"})
    EXPECT_TRUE(Contains(his, line)) << line << "\n" << his;
}

}  // namespace
}  // namespace zav::test
