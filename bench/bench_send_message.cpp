// Round trip of a cross-thread SendMessageTimeout (SMTO_BLOCK) to a window
// whose thread runs a message loop: the path every dispatcher notification to
// a window handler takes. Prints median and p99 in microseconds.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "platform/Messages.h"

using namespace zav;

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20000;
  std::promise<HWND> ready;
  std::thread receiver([&ready] {
    HWND w = CreateMessageWindow([](HWND, UINT msg, WPARAM wp, LPARAM) -> LRESULT {
      if (msg == WM_USER + 1) PostQuitMessage(0);
      return LRESULT(wp) + 1;
    });
    ready.set_value(w);
    RunMessageLoop();
    DestroyMessageWindow(w);
  });
  HWND w = ready.get_future().get();

  // Back to back (the receiver is still awake from the previous message), and
  // with 1 ms pauses (it has gone to sleep: a real wake-up every time).
  auto measure = [&](int n, std::chrono::microseconds gap, std::vector<double>& us) -> bool {
  us.reserve(n);
  for (int i = 0; i < n; ++i) {
    if (gap.count() > 0) std::this_thread::sleep_for(gap);
    LRESULT r = 0;
    auto t0 = std::chrono::steady_clock::now();
    bool ok = SendMessageTimeout(w, WM_USER, WPARAM(i), 0, SMTO_BLOCK, 3000, &r);
    auto t1 = std::chrono::steady_clock::now();
    if (!ok || r != LRESULT(i) + 1) {
      std::fprintf(stderr, "send %d failed\n", i);
      return false;
    }
    us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  std::sort(us.begin(), us.end());
  return true;
  };
  std::vector<double> hot, cold;
  bool ok = measure(rounds, std::chrono::microseconds(0), hot) &&
            measure(std::max(rounds / 20, 100), std::chrono::microseconds(1000), cold);
  PostMessage(w, WM_USER + 1, 0, 0);
  receiver.join();
  if (!ok) return 1;

  auto median = [](const std::vector<double>& v) { return v[v.size() / 2]; };
  auto p99 = [](const std::vector<double>& v) { return v[std::min(v.size() - 1, v.size() * 99 / 100)]; };
  std::printf("back to back: %zu rounds  median %.2f us  p99 %.2f us\n", hot.size(), median(hot), p99(hot));
  std::printf("after 1 ms idle: %zu rounds  median %.2f us  p99 %.2f us\n", cold.size(), median(cold), p99(cold));
  std::printf("RESULT send_message_timeout_idle_p99 %.2f us\n", p99(cold));
  std::printf("RESULT send_message_timeout_idle_median %.2f us\n", median(cold));
  std::printf("RESULT send_message_timeout_p99 %.2f us\n", p99(hot));
  std::printf("RESULT send_message_timeout_median %.2f us\n", median(hot));
  return 0;
}
