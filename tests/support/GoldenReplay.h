// The golden-replay harness: a recorded byte stream (NAME.bin in a data
// directory) through a headless terminal must give its expected screen dump
// (NAME.dump, ScreenDump.h) whatever blocks it arrives in, with paints in
// between that change nothing.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>

namespace zav::test {

// The full screen dump after `stream` went to the emulator in blocks of
// `chunk`, with a paint after every third block.
std::string ReplayToDump(const std::string& stream, size_t chunk, bool vt100);

// The first line where two dumps differ, for a readable failure; empty when
// they are the same.
std::string FirstDifference(const std::string& got, const std::string& want);

// Replays NAME whole and in each of `chunks`; empty when every dump matches
// NAME.dump, else what went wrong. With ZAV_WRITE_GOLDEN set to a directory,
// the whole-stream dump is written there first (to make a new golden file).
std::string CheckGolden(const std::string& dataDir, const std::string& name, bool vt100,
                        std::initializer_list<size_t> chunks);

}  // namespace zav::test
