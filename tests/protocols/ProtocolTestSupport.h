// Shared pieces of the protocol tests: a scratch working directory, message
// pumping, a protocol component on an in-memory port with a fixed clock, and
// pseudo-terminal ports. The bodies live in tests/support.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/Messages.h"
#include "protocols/QwTPcl.h"
#include "protocols/QxProtcl.h"
#include "tests/support/MemoryDevice.h"
#include "tests/support/ProtocolRig.h"
#include "tests/support/TestSupport.h"

namespace zav::test {

namespace fs = std::filesystem;

inline std::string ReadWhole(const fs::path& p) { return ReadFile(p); }
inline void WriteWhole(const fs::path& p, const std::string& bytes) { WriteFile(p, bytes); }

// A protocol component on a port over the in-memory device, with the clock
// stopped: the test moves time and runs the dispatcher's passes itself
// (tests/support/ProtocolRig.h).
class MemoryProtocolTest : public ::testing::Test, public TMemoryProtocolRig {
 protected:
  void SetUp() override {}
  void TearDown() override {}

  void StartAscii(const std::string& mask) {
    protocol->SetProtocolType(ptAscii);
    protocol->SetFileMask(mask);
    protocol->BeginTransmit();
    DrainQueue();
  }
  TAsciiArea& Ascii() { return *AsciiArea(Record()); }
};

// Pseudo-terminal pairs mapped as COM numbers through an override directory.
class PtyProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/protocols-ports-XXXXXX";
    dir_ = mkdtemp(tmpl);
    oldDir_ = getenv("ZAVTERM_PORTS_DIR") ? getenv("ZAVTERM_PORTS_DIR") : "";
    setenv("ZAVTERM_PORTS_DIR", dir_.c_str(), 1);
    for (int n = 1; n <= 50; ++n) fs::create_symlink("/nonexistent", dir_ / ("com" + std::to_string(n)));
  }
  void TearDown() override {
    DrainQueue();
    for (int fd : fds_) close(fd);
    if (oldDir_.empty())
      unsetenv("ZAVTERM_PORTS_DIR");
    else
      setenv("ZAVTERM_PORTS_DIR", oldDir_.c_str(), 1);
    fs::remove_all(dir_);
  }

  // Makes a raw pair, links its slave as com<n>; returns the master.
  int AddPort(int com) {
    int master = -1, slave = -1;
    char name[256];
    EXPECT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    fds_.push_back(master);
    fds_.push_back(slave);
    const fs::path link = dir_ / ("com" + std::to_string(com));
    fs::remove(link);
    fs::create_symlink(name, link);
    return master;
  }

  // Reads the master while pumping messages until `want` bytes came or `done`
  // holds and nothing more arrives; records each byte's arrival time.
  struct Arrival {
    uint8_t byte;
    std::chrono::steady_clock::time_point at;
  };
  std::vector<Arrival> ReadFar(int master, size_t want, int seconds = 20) {
    std::vector<Arrival> got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
      DrainQueue();
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 2) > 0 && (p.revents & POLLIN)) {
        uint8_t buf[512];
        ssize_t n = read(master, buf, sizeof buf);
        auto t = std::chrono::steady_clock::now();
        for (ssize_t i = 0; i < n; ++i) got.push_back({buf[i], t});
      }
    }
    return got;
  }
  static std::string Bytes(const std::vector<Arrival>& a) {
    std::string s;
    for (auto& x : a) s += char(x.byte);
    return s;
  }

  ScratchDir scratch;
  TComponent form{nullptr};

 private:
  fs::path dir_;
  std::string oldDir_;
  std::vector<int> fds_;
};

}  // namespace zav::test
