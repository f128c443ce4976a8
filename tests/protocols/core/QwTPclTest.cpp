// The engine core without a port: block checks, the file list of a mask,
// buffered reading and writing, the status nesting, the finish codes, names.
#include "protocols/core/QwTPcl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "protocols/ascii/QwAscii.h"
#include "protocols/bplus/QwBPlus.h"
#include "protocols/kermit/QwKermit.h"
#include "protocols/xymodem/QwXmodem.h"
#include "protocols/xymodem/QwYmodem.h"
#include "protocols/zmodem/QwZmodem.h"
#include "serial/QxExcept.h"
#include "serial/QxSrMgr.h"
#include "tests/protocols/ProtocolTestSupport.h"

namespace zav::test {
namespace {

// A record whose reports go to a window of this thread and are recorded.
class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(InitProtocolData(record, nullptr, 0), 0);
    window = CreateMessageWindow([this](HWND, UINT msg, WPARAM w, LPARAM) -> LRESULT {
      if (msg == MsgProtocolStatus) reports.push_back("status " + std::to_string(w));
      if (msg == MsgProtocolError) reports.push_back("error " + std::to_string(int16_t(uint16_t(w))));
      if (msg == MsgProtocolFinish) reports.push_back("finish " + std::to_string(int16_t(uint16_t(w))));
      return 0;
    });
    SetMessageWindow(*record, window);
  }
  void TearDown() override {
    DrainQueue();
    DestroyMessageWindow(window);
    DoneProtocolData(record);
  }
  TransferRecord& R() { return *record; }
  std::string Next() {
    char name[256];
    return NextFileFromMask(R(), name) ? std::string(name) : std::string("<none>");
  }
  // Reads `count` bytes at `offset`; returns them, `last` tells the end.
  std::string Read(uint32_t offset, uint32_t count, bool& last) {
    std::vector<uint8_t> block(count + 1);
    R().FileOffset = offset;
    last = R().ReadBlockHook(R(), block.data(), count);
    return std::string(block.begin(), block.begin() + count);
  }

  ScratchDir scratch;
  std::unique_ptr<TransferRecord> record;
  HWND window = 0;
  std::vector<std::string> reports;
};

TEST(BlockChecks, KnownCheckValues) {
  const std::string data = "123456789";
  uint16_t crc16 = 0;
  for (char c : data) crc16 = UpdateCrc16(uint8_t(c), crc16);
  crc16 = UpdateCrc16(0, UpdateCrc16(0, crc16));
  EXPECT_EQ(crc16, 0x31C3);
  uint32_t crc32 = 0xFFFFFFFFu;
  for (char c : data) crc32 = UpdateCrc32(uint8_t(c), crc32);
  EXPECT_EQ(~crc32, 0xCBF43926u);
  uint16_t kermit = 0;
  for (char c : data) kermit = UpdateCrcKermit(uint8_t(c), kermit);
  EXPECT_EQ(kermit, 0x2189);
  uint8_t sum = 0;
  for (char c : data) sum = UpdateChecksum(uint8_t(c), sum);
  EXPECT_EQ(sum, uint8_t(0x1DD));
}

TEST(Helpers, OctalTextBothWays) {
  EXPECT_EQ(OctalStr(0), "000000000000");
  EXPECT_EQ(OctalStr(511), "000000000777");
  EXPECT_EQ(OctalStr2Long("  000777 \n"), 511u);
  EXPECT_EQ(OctalStr2Long("778"), 0u);
  EXPECT_EQ(OctalStr2Long("123456701234"), 0u);  // 12 digits
  EXPECT_EQ(OctalStr2Long("37777777777"), UINT32_MAX);
  EXPECT_EQ(OctalStr2Long("77777777777"), 0u);  // 33 bits
  EXPECT_EQ(OctalValue("77777777777"), 0x1FFFFFFFFull);  // a date keeps all 33
  EXPECT_EQ(OctalValue("123456701234"), 0u);
  EXPECT_EQ(DosDateToUnix(PackUnixDate(1700000000)), 1700000000);
}

