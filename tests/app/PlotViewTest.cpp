// The plot beside the terminal: opened from the terminal's menu and fed by
// the port, and, on a fixed data set, what the chart draws (every spike, the
// limits typed in, only the series shown), how it follows, zooms and pauses,
// and what it saves.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWheelEvent>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "app/PlotView.h"
#include "app/TerminalMenu.h"
#include "serial/QxPort.h"
#include "tests/app/BenchWindowFixture.h"

namespace zav {
namespace {

using test::PumpQtUntil;

TLogTime At(int64_t ms) { return TLogTime{ms, ms}; }

void Feed(TPlotView& view, const std::string& text, int64_t ms) {
  view.Received(reinterpret_cast<const uint8_t*>(text.data()), text.size(), At(ms));
}

std::vector<std::string> CsvValues(const std::string& csv) {
  std::vector<std::string> out;
  std::istringstream in(csv);
  for (std::string line; std::getline(in, line);) out.push_back(line.substr(line.find(',', line.find(',') + 1) + 1));
  return out;
}

class PlotViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetErrorBox([this](const std::string& text) { errors.push_back(text); });
    view.resize(640, 480);
    view.show();
  }
  void TearDown() override { SetErrorBox({}); }

  QImage Picture() { return view.Chart()->grab().toImage(); }
  // The chart catches up with the rows on its next tick; the status shows it.
  void Settle() {
    const QString rows = QString("%1 rows").arg(view.Store().Rows());
    ASSERT_TRUE(PumpQtUntil([&] { return view.Status->text().startsWith(rows); })) << view.Status->text().toStdString();
  }
  // Pixels of `color` in the chart's plot area (the legend lies outside it).
  int Count(const QImage& image, const QColor& color, QRect within = {}) const {
    if (within.isNull()) within = view.Chart()->PlotArea();
    int n = 0;
    for (int y = within.top(); y <= within.bottom(); ++y)
      for (int x = within.left(); x <= within.right(); ++x) n += image.pixelColor(x, y) == color;
    return n;
  }
  // The rows of the pixels of `color` in column x of the plot area.
  std::vector<int> RowsAt(const QImage& image, const QColor& color, int x) const {
    std::vector<int> rows;
    const QRect a = view.Chart()->PlotArea();
    for (int y = a.top(); y <= a.bottom(); ++y)
      if (image.pixelColor(x, y) == color) rows.push_back(y);
    return rows;
  }
  void TypeLimits(const QString& lo, const QString& hi) {
    view.LowEdit->setText(lo);
    view.HighEdit->setText(hi);
    emit view.HighEdit->returnPressed();
  }

  test::ScratchDir scratch{"zavplot"};
  std::vector<std::string> errors;
  TPlotView view{nullptr};
};

// A fixed data set drawn at a fixed size is the picture kept beside the tests:
// three series (a slow wave, a fast one with a gap, a ramp with a spike), fixed
// limits. Font rendering may differ by a few pixels between machines, so up to
// 0.1% of the pixels may differ clearly; a wrong scale, colour or axis, or a
// series missing (some 600 pixels), changes more. ZAV_WRITE_REFERENCE=1
// writes the picture anew.
TEST_F(PlotViewTest, AFixedDataSetDrawsTheReferencePicture) {
  view.resize(640, 480);
  Feed(view, "slow,fast,ramp\n", 0);
  for (int i = 0; i < 3000; ++i) {
    const double t = i / 100.0;
    std::ostringstream line;
    line << 20 + 3 * std::sin(t / 5) << ',';
    if (i < 1400 || i > 1600) line << 30 + 4 * std::sin(t * 2);
    line << ',' << (i == 1750 ? 58.0 : 20 + t / 2) << '\n';
    Feed(view, line.str(), i * 10);
  }
  TypeLimits("15", "60");
  view.Chart()->SetView(0, 30'000);
  Settle();
  const QImage got = Picture().convertToFormat(QImage::Format_RGB32);
  const QString path = ZAV_APP_TEST_DATA "/plot_reference.png";
  if (std::getenv("ZAV_WRITE_REFERENCE") != nullptr) {
    ASSERT_TRUE(got.save(path));
  }
  const QImage want = QImage(path).convertToFormat(QImage::Format_RGB32);
  ASSERT_FALSE(want.isNull()) << "no reference picture at " << path.toStdString();
  ASSERT_EQ(got.size(), want.size());
  int differ = 0;
  for (int y = 0; y < got.height(); ++y)
    for (int x = 0; x < got.width(); ++x) {
      const QColor a = got.pixelColor(x, y), b = want.pixelColor(x, y);
      differ += std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue()) > 96;
    }
  EXPECT_LE(differ, got.width() * got.height() / 1000) << differ << " pixels differ from " << path.toStdString();
}

