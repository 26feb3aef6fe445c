// The millisecond tick that every transport time is measured in: a 32-bit
// count that wraps, read from the monotonic clock unless a test installs its
// own source. Compare ticks only through TickDiff, which is wrap-safe.
#pragma once

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

}  // namespace tw::win32
