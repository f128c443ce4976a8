// The Xmodem and Ymodem options of mero send and recv.
#include <optional>

#include "MeroTransfer.h"

namespace zav::mero {

namespace {

class XYmodemOptions : public ProtocolOptions {
 public:
  explicit XYmodemOptions(bool batch) : batch_(batch) {
    Add("--block-wait", OptionRole::Both, Ticks(blockWait_));
    Add("--handshake-wait", OptionRole::Both, Ticks(handshakeWait_));
    Add("--handshake-retry", OptionRole::Both, Number(handshakeRetry_, 1, 1000));
    if (!batch_) return;
    Add("--include-directory", OptionRole::Send, Flag(includeDirectory_));
    Add("--honor-directory", OptionRole::Receive, Flag(honorDirectory_));
  }

  void Apply(TMroCustomProtocol& p, bool) const override {
    if (blockWait_) p.SetXYmodemBlockWait(*blockWait_);
    if (handshakeWait_) p.SetHandshakeWait(*handshakeWait_);
    if (handshakeRetry_) p.SetHandshakeRetry(*handshakeRetry_);
    p.SetIncludeDirectory(includeDirectory_);
    p.SetHonorDirectory(honorDirectory_);
  }

  std::string Help(bool sending) const override {
    std::string text =
        "  --block-wait TICKS             wait for a reply or the next block, in 55 ms ticks\n"
        "                                 (default 91)\n"
        "  --handshake-wait TICKS         wait for each handshake attempt (default 182)\n"
        "  --handshake-retry N            handshake attempts (default 10)\n";
    if (batch_ && sending)
      text += "  --include-directory            send the files' relative directories with their names\n";
    if (batch_ && !sending)
      text += "  --honor-directory              keep the sender's directories below --dir (made as needed)\n";
    return text;
  }

 private:
  bool batch_;
  std::optional<int32_t> blockWait_, handshakeWait_;
  std::optional<uint32_t> handshakeRetry_;
  bool includeDirectory_ = false, honorDirectory_ = false;
};

}  // namespace

std::unique_ptr<ProtocolOptions> MakeXmodemOptions() { return std::make_unique<XYmodemOptions>(false); }
std::unique_ptr<ProtocolOptions> MakeYmodemOptions() { return std::make_unique<XYmodemOptions>(true); }

}  // namespace zav::mero
