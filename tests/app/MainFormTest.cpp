// The bench window on Qt's offscreen platform with a real com port: COM4 is a
// pseudo-terminal whose far end the tests read and write; every other number
// leads nowhere. Controls are driven as the operator drives them (clicks,
// choices, typing); the error box records its text instead of blocking.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/MainForm.h"
#include "app/QxSelCom.h"
#include "app/QxStatLt.h"
#include "serial/QwWin32_termios2.h"
#include "serial/QxPort.h"
#include "terminal/QXTrmWidget.h"
#include "tests/app/BenchWindowFixture.h"
#include "tests/support/QtTestSupport.h"

namespace fs = std::filesystem;

namespace zav {
namespace {

using test::PumpOnce;
using test::PumpQtUntil;

class MainFormTest : public test::BenchWindowTest {
 protected:
  // The operator picks item `index` in a combo box.
  static void Choose(QComboBox* box, int index) {
    box->setCurrentIndex(index);
    emit box->activated(index);
  }

  void OpenCom4() {
    const size_t before = errors.size();
    Choose(form->com, 3);
    form->Button1->click();
    ASSERT_EQ(errors.size(), before) << errors.back();
    ASSERT_TRUE(form->MroComPort1->Open());
  }

  // What the far end received within `seconds` (at least `want` bytes, or all
  // that came by then).
  std::string FarEnd(size_t want, double seconds = 5) { return test::ReadFarEndQt(master_, want, seconds); }

  // The line rate the device was given.
  uint32_t LineSpeed() const {
    TTermios2 t;
    EXPECT_EQ(GetTermios2(slave_, t), 0);
    return t.ospeed;
  }