// Retry(limit) holds `limit` failures and refuses the next; a reset (to a
// count already spent, too) starts the budget again.
TEST(Helpers, RetryCounterAllowsExactlyItsLimit) {
  for (uint32_t limit : {0u, 1u, 3u, 10u}) {
    SCOPED_TRACE(limit);
    TRetryCounter c;
    for (uint32_t i = 0; i < limit; ++i) {
      EXPECT_FALSE(c.Exceeds(limit));
      EXPECT_TRUE(c.Retry(limit));
    }
    EXPECT_FALSE(c.Retry(limit));
    EXPECT_TRUE(c.Exceeds(limit));
    EXPECT_EQ(c.Count(), limit + 1);
    c.Reset(1);
    EXPECT_EQ(c.Retry(limit), limit >= 2);
    c.Reset();
    EXPECT_EQ(c.Retry(limit), limit >= 1);
  }
}

TEST(Helpers, StatusTextOnlyForStatusCodes) {
  EXPECT_EQ(StatusText(4714), "At end of file");
  EXPECT_EQ(StatusText(4713), "Cancel requested");
  EXPECT_TRUE(StatusText(4724).empty());
  EXPECT_TRUE(StatusText(0).empty());
}

TEST_F(CoreTest, MaskOfOneFileYieldsItOnceThenEndsWithoutError) {
  WriteWhole("one.txt", "1");
  SetBufferText(R().FileMask, "one.txt");
  EXPECT_EQ(Next(), "one.txt");
  EXPECT_EQ(Next(), "<none>");
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(R().ProtocolError, 0);
}

TEST_F(CoreTest, MaskErrors) {
  SetBufferText(R().FileMask, "");
  EXPECT_EQ(Next(), "<none>");
  SetBufferText(R().FileMask, "missing/*.txt");
  R().FindFirstPending = true;
  EXPECT_EQ(Next(), "<none>");
  SetBufferText(R().FileMask, "*.none");
  R().FindFirstPending = true;
  EXPECT_EQ(Next(), "<none>");
  EXPECT_EQ(reports, (std::vector<std::string>{"error -6002", "error -6004", "error -6003"}));
  EXPECT_EQ(R().ProtocolError, ecNoMatchingFiles);
}

TEST_F(CoreTest, MaskWithADirectoryKeepsItAndSkipsSubdirectories) {
  fs::create_directory("sub");
  fs::create_directory("sub/d.txt");
  WriteWhole("sub/b.txt", "b");
  WriteWhole("sub/a.txt", "a");
  SetBufferText(R().FileMask, "sub/*.txt");
  EXPECT_EQ(Next(), "sub/a.txt");
  EXPECT_EQ(Next(), "sub/b.txt");
  EXPECT_EQ(Next(), "<none>");
}

TEST_F(CoreTest, ReadingExactMultipleEmptyAndPastTheEnd) {
  WriteWhole("six.bin", "abcdef");
  SetBufferText(R().PathName, "six.bin");
  R().PrepareReadingHook(R());
  ASSERT_TRUE(R().FileOpen);
  EXPECT_EQ(R().SrcFileLen, 6u);
  bool last = false;
  EXPECT_EQ(Read(0, 3, last), "abc");
  EXPECT_FALSE(last);
  EXPECT_EQ(Read(3, 3, last), "def");  // reaches the end with the full count
  EXPECT_TRUE(last);
  EXPECT_EQ(Read(4, 10, last), "ef");  // never the fill bytes
  EXPECT_TRUE(last);
  EXPECT_EQ(Read(1, 2, last), "bc");  // a step back
  EXPECT_FALSE(last);
  EXPECT_EQ(Read(6, 3, last), "");
  EXPECT_TRUE(last);
  R().FinishReadingHook(R());
  EXPECT_FALSE(R().FileOpen);

  WriteWhole("empty.bin", "");
  SetBufferText(R().PathName, "empty.bin");
  R().PrepareReadingHook(R());
  EXPECT_EQ(Read(0, 60, last), "");
  EXPECT_TRUE(last);
  R().FinishReadingHook(R());
}

