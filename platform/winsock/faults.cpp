// Armed faults: the platform's fault table, one keyed by call with the
// error beside each fault, and one of short writes with their limit.
#include <algorithm>

#include "platform/fault_table.h"
#include "platform/winsock/internal.h"

namespace tw::ws {

namespace {

platform_detail::FaultTable<int> g_faults;       // error of each fault
platform_detail::FaultTable<int> g_short_writes;  // longest send let through
constexpr int kSend = 0;                          // the one site of a short write

}  // namespace

ScopedFault::ScopedFault(Call call, int nth, int error, Repeat repeat)
    : id_(g_faults.Arm(static_cast<int>(call), nth, repeat == Repeat::Once, error)) {}

ScopedFault::~ScopedFault() { g_faults.Disarm(id_); }

int ScopedFault::failures() const { return g_faults.Failures(id_); }

ScopedShortWrite::ScopedShortWrite(int limit, int nth, Repeat repeat)
    : id_(g_short_writes.Arm(kSend, nth, repeat == Repeat::Once, limit > 0 ? limit : 1)) {}

ScopedShortWrite::~ScopedShortWrite() { g_short_writes.Disarm(id_); }

int ScopedShortWrite::shortened() const { return g_short_writes.Failures(id_); }

namespace detail {

int ShortWriteLength(int len) {
  int allowed = len;
  g_short_writes.Take(kSend, [&](int limit) {
    if (limit >= len) return false;  // fits: not shortened
    allowed = std::min(allowed, limit);
    return true;
  });
  return allowed;
}

bool FaultTakes(Call call) {
  int error = 0;
  bool first = true;  // the first armed fault whose turn has come decides
  const bool fails = g_faults.Take(static_cast<int>(call), [&](int e) {
    if (first) error = e;
    first = false;
    return true;
  });
  if (fails) WSASetLastError(error);
  return fails;
}

}  // namespace detail

}  // namespace tw::ws
