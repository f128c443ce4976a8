// The Zmodem engine over the in-memory device with the clock stopped: the test
// plays the peer, injecting its headers and subpackets and decoding what this
// side put on the line.
#include "protocols/zmodem/QwZmodem.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "serial/QxExcept.h"
#include "tests/protocols/ProtocolTestSupport.h"

namespace zav::test {
namespace {

// --- The peer's side of the line -------------------------------------------------------------

std::string Hex(uint8_t type, TZmodemHeaderData d = {}) {
  std::vector<uint8_t> out;
  AppendHexHeader(out, type, d);
  return std::string(out.begin(), out.end());
}

std::string Bin(uint8_t type, TZmodemHeaderData d = {}, bool crc32 = true) {
  std::vector<uint8_t> out;
  TZmodemEncoder enc;
  AppendBinaryHeader(enc, out, type, d, crc32);
  return std::string(out.begin(), out.end());
}

std::string Sub(const std::string& data, uint8_t end, bool crc32 = true) {
  std::vector<uint8_t> out(WorkBufferSize(uint32_t(data.size())));
  TZmodemEncoder enc;
  const uint32_t n = EncodeSubpacket(enc, reinterpret_cast<const uint8_t*>(data.data()), uint32_t(data.size()), end,
                                     crc32, out.data());
  return std::string(out.begin(), out.begin() + n);
}

TZmodemHeaderData Flags(uint8_t zf0, uint8_t zf1 = 0) {
  TZmodemHeaderData d{};
  d[ZF0] = zf0;
  d[ZF1] = zf1;
  return d;
}

std::string ZrInit(uint32_t buffer = 0) {
  TZmodemHeaderData d = Flags(kCanFullDuplex | kCanOverlapIo | kCanCrc32);
  d[ZP0] = uint8_t(buffer);
  d[ZP1] = uint8_t(buffer >> 8);
  return Hex(ZRINIT, d);
}

std::string FileFrame(const std::string& info, uint8_t management, uint8_t conversion = 0) {
  return Bin(ZFILE, Flags(conversion, management)) + Sub(info, ZCRCW);
}

std::string Info(const std::string& name, size_t size, int64_t date = 0) {
  const auto v = BuildFileInfo(name, uint64_t(size), date);
  return std::string(v.begin(), v.end());
}

// What this side sent, as frames: each header with the subpackets after it.
struct Frame {
  uint8_t type = 0;
  uint32_t position = 0;
  TZmodemHeaderData data{};
  uint8_t format = 0;
  std::vector<std::pair<std::string, uint8_t>> subpackets;  // data and end
};

std::vector<Frame> Frames(const std::string& wire) {
  std::vector<Frame> frames;
  TZmodemHeaderParser p;
  uint32_t cancel = 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(wire.data());
  for (size_t at = 0; at < wire.size();) {
    TZmodemHeader h;
    if (FeedHeaderByte(p, cancel, bytes[at++], h) != TZmodemFeed::Header) continue;
    Frame f{h.Type, DataPosition(h.Data), h.Data, h.Format, {}};
    const bool data = h.Format != ZHEX && (h.Type == ZDATA || h.Type == ZFILE || h.Type == ZSINIT);
    while (data && at < wire.size()) {
      TZmodemCollector c;
      c.Start(h.Format == ZBIN32);
      std::vector<uint8_t> out(8192);
      size_t used = 0;
      const int32_t status = CollectSubpacket(c, cancel, bytes + at, wire.size() - at, used, out.data(), 8192);
      // A frame cut short (the sender purged it after a ZRPOS): the next
      // header starts where the broken subpacket did.
      if (status == 0 || status == psBlockCheckError || status == psLongPacket) break;
      at += used;
      f.subpackets.emplace_back(std::string(out.begin(), out.begin() + c.Count), c.End);
      if (c.End == ZCRCE || c.End == ZCRCW) break;
    }
    frames.push_back(f);
  }
  return frames;
}

std::vector<uint8_t> Types(const std::vector<Frame>& frames) {
  std::vector<uint8_t> t;
  for (const auto& f : frames) t.push_back(f.type);
  return t;
}

std::string Content(size_t size, int seed = 1) {
  std::string s(size, '\0');
  uint32_t x = uint32_t(seed) * 2654435761u;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = char(x >> 16);
  }
  return s;
}

// Attention pauses are recorded, not waited.
void NoPause(int32_t) {}

class ZmodemTest : public MemoryProtocolTest {
 protected:
  void SetUp() override {
    MemoryProtocolTest::SetUp();
    protocol->SetProtocolType(ptZmodem);
    protocol->SetUpcaseFileNames(false);
    Area().Pause = NoPause;
  }
  void TearDown() override {
    // A transfer the test left running ends while the event log still exists.
    protocol->AbortProtocol();
    MemoryProtocolTest::TearDown();
  }
  TZmodemArea& Area() { return *ZmodemArea(Record()); }

