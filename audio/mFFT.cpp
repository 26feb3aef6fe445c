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

// t = (c + i s) * hi; hi = lo - t; lo = lo + t, in exactly this order.
inline void Butterfly(Complex& lo, Complex& hi, double c, double s) {
  const double tre = c * hi.re - s * hi.im;
  const double tim = s * hi.re + c * hi.im;
  hi.re = lo.re - tre;
  hi.im = lo.im - tim;
  lo.re = lo.re + tre;
  lo.im = lo.im + tim;
}

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

FftTwiddles::Table FftTwiddles::Build(size_t n, double sign) {
  Table table;
  table.cos.reserve(n - 1);
  table.sin.reserve(n - 1);
  for (size_t h = 1; h < n; h *= 2) {
    const double step = sign * std::numbers::pi / static_cast<double>(h);
    double theta = 0.0;
    for (size_t j = 0; j < h; ++j) {
      table.cos.push_back(std::cos(theta));
      table.sin.push_back(std::sin(theta));
      theta += step;
    }
  }
  return table;
}

void FftTwiddles::Transform(std::span<Complex> x, bool forward) const {
  if (x.size() != n_) throw std::invalid_argument("FFT input has the wrong size");
  for (const auto& [a, b] : swaps_) std::swap(x[a], x[b]);

  const Table& table = forward ? forward_ : inverse_;
  const double* c = table.cos.data();
  const double* s = table.sin.data();
  Complex* d = x.data();
  for (size_t h = 1; h < n_; h *= 2) {
    // Butterflies of one stage touch disjoint pairs, so walking them group by
    // group instead of twiddle by twiddle changes nothing in the results.
    for (size_t group = 0; group < n_; group += 2 * h) {
      Complex* lo = d + group;
      Complex* hi = lo + h;
      for (size_t j = 0; j < h; ++j) Butterfly(lo[j], hi[j], c[j], s[j]);
    }
    c += h;
    s += h;
  }
}

void FftTwiddles::Transform(std::span<double> re, std::span<double> im, bool forward) const {
  if (re.size() != n_ || im.size() != n_) throw std::invalid_argument("FFT input has the wrong size");
  for (const auto& [a, b] : swaps_) {
    std::swap(re[a], re[b]);
    std::swap(im[a], im[b]);
  }
  const Table& table = forward ? forward_ : inverse_;
  const double* c = table.cos.data();
  const double* s = table.sin.data();
  double* __restrict r = re.data();
  double* __restrict m = im.data();
  // Stage h = 1 on its own (one twiddle, 1-wide groups), then the rest with
  // contiguous inner loops that the compiler vectorizes. The halves of a
  // group never overlap, which the restrict pointers promise.
  {
    const double c0 = c[0];
    const double s0 = s[0];
    for (size_t L = 0; L < n_; L += 2) {
      const double tre = c0 * r[L + 1] - s0 * m[L + 1];
      const double tim = s0 * r[L + 1] + c0 * m[L + 1];
      r[L + 1] = r[L] - tre;
      m[L + 1] = m[L] - tim;
      r[L] = r[L] + tre;
      m[L] = m[L] + tim;
    }
    c += 1;
    s += 1;
  }
  for (size_t h = 2; h < n_; h *= 2) {
    for (size_t group = 0; group < n_; group += 2 * h) {
      double* __restrict loRe = r + group;
      double* __restrict loIm = m + group;
      double* __restrict hiRe = loRe + h;
      double* __restrict hiIm = loIm + h;
      for (size_t j = 0; j < h; ++j) {
        const double tre = c[j] * hiRe[j] - s[j] * hiIm[j];
        const double tim = s[j] * hiRe[j] + c[j] * hiIm[j];
        hiRe[j] = loRe[j] - tre;
        hiIm[j] = loIm[j] - tim;
        loRe[j] = loRe[j] + tre;
        loIm[j] = loIm[j] + tim;
      }
    }
    c += h;
    s += h;
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
  if (2 * margin + 1 > half) return 0;  // nothing left to search
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
