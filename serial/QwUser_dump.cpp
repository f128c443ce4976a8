// Writing the trace and the dispatch log to text files.
#include <sys/utsname.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "serial/QwUser.h"
#include "serial/QxExcept.h"
#include "serial/QxSrMgr.h"

namespace zav {
namespace {

constexpr int kTraceWidth = 78;
constexpr int kLogDataColumn = 45;
constexpr int kLogWidth = 79;

// errno as the I/O error numbers the library reports.
int32_t IoError(int err) {
  switch (err) {
    case ENOENT:
      return 2;
    case ENOTDIR:
      return 3;
    case EMFILE:
    case ENFILE:
      return 4;
    case ENOMEM:
      return 8;
    case ENOSPC:
    case EDQUOT:
      return 101;
    case EIO:
      return 160;
    default:
      return 5;  // access denied: read-only file system, permissions, a directory
  }
}

// A text file with CR LF line ends; records the first error.
class TDumpFile {
 public:
  // Returns 0 or minus the I/O error.
  int32_t Open(const std::string& name, bool append) {
    f_ = std::fopen(name.c_str(), append ? "ab" : "wb");
    if (!f_) return -IoError(errno);
    std::setvbuf(f_, nullptr, _IOFBF, 512);
    return 0;
  }
  void Write(const std::string& s) {
    if (f_ && std::fwrite(s.data(), 1, s.size(), f_) != s.size() && err_ == 0) err_ = errno;
  }
  void EndLine() { Write("\r\n"); }
  int32_t Close() {
    if (!f_) return 0;
    if (std::fclose(f_) != 0 && err_ == 0) err_ = errno;
    f_ = nullptr;
    return err_ ? -IoError(err_) : 0;
  }
  ~TDumpFile() { Close(); }

