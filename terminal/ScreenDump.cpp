#include "terminal/ScreenDump.h"

#include <cstdio>

namespace zav {
namespace {

// Code page 437 as the OEM terminal font draws it; 0x20-0x7E are ASCII.
constexpr char16_t kCp437Low[] = {
    0x0020, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022, 0x25D8, 0x25CB, 0x25D9,
    0x2642, 0x2640, 0x266A, 0x266B, 0x263C, 0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7,
    0x25AC, 0x21A8, 0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC};

constexpr char16_t kCp437High[] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0};

// Line-drawing set, characters 0x5F-0x7E, as OEM glyph bytes.
constexpr uint8_t kLineDraw[] = {0x20, 0x04, 0xB1, 0x10, 0x17, 0x11, 0x1F, 0xF8, 0xF1, 0x1B, 0x19,
                                   0xD9, 0xBF, 0xDA, 0xC0, 0xC5, 0xC4, 0xC4, 0xC4, 0xC4, 0xC4, 0xC3, 0xB4,
                                   0xC1, 0xC2, 0xB3, 0xF3, 0xF2, 0xE3, 0xD8, 0x9C, 0xFA};

static_assert(sizeof kCp437Low / sizeof kCp437Low[0] == 32);
static_assert(sizeof kCp437High / sizeof kCp437High[0] == 128);
static_assert(sizeof kLineDraw == 32);

char32_t Oem(uint8_t b) {
  if (b < 0x20) return kCp437Low[b];
  if (b < 0x7F) return b;
  if (b == 0x7F) return 0x2302;
  return kCp437High[b - 0x80];
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

constexpr uint32_t kVt100Colors[8] = {0x000000, 0x000080, 0x008000, 0x008080,
                                      0x800000, 0x800080, 0x808000, 0xC0C0C0};

char ColorChar(uint32_t c, uint32_t def) {
  if (c == def) return '.';
  for (int i = 0; i < 8; ++i)
    if (kVt100Colors[i] == c) return char('0' + i);
  return '?';
}

}  // namespace

char32_t CellGlyph(uint8_t ch, uint8_t charSet) {
  if ((charSet == 2 || charSet == 4) && ch >= 0x5F && ch <= 0x7E) return Oem(kLineDraw[ch - 0x5F]);
  if (charSet == 1 && ch == 0x23) return 0x00A3;
  return Oem(ch);
}

std::string DumpScreen(TQxTerminalBuffer& buffer, const TScreenDumpInfo& info) {
  const int rows = buffer.RowCount();
  const int cols = buffer.ColCount();
  std::string out;
  char head[200];
  std::snprintf(head, sizeof head,
                "# vtdump rows=%d cols=%d cursor=%d,%d reverse=%d cursorvisible=%d scrollback=%d bells=%d\n",
                rows, cols, buffer.AbsCursorRow() - 1, buffer.AbsCursorCol() - 1, info.Reverse ? 1 : 0,
                info.CursorVisible ? 1 : 0, buffer.HistoryLineCount(), info.Bells);
  out += head;
  out += "[text]\n";
  for (int r = 1; r <= rows; ++r) {
    const uint8_t* chars = buffer.GetLineChars(r);
    const uint8_t* sets = buffer.GetLineCharSets(r);
    for (int c = 0; c < cols; ++c) AppendUtf8(out, CellGlyph(chars[c], sets[c]));
    out += '\n';
  }
  out += "[line]\n";
  for (int r = 1; r <= rows; ++r) {
    const int a = info.LineAttr ? info.LineAttr(r) : 0;
    out += a == 1 ? 'T' : a == 2 ? 'B' : a == 3 ? 'W' : '-';
  }
  out += '\n';
  out += "[attr]\n";
  for (int r = 1; r <= rows; ++r) {
    const uint8_t* attrs = buffer.GetLineAttrs(r);
    for (int c = 0; c < cols; ++c) {
      const uint8_t a = attrs[c];
      const int v = ((a & kAttrBold) ? 1 : 0) | ((a & kAttrUnderline) ? 2 : 0) | ((a & kAttrBlink) ? 4 : 0) |
                    ((a & kAttrReverse) ? 8 : 0);
      out += "0123456789abcdef"[v];
    }
    out += '\n';
  }
  out += "[fg]\n";
  for (int r = 1; r <= rows; ++r) {
    const uint32_t* fg = buffer.GetLineForeColors(r);
    for (int c = 0; c < cols; ++c) out += ColorChar(fg[c], buffer.DefForeColor());
    out += '\n';
  }
  out += "[bg]\n";
  for (int r = 1; r <= rows; ++r) {
    const uint32_t* bg = buffer.GetLineBackColors(r);
    for (int c = 0; c < cols; ++c) out += ColorChar(bg[c], buffer.DefBackColor());
    out += '\n';
  }
  return out;
}

}  // namespace zav
