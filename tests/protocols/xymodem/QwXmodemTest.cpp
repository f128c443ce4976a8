// Xmodem: the block codec on its own, then the engine over the in-memory
// device with the clock stopped, the test playing the far end.
#include "protocols/xymodem/QwXmodem.h"

#include <gtest/gtest.h>

#include "serial/QxExcept.h"
#include "serial/QxSrMgr.h"
#include "tests/protocols/xymodem/XmodemTestSupport.h"

namespace zav::test {
namespace {

// --- Codec -----------------------------------------------------------------------------------

TEST(XmodemCodec, ChecksAndFrameLayout) {
  const std::string digits = "123456789";
  const auto* d = reinterpret_cast<const uint8_t*>(digits.data());
  EXPECT_EQ(XmodemCrc(d, 9), 0x31C3);  // the CRC-16/XMODEM check value
  EXPECT_EQ(XmodemChecksum(d, 9), uint8_t(0xDD));

  std::string data(128, '\0');
  for (int i = 0; i < 128; ++i) data[size_t(i)] = char(i * 3);
  const std::string sum = Frame(7, data, false);
  ASSERT_EQ(sum.size(), 132u);
  EXPECT_EQ(sum.substr(0, 3), std::string("\x01\x07\xF8", 3));
  EXPECT_EQ(sum.substr(3, 128), data);
  EXPECT_EQ(uint8_t(sum[131]), XmodemChecksum(reinterpret_cast<const uint8_t*>(data.data()), 128));

  const std::string big = Frame(0, "abc", true, 1024);
  ASSERT_EQ(big.size(), 1029u);
  EXPECT_EQ(big.substr(0, 6), std::string("\x02\x00\xFF" "abc", 6));
  EXPECT_EQ(uint8_t(big[6]), kBlockFillChar);
  const uint16_t crc = XmodemCrc(reinterpret_cast<const uint8_t*>(big.data()) + 3, 1024);
  EXPECT_EQ(uint8_t(big[1027]), crc >> 8);
  EXPECT_EQ(uint8_t(big[1028]), crc & 0xFF);
}

TEST(XmodemCodec, BlockVerdicts) {
  struct Case {
    const char* what;
    uint8_t number;
    int corrupt;  // index of a byte to flip (after the start character), -1 none
    bool crc;
    uint8_t expected;
    bool noPrevious;
    TBlockVerdict verdict;
  };
  const Case cases[] = {
      {"good", 5, -1, true, 5, false, TBlockVerdict::Good},
      {"good checksum", 5, -1, false, 5, false, TBlockVerdict::Good},
      {"complement", 5, 1, true, 5, false, TBlockVerdict::BadNumber},
      {"data", 5, 40, true, 5, false, TBlockVerdict::BadCheck},
      {"checksum byte", 5, 130, false, 5, false, TBlockVerdict::BadCheck},
      {"previous", 4, -1, true, 5, false, TBlockVerdict::Duplicate},
      {"previous across the wrap", 255, -1, true, 0, false, TBlockVerdict::Duplicate},
      {"no previous of a header", 255, -1, true, 0, true, TBlockVerdict::OutOfSequence},
      {"ahead", 7, -1, true, 5, false, TBlockVerdict::OutOfSequence},
  };
  for (const Case& c : cases) {
    std::string f = Frame(c.number, Random(128, c.number), c.crc).substr(1);
    if (c.corrupt >= 0) f[size_t(c.corrupt)] ^= 0x10;
    EXPECT_EQ(CheckXmodemBlock(reinterpret_cast<const uint8_t*>(f.data()), 128, c.crc, c.expected, c.noPrevious),
              c.verdict)
        << c.what;
  }
}

// --- Settings --------------------------------------------------------------------------------

TEST(XmodemSettings, TypesFlagsAndTheComponentSwitches) {
  TComponent form(nullptr);
  TMroProtocol p(&form);
  struct Case {
    TProtocolType type;
    uint32_t blockSize;
    TBlockCheckMethod check;
    bool g;
  };
  for (const Case& c : {Case{ptXmodem, 128, bcmChecksum, false}, Case{ptXmodemCRC, 128, bcmCrc16, false},
                        Case{ptXmodem1K, 1024, bcmCrc16, false}, Case{ptXmodem1KG, 1024, bcmCrc16, true},
                        Case{ptYmodem, 1024, bcmCrc16, false}, Case{ptYmodemG, 1024, bcmCrc16, true}}) {
    p.SetProtocolType(c.type);
    TransferRecord& r = p.Record();
    EXPECT_EQ(r.ProtocolType, c.type);
    EXPECT_EQ(r.BlockSize, c.blockSize) << c.type;
    EXPECT_EQ(r.CheckType, c.check) << c.type;
    EXPECT_EQ(XmodemArea(r)->GMode, c.g) << c.type;
    EXPECT_EQ(r.TurnDelay, c.g ? 0u : 1000u);
    EXPECT_EQ(r.FinishWait, 0);
  }
  // The checksum cannot be had with 1K blocks; setters of another protocol refuse.
  p.SetProtocolType(ptXmodem1K);
  EXPECT_EQ(SetXmodemCRC(p.Record(), false), 0);
  EXPECT_EQ(p.Record().CheckType, bcmCrc16);
  EXPECT_EQ(SetXmodem1K(p.Record(), false), 0);
  EXPECT_EQ(p.Record().ProtocolType, ptXmodemCRC);
  EXPECT_EQ(SetXmodemG(p.Record(), true), 0);
  EXPECT_EQ(p.Record().ProtocolType, ptXmodem1KG);
  p.SetProtocolType(ptAscii);
  EXPECT_EQ(SetXmodemCRC(p.Record(), true), ecBadProtocolFunction);
  EXPECT_EQ(SetXYmodemBlockWait(p.Record(), 5), ecBadProtocolFunction);

  // The block check switches between the checksum and the CRC type.
  p.SetProtocolType(ptXmodem);
  p.SetBlockCheckMethod(bcmCrc16);
  EXPECT_EQ(p.ProtocolType(), ptXmodemCRC);
  EXPECT_EQ(p.BlockCheckMethod(), bcmCrc16);
  p.SetBlockCheckMethod(bcmChecksum);
  EXPECT_EQ(p.ProtocolType(), ptXmodem);
  EXPECT_EQ(p.BlockCheckMethod(), bcmChecksum);

  // The block wait is kept across switches and reaches the engine.
  p.SetProtocolType(ptAscii);
  p.SetXYmodemBlockWait(40);
  p.SetProtocolType(ptYmodemG);
  EXPECT_EQ(XmodemArea(p.Record())->XYmodemBlockWait, 40);
  SetXYmodemBlockWait(p.Record(), 50);
  EXPECT_EQ(p.XYmodemBlockWait(), 50);
}

// --- Transmit --------------------------------------------------------------------------------

class XmodemTransmitTest : public XmodemEngineTest {
 protected:
  // Acknowledges blocks until the EOT; returns their data bytes.
  std::string AckUntilEot(std::string out) {
    std::string data;
    for (int i = 0; i < 2000 && out != kEot; ++i) {
      EXPECT_TRUE(out[0] == cSOH || out[0] == cSTX) << "block " << i;
      const size_t size = out[0] == cSOH ? 128 : 1024;
      data += out.substr(3, size);
      Feed(kAck);
      out = Out();
    }
    return data;
  }
};

TEST_F(XmodemTransmitTest, ChecksumBlocksThenTheDoubleEot) {
  const std::string file = Random(300, 1);
  StartSend(ptXmodem, "data.bin", file);
  EXPECT_EQ(Out(), "");  // waits for the receiver
  Feed(kNak);
  std::string out = Out();
  EXPECT_EQ(out, Frame(1, file.substr(0, 128), false));
  const std::string sent = AckUntilEot(out);
  EXPECT_EQ(sent, file + std::string(84, char(kBlockFillChar)));
  Feed(kNak);
  EXPECT_EQ(Out(), kEot);
  EXPECT_FALSE(events.Finished());
  Feed(kAck);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(events.Count("log 4"), 1u);
  EXPECT_EQ(events.Count("log 5"), 1u);
  EXPECT_EQ(protocol->BytesTransferred(), 300);
  EXPECT_EQ(protocol->ProtocolStatus(), psEndFile);
}

// Ymodem's last header drains by the same rule (it once waited only the block
// waits above 8192 cps).
TEST_F(XmodemTransmitTest, TheEndDrainWaitGrowsAsTheLineSlowsAndIsNeverZero) {
  for (const TProtocolType type : {ptXmodem, ptYmodem}) {
    protocol->SetProtocolType(type);
    TransferRecord& r = Record();
    TXmodemArea& a = *XmodemArea(r);
    r.FinishWait = 0;
    int32_t last = INT32_MAX;
    for (const uint32_t cps : {960u, 8192u, 11520u, 92160u}) {
      r.ActualCPS = cps;
      const int32_t ticks = EndDrainTicks(r, a);
      EXPECT_GT(ticks, 2 * a.XYmodemBlockWait) << type << " " << cps;
      EXPECT_LE(ticks, last) << type << " " << cps;
      last = ticks;
    }
  }
}

// Before the receiver answers, the elapsed time counts from the start, not
// from the clock's own beginning.
TEST_F(XmodemTransmitTest, TheElapsedTimeBeforeTheDataPhaseCountsFromTheStart) {
  StartSend(ptXmodem, "e.bin", "abc");
  Advance(110);
  UpdateElapsedTicks(Record());
  EXPECT_GE(protocol->ElapsedTicks(), 109);
  EXPECT_LE(protocol->ElapsedTicks(), 111);
}

TEST_F(XmodemTransmitTest, AReceiverAskingForCrcGetsIt) {
  const std::string file = Random(128, 2);
  StartSend(ptXmodem, "crc.bin", file);
  Feed("C");
  EXPECT_EQ(Out(), Frame(1, file, true));
  EXPECT_EQ(Record().CheckType, bcmCrc16);
  Feed(kAck);
  EXPECT_EQ(Out(), kEot);
  Feed(kAck);
  EXPECT_EQ(events.FinishCode(), 0);
  // What the receiver chose does not stick to the next transfer.
  EXPECT_EQ(Record().ProtocolType, ptXmodem);
  EXPECT_EQ(Record().CheckType, bcmChecksum);
}

TEST_F(XmodemTransmitTest, SixNaksOfA1KBlockGoOnIn128ByteBlocksFromTheSamePlace) {
  const std::string file = Random(2000, 3);
  StartSend(ptXmodem1K, "big.bin", file);
  Feed("C");
  EXPECT_EQ(Out(), Frame(1, file.substr(0, 1024), true));
  Feed(kAck);
  const std::string block2 = Frame(2, file.substr(1024), true);
  EXPECT_EQ(Out(), block2);
  for (int nak = 1; nak <= 5; ++nak) {
    Feed(kNak);
    EXPECT_EQ(Out(), block2) << "NAK " << nak;
  }
  Feed(kNak);
  std::string out = Out();
  EXPECT_EQ(out, Frame(2, file.substr(1024, 128), true));
  Feed(kAck);
  out = Out();
  EXPECT_EQ(out, Frame(3, file.substr(1152, 128), true));
  const std::string rest = AckUntilEot(out);
  EXPECT_EQ(rest.substr(0, 2000 - 1152), file.substr(1152));
  Feed(kAck);
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(protocol->BytesTransferred(), 2000);
  EXPECT_EQ(Record().BlockSize, 1024u);  // the next transfer starts with 1K blocks again
}

TEST_F(XmodemTransmitTest, AVanishedReceiverEndsTheTransferWithTooManyErrors) {
  // Silence is no reason for smaller blocks: 1K blocks end the same way.
  for (const TProtocolType type : {ptXmodemCRC, ptXmodem1K}) {
    events.events.clear();
    const std::string name = type == ptXmodem1K ? "gone1k.bin" : "gone.bin";
    StartSend(type, name, Random(200, 4));
    Feed("C");
    const std::string block1 = Out();
    // Each unanswered block wait sends the block again, up to the limit.
    for (int resend = 1; resend <= 5; ++resend) {
      Advance(ReplyWait(uint32_t(block1.size())));
      EXPECT_EQ(Out(), block1) << name << " resend " << resend;
    }
    Advance(ReplyWait(uint32_t(block1.size())));
    EXPECT_EQ(Out(), kCancelString) << name;
    ASSERT_TRUE(events.Finished()) << name;
    EXPECT_EQ(events.FinishCode(), ecTooManyErrors);
    EXPECT_EQ(events.Count("log 6"), 1u);
  }
}

TEST_F(XmodemTransmitTest, AnUnansweredEotEndsTheTransferToo) {
  StartSend(ptXmodemCRC, "end.bin", Random(100, 5));
  Feed("C");
  Out();
  Feed(kAck);
  EXPECT_EQ(Out(), kEot);
  Advance(1093);  // the first EOT waits the transmit time-out
  EXPECT_EQ(Out(), kEot);
  for (int i = 0; i < 4; ++i) {
    Advance(92);
    EXPECT_EQ(Out(), kEot) << "time-out " << i + 2;
  }
  EXPECT_FALSE(events.Finished());
  Advance(92);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecTooManyErrors);
}

// A reader that fails on its second block, the way a disk error would.
int gReads = 0;
bool FailSecondRead(TransferRecord& r, uint8_t* block, uint32_t& count) {
  if (++gReads == 2) {
    GotError(r, -5);
    count = 0;
    return true;
  }
  return DefReadBlock(r, block, count);
}

TEST_F(XmodemTransmitTest, AReadErrorEndsTheTransferWithThatError) {
  gReads = 0;
  WriteWhole("disk.bin", Random(600, 6));
  protocol->SetProtocolType(ptXmodemCRC);
  protocol->SetUpcaseFileNames(false);
  protocol->SetFileMask("disk.bin");
  Record().ReadBlockHook = FailSecondRead;
  protocol->BeginTransmit();
  DrainQueue();
  Feed("C");
  Out();
  Feed(kAck);
  EXPECT_EQ(Out(), kCancelString);  // no EOT: the receiver must not keep a short file
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), -5);
  EXPECT_EQ(events.Count("error -5"), 1u);
  EXPECT_EQ(events.Count("log 6"), 1u);
}

