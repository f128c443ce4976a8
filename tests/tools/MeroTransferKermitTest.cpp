// mero send and recv with the Kermit protocol: its options, a batch into
// --dir with the history, and a cancel that reaches both ends.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/ToolHarness.h"

namespace zav::test {
namespace {

using KermitTransfer = ToolTest;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(KermitTransfer, OptionsAreCheckedBeforeThePortOpens) {
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  WriteFile(dir + "/f.bin", "x");
  const std::string f = dir + "/f.bin";
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"send", ends[0], "--protocol", "kermit", "--packet-length", "19", f},
           {"send", ends[0], "--protocol", "kermit", "--packet-length", "1025", f},
           {"send", ends[0], "--protocol", "kermit", "--windows", "28", f},
           {"send", ends[0], "--protocol", "kermit", "--check", "4", f},
           {"send", ends[0], "--protocol", "kermit", "--timeout", "0", f},
           {"send", ends[0], "--protocol", "kermit", "--eol", "1", f},
           {"send", ends[0], "--protocol", "kermit", "--eol", "32", f},
           {"send", ends[0], "--protocol", "kermit", "--ctl-prefix", "##", f},
           {"send", ends[0], "--protocol", "kermit", "--8bit-prefix", "Q", f},
           {"send", ends[0], "--protocol", "kermit", "--repeat-prefix", "A", f},
           {"recv", ends[1], "--protocol", "kermit", "--file", "f"},
           {"recv", ends[1], "--protocol", "kermit", "--pad-count", "95"}}) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.exitCode, 2) << args[args.size() - 2] << " " << args.back() << ": " << r.err;
  }
  const RunResult help = Run({"send", "--help", "--protocol", "kermit"});
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option : {"--packet-length", "--windows", "--check", "--timeout", "--pad-char", "--eol",
                             "--ctl-prefix", "--8bit-prefix", "--repeat-prefix", "--turn-delay"})
    EXPECT_TRUE(Contains(help.out, option)) << option;
}

TEST_F(KermitTransfer, ABatchArrivesUnderItsNamesWithTheHistory) {
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  mkdir((dir + "/out").c_str(), 0755);
  mkdir((dir + "/in").c_str(), 0755);
  WriteFile(dir + "/out/one.txt", "first\r\n");
  WriteFile(dir + "/out/two.bin", std::string(5000, '\0') + "\xFF\x01");
  WriteFile(dir + "/in/one.txt", "older");
  const std::string history = dir + "/MERO.HIS";
  Child& recv = Start({"recv", ends[1], "--protocol", "kermit", "--dir", dir + "/in", "--history", history});
  ASSERT_TRUE(WaitReady(recv, ends[1])) << Err(recv);
  const RunResult sent = Run({"send", ends[0], "--protocol", "kermit", "--history", history, dir + "/out/*.txt",
                              dir + "/out/two.bin"});
  EXPECT_EQ(sent.exitCode, 0) << sent.err;
  EXPECT_EQ(Wait(recv), 0) << Err(recv);
  EXPECT_EQ(ReadFile(dir + "/in/one.txt"), "older");
  EXPECT_EQ(ReadFile(dir + "/in/$ne.txt"), "first\r\n");
  EXPECT_EQ(ReadFile(dir + "/in/two.bin"), std::string(5000, '\0') + "\xFF\x01");
  EXPECT_TRUE(Contains(Err(recv), "received 5002 bytes into " + dir + "/in/two.bin")) << Err(recv);
  const std::string his = ReadFile(history);
  EXPECT_TRUE(Contains(his, "Kermit transmit finished OK")) << his;
  EXPECT_TRUE(Contains(his, "Kermit receive finished OK")) << his;
}

TEST_F(KermitTransfer, ASignalToTheSenderEndsBothAndThePartialFileGoes) {
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  mkdir((dir + "/in").c_str(), 0755);
  // Big enough to be still on its way when the signal comes.
  WriteFile(dir + "/big.bin", std::string(20 << 20, 'k'));
  Child& recv = Start({"recv", ends[1], "--protocol", "kermit", "--dir", dir + "/in"});
  ASSERT_TRUE(WaitReady(recv, ends[1])) << Err(recv);
  Child& send = Start({"send", ends[0], "--protocol", "kermit", "--repeat-prefix", "none", dir + "/big.bin"});
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(dir + "/in/big.bin"); })) << Err(send);
  kill(send.pid, SIGTERM);
  EXPECT_EQ(Wait(send), 1);
  EXPECT_TRUE(Contains(Err(send), "Cancel requested")) << Err(send);
  EXPECT_EQ(Wait(recv), 1);
  EXPECT_TRUE(Contains(Err(recv), "Cancel requested")) << Err(recv);
  EXPECT_FALSE(std::filesystem::exists(dir + "/in/big.bin"));
}

TEST_F(KermitTransfer, ASignalToTheReceiverEndsTheSenderToo) {
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  mkdir((dir + "/in").c_str(), 0755);
  WriteFile(dir + "/big.bin", std::string(20 << 20, 'k'));
  Child& recv = Start({"recv", ends[1], "--protocol", "kermit", "--dir", dir + "/in"});
  ASSERT_TRUE(WaitReady(recv, ends[1])) << Err(recv);
  Child& send = Start({"send", ends[0], "--protocol", "kermit", "--repeat-prefix", "none", dir + "/big.bin"});
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(dir + "/in/big.bin"); })) << Err(send);
  kill(recv.pid, SIGTERM);
  EXPECT_EQ(Wait(recv), 1);
  EXPECT_EQ(Wait(send), 1);
  EXPECT_TRUE(Contains(Err(send), "Cancel requested")) << Err(send);
}

}  // namespace
}  // namespace zav::test
