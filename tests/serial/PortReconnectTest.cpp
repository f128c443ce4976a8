// A device going away under an open com port and coming back: the hang-up
// event once, writes refused with the reason, the reopen on the new device
// with the same settings, and what the identity of a device lets through.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "serial/PortWatch.h"
#include "serial/QxExcept.h"
#include "serial/QxPort.h"
#include "tests/support/MemoryDevice.h"
#include "tests/support/PtyPorts.h"
#include "tests/support/TestSupport.h"

namespace zav::test {
namespace {

namespace fs = std::filesystem;

class ReconnectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port = new TMroComPort(&form);
    port->SetPromptForPort(false);
    port->SetComNumber(2);
    port->SetBaud(57600);
    port->SetOnTriggerAvail([this](TMroCustomComPort* p, uint16_t n) {
      for (uint16_t i = 0; i < n; ++i) received += p->ReadByte();
    });
  }

  bool WriteFar(int fd, const std::string& s) { return write(fd, s.data(), s.size()) == ssize_t(s.size()); }

  TPtyPortMap map;
  TComponent form{nullptr};
  TMroComPort* port = nullptr;
  std::string received;
};

TEST_F(ReconnectTest, HangUpIsReportedOnceAndWritesSayTheDeviceIsGone) {
  map.AddPort(2);
  int gone = 0;
  port->OnDeviceGone = [&](TComponent*) { ++gone; };
  port->SetOpen(true);
  port->SendString("before");
  map.Unplug(2);
  ASSERT_TRUE(PumpUntil([&] { return gone > 0; }));
  EXPECT_TRUE(port->Open());
  EXPECT_TRUE(port->DeviceGone());
  try {
    port->SendString("after");
    ADD_FAILURE() << "a write to a gone device succeeded";
  } catch (const EDeviceGone& e) {
    EXPECT_EQ(e.ErrorCode, ecDeviceGone);
    EXPECT_STREQ(e.what(), "Device is gone (unplugged or hung up)");
  }
  DrainQueue();
  EXPECT_EQ(gone, 1);
  port->SetOpen(false);  // a gone device closes cleanly
  EXPECT_EQ(port->PortPhase, TPortPhase::ppClosed);
}

TEST_F(ReconnectTest, ThePortReopensOnTheNewDeviceWithItsSettings) {
  map.AddPort(2);
  TPortReconnect reconnect(*port);
  int gone = 0, back = 0;
  reconnect.OnGone = [&] { ++gone; };
  reconnect.OnBack = [&] { ++back; };
  port->SetOpen(true);
  map.Unplug(2);
  ASSERT_TRUE(PumpUntil([&] { return reconnect.Waiting(); }));
  EXPECT_EQ(gone, 1);
  // Nothing is there yet: it stays waiting.
  DrainQueue();
  EXPECT_EQ(back, 0);

  const auto& fresh = map.AddPort(2);
  ASSERT_TRUE(PumpUntil([&] { return back == 1; }));
  EXPECT_FALSE(reconnect.Waiting());
  EXPECT_TRUE(port->Open());
  EXPECT_FALSE(port->DeviceGone());
  EXPECT_EQ(port->OwnedDispatcher->CurrentBaud(), 57600);

  // Both ways on the new device.
  ASSERT_TRUE(WriteFar(fresh.master, "hello"));
  ASSERT_TRUE(PumpUntil([&] { return received == "hello"; })) << received;
  port->SendString("back again");
  EXPECT_EQ(ReadFarEnd(fresh.master, 10), "back again");

  // And a second time round.
  map.Unplug(2);
  ASSERT_TRUE(PumpUntil([&] { return reconnect.Waiting(); }));
  map.AddPort(2);
  ASSERT_TRUE(PumpUntil([&] { return back == 2; }));
  EXPECT_EQ(gone, 2);
}

TEST_F(ReconnectTest, SwitchedOffItOnlyReports) {
  map.AddPort(2);
  TPortReconnect reconnect(*port);
  reconnect.SetEnabled(false);
  int back = 0;
  reconnect.OnBack = [&] { ++back; };
  port->SetOpen(true);
  map.Unplug(2);
  ASSERT_TRUE(PumpUntil([&] { return reconnect.Waiting(); }));
  map.AddPort(2);
  PumpUntil([] { return false; }, 1);
  EXPECT_EQ(back, 0);
  EXPECT_TRUE(port->DeviceGone());
  // Switched on while waiting, it finds the device already back.
  reconnect.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return back == 1; }));
}

TEST(DeviceIdentity, BackOnlyWhenThePathLeadsToAnotherNode) {
  TPtyPortMap map;
  const auto& first = map.AddPort(3);
  const TDeviceIdentity id = IdentifyComNumber(3);
  EXPECT_EQ(id.Path, (map.Dir() / "com3").string());
  EXPECT_TRUE(id.NodeKnown);
  EXPECT_FALSE(DeviceBack(id, true)) << "the node still held open";
  EXPECT_TRUE(DeviceBack(id, false)) << "a node let go may be the same number again";
  map.Unplug(3);
  EXPECT_FALSE(DeviceBack(id, false)) << "a link to nothing";
  map.AddPort(3);
  EXPECT_TRUE(DeviceBack(id, false));
  EXPECT_EQ(ComNumberNow(id), 3);

  // A path opened as it is.
  const TDeviceIdentity byPath = IdentifyDevice(first.path);
  EXPECT_EQ(byPath.Path, first.path);
  EXPECT_EQ(byPath.ComNumber, 0);
  EXPECT_TRUE(IdentifyDevice("rfc2217://localhost:2217").Path.empty()) << "network ports are not watched";
}

}  // namespace
}  // namespace zav::test
