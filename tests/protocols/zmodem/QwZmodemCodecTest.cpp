// The Zmodem codecs on their own: escaping, headers against the bytes the
// published protocol puts on the line, subpackets through the collector, the
// header parser's CAN and XON rules, and the file information.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocols/core/QwTPcl.h"
#include "protocols/zmodem/QwZmodem.h"
#include "serial/QxSrMgr.h"

namespace zav::test {
namespace {

std::string Text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

std::string Escaped(TZmodemEncoder& enc, const std::string& raw) {
  std::vector<uint8_t> out;
  for (char c : raw) enc.Append(uint8_t(c), out);
  return Text(out);
}

// Runs the parser over `bytes`; the results in order.
std::vector<TZmodemFeed> Feed(const std::string& bytes, std::vector<TZmodemHeader>* headers = nullptr) {
  TZmodemHeaderParser p;
  uint32_t cancel = 0;
  std::vector<TZmodemFeed> results;
  for (char c : bytes) {
    TZmodemHeader h;
    const TZmodemFeed f = FeedHeaderByte(p, cancel, uint8_t(c), h);
    if (f == TZmodemFeed::None) continue;
    results.push_back(f);
    if (f == TZmodemFeed::Header && headers != nullptr) headers->push_back(h);
  }
  return results;
}

std::string Subpacket(const std::string& data, uint8_t end, bool crc32, TZmodemEncoder enc = {}) {
  std::vector<uint8_t> out(WorkBufferSize(uint32_t(data.size())));
  const uint32_t n = EncodeSubpacket(enc, reinterpret_cast<const uint8_t*>(data.data()), uint32_t(data.size()), end,
                                     crc32, out.data());
  return std::string(out.begin(), out.begin() + n);
}

struct Collected {
  int32_t status = 0;
  std::string data;
  size_t used = 0;
};

// Feeds `wire` to a collector in pieces of `step` bytes.
Collected Collect(const std::string& wire, bool crc32, uint32_t limit = 8192, size_t step = 1 << 20) {
  TZmodemCollector c;
  c.Start(crc32);
  uint32_t cancel = 0;
  std::vector<uint8_t> out(limit);
  Collected result;
  for (size_t at = 0; at < wire.size() && result.status == 0;) {
    const size_t n = std::min(step, wire.size() - at);
    size_t used = 0;
    result.status = CollectSubpacket(c, cancel, reinterpret_cast<const uint8_t*>(wire.data()) + at, n, used,
                                     out.data(), limit);
    at += used;
    result.used = at;
  }
  result.data.assign(out.begin(), out.begin() + c.Count);
  return result;
}

TEST(ZmodemCodec, ChecksAreTheCommonCrcs) {
  const std::string check = "123456789";
  const auto* p = reinterpret_cast<const uint8_t*>(check.data());
  const uint8_t zeros[2] = {0, 0};
  EXPECT_EQ(ZmodemCrc16(zeros, 2, ZmodemCrc16(p, 9)), 0x31C3u);
  uint32_t crc = 0xFFFFFFFFu;
  for (char c : check) crc = UpdateCrc32(uint8_t(c), crc);
  EXPECT_EQ(~crc, 0xCBF43926u);
}

TEST(ZmodemCodec, HexHeadersAreTheBytesOfThePublishedProtocol) {
  std::vector<uint8_t> out;
  AppendHexHeader(out, ZRQINIT, {});
  EXPECT_EQ(Text(out), std::string("**\x18" "B00000000000000\r\x8a\x11"));
  out.clear();
  // What a waiting lrzsz receiver sends: full duplex, overlapped I/O, CRC-32.
  AppendHexHeader(out, ZRINIT, {0, 0, 0, 0x23});
  EXPECT_EQ(Text(out), std::string("**\x18" "B0100000023be50\r\x8a\x11"));
  // No XON after ZFIN and ZACK.
  out.clear();
  AppendHexHeader(out, ZFIN, {});
  EXPECT_EQ(Text(out).back(), '\x8a');
  out.clear();
  AppendHexHeader(out, ZACK, PositionData(0x12345678));
  EXPECT_EQ(Text(out).substr(4, 10), "0378563412");
  EXPECT_EQ(Text(out).back(), '\x8a');
}

TEST(ZmodemCodec, EscapingFollowsTheByteBefore) {
  TZmodemEncoder enc;
  for (int b : {16, 17, 19, 24, 144, 145, 147}) {
    const std::string e = Escaped(enc, std::string(1, char(b)));
    EXPECT_EQ(e, std::string({char(ZDLE), char(b ^ 0x40)})) << b;
  }
  // CR (with or without its high bit) after "@" (with or without its high bit).
  EXPECT_EQ(Escaped(enc, "@\r"), std::string("@\x18M"));
  EXPECT_EQ(Escaped(enc, "A\r"), "A\r");
  EXPECT_EQ(Escaped(enc, "\xc0\x8d"), std::string("\xc0\x18\xcd"));
  EXPECT_EQ(Escaped(enc, "\r"), "\r");  // after the CR that went out plain
  // What counts is the byte on the line: after DLE went out as ZDLE "P", a CR is plain.
  EXPECT_EQ(Escaped(enc, "\x10\r"), std::string("\x18P\r"));
  EXPECT_EQ(Escaped(enc, std::string("\x01\x7f", 2)), std::string("\x01\x7f", 2));
  enc.EscapeAll = true;
  EXPECT_EQ(Escaped(enc, std::string("\x01\x9f", 2)), std::string("\x18\x41\x18\xdf", 4));
  EXPECT_EQ(Escaped(enc, " "), " ");
  // CR and its high-bit twin are controls as well (a receiver that asked for
  // this drops every raw control byte as noise).
  EXPECT_EQ(Escaped(enc, "A\r\x8d"), std::string("A\x18M\x18\xcd"));
}

TEST(ZmodemCodec, BinaryHeadersRoundTripAndABadByteIsCaught) {
  for (bool crc32 : {false, true}) {
    TZmodemEncoder enc;
    std::vector<uint8_t> out;
    // Data bytes that need escaping.
    AppendBinaryHeader(enc, out, ZDATA, {0x18, 0x11, 0x91, 0x0d}, crc32);
    EXPECT_EQ(Text(out).substr(0, 3), std::string("*\x18") + (crc32 ? "C" : "A"));
    std::vector<TZmodemHeader> headers;
    EXPECT_EQ(Feed(Text(out), &headers), std::vector<TZmodemFeed>{TZmodemFeed::Header});
    ASSERT_EQ(headers.size(), 1u);
    EXPECT_EQ(headers[0].Type, ZDATA);
    EXPECT_EQ(headers[0].Data, (TZmodemHeaderData{0x18, 0x11, 0x91, 0x0d}));
    EXPECT_EQ(headers[0].Format, crc32 ? ZBIN32 : ZBIN);
    std::string bad = Text(out);
    bad[3] ^= 0x01;  // the type
    EXPECT_EQ(Feed(bad), std::vector<TZmodemFeed>{TZmodemFeed::BadHeader}) << crc32;
  }
}

TEST(ZmodemCodec, TheParserSkipsNoiseAndFlowBytesAndCountsCancels) {
  std::vector<uint8_t> hex;
  AppendHexHeader(hex, ZRPOS, PositionData(1000));
  std::vector<TZmodemHeader> headers;
  // Noise, a doubled pad, XON/XOFF anywhere in the frame.
  std::string wire = "garbage *x***\x18";
  wire.pop_back();
  wire += Text(hex).substr(0, 6) + "\x11\x93" + Text(hex).substr(6);
  EXPECT_EQ(Feed(wire, &headers), std::vector<TZmodemFeed>{TZmodemFeed::Header});
  ASSERT_EQ(headers.size(), 1u);
  EXPECT_EQ(headers[0].Type, ZRPOS);
  EXPECT_EQ(DataPosition(headers[0].Data), 1000u);
  EXPECT_EQ(headers[0].Format, ZHEX);
  // Upper-case hex digits are not the protocol's.
  EXPECT_EQ(Feed("**\x18" "B09000003E8" "0000\r\x8a"), std::vector<TZmodemFeed>{TZmodemFeed::BadHeader});
  // Five CANs in a row cancel; four do not, and another byte starts the count again.
  EXPECT_TRUE(Feed("\x18\x18\x18\x18x\x18\x18\x18\x18").empty());
  EXPECT_EQ(Feed(std::string(8, '\x18') + std::string(8, '\b')).front(), TZmodemFeed::Cancel);
  // Inside a binary header too.
  std::vector<uint8_t> bin;
  TZmodemEncoder enc;
  AppendBinaryHeader(enc, bin, ZDATA, {}, true);
  EXPECT_EQ(Feed(Text(bin).substr(0, 5) + std::string(5, '\x18')).back(), TZmodemFeed::Cancel);
}

TEST(ZmodemCodec, SubpacketsRoundTripWithEveryEndAndCheck) {
  std::string data;
  for (int i = 0; i < 1024; ++i) data += char((i * 7 + i / 256) & 0xFF);
  const std::pair<uint8_t, int32_t> ends[] = {
      {ZCRCE, psGotCrcE}, {ZCRCG, psGotCrcG}, {ZCRCQ, psGotCrcQ}, {ZCRCW, psGotCrcW}};
  for (bool crc32 : {false, true}) {
    for (auto [end, status] : ends) {
      const std::string wire = Subpacket(data, end, crc32);
      EXPECT_EQ(wire.back() == '\x11', end == ZCRCW);
      // Whole, and a byte at a time (a ZDLE at the end of the input waits).
      for (size_t step : {size_t(1) << 20, size_t(1)}) {
        const Collected c = Collect(wire, crc32, 8192, step);
        EXPECT_EQ(c.status, status) << int(end) << crc32;
        EXPECT_EQ(c.data, data);
        // The XON after ZCRCW is left for whoever reads next.
        EXPECT_EQ(c.used, wire.size() - (end == ZCRCW ? 1 : 0));
      }
    }
  }
  // An empty subpacket (the end of an empty file).
  EXPECT_EQ(Collect(Subpacket("", ZCRCE, true), true).status, psGotCrcE);
}

TEST(ZmodemCodec, TheCollectorRefusesDamageLengthAndCancels) {
  const std::string data(300, 'd');
  std::string wire = Subpacket(data, ZCRCG, true);
  std::string flipped = wire;
  flipped[100] ^= 0x04;
  EXPECT_EQ(Collect(flipped, true).status, psBlockCheckError);
  // Flow bytes on the line are dropped, not data.
  std::string flowed = wire;
  flowed.insert(50, "\x11\x13\x91\x93");
  const Collected c = Collect(flowed, true);
  EXPECT_EQ(c.status, psGotCrcG);
  EXPECT_EQ(c.data, data);
  // More than the limit ends the subpacket as too long.
  EXPECT_EQ(Collect(wire, true, 299).status, psLongPacket);
  EXPECT_EQ(Collect(wire, true, 300).status, psGotCrcG);
  // A check of the wrong kind fails.
  EXPECT_EQ(Collect(Subpacket(data, ZCRCW, true), false).status, psBlockCheckError);
  // The abort string in the middle of the data.
  EXPECT_EQ(Collect(wire.substr(0, 40) + std::string(8, '\x18'), true).status, psCancelRequested);
  // ZDLE "l" and "m" are the two rubouts.
  EXPECT_EQ(Collect(std::string("\x18l\x18m"), true).data, "\x7f\xff");
}

TEST(ZmodemCodec, FileInformationBothWays) {
  EXPECT_EQ(Text(BuildFileInfo("notes.txt", 1234, 0)), std::string("notes.txt\0" "1234\0", 15));
  EXPECT_EQ(Text(BuildFileInfo("a", 5, 8)), std::string("a\0" "5 000000000010\0", 17));

  struct Case {
    std::string wire;
    std::string name;
    uint32_t size;
    bool hasDate;
    int64_t date;
  } cases[] = {
      {std::string("a.bin\0" "1048576 14537262334\0", 26), "a.bin", 1048576, true, 01453726233 * 8 + 4},
      // lrzsz adds mode, serial, files and bytes left.
      {std::string("dir/x\0" "17 14537262334 100644 0 3 5000\0", 38), "dir/x", 17, true, 01453726233 * 8 + 4},
      {std::string("plain\0" "42\0", 9), "plain", 42, false, 0},
      {std::string("odd\0" "4x2 77\0", 11), "odd", 0, true, 077},
      {std::string("noinfo\0", 7), "noinfo", 0, false, 0},
      {std::string("nonul", 5), "nonul", 0, false, 0},
  };
  for (const Case& c : cases) {
    const TZmodemFileInfo info = ParseFileInfo(reinterpret_cast<const uint8_t*>(c.wire.data()), c.wire.size());
    EXPECT_EQ(info.Name, c.name);
    EXPECT_EQ(info.Size, c.size) << c.name;
    EXPECT_EQ(info.HasDate, c.hasDate) << c.name;
    if (c.hasDate) {
      EXPECT_EQ(info.Date, c.date) << c.name;
    }
  }
  const std::string longName(400, 'n');
  const std::string wire = longName + std::string("\0" "1\0", 3);
  EXPECT_EQ(ParseFileInfo(reinterpret_cast<const uint8_t*>(wire.data()), wire.size()).Name.size(), 255u);
}

}  // namespace
}  // namespace zav::test
