// Armed faults: a short list under a mutex, with an atomic count in front so
// that calls pay nothing while no fault is armed.
#include <cerrno>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/files/internal.h"

namespace tw::files {

namespace {

struct Fault {
  int id;
  Op op;
  int remaining;  // calls to let through before failing
  int error;
  Repeat repeat;
  bool partial;
  size_t keep;
  int failures;
};

std::atomic<int> g_armed{0};
std::mutex g_mutex;
std::vector<Fault> g_faults;  // guarded by g_mutex
int g_next_id = 1;            // guarded by g_mutex

int Arm(Fault fault) {
  std::lock_guard lock(g_mutex);
  fault.id = g_next_id++;
  g_faults.push_back(fault);
  g_armed.fetch_add(1, std::memory_order_release);
  return fault.id;
}

}  // namespace

ScopedFault::ScopedFault(Op op, int nth, int error, Repeat repeat)
    : id_(Arm({0, op, nth > 0 ? nth - 1 : 0, error, repeat, false, 0, 0})) {}

ScopedFault::ScopedFault(int nth, size_t keep, Repeat repeat)
    : id_(Arm({0, Op::Write, nth > 0 ? nth - 1 : 0, ENOSPC, repeat, true, keep, 0})) {}

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

ScopedFault InjectShortWrite(int nth, size_t keep, Repeat repeat) { return ScopedFault(nth, keep, repeat); }

namespace detail {

FaultHit FaultTakes(Op op) {
  FaultHit hit;
  if (g_armed.load(std::memory_order_acquire) == 0) return hit;
  std::lock_guard lock(g_mutex);
  // Every fault on this operation counts the call, so two faults on the same
  // operation keep their own numbering; the first armed one decides.
  for (Fault& f : g_faults) {
    if (f.op != op) continue;
    if (f.remaining > 0) {
      --f.remaining;
      continue;
    }
    if (f.repeat == Repeat::Once && f.failures > 0) continue;
    ++f.failures;
    if (!hit.fails) hit = {true, f.error, f.partial, f.keep};
  }
  return hit;
}

}  // namespace detail

}  // namespace tw::files
