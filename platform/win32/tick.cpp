#include "platform/win32/tick.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace tw::win32 {

namespace {
std::atomic<TickSource*> g_source{nullptr};
}

DWORD GetTickCount() {
  if (TickSource* s = g_source.load(std::memory_order_acquire)) return s->Now();
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  return static_cast<DWORD>(ms);
}

void Sleep(DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void SetTickSource(TickSource* source) { g_source.store(source, std::memory_order_release); }

}  // namespace tw::win32
