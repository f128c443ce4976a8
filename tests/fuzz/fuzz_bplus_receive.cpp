// libFuzzer target: the B+ engine under arbitrary peer bytes (see BPlusReceiveFuzz.h).
#include "tests/fuzz/BPlusReceiveFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return zav::fuzz::FuzzBPlusReceive(data, size);
}
