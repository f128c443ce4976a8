// The Kermit protocol's options of mero send and recv.
#include <optional>

#include "MeroTransfer.h"
#include "platform/Clock.h"
#include "protocols/kermit/QwKermitCodec.h"

namespace zav::mero {

namespace {

class KermitOptions : public ProtocolOptions {
 public:
  KermitOptions() {
    Add("--packet-length", OptionRole::Both, Number(packetLength_, kKermitMinShortLen, kKermitMaxLongLen));
    Add("--windows", OptionRole::Both, Number(windows_, 0, kKermitMaxWindows));
    Add("--check", OptionRole::Both,
        Choice(check_, {"1", "2", "3"}, std::vector<TBlockCheckMethod>{bcmChecksum, bcmChecksum2, bcmCrcK}));
    Add("--timeout", OptionRole::Both, Number(timeout_, 1, 94));
    Add("--pad-char", OptionRole::Both, Number(padChar_, 0, 255));
    Add("--pad-count", OptionRole::Both, Number(padCount_, 0, 94));
    Add("--eol", OptionRole::Both, [this](ArgReader& args, const std::string& name) {
      eol_ = char(args.Number(name, 0, 31));
      if (*eol_ == kKermitSOH) throw UsageError("--eol cannot be 1: that byte starts every packet");
    });
    Add("--ctl-prefix", OptionRole::Both, Prefix(ctlPrefix_, ""));
    Add("--8bit-prefix", OptionRole::Both, Prefix(hibitPrefix_, "YN"));
    Add("--repeat-prefix", OptionRole::Both, [this](ArgReader& args, const std::string& name) {
      const std::string value = args.Value(name);
      repeatPrefix_ = value == "none" ? ' ' : PrefixOf(value, name, "");
    });
    Add("--literal-names", OptionRole::Both, Flag(literalNames_));
    Add("--turn-delay", OptionRole::Both, Number(turnDelay_, 0, 1000000));
  }

  void Apply(TMroCustomProtocol& p, bool) const override {
    if (packetLength_) p.SetKermitMaxLen(*packetLength_);
    if (windows_) p.SetKermitMaxWindows(*windows_);
    if (timeout_) {
      p.SetKermitTimeoutSecs(*timeout_);
      p.SetHandshakeWait(Secs2Ticks(*timeout_));
    }
    if (padChar_) p.SetKermitPadCharacter(*padChar_);
    if (padCount_) p.SetKermitPadCount(*padCount_);
    if (eol_) p.SetKermitTerminator(*eol_);
    if (ctlPrefix_) p.SetKermitCtlPrefix(*ctlPrefix_);
    if (repeatPrefix_) p.SetKermitRepeatPrefix(*repeatPrefix_);
    if (turnDelay_) p.SetKermitSWCTurnDelay(*turnDelay_);
    if (literalNames_) p.SetKermitLiteralNames(true);
    if (hibitPrefix_) p.SetKermitHighbitPrefix(*hibitPrefix_);
    // Last: a long packet length raises a checksum of "1" to "2".
    if (check_) p.SetBlockCheckMethod(*check_);
  }

  std::string Help(bool) const override {
    return "  --packet-length N              longest packet: 20..94, or up to 1024 for long\n"
           "                                 packets (default 80)\n"
           "  --windows N                    sliding-window slots, 0..27 (default 0: one packet\n"
           "                                 at a time)\n"
           "  --check 1|2|3                  block check: 6-bit, 12-bit checksum or CRC (default 1,\n"
           "                                 2 with long packets)\n"
           "  --timeout SECS                 wait for a packet, 1..94 (default 5; 10 for the\n"
           "                                 first packets)\n"
           "  --pad-char N, --pad-count N    padding the peer is asked to send (default 0 x 0)\n"
           "  --eol N                        the byte the peer is asked to end packets with (13)\n"
           "  --ctl-prefix C                 control prefix (default #)\n"
           "  --8bit-prefix C                8-bit prefix, Y (if the peer asks) or N (default Y;\n"
           "                                 & on a line of 7 data bits or with parity)\n"
           "  --repeat-prefix C|none         repeat-count prefix (default ~)\n"
           "  --turn-delay N                 line turn-around delay with windows (default 0)\n"
           "  --literal-names                keep received names as sent (otherwise a name all\n"
           "                                 in upper case, Kermit's normal form, arrives in\n"
           "                                 lower case)\n";
  }

 private:
  static char PrefixOf(const std::string& value, const std::string& option, const std::string& extra) {
    if (value.size() == 1 && (IsKermitPrefixChar(uint8_t(value[0])) || extra.find(value[0]) != std::string::npos))
      return value[0];
    throw UsageError(option + " takes one character from ! to > or ` to ~" +
                     (extra.empty() ? std::string() : ", or one of " + extra));
  }
  static Reader Prefix(std::optional<char>& to, std::string extra) {
    return [&to, extra = std::move(extra)](ArgReader& args, const std::string& name) {
      to = PrefixOf(args.Value(name), name, extra);
    };
  }

  std::optional<int32_t> packetLength_, windows_, timeout_, padCount_, turnDelay_;
  std::optional<char> padChar_, eol_, ctlPrefix_, hibitPrefix_, repeatPrefix_;
  std::optional<TBlockCheckMethod> check_;
  bool literalNames_ = false;
};

}  // namespace

std::unique_ptr<ProtocolOptions> MakeKermitOptions() { return std::make_unique<KermitOptions>(); }

}  // namespace zav::mero
