#include "app/PlotView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "app/MainForm.h"
#include "terminal/PlotCsv.h"

namespace zav {

namespace {

constexpr int kLeftMargin = 58, kRightMargin = 12, kBottomMargin = 22, kTopGap = 6;
constexpr int kRepaintMs = 33;
constexpr double kZoomStep = 0.8;  // per wheel notch
constexpr double kMinSpanMs = 1;

// A step of 1, 2 or 5 times a power of ten giving about `count` ticks.
double NiceStep(double span, int count) {
  const double raw = span / std::max(count, 1);
  if (!(raw > 0) || !std::isfinite(raw)) return 1;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 5.0})
    if (raw <= m * power) return m * power;
  return 10 * power;
}

// The point on the segment a-b at x (a lies beyond x).
QPointF AtX(const QPointF& a, const QPointF& b, double x) {
  if (a.x() == b.x()) return {x, b.y()};
  return {x, a.y() + (b.y() - a.y()) * (x - a.x()) / (b.x() - a.x())};
}

}  // namespace

// ---------------------------------------------------------------------------
// The chart

TPlotChart::TPlotChart(const TPlotStore& store, QWidget* parent) : QWidget(parent), store_(store) {
  setObjectName("PlotChart");
  setFocusPolicy(Qt::StrongFocus);
  setMinimumSize(200, 150);
}

QColor TPlotChart::SeriesColor(size_t series) {
  static const QColor kColors[] = {QColor(0x1f, 0x5f, 0xd0), QColor(0xd0, 0x30, 0x20), QColor(0x10, 0x90, 0x30),
                                   QColor(0xe0, 0x80, 0x00), QColor(0x80, 0x30, 0xb0), QColor(0x00, 0x90, 0xa0),
                                   QColor(0xa0, 0x60, 0x30), QColor(0xe0, 0x30, 0xa0)};
  return kColors[series % std::size(kColors)];
}

void TPlotChart::Changed() {
  LayoutLegend(fontMetrics());  // the plot area depends on it
  if (follow_) FollowRange();
  if (autoScale_) ScaleToData();
  update();
  if (OnViewChanged) OnViewChanged();
}

void TPlotChart::SetFollow(bool on) {
  follow_ = on;
  Changed();
}

void TPlotChart::SetWindowSeconds(double seconds) {
  windowMs_ = std::max(seconds * 1000, kMinSpanMs);
  Changed();
}

void TPlotChart::SetView(double t0, double t1) {
  follow_ = false;
  t0_ = t0;
  t1_ = std::max(t1, t0 + kMinSpanMs);
  Changed();
}

void TPlotChart::SetAutoScale(bool on) {
  autoScale_ = on;
  Changed();
}

void TPlotChart::SetLimits(double lo, double hi) {
  autoScale_ = false;
  // Zoomed in no further than the doubles keep apart, so that ticks can be found.
  const double least = 1e-9 * std::max({1.0, std::abs(lo), std::abs(hi)});
  const double mid = lo / 2 + hi / 2;
  if (!(hi - lo >= least)) {
    lo = mid - least / 2;
    hi = mid + least / 2;
  }
  lo_ = lo;
  hi_ = hi;
  Changed();
}

void TPlotChart::SetHidden(size_t series, bool hidden) {
  if (hidden_.size() <= series) hidden_.resize(series + 1, false);
  hidden_[series] = hidden;
  Changed();
}

void TPlotChart::DataChanged() { Changed(); }

void TPlotChart::Reset() {
  hidden_.clear();
  follow_ = true;
  Changed();
}

QRect TPlotChart::LegendEntry(size_t series) const { return series < legend_.size() ? legend_[series] : QRect(); }

QRect TPlotChart::PlotArea() const {
  return rect().adjusted(kLeftMargin, legendHeight_ + kTopGap, -kRightMargin, -kBottomMargin);
}

