// Radix-2 complex FFT with the spectrum helpers of the voice pipeline (TFFT),
// the twiddle tables and in-place transform it shares with the voice codec,
// and the Hann window. A TFFT owns its arrays; every call works in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace tw {

struct Complex {
  double re = 0.0;
  double im = 0.0;
};

// Forward and inverse twiddle tables of an n-point transform (n a power of
// two, at least 2). For each stage with half-span h = 1, 2, ..., n/2 the table
// holds h entries cos/sin of an angle that starts at 0 and grows by +pi/h
// (forward) or -pi/h (inverse) by repeated addition.
class FftTwiddles {
 public:
  explicit FftTwiddles(size_t n);

  size_t size() const { return n_; }

  // In-place transform of `x` (exactly size() entries), no scaling:
  // forward X_k = sum x_n e^{+2 pi i nk/N}, inverse with e^{-2 pi i nk/N}.
  void Transform(std::span<Complex> x, bool forward) const;
  // The same on split real and imaginary arrays (the codec's hot path; the
  // arrays must not overlap).
  void Transform(std::span<double> re, std::span<double> im, bool forward) const;

 private:
  struct Table {
    std::vector<double> cos;
    std::vector<double> sin;
  };
  static Table Build(size_t n, double sign);

  size_t n_;
  std::vector<std::pair<uint32_t, uint32_t>> swaps_;  // bit-reversal pairs
  Table forward_;
  Table inverse_;
};

// A transform of N points with its complex, magnitude and smoothed arrays.
// Blocks passed in must hold exactly N samples.
class TFFT {
 public:
  explicit TFFT(size_t n = 512);

  size_t size() const { return n_; }

  // The complex array: input and output of every operation.
  std::span<Complex> Bins() { return bins_; }
  std::span<const Complex> Bins() const { return bins_; }
  // Magnitudes of bins 0..N/2-1 after Magnitudes().
  std::span<const double> Mags() const { return mags_; }
  // Smoothed magnitudes (x1000), entries 1..N/2-2 in use, the rest 0.
  std::span<const int32_t> Smoothed() const { return smoothed_; }

  // In-place transform of the complex array, no scaling.
  void Transform(bool forward);
  // Complex array := spectrum of `block` divided by N.
  void Forward(std::span<const int16_t> block);
  // Mirrors bins 1..N/2-1 into the upper half (conjugated), runs the inverse
  // transform and stores the rounded real parts into `block`.
  void Inverse(std::span<int16_t> block);
  // Magnitudes and their 3-bin smoothing (x1000, rounded) from the bins.
  void Magnitudes();
  // Sum of re^2 + im^2 over bins first..last; 0 when last < first.
  double BandEnergy(size_t first, size_t last) const;
  // The lowest smoothed bin in margin..N/2-1-margin above ten times the mean,
  // replaced by a higher one only when that is over ten times stronger; 0 if
  // none stands out.
  size_t PeakBin(size_t margin) const;

 private:
  size_t n_;
  FftTwiddles twiddles_;
  std::vector<Complex> bins_;
  std::vector<double> mags_;
  std::vector<int32_t> smoothed_;
};

// Multiplies the block by a symmetric Hann window: the first and the last
// sample become 0.
void HannWindow(std::span<int16_t> block);

}  // namespace tw
