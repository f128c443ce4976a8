// The Qt event loop serving the library's window messages.
#include <gtest/gtest.h>

#include <QApplication>

#include "app/QtMessagePump.h"
#include "platform/Messages.h"

namespace zav {
namespace {

TEST(QtMessagePump, DrainsTheThreadQueueFromTheQtLoop) {
  TQtMessagePump pump;
  int seen = 0;
  HWND w = CreateMessageWindow([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
    if (msg == WM_USER) ++seen;
    return 0;
  });
  PostMessage(w, WM_USER, 0, 0);
  PostMessage(w, WM_USER, 0, 0);
  for (int i = 0; i < 100 && seen < 2; ++i) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  EXPECT_EQ(seen, 2);
  DestroyMessageWindow(w);
}

TEST(QtMessagePump, AQuitMessageReachesItsHandler) {
  int quits = 0;
  TQtMessagePump pump(nullptr, [&] { ++quits; });
  PostQuitMessage(0);
  for (int i = 0; i < 100 && quits == 0; ++i) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  EXPECT_EQ(quits, 1);
  EXPECT_EQ(PumpOneMessage(), PumpResult::Empty);  // consumed, not posted again
}

}  // namespace
}  // namespace zav
