// CVienco, the video encoder: turns one camera frame (a 16-, 24- or 32-bit
// bitmap) into an EncodedFrame, the bitstream of 8x8 transformed, quantised
// blocks that CVideco reads. Between key frames it leaves out blocks whose
// lowest frequencies did not change. The encoder owns every buffer it needs,
// reserved for the largest frame at construction and written only as far as
// the frames at hand reach (a new encoder costs little); Encode allocates
// nothing.
//
//   CVienco encoder;                      // quality 3
//   encoder.SetQuality(5);                // 1 (coarsest) .. 5 (finest)
//   auto frame = encoder.Encode(bitmap, /*allowSkip=*/false);   // a key frame
//   std::string payload(frame.begin(), frame.end());            // copy it
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/bitmap/bitmap.h"
#include "video/mCodecAvx2.h"
#include "video/mGlobal.h"

namespace tw {

class CVienco {
 public:
  // allowSimd false keeps to the portable transform, allowAvx512 false keeps
  // the vector code to AVX2 (for comparing the paths).
  explicit CVienco(bool allowSimd = true, bool allowAvx512 = true);
  ~CVienco();
  CVienco(const CVienco&) = delete;
  CVienco& operator=(const CVienco&) = delete;

  // 1..5; other values and the current one are ignored. Takes effect with the
  // next frame.
  void SetQuality(int quality);
  int Quality() const { return quality_; }

  // Codes the bitmap's top-left W x H pixels, W and H its width and height
  // truncated to multiples of 8. A bitmap of another format is converted to
  // 24 bits in place first. With allowSkip false every block is coded (a key
  // frame); the first frame of a new size always is. Returns the frame in the
  // encoder's own buffer, valid until the next call.
  // Throws EVideoException "Too large image!" when W x H exceeds 1,048,576
  // pixels or W or H exceeds 2,040, and "Too small image!" when W or H is
  // below 8; the encoder then keeps its previous size and state.
  std::span<const uint8_t> Encode(win32::Bitmap& bitmap, bool allowSkip);

  // Size of the frames being coded (0 x 0 before the first).
  int Width() const { return width_; }
  int Height() const { return height_; }

  // The blocks of the last frame's plane (0 Y, 1 Cb, 2 Cr) that it carries,
  // with their quantised coefficients. For tests and tools; allocates.
  std::vector<CodedBlock> CodedBlocks(int plane) const;

 private:
  struct Buffers;
  class BitWriter;
  class GroupCoder;

  void SetSize(int width, int height);
  void ConvertBlockRow(const win32::Bitmap& bitmap, int blockRow);
  bool EncodeBlock(int plane, int block, const uint8_t* samples, bool allowSkip);
  void WritePlaneStreams(int plane, GroupCoder& groups, BitWriter& out) const;

  std::unique_ptr<Buffers> buf_;
  int32_t colour_[9][256];     // Y from R, G, B; Cb from R, G, B; Cr from R, G, B
  int32_t reciprocal_[2][64];  // luma, chroma; transposed (8k + i: natural 8i + k)
  uint8_t sourceOf_[32];       // zigzag index -> position in the transform's output
  avx2::ZigzagMasks zigzagMasks_;  // nonzero positions of a row -> zigzag indexes
  avx2::ZigzagWords zigzagWords_;  // the AVX-512 permutation to zigzag order
  TransformConstants k_;
  bool simd_ = false;        // vector transforms
  bool avx512_ = false;      // the AVX-512 zigzag permutation
  bool simdColour_ = false;  // vector colour conversion: colourLinear_ matches colour_
  avx2::LinearTable colourLinear_[9];
  int quality_ = 0;
  int skipShift_ = 1;  // the skip test's step is 1 << skipShift_
  int width_ = 0;
  int height_ = 0;
  int across_ = 0;
  int down_ = 0;
  int blocks_ = 0;
};

}  // namespace tw
