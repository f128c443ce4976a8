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
#include "protocols/core/QwTPcl.h"
#include "protocols/component/QxProtcl.h"
#include "tests/support/MemoryDevice.h"
#include "tests/support/ProtocolRig.h"
#include "tests/support/PtyPorts.h"
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

// Pseudo-terminal pairs mapped as COM numbers (tests/support/PtyPorts.h).
class PtyProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {}
  void TearDown() override { DrainQueue(); }

  // Makes a raw pair, links its slave as com<n>; returns the master.
  int AddPort(int com) { return ports.AddPort(com).master; }

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

  TPtyPortMap ports;
  ScratchDir scratch;
  TComponent form{nullptr};
};

}  // namespace zav::test
