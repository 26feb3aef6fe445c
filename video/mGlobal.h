// What the video encoder (mVienco) and decoder (mVideco) share: the frame
// limits, the quantisation tables with their pairing by quality, the zigzag
// scan, the transform scale factors and constants, and Descale.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace tw {

// The error both codecs raise for a frame they refuse ("Too large image!", ...).
class EVideoException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr int kMaxFramePixels = 1'048'576;             // width x height after truncation
inline constexpr int kMaxFrameBlocks = kMaxFramePixels / 64;  // 16,384
inline constexpr int kMaxBlocksPerSide = 255;                 // the 8-bit header fields
inline constexpr int kCodedCoefficients = 32;                 // zigzag 0..31 travel, 32..63 are 0
inline constexpr int kMinQuality = 1;
inline constexpr int kMaxQuality = 5;

inline constexpr char kTooLargeImage[] = "Too large image!";

// Bytes between the starts of the Y, Cb and Cr planes: a little more than a
// plane, so that samples at the same position do not share a cache set.
inline constexpr size_t kPlaneStride = kMaxFramePixels + 192;

// (x + 128) >> 8 with an arithmetic shift: the fixed-point multiply of the transforms.
inline int32_t Descale(int32_t x) { return (x + 128) >> 8; }

// Six quantisation tables, natural order (row = vertical frequency), table 0
// the coarsest. Quality q uses table q for luma and table q - 1 for chroma.
extern const int16_t kQuantTables[6][64];

// Natural position -> zigzag index (the JPEG scan) and the inverse.
extern const std::array<uint8_t, 64> kNaturalToZigzag;
std::array<uint8_t, 64> ZigzagToNatural();

// aan[r x 8 + c] = 1 / (8 s(r) s(c)), s(0) = 1, s(k) = sqrt(2) cos(k pi / 16).
double AanScale(int natural);

// Round to nearest, ties to even.
int32_t RoundToInt(double v);

// The transform's fixed-point constants: 256 cos(pi/4), 128 / cos(pi/8),
// 128 / cos(3 pi/8), rounded (181, 139, 334).
struct TransformConstants {
  int32_t c181, c139, c334;
  static TransformConstants Compute();
};

// Number of significant bits of v (0 for 0, 8 for 128..255).
inline int BitLength(unsigned v) { return v == 0 ? 0 : 32 - __builtin_clz(v); }

}  // namespace tw

namespace tw {

// One coded block of a plane as the bitstream carries it: its raster index,
// its last index and its coefficients at zigzag indexes 0..31 (0 beyond last).
struct CodedBlock {
  int block = 0;
  int last = 0;
  std::array<int16_t, kCodedCoefficients> zigzag{};
  bool operator==(const CodedBlock&) const = default;
};

// The coefficient streams of one plane: stream s holds coefficient s of every
// coded block whose last index is at least s, in raster order.
struct PlaneStreams {
  // The padding puts the streams' starts into different cache sets.
  // Every value lies within -127..127: one byte each halves what a frame
  // touches.
  int8_t values[kCodedCoefficients][kMaxFrameBlocks + 24];
  int32_t counts[kCodedCoefficients];
  uint8_t last[kMaxFrameBlocks];
};

// Rebuilds the per-block view of `streams` for the blocks whose skip flag is 0.
// For tests and tools; allocates.
std::vector<CodedBlock> CollectCodedBlocks(const PlaneStreams& streams, const uint8_t* skip, int blocks);

}  // namespace tw
