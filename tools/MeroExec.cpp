// mero exec: runs a program with its standard input and output connected to
// a port through pipes, the way a terminal program runs a file-transfer
// program on its line.
//
// Pipes rather than the device itself: a program that flushes its terminal
// on exit (many do) would otherwise throw away its last bytes before they
// left a pseudo-terminal. The pipes hold 4 KiB each, like a UART driver's
// queue, so the line still paces the program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Mero.h"
#include "platform/Messages.h"
#include "serial/PortMap.h"
#include "serial/QwNet.h"
#include "serial/QwWin32_termios2.h"

namespace zav::mero {

namespace {

const char* const kHelp =
    "usage: mero exec PORT [--cwd DIR] [--quiet] -- PROGRAM [ARGS...]\n"
    "Runs PROGRAM with its standard input and output connected to PORT (a raw line;\n"
    "a network port keeps the settings its server has)\n"
    "through 4 KiB pipes; its standard error stays the caller's. Ends with the\n"
    "program's exit status once its last output has reached the port. SIGINT or\n"
    "SIGTERM ends the program.\n"
    "  --cwd DIR   the program's working directory\n"
    "  --quiet     no \"mero: PORT: open at ...\" line once the port is open\n";

constexpr size_t kPipeSize = 4096;

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  void Reset() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

int OpenDevice(const std::string& port) {
  const int com = ParseComName(port);
  const std::string path = com > 0 ? ResolveDeviceName(port) : port;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw ToolError("cannot open " + path + ": " + strerror(errno));
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    throw ToolError("cannot open " + path + ": in use by another program");
  }
  termios t{};
  if (tcgetattr(fd, &t) == 0) {
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}

// Moves what `from` holds into `queue` (up to the pipe size).
bool Fill(int from, std::string& queue, bool& eof) {
  char buf[kPipeSize];
  const size_t room = kPipeSize - std::min(queue.size(), kPipeSize);
  if (room == 0) return true;
  const ssize_t n = read(from, buf, room);
  if (n > 0) queue.append(buf, size_t(n));
  if (n == 0) eof = true;
  return n >= 0 || errno == EAGAIN || errno == EINTR;
}

bool Drain(int to, std::string& queue) {
  if (queue.empty()) return true;
  const ssize_t n = write(to, queue.data(), queue.size());
  if (n > 0) queue.erase(0, size_t(n));
  return n >= 0 || errno == EAGAIN || errno == EINTR;
}

// The port's side of the relay: a device opened here, or a network port
// through the dispatcher (which speaks its protocol).
class Line {
 public:
  virtual ~Line() = default;
  // What to wait for this turn, with bytes wanted from the line and bytes for it.
  virtual pollfd Poll(bool wantBytes, bool haveBytes) = 0;
  // A wait's limit while bytes for the line wait (-1: the descriptor tells).
  virtual int RetryMs(bool haveBytes) const { (void)haveBytes; return -1; }
  // After the wait: bytes from the line into `in` (up to the pipe size),
  // `out` to the line. False once the line is gone.
  virtual bool Move(short revents, std::string& in, std::string& out) = 0;
  // Everything handed to the line has left.
  virtual bool Sent() { return true; }
  // The line's settings as the ready line shows them.
  virtual std::string Settings() const = 0;
};

class DeviceLine : public Line {
 public:
  explicit DeviceLine(const std::string& port) : port_(port), fd_{OpenDevice(port)} {}
  pollfd Poll(bool wantBytes, bool haveBytes) override {
    return {fd_.fd, short((wantBytes ? POLLIN : 0) | (haveBytes ? POLLOUT : 0)), 0};
  }
  bool Move(short revents, std::string& in, std::string& out) override {
    bool eof = false;
    if ((revents & POLLIN) && !Fill(fd_.fd, in, eof)) throw ToolError("reading " + port_ + ": " + strerror(errno));
    // The line hung up: the program's output has nowhere to go. End of file
    // (a pseudo-terminal whose far side closed) ends it too: it would read
    // nothing again at every turn.
    if (eof || ((revents & (POLLHUP | POLLERR | POLLNVAL)) && !(revents & POLLIN))) return false;
    if (!Drain(fd_.fd, out)) throw ToolError("writing " + port_ + ": " + strerror(errno));
    return true;
  }
  // The device keeps the rate and framing it had; they are read back.
  std::string Settings() const override {
    TTermios2 t;
    if (GetTermios2(fd_.fd, t) != 0) return "its own settings";
    PortOptions o;
    o.Baud = long(t.ospeed);
    const uint32_t size = t.cflag & CSIZE;
    o.DataBits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    o.StopBits = (t.cflag & CSTOPB) ? 2 : 1;
    const bool stick = (t.cflag & CMSPAR) != 0, odd = (t.cflag & PARODD) != 0;
    o.Parity = !(t.cflag & PARENB) ? TParity::pNone
               : stick             ? (odd ? TParity::pMark : TParity::pSpace)
               : odd               ? TParity::pOdd
                                   : TParity::pEven;
    if (t.cflag & CRTSCTS) o.Flow = PortOptions::RtsCts;
    return SettingsText(o);
  }

 private:
  std::string port_;
  Fd fd_;
};

class NetworkLine : public Line {
 public:
  explicit NetworkLine(const std::string& port) : port_(Options(port)) {
    port_.Port().SetOnTriggerAvail([](TMroCustomComPort*, uint16_t) {});  // arrivals wake the wait
  }
  pollfd Poll(bool, bool) override { return {ThreadQueueNotifyFd(), POLLIN, 0}; }
  int RetryMs(bool haveBytes) const override { return haveBytes || sending_ ? 20 : 500; }
  bool Move(short, std::string& in, std::string& out) override {
    DrainThreadQueue();
    if (port_.DeviceGone()) return false;
    if (in.size() < kPipeSize) in += port_.ReadAll();
    port_.SendSome(out);
    sending_ = port_.Port().OutputUsed() > 0;
    return true;
  }
  bool Sent() override { return port_.DeviceGone() || port_.Port().OutputUsed() == 0; }
  std::string Settings() const override { return "the server's settings"; }

