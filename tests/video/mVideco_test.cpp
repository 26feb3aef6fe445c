// The decoder against the encoder (coefficients read back exactly, picture
// quality), its golden values, and its handling of refused and corrupt frames.
#include "video/mVideco.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "tests/video/frame_builder.h"
#include "tests/video/video_scenes.h"
#include "video/mVienco.h"

namespace tw {
namespace {

using testing::FrameBuilder;
using win32::Bitmap;
using win32::PixelFormat;

std::vector<uint8_t> Encode(CVienco& encoder, Bitmap bitmap, bool allowSkip) {
  const auto frame = encoder.Encode(bitmap, allowSkip);
  return {frame.begin(), frame.end()};
}

// Blocks of random flat colours, gradients and edges, some with noise on top.
Bitmap RandomBlocks(int w, int h, uint32_t seed) {
  std::mt19937 rng(seed);
  Bitmap bmp(w, h, PixelFormat::pf24bit);
  for (int by = 0; by < h / 8; ++by)
    for (int bx = 0; bx < w / 8; ++bx) {
      const int kind = static_cast<int>(rng() % 4);
      const int base[3] = {static_cast<int>(rng() % 256), static_cast<int>(rng() % 256), static_cast<int>(rng() % 256)};
      const int slope = static_cast<int>(rng() % 65) - 32;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
          for (int c = 0; c < 3; ++c) {
            int v = base[c];
            if (kind == 1) v += slope * (x + y) / 4;
            if (kind == 2) v = (x < 4) == (c == 1) ? 255 : 0;
            if (kind == 3) v += static_cast<int>(rng() % 81) - 40;
            bmp.ScanLine(8 * by + y)[3 * (8 * bx + x) + c] = static_cast<uint8_t>(std::clamp(v, 0, 255));
          }
    }
  return bmp;
}

// Pixel (x, y) of a 32-bit bitmap as {b, g, r, fourth}.
std::array<int, 4> PixelAt(const Bitmap& bmp, int x, int y) {
  const uint8_t* p = bmp.ScanLine(y) + 4 * x;
  return {p[0], p[1], p[2], p[3]};
}

void ExpectSameCoefficients(const CVienco& encoder, const CVideco& decoder, const std::string& what) {
  for (int plane = 0; plane < 3; ++plane) {
    const auto sent = encoder.CodedBlocks(plane);
    const auto read = decoder.CodedBlocks(plane);
    ASSERT_EQ(sent.size(), read.size()) << what << " plane " << plane;
    for (size_t i = 0; i < sent.size(); ++i) ASSERT_EQ(sent[i], read[i]) << what << " plane " << plane << " #" << i;
  }
}

TEST(VideoCodec, DecoderReadsBackExactlyTheQuantisedCoefficients) {
  struct Picture {
    const char* name;
    Bitmap first, second;
  };
  const Picture pictures[] = {
      {"random blocks", RandomBlocks(136, 104, 1), RandomBlocks(136, 104, 2)},
      {"noise", scenes::Noise(136, 104, 3), scenes::Noise(136, 104, 4)},
      {"colour bars", scenes::ColourBars(320, 240), scenes::ColourBars(320, 240)},
      {"scene", scenes::Scene(136, 104, 8, 8), scenes::Scene(136, 104, 20, 11)},
  };
  for (int quality = 1; quality <= 5; ++quality) {
    for (const Picture& p : pictures) {
      CVienco encoder;
      CVideco decoder;
      encoder.SetQuality(quality);
      Bitmap out;
      const std::string what = std::string(p.name) + " q" + std::to_string(quality);
      decoder.Decode(out, Encode(encoder, p.first, false));
      ExpectSameCoefficients(encoder, decoder, what + " key");
      EXPECT_EQ(decoder.Quality(), quality);
      decoder.Decode(out, Encode(encoder, p.second, true));
      ExpectSameCoefficients(encoder, decoder, what + " delta");
      EXPECT_EQ(out.Width(), p.first.Width());
      EXPECT_EQ(out.Height(), p.first.Height());
      EXPECT_EQ(out.Format(), PixelFormat::pf32bit);
    }
  }
}

TEST(VideoCodec, SmoothPictureKeepsItsQualityBound) {
  const double minimumPsnr[6] = {0, 37.0, 38.0, 39.5, 40.0, 40.5};
  const Bitmap smooth = scenes::Smooth(320, 240);
  for (int quality = 1; quality <= 5; ++quality) {
    CVienco encoder;
    CVideco decoder;
    encoder.SetQuality(quality);
    Bitmap out;
    decoder.Decode(out, Encode(encoder, smooth, false));
    EXPECT_GE(scenes::Psnr(smooth, out), minimumPsnr[quality]) << "q" << quality;
  }
}

TEST(VideoCodec, BlackNextToWhiteDecodesCleanlyAtQuality5) {
  CVienco encoder;
  CVideco decoder;
  encoder.SetQuality(5);
  const Bitmap bars = scenes::ColourBars(320, 240);
  Bitmap out;
  decoder.Decode(out, Encode(encoder, bars, false));
  EXPECT_GE(scenes::Psnr(bars, out), 38.0);
  for (int c = 0; c < 3; ++c) {
    EXPECT_GE(PixelAt(out, 0, 0)[c], 252) << "white, left of the first bar";
    EXPECT_LE(PixelAt(out, 319, 239)[c], 4) << "black, right of the last bar";
  }
}

TEST(VideoDecoder, ShowsGreenWhereNoBlockWasEverDecoded) {
  CVienco encoder;
  const Bitmap scene = scenes::Scene(64, 48, 4, 4);
  Encode(encoder, scene, false);
  const auto delta = Encode(encoder, scene, true);  // every block skipped
  CVideco decoder;
  Bitmap out;
  decoder.Decode(out, delta);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) ASSERT_EQ(PixelAt(out, x, y), (std::array<int, 4>{0, 135, 0, 0}));
}

// One 8x8 block at quality 5 whose three planes carry only a DC.
std::vector<uint8_t> DcOnlyFrame(int lumaDc, int chromaDc) {
  FrameBuilder f;
  f.Header(5, 1, 1).Bits(0, 1);
  for (int dc : {lumaDc, chromaDc, chromaDc}) {
    f.Bits(0, 5).Signed(dc, 7);
    f.Group({0, 0, 0, 0, 0, 0, 0, 0}, 0);  // last difference 0, DC difference 0
  }
  return f.bytes();
}

TEST(VideoDecoder, DcOnlyBlocksDecodeToTheGoldenSamples) {
  struct Case {
    int lumaDc, chromaDc, y, chroma;
  };
  // floor(d x t / 8) + 129 with t = 16 for luma and 18 for chroma at quality 5.
  const Case cases[] = {{-64, 0, 1, 129}, {0, 0, 129, 129}, {63, 0, 255, 129}, {0, 8, 129, 147}, {0, -8, 129, 111}};
  for (const Case& c : cases) {
    CVideco decoder;
    Bitmap out;
    decoder.Decode(out, DcOnlyFrame(c.lumaDc, c.chromaDc));
    const auto round = [](double v) { return static_cast<int>(std::nearbyint(v)); };
    const int base = c.y * 65536 + 32768, ch = c.chroma - 128;
    const auto clamp = [](int v) { return std::clamp(v, 0, 255); };
    const std::array<int, 4> expected = {
        clamp((base + round(ch * 1.772 * 65536)) >> 16),
        clamp((base + round(ch * -0.34414 * 65536) + round(ch * -0.71414 * 65536)) >> 16),
        clamp((base + round(ch * 1.402 * 65536)) >> 16), 0};
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) ASSERT_EQ(PixelAt(out, x, y), expected) << c.lumaDc << " " << c.chromaDc;
  }
}

