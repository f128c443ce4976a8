// Kermit's wire format on its own: block checks against packets a peer
// program put on the line, the Send-Init field, packet building, prefixing
// both ways and the packet reader.
#include "protocols/kermit/QwKermitCodec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace zav::test {
namespace {

std::string Str(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }
const uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string Build(const TKermitFraming& f, uint8_t seq, uint8_t type, const std::string& data) {
  std::vector<uint8_t> out(kKermitMaxPacketBytes);
  return Str(out.data(), BuildKermitPacket(f, seq, type, Bytes(data), data.size(), out.data()));
}

struct StringSink : TKermitSink {
  std::string out;
  void Put(uint8_t b, uint32_t count) override { out.append(count, char(b)); }
};

std::string Encode(const TKermitQuoting& q, const std::string& src, size_t limit = kKermitMaxData,
                   size_t* taken = nullptr) {
  std::vector<uint8_t> out(kKermitMaxData);
  size_t len = 0;
  const size_t t = KermitEncode(q, Bytes(src), src.size(), out.data(), limit, len);
  if (taken) *taken = t;
  return Str(out.data(), len);
}

std::string Decode(const TKermitQuoting& q, const std::string& field) {
  StringSink sink;
  KermitDecode(q, Bytes(field), field.size(), sink);
  return sink.out;
}

uint8_t CheckOne(const void*, uint8_t) { return '1'; }
uint8_t CheckThreeButS(const void*, uint8_t type) { return type == 'S' ? '1' : '3'; }

// Packets as a peer program sent them: the check of each (the bytes between
// SOH and the check) must be the one it carried.
struct PeerPacket {
  const char* body;
  uint8_t checkType;
  const char* check;
};

TEST(KermitCodec, BlockChecksMatchThoseOfPeerPackets) {
  const PeerPacket packets[] = {
      {"9 S~/ @-#Y3~^>J)0___F\"U1A", '1', "@"},  // a Send-Init with continued fields
      {"9 S~' @-#Y3~*!J*0+++J\"U1A", '1', "P"},
      {"$\"Y", '2', "\"?"},
      {"$#Y", '2', "\"@"},
      {"%\"Y", '3', ".5!"},
      {"%)Y", '3', " 'I"},
      {"9!Y/tmp/kt/in/small.bin", '3', "$X6"},
  };
  for (const auto& p : packets) {
    const std::string body = p.body;
    uint8_t out[3];
    const uint32_t n = KermitBlockCheck(p.checkType, Bytes(body), body.size(), out);
    EXPECT_EQ(Str(out, n), p.check) << body;
    TKermitFraming f;
    f.CheckType = p.checkType;
    // The same packet built from its parts.
    const uint8_t seq = uint8_t(body[1] - 32), type = uint8_t(body[2]);
    EXPECT_EQ(Build(f, seq, type, body.substr(3)), "\x01" + body + p.check + "\r") << body;
  }
}

TEST(KermitCodec, PaddingTerminatorAndTheLongForm) {
  TKermitFraming f{3, 0x07, 10, '1'};
  uint8_t check[3];
  KermitBlockCheck('1', Bytes("#%N"), 3, check);
  EXPECT_EQ(Build(f, 5, 'N', ""), "\a\a\a\x01#%N" + Str(check, 1) + "\n");
  // 89 data bytes with a 3-byte check still fit the short form; one more
  // takes the long form with its header check.
  f = {0, 0, 13, '3'};
  EXPECT_EQ(uint8_t(Build(f, 1, 'D', std::string(89, 'a'))[1]), 32 + 94);
  const std::string longPacket = Build(f, 1, 'D', std::string(1000, 'a'));
  ASSERT_EQ(longPacket.size(), 1u + 6 + 1000 + 3 + 1);
  EXPECT_EQ(longPacket[1], ' ');  // LEN 0: long
  const uint32_t x = uint32_t(longPacket[4] - 32) * 95 + uint32_t(longPacket[5] - 32);
  EXPECT_EQ(x, 1003u);  // data and check
  EXPECT_EQ(uint8_t(longPacket[6]), KermitHeaderCheck(Bytes(longPacket) + 1));
}

TEST(KermitCodec, SendInitFieldBothWays) {
  TKermitParams p;
  p.MaxLen = 94;
  p.TimeoutSecs = 7;
  p.PadCount = 2;
  p.PadChar = 0;
  p.CheckType = '3';
  p.Capabilities = kKermitCapLong | kKermitCapWindows;
  p.Windows = 27 + 32;  // only 5 bits travel
  p.LongLen = 1024;
  uint8_t field[kKermitSendInitSize];
  ASSERT_EQ(EncodeSendInit(p, field), 13u);
  EXPECT_EQ(Str(field, 13), "~'\"@-#Y3~&;*j");
  TKermitParams back = KermitRemoteDefaults();
  DecodeSendInit(field, 13, back);
  EXPECT_EQ(back.MaxLen, 94);
  EXPECT_EQ(back.TimeoutSecs, 7);
  EXPECT_EQ(back.PadCount, 2);
  EXPECT_EQ(back.PadChar, 0);
  EXPECT_EQ(back.Terminator, 13);
  EXPECT_EQ(back.CheckType, '3');
  EXPECT_EQ(back.Capabilities, kKermitCapLong | kKermitCapWindows);
  EXPECT_EQ(back.Windows, 27);
  EXPECT_EQ(back.LongLen, 1024u);

  // A peer's field with every capability byte after the first flagged as
  // continued: the window and long length come behind the last one.
  const std::string peer = "~/ @-#Y3~!!^>J)0___";  // CAPAS "!" (continued), "!" (continued), "^"
  TKermitParams q = KermitRemoteDefaults();
  DecodeSendInit(Bytes(peer), peer.size(), q);
  EXPECT_EQ(q.Capabilities, 1);
  EXPECT_EQ(q.Windows, 30);
  EXPECT_EQ(q.LongLen, 42u * 95 + 9);

  // The capability bits as the peers read them: long packets 2, windows 4.
  // C-Kermit offers both, G-Kermit long packets only; C-Kermit's answer to a
  // Send-Init of ours that offered both (27 slots, 1024 bytes) took both.
  const struct {
    std::string field;
    bool longPackets, windows;
    uint8_t slots;
    uint32_t longLen;
  } peers[] = {{"~/ @-#Y3~^>J)0___F\"U1A", true, true, 30, 3999},
               {"~' @-#Y3~*!J*0+++J\"U1A", true, false, 1, 4000},
               {"~/ @-#Y2~^;*i0___B\"U1@", true, true, 27, 1023}};
  for (const auto& c : peers) {
    TKermitParams k = KermitRemoteDefaults();
    DecodeSendInit(Bytes(c.field), c.field.size(), k);
    EXPECT_EQ((k.Capabilities & kKermitCapLong) != 0, c.longPackets) << c.field;
    EXPECT_EQ((k.Capabilities & kKermitCapWindows) != 0, c.windows) << c.field;
    EXPECT_EQ(k.Windows, c.slots) << c.field;
    EXPECT_EQ(k.LongLen, c.longLen) << c.field;
  }

  // A short field leaves the defaults: no 8-bit or repeat prefix.
  TKermitParams s = KermitRemoteDefaults();
  DecodeSendInit(Bytes(std::string("H*")), 2, s);
  EXPECT_EQ(s.MaxLen, 40);
  EXPECT_EQ(s.TimeoutSecs, 10);
  EXPECT_EQ(s.HibitPrefix, ' ');
  EXPECT_EQ(s.RepeatPrefix, ' ');
  EXPECT_EQ(s.LongLen, 0u);
}

TEST(KermitCodec, RunsOfOneHundredGoOutAsNinetyFourAndSix) {
  TKermitQuoting q;
  q.RepeatPrefix = '~';
  EXPECT_EQ(Encode(q, std::string(100, 'a')), "~~a~&a");
  EXPECT_EQ(Decode(q, "~~a~&a"), std::string(100, 'a'));
  // Four are sent as they are, five are counted.
  EXPECT_EQ(Encode(q, "bbbb"), "bbbb");
  EXPECT_EQ(Encode(q, "bbbbb"), "~%b");
  // Without the repeat prefix the tilde is an ordinary byte.
  EXPECT_EQ(Encode(TKermitQuoting{}, "~~"), "~~");
}

TEST(KermitCodec, EightBitQuotingAndControls) {
  TKermitQuoting y;
  y.HibitPrefix = 'Y';
  EXPECT_EQ(Encode(y, "\xC1"), "YA");
  TKermitQuoting q;
  q.HibitPrefix = '&';
  q.RepeatPrefix = '~';
  const struct {
    std::string in, out;
  } cases[] = {
      {"\x01", "#A"},       {"\x7F", "#?"},       {"\x81", "&#A"},  {"\xFF", "&#?"}, {"#", "##"},
      {"\xA3", "&##"},      {"&", "#&"},          {"\xA6", "&#&"},  {"~", "#~"},   {"\xFE", "&#~"},
      {"\r\n", "#M#J"},     {"\x80\x80\x80\x80\x80", "~%&#@"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Encode(q, c.in), c.out) << int(uint8_t(c.in[0]));
    EXPECT_EQ(Decode(q, c.out), c.in) << c.out;
  }
  // Without 8-bit quoting a byte with the high bit goes as it is (a C1
  // control too); a peer that prefixes C1 controls is still understood.
  TKermitQuoting plain;
  EXPECT_EQ(Encode(plain, "\xC1\x81\xFF\xA3"), "\xC1\x81\xFF#\xA3");
  EXPECT_EQ(Decode(plain, "\xC1\x81\xFF#\xA3"), "\xC1\x81\xFF\xA3");
  EXPECT_EQ(Decode(plain, "#\xC1#\xBF"), "\x81\xFF");
}

TEST(KermitCodec, EveryByteRoundTripsUnderEveryQuoting) {
  std::string all;
  for (int i = 0; i < 256; ++i) all += char(i);
  std::mt19937 gen(7);
  std::string runs;
  for (int i = 0; i < 3000; ++i) runs.append(gen() % 120, char(gen() & 0xFF));
  for (uint8_t hibit : {uint8_t(0), uint8_t('&')}) {
    for (uint8_t rept : {uint8_t(0), uint8_t('~')}) {
      TKermitQuoting q;
      q.HibitPrefix = hibit;
      q.RepeatPrefix = rept;
      for (const std::string& data : {all, runs}) {
        // Field by field as a sender cuts them, at several limits.
        for (size_t limit : {5u, 35u, 89u, 1019u}) {
          std::string decoded;
          size_t at = 0;
          while (at < data.size()) {
            size_t taken = 0;
            const std::string field = Encode(q, data.substr(at), limit, &taken);
            ASSERT_GT(taken, 0u);
            ASSERT_LE(field.size(), limit);
            if (hibit) {
              for (char c : field) ASSERT_LT(uint8_t(c), 0x80) << "8-bit quoting leaves no high bit";
            }
            for (char c : field) ASSERT_NE(c, '\x01') << "no SOH in a data field";
            decoded += Decode(q, field);
            at += taken;
          }
          EXPECT_EQ(decoded, data) << "hibit " << int(hibit) << " rept " << int(rept) << " limit " << limit;
        }
      }
    }
  }
}

TEST(KermitCodec, DecodingATruncatedFieldDropsTheDanglingPrefix) {
  TKermitQuoting q;
  q.HibitPrefix = '&';
  q.RepeatPrefix = '~';
  EXPECT_EQ(Decode(q, "ab#"), "ab");
  EXPECT_EQ(Decode(q, "ab&"), "ab");
  EXPECT_EQ(Decode(q, "ab~"), "ab");
  EXPECT_EQ(Decode(q, "ab~("), "ab");
  EXPECT_EQ(Decode(q, "~ x"), "");  // a count of 0
}

// --- Reader ---------------------------------------------------------------------------------

struct ReadOutcome {
  std::vector<TKermitReadResult> results;
  size_t used = 0;
};

ReadOutcome FeedAll(TKermitReader& r, const std::string& bytes, bool headerOnly,
                    uint8_t (*check)(const void*, uint8_t) = CheckOne) {
  ReadOutcome o;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t used = 0;
    const TKermitReadResult res = r.Feed(Bytes(bytes) + at, bytes.size() - at, used, headerOnly, check, nullptr);
    at += used;
    if (res == krNone || res == krMore) continue;
    o.results.push_back(res);
    if (res == krGood || res == krBad) continue;
    if (res == krHeader && headerOnly) headerOnly = false;
  }
  o.used = at;
  return o;
}