TEST_F(CoreTest, ReadingAcrossTheWindowAndBack) {
  std::string big;
  for (int i = 0; i < 20000; ++i) big += char('A' + i % 23);
  WriteWhole("big.bin", big);
  SetBufferText(R().PathName, "big.bin");
  R().PrepareReadingHook(R());
  bool last = false;
  std::string all;
  for (uint32_t off = 0; off < big.size(); off += 1000) all += Read(off, 1000, last);
  EXPECT_EQ(all, big);
  EXPECT_TRUE(last);
  EXPECT_EQ(Read(100, 50, last), big.substr(100, 50));  // back before the window
  EXPECT_EQ(Read(8190, 10, last), big.substr(8190, 10));
  R().FinishReadingHook(R());

  // A window that holds the end, then a block that runs past the window (as
  // after a resend in smaller blocks): the end stays where the file ends.
  const std::string tail = big.substr(0, 8000);
  WriteWhole("tail.bin", tail);
  SetBufferText(R().PathName, "tail.bin");
  R().PrepareReadingHook(R());
  EXPECT_EQ(Read(0, 1024, last), tail.substr(0, 1024));
  EXPECT_EQ(Read(7680, 1024, last), tail.substr(7680));
  EXPECT_TRUE(last);
  R().FinishReadingHook(R());
}

TEST_F(CoreTest, ReadingAMissingOrUnnamedFileFails) {
  R().PrepareReadingHook(R());
  EXPECT_EQ(R().ProtocolError, ecFileNotFound);
  SetBufferText(R().PathName, "nope.txt");
  R().PrepareReadingHook(R());
  EXPECT_EQ(R().ProtocolError, -2);
  EXPECT_FALSE(R().FileOpen);
}

TEST_F(CoreTest, WritingBuffersStepsBackAndFlushesAtTheEnd) {
  SetBufferText(R().PathName, "out.bin");
  R().PrepareWritingHook(R());
  ASSERT_TRUE(R().FileOpen);
  std::string expect;
  for (int i = 0; i < 30; ++i) {
    std::string block(1000, char('a' + i % 26));
    R().FileOffset = uint32_t(i) * 1000;
    ASSERT_FALSE(R().WriteBlockHook(R(), reinterpret_cast<const uint8_t*>(block.data()), 1000));
    R().FileOffset += 1000;
    expect += block;
  }
  // A resend of block 29 replaces it.
  std::string again(1000, '#');
  R().FileOffset = 29000;
  ASSERT_FALSE(R().WriteBlockHook(R(), reinterpret_cast<const uint8_t*>(again.data()), 1000));
  R().FileOffset = 30000;
  expect.replace(29000, 1000, again);
  R().FinishWritingHook(R());
  EXPECT_FALSE(R().FileOpen);
  EXPECT_EQ(ReadWhole("out.bin"), expect);
  EXPECT_EQ(R().SrcFileLen, 30000u);
  const uint8_t b = 1;
  EXPECT_TRUE(R().WriteBlockHook(R(), &b, 1));
  EXPECT_EQ(R().ProtocolError, ecNotOpen);
}

TEST_F(CoreTest, WriteFailActions) {
  fs::create_directory("in");
  WriteWhole("in/FILE.TXT", "old");
  SetBufferText(R().PathName, "in/FILE.TXT");
  R().WriteFailAction = wfWriteRename;
  R().PrepareWritingHook(R());
  EXPECT_EQ(BufferText(R().PathName), "in/$ILE.TXT");
  R().FinishWritingHook(R());
  EXPECT_TRUE(fs::exists("in/$ILE.TXT"));
  EXPECT_EQ(ReadWhole("in/FILE.TXT"), "old");

  SetBufferText(R().PathName, "in/FILE.TXT");
  R().WriteFailAction = wfWriteFail;
  R().PrepareWritingHook(R());
  EXPECT_FALSE(R().FileOpen);
  EXPECT_EQ(R().ProtocolStatus, psCantWriteFile);
  ProtocolFinish(R());
  EXPECT_EQ(R().ProtocolError, ecCantWriteFile);
  EXPECT_EQ(ReadWhole("in/FILE.TXT"), "old");
}

