// The terminal's context menu in the bench window: the hex view in the
// terminal's place, Copy and Clear, the time-stamped log kept while the port
// is open, and the status bar's panel of line-error counts.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <regex>

#include "app/TerminalMenu.h"
#include "serial/QxPort.h"
#include "tests/app/BenchWindowFixture.h"
#include "tests/support/MemoryDevice.h"

namespace zav {
namespace {

namespace fs = std::filesystem;
using test::PumpQtUntil;

class TerminalMenuTest : public test::BenchWindowTest {
 protected:
  TTerminalMenu& Menu() { return *form->TerminalMenu; }
  void OpenCom4() {
    test::OpenPortInWindow(*form, 4);
    ASSERT_TRUE(form->MroComPort1->Open()) << (errors.empty() ? "" : errors.back());
  }
  void Send(const std::string& bytes) { ASSERT_EQ(write(master_, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
  std::string HexText() const { return form->TerminalMenu->HexWidget()->toPlainText().toStdString(); }
  std::string ScreenLine(int row) const {
    return std::string(reinterpret_cast<const char*>(form->QxTerminal1->Buffer().GetLineChars(row)), 5);
  }
};

TEST_F(TerminalMenuTest, TheMenuOffersItsEntriesOnTheRightButton) {
  EXPECT_EQ(form->QxTerminal1->contextMenuPolicy(), Qt::CustomContextMenu);
  QStringList texts;
  for (QAction* a : Menu().Menu()->actions()) texts << a->text();
  EXPECT_EQ(texts, (QStringList{"Copy", "Clear", "Hex view", "Plot", "Save log..."}));
  EXPECT_TRUE(Menu().HexAction->isCheckable());
}

// Bytes received before and while the hex view shows: full rows, a partial
// row completed in place, offsets running on; then back to the terminal,
// which kept the text.
TEST_F(TerminalMenuTest, HexViewShowsTheReceivedBytesInTheTerminalsPlaceAndBack) {
  OpenCom4();
  Send("0123456789");
  ASSERT_TRUE(PumpQtUntil([&] { return ScreenLine(1) == "01234"; }));
  Menu().HexAction->trigger();
  EXPECT_TRUE(Menu().HexView());
  EXPECT_TRUE(Menu().HexWidget()->isVisible());
  EXPECT_FALSE(form->QxTerminal1->isVisible());
  EXPECT_EQ(Menu().HexWidget()->geometry(), form->QxTerminal1->geometry());
  EXPECT_EQ(HexText(), "00000000  30 31 32 33 34 35 36 37  38 39                    |0123456789|\n");
  Send("abcdef\x01\xffXY");
  const std::string both =
      "00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
      "00000010  01 ff 58 59                                       |..XY|\n";
  ASSERT_TRUE(PumpQtUntil([&] { return HexText() == both; })) << HexText();

  Menu().HexWidget()->selectAll();
  Menu().CopyAction->trigger();
  EXPECT_EQ(QApplication::clipboard()->text().toStdString(), both);

  Menu().HexAction->trigger();
  EXPECT_FALSE(Menu().HexView());
  EXPECT_FALSE(Menu().HexWidget()->isVisible());
  EXPECT_TRUE(form->QxTerminal1->isVisible());
  EXPECT_EQ(ScreenLine(1), "01234");
  EXPECT_TRUE(errors.empty()) << errors.front();
}

TEST_F(TerminalMenuTest, ClearEmptiesTheScreenAndTheHexView) {
  OpenCom4();
  Send("HELLO");
  ASSERT_TRUE(PumpQtUntil([&] { return ScreenLine(1) == "HELLO"; }));
  Menu().ClearAction->trigger();
  EXPECT_EQ(ScreenLine(1), std::string(5, ' '));
  Menu().HexAction->trigger();
  EXPECT_EQ(HexText(), "");
  Send("Z");
  ASSERT_TRUE(PumpQtUntil([&] { return !HexText().empty(); }));
  EXPECT_EQ(HexText().substr(0, 13), "00000005  5a ");  // offsets count every byte received
}

// The log takes stamped lines while the port is open; the close writes the
// partial last line and ends it; the capture file is not touched.
TEST_F(TerminalMenuTest, SaveLogWritesStampedLinesWhileThePortIsOpen) {
  const fs::path log = dir_ / "received.log";
  Menu().LogChooser = [&] { return std::optional<std::string>(log.string()); };
  OpenCom4();
  Menu().SaveLogAction->trigger();
  ASSERT_TRUE(Menu().Logging()) << (errors.empty() ? "" : errors.back());
  Send("one\r\ntwo\r\npar");
  const std::string stamp = R"(\[\d\d:\d\d:\d\d\.\d\d\d\] )";
  ASSERT_TRUE(PumpQtUntil([&] {
    return std::regex_match(test::ReadFile(log), std::regex(stamp + "one\r\n" + stamp + "two\r\n"));
  })) << test::ReadFile(log);
  form->Button2->click();
  EXPECT_FALSE(Menu().Logging());
  EXPECT_TRUE(std::regex_match(test::ReadFile(log),
                               std::regex(stamp + "one\r\n" + stamp + "two\r\n" + stamp + "par\n")))
      << test::ReadFile(log);
  EXPECT_FALSE(fs::exists(dir_ / "MEROTERM.CAP"));

  Menu().LogChooser = [&] { return std::optional<std::string>((dir_ / "no-such-dir" / "x.log").string()); };
  Menu().SaveLogAction->trigger();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("No such file or directory"), std::string::npos) << errors[0];
  EXPECT_FALSE(Menu().Logging());
}

// Over an in-memory device: the counts get a panel of their own once one is
// not 0, the other panels keep what they show, and a new open starts over.
TEST_F(TerminalMenuTest, LineErrorCountsShowInAPanelOfTheirOwn) {
  test::TMemoryDispatcher* device = nullptr;
  form->MroComPort1->DispatcherFactory = [&](TMroCustomComPort& port) {
    auto d = std::make_unique<test::TMemoryDispatcher>(&port);
    device = d.get();
    return std::unique_ptr<TMroBaseDispatcher>(std::move(d));
  };
  OpenCom4();
  ASSERT_NE(device, nullptr);
  const std::vector<std::string> panels = {form->StatusBar1->PanelText(0), form->StatusBar1->PanelText(1),
                                           form->StatusBar1->PanelText(2)};
  Menu().RefreshErrors();
  EXPECT_FALSE(Menu().ErrorPanel()->isVisible());
  device->InjectLineErrors(leParity, 2);
  device->InjectLineErrors(leBreak);
  Menu().RefreshErrors();
  EXPECT_TRUE(Menu().ErrorPanel()->isVisible());
  EXPECT_EQ(Menu().ErrorPanel()->text().toStdString(), "Line errors: parity 2, framing 0, overruns 0, breaks 1");
  EXPECT_EQ(panels, (std::vector<std::string>{form->StatusBar1->PanelText(0), form->StatusBar1->PanelText(1),
                                              form->StatusBar1->PanelText(2)}));
  EXPECT_GE(Menu().ErrorPanel()->x(), 3 * 52);  // beside the three panels, not over them
  form->Button2->click();
  EXPECT_TRUE(Menu().ErrorPanel()->isVisible());  // the last session's counts stay on show
  OpenCom4();
  EXPECT_FALSE(Menu().ErrorPanel()->isVisible());
}

}  // namespace
}  // namespace zav
