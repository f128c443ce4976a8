// The protocol component: construction and lookups, the protocol switch with
// the kept settings, property rules, the start failures as events, the
// reports of the message window, copying; and the history log file.
#include "protocols/component/QxProtcl.h"

#include <gtest/gtest.h>

#include <cstring>

#include "serial/QxExcept.h"
#include "tests/protocols/ProtocolTestSupport.h"

namespace zav::test {
namespace {

// A status window that only records its refreshes.
class RecordingStatus : public TMroAbstractStatus {
 public:
  explicit RecordingStatus(TComponent* owner) : TMroAbstractStatus(owner) { InitDisplay(); }
  ~RecordingStatus() override { ReleaseDisplay(); }
  void RefreshDisplay(bool first, bool last) override {
    refreshes.push_back(std::string(first ? "F" : "-") + (last ? "L" : "-"));
  }
  std::vector<std::string> refreshes;
  std::string shownCaption;

 protected:
  void BuildDisplay() override { built = true; }
  void ReleaseDisplay() override { built = false; }
  bool HasDisplay() const override { return built; }
  void ApplyPosition(TPosition) override {}
  void ApplyCtl3D(bool) override {}
  void ApplyVisible(bool) override {}
  void ApplyCaption(const std::string& v) override { shownCaption = v; }
  TPosition DisplayPosition() const override { return TPosition::poScreenCenter; }
  bool DisplayCtl3D() const override { return true; }
  bool DisplayVisible() const override { return false; }
  std::string DisplayCaption() const override { return "form"; }

