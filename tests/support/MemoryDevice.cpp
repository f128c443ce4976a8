#include "tests/support/MemoryDevice.h"

#include <memory>

#include "serial/QxPort.h"

#include <algorithm>

namespace zav::test {

TMemoryDispatcher::TMemoryDispatcher(TComponent* owner) : TMroBaseDispatcher(owner) {
  deviceDcb.BaudRate = 19200;
  deviceDcb.Flags = dcbBinary;
}

TMemoryDispatcher::~TMemoryDispatcher() { CloseOnDestroy(); }

int32_t TMemoryDispatcher::Open(uint32_t inSize, uint32_t outSize, uint32_t options) {
  return InitializePort("mem", 9600, 0, 8, 1, inSize, outSize, options);
}

void TMemoryDispatcher::InjectReceived(const std::string& bytes) {
  std::lock_guard lock(m_);
  driverInput_.insert(driverInput_.end(), bytes.begin(), bytes.end());
}

void TMemoryDispatcher::InjectReceived(const std::vector<uint8_t>& bytes) {
  std::lock_guard lock(m_);
  driverInput_.insert(driverInput_.end(), bytes.begin(), bytes.end());
}

void TMemoryDispatcher::SetModemLines(uint8_t lines) {
  std::lock_guard lock(m_);
  modemLines_ = lines;
}

void TMemoryDispatcher::InjectLineErrors(uint32_t bits, uint32_t count) {
  {
    std::lock_guard lock(m_);
    errors_ |= bits;
  }
  CountLineErrors(bits, count);
}

std::string TMemoryDispatcher::Wire(uint32_t max) {
  std::string out;
  uint8_t buf[4096];
  while (out.size() < max) {
    const uint32_t n = TakeFromTransmitRing(buf, std::min<uint32_t>(sizeof buf, max - uint32_t(out.size())));
    if (n == 0) break;
    out.append(reinterpret_cast<const char*>(buf), n);
  }
  std::lock_guard lock(m_);
  sent_ += out;
  if (!out.empty()) lineLog_.push_back("> " + out);
  return out;
}

std::vector<std::string> TMemoryDispatcher::LineLog() const {
  std::lock_guard lock(m_);
  return lineLog_;
}

uint32_t TMemoryDispatcher::Loopback() {
  uint8_t buf[4096];
  uint32_t total = 0;
  while (OutputWaitingNow() > 0) {
    const uint32_t n = TakeFromTransmitRing(buf, sizeof buf);
    if (n == 0) break;
    std::lock_guard lock(m_);
    driverInput_.insert(driverInput_.end(), buf, buf + n);
    total += n;
  }
  return total;
}

std::string TMemoryDispatcher::Sent() const {
  std::lock_guard lock(m_);
  return sent_;
}

size_t TMemoryDispatcher::DriverInputWaiting() const {
  std::lock_guard lock(m_);
  return driverInput_.size();
}

int32_t TMemoryDispatcher::DeviceEscape(int function) {
  std::lock_guard lock(m_);
  escapes.push_back(function);
  const bool line = function == kEscSetDtr || function == kEscClrDtr || function == kEscSetRts || function == kEscClrRts;
  if (line && failEscapes) return -1;
  switch (function) {
    case kEscSetDtr: dtrLine = true; lineLog_.push_back("DTR on"); break;
    case kEscClrDtr: dtrLine = false; lineLog_.push_back("DTR off"); break;
    case kEscSetRts: rtsLine = true; lineLog_.push_back("RTS on"); break;
    case kEscClrRts: rtsLine = false; lineLog_.push_back("RTS off"); break;
    case kEscGetBaseAddress: return uartBase;
    default: return -1;
  }
  return 0;
}

int32_t TMemoryDispatcher::DevicePurge(bool input) {
  if (input) {
    std::lock_guard lock(m_);
    driverInput_.clear();
    ++purgesIn;
  } else {
    ClearTransmitRing();
    std::lock_guard lock(m_);
    ++purgesOut;
  }
  return 0;
}

uint32_t TMemoryDispatcher::DeviceReadErrors(TDeviceStatus& status) {
  TLockGuard out(OutputLock);
  std::lock_guard lock(m_);
  uint32_t bits = errors_;
  errors_ = 0;
  status.InQueue = uint32_t(driverInput_.size());
  status.OutQueue = OutputWaitingLocked();
  return bits;
}

int32_t TMemoryDispatcher::DeviceGetSettings(TDCB& dcb) {
  std::lock_guard lock(m_);
  dcb = deviceDcb;
  return 0;
}

int32_t TMemoryDispatcher::DeviceRead(uint8_t* buffer, uint32_t count) {
  std::lock_guard lock(m_);
  uint32_t n = std::min<uint32_t>(count, uint32_t(driverInput_.size()));
  for (uint32_t i = 0; i < n; ++i) {
    buffer[i] = driverInput_.front();
    driverInput_.pop_front();
  }
  return int32_t(n);
}

int32_t TMemoryDispatcher::DeviceSetSettings(const TDCB& dcb) {
  // Called under StatusLock, which comes after OutputLock: the level is read
  // without it.
  const uint32_t used = OutputWaitingNow();
  std::lock_guard lock(m_);
  settingsWrites.push_back(dcb);
  outputUsedAtSettingsWrite.push_back(used);
  if (setSettingsResult == 0) deviceDcb = dcb;
  return setSettingsResult;
}

int32_t TMemoryDispatcher::DeviceWrite(const uint8_t* data, uint32_t count) {
  if (failWrite) return 0;
  AppendToTransmitRing(data, count);
  return int32_t(count);
}

bool TMemoryDispatcher::DeviceSetupQueues(uint32_t, uint32_t) {
  if (failSetupQueues) SetLastError(kErrInvalidParameter);
  return !failSetupQueues;
}

int32_t TMemoryDispatcher::DeviceOpen(const std::string&, uint32_t, uint32_t) {
  if (failOpenWith != 0) {
    SetLastError(failOpenWith);
    return -1;
  }
  opened = true;
  DeviceHandle_ = 1;
  return DeviceHandle_;
}

int32_t TMemoryDispatcher::DeviceClose() {
  opened = false;
  DeviceHandle_ = -1;
  return 0;
}

void TMemoryDispatcher::DeviceSetBreak(bool on) {
  std::lock_guard lock(m_);
  breaks.push_back(on);
  lineLog_.push_back(on ? "break on" : "break off");
}

uint8_t TMemoryDispatcher::DeviceModemStatus() {
  std::lock_guard lock(m_);
  return modemLines_;
}

TMemoryDispatcher* OpenMemoryPort(TMroComPort& port, uint16_t com) {
  auto made = std::make_shared<TMemoryDispatcher*>(nullptr);  // the last device made
  port.DispatcherFactory = [made](TMroCustomComPort& p) {
    auto d = std::make_unique<TMemoryDispatcher>(&p);
    *made = d.get();
    return d;
  };
  port.SetComNumber(com);
  port.SetOpen(true);
  return *made;
}

}  // namespace zav::test
