// The B+ codec on its own: the published worked example and the reference
// vectors (checks, quoting, packets whose check needs quoting, the '+'
// packet), the decoder, parameters and their negotiation, the resume bodies.
#include "protocols/bplus/QwBPlusCodec.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace zav::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Hex(const std::string& text) {
  Bytes out;
  std::istringstream in(text);
  std::string word;
  while (in >> word) out.push_back(uint8_t(std::stoul(word, nullptr, 16)));
  return out;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Packet(uint8_t digit, uint8_t type, const Bytes& body, bool crc,
             const TBPlusQuoteSet& set = TBPlusQuoteSet::Default()) {
  Bytes out;
  BPlusEncodePacket(out, digit, type, body.data(), body.size(), set, crc);
  return out;
}

// Every event the decoder gives for `wire`.
std::vector<TBPlusEvent> Decode(TBPlusDecoder& d, const Bytes& wire, std::vector<Bytes>* bodies = nullptr) {
  std::vector<TBPlusEvent> events;
  for (uint8_t b : wire) {
    const TBPlusEvent e = d.Feed(b);
    if (e.kind == TBPlusEvent::None || e.kind == TBPlusEvent::Header) continue;
    events.push_back(e);
    if (bodies != nullptr && e.kind == TBPlusEvent::Packet) bodies->push_back(d.Body());
  }
  return events;
}

TEST(BPlusChecks, ReproduceTheWorkedExampleAndTheReferenceValues) {
  const Bytes covered = Hex("37 54 44 41 53 2E 43 03");
  EXPECT_EQ(BPlusChecksum(covered.data(), covered.size()), 0x2A);
  EXPECT_EQ(BPlusCrc(covered.data(), covered.size()), 0x57FF);
  // Kept XMODEM's start of 0: the value an implementation with that fault gives.
  EXPECT_EQ(BPlusCrc(covered.data(), covered.size(), 0), 0x66C1);
  Bytes withCrc = covered;
  withCrc.insert(withCrc.end(), {0x57, 0xFF});
  EXPECT_EQ(BPlusCrc(withCrc.data(), withCrc.size()), 0x0000);
  const Bytes digits = Text("123456789");
  EXPECT_EQ(BPlusCrc(digits.data(), digits.size()), 0x29B1);
  EXPECT_EQ(BPlusCrc(digits.data(), digits.size(), 0), 0x31C3);
  EXPECT_EQ(BPlusCrc(nullptr, 0), 0xFFFF);
  EXPECT_EQ(BPlusChecksum(digits.data(), digits.size()), 0x29);
  // The end-around carry: 0x2E onto 0xF9 carries out of eight bits.
  EXPECT_EQ(BPlusChecksumUpdate(0xFC, 0x2E), 0x28);
  EXPECT_EQ(BPlusChecksumUpdate(0xFF, 0xFF), 0xFF);
}

TEST(BPlusQuoting, SubstitutesAndTheirInverse) {
  struct Case {
    uint8_t byte, substitute;
  } cases[] = {{0x03, 0x43}, {0x10, 0x50}, {0x13, 0x53}, {0x00, 0x40}, {0x1B, 0x5B},
               {0x93, 0x73}, {0x81, 0x61}, {0x9F, 0x7F}, {0x02, 0x42}, {0x80, 0x60}};
  for (const Case& c : cases) {
    EXPECT_TRUE(BPlusQuotable(c.byte));
    EXPECT_EQ(BPlusQuoteOf(c.byte), c.substitute) << int(c.byte);
    uint8_t back = 0;
    ASSERT_TRUE(BPlusUnquote(c.substitute, back));
    EXPECT_EQ(back, c.byte);
    Bytes out;
    BPlusPutByte(out, c.byte, TBPlusQuoteSet::All());
    EXPECT_EQ(out, (Bytes{0x10, c.substitute}));
  }
  for (uint8_t never : {0xA0, 0x7F, 0xFF, 0x20, 0x41}) {
    EXPECT_FALSE(BPlusQuotable(never));
    Bytes out;
    BPlusPutByte(out, never, TBPlusQuoteSet::All());
    EXPECT_EQ(out, Bytes{never});
  }
  uint8_t dummy = 0;
  EXPECT_FALSE(BPlusUnquote(0x3F, dummy));
  EXPECT_FALSE(BPlusUnquote(0x80, dummy));
  // ETX, ENQ, DLE and NAK are quoted even when a set leaves them out.
  TBPlusQuoteSet none = TBPlusQuoteSet::FromMask({});
  for (uint8_t c : {0x03, 0x05, 0x10, 0x15}) {
    Bytes out;
    BPlusPutByte(out, c, none);
    EXPECT_EQ(out.size(), 2u) << int(c);
  }
  Bytes xon;
  BPlusPutByte(xon, 0x11, none);
  EXPECT_EQ(xon, Bytes{0x11});
}

