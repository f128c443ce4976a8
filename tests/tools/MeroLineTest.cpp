// The cable as a real line (--baud, --delay, noise) and mero exec. Timing is
// checked where it cannot flake: a line is never faster than its rate and a
// delayed byte never early; rates are measured over seconds, where the
// relay's batching (a few ms) is far below the 1% asked, and a line is slower
// only by the time the scheduler withheld from the relay and the test. Noise is checked
// against the counts the cable prints, read after it stopped, so nothing
// depends on how fast the relay ran.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <thread>

#include "tests/support/ToolHarness.h"

namespace zav::test {
namespace {

using Clock = std::chrono::steady_clock;

class Line : public ToolTest {
 protected:
  struct Counts {
    uint64_t carried = 0, flipped = 0, dropped = 0, inserted = 0;
  };

  std::vector<std::string> Open(const std::vector<std::string>& options) {
    const auto ends = StartCable(options, &cable_);
    for (const auto& e : ends) {
      const int fd = open(e.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
      termios t{};
      tcgetattr(fd, &t);
      cfmakeraw(&t);
      tcsetattr(fd, TCSANOW, &t);
      fds_.push_back(fd);
    }
    return ends;
  }
  void TearDown() override {
    for (int fd : fds_) close(fd);
    ToolTest::TearDown();
  }
  int A() const { return fds_.at(0); }
  int B() const { return fds_.at(1); }

  static void WriteAll(int fd, const std::string& data) {
    for (size_t at = 0; at < data.size();) {
      const ssize_t n = write(fd, data.data() + at, std::min<size_t>(4096, data.size() - at));
      if (n > 0) at += size_t(n);
    }
  }
  // Reads until `quiet` passes without a byte (or `limit` bytes came).
  static std::string ReadUntilQuiet(int fd, std::chrono::milliseconds quiet, size_t limit = SIZE_MAX) {
    std::string got;
    char buf[8192];
    while (got.size() < limit) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, int(quiet.count())) <= 0) break;
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, size_t(n));
    }
    return got;
  }
  // Stops the cable and reads the counts it printed for a direction ("a->b").
  Counts StopAndCount(const std::string& direction) {
    Stop(*cable_);
    const std::string err = Err(*cable_);
    Counts c;
    const size_t at = err.find(direction + ": ");
    EXPECT_NE(at, std::string::npos) << err;
    if (at != std::string::npos) {
      unsigned long long v[4] = {};
      std::sscanf(err.c_str() + at + direction.size() + 2,
                  "%llu bytes carried, %llu flipped, %llu dropped, %llu inserted", &v[0], &v[1], &v[2], &v[3]);
      c = {v[0], v[1], v[2], v[3]};
    }
    return c;
  }
  // Everything the cable delivered to `fd`: what came while it ran, and what
  // waits in the end's queue after it stopped.
  std::string DeliveredTo(int fd, const std::string& direction, Counts& counts) {
    std::string got = ReadUntilQuiet(fd, std::chrono::milliseconds(300));
    counts = StopAndCount(direction);
    if (got.size() < counts.carried) got += ReadUntilQuiet(fd, std::chrono::seconds(5), counts.carried - got.size());
    return got;
  }

  static std::string Random(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = char(gen());
    return s;
  }
  // Bytes that never repeat within 256, so what was lost or added lines up.
  static std::string Counting(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char(i & 0xFF);
    return s;
  }

  // Time the cable and this test spent runnable but not running (s), from
  // the scheduler's own account: what a loaded machine can take from a rate.
  double RunQueueSeconds() const {
    double ns = 0;
    for (const std::string& dir : {std::string("/proc/self/task"), "/proc/" + std::to_string(cable_->pid) + "/task"}) {
      std::error_code ec;
      for (const auto& task : std::filesystem::directory_iterator(dir, ec)) {
        unsigned long long running = 0, waiting = 0;
        if (std::sscanf(ReadFile(task.path() / "schedstat").c_str(), "%llu %llu", &running, &waiting) == 2)
          ns += double(waiting);
      }
    }
    return ns / 1e9;
  }

  Child* cable_ = nullptr;
  std::vector<int> fds_;
};

