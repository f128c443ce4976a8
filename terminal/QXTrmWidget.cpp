#include "terminal/QXTrmWidget.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGlyphRun>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "serial/QwUser.h"
#include "serial/QxPort.h"
#include "terminal/ScreenDump.h"

namespace zav {

// ---------------------------------------------------------------------------
// TzzByteQueue

void TzzByteQueue::Check(size_t n) const {
  if (n <= Count()) return;
  throw ETerminalError("Not enough data in queue (" + std::to_string(Count()) +
                       " bytes) to satisfy read request (" + std::to_string(n) + " bytes)");
}

uint8_t* TzzByteQueue::Reserve(size_t n) {
  const size_t pending = Count();
  size_t cap = std::max<size_t>(data_.size(), 64);
  while (cap < pending + n) cap *= 2;
  cap = (cap + 63) / 64 * 64;
  if (head_ > 0) {  // keep the pending bytes at the front
    std::memmove(data_.data(), data_.data() + head_, pending);
    head_ = 0;
    tail_ = pending;
  }
  if (cap > data_.size()) data_.resize(cap);
  return data_.data() + tail_;
}

void TzzByteQueue::Advance(size_t n) { tail_ = std::min(tail_ + n, data_.size()); }

void TzzByteQueue::Append(const uint8_t* data, size_t n) {
  if (n == 0) return;
  std::memcpy(Reserve(n), data, n);
  Advance(n);
}

const uint8_t* TzzByteQueue::Peek(size_t n) const {
  Check(n);
  return data_.data() + head_;
}

void TzzByteQueue::Remove(size_t n) {
  Check(n);
  head_ += n;
  if (head_ == tail_) head_ = tail_ = 0;
}

// ---------------------------------------------------------------------------
// The Qt canvas

QColor ToQColor(uint32_t c) { return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF)); }

QFont ToQFont(const TQxFont& f) {
  QFont q;
  // The OEM "Terminal" face and unknown faces become the system monospace font.
  if (f.Name != "Terminal" && !f.Name.empty()) q.setFamily(QString::fromStdString(f.Name));
  if (f.Name == "Terminal" || !QFontInfo(q).fixedPitch()) {
    q.setFamily("Monospace");
    q.setStyleHint(QFont::TypeWriter);
    q.setFixedPitch(true);
  }
  if (f.Height < 0) q.setPixelSize(-f.Height);
  else if (f.Height > 0) q.setPixelSize(f.Height);
  return q;
}

void TQtCanvas::SetClipRect(const TQxRect& r) {
  clip_ = r;
  if (painter_) painter_->setClipRect(QRect(r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top));
}

void TQtCanvas::FillRect(const TQxRect& r, uint32_t color) {
  if (painter_) painter_->fillRect(QRect(r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top), ToQColor(color));
}

void TQtCanvas::UseFont(const TQxFont& font) {
  if (haveFont_ && font.Name == fontName_ && font.Height == fontHeight_ && font.Oem == fontOem_) return;
  qfont_ = ToQFont(font);
  qfont_.setKerning(false);
  const QFontMetrics fm(qfont_);
  ascent_ = fm.ascent();
  advance_ = fm.horizontalAdvance(QLatin1Char('M'));
  raw_ = QRawFont::fromFont(qfont_);
  for (int b = 0; b < 256; ++b) {
    const char32_t u = font.Oem ? CellGlyph(uint8_t(b), 0) : char32_t(b);
    const QVector<quint32> g = raw_.isValid() ? raw_.glyphIndexesForString(QString::fromUcs4(&u, 1)) : QVector<quint32>();
    glyphOf_[size_t(b)] = g.size() == 1 ? g[0] : 0;
  }
  fontName_ = font.Name;
  fontHeight_ = font.Height;
  fontOem_ = font.Oem;
  haveFont_ = true;
  tileSets_.clear();
  tilePixels_.clear();
}

namespace {

// A cell's scan line is a few pixels: copied in fixed-size pieces the
// compiler inlines rather than through a library call each.
inline void CopyPixels(uint32_t* to, const uint32_t* from, int n) {
  for (; n >= 4; n -= 4, to += 4, from += 4) std::memcpy(to, from, 4 * sizeof(uint32_t));
  if (n & 2) {
    std::memcpy(to, from, 2 * sizeof(uint32_t));
    to += 2;
    from += 2;
  }
  if (n & 1) *to = *from;
}

}  // namespace

int32_t TQtCanvas::Tile(uint8_t b, uint32_t fore, uint32_t back, int width, int height) {
  if (width != tileWidth_ || height != tileHeight_ || tilePixels_.size() > (size_t(4) << 20)) {
    tileSets_.clear();
    tilePixels_.clear();
    tileWidth_ = width;
    tileHeight_ = height;
  }
  auto set = std::find_if(tileSets_.begin(), tileSets_.end(),
                          [&](const TTileSet& t) { return t.Fore == fore && t.Back == back; });
  if (set == tileSets_.end()) {
    tileSets_.push_back({fore, back, {}});
    set = tileSets_.end() - 1;
    set->At.fill(kNoTile);
  }
  int32_t& at = set->At[b];
  if (at != kNoTile) return at;
  if (b != ' ' && glyphOf_[b] == 0) return at = kSpills;
  // Drawn as a run draws it, with a cell of margin either side: ink in a
  // margin means the glyph reaches into its neighbours and no tile will do.
  QImage cell(3 * width, height, QImage::Format_RGB32);
  cell.fill(ToQColor(back));
  if (b != ' ') {
    QPainter p(&cell);
    p.setPen(ToQColor(fore));
    QGlyphRun run;
    run.setRawFont(raw_);
    run.setGlyphIndexes({glyphOf_[b]});
    run.setPositions({QPointF(width, ascent_)});
    p.drawGlyphRun(QPointF(0, 0), run);
  }
  const QRgb blank = ToQColor(back).rgb();
  const size_t offset = tilePixels_.size();
  for (int y = 0; y < height; ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(cell.constScanLine(y));
    for (int x = 0; x < width; ++x)
      if (line[x] != blank || line[2 * width + x] != blank) return at = kSpills;
    tilePixels_.insert(tilePixels_.end(), line + width, line + 2 * width);
  }
  return at = int32_t(offset);
}