  // The peer's bytes arrive; every dispatcher pass they cause runs (a
  // receive event, as the device reports arriving data).
  void Reply(const std::string& bytes) {
    constexpr uint32_t kReceiveEvent = 0x0001;
    device->InjectReceived(bytes);
    for (int i = 0; i < 50 && (device->DriverInputWaiting() > 0 || i == 0); ++i) {
      device->DeviceEventPass(kReceiveEvent);
      DrainQueue();
    }
  }
  // Lets the line take everything, as often as the sender refills it.
  std::string Flush() {
    std::string out;
    for (int i = 0; i < 10000; ++i) {
      const std::string w = device->Wire();
      Pass();
      if (w.empty() && device->OutputUsed() == 0) break;
      out += w;
    }
    return out;
  }
  void StartSend(const std::vector<std::pair<std::string, std::string>>& files) {
    std::string mask;
    for (const auto& [name, content] : files) WriteWhole(name, content);
    names_.clear();
    for (const auto& f : files) names_.push_back(f.first);
    next_ = 0;
    protocol->OnProtocolNextFile = [this](TMroCustomProtocol*, std::string& name) {
      name = next_ < names_.size() ? names_[next_++] : std::string();
    };
    protocol->BeginTransmit();
    DrainQueue();
  }
  // A transmit through the handshake and the ZFILE, answered with ZRPOS.
  void SendUpToData(const std::string& content, uint32_t buffer = 0, uint32_t start = 0) {
    StartSend({{"data.bin", content}});
    Flush();
    Reply(ZrInit(buffer));
    Flush();
    Reply(Hex(ZRPOS, PositionData(start)));
  }
  void StartReceive() {
    protocol->SetDestinationDirectory(scratch.path().string() + "/in");
    fs::create_directory("in");
    protocol->BeginReceive();
    DrainQueue();
  }
  // The data frames of a file, as the peer sends them: ZDATA and 1K subpackets.
  static std::string DataFrames(const std::string& content, uint32_t from = 0) {
    std::string out = Bin(ZDATA, PositionData(from));
    for (size_t at = from; at < content.size(); at += 1024) {
      const std::string part = content.substr(at, 1024);
      out += Sub(part, at + 1024 >= content.size() ? ZCRCE : ZCRCG);
    }
    if (from >= content.size()) out += Sub("", ZCRCE);
    return out + Bin(ZEOF, PositionData(uint32_t(content.size())));
  }

  std::vector<std::string> names_;
  size_t next_ = 0;
};

// --- Transmit --------------------------------------------------------------------------------

TEST_F(ZmodemTest, ATransmitStartsWithRzAndAHexZrqinit) {
  StartSend({{"a.txt", "x"}});
  EXPECT_EQ(device->Wire(), std::string("rz\r**\x18" "B00000000000000\r\x8a\x11"));
  EXPECT_EQ(Area().ZmodemState, tzHandshake);
  EXPECT_EQ(TicksLeft(Record().TimeoutTrigger), 1092);
}

TEST_F(ZmodemTest, BufferSizeZeroStreamsWithZcrcgAndEndsWithZcrce) {
  const std::string content = Content(5000);
  StartSend({{"data.bin", content}});
  Flush();
  Reply(ZrInit(0));
  auto frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZFILE});
  ASSERT_EQ(frames[0].subpackets.size(), 1u);
  EXPECT_EQ(frames[0].subpackets[0].second, ZCRCW);
  EXPECT_EQ(frames[0].format, ZBIN32);
  const TZmodemFileInfo info = ParseFileInfo(reinterpret_cast<const uint8_t*>(frames[0].subpackets[0].first.data()),
                                             frames[0].subpackets[0].first.size());
  EXPECT_EQ(info.Name, "data.bin");
  EXPECT_EQ(info.Size, 5000u);
  struct stat st {};
  ASSERT_EQ(stat("data.bin", &st), 0);
  EXPECT_EQ(info.Date, int64_t(st.st_mtime));
  EXPECT_EQ(frames[0].data[ZF1], zfoWriteNewer);

  Reply(Hex(ZRPOS, PositionData(0)));
  frames = Frames(Flush());
  ASSERT_EQ(Types(frames), (std::vector<uint8_t>{ZDATA, ZEOF}));
  std::string got;
  std::vector<uint8_t> ends;
  for (const auto& [data, end] : frames[0].subpackets) {
    got += data;
    ends.push_back(end);
  }
  EXPECT_EQ(got, content);
  EXPECT_EQ(ends, (std::vector<uint8_t>{ZCRCG, ZCRCG, ZCRCG, ZCRCG, ZCRCE}));
  EXPECT_EQ(frames[1].position, 5000u);

  Reply(ZrInit(0));  // the file is in
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZFIN});
  EXPECT_FALSE(events.Finished());
  Reply(Hex(ZFIN));
  EXPECT_EQ(Flush(), "OO");
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(events.Count("log 4"), 1u);
  EXPECT_EQ(events.Count("log 5"), 1u);
  EXPECT_EQ(protocol->BytesTransferred(), 5000);
}

TEST_F(ZmodemTest, ABufferOf4096GetsAZcrcwEveryFourthSubpacketAndWaitsForZack) {
  const std::string content = Content(10000);
  SendUpToData(content, 4096);
  auto frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZDATA});
  std::vector<uint8_t> ends;
  for (const auto& s : frames[0].subpackets) ends.push_back(s.second);
  EXPECT_EQ(ends, (std::vector<uint8_t>{ZCRCG, ZCRCG, ZCRCG, ZCRCW}));
  EXPECT_EQ(Area().ZmodemState, tzWaitAck);
  Advance(100);
  EXPECT_EQ(Flush(), "") << "nothing more before the ZACK";
  Reply(Hex(ZACK, PositionData(4096)));
  frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZDATA});
  EXPECT_EQ(frames[0].position, 4096u);
  EXPECT_EQ(frames[0].subpackets.size(), 4u);
  EXPECT_EQ(frames[0].subpackets.back().second, ZCRCW);
  Reply(Hex(ZACK, PositionData(8192)));
  frames = Frames(Flush());
  ASSERT_EQ(Types(frames), (std::vector<uint8_t>{ZDATA, ZEOF}));
  EXPECT_EQ(frames[0].position, 8192u);
  ASSERT_EQ(frames[0].subpackets.size(), 2u);
  EXPECT_EQ(frames[0].subpackets[1].second, ZCRCE);
}

