// The TTY emulator and screen buffer fed arbitrary bytes, keys, paints and
// size changes (EmulatorFuzz.h).
#include "tests/fuzz/EmulatorFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return zav::fuzz::FuzzEmulator(data, size, false);
}
