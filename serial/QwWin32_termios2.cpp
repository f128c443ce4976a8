// Only kernel headers here: <asm/termbits.h> clashes with <termios.h>.
#include <asm/termbits.h>
#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>

#include "serial/QwWin32_termios2.h"

namespace zav {

int GetTermios2(int fd, TTermios2& t) {
  struct termios2 k;
  if (ioctl(fd, TCGETS2, &k) != 0) return errno;
  t.iflag = k.c_iflag;
  t.oflag = k.c_oflag;
  t.cflag = k.c_cflag;
  t.lflag = k.c_lflag;
  t.line = k.c_line;
  memcpy(t.cc, k.c_cc, sizeof t.cc < sizeof k.c_cc ? sizeof t.cc : sizeof k.c_cc);
  t.ispeed = k.c_ispeed;
  t.ospeed = k.c_ospeed;
  return 0;
}

int SetTermios2(int fd, const TTermios2& t) {
  struct termios2 k;
  memset(&k, 0, sizeof k);
  k.c_iflag = t.iflag;
  k.c_oflag = t.oflag;
  k.c_cflag = (t.cflag & ~(CBAUD | (CBAUD << IBSHIFT))) | BOTHER | (BOTHER << IBSHIFT);
  k.c_lflag = t.lflag;
  k.c_line = t.line;
  memcpy(k.c_cc, t.cc, sizeof t.cc < sizeof k.c_cc ? sizeof t.cc : sizeof k.c_cc);
  k.c_ispeed = t.ispeed;
  k.c_ospeed = t.ospeed;
  if (ioctl(fd, TCSETS2, &k) != 0) return errno;
  return 0;
}

}  // namespace zav
