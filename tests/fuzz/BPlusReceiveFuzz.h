// The B+ engine under arbitrary peer bytes, on the in-memory device with the
// clock stopped (tests/support/ProtocolRig.h). The input's first byte picks
// the end (bit 0: a transmit, bit 1: the Initiator, bit 2: part of the asked
// file is there already, so resume is tried); the rest is the script of
// ReceiveFuzz.h (runs of bytes, ticks, empty passes), then time runs on until
// the transfer ends or is cancelled. Properties (a broken one aborts, so the
// fuzzer keeps the input): exactly one finish event, a bounded amount of
// output, nothing written outside the destination directory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zav::fuzz {

// `finishCode`, when given, receives the transfer's finish code.
int FuzzBPlusReceive(const uint8_t* data, size_t size, int32_t* finishCode = nullptr);

}  // namespace zav::fuzz