TEST(KermitCodec, ReaderDeliversTheHeaderThenThePacket) {
  TKermitFraming f{0, 0, 13, '3'};
  const std::string packet = Build(f, 9, 'D', "hello#M");
  TKermitReader r;
  size_t used = 0;
  EXPECT_EQ(r.Feed(Bytes(packet), 3, used, true, CheckThreeButS, nullptr), krNone);
  EXPECT_EQ(used, 3u);
  EXPECT_EQ(r.Feed(Bytes(packet) + 3, packet.size() - 3, used, true, CheckThreeButS, nullptr), krHeader);
  EXPECT_EQ(used, 1u);
  EXPECT_EQ(r.Type, 'D');
  EXPECT_EQ(r.Seq, 9);
  EXPECT_EQ(r.DataLen, 7u);
  size_t used2 = 0;
  EXPECT_EQ(r.Feed(Bytes(packet) + 4, packet.size() - 4, used2, false, CheckThreeButS, nullptr), krGood);
  EXPECT_EQ(Str(r.Data, r.DataLen), "hello#M");
  // A Send-Init is read with check type 1 whatever else is in use.
  const std::string init = Build(TKermitFraming{}, 0, 'S', "~* @-#Y3~");
  TKermitReader s;
  EXPECT_EQ(FeedAll(s, init, false, CheckThreeButS).results.front(), krGood);
}

