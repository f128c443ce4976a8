// mero send and mero recv: file transfers through the protocol component.
//
// Everything runs on this thread: the component's reports arrive through its
// message window while the loop pumps the queue. A stop signal cancels the
// transfer and waits for its finish, so the file is always closed.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Mero.h"
#include "protocols/QwTPcl.h"
#include "protocols/QxProtcl.h"
#include "serial/QxExcept.h"

namespace zav::mero {

namespace {

const std::string kAsciiSendHelp =
    "  --char-delay MS                delay after every byte (default 0)\n"
    "  --line-delay MS                extra delay after each end-of-line byte (default 0)\n"
    "  --eol-char N                   the end-of-line byte, 0..255 (default 13)\n";
const std::string kAsciiBothHelp =
    "  --cr-translation none|strip|add-cr-before|add-lf-after\n"
    "  --lf-translation none|strip|add-cr-before|add-lf-after\n"
    "                                 what a CR or an LF becomes (default none)\n"
    "  --suppress-ctrl-z              sending: drop the rest of a 60-byte block after\n"
    "                                 Ctrl-Z; receiving: do not store Ctrl-Z\n"
    "  --history FILE                 append the protocol history to FILE\n";

const std::string kSendHelp = std::string(
                                  "usage: mero send PORT --protocol ascii [OPTIONS] FILE...\n"
                                  "Sends the files one after another; the first failure ends the run.\n") +
                              kLineOptionsHelp + "  --protocol P                   ascii\n" + kAsciiSendHelp +
                              kAsciiBothHelp;
const std::string kRecvHelp =
    std::string(
        "usage: mero recv PORT --protocol ascii --file NAME [OPTIONS]\n"
        "Receives into NAME inside --dir until a Ctrl-Z or the end-of-file silence.\n"
        "An existing file is kept: the new one gets '$' as its first character.\n") +
    kLineOptionsHelp +
    "  --protocol P                   ascii\n"
    "  --dir DIR                      destination directory (default: the current one)\n"
    "  --file NAME                    the file to write (a name, not a path)\n"
    "  --eof-timeout TICKS            silence that ends the file, in 55 ms ticks (default 364)\n" +
    kAsciiBothHelp;

// Protocols that are planned but have no engine in this tool yet.
const std::vector<std::string> kLaterProtocols = {"xmodem", "xmodem-crc", "xmodem-1k", "xmodem-1kg",
                                                  "ymodem", "ymodem-g",   "zmodem",    "kermit"};

constexpr int32_t kMaxTicks = 39045157;
constexpr auto kCancelWait = std::chrono::seconds(15);

// The settings of one command line.
struct TransferOptions {
  PortOptions Line;
  std::string Protocol;
  std::optional<uint32_t> CharDelay, LineDelay;
  std::optional<uint8_t> EolChar;
  TAsciiEOLTranslation Cr = aetNone, Lf = aetNone;
  bool SuppressCtrlZ = false;
  std::string History;
  std::string Dir, File;
  std::optional<int32_t> EofTimeout;
  std::vector<std::string> Files;
};

TAsciiEOLTranslation Translation(ArgReader& args, const std::string& option) {
  return TAsciiEOLTranslation(args.Choice(option, {"none", "strip", "add-cr-before", "add-lf-after"}));
}

// Reads the words of send (`sending`) or recv; false when help was printed.
bool ParseTransfer(ArgReader& args, bool sending, TransferOptions& o) {
  while (!args.Done()) {
    const std::string word = args.Next();
    if (IsHelp(word)) {
      std::fputs((sending ? kSendHelp : kRecvHelp).c_str(), stdout);
      return false;
    }
    if (ParseLineOption(word, args, o.Line)) continue;
    if (word == "--protocol") {
      o.Protocol = args.Value(word);
    } else if (word == "--cr-translation") {
      o.Cr = Translation(args, word);
    } else if (word == "--lf-translation") {
      o.Lf = Translation(args, word);
    } else if (word == "--suppress-ctrl-z") {
      o.SuppressCtrlZ = true;
    } else if (word == "--history") {
      o.History = args.Value(word);
    } else if (sending && word == "--char-delay") {
      o.CharDelay = uint32_t(args.Number(word, 0, 600000));
    } else if (sending && word == "--line-delay") {
      o.LineDelay = uint32_t(args.Number(word, 0, 600000));
    } else if (sending && word == "--eol-char") {
      o.EolChar = uint8_t(args.Number(word, 0, 255));
    } else if (!sending && word == "--dir") {
      o.Dir = args.Value(word);
    } else if (!sending && word == "--file") {
      o.File = args.Value(word);
    } else if (!sending && word == "--eof-timeout") {
      o.EofTimeout = int32_t(args.Number(word, 1, kMaxTicks));
    } else if (word.rfind("--", 0) == 0 || (!sending && !o.Line.Port.empty())) {
      throw UsageError("unexpected \"" + word + "\"");
    } else if (o.Line.Port.empty()) {
      o.Line.Port = word;
    } else {
      o.Files.push_back(word);
    }
  }
  if (o.Line.Port.empty()) throw UsageError("no PORT given");
  if (o.Protocol.empty()) throw UsageError("--protocol is needed");
  if (o.Protocol != "ascii") {
    std::string text = "protocol not available yet: " + o.Protocol;
    bool planned = false;
    for (const auto& p : kLaterProtocols) planned = planned || p == o.Protocol;
    if (!planned) text += "\nmero: the protocols are: ascii";
    throw ToolError(text);
  }
  if (sending && o.Files.empty()) throw UsageError("no FILE given");
  if (!sending && o.File.empty()) throw UsageError("--file NAME is needed for the ascii protocol");
  return true;
}

// The engine keeps 255 characters of a path; a longer one would silently name
// another file.
void CheckPathLength(const std::string& path) {
  if (path.size() > kMaxPathChars)
    throw ToolError(path.substr(0, 40) + "...: a path of more than " + std::to_string(kMaxPathChars) +
                    " characters");
}

// A file to send must be a readable regular file. Names with wildcards are
// left to the component's mask search (it sends the first match).
void CheckSendable(const std::string& path) {
  CheckPathLength(path);
  if (path.find_first_of("*?") != std::string::npos) return;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) throw ToolError("cannot read " + path + ": " + strerror(errno));
  if (!S_ISREG(st.st_mode)) throw ToolError("cannot read " + path + ": not a regular file");
  if (access(path.c_str(), R_OK) != 0) throw ToolError("cannot read " + path + ": " + strerror(errno));
}

// The history file is opened for append now, so a bad path fails before any
// byte moves instead of in the middle of the transfer.
void CheckHistory(const std::string& path) {
  if (path.empty()) return;
  std::FILE* f = std::fopen(path.c_str(), "ab");
  if (f == nullptr) throw ToolError("cannot write the history " + path + ": " + strerror(errno));
  std::fclose(f);
}

std::string HumanBytes(double n) {
  char buf[32];
  if (n < 1024)
    std::snprintf(buf, sizeof buf, "%.0f B", n);
  else if (n < 1024 * 1024)
    std::snprintf(buf, sizeof buf, "%.1f KiB", n / 1024);
  else
    std::snprintf(buf, sizeof buf, "%.1f MiB", n / (1024 * 1024));
  return buf;
}

// One transfer through the protocol component on an open port.
class Transfer {
 public:
  Transfer(ToolPort& port, const TransferOptions& o) : port_(port), progress_(isatty(2) == 1) {
    protocol_ = new TMroProtocol(&owner_);
    protocol_->SetProtocolType(ptAscii);
    protocol_->SetComPort(&port.Port());
    // Names are used as given: upper-casing would pick another file on a
    // case-sensitive file system.
    protocol_->SetUpcaseFileNames(false);
    if (o.CharDelay || o.LineDelay)
      protocol_->SetAsciiCharDelay(o.CharDelay.value_or(0)), protocol_->SetAsciiLineDelay(o.LineDelay.value_or(0));
    if (o.EolChar) protocol_->SetAsciiEOLChar(char(*o.EolChar));
    protocol_->SetAsciiCRTranslation(o.Cr);
    protocol_->SetAsciiLFTranslation(o.Lf);
    protocol_->SetAsciiSuppressCtrlZ(o.SuppressCtrlZ);
    if (o.EofTimeout) protocol_->SetAsciiEOFTimeout(*o.EofTimeout);
    if (!o.History.empty()) {
      auto* log = new TMroProtocolLog(&owner_);
      log->HistoryName = o.History;
      protocol_->SetProtocolLog(log);
    }
    protocol_->OnProtocolFinish = [this](TMroCustomProtocol*, int32_t code) {
      finished_ = true;
      code_ = code;
    };
    protocol_->OnProtocolStatus = [this](TMroCustomProtocol*, uint16_t) { ShowProgress(false); };
    RegisterErrorReporter([this](const std::exception& e) {
      if (reported_.empty()) reported_ = e.what();
    });
  }
  ~Transfer() { RegisterErrorReporter(nullptr); }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  TMroProtocol& Protocol() { return *protocol_; }

