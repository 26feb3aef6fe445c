// The millisecond tick that every transport time is measured in: a 32-bit
// count that wraps, read from the monotonic clock unless a test installs its
// own source. Compare ticks only through TickDiff, which is wrap-safe.
#pragma once

#include <atomic>
#include <cstdint>

namespace tw::win32 {

using DWORD = uint32_t;

// Milliseconds since an arbitrary start; wraps after 2^32 ms.
DWORD GetTickCount();

// Blocks the calling thread for at least `ms` milliseconds (real time).
void Sleep(DWORD ms);

// Signed distance from `then` to `now`, correct across one wrap of the tick.
inline int32_t TickDiff(DWORD now, DWORD then) { return static_cast<int32_t>(now - then); }

// A replacement for the monotonic clock. Installed process-wide; tests only.
class TickSource {
 public:
  virtual DWORD Now() = 0;

 protected:
  ~TickSource() = default;
};

// Installs `source` (nullptr restores the monotonic clock). The caller keeps
// ownership and must uninstall it before destroying it.
void SetTickSource(TickSource* source);

// A test clock that moves only when told to.
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
