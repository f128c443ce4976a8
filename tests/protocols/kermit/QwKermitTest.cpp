// The Kermit engine over the in-memory device with the clock stopped: the
// test plays the peer, packet by packet. Settings and their clamping, the
// Send-Init negotiation both ways, the transmit and receive windows, errors,
// cancels and the file names a peer may give.
#include "protocols/kermit/QwKermit.h"

#include <gtest/gtest.h>

#include "serial/QxExcept.h"
#include "serial/QxSrMgr.h"
#include "tests/protocols/ProtocolTestSupport.h"

namespace zav::test {
namespace {

struct Packet {
  char type = 0;
  int seq = -1;
  std::string data;
};

class KermitTest : public MemoryProtocolTest {
 protected:
  void SetUp() override {
    MemoryProtocolTest::SetUp();
    protocol->SetProtocolType(ptKermit);
    protocol->SetUpcaseFileNames(false);
  }
  // A transfer a test left running ends while the events still have a log.
  void TearDown() override {
    if (protocol->InProgress() != 0) {
      protocol->AbortProtocol();
      DrainQueue();
      Finish();
    }
    MemoryProtocolTest::TearDown();
  }

  // The check type of the packets both sides use now ("S" always type 1).
  uint8_t check = '1';

  static uint8_t CheckOf(const void* ctx, uint8_t type) {
    return type == 'S' ? '1' : static_cast<const KermitTest*>(ctx)->check;
  }

  // The packets our side put on the line since the last look.
  std::vector<Packet> Sent() {
    const std::string bytes = device->Wire();
    std::vector<Packet> out;
    size_t at = 0;
    while (at < bytes.size()) {
      size_t used = 0;
      const auto res = reader_.Feed(reinterpret_cast<const uint8_t*>(bytes.data()) + at, bytes.size() - at, used,
                                    false, CheckOf, this);
      at += used;
      if (res == krGood)
        out.push_back({char(reader_.Type), reader_.Seq, std::string(reinterpret_cast<char*>(reader_.Data), reader_.DataLen)});
      else if (res == krBad)
        out.push_back({'?', -1, {}});
    }
    return out;
  }
  // The types of the packets sent, with their sequence numbers ("D2 D3").
  std::string SentTypes() {
    std::string s;
    for (const auto& p : Sent()) s += (s.empty() ? "" : " ") + std::string(1, p.type) + std::to_string(p.seq);
    return s;
  }

  void Inject(char type, int seq, const std::string& data = {}, uint8_t checkType = 0) {
    TKermitFraming f;
    f.CheckType = checkType != 0 ? checkType : (type == 'S' ? '1' : check);
    std::vector<uint8_t> out(kKermitMaxPacketBytes);
    const size_t n = BuildKermitPacket(f, uint8_t(seq), uint8_t(type), reinterpret_cast<const uint8_t*>(data.data()),
                                       data.size(), out.data());
    Receive(std::string(reinterpret_cast<char*>(out.data()), n));
  }
  void Receive(const std::string& bytes) {
    device->InjectReceived(bytes);
    device->DeviceEventPass(0xFFFFFFFF);
    DrainQueue();
  }

  // A Send-Init field: the defaults with changes.
  static std::string Field(std::function<void(TKermitParams&)> change = nullptr) {
    TKermitParams p;
    p.MaxLen = 94;
    p.HibitPrefix = 'Y';
    if (change) change(p);
    uint8_t f[kKermitSendInitSize];
    return std::string(reinterpret_cast<char*>(f), EncodeSendInit(p, f));
  }
  static TKermitParams Params(const std::string& field) {
    TKermitParams p = KermitRemoteDefaults();
    DecodeSendInit(reinterpret_cast<const uint8_t*>(field.data()), field.size(), p);
    return p;
  }

  // Starts sending `files` and answers the Send-Init with `answer`.
  void StartSend(const std::vector<std::pair<std::string, std::string>>& files, const std::string& answer) {
    for (const auto& [name, data] : files) WriteWhole(name, data);
    size_t next = 0;
    protocol->OnProtocolNextFile = [files, next](TMroCustomProtocol*, std::string& name) mutable {
      name = next < files.size() ? files[next++].first : std::string();
    };
    protocol->BeginTransmit();
    DrainQueue();
    const auto init = Sent();
    ASSERT_EQ(init.size(), 1u);
    ASSERT_EQ(init[0].type, 'S');
    sendInit = init[0].data;
    Inject('Y', 0, answer, '1');
    check = Params(answer).CheckType == Params(sendInit).CheckType ? Params(sendInit).CheckType : '1';
  }

  // Acknowledges every packet until the transfer ends; returns the data
  // fields of the "D" packets.
  std::vector<std::string> AckAll(int maxRounds = 2000) {
    std::vector<std::string> data;
    for (int i = 0; i < maxRounds && !events.Finished(); ++i) {
      const auto sent = Sent();
      if (sent.empty()) {
        Advance(1);
        continue;
      }
      for (const auto& p : sent) {
        if (p.type == 'D') data.push_back(p.data);
        if (p.type != 'E') Inject('Y', p.seq);
      }
    }
    return data;
  }

