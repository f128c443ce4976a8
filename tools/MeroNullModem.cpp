// mero null-modem: two pseudo-terminals whose master sides are relayed to each
// other, so what one end's program writes the other end's program reads.
//
// The tool keeps each slave side open itself: without that the master reports
// an error whenever no program has the end open, and bytes sent meanwhile
// would be lost. Relaying stops reading a side while the other side's queue
// is full, so nothing is dropped.
//
// With line options the relay behaves like a real serial line: each direction
// serialises bytes at one character time each (--baud), after a queue of
// --buffer bytes like a UART driver's; a byte arrives --delay ms after it has
// been sent; noise flips, drops or adds bytes per byte with a seeded random
// source, so the same seed and traffic hit the same bytes. The relay sleeps
// until the next byte is due (a stream in batches 8 ms apart, its last byte
// on time), never spinning.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "Mero.h"
#include "serial/PortMap.h"

namespace zav::mero {

namespace {

const char* const kHelp =
    "usage: mero null-modem [--com A,B] [LINE OPTIONS]\n"
    "       mero null-modem --loopback [--com A] [LINE OPTIONS]\n"
    "Creates two linked pseudo-terminals and prints their device paths, one a line;\n"
    "bytes written to one arrive at the other. Runs until SIGINT or SIGTERM.\n"
    "  --com A,B          also map COM A and COM B to them in the port-map override\n"
    "                     directory while running (the links are removed on exit)\n"
    "  --quiet            no \"mero: null-modem: ...: open\" line on stderr once ready\n"
    "  --loopback         one pseudo-terminal whose bytes come back to it, as with a\n"
    "                     loopback plug (the line options apply on the way round);\n"
    "                     prints its one path\n"
    "Line options (none: bytes pass as fast as the programs move them):\n"
    "  --baud RATE        each direction carries one byte per character time\n"
    "  --data 5..8        data bits (default 8; fewer clear the high bits)\n"
    "  --parity none|odd|even|mark|space   adds a bit to each character\n"
    "  --stop 1|2         stop bits (default 1)\n"
    "  --buffer BYTES     bytes queued before the line (default 4096); a full queue\n"
    "                     holds the writer back, nothing is lost\n"
    "  --delay MS         one-way latency added to every byte\n"
    "  --flip P           per byte, with probability P, flip one random bit\n"
    "  --drop P           per byte, with probability P, lose the byte\n"
    "  --insert P         per byte, with probability P, add a random byte\n"
    "  --burst N          each noise event hits N consecutive bytes (default 1)\n"
    "  --noise-dir both|ab|ba   where noise applies (default both; a is the first end)\n"
    "  --seed N           the same seed and traffic hit the same bytes\n"
    "On exit it prints to stderr, for each direction, the bytes carried, flipped,\n"
    "dropped and inserted.\n";

// Bytes relayed but not yet delivered, per direction, before reading stops
// (unpaced, or the far program not reading).
constexpr size_t kMaxQueued = 65536;
// Deliveries of a stream are batched at least this far apart.
constexpr int64_t kMinWakeNs = 8000000;

struct End {
  int master = -1;
  int slave = -1;
  std::string path;
  std::string link;  // override link made for this end, if any
};

struct LineOptions {
  std::optional<long> Baud;
  int DataBits = 8, StopBits = 1;
  bool Parity = false;
  long Buffer = 4096;
  double DelayMs = 0;
  double Flip = 0, Drop = 0, Insert = 0;
  long Burst = 1;
  bool NoiseAB = true, NoiseBA = true;
  std::optional<uint64_t> Seed;