 private:
  std::FILE* f_ = nullptr;
  int err_ = 0;
};

// One byte as shown in both dumps.
std::string ShowByte(uint8_t b, bool hex, bool allHex) {
  char buf[8];
  const uint8_t lowest = hex ? 0x21 : 0x20;
  if (!allHex && b >= lowest && b <= 0x7E) return std::string(1, char(b));
  if (hex || allHex) {
    std::snprintf(buf, sizeof buf, "[%02X]", b);
  } else {
    std::snprintf(buf, sizeof buf, "[%u]", b);
  }
  return buf;
}

std::string LogText(uint32_t id) { return MeroErrorStrings().GetText(id); }

// 1234 ms gives "0001.234".
std::string FormatSeconds(uint32_t ms) {
  std::string digits = std::to_string(ms);
  if (digits.size() < 7) digits.insert(0, 7 - digits.size(), '0');
  digits.insert(digits.size() - 3, ".");
  return digits;
}

std::string CompilerText() {
#if defined(__clang__)
  return std::string("Clang ") + __clang_version__;
#elif defined(__GNUC__)
  return std::string("GCC ") + __VERSION__;
#else
  return "C++ compiler";
#endif
}

std::string OperatingSystemText() {
  utsname u{};
  std::string text = uname(&u) == 0 ? std::string(u.sysname) + " " + u.release + " " + u.version : "Unknown";
  if (text.size() > 80) text.resize(80);
  return text;
}

const char* const kStatusKindNames[] = {"(Not active)",         "(Modem status)",        "(Line status)",
                                        "(Output buffer free)", "(Output buffer used)", "(Output sent)"};

}  // namespace

int32_t TMroBaseDispatcher::WriteTrace(const std::string& fileName, bool append, bool hex, bool allHex) {
  TLockGuard status(StatusLock);
  if (TraceBuffer.empty()) return 0;
  Tracing_ = false;
  if (!TraceWrapped && TracePosition == 0) {
    EndTrace();
    return 0;
  }
  TDumpFile file;
  int32_t rc = file.Open(fileName, append);
  if (rc != 0) {
    EndTrace();
    return rc;
  }
  const uint32_t count = TraceWrapped ? TraceSize : uint32_t(TracePosition);
  uint32_t index = TraceWrapped ? uint32_t(TracePosition) : 0;
  int prevKind = -1;
  int column = 0;
  for (uint32_t n = 0; n < count; ++n, index = (index + 1) % TraceSize) {
    const uint8_t kind = TraceBuffer[size_t(index) * 2];
    const uint8_t byte = TraceBuffer[size_t(index) * 2 + 1];
    if (kind != prevKind) {
      if (prevKind != -1) {
        file.EndLine();
        file.EndLine();
      }
      column = 0;
      if (kind == 'R')
        file.Write("Receive: ");
      else if (kind == 'T')
        file.Write("Transmit: ");
      else
        file.Write(std::string("Special-") + char(kind) + ": ");
      file.EndLine();
      prevKind = kind;
    }
    std::string piece = ShowByte(byte, hex, allHex);
    int w = int(piece.size());
    if (column + w > kTraceWidth) {
      file.EndLine();
      column = w;
    } else {
      column += w;
    }
    file.Write(piece);
  }
  file.EndLine();
  rc = file.Close();
  EndTrace();
  return rc;
}

int32_t TMroBaseDispatcher::WriteLog(const std::string& fileName, bool append, bool hex, bool allHex) {
  TLockGuard status(StatusLock);
  if (LogBuffer.empty() || LogFree >= LogSize) {
    EndLog();
    return 0;
  }
  Logging_ = false;
  TDumpFile file;
  int32_t rc = file.Open(fileName, append);
  if (rc != 0) return rc;  // the log is kept, paused

  file.Write("MERO v3.04");
  file.EndLine();
  file.Write("Compiler : " + CompilerText());
  file.EndLine();
  file.Write("Operating System : " + OperatingSystemText());
  file.EndLine();
  file.Write(LogText(idLogHeader));
  file.EndLine();
  file.Write(LogText(idLogHeader + 1));
  file.EndLine();

  std::vector<uint8_t>& data = LogScratch;
  while (LogFree < LogSize) {
    uint8_t header[16];
    LogReadBytes(header, 16);
    const uint8_t kind = header[0];
    const uint8_t subKind = header[1];
    auto get32 = [&](int at) {
      return uint32_t(header[at]) | uint32_t(header[at + 1]) << 8 | uint32_t(header[at + 2]) << 16 |
             uint32_t(header[at + 3]) << 24;
    };
    const uint32_t time = get32(4), value = get32(8), length = get32(12);
    // The scratch grows to the entry: a long user text is read back whole.
    if (data.size() < length) data.resize(length);
    LogReadBytes(data.data(), length);

    char columns[128];
    std::snprintf(columns, sizeof columns, "%8s  %-8s  %-12s  %08X  ", FormatSeconds(time).c_str(),
                  LogText(idLogKindNames + kind).c_str(),
                  subKind ? LogText(idLogSubKindNames + subKind).c_str() : "", value);
    file.Write(columns);
    if (length == 0) {
      if (kind == lkTelnet && value <= 42) file.Write("[" + LogText(idTelnetOptionNames + value) + "]");
    } else if (subKind == lskStatusTrigger && (kind == lkTriggerAlloc || kind == lkTriggerDispose)) {
      if (data[0] <= stOutSent) file.Write(kStatusKindNames[data[0]]);
    } else {
      const bool asText = kind == lkUser;
      int column = kLogDataColumn;
      for (uint32_t i = 0; i < length; ++i) {
        std::string piece = ShowByte(data[i], hex, allHex && !asText);
        int w = int(piece.size());
        if (column + w >= kLogWidth) {
          file.EndLine();
          file.Write(std::string(kLogDataColumn - 1, ' '));
          column = w + kLogDataColumn;
        } else {
          column += w;
        }
        file.Write(piece);
      }
      if (subKind == lskModemStatus) {
        std::string names;
        for (int bit = 0; bit < 8; ++bit)
          if (value & (1u << bit)) names += LogText(idModemBitNames + uint32_t(bit));
        while (!names.empty() && names.back() == ' ') names.pop_back();
        file.Write("(" + names + ")");
      }
    }
    file.EndLine();
  }
  rc = file.Close();
  EndLog();
  return rc;
}

}  // namespace zav
