// Armed faults: a short list under a mutex, with an atomic count in front so
// that calls pay nothing while no fault is armed.
#include "platform/winsock/internal.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace tw::ws {

namespace {

struct Fault {
  int id;
  Call call;
  int remaining;  // calls to let through before failing
  int error;
  Repeat repeat;
  int failures;
};

struct ShortWrite {
  int id;
  int limit;
  int remaining;  // sends to let through whole before shortening
  Repeat repeat;
  int shortened;
};

std::atomic<int> g_armed{0};
std::mutex g_mutex;
std::vector<Fault> g_faults;             // guarded by g_mutex
std::vector<ShortWrite> g_short_writes;  // guarded by g_mutex
int g_next_id = 1;                       // guarded by g_mutex

}  // namespace

ScopedFault::ScopedFault(Call call, int nth, int error, Repeat repeat) {
  std::lock_guard lock(g_mutex);
  id_ = g_next_id++;
  g_faults.push_back({id_, call, nth > 0 ? nth - 1 : 0, error, repeat, 0});
  g_armed.fetch_add(1, std::memory_order_release);
}

ScopedFault::~ScopedFault() {
  std::lock_guard lock(g_mutex);
  std::erase_if(g_faults, [this](const Fault& f) { return f.id == id_; });
  g_armed.fetch_sub(1, std::memory_order_release);
}

int ScopedFault::failures() const {
  std::lock_guard lock(g_mutex);
  for (const Fault& f : g_faults)
    if (f.id == id_) return f.failures;
  return 0;
}

ScopedShortWrite::ScopedShortWrite(int limit, int nth, Repeat repeat) {
  std::lock_guard lock(g_mutex);
  id_ = g_next_id++;
  g_short_writes.push_back({id_, limit > 0 ? limit : 1, nth > 0 ? nth - 1 : 0, repeat, 0});
  g_armed.fetch_add(1, std::memory_order_release);
}

ScopedShortWrite::~ScopedShortWrite() {
  std::lock_guard lock(g_mutex);
  std::erase_if(g_short_writes, [this](const ShortWrite& w) { return w.id == id_; });
  g_armed.fetch_sub(1, std::memory_order_release);
}

int ScopedShortWrite::shortened() const {
  std::lock_guard lock(g_mutex);
  for (const ShortWrite& w : g_short_writes)
    if (w.id == id_) return w.shortened;
  return 0;
}

namespace detail {

int ShortWriteLength(int len) {
  if (g_armed.load(std::memory_order_acquire) == 0) return len;
  std::lock_guard lock(g_mutex);
  int allowed = len;
  for (ShortWrite& w : g_short_writes) {
    if (w.remaining > 0) {
      --w.remaining;
      continue;
    }
    if (w.repeat == Repeat::Once && w.shortened > 0) continue;
    if (w.limit < len) {
      ++w.shortened;
      allowed = std::min(allowed, w.limit);
    }
  }
  return allowed;
}

bool FaultTakes(Call call) {
  if (g_armed.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard lock(g_mutex);
  bool fails = false;
  int error = 0;
  // Every fault on this call counts the call, so two faults on the same
  // function keep their own numbering.
  for (Fault& f : g_faults) {
    if (f.call != call) continue;
    if (f.remaining > 0) {
      --f.remaining;
      continue;
    }
    if (f.repeat == Repeat::Once && f.failures > 0) continue;
    ++f.failures;
    if (!fails) error = f.error;
    fails = true;
  }
  if (fails) WSASetLastError(error);
  return fails;
}

}  // namespace detail

}  // namespace tw::ws
