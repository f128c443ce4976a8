// The bench window: its stored layout in code and the handlers.
#include "app/MainForm.h"
#include "app/QxTestRun.h"
#include "app/TerminalMenu.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <mutex>

#include "app/QxSelCom.h"
#include "app/QxStatLt.h"
#include "app/TransferControl.h"
#include "platform/FileNames.h"
#include "protocols/core/QwTPcl.h"
#include "protocols/component/QxProtcl.h"
#include "serial/PortWatch.h"
#include "serial/QxPort.h"
#include "terminal/QXTrmWidget.h"

namespace zav {

namespace {

// Free faces that stand in for the stored ones this system lacks.
const char* Substitute(const QString& family) {
  if (family == "MS Sans Serif") return "DejaVu Sans";
  if (family == "Arial Narrow") return "DejaVu Sans Condensed";
  return "DejaVu Serif";  // the Thai faces and Georgia
}

QFont StoredFont(const QString& family, int height, bool bold) {
  QFont f;
  f.setFamilies({family, Substitute(family)});
  f.setPixelSize(-height);
  f.setBold(bold);
  // The Thai faces draw Latin letters at about two thirds of their height;
  // a stand-in is scaled to match, so captions fit their places.
  if (family.endsWith("UPC") && QFontInfo(f).family() != family) f.setPixelSize(-height * 2 / 3);
  return f;
}

// Window-system colours as the layout names them.
const QColor kBlue(0, 0, 255);
const QColor kYellow(255, 255, 0);
const QColor kRed(255, 0, 0);
const QColor kGreen(0, 128, 0);
const QColor kSilver(192, 192, 192);
constexpr uint32_t kTerminalBlue = 0xFF0000;  // 0x00BBGGRR
constexpr uint32_t kTerminalWhite = 0xFFFFFF;

// Text colour of the enabled states; disabled text keeps the greyed look.
void SetTextColor(QWidget* w, const QColor& c) {
  QPalette p = w->palette();
  for (auto group : {QPalette::Active, QPalette::Inactive}) {
    p.setColor(group, QPalette::WindowText, c);
    p.setColor(group, QPalette::ButtonText, c);
    p.setColor(group, QPalette::Text, c);
  }
  w->setPalette(p);
}

void SetBackground(QWidget* w, const QColor& c) {
  QPalette p = w->palette();
  p.setColor(QPalette::Window, c);
  w->setPalette(p);
  w->setAutoFillBackground(true);
}

QLabel* MakeLabel(QWidget* parent, const QString& text, int left, int top) {
  auto* l = new QLabel(text, parent);
  l->move(left, top);
  return l;
}

// The logo: any picture will do; this one is drawn rather than stored.
QPixmap Logo() {
  QPixmap pm(122, 122);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(kBlue);
  p.setPen(QPen(kYellow, 4));
  p.drawEllipse(4, 4, 114, 114);
  p.setPen(Qt::white);
  p.setFont(StoredFont("MS Sans Serif", -36, true));
  p.drawText(QRect(0, 0, 122, 122), Qt::AlignCenter, "ZAV");
  return pm;
}

struct Rate {
  const char* text;
  int32_t baud;
};
constexpr Rate kRates[] = {{"150", 150},     {"300", 300},     {"600", 600},     {"1200", 1200},
                           {"2400", 2400},   {"4800", 4800},   {"9600", 9600},   {"19200", 19200},
                           {"38400", 38400}, {"57600", 57600}, {"115200", 115200},
                           // The rates adapters reach beyond the classic list.
                           {"230400", 230400}, {"460800", 460800}, {"921600", 921600}, {"1000000", 1000000},
                           {"1500000", 1500000}, {"2000000", 2000000}, {"3000000", 3000000}, {"4000000", 4000000}};

// A rate typed into the box: a whole number of bits per second.
std::optional<int32_t> TypedRate(const QString& text) {
  bool ok = false;
  const qlonglong v = text.trimmed().toLongLong(&ok);
  if (!ok || v < 50 || v > 100000000) return std::nullopt;
  return int32_t(v);
}

const char* const kReconnectKey = "port/reconnect";

}  // namespace

QString ReadWindowSetting(const char* key) { return QSettings("zavterm", "zavterm").value(key).toString(); }

void WriteWindowSetting(const char* key, const QString& value) { QSettings("zavterm", "zavterm").setValue(key, value); }

namespace {

// The protocol component of the window: it tells the window of every
// transfer's end before the component's own finish event.
class TBenchProtocol : public TMroProtocol {
 public:
  TBenchProtocol(TComponent* owner, std::function<void(int32_t)> onEnd)
      : TMroProtocol(owner), onEnd_(std::move(onEnd)) {}
  void HandleFinish(int32_t code) override {
    if (onEnd_) TForm1::Guard([&] { onEnd_(code); });
    TMroProtocol::HandleFinish(code);
  }

