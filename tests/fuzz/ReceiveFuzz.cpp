#include "tests/fuzz/ReceiveFuzz.h"

#include <string>

#include "tests/fuzz/FuzzInput.h"

namespace zav::fuzz {
namespace {

constexpr int kTicksAfterScript = 100;  // one step of the run-out
constexpr int kRunOutSteps = 200;       // 20000 ticks: beyond every engine's longest time-out

}  // namespace

int FuzzReceive(const uint8_t* data, size_t size, const std::function<void(test::TMemoryProtocolRig&)>& begin) {
  test::TMemoryProtocolRig rig("fuzz-receive");
  begin(rig);
  TFuzzInput in(data, size);
  while (!in.Done()) {
    const uint8_t c = in.Byte();
    if (c < 0x80) {
      auto run = in.Take(size_t(c) + 1);
      rig.Receive(std::string(run.begin(), run.end()));
    } else if (c < 0xFF) {
      rig.Advance(c - 0x7F);
    } else {
      rig.device->DeviceEventPass(0xFFFFFFFF);
      rig.Pass();
    }
    rig.device->Wire();
  }
  for (int i = 0; i < kRunOutSteps && !rig.events.Finished(); ++i) {
    rig.Advance(kTicksAfterScript);
    rig.device->Wire();
  }
  if (!rig.events.Finished()) {
    rig.protocol->AbortProtocol();
    test::DrainQueue();
  }
  size_t finishes = 0;
  for (const auto& e : rig.events.events) finishes += e.rfind("finish", 0) == 0;
  if (finishes != 1) Broken("receive", "a transfer must end with exactly one finish event");
  return 0;
}

}  // namespace zav::fuzz
