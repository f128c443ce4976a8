// What the emulators draw on: opaque text runs with per-cell advances, fills,
// lines and a clip rectangle. The terminal widget implements it over its
// painter; tests record the calls.
#pragma once

#include <cstdint>
#include <string>

namespace zav {

// A rectangle of cells (inclusive bounds) or of pixels (right and bottom
// exclusive), by context.
struct TQxRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;
  int Bottom = 0;
  bool operator==(const TQxRect&) const = default;
};

// Height follows the window-system rule: negative is the character height in
// pixels. Oem selects the font's OEM character set (code page 437 glyphs for
// bytes 0x80-0xFF and the line-drawing set).
struct TQxFont {
  std::string Name = "Terminal";
  int Height = -15;
  uint32_t Color = 0xC0C0C0;  // 0x00BBGGRR
  bool Oem = true;
  bool operator==(const TQxFont&) const = default;
};

class TQxCanvas {
 public:
  virtual ~TQxCanvas() = default;

  // Pixels, right and bottom exclusive.
  virtual TQxRect ClipRect() const = 0;
  virtual void SetClipRect(const TQxRect& rect) = 0;

  virtual void FillRect(const TQxRect& rect, uint32_t color) = 0;
  // Fills `rect` with `back`, then draws `count` bytes of `text` in `font`
  // (its colour is the text colour), the first at (x, y) and each next one
  // advances[i] pixels right of the previous, whatever the glyph widths.
  virtual void TextRun(const TQxRect& rect, int x, int y, const TQxFont& font, uint32_t back,
                       const uint8_t* text, int count, const int* advances) = 0;
  virtual void Line(int x1, int y1, int x2, int y2, uint32_t color) = 0;
};

}  // namespace zav