TEST_F(CoreTest, StatusOptionsNestFirstAndLast) {
  ShowFirstStatus(R());
  ShowFirstStatus(R());
  ShowLastStatus(R());
  ShowLastStatus(R());
  ShowLastStatus(R());  // nothing more to close
  EXPECT_EQ(reports, (std::vector<std::string>{"status 1", "status 0", "status 0", "status 2"}));
}

TEST_F(CoreTest, FinishDerivesTheCodeFromTheStatusAndPostsIt) {
  const std::pair<int32_t, int32_t> cases[] = {{psFileRejected, -6011}, {psCantWriteFile, -6012},
                                               {psTimeout, -6006},      {psProtocolError, -6007},
                                               {psCancelRequested, -6005}, {psSequenceError, -6009},
                                               {psAbortNoCarrier, -6014}, {psAbort, -6016},
                                               {psEndFile, 0}};
  for (auto [status, code] : cases) {
    R().ProtocolError = 0;
    R().ProtocolStatus = status;
    ProtocolFinish(R());
    EXPECT_EQ(R().ProtocolError, code) << status;
  }
  EXPECT_TRUE(reports.empty());  // posted, not sent
  DrainQueue();
  EXPECT_EQ(reports.size(), std::size(cases));
  EXPECT_EQ(reports.back(), "finish 0");
  // An error already set wins over the status.
  R().ProtocolError = -101;
  R().ProtocolStatus = psTimeout;
  ProtocolFinish(R());
  EXPECT_EQ(R().ProtocolError, -101);
}

