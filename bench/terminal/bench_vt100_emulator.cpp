// The VT100 path (parser + emulator + screen buffer, no painting) on a
// deterministic escape-heavy stream: colour changes, cursor addressing,
// scrolling regions, line drawing and text. With libvterm available the same
// stream also goes through it, as the peer figure.
// Usage: bench_vt100_emulator [megabytes] [rounds]
//        bench_vt100_emulator --write FILE [megabytes]   (the stream only, for
//        replays that compare screens)
// Instructions come from the hardware counter when the system allows it.
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "terminal/QXTrmEmu.h"

#ifdef ZAV_HAVE_VTERM
extern "C" {
#include <vterm.h>
}
#endif

namespace {

// An instruction counter for the calling thread; -1 when unavailable.
class InstructionCounter {
 public:
  InstructionCounter() {
    perf_event_attr attr;
    std::memset(&attr, 0, sizeof attr);
    attr.size = sizeof attr;
    attr.type = PERF_TYPE_HARDWARE;
    attr.config = PERF_COUNT_HW_INSTRUCTIONS;
    attr.disabled = 1;
    attr.exclude_kernel = 1;
    attr.exclude_hv = 1;
    fd_ = int(syscall(SYS_perf_event_open, &attr, 0, -1, -1, 0));
  }
  ~InstructionCounter() {
    if (fd_ >= 0) close(fd_);
  }
  bool Ok() const { return fd_ >= 0; }
  void Start() {
    if (fd_ < 0) return;
    ioctl(fd_, PERF_EVENT_IOC_RESET, 0);
    ioctl(fd_, PERF_EVENT_IOC_ENABLE, 0);
  }
  long long Stop() {
    if (fd_ < 0) return -1;
    ioctl(fd_, PERF_EVENT_IOC_DISABLE, 0);
    long long n = 0;
    if (read(fd_, &n, sizeof n) != sizeof n) return -1;
    return n;
  }

 private:
  int fd_ = -1;
};

std::string MakeStream(size_t size) {
  std::string s;
  char buf[64];
  unsigned seed = 12345;
  auto next = [&seed] {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) & 0x7FFF;
  };
  const char* words[] = {"status", "value=42", "OK", "temperature 21.5C", "ERR 3", "ready"};
  while (s.size() < size) {
    switch (next() % 8) {
      case 0:
        std::snprintf(buf, sizeof buf, "\033[%u;%um", 30 + next() % 8, 40 + next() % 8);
        s += buf;
        break;
      case 1:
        std::snprintf(buf, sizeof buf, "\033[%u;%uH", 1 + next() % 24, 1 + next() % 80);
        s += buf;
        break;
      case 2:
        std::snprintf(buf, sizeof buf, "\033[%u;%ur\033[%uH\n\n", 1 + next() % 5, 10 + next() % 15, 20);
        s += buf;
        s += "\033[r";
        break;
      case 3:
        s += "\033(0lqqqqqqqqk\033(B";
        break;
      case 4:
        s += "\033[1;5m";
        s += words[next() % 6];
        s += "\033[0m";
        break;
      case 5:
        s += "\033[K\033[2A\033[3C";
        break;
      default:
        s += words[next() % 6];
        s += "\r\n";
        break;
    }
  }
  s.resize(size);
  return s;
}

struct Figure {
  double mbps = 0;
  double instrPerByte = -1;
};

Figure Measure(const std::string& stream, int rounds, const std::function<void(const char*, size_t)>& feed) {
  InstructionCounter counter;
  double best = 1e30;
  long long instr = -1;
  for (int r = 0; r < rounds; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    counter.Start();
    // Blocks of 4 KiB, as the dispatcher hands them over.
    for (size_t at = 0; at < stream.size(); at += 4096)
      feed(stream.data() + at, std::min<size_t>(4096, stream.size() - at));
    const long long n = counter.Stop();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (s < best) best = s;
    if (n >= 0 && (instr < 0 || n < instr)) instr = n;
  }
  Figure f;
  f.mbps = double(stream.size()) / (1024.0 * 1024.0) / best;
  if (instr >= 0) f.instrPerByte = double(instr) / double(stream.size());
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::strcmp(argv[1], "--write") == 0) {
    const std::string stream = MakeStream(size_t((argc > 3 ? std::atof(argv[3]) : 1.0) * 1024 * 1024));
    std::FILE* f = std::fopen(argv[2], "wb");
    if (!f || std::fwrite(stream.data(), 1, stream.size(), f) != stream.size() || std::fclose(f) != 0) {
      std::fprintf(stderr, "bench_vt100_emulator: cannot write %s\n", argv[2]);
      return 1;
    }
    return 0;
  }
  const double mb = argc > 1 ? std::atof(argv[1]) : 8.0;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const std::string stream = MakeStream(size_t(mb * 1024 * 1024));

  zav::TQxVT100Emulator emu(nullptr);
  const Figure ours = Measure(stream, rounds, [&emu](const char* p, size_t n) {
    emu.ProcessBlock(reinterpret_cast<const uint8_t*>(p), n);
    zav::TQxRect r;
    while (emu.Buffer().GetInvalidRect(r)) {  // what a paint would consume
    }
  });
  std::printf("bytes %zu, rounds %d\n", stream.size(), rounds);
  std::printf("vt100 emulator: %.1f MB/s, %.1f instructions/byte\n", ours.mbps, ours.instrPerByte);

#ifdef ZAV_HAVE_VTERM
  VTerm* vt = vterm_new(24, 80);
  vterm_set_utf8(vt, 0);
  VTermScreen* screen = vterm_obtain_screen(vt);
  vterm_screen_reset(screen, 1);
  const Figure peer = Measure(stream, rounds, [vt](const char* p, size_t n) { vterm_input_write(vt, p, n); });
  vterm_free(vt);
  std::printf("libvterm (screen layer): %.1f MB/s, %.1f instructions/byte\n", peer.mbps, peer.instrPerByte);
  if (ours.instrPerByte > 0 && peer.instrPerByte > 0)
    std::printf("ratio (ours / libvterm): %.2f\n", ours.instrPerByte / peer.instrPerByte);
#endif
  std::printf("RESULT vt100_emulator %.1f MB/s\n", ours.mbps);
  return 0;
}
