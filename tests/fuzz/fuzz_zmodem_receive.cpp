// The Zmodem protocol's receive side fed arbitrary bytes and time steps on the
// in-memory device (ReceiveFuzz.h): headers, subpackets, escapes, file
// information, positions and names.
#include "protocols/core/QwAbsPcl.h"
#include "tests/fuzz/ReceiveFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return zav::fuzz::FuzzReceive(data, size, [size](zav::test::TMemoryProtocolRig& rig) {
    rig.protocol->SetProtocolType(zav::ptZmodem);
    // The input's length picks the resume and file-option paths too.
    rig.protocol->SetZmodemRecover((size & 1) != 0);
    rig.protocol->SetZmodemOptionOverride((size & 2) != 0);
    static const zav::TZmodemFileOptions kOptions[] = {zav::zfoWriteNewerLonger, zav::zfoWriteAppend,
                                                      zav::zfoWriteClobber,     zav::zfoWriteNewer,
                                                      zav::zfoWriteDifferent,   zav::zfoWriteProtect};
    rig.protocol->SetZmodemFileOption(kOptions[size % 6]);
    rig.protocol->SetZmodem8K((size & 4) != 0);
    rig.protocol->SetHandshakeWait(20);
    rig.protocol->SetHandshakeRetry(3);
    rig.protocol->BeginReceive();
  });
}
