// The engine core's one way from a received name to an open file, run with
// each engine that carries names; and the buffered file hooks across 4 GiB.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include <thread>

#include "protocols/xymodem/QwYmodem.h"
#include "protocols/zmodem/QwZmodem.h"
#include "serial/QxExcept.h"
#include "tests/protocols/ProtocolTestSupport.h"
#include "tests/protocols/xymodem/XmodemTestSupport.h"

namespace zav::test {
namespace {

constexpr uint64_t kGiB = uint64_t(1) << 30;

class ReceivedFilesTest : public MemoryProtocolTest {
 protected:
  void TearDown() override {
    protocol->AbortProtocol();
    MemoryProtocolTest::TearDown();
  }
  // What the engine's receive does with a name, up to the written file:
  // placing, then its prepare-writing, write and finish hooks. The path
  // written, or "" when the file was skipped.
  std::string Receive(TProtocolType type, const std::string& name, bool honor, const std::string& data) {
    TransferRecord& r = Record();
    protocol->SetProtocolType(type);
    protocol->SetUpcaseFileNames(false);
    protocol->SetDestinationDirectory("dest");
    protocol->SetHonorDirectory(honor);
    r.ProtocolError = 0;
    r.ProtocolStatus = psOK;
    if (PlaceReceivedName(r, name, honor) != TPlaceResult::Placed) return "";
    r.PrepareWritingHook(r);
    EXPECT_EQ(r.ProtocolError, 0) << name;
    if (!r.FileOpen) return "";
    r.FileOffset = 0;
    EXPECT_FALSE(r.WriteBlockHook(r, reinterpret_cast<const uint8_t*>(data.data()), uint32_t(data.size())));
    r.FileOffset = data.size();
    r.FinishWritingHook(r);
    return BufferText(r.PathName);
  }
  // A sparse file of `size` bytes with `marks` written at their offsets.
  static void Sparse(const std::string& name, uint64_t size, const std::vector<std::pair<uint64_t, std::string>>& marks) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t(size)), 0);
    for (const auto& [at, text] : marks) ASSERT_EQ(pwrite(fd, text.data(), text.size(), off_t(at)), ssize_t(text.size()));
    ::close(fd);
  }
  static std::string At(const std::string& name, uint64_t at, size_t n) {
    std::string out(n, '\0');
    const int fd = ::open(name.c_str(), O_RDONLY);
    const ssize_t got = pread(fd, out.data(), n, off_t(at));
    ::close(fd);
    out.resize(got > 0 ? size_t(got) : 0);
    return out;
  }
};

// Every engine that carries names places them the same way: never outside
// the destination, never through a link, never replacing a `$` copy, never
// cut, never with a control byte.
TEST_F(ReceivedFilesTest, HostileNamesWithEveryEngine) {
  struct Case {
    std::string sent;
    bool honor;
    std::string stored;  // "" skipped
  };
  const std::string longName(300, 'n');
  const Case cases[] = {
      {"../../x", false, "dest/x"},
      {"/etc/abs", false, "dest/abs"},
      {"a/../../b", false, "dest/b"},
      {"a/../../b", true, "dest/a/b"},
      {"..\\..\\w", true, "dest/w"},
      {"e\x1b[31m\x07\xc2\x9b.txt", false, "dest/e_[31m__.txt"},
      {"caf\xc3\xa9", false, "dest/caf\xc3\xa9"},
      {longName, false, ""},
      {"", false, ""},
      {"link", false, "dest/$ink"},        // a link to a file outside
      {"dangling", false, "dest/$angling"},  // a link to nothing
      {"ldir/f", true, ""},                // a link to a directory outside
      {"plain/f", true, ""},               // a directory part that is a file
  };
  for (const TProtocolType type : {ptYmodem, ptZmodem, ptKermit, ptBPlus}) {
    SCOPED_TRACE(int(type));
    fs::remove_all("dest");
    fs::remove_all("outdir");
    fs::create_directories("dest");
    fs::create_directories("outdir");
    WriteWhole("outside.txt", "keep");
    fs::create_symlink("../outside.txt", "dest/link");
    fs::create_symlink("../nowhere", "dest/dangling");
    fs::create_symlink("../outdir", "dest/ldir");
    WriteWhole("dest/plain", "file");
    for (const Case& c : cases) {
      SCOPED_TRACE(c.sent);
      // Zmodem leaves an existing link alone (it never writes a non-regular file).
      const bool linkCase = c.sent == "link" || c.sent == "dangling";
      const std::string expect = type == ptZmodem && linkCase ? "" : c.stored;
      EXPECT_EQ(Receive(type, c.sent, c.honor, "peer"), expect);
      if (!expect.empty()) {
        EXPECT_EQ(ReadWhole(expect), "peer");
      }
    }
    EXPECT_EQ(ReadWhole("outside.txt"), "keep");
    EXPECT_FALSE(fs::exists("nowhere"));
    EXPECT_TRUE(fs::is_empty("outdir"));
    EXPECT_TRUE(fs::is_symlink("dest/link"));
    EXPECT_EQ(ReadWhole("dest/plain"), "file");
    EXPECT_FALSE(fs::exists("x"));
    EXPECT_FALSE(fs::exists("b"));
    EXPECT_FALSE(fs::exists("dest/" + longName.substr(0, 250)));
  }
}

