// The Kermit protocol's receive side fed arbitrary bytes and time steps on the
// in-memory device (ReceiveFuzz.h): packets, windows, prefixing and names.
#include "protocols/core/QwAbsPcl.h"
#include "tests/fuzz/ReceiveFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return zav::fuzz::FuzzReceive(data, size, [](zav::test::TMemoryProtocolRig& rig) {
    rig.protocol->SetProtocolType(zav::ptKermit);
    rig.protocol->SetKermitMaxLen(1024);
    rig.protocol->SetKermitMaxWindows(4);
    rig.protocol->SetKermitTimeoutSecs(1);
    rig.protocol->SetHandshakeWait(20);
    rig.protocol->SetHandshakeRetry(3);
    rig.protocol->BeginReceive();
  });
}