  // Plays a sender: Send-Init with `field`, returns our answer's field.
  std::string StartReceive(const std::string& field) {
    protocol->BeginReceive();
    DrainQueue();
    Inject('S', 0, field);
    const auto answer = Sent();
    EXPECT_EQ(answer.size(), 1u);
    if (answer.empty() || answer[0].type != 'Y') return {};
    check = Params(field).CheckType >= '1' && Params(field).CheckType <= '3' ? Params(field).CheckType : '1';
    return answer[0].data;
  }

  // Both ends allow four window slots; the sender opens the receive.
  void StartWindowedReceive() {
    protocol->SetKermitMaxWindows(4);
    StartReceive(Field([](TKermitParams& p) {
      p.Capabilities = kKermitCapWindows;
      p.Windows = 4;
    }));
  }

  // A 30-packet file over four window slots on a line that carries the window
  // at once; the receiver's Send-Init is answered, so D2..D5 are out.
  void StartWindowedSend(const std::string& name) {
    port->SetBaud(115200);
    protocol->SetKermitMaxWindows(4);
    std::string file(94 * 30, '\0');
    for (size_t i = 0; i < file.size(); ++i) file[i] = char('A' + i % 26);
    StartSend({{name, file}}, Field([](TKermitParams& p) {
                p.Capabilities = kKermitCapWindows;
                p.Windows = 4;
              }));
    Inject('Y', Sent().at(0).seq);
  }

  TKermitArea& Area() { return *KermitArea(Record()); }

  // Lets what is queued leave (the end waits for it); the finish code.
  int32_t Finish() {
    Sent();
    Pass();
    for (int i = 0; i < 60 && !events.Finished(); ++i) {
      Advance(1);
      Sent();
    }
    return events.FinishCode();
  }

  std::string sendInit;
  TKermitReader reader_;
};

// --- Settings ---------------------------------------------------------------------------------

TEST_F(KermitTest, ComponentClampsLengthAndWindows) {
  TransferRecord& r = Record();
  const struct {
    int32_t set;
    int32_t kept;
    bool longPackets;
    uint32_t blockSize;
  } lengths[] = {{2000, 1024, true, 1024}, {95, 95, true, 95}, {94, 94, false, 94}, {40, 40, false, 40}};
  for (const auto& c : lengths) {
    protocol->SetKermitMaxLen(c.set);
    EXPECT_EQ(protocol->KermitMaxLen(), c.kept) << c.set;
    EXPECT_EQ((r.TransferOptions & tfKermitLongPackets) != 0, c.longPackets) << c.set;
    EXPECT_EQ(r.BlockSize, c.longPackets ? c.blockSize : 80u) << c.set;
  }
  EXPECT_ANY_THROW(protocol->SetKermitMaxLen(5));
  const struct {
    int32_t set, kept;
  } windows[] = {{1, 0}, {0, 0}, {-3, 0}, {2, 2}, {27, 27}, {40, 27}};
  for (const auto& c : windows) {
    protocol->SetKermitMaxWindows(c.set);
    EXPECT_EQ(protocol->KermitMaxWindows(), c.kept) << c.set;
    EXPECT_EQ((r.TransferOptions & tfKermitSlidingWindows) != 0, c.kept > 0) << c.set;
    EXPECT_EQ(Area().Store.size(), size_t(std::max(1, c.kept)) * kKermitMaxData);
  }
  // Kept through a switch to another protocol and back.
  protocol->SetKermitMaxLen(512);
  protocol->SetKermitTimeoutSecs(9);
  protocol->SetProtocolType(ptAscii);
  EXPECT_EQ(r.TransferOptions & (tfKermitLongPackets | tfKermitSlidingWindows), 0u);
  protocol->SetProtocolType(ptKermit);
  EXPECT_EQ(protocol->KermitMaxLen(), 512);
  EXPECT_EQ(protocol->KermitMaxWindows(), 27);
  EXPECT_EQ(protocol->KermitTimeoutSecs(), 9);
  EXPECT_EQ(Area().Local.LongLen, 512u);
}

TEST_F(KermitTest, LongPacketsRaiseTheChecksumAndTheSettersCheckTheirRecord) {
  TransferRecord& r = Record();
  EXPECT_EQ(r.CheckType, bcmChecksum);
  EXPECT_EQ(SetKermitLongPackets(r, 1024), 0);
  EXPECT_EQ(r.CheckType, bcmChecksum2);
  EXPECT_EQ(Area().Local.Capabilities & kKermitCapLong, kKermitCapLong);
  EXPECT_EQ(SetKermitLongPackets(r, 0), 0);
  EXPECT_EQ(r.BlockSize, 80u);
  EXPECT_EQ(Area().Local.Capabilities & kKermitCapLong, 0);
  const struct {
    int32_t (*set)(TransferRecord&, uint32_t);
    uint32_t bad;
  } ranges[] = {{SetKermitMaxLen, 95},       {SetKermitMaxLen, 19},    {SetKermitLongPackets, 50},
                {SetKermitLongPackets, 1025}, {SetKermitMaxWindows, 28}, {SetKermitTimeoutSecs, 0},
                {SetKermitTimeoutSecs, 95},  {SetKermitPadCount, 95}};
  for (const auto& c : ranges) EXPECT_EQ(c.set(r, c.bad), ecBadArgument) << c.bad;
  EXPECT_EQ(SetKermitCtlPrefix(r, 'A'), ecBadArgument);
  EXPECT_EQ(SetKermitHighbitPrefix(r, 'Q'), ecBadArgument);
  EXPECT_EQ(SetKermitRepeatPrefix(r, '\x05'), ecBadArgument);
  EXPECT_EQ(SetKermitTerminator(r, 1), ecBadArgument);
  protocol->SetProtocolType(ptAscii);
  EXPECT_EQ(SetKermitMaxLen(r, 80), ecBadProtocolFunction);
  EXPECT_EQ(SetKermitMaxWindows(r, 4), ecBadProtocolFunction);
  EXPECT_EQ(SetKermitRepeatPrefix(r, '~'), ecBadProtocolFunction);
}

// --- Transmit ---------------------------------------------------------------------------------

TEST_F(KermitTest, SendInitCarriesOurSettingsAndARemoteMaxlOf40LimitsOurPackets) {
  protocol->SetKermitMaxLen(1000);
  protocol->SetKermitMaxWindows(4);
  std::string file;
  for (int i = 0; i < 3000; ++i) file += char(i * 7);
  StartSend({{"data.bin", file}}, Field([](TKermitParams& p) { p.MaxLen = 40; }));
  const TKermitParams ours = Params(sendInit);
  EXPECT_EQ(ours.MaxLen, 80);
  EXPECT_EQ(ours.CheckType, '2');
  EXPECT_EQ(ours.Capabilities, kKermitCapLong | kKermitCapWindows);
  EXPECT_EQ(ours.Windows, 4);
  EXPECT_EQ(ours.LongLen, 1000u);
  // The peer offered neither long packets nor windows: short ones, one at a time.
  const auto f = Sent();
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].type, 'F');
  EXPECT_EQ(f[0].data, "data.bin");
  Inject('Y', f[0].seq);
  std::string decoded;
  for (int i = 0; i < 500 && !events.Finished(); ++i) {
    const auto sent = Sent();
    ASSERT_LE(sent.size(), 1u);
    if (sent.empty()) break;
    // LEN counts sequence, type, data and a 1-byte check.
    EXPECT_LE(sent[0].data.size() + 3, 40u);
    if (sent[0].type == 'D') decoded += sent[0].data;
    Inject('Y', sent[0].seq);
  }
  EXPECT_EQ(Finish(), 0);
  EXPECT_GT(decoded.size(), file.size());  // prefixed
}

