// Ymodem: the header codec on its own, then the batch both ways over the
// in-memory device, the test playing the far end.
#include "protocols/xymodem/QwYmodem.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "serial/QxExcept.h"
#include "tests/protocols/xymodem/XmodemTestSupport.h"

namespace zav::test {
namespace {

std::string HeaderText(const std::vector<uint8_t>& h) { return std::string(h.begin(), h.end()); }

// --- Header codec ----------------------------------------------------------------------------

TEST(YmodemHeader, BuildsNameSizeAndOctalDate) {
  const auto h = BuildYmodemHeader("report.txt", 1000, true, 1700000001);
  ASSERT_EQ(h.size(), 128u);
  EXPECT_EQ(HeaderText(h).substr(0, 30), std::string("report.txt\0" "1000 014524770401", 28) + std::string(2, '\0'));
  EXPECT_EQ(HeaderText(BuildYmodemHeader("x", 0, false, 0)).substr(0, 4), std::string("x\0" "0\0", 4));
  // A header that does not fit in 128 bytes takes a 1K block.
  EXPECT_EQ(BuildYmodemHeader(std::string(120, 'n'), 5, true, 1).size(), 1024u);
}

TEST(YmodemHeader, ReadsWhatPeersSend) {
  struct Case {
    const char* what;
    std::string data;
    bool end;
    std::string name;
    bool hasSize;
    uint64_t size;
    bool hasDate;
    int64_t date;
  };
  const Case cases[] = {
      {"ours", HeaderText(BuildYmodemHeader("a.bin", 77, true, 1700000001)), false, "a.bin", true, 77, true,
       1700000001},
      {"with mode and counts", std::string("b.txt\0" "12345 14524770401 100644 0 3 99999", 41), false, "b.txt", true,
       12345, true, 1700000001},
      {"no date", std::string("c\0" "9", 3), false, "c", true, 9, false, 0},
      {"size not a number", std::string("d\0" "12x 1", 7), false, "d", false, 0, true, 1},
      {"no size", std::string("e\0", 2), false, "e", false, 0, false, 0},
      {"date that does not fit", std::string("f\0" "1 777777777777", 16), false, "f", true, 1, true, 0},
      {"date that is not octal", std::string("g\0" "1 1238", 8), false, "g", true, 1, true, 0},
      {"empty", std::string(), true, "", false, 0, false, 0},
      {"5 GiB", std::string("h\0" "5368709120", 12), false, "h", true, 5368709120, false, 0},
  };
  for (const Case& c : cases) {
    std::string block = c.data;
    block.resize(128, '\0');
    const TYmodemHeader h = ParseYmodemHeader(reinterpret_cast<const uint8_t*>(block.data()), 128);
    EXPECT_EQ(h.End, c.end) << c.what;
    EXPECT_EQ(h.Name, c.name) << c.what;
    EXPECT_EQ(h.HasSize, c.hasSize) << c.what;
    EXPECT_EQ(h.Size, c.size) << c.what;
    EXPECT_EQ(h.HasDate, c.hasDate) << c.what;
    EXPECT_EQ(h.Date, c.date) << c.what;
  }
  // A name is cut to 254 characters.
  std::string longName(300, 'q');
  longName.resize(1024, '\0');
  EXPECT_EQ(ParseYmodemHeader(reinterpret_cast<const uint8_t*>(longName.data()), 1024).Name.size(), 254u);
}

TEST(YmodemHeader, NamesOfFilesToSend) {
  EXPECT_EQ(YmodemHeaderName("dir/Sub/Report.TXT", false, false), "Report.TXT");
  EXPECT_EQ(YmodemHeaderName("dir/Sub/Report.TXT", true, false), "dir/Sub/Report.TXT");
  EXPECT_EQ(YmodemHeaderName("/abs/./x", true, false), "abs/./x");
  EXPECT_EQ(YmodemHeaderName("./rel/x", true, false), "rel/x");
  EXPECT_EQ(YmodemHeaderName("win\\dir\\F.TXT", false, true), "f.txt");
}

// --- Transmit --------------------------------------------------------------------------------

class YmodemTransmitTest : public XmodemEngineTest {};

TEST_F(YmodemTransmitTest, OneFileThenTheEmptyHeader) {
  const std::string file = Random(1000, 21);
  StartSend(ptYmodem, "data.bin", file);
  const timespec when[2] = {{1700000001, 0}, {1700000001, 0}};  // an odd second
  ASSERT_EQ(utimensat(AT_FDCWD, "data.bin", when, 0), 0);
  EXPECT_EQ(Out(), "");
  Feed("C");
  const std::string header = Out();
  ASSERT_EQ(header.size(), 133u);
  EXPECT_EQ(header, Frame(0, HeaderText(BuildYmodemHeader("data.bin", 1000, true, 1700000001)), true));
  Feed(kAck + "C");
  EXPECT_EQ(Out(), Frame(1, file, true, 1024));
  Feed(kAck);
  EXPECT_EQ(Out(), kEot);
  Feed(kNak);
  EXPECT_EQ(Out(), kEot);
  Feed(kAck);
  EXPECT_FALSE(events.Finished());
  Feed("C");
  EXPECT_EQ(Out(), Frame(0, std::string(128, '\0'), true));  // the end of the batch
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(events.Count("log 5"), 1u);
}

TEST_F(YmodemTransmitTest, AnUnansweredHeaderIsSentAgainUpToTheLimit) {
  StartSend(ptYmodem, "h.bin", "abc");
  Feed("C");
  const std::string header = Out();
  for (int i = 0; i < 5; ++i) {
    Advance(ReplyWait(133));
    EXPECT_EQ(Out(), header) << "resend " << i + 1;
  }
  Advance(ReplyWait(133));
  EXPECT_EQ(Out(), Frame(0, std::string(128, '\0'), true));  // the batch still ends properly
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecTooManyErrors);
}

TEST_F(YmodemTransmitTest, ACancelFromTheReceiverEndsTheBatchWithoutTheEmptyHeader) {
  StartSend(ptYmodem, "k.bin", Random(5000, 22));
  Feed("C");
  Out();
  Feed(kAck + "C");
  Out();
  Feed(kCan);
  EXPECT_EQ(Out(), "");
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);
}

