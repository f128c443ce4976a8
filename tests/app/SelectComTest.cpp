// The port selection dialog over an override directory of pseudo-terminals,
// and the com port prompting through it.
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/QtMessagePump.h"
#include "app/QxSelCom.h"
#include "serial/QxPort.h"
#include "tests/support/PtyPorts.h"

namespace zav {
namespace {

namespace fs = std::filesystem;

class SelectComTest : public ::testing::Test {
 protected:
  void SetUp() override { RegisterComSelectPrompt(); }
  void TearDown() override { RegisterPortPrompt({}); }

  // Links a new pseudo-terminal's slave as com<n>; returns the slave's path.
  std::string AddPort(int com) { return ports.AddPort(com).path; }

  static std::vector<std::string> Entries(const TComSelectForm& form) {
    std::vector<std::string> out;
    for (int i = 0; i < form.PortsComboBox->count(); ++i) out.push_back(form.PortsComboBox->itemText(i).toStdString());
    return out;
  }

  // Presses `button` of the modal dialog once it shows.
  static void PressWhenShown(std::function<QPushButton*(TComSelectForm&)> button) {
    QTimer::singleShot(0, [button] {
      auto* form = dynamic_cast<TComSelectForm*>(QApplication::activeModalWidget());
      ASSERT_NE(form, nullptr);
      button(*form)->click();
    });
  }

  test::TPtyPortMap ports;  // every number leads nowhere until AddPort
};

TEST_F(SelectComTest, TheStoredLayout) {
  TComSelectForm form;
  EXPECT_EQ(form.windowTitle().toStdString(), "Select Port");
  EXPECT_EQ(form.size(), QSize(220, 131));
  EXPECT_EQ(form.Label1->text().toStdString(), "The configured serial port is not valid.");
  EXPECT_EQ(form.Label1->pos(), QPoint(18, 14));
  EXPECT_EQ(form.Label2->text().toStdString(), "Please choose another port.");
  EXPECT_EQ(form.Label2->pos(), QPoint(18, 30));
  EXPECT_EQ(form.Bevel1->geometry(), QRect(8, 8, 201, 42));
  EXPECT_EQ(form.PortsComboBox->pos(), QPoint(8, 64));
  EXPECT_EQ(form.PortsComboBox->width(), 201);
  EXPECT_FALSE(form.PortsComboBox->isEditable());
  EXPECT_EQ(form.OkBtn->geometry(), QRect(8, 95, 85, 27));
  EXPECT_EQ(form.OkBtn->text().toStdString(), "OK");
  EXPECT_TRUE(form.OkBtn->isDefault());
  EXPECT_EQ(form.AbortBtn->geometry(), QRect(124, 95, 85, 27));
  EXPECT_EQ(form.AbortBtn->text().toStdString(), "Cancel");
}

TEST_F(SelectComTest, ListsTheExistingPortsAndSelectsTheFirst) {
  AddPort(1);
  AddPort(3);
  TComSelectForm form;
  EXPECT_EQ(Entries(form), (std::vector<std::string>{"COM1", "COM3"}));
  EXPECT_EQ(form.PortsComboBox->currentText().toStdString(), "COM1");
  EXPECT_EQ(form.SelectedPortNumber(), 1);
}

TEST_F(SelectComTest, TwoDigitPortsAndNothingAbove50) {
  AddPort(12);
  AddPort(50);
  AddPort(51);
  TComSelectForm form;
  EXPECT_EQ(Entries(form), (std::vector<std::string>{"COM12", "COM50"}));
  EXPECT_EQ(form.SelectedPortNumber(), 12);
  form.PortsComboBox->setCurrentIndex(1);
  EXPECT_EQ(form.SelectedPortNumber(), 50);
  EXPECT_FALSE(TComSelectForm::PortExists(0));
  EXPECT_FALSE(TComSelectForm::PortExists(51));
}

TEST_F(SelectComTest, APortHeldByAnotherProgramIsListed) {
  const std::string slave = AddPort(2);
  int holder = open(slave.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_TRUE(TComSelectForm::PortExists(2));
  TComSelectForm form;
  EXPECT_EQ(Entries(form), std::vector<std::string>{"COM2"});
  // Opening it then fails as already open.
  TMroComPort port(nullptr);
  PressWhenShown([](TComSelectForm& f) { return f.OkBtn; });
  try {
    port.SetOpen(true);
    FAIL();
  } catch (const EAlreadyOpen& e) {
    EXPECT_STREQ(e.what(), "ie_Open - device already open");
  }
  EXPECT_EQ(port.ComNumber(), 2);
  close(holder);
}

TEST_F(SelectComTest, OkOpensTheChosenPort) {
  AddPort(1);
  AddPort(3);
  TQtMessagePump pump;
  TMroComPort port(nullptr);
  PressWhenShown([](TComSelectForm& f) { return f.OkBtn; });
  port.SetOpen(true);
  EXPECT_EQ(port.ComNumber(), 1);
  EXPECT_EQ(port.PortPhase, TPortPhase::ppOpen);
  port.SetOpen(false);
}

TEST_F(SelectComTest, CancelRaisesNoPortSelectedAndTheNextOpenAsksAgain) {
  AddPort(1);
  TMroComPort port(nullptr);
  for (int attempt = 0; attempt < 2; ++attempt) {
    PressWhenShown([](TComSelectForm& f) { return f.AbortBtn; });
    try {
      port.SetOpen(true);
      FAIL();
    } catch (const ENoPortSelected& e) {
      EXPECT_EQ(e.ErrorCode, ecNoPortSelected);
      EXPECT_STREQ(e.what(), "The ComNumber property of the TMroComPort has not been set");
    }
    EXPECT_EQ(port.ComNumber(), 0);
    EXPECT_FALSE(port.Open());
  }
}

TEST_F(SelectComTest, OkOnAnEmptyListIsAConversionError) {
  TComSelectForm form;
  EXPECT_EQ(form.PortsComboBox->count(), 0);
  EXPECT_EQ(form.PortsComboBox->currentIndex(), -1);
  TMroComPort port(nullptr);
  PressWhenShown([](TComSelectForm& f) { return f.OkBtn; });
  try {
    port.SetOpen(true);
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'' is not a valid integer value");
  }
  EXPECT_FALSE(port.Open());
  EXPECT_EQ(port.OwnedDispatcher, nullptr);
}

TEST(StrToInt, AcceptsOnlyWholeDecimalNumbers) {
  EXPECT_EQ(StrToInt("12"), 12);
  EXPECT_EQ(StrToInt("-7"), -7);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  for (const char* bad : {"", "-", "1x", " 1", "2147483648", "99999999999999999999"})
    EXPECT_THROW(StrToInt(bad), EConvertError) << bad;
}

}  // namespace
}  // namespace zav
