// Message-queue figures: cross-thread posted messages per second through one
// window, and the CPU an idle loop with a 10 ms timer costs.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <thread>

#include "platform/win32/window.h"

using namespace tw::win32;

namespace {

void BM_CrossThreadPosts(benchmark::State& state) {
  const int64_t batch = 100000;
  int64_t received = 0;
  const HiddenWindow window([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT {
    ++received;
    return 0;
  });
  const HWND w = window.Handle();
  for (auto _ : state) {
    received = 0;
    std::thread poster([&] {
      for (int64_t i = 0; i < batch; ++i) PostMessageA(w, WM_USER + 1, WPARAM(i), 0);
    });
    RunUntil([&] { return received == batch; }, 60000);
    poster.join();
  }
  state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_CrossThreadPosts)->Unit(benchmark::kMillisecond)->UseRealTime();

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_THREAD, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Runs the loop for 2 s of real time with one 10 ms timer and reports the
// share of one core it used.
void BM_IdleLoopWithTimer(benchmark::State& state) {
  for (auto _ : state) {
    int ticks = 0;
    const HiddenWindow window([&](HWND, UINT msg, WPARAM, LPARAM) -> LRESULT {
      ticks += msg == WM_TIMER;
      return 0;
    });
    const WindowTimer timer(window.Handle(), 1, 10);
    double cpu0 = CpuSeconds();
    RunUntil([] { return false; }, 2000);
    double cpu = CpuSeconds() - cpu0;
    state.counters["cpu_percent"] = cpu / 2.0 * 100.0;
    state.counters["timer_ticks"] = ticks;
  }
}
BENCHMARK(BM_IdleLoopWithTimer)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
