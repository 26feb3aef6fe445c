// A bitmap in memory laid out like a Windows DIB: 16-bit (5-5-5), 24-bit or
// 32-bit pixels stored blue, green, red (and a fourth byte), each row padded to
// a multiple of 4 bytes with zeros, the bottom row first in memory. Grabbed
// camera frames, the video codec and the BMP builder share it. The bitmap owns
// its pixels; copying a bitmap copies them (reusing storage of the same size).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tw::win32 {

enum class PixelFormat : uint8_t { pf16bit = 16, pf24bit = 24, pf32bit = 32 };

inline int BitsPerPixel(PixelFormat format) { return static_cast<int>(format); }

// Bytes of one row: bits x width rounded up to whole 32-bit words.
size_t RowStride(PixelFormat format, int width);

class Bitmap {
 public:
  // An empty 24-bit bitmap (0 x 0).
  Bitmap() = default;
  // A bitmap of the given size with every byte 0. Throws std::invalid_argument
  // for a negative size and std::length_error when the pixels would exceed 2 GiB.
  Bitmap(int width, int height, PixelFormat format);

  int Width() const { return width_; }
  int Height() const { return height_; }
  PixelFormat Format() const { return format_; }
  size_t Stride() const { return stride_; }

  // Row y of the picture, 0 being the top row; Stride() bytes, padding included.
  uint8_t* ScanLine(int y) { return bits_.data() + static_cast<size_t>(height_ - 1 - y) * stride_; }
  const uint8_t* ScanLine(int y) const { return bits_.data() + static_cast<size_t>(height_ - 1 - y) * stride_; }

  // All rows as a DIB holds them: bottom row first, Height() x Stride() bytes.
  std::span<uint8_t> Bits() { return bits_; }
  std::span<const uint8_t> Bits() const { return bits_; }

  // Changes the size; does nothing when it is already width x height. After a
  // change every byte is 0. Same errors as the constructor.
  void SetSize(int width, int height);

  // Converts the pixels to `format` (nothing when it is already that format).
  // 16-bit pixels widen each 5-bit channel to 8 bits (v << 3 | v >> 2); to 16
  // bits the channels keep their top 5 bits; the fourth byte of 32-bit pixels
  // is dropped or written as 0.
  void SetPixelFormat(PixelFormat format);

 private:
  int width_ = 0;
  int height_ = 0;
  PixelFormat format_ = PixelFormat::pf24bit;
  size_t stride_ = 0;
  std::vector<uint8_t> bits_;
};

}  // namespace tw::win32