TEST_F(KermitTest, HundredEqualBytesGoOutAsTwoRepeatCounts) {
  StartSend({{"runs.bin", std::string(100, 'a')}}, Field());
  Inject('Y', Sent().at(0).seq);
  const auto data = AckAll();
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0], "~~a~&a");
  EXPECT_EQ(Finish(), 0);
}

TEST_F(KermitTest, EightBitQuotingWhenThePeerAsksForIt) {
  protocol->SetKermitRepeatPrefix(' ');
  StartSend({{"high.bin", "\xC1\x01\xA6&"}}, Field([](TKermitParams& p) { p.HibitPrefix = '&'; }));
  Inject('Y', Sent().at(0).seq);
  const auto data = AckAll();
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(data[0], "&A#A&#&#&");
  EXPECT_EQ(Finish(), 0);
}

TEST_F(KermitTest, ABlockCheckThePeerDoesNotShareFallsBackToType1) {
  protocol->SetBlockCheckMethod(bcmCrcK);
  StartSend({{"one.bin", "x"}}, Field([](TKermitParams& p) { p.CheckType = '2'; }));
  EXPECT_EQ(Params(sendInit).CheckType, '3');
  EXPECT_EQ(check, '1');
  const auto f = Sent();  // read with type 1
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].type, 'F');
}

// Four slots: the window fills, slides on the oldest acknowledgement, and
// answers NAKs and time-outs.
TEST_F(KermitTest, TransmitWindowKeepsFourPacketsInFlight) {
  StartWindowedSend("win.bin");
  EXPECT_EQ(SentTypes(), "D2 D3 D4 D5");
  Advance(1);  // nothing answered: the window stays full
  EXPECT_EQ(SentTypes(), "");
  Inject('Y', 2);
  Inject('Y', 3);  // two slots free
  EXPECT_EQ(SentTypes(), "D6 D7");
  Inject('N', 4);  // a packet in flight is asked for again
  EXPECT_EQ(SentTypes(), "D4");
  Inject('Y', 4);
  Inject('Y', 5);
  EXPECT_EQ(SentTypes(), "D8 D9");
  Advance(Secs2Ticks(1) + 2);  // silence: the oldest goes again
  EXPECT_EQ(SentTypes(), "D6");
  EXPECT_EQ(Record().TotalErrors, 1u);
  AckAll();
  EXPECT_EQ(Finish(), 0);
}

