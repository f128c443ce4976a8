#include "app/TerminalMenu.h"

#include <QFileDialog>
#include <QFontDatabase>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>
#include <cerrno>
#include <cstring>

#include "app/MainForm.h"
#include "app/PlotView.h"
#include "serial/QxExcept.h"
#include "serial/QxPort.h"
#include "terminal/QXTrmEmu.h"
#include "terminal/QXTrmWidget.h"

namespace zav {

namespace {
constexpr int kErrorRefreshMs = 500;
constexpr int kErrorPanelWidth = 330;
constexpr int kPlotWidth = 640, kPlotGap = 8;
}  // namespace

TTerminalMenu::TTerminalMenu(TQxCustomTerminal* terminal, TMroCustomComPort* port, QWidget* statusBar,
                             int panelLeft)
    : terminal_(terminal), port_(port) {
  menu_ = new QMenu(terminal);
  CopyAction = menu_->addAction("Copy", this, [this] { TForm1::Guard([this] { Copy(); }); });
  ClearAction = menu_->addAction("Clear", this, [this] { TForm1::Guard([this] { Clear(); }); });
  HexAction = menu_->addAction("Hex view");
  HexAction->setCheckable(true);
  connect(HexAction, &QAction::toggled, this, [this](bool on) { TForm1::Guard([this, on] { SetHexView(on); }); });
  PlotAction = menu_->addAction("Plot");
  PlotAction->setCheckable(true);
  connect(PlotAction, &QAction::toggled, this, [this](bool on) { TForm1::Guard([this, on] { SetPlotView(on); }); });
  SaveLogAction = menu_->addAction("Save log...", this, [this] { TForm1::Guard([this] { SaveLog(); }); });
  terminal->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(terminal, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) { ShowMenu(at); });

  // The hex view: the terminal's colours and place, a fixed-pitch font.
  hex_ = new QPlainTextEdit(terminal->parentWidget());
  hex_->setObjectName("HexView");
  hex_->setReadOnly(true);
  hex_->setLineWrapMode(QPlainTextEdit::NoWrap);
  hex_->setMaximumBlockCount(int(kMaxHexBytes / 16) + 2);
  QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  mono.setPixelSize(15);
  hex_->setFont(mono);
  hex_->setStyleSheet("QPlainTextEdit { background: #000080; color: #ffffff; }");
  hex_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(hex_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) { ShowMenu(at); });
  hex_->hide();

  plot_ = new TPlotView(terminal->parentWidget());
  plot_->hide();

  errors_ = new QLabel(statusBar);
  errors_->setObjectName("LineErrorPanel");
  errors_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  errors_->setIndent(1);
  errors_->setGeometry(panelLeft, 2, kErrorPanelWidth, 19);
  errors_->hide();

  errorTimer_ = new QTimer(this);
  errorTimer_->setInterval(kErrorRefreshMs);
  connect(errorTimer_, &QTimer::timeout, this, [this] { RefreshErrors(); });
  logTimer_ = new QTimer(this);
  logTimer_->setSingleShot(true);
  connect(logTimer_, &QTimer::timeout, this, [this] {
    if (!logFormat_) return;
    TForm1::Guard([this] { WriteLog(logFormat_->Flush(TLogTime::Now())); });
    ArmLogFlush();
  });

  port_->AttachCallback({this, [this](TMroCustomComPort*, bool opened) { PortChanged(opened); }});
}

TTerminalMenu::~TTerminalMenu() {
  port_->DetachCallback(this);
  try {
    StopLog();
  } catch (const std::exception&) {
    // The log's last lines could not be written; nothing is left to tell.
  }
}

void TTerminalMenu::ShowMenu(const QPoint& at) {
  CopyAction->setEnabled(hexOn_ ? hex_->textCursor().hasSelection() : terminal_->HasSelection());
  QWidget* from = hexOn_ ? static_cast<QWidget*>(hex_) : terminal_;
  menu_->popup(from->mapToGlobal(at));
}

void TTerminalMenu::Copy() {
  if (hexOn_)
    hex_->copy();
  else
    terminal_->CopySelection();
}

void TTerminalMenu::Clear() {
  terminal_->CurrentEmulator().ClearAll();
  terminal_->update();
  hexBase_ += hexBytes_.size();
  hexBytes_.clear();
  hexShownEnd_ = hexBase_;
  hexPartialShown_ = false;
  hex_->clear();
}

void TTerminalMenu::PortChanged(bool opened) {
  if (opened) {
    errors_->hide();  // a new session starts from 0
    errorTimer_->start();
  } else {
    // Before a close the session's counts are still there: they stay on
    // show until the next open.
    RefreshErrors();
    errorTimer_->stop();
    TForm1::Guard([this] { StopLog(); });
  }
}

void TTerminalMenu::RefreshErrors() {
  if (!port_->Open()) return;
  const TLineErrorCounts counts = port_->LineErrorCounts();
  errors_->setVisible(counts.Any());
  if (counts.Any()) errors_->setText(QString::fromStdString("Line errors: " + FormatLineErrorCounts(counts)));
}

