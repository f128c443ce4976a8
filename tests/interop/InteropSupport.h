// Interoperability tests: ours and the peer programs (lrzsz, C-Kermit,
// G-Kermit) on the two ends of a `mero null-modem` cable, each with a time
// limit, the files compared afterwards. Every case is a few lines: name the
// sender and the receiver, optionally the cable's line options, and check.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/ToolHarness.h"

namespace zav::test {

// One end of a transfer. In `argv`, "{PORT}" stands for the cable end's
// device path.
struct Side {
  enum Kind {
    Ours,        // mero with these arguments
    StdioPeer,   // a program on stdin and stdout (sz, rz, gkermit), run by `mero exec` on the device
    DevicePeer,  // a program that opens the device itself (kermit -l {PORT})
  };
  Kind kind = Ours;
  std::vector<std::string> argv;
  std::string cwd;  // working directory (peers write received files there)
};

inline Side Ours(std::vector<std::string> args) { return {Side::Ours, std::move(args), {}}; }
inline Side StdioPeer(std::vector<std::string> argv, std::string cwd) {
  return {Side::StdioPeer, std::move(argv), std::move(cwd)};
}
inline Side DevicePeer(std::vector<std::string> argv, std::string cwd) {
  return {Side::DevicePeer, std::move(argv), std::move(cwd)};
}

struct PairResult {
  int sender = -1, receiver = -1;  // exit codes; -1: killed at the time limit
  std::string senderErr, receiverErr;
  std::string senderOut, receiverOut;
  std::string cableErr;  // the cable's counts, printed when it stopped
  double seconds = 0;    // from the sender's start to the exit of both
};

class InteropTest : public ToolTest {
 protected:
  // Runs `receiver` on one end and `sender` on the other end of a fresh
  // cable with line options `cable`; waits for both (at most `limit`), then
  // stops the cable. With `through`, our side reaches its cable end through
  // a server in between (such as ser2net).
  struct Through {
    std::function<std::string(const std::string& device)> port;  // the port our side is given for its end
  };
  PairResult Transfer(const Side& sender, const Side& receiver, const std::vector<std::string>& cable = {},
                      std::chrono::seconds limit = std::chrono::seconds(60), const Through& through = {});

  // Starts one side on a device (without waiting).
  Child& StartSide(const Side& side, const std::string& device);

  // `size` pseudo-random bytes, the same for the same seed.
  static std::string RandomBytes(size_t size, uint32_t seed);
  // Creates dir/name and returns its path.
  std::string MakeDir(const std::string& name);
};

// A short description of a result for failure messages.
std::string Describe(const PairResult& r);

}  // namespace zav::test
