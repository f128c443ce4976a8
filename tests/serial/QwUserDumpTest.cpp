// Golden tests of the trace and dispatch-log files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "serial/QxExcept.h"
#include "serial/QxSrMgr.h"
#include "tests/support/MemoryDevice.h"
#include "tests/support/TestSupport.h"

namespace zav::test {
namespace {

namespace fs = std::filesystem;

class DumpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitStringResources();
    SetFixedClockForTesting(100000);
    ASSERT_EQ(d.Open(), 0);
  }
  void TearDown() override { SetFixedClockForTesting(-1); }
  std::string Path(const char* name) { return (dir / name).string(); }
  static std::string Slurp(const std::string& path) { return ReadFile(path); }
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t at; (at = text.find("\r\n", start)) != std::string::npos; start = at + 2)
      out.push_back(text.substr(start, at - start));
    EXPECT_EQ(start, text.size()) << "every line ends in CR LF";
    return out;
  }
  void Receive(const std::string& bytes) {
    d.InjectReceived(bytes);
    d.Pass();
    std::string s(bytes.size(), '\0');
    ASSERT_EQ(d.ReadBlock(s.data(), uint32_t(s.size())), int32_t(s.size()));
  }

  ScratchDir scratch{"zav-dump", false};
  fs::path dir = scratch.path();
  TMemoryDispatcher d;
};

TEST_F(DumpTest, TraceSectionsWithHex) {
  ASSERT_EQ(d.StartTrace(100), 0);
  Receive("OK\r\n");
  ASSERT_EQ(d.WriteBlock("AT\r", 3), 0);
  ASSERT_EQ(d.WriteTrace(Path("MERO.TRC"), false, true, false), 0);
  EXPECT_EQ(Slurp(Path("MERO.TRC")), "Receive: \r\nOK[0D][0A]\r\n\r\nTransmit: \r\nAT[0D]\r\n");
  EXPECT_FALSE(d.Tracing());
  // Writing ended the trace: a second write has nothing and creates nothing.
  EXPECT_EQ(d.WriteTrace(Path("again.trc"), false, true, false), 0);
  EXPECT_FALSE(fs::exists(Path("again.trc")));
}

TEST_F(DumpTest, TraceOfSizeThreeKeepsTheNewestEntries) {
  ASSERT_EQ(d.StartTrace(3), 0);
  Receive("xy");
  ASSERT_EQ(d.WriteBlock("zw", 2), 0);
  ASSERT_EQ(d.WriteTrace(Path("t.trc"), false, false, false), 0);
  EXPECT_EQ(Slurp(Path("t.trc")), "Receive: \r\ny\r\n\r\nTransmit: \r\nzw\r\n");
}

TEST_F(DumpTest, ByteDisplayRules) {
  ASSERT_EQ(d.StartTrace(100), 0);
  Receive(std::string(" \xff\x01\x0a", 4));
  ASSERT_EQ(d.WriteTrace(Path("plain.trc"), false, false, false), 0);
  EXPECT_EQ(Slurp(Path("plain.trc")), "Receive: \r\n [255][1][10]\r\n");
  ASSERT_EQ(d.StartTrace(100), 0);
  Receive(std::string(" \xff" "A", 3));
  ASSERT_EQ(d.WriteTrace(Path("hex.trc"), false, true, false), 0);
  EXPECT_EQ(Slurp(Path("hex.trc")), "Receive: \r\n[20][FF]A\r\n");
  ASSERT_EQ(d.StartTrace(100), 0);
  Receive("AB");
  ASSERT_EQ(d.WriteTrace(Path("all.trc"), false, false, true), 0);
  EXPECT_EQ(Slurp(Path("all.trc")), "Receive: \r\n[41][42]\r\n");
}

TEST_F(DumpTest, LongTraceWrapsAtSeventyEightColumnsAndAppends) {
  ASSERT_EQ(d.StartTrace(1000), 0);
  Receive(std::string(100, '\x07'));  // [07] is 4 wide: 19 to a line
  ASSERT_EQ(d.WriteTrace(Path("w.trc"), false, true, false), 0);
  auto lines = Lines(Slurp(Path("w.trc")));
  ASSERT_EQ(lines.size(), 7u);
  for (auto& l : lines) EXPECT_LE(l.size(), 78u);
  EXPECT_EQ(lines[1].size(), 76u);
  ASSERT_EQ(d.StartTrace(10), 0);
  ASSERT_EQ(d.WriteBlock("x", 1), 0);
  ASSERT_EQ(d.WriteTrace(Path("w.trc"), true, true, false), 0);
  lines = Lines(Slurp(Path("w.trc")));
  EXPECT_EQ(lines[lines.size() - 2], "Transmit: ");
  EXPECT_EQ(lines.back(), "x");
}

TEST_F(DumpTest, NothingRecordedWritesNoFile) {
  ASSERT_EQ(d.StartTrace(10), 0);
  EXPECT_EQ(d.WriteTrace(Path("empty.trc"), false, true, false), 0);
  EXPECT_FALSE(fs::exists(Path("empty.trc")));
  ASSERT_EQ(d.StartLog(1000), 0);
  EXPECT_EQ(d.WriteLog(Path("empty.log"), false, true, false), 0);
  EXPECT_FALSE(fs::exists(Path("empty.log")));
  EXPECT_FALSE(d.Logging());
}

