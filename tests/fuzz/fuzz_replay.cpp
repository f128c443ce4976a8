// mero replay's input path: recorded streams through a headless terminal and
// its screen dump. The first bytes choose the options (emulator, rows,
// columns, chunk size, dump kind, one dump per file); 0xFF bytes in the rest
// split it into files.
#include <string>

#include "terminal/Replay.h"
#include "tests/fuzz/FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zav::fuzz::TFuzzInput in(data, size);
  const uint8_t flags = in.Byte();
  const int rows = in.Range(zav::TReplaySession::kMinSize, zav::TReplaySession::kMaxSize);
  const int cols = in.Range(zav::TReplaySession::kMinSize, zav::TReplaySession::kMaxSize);
  const size_t chunk = size_t(in.Range(1, 64)) * size_t(1 + (flags >> 4));
  zav::TReplaySession session((flags & 1) != 0, rows, cols);
  const bool full = (flags & 2) != 0, each = (flags & 4) != 0;
  auto rest = in.Rest();
  size_t start = 0;
  for (size_t i = 0; i <= rest.size(); ++i) {
    if (i < rest.size() && rest[i] != 0xFF) continue;
    session.Feed(rest.data() + start, i - start, chunk);
    if (each) session.Dump(full);
    start = i + 1;
  }
  session.Dump(full);
  return 0;
}
