// The shared receive driver (tests/fuzz/ReceiveFuzz.h) run with the Xmodem
// and Ymodem receive sides on the seed corpus of fuzz_xymodem_receive, and
// on seeded damage of it, in every variant: each must end with one finish,
// bounded output and nothing written outside the destination (the driver
// aborts otherwise).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "tests/fuzz/ReceiveFuzz.h"

namespace zav::test {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void BeginXYmodem(TMemoryProtocolRig& rig, TProtocolType type, bool honor) {
  rig.protocol->SetProtocolType(type);
  if (type < ptYmodem) rig.protocol->SetFileName(std::string(fuzz::kFuzzDestination) + "/x.bin");
  rig.protocol->SetHonorDirectory(honor);
  rig.protocol->SetHandshakeWait(20);
  rig.protocol->SetHandshakeRetry(3);
  rig.protocol->BeginReceive();
}

TEST(XYmodemReceiveFuzz, SeedsAndTheirDamageEndCleanlyInEveryVariant) {
  const fs::path seeds = fs::path(ZAV_PROTOCOL_TEST_DATA) / "../../fuzz/corpus/fuzz_xymodem_receive";
  ASSERT_TRUE(fs::is_directory(seeds));
  std::mt19937 gen(23);
  size_t runs = 0;
  for (const auto& entry : fs::directory_iterator(seeds)) {
    const std::vector<uint8_t> seed = ReadBytes(entry.path());
    for (int variant = 0; variant < 12; ++variant) {
      std::vector<uint8_t> input = seed;
      // Some runs flip a few bytes of the script.
      for (int i = 0; i < variant % 4 && !input.empty(); ++i) input[gen() % input.size()] ^= uint8_t(1 << (gen() % 8));
      const TProtocolType type = TProtocolType(ptXmodem + variant % 6);
      EXPECT_EQ(fuzz::FuzzReceive(input.data(), input.size(),
                                  [&](TMemoryProtocolRig& rig) { BeginXYmodem(rig, type, variant >= 6); }),
                0);
      ++runs;
    }
  }
  EXPECT_GE(runs, 36u);
}

}  // namespace
}  // namespace zav::test