 private:
  bool built = false;
};

TEST(ProtocolComponent, DefaultsAndLookupsInTheOwner) {
  TComponent form(nullptr);
  auto* port = new TMroComPort(&form);
  TComponent* panel = new TComponent(&form);
  auto* status = new RecordingStatus(panel);  // found below a component
  auto* log = new TMroProtocolLog(&form);
  TMroProtocol p(&form);
  EXPECT_EQ(p.ComPort(), port);
  EXPECT_EQ(p.StatusDisplay(), status);
  EXPECT_EQ(status->Protocol(), &p);
  EXPECT_EQ(p.ProtocolLog(), log);
  EXPECT_EQ(log->Protocol(), &p);
  EXPECT_EQ(status->Caption(), "Protocol Status");
  EXPECT_EQ(status->shownCaption, "Protocol Status");
  EXPECT_EQ(status->Position(), TPosition::poScreenCenter);
  EXPECT_EQ(p.ProtocolType(), ptNoProtocol);
  EXPECT_EQ(p.FileMask(), "*.*");
  EXPECT_EQ(p.HandshakeRetry(), 10u);
  EXPECT_EQ(p.HandshakeWait(), 182);
  EXPECT_EQ(p.TransmitTimeout(), 1092);
  EXPECT_EQ(p.FinishWait(), 364);
  EXPECT_EQ(p.StatusInterval(), 10);
  EXPECT_EQ(p.WriteFailAction(), wfWriteRename);
  EXPECT_TRUE(p.UpcaseFileNames());
  EXPECT_EQ(p.AsciiEOFTimeout(), 364);
  EXPECT_EQ(p.KermitMaxLen(), 80);
  EXPECT_EQ(p.KermitCtlPrefix(), '#');
  EXPECT_EQ(p.ZmodemFileOption(), zfoWriteNewer);
  EXPECT_EQ(p.Version(), "v3.04");
  EXPECT_NE(p.MessageWindow(), 0u);
  // A second component finds no free log or status.
  TMroProtocol q(&form);
  EXPECT_EQ(q.ProtocolLog(), nullptr);
  EXPECT_EQ(q.StatusDisplay(), nullptr);
}

TEST(ProtocolComponent, RemovedCompanionsAreForgottenAndNewOnesTaken) {
  TComponent form(nullptr);
  TMroProtocol p(&form);
  EXPECT_EQ(p.ComPort(), nullptr);
  auto* port = CreateComponent<TMroComPort>(&form);
  EXPECT_EQ(p.ComPort(), port);
  auto* log = CreateComponent<TMroProtocolLog>(&form);
  EXPECT_EQ(p.ProtocolLog(), log);
  EXPECT_EQ(log->Protocol(), &p);
  delete log;
  EXPECT_EQ(p.ProtocolLog(), nullptr);
  delete port;
  EXPECT_EQ(p.ComPort(), nullptr);
}

TEST(ProtocolComponent, SwitchKeepsSettingsOfOtherProtocolsUntilTheirTurn) {
  TComponent form(nullptr);
  TMroProtocol p(&form);
  p.SetProtocolType(ptZmodem);
  p.SetAsciiCharDelay(120);
  p.SetAsciiLineDelay(700);
  p.SetAsciiEOLChar('\n');
  p.SetAsciiCRTranslation(aetStrip);
  p.SetAsciiEOFTimeout(99);
  EXPECT_EQ(AsciiArea(p.Record()), nullptr);
  EXPECT_EQ(p.AsciiCharDelay(), 120u);
  p.SetProtocolType(ptAscii);
  TAsciiArea* a = AsciiArea(p.Record());
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->AsciiCharDelay, 120u);
  EXPECT_EQ(a->CharDelayTicks, 3u);
  EXPECT_EQ(a->AsciiLineDelay, 700u);
  EXPECT_EQ(a->AsciiEOLChar, '\n');
  EXPECT_EQ(a->AsciiCRTranslation, aetStrip);
  EXPECT_EQ(p.Record().ReceiveTimeout, 99);
  EXPECT_EQ(p.Record().BlockSize, 60u);
  // Setting the same type again does nothing (the area stays the same one).
  p.SetProtocolType(ptAscii);
  EXPECT_EQ(AsciiArea(p.Record()), a);
  // A change made in the record is what the getter reports.
  SetAsciiDelays(p.Record(), 5, 6);
  EXPECT_EQ(p.AsciiCharDelay(), 5u);
  p.SetProtocolType(ptNoProtocol);
  EXPECT_EQ(p.Record().Area, nullptr);
  EXPECT_EQ(p.AsciiLineDelay(), 6u);
}

TEST(ProtocolComponent, PropertyRules) {
  TComponent form(nullptr);
  TMroProtocol p(&form);
  p.SetFileMask(std::string(300, 'm'));
  EXPECT_EQ(p.FileMask(), std::string(255, 'm'));
  p.SetDestinationDirectory("/srv/in");
  p.SetFileName("plain.txt");
  EXPECT_EQ(p.FileName(), "/srv/in/plain.txt");
  p.SetFileName("other/dir.txt");
  EXPECT_EQ(p.FileName(), "other/dir.txt");
  p.SetDestinationDirectory("");
  p.SetFileName("here.txt");
  EXPECT_EQ(p.FileName(), "here.txt");  // never "/here.txt"
  p.SetFileName(std::string(400, 'n'));
  EXPECT_EQ(p.FileName().size(), 255u);

  p.SetProtocolType(ptXmodem);
  p.SetBlockCheckMethod(bcmCrc16);
  EXPECT_EQ(p.ProtocolType(), ptXmodemCRC);
  p.SetBlockCheckMethod(bcmChecksum);
  EXPECT_EQ(p.ProtocolType(), ptXmodem);
  p.SetProtocolType(ptZmodem);
  p.SetBlockCheckMethod(bcmCrc32);
  EXPECT_EQ(p.BlockCheckMethod(), bcmCrc32);
  p.SetBlockCheckMethod(bcmChecksum);
  EXPECT_EQ(p.BlockCheckMethod(), bcmCrc32);
  p.SetProtocolType(ptKermit);
  p.SetBlockCheckMethod(bcmCrcK);
  EXPECT_EQ(p.BlockCheckMethod(), bcmCrcK);

  p.SetAsciiSuppressCtrlZ(true);
  p.SetAbortNoCarrier(true);
  EXPECT_EQ(p.Record().TransferOptions, tfAsciiSuppressCtrlZ | tfAbortNoCarrier);
  p.SetAbortNoCarrier(false);
  EXPECT_EQ(p.Record().TransferOptions, tfAsciiSuppressCtrlZ);
}

TEST(ProtocolComponent, BeginTransmitWithoutProtocolOrPort) {
  TComponent form(nullptr);
  TMroProtocol p(&form);
  EXPECT_NO_THROW(p.BeginTransmit());
  p.SetProtocolType(ptAscii);
  try {
    p.BeginTransmit();
    FAIL();
  } catch (const EPortNotAssigned& e) {
    EXPECT_EQ(e.ErrorCode, ecPortNotAssigned);
  }
}

TEST(ProtocolComponent, AClosedPortGivesOnlyTheFinishWithMinus103) {
  ScratchDir scratch;
  TComponent form(nullptr);
  new TMroComPort(&form);
  TMroProtocol p(&form);
  EventLog events;
  events.Attach(p);
  WriteWhole("x.txt", "x");
  p.SetProtocolType(ptAscii);
  p.SetFileMask("x.txt");
  p.BeginTransmit();
  DrainQueue();
  EXPECT_EQ(events.events, (std::vector<std::string>{"finish -103"}));
}

class ComponentOnMemoryPort : public MemoryProtocolTest {};

TEST_F(ComponentOnMemoryPort, ReportsReachStatusDisplayLogAndEvents) {
  auto* status = new RecordingStatus(&form);
  protocol->SetStatusDisplay(status);
  auto* log = new TMroProtocolLog(&form);
  protocol->SetProtocolLog(log);
  TMroProtocolLog::DateTimeText = [] { return std::string("06/12/2026 13:00:00"); };
  WriteWhole("t.txt", "hi");
  protocol->SetProtocolType(ptAscii);
  protocol->SetUpcaseFileNames(false);
  StartAscii("t.txt");
  for (int i = 0; i < 5 && !events.Finished(); ++i) {
    device->Wire();
    Advance(1);
  }
  ASSERT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(status->refreshes.front(), "F-");
  EXPECT_EQ(status->refreshes.back(), "-L");
  EXPECT_EQ(ReadWhole("MERO.HIS").substr(0, 54), "Ascii transmit started on  06/12/2026 13:00:00 : t.txt");
  TMroProtocolLog::DateTimeText = nullptr;
}

TEST_F(ComponentOnMemoryPort, NextFileEventReplacesTheMaskSearch) {
  WriteWhole("chosen.txt", "chosen");
  protocol->OnProtocolNextFile = [](TMroCustomProtocol*, std::string& name) { name = "chosen.txt"; };
  protocol->SetProtocolType(ptAscii);
  protocol->SetUpcaseFileNames(false);
  StartAscii("does-not-matter*");
  for (int i = 0; i < 5 && !events.Finished(); ++i) {
    device->Wire();
    Advance(1);
  }
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(device->Sent(), "chosen");

  // An empty answer ends the transfer with nothing sent and no error.
  events.events.clear();
  protocol->OnProtocolNextFile = [](TMroCustomProtocol*, std::string& name) { name.clear(); };
  StartAscii("x");
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(events.Count("log 4"), 0u);
}

TEST_F(ComponentOnMemoryPort, WithNoProtocolChosenBeginStartsNothing) {
  protocol->SetProtocolType(ptNoProtocol);
  protocol->BeginTransmit();
  protocol->BeginReceive();
  DrainQueue();
  EXPECT_TRUE(events.events.empty());
  EXPECT_EQ(protocol->Record().InProgress, 0);
}

TEST_F(ComponentOnMemoryPort, AssignCopiesSettingsAndTheCopyReportsToItself) {
  protocol->SetProtocolType(ptAscii);
  protocol->SetAsciiCharDelay(42);
  protocol->SetFileMask("copy.txt");
  protocol->SetStatusInterval(3);
  TMroProtocol copy(&form);
  copy.Assign(protocol);
  EXPECT_EQ(copy.ProtocolType(), ptAscii);
  EXPECT_EQ(copy.AsciiCharDelay(), 42u);
  EXPECT_EQ(copy.FileMask(), "copy.txt");
  EXPECT_EQ(copy.StatusInterval(), 3);
  EXPECT_EQ(protocol->ProtocolType(), ptAscii);
  EXPECT_EQ(protocol->AsciiCharDelay(), 42u);
  EXPECT_NE(copy.Record().MessageWindow, protocol->Record().MessageWindow);
  EXPECT_NE(AsciiArea(copy.Record()), AsciiArea(protocol->Record()));
}

TEST_F(ComponentOnMemoryPort, DestroyingTheComponentMidTransferLeavesNoHandler) {
  WriteWhole("long.txt", std::string(500, 'l'));
  protocol->SetProtocolType(ptAscii);
  protocol->SetAsciiCharDelay(300);
  StartAscii("long.txt");
  delete protocol;
  protocol = nullptr;
  Advance(20);  // a handler left behind would use the freed record
  EXPECT_EQ(device->FindTrigger(8, false), ecBadTriggerHandle);
}

// --- The history file --------------------------------------------------------------------------

class HistoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TMroProtocolLog::DateTimeText = [] { return std::string("06/12/2026 13:00:00"); };
    log = new TMroProtocolLog(&form);
    protocol = new TMroProtocol(&form);
    protocol->SetUpcaseFileNames(false);
  }
  void TearDown() override { TMroProtocolLog::DateTimeText = nullptr; }
  void Entry(TProtocolType type, uint16_t code, int32_t status = psOK, int32_t ticks = 0, uint32_t len = 0,
             int32_t error = 0) {
    protocol->SetProtocolType(type);
    TransferRecord& r = protocol->Record();
    r.ProtocolStatus = status;
    r.ElapsedTicks = ticks;
    r.SrcFileLen = len;
    r.ProtocolError = error;
    log->WriteLogEntry(code);
  }
  ScratchDir scratch;
  TComponent form{nullptr};
  TMroProtocolLog* log = nullptr;
  TMroProtocol* protocol = nullptr;
};

