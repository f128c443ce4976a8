// Shared pieces of the mero commands: argument words, opening a port with the
// library's own texts for failures, signals and the wait-and-pump loop step.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "Mero.h"
#include "qc/Plan.h"
#include "platform/Messages.h"
#include "serial/PortMap.h"
#include "serial/QwNet.h"
#include "serial/QwWin32.h"
#include "serial/QxExcept.h"

namespace zav::mero {

std::string ArgReader::Value(const std::string& name) {
  if (Done()) throw UsageError(name + " needs a value");
  return Next();
}

long ArgReader::Number(const std::string& name, long lo, long hi) {
  const std::string text = Value(name);
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || n < lo || n > hi)
    throw UsageError(name + " must be a whole number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                     ", not \"" + text + "\"");
  return n;
}

size_t ArgReader::Choice(const std::string& name, const std::vector<std::string>& choices) {
  const std::string text = Value(name);
  std::string all;
  for (size_t i = 0; i < choices.size(); ++i) {
    if (choices[i] == text) return i;
    all += (i ? "|" : "") + choices[i];
  }
  throw UsageError(name + " must be " + all + ", not \"" + text + "\"");
}

bool IsHelp(const std::string& word) { return word == "--help" || word == "-h"; }

void OfferHelp(const std::string& word, const std::string& help) {
  if (!IsHelp(word)) return;
  std::fputs(help.c_str(), stdout);
  throw HelpShown{};
}

const char* const kLineOptionsHelp =
    "  --baud N                       line rate (default 19200)\n"
    "  --parity none|odd|even|mark|space\n"
    "  --data 5..8                    data bits (default 8)\n"
    "  --stop 1|2                     stop bits (default 1)\n"
    "  --flow none|rtscts|xonxoff     flow control (default none)\n"
    "  --dtr on|off, --rts on|off     modem control lines (default on)\n"
    "  --trace FILE                   write the dispatcher's trace to FILE on exit\n"
    "  --log FILE                     write the dispatch log to FILE on exit\n"
    "  --quiet                        no \"mero: PORT: open at ...\" line once ready\n";

bool NextOption(ArgReader& args, const std::string& help, std::string& word, PortOptions* line) {
  while (!args.Done()) {
    word = args.Next();
    OfferHelp(word, help);
    if (line == nullptr || !ParseLineOption(word, args, *line)) return true;
  }
  return false;
}

bool ParseLineOption(const std::string& option, ArgReader& args, PortOptions& out) {
  if (option == "--baud") {
    out.Baud = args.Number(option, 1, INT32_MAX);  // the device says which it takes
  } else if (option == "--parity") {
    out.Parity = TParity(args.Choice(option, {"none", "odd", "even", "mark", "space"}));
  } else if (option == "--data") {
    out.DataBits = int(args.Number(option, 5, 8));
  } else if (option == "--stop") {
    out.StopBits = int(args.Number(option, 1, 2));
  } else if (option == "--flow") {
    out.Flow = PortOptions::TFlow(args.Choice(option, {"none", "rtscts", "xonxoff"}));
  } else if (option == "--dtr") {
    out.Dtr = args.Choice(option, {"off", "on"}) == 1;
  } else if (option == "--rts") {
    out.Rts = args.Choice(option, {"off", "on"}) == 1;
  } else if (option == "--trace") {
    out.TraceFile = args.Value(option);
  } else if (option == "--log") {
    out.LogFile = args.Value(option);
  } else if (option == "--quiet") {
    out.Quiet = true;
  } else {
    return false;
  }
  return true;
}

std::string SettingsText(const PortOptions& o) {
  std::string text = LineSettingsText(o.Baud, o.DataBits, o.Parity, o.StopBits);
  if (o.Flow == PortOptions::RtsCts) text += " rtscts";
  if (o.Flow == PortOptions::XonXoff) text += " xonxoff";
  return text;
}