  std::string Panel(int i) const { return form->StatusBar1->PanelText(i); }
  std::vector<bool> Lights() const {
    return {form->DTRLight->Lit(), form->RTSLight->Lit(), form->Light1->Lit(), form->Light2->Lit()};
  }

};

TEST(ErrorBoxText, AFullStopFollowsAnyLastCharacterAboveIt) {
  EXPECT_EQ(ErrorBoxText("ie_NOpen - device not open"), "ie_NOpen - device not open.");
  EXPECT_EQ(ErrorBoxText("done."), "done.");
  EXPECT_EQ(ErrorBoxText("(code -3006)"), "(code -3006)");  // ')' is below '.'
  EXPECT_EQ(ErrorBoxText("value 5"), "value 5.");
  EXPECT_EQ(ErrorBoxText("ends in a slash/"), "ends in a slash/.");
  EXPECT_EQ(ErrorBoxText(""), "");
}

TEST_F(MainFormTest, StartsFromTheStoredLayout) {
  EXPECT_EQ(form->windowTitle().toStdString(), "ZAV Varorozi  Re. Test Ver.2.04 XP (06/2006)");
  EXPECT_EQ(form->MroComPort1->Baud(), 9600);
  EXPECT_FALSE(form->MroComPort1->AutoOpen());
  EXPECT_FALSE(form->MroComPort1->DTR());
  EXPECT_FALSE(form->MroComPort1->RTS());
  EXPECT_FALSE(form->MroComPort1->Open());
  EXPECT_EQ(form->MroComPort1->ComNumber(), 0);
  EXPECT_TRUE(form->MroComPort1->PromptForPort());
  EXPECT_EQ(form->MroComPort1->TraceName(), "MERO.TRC");
  EXPECT_EQ(form->MroComPort1->LogName(), "MERO.LOG");

  EXPECT_EQ(form->QxTerminal1->ComPort(), form->MroComPort1);
  EXPECT_EQ(form->QxTerminal1->ColorValue(), 0xFF0000u);
  EXPECT_EQ(form->QxTerminal1->TermFont(), (TQxFont{"Terminal", -15, 0xFFFFFF, true}));
  EXPECT_FALSE(form->QxTerminal1->Scrollback());
  EXPECT_EQ(form->QxTerminal1->CaptureFile(), "MEROTERM.CAP");
  EXPECT_EQ(form->QxTerminal1->Capture(), TQxCaptureMode::cmOff);
  EXPECT_EQ(form->QxTerminal1->geometry(), QRect(7, 260, 986, 453));

  EXPECT_EQ(form->com->count(), 15);
  EXPECT_EQ(form->com->itemText(14).toStdString(), "COM15");
  EXPECT_EQ(form->baud->count(), 19);
  EXPECT_EQ(form->baud->itemText(10).toStdString(), "115200");
  for (QComboBox* c : {form->com, form->baud}) {
    EXPECT_EQ(c->currentIndex(), -1);
    EXPECT_EQ(c->currentText().toStdString(), " ");
  }
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Panel(i), "");
  EXPECT_EQ(Lights(), (std::vector<bool>{false, false, false, false}));
  EXPECT_FALSE(form->ON_COM->isEnabled());
  EXPECT_TRUE(form->OFF_COM->isEnabled());
  EXPECT_FALSE(form->C_DTR->isChecked());
  EXPECT_FALSE(form->C_RTS->isChecked());
  EXPECT_FALSE(form->ENT_C->isChecked());
  EXPECT_FALSE(form->Cap1->isChecked());
  EXPECT_EQ(form->Edit1->text().toStdString(), " ");
  EXPECT_EQ(form->Edit1->maxLength(), 4);
  EXPECT_EQ(form->Edit3->text().toStdString(), " ");
  EXPECT_EQ(form->Button4->text().toStdString(), "TerminalFont");
  EXPECT_EQ(form->KeyboardTabs->count(), 2);
  EXPECT_EQ(form->KeyboardTabs->currentIndex(), 0);
  EXPECT_EQ(form->KeyboardTabs->tabText(1).toStdString(), "?/><.*_+123");
  EXPECT_EQ(form->KeyButton("KEY_A")->text().toStdString(), "A");
  EXPECT_EQ(form->KeyButton("Button7")->text().toStdString(), "5");
  EXPECT_EQ(form->KeyButton("KEY_SM_E")->text().toStdString(), "&&");  // shows one "&"
  EXPECT_EQ(form->KeyButton("KEY_Shap_1")->text().toStdString(), "#");
}

TEST_F(MainFormTest, OpenPortWithNothingChosenAsksForThePortAndOpensAt9600) {
  QTimer::singleShot(0, [] {
    auto* dialog = dynamic_cast<TComSelectForm*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    ASSERT_EQ(dialog->PortsComboBox->currentText().toStdString(), "COM4");
    dialog->OkBtn->click();
  });
  form->Button1->click();
  ASSERT_TRUE(errors.empty()) << errors.front();
  EXPECT_TRUE(form->MroComPort1->Open());
  EXPECT_EQ(form->MroComPort1->ComNumber(), 4);
  EXPECT_EQ(LineSpeed(), 9600u);
  EXPECT_EQ(form->com->currentText().toStdString(), " ");
  EXPECT_EQ(Panel(0), "");
  EXPECT_EQ(Panel(1), "OPEN");
  EXPECT_EQ(Lights(), (std::vector<bool>{false, false, true, true}));
  EXPECT_TRUE(form->ON_COM->isEnabled());
  EXPECT_FALSE(form->OFF_COM->isEnabled());
}

TEST_F(MainFormTest, FailuresStopTheHandlerAtTheFailingStep) {
  // The dialog cancelled.
  QTimer::singleShot(0, [] {
    auto* dialog = dynamic_cast<TComSelectForm*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->AbortBtn->click();
  });
  form->Button1->click();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "The ComNumber property of the TMroComPort has not been set.");
  // A port that does not exist.
  Choose(form->com, 2);
  form->Button1->click();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[1], "ie_BadId - Specified comport doesn't exist.");
  EXPECT_FALSE(form->MroComPort1->Open());
  EXPECT_EQ(Panel(1), "");
  EXPECT_EQ(Lights(), (std::vector<bool>{false, false, false, false}));
  EXPECT_FALSE(form->ON_COM->isEnabled());
  // A rate on a missing port: nothing after the open either.
  Choose(form->baud, 7);
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(Panel(2), "");
  EXPECT_FALSE(form->Light1->Lit());
  // The window goes on working.
  OpenCom4();
  EXPECT_EQ(Panel(1), "OPEN");
}

