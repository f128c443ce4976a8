// The port map: COM numbers to serial devices.
//
// "\\.\COMn" (or "COMn") names resolve in this order:
//  1. the override directory ($ZAVTERM_PORTS_DIR, else $XDG_CONFIG_HOME/zavterm/ports,
//     else ~/.config/zavterm/ports) holding symlinks com1 .. com50 to any device, or
//     regular files com<n> whose first line is a network address
//     (rfc2217://HOST:PORT or tcp://HOST:PORT, QwNet.h); an override always wins;
//  2. numbers without an override are filled, in order, from the ports that really
//     exist: serial-core ports with a UART (/sys/class/tty/ttyS*/type not 0), then
//     ttyUSB*, ttyACM*, ttyAMA* and other non-virtual ttys, each in name order.
// Any other name is a device path or a network address used as it is.
// Nothing here opens a port: opening toggles DTR and RTS.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zav {

constexpr int kMaxComNumber = 50;

struct TPortInfo {
  int ComNumber = 0;
  std::string Device;       // the device path (or network address) the number leads to
  std::string ById;         // a /dev/serial/by-id name of the device, if any
  std::string Driver;       // kernel driver, if known
  std::string Description;  // a human description: USB product, UART type, ...
  bool Override = false;    // mapped by the override directory
};

// The override directory in use (it need not exist).
std::string PortsOverrideDir();
// "\\.\COM<n>".
std::string ComDeviceName(int comNumber);
// The COM number of a "\\.\COMn" or "COMn" name (case-insensitive), else 0.
int ParseComName(const std::string& name);
// The device path or network address for a device name; empty when a COM
// name has no device.
std::string ResolveDeviceName(const std::string& name);
// Every mapped COM number, 1 to 50, in order.
std::vector<TPortInfo> EnumeratePorts();
std::optional<TPortInfo> LookupPort(int comNumber);

}  // namespace zav
