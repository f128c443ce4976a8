// The transfer controls of the bench window beside the file-send panel, on
// Qt's offscreen platform with COM4 on a pseudo-terminal whose far end the
// tests hold: the protocol choice and what is kept of it, where a receive
// goes, the terminal letting go of the port while a transfer runs, the status
// window with its Cancel and its error, and the Zmodem request in the
// terminal's bytes. Transfers with real peers are in BenchTransferTest.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <optional>
#include <string>
#include <vector>

#include "app/MainForm.h"
#include "app/TransferControl.h"
#include "app/QxProtStatus.h"
#include "protocols/core/QwTPcl.h"
#include "protocols/component/QxProtcl.h"
#include "serial/QxPort.h"
#include "terminal/QXTrmWidget.h"
#include "tests/app/BenchWindowFixture.h"
#include "tests/support/QtTestSupport.h"

namespace zav {
namespace {

using test::PumpOnce;
using test::PumpQtUntil;

class TransferControlsTest : public test::BenchWindowTest {
 protected:
  void Prepare() override {
    form->Transfers->TargetChooser = [this](bool directory, const std::string& start) {
      asked.push_back({directory, start});
      return target;
    };
    form->MroProtocol1->OnProtocolFinish = [this](TMroCustomProtocol*, int32_t code) { finishes.push_back(code); };
  }

  void OpenCom4() {
    test::OpenPortInWindow(*form, 4);
    ASSERT_TRUE(errors.empty()) << errors.back();
  }

  void Choose(const char* protocol) {
    const int i = form->Transfers->ProtocolBox->findText(protocol);
    ASSERT_GE(i, 0) << protocol;
    form->Transfers->ProtocolBox->setCurrentIndex(i);
  }

  QDialog* StatusWindow() const { return form->Transfers->StatusWindow->Dialog(); }