// One row every millisecond, all 0 but one; the whole run in view: the spike
// keeps its pixels in its own column though 150 rows share each column.
TEST_F(PlotViewTest, ASpikeAmongAHundredThousandValuesIsDrawn) {
  for (int i = 0; i < 100'000; ++i) Feed(view, i == 54'321 ? "100\n" : "0\n", i);
  view.Chart()->SetView(0, 100'000);
  const QImage image = Picture();
  const QRect a = view.Chart()->PlotArea();
  const QColor blue = TPlotChart::SeriesColor(0);
  const int spikeX = a.left() + int(54'321.0 / 100'000 * a.width());
  const std::vector<int> rows = RowsAt(image, blue, spikeX);
  ASSERT_FALSE(rows.empty());
  EXPECT_LE(rows.front(), a.top() + a.height() / 10);  // up to the top (auto scale: 5% above 100)
  EXPECT_GE(rows.back(), a.bottom() - a.height() / 10);
  int columnsReachingUp = 0;
  for (int x = a.left(); x <= a.right(); ++x)
    columnsReachingUp += Count(image, blue, {x, a.top(), 1, a.height() / 2}) > 0;
  EXPECT_LE(columnsReachingUp, 2);  // the spike, and at most the line into the next column
  EXPECT_EQ(view.Store().Rows(), 100'000u);
}

TEST_F(PlotViewTest, LimitsTypedInAreHonouredAndBadOnesRefused) {
  for (int i = 0; i < 1000; ++i) Feed(view, "5 20\n", i * 10);
  view.Chart()->SetView(0, 10'000);
  TypeLimits("0", "10");
  EXPECT_FALSE(view.AutoBox->isChecked());
  EXPECT_EQ(view.Chart()->Low(), 0);
  EXPECT_EQ(view.Chart()->High(), 10);
  const QImage image = Picture();
  const QRect a = view.Chart()->PlotArea();
  const std::vector<int> rows = RowsAt(image, TPlotChart::SeriesColor(0), a.center().x());
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_NEAR(rows[0], a.top() + a.height() / 2, 1);
  EXPECT_EQ(Count(image, TPlotChart::SeriesColor(1)), 0);  // 20 lies above the chart

  for (const auto& [lo, hi] :
       std::vector<std::pair<QString, QString>>{{"5", "5"}, {"x", "3"}, {"1", ""}, {"nan", "1"}}) {
    TypeLimits(lo, hi);
    EXPECT_EQ(view.Chart()->High(), 10) << lo.toStdString();
    EXPECT_TRUE(view.Status->text().startsWith("Limits:"));
  }
  view.AutoBox->setChecked(true);
  EXPECT_GT(view.Chart()->High(), 20);
  EXPECT_LT(view.Chart()->Low(), 5);
}

TEST_F(PlotViewTest, AClickOnALegendEntryHidesItsSeries) {
  for (int i = 0; i < 200; ++i)
    Feed(view, "a:" + std::to_string(i % 10) + " b:" + std::to_string(50 + i % 7) + "\n", i * 20);
  Settle();
  Picture();  // lays the legend out
  const QColor a = TPlotChart::SeriesColor(0), b = TPlotChart::SeriesColor(1);
  ASSERT_GT(Count(Picture(), b), 0);
  const QRect entry = view.Chart()->LegendEntry(1);
  ASSERT_FALSE(entry.isEmpty());
  for (const bool hidden : {true, false}) {
    QMouseEvent press(QEvent::MouseButtonPress, entry.center(), view.Chart()->mapToGlobal(entry.center()),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view.Chart(), &press);
    EXPECT_EQ(view.Chart()->Hidden(1), hidden);
    const QImage image = Picture();
    EXPECT_GT(Count(image, a), 0);
    EXPECT_EQ(Count(image, b) > 0, !hidden);
    if (hidden) {
      EXPECT_LT(view.Chart()->High(), 15);  // the auto scale covers only what is shown
    }
  }
}

// Follows the newest rows over the window; a wheel notch zooms at the pointer
// and stops following (Pause shows it); the rows go on being kept; F follows.
TEST_F(PlotViewTest, FollowZoomPauseAndBack) {
  view.WindowBox->setValue(2);
  for (int i = 0; i < 500; ++i) Feed(view, std::to_string(i) + "\n", 1000 + i * 10);
  Settle();
  TPlotChart& chart = *view.Chart();
  EXPECT_TRUE(chart.Follow());
  EXPECT_EQ(chart.ViewEnd(), 1000 + 499 * 10);
  EXPECT_EQ(chart.ViewEnd() - chart.ViewStart(), 2000);

  const QRect a = chart.PlotArea();
  const QPointF at(a.left() + a.width() / 2.0, a.center().y());
  QWheelEvent wheel(at, chart.mapToGlobal(at), {}, {0, 120}, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(&chart, &wheel);
  EXPECT_FALSE(chart.Follow());
  EXPECT_TRUE(view.PauseButton->isChecked());
  EXPECT_NEAR(chart.ViewEnd() - chart.ViewStart(), 1600, 1e-6);
  EXPECT_NEAR((chart.ViewEnd() + chart.ViewStart()) / 2, 5990 - 1000, 1e-6);

  const double end = chart.ViewEnd();
  Feed(view, "1000\n", 7000);
  Settle();
  EXPECT_EQ(chart.ViewEnd(), end);  // paused: the view stays

  QKeyEvent key(QEvent::KeyPress, Qt::Key_F, Qt::NoModifier, "f");
  QApplication::sendEvent(&chart, &key);
  EXPECT_TRUE(chart.Follow());
  EXPECT_FALSE(view.PauseButton->isChecked());
  EXPECT_EQ(chart.ViewEnd(), 7000);
  view.PauseButton->click();
  EXPECT_FALSE(chart.Follow());
}

// A drag to the right shows earlier times by as much; Ctrl+wheel zooms the
// values about the pointer and fixes the limits; A scales to the data again.
TEST_F(PlotViewTest, DragPansAndCtrlWheelZoomsTheValues) {
  for (int i = 0; i <= 100; ++i) Feed(view, std::to_string(i) + "\n", i * 100);
  Settle();
  TPlotChart& chart = *view.Chart();
  chart.SetView(0, 10'000);
  chart.SetLimits(0, 100);
  const QRect a = chart.PlotArea();
  const QPoint from = a.center(), to = from + QPoint(a.width() / 4, a.height() / 4);
  auto mouse = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
    QMouseEvent e(type, at, chart.mapToGlobal(at), Qt::LeftButton, buttons, Qt::NoModifier);
    QApplication::sendEvent(&chart, &e);
  };
  mouse(QEvent::MouseButtonPress, from, Qt::LeftButton);
  mouse(QEvent::MouseMove, to, Qt::LeftButton);
  mouse(QEvent::MouseButtonRelease, to, Qt::NoButton);
  EXPECT_NEAR(chart.ViewStart(), -2500, 10'000.0 / a.width());
  EXPECT_NEAR(chart.ViewEnd(), 7500, 10'000.0 / a.width());
  EXPECT_NEAR(chart.Low(), 25, 100.0 / a.height());  // fixed limits pan with it
  EXPECT_FALSE(chart.Follow());

  chart.SetLimits(0, 100);
  const QPointF at(a.center().x(), a.top() + a.height() / 4.0);  // the value 75
  QWheelEvent wheel(at, chart.mapToGlobal(at), {}, {0, 240}, Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase,
                    false);
  QApplication::sendEvent(&chart, &wheel);
  EXPECT_NEAR(chart.Low(), 75 - 75 * 0.64, 0.5);
  EXPECT_NEAR(chart.High(), 75 + 25 * 0.64, 0.5);
  EXPECT_FALSE(view.AutoBox->isChecked());
  EXPECT_EQ(view.HighEdit->text().toDouble(), chart.High());
  QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
  QApplication::sendEvent(&chart, &key);
  EXPECT_TRUE(view.AutoBox->isChecked());
  EXPECT_LT(chart.High(), 80);  // 0..75 are in view, with a margin

  // Zoomed in far past what doubles tell apart, on both axes: still drawn.
  for (const auto modifiers : {Qt::ControlModifier, Qt::NoModifier}) {
    for (int i = 0; i < 100; ++i) {
      QWheelEvent in(at, chart.mapToGlobal(at), {}, {0, 1200}, Qt::NoButton, modifiers, Qt::NoScrollPhase, false);
      QApplication::sendEvent(&chart, &in);
    }
  }
  EXPECT_GT(chart.High(), chart.Low());
  EXPECT_GT(chart.ViewEnd(), chart.ViewStart());
  EXPECT_FALSE(Picture().isNull());
}

// A full store keeps what it has, counts the rest and says so; Clear starts
// over.
TEST_F(PlotViewTest, AFullStoreCountsTheRowsItCannotKeep) {
  view.MaxValues = 30;
  for (int i = 0; i < 12; ++i) Feed(view, "1 2 3\n", i);
  view.Refresh();
  EXPECT_EQ(view.Store().Rows(), 10u);
  EXPECT_EQ(view.Dropped(), 2u);
  EXPECT_TRUE(view.Status->text().contains("FULL: 2 rows not kept")) << view.Status->text().toStdString();
  view.ClearButton->click();
  Feed(view, "4 5 6\n", 20);
  view.Refresh();
  EXPECT_EQ(view.Store().Rows(), 1u);
  EXPECT_FALSE(view.Status->text().contains("FULL"));
}

// Save data writes every row as the device sent it; Save picture writes the
// chart as shown; a format typed in starts a new plot, a bad one is refused.
TEST_F(PlotViewTest, SaveDataAndPictureAndChangeTheFormat) {
  const std::string sent = "v1,v2\r\n1.5,-2\r\n3e-05,\r\nnan,7\r\n";
  for (size_t i = 0; i < sent.size(); i += 4) Feed(view, sent.substr(i, 4), int64_t(i));
  const std::string csv = (scratch.path() / "plot.csv").string(), png = (scratch.path() / "plot.png").string();
  view.DataChooser = [&] { return std::optional<std::string>(csv); };
  view.PictureChooser = [&] { return std::optional<std::string>(png); };
  view.SaveDataButton->click();
  ASSERT_TRUE(PumpQtUntil([&] { return !view.Saving(); }));
  view.SavePictureButton->click();
  ASSERT_TRUE(errors.empty()) << errors.front();
  EXPECT_EQ(CsvValues(test::ReadFile(csv)), (std::vector<std::string>{"v1,v2", "1.5,-2", "3e-05,", "nan,7"}));
  const QImage saved(QString::fromStdString(png));
  EXPECT_EQ(saved.size(), view.Chart()->size());
  EXPECT_EQ(saved.convertToFormat(QImage::Format_RGB32), Picture().convertToFormat(QImage::Format_RGB32));

  view.PictureChooser = [&] { return std::optional<std::string>((scratch.path() / "no" / "x.png").string()); };
  view.SavePictureButton->click();
  ASSERT_EQ(errors.size(), 1u);

  view.FormatBox->setEditText(R"(T=(?<temp>\d+))");
  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
  QApplication::sendEvent(view.FormatBox->lineEdit(), &enter);  // typed in, then Enter
  EXPECT_EQ(view.Format(), R"(T=(?<temp>\d+))");
  EXPECT_EQ(view.Store().Rows(), 0u);
  Feed(view, "T=21\n", 100);
  EXPECT_EQ(view.Store().Names(), std::vector<std::string>{"temp"});
  view.FormatBox->setEditText("T=(\\d");
  QApplication::sendEvent(view.FormatBox->lineEdit(), &enter);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(view.FormatBox->currentText().toStdString(), view.Format());
  EXPECT_EQ(view.FormatBox->findText("T=(\\d"), -1);
  EXPECT_NE(errors[1].find("bad pattern"), std::string::npos) << errors[1];
  EXPECT_EQ(view.Store().Rows(), 1u);  // the plot before the bad pattern stays
}

// A long save goes in steps while rows keep coming: the file has the rows
// kept when it began; Clear in the middle lets it finish first; a write
// error ends it and is reported.
TEST_F(PlotViewTest, SaveDataGoesInStepsAndHoldsTheRowsOfItsStart) {
  view.SaveStepRows = 3;
  for (int i = 0; i < 10; ++i) Feed(view, std::to_string(i) + "\n", i);
  const std::string csv = (scratch.path() / "steps.csv").string();
  view.DataChooser = [&] { return std::optional<std::string>(csv); };
  view.SaveDataButton->click();
  ASSERT_TRUE(view.Saving());
  EXPECT_TRUE(view.Status->text().contains("saving 0%")) << view.Status->text().toStdString();
  Feed(view, "10\nlabel:1\n", 10);  // a row, and a line of another format (skipped)
  ASSERT_TRUE(PumpQtUntil([&] { return !view.Saving(); }));
  std::vector<std::string> expected = {"1"};
  for (int i = 0; i < 10; ++i) expected.push_back(std::to_string(i));
  EXPECT_EQ(CsvValues(test::ReadFile(csv)), expected);
  EXPECT_EQ(view.Store().Rows(), 11u);

  view.SaveDataButton->click();
  view.ClearButton->click();
  EXPECT_FALSE(view.Saving());
  EXPECT_EQ(CsvValues(test::ReadFile(csv)).size(), 12u);
  EXPECT_EQ(view.Store().Rows(), 0u);

  for (int i = 0; i < 10; ++i) Feed(view, "1\n", i);
  view.DataChooser = [] { return std::optional<std::string>("/dev/full"); };
  view.SaveDataButton->click();
  ASSERT_TRUE(PumpQtUntil([&] { return !view.Saving(); }));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("No space left on device"), std::string::npos) << errors[0];
}

// In the window: Plot opens the view beside the terminal, fed by the port
// from the start; closing it gives the window its size back.
class PlotInWindowTest : public test::BenchWindowTest {};

TEST_F(PlotInWindowTest, PlotShowsBesideTheTerminalWhatThePortReceives) {
  TTerminalMenu& menu = *form->TerminalMenu;
  const QSize narrow = form->size();
  test::OpenPortInWindow(*form, 4);
  ASSERT_TRUE(form->MroComPort1->Open()) << (errors.empty() ? "" : errors.back());
  const std::string sent = "temp:21.5 rpm:1200\r\ntemp:22 rpm:1250\r\n";
  ASSERT_EQ(write(master_, sent.data(), sent.size()), ssize_t(sent.size()));
  ASSERT_TRUE(PumpQtUntil([&] { return menu.Plot()->Store().Rows() == 2; }));
  EXPECT_FALSE(menu.Plot()->isVisible());

  menu.PlotAction->trigger();
  EXPECT_TRUE(menu.PlotShown());
  EXPECT_TRUE(menu.Plot()->isVisible());
  EXPECT_TRUE(form->QxTerminal1->isVisible());
  EXPECT_GT(form->width(), narrow.width());
  EXPECT_GE(menu.Plot()->geometry().left(), form->QxTerminal1->geometry().right());
  EXPECT_LE(menu.Plot()->geometry().right(), form->width());
  EXPECT_EQ(menu.Plot()->Store().Names(), (std::vector<std::string>{"temp", "rpm"}));
  const std::string more = "temp:23 rpm:1300\r\n";
  ASSERT_EQ(write(master_, more.data(), more.size()), ssize_t(more.size()));
  ASSERT_TRUE(PumpQtUntil([&] { return menu.Plot()->Status->text().startsWith("3 rows, 6 values"); }))
      << menu.Plot()->Status->text().toStdString();

  menu.PlotAction->trigger();
  EXPECT_FALSE(menu.Plot()->isVisible());
  EXPECT_EQ(form->size(), narrow);
  EXPECT_TRUE(errors.empty()) << errors.front();
}

}  // namespace
}  // namespace zav