  int BitsPerChar() const { return 1 + DataBits + (Parity ? 1 : 0) + StopBits; }
};

void OpenEnd(End& end) {
  if (openpty(&end.master, &end.slave, nullptr, nullptr, nullptr) != 0)
    throw ToolError(std::string("cannot create a pseudo-terminal: ") + strerror(errno));
  termios t{};
  tcgetattr(end.slave, &t);
  cfmakeraw(&t);
  tcsetattr(end.slave, TCSANOW, &t);
  fcntl(end.master, F_SETFL, fcntl(end.master, F_GETFL) | O_NONBLOCK);
  fcntl(end.master, F_SETFD, FD_CLOEXEC);
  fcntl(end.slave, F_SETFD, FD_CLOEXEC);
  const char* name = ttyname(end.slave);
  if (!name) throw ToolError(std::string("cannot name a pseudo-terminal: ") + strerror(errno));
  end.path = name;
}

void MakeDirs(const std::string& dir) {
  for (size_t at = 1; at <= dir.size(); ++at) {
    if (at != dir.size() && dir[at] != '/') continue;
    const std::string part = dir.substr(0, at);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
      throw ToolError("cannot create " + part + ": " + strerror(errno));
  }
}

// Removes a link only while it still leads to this end.
void RemoveLink(const End& end) {
  if (end.link.empty()) return;
  char target[4096];
  const ssize_t n = readlink(end.link.c_str(), target, sizeof target - 1);
  if (n >= 0 && std::string(target, size_t(n)) == end.path) unlink(end.link.c_str());
}

std::vector<int> ParseComPair(const std::string& text, bool one) {
  const size_t comma = text.find(',');
  std::vector<int> out;
  if (one) {
    int n = ParseComName(text);
    if (n == 0 && !text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text.size() < 4)
      n = std::stoi(text);
    if (comma != std::string::npos || n < 1 || n > kMaxComNumber)
      throw UsageError("--com needs a port number from 1 to " + std::to_string(kMaxComNumber) + " with --loopback, not \"" +
                       text + "\"");
    return {n};
  }
  if (comma != std::string::npos) {
    for (const std::string& part : {text.substr(0, comma), text.substr(comma + 1)}) {
      int n = ParseComName(part);
      if (n == 0 && !part.empty() && part.find_first_not_of("0123456789") == std::string::npos && part.size() < 4)
        n = std::stoi(part);
      out.push_back(n);
    }
  }
  if (out.size() != 2 || out[0] < 1 || out[1] < 1 || out[0] > kMaxComNumber || out[1] > kMaxComNumber ||
      out[0] == out[1])
    throw UsageError("--com needs two different port numbers from 1 to " + std::to_string(kMaxComNumber) +
                     " as A,B, not \"" + text + "\"");
  return out;
}

double ParseReal(ArgReader& args, const std::string& name, double lo, double hi) {
  const std::string text = args.Value(name);
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(v) || v < lo || v > hi) {
    char range[64];
    std::snprintf(range, sizeof range, "%g to %g", lo, hi);
    throw UsageError(name + " must be a number from " + range + ", not \"" + text + "\"");
  }
  return v;
}

int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One direction of the line: bytes read from one master wait their delivery
// time, then go out of the other master.
class Direction {
 public:
  Direction(const LineOptions& o, bool noisy, uint64_t seed, int from, int to)
      : from_(from), to_(to), noisy_(noisy), rng_(seed), buffer_(size_t(o.Buffer)), burst_(o.Burst),
        flip_(o.Flip), drop_(o.Drop), insert_(o.Insert), mask_(uint8_t((1u << o.DataBits) - 1)),
        delayNs_(int64_t(std::llround(o.DelayMs * 1e6))) {
    if (o.Baud) charNs_ = double(o.BitsPerChar()) * 1e9 / double(*o.Baud);
  }

  // How many bytes the line takes from the writer now.
  size_t Room(int64_t now) const {
    if (queue_.size() >= kMaxQueued) return 0;
    size_t room = kMaxQueued - queue_.size();
    if (charNs_ > 0) {
      // Bytes not yet on the line wait in the sender's queue.
      const double waiting = std::max(0.0, (serialEnd_ - double(now)) / charNs_);
      const double free = double(buffer_) - std::ceil(waiting);
      room = std::min(room, free > 0 ? size_t(free) : size_t(0));
    }
    return room;
  }

  // Whether to read the writer now: on a paced line only once half the
  // sender's queue is free, so the line takes chunks instead of single bytes
  // (the writer's own kernel queue covers the wait).
  bool WantsInput(int64_t now) const {
    const size_t room = Room(now);
    return charNs_ > 0 ? room >= std::max<size_t>(1, buffer_ / 2) : room > 0;
  }

