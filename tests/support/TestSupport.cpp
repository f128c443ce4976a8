#include "tests/support/TestSupport.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/Messages.h"

namespace zav::test {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return bool(out.flush());
}

bool PumpUntil(const std::function<bool()>& done, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (PumpOneMessage() == PumpResult::Empty)
      WaitForThreadMessage(std::chrono::steady_clock::now() + std::chrono::milliseconds(5));
  }
  return true;
}

void DrainQueue() {
  while (PumpOneMessage() == PumpResult::Dispatched) {
  }
}

ScratchDir::ScratchDir(const std::string& prefix, bool enter) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr)
    throw std::runtime_error("cannot make a scratch directory " + pattern + ": " + std::strerror(errno));
  path_ = name.data();
  if (enter) {
    old_ = fs::current_path();
    fs::current_path(path_);
    entered_ = true;
  }
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  if (entered_) fs::current_path(old_, ec);
  fs::remove_all(path_, ec);
}

}  // namespace zav::test
