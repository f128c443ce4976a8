// mero term: stdin to the port, the port to stdout.
//
// With a terminal on stdin the terminal goes raw and Ctrl-] starts a command
// (q quits, b sends a break, Ctrl-] sends itself). Otherwise stdin is sent
// whole and the port is read until it has been silent for the idle time.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "Mero.h"
#include "serial/PortWatch.h"
#include "terminal/PlotCsv.h"
#include "terminal/ReceiveLog.h"

namespace zav::mero {

namespace {

const std::string kHelp = std::string(
                              "usage: mero term PORT [OPTIONS]\n"
                              "Bytes from stdin go to the port, bytes from the port go to stdout.\n"
                              "With a terminal on stdin: raw mode; Ctrl-] then q quits, Ctrl-] then b\n"
                              "sends a break, Ctrl-] twice sends Ctrl-].\n"
                              "Without one: sends stdin, then prints until the port is silent.\n") +
                          kLineOptionsHelp +
                          "  --capture FILE                 append what the port receives to FILE (as shown\n"
                          "                                 with --timestamps or --hex)\n"
                          "  --idle SECONDS                 silence that ends a piped session (default 1)\n"
                          "  --timestamps                   local time [HH:MM:SS.mmm] before each received line\n"
                          "  --hex                          received bytes as a hex dump (hexdump -C rows)\n"
                          "  --gap MS                       a partial line or row waiting this long is shown\n"
                          "                                 by itself (default 100)\n"
                          "  --reconnect                    when the device goes away, wait for it and reopen it\n"
                          "                                 (default: end, \"the device hung up\")\n"
                          "  --csv FILE                     write the numbers in the received lines to FILE as\n"
                          "                                 CSV while the session runs (replacing FILE)\n"
                          "  --plot-format auto|numbers|labels|REGEX\n"
                          "                                 how the lines are read for --csv (default auto)\n";

constexpr char kEscape = 0x1D;  // Ctrl-]
constexpr int32_t kBreakTicks = 5;
constexpr size_t kMaxPending = 65536;

// Puts the terminal on stdin in raw mode for its lifetime.
class RawStdin {
 public:
  RawStdin() {
    if (tcgetattr(0, &saved_) != 0) return;
    termios raw = saved_;
    cfmakeraw(&raw);
    if (tcsetattr(0, TCSANOW, &raw) == 0) active_ = true;
  }
  ~RawStdin() {
    if (active_) tcsetattr(0, TCSANOW, &saved_);
  }

 private:
  termios saved_{};
  bool active_ = false;
};

using Clock = std::chrono::steady_clock;

// The received lines' numbers written to a CSV as they come.
class CsvLog {
 public:
  // Throws UsageError for a bad pattern (before anything is opened).
  explicit CsvLog(const TPlotFormat& format) {
    try {
      parser_ = std::make_unique<TPlotParser>(format);
    } catch (const std::invalid_argument& e) {
      throw UsageError(std::string("--plot-format: ") + e.what());
    }
  }
  void Open(const std::string& path) {
    path_ = path;
    Guard([&] { file_ = std::make_unique<TPlotCsvFile>(path); });
  }
  void Feed(const std::string& bytes, const TLogTime& at) {
    Guard([&] {
      file_->Add(parser_->Feed(bytes, at), parser_->Names());
      file_->Flush();
    });
  }
  void Finish(const char* eol) {
    Guard([&] {
      if (auto last = parser_->Finish()) file_->Add({*last}, parser_->Names());
      file_->Finish(parser_->Names());
    });
    std::fprintf(stderr, "mero: %s: %llu rows, %zu series, %llu lines skipped%s", path_.c_str(),
                 static_cast<unsigned long long>(file_->Rows()), parser_->Names().size(),
                 static_cast<unsigned long long>(parser_->Skipped()), eol);
  }

