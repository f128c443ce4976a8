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

  std::vector<double> us;
  us.reserve(rounds);
  for (int i = 0; i < rounds; ++i) {
    LRESULT r = 0;
    auto t0 = std::chrono::steady_clock::now();
    bool ok = SendMessageTimeout(w, WM_USER, WPARAM(i), 0, SMTO_BLOCK, 3000, &r);
    auto t1 = std::chrono::steady_clock::now();
    if (!ok || r != LRESULT(i) + 1) {
      std::fprintf(stderr, "send %d failed\n", i);
      return 1;
    }
    us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  PostMessage(w, WM_USER + 1, 0, 0);
  receiver.join();

  std::sort(us.begin(), us.end());
  double median = us[us.size() / 2];
  double p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
  std::printf("rounds %d  median %.2f us  p99 %.2f us  max %.2f us\n", rounds, median, p99, us.back());
  std::printf("RESULT send_message_timeout_p99 %.2f us\n", p99);
  std::printf("RESULT send_message_timeout_median %.2f us\n", median);
  return 0;
}
