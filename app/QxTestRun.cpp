#include "app/QxTestRun.h"
#include "app/TransferControl.h"
#include "qc/Summary.h"
#include "qc/SummaryPage.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QUrl>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <utility>

#include "app/MainForm.h"
#include "protocols/component/QxProtcl.h"
#include "qc/RecordDb.h"
#include "qc/Report.h"
#include "serial/QxPort.h"

namespace zav {

namespace {

using Clock = std::chrono::steady_clock;

// Kept between runs beside the window's other settings.
const char* const kSettingsName = "zavterm";
const char* const kPlanKey = "test/plan";
const char* const kReportKey = "test/reports";
const char* const kStationKey = "test/station";
const char* const kOperatorKey = "test/operator";
const char* const kDatabaseKey = "test/database";

QString Setting(const char* key) { return QSettings(kSettingsName, kSettingsName).value(key).toString(); }
void KeepSetting(const char* key, const QString& value) { QSettings(kSettingsName, kSettingsName).setValue(key, value); }

std::string Local(const QString& text) { return QFile::encodeName(text).toStdString(); }
QString Shown(const std::string& text) { return QFile::decodeName(text.c_str()); }

const char* Colour(qc::Verdict v) {
  switch (v) {
    case qc::Verdict::Pass: return "#1a7f37";
    case qc::Verdict::Fail:
    case qc::Verdict::Error: return "#c62828";
    case qc::Verdict::Aborted: return "#ef6c00";
    case qc::Verdict::Running: return "#1565c0";
    case qc::Verdict::Skipped: break;
  }
  return "#757575";
}

const char* Colour(qc::MeasureOutcome m) {
  switch (m) {
    case qc::MeasureOutcome::Pass: return Colour(qc::Verdict::Pass);
    case qc::MeasureOutcome::Marginal: return "#b26a00";
    case qc::MeasureOutcome::Fail: return Colour(qc::Verdict::Fail);
    case qc::MeasureOutcome::NotMeasured: break;
  }
  return Colour(qc::Verdict::Skipped);
}

}  // namespace

TQxTestRun::TQxTestRun(TForm1& form) : QDialog(&form, Qt::Window), form_(form) {
  setWindowTitle("Test run");
  setObjectName("TestRun");
  resize(640, 600);
  auto* grid = new QGridLayout(this);
  auto row = [&](int r, const char* caption, QLineEdit*& edit, QPushButton** button) {
    grid->addWidget(new QLabel(caption, this), r, 0);
    edit = new QLineEdit(this);
    grid->addWidget(edit, r, 1);
    if (button) {
      *button = new QPushButton("Choose...", this);
      (*button)->setAutoDefault(false);
      grid->addWidget(*button, r, 2);
    }
  };
  row(0, "Plan", PlanEdit, &PlanBrowse);
  row(1, "Reports", ReportEdit, &ReportBrowse);
  row(2, "Station", StationEdit, nullptr);
  row(3, "Operator", OperatorEdit, nullptr);
  row(4, "Database", DatabaseEdit, nullptr);
  ResultsButton = new QPushButton("Results", this);
  ResultsButton->setAutoDefault(false);
  ResultsButton->setToolTip("The plan's yield, failing steps and measurements as a page");
  grid->addWidget(ResultsButton, 4, 2);
  row(5, "Unit id", UnitEdit, nullptr);
  UnitEdit->setPlaceholderText("optional: the label's id, checked against the unit's");
  StationEdit->setPlaceholderText(Shown(qc::HostName()));
  DatabaseEdit->setPlaceholderText("the reports' results.db, or postgresql://USER@HOST/DB");
  PlanEdit->setText(Setting(kPlanKey));
  ReportEdit->setText(Setting(kReportKey));
  StationEdit->setText(Setting(kStationKey));
  OperatorEdit->setText(Setting(kOperatorKey));
  DatabaseEdit->setText(Setting(kDatabaseKey));

  StartButton = new QPushButton("Start", this);
  StartButton->setDefault(true);  // Enter starts the next unit
  StopButton = new QPushButton("Stop", this);
  StopButton->setAutoDefault(false);
  StopButton->setEnabled(false);
  grid->addWidget(StartButton, 5, 2);
  grid->addWidget(StopButton, 6, 2);

  VerdictLabel = new QLabel(this);
  VerdictLabel->setObjectName("Verdict");
  VerdictLabel->setAlignment(Qt::AlignCenter);
  VerdictLabel->setMinimumHeight(72);
  QFont big = VerdictLabel->font();
  big.setPointSize(28);
  big.setBold(true);
  VerdictLabel->setFont(big);
  grid->addWidget(VerdictLabel, 6, 0, 1, 2);
  TodayLabel = new QLabel(this);
  TodayLabel->setObjectName("Today");
  TodayLabel->setTextFormat(Qt::PlainText);
  TodayLabel->setAlignment(Qt::AlignCenter);
  grid->addWidget(TodayLabel, 7, 0, 1, 3);

  StepList = new QTreeWidget(this);
  StepList->setHeaderLabels({"Step", "Result", "Seconds", "What happened"});
  StepList->setRootIsDecorated(false);
  StepList->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  grid->addWidget(StepList, 8, 0, 1, 3);

  StatusLabel = new QLabel(this);
  StatusLabel->setWordWrap(true);
  StatusLabel->setTextFormat(Qt::PlainText);
  grid->addWidget(StatusLabel, 9, 0, 1, 3);
  grid->setRowStretch(8, 1);
  ShowVerdict("", Colour(qc::Verdict::Skipped));

  wake_.setSingleShot(true);
  connect(&wake_, &QTimer::timeout, this, [this] { TForm1::Guard([this] { Service(); }); });
  connect(StartButton, &QPushButton::clicked, this, [this] { TForm1::Guard([this] { StartClick(); }); });
  connect(StopButton, &QPushButton::clicked, this, [this] { TForm1::Guard([this] { StopClick(); }); });
  connect(PlanBrowse, &QPushButton::clicked, this, [this] { TForm1::Guard([this] { PlanBrowseClick(); }); });
  connect(ReportBrowse, &QPushButton::clicked, this, [this] { TForm1::Guard([this] { ReportBrowseClick(); }); });
  connect(ResultsButton, &QPushButton::clicked, this, [this] { TForm1::Guard([this] { ResultsClick(); }); });
}

TQxTestRun::~TQxTestRun() {
  if (transfers_ && transfers_->Running()) form_.Transfers->PlanTransferEnded(ecCancelRequested);
  transfers_.reset();  // aborts a running transfer
  if (storing_.joinable()) storing_.join();
  if (reporting_.joinable()) reporting_.join();
}

void TQxTestRun::ShowVerdict(const QString& text, const QString& colour) {
  VerdictLabel->setText(text);
  VerdictLabel->setStyleSheet("QLabel { color: white; background: " + colour + "; border-radius: 6px; }");
}

void TQxTestRun::PlanBrowseClick() {
  std::optional<std::string> chosen;
  if (Chooser) {
    chosen = Chooser(false, Local(PlanEdit->text()));
  } else {
    const QString file = QFileDialog::getOpenFileName(this, "Test plan", PlanEdit->text(), "Test plans (*.yaml *.yml);;All files (*)");
    if (!file.isEmpty()) chosen = Local(file);
  }
  if (chosen) PlanEdit->setText(Shown(*chosen));
}

void TQxTestRun::ReportBrowseClick() {
  std::optional<std::string> chosen;
  if (Chooser) {
    chosen = Chooser(true, Local(ReportEdit->text()));
  } else {
    const QString dir = QFileDialog::getExistingDirectory(this, "Reports into", ReportEdit->text());
    if (!dir.isEmpty()) chosen = Local(dir);
  }
  if (chosen) ReportEdit->setText(Shown(*chosen));
}

void TQxTestRun::StartClick() {
  if (run_) return;
  if (!form_.MroComPort1->Open()) {
    StatusLabel->setText("Open the port first: the plan runs on the window's port.");
    return;
  }
  if (ReportEdit->text().isEmpty()) ReportBrowseClick();  // chosen once, kept after
  const std::string reports = Local(ReportEdit->text());
  if (reports.empty() || !QFileInfo(ReportEdit->text()).isDir()) {
    StatusLabel->setText("Choose a directory for the reports.");
    return;
  }
  try {
    plan_ = qc::LoadPlan(Local(PlanEdit->text()));
  } catch (const qc::PlanError& e) {
    StatusLabel->setText(Shown(e.what()));
    return;
  }
  KeepSetting(kPlanKey, PlanEdit->text());
  KeepSetting(kReportKey, ReportEdit->text());
  KeepSetting(kStationKey, StationEdit->text());
  KeepSetting(kOperatorKey, OperatorEdit->text());
  KeepSetting(kDatabaseKey, DatabaseEdit->text());
  receiveDir_ = std::make_unique<QTemporaryDir>();
  if (!line_) {
    line_ = std::make_unique<qc::PlanLine>(*form_.MroComPort1);
    // The plan's line changes show in the window's boxes as they are made.
    line_->LinesSet = [this](std::optional<bool> dtr, std::optional<bool> rts) {
      if (dtr) form_.C_DTR->setChecked(*dtr);
      if (rts) form_.C_RTS->setChecked(*rts);
    };
  }
  line_->Clear();
  lineFailure_.clear();
  transfers_ = std::make_unique<qc::PlanTransfer>(*form_.MroComPort1, plan_->Settle);
  transfers_->Began = [this](TMroProtocol& p, bool sending) { form_.Transfers->PlanTransferBegan(p, sending); };
  transfers_->Ended = [this](int32_t code) {
    form_.Transfers->PlanTransferEnded(code);
    wake_.start(0);  // the run hears of it once the component's report is over
  };
  const std::string port = "COM" + std::to_string(form_.MroComPort1->ComNumber());
  run_ = std::make_unique<qc::PlanRun>(*plan_, *this, port, Local(UnitEdit->text().trimmed()),
                                       Local(receiveDir_->path()));
  StepList->clear();
  for (size_t i = 0; i < run_->StepCount(); ++i)
    new QTreeWidgetItem(StepList, {Shown(run_->StepName(i)), "", "", ""});
  ShowVerdict("RUNNING", Colour(qc::Verdict::Running));
  StatusLabel->setText(Shown("\"" + plan_->Name + "\" on " + port));
  StartButton->setEnabled(false);
  StopButton->setEnabled(true);
  run_->Start(Clock::now());
  Service();
}

void TQxTestRun::StopClick() {
  if (!run_) return;
  if (run_->Done()) line_->Clear();  // a second stop: what the plan left on the line is dropped
  CancelTransfer();
  run_->Abort("stopped by the operator", Clock::now(), qc::Verdict::Aborted);
  Service();
}

void TQxTestRun::Received(const uint8_t* data, size_t count) {
  if (!run_ || transfers_->Running()) return;
  run_->Received(std::string_view(reinterpret_cast<const char*>(data), count), Clock::now());
  Service();
}

void TQxTestRun::DeviceGone() {
  if (transfers_) transfers_->DeviceGone();
}

void TQxTestRun::Service() {
  if (!run_) return;
  const auto now = Clock::now();
  if (std::string failed = line_->Pump(now); !failed.empty()) lineFailure_ = std::move(failed);
  if (!lineFailure_.empty() && !run_->Done())
    run_->Abort(std::exchange(lineFailure_, {}), now, qc::Verdict::Error);
  transfers_->Pump(*run_, Clock::now(), line_->Idle());
  run_->Tick(Clock::now());
  // The unit is over once what its plan put on the line has gone too.
  if (run_->Done() && line_->Idle()) return Finish();
  auto wait = std::chrono::milliseconds(1000);
  for (const auto at : {run_->NextWake(), line_->NextWake(Clock::now()), transfers_->NextWake()})
    if (at)
      wait = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*at - Clock::now()),
                        std::chrono::milliseconds(0), wait);
  wake_.start(int(wait.count()));
}

