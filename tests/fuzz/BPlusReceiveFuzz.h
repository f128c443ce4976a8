// The B+ engine under arbitrary peer bytes: the body of a libFuzzer target.
//
// The input is a script of what the far end does, the same script as the
// other receive targets: the first byte picks the end (bit 0: a transmit,
// bit 1: the Initiator), then
//   0x00..0x7F  the next (c + 1) bytes arrive
//   0x80..0xFE  (c - 0x7F) ticks pass
//   0xFF        a pass with nothing new
// After the script time runs on until the transfer ends; one still running
// after a bounded number of steps is cancelled. Properties checked (a broken
// one aborts, so the fuzzer keeps the input): exactly one finish event, a
// bounded amount of output, nothing written outside the destination.
//
// Wired in as a target:
//   extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
//     return zav::fuzz::FuzzBPlusReceive(data, size);
//   }
#pragma once

#include <cstddef>
#include <cstdint>

namespace zav::fuzz {

// `finishCode`, when given, receives the transfer's finish code.
int FuzzBPlusReceive(const uint8_t* data, size_t size, int32_t* finishCode = nullptr);
// Removes the scratch directory the runs share (made again when needed).
void FuzzBPlusCleanup();

}  // namespace zav::fuzz
