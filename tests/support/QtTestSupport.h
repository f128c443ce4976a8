// Qt pieces of the widget tests: the test environment that makes one
// QApplication per test binary (on the offscreen platform unless the
// environment chose another), and pumping that serves both Qt's events and
// the GUI thread's messages.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "platform/Messages.h"
#include "tests/support/PtyPorts.h"

namespace zav::test {

class QtTestEnvironment : public ::testing::Environment {
 public:
  explicit QtTestEnvironment(std::string programName) : name_(std::move(programName)) {}
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    argv_[0] = name_.data();
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::string name_;
  int argc_ = 1;
  char* argv_[2] = {nullptr, nullptr};
  std::unique_ptr<QApplication> app_;
};

// Qt's events, then every queued message of the calling thread.
inline void PumpOnce() {
  QApplication::processEvents();
  while (PumpOneMessage() == PumpResult::Dispatched) {
  }
}

// PumpOnce until `done` holds (true) or `seconds` pass (false).
inline bool PumpQtUntil(const std::function<bool()>& done, double seconds = 5) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    PumpOnce();
    WaitForThreadMessage(std::chrono::steady_clock::now() + std::chrono::milliseconds(5));
  }
  return true;
}

// What arrives at the far end `fd` within `seconds` (at least `want` bytes,
// or all that came by then), pumping as the window would.
inline std::string ReadFarEndQt(int fd, size_t want, double seconds = 5) {
  return ReadFarEnd(fd, want, seconds, PumpOnce);
}

}  // namespace zav::test
