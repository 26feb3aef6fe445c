// CVideco, the video decoder: reads the EncodedFrames of CVienco and paints
// the picture into a 32-bit bitmap. It keeps the last picture, because the
// blocks a delta frame leaves out keep their pixels; before the first frame
// the picture is red 0, green 135, blue 0. One decoder per remote sender; it
// owns every buffer it needs, reserved for the largest frame at construction
// but written only as far as the frames at hand reach, so that a new decoder
// costs little more than the frames it decodes.
//
//   CVideco decoder;
//   decoder.Decode(bitmap, payload);     // bitmap: 32-bit, W x H of the frame
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "platform/bitmap/bitmap.h"
#include "video/mCodecAvx2.h"
#include "video/mGlobal.h"

namespace tw {

class CVideco {
 public:
  // allowSimd false keeps to the portable transform (for comparing the two).
  explicit CVideco(bool allowSimd = true);
  ~CVideco();
  CVideco(const CVideco&) = delete;
  CVideco& operator=(const CVideco&) = delete;

  // 1..5; other values and the current one are ignored. Decode sets it from
  // each frame's header.
  void SetQuality(int quality);
  int Quality() const { return quality_; }

  // Decodes one frame and stores the whole picture into `bitmap`, which
  // becomes 32 bits per pixel and the frame's W x H. Reads no byte beyond
  // `frame`. Throws EVideoException "Too large image!" when the header
  // describes more than 1,048,576 pixels, and "Corrupt video frame!" when the
  // frame has no blocks, ends before its last field, or carries a last index
  // outside 0..31 or a DC outside -127..127. A refused frame changes nothing:
  // not the bitmap, nor the picture, size or quality of the decoder.
  void Decode(win32::Bitmap& bitmap, std::span<const uint8_t> frame);

  int Width() const { return width_; }
  int Height() const { return height_; }

  // The blocks of the last decoded frame's plane (0 Y, 1 Cb, 2 Cr) with the
  // coefficients read for them; meaningless after a refused frame. For tests
  // and tools; allocates.
  std::vector<CodedBlock> CodedBlocks(int plane) const;

 private:
  struct Buffers;
  class BitReader;

  void ParsePlane(int plane, int blocks, BitReader& in);
  void RebuildBlocks(int plane, int first, int end, int (&cursor)[kCodedCoefficients]);
  void InverseTransform(const int16_t* natural, const int32_t* dq, uint8_t* samples) const;
  void StoreBlockRow(win32::Bitmap& bitmap, int blockRow) const;
  void ClearPlanes(int blocks);

  std::unique_ptr<Buffers> buf_;
  int32_t rFromCr_[256], gFromCb_[256], gFromCr_[256], bFromCb_[256];
  int32_t dequant_[2][64];   // luma, chroma; natural order
  int32_t dequantT_[2][64];  // the same transposed (8k + i: natural 8i + k)
  std::array<uint8_t, 64> zigzagToNatural_;
  std::array<uint8_t, 64> zigzagToTransposed_;
  TransformConstants k_;
  bool simd_ = false;        // vector transforms
  bool simdColour_ = false;  // vector colour conversion: colourLinear_ matches the tables
  avx2::LinearTable colourLinear_[4];
  int quality_ = 0;
  int width_ = 0;
  int height_ = 0;
  int across_ = 0;
  int down_ = 0;
  int blocks_ = 0;
  size_t clearedBytes_ = 0;  // of each plane, the first set to 0 so far
};

}  // namespace tw
