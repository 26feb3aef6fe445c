// The transform is decimation in time: a bit-reversal permutation, then
// log2 N stages of butterflies whose twiddles come from tables built once.
// The twiddle angle of a stage is accumulated by repeated addition rather
// than computed as j*pi/h, and the butterfly keeps a fixed operation order,
// so every result is reproducible to the last bit (rounding ties included).
#include "audio/mFFT.h"

#include <cmath>
#include <numbers>
#include <stdexcept>

#include "audio/mDSP.h"

namespace tw {

namespace {

bool IsPowerOfTwo(size_t n) { return n >= 2 && (n & (n - 1)) == 0; }

}  // namespace

FftTwiddles::FftTwiddles(size_t n) : n_(n) {
  if (!IsPowerOfTwo(n)) throw std::invalid_argument("FFT size must be a power of two");
  // Pairs (i, j) with i < j = bitreverse(i), found by the classic counter.
  size_t j = 0;
  for (size_t i = 1; i + 1 < n; ++i) {
    size_t k = n / 2;
    while (j >= k) {
      j -= k;
      k /= 2;
    }
    j += k;
    if (i < j) swaps_.emplace_back(static_cast<uint32_t>(i), static_cast<uint32_t>(j));
  }
  forward_ = Build(n, +1.0);
  inverse_ = Build(n, -1.0);
}

std::vector<FftTwiddles::Twiddle> FftTwiddles::Build(size_t n, double sign) {
  std::vector<Twiddle> table;
  table.reserve(n - 1);
  for (size_t h = 1; h < n; h *= 2) {
    const double step = sign * std::numbers::pi / static_cast<double>(h);
    double theta = 0.0;
    for (size_t j = 0; j < h; ++j) {
      table.push_back({std::cos(theta), std::sin(theta)});
      theta += step;
    }
  }
  return table;
}

void FftTwiddles::Transform(std::span<Complex> x, bool forward) const {
  if (x.size() != n_) throw std::invalid_argument("FFT input has the wrong size");
  for (const auto& [a, b] : swaps_) std::swap(x[a], x[b]);

  const Twiddle* stage = forward ? forward_.data() : inverse_.data();
  Complex* d = x.data();
  for (size_t h = 1; h < n_; h *= 2) {
    // Butterflies of one stage touch disjoint pairs, so walking them group by
    // group instead of twiddle by twiddle changes nothing in the results.
    for (size_t group = 0; group < n_; group += 2 * h) {
      Complex* lo = d + group;
      Complex* hi = lo + h;
      for (size_t j = 0; j < h; ++j) {
        const double c = stage[j].c;
        const double s = stage[j].s;
        const double tre = c * hi[j].re - s * hi[j].im;
        const double tim = s * hi[j].re + c * hi[j].im;
        hi[j].re = lo[j].re - tre;
        hi[j].im = lo[j].im - tim;
        lo[j].re = lo[j].re + tre;
        lo[j].im = lo[j].im + tim;
      }
    }
    stage += h;
  }
}

TFFT::TFFT(size_t n) : n_(n), twiddles_(n), bins_(n), mags_(n), smoothed_(n) {}

void TFFT::Transform(bool forward) { twiddles_.Transform(bins_, forward); }

void TFFT::Forward(std::span<const int16_t> block) {
  if (block.size() != n_) throw std::invalid_argument("block length differs from the FFT size");
  for (size_t i = 0; i < n_; ++i) bins_[i] = {static_cast<double>(block[i]), 0.0};
  Transform(true);
  const double n = static_cast<double>(n_);
  for (auto& b : bins_) {
    b.re /= n;
    b.im /= n;
  }
}

void TFFT::Inverse(std::span<int16_t> block) {
  if (block.size() != n_) throw std::invalid_argument("block length differs from the FFT size");
  for (size_t i = 1; i < n_ / 2; ++i) bins_[n_ - i] = {bins_[i].re, -bins_[i].im};
  Transform(false);
  for (size_t i = 0; i < n_; ++i) block[i] = RoundToSample(bins_[i].re);
}

void TFFT::Magnitudes() {
  const size_t half = n_ / 2;
  for (size_t i = 0; i < half; ++i) mags_[i] = std::sqrt(bins_[i].re * bins_[i].re + bins_[i].im * bins_[i].im);
  for (size_t j = 1; j + 1 < half; ++j)
    smoothed_[j] = RoundToInt32((mags_[j - 1] + mags_[j] + mags_[j + 1]) / 3.0 * 1000.0);
}

double TFFT::BandEnergy(size_t first, size_t last) const {
  double sum = 0.0;
  for (size_t i = first; i <= last && i < n_; ++i) sum += bins_[i].re * bins_[i].re + bins_[i].im * bins_[i].im;
  return sum;
}

size_t TFFT::PeakBin(size_t margin) const {
  const size_t half = n_ / 2;
  if (margin + 1 > half - margin) return 0;  // nothing left to search
  const size_t last = half - 1 - margin;
  double sum = 0.0;
  for (size_t i = margin; i <= last; ++i) sum += smoothed_[i];
  const double mean = sum / static_cast<double>(last - margin + 1);
  double best = 0.0;
  size_t bin = 0;
  for (size_t i = margin; i <= last; ++i) {
    const double v = smoothed_[i];
    if (v > 10.0 * mean && v > 10.0 * best) {
      best = v;
      bin = i;
    }
  }
  return bin;
}

void HannWindow(std::span<int16_t> block) {
  if (block.size() < 2) {
    for (auto& s : block) s = 0;  // a one-sample window is its own end point
    return;
  }
  const double high = static_cast<double>(block.size() - 1);
  for (size_t i = 0; i < block.size(); ++i) {
    const double w = 0.5 * (1.0 - std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / high));
    block[i] = RoundToSample(block[i] * w);
  }
}

}  // namespace tw