void TQxTestRun::Finish() {
  wake_.stop();
  last_ = run_->Result();
  run_.reset();
  const qc::UnitResult& u = *last_;
  const QString id = u.UnitId.empty() ? QString() : "  " + Shown(qc::Printable(u.UnitId, 40));
  ShowVerdict(QString(qc::VerdictText(u.Outcome)) + id, Colour(u.Outcome));
  try {
    qc::RecordContext context;
    context.Station = StationEdit->text().trimmed().toStdString();
    context.Operator = OperatorEdit->text().trimmed().toStdString();
    context.Program = "zavterm";
    context.Version = form_.MroComPort1->Version();
    const TMroComPort& port = *form_.MroComPort1;
    context.Line = LineSettingsText(port.Baud(), port.DataBits(), port.Parity(), port.StopBits());
    const std::string reports = Local(ReportEdit->text());
    lastReport_ = qc::WriteReports(u, reports, context).Xml;
    StatusLabel->setText("Report: " + Shown(lastReport_) + "\nEnter starts the next unit.");
    StoreRecords(reports);
  } catch (const std::exception& e) {
    lastReport_.clear();
    StatusLabel->setText(Shown(e.what()));
  }
  receiveDir_.reset();  // the reports keep their own copies of what the unit sent
  for (size_t i = 0; i < u.Steps.size(); ++i) StepEnded(i, u.Steps[i]);
  StartButton->setEnabled(true);
  StopButton->setEnabled(false);
  UnitEdit->clear();
  UnitEdit->setFocus();
}

