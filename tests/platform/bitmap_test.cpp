// The DIB-style bitmap: strides and zero padding, row order, resizing and
// pixel-format conversion.
#include "platform/bitmap/bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace tw::win32 {
namespace {

TEST(Bitmap, RowsAreAlignedTo4BytesAndStartZeroed) {
  struct Case {
    PixelFormat format;
    int width;
    size_t stride;
  };
  for (const Case c :
       {Case{PixelFormat::pf16bit, 3, 8}, Case{PixelFormat::pf24bit, 5, 16}, Case{PixelFormat::pf24bit, 161, 484},
        Case{PixelFormat::pf24bit, 320, 960}, Case{PixelFormat::pf32bit, 7, 28}}) {
    const Bitmap bmp(c.width, 3, c.format);
    EXPECT_EQ(bmp.Stride(), c.stride) << c.width;
    EXPECT_EQ(RowStride(c.format, c.width), c.stride);
    EXPECT_EQ(bmp.Bits().size(), 3 * c.stride);
    EXPECT_TRUE(std::ranges::all_of(bmp.Bits(), [](uint8_t b) { return b == 0; }));
  }
}

TEST(Bitmap, ScanLineZeroIsTheTopRowAndTheLastInMemory) {
  Bitmap bmp(2, 3, PixelFormat::pf24bit);
  bmp.ScanLine(0)[0] = 11;
  bmp.ScanLine(2)[0] = 33;
  EXPECT_EQ(bmp.Bits()[2 * bmp.Stride()], 11);
  EXPECT_EQ(bmp.Bits()[0], 33);
}

TEST(Bitmap, SetSizeClearsOnlyWhenTheSizeChanges) {
  Bitmap bmp(4, 4, PixelFormat::pf32bit);
  bmp.ScanLine(1)[1] = 7;
  bmp.SetSize(4, 4);
  EXPECT_EQ(bmp.ScanLine(1)[1], 7);
  bmp.SetSize(6, 2);
  EXPECT_EQ(bmp.Width(), 6);
  EXPECT_EQ(bmp.Bits().size(), 2u * 24);
  EXPECT_TRUE(std::ranges::all_of(bmp.Bits(), [](uint8_t b) { return b == 0; }));
  EXPECT_THROW(bmp.SetSize(-1, 2), std::invalid_argument);
  EXPECT_THROW(Bitmap(1 << 16, 1 << 16, PixelFormat::pf32bit), std::length_error);
}

TEST(Bitmap, ConvertsBetweenFormatsKeepingThePixels) {
  Bitmap bmp(3, 2, PixelFormat::pf24bit);
  const uint8_t pixel[3] = {0xF8, 0x13, 0x80};  // blue, green, red
  std::copy_n(pixel, 3, bmp.ScanLine(1) + 3);
  bmp.SetPixelFormat(PixelFormat::pf32bit);
  EXPECT_EQ(bmp.Stride(), 12u);
  const uint8_t* p = bmp.ScanLine(1) + 4;
  EXPECT_EQ((std::array<int, 4>{p[0], p[1], p[2], p[3]}), (std::array<int, 4>{0xF8, 0x13, 0x80, 0}));
  bmp.SetPixelFormat(PixelFormat::pf16bit);
  EXPECT_EQ(bmp.Stride(), 8u);
  const unsigned v = bmp.ScanLine(1)[2] | (bmp.ScanLine(1)[3] << 8);
  EXPECT_EQ(v, (0x1Fu) | (0x02u << 5) | (0x10u << 10));
  bmp.SetPixelFormat(PixelFormat::pf24bit);  // 5 bits widen: v << 3 | v >> 2
  p = bmp.ScanLine(1) + 3;
  EXPECT_EQ((std::array<int, 3>{p[0], p[1], p[2]}), (std::array<int, 3>{0xFF, 0x10, 0x84}));
  EXPECT_EQ(bmp.ScanLine(0)[0], 0);
  EXPECT_EQ(bmp.ScanLine(0)[9], 0) << "padding stays 0";
}

}  // namespace
}  // namespace tw::win32