bool TQtCanvas::CopyTiles(const QRect& box, const uint8_t* text, int count, int width, uint32_t fore,
                          uint32_t back) {
  const int height = box.height();
  int32_t at[256];
  if (count > 256) return false;
  for (int i = 0; i < count; ++i)
    if ((at[i] = Tile(text[i], fore, back, width, height)) == kSpills) return false;
  const QRect clip = box.intersected(QRect(clip_.Left, clip_.Top, clip_.Right - clip_.Left, clip_.Bottom - clip_.Top))
                         .intersected(image_->rect());
  if (clip.isEmpty()) return true;
  const int first = (clip.left() - box.left()) / width;
  const int last = (clip.right() - box.left()) / width;
  for (int y = clip.top(); y <= clip.bottom(); ++y) {
    auto* line = reinterpret_cast<uint32_t*>(image_->scanLine(y));
    const size_t row = size_t(y - box.top()) * size_t(width);
    for (int i = first; i <= last; ++i) {
      const int cellLeft = box.left() + i * width;
      const int from = std::max(cellLeft, clip.left());
      const int to = std::min(cellLeft + width - 1, clip.right());
      CopyPixels(line + from, tilePixels_.data() + size_t(at[i]) + row + size_t(from - cellLeft), to - from + 1);
    }
  }
  return true;
}

void TQtCanvas::TextRun(const TQxRect& r, int x, int y, const TQxFont& font, uint32_t back, const uint8_t* text,
                        int count, const int* advances) {
  if (!painter_) return;
  UseFont(font);
  if (image_ && count > 0 && x == r.Left && y == r.Top && advances[0] > 0 &&
      r.Right - r.Left == count * advances[0] &&
      std::all_of(advances, advances + count, [&](int a) { return a == advances[0]; }) &&
      CopyTiles(QRect(r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top), text, count, advances[0], font.Color,
                back))
    return;
  const QRect box(r.Left, r.Top, r.Right - r.Left, r.Bottom - r.Top);
  painter_->save();
  painter_->setClipRect(box, Qt::IntersectClip);
  painter_->fillRect(box, ToQColor(back));
  painter_->setPen(ToQColor(font.Color));
  // Every glyph in the font: one glyph run at the cells' positions, no text
  // shaping. A byte the font lacks: text drawing, which finds a fallback font.
  runGlyphs_.resize(0);
  runPositions_.resize(0);
  bool allFound = raw_.isValid();
  int at = x;
  for (int i = 0; i < count && allFound; ++i) {
    const uint8_t b = text[i];
    if (b != ' ') {
      const quint32 g = glyphOf_[b];
      if (g == 0) allFound = false;
      runGlyphs_.append(g);
      runPositions_.append(QPointF(at, y + ascent_));
    }
    at += advances[i];
  }
  if (allFound) {
    if (!runGlyphs_.isEmpty()) {
      QGlyphRun run;
      run.setRawFont(raw_);
      run.setGlyphIndexes(runGlyphs_);
      run.setPositions(runPositions_);
      painter_->drawGlyphRun(QPointF(0, 0), run);
    }
  } else {
    painter_->setFont(qfont_);
    at = x;
    for (int i = 0; i < count; ++i) {
      const uint8_t b = text[i];
      if (b != ' ') {
        const char32_t u = font.Oem ? CellGlyph(b, 0) : char32_t(b);
        glyphs_ = QString::fromUcs4(&u, 1);
        painter_->drawText(at, y + ascent_, glyphs_);
      }
      at += advances[i];
    }
  }
  painter_->restore();
}

void TQtCanvas::Line(int x1, int y1, int x2, int y2, uint32_t color) {
  if (painter_) {
    painter_->setPen(ToQColor(color));
    painter_->drawLine(x1, y1, x2 - 1, y2);
  }
}

// ---------------------------------------------------------------------------
// TQxCustomTerminal: construction and the port

TQxCustomTerminal::TQxCustomTerminal(TComponent* owner, QWidget* parent) : QWidget(parent), TComponent(owner) {
  setAttribute(Qt::WA_OpaquePaintEvent);  // the background is never erased
  setFocusPolicy(Qt::StrongFocus);
  setMouseTracking(false);
  resize(300, 200);
  internal_ = std::make_unique<TQxTTYEmulator>(nullptr);
  internal_->SetInternal(true);
  internal_->SetTerminal(this);
  current_ = internal_.get();
  hScroll_ = new QScrollBar(Qt::Horizontal, this);
  vScroll_ = new QScrollBar(Qt::Vertical, this);
  hScroll_->hide();
  vScroll_->hide();
  connect(hScroll_, &QScrollBar::actionTriggered, this, [this](int a) { ScrollAction(false, a); });
  connect(vScroll_, &QScrollBar::actionTriggered, this, [this](int a) { ScrollAction(true, a); });
  timer_ = new QTimer(this);
  timer_->setInterval(100);
  connect(timer_, &QTimer::timeout, this, [this] { TimerTick(); });
  // A stream is handed over in batches: after each, bytes that follow within
  // the hold wait for its end instead of waking the window one post each.
  hold_ = new QTimer(this);
  hold_->setSingleShot(true);
  hold_->setInterval(kHoldMs);
  connect(hold_, &QTimer::timeout, this, [this] { TakeQueued(); });

  // "Window created": the message window, the port and the font.
  window_ = CreateMessageWindow([this](HWND, UINT m, WPARAM w, LPARAM l) { return WindowProc(m, w, l); });
  attachPending_ = true;
  if (!port_ && owner) port_ = TMroCustomComPort::LocateComPort(owner);
  if (port_) {
    if (!port_->Terminal) port_->Terminal = this;
    port_->FreeNotification(this);
    if (!Designing()) {
      port_->AttachWindow(window_);
      if (active_) Attach();
    }
  }
  MeasureFont();
  timer_->start();
  if (Designing()) WriteSampleText();
}

