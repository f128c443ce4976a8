// Network ports through ser2net: mero on rfc2217:// reaching one end of a
// cable that ser2net serves, lrzsz and C-Kermit on the other end; a
// connection that drops in the middle of a transfer; opens that cannot
// connect; a COM number of the port map that names a network port.
#include <filesystem>
#include <optional>
#include <thread>

#include "tests/interop/InteropSupport.h"
#include "tests/support/NetPeers.h"

namespace zav::test {
namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class NetInterop : public InteropTest {
 protected:
  void SetUp() override {
    InteropTest::SetUp();
    out = MakeDir("out");
    in = MakeDir("in");
  }
  // Our side reaches its cable end through ser2net.
  Through ViaSer2Net() {
    return {[this](const std::string& device) {
      ser2net.emplace(device);
      return ser2net->Address();
    }};
  }
  // Sample files in `out`; their paths.
  std::vector<std::string> Files(const std::vector<size_t>& sizes) {
    std::vector<std::string> paths;
    for (size_t size : sizes) {
      paths.push_back(out + "/f" + std::to_string(size) + ".bin");
      WriteFile(paths.back(), RandomBytes(size, uint32_t(size)));
    }
    return paths;
  }
  void ExpectArrived(const std::vector<std::string>& paths) {
    for (const auto& p : paths) {
      const std::string name = std::filesystem::path(p).filename();
      EXPECT_TRUE(ReadFile(in + "/" + name) == ReadFile(p)) << name;
    }
  }

  std::string out, in;
  std::optional<TSer2Net> ser2net;
};

TEST_F(NetInterop, ZmodemWithLrzszBothWays) {
  const auto files = Files({1, 70000, 250000});
  // Our side paces its data at the rate it sets (the cable itself is unpaced).
  std::vector<std::string> send = {"send", "{PORT}", "--baud", "921600", "--protocol", "zmodem"};
  send.insert(send.end(), files.begin(), files.end());
  PairResult r = Transfer(Ours(send), StdioPeer({"rz", "-q"}, in), {}, std::chrono::seconds(60), ViaSer2Net());
  ASSERT_TRUE(r.sender == 0 && r.receiver == 0) << Describe(r);
  ExpectArrived(files);

  std::filesystem::remove_all(in);
  in = MakeDir("in2");
  r = Transfer(StdioPeer({"sz", "-q", "f70000.bin", "f250000.bin"}, out),
               Ours({"recv", "{PORT}", "--baud", "921600", "--protocol", "zmodem", "--dir", in}), {},
               std::chrono::seconds(60),
               ViaSer2Net());
  ASSERT_TRUE(r.sender == 0 && r.receiver == 0) << Describe(r);
  ExpectArrived({files[1], files[2]});
}

TEST_F(NetInterop, KermitToCKermit) {
  const auto files = Files({3000, 200000});
  std::vector<std::string> send = {"send", "{PORT}", "--baud", "921600", "--protocol", "kermit", "--packet-length",
                                   "1024", "--windows", "4", "--check", "3", "--timeout", "1"};
  send.insert(send.end(), files.begin(), files.end());
  const Side ckermit = DevicePeer({"kermit", "-Y", "-q", "-H", "-l", "{PORT}", "-b", "115200", "-C",
                                   "set carrier-watch off,set flow none,set file names literal,set receive "
                                   "pathnames off,set file type binary,set window 4,set block-check 3,receive,exit"},
                                  in);
  const PairResult r = Transfer(Ours(send), ckermit, {}, std::chrono::seconds(60), ViaSer2Net());
  ASSERT_TRUE(r.sender == 0 && r.receiver == 0) << Describe(r);
  ExpectArrived(files);
}

TEST_F(NetInterop, AConnectionDroppedMidTransferIsTheDeviceGoingAway) {
  // A slow line, so that the transfer is under way when ser2net ends.
  const auto ends = StartCable(std::vector<std::string>{"--baud", "19200"});
  ASSERT_EQ(ends.size(), 2u);
  const auto files = Files({400000});
  StartSide(StdioPeer({"rz", "-q"}, in), ends[1]);
  TSer2Net server(ends[0]);
  Child& send = Start({"send", server.Address(), "--protocol", "zmodem", files[0]});
  // rz makes the file when the transfer starts: from then on the connection
  // carries the transfer.
  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(in + "/f400000.bin"); })) << Err(send);
  server.Kill();
  const auto killed = std::chrono::steady_clock::now();
  EXPECT_EQ(Wait(send, std::chrono::seconds(15)), 1) << Err(send);
  EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::seconds(10));
  EXPECT_TRUE(Contains(Err(send), "the device hung up")) << Err(send);
}

TEST_F(NetInterop, OpensThatCannotConnectSayWhy) {
  const RunResult refused = Run({"term", "rfc2217://127.0.0.1:" + std::to_string(FreeLoopbackPort())});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_TRUE(Contains(refused.err, "Connection refused: nothing listens at 127.0.0.1:")) << refused.err;

  TSilentListener silent;
  const auto start = std::chrono::steady_clock::now();
  const RunResult silence = Run({"term", "tcp://127.0.0.1:" + std::to_string(silent.Port()) + "?timeout=500"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(silence.exitCode, 1);
  EXPECT_TRUE(Contains(silence.err, "Connection timed out: no answer from 127.0.0.1:")) << silence.err;
}

TEST_F(NetInterop, AComNumberNamesANetworkPort) {
  const auto ends = StartCable();
  ASSERT_EQ(ends.size(), 2u);
  TSer2Net server(ends[0]);
  std::filesystem::create_directories(portsDir);
  WriteFile(portsDir + "/com7", server.Address() + "\n");
  const RunResult ports = Run({"ports"});
  EXPECT_TRUE(Contains(ports.out, "COM7*") && Contains(ports.out, server.Address()) &&
              Contains(ports.out, "network port, RFC 2217"))
      << ports.out;
  // Bytes both ways between COM7 and the cable's far end.
  // Both sessions stay until each has the other's line.
  Child& near = Start({"term", "COM7", "--idle", "0"}, {}, true);
  ASSERT_TRUE(WaitReady(near, "COM7")) << Err(near);
  Child& far = Start({"term", ends[1], "--idle", "0"}, {}, true);
  ASSERT_TRUE(WaitReady(far, ends[1])) << Err(far);
  ASSERT_EQ(write(far.stdinFd, "from the far end\n", 17), 17);
  ASSERT_EQ(write(near.stdinFd, "from COM7\n", 10), 10);
  EXPECT_TRUE(WaitFor([&] { return Contains(Out(near), "from the far end\n"); })) << Out(near) << Err(near);
  EXPECT_TRUE(WaitFor([&] { return Contains(Out(far), "from COM7\n"); })) << Out(far) << Err(far);
  CloseStdin(near);
  CloseStdin(far);
  EXPECT_EQ(Wait(near), 0) << Err(near);
  EXPECT_EQ(Wait(far), 0) << Err(far);
}

}  // namespace
}  // namespace zav::test
