// Regular expressions on a stream: 100 MB of device output (text lines of
// readings, with the bytes of a binary dump now and then) fed in 4 KiB reads
// to 20 patterns searched at once, each resuming where it stopped, as a plan's
// searches do. None matches until the last line, so each looks at every
// byte. Reports MB/s of stream: a 3 Mbaud line carries 0.3 MB/s.
//
//   bench_expect [MEGABYTES]     (default 100)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "qc/StreamMatch.h"

int main(int argc, char** argv) {
  using namespace zav::qc;
  const size_t megabytes = argc > 1 ? size_t(std::atol(argv[1])) : 100;
  const std::vector<std::string> sources = {
      R"(ERROR \d+)",          R"(FAULT)",           R"(PANIC: (.*)\r)",     R"(SN: (\w{8}))",
      R"(VER (\d+)\.(\d+))",   R"(TEMP (\d{3}) C)",  R"(\bWATCHDOG\b)",      R"((?i)brown-?out)",
      R"(CRC mismatch)",       R"(OVERCURRENT on (\w+))", R"(^BOOTLOADER)",  R"(calibration (failed|lost))",
      R"(ASSERT [a-z_]+\.c:\d+)", R"(stack overflow)", R"(READY>)",          R"(reset cause: (\w+))",
      R"(V=(9\.\d\d))",        R"(LINK DOWN)",       R"(\x1b\[31m)",         R"(DONE \d{5})"};
  std::vector<std::shared_ptr<Pattern>> patterns;
  for (const auto& s : sources) {
    std::string error;
    size_t at = 0;
    auto p = Pattern::Compile(s, error, at);
    if (!p) {
      std::fprintf(stderr, "%s: %s\n", s.c_str(), error.c_str());
      return 1;
    }
    patterns.push_back(p);
  }
  // The stream: readings lines and a little binary, then the one line that
  // every search has been waiting for.
  std::mt19937 random(1);  // 32-bit results: printed as unsigned
  std::string block;
  while (block.size() < (1 << 20)) {
    char line[96];
    std::snprintf(line, sizeof line, "T=%05u V=3.%02u I=%03umA state=RUN seq=%08u\r\n", unsigned(random() % 100000),
                  unsigned(random() % 100), unsigned(random() % 1000), unsigned(random()));
    block += line;
    if (random() % 50 == 0)
      for (int i = 0; i < 64; ++i) block += char(random() & 0x7F);
  }
  const size_t total = megabytes << 20;
  StreamText text;
  std::vector<std::unique_ptr<StreamSearch>> searches;
  for (const auto& p : patterns) searches.push_back(std::make_unique<StreamSearch>(p, 0));
  size_t matches = 0;
  const auto start = std::chrono::steady_clock::now();
  for (size_t fed = 0; fed < total; fed += 4096) {
    text.Append(std::string_view(block).substr(fed % block.size() / 4096 * 4096, 4096));
    uint64_t keep = text.End();
    for (auto& s : searches) {
      if (s->Scan(text) == StreamSearch::Result::Match) ++matches;
      keep = std::min(keep, s->Needs());
    }
    text.DropBefore(keep);
  }
  text.Append("PANIC: brown-out\r\n");
  for (auto& s : searches) matches += s->Scan(text, true) == StreamSearch::Result::Match;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double rate = double(total) / 1e6 / seconds;
  std::printf("%zu MB through %zu patterns in %.2f s (%zu matches; a 3 Mbaud line is 0.3 MB/s)\n", megabytes,
              patterns.size(), seconds, matches);
  std::printf("RESULT expect_20_patterns %.0f MB/s\n", rate);
  return 0;
}
