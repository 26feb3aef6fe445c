// Compares what the speaker played with what the microphone heard: the delay
// by cross-correlation and the signal-to-noise ratio after scaling, per
// segment of speech (the playback buffer re-primes between talks, so each
// talk has its own delay).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tw::test {

// The loudest 100 ms window's RMS (16 kHz): speech has syllables well above
// the floor.
inline double LoudestRms(const std::vector<int16_t>& s) {
  double best = 0;
  for (size_t at = 0; at + 1600 <= s.size(); at += 800) {
    double sum = 0;
    for (size_t i = at; i < at + 1600; ++i) sum += double(s[i]) * s[i];
    best = std::max(best, std::sqrt(sum / 1600));
  }
  return best;
}

struct SegmentMatch {
  double delayMs = 0;
  double correlation = 0;  // normalised, at that delay
  double snrDb = 0;        // input against the scaled output at that delay
};

// Segments of `segment` samples whose input RMS is at least `minRms`; for
// each, the lag in [0, maxLag] samples with the best normalised correlation.
inline std::vector<SegmentMatch> MatchSegments(const std::vector<int16_t>& in, const std::vector<int16_t>& out,
                                               size_t segment, size_t maxLag, double minRms = 300) {
  std::vector<SegmentMatch> result;
  for (size_t at = 0; at + segment <= in.size() && at + segment + maxLag <= out.size(); at += segment) {
    double ii = 0;
    for (size_t i = at; i < at + segment; ++i) ii += double(in[i]) * in[i];
    if (std::sqrt(ii / double(segment)) < minRms) continue;
    SegmentMatch best;
    size_t bestLag = 0;
    for (size_t lag = 0; lag <= maxLag; ++lag) {
      double dot = 0, oo = 0;
      for (size_t i = at; i < at + segment; ++i) {
        dot += double(in[i]) * out[i + lag];
        oo += double(out[i + lag]) * out[i + lag];
      }
      const double c = oo > 0 ? dot / std::sqrt(ii * oo) : 0;
      if (c > best.correlation) {
        best.correlation = c;
        bestLag = lag;
      }
    }
    best.delayMs = double(bestLag) / 16.0;
    // 1 / (1 - c^2) is the SNR of the best scaled fit.
    const double c2 = std::min(best.correlation * best.correlation, 0.999999);
    best.snrDb = 10 * std::log10(1.0 / (1.0 - c2));
    result.push_back(best);
  }
  return result;
}

inline double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * double(v.size() - 1) + 0.5));
  return v[i];
}

}  // namespace tw::test