TEST_F(HistoryTest, TheLinesOfEveryCode) {
  protocol->SetFileName("TEST.TXT");
  Entry(ptAscii, 4);
  Entry(ptAscii, 5, psEndFile, 765, 10000);  // 42 s
  Entry(ptZmodem, 0);
  Entry(ptZmodem, 1, psOK, 10, 500);  // under 18 ticks: the size is the rate
  Entry(ptZmodem, 2, psTimeout);
  Entry(ptKermit, 3, psFileRejected);
  Entry(ptAscii, 6, psCancelRequested);
  Entry(ptXmodem, 7, psSkipFile);
  Entry(ptAscii, 8);
  EXPECT_EQ(ReadWhole("MERO.HIS"),
            "Ascii transmit started on  06/12/2026 13:00:00 : TEST.TXT\r\n"
            "Ascii transmit finished OK 06/12/2026 13:00:00 : TEST.TXT\r\n"
            "   Elapsed time:   0:42   CPS: 238   Size: 10000\r\n\r\n"
            "Zmodem receive started on  06/12/2026 13:00:00 : TEST.TXT\r\n"
            "Zmodem receive finished OK 06/12/2026 13:00:00 : TEST.TXT\r\n"
            "   Elapsed time:   0:01   CPS: 500   Size: 500\r\n\r\n"
            "Zmodem receive failed TEST.TXT Time out in protocol\r\n\r\n"
            "Kermit receive skipped TEST.TXT File rejected\r\n\r\n"
            "Ascii transmit failed TEST.TXT Cancel requested\r\n\r\n"
            "Xmodem transmit skipped TEST.TXT File skipped\r\n\r\n");
}

