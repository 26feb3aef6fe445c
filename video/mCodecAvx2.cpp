// Transforms: eight lanes hold one row (forward pass 1, inverse pass 2) or, after a
// transpose, one column of a block, so each butterfly runs on eight rows or
// columns at once with the same 32-bit arithmetic as the scalar code.
#include "video/mCodecAvx2.h"

#include <immintrin.h>

#define TW_AVX2 __attribute__((target("avx2")))

namespace tw::avx2 {

namespace {

using V = __m256i;

TW_AVX2 inline V Add(V a, V b) { return _mm256_add_epi32(a, b); }
TW_AVX2 inline V Sub(V a, V b) { return _mm256_sub_epi32(a, b); }
// (x x c + 128) >> 8, arithmetic.
TW_AVX2 inline V Mul(V x, V c) {
  return _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(x, c), _mm256_set1_epi32(128)), 8);
}

TW_AVX2 inline void Transpose(V (&r)[8]) {
  const V t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  const V t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  const V t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  const V t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  const V u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  const V u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  const V u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
  const V u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
  r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

// The forward butterfly on x[0..7] in place: x[k] becomes output k.
TW_AVX2 inline void Forward(V (&x)[8], V b, V c181, V c139, V c334) {
  const V t0 = Sub(Add(x[0], x[7]), b), t1 = Sub(Add(x[1], x[6]), b);
  const V t2 = Sub(Add(x[2], x[5]), b), t3 = Sub(Add(x[3], x[4]), b);
  const V t4 = Sub(x[3], x[4]), t5 = Sub(x[2], x[5]), t6 = Sub(x[1], x[6]), t7 = Sub(x[0], x[7]);
  const V e0 = Add(t0, t3), e1 = Add(t1, t2), e2 = Sub(t0, t3);
  const V z1 = Mul(Add(Sub(t1, t2), e2), c181);
  x[0] = Add(e0, e1);
  x[4] = Sub(e0, e1);
  x[2] = Add(e2, z1);
  x[6] = Sub(e2, z1);
  const V z3 = Mul(Add(t5, t6), c181);
  const V z = Mul(Add(Add(t4, t5), Add(t6, t7)), c181);
  const V d = Add(t6, t7);
  const V r = Mul(Add(z, d), c139);
  const V s = Mul(Sub(z, d), c334);
  const V u = Add(t7, z3), v = Sub(t7, z3);
  x[1] = Add(u, r);
  x[7] = Sub(u, r);
  x[3] = Sub(v, s);
  x[5] = Add(v, s);
}

// The inverse butterfly on a[0..7] in place: a[k] becomes output k.
TW_AVX2 inline void Inverse(V (&a)[8], V b, V c181, V c139, V c334) {
  const V e0 = Add(Add(a[0], a[4]), b), e1 = Add(Sub(a[0], a[4]), b);
  const V z = Mul(Sub(a[2], a[6]), c181);
  const V f = Add(z, Add(a[2], a[6]));
  const V E0 = Add(e0, f), E3 = Sub(e0, f), E1 = Add(e1, z), E2 = Sub(e1, z);
  const V p = Mul(Sub(a[1], a[7]), c139);
  const V q = Mul(Sub(a[5], a[3]), c334);
  const V s17 = Add(a[1], a[7]), s53 = Add(a[5], a[3]);
  const V r = Sub(s17, s53), t = Add(s17, s53);
  const V w = Mul(Add(p, q), c181);
  const V x = Mul(r, c181);
  const V y = Add(w, Sub(p, q));
  const V O0 = Add(y, t), O1 = Add(x, y), O2 = Add(w, x), O3 = w;
  a[0] = Add(E0, O0);
  a[7] = Sub(E0, O0);
  a[1] = Add(E1, O1);
  a[6] = Sub(E1, O1);
  a[2] = Add(E2, O2);
  a[5] = Sub(E2, O2);
  a[3] = Add(E3, O3);
  a[4] = Sub(E3, O3);
}

}  // namespace