 private:
  std::function<void(int32_t)> onEnd_;
};

std::mutex& BoxLock() {
  static std::mutex m;
  return m;
}
TErrorBox& Box() {
  static TErrorBox box;
  return box;
}

}  // namespace

// --- Top-level error handling ------------------------------------------------

std::string ErrorBoxText(const std::string& message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
  return message;
}

void SetErrorBox(TErrorBox box) {
  std::lock_guard g(BoxLock());
  Box() = std::move(box);
}

void ShowException(const std::exception& error) {
  const std::string text = ErrorBoxText(error.what());
  TErrorBox box;
  {
    std::lock_guard g(BoxLock());
    box = Box();
  }
  if (box) {
    box(text);
    return;
  }
  // The text may carry a name the peer chose: plain text, never markup.
  QMessageBox message(QMessageBox::Critical, QCoreApplication::applicationName(), QString::fromStdString(text),
                      QMessageBox::Ok, QApplication::activeWindow());
  message.setTextFormat(Qt::PlainText);
  message.exec();
}

void TForm1::Guard(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowException(e);
  } catch (...) {
    ShowException(Exception("Unknown exception"));
  }
}

// --- Delay fields and the file dialog --------------------------------------------

TMaskEdit::TMaskEdit(QWidget* parent) : QLineEdit(parent) {
  // Three optional digits, blanks drawn as "_".
  setInputMask("000;_");
}

std::string TMaskEdit::Text() const {
  std::string digits;
  for (QChar c : displayText())
    if (c.isDigit()) digits += char(c.unicode());
  // Missing digits stand before the entered ones.
  return std::string(3 - digits.size(), ' ') + digits;
}

void TMaskEdit::SetText(const std::string& text) {
  QString digits;
  for (char c : text)
    if (c >= '0' && c <= '9' && digits.size() < 3) digits += QChar(c);
  setText(digits);
}

std::string TMaskEdit::EditText() const { return displayText().toStdString(); }

int32_t DelayFieldValue(const std::string& text) {
  const size_t first = text.find_first_not_of(' ');
  try {
    return StrToInt(first == std::string::npos ? std::string() : text.substr(first));
  } catch (const EConvertError&) {
    throw EConvertError("'" + text + "' is not a valid integer value");
  }
}

std::string TOpenDialog::NameFilters() const {
  std::string out;
  for (const auto& [text, pattern] : Filter) {
    if (!out.empty()) out += ";;";
    // Here a file name need not have a dot: "all files" is "*".
    out += text + " (" + (pattern == "*.*" ? std::string("*") : pattern) + ")";
  }
  return out;
}

bool TOpenDialog::Execute(QWidget* parent) {
  std::optional<std::string> chosen;
  if (Chooser) {
    chosen = Chooser(*this);
  } else {
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    const QStringList filters = QString::fromStdString(NameFilters()).split(";;");
    dialog.setNameFilters(filters);
    if (FilterIndex >= 1 && FilterIndex <= filters.size()) dialog.selectNameFilter(filters[FilterIndex - 1]);
    if (!FileName.empty()) dialog.selectFile(QFile::decodeName(FileName.c_str()));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
      chosen = QFile::encodeName(dialog.selectedFiles().first()).toStdString();
  }
  if (!chosen) return false;
  FileName = *chosen;
  return true;
}

// --- Status bar -------------------------------------------------------------

TStatusPanels::TStatusPanels(int count, int panelWidth, QWidget* parent) : QWidget(parent) {
  for (int i = 0; i < count; ++i) {
    auto* l = new QLabel(this);
    l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    l->setIndent(1);
    QFont f = StoredFont("MS Sans Serif", -10, false);
    f.setStretch(QFont::SemiCondensed);  // "BR115200" fits its 50 pixels
    l->setFont(f);
    l->setGeometry(i * (panelWidth + 2), 2, panelWidth, 19);
    panels_.push_back(l);
  }
}

std::string TStatusPanels::PanelText(int index) const { return panels_.at(size_t(index))->text().toStdString(); }

void TStatusPanels::SetPanelText(int index, const std::string& text) {
  panels_.at(size_t(index))->setText(QString::fromStdString(text));
}

// --- The window -------------------------------------------------------------

