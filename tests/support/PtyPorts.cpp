#include "tests/support/PtyPorts.h"

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace zav::test {

namespace fs = std::filesystem;

TPtyPortMap::TPtyPortMap() {
  if (const char* old = std::getenv("ZAVTERM_PORTS_DIR")) {
    hadValue_ = true;
    oldValue_ = old;
  }
  setenv("ZAVTERM_PORTS_DIR", dir_.path().c_str(), 1);
  for (int n = 1; n <= 50; ++n) fs::create_symlink("/nonexistent", dir_.path() / ("com" + std::to_string(n)));
}

TPtyPortMap::~TPtyPortMap() {
  for (const TPty& p : pairs_) {
    if (p.master < 0) continue;
    close(p.master);
    close(p.slave);
  }
  if (hadValue_)
    setenv("ZAVTERM_PORTS_DIR", oldValue_.c_str(), 1);
  else
    unsetenv("ZAVTERM_PORTS_DIR");
}

const TPtyPortMap::TPty& TPtyPortMap::AddPort(int com) {
  TPty p;
  char name[256];
  if (openpty(&p.master, &p.slave, name, nullptr, nullptr) != 0)
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  termios t{};
  tcgetattr(p.master, &t);
  cfmakeraw(&t);
  tcsetattr(p.master, TCSANOW, &t);
  p.path = name;
  const fs::path link = dir_.path() / ("com" + std::to_string(com));
  fs::remove(link);
  fs::create_symlink(name, link);
  pairs_.push_back(p);
  return pairs_.back();
}

void TPtyPortMap::Unplug(int com) {
  const fs::path link = dir_.path() / ("com" + std::to_string(com));
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  for (TPty& p : pairs_) {
    if (p.master < 0 || p.path != target.string()) continue;
    close(p.master);
    close(p.slave);
    p.master = p.slave = -1;
  }
  fs::remove(link);
  fs::create_symlink("/nonexistent", link);
}

void TPtyPortMap::AddNetworkPort(int com, const std::string& address) {
  const fs::path entry = dir_.path() / ("com" + std::to_string(com));
  fs::remove(entry);
  WriteFile(entry, address + "\n");
}

std::string ReadFarEnd(int fd, size_t want, double seconds, const std::function<void()>& pump) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
    pump();
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5) > 0 && (p.revents & POLLIN)) {
      char buf[512];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) got.append(buf, size_t(n));
    }
  }
  return got;
}

}  // namespace zav::test
