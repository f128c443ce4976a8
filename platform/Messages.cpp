#include "platform/Messages.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace zav {
namespace {

struct ThreadQueue;

// One cross-thread send. Shared by sender and receiver, so a sender that gave
// up never has its memory written by a late answer.
struct SendRecord {
  HWND hwnd = 0;
  UINT msg = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  std::shared_ptr<ThreadQueue> sender;
  // Guarded by the sender queue's mutex; `doneFlag` mirrors it for spinning.
  bool done = false;
  std::atomic<bool> doneFlag{false};
  LRESULT result = 0;
};

struct Posted {
  HWND hwnd;
  UINT msg;
  WPARAM wParam;
  LPARAM lParam;
};

struct ThreadQueue {
  std::mutex m;
  std::condition_variable cv;
  std::deque<Posted> posted;
  std::deque<std::shared_ptr<SendRecord>> sent;
  bool dead = false;
  int notifyFd = -1;
  // Bumped on every arrival, so a waiter can spin briefly without the mutex.
  std::atomic<uint32_t> arrivals{0};

  ~ThreadQueue() {
    if (notifyFd >= 0) close(notifyFd);
  }

  // Caller holds m.
  void WakeLocked() {
    arrivals.fetch_add(1, std::memory_order_release);
    cv.notify_all();
    if (notifyFd >= 0) {
      uint64_t one = 1;
      [[maybe_unused]] ssize_t n = write(notifyFd, &one, sizeof one);
    }
  }
  bool HasWorkLocked() const { return !posted.empty() || !sent.empty(); }
};

void Complete(const std::shared_ptr<SendRecord>& rec, LRESULT result) {
  std::lock_guard lock(rec->sender->m);
  rec->result = result;
  rec->done = true;
  rec->doneFlag.store(true, std::memory_order_release);
  rec->sender->cv.notify_all();
}

// A cross-thread round trip is a few microseconds of work on each side; waking
// a sleeping thread costs more than that. Waiters therefore spin this long
// before they block.
constexpr auto kSpin = std::chrono::microseconds(50);

template <class Pred>
bool SpinFor(Pred ready) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  do {
    if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  } while (std::chrono::steady_clock::now() < until);
  return false;
}

struct Window {
  std::shared_ptr<ThreadQueue> queue;
  std::shared_ptr<WindowProc> proc;
};

struct Registry {
  std::mutex m;
  std::unordered_map<HWND, Window> windows;
  HWND next = 0;
};

Registry& Windows() {
  static Registry* r = new Registry;  // outlives every thread-local queue
  return *r;
}

// Ends the thread's queue: windows of the thread go away and waiting senders
// are released with a result of 0.
struct QueueHolder {
  std::shared_ptr<ThreadQueue> q;
  ~QueueHolder() {
    if (!q) return;
    {
      Registry& r = Windows();
      std::lock_guard lock(r.m);
      for (auto it = r.windows.begin(); it != r.windows.end();) {
        if (it->second.queue == q)
          it = r.windows.erase(it);
        else
          ++it;
      }
    }
    std::deque<std::shared_ptr<SendRecord>> pending;
    {
      std::lock_guard lock(q->m);
      q->dead = true;
      pending.swap(q->sent);
      q->posted.clear();
    }
    for (auto& rec : pending) Complete(rec, 0);
  }
};

thread_local QueueHolder t_queue;

ThreadQueue& MyQueue() {
  if (!t_queue.q) t_queue.q = std::make_shared<ThreadQueue>();
  return *t_queue.q;
}

std::shared_ptr<ThreadQueue> MyQueuePtr() {
  MyQueue();
  return t_queue.q;
}

bool Lookup(HWND hwnd, Window& out) {
  Registry& r = Windows();
  std::lock_guard lock(r.m);
  auto it = r.windows.find(hwnd);
  if (it == r.windows.end()) return false;
  out = it->second;
  return true;
}

LRESULT CallProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window w;
  if (!Lookup(hwnd, w)) return 0;
  return (*w.proc)(hwnd, msg, wParam, lParam);
}

// Runs every sent message waiting for the calling thread. Returns whether any ran.
bool ServeSent(ThreadQueue& q) {
  bool any = false;
  for (;;) {
    std::shared_ptr<SendRecord> rec;
    {
      std::lock_guard lock(q.m);
      if (q.sent.empty()) return any;
      rec = std::move(q.sent.front());
      q.sent.pop_front();
    }
    any = true;
    Complete(rec, CallProc(rec->hwnd, rec->msg, rec->wParam, rec->lParam));
  }
}

// Takes one posted message. Returns false when none is waiting.
bool TakePosted(ThreadQueue& q, Posted& out) {
  std::lock_guard lock(q.m);
  if (q.posted.empty()) return false;
  out = q.posted.front();
  q.posted.pop_front();
  return true;
}

void PostToQueue(ThreadQueue& q, const Posted& p) {
  std::lock_guard lock(q.m);
  if (q.dead) return;
  q.posted.push_back(p);
  q.WakeLocked();
}

bool IsQuit(const Posted& p) { return p.hwnd == 0 && p.msg == WM_QUIT; }

}  // namespace

HWND CreateMessageWindow(WindowProc proc) {
  auto q = MyQueuePtr();
  Registry& r = Windows();
  std::lock_guard lock(r.m);
  do {
    ++r.next;
  } while (r.next == 0 || r.windows.count(r.next));
  r.windows[r.next] = Window{std::move(q), std::make_shared<WindowProc>(std::move(proc))};
  return r.next;
}

