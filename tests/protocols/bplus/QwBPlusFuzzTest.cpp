// The B+ fuzz body run here on scripts made from valid sessions and damaged
// at random (seeded), and on random scripts: every one must end with one
// finish, bounded output and nothing outside the destination. The fuzz
// target (libFuzzer) explores further from the same function.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "protocols/bplus/QwBPlusCodec.h"
#include "tests/fuzz/BPlusReceiveFuzz.h"

namespace zav::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Packet(uint8_t digit, uint8_t type, const std::string& body, bool crc) {
  Bytes out;
  BPlusEncodePacket(out, digit, type, reinterpret_cast<const uint8_t*>(body.data()), body.size(),
                    TBPlusQuoteSet::Default(), crc);
  return out;
}

Bytes Params(uint8_t digit, uint8_t window, uint8_t blocks, uint8_t crc, uint8_t resume) {
  TBPlusParams p;
  p.WS = p.WR = window;
  p.BS = blocks;
  p.CM = crc;
  p.DQ = 1;
  p.Q = TBPlusQuoteSet::Default().ToMask();
  p.DR = p.UR = resume;
  Bytes out;
  BPlusEncodeParamsPacket(out, digit, BPlusEncodeParams(p));
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A script: the mode byte, then the peer's bytes in runs with a tick between.
Bytes Script(uint8_t mode, const std::vector<Bytes>& turns) {
  Bytes s{mode};
  for (const Bytes& turn : turns) {
    for (size_t at = 0; at < turn.size(); at += 128) {
      const size_t n = std::min<size_t>(128, turn.size() - at);
      s.push_back(uint8_t(n - 1));
      s.insert(s.end(), turn.begin() + long(at), turn.begin() + long(at + n));
    }
    s.push_back(0x80);
  }
  return s;
}

// What a peer says to each of our ends in a session that goes well.
std::vector<Bytes> Sessions() {
  auto ackOf = [](int d) { return Bytes{0x10, uint8_t('0' + d)}; };
  std::vector<Bytes> out;
  // Our responder takes a download.
  out.push_back(Script(0, {{0x05}, Params(1, 1, 4, 1, 2), Cat({ackOf(2), Packet(3, 'T', "DBasked.bin", true)}),
                           Cat({Packet(4, 'N', std::string(300, 'a'), true), Packet(5, 'N', "tail", true)}),
                           Packet(6, 'T', "C", true)}));
  // Our responder is asked for a file.
  // (3000 bytes: three packets of 1024 one at a time, then TC.)
  out.push_back(Script(1, {{0x05}, Params(1, 0, 8, 0, 2), Cat({ackOf(2), Packet(3, 'T', "UBoffered.bin", false)}),
                           ackOf(4), ackOf(5), ackOf(6), ackOf(7)}));
  // Our initiator asks for a file.
  out.push_back(Script(2, {{0x10, '+', '+', 0x10, '0'}, Cat({ackOf(1), Params(2, 1, 8, 1, 2)}), ackOf(3),
                           Cat({Packet(4, 'N', "data", true), Packet(5, 'T', "C", true)})}));
  // Our initiator offers a file; the peer's part differs: Tf, then six
  // packets of 512 and TC (digits 5 to 9, 0 to 2).
  std::vector<Bytes> resumed = {{0x10, '+', '+', 0x10, '0'}, Cat({ackOf(1), Params(2, 1, 4, 0, 2)}),
                                Packet(4, 'T', "r10 12345", false)};
  for (int d : {5, 6, 7, 8, 9, 0, 1, 2}) resumed.push_back(ackOf(d));
  out.push_back(Script(3, resumed));
  return out;
}

Bytes Damage(Bytes s, std::mt19937& gen) {
  const int edits = 1 + int(gen() % 4);
  for (int i = 0; i < edits && s.size() > 2; ++i) {
    const size_t at = 1 + gen() % (s.size() - 1);
    switch (gen() % 4) {
      case 0: s[at] ^= uint8_t(1 << (gen() % 8)); break;
      case 1: s.erase(s.begin() + long(at), s.begin() + long(std::min(s.size(), at + 1 + gen() % 8))); break;
      case 2: s.insert(s.begin() + long(at), uint8_t(gen())); break;
      default: {
        const size_t n = std::min<size_t>(s.size() - at, 1 + gen() % 40);
        const Bytes copy(s.begin() + long(at), s.begin() + long(at + n));
        s.insert(s.begin() + long(at), copy.begin(), copy.end());
      }
    }
  }
  return s;
}

TEST(BPlusFuzz, ValidSessionsEndWellAndDamagedOnesEndAtAll) {
  std::mt19937 gen(2026);
  const std::vector<Bytes> sessions = Sessions();
  for (size_t k = 0; k < sessions.size(); ++k) {
    const Bytes& session = sessions[k];
    int32_t code = 1;
    ASSERT_EQ(fuzz::FuzzBPlusReceive(session.data(), session.size(), &code), 0);
    EXPECT_EQ(code, 0) << "session " << k;
    for (int i = 0; i < 40; ++i) {
      const Bytes damaged = Damage(session, gen);
      ASSERT_EQ(fuzz::FuzzBPlusReceive(damaged.data(), damaged.size()), 0);
    }
  }
  for (int i = 0; i < 60; ++i) {
    Bytes random(1 + gen() % 600);
    for (auto& b : random) b = uint8_t(gen());
    ASSERT_EQ(fuzz::FuzzBPlusReceive(random.data(), random.size()), 0);
  }
}

}  // namespace
}  // namespace zav::test
