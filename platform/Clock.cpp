#include "platform/Clock.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <thread>

#include "platform/Messages.h"

namespace zav {
namespace {

std::atomic<int64_t> g_offsetMs{0};
std::atomic<int64_t> g_fixedMs{-1};

int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

uint32_t MsClock() {
  int64_t fixed = g_fixedMs.load(std::memory_order_relaxed);
  int64_t now = fixed >= 0 ? fixed : MonotonicMs();
  return uint32_t((now + g_offsetMs.load(std::memory_order_relaxed)) & 0x7FFFFFFF);
}

int32_t CurrentTicks() { return int32_t(MsClock() / kMsPerTick); }

void SetClockOffsetForTesting(int64_t ms) { g_offsetMs.store(ms); }
void SetFixedClockForTesting(int64_t ms) { g_fixedMs.store(ms); }

void NewTimer(TEventTimer& timer, int32_t ticks, int32_t now) {
  timer.StartTicks = now;
  timer.ExpireTicks = now + std::min(ticks, kTickWrap);
}

void NewTimer(TEventTimer& timer, int32_t ticks) { NewTimer(timer, ticks, CurrentTicks()); }

bool TimerExpired(const TEventTimer& timer, int32_t now) {
  if (timer.ExpireTicks < now) return true;
  return now < timer.StartTicks && timer.ExpireTicks < now + kTickWrap;
}

bool TimerExpired(const TEventTimer& timer) { return TimerExpired(timer, CurrentTicks()); }

int32_t ElapsedTicks(const TEventTimer& timer, int32_t now) {
  int32_t elapsed = now - timer.StartTicks;
  if (now < timer.StartTicks) elapsed += kTickWrap;
  return elapsed;
}

int32_t ElapsedTicks(const TEventTimer& timer) { return ElapsedTicks(timer, CurrentTicks()); }

int32_t RemainingTicks(const TEventTimer& timer, int32_t now) {
  int32_t remaining = timer.ExpireTicks - now;
  if (now < timer.StartTicks) remaining -= kTickWrap;
  return std::max(remaining, 0);
}

int32_t RemainingTicks(const TEventTimer& timer) { return RemainingTicks(timer, CurrentTicks()); }

// 64-bit intermediates: the products overflow 32 bits for large tick counts.
int32_t Ticks2Secs(int32_t ticks) { return int32_t((int64_t(ticks) + 9) * 92 / 1675); }
int32_t Secs2Ticks(int32_t secs) { return int32_t(int64_t(secs) * 1675 / 92); }

bool DelayTicks(int32_t ticks, bool yield) {
  ticks = std::clamp(ticks, 1, kTickWrap);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(int64_t(ticks) * kMsPerTick);
  if (!yield) {
    std::this_thread::sleep_until(deadline);
    return true;
  }
  for (;;) {
    for (;;) {
      PumpResult r = PumpOneMessage();
      if (r == PumpResult::Quit) return false;
      if (r == PumpResult::Empty) break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return true;
    WaitForThreadMessage(deadline);
  }
}

void DelayMs(uint32_t ms) {
  const uint32_t start = MsClock();
  // Unsigned difference modulo 2^31 copes with the clock's wrap.
  while (((MsClock() - start) & 0x7FFFFFFF) < ms) {
  }
}

}  // namespace zav
