// Lines up what a listener's player played for one talker (the played blocks
// one after another) with what that talker's microphone captured, segment by
// segment, and gives the median correlation and signal-to-noise ratio. The
// played stream has no gaps in time but may skip what was not sent (silence,
// dropped packets), so each segment's offset is searched near the previous
// one's.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <array>
#include <vector>

#include "audio/mFFT.h"

namespace tw::test {

// What a player would make of `samples` if the codec and the network lost
// nothing: the same notch of DC and 375 to 594 Hz in blocks of 512 with a hop
// of 256, Hann-windowed and overlapped (no ducking). The reference against
// which the played speech shows what coding and transport cost.
inline std::vector<int16_t> PlayerShaped(const std::vector<int16_t>& samples) {
  constexpr size_t kBlock = 512, kHop = 256;
  TFFT fft(kBlock);
  std::array<int16_t, kBlock> current{}, previous{};
  std::vector<int16_t> out;
  for (size_t at = 0; at + kBlock <= samples.size(); at += kHop) {
    std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at), kBlock, current.begin());
    fft.Forward(current);
    auto bins = fft.Bins();
    bins[0] = {};
    for (size_t k = 12; k <= 19; ++k) bins[k] = {};
    fft.Inverse(current);
    HannWindow(current);
    for (size_t i = 0; i < kHop; ++i)
      out.push_back(static_cast<int16_t>(std::clamp(current[i] + previous[i + kHop], -32768, 32767)));
    previous = current;
  }
  return out;
}

struct TSpeechMatch {
  size_t segments = 0;
  double correlation = 0;  // median
  double snrDb = 0;        // median, of the best scaled fit
};

namespace speech_detail {

constexpr size_t kSegment = 2048;  // 128 ms

inline double Rms(const int16_t* p, size_t n) {
  double s = 0;
  for (size_t i = 0; i < n; ++i) s += double(p[i]) * p[i];
  return std::sqrt(s / double(n));
}

// Normalised correlation of heard[at..] with spoken[at + lag..].
inline double Correlation(const std::vector<int16_t>& heard, size_t at, const std::vector<int16_t>& spoken,
                          ptrdiff_t lag) {
  const ptrdiff_t from = static_cast<ptrdiff_t>(at) + lag;
  if (from < 0 || static_cast<size_t>(from) + kSegment > spoken.size()) return 0;
  const int16_t* s = spoken.data() + from;
  const int16_t* h = heard.data() + at;
  double hs = 0, hh = 0, ss = 0;
  for (size_t i = 0; i < kSegment; ++i) {
    hs += double(h[i]) * s[i];
    hh += double(h[i]) * h[i];
    ss += double(s[i]) * s[i];
  }
  return hh > 0 && ss > 0 ? hs / std::sqrt(hh * ss) : 0;
}

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace speech_detail

inline TSpeechMatch MatchSpeech(const std::vector<int16_t>& heard, const std::vector<int16_t>& spoken,
                                double minRms = 300, ptrdiff_t slip = 800) {
  using namespace speech_detail;
  TSpeechMatch result;
  std::vector<double> correlations, snrs;
  bool locked = false;
  ptrdiff_t lag = 0;
  auto search = [&](size_t at, ptrdiff_t lo, ptrdiff_t hi, ptrdiff_t& bestLag) {
    double best = -1;
    for (ptrdiff_t l = lo; l <= hi; ++l) {
      const double c = Correlation(heard, at, spoken, l);
      if (c > best) {
        best = c;
        bestLag = l;
      }
    }
    return best;
  };
  for (size_t at = 0; at + kSegment <= heard.size(); at += kSegment) {
    if (Rms(heard.data() + at, kSegment) < minRms) continue;
    // Near the last segment's offset; anywhere when that fails (a pause
    // that was not sent shifts the rest).
    ptrdiff_t bestLag = lag;
    double best = locked ? search(at, lag - slip, lag + slip, bestLag) : -1;
    if (best < 0.5) best = search(at, -static_cast<ptrdiff_t>(at), static_cast<ptrdiff_t>(spoken.size()), bestLag);
    if (best < 0.3) continue;  // nothing of it was spoken
    locked = true;
    lag = bestLag;
    correlations.push_back(best);
    const double c2 = std::min(best * best, 0.999999);
    snrs.push_back(10 * std::log10(1.0 / (1.0 - c2)));
  }
  result.segments = correlations.size();
  result.correlation = Median(correlations);
  result.snrDb = Median(snrs);
  return result;
}

}  // namespace tw::test
