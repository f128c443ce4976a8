// The plot beside the terminal: the numbers in the received lines drawn as
// one chart over time, a colour and a legend entry per series.
//
// TPlotChart draws a TPlotStore with QPainter, a few points per pixel column
// (each column's first, least, greatest and last value), so any zoom of any
// amount of data costs about the same. It follows the newest data (the last
// N seconds) until the view is zoomed, panned or paused; F or End follows
// again. Wheel: zoom the time axis at the pointer (Ctrl+wheel: the value
// axis); drag: pan; a click on a legend entry hides or shows its series;
// Space pauses; A scales to the visible data again.
//
// TPlotView holds the parser and the store (every value since the last
// Clear), the controls above the chart and the saving of CSV and PNG.
// GUI thread only.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "terminal/PlotCsv.h"
#include "terminal/PlotParser.h"
#include "terminal/PlotStore.h"

class QCheckBox;
class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace zav {

class TPlotChart : public QWidget {
 public:
  TPlotChart(const TPlotStore& store, QWidget* parent);

  // The series' colours, in order of appearance.
  static QColor SeriesColor(size_t series);

  // The time axis, ms on the store's time line.
  void SetFollow(bool on);
  bool Follow() const { return follow_; }
  void SetWindowSeconds(double seconds);
  void SetView(double t0, double t1);  // stops following
  double ViewStart() const { return t0_; }
  double ViewEnd() const { return t1_; }

  // The value axis: the visible data's range, or fixed limits.
  void SetAutoScale(bool on);
  bool AutoScale() const { return autoScale_; }
  void SetLimits(double lo, double hi);  // fixed limits; lo < hi
  double Low() const { return lo_; }
  double High() const { return hi_; }

  void SetHidden(size_t series, bool hidden);
  bool Hidden(size_t series) const { return series < hidden_.size() && hidden_[series]; }
  // Where the legend entry of a series is (empty once it is not drawn).
  QRect LegendEntry(size_t series) const;
  QRect PlotArea() const;

  // The store changed: the view moves on if it follows.
  void DataChanged();
  // The store was cleared.
  void Reset();

  // Told when the view leaves or joins follow mode, or the scale changes.
  std::function<void()> OnViewChanged;

 protected:
  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void wheelEvent(QWheelEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;

 private:
  void FollowRange();
  void ScaleToData();
  void LayoutLegend(const QFontMetrics& fm);
  void DrawAxes(QPainter& p, const QRect& area);
  void DrawSeries(QPainter& p, const QRect& area, size_t series);
  double XOf(double t, const QRect& area) const;
  double YOf(double v, const QRect& area) const;
  void Changed();

  const TPlotStore& store_;
  bool follow_ = true;
  double windowMs_ = 10'000;
  double t0_ = 0, t1_ = 10'000;
  bool autoScale_ = true;
  double lo_ = 0, hi_ = 1;
  std::vector<bool> hidden_;
  std::vector<QRect> legend_;
  int legendHeight_ = 0;
  std::optional<QPoint> dragFrom_;
  double dragT0_ = 0, dragT1_ = 0, dragLo_ = 0, dragHi_ = 0;
};

class TPlotView : public QWidget {
 public:
  explicit TPlotView(QWidget* parent);
  ~TPlotView() override;

  // Bytes the terminal received at `now`.
  void Received(const uint8_t* data, size_t count, const TLogTime& now);
  // Brings the chart and the status up to the rows now (a timer does it
  // while rows come in).
  void Refresh();

  // "auto", "numbers", "labels" or a pattern. A new format starts a new plot
  // (the one in use again changes nothing); throws std::invalid_argument for
  // a bad pattern (the old one stays).
  void SetFormat(const std::string& text);
  std::string Format() const { return format_.Text(); }
  void Clear();
  // Throws std::runtime_error with the system's reason.
  void SaveData(const std::string& path) const;
  // Save data... writes in steps of this many rows between which the window
  // goes on (the rows kept when it began; Clear or a new format first
  // finishes it).
  void StartSave(const std::string& path);
  bool Saving() const { return save_ != nullptr; }
  size_t SaveStepRows = 50'000;
  void SavePicture(const std::string& path) const;

  const TPlotStore& Store() const { return store_; }
  // Rows parsed but not kept because the store was full (see kMaxValues).
  uint64_t Dropped() const { return dropped_; }
  // The most values kept (about 8 bytes each, and 8 a row): past it rows
  // are counted, not kept, and the status asks for Save data and Clear.
  size_t MaxValues = 200'000'000;
  const TPlotParser& Parser() const { return *parser_; }
  TPlotChart* Chart() const { return chart_; }

  // Ask for the file to save to; nothing for a cancel. Tests replace them.
  using TChooser = std::function<std::optional<std::string>()>;
  TChooser DataChooser, PictureChooser;

  // The controls (kept for the tests, which use them as a person would).
  QComboBox* FormatBox = nullptr;
  QDoubleSpinBox* WindowBox = nullptr;
  QPushButton* PauseButton = nullptr;
  QCheckBox* AutoBox = nullptr;
  QLineEdit* LowEdit = nullptr;
  QLineEdit* HighEdit = nullptr;
  QPushButton* ClearButton = nullptr;
  QPushButton* SaveDataButton = nullptr;
  QPushButton* SavePictureButton = nullptr;
  QLabel* Status = nullptr;

 protected:
  void showEvent(QShowEvent*) override;

 private:
  void BuildControls();
  void ApplyLimits();
  void ViewChanged();
  void RefreshStatus();
  void AskAndSave(bool data);
  void SaveStep(size_t rows);

  TPlotFormat format_;
  std::unique_ptr<TPlotParser> parser_;
  TPlotStore store_;
  TPlotChart* chart_ = nullptr;
  QTimer* repaint_ = nullptr;  // one redraw per tick however many reads came
  uint64_t dropped_ = 0;
  std::unique_ptr<TPlotCsvSave> save_;
  QTimer* saveTimer_ = nullptr;
};

}  // namespace zav
