// The serial device dispatcher on pseudo-terminal pairs: the test holds the
// master side (the far end of the line), the dispatcher opens the slave.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "serial/PortMap.h"
#include "serial/QwWin32.h"
#include "serial/QwWin32_parmrk.h"
#include "serial/QxExcept.h"
#include "tests/support/TestSupport.h"

namespace zav {
namespace {

namespace fs = std::filesystem;

// A pseudo-terminal pair; the slave is closed at once (the dispatcher opens it
// by name), the master stays with the test.
struct Pty {
  int master = -1;
  std::string slave;
  Pty() {
    int s = -1;
    char name[256];
    if (openpty(&master, &s, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    slave = name;
    // Raw far end: no echo, no translation.
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    close(s);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
  void Write(const std::string& s) const {
    size_t done = 0;
    while (done < s.size()) {
      ssize_t n = write(master, s.data() + done, s.size() - done);
      if (n > 0) {
        done += size_t(n);
      } else {
        pollfd p{master, POLLOUT, 0};
        poll(&p, 1, 100);
      }
    }
  }
  // Reads until `n` bytes came or `ms` passed.
  std::string Read(size_t n, int ms = 5000) const {
    std::string out;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < n && std::chrono::steady_clock::now() < until) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buf[4096];
      ssize_t got = read(master, buf, std::min(sizeof buf, n - out.size()));
      if (got > 0) out.append(buf, size_t(got));
    }
    return out;
  }
};

// Exposes StartThreads for the test of a second start.
class TestDispatcher : public TMroWin32Dispatcher {
 public:
  TestDispatcher() : TMroWin32Dispatcher(nullptr) {}
  using TMroWin32Dispatcher::StartThreads;
  using TMroWin32Dispatcher::OutputWaitingNow;
};

int32_t Open(TMroWin32Dispatcher& d, const std::string& name, uint32_t outSize = 4096) {
  return d.InitializePort(name, 115200, 0, 8, 1, 4096, outSize, ipDtrOn | ipRtsOn);
}

// Collects everything an availability handler reads.
struct Collector {
  std::mutex m;
  std::string data;
  std::atomic<int> notes{0};
  void Attach(TMroBaseDispatcher& d) {
    d.SetAvailLength(1);
    d.RegisterMethodHandler({this, [this, &d](UINT msg, WPARAM count, LPARAM) {
                               if (msg != MsgTriggerAvail) return;
                               std::string s(count, '\0');
                               if (d.ReadBlock(s.data(), uint32_t(count)) == int32_t(count)) {
                                 std::lock_guard g(m);
                                 data += s;
                               }
                               notes++;
                             }});
  }
  std::string WaitFor(size_t n, int ms = 5000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      {
        std::lock_guard g(m);
        if (data.size() >= n || std::chrono::steady_clock::now() > until) return data;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
};

std::string Pattern(size_t n, int seed = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = char((i * 31 + size_t(seed)) & 0xFF);
  return s;
}

TEST(Win32Device, FarEndBytesReachAnAvailabilityHandlerInOrder) {
  Pty pty;
  TMroWin32Dispatcher d(nullptr);
  ASSERT_EQ(Open(d, pty.slave), 0);
  Collector c;
  c.Attach(d);
  std::string sent = Pattern(50000, 3);  // every byte value, 0xFF included
  std::thread writer([&] {
    for (size_t at = 0; at < sent.size(); at += 997) pty.Write(sent.substr(at, 997));
  });
  std::string got = c.WaitFor(sent.size(), 20000);
  writer.join();
  EXPECT_EQ(got.size(), sent.size());
  EXPECT_TRUE(got == sent);
  EXPECT_GT(c.notes.load(), 0);
  d.ShutdownPort();
}

TEST(Win32Device, BytesHeldInTheDriverByAFullRingArriveOnceItIsRead) {
  Pty pty;
  TMroWin32Dispatcher d(nullptr);
  ASSERT_EQ(Open(d, pty.slave), 0);
  // More than the ring with no reader: the rest waits in the driver, and no
  // new byte comes after the far end stops to announce it.
  const std::string sent = Pattern(kDispatchBufferSize + 3000, 5);
  std::thread writer([&] { pty.Write(sent); });
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (d.InputUsed() < kDispatchBufferSize && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  writer.join();
  ASSERT_EQ(d.InputUsed(), kDispatchBufferSize);
  std::string got;
  while (got.size() < sent.size() && std::chrono::steady_clock::now() < until) {
    const uint32_t n = d.InputUsed();
    if (n == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    std::string part(n, '\0');
    ASSERT_EQ(d.ReadBlock(part.data(), n), int32_t(n));
    got += part;
  }
  EXPECT_EQ(got.size(), sent.size());
  EXPECT_TRUE(got == sent);
  d.ShutdownPort();
}

TEST(Win32Device, WrittenBlocksReachTheFarEndInOrderAcrossTheRingEnd) {
  Pty pty;
  TMroWin32Dispatcher d(nullptr);
  ASSERT_EQ(Open(d, pty.slave, 100), 0);
  std::string expected;
  std::string got;
  std::atomic<size_t> want{SIZE_MAX};
  std::thread reader([&] {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (got.size() < want && std::chrono::steady_clock::now() < until) got += pty.Read(1 << 16, 20);
  });
  int seed = 0;
  // Blocks of odd sizes in a 100-byte ring wrap it again and again.
  while (expected.size() < 20000) {
    std::string block = Pattern(size_t(7 + seed % 60), seed);
    ++seed;
    while (d.WriteBlock(block.data(), uint32_t(block.size())) == ecOutputBufferTooSmall)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    expected += block;
  }
  // A block of exactly the ring size once it has drained.
  while (d.OutputUsed() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::string full = Pattern(100, 99);
  ASSERT_EQ(d.WriteBlock(full.data(), 100), 0);
  expected += full;
  want = expected.size();
  reader.join();
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  d.ShutdownPort();
}

TEST(Win32Device, AnAnswerGoesStraightToAnIdleDriverAndNeverAheadOfTheRing) {
  Pty pty;
  TestDispatcher d;
  ASSERT_EQ(Open(d, pty.slave, 16384), 0);
  // Answered from inside the handler, with nothing queued: the driver has the
  // answer before WriteBlock returns, so no thread has to wake for it.
  std::atomic<int> leftInRing{-1};
  d.SetAvailLength(1);
  d.RegisterMethodHandler({&d, [&](UINT msg, WPARAM count, LPARAM) {
                             if (msg != MsgTriggerAvail) return;
                             char c[64];
                             d.ReadBlock(c, uint32_t(std::min<WPARAM>(count, sizeof c)));
                             d.WriteBlock("ack", 3);
                             leftInRing = int(d.OutputWaitingNow());
                           }});
  pty.Write("?");
  EXPECT_EQ(pty.Read(3), "ack");  // may arrive before the handler has returned
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (leftInRing.load() < 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(leftInRing.load(), 0);
  // The far end stops reading: once the driver is full the ring holds the
  // rest, and a later write goes behind it, not around it. (The driver frees
  // up to a few KiB more as the far end's queue takes them in: the ring is
  // filled well past that.)
  const std::string block = Pattern(4000, 3);
  std::string expected = "";
  for (int refused = 0; d.OutputWaitingNow() < 10000 && refused < 300;) {
    if (d.WriteBlock(block.data(), uint32_t(block.size())) == 0) {
      expected += block;
    } else {
      ++refused;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ASSERT_GE(d.OutputWaitingNow(), 10000u);
  ASSERT_EQ(d.WriteBlock("tail", 4), 0);
  EXPECT_GE(d.OutputWaitingNow(), 4u);
  expected += "tail";
  EXPECT_TRUE(pty.Read(expected.size(), 10000) == expected);
  d.ShutdownPort();
}

TEST(Win32Device, OutputWrittenBeforeTheCloseStillReachesTheFarEnd) {
  // The far end reads only after the close: bytes the ring had handed to the
  // driver (more than the far end's own queue takes) must not be flushed away
  // by the close, and a last line written just before it (a transfer's cancel)
  // still goes while the driver has room.
  Pty pty;
  TMroWin32Dispatcher d(nullptr);
  ASSERT_EQ(Open(d, pty.slave, 32768), 0);
  const std::string block = Pattern(6000, 7);
  ASSERT_EQ(d.WriteBlock(block.data(), uint32_t(block.size())), 0);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (d.OutputUsed() > 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::string last = "\x18\x18\x18\x18\x18" "bye";
  ASSERT_EQ(d.WriteBlock(last.data(), uint32_t(last.size())), 0);
  d.ShutdownPort();
  EXPECT_TRUE(pty.Read(block.size() + last.size()) == block + last);
}

TEST(Win32Device, OpenErrorsFollowTheLibraryNumbering) {
  Pty pty;
  TMroWin32Dispatcher first(nullptr);
  ASSERT_EQ(Open(first, pty.slave), 0);
  TMroWin32Dispatcher second(nullptr);
  EXPECT_EQ(Open(second, pty.slave), ecAccessDenied);  // held: "in use"
  EXPECT_EQ(second.LastOpenErrorText(), "in use by another program");
  EXPECT_FALSE(second.HasBuffers());
  first.ShutdownPort();
  TMroWin32Dispatcher missing(nullptr);
  EXPECT_EQ(Open(missing, "/dev/ttyZAV-missing"), ecFileNotFound);
  EXPECT_EQ(Open(missing, "/dev/no-such-dir/ttyS0"), ecPathNotFound);
  EXPECT_EQ(Open(missing, "/dev/null"), ecFileNotFound);  // not a serial device
  EXPECT_EQ(missing.LastOpenErrorText(), "not a serial device");
  // The first holder closed: the port opens again.
  EXPECT_EQ(Open(second, pty.slave), 0);
  second.ShutdownPort();
}

TEST(Win32Device, PurgingOutputAbandonsAPendingWrite) {
  Pty pty;
  TMroWin32Dispatcher d(nullptr);
  ASSERT_EQ(Open(d, pty.slave, 8192), 0);
  // The far end reads nothing: the kernel buffer fills and the write waits.
  // Blocks go in until one is refused for 300 ms on end: a ring that full
  // for that long is one the output thread cannot empty, not one it is slow to.
  std::string block = Pattern(4000);
  for (int blocks = 0, refused = 0; blocks < 100 && refused < 30;) {
    if (d.WriteBlock(block.data(), 4000) == 0) {
      ++blocks;
      refused = 0;
    } else {
      ++refused;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ASSERT_GT(d.OutputUsed(), 0u);
  EXPECT_EQ(d.PurgeOutput(), 0);
  EXPECT_EQ(d.OutputUsed(), 0u);
  EXPECT_FALSE(d.OutFull());
  // Still usable afterwards.
  std::string drain = pty.Read(1 << 20, 300);
  ASSERT_EQ(d.WriteBlock("after", 5), 0);
  std::string got = pty.Read(5, 5000);
  EXPECT_EQ(got, "after");
  d.ShutdownPort();
}

TEST(Win32Device, ClosingFromInsideAHandlerFinishesAfterItReturns) {
  Pty pty;
  TMroWin32Dispatcher d(nullptr);
  ASSERT_EQ(Open(d, pty.slave), 0);
  TEvent inHandler, handlerDone;
  std::atomic<bool> stillOpenInHandler{false};
  d.SetAvailLength(1);
  d.RegisterMethodHandler({&d, [&](UINT, WPARAM, LPARAM) {
                             d.ShutdownPort();
                             stillOpenInHandler = d.HasBuffers() && d.HasRunningThreads();
                             inHandler.Set();
                             handlerDone.Wait(2000);
                           }});
  pty.Write("x");
  ASSERT_TRUE(inHandler.Wait(5000));
  EXPECT_TRUE(stillOpenInHandler);  // nothing released under the handler
  handlerDone.Set();
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (d.HasRunningThreads() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_FALSE(d.HasRunningThreads());
  EXPECT_FALSE(d.HasBuffers());
  // The device is free again.
  TMroWin32Dispatcher again(nullptr);
  EXPECT_EQ(Open(again, pty.slave), 0);
}

TEST(Win32Device, ManyOpenCloseCyclesWithTraffic) {
  Pty pty;
  const int cycles = std::getenv("ZAV_SANITIZER_BUILD") ? 300 : 1000;
  for (int i = 0; i < cycles; ++i) {
    TMroWin32Dispatcher d(nullptr);
    ASSERT_EQ(Open(d, pty.slave), 0) << "cycle " << i;
    ASSERT_EQ(d.WriteBlock("ping", 4), 0);
    pty.Write("pong");
    if (i % 100 == 0) {
      EXPECT_EQ(pty.Read(4, 10000), "ping");
    }
    d.ShutdownPort();
  }
  pty.Read(1 << 20, 50);  // what is left
}

TEST(Win32Device, FarEndHangUpLeavesTheProcessIdleAndThePortClosable) {
  auto pty = std::make_unique<Pty>();
  std::string slave = pty->slave;
  TMroWin32Dispatcher d(nullptr);
  ASSERT_EQ(Open(d, slave), 0);
  pty.reset();  // the far end goes away
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!d.DeviceGone() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(d.DeviceGone());
  // Noticed: from here on nothing is left to do.
  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  getrusage(RUSAGE_SELF, &after);
  auto cpuMs = [](const rusage& r) {
    return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000.0 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000.0;
  };
  EXPECT_LT(cpuMs(after) - cpuMs(before), 50.0);
  EXPECT_TRUE(d.DeviceGone());
  EXPECT_EQ(d.WriteBlock("x", 1), ecDeviceGone);  // the failure reaches the writer, with its reason
  d.ShutdownPort();
  EXPECT_FALSE(d.HasRunningThreads());
}

TEST(Win32Device, StartingTheThreadsTwiceRaises) {
  Pty pty;
  TestDispatcher d;
  ASSERT_EQ(Open(d, pty.slave), 0);
  try {
    d.StartThreads();
    FAIL() << "no exception";
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "Dispatcher already started");
  }
  EXPECT_TRUE(d.HasRunningThreads());
  ASSERT_EQ(d.WriteBlock("still", 5), 0);
  EXPECT_EQ(pty.Read(5), "still");
  d.ShutdownPort();
}

TEST(Win32Device, AnyBaudRateIsWrittenAndReadBack) {
  Pty pty;
  TMroWin32Dispatcher d(nullptr);
  ASSERT_EQ(Open(d, pty.slave), 0);
  ASSERT_EQ(d.ConfigureLine(123457, kKeepParity, kKeepDataBits, 2), 0);
  int32_t baud;
  int parity, data, stop;
  ASSERT_EQ(d.QueryLine(baud, parity, data, stop), 0);
  EXPECT_EQ(baud, 123457);
  EXPECT_EQ(stop, 2);
  EXPECT_EQ(data, 8);
  // What a pseudo-terminal cannot do is not an error.
  EXPECT_EQ(d.SetDtr(false), 0);
  EXPECT_TRUE(d.CarrierPresent());
  d.SendBreakFor(1, false);
  d.ShutdownPort();
}

TEST(Win32Device, TelephonyHandleZeroIsNotOpen) {
  TMroTAPI32Dispatcher d(nullptr, 0);
  EXPECT_EQ(d.InitializePort("", 9600, 0, 8, 1, 4096, 4096, 0), ecCommNotOpen);
  EXPECT_FALSE(d.HasBuffers());
}

TEST(Win32Device, AFailedCallIsNamedWithItsReasonAndNumber) {
  TMroWin32Dispatcher d(nullptr);
  EXPECT_EQ(Open(d, "/dev/null"), ecFileNotFound);
  EXPECT_EQ(d.LastDeviceError(), "tcgetattr: not a serial device");
  EXPECT_EQ(Open(d, "/dev/ttyZAV-missing"), ecFileNotFound);
  EXPECT_EQ(d.LastDeviceError(), "open: no such device");
  // A handle that is not open is of no use to the telephony variant.
  TMroTAPI32Dispatcher tapi(nullptr, 9999);
  EXPECT_EQ(tapi.InitializePort("", 9600, 0, 8, 1, 4096, 4096, 0), ecInvalidHandle);
  EXPECT_EQ(tapi.LastDeviceError(), std::string("F_DUPFD: ") + std::strerror(EBADF));
  // An open port starts with a clean record.
  Pty pty;
  ASSERT_EQ(Open(d, pty.slave), 0);
  EXPECT_EQ(d.LastDeviceError(), "");
  d.ShutdownPort();
}

// An exception thrown by a handler on the dispatcher thread goes to the
// application's error reporter, not to stderr, and the thread serves on.
void ThrowingHandler(UINT msg, WPARAM, LPARAM) {
  if (msg == MsgTriggerAvail) throw Exception("handler failed");
}

TEST(Win32Device, AHandlerExceptionReachesTheErrorReporter) {
  std::mutex m;
  std::vector<std::string> reported;
  RegisterErrorReporter([&](const std::exception& e) {
    std::lock_guard lock(m);
    reported.push_back(e.what());
  });
  Pty pty;
  TMroWin32Dispatcher d(nullptr);
  ASSERT_EQ(Open(d, pty.slave), 0);
  d.SetAvailLength(1);
  d.RegisterProcHandler(&ThrowingHandler);
  auto count = [&] {
    std::lock_guard lock(m);
    return reported.size();
  };
  pty.Write("x");
  for (int i = 0; i < 500 && count() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  pty.Write("y");  // still served after the first failure
  for (int i = 0; i < 500 && count() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  d.ShutdownPort();
  RegisterErrorReporter({});
  ASSERT_GE(reported.size(), 2u);
  EXPECT_EQ(reported.front(), "handler failed");
}

TEST(Win32Device, TelephonyHandleAdoptsAnOpenDescriptor) {
  Pty pty;
  int fd = open(pty.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  {
    TMroTAPI32Dispatcher d(nullptr, fd);
    ASSERT_EQ(d.InitializePort("", 9600, 0, 8, 1, 4096, 4096, 0), 0);
    ASSERT_EQ(d.WriteBlock("tapi", 4), 0);
    EXPECT_EQ(pty.Read(4), "tapi");
  }
  close(fd);
}

// --- Port map ---------------------------------------------------------------------------

class PortMapTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("ZAVTERM_PORTS_DIR", dir.c_str(), 1); }
  void TearDown() override { unsetenv("ZAVTERM_PORTS_DIR"); }
  test::ScratchDir scratch{"zav-ports", false};
  fs::path dir = scratch.path();
};

TEST_F(PortMapTest, OverridesResolveComNames) {
  Pty a, b;
  fs::create_symlink(a.slave, dir / "com3");
  fs::create_symlink(b.slave, dir / "com12");
  EXPECT_EQ(ParseComName("\\\\.\\COM3"), 3);
  EXPECT_EQ(ParseComName("com12"), 12);
  EXPECT_EQ(ParseComName("/dev/ttyS0"), 0);
  EXPECT_EQ(ResolveDeviceName(ComDeviceName(3)), a.slave);
  EXPECT_EQ(ResolveDeviceName("/dev/pts/99"), "/dev/pts/99");  // a path stays a path
  auto ports = EnumeratePorts();
  bool saw3 = false, saw12 = false;
  for (auto& p : ports) {
    if (p.ComNumber == 3) {
      saw3 = p.Override && p.Device == a.slave && p.Description == "pseudo-terminal";
    }
    if (p.ComNumber == 12) saw12 = p.Override && p.Device == b.slave;
    EXPECT_LE(p.ComNumber, kMaxComNumber);
  }
  EXPECT_TRUE(saw3);
  EXPECT_TRUE(saw12);
  // Opening through the COM name reaches the pseudo-terminal.
  TMroWin32Dispatcher d(nullptr);
  ASSERT_EQ(Open(d, ComDeviceName(3)), 0);
  ASSERT_EQ(d.WriteBlock("via com3", 8), 0);
  EXPECT_EQ(a.Read(8), "via com3");
  d.ShutdownPort();
}

TEST_F(PortMapTest, AnUnmappedNumberIsNotFound) {
  TMroWin32Dispatcher d(nullptr);
  EXPECT_EQ(Open(d, ComDeviceName(kMaxComNumber)), ecFileNotFound);
  EXPECT_FALSE(LookupPort(51).has_value());
}

// --- In-band line-error marks -------------------------------------------------------------

TEST(ParmrkDecoder, DoubledFFAndMarksSplitAcrossReads) {
  TParmrkDecoder dec;
  uint32_t marks = 0, breaks = 0;
  uint8_t a[] = {'A', 0xFF};
  EXPECT_EQ(dec.Decode(a, 2, marks, breaks), 1u);
  uint8_t b[] = {0xFF, 'B', 0xFF, 0x00};
  size_t n = dec.Decode(b, 4, marks, breaks);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(b[0], 0xFF);
  EXPECT_EQ(b[1], 'B');
  uint8_t c[] = {'C', 0xFF, 0x00, 0x00, 'D'};
  n = dec.Decode(c, 5, marks, breaks);
  ASSERT_EQ(n, 2u);
  EXPECT_EQ(c[0], 'C');  // a byte with an error is kept
  EXPECT_EQ(c[1], 'D');  // a break gives no byte
  EXPECT_EQ(marks, 1u);
  EXPECT_EQ(breaks, 1u);
}

}  // namespace
}  // namespace zav