  // When a full sender's queue next has room for a chunk (paced lines only).
  std::optional<int64_t> RoomAt(int64_t now) const {
    if (charNs_ <= 0 || WantsInput(now) || queue_.size() >= kMaxQueued) return std::nullopt;
    return int64_t(serialEnd_ - double(buffer_ / 2) * charNs_) + 1;
  }

  // Reads what the writer has for the line; false on a read error.
  bool Read(int64_t now) {
    uint8_t buf[4096];
    const size_t want = std::min(Room(now), sizeof buf);
    if (want == 0) return true;
    const ssize_t n = read(from_, buf, want);
    if (n < 0) return errno == EAGAIN || errno == EINTR || errno == EIO;
    for (ssize_t i = 0; i < n; ++i) Take(buf[i], now);
    return true;
  }

  // Delivers every byte that is due; false on a write error.
  bool Deliver(int64_t now) {
    size_t count = 0;
    for (auto it = queue_.begin(); it != queue_.end() && it->due <= now && count < sizeof outBuf_; ++it)
      outBuf_[count++] = it->byte;
    blocked_ = false;
    if (count == 0) return true;
    const ssize_t n = write(to_, outBuf_, count);
    if (n < 0) {
      blocked_ = errno == EAGAIN;
      return errno == EAGAIN || errno == EINTR || errno == EIO;
    }
    queue_.erase(queue_.begin(), queue_.begin() + n);
    carried_ += uint64_t(n);
    blocked_ = size_t(n) < count;
    return true;
  }

  // The next delivery time, if any byte waits.
  std::optional<int64_t> NextDue() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.front().due;
  }
  std::optional<int64_t> LastDue() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.back().due;
  }
  bool Blocked() const { return blocked_ && !queue_.empty(); }

  std::string Counts(const char* name) const {
    char line[160];
    std::snprintf(line, sizeof line, "%s: %llu bytes carried, %llu flipped, %llu dropped, %llu inserted", name,
                  (unsigned long long)carried_, (unsigned long long)flipped_, (unsigned long long)dropped_,
                  (unsigned long long)inserted_);
    return line;
  }

 private:
  struct Byte {
    uint8_t byte;
    int64_t due;
  };

  // A noise event starts with probability p, or continues a burst.
  bool Hit(double p, long& left) {
    const bool start = uniform_(rng_) < p;
    if (left > 0) {
      --left;
      return true;
    }
    if (start) left = burst_ - 1;
    return start;
  }

  void Take(uint8_t byte, int64_t now) {
    if (noisy_) {
      // Every byte draws the same numbers whatever happens to it, so a seed
      // hits the same bytes of the same traffic every run.
      const bool drop = Hit(drop_, dropLeft_);
      const bool flip = Hit(flip_, flipLeft_);
      const bool insert = Hit(insert_, insertLeft_);
      const uint8_t bit = uint8_t(1u << (rng_() % 8));
      const uint8_t extra = uint8_t(rng_() & 0xFF);
      if (insert) {
        ++inserted_;
        Serialise(extra, now);
      }
      if (drop) {
        ++dropped_;
        return;
      }
      if (flip) {
        ++flipped_;
        byte ^= bit;
      }
    }
    Serialise(byte, now);
  }

  void Serialise(uint8_t byte, int64_t now) {
    int64_t due = now;
    if (charNs_ > 0) {
      serialEnd_ = std::max(serialEnd_, double(now)) + charNs_;
      due = int64_t(std::ceil(serialEnd_));
    }
    queue_.push_back({uint8_t(byte & mask_), due + delayNs_});
  }

  int from_, to_;
  bool noisy_;
  std::mt19937_64 rng_;
  std::uniform_real_distribution<double> uniform_{0.0, 1.0};
  size_t buffer_;
  long burst_;
  double flip_, drop_, insert_;
  uint8_t mask_;
  int64_t delayNs_;
  double charNs_ = 0;
  double serialEnd_ = 0;  // when the line has sent every byte taken so far
  long dropLeft_ = 0, flipLeft_ = 0, insertLeft_ = 0;
  std::deque<Byte> queue_;
  uint8_t outBuf_[8192];
  bool blocked_ = false;
  uint64_t carried_ = 0, flipped_ = 0, dropped_ = 0, inserted_ = 0;
};