TForm1::TForm1(QWidget* parent) : QWidget(parent), TComponent(nullptr) {
  SetName("Form1");
  setWindowTitle("ZAV Varorozi  Re. Test Ver.2.04 XP (06/2006)");
  setFont(StoredFont("MS Sans Serif", -11, false));
  move(34, 32);
  setFixedSize(1026, 770);  // the client area of the stored 1034 by 804 frame

  // The components, in layout order: the port first, so the terminal finds it.
  MroComPort1 = new TMroComPort(this);
  MroComPort1->SetName("MroComPort1");
  MroComPort1->BeginLoad();
  MroComPort1->SetBaud(9600);
  MroComPort1->SetAutoOpen(false);
  MroComPort1->SetDTR(false);
  MroComPort1->SetRTS(false);
  MroComPort1->SetTraceName("MERO.TRC");
  MroComPort1->SetLogName("MERO.LOG");
  MroComPort1->EndLoad();
  MroComPort1->AnnounceInsertion();

  BuildPortControls();
  BuildKeyboard();
  BuildTerminal();
  BuildProtocol();
  BuildFilePanel();
  BuildTransferControls();

  RegisterComSelectPrompt();
  // Errors the port raises while serving a trigger reach the same box, after
  // the trigger's message has been answered.
  RegisterErrorReporter([](const std::exception& e) {
    QMetaObject::invokeMethod(
        qApp, [text = std::string(e.what())] { ShowException(Exception(text)); }, Qt::QueuedConnection);
  });

  setTabOrder(KeyboardTabs, Edit1);
  setTabOrder(Edit1, QxTerminal1);
  FormCreate();
}

TForm1::~TForm1() {
  // The test-run window stops its unit while the port and protocol still stand.
  TestRun.reset();
  Reconnect.reset();
  RegisterErrorReporter({});
  RegisterPortPrompt({});
  // A transfer still running is cancelled before the port goes away.
  delete MroProtocol1;
  MroProtocol1 = nullptr;
  TerminalMenu.reset();
  // The terminal lets go of the port before the port closes its device.
  delete QxTerminal1;
  QxTerminal1 = nullptr;
  delete MroComPort1;
  MroComPort1 = nullptr;
}

void TForm1::BuildPortControls() {
  Label5 = MakeLabel(this, "ZAV Terminal Test For Section Qc. v2.04 for XP ", 347, 0);
  Label5->setFont(StoredFont("KodchiangUPC", -32, true));
  SetTextColor(Label5, kBlue);
  Label5->adjustSize();

  Image1 = new QLabel(this);
  Image1->setGeometry(15, 7, 122, 122);
  Image1->setPixmap(Logo());

  GroupBox1 = new QGroupBox("Setup ComPort", this);
  GroupBox1->setGeometry(745, 53, 246, 149);
  SetBackground(GroupBox1, kSilver);
  const QFont groupFont = StoredFont("EucrosiaUPC", -20, true);
  GroupBox1->setFont(groupFont);
  SetTextColor(GroupBox1, kYellow);

  Label1 = MakeLabel(GroupBox1, "COMPORT", 8, 40);
  Label2 = MakeLabel(GroupBox1, "BAUDRATE", 8, 85);
  for (QLabel* l : {Label1, Label2}) {
    l->setFont(groupFont);
    SetTextColor(l, kRed);
    l->adjustSize();
  }

  auto makeCombo = [&](int top) {
    auto* c = new QComboBox(GroupBox1);
    c->setEditable(true);
    c->setInsertPolicy(QComboBox::NoInsert);
    c->setFont(groupFont);
    SetTextColor(c, Qt::black);
    c->setGeometry(88, top, 144, 33);
    c->setStyleSheet("QComboBox QAbstractItemView::item { min-height: 25px; }");
    return c;
  };
  com = makeCombo(37);
  for (int n = 1; n <= 15; ++n) com->addItem(QString("COM%1").arg(n));
  baud = makeCombo(82);
  for (const Rate& r : kRates) baud->addItem(r.text);
  for (QComboBox* c : {com, baud}) {
    c->setCurrentIndex(-1);
    c->setEditText(" ");
  }
  connect(com, &QComboBox::activated, this, [this] { Guard([this] { comChange(); }); });
  connect(baud, &QComboBox::activated, this, [this] { Guard([this] { baudChange(); }); });
  connect(baud->lineEdit(), &QLineEdit::returnPressed, this, [this] { Guard([this] { baudTyped(); }); });

  Button1 = new QPushButton("Open Port", GroupBox1);
  Button1->setGeometry(88, 119, 70, 23);
  Button2 = new QPushButton("Close Port", GroupBox1);
  Button2->setGeometry(160, 119, 72, 23);
  for (QPushButton* b : {Button1, Button2}) {
    b->setFont(StoredFont("Georgia", -12, true));
    SetTextColor(b, kYellow);
    b->setCursor(Qt::PointingHandCursor);
  }
  connect(Button1, &QPushButton::clicked, this, [this] { Guard([this] { Button1Click(); }); });
  connect(Button2, &QPushButton::clicked, this, [this] { Guard([this] { Button2Click(); }); });

  C_DTR = new QCheckBox("DTR", this);
  C_DTR->move(894, 67);
  C_RTS = new QCheckBox("RTS", this);
  C_RTS->move(938, 67);
  for (QCheckBox* c : {C_DTR, C_RTS}) {
    c->setCursor(Qt::PointingHandCursor);
    c->adjustSize();
  }
  connect(C_DTR, &QCheckBox::clicked, this, [this] { Guard([this] { C_DTRClick(); }); });
  connect(C_RTS, &QCheckBox::clicked, this, [this] { Guard([this] { C_RTSClick(); }); });

  DTRLight = new TMroStatusLight(this);
  DTRLight->SetBounds(880, 30, 49, 12);
  RTSLight = new TMroStatusLight(this);
  RTSLight->SetBounds(936, 30, 49, 12);
  RTSLight->SetLitColor(TMroCustomStatusLight::kGreen);
  RTSLight->SetNotLitColor(TMroCustomStatusLight::kRed);
  Light1 = new TMroStatusLight(this);
  Light1->SetBounds(23, 178, 53, 12);
  Light1->SetLitColor(TMroCustomStatusLight::kGreen);
  Light1->SetNotLitColor(TMroCustomStatusLight::kRed);
  Light2 = new TMroStatusLight(this);
  Light2->SetBounds(75, 178, 53, 12);

  ON_COM = MakeLabel(this, "ON", 40, 200);
  OFF_COM = MakeLabel(this, "OFF", 88, 200);
  for (QLabel* l : {ON_COM, OFF_COM}) {
    l->setFont(StoredFont("MS Sans Serif", -11, true));
    SetTextColor(l, kGreen);
    l->adjustSize();
  }

  StatusBar1 = new TStatusPanels(3, 50, this);
  StatusBar1->setGeometry(0, 747, 1026, 23);
  SetBackground(StatusBar1, kSilver);
  PortMessage = new QLabel(StatusBar1);
  PortMessage->setGeometry(3 * 52 + 340, 2, 520, 19);  // right of the line-error panel

  ReconnectBox = new QCheckBox("Reconnect", GroupBox1);
  ReconnectBox->move(8, 122);
  ReconnectBox->adjustSize();
  ReconnectBox->setCursor(Qt::PointingHandCursor);
  ReconnectBox->setToolTip("Reopen the port with the same settings when its device comes back after going away");
  ReconnectBox->setChecked(ReadWindowSetting(kReconnectKey) != "false");
  connect(ReconnectBox, &QCheckBox::clicked, this, [this] { Guard([this] { ReconnectBoxClick(); }); });
  Reconnect = std::make_unique<TPortReconnect>(*MroComPort1);
  Reconnect->SetEnabled(ReconnectBox->isChecked());
  Reconnect->OnGone = [this] { DeviceGone(); };
  Reconnect->OnBack = [this] { DeviceBack(); };
  Reconnect->OnFailed = [this](const std::string& why) {
    PortMessage->setText(QString::fromStdString(PortName() + ": not reopened yet: " + why));
  };
}