TEST_F(ZmodemTest, ZrposHalvesTheBlockDownTo256AndFiveGoodBlocksRestoreIt) {
  // A small ring: the sender builds only a few blocks ahead of the line.
  ReopenWithOutSize(2078);
  const std::string content = Content(30000);
  SendUpToData(content);
  device->Wire();
  Reply(Hex(ZRPOS, PositionData(1024)));
  device->Wire();
  Reply(Hex(ZRPOS, PositionData(1280)));
  Flush();
  const auto frames = Frames(device->Sent());
  std::vector<std::pair<uint32_t, std::vector<size_t>>> data;
  for (const auto& f : frames) {
    if (f.type != ZDATA) continue;
    data.push_back({f.position, {}});
    for (const auto& s : f.subpackets) data.back().second.push_back(s.first.size());
  }
  ASSERT_EQ(data.size(), 3u);
  EXPECT_EQ(data[0], (std::pair<uint32_t, std::vector<size_t>>{0, {1024}}));
  EXPECT_EQ(data[1], (std::pair<uint32_t, std::vector<size_t>>{1024, {512, 512, 512}}));
  EXPECT_EQ(data[2].first, 1280u);
  ASSERT_GE(data[2].second.size(), 6u);
  EXPECT_EQ(std::vector<size_t>(data[2].second.begin(), data[2].second.begin() + 6),
            (std::vector<size_t>{256, 256, 256, 256, 1024, 1024}));
  std::string got;
  for (const auto& s : frames[frames.size() - 2].subpackets) got += s.first;
  EXPECT_EQ(got, content.substr(1280));
  EXPECT_EQ(Record().TotalErrors, 2u);
}

TEST_F(ZmodemTest, TheBlockNeverGoesBelow256) {
  // A receiver window of one block: each ZRPOS lets exactly one block out.
  SendUpToData(Content(20000), 512);
  for (uint32_t expected : {512u, 256u, 256u}) {
    Flush();
    Reply(Hex(ZRPOS, PositionData(0)));
    EXPECT_EQ(Record().BlockSize, expected);
  }
  for (int i = 1; i <= 5; ++i) {
    Flush();
    Reply(Hex(ZACK, PositionData(uint32_t(256 * i))));
  }
  EXPECT_EQ(Record().BlockSize, 1024u);
}

TEST_F(ZmodemTest, ACarriageReturnAfterAnAtSignGoesOutEscaped) {
  SendUpToData(std::string("A\r@\rB\xc0\x8d", 7));
  const std::string wire = Flush();
  EXPECT_NE(wire.find(std::string("A\r@\x18MB\xc0\x18\xcd")), std::string::npos);
  const auto frames = Frames(wire);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames[0].subpackets.at(0).first, std::string("A\r@\rB\xc0\x8d", 7));
}

TEST_F(ZmodemTest, ASkippedFileIsLoggedAndTheNextOneOffered) {
  std::vector<int32_t> reported;
  protocol->OnProtocolStatus = [&](TMroCustomProtocol* p, uint16_t) { reported.push_back(p->ProtocolStatus()); };
  StartSend({{"one.txt", "1"}, {"two.txt", "22"}});
  Flush();
  Reply(ZrInit());
  Flush();
  Reply(Hex(ZSKIP));
  EXPECT_EQ(events.Count("log 7"), 1u);
  EXPECT_NE(std::find(reported.begin(), reported.end(), psSkipFile), reported.end()) << "4705 was shown";
  const auto frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZFILE});
  const std::string& info = frames[0].subpackets.at(0).first;
  EXPECT_EQ(ParseFileInfo(reinterpret_cast<const uint8_t*>(info.data()), info.size()).Name, "two.txt");
  protocol->OnProtocolStatus = nullptr;  // the tear-down's cancel reports after `reported` is gone
}

// A receiver that asked again after its own time-out gets the file header
// twice and skips it twice: the late ZSKIP after this side's ZFIN is passed
// over, and the session still ends with "OO" after the receiver's ZFIN
// (without it the receiver waits for the "OO" for half a minute).
TEST_F(ZmodemTest, ALateSkipAfterTheFinalZfinIsPassedOver) {
  StartSend({{"one.txt", "1"}});
  Flush();
  Reply(ZrInit());
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZFILE});
  Reply(ZrInit());  // the answer to this side's ZRQINIT
  Reply(ZrInit());  // the receiver's own time-out
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZFILE});
  Reply(Hex(ZSKIP));
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZFIN});
  Reply(Hex(ZSKIP));
  EXPECT_EQ(Flush(), "");
  EXPECT_FALSE(events.Finished());
  Reply(Hex(ZFIN));
  EXPECT_EQ(Flush(), "OO");
  Advance(2);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
}

TEST_F(ZmodemTest, NoFileToSendFailsAtOnceWith6003) {
  protocol->SetFileMask(scratch.path().string() + "/nothing-*.bin");
  protocol->BeginTransmit();
  DrainQueue();
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecNoMatchingFiles);
  EXPECT_EQ(events.Count("error -6003"), 1u);
  EXPECT_EQ(device->Wire(), "") << "nothing goes on the line";
  // An application's next-file event that has nothing: the same code.
  events.events.clear();
  protocol->OnProtocolNextFile = [](TMroCustomProtocol*, std::string& name) { name.clear(); };
  protocol->BeginTransmit();
  DrainQueue();
  EXPECT_EQ(events.FinishCode(), ecNoMatchingFiles);
  EXPECT_EQ(protocol->InProgress(), 0);
}

TEST_F(ZmodemTest, ATransmitRingSmallerThanTwoBlocksIsRefused) {
  WriteWhole("f.bin", "x");
  protocol->SetFileMask("f.bin");
  ReopenWithOutSize(2077);
  protocol->BeginTransmit();
  DrainQueue();
  EXPECT_EQ(events.FinishCode(), ecOutputBufferTooSmall);
  EXPECT_EQ(device->Wire(), "");
  events.events.clear();
  ReopenWithOutSize(2078);
  protocol->BeginTransmit();
  DrainQueue();
  EXPECT_FALSE(events.Finished());
  EXPECT_EQ(device->Wire().substr(0, 3), "rz\r");
}

