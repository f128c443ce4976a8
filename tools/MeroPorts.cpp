// mero ports: the port map as a table.
#include <cstdio>
#include <string>

#include "Mero.h"
#include "serial/PortMap.h"

namespace zav::mero {

namespace {
const char* const kHelp =
    "usage: mero ports\n"
    "Lists COM1..COM50 as mapped: device path, /dev/serial/by-id name, driver and\n"
    "description. A * marks a number mapped by the override directory\n"
    "($ZAVTERM_PORTS_DIR, else $XDG_CONFIG_HOME/zavterm/ports, else\n"
    "~/.config/zavterm/ports). No port is opened.\n";

std::string OrDash(const std::string& s) { return s.empty() ? "-" : s; }
}  // namespace

int RunPorts(ArgReader& args) {
  std::string word;
  while (NextOption(args, kHelp, word)) {
    throw UsageError("unexpected \"" + word + "\"");
  }
  const auto ports = EnumeratePorts();
  if (ports.empty()) {
    std::printf("no serial ports found (overrides: %s)\n", PortsOverrideDir().c_str());
    return kExitOk;
  }
  std::printf("%-6s %-24s %-40s %-12s %s\n", "PORT", "DEVICE", "BY-ID", "DRIVER", "DESCRIPTION");
  bool anyOverride = false;
  for (const auto& p : ports) {
    const std::string name = "COM" + std::to_string(p.ComNumber) + (p.Override ? "*" : "");
    anyOverride |= p.Override;
    std::printf("%-6s %-24s %-40s %-12s %s\n", name.c_str(), p.Device.c_str(), OrDash(p.ById).c_str(),
                OrDash(p.Driver).c_str(), OrDash(p.Description).c_str());
  }
  if (anyOverride) std::printf("* override in %s\n", PortsOverrideDir().c_str());
  return kExitOk;
}

}  // namespace zav::mero