TEST_F(HistoryTest, AFailureByAnErrorNamesTheError) {
  protocol->SetFileName("F");
  Entry(ptZmodem, 2, psOK, 0, 0, -int32_t(30));
  Entry(ptZmodem, 2, psOK, 0, 0, ecDiskFull);
  EXPECT_EQ(ReadWhole("MERO.HIS"), "Zmodem receive failed F " + ErrorText(-30) + "\r\n\r\n" +
                                       "Zmodem receive failed F Disk is full\r\n\r\n");
  EXPECT_EQ(ErrorText(-IoError(EROFS)), std::strerror(EROFS));
}

TEST_F(HistoryTest, ElapsedTimePaddingAndAnEmptyName) {
  protocol->SetFileName("E");
  Entry(ptAscii, 5, psOK, Secs2Ticks(125), 1250);
  Entry(ptAscii, 5, psOK, Secs2Ticks(5), 50);
  const std::string text = ReadWhole("MERO.HIS");
  EXPECT_NE(text.find("   Elapsed time:   2:05   CPS: 10   Size: 1250\r\n"), std::string::npos);
  EXPECT_NE(text.find("   Elapsed time:   0:05   CPS: 10   Size: 50\r\n"), std::string::npos);
  fs::remove("MERO.HIS");
  log->HistoryName = "";
  Entry(ptAscii, 4);
  EXPECT_FALSE(fs::exists("MERO.HIS"));
}

TEST_F(HistoryTest, FailedReceivesDeleteTheFileByTheRules) {
  auto failed = [&](TDeleteFailed rule, TProtocolType type, int32_t error) {
    WriteWhole("part.bin", "partial");
    log->DeleteFailed = rule;
    protocol->SetFileName("part.bin");
    Entry(type, 2, psTimeout, 0, 0, error);
    return fs::exists("part.bin");
  };
  EXPECT_TRUE(failed(TDeleteFailed::dfNonRecoverable, ptZmodem, ecTimeout));
  EXPECT_FALSE(failed(TDeleteFailed::dfNonRecoverable, ptKermit, ecTimeout));
  EXPECT_TRUE(failed(TDeleteFailed::dfNonRecoverable, ptBPlus, ecTimeout));
  EXPECT_TRUE(failed(TDeleteFailed::dfNonRecoverable, ptKermit, ecCantWriteFile));
  EXPECT_FALSE(failed(TDeleteFailed::dfAlways, ptZmodem, ecTimeout));
  EXPECT_TRUE(failed(TDeleteFailed::dfAlways, ptZmodem, ecCantWriteFile));
  EXPECT_TRUE(failed(TDeleteFailed::dfNever, ptKermit, ecTimeout));
}

TEST(HistoryDate, TheLocalesFormatsWithAFourDigitYear) {
  std::tm when{};
  when.tm_year = 2026 - 1900;
  when.tm_mon = 5;
  when.tm_mday = 12;
  when.tm_hour = 13;
  when.tm_min = 4;
  when.tm_sec = 5;
  EXPECT_EQ(HistoryDateTime(when, "C"), "06/12/2026 13:04:05");
  EXPECT_EQ(HistoryDateTime(when, "no-such-locale"), "06/12/2026 13:04:05");
}

TEST_F(HistoryTest, AnUnwritablePlaceRaisesTheIoError) {
  log->HistoryName = "no-such-dir/MERO.HIS";
  protocol->SetFileName("F");
  EXPECT_THROW(Entry(ptAscii, 4), EInOutError);
}

}  // namespace
}  // namespace zav::test
