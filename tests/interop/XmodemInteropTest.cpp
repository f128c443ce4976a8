// Xmodem and Ymodem with lrzsz (sx, rx, sb, rb) and with ourselves through
// null-modem cables: every type the peer speaks, the edge sizes around the
// block sizes and a large random file; Xmodem files identical up to the
// padding the protocol adds, Ymodem files exact with their names and dates;
// a cancel from either side ends both within seconds.
//
// The sessions of a test run side by side, each on its own cable: most of a
// session is waiting (handshake requests, a peer's pauses), not work.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/interop/InteropSupport.h"

namespace zav::test {
namespace {

using std::chrono::seconds;

constexpr size_t kBig = 200 * 1024;
// Our receivers repeat their request every second, so a request sent before
// the sender listened costs little.
const std::vector<std::string> kQuickHandshake = {"--handshake-wait", "18"};

struct SentFile {
  std::string name, data;
  int64_t mtime = 0;
};

std::vector<std::string> Cat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class XYmodemInteropTest : public InteropTest {
 protected:
  struct Session {
    std::string what;
    Side sender, receiver;
    std::vector<std::string> cableOptions;
    PairResult result;
    std::vector<std::string> ends;
    Child *cable = nullptr, *send = nullptr, *recv = nullptr;
  };

  void RunSessions(std::vector<Session>& sessions, seconds limit = seconds(40)) {
    for (Session& s : sessions) {
      s.ends = StartCable(s.cableOptions, &s.cable);
      ASSERT_EQ(s.ends.size(), 2u) << s.what;
      s.recv = &StartSide(s.receiver, s.ends[1]);
    }
    // Ours, and a peer under `mero exec`, say when they are ready.
    for (Session& s : sessions)
      if (s.receiver.kind != Side::DevicePeer) WaitReady(*s.recv, s.ends[1]);
    for (Session& s : sessions) s.send = &StartSide(s.sender, s.ends[0]);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto left = [&] {
      const auto rest = std::chrono::duration_cast<seconds>(deadline - std::chrono::steady_clock::now());
      return std::max(rest, seconds(1));
    };
    for (Session& s : sessions) {
      s.result.sender = Wait(*s.send, left());
      s.result.receiver = Wait(*s.recv, left());
    }
    for (Session& s : sessions) {
      Stop(*s.cable);
      s.result.senderErr = Err(*s.send);
      s.result.receiverErr = Err(*s.recv);
      s.result.cableErr = Err(*s.cable);
    }
  }

  // Files of the given sizes in `dir`, each with its own contents and date.
  std::vector<SentFile> MakeFiles(const std::string& dir, const std::vector<size_t>& sizes, uint32_t seed) {
    std::vector<SentFile> files;
    for (size_t i = 0; i < sizes.size(); ++i) {
      SentFile f{"f" + std::to_string(sizes[i]) + ".bin", RandomBytes(sizes[i], seed + uint32_t(i)),
                 1600000001 + int64_t(i) * 7};
      const std::string path = dir + "/" + f.name;
      WriteFile(path, f.data);
      const timespec when[2] = {{time_t(f.mtime), 0}, {time_t(f.mtime), 0}};
      EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), when, 0), 0);
      files.push_back(f);
    }
    return files;
  }

  // An Xmodem copy: the file, then Ctrl-Z fill up to a whole block.
  static void ExpectXmodemCopy(const std::string& got, const std::string& sent) {
    ASSERT_GE(got.size(), sent.size());
    EXPECT_TRUE(got.compare(0, sent.size(), sent) == 0) << "contents differ";
    EXPECT_EQ(got.size() % 128, 0u);
    EXPECT_LT(got.size() - sent.size(), 1024u);
    EXPECT_EQ(got.find_first_not_of('\x1A', sent.size()), std::string::npos) << "fill other than Ctrl-Z";
  }

  void ExpectYmodemCopies(const std::string& dir, const std::vector<SentFile>& files) {
    for (const SentFile& f : files) {
      const std::string path = dir + "/" + f.name;
      struct stat st {};
      ASSERT_EQ(stat(path.c_str(), &st), 0) << f.name << " was not received";
      EXPECT_TRUE(ReadFile(path) == f.data) << f.name << " differs (" << st.st_size << " bytes)";
      EXPECT_EQ(int64_t(st.st_mtime), f.mtime) << f.name;
    }
  }

  static std::vector<std::string> Paths(const std::string& dir, const std::vector<SentFile>& files) {
    std::vector<std::string> paths;
    for (const auto& f : files) paths.push_back(dir + "/" + f.name);
    return paths;
  }
  static std::vector<std::string> Names(const std::vector<SentFile>& files) {
    std::vector<std::string> names;
    for (const auto& f : files) names.push_back(f.name);
    return names;
  }
};

