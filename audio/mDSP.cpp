// Every helper rounds with nearbyint under the default rounding mode (halves
// to even), never with round(), and stores through RoundToSample.
#include "audio/mDSP.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace tw {

int16_t RoundToSample(double v) {
  double r = std::nearbyint(v);
  if (std::isnan(r)) return 0;
  if (std::fabs(r) >= 2147483648.0) {
    // Keep the low 16 bits of a huge integer: fmod is exact and the remainder
    // has the sign of r, which the two's-complement cast below handles.
    if (std::isinf(r)) return 0;
    r = std::fmod(r, 65536.0);
  }
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<int32_t>(r)));
}

int32_t RoundToInt32(double v) {
  const double r = std::nearbyint(v);
  if (std::isnan(r)) return 0;
  if (r >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (r <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(r);
}

void RemoveDC(std::span<int16_t> block, size_t first, size_t last) {
  if (block.empty()) return;
  if (last == 0 || last >= block.size()) last = block.size() - 1;
  if (first > last) return;
  int64_t sum = 0;
  for (size_t i = first; i <= last; ++i) sum += block[i];
  const int64_t mean = sum / static_cast<int64_t>(block.size());  // truncates toward zero
  for (size_t i = first; i <= last; ++i) block[i] = static_cast<int16_t>(static_cast<uint16_t>(block[i] - mean));
}

int32_t PeakAbs(std::span<const int16_t> block) {
  int32_t peak = 0;
  for (const int16_t s : block) peak = std::max(peak, std::abs(static_cast<int32_t>(s)));
  return peak;
}

void LimitPeak(std::span<int16_t> block, int32_t limit) {
  const int32_t peak = PeakAbs(block);
  if (peak == 0) return;
  const double f = static_cast<double>(limit) / static_cast<double>(peak);
  if (f >= 1.0) return;
  for (auto& s : block) s = RoundToSample(s * f);
}

void Attenuate(std::span<int16_t> block, double divisor) {
  if (!(divisor >= 2.0)) return;
  for (auto& s : block) s = RoundToSample(s / divisor);
}

void ApplyGain(std::span<int16_t> block, double factor) {
  // A gain that wrapped would turn a loud sample into its opposite: clip.
  for (auto& s : block) s = static_cast<int16_t>(std::clamp(RoundToInt32(s * factor), -32768, 32767));
}

double BlockLevel(std::span<const int16_t> block, size_t first, size_t last) {
  if (block.empty()) return 0.0;
  if (last == 0 || last >= block.size()) last = block.size() - 1;
  if (first >= last) return 0.0;
  double sum = 0.0;
  for (size_t i = first; i <= last; ++i) {
    const int32_t v = block[i];
    sum += static_cast<double>(v * v);
  }
  return std::sqrt(sum) / static_cast<double>(last - first + 1);
}

}  // namespace tw
