// The plot's CSV without a window: mero term --csv through a null-modem cable,
// and mero replay --csv of the stamped capture of the same session, which
// gives the same file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <regex>
#include <sstream>

#include "tests/support/ToolHarness.h"

namespace zav::test {
namespace {

using PlotCsv = ToolTest;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Each case: what the device sends, the format asked for, and the CSV's
// columns after the time ones, row by row.
TEST_F(PlotCsv, TermWritesTheValuesAndReplayOfItsCaptureGivesTheSameFile) {
  struct Case {
    std::vector<std::string> format;
    std::string sent;
    std::vector<std::string> expected;  // header, then the value cells of each row
  };
  const std::vector<Case> cases = {
      {{}, "temp,rpm\r\n21.5,1200\r\n-3e-2,\r\nboot!\r\n1e6,-7\r\n", {"temp,rpm", "21.5,1200", "-0.03,", "1e+06,-7"}},
      {{"--plot-format", "labels"}, "a:1\nb=2 a=3\nc:4\n", {"a,b,c", "1,,", "3,2,", ",,4"}},
      {{"--plot-format", R"(T=(?<temp>[-\d.]+)C)"}, "x T=20.5C\nno\nT=-1C\n", {"temp", "20.5", "-1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent);
    const std::string n = std::to_string(&c - cases.data());
    const std::string a = std::to_string(2 * (&c - cases.data()) + 1), b = std::to_string(2 * (&c - cases.data()) + 2);
    ASSERT_EQ(StartCable(a + "," + b).size(), 2u);
    const std::string csv = dir + "/live" + n + ".csv", capture = dir + "/session" + n + ".cap";
    std::vector<std::string> args = {"term",      "COM" + b, "--idle", "0.2", "--timestamps",
                                     "--capture", capture,   "--csv",  csv};
    args.insert(args.end(), c.format.begin(), c.format.end());
    Child& receiver = Start(args, {}, true);
    ASSERT_TRUE(WaitReady(receiver, "COM" + b)) << Err(receiver);
    // The sender keeps its port open until the receiver has every row.
    Child& sender = Start({"term", "COM" + a, "--idle", "0.1"}, {}, true);
    ASSERT_TRUE(WaitReady(sender, "COM" + a)) << Err(sender);
    ASSERT_EQ(write(sender.stdinFd, c.sent.data(), c.sent.size()), ssize_t(c.sent.size()));
    // The rows are in the file while the session still runs.
    ASSERT_TRUE(WaitFor([&] { return Lines(ReadFile(csv)).size() == c.expected.size(); }))
        << ReadFile(csv) << Out(receiver) << Err(receiver) << Err(sender);
    CloseStdin(sender);
    ASSERT_EQ(Wait(sender), 0) << Err(sender);
    CloseStdin(receiver);
    ASSERT_EQ(Wait(receiver), 0) << Err(receiver);
    EXPECT_NE(Err(receiver).find(std::to_string(c.expected.size() - 1) + " rows"), std::string::npos) << Err(receiver);

    const std::vector<std::string> rows = Lines(ReadFile(csv));
    ASSERT_EQ(rows.size(), c.expected.size()) << ReadFile(csv);
    EXPECT_EQ(rows[0], "time,seconds," + c.expected[0]);
    const std::regex row(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d\d\d),(\d+\.\d\d\d),(.*))");
    for (size_t i = 1; i < rows.size(); ++i) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(rows[i], m, row)) << rows[i];
      EXPECT_EQ(m[3].str(), c.expected[i]);
    }

    const std::string replayed = dir + "/replayed" + n + ".csv";
    std::vector<std::string> replay = {"replay", "--csv", replayed};
    replay.insert(replay.end(), c.format.begin(), c.format.end());
    replay.push_back(capture);
    const RunResult r = Run(replay);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "");  // no screen dump
    EXPECT_EQ(ReadFile(replayed), ReadFile(csv));
  }
}