// The newest data at the right, or the window from the first row while the
// data is shorter than the window.
void TPlotChart::FollowRange() {
  if (store_.Rows() == 0) {
    t0_ = 0;
    t1_ = windowMs_;
    return;
  }
  const double first = double(store_.Time(0)), last = double(store_.Time(store_.Rows() - 1));
  t1_ = std::max(last, first + windowMs_);
  t0_ = t1_ - windowMs_;
}

void TPlotChart::ScaleToData() {
  const size_t from = store_.RowAt(t0_), to = store_.RowAt(std::nextafter(t1_, INFINITY));
  double lo = INFINITY, hi = -INFINITY;
  for (size_t s = 0; s < store_.SeriesCount(); ++s) {
    double l = 0, h = 0;
    if (Hidden(s) || !store_.Range(s, from, to, l, h)) continue;
    lo = std::min(lo, l);
    hi = std::max(hi, h);
  }
  if (lo > hi) {
    lo = 0;
    hi = 1;
  } else if (lo == hi) {
    const double pad = lo == 0 ? 1 : std::abs(lo) * 0.1;
    lo -= pad;
    hi += pad;
  } else {
    const double pad = (hi - lo) * 0.05;
    lo -= pad;
    hi += pad;
  }
  lo_ = lo;
  hi_ = hi;
}

double TPlotChart::XOf(double t, const QRect& area) const {
  return area.left() + (t - t0_) / (t1_ - t0_) * area.width();
}

double TPlotChart::YOf(double v, const QRect& area) const {
  const double y = area.bottom() + 1 - (v - lo_) / (hi_ - lo_) * area.height();
  return std::clamp(y, area.top() - 1e5, area.bottom() + 1e5);  // far off the chart: the slope hardly matters
}

void TPlotChart::LayoutLegend(const QFontMetrics& fm) {
  legend_.clear();
  int x = kLeftMargin, y = 4;
  const int h = fm.height() + 2;
  for (size_t s = 0; s < store_.SeriesCount(); ++s) {
    const int w = 18 + fm.horizontalAdvance(QString::fromStdString(store_.Names()[s])) + 12;
    if (x + w > width() - kRightMargin && x > kLeftMargin) {
      x = kLeftMargin;
      y += h;
    }
    legend_.emplace_back(x, y, w, h);
    x += w;
  }
  legendHeight_ = legend_.empty() ? 0 : y + h;
}

void TPlotChart::resizeEvent(QResizeEvent*) { LayoutLegend(fontMetrics()); }

void TPlotChart::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), Qt::white);
  LayoutLegend(p.fontMetrics());
  const QRect area = PlotArea();
  DrawAxes(p, area);
  p.save();
  p.setClipRect(area);
  for (size_t s = 0; s < store_.SeriesCount(); ++s)
    if (!Hidden(s)) DrawSeries(p, area, s);
  p.restore();
  for (size_t s = 0; s < legend_.size(); ++s) {
    const QRect r = legend_[s];
    const QColor c = Hidden(s) ? QColor(0xb0, 0xb0, 0xb0) : SeriesColor(s);
    p.fillRect(QRect(r.left(), r.center().y() - 5, 12, 10), c);
    p.setPen(Hidden(s) ? c : Qt::black);
    p.drawText(r.adjusted(18, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(store_.Names()[s]));
  }
  if (store_.Rows() == 0) {
    p.setPen(Qt::darkGray);
    p.drawText(area, Qt::AlignCenter, "Waiting for numbers in the received lines");
  }
}

