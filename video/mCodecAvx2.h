// AVX2 forms of the codec's per-block transforms and colour conversions,
// chosen at run time when the processor has AVX2. They compute exactly what the scalar code of mVienco
// and mVideco computes (the frozen-output test holds both to the same bytes).
// Blocks are held transposed: entry 8k + i is natural position 8i + k.
#pragma once

#include <array>
#include <cstdint>

#include "video/mGlobal.h"

namespace tw::avx2 {

bool Supported();

// For ForwardQuantise: maskOf[k][m] is the mask of the zigzag indexes 0..31
// whose transposed positions 8k + i have bit i of m set.
using ZigzagMasks = uint32_t[8][256];
void BuildZigzagMasks(const uint8_t* source, ZigzagMasks& maskOf);

// Forward transform of 64 samples (row by row), quantisation by reciprocals
// held transposed and limiting to -127..127; zigzag[z] := the result at
// transposed position source[z] for z = 0..31. Returns the mask of the
// zigzag indexes whose coefficient is not 0 (maskOf: BuildZigzagMasks of
// the same source).
uint32_t ForwardQuantise(const uint8_t* samples, const int32_t* reciprocalT, const uint8_t* source, int16_t* zigzag,
                         const ZigzagMasks& maskOf, const TransformConstants& k);

// True when the processor also has AVX-512 F and BW (ForwardQuantiseAvx512).
bool Avx512Supported();

// For ForwardQuantiseAvx512: the word each zigzag index takes from the
// block's rows packed two by two to 16 bits.
using ZigzagWords = std::array<uint16_t, 32>;
void BuildZigzagWords(const uint8_t* source, ZigzagWords& words);

// ForwardQuantise with one permutation in place of the gather and the masks:
// the same zigzag values and the same mask.
uint32_t ForwardQuantiseAvx512(const uint8_t* samples, const int32_t* reciprocalT, const ZigzagWords& words,
                               int16_t* zigzag, const TransformConstants& k);

// Dequantisation and inverse transform of a transposed coefficient block into
// 64 samples (row by row), with the row results limited to +-rowLimit.
void DequantiseInverse(const int16_t* coefficientsT, const int32_t* dequantT, uint8_t* samples, int32_t rowLimit,
                       const TransformConstants& k);

// A colour table T(i) = round(i x k x 65536) in the form the vector code
// computes: i x a + ((i x f + 32768) >> 16). Of(k) gives a and f; the codecs
// use the vector conversion only when this reproduces every table entry.
struct LinearTable {
  int32_t a = 0, f = 0;
  int32_t operator()(int32_t i) const { return i * a + ((i * f + 32768) >> 16); }
  static LinearTable Of(double k);
};

// One pixel row of 8 x blocksAcross 24-bit pixels to Y, Cb and Cr samples;
// the samples of block column bx go to y/cb/cr + 64 bx + 0..7. Tables in the
// encoder's order: Y from R, G, B; Cb from R, G, B; Cr from R, G, B.
void BgrRowToPlanes(const uint8_t* bgr, int blocksAcross, uint8_t* y, uint8_t* cb, uint8_t* cr,
                    const LinearTable (&t)[9]);

// The reverse for the decoder: samples at y/cb/cr + 64 bx + 0..7 to one row of
// 32-bit pixels (blue, green, red, 0). Tables: R from Cr, G from Cb, G from
// Cr, B from Cb, indexed by the sample minus 128.
void PlanesToBgrxRow(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, int blocksAcross, uint8_t* bgrx,
                     const LinearTable (&t)[4]);

}  // namespace tw::avx2