 private:
  template <class F>
  static void Guard(F&& f) {
    try {
      f();
    } catch (const std::runtime_error& e) {
      throw ToolError(e.what());
    }
  }
  std::string path_;
  std::unique_ptr<TPlotParser> parser_;
  std::unique_ptr<TPlotCsvFile> file_;
};

// What the command line asks of a session.
struct TermArgs {
  PortOptions Port;
  std::string CapturePath;
  double IdleSeconds = 1.0;
  bool Reconnect = false;
  bool Stamps = false, Hex = false;
  int64_t GapMs = kDefaultLogGapMs;
  std::string CsvPath;
  TPlotFormat PlotFormat;
};

TermArgs ReadTermArgs(ArgReader& args) {
  TermArgs a;
  bool plotFormatGiven = false;
  std::string word;
  while (NextOption(args, kHelp, word, &a.Port)) {
    if (word == "--reconnect") {
      a.Reconnect = true;
    } else if (word == "--capture") {
      a.CapturePath = args.Value(word);
    } else if (word == "--idle") {
      const std::string text = args.Value(word);
      char* end = nullptr;
      a.IdleSeconds = std::strtod(text.c_str(), &end);
      if (text.empty() || *end != '\0' || !(a.IdleSeconds >= 0) || a.IdleSeconds > 86400)
        throw UsageError("--idle must be a number of seconds from 0 to 86400, not \"" + text + "\"");
    } else if (word == "--csv") {
      a.CsvPath = args.Value(word);
    } else if (word == "--plot-format") {
      a.PlotFormat = TPlotFormat::FromText(args.Value(word));
      plotFormatGiven = true;
    } else if (word == "--timestamps") {
      a.Stamps = true;
    } else if (word == "--hex") {
      a.Hex = true;
    } else if (word == "--gap") {
      const std::string text = args.Value(word);
      char* end = nullptr;
      const long long value = std::strtoll(text.c_str(), &end, 10);
      if (text.empty() || *end != '\0' || value < 1 || value > 3'600'000)
        throw UsageError("--gap must be a number of milliseconds from 1 to 3600000, not \"" + text + "\"");
      a.GapMs = value;
    } else if (word.rfind("--", 0) == 0 || !a.Port.Port.empty()) {
      throw UsageError("unexpected \"" + word + "\"");
    } else {
      a.Port.Port = word;
    }
  }
  if (a.Port.Port.empty()) throw UsageError("no PORT given");
  if (plotFormatGiven && a.CsvPath.empty()) throw UsageError("--plot-format goes with --csv");
  return a;
}

}  // namespace

int RunTerm(ArgReader& args) {
  const TermArgs given = ReadTermArgs(args);
  PortOptions options = given.Port;
  const std::string& capturePath = given.CapturePath;
  const double idleSeconds = given.IdleSeconds;
  const bool reconnect = given.Reconnect, stamps = given.Stamps, hex = given.Hex;
  const int64_t gapMs = given.GapMs;
  std::optional<CsvLog> csv;
  if (!given.CsvPath.empty()) csv.emplace(given.PlotFormat);

  std::FILE* capture = nullptr;
  if (!capturePath.empty()) {
    capture = std::fopen(capturePath.c_str(), "ab");
    if (!capture) throw ToolError("cannot open " + capturePath + ": " + strerror(errno));
  }
  struct CloseCapture {
    std::FILE*& f;
    ~CloseCapture() {
      if (f) std::fclose(f);
    }
  } closeCapture{capture};

  InstallStopSignals();
  ToolPort port(options);
  if (csv) csv->Open(given.CsvPath);
  const bool interactive = isatty(0) == 1;

  auto lastActivity = Clock::now();
  TReceiveLog shown(hex ? TReceiveLog::Mode::Hex : TReceiveLog::Mode::Text, stamps, gapMs);
  // A raw terminal on stdout does not return the carriage by itself: the
  // lines the formatter makes need it.
  const bool addReturns = interactive && (hex || stamps) && isatty(1) == 1;
  auto show = [&](const std::string& text) {
    if (text.empty()) return;
    if (addReturns) {
      std::string out;
      for (const char c : text) {
        if (c == '\n') out += '\r';
        out += c;
      }
      WriteAll(1, out.data(), out.size());
    } else {
      WriteAll(1, text.data(), text.size());
    }
    if (capture && std::fwrite(text.data(), 1, text.size(), capture) != text.size())
      throw ToolError("cannot write " + capturePath + ": " + strerror(errno));
  };
  auto deliver = [&](const std::string& got) {
    if (got.empty()) return;
    const TLogTime now = TLogTime::Now();  // the same stamp for the shown lines and the CSV
    show(shown.Feed(got, now));
    if (csv) csv->Feed(got, now);
    lastActivity = Clock::now();
  };
  port.Port().SetOnTriggerAvail([&](TMroCustomComPort*, uint16_t) { deliver(port.ReadAll()); });
  std::optional<TPortReconnect> rejoin;
  bool failureShown = false;  // one "not reopened yet" each time the device goes
  if (reconnect) {
    rejoin.emplace(port.Port(), options.Port);
    const char* eol = interactive ? "\r\n" : "\n";
    rejoin->OnGone = [&, eol] {
      deliver(port.ReadAll());
      std::fprintf(stderr, "mero: %s: the device hung up; waiting for it to come back%s", options.Port.c_str(), eol);
      failureShown = false;
    };
    rejoin->OnBack = [&, eol] { std::fprintf(stderr, "mero: %s: reconnected%s", options.Port.c_str(), eol); };
    rejoin->OnFailed = [&, eol](const std::string& why) {
      if (!failureShown) std::fprintf(stderr, "mero: %s: not reopened yet: %s%s", options.Port.c_str(), why.c_str(), eol);
      failureShown = true;
    };
  }

  // Open, read by the handler and watched: from here on nothing sent is lost.
  AnnounceReady(options);
  std::optional<RawStdin> raw;
  if (interactive) {
    raw.emplace();
    std::fprintf(stderr, "mero: connected to %s; Ctrl-] q quits\r\n", options.Port.c_str());
  }
  fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);

