// The network device against servers on the loopback network: a scripted one
// for the exact bytes and for a hostile server, ser2net serving a
// pseudo-terminal, pyserial's RFC 2217 server for the modem lines; and the
// ways an open fails.
#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "serial/PortMap.h"
#include "serial/QwNet.h"
#include "serial/QxPort.h"
#include "tests/support/NetPeers.h"
#include "tests/support/PtyPorts.h"

namespace zav {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::TScriptedServer;

std::string S(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += char(b);
  return s;
}
std::string Sb(std::initializer_list<int> body) { return S({255, 250, 44}) + S(body) + S({255, 240}); }

// ser2net's answer to our opening: binary both ways, Com Port Control.
const std::string kAgree = S({255, 253, 0, 255, 251, 0, 255, 253, 44});

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5000ms) {
  const auto until = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

std::string Local(uint16_t port, const std::string& scheme = "rfc2217") {
  return scheme + "://127.0.0.1:" + std::to_string(port);
}

int32_t Open(TMroBaseDispatcher& d, const std::string& address, int parity = 0, int dataBits = 8, int stopBits = 1) {
  return d.InitializePort(address, 9600, parity, dataBits, stopBits, 4096, 4096, ipDtrOn | ipRtsOn);
}

// Reads from the receive ring until `n` bytes came or the time is up.
std::string Read(TMroBaseDispatcher& d, size_t n) {
  std::string got;
  WaitUntil([&] {
    char buf[4096];
    const int32_t k = d.ReadBlock(buf, std::min<uint32_t>(d.InputUsed(), sizeof buf));
    if (k > 0) got.append(buf, size_t(k));
    return got.size() >= n;
  });
  return got;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(NetDevice, SpeaksComPortControlAndCarriesDataBothWays) {
  TScriptedServer server(kAgree);
  TMroNetDispatcher d(nullptr);
  ASSERT_EQ(Open(d, Local(server.Port()), 2, 7, 2), 0) << d.LastOpenErrorText();
  EXPECT_TRUE(d.ComPortAccepted());
  // The settings of the open, and DTR and RTS on once each however often
  // the open asserts them.
  for (const std::string& request : {Sb({1, 0, 0, 0x25, 0x80}), Sb({2, 7}), Sb({3, 3}), Sb({4, 2}), Sb({5, 1})})
    EXPECT_TRUE(server.WaitFor(request)) << testing::PrintToString(request);
  EXPECT_EQ(Count(server.Received(), Sb({5, 8})), 1u);
  EXPECT_EQ(Count(server.Received(), Sb({5, 11})), 1u);

  ASSERT_EQ(d.WriteBlock("a\xff\rz", 4), 0);
  EXPECT_TRUE(server.WaitFor("a\xff\xff\rz"));
  server.Send("b\xff\xffy");
  EXPECT_EQ(Read(d, 3), "b\xffy");

  d.SendBreakFor(1, false);
  d.SetDtr(false);
  d.PurgeOutput();
  EXPECT_TRUE(server.WaitFor(Sb({5, 5}) + Sb({5, 6}) + Sb({5, 9}) + Sb({12, 2})));

  // Notifications: DSR drops (with its delta), then a break.
  server.Send(Sb({107, 0x92}));
  EXPECT_TRUE(WaitUntil([&] { return (d.ModemBits() & (mbDsr | mbDeltaDsr)) == mbDeltaDsr; }));
  EXPECT_TRUE(d.ModemBits() & mbCts);
  server.Send(Sb({106, 0x10}));
  EXPECT_TRUE(WaitUntil([&] { return d.TakeLineBreak(); }));
  d.ShutdownPort();
}

TEST(NetDevice, DataGoesAtTheRateOfTheFarLinePlusALead) {
  // 9600 8N1 carries 960 bytes a second; a streaming sender must not have
  // seconds of data waiting in the network when its peer answers.
  TScriptedServer server(kAgree);
  TMroNetDispatcher d(nullptr);
  ASSERT_EQ(Open(d, Local(server.Port())), 0);
  const std::string data(4000, 'p');
  const auto start = Clock::now();
  ASSERT_EQ(d.WriteBlock(data.data(), uint32_t(data.size())), 0);
  std::this_thread::sleep_for(500ms);
  // What has arrived is the lead (2048 bytes) and what the far line carried
  // meanwhile, however long the machine took to come back here.
  const size_t early = Count(server.Received(), "p");
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_LT(double(early), 2048 + 1 + 960 * 1.01 * took + 64) << "after " << took << " s";
  EXPECT_TRUE(server.WaitFor(data));
  EXPECT_GT(Clock::now() - start, 1500ms);
}

TEST(NetDevice, AServerWithoutComPortControlCarriesDataOnlyOrFails) {
  const std::string refuse = S({255, 253, 0, 255, 251, 0, 255, 254, 44});
  TScriptedServer plain(refuse);
  TMroNetDispatcher d(nullptr);
  ASSERT_EQ(Open(d, Local(plain.Port())), 0);
  EXPECT_FALSE(d.ComPortAccepted());
  ASSERT_EQ(d.Warnings().size(), 2u);
  EXPECT_NE(d.Warnings()[0].find("refused RFC 2217"), std::string::npos);
  EXPECT_NE(d.Warnings()[1].find("rate stays the server's"), std::string::npos);
  d.SetDtr(false);
  ASSERT_EQ(d.WriteBlock("data", 4), 0);
  EXPECT_TRUE(plain.WaitFor("data"));
  EXPECT_EQ(plain.Received().find("\xff\xfa"), std::string::npos);  // nothing of Com Port Control
  d.ShutdownPort();

  TScriptedServer again(refuse);
  TMroNetDispatcher strict(nullptr);
  EXPECT_EQ(Open(strict, Local(again.Port()), 2, 7, 1), ecNotSupported);
  EXPECT_NE(strict.LastOpenErrorText().find("7E1 cannot be set"), std::string::npos);
}

TEST(NetDevice, RawTcpCarriesBytesAsTheyAre) {
  TScriptedServer server;
  TMroNetDispatcher d(nullptr);
  ASSERT_EQ(Open(d, Local(server.Port(), "tcp"), 1, 7, 2), 0);
  d.SetDtr(false);
  d.SendBreakFor(1, false);
  ASSERT_EQ(d.WriteBlock("\xff\r\0x", 4), 0);
  EXPECT_TRUE(server.WaitFor(std::string("\xff\r\0x", 4)));
  EXPECT_EQ(server.Received(), std::string("\xff\r\0x", 4));
  server.Send(std::string("\xff\xfd\x01", 3));
  EXPECT_EQ(Read(d, 3), "\xff\xfd\x01");
  EXPECT_EQ(d.ModemBits() & 0xF0, mbCts | mbDsr | mbDcd);
}

TEST(NetDevice, ADroppedConnectionIsTheDeviceGoingAway) {
  TScriptedServer server(kAgree);
  TMroNetDispatcher d(nullptr);
  ASSERT_EQ(Open(d, Local(server.Port())), 0);
  EXPECT_FALSE(d.DeviceGone());
  server.Hangup();
  EXPECT_TRUE(WaitUntil([&] { return d.DeviceGone(); }));
  EXPECT_EQ(d.WriteBlock("x", 1), ecDeviceGone);
  const auto start = Clock::now();
  d.ShutdownPort();
  EXPECT_LT(Clock::now() - start, 1s);
}

TEST(NetDevice, FailuresToConnectAreClearAndBounded) {
  test::TSilentListener silent;
  const struct {
    std::string address;
    int32_t error;
    std::string reason;
  } cases[] = {
      {Local(test::FreeLoopbackPort()), -10061, "nothing listens at 127.0.0.1:"},
      {Local(silent.Port()) + "?timeout=300", -10060, "no answer from 127.0.0.1:"},
      {"rfc2217://127.0.0.1", -10022, "no :PORT"},
      {"tcp://[::1:80", -10022, "closing ]"},
      {"rfc2217://:80", -9005, "no host"},
  };
  for (const auto& c : cases) {
    TMroNetDispatcher d(nullptr);
    const auto start = Clock::now();
    EXPECT_EQ(Open(d, c.address), c.error) << c.address;
    EXPECT_LT(Clock::now() - start, 2s) << c.address;
    EXPECT_NE(d.LastOpenErrorText().find(c.reason), std::string::npos) << d.LastOpenErrorText();
  }
}

TEST(NetDevice, AHostileServerCannotStallTheDispatcher) {
  // An endless subnegotiation, a flood of requests, and a server that reads
  // none of our replies: the data after it still comes, and no call of
  // ours waits for the server.
  std::string hostile = S({255, 250, 44, 107}) + std::string(1 << 20, 'A');
  for (int i = 0; i < 100000; ++i) hostile += std::string("\xff\xfd") + char(100 + i % 100);
  TScriptedServer server(kAgree);
  server.PauseReading(true);
  TMroNetDispatcher d(nullptr);
  ASSERT_EQ(Open(d, Local(server.Port())), 0);
  std::thread flood([&] { server.Send(hostile + S({255, 240}) + "hello"); });
  EXPECT_EQ(Read(d, 5), "hello");
  flood.join();
  EXPECT_EQ(d.DroppedSubnegotiations(), 1u);
  std::string block(4096, 'x');
  for (int i = 0; i < 200; ++i) {
    const auto start = Clock::now();
    d.WriteBlock(block.data(), uint32_t(block.size()));
    d.SetDtr(i % 2);
    EXPECT_LT(Clock::now() - start, 200ms);
  }
  server.Hangup();
  EXPECT_TRUE(WaitUntil([&] { return d.DeviceGone(); }));
  d.ShutdownPort();
}

TEST(NetDevice, Ser2NetSetsThePseudoTerminalItServes) {
  int master = -1, slave = -1;
  char name[256];
  ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
  termios raw{};
  tcgetattr(master, &raw);
  cfmakeraw(&raw);
  tcsetattr(master, TCSANOW, &raw);
  {
    test::TSer2Net ser2net(name);
    TMroNetDispatcher d(nullptr);
    ASSERT_EQ(Open(d, ser2net.Address(), 2, 7, 2), 0) << d.LastOpenErrorText();
    // ser2net takes every value and says so ...
    EXPECT_TRUE(WaitUntil([&] {
      const auto s = d.ServerLine();
      return s.BaudRate == 9600 && s.DataSize == 7 && s.Parity == telnet::parEven && s.StopSize == telnet::stopTwo;
    }));
    // ... and the terminal shows the rate and the stop bits. A pseudo-terminal
    // keeps 8 data bits without parity whatever it is told (the kernel's pty
    // driver forces them), so those two can only be seen in ser2net's answers.
    termios t{};
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB), tcflag_t(CS8));
    EXPECT_EQ(d.ConfigureLine(19200, kKeepParity, kKeepDataBits, 1), 0);
    EXPECT_EQ(d.SetHardwareFlow(3000, 1000, hwfUseRTS | hwfRequireCTS), 0);
    EXPECT_TRUE(WaitUntil([&] {
      tcgetattr(slave, &t);
      return cfgetospeed(&t) == B19200 && !(t.c_cflag & CSTOPB) && (t.c_cflag & CRTSCTS);
    }));
    // A break goes to ser2net and is answered (a pseudo-terminal shows none;
    // ser2net 4.3 answers the end of a break with the value of its start).
    EXPECT_TRUE(WaitUntil([&] { return d.ServerLine().Control == telnet::ctlFlowHardware; }));
    d.SendBreakFor(1, false);
    EXPECT_TRUE(WaitUntil([&] {
      const uint8_t answer = d.ServerLine().Control;
      return answer == telnet::ctlBreakOn || answer == telnet::ctlBreakOff;
    }));

    ASSERT_EQ(d.WriteBlock("ping\xff", 5), 0);
    EXPECT_EQ(test::ReadFarEnd(master, 5), "ping\xff");
    ASSERT_EQ(write(master, "pong\xff", 5), 5);
    EXPECT_EQ(Read(d, 5), "pong\xff");
    d.ShutdownPort();
  }
  close(master);
  close(slave);
}

