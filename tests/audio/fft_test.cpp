#include "audio/mFFT.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numbers>
#include <random>
#include <tuple>
#include <vector>

namespace tw {
namespace {

// The transform written the plain way: bit reversal by the counter, then per
// stage per twiddle (angle accumulated by addition) every butterfly of that
// twiddle. The production loop visits butterflies in another order and must
// give the same bits.
std::vector<Complex> PlainTransform(std::vector<Complex> x, bool forward) {
  const size_t n = x.size();
  size_t j = 0;
  for (size_t i = 1; i + 1 < n; ++i) {
    size_t k = n / 2;
    while (j >= k) {
      j -= k;
      k /= 2;
    }
    j += k;
    if (i < j) std::swap(x[i], x[j]);
  }
  const double sign = forward ? 1.0 : -1.0;
  for (size_t h = 1; h < n; h *= 2) {
    double theta = 0.0;
    for (size_t t = 0; t < h; ++t) {
      const double c = std::cos(theta);
      const double s = std::sin(theta);
      theta += sign * std::numbers::pi / static_cast<double>(h);
      for (size_t L = t; L < n; L += 2 * h) {
        const double tre = c * x[L + h].re - s * x[L + h].im;
        const double tim = s * x[L + h].re + c * x[L + h].im;
        x[L + h] = {x[L].re - tre, x[L].im - tim};
        x[L] = {x[L].re + tre, x[L].im + tim};
      }
    }
  }
  return x;
}

std::vector<Complex> RandomBins(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> d(-30000.0, 30000.0);
  std::vector<Complex> x(n);
  for (auto& v : x) v = {d(rng), d(rng)};
  return x;
}

TEST(FftTransform, MatchesThePlainButterflyOrderBitForBit) {
  for (const size_t n : {2u, 8u, 512u, 2048u}) {
    for (const bool forward : {true, false}) {
      auto x = RandomBins(n, static_cast<uint32_t>(n));
      const auto expected = PlainTransform(x, forward);
      std::vector<double> re(n), im(n);
      for (size_t i = 0; i < n; ++i) std::tie(re[i], im[i]) = std::pair(x[i].re, x[i].im);
      const FftTwiddles twiddles(n);
      twiddles.Transform(x, forward);
      twiddles.Transform(re, im, forward);
      ASSERT_EQ(0, std::memcmp(x.data(), expected.data(), n * sizeof(Complex))) << n << " forward=" << forward;
      for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(0, std::memcmp(&re[i], &expected[i].re, sizeof(double))) << n << " split re " << i;
        ASSERT_EQ(0, std::memcmp(&im[i], &expected[i].im, sizeof(double))) << n << " split im " << i;
      }
    }
  }
}

// The "forward" transform uses e^{+2 pi i nk/N}, the inverse e^{-...}.
TEST(FftTransform, ForwardUsesThePositiveExponentAndNeitherScales) {
  const size_t n = 64;
  const auto input = RandomBins(n, 7);
  for (const bool forward : {true, false}) {
    auto x = input;
    FftTwiddles(n).Transform(x, forward);
    const double sign = forward ? 1.0 : -1.0;
    for (size_t k = 0; k < n; ++k) {
      std::complex<double> sum;
      for (size_t m = 0; m < n; ++m)
        sum += std::complex<double>(input[m].re, input[m].im) *
               std::polar(1.0, sign * 2.0 * std::numbers::pi * static_cast<double>(m * k) / n);
      EXPECT_NEAR(x[k].re, sum.real(), 1e-6);
      EXPECT_NEAR(x[k].im, sum.imag(), 1e-6);
    }
  }
}

TEST(Fft, RejectsSizesThatAreNotPowersOfTwo) {
  EXPECT_THROW(FftTwiddles(0), std::invalid_argument);
  EXPECT_THROW(FftTwiddles(384), std::invalid_argument);
}

TEST(Fft, ForwardThenInverseReturnsTheBlock) {
  TFFT fft(512);
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> d(-32768, 32767);
  for (int round = 0; round < 5; ++round) {
    std::vector<int16_t> block(512), out(512);
    for (auto& s : block) s = static_cast<int16_t>(d(rng));
    fft.Forward(block);
    fft.Inverse(out);
    EXPECT_EQ(block, out);
  }
}

TEST(Fft, ConstantBlockHasOnlyTheDcBin) {
  TFFT fft(512);
  const std::vector<int16_t> block(512, -1234);
  fft.Forward(block);
  EXPECT_EQ(fft.Bins()[0].re, -1234.0);
  EXPECT_EQ(fft.Bins()[0].im, 0.0);
  for (size_t i = 1; i < 512; ++i) {
    ASSERT_EQ(fft.Bins()[i].re, 0.0) << i;
    ASSERT_EQ(fft.Bins()[i].im, 0.0) << i;
  }
}

TEST(Fft, MagnitudesSmoothOverThreeBinsTimesAThousand) {
  TFFT fft(512);
  fft.Bins()[20] = {3.0, 4.0};  // magnitude 5
  fft.Bins()[21] = {0.0, -1.0};  // magnitude 1
  fft.Magnitudes();
  EXPECT_EQ(fft.Mags()[20], 5.0);
  EXPECT_EQ(fft.Smoothed()[19], 1667);  // 5/3 * 1000 = 1666.67
  EXPECT_EQ(fft.Smoothed()[20], 2000);
  EXPECT_EQ(fft.Smoothed()[22], 333);
  EXPECT_EQ(fft.Smoothed()[0], 0);
  EXPECT_EQ(fft.Smoothed()[255], 0);
  EXPECT_EQ(fft.BandEnergy(20, 21), 26.0);
  EXPECT_EQ(fft.BandEnergy(21, 20), 0.0);
}

struct PeakCase {
  const char* name;
  double background;
  std::vector<std::pair<size_t, double>> peaks;  // bin, magnitude
  size_t margin;
  size_t expected;
};

TEST(Fft, PeakBinFindsTheLowestStandOutBin) {
  const PeakCase cases[] = {
      {"silence", 0.0, {}, 10, 0},
      {"flat spectrum", 3.0, {}, 10, 0},
      // Equal peaks: the lower one stands; the upper is not ten times stronger.
      {"two equal peaks", 3.0, {{20, 100}, {21, 100}, {60, 100}, {61, 100}}, 10, 20},
      {"one strong peak", 3.0, {{61, 2000}, {62, 2000}}, 10, 60},
      {"peak below the margin", 3.0, {{4, 2000}, {5, 2000}}, 10, 0},
      {"margin leaves nothing", 3.0, {{61, 2000}}, 128, 0},
      {"margin beyond the half", 3.0, {{61, 2000}}, 300, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TFFT fft(512);
    for (size_t i = 0; i < 256; ++i) fft.Bins()[i] = {c.background, 0.0};
    for (const auto& [bin, mag] : c.peaks) fft.Bins()[bin] = {0.0, mag};
    fft.Magnitudes();
    EXPECT_EQ(fft.PeakBin(c.margin), c.expected);
  }
}

TEST(HannWindowTest, EndsAreZeroAndTheWindowIsSymmetric) {
  std::vector<int16_t> block(512, 30000);
  HannWindow(block);
  EXPECT_EQ(block[0], 0);
  EXPECT_EQ(block[511], 0);
  for (size_t i = 0; i < 256; ++i) ASSERT_EQ(block[i], block[511 - i]) << i;
  // The middle two samples are scaled by 0.5 (1 + cos(pi/511)), just under 1.
  std::vector<int16_t> loud(512, 32767);
  HannWindow(loud);
  EXPECT_EQ(loud[255], 32767);  // 32766.69 rounds up
  EXPECT_EQ(block[128], 15046);  // 30000 * 0.5 (1 - cos(2 pi 128/511)) = 15046.1
}

}  // namespace
}  // namespace tw