TEST_F(YmodemTransmitTest, TheAbortMessageEndsTheBatchWithMinus6016) {
  StartSend(ptYmodem, "ab.bin", Random(3000, 26));
  Feed("C");
  Out();
  Feed(kAck + "C");
  Out();
  EngineOf(ptYmodem).Handler[1](MsgYmodemAbort, 0, LPARAM(uint32_t(device->Handle()) << 16));
  DrainQueue();
  EXPECT_EQ(Out(), "");  // no end-of-batch header after an abort
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecProtocolAbort);
  EXPECT_EQ(protocol->ProtocolStatus(), psAbort);
  EXPECT_EQ(events.Count("log 6"), 1u);
}

// --- Receive ---------------------------------------------------------------------------------

class YmodemReceiveTest : public XmodemEngineTest {
 protected:
  // Starts a batch receive and answers its first request.
  void StartBatch(TProtocolType type = ptYmodem) {
    StartReceive(type);
    EXPECT_EQ(Out(), "");
    Advance(kYmodemRequestDelay + 1);
    EXPECT_EQ(Out(), type == ptYmodemG ? "G" : "C");
  }
  void SendFile(const std::string& name, const std::string& data, int64_t date, const std::string& expectReply) {
    Feed(Frame(0, HeaderText(BuildYmodemHeader(name, uint32_t(data.size()), date > 0, date)), true));
    EXPECT_EQ(Out(), expectReply) << name;
    for (size_t at = 0, n = 1; at < data.size(); at += 1024, ++n)
      Feed(Frame(uint8_t(n), data.substr(at, 1024), true, 1024));
    Out();
    EndFile();
    Advance(kYmodemRequestDelay + 1);
    EXPECT_EQ(Out(), "C") << name;
  }
  void EndBatch() {
    Feed(Frame(0, std::string(128, '\0'), true));
    EXPECT_EQ(Out(), kAck);
  }
};