TEST_F(ZmodemTest, AReceiverThatAsksForTheSamePlaceForeverEndsTheTransfer) {
  SendUpToData(Content(3000));
  int asked = 0;
  while (!events.Finished() && asked < 40) {
    Flush();
    Reply(Hex(ZRPOS, PositionData(512)));
    ++asked;
    Flush();
    Advance(2);
  }
  Flush();
  Advance(2);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(asked, 21);
  EXPECT_EQ(events.FinishCode(), ecTooManyErrors);
  EXPECT_NE(device->Sent().find(std::string(8, '\x18') + std::string(8, '\b')), std::string::npos);
  EXPECT_EQ(events.Count("log 6"), 1u);
}

TEST_F(ZmodemTest, ACancelSendsTheAbortStringAndEndsWith6005) {
  SendUpToData(Content(50000));
  protocol->AbortProtocol();
  DrainQueue();
  // The transfer ends within the cancel call (a component may be going away).
  ASSERT_TRUE(events.Finished());
  const std::string wire = Flush();
  EXPECT_EQ(wire, std::string(8, '\x18') + std::string(8, '\b')) << "the data queued before is dropped";
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);
  EXPECT_EQ(events.Count("log 6"), 1u);
}

TEST_F(ZmodemTest, TheReceiversCancelEndsTheTransmit) {
  SendUpToData(Content(50000));
  Reply(std::string(8, '\x18') + std::string(8, '\b'));
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);
  EXPECT_EQ(device->OutputUsed(), 0u) << "the data queued for a receiver that left is dropped";
}

TEST_F(ZmodemTest, SettersBelongToZmodemAndEightKRemakesTheBuffers) {
  TransferRecord& r = Record();
  EXPECT_EQ(Area().DataBlock.size(), 1024u);
  EXPECT_EQ(SetZmodem8K(r, true), 0);
  EXPECT_EQ(Area().DataBlock.size(), 8192u);
  EXPECT_GE(Area().WorkBuffer.size(), 16384u);
  EXPECT_EQ(r.BlockSize, 8192u);
  EXPECT_EQ(r.TransferOptions & tfZmodem8K, tfZmodem8K);
  EXPECT_EQ(SetZmodem8K(r, false), 0);
  EXPECT_EQ(r.BlockSize, 1024u);
  EXPECT_EQ(r.TransferOptions & tfZmodem8K, 0u);
  EXPECT_EQ(SetZmodemSkipNoFile(r, true), 0);
  EXPECT_EQ(SetZmodemFileOption(r, zfoWriteProtect), 0);
  EXPECT_EQ(Area().FileOption, 0x87);
  // Through the component: the kept values, and the CRC option refused.
  protocol->SetZmodemFileOption(zfoWriteAppend);
  protocol->SetZmodemFileOption(zfoWriteCrc);
  EXPECT_EQ(protocol->ZmodemFileOption(), zfoWriteAppend);
  EXPECT_TRUE(protocol->ZmodemSkipNoFile());
  protocol->SetZmodem8K(true);
  EXPECT_EQ(r.BlockSize, 8192u);
  protocol->SetZmodemFinishRetry(2);
  EXPECT_EQ(Area().FinishRetries, 2);
  protocol->SetProtocolType(ptAscii);
  for (int32_t rc : {SetZmodemOptionOverride(r, true), SetZmodemSkipNoFile(r, true), SetZmodemFileOption(r, 1),
                     SetZmodemRecover(r, true), SetZmodemFinishRetry(r, 1), SetZmodem8K(r, true)})
    EXPECT_EQ(rc, ecBadProtocolFunction);
  // Back on Zmodem, the kept settings return.
  protocol->SetProtocolType(ptZmodem);
  EXPECT_EQ(Record().BlockSize, 8192u);
  EXPECT_EQ(Area().FileOption, 0x83);
  EXPECT_EQ(Record().HandshakeWait, 1092);
  EXPECT_EQ(Record().CheckType, bcmCrc32);
}

TEST_F(ZmodemTest, AReceiverWithoutCrc32GetsCrc16AndOneThatAsksGetsEveryControlEscaped) {
  const std::string content = std::string("\x01\x02\x7f plain \x1b", 11);
  StartSend({{"data.bin", content}});
  Flush();
  Reply(Hex(ZRINIT, Flags(kCanFullDuplex | kEscapeControls)));
  Flush();
  Reply(Hex(ZRPOS, PositionData(0)));
  const std::string wire = Flush();
  const auto frames = Frames(wire);
  ASSERT_EQ(Types(frames), (std::vector<uint8_t>{ZDATA, ZEOF}));
  EXPECT_EQ(frames[0].format, ZBIN);
  EXPECT_EQ(Record().CheckType, bcmCrc16);
  ASSERT_EQ(frames[0].subpackets.size(), 1u);
  EXPECT_EQ(frames[0].subpackets[0].first, content);
  EXPECT_NE(wire.find(std::string("\x18\x41\x18\x42\x7f plain \x18\x5b", 12)), std::string::npos);
}

TEST_F(ZmodemTest, AFileCrcIsAnsweredOverTheBytesAsked) {
  const std::string content = Content(5000);
  StartSend({{"data.bin", content}});
  Flush();
  Reply(ZrInit());
  Flush();
  Reply(Hex(ZCRC, PositionData(100)));
  const auto frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZCRC});
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < 100; ++i) crc = UpdateCrc32(uint8_t(content[i]), crc);
  EXPECT_EQ(frames[0].position, ~crc);
  Reply(Hex(ZCRC, PositionData(0)));
  crc = 0xFFFFFFFFu;
  for (char c : content) crc = UpdateCrc32(uint8_t(c), crc);
  EXPECT_EQ(Frames(Flush()).at(0).position, ~crc);
}

