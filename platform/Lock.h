// Re-entrant locks (the library's critical sections) and interlocked counters.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace zav {

using TCriticalSection = std::recursive_mutex;
using TLockGuard = std::lock_guard<std::recursive_mutex>;
using TInterlockedCounter = std::atomic<int32_t>;

}  // namespace zav
