// B+ between two of our programs through mero null-modem cables: both roles
// and both directions with the awkward sizes, every byte value and a name
// with blanks in one session each; seeded noise on a paced line; a download
// stopped half-way and resumed.
#include <sys/stat.h>

#include <cstdio>

#include "tests/interop/InteropSupport.h"

namespace zav::test {
namespace {

class BPlusInterop : public InteropTest {
 protected:
  // Files of the awkward sizes in `out`; their names.
  std::vector<std::string> MakeFiles(const std::string& out) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += char(i);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"empty.bin", ""},
        {"one.bin", "x"},
        {"b511.bin", RandomBytes(511, 1)},
        {"b512.bin", RandomBytes(512, 2)},
        {"b513.bin", RandomBytes(513, 3)},
        {"all bytes 256.bin", all + all},
        {"one mib.bin", RandomBytes(1 << 20, 4)},
    };
    std::vector<std::string> names;
    for (const auto& [name, data] : files) {
      WriteFile(out + "/" + name, data);
      names.push_back(name);
    }
    return names;
  }
  void ExpectSame(const std::string& out, const std::string& in, const std::vector<std::string>& names) {
    for (const auto& name : names) {
      struct stat st {};
      ASSERT_EQ(stat((in + "/" + name).c_str(), &st), 0) << name;
      EXPECT_TRUE(ReadFile(in + "/" + name) == ReadFile(out + "/" + name)) << name;
    }
  }
  // A line of the receiver's own: "received N bytes into ...".
  static long ReceivedBytes(const std::string& err) {
    const auto at = err.find("received ");
    return at == std::string::npos ? -1 : std::stol(err.substr(at + 9));
  }
  // The bytes the cable flipped and dropped going from the first end.
  static long NoiseEvents(const std::string& cableErr) {
    unsigned long long carried = 0, flipped = 0, dropped = 0, inserted = 0;
    const auto at = cableErr.find("a->b:");
    if (at == std::string::npos ||
        std::sscanf(cableErr.c_str() + at, "a->b: %llu bytes carried, %llu flipped, %llu dropped, %llu inserted",
                    &carried, &flipped, &dropped, &inserted) != 4)
      return -1;
    return long(flipped + dropped);
  }
};

// The lingering at the end is only for a last acknowledgement lost on a
// noisy line: a short one keeps the clean cases quick.
const std::vector<std::string> kShortLinger = {"--linger", "4"};

TEST_F(BPlusInterop, InitiatorSendsEveryAwkwardFileToTheResponderInOneSession) {
  const std::string out = MakeDir("out"), in = MakeDir("in");
  const auto names = MakeFiles(out);
  std::vector<std::string> send = {"send", "{PORT}", "--protocol", "bplus", "--window", "3"};
  for (const auto& n : names) send.push_back(out + "/" + n);
  std::vector<std::string> recv = {"recv", "{PORT}", "--protocol", "bplus", "--dir", in};
  recv.insert(recv.end(), kShortLinger.begin(), kShortLinger.end());
  const PairResult r = Transfer(Ours(send), Ours(recv), {}, std::chrono::seconds(90));
  ASSERT_EQ(r.sender, 0) << Describe(r);
  ASSERT_EQ(r.receiver, 0) << Describe(r);
  ExpectSame(out, in, names);
}

TEST_F(BPlusInterop, InitiatorAsksTheResponderForEveryAwkwardFileWithTheChecksumAnd2KBlocks) {
  const std::string out = MakeDir("out"), in = MakeDir("in");
  const auto names = MakeFiles(out);
  std::vector<std::string> serve = {"send", "{PORT}", "--protocol", "bplus", "--role", "responder",
                                    "--block-size", "2048"};
  serve.insert(serve.end(), kShortLinger.begin(), kShortLinger.end());
  for (const auto& n : names) serve.push_back(out + "/" + n);
  std::vector<std::string> ask = {"recv", "{PORT}", "--protocol", "bplus", "--role", "initiator", "--dir", in,
                                  "--checksum", "--block-size", "2048", "--quote", "all"};
  ask.insert(ask.end(), kShortLinger.begin(), kShortLinger.end());
  for (const auto& n : names) ask.insert(ask.end(), {"--get", n});
  // The asking side starts first here: its ENQ waits in the cable.
  const PairResult r = Transfer(Ours(serve), Ours(ask), {}, std::chrono::seconds(90));
  ASSERT_EQ(r.sender, 0) << Describe(r);
  ASSERT_EQ(r.receiver, 0) << Describe(r);
  ExpectSame(out, in, names);
}

