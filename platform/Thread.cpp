#include "platform/Thread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

namespace zav {
namespace {

// Nice values for the seven steps of the priority scale.
constexpr int kNiceFor[7] = {19, 10, 5, 0, -5, -10, -20};

}  // namespace

TOwnedThread::~TOwnedThread() { Join(); }

void TOwnedThread::Start(std::function<void()> body) {
  tid_ = 0;
  thread_ = std::thread([this, body = std::move(body)] {
    tid_ = int(gettid());
    Apply();
    body();
  });
}

void TOwnedThread::Join() {
  if (!thread_.joinable()) return;
  if (IsCurrentThread())
    thread_.detach();
  else
    thread_.join();
}

void TOwnedThread::SetPriority(int priority) {
  priority_ = std::clamp(priority, kPriorityIdle, kPriorityTimeCritical);
  Apply();
}

void TOwnedThread::Apply() {
  int tid = tid_.load();
  if (tid == 0) return;
  // Raising fails without CAP_SYS_NICE: the thread then keeps what it has.
  setpriority(PRIO_PROCESS, id_t(tid), kNiceFor[priority_.load()]);
}

}  // namespace zav