std::string ProgramVersion() { return TComponent(nullptr).Version(); }

void AnnounceReady(const PortOptions& o) {
  if (o.Quiet) return;
  std::fprintf(stderr, "mero: %s: open at %s\n", o.Port.c_str(), SettingsText(o).c_str());
  std::fflush(stderr);
}

namespace {

// What the device layer said about a failed open (the com port turns every
// refusal into "device already open"; this tells permission from use).
struct OpenFailure {
  std::string Path;
  std::string Reason;
};

// The device's dispatcher (termios or network), opening a plain device path
// or address instead of the COM name when one was given, and keeping the
// reason of a failed open (one that failed after the device opened, such as
// settings a network server refuses, included).
template <class Base>
class ToolDispatcher : public Base {
 public:
  ToolDispatcher(TComponent* owner, std::string path, std::shared_ptr<OpenFailure> failure)
      : Base(owner), path_(std::move(path)), failure_(std::move(failure)) {}
  ~ToolDispatcher() override { Keep(); }

 protected:
  int32_t DeviceOpen(const std::string& name, uint32_t inSize, uint32_t outSize) override {
    const std::string use = path_.empty() ? name : path_;
    failure_->Path = ResolveDeviceName(use);
    const int32_t rc = Base::DeviceOpen(use, inSize, outSize);
    if (rc < 0) Keep();
    return rc;
  }

 private:
  void Keep() {
    if (const std::string reason = this->LastOpenErrorText(); !reason.empty()) failure_->Reason = reason;
  }
  std::string path_;
  std::shared_ptr<OpenFailure> failure_;
};

}  // namespace

ToolPort::ToolPort(const PortOptions& o) {
  port_ = new TMroComPort(&form_);
  port_->SetPromptForPort(false);
  const int com = ParseComName(o.Port);
  std::string path;
  if (com > 0) {
    if (com > kMaxComNumber) throw ToolError(ErrorText(ecBadId));
    port_->SetComNumber(uint16_t(com));
  } else {
    if (o.Port.empty()) throw UsageError("no port given");
    path = o.Port;
    port_->SetComNumber(1);  // the number is not used: the dispatcher opens the path
  }
  auto failure = std::make_shared<OpenFailure>();
  const bool network = IsNetworkAddress(path.empty() ? ResolveDeviceName(o.Port) : path);
  port_->DispatcherFactory = [path, failure, network](TMroCustomComPort& p) -> std::unique_ptr<TMroBaseDispatcher> {
    if (network) return std::make_unique<ToolDispatcher<TMroNetDispatcher>>(&p, path, failure);
    return std::make_unique<ToolDispatcher<TMroWin32Dispatcher>>(&p, path, failure);
  };
  port_->SetBaud(int32_t(o.Baud));
  port_->SetParity(o.Parity);
  port_->SetDataBits(uint16_t(o.DataBits));
  port_->SetStopBits(uint16_t(o.StopBits));
  port_->SetDTR(o.Dtr);
  port_->SetRTS(o.Rts);
  if (o.OutSize != 0) port_->SetOutSize(o.OutSize);
  if (o.Flow == PortOptions::RtsCts) port_->SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
  if (o.Flow == PortOptions::XonXoff) port_->SetSWFlowOptions(TSWFlowOptions::swfBoth);
  if (!o.TraceFile.empty()) {
    port_->SetTraceName(o.TraceFile);
    port_->SetTraceSize(kMaxTraceSize);
    port_->SetTracing(TTraceLogState::tlOn);
  }
  if (!o.LogFile.empty()) {
    port_->SetLogName(o.LogFile);
    port_->SetLogSize(kMaxLogSize / 16);
    port_->SetLogging(TTraceLogState::tlOn);
  }
  try {
    port_->SetOpen(true);
  } catch (const std::exception& e) {
    std::string text = e.what();
    if (!failure->Reason.empty() && text.find(failure->Reason) == std::string::npos)
      text += "\nmero: " + (failure->Path.empty() ? o.Port : failure->Path) + ": " + failure->Reason;
    throw ToolError(text);
  }
  if (!port_->Open()) throw ToolError(o.Port + ": the port did not open");
  if (auto* net = dynamic_cast<TMroNetDispatcher*>(port_->OwnedDispatcher.get()))
    for (const std::string& w : net->Warnings()) std::fprintf(stderr, "mero: %s: %s\n", net->Address().c_str(), w.c_str());
}