TEST_F(XmodemTransmitTest, CancelsFromTheReceiverAndFromHere) {
  StartSend(ptXmodemCRC, "c1.bin", Random(500, 7));
  Feed("C");
  Out();
  Feed(kCan);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);

  events.events.clear();
  StartSend(ptXmodemCRC, "c2.bin", Random(500, 8));
  Feed("C");
  Out();
  protocol->AbortProtocol();
  DrainQueue();
  EXPECT_EQ(Out(), kCancelString);
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);
}

TEST_F(XmodemTransmitTest, NoHandshakeAfterTheRetriesIsATimeout) {
  protocol->SetProtocolType(ptXmodem);
  protocol->SetHandshakeRetry(3);
  protocol->SetHandshakeWait(10);
  StartSend(ptXmodem, "h.bin", "x");
  for (int i = 0; i < 3; ++i) Advance(11);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecTimeout);
  EXPECT_EQ(Out(), "");
}

TEST_F(XmodemTransmitTest, AStreamingSenderAskedWithCWaitsForEachAnswer) {
  const std::string file = Random(2048, 11);
  StartSend(ptXmodem1KG, "c.bin", file);
  Feed("C");
  EXPECT_EQ(Out(), Frame(1, file.substr(0, 1024), true));
  Feed(kAck);
  EXPECT_EQ(Out(), Frame(2, file.substr(1024), true));
  Feed(kAck);
  EXPECT_EQ(Out(), kEot);
  Feed(kAck);
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_TRUE(XmodemArea(Record())->GMode);  // the next transfer streams again
}