TEST(VideoDecoder, AllSkipDeltaFrameLeavesThePictureUnchanged) {
  CVienco encoder;
  CVideco decoder;
  const Bitmap scene = scenes::Scene(64, 48, 4, 4);
  Bitmap key, delta;
  decoder.Decode(key, Encode(encoder, scene, false));
  decoder.Decode(delta, Encode(encoder, scene, true));
  EXPECT_TRUE(std::ranges::equal(key.Bits(), delta.Bits()));
}

TEST(VideoDecoder, SizeChangeResizesTheBitmapButKeepsThePlanes) {
  const scenes::Bgr colours[4] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};
  Bitmap quads(16, 16, PixelFormat::pf24bit);
  scenes::Fill(quads, [&](int x, int y) { return colours[(y / 8) * 2 + x / 8]; });
  CVienco encoder;
  CVideco decoder;
  Bitmap square, row;
  decoder.Decode(square, Encode(encoder, quads, false));
  FrameBuilder skipAll;  // 32 x 8, four blocks, every one skipped
  skipAll.Header(3, 4, 1).Bits(0xF, 4);
  for (int plane = 0; plane < 3; ++plane) skipAll.Bits(0, 5).Signed(0, 7);
  decoder.Decode(row, skipAll.bytes());
  ASSERT_EQ(row.Width(), 32);
  ASSERT_EQ(row.Height(), 8);
  for (int b = 0; b < 4; ++b)
    EXPECT_EQ(PixelAt(row, 8 * b + 3, 3), PixelAt(square, 8 * (b % 2) + 3, 8 * (b / 2) + 3)) << b;
}

