#include "tests/fuzz/ReceiveFuzz.h"

#include <filesystem>
#include <string>

#include "tests/fuzz/FuzzInput.h"

namespace zav::fuzz {
namespace {

constexpr int kTicksAfterScript = 100;  // one step of the run-out
constexpr int kRunOutSteps = 200;       // 20000 ticks: beyond every engine's longest time-out
constexpr size_t kMaxOutput = 4 << 20;  // what an engine may send in answer to one input

}  // namespace

int FuzzReceive(const uint8_t* data, size_t size, const std::function<void(test::TMemoryProtocolRig&)>& begin) {
  namespace fs = std::filesystem;
  test::TMemoryProtocolRig rig("fuzz-receive");
  const fs::path dest = rig.scratch.path() / kFuzzDestination;
  fs::create_directory(dest);
  rig.protocol->SetDestinationDirectory(dest.string());
  begin(rig);
  TFuzzInput in(data, size);
  size_t output = rig.device->Wire().size();
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
    output += rig.device->Wire().size();
  }
  for (int i = 0; i < kRunOutSteps && !rig.events.Finished(); ++i) {
    rig.Advance(kTicksAfterScript);
    output += rig.device->Wire().size();
  }
  if (!rig.events.Finished()) {
    // A cancel may end by its own exchange (Kermit's error packet): the line
    // takes what it sends, and time runs on a little.
    rig.protocol->AbortProtocol();
    test::DrainQueue();
    for (int i = 0; i < kRunOutSteps && !rig.events.Finished(); ++i) {
      output += rig.device->Wire().size();
      rig.Advance(1);
    }
  }
  size_t finishes = 0;
  for (const auto& e : rig.events.events) finishes += e.rfind("finish", 0) == 0;
  if (finishes != 1) Broken("receive", "a transfer must end with exactly one finish event");
  if (output > kMaxOutput) Broken("receive", "the engine's output must stay bounded");
  for (const auto& entry : fs::directory_iterator(rig.scratch.path()))
    if (entry.path() != dest) Broken("receive", "a file was written outside the destination");
  for (const auto& entry : fs::recursive_directory_iterator(dest))
    if (entry.is_symlink()) Broken("receive", "a link was made in the destination");
  return 0;
}

}  // namespace zav::fuzz