ToolPort::~ToolPort() {
  try {
    Close();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mero: %s\n", e.what());
  }
}

bool ToolPort::DeviceGone() {
  const TMroBaseDispatcher* d = port_->OwnedDispatcher.get();
  return d && d->DeviceGone();
}

void ToolPort::SendSome(std::string& pending) {
  if (pending.empty() || !port_->Open()) return;
  const uint32_t room = port_->OutputFree();
  const size_t n = std::min<size_t>({pending.size(), room, 0xFFFF});
  if (n == 0) return;
  port_->SendBlock(pending.data(), uint16_t(n));
  pending.erase(0, n);
}

std::string ToolPort::ReadAll() {
  std::string got;
  TMroBaseDispatcher* d = port_->OwnedDispatcher.get();
  if (!d || !port_->Open()) return got;
  for (uint32_t n; (n = d->InputUsed()) > 0;) {
    const size_t at = got.size();
    got.resize(at + n);
    const int32_t rc = d->ReadBlock(got.data() + at, n);
    if (rc < 0) {
      got.resize(at);
      CheckErrorCode(port_, rc);
      break;
    }
  }
  return got;
}

void ToolPort::Close() {
  if (port_->PortPhase == TPortPhase::ppOpen) port_->SetOpen(false);
  // A close may finish later, once the dispatcher's threads have ended.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (port_->PortPhase != TPortPhase::ppClosed && std::chrono::steady_clock::now() < deadline) {
    if (PumpOneMessage() == PumpResult::Empty)
      WaitForThreadMessage(std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
  }
}

namespace {
std::atomic<bool> gStop{false};
int gStopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  gStop = true;
  const char c = 1;
  [[maybe_unused]] ssize_t n = write(gStopPipe[1], &c, 1);
}
}  // namespace

int InstallStopSignals() {
  if (gStopPipe[0] < 0) {
    if (pipe2(gStopPipe, O_CLOEXEC | O_NONBLOCK) != 0) throw ToolError(std::string("pipe: ") + strerror(errno));
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
  }
  return gStopPipe[0];
}

bool StopRequested() { return gStop.load(); }

bool WaitAndPump(int stdinFd, std::chrono::milliseconds timeout) {
  pollfd fds[3] = {{ThreadQueueNotifyFd(), POLLIN, 0}, {InstallStopSignals(), POLLIN, 0}, {stdinFd, POLLIN, 0}};
  const nfds_t count = stdinFd >= 0 ? 3 : 2;
  const int ms = timeout.count() < 0 ? -1 : int(std::min<long long>(timeout.count(), 1 << 30));
  const int rc = poll(fds, count, ms);
  if (rc < 0 && errno != EINTR) throw ToolError(std::string("poll: ") + strerror(errno));
  DrainThreadQueue();
  return rc > 0 && count == 3 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

void WriteAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        pollfd w{fd, POLLOUT, 0};
        poll(&w, 1, 1000);
        continue;
      }
      throw ToolError(std::string("write: ") + strerror(errno));
    }
    p += n;
    size -= size_t(n);
  }
}

std::string ShownName(const std::string& name) {
  std::string out;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0) || c == '\\') {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += ch;
    }
  }
  return out;
}

std::string Unescape(const std::string& text) {
  try {
    return qc::UnescapeText(text);
  } catch (const std::invalid_argument& e) {
    throw UsageError(e.what());
  }
}

}  // namespace zav::mero