TEST_F(XmodemTransmitTest, StreamingSendsWithoutWaitingAndANakStopsIt) {
  const std::string file = Random(3000, 9);
  StartSend(ptXmodem1KG, "g.bin", file);
  Feed("G");
  std::string out = Out();
  ASSERT_EQ(out.size(), 3 * 1029u);  // all three blocks at once
  EXPECT_EQ(out.substr(1029, 1029), Frame(2, file.substr(1024, 1024), true));
  Advance(1);  // the stream's tail has drained: the EOT follows
  EXPECT_EQ(Out(), kEot);
  Feed(kAck);
  EXPECT_EQ(events.FinishCode(), 0);

  events.events.clear();
  StartSend(ptXmodem1KG, "g2.bin", Random(20000, 10));
  Feed("G");
  Out();
  Feed(kNak);
  Out();
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);
}

// --- Receive ---------------------------------------------------------------------------------

class XmodemReceiveTest : public XmodemEngineTest {};

TEST_F(XmodemReceiveTest, BlocksABadCheckAndTheDoubleEot) {
  const std::string d1 = Random(128, 11), d2 = Random(128, 12);
  StartReceive(ptXmodemCRC, "in.bin");
  EXPECT_EQ(Out(), "C");
  Feed(Frame(1, d1, true));
  EXPECT_EQ(Out(), kAck);
  std::string bad = Frame(2, d2, true);
  bad[50] ^= 1;
  Feed(bad.substr(0, 60));
  Feed(bad.substr(60));
  Feed(bad.substr(0, 30));  // the sender already sends it again: read away too
  EXPECT_EQ(Out(), "");      // answered once the line is quiet
  Advance(kXmodemQuietTicks + 1);
  EXPECT_EQ(Out(), kNak);
  Feed(Frame(2, d2, true));
  EXPECT_EQ(Out(), kAck);
  Feed(kEot);
  EXPECT_EQ(Out(), kNak);
  Feed(kEot);
  EXPECT_EQ(Out(), kAck);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("in.bin"), d1 + d2);
  EXPECT_EQ(events.Count("log 1"), 1u);
}

