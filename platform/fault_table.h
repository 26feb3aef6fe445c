// The core of the platform's fault switches (internal to the platform
// library): a process-wide table of armed faults, each failing the nth call
// of one site (an operation or a function) once or from then on. A short
// list under a mutex, with an atomic count in front so that calls pay
// nothing while no fault is armed. `Payload` is what a layer keeps beside
// each fault (an error number, a length to keep).
#pragma once

#include <atomic>
#include <mutex>
#include <vector>

namespace tw::platform_detail {

template <class Payload>
class FaultTable {
 public:
  struct Fault {
    int id;
    int site;
    int remaining;  // calls to let through before failing
    bool once;      // fail one call only
    int failures;
    Payload payload;
  };

  // Arms a fault failing the `nth` call (1 = the next) of `site`; returns
  // its id.
  int Arm(int site, int nth, bool once, Payload payload) {
    std::lock_guard lock(mutex_);
    const int id = nextId_++;
    faults_.push_back({id, site, nth > 0 ? nth - 1 : 0, once, 0, payload});
    armed_.fetch_add(1, std::memory_order_release);
    return id;
  }

  void Disarm(int id) {
    std::lock_guard lock(mutex_);
    std::erase_if(faults_, [id](const Fault& f) { return f.id == id; });
    armed_.fetch_sub(1, std::memory_order_release);
  }

  // How many calls the fault `id` has failed so far.
  int Failures(int id) const {
    std::lock_guard lock(mutex_);
    for (const Fault& f : faults_)
      if (f.id == id) return f.failures;
    return 0;
  }

  // Counts one call of `site` against every fault armed on it, so two
  // faults on the same site keep their own numbering. For each fault whose
  // turn has come, `fails(payload)` says whether this call fails by it
  // (counted as one of its failures). False at once while nothing is armed.
  template <class Fn>
  bool Take(int site, Fn&& fails) {
    if (armed_.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard lock(mutex_);
    bool any = false;
    for (Fault& f : faults_) {
      if (f.site != site) continue;
      if (f.remaining > 0) {
        --f.remaining;
        continue;
      }
      if (f.once && f.failures > 0) continue;
      if (!fails(f.payload)) continue;
      ++f.failures;
      any = true;
    }
    return any;
  }

 private:
  std::atomic<int> armed_{0};
  mutable std::mutex mutex_;
  std::vector<Fault> faults_;  // guarded by mutex_
  int nextId_ = 1;             // guarded by mutex_
};

}  // namespace tw::platform_detail
