// BmpImage: header fields, sizes, row order, refusal of the wrong format, and
// Qt's image reader as an independent reader of the files.
#include "video/mCBitmap.h"

#include <gtest/gtest.h>

#include <cstring>

#ifdef TW_HAVE_QT_GUI
#include <QByteArray>
#include <QImage>
#endif

namespace tw {
namespace {

using win32::Bitmap;
using win32::PixelFormat;

uint32_t U32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}
uint32_t U16(const std::string& s, size_t at) {
  return static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8);
}

// Pixel colour from its position: blue x, green y, red x + y.
Bitmap Pattern(int w, int h, PixelFormat format) {
  Bitmap bmp(w, h, format);
  const int bytes = win32::BitsPerPixel(format) / 8;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = bmp.ScanLine(y) + bytes * x;
      p[0] = static_cast<uint8_t>(x);
      p[1] = static_cast<uint8_t>(y);
      p[2] = static_cast<uint8_t>(x + y);
    }
  return bmp;
}

TEST(BmpImage, HeaderAndSizesFollowTheFormat) {
  struct Case {
    int w, h;
    PixelFormat format;
    uint32_t stride, size;
  };
  const Case cases[] = {{320, 240, PixelFormat::pf24bit, 960, 230'454},
                        {320, 240, PixelFormat::pf32bit, 1280, 307'254},
                        {5, 3, PixelFormat::pf24bit, 16, 54 + 48},
                        {5, 0, PixelFormat::pf24bit, 16, 54},
                        {7, 2, PixelFormat::pf32bit, 28, 54 + 56}};
  for (const Case& c : cases) {
    std::string image = "stale";
    const Bitmap bmp(c.w, c.h, c.format);
    if (c.format == PixelFormat::pf24bit)
      BitmapToBmp24(bmp, image);
    else
      BitmapToBmp32(bmp, image);
    ASSERT_EQ(image.size(), c.size) << c.w << "x" << c.h;
    EXPECT_EQ(image.substr(0, 2), "BM");
    EXPECT_EQ(U32(image, 2), c.size);
    EXPECT_EQ(U32(image, 6), 0u);
    EXPECT_EQ(U32(image, 10), 54u);
    EXPECT_EQ(U32(image, 14), 40u);
    EXPECT_EQ(U32(image, 18), static_cast<uint32_t>(c.w));
    EXPECT_EQ(U32(image, 22), static_cast<uint32_t>(c.h));
    EXPECT_EQ(U16(image, 26), 1u);
    EXPECT_EQ(U16(image, 28), static_cast<uint32_t>(win32::BitsPerPixel(c.format)));
    EXPECT_EQ(U32(image, 30), 0u);
    EXPECT_EQ(U32(image, 34), c.size - 54);
    for (size_t i = 38; i < 54; ++i) EXPECT_EQ(image[i], 0) << i;
  }
}

TEST(BmpImage, RowsRunBottomUpWithTheirPadding) {
  const Bitmap bmp = Pattern(5, 3, PixelFormat::pf24bit);
  std::string image;
  BitmapToBmp24(bmp, image);
  for (int fileRow = 0; fileRow < 3; ++fileRow) {
    const char* row = image.data() + 54 + 16 * fileRow;
    EXPECT_EQ(std::memcmp(row, bmp.ScanLine(2 - fileRow), 16), 0) << fileRow;
    EXPECT_EQ(row[15], 0) << "padding";
  }
}

TEST(BmpImage, RefusesABitmapOfTheOtherFormat) {
  std::string image;
  EXPECT_THROW(BitmapToBmp32(Bitmap(4, 4, PixelFormat::pf24bit), image), std::invalid_argument);
  EXPECT_THROW(BitmapToBmp32(Bitmap(4, 4, PixelFormat::pf16bit), image), std::invalid_argument);
  EXPECT_THROW(BitmapToBmp24(Bitmap(4, 4, PixelFormat::pf16bit), image), std::invalid_argument);
  EXPECT_THROW(BitmapToBmp24(Bitmap(4, 4, PixelFormat::pf32bit), image), std::invalid_argument);
}

#ifdef TW_HAVE_QT_GUI
TEST(BmpImage, QtReadsTheSizeAndPixels) {
  for (PixelFormat format : {PixelFormat::pf24bit, PixelFormat::pf32bit}) {
    const Bitmap bmp = Pattern(37, 21, format);
    std::string image;
    if (format == PixelFormat::pf24bit)
      BitmapToBmp24(bmp, image);
    else
      BitmapToBmp32(bmp, image);
    const QImage read = QImage::fromData(QByteArray(image.data(), static_cast<qsizetype>(image.size())), "BMP");
    ASSERT_FALSE(read.isNull());
    ASSERT_EQ(read.width(), 37);
    ASSERT_EQ(read.height(), 21);
    for (int y = 0; y < 21; ++y)
      for (int x = 0; x < 37; ++x) {
        const QRgb p = read.pixel(x, y);
        ASSERT_EQ(qBlue(p), x % 256);
        ASSERT_EQ(qGreen(p), y % 256);
        ASSERT_EQ(qRed(p), (x + y) % 256);
      }
  }
}
#else
TEST(BmpImage, QtReadsTheSizeAndPixels) { GTEST_SKIP() << "Qt 6 Gui not found"; }
#endif

}  // namespace
}  // namespace tw