// The planes keep, in block order, whatever the frames so far painted; a
// frame larger than any before finds green where none of them reached, and
// a smaller frame in between changes nothing beyond its own blocks.
TEST(VideoDecoder, ALargerFrameFindsGreenOnlyWhereNoFrameHasPainted) {
  FrameBuilder wide;  // 64 x 16, sixteen blocks, every one skipped
  wide.Header(3, 8, 2).Bits(0xFFFF, 16);
  for (int plane = 0; plane < 3; ++plane) wide.Bits(0, 5).Signed(0, 7);
  const auto blockPixel = [](const Bitmap& bmp, int b, int across) {
    return PixelAt(bmp, 8 * (b % across) + 3, 8 * (b / across) + 3);
  };
  const std::array<int, 4> green = {0, 135, 0, 0};
  const Bitmap quads = scenes::ColourBars(16, 16);
  const Bitmap bars = scenes::ColourBars(64, 16);
  CVienco small, large;
  CVideco decoder;
  Bitmap first, grown;
  decoder.Decode(first, Encode(small, quads, false));
  decoder.Decode(grown, wide.bytes());
  for (int b = 0; b < 16; ++b)
    EXPECT_EQ(blockPixel(grown, b, 8), b < 4 ? blockPixel(first, b, 2) : green) << b;

  Bitmap painted, again;
  decoder.Decode(painted, Encode(large, bars, false));
  decoder.Decode(first, Encode(small, quads, false));
  decoder.Decode(again, wide.bytes());
  for (int b = 0; b < 16; ++b)
    EXPECT_EQ(blockPixel(again, b, 8), b < 4 ? blockPixel(first, b, 2) : blockPixel(painted, b, 8)) << b;
}

TEST(VideoDecoder, EachFrameDecodesWithTheTablesOfItsQuality) {
  const Bitmap scene = scenes::Scene(64, 48, 4, 4);
  CVienco coarse, fine;
  coarse.SetQuality(1);
  fine.SetQuality(5);
  const auto q1 = Encode(coarse, scene, false);
  const auto q5 = Encode(fine, scene, false);
  CVideco mixed, fresh;
  Bitmap a, b;
  mixed.Decode(a, q1);
  mixed.Decode(a, q5);
  fresh.Decode(b, q5);
  EXPECT_TRUE(std::ranges::equal(a.Bits(), b.Bits()));
  EXPECT_EQ(mixed.Quality(), 5);
}

TEST(VideoDecoder, QualityFieldOutside1To5KeepsTheCurrentTables) {
  const Bitmap scene = scenes::Scene(64, 48, 4, 4);
  CVienco encoder;  // quality 3, the decoder's own at creation
  auto frame = Encode(encoder, scene, false);
  CVideco plain, patched;
  Bitmap a, b;
  plain.Decode(a, frame);
  for (uint8_t q : {0, 6, 7}) {
    frame[0] = static_cast<uint8_t>((frame[0] & ~7) | q);
    patched.Decode(b, frame);
    EXPECT_EQ(patched.Quality(), 3);
    EXPECT_TRUE(std::ranges::equal(a.Bits(), b.Bits())) << int(q);
  }
}

class RefusedFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    decoder_.Decode(picture_, Encode(encoder_, scenes::Scene(24, 16, 2, 2), false));
    before_.assign(picture_.Bits().begin(), picture_.Bits().end());
  }

  // Decoding `frame` raises `error` and changes neither the bitmap nor the
  // decoder's picture, size or quality.
  void ExpectRefused(const std::vector<uint8_t>& frame, const char* error) {
    try {
      decoder_.Decode(picture_, frame);
      ADD_FAILURE() << "accepted a frame of " << frame.size() << " bytes";
    } catch (const EVideoException& e) {
      EXPECT_STREQ(e.what(), error);
    }
    EXPECT_TRUE(std::ranges::equal(picture_.Bits(), before_));
    EXPECT_EQ(decoder_.Width(), 24);
    EXPECT_EQ(decoder_.Quality(), 3);
  }

  void ExpectPictureKept() {
    Bitmap again;
    decoder_.Decode(again, Encode(encoder_, scenes::Scene(24, 16, 2, 2), true));  // all skipped
    EXPECT_TRUE(std::ranges::equal(again.Bits(), before_));
  }

  CVienco encoder_;
  CVideco decoder_;
  Bitmap picture_;
  std::vector<uint8_t> before_;
};

TEST_F(RefusedFrame, EveryTruncationIsAnOverrun) {
  encoder_.SetQuality(5);
  const auto frame = Encode(encoder_, scenes::Noise(24, 16, 9), false);
  for (size_t n = 0; n < frame.size(); ++n)
    ExpectRefused(std::vector<uint8_t>(frame.begin(), frame.begin() + static_cast<ptrdiff_t>(n)),
                  "Corrupt video frame!");
  encoder_.SetQuality(3);
  ExpectPictureKept();
}