LineOptions ParseLine(const std::string& word, ArgReader& args, LineOptions o, bool& taken) {
  taken = true;
  if (word == "--baud") {
    const std::string text = args.Value(word);
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < 50 || v > 100000000)
      throw UsageError("--baud must be a rate in bits per second from 50 to 100000000, not \"" + text + "\"");
    o.Baud = v;
  } else if (word == "--data") {
    o.DataBits = int(args.Number(word, 5, 8));
  } else if (word == "--parity") {
    o.Parity = args.Choice(word, {"none", "odd", "even", "mark", "space"}) != 0;
  } else if (word == "--stop") {
    o.StopBits = int(args.Number(word, 1, 2));
  } else if (word == "--buffer") {
    o.Buffer = args.Number(word, 1, 1 << 20);
  } else if (word == "--delay") {
    o.DelayMs = ParseReal(args, word, 0, 3600000);
  } else if (word == "--flip") {
    o.Flip = ParseReal(args, word, 0, 1);
  } else if (word == "--drop") {
    o.Drop = ParseReal(args, word, 0, 1);
  } else if (word == "--insert") {
    o.Insert = ParseReal(args, word, 0, 1);
  } else if (word == "--burst") {
    o.Burst = args.Number(word, 1, 1 << 20);
  } else if (word == "--noise-dir") {
    const size_t dir = args.Choice(word, {"both", "ab", "ba"});
    o.NoiseAB = dir != 2;
    o.NoiseBA = dir != 1;
  } else if (word == "--seed") {
    o.Seed = uint64_t(args.Number(word, 0, 0x7FFFFFFFFFFFFFFFL));
  } else {
    taken = false;
  }
  return o;
}

}  // namespace

