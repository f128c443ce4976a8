// An in-memory device behind the dispatcher's device operations: the far end of
// the line is this object. Tests inject received bytes, modem-line changes,
// breaks and line errors, and read back what was sent and every settings write.
// There are no threads: a test runs the dispatcher's passes itself (Pass), and
// Wire() plays the line taking bytes from the transmit ring.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "serial/QwUser.h"

namespace zav {
class TMroComPort;
}

namespace zav::test {

class TMemoryDispatcher : public TMroBaseDispatcher {
 public:
  explicit TMemoryDispatcher(TComponent* owner = nullptr);
  ~TMemoryDispatcher() override;

  // Opens with the usual defaults: 9600 8N1, 4096/4096, DTR and RTS on.
  int32_t Open(uint32_t inSize = 4096, uint32_t outSize = 4096, uint32_t options = ipDtrOn | ipRtsOn);

  // The far end.
  void InjectReceived(const std::string& bytes);
  void InjectReceived(const std::vector<uint8_t>& bytes);
  void SetModemLines(uint8_t lines);  // CTS 0x10, DSR 0x20, RI 0x40, DCD 0x80
  // `count` errors of each kind in `bits`, as the device tells the dispatcher.
  void InjectLineErrors(uint32_t bits, uint32_t count = 1);
  void SignalRing() { RingSeen = true; }
  // Moves up to `max` bytes from the transmit ring to the wire; returns them.
  std::string Wire(uint32_t max = 0xFFFFFFFF);
  std::string Sent() const;  // everything put on the wire so far
  // A loop-back plug: the transmit ring's bytes arrive as received bytes.
  uint32_t Loopback();
  size_t DriverInputWaiting() const;

  // One dispatcher pass over the receive side.
  bool Pass() { return FillInputBuffer(); }

  // What the device was told.
  std::vector<TDCB> settingsWrites;
  std::vector<uint32_t> outputUsedAtSettingsWrite;
  std::vector<int> escapes;
  std::vector<bool> breaks;
  // Everything the line saw, in order: "> BYTES" per Wire that moved some,
  // "DTR on", "RTS off", "break on", ...
  std::vector<std::string> LineLog() const;
  bool dtrLine = false, rtsLine = false;
  int purgesIn = 0, purgesOut = 0;
  bool opened = false;

  // Failure injection.
  uint32_t failOpenWith = 0;  // a platform error number
  bool failSetupQueues = false;
  int32_t setSettingsResult = 0;
  bool failWrite = false;
  bool failEscapes = false;  // modem-line calls fail
  bool togglesRts = true;
  bool hasModemLines = true;
  bool DeviceHasModemLines() const override { return hasModemLines; }
  uint16_t uartBase = 0;
  TDCB deviceDcb;  // the device's own control block

  // Exposed for the tests of notification bookkeeping.
  using TMroBaseDispatcher::BeginAvailNotification;
  // What a dispatcher thread does on its way out after a deferred close.
  using TMroBaseDispatcher::CloseOnDestroy;

 protected:
  int32_t DeviceEscape(int function) override;
  int32_t DevicePurge(bool input) override;
  uint32_t DeviceReadErrors(TDeviceStatus& status) override;
  int32_t DeviceErrorHook(int32_t) override { return 0; }
  int32_t DeviceGetSettings(TDCB& dcb) override;
  int32_t DeviceRead(uint8_t* buffer, uint32_t count) override;
  int32_t DeviceSetSettings(const TDCB& dcb) override;
  int32_t DeviceWrite(const uint8_t* data, uint32_t count) override;
  bool DeviceSetupQueues(uint32_t, uint32_t) override;
  void StartThreads() override { ThreadsRunning = true; }
  void StopThreads() override { ThreadsRunning = false; }
  int32_t DeviceOpen(const std::string& name, uint32_t inSize, uint32_t outSize) override;
  int32_t DeviceClose() override;
  int32_t DeviceYield() override { return 0; }
  void DeviceSetBreak(bool on) override;
  uint8_t DeviceModemStatus() override;
  bool DeviceTogglesRts() const override { return togglesRts; }

 private:
  mutable std::mutex m_;
  std::deque<uint8_t> driverInput_;
  uint8_t modemLines_ = 0;
  uint32_t errors_ = 0;
  std::string sent_;
  std::vector<std::string> lineLog_;
};

// Opens `port` as COM`com` on a new in-memory device; the device (owned by
// the port's dispatcher), or null when the port did not open.
TMemoryDispatcher* OpenMemoryPort(TMroComPort& port, uint16_t com = 3);

}  // namespace zav::test