TEST_F(PlotCsv, BadOptionsAndCapturesWithoutStampsAreRefused) {
  WriteFile(dir + "/plain.cap", "1 2\n3 4\n");
  WriteFile(dir + "/stamped.cap", "[10:00:00.000] 1 2\nloose line\n");
  WriteFile(dir + "/good.cap", "[10:00:00.000] 1 2\n");
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string message;
  } cases[] = {
      {{"term", "COM1", "--plot-format", "labels"}, 2, "--plot-format goes with --csv"},
      {{"term", "COM1", "--csv", dir + "/x.csv", "--plot-format", "T=(\\d"}, 2, "--plot-format: bad pattern"},
      {{"replay", "--csv", dir + "/x.csv", "--plot-format", "("}, 2, "no FILE given"},
      {{"replay", "--csv", dir + "/x.csv", "--plot-format", "(", dir + "/stamped.cap"},
       2,
       "missing closing parenthesis"},
      {{"replay", "--csv", dir + "/x.csv", dir + "/plain.cap"}, 1, "plain.cap:1: no [HH:MM:SS.mmm] time stamp"},
      {{"replay", "--csv", dir + "/x.csv", dir + "/stamped.cap"}, 1, "stamped.cap:2: no [HH:MM:SS.mmm] time stamp"},
      {{"replay", "--csv", dir + "/no/such/x.csv", dir + "/good.cap"}, 1, "No such file or directory"},
      {{"replay", "--csv", dir + "/x.csv", "--date", "2024-02-30", dir + "/good.cap"}, 2, "--date must be a date"},
      {{"replay", "--date", "2024-02-03", dir + "/good.cap"}, 2, "--plot-format and --date go with --csv"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const RunResult r = Run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

// The capture's stamps carry no date: it comes from --date, or from the time
// the file was last written, counted back over the midnights its lines pass.
TEST_F(PlotCsv, ReplayDatesTheLinesFromTheOptionOrTheFile) {
  const std::string capture = dir + "/night.cap";
  WriteFile(capture, "[23:59:59.990] 1\n[00:00:00.010] 2\n[13:00:00.000] 3\n[00:00:00.500] 4\n");
  const std::string dated =
      "2024-01-01T23:59:59.990,0.000,1\n2024-01-02T00:00:00.010,0.020,2\n"
      "2024-01-02T13:00:00.000,46800.010,3\n2024-01-03T00:00:00.500,86400.510,4\n";
  RunResult r = Run({"replay", "--csv", dir + "/a.csv", "--date", "2024-01-01", capture});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadFile(dir + "/a.csv"), "time,seconds,1\n" + dated);

  // Written at 2024-01-03 00:00:30 local time: the last line's day.
  std::tm written{};
  written.tm_year = 124;
  written.tm_mon = 0;
  written.tm_mday = 3;
  written.tm_sec = 30;
  written.tm_isdst = -1;
  const timespec times[2] = {{std::mktime(&written), 0}, {std::mktime(&written), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, capture.c_str(), times, 0), 0);
  r = Run({"replay", "--csv", dir + "/b.csv", capture});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadFile(dir + "/b.csv"), "time,seconds,1\n" + dated);

  // Lines just before midnight, the file closed just after it: their day is
  // the one before the file's.
  WriteFile(capture, "[23:59:58.000] 1\n[23:59:59.990] 2\n");
  written.tm_sec = 10;
  const timespec after[2] = {{std::mktime(&written), 0}, {std::mktime(&written), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, capture.c_str(), after, 0), 0);
  r = Run({"replay", "--csv", dir + "/c.csv", capture});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(ReadFile(dir + "/c.csv"),
            "time,seconds,1\n2024-01-02T23:59:58.000,0.000,1\n2024-01-02T23:59:59.990,1.990,2\n");
}

}  // namespace
}  // namespace zav::test