TEST_F(MainFormTest, ErrorsThePortCannotRaiseReachTheBoxLater) {
  // As when a trigger handler fails inside the port window: shown once the
  // window message has been answered, not inside it.
  ReportUnhandledError(Exception("Output buffer too small for block"));
  EXPECT_TRUE(errors.empty());
  ASSERT_TRUE(PumpQtUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors, (std::vector<std::string>{"Output buffer too small for block."}));
}

TEST_F(MainFormTest, ChoosingAPortOnAClosedPortOnlyNamesIt) {
  Choose(form->com, 2);
  EXPECT_EQ(Panel(0), "Com3");
  EXPECT_EQ(form->MroComPort1->ComNumber(), 3);
  EXPECT_FALSE(form->MroComPort1->Open());
  EXPECT_EQ(Panel(1), "");
  EXPECT_EQ(Lights(), (std::vector<bool>{false, false, false, false}));
  Choose(form->com, 14);
  EXPECT_EQ(Panel(0), "Com15");
  EXPECT_TRUE(errors.empty());
}

TEST_F(MainFormTest, ChoosingARateOpensAClosedPortAndChangesAnOpenOne) {
  Choose(form->com, 3);
  Choose(form->baud, 10);
  ASSERT_TRUE(errors.empty()) << errors.front();
  EXPECT_TRUE(form->MroComPort1->Open());
  EXPECT_EQ(LineSpeed(), 115200u);
  EXPECT_EQ(Panel(0), "Com4");
  EXPECT_EQ(Panel(1), "");
  EXPECT_EQ(Panel(2), "BR115200");
  EXPECT_TRUE(form->Light1->Lit());
  EXPECT_TRUE(form->Light2->Lit());
  EXPECT_TRUE(form->ON_COM->isEnabled());
  EXPECT_FALSE(form->OFF_COM->isEnabled());
  Choose(form->baud, 0);
  EXPECT_EQ(LineSpeed(), 150u);
  EXPECT_EQ(Panel(2), "BR150");
  // Open Port applies the chosen rate too.
  form->Button2->click();
  Choose(form->baud, 9);
  form->Button2->click();
  form->Button1->click();
  EXPECT_EQ(LineSpeed(), 57600u);
  EXPECT_TRUE(errors.empty());
}

TEST_F(MainFormTest, LineBoxesLightAtOnceAndSwitchTheLinesAtOpen) {
  form->C_DTR->click();
  EXPECT_TRUE(form->DTRLight->Lit());
  EXPECT_FALSE(form->RTSLight->Lit());
  EXPECT_TRUE(form->MroComPort1->DTR());
  EXPECT_FALSE(form->MroComPort1->Open());
  OpenCom4();
  TMroBaseDispatcher* d = form->MroComPort1->ActiveDispatcher();
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->DtrAsserted());
  EXPECT_FALSE(d->RtsAsserted());
  form->C_RTS->click();
  EXPECT_TRUE(d->RtsAsserted());
  EXPECT_TRUE(form->RTSLight->Lit());
  // Close Port puts every light out but keeps the boxes.
  form->Button2->click();
  EXPECT_EQ(Lights(), (std::vector<bool>{false, false, false, false}));
  EXPECT_TRUE(form->C_DTR->isChecked());
  EXPECT_TRUE(form->C_RTS->isChecked());
  EXPECT_FALSE(form->MroComPort1->DTR());
  // The next Open Port switches both lines on again; the lights stay out.
  form->Button1->click();
  d = form->MroComPort1->ActiveDispatcher();
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->DtrAsserted());
  EXPECT_TRUE(d->RtsAsserted());
  EXPECT_FALSE(form->DTRLight->Lit());
  // Unchecking drops the line at once.
  form->C_DTR->click();
  EXPECT_FALSE(d->DtrAsserted());
  EXPECT_FALSE(form->DTRLight->Lit());
  EXPECT_TRUE(errors.empty());
}