// The line keeps order and a receiver answers packets in the order they come
// (or holds its answers back behind a gap and sends them in order once it is
// filled). An acknowledgement of a packet whose answered sending went after
// an earlier packet's, still unanswered, shows that one or its answer lost: it
// goes again at once, not after the time-out. An answer that comes before the
// line can have carried a resend is for the sending before it.
TEST_F(KermitTest, APacketSentBeforeOneAnsweredGoesAgainAtOnce) {
  StartWindowedSend("lost.bin");
  EXPECT_EQ(SentTypes(), "D2 D3 D4 D5");
  Advance(1);
  Inject('Y', 3);  // the answer to D2 was lost
  EXPECT_EQ(SentTypes(), "D2");
  Inject('Y', 4);
  Inject('Y', 5);  // sent before that resend: they show nothing
  EXPECT_EQ(SentTypes(), "");
  Advance(1);
  Inject('Y', 2);
  EXPECT_EQ(SentTypes(), "D6 D7 D8 D9");
  // The time-out sends the oldest. Its answer is followed by those of the
  // packets sent before its resend, in one burst; what the burst leaves out
  // goes again once the line has been quiet for a burst's time.
  Advance(Secs2Ticks(1) + 2);
  EXPECT_EQ(SentTypes(), "D6");
  Advance(1);
  Inject('Y', 6);
  EXPECT_EQ(SentTypes(), "D10");
  Advance(1);
  EXPECT_EQ(SentTypes(), "") << "the burst may not be over";
  Advance(Secs2Ticks(1) / 3);
  EXPECT_EQ(SentTypes(), "D7 D8 D9");
  Advance(1);
  Inject('Y', 8);  // D7's resend went before D8's
  EXPECT_EQ(SentTypes(), "D7");
  Inject('Y', 7);  // too soon for that resend: it shows nothing of D9
  EXPECT_EQ(SentTypes(), "D11 D12");
  Advance(Secs2Ticks(1) / 3);
  EXPECT_EQ(SentTypes(), "");
  // A NAK of a packet sent after a resend of the oldest shows that resend lost.
  Inject('N', 11);
  EXPECT_EQ(SentTypes(), "D11 D9");
  Inject('Y', 10);  // a later packet, sent before: nothing more
  EXPECT_EQ(SentTypes(), "");
  EXPECT_EQ(Area().Slots[Area().WinFirst].Retries.Count(), 2u);
  AckAll();
  EXPECT_EQ(Finish(), 0);
}

TEST_F(KermitTest, TheWaitForAnAckFollowsTheMeasuredRoundTrip) {
  StartWindowedSend("rtt.bin");
  EXPECT_EQ(SentTypes(), "D2 D3 D4 D5");
  // Nothing measured yet: the whole time-out.
  EXPECT_EQ(TicksLeft(Record().TimeoutTrigger), Secs2Ticks(5));
  // Acknowledgements a tick after their packets: a round trip of about a
  // tick, so a packet whose answer is lost goes again after a second.
  Advance(1);
  Inject('Y', 2);
  Inject('Y', 3);
  EXPECT_EQ(SentTypes(), "D6 D7");
  EXPECT_EQ(TicksLeft(Record().TimeoutTrigger), Secs2Ticks(1));
  Advance(Secs2Ticks(1) - 1);
  EXPECT_EQ(SentTypes(), "");
  Advance(2);
  EXPECT_EQ(SentTypes(), "D4");
  EXPECT_EQ(Record().TotalErrors, 1u);
  // A packet sent again is not timed: its late answer would read as a long round trip.
  Advance(20);
  Inject('Y', 4);
  EXPECT_LE(TicksLeft(Record().TimeoutTrigger), Secs2Ticks(1));
  // Nor is one sent before that resend: its answer may have waited for the gap.
  Inject('Y', 6);
  Inject('Y', 7);
  EXPECT_LE(TicksLeft(Record().TimeoutTrigger), Secs2Ticks(1));
  AckAll();
  EXPECT_EQ(Finish(), 0);
}

// New data waits while the line has more than two packets still to carry,
// so that a packet asked for again is not queued behind the whole window; the
// packet asked for goes at once, and acknowledgements show what was carried.
TEST_F(KermitTest, NewDataWaitsForTheLineAndAResendGoesAtOnce) {
  port->SetBaud(1200);  // 120 bytes a second: a packet is most of a second
  protocol->SetKermitMaxWindows(8);
  StartSend({{"paced.bin", std::string(94 * 30, 'p')}}, Field([](TKermitParams& p) {
              p.Capabilities = kKermitCapWindows;
              p.Windows = 8;
              p.RepeatPrefix = ' ';
            }));
  Inject('Y', Sent().at(0).seq);
  EXPECT_EQ(SentTypes(), "D2 D3");  // the window has room for eight
  Advance(Secs2Ticks(1));           // 120 bytes carried
  EXPECT_EQ(SentTypes(), "D4 D5");
  Inject('Y', 2);  // the line may still hold D3 to D5: nothing new
  EXPECT_EQ(SentTypes(), "");
  Inject('N', 3);
  EXPECT_EQ(SentTypes(), "D3");
  Inject('Y', 4);
  Inject('Y', 5);  // all before the resend carried
  EXPECT_EQ(SentTypes(), "D6 D7");
  Inject('Y', 3);
  Inject('Y', 6);
  Inject('Y', 7);  // the line is empty
  EXPECT_EQ(SentTypes(), "D8 D9 D10");
  AckAll();
  EXPECT_EQ(Finish(), 0);
}