// --- Xmodem: one file per session ------------------------------------------------------------

enum class Peer { Ours, Lrzsz };

struct XmodemCase {
  const char* protocol;
  std::vector<std::string> peer;  // sx or rx with its options
  std::vector<size_t> sizes;
};

class XmodemInteropTest : public XYmodemInteropTest {
 protected:
  // Every file of every case in a session of its own: ours sends to the
  // peer (or to ours), or the peer sends to ours.
  void Run(const std::vector<XmodemCase>& cases, bool oursSends, bool peerIsOurs, uint32_t seed) {
    const std::string in = MakeDir("in");
    std::vector<Session> sessions;
    std::vector<std::pair<SentFile, std::string>> expected;  // file, where it lands
    for (const XmodemCase& c : cases) {
      const std::string out = MakeDir(std::string("out-") + c.protocol);
      for (const SentFile& f : MakeFiles(out, c.sizes, seed += 10)) {
        const std::string target = std::string(c.protocol) + "-" + f.name;
        Session s;
        s.what = std::string(c.protocol) + " " + f.name;
        const std::vector<std::string> recv = {"recv", "{PORT}", "--protocol", c.protocol, "--file", in + "/" + target};
        const Side ours = oursSends ? Ours({"send", "{PORT}", "--protocol", c.protocol, out + "/" + f.name})
                                    : Ours(Cat(recv, kQuickHandshake));
        if (peerIsOurs) {
          s.sender = ours;
          s.receiver = Ours(Cat(recv, kQuickHandshake));
        } else if (oursSends) {
          s.sender = ours;
          s.receiver = StdioPeer(Cat(c.peer, {target}), in);
        } else {
          s.sender = StdioPeer(Cat(c.peer, {f.name}), out);
          s.receiver = ours;
        }
        sessions.push_back(s);
        expected.emplace_back(f, in + "/" + target);
      }
    }
    RunSessions(sessions);
    for (size_t i = 0; i < sessions.size(); ++i) {
      SCOPED_TRACE(sessions[i].what);
      const PairResult& r = sessions[i].result;
      EXPECT_EQ(r.sender, 0) << Describe(r);
      EXPECT_EQ(r.receiver, 0) << Describe(r);
      ExpectXmodemCopy(ReadFile(expected[i].second), expected[i].first.data);
    }
  }
};

TEST_F(XmodemInteropTest, OursToOurs) {
  Run({{"xmodem", {}, {0, 129}},
       {"xmodem-crc", {}, {1, 1023, kBig}},
       {"xmodem-1k", {}, {127, 1025, kBig}},
       {"xmodem-1kg", {}, {128, 1024, kBig}}},
      true, true, 100);
}

TEST_F(XmodemInteropTest, OursToRx) {
  Run({{"xmodem", {"rx", "-q"}, {0, 127, 1023}},
       {"xmodem-crc", {"rx", "-q", "-c"}, {1, 129, 1025}},
       {"xmodem-1k", {"rx", "-q", "-c"}, {128, 1024, kBig}}},
      true, false, 200);
}

TEST_F(XmodemInteropTest, SxToOurs) {
  Run({{"xmodem", {"sx", "-q"}, {0, 127, 1023}},
       {"xmodem-crc", {"sx", "-q"}, {1, 129, 1025}},
       {"xmodem-1k", {"sx", "-q", "-k"}, {128, 1024, kBig}}},
      false, false, 300);
}

// --- Ymodem: batches -------------------------------------------------------------------------

