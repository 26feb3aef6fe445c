// YUYV and RGB to 24-bit RGB.
#include "platform/dshow/convert.h"

#include <algorithm>
#include <cstdlib>

#include "platform/dshow/camera.h"

namespace tw::dshow {

namespace {

size_t Stride(int bits, int width) { return static_cast<size_t>(((bits * width + 31) / 32) * 4); }

// BT.601 limited range in 16.16 fixed point: y' = 1.164 (y - 16); the
// chroma terms are pre-shifted so one table look-up clamps each channel.
constexpr int kClampBias = 384;  // lowest sum is about -278, highest about 534
struct YuvTables {
  int y[256], rv[256], gu[256], gv[256], bu[256];
  uint8_t clamp[1024];
  YuvTables() {
    for (int i = 0; i < 256; ++i) {
      y[i] = 76309 * (i - 16) + 32768 + (kClampBias << 16);
      rv[i] = 104597 * (i - 128);
      gu[i] = -25675 * (i - 128);
      gv[i] = -53279 * (i - 128);
      bu[i] = 132201 * (i - 128);
    }
    for (int i = 0; i < 1024; ++i) clamp[i] = static_cast<uint8_t>(std::clamp(i - kClampBias, 0, 255));
  }
};

const YuvTables& Tables() {
  static const YuvTables tables;
  return tables;
}

}  // namespace

void ConvertYuyvToRgb24(const uint8_t* src, size_t srcStride, int width, int height, uint8_t* dst,
                        size_t dstStride, bool bottomUp) {
  const YuvTables& t = Tables();
  const uint8_t* clamp = t.clamp;
  for (int row = 0; row < height; ++row) {
    const uint8_t* s = src + static_cast<size_t>(row) * srcStride;
    uint8_t* d = dst + static_cast<size_t>(bottomUp ? height - 1 - row : row) * dstStride;
    for (int x = 0; x < width; x += 2, s += 4, d += 6) {
      const int u = s[1], v = s[3];
      const int r = t.rv[v], g = t.gu[u] + t.gv[v], b = t.bu[u];
      const int y0 = t.y[s[0]], y1 = t.y[s[2]];
      d[0] = clamp[(y0 + b) >> 16];
      d[1] = clamp[(y0 + g) >> 16];
      d[2] = clamp[(y0 + r) >> 16];
      d[3] = clamp[(y1 + b) >> 16];
      d[4] = clamp[(y1 + g) >> 16];
      d[5] = clamp[(y1 + r) >> 16];
    }
  }
}

bool ConvertToRgb24(const GUID& subtype, const uint8_t* src, size_t srcLength, int width, int height, uint8_t* dst,
                    size_t dstLength) {
  if (!src || !dst || width <= 0 || height == 0) return false;
  const int rows = std::abs(height);
  const size_t dstStride = Stride(24, width);
  if (dstLength < dstStride * rows) return false;
  if (subtype == MEDIASUBTYPE_YUY2) {
    const size_t srcStride = static_cast<size_t>(width) * 2;
    if (width % 2 != 0 || srcLength < srcStride * rows) return false;
    ConvertYuyvToRgb24(src, srcStride, width, rows, dst, dstStride, true);
    return true;
  }
  int bits;
  if (subtype == MEDIASUBTYPE_RGB32) bits = 32;
  else if (subtype == MEDIASUBTYPE_RGB555 || subtype == MEDIASUBTYPE_RGB565) bits = 16;
  else return false;
  const size_t srcStride = Stride(bits, width);
  if (srcLength < srcStride * rows) return false;
  const bool topDown = height < 0;
  for (int row = 0; row < rows; ++row) {
    // Row `row` of the destination in memory order (bottom-up).
    const uint8_t* s = src + static_cast<size_t>(topDown ? rows - 1 - row : row) * srcStride;
    uint8_t* d = dst + static_cast<size_t>(row) * dstStride;
    if (bits == 32) {
      for (int x = 0; x < width; ++x, s += 4, d += 3) {
        d[0] = s[0];
        d[1] = s[1];
        d[2] = s[2];
      }
    } else if (subtype == MEDIASUBTYPE_RGB555) {
      for (int x = 0; x < width; ++x, s += 2, d += 3) {
        const unsigned p = s[0] | (s[1] << 8);
        const unsigned b = p & 31, g = (p >> 5) & 31, r = (p >> 10) & 31;
        d[0] = static_cast<uint8_t>(b << 3 | b >> 2);
        d[1] = static_cast<uint8_t>(g << 3 | g >> 2);
        d[2] = static_cast<uint8_t>(r << 3 | r >> 2);
      }
    } else {
      for (int x = 0; x < width; ++x, s += 2, d += 3) {
        const unsigned p = s[0] | (s[1] << 8);
        const unsigned b = p & 31, g = (p >> 5) & 63, r = (p >> 11) & 31;
        d[0] = static_cast<uint8_t>(b << 3 | b >> 2);
        d[1] = static_cast<uint8_t>(g << 2 | g >> 4);
        d[2] = static_cast<uint8_t>(r << 3 | r >> 2);
      }
    }
  }
  return true;
}

}  // namespace tw::dshow
