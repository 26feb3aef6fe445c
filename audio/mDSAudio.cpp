// The tick is read once per Add and once per query. An entry's age is
// now - tick in unsigned 32-bit arithmetic, so entries written shortly
// before the counter wraps keep their true small age after it.
#include "audio/mDSAudio.h"

#include <algorithm>
#include <stdexcept>

#include "platform/win32/tick.h"

namespace tw {

TLooker::TLooker(size_t capacity, double initial) : entries_(capacity, Entry{initial, 0, false}) {
  if (capacity == 0) throw std::invalid_argument("TLooker needs at least one entry");
}

void TLooker::Add(double value) {
  entries_[position_] = {value, win32::GetTickCount(), true};
  if (++position_ == entries_.size()) position_ = 0;
}

template <typename Visit>
void TLooker::ForEachWithin(uint32_t windowMs, Visit visit) const {
  const uint32_t now = win32::GetTickCount();
  for (const Entry& e : entries_) {
    // An unwritten entry's tick 0 says nothing about its age: without the
    // flag it would look fresh whenever the counter is near 0 (at boot or
    // just after a wrap) and dilute the mean.
    if (windowMs == 0 || (e.written && static_cast<uint32_t>(now - e.tick) <= windowMs)) visit(e.value);
  }
}

double TLooker::MaxWithin(uint32_t windowMs) const {
  double best = 0.0;
  ForEachWithin(windowMs, [&](double v) { best = std::max(best, v); });
  return best;
}

double TLooker::MeanWithin(uint32_t windowMs) const {
  double sum = 0.0;
  size_t count = 0;
  ForEachWithin(windowMs, [&](double v) {
    sum += v;
    ++count;
  });
  return count == 0 ? 0.0 : sum / static_cast<double>(count);
}

}  // namespace tw
