// Synthetic 24-bit pictures for the codec's tests and benchmarks: a smooth
// scene (gradients and soft rings), a static scene with a moving square,
// uniform noise and colour bars. All deterministic.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>

#include "platform/bitmap/bitmap.h"

namespace tw::scenes {

inline void Fill(win32::Bitmap& bmp, auto&& pixel) {  // pixel(x, y) -> {b, g, r}
  for (int y = 0; y < bmp.Height(); ++y) {
    uint8_t* row = bmp.ScanLine(y);
    for (int x = 0; x < bmp.Width(); ++x) {
      const auto [b, g, r] = pixel(x, y);
      row[3 * x] = b;
      row[3 * x + 1] = g;
      row[3 * x + 2] = r;
    }
  }
}

struct Bgr {
  uint8_t b, g, r;
};

inline uint8_t Byte(double v) { return static_cast<uint8_t>(std::lround(std::fmin(255.0, std::fmax(0.0, v)))); }

// Gradients with soft rings: what a camera sees of a plain, lit room.
inline win32::Bitmap Smooth(int w, int h) {
  win32::Bitmap bmp(w, h, win32::PixelFormat::pf24bit);
  Fill(bmp, [&](int x, int y) {
    const double u = static_cast<double>(x) / w, v = static_cast<double>(y) / h;
    const double ring = std::sin(std::hypot(u - 0.4, v - 0.5) * 18.0);
    return Bgr{Byte(60 + 120 * v + 30 * ring), Byte(80 + 100 * u + 25 * ring), Byte(200 - 90 * u * v + 20 * ring)};
  });
  return bmp;
}

// The smooth scene with a few hard-edged shapes and a square at (sx, sy).
inline win32::Bitmap Scene(int w, int h, int sx, int sy) {
  win32::Bitmap bmp = Smooth(w, h);
  const int side = w / 8;
  Fill(bmp, [&, src = bmp](int x, int y) {
    if (x >= sx && x < sx + side && y >= sy && y < sy + side) return Bgr{30, 200, 240};
    if (x > w / 2 && x < w / 2 + w / 6 && y > h / 5 && y < h / 3) return Bgr{20, 20, 20};
    if (((x / 16) + (y / 16)) % 2 == 0 && y > 3 * h / 4) return Bgr{235, 235, 235};
    const uint8_t* p = src.ScanLine(y) + 3 * x;
    return Bgr{p[0], p[1], p[2]};
  });
  return bmp;
}

inline win32::Bitmap Noise(int w, int h, uint32_t seed) {
  win32::Bitmap bmp(w, h, win32::PixelFormat::pf24bit);
  std::mt19937 rng(seed);
  Fill(bmp, [&](int, int) {
    const uint32_t v = rng();
    return Bgr{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
  });
  return bmp;
}

// Eight vertical bars, white to black: a black block ends each row of blocks
// and a white one starts the next.
inline win32::Bitmap ColourBars(int w, int h) {
  static constexpr Bgr kBars[8] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                   {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};
  win32::Bitmap bmp(w, h, win32::PixelFormat::pf24bit);
  Fill(bmp, [&](int x, int) { return kBars[x * 8 / w]; });
  return bmp;
}

// Peak signal-to-noise ratio in dB of the 32-bit `decoded` against the 24-bit
// `original`, over the decoded area.
inline double Psnr(const win32::Bitmap& original, const win32::Bitmap& decoded) {
  double squared = 0;
  for (int y = 0; y < decoded.Height(); ++y) {
    const uint8_t* a = original.ScanLine(y);
    const uint8_t* b = decoded.ScanLine(y);
    for (int x = 0; x < decoded.Width(); ++x)
      for (int c = 0; c < 3; ++c) {
        const double d = static_cast<double>(a[3 * x + c]) - b[4 * x + c];
        squared += d * d;
      }
  }
  const double mse = squared / (3.0 * decoded.Width() * decoded.Height());
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace tw::scenes