// The accept question: a refusal or an unusable name keeps PathName; an
// answer with a name replaces it, an empty one keeps it. An unusable name is
// never put to the application.
TEST_F(CoreTest, AcceptQuestionTakesTheAnswersName) {
  static int asked;
  static const char* answer;
  static bool accept;
  R().AcceptFileHook = [](TransferRecord&, char* name) {
    ++asked;
    std::strcpy(name, answer);
    return accept;
  };
  const struct {
    bool usable, accept;
    const char* answer;
    bool result;
    const char* path;
    int asked;
  } cases[] = {
      {true, true, "", true, "in.txt", 1},          {true, true, "other.txt", true, "other.txt", 1},
      {true, false, "other.txt", false, "in.txt", 1}, {false, true, "other.txt", false, "in.txt", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    SetBufferText(R().PathName, "in.txt");
    asked = 0;
    answer = c.answer;
    accept = c.accept;
    EXPECT_EQ(AskAccept(R(), c.usable), c.result);
    EXPECT_EQ(BufferText(R().PathName), c.path);
    EXPECT_EQ(asked, c.asked);
  }
}

// A transmit without a first file ends at once: nothing failed is code 0
// (finish posted), a failure keeps its code; the engine's end runs first.
TEST_F(CoreTest, NoFirstFileToSendEndsTheTransfer) {
  R().NextFileHook = [](TransferRecord&, char*) { return false; };
  for (int32_t error : {0, -101}) {
    SCOPED_TRACE(error);
    reports.clear();
    SetBufferText(R().PathName, "stale");
    R().ProtocolError = error;
    ShowFirstStatus(R());
    bool ended = false;
    EXPECT_FALSE(FirstFileToSend(R(), [&] { ended = true; }));
    EXPECT_TRUE(ended);
    EXPECT_EQ(BufferText(R().PathName), "");
    EXPECT_EQ(R().ProtocolError, error);
    DrainQueue();
    EXPECT_EQ(reports.back(), error == 0 ? "finish 0" : "status 2");
  }
  R().NextFileHook = [](TransferRecord&, char* name) {
    std::strcpy(name, "a.txt");
    return true;
  };
  EXPECT_TRUE(FirstFileToSend(R(), [] { FAIL() << "no end with a file"; }));
  EXPECT_EQ(BufferText(R().PathName), "a.txt");
}

TEST_F(CoreTest, StartOnAClosedPortFinishesWithMinus103) {
  StartTransfer(R(), ptAscii, true, EngineOf(ptAscii).Handler[1], EngineOf(ptAscii).Prepare[1]);
  DrainQueue();
  EXPECT_EQ(reports, (std::vector<std::string>{"finish -103"}));
}

TEST_F(CoreTest, ReceivedNamesStayInTheDestinationDirectory) {
  SetBufferText(R().DestinationDirectory, "/srv/in");
  std::string out;
  ASSERT_TRUE(BuildReceivePath(R(), "../../etc/passwd", false, out));
  EXPECT_EQ(out, "/srv/in/passwd");
  ASSERT_TRUE(BuildReceivePath(R(), "/abs/dir/../x.txt", true, out));
  EXPECT_EQ(out, "/srv/in/abs/dir/x.txt");
  ASSERT_TRUE(BuildReceivePath(R(), "C:\\DOS\\FILE.TXT", false, out));
  EXPECT_EQ(out, "/srv/in/FILE.TXT");
  EXPECT_FALSE(BuildReceivePath(R(), "../..", true, out));
  EXPECT_FALSE(BuildReceivePath(R(), "", false, out));
}

TEST_F(CoreTest, UpcaseKeepsDirectoriesAndNamesThatWouldNotOpen) {
  fs::create_directory("lower");
  WriteWhole("lower/name.txt", "x");
  SetBufferText(R().PathName, "lower/name.txt");
  UpcasePathName(R(), true);
  EXPECT_EQ(BufferText(R().PathName), "lower/name.txt");
  WriteWhole("lower/NAME.TXT", "y");
  UpcasePathName(R(), true);
  EXPECT_EQ(BufferText(R().PathName), "lower/NAME.TXT");
  SetBufferText(R().PathName, "lower/new.txt");
  UpcasePathName(R(), false);
  EXPECT_EQ(BufferText(R().PathName), "lower/NEW.TXT");
}

// A trigger the first pass arms can fire on the dispatcher thread before the
// start returns. The handler is called with it all the same (here the
// dispatcher's pass runs inside the first pass; on the dispatcher thread the
// call waits for the record's lock).
TMemoryProtocolRig* gRig = nullptr;
std::vector<std::string> gCalls;
void ArmAndPassHandler(UINT msg, WPARAM wParam, LPARAM) {
  TransferRecord& r = gRig->Record();
  if (msg == 0) {
    gCalls.push_back("first pass");
    r.Dispatcher->ArmStatusTrigger(r.OutBuffUsedTrigger, 0, true);  // the ring is empty: it fires
    gRig->device->StatusAndTimerPass();
  } else if (msg == MsgTriggerStatus && int32_t(wParam) == r.OutBuffUsedTrigger) {
    gCalls.push_back("output drained");
    ProtocolFinish(r);
  }
}

TEST(StartTransferTest, ATriggerHitBeforeTheStartReturnsReachesTheHandler) {
  TMemoryProtocolRig rig("start");
  gRig = &rig;
  gCalls.clear();
  StartTransfer(rig.Record(), ptAscii, true, ArmAndPassHandler, nullptr);
  DrainQueue();
  EXPECT_EQ(gCalls, (std::vector<std::string>{"first pass", "output drained"}));
  EXPECT_TRUE(rig.events.Finished());
  EXPECT_EQ(rig.Record().Dispatcher, nullptr);
  gRig = nullptr;
}

// A handler call that never ends (held here past the limit) keeps its record
// and the area a protocol switch took: what the call still uses is not freed
// under it (AddressSanitizer sees any use after free), the fault is reported,
// and both are freed once the call has ended.
TEST(HandlerCalls, WhatACallStillHoldsIsKeptUntilItEnds) {
  TMemoryDispatcher device;
  ASSERT_EQ(device.Open(), 0);
  std::vector<std::string> reported;
  RegisterErrorReporter([&](const std::exception& e) { reported.push_back(e.what()); });
  std::unique_ptr<TransferRecord> record;
  ASSERT_EQ(InitProtocolData(record, nullptr, 0), 0);
  ASSERT_EQ(InitZmodem(*record), 0);
  ASSERT_EQ(device.SetDataSlot(1, record.get()), 0);
  const size_t keptBefore = KeptForHandlerCalls();
  {
    THandlerCall call(LPARAM(uint32_t(device.Handle()) << 16));
    ASSERT_EQ(call.Record(), record.get());
    ASSERT_EQ(device.SetDataSlot(1, nullptr), 0);
    DropArea(*record, std::chrono::milliseconds(20));
    EXPECT_EQ(record->Area, nullptr);
    DoneProtocolData(record, std::chrono::milliseconds(20));
    EXPECT_EQ(record, nullptr);
    EXPECT_EQ(KeptForHandlerCalls(), keptBefore + 2);
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_NE(reported[0].find("the protocol area is kept rather than freed under it"), std::string::npos);
    EXPECT_NE(reported[1].find("the transfer record is kept rather than freed under it"), std::string::npos);
    // The late call still finds its record whole.
    call.Record()->ProtocolStatus = psCancelRequested;
    EXPECT_EQ(call.Record()->HandlerCalls.load(), 1);
  }
  DoneProtocolData(record);  // nothing to free of its own: sweeps what the ended call held
  EXPECT_EQ(KeptForHandlerCalls(), keptBefore);
  RegisterErrorReporter(nullptr);
  device.ShutdownPort();
}

// --- The list of engines ---------------------------------------------------------------------

// Each engine's states take a run of dispatch-log names from its base: the
// first and last names are the enum's ends, and no run reaches into the next.
// Each engine sets its own figures when it takes the record, keeps the others
// (7 here), installs the default file hooks, and lets go only of its own area.
TEST(Engines, InitSetsTheEnginesFiguresAndDoneDropsOnlyItsOwnArea) {
  constexpr int32_t k = 7;
  struct Row {
    const char* name;
    std::function<int32_t(TransferRecord&)> init;
    std::function<void(TransferRecord&)> done;
    TBlockCheckMethod check;
    uint32_t blockSize;
    int32_t receiveTimeout, handshakeWait, finishWait;
    uint32_t overhead, turnDelay;
  };
  for (const Row& row : std::vector<Row>{
           {"ascii", InitAscii, DoneAscii, bcmNone, 60, 364, k, k, k, k},
           {"bplus", InitBPlus, DoneBPlus, bcmCrc16, 1024, k, k, k, k, k},
           {"zmodem", InitZmodem, DoneZmodem, bcmCrc32, 1024, 364, 1092, 364, 20, 0},
           {"xmodem", [](TransferRecord& r) { return InitXmodem(r, ptXmodem); }, nullptr, bcmChecksum, 128, k, k, 0,
            5, 1000},
           {"xmodem-1kg", [](TransferRecord& r) { return InitXmodem(r, ptXmodem1KG); }, nullptr, bcmCrc16, 1024, k, k,
            0, 5, 0},
           {"ymodem", [](TransferRecord& r) { return InitYmodem(r, ptYmodem); }, DoneYmodem, bcmCrc16, 1024, k, k, 0,
            5, 1000}}) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<TransferRecord> record;
    ASSERT_EQ(InitProtocolData(record, nullptr, 0), 0);
    TransferRecord& r = *record;
    r.CheckType = bcmCrcK;
    r.BlockSize = r.Overhead = r.TurnDelay = k;
    r.ReceiveTimeout = r.HandshakeWait = r.FinishWait = k;
    r.ReadBlockHook = nullptr;
    ASSERT_EQ(row.init(r), 0);
    EXPECT_EQ(r.CheckType, row.check);
    EXPECT_EQ(r.BlockSize, row.blockSize);
    EXPECT_EQ(r.ReceiveTimeout, row.receiveTimeout);
    EXPECT_EQ(r.HandshakeWait, row.handshakeWait);
    EXPECT_EQ(r.FinishWait, row.finishWait);
    EXPECT_EQ(r.Overhead, row.overhead);
    EXPECT_EQ(r.TurnDelay, row.turnDelay);
    EXPECT_NE(r.ReadBlockHook, nullptr);
    ASSERT_NE(r.Area, nullptr);
    // Another engine's done leaves the area (and the record's options) alone.
    r.TransferOptions |= tfKermitLongPackets;
    DoneKermit(r);
    EXPECT_NE(r.Area, nullptr);
    EXPECT_NE(r.TransferOptions & tfKermitLongPackets, 0u);
    if (row.done) {
      row.done(r);
      EXPECT_EQ(r.Area, nullptr);
    }
    DoneProtocolData(record);
  }
}

