// The bench window: port controls with lights and status bar, the on-screen
// keyboard with two command lines, the file-send panel, and the terminal
// showing what the device sends. Every action is a property write or a call on the com port; failures
// are the component's exceptions, shown by the top-level error box.
//
// GUI thread only. Handlers are public so tests and tools can drive them, but
// the controls call them through the top-level guard (see Guard).
#pragma once

#include <QLineEdit>
#include <QWidget>
#include <array>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Component.h"
#include "protocols/core/QwAbsPcl.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;
class QTabWidget;

namespace zav {

class TMroComPort;
class TPortReconnect;
class TMroProtocol;
class TMroStatusLight;
class TQxProtocolStatus;
class TQxTerminal;
class TQxTestRun;
class TTerminalMenu;
class TTransferControl;

// What the window keeps between runs, in the user's configuration directory
// (zavterm.conf).
QString ReadWindowSetting(const char* key);
void WriteWindowSetting(const char* key, const QString& value);

// The text of the error box for an exception message: a full stop is added
// when the last character's code is above that of the full stop.
std::string ErrorBoxText(const std::string& message);

// The error box of the top-level handler. Default: a critical message box
// titled with the application's name. Tests record the text instead.
using TErrorBox = std::function<void(const std::string& text)>;
void SetErrorBox(TErrorBox box);
// Shows `error` through the error box (ErrorBoxText applied).
void ShowException(const std::exception& error);

// A three-digit field with the mask "!999;1;_": up to three digits, blanks
// shown as "_". Text gives the digits right-aligned, the missing ones as
// leading blanks ("5__" on screen is "  5"; an erased field is "   ").
class TMaskEdit : public QLineEdit {
 public:
  explicit TMaskEdit(QWidget* parent);
  // The field as the program reads it.
  std::string Text() const;
  // Puts digits into the field from the left; anything else is dropped.
  void SetText(const std::string& text);
  // The field as shown, blanks as "_".
  std::string EditText() const;
};

// A delay field's text as an integer: leading blanks are skipped, the rest
// must be a whole number; EConvertError "'<text>' is not a valid integer
// value" (with the whole text) otherwise.
int32_t DelayFieldValue(const std::string& text);

// The standard file-open dialog: a filter list of (text, pattern) entries,
// the entry shown first (1-based), and the file chosen last, which a cancel
// leaves as it was.
class TOpenDialog {
 public:
  std::vector<std::pair<std::string, std::string>> Filter;
  int FilterIndex = 1;
  std::string FileName;

  // Tests replace the dialog: the hook gets the dialog and returns the chosen
  // path, or nothing for a cancel.
  using TChooser = std::function<std::optional<std::string>(const TOpenDialog&)>;
  TChooser Chooser;

  // Shows the dialog modally over `parent`; true when a file was chosen.
  bool Execute(QWidget* parent);
  // The filter in the toolkit's form ("File ALL (*);;Text File (*.txt);;...").
  std::string NameFilters() const;
};

// A status bar of fixed-width text panels.
class TStatusPanels : public QWidget {
 public:
  TStatusPanels(int count, int panelWidth, QWidget* parent);
  std::string PanelText(int index) const;
  void SetPanelText(int index, const std::string& text);

 private:
  std::vector<QLabel*> panels_;
};

class TForm1 : public QWidget, public TComponent {
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // Runs a handler as the GUI's top-level handler would: an exception leaves
  // it where it was raised and is shown in the error box; nothing escapes.
  static void Guard(const std::function<void()>& handler);

  // --- Components ---
  TMroComPort* MroComPort1 = nullptr;
  TQxTerminal* QxTerminal1 = nullptr;
  TMroProtocol* MroProtocol1 = nullptr;

