// The mero command-line tool: commands, their shared argument parsing, port
// opening and signal handling.
//
// Each command takes the words after its name and returns the exit code: 0 on
// success, 1 when the work failed (the reason on stderr), 2 for a usage error.
#pragma once

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Component.h"
#include "serial/QxPort.h"

namespace zav::mero {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUntested = 3;  // mero test: a unit could not be tested, none failed

// Bad command-line input; main prints "mero: <text>" and exits 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// A failure of the work; main prints "mero: <text>" and exits 1.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Walks over a command's words: options with values, flags and operands.
class ArgReader {
 public:
  explicit ArgReader(std::vector<std::string> words) : words_(std::move(words)) {}
  bool Done() const { return at_ >= words_.size(); }
  const std::string& Peek() const { return words_[at_]; }
  std::string Next() { return words_[at_++]; }
  // The value of option `name` (the word after it); throws when missing.
  std::string Value(const std::string& name);
  // A whole number of option `name` in [lo, hi].
  long Number(const std::string& name, long lo, long hi);
  // One of `choices` for option `name`; returns its index.
  size_t Choice(const std::string& name, const std::vector<std::string>& choices);

 private:
  std::vector<std::string> words_;
  size_t at_ = 0;
};

bool IsHelp(const std::string& word);
// Help asked for and printed: the command ends there with exit 0.
struct HelpShown {};
// Prints `help` and ends the command (HelpShown) when `word` asks for help.
void OfferHelp(const std::string& word, const std::string& help);

// How to open a port and what to record while it is open.
struct PortOptions {
  std::string Port;  // "COMn", a device path or a network address
  long Baud = 19200;
  TParity Parity = TParity::pNone;
  int DataBits = 8;
  int StopBits = 1;
  enum TFlow { None, RtsCts, XonXoff };
  TFlow Flow = None;
  bool Dtr = true;
  bool Rts = true;
  uint16_t OutSize = 0;  // transmit ring; 0 keeps the port's default
  std::string TraceFile, LogFile;
  bool Quiet = false;  // no "open at" line once the port is ready
};
// The settings as the ready line shows them: "115200 8N1", with the flow
// control after them when there is one ("115200 8N1 rtscts").
std::string SettingsText(const PortOptions& o);
// Says on stderr, in one line of a fixed form, that the port is open and the
// command ready for the far end: "mero: COM3: open at 115200 8N1". Called
// after the last step of a command's open (a receive already armed, say),
// so what the far end sends from then on is taken. Nothing with --quiet.
void AnnounceReady(const PortOptions& o);
// The program's version, as "mero --version" prints it.
std::string ProgramVersion();
// Takes a line-setting option at the reader's position (the option word was
// just read as `option`); false when `option` is not one of them.
bool ParseLineOption(const std::string& option, ArgReader& args, PortOptions& out);
// The next word of a command's options, false when none is left: a help
// request ends the command (HelpShown), and with `line` the port's options
// are taken into it on the way.
bool NextOption(ArgReader& args, const std::string& help, std::string& word, PortOptions* line = nullptr);
extern const char* const kLineOptionsHelp;

// An open com port owned by a form, closed (trace and log written) when
// destroyed. Everything runs on the calling thread, which must pump its
// message queue (PumpPort) for the port's events to run.
class ToolPort {
 public:
  // Opens the port; a failure throws ToolError with the library's text and,
  // when the device said why, a second line naming the device and reason.
  explicit ToolPort(const PortOptions& options);
  ~ToolPort();
  ToolPort(const ToolPort&) = delete;
  ToolPort& operator=(const ToolPort&) = delete;

  TMroComPort& Port() { return *port_; }
  TMroBaseDispatcher& Dispatcher() { return *port_->RequireDispatcher(); }
  // The device hung up or went away.
  bool DeviceGone();
  // Queues as much of `pending` as the transmit ring takes, erasing it.
  void SendSome(std::string& pending);
  // Reads everything waiting in the receive ring.
  std::string ReadAll();
  // Closes the port and waits for the dispatcher's threads to end.
  void Close();

 private:
  TComponent form_{nullptr};
  TMroComPort* port_ = nullptr;
};

// SIGINT, SIGTERM and SIGHUP set a flag and make this descriptor readable.
int InstallStopSignals();
bool StopRequested();

// Waits for stdin, the thread's message queue or a stop signal, at most
// `timeout` (negative: no limit); then serves the message queue. Returns true
// when stdin (if >= 0) is readable.
bool WaitAndPump(int stdinFd, std::chrono::milliseconds timeout);

// Writes all of `data` to a descriptor; throws ToolError on failure.
void WriteAll(int fd, const void* data, size_t size);
// Text with \r \n \t \e \\ \xHH escapes turned into bytes.
std::string Unescape(const std::string& text);
// A name for the terminal: control bytes (below 0x20, 0x7F, 0x80..0x9F) and
// the backslash as \xHH, so no name a peer chose can drive the terminal.
std::string ShownName(const std::string& name);

int RunPorts(ArgReader& args);
int RunNullModem(ArgReader& args);
int RunExec(ArgReader& args);
int RunTerm(ArgReader& args);
int RunSim(ArgReader& args);
int RunReplay(ArgReader& args);
int RunSend(ArgReader& args);
int RunRecv(ArgReader& args);
int RunTest(ArgReader& args);
int RunSelftest(ArgReader& args);
int RunResults(ArgReader& args);
int RunReport(ArgReader& args);

}  // namespace zav::mero
