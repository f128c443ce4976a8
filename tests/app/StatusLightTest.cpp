// The status light rendered to images: colours, bevel, glyph halves, sizes and
// which writes repaint.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QPainter>

#include "app/QxStatLt.h"

namespace zav {
namespace {

QImage Render(QWidget& w) {
  QImage img(w.size(), QImage::Format_RGB32);
  img.fill(Qt::magenta);
  w.render(&img);
  return img;
}

QRgb Rgb(int r, int g, int b) { return qRgb(r, g, b); }

const QRgb kWhite = qRgb(255, 255, 255);
const QRgb kGrey = qRgb(128, 128, 128);

// Checks the bevel of a w x h light and that every inner pixel is `fill`.
void ExpectBevelled(const QImage& img, QRgb fill) {
  const int w = img.width(), h = img.height();
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      QRgb want = fill;
      if (y == 0 || x == 0)
        want = kWhite;  // top and left lines, the corner (0,0) included
      else if (x == w - 1 || y == h - 1)
        want = kGrey;  // right and bottom lines from (w-1,1) and (1,h-1)
      ASSERT_EQ(img.pixel(x, y), want) << "at " << x << "," << y;
    }
  }
}

// Counts real paints.
class CountingLight : public TMroStatusLight {
 public:
  int paints = 0;

 protected:
  void paintEvent(QPaintEvent* e) override {
    ++paints;
    TMroStatusLight::paintEvent(e);
  }
};

void Settle() {
  for (int i = 0; i < 5; ++i) {
    QApplication::sendPostedEvents();
    QApplication::processEvents();
  }
}

// A 26 x 13 glyph: a red left half and a blue right half, each with a white
// border column standing for the transparent colour (the top-left pixel).
QImage TwoHalves() {
  QImage g(26, 13, QImage::Format_RGB32);
  g.fill(Qt::white);
  QPainter p(&g);
  p.fillRect(1, 0, 12, 13, QColor(255, 0, 0));
  p.fillRect(14, 0, 12, 13, QColor(0, 0, 255));
  return g;
}

TEST(StatusLight, ANewLightIs13By13AndGreenWithItsBevel) {
  TMroStatusLight light;
  EXPECT_EQ(light.size(), QSize(13, 13));
  EXPECT_FALSE(light.Lit());
  EXPECT_EQ(light.LitColor(), 255u);
  EXPECT_EQ(light.NotLitColor(), 32768u);
  EXPECT_EQ(light.Version(), "v3.04");
  ExpectBevelled(Render(light), Rgb(0, 128, 0));
  light.SetLit(true);
  ExpectBevelled(Render(light), Rgb(255, 0, 0));
}

TEST(StatusLight, SwappedColoursShowRedWhileUnlit) {
  TMroStatusLight light;
  light.SetLitColor(TMroStatusLight::kGreen);
  light.SetNotLitColor(TMroStatusLight::kRed);
  ExpectBevelled(Render(light), Rgb(255, 0, 0));
  light.resize(20, 9);  // the bevel follows the size
  ExpectBevelled(Render(light), Rgb(255, 0, 0));
}

TEST(StatusLight, OnlyChangesThatShowRepaint) {
  CountingLight light;
  light.show();
  Settle();
  const int base = light.paints;
  ASSERT_GE(base, 1);
  light.SetLit(true);
  Settle();
  EXPECT_EQ(light.paints, base + 1);
  light.SetLit(true);  // unchanged
  Settle();
  EXPECT_EQ(light.paints, base + 1);
  light.SetNotLitColor(0x00FFFF);  // not shown while lit
  Settle();
  EXPECT_EQ(light.paints, base + 1);
  light.SetLit(false);  // the new colour shows at the next paint
  Settle();
  EXPECT_EQ(light.paints, base + 2);
  ExpectBevelled(Render(light), Rgb(255, 255, 0));  // a paint of its own
  light.SetNotLitColor(0x0000FF);  // shown: repaints
  Settle();
  EXPECT_EQ(light.paints, base + 4);
}

TEST(StatusLight, AGlyphShowsItsHalvesWithTheTopLeftColourTransparent) {
  QWidget parent;
  QPalette pal = parent.palette();
  pal.setColor(QPalette::Window, QColor(10, 20, 30));
  parent.setPalette(pal);
  auto* light = new TMroStatusLight(&parent);
  const QImage glyph = TwoHalves();
  light->SetGlyph(&glyph);
  EXPECT_TRUE(light->HasGlyph());
  EXPECT_EQ(light->size(), QSize(13, 13));
  light->SetLit(true);
  QImage lit = Render(*light);
  EXPECT_EQ(lit.pixel(0, 5), qRgb(10, 20, 30));  // white column: the parent's colour
  EXPECT_EQ(lit.pixel(1, 0), qRgb(255, 0, 0));
  EXPECT_EQ(lit.pixel(12, 12), qRgb(255, 0, 0));
  light->SetLit(false);
  QImage unlit = Render(*light);
  EXPECT_EQ(unlit.pixel(0, 5), qRgb(10, 20, 30));
  EXPECT_EQ(unlit.pixel(1, 0), qRgb(0, 0, 255));
  // The glyph decides the size.
  light->SetBounds(4, 6, 49, 12);
  EXPECT_EQ(light->geometry(), QRect(4, 6, 13, 13));
  light->resize(49, 12);
  EXPECT_EQ(light->size(), QSize(13, 13));
  // Removing it returns to the default size, freely sizable again.
  light->SetGlyph(nullptr);
  EXPECT_FALSE(light->HasGlyph());
  EXPECT_EQ(light->size(), QSize(13, 13));
  light->SetBounds(0, 0, 30, 10);
  EXPECT_EQ(light->size(), QSize(30, 10));
}

TEST(StatusLight, AGlyphIsCopiedNotShared) {
  TMroStatusLight light;
  QImage glyph = TwoHalves();
  light.SetGlyph(&glyph);
  glyph.fill(Qt::black);
  light.SetLit(true);
  EXPECT_EQ(Render(light).pixel(5, 5), qRgb(255, 0, 0));
}

}  // namespace
}  // namespace zav
