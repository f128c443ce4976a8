// Byte streams replayed through the TTY emulator and compared with their
// expected screen dumps; every stream must give the same dump whatever the
// block sizes it arrives in.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "FakeTerminal.h"
#include "terminal/QXTrmEmu.h"
#include "terminal/ScreenDump.h"

namespace zav {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.good()) << path;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Replay(const std::string& stream, size_t chunk) {
  test::FakeTerminal term;
  TQxTTYEmulator emu(nullptr);
  emu.SetInternal(true);
  emu.SetTerminal(&term);
  const auto* p = reinterpret_cast<const uint8_t*>(stream.data());
  for (size_t at = 0; at < stream.size(); at += chunk) {
    emu.ProcessBlock(p + at, std::min(chunk, stream.size() - at));
    if (at % (chunk * 3) == 0) emu.LazyPaint();  // painting in between changes nothing
  }
  TScreenDumpInfo info;
  info.Bells = term.bells;
  return DumpScreen(emu.Buffer(), info);
}

// The first line where two dumps differ, for a readable failure.
std::string FirstDifference(const std::string& got, const std::string& want) {
  std::istringstream a(got), b(want);
  std::string la, lb;
  for (int line = 1;; ++line) {
    const bool ha = bool(std::getline(a, la));
    const bool hb = bool(std::getline(b, lb));
    if (!ha && !hb) return {};
    if (!ha || !hb || la != lb) return "line " + std::to_string(line) + ":\n got  [" + la + "]\n want [" + lb + "]";
  }
}

class Golden : public ::testing::TestWithParam<const char*> {};

TEST_P(Golden, MatchesDumpInAnyChunking) {
  const std::string dir = ZAV_TERMINAL_TEST_DATA;
  const std::string stream = ReadFile(dir + "/" + GetParam() + ".bin");
  const std::string expected = ReadFile(dir + "/" + GetParam() + ".dump");
  ASSERT_FALSE(stream.empty());
  for (size_t chunk : {stream.size(), size_t(1), size_t(7), size_t(4096)})
    EXPECT_EQ(FirstDifference(Replay(stream, chunk), expected), "") << "chunk " << chunk;
}

INSTANTIATE_TEST_SUITE_P(Tty, Golden, ::testing::Values("tty_basic", "tty_wrap", "tty_scroll", "tty_oem"));

}  // namespace
}  // namespace zav
