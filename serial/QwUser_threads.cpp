// What the device classes' three threads share: the dispatcher thread's body,
// a thread's end, and waiting for one to end.
#include <chrono>

#include "platform/Messages.h"
#include "serial/QwUser.h"
#include "serial/QxExcept.h"

namespace zav {
namespace {

constexpr uint32_t kRxCharEvent = 0x0001;
constexpr uint32_t kPeriodMs = 50;

}  // namespace

void TMroBaseDispatcher::ThreadExit(std::atomic<bool>& alive, bool dispatcher) {
  alive = false;
  if (dispatcher && ReleaseOnThreadExit) {
    ReleaseResources();
    ReleaseOnThreadExit = false;
  }
  if (--RunningThreads == 0) ThreadsRunning = false;
}

int TMroBaseDispatcher::WaitForWork(uint32_t ms) {
  if (DispatchWatchFd < 0) return TEvent::WaitForPair(*DeviceEventReady, *TriggersChanged, ms);
  const int which = TEvent::WaitForPairOrReady(*DeviceEventReady, *TriggersChanged, DispatchWatchFd, DispatchWakeFd, ms);
  if (which != 2) return which;
  // New bytes (or a hang-up): a pass now.
  DeviceEventMask.fetch_or(kRxCharEvent);
  return 0;
}

void TMroBaseDispatcher::DispatcherThreadBody(std::atomic<bool>& alive) {
  RunningThreads++;
  ThreadAck->Set();
  while (!StopRequested && !Closing) {
    // A trigger armed elsewhere only changes how long to wait.
    if (WaitForWork(NextPassWaitMs(kPeriodMs)) == 1) continue;
    if (StopRequested) {
      ReleaseOnThreadExit = true;
      ThreadExit(alive, true);
      return;
    }
    try {
      DeviceEventPass(DeviceEventMask.exchange(0));
      StatusAndTimerPass();
      // While data streams in and the ring has room, read on at once rather
      // than hand over to the communications thread for every 4 KiB. A
      // trickle goes back at once: reading on would cost a pass and a wait for
      // every few bytes.
      bool extra = false;
      while (!StopRequested && !Closing && RingAcceptsData()) {
        if (LastFillCount() == 0 ? !DataWithin(1) : LastFillCount() < kTrickleFill) break;
        if (!DeviceEventPass(kRxCharEvent, true)) break;
        StatusAndTimerPass();
        extra = true;
      }
      // A communications thread that waits for the end of a pass before it
      // looks at the device again goes on now.
      if (extra) PassDone->Set();
      if (!StopRequested && !Closing && !RingAcceptsData()) ReceiveStalled();
    } catch (const std::exception& e) {
      ReportUnhandledError(e);
    } catch (...) {
      ReportUnhandledError(Exception("dispatcher thread: an unknown exception"));
    }
  }
  ThreadAck->Set();
  ReleaseOnThreadExit = Closing || StopRequested;
  ThreadExit(alive, true);
}

void TMroBaseDispatcher::AwaitThreadEnd(std::atomic<bool>& alive, TOwnedThread& thread, std::mutex& joinMutex) {
  if (thread.IsCurrentThread()) return;
  // Serves the calling thread's messages meanwhile: the dispatcher thread may
  // be in a call to one of this thread's windows.
  while (alive) {
    while (PumpOneMessage() == PumpResult::Dispatched) {
    }
    WaitForThreadMessage(std::chrono::steady_clock::now() + std::chrono::milliseconds(2));
  }
  // The dispatcher thread (releasing on its way out) only waits; joining is the owner's.
  if (!DispThread.IsCurrentThread()) {
    std::lock_guard lock(joinMutex);
    thread.Join();
  }
}

}  // namespace zav
