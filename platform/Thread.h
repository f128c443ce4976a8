// A thread owned by an object: joined by its owner (or its destructor), never
// left running past it. Priorities use the scale idle 0, lowest 1, lower 2,
// normal 3, higher 4, highest 5, time-critical 6; they are stored and applied
// best effort (a process without the right to raise them keeps normal).
#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace zav {

constexpr int kPriorityIdle = 0;
constexpr int kPriorityNormal = 3;
constexpr int kPriorityTimeCritical = 6;

class TOwnedThread {
 public:
  TOwnedThread() = default;
  ~TOwnedThread();
  TOwnedThread(const TOwnedThread&) = delete;
  TOwnedThread& operator=(const TOwnedThread&) = delete;

  // Starts `body` on a new thread. The thread must not be running.
  void Start(std::function<void()> body);
  // Waits for the thread to end. Calling it from the thread itself detaches
  // instead (the owner is being torn down from inside the thread's own call).
  void Join();
  bool Joinable() const { return thread_.joinable(); }
  bool IsCurrentThread() const { return thread_.get_id() == std::this_thread::get_id(); }

  // Priority on the 0..6 scale, clamped. Applied now if running, else at start.
  void SetPriority(int priority);
  int Priority() const { return priority_.load(); }

 private:
  void Apply();

  std::thread thread_;
  std::atomic<int> priority_{kPriorityNormal};
  std::atomic<int> tid_{0};
};

}  // namespace zav
