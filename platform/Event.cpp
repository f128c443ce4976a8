#include "platform/Event.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace zav {
namespace {

std::chrono::steady_clock::time_point DeadlineFor(uint32_t timeoutMs) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
}

}  // namespace

TEvent::TEvent(Kind kind, bool initiallySet) : manual_(kind == Kind::ManualReset), signalled_(initiallySet) {}

void TEvent::Set() {
  std::lock_guard lock(m_);
  signalled_ = true;
  if (manual_)
    cv_.notify_all();
  else
    cv_.notify_one();
  // Each waiter is told after its own lock is let go, so it wakes to a free
  // lock; the event's lock is still held, so the waiter cannot be removed.
  for (Waiter* w : waiters_) {
    if (w->wakeFd >= 0) {
      const uint64_t one = 1;
      [[maybe_unused]] ssize_t n = write(w->wakeFd, &one, sizeof one);
      continue;
    }
    {
      std::lock_guard wl(w->m);
      w->woken = true;
    }
    w->cv.notify_one();
  }
}

void TEvent::Reset() {
  std::lock_guard lock(m_);
  signalled_ = false;
}

bool TEvent::IsSet() const {
  std::lock_guard lock(m_);
  return signalled_;
}

bool TEvent::TryConsumeLocked() {
  if (!signalled_) return false;
  if (!manual_) signalled_ = false;
  return true;
}

bool TEvent::TryConsume() {
  std::lock_guard lock(m_);
  return TryConsumeLocked();
}

bool TEvent::Wait(uint32_t timeoutMs) {
  std::unique_lock lock(m_);
  if (timeoutMs == kInfinite) {
    cv_.wait(lock, [&] { return signalled_; });
  } else if (!cv_.wait_until(lock, DeadlineFor(timeoutMs), [&] { return signalled_; })) {
    return false;
  }
  return TryConsumeLocked();
}

void TEvent::AddWaiter(Waiter* w) {
  std::lock_guard lock(m_);
  waiters_.push_back(w);
}

void TEvent::RemoveWaiter(Waiter* w) {
  std::lock_guard lock(m_);
  waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), w), waiters_.end());
}

int TEvent::WaitOnPair(TEvent& first, TEvent& second, Waiter& waiter, const std::function<int()>& block) {
  first.AddWaiter(&waiter);
  second.AddWaiter(&waiter);
  int index;
  for (;;) {
    // Checked after registering, so a Set between check and wait is not lost.
    if (first.TryConsume()) {
      index = 0;
      break;
    }
    if (second.TryConsume()) {
      index = 1;
      break;
    }
    if ((index = block()) != kWaitOn) break;
  }
  first.RemoveWaiter(&waiter);
  second.RemoveWaiter(&waiter);
  return index;
}

int TEvent::WaitForPair(TEvent& first, TEvent& second, uint32_t timeoutMs) {
  const bool forever = timeoutMs == kInfinite;
  const auto deadline = forever ? std::chrono::steady_clock::time_point::max() : DeadlineFor(timeoutMs);
  Waiter waiter;
  return WaitOnPair(first, second, waiter, [&] {
    std::unique_lock wl(waiter.m);
    if (forever) {
      waiter.cv.wait(wl, [&] { return waiter.woken; });
    } else if (!waiter.cv.wait_until(wl, deadline, [&] { return waiter.woken; })) {
      return -1;
    }
    waiter.woken = false;
    return kWaitOn;
  });
}

int TEvent::WaitForPairOrReady(TEvent& first, TEvent& second, int epollFd, int wakeFd, uint32_t timeoutMs) {
  const bool forever = timeoutMs == kInfinite;
  const auto deadline = forever ? std::chrono::steady_clock::time_point::max() : DeadlineFor(timeoutMs);
  Waiter waiter;
  waiter.wakeFd = wakeFd;
  return WaitOnPair(first, second, waiter, [&] {
    int ms = -1;
    if (!forever) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      ms = int(std::clamp<int64_t>(left.count(), 0, 1 << 30));
    }
    epoll_event got[4];
    const int n = epoll_wait(epollFd, got, 4, ms);
    if (n < 0 && errno != EINTR) return -1;
    if (n == 0 && ms == 0) return -1;  // the time is up (a zero time still looks once)
    bool ready = false;
    for (int i = 0; i < n; ++i) {
      if (got[i].data.fd == wakeFd) {
        uint64_t v;
        [[maybe_unused]] ssize_t r = read(wakeFd, &v, sizeof v);
      } else {
        ready = true;
      }
    }
    return ready ? 2 : kWaitOn;
  });
}

}  // namespace zav
