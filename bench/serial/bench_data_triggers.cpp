// CheckDataTriggers over a 1 MB stream with 0, 1 and 10 data triggers, in
// nanoseconds per byte. The stream is text with the occasional match.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/MemoryDevice.h"

using namespace zav;

static double NsPerByte(int triggers, const std::string& stream) {
  test::TMemoryDispatcher d;
  if (d.Open(8192, 4096, 0) != 0) return -1;
  const char* words[] = {"OK\r\n", "ERROR", "RING", "CONNECT", "NO CARRIER", "BUSY", "+CME", "READY", "login:", "$ "};
  for (int i = 0; i < triggers; ++i) d.CreateDataTrigger(words[i], i % 2 == 1);
  std::vector<uint8_t> chunk;
  std::string sink(4096, '\0');
  double ns = 0;
  for (size_t at = 0; at < stream.size(); at += 4096) {
    std::string part = stream.substr(at, 4096);
    d.InjectReceived(part);
    d.Pass();
    auto t0 = std::chrono::steady_clock::now();
    while (d.CheckDataTriggers()) {
    }
    ns += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    uint32_t used = d.InputUsed();
    d.ReadBlock(sink.data(), used);
  }
  return ns / double(stream.size());
}

int main() {
  std::string stream;
  const char* lines[] = {"AT+CSQ\r\n", "+CSQ: 21,99\r\n", "OK\r\n", "temperature=23.5 humidity=41\r\n"};
  for (int i = 0; stream.size() < (1u << 20); ++i) stream += lines[i % 4];
  stream.resize(1u << 20);
  double r0 = NsPerByte(0, stream), r1 = NsPerByte(1, stream), r10 = NsPerByte(10, stream);
  std::printf("CheckDataTriggers over 1 MB: 0 triggers %.2f ns/byte, 1 trigger %.2f ns/byte, 10 triggers %.2f ns/byte\n",
              r0, r1, r10);
  std::printf("RESULT data_triggers_0 %.2f ns/byte\n", r0);
  std::printf("RESULT data_triggers_1 %.2f ns/byte\n", r1);
  std::printf("RESULT data_triggers_10 %.2f ns/byte\n", r10);
  return 0;
}
