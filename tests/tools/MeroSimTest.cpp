// mero sim answering a mero term across a null-modem cable.
#include <unistd.h>

#include "tests/support/ToolHarness.h"

namespace zav::test {
namespace {

using Sim = ToolTest;

TEST_F(Sim, GreetsEchoesAndAnswersMatchingLines) {
  ASSERT_EQ(StartCable("1,2").size(), 2u);
  Child& term = Start({"term", "COM2"}, {}, true);
  ASSERT_TRUE(WaitReady(term, "COM2")) << Err(term);
  Child& sim = Start({"sim", "COM1", "--echo", "--banner", "READY\\x21", "--respond", "VER?=SIM 1.0", "--respond",
                      "ID *=unit\\t42", "--respond", "ID 7=never: the first match answers"});
  auto says = [&](const std::string& text) {
    return WaitFor([&] { return Out(term).find(text) != std::string::npos; });
  };
  ASSERT_TRUE(says("READY!\r\n")) << Out(term) << Err(sim);
  auto send = [&](const std::string& text) {
    ASSERT_EQ(write(term.stdinFd, text.data(), text.size()), ssize_t(text.size()));
  };
  send("VER?\r\n");
  ASSERT_TRUE(says("READY!\r\nVER?\r\nSIM 1.0\r\n")) << Out(term);
  send("ID 7\r");
  ASSERT_TRUE(says("ID 7\runit\t42\r\n")) << Out(term);
  send("unknown\n");
  ASSERT_TRUE(says("unknown\n")) << Out(term);
  // An unmatched line gets its echo only: the next answer follows it directly.
  send("VER?\n");
  ASSERT_TRUE(says("unknown\nVER?\nSIM 1.0\r\n")) << Out(term);

  kill(sim.pid, SIGTERM);
  EXPECT_EQ(Wait(sim), 0) << Err(sim);
  CloseStdin(term);
  EXPECT_EQ(Wait(term), 0);
}

TEST_F(Sim, WithoutEchoOnlyAnswers) {
  ASSERT_EQ(StartCable("3,4").size(), 2u);
  Child& sim = Start({"sim", "COM3", "--respond", "*=ok"});
  ASSERT_TRUE(WaitReady(sim, "COM3")) << Err(sim);
  // The session stays until both answers are in; a third would follow at once.
  Child& term = Start({"term", "COM4", "--idle", "0"}, {}, true);
  ASSERT_TRUE(WaitReady(term, "COM4")) << Err(term);
  ASSERT_EQ(write(term.stdinFd, "a\r\nb\r\n", 6), 6);
  ASSERT_TRUE(WaitFor([&] { return Out(term).size() >= 8; })) << Out(term);
  ASSERT_EQ(write(term.stdinFd, "c\n", 2), 2);
  ASSERT_TRUE(WaitFor([&] { return Out(term).size() >= 12; })) << Out(term);
  CloseStdin(term);
  EXPECT_EQ(Wait(term), 0) << Err(term);
  EXPECT_EQ(Out(term), "ok\r\nok\r\nok\r\n") << "no echo between the answers";
}

TEST_F(Sim, BadRulesAreUsageErrors) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"sim"}, {"sim", "COM1", "--respond", "noequals"}, {"sim", "COM1", "--respond", "=x"},
           {"sim", "COM1", "--banner", "bad\\q"}, {"sim", "COM1", "--banner", "\\xZZ"}}) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.exitCode, 2) << args.back() << ": " << r.err;
  }
  const RunResult missing = Run({"sim", "COM9"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_NE(missing.err.find("ie_BadId - Specified comport doesn't exist"), std::string::npos) << missing.err;
}

}  // namespace
}  // namespace zav::test
