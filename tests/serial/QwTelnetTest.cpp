// The Telnet / Com Port Control codec on its own: what it asks for, how it
// answers, what it makes of data and notifications, and the bounds a hostile
// server meets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "serial/QwTelnet.h"

namespace zav::telnet {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> v) {
  Bytes b;
  for (int x : v) b.push_back(uint8_t(x));
  return b;
}
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
Bytes Sb(std::initializer_list<int> body) { return B({kIac, kSb, kOptComPort}) + B(body) + B({kIac, kSe}); }

// Feeds `in` (in pieces of `piece` bytes) and returns the data.
Bytes Feed(TTelnetClient& c, const Bytes& in, size_t piece = 0) {
  Bytes out(in.size());
  size_t got = 0;
  for (size_t at = 0; at < in.size();) {
    const size_t n = piece ? std::min(piece, in.size() - at) : in.size() - at;
    got += c.Receive(in.data() + at, n, out.data() + got);
    at += n;
  }
  out.resize(got);
  return out;
}

// A client past the opening: the server agreed to binary both ways and to
// Com Port Control (as ser2net answers).
TTelnetClient Agreed() {
  TTelnetClient c;
  c.Start();
  Feed(c, B({kIac, kDo, kOptBinary, kIac, kWill, kOptBinary, kIac, kDo, kOptComPort}));
  c.TakeOutgoing();
  return c;
}

TEST(TelnetClient, AsksForBinaryAndComPortAndSendsTheMasksOnceAgreed) {
  TTelnetClient c;
  c.Start();
  EXPECT_EQ(c.TakeOutgoing(), B({kIac, kWill, 0, kIac, kDo, 0, kIac, kWill, kOptComPort}));
  EXPECT_EQ(c.ComPort(), TComPortState::Unknown);
  Feed(c, B({kIac, kDo, kOptComPort}));
  EXPECT_EQ(c.ComPort(), TComPortState::Accepted);
  // The mask 0xFF goes doubled, as every IAC in a value.
  EXPECT_EQ(c.TakeOutgoing(), Sb({cpSetModemStateMask, 0xFF, 0xFF}) + Sb({cpSetLineStateMask, 0x1E}));
}

TEST(TelnetClient, ARefusalOfComPortIsRefusedAndNothingIsSentForIt) {
  TTelnetClient c;
  c.Start();
  c.TakeOutgoing();
  Feed(c, B({kIac, kDont, kOptComPort}));
  EXPECT_EQ(c.ComPort(), TComPortState::Refused);
  c.SetBaudRate(9600);
  c.SetControl(ctlDtrOn);
  EXPECT_FALSE(c.HasOutgoing());
}

TEST(TelnetClient, AnswersOptionsOnceAndRefusesWhatItDoesNotKnow) {
  TTelnetClient c = Agreed();
  // Echo (1) and terminal type (24) are refused; SGA is taken; a repeated
  // agreement is not answered again.
  Feed(c, B({kIac, kWill, 1, kIac, kDo, 24, kIac, kDo, kOptSga, kIac, kDo, kOptSga, kIac, kWill, kOptBinary}));
  EXPECT_EQ(c.TakeOutgoing(), B({kIac, kDont, 1, kIac, kWont, 24, kIac, kWill, kOptSga}));
}

TEST(TelnetClient, DataIsEscapedAndUnescaped) {
  TTelnetClient c = Agreed();
  EXPECT_TRUE(c.SendBinary() && c.ReceiveBinary());
  Bytes sent;
  c.EncodeData(B({'a', 0xFF, 13, 0}).data(), 4, sent);
  EXPECT_EQ(sent, B({'a', 0xFF, 0xFF, 13, 0}));  // binary: CR NUL stays as it is
  EXPECT_EQ(Feed(c, B({'x', kIac, kIac, 13, 0, kIac, 241 /* NOP */, 'y'})), B({'x', 0xFF, 13, 0, 'y'}));
}