TEST_F(XYmodemInteropTest, YmodemBatches) {
  struct Case {
    const char* what;
    const char* protocol;
    Peer sender, receiver;
    std::vector<size_t> sizes;
  };
  const Case cases[] = {
      {"ours to ours", "ymodem", Peer::Ours, Peer::Ours, {0, 1, 127, 128, 129, 1023, 1024, 1025, kBig}},
      {"ours to ours streaming", "ymodem-g", Peer::Ours, Peer::Ours, {0, 127, 1024, 1025, kBig}},
      {"ours to rb", "ymodem", Peer::Ours, Peer::Lrzsz, {1, 1024, kBig}},
      {"sb to ours", "ymodem", Peer::Lrzsz, Peer::Ours, {0, 1023, kBig}},
      // sb streams when asked with "G".
      {"sb to ours streaming", "ymodem-g", Peer::Lrzsz, Peer::Ours, {129, 1025, kBig}},
  };
  std::vector<Session> sessions;
  std::vector<std::pair<std::string, std::vector<SentFile>>> expected;
  uint32_t seed = 400;
  int n = 0;
  for (const Case& c : cases) {
    const std::string out = MakeDir("out" + std::to_string(++n)), in = MakeDir("in" + std::to_string(n));
    const auto files = MakeFiles(out, c.sizes, seed += 20);
    Session s;
    s.what = c.what;
    s.sender = c.sender == Peer::Ours ? Ours(Cat({"send", "{PORT}", "--protocol", c.protocol}, Paths(out, files)))
                                      : StdioPeer(Cat({"sb", "-q", "-k"}, Names(files)), out);
    s.receiver = c.receiver == Peer::Ours
                     ? Ours(Cat({"recv", "{PORT}", "--protocol", c.protocol, "--dir", in}, kQuickHandshake))
                     : StdioPeer({"rb", "-q"}, in);
    sessions.push_back(s);
    expected.emplace_back(in, files);
  }
  RunSessions(sessions);
  for (size_t i = 0; i < sessions.size(); ++i) {
    SCOPED_TRACE(sessions[i].what);
    const PairResult& r = sessions[i].result;
    EXPECT_EQ(r.sender, 0) << Describe(r);
    EXPECT_EQ(r.receiver, 0) << Describe(r);
    ExpectYmodemCopies(expected[i].first, expected[i].second);
  }
}

// --- A noisy line ----------------------------------------------------------------------------