TQxCustomTerminal::~TQxCustomTerminal() {
  AnnounceRemoval();
  timer_->stop();
  SetEmulator(nullptr);
  if (port_) {
    if (!Designing()) {
      Detach();
      port_->DetachWindow(window_);
    }
    if (port_->Terminal == this) port_->Terminal = nullptr;
  }
  DestroyMessageWindow(window_);
  CloseCapture();
  internal_->SetTerminal(nullptr);
}

LRESULT TQxCustomTerminal::WindowProc(UINT msg, WPARAM, LPARAM) {
  switch (msg) {
    case kMsgDataQueued:
      TakeQueued();
      return 0;
    case MsgPortOpened:
      if (attachPending_) Attach();
      return 0;
    case MsgPortClosing:
      Detach();
      return 0;
    default:
      return 0;
  }
}

void TQxCustomTerminal::Attach() {
  if (!attached_ && port_ && (port_->Open() || port_->AutoOpen())) {
    attachPending_ = false;
    TMroBaseDispatcher* d = port_->ActiveDispatcher();
    if (!d) {
      attachPending_ = true;
      return;
    }
    dispatcher_ = d;
    d->RegisterMethodHandler({this, [this](UINT m, WPARAM w, LPARAM l) { DataHandler(m, w, l); }});
    attached_ = true;
  } else {
    attachPending_ = true;
  }
}

void TQxCustomTerminal::Detach() {
  if (attached_) {
    if (TMroBaseDispatcher* d = dispatcher_.load()) d->UnregisterMethodHandler(this);
    dispatcher_ = nullptr;
    attached_ = false;
    if (active_) attachPending_ = true;
  }
}

// On the dispatcher thread: only the queue and a post.
void TQxCustomTerminal::DataHandler(UINT msg, WPARAM count, LPARAM) {
  if (msg != MsgTriggerAvail || count == 0) return;
  TMroBaseDispatcher* d = dispatcher_;
  if (!d) return;
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    uint8_t* at = queue_.Reserve(count);
    const int32_t got = d->ReadBlock(at, uint32_t(count));
    if (got < 0) return;  // nothing read, nothing to report
    queue_.Advance(count);
  }
  if (!postPending_.exchange(true) && !PostMessage(window_, kMsgDataQueued, 0, 0)) postPending_ = false;
}

void TQxCustomTerminal::QueueBytes(const uint8_t* data, size_t n) {
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    queue_.Append(data, n);
  }
  if (!postPending_.exchange(true) && !PostMessage(window_, kMsgDataQueued, 0, 0)) postPending_ = false;
}

void TQxCustomTerminal::TakeQueued() {
  // Cleared first: bytes queued from now on post again, unless a batch was
  // taken, when they wait for the hold's end.
  postPending_ = false;
  if (!ProcessQueue()) return;
  postPending_ = true;
  hold_->start();
}

