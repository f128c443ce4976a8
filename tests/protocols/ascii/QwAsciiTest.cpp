// The ASCII engine over the in-memory device with the clock stopped: blocks
// and free space, the pacing split between busy-waits and timer waits,
// translations, Ctrl-Z, the end states, receive.
#include "protocols/ascii/QwAscii.h"

#include <gtest/gtest.h>

#include "serial/QxExcept.h"
#include "tests/protocols/ProtocolTestSupport.h"

namespace zav::test {
namespace {

// Busy-waits of the pacing, recorded instead of spun.
std::vector<uint32_t> gBusyWaits;
void RecordBusyWait(uint32_t ms) { gBusyWaits.push_back(ms); }

class AsciiTest : public MemoryProtocolTest {
 protected:
  void SetUp() override {
    MemoryProtocolTest::SetUp();
    gBusyWaits.clear();
  }
  // Starts a transmit of `bytes` with the busy-wait recorder in place.
  void Send(const std::string& bytes, uint32_t charDelay = 0, uint32_t lineDelay = 0) {
    WriteWhole("data.txt", bytes);
    protocol->SetProtocolType(ptAscii);
    protocol->SetAsciiCharDelay(charDelay);
    protocol->SetAsciiLineDelay(lineDelay);
    Ascii().BusyWait = RecordBusyWait;
    StartAscii("data.txt");
  }
  // Runs the line until the transfer finished (every byte wired, every timer
  // allowed to expire); returns what went out.
  std::string RunToEnd(int maxSteps = 5000) {
    for (int i = 0; i < maxSteps && !events.Finished(); ++i) {
      device->Wire();
      Pass();
      if (!events.Finished()) Advance(1);
    }
    device->Wire();
    return device->Sent();
  }
};

TEST_F(AsciiTest, WithoutDelaysBlocksOf60GoOutWhen61BytesAreFree) {
  ReopenWithOutSize(100);
  std::string file;
  for (int i = 0; i < 150; ++i) file += char('a' + i % 26);
  Send(file);
  EXPECT_EQ(device->OutputUsed(), 60u);  // room was there: the first block goes at once
  Pass();
  EXPECT_EQ(device->OutputUsed(), 60u);
  device->Wire(20);  // 60 free: not yet
  Pass();
  EXPECT_EQ(device->OutputUsed(), 40u);
  device->Wire(1);  // 61 free
  Pass();
  EXPECT_EQ(device->OutputUsed(), 99u);
  device->Wire();
  Pass();
  EXPECT_EQ(device->OutputUsed(), 30u);  // the last, short block
  EXPECT_FALSE(events.Finished());       // waits for the drain
  device->Wire();
  Pass();
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(device->Sent(), file);
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(protocol->ProtocolStatus(), psEndFile);
  EXPECT_EQ(protocol->BytesTransferred(), 150);
  EXPECT_TRUE(gBusyWaits.empty());
}

TEST_F(AsciiTest, CharDelay100BusyWaitsTwiceThenWaitsTwoTicksOnTheTimer) {
  Send("abcdefg", 100);
  Pass();  // room: the block starts
  EXPECT_EQ(device->OutputUsed(), 3u);
  EXPECT_EQ(gBusyWaits, (std::vector<uint32_t>{100, 100}));
  EXPECT_EQ(Ascii().AsciiState, taSendDelay);
  EXPECT_EQ(TicksLeft(Record().TimeoutTrigger), 2);
  Advance(2);  // not expired until the tick after
  EXPECT_EQ(device->OutputUsed(), 3u);
  Advance(1);
  EXPECT_EQ(device->OutputUsed(), 6u);
  EXPECT_EQ(gBusyWaits, (std::vector<uint32_t>{100, 100, 100, 100}));
  EXPECT_EQ(TicksLeft(Record().TimeoutTrigger), 2);
  EXPECT_EQ(RunToEnd(), "abcdefg");
  EXPECT_EQ(events.FinishCode(), 0);
}

TEST_F(AsciiTest, CharDelay300AlwaysWaitsSixTicks) {
  Send("xyz", 300);
  Pass();
  EXPECT_EQ(device->OutputUsed(), 1u);
  EXPECT_EQ(TicksLeft(Record().TimeoutTrigger), 6);
  Advance(7);
  EXPECT_EQ(device->OutputUsed(), 2u);
  EXPECT_EQ(TicksLeft(Record().TimeoutTrigger), 6);
  EXPECT_TRUE(gBusyWaits.empty());
  EXPECT_EQ(RunToEnd(), "xyz");
}

TEST_F(AsciiTest, LongLineDelayAfterCrSkipsThatCharDelay) {
  Send("ab\rcd", 10, 1000);
  Pass();
  // a, b and the CR go out with their char delays busy-waited, then the line
  // delay of the CR goes to the timer and its char delay is not applied.
  EXPECT_EQ(device->OutputUsed(), 3u);
  EXPECT_EQ(gBusyWaits, (std::vector<uint32_t>{10, 10}));
  EXPECT_EQ(TicksLeft(Record().TimeoutTrigger), 19);
  Advance(20);
  EXPECT_EQ(device->OutputUsed(), 5u);
  EXPECT_EQ(gBusyWaits, (std::vector<uint32_t>{10, 10, 10, 10}));
  EXPECT_EQ(RunToEnd(), "ab\rcd");
}

TEST_F(AsciiTest, ShortLineDelayIsBusyWaitedAndTheCharDelayFollows) {
  Send("a\rb", 20, 50);
  Pass();
  EXPECT_EQ(gBusyWaits, (std::vector<uint32_t>{20, 50, 20, 20}));
  EXPECT_EQ(RunToEnd(), "a\rb");
}

TEST_F(AsciiTest, CrLfWithAddLfAfterGoesOutAsCrLfLf) {
  protocol->SetProtocolType(ptAscii);
  protocol->SetAsciiCRTranslation(aetAddLFAfter);
  Send("one\r\ntwo\r\n");
  EXPECT_EQ(RunToEnd(), "one\r\n\ntwo\r\n\n");
  EXPECT_EQ(protocol->BytesTransferred(), 12);
}

TEST_F(AsciiTest, StripAndAddCrBeforeTranslations) {
  protocol->SetProtocolType(ptAscii);
  protocol->SetAsciiCRTranslation(aetStrip);
  protocol->SetAsciiLFTranslation(aetAddCRBefore);
  Send("a\r\nb\n");
  EXPECT_EQ(RunToEnd(), "a\r\nb\r\n");
}

TEST_F(AsciiTest, DoubledBytesWaitForRoomInsteadOfBeingLost) {
  ReopenWithOutSize(64);
  protocol->SetProtocolType(ptAscii);
  protocol->SetAsciiCRTranslation(aetAddLFAfter);
  const std::string file(60, '\r');
  Send(file);
  std::string expected;
  for (int i = 0; i < 60; ++i) expected += "\r\n";
  EXPECT_EQ(RunToEnd(), expected);
  EXPECT_EQ(events.FinishCode(), 0);
}

TEST_F(AsciiTest, CtrlZIsNeverSentAndWithSuppressionEndsItsBlock) {
  std::string block1 = "abc\x1a" + std::string(56, 'x');  // 60 bytes
  Send(block1 + "tail");
  EXPECT_EQ(RunToEnd(), "abc" + std::string(56, 'x') + "tail");

  device->Wire();
  device->Sent();
  events.events.clear();
  ReopenWithOutSize(4096);
  protocol->SetProtocolType(ptAscii);
  protocol->SetAsciiSuppressCtrlZ(true);
  Send(block1 + "tail");
  EXPECT_EQ(RunToEnd(), "abctail");
  EXPECT_EQ(events.FinishCode(), 0);
}

TEST_F(AsciiTest, EmptyFileFinishesWithZeroAndATransmitOkLog) {
  Send("");
  RunToEnd();
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(events.Count("log 5"), 1u);
  EXPECT_EQ(events.Count("log 6"), 0u);
  EXPECT_EQ(device->Sent(), "");
  EXPECT_EQ(protocol->ProtocolStatus(), psOK);
}

TEST_F(AsciiTest, AMaskOfThreeFilesSendsTheFirst) {
  WriteWhole("f1.txt", "first");
  WriteWhole("f2.txt", "second");
  WriteWhole("f3.txt", "third");
  protocol->SetProtocolType(ptAscii);
  StartAscii("f*.txt");
  EXPECT_EQ(RunToEnd(), "first");
  EXPECT_EQ(events.FinishCode(), 0);
}

TEST_F(AsciiTest, MaskErrorsGiveTheErrorThenTheFinish) {
  protocol->SetProtocolType(ptAscii);
  StartAscii("nothing*.txt");
  EXPECT_EQ(events.events,
            (std::vector<std::string>{"status 1", "error -6003", "status 2", "finish -6003"}));
  events.events.clear();
  StartAscii("no-such-dir/x.txt");
  EXPECT_EQ(events.Count("error -6004"), 1u);
  EXPECT_EQ(events.FinishCode(), -6004);
  events.events.clear();
  StartAscii("");
  EXPECT_EQ(events.Count("error -6002"), 1u);
  EXPECT_EQ(events.FinishCode(), -6002);
  // Nothing of the failed starts is left on the dispatcher.
  EXPECT_EQ(Record().StatusTrigger, 0);
  EXPECT_EQ(device->FindTrigger(8, false), ecBadTriggerHandle);
}

TEST_F(AsciiTest, DrainTimeoutFailsWithMinus6006) {
  protocol->SetTransmitTimeout(5);
  Send("abc");
  Pass();
  EXPECT_EQ(device->OutputUsed(), 3u);
  Advance(7);  // never wired: the output does not drain
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecTimeout);
  EXPECT_EQ(events.Count("error -6006"), 1u);
  EXPECT_EQ(events.Count("log 6"), 1u);
}

TEST_F(AsciiTest, CancelPurgesTheOutputAndFinishesWithMinus6005) {
  Send(std::string(200, 'q'), 300);
  Pass();
  EXPECT_EQ(device->OutputUsed(), 1u);
  protocol->AbortProtocol();
  DrainQueue();
  EXPECT_EQ(device->OutputUsed(), 0u);
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);
  EXPECT_EQ(events.Count("log 6"), 1u);
  EXPECT_EQ(protocol->InProgress(), 0);
  // The handler is gone: later passes change nothing.
  Advance(10);
  EXPECT_EQ(device->OutputUsed(), 0u);
}