// A paced line that flips and loses bytes: each transfer delivers identical
// files or fails with a clear error, never a different file reported as
// received. Whether a session survives lost bytes depends on where they fall,
// which the timing of the exchange moves from run to run: those sessions only
// have to end cleanly. On a line that only flips bits (a bad block is always
// seen and sent again), an acknowledged protocol between two of ours always
// gets its file through: those must deliver. Our sides wait one second for a
// block, so a hit costs little.
TEST_F(XYmodemInteropTest, ANoisyLineNeverGivesASilentlyDifferentFile) {
  struct Case {
    const char* what;
    const char* protocol;
    Peer sender, receiver;
    size_t size;
    bool recovers;  // ours to ours with acknowledged blocks
  };
  const Case cases[] = {
      {"xmodem-crc ours to ours", "xmodem-crc", Peer::Ours, Peer::Ours, 16 << 10, true},
      {"xmodem-1k ours to ours", "xmodem-1k", Peer::Ours, Peer::Ours, 24 << 10, true},
      {"ymodem ours to ours", "ymodem", Peer::Ours, Peer::Ours, 24 << 10, true},
      {"ymodem-g ours to ours", "ymodem-g", Peer::Ours, Peer::Ours, 24 << 10, false},
      {"xmodem-1k ours to rx", "xmodem-1k", Peer::Ours, Peer::Lrzsz, 8 << 10, false},
      {"xmodem-1k sx to ours", "xmodem-1k", Peer::Lrzsz, Peer::Ours, 8 << 10, false},
      {"ymodem sb to ours", "ymodem", Peer::Lrzsz, Peer::Ours, 8 << 10, false},
  };
  struct Line {
    const char* what;
    std::vector<std::string> options;
    bool onlyFlips;
  };
  const Line lines[] = {
      {"flips and drops, seed 11", {"--flip", "1e-4", "--drop", "1e-4", "--seed", "11"}, false},
      {"flips and drops, seed 12", {"--flip", "1e-4", "--drop", "1e-4", "--seed", "12"}, false},
      {"flips, seed 13", {"--flip", "2e-4", "--seed", "13"}, true},
  };
  std::vector<bool> mustDeliver;
  const std::vector<std::string> ours = {"--baud", "115200", "--block-wait", "18", "--handshake-wait", "18"};
  std::vector<Session> sessions;
  std::vector<std::pair<SentFile, std::string>> expected;  // file, where it lands
  uint32_t seed = 800;
  int n = 0;
  for (const Case& c : cases) {
    for (const Line& line : lines) {
      if (line.onlyFlips && !c.recovers) continue;
      const bool xmodem = std::string(c.protocol).rfind("xmodem", 0) == 0;
      const std::string out = MakeDir("out" + std::to_string(++n)), in = MakeDir("in" + std::to_string(n));
      const SentFile f = MakeFiles(out, {c.size}, ++seed)[0];
      Session s;
      s.what = std::string(c.what) + ", " + line.what;
      s.cableOptions = Cat({"--baud", "115200"}, line.options);
      const std::vector<std::string> target =
          xmodem ? std::vector<std::string>{"--file", in + "/" + f.name} : std::vector<std::string>{"--dir", in};
      if (c.sender == Peer::Ours)
        s.sender = Ours(Cat(Cat({"send", "{PORT}", "--protocol", c.protocol}, ours), {out + "/" + f.name}));
      else
        s.sender = StdioPeer({xmodem ? "sx" : "sb", "-q", "-k", f.name}, out);
      if (c.receiver == Peer::Ours)
        s.receiver = Ours(Cat(Cat({"recv", "{PORT}", "--protocol", c.protocol}, ours), target));
      else
        s.receiver = StdioPeer({"rx", "-q", "-c", f.name}, in);
      sessions.push_back(s);
      expected.emplace_back(f, in + "/" + f.name);
      mustDeliver.push_back(line.onlyFlips);
    }
  }
  RunSessions(sessions, seconds(90));
  for (size_t i = 0; i < sessions.size(); ++i) {
    SCOPED_TRACE(sessions[i].what);
    const PairResult& r = sessions[i].result;
    EXPECT_NE(r.sender, -1) << "the sender did not end\n" << Describe(r);
    EXPECT_NE(r.receiver, -1) << "the receiver did not end\n" << Describe(r);
    const bool oursReceives = sessions[i].receiver.kind == Side::Ours;
    if (mustDeliver[i]) {
      EXPECT_TRUE(r.sender == 0 && r.receiver == 0) << Describe(r);
    }
    if (r.receiver == 0) {
      const std::string got = ReadFile(expected[i].second);
      const std::string& sent = expected[i].first.data;
      if (sessions[i].what.rfind("xmodem", 0) == 0)
        ExpectXmodemCopy(got, sent);
      else
        EXPECT_TRUE(got == sent) << "a different file was reported as received";
    } else if (oursReceives) {
      EXPECT_NE(r.receiverErr.find("mero: "), std::string::npos) << "a failure without its reason\n" << Describe(r);
    }
    if (r.sender != 0 && sessions[i].sender.kind == Side::Ours) {
      EXPECT_NE(r.senderErr.find("mero: "), std::string::npos) << "a failure without its reason\n" << Describe(r);
    }
  }
}

// --- Cancels ---------------------------------------------------------------------------------