TEST_F(ZmodemTest, AZnakOrAGarbledHeaderAfterZfileSendsTheFileHeaderAgain) {
  StartSend({{"data.bin", "abc"}});
  Flush();
  Reply(ZrInit() + ZrInit());  // the second one answers this side's ZRQINIT: passed over
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZFILE});
  Reply(Hex(ZNAK));
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZFILE});
  std::string garbled = Hex(ZRPOS);
  garbled[6] = '7';
  Reply(garbled);
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZFILE});
  EXPECT_EQ(Record().TotalErrors, 3u);  // the bad header, and the retry it caused
  // A receiver that asks again after its time-out gets the file header too.
  Reply(ZrInit());
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZFILE});
}

TEST_F(ZmodemTest, AnUnansweredEndSendsTheLastBlockAgain) {
  SendUpToData("xyz");
  auto frames = Frames(Flush());
  ASSERT_EQ(Types(frames), (std::vector<uint8_t>{ZDATA, ZEOF}));
  // A receiver that lost the last ZDATA passes a ZEOF for another place
  // over; a ZDATA makes it ask for what it is missing. The first silence is
  // asked about after about a second, a second silence after the whole wait.
  const auto ticksUntilFrames = [&] {
    int ticks = 0;
    for (; ticks <= Record().FinishWait + 2 && (frames = Frames(Flush())).empty(); ++ticks) Advance(1);
    return ticks;
  };
  for (const bool first : {true, false}) {
    const int ticks = ticksUntilFrames();
    if (first) EXPECT_LT(ticks, Record().FinishWait / 4);
    else EXPECT_GE(ticks, Record().FinishWait);
    ASSERT_EQ(Types(frames), (std::vector<uint8_t>{ZDATA, ZEOF}));
    EXPECT_EQ(frames[0].position, 0u);
    EXPECT_EQ(frames[0].subpackets, (std::vector<std::pair<std::string, uint8_t>>{{"xyz", ZCRCE}}));
  }
  Reply(Hex(ZRPOS, PositionData(1)));
  frames = Frames(Flush());
  ASSERT_EQ(Types(frames), (std::vector<uint8_t>{ZDATA, ZEOF}));
  EXPECT_EQ(frames[0].subpackets.at(0).first, "yz");
  Reply(ZrInit());
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZFIN});
  // A second answer to the repeated ZEOF is no answer to the ZFIN.
  Reply(ZrInit());
  EXPECT_FALSE(events.Finished());
  Reply(Hex(ZFIN));
  EXPECT_EQ(Flush(), "OO");
  Advance(2);
  EXPECT_EQ(events.FinishCode(), 0);
}

TEST_F(ZmodemTest, AnEndIsNotAskedAboutWhileTheLineCanStillCarryTheData) {
  // The device takes every byte at once and reports nothing held, as a
  // pseudo-terminal or a network port does: the line still needs its time
  // for them, and the receiver's silence means nothing before that.
  SendUpToData(Content(8000));
  std::string sent;
  for (int i = 0; i < 100; ++i) {
    sent += Flush();
    const auto types = Types(Frames(sent));
    if (!types.empty() && types.back() == ZEOF) break;
  }
  ASSERT_EQ(Types(Frames(sent)).back(), ZEOF);
  const uint32_t cps = LineCps(Record());
  const int lineTicks = int(sent.size() * 1000 / cps / kMsPerTick);
  ASSERT_GT(lineTicks + 40, Record().FinishWait / 4) << "the file must outlast the short wait";
  ASSERT_LT(lineTicks + 40, Record().FinishWait) << "and fit in the whole one";
  int ticks = 0;
  std::vector<Frame> frames;
  for (; ticks <= Record().FinishWait + 2 && (frames = Frames(Flush())).empty(); ++ticks) Advance(1);
  EXPECT_GE(ticks, lineTicks);
  EXPECT_LT(ticks, Record().FinishWait);  // still asked before the whole wait
  EXPECT_EQ(Types(frames), (std::vector<uint8_t>{ZDATA, ZEOF}));
}

TEST_F(ZmodemTest, ANoAnswerToTheFinalZfinIsStillASuccess) {
  SendUpToData("xyz");
  Flush();
  Reply(ZrInit());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZFIN}) << i;
    Advance(Record().FinishWait + 2);
  }
  Flush();
  Advance(2);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
}

// A receiver that asks for a position and then falls silent is given up
// once its silence reaches the transmit wait, not after twenty re-sends.
TEST_F(ZmodemTest, ASilentReceiverAfterZrposEndsWithinTheTransmitWait) {
  SendUpToData("xyz");
  Flush();
  Reply(Hex(ZRPOS, PositionData(0)));
  Flush();
  int ticks = 0, eofs = 0;
  while (!events.Finished() && ticks < 20000) {
    Advance(18);
    ticks += 18;
    for (const auto& f : Frames(Flush())) eofs += f.type == ZEOF;
  }
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecTimeout);
  EXPECT_LE(ticks, Record().TransmitTimeout + 400);
  EXPECT_LE(eofs, 8);
}

// Bytes still waiting in the transmit ring are not counted as sent: the
// status's rate never exceeds what the line carried.
TEST_F(ZmodemTest, BytesWaitingForTheLineAreNotCountedAsSent) {
  SendUpToData(Content(60000));
  Advance(Record().StatusInterval + 1);
  ASSERT_GT(device->OutputUsed(), 0u);
  EXPECT_GT(Record().BytesTransferred, 0);  // queued by the engine
  EXPECT_EQ(protocol->BytesTransferred(), 0);  // none of it on the line yet
  EXPECT_EQ(protocol->BytesRemaining(), 60000);
  // The memory device has no queue of its own: what left the ring is on the line.
  size_t onLine = 0;
  for (int i = 0; i < 5; ++i) {
    Advance(Record().StatusInterval + 1);
    onLine += device->Wire().size();
    EXPECT_LE(protocol->BytesTransferred(), int64_t(onLine));
    EXPECT_EQ(protocol->BytesTransferred() + protocol->BytesRemaining(), 60000);
  }
  EXPECT_GT(protocol->BytesTransferred(), 0);
  Flush();
}