  // --- Controls: port ---
  QLabel* Label5;
  QLabel* Image1;
  QGroupBox* GroupBox1;
  QLabel* Label1;
  QLabel* Label2;
  QComboBox* com;
  QComboBox* baud;
  QPushButton* Button1;
  QPushButton* Button2;
  QCheckBox* C_DTR;
  QCheckBox* C_RTS;
  TMroStatusLight* DTRLight;
  TMroStatusLight* RTSLight;
  TMroStatusLight* Light1;
  TMroStatusLight* Light2;
  QLabel* ON_COM;
  QLabel* OFF_COM;
  TStatusPanels* StatusBar1;
  // "Reconnect" (kept in the settings, on by default): a port whose device
  // went away is reopened, with the same settings, once it is back.
  QCheckBox* ReconnectBox;
  QLabel* PortMessage;  // beside the status panels: what happened to the device
  std::unique_ptr<TPortReconnect> Reconnect;

  // --- Controls: keyboard and command lines ---
  QTabWidget* KeyboardTabs;
  std::array<QPushButton*, 26> LetterKeys{};  // KEY_A ... KEY_Z
  QPushButton* KEY_ESC_0;
  QPushButton* KEY_ESC_1;
  QPushButton* KEY_Shap_0;
  QPushButton* KEY_Shap_1;
  QCheckBox* ENT_C;
  QCheckBox* Cap1;
  QLabel* Label3;
  QLineEdit* Edit1;
  QPushButton* Button3;
  QLabel* Label4;
  QLineEdit* Edit3;
  QPushButton* Button6;

  // --- Controls: file-send panel ---
  QLineEdit* FileNameEdit;  // the file Send sends
  QPushButton* Browse;
  QPushButton* Send;
  QLabel* Line;
  TMaskEdit* line_com1;
  QLabel* Cha;
  TMaskEdit* cha_com1;
  QLabel* Delay_comport;
  std::unique_ptr<TOpenDialog> OpenDialog1;

  // --- Transfers with the other protocols ---
  std::unique_ptr<TTransferControl> Transfers;

  // --- QC test plans ---
  QPushButton* TestButton;  // "Test": opens the test-run window
  std::unique_ptr<TQxTestRun> TestRun;
  void TestClick();

  // --- Controls: terminal ---
  QPushButton* Button4;
  // The terminal's context menu, hex view, log and line-error panel.
  std::unique_ptr<TTerminalMenu> TerminalMenu;
  bool TerminalFontLarge = false;

  // A key button by its stored name (KEY_A, Key_9, KEY_SM_K, ...); null if none.
  QPushButton* KeyButton(const std::string& name) const;

  // --- Handlers ---
  void FormCreate();
  void Button1Click();
  void Button2Click();
  void comChange();
  void baudChange();
  void baudTyped();  // Enter in the rate box with a rate not in the list
  void ReconnectBoxClick();
  void DeviceGone();
  void DeviceBack();
  void C_DTRClick();
  void C_RTSClick();
  void Cap1Click();
  void ENT_CClick();
  void LetterKeyClick(int index);  // index 0 for KEY_A
  void KEY_Shap_Click();           // both "#" keys
  void KEY_ESC_Click();            // both ESC keys
  void CharKeyClick(const std::string& text);  // digits, "*" and the page-2 keys
  void Button3Click();
  void Button6Click();
  void Button4Click();
  void BrowseClick();
  void SendClick();

  // The terminal's font size in points (96 pixels an inch, as the layout).
  int TerminalFontSize() const;
  void SetTerminalFontSize(int points);

 private:
  void BuildPortControls();
  void BuildKeyboard();
  void BuildTerminal();
  void BuildProtocol();
  void BuildFilePanel();
  void BuildTransferControls();
  QPushButton* AddKey(QWidget* parent, const std::string& name, const QString& caption, int left, int top,
                      int width, const std::function<void()>& handler);

  void ApplyBaud(int32_t rate, const std::string& text);
  // The rate of the box for Open Port: a listed one (nothing when none is
  // chosen) or one typed in; an error text for anything else.
  std::optional<int32_t> RateOfBox() const;
  std::string PortName() const;

  std::vector<std::pair<std::string, QPushButton*>> keys_;
  // The lights that were lit when the device went away, to light again.
  std::array<bool, 4> litBeforeGone_{};
};

}  // namespace zav
