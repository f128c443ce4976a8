#include "tests/fuzz/BPlusReceiveFuzz.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/Clock.h"
#include "platform/Messages.h"
#include "protocols/QwBPlus.h"
#include "protocols/QxProtcl.h"
#include "tests/support/MemoryDevice.h"

namespace zav::fuzz {
namespace {

namespace fs = std::filesystem;

constexpr int kTicksAfterScript = 100;
constexpr int kRunOutSteps = 200;
constexpr size_t kMaxOutput = 4 << 20;

[[noreturn]] void Broken(const char* what) {
  std::fprintf(stderr, "bplus receive fuzz: %s\n", what);
  std::abort();
}

void Drain() {
  while (PumpOneMessage() == PumpResult::Dispatched) {
  }
}

// A scratch directory made once per process: "in" is the destination, "out"
// holds the file a transmit offers.
const fs::path& Scratch() {
  static const fs::path path = [] {
    char tmpl[] = "/tmp/bplus-fuzz-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) Broken("no scratch directory");
    return fs::path(tmpl);
  }();
  return path;
}

struct Rig {
  Rig() {
    now = int64_t(kMsPerTick) * 100000;
    SetFixedClockForTesting(now);
    port = new TMroComPort(&form);
    port->DispatcherFactory = [this](TMroCustomComPort& p) {
      auto d = std::make_unique<test::TMemoryDispatcher>(&p);
      device = d.get();
      return d;
    };
    port->SetComNumber(1);
    port->SetOpen(true);
    protocol = new TMroProtocol(&form);
    protocol->SetComPort(port);
    protocol->OnProtocolFinish = [this](TMroCustomProtocol*, int32_t code) {
      ++finishes;
      this->code = code;
    };
  }
  ~Rig() {
    Drain();
    SetFixedClockForTesting(-1);
  }
  void Wire() { output += device->Wire().size(); }
  void Advance(int ticks) {
    now += int64_t(ticks) * kMsPerTick;
    SetFixedClockForTesting(now);
    device->StatusAndTimerPass();
    Drain();
    Wire();
  }
  void Receive(const uint8_t* bytes, size_t n) {
    device->InjectReceived(std::vector<uint8_t>(bytes, bytes + n));
    device->DeviceEventPass(0xFFFFFFFF);
    Drain();
    Wire();
  }

  TComponent form{nullptr};
  TMroComPort* port = nullptr;
  TMroProtocol* protocol = nullptr;
  test::TMemoryDispatcher* device = nullptr;
  int finishes = 0;
  int32_t code = 0;
  size_t output = 0;
  int64_t now = 0;
};

}  // namespace

int FuzzBPlusReceive(const uint8_t* data, size_t size, int32_t* finishCode) {
  const fs::path in = Scratch() / "in", out = Scratch() / "out";
  std::error_code ec;
  fs::remove_all(in, ec);
  fs::create_directories(in);
  fs::create_directories(out);
  // The part a resume finds, so the resume paths are reached too.
  if (size > 1 && (data[1] & 1)) {
    std::FILE* f = std::fopen((in / "asked.bin").c_str(), "wb");
    if (f != nullptr) {
      std::fputs("part", f);
      std::fclose(f);
    }
  }
  if (!fs::exists(out / "offered.bin")) {
    std::FILE* f = std::fopen((out / "offered.bin").c_str(), "wb");
    for (int i = 0; f != nullptr && i < 3000; ++i) std::fputc(i * 7 & 0xFF, f);
    if (f != nullptr) std::fclose(f);
  }
  Rig rig;
  const uint8_t mode = size > 0 ? data[0] : 0;
  TMroProtocol& p = *rig.protocol;
  p.SetProtocolType(ptBPlus);
  p.SetUpcaseFileNames(false);
  p.SetDestinationDirectory(in.string());
  SetBPlusRole(p.Record(), (mode & 2) ? bprInitiator : bprResponder);
  const bool transmit = (mode & 1) != 0;
  p.OnProtocolNextFile = [transmit, out, given = false](TMroCustomProtocol*, std::string& name) mutable {
    name = given ? std::string() : (transmit ? (out / "offered.bin").string() : std::string("asked.bin"));
    given = true;
  };
  p.OnProtocolResume = [](TMroCustomProtocol*, TWriteFailAction& action) { action = wfWriteResume; };
  if (transmit)
    p.BeginTransmit();
  else
    p.BeginReceive();
  Drain();
  rig.Wire();
  size_t at = 1;
  while (at < size) {
    const uint8_t c = data[at++];
    if (c < 0x80) {
      const size_t n = std::min(size_t(c) + 1, size - at);
      rig.Receive(data + at, n);
      at += n;
    } else if (c < 0xFF) {
      rig.Advance(c - 0x7F);
    } else {
      rig.device->DeviceEventPass(0xFFFFFFFF);
      rig.Advance(0);
    }
  }
  for (int i = 0; i < kRunOutSteps && rig.finishes == 0; ++i) rig.Advance(kTicksAfterScript);
  if (rig.finishes == 0) {
    p.AbortProtocol();
    Drain();
  }
  if (rig.finishes != 1) Broken("a transfer must end with exactly one finish event");
  if (rig.output > kMaxOutput) Broken("the engine's output must stay bounded");
  for (const auto& entry : fs::directory_iterator(Scratch()))
    if (entry.path() != in && entry.path() != out) Broken("a file was written outside the destination");
  if (finishCode != nullptr) *finishCode = rig.code;
  return 0;
}

void FuzzBPlusCleanup() {
  std::error_code ec;
  fs::remove_all(Scratch(), ec);
}

}  // namespace zav::fuzz