  struct Ask {
    bool directory;
    std::string start;
  };
  std::vector<Ask> asked;
  std::optional<std::string> target;  // what the receive dialog answers
  std::vector<int32_t> finishes;
};

TEST_F(TransferControlsTest, ProtocolChoiceSitsInFreeSpaceAndStartsAtAscii) {
  EXPECT_EQ(form->Transfers->ProtocolBox->currentText(), "ASCII");
  EXPECT_EQ(form->Transfers->ChosenProtocol(), ptAscii);
  // Every protocol with an engine both ways is offered, in the usual order.
  std::vector<std::string> offered;
  for (int i = 0; i < form->Transfers->ProtocolBox->count(); ++i) {
    offered.push_back(form->Transfers->ProtocolBox->itemText(i).toStdString());
    const auto type = TProtocolType(form->Transfers->ProtocolBox->itemData(i).toInt());
    if (type != ptAscii) {
      EXPECT_NE(EngineOf(type).Prepare[0], nullptr) << offered.back();
      EXPECT_NE(EngineOf(type).Handler[1], nullptr) << offered.back();
    }
  }
  ASSERT_GE(offered.size(), 7u);
  const std::vector<std::string> first = {"ASCII",       "Xmodem", "Xmodem-CRC", "Xmodem-1K",
                                          "Xmodem-1K-G", "Ymodem", "Ymodem-G"};
  EXPECT_EQ(std::vector<std::string>(offered.begin(), offered.begin() + 7), first);
  EXPECT_EQ(form->Transfers->ReceiveButton->text(), "Receive");
  EXPECT_EQ(form->Transfers->ZmodemAutoReceive->text(), "Zmodem auto-receive");
  EXPECT_FALSE(form->Transfers->ZmodemAutoReceive->isChecked());
  EXPECT_FALSE(StatusWindow()->isVisible());

  // The new controls overlap none of the stored ones and stay above the terminal.
  const std::vector<QWidget*> added = {form->Transfers->ProtocolBox, form->Transfers->ReceiveButton, form->Transfers->ZmodemAutoReceive, form->TestButton};
  for (QWidget* w : added) {
    EXPECT_LE(w->geometry().bottom(), form->QxTerminal1->geometry().top()) << w->objectName().toStdString();
    for (QObject* o : form->children()) {
      auto* other = qobject_cast<QWidget*>(o);
      if (other == nullptr || other->isWindow() || std::find(added.begin(), added.end(), other) != added.end())
        continue;
      EXPECT_FALSE(w->geometry().intersects(other->geometry()))
          << w->metaObject()->className() << " " << w->geometry().x() << "," << w->geometry().y() << " overlaps "
          << other->metaObject()->className() << " " << other->geometry().x() << "," << other->geometry().y();
    }
  }
}

TEST_F(TransferControlsTest, ChoiceAndDirectoryAreKeptBetweenRuns) {
  Choose("Ymodem");
  form->Transfers->SetLastDirectory(dir_.string());
  form.reset();
  form = std::make_unique<TForm1>();
  EXPECT_EQ(form->Transfers->ProtocolBox->currentText(), "Ymodem");
  EXPECT_EQ(form->Transfers->LastDirectory(), dir_.string());

  // A directory that is gone falls back to the working directory.
  const std::filesystem::path gone = dir_ / "gone";
  std::filesystem::create_directory(gone);
  form->Transfers->SetLastDirectory(gone.string());
  std::filesystem::remove(gone);
  EXPECT_EQ(form->Transfers->LastDirectory(), std::filesystem::current_path().string());
}

TEST_F(TransferControlsTest, ACancelledReceiveDialogStartsNothing) {
  OpenCom4();
  Choose("Ymodem");
  target.reset();
  form->Transfers->ReceiveButton->click();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_TRUE(asked[0].directory);
  EXPECT_FALSE(form->Transfers->Running());
  EXPECT_TRUE(form->QxTerminal1->Active());
  EXPECT_EQ(test::ReadFarEndQt(master_, 1, 0.3), "");
}

TEST_F(TransferControlsTest, ADeviceGoneMidTransferEndsItWithThatError) {
  OpenCom4();
  Choose("Xmodem-CRC");
  form->Transfers->SetLastDirectory(dir_.string());
  target = (dir_ / "got.bin").string();
  form->Transfers->ReceiveButton->click();
  ASSERT_TRUE(form->Transfers->Running());
  EXPECT_EQ(test::ReadFarEndQt(master_, 1), "C");
  ports.Unplug(4);
  // At once, not by the receiver's time-outs and retries.
  ASSERT_TRUE(PumpQtUntil([&] { return !form->Transfers->Running(); }, 3));
  EXPECT_TRUE(StatusWindow()->isVisible());
  EXPECT_EQ(form->Transfers->StatusWindow->StatusLabel()->text().toStdString(), "Device is gone (unplugged or hung up)");
  EXPECT_TRUE(errors.empty()) << errors.front();
}

TEST_F(TransferControlsTest, XmodemReceiveAsksAFileHoldsThePortAndCancelsFromTheStatusWindow) {
  OpenCom4();
  Choose("Xmodem-CRC");
  form->Transfers->SetLastDirectory(dir_.string());
  target = (dir_ / "got.bin").string();
  form->Transfers->ReceiveButton->click();
  ASSERT_TRUE(errors.empty()) << errors.back();
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_FALSE(asked[0].directory);
  EXPECT_EQ(asked[0].start, dir_.string());
  EXPECT_TRUE(form->Transfers->Running());
  EXPECT_FALSE(form->QxTerminal1->Active());
  EXPECT_EQ(form->MroProtocol1->ProtocolType(), ptXmodemCRC);
  EXPECT_EQ(form->MroProtocol1->FileName(), target);
  // The receiver asks for CRC blocks; the window shows it.
  EXPECT_EQ(test::ReadFarEndQt(master_, 1), "C");
  EXPECT_TRUE(StatusWindow()->isVisible());
  EXPECT_EQ(StatusWindow()->windowTitle(), "Xmodem-CRC receive");
  EXPECT_EQ(form->Transfers->StatusWindow->CancelButton()->text(), "Cancel");

  // While it runs: another start is refused, the window stays usable.
  form->Send->click();
  form->Transfers->ReceiveButton->click();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0], "A transfer is still running.");
  EXPECT_EQ(errors[1], "A transfer is still running.");
  EXPECT_EQ(asked.size(), 1u);

  form->Transfers->StatusWindow->CancelButton()->click();
  ASSERT_TRUE(PumpQtUntil([&] { return !finishes.empty(); }));
  EXPECT_EQ(finishes, std::vector<int32_t>{ecCancelRequested});
  // The far end is told: the receiver cancels with CAN.
  EXPECT_NE(test::ReadFarEndQt(master_, 2, 1).find("\x18\x18"), std::string::npos);
  EXPECT_FALSE(form->Transfers->Running());
  EXPECT_TRUE(form->QxTerminal1->Active());
  EXPECT_EQ(form->MroProtocol1->StatusDisplay(), nullptr);
  // The error stays on show until the operator closes it.
  EXPECT_TRUE(StatusWindow()->isVisible());
  EXPECT_EQ(form->Transfers->StatusWindow->StatusLabel()->text(), "Cancel requested");
  EXPECT_EQ(form->Transfers->StatusWindow->CancelButton()->text(), "Close");
  form->Transfers->StatusWindow->CancelButton()->click();
  EXPECT_FALSE(StatusWindow()->isVisible());

