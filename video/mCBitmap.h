// BmpImage: a bitmap as the complete bytes of a bottom-up Windows .bmp file
// (54-byte header, then the rows bottom first, each padded to 4 bytes), the
// form in which the client hands local (24-bit) and remote (32-bit) frames to
// its container. The caller owns the string; it is overwritten and reuses its
// capacity, so a string kept across frames of one size allocates once.
#pragma once

#include <string>

#include "platform/bitmap/bitmap.h"

namespace tw {

inline constexpr size_t kBmpHeaderBytes = 54;

// `image` := the 24-bit BmpImage of `bitmap`. Throws std::invalid_argument
// when the bitmap is not 24-bit.
void BitmapToBmp24(const win32::Bitmap& bitmap, std::string& image);

// `image` := the 32-bit BmpImage of `bitmap`. Throws std::invalid_argument
// when the bitmap is not 32-bit.
void BitmapToBmp32(const win32::Bitmap& bitmap, std::string& image);

}  // namespace tw
