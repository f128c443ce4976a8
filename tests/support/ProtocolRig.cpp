#include "tests/support/ProtocolRig.h"

#include <memory>

#include "platform/Clock.h"
#include "platform/Messages.h"

namespace zav::test {

void EventLog::Attach(TMroCustomProtocol& p) {
  p.OnProtocolStatus = [this](TMroCustomProtocol*, uint16_t o) { events.push_back("status " + std::to_string(o)); };
  p.OnProtocolLog = [this](TMroCustomProtocol*, uint16_t c) { events.push_back("log " + std::to_string(c)); };
  p.OnProtocolFinish = [this](TMroCustomProtocol*, int32_t c) { events.push_back("finish " + std::to_string(c)); };
  p.OnProtocolError = [this](TMroCustomProtocol*, int32_t c) { events.push_back("error " + std::to_string(c)); };
}

bool EventLog::Finished() const {
  for (auto& e : events)
    if (e.rfind("finish", 0) == 0) return true;
  return false;
}

int32_t EventLog::FinishCode() const {
  for (auto& e : events)
    if (e.rfind("finish ", 0) == 0) return std::stoi(e.substr(7));
  return 1;
}

TMemoryProtocolRig::TMemoryProtocolRig(const std::string& scratchPrefix) : scratch(scratchPrefix) {
  now_ = int64_t(kMsPerTick) * 100000;
  SetFixedClockForTesting(now_);
  port = new TMroComPort(&form);
  port->DispatcherFactory = [this](TMroCustomComPort& p) {
    auto d = std::make_unique<TMemoryDispatcher>(&p);
    device = d.get();
    return d;
  };
  port->SetComNumber(1);
  port->SetOutSize(4096);
  port->SetOpen(true);
  protocol = new TMroProtocol(&form);
  events.Attach(*protocol);
}

TMemoryProtocolRig::~TMemoryProtocolRig() {
  DrainQueue();
  SetFixedClockForTesting(-1);
}

void TMemoryProtocolRig::Advance(int ticks) {
  now_ += int64_t(ticks) * kMsPerTick;
  SetFixedClockForTesting(now_);
  Pass();
}

void TMemoryProtocolRig::Pass() {
  device->StatusAndTimerPass();
  DrainQueue();
}

void TMemoryProtocolRig::Receive(const std::string& bytes) {
  device->InjectReceived(bytes);
  device->DeviceEventPass(0xFFFFFFFF);
  DrainQueue();
}

void TMemoryProtocolRig::ReopenWithOutSize(uint16_t size) {
  port->SetOpen(false);
  DrainQueue();
  port->SetOutSize(size);
  port->SetOpen(true);
}

int32_t TMemoryProtocolRig::TicksLeft(int32_t handle) {
  int32_t t = -1;
  device->TimerTicksLeft(handle, t);
  return t;
}

}  // namespace zav::test