// --- Receive ---------------------------------------------------------------------------------

TEST_F(ZmodemTest, AReceiveTakesNameSizeAndExactDate) {
  StartReceive();
  auto frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZRINIT});
  EXPECT_EQ(frames[0].data[ZF0], 0x27);
  EXPECT_EQ(frames[0].data[ZP0] + frames[0].data[ZP1], 0) << "no buffer limit: streaming";
  const std::string content = Content(3000);
  Reply(FileFrame(Info("got.bin", content.size(), 1234567891), 0));
  frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZRPOS});
  EXPECT_EQ(frames[0].position, 0u);
  Reply(DataFrames(content));
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZRINIT});
  EXPECT_EQ(ReadWhole("in/got.bin"), content);
  struct stat st {};
  ASSERT_EQ(stat("in/got.bin", &st), 0);
  EXPECT_EQ(int64_t(st.st_mtime), 1234567891);
  EXPECT_EQ(events.Count("log 1"), 1u);
  Reply(Hex(ZFIN));
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZFIN});
  EXPECT_FALSE(events.Finished());
  Reply("OO");
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), 0);
}

TEST_F(ZmodemTest, FileOptionsDecideForAnExistingFile) {
  struct Case {
    uint8_t option;
    int64_t incomingDate;  // the local file is dated 1000000000
    bool replaced;
  } cases[] = {
      {zfoWriteProtect, 2000000000, false}, {zfoNoOption, 2000000000, false},  // no option: protect
      {zfoWriteClobber, 1, true},           {zfoWriteNewer, 1000000001, false},
      {zfoWriteNewer, 1000000002, true},    {zfoWriteNewer, 900000000, false},
      {zfoWriteDifferent, 1000000000, false}, {zfoWriteDifferent, 1000000005, true},
      {zfoWriteNewerLonger, 900000000, false},
  };
  // The status a skip is logged with (the history shows its text).
  std::vector<int32_t> reported;
  protocol->OnProtocolLog = [&](TMroCustomProtocol* p, uint16_t code) {
    events.events.push_back("log " + std::to_string(code));
    if (code == lfReceiveSkip) reported.push_back(p->ProtocolStatus());
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.option) * 10000000000 + c.incomingDate);
    fs::remove_all("in");
    events.events.clear();
    reported.clear();
    StartReceive();
    WriteWhole("in/have.txt", "old!");
    const timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    utimensat(AT_FDCWD, "in/have.txt", times, 0);
    Flush();
    Reply(FileFrame(Info("have.txt", 4, c.incomingDate), c.option));
    const auto frames = Frames(Flush());
    ASSERT_EQ(frames.size(), 1u);
    if (c.replaced) {
      EXPECT_EQ(frames[0].type, ZRPOS);
      Reply(DataFrames("new!"));
      EXPECT_EQ(ReadWhole("in/have.txt"), "new!");
    } else {
      EXPECT_EQ(frames[0].type, ZSKIP);
      EXPECT_EQ(events.Count("log 3"), 1u);
      EXPECT_EQ(reported, std::vector<int32_t>{psSkipFile});
      EXPECT_EQ(ReadWhole("in/have.txt"), "old!");
    }
    Reply(Hex(ZFIN) + "OO");
    Flush();
    ASSERT_TRUE(events.Finished());
    EXPECT_EQ(events.FinishCode(), 0);
  }
}

TEST_F(ZmodemTest, AppendAddsBehindAndSkipNoFileSkipsAMissingFile) {
  StartReceive();
  WriteWhole("in/log.txt", "first;");
  Flush();
  Reply(FileFrame(Info("log.txt", 7), zfoWriteAppend));
  auto frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZRPOS});
  EXPECT_EQ(frames[0].position, 0u) << "the sender starts at 0";
  Reply(DataFrames("second;"));
  EXPECT_EQ(ReadWhole("in/log.txt"), "first;second;");
  Reply(FileFrame(Info("absent.txt", 3), kSkipNoFileBit | zfoWriteClobber));
  EXPECT_EQ(Types(Frames(Flush())), (std::vector<uint8_t>{ZRINIT, ZSKIP}));
  EXPECT_FALSE(fs::exists("in/absent.txt"));
}

TEST_F(ZmodemTest, RecoverResumesAtTheLengthOfThePartialFile) {
  protocol->SetZmodemRecover(true);
  StartReceive();
  const std::string content = Content(5000);
  WriteWhole("in/part.bin", content.substr(0, 1800));
  Flush();
  Reply(FileFrame(Info("part.bin", content.size(), 1500000000), zfoWriteNewer));
  auto frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZRPOS});
  EXPECT_EQ(frames[0].position, 1800u);
  Reply(DataFrames(content, 1800));
  EXPECT_EQ(ReadWhole("in/part.bin"), content);
  EXPECT_EQ(events.Count("log 1"), 1u);
}