TEST(NetDevice, PyserialsServerSeesTheLinesAndReportsItsOwn) {
  test::TPyRfc2217Peer peer;
  TMroNetDispatcher d(nullptr);
  ASSERT_EQ(Open(d, peer.Address(), 3, 8, 2), 0) << d.LastOpenErrorText();
  EXPECT_TRUE(peer.WaitForLog("line baud 9600 data 8 parity M stop 2 flow none")) << peer.Log();
  // DSR follows DTR and CTS follows RTS at the far end: what we send comes
  // back as the modem state the server notifies.
  d.SetDtr(false);
  EXPECT_TRUE(peer.WaitForLog("DTR off"));
  EXPECT_TRUE(WaitUntil([&] { return !(d.ModemBits() & mbDsr) && (d.ModemBits() & mbCts); }));
  d.SetRts(false);
  EXPECT_TRUE(peer.WaitForLog("RTS off"));
  EXPECT_TRUE(WaitUntil([&] { return !(d.ModemBits() & mbCts); }));
  d.SetDtr(true);
  EXPECT_TRUE(WaitUntil([&] { return d.ModemBits() & mbDsr; }));
  EXPECT_TRUE(d.CarrierPresent());
  d.SendBreakFor(1, false);
  d.PurgeOutput();
  EXPECT_TRUE(peer.WaitForLog("break off"));
  EXPECT_TRUE(peer.WaitForLog("purge out"));
  ASSERT_EQ(d.WriteBlock("echo\xff\r", 6), 0);
  EXPECT_EQ(Read(d, 6), "echo\xff\r");
  EXPECT_EQ(d.ProtocolErrors(), 0u);
  d.ShutdownPort();
  EXPECT_TRUE(peer.WaitForLog("closed"));
}

