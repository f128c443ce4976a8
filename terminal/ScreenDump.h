// A plain-text picture of a screen buffer, for golden tests and tools.
//
//   # vtdump rows=R cols=C cursor=ROW,COL reverse=0|1 cursorvisible=0|1 scrollback=N bells=N
//   [text]   R lines of C cells in UTF-8, as drawn (code page 437 for bytes
//            0x00-0x1F and 0x7F-0xFF, line-drawing glyphs, U+00A3 for the UK
//            pound)
//   [line]   one character per row: - single, W double width, T/B double
//            height top/bottom
//   [attr]   R lines of one hex digit per cell: 1 bold, 2 underline, 4 blink,
//            8 reverse
//   [fg]     R lines, [bg] R lines: . the buffer's default colour, 0-7 the
//            eight VT100 colours, ? any other
//
// The cursor is 0-based on the screen; scrollback is the number of lines
// pushed into the history (at most its size). Every line ends in "\n".
#pragma once

#include <functional>
#include <string>

#include "terminal/QXTrmBuf.h"

namespace zav {

struct TScreenDumpInfo {
  bool Reverse = false;
  bool CursorVisible = true;
  int Bells = 0;
  // Line attribute of an absolute external row: 0 single, 1 double-height
  // top, 2 double-height bottom, 3 double width. Empty: all single.
  std::function<int(int row)> LineAttr;
};

std::string DumpScreen(TQxTerminalBuffer& buffer, const TScreenDumpInfo& info = {});

// The Unicode character a cell shows: its byte in its character set (0
// US ASCII, 1 UK, 2 line drawing, 3 and 4 the alternate sets).
char32_t CellGlyph(uint8_t ch, uint8_t charSet);

}  // namespace zav
