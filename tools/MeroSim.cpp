// mero sim: a device under test for benches without hardware. It greets with
// a banner, echoes what it receives when asked, and answers lines that match a
// pattern (shell-style * and ?) with their reply followed by CR LF.
#include <fnmatch.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "Mero.h"

namespace zav::mero {

namespace {

const std::string kHelp = std::string(
                              "usage: mero sim PORT [--echo] [--banner TEXT] [--respond PATTERN=REPLY ...]\n"
                              "A simulated device on PORT, running until SIGINT or SIGTERM.\n"
                              "  --echo                  send every received byte back\n"
                              "  --banner TEXT           send TEXT and CR LF once the port is open\n"
                              "  --respond PATTERN=REPLY answer a received line (ended by CR or LF)\n"
                              "                          matching PATTERN (* and ? wildcards) with\n"
                              "                          REPLY and CR LF; the first match answers\n"
                              "TEXT and REPLY take the escapes \\r \\n \\t \\e \\\\ \\xHH.\n") +
                          kLineOptionsHelp;

constexpr size_t kMaxLine = 4096;

}  // namespace

int RunSim(ArgReader& args) {
  PortOptions options;
  bool echo = false;
  std::string banner;
  bool hasBanner = false;
  std::vector<std::pair<std::string, std::string>> responses;
  while (!args.Done()) {
    const std::string word = args.Next();
    if (IsHelp(word)) {
      std::fputs(kHelp.c_str(), stdout);
      return kExitOk;
    }
    if (ParseLineOption(word, args, options)) continue;
    if (word == "--echo") {
      echo = true;
    } else if (word == "--banner") {
      banner = Unescape(args.Value(word));
      hasBanner = true;
    } else if (word == "--respond") {
      const std::string rule = args.Value(word);
      const size_t eq = rule.find('=');
      if (eq == std::string::npos || eq == 0)
        throw UsageError("--respond needs PATTERN=REPLY, not \"" + rule + "\"");
      responses.emplace_back(rule.substr(0, eq), Unescape(rule.substr(eq + 1)));
    } else if (word.rfind("--", 0) == 0 || !options.Port.empty()) {
      throw UsageError("unexpected \"" + word + "\"");
    } else {
      options.Port = word;
    }
  }
  if (options.Port.empty()) throw UsageError("no PORT given");

  InstallStopSignals();
  ToolPort port(options);
  std::string pending;  // waits for room in the transmit ring; never dropped
  if (hasBanner) pending = banner + "\r\n";
  std::string line;
  bool overlong = false;  // the current line passed kMaxLine: it answers nothing
  port.Port().SetOnTriggerAvail([&](TMroCustomComPort*, uint16_t) {
    const std::string got = port.ReadAll();
    if (echo) pending += got;
    for (const char c : got) {
      if (c != '\r' && c != '\n') {
        if (line.size() < kMaxLine)
          line += c;
        else
          overlong = true;
        continue;
      }
      if (!line.empty() && !overlong) {
        for (const auto& [pattern, reply] : responses) {
          if (fnmatch(pattern.c_str(), line.c_str(), 0) == 0) {
            pending += reply + "\r\n";
            break;
          }
        }
      }
      line.clear();
      overlong = false;
    }
  });
  std::fprintf(stderr, "mero: simulating a device on %s\n", options.Port.c_str());
  while (!StopRequested()) {
    if (port.DeviceGone()) {
      std::fprintf(stderr, "mero: %s: the device hung up\n", options.Port.c_str());
      return kExitFailed;
    }
    port.SendSome(pending);
    WaitAndPump(-1, std::chrono::milliseconds(pending.empty() ? 500 : 20));
  }
  port.Close();
  return kExitOk;
}

}  // namespace zav::mero
