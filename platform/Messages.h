// Window messages with the semantics the library's components rely on.
//
// A window is a 32-bit handle from a process-wide registry, bound to the thread
// that created it and to a window procedure. Each thread has a queue of posted
// and of sent messages, created on first use.
//
// - PostMessage queues on the window's thread and wakes it; to an invalid
//   handle it fails harmlessly.
// - SendMessage runs the procedure directly on the same thread; across threads
//   it queues the call and blocks until the owner thread has run it. While
//   blocked, the sender keeps serving messages sent to its own thread, so two
//   threads sending to each other cannot deadlock.
// - SendMessageTimeout gives up after the time-out. The call still runs when the
//   owner gets to it, but its result goes into a shared record, never into the
//   sender's memory.
// - Sent messages are served whenever the owner thread pumps, runs a message
//   loop, waits in a yielding delay or is blocked in a send of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace zav {

using HWND = uint32_t;  // 0 is "no window"
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using UINT = uint32_t;

using WindowProc = std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)>;

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_USER = 0x0400;

constexpr UINT SMTO_NORMAL = 0x0000;
constexpr UINT SMTO_BLOCK = 0x0001;
constexpr UINT SMTO_ABORTIFHUNG = 0x0002;

// Creates a window owned by the calling thread. Never returns 0.
HWND CreateMessageWindow(WindowProc proc);
// Destroys a window; later posts and sends to it fail. Returns false for an
// invalid handle.
bool DestroyMessageWindow(HWND hwnd);
bool IsWindow(HWND hwnd);
// The default window procedure: does nothing and answers 0.
LRESULT DefWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

bool PostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Returns 0 when the window is invalid or its thread has ended.
LRESULT SendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Returns false on time-out or an invalid window; `result` (may be null) gets the
// procedure's answer on success.
bool SendMessageTimeout(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, uint32_t timeoutMs,
                        LRESULT* result);

// Posts a quit message to the calling thread's queue.
void PostQuitMessage(int exitCode);

enum class PumpResult {
  Empty,       // nothing was waiting
  Dispatched,  // one message (or pending sent messages) was served
  Quit,        // a quit message was seen; it has been posted again
};

// Serves the calling thread's pending sent messages, then takes one posted
// message if there is one and dispatches it. A quit message is posted again.
PumpResult PumpOneMessage();

// Blocks until the calling thread's queue has something or the deadline passes.
void WaitForThreadMessage(std::chrono::steady_clock::time_point deadline);

// Runs the calling thread's queue until a quit message; returns its exit code.
int RunMessageLoop();

// For an event loop of another toolkit: a file descriptor that becomes readable
// whenever the calling thread's queue receives a message, and a drain that
// dispatches everything waiting. DrainThreadQueue returns true, and consumes the
// quit message, when it meets one.
int ThreadQueueNotifyFd();
bool DrainThreadQueue();

}  // namespace zav