bool Supported() { return __builtin_cpu_supports("avx2"); }

LinearTable LinearTable::Of(double k) {
  const double c = k * 65536;
  const int32_t a = RoundToInt(c);
  return {a, RoundToInt((c - a) * 65536)};
}

namespace {

// i x a + ((i x f + 32768) >> 16) in every lane.
TW_AVX2 inline V Table(V i, LinearTable t) {
  const V whole = _mm256_mullo_epi32(i, _mm256_set1_epi32(t.a));
  const V part = _mm256_mullo_epi32(i, _mm256_set1_epi32(t.f));
  return _mm256_add_epi32(whole, _mm256_srai_epi32(_mm256_add_epi32(part, _mm256_set1_epi32(32768)), 16));
}

TW_AVX2 inline V ChannelMask(int c) {
  // Pixels 0-3 come from the 16 bytes at p, pixels 4-7 from the 16 at p + 8.
  return _mm256_setr_epi8(static_cast<char>(c), -1, -1, -1, static_cast<char>(3 + c), -1, -1, -1,
                          static_cast<char>(6 + c), -1, -1, -1, static_cast<char>(9 + c), -1, -1, -1,
                          static_cast<char>(4 + c), -1, -1, -1, static_cast<char>(7 + c), -1, -1, -1,
                          static_cast<char>(10 + c), -1, -1, -1, static_cast<char>(13 + c), -1, -1, -1);
}

TW_AVX2 inline V LoadBytes(const uint8_t* p) {
  return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}

TW_AVX2 inline V Limit(V x) {
  return _mm256_min_epi32(_mm256_max_epi32(_mm256_srai_epi32(x, 16), _mm256_setzero_si256()), _mm256_set1_epi32(255));
}

}  // namespace

TW_AVX2 void BgrRowToPlanes(const uint8_t* bgr, int blocksAcross, uint8_t* y, uint8_t* cb, uint8_t* cr,
                            const LinearTable (&t)[9]) {
  const V mb = ChannelMask(0), mg = ChannelMask(1), mr = ChannelMask(2);
  const V half = _mm256_set1_epi32(32768), offset = _mm256_set1_epi32(128);
  const V order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (int bx = 0; bx < blocksAcross; ++bx, bgr += 24) {  // never reads beyond the 24 bytes of 8 pixels
    const V v = _mm256_set_m128i(_mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr + 8)),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(bgr)));
    const V b = _mm256_shuffle_epi8(v, mb), g = _mm256_shuffle_epi8(v, mg), r = _mm256_shuffle_epi8(v, mr);
    const V ys = _mm256_srai_epi32(Add(Add(Table(r, t[0]), Table(g, t[1])), Add(Table(b, t[2]), half)), 16);
    const V us =
        Add(_mm256_srai_epi32(Add(Add(Table(r, t[3]), Table(g, t[4])), Add(Table(b, t[5]), half)), 16), offset);
    const V vs =
        Add(_mm256_srai_epi32(Add(Add(Table(r, t[6]), Table(g, t[7])), Add(Table(b, t[8]), half)), 16), offset);
    // Saturating packs limit to 0..255; the permute orders the dwords Y0-3 Y4-7 Cb0-3 Cb4-7 Cr0-3 Cr4-7.
    const V bytes = _mm256_packus_epi16(_mm256_packs_epi32(ys, us), _mm256_packs_epi32(vs, vs));
    const V sorted = _mm256_permutevar8x32_epi32(bytes, order);
    const __m128i low = _mm256_castsi256_si128(sorted);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(y + 64 * bx), low);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cb + 64 * bx), _mm_srli_si128(low, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(cr + 64 * bx), _mm256_extracti128_si256(sorted, 1));
  }
}

