// zavterm: the bench window. No options, no settings: the window is all.
//
// --smoke-test SECONDS (for scripts and CI only): closes the window after that
// many seconds, so a start and a clean stop can be checked unattended.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/MainForm.h"
#include "app/QtMessagePump.h"
#include "serial/QxExcept.h"

namespace {

// The last line of defence: an exception escaping any event handler is shown
// like one escaping a window handler, and the program goes on.
class TZavApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
      zav::ShowException(e);
    } catch (...) {
      zav::ShowException(zav::Exception("Unknown exception"));
    }
    return false;
  }
};

}  // namespace

int main(int argc, char* argv[]) {
  TZavApplication app(argc, argv);
  int smokeSeconds = 0;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke-test") == 0 && i + 1 < argc) {
      smokeSeconds = std::atoi(argv[++i]);
      if (smokeSeconds <= 0) {
        std::fprintf(stderr, "zavterm: --smoke-test takes a positive number of seconds\n");
        return 2;
      }
    } else {
      std::fprintf(stderr, "zavterm: unknown argument %s (the window takes no options)\n", argv[i]);
      return 2;
    }
  }
  zav::TQtMessagePump pump(&app);
  zav::TForm1 form;
  form.show();
  if (smokeSeconds > 0) QTimer::singleShot(smokeSeconds * 1000, &form, [&form] { form.close(); });
  return app.exec();
}