TEST(NetDevice, AComNumberOfThePortMapOpensANetworkPort) {
  test::TPtyPortMap ports;
  test::TPyRfc2217Peer peer;
  ports.AddNetworkPort(5, peer.Address());
  ports.AddNetworkPort(6, Local(test::FreeLoopbackPort()));
  EXPECT_EQ(ResolveDeviceName("COM5"), peer.Address());
  TComponent form(nullptr);
  TMroComPort port(&form);
  port.SetComNumber(5);
  port.SetOpen(true);
  EXPECT_NE(dynamic_cast<TMroNetDispatcher*>(port.OwnedDispatcher.get()), nullptr);
  std::string received;
  port.SetOnTriggerAvail([&](TMroCustomComPort* cp, uint16_t count) {
    for (uint16_t i = 0; i < count; ++i) received += cp->ReadByte();
  });
  port.SendString("hi");
  EXPECT_TRUE(test::PumpUntil([&] { return received == "hi"; }));
  port.SetOpen(false);
  EXPECT_TRUE(test::PumpUntil([&] { return port.PortPhase == TPortPhase::ppClosed; }));

  TMroComPort refused(&form);
  refused.SetComNumber(6);
  try {
    refused.SetOpen(true);
    FAIL();
  } catch (const EOpenComm& e) {
    EXPECT_EQ(e.ErrorCode, -10061);
    EXPECT_EQ(std::string(e.what()).find("Connection refused: nothing listens at"), 0u) << e.what();
  }
}

}  // namespace
}  // namespace zav