QPushButton* TForm1::AddKey(QWidget* parent, const std::string& name, const QString& caption, int left, int top,
                            int width, const std::function<void()>& handler) {
  auto* b = new QPushButton(caption, parent);
  b->setObjectName(QString::fromStdString(name));
  b->setGeometry(left, top, width, 24);
  b->setFont(StoredFont("MS Sans Serif", -13, true));
  b->setCursor(Qt::PointingHandCursor);
  connect(b, &QPushButton::clicked, this, [handler] { Guard(handler); });
  keys_.emplace_back(name, b);
  return b;
}

QPushButton* TForm1::KeyButton(const std::string& name) const {
  for (const auto& [n, b] : keys_)
    if (n == name) return b;
  return nullptr;
}

void TForm1::BuildKeyboard() {
  KeyboardTabs = new QTabWidget(this);
  KeyboardTabs->setObjectName("KeyboardTabs");
  KeyboardTabs->setGeometry(142, 30, 380, 172);
  KeyboardTabs->tabBar()->setFont(StoredFont("MS Sans Serif", -15, true));

  constexpr int kRows[] = {22, 52, 82, 111};
  auto mainLeft = [](int slot) { return 10 + slot * 36; };
  auto numLeft = [](int col) { return 8 + col * 27; };
  struct Page {
    QWidget* widget;
    QGroupBox* main;
    QGroupBox* numeric;
  };
  auto makePage = [&](const QString& caption, int fontHeight) {
    auto* w = new QWidget;
    w->setFont(StoredFont("MS Sans Serif", fontHeight, true));
    KeyboardTabs->addTab(w, caption);
    auto* main = new QGroupBox(w);
    main->setGeometry(0, 0, 268, 142);
    auto* numeric = new QGroupBox(w);
    numeric->setGeometry(275, 0, 97, 142);
    return Page{w, main, numeric};
  };

  // Page 1: letters and digits.
  const Page p1 = makePage("ABC 123", -17);
  KEY_ESC_0 = AddKey(p1.main, "KEY_ESC_0", "ESC", mainLeft(0), kRows[0], 68, [this] { KEY_ESC_Click(); });
  for (int i = 0; i < 26; ++i) {
    const int row = i < 5 ? 0 : (i - 5) / 7 + 1;
    const int slot = i < 5 ? i + 2 : (i - 5) % 7;
    const QString letter(QChar('A' + i));
    LetterKeys[size_t(i)] = AddKey(p1.main, "KEY_" + letter.toStdString(), letter, mainLeft(slot), kRows[row], 30,
                                   [this, i] { LetterKeyClick(i); });
  }
  struct Key {
    const char* name;
    const char* caption;
  };
  // The "#" keys send CR instead when ENT_C is checked.
  auto KeyHandler = [this](const std::string& caption) -> std::function<void()> {
    if (caption == "#") return [this] { KEY_Shap_Click(); };
    return [this, caption] { CharKeyClick(caption); };
  };
  const Key numeric1[12] = {{"KEY_1", "1"},       {"KEY_2", "2"}, {"Button5", "3"},   {"KEY_4", "4"},
                            {"Button7", "5"},     {"Button8", "6"}, {"KEY_7", "7"},     {"KEY_8", "8"},
                            {"Key_9", "9"},       {"KEY_Sting_0", "*"}, {"Key_0", "0"}, {"KEY_Shap_0", "#"}};
  for (int i = 0; i < 12; ++i) {
    const Key& k = numeric1[i];
    QPushButton* b = AddKey(p1.numeric, k.name, k.caption, numLeft(i % 3), kRows[i / 3], 23, KeyHandler(k.caption));
    if (i == 11) KEY_Shap_0 = b;
  }

  // Page 2: signs and digits.
  const Page p2 = makePage("?/><.*_+123", -15);
  KEY_ESC_1 = AddKey(p2.main, "KEY_ESC_1", "ESC", mainLeft(0), kRows[0], 68, [this] { KEY_ESC_Click(); });
  const std::string signs = "!@$%&()-_+\\\"^:;/?<>.,{}[]~";
  for (int i = 0; i < 26; ++i) {
    const int row = i < 5 ? 0 : (i - 5) / 7 + 1;
    const int slot = i < 5 ? i + 2 : (i - 5) % 7;
    const std::string text(1, signs[size_t(i)]);
    const QString caption = text == "&" ? "&&" : QString::fromStdString(text);  // "&" alone marks a mnemonic
    AddKey(p2.main, std::string("KEY_SM_") + char('A' + i), caption, mainLeft(slot), kRows[row], 30,
           [this, text] { CharKeyClick(text); });
  }
  const Key numeric2[12] = {{"KEY_SM_1", "1"}, {"KEY_SM_2", "2"},    {"KEY_SM_3", "3"}, {"KEY_SM_4", "4"},
                            {"KEY_SM_5", "5"}, {"KEY_SM_6", "6"},    {"KEY_SM_7", "7"}, {"KEY_SM_8", "8"},
                            {"KEY_SM_9", "9"}, {"KEY_Sting_1", "*"}, {"KEY_SM_0", "0"}, {"KEY_Shap_1", "#"}};
  for (int i = 0; i < 12; ++i) {
    const Key& k = numeric2[i];
    QPushButton* b = AddKey(p2.numeric, k.name, k.caption, numLeft(i % 3), kRows[i / 3], 23, KeyHandler(k.caption));
    if (i == 11) KEY_Shap_1 = b;
  }
  KeyboardTabs->setCurrentIndex(0);

  ENT_C = new QCheckBox("Ent. :ENA./#", this);
  ENT_C->move(30, 134);
  Cap1 = new QCheckBox("CapsLock", this);
  Cap1->move(30, 156);
  for (QCheckBox* c : {ENT_C, Cap1}) c->adjustSize();
  connect(ENT_C, &QCheckBox::clicked, this, [this] { Guard([this] { ENT_CClick(); }); });
  connect(Cap1, &QCheckBox::clicked, this, [this] { Guard([this] { Cap1Click(); }); });

  const QFont lineFont = StoredFont("MS Sans Serif", -15, true);
  Label3 = MakeLabel(this, "Command1", 598, 46);
  Edit1 = new QLineEdit(" ", this);
  Edit1->setGeometry(550, 64, 75, 24);
  Edit1->setMaxLength(4);
  Button3 = new QPushButton("GO!", this);
  Button3->setGeometry(631, 64, 41, 24);
  Label4 = MakeLabel(this, "Command2", 600, 96);
  Edit3 = new QLineEdit(" ", this);
  Edit3->setGeometry(552, 120, 81, 24);
  Button6 = new QPushButton("GO!", this);
  Button6->setGeometry(632, 120, 41, 24);
  for (QWidget* w : std::initializer_list<QWidget*>{Edit1, Button3, Edit3, Button6}) w->setFont(lineFont);
  for (QLabel* l : {Label3, Label4}) l->adjustSize();
  connect(Button3, &QPushButton::clicked, this, [this] { Guard([this] { Button3Click(); }); });
  connect(Button6, &QPushButton::clicked, this, [this] { Guard([this] { Button6Click(); }); });
}

