// Decoding of the kernel's in-band line-error marks (PARMRK): a data byte 0xFF
// arrives as FF FF, a byte with a parity or framing error as FF 00 c, a break
// as FF 00 00. Marks may be split across reads; the decoder keeps the partial
// mark for the next call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zav {

class TParmrkDecoder {
 public:
  // Decodes `n` raw bytes in place (the output is never longer). Returns the
  // number of data bytes; `marks` counts error marks (c != 0) and `breaks`
  // break marks (c == 0). A marked byte c is kept as data; a break gives none.
  size_t Decode(uint8_t* data, size_t n, uint32_t& marks, uint32_t& breaks);
  size_t Pending() const { return state_; }
  void Reset() { state_ = 0; }

 private:
  int state_ = 0;  // 0 none, 1 after FF, 2 after FF 00
};

}  // namespace zav
