// A test clock for the platform's tick: it moves only when told to. Kept in
// the platform's namespace beside the tick it replaces.
#pragma once

#include <atomic>

#include "platform/win32/tick.h"

namespace tw::win32 {

// A tick source that moves only when told to.
class ManualTickSource final : public TickSource {
 public:
  explicit ManualTickSource(DWORD start = 1'000'000) : now_(start) {}
  DWORD Now() override { return now_.load(); }
  void Set(DWORD t) { now_.store(t); }
  void Advance(DWORD ms) { now_.fetch_add(ms); }

 private:
  std::atomic<DWORD> now_;
};

// Installs a ManualTickSource for the lifetime of the object.
class ScopedManualTick {
 public:
  explicit ScopedManualTick(DWORD start = 1'000'000) : clock_(start) { SetTickSource(&clock_); }
  ~ScopedManualTick() { SetTickSource(nullptr); }
  ScopedManualTick(const ScopedManualTick&) = delete;
  ScopedManualTick& operator=(const ScopedManualTick&) = delete;
  ManualTickSource& clock() { return clock_; }
  void Advance(DWORD ms) { clock_.Advance(ms); }
  void Set(DWORD t) { clock_.Set(t); }
  DWORD Now() { return clock_.Now(); }

 private:
  ManualTickSource clock_;
};

}  // namespace tw::win32
