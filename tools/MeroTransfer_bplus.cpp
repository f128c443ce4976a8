// The B+ protocol's options of mero send and recv: the role in the session,
// the files a receiving Initiator asks for, resume, and what is negotiated.
#include <optional>

#include "MeroTransfer.h"
#include "protocols/bplus/QwBPlus.h"

namespace zav::mero {

namespace {

class BPlusOptions : public ProtocolOptions {
 public:
  BPlusOptions() {
    Add("--role", OptionRole::Both,
        Choice(role_, {"initiator", "responder"}, std::vector<TBPlusRole>{bprInitiator, bprResponder}));
    Add("--window", OptionRole::Both, Number(window_, 1, kBPlusMaxWindow));
    Add("--block-size", OptionRole::Both, [this](ArgReader& args, const std::string& name) {
      block_ = uint32_t(args.Number(name, 128, kBPlusMaxBody));
      if (*block_ % 128 != 0) throw UsageError("--block-size takes a multiple of 128");
    });
    Add("--checksum", OptionRole::Both, Flag(checksum_));
    Add("--quote", OptionRole::Both, Choice(quote_, {"default", "control", "all"}, std::vector<size_t>{0, 1, 2}));
    Add("--packet-wait", OptionRole::Both, Ticks(packetWait_));
    Add("--linger", OptionRole::Both, Ticks(linger_));
    Add("--resume", OptionRole::Receive, Flag(resume_));
    Add("--get", OptionRole::Receive,
        [this](ArgReader& args, const std::string& name) { gets_.push_back(args.Value(name)); });
  }

  void Check(bool sending) const override {
    const TBPlusRole role = Role(sending);
    if (!gets_.empty() && role != bprInitiator)
      throw UsageError("--get asks the far end for a file: it needs --role initiator");
    if (!sending && role == bprInitiator && gets_.empty())
      throw UsageError("--get NAME is needed to receive as the initiator");
  }

  void Apply(TMroCustomProtocol& p, bool sending) const override {
    TransferRecord& r = p.Record();
    Checked(SetBPlusRole(r, Role(sending)));
    if (window_) Checked(SetBPlusWindow(r, *window_));
    if (block_) {
      Checked(SetBPlusBlockSize(r, *block_));
      p.SetBP2KTransmit(*block_ > 1024);
    }
    if (checksum_) p.SetBlockCheckMethod(bcmChecksum);
    if (quote_) {
      TBPlusQuoteSet set = TBPlusQuoteSet::Default();
      if (*quote_ == 1) {
        for (int c = 0; c < 0x20; ++c) set.Add(uint8_t(c));
      } else if (*quote_ == 2) {
        set = TBPlusQuoteSet::All();
      }
      Checked(SetBPlusQuoteSet(r, set));
    }
    if (packetWait_ || linger_) Checked(SetBPlusWaits(r, packetWait_.value_or(kBPlusPacketWait), linger_.value_or(kBPlusLinger)));
    if (resume_) p.OnProtocolResume = [](TMroCustomProtocol*, TWriteFailAction& action) { action = wfWriteResume; };
    if (!gets_.empty()) {
      p.OnProtocolNextFile = [names = gets_, next = size_t(0)](TMroCustomProtocol*, std::string& name) mutable {
        name = next < names.size() ? names[next++] : std::string();
      };
    }
  }

  std::string Help(bool sending) const override {
    std::string text =
        "  --role initiator|responder     the initiator starts the session and names the files;\n"
        "                                 the responder does what it asks (default: send as the\n"
        "                                 initiator offering the FILEs, recv as the responder;\n"
        "                                 send --role responder serves the FILEs on request)\n";
    if (!sending)
      text +=
          "  --get NAME                     as the initiator: ask the far end for NAME (repeat for\n"
          "                                 more files); it is written into --dir\n"
          "  --resume                       continue a file that is there in part, from its end\n";
    text +=
        "  --window N                     packets sent ahead, 1..5 (default 2; the far end may\n"
        "                                 allow fewer)\n"
        "  --block-size N                 largest packet, 128..2048 in steps of 128 (default\n"
        "                                 1024; above 1024 when both ends allow it)\n"
        "  --checksum                     the 8-bit checksum instead of CRC-16\n"
        "  --quote default|control|all    control bytes sent quoted (both ends' sets apply)\n"
        "  --packet-wait TICKS            wait for an answer beyond the line time, 55 ms ticks\n"
        "                                 (default 36)\n"
        "  --linger TICKS                 after the last file received, the wait for a peer that\n"
        "                                 missed our last acknowledgement (default 54)\n";
    return text;
  }

 private:
  TBPlusRole Role(bool sending) const { return role_.value_or(sending ? bprInitiator : bprResponder); }
  static void Checked(int32_t rc) {
    if (rc < 0) throw ToolError("B+ setting refused (" + std::to_string(rc) + ")");
  }

  std::optional<TBPlusRole> role_;
  std::optional<uint32_t> window_, block_;
  bool checksum_ = false;
  std::optional<size_t> quote_;
  std::optional<int32_t> packetWait_, linger_;
  bool resume_ = false;
  std::vector<std::string> gets_;
};

}  // namespace

std::unique_ptr<ProtocolOptions> MakeBPlusOptions() { return std::make_unique<BPlusOptions>(); }

}  // namespace zav::mero
