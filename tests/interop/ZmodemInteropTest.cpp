// Zmodem against lrzsz and against itself through a null-modem cable: every
// size class in one batch with names and dates kept, 8K subpackets, resuming
// a partial file, the file options, and a cancel from either side.
#include <fcntl.h>
#include <sys/stat.h>

#include "tests/interop/InteropSupport.h"

namespace zav::test {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

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

TEST_F(ZmodemInterop, AMaskThatMatchesNothingFailsBeforeTheLineIsUsed) {
  const std::string out = MakeDir("out");
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  const RunResult s = Run({"send", ends[0], "--protocol", "zmodem", out + "/none-*.bin"});
  EXPECT_EQ(s.exitCode, 1) << s.err;
  EXPECT_TRUE(Contains(s.err, "No files matched search mask")) << s.err;
}

}  // namespace
}  // namespace zav::test
