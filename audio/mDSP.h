// Sample-block helpers of the voice pipeline: DC removal, peak and level
// measurement and scaling. Blocks are borrowed spans of signed 16-bit samples
// that the helpers change in place; nothing keeps state.
//
// Rounding is to the nearest integer with halves to even, and a result stored
// into a sample keeps the low 16 bits of that integer: out-of-range results
// wrap around, they do not saturate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace tw {

// Rounds half to even and keeps the low 16 bits of the integer. NaN gives 0.
int16_t RoundToSample(double v);
// Rounds half to even, saturating at the 32-bit range. NaN gives 0.
int32_t RoundToInt32(double v);

// Subtracts the mean of samples first..last (last 0: the final sample) from
// those samples. The mean is their sum divided by the whole block length,
// truncated toward zero.
void RemoveDC(std::span<int16_t> block, size_t first = 0, size_t last = 0);

// Largest |sample| (32768 for -32768); 0 for an empty or silent block.
int32_t PeakAbs(std::span<const int16_t> block);

// Scales the block by limit / peak when that is below 1, so its peak becomes
// at most `limit`; a limit of 0 silences any non-silent block.
void LimitPeak(std::span<int16_t> block, int32_t limit);

// Divides every sample by `divisor` when it is at least 2; otherwise nothing.
void Attenuate(std::span<int16_t> block, double divisor);

// Multiplies every sample by `factor`; results beyond the 16-bit range
// saturate (unlike the helpers above, a gain never wraps a sample).
void ApplyGain(std::span<int16_t> block, double factor);

// sqrt(sum of squares of samples first..last) / count, last 0 meaning the
// final sample; 0 when first = last. (Root of energy per count, not RMS.)
double BlockLevel(std::span<const int16_t> block, size_t first = 0, size_t last = 0);

}  // namespace tw
