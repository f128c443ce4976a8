#include "app/QtMessagePump.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include "platform/Messages.h"

namespace zav {

TQtMessagePump::TQtMessagePump(QObject* parent, std::function<void()> onQuit)
    : QObject(parent),
      notifier_(new QSocketNotifier(ThreadQueueNotifyFd(), QSocketNotifier::Read, this)),
      onQuit_(std::move(onQuit)) {
  connect(notifier_, &QSocketNotifier::activated, this, [this] {
    if (!DrainThreadQueue()) return;
    if (onQuit_)
      onQuit_();
    else
      QCoreApplication::quit();
  });
}

}  // namespace zav
