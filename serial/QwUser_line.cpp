// Line settings, modem control lines, modem and line status, flow control,
// RS-485 and thread priorities.
#include <algorithm>
#include <thread>

#include "serial/QwUser.h"
#include "serial/QxExcept.h"

namespace zav {
namespace {

// Baud codes 0xFF10 .. 0xFF27, in code order; 0 = not translated.
constexpr int32_t kBaudCodes[] = {110,   300, 600, 1200, 2400,  4800, 9600, 14400, 19200, 0, 0, 38400,
                                  0,     0,   0,   56000, 0,    0,    0,    128000, 0,    0, 0, 256000};

constexpr uint32_t kForcedSet = dcbBinary | dcbTXContinueOnXoff;
constexpr uint32_t kForcedClear = dcbParity | dcbDsrSensitivity | dcbNull;

}  // namespace

int32_t TranslateBaud(int32_t stored) {
  if (stored == 0xFEFF) return 115200;
  if (stored >= 0xFF10 && stored <= 0xFF27) {
    int32_t rate = kBaudCodes[stored - 0xFF10];
    if (rate != 0) return rate;
  }
  return stored;
}

// --- Line settings -------------------------------------------------------------

int32_t TMroBaseDispatcher::ConfigureLine(int32_t baud, int parity, int dataBits, int stopBits) {
  TDCB wanted;
  {
    TLockGuard status(StatusLock);
    DeviceGetSettings(LineSettings_);
    TDCB current = LineSettings_;
    current.Flags = (current.Flags | kForcedSet) & ~kForcedClear;
    wanted = current;
    if (baud != kKeepBaud) wanted.BaudRate = uint32_t(baud);
    if (parity != kKeepParity) wanted.Parity = uint8_t(parity);
    if (dataBits != kKeepDataBits) wanted.ByteSize = uint8_t(dataBits);
    if (stopBits != kKeepStopBits) {
      int sb = stopBits == 0 ? 1 : (stopBits > 3 ? 2 : stopBits);
      wanted.StopBits = sb == 1 ? 0 : 2;
    }
    if (wanted.ByteSize == 5) wanted.StopBits = 1;  // 5 data bits: one and a half
    if (wanted.BaudRate == current.BaudRate && wanted.Parity == current.Parity &&
        wanted.ByteSize == current.ByteSize && wanted.StopBits == current.StopBits)
      return 0;
  }
  WaitOutputDrained();
  TLockGuard status(StatusLock);
  TDCB dcb;
  DeviceGetSettings(dcb);
  dcb.BaudRate = wanted.BaudRate;
  dcb.Parity = wanted.Parity;
  dcb.ByteSize = wanted.ByteSize;
  dcb.StopBits = wanted.StopBits;
  return ApplyLineSettings(dcb);
}

void TMroBaseDispatcher::WaitOutputDrained() {
  for (int i = 0; i < 5000 && OutputUsed() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  TDCB dcb;
  {
    TLockGuard status(StatusLock);
    DeviceGetSettings(LineSettings_);
    dcb = LineSettings_;
  }
  int64_t bits = dcb.ByteSize + 2;
  if (dcb.Parity != 0) ++bits;
  if (dcb.StopBits != 0) ++bits;
  int64_t rate = std::max<int64_t>(TranslateBaud(CurrentBaud_), 1);
  int64_t t = (10000000 / rate) * bits * 18;  // 100 ns units: about 18 character times
  if (t < 10000) t *= 2;
  std::this_thread::sleep_for(std::chrono::milliseconds((t + 9999) / 10000));
}

int32_t TMroBaseDispatcher::ApplyLineSettings(TDCB& dcb) {
  TLockGuard status(StatusLock);
  if (!DtrHandshake_) dcb.Flags = (dcb.Flags & ~dcbDtrControlMask) | (DtrAsserted_ ? dcbDtrEnable : dcbDtrDisable);
  if (!RtsHandshake_) dcb.Flags = (dcb.Flags & ~dcbRtsControlMask) | (RtsAsserted_ ? dcbRtsEnable : dcbRtsDisable);
  int32_t rc = DeviceSetSettings(dcb);
  LineSettings_ = dcb;
  DeviceGetSettings(LineSettings_);
  CurrentBaud_ = int32_t(dcb.BaudRate);
  SetDtr(DtrAsserted_);
  if (!Rs485_) SetRts(RtsAsserted_);
  return rc;
}

int32_t TMroBaseDispatcher::QueryLine(int32_t& baud, int& parity, int& dataBits, int& stopBits) {
  TLockGuard status(StatusLock);
  int32_t rc = DeviceGetSettings(LineSettings_);
  baud = TranslateBaud(int32_t(LineSettings_.BaudRate));
  parity = LineSettings_.Parity;
  dataBits = LineSettings_.ByteSize;
  stopBits = LineSettings_.StopBits != 0 ? 2 : 1;
  return rc;
}

// --- Modem control lines ----------------------------------------------------------

int32_t TMroBaseDispatcher::SetDtr(bool on) {
  if (DtrHandshake_) return 1;
  int32_t rc = DeviceEscape(on ? kEscSetDtr : kEscClrDtr);
  DtrAsserted_ = on;
  return rc < 0 ? ecBadArgument : rc;
}

int32_t TMroBaseDispatcher::SetRts(bool on) {
  if (RtsHandshake_) return 1;
  int32_t rc = DeviceEscape(on ? kEscSetRts : kEscClrRts);
  RtsAsserted_ = on;
  return rc < 0 ? ecBadArgument : rc;
}

void TMroBaseDispatcher::SendBreakFor(int32_t ticks, bool yield) {
  DeviceSetBreak(true);
  DelayTicks(ticks, yield);
  DeviceSetBreak(false);
}

// --- Modem and line status ----------------------------------------------------------

uint8_t TMroBaseDispatcher::ReadModemBits(uint8_t keepMask) {
  TLockGuard status(StatusLock);
  uint8_t lines = DeviceModemStatus() & 0xF0;
  uint32_t bits = lines | (ModemBits_ & 0x0F);
  if (RingSeen.exchange(false)) bits |= mbTrailingRing;
  ModemBits_ = bits & keepMask;
  return uint8_t(bits);
}

void TMroBaseDispatcher::RefreshModemBits() {
  TLockGuard status(StatusLock);
  uint32_t old = ModemBits_;
  ReadModemBits(0xFF);
  uint32_t changed = (old ^ ModemBits_) & 0xF0;
  // CTS, DSR, RI, DCD changes become DCTS, DDSR, TERI, DDCD.
  ModemBits_ |= changed >> 4;
}

bool TMroBaseDispatcher::CarrierPresent() { return (ReadModemBits(0xF7) & mbDcd) != 0; }

void TMroBaseDispatcher::RefreshLineErrors() {
  TLockGuard out(OutputLock);
  PendingLineErrors_ |= DeviceReadErrors(DeviceStatus) & 0x1F;
}

void TMroBaseDispatcher::CountLineErrors(uint32_t bits, uint32_t n) {
  if (bits & leParity) ParityErrors_ += n;
  if (bits & leFraming) FramingErrors_ += n;
  if (bits & (leOverrun | leRxOverflow)) Overruns_ += (bits & leOverrun ? n : 0) + (bits & leRxOverflow ? n : 0);
  if (bits & leBreak) BreaksSeen_ += n;
}

TLineErrorCounts TMroBaseDispatcher::LineErrorCounts() const {
  return {ParityErrors_.load(), FramingErrors_.load(), Overruns_.load(), BreaksSeen_.load()};
}

std::string FormatLineErrorCounts(const TLineErrorCounts& c) {
  return "parity " + std::to_string(c.Parity) + ", framing " + std::to_string(c.Framing) + ", overruns " +
         std::to_string(c.Overruns) + ", breaks " + std::to_string(c.Breaks);
}

int32_t TMroBaseDispatcher::TakeLineError() {
  TLockGuard status(StatusLock);
  uint32_t pending = PendingLineErrors_.load();
  int32_t result = 0;
  if (pending & leRxOverflow)
    result = 1;
  else if (pending & leOverrun)
    result = 2;
  else if (pending & leParity)
    result = 3;
  else if (pending & leFraming)
    result = 4;
  else if (pending & leBreak)
    result = 9;
  if (result != 0) PendingLineErrors_ &= ~uint32_t(0x0F);  // the break bit stays for TakeLineBreak
  return result;
}

bool TMroBaseDispatcher::TakeLineBreak() {
  TLockGuard status(StatusLock);
  return (PendingLineErrors_.fetch_and(~leBreak) & leBreak) != 0;
}

// --- Flow control ------------------------------------------------------------------

int32_t TMroBaseDispatcher::SetHardwareFlow(uint32_t full, uint32_t resume, uint32_t options) {
  TLockGuard status(StatusLock);
  if (resume > full || full > DriverInSize) return ecBadArgument;
  TDCB dcb = LineSettings_;
  dcb.Flags &= ~(dcbOutxCtsFlow | dcbOutxDsrFlow | dcbDtrControlMask | dcbRtsControlMask);
  DtrHandshake_ = RtsHandshake_ = false;
  if (options & hwfUseDTR) {
    dcb.Flags |= dcbDtrHandshake;
    DtrHandshake_ = true;
  } else if (DtrAsserted_) {
    dcb.Flags |= dcbDtrEnable;
  }
  if (options & hwfUseRTS) {
    dcb.Flags |= dcbRtsHandshake;
    RtsHandshake_ = true;
  } else if (RtsAsserted_) {
    dcb.Flags |= dcbRtsEnable;
  }
  if (options & hwfRequireDSR) dcb.Flags |= dcbOutxDsrFlow;
  if (options & hwfRequireCTS) dcb.Flags |= dcbOutxCtsFlow;
  if (Rs485_ && DeviceTogglesRts()) {
    dcb.Flags = (dcb.Flags & ~dcbRtsControlMask) | dcbRtsToggle;
    RtsHandshake_ = true;
  }
  dcb.XoffLim = uint16_t(uint16_t(DriverInSize & 0xFFFF) - full);
  dcb.XonLim = uint16_t(resume);
  return ApplyLineSettings(dcb);
}

int32_t TMroBaseDispatcher::SetSoftwareFlow(uint32_t full, uint32_t resume, uint32_t options) {
  TLockGuard status(StatusLock);
  if (resume > full || full > DriverInSize) return ecBadArgument;
  TDCB dcb = LineSettings_;
  if (options & swfReceive) {
    dcb.Flags |= dcbInX;
    dcb.XoffLim = uint16_t(uint16_t(DriverInSize & 0xFFFF) - full);
    dcb.XonLim = uint16_t(resume);
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
  }
  if (options & swfTransmit) {
    dcb.Flags |= dcbOutX;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
  }
  return ApplyLineSettings(dcb);
}

int32_t TMroBaseDispatcher::ClearSoftwareFlow() {
  TLockGuard status(StatusLock);
  TDCB dcb = LineSettings_;
  dcb.Flags &= ~(dcbOutX | dcbInX);
  return ApplyLineSettings(dcb);
}

int32_t TMroBaseDispatcher::SetFlowChars(uint8_t xon, uint8_t xoff) {
  TLockGuard status(StatusLock);
  TDCB dcb = LineSettings_;
  dcb.XonChar = xon;
  dcb.XoffChar = xoff;
  return ApplyLineSettings(dcb);
}

int32_t TMroBaseDispatcher::QueryFlow(uint32_t& hardware, uint32_t& software, uint8_t& xon, uint8_t& xoff) {
  TLockGuard status(StatusLock);
  int32_t rc = DeviceGetSettings(LineSettings_);
  const uint32_t f = LineSettings_.Flags;
  hardware = (DtrHandshake_ ? hwfUseDTR : 0) | (RtsHandshake_ ? hwfUseRTS : 0) |
             ((f & dcbOutxDsrFlow) ? hwfRequireDSR : 0) | ((f & dcbOutxCtsFlow) ? hwfRequireCTS : 0);
  software = ((f & dcbOutX) ? swfTransmit : 0) | ((f & dcbInX) ? swfReceive : 0);
  xon = LineSettings_.XonChar;
  xoff = LineSettings_.XoffChar;
  return rc;
}

// --- RS-485 and thread priorities ------------------------------------------------------

int32_t TMroBaseDispatcher::SetRs485(bool on) {
  TLockGuard status(StatusLock);
  Rs485_ = on;
  if (on) {
    OutThread.SetPriority(PriorityBase_ + 4);
    if (!DeviceTogglesRts()) UartBase_ = uint16_t(DeviceEscape(kEscGetBaseAddress));
  } else {
    OutThread.SetPriority(PriorityBase_ + 3);
  }
  return 0;
}

void TMroBaseDispatcher::SetPriorityBase(uint8_t value) {
  if (value == PriorityBase_) return;
  PriorityBase_ = value;
  ComThread.SetPriority(value + 3);
  DispThread.SetPriority(value + 3);
  OutThread.SetPriority(value + (Rs485() ? 4 : 3));
}

int TMroBaseDispatcher::ThreadPriority(int which) const {
  switch (which) {
    case 0:
      return ComThread.Priority();
    case 1:
      return DispThread.Priority();
    default:
      return OutThread.Priority();
  }
}

}  // namespace zav
