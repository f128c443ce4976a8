// The ASCII protocol's options of mero send and recv.
#include <optional>

#include "MeroTransfer.h"

namespace zav::mero {

namespace {

class AsciiOptions : public ProtocolOptions {
 public:
  AsciiOptions() {
    const std::vector<std::string> words = {"none", "strip", "add-cr-before", "add-lf-after"};
    const std::vector<TAsciiEOLTranslation> values = {aetNone, aetStrip, aetAddCRBefore, aetAddLFAfter};
    Add("--cr-translation", OptionRole::Both, Choice(cr_, words, values));
    Add("--lf-translation", OptionRole::Both, Choice(lf_, words, values));
    Add("--suppress-ctrl-z", OptionRole::Both, Flag(suppressCtrlZ_));
    Add("--char-delay", OptionRole::Send, Number(charDelay_, 0, 600000));
    Add("--line-delay", OptionRole::Send, Number(lineDelay_, 0, 600000));
    Add("--eol-char", OptionRole::Send, Number(eolChar_, 0, 255));
    Add("--eof-timeout", OptionRole::Receive, Ticks(eofTimeout_));
  }

  void Apply(TMroCustomProtocol& p, bool) const override {
    if (charDelay_ || lineDelay_) {
      p.SetAsciiCharDelay(charDelay_.value_or(0));
      p.SetAsciiLineDelay(lineDelay_.value_or(0));
    }
    if (eolChar_) p.SetAsciiEOLChar(char(*eolChar_));
    p.SetAsciiCRTranslation(cr_);
    p.SetAsciiLFTranslation(lf_);
    p.SetAsciiSuppressCtrlZ(suppressCtrlZ_);
    if (eofTimeout_) p.SetAsciiEOFTimeout(*eofTimeout_);
  }

  std::string Help(bool sending) const override {
    std::string text;
    if (sending)
      text +=
          "  --char-delay MS                delay after every byte (default 0)\n"
          "  --line-delay MS                extra delay after each end-of-line byte (default 0)\n"
          "  --eol-char N                   the end-of-line byte, 0..255 (default 13)\n";
    else
      text += "  --eof-timeout TICKS            silence that ends the file, in 55 ms ticks (default 364)\n";
    text +=
        "  --cr-translation none|strip|add-cr-before|add-lf-after\n"
        "  --lf-translation none|strip|add-cr-before|add-lf-after\n"
        "                                 what a CR or an LF becomes (default none)\n"
        "  --suppress-ctrl-z              sending: drop the rest of a 60-byte block after\n"
        "                                 Ctrl-Z; receiving: do not store Ctrl-Z\n";
    return text;
  }

 private:
  std::optional<uint32_t> charDelay_, lineDelay_;
  std::optional<uint8_t> eolChar_;
  TAsciiEOLTranslation cr_ = aetNone, lf_ = aetNone;
  bool suppressCtrlZ_ = false;
  std::optional<int32_t> eofTimeout_;
};

}  // namespace

std::unique_ptr<ProtocolOptions> MakeAsciiOptions() { return std::make_unique<AsciiOptions>(); }

}  // namespace zav::mero
