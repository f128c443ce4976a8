// mero send and mero recv: file transfers through the protocol component.
//
// Everything runs on this thread: the component's reports arrive through its
// message window while the loop pumps the queue. A stop signal cancels the
// transfer and waits for its finish, so the file is always closed.
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "MeroTransfer.h"
#include "qc/PlanTransfer.h"
#include "protocols/core/ProtocolWords.h"
#include "protocols/core/QwTPcl.h"
#include "protocols/component/QxProtcl.h"
#include "serial/QxExcept.h"

namespace zav::mero {

namespace {

constexpr auto kCancelWait = std::chrono::seconds(15);
constexpr auto kDrainWait = std::chrono::seconds(2);

const char* const kSendHead =
    "usage: mero send PORT --protocol P [OPTIONS] FILE...\n"
    "Sends the files: one session each, or one session for all with a protocol that\n"
    "carries names (a FILE may be a mask such as 'logs/*.txt'); the first failure\n"
    "ends the run.\n";
const char* const kRecvHead =
    "usage: mero recv PORT --protocol P [--file NAME] [OPTIONS]\n"
    "Receives into --dir: the protocols that carry no name write --file NAME; the\n"
    "others write the names the sender gives (never outside --dir).\n"
    "An existing file is kept: the new one gets '$' as its first character (zmodem:\n"
    "the sender's file option, or --option-override, decides).\n";
const char* const kCommonHelp =
    "  --history FILE                 append the protocol history to FILE\n";
const char* const kRecvCommonHelp =
    "  --dir DIR                      destination directory (default: the current one)\n"
    "  --file NAME                    the file to write (ascii: a name, not a path)\n";

std::string ProtocolList() {
  std::string list;
  for (const auto& p : TransferProtocols()) list += (list.empty() ? "" : "|") + p.Name;
  return list;
}

std::string Help(bool sending, const std::string& protocol) {
  std::string text = std::string(sending ? kSendHead : kRecvHead) + kLineOptionsHelp;
  text += "  --protocol P                   " + ProtocolList() + "\n";
  if (!sending) text += kRecvCommonHelp;
  text += kCommonHelp;
  for (const auto& p : TransferProtocols()) {
    if (!protocol.empty() && p.Name != protocol) continue;
    const std::string own = p.MakeOptions()->Help(sending);
    if (own.empty()) continue;
    // Families share their options: each set is listed once, under its first name.
    if (protocol.empty() && text.find(own) != std::string::npos) continue;
    text += p.Name + ":\n" + own;
  }
  return text;
}

// The settings of one command line.
struct TransferOptions {
  PortOptions Line;
  const ProtocolEntry* Protocol = nullptr;
  std::unique_ptr<ProtocolOptions> Own;
  std::string History;
  std::string Dir, File;
  std::vector<std::string> Files;
};

const ProtocolEntry* FindProtocol(const std::string& name) {
  for (const auto& p : TransferProtocols())
    if (p.Name == name) return &p;
  throw ToolError("unknown protocol: " + name + "\nmero: the protocols are: " + ProtocolList());
}

// Reads the words of send (`sending`) or recv; false when help was printed.
bool ParseTransfer(ArgReader& args, bool sending, TransferOptions& o) {
  // The protocol decides which words are options: find it first.
  std::vector<std::string> words;
  std::string protocol;
  bool help = false;
  while (!args.Done()) {
    words.push_back(args.Next());
    if (IsHelp(words.back())) help = true;
    if (words.back() == "--protocol" && !args.Done()) protocol = args.Peek();
  }
  if (help) {
    if (!protocol.empty()) FindProtocol(protocol);
    std::fputs(Help(sending, protocol).c_str(), stdout);
    return false;
  }
  if (protocol.empty()) throw UsageError("--protocol is needed");
  o.Protocol = FindProtocol(protocol);
  o.Own = o.Protocol->MakeOptions();
  ArgReader all(words);
  while (!all.Done()) {
    const std::string word = all.Next();
    if (ParseLineOption(word, all, o.Line)) continue;
    if (word == "--protocol") {
      all.Value(word);
    } else if (word == "--history") {
      o.History = all.Value(word);
    } else if (!sending && word == "--dir") {
      o.Dir = all.Value(word);
    } else if (!sending && word == "--file") {
      o.File = all.Value(word);
    } else if (o.Own->Parse(word, all, sending)) {
      continue;
    } else if (word.rfind("--", 0) == 0 || (!sending && !o.Line.Port.empty())) {
      throw UsageError("unexpected \"" + word + "\"");
    } else if (o.Line.Port.empty()) {
      o.Line.Port = word;
    } else {
      o.Files.push_back(word);
    }
  }
  o.Own->Check(sending);
  if (o.Line.Port.empty()) throw UsageError("no PORT given");
  if (sending && o.Files.empty()) throw UsageError("no FILE given");
  if (!sending && o.Protocol->Files == Batch::None && o.File.empty())
    throw UsageError("--file NAME is needed for the " + o.Protocol->Name + " protocol");
  if (!sending && o.Protocol->Files == Batch::Names && !o.File.empty())
    throw UsageError("--file is not taken by the " + o.Protocol->Name + " protocol: the sender names the files");
  o.Own->Check(sending);
  o.Line.OutSize = o.Own->TransmitRing(sending);
  return true;
}

// The engine keeps 255 characters of a path; a longer one would silently name
// another file.
void CheckPathLength(const std::string& path) {
  if (path.size() > kMaxPathChars)
    throw ToolError(path.substr(0, 40) + "...: a path of more than " + std::to_string(kMaxPathChars) +
                    " characters");
}

bool IsMask(const std::string& path) { return path.find_first_of("*?[") != std::string::npos; }

// A file to send must be a readable regular file. Masks are left to the
// component's mask search.
void CheckSendable(const std::string& path) {
  CheckPathLength(path);
  if (IsMask(path)) return;
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
  Transfer(ToolPort& port, const TransferOptions& o, bool sending)
      : port_(port), line_(o.Line), progress_(isatty(2) == 1) {
    protocol_ = new TMroProtocol(&owner_);
    protocol_->SetProtocolType(o.Protocol->Type);
    protocol_->SetComPort(&port.Port());
    // Names are used as given: upper-casing would pick another file on a
    // case-sensitive file system.
    protocol_->SetUpcaseFileNames(false);
    protocol_->SetDestinationDirectory(o.Dir);
    qc::ApplyUnattendedSettings(*protocol_, sending);  // what a plan's transfer starts from too
    o.Own->Apply(*protocol_, sending);
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
    protocol_->OnProtocolLog = [this](TMroCustomProtocol* p, uint16_t code) {
      if (code == lfReceiveStart || code == lfTransmitStart) {
        if (shown_) ShowProgress(true);
        label_ = ShownName(p->FileName());
        shown_ = false;
      } else if (code == lfReceiveOk) {
        ShowProgress(true);
        shown_ = false;
        std::fprintf(stderr, "mero: received %lld bytes into %s\n", static_cast<long long>(p->BytesTransferred()),
                     ShownName(p->FileName()).c_str());
        ++received_;
      } else if (code == lfReceiveSkip || code == lfTransmitSkip) {
        ShowProgress(true);
        shown_ = false;
        std::fprintf(stderr, "mero: skipped %s\n", ShownName(p->FileName()).c_str());
      }
    };
    RegisterErrorReporter([this](const std::exception& e) {
      if (reported_.empty()) reported_ = e.what();
    });
  }
  ~Transfer() { RegisterErrorReporter(nullptr); }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  TMroProtocol& Protocol() { return *protocol_; }

  // Sends the files of `mask` (one session); returns the finish code (0: sent).
  int32_t Send(const std::string& mask) {
    label_ = mask;
    protocol_->OnProtocolNextFile = nullptr;
    protocol_->SetFileMask(mask);
    return Run([this] { protocol_->BeginTransmit(); });
  }

  // Sends `files` one after another in one session.
  int32_t SendList(const std::vector<std::string>& files) {
    label_ = files.front();
    size_t next = 0;
    protocol_->OnProtocolNextFile = [&files, next](TMroCustomProtocol*, std::string& name) mutable {
      name = next < files.size() ? files[next++] : std::string();
    };
    const int32_t code = Run([this] { protocol_->BeginTransmit(); });
    protocol_->OnProtocolNextFile = nullptr;
    return code;
  }

  // Receives into `path`, or into the destination directory under the
  // sender's names when `path` is empty; returns the finish code.
  int32_t Receive(const std::string& path) {
    label_ = path;
    if (!path.empty()) protocol_->SetFileName(path);
    return Run([this] { protocol_->BeginReceive(); });
  }

  // Files received whole.
  int Received() const { return received_; }
  // A report that failed inside an event (the history file), or empty.
  const std::string& Reported() const { return reported_; }

 private:
  template <class Start>
  int32_t Run(Start start) {
    finished_ = false;
    code_ = 0;
    shown_ = false;
    started_ = std::chrono::steady_clock::now();
    start();
    // The engine is armed: the far end may start now.
    if (!announced_) AnnounceReady(line_);
    announced_ = true;
    std::optional<std::chrono::steady_clock::time_point> cancelledAt;
    while (!finished_) {
      if (!cancelledAt && (StopRequested() || port_.DeviceGone())) {
        if (port_.DeviceGone()) std::fputs("mero: the device hung up\n", stderr);
        protocol_->AbortProtocol();
        cancelledAt = std::chrono::steady_clock::now();
      }
      if (cancelledAt && std::chrono::steady_clock::now() - *cancelledAt > kCancelWait) {
        code_ = ecCancelRequested;
        break;
      }
      WaitAndPump(-1, std::chrono::milliseconds(200));
    }
    // The last bytes the protocol queued (a cancel's abort string) leave
    // before the port closes: closing drops what is still in the ring.
    const auto drainUntil = std::chrono::steady_clock::now() + kDrainWait;
    while (port_.Dispatcher().OutputUsed() > 0 && std::chrono::steady_clock::now() < drainUntil)
      WaitAndPump(-1, std::chrono::milliseconds(10));
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
  const PortOptions line_;
  bool announced_ = false;
  TComponent owner_{nullptr};
  TMroProtocol* protocol_ = nullptr;
  bool progress_;
  bool shown_ = false;
  bool finished_ = false;
  int32_t code_ = 0;
  int received_ = 0;
  std::string label_;
  std::string reported_;
  std::chrono::steady_clock::time_point started_;
};

// The exit code of a finished transfer; the failure's text on stderr.
int Outcome(const Transfer& t, int32_t code, const std::string& what) {
  if (code != 0) {
    std::fprintf(stderr, "mero: %s: %s\n", ShownName(what).c_str(), ErrorText(code).c_str());
    return kExitFailed;
  }
  if (!t.Reported().empty()) {
    std::fprintf(stderr, "mero: %s\n", t.Reported().c_str());
    return kExitFailed;
  }
  return kExitOk;
}

// What a protocol queued last (its final answer, a cancel) leaves the
// transmit ring before the port closes: the close drops the ring.
void DrainOutput(ToolPort& port, long baud) {
  if (port.Port().PortPhase != TPortPhase::ppOpen || port.DeviceGone()) return;
  TMroBaseDispatcher& d = port.Dispatcher();
  const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000) +
                     std::chrono::milliseconds(int64_t(d.OutputUsed()) * 10000 / std::max(baud, 1L));
  while (d.OutputUsed() > 0 && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace

bool ProtocolOptions::Parse(const std::string& word, ArgReader& args, bool sending) {
  const OptionRole own = sending ? OptionRole::Send : OptionRole::Receive;
  for (const Option& o : options_) {
    if (o.Name != word || (o.Role != OptionRole::Both && o.Role != own)) continue;
    o.Read(args, word);
    return true;
  }
  return false;
}

void ProtocolOptions::Add(std::string name, OptionRole role, Reader read) {
  options_.push_back({std::move(name), role, std::move(read)});
}

ProtocolOptions::Reader ProtocolOptions::Flag(bool& to) {
  return [&to](ArgReader&, const std::string&) { to = true; };
}

ProtocolOptions::Reader ProtocolOptions::Ticks(std::optional<int32_t>& to) {
  return [&to](ArgReader& args, const std::string& name) { to = TicksOption(args, name); };
}

const std::vector<ProtocolEntry>& TransferProtocols() {
  // Each protocol's own options; the words, and which send names, are the
  // shared table's.
  static const std::vector<ProtocolEntry> protocols = [] {
    const std::map<TProtocolType, std::function<std::unique_ptr<ProtocolOptions>()>> options = {
        {ptAscii, MakeAsciiOptions},     {ptBPlus, MakeBPlusOptions},     {ptXmodem, MakeXmodemOptions},
        {ptXmodemCRC, MakeXmodemOptions}, {ptXmodem1K, MakeXmodemOptions}, {ptXmodem1KG, MakeXmodemOptions},
        {ptYmodem, MakeYmodemOptions},   {ptYmodemG, MakeYmodemOptions},  {ptZmodem, MakeZmodemOptions},
        {ptKermit, MakeKermitOptions}};
    std::vector<ProtocolEntry> list;
    for (const ProtocolWord& w : kProtocolWords)
      list.push_back({std::string(w.word), w.type, w.carriesNames ? Batch::Names : Batch::None, options.at(w.type)});
    return list;
  }();
  return protocols;
}

int RunSend(ArgReader& args) {
  TransferOptions o;
  if (!ParseTransfer(args, true, o)) return kExitOk;
  for (const auto& f : o.Files) CheckSendable(f);
  CheckHistory(o.History);
  InstallStopSignals();
  ToolPort port(o.Line);
  int result = kExitOk;
  {
    Transfer t(port, o, true);
    if (o.Protocol->Files == Batch::Names && (o.Files.size() > 1 || !IsMask(o.Files.front()))) {
      // Several files in one session; a mask among them is expanded here.
      std::vector<std::string> files;
      for (const auto& f : o.Files) {
        if (!IsMask(f)) {
          files.push_back(f);
          continue;
        }
        glob_t g{};
        if (glob(f.c_str(), 0, nullptr, &g) == 0)
          for (size_t i = 0; i < g.gl_pathc; ++i) files.push_back(g.gl_pathv[i]);
        globfree(&g);
      }
      result = files.empty() ? Outcome(t, ecNoMatchingFiles, o.Files.front()) : Outcome(t, t.SendList(files), files.back());
    } else {
      for (const auto& f : o.Files) {
        result = Outcome(t, t.Send(f), f);
        if (result != kExitOk || StopRequested()) break;
      }
    }
  }
  DrainOutput(port, o.Line.Baud);
  port.Close();
  return result;
}

int RunRecv(ArgReader& args) {
  TransferOptions o;
  if (!ParseTransfer(args, false, o)) return kExitOk;
  if (!o.Dir.empty()) {
    struct stat st {};
    if (stat(o.Dir.c_str(), &st) != 0) throw ToolError("cannot use " + o.Dir + ": " + strerror(errno));
    if (!S_ISDIR(st.st_mode)) throw ToolError("cannot use " + o.Dir + ": not a directory");
  }
  CheckPathLength(o.Dir);
  std::string path;
  if (o.Protocol->Type == ptAscii) {
    // The ASCII file is a name inside the destination directory.
    if (o.File.find('/') != std::string::npos || o.File == "." || o.File == "..")
      throw UsageError("--file takes a file name; the directory goes in --dir");
    TransferRecord probe;
    SetBufferText(probe.DestinationDirectory, o.Dir);
    if (!BuildReceivePath(probe, o.File, false, path)) {
      CheckPathLength(path);
      throw UsageError("--file NAME is not a usable file name");
    }
  } else if (!o.File.empty()) {
    // A name of the user's own may be a path; a bare name goes into --dir.
    path = o.File.find('/') != std::string::npos || o.Dir.empty() ? o.File : o.Dir + "/" + o.File;
    if (path.find('/') == std::string::npos) path = "./" + path;
    CheckPathLength(path);
  }
  CheckHistory(o.History);
  InstallStopSignals();
  ToolPort port(o.Line);
  int result = kExitOk;
  {
    Transfer t(port, o, false);
    const int32_t code = t.Receive(path);
    result = Outcome(t, code, path.empty() ? (o.Dir.empty() ? std::string(".") : o.Dir) : t.Protocol().FileName());
  }
  DrainOutput(port, o.Line.Baud);
  port.Close();
  return result;
}

}  // namespace zav::mero