void TTerminalMenu::Received(const uint8_t* data, size_t count) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), count);
  const TLogTime now = TLogTime::Now();  // the log and the plot stamp a line alike
  if (logFormat_) {
    TForm1::Guard([&] { WriteLog(logFormat_->Feed(bytes, now)); });
    ArmLogFlush();
  }
  plot_->Received(data, count, now);
  hexBytes_.append(bytes);
  if (hexBytes_.size() > kMaxHexBytes) {
    // Whole rows go, so that the rows kept stay where they were.
    const size_t drop = (hexBytes_.size() - kMaxHexBytes / 2) / 16 * 16;
    hexBytes_.erase(0, drop);
    hexBase_ += drop;
  }
  if (hexOn_) RenderHex();
}

void TTerminalMenu::SetHexView(bool on) {
  if (HexAction->isChecked() != on) HexAction->setChecked(on);  // comes back here through toggled
  if (on == hexOn_) return;
  hexOn_ = on;
  if (on) {
    hex_->setGeometry(terminal_->geometry());
    hex_->clear();
    hexShownEnd_ = hexBase_;
    hexPartialShown_ = false;
    RenderHex();
    terminal_->hide();
    hex_->show();
    hex_->setFocus();
  } else {
    hex_->hide();
    terminal_->show();
    terminal_->setFocus();
  }
}

void TTerminalMenu::SetPlotView(bool on) {
  if (PlotAction->isChecked() != on) PlotAction->setChecked(on);  // comes back here through toggled
  if (on == plotOn_) return;
  plotOn_ = on;
  QWidget* window = terminal_->window();
  if (on) {
    narrowSize_ = window->size();
    const QRect t = terminal_->geometry();
    window->setFixedSize(narrowSize_.width() + kPlotWidth + kPlotGap, narrowSize_.height());
    plot_->setGeometry(t.right() + 1 + kPlotGap, 7, kPlotWidth, t.bottom() + 1 - 7);
    plot_->show();
  } else {
    plot_->hide();
    window->setFixedSize(narrowSize_);
  }
}

// The document is rows each ending in a line end; a partial last row is
// taken away and written again with the bytes that came since.
void TTerminalMenu::RenderHex() {
  const uint64_t end = hexBase_ + hexBytes_.size();
  uint64_t at = std::max(hexShownEnd_, hexBase_);
  std::string rows;
  const auto bytesAt = [&](uint64_t offset, uint64_t n) {
    return std::string_view(hexBytes_).substr(size_t(offset - hexBase_), size_t(n));
  };
  for (; end - at >= 16; at += 16) rows += FormatHexRow(at, bytesAt(at, 16));
  hexShownEnd_ = at;
  if (at < end) rows += FormatHexRow(at, bytesAt(at, end - at));
  if (rows.empty() && !hexPartialShown_) return;
  QTextCursor c(hex_->document());
  c.movePosition(QTextCursor::End);
  if (hexPartialShown_) {
    c.movePosition(QTextCursor::PreviousBlock, QTextCursor::KeepAnchor);
    c.removeSelectedText();
  }
  c.insertText(QString::fromLatin1(rows.data(), qsizetype(rows.size())));
  hexPartialShown_ = at < end;
  hex_->verticalScrollBar()->setValue(hex_->verticalScrollBar()->maximum());
}

void TTerminalMenu::SaveLog() {
  std::optional<std::string> path;
  if (LogChooser) {
    path = LogChooser();
  } else {
    const QString chosen = QFileDialog::getSaveFileName(terminal_->window(), "Save log", "zavterm.log",
                                                        "Log (*.log *.txt);;All files (*)");
    if (!chosen.isEmpty()) path = chosen.toStdString();
  }
  if (path) StartLog(*path);
}

void TTerminalMenu::StartLog(const std::string& path) {
  StopLog();
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (!f) throw EInOutError("Cannot open " + path + ": " + std::strerror(errno), errno);
  log_ = f;
  logPath_ = path;
  logFormat_ = std::make_unique<TReceiveLog>(TReceiveLog::Mode::Text, true);
}

void TTerminalMenu::StopLog() {
  if (!log_) return;
  logTimer_->stop();
  const std::string rest = logFormat_->Finish();
  std::FILE* f = log_;
  log_ = nullptr;
  logFormat_.reset();
  const bool written = std::fwrite(rest.data(), 1, rest.size(), f) == rest.size();
  const int err = errno;
  if (std::fclose(f) != 0 || !written)
    throw EInOutError("Cannot write " + logPath_ + ": " + std::strerror(written ? errno : err), err);
}

void TTerminalMenu::WriteLog(const std::string& text) {
  if (!log_ || text.empty()) return;
  if (std::fwrite(text.data(), 1, text.size(), log_) != text.size() || std::fflush(log_) != 0) {
    const int err = errno;
    std::fclose(log_);
    log_ = nullptr;
    logFormat_.reset();
    throw EInOutError("Cannot write " + logPath_ + ": " + std::strerror(err) + " (the log has stopped)", err);
  }
}

void TTerminalMenu::ArmLogFlush() {
  const int64_t due = logFormat_ ? logFormat_->MsUntilFlush(TLogTime::Now()) : -1;
  if (due < 0)
    logTimer_->stop();
  else
    logTimer_->start(int(due) + 1);
}

}  // namespace zav
