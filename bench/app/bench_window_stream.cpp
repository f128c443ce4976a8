// The bench window under a steady stream: a far end (a child process on the
// master side of a pseudo-terminal) sends text lines paced to a line rate
// (115200 baud: 11520 bytes a second) for 10 s into the window's open port set
// to that rate, the terminal showing them with its lazy display. Reports the
// window process's CPU use over the stream, the backlog waiting in the driver
// and the receive ring (sampled every 100 ms; the largest in the first and in
// the second half, so that a growing one shows), the bytes the terminal got
// against those sent, and how long after the far end stopped the last line was
// on screen.
//
//   bench_window_stream [SECONDS] [--baud RATE]   (default 10 s at 115200;
//                        offscreen unless QT_QPA_PLATFORM says otherwise)
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "app/MainForm.h"
#include "bench/app/WindowOnCom1.h"
#include "app/QtMessagePump.h"
#include "serial/QwUser.h"
#include "serial/QxPort.h"
#include "terminal/QXTrmWidget.h"

namespace {

int kBytesPerSecond = 11520;
const char kEndMark[] = "END-OF-STREAM";

double Seconds(const timespec& t) { return double(t.tv_sec) + double(t.tv_nsec) / 1e9; }

// CPU seconds of each thread of this process, by thread id.
std::map<std::string, double> ThreadCpu() {
  std::map<std::string, double> out;
  const long ticks = sysconf(_SC_CLK_TCK);
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    FILE* f = std::fopen((e.path() / "stat").c_str(), "r");
    if (!f) continue;
    char buf[1024] = {};
    const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    const std::string s(buf, n);
    const size_t close = s.rfind(')');
    if (close == std::string::npos) continue;
    unsigned long utime = 0, stime = 0;
    // Fields after the name: state is the 3rd; utime and stime the 14th and 15th.
    if (std::sscanf(s.c_str() + close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2)
      continue;
    out[e.path().filename().string()] = double(utime + stime) / double(ticks);
  }
  return out;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec) + double(u.ru_utime.tv_usec) / 1e6 + double(u.ru_stime.tv_sec) +
         double(u.ru_stime.tv_usec) / 1e6;
}

// The far end: waits for the go byte, then writes numbered text lines paced
// to the rate, ends with the end mark, and exits.
[[noreturn]] void FarEnd(int master, int go, int seconds) {
  char c;
  if (read(go, &c, 1) != 1) _exit(1);
  std::string stream;
  for (long line = 0; long(stream.size()) < long(kBytesPerSecond) * seconds; ++line) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%08ld The quick brown fox jumps over the lazy dog 0123456789 ABCDEFGHIJKLM\r\n",
                  line);
    stream += buf;
  }
  stream.resize(size_t(kBytesPerSecond) * size_t(seconds) - sizeof kEndMark - 1);
  stream += "\r\n";
  stream += kEndMark;
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  size_t sent = 0;
  while (sent < stream.size()) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const size_t due = std::min(stream.size(), size_t((Seconds(now) - Seconds(start)) * kBytesPerSecond));
    while (sent < due) {
      const ssize_t n = write(master, stream.data() + sent, due - sent);
      if (n > 0) sent += size_t(n);
      else if (n < 0 && errno != EINTR && errno != EAGAIN) _exit(2);
      else usleep(1000);
    }
    usleep(5000);
  }
  tcdrain(master);
  _exit(0);
}

}  // namespace

