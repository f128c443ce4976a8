#include "app/QxProtStatus.h"

#include <QDialog>
#include <QFormLayout>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "platform/Clock.h"
#include "serial/QxExcept.h"

namespace zav {

namespace {

QString MinSec(int64_t secs) {
  return QString("%1:%2").arg(secs / 60).arg(secs % 60, 2, 10, QChar('0'));
}

}  // namespace

TQxProtocolStatus::TQxProtocolStatus(TComponent* owner) : TMroAbstractStatus(owner) { InitDisplay(); }

TQxProtocolStatus::~TQxProtocolStatus() { ReleaseDisplay(); }

void TQxProtocolStatus::BuildDisplay() {
  dialog_ = new QDialog;
  auto* form = new QFormLayout;
  file_ = new QLabel;
  bytes_ = new QLabel;
  rate_ = new QLabel;
  time_ = new QLabel;
  status_ = new QLabel;
  // Names and texts come from the peer: shown as written, never as markup.
  for (QLabel* l : {file_, bytes_, rate_, time_, status_}) l->setTextFormat(Qt::PlainText);
  progress_ = new QProgressBar;
  progress_->setRange(0, 100);
  form->addRow("File:", file_);
  form->addRow("Bytes:", bytes_);
  form->addRow("Rate:", rate_);
  form->addRow("Time:", time_);
  form->addRow("Status:", status_);
  cancel_ = new QPushButton("Cancel");
  auto* column = new QVBoxLayout(dialog_);
  column->addLayout(form);
  column->addWidget(progress_);
  column->addWidget(cancel_, 0, Qt::AlignHCenter);
  QObject::connect(cancel_, &QPushButton::clicked, dialog_, [this] {
    // Cancel while a transfer runs; Close once it has ended.
    if (Protocol() != nullptr && Protocol()->InProgress() != 0)
      Protocol()->AbortProtocol();
    else
      SetVisible(false);
  });
}

void TQxProtocolStatus::ReleaseDisplay() {
  delete dialog_;
  dialog_ = nullptr;
}

void TQxProtocolStatus::ApplyPosition(TPosition v) {
  if (v != TPosition::poScreenCenter || dialog_ == nullptr) return;
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect area = screen->availableGeometry();
    dialog_->move(area.center() - dialog_->rect().center());
  }
}

void TQxProtocolStatus::ApplyVisible(bool v) {
  if (dialog_ != nullptr) dialog_->setVisible(v);
}

void TQxProtocolStatus::ApplyCaption(const std::string& v) {
  if (dialog_ != nullptr) dialog_->setWindowTitle(QString::fromStdString(v));
}

bool TQxProtocolStatus::DisplayVisible() const { return dialog_ != nullptr && dialog_->isVisible(); }

std::string TQxProtocolStatus::DisplayCaption() const {
  return dialog_ != nullptr ? dialog_->windowTitle().toStdString() : std::string();
}

void TQxProtocolStatus::RefreshDisplay(bool first, bool last) {
  TMroCustomProtocol* p = Protocol();
  if (dialog_ == nullptr || p == nullptr) return;
  if (first) {
    cancel_->setText("Cancel");
    SetVisible(true);
  }
  const int64_t done = p->BytesTransferred();
  const int64_t total = p->SrcFileLen();
  const int32_t secs = Ticks2Secs(p->ElapsedTicks());
  const int64_t cps = secs > 0 ? done / secs : 0;
  file_->setText(QString::fromStdString(p->FileName()));
  bytes_->setText(total > 0 ? QString("%1 of %2").arg(done).arg(total) : QString::number(done));
  progress_->setValue(total > 0 ? int(std::min<int64_t>(100, done * 100 / total)) : 0);
  rate_->setText(QString("%1 CPS").arg(cps));
  const int64_t left = total > done ? total - done : 0;
  time_->setText(cps > 0 ? QString("%1 elapsed, %2 remaining").arg(MinSec(secs)).arg(MinSec(left / cps))
                         : QString("%1 elapsed").arg(MinSec(secs)));
  status_->setText(QString::fromStdString(p->StatusMsg(p->ProtocolStatus())));
  if (last) SetVisible(false);
}

void TQxProtocolStatus::ShowOutcome(int32_t code) {
  if (dialog_ == nullptr) return;
  if (code >= 0) {
    SetVisible(false);
    return;
  }
  const std::string text = ErrorText(code);
  status_->setText(text.empty() ? QString("Error %1").arg(code) : QString::fromStdString(text));
  cancel_->setText("Close");
  SetVisible(true);
}

}  // namespace zav