TEST_F(KermitTest, NakForTheNextPacketAcknowledgesTheOneSent) {
  StartSend({{"two.bin", std::string(200, 'q') + std::string(200, 'r')}}, Field([](TKermitParams& p) {
              p.RepeatPrefix = ' ';
            }));
  Inject('Y', Sent().at(0).seq);
  EXPECT_EQ(SentTypes(), "D2");
  Inject('N', 3);
  EXPECT_EQ(SentTypes(), "D3");
  Inject('N', 3);
  EXPECT_EQ(SentTypes(), "D3");
  AckAll();
  EXPECT_EQ(Finish(), 0);
}

TEST_F(KermitTest, SilenceEndsBySendingAnErrorPacketAfterTheRetries) {
  protocol->SetHandshakeRetry(3);
  StartSend({{"quiet.bin", "abc"}}, Field());
  EXPECT_EQ(SentTypes(), "F1");
  std::string resent;
  for (int i = 0; i < 20 && resent.find('E') == std::string::npos; ++i) {
    Advance(Record().HandshakeWait + 1);
    resent += SentTypes() + ";";
  }
  // The error packet with the unanswered packet's number and the next: a
  // receiver may take only the number it expects.
  EXPECT_EQ(resent, "F1;F1;F1;E1 E2;");
  EXPECT_EQ(Finish(), ecProtocolError);
  EXPECT_EQ(events.Count("error " + std::to_string(ecProtocolError)), 1u);
}

TEST_F(KermitTest, AnErrorPacketFromThePeerEndsTheTransfer) {
  StartSend({{"e.bin", "abc"}}, Field());
  Inject('E', 1, "disk full");
  EXPECT_EQ(SentTypes(), "F1");  // nothing answers an error packet
  EXPECT_EQ(Finish(), ecProtocolAbort);
}

// The final packet waits for the peer's answer to the cancel: a peer that
// drops what waits on the line when it takes the discard would lose it.
TEST_F(KermitTest, CancelSendsDiscardThenAnErrorPacketOnceAnswered) {
  StartSend({{"c.bin", std::string(5000, 'x')}}, Field([](TKermitParams& p) { p.RepeatPrefix = ' '; }));
  Inject('Y', Sent().at(0).seq);
  EXPECT_EQ(SentTypes(), "D2");
  protocol->AbortProtocol();
  DrainQueue();
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].type, 'Z');
  EXPECT_EQ(sent[0].data, "D");
  Inject('Y', sent[0].seq);
  EXPECT_EQ(SentTypes(), "E4");
  EXPECT_EQ(Finish(), ecCancelRequested);
  // Unanswered, the error packet follows after two seconds with every number
  // the receiver may wait for: from the data packet still in flight (the
  // cancel may have purged it) to the one after the discard.
  events.events.clear();
  StartSend({{"c.bin", std::string(5000, 'x')}}, Field([](TKermitParams& p) { p.RepeatPrefix = ' '; }));
  Inject('Y', Sent().at(0).seq);
  Sent();
  protocol->AbortProtocol();
  DrainQueue();
  EXPECT_EQ(SentTypes(), "Z3");
  Advance(Secs2Ticks(2) + 1);
  EXPECT_EQ(SentTypes(), "E2 E3 E4");
  EXPECT_EQ(Finish(), ecCancelRequested);
}

TEST_F(KermitTest, AReceiverThatAsksToStopGetsDiscardAndBreak) {
  StartSend({{"s.bin", std::string(5000, 'x')}}, Field([](TKermitParams& p) { p.RepeatPrefix = ' '; }));
  Inject('Y', Sent().at(0).seq);
  EXPECT_EQ(SentTypes(), "D2");
  Inject('Y', 2, "Z");
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].type, 'Z');
  EXPECT_EQ(sent[0].data, "D");
  Inject('Y', sent[0].seq);
  EXPECT_EQ(SentTypes(), "B4");
  EXPECT_EQ(Finish(), ecCancelRequested);
}

TEST_F(KermitTest, BatchOfThreeFilesIncludingEmptyOnes) {
  StartSend({{"a.bin", ""}, {"b.bin", "1"}, {"c.bin", std::string(3000, 'c')}}, Field());
  std::string types;
  for (int i = 0; i < 200 && !events.Finished(); ++i) {
    for (const auto& p : Sent()) {
      if (p.type != 'D') types += std::string(1, p.type) + (p.type == 'F' ? p.data : "") + " ";
      Inject('Y', p.seq);
    }
  }
  EXPECT_EQ(types, "Fa.bin Z Fb.bin Z Fc.bin Z B ");
  EXPECT_EQ(Finish(), 0);
}

// --- Receive ----------------------------------------------------------------------------------

