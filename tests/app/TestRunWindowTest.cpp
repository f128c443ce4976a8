// The test-run window of the bench window on Qt's offscreen platform: a plan
// on COM4 (a pseudo-terminal whose far end the test plays as the unit), the
// steps' states, the verdict with the unit's id, a prompt answered by the
// operator, the report written, and what the window keeps between runs.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>

#include "app/MainForm.h"
#include "app/QxTestRun.h"
#include "qc/RecordDb.h"
#include "tests/app/BenchWindowFixture.h"
#include "tests/support/QtTestSupport.h"

namespace zav {
namespace {

using test::PumpQtUntil;

class TestRunWindow : public test::BenchWindowTest {
 protected:
  TQxTestRun& Open() {
    test::OpenPortInWindow(*form, 4);
    EXPECT_TRUE(errors.empty()) << (errors.empty() ? "" : errors.back());
    form->TestButton->click();
    TQxTestRun& w = *form->TestRun;
    w.Asker = [this](const std::string& q) {
      questions.push_back(q);
      return answer;
    };
    w.Chooser = [this](bool, const std::string&) { return std::optional<std::string>(dir_.string()); };
    return w;
  }

  // Plays the unit: answers each command line that arrives.
  void Answer(const std::map<std::string, std::string>& replies, const std::function<bool()>& until) {
    std::string line;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    ASSERT_TRUE(PumpQtUntil(
        [&] {
          char buf[256];
          const ssize_t n = read(master_, buf, sizeof buf);
          for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] != '\r') {
              line += buf[i];
              continue;
            }
            const auto r = replies.find(line);
            if (r != replies.end()) {
              EXPECT_EQ(write(master_, r->second.data(), r->second.size()), ssize_t(r->second.size()));
            }
            line.clear();
          }
          return until();
        },
        10));
  }

  // The measurements under step i: "NAME = VALUE  [LIMITS] OUTCOME", one each.
  std::vector<std::string> Children(TQxTestRun& w, int i) {
    std::vector<std::string> out;
    const QTreeWidgetItem* item = w.StepList->topLevelItem(i);
    for (int k = 0; item && k < item->childCount(); ++k)
      out.push_back((item->child(k)->text(0) + " " + item->child(k)->text(1)).toStdString());
    return out;
  }

  std::string Row(TQxTestRun& w, int i) {
    const QTreeWidgetItem* item = w.StepList->topLevelItem(i);
    return item ? (item->text(0) + " " + item->text(1)).toStdString() : "";
  }

  std::vector<std::string> questions;
  bool answer = true;
};

const char* const kPlan = R"(name: Window QC
unit-id: {send: "SN?\r", expect: 'SN: (\w+)', timeout: 3}
steps:
  - name: version
    send: "VER?\r"
    expect: 'VER (\d+) (\S+)'
    capture: v
    check: {v: {min: 2}}
    measure: {name: vbat, from: 2, unit: V, min: 3.2, max: 3.4, marginal: 0.1}
  - {name: lines, set: {dtr: false}}
  - {name: label, prompt: "Is the LED green?"}
)";

