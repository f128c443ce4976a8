#include "platform/Event.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <thread>

namespace zav {
namespace {

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);

uint32_t* Word(std::atomic<uint32_t>& a) { return reinterpret_cast<uint32_t*>(&a); }

// The steady-clock instant `timeoutMs` from now, as the futex call takes it.
timespec DeadlineFor(uint32_t timeoutMs) {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  t.tv_sec += time_t(timeoutMs / 1000);
  t.tv_nsec += long(timeoutMs % 1000) * 1000000L;
  if (t.tv_nsec >= 1000000000L) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000L;
  }
  return t;
}

// Sleeps while `word` holds `expected`, until woken or the deadline (null: none).
// False only when the deadline passed; a spurious return reads as a wake-up,
// and every caller looks again.
bool FutexWait(std::atomic<uint32_t>& word, uint32_t expected, const timespec* deadline) {
  const long r = syscall(SYS_futex, Word(word), FUTEX_WAIT_BITSET_PRIVATE, expected, deadline, nullptr,
                         FUTEX_BITSET_MATCH_ANY);
  return r == 0 || errno != ETIMEDOUT;
}

void FutexWake(std::atomic<uint32_t>& word, int count) {
  syscall(SYS_futex, Word(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

}  // namespace

TEvent::TEvent(Kind kind, bool initiallySet) : manual_(kind == Kind::ManualReset), signalled_(initiallySet) {}

TEvent::~TEvent() {
  while (setting_.load() != 0) std::this_thread::yield();
}

void TEvent::Set() {
  setting_.fetch_add(1);
  signalled_.store(1);
  sequence_.fetch_add(1);
  // Every sleeper is woken, even for an auto-reset event: the one that takes
  // the signal goes on, the others sleep again, and none is left asleep
  // behind a signal because the one woken had just timed out.
  if (sleepers_.load() != 0) FutexWake(sequence_, INT_MAX);
  if (pairCount_.load() != 0) {
    // Raised under the lock (a waiter leaves under it); woken after it, so the
    // woken thread does not run into the lock still held. A wake-up that
    // reaches a word whose waiter has left is spurious, which every wait allows.
    std::array<std::atomic<uint32_t>*, 4> words{};
    size_t n = 0;
    {
      std::lock_guard lock(m_);
      for (Waiter* w : pairWaiters_) {
        w->word.store(1);
        if (n < words.size()) words[n++] = &w->word;
        else FutexWake(w->word, 1);
      }
    }
    for (size_t i = 0; i < n; ++i) FutexWake(*words[i], 1);
  }
  setting_.fetch_sub(1);
}

void TEvent::Reset() { signalled_.store(0); }

bool TEvent::IsSet() const { return signalled_.load() != 0; }

bool TEvent::TryConsume() {
  if (manual_) return signalled_.load() != 0;
  uint32_t expected = 1;
  return signalled_.compare_exchange_strong(expected, 0);
}

bool TEvent::Wait(uint32_t timeoutMs) {
  if (TryConsume()) return true;
  if (timeoutMs == 0) return false;
  const timespec deadline = DeadlineFor(timeoutMs == kInfinite ? 0 : timeoutMs);
  const timespec* limit = timeoutMs == kInfinite ? nullptr : &deadline;
  // Counted before the sequence is read: a Set either sees the sleeper or
  // raised the sequence before it was read, and then the signal is seen too.
  sleepers_.fetch_add(1);
  bool got = false;
  for (;;) {
    const uint32_t seen = sequence_.load();
    if ((got = TryConsume())) break;
    if (!FutexWait(sequence_, seen, limit)) {
      got = TryConsume();
      break;
    }
  }
  sleepers_.fetch_sub(1);
  return got;
}

void TEvent::AddWaiter(Waiter* w) {
  std::lock_guard lock(m_);
  pairWaiters_.push_back(w);
  pairCount_.fetch_add(1);
}

void TEvent::RemoveWaiter(Waiter* w) {
  std::lock_guard lock(m_);
  pairWaiters_.erase(std::remove(pairWaiters_.begin(), pairWaiters_.end(), w), pairWaiters_.end());
  pairCount_.fetch_sub(1);
}

int TEvent::WaitForPair(TEvent& first, TEvent& second, uint32_t timeoutMs) {
  if (first.TryConsume()) return 0;
  if (second.TryConsume()) return 1;
  if (timeoutMs == 0) return -1;
  const timespec deadline = DeadlineFor(timeoutMs == kInfinite ? 0 : timeoutMs);
  const timespec* limit = timeoutMs == kInfinite ? nullptr : &deadline;
  Waiter waiter;
  first.AddWaiter(&waiter);
  second.AddWaiter(&waiter);
  int index = -1;
  for (;;) {
    // Lowered before the look, so a Set after it leaves the word raised and
    // the sleep below returns at once.
    waiter.word.store(0);
    if (first.TryConsume()) {
      index = 0;
      break;
    }
    if (second.TryConsume()) {
      index = 1;
      break;
    }
    if (!FutexWait(waiter.word, 0, limit)) break;
  }
  first.RemoveWaiter(&waiter);
  second.RemoveWaiter(&waiter);
  return index;
}

}  // namespace zav