TEST_F(KermitTest, ReceiveAnswersTheSendInitWithItsResults) {
  protocol->SetKermitMaxLen(1024);
  protocol->SetKermitMaxWindows(27);
  protocol->SetKermitSWCTurnDelay(7);
  const std::string answer = StartReceive(Field([](TKermitParams& p) {
    p.HibitPrefix = '&';
    p.CheckType = '3';
    p.Capabilities = kKermitCapLong | kKermitCapWindows;
    p.Windows = 8;
    p.LongLen = 4000;
  }));
  const TKermitParams ours = Params(answer);
  EXPECT_EQ(ours.HibitPrefix, '&');
  EXPECT_EQ(ours.CheckType, '3');
  EXPECT_EQ(ours.Capabilities, kKermitCapLong | kKermitCapWindows);
  EXPECT_EQ(ours.Windows, 27);
  EXPECT_EQ(ours.LongLen, 1024u);
  EXPECT_EQ(Area().SlotCount, 8u);
  EXPECT_EQ(Area().PacketLen, 1024u);  // its 4000 within our 1024
  EXPECT_EQ(Record().TurnDelay, 7u);   // with windows, the turn delay of the windows
  EXPECT_TRUE(Area().Quote8);
  // An unknown block check falls back to type 1.
  protocol->AbortProtocol();
  DrainQueue();
  EXPECT_EQ(Finish(), ecCancelRequested);
  events.events.clear();
  EXPECT_EQ(Params(StartReceive(Field([](TKermitParams& p) { p.CheckType = 'B'; }))).CheckType, '1');
}

TEST_F(KermitTest, ReceivedNamesStayInTheDestinationDirectory) {
  fs::create_directory("dest");
  protocol->SetDestinationDirectory("dest");
  StartReceive(Field());
  const struct {
    std::string sent, stored;
  } names[] = {{"../../evil.txt", "dest/evil.txt"},
               {"/etc/passwd", "dest/passwd"},
               {"..\\..\\win\\name.txt", "dest/name.txt"},
               {"sub/dir/plain.txt", "dest/plain.txt"}};
  int seq = 1;
  for (const auto& n : names) {
    Inject('F', seq, n.sent);
    EXPECT_EQ(SentTypes(), "Y" + std::to_string(seq)) << n.sent;
    EXPECT_EQ(protocol->FileName(), n.stored);
    Inject('D', seq + 1, "x");
    Inject('Z', seq + 2);
    EXPECT_EQ(SentTypes(), "Y" + std::to_string(seq + 1) + " Y" + std::to_string(seq + 2));
    EXPECT_EQ(ReadWhole(n.stored), "x") << n.sent;
    seq += 3;
  }
  Inject('B', seq);
  EXPECT_EQ(Finish(), 0);
  EXPECT_FALSE(fs::exists("evil.txt"));
  EXPECT_FALSE(fs::exists("../evil.txt"));
}

// Kermit's normal form (upper case) arrives in lower case unless names are
// kept literally; a name with any lower-case letter is kept.
TEST_F(KermitTest, UpperCaseNamesArriveInLowerCase) {
  const std::pair<std::string, std::string> names[] = {
      {"FW.BIN", "fw.bin"}, {"Mixed.TXT", "Mixed.TXT"}, {"123", "123"}, {"DIR/A_1.C", "dir/a_1.c"}};
  for (const auto& [sent, local] : names) EXPECT_EQ(KermitLocalName(sent), local) << sent;
  fs::create_directory("dest");
  protocol->SetDestinationDirectory("dest");
  for (const bool literal : {false, true}) {
    protocol->SetKermitLiteralNames(literal);
    StartReceive(Field());
    Inject('F', 1, "FW.BIN");
    EXPECT_EQ(protocol->FileName(), literal ? "dest/FW.BIN" : "dest/fw.bin");
    Inject('D', 2, "x");
    Inject('Z', 3);
    Inject('B', 4);
    EXPECT_EQ(Finish(), 0);
    EXPECT_EQ(ReadWhole(literal ? "dest/FW.BIN" : "dest/fw.bin"), "x");
    events.events.clear();
  }
}

// Each side sends with its own control prefix, so each reads with the other's.
TEST_F(KermitTest, ReceivedDataIsReadWithThePeersControlPrefix) {
  protocol->SetKermitCtlPrefix('!');
  const std::string answer = StartReceive(Field([](TKermitParams& p) { p.RepeatPrefix = ' '; }));
  EXPECT_EQ(Params(answer).CtlPrefix, '!');
  Inject('F', 1, "ctl.txt");
  Inject('D', 2, "a#M#J!b");
  Inject('Z', 3);
  Inject('B', 4);
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ReadWhole("ctl.txt"), "a\r\n!b");
}

