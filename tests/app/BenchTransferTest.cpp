// The bench window's transfers with real peers, on Qt's offscreen platform:
// the window's COM4 is one end of a `mero null-modem` cable, and lrzsz or
// C-Kermit runs on the other end (COM5). The operator's steps are the
// window's: choose the protocol, pick the file or the directory, press Send or
// Receive, watch the status window, press Cancel. The files must arrive
// whole; the status window reaches 100% and closes, or shows the error.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/MainForm.h"
#include "app/TransferControl.h"
#include "app/QxProtStatus.h"
#include "app/QxTestRun.h"
#include "protocols/component/QxProtcl.h"
#include "serial/QxExcept.h"
#include "serial/QxPort.h"
#include "terminal/QXTrmWidget.h"
#include "tests/app/BenchWindowFixture.h"
#include "tests/interop/InteropSupport.h"
#include "tests/support/QtTestSupport.h"

namespace zav {
namespace {

using test::PumpQtUntil;
using test::Side;
using test::StdioPeer;

class BenchTransferTest : public test::InteropTest {
 protected:
  void TearDown() override {
    form.reset();
    test::PumpOnce();
    SetErrorBox({});
    InteropTest::TearDown();
  }

  // The window on COM4 at one end of a cable with line options `cable`.
  void OpenWindow(const std::vector<std::string>& cable = {}) {
    std::vector<std::string> options = {"--com", "4,5"};
    options.insert(options.end(), cable.begin(), cable.end());
    ends = StartCable(options);
    ASSERT_EQ(ends.size(), 2u);
    SetErrorBox([this](const std::string& text) { errors.push_back(text); });
    form = std::make_unique<TForm1>();
    form->QxTerminal1->SetTimerEnabled(false);
    form->show();
    form->Transfers->TargetChooser = [this](bool directory, const std::string&) {
      askedDirectory = directory;
      return target;
    };
    form->MroProtocol1->OnProtocolFinish = [this](TMroCustomProtocol*, int32_t code) { finishes.push_back(code); };
    QObject::connect(form->Transfers->StatusWindow->Progress(), &QProgressBar::valueChanged,
                     [this](int v) { progress = std::max(progress, v); });
    test::OpenPortInWindow(*form, 4);
    ASSERT_TRUE(errors.empty()) << errors.back();
  }

  void Choose(const char* protocol) {
    const int i = form->Transfers->ProtocolBox->findText(protocol);
    ASSERT_GE(i, 0) << protocol << " is not offered";
    form->Transfers->ProtocolBox->setCurrentIndex(i);
  }

  // The peer on the cable's other end; ours, and a peer under `mero exec`,
  // once they say they are ready.
  Child& Peer(const Side& side) {
    Child& c = StartSide(side, ends[1]);
    if (side.kind != Side::DevicePeer) {
      EXPECT_TRUE(WaitReady(c, ends[1])) << Err(c);
    }
    return c;
  }

  // Waits for the window's transfer to end; its finish code.
  int32_t Finish(double seconds = 30) {
    const bool seenStatus = PumpQtUntil([&] { return !finishes.empty() || StatusVisible(); }, seconds);
    EXPECT_TRUE(seenStatus) << "no status window and no finish";
    EXPECT_TRUE(PumpQtUntil([&] { return !finishes.empty(); }, seconds)) << "the transfer did not end";
    return finishes.empty() ? 1 : finishes.front();
  }

  bool StatusVisible() const { return form->Transfers->StatusWindow->Dialog()->isVisible(); }

  // The window is back to the terminal: no transfer, the status window closed.
  void ExpectEndedWell() {
    EXPECT_TRUE(errors.empty()) << errors.back();
    EXPECT_EQ(progress, 100);
    EXPECT_FALSE(StatusVisible());
    EXPECT_FALSE(form->Transfers->Running());
    EXPECT_TRUE(form->QxTerminal1->Active());
  }

  std::string Write(const std::string& dir, const std::string& name, const std::string& data) {
    const std::string path = dir + "/" + name;
    WriteFile(path, data);
    return path;
  }

