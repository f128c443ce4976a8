// mero term through a null-modem cable: both ends talking, recordings, and the
// library's texts for ports that cannot be opened.
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "tests/support/ToolHarness.h"

namespace zav::test {
namespace {

using Term = ToolTest;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(Term, BothEndsOfACableExchangeBytesAndRecordThem) {
  ASSERT_EQ(StartCable("1,2").size(), 2u);
  const std::string capture = dir + "/b.cap", trace = dir + "/a.trc", log = dir + "/a.log";
  // B stays up while its stdin is open; A sends once B holds its end.
  Child& b = Start({"term", "COM2", "--idle", "0.5", "--capture", capture}, {}, true);
  ASSERT_TRUE(WaitReady(b, "COM2")) << Err(b);
  Child& a = Start({"term", "COM1", "--baud", "115200", "--idle", "30", "--trace", trace, "--log", log},
                   "ping from A\r\n", false);
  ASSERT_TRUE(WaitFor([&] { return Contains(Out(b), "ping from A\r\n"); })) << Err(a) << Err(b);
  const std::string reply = "pong from B\x01\xff\r\n";
  ASSERT_EQ(write(b.stdinFd, reply.data(), reply.size()), ssize_t(reply.size()));
  ASSERT_TRUE(WaitFor([&] { return Out(a) == reply; })) << Out(a) << Err(a);
  kill(a.pid, SIGTERM);  // A would wait 30 s of silence; a signal ends it cleanly
  EXPECT_EQ(Wait(a), 0) << Err(a);
  CloseStdin(b);
  EXPECT_EQ(Wait(b), 0) << Err(b);

  EXPECT_EQ(Out(b), "ping from A\r\n");
  EXPECT_EQ(ReadFile(capture), "ping from A\r\n");
  const std::string traced = ReadFile(trace);
  EXPECT_TRUE(Contains(traced, "ping[20]from[20]A[0D][0A]")) << traced;
  EXPECT_TRUE(Contains(traced, "pong[20]from[20]B[01][FF][0D][0A]")) << traced;
  EXPECT_TRUE(Contains(ReadFile(log), "MERO v3.04")) << ReadFile(log);
}

// The receiving end shows stamped lines or hex rows; a partial line or row is
// shown once the gap has passed, while the session still runs; the capture
// file holds what was shown.
TEST_F(Term, TimestampsAndHexShowWhatArrivesAndCaptureIt) {
  const std::string stamp = R"(\[\d\d:\d\d:\d\d\.\d\d\d\] )";
  struct Case {
    std::vector<std::string> options;
    std::string sent, partial;
    std::string shownWhileOpen, shownAtEnd;  // patterns
  };
  const std::vector<Case> cases = {
      {{"--timestamps"}, "one\r\ntwo\r\nprompt> ", "prompt> ",
       stamp + "one\r\n" + stamp + "two\r\n" + stamp + "prompt> \n", stamp + "one\r\n" + stamp + "two\r\n" + stamp + "prompt> \n"},
      {{"--hex", "--gap", "300"}, "0123456789abcdefXY\x01", "|XY.|",
       "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  \\|0123456789abcdef\\|\n"
       "00000010  58 59 01                                          \\|XY\\.\\|\n",
       "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  \\|0123456789abcdef\\|\n"
       "00000010  58 59 01                                          \\|XY\\.\\|\n00000013\n"},
      {{"--hex", "--timestamps"}, "AB", "|AB|", stamp + "00000000  41 42 {45}\\|AB\\|\n",
       stamp + "00000000  41 42 {45}\\|AB\\|\n00000002\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options[0]);
    const std::string a = std::to_string(2 * (&c - cases.data()) + 1), b = std::to_string(2 * (&c - cases.data()) + 2);
    ASSERT_EQ(StartCable(a + "," + b).size(), 2u);
    const std::string capture = dir + "/shown" + b + ".cap";
    std::vector<std::string> args = {"term", "COM" + b, "--capture", capture};
    args.insert(args.end(), c.options.begin(), c.options.end());
    Child& receiver = Start(args, {}, true);
    ASSERT_TRUE(WaitReady(receiver, "COM" + b)) << Err(receiver);
    const RunResult sender = Run({"term", "COM" + a, "--idle", "0.1"}, c.sent);
    ASSERT_EQ(sender.exitCode, 0) << sender.err;
    ASSERT_TRUE(WaitFor([&] { return Contains(Out(receiver), c.partial); })) << Out(receiver);
    EXPECT_TRUE(std::regex_match(Out(receiver), std::regex(c.shownWhileOpen))) << Out(receiver);
    CloseStdin(receiver);
    EXPECT_EQ(Wait(receiver), 0) << Err(receiver);
    EXPECT_TRUE(std::regex_match(Out(receiver), std::regex(c.shownAtEnd))) << Out(receiver);
    EXPECT_EQ(ReadFile(capture), Out(receiver));
  }
}

// The ready line: one line of a fixed form once the port is open, naming it
// and its settings as they are; --quiet leaves it out.
TEST_F(Term, TheReadyLineNamesThePortAndItsSettings) {
  Child* cable = nullptr;
  const auto ends = StartCable({"--com", "1,2", "--baud", "9600"}, &cable);
  ASSERT_EQ(ends.size(), 2u);
  ASSERT_TRUE(WaitReady(*cable));
  EXPECT_TRUE(Contains(Err(*cable), "mero: null-modem: " + ends[0] + " (COM1) <-> " + ends[1] +
                                        " (COM2): open at 9600 8N1\n"))
      << Err(*cable);
  struct Case {
    std::vector<std::string> args;
    std::string line;  // empty: none
  };
  for (const Case& c : std::vector<Case>{
           {{"term", "COM1", "--idle", "0"}, "mero: COM1: open at 19200 8N1\n"},
           {{"term", "COM1", "--idle", "0", "--baud", "300", "--data", "7", "--parity", "even", "--stop", "2",
             "--flow", "rtscts"},
            "mero: COM1: open at 300 7E2 rtscts\n"},
           {{"term", ends[0], "--idle", "0", "--parity", "mark"}, "mero: " + ends[0] + ": open at 19200 8M1\n"},
           {{"term", "COM1", "--idle", "0", "--quiet"}, ""},
       }) {
    const RunResult r = Run(c.args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, c.line) << c.args.back();
  }
}

TEST_F(Term, PipedSessionEndsAfterTheIdleSilence) {
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  // Nobody answers: the session sends and ends by itself, exit 0.
  const RunResult r = Run({"term", ends[0], "--idle", "0.2"}, "hello\n");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST_F(Term, MissingPortsGiveTheLibraryTextAndExit1) {
  for (const std::string& port : std::vector<std::string>{"COM9", "COM50", dir + "/no-such-device"}) {
    const RunResult r = Run({"term", port});
    EXPECT_EQ(r.exitCode, 1) << port;
    EXPECT_TRUE(Contains(r.err, "ie_BadId - Specified comport doesn't exist")) << r.err;
  }
}

TEST_F(Term, APortHeldByAnotherTermIsAlreadyOpen) {
  ASSERT_EQ(StartCable("5,6").size(), 2u);
  Child& holder = Start({"term", "COM5"}, {}, true);
  ASSERT_TRUE(WaitReady(holder, "COM5")) << Err(holder);
  const RunResult r = Run({"term", "COM5"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(Contains(r.err, "ie_Open - device already open")) << r.err;
  EXPECT_TRUE(Contains(r.err, "in use by another program")) << r.err;
  EXPECT_FALSE(Contains(r.err, "dialout")) << r.err;
}

TEST_F(Term, PermissionDeniedNamesTheDialoutGroup) {
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  std::vector<std::string> wrapper;
  if (geteuid() == 0) {
    // Root opens anything: run the tool as an unprivileged user instead.
    ASSERT_EQ(access("/usr/bin/setpriv", X_OK), 0) << "setpriv (util-linux) is needed to drop root";
    ASSERT_EQ(chmod(ends[0].c_str(), 0600), 0);
    wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  } else {
    ASSERT_EQ(chmod(ends[0].c_str(), 0), 0);
  }
  const RunResult r = Run({"term", ends[0]}, {}, std::chrono::seconds(20), wrapper);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_TRUE(Contains(r.err, "permission denied (is the user in the dialout group?)")) << r.err;
}

TEST_F(Term, BadOptionsAreUsageErrorsBeforeAnyPortOpens) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"term"},
                                                                 {"term", "COM1", "--baud", "fast"},
                                                                 {"term", "COM1", "--parity", "sometimes"},
                                                                 {"term", "COM1", "--data", "9"},
                                                                 {"term", "COM1", "--stop", "3"},
                                                                 {"term", "COM1", "--flow", "dtrdsr"},
                                                                 {"term", "COM1", "--dtr", "maybe"},
                                                                 {"term", "COM1", "--idle", "-1"},
                                                                 {"term", "COM1", "COM2"},
                                                                 {"term", "COM1", "--capture"},
                                                                 {"term", "COM1", "--gap", "0"},
                                                                 {"term", "COM1", "--gap", "5ms"}}) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.exitCode, 2) << args.back() << ": " << r.err;
  }
}

}  // namespace
}  // namespace zav::test

