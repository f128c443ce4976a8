// TQxVT100Parser::ProcessChar alone on an escape-heavy stream: renditions,
// cursor addressing, erases, designations and text.
// Usage: bench_vt100_parser [megabytes] [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "terminal/QXTrmPsr.h"

int main(int argc, char** argv) {
  const double mb = argc > 1 ? std::atof(argv[1]) : 16.0;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const char* pieces[] = {"\x1b[1;31m", "status", "\x1b[0m", "\x1b[12;40H", "\x1b[K", "\x1b(0lqqk\x1b(B",
                          "\x1b[?7h", "value=42\r\n", "\x1b[2J", "\x1b[5A", "\x1b#6", "\x1b[1;5;32;44m"};
  std::string stream;
  const size_t size = size_t(mb * 1024 * 1024);
  for (size_t i = 0; stream.size() < size; ++i) stream += pieces[(i * 5 + i / 3) % 12];
  stream.resize(size);

  zav::TQxVT100Parser parser;
  double best = 1e30;
  long commands = 0;
  for (int r = 0; r < rounds; ++r) {
    commands = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (unsigned char b : stream)
      if (parser.ProcessChar(b) == zav::kParseCommand) ++commands;
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  std::printf("bytes %zu, commands %ld, best %.4f s\n", stream.size(), commands, best);
  std::printf("RESULT vt100_parser %.1f MB/s\n", double(stream.size()) / (1024.0 * 1024.0) / best);
  return 0;
}