TEST_F(BPlusInterop, NoiseOnAPacedLineGivesIdenticalFilesOrAClearFailure) {
  const std::string out = MakeDir("out"), in = MakeDir("in"), in2 = MakeDir("in2");
  const std::string data = RandomBytes(64 << 10, 11);
  WriteFile(out + "/noisy.bin", data);
  struct Case {
    Side sender, receiver;
    std::string dir, seed;
  } cases[] = {
      {Ours({"send", "{PORT}", "--protocol", "bplus", "--baud", "115200", out + "/noisy.bin"}),
       Ours({"recv", "{PORT}", "--protocol", "bplus", "--baud", "115200", "--dir", in}), in, "3"},
      {Ours({"send", "{PORT}", "--protocol", "bplus", "--baud", "115200", "--role", "responder", out + "/noisy.bin"}),
       Ours({"recv", "{PORT}", "--protocol", "bplus", "--baud", "115200", "--role", "initiator", "--get",
             "noisy.bin", "--dir", in2}),
       in2, "4"},
  };
  for (const Case& c : cases) {
    const PairResult r = Transfer(c.sender, c.receiver,
                                  {"--baud", "115200", "--flip", "1e-4", "--drop", "1e-4", "--seed", c.seed},
                                  std::chrono::seconds(90));
    SCOPED_TRACE(Describe(r));
    ASSERT_NE(r.sender, -1);
    ASSERT_NE(r.receiver, -1);
    EXPECT_GT(NoiseEvents(r.cableErr), 0);
    if (r.sender == 0 && r.receiver == 0) {
      EXPECT_TRUE(ReadFile(c.dir + "/noisy.bin") == data);
    } else {
      // A failure says so at the receiver, which then claims no whole file.
      EXPECT_NE(r.receiver, 0);
      EXPECT_EQ(ReceivedBytes(r.receiverErr), -1);
    }
  }
}

TEST_F(BPlusInterop, ADownloadStoppedHalfWayResumesAtTheLocalLength) {
  const std::string out = MakeDir("out"), in = MakeDir("in");
  const size_t size = 384 << 10;
  const std::string data = RandomBytes(size, 12);
  WriteFile(out + "/resume me.bin", data);
  const std::vector<std::string> cable = {"--baud", "460800"};
  const Side send = Ours({"send", "{PORT}", "--protocol", "bplus", "--baud", "460800", out + "/resume me.bin"});
  // With the history on, a failed receive is deleted unless the protocol can resume it.
  const std::string history = dir + "/bplus.his";
  const Side recv = Ours({"recv", "{PORT}", "--protocol", "bplus", "--baud", "460800", "--dir", in, "--resume",
                          "--history", history});
  // First attempt: stopped at the receiver once about half has arrived.
  Child* cableChild = nullptr;
  const auto ends = StartCable(cable, &cableChild);
  ASSERT_EQ(ends.size(), 2u);
  Child& receiver = StartSide(recv, ends[1]);
  ASSERT_TRUE(WaitReady(receiver, ends[1])) << Err(receiver);
  Child& sender = StartSide(send, ends[0]);
  const std::string part = in + "/resume me.bin";
  const bool half = WaitFor(
      [&] {
        struct stat st {};
        return stat(part.c_str(), &st) == 0 && size_t(st.st_size) >= size / 2;
      },
      std::chrono::seconds(30));
  ASSERT_TRUE(half);
  EXPECT_NE(Stop(receiver), 0);  // a cancelled receive fails
  EXPECT_NE(Wait(sender, std::chrono::seconds(20)), 0);
  Stop(*cableChild);
  EXPECT_NE(ReadFile(history).find("B+ receive failed " + part), std::string::npos) << ReadFile(history);
  const size_t kept = ReadFile(part).size();
  ASSERT_GE(kept, size / 2);
  ASSERT_LT(kept, size);
  EXPECT_EQ(ReadFile(part), data.substr(0, kept));
  // Second attempt: the resume query is answered "resume", and only the rest moves.
  const PairResult r = Transfer(send, recv, cable, std::chrono::seconds(60));
  ASSERT_EQ(r.sender, 0) << Describe(r);
  ASSERT_EQ(r.receiver, 0) << Describe(r);
  EXPECT_TRUE(ReadFile(part) == data);
  EXPECT_EQ(ReceivedBytes(r.receiverErr), long(size - kept)) << r.receiverErr;
}

}  // namespace
}  // namespace zav::test
