// The file-send panel of the bench window on Qt's offscreen platform: COM4 is
// a pseudo-terminal whose far end the tests read; the file dialog is replaced
// by a chooser that returns the test's answer; the error box records its text.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/MainForm.h"
#include "app/QxSelCom.h"
#include "platform/Messages.h"
#include "protocols/component/QxProtcl.h"
#include "serial/QxPort.h"
#include "terminal/QXTrmWidget.h"
#include "tests/app/BenchWindowFixture.h"
#include "tests/support/QtTestSupport.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace zav {
namespace {

using test::PumpOnce;
using test::PumpQtUntil;

void Key(QWidget* w, int key, const QString& text = {}, Qt::KeyboardModifiers mods = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, mods, text);
  QApplication::sendEvent(w, &press);
  QKeyEvent release(QEvent::KeyRelease, key, mods, text);
  QApplication::sendEvent(w, &release);
}

// The operator clears a delay field: select all, then Delete.
void Erase(QLineEdit* field) {
  field->setFocus();
  Key(field, Qt::Key_A, {}, Qt::ControlModifier);
  Key(field, Qt::Key_Delete);
}

// The operator erases a field and types digits into it from the left.
void TypeInto(QLineEdit* field, const std::string& digits) {
  Erase(field);
  Key(field, Qt::Key_Home);
  for (char c : digits) Key(field, Qt::Key_0 + (c - '0'), QString(QChar(c)));
}

// The file dialog is replaced by a chooser that returns the test's answer.
class FileSendPanelTest : public test::BenchWindowTest {
 protected:
  void Prepare() override {
    form->OpenDialog1->Chooser = [this](const TOpenDialog& d) {
      shownFilterIndex = d.FilterIndex;
      std::optional<std::string> answer;
      if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
      }
      return answer;
    };
    form->MroProtocol1->OnProtocolFinish = [this](TMroCustomProtocol*, int32_t code) { finishes.push_back(code); };
  }

  void OpenCom4() {
    test::OpenPortInWindow(*form, 4);
    ASSERT_TRUE(errors.empty()) << errors.back();
    ASSERT_TRUE(form->MroComPort1->Open());
  }

  fs::path WriteFile(const std::string& name, const std::string& bytes) {
    const fs::path p = dir_ / name;
    test::WriteFile(p, bytes);
    return p;
  }

  // Reads the far end until `want` bytes came or `seconds` passed, noting
  // when each byte arrived.
  std::string FarEnd(size_t want, double seconds = 5) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (received.size() < want && Clock::now() < deadline) {
      PumpOnce();
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 2) > 0 && (p.revents & POLLIN)) {
        char buf[256];
        const ssize_t n = read(master_, buf, sizeof buf);
        const auto now = Clock::now();
        for (ssize_t i = 0; i < n; ++i) {
          received += buf[i];
          arrivals.push_back(now);
        }
      }
    }
    return received;
  }

  std::deque<std::optional<std::string>> answers;  // what the dialog returns, in turn
  int shownFilterIndex = 0;
  std::vector<int32_t> finishes;
  std::string received;
  std::vector<Clock::time_point> arrivals;
};

TEST_F(FileSendPanelTest, StoredLayoutOfThePanelAndTheProtocolComponent) {
  EXPECT_EQ(form->FileNameEdit->text(), "*.*");
  EXPECT_EQ(form->Browse->text(), "Browse");
  EXPECT_EQ(form->Send->text(), "Send");
  for (TMaskEdit* field : {form->line_com1, form->cha_com1}) {
    EXPECT_EQ(field->EditText(), "000");
    EXPECT_EQ(field->Text(), "000");
  }
  const std::vector<std::pair<std::string, std::string>> filter = {
      {"File ALL", "*.*"}, {"Text File", "*.txt"}, {"Intel HEX", "*.hex"}, {"Intel HEX AVR", "*.rom"},
      {"BASIC", "*.bas"},  {"Binary", "*.bin"},    {"Listing File", "*.lst"}};
  EXPECT_EQ(form->OpenDialog1->Filter, filter);
  EXPECT_EQ(form->OpenDialog1->FilterIndex, 1);
  EXPECT_EQ(form->OpenDialog1->FileName, "");
  EXPECT_EQ(form->OpenDialog1->NameFilters(),
            "File ALL (*);;Text File (*.txt);;Intel HEX (*.hex);;Intel HEX AVR (*.rom);;BASIC (*.bas);;"
            "Binary (*.bin);;Listing File (*.lst)");

  TMroProtocol* p = form->MroProtocol1;
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->ComPort(), form->MroComPort1);
  EXPECT_EQ(p->ProtocolType(), ptZmodem);
  EXPECT_EQ(p->FileMask(), "*.*");
  EXPECT_EQ(p->StatusDisplay(), nullptr);
  EXPECT_EQ(p->ProtocolLog(), nullptr);
}