TW_AVX2 void PlanesToBgrxRow(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int blocksAcross, uint8_t* bgrx,
                             const LinearTable (&t)[4]) {
  const V centre = _mm256_set1_epi32(128), half = _mm256_set1_epi32(32768);
  for (int bx = 0; bx < blocksAcross; ++bx, bgrx += 32) {
    const V base = Add(_mm256_slli_epi32(LoadBytes(y + 64 * bx), 16), half);
    const V u = Sub(LoadBytes(cb + 64 * bx), centre), v = Sub(LoadBytes(cr + 64 * bx), centre);
    const V r = Limit(Add(base, Table(v, t[0])));
    const V g = Limit(Add(base, Add(Table(u, t[1]), Table(v, t[2]))));
    const V b = Limit(Add(base, Table(u, t[3])));
    const V px = _mm256_or_si256(b, _mm256_or_si256(_mm256_slli_epi32(g, 8), _mm256_slli_epi32(r, 16)));
    _mm256_storeu_si256(reinterpret_cast<V*>(bgrx), px);
  }
}

void BuildZigzagMasks(const uint8_t* source, ZigzagMasks& maskOf) {
  for (int row = 0; row < 8; ++row)
    for (int m = 0; m < 256; ++m) {
      uint32_t mask = 0;
      for (int z = 0; z < kCodedCoefficients; ++z)
        if (source[z] / 8 == row && (m >> (source[z] % 8)) & 1) mask |= 1u << z;
      maskOf[row][m] = mask;
    }
}

namespace {

// The forward transform and quantisation of one block: q[k], lane i holds the
// limited coefficient at transposed position 8k + i.
TW_AVX2 inline void TransformQuantise(const uint8_t* samples, const int32_t* reciprocalT, const TransformConstants& k,
                                      V (&q)[8]) {
  const V c181 = _mm256_set1_epi32(k.c181), c139 = _mm256_set1_epi32(k.c139), c334 = _mm256_set1_epi32(k.c334);
  V x[8];
  for (int r = 0; r < 8; ++r)
    x[r] = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(samples + 8 * r)));
  Forward(x, _mm256_set1_epi32(256), c181, c139, c334);  // columns: x[k] = row k of the result
  Transpose(x);                                          // x[k], lane i = element k of row i
  Forward(x, _mm256_setzero_si256(), c181, c139, c334);  // x[k], lane i = natural 8i + k
  const V half = _mm256_set1_epi32(32768), hi = _mm256_set1_epi32(127), lo = _mm256_set1_epi32(-127);
  for (int r = 0; r < 8; ++r) {
    const V recip = _mm256_loadu_si256(reinterpret_cast<const V*>(reciprocalT + 8 * r));
    const V v = _mm256_srai_epi32(_mm256_add_epi32(_mm256_mullo_epi32(recip, x[r]), half), 16);
    q[r] = _mm256_max_epi32(_mm256_min_epi32(v, hi), lo);
  }
}

}  // namespace

TW_AVX2 uint32_t ForwardQuantise(const uint8_t* samples, const int32_t* reciprocalT, const uint8_t* source,
                                 int16_t* zigzag, const ZigzagMasks& maskOf, const TransformConstants& k) {
  V q[8];
  TransformQuantise(samples, reciprocalT, k, q);
  alignas(32) int32_t quantised[64];
  const V zero = _mm256_setzero_si256();
  uint32_t nonZero = 0;
  for (int r = 0; r < 8; ++r) {
    _mm256_store_si256(reinterpret_cast<V*>(quantised + 8 * r), q[r]);
    // The mask comes from the registers: reading the zigzag stores back as a
    // vector would wait on store forwarding.
    const int zeros = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(q[r], zero)));
    nonZero |= maskOf[r][~zeros & 0xFF];
  }
  for (int z = 0; z < kCodedCoefficients; ++z) zigzag[z] = static_cast<int16_t>(quantised[source[z]]);
  return nonZero;
}

