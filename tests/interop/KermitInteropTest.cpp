// Kermit between ours and the peer programs (C-Kermit, G-Kermit) and between
// two of ours, through a null-modem cable: short and long packets, one to 27
// window slots, the three block checks, files that exercise the prefixing, and
// 8-bit quoting on a 7-bit line. Every file must arrive identical.
#include <signal.h>

#include <filesystem>

#include "tests/interop/InteropSupport.h"

namespace zav::test {
namespace {

enum class Peer { Ours, CKermit, GKermit };

struct KermitCase {
  const char* name;
  Peer sender, receiver;
  int packetLength;  // 94: short packets only; above: long ones
  int windows;
  char check;
  std::vector<std::string> files;
  std::vector<std::string> ours;  // more options for our side(s)
  std::string ckermit;            // more C-Kermit settings
  std::vector<std::string> cable;  // the cable's line options
};

// The sample files, made once per test.
const std::vector<std::string> kAllFiles = {"all256.bin", "runs.bin", "empty.bin", "one.bin", "random.bin",
                                            "noise.bin"};

std::string CheckName(char c) { return std::string(1, c); }

class KermitFixture : public InteropTest {
 protected:
  static std::string SampleFile(const std::string& name) {
    if (name == "all256.bin") {
      std::string s;
      for (int k = 0; k < 4; ++k)
        for (int i = 0; i < 256; ++i) s += char(k % 2 ? 255 - i : i);
      return s;
    }
    if (name == "runs.bin") {
      // Runs of every length up to past a repeat count's limit, of prefixes too.
      std::string s;
      const char bytes[] = {'a', '~', '#', '&', '\0', '\r', char(0xFE), char(0xA3), char(0x81)};
      for (int len = 1; len < 200; len += 7) s.append(size_t(len), bytes[len % sizeof bytes]);
      return s + std::string(3000, 'z');
    }
    if (name == "empty.bin") return {};
    if (name == "one.bin") return "\xA6";
    if (name == "noise.bin") return RandomBytes(48 * 1024, 23);
    return RandomBytes(300 * 1024, 17);
  }

  void SetUp() override {
    InteropTest::SetUp();
    out = MakeDir("out");
    in = MakeDir("in");
    for (const auto& f : kAllFiles) WriteFile(out + "/" + f, SampleFile(f));
  }

  std::string CKermitSettings(const KermitCase& c, bool sending) const {
    std::string s =
        "set carrier-watch off,set flow none,set file names literal,set receive pathnames off,"
        "set streaming off,set file type binary,set delay 0,set window " + std::to_string(c.windows) + ",set block-check " +
        CheckName(c.check) + ",set " + (sending ? "send" : "receive") + " packet-length " +
        std::to_string(c.packetLength);
    if (!c.ckermit.empty()) s += "," + c.ckermit;
    return s;
  }

  std::vector<std::string> OurOptions(const KermitCase& c) const {
    std::vector<std::string> o = {"--protocol", "kermit", "--packet-length", std::to_string(c.packetLength),
                                  "--check", CheckName(c.check)};
    if (c.windows > 1) o.insert(o.end(), {"--windows", std::to_string(c.windows)});
    // C-Kermit drops what waits on the line when it opens it: a Send-Init
    // that came too early goes again soon.
    if (c.receiver == Peer::CKermit) o.insert(o.end(), {"--timeout", "1"});
    o.insert(o.end(), c.ours.begin(), c.ours.end());
    return o;
  }

  Side Sender(const KermitCase& c) {
    switch (c.sender) {
      case Peer::Ours: {
        std::vector<std::string> args = {"send", "{PORT}"};
        const auto o = OurOptions(c);
        args.insert(args.end(), o.begin(), o.end());
        for (const auto& f : c.files) args.push_back(out + "/" + f);
        return Ours(args);
      }
      case Peer::CKermit: {
        std::string files;
        for (const auto& f : c.files) files += " " + f;
        return DevicePeer({"kermit", "-Y", "-q", "-H", "-l", "{PORT}", "-b", "115200", "-C",
                           CKermitSettings(c, true) + ",msend" + files + ",exit"},
                          out);
      }
      case Peer::GKermit: {
        std::vector<std::string> argv = {"gkermit", "-q", "-i", "-P"};
        if (c.packetLength <= 94) argv.insert(argv.end(), {"-e", "94"});
        argv.push_back("-s");
        for (const auto& f : c.files) argv.push_back(f);
        return StdioPeer(argv, out);
      }
    }
    return {};
  }