  // Sends one file; returns the finish code (0: sent).
  int32_t Send(const std::string& path) {
    label_ = path;
    protocol_->SetFileMask(path);
    return Run([this] { protocol_->BeginTransmit(); }, [this] { protocol_->AbortProtocol(); });
  }

  // Receives into `path` (inside the destination directory); returns the
  // finish code.
  int32_t Receive(const std::string& path) {
    label_ = path;
    protocol_->SetFileName(path);
    TransferRecord& r = protocol_->Record();
    // The component only starts transmits; a receive is started on the engine
    // core the same way.
    auto start = [&] {
      SetActualBaud(r, port_.Port().Baud());
      StartTransfer(r, ptAscii, false, HandlerTable[ptAscii][0], PrepareTable[ptAscii][0]);
    };
    auto cancel = [&] {
      TLockGuard lock(r.RecordLock);
      if (r.InProgress != 0 && r.Dispatcher != nullptr)
        HandlerTable[ptAscii][0](MsgProtocolCancel, 0, LPARAM(uint32_t(r.Dispatcher->Handle()) << 16));
    };
    return Run(start, cancel);
  }

  // A report that failed inside an event (the history file), or empty.
  const std::string& Reported() const { return reported_; }

 private:
  template <class Start, class Cancel>
  int32_t Run(Start start, Cancel cancel) {
    finished_ = false;
    code_ = 0;
    shown_ = false;
    started_ = std::chrono::steady_clock::now();
    start();
    std::optional<std::chrono::steady_clock::time_point> cancelledAt;
    while (!finished_) {
      if (!cancelledAt && (StopRequested() || port_.DeviceGone())) {
        cancel();
        cancelledAt = std::chrono::steady_clock::now();
      }
      if (cancelledAt && std::chrono::steady_clock::now() - *cancelledAt > kCancelWait) {
        code_ = ecCancelRequested;
        break;
      }
      WaitAndPump(-1, std::chrono::milliseconds(200));
    }
    ShowProgress(true);
    return code_;
  }