TEST_F(AsciiTest, CarrierLossWithAbortNoCarrier) {
  protocol->SetProtocolType(ptAscii);
  protocol->SetAbortNoCarrier(true);
  Send("abc");
  EXPECT_EQ(events.FinishCode(), ecAbortNoCarrier);  // no carrier at the start

  events.events.clear();
  device->SetModemLines(0x80);
  device->DeviceEventPass(0xFFFFFFFF);
  Send(std::string(100, 'c'), 300);
  Pass();
  EXPECT_FALSE(events.Finished());
  device->SetModemLines(0);
  device->DeviceEventPass(0xFFFFFFFF);
  DrainQueue();
  EXPECT_EQ(events.FinishCode(), ecAbortNoCarrier);
  EXPECT_EQ(protocol->ProtocolStatus(), psAbortNoCarrier);
}

TEST_F(AsciiTest, DelayTicksRoundUp) {
  protocol->SetProtocolType(ptAscii);
  protocol->SetAsciiCharDelay(55);
  protocol->SetAsciiLineDelay(56);
  EXPECT_EQ(Ascii().CharDelayTicks, 1u);
  EXPECT_EQ(Ascii().LineDelayTicks, 2u);
  EXPECT_EQ(SetAsciiDelays(Record(), 1, 0), 0);
  EXPECT_EQ(Ascii().CharDelayTicks, 1u);
  protocol->SetProtocolType(ptZmodem);
  EXPECT_EQ(SetAsciiDelays(Record(), 1, 0), ecBadProtocolFunction);
}

