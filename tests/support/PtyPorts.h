// Pseudo-terminal pairs as COM numbers: a private override directory
// (ZAVTERM_PORTS_DIR) in which every number 1..50 starts as a link to nothing,
// so the machine's own ports never fill the gaps; AddPort links a new pair's
// slave as com<n>. The test holds the master (the far end of the line) and
// the slave stays open, so the master never sees a hang-up. Everything goes,
// and the variable comes back, on destruction. No test framework needed.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <deque>

#include "tests/support/TestSupport.h"

namespace zav::test {

class TPtyPortMap {
 public:
  struct TPty {
    int master = -1;
    int slave = -1;
    std::string path;  // the slave's device path
  };

  // Throws std::runtime_error when the directory cannot be made.
  TPtyPortMap();
  ~TPtyPortMap();
  TPtyPortMap(const TPtyPortMap&) = delete;
  TPtyPortMap& operator=(const TPtyPortMap&) = delete;

  // A new raw pair linked as com<n> in place of what was there. Throws
  // std::runtime_error when no pair can be had.
  const TPty& AddPort(int com);
  // The far end of com<n>'s pair goes away (both sides closed, as an adapter
  // pulled out); com<n> leads to nothing until AddPort maps it anew.
  void Unplug(int com);
  // Names a network address as com<n> (a file holding it) in place of what was there.
  void AddNetworkPort(int com, const std::string& address);
  const std::filesystem::path& Dir() const { return dir_.path(); }

 private:
  ScratchDir dir_{"zav-ports", false};
  std::string oldValue_;
  bool hadValue_ = false;
  std::deque<TPty> pairs_;  // stable: AddPort hands out references
};

// Reads what arrives at `fd` until `want` bytes came or `seconds` passed,
// running `pump` meanwhile (default: the calling thread's queued messages).
std::string ReadFarEnd(int fd, size_t want, double seconds = 5, const std::function<void()>& pump = DrainQueue);

}  // namespace zav::test