int main(int argc, char* argv[]) {
  int seconds = 10;
  long baud = 115200;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--baud" && i + 1 < argc)
      baud = std::atol(argv[++i]);
    else
      seconds = std::atoi(argv[i]);
  }
  if (seconds <= 0 || baud < 300 || baud > 100000000) {
    std::fprintf(stderr, "usage: bench_window_stream [SECONDS] [--baud RATE]\n");
    return 2;
  }
  kBytesPerSecond = int(baud / 10);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);

  int master = -1, slave = -1;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return 1;
  }
  termios t{};
  tcgetattr(master, &t);
  cfmakeraw(&t);
  tcsetattr(master, TCSANOW, &t);
  int goPipe[2];
  if (pipe(goPipe) != 0) return 1;
  // The far end is forked before any thread exists.
  const pid_t child = fork();
  if (child == 0) {
    close(goPipe[1]);
    close(slave);
    FarEnd(master, goPipe[0], seconds);
  }
  close(goPipe[0]);
  close(master);

  namespace fs = std::filesystem;
  char tmpl[] = "/tmp/zavbench-XXXXXX";
  const fs::path dir = mkdtemp(tmpl);
  fs::create_symlink(name, dir / "com1");
  setenv("ZAVTERM_PORTS_DIR", dir.c_str(), 1);

  QApplication app(argc, argv);
  zav::TQtMessagePump pump(&app);
  int failures = 0;
  auto form = zav::bench::WindowOnCom1(baud, failures);
  uint64_t got = 0;
  auto shownBefore = form->QxTerminal1->OnDataReceived;
  form->QxTerminal1->OnDataReceived = [&](zav::TQxCustomTerminal* t, const uint8_t* data, size_t count) {
    got += count;
    if (shownBefore) shownBefore(t, data, count);
  };
  if (failures || !form->MroComPort1->Open()) {
    std::fprintf(stderr, "the port did not open\n");
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    fs::remove_all(dir);
    return 1;
  }

  using Clock = std::chrono::steady_clock;
  Clock::time_point start, farEndDone;
  double cpuStart = 0, cpuStream = 0;
  int maxBacklog = 0, lastBacklog = 0, firstHalfMax = 0, secondHalfMax = 0;
  bool farEndRunning = true, shown = false;
  double drainMs = -1;
  std::map<std::string, double> threadsAtStart, threadsAtEnd;

  auto endShown = [&] {
    zav::TQxTerminalBuffer& b = form->QxTerminal1->Buffer();
    const std::string row(reinterpret_cast<const char*>(b.GetLineChars(b.Row())), size_t(b.ColCount()));
    return row.compare(0, sizeof kEndMark - 1, kEndMark) == 0;
  };

  QTimer sampler;
  sampler.setInterval(100);
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    int queued = 0;
    ioctl(slave, FIONREAD, &queued);
    zav::TMroBaseDispatcher* d = form->MroComPort1->ActiveDispatcher();
    lastBacklog = queued + int(d ? d->InputUsed() : 0);
    maxBacklog = std::max(maxBacklog, lastBacklog);
    if (farEndRunning) {
      int& half = Clock::now() - start < std::chrono::milliseconds(seconds * 500) ? firstHalfMax : secondHalfMax;
      half = std::max(half, lastBacklog);
    }
    if (farEndRunning && waitpid(child, nullptr, WNOHANG) == child) {
      farEndRunning = false;
      farEndDone = Clock::now();
      cpuStream = CpuSeconds() - cpuStart;
      threadsAtEnd = ThreadCpu();
    }
    if (!farEndRunning && endShown()) {
      shown = true;
      drainMs = std::chrono::duration<double, std::milli>(Clock::now() - farEndDone).count();
      app.quit();
    } else if (!farEndRunning && Clock::now() - farEndDone > std::chrono::seconds(10)) {
      app.quit();  // never caught up
    }
  });
  QTimer::singleShot(200, [&] {
    start = Clock::now();
    cpuStart = CpuSeconds();
    threadsAtStart = ThreadCpu();
    if (write(goPipe[1], "g", 1) != 1) app.quit();
    sampler.start();
  });
  app.exec();
  const double wall = std::chrono::duration<double>(farEndDone - start).count();

  form.reset();
  zav::SetErrorBox({});
  close(slave);
  close(goPipe[1]);
  if (farEndRunning) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  fs::remove_all(dir);

  const double cpuPct = wall > 0 ? cpuStream / wall * 100.0 : 0;
  const uint64_t sent = uint64_t(kBytesPerSecond) * uint64_t(seconds);
  std::printf("%ld baud: streamed %d bytes/s for %.2f s; window CPU %.2f s = %.2f%% of a core\n", baud,
              kBytesPerSecond, wall, cpuStream, cpuPct);
  std::printf("bytes: %llu sent, %llu reached the terminal, %lld lost\n", (unsigned long long)sent,
              (unsigned long long)got, (long long)sent - (long long)got);
  std::printf("CPU by thread over the stream (the first is the window's):\n");
  for (const auto& [tid, seconds] : threadsAtEnd) {
    const double used = seconds - (threadsAtStart.count(tid) ? threadsAtStart[tid] : 0.0);
    if (used > 0) std::printf("  thread %-8s %.2f s = %.2f%% of a core\n", tid.c_str(), used, used / wall * 100.0);
  }
  std::printf("backlog (driver + receive ring): max %d bytes (first half %d, second half %d), last sample %d bytes\n",
              maxBacklog, firstHalfMax, secondHalfMax, lastBacklog);
  if (shown)
    std::printf("last line on screen %.0f ms after the far end stopped (100 ms sampling)\n", drainMs);
  else
    std::printf("the last line never reached the screen: the window did not keep up\n");
  std::printf("RESULT zavterm_stream_cpu %.2f %%\n", cpuPct);
  return shown && failures == 0 && got == sent ? 0 : 1;
}