bool DestroyMessageWindow(HWND hwnd) {
  Registry& r = Windows();
  std::lock_guard lock(r.m);
  return r.windows.erase(hwnd) > 0;
}

bool IsWindow(HWND hwnd) {
  Registry& r = Windows();
  std::lock_guard lock(r.m);
  return r.windows.count(hwnd) > 0;
}

LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) { return 0; }

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (hwnd == 0) {
    PostToQueue(MyQueue(), Posted{0, msg, wParam, lParam});
    return true;
  }
  Window w;
  if (!Lookup(hwnd, w)) return false;
  std::lock_guard lock(w.queue->m);
  if (w.queue->dead) return false;
  w.queue->posted.push_back(Posted{hwnd, msg, wParam, lParam});
  w.queue->WakeLocked();
  return true;
}

namespace {

// The cross-thread half of both sends. `deadline` empty means wait for ever.
bool SendAcross(const Window& w, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                const std::chrono::steady_clock::time_point* deadline, LRESULT* result) {
  auto me = MyQueuePtr();
  auto rec = std::make_shared<SendRecord>();
  rec->hwnd = hwnd;
  rec->msg = msg;
  rec->wParam = wParam;
  rec->lParam = lParam;
  rec->sender = me;
  {
    std::lock_guard lock(w.queue->m);
    if (w.queue->dead) return false;
    w.queue->sent.push_back(rec);
    w.queue->WakeLocked();
  }
  for (;;) {
    const uint32_t seen = me->arrivals.load(std::memory_order_acquire);
    SpinFor([&] {
      return rec->doneFlag.load(std::memory_order_acquire) || me->arrivals.load(std::memory_order_acquire) != seen;
    });
    {
      std::unique_lock lock(me->m);
      auto ready = [&] { return rec->done || !me->sent.empty(); };
      if (deadline) {
        if (!me->cv.wait_until(lock, *deadline, ready)) return false;  // timed out
      } else {
        me->cv.wait(lock, ready);
      }
      if (rec->done) {
        if (result) *result = rec->result;
        return true;
      }
    }
    ServeSent(*me);
  }
}

}  // namespace

LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  Window w;
  if (!Lookup(hwnd, w)) return 0;
  if (w.queue.get() == &MyQueue()) return (*w.proc)(hwnd, msg, wParam, lParam);
  LRESULT result = 0;
  SendAcross(w, hwnd, msg, wParam, lParam, nullptr, &result);
  return result;
}

bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT /*flags*/, uint32_t timeoutMs,
                        LRESULT* result) {
  Window w;
  if (!Lookup(hwnd, w)) return false;
  if (w.queue.get() == &MyQueue()) {
    LRESULT r = (*w.proc)(hwnd, msg, wParam, lParam);
    if (result) *result = r;
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  return SendAcross(w, hwnd, msg, wParam, lParam, &deadline, result);
}

void PostQuitMessage(int exitCode) { PostToQueue(MyQueue(), Posted{0, WM_QUIT, WPARAM(exitCode), 0}); }

PumpResult PumpOneMessage() {
  ThreadQueue& q = MyQueue();
  bool served = ServeSent(q);
  Posted p;
  if (!TakePosted(q, p)) return served ? PumpResult::Dispatched : PumpResult::Empty;
  if (IsQuit(p)) {
    PostToQueue(q, p);
    return PumpResult::Quit;
  }
  if (p.hwnd != 0) CallProc(p.hwnd, p.msg, p.wParam, p.lParam);
  return PumpResult::Dispatched;
}

void WaitForThreadMessage(std::chrono::steady_clock::time_point deadline) {
  ThreadQueue& q = MyQueue();
  std::unique_lock lock(q.m);
  q.cv.wait_until(lock, deadline, [&] { return q.HasWorkLocked(); });
}

int RunMessageLoop() {
  ThreadQueue& q = MyQueue();
  for (;;) {
    ServeSent(q);
    Posted p;
    if (TakePosted(q, p)) {
      if (IsQuit(p)) return int(p.wParam);
      if (p.hwnd != 0) CallProc(p.hwnd, p.msg, p.wParam, p.lParam);
      continue;
    }
    const uint32_t seen = q.arrivals.load(std::memory_order_acquire);
    if (SpinFor([&] { return q.arrivals.load(std::memory_order_acquire) != seen; })) continue;
    std::unique_lock lock(q.m);
    q.cv.wait(lock, [&] { return q.HasWorkLocked(); });
  }
}

int ThreadQueueNotifyFd() {
  ThreadQueue& q = MyQueue();
  std::lock_guard lock(q.m);
  if (q.notifyFd < 0) {
    q.notifyFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (q.HasWorkLocked()) q.WakeLocked();
  }
  return q.notifyFd;
}

bool DrainThreadQueue() {
  ThreadQueue& q = MyQueue();
  {
    std::lock_guard lock(q.m);
    if (q.notifyFd >= 0) {
      uint64_t count;
      [[maybe_unused]] ssize_t n = read(q.notifyFd, &count, sizeof count);
    }
  }
  // Only what is waiting now: messages posted by the handlers run in the next drain.
  size_t budget;
  {
    std::lock_guard lock(q.m);
    budget = q.posted.size();
  }
  ServeSent(q);
  for (; budget > 0; --budget) {
    Posted p;
    if (!TakePosted(q, p)) break;
    if (IsQuit(p)) return true;
    if (p.hwnd != 0) CallProc(p.hwnd, p.msg, p.wParam, p.lParam);
    ServeSent(q);
  }
  return false;
}

}  // namespace zav
