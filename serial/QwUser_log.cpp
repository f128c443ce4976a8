// Recording the trace (direction, byte pairs) and the dispatch log (entries
// with a 16-byte header). All under the status lock.
#include <algorithm>
#include <cstring>

#include "serial/QwUser.h"
#include "serial/QxExcept.h"

namespace zav {
namespace {

constexpr uint32_t kMaxTraceEntries = 4000000;
constexpr uint32_t kLogHeaderSize = 16;

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

// --- Trace ---------------------------------------------------------------------------

int32_t TMroBaseDispatcher::StartTrace(uint32_t size) {
  TLockGuard status(StatusLock);
  if (!TraceBuffer.empty()) {
    TracePosition = 0;
    TraceWrapped = false;
  } else {
    if (size > kMaxTraceEntries) return ecBadArgument;
    TraceBuffer.assign(size_t(size) * 2, 0);
    TraceSize = size;
    TracePosition = 0;
    TraceWrapped = false;
  }
  Tracing_ = true;
  return 0;
}

void TMroBaseDispatcher::AddTraceEntry(uint8_t kind, uint8_t byte) {
  TLockGuard status(StatusLock);
  if (TraceBuffer.empty() || TraceSize == 0) return;
  TraceBuffer[size_t(TracePosition) * 2] = kind;
  TraceBuffer[size_t(TracePosition) * 2 + 1] = byte;
  if (uint32_t(++TracePosition) >= TraceSize) {
    TracePosition = 0;
    TraceWrapped = true;
  }
}

void TMroBaseDispatcher::TraceBytes(uint8_t kind, const uint8_t* data, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) AddTraceEntry(kind, data[i]);
}

void TMroBaseDispatcher::PauseTrace() {
  TLockGuard status(StatusLock);
  Tracing_ = false;
}

void TMroBaseDispatcher::ResumeTrace() {
  TLockGuard status(StatusLock);
  if (!TraceBuffer.empty()) Tracing_ = true;
}

void TMroBaseDispatcher::ClearTrace() {
  TLockGuard status(StatusLock);
  TracePosition = 0;
  TraceWrapped = false;
}

void TMroBaseDispatcher::EndTrace() {
  TLockGuard status(StatusLock);
  Tracing_ = false;
  TraceBuffer.clear();
  TraceBuffer.shrink_to_fit();
  TraceSize = 0;
  TracePosition = 0;
  TraceWrapped = false;
}

// --- Dispatch log -----------------------------------------------------------------------

int32_t TMroBaseDispatcher::StartLog(uint32_t size) {
  TLockGuard status(StatusLock);
  if (!LogBuffer.empty()) {
    LogHead = LogTail = 0;
    LogFree = LogSize;
    return 0;
  }
  LogBuffer.assign(size, 0);
  LogScratch.assign(std::max(DriverInSize, OutBufferSize), 0);
  LogSize = size;
  LogHead = LogTail = 0;
  LogFree = size;
  Logging_ = size > 0;
  return 0;
}

void TMroBaseDispatcher::LogWriteBytes(const uint8_t* data, uint32_t n) {
  uint32_t first = std::min(n, LogSize - LogHead);
  std::memcpy(LogBuffer.data() + LogHead, data, first);
  std::memcpy(LogBuffer.data(), data + first, n - first);
  LogHead = (LogHead + n) % LogSize;
  LogFree -= n;
}

void TMroBaseDispatcher::LogReadBytes(uint8_t* out, uint32_t n) {
  uint32_t first = std::min(n, LogSize - LogTail);
  if (out) {
    std::memcpy(out, LogBuffer.data() + LogTail, first);
    std::memcpy(out + first, LogBuffer.data(), n - first);
  }
  LogTail = (LogTail + n) % LogSize;
  LogFree += n;
}

bool TMroBaseDispatcher::LogDropOldest() {
  if (LogFree >= LogSize) return false;
  uint8_t header[kLogHeaderSize];
  LogReadBytes(header, kLogHeaderSize);
  LogReadBytes(nullptr, Get32(header + 12));
  return true;
}

void TMroBaseDispatcher::AddLogEntry(uint8_t kind, uint8_t subKind, uint32_t value, const void* data,
                                     uint32_t length) {
  TLockGuard status(StatusLock);
  if (LogBuffer.empty()) return;
  // An entry that cannot fit in the whole log is not recorded at all.
  if (uint64_t(kLogHeaderSize) + length >= LogSize) return;
  uint32_t n = kLogHeaderSize + length;
  while (LogFree < n && LogDropOldest()) {
  }
  uint8_t header[kLogHeaderSize];
  header[0] = kind;
  header[1] = subKind;
  header[2] = header[3] = 0;
  Put32(header + 4, MsClock() - LogStartTime);
  Put32(header + 8, value);
  Put32(header + 12, length);
  // Fields in declaration order: kind, sub-kind, time, value, length (padding
  // keeps the 32-bit fields aligned within the 16 bytes).
  LogWriteBytes(header, kLogHeaderSize);
  if (length > 0) LogWriteBytes(static_cast<const uint8_t*>(data), length);
}

void TMroBaseDispatcher::PauseLog() {
  TLockGuard status(StatusLock);
  Logging_ = false;
}

void TMroBaseDispatcher::ResumeLog() {
  TLockGuard status(StatusLock);
  if (!LogBuffer.empty()) Logging_ = true;
}

void TMroBaseDispatcher::ClearLog() {
  TLockGuard status(StatusLock);
  LogHead = LogTail = 0;
  LogFree = LogSize;
}

void TMroBaseDispatcher::EndLog() {
  TLockGuard status(StatusLock);
  Logging_ = false;
  LogBuffer.clear();
  LogBuffer.shrink_to_fit();
  LogScratch.clear();
  LogSize = LogHead = LogTail = LogFree = 0;
}

}  // namespace zav