TEST_F(XmodemReceiveTest, CUnansweredFourTimesFallsBackToTheChecksum) {
  StartReceive(ptXmodemCRC, "fb.bin");
  EXPECT_EQ(Out(), "C");
  for (int i = 1; i <= 3; ++i) {
    Advance(183);
    EXPECT_EQ(Out(), "C") << "time-out " << i;
  }
  Advance(183);
  EXPECT_EQ(Out(), kNak);
  EXPECT_EQ(Record().CheckType, bcmChecksum);
  const std::string d = Random(128, 13);
  Feed(Frame(1, d, false));
  EXPECT_EQ(Out(), kAck);
  EndFile();
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("fb.bin"), d);
}

TEST_F(XmodemReceiveTest, AReceiveThatNeverGotABlockLeavesNoFile) {
  StartReceive(ptXmodemCRC, "none.bin");
  for (int i = 0; i < 40 && !events.Finished(); ++i) Advance(183);
  ASSERT_TRUE(events.Finished());
  EXPECT_NE(events.FinishCode(), 0);
  EXPECT_FALSE(fs::exists("none.bin"));
}

TEST_F(XmodemReceiveTest, ADuplicateIsAcknowledgedAndNotWritten) {
  const std::string d1 = Random(1024, 14), d2 = Random(128, 15);
  StartReceive(ptXmodem1K, "dup.bin");
  Out();
  Feed(Frame(1, d1, true));
  EXPECT_EQ(Out(), kAck);
  Feed(Frame(1, d1, true));
  EXPECT_EQ(Out(), kAck);
  EXPECT_EQ(protocol->ProtocolStatus(), psDuplicateBlock);
  Feed(Frame(2, d2, true));
  EXPECT_EQ(Out(), kAck);
  EndFile();
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("dup.bin"), d1 + d2);
}

