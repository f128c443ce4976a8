// The ASCII protocol on a pseudo-terminal, the far end read here:
//  - pacing accuracy: with a character delay of 5 ms, the mean gap between
//    bytes at the far end against 5 ms;
//  - send rate with both delays 0, as a ratio to writing the same file
//    straight to the pseudo-terminal. OUTSIZE=<bytes> in the environment sets
//    the port's transmit ring (default 4096) to show how much of the time is
//    spent waiting for room in it.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Messages.h"
#include "protocols/component/QxProtcl.h"

using namespace zav;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

struct Pty {
  int master = -1, slave = -1;
  std::string name;
  Pty() {
    char buf[256];
    if (openpty(&master, &slave, buf, nullptr, nullptr) != 0) std::abort();
    name = buf;
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
  }
  ~Pty() {
    close(master);
    close(slave);
  }
};

// Reads the master while serving this thread's messages; the arrival time of
// every byte.
std::vector<Clock::time_point> ReadFar(int master, size_t want, std::string* bytes = nullptr) {
  std::vector<Clock::time_point> at;
  at.reserve(want);
  auto deadline = Clock::now() + std::chrono::seconds(120);
  std::vector<char> buf(65536);
  while (at.size() < want && Clock::now() < deadline) {
    while (PumpOneMessage() == PumpResult::Dispatched) {
    }
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 1) > 0 && (p.revents & POLLIN)) {
      ssize_t n = read(master, buf.data(), buf.size());
      auto t = Clock::now();
      for (ssize_t i = 0; i < n; ++i) at.push_back(t);
      if (bytes != nullptr && n > 0) bytes->append(buf.data(), size_t(n));
    }
  }
  return at;
}

struct Bench {
  fs::path dir;
  Pty pty;
  TComponent form{nullptr};
  TMroComPort* port = nullptr;
  TMroProtocol* protocol = nullptr;
  bool finished = false;
  int32_t code = 0;

  Bench() {
    char tmpl[] = "/tmp/bench-ascii-XXXXXX";
    dir = mkdtemp(tmpl);
    fs::create_directory(dir / "ports");
    fs::create_symlink(pty.name, dir / "ports" / "com1");
    setenv("ZAVTERM_PORTS_DIR", (dir / "ports").c_str(), 1);
    port = new TMroComPort(&form);
    port->SetComNumber(1);
    port->SetBaud(115200);
    if (getenv("OUTSIZE")) port->SetOutSize(uint16_t(atoi(getenv("OUTSIZE"))));
    port->SetOpen(true);
    protocol = new TMroProtocol(&form);
    protocol->SetProtocolType(ptAscii);
    protocol->SetUpcaseFileNames(false);
    protocol->OnProtocolFinish = [this](TMroCustomProtocol*, int32_t c) {
      finished = true;
      code = c;
    };
  }
  ~Bench() {
    port->SetOpen(false);
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (port->PortPhase != TPortPhase::ppClosed && Clock::now() < deadline) PumpOneMessage();
    fs::remove_all(dir);
  }
  void Send(const std::string& bytes, uint32_t charDelay) {
    const fs::path file = dir / "send.txt";
    std::ofstream(file, std::ios::binary) << bytes;
    finished = false;
    protocol->SetFileMask(file.string());
    protocol->SetAsciiCharDelay(charDelay);
    protocol->SetAsciiLineDelay(0);
    protocol->BeginTransmit();
  }
  void WaitFinish() {
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!finished && Clock::now() < deadline) {
      if (PumpOneMessage() == PumpResult::Empty) WaitForThreadMessage(Clock::now() + std::chrono::milliseconds(5));
    }
  }
};

std::string Text(size_t n) {
  std::string s;
  s.reserve(n);
  for (size_t i = 0; i < n; ++i) s += char('A' + i % 26);
  return s;
}

}  // namespace

int main() {
  Bench bench;

  // Pacing: 500 bytes, 5 ms apart.
  constexpr size_t kPaced = 500;
  bench.Send(Text(kPaced), 5);
  auto at = ReadFar(bench.pty.master, kPaced);
  bench.WaitFinish();
  if (at.size() != kPaced || bench.code != 0) {
    std::fprintf(stderr, "paced send incomplete: %zu bytes, code %d\n", at.size(), bench.code);
    return 1;
  }
  const double spanMs = std::chrono::duration<double, std::milli>(at.back() - at.front()).count();
  const double meanGap = spanMs / double(kPaced - 1);
  double maxGap = 0;
  for (size_t i = 1; i < at.size(); ++i)
    maxGap = std::max(maxGap, std::chrono::duration<double, std::milli>(at[i] - at[i - 1]).count());
  std::printf("char delay 5 ms: mean gap %.3f ms (%+.1f%%), longest gap %.1f ms over %zu bytes\n", meanGap,
              (meanGap / 5.0 - 1.0) * 100.0, maxGap, kPaced);

  // Send rate without delays against a direct write of the same bytes.
  constexpr size_t kBulk = 1 << 20;
  const std::string bulk = Text(kBulk);
  auto t0 = Clock::now();
  bench.Send(bulk, 0);
  std::string got;
  auto bulkAt = ReadFar(bench.pty.master, kBulk, &got);
  const double asciiMs = std::chrono::duration<double, std::milli>(bulkAt.back() - t0).count();
  bench.WaitFinish();
  if (got != bulk || bench.code != 0) {
    std::fprintf(stderr, "bulk send wrong: %zu bytes, code %d\n", got.size(), bench.code);
    return 1;
  }
  bench.port->SetOpen(false);
  while (bench.port->PortPhase != TPortPhase::ppClosed) PumpOneMessage();

  Pty direct;
  const int fd = open(direct.name.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK);
  auto t1 = Clock::now();
  size_t written = 0;
  std::vector<char> sink(65536);
  size_t read = 0;
  while (read < kBulk) {
    if (written < kBulk) {
      ssize_t n = write(fd, bulk.data() + written, kBulk - written);
      if (n > 0) written += size_t(n);
    }
    pollfd p{direct.master, POLLIN, 0};
    if (poll(&p, 1, 1) > 0) {
      ssize_t n = ::read(direct.master, sink.data(), sink.size());
      if (n > 0) read += size_t(n);
    }
  }
  const double directMs = std::chrono::duration<double, std::milli>(Clock::now() - t1).count();
  close(fd);
  std::printf("1 MiB with delays 0: ASCII %.1f ms (%.0f KiB/s), direct %.1f ms (%.0f KiB/s)\n", asciiMs,
              1024.0 / (asciiMs / 1000.0), directMs, 1024.0 / (directMs / 1000.0));
  std::printf("RESULT ascii_pacing_mean_gap_error %.1f %%\n", (meanGap / 5.0 - 1.0) * 100.0);
  std::printf("RESULT ascii_send_rate_ratio %.3f x\n", directMs / asciiMs);
  return 0;
}
