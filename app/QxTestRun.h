// The test-run window of the bench window: a QC plan run on the open port,
// one unit at a time. The steps are listed with their state as they run, the
// unit's verdict shows large with its id, operator prompts are dialogs, and
// each unit's reports go to a directory chosen once, its record also into the
// database (the directory's results.db, or a server a room shares). Enter
// starts the next unit. The terminal keeps showing what the unit sends
// meanwhile.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "qc/PlanLine.h"
#include "qc/PlanTransfer.h"
#include "qc/PlanRun.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTemporaryDir;
class QTreeWidget;

namespace zav {

class TForm1;

class TQxTestRun : public QDialog, public qc::RunHost {
 public:
  explicit TQxTestRun(TForm1& form);
  ~TQxTestRun() override;

  QLineEdit* PlanEdit;
  QPushButton* PlanBrowse;
  QLineEdit* ReportEdit;
  QPushButton* ReportBrowse;
  QLineEdit* StationEdit;
  QLineEdit* OperatorEdit;
  QLineEdit* DatabaseEdit;
  QPushButton* ResultsButton;  // the page of the plan's records, in the desktop's browser
  QLineEdit* UnitEdit;
  QPushButton* StartButton;
  QPushButton* StopButton;
  QTreeWidget* StepList;
  QLabel* VerdictLabel;
  QLabel* TodayLabel;  // today's units and yield at this station
  QLabel* StatusLabel;

  // Tests replace the dialogs: the operator's answer to a prompt, and the
  // plan file or report directory chosen (nothing for a cancel).
  std::function<bool(const std::string& question)> Asker;
  std::function<std::optional<std::string>(bool directory, const std::string& start)> Chooser;
  // Shows the results page (default: the desktop's browser); tests look at it.
  std::function<void(const std::string& page)> Opener;

  // Reads the plan and starts a unit on the window's open port; a plan or
  // port that cannot be used is said in the status line.
  void StartClick();
  // Ends the running unit; its reports are still written.
  void StopClick();
  void PlanBrowseClick();
  void ReportBrowseClick();
  // Writes the results page of the plan in use (RESULTS.html in the report
  // directory) off the window's thread, then opens it.
  void ResultsClick();
  bool Running() const { return run_ != nullptr; }
  // The last unit that ended, and where its JUnit report went.
  const std::optional<qc::UnitResult>& LastUnit() const { return last_; }
  const std::string& LastReport() const { return lastReport_; }
  // What became of the last unit's record: "stored", or why it waits in the
  // spool; empty while it is being stored.
  const std::string& LastRecord() const { return lastRecord_; }

  // From the window: the terminal's bytes, and the port's device gone.
  void Received(const uint8_t* data, size_t count);
  void DeviceGone();

  void Send(const std::string& bytes) override;
  std::string SetLines(std::optional<bool> dtr, std::optional<bool> rts) override;
  std::string SendBreak(int ms) override;
  void StartTransfer(const qc::TransferStep& transfer, const std::string& dir) override;
  void CancelTransfer() override;
  void Ask(const std::string& question) override;
  void AskWithdrawn() override;
  // The operator's question while it waits for an answer, or null.
  QMessageBox* Question() const { return question_; }
  void StepStarted(size_t index, const std::string& name) override;
  void StepEnded(size_t index, const qc::StepResult& result) override;

 private:
  void Service();  // after every event: sends, the next wake-up, the end
  void Finish();
  void ShowVerdict(const QString& text, const QString& colour);
  // Offers the spool to the database off the window's thread (a server that
  // does not answer must not stop the window).
  void StoreRecords(const std::string& reports);
  std::string Database(const std::string& reports) const;  // the one named, or the reports' own
  std::string Station() const;

  TForm1& form_;
  std::optional<qc::Plan> plan_;
  std::unique_ptr<qc::PlanRun> run_;
  std::unique_ptr<QTemporaryDir> receiveDir_;
  QTimer wake_;
  std::unique_ptr<qc::PlanLine> line_;  // what the plan puts on the line, in its order
  std::string lineFailure_;             // a line action that failed, for the run
  std::unique_ptr<qc::PlanTransfer> transfers_;  // the plan's transfers, as mero runs them
  std::optional<qc::UnitResult> last_;
  std::string lastReport_, lastRecord_;
  std::thread storing_, reporting_;
  std::atomic<bool> stored_{true};  // the last store has ended
  QPointer<QMessageBox> question_;
};

}  // namespace zav
