// mero null-modem, mero ports and the common command-line behaviour.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include "tests/support/ToolHarness.h"

namespace zav::test {
namespace {

using Cable = ToolTest;

int OpenRaw(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

std::string ReadAtLeast(int fd, size_t n) {
  std::string got;
  char buf[4096];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      const ssize_t r = read(fd, buf, sizeof buf);
      if (r > 0) got.append(buf, size_t(r));
    }
  }
  return got;
}

TEST_F(Cable, RelaysEveryByteBothWaysIncludingLargeBlocks) {
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  const int a = OpenRaw(ends[0]);
  const int b = OpenRaw(ends[1]);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  ASSERT_EQ(write(a, "ping\0\xff\r\n", 8), 8);
  EXPECT_EQ(ReadAtLeast(b, 8), std::string("ping\0\xff\r\n", 8));
  // More than the kernel queues at once: arrives whole and in order while read.
  std::string big;
  for (int i = 0; i < 100000; ++i) big += char('A' + i % 26);
  std::string got;
  std::thread reader([&] { got = ReadAtLeast(a, big.size()); });
  size_t at = 0;
  while (at < big.size()) {
    const ssize_t w = write(b, big.data() + at, std::min<size_t>(4096, big.size() - at));
    if (w > 0) at += size_t(w);
  }
  reader.join();
  EXPECT_EQ(got, big);
  close(a);
  close(b);
}

TEST_F(Cable, MapsComNumbersWhileRunningAndRemovesTheLinksOnSigterm) {
  const auto ends = StartCable("7,8");
  ASSERT_EQ(ends.size(), 2u);
  char target[256] = {};
  ASSERT_GT(readlink((portsDir + "/com7").c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), ends[0]);

  const RunResult ports = Run({"ports"});
  EXPECT_EQ(ports.exitCode, 0);
  EXPECT_NE(ports.out.find("COM7*  " + ends[0]), std::string::npos) << ports.out;
  EXPECT_NE(ports.out.find("COM8*  " + ends[1]), std::string::npos) << ports.out;

  // A second cable may not take numbers that are mapped already.
  const RunResult clash = Run({"null-modem", "--com", "8,9"});
  EXPECT_EQ(clash.exitCode, 1);
  EXPECT_NE(clash.err.find("com8 already exists"), std::string::npos) << clash.err;
  EXPECT_EQ(access((portsDir + "/com9").c_str(), F_OK), -1) << "the failed cable left a link";

}

TEST_F(Cable, SigtermEndsTheCableAndTakesItsLinksAway) {
  Child& c = Start({"null-modem", "--com", "3,4"}, {}, true);
  ASSERT_TRUE(WaitFor([&] { return Out(c).find("COM4") != std::string::npos; })) << Err(c);
  EXPECT_EQ(access((portsDir + "/com3").c_str(), F_OK), 0);
  kill(c.pid, SIGTERM);
  EXPECT_EQ(Wait(c), 0);
  struct stat st {};
  EXPECT_EQ(lstat((portsDir + "/com3").c_str(), &st), -1);
  EXPECT_EQ(lstat((portsDir + "/com4").c_str(), &st), -1);
}

TEST_F(Cable, BadArgumentsAreUsageErrors) {
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"null-modem", "--com", "3"}, {"null-modem", "--com", "3,3"}, {"null-modem", "--com", "0,51"},
           {"null-modem", "--bogus"}, {"null-modem", "--flip", "1.5"}, {"null-modem", "--drop", "-0.1"},
           {"null-modem", "--insert", "x"}, {"null-modem", "--delay", "-5"}, {"null-modem", "--baud", "fast"},
           {"null-modem", "--baud", "0"}, {"null-modem", "--burst", "0"}, {"null-modem", "--noise-dir", "up"},
           {"null-modem", "--buffer", "0"}, {"exec"}, {"exec", "COM1"}, {"exec", "COM1", "--", },
           {"frobnicate"}, {}}) {
    const RunResult r = Run(args);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("mero"), std::string::npos);
  }
}

TEST_F(Cable, HelpOnEveryCommandAndTheVersion) {
  for (const std::string command : {"ports", "null-modem", "exec", "term", "sim", "replay"}) {
    const RunResult r = Run({command, "--help"});
    EXPECT_EQ(r.exitCode, 0) << command << r.err;
    EXPECT_EQ(r.out.rfind("usage: mero " + command, 0), 0u) << r.out;
  }
  const RunResult top = Run({"--help"});
  EXPECT_EQ(top.exitCode, 0);
  EXPECT_NE(top.out.find("null-modem"), std::string::npos);
  const RunResult version = Run({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out, "mero v3.04\n");
}

}  // namespace
}  // namespace zav::test
