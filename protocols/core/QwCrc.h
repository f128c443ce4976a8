// The CRC-16/XMODEM and CRC-32 tables, made at compile time, and their
// per-byte steps: the engine core's block checks and the hot loops of the
// engines share them.
#pragma once

#include <cstdint>

namespace zav::crc_detail {

struct CrcTables {
  uint16_t crc16[256];
  uint32_t crc32[256];
  constexpr CrcTables() : crc16(), crc32() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint16_t c = uint16_t(i << 8);
      for (int k = 0; k < 8; ++k) c = uint16_t((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
      crc16[i] = c;
      uint32_t d = i;
      for (int k = 0; k < 8; ++k) d = (d & 1) ? (d >> 1) ^ 0xEDB88320u : d >> 1;
      crc32[i] = d;
    }
  }
};
inline constexpr CrcTables kCrc;

inline uint16_t Crc16Step(uint8_t b, uint16_t crc) { return uint16_t(kCrc.crc16[crc >> 8] ^ uint16_t(crc << 8) ^ b); }
inline uint32_t Crc32Step(uint8_t b, uint32_t crc) { return kCrc.crc32[(crc ^ b) & 0xFF] ^ (crc >> 8); }

}  // namespace zav::crc_detail
