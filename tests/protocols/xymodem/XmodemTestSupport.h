// The far end of an Xmodem or Ymodem exchange for the engine tests: frames
// built independently of the engine's order of work, and a protocol
// component on the in-memory port.
#pragma once

#include <random>
#include <string>

#include "protocols/xymodem/QwXmodem.h"
#include "protocols/xymodem/QwYmodem.h"
#include "tests/protocols/ProtocolTestSupport.h"

namespace zav::test {

inline const std::string kAck(1, char(cACK)), kNak(1, char(cNAK)), kEot(1, char(cEOT)), kCan(1, char(cCAN));
inline const std::string kCancelString = "\x18\x18\x18\x08\x08\x08";

// A frame as a peer sends it; `data` is padded with 0x1A to 128 or 1024.
inline std::string Frame(uint8_t number, std::string data, bool crc, uint32_t size = 0) {
  if (size == 0) size = data.size() > 128 ? 1024 : 128;
  data.resize(size, char(kBlockFillChar));
  std::string f(kXmodemMaxFrame, '\0');
  auto* out = reinterpret_cast<uint8_t*>(f.data());
  f.resize(BuildXmodemFrame(out, number, reinterpret_cast<const uint8_t*>(data.data()), size, crc));
  return f;
}

inline std::string Random(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = char(gen() & 0xFF);
  return s;
}

class XmodemEngineTest : public MemoryProtocolTest {
 protected:
  // A test that stopped half-way leaves no transfer to report into the
  // fixture's event log while the component goes.
  void TearDown() override {
    protocol->OnProtocolStatus = nullptr;
    protocol->OnProtocolLog = nullptr;
    protocol->OnProtocolFinish = nullptr;
    protocol->OnProtocolError = nullptr;
    protocol->AbortProtocol();
    MemoryProtocolTest::TearDown();
  }
  void StartSend(TProtocolType type, const std::string& name, const std::string& bytes) {
    WriteWhole(name, bytes);
    protocol->SetProtocolType(type);
    protocol->SetUpcaseFileNames(false);
    protocol->SetFileMask(name);
    protocol->BeginTransmit();
    DrainQueue();
  }
  void StartReceive(TProtocolType type, const std::string& name = {}) {
    protocol->SetProtocolType(type);
    protocol->SetUpcaseFileNames(false);
    if (!name.empty()) protocol->SetFileName(name);
    protocol->BeginReceive();
    DrainQueue();
  }
  // Bytes from the far end.
  void Feed(const std::string& bytes) {
    device->InjectReceived(bytes);
    device->DeviceEventPass(0xFFFFFFFF);
    DrainQueue();
  }
  // What went out since the last look; the output then counts as drained.
  std::string Out() {
    std::string s = device->Wire();
    Pass();
    return s;
  }
  // Ticks a sender waits for the answer to a frame: the block wait after the
  // line (9600 baud here) could have carried it, and one more to expire.
  int32_t ReplyWait(uint32_t frame) { return 91 + LineTicks(Record(), frame) + 1; }
  // The sender's end of a file: an EOT, answered with NAK, then another,
  // answered with ACK.
  void EndFile() {
    Feed(kEot);
    EXPECT_EQ(Out(), kNak);
    Feed(kEot);
    EXPECT_EQ(Out(), kAck);
  }
};

}  // namespace zav::test