TEST(BPlusQuoting, MasksRoundTripAndTheDocumentExampleReadsAsItsFieldTable) {
  const TBPlusQuoteSet::Mask defaults{0x14, 0x00, 0xD4, 0x00, 0, 0, 0, 0};
  EXPECT_EQ(TBPlusQuoteSet::Default().ToMask(), defaults);
  EXPECT_EQ(TBPlusQuoteSet::FromMask(defaults), TBPlusQuoteSet::Default());
  TBPlusQuoteSet::Mask all;
  all.fill(0xFF);
  EXPECT_EQ(TBPlusQuoteSet::All().ToMask(), all);
  auto members = [](const TBPlusQuoteSet& s) {
    std::vector<int> list;
    for (int c = 0; c < 256; ++c)
      if (s.Has(uint8_t(c))) list.push_back(c);
    return list;
  };
  const std::vector<int> literal = members(TBPlusQuoteSet::FromMask({0x54, 0xD4, 0, 0, 0x40, 0x50, 0, 0}));
  EXPECT_EQ(literal, (std::vector<int>{0x01, 0x03, 0x05, 0x08, 0x09, 0x0B, 0x0D, 0x81, 0x89, 0x8B}));
  const std::vector<int> swapped = members(TBPlusQuoteSet::FromMask({0x54, 0, 0xD4, 0, 0x40, 0, 0x50, 0}));
  EXPECT_EQ(swapped, (std::vector<int>{0x01, 0x03, 0x05, 0x10, 0x11, 0x13, 0x15, 0x81, 0x91, 0x93}));
  EXPECT_EQ(members(TBPlusQuoteSet::OfLevel(0)), (std::vector<int>{0x00, 0x03, 0x05, 0x10, 0x11, 0x13, 0x15}));
  EXPECT_EQ(members(TBPlusQuoteSet::OfLevel(2)),
            (std::vector<int>{0x03, 0x05, 0x10, 0x11, 0x13, 0x15, 0x91, 0x93}));
  EXPECT_EQ(TBPlusQuoteSet::OfLevel(3), TBPlusQuoteSet::All());
}

// The reference packets: built exactly, and read back to the same body.
TEST(BPlusPackets, ReferenceVectorsEncodeAndDecode) {
  TBPlusQuoteSet with93 = TBPlusQuoteSet::Default();
  with93.Add(0x93);
  struct Case {
    const char* name;
    uint8_t digit, type;
    Bytes body;
    bool crc;
    TBPlusQuoteSet set;
    Bytes wire;
  } cases[] = {
      {"document, checksum", 7, 'T', Text("DAS.C"), false, TBPlusQuoteSet::Default(),
       Hex("10 42 37 54 44 41 53 2E 43 03 2A")},
      {"document, crc", 7, 'T', Text("DAS.C"), true, TBPlusQuoteSet::Default(),
       Hex("10 42 37 54 44 41 53 2E 43 03 57 FF")},
      {"checksum that is DLE", 1, 'N', Hex("25"), false, TBPlusQuoteSet::Default(), Hex("10 42 31 4E 25 03 10 50")},
      {"crc ending in DLE", 1, 'N', Hex("11"), true, TBPlusQuoteSet::Default(),
       Hex("10 42 31 4E 10 51 03 D8 10 50")},
      {"data, checksum", 2, 'N', Hex("10 03 41 93 0D"), false, TBPlusQuoteSet::Default(),
       Hex("10 42 32 4E 10 50 10 43 41 93 0D 03 54")},
      {"data, crc", 2, 'N', Hex("10 03 41 93 0D"), true, TBPlusQuoteSet::Default(),
       Hex("10 42 32 4E 10 50 10 43 41 93 0D 03 9C 08")},
      {"0x93 quoted, same crc", 2, 'N', Hex("10 03 41 93 0D"), true, with93,
       Hex("10 42 32 4E 10 50 10 43 41 10 73 0D 03 9C 08")},
      {"empty data, checksum", 0, 'N', {}, false, TBPlusQuoteSet::Default(), Hex("10 42 30 4E 03 60")},
      {"empty data, crc", 0, 'N', {}, true, TBPlusQuoteSet::Default(), Hex("10 42 30 4E 03 17 99")},
      {"close, checksum", 3, 'T', Text("C"), false, TBPlusQuoteSet::Default(), Hex("10 42 33 54 43 03 74")},
      {"close, crc", 3, 'T', Text("C"), true, TBPlusQuoteSet::Default(), Hex("10 42 33 54 43 03 D9 07")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Packet(c.digit, c.type, c.body, c.crc, c.set), c.wire);
    TBPlusDecoder d;
    d.SetCrc(c.crc);
    std::vector<Bytes> bodies;
    const auto events = Decode(d, c.wire, &bodies);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, TBPlusEvent::Packet);
    EXPECT_EQ(events[0].digit, c.digit);
    EXPECT_EQ(events[0].type, c.type);
    EXPECT_EQ(bodies[0], c.body);
  }
  // The failure packet whose checksum is XOFF.
  const Bytes failure = Packet(4, 'F', Text("AAborted by user"), false);
  EXPECT_EQ(Bytes(failure.end() - 4, failure.end()), Hex("72 03 10 53"));
}