std::string TQxTestRun::Database(const std::string& reports) const {
  const QString named = DatabaseEdit->text().trimmed();
  return named.isEmpty() ? qc::DefaultDatabase(reports) : named.toStdString();
}

std::string TQxTestRun::Station() const {
  const QString named = StationEdit->text().trimmed();
  return named.isEmpty() ? qc::HostName() : named.toStdString();
}

namespace {

// "Today at STATION: N units, yield Y%", from the records of the plan.
std::string TodayText(const std::string& db, const std::string& plan, const std::string& station) {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char day[16];
  std::strftime(day, sizeof day, "%Y-%m-%d", &tm);
  qc::SummaryFilter f;
  f.Plan = plan;
  f.Station = station;
  f.From = f.To = day;
  qc::RecordDb records(db);
  const std::vector<qc::PlanSummary> s = qc::Summarize(records, f);
  const qc::Tally t = s.empty() ? qc::Tally{} : s[0].All;
  char yield[32] = "no yield yet";
  if (t.Yield()) std::snprintf(yield, sizeof yield, "yield %.1f%%", *t.Yield() * 100);
  return "Today at " + station + ": " + std::to_string(t.Units) + (t.Units == 1 ? " unit, " : " units, ") + yield;
}

}  // namespace

void TQxTestRun::StoreRecords(const std::string& reports) {
  lastRecord_.clear();
  // One store at a time; a record left while one is still going waits in
  // the spool for the next unit.
  if (!stored_) return;
  if (storing_.joinable()) storing_.join();
  const std::string db = Database(reports), plan = plan_ ? plan_->Name : std::string(), station = Station();
  stored_ = false;
  storing_ = std::thread([this, reports, db, plan, station] {
    const qc::SpoolOutcome out = qc::FlushSpool(reports, db);
    std::string today;
    try {
      today = TodayText(db, plan, station);
    } catch (const std::exception& e) {
      today = std::string("Today: ") + e.what();
    }
    QMetaObject::invokeMethod(
        this,
        [this, out, reports, today] {
          lastRecord_ = out.Waiting == 0 && out.Problem.empty()
                            ? std::string("stored")
                            : std::to_string(out.Waiting) + " waiting in " + reports + "/spool: " + out.Problem;
          StatusLabel->setText(StatusLabel->text() + "\nRecord " + Shown(lastRecord_) + ".");
          TodayLabel->setText(Shown(today));
        },
        Qt::QueuedConnection);
    stored_ = true;
  });
}

