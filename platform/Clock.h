// Millisecond clock, 55 ms ticks and event timers, tick delays.
//
// The millisecond clock runs on CLOCK_MONOTONIC and wraps at 2^31 ms, so tick
// values stay in 0 .. kTickWrap and the event-timer arithmetic below (which
// assumes exactly that wrap) holds across it. All functions are thread-safe.
#pragma once

#include <cstdint>

namespace zav {

constexpr int32_t kMsPerTick = 55;
// Ticks of 55 ms in 2^31 ms, rounded down: where the tick count wraps.
constexpr int32_t kTickWrap = 39045157;

// Milliseconds since an arbitrary origin, modulo 2^31.
uint32_t MsClock();
// MsClock() div 55.
int32_t CurrentTicks();

// Shifts the clock by `ms` for this process (tests use it to cross the wrap).
void SetClockOffsetForTesting(int64_t ms);
// Stops the clock at `ms` (before the offset); a negative value lets it run again.
void SetFixedClockForTesting(int64_t ms);

// A start tick and an expiry tick.
struct TEventTimer {
  int32_t StartTicks = 0;
  int32_t ExpireTicks = 0;
};

void NewTimer(TEventTimer& timer, int32_t ticks, int32_t now);
void NewTimer(TEventTimer& timer, int32_t ticks);
bool TimerExpired(const TEventTimer& timer, int32_t now);
bool TimerExpired(const TEventTimer& timer);
int32_t ElapsedTicks(const TEventTimer& timer, int32_t now);
int32_t ElapsedTicks(const TEventTimer& timer);
int32_t RemainingTicks(const TEventTimer& timer, int32_t now);
int32_t RemainingTicks(const TEventTimer& timer);

// seconds = (ticks + 9) * 92 div 1675; ticks = seconds * 1675 div 92.
int32_t Ticks2Secs(int32_t ticks);
int32_t Secs2Ticks(int32_t secs);

// Waits `ticks` (clamped to 1 .. kTickWrap). With `yield`, the calling thread's
// window messages are served meanwhile and a quit message ends the wait early
// (it is posted again). Returns false when the wait ended on a quit message.
bool DelayTicks(int32_t ticks, bool yield);

// Spins on the millisecond clock for `ms` milliseconds (pacing that a 55 ms
// tick cannot express).
void DelayMs(uint32_t ms);

}  // namespace zav