TEST(Engines, StateNamesSpanEachEnginesStatesInTheDispatchLog) {
  InitStringResources();
  const struct {
    TProtocolType type;
    int first, last;
    const char *firstName, *lastName;
    uint8_t nextBase;
  } engines[] = {
      {ptXmodem, txInitial, rxDone, "txInitial", "rxDone", skYmodemStates},
      {ptYmodem, tyInitial, ryDone, "tyInitial", "ryDone", skZmodemStates},
      {ptZmodem, tzInitial, rzDone, "tzInitial", "rzDone", skKermitStates},
      {ptKermit, tkInit, rkDone, "tkInit", "rkDone", skAsciiStates},
      {ptAscii, taInitial, raDone, "taInitial", "raDone", skBPlusStates},
      {ptBPlus, bpInitial, bpDone, "bpInitial", "bpDone", 252},
  };
  for (const auto& e : engines) {
    SCOPED_TRACE(EngineOf(e.type).Name);
    EXPECT_EQ(EngineStateName(e.type, e.first), e.firstName);
    EXPECT_EQ(EngineStateName(e.type, e.last), e.lastName);
    EXPECT_LT(EngineOf(e.type).StateBase + e.last, e.nextBase);
  }
  EXPECT_EQ(EngineStateName(ptKermit, tkDone), "tkDone");
  EXPECT_EQ(EngineStateName(ptKermit, rkInit), "rkInit");
}

