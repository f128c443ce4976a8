// Small pieces every test binary needs, free of the test framework so the
// fuzz targets and the benchmarks can use them too: whole-file reading and
// writing, serving the calling thread's messages, scratch directories.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace zav::test {

// The file's bytes; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
// Replaces the file with `bytes`; false when it cannot be written.
bool WriteFile(const std::filesystem::path& path, const std::string& bytes);

// Serves the calling thread's messages until `done` holds (true) or `seconds`
// pass (false).
bool PumpUntil(const std::function<bool()>& done, int seconds = 10);
// Serves the messages already queued for the calling thread.
void DrainQueue();

// A fresh directory under the temporary directory, removed with everything in
// it on destruction. With `enter` it is also the working directory meanwhile
// (the old one comes back). A directory that cannot be made throws
// std::runtime_error naming the template and the reason.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix = "zav-test", bool enter = true);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_, old_;
  bool entered_ = false;
};

}  // namespace zav::test
