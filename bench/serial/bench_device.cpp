// The serial device dispatcher on a pseudo-terminal pair:
//  - receive throughput with an availability handler that reads everything, as
//    a ratio to a plain poll + read loop on the same kind of pair;
//  - latency from a far-end write of one byte to the availability handler;
//  - CPU use of an open, idle port;
//  - a sequence-numbered stream with a slow reader: bytes lost.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "serial/QwWin32.h"

using namespace zav;
using Clock = std::chrono::steady_clock;

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
  void CloseSlave() {
    if (slave >= 0) close(slave);
    slave = -1;
  }
  ~Pty() {
    CloseSlave();
    close(master);
  }
};

void WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w > 0) {
      p += w;
      n -= size_t(w);
    } else {
      pollfd f{fd, POLLOUT, 0};
      poll(&f, 1, 100);
    }
  }
}

double CpuSeconds() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

constexpr size_t kStream = size_t(64) << 20;

double PlainThroughput() {
  Pty pty;
  fcntl(pty.slave, F_SETFL, O_NONBLOCK);
  std::vector<char> block(4096, 'x');
  auto t0 = Clock::now();
  std::thread writer([&] {
    for (size_t sent = 0; sent < kStream; sent += block.size()) WriteAll(pty.master, block.data(), block.size());
  });
  size_t got = 0;
  char buf[8192];
  while (got < kStream) {
    pollfd f{pty.slave, POLLIN, 0};
    poll(&f, 1, 1000);
    ssize_t n = read(pty.slave, buf, sizeof buf);
    if (n > 0) got += size_t(n);
  }
  double s = std::chrono::duration<double>(Clock::now() - t0).count();
  writer.join();
  return double(kStream) / s / 1e6;
}

double DispatcherThroughput() {
  Pty pty;
  pty.CloseSlave();
  TMroWin32Dispatcher d(nullptr);
  if (d.InitializePort(pty.name, 115200, 0, 8, 1, 4096, 4096, 0) != 0) std::abort();
  std::atomic<size_t> got{0};
  TEvent done;
  std::vector<char> sink(8192);
  d.SetAvailLength(1);
  d.RegisterMethodHandler({&got, [&](UINT msg, WPARAM n, LPARAM) {
                             if (msg != 0x7E01) return;
                             if (d.ReadBlock(sink.data(), uint32_t(n)) > 0 && (got += n) >= kStream) done.Set();
                           }});
  std::vector<char> block(4096, 'x');
  auto t0 = Clock::now();
  std::thread writer([&] {
    for (size_t sent = 0; sent < kStream; sent += block.size()) WriteAll(pty.master, block.data(), block.size());
  });
  if (!done.Wait(std::getenv("STALL_MS") ? std::atoi(std::getenv("STALL_MS")) : 60000)) {
    std::fprintf(stderr, "stalled: got %zu, ring used %u full %d head %u tail %u\n", got.load(), d.InputUsed(),
                 int(d.InputFull()), d.InHead(), d.InTail());
  }
  double s = std::chrono::duration<double>(Clock::now() - t0).count();
  writer.join();
  d.ShutdownPort();
  return double(kStream) / s / 1e6;
}

void Latency(double& median, double& p99) {
  Pty pty;
  pty.CloseSlave();
  TMroWin32Dispatcher d(nullptr);
  if (d.InitializePort(pty.name, 115200, 0, 8, 1, 4096, 4096, 0) != 0) std::abort();
  TEvent arrived;
  std::atomic<int64_t> at{0};
  d.SetAvailLength(1);
  d.RegisterMethodHandler({&at, [&](UINT msg, WPARAM n, LPARAM) {
                             if (msg != 0x7E01) return;
                             at = Clock::now().time_since_epoch().count();
                             char c[64];
                             d.ReadBlock(c, uint32_t(std::min<WPARAM>(n, 64)));
                             arrived.Set();
                           }});
  std::vector<double> us;
  for (int i = 0; i < 1000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    auto t0 = Clock::now();
    WriteAll(pty.master, "x", 1);
    if (!arrived.Wait(5000)) std::abort();
    us.push_back(double(at.load() - t0.time_since_epoch().count()) / 1000.0);
  }
  d.ShutdownPort();
  std::sort(us.begin(), us.end());
  median = us[us.size() / 2];
  p99 = us[us.size() * 99 / 100];
}