// --- Receive ---------------------------------------------------------------------------------

class AsciiReceiveTest : public MemoryProtocolTest {
 protected:
  void StartReceive(const std::string& name) {
    protocol->SetProtocolType(ptAscii);
    protocol->SetUpcaseFileNames(false);
    protocol->SetFileName(name);
    TransferRecord& r = Record();
    StartTransfer(r, ptAscii, false, EngineOf(ptAscii).Handler[0], EngineOf(ptAscii).Prepare[0]);
    DrainQueue();
  }
  void Receive(const std::string& bytes) {
    device->InjectReceived(bytes);
    device->DeviceEventPass(0xFFFFFFFF);
    DrainQueue();
  }
};

TEST_F(AsciiReceiveTest, CtrlZEndsTheFile) {
  StartReceive("in.txt");
  Receive("hello ");
  EXPECT_FALSE(events.Finished());
  Receive("world\x1a");
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("in.txt"), "hello world\x1a");
  EXPECT_EQ(events.Count("log 0"), 1u);
  EXPECT_EQ(events.Count("log 1"), 1u);
}

TEST_F(AsciiReceiveTest, SilenceForTheEofTimeoutEndsTheFile) {
  protocol->SetProtocolType(ptAscii);
  protocol->SetAsciiEOFTimeout(364);
  StartReceive("quiet.txt");
  std::string big(130, 'r');
  Receive(big);
  Advance(300);
  EXPECT_FALSE(events.Finished());
  Advance(65);  // 364 ticks after the last block
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("quiet.txt"), big);
}