TEST(DelayField, MaskRightAlignsDigitsAndConversionNeedsANumber) {
  TMaskEdit field(nullptr);
  field.SetText("000");
  EXPECT_EQ(field.Text(), "000");
  field.SetText("1234");  // three positions only
  EXPECT_EQ(field.Text(), "123");
  field.SetText("5");
  EXPECT_EQ(field.EditText(), "5__");
  EXPECT_EQ(field.Text(), "  5");
  field.SetText("");
  EXPECT_EQ(field.EditText(), "___");
  EXPECT_EQ(field.Text(), "   ");

  EXPECT_EQ(DelayFieldValue("005"), 5);
  EXPECT_EQ(DelayFieldValue(" 42"), 42);
  EXPECT_EQ(DelayFieldValue("999"), 999);
  for (const char* bad : {"   ", "", "5  ", "1 2"}) {
    try {
      DelayFieldValue(bad);
      ADD_FAILURE() << "no error for '" << bad << "'";
    } catch (const EConvertError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + std::string(bad) + "' is not a valid integer value");
    }
  }
}

TEST_F(FileSendPanelTest, TypingIntoADelayFieldKeepsThreeDigits) {
  TypeInto(form->cha_com1, "7");
  EXPECT_EQ(form->cha_com1->EditText(), "7__");
  EXPECT_EQ(form->cha_com1->Text(), "  7");
  TypeInto(form->cha_com1, "12a34");
  EXPECT_EQ(form->cha_com1->Text(), "123");
  Erase(form->cha_com1);
  EXPECT_EQ(form->cha_com1->Text(), "   ");
}

TEST_F(FileSendPanelTest, SendBeforeBrowsePassesAnEmptyMask) {
  OpenCom4();
  form->Send->click();
  EXPECT_TRUE(errors.empty()) << errors.back();
  EXPECT_EQ(form->MroProtocol1->ProtocolType(), ptAscii);
  EXPECT_EQ(form->MroProtocol1->FileMask(), "");
  ASSERT_TRUE(PumpQtUntil([&] { return !finishes.empty(); }));
  EXPECT_LT(finishes[0], 0);
  EXPECT_EQ(FarEnd(1, 0.3), "");
}

TEST_F(FileSendPanelTest, SendUsesTheDialogsFileNotTheTypedPath) {
  const fs::path chosen = WriteFile("chosen.txt", "from the dialog\r");
  const fs::path typed = WriteFile("typed.txt", "typed by hand\r");
  answers = {chosen.string(), std::nullopt};
  form->Browse->click();
  EXPECT_EQ(shownFilterIndex, 1);
  EXPECT_EQ(form->FileNameEdit->text().toStdString(), chosen.string());
  // Browse again and cancel: the first choice stays.
  form->Browse->click();
  EXPECT_EQ(form->FileNameEdit->text().toStdString(), chosen.string());
  EXPECT_EQ(form->OpenDialog1->FileName, chosen.string());

  form->FileNameEdit->setText(QString::fromStdString(typed.string()));
  OpenCom4();
  form->Send->click();
  EXPECT_TRUE(errors.empty()) << errors.back();
  EXPECT_EQ(form->MroProtocol1->FileMask(), chosen.string());
  EXPECT_EQ(FarEnd(16), "from the dialog\r");
  ASSERT_TRUE(PumpQtUntil([&] { return !finishes.empty(); }));
  EXPECT_EQ(finishes, std::vector<int32_t>{0});
}

TEST_F(FileSendPanelTest, BrowseCancelledBeforeAnyChoiceShowsAnEmptyName) {
  answers = {std::nullopt};
  form->Browse->click();
  EXPECT_EQ(form->FileNameEdit->text(), "");
}

TEST_F(FileSendPanelTest, DelaysReachTheProtocolAndPaceTheBytes) {
  // Two lines: a line delay after each CR, a character delay after every byte.
  const std::string text = "ABCDEFGHIJ\rKLMNOPQRST\rUV";
  answers = {WriteFile("paced.txt", text).string()};
  form->Browse->click();
  TypeInto(form->cha_com1, "005");
  TypeInto(form->line_com1, "100");
  OpenCom4();

  const auto start = Clock::now();
  form->Send->click();
  EXPECT_TRUE(errors.empty()) << errors.back();
  EXPECT_EQ(form->MroProtocol1->AsciiCharDelay(), 5u);
  EXPECT_EQ(form->MroProtocol1->AsciiLineDelay(), 100u);
  ASSERT_EQ(FarEnd(text.size()), text);

  // No byte can arrive before the waits that precede it have passed. The
  // millisecond clock may cut a wait short by up to a millisecond.
  std::chrono::milliseconds least{0};
  for (size_t i = 1; i < text.size(); ++i) {
    least += std::chrono::milliseconds(4);
    if (text[i - 1] == '\r') least += std::chrono::milliseconds(99);
    EXPECT_GE(arrivals[i] - start, least) << "byte " << i;
  }
  ASSERT_TRUE(PumpQtUntil([&] { return !finishes.empty(); }));
  EXPECT_EQ(finishes, std::vector<int32_t>{0});
}

