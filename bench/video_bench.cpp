// Encode and decode speed of the video codec at 320x240, 640x480 and
// 1024x1024 for qualities 1, 3 and 5 on three kinds of frames: a key frame of
// a synthetic scene, delta frames of a static scene with a moving square, and
// noise. Beside each: bytes per frame and PSNR. libjpeg-turbo compresses and
// decompresses the same frames at 4:4:4 as the reference (JPEG quality 50, 75
// and 90 for our 1, 3 and 5).
#include <benchmark/benchmark.h>

#include <array>
#include <vector>

#include "tests/video/video_scenes.h"
#include "video/mVideco.h"
#include "video/mVienco.h"

#ifdef TW_HAVE_TURBOJPEG
#include <turbojpeg.h>
#endif

namespace {

using tw::win32::Bitmap;
using tw::win32::PixelFormat;

constexpr std::array<std::pair<int, int>, 3> kSizes = {{{320, 240}, {640, 480}, {1024, 1024}}};
enum Content { kKey = 0, kDelta = 1, kNoise = 2 };
constexpr const char* kContentName[] = {"key", "delta", "noise"};
constexpr int kSquarePositions = 16;

// The frames of one case: for key and noise a single picture, for delta the
// static scene with the square at successive positions.
std::vector<Bitmap> Frames(int sizeIndex, Content content) {
  const auto [w, h] = kSizes[static_cast<size_t>(sizeIndex)];
  std::vector<Bitmap> frames;
  if (content == kNoise) frames.push_back(tw::scenes::Noise(w, h, 42));
  if (content == kKey) frames.push_back(tw::scenes::Scene(w, h, w / 3, h / 3));
  if (content == kDelta)
    for (int i = 0; i < kSquarePositions; ++i) frames.push_back(tw::scenes::Scene(w, h, w / 10 + 3 * i, h / 4 + 2 * i));
  return frames;
}

void Label(benchmark::State& state, int sizeIndex, int quality, Content content) {
  const auto [w, h] = kSizes[static_cast<size_t>(sizeIndex)];
  state.SetLabel(std::to_string(w) + "x" + std::to_string(h) + " q" + std::to_string(quality) + " " +
                 kContentName[content]);
}

void Report(benchmark::State& state, double bytes, double psnr, int frames) {
  state.counters["bytes/frame"] = bytes;
  state.counters["PSNR"] = psnr;
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

struct Encoded {
  std::vector<std::vector<uint8_t>> frames;  // for delta: the key frame first
  double bytes = 0, psnr = 0;
};

Encoded EncodeAll(const std::vector<Bitmap>& pictures, int quality, Content content) {
  tw::CVienco encoder;
  tw::CVideco decoder;
  encoder.SetQuality(quality);
  Encoded out;
  Bitmap decoded;
  for (size_t i = 0; i < pictures.size(); ++i) {
    Bitmap copy = pictures[i];
    const auto f = encoder.Encode(copy, content == kDelta && i > 0);
    out.frames.emplace_back(f.begin(), f.end());
    decoder.Decode(decoded, f);
    if (content != kDelta || i > 0) {
      out.bytes += static_cast<double>(f.size());
      out.psnr += tw::scenes::Psnr(pictures[i], decoded);
    }
  }
  const double n = content == kDelta ? static_cast<double>(pictures.size() - 1) : 1.0;
  out.bytes /= n;
  out.psnr /= n;
  return out;
}

void BM_Encode(benchmark::State& state) {
  const int sizeIndex = static_cast<int>(state.range(0)), quality = static_cast<int>(state.range(1));
  const auto content = static_cast<Content>(state.range(2));
  std::vector<Bitmap> pictures = Frames(sizeIndex, content);
  const Encoded reference = EncodeAll(pictures, quality, content);
  tw::CVienco encoder;
  encoder.SetQuality(quality);
  encoder.Encode(pictures[0], false);
  size_t i = 0;
  int frames = 0;
  for (auto _ : state) {
    i = (i + 1) % pictures.size();
    benchmark::DoNotOptimize(encoder.Encode(pictures[i], content == kDelta).data());
    ++frames;
  }
  Label(state, sizeIndex, quality, content);
  Report(state, reference.bytes, reference.psnr, frames);
}

void BM_Decode(benchmark::State& state) {
  const int sizeIndex = static_cast<int>(state.range(0)), quality = static_cast<int>(state.range(1));
  const auto content = static_cast<Content>(state.range(2));
  const Encoded encoded = EncodeAll(Frames(sizeIndex, content), quality, content);
  tw::CVideco decoder;
  Bitmap out;
  decoder.Decode(out, encoded.frames[0]);
  const size_t first = content == kDelta ? 1 : 0;
  size_t i = first;
  int frames = 0;
  for (auto _ : state) {
    decoder.Decode(out, encoded.frames[i]);
    benchmark::DoNotOptimize(out.Bits().data());
    if (++i == encoded.frames.size()) i = first;
    ++frames;
  }
  Label(state, sizeIndex, quality, content);
  Report(state, encoded.bytes, encoded.psnr, frames);
}

void BM_EncodeDecode(benchmark::State& state) {
  const int sizeIndex = static_cast<int>(state.range(0)), quality = static_cast<int>(state.range(1));
  const auto content = static_cast<Content>(state.range(2));
  std::vector<Bitmap> pictures = Frames(sizeIndex, content);
  const Encoded reference = EncodeAll(pictures, quality, content);
  tw::CVienco encoder;
  tw::CVideco decoder;
  encoder.SetQuality(quality);
  Bitmap out;
  decoder.Decode(out, encoder.Encode(pictures[0], false));
  size_t i = 0;
  int frames = 0;
  for (auto _ : state) {
    i = (i + 1) % pictures.size();
    decoder.Decode(out, encoder.Encode(pictures[i], content == kDelta));
    benchmark::DoNotOptimize(out.Bits().data());
    ++frames;
  }
  Label(state, sizeIndex, quality, content);
  Report(state, reference.bytes, reference.psnr, frames);
}

#ifdef TW_HAVE_TURBOJPEG
int JpegQuality(int quality) { return quality == 1 ? 50 : quality == 3 ? 75 : 90; }

struct TurboJpeg {
  tjhandle compressor = tjInitCompress();
  tjhandle decompressor = tjInitDecompress();
  std::vector<unsigned char> jpeg;
  ~TurboJpeg() {
    tjDestroy(compressor);
    tjDestroy(decompressor);
  }
  unsigned long Compress(const Bitmap& bmp, int quality) {  // NOLINT(runtime/int): the library's type
    jpeg.resize(tjBufSize(bmp.Width(), bmp.Height(), TJSAMP_444));
    unsigned char* buf = jpeg.data();
    unsigned long size = 0;  // NOLINT(runtime/int)
    tjCompress2(compressor, bmp.Bits().data(), bmp.Width(), static_cast<int>(bmp.Stride()), bmp.Height(), TJPF_BGR,
                &buf, &size, TJSAMP_444, JpegQuality(quality), TJFLAG_NOREALLOC | TJFLAG_BOTTOMUP);
    return size;
  }
  void Decompress(unsigned long size, Bitmap& out) {  // NOLINT(runtime/int)
    tjDecompress2(decompressor, jpeg.data(), size, out.Bits().data(), out.Width(), static_cast<int>(out.Stride()),
                  out.Height(), TJPF_BGRX, TJFLAG_BOTTOMUP);
  }
};

void BM_TurboJpeg(benchmark::State& state, bool compress, bool decompress) {
  const int sizeIndex = static_cast<int>(state.range(0)), quality = static_cast<int>(state.range(1));
  const auto content = static_cast<Content>(state.range(2));
  const std::vector<Bitmap> pictures = Frames(sizeIndex, content);
  TurboJpeg tj;
  Bitmap out(pictures[0].Width(), pictures[0].Height(), PixelFormat::pf32bit);
  double bytes = 0, psnr = 0;
  for (const Bitmap& p : pictures) {
    const auto size = tj.Compress(p, quality);
    tj.Decompress(size, out);
    bytes += static_cast<double>(size);
    psnr += tw::scenes::Psnr(p, out);
  }
  size_t i = 0;
  int frames = 0;
  auto size = tj.Compress(pictures[0], quality);
  for (auto _ : state) {
    i = (i + 1) % pictures.size();
    if (compress) size = tj.Compress(pictures[i], quality);
    if (decompress) tj.Decompress(size, out);
    benchmark::DoNotOptimize(out.Bits().data());
    ++frames;
  }
  Label(state, sizeIndex, quality, content);
  Report(state, bytes / static_cast<double>(pictures.size()), psnr / static_cast<double>(pictures.size()), frames);
}

void BM_TurboJpegCompress(benchmark::State& state) { BM_TurboJpeg(state, true, false); }
void BM_TurboJpegDecompress(benchmark::State& state) { BM_TurboJpeg(state, false, true); }
void BM_TurboJpegRoundTrip(benchmark::State& state) { BM_TurboJpeg(state, true, true); }
#endif

void Cases(benchmark::internal::Benchmark* b) {
  for (int size = 0; size < 3; ++size)
    for (int quality : {1, 3, 5})
      for (int content : {kKey, kDelta, kNoise}) b->Args({size, quality, content});
  b->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_Encode)->Apply(Cases);
BENCHMARK(BM_Decode)->Apply(Cases);
BENCHMARK(BM_EncodeDecode)->Apply(Cases);
#ifdef TW_HAVE_TURBOJPEG
BENCHMARK(BM_TurboJpegCompress)->Apply(Cases);
BENCHMARK(BM_TurboJpegDecompress)->Apply(Cases);
BENCHMARK(BM_TurboJpegRoundTrip)->Apply(Cases);
#endif

}  // namespace

BENCHMARK_MAIN();
