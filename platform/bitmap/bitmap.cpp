// Bitmap storage and pixel-format conversion. Conversion goes through a
// (blue, green, red) triple per pixel; padding bytes stay 0.
#include "platform/bitmap/bitmap.h"

#include <cstring>
#include <limits>
#include <stdexcept>

namespace tw::win32 {

namespace {

constexpr size_t kMaxBytes = static_cast<size_t>(std::numeric_limits<int32_t>::max());

size_t CheckedSize(PixelFormat format, int width, int height, size_t& stride) {
  if (width < 0 || height < 0) throw std::invalid_argument("Negative bitmap size");
  stride = RowStride(format, width);
  if (height != 0 && stride > kMaxBytes / static_cast<size_t>(height)) throw std::length_error("Bitmap too large");
  return stride * static_cast<size_t>(height);
}

struct Bgr {
  uint8_t b, g, r;
};

Bgr ReadPixel(const uint8_t* row, int x, PixelFormat format) {
  switch (format) {
    case PixelFormat::pf16bit: {
      const unsigned v = row[2 * x] | (row[2 * x + 1] << 8);
      const auto widen = [](unsigned c) { return static_cast<uint8_t>((c << 3) | (c >> 2)); };
      return {widen(v & 31), widen((v >> 5) & 31), widen((v >> 10) & 31)};
    }
    case PixelFormat::pf24bit:
      return {row[3 * x], row[3 * x + 1], row[3 * x + 2]};
    case PixelFormat::pf32bit:
      return {row[4 * x], row[4 * x + 1], row[4 * x + 2]};
  }
  return {0, 0, 0};
}

void WritePixel(uint8_t* row, int x, PixelFormat format, Bgr p) {
  switch (format) {
    case PixelFormat::pf16bit: {
      const unsigned v = (p.b >> 3) | ((p.g >> 3) << 5) | ((p.r >> 3) << 10);
      row[2 * x] = static_cast<uint8_t>(v);
      row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
      return;
    }
    case PixelFormat::pf24bit:
      row[3 * x] = p.b;
      row[3 * x + 1] = p.g;
      row[3 * x + 2] = p.r;
      return;
    case PixelFormat::pf32bit:
      row[4 * x] = p.b;
      row[4 * x + 1] = p.g;
      row[4 * x + 2] = p.r;
      row[4 * x + 3] = 0;
      return;
  }
}

}  // namespace

size_t RowStride(PixelFormat format, int width) {
  return ((static_cast<size_t>(BitsPerPixel(format)) * static_cast<size_t>(width) + 31) / 32) * 4;
}

Bitmap::Bitmap(int width, int height, PixelFormat format) : format_(format) { SetSize(width, height); }

void Bitmap::SetSize(int width, int height) {
  if (width == width_ && height == height_ && stride_ == RowStride(format_, width)) return;
  size_t stride = 0;
  const size_t bytes = CheckedSize(format_, width, height, stride);
  bits_.assign(bytes, 0);
  width_ = width;
  height_ = height;
  stride_ = stride;
}

void Bitmap::SetPixelFormat(PixelFormat format) {
  if (format == format_) return;
  size_t stride = 0;
  std::vector<uint8_t> bits(CheckedSize(format, width_, height_, stride), 0);
  for (int y = 0; y < height_; ++y) {
    const uint8_t* from = bits_.data() + static_cast<size_t>(y) * stride_;
    uint8_t* to = bits.data() + static_cast<size_t>(y) * stride;
    for (int x = 0; x < width_; ++x) WritePixel(to, x, format, ReadPixel(from, x, format_));
  }
  bits_ = std::move(bits);
  format_ = format;
  stride_ = stride;
}

}  // namespace tw::win32