bool Avx512Supported() {
  return Supported() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

void BuildZigzagWords(const uint8_t* source, ZigzagWords& words) {
  for (int z = 0; z < kCodedCoefficients; ++z) {
    const int r = source[z] / 8, i = source[z] % 8;  // register r, lane i
    words[z] = static_cast<uint16_t>(16 * (r / 2) + 8 * (i / 4) + 4 * (r % 2) + i % 4);
  }
}

#define TW_AVX512 __attribute__((target("avx2,avx512f,avx512bw")))

// GCC 12's own intrinsic headers pass an undefined vector as the unused
// merge source of _mm512_inserti64x4, which its warning then reports (as
// "maybe uninitialized" when the code is instrumented for ThreadSanitizer).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)  // clang has no such warning and rejects the name
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

TW_AVX512 uint32_t ForwardQuantiseAvx512(const uint8_t* samples, const int32_t* reciprocalT, const ZigzagWords& words,
                                         int16_t* zigzag, const TransformConstants& k) {
  V q[8];
  TransformQuantise(samples, reciprocalT, k, q);
  // Pairs of rows packed to 16 bits (lanes keep their halves apart), then
  // one two-source permutation picks the 32 coefficients in zigzag order.
  const V w0 = _mm256_packs_epi32(q[0], q[1]), w1 = _mm256_packs_epi32(q[2], q[3]);
  const V w2 = _mm256_packs_epi32(q[4], q[5]), w3 = _mm256_packs_epi32(q[6], q[7]);
  const __m512i rows03 = _mm512_inserti64x4(_mm512_castsi256_si512(w0), w1, 1);
  const __m512i rows47 = _mm512_inserti64x4(_mm512_castsi256_si512(w2), w3, 1);
  const __m512i index = _mm512_loadu_si512(words.data());
  const __m512i z = _mm512_permutex2var_epi16(rows03, index, rows47);
  _mm512_storeu_si512(zigzag, z);
  return _mm512_test_epi16_mask(z, z);
}

#pragma GCC diagnostic pop

#undef TW_AVX512

TW_AVX2 void DequantiseInverse(const int16_t* coefficientsT, const int32_t* dequantT, uint8_t* samples,
                               int32_t rowLimit, const TransformConstants& k) {
  const V c181 = _mm256_set1_epi32(k.c181), c139 = _mm256_set1_epi32(k.c139), c334 = _mm256_set1_epi32(k.c334);
  V a[8];
  for (int c = 0; c < 8; ++c) {  // a[c], lane r = row r, column c
    const V coef = _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficientsT + 8 * c)));
    a[c] = _mm256_mullo_epi32(coef, _mm256_loadu_si256(reinterpret_cast<const V*>(dequantT + 8 * c)));
  }
  Inverse(a, _mm256_setzero_si256(), c181, c139, c334);  // rows: a[k], lane r = row r, output k
  const V hi = _mm256_set1_epi32(rowLimit), lo = _mm256_set1_epi32(-rowLimit);
  for (V& v : a) v = _mm256_max_epi32(_mm256_min_epi32(v, hi), lo);
  Transpose(a);  // a[k], lane c = row k, column c
  Inverse(a, _mm256_set1_epi32(32896), c181, c139, c334);
  const V round = _mm256_set1_epi32(128);
  for (int r = 0; r < 8; r += 2) {
    const V s0 = _mm256_srai_epi32(_mm256_add_epi32(a[r], round), 8);
    const V s1 = _mm256_srai_epi32(_mm256_add_epi32(a[r + 1], round), 8);
    // packs: lanes 0-3 of s0, of s1, 4-7 of s0, of s1; saturation then limits to 0..255.
    const V words = _mm256_permute4x64_epi64(_mm256_packs_epi32(s0, s1), 0xD8);
    const __m128i bytes = _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(samples + 8 * r), bytes);
  }
}

}  // namespace tw::avx2
