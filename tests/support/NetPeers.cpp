#include "tests/support/NetPeers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace zav::test {
namespace {

using Clock = std::chrono::steady_clock;

int LoopbackSocket(uint16_t port, bool listen) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || (listen && ::listen(fd, 0) != 0)) {
    close(fd);
    throw std::runtime_error(std::string("bind: ") + std::strerror(errno));
  }
  return fd;
}

uint16_t LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

bool WaitUntil(const std::function<bool()>& done, int ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

uint16_t FreeLoopbackPort() {
  const int fd = LoopbackSocket(0, false);
  const uint16_t port = LocalPort(fd);
  close(fd);
  return port;
}

namespace {
// Lines "sl local_address rem_address st ...": 0100007F:PORT ... state.
bool LocalSocketIn(uint16_t port, const char* state) {
  std::ifstream in("/proc/net/tcp");
  char want[32];
  std::snprintf(want, sizeof want, ": 0100007F:%04X ", port);
  for (std::string line; std::getline(in, line);) {
    const size_t at = line.find(want);
    if (at != std::string::npos && line.compare(at + 29, 4, state) == 0) return true;
  }
  return false;
}
}  // namespace

bool Listening(uint16_t port) { return LocalSocketIn(port, " 0A "); }

// --- Child processes -----------------------------------------------------------------

void TChildProcess::Start(const std::vector<std::string>& argv, const std::string& outputPath) {
  std::vector<std::string> args = argv;
  std::vector<char*> raw;
  for (auto& a : args) raw.push_back(a.data());
  raw.push_back(nullptr);
  const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // A test that crashes takes its servers with it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    execvp(raw[0], raw.data());
    _exit(127);
  }
  close(out);
  close(in);
  if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
}

bool TChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

void TChildProcess::Kill() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

// --- ser2net -------------------------------------------------------------------------------

TSer2Net::TSer2Net(const std::string& device, bool rfc2217) : rfc2217_(rfc2217) {
  // A free port can be taken by someone else before ser2net binds it: a few tries.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = FreeLoopbackPort();
    const std::string accepter =
        std::string(rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") + "127.0.0.1," + std::to_string(port_);
    // Buffers as a bench would have them (the 64-byte default costs
    // throughput); "local": no modem lines behind a pseudo-terminal.
    const std::string config = "connection: &test\n"
                               "  accepter: " + accepter + "\n"
                               "  connector: serialdev," + device + ",115200n81,local\n"
                               "  options:\n"
                               "    kickolduser: true\n"
                               "    mdns: false\n"
                               "    net-to-dev-bufsize: 4096\n"
                               "    dev-to-net-bufsize: 4096\n";
    const auto path = dir_.path() / "ser2net.yaml";
    WriteFile(path, config);
    child_.Start({"ser2net", "-n", "-u", "-c", path.string()}, (dir_.path() / "ser2net.out").string());
    if (WaitUntil([&] { return Listening(port_) || !child_.Running(); }, 5000) && child_.Running()) return;
    child_.Kill();
  }
  throw std::runtime_error("ser2net did not start: " + Output());
}

std::string TSer2Net::Address() const {
  return std::string(rfc2217_ ? "rfc2217" : "tcp") + "://127.0.0.1:" + std::to_string(port_);
}

// --- pyserial's server ----------------------------------------------------------------------

TPyRfc2217Peer::TPyRfc2217Peer() {
  const auto portFile = dir_.path() / "port";
  // The system's Python, whose pyserial the package python3-serial is (a
  // python3 of one's own, earlier on the PATH, may have none).
  const std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  child_.Start({python, ZAV_RFC2217_PEER, portFile.string()}, (dir_.path() / "peer.out").string());
  if (!WaitUntil([&] { return !ReadFile(portFile).empty() || !child_.Running(); }, 10000) || !child_.Running())
    throw std::runtime_error("the RFC 2217 peer did not start: " + Log());
  port_ = uint16_t(std::stoi(ReadFile(portFile)));
}

bool TPyRfc2217Peer::WaitForLog(const std::string& line, int ms) const {
  return WaitUntil([&] { return Log().find(line + "\n") != std::string::npos; }, ms);
}

// --- A listener that never answers ----------------------------------------------------------

TSilentListener::TSilentListener() {
  // A queue of one that is never taken: the first connect fills it, later
  // ones get no answer to their SYN.
  listener_ = LoopbackSocket(0, true);
  port_ = LocalPort(listener_);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port_);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 2; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers_.push_back(fd);
  }
  // The queue is full once a filler's handshake has completed (the other's
  // SYN then goes unanswered, as every later one will).
  pollfd fds[2] = {{fillers_[0], POLLOUT, 0}, {fillers_[1], POLLOUT, 0}};
  while (poll(fds, 2, 30000) < 0 && errno == EINTR) {
  }
}

TSilentListener::~TSilentListener() {
  for (int fd : fillers_) close(fd);
  close(listener_);
}

// --- A scripted server --------------------------------------------------------------------------

TScriptedServer::TScriptedServer(std::string greeting) : greeting_(std::move(greeting)) {
  listener_ = LoopbackSocket(0, true);
  port_ = LocalPort(listener_);
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe");
  thread_ = std::thread([this] { Run(); });
}

TScriptedServer::~TScriptedServer() {
  [[maybe_unused]] ssize_t n = write(wake_[1], "q", 1);
  thread_.join();
  if (client_ >= 0) close(client_);
  close(listener_);
  close(wake_[0]);
  close(wake_[1]);
}

void TScriptedServer::Run() {
  pollfd p[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
  if (poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN)) return;
  const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  {
    std::lock_guard g(m_);
    client_ = fd;
  }
  Send(greeting_);
  for (;;) {
    bool paused;
    {
      std::lock_guard g(m_);
      paused = paused_;
    }
    pollfd q[2] = {{fd, short(paused ? 0 : POLLIN), 0}, {wake_[0], POLLIN, 0}};
    if (poll(q, 2, 20) < 0) return;
    if (q[1].revents & POLLIN) {
      char c;
      if (read(wake_[0], &c, 1) == 1 && c == 'q') return;
    }
    if (!(q[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buf[65536];
    const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) {
      shutdown(fd, SHUT_RDWR);  // the client ended: so does the server
      return;
    }
    std::lock_guard g(m_);
    received_.append(buf, size_t(n));
  }
}

std::string TScriptedServer::Received() const {
  std::lock_guard g(m_);
  return received_;
}

bool TScriptedServer::WaitFor(const std::string& part, int ms) const {
  return WaitUntil([&] { return Received().find(part) != std::string::npos; }, ms);
}

bool TScriptedServer::Send(const std::string& bytes) {
  int fd;
  {
    std::lock_guard g(m_);
    fd = client_;
  }
  if (fd < 0) return false;
  size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) return false;
    at += size_t(n);
  }
  return true;
}

void TScriptedServer::PauseReading(bool paused) {
  std::lock_guard g(m_);
  paused_ = paused;
}

void TScriptedServer::Hangup() {
  // Shut, not closed: the reading thread may still wait on it.
  std::lock_guard g(m_);
  if (client_ >= 0) shutdown(client_, SHUT_RDWR);
}

}  // namespace zav::test
