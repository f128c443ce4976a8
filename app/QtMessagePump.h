// Keeps the GUI thread's window-message queue flowing under Qt's event loop:
// a socket notifier on the queue's descriptor drains it whenever something
// arrives, in the main loop, modal dialogs and nested loops alike.
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace zav {

class TQtMessagePump : public QObject {
 public:
  // Installs on the calling (GUI) thread. `onQuit` runs when the queue holds a
  // quit message; default: the application's event loop ends.
  explicit TQtMessagePump(QObject* parent = nullptr, std::function<void()> onQuit = {});

 private:
  QSocketNotifier* notifier_;
  std::function<void()> onQuit_;
};

}  // namespace zav