// The headers' positions end at 4 GiB: a file announced larger is skipped
// with the reason, and data that would pass the limit ends the receive
// instead of wrapping to the start of the file.
TEST_F(ZmodemTest, AReceiveNeverPassesTheHeadersPositions) {
  StartReceive();
  Flush();
  Reply(FileFrame(Info("huge.bin", size_t(5) << 30), zfoWriteClobber));
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZSKIP});
  EXPECT_EQ(events.Count("error " + std::to_string(ecFileTooLarge)), 1u);
  EXPECT_FALSE(fs::exists("in/huge.bin"));

  // A part of 4 GiB less 100 bytes is resumed; the sender then sends more
  // than fits below the limit.
  const uint64_t part = (uint64_t(4) << 30) - 100;
  {
    std::ofstream f("in/edge.bin");
    f << "head";
  }
  fs::resize_file("in/edge.bin", part);
  Area().Recover = true;
  Reply(FileFrame(Info("edge.bin", size_t((uint64_t(4) << 30) - 1)), zfoWriteClobber));
  auto frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZRPOS});
  EXPECT_EQ(frames[0].position, uint32_t(part));
  Reply(Bin(ZDATA, PositionData(uint32_t(part))) + Sub(Content(1024), ZCRCG));
  Flush();
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecFileTooLarge);
  EXPECT_EQ(fs::file_size("in/edge.bin"), part);
  std::ifstream f("in/edge.bin");
  std::string head(4, '\0');
  f.read(head.data(), 4);
  EXPECT_EQ(head, "head");
}

TEST_F(ZmodemTest, ReceivedNamesStayInsideTheDestination) {
  struct Case {
    std::string sent;
    bool honor;
    std::string stored;  // empty: skipped
  } cases[] = {
      {"../../etc/evil.txt", false, "in/evil.txt"},
      {"/abs/path.txt", false, "in/path.txt"},
      {"sub\\dir\\win.txt", false, "in/win.txt"},
      {"sub\\dir\\win.txt", true, "in/sub/dir/win.txt"},
      {"a/../../up.txt", true, "in/a/up.txt"},
      {std::string(250, 'x') + ".txt", false, ""},
      {"..", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent);
    fs::remove_all("in");
    events.events.clear();
    protocol->SetHonorDirectory(c.honor);
    StartReceive();
    Flush();
    Reply(FileFrame(Info(c.sent, 2), zfoWriteClobber));
    const auto frames = Frames(Flush());
    ASSERT_EQ(frames.size(), 1u);
    if (c.stored.empty()) {
      EXPECT_EQ(frames[0].type, ZSKIP);
    } else {
      ASSERT_EQ(frames[0].type, ZRPOS);
      Reply(DataFrames("ok"));
      EXPECT_EQ(ReadWhole(c.stored), "ok");
    }
    Reply(Hex(ZFIN) + "OO");
    Flush();
    EXPECT_EQ(events.FinishCode(), 0);
  }
  EXPECT_FALSE(fs::exists(scratch.path().parent_path() / "up.txt"));
}

TEST_F(ZmodemTest, CommandsAreRefusedAndFreeSpaceIsAnswered) {
  StartReceive();
  Flush();
  Reply(Bin(ZCOMMAND) + Sub(std::string("touch /tmp/zmodem-was-run\0", 26), ZCRCW));
  auto frames = Frames(Flush());
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames[0].type, ZNAK);
  EXPECT_FALSE(fs::exists("/tmp/zmodem-was-run"));
  Reply(Hex(ZFREECNT));
  frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZACK});
  EXPECT_GT(frames[0].position, 0u);
}

TEST_F(ZmodemTest, DamagedAndOverlongSubpacketsAreAskedForAgain) {
  StartReceive();
  Flush();
  const std::string content = Content(3000);
  Reply(FileFrame(Info("d.bin", content.size()), zfoWriteClobber));
  Flush();
  std::string good = Bin(ZDATA, PositionData(0)) + Sub(content.substr(0, 1024), ZCRCG);
  std::string bad = Sub(content.substr(1024, 1024), ZCRCG);
  bad[200] ^= 0x01;
  Reply(good + bad);
  auto frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZRPOS});
  EXPECT_EQ(frames[0].position, 1024u);
  EXPECT_EQ(Record().BlockErrors.Count(), 1u);
  // 8193 bytes: beyond what any sender uses.
  Reply(Bin(ZDATA, PositionData(1024)) + Sub(std::string(8193, 'L'), ZCRCG));
  frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZRPOS});
  EXPECT_EQ(frames[0].position, 1024u);
  // A ZDATA at another place is asked for again too.
  Reply(Bin(ZDATA, PositionData(2048)) + Sub("zz", ZCRCE));
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZRPOS});
  // An 8K subpacket is taken although this side did not ask for 8K.
  const std::string big = Content(8192, 3);
  Reply(Bin(ZDATA, PositionData(1024)) + Sub(big, ZCRCE) + Bin(ZEOF, PositionData(1024 + 8192)));
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZRINIT});
  EXPECT_EQ(ReadWhole("in/d.bin"), content.substr(0, 1024) + big);
}

TEST_F(ZmodemTest, ASenderThatNeverGetsItRightEndsByTheRetryLimit) {
  StartReceive();
  Flush();
  Reply(FileFrame(Info("e.bin", 100), zfoWriteClobber));
  Flush();
  int sent = 0;
  while (!events.Finished() && sent < 40) {
    Reply(Bin(ZDATA, PositionData(50)) + Sub("x", ZCRCG));
    Flush();
    ++sent;
    Advance(2);
  }
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(sent, 21);
  EXPECT_EQ(events.FinishCode(), ecTooManyErrors);
  EXPECT_NE(device->Sent().find(std::string(8, '\x18') + std::string(8, '\b')), std::string::npos);
  EXPECT_TRUE(fs::exists("in/e.bin")) << "a failed receive keeps its part for resuming";
}

TEST_F(ZmodemTest, GarbageWithoutEndEndsByTheHandshakeRetries) {
  protocol->SetHandshakeWait(18);
  protocol->SetHandshakeRetry(3);
  StartReceive();
  for (int i = 0; i < 200 && !events.Finished(); ++i) {
    Reply(Content(100, i));
    Flush();
    Advance(5);
  }
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecTooManyErrors);
  EXPECT_LE(Area().Input.size(), 8192u);
}