TEST_F(YmodemReceiveTest, AThousandByteFileIsCutFromItsBlockAndDated) {
  const std::string data = Random(1000, 23);
  StartBatch();
  Feed(Frame(0, HeaderText(BuildYmodemHeader("in.bin", 1000, true, 1700000001)), true));
  EXPECT_EQ(Out(), kAck + "C");
  Feed(Frame(1, data, true, 1024));
  EXPECT_EQ(Out(), kAck);
  Feed(kEot);
  EXPECT_EQ(Out(), kNak);
  Feed(kEot);
  EXPECT_EQ(Out(), kAck);
  EXPECT_EQ(ReadWhole("in.bin"), data);
  struct stat st {};
  ASSERT_EQ(stat("in.bin", &st), 0);
  EXPECT_EQ(st.st_mtime, 1700000001);
  EXPECT_FALSE(events.Finished());
  Advance(kYmodemRequestDelay + 1);
  EXPECT_EQ(Out(), "C");
  EndBatch();
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(events.Count("log 1"), 1u);
}

// What the peer sends beyond the announced size is discarded, however much.
TEST_F(YmodemReceiveTest, AFileIsCutToItsAnnouncedSize) {
  const std::string data = Random(7000, 31);
  StartBatch();
  Feed(Frame(0, HeaderText(BuildYmodemHeader("cut.bin", 14, false, 0)), true));
  EXPECT_EQ(Out(), kAck + "C");
  for (size_t at = 0, n = 1; at < data.size(); at += 1024, ++n) {
    Feed(Frame(uint8_t(n), data.substr(at, 1024), true, 1024));
    EXPECT_EQ(Out(), kAck);
    EXPECT_LE(fs::file_size("cut.bin"), 14u);
  }
  EndFile();
  EXPECT_EQ(ReadWhole("cut.bin"), data.substr(0, 14));
  Advance(kYmodemRequestDelay + 1);
  EXPECT_EQ(Out(), "C");
  EndBatch();
  EXPECT_EQ(events.FinishCode(), 0);
}

TEST_F(YmodemReceiveTest, AnEmptyHeaderEndsAnEmptyBatch) {
  StartBatch();
  Feed(Frame(0, std::string(128, '\0'), true));
  EXPECT_EQ(Out(), kAck);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(events.Count("log 0"), 0u);
}

TEST_F(YmodemReceiveTest, PeerNamesStayInTheDestinationDirectory) {
  fs::create_directory("dest");
  protocol->SetProtocolType(ptYmodem);
  protocol->SetDestinationDirectory("dest");
  StartBatch();
  const std::pair<const char*, const char*> names[] = {
      {"../../escape.txt", "dest/escape.txt"},
      {"/etc/abs.txt", "dest/abs.txt"},
      {"win\\dir\\back.txt", "dest/back.txt"},
  };
  for (const auto& [sent, stored] : names) SendFile(sent, "x", 0, kAck + "C");
  EndBatch();
  EXPECT_EQ(events.FinishCode(), 0);
  for (const auto& [sent, stored] : names) EXPECT_EQ(ReadWhole(stored), "x") << sent;
  EXPECT_FALSE(fs::exists("escape.txt"));

  // With HonorDirectory the sender's relative directories are made below it.
  events.events.clear();
  protocol->SetHonorDirectory(true);
  StartBatch();
  SendFile("../sub\\deeper/kept.txt", "y", 0, kAck + "C");
  EndBatch();
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("dest/sub/deeper/kept.txt"), "y");
}