 private:
  static PortOptions Options(const std::string& port) {
    PortOptions o;
    o.Port = port;
    return o;
  }
  ToolPort port_;
  bool sending_ = false;
};

std::unique_ptr<Line> OpenLine(const std::string& port) {
  const bool network = IsNetworkAddress(ParseComName(port) > 0 ? ResolveDeviceName(port) : port);
  if (network) return std::make_unique<NetworkLine>(port);
  return std::make_unique<DeviceLine>(port);
}

}  // namespace

int RunExec(ArgReader& args) {
  std::string port, cwd;
  bool quiet = false;
  std::vector<std::string> program;
  while (!args.Done()) {
    const std::string word = args.Next();
    if (word == "--") {
      while (!args.Done()) program.push_back(args.Next());
      break;
    }
    OfferHelp(word, kHelp);
    if (word == "--cwd")
      cwd = args.Value(word);
    else if (word == "--quiet")
      quiet = true;
    else if (word.rfind("--", 0) == 0 || !port.empty())
      throw UsageError("unexpected \"" + word + "\"");
    else
      port = word;
  }
  if (port.empty()) throw UsageError("no PORT given");
  if (program.empty()) throw UsageError("no PROGRAM given after --");

  const int stopFd = InstallStopSignals();
  const std::unique_ptr<Line> line = OpenLine(port);
  // What the line brings from here on is relayed, even before the program reads.
  if (!quiet) {
    std::fprintf(stderr, "mero: %s: open at %s\n", port.c_str(), line->Settings().c_str());
    std::fflush(stderr);
  }
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0)
    throw ToolError(std::string("pipe: ") + strerror(errno));
  Fd childIn{toChild[1]}, childOut{fromChild[0]};
  fcntl(childIn.fd, F_SETPIPE_SZ, int(kPipeSize));
  fcntl(childOut.fd, F_SETPIPE_SZ, int(kPipeSize));
  fcntl(childIn.fd, F_SETFL, O_NONBLOCK);
  fcntl(childOut.fd, F_SETFL, O_NONBLOCK);

  const pid_t relay = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw ToolError(std::string("fork: ") + strerror(errno));
  if (pid == 0) {
    // The program ends with this relay, however the relay ends: a peer left
    // behind would keep a test's line, or spin on its closed input.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != relay) _exit(126);
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    signal(SIGPIPE, SIG_DFL);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) {
      std::fprintf(stderr, "mero: cannot use %s: %s\n", cwd.c_str(), strerror(errno));
      _exit(126);
    }
    std::vector<char*> argv;
    for (auto& a : program) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "mero: cannot run %s: %s\n", argv[0], strerror(errno));
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);

  // The program's exit wakes the loop through a process descriptor; without
  // one it is looked for every 50 ms.
  Fd exitFd{int(syscall(SYS_pidfd_open, pid, 0))};
  std::string toProgram, toLine;  // bytes on their way
  bool outEof = false, stopped = false, lineGone = false;
  std::chrono::steady_clock::time_point stoppedAt;
  int status = 0;
  bool exited = false;
  while (!(exited && outEof && ((toLine.empty() && line->Sent()) || lineGone))) {
    if (!exited && waitpid(pid, &status, WNOHANG) == pid) exited = true;
    if (StopRequested() && !stopped) {
      kill(pid, SIGTERM);
      stopped = true;
      stoppedAt = std::chrono::steady_clock::now();
    }
    // A stopped program's last output (its cancel, say) still goes out, for
    // a while.
    if (stopped && std::chrono::steady_clock::now() - stoppedAt > std::chrono::seconds(2)) break;
    pollfd fds[5];
    fds[0] = lineGone ? pollfd{-1, 0, 0} : line->Poll(toProgram.size() < kPipeSize, !toLine.empty());
    fds[1] = {childOut.fd, short(!outEof && toLine.size() < kPipeSize ? POLLIN : 0), 0};
    fds[2] = {childIn.fd, short(!toProgram.empty() && childIn.fd >= 0 ? POLLOUT : 0), 0};
    fds[3] = {stopFd, POLLIN, 0};
    fds[4] = {exited ? -1 : exitFd.fd, POLLIN, 0};
    int timeout = exitFd.fd >= 0 && !stopped ? -1 : 50;
    const int retry = lineGone ? -1 : line->RetryMs(!toLine.empty());
    if (retry >= 0 && (timeout < 0 || retry < timeout)) timeout = retry;
    if (poll(fds, 5, timeout) < 0 && errno != EINTR) throw ToolError(std::string("poll: ") + strerror(errno));
    bool childEof = false;
    if (fds[1].revents & (POLLIN | POLLHUP)) {
      if (!Fill(childOut.fd, toLine, childEof)) throw ToolError(std::string("reading the program: ") + strerror(errno));
      if (childEof) outEof = true;
    }
    if (!lineGone && !line->Move(fds[0].revents, toProgram, toLine)) {
      // The program sees the end of its input once the line is gone.
      lineGone = true;
      childIn.Reset();
      toProgram.clear();
    }
    if (!toProgram.empty() && childIn.fd >= 0 && !Drain(childIn.fd, toProgram)) {
      // The program closed its input: what the line brings has nowhere to go.
      childIn.Reset();
      toProgram.clear();
    }
    if (childIn.fd < 0) toProgram.clear();
    if (lineGone) toLine.clear();
  }
  if (!exited) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

}  // namespace zav::mero
