// The client side of Telnet with Com Port Control: see QwTelnet.h.
#include "serial/QwTelnet.h"

#include <algorithm>
#include <cstring>

namespace zav::telnet {
namespace {

constexpr char kSignature[] = "ZAV Terminal Test";

uint8_t LogSubKind(uint8_t verb, bool sent) {
  const uint8_t base = sent ? lskSentWill : lskRecvWill;
  switch (verb) {
    case kWill: return base;
    case kWont: return uint8_t(base + 1);
    case kDo: return uint8_t(base + 2);
    default: return uint8_t(base + 3);
  }
}

}  // namespace

TTelnetClient::TTelnetClient(bool comPort) : WantComPort_(comPort) { Sb_.reserve(kMaxSubnegotiation); }

void TTelnetClient::Start() {
  Us_[kOptBinary] = kWantYes;
  SendNegotiation(kWill, kOptBinary, false);
  Him_[kOptBinary] = kWantYes;
  SendNegotiation(kDo, kOptBinary, false);
  if (WantComPort_) {
    Us_[kOptComPort] = kWantYes;
    SendNegotiation(kWill, kOptComPort, false);
  }
}

size_t TTelnetClient::Receive(const uint8_t* in, size_t n, uint8_t* out) {
  // Data is written at or behind the byte being read: `out` may be `in`.
  size_t got = 0;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = in[i];
    switch (State_) {
      case TState::Data:
        if (b != kIac && ReceiveBinary()) {
          // The usual case: a run up to the next IAC goes as it is.
          const void* iac = std::memchr(in + i, kIac, n - i);
          const size_t end = iac ? size_t(static_cast<const uint8_t*>(iac) - in) : n;
          std::memmove(out + got, in + i, end - i);
          got += end - i;
          AfterCr_ = out[got - 1] == kCr;
          i = end - 1;
        } else if (b == kIac) {
          State_ = TState::Iac;
        } else if (b == kNul && AfterCr_ && !ReceiveBinary()) {
          AfterCr_ = false;
        } else {
          AfterCr_ = b == kCr;
          out[got++] = b;
        }
        break;
      case TState::Iac:
        State_ = TState::Data;
        if (b == kIac) {
          AfterCr_ = false;
          out[got++] = b;
        } else {
          Command(b);
        }
        break;
      case TState::Negotiate:
        State_ = TState::Data;
        Negotiate(Verb_, b);
        break;
      case TState::SbOption:
        SbOption_ = b;
        Sb_.clear();
        State_ = TState::SbData;
        break;
      case TState::SbData:
      case TState::SbIac:
        if (State_ == TState::SbData && b == kIac) {
          State_ = TState::SbIac;
          break;
        }
        if (State_ == TState::SbIac && b == kSe) {
          State_ = TState::Data;
          Subnegotiation();
          break;
        }
        if (State_ == TState::SbIac && b != kIac) {
          // Another command inside a subnegotiation: it ends it unfinished.
          ++ProtocolErrors_;
          State_ = TState::Data;
          Command(b);
          break;
        }
        if (Sb_.size() == kMaxSubnegotiation) {
          ++DroppedSubnegotiations_;
          State_ = TState::SbSkip;
          break;
        }
        Sb_.push_back(b);
        State_ = TState::SbData;
        break;
      case TState::SbSkip:
        if (b == kIac) State_ = TState::SbSkipIac;
        break;
      case TState::SbSkipIac:
        if (b == kSe) {
          State_ = TState::Data;
        } else if (b == kIac) {
          State_ = TState::SbSkip;
        } else {
          State_ = TState::Data;
          Command(b);
        }
        break;
    }
  }
  return got;
}

void TTelnetClient::Command(uint8_t byte) {
  switch (byte) {
    case kWill:
    case kWont:
    case kDo:
    case kDont:
      Verb_ = byte;
      State_ = TState::Negotiate;
      break;
    case kSb: State_ = TState::SbOption; break;
    case kSe: ++ProtocolErrors_; break;  // no subnegotiation to end
    default: break;                      // NOP, data mark, break, go ahead, ...: nothing for a serial line
  }
}

