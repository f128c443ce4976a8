#include "tests/interop/InteropSupport.h"

#include <sys/stat.h>

#include <random>

namespace zav::test {

ToolTest::Child& InteropTest::StartSide(const Side& side, const std::string& device) {
  std::vector<std::string> argv = side.argv;
  for (auto& a : argv)
    if (a == "{PORT}") a = device;
  switch (side.kind) {
    case Side::Ours: return Start(argv);
    case Side::StdioPeer: {
      // Through `mero exec`: pipes keep a peer's exit flush from discarding
      // its last bytes in the pseudo-terminal.
      std::vector<std::string> args{"exec", device};
      if (!side.cwd.empty()) args.insert(args.end(), {"--cwd", side.cwd});
      args.push_back("--");
      args.insert(args.end(), argv.begin(), argv.end());
      return Start(args);
    }
    case Side::DevicePeer: break;
  }
  return StartProgram(argv, side.cwd);
}

PairResult InteropTest::Transfer(const Side& sender, const Side& receiver, const std::vector<std::string>& cable,
                                 std::chrono::seconds limit, const Through& through) {
  PairResult result;
  Child* cableChild = nullptr;
  const auto ends = StartCable(cable, &cableChild);
  if (ends.size() != 2) return result;
  const bool viaServer = bool(through.port);
  auto portFor = [&](const Side& side, const std::string& end) {
    return viaServer && side.kind == Side::Ours ? through.port(end) : end;
  };
  const std::string recvPort = portFor(receiver, ends[1]);  // once: a server starts for it
  Child& recv = StartSide(receiver, recvPort);
  // Ours, and a peer under `mero exec`, say when they are ready; a peer that
  // opens the device itself reads what waits in the cable.
  if (receiver.kind != Side::DevicePeer) WaitReady(recv, recvPort);
  const auto start = std::chrono::steady_clock::now();
  Child& send = StartSide(sender, portFor(sender, ends[0]));
  const auto deadline = start + limit;
  auto left = [&] {
    const auto rest = std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
    return std::max(rest, std::chrono::seconds(1));
  };
  result.sender = Wait(send, left());
  result.receiver = Wait(recv, left());
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  Stop(*cableChild);
  result.senderErr = Err(send);
  result.receiverErr = Err(recv);
  result.senderOut = Out(send);
  result.receiverOut = Out(recv);
  result.cableErr = Err(*cableChild);
  return result;
}

std::string InteropTest::RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string bytes(size, '\0');
  for (auto& b : bytes) b = char(gen() & 0xFF);
  return bytes;
}

std::string InteropTest::MakeDir(const std::string& name) {
  const std::string path = dir + "/" + name;
  mkdir(path.c_str(), 0755);
  return path;
}

std::string Describe(const PairResult& r) {
  return "sender exit " + std::to_string(r.sender) + ", receiver exit " + std::to_string(r.receiver) + " after " +
         std::to_string(r.seconds) + " s\n--- sender stderr:\n" + r.senderErr + "\n--- receiver stderr:\n" +
         r.receiverErr + "\n--- cable:\n" + r.cableErr;
}

}  // namespace zav::test
