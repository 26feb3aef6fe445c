// YUYV and RGB to 24-bit RGB.
#include "platform/dshow/convert.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/dshow/camera.h"

namespace tw::dshow {

namespace {

size_t Stride(int bits, int width) { return static_cast<size_t>(((bits * width + 31) / 32) * 4); }

// BT.601 limited range in 6-bit fixed point, the same arithmetic for the
// vector and the scalar path: c = (149 (y - 16)) >> 1, that is 1.164 x 64 x (y - 16),
// d = u - 128, e = v - 128,
// r = (c + 102 e + 32) >> 6, g = (c - 25 d - 52 e + 32) >> 6,
// b = (c + 129 d + 32) >> 6, each saturated to 0..255. Every sum fits 16 bits.
inline uint8_t Saturate(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

inline void YuyvPair(const uint8_t* s, uint8_t* d) {
  const int dd = s[1] - 128, e = s[3] - 128;
  const int r = 102 * e + 32, g = -25 * dd - 52 * e + 32, b = 129 * dd + 32;
  const int c0 = (149 * (s[0] - 16)) >> 1, c1 = (149 * (s[2] - 16)) >> 1;
  d[0] = Saturate((c0 + b) >> 6);
  d[1] = Saturate((c0 + g) >> 6);
  d[2] = Saturate((c0 + r) >> 6);
  d[3] = Saturate((c1 + b) >> 6);
  d[4] = Saturate((c1 + g) >> 6);
  d[5] = Saturate((c1 + r) >> 6);
}

#if defined(__SSE2__)
// Eight pixels (16 bytes of YUYV) into 24 bytes of BGR.
inline void YuyvEight(const uint8_t* s, uint8_t* d) {
  const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
  const __m128i y = _mm_and_si128(in, _mm_set1_epi16(0x00FF));
  const __m128i uv = _mm_sub_epi16(_mm_srli_epi16(in, 8), _mm_set1_epi16(128));
  // u in even lanes, v in odd lanes: spread each over its two pixels.
  const __m128i u = _mm_shufflehi_epi16(_mm_shufflelo_epi16(uv, _MM_SHUFFLE(2, 2, 0, 0)), _MM_SHUFFLE(2, 2, 0, 0));
  const __m128i v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(uv, _MM_SHUFFLE(3, 3, 1, 1)), _MM_SHUFFLE(3, 3, 1, 1));
  const __m128i c = _mm_add_epi16(
      _mm_srai_epi16(_mm_mullo_epi16(_mm_sub_epi16(y, _mm_set1_epi16(16)), _mm_set1_epi16(149)), 1),
      _mm_set1_epi16(32));
  const __m128i r = _mm_srai_epi16(_mm_add_epi16(c, _mm_mullo_epi16(v, _mm_set1_epi16(102))), 6);
  const __m128i g = _mm_srai_epi16(
      _mm_sub_epi16(c, _mm_add_epi16(_mm_mullo_epi16(u, _mm_set1_epi16(25)), _mm_mullo_epi16(v, _mm_set1_epi16(52)))),
      6);
  const __m128i b = _mm_srai_epi16(_mm_add_epi16(c, _mm_mullo_epi16(u, _mm_set1_epi16(129))), 6);
  // Saturate to bytes, interleave to B G R 0 per pixel, then drop every fourth byte.
  const __m128i b8 = _mm_packus_epi16(b, b), g8 = _mm_packus_epi16(g, g), r8 = _mm_packus_epi16(r, r);
  const __m128i bg = _mm_unpacklo_epi8(b8, g8);
  const __m128i r0 = _mm_unpacklo_epi8(r8, _mm_setzero_si128());
  alignas(16) uint32_t px[8];
  _mm_store_si128(reinterpret_cast<__m128i*>(px), _mm_unpacklo_epi16(bg, r0));
  _mm_store_si128(reinterpret_cast<__m128i*>(px + 4), _mm_unpackhi_epi16(bg, r0));
  for (int i = 0; i < 8; i += 4, d += 12) {
    const uint32_t w0 = px[i] | px[i + 1] << 24;
    const uint32_t w1 = px[i + 1] >> 8 | px[i + 2] << 16;
    const uint32_t w2 = px[i + 2] >> 16 | px[i + 3] << 8;
    std::memcpy(d, &w0, 4);
    std::memcpy(d + 4, &w1, 4);
    std::memcpy(d + 8, &w2, 4);
  }
}
#endif

}  // namespace

void ConvertYuyvToRgb24(const uint8_t* src, size_t srcStride, int width, int height, uint8_t* dst,
                        size_t dstStride, bool bottomUp) {
  for (int row = 0; row < height; ++row) {
    const uint8_t* s = src + static_cast<size_t>(row) * srcStride;
    uint8_t* d = dst + static_cast<size_t>(bottomUp ? height - 1 - row : row) * dstStride;
    int x = 0;
#if defined(__SSE2__)
    for (; x + 8 <= width; x += 8, s += 16, d += 24) YuyvEight(s, d);
#endif
    for (; x < width; x += 2, s += 4, d += 6) YuyvPair(s, d);
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
      int x = 0;
      // Four pixels (16 bytes) into three words: the fourth byte of each drops out.
      for (; x + 4 <= width; x += 4, s += 16, d += 12) {
        uint32_t p[4];
        std::memcpy(p, s, 16);
        const uint32_t w0 = (p[0] & 0xFFFFFF) | p[1] << 24;
        const uint32_t w1 = (p[1] >> 8 & 0xFFFF) | p[2] << 16;
        const uint32_t w2 = (p[2] >> 16 & 0xFF) | p[3] << 8;
        std::memcpy(d, &w0, 4);  // word by word: no wide re-read of narrow stores
        std::memcpy(d + 4, &w1, 4);
        std::memcpy(d + 8, &w2, 4);
      }
      for (; x < width; ++x, s += 4, d += 3) {
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
