// The Xmodem and Ymodem receive sides fed arbitrary bytes and time steps on
// the in-memory device (ReceiveFuzz.h): block 0 names, sizes and dates,
// blocks, EOT and cancels. The input's length picks the variant.
#include <string>

#include "protocols/core/QwAbsPcl.h"
#include "tests/fuzz/ReceiveFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return zav::fuzz::FuzzReceive(data, size, [size](zav::test::TMemoryProtocolRig& rig) {
    static const zav::TProtocolType kTypes[] = {zav::ptXmodem,   zav::ptXmodemCRC, zav::ptXmodem1K,
                                                zav::ptXmodem1KG, zav::ptYmodem,    zav::ptYmodemG};
    const zav::TProtocolType type = kTypes[size % 6];
    rig.protocol->SetProtocolType(type);
    if (type < zav::ptYmodem) rig.protocol->SetFileName(std::string(zav::fuzz::kFuzzDestination) + "/x.bin");
    rig.protocol->SetHonorDirectory((size & 8) != 0);
    rig.protocol->SetHandshakeWait(20);
    rig.protocol->SetHandshakeRetry(3);
    rig.protocol->BeginReceive();
  });
}