TEST_F(ZmodemTest, AStaleZeofAfterThisSidesZrposIsPassedOver) {
  StartReceive();
  Flush();
  const std::string content = Content(3000);
  Reply(FileFrame(Info("z.bin", content.size()), zfoWriteClobber));
  Flush();
  std::string bad = Sub(content.substr(1024, 1024), ZCRCG);
  bad[10] ^= 0x20;
  Reply(Bin(ZDATA, PositionData(0)) + Sub(content.substr(0, 1024), ZCRCG) + bad);
  EXPECT_EQ(Frames(Flush()).at(0).position, 1024u);
  // The rest of the old stream: its end, at a place this side never reached.
  Reply(Sub(content.substr(2048), ZCRCE) + Bin(ZEOF, PositionData(3000)));
  EXPECT_EQ(Flush(), "") << "no second ZRPOS for it";
  Reply(DataFrames(content, 1024));
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZRINIT});
  EXPECT_EQ(ReadWhole("in/z.bin"), content);
  // A sender that repeats the ZEOF of a closed file gets ZRINIT again.
  Reply(Bin(ZEOF, PositionData(3000)));
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZRINIT});
}

TEST_F(ZmodemTest, AFrameWhoseHeaderWasLostIsAskedForAgainWithoutWaiting) {
  StartReceive();
  Flush();
  const std::string content = Content(40000);
  Reply(FileFrame(Info("h.bin", content.size()), zfoWriteClobber));
  EXPECT_EQ(Frames(Flush()).at(0).position, 0u);
  // The ZDATA was hit: what follows is data without a header. As much as the
  // line could still hold of an old stream passes quietly...
  std::string frames;
  for (size_t at = 0; at < content.size(); at += 1024) frames += Sub(content.substr(at, 1024), ZCRCG);
  Reply(frames.substr(0, 16000));
  EXPECT_EQ(Flush(), "");
  // ...more than that is a lost header: ZRPOS at once, no time-out.
  Reply(frames.substr(16000, 8000));
  const auto sent = Frames(Flush());
  ASSERT_EQ(Types(sent), std::vector<uint8_t>{ZRPOS});
  EXPECT_EQ(sent[0].position, 0u);
  EXPECT_EQ(TicksLeft(Record().TimeoutTrigger), Record().HandshakeWait);
}

TEST_F(ZmodemTest, TheSendersAttentionStringPrecedesEachZrpos) {
  StartReceive();
  Flush();
  // A hex ZSINIT: its line end comes before the subpacket.
  Reply(Hex(ZSINIT, Flags(kEscapeControls)) + Sub(std::string("\x03\xde!\0", 4), ZCRCW, false));
  auto frames = Frames(Flush());
  ASSERT_EQ(Types(frames), std::vector<uint8_t>{ZACK});
  EXPECT_TRUE(Area().Encoder.EscapeAll);
  Reply(FileFrame(Info("t.bin", 10), zfoWriteClobber));
  Flush();
  Reply(Bin(ZDATA, PositionData(5)) + Sub("x", ZCRCG));
  const std::string wire = Flush();
  EXPECT_EQ(wire.substr(0, 2), "\x03!") << "the pause (222) is not sent";
  EXPECT_EQ(Types(Frames(wire)), std::vector<uint8_t>{ZRPOS});
}

// An attention string of nothing but pauses and breaks holds the dispatcher
// thread well under a second in all.
TEST_F(ZmodemTest, AnAttentionOfPausesIsCappedWellUnderASecond) {
  static int32_t paused = 0;
  paused = 0;
  Area().Pause = [](int32_t ticks) { paused += ticks; };
  StartReceive();
  Flush();
  std::string attention;
  for (int i = 0; i < 31; ++i) attention += char(i % 2 ? 0xde : 0xdd);
  Reply(Bin(ZSINIT) + Sub(attention + std::string(1, '\0'), ZCRCW));
  Flush();
  Reply(FileFrame(Info("t.bin", 10), zfoWriteClobber));
  Flush();
  Reply(Bin(ZDATA, PositionData(5)) + Sub("x", ZCRCG));
  EXPECT_EQ(Types(Frames(Flush())), std::vector<uint8_t>{ZRPOS});
  EXPECT_GT(paused, 0);
  EXPECT_LE(paused * int32_t(kMsPerTick), 500);
}

TEST_F(ZmodemTest, TheSendersCancelEndsTheReceiveAndKeepsThePart) {
  StartReceive();
  Flush();
  const std::string content = Content(4000);
  Reply(FileFrame(Info("c.bin", content.size()), zfoWriteClobber));
  Flush();
  Reply(Bin(ZDATA, PositionData(0)) + Sub(content.substr(0, 1024), ZCRCG) + std::string(8, '\x18') +
        std::string(8, '\b'));
  Flush();
  Advance(1);
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);
  EXPECT_EQ(ReadWhole("in/c.bin"), content.substr(0, 1024));
  EXPECT_EQ(events.Count("log 2"), 1u);
}

TEST_F(ZmodemTest, ACarrierLossEndsAReceiveWith6014) {
  protocol->SetAbortNoCarrier(true);
  device->SetModemLines(0x80);
  device->DeviceEventPass(0xFFFFFFFF);
  StartReceive();
  Flush();
  Reply(FileFrame(Info("l.bin", 3000), zfoWriteClobber));
  Flush();
  Reply(Bin(ZDATA, PositionData(0)) + Sub(Content(1024), ZCRCG));
  EXPECT_FALSE(events.Finished());
  device->SetModemLines(0);
  device->DeviceEventPass(0xFFFFFFFF);
  DrainQueue();
  ASSERT_TRUE(events.Finished());
  EXPECT_EQ(events.FinishCode(), ecAbortNoCarrier);
  EXPECT_EQ(ReadWhole("in/l.bin"), Content(1024));
  EXPECT_EQ(events.Count("log 2"), 1u);
  EXPECT_EQ(Flush(), "") << "no abort string for a line that is gone";
}

}  // namespace
}  // namespace zav::test
