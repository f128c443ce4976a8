// Qt pieces of the widget tests: the test environment that makes one
// QApplication per test binary (on the offscreen platform unless the
// environment chose another) with its settings in a scratch directory,
// pumping that serves both Qt's events and the GUI thread's messages, and
// per-test settings.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/Messages.h"
#include "tests/support/PtyPorts.h"

namespace zav::test {

// Points the user's settings (QSettings) at `dir`.
inline void UseSettingsDirectory(const std::filesystem::path& dir) {
  const QString path = QString::fromStdString(dir.string());
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, path);
  QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, path);
}

// The settings directory of the whole test program.
inline std::filesystem::path& ProgramSettingsDirectory() {
  static std::filesystem::path dir;
  return dir;
}

class QtTestEnvironment : public ::testing::Environment {
 public:
  explicit QtTestEnvironment(std::string programName) : name_(std::move(programName)) {}
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Nothing a test does may read or change the user's own settings.
    settings_ = std::make_unique<ScratchDir>("zav-settings", false);
    ProgramSettingsDirectory() = settings_->path();
    UseSettingsDirectory(settings_->path());
    argv_[0] = name_.data();
    app_ = std::make_unique<QApplication>(argc_, argv_);
  }
  void TearDown() override {
    app_.reset();
    settings_.reset();
  }

 private:
  std::string name_;
  int argc_ = 1;
  char* argv_[2] = {nullptr, nullptr};
  std::unique_ptr<ScratchDir> settings_;
  std::unique_ptr<QApplication> app_;
};

// Fresh settings for one test: nothing kept by an earlier test is seen, and
// what this one keeps goes with it.
class ScratchSettings {
 public:
  ScratchSettings() { UseSettingsDirectory(dir_.path()); }
  ~ScratchSettings() { UseSettingsDirectory(ProgramSettingsDirectory()); }
  ScratchSettings(const ScratchSettings&) = delete;
  ScratchSettings& operator=(const ScratchSettings&) = delete;

 private:
  ScratchDir dir_{"zav-settings", false};
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