int RunNullModem(ArgReader& args) {
  std::string comText;
  bool loopback = false, quiet = false;
  LineOptions line;
  std::string word;
  while (NextOption(args, kHelp, word)) {
    bool taken = false;
    line = ParseLine(word, args, line, taken);
    if (taken) continue;
    if (word == "--com")
      comText = args.Value(word);
    else if (word == "--loopback")
      loopback = true;
    else if (word == "--quiet")
      quiet = true;
    else
      throw UsageError("unexpected \"" + word + "\"");
  }
  const std::vector<int> coms = comText.empty() ? std::vector<int>() : ParseComPair(comText, loopback);
  const int count = loopback ? 1 : 2;  // ends
  const int stopFd = InstallStopSignals();
  End ends[2];
  OpenEnd(ends[0]);
  if (!loopback) OpenEnd(ends[1]);
  struct Cleanup {
    End* ends;
    ~Cleanup() {
      for (int i = 0; i < 2; ++i) {
        RemoveLink(ends[i]);
        if (ends[i].master >= 0) close(ends[i].master);
        if (ends[i].slave >= 0) close(ends[i].slave);
      }
    }
  } cleanup{ends};

  if (!coms.empty()) {
    const std::string dir = PortsOverrideDir();
    MakeDirs(dir);
    for (int i = 0; i < count; ++i) {
      const std::string link = dir + "/com" + std::to_string(coms[size_t(i)]);
      if (symlink(ends[i].path.c_str(), link.c_str()) != 0) {
        if (errno == EEXIST)
          throw ToolError(link + " already exists (another mapping of COM" + std::to_string(coms[size_t(i)]) +
                          "); remove it or choose other numbers");
        throw ToolError("cannot create " + link + ": " + strerror(errno));
      }
      ends[i].link = link;
    }
  }
  for (int i = 0; i < count; ++i) {
    if (coms.empty())
      std::printf("%s\n", ends[i].path.c_str());
    else
      std::printf("%s COM%d\n", ends[i].path.c_str(), coms[size_t(i)]);
  }
  std::fflush(stdout);
  if (!quiet) {
    // Both ends exist and are mapped: a program may open them now.
    std::string what = ends[0].path;
    for (int i = 0; i < count; ++i) {
      if (i > 0) what += " <-> " + ends[i].path;
      if (!coms.empty()) what += " (COM" + std::to_string(coms[size_t(i)]) + ")";
    }
    if (loopback) what += " (loopback)";
    const std::string pace =
        line.Baud ? "open at " + std::to_string(*line.Baud) + " " + std::to_string(line.DataBits) +
                        (line.Parity ? "P" : "N") + std::to_string(line.StopBits)
                  : std::string("open, unpaced");
    std::fprintf(stderr, "mero: null-modem: %s: %s\n", what.c_str(), pace.c_str());
    std::fflush(stderr);
  }

  const uint64_t seed = line.Seed.value_or(uint64_t(NowNs()) ^ uint64_t(getpid()));
  const bool noise = line.Flip > 0 || line.Drop > 0 || line.Insert > 0;
  // dirs[i] carries what end i writes to the other end; a loopback's one
  // end writes to itself.
  const int far = loopback ? 0 : 1;
  Direction dirs[2] = {Direction(line, noise && line.NoiseAB, seed * 2 + 1, ends[0].master, ends[far].master),
                       Direction(line, noise && line.NoiseBA, seed * 2 + 2, ends[far].master, ends[0].master)};
  int64_t lastDelivery = 0;
  while (!StopRequested()) {
    const int64_t now = NowNs();
    pollfd fds[3];
    std::optional<int64_t> wake;
    for (int i = 0; i < count; ++i) {
      Direction& in = dirs[i];                   // what end i writes
      Direction& out = dirs[loopback ? i : 1 - i];  // what end i reads
      short events = 0;
      if (in.WantsInput(now)) events |= POLLIN;
      if (out.Blocked()) events |= POLLOUT;
      fds[i] = {ends[i].master, events, 0};
      if (const auto due = in.NextDue(); due && !in.Blocked()) {
        // A lone byte goes out when it is due, a stream in batches, and the
        // last byte of a stream again when it is due.
        const int64_t at = std::max(*due, std::min(lastDelivery + kMinWakeNs, *in.LastDue()));
        wake = wake ? std::min(*wake, at) : at;
      }
      // A full sender's queue frees room as the line sends: look again then.
      if (const auto free = in.RoomAt(now); free) wake = wake ? std::min(*wake, *free) : *free;
    }
    fds[count] = {stopFd, POLLIN, 0};
    timespec timeout{};
    timespec* limit = nullptr;
    if (wake) {
      const int64_t ns = std::max<int64_t>(*wake - now, 0);
      timeout = {time_t(ns / 1000000000), long(ns % 1000000000)};
      limit = &timeout;
    }
    if (ppoll(fds, nfds_t(count + 1), limit, nullptr) < 0) {
      if (errno == EINTR) continue;
      throw ToolError(std::string("poll: ") + strerror(errno));
    }
    const int64_t then = NowNs();
    for (int i = 0; i < count; ++i) {
      if ((fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) && !(fds[i].revents & POLLIN))
        throw ToolError(ends[i].path + " hung up");
      if ((fds[i].revents & POLLIN) && !dirs[i].Read(then))
        throw ToolError("reading " + ends[i].path + ": " + strerror(errno));
    }
    for (int i = 0; i < count; ++i) {
      const auto due = dirs[i].NextDue();
      if (due && *due <= then) lastDelivery = then;
      if (!dirs[i].Deliver(then)) throw ToolError("writing " + ends[loopback ? i : 1 - i].path + ": " + strerror(errno));
    }
  }
  if (loopback)
    std::fprintf(stderr, "%s\n", dirs[0].Counts("loop").c_str());
  else
    std::fprintf(stderr, "%s\n%s\n", dirs[0].Counts("a->b").c_str(), dirs[1].Counts("b->a").c_str());
  return kExitOk;
}

}  // namespace zav::mero
