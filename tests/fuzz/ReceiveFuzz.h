// The receive side of a protocol engine under a fuzz input: the engine runs on
// the in-memory device with the clock stopped (tests/support/ProtocolRig.h)
// and the input is a script of what the far end does:
//   0x00..0x7F  the next (c + 1) bytes arrive
//   0x80..0xFE  (c - 0x7F) ticks pass
//   0xFF        a pass with nothing new
// What the engine sends goes onto the wire after every step. After the script
// time runs on until the transfer ends; one still running after a bounded
// number of steps is cancelled. Every transfer must end with exactly one
// finish event, send a bounded amount, and write nothing outside the
// destination directory (kFuzzDestination in the scratch directory, set
// before `begin`): anything else stops the fuzzer.
//
// An engine adds its fuzz target with a few lines:
//   extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
//     return zav::fuzz::FuzzReceive(data, size, [](zav::test::TMemoryProtocolRig& rig) {
//       rig.protocol->SetProtocolType(ptXmodem);
//       rig.protocol->BeginReceive();
//     });
//   }
// and a zav_fuzz_target line in tests/fuzz/CMakeLists.txt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "tests/support/ProtocolRig.h"

namespace zav::fuzz {

// The destination directory's name in the scratch directory: a receive that
// takes a file name puts it there too.
constexpr const char* kFuzzDestination = "dest";

// `begin` chooses the protocol, its settings and starts the receive.
int FuzzReceive(const uint8_t* data, size_t size, const std::function<void(test::TMemoryProtocolRig&)>& begin);

}  // namespace zav::fuzz