TEST_F(AsciiReceiveTest, ASlowSenderIsNotCutOffInTheMiddleOfABlock) {
  protocol->SetProtocolType(ptAscii);
  protocol->SetAsciiEOFTimeout(20);
  StartReceive("slow.txt");
  std::string sent;
  for (int i = 0; i < 30; ++i) {  // one byte every 10 ticks: 300 ticks for half a block
    sent += char('a' + i % 26);
    Receive(std::string(1, sent.back()));
    Advance(10);
    ASSERT_FALSE(events.Finished()) << "cut off after " << sent.size() << " bytes";
  }
  Advance(11);  // now 21 ticks of silence
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("slow.txt"), sent);
}

TEST_F(AsciiReceiveTest, ACancelKeepsWhatWasAlreadyReceived) {
  StartReceive("part.txt");
  Receive(std::string(70, 'p'));  // one block written, ten bytes collected
  // What the component's cancel does, for a receive started on the record.
  EngineOf(ptAscii).Handler[0](MsgProtocolCancel, 0, LPARAM(uint32_t(device->Handle()) << 16));
  DrainQueue();
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);
  EXPECT_EQ(ReadWhole("part.txt"), std::string(70, 'p'));
}

TEST_F(AsciiReceiveTest, AnExistingFileIsRenamedAndAFailActionRefuses) {
  WriteWhole("old.txt", "keep");
  StartReceive("old.txt");
  Receive("new\x1a");
  EXPECT_EQ(ReadWhole("old.txt"), "keep");
  EXPECT_EQ(ReadWhole("$ld.txt"), "new\x1a");

  events.events.clear();
  protocol->SetWriteFailAction(wfWriteFail);
  StartReceive("old.txt");
  EXPECT_EQ(events.FinishCode(), ecCantWriteFile);
  EXPECT_EQ(ReadWhole("old.txt"), "keep");
}

TEST_F(AsciiReceiveTest, ARefusedFileEndsTheReceive) {
  protocol->OnProtocolAccept = [](TMroCustomProtocol*, bool& accept, std::string&) { accept = false; };
  StartReceive("refused.txt");
  EXPECT_EQ(events.FinishCode(), ecFileRejected);
  EXPECT_FALSE(fs::exists("refused.txt"));
}


TEST_F(AsciiTest, DispatchLogNamesTheStatesAndTheFinishCode) {
  port->SetLogging(TTraceLogState::tlOn);
  Send("log me");
  RunToEnd();
  ASSERT_EQ(events.FinishCode(), 0);
  ASSERT_EQ(device->WriteLog("MERO.LOG", false, false, false), 0);
  const std::string log = ReadWhole("MERO.LOG");
  for (const char* state : {"taInitial", "taGetBlock", "taSendBlock", "taFinDrain", "taFinished"})
    EXPECT_NE(log.find(state), std::string::npos) << state;
  EXPECT_NE(log.find("ErrorCode:0"), std::string::npos);
}

}  // namespace
}  // namespace zav::test