TEST_F(KermitTest, ReceiveWindowAsksForWhatIsMissingAndWritesInOrder) {
  StartWindowedReceive();
  Inject('F', 1, "w.txt");
  EXPECT_EQ(SentTypes(), "Y1");
  Inject('D', 2, "aa");
  Inject('D', 5, "dd");  // 3 and 4 missing
  EXPECT_EQ(SentTypes(), "Y2 N3 N4 Y5") << "what is missing is asked for before the answer";
  Inject('D', 4, "cc");
  Inject('D', 2, "aa");  // a repeat: acknowledged, not written twice
  EXPECT_EQ(SentTypes(), "Y4 Y2");
  EXPECT_EQ(Record().BytesTransferred, 2);
  Inject('D', 3, "bb");
  EXPECT_EQ(SentTypes(), "Y3");
  EXPECT_EQ(Record().BytesTransferred, 8);
  Inject('D', 40, "zz");  // far outside the window: ignored
  EXPECT_EQ(SentTypes(), "");
  Inject('Z', 6);
  Inject('B', 7);
  EXPECT_EQ(SentTypes(), "Y6 Y7");
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ReadWhole("w.txt"), "aabbccdd");
}

// A packet missing from the window is asked for again when the line goes
// quiet behind it for a few packets' time, and a packet's time after the
// window filled behind it (the sender's resend may be queued behind the
// window); with no gap the receive waits the whole time-out.
TEST_F(KermitTest, AMissingPacketIsAskedForAgainWhenTheWindowFillsOrTheLineGoesQuiet) {
  port->SetBaud(1200);  // a packet is most of a second
  StartWindowedReceive();
  Inject('F', 1, "gaps.txt");
  EXPECT_EQ(SentTypes(), "Y1");
  Advance(Secs2Ticks(1));
  EXPECT_EQ(SentTypes(), "") << "no gap: nothing is asked for before the time-out";
  Inject('D', 3, "bb");
  Inject('D', 4, "cc");
  EXPECT_EQ(SentTypes(), "N2 Y3 Y4");
  Inject('D', 5, "dd");  // the window is full behind 2
  Inject('D', 5, "dd");
  EXPECT_EQ(SentTypes(), "Y5 Y5");
  Advance(Secs2Ticks(1) + 4);
  EXPECT_EQ(SentTypes(), "N2") << "no resend came after the window";
  Advance(Secs2Ticks(2));
  EXPECT_EQ(SentTypes(), "");
  Advance(Secs2Ticks(2));
  EXPECT_EQ(SentTypes(), "N2") << "the line went quiet behind the gap";
  Inject('D', 2, "aa");
  Inject('D', 7, "ff");  // the next gap is asked for afresh
  Inject('D', 8, "gg");
  Inject('D', 9, "hh");
  EXPECT_EQ(SentTypes(), "Y2 N6 Y7 Y8 Y9");
  Inject('D', 6, "ee");
  Inject('Z', 10);
  Inject('B', 11);
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ReadWhole("gaps.txt"), "aabbccddeeffgghh");
}

// A long data packet that arrives damaged with its header intact names its
// number: one the window misses (a resend damaged again) is asked for at
// once; damage to any other asks for nothing.
TEST_F(KermitTest, ADamagedResendOfAMissingPacketIsAskedForAtOnce) {
  protocol->SetKermitMaxLen(1024);
  protocol->SetKermitMaxWindows(4);
  StartReceive(Field([](TKermitParams& p) {
    p.Capabilities = kKermitCapLong | kKermitCapWindows;
    p.Windows = 4;
    p.LongLen = 1024;
  }));
  auto damaged = [&](int seq, const std::string& data) {
    TKermitFraming f;
    f.CheckType = check;
    std::vector<uint8_t> out(kKermitMaxPacketBytes);
    const size_t n = BuildKermitPacket(f, uint8_t(seq), 'D', reinterpret_cast<const uint8_t*>(data.data()),
                                       data.size(), out.data());
    out[20] ^= 1;  // a data byte
    Receive(std::string(reinterpret_cast<char*>(out.data()), n));
  };
  const std::string a(200, 'a'), b(200, 'b'), c(200, 'c');
  Inject('F', 1, "long.txt");
  Inject('D', 3, b);
  EXPECT_EQ(SentTypes(), "Y1 N2 Y3");
  damaged(2, a);
  EXPECT_EQ(SentTypes(), "N2");
  damaged(4, c);  // new, not missing: left to the sender
  EXPECT_EQ(SentTypes(), "");
  Inject('D', 2, a);
  Inject('D', 4, c);
  EXPECT_EQ(SentTypes(), "Y2 Y4");
  Inject('Z', 5);
  Inject('B', 6);
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(ReadWhole("long.txt"), a + b + c);
}

TEST_F(KermitTest, AGapAtTheEndOfTheFileFails) {
  StartWindowedReceive();
  Inject('F', 1, "gap.txt");
  Inject('D', 3, "bb");
  Inject('Z', 4);
  EXPECT_EQ(Finish(), ecTableFull);
}

TEST_F(KermitTest, DiscardFromTheSenderDeletesThePartialFile) {
  StartReceive(Field());
  Inject('F', 1, "partial.bin");
  Inject('D', 2, std::string(90, 'p'));
  ASSERT_TRUE(fs::exists("partial.bin"));
  Inject('Z', 3, "D");
  EXPECT_EQ(Finish(), ecCancelRequested);
  EXPECT_FALSE(fs::exists("partial.bin"));
  // A plain failure keeps what came (the history decides about it).
  events.events.clear();
  StartReceive(Field());
  Inject('F', 1, "kept.bin");
  Inject('D', 2, "abc");
  Inject('E', 3, "gone");
  EXPECT_EQ(Finish(), ecProtocolAbort);
  EXPECT_EQ(ReadWhole("kept.bin"), "abc");
}

