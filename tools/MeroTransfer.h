// mero send and mero recv: the protocols they know and each protocol's own
// options. The generic command (MeroTransfer.cpp) parses the line options,
// --protocol, --history, --dir, --file and the files; every other word is
// offered to the chosen protocol's options (one MeroTransfer_<family>.cpp
// each), which push their values into the protocol component.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Mero.h"
#include "platform/Clock.h"
#include "protocols/component/QxProtcl.h"

namespace zav::mero {

// Which direction takes an option.
enum class OptionRole { Both, Send, Receive };

// A protocol's own command-line options. Each protocol lists its options once
// (Add: the word, the direction that takes it, how its value is read and
// stored) and Parse walks that list.
class ProtocolOptions {
 public:
  ProtocolOptions() = default;
  // The readers hold references into the object: it stays where it is made.
  ProtocolOptions(const ProtocolOptions&) = delete;
  ProtocolOptions& operator=(const ProtocolOptions&) = delete;
  virtual ~ProtocolOptions() = default;
  // Takes `word` (and its value from `args`) when it is one of this
  // protocol's options for the direction; false otherwise.
  bool Parse(const std::string& word, ArgReader& args, bool sending);
  // Checks the options together once all are read (throws UsageError).
  virtual void Check(bool /*sending*/) const {}
  // The transmit ring the port needs (0: the default).
  virtual uint16_t TransmitRing(bool /*sending*/) const { return 0; }
  // Pushes the options into the component, which already holds the protocol.
  virtual void Apply(TMroCustomProtocol& protocol, bool sending) const = 0;
  // The help lines of the options for the direction.
  virtual std::string Help(bool sending) const = 0;

 protected:
  // Reads the option's value (if it has one) from `args` and stores it;
  // `name` is the option word, for the messages.
  using Reader = std::function<void(ArgReader& args, const std::string& name)>;
  void Add(std::string name, OptionRole role, Reader read);

  // The readers of the common kinds of option.
  static Reader Flag(bool& to);  // a switch with no value
  static Reader Ticks(std::optional<int32_t>& to);  // see TicksOption
  template <class T>
  static Reader Number(std::optional<T>& to, long lo, long hi) {
    return [&to, lo, hi](ArgReader& args, const std::string& name) { to = T(args.Number(name, lo, hi)); };
  }
  // One of `words`, stored as the value at the same place in `values`.
  template <class Field, class T>
  static Reader Choice(Field& to, std::vector<std::string> words, std::vector<T> values) {
    return [&to, words = std::move(words), values = std::move(values)](ArgReader& args, const std::string& name) {
      to = values.at(args.Choice(name, words));
    };
  }

 private:
  struct Option {
    std::string Name;
    OptionRole Role;
    Reader Read;
  };
  std::vector<Option> options_;
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
