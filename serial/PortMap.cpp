#include "serial/PortMap.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "serial/QwNet.h"

namespace zav {
namespace fs = std::filesystem;
namespace {

std::string ReadFirstLine(const fs::path& p) {
  std::ifstream f(p);
  std::string line;
  std::getline(f, line);
  return line;
}

// Name order with numbers compared as numbers: ttyS2 before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(uint8_t(a[i])) && std::isdigit(uint8_t(b[j]))) {
      size_t ie = i, je = j;
      while (ie < a.size() && std::isdigit(uint8_t(a[ie]))) ++ie;
      while (je < b.size() && std::isdigit(uint8_t(b[je]))) ++je;
      unsigned long x = std::stoul(a.substr(i, ie - i)), y = std::stoul(b.substr(j, je - j));
      if (x != y) return x < y;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

std::string Canonical(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::canonical(path, ec);
  return ec ? path : p.string();
}

const char* UartTypeName(int type) {
  switch (type) {
    case 1: return "8250 UART";
    case 2: return "16450 UART";
    case 3: return "16550 UART";
    case 4: return "16550A UART";
    case 5: return "Cirrus UART";
    case 6: return "16650 UART";
    case 7: return "16650V2 UART";
    case 8: return "16750 UART";
    case 9: return "Startech UART";
    case 10: return "16C950 UART";
    case 11: return "16654 UART";
    case 12: return "16850 UART";
    default: return "serial port";
  }
}

// Driver and description of /dev/<name> from sysfs, without opening it.
void Describe(const std::string& name, TPortInfo& info) {
  fs::path cls = fs::path("/sys/class/tty") / name;
  std::error_code ec;
  fs::path dev = fs::canonical(cls / "device", ec);
  if (!ec) {
    fs::path drv = fs::read_symlink(cls / "device" / "driver", ec);
    if (!ec) info.Driver = drv.filename().string();
    // The USB product and maker live on an ancestor of the interface.
    for (fs::path p = dev; !p.empty() && p != p.root_path(); p = p.parent_path()) {
      if (fs::exists(p / "product")) {
        std::string product = ReadFirstLine(p / "product");
        std::string maker = ReadFirstLine(p / "manufacturer");
        info.Description = maker.empty() ? product : maker + " " + product;
        break;
      }
    }
  }
  if (info.Description.empty()) {
    std::string type = ReadFirstLine(cls / "type");
    if (!type.empty())
      info.Description = UartTypeName(std::atoi(type.c_str()));
    else if (name.rfind("ttyACM", 0) == 0)
      info.Description = "USB modem/CDC device";
    else if (name.rfind("ttyUSB", 0) == 0)
      info.Description = "USB serial adapter";
    else if (name.rfind("pts/", 0) == 0 || name.rfind("/dev/pts/", 0) == 0)
      info.Description = "pseudo-terminal";
    else
      info.Description = "serial port";
  }
}

// The ports that really exist, in the automatic order.
std::vector<std::string> DetectedPorts() {
  std::vector<std::string> uarts, usb, acm, ama, other;
  std::error_code ec;
  for (auto& e : fs::directory_iterator("/sys/class/tty", ec)) {
    std::string name = e.path().filename().string();
    if (name.rfind("ttyS", 0) == 0) {
      std::string type = ReadFirstLine(e.path() / "type");
      if (!type.empty() && std::atoi(type.c_str()) != 0) uarts.push_back(name);
      continue;
    }
    std::error_code lec;
    std::string target = fs::read_symlink(e.path(), lec).string();
    if (lec || target.find("/virtual/") != std::string::npos) continue;
    if (!fs::exists(e.path() / "device")) continue;
    if (name.rfind("ttyUSB", 0) == 0)
      usb.push_back(name);
    else if (name.rfind("ttyACM", 0) == 0)
      acm.push_back(name);
    else if (name.rfind("ttyAMA", 0) == 0)
      ama.push_back(name);
    else if (name.rfind("tty", 0) == 0 || name.rfind("rfcomm", 0) == 0)
      other.push_back(name);
  }
  std::vector<std::string> all;
  for (auto* group : {&uarts, &usb, &acm, &ama, &other}) {
    std::sort(group->begin(), group->end(), NaturalLess);
    for (auto& n : *group) all.push_back("/dev/" + n);
  }
  return all;
}

std::map<std::string, std::string> ByIdNames() {
  std::map<std::string, std::string> out;
  std::error_code ec;
  for (auto& e : fs::directory_iterator("/dev/serial/by-id", ec)) out[Canonical(e.path().string())] = e.path().string();
  return out;
}

std::vector<TPortInfo> BuildMap() {
  std::vector<TPortInfo> ports;
  std::set<std::string> taken;
  const fs::path dir = PortsOverrideDir();
  std::map<int, std::string> overrides;
  for (int n = 1; n <= kMaxComNumber; ++n) {
    fs::path link = dir / ("com" + std::to_string(n));
    std::error_code ec;
    if (!fs::is_symlink(link, ec)) {
      // A regular file names a network port: its first line is the address.
      if (!fs::is_regular_file(link, ec)) continue;
      std::string address = ReadFirstLine(link);
      while (!address.empty() && std::isspace(uint8_t(address.back()))) address.pop_back();
      while (!address.empty() && std::isspace(uint8_t(address.front()))) address.erase(0, 1);
      if (IsNetworkAddress(address)) overrides[n] = address;
      continue;
    }
    fs::path target = fs::read_symlink(link, ec);
    if (ec) continue;
    if (target.is_relative()) target = dir / target;
    overrides[n] = target.string();
    taken.insert(Canonical(target.string()));
  }
  std::vector<std::string> detected;
  for (auto& d : DetectedPorts())
    if (!taken.count(Canonical(d))) detected.push_back(d);
  auto byId = ByIdNames();
  size_t next = 0;
  for (int n = 1; n <= kMaxComNumber; ++n) {
    TPortInfo info;
    info.ComNumber = n;
    auto o = overrides.find(n);
    if (o != overrides.end()) {
      info.Device = o->second;
      info.Override = true;
    } else if (next < detected.size()) {
      info.Device = detected[next++];
    } else {
      continue;
    }
    if (IsNetworkAddress(info.Device)) {
      const bool raw = info.Device.size() > 0 && std::tolower(uint8_t(info.Device[0])) == 't';
      info.Driver = raw ? "tcp" : "rfc2217";
      info.Description = raw ? "network port, raw TCP" : "network port, RFC 2217";
      ports.push_back(info);
      continue;
    }
    std::string real = Canonical(info.Device);
    auto b = byId.find(real);
    if (b != byId.end()) info.ById = b->second;
    if (real.rfind("/dev/", 0) == 0) Describe(real.substr(5), info);
    ports.push_back(info);
  }
  return ports;
}

}  // namespace

std::string PortsOverrideDir() {
  if (const char* d = std::getenv("ZAVTERM_PORTS_DIR"); d && *d) return d;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x) return std::string(x) + "/zavterm/ports";
  if (const char* h = std::getenv("HOME"); h && *h) return std::string(h) + "/.config/zavterm/ports";
  return ".config/zavterm/ports";
}

std::string ComDeviceName(int comNumber) { return "\\\\.\\COM" + std::to_string(comNumber); }

int ParseComName(const std::string& name) {
  std::string s = name;
  if (s.rfind("\\\\.\\", 0) == 0) s = s.substr(4);
  if (s.size() < 4) return 0;
  std::string prefix = s.substr(0, 3);
  for (auto& c : prefix) c = char(std::toupper(uint8_t(c)));
  if (prefix != "COM") return 0;
  int n = 0;
  for (size_t i = 3; i < s.size(); ++i) {
    if (!std::isdigit(uint8_t(s[i])) || n > 100000) return 0;
    n = n * 10 + (s[i] - '0');
  }
  return n;
}

std::string ResolveDeviceName(const std::string& name) {
  int n = ParseComName(name);
  if (n == 0) return name;
  auto info = LookupPort(n);
  return info ? info->Device : std::string();
}

std::vector<TPortInfo> EnumeratePorts() { return BuildMap(); }

std::optional<TPortInfo> LookupPort(int comNumber) {
  if (comNumber < 1 || comNumber > kMaxComNumber) return std::nullopt;
  for (auto& p : BuildMap())
    if (p.ComNumber == comNumber) return p;
  return std::nullopt;
}

}  // namespace zav