void TQxTestRun::ResultsClick() {
  const std::string reports = Local(ReportEdit->text());
  if (reports.empty()) {
    StatusLabel->setText("Choose a directory for the reports.");
    return;
  }
  std::string plan;
  try {
    plan = plan_ ? plan_->Name : qc::LoadPlan(Local(PlanEdit->text())).Name;
  } catch (const qc::PlanError& e) {
    StatusLabel->setText(Shown(e.what()));
    return;
  }
  if (reporting_.joinable()) reporting_.join();  // the last page is written by now or soon
  ResultsButton->setEnabled(false);
  const std::string db = Database(reports), page = reports + "/results.html";
  reporting_ = std::thread([this, db, plan, page] {
    std::string problem;
    try {
      qc::SummaryFilter f;
      f.Plan = plan;
      std::vector<qc::PlanSummary> plans;
      // Reading never makes a database: no file is no records.
      if (db.find("://") != std::string::npos || db.find('=') != std::string::npos || std::filesystem::exists(db)) {
        qc::RecordDb records(db);
        plans = qc::Summarize(records, f);
      }
      const std::time_t now = std::time(nullptr);
      std::tm tm{};
      gmtime_r(&now, &tm);
      char made[32];
      std::strftime(made, sizeof made, "%Y-%m-%d %H:%M UTC", &tm);
      std::ofstream out(page, std::ios::binary | std::ios::trunc);
      out << qc::SummaryHtml(plans, f, made);
      if (!out.flush()) problem = "cannot write " + page;
    } catch (const std::exception& e) {
      problem = e.what();
    }
    QMetaObject::invokeMethod(
        this,
        [this, problem, page] {
          ResultsButton->setEnabled(true);
          if (!problem.empty()) {
            StatusLabel->setText("Results: " + Shown(problem));
            return;
          }
          StatusLabel->setText("Results: " + Shown(page));
          if (Opener)
            Opener(page);
          else
            QDesktopServices::openUrl(QUrl::fromLocalFile(Shown(page)));
        },
        Qt::QueuedConnection);
  });
}

