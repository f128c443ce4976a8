// mero send and mero recv with the ASCII protocol through a null-modem cable.
// Pacing is checked with a lower bound on the test's own clock: the sender
// cannot finish before the delays after its bytes have passed.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/ToolHarness.h"

namespace zav::test {
namespace {

using Transfer = ToolTest;
using Clock = std::chrono::steady_clock;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Text lines with every printable byte and a few high ones; never a Ctrl-Z,
// which the sender drops.
std::string SampleText(size_t size) {
  std::string text;
  for (size_t i = 0; text.size() < size; ++i) {
    text += (i % 50 == 49) ? std::string("\r\n") : std::string(1, char(i % 7 == 0 ? 0xA0 + i % 64 : ' ' + i % 95));
  }
  text.resize(size);
  return text;
}

TEST_F(Transfer, PacedAsciiSendArrivesWholeAtTheReceiver) {
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  const std::string text = SampleText(400);
  WriteFile(dir + "/send.txt", text);
  mkdir((dir + "/in").c_str(), 0755);
  const std::string history = dir + "/MERO.HIS";
  Child& recv = Start({"recv", ends[1], "--protocol", "ascii", "--baud", "115200", "--dir", dir + "/in", "--file",
                       "got.txt", "--eof-timeout", "55", "--history", history});
  // The receive ends after 3 s of silence, so a stall under load cannot cut the file.
  ASSERT_TRUE(WaitReady(recv, ends[1])) << Err(recv);

  const auto start = Clock::now();
  const RunResult sent = Run({"send", ends[0], "--protocol", "ascii", "--baud", "115200", "--char-delay", "2",
                              "--history", history, "--quiet", dir + "/send.txt"});
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  EXPECT_EQ(sent.exitCode, 0) << sent.err;
  // Every byte is followed by a busy-wait of 2 ms or a timer wait of a tick.
  EXPECT_GE(ms, 2.0 * double(text.size() - 1));
  EXPECT_EQ(sent.err, "") << "no progress line when stderr is not a terminal, no ready line with --quiet";

  EXPECT_EQ(Wait(recv), 0) << Err(recv);
  EXPECT_EQ(ReadFile(dir + "/in/got.txt"), text);
  EXPECT_TRUE(Contains(Err(recv), "received 400 bytes into " + dir + "/in/got.txt")) << Err(recv);
  const std::string his = ReadFile(history);
  EXPECT_TRUE(Contains(his, "Ascii transmit finished OK")) << his;
  EXPECT_TRUE(Contains(his, "Ascii receive finished OK")) << his;
}

TEST_F(Transfer, TranslationReachesTheWireAndAnExistingFileIsKept) {
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  WriteFile(dir + "/a.txt", "l1\r\nl2\r\n");
  WriteFile(dir + "/b.txt", "tail\n");
  WriteFile(dir + "/out.txt", "older file");
  Child& recv = Start({"recv", ends[1], "--protocol", "ascii", "--dir", dir, "--file", "out.txt", "--eof-timeout",
                       "36"});
  ASSERT_TRUE(WaitReady(recv, ends[1])) << Err(recv);
  // Two files go out one after the other with the same settings.
  const RunResult sent = Run({"send", ends[0], "--protocol", "ascii", "--cr-translation", "add-lf-after",
                              "--lf-translation", "add-cr-before", dir + "/a.txt", dir + "/b.txt"});
  EXPECT_EQ(sent.exitCode, 0) << sent.err;
  EXPECT_EQ(Wait(recv), 0) << Err(recv);
  EXPECT_EQ(ReadFile(dir + "/out.txt"), "older file");
  EXPECT_EQ(ReadFile(dir + "/$ut.txt"), "l1\r\n\r\nl2\r\n\r\ntail\r\n");
  EXPECT_TRUE(Contains(Err(recv), dir + "/$ut.txt")) << Err(recv);
}

TEST_F(Transfer, UnknownProtocolsAndMissingPortsFailWithTheirTexts) {
  WriteFile(dir + "/f.txt", "x");
  for (const std::string p : {"z-modem", "carrier-pigeon"}) {
    const RunResult s = Run({"send", "COM1", "--protocol", p, dir + "/f.txt"});
    EXPECT_EQ(s.exitCode, 1) << p;
    EXPECT_TRUE(Contains(s.err, "unknown protocol: " + p)) << s.err;
    const RunResult r = Run({"recv", "COM1", "--protocol", p, "--file", "f"});
    EXPECT_EQ(r.exitCode, 1) << p;
    EXPECT_TRUE(Contains(r.err, "unknown protocol: " + p)) << r.err;
  }
  for (const std::string& port : {std::string("COM9"), dir + "/no-such-device"}) {
    const RunResult s = Run({"send", port, "--protocol", "ascii", dir + "/f.txt"});
    EXPECT_EQ(s.exitCode, 1);
    EXPECT_TRUE(Contains(s.err, "ie_BadId - Specified comport doesn't exist")) << s.err;
    const RunResult r = Run({"recv", port, "--protocol", "ascii", "--file", "f"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Contains(r.err, "ie_BadId - Specified comport doesn't exist")) << r.err;
  }
}

// Every protocol option is read in the directions that take it (the run goes
// on to the port, which is missing: exit 1) and refused in the others (exit 2).
TEST_F(Transfer, ProtocolOptionsAreTakenOnlyInTheirDirections) {
  WriteFile(dir + "/f.txt", "x");
  const std::string port = dir + "/no-port";
  struct Row {
    std::string protocol;
    std::vector<std::string> option;
    bool send, recv;
  };
  for (const Row& row : std::vector<Row>{
           {"ascii", {"--cr-translation", "add-lf-after"}, true, true},
           {"ascii", {"--suppress-ctrl-z"}, true, true},
           {"ascii", {"--line-delay", "600000"}, true, false},
           {"ascii", {"--eol-char", "10"}, true, false},
           {"ascii", {"--eof-timeout", "18"}, false, true},
           {"xmodem", {"--handshake-retry", "1000"}, true, true},
           {"xmodem", {"--include-directory"}, false, false},
           {"ymodem", {"--include-directory"}, true, false},
           {"ymodem-g", {"--honor-directory"}, false, true},
           {"bplus", {"--quote", "control"}, true, true},
           {"bplus", {"--block-size", "2048"}, true, true},
           {"bplus", {"--resume"}, false, true},
           {"kermit", {"--check", "3"}, true, true},
           {"kermit", {"--8bit-prefix", "N"}, true, true},
           {"kermit", {"--repeat-prefix", "none"}, true, true},
           {"kermit", {"--literal-names"}, true, true},
           {"zmodem", {"--8k"}, true, true},
           {"zmodem", {"--recover"}, true, true},
           {"zmodem", {"--option-override"}, false, true},
           {"zmodem", {"--finish-retry", "3"}, false, true},
           {"zmodem", {"--include-directory"}, true, false}}) {
    for (const bool sending : {true, false}) {
      std::vector<std::string> args = {sending ? "send" : "recv", port, "--protocol", row.protocol};
      args.insert(args.end(), row.option.begin(), row.option.end());
      if (sending) {
        args.push_back(dir + "/f.txt");
      } else if (row.protocol == "ascii" || row.protocol == "xmodem") {
        args.insert(args.end(), {"--file", "f"});
      }
      const RunResult r = Run(args);
      const bool taken = sending ? row.send : row.recv;
      EXPECT_EQ(r.exitCode, taken ? 1 : 2) << args[0] << " " << row.protocol << " " << row.option[0] << ": " << r.err;
      EXPECT_EQ(Contains(r.err, "unexpected \"" + row.option[0] + "\""), !taken) << r.err;
    }
  }
}

TEST_F(Transfer, BadInputFailsBeforeThePortOpens) {
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  WriteFile(dir + "/f.txt", "x");
  // Usage errors: exit 2.
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"send", ends[0], dir + "/f.txt"},
           {"send", ends[0], "--protocol", "ascii"},
           {"send", ends[0], "--protocol", "ascii", "--char-delay", "-1", dir + "/f.txt"},
           {"send", ends[0], "--protocol", "ascii", "--eol-char", "256", dir + "/f.txt"},
           {"send", ends[0], "--protocol", "ascii", "--cr-translation", "double", dir + "/f.txt"},
           {"send", ends[0], "--protocol", "ascii", "--dir", dir, dir + "/f.txt"},
           {"recv", ends[1], "--protocol", "ascii"},
           {"recv", ends[1], "--protocol", "ascii", "--file", "../escape.txt"},
           {"recv", ends[1], "--protocol", "ascii", "--file", ".."},
           {"recv", ends[1], "--protocol", "ascii", "--file", "f", "--eof-timeout", "0"},
           {"recv", ends[1], "--protocol", "ascii", "--file", "f", "--char-delay", "5"},
           {"send", ends[0], "--protocol", "zmodem", "--file-option", "crc", dir + "/f.txt"},
           {"send", ends[0], "--protocol", "zmodem", "--honor-directory", dir + "/f.txt"},
           {"recv", ends[1], "--protocol", "zmodem", "--file-option", "protect"},
           {"recv", ends[1], "--protocol", "zmodem", "--skip-no-file"},
           {"recv", ends[1], "--protocol", "zmodem", "--finish-retry", "-1"},
           {"recv", ends[1], "--protocol", "zmodem", "--file", "f"}}) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.exitCode, 2) << args.back() << ": " << r.err;
  }
  // Failures of the work: exit 1, and nothing was opened or written.
  const RunResult missing = Run({"send", ends[0], "--protocol", "ascii", dir + "/f.txt", dir + "/none.txt"});
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_TRUE(Contains(missing.err, "cannot read " + dir + "/none.txt")) << missing.err;
  const RunResult noDir = Run({"recv", ends[1], "--protocol", "ascii", "--dir", dir + "/absent", "--file", "f"});
  EXPECT_EQ(noDir.exitCode, 1);
  EXPECT_TRUE(Contains(noDir.err, dir + "/absent")) << noDir.err;
  const RunResult badHistory =
      Run({"send", ends[0], "--protocol", "ascii", "--history", dir + "/absent/h.his", dir + "/f.txt"});
  EXPECT_EQ(badHistory.exitCode, 1);
  EXPECT_TRUE(Contains(badHistory.err, "history")) << badHistory.err;
  EXPECT_FALSE(std::filesystem::exists(dir + "/escape.txt"));
}

TEST_F(Transfer, ASignalCancelsBothEndsWithTheLibraryText) {
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  WriteFile(dir + "/slow.txt", std::string(40, 's'));
  Child& recv = Start({"recv", ends[1], "--protocol", "ascii", "--dir", dir, "--file", "part.txt"});
  ASSERT_TRUE(WaitReady(recv, ends[1])) << Err(recv);
  // 300 ms after every byte: the send is still running when the signal comes.
  Child& send = Start({"send", ends[0], "--protocol", "ascii", "--char-delay", "300", dir + "/slow.txt"});
  ASSERT_TRUE(WaitReady(send, ends[0])) << Err(send);
  kill(send.pid, SIGTERM);
  EXPECT_EQ(Wait(send), 1);
  EXPECT_TRUE(Contains(Err(send), "Cancel requested")) << Err(send);
  kill(recv.pid, SIGTERM);
  EXPECT_EQ(Wait(recv), 1);
  EXPECT_TRUE(Contains(Err(recv), "Cancel requested")) << Err(recv);
}

}  // namespace
}  // namespace zav::test
