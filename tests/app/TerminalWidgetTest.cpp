// The terminal control on Qt's offscreen platform with a real com port on a
// pseudo-terminal. Timer ticks are driven by the tests, never by the clock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMouseEvent>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "serial/QxPort.h"
#include "terminal/QXTrmWidget.h"
#include "tests/support/QtTestSupport.h"

namespace fs = std::filesystem;

namespace zav {
namespace {

using test::PumpQtUntil;
using test::ReadFile;

// Reads the far end while serving the GUI thread's messages, until `want`
// bytes came or `seconds` passed.
std::string ReadFd(int fd, size_t want, int seconds = 5) { return test::ReadFarEndQt(fd, want, seconds); }

class TerminalWidget : public ::testing::Test {
 protected:
  void SetUp() override {
    const test::TPtyPortMap::TPty& com4 = ports.AddPort(4);
    master_ = com4.master;
    slave_ = com4.slave;
  }
  void TearDown() override {
    term.reset();
    port.reset();
    test::DrainQueue();
  }

  // An open port and a terminal attached to it, 80 x 24 fully visible.
  void Open() {
    port = std::make_unique<TMroComPort>(&form);
    port->SetComNumber(4);
    port->SetOpen(true);
    ASSERT_EQ(port->PortPhase, TPortPhase::ppOpen);
    term = std::make_unique<TQxTerminal>(&form);
    term->SetTimerEnabled(false);
    term->resize(2000, 1000);
    term->show();
    ASSERT_TRUE(term->Attached());
    ASSERT_GT(term->CellWidth(), 0);
  }

  std::string Row(int r) {
    const uint8_t* p = term->Buffer().GetLineChars(r);
    return std::string(reinterpret_cast<const char*>(p), size_t(term->Buffer().ColCount()));
  }

  // The number of pixels of the image's cell that differ from the background.
  int InkInCell(int row, int col) {
    const QImage& img = term->Image();
    int ink = 0;
    const QRgb back = img.pixel(img.width() - 1, img.height() - 1);
    for (int y = (row - 1) * term->CellHeight(); y < row * term->CellHeight(); ++y)
      for (int x = (col - 1) * term->CellWidth(); x < col * term->CellWidth(); ++x)
        if (img.pixel(x, y) != back) ++ink;
    return ink;
  }