// The history deletes the part of a failed receive, never a file of the
// batch that arrived whole before.
TEST_F(KermitTest, TheHistoryDeletesOnlyThePartOfAFailedReceive) {
  auto* log = new TMroProtocolLog(&form);
  log->HistoryName = "h.his";
  protocol->SetProtocolLog(log);
  for (bool failInFile : {true, false}) {
    events.events.clear();
    StartReceive(Field());
    Inject('F', 1, "whole.bin");
    Inject('D', 2, "done");
    Inject('Z', 3);
    if (failInFile) {
      Inject('F', 4, "part.bin");
      Inject('D', 5, "half");
      Inject('E', 6, "stop");
    } else {
      Inject('E', 4, "stop");
    }
    EXPECT_EQ(Finish(), ecProtocolAbort);
    EXPECT_EQ(ReadWhole("whole.bin"), "done");
    EXPECT_FALSE(fs::exists("part.bin"));
    fs::remove("whole.bin");
  }
  EXPECT_NE(ReadWhole("h.his").find("Kermit receive failed part.bin"), std::string::npos) << ReadWhole("h.his");
}

TEST_F(KermitTest, AFileThatMayNotBeWrittenEndsWithAnErrorPacket) {
  WriteWhole("taken.txt", "mine");
  protocol->SetWriteFailAction(wfWriteFail);
  StartReceive(Field());
  Inject('F', 1, "taken.txt");
  const auto sent = Sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].type, 'E');
  EXPECT_EQ(sent[0].data, "Error opening or writing file");
  EXPECT_EQ(Finish(), ecCantWriteFile);
  EXPECT_EQ(ReadWhole("taken.txt"), "mine");
}

TEST_F(KermitTest, ARefusedFileEndsTheReceiveWithACancel) {
  protocol->OnProtocolAccept = [](TMroCustomProtocol*, bool& accept, std::string&) { accept = false; };
  StartReceive(Field());
  Inject('F', 1, "no.txt");
  EXPECT_EQ(SentTypes(), "Z1");
  Inject('E', 2, "refused");  // the sender gives up: nothing more to say
  EXPECT_EQ(SentTypes(), "");
  EXPECT_EQ(Finish(), ecFileRejected);
  EXPECT_FALSE(fs::exists("no.txt"));
}

// A line full of noise: packets that never check end the receive by the
// retry limit, and the input buffer never grows.
TEST_F(KermitTest, GarbageEndsByTheRetryLimit) {
  protocol->SetHandshakeRetry(5);
  StartReceive(Field());
  std::string junk;
  for (int i = 0; i < 2000; ++i) junk += char(i % 7 == 0 ? 1 : 33 + (i * 13) % 90);
  for (int i = 0; i < 20 && Area().KermitState < rkComplete; ++i) Receive(junk);
  EXPECT_EQ(Finish(), ecProtocolError);
  EXPECT_LE(Area().InLen, kKermitInputSize);
}

// A sender that starts late is waited for until the user cancels: silence
// before the first packet is no error, and a receive logs no start.
TEST_F(KermitTest, AReceiveWaitsForALateSenderUntilCancelled) {
  protocol->SetHandshakeRetry(5);
  protocol->BeginReceive();
  DrainQueue();
  for (int i = 0; i < 40; ++i) Advance(Secs2Ticks(5) + 1);
  EXPECT_LT(Area().KermitState, rkComplete);
  EXPECT_FALSE(events.Finished());
  const std::string field = Field();
  Inject('S', 0, field);
  EXPECT_EQ(SentTypes(), "Y0");
  check = Params(field).CheckType >= '1' && Params(field).CheckType <= '3' ? Params(field).CheckType : '1';
  Inject('F', 1, "late.txt");
  Inject('D', 2, "x");
  Inject('Z', 3);
  Inject('B', 4);
  EXPECT_EQ(Finish(), 0);
  EXPECT_EQ(events.Count("log 0"), 0u);
  EXPECT_EQ(events.Count("log 1"), 1u);
  events.events.clear();
  protocol->BeginReceive();
  DrainQueue();
  for (int i = 0; i < 40; ++i) Advance(Secs2Ticks(5) + 1);
  protocol->AbortProtocol();
  DrainQueue();
  EXPECT_EQ(Finish(), ecCancelRequested);
}

// Bytes waiting before a receive starts that fail it at once: the start's
// own pass ends the transfer instead of leaving it half finished.
TEST_F(KermitTest, AFailureInTheStartPassStillFinishes) {
  protocol->SetHandshakeRetry(2);
  std::string junk;
  for (int i = 0; i < 50; ++i) junk += "\x01###";
  device->InjectReceived(junk);
  device->Pass();
  protocol->BeginReceive();
  DrainQueue();
  EXPECT_EQ(Finish(), ecProtocolError);
}

}  // namespace
}  // namespace zav::test
