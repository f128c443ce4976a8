// The port selection dialog: lists the serial ports 1 to 50 that exist and lets
// the operator pick one when a com port is opened without a port number.
// GUI thread only.
#pragma once

#include <QDialog>
#include <cstdint>
#include <string>

#include "serial/QxExcept.h"

class QComboBox;
class QFrame;
class QLabel;
class QPushButton;

namespace zav {

// The conversion error of a text that is not a whole number.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// The text as a decimal integer (optional sign, nothing else); EConvertError
// "'<text>' is not a valid integer value" otherwise.
int32_t StrToInt(const std::string& text);

// Modal results of the dialog.
constexpr int kModalOk = 1;
constexpr int kModalAbort = 3;

class TComSelectForm : public QDialog {
 public:
  // How ports are probed (process-wide): through a temporary serial dispatcher
  // rather than a bare device open, and a port another program holds is listed.
  static bool ProbeWithDispatcher;
  static bool InUseCountsAsPresent;

  explicit TComSelectForm(QWidget* parent = nullptr);

  // Fills the list with the ports that exist and selects the first.
  void FormCreate();
  // The number of the selected entry; EConvertError when nothing is selected.
  uint16_t SelectedPortNumber() const;
  // Whether COM<n> can be opened, or is held by another program.
  static bool PortExists(int n);

  QLabel* Label1;
  QLabel* Label2;
  QFrame* Bevel1;
  QComboBox* PortsComboBox;
  QPushButton* OkBtn;
  QPushButton* AbortBtn;
};

// Registers the dialog as the com ports' port prompt (serial/QxPort.h).
void RegisterComSelectPrompt();

}  // namespace zav