TEST(KermitCodec, ReaderRejectsDamageAndRestartsAtSoh) {
  TKermitFraming f{0, 0, 13, '1'};
  std::string packet = Build(f, 3, 'D', "payload");
  std::string damaged = packet;
  damaged[6] ^= 0x04;
  TKermitReader r;
  EXPECT_EQ(FeedAll(r, damaged, false).results.front(), krBad);
  // An SOH in the middle starts over: the first, cut-off packet is dropped.
  TKermitReader r2;
  const ReadOutcome o = FeedAll(r2, packet.substr(0, 6) + packet, false);
  EXPECT_EQ(o.results, (std::vector<TKermitReadResult>{krBad, krGood}));
  EXPECT_EQ(Str(r2.Data, r2.DataLen), "payload");
  // A long packet whose header check is wrong goes at the header.
  f.CheckType = '3';
  std::string longPacket = Build(f, 1, 'D', std::string(300, 'z'));
  longPacket[6] ^= 1;
  TKermitReader r3;
  size_t used = 0;
  EXPECT_EQ(r3.Feed(Bytes(longPacket), longPacket.size(), used, true, CheckThreeButS, nullptr), krBad);
  EXPECT_EQ(used, 7u);
  // A long length beyond 1024 data bytes is refused before any data is taken.
  const std::string huge = std::string("\x01 !D") + char(32 + 20) + char(32 + 0);
  std::string hdr = huge.substr(1);
  TKermitReader r4;
  const std::string withCheck = huge + char(KermitHeaderCheck(Bytes(hdr)));
  EXPECT_EQ(r4.Feed(Bytes(withCheck), withCheck.size(), used, true, CheckThreeButS, nullptr), krBad);
}

TEST(KermitCodec, ReaderEatsGarbageWithoutAnSoh) {
  std::mt19937 gen(3);
  std::string garbage(100000, '\0');
  for (auto& c : garbage) {
    c = char(gen() & 0xFF);
    if (c == 1) c = 2;
  }
  TKermitReader r;
  size_t used = 0;
  EXPECT_EQ(r.Feed(Bytes(garbage), garbage.size(), used, true, CheckOne, nullptr), krNone);
  EXPECT_EQ(used, garbage.size());
  EXPECT_EQ(r.Feed(Bytes(garbage), garbage.size(), used, false, CheckOne, nullptr), krMore);
}

}  // namespace
}  // namespace zav::test