bool TTelnetClient::WeSupport(uint8_t option) const {
  return option == kOptBinary || option == kOptSga || (option == kOptComPort && WantComPort_);
}

bool TTelnetClient::HeMaySupport(uint8_t option) const { return WeSupport(option); }

void TTelnetClient::Negotiate(uint8_t verb, uint8_t option) {
  Log(LogSubKind(verb, false), option);
  // RFC 1143's states, without the queue bit: we never change our mind
  // while a request is on its way.
  TQ& him = Him_[option];
  TQ& us = Us_[option];
  switch (verb) {
    case kWill:
      if (him == kNo) {
        if (HeMaySupport(option)) {
          him = kYes;
          SendNegotiation(kDo, option, true);
        } else {
          SendNegotiation(kDont, option, true);
        }
      } else if (him == kWantYes) {
        him = kYes;
      } else if (him == kWantNo) {
        him = kNo;
        ++ProtocolErrors_;
      }
      break;
    case kWont:
      if (him == kYes) SendNegotiation(kDont, option, true);
      him = kNo;
      break;
    case kDo:
      if (us == kNo) {
        if (WeSupport(option)) {
          us = kYes;
          SendNegotiation(kWill, option, true);
        } else {
          SendNegotiation(kWont, option, true);
        }
      } else if (us == kWantYes) {
        us = kYes;
      } else if (us == kWantNo) {
        us = kNo;
        ++ProtocolErrors_;
      }
      break;
    case kDont:
      if (us == kYes) SendNegotiation(kWont, option, true);
      us = kNo;
      break;
    default: break;
  }
  if (option == kOptComPort) UpdateComPort();
}

void TTelnetClient::UpdateComPort() {
  if (!WantComPort_) return;
  if (Us_[kOptComPort] == kYes || Him_[kOptComPort] == kYes) {
    ComPortState_ = TComPortState::Accepted;
    if (!MasksSent_) {
      // Every modem line and every line error, as they change.
      MasksSent_ = true;
      const uint8_t modem = 0xFF, line = lsOverrun | lsParity | lsFraming | lsBreak;
      SendComPort(cpSetModemStateMask, &modem, 1);
      SendComPort(cpSetLineStateMask, &line, 1);
    }
  } else if (Us_[kOptComPort] == kNo) {
    ComPortState_ = TComPortState::Refused;
  }
}

void TTelnetClient::Subnegotiation() {
  if (SbOption_ != kOptComPort) return;  // nothing else is asked for
  if (Sb_.empty()) {
    ++ProtocolErrors_;
    return;
  }
  ComPortCommand(Sb_[0], Sb_.data() + 1, Sb_.size() - 1);
}

void TTelnetClient::ComPortCommand(uint8_t command, const uint8_t* value, size_t n) {
  Log(lskCommand, command, value, n);
  auto byteValue = [&](uint8_t& field) {
    if (n == 1)
      field = value[0];
    else
      ++ProtocolErrors_;
  };
  if (command < kServerOffset) {  // a client's command from the server
    ++ProtocolErrors_;
    return;
  }
  switch (uint8_t(command - kServerOffset)) {
    case cpSignature:
      if (n == 0)
        SendComPort(cpSignature, reinterpret_cast<const uint8_t*>(kSignature), sizeof kSignature - 1);
      else
        Signature_.assign(reinterpret_cast<const char*>(value), n);
      break;
    case cpSetBaudRate:
      if (n == 4)
        Server_.BaudRate = uint32_t(value[0]) << 24 | uint32_t(value[1]) << 16 | uint32_t(value[2]) << 8 | value[3];
      else
        ++ProtocolErrors_;
      break;
    case cpSetDataSize: byteValue(Server_.DataSize); break;
    case cpSetParity: byteValue(Server_.Parity); break;
    case cpSetStopSize: byteValue(Server_.StopSize); break;
    case cpSetControl: byteValue(Server_.Control); break;
    case cpPurgeData: byteValue(Server_.Purged); break;
    case cpNotifyLineState: {
      uint8_t bits = 0;
      byteValue(bits);
      LineState_ |= bits;
      break;
    }
    case cpNotifyModemState:
      if (n == 1) {
        if (value[0] & msRiTrailingEdge) Ring_ = true;
        ModemState_ = value[0];
      } else {
        ++ProtocolErrors_;
      }
      break;
    case cpFlowSuspend: Suspended_ = true; break;
    case cpFlowResume: Suspended_ = false; break;
    case cpSetLineStateMask:
    case cpSetModemStateMask: break;  // acknowledgements
    default: ++ProtocolErrors_; break;
  }
}