bool TQxCustomTerminal::ProcessQueue() {
  size_t n;
  {
    std::lock_guard<std::mutex> hold(queueLock_);
    n = queue_.Count();
    if (n == 0) return false;
    work_.assign(queue_.Peek(n), queue_.Peek(n) + n);
  }
  if (capture_ == TQxCaptureMode::cmOn && captureFd_ >= 0) {
    size_t done = 0;
    while (done < n) {
      const ssize_t w = ::write(captureFd_, work_.data() + done, n - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;
      done += size_t(w);
    }
  }
  current_->ProcessBlock(work_.data(), n);
  if (OnDataReceived) OnDataReceived(this, work_.data(), n);
  if (!useLazyDisplay_ && current_->NeedsUpdate()) PaintOnImage([this] { current_->LazyPaint(); }, textArea_);
  lazyBytes_ += int(n);
  std::lock_guard<std::mutex> hold(queueLock_);
  if (queue_.Count() == n) queue_.Clear();
  else queue_.Remove(n);
  return true;
}

void TQxCustomTerminal::SetActive(bool on) {
  if (on == active_) return;
  attachPending_ = false;
  active_ = on;
  if (port_ && !Designing()) {
    if (on) Attach();
    else Detach();
  } else if (!port_ && on) {
    attachPending_ = true;
  }
}

void TQxCustomTerminal::SetComPort(TMroCustomComPort* port) {
  if (port == port_) return;
  TMroCustomComPort* old = port_;
  if (old) {
    if (!Designing()) {
      Detach();
      old->DetachWindow(window_);
    }
    if (old->Terminal == this) old->Terminal = nullptr;
    old->RemoveFreeNotification(this);
  }
  port_ = port;
  if (port) {
    if (!port->Terminal) port->Terminal = this;
    port->FreeNotification(this);
    if (!Designing()) {
      port->AttachWindow(window_);
      if (active_) Attach();
    }
  }
}

void TQxCustomTerminal::Notification(TComponent* component, TOperation operation) {
  TComponent::Notification(component, operation);
  if (operation == TOperation::opRemove) {
    if (external_ && component == external_) SetEmulator(nullptr);
    if (component == port_) {
      SetActive(false);
      Detach();
      port_->DetachWindow(window_);
      if (port_->Terminal == this) port_->Terminal = nullptr;
      port_ = nullptr;
    }
  } else if (operation == TOperation::opInsert) {
    if (auto* e = dynamic_cast<TQxTerminalEmulator*>(component); e && !external_ && !e->Terminal())
      SetEmulator(e);
    else if (auto* p = dynamic_cast<TMroCustomComPort*>(component); p && !port_)
      SetComPort(p);
  }
}

bool TQxCustomTerminal::PortOpen() const { return port_ && port_->PortPhase == TPortPhase::ppOpen; }

void TQxCustomTerminal::PortSend(const uint8_t* data, size_t count) {
  if (!PortOpen()) return;
  port_->SendString(std::string(reinterpret_cast<const char*>(data), count));
}

void TQxCustomTerminal::Beep() { QApplication::beep(); }

bool TQxCustomTerminal::IsPortTerminal() const { return port_ && port_->Terminal == this; }

void TQxCustomTerminal::PortLog(const std::string& text) {
  if (PortOpen()) port_->AddLogText(text);
}

int32_t TQxCustomTerminal::PortBaud() const { return port_ ? port_->Baud() : 0; }
int TQxCustomTerminal::PortParity() const { return port_ ? int(port_->Parity()) : 0; }
int TQxCustomTerminal::PortDataBits() const { return port_ ? port_->DataBits() : 8; }

void TQxCustomTerminal::CursorMoved(TQxTerminalBuffer*, int row, int col) {
  if (OnCursorMoved) OnCursorMoved(this, row, col);
}

// ---------------------------------------------------------------------------
// Properties

void TQxCustomTerminal::SetBlinkTime(int ms) {
  if (ms < 0) ms = 0;
  else if (ms > 0 && ms <= 250) ms = 250;
  blinkTime_ = ms;
}

void TQxCustomTerminal::SetLazyByteDelay(int n) {
  if (n >= 1 && n <= 1024) lazyByteDelay_ = n;
}

void TQxCustomTerminal::SetLazyTimeDelay(int ms) {
  if (ms >= 1 && ms <= 1000) lazyTimeDelay_ = ms;
}

void TQxCustomTerminal::SetBorderStyle(TQxBorderStyle style) {
  if (style == borderStyle_) return;
  borderStyle_ = style;
  Layout();
  update();
}

int TQxCustomTerminal::Columns() const { return Buffer().ColCount(); }
int TQxCustomTerminal::Rows() const { return Buffer().RowCount(); }
int TQxCustomTerminal::ScrollbackRows() const { return Buffer().SVRowCount(); }

void TQxCustomTerminal::SetColumnsProperty(int n) {
  if (n <= 0 || n == Columns()) return;
  Buffer().SetColCount(n);
  viewCol_ = viewRow_ = 1;
  Layout();
  ResizeImage();
}

bool TQxCustomTerminal::SetColumns(int n) {
  SetColumnsProperty(n);
  return true;
}

void TQxCustomTerminal::SetRows(int n) {
  if (n <= 0 || n == Rows()) return;
  Buffer().SetRowCount(n);
  Layout();
  ResizeImage();
}

void TQxCustomTerminal::SetScrollbackRows(int n) {
  if (n > 0) Buffer().SetSVRowCount(n);
}

void TQxCustomTerminal::SetScrollback(bool on) {
  if (on == scrollback_) return;
  scrollback_ = on;
  UpdateScrollBars();
}

void TQxCustomTerminal::SetCursorType(TQxCursorType type) {
  if (type == cursorType_) return;
  cursorType_ = type;
  UpdateCaret();
}

void TQxCustomTerminal::SetColor(uint32_t color) {
  color_ = color;
  ResizeImage();
}

void TQxCustomTerminal::SetTermFont(const TQxFont& font) {
  font_ = font;
  MeasureFont();
}

// ---------------------------------------------------------------------------
// Capture

void TQxCustomTerminal::CloseCapture() {
  if (captureFd_ >= 0) ::close(captureFd_);
  captureFd_ = -1;
}

void TQxCustomTerminal::SetCapture(TQxCaptureMode mode) {
  if (mode == capture_) return;
  if (mode == TQxCaptureMode::cmAppend && capture_ == TQxCaptureMode::cmOn) return;
  if (capture_ == TQxCaptureMode::cmOn) CloseCapture();
  capture_ = mode;
  if (mode == TQxCaptureMode::cmOff) return;
  if (captureFile_.empty()) captureFile_ = "MEROTERM.CAP";
  if (Designing()) return;
  int fd;
  if (mode == TQxCaptureMode::cmOn) {
    fd = ::open(captureFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  } else {
    fd = ::open(captureFile_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) ::lseek(fd, 0, SEEK_END);
  }
  if (fd < 0) {
    throw ETerminalError("TQxCustomTerminal.SetCapture: cannot open \"" + captureFile_ +
                         "\": " + std::strerror(errno));
  }
  captureFd_ = fd;
  capture_ = TQxCaptureMode::cmOn;
}

void TQxCustomTerminal::SetCaptureFile(const std::string& name) {
  if (name == captureFile_) return;
  if (capture_ != TQxCaptureMode::cmOff) {
    SetCapture(TQxCaptureMode::cmOff);
    captureFile_ = name;
    SetCapture(TQxCaptureMode::cmOn);
  } else {
    captureFile_ = name;
  }
}

// ---------------------------------------------------------------------------
// Emulator

void TQxCustomTerminal::SetEmulator(TQxTerminalEmulator* e) {
  if (e == external_) return;
  const bool timerOn = timer_ && timer_->isActive();
  if (timer_) timer_->stop();
  const int sv = Buffer().SVRowCount();
  const int rows = Buffer().RowCount();
  const int cols = Buffer().ColCount();
  TQxTerminalEmulator* old = external_;
  if (old) {
    current_ = internal_.get();
    external_ = nullptr;
    UnlinkTerminal(this, true);
  }
  if (e) {
    external_ = e;
    current_ = e;
    LinkTerminal(this, e);
  } else {
    current_ = internal_.get();
  }
  if (sv > 0) {
    Buffer().SetSVRowCount(sv);
    Buffer().SetRowCount(rows);
    Buffer().SetColCount(cols);
  }
  if (timerOn) timer_->start();
  MeasureFont();
  if (Designing()) WriteSampleText();
}

void TQxCustomTerminal::WriteSampleText() {
  std::string text;
  for (int i = 0; i < ScrollbackRows(); ++i) text += "\r\n";
  const bool vt = dynamic_cast<TQxVT100Emulator*>(current_) != nullptr;
  char line[80];
  for (int r = 1; r <= Rows(); ++r) {
    const char* end = r < Rows() ? "\r\n" : "\r";
    if (vt) std::snprintf(line, sizeof line, "\033[0;%dmDesign mode; line %.2d%s", 31 + (r - 1) % 7, r, end);
    else std::snprintf(line, sizeof line, "Design mode; line %.2d%s", r, end);
    text += line;
  }
  QueueBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  update();
}

// ---------------------------------------------------------------------------
// Font, layout, scroll bars

void TQxCustomTerminal::MeasureFont() {
  if (Loading()) return;
  cellWidth_ = cellHeight_ = 0;
  auto measure = [this](const TQxFont& f) {
    const QFont q = ToQFont(f);
    const QFontMetrics m(q);
    const int h = m.height() + m.leading();
    const int avg = m.averageCharWidth();
    const int w = QFontInfo(q).fixedPitch() ? avg + (m.maxWidth() - avg) / 2 : avg;
    cellWidth_ = std::max(cellWidth_, w);
    cellHeight_ = std::max(cellHeight_, h);
  };
  measure(font_);
  if (auto* vt = dynamic_cast<TQxVT100Emulator*>(current_)) {
    std::vector<std::string> names;
    vt->CharSetMapping().GetFontNames(names);
    for (const std::string& n : names) {
      if (n == TQxCharSetMapping::kDefaultFont) continue;
      TQxFont f = font_;
      f.Name = n;
      measure(f);
    }
  }
  Layout();
  ResizeImage();
}

QRect TQxCustomTerminal::ClientRect() const {
  const int frame = borderStyle_ == TQxBorderStyle::bsSingle ? 1 : 0;
  int w = width() - 2 * frame - (vScroll_->isVisible() ? vScroll_->sizeHint().width() : 0);
  int h = height() - 2 * frame - (hScroll_->isVisible() ? hScroll_->sizeHint().height() : 0);
  return QRect(frame, frame, std::max(w, 0), std::max(h, 0));
}

void TQxCustomTerminal::Layout() {
  if (cellWidth_ <= 0 || cellHeight_ <= 0) return;
  const int cols = Columns(), rows = Rows();
  for (int pass = 0; pass < 2; ++pass) {
    const QRect c = ClientRect();
    visibleCols_ = std::min((c.width() + cellWidth_ - 1) / cellWidth_, cols - viewCol_ + 1);
    fullCols_ = std::min(c.width() / cellWidth_, cols - viewCol_ + 1);
    visibleRows_ = std::min((c.height() + cellHeight_ - 1) / cellHeight_, rows - viewRow_ + 1);
    fullRows_ = std::min(c.height() / cellHeight_, rows - viewRow_ + 1);
    // The scroll bars appear or go when the window shows fewer cells than
    // the terminal has (the toolkit needs no window re-creation for that).
    const bool wantH = fullCols_ < cols;
    const bool wantRows = fullRows_ < rows;
    if (wantH == hBar_ && wantRows == rowsBar_) break;
    hBar_ = wantH;
    rowsBar_ = wantRows;
    hScroll_->setVisible(hBar_);
    vScroll_->setVisible(rowsBar_ || rows < ScrollbackRows());
  }
  vScroll_->setVisible(rowsBar_ || rows < ScrollbackRows());
  const QRect c = ClientRect();
  textArea_ = QRect(c.left(), c.top(), std::min(visibleCols_ * cellWidth_, c.width()),
                    std::min(visibleRows_ * cellHeight_, c.height()));
  const int frame = c.left();
  const int sb = vScroll_->sizeHint().width();
  const int hb = hScroll_->sizeHint().height();
  vScroll_->setGeometry(width() - frame - sb, frame, sb, c.height());
  hScroll_->setGeometry(frame, height() - frame - hb, c.width(), hb);
  UpdateScrollBars();
}

void TQxCustomTerminal::UpdateScrollBars() {
  settingBars_ = true;
  hScroll_->setRange(0, std::max(0, Columns() - fullCols_));
  hScroll_->setPageStep(std::max(fullCols_, 1));
  hScroll_->setValue(viewCol_ - 1);
  hScroll_->setEnabled(fullCols_ < Columns());
  const int low = (rowsBar_ && !scrollback_) ? 0 : Rows() - ScrollbackRows();
  vScroll_->setRange(low, std::max(low, Rows() - fullRows_));
  vScroll_->setPageStep(std::max(fullRows_, 1));
  vScroll_->setValue(viewRow_ - 1);
  vScroll_->setEnabled(vScroll_->minimum() < vScroll_->maximum());
  settingBars_ = false;
}

void TQxCustomTerminal::ScrollAction(bool vertical, int action) {
  QScrollBar* bar = vertical ? vScroll_ : hScroll_;
  const int view = vertical ? viewRow_ : viewCol_;
  const int page = vertical ? fullRows_ : fullCols_;
  int target;
  switch (action) {
    case QAbstractSlider::SliderSingleStepSub: target = view - 1; break;
    case QAbstractSlider::SliderSingleStepAdd: target = view + 1; break;
    case QAbstractSlider::SliderPageStepSub: target = view - page; break;
    case QAbstractSlider::SliderPageStepAdd: target = view + page; break;
    case QAbstractSlider::SliderMove: target = bar->sliderPosition() + 1; break;
    default: return;
  }
  if (vertical && rowsBar_) {
    if (scrollback_ && viewRow_ > 1) SetScrollback(false);
    else if (!scrollback_ && action == QAbstractSlider::SliderSingleStepSub && viewRow_ == 1) SetScrollback(true);
  }
  if (vertical) SetViewRow(target);
  else SetViewCol(target);
  // The bar's own move is replaced by ours.
  bar->setSliderPosition((vertical ? viewRow_ : viewCol_) - 1);
}

void TQxCustomTerminal::SetViewCol(int col) {
  col = std::clamp(col, 1, std::max(1, Columns() - fullCols_ + 1));
  if (col == viewCol_) return;
  viewCol_ = col;
  Layout();
  ResizeImage();  // repaints the whole view
}

void TQxCustomTerminal::SetViewRow(int row) {
  const int low = (rowsBar_ && !scrollback_) ? 1 : Rows() - ScrollbackRows() + 1;
  row = std::clamp(row, low, std::max(1, Rows() - fullRows_ + 1));
  if (row == viewRow_) return;
  viewRow_ = row;
  Layout();
  ResizeImage();
}

void TQxCustomTerminal::resizeEvent(QResizeEvent*) {
  Layout();
  if (cellWidth_ > 0 && cellHeight_ > 0) {
    const QRect c = ClientRect();
    if (viewCol_ > 1 && visibleCols_ * cellWidth_ < c.width())
      viewCol_ = std::max(1, Columns() - c.width() / cellWidth_ + 1);
    if (viewRow_ >= 2 && visibleRows_ * cellHeight_ < c.height())
      viewRow_ = std::max(1, Rows() - c.height() / cellHeight_ + 1);
    Layout();
  }
  ResizeImage();
}

// ---------------------------------------------------------------------------
// Painting

void TQxCustomTerminal::ResizeImage() {
  const QRect c = ClientRect();
  if (image_.size() != c.size() && c.width() > 0 && c.height() > 0)
    image_ = QImage(c.size(), QImage::Format_RGB32);
  if (image_.isNull()) return;
  image_.fill(ToQColor(color_));
  PaintOnImage([this] { current_->Paint(); }, textArea_);
}

void TQxCustomTerminal::PaintOnImage(const std::function<void()>& paint, const QRect& area) {
  if (image_.isNull() || cellWidth_ <= 0) return;
  const QPoint origin = ClientRect().topLeft();
  const QRect local = area.translated(-origin).intersected(image_.rect());
  if (local.isEmpty()) return;
  image_.bits();  // detached before the painter and the canvas share its pixels
  QPainter p(&image_);
  canvas_.Begin(&p, &image_);
  canvas_.SetClipRect({local.left(), local.top(), local.right() + 1, local.bottom() + 1});
  try {
    paint();
  } catch (...) {
    canvas_.End();
    throw;
  }
  canvas_.End();
  p.end();
  update(ClientRect());
  UpdateCaret();
}

QRect TQxCustomTerminal::CaretRect() const {
  if (!caretCreated_ || cellWidth_ <= 0) return {};
  const int row = Buffer().AbsCursorRow();
  const int col = Buffer().AbsCursorCol();
  const QRect c = ClientRect();
  int x = (col - viewCol_) * cellWidth_;
  int y = (row - viewRow_) * cellHeight_;
  int h = cellHeight_;
  if (cursorType_ == TQxCursorType::ctUnderline) {
    y += cellHeight_ - 2;
    h = 2;
  }
  if (x < 0 || y < 0 || x >= c.width() || y >= c.height()) return {};
  return QRect(c.left() + x, c.top() + y, cellWidth_, h);
}

void TQxCustomTerminal::UpdateCaret() {
  caretCreated_ = cursorType_ != TQxCursorType::ctNone && hasFocus();
  caretShown_ = caretCreated_ && !Designing();
  const QRect next = caretShown_ ? CaretRect() : QRect();
  if (next != caretDrawn_) {
    update(caretDrawn_);
    update(next);
  }
}

void TQxCustomTerminal::paintEvent(QPaintEvent* event) {
  QPainter p(this);
  const QRect c = ClientRect();
  // Strips right of and below the text area, and the frame.
  const QColor back = ToQColor(color_);
  p.fillRect(QRect(c.left() + textArea_.width(), c.top(), c.width() - textArea_.width(), c.height()), back);
  p.fillRect(QRect(c.left(), c.top() + textArea_.height(), textArea_.width(), c.height() - textArea_.height()),
             back);
  if (borderStyle_ == TQxBorderStyle::bsSingle) {
    p.setPen(palette().color(QPalette::Dark));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
  }
  if (!image_.isNull()) {
    const QRect area = event->rect().intersected(textArea_.translated(c.topLeft() - textArea_.topLeft()));
    p.drawImage(area.topLeft(), image_, area.translated(-c.topLeft()));
  }
  caretDrawn_ = caretShown_ ? CaretRect() : QRect();
  if (!caretDrawn_.isEmpty()) p.fillRect(caretDrawn_, ToQColor(font_.Color));
}

bool TQxCustomTerminal::TimerEnabled() const { return timer_->isActive(); }
void TQxCustomTerminal::SetTimerEnabled(bool on) { on ? timer_->start() : timer_->stop(); }

void TQxCustomTerminal::TimerTick() {
  // 1. Selection auto-scroll.
  if (selecting_) {
    const QPoint p = mapFromGlobal(QCursor::pos());
    const QRect c = ClientRect();
    if (hBar_ && p.x() < c.left()) SetViewCol(viewCol_ - 1);
    else if (hBar_ && p.x() > c.right()) SetViewCol(viewCol_ + 1);
    if (p.y() < c.top()) SetViewRow(viewRow_ - 1);
    else if (p.y() > c.bottom()) SetViewRow(viewRow_ + 1);
    int row, col;
    CellAt(p, row, col);
    ExtendSelection(row, col);
  }
  // 2. Blinking.
  if (blinkTime_ > 0) {
    blinkCounter_ += 100;
    if (blinkCounter_ > blinkTime_) {
      blinkPhase_ ^= 1;
      if (current_->HasBlinkingText()) PaintOnImage([this] { current_->BlinkPaint(blinkPhase_); }, textArea_);
      blinkCounter_ = 0;
    }
  }
  // 3. Lazy display.
  if (useLazyDisplay_) {
    lazyTime_ += 100;
    if (current_->NeedsUpdate()) {
      if (lazyTime_ > lazyTimeDelay_ || lazyBytes_ > lazyByteDelay_) {
        PaintOnImage([this] { current_->LazyPaint(); }, textArea_);
        lazyTime_ = 0;
        lazyBytes_ = 0;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Keyboard

uint16_t TQxCustomTerminal::VirtualKey(const QKeyEvent* e) const {
  const int k = e->key();
  const bool keypad = e->modifiers() & Qt::KeypadModifier;
  if (keypad) {
    switch (k) {  // the keypad's cursor keys while Num Lock is off
      case Qt::Key_Clear: return 101;
      case Qt::Key_PageUp: return 105;
      case Qt::Key_PageDown: return 99;
      case Qt::Key_End: return 97;
      case Qt::Key_Home: return 103;
      case Qt::Key_Left: return 100;
      case Qt::Key_Up: return 104;
      case Qt::Key_Right: return 102;
      case Qt::Key_Down: return 98;
      case Qt::Key_Insert: return 96;
      case Qt::Key_Delete: return 110;
      case Qt::Key_Enter: return 43;
      case Qt::Key_Asterisk: return 0x6A;
      case Qt::Key_Plus: return 0x6B;
      case Qt::Key_Minus: return 0x6D;
      case Qt::Key_Period: return 0x6E;
      case Qt::Key_Slash: return 0x6F;
      default:
        if (k >= Qt::Key_0 && k <= Qt::Key_9) return uint16_t(0x60 + (k - Qt::Key_0));
        break;
    }
  }
  if (k >= Qt::Key_A && k <= Qt::Key_Z) return uint16_t(k);
  if (k >= Qt::Key_0 && k <= Qt::Key_9) return uint16_t(k);
  if (k >= Qt::Key_F1 && k <= Qt::Key_F24) return uint16_t(0x70 + (k - Qt::Key_F1));
  switch (k) {
    case Qt::Key_Backspace: return 0x08;
    case Qt::Key_Tab: case Qt::Key_Backtab: return 0x09;
    case Qt::Key_Clear: return 0x0C;
    case Qt::Key_Return: return 0x0D;
    case Qt::Key_Enter: return 43;
    case Qt::Key_Shift: return 16;
    case Qt::Key_Control: return 17;
    case Qt::Key_Alt: return 18;
    case Qt::Key_Pause: return 0x13;
    case Qt::Key_CapsLock: return 0x14;
    case Qt::Key_Escape: return 0x1B;
    case Qt::Key_Space: return 0x20;
    case Qt::Key_PageUp: return 0x21;
    case Qt::Key_PageDown: return 0x22;
    case Qt::Key_End: return 0x23;
    case Qt::Key_Home: return 0x24;
    case Qt::Key_Left: return 0x25;
    case Qt::Key_Up: return 0x26;
    case Qt::Key_Right: return 0x27;
    case Qt::Key_Down: return 0x28;
    case Qt::Key_Insert: return 0x2D;
    case Qt::Key_Delete: return 0x2E;
    case Qt::Key_NumLock: return 0x90;
    case Qt::Key_ScrollLock: return 0x91;
    default: return 0;
  }
}

void TQxCustomTerminal::keyPressEvent(QKeyEvent* e) {
  uint16_t key = VirtualKey(e);
  // The key-down notification path.
  if (selecting_ && key == 0x1B) {
    CancelMode();
    e->accept();
    return;
  }
  const Qt::KeyboardModifiers mods = e->modifiers();
  const bool ctrl = mods & Qt::ControlModifier;
  const bool shift = mods & Qt::ShiftModifier;
  const bool alt = mods & Qt::AltModifier;
  if (hasSelection_ && (key == 'C' || key == 0x2D) && ctrl && !shift && !alt) {
    CopySelection();
    e->accept();
    return;
  }
  if (key >= 16 && key <= 18) {
    QWidget::keyPressEvent(e);
    return;
  }
  TShiftState state = 0;
  if (shift) state |= kShiftKey;
  if (ctrl) state |= kCtrlKey;
  if (alt) state |= kAltKey;
  if (key != 0) {
    uint16_t k = uint16_t(key | (e->isAutoRepeat() ? 0x8000 : 0));
    current_->KeyDown(k, state);
    if (k == 0) {
      e->accept();
      return;
    }
    // The ordinary key-down path.
    if (!wantAllKeys_) {
      current_->KeyDown(k, state);
      if (k == 0) {
        e->accept();
        return;
      }
    }
  }
  // The key press.
  const QByteArray text = e->text().toLatin1();
  if (!text.isEmpty() && text[0] != 0) {
    uint8_t ch = uint8_t(text[0]);
    current_->KeyPress(ch);
    e->accept();
    return;
  }
  QWidget::keyPressEvent(e);
}

bool TQxCustomTerminal::focusNextPrevChild(bool next) {
  if (wantAllKeys_) return false;  // Tab belongs to the terminal
  return QWidget::focusNextPrevChild(next);
}

bool TQxCustomTerminal::event(QEvent* e) {
  if (e->type() == QEvent::ShortcutOverride && wantAllKeys_) {
    e->accept();  // characters and arrows go to the terminal first
    return true;
  }
  return QWidget::event(e);
}

void TQxCustomTerminal::focusInEvent(QFocusEvent* e) {
  QWidget::focusInEvent(e);
  UpdateCaret();
}

void TQxCustomTerminal::focusOutEvent(QFocusEvent* e) {
  QWidget::focusOutEvent(e);
  UpdateCaret();
}

// ---------------------------------------------------------------------------
// Selection

void TQxCustomTerminal::CellAt(QPoint p, int& row, int& col) const {
  const QRect a = textArea_.isEmpty() ? QRect(0, 0, 1, 1) : textArea_;
  const int x = std::clamp(p.x(), a.left(), a.right()) - a.left();
  const int y = std::clamp(p.y(), a.top(), a.bottom()) - a.top();
  const int cw = std::max(cellWidth_, 1), ch = std::max(cellHeight_, 1);
  col = std::clamp(x / cw + viewCol_, 1, Columns());
  row = std::clamp(y / ch + viewRow_, Rows() - ScrollbackRows() + 1, Rows());
}

void TQxCustomTerminal::MarkSelection(int r1, int c1, int r2, int c2, bool on) {
  TQxTerminalBuffer& buf = Buffer();
  for (int r = r1; r <= r2; ++r) {
    uint8_t* attrs = buf.GetLineAttrs(r);
    if (!attrs) continue;
    const int from = r == r1 ? c1 : 1;
    const int to = r == r2 ? c2 : Columns();
    for (int c = from; c <= to; ++c) {
      if (on) attrs[c - 1] |= kAttrSelected;
      else attrs[c - 1] &= uint8_t(~kAttrSelected);
    }
  }
}

void TQxCustomTerminal::ExtendSelection(int row, int col) {
  hasSelection_ = true;
  int r1 = anchorRow_, c1 = anchorCol_, r2 = row, c2 = col;
  if (r2 < r1 || (r2 == r1 && c2 < c1)) {
    std::swap(r1, r2);
    std::swap(c1, c2);
  }
  if (r1 == selStartRow_ && c1 == selStartCol_ && r2 == selEndRow_ && c2 == selEndCol_) return;
  const int oldTop = selStartRow_, oldBottom = selEndRow_;
  MarkSelection(selStartRow_, selStartCol_, selEndRow_, selEndCol_, false);
  selStartRow_ = r1;
  selStartCol_ = c1;
  selEndRow_ = r2;
  selEndCol_ = c2;
  MarkSelection(r1, c1, r2, c2, true);
  const int top = std::min(oldTop, r1), bottom = std::max(oldBottom, r2);
  const QRect rows(textArea_.left(), textArea_.top() + (top - viewRow_) * cellHeight_, textArea_.width(),
                   (bottom - top + 1) * cellHeight_);
  PaintOnImage([this] { current_->Paint(); }, rows);
}

void TQxCustomTerminal::CancelMode() {
  if (hasSelection_ || selecting_) {
    MarkSelection(selStartRow_, selStartCol_, selEndRow_, selEndCol_, false);
    const QRect rows(textArea_.left(), textArea_.top() + (selStartRow_ - viewRow_) * cellHeight_,
                     textArea_.width(), (selEndRow_ - selStartRow_ + 1) * cellHeight_);
    PaintOnImage([this] { current_->Paint(); }, rows);
  }
  anchorRow_ = anchorCol_ = selStartRow_ = selStartCol_ = selEndRow_ = selEndCol_ = 0;
  hasSelection_ = selecting_ = false;
}

void TQxCustomTerminal::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return QWidget::mousePressEvent(e);
  setFocus(Qt::MouseFocusReason);
  CancelMode();
  selecting_ = true;
  int row, col;
  CellAt(e->position().toPoint(), row, col);
  anchorRow_ = selStartRow_ = selEndRow_ = row;
  anchorCol_ = selStartCol_ = selEndCol_ = col;
}

void TQxCustomTerminal::mouseMoveEvent(QMouseEvent* e) {
  if (!selecting_) return QWidget::mouseMoveEvent(e);
  int row, col;
  CellAt(e->position().toPoint(), row, col);
  ExtendSelection(row, col);
}

void TQxCustomTerminal::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton) selecting_ = false;
  QWidget::mouseReleaseEvent(e);
}

std::string TQxCustomTerminal::SelectionText() const {
  std::string out;
  if (!hasSelection_) return out;
  TQxTerminalBuffer& buf = Buffer();
  for (int r = selStartRow_; r <= selEndRow_; ++r) {
    const uint8_t* chars = buf.GetLineChars(r);
    const int from = r == selStartRow_ ? selStartCol_ : 1;
    const int to = r == selEndRow_ ? selEndCol_ : Columns();
    if (chars) out.append(reinterpret_cast<const char*>(chars + from - 1), size_t(to - from + 1));
    out += "\r\n";
  }
  return out;
}

void TQxCustomTerminal::CopySelection() {
  if (!hasSelection_) return;
  const std::string text = SelectionText();
  QApplication::clipboard()->setText(QString::fromLatin1(text.data(), qsizetype(text.size())));
}

}  // namespace zav