TEST_F(ReceivedFilesTest, ATooLongNameIsReportedNotCut) {
  const std::string name(300, 'n');
  EXPECT_EQ(Receive(ptYmodem, name, false, "x"), "");
  EXPECT_EQ(events.Count("error " + std::to_string(ecNameTooLong)), 1u);
  EXPECT_EQ(ErrorText(ecNameTooLong), std::strerror(ENAMETOOLONG));
}

// A second and third copy of one name, and a directory of that name, each
// arrive under the next free `$` name; nothing is replaced.
TEST_F(ReceivedFilesTest, CopiesOfOneNameNeverReplaceEachOther) {
  for (const TProtocolType type : {ptYmodem, ptKermit, ptBPlus}) {
    SCOPED_TRACE(int(type));
    fs::remove_all("dest");
    fs::create_directories("dest/sub");
    EXPECT_EQ(Receive(type, "dup", false, "1"), "dest/dup");
    EXPECT_EQ(Receive(type, "dup", false, "2"), "dest/$up");
    EXPECT_EQ(Receive(type, "dup", false, "3"), "dest/$2up");
    EXPECT_EQ(ReadWhole("dest/dup") + ReadWhole("dest/$up") + ReadWhole("dest/$2up"), "123");
    EXPECT_EQ(Receive(type, "sub", false, "d"), "dest/$ub");
    EXPECT_TRUE(fs::is_directory("dest/sub"));
  }
  // Zmodem's own options still decide, but its unasked receive never replaces.
  fs::remove_all("dest");
  fs::create_directories("dest");
  EXPECT_EQ(Receive(ptZmodem, "z", false, "1"), "dest/z");
  ASSERT_EQ(SetZmodemNeverReplace(Record(), true), 0);
  EXPECT_EQ(Receive(ptZmodem, "z", false, "2"), "dest/$");
  EXPECT_EQ(ReadWhole("dest/z"), "1");
}

TEST_F(ReceivedFilesTest, ControlBytesAreReplacedAndValidUtf8Kept) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\x1b]0;t\x07", "a_]0;t_"},    {"d\x7f", "d_"},
      {"c1\x9b" "x", "c1_x"},          {"u8\xc2\x9b" "x", "u8_x"},
      {"\xe2\x82\xac", "\xe2\x82\xac"}, {"latin\xe9", "latin\xe9"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(CleanPeerName(in), out) << in;
}

// The buffered hooks read and write a sparse 5 GiB file across 4 GiB: sizes,
// offsets and counts are 64-bit, nothing wraps to the start.
TEST_F(ReceivedFilesTest, FileHooksReadAndWriteAcross4GiB) {
  const uint64_t size = 5 * kGiB, edge = 4 * kGiB;
  Sparse("big.bin", size, {{0, "head"}, {edge - 4, "ABCDEFGH"}, {size - 3, "end"}});
  TransferRecord& r = Record();
  SetBufferText(r.PathName, "big.bin");
  r.PrepareReadingHook(r);
  ASSERT_EQ(r.ProtocolError, 0);
  EXPECT_EQ(r.SrcFileLen, size);
  EXPECT_EQ(r.BytesRemaining, int64_t(size));
  EXPECT_EQ(protocol->SrcFileLen(), size);
  std::vector<uint8_t> block(1024);
  r.FileOffset = edge - 4;
  uint32_t count = 8;
  EXPECT_FALSE(r.ReadBlockHook(r, block.data(), count));
  EXPECT_EQ(std::string(block.begin(), block.begin() + 8), "ABCDEFGH");
  r.FileOffset = size - 3;
  count = 1024;
  EXPECT_TRUE(r.ReadBlockHook(r, block.data(), count));
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(std::string(block.begin(), block.begin() + 3), "end");
  r.FinishReadingHook(r);

  // Writing: a block over the edge, then jumps ahead; the start of the file
  // is never touched.
  SetBufferText(r.PathName, "out.bin");
  r.WriteFailAction = wfWriteAnyway;
  r.PrepareWritingHook(r);
  ASSERT_TRUE(r.FileOpen);
  const std::string first = "start", across = "01234567", tail = "tail";
  r.FileOffset = 0;
  ASSERT_FALSE(r.WriteBlockHook(r, reinterpret_cast<const uint8_t*>(first.data()), 5));
  r.FileOffset = edge - 4;
  ASSERT_FALSE(r.WriteBlockHook(r, reinterpret_cast<const uint8_t*>(across.data()), 8));
  r.FileOffset = edge + 100;
  ASSERT_FALSE(r.WriteBlockHook(r, reinterpret_cast<const uint8_t*>(tail.data()), 4));
  r.FileOffset = size - 4;
  ASSERT_FALSE(r.WriteBlockHook(r, reinterpret_cast<const uint8_t*>(tail.data()), 4));
  r.FileOffset = size;
  r.FinishWritingHook(r);
  ASSERT_EQ(r.ProtocolError, 0);
  EXPECT_EQ(r.SrcFileLen, size);
  EXPECT_EQ(At("out.bin", 0, 5), "start");
  EXPECT_EQ(At("out.bin", edge - 4, 8), "01234567");
  EXPECT_EQ(At("out.bin", edge + 100, 4), "tail");
  EXPECT_EQ(At("out.bin", size - 4, 4), "tail");
}

