// Armed faults: the platform's fault table, keyed by operation, with the
// error (and, for a short write, the bytes that go through) beside each.
#include <cerrno>

#include "platform/fault_table.h"
#include "platform/files/internal.h"

namespace tw::files {

namespace {

struct FaultPayload {
  int error;
  bool partial;
  size_t keep;
};

platform_detail::FaultTable<FaultPayload> g_faults;

int Arm(Op op, int nth, Repeat repeat, FaultPayload payload) {
  return g_faults.Arm(static_cast<int>(op), nth, repeat == Repeat::Once, payload);
}

}  // namespace

ScopedFault::ScopedFault(Op op, int nth, int error, Repeat repeat) : id_(Arm(op, nth, repeat, {error, false, 0})) {}

ScopedFault::ScopedFault(int nth, size_t keep, Repeat repeat)
    : id_(Arm(Op::Write, nth, repeat, {ENOSPC, true, keep})) {}

ScopedFault::~ScopedFault() { g_faults.Disarm(id_); }

int ScopedFault::failures() const { return g_faults.Failures(id_); }

ScopedFault InjectShortWrite(int nth, size_t keep, Repeat repeat) { return ScopedFault(nth, keep, repeat); }

namespace detail {

FaultHit FaultTakes(Op op) {
  FaultHit hit;
  // The first armed fault whose turn has come decides.
  g_faults.Take(static_cast<int>(op), [&](const FaultPayload& f) {
    if (!hit.fails) hit = {true, f.error, f.partial, f.keep};
    return true;
  });
  return hit;
}

}  // namespace detail

}  // namespace tw::files
