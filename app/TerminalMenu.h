// What the bench window adds around its terminal: the context menu (Copy,
// Clear, Hex view, Plot, Save log...), the hex view of the received bytes
// shown in the terminal's place, the plot of the numbers in the received
// lines beside the terminal (the window widens for it), the time-stamped log
// of the received text, and the status bar's panel of line-error counts.
//
// GUI thread only. The received bytes come from the terminal's data handler
// (Received). The log is written while the port is open and ends when it
// closes; the error panel is refreshed while the port is open and shown only
// when a count is not 0.
#pragma once

#include <QObject>
#include <QSize>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "terminal/ReceiveLog.h"

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QTimer;

namespace zav {

class TMroCustomComPort;
class TQxCustomTerminal;
class TPlotView;

class TTerminalMenu : public QObject {
 public:
  // The hex view takes the terminal's place in its parent; the error panel
  // goes into `statusBar` at `panelLeft`.
  TTerminalMenu(TQxCustomTerminal* terminal, TMroCustomComPort* port, QWidget* statusBar, int panelLeft);
  ~TTerminalMenu() override;

  // The menu's entries (kept, so tests trigger them as the menu would).
  QMenu* Menu() const { return menu_; }
  QAction* CopyAction = nullptr;
  QAction* ClearAction = nullptr;
  QAction* HexAction = nullptr;
  QAction* PlotAction = nullptr;
  QAction* SaveLogAction = nullptr;

  // Asks for the log file; nothing for a cancel. Tests replace the dialog.
  using TLogChooser = std::function<std::optional<std::string>()>;
  TLogChooser LogChooser;

  // Bytes the terminal received.
  void Received(const uint8_t* data, size_t count);

  void SetHexView(bool on);
  bool HexView() const { return hexOn_; }
  QPlainTextEdit* HexWidget() const { return hex_; }
  // The plot takes in every line from the start, shown or not.
  void SetPlotView(bool on);
  bool PlotShown() const { return plotOn_; }
  TPlotView* Plot() const { return plot_; }
  // Starts the log in `path` (appending); throws EInOutError with the
  // system's reason when the file cannot be opened.
  void StartLog(const std::string& path);
  // Writes what the log holds and closes it.
  void StopLog();
  bool Logging() const { return log_ != nullptr; }
  QLabel* ErrorPanel() const { return errors_; }
  void RefreshErrors();

 private:
  void Copy();
  void Clear();
  void SaveLog();
  void ShowMenu(const QPoint& at);
  void PortChanged(bool opened);
  void RenderHex();
  void WriteLog(const std::string& text);
  void ArmLogFlush();

  TQxCustomTerminal* terminal_;
  TMroCustomComPort* port_;
  QMenu* menu_;
  QPlainTextEdit* hex_;
  QLabel* errors_;
  QTimer* errorTimer_;
  QTimer* logTimer_;
  bool hexOn_ = false;
  TPlotView* plot_;
  bool plotOn_ = false;
  QSize narrowSize_;  // the window's size without the plot

  // Received bytes kept for the hex view (the newest kMaxHexBytes), and
  // what of them the view shows.
  static constexpr size_t kMaxHexBytes = 1 << 20;
  std::string hexBytes_;
  uint64_t hexBase_ = 0;      // offset of hexBytes_[0]
  uint64_t hexShownEnd_ = 0;  // offset after the last full row shown
  bool hexPartialShown_ = false;

  std::FILE* log_ = nullptr;
  std::string logPath_;
  std::unique_ptr<TReceiveLog> logFormat_;
};

}  // namespace zav
