// The file header (14 bytes) and information header (40 bytes), then the
// bitmap's rows exactly as it stores them: a DIB keeps the bottom row first,
// which is the order of a .bmp file with a positive height.
#include "video/mCBitmap.h"

#include <cstring>
#include <stdexcept>

namespace tw {

namespace {

void Put16(char* at, uint32_t v) {
  at[0] = static_cast<char>(v);
  at[1] = static_cast<char>(v >> 8);
}

void Put32(char* at, uint32_t v) {
  Put16(at, v);
  Put16(at + 2, v >> 16);
}

void BitmapToBmp(const win32::Bitmap& bitmap, win32::PixelFormat format, std::string& image) {
  if (bitmap.Format() != format)
    throw std::invalid_argument(format == win32::PixelFormat::pf24bit ? "Not a 24-bit bitmap" : "Not a 32-bit bitmap");
  const auto rows = bitmap.Bits();
  const auto imageSize = static_cast<uint32_t>(rows.size());
  image.resize(kBmpHeaderBytes + rows.size());
  char* h = image.data();
  std::memset(h, 0, kBmpHeaderBytes);
  h[0] = 'B';
  h[1] = 'M';
  Put32(h + 2, static_cast<uint32_t>(kBmpHeaderBytes) + imageSize);
  Put32(h + 10, static_cast<uint32_t>(kBmpHeaderBytes));
  Put32(h + 14, 40);
  Put32(h + 18, static_cast<uint32_t>(bitmap.Width()));
  Put32(h + 22, static_cast<uint32_t>(bitmap.Height()));
  Put16(h + 26, 1);
  Put16(h + 28, static_cast<uint32_t>(win32::BitsPerPixel(format)));
  Put32(h + 34, imageSize);
  if (!rows.empty()) std::memcpy(h + kBmpHeaderBytes, rows.data(), rows.size());
}

}  // namespace

void BitmapToBmp24(const win32::Bitmap& bitmap, std::string& image) {
  BitmapToBmp(bitmap, win32::PixelFormat::pf24bit, image);
}

void BitmapToBmp32(const win32::Bitmap& bitmap, std::string& image) {
  BitmapToBmp(bitmap, win32::PixelFormat::pf32bit, image);
}

}  // namespace tw