TEST_F(MainFormTest, ClosePortOnAClosedPortRaisesNothing) {
  form->C_DTR->click();
  form->C_RTS->click();
  ASSERT_TRUE(form->DTRLight->Lit());
  form->Button2->click();
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(Panel(1), "CLOSE");
  EXPECT_EQ(Lights(), (std::vector<bool>{false, false, false, false}));
  EXPECT_FALSE(form->ON_COM->isEnabled());
  EXPECT_TRUE(form->OFF_COM->isEnabled());
}

TEST_F(MainFormTest, KeysOnAClosedPortSendNothing) {
  form->KeyButton("KEY_A")->click();
  Choose(form->com, 3);  // names the port, still closed
  form->Button3->click();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "ie_NOpen - device not open.");
  EXPECT_EQ(errors[1], "ie_NOpen - device not open.");
  OpenCom4();
  form->Button2->click();
  form->KeyButton("KEY_SM_K")->click();
  EXPECT_EQ(errors.size(), 3u);
  EXPECT_EQ(FarEnd(1, 0.3), "");
}

TEST_F(MainFormTest, LetterKeysFollowCapsLock) {
  OpenCom4();
  form->KeyButton("KEY_A")->click();
  form->KeyButton("KEY_Z")->click();
  EXPECT_EQ(FarEnd(2), "AZ");
  form->Cap1->click();
  EXPECT_EQ(form->KeyButton("KEY_A")->text().toStdString(), "a");
  EXPECT_EQ(form->KeyButton("KEY_Q")->text().toStdString(), "q");
  form->KeyButton("KEY_A")->click();
  form->KeyButton("KEY_M")->click();
  EXPECT_EQ(FarEnd(2), "am");
  form->Cap1->click();
  EXPECT_EQ(form->KeyButton("KEY_Z")->text().toStdString(), "Z");
  form->KeyButton("KEY_B")->click();
  EXPECT_EQ(FarEnd(1), "B");
  EXPECT_TRUE(errors.empty());
}

TEST_F(MainFormTest, HashKeysBecomeEnterAndSignKeysSendTheirBytes) {
  OpenCom4();
  form->KEY_Shap_0->click();
  EXPECT_EQ(FarEnd(1), "#");
  form->ENT_C->click();
  EXPECT_EQ(form->KEY_Shap_0->text().toStdString(), "ent");
  EXPECT_EQ(form->KEY_Shap_1->text().toStdString(), "ent");
  form->KEY_Shap_0->click();
  form->KEY_Shap_1->click();
  EXPECT_EQ(FarEnd(2), "\r\r");
  form->ENT_C->click();
  EXPECT_EQ(form->KEY_Shap_1->text().toStdString(), "#");
  form->KEY_Shap_1->click();
  EXPECT_EQ(FarEnd(1), "#");

  const std::vector<std::pair<const char*, std::string>> keys = {
      {"KEY_SM_K", "\\"},  {"KEY_SM_L", "\""}, {"KEY_SM_E", "&"},   {"KEY_ESC_0", "\x1b"}, {"KEY_ESC_1", "\x1b"},
      {"Button5", "3"},    {"Key_0", "0"},     {"KEY_SM_0", "0"},   {"KEY_Sting_1", "*"},  {"KEY_SM_Z", "~"},
      {"KEY_SM_A", "!"},   {"Key_9", "9"},     {"KEY_Sting_0", "*"}, {"KEY_SM_S", ">"}};
  std::string want;
  for (const auto& [name, sends] : keys) {
    QPushButton* b = form->KeyButton(name);
    ASSERT_NE(b, nullptr) << name;
    b->click();
    want += sends;
  }
  const std::string got = FarEnd(want.size());
  EXPECT_EQ(got, want);
  EXPECT_EQ(got.substr(0, 2), (std::string{char(92), char(34)}));
  EXPECT_TRUE(errors.empty());
}