TEST(BPlusPackets, ParamsPacketIsFullyQuotedWithTheChecksumAndItsStxIsNoLeadIn) {
  TBPlusParams p;
  p.WS = 1;
  p.WR = 1;
  p.BS = 8;
  p.CM = 1;
  p.DQ = 1;
  p.Q = {0x14, 0x00, 0xD4, 0x00, 0, 0, 0, 0};
  p.DR = 1;
  Bytes wire;
  BPlusEncodeParamsPacket(wire, 1, BPlusEncodeParams(p));
  EXPECT_EQ(wire, Hex("10 42 31 2B 10 41 10 41 10 48 10 41 10 41 10 40 10 54 10 40 D4 "
                      "10 40 10 40 10 40 10 40 10 40 10 41 10 40 10 40 03 F2"));
  // BS 0x02 puts DLE 'B' in the body; a CRC decoder still reads '+' with the checksum.
  p.BS = 2;
  wire.clear();
  BPlusEncodeParamsPacket(wire, 1, BPlusEncodeParams(p));
  TBPlusDecoder d;
  d.SetCrc(true);
  std::vector<Bytes> bodies;
  const auto events = Decode(d, wire, &bodies);
  ASSERT_EQ(events.size(), 1u);
  ASSERT_EQ(events[0].kind, TBPlusEvent::Packet);
  EXPECT_EQ(BPlusDecodeParams(bodies[0].data(), bodies[0].size()).BS, 2);
}

TEST(BPlusDecoder, ControlSequencesBetweenPackets) {
  TBPlusDecoder d;
  const auto events = Decode(d, Hex("05 10 2B 2B 10 30 10 37 10 3B 15 41 42 0D 10 39"));
  std::vector<std::pair<TBPlusEvent::Kind, int>> got;
  for (const auto& e : events) got.push_back({e.kind, e.digit});
  const std::vector<std::pair<TBPlusEvent::Kind, int>> want = {
      {TBPlusEvent::Enq, 0}, {TBPlusEvent::PlusPlus, 0}, {TBPlusEvent::Ack, 0}, {TBPlusEvent::Ack, 7},
      {TBPlusEvent::Wait, 0}, {TBPlusEvent::Nak, 0}, {TBPlusEvent::Ack, 9}};
  EXPECT_EQ(got, want);
  TBPlusDecoder panic;
  const auto abort = Decode(panic, Hex("10 10 10 10"));
  ASSERT_EQ(abort.size(), 1u);
  EXPECT_EQ(abort[0].kind, TBPlusEvent::PanicAbort);
}

TEST(BPlusDecoder, DamagedPacketsAreReportedAndTheNextOneStillReads) {
  const Bytes good = Packet(5, 'N', Hex("01 02 03 10 41"), true);
  struct Case {
    const char* name;
    Bytes wire;
    TBPlusEvent::Fault fault;
  } cases[] = {
      {"flipped body byte", [&] { Bytes w = good; w[6] ^= 0x01; return w; }(), TBPlusEvent::BadCheck},
      {"bad substitute", Hex("10 42 35 4E 10 21 03 00 00"), TBPlusEvent::BadQuote},
      {"digit that is no digit", Hex("10 42 58 4E 03 00"), TBPlusEvent::BadHeader},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TBPlusDecoder d;
    d.SetCrc(true);
    Bytes wire = c.wire;
    wire.insert(wire.end(), good.begin(), good.end());
    const auto events = Decode(d, wire);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events.front().kind, TBPlusEvent::BadPacket);
    EXPECT_EQ(events.front().fault, c.fault);
    EXPECT_EQ(events.back().kind, TBPlusEvent::Packet);
    EXPECT_EQ(events.back().digit, 5);
  }
  // A raw ENQ inside a packet drops it and counts as ENQ.
  TBPlusDecoder d;
  const auto events = Decode(d, Hex("10 42 31 4E 41 42 05 05"));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, TBPlusEvent::Enq);
  EXPECT_EQ(events[1].kind, TBPlusEvent::Enq);
  // A body beyond the limit.
  TBPlusDecoder small;
  small.SetMaxBody(4);
  const auto longOne = Decode(small, Packet(1, 'N', Text("12345"), false));
  ASSERT_FALSE(longOne.empty());
  EXPECT_EQ(longOne[0].kind, TBPlusEvent::BadPacket);
  EXPECT_EQ(longOne[0].fault, TBPlusEvent::TooLong);
}

