#include "tests/support/GoldenReplay.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "terminal/Replay.h"
#include "tests/support/TestSupport.h"

namespace zav::test {

std::string ReplayToDump(const std::string& stream, size_t chunk, bool vt100) {
  TReplaySession session(vt100);
  const auto* p = reinterpret_cast<const uint8_t*>(stream.data());
  for (size_t at = 0; at < stream.size(); at += chunk) {
    session.Feed(p + at, std::min(chunk, stream.size() - at), chunk);
    if (at % (chunk * 3) == 0) session.Emulator().LazyPaint();  // painting in between changes nothing
  }
  return session.Dump(true);
}

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

std::string CheckGolden(const std::string& dataDir, const std::string& name, bool vt100,
                        std::initializer_list<size_t> chunks) {
  const std::string stream = ReadFile(dataDir + "/" + name + ".bin");
  if (stream.empty()) return "no stream " + name + ".bin";
  const std::string whole = ReplayToDump(stream, stream.size(), vt100);
  if (const char* out = std::getenv("ZAV_WRITE_GOLDEN")) WriteFile(std::string(out) + "/" + name + ".dump", whole);
  const std::string expected = ReadFile(dataDir + "/" + name + ".dump");
  if (expected.empty()) return "no dump " + name + ".dump";
  if (std::string d = FirstDifference(whole, expected); !d.empty()) return "whole stream, " + d;
  for (size_t chunk : chunks) {
    if (std::string d = FirstDifference(ReplayToDump(stream, chunk, vt100), expected); !d.empty())
      return "chunk " + std::to_string(chunk) + ", " + d;
  }
  return {};
}

}  // namespace zav::test