// Over the wire: a link planted in the destination is never written through,
// a name's control bytes never reach the disk, and directories are made only
// for an accepted file.
TEST_F(YmodemReceiveTest, HostileNamesOverTheWire) {
  fs::create_directory("dest");
  WriteWhole("outside.txt", "keep");
  fs::create_symlink("../outside.txt", "dest/ln");
  protocol->SetProtocolType(ptYmodem);
  protocol->SetDestinationDirectory("dest");
  protocol->SetHonorDirectory(true);
  protocol->OnProtocolAccept = [](TMroCustomProtocol*, bool& accept, std::string& name) {
    accept = name.find("refused") == std::string::npos;
  };
  StartBatch();
  SendFile("ln", "peer", 0, kAck + "C");
  SendFile("bell\x07\x1b[2J", "x", 0, kAck + "C");
  Feed(Frame(0, HeaderText(BuildYmodemHeader("refused/f", 1, false, 0)), true));
  Out();
  EXPECT_EQ(ReadWhole("outside.txt"), "keep");
  EXPECT_TRUE(fs::is_symlink("dest/ln"));
  EXPECT_EQ(ReadWhole("dest/$n"), "peer");
  EXPECT_EQ(ReadWhole("dest/bell__[2J"), "x");
  EXPECT_FALSE(fs::exists("dest/refused"));
}

TEST_F(YmodemReceiveTest, ABadDateIsReportedAndTheFileKept) {
  std::vector<int32_t> statuses;
  protocol->OnProtocolStatus = [&](TMroCustomProtocol* p, uint16_t) { statuses.push_back(p->ProtocolStatus()); };
  StartBatch();
  std::string header("late.bin\0" "3 777777777777", 23);
  Feed(Frame(0, header, true));
  EXPECT_EQ(Out(), kAck + "C");
  Feed(Frame(1, "abc", true));
  EXPECT_EQ(Out(), kAck);
  EndFile();
  Advance(kYmodemRequestDelay + 1);
  EXPECT_EQ(Out(), "C");
  EndBatch();
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("late.bin"), "abc");
  EXPECT_NE(std::find(statuses.begin(), statuses.end(), psInvalidDate), statuses.end());
}

TEST_F(YmodemReceiveTest, AHeaderOutOfSequenceCancels) {
  StartBatch();
  Feed(Frame(1, "not a header", true));
  EXPECT_EQ(Out(), kCancelString);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecSequenceError);
  EXPECT_EQ(protocol->ProtocolStatus(), psSequenceError);
}

TEST_F(YmodemReceiveTest, ACancelMidFileKeepsWhatArrivedUntilTheLogDecides) {
  StartBatch();
  Feed(Frame(0, HeaderText(BuildYmodemHeader("part.bin", 5000, false, 0)), true));
  Out();
  const std::string first = Random(1024, 24);
  Feed(Frame(1, first, true, 1024));
  protocol->AbortProtocol();
  DrainQueue();
  const std::string out = Out();
  ASSERT_GE(out.size(), 6u);
  EXPECT_EQ(out.substr(out.size() - 6), kCancelString);
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);
  EXPECT_EQ(events.Count("log 2"), 1u);
  EXPECT_EQ(ReadWhole("part.bin"), first);  // no history log here: nothing deletes it
}

TEST_F(YmodemReceiveTest, StreamingBatch) {
  const std::string data = Random(3000, 25);
  StartBatch(ptYmodemG);
  Feed(Frame(0, HeaderText(BuildYmodemHeader("s.bin", 3000, false, 0)), true));
  EXPECT_EQ(Out(), kAck + "G");
  Feed(Frame(1, data.substr(0, 1024), true, 1024) + Frame(2, data.substr(1024, 1024), true, 1024) +
       Frame(3, data.substr(2048), true, 1024));
  EXPECT_EQ(Out(), "");
  EndFile();
  Advance(kYmodemRequestDelay + 1);
  EXPECT_EQ(Out(), "G");
  Feed(Frame(0, std::string(128, '\0'), true));
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("s.bin"), data);
}

}  // namespace
}  // namespace zav::test