// The line's actions go out in the plan's order from Service; one that
// fails there ends the unit as the station's fault.
void TQxTestRun::Send(const std::string& bytes) {
  line_->Send(bytes);
  if (std::string failed = line_->Pump(Clock::now()); !failed.empty()) lineFailure_ = std::move(failed);
}

std::string TQxTestRun::SetLines(std::optional<bool> dtr, std::optional<bool> rts) {
  line_->SetLines(dtr, rts);
  return {};
}

std::string TQxTestRun::SendBreak(int ms) {
  line_->Break(ms);  // timed by Service: the window never waits for it
  return {};
}

void TQxTestRun::StartTransfer(const qc::TransferStep& t, const std::string& dir) {
  transfers_->Request(t, dir);  // started by Service, in the plan's order
}

void TQxTestRun::CancelTransfer() { transfers_->Cancel(); }

void TQxTestRun::Ask(const std::string& question) {
  if (Asker) {
    const bool yes = Asker(question);
    if (run_) run_->Answer(yes, Clock::now());
    return;
  }
  // The question waits beside the run, not in a loop of its own: the run's
  // time goes on (a prompt's timeout), and a withdrawn question is closed.
  auto* box = new QMessageBox(QMessageBox::Question, "Operator check", Shown(question),
                              QMessageBox::Yes | QMessageBox::No, this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::WindowModal);
  question_ = box;
  connect(box, &QMessageBox::finished, this, [this, box](int) {
    if (question_ != box) return;  // withdrawn
    question_ = nullptr;
    const bool yes = box->standardButton(box->clickedButton()) == QMessageBox::Yes;
    if (!run_) return;
    run_->Answer(yes, Clock::now());
    Service();
  });
  box->open();
}

void TQxTestRun::AskWithdrawn() {
  if (QMessageBox* box = question_) {
    question_ = nullptr;
    box->close();
  }
}

void TQxTestRun::StepStarted(size_t index, const std::string&) {
  if (QTreeWidgetItem* item = StepList->topLevelItem(int(index))) {
    item->setText(1, "running");
    StepList->scrollToItem(item);
  }
}

void TQxTestRun::StepEnded(size_t index, const qc::StepResult& r) {
  QTreeWidgetItem* item = StepList->topLevelItem(int(index));
  if (!item) return;
  item->setText(1, qc::VerdictText(r.Outcome));
  item->setText(2, QString::number(r.Seconds, 'f', 2));
  item->setText(3, Shown(r.Message));
  item->setToolTip(3, Shown(r.Message + (r.Detail.empty() ? "" : "\n" + r.Detail)));
  item->setForeground(1, QColor(Colour(r.Outcome)));
  // The measurements under their step: "vbat = 3.452 V  [3.200, 3.400]", outcome.
  while (item->childCount() > 0) delete item->takeChild(0);
  for (const auto& m : r.Measurements) {
    const std::string limits = m.LimitsText();
    const std::string shown = m.Name + " = " + m.ValueText() + (limits.empty() ? "" : "  " + limits);
    auto* child = new QTreeWidgetItem(item, {Shown(shown), qc::MeasureText(m.Outcome), "", Shown(m.Message)});
    child->setToolTip(3, Shown(m.Message));
    child->setForeground(1, QColor(Colour(m.Outcome)));
  }
  if (!r.Measurements.empty()) item->setExpanded(true);
}

}  // namespace zav
