#include "tests/fuzz/BPlusReceiveFuzz.h"

#include <filesystem>
#include <string>

#include "protocols/bplus/QwBPlus.h"
#include "tests/fuzz/FuzzInput.h"
#include "tests/support/ProtocolRig.h"

namespace zav::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr int kTicksAfterScript = 100;
constexpr int kRunOutSteps = 200;
constexpr size_t kMaxOutput = 4 << 20;
constexpr size_t kOfferedSize = 3000;

}  // namespace

int FuzzBPlusReceive(const uint8_t* data, size_t size, int32_t* finishCode) {
  test::TMemoryProtocolRig rig("fuzz-bplus");
  TFuzzInput in(data, size);
  const uint8_t mode = in.Byte();
  const bool transmit = (mode & 1) != 0;
  const fs::path dest = rig.scratch.path() / "in", offered = rig.scratch.path() / "offered.bin";
  fs::create_directories(dest);
  std::string file;
  for (size_t i = 0; i < kOfferedSize; ++i) file += char(i * 7);
  test::WriteFile(offered, file);
  if (mode & 4) test::WriteFile(dest / "asked.bin", "part");

  TMroProtocol& p = *rig.protocol;
  p.SetProtocolType(ptBPlus);
  p.SetUpcaseFileNames(false);
  p.SetDestinationDirectory(dest.string());
  SetBPlusRole(p.Record(), (mode & 2) ? bprInitiator : bprResponder);
  p.OnProtocolNextFile = [transmit, offered, given = false](TMroCustomProtocol*, std::string& name) mutable {
    name = given ? std::string() : (transmit ? offered.string() : std::string("asked.bin"));
    given = true;
  };
  p.OnProtocolResume = [](TMroCustomProtocol*, TWriteFailAction& action) { action = wfWriteResume; };
  if (transmit)
    p.BeginTransmit();
  else
    p.BeginReceive();
  test::DrainQueue();

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
    p.AbortProtocol();
    test::DrainQueue();
  }
  size_t finishes = 0;
  for (const auto& e : rig.events.events) finishes += e.rfind("finish", 0) == 0;
  if (finishes != 1) Broken("bplus", "a transfer must end with exactly one finish event");
  if (output > kMaxOutput) Broken("bplus", "the engine's output must stay bounded");
  for (const auto& entry : fs::directory_iterator(rig.scratch.path()))
    if (entry.path() != dest && entry.path() != offered) Broken("bplus", "a file was written outside the destination");
  if (finishCode != nullptr) *finishCode = rig.events.FinishCode();
  return 0;
}

}  // namespace zav::fuzz
