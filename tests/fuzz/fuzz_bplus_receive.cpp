// The B+ engine fed arbitrary peer bytes and time steps in each of its four
// ends on the in-memory device (BPlusReceiveFuzz.h).
#include "tests/fuzz/BPlusReceiveFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return zav::fuzz::FuzzBPlusReceive(data, size);
}