TEST_F(MainFormTest, CommandLinesSendTheirTextUnchanged) {
  OpenCom4();
  form->Button3->click();  // the stored single blank
  EXPECT_EQ(FarEnd(1), " ");
  // Typing five characters into the four-character box keeps the first four.
  form->Edit1->clear();
  for (const char c : std::string("ABCDE")) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_A + (c - 'A'), Qt::NoModifier, QString(QChar(c)));
    QApplication::sendEvent(form->Edit1, &press);
  }
  EXPECT_EQ(form->Edit1->text().toStdString(), "ABCD");
  form->Button3->click();
  EXPECT_EQ(FarEnd(5, 0.5), "ABCD");
  EXPECT_EQ(form->Edit1->text().toStdString(), "ABCD");  // not cleared
  // Line 2 takes a 40-character command whole, blanks included, no line end.
  const std::string command = " AT+CMD=0123456789,\"quoted\\text\",end;   ";
  ASSERT_EQ(command.size(), 40u);
  form->Edit3->setText(QString::fromStdString(command));
  form->Button6->click();
  EXPECT_EQ(FarEnd(41, 0.5), command);
  // An empty box sends nothing and raises nothing.
  form->Edit3->clear();
  form->Button6->click();
  EXPECT_EQ(FarEnd(1, 0.2), "");
  EXPECT_TRUE(errors.empty());
}

TEST_F(MainFormTest, ReceivedBytesShowWhiteOnBlue) {
  OpenCom4();
  ASSERT_TRUE(form->QxTerminal1->Attached());
  ASSERT_EQ(write(master_, "HELLO\r\n", 7), 7);
  TQxTerminal* t = form->QxTerminal1;
  ASSERT_TRUE(PumpQtUntil([&] {
    return std::string(reinterpret_cast<const char*>(t->Buffer().GetLineChars(1)), 5) == "HELLO";
  }));
  t->TimerTick();
  t->TimerTick();
  const QImage& img = t->Image();
  ASSERT_FALSE(img.isNull());
  const QColor blue(0, 0, 255);
  EXPECT_EQ(img.pixelColor(img.width() - 1, img.height() - 1), blue);
  // The glyph of "H" is white (edges blend into the blue); the next row is bare.
  auto whitish = [&](int row) {
    int n = 0;
    for (int y = (row - 1) * t->CellHeight(); y < row * t->CellHeight(); ++y)
      for (int x = 0; x < t->CellWidth(); ++x) {
        const QColor c = img.pixelColor(x, y);
        if (c.red() > 200 && c.green() > 200 && c.blue() > 200) ++n;
        else EXPECT_EQ(c.red(), c.green()) << "not a blend of white and blue at " << x << "," << y;
      }
    return n;
  };
  EXPECT_GT(whitish(1), 5);
  EXPECT_EQ(whitish(2), 0);
  // Capture stays off: no file appears.
  EXPECT_FALSE(fs::exists(dir_ / "MEROTERM.CAP"));
  EXPECT_TRUE(errors.empty());
}

TEST_F(MainFormTest, TerminalFontToggles) {
  EXPECT_EQ(form->QxTerminal1->TermFont().Height, -15);
  const int narrowCell = form->QxTerminal1->CellHeight();
  std::vector<std::string> captions;
  std::vector<int> sizes;
  for (int i = 0; i < 4; ++i) {
    form->Button4->click();
    captions.push_back(form->Button4->text().toStdString());
    sizes.push_back(form->TerminalFontSize());
    if (i == 0) {
      EXPECT_EQ(form->QxTerminal1->TermFont().Height, -16);
      EXPECT_GE(form->QxTerminal1->CellHeight(), narrowCell);
    }
  }
  EXPECT_EQ(captions, (std::vector<std::string>{"Font Large", "Font Small", "Font Large", "Font Small"}));
  EXPECT_EQ(sizes, (std::vector<int>{12, 11, 12, 11}));
  EXPECT_EQ(form->QxTerminal1->TermFont().Height, -15);
  EXPECT_EQ(form->QxTerminal1->TermFont().Color, 0xFFFFFFu);
}