void TForm1::BuildTerminal() {
  QxTerminal1 = new TQxTerminal(this, this);
  QxTerminal1->SetName("QxTerminal1");
  QxTerminal1->AnnounceInsertion();
  QxTerminal1->setGeometry(7, 260, 986, 453);
  QxTerminal1->SetComPort(MroComPort1);
  QxTerminal1->SetColor(kTerminalBlue);
  QxTerminal1->SetTermFont(TQxFont{"Terminal", -15, kTerminalWhite, true});
  QxTerminal1->SetScrollback(false);
  QxTerminal1->SetCaptureFile("MEROTERM.CAP");
  TerminalMenu = std::make_unique<TTerminalMenu>(QxTerminal1, MroComPort1, StatusBar1, 3 * 52);

  Button4 = new QPushButton("TerminalFont", this);
  Button4->setGeometry(903, 214, 82, 24);
  Button4->setFont(StoredFont("MS Sans Serif", -9, false));
  connect(Button4, &QPushButton::clicked, this, [this] { Guard([this] { Button4Click(); }); });
}

void TForm1::BuildProtocol() {
  MroProtocol1 = new TBenchProtocol(this, [this](int32_t code) {
    if (Transfers) Transfers->Finished(code);
  });
  MroProtocol1->SetName("MroProtocol1");
  MroProtocol1->BeginLoad();
  MroProtocol1->SetComPort(MroComPort1);
  MroProtocol1->SetProtocolType(ptZmodem);
  MroProtocol1->SetFileMask("*.*");
  MroProtocol1->SetBlockCheckMethod(bcmCrc32);
  MroProtocol1->SetHandshakeWait(1092);
  MroProtocol1->SetOverhead(20);
  MroProtocol1->SetStatusInterval(10);
  MroProtocol1->SetKermitPadCharacter(' ');
  MroProtocol1->EndLoad();
  MroProtocol1->AnnounceInsertion();
}