  const auto idle = std::chrono::milliseconds(long(idleSeconds * 1000));
  std::string pending;
  bool stdinOpen = true;
  bool escaped = false;
  bool quit = false;
  int result = kExitOk;
  while (!quit && !StopRequested()) {
    const bool down = port.DeviceGone() || (rejoin && rejoin->Waiting());
    if (down && !rejoin) {
      std::fprintf(stderr, "mero: %s: the device hung up\n", options.Port.c_str());
      result = kExitFailed;
      break;
    }
    // While the device is away what is typed or piped waits for it.
    if (!down) port.SendSome(pending);
    const bool sending = !down && (!pending.empty() || port.Port().OutputUsed() > 0);
    std::chrono::milliseconds timeout(500);  // also how often a hang-up is noticed
    if (sending) {
      timeout = std::chrono::milliseconds(20);
      lastActivity = Clock::now();
    } else if (down) {
      lastActivity = Clock::now();  // a piped session waits for the device, not for silence
    } else if (!stdinOpen) {
      const auto left = lastActivity + idle - Clock::now();
      if (left <= Clock::duration::zero()) break;
      timeout = std::min(timeout, std::chrono::duration_cast<std::chrono::milliseconds>(left) +
                                      std::chrono::milliseconds(1));
    }
    if (const int64_t flushIn = shown.MsUntilFlush(TLogTime::Now()); flushIn >= 0)
      timeout = std::min(timeout, std::chrono::milliseconds(flushIn + 1));
    const int inFd = stdinOpen && pending.size() < kMaxPending ? 0 : -1;
    const bool input = WaitAndPump(inFd, timeout);
    show(shown.Flush(TLogTime::Now()));
    if (!input) continue;
    char buf[4096];
    const ssize_t n = read(0, buf, sizeof buf);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      stdinOpen = false;
    } else if (n == 0) {
      stdinOpen = false;
      lastActivity = Clock::now();
      if (interactive) quit = true;
    } else if (!interactive) {
      pending.append(buf, size_t(n));
    } else {
      for (ssize_t i = 0; i < n; ++i) {
        const char c = buf[i];
        if (!escaped) {
          if (c == kEscape)
            escaped = true;
          else
            pending += c;
          continue;
        }
        escaped = false;
        if (c == 'q' || c == 'Q') {
          quit = true;
          break;
        } else if ((c == 'b' || c == 'B') && !port.DeviceGone() && port.Port().Open()) {
          port.SendSome(pending);
          port.Port().SendLineBreak(kBreakTicks, false);
        } else if (c == kEscape) {
          pending += c;
        } else {
          std::fputs("\r\nmero: Ctrl-] then q quits, b sends a break, Ctrl-] sends Ctrl-]\r\n", stderr);
        }
      }
    }
  }
  deliver(port.ReadAll());
  show(shown.Finish());
  if (csv) csv->Finish(interactive ? "\r\n" : "\n");
  if (const TLineErrorCounts errors = port.Port().LineErrorCounts(); errors.Any())
    std::fprintf(stderr, "mero: %s: line errors: %s%s\n", options.Port.c_str(), FormatLineErrorCounts(errors).c_str(),
                 interactive ? "\r" : "");
  rejoin.reset();
  port.Close();
  return result;
}

}  // namespace zav::mero
