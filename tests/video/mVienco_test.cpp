// The encoder: header, cropping, skip bits and skipping, DC values, limits,
// quality setting and input formats.
#include "video/mVienco.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/video/frame_builder.h"
#include "tests/video/video_scenes.h"

namespace tw {
namespace {

using testing::ReadBits;
using win32::Bitmap;
using win32::PixelFormat;

constexpr size_t kHeaderBits = 19;

std::vector<uint8_t> Encode(CVienco& encoder, Bitmap bitmap, bool allowSkip) {
  const auto frame = encoder.Encode(bitmap, allowSkip);
  return {frame.begin(), frame.end()};
}

Bitmap Uniform(int w, int h, uint8_t grey) {
  Bitmap bmp(w, h, PixelFormat::pf24bit);
  scenes::Fill(bmp, [&](int, int) { return scenes::Bgr{grey, grey, grey}; });
  return bmp;
}

std::vector<int> SkipBits(const std::vector<uint8_t>& frame, int blocks) {
  std::vector<int> bits;
  for (int b = 0; b < blocks; ++b) bits.push_back(static_cast<int>(ReadBits(frame.data(), kHeaderBits + b, 1)));
  return bits;
}

TEST(VideoEncoder, HeaderCarriesQualityAndBlockCounts) {
  CVienco encoder;
  const auto frame = Encode(encoder, scenes::Smooth(320, 240), false);
  EXPECT_EQ(ReadBits(frame.data(), 0, 3), 3u);
  EXPECT_EQ(ReadBits(frame.data(), 3, 8), 40u);
  EXPECT_EQ(ReadBits(frame.data(), 11, 8), 30u);
  encoder.SetQuality(5);
  EXPECT_EQ(ReadBits(Encode(encoder, scenes::Smooth(320, 240), false).data(), 0, 3), 5u);
}

TEST(VideoEncoder, IgnoresColumnsAndRowsBeyondMultiplesOf8) {
  const Bitmap wide = scenes::Noise(324, 244, 7);
  Bitmap crop(320, 240, PixelFormat::pf24bit);
  for (int y = 0; y < 240; ++y) std::copy_n(wide.ScanLine(y), 3 * 320, crop.ScanLine(y));
  CVienco a, b;
  EXPECT_EQ(Encode(a, wide, false), Encode(b, crop, false));
  EXPECT_EQ(a.Width(), 320);
  EXPECT_EQ(a.Height(), 240);
}

TEST(VideoEncoder, KeyFrameCodesEveryBlockWithZeroSkipBits) {
  CVienco encoder;
  const Bitmap scene = scenes::Scene(320, 240, 10, 10);
  Encode(encoder, scene, false);
  const auto key = Encode(encoder, scene, false);
  EXPECT_EQ(SkipBits(key, 1200), std::vector<int>(1200, 0));
  EXPECT_EQ(encoder.CodedBlocks(0).size(), 1200u);
  EXPECT_EQ(encoder.CodedBlocks(2).size(), 1200u);
}

TEST(VideoEncoder, IdenticalDeltaFrameSkipsEveryBlockAtTheShortestLength) {
  CVienco encoder;
  const Bitmap scene = scenes::Scene(320, 240, 10, 10);
  Encode(encoder, scene, false);
  const auto delta = Encode(encoder, scene, true);
  EXPECT_EQ(SkipBits(delta, 1200), std::vector<int>(1200, 1));
  // Header, one bit per block, then per plane a 5-bit first last and a 7-bit first DC of 0.
  const size_t bits = kHeaderBits + 1200 + 3 * (5 + 7);
  ASSERT_EQ(delta.size(), (bits + 7) / 8);
  for (size_t bit = kHeaderBits + 1200; bit < 8 * delta.size(); ++bit) EXPECT_EQ(ReadBits(delta.data(), bit, 1), 0u);
}

TEST(VideoEncoder, DeltaFrameCodesOnlyTheChangedBlock) {
  CVienco encoder;
  Bitmap scene = scenes::Scene(320, 240, 10, 10);
  Encode(encoder, scene, false);
  for (int y = 80; y < 88; ++y)  // block (5, 10): raster index 10 x 40 + 5
    for (int x = 40; x < 48; ++x) scene.ScanLine(y)[3 * x + 1] ^= 0x80;
  const auto delta = Encode(encoder, scene, true);
  std::vector<int> expected(1200, 1);
  expected[405] = 0;
  EXPECT_EQ(SkipBits(delta, 1200), expected);
  for (int plane = 0; plane < 3; ++plane) {
    const auto coded = encoder.CodedBlocks(plane);
    ASSERT_EQ(coded.size(), 1u);
    EXPECT_EQ(coded[0].block, 405);
  }
}

TEST(VideoEncoder, SlowDriftIsCodedOnceItCrossesAStep) {
  CVienco encoder;  // quality 3: DC 0 at grey 128, 1 at 130 and 131, 2 at 132; skip step 2
  Encode(encoder, Uniform(64, 64, 128), false);
  EXPECT_EQ(SkipBits(Encode(encoder, Uniform(64, 64, 130), true), 64), std::vector<int>(64, 1));
  EXPECT_EQ(SkipBits(Encode(encoder, Uniform(64, 64, 131), true), 64), std::vector<int>(64, 1));
  EXPECT_EQ(SkipBits(Encode(encoder, Uniform(64, 64, 132), true), 64), std::vector<int>(64, 0));
  EXPECT_EQ(SkipBits(Encode(encoder, Uniform(64, 64, 132), true), 64), std::vector<int>(64, 1));
}

TEST(VideoEncoder, FirstFrameAfterASizeChangeCodesEveryBlock) {
  CVienco encoder;
  Encode(encoder, scenes::Smooth(320, 240), false);
  const auto frame = Encode(encoder, scenes::Smooth(328, 240), true);
  EXPECT_EQ(ReadBits(frame.data(), 3, 8), 41u);
  EXPECT_EQ(SkipBits(frame, 41 * 30), std::vector<int>(41 * 30, 0));
  const auto back = Encode(encoder, scenes::Smooth(320, 240), true);
  EXPECT_EQ(SkipBits(back, 1200), std::vector<int>(1200, 0));
}

TEST(VideoEncoder, UniformBlocksGiveTheExpectedDcAtQuality5) {
  struct Case {
    uint8_t grey;
    int lumaDc;
  };
  // 255 gives 64 before the luma DC is limited to 63 (which decodes to 255 as well).
  for (const Case c : {Case{0, -64}, Case{128, 0}, Case{255, 63}}) {
    CVienco encoder;
    encoder.SetQuality(5);
    Encode(encoder, Uniform(16, 8, c.grey), false);
    const auto luma = encoder.CodedBlocks(0);
    ASSERT_EQ(luma.size(), 2u);
    EXPECT_EQ(luma[0].zigzag[0], c.lumaDc) << int(c.grey);
    EXPECT_EQ(luma[0].last, 0);
    EXPECT_EQ(encoder.CodedBlocks(1)[0].zigzag[0], 0) << "grey has Cb 128";
    EXPECT_EQ(encoder.CodedBlocks(2)[0].zigzag[0], 0) << "grey has Cr 128";
  }
}

TEST(VideoEncoder, ColourTablesRoundEachProduct) {
  // Blue 250 has Y 29 with round(i x k x 65536) tables and 28 with
  // i x round(k x 65536); the luma DC at quality 5 is (Y - 127) / 2 rounded down.
  CVienco encoder;
  encoder.SetQuality(5);
  Bitmap blue(8, 8, PixelFormat::pf24bit);
  scenes::Fill(blue, [](int, int) { return scenes::Bgr{250, 0, 0}; });
  Encode(encoder, blue, false);
  EXPECT_EQ(encoder.CodedBlocks(0)[0].zigzag[0], -49);
}

TEST(VideoEncoder, BlackNextToWhiteStaysWithinTheGroupRange) {
  CVienco encoder;
  encoder.SetQuality(5);
  Encode(encoder, scenes::ColourBars(320, 240), false);
  // The row of blocks ends black and the next starts white: a DC step of 127.
  const auto luma = encoder.CodedBlocks(0);
  EXPECT_EQ(luma[39].zigzag[0], -64);
  EXPECT_EQ(luma[40].zigzag[0], 63);
}

TEST(VideoEncoder, SetQualityIgnoresValuesOutside1To5) {
  CVienco encoder;
  for (int q : {0, 6, -1, 3}) {
    encoder.SetQuality(q);
    EXPECT_EQ(encoder.Quality(), 3);
  }
  encoder.SetQuality(1);
  EXPECT_EQ(encoder.Quality(), 1);
}

TEST(VideoEncoder, RefusesFramesTheHeaderCannotDescribe) {
  struct Case {
    int w, h;
    const char* error;
  };
  const Case cases[] = {{1032, 1024, "Too large image!"}, {4096, 256, "Too large image!"},
                        {2048, 8, "Too large image!"},    {8, 2048, "Too large image!"},
                        {7, 240, "Too small image!"},     {320, 5, "Too small image!"},
                        {0, 0, "Too small image!"}};
  CVienco encoder;
  const Bitmap scene = scenes::Scene(64, 48, 3, 3);
  Encode(encoder, scene, false);
  for (const Case& c : cases) {
    for (int attempt = 0; attempt < 2; ++attempt) {  // every frame of that size is refused
      Bitmap bmp(c.w, c.h, PixelFormat::pf24bit);
      try {
        encoder.Encode(bmp, true);
        ADD_FAILURE() << c.w << "x" << c.h << " accepted";
      } catch (const EVideoException& e) {
        EXPECT_STREQ(e.what(), c.error);
      }
    }
  }
  // The size and the references survived: the unchanged scene is skipped whole.
  EXPECT_EQ(SkipBits(Encode(encoder, scene, true), 48), std::vector<int>(48, 1));
}

TEST(VideoEncoder, AcceptsTheLargestFrames) {
  CVienco encoder;
  for (auto [w, h] : {std::pair{1024, 1024}, {2040, 512}, {512, 2040}, {8, 8}}) {
    const auto frame = Encode(encoder, Uniform(w, h, 90), false);
    EXPECT_EQ(ReadBits(frame.data(), 3, 8), static_cast<uint32_t>(w / 8));
    EXPECT_EQ(ReadBits(frame.data(), 11, 8), static_cast<uint32_t>(h / 8));
  }
}

TEST(VideoEncoder, ConvertsOtherFormatsTo24BitInPlaceFirst) {
  for (PixelFormat format : {PixelFormat::pf16bit, PixelFormat::pf32bit}) {
    Bitmap other = scenes::Scene(64, 48, 5, 5);
    other.SetPixelFormat(format);
    Bitmap same = other;
    same.SetPixelFormat(PixelFormat::pf24bit);
    CVienco a, b;
    const auto expected = Encode(a, same, false);
    const auto frame = b.Encode(other, false);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin(), frame.end()), expected);
    EXPECT_EQ(other.Format(), PixelFormat::pf24bit);
  }
}

}  // namespace
}  // namespace tw