void TForm1::BuildFilePanel() {
  FileNameEdit = new QLineEdit("*.*", this);
  FileNameEdit->setGeometry(24, 224, 354, 21);
  Browse = new QPushButton("Browse", this);
  Browse->setGeometry(377, 224, 69, 23);
  Send = new QPushButton("Send", this);
  Send->setGeometry(443, 224, 70, 23);
  for (QPushButton* b : {Browse, Send}) b->setFont(StoredFont("MS Sans Serif", -9, false));
  connect(Browse, &QPushButton::clicked, this, [this] { Guard([this] { BrowseClick(); }); });
  connect(Send, &QPushButton::clicked, this, [this] { Guard([this] { SendClick(); }); });

  Line = MakeLabel(this, "Line", 561, 160);
  Cha = MakeLabel(this, "Cha", 643, 160);
  for (QLabel* l : {Line, Cha}) {
    l->setFont(StoredFont("MS Sans Serif", -9, true));
    l->adjustSize();
  }
  line_com1 = new TMaskEdit(this);
  line_com1->setGeometry(591, 153, 38, 24);
  cha_com1 = new TMaskEdit(this);
  cha_com1->setGeometry(673, 153, 38, 24);
  for (TMaskEdit* e : {line_com1, cha_com1}) e->SetText("000");

  Delay_comport = MakeLabel(this, "Delay_comportSend", 577, 182);
  Delay_comport->setFont(StoredFont("Arial Narrow", -15, true));
  SetTextColor(Delay_comport, kRed);
  Delay_comport->adjustSize();

  OpenDialog1 = std::make_unique<TOpenDialog>();
  OpenDialog1->Filter = {{"File ALL", "*.*"},      {"Text File", "*.txt"}, {"Intel HEX", "*.hex"},
                         {"Intel HEX AVR", "*.rom"}, {"BASIC", "*.bas"},     {"Binary", "*.bin"},
                         {"Listing File", "*.lst"}};
  OpenDialog1->FilterIndex = 1;
}

