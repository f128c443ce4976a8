// mero: the command-line side of the bench tool.
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "Mero.h"

namespace {

const char* const kUsage =
    "usage: mero COMMAND [OPTIONS]\n"
    "\n"
    "commands:\n"
    "  ports        list the port map (COM numbers and their devices)\n"
    "  term PORT    connect stdin and stdout to a port\n"
    "  send PORT    send files (--protocol ascii)\n"
    "  recv PORT    receive a file (--protocol ascii)\n"
    "  sim PORT     a simulated device: echo, banner, line replies\n"
    "  replay FILE  feed bytes into a headless terminal and print its screen\n"
    "  null-modem   two linked pseudo-terminals (a virtual cable), optionally a paced, noisy line\n"
    "  exec PORT    run a program with its standard input and output on a port\n"
    "  test PLAN    run a QC test plan on one or more ports: a verdict and reports per unit\n"
    "  selftest PORT  check a port through a loopback plug (or a cable to --peer PORT2)\n"
    "  results      the unit records: --flush puts spooled ones into the database\n"
    "  report       what the unit records say: yield, failing steps, each measurement's spread\n"
    "\n"
    "PORT is COMn (through the port map), a device path such as /dev/ttyUSB0, or a\n"
    "network port: rfc2217://HOST:PORT (RFC 2217, e.g. ser2net) or tcp://HOST:PORT (raw).\n"
    "\"mero COMMAND --help\" describes a command; \"mero --version\" prints the version.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace zav::mero;
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty()) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  const std::string command = words.front();
  if (IsHelp(command)) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (command == "--version") {
    std::printf("mero %s\n", ProgramVersion().c_str());
    return kExitOk;
  }
  const std::map<std::string, int (*)(ArgReader&)> commands = {
      {"ports", RunPorts}, {"term", RunTerm}, {"sim", RunSim}, {"replay", RunReplay}, {"null-modem", RunNullModem}, {"exec", RunExec},
      {"send", RunSend},     {"recv", RunRecv},     {"test", RunTest}, {"results", RunResults},
      {"report", RunReport},
      {"selftest", RunSelftest}};
  const auto found = commands.find(command);
  if (found == commands.end()) {
    std::fprintf(stderr, "mero: unknown command \"%s\"\n%s", command.c_str(), kUsage);
    return kExitUsage;
  }
  ArgReader args(std::vector<std::string>(words.begin() + 1, words.end()));
  try {
    return found->second(args);
  } catch (const HelpShown&) {
    return kExitOk;
  } catch (const UsageError& e) {
    std::fprintf(stderr, "mero %s: %s (see \"mero %s --help\")\n", command.c_str(), e.what(), command.c_str());
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mero: %s\n", e.what());
    return kExitFailed;
  }
}