  Side Receiver(const KermitCase& c) {
    switch (c.receiver) {
      case Peer::Ours: {
        std::vector<std::string> args = {"recv", "{PORT}", "--dir", in};
        const auto o = OurOptions(c);
        args.insert(args.end(), o.begin(), o.end());
        return Ours(args);
      }
      case Peer::CKermit:
        return DevicePeer({"kermit", "-Y", "-q", "-H", "-l", "{PORT}", "-b", "115200", "-C",
                           CKermitSettings(c, false) + ",receive,exit"},
                          in);
      case Peer::GKermit: {
        std::vector<std::string> argv = {"gkermit", "-q", "-i", "-P", "-w"};
        if (c.packetLength <= 94) argv.insert(argv.end(), {"-e", "94"});
        argv.push_back("-r");
        return StdioPeer(argv, in);
      }
    }
    return {};
  }

  std::string out, in;
};

class KermitInterop : public KermitFixture, public ::testing::WithParamInterface<KermitCase> {};

TEST_P(KermitInterop, FilesArriveIdentical) {
  const KermitCase& c = GetParam();
  const PairResult r = Transfer(Sender(c), Receiver(c), c.cable, std::chrono::seconds(60));
  ASSERT_EQ(r.sender, 0) << Describe(r) << r.senderOut;
  ASSERT_EQ(r.receiver, 0) << Describe(r) << r.receiverOut;
  for (const auto& f : c.files) {
    ASSERT_TRUE(std::filesystem::exists(in + "/" + f)) << f << "\n" << Describe(r);
    EXPECT_TRUE(ReadFile(in + "/" + f) == ReadFile(out + "/" + f)) << f << " differs";
  }
}

const std::vector<std::string> kSmallSet = {"all256.bin", "runs.bin", "empty.bin", "one.bin"};
const std::vector<std::string> kBatch = {"random.bin", "all256.bin", "runs.bin"};
const std::vector<std::string> kRandom = {"random.bin"};

const KermitCase kCases[] = {
    {"OursToCKermitShort", Peer::Ours, Peer::CKermit, 94, 1, '1', kSmallSet, {}, {}, {}},
    {"OursToCKermitLong4", Peer::Ours, Peer::CKermit, 1024, 4, '2', kRandom, {}, {}, {}},
    {"OursToCKermitLong27", Peer::Ours, Peer::CKermit, 1024, 27, '3', kBatch, {}, {}, {}},
    {"CKermitToOursShort", Peer::CKermit, Peer::Ours, 94, 1, '1', kSmallSet, {}, {}, {}},
    {"CKermitToOursLong4", Peer::CKermit, Peer::Ours, 1024, 4, '2', kRandom, {}, {}, {}},
    {"CKermitToOursLong27", Peer::CKermit, Peer::Ours, 1024, 27, '3', kBatch, {}, {}, {}},
    {"OursToGKermitShort", Peer::Ours, Peer::GKermit, 94, 1, '1', kSmallSet, {}, {}, {}},
    {"OursToGKermitLong", Peer::Ours, Peer::GKermit, 1024, 1, '3', kBatch, {}, {}, {}},
    {"GKermitToOursShort", Peer::GKermit, Peer::Ours, 94, 1, '3', kSmallSet, {}, {}, {}},
    {"GKermitToOursLong", Peer::GKermit, Peer::Ours, 1024, 1, '3', kBatch, {}, {}, {}},
    {"OursToOursLong27", Peer::Ours, Peer::Ours, 1024, 27, '3', kBatch, {}, {}, {}},
    {"OursToOursShortWindows4", Peer::Ours, Peer::Ours, 94, 4, '2', kSmallSet, {}, {}, {}},
    // A line of 7 data bits clears the high bit of every byte: both sides set
    // to it ask for 8-bit quoting and the files still arrive whole.
    {"OursToOurs7Bit", Peer::Ours, Peer::Ours, 1024, 4, '3', kSmallSet, {"--data", "7"}, {}, {"--data", "7"}},
    // C-Kermit agrees when we ask, and asks itself on a line with space parity.
    {"OursToCKermit8BitQuoting", Peer::Ours, Peer::CKermit, 1024, 4, '3', kSmallSet, {"--8bit-prefix", "&"}, {},
     {"--data", "7"}},
    {"CKermitToOurs8BitQuoting", Peer::CKermit, Peer::Ours, 1024, 4, '3', kSmallSet, {}, "set parity space",
     {"--data", "7"}},
};

INSTANTIATE_TEST_SUITE_P(Matrix, KermitInterop, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<KermitCase>& info) { return std::string(info.param.name); });

// A noisy line at 115200 (seeded): the files arrive identical, or the
// transfer fails and says so; never a success with damaged data, never a hang.
class KermitNoise : public KermitFixture, public ::testing::WithParamInterface<KermitCase> {};

TEST_P(KermitNoise, FilesArriveIdenticalOrTheFailureIsClear) {
  const KermitCase& c = GetParam();
  const PairResult r = Transfer(Sender(c), Receiver(c), c.cable, std::chrono::seconds(60));
  ASSERT_NE(r.sender, -1) << "no end in time\n" << Describe(r);
  ASSERT_NE(r.receiver, -1) << "no end in time\n" << Describe(r);
  const std::string ours = c.receiver == Peer::Ours ? r.receiverErr : r.senderErr;
  if (r.sender == 0 && r.receiver == 0) {
    for (const auto& f : c.files) EXPECT_TRUE(ReadFile(in + "/" + f) == ReadFile(out + "/" + f)) << f << " differs";
  } else {
    // Both ends report the failure; ours with the library's text.
    EXPECT_NE(r.sender, 0) << Describe(r);
    EXPECT_NE(r.receiver, 0) << Describe(r);
    EXPECT_NE(ours.find("mero: "), std::string::npos) << Describe(r);
    RecordProperty("ended_by_noise", Describe(r));
  }
}

const std::vector<std::string> kNoiseFile = {"noise.bin"};
const std::vector<std::string> kOneSecond = {"--timeout", "1"};

const KermitCase kNoisy[] = {
    {"OursToOursFlip1e5", Peer::Ours, Peer::Ours, 1024, 4, '3', kNoiseFile, kOneSecond, {},
     {"--baud", "115200", "--seed", "11", "--flip", "1e-5"}},
    {"OursToOursFlip1e4", Peer::Ours, Peer::Ours, 1024, 4, '3', kNoiseFile, kOneSecond, {},
     {"--baud", "115200", "--seed", "12", "--flip", "1e-4"}},
    {"OursToOursDrop1e5", Peer::Ours, Peer::Ours, 1024, 4, '3', kNoiseFile, kOneSecond, {},
     {"--baud", "115200", "--seed", "13", "--drop", "1e-5"}},
    {"CKermitToOursFlip1e4", Peer::CKermit, Peer::Ours, 1024, 4, '3', kNoiseFile, kOneSecond, "set send timeout 2",
     {"--baud", "115200", "--seed", "14", "--flip", "1e-4"}},
};

INSTANTIATE_TEST_SUITE_P(Noise, KermitNoise, ::testing::ValuesIn(kNoisy),
                         [](const ::testing::TestParamInfo<KermitCase>& info) { return std::string(info.param.name); });

// A cancel on our side ends the peer too, at once: our sender's discard is
// followed by an error packet, our receiver's stop by the peer's discard or
// our error packet. (Whether the part goes depends on the peer sending the
// discard; ours always does, see the mero tests.)
struct CancelCase {
  const char* name;
  Peer peer;
  bool oursSends;
};

class KermitCancel : public KermitFixture, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(KermitCancel, OursCancelsAndThePeerEndsToo) {
  const auto& [name, peer, oursSends] = GetParam();
  KermitCase c{name, oursSends ? Peer::Ours : peer, oursSends ? peer : Peer::Ours, 1024, 4, '3', {"huge.bin"}, {}, {}, {}};
  WriteFile(out + "/huge.bin", RandomBytes(20 << 20, 5));
  Child* cable = nullptr;
  const auto ends = StartCable({}, &cable);
  ASSERT_EQ(ends.size(), 2u);
  Child& recv = StartSide(Receiver(c), ends[1]);
  if (!oursSends) {
    ASSERT_TRUE(WaitReady(recv, ends[1])) << Err(recv);
  }
  Child& send = StartSide(Sender(c), ends[0]);
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(in + "/huge.bin"); }, std::chrono::seconds(20)));
  Child& ours = oursSends ? send : recv;
  Child& theirs = oursSends ? recv : send;
  kill(ours.pid, SIGTERM);
  EXPECT_EQ(Wait(ours), 1);
  EXPECT_NE(Err(ours).find("Cancel requested"), std::string::npos) << Err(ours);
  // Well before the peer's own time-outs would end it.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NE(Wait(theirs, std::chrono::seconds(30)), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << Err(theirs);
  Stop(*cable);
}

const CancelCase kCancels[] = {
    {"OursSendingToCKermit", Peer::CKermit, true},
    {"OursReceivingFromCKermit", Peer::CKermit, false},
    {"OursSendingToGKermit", Peer::GKermit, true},
    {"OursReceivingFromGKermit", Peer::GKermit, false},
};

INSTANTIATE_TEST_SUITE_P(Peers, KermitCancel, ::testing::ValuesIn(kCancels),
                         [](const ::testing::TestParamInfo<CancelCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zav::test