void TForm1::BuildTransferControls() {
  Transfers =
      std::make_unique<TTransferControl>(this, MroProtocol1, QxTerminal1, StoredFont("MS Sans Serif", -9, false));
  QxTerminal1->OnDataReceived = [this](TQxCustomTerminal*, const uint8_t* data, size_t count) {
    Transfers->WatchForZmodem(data, count);
    if (TestRun) TestRun->Received(data, count);
    if (TerminalMenu) TerminalMenu->Received(data, count);
  };

  TestButton = new QPushButton("Test", this);
  TestButton->setObjectName("TestButton");
  TestButton->setGeometry(682, 90, 56, 24);  // between the command lines and the port group
  TestButton->setFont(StoredFont("MS Sans Serif", -9, false));
  TestButton->setToolTip("Run a QC test plan on the open port");
  connect(TestButton, &QPushButton::clicked, this, [this] { Guard([this] { TestClick(); }); });
}

// --- Handlers: port controls ---------------------------------------------------

void TForm1::FormCreate() {
  ON_COM->setEnabled(false);
  OFF_COM->setEnabled(true);
  TerminalFontLarge = false;
}

void TForm1::Button1Click() {
  // Open Port on a port whose device went away starts afresh.
  if (MroComPort1->DeviceGone() || Reconnect->Waiting()) {
    Reconnect->Forget();
    MroComPort1->SetOpen(false);
    PortMessage->clear();
  }
  if (com->currentIndex() >= 0) MroComPort1->SetComNumber(uint16_t(com->currentIndex() + 1));
  if (const std::optional<int32_t> rate = RateOfBox()) MroComPort1->SetBaud(*rate);
  if (C_DTR->isChecked()) MroComPort1->SetDTR(true);
  if (C_RTS->isChecked()) MroComPort1->SetRTS(true);
  MroComPort1->SetOpen(true);
  StatusBar1->SetPanelText(1, "OPEN");
  Light1->SetLit(true);
  Light2->SetLit(true);
  ON_COM->setEnabled(true);
  OFF_COM->setEnabled(false);
}

void TForm1::Button2Click() {
  Reconnect->Forget();
  PortMessage->clear();
  StatusBar1->SetPanelText(1, "CLOSE");
  MroComPort1->SetDTR(false);
  MroComPort1->SetRTS(false);
  MroComPort1->SetOpen(false);
  for (TMroStatusLight* l : {DTRLight, RTSLight, Light1, Light2}) l->SetLit(false);
  ON_COM->setEnabled(false);
  OFF_COM->setEnabled(true);
}

void TForm1::comChange() {
  const int i = com->currentIndex();
  if (i < 0) return;
  MroComPort1->SetComNumber(uint16_t(i + 1));
  StatusBar1->SetPanelText(0, "Com" + std::to_string(i + 1));
}

void TForm1::baudChange() {
  const int i = baud->currentIndex();
  if (i < 0) return;
  ApplyBaud(kRates[i].baud, kRates[i].text);
}

void TForm1::baudTyped() {
  const QString text = baud->currentText().trimmed();
  if (text.isEmpty() || baud->findText(text) >= 0) return;  // a listed rate is the box's own choice
  const std::optional<int32_t> rate = TypedRate(text);
  if (!rate) throw Exception("\"" + text.toStdString() + "\" is not a baud rate");
  ApplyBaud(*rate, text.toStdString());
}

void TForm1::ApplyBaud(int32_t rate, const std::string& text) {
  MroComPort1->SetBaud(rate);
  MroComPort1->SetOpen(true);
  Light1->SetLit(true);
  Light2->SetLit(true);
  StatusBar1->SetPanelText(2, "BR" + text);
  ON_COM->setEnabled(true);
  OFF_COM->setEnabled(false);
}

std::optional<int32_t> TForm1::RateOfBox() const {
  const QString text = baud->currentText().trimmed();
  if (baud->currentIndex() >= 0 && text == baud->itemText(baud->currentIndex()))
    return kRates[baud->currentIndex()].baud;
  if (text.isEmpty()) return std::nullopt;
  if (const int listed = baud->findText(text); listed >= 0) return kRates[listed].baud;
  if (const std::optional<int32_t> rate = TypedRate(text)) return rate;
  throw Exception("\"" + text.toStdString() + "\" is not a baud rate");
}

// --- The device going away and coming back ---------------------------------------------

std::string TForm1::PortName() const { return "Com" + std::to_string(MroComPort1->ComNumber()); }

void TForm1::ReconnectBoxClick() {
  WriteWindowSetting(kReconnectKey, ReconnectBox->isChecked() ? "true" : "false");
  Reconnect->SetEnabled(ReconnectBox->isChecked());
  if (Reconnect->Waiting())
    PortMessage->setText(QString::fromStdString(PortName() + " disconnected: the device is gone" +
                                                (ReconnectBox->isChecked() ? "; waiting for it to come back" : "")));
}

