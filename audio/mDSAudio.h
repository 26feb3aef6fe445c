// What the recorder and the player share: the voice PCM format and TLooker,
// a fixed-size history of values stamped with the millisecond tick that
// answers the largest value and the mean over a recent time window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tw {

// VoicePcmFormat: linear PCM, 16,000 Hz, 16-bit signed little-endian, mono.
struct VoicePcmFormat {
  static constexpr uint32_t kSampleRate = 16000;
  static constexpr uint16_t kBitsPerSample = 16;
  static constexpr uint16_t kChannels = 1;
  static constexpr uint32_t kBytesPerSecond = 32000;
  static constexpr size_t kFrameSamples = 512;  // 32 ms: codec and analysis
  static constexpr size_t kFrameBytes = 1024;
  static constexpr size_t kPlayStepSamples = 256;  // 16 ms: player output step
};

// A ring of `capacity` (value, tick) entries. Ticks come from
// tw::win32::GetTickCount and ages are wrap-safe 32-bit differences.
class TLooker {
 public:
  // Every entry starts as (initial, tick 0). `capacity` must be at least 1.
  TLooker(size_t capacity, double initial);

  // Overwrites the oldest entry with (value, current tick).
  void Add(double value);

  // Largest value among entries at most `windowMs` old (0: all entries), never
  // below 0.0; 0.0 when none qualifies.
  double MaxWithin(uint32_t windowMs) const;
  // Mean of the same entries; 0.0 when none qualifies.
  double MeanWithin(uint32_t windowMs) const;

 private:
  struct Entry {
    double value;
    uint32_t tick;
    bool written;  // entries never added to count only for window 0
  };
  template <typename Visit>
  void ForEachWithin(uint32_t windowMs, Visit visit) const;

  std::vector<Entry> entries_;
  size_t position_ = 0;
};

}  // namespace tw
