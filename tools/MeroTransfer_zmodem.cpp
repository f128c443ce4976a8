// The Zmodem protocol's options of mero send and recv.
#include <optional>

#include "MeroTransfer.h"

namespace zav::mero {

namespace {

// The transmit ring, as large as a port takes: 8K subpackets need twice the
// block and a little more, and a ring that holds many subpackets wakes the
// sender seldom and never lets the line wait for it.
constexpr uint16_t kTransmitRing = 65535;

class ZmodemOptions : public ProtocolOptions {
 public:
  ZmodemOptions() {
    Add("--8k", OptionRole::Both, Flag(use8K_));
    Add("--recover", OptionRole::Both, Flag(recover_));
    Add("--file-option", OptionRole::Both,
        Choice(fileOption_, {"newer-or-longer", "append", "clobber", "newer", "different", "protect"},
               std::vector<TZmodemFileOptions>{zfoWriteNewerLonger, zfoWriteAppend, zfoWriteClobber, zfoWriteNewer,
                                               zfoWriteDifferent, zfoWriteProtect}));
    Add("--skip-no-file", OptionRole::Both, Flag(skipNoFile_));
    Add("--option-override", OptionRole::Receive, Flag(override_));
    Add("--finish-retry", OptionRole::Receive, Number(finishRetry_, 0, 100));
    Add("--include-directory", OptionRole::Send, Flag(includeDirectory_));
    Add("--honor-directory", OptionRole::Receive, Flag(honorDirectory_));
  }

  void Check(bool sending) const override {
    // The receiver's own file option counts only over the sender's.
    if (!sending && (fileOption_ || skipNoFile_) && !override_)
      throw UsageError("--file-option and --skip-no-file on receive need --option-override");
  }

  void Apply(TMroCustomProtocol& p, bool) const override {
    p.SetZmodem8K(use8K_);
    p.SetZmodemRecover(recover_);
    if (fileOption_) p.SetZmodemFileOption(*fileOption_);
    p.SetZmodemSkipNoFile(skipNoFile_);
    p.SetZmodemOptionOverride(override_);
    if (finishRetry_) p.SetZmodemFinishRetry(*finishRetry_);
    p.SetIncludeDirectory(includeDirectory_);
    p.SetHonorDirectory(honorDirectory_);
  }

  uint16_t TransmitRing(bool sending) const override { return sending ? kTransmitRing : 0; }

  std::string Help(bool sending) const override {
    std::string text =
        "  --8k                           8192-byte subpackets (receiving takes them always)\n"
        "  --recover                      resume a file the receiver has in part\n";
    if (sending)
      text +=
          "  --file-option newer-or-longer|append|clobber|newer|different|protect\n"
          "                                 what the receiver does with a file it has (default newer)\n"
          "  --skip-no-file                 the receiver takes only files it has already\n"
          "  --include-directory            send each file's path, not only its name\n";
    else
      text +=
          "  --option-override              decide by --file-option, not by the sender's option\n"
          "  --file-option newer-or-longer|append|clobber|newer|different|protect\n"
          "                                 with --option-override: what to do with a file\n"
          "                                 that exists (a sender without an option: protect)\n"
          "  --skip-no-file                 with --option-override: take only files that exist\n"
          "  --finish-retry N               times to repeat the final ZFIN (default 0)\n"
          "  --honor-directory              keep the sender's directories below --dir\n";
    text +=
        "  Waits: a silent peer in a handshake or mid-file is taken for a lost frame after\n"
        "  10 s (182 ticks; the component's own default is 60 s, 1092 ticks)";
    text += sending ? ".\n"
                    : ";\n  the sender's closing OO is awaited 2 s (36 ticks; the component's 20 s, 364).\n";
    return text;
  }

 private:
  bool use8K_ = false, recover_ = false, skipNoFile_ = false, override_ = false;
  bool includeDirectory_ = false, honorDirectory_ = false;
  std::optional<TZmodemFileOptions> fileOption_;
  std::optional<int32_t> finishRetry_;
};

}  // namespace

std::unique_ptr<ProtocolOptions> MakeZmodemOptions() { return std::make_unique<ZmodemOptions>(); }

}  // namespace zav::mero