void TPlotChart::DrawAxes(QPainter& p, const QRect& area) {
  const QColor grid(0xe4, 0xe4, 0xe4);
  const double origin = store_.Rows() ? double(store_.Time(0)) : 0;
  const double xStep = NiceStep((t1_ - t0_) / 1000, area.width() / 90);
  const double firstX = std::ceil((t0_ - origin) / 1000 / xStep) * xStep;
  for (int i = 0; i < 1000 && origin + (firstX + i * xStep) * 1000 <= t1_; ++i) {
    const double s = firstX + i * xStep;
    const int x = int(std::lround(XOf(origin + s * 1000, area)));
    p.setPen(grid);
    p.drawLine(x, area.top(), x, area.bottom());
    p.setPen(Qt::black);
    const QString label = QString::number(std::abs(s) < xStep / 2 ? 0.0 : s, 'g', 7);
    const int w = p.fontMetrics().horizontalAdvance(label);
    const int left = std::min(x - w / 2, width() - 2 - w);  // the last label stays whole
    p.drawText(QRect(left, area.bottom() + 3, w + 1, kBottomMargin - 4), Qt::AlignLeft | Qt::AlignTop, label);
  }
  const double yStep = NiceStep(hi_ - lo_, std::max(area.height() / 40, 2));
  const double firstY = std::ceil(lo_ / yStep) * yStep;
  for (int i = 0; i < 1000 && firstY + i * yStep <= hi_; ++i) {
    const double v = firstY + i * yStep;
    const int y = int(std::lround(YOf(v, area)));
    p.setPen(grid);
    p.drawLine(area.left(), y, area.right(), y);
    p.setPen(Qt::black);
    p.drawText(QRect(0, y - 10, kLeftMargin - 4, 20), Qt::AlignRight | Qt::AlignVCenter,
               QString::number(std::abs(v) < yStep / 2 ? 0.0 : v, 'g', 6));
  }
  p.setPen(Qt::black);
  p.drawText(QRect(0, area.bottom() + 3, area.left() - 12, kBottomMargin - 4), Qt::AlignRight | Qt::AlignTop, "s");
  p.drawRect(area.adjusted(0, 0, -1, -1));
}

// Each pixel column's first, least, greatest and last value, joined: every
// spike keeps its pixels however many values share the column.
void TPlotChart::DrawSeries(QPainter& p, const QRect& area, size_t series) {
  const TPlotDecimated d = store_.Decimate(series, t0_, t1_, area.width());
  QVector<QPointF> pts;
  pts.reserve(int(d.Columns.size() * 4 + 2));
  for (size_t x = 0; x < d.Columns.size(); ++x) {
    const TPlotColumn& c = d.Columns[x];
    if (!c.Any) continue;
    const double px = area.left() + double(x) + 0.5;
    for (const double v : {c.First, c.Lo, c.Hi, c.Last}) pts.append(QPointF(px, YOf(v, area)));
  }
  auto point = [&](const TPlotPoint& tp) { return QPointF(XOf(tp.TimeMs, area), YOf(tp.Value, area)); };
  if (d.Before) {
    const QPointF b = point(*d.Before);
    pts.prepend(pts.empty() || b.x() >= area.left() - 2 ? b : AtX(b, pts.front(), area.left() - 2));
  }
  if (d.After) {
    const QPointF a = point(*d.After);
    pts.append(pts.empty() || a.x() <= area.right() + 2 ? a : AtX(a, pts.back(), area.right() + 2));
  }
  if (pts.size() == 2 && d.Columns.size() && d.Before && d.After) {
    // Only neighbours outside: the line between them crosses the view.
    pts = {AtX(pts[0], pts[1], area.left() - 2), AtX(pts[1], pts[0], area.right() + 2)};
  }
  p.setPen(QPen(SeriesColor(series), 1));
  if (pts.size() == 1)
    p.drawPoint(pts[0]);
  else
    p.drawPolyline(pts.constData(), int(pts.size()));
}

void TPlotChart::wheelEvent(QWheelEvent* e) {
  const double notches = e->angleDelta().y() / 120.0;
  if (notches == 0) return;
  const double factor = std::pow(kZoomStep, notches);
  const QRect area = PlotArea();
  const QPointF at = e->position();
  if (e->modifiers() & Qt::ControlModifier) {
    const double v = lo_ + (area.bottom() + 1 - at.y()) / area.height() * (hi_ - lo_);
    SetLimits(v - (v - lo_) * factor, v + (hi_ - v) * factor);
  } else {
    const double t = t0_ + (at.x() - area.left()) / area.width() * (t1_ - t0_);
    SetView(t - (t - t0_) * factor, t + (t1_ - t) * factor);
  }
  e->accept();
}