void TTelnetClient::SendNegotiation(uint8_t verb, uint8_t option, bool reply) {
  // Replies are what a server can make us send: they stop at the cap (a
  // server that floods requests and reads nothing gets no more).
  if (reply && Outgoing_.size() + 3 > kMaxReplies) {
    ++DroppedReplies_;
    return;
  }
  Outgoing_.insert(Outgoing_.end(), {kIac, verb, option});
  Log(LogSubKind(verb, true), option);
}

void TTelnetClient::SendComPort(uint8_t command, const uint8_t* value, size_t n) {
  if (Outgoing_.size() > kMaxReplies) {
    ++DroppedReplies_;
    return;
  }
  Outgoing_.insert(Outgoing_.end(), {kIac, kSb, kOptComPort, command});
  for (size_t i = 0; i < n; ++i) {
    Outgoing_.push_back(value[i]);
    if (value[i] == kIac) Outgoing_.push_back(kIac);
  }
  Outgoing_.insert(Outgoing_.end(), {kIac, kSe});
  Log(lskCommand, command, value, n);
}

void TTelnetClient::EncodeData(const uint8_t* data, size_t n, std::vector<uint8_t>& out) const {
  const bool binary = SendBinary();
  out.reserve(out.size() + n + n / 16);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t b = data[i];
    out.push_back(b);
    if (b == kIac)
      out.push_back(kIac);
    else if (b == kCr && !binary)
      out.push_back(kNul);
  }
}

void TTelnetClient::SetBaudRate(uint32_t baud) {
  const uint8_t v[4] = {uint8_t(baud >> 24), uint8_t(baud >> 16), uint8_t(baud >> 8), uint8_t(baud)};
  if (ComPortState_ == TComPortState::Accepted) SendComPort(cpSetBaudRate, v, 4);
}

void TTelnetClient::SetDataSize(uint8_t bits) {
  if (ComPortState_ == TComPortState::Accepted) SendComPort(cpSetDataSize, &bits, 1);
}

void TTelnetClient::SetParity(uint8_t parity) {
  if (ComPortState_ == TComPortState::Accepted) SendComPort(cpSetParity, &parity, 1);
}

void TTelnetClient::SetStopSize(uint8_t stop) {
  if (ComPortState_ == TComPortState::Accepted) SendComPort(cpSetStopSize, &stop, 1);
}

void TTelnetClient::SetControl(uint8_t value) {
  if (ComPortState_ == TComPortState::Accepted) SendComPort(cpSetControl, &value, 1);
}

void TTelnetClient::PurgeData(uint8_t which) {
  if (ComPortState_ == TComPortState::Accepted) SendComPort(cpPurgeData, &which, 1);
}

std::vector<uint8_t> TTelnetClient::TakeOutgoing() {
  std::vector<uint8_t> out;
  out.swap(Outgoing_);
  return out;
}

uint8_t TTelnetClient::TakeLineState() {
  const uint8_t bits = LineState_;
  LineState_ = 0;
  return bits;
}

bool TTelnetClient::TakeRing() {
  const bool ring = Ring_;
  Ring_ = false;
  return ring;
}

void TTelnetClient::Log(uint8_t subKind, uint8_t value, const uint8_t* data, size_t n) {
  TLogItem item{subKind, value, {}};
  if (n > 0) item.Data.assign(data, data + std::min(n, kMaxSubnegotiation));
  Log_.push_back(std::move(item));
  if (Log_.size() > kMaxLogItems) Log_.pop_front();
}

std::deque<TLogItem> TTelnetClient::TakeLog() {
  std::deque<TLogItem> out;
  out.swap(Log_);
  return out;
}

}  // namespace zav::telnet
