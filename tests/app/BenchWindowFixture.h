// The bench window on Qt's offscreen platform with a real com port: COM4 is a
// pseudo-terminal whose far end the test holds (master_), every other number
// leads nowhere; the working directory is a scratch directory, the settings
// are the test's own, and the error box records its text instead of blocking.
// Shared by the window's tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/MainForm.h"
#include "terminal/QXTrmWidget.h"
#include "tests/support/QtTestSupport.h"

namespace zav::test {

// The operator's steps to open a port: pick COM`number` in the list, press Open Port.
inline void OpenPortInWindow(TForm1& form, int number) {
  form.com->setCurrentIndex(number - 1);
  emit form.com->activated(number - 1);
  form.Button1->click();
}

class BenchWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const TPtyPortMap::TPty& com4 = ports.AddPort(4);
    master_ = com4.master;
    slave_ = com4.slave;
    dir_ = scratch.path();
    SetErrorBox([this](const std::string& text) { errors.push_back(text); });
    form = std::make_unique<TForm1>();
    form->QxTerminal1->SetTimerEnabled(false);
    Prepare();
    form->show();
  }
  void TearDown() override {
    form.reset();
    PumpOnce();
    SetErrorBox({});
  }
  // Hooks of a test on the window before it shows.
  virtual void Prepare() {}

  ScratchDir scratch{"zavform"};  // the working directory: files the window writes land here
  ScratchSettings settings;
  TPtyPortMap ports;
  std::unique_ptr<TForm1> form;
  std::vector<std::string> errors;
  int master_ = -1, slave_ = -1;
  std::filesystem::path dir_;
};

}  // namespace zav::test