TEST_F(MainFormTest, RatesBeyond115200AreListedAndTypedRatesTaken) {
  const std::vector<std::string> more = {"230400",  "460800",  "921600",  "1000000",
                                         "1500000", "2000000", "3000000", "4000000"};
  for (size_t i = 0; i < more.size(); ++i) EXPECT_EQ(form->baud->itemText(int(11 + i)).toStdString(), more[i]);
  Choose(form->com, 3);
  Choose(form->baud, 13);
  ASSERT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(LineSpeed(), 921600u);
  EXPECT_EQ(Panel(2), "BR921600");

  // A rate typed in, taken with Enter as a listed one is chosen ...
  auto type = [&](const char* text) {
    form->baud->setEditText(text);
    emit form->baud->lineEdit()->returnPressed();
  };
  type("250000");
  EXPECT_EQ(LineSpeed(), 250000u);
  EXPECT_EQ(Panel(2), "BR250000");
  // ... and by Open Port.
  form->Button2->click();
  form->baud->setEditText(" 500000 ");
  form->Button1->click();
  EXPECT_EQ(LineSpeed(), 500000u);
  ASSERT_TRUE(errors.empty()) << errors.front();
  // Anything else is refused with its text, and changes nothing.
  for (const char* bad : {"fast", "12", "115200x"}) {
    type(bad);
    ASSERT_FALSE(errors.empty()) << bad;
    EXPECT_EQ(errors.back(), "\"" + std::string(bad) + "\" is not a baud rate.");
  }
  EXPECT_EQ(LineSpeed(), 500000u);
}

TEST_F(MainFormTest, APulledDeviceIsShownGoneAndReopenedWhenItComesBack) {
  EXPECT_TRUE(form->ReconnectBox->isChecked()) << "on by default";
  form->C_DTR->click();
  OpenCom4();
  const std::vector<bool> lit = Lights();
  ports.Unplug(4);
  ASSERT_TRUE(PumpQtUntil([&] { return Panel(1) == "GONE"; }));
  EXPECT_EQ(Lights(), (std::vector<bool>{false, false, false, false}));
  EXPECT_EQ(form->PortMessage->text().toStdString(),
            "Com4 disconnected: the device is gone; waiting for it to come back");
  // Keys are refused with what happened, not as a failed write.
  form->KeyButton("KEY_A")->click();
  ASSERT_EQ(errors, (std::vector<std::string>{"Device is gone (unplugged or hung up)"}));

  const test::TPtyPortMap::TPty& fresh = ports.AddPort(4);
  master_ = fresh.master;
  slave_ = fresh.slave;
  ASSERT_TRUE(PumpQtUntil([&] { return Panel(1) == "OPEN"; }));
  EXPECT_EQ(form->PortMessage->text().toStdString(), "Com4 reconnected at 9600 baud");
  EXPECT_EQ(Lights(), lit);
  EXPECT_EQ(LineSpeed(), 9600u);
  form->KeyButton("KEY_B")->click();
  EXPECT_EQ(FarEnd(1), "B");
  ASSERT_EQ(write(master_, "AGAIN\r\n", 7), 7);
  TQxTerminal* t = form->QxTerminal1;
  EXPECT_TRUE(PumpQtUntil([&] {
    return std::string(reinterpret_cast<const char*>(t->Buffer().GetLineChars(1)), 5) == "AGAIN";
  }));
  EXPECT_EQ(errors.size(), 1u);
}

TEST_F(MainFormTest, ReconnectSwitchedOffIsKeptAndLeavesAPulledPortGone) {
  form->ReconnectBox->click();
  EXPECT_FALSE(form->ReconnectBox->isChecked());
  OpenCom4();
  ports.Unplug(4);
  ASSERT_TRUE(PumpQtUntil([&] { return Panel(1) == "GONE"; }));
  EXPECT_EQ(form->PortMessage->text().toStdString(), "Com4 disconnected: the device is gone");
  ports.AddPort(4);
  PumpQtUntil([] { return false; }, 1);
  EXPECT_EQ(Panel(1), "GONE");
  EXPECT_TRUE(form->MroComPort1->DeviceGone());
  // Open Port starts afresh on the device now there.
  form->Button1->click();
  EXPECT_TRUE(errors.empty()) << errors.front();
  EXPECT_FALSE(form->MroComPort1->DeviceGone());
  EXPECT_EQ(Panel(1), "OPEN");
  // The choice outlives the window.
  form = std::make_unique<TForm1>();
  EXPECT_FALSE(form->ReconnectBox->isChecked());
}

}  // namespace
}  // namespace zav
