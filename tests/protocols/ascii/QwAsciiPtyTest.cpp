// The ASCII protocol through a com port on a pseudo-terminal, the far end read
// by the test. Pacing is checked with lower bounds on the test's own clock
// (a byte cannot arrive before the delays in front of it have passed); the
// exact busy-wait and timer split is pinned by the in-memory tests.
#include <gtest/gtest.h>

#include "serial/QxExcept.h"
#include "tests/protocols/ProtocolTestSupport.h"

namespace zav::test {
namespace {

using Clock = std::chrono::steady_clock;

class AsciiPtyTest : public PtyProtocolTest {
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
    events.Attach(*protocol);
  }
  void TearDown() override {
    port->SetOpen(false);
    PumpUntil([&] { return port->PortPhase == TPortPhase::ppClosed; });
    PtyProtocolTest::TearDown();
  }
  void SendFile(const std::string& bytes, uint32_t charDelay = 0, uint32_t lineDelay = 0) {
    WriteWhole("send.txt", bytes);
    protocol->SetProtocolType(ptAscii);
    protocol->SetFileMask("send.txt");
    protocol->SetAsciiCharDelay(charDelay);
    protocol->SetAsciiLineDelay(lineDelay);
    start = Clock::now();
    protocol->BeginTransmit();
  }
  bool WaitFinish() { return PumpUntil([&] { return events.Finished(); }, 30); }
  double MsSinceStart(const Arrival& a) const {
    return std::chrono::duration<double, std::milli>(a.at - start).count();
  }

  int master = -1;
  TMroComPort* port = nullptr;
  TMroProtocol* protocol = nullptr;
  EventLog events;
  Clock::time_point start;
};

TEST_F(AsciiPtyTest, WithoutDelaysTheWholeFileArrivesAndTheEventsComeInOrder) {
  std::string file;
  for (int i = 0; i < 6000; ++i) file += char(' ' + i % 90);
  SendFile(file);
  auto got = ReadFar(master, file.size());
  EXPECT_EQ(Bytes(got), file);
  ASSERT_TRUE(WaitFinish());
  EXPECT_EQ(events.FinishCode(), 0);
  const auto& e = events.events;
  ASSERT_GE(e.size(), 7u);
  EXPECT_EQ((std::vector<std::string>(e.begin(), e.begin() + 4)),
            (std::vector<std::string>{"status 1", "status 0", "log 4", "status 0"}));
  EXPECT_EQ((std::vector<std::string>(e.end() - 3, e.end())),
            (std::vector<std::string>{"log 5", "status 2", "finish 0"}));
  for (size_t i = 4; i + 3 < e.size(); ++i) EXPECT_EQ(e[i], "status 0");
  EXPECT_EQ(protocol->InProgress(), 0);
}

TEST_F(AsciiPtyTest, CharDelay100PacesEveryByte) {
  SendFile("123456789", 100);
  auto got = ReadFar(master, 9);
  ASSERT_EQ(Bytes(got), "123456789");
  // Two busy-waits of 100 ms and a timer wait of more than 110 ms per three
  // bytes: the ninth byte cannot be out before 820 ms.
  EXPECT_GE(MsSinceStart(got.back()), 820.0);
  EXPECT_GE(MsSinceStart(got[3]), 310.0);
  ASSERT_TRUE(WaitFinish());
  EXPECT_EQ(events.FinishCode(), 0);
}

TEST_F(AsciiPtyTest, CharDelay300WaitsSixTicksAfterEachByte) {
  SendFile("abcd", 300);
  auto got = ReadFar(master, 4);
  ASSERT_EQ(Bytes(got), "abcd");
  EXPECT_GE(MsSinceStart(got.back()), 3 * 330.0);
  ASSERT_TRUE(WaitFinish());
}

TEST_F(AsciiPtyTest, LineDelayAfterCrWaitsNineteenTicks) {
  SendFile("a\rb", 0, 1000);
  auto got = ReadFar(master, 3);
  ASSERT_EQ(Bytes(got), "a\rb");
  EXPECT_GE(MsSinceStart(got[2]), 19 * 55.0);
  ASSERT_TRUE(WaitFinish());
}

TEST_F(AsciiPtyTest, TranslationAndCtrlZ) {
  protocol->SetProtocolType(ptAscii);
  protocol->SetAsciiCRTranslation(aetAddLFAfter);
  SendFile("l1\r\nl2\x1a\r\n");
  EXPECT_EQ(Bytes(ReadFar(master, 10)), "l1\r\n\nl2\r\n\n");
  ASSERT_TRUE(WaitFinish());
}

TEST_F(AsciiPtyTest, EmptyFileAndAMaskOfThree) {
  SendFile("");
  ASSERT_TRUE(WaitFinish());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(events.Count("log 5"), 1u);

  events.events.clear();
  WriteWhole("m1.txt", "first");
  WriteWhole("m2.txt", "second");
  WriteWhole("m3.txt", "third");
  protocol->SetFileMask("m?.txt");
  protocol->BeginTransmit();
  ASSERT_TRUE(WaitFinish());
  // Anything more than the first file would still be arriving.
  EXPECT_EQ(Bytes(ReadFar(master, 16, 1)), "first");
}

TEST_F(AsciiPtyTest, ClosingThePortMidTransferFinishesWithMinus6005) {
  SendFile(std::string(50, 'z'), 300);
  ReadFar(master, 2);
  port->SetOpen(false);
  ASSERT_TRUE(WaitFinish());
  EXPECT_EQ(events.FinishCode(), ecCancelRequested);
  EXPECT_EQ(events.Count("log 6"), 1u);
  EXPECT_TRUE(PumpUntil([&] { return port->PortPhase == TPortPhase::ppClosed; }));
}

// Receive: the component has no public receive start; the engine's receive
// routines are run through the start routine directly.
TEST_F(AsciiPtyTest, ReceiveEndsOnCtrlZ) {
  protocol->SetProtocolType(ptAscii);
  protocol->SetUpcaseFileNames(false);
  protocol->SetFileName("recv1.txt");
  StartTransfer(protocol->Record(), ptAscii, false, EngineOf(ptAscii).Handler[0], EngineOf(ptAscii).Prepare[0]);
  ASSERT_EQ(write(master, "some text\r\n\x1a", 12), 12);
  ASSERT_TRUE(WaitFinish());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("recv1.txt"), "some text\r\n\x1a");
}

TEST_F(AsciiPtyTest, ReceiveEndsOnSilence) {
  protocol->SetProtocolType(ptAscii);
  protocol->SetUpcaseFileNames(false);
  protocol->SetAsciiEOFTimeout(36);
  protocol->SetFileName("recv2.txt");
  StartTransfer(protocol->Record(), ptAscii, false, EngineOf(ptAscii).Handler[0], EngineOf(ptAscii).Prepare[0]);
  ASSERT_EQ(write(master, "quiet", 5), 5);
  ASSERT_TRUE(WaitFinish());
  EXPECT_EQ(events.FinishCode(), 0);
  EXPECT_EQ(ReadWhole("recv2.txt"), "quiet");
}

}  // namespace
}  // namespace zav::test
