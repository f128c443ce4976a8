// The status light: one on/off state shown as a bevelled coloured square, or
// as one of the two halves of a glyph (left half lit, right half unlit).
//
// Colours are 0x00BBGGRR values. The light paints on its own; its owner only
// sets Lit. GUI thread only.
#pragma once

#include <QImage>
#include <QWidget>
#include <cstdint>
#include <string>

namespace zav {

// 0x00BBGGRR to a Qt colour.
QColor ColorRefToQColor(uint32_t color);

class TMroCustomStatusLight : public QWidget {
 public:
  static constexpr int kDefaultSize = 13;
  static constexpr uint32_t kRed = 0x0000FF;
  static constexpr uint32_t kGreen = 0x008000;

  explicit TMroCustomStatusLight(QWidget* parent = nullptr);

  std::string Version() const { return "v3.04"; }
  void SetVersion(const std::string&) {}

  // The glyph, copied into the light; null removes it.
  const QImage& Glyph() const { return FGlyph; }
  void SetGlyph(const QImage* bitmap);
  bool HasGlyph() const { return FHasGlyph; }

  bool Lit() const { return FLit; }
  void SetLit(bool v);
  uint32_t LitColor() const { return FLitColor; }
  void SetLitColor(uint32_t v);
  uint32_t NotLitColor() const { return FNotLitColor; }
  void SetNotLitColor(uint32_t v);

  // Position and size; with a glyph the size is the glyph's, whatever is asked.
  void SetBounds(int left, int top, int width, int height);
  // After loading a stored form: whether the stored glyph holds an image.
  void Loaded();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void Invalidate() { update(); }

 private:
  void FitToGlyph();

  QImage FGlyph;
  bool FHasGlyph = false;
  bool FLit = false;
  uint32_t FLitColor = kRed;
  uint32_t FNotLitColor = kGreen;
};

class TMroStatusLight : public TMroCustomStatusLight {
 public:
  explicit TMroStatusLight(QWidget* parent = nullptr) : TMroCustomStatusLight(parent) {}
};

}  // namespace zav
