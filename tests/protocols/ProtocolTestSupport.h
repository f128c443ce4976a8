// Shared pieces of the protocol tests: a scratch working directory, message
// pumping, a protocol component on an in-memory port with a fixed clock, and
// pseudo-terminal ports.
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

namespace zav::test {

namespace fs = std::filesystem;

inline std::string ReadWhole(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteWhole(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary);
  out << bytes;
}

// Serves the calling thread's messages until `done` holds or `seconds` pass.
inline bool PumpUntil(const std::function<bool()>& done, int seconds = 10) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (PumpOneMessage() == PumpResult::Empty)
      WaitForThreadMessage(std::chrono::steady_clock::now() + std::chrono::milliseconds(5));
  }
  return true;
}

inline void DrainQueue() {
  while (PumpOneMessage() == PumpResult::Dispatched) {
  }
}

// A scratch directory that is also the working directory.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/protocols-XXXXXX";
    path_ = mkdtemp(tmpl);
    old_ = fs::current_path();
    fs::current_path(path_);
  }
  ~ScratchDir() {
    fs::current_path(old_);
    fs::remove_all(path_);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_, old_;
};

// Records a component's events as short texts ("status 1", "log 4",
// "finish 0", "error -6003", "next").
struct EventLog {
  std::vector<std::string> events;
  void Attach(TMroCustomProtocol& p) {
    p.OnProtocolStatus = [this](TMroCustomProtocol*, uint16_t o) { events.push_back("status " + std::to_string(o)); };
    p.OnProtocolLog = [this](TMroCustomProtocol*, uint16_t c) { events.push_back("log " + std::to_string(c)); };
    p.OnProtocolFinish = [this](TMroCustomProtocol*, int32_t c) { events.push_back("finish " + std::to_string(c)); };
    p.OnProtocolError = [this](TMroCustomProtocol*, int32_t c) { events.push_back("error " + std::to_string(c)); };
  }
  bool Finished() const {
    for (auto& e : events)
      if (e.rfind("finish", 0) == 0) return true;
    return false;
  }
  int32_t FinishCode() const {
    for (auto& e : events)
      if (e.rfind("finish ", 0) == 0) return std::stoi(e.substr(7));
    return 1;
  }
  size_t Count(const std::string& e) const { return size_t(std::count(events.begin(), events.end(), e)); }
};

// A protocol component on a port over the in-memory device, with the clock
// stopped: the test moves time and runs the dispatcher's passes itself.
class MemoryProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetFixedClockForTesting(int64_t(kMsPerTick) * 100000);
    now_ = int64_t(kMsPerTick) * 100000;
    port = new TMroComPort(&form);
    port->DispatcherFactory = [this](TMroCustomComPort& p) {
      auto d = std::make_unique<TMemoryDispatcher>(&p);
      device = d.get();
      return d;
    };
    port->SetComNumber(1);
    port->SetOutSize(4096);
    port->SetOpen(true);
    protocol = new TMroProtocol(&form);
    events.Attach(*protocol);
  }
  void TearDown() override {
    DrainQueue();
    SetFixedClockForTesting(-1);
  }

  void StartAscii(const std::string& mask) {
    protocol->SetProtocolType(ptAscii);
    protocol->SetFileMask(mask);
    protocol->BeginTransmit();
    DrainQueue();
  }

  // Moves the clock on by whole ticks and runs a status and timer pass.
  void Advance(int ticks) {
    now_ += int64_t(ticks) * kMsPerTick;
    SetFixedClockForTesting(now_);
    Pass();
  }
  void Pass() {
    device->StatusAndTimerPass();
    DrainQueue();
  }
  // Reopens the port (a fresh device) with another transmit-ring size.
  void ReopenWithOutSize(uint16_t size) {
    port->SetOpen(false);
    DrainQueue();
    port->SetOutSize(size);
    port->SetOpen(true);
  }
  TransferRecord& Record() { return protocol->Record(); }
  TAsciiArea& Ascii() { return *AsciiArea(Record()); }
  int32_t TicksLeft(int32_t handle) {
    int32_t t = -1;
    device->TimerTicksLeft(handle, t);
    return t;
  }

  ScratchDir scratch;
  TComponent form{nullptr};
  TMroComPort* port = nullptr;
  TMroProtocol* protocol = nullptr;
  TMemoryDispatcher* device = nullptr;
  EventLog events;
  int64_t now_ = 0;
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
