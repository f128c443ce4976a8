#include "serial/QwWin32_parmrk.h"

#include <cstring>

namespace zav {

size_t TParmrkDecoder::Decode(uint8_t* data, size_t n, uint32_t& marks, uint32_t& breaks) {
  size_t out = 0;
  size_t i = 0;
  // Plain data up to the first mark needs no work.
  if (state_ == 0) {
    const void* ff = std::memchr(data, 0xFF, n);
    if (!ff) return n;
    i = out = size_t(static_cast<const uint8_t*>(ff) - data);
  }
  for (; i < n; ++i) {
    const uint8_t b = data[i];
    switch (state_) {
      case 0:
        if (b == 0xFF)
          state_ = 1;
        else
          data[out++] = b;
        break;
      case 1:
        if (b == 0xFF) {
          data[out++] = 0xFF;
          state_ = 0;
        } else if (b == 0x00) {
          state_ = 2;
        } else {
          // Not a mark (cannot happen with PARMRK): keep both bytes.
          data[out++] = 0xFF;
          data[out++] = b;
          state_ = 0;
        }
        break;
      default:
        if (b == 0) {
          ++breaks;
        } else {
          ++marks;
          data[out++] = b;
        }
        state_ = 0;
        break;
    }
  }
  return out;
}

}  // namespace zav