// A large transfer stopped by a signal to one side once data moves: both
// sides end within seconds, and our partial file is deleted (a failed Xmodem
// or Ymodem receive cannot resume).
TEST_F(XYmodemInteropTest, ACancelFromEitherSideEndsBoth) {
  enum Whom { Sender, Receiver };
  const struct {
    const char* what;
    bool oursSends, oursReceives;
    Whom signalled;
  } cases[] = {
      {"signal to our sender", true, true, Sender},
      {"signal to our receiver", true, true, Receiver},
      {"sb stopped", false, true, Sender},
      {"rb stopped", true, false, Receiver},
  };
  const std::string out = MakeDir("out");
  const auto files = MakeFiles(out, {8 << 20}, 700);
  struct Run {
    std::string in, history;
    std::vector<std::string> ends;
    Child *cable = nullptr, *send = nullptr, *recv = nullptr;
    std::chrono::steady_clock::time_point signalled;
    int signalledExit = 0, otherExit = 0;
    double took = 0;
  };
  std::vector<Run> runs(std::size(cases));
  for (size_t i = 0; i < runs.size(); ++i) {
    const auto& c = cases[i];
    Run& run = runs[i];
    run.in = MakeDir("in" + std::to_string(i));
    run.history = run.in + ".his";
    run.ends = StartCable({}, &run.cable);
    ASSERT_EQ(run.ends.size(), 2u);
    // A stopped peer may not get its cancel onto the line: ours then ends by
    // its time-outs, short ones here.
    const std::vector<std::string> waits =
        c.oursSends && c.oursReceives ? std::vector<std::string>{}
                                      : std::vector<std::string>{"--baud", "115200", "--block-wait", "9",
                                                                 "--handshake-wait", "9"};
    const Side receiver =
        c.oursReceives
            ? Ours(Cat({"recv", "{PORT}", "--protocol", "ymodem", "--dir", run.in, "--history", run.history}, waits))
            : StdioPeer({"rb", "-q"}, run.in);
    run.recv = &StartSide(receiver, run.ends[1]);
    if (c.oursReceives) {
      ASSERT_TRUE(WaitReady(*run.recv, run.ends[1])) << Err(*run.recv);
    }
    const Side sender = c.oursSends
                            ? Ours(Cat(Cat({"send", "{PORT}", "--protocol", "ymodem"}, waits), Paths(out, files)))
                            : StdioPeer(Cat({"sb", "-q", "-k"}, Names(files)), out);
    run.send = &StartSide(sender, run.ends[0]);
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    Run& run = runs[i];
    const std::string partial = run.in + "/" + files[0].name;
    EXPECT_TRUE(WaitFor([&] {
      struct stat st {};
      return stat(partial.c_str(), &st) == 0 && st.st_size > 0;
    }, seconds(20))) << cases[i].what << ": no data arrived";
    run.signalled = std::chrono::steady_clock::now();
    kill((cases[i].signalled == Sender ? run.send : run.recv)->pid, SIGTERM);
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    Run& run = runs[i];
    Child& target = cases[i].signalled == Sender ? *run.send : *run.recv;
    Child& other = cases[i].signalled == Sender ? *run.recv : *run.send;
    run.signalledExit = Wait(target, seconds(10));
    run.otherExit = Wait(other, seconds(25));
    run.took = std::chrono::duration<double>(std::chrono::steady_clock::now() - run.signalled).count();
    Stop(*run.cable);
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const auto& c = cases[i];
    const Run& run = runs[i];
    SCOPED_TRACE(c.what);
    EXPECT_NE(run.signalledExit, -1) << "the signalled side did not end";
    EXPECT_NE(run.otherExit, -1) << "the other side did not end";
    EXPECT_NE(run.otherExit, 0);
    // Between ours the cancel string ends it at once; a stopped peer is
    // noticed by the block time-outs.
    EXPECT_LT(run.took, c.oursSends && c.oursReceives ? 5.0 : 15.0);
    if (c.oursSends && c.oursReceives) {
      EXPECT_NE(Err(*run.send).find("Cancel requested"), std::string::npos) << Err(*run.send);
      EXPECT_NE(Err(*run.recv).find("Cancel requested"), std::string::npos) << Err(*run.recv);
    }
    if (c.oursReceives) {
      EXPECT_NE(ReadFile(run.history).find("Ymodem receive failed"), std::string::npos) << ReadFile(run.history);
      EXPECT_NE(access((run.in + "/" + files[0].name).c_str(), F_OK), 0) << "the partial file was kept";
    }
  }
}

}  // namespace
}  // namespace zav::test