TEST_F(TestRunWindow, APlanRunsOnTheOpenPortAndShowsTheVerdict) {
  test::WriteFile(dir_ / "plan.yaml", kPlan);
  TQxTestRun& w = Open();
  w.PlanEdit->setText(QString::fromStdString((dir_ / "plan.yaml").string()));
  w.StationEdit->setText("bench-9");
  w.StartButton->click();
  ASSERT_TRUE(w.Running()) << w.StatusLabel->text().toStdString();
  Answer({{"SN?", "SN: W42\r\n"}, {"VER?", "VER 3 3.21\r\n"}}, [&] { return !w.Running(); });
  EXPECT_EQ(w.VerdictLabel->text().toStdString(), "PASS  W42");
  EXPECT_EQ(Children(w, 1), (std::vector<std::string>{"v = 3  [2, -] PASS", "vbat = 3.21 V  [3.20, 3.40] MARGINAL"}));
  EXPECT_TRUE(Children(w, 0).empty());
  EXPECT_EQ(Row(w, 0), "unit id PASS");
  EXPECT_EQ(Row(w, 3), "label PASS");
  EXPECT_EQ(questions, std::vector<std::string>{"Is the LED green?"});
  EXPECT_FALSE(form->C_DTR->isChecked());  // the plan's line change shows in the window
  ASSERT_FALSE(w.LastReport().empty());
  EXPECT_NE(test::ReadFile(w.LastReport()).find("<property name=\"unit-id\" value=\"W42\"/>"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir_ / "results.csv"));
  // The record goes into the reports' database off the window's thread.
  ASSERT_TRUE(PumpQtUntil([&] { return !w.LastRecord().empty(); }, 30));
  EXPECT_EQ(w.LastRecord(), "stored");
  EXPECT_NE(w.StatusLabel->text().toStdString().find("\nRecord stored."), std::string::npos);
  {
    qc::RecordDb db(qc::DefaultDatabase(dir_.string()));
    const auto rows = db.Query("SELECT u.unit_id, u.program, u.line, m.value FROM units u JOIN measurements m"
                               " USING (record_id) WHERE m.name = 'vbat'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "W42");
    EXPECT_EQ(rows[0][1], "zavterm");
    EXPECT_EQ(rows[0][2], "9600 8N1") << "the window's port settings";
    EXPECT_DOUBLE_EQ(std::stod(rows[0][3].value()), 3.21);
  }

  // The next unit: Enter on the unit id starts it; this one says no.
  answer = false;
  w.UnitEdit->setText("W43");
  w.StartButton->click();
  Answer({{"SN?", "SN: W43\r\n"}, {"VER?", "VER 1 3.30\r\n"}}, [&] { return !w.Running(); });
  EXPECT_EQ(w.VerdictLabel->text().toStdString(), "FAIL  W43");
  EXPECT_EQ(Row(w, 1), "version FAIL");
  EXPECT_EQ(Children(w, 1), (std::vector<std::string>{"v = 1  [2, -] FAIL", "vbat = 3.30 V  [3.20, 3.40] PASS"}));
  EXPECT_EQ(Row(w, 2), "lines SKIPPED");
  EXPECT_EQ(w.LastUnit()->FirstFailure(), "version");
  // Under the verdict: today's units and yield at this station, from the records.
  ASSERT_TRUE(PumpQtUntil([&] { return !w.LastRecord().empty(); }, 30));
  EXPECT_EQ(w.TodayLabel->text().toStdString(), "Today at bench-9: 2 units, yield 50.0%");
  // Results: the plan's page, written aside and shown.
  std::string opened;
  w.Opener = [&](const std::string& page) { opened = page; };
  w.ResultsButton->click();
  ASSERT_TRUE(PumpQtUntil([&] { return !opened.empty(); }, 30)) << w.StatusLabel->text().toStdString();
  EXPECT_EQ(opened, (dir_ / "results.html").string());
  const std::string page = test::ReadFile(opened);
  EXPECT_NE(page.find("<h2>Plan Window QC</h2>"), std::string::npos);
  EXPECT_NE(page.find("data-figure=\"yield\" data-value=\"0.5\""), std::string::npos);
  EXPECT_NE(page.find("histogram of version / vbat [V]"), std::string::npos);

  // The plan and the report directory are kept for the next session.
  form->TestRun.reset();
  form->TestButton->click();
  EXPECT_EQ(form->TestRun->PlanEdit->text().toStdString(), (dir_ / "plan.yaml").string());
  EXPECT_EQ(form->TestRun->ReportEdit->text().toStdString(), dir_.string());
}

// The operator's question is a dialog beside the run: answered, the step
// passes; left alone past the step's timeout, it closes and the step fails.
TEST_F(TestRunWindow, AQuestionLeftUnansweredPastItsTimeoutClosesAndFails) {
  test::WriteFile(dir_ / "ask.yaml", "name: ask\nsteps:\n  - {name: label, prompt: 'Label on?', timeout: 0.5}\n");
  TQxTestRun& w = Open();
  w.Asker = nullptr;
  w.PlanEdit->setText(QString::fromStdString((dir_ / "ask.yaml").string()));
  w.StartButton->click();
  ASSERT_TRUE(PumpQtUntil([&] { return w.Question() != nullptr && w.Question()->isVisible(); }, 10));
  EXPECT_EQ(w.Question()->text().toStdString(), "Label on?");
  w.Question()->button(QMessageBox::Yes)->click();
  ASSERT_TRUE(PumpQtUntil([&] { return !w.Running(); }, 10));
  EXPECT_EQ(Row(w, 0), "label PASS");

  w.StartButton->click();
  ASSERT_TRUE(PumpQtUntil([&] { return w.Question() != nullptr; }, 10));
  ASSERT_TRUE(PumpQtUntil([&] { return !w.Running(); }, 10));
  EXPECT_EQ(w.Question(), nullptr);
  EXPECT_EQ(Row(w, 0), "label FAIL");
  EXPECT_EQ(w.LastUnit()->Steps[0].Message, "no answer to \"Label on?\" within 0.5 s");
}

// Stop ends the unit ABORTED, and the plan's teardown still leaves DTR low.
TEST_F(TestRunWindow, StopAbortsTheUnitAndTheTeardownStillRuns) {
  test::WriteFile(dir_ / "stop.yaml", R"(name: stop
setup: [{name: power on, set: {dtr: true}}]
steps:
  - {name: boot, expect: NEVER, timeout: 30}
teardown: [{name: power off, set: {dtr: false}}]
)");
  TQxTestRun& w = Open();
  w.PlanEdit->setText(QString::fromStdString((dir_ / "stop.yaml").string()));
  w.StartButton->click();
  ASSERT_TRUE(PumpQtUntil([&] { return form->C_DTR->isChecked() && Row(w, 1) == "boot running"; }, 10));
  w.StopButton->click();
  ASSERT_TRUE(PumpQtUntil([&] { return !w.Running(); }, 10));
  EXPECT_EQ(w.VerdictLabel->text().toStdString(), "ABORTED");
  EXPECT_EQ(Row(w, 1), "boot ABORTED");
  EXPECT_EQ(Row(w, 2), "power off PASS");
  EXPECT_FALSE(form->C_DTR->isChecked());
  EXPECT_NE(test::ReadFile(w.LastReport()).find("<error message=\"stopped by the operator\" type=\"ABORTED\">"),
            std::string::npos);
  EXPECT_NE(test::ReadFile(dir_ / "results.csv").find(",ABORTED,boot,"), std::string::npos);
}

TEST_F(TestRunWindow, ABadPlanOrAClosedPortStartsNothing) {
  test::WriteFile(dir_ / "bad.yaml", "name: x\nsteps:\n  - {expct: Y}\n");
  form->TestButton->click();
  TQxTestRun& w = *form->TestRun;
  w.PlanEdit->setText(QString::fromStdString((dir_ / "bad.yaml").string()));
  w.ReportEdit->setText(QString::fromStdString(dir_.string()));
  w.StartButton->click();
  EXPECT_FALSE(w.Running());
  EXPECT_EQ(w.StatusLabel->text().toStdString(), "Open the port first: the plan runs on the window's port.");
  test::OpenPortInWindow(*form, 4);
  w.StartButton->click();
  EXPECT_FALSE(w.Running());
  EXPECT_EQ(w.StatusLabel->text().toStdString(), (dir_ / "bad.yaml").string() + ":3:6: unknown key \"expct\" in a step "
                                                  "(known: name, send, send-file, expect, timeout, capture, check, "
                                                  "measure, set, wait, absent, for, transfer, prompt, break, "
                                                  "continue-on-failure, retry)");
}

}  // namespace
}  // namespace zav
