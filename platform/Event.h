// Events with auto-reset and manual-reset kinds.
//
// An auto-reset event wakes one waiter and resets itself; a manual-reset event
// stays signalled until Reset. WaitForPair waits on two events at once and
// reports which one woke it (the output thread's idle and write pairs).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

namespace zav {

constexpr uint32_t kInfinite = 0xFFFFFFFF;

class TEvent {
 public:
  enum class Kind { AutoReset, ManualReset };

  explicit TEvent(Kind kind = Kind::AutoReset, bool initiallySet = false);
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

  // The same, and 2 when a descriptor of the epoll set `epollFd` other than
  // `wakeFd` is reported ready. `wakeFd` is an eventfd in that set (level-
  // triggered): the events wake this wait through it, so one thread waits on
  // events and descriptors at once without a second thread's hand-over.
  static int WaitForPairOrReady(TEvent& first, TEvent& second, int epollFd, int wakeFd,
                                uint32_t timeoutMs = kInfinite);

 private:
  struct Waiter {
    std::mutex m;
    std::condition_variable cv;
    bool woken = false;
    int wakeFd = -1;  // told by a write to this eventfd instead
  };

  // Registers `waiter` on both events and returns the first one found set,
  // else what `block` returns once it is not kWaitOn (it waits for a wake-up).
  static constexpr int kWaitOn = -2;
  static int WaitOnPair(TEvent& first, TEvent& second, Waiter& waiter, const std::function<int()>& block);
  bool TryConsumeLocked();
  bool TryConsume();
  void AddWaiter(Waiter* w);
  void RemoveWaiter(Waiter* w);

  const bool manual_;
  mutable std::mutex m_;
  std::condition_variable cv_;
  bool signalled_;
  std::vector<Waiter*> waiters_;
};

}  // namespace zav
