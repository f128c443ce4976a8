// termios2 access (any baud rate through BOTHER). Its kernel header cannot
// share a translation unit with <termios.h>, so the settings travel in this
// neutral record; the flag values are the same in both headers.
#pragma once

#include <cstdint>

namespace zav {

struct TTermios2 {
  uint32_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;
  uint8_t line = 0;
  uint8_t cc[19] = {};
  uint32_t ispeed = 0, ospeed = 0;
};

// 0 or errno.
int GetTermios2(int fd, TTermios2& t);
// Writes `t` with the rate in ospeed/ispeed as an arbitrary rate. 0 or errno.
int SetTermios2(int fd, const TTermios2& t);

}  // namespace zav