TEST(BPlusDecoder, EveryByteValueSurvivesBothChecksAndBothSets) {
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(uint8_t(i));
  for (bool crc : {false, true}) {
    for (const TBPlusQuoteSet& set : {TBPlusQuoteSet::Default(), TBPlusQuoteSet::All()}) {
      const Bytes wire = Packet(9, 'N', all, crc, set);
      TBPlusDecoder d;
      d.SetCrc(crc);
      std::vector<Bytes> bodies;
      const auto events = Decode(d, wire, &bodies);
      ASSERT_EQ(events.size(), 1u);
      EXPECT_EQ(bodies[0], all);
    }
  }
}

TEST(BPlusParams, ShortPacketsDefaultsAndNegotiation) {
  const Bytes responder = Hex("00 01 04 00 01 00 54 00 D4 00 40 00 50 00");
  const TBPlusParams peer = BPlusDecodeParams(responder.data(), responder.size());
  EXPECT_TRUE(peer.HasMasks);
  EXPECT_EQ(peer.DR, 0);
  EXPECT_EQ(peer.FI, 0);
  TBPlusParams initiator;
  initiator.WS = 1;
  initiator.WR = 1;
  initiator.BS = 8;
  initiator.CM = 1;
  initiator.DQ = 1;
  initiator.Q = {0x14, 0, 0xD4, 0, 0, 0, 0, 0};
  initiator.DR = 1;
  const TBPlusInForce mine = BPlusNegotiate(initiator, peer, 5);
  const TBPlusInForce theirs = BPlusNegotiate(peer, initiator, 5);
  EXPECT_EQ(mine.SendWindow, 2u);
  EXPECT_EQ(theirs.SendWindow, 1u);
  EXPECT_EQ(mine.BlockSize, 512u);
  EXPECT_FALSE(mine.Crc);
  EXPECT_EQ(mine.DR, 0);
  EXPECT_EQ(mine.Quote, theirs.Quote);
  for (uint8_t c : {0x01, 0x03, 0x05, 0x10, 0x11, 0x13, 0x15, 0x81, 0x91, 0x93}) EXPECT_TRUE(mine.Quote.Has(c));
  EXPECT_FALSE(mine.Quote.Has(0x00));
  // BS 0 means 512 before the minimum: a peer asking for 256 gets 256.
  TBPlusParams zero, small;
  small.BS = 2;
  EXPECT_EQ(BPlusNegotiate(zero, small, 5).BlockSize, 256u);
  EXPECT_EQ(BPlusNegotiate(zero, zero, 5).BlockSize, 512u);
  // 2048 when both offer it; the window cap holds whatever both offer.
  TBPlusParams big;
  big.BS = 16;
  big.WS = big.WR = 9;
  EXPECT_EQ(BPlusNegotiate(big, big, 5).BlockSize, 2048u);
  EXPECT_EQ(BPlusNegotiate(big, big, 5).SendWindow, 5u);
  // Without masks the quoting level applies.
  const Bytes old = Hex("00 00 04 00 02 00");
  const TBPlusParams levelTwo = BPlusDecodeParams(old.data(), old.size());
  EXPECT_FALSE(levelTwo.HasMasks);
  EXPECT_TRUE(BPlusNegotiate(zero, levelTwo, 5).Quote.Has(0x93));
  EXPECT_EQ(BPlusEncodeParams(initiator).size(), kBPlusParamsLength);
}

TEST(BPlusResume, BodiesRoundTripAndMalformedOnesAreRefused) {
  TBPlusResume r;
  const Bytes tr = BPlusResumeBody('r', 'B', 524288, 0xBEEF, {});
  EXPECT_EQ(std::string(tr.begin(), tr.end()), "r524288 48879");
  ASSERT_TRUE(BPlusParseResume(tr.data(), tr.size(), r));
  EXPECT_EQ(r.Length, 524288u);
  EXPECT_EQ(r.Crc, 0xBEEF);
  const Bytes tu = BPlusResumeBody('u', 'B', 7, 1, "my file.bin");
  EXPECT_EQ(std::string(tu.begin(), tu.end()), "uB7 1 my file.bin");
  ASSERT_TRUE(BPlusParseResume(tu.data(), tu.size(), r));
  EXPECT_EQ(r.Name, "my file.bin");
  EXPECT_EQ(r.Length, 7u);
  for (const char* bad : {"r", "r12", "r12 ", "r12 70000", "rx 1", "uB7 1", "uB7 1 ", "x1 2", "r99999999999999999999999 1"}) {
    const Bytes b = Text(bad);
    EXPECT_FALSE(BPlusParseResume(b.data(), b.size(), r)) << bad;
  }
}

}  // namespace
}  // namespace zav::test
