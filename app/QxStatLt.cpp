// The status light's painting and sizing.
#include "app/QxStatLt.h"

#include <QPainter>

namespace zav {

QColor ColorRefToQColor(uint32_t color) {
  return QColor(int(color & 0xFF), int((color >> 8) & 0xFF), int((color >> 16) & 0xFF));
}

TMroCustomStatusLight::TMroCustomStatusLight(QWidget* parent) : QWidget(parent) {
  resize(kDefaultSize, kDefaultSize);
}

void TMroCustomStatusLight::SetGlyph(const QImage* bitmap) {
  if (bitmap) {
    FGlyph = bitmap->copy();
    FHasGlyph = true;
  } else {
    FGlyph = QImage();
    FHasGlyph = false;
  }
  FitToGlyph();
  Invalidate();
}

void TMroCustomStatusLight::FitToGlyph() {
  if (FHasGlyph) {
    setFixedSize(FGlyph.width() / 2, FGlyph.height());
  } else {
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    resize(kDefaultSize, kDefaultSize);
  }
}

void TMroCustomStatusLight::SetBounds(int left, int top, int width, int height) {
  if (FHasGlyph) {
    width = FGlyph.width() / 2;
    height = FGlyph.height();
  }
  setGeometry(left, top, width, height);
}

void TMroCustomStatusLight::Loaded() {
  FHasGlyph = !FGlyph.isNull();
  FitToGlyph();
}

void TMroCustomStatusLight::SetLit(bool v) {
  if (v == FLit) return;
  FLit = v;
  Invalidate();
}

void TMroCustomStatusLight::SetLitColor(uint32_t v) {
  if (v == FLitColor) return;
  FLitColor = v;
  if (!FHasGlyph && FLit) Invalidate();
}

void TMroCustomStatusLight::SetNotLitColor(uint32_t v) {
  if (v == FNotLitColor) return;
  FNotLitColor = v;
  if (!FHasGlyph && !FLit) Invalidate();
}

void TMroCustomStatusLight::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const int w = width(), h = height();
  if (FHasGlyph) {
    // The source half, with the colour of the glyph's top-left pixel replaced
    // by the background.
    QImage part = FGlyph.copy(FLit ? 0 : w, 0, w, h).convertToFormat(QImage::Format_ARGB32);
    if (!FGlyph.isNull()) {
      const QRgb transparent = FGlyph.pixel(0, 0);
      const QRgb brush = palette().color(backgroundRole()).rgba();
      for (int y = 0; y < part.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(part.scanLine(y));
        for (int x = 0; x < part.width(); ++x)
          if (line[x] == transparent) line[x] = brush;
      }
    }
    p.drawImage(0, 0, part);
    return;
  }
  p.fillRect(0, 0, w, h, ColorRefToQColor(FLit ? FLitColor : FNotLitColor));
  // Lines include their start point and exclude their end point.
  const QColor white(255, 255, 255), grey(128, 128, 128);
  p.fillRect(0, 0, w, 1, white);          // (0,0) to (w,0)
  p.fillRect(0, 0, 1, h, white);          // (0,0) to (0,h)
  p.fillRect(w - 1, 1, 1, h - 1, grey);   // (w-1,1) to (w-1,h)
  p.fillRect(1, h - 1, w - 1, 1, grey);   // (1,h-1) to (w,h-1)
}

}  // namespace zav
