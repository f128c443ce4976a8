#include "app/TransferControl.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>
#include <algorithm>
#include <utility>

#include "app/MainForm.h"
#include "app/QxProtStatus.h"
#include "platform/FileNames.h"
#include "protocols/component/QxProtcl.h"
#include "protocols/core/ProtocolWords.h"
#include "protocols/core/QwTPcl.h"
#include "protocols/zmodem/QwZmodem.h"
#include "serial/QxExcept.h"
#include "terminal/QXTrmWidget.h"

namespace zav {

namespace {

// A Zmodem sender's first header, ZRQINIT in hex: ZPAD ZPAD ZDLE 'B' "00".
constexpr char kZmodemRequest[] = "**\x18" "B00";
constexpr size_t kZmodemRequestLength = sizeof kZmodemRequest - 1;

// Kept between runs: the protocol choice and the last receive directory.
const char* const kProtocolKey = "transfer/protocol";
const char* const kDirectoryKey = "transfer/directory";

}  // namespace

TTransferControl::TTransferControl(QWidget* window, TMroProtocol* protocol, TQxTerminal* terminal, const QFont& font)
    : window_(window), protocol_(protocol), terminal_(terminal) {
  ProtocolBox = new QComboBox(window);
  ProtocolBox->setObjectName("ProtocolBox");
  ProtocolBox->setGeometry(519, 224, 104, 23);
  for (const ProtocolWord& c : kProtocolWords)
    if (Offered(c.type))
      ProtocolBox->addItem(QString::fromUtf8(c.caption.data(), int(c.caption.size())), int(c.type));
  const int kept = ProtocolBox->findText(ReadWindowSetting(kProtocolKey));
  ProtocolBox->setCurrentIndex(kept >= 0 ? kept : 0);
  ProtocolBox->setToolTip("Protocol of Send and Receive");
  ReceiveButton = new QPushButton("Receive", window);
  ReceiveButton->setGeometry(627, 224, 70, 23);
  for (QWidget* w : std::initializer_list<QWidget*>{ProtocolBox, ReceiveButton}) w->setFont(font);
  ZmodemAutoReceive = new QCheckBox("Zmodem auto-receive", window);
  ZmodemAutoReceive->move(705, 227);
  ZmodemAutoReceive->adjustSize();
  ZmodemAutoReceive->setEnabled(Offered(ptZmodem));
  QObject::connect(ProtocolBox, &QComboBox::currentIndexChanged, window,
                   [this] { TForm1::Guard([this] { ProtocolBoxChange(); }); });
  QObject::connect(ReceiveButton, &QPushButton::clicked, window, [this] { TForm1::Guard([this] { ReceiveClick(); }); });

  // The status window belongs to the window, not to the component: an ASCII
  // send shows no progress, so the component gets it only for the others.
  StatusWindow = std::make_unique<TQxProtocolStatus>(nullptr);
  StatusWindow->Dialog()->setParent(window, Qt::Dialog);
  StatusWindow->SetProtocol(protocol);
}

TTransferControl::~TTransferControl() = default;

TProtocolType TTransferControl::ChosenProtocol() const {
  return ProtocolBox->currentIndex() < 0 ? ptAscii : TProtocolType(ProtocolBox->currentData().toInt());
}

void TTransferControl::ProtocolBoxChange() { WriteWindowSetting(kProtocolKey, ProtocolBox->currentText()); }

std::string TTransferControl::LastDirectory() const {
  const QString kept = ReadWindowSetting(kDirectoryKey);
  if (!kept.isEmpty() && QFileInfo(kept).isDir()) return QFile::encodeName(kept).toStdString();
  return QFile::encodeName(QDir::currentPath()).toStdString();
}

void TTransferControl::SetLastDirectory(const std::string& dir) {
  WriteWindowSetting(kDirectoryKey, QFile::decodeName(dir.c_str()));
}

void TTransferControl::ReceiveClick() {
  {
    TLockGuard lock(protocol_->Record().RecordLock);
    if (Running() || protocol_->InProgress() != 0) throw Exception("A transfer is still running");
  }
  const TProtocolType type = ChosenProtocol();
  const bool intoDirectory = ProtocolWordOf(type).carriesNames;
  std::optional<std::string> target;
  if (TargetChooser) {
    target = TargetChooser(intoDirectory, LastDirectory());
  } else {
    const QString start = QFile::decodeName(LastDirectory().c_str());
    const QString chosen = intoDirectory ? QFileDialog::getExistingDirectory(window_, "Receive into", start)
                                         : QFileDialog::getSaveFileName(window_, "Receive as", start);
    if (!chosen.isEmpty()) target = QFile::encodeName(chosen).toStdString();
  }
  if (!target || target->empty()) return;
  SetLastDirectory(intoDirectory ? *target : JustPathname(*target));
  Start(type, false, *target);
}

void TTransferControl::Start(TProtocolType type, bool transmit, const std::string& target, bool unasked) {
  TMroProtocol* p = protocol_;
  p->SetProtocolType(type);
  if (type == ptZmodem) SetZmodemNeverReplace(p->Record(), unasked);
  // Names as given: upper-casing would pick or make another file here.
  p->SetUpcaseFileNames(false);
  if (transmit)
    p->SetFileMask(target);
  else if (ProtocolWordOf(type).carriesNames)
    p->SetDestinationDirectory(target);
  else
    p->SetFileName(target);
  StatusWindow->SetCaption(std::string(ProtocolWordOf(type).caption) + (transmit ? " send" : " receive"));
  p->SetStatusDisplay(StatusWindow.get());
  // The transfer takes every byte the port receives until it ends.
  terminal_->SetActive(false);
  running_ = true;
  try {
    if (transmit)
      p->BeginTransmit();
    else
      p->BeginReceive();
  } catch (...) {
    running_ = false;
    p->SetStatusDisplay(nullptr);
    terminal_->SetActive(true);
    throw;
  }
}

void TTransferControl::Finished(int32_t code) {
  if (!running_) return;  // an ASCII send ends as it always did
  running_ = false;
  if (std::exchange(deviceGone_, false)) code = ecDeviceGone;
  protocol_->SetStatusDisplay(nullptr);
  protocol_->SetUpcaseFileNames(true);
  terminal_->SetActive(true);
  StatusWindow->ShowOutcome(code);
}

void TTransferControl::DeviceGone() {
  if (!running_) return;
  deviceGone_ = true;
  protocol_->AbortProtocol();
}

void TTransferControl::PlanTransferBegan(TMroCustomProtocol& p, bool transmit) {
  plan_ = &p;
  StatusWindow->SetCaption(std::string(ProtocolWordOf(p.ProtocolType()).caption) + (transmit ? " send" : " receive"));
  p.SetStatusDisplay(StatusWindow.get());
  terminal_->SetActive(false);
}

void TTransferControl::PlanTransferEnded(int32_t code) {
  if (plan_ == nullptr) return;
  std::exchange(plan_, nullptr)->SetStatusDisplay(nullptr);
  StatusWindow->SetProtocol(protocol_);
  terminal_->SetActive(true);
  StatusWindow->ShowOutcome(code);
}

void TTransferControl::WatchForZmodem(const uint8_t* data, size_t count) {
  if (!ZmodemAutoReceive->isChecked()) {
    zmodemMatched_ = 0;
    return;
  }
  bool seen = false;
  for (size_t i = 0; i < count; ++i) {
    const char c = char(data[i]);
    if (c == kZmodemRequest[zmodemMatched_])
      ++zmodemMatched_;
    else if (c == '*')
      zmodemMatched_ = zmodemMatched_ == 2 ? 2 : 1;  // "***" still ends in "**"
    else
      zmodemMatched_ = 0;
    if (zmodemMatched_ == kZmodemRequestLength) {
      seen = true;
      zmodemMatched_ = 0;
    }
  }
  // Started once the terminal has let go of this block; a sender repeats its
  // request until it is answered, and a repeat finds the receive running.
  if (seen && !Running())
    QMetaObject::invokeMethod(
        window_, [this] { TForm1::Guard([this] { StartZmodemAutoReceive(); }); }, Qt::QueuedConnection);
}

void TTransferControl::StartZmodemAutoReceive() {
  if (Running() || !ZmodemAutoReceive->isChecked() || !Offered(ptZmodem)) return;
  {
    TLockGuard lock(protocol_->Record().RecordLock);
    if (protocol_->InProgress() != 0) return;  // an ASCII send goes on
  }
  Start(ptZmodem, false, LastDirectory(), true);
}

}  // namespace zav
