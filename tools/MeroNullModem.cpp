// mero null-modem: two pseudo-terminals whose master sides are relayed to each
// other, so what one end's program writes the other end's program reads.
//
// The tool keeps each slave side open itself: without that the master reports
// an error whenever no program has the end open, and bytes sent meanwhile
// would be lost. Relaying stops reading a side while the other side's queue
// is full, so nothing is dropped.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Mero.h"
#include "serial/PortMap.h"

namespace zav::mero {

namespace {

const char* const kHelp =
    "usage: mero null-modem [--com A,B]\n"
    "Creates two linked pseudo-terminals and prints their device paths, one a line;\n"
    "bytes written to one arrive at the other. Runs until SIGINT or SIGTERM.\n"
    "  --com A,B   also map COM A and COM B to them in the port-map override\n"
    "              directory while running (the links are removed on exit)\n";

constexpr size_t kMaxQueued = 65536;

struct End {
  int master = -1;
  int slave = -1;
  std::string path;
  std::string link;  // override link made for this end, if any
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

std::vector<int> ParseComPair(const std::string& text) {
  const size_t comma = text.find(',');
  std::vector<int> out;
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

// Moves bytes from `from` into `queue` and from `queue` into `to`.
bool ReadInto(int fd, std::string& queue) {
  char buf[4096];
  const size_t room = kMaxQueued - queue.size();
  const ssize_t n = read(fd, buf, std::min(room, sizeof buf));
  if (n > 0) queue.append(buf, size_t(n));
  return n >= 0 || errno == EAGAIN || errno == EINTR || errno == EIO;
}

bool WriteFrom(int fd, std::string& queue) {
  const ssize_t n = write(fd, queue.data(), queue.size());
  if (n > 0) queue.erase(0, size_t(n));
  return n >= 0 || errno == EAGAIN || errno == EINTR || errno == EIO;
}

}  // namespace

int RunNullModem(ArgReader& args) {
  std::vector<int> coms;
  while (!args.Done()) {
    const std::string word = args.Next();
    if (IsHelp(word)) {
      std::fputs(kHelp, stdout);
      return kExitOk;
    }
    if (word == "--com")
      coms = ParseComPair(args.Value(word));
    else
      throw UsageError("unexpected \"" + word + "\"");
  }
  const int stopFd = InstallStopSignals();
  End ends[2];
  OpenEnd(ends[0]);
  OpenEnd(ends[1]);
  struct Cleanup {
    End* ends;
    ~Cleanup() {
      for (int i = 0; i < 2; ++i) {
        RemoveLink(ends[i]);
        close(ends[i].master);
        close(ends[i].slave);
      }
    }
  } cleanup{ends};

  if (!coms.empty()) {
    const std::string dir = PortsOverrideDir();
    MakeDirs(dir);
    for (int i = 0; i < 2; ++i) {
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
  for (int i = 0; i < 2; ++i) {
    if (coms.empty())
      std::printf("%s\n", ends[i].path.c_str());
    else
      std::printf("%s COM%d\n", ends[i].path.c_str(), coms[size_t(i)]);
  }
  std::fflush(stdout);

  std::string toEnd[2];  // bytes waiting to go out of end i's master
  while (!StopRequested()) {
    pollfd fds[3];
    for (int i = 0; i < 2; ++i) {
      const int other = 1 - i;
      short events = 0;
      if (toEnd[other].size() < kMaxQueued) events |= POLLIN;
      if (!toEnd[i].empty()) events |= POLLOUT;
      fds[i] = {ends[i].master, events, 0};
    }
    fds[2] = {stopFd, POLLIN, 0};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      throw ToolError(std::string("poll: ") + strerror(errno));
    }
    for (int i = 0; i < 2; ++i) {
      if ((fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) && !(fds[i].revents & POLLIN))
        throw ToolError(ends[i].path + " hung up");
      if ((fds[i].revents & POLLIN) && !ReadInto(ends[i].master, toEnd[1 - i]))
        throw ToolError("reading " + ends[i].path + ": " + strerror(errno));
      if ((fds[i].revents & POLLOUT) && !WriteFrom(ends[i].master, toEnd[i]))
        throw ToolError("writing " + ends[i].path + ": " + strerror(errno));
    }
  }
  return kExitOk;
}

}  // namespace zav::mero
