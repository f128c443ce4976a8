// Events with auto-reset and manual-reset kinds.
//
// An auto-reset event wakes one waiter and resets itself; a manual-reset event
// stays signalled until Reset. WaitForPair waits on two events at once and
// reports which one woke it (the output thread's idle and write pairs).
//
// Built on futexes: a Set with nobody asleep is a few atomic operations, and
// one with a sleeper is one wake-up call, with no lock for the woken thread to
// contend for on its way out.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace zav {

constexpr uint32_t kInfinite = 0xFFFFFFFF;

class TEvent {
 public:
  enum class Kind { AutoReset, ManualReset };

  explicit TEvent(Kind kind = Kind::AutoReset, bool initiallySet = false);
  // Waits for a Set still running on another thread, so that a waiter may
  // destroy the event as soon as it has woken.
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;

  // True when the event was signalled within `timeoutMs` (kInfinite: no limit).
  bool Wait(uint32_t timeoutMs = kInfinite);

  // Index (0 or 1) of the first event found signalled, or -1 on time-out. If
  // both are signalled, `first` wins. Only the event reported is consumed.
  static int WaitForPair(TEvent& first, TEvent& second, uint32_t timeoutMs = kInfinite);

 private:
  // A thread in WaitForPair: it sleeps on its own word, which a Set of either
  // event raises.
  struct Waiter {
    std::atomic<uint32_t> word{0};
  };

  bool TryConsume();
  void AddWaiter(Waiter* w);
  void RemoveWaiter(Waiter* w);

  const bool manual_;
  std::atomic<uint32_t> signalled_;
  // Raised by each Set; single waiters sleep on it.
  std::atomic<uint32_t> sequence_{0};
  std::atomic<uint32_t> sleepers_{0};
  std::atomic<uint32_t> setting_{0};
  std::atomic<uint32_t> pairCount_{0};
  std::mutex m_;  // pairWaiters_
  std::vector<Waiter*> pairWaiters_;
};

}  // namespace zav