TEST_F(Line, PacedLineCarriesOneByteACharacterTime) {
  struct Case {
    std::vector<std::string> options;
    double bytesPerSecond;
    uint8_t mask;
  };
  // 8N1 is 10 bits a byte; 7E2 is 11 and carries only 7 data bits.
  for (const Case& c : {Case{{"--baud", "115200"}, 11520.0, 0xFF},
                        Case{{"--baud", "9600", "--data", "7", "--parity", "even", "--stop", "2"}, 9600.0 / 11, 0x7F}}) {
    Open(c.options);
    const size_t n = size_t(c.bytesPerSecond * 2.5);
    const std::string data = Random(n, 3);
    const double waitedBefore = RunQueueSeconds();
    std::thread writer([&] { WriteAll(A(), data); });
    std::string got;
    std::vector<std::pair<Clock::time_point, size_t>> arrivals;
    char buf[4096];
    while (got.size() < n) {
      pollfd p{B(), POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) break;
      const ssize_t r = read(B(), buf, sizeof buf);
      if (r <= 0) break;
      got.append(buf, size_t(r));
      arrivals.push_back({Clock::now(), got.size()});
    }
    writer.join();
    ASSERT_EQ(got.size(), n);
    std::string expected = data;
    for (auto& ch : expected) ch = char(uint8_t(ch) & c.mask);
    EXPECT_TRUE(got == expected);
    // From the first arrival to the last: the bytes after the first batch.
    // Never faster than the rate; slower only by what the machine withheld
    // from the cable and the test (a starved relay falls behind as a late
    // writer would on a real line).
    const double seconds = std::chrono::duration<double>(arrivals.back().first - arrivals.front().first).count();
    const double rate = double(n - arrivals.front().second) / seconds;
    const double ideal = double(n - arrivals.front().second) / c.bytesPerSecond;
    const double withheld = RunQueueSeconds() - waitedBefore;
    EXPECT_LE(rate, c.bytesPerSecond * 1.01) << c.options[1];
    EXPECT_LE(seconds, ideal * 1.01 + withheld) << c.options[1] << ": " << rate << " bytes/s, " << withheld
                                                << " s withheld";
    for (int fd : fds_) close(fd);
    fds_.clear();
    Stop(*cable_);
  }
}

TEST_F(Line, DelayHoldsEveryByteBack) {
  Open({"--baud", "115200", "--delay", "250"});
  for (int i = 0; i < 3; ++i) {
    const auto sent = Clock::now();
    ASSERT_EQ(write(A(), "x", 1), 1);
    const std::string got = ReadUntilQuiet(B(), std::chrono::seconds(5), 1);
    const auto ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    ASSERT_EQ(got, "x");
    EXPECT_GE(ms, 250.0 + 0.0868);
    EXPECT_LT(ms, 2000.0) << "a lone byte waits its delay, not a batch";
  }
}

TEST_F(Line, TheSameSeedHitsTheSameBytes) {
  const std::string data = Random(60000, 9);
  auto run = [&](const std::string& seed) {
    Open({"--flip", "0.002", "--drop", "0.002", "--insert", "0.002", "--burst", "3", "--seed", seed});
    WriteAll(A(), data);
    Counts counts;
    std::string got = DeliveredTo(B(), "a->b", counts);
    EXPECT_EQ(got.size(), counts.carried);
    EXPECT_GT(counts.flipped + counts.dropped + counts.inserted, 0u);
    for (int fd : fds_) close(fd);
    fds_.clear();
    return got;
  };
  const std::string first = run("42");
  const std::string second = run("42");
  const std::string other = run("43");
  EXPECT_NE(first, data);
  EXPECT_TRUE(first == second) << "the same seed and traffic must give the same line";
  EXPECT_FALSE(first == other);
}