TEST_F(XmodemReceiveTest, OutOfSequenceCancelsWith4716AndADamagedNumberIsRefused) {
  const std::string d1 = Random(128, 21), d2 = Random(128, 22);
  StartReceive(ptXmodemCRC, "seq.bin");
  Out();
  Feed(Frame(1, d1, true));
  EXPECT_EQ(Out(), kAck);
  std::string damaged = Frame(2, d2, true);
  damaged[2] ^= 0x40;  // the complement no longer matches
  Feed(damaged);
  Advance(kXmodemQuietTicks + 1);
  EXPECT_EQ(Out(), kNak);
  EXPECT_FALSE(events.Finished());
  Feed(Frame(3, "ahead", true));
  EXPECT_EQ(Out(), kCancelString);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecSequenceError);
  EXPECT_EQ(protocol->ProtocolStatus(), psSequenceError);
  EXPECT_EQ(events.Count("log 2"), 1u);
}

TEST_F(XmodemReceiveTest, ThreeCansCancel) {
  StartReceive(ptXmodemCRC, "can.bin");
  Out();
  Feed(kCan + kCan);
  EXPECT_FALSE(events.Finished());
  Feed(kCan);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);
}

TEST_F(XmodemReceiveTest, NoFileNameAndASilentSender) {
  StartReceive(ptXmodemCRC);
  EXPECT_EQ(events.FinishCode(), ecNoFilename);

  events.events.clear();
  protocol->SetHandshakeWait(5);
  StartReceive(ptXmodem, "silent.bin");
  for (int i = 0; i < 6; ++i) Advance(6);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecTooManyErrors);
  const std::string out = Out();
  ASSERT_GE(out.size(), 6u);
  EXPECT_EQ(out.substr(out.size() - 6), kCancelString);
}

