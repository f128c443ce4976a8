// The bench window: port controls with lights and status bar, the on-screen
// keyboard with two command lines, and the terminal showing what the device
// sends. Every action is a property write or a call on the com port; failures
// are the component's exceptions, shown by the top-level error box.
//
// GUI thread only. Handlers are public so tests and tools can drive them, but
// the controls call them through the top-level guard (see Guard).
#pragma once

#include <QWidget>
#include <array>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "platform/Component.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace zav {

class TMroComPort;
class TMroStatusLight;
class TQxTerminal;

// The text of the error box for an exception message: a full stop is added
// when the last character's code is above that of the full stop.
std::string ErrorBoxText(const std::string& message);

// The error box of the top-level handler. Default: a critical message box
// titled with the application's name. Tests record the text instead.
using TErrorBox = std::function<void(const std::string& text)>;
void SetErrorBox(TErrorBox box);
// Shows `error` through the error box (ErrorBoxText applied).
void ShowException(const std::exception& error);

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
  // The file-transfer component and its panel come with the protocol library.
  TComponent* MroProtocol1 = nullptr;

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

  // --- Controls: keyboard and command lines ---
  QTabWidget* Font;
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

  // --- Controls: terminal ---
  QPushButton* Button4;
  bool TerminalFontLarge = false;

  // A key button by its stored name (KEY_A, Key_9, KEY_SM_K, ...); null if none.
  QPushButton* KeyButton(const std::string& name) const;

  // --- Handlers ---
  void FormCreate();
  void Button1Click();
  void Button2Click();
  void comChange();
  void baudChange();
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

  // The terminal's font size in points (96 pixels an inch, as the layout).
  int TerminalFontSize() const;
  void SetTerminalFontSize(int points);

 private:
  void BuildPortControls();
  void BuildKeyboard();
  void BuildTerminal();
  QPushButton* AddKey(QWidget* parent, const std::string& name, const QString& caption, int left, int top,
                      int width, const std::function<void()>& handler);

  std::vector<std::pair<std::string, QPushButton*>> keys_;
};

}  // namespace zav