// Zmodem's headers carry 32-bit positions: a larger file is refused before
// the line is used, and a receive never goes past the limit.
TEST_F(ReceivedFilesTest, ZmodemRefusesFilesBeyondItsPositions) {
  Sparse("huge.bin", 5 * kGiB, {});
  protocol->SetProtocolType(ptZmodem);
  protocol->SetFileMask("huge.bin");
  protocol->BeginTransmit();
  DrainQueue();
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecFileTooLarge);
  EXPECT_EQ(device->Wire(), "");
  EXPECT_EQ(ErrorText(ecFileTooLarge), std::strerror(EFBIG));
}

TEST_F(ReceivedFilesTest, DiskFullAndOtherErrorsCarryTheSystemsReason) {
  EXPECT_EQ(-IoError(ENOSPC), ecDiskFull);
  EXPECT_EQ(ErrorText(-IoError(EROFS)), std::strerror(EROFS));
  EXPECT_EQ(-IoError(EISDIR), ecAccessDenied);
  EXPECT_EQ(ErrorText(-IoError(EEXIST)), std::strerror(EEXIST));
}

}  // namespace
}  // namespace zav::test

namespace zav::test {
namespace {

// A Ymodem receive over a pseudo-terminal: the accept question comes from the
// dispatcher thread, and an application that takes longer than a second to
// answer it still gets the file.
class SlowAcceptTest : public PtyProtocolTest {
 protected:
  void SetUp() override {
    PtyProtocolTest::SetUp();
    master = AddPort(1);
    port = new TMroComPort(&form);
    port->SetComNumber(1);
    port->SetBaud(115200);
    port->SetOpen(true);
    ASSERT_EQ(port->PortPhase, TPortPhase::ppOpen);
    protocol = new TMroProtocol(&form);
    protocol->SetComPort(port);
    events.Attach(*protocol);
  }
  void TearDown() override {
    protocol->AbortProtocol();
    port->SetOpen(false);
    PumpUntil([&] { return port->PortPhase == TPortPhase::ppClosed; });
    PtyProtocolTest::TearDown();
  }
  void Write(const std::string& bytes) { ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size())); }

  int master = -1;
  TMroComPort* port = nullptr;
  TMroProtocol* protocol = nullptr;
  EventLog events;
};

TEST_F(SlowAcceptTest, AnAnswerAfterMoreThanASecondStillAccepts) {
  protocol->SetProtocolType(ptYmodem);
  protocol->SetUpcaseFileNames(false);
  protocol->SetDestinationDirectory(scratch.path().string());
  protocol->OnProtocolAccept = [](TMroCustomProtocol*, bool& accept, std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    accept = true;
  };
  protocol->BeginReceive();
  ASSERT_EQ(Bytes(ReadFar(master, 1)), "C");
  const std::vector<uint8_t> header = BuildYmodemHeader("slow.txt", 5, false, 0);
  Write(Frame(0, std::string(header.begin(), header.end()), true));
  EXPECT_EQ(Bytes(ReadFar(master, 2)), "\x06" "C");
  Write(Frame(1, "hello", true));
  EXPECT_EQ(Bytes(ReadFar(master, 1)), "\x06");
  Write("\x04");
  EXPECT_EQ(Bytes(ReadFar(master, 1)), "\x15");
  Write("\x04");
  EXPECT_EQ(Bytes(ReadFar(master, 2)), "\x06" "C");
  Write(Frame(0, std::string(128, '\0'), true));
  ASSERT_TRUE(PumpUntil([&] { return events.Finished(); }, 20));
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("slow.txt"), "hello");
}

}  // namespace
}  // namespace zav::test