// Every protocol type has an engine both ways with its own name and log
// kind; none and values out of range have none.
TEST(Engines, EveryTypeHasItsEngineAndUnknownTypesHaveNone) {
  const struct {
    TProtocolType type;
    const char* name;
    uint8_t logKind;
    TSettingsGroup settings;
  } types[] = {
      {ptXmodem, "Xmodem", lkXmodem, TSettingsGroup::XYmodem},
      {ptXmodemCRC, "XmodemCRC", lkXmodem, TSettingsGroup::XYmodem},
      {ptXmodem1K, "Xmodem1K", lkXmodem, TSettingsGroup::XYmodem},
      {ptXmodem1KG, "Xmodem1KG", lkXmodem, TSettingsGroup::XYmodem},
      {ptYmodem, "Ymodem", lkYmodem, TSettingsGroup::XYmodem},
      {ptYmodemG, "YmodemG", lkYmodem, TSettingsGroup::XYmodem},
      {ptZmodem, "Zmodem", lkZmodem, TSettingsGroup::Zmodem},
      {ptKermit, "Kermit", lkKermit, TSettingsGroup::Kermit},
      {ptAscii, "Ascii", lkAscii, TSettingsGroup::Ascii},
      {ptBPlus, "B+", lkBPlus, TSettingsGroup::None},
  };
  for (const auto& t : types) {
    const TEngine& e = EngineOf(t.type);
    SCOPED_TRACE(t.name);
    EXPECT_STREQ(e.Name, t.name);
    EXPECT_EQ(e.LogKind, t.logKind);
    EXPECT_EQ(e.Settings, t.settings);
    EXPECT_NE(e.Init, nullptr);
    for (int direction : {0, 1}) {
      EXPECT_NE(e.Prepare[direction], nullptr);
      EXPECT_NE(e.Handler[direction], nullptr);
    }
  }
  for (int type : {int(ptNoProtocol), -1, kProtocolTypeCount, 255}) {
    const TEngine& e = EngineOf(type);
    EXPECT_STREQ(e.Name, "None") << type;
    EXPECT_EQ(e.Handler[0], nullptr) << type;
    EXPECT_EQ(e.Prepare[1], nullptr) << type;
  }
}

}  // namespace
}  // namespace zav::test