TEST_F(RefusedFrame, LastIndexOutside0To31) {
  for (auto [first, step] : {std::pair{31, 1}, {0, -1}}) {
    FrameBuilder f;
    f.Header(5, 3, 2).Bits(0, 6).Bits(static_cast<uint32_t>(first), 5).Signed(0, 7);
    f.Group({0, step, 0, 0, 0, 0, 0, 0}, 1);
    ExpectRefused(f.bytes(), "Corrupt video frame!");
  }
  ExpectPictureKept();
}

TEST_F(RefusedFrame, DcOutsideMinus127To127) {
  FrameBuilder f;
  f.Header(5, 3, 2).Bits(0, 6).Bits(0, 5).Signed(127, 7);
  f.Group({0, 0, 0, 0, 0, 0, 0, 1}, 1);  // six last differences, then DC + 0, DC + 1
  ExpectRefused(f.bytes(), "Corrupt video frame!");
  ExpectPictureKept();
}

TEST_F(RefusedFrame, HeadersBeyondTheLargestFrameOrWithoutBlocks) {
  ExpectRefused(FrameBuilder().Header(3, 255, 255).Bits(0, 64).bytes(), "Too large image!");
  ExpectRefused(FrameBuilder().Header(3, 129, 128).Bits(0, 64).bytes(), "Too large image!");
  ExpectRefused(FrameBuilder().Header(3, 0, 30).Bits(0, 64).bytes(), "Corrupt video frame!");
  ExpectRefused({}, "Corrupt video frame!");
  ExpectPictureKept();
}

TEST(VideoDecoder, ExtremeCoefficientsStayWithinRange) {
  FrameBuilder f;
  f.Header(1, 2, 1).Bits(0, 2);
  for (int plane = 0; plane < 3; ++plane) {
    f.Bits(31, 5).Signed(-127, 7);
    f.Group({0, 0, 0, 127, -127, 0, 0, 0}, 7);  // lasts 31, 31; DCs -127, 0; then coefficients
    for (int g = 0; g < 8; ++g) f.Group({127, -127, 127, -127, 127, -127, 127, -127}, 7);
  }
  for (bool simd : {false, true}) {  // no overflow in either path (the sanitizers watch)
    CVideco decoder(simd);
    Bitmap out;
    EXPECT_NO_THROW(decoder.Decode(out, f.bytes()));
    EXPECT_EQ(out.Width(), 16);
  }
}

TEST(VideoDecoder, MatchesTheLargestFrame) {
  CVienco encoder;
  CVideco decoder;
  const Bitmap big = scenes::Smooth(1024, 1024);
  Bitmap out;
  decoder.Decode(out, Encode(encoder, big, false));
  EXPECT_EQ(out.Width(), 1024);
  EXPECT_GE(scenes::Psnr(big, out), 40.0);
}

// FNV-1a over the bytes, to freeze outputs that any faster path must keep.
uint64_t Hash(std::span<const uint8_t> bytes, uint64_t h = 14695981039346656037ull) {
  for (uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

enum class TCodecPath { Portable, Avx2, Fastest };

class FrozenReference : public ::testing::TestWithParam<TCodecPath> {};

TEST_P(FrozenReference, OutputsMatch) {
  const bool simd = GetParam() != TCodecPath::Portable;
  uint64_t frames = 14695981039346656037ull, pictures = frames;
  for (int quality = 1; quality <= 5; ++quality) {
    CVienco encoder(simd, GetParam() == TCodecPath::Fastest);
    CVideco decoder(simd);
    encoder.SetQuality(quality);
    Bitmap out;
    for (int step = 0; step < 3; ++step) {
      const auto frame = Encode(
          encoder, step == 2 ? RandomBlocks(320, 240, 5) : scenes::Scene(320, 240, 30 + 7 * step, 40), step != 0);
      frames = Hash(frame, frames);
      decoder.Decode(out, frame);
      pictures = Hash(out.Bits(), pictures);
    }
  }
  EXPECT_EQ(frames, 7958118830460186716ull);
  EXPECT_EQ(pictures, 7972325107977101558ull);
}

INSTANTIATE_TEST_SUITE_P(VideoCodec, FrozenReference,
                         ::testing::Values(TCodecPath::Portable, TCodecPath::Avx2, TCodecPath::Fastest),
                         [](const auto& caseInfo) {
                           return caseInfo.param == TCodecPath::Portable ? "PortablePath"
                                  : caseInfo.param == TCodecPath::Avx2   ? "Avx2Path"
                                                                     : "FastestPath";
                         });

}  // namespace
}  // namespace tw