TEST(TelnetClient, WithoutBinaryACrTravelsAsCrNul) {
  TTelnetClient c;
  c.Start();
  Feed(c, B({kIac, kDont, kOptBinary, kIac, kWont, kOptBinary}));
  Bytes sent;
  c.EncodeData(B({13, 'a', 13}).data(), 3, sent);
  EXPECT_EQ(sent, B({13, 0, 'a', 13, 0}));
  EXPECT_EQ(TTelnetClient::UnitLength(13, false), 2u);
  EXPECT_EQ(TTelnetClient::UnitLength(13, true), 1u);
  EXPECT_EQ(Feed(c, B({13, 0, 'a', 13, 10, 0})), B({13, 'a', 13, 10, 0}));
}

TEST(TelnetClient, RequestsCarryTheirValuesEscaped) {
  TTelnetClient c = Agreed();
  c.SetBaudRate(0x0001C2FF);  // a value byte 0xFF is doubled
  c.SetDataSize(7);
  c.SetParity(parEven);
  c.SetStopSize(stopTwo);
  c.SetControl(ctlBreakOn);
  c.PurgeData(purgeBoth);
  EXPECT_EQ(c.TakeOutgoing(), B({kIac, kSb, 44, 1, 0, 1, 0xC2, 0xFF, 0xFF, kIac, kSe}) + Sb({2, 7}) + Sb({3, 3}) +
                                  Sb({4, 2}) + Sb({5, 5}) + Sb({12, 3}));
}

TEST(TelnetClient, TakesNotificationsAndAcknowledgements) {
  TTelnetClient c = Agreed();
  Feed(c, Sb({107, 0xB0}) + Sb({106, 0x14}) + Sb({101, 0, 0, 0x25, 0x80}) + Sb({103, 3}) + Sb({108}) +
              B({kIac, kSb, 44, 100, 's', 'e', 'r', kIac, kSe}));
  EXPECT_EQ(c.ModemState(), 0xB0);
  EXPECT_EQ(c.TakeLineState(), 0x14);
  EXPECT_EQ(c.TakeLineState(), 0);
  EXPECT_EQ(c.ServerLine().BaudRate, 9600u);
  EXPECT_EQ(c.ServerLine().Parity, 3);
  EXPECT_TRUE(c.Suspended());
  EXPECT_EQ(c.ServerSignature(), "ser");
  Feed(c, Sb({109}) + Sb({107, msRiTrailingEdge}) + Sb({100}));
  EXPECT_FALSE(c.Suspended());
  EXPECT_TRUE(c.TakeRing());
  // A signature asked for is given.
  const Bytes out = c.TakeOutgoing();
  EXPECT_EQ(std::string(out.begin() + 4, out.end() - 2), "ZAV Terminal Test");
  EXPECT_EQ(c.ProtocolErrors(), 0u);
}

TEST(TelnetClient, HostileInputIsBounded) {
  TTelnetClient c = Agreed();
  // An endless subnegotiation: dropped whole, none of it becomes data, and
  // what follows its end is data again.
  Bytes endless = B({kIac, kSb, 44, 107});
  endless.resize(endless.size() + 100000, 'A');
  EXPECT_TRUE(Feed(c, endless + B({kIac, kSe, 'o', 'k'})) == B({'o', 'k'}));
  EXPECT_EQ(c.DroppedSubnegotiations(), 1u);
  EXPECT_EQ(c.ModemState(), -1);
  // Malformed ones: too short, a client's command, cut short by another command.
  Feed(c, Sb({107}) + Sb({5, 8}) + B({kIac, kSb, 44, 107, 1, kIac, 241, 'z'}));
  EXPECT_EQ(c.ProtocolErrors(), 3u);
  // A flood of requests from a server that reads nothing: the replies stop at the cap.
  Bytes flood;
  for (int i = 0; i < 20000; ++i) flood.insert(flood.end(), {kIac, kDo, uint8_t(100 + i % 100)});
  EXPECT_TRUE(Feed(c, flood).empty());
  EXPECT_LE(c.TakeOutgoing().size(), TTelnetClient::kMaxReplies);
  EXPECT_GT(c.DroppedReplies(), 0u);
}

}  // namespace
}  // namespace zav::telnet