TEST_F(XmodemReceiveTest, ABlockWhoseStartWasLostNeverEndsTheFile) {
  const std::string d1 = Random(1024, 18), d2 = Random(1024, 19);
  std::string d3 = Random(1024, 20);
  d3.replace(0, 2, "\x04\x04");  // an EOT pair at the head of the data
  StartReceive(ptXmodem1K, "lost.bin");
  Out();
  Feed(Frame(1, d1, true));
  Feed(Frame(2, d2, true));
  EXPECT_EQ(Out(), kAck + kAck);
  const std::string block3 = Frame(3, d3, true);
  Feed(block3.substr(1));  // its STX was lost on the line
  EXPECT_FALSE(events.Finished());
  Advance(2 * 91 + 1);  // the rest never comes: the sender is asked again
  Out();
  Feed(block3);
  EXPECT_EQ(Out(), kAck);
  EndFile();
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("lost.bin"), d1 + d2 + d3);
}

// A block that lost a byte on the line never completes while its sender
// waits for an answer: a second of quiet asks for it again, not the whole
// receive wait (ten seconds).
TEST_F(XmodemReceiveTest, ABlockThatLostAByteIsAskedForAgainAfterASecondOfQuiet) {
  const std::string d1 = Random(1024, 21);
  StartReceive(ptXmodem1K, "short.bin");
  Out();
  const std::string block = Frame(1, d1, true);
  Feed(block.substr(0, 500) + block.substr(501));
  Advance(Secs2Ticks(1) / 2);
  EXPECT_EQ(Out(), "");
  Advance(Secs2Ticks(1));
  EXPECT_EQ(Out(), kNak);
  Feed(block);
  EXPECT_EQ(Out(), kAck);
  EndFile();
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("short.bin"), d1);
}

TEST_F(XmodemReceiveTest, ASenderCancellingInTheMiddleOfABlockIsHeardAtOnce) {
  StartReceive(ptXmodem1K, "mid.bin");
  Out();
  Feed(Frame(1, Random(1024, 20), true).substr(0, 400) + kCancelString);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);
}

TEST_F(XmodemReceiveTest, StreamingReceiveSendsNoAcks) {
  const std::string d1 = Random(1024, 16), d2 = Random(1024, 17);
  StartReceive(ptXmodem1KG, "g.bin");
  EXPECT_EQ(Out(), "G");
  Feed(Frame(1, d1, true) + Frame(2, d2, true));
  EXPECT_EQ(Out(), "");
  EndFile();
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("g.bin"), d1 + d2);
}

}  // namespace
}  // namespace zav::test