TEST_F(Line, PrintedCountsMatchWhatTheLineDid) {
  const std::string data = Counting(40000);
  // Drops in bursts of 30, one way only: the other way stays clean.
  {
    Open({"--drop", "0.001", "--burst", "30", "--noise-dir", "ab", "--seed", "5"});
    WriteAll(A(), data);
    WriteAll(B(), data);
    // The clean way round carries all of it: read until it is all there.
    const std::string back = ReadUntilQuiet(A(), std::chrono::seconds(20), data.size());
    Counts counts;
    const std::string got = DeliveredTo(B(), "a->b", counts);
    EXPECT_TRUE(back == data);
    ASSERT_GT(counts.dropped, 0u);
    EXPECT_EQ(got.size(), data.size() - counts.dropped);
    // What arrived is the data with whole runs of 30 missing.
    size_t at = 0, run = 0;
    std::vector<size_t> runs;
    for (char ch : got) {
      while (at < data.size() && data[at] != ch) ++at, ++run;
      if (run > 0) runs.push_back(run), run = 0;
      ++at;
    }
    if (at < data.size()) runs.push_back(data.size() - at);
    for (size_t i = 0; i + 1 < runs.size(); ++i) EXPECT_EQ(runs[i] % 30, 0u) << i;
    for (int fd : fds_) close(fd);
    fds_.clear();
    const std::string err = Err(*cable_);
    EXPECT_NE(err.find("b->a: " + std::to_string(data.size()) + " bytes carried, 0 flipped, 0 dropped, 0 inserted"),
              std::string::npos)
        << err;
  }
  // Flips change exactly one bit of a byte each.
  {
    Open({"--flip", "0.01", "--seed", "6"});
    WriteAll(A(), data);
    Counts counts;
    const std::string got = DeliveredTo(B(), "a->b", counts);
    ASSERT_EQ(got.size(), data.size());
    uint64_t changed = 0;
    for (size_t i = 0; i < got.size(); ++i) {
      const unsigned diff = uint8_t(got[i] ^ data[i]);
      if (diff == 0) continue;
      ++changed;
      EXPECT_EQ(__builtin_popcount(diff), 1) << i;
    }
    EXPECT_EQ(changed, counts.flipped);
    EXPECT_GT(changed, 0u);
    for (int fd : fds_) close(fd);
    fds_.clear();
  }
  // Insertions add bytes around the data, which is all still there in order.
  {
    Open({"--insert", "0.01", "--seed", "7"});
    WriteAll(A(), data);
    Counts counts;
    const std::string got = DeliveredTo(B(), "a->b", counts);
    EXPECT_EQ(got.size(), data.size() + counts.inserted);
    EXPECT_GT(counts.inserted, 0u);
    size_t at = 0;
    for (char ch : got)
      if (at < data.size() && data[at] == ch) ++at;
    EXPECT_EQ(at, data.size());
    for (int fd : fds_) close(fd);
    fds_.clear();
  }
}

TEST_F(Line, AFullQueueHoldsTheWriterBackAndLosesNothing) {
  // 10 MB at 4 MB/s behind a 4096-byte queue: the writer cannot finish before
  // the line has carried nearly all of it.
  Open({"--baud", "40000000"});
  const std::string data = Random(10 << 20, 11);
  std::string got;
  got.reserve(data.size());
  std::thread reader([&] { got = ReadUntilQuiet(B(), std::chrono::seconds(10), data.size()); });
  const auto start = Clock::now();
  WriteAll(A(), data);
  const double writeSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  reader.join();
  ASSERT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);
  // What the kernel and the queue hold is far below 1 MB.
  EXPECT_GE(writeSeconds, double(data.size() - (1 << 20)) / 4e6);
}

TEST_F(Line, ExecRunsAProgramOnThePortAndPassesItsStatus) {
  const auto ends = Open({});
  // The program's last output, written just before it exits, arrives.
  Child& echo = Start({"exec", ends[1], "--", "sh", "-c", "read line; printf 'got %s' \"$line\"; exit 3"});
  ASSERT_EQ(write(A(), "hello\n", 6), 6);
  EXPECT_EQ(Wait(echo), 3) << Err(echo);
  EXPECT_EQ(ReadUntilQuiet(A(), std::chrono::seconds(2), 9), "got hello");
  // Stopped, the program still has its last word on the line (a cancel, say).
  Child& stopped = Start({"exec", ends[1], "--", "sh", "-c",
                          "trap 'printf bye; exit 5' TERM; printf up; while :; do sleep 0.05; done"});
  EXPECT_EQ(ReadUntilQuiet(A(), std::chrono::seconds(5), 2), "up");
  kill(stopped.pid, SIGTERM);
  EXPECT_EQ(Wait(stopped), 5) << Err(stopped);
  EXPECT_EQ(ReadUntilQuiet(A(), std::chrono::seconds(2), 3), "bye");
  // A relay that is killed takes its program along.
  const std::string pidFile = dir + "/program.pid";
  Child& killed = Start({"exec", ends[1], "--", "sh", "-c", "echo $$ > " + pidFile + "; exec sleep 60"});
  ASSERT_TRUE(WaitFor([&] { return ReadFile(pidFile).size() > 1; }));
  const pid_t program = pid_t(std::stol(ReadFile(pidFile)));
  kill(killed.pid, SIGKILL);
  Wait(killed);
  EXPECT_TRUE(WaitFor([&] {
    const std::string stat = ReadFile("/proc/" + std::to_string(program) + "/stat");
    return stat.empty() || stat.find(") Z") != std::string::npos;
  })) << "the program outlived its relay";
  Child& missing = Start({"exec", ends[1], "--", "no-such-program-here"});
  EXPECT_EQ(Wait(missing), 127);
  EXPECT_NE(Err(missing).find("cannot run no-such-program-here"), std::string::npos) << Err(missing);
}

}  // namespace
}  // namespace zav::test