  void Mouse(QEvent::Type type, int row, int col, Qt::MouseButtons buttons) {
    const QPointF at((col - 1) * term->CellWidth() + 2 + 1, (row - 1) * term->CellHeight() + 2 + 1);
    QMouseEvent e(type, at, term->mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(term.get(), &e);
  }
  void Key(int key, const QString& text, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent e(QEvent::KeyPress, key, mods, text);
    QApplication::sendEvent(term.get(), &e);
  }

  TComponent form{nullptr};
  std::unique_ptr<TMroComPort> port;
  std::unique_ptr<TQxTerminal> term;
  test::ScratchDir scratch{"qxterm", false};  // capture files
  test::TPtyPortMap ports;                   // COM4 is a pseudo-terminal
  int master_ = -1, slave_ = -1;
};

TEST_F(TerminalWidget, ReceivedBytesReachBufferImageAndCapture) {
  Open();
  const fs::path cap = scratch.path() / "capture";
  term->SetCaptureFile(cap.string());
  term->SetCapture(TQxCaptureMode::cmOn);
  const std::string data = "Hello\r\nworld\x01\xff";
  ASSERT_EQ(write(master_, data.data(), data.size()), ssize_t(data.size()));
  ASSERT_TRUE(PumpQtUntil([&] { return Row(2).substr(0, 5) == "world"; }));
  EXPECT_EQ(Row(1).substr(0, 5), "Hello");
  EXPECT_EQ(ReadFile(cap), data);  // exactly the received bytes, unbuffered
  term->TimerTick();  // the first tick after the last paint waits
  EXPECT_EQ(InkInCell(1, 1), 0);
  term->TimerTick();
  EXPECT_GT(InkInCell(1, 1), 0);
  EXPECT_GT(InkInCell(2, 5), 0);
  EXPECT_EQ(InkInCell(3, 1), 0);
  // Capture off, then append keeps the contents.
  term->SetCapture(TQxCaptureMode::cmOff);
  term->SetCapture(TQxCaptureMode::cmAppend);
  EXPECT_EQ(term->Capture(), TQxCaptureMode::cmOn);
  term->SetCapture(TQxCaptureMode::cmAppend);  // no change while on
  ASSERT_EQ(write(master_, "+1", 2), 2);
  ASSERT_TRUE(PumpQtUntil([&] { return ReadFile(cap).size() == data.size() + 2; }));
  EXPECT_EQ(ReadFile(cap), data + "+1");
  // A new file during capture starts empty.
  const fs::path cap2 = cap.string() + "b";
  term->SetCaptureFile(cap2.string());
  EXPECT_EQ(ReadFile(cap2), "");
  term.reset();  // closes the capture
  fs::remove(cap);
  fs::remove(cap2);
}

TEST_F(TerminalWidget, BytesThatFollowABatchWaitForTheHoldAndAreAllTaken) {
  Open();
  std::string seen;
  term->OnDataReceived = [&](TQxCustomTerminal*, const uint8_t* data, size_t n) {
    seen.append(reinterpret_cast<const char*>(data), n);
  };
  // The first batch is taken at once; those queued right after it wait for
  // the hold (no post of their own) and none is left behind.
  term->QueueBytes(reinterpret_cast<const uint8_t*>("one "), 4);
  ASSERT_TRUE(PumpQtUntil([&] { return seen == "one "; }));
  std::string expected = "one ";
  for (int i = 0; i < 50; ++i) {
    const std::string piece = std::to_string(i) + ",";
    term->QueueBytes(reinterpret_cast<const uint8_t*>(piece.data()), piece.size());
    expected += piece;
  }
  ASSERT_TRUE(PumpQtUntil([&] { return seen == expected; })) << seen;
  // Once a hold found nothing, the next bytes are taken at once again.
  PumpQtUntil([] { return false; }, 0.1);  // the hold runs out
  term->QueueBytes(reinterpret_cast<const uint8_t*>("end"), 3);
  ASSERT_TRUE(PumpQtUntil([&] { return seen == expected + "end"; })) << seen;
}

TEST_F(TerminalWidget, CaptureOfAMissingFileForAppendFails) {
  Open();
  term->SetCaptureFile("/nonexistent-dir/x.cap");
  EXPECT_THROW(term->SetCapture(TQxCaptureMode::cmAppend), ETerminalError);
}

TEST_F(TerminalWidget, LazyPaintWaitsTwoTicksAfterAPaint) {
  Open();
  term->TimerTick();  // nothing to paint
  ASSERT_EQ(write(master_, "A", 1), 1);
  ASSERT_TRUE(PumpQtUntil([&] { return Row(1)[0] == 'A'; }));
  term->TimerTick();  // after a quiet period: at the next tick
  EXPECT_GT(InkInCell(1, 1), 0);
  ASSERT_EQ(write(master_, "B", 1), 1);
  ASSERT_TRUE(PumpQtUntil([&] { return Row(1)[1] == 'B'; }));
  term->TimerTick();  // 100 ms after the paint: waits
  EXPECT_EQ(InkInCell(1, 2), 0);
  term->TimerTick();  // 200 ms: painted
  EXPECT_GT(InkInCell(1, 2), 0);
  // More than LazyByteDelay bytes paint at the next tick.
  term->SetLazyByteDelay(3);
  ASSERT_EQ(write(master_, "CDEF", 4), 4);
  ASSERT_TRUE(PumpQtUntil([&] { return Row(1)[5] == 'F'; }));
  term->TimerTick();
  EXPECT_GT(InkInCell(1, 6), 0);
}

TEST_F(TerminalWidget, SelectionCopiesFullWidthLines) {
  Open();
  ASSERT_EQ(write(master_, "\r\nsecond line here\r\nthird", 25), 25);
  ASSERT_TRUE(PumpQtUntil([&] { return Row(3).substr(0, 5) == "third"; }));
  Mouse(QEvent::MouseButtonPress, 3, 70, Qt::LeftButton);
  Mouse(QEvent::MouseMove, 2, 10, Qt::LeftButton);
  Mouse(QEvent::MouseButtonRelease, 2, 10, Qt::NoButton);
  ASSERT_TRUE(term->HasSelection());
  // Row 2 from column 10 to the end, row 3 from column 1 to 70.
  const std::string want = "ne here" + std::string(80 - 16, ' ') + "\r\n" + "third" + std::string(65, ' ') + "\r\n";
  EXPECT_EQ(term->SelectionText(), want);
  EXPECT_TRUE(term->Buffer().GetLineAttrs(2)[9] & kAttrSelected);
  EXPECT_FALSE(term->Buffer().GetLineAttrs(2)[8] & kAttrSelected);
  Key(Qt::Key_C, "\x03", Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text().toStdString(), want);
  EXPECT_EQ(ReadFd(master_, 1, 1).size(), 0u);  // the copy key is not sent
}

TEST_F(TerminalWidget, EscapeWhileDraggingClearsAndIsNotSent) {
  Open();
  Mouse(QEvent::MouseButtonPress, 1, 1, Qt::LeftButton);
  Mouse(QEvent::MouseMove, 2, 5, Qt::LeftButton);
  ASSERT_TRUE(term->HasSelection());
  Key(Qt::Key_Escape, "\x1b");
  EXPECT_FALSE(term->HasSelection());
  EXPECT_FALSE(term->Buffer().GetLineAttrs(1)[0] & kAttrSelected);
  Key(Qt::Key_Backspace, "\b");  // typed Backspace goes out as DEL
  EXPECT_EQ(ReadFd(master_, 1), "\x7f");
}

TEST_F(TerminalWidget, ClampsOfTheDelays) {
  TQxTerminal t(nullptr);
  EXPECT_TRUE(t.Active());
  EXPECT_TRUE(t.AttachPending());
  t.SetLazyTimeDelay(0);
  t.SetLazyTimeDelay(2000);
  EXPECT_EQ(t.LazyTimeDelay(), 100);
  t.SetLazyTimeDelay(1000);
  EXPECT_EQ(t.LazyTimeDelay(), 1000);
  t.SetLazyByteDelay(2000);
  t.SetLazyByteDelay(0);
  EXPECT_EQ(t.LazyByteDelay(), 200);
  t.SetLazyByteDelay(1024);
  EXPECT_EQ(t.LazyByteDelay(), 1024);
  t.SetBlinkTime(100);
  EXPECT_EQ(t.BlinkTime(), 250);
  t.SetBlinkTime(-5);
  EXPECT_EQ(t.BlinkTime(), 0);
  t.SetBlinkTime(251);
  EXPECT_EQ(t.BlinkTime(), 251);
  EXPECT_THROW(t.SetColumnsProperty(1), ETerminalError);
  EXPECT_EQ(t.Columns(), 80);
}

TEST_F(TerminalWidget, PendingAttachCompletesWhenThePortOpens) {
  port = std::make_unique<TMroComPort>(&form);
  port->SetComNumber(4);
  port->SetAutoOpen(false);
  term = std::make_unique<TQxTerminal>(&form);
  EXPECT_EQ(term->ComPort(), port.get());
  EXPECT_FALSE(term->Attached());
  EXPECT_TRUE(term->AttachPending());
  port->SetOpen(true);
  EXPECT_TRUE(term->Attached());
  port->SetOpen(false);
  ASSERT_TRUE(PumpQtUntil([&] { return port->PortPhase == TPortPhase::ppClosed; }));
  EXPECT_FALSE(term->Attached());
  EXPECT_TRUE(term->AttachPending());
}

// An inactive control leaves the port's bytes where they are (a transfer
// reads them); active again, it shows and reports what comes next.
TEST_F(TerminalWidget, AnInactiveControlTakesNoBytesAndReportsWhatItShows) {
  Open();
  std::string seen;
  term->OnDataReceived = [&](TQxCustomTerminal*, const uint8_t* p, size_t n) {
    seen.append(reinterpret_cast<const char*>(p), n);
  };
  ASSERT_EQ(write(master_, "one ", 4), 4);
  ASSERT_TRUE(PumpQtUntil([&] { return seen == "one "; }));
  term->SetActive(false);
  EXPECT_FALSE(term->Attached());
  ASSERT_EQ(write(master_, "two ", 4), 4);
  // The bytes wait in the port for whoever reads them.
  std::string left;
  ASSERT_TRUE(PumpQtUntil([&] {
    while (port->InputReady()) left += port->ReadByte();
    return left.size() >= 4;
  }));
  EXPECT_EQ(left, "two ");
  EXPECT_EQ(seen, "one ");
  term->SetActive(true);
  EXPECT_TRUE(term->Attached());
  ASSERT_EQ(write(master_, "three", 5), 5);
  ASSERT_TRUE(PumpQtUntil([&] { return seen == "one three"; }));
  EXPECT_EQ(Row(1).substr(0, 9), "one three");
}

TEST_F(TerminalWidget, Vt100RepliesAndColumnsThroughTheControl) {
  Open();
  TQxVT100Emulator vt(nullptr);
  term->SetEmulator(&vt);
  EXPECT_EQ(&term->CurrentEmulator(), &vt);
  port->SetBaud(1200);
  ASSERT_EQ(write(master_, "\033[5;10H\033[6n\033[c\033[x", 18), 18);
  const std::string want = "\033[5;10R\033[?1;0c\033[2;1;1;64;64;1;0x";
  EXPECT_EQ(ReadFd(master_, want.size()), want);
  ASSERT_EQ(write(master_, "\033[?3h", 5), 5);
  ASSERT_TRUE(PumpQtUntil([&] { return term->Columns() == 132; }));
  term->SetEmulator(nullptr);  // the size carries over to the internal emulator
  EXPECT_EQ(term->Columns(), 132);
}

// Cells copied from cached tiles look exactly as cells the painter draws:
// every byte, in several colour pairs, fonts with and without the code page
// 437 glyphs, and a clip that cuts through cells.
TEST(TerminalCanvas, TilesMatchThePaintersCells) {
  const TQxFont fonts[] = {{"Terminal", -15, 0xC0C0C0, true}, {"Monospace", -13, 0xC0C0C0, false}};
  const std::pair<uint32_t, uint32_t> colours[] = {{0xC0C0C0, 0x000000}, {0x00FFFF, 0x800000}, {0x000000, 0xFFFFFF}};
  for (const TQxFont& base : fonts) {
    const QFontMetrics fm(ToQFont(base));
    const int w = fm.horizontalAdvance(QLatin1Char('M')), h = fm.height();
    QImage tiled(40 * w, 8 * h * 3, QImage::Format_RGB32), drawn(tiled.size(), QImage::Format_RGB32);
    tiled.fill(Qt::darkGreen);
    drawn.fill(Qt::darkGreen);
    for (QImage* image : {&tiled, &drawn}) {
      TQtCanvas canvas;
      QPainter p(image);
      canvas.Begin(&p, image == &tiled ? image : nullptr);
      canvas.SetClipRect({w / 2, 1, 33 * w + w / 2, image->height() - 1});
      const std::vector<int> advances(32, w);
      for (size_t c = 0; c < std::size(colours); ++c) {
        TQxFont font = base;
        font.Color = colours[c].first;
        for (int row = 0; row < 8; ++row) {
          uint8_t text[32];
          for (int i = 0; i < 32; ++i) text[i] = uint8_t(row * 32 + i);
          const int x = (row % 3) * w, y = int(c * 8 + size_t(row)) * h;
          canvas.TextRun({x, y, x + 32 * w, y + h}, x, y, font, colours[c].second, text, 32, advances.data());
        }
      }
      canvas.End();
    }
    int differ = 0;
    for (int y = 0; y < tiled.height(); ++y)
      for (int x = 0; x < tiled.width(); ++x) differ += tiled.pixel(x, y) != drawn.pixel(x, y);
    EXPECT_EQ(differ, 0) << base.Name;
    EXPECT_NE(tiled.pixel(w / 2, 1), QColor(Qt::darkGreen).rgb()) << "the run was copied";
    EXPECT_EQ(tiled.pixel(w / 2 - 1, 1), QColor(Qt::darkGreen).rgb()) << "the clip was kept";
  }
}

}  // namespace
}  // namespace zav
