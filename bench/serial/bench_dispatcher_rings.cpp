// WriteBlock + ReadBlock through the in-memory device with a loop-back plug:
// a block is queued in the transmit ring, moved to the driver's input, read
// into the receive ring by a dispatcher pass and read out again.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/MemoryDevice.h"

using namespace zav;

static double RunMBs(uint32_t blockSize, size_t totalBytes) {
  test::TMemoryDispatcher d;
  if (d.Open(4096, 8192, 0) != 0) {
    std::fprintf(stderr, "open failed\n");
    return 0;
  }
  std::vector<uint8_t> block(blockSize), back(blockSize);
  for (uint32_t i = 0; i < blockSize; ++i) block[i] = uint8_t(i * 7);
  size_t moved = 0;
  auto t0 = std::chrono::steady_clock::now();
  while (moved < totalBytes) {
    if (d.WriteBlock(block.data(), blockSize) != 0) return 0;
    d.Loopback();
    d.Pass();
    if (d.ReadBlock(back.data(), blockSize) != int32_t(blockSize)) return 0;
    moved += blockSize;
  }
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (std::memcmp(block.data(), back.data(), blockSize) != 0) {
    std::fprintf(stderr, "data corrupted\n");
    return 0;
  }
  return double(moved) / s / 1e6;
}

int main() {
  double small = RunMBs(60, size_t(200) << 20);
  double large = RunMBs(4096, size_t(2) << 30);
  std::printf("write+read 60-byte blocks:   %.1f MB/s\n", small);
  std::printf("write+read 4096-byte blocks: %.1f MB/s\n", large);
  std::printf("RESULT dispatcher_rings_60 %.1f MB/s\n", small);
  std::printf("RESULT dispatcher_rings_4096 %.1f MB/s\n", large);
  return small > 0 && large > 0 ? 0 : 1;
}