TEST_F(FileSendPanelTest, ZeroDelaysSendTheWholeFile) {
  std::string text;
  for (int i = 0; i < 50; ++i) text += "line " + std::to_string(i) + "\r";
  answers = {WriteFile("plain.txt", text).string()};
  form->Browse->click();
  OpenCom4();
  form->Send->click();
  EXPECT_TRUE(errors.empty()) << errors.back();
  EXPECT_EQ(form->MroProtocol1->AsciiCharDelay(), 0u);
  EXPECT_EQ(form->MroProtocol1->AsciiLineDelay(), 0u);
  EXPECT_EQ(FarEnd(text.size()), text);
}

TEST_F(FileSendPanelTest, AnErasedDelayFieldShowsTheConversionErrorAndSendsNothing) {
  answers = {WriteFile("never.txt", "never sent\r").string()};
  form->Browse->click();
  Erase(form->cha_com1);
  OpenCom4();
  form->Send->click();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "'   ' is not a valid integer value.");
  // The steps before the failing one stay done.
  EXPECT_EQ(form->MroProtocol1->ProtocolType(), ptAscii);
  EXPECT_EQ(form->MroProtocol1->FileMask(), form->OpenDialog1->FileName);
  EXPECT_EQ(form->MroProtocol1->InProgress(), 0);
  EXPECT_EQ(FarEnd(1, 0.3), "");
  EXPECT_TRUE(finishes.empty());

  // An erased line field fails the same way, after the char delay is set.
  TypeInto(form->cha_com1, "9");
  Erase(form->line_com1);
  form->Send->click();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[1], "'   ' is not a valid integer value.");
  EXPECT_EQ(form->MroProtocol1->AsciiCharDelay(), 9u);
  EXPECT_EQ(FarEnd(1, 0.3), "");
}

TEST_F(FileSendPanelTest, SendWhileAFileIsBeingSentIsRefusedAndTheFirstGoesOnWhole) {
  const std::string text = "0123456789abcdefghij\r";
  answers = {WriteFile("slow.txt", text).string(), WriteFile("other.txt", "other\r").string()};
  form->Browse->click();
  TypeInto(form->cha_com1, "30");
  OpenCom4();
  form->Send->click();
  ASSERT_TRUE(errors.empty()) << errors.back();
  ASSERT_NE(form->MroProtocol1->InProgress(), 0);
  form->Browse->click();
  form->Send->click();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "A file is still being sent.");
  EXPECT_EQ(FarEnd(text.size()), text);
  ASSERT_TRUE(PumpQtUntil([&] { return !finishes.empty(); }));
  EXPECT_EQ(finishes, std::vector<int32_t>{0});
  EXPECT_EQ(FarEnd(text.size() + 1, 0.3), text);

  // Once finished, the next Send goes out.
  form->Send->click();
  EXPECT_EQ(errors.size(), 1u);
  EXPECT_EQ(FarEnd(text.size() + 6), text + "other\r");
}

TEST_F(FileSendPanelTest, ClosingTheWindowMidTransferStopsTheSend) {
  answers = {WriteFile("long.txt", std::string(200, 'z')).string()};
  form->Browse->click();
  TypeInto(form->cha_com1, "20");
  OpenCom4();
  form->Send->click();
  ASSERT_TRUE(errors.empty()) << errors.back();
  ASSERT_FALSE(FarEnd(1).empty());
  form.reset();
  PumpOnce();
  // The transfer is cancelled and the device closed with the window: the
  // rest of the file never arrives.
  FarEnd(200, 0.3);
  EXPECT_LT(received.size(), 200u);
}

TEST_F(FileSendPanelTest, SendOnAClosedPortFinishesWithoutSending) {
  answers = {WriteFile("closed.txt", "x\r").string()};
  form->Browse->click();
  form->Send->click();
  EXPECT_TRUE(errors.empty()) << errors.back();
  ASSERT_TRUE(PumpQtUntil([&] { return !finishes.empty(); }));
  EXPECT_EQ(finishes, std::vector<int32_t>{-103});
}

}  // namespace
}  // namespace zav