// 1000 round trips from the far end (`master`): a byte out, the answer back;
// microseconds each, sorted.
std::vector<double> RoundTrips(int master) {
  std::vector<double> us;
  for (int i = 0; i < 1000; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    auto t0 = Clock::now();
    WriteAll(master, "x", 1);
    char c;
    pollfd f{master, POLLIN, 0};
    if (poll(&f, 1, 5000) != 1 || read(master, &c, 1) != 1) std::abort();
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  return us;
}

// A far end writes a byte, the handler answers it with WriteBlock (as an
// engine answers a block), and the far end reads the answer: the round trip
// through the dispatcher's reading and writing sides.
void AnswerLatency(double& median, double& p99) {
  Pty pty;
  pty.CloseSlave();
  TMroWin32Dispatcher d(nullptr);
  if (d.InitializePort(pty.name, 115200, 0, 8, 1, 4096, 4096, 0) != 0) std::abort();
  d.SetAvailLength(1);
  d.RegisterMethodHandler({&d, [&](UINT msg, WPARAM n, LPARAM) {
                             if (msg != 0x7E01) return;
                             char c[64];
                             d.ReadBlock(c, uint32_t(std::min<WPARAM>(n, 64)));
                             d.WriteBlock("y", 1);
                           }});
  const std::vector<double> us = RoundTrips(pty.master);
  d.ShutdownPort();
  median = us[us.size() / 2];
  p99 = us[us.size() * 99 / 100];
}

// The same round trip with a plain poll+read+write loop on the port.
double PlainAnswerMedian() {
  Pty pty;
  std::atomic<bool> stop{false};
  std::thread answerer([&] {
    char c[64];
    while (!stop) {
      pollfd f{pty.slave, POLLIN, 0};
      if (poll(&f, 1, 100) == 1 && read(pty.slave, c, sizeof c) > 0) WriteAll(pty.slave, "y", 1);
    }
  });
  const std::vector<double> us = RoundTrips(pty.master);
  stop = true;
  answerer.join();
  return us[us.size() / 2];
}

double IdleCpuPercent(double seconds) {
  Pty pty;
  pty.CloseSlave();
  TMroWin32Dispatcher d(nullptr);
  if (d.InitializePort(pty.name, 115200, 0, 8, 1, 4096, 4096, 0) != 0) std::abort();
  d.SetAvailLength(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  double c0 = CpuSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  double c1 = CpuSeconds();
  d.ShutdownPort();
  return (c1 - c0) / seconds * 100.0;
}

// 10 MB of 32-bit sequence numbers; the reader takes what it is told of but
// pauses on every call, so it is far slower than the line and the data backs up
// into the kernel and the writer. Returns the bytes lost or out of order.
size_t SlowReaderLoss(size_t bytes) {
  Pty pty;
  pty.CloseSlave();
  TMroWin32Dispatcher d(nullptr);
  if (d.InitializePort(pty.name, 115200, 0, 8, 1, 4096, 4096, 0) != 0) std::abort();
  std::vector<uint8_t> received;
  received.reserve(bytes);
  TEvent done;
  d.SetAvailLength(1);
  int calls = 0;
  d.RegisterMethodHandler({&received, [&](UINT msg, WPARAM n, LPARAM) {
                             if (msg != 0x7E01) return;
                             uint8_t buf[8192];
                             uint32_t take = uint32_t(std::min<WPARAM>(n, sizeof buf));
                             if (d.ReadBlock(buf, take) == int32_t(take)) received.insert(received.end(), buf, buf + take);
                             ++calls;
                             std::this_thread::sleep_for(std::chrono::microseconds(500));
                             if (received.size() >= bytes) done.Set();
                           }});
  std::thread writer([&] {
    std::vector<uint32_t> chunk(1024);
    uint32_t seq = 0;
    for (size_t sent = 0; sent < bytes; sent += chunk.size() * 4) {
      for (auto& v : chunk) v = seq++;
      WriteAll(pty.master, reinterpret_cast<const char*>(chunk.data()), chunk.size() * 4);
    }
  });
  bool finished = done.Wait(120000);
  writer.join();
  d.ShutdownPort();
  size_t bad = finished ? 0 : bytes - received.size();
  for (size_t i = 0; i + 4 <= received.size(); i += 4) {
    uint32_t v;
    std::memcpy(&v, received.data() + i, 4);
    if (v != i / 4) {
      std::fprintf(stderr, "sequence breaks at byte %zu of %zu: got %u want %zu\n", i, received.size(), v, i / 4);
      bad += received.size() - i;
      break;
    }
  }
  return bad;
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
  if (argc > 1 && std::string(argv[1]) == "--throughput") {
    std::printf("dispatcher %.1f MB/s\n", DispatcherThroughput());
    return 0;
  }
  if (argc > 1 && std::string(argv[1]) == "--answer") {
    double median, p99;
    AnswerLatency(median, p99);
    std::printf("answer median %.0f us, p99 %.0f us, plain loop median %.0f us\n", median, p99, PlainAnswerMedian());
    return 0;
  }
  if (argc > 1 && std::string(argv[1]) == "--loss") {
    std::printf("lost %zu\n", SlowReaderLoss(size_t(10) << 20));
    return 0;
  }
  // Best of three, interleaved, so that a busy moment of the machine does not
  // decide the ratio.
  double plain = 0, disp = 0;
  for (int round = 0; round < 3; ++round) {
    plain = std::max(plain, PlainThroughput());
    disp = std::max(disp, DispatcherThroughput());
  }
  std::printf("receive throughput: dispatcher %.1f MB/s, plain poll+read %.1f MB/s, ratio %.2f\n", disp, plain,
              disp / plain);
  double median, p99;
  Latency(median, p99);
  std::printf("far-end write to handler: median %.0f us, p99 %.0f us\n", median, p99);
  double answerMedian, answerP99;
  AnswerLatency(answerMedian, answerP99);
  std::printf("far-end write to the handler's answer back: median %.0f us, p99 %.0f us (plain loop: median %.0f us)\n",
              answerMedian, answerP99, PlainAnswerMedian());
  double idle = IdleCpuPercent(quick ? 2 : 10);
  std::printf("idle open port: %.3f %% of a core\n", idle);
  size_t lost = SlowReaderLoss(size_t(10) << 20);
  std::printf("10 MB sequence stream, slow reader: %zu bytes lost\n", lost);
  std::printf("RESULT device_latency_median %.0f us\n", median);
  std::printf("RESULT device_latency_p99 %.0f us\n", p99);
  std::printf("RESULT device_answer_median %.0f us\n", answerMedian);
  std::printf("RESULT device_idle_cpu %.3f %%\n", idle);
  std::printf("RESULT device_slow_reader_lost %zu bytes\n", lost);
  std::printf("RESULT device_receive_ratio %.2f ratio\n", disp / plain);
  return 0;
}