void TPlotChart::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  for (size_t s = 0; s < legend_.size(); ++s) {
    if (legend_[s].contains(e->position().toPoint())) {
      SetHidden(s, !Hidden(s));
      return;
    }
  }
  dragFrom_ = e->position().toPoint();
  dragT0_ = t0_;
  dragT1_ = t1_;
  dragLo_ = lo_;
  dragHi_ = hi_;
}

void TPlotChart::mouseMoveEvent(QMouseEvent* e) {
  if (!dragFrom_) return;
  const QRect area = PlotArea();
  const QPoint d = e->position().toPoint() - *dragFrom_;
  const double dt = -d.x() * (dragT1_ - dragT0_) / std::max(area.width(), 1);
  if (!autoScale_) {
    const double dv = d.y() * (dragHi_ - dragLo_) / std::max(area.height(), 1);
    lo_ = dragLo_ + dv;
    hi_ = dragHi_ + dv;
  }
  SetView(dragT0_ + dt, dragT1_ + dt);
}

void TPlotChart::mouseReleaseEvent(QMouseEvent*) { dragFrom_.reset(); }

void TPlotChart::keyPressEvent(QKeyEvent* e) {
  switch (e->key()) {
    case Qt::Key_F:
    case Qt::Key_End:
      SetFollow(true);
      break;
    case Qt::Key_Space:
      SetFollow(!follow_);
      break;
    case Qt::Key_A:
      SetAutoScale(true);
      break;
    case Qt::Key_Plus:
    case Qt::Key_Minus: {
      const double mid = (t0_ + t1_) / 2,
                   half = (t1_ - t0_) / 2 * (e->key() == Qt::Key_Plus ? kZoomStep : 1 / kZoomStep);
      SetView(mid - half, mid + half);
      break;
    }
    default:
      QWidget::keyPressEvent(e);
  }
}

// ---------------------------------------------------------------------------
// The view: controls, parser, store

TPlotView::TPlotView(QWidget* parent) : QWidget(parent), parser_(std::make_unique<TPlotParser>()) {
  setObjectName("PlotView");
  setAutoFillBackground(true);
  chart_ = new TPlotChart(store_, this);
  BuildControls();
  chart_->OnViewChanged = [this] { ViewChanged(); };
  repaint_ = new QTimer(this);
  repaint_->setSingleShot(true);
  repaint_->setInterval(kRepaintMs);
  connect(repaint_, &QTimer::timeout, this, [this] { Refresh(); });
  saveTimer_ = new QTimer(this);
  saveTimer_->setInterval(0);
  connect(saveTimer_, &QTimer::timeout, this, [this] { TForm1::Guard([this] { SaveStep(SaveStepRows); }); });
  RefreshStatus();
}

TPlotView::~TPlotView() = default;