  std::vector<std::string> ends;
  std::unique_ptr<TForm1> form;
  std::vector<std::string> errors;
  std::vector<int32_t> finishes;
  std::optional<std::string> target;  // what the receive dialog answers
  bool askedDirectory = false;
  int progress = -1;  // the highest value the status window showed
};

TEST_F(BenchTransferTest, Xmodem1KSendToRx) {
  const std::string in = MakeDir("in");
  const std::string data = RandomBytes(20000, 1);
  OpenWindow();
  Choose("Xmodem-1K");
  form->OpenDialog1->FileName = Write(MakeDir("out"), "image.bin", data);
  Child& rx = Peer(StdioPeer({"rx", "-q", "-c", "image.bin"}, in));
  form->Send->click();
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(Wait(rx), 0) << Err(rx);
  ExpectEndedWell();
  // Xmodem fills the last block with Ctrl-Z.
  const std::string got = ReadFile(in + "/image.bin");
  ASSERT_GE(got.size(), data.size());
  EXPECT_TRUE(got.compare(0, data.size(), data) == 0);
  EXPECT_EQ(got.find_first_not_of('\x1A', data.size()), std::string::npos);
}

TEST_F(BenchTransferTest, YmodemReceiveFromSb) {
  const std::string out = MakeDir("out");
  const std::string in = MakeDir("in");
  const std::string a = RandomBytes(5000, 2), b = RandomBytes(1500, 3);
  Write(out, "log-a.txt", a);
  Write(out, "log-b.bin", b);
  OpenWindow();
  Choose("Ymodem");
  Child& sb = Peer(StdioPeer({"sb", "-q", "-k", "log-a.txt", "log-b.bin"}, out));
  target = in;
  form->Transfers->ReceiveButton->click();
  EXPECT_TRUE(askedDirectory);
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(Wait(sb), 0) << Err(sb);
  ExpectEndedWell();
  EXPECT_TRUE(ReadFile(in + "/log-a.txt") == a);
  EXPECT_TRUE(ReadFile(in + "/log-b.bin") == b);
  EXPECT_EQ(form->Transfers->LastDirectory(), in);
}

TEST_F(BenchTransferTest, ZmodemSendToRz) {
  const std::string in = MakeDir("in");
  const std::string data = RandomBytes(60000, 4);
  OpenWindow();
  Choose("Zmodem");
  form->OpenDialog1->FileName = Write(MakeDir("out"), "firmware.bin", data);
  Child& rz = Peer(StdioPeer({"rz", "-q"}, in));
  form->Send->click();
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(Wait(rz), 0) << Err(rz);
  ExpectEndedWell();
  EXPECT_TRUE(ReadFile(in + "/firmware.bin") == data);
}

// The far end starts the transfer: sz's request in the terminal's bytes
// starts a receive into the last directory, whatever protocol is chosen.
TEST_F(BenchTransferTest, ZmodemAutoReceiveFromSz) {
  const std::string out = MakeDir("out");
  const std::string in = MakeDir("in");
  const std::string data = RandomBytes(30000, 5);
  Write(out, "boot.log", data);
  OpenWindow();
  form->Transfers->SetLastDirectory(in);
  form->Transfers->ZmodemAutoReceive->setChecked(true);
  Child& sz = Peer(StdioPeer({"sz", "-q", "boot.log"}, out));
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(Wait(sz), 0) << Err(sz);
  ExpectEndedWell();
  EXPECT_TRUE(ReadFile(in + "/boot.log") == data);
  EXPECT_EQ(form->Transfers->ChosenProtocol(), ptAscii);
}

// A plan's receive step in the test-run window: the file the unit sent is
// checked, then kept beside the unit's report and named in its record.
TEST_F(BenchTransferTest, APlanKeepsTheFileTheUnitSentBesideItsReport) {
  const std::string out = MakeDir("out");
  const std::string reports = MakeDir("reports");
  const std::string data = RandomBytes(20000, 9);
  Write(out, "boot.log", data);
  WriteFile(reports + "/plan.yaml", "name: logs\nsteps:\n  - {name: download, transfer: {protocol: zmodem, "
                                    "receive: boot.log, size: 20000}, timeout: 30}\n");
  OpenWindow();
  form->TestButton->click();
  TQxTestRun& run = *form->TestRun;
  run.Chooser = [&](bool, const std::string&) { return std::optional<std::string>(reports); };
  run.PlanEdit->setText(QString::fromStdString(reports + "/plan.yaml"));
  Child& sz = Peer(StdioPeer({"sz", "-q", "boot.log"}, out));
  run.StartButton->click();
  ASSERT_TRUE(PumpQtUntil([&] { return !run.Running() && !run.LastRecord().empty(); }, 60));
  EXPECT_EQ(Wait(sz), 0) << Err(sz);
  EXPECT_EQ(run.LastUnit()->Outcome, qc::Verdict::Pass) << run.StatusLabel->text().toStdString();
  const std::string kept = run.LastReport().substr(0, run.LastReport().size() - 4) + ".files/boot.log";
  EXPECT_TRUE(ReadFile(kept) == data) << kept;
  EXPECT_NE(ReadFile(run.LastReport().substr(0, run.LastReport().size() - 4) + ".json").find(kept), std::string::npos);
  EXPECT_EQ(run.LastRecord(), "stored");
}

// True once process `pid` has `path` open.
bool HasOpen(pid_t pid, const std::string& path) {
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
    if (std::filesystem::read_symlink(fd.path(), ec) == path) return true;
  return false;
}

TEST_F(BenchTransferTest, KermitSendToCKermit) {
  const std::string in = MakeDir("in");
  const std::string data = RandomBytes(12000, 6);
  OpenWindow();
  Choose("Kermit");
  // C-Kermit drops what waits on the line when it opens it: a Send-Init
  // lost that way goes again after a second.
  form->MroProtocol1->SetKermitTimeoutSecs(1);
  form->OpenDialog1->FileName = Write(MakeDir("out"), "config.dat", data);
  Child& kermit = Peer(test::DevicePeer({"kermit", "-Y", "-q", "-H", "-l", "{PORT}", "-b", "115200", "-C",
                                         "set carrier-watch off,set flow none,set file names literal,"
                                         "set receive pathnames off,set file type binary,set delay 0,receive,exit"},
                                        in));
  WaitFor([&] { return kermit.pid < 0 || HasOpen(kermit.pid, ends[1]); });
  form->Send->click();
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(Wait(kermit), 0) << Err(kermit);
  ExpectEndedWell();
  EXPECT_TRUE(ReadFile(in + "/config.dat") == data);
}

// B+ has no peer program on this system: our own mero answers.
TEST_F(BenchTransferTest, BPlusSendToMero) {
  const std::string in = MakeDir("in");
  const std::string data = RandomBytes(40000, 9);
  OpenWindow();
  Choose("B+");
  form->OpenDialog1->FileName = Write(MakeDir("out"), "table.bin", data);
  Child& mero = Peer(test::Ours({"recv", "{PORT}", "--protocol", "bplus", "--dir", in, "--linger", "9"}));
  form->Send->click();
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(Wait(mero), 0) << Err(mero);
  ExpectEndedWell();
  EXPECT_TRUE(ReadFile(in + "/table.bin") == data);
}

// Cancel in the status window ends the transfer here and at the far end.
TEST_F(BenchTransferTest, CancelEndsBothSides) {
  const std::string in = MakeDir("in");
  OpenWindow({"--baud", "19200"});
  Choose("Zmodem");
  form->OpenDialog1->FileName = Write(MakeDir("out"), "big.bin", RandomBytes(100000, 7));
  Child& rz = Peer(StdioPeer({"rz", "-q"}, in));
  form->Send->click();
  ASSERT_TRUE(PumpQtUntil([&] { return form->MroProtocol1->BytesTransferred() > 2048; }, 20));
  form->Transfers->StatusWindow->CancelButton()->click();
  EXPECT_EQ(Finish(), ecCancelRequested);
  const int exit = Wait(rz, std::chrono::seconds(15));
  EXPECT_NE(exit, -1) << "the receiver was not cancelled";
  EXPECT_NE(exit, 0) << "the receiver took the file whole";
  EXPECT_TRUE(StatusVisible());
  EXPECT_EQ(form->Transfers->StatusWindow->StatusLabel()->text(), "Cancel requested");
  EXPECT_TRUE(form->QxTerminal1->Active());
}

// Closing the window mid-transfer cancels the transfer before the port goes.
TEST_F(BenchTransferTest, ClosingTheWindowCancelsTheTransfer) {
  const std::string in = MakeDir("in");
  OpenWindow({"--baud", "19200"});
  Choose("Zmodem");
  form->OpenDialog1->FileName = Write(MakeDir("out"), "big.bin", RandomBytes(100000, 8));
  Child& rz = Peer(StdioPeer({"rz", "-q"}, in));
  form->Send->click();
  ASSERT_TRUE(PumpQtUntil([&] { return form->MroProtocol1->BytesTransferred() > 2048; }, 20));
  form.reset();
  const int exit = Wait(rz, std::chrono::seconds(15));
  EXPECT_NE(exit, -1) << "the receiver was not cancelled";
  EXPECT_NE(exit, 0) << "the receiver took the file whole";
  EXPECT_TRUE(finishes.empty());  // the window's component went with it
}

}  // namespace
}  // namespace zav
