// A terminal emulator (TTY or VT100) on a headless host under a fuzz input.
// The first byte sets the start: bit 0 132 columns, bit 1 VT52 mode (VT100),
// bit 2 half duplex, bits 4-5 the row count (24, 2, 3, 60). Then steps, each
// a control byte and its bytes:
//   0x00..0xF7  the next (c + 1) bytes arrive from the port
//   0xF8 lazy paint, 0xF9 full paint, 0xFA a blink phase
//   0xFB a key (two bytes of key code, one of shift state); 0xFC a typed byte
//   0xFD a new size (rows 2..64, columns 2..255); 0xFE 80/132 columns
//   0xFF the screen erased
// Switching VT52, double size and the column modes also comes from the
// stream's own sequences (see vt100.dict). After every step the cursor must
// be on the screen.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zav::fuzz {

int FuzzEmulator(const uint8_t* data, size_t size, bool vt100);

}  // namespace zav::fuzz