TEST_F(DumpTest, LogHeaderAndAWriteEntry) {
  ASSERT_EQ(d.StartLog(10000), 0);
  SetFixedClockForTesting(101500);  // 1.5 s after the port opened
  ASSERT_EQ(d.WriteBlock("AT\r", 3), 0);
  ASSERT_EQ(d.WriteLog(Path("MERO.LOG"), false, true, false), 0);
  auto lines = Lines(Slurp(Path("MERO.LOG")));
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0], "MERO v3.04");
  EXPECT_EQ(lines[1].rfind("Compiler : ", 0), 0u);
  EXPECT_GT(lines[1].size(), 13u);
  EXPECT_EQ(lines[2].rfind("Operating System : Linux ", 0), 0u);
  EXPECT_LE(lines[2].size(), 19u + 80u);
  EXPECT_EQ(lines[3], "Time      Type      SubType       Data      OtherData");
  EXPECT_EQ(lines[4], "--------  --------  ------------  --------  ---------");
  EXPECT_EQ(lines[5], "0001.500  Dispatch  WriteCom      00000003  AT[0D]");
  EXPECT_FALSE(d.Logging());
}

TEST_F(DumpTest, LogEntriesOfTheDispatcher) {
  ASSERT_EQ(d.StartLog(10000), 0);
  int32_t status = d.CreateStatusTrigger(1);
  int32_t timer = d.CreateTimerTrigger();
  ASSERT_EQ(d.ArmTimerTrigger(timer, 18, false), 0);
  ASSERT_EQ(d.DeleteTrigger(status), 4);
  d.AddLogText("hello");
  ASSERT_EQ(d.WriteLog(Path("e.log"), false, true, false), 0);
  auto lines = Lines(Slurp(Path("e.log")));
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[5], "0000.000  TrigAllc  Status        00000009  (Modem status)");
  EXPECT_EQ(lines[6], "0000.000  TrigAllc  Timer         00000010  ");
  EXPECT_EQ(lines[7], "0000.000  TrDatChg  Timer         00000010  Deactivated");
  EXPECT_EQ(lines[8], "0000.000  TrigDisp  Status        00000009  (Modem status)");
  EXPECT_EQ(lines[9], "0000.000  User                    00000000  hello");
}

TEST_F(DumpTest, LongLogDataContinuesUnderTheDataColumn) {
  ASSERT_EQ(d.StartLog(10000), 0);
  d.InjectReceived(std::string(40, '\x1b'));  // [1B]: 4 wide
  d.Pass();
  ASSERT_EQ(d.WriteLog(Path("l.log"), false, true, false), 0);
  auto lines = Lines(Slurp(Path("l.log")));
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[5].substr(0, 44), "0000.000  Dispatch  ReadCom       00000028  ");
  for (size_t i = 5; i < lines.size(); ++i) EXPECT_LE(lines[i].size(), 78u);
  for (size_t i = 6; i < lines.size(); ++i) EXPECT_EQ(lines[i].substr(0, 44), std::string(44, ' '));
  size_t shown = 0;
  for (size_t i = 5; i < lines.size(); ++i) shown += (lines[i].size() - 44) / 4;
  EXPECT_EQ(shown, 40u);
}

TEST_F(DumpTest, AFullLogDropsTheOldestEntries) {
  ASSERT_EQ(d.StartLog(100), 0);  // room for four 16 + 8 byte entries
  for (char c = 'a'; c <= 'f'; ++c) d.AddLogText(std::string(8, c));
  d.AddLogText(std::string(200, 'z'));  // larger than the whole log: dropped whole
  ASSERT_EQ(d.WriteLog(Path("f.log"), false, true, false), 0);
  auto lines = Lines(Slurp(Path("f.log")));
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[5].substr(44), "cccccccc");
  EXPECT_EQ(lines[8].substr(44), "ffffffff");
}

TEST_F(DumpTest, UserTextLongerThanTheScratchIsWrittenWhole) {
  TMemoryDispatcher small;
  ASSERT_EQ(small.Open(64, 64), 0);
  ASSERT_EQ(small.StartLog(10000), 0);
  small.AddLogText(std::string(500, 'u'));
  ASSERT_EQ(small.WriteLog(Path("u.log"), false, true, true), 0);
  auto lines = Lines(Slurp(Path("u.log")));
  size_t us = 0;
  for (size_t i = 5; i < lines.size(); ++i) us += std::count(lines[i].begin(), lines[i].end(), 'u');
  EXPECT_EQ(us, 500u);  // allHex does not apply to user text
}

TEST_F(DumpTest, UnopenableFilesReportTheErrorAndKeepTheLog) {
  ASSERT_EQ(d.StartLog(1000), 0);
  d.AddLogText("kept");
  EXPECT_EQ(d.WriteLog(Path("missing/dir/x.log"), false, true, false), ecFileNotFound);
  EXPECT_FALSE(d.Logging());  // paused, with its entries
  d.ResumeLog();
  ASSERT_EQ(d.WriteLog(Path("x.log"), false, true, false), 0);
  EXPECT_NE(Slurp(Path("x.log")).find("kept"), std::string::npos);
  ASSERT_EQ(d.StartTrace(10), 0);
  ASSERT_EQ(d.WriteBlock("a", 1), 0);
  EXPECT_EQ(d.WriteTrace(dir.string(), false, true, false), ecAccessDenied);  // a directory
  EXPECT_FALSE(d.Tracing());
}

TEST_F(DumpTest, ModemStatusAndTelnetNames) {
  ASSERT_EQ(d.StartLog(1000), 0);
  uint8_t byte = 0;
  d.AddLogEntry(2, 4, 0x90, &byte, 1);
  d.AddLogEntry(10, 0, 1, nullptr, 0);
  ASSERT_EQ(d.WriteLog(Path("m.log"), false, true, false), 0);
  auto lines = Lines(Slurp(Path("m.log")));
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[5].substr(44), "[00](CTS DCD)");
  EXPECT_EQ(lines[6].substr(0, 20), "0000.000  Telnet    ");
  EXPECT_EQ(lines[6].back(), ']');
}

}  // namespace
}  // namespace zav::test
