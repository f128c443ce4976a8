// The ASCII protocol's receive side fed arbitrary bytes and time steps on the
// in-memory device (ReceiveFuzz.h).
#include "protocols/core/QwAbsPcl.h"
#include "tests/fuzz/ReceiveFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return zav::fuzz::FuzzReceive(data, size, [](zav::test::TMemoryProtocolRig& rig) {
    rig.protocol->SetProtocolType(zav::ptAscii);
    rig.protocol->SetFileName(std::string(zav::fuzz::kFuzzDestination) + "/in.txt");
    rig.protocol->SetAsciiEOFTimeout(20);
    rig.protocol->BeginReceive();
  });
}
