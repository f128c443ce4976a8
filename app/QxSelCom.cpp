// The port selection dialog: its stored layout, the port probe and the prompt.
#include "app/QxSelCom.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <cerrno>
#include <cstdio>

#include "serial/PortMap.h"
#include "serial/QwNet.h"
#include "serial/QwWin32.h"
#include "serial/QxPort.h"

namespace zav {

bool TComSelectForm::ProbeWithDispatcher = true;
bool TComSelectForm::InUseCountsAsPresent = true;

int32_t StrToInt(const std::string& text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t value = 0;
  const size_t digits = i;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t(INT32_MAX) + 1) break;
  }
  if (i == digits || i != text.size() || (!negative && value > INT32_MAX) || value > int64_t(INT32_MAX) + 1)
    throw EConvertError("'" + text + "' is not a valid integer value");
  return int32_t(negative ? -value : value);
}

TComSelectForm::TComSelectForm(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle("Select Port");
  QFont font;
  font.setFamilies({"MS Sans Serif", "DejaVu Sans"});
  font.setPixelSize(11);
  setFont(font);
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, Qt::black);
  setPalette(pal);
  setFixedSize(220, 131);

  Bevel1 = new QFrame(this);
  Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
  Bevel1->setGeometry(8, 8, 201, 42);
  Label1 = new QLabel("The configured serial port is not valid.", this);
  Label1->move(18, 14);
  Label1->adjustSize();
  Label2 = new QLabel("Please choose another port.", this);
  Label2->move(18, 30);
  Label2->adjustSize();
  PortsComboBox = new QComboBox(this);
  PortsComboBox->setEditable(false);
  PortsComboBox->setGeometry(8, 64, 201, PortsComboBox->sizeHint().height());
  OkBtn = new QPushButton("OK", this);
  OkBtn->setGeometry(8, 95, 85, 27);
  OkBtn->setDefault(true);
  AbortBtn = new QPushButton("Cancel", this);
  AbortBtn->setGeometry(124, 95, 85, 27);
  connect(OkBtn, &QPushButton::clicked, this, [this] { done(kModalOk); });
  connect(AbortBtn, &QPushButton::clicked, this, [this] { done(kModalAbort); });

  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect r = screen->availableGeometry();
    move(r.center() - QPoint(width() / 2, height() / 2));
  }
  FormCreate();
}

void TComSelectForm::FormCreate() {
  PortsComboBox->clear();
  for (int n = 1; n <= kMaxComNumber; ++n) {
    if (PortExists(n)) PortsComboBox->addItem(QString::asprintf("COM%d", n));
  }
  PortsComboBox->setCurrentIndex(PortsComboBox->count() > 0 ? 0 : -1);
}

uint16_t TComSelectForm::SelectedPortNumber() const {
  std::string text = PortsComboBox->currentText().toStdString();
  text = text.size() > 3 ? text.substr(3, 255) : std::string();
  return uint16_t(StrToInt(text));
}

bool TComSelectForm::PortExists(int n) {
  if (n <= 0) return false;
  // Numbers the port map does not know cannot open; no need to try.
  const auto mapped = LookupPort(n);
  if (!mapped) return false;
  // A network port is listed without connecting: a probe would take the
  // server's port from whoever uses it.
  if (IsNetworkAddress(mapped->Device)) return true;
  if (ProbeWithDispatcher) {
    TMroWin32Dispatcher probe(nullptr);
    int32_t rc = probe.InitializePort(ComDeviceName(n), 19200, 0, 8, 1, 64, 64, ipDtrOn | ipRtsOn);
    if (rc == 0) {
      probe.ShutdownPort();
      return true;
    }
    return InUseCountsAsPresent && rc == -5;
  }
  const std::string path = ResolveDeviceName(ComDeviceName(n));
  if (path.empty()) return false;
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  bool held = fd < 0 && (errno == EACCES || errno == EPERM || errno == EBUSY);
  if (fd >= 0) {
    held = flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    if (!held) return true;
  }
  return InUseCountsAsPresent && held;
}

void RegisterComSelectPrompt() {
  RegisterPortPrompt([](TMroCustomComPort&, uint16_t& chosen) {
    TComSelectForm form;
    if (form.exec() != kModalOk) return false;
    chosen = form.SelectedPortNumber();
    return true;
  });
}

}  // namespace zav
