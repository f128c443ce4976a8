// Byte streams replayed through the TTY emulator and compared with their
// expected screen dumps; every stream must give the same dump whatever the
// block sizes it arrives in (tests/support/GoldenReplay.h).
#include <gtest/gtest.h>

#include "tests/support/GoldenReplay.h"

namespace zav {
namespace {

class Golden : public ::testing::TestWithParam<const char*> {};

TEST_P(Golden, MatchesDumpInAnyChunking) {
  EXPECT_EQ(test::CheckGolden(ZAV_TERMINAL_TEST_DATA, GetParam(), false, {1, 7, 4096}), "");
}

INSTANTIATE_TEST_SUITE_P(Tty, Golden, ::testing::Values("tty_basic", "tty_wrap", "tty_scroll", "tty_oem"));

}  // namespace
}  // namespace zav