void TForm1::DeviceGone() {
  StatusBar1->SetPanelText(1, "GONE");
  PortMessage->setText(QString::fromStdString(PortName() + " disconnected: the device is gone" +
                                              (Reconnect->Enabled() ? "; waiting for it to come back" : "")));
  const std::array<TMroStatusLight*, 4> lights{DTRLight, RTSLight, Light1, Light2};
  for (size_t i = 0; i < lights.size(); ++i) {
    litBeforeGone_[i] = lights[i]->Lit();
    lights[i]->SetLit(false);
  }
  Transfers->DeviceGone();
  if (TestRun) TestRun->DeviceGone();
}

void TForm1::DeviceBack() {
  StatusBar1->SetPanelText(1, "OPEN");
  PortMessage->setText(QString::fromStdString(PortName() + " reconnected at " +
                                              std::to_string(MroComPort1->Baud()) + " baud"));
  const std::array<TMroStatusLight*, 4> lights{DTRLight, RTSLight, Light1, Light2};
  for (size_t i = 0; i < lights.size(); ++i) lights[i]->SetLit(litBeforeGone_[i]);
}

void TForm1::C_DTRClick() {
  const bool v = C_DTR->isChecked();
  MroComPort1->SetDTR(v);
  DTRLight->SetLit(v);
}

void TForm1::C_RTSClick() {
  const bool v = C_RTS->isChecked();
  MroComPort1->SetRTS(v);
  RTSLight->SetLit(v);
}

// --- Handlers: keyboard and command lines ------------------------------------------

void TForm1::Cap1Click() {
  const char first = Cap1->isChecked() ? 'a' : 'A';
  for (int i = 0; i < 26; ++i) LetterKeys[size_t(i)]->setText(QString(QChar(first + i)));
}

void TForm1::ENT_CClick() {
  const QString caption = ENT_C->isChecked() ? "ent" : "#";
  KEY_Shap_0->setText(caption);
  KEY_Shap_1->setText(caption);
}

void TForm1::LetterKeyClick(int index) {
  const char first = Cap1->isChecked() ? 'a' : 'A';
  MroComPort1->SendString(std::string(1, char(first + index)));
}

void TForm1::KEY_Shap_Click() { MroComPort1->SendString(ENT_C->isChecked() ? "\r" : "#"); }

void TForm1::KEY_ESC_Click() { MroComPort1->SendString("\x1b"); }

void TForm1::CharKeyClick(const std::string& text) { MroComPort1->SendString(text); }

void TForm1::Button3Click() { MroComPort1->SendString(Edit1->text().toStdString()); }

void TForm1::Button6Click() { MroComPort1->SendString(Edit3->text().toStdString()); }

// --- Handlers: terminal ----------------------------------------------------

int TForm1::TerminalFontSize() const {
  const int h = QxTerminal1->TermFont().Height;
  return ((h < 0 ? -h : h) * 72 + 48) / 96;
}

void TForm1::SetTerminalFontSize(int points) {
  TQxFont f = QxTerminal1->TermFont();
  f.Height = -((points * 96 + 36) / 72);
  QxTerminal1->SetTermFont(f);
}

void TForm1::Button4Click() {
  if (TerminalFontLarge) {
    TerminalFontLarge = false;
    Button4->setText("Font Small");
    SetTerminalFontSize(11);
  } else {
    TerminalFontLarge = true;
    Button4->setText("Font Large");
    SetTerminalFontSize(12);
  }
}

// --- Handlers: file-send panel ---------------------------------------------------

void TForm1::BrowseClick() {
  OpenDialog1->Execute(this);
  FileNameEdit->setText(QFile::decodeName(OpenDialog1->FileName.c_str()));
}

void TForm1::SendClick() {
  if (Transfers->Running()) throw Exception("A transfer is still running");
  {
    // A second start on a running transfer would re-arm its record under it.
    TLockGuard lock(MroProtocol1->Record().RecordLock);
    if (MroProtocol1->InProgress() != 0) throw Exception("A file is still being sent");
  }
  if (const TProtocolType type = Transfers->ChosenProtocol(); type != ptAscii) {
    Transfers->Start(type, true, OpenDialog1->FileName);
    return;
  }
  MroProtocol1->SetProtocolType(ptAscii);
  MroProtocol1->SetFileMask(OpenDialog1->FileName);
  MroProtocol1->SetAsciiCharDelay(uint32_t(DelayFieldValue(cha_com1->Text())));
  MroProtocol1->SetAsciiLineDelay(uint32_t(DelayFieldValue(line_com1->Text())));
  MroProtocol1->BeginTransmit();
}

// --- QC test plans ----------------------------------------------------------------

void TForm1::TestClick() {
  if (!TestRun) TestRun = std::make_unique<TQxTestRun>(*this);
  TestRun->show();
  TestRun->raise();
  TestRun->activateWindow();
}

}  // namespace zav
