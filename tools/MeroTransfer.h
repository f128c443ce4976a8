// mero send and mero recv: the protocols they know and each protocol's own
// options. The generic command (MeroTransfer.cpp) parses the line options,
// --protocol, --history, --dir, --file and the files; every other word is
// offered to the chosen protocol's options (one MeroTransfer_<family>.cpp
// each), which push their values into the protocol component.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Mero.h"
#include "platform/Clock.h"
#include "protocols/component/QxProtcl.h"

namespace zav::mero {

// A protocol's own command-line options.
class ProtocolOptions {
 public:
  virtual ~ProtocolOptions() = default;
  // Takes `word` (and its value from `args`) when it is one of this
  // protocol's options for the direction; false otherwise.
  virtual bool Parse(const std::string& word, ArgReader& args, bool sending) = 0;
  // Checks the options together once all are read (throws UsageError).
  virtual void Check(bool /*sending*/) const {}
  // The transmit ring the port needs (0: the default).
  virtual uint16_t TransmitRing(bool /*sending*/) const { return 0; }
  // Pushes the options into the component, which already holds the protocol.
  virtual void Apply(TMroCustomProtocol& protocol, bool sending) const = 0;
  // The help lines of the options for the direction.
  virtual std::string Help(bool sending) const = 0;
};

// An option's value in 55 ms ticks: 1 up to the tick counter's wrap.
inline int32_t TicksOption(ArgReader& args, const std::string& name) {
  return int32_t(args.Number(name, 1, kTickWrap));
}

// How a protocol names and batches files.
enum class Batch {
  None,  // one file per session: recv needs --file, send runs a session per file
  Names  // a session carries several files and their names: recv takes them into --dir
};

struct ProtocolEntry {
  std::string Name;  // the --protocol word
  TProtocolType Type;
  Batch Files;
  std::function<std::unique_ptr<ProtocolOptions>()> MakeOptions;
};

// Every protocol mero send and recv take, in the order the help lists them.
const std::vector<ProtocolEntry>& TransferProtocols();

// The factories of the families.
std::unique_ptr<ProtocolOptions> MakeAsciiOptions();
std::unique_ptr<ProtocolOptions> MakeBPlusOptions();
std::unique_ptr<ProtocolOptions> MakeXmodemOptions();
std::unique_ptr<ProtocolOptions> MakeYmodemOptions();
std::unique_ptr<ProtocolOptions> MakeKermitOptions();
std::unique_ptr<ProtocolOptions> MakeZmodemOptions();

}  // namespace zav::mero