namespace zav::test {
namespace {

TEST_F(Term, OnATerminalCtrlBracketQuitsAndCtrlBracketTwiceSendsItself) {
  ASSERT_EQ(StartCable("1,2").size(), 2u);
  Child& peer = Start({"term", "COM2"}, {}, true);
  ASSERT_TRUE(WaitReady(peer, "COM2")) << Err(peer);
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  Child& user = Start({"term", "COM1"}, {}, false, {}, slave);
  close(slave);
  ASSERT_TRUE(WaitReady(user, "COM1")) << Err(user);
  const std::string keys = "hi\x1d\x1d!";
  ASSERT_EQ(write(master, keys.data(), keys.size()), ssize_t(keys.size()));
  ASSERT_TRUE(WaitFor([&] { return Out(peer) == "hi\x1d!"; })) << Out(peer);
  ASSERT_EQ(write(master, "\x1dq", 2), 2);
  EXPECT_EQ(Wait(user), 0) << Err(user);
  EXPECT_EQ(Out(peer), "hi\x1d!") << "the quit keys never reach the port";
  close(master);
}

TEST_F(Term, ReconnectWaitsForAPulledDeviceAndCarriesOnWithTheNewOne) {
  Child* cable = nullptr;
  ASSERT_EQ(StartCable({"--com", "2,3"}, &cable).size(), 2u);
  Child& stays = Start({"term", "COM2", "--reconnect"}, {}, true);
  Child& ends = Start({"term", "COM3"}, {}, true);
  // Both sessions are past their open (a device pulled during an open is an error of the open).
  ASSERT_TRUE(WaitReady(stays, "COM2")) << Err(stays);
  ASSERT_TRUE(WaitReady(ends, "COM3")) << Err(ends);
  ASSERT_EQ(write(stays.stdinFd, "ping\r\n", 6), 6);
  ASSERT_TRUE(WaitFor([&] { return Out(ends) == "ping\r\n"; })) << Err(stays) << Err(ends);
  Stop(*cable);
  // Without the option the session ends as it always did.
  EXPECT_EQ(Wait(ends), 1);
  EXPECT_TRUE(Contains(Err(ends), "mero: COM3: the device hung up\n")) << Err(ends);
  ASSERT_TRUE(WaitFor([&] { return Contains(Err(stays), "mero: COM2: the device hung up; waiting for it to come back"); }))
      << Err(stays);

  ASSERT_EQ(StartCable("2,3").size(), 2u);
  ASSERT_TRUE(WaitFor([&] { return Contains(Err(stays), "mero: COM2: reconnected"); })) << Err(stays);
  Child& far = Start({"term", "COM3", "--idle", "30"}, {}, true);
  ASSERT_TRUE(WaitReady(far, "COM3")) << Err(far);
  ASSERT_EQ(write(far.stdinFd, "from far\r\n", 10), 10);
  ASSERT_TRUE(WaitFor([&] { return Out(stays) == "from far\r\n"; })) << Out(stays) << Err(stays);
  ASSERT_EQ(write(stays.stdinFd, "and back\r\n", 10), 10);
  ASSERT_TRUE(WaitFor([&] { return Out(far) == "and back\r\n"; })) << Out(far);
  kill(far.pid, SIGTERM);
  EXPECT_EQ(Wait(far), 0) << Err(far);
  kill(stays.pid, SIGTERM);
  EXPECT_EQ(Wait(stays), 0) << Err(stays);
}

TEST_F(Term, RatesAreWhatTheDeviceTakesNotAFixedList) {
  ASSERT_EQ(StartCable("1,2").size(), 2u);
  for (const char* rate : {"12000000", "250000", "921600"}) {
    const RunResult r = Run({"term", "COM1", "--baud", rate, "--idle", "0.1"}, "x");
    EXPECT_EQ(r.exitCode, 0) << rate << ": " << r.err;
  }
  const RunResult zero = Run({"term", "COM1", "--baud", "0"});
  EXPECT_EQ(zero.exitCode, 2) << zero.err;
}

}  // namespace
}  // namespace zav::test
