// Zmodem against lrzsz and against itself through a null-modem cable: every
// size class in one batch with names and dates kept, 8K subpackets, resuming
// a partial file, the file options, and a cancel from either side.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>

#include <cctype>

#include "tests/interop/InteropSupport.h"

namespace zav::test {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

off_t Size(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// Bytes the cable's noise hit, both ways (its counts on exit).
long NoiseHits(const std::string& cableErr) {
  long hits = 0;
  for (const char* kind : {" flipped", " dropped", " inserted"}) {
    for (size_t at = cableErr.find(kind); at != std::string::npos; at = cableErr.find(kind, at + 1)) {
      size_t start = at;
      while (start > 0 && std::isdigit(static_cast<unsigned char>(cableErr[start - 1]))) --start;
      hits += std::stol(cableErr.substr(start, at - start));
    }
  }
  return hits;
}

// The bytes the cable carried from its first end to its second (its count on exit).
long CarriedAtoB(const std::string& cableErr) {
  const size_t at = cableErr.find("a->b: ");
  return at == std::string::npos ? -1 : std::stol(cableErr.substr(at + 6));
}

int64_t MTime(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? int64_t(st.st_mtime) : -1;
}

void SetMTime(const std::string& path, int64_t seconds) {
  const timespec times[2] = {{time_t(seconds), 0}, {time_t(seconds), 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

class ZmodemInterop : public InteropTest {
 protected:
  // The batch: every size class once, each file with a date of its own.
  struct File {
    std::string name, data;
    int64_t date;
  };
  std::vector<File> MakeBatch(const std::string& dirPath, const std::vector<size_t>& sizes) {
    std::vector<File> files;
    for (size_t size : sizes) {
      File f{"s" + std::to_string(size) + ".bin", RandomBytes(size, uint32_t(size) + 7), 1500000000 + int64_t(size)};
      WriteFile(dirPath + "/" + f.name, f.data);
      SetMTime(dirPath + "/" + f.name, f.date);
      files.push_back(f);
    }
    return files;
  }
  static std::vector<std::string> Names(const std::vector<File>& files, const std::string& prefix = {}) {
    std::vector<std::string> names;
    for (const auto& f : files) names.push_back(prefix + f.name);
    return names;
  }
  // Every file arrived whole under its own name and with its own date.
  void ExpectArrived(const std::string& dirPath, const std::vector<File>& files) {
    for (const auto& f : files) {
      const std::string path = dirPath + "/" + f.name;
      EXPECT_TRUE(ReadFile(path) == f.data) << path << ": " << ReadFile(path).size() << " of " << f.data.size();
      EXPECT_EQ(MTime(path), f.date) << path;
    }
  }
  static std::vector<std::string> Send(const std::vector<std::string>& options, const std::vector<std::string>& files) {
    std::vector<std::string> args = {"send", "{PORT}", "--protocol", "zmodem"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), files.begin(), files.end());
    return args;
  }
  static std::vector<std::string> Recv(const std::string& dirPath, const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {"recv", "{PORT}", "--protocol", "zmodem", "--dir", dirPath};
    args.insert(args.end(), options.begin(), options.end());
    return args;
  }

  const std::vector<size_t> kSizes = {0, 1, 1023, 1024, 1025, 8191, 8193, 1 << 20};
};

TEST_F(ZmodemInterop, OursToRzCarriesEverySizeWithNamesAndDates) {
  const std::string out = MakeDir("out"), in = MakeDir("in");
  const auto files = MakeBatch(out, kSizes);
  const PairResult r = Transfer(Ours(Send({}, Names(files, out + "/"))), StdioPeer({"rz", "-q"}, in), {},
                                std::chrono::seconds(30));
  ASSERT_EQ(r.sender, 0) << Describe(r);
  ASSERT_EQ(r.receiver, 0) << Describe(r);
  ExpectArrived(in, files);
}

TEST_F(ZmodemInterop, SzToOursCarriesEverySizeWithNamesAndDates) {
  const std::string out = MakeDir("out"), in = MakeDir("in");
  const auto files = MakeBatch(out, kSizes);
  std::vector<std::string> sz = {"sz", "-q"};
  for (const auto& n : Names(files)) sz.push_back(n);
  const PairResult r = Transfer(StdioPeer(sz, out), Ours(Recv(in)), {}, std::chrono::seconds(30));
  ASSERT_EQ(r.sender, 0) << Describe(r);
  ASSERT_EQ(r.receiver, 0) << Describe(r);
  ExpectArrived(in, files);
  EXPECT_TRUE(Contains(r.receiverErr, "received 1048576 bytes into " + in + "/s1048576.bin")) << r.receiverErr;
}

TEST_F(ZmodemInterop, OursToOursWith1KAnd8KBlocks) {
  const std::string out = MakeDir("out");
  const auto files = MakeBatch(out, kSizes);
  for (const bool eightK : {false, true}) {
    SCOPED_TRACE(eightK ? "8K" : "1K");
    const std::string in = MakeDir(eightK ? "in8" : "in1");
    const std::vector<std::string> options = eightK ? std::vector<std::string>{"--8k"} : std::vector<std::string>{};
    const PairResult r =
        Transfer(Ours(Send(options, Names(files, out + "/"))), Ours(Recv(in, options)), {}, std::chrono::seconds(30));
    ASSERT_EQ(r.sender, 0) << Describe(r);
    ASSERT_EQ(r.receiver, 0) << Describe(r);
    ExpectArrived(in, files);
  }
}

TEST_F(ZmodemInterop, EightKSubpacketsWithLrzsz) {
  const std::string out = MakeDir("out"), in1 = MakeDir("in1"), in2 = MakeDir("in2");
  const auto files = MakeBatch(out, {8193, 1 << 20});
  // sz starts with 8K subpackets; this side takes them without being asked.
  PairResult r = Transfer(StdioPeer({"sz", "-q", "--start-8k", files[0].name, files[1].name}, out), Ours(Recv(in1)),
                          {}, std::chrono::seconds(30));
  ASSERT_EQ(r.sender, 0) << Describe(r);
  ASSERT_EQ(r.receiver, 0) << Describe(r);
  ExpectArrived(in1, files);
  r = Transfer(Ours(Send({"--8k"}, Names(files, out + "/"))), StdioPeer({"rz", "-q"}, in2), {},
               std::chrono::seconds(30));
  ASSERT_EQ(r.sender, 0) << Describe(r);
  ASSERT_EQ(r.receiver, 0) << Describe(r);
  ExpectArrived(in2, files);
}

TEST_F(ZmodemInterop, RecoverContinuesAPartialFileAtItsLength) {
  const std::string out = MakeDir("out");
  const auto files = MakeBatch(out, {300000});
  const File& f = files[0];
  struct Case {
    const char* what;
    bool oursSends, oursReceives;
  } cases[] = {{"ours to ours", true, true}, {"sz to ours", false, true}, {"ours to rz -r", true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string in = MakeDir(std::string("in-") + (c.oursSends ? "o" : "s") + (c.oursReceives ? "o" : "r"));
    // What a receive that died half-way left behind.
    WriteFile(in + "/" + f.name, f.data.substr(0, 123456));
    const Side sender = c.oursSends ? Ours(Send({}, {out + "/" + f.name})) : StdioPeer({"sz", "-q", f.name}, out);
    const Side receiver = c.oursReceives ? Ours(Recv(in, {"--recover"})) : StdioPeer({"rz", "-q", "-r"}, in);
    const PairResult r = Transfer(sender, receiver, {}, std::chrono::seconds(30));
    ASSERT_EQ(r.sender, 0) << Describe(r);
    ASSERT_EQ(r.receiver, 0) << Describe(r);
    ExpectArrived(in, files);
    if (c.oursReceives) {
      EXPECT_TRUE(Contains(r.receiverErr, "received 300000 bytes")) << r.receiverErr;
    }
  }
}

TEST_F(ZmodemInterop, FileOptionsDecideWhatHappensToAnExistingFile) {
  const std::string out = MakeDir("out");
  WriteFile(out + "/doc.txt", "new contents\n");
  SetMTime(out + "/doc.txt", 1600000000);
  struct Case {
    std::vector<std::string> sendOptions;
    int64_t localDate;
    std::string expected;  // what the receiver's file holds afterwards
    bool skipped;
  } cases[] = {
      {{"--file-option", "protect"}, 1500000000, "old\n", true},
      {{"--file-option", "append"}, 1500000000, "old\nnew contents\n", false},
      {{"--file-option", "newer"}, 1500000000, "new contents\n", false},  // the sender's is newer
      {{"--file-option", "newer"}, 1700000000, "old\n", true},            // the local one is newer
      {{"--file-option", "clobber"}, 1700000000, "new contents\n", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sendOptions[1] + " " + std::to_string(c.localDate));
    const std::string in = MakeDir("in" + std::to_string(n++));
    WriteFile(in + "/doc.txt", "old\n");
    SetMTime(in + "/doc.txt", c.localDate);
    const PairResult r = Transfer(Ours(Send(c.sendOptions, {out + "/doc.txt"})), Ours(Recv(in)), {},
                                  std::chrono::seconds(20));
    ASSERT_EQ(r.sender, 0) << Describe(r);
    ASSERT_EQ(r.receiver, 0) << Describe(r);
    EXPECT_EQ(ReadFile(in + "/doc.txt"), c.expected);
    EXPECT_EQ(Contains(r.senderErr, "skipped"), c.skipped) << r.senderErr;
  }
  // lrzsz's protect both ways: the file is skipped, both end well.
  const std::string in = MakeDir("in-lrzsz");
  WriteFile(in + "/doc.txt", "old\n");
  PairResult r = Transfer(StdioPeer({"sz", "-q", "-p", "doc.txt"}, out), Ours(Recv(in)), {}, std::chrono::seconds(20));
  EXPECT_EQ(r.sender, 0) << Describe(r);
  EXPECT_EQ(r.receiver, 0) << Describe(r);
  EXPECT_TRUE(Contains(r.receiverErr, "skipped")) << r.receiverErr;
  EXPECT_EQ(ReadFile(in + "/doc.txt"), "old\n");
  r = Transfer(Ours(Send({"--file-option", "protect"}, {out + "/doc.txt"})), StdioPeer({"rz", "-q"}, in), {},
               std::chrono::seconds(20));
  EXPECT_EQ(r.sender, 0) << Describe(r);
  EXPECT_EQ(r.receiver, 0) << Describe(r);
  EXPECT_TRUE(Contains(r.senderErr, "skipped")) << r.senderErr;
  EXPECT_EQ(ReadFile(in + "/doc.txt"), "old\n");
}

TEST_F(ZmodemInterop, EveryControlEscapedWhenTheReceiverAsks) {
  const std::string out = MakeDir("out"), in1 = MakeDir("in1"), in2 = MakeDir("in2");
  const auto files = MakeBatch(out, {50000});
  // rz -e drops raw control bytes as noise: every one must go escaped.
  PairResult r = Transfer(Ours(Send({}, Names(files, out + "/"))), StdioPeer({"rz", "-q", "-e"}, in1), {},
                          std::chrono::seconds(20));
  ASSERT_EQ(r.sender, 0) << Describe(r);
  ASSERT_EQ(r.receiver, 0) << Describe(r);
  ExpectArrived(in1, files);
  // sz -e announces it with ZSINIT; this side escapes its own headers then.
  r = Transfer(StdioPeer({"sz", "-q", "-e", files[0].name}, out), Ours(Recv(in2)), {}, std::chrono::seconds(20));
  ASSERT_EQ(r.sender, 0) << Describe(r);
  ASSERT_EQ(r.receiver, 0) << Describe(r);
  ExpectArrived(in2, files);
}

TEST_F(ZmodemInterop, AMaskThatMatchesNothingFailsBeforeTheLineIsUsed) {
  const std::string out = MakeDir("out");
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  const RunResult s = Run({"send", ends[0], "--protocol", "zmodem", out + "/none-*.bin"});
  EXPECT_EQ(s.exitCode, 1) << s.err;
  EXPECT_TRUE(Contains(s.err, "No files matched search mask")) << s.err;
}

// A line fast enough to keep the cases short and slow enough to stop a
// transfer in the middle.
const std::vector<std::string> kFastLine = {"--baud", "921600"};

TEST_F(ZmodemInterop, AReceiveKilledHalfWayResumesWithRecoverAtItsLength) {
  const std::string out = MakeDir("out");
  const auto files = MakeBatch(out, {200000});
  const File& f = files[0];
  struct Case {
    const char* what;
    bool oursReceives;
  } cases[] = {{"mero recv --recover", true}, {"rz -r", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string in = MakeDir(c.oursReceives ? "in-ours" : "in-rz");
    const std::string part = in + "/" + f.name;
    Child* cable = nullptr;
    const auto ends = StartCable(kFastLine, &cable);
    ASSERT_EQ(ends.size(), 2u);
    const Side receiver = c.oursReceives ? Ours(Recv(in)) : StdioPeer({"rz", "-q"}, in);
    Child& recv = StartSide(receiver, ends[1]);
    if (c.oursReceives) {
      ASSERT_TRUE(WaitReady(recv, ends[1])) << Err(recv);
    }
    Child& send = StartSide(Ours(Send({}, {out + "/" + f.name})), ends[0]);
    // The receiver dies without a word once about half the file is written.
    ASSERT_TRUE(WaitFor([&] { return Size(part) >= 80000; }, std::chrono::seconds(20))) << Err(send);
    kill(recv.pid, SIGKILL);
    Wait(recv);
    kill(send.pid, SIGTERM);
    EXPECT_EQ(Wait(send), 1) << Err(send);
    Stop(*cable);
    const off_t kept = Size(part);
    ASSERT_GT(kept, 0);
    ASSERT_LT(kept, off_t(f.data.size()));
    EXPECT_EQ(ReadFile(part), f.data.substr(0, size_t(kept)));

    const Side again = c.oursReceives ? Ours(Recv(in, {"--recover"})) : StdioPeer({"rz", "-q", "-r"}, in);
    const PairResult r = Transfer(Ours(Send({}, {out + "/" + f.name})), again, kFastLine, std::chrono::seconds(20));
    ASSERT_EQ(r.sender, 0) << Describe(r);
    ASSERT_EQ(r.receiver, 0) << Describe(r);
    ExpectArrived(in, files);
    // Only what was missing went over the line (escaped, and rz resumes at a
    // 1K boundary).
    const double missing = double(f.data.size() - size_t(kept));
    EXPECT_LT(double(CarriedAtoB(r.cableErr)), missing * 1.04 + 3000) << r.cableErr << " kept " << kept;
  }
}

TEST_F(ZmodemInterop, ACancelFromEitherSideEndsBoth) {
  const std::string out = MakeDir("out");
  const auto files = MakeBatch(out, {1 << 20});
  const std::string name = files[0].name;
  struct Case {
    const char* what;
    bool oursSends, oursReceives, stopSender;
  } cases[] = {{"ours to ours, sender stopped", true, true, true},
               {"ours to ours, receiver stopped", true, true, false},
               {"ours to rz, ours stopped", true, false, true},
               {"sz to ours, ours stopped", false, true, false}};
  // (sz or rz stopped by a signal do not reliably get their abort string
  // onto a pseudo-terminal before they exit: this side then ends by its
  // retry limits, minutes later, so those cases are not timed here.)
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string in = MakeDir("in" + std::to_string(n++));
    Child* cable = nullptr;
    const auto ends = StartCable(kFastLine, &cable);
    ASSERT_EQ(ends.size(), 2u);
    Child& recv = StartSide(c.oursReceives ? Ours(Recv(in)) : StdioPeer({"rz", "-q"}, in), ends[1]);
    if (c.oursReceives) {
      ASSERT_TRUE(WaitReady(recv, ends[1])) << Err(recv);
    }
    Child& send =
        StartSide(c.oursSends ? Ours(Send({}, {out + "/" + name})) : StdioPeer({"sz", "-q", name}, out), ends[0]);
    ASSERT_TRUE(WaitFor([&] { return Size(in + "/" + name) >= 30000; }, std::chrono::seconds(20)));
    Child& stopped = c.stopSender ? send : recv;
    Child& other = c.stopSender ? recv : send;
    kill(stopped.pid, SIGTERM);
    const auto start = std::chrono::steady_clock::now();
    const int stoppedExit = Wait(stopped, std::chrono::seconds(10));
    const int otherExit = Wait(other, std::chrono::seconds(10));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Stop(*cable);
    EXPECT_NE(stoppedExit, 0);
    EXPECT_NE(otherExit, 0) << "the far end saw the cancel";
    EXPECT_GE(otherExit, 1) << "it ended by itself, not at the time limit";
    EXPECT_LT(seconds, 8.0);
    if (c.oursSends && c.oursReceives) {
      EXPECT_TRUE(Contains(Err(other), "Cancel requested")) << Err(other);
    }
    EXPECT_LT(Size(in + "/" + name), off_t(1 << 20));
  }
}

// Noise on a paced line: every file arrives identical or the transfer fails
// with a clear error; never a different file reported as received. The
// seeds are ones whose noise hits this traffic (a case that hits nothing
// fails as testing nothing).
struct NoiseCase {
  const char* what;
  std::vector<std::string> line;
  enum Pair { OursToOurs, OursToRz, SzToOurs } pair;
};

class ZmodemNoise : public ZmodemInterop, public ::testing::WithParamInterface<NoiseCase> {};

TEST_P(ZmodemNoise, FilesArriveIdenticalOrTheTransferFails) {
  const NoiseCase& c = GetParam();
  const std::string out = MakeDir("out"), in = MakeDir("in");
  const auto files = MakeBatch(out, {24000, 8000});
  std::vector<std::string> line = {"--baud", "115200"};
  line.insert(line.end(), c.line.begin(), c.line.end());
  Side sender = Ours(Send({}, Names(files, out + "/")));
  Side receiver = Ours(Recv(in));
  if (c.pair == NoiseCase::OursToRz) receiver = StdioPeer({"rz", "-q"}, in);
  if (c.pair == NoiseCase::SzToOurs) sender = StdioPeer({"sz", "-q", files[0].name, files[1].name}, out);
  const PairResult r = Transfer(sender, receiver, line, std::chrono::seconds(60));
  ASSERT_NE(r.sender, -1) << "the sender ended by itself\n" << Describe(r);
  ASSERT_NE(r.receiver, -1) << "the receiver ended by itself\n" << Describe(r);
  for (const auto& f : files) {
    const std::string path = in + "/" + f.name;
    const bool reported = Contains(r.receiverErr, "received " + std::to_string(f.data.size()) + " bytes into " + path);
    if (r.sender == 0 && r.receiver == 0) {
      EXPECT_TRUE(ReadFile(path) == f.data) << path << "\n" << Describe(r);
    } else if (reported) {
      EXPECT_TRUE(ReadFile(path) == f.data) << "reported but different: " << path << "\n" << Describe(r);
    }
  }
  if (r.sender != 0 || r.receiver != 0) {
    // A failure says why on ours.
    const std::string& ours = c.pair == NoiseCase::SzToOurs ? r.receiverErr : r.senderErr;
    EXPECT_TRUE(Contains(ours, "mero: ")) << Describe(r);
  }
  EXPECT_GT(NoiseHits(r.cableErr), 0) << "the seed let every byte through: the case tests nothing\n" << r.cableErr;
  RecordProperty("cable", r.cableErr);
}

INSTANTIATE_TEST_SUITE_P(
    PacedLine, ZmodemNoise,
    ::testing::Values(NoiseCase{"flip 1e-5", {"--flip", "1e-5", "--seed", "50"}, NoiseCase::OursToOurs},
                      NoiseCase{"flip 1e-4", {"--flip", "1e-4", "--seed", "4"}, NoiseCase::OursToOurs},
                      NoiseCase{"flip 1e-4 to rz", {"--flip", "1e-4", "--seed", "5"}, NoiseCase::OursToRz},
                      NoiseCase{"flip 1e-4 from sz", {"--flip", "1e-4", "--seed", "6"}, NoiseCase::SzToOurs},
                      NoiseCase{"drop 1e-5", {"--drop", "1e-5", "--seed", "27"}, NoiseCase::OursToOurs},
                      NoiseCase{"burst of 30", {"--flip", "2e-5", "--burst", "30", "--seed", "2"},
                                NoiseCase::OursToOurs}),
    [](const ::testing::TestParamInfo<NoiseCase>& info) {
      std::string name = info.param.what;
      for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

}  // namespace
}  // namespace zav::test