  // The terminal takes the port's bytes again.
  ASSERT_EQ(write(master_, "back", 4), 4);
  ASSERT_TRUE(PumpQtUntil([&] {
    const uint8_t* row = form->QxTerminal1->Buffer().GetLineChars(1);
    return std::string(reinterpret_cast<const char*>(row), 4) == "back";
  }));
  EXPECT_EQ(form->Transfers->LastDirectory(), dir_.string());
}

TEST_F(TransferControlsTest, ASendOnAClosedPortReportsTheErrorInTheStatusWindow) {
  Choose("Ymodem");
  form->OpenDialog1->FileName = (dir_ / "none.bin").string();
  form->Send->click();
  EXPECT_TRUE(errors.empty()) << errors.back();
  ASSERT_TRUE(PumpQtUntil([&] { return !finishes.empty(); }));
  EXPECT_EQ(finishes, std::vector<int32_t>{ecNotOpen});
  EXPECT_TRUE(StatusWindow()->isVisible());
  EXPECT_EQ(form->Transfers->StatusWindow->StatusLabel()->text(), "File/device not open");
  EXPECT_FALSE(form->Transfers->Running());
}

TEST_F(TransferControlsTest, AnAsciiSendAfterAnotherProtocolIsTheSameAsBefore) {
  OpenCom4();
  Choose("Xmodem");
  form->OpenDialog1->FileName = (dir_ / "missing.bin").string();
  form->Send->click();
  ASSERT_TRUE(PumpQtUntil([&] { return !finishes.empty(); }));
  EXPECT_LT(finishes.back(), 0);
  form->Transfers->StatusWindow->CancelButton()->click();  // closes the error

  Choose("ASCII");
  test::WriteFile(dir_ / "t.txt", "text\r");
  form->OpenDialog1->FileName = (dir_ / "t.txt").string();
  form->Send->click();
  EXPECT_TRUE(errors.empty()) << errors.back();
  EXPECT_EQ(form->MroProtocol1->ProtocolType(), ptAscii);
  EXPECT_TRUE(form->MroProtocol1->UpcaseFileNames());
  EXPECT_EQ(form->MroProtocol1->StatusDisplay(), nullptr);
  EXPECT_TRUE(form->QxTerminal1->Active());
  EXPECT_EQ(test::ReadFarEndQt(master_, 5), "text\r");
  ASSERT_TRUE(PumpQtUntil([&] { return finishes.size() == 2; }));
  EXPECT_EQ(finishes.back(), 0);
  EXPECT_FALSE(StatusWindow()->isVisible());
}

// A Zmodem sender announces itself with ZRQINIT ("**" ZDLE "B00..."). The
// terminal's bytes are watched across the blocks they come in.
TEST_F(TransferControlsTest, AZmodemRequestStartsAReceiveOnlyWhenAutoReceiveIsOn) {
  OpenCom4();
  form->Transfers->SetLastDirectory(dir_.string());
  auto feed = [&](const std::string& bytes) {
    form->QxTerminal1->QueueBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    PumpOnce();
  };
  const std::string request = "rz\r**\x18" "B0000000000000000\r\x8a\x11";
  feed(request);
  PumpQtUntil([] { return false; }, 0.2);
  EXPECT_FALSE(form->Transfers->Running());

  form->Transfers->ZmodemAutoReceive->click();
  ASSERT_TRUE(form->Transfers->ZmodemAutoReceive->isChecked());
  // Near misses start nothing.
  for (const char* miss : {"**\x18" "A00", "*\x18" "B00", "**\x18" "B01", "** B00"}) feed(miss);
  PumpQtUntil([] { return false; }, 0.2);
  EXPECT_FALSE(form->Transfers->Running());
  // A request split over three blocks, after a third star.
  feed("x*");
  feed("**\x18");
  feed("B0");
  EXPECT_FALSE(form->Transfers->Running());
  feed("0000000000000000\r\x8a\x11");
  ASSERT_TRUE(PumpQtUntil([&] { return form->Transfers->Running(); }));
  EXPECT_EQ(form->MroProtocol1->ProtocolType(), ptZmodem);
  EXPECT_EQ(form->MroProtocol1->DestinationDirectory(), dir_.string());
  EXPECT_FALSE(form->QxTerminal1->Active());
  EXPECT_EQ(form->Transfers->ChosenProtocol(), ptAscii);
  // The receiver answers with ZRINIT.
  const std::string answer = test::ReadFarEndQt(master_, 6);
  EXPECT_EQ(answer.substr(0, 6), "**\x18" "B01");
  form->Transfers->StatusWindow->CancelButton()->click();
  ASSERT_TRUE(PumpQtUntil([&] { return !finishes.empty(); }));
  EXPECT_FALSE(form->Transfers->Running());
}

}  // namespace
}  // namespace zav