  // The progress line on a terminal: bytes, rate and, when the size is known,
  // the time left.
  void ShowProgress(bool last) {
    if (!progress_ || (last && !shown_)) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const double done = protocol_->BytesTransferred();
    const double left = protocol_->BytesRemaining();
    const double rate = seconds > 0.2 ? done / seconds : 0;
    std::string line = "\r" + label_ + "  " + HumanBytes(done);
    if (protocol_->SrcFileLen() > 0) {
      char pct[16];
      std::snprintf(pct, sizeof pct, " (%.0f%%)", 100.0 * done / std::max(1.0, done + left));
      line += " of " + HumanBytes(done + left) + pct;
    }
    line += "  " + HumanBytes(rate) + "/s";
    if (protocol_->SrcFileLen() > 0 && rate > 0 && !last) {
      const long eta = std::lround(left / rate);
      char buf[32];
      std::snprintf(buf, sizeof buf, "  ETA %ld:%02ld", eta / 60, eta % 60);
      line += buf;
    }
    line += "\x1b[K";
    if (last) line += "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
    shown_ = true;
  }

  ToolPort& port_;
  TComponent owner_{nullptr};
  TMroProtocol* protocol_ = nullptr;
  bool progress_;
  bool shown_ = false;
  bool finished_ = false;
  int32_t code_ = 0;
  std::string label_;
  std::string reported_;
  std::chrono::steady_clock::time_point started_;
};

// The exit code of a finished transfer; the failure's text on stderr.
int Outcome(const Transfer& t, int32_t code, const std::string& what) {
  if (code != 0) {
    std::fprintf(stderr, "mero: %s: %s\n", what.c_str(), ErrorText(code).c_str());
    return kExitFailed;
  }
  if (!t.Reported().empty()) {
    std::fprintf(stderr, "mero: %s\n", t.Reported().c_str());
    return kExitFailed;
  }
  return kExitOk;
}

}  // namespace

int RunSend(ArgReader& args) {
  TransferOptions o;
  if (!ParseTransfer(args, true, o)) return kExitOk;
  for (const auto& f : o.Files) CheckSendable(f);
  CheckHistory(o.History);
  InstallStopSignals();
  ToolPort port(o.Line);
  int result = kExitOk;
  {
    Transfer t(port, o);
    for (const auto& f : o.Files) {
      result = Outcome(t, t.Send(f), f);
      if (result != kExitOk || StopRequested()) break;
    }
  }
  port.Close();
  return result;
}

int RunRecv(ArgReader& args) {
  TransferOptions o;
  if (!ParseTransfer(args, false, o)) return kExitOk;
  if (o.File.find('/') != std::string::npos || o.File == "." || o.File == "..")
    throw UsageError("--file takes a file name; the directory goes in --dir");
  if (!o.Dir.empty()) {
    struct stat st {};
    if (stat(o.Dir.c_str(), &st) != 0) throw ToolError("cannot use " + o.Dir + ": " + strerror(errno));
    if (!S_ISDIR(st.st_mode)) throw ToolError("cannot use " + o.Dir + ": not a directory");
  }
  // The place of the file: always inside the destination directory.
  CheckPathLength(o.Dir);
  std::string path;
  {
    TransferRecord probe;
    SetBufferText(probe.DestinationDirectory, o.Dir);
    if (!BuildReceivePath(probe, o.File, false, path)) {
      CheckPathLength(path);
      throw UsageError("--file NAME is not a usable file name");
    }
  }
  CheckHistory(o.History);
  InstallStopSignals();
  ToolPort port(o.Line);
  int result = kExitOk;
  {
    Transfer t(port, o);
    t.Protocol().SetDestinationDirectory(o.Dir);
    const int32_t code = t.Receive(path);
    const std::string written = t.Protocol().FileName();
    result = Outcome(t, code, written);
    if (code == 0)
      std::fprintf(stderr, "mero: received %d bytes into %s\n", t.Protocol().BytesTransferred(), written.c_str());
  }
  port.Close();
  return result;
}

}  // namespace zav::mero