void TPlotView::BuildControls() {
  FormatBox = new QComboBox(this);
  FormatBox->setEditable(true);
  FormatBox->addItems({"auto", "numbers", "labels"});
  FormatBox->setToolTip(
      "How lines are read: auto, numbers, labels, or a regular expression with groups.\n"
      "A new format starts a new plot.");
  FormatBox->setMinimumContentsLength(14);
  WindowBox = new QDoubleSpinBox(this);
  WindowBox->setRange(0.1, 86'400);
  WindowBox->setValue(10);
  WindowBox->setSuffix(" s");
  WindowBox->setToolTip("The time shown while following the newest data");
  PauseButton = new QPushButton("Pause", this);
  PauseButton->setCheckable(true);
  PauseButton->setToolTip("Stop following (values go on being kept); F or End follows again");
  AutoBox = new QCheckBox("Auto", this);
  AutoBox->setChecked(true);
  AutoBox->setToolTip("Scale to the visible data; off: the limits typed in (Enter applies them)");
  LowEdit = new QLineEdit(this);
  HighEdit = new QLineEdit(this);
  for (QLineEdit* e : {LowEdit, HighEdit}) e->setFixedWidth(70);
  LowEdit->setPlaceholderText("low");
  HighEdit->setPlaceholderText("high");
  ClearButton = new QPushButton("Clear", this);
  SaveDataButton = new QPushButton("Save data...", this);
  SavePictureButton = new QPushButton("Save picture...", this);
  Status = new QLabel(this);

  auto* top = new QHBoxLayout;
  for (QWidget* w : std::initializer_list<QWidget*>{FormatBox, WindowBox, PauseButton, AutoBox, LowEdit, HighEdit})
    top->addWidget(w);
  top->addStretch();
  auto* second = new QHBoxLayout;
  for (QWidget* w : std::initializer_list<QWidget*>{ClearButton, SaveDataButton, SavePictureButton, Status})
    second->addWidget(w);
  second->addStretch();
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(2, 2, 2, 2);
  column->addLayout(top);
  column->addLayout(second);
  column->addWidget(chart_, 1);

  auto guarded = [](auto f) { return [f] { TForm1::Guard(f); }; };
  connect(FormatBox, &QComboBox::textActivated, this, [this](const QString& text) {
    TForm1::Guard([&] {
      try {
        SetFormat(text.toStdString());
      } catch (...) {
        // A bad pattern leaves neither the list nor the box: they show the format in use.
        if (const int bad = FormatBox->findText(text); bad >= 3) FormatBox->removeItem(bad);
        FormatBox->setEditText(QString::fromStdString(Format()));
        throw;
      }
    });
  });
  connect(WindowBox, &QDoubleSpinBox::valueChanged, this, [this](double s) { chart_->SetWindowSeconds(s); });
  connect(PauseButton, &QPushButton::toggled, this, [this](bool on) { chart_->SetFollow(!on); });
  connect(AutoBox, &QCheckBox::toggled, this, [this](bool on) {
    if (on)
      chart_->SetAutoScale(true);
    else
      ApplyLimits();
  });
  for (QLineEdit* e : {LowEdit, HighEdit}) connect(e, &QLineEdit::returnPressed, this, [this] { ApplyLimits(); });
  connect(ClearButton, &QPushButton::clicked, this, guarded([this] { Clear(); }));
  connect(SaveDataButton, &QPushButton::clicked, this, guarded([this] { AskAndSave(true); }));
  connect(SavePictureButton, &QPushButton::clicked, this, guarded([this] { AskAndSave(false); }));
}

// The typed limits, when both are numbers and low is below high; otherwise
// the status says why and the scale stays as it is.
void TPlotView::ApplyLimits() {
  const auto lo = ParsePlotNumber(LowEdit->text().trimmed().toStdString());
  const auto hi = ParsePlotNumber(HighEdit->text().trimmed().toStdString());
  if (!lo || !hi || !std::isfinite(*lo) || !std::isfinite(*hi) || !(*lo < *hi)) {
    Status->setText("Limits: type two numbers, low below high, then Enter");
    return;
  }
  AutoBox->blockSignals(true);
  AutoBox->setChecked(false);
  AutoBox->blockSignals(false);
  chart_->SetLimits(*lo, *hi);
  RefreshStatus();
}

void TPlotView::ViewChanged() {
  PauseButton->blockSignals(true);
  PauseButton->setChecked(!chart_->Follow());
  PauseButton->blockSignals(false);
  AutoBox->blockSignals(true);
  AutoBox->setChecked(chart_->AutoScale());
  AutoBox->blockSignals(false);
  if (!chart_->AutoScale() && !LowEdit->hasFocus() && !HighEdit->hasFocus()) {
    LowEdit->setText(QString::number(chart_->Low(), 'g', 6));
    HighEdit->setText(QString::number(chart_->High(), 'g', 6));
  }
}

void TPlotView::RefreshStatus() {
  QString text =
      QString("%1 rows, %2 values, %3 skipped").arg(store_.Rows()).arg(store_.Values()).arg(parser_->Skipped());
  if (dropped_) text += QString("; FULL: %1 rows not kept, Save data and Clear").arg(dropped_);
  if (save_) text += QString("; saving %1%").arg(save_->Total() ? save_->Done() * 100 / save_->Total() : 100);
  Status->setText(text);
  Status->setStyleSheet(dropped_ ? "color: #c00000;" : "");
}

void TPlotView::Received(const uint8_t* data, size_t count, const TLogTime& now) {
  const uint64_t lines = parser_->Lines();
  const std::vector<TPlotRow> rows = parser_->Feed({reinterpret_cast<const char*>(data), count}, now);
  for (const TPlotRow& row : rows) {
    if ((store_.Rows() + 1) * std::max<size_t>(row.Cells.size(), 1) > MaxValues)
      ++dropped_;
    else
      store_.Add(row, parser_->Names());
  }
  if (parser_->Lines() != lines && isVisible() && !repaint_->isActive()) repaint_->start();
}

void TPlotView::showEvent(QShowEvent*) { Refresh(); }

void TPlotView::Refresh() {
  chart_->DataChanged();
  RefreshStatus();
}

void TPlotView::SetFormat(const std::string& text) {
  const TPlotFormat format = TPlotFormat::FromText(text);
  if (format.Text() == format_.Text()) return;          // the same again keeps the plot
  auto parser = std::make_unique<TPlotParser>(format);  // a bad pattern throws before anything changes
  SaveStep(size_t(-1));
  format_ = format;
  parser_ = std::move(parser);
  dropped_ = 0;
  store_.Clear();
  chart_->Reset();
  if (FormatBox->currentText().toStdString() != text) FormatBox->setEditText(QString::fromStdString(text));
  RefreshStatus();
}

void TPlotView::Clear() {
  SaveStep(size_t(-1));  // the rows a save is writing go once it has them
  parser_ = std::make_unique<TPlotParser>(format_);
  dropped_ = 0;
  store_.Clear();
  chart_->Reset();
  RefreshStatus();
}

void TPlotView::SaveData(const std::string& path) const { SavePlotCsv(store_, path); }

void TPlotView::StartSave(const std::string& path) {
  SaveStep(size_t(-1));  // one save at a time
  save_ = std::make_unique<TPlotCsvSave>(store_, path);
  saveTimer_->start();
  RefreshStatus();
}

// The next rows of the save under way; on an error the save ends and the
// error goes on to the caller.
void TPlotView::SaveStep(size_t rows) {
  if (!save_) return;
  bool done = true;
  try {
    done = save_->Step(rows);
  } catch (...) {
    save_.reset();
    saveTimer_->stop();
    RefreshStatus();
    throw;
  }
  if (done) {
    save_.reset();
    saveTimer_->stop();
  }
  RefreshStatus();
}

void TPlotView::SavePicture(const std::string& path) const {
  if (!chart_->grab().toImage().save(QString::fromStdString(path), "PNG"))
    throw std::runtime_error("cannot write the picture to " + path);
}

void TPlotView::AskAndSave(bool data) {
  std::optional<std::string> path;
  if (TChooser& chooser = data ? DataChooser : PictureChooser) {
    path = chooser();
  } else {
    const QString chosen =
        data ? QFileDialog::getSaveFileName(window(), "Save data", "plot.csv", "CSV (*.csv);;All files (*)")
             : QFileDialog::getSaveFileName(window(), "Save picture", "plot.png", "PNG (*.png)");
    if (!chosen.isEmpty()) path = chosen.toStdString();
  }
  if (!path) return;
  if (data)
    StartSave(*path);
  else
    SavePicture(*path);
}

}  // namespace zav
