// The video codec beside libjpeg-turbo 4:4:4 (benchmark reference only) on
// natural photographs, at 320x240 and 640x480, for our qualities 1, 3 and 5.
//
// Frames: crops of the sample photographs that scripts/fetch-bench-photos.sh
// fetches, taken at offsets that are not multiples of 8 (photographs that
// were once JPEG files carry an 8x8 grid that would favour either codec),
// with Gaussian sensor noise of sigma 2, drawn anew for every frame from a
// fixed seed.
//   key:   three photographs, every frame a key frame.
//   delta: one photograph with a textured object (a patch of another
//          photograph) moving 3 px right and 2 px down per frame; our codec
//          codes a key frame, then delta frames; JPEG codes every frame.
// Comparison at matched quality: JPEG runs at the smallest quality whose mean
// PSNR reaches ours on the same frames. Every case reports bits per pixel,
// PSNR and frames per second; the label gives the JPEG quality chosen.
// The machine is shared, so the codecs are timed interleaved: for each case
// and stage (encode, decode, round trip) ours, JPEG, JPEG, ours, each codec's
// time the mean of its two runs. A summary at the end gives, per case, both
// codecs' PSNR and bits per pixel, how many more or fewer bits JPEG needs for
// the same PSNR, and the time ratios.
// Apart from the comparison: what a talk's start costs each codec (start/*),
// construction and a first 320x240 key frame, on a synthetic scene.
#include <benchmark/benchmark.h>
#include <png.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <tuple>
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

constexpr std::array<std::pair<int, int>, 2> kSizes = {{{320, 240}, {640, 480}}};
enum Content { kKey = 0, kDelta = 1 };
constexpr const char* kContentName[] = {"key", "delta"};
constexpr int kDeltaFrames = 16;
constexpr double kNoiseSigma = 2.0;

// --- photographs ---------------------------------------------------------------

struct Photo {  // top-down rows of B, G, R
  int width = 0, height = 0;
  std::vector<uint8_t> bgr;
};

std::string PhotoDir() {
  if (const char* dir = std::getenv("TW_BENCH_PHOTOS")) return dir;
  return TW_BENCH_PHOTO_DIR;
}

Photo LoadPng(const std::string& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Photo photo;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return photo;
  image.format = PNG_FORMAT_BGR;
  photo.bgr.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, photo.bgr.data(), 0, nullptr)) return {};
  photo.width = static_cast<int>(image.width);
  photo.height = static_cast<int>(image.height);
  return photo;
}

Photo LoadJpeg(const std::string& path) {
  Photo photo;
#ifdef TW_HAVE_TURBOJPEG
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return photo;
  std::vector<unsigned char> jpeg;
  unsigned char chunk[65536];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) jpeg.insert(jpeg.end(), chunk, chunk + n);
  std::fclose(f);
  tjhandle h = tjInitDecompress();
  int w = 0, ht = 0, sub = 0, space = 0;
  if (tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &w, &ht, &sub, &space) == 0) {
    photo.bgr.resize(static_cast<size_t>(w) * ht * 3);
    if (tjDecompress2(h, jpeg.data(), jpeg.size(), photo.bgr.data(), w, 3 * w, ht, TJPF_BGR, 0) == 0) {
      photo.width = w;
      photo.height = ht;
    } else {
      photo.bgr.clear();
    }
  }
  tjDestroy(h);
#else
  (void)path;
#endif
  return photo;
}

const Photo& LoadPhoto(const std::string& name) {
  static std::map<std::string, Photo> cache;
  auto it = cache.find(name);
  if (it == cache.end()) {
    const std::string path = PhotoDir() + "/" + name;
    it = cache.emplace(name, name.ends_with(".png") ? LoadPng(path) : LoadJpeg(path)).first;
  }
  return it->second;
}

// A deterministic Gaussian source (splitmix64 and Box-Muller): the same
// noise on every machine and every run.
class Noise {
 public:
  explicit Noise(uint64_t seed) : state_(seed) {}
  double Next() {
    if (spare_) {
      spare_ = false;
      return second_;
    }
    const double u1 = (static_cast<double>(Bits() >> 11) + 1.0) / 9007199254740993.0;
    const double u2 = static_cast<double>(Bits() >> 11) / 9007199254740992.0;
    const double r = std::sqrt(-2.0 * std::log(u1));
    second_ = r * std::sin(2 * M_PI * u2);
    spare_ = true;
    return r * std::cos(2 * M_PI * u2);
  }

 private:
  uint64_t Bits() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t state_;
  bool spare_ = false;
  double second_ = 0;
};

// A w x h crop of `photo` at (x0, y0) with `overlay` pasted at (ox, oy), plus
// sensor noise seeded by `seed`.
Bitmap Frame(const Photo& photo, int w, int h, int x0, int y0, const Photo* overlay, int ox, int oy, uint64_t seed) {
  Bitmap bmp(w, h, PixelFormat::pf24bit);
  Noise noise(seed);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bmp.ScanLine(y);
    for (int x = 0; x < w; ++x) {
      const uint8_t* src = &photo.bgr[3 * ((static_cast<size_t>(y0 + y) * photo.width) + x0 + x)];
      if (overlay && x >= ox && x < ox + overlay->width && y >= oy && y < oy + overlay->height)
        src = &overlay->bgr[3 * ((static_cast<size_t>(y - oy) * overlay->width) + x - ox)];
      for (int c = 0; c < 3; ++c) row[3 * x + c] = tw::scenes::Byte(src[c] + kNoiseSigma * noise.Next());
    }
  }
  return bmp;
}

// A side x side patch of `photo` at (x0, y0), as the moving object.
Photo Patch(const Photo& photo, int x0, int y0, int side) {
  Photo patch{side, side, {}};
  for (int y = 0; y < side; ++y) {
    const uint8_t* row = &photo.bgr[3 * ((static_cast<size_t>(y0 + y) * photo.width) + x0)];
    patch.bgr.insert(patch.bgr.end(), row, row + 3 * side);
  }
  return patch;
}

struct Source {
  const char* name;
  int x0, y0;
};
// Crop offsets: none a multiple of 8.
constexpr Source kKeySources[2][3] = {
    {{"astronaut.png", 101, 61}, {"coffee.png", 141, 93}, {"chelsea.png", 67, 35}},
    {{"motorcycle_left.png", 53, 11}, {"motorcycle_right.png", 91, 3}, {"hubble_deep_field.jpg", 203, 197}}};
constexpr Source kDeltaBackground[2] = {{"coffee.png", 141, 93}, {"motorcycle_left.png", 53, 11}};

// The frames of one case, or none when the photographs are missing.
std::vector<Bitmap> Frames(int sizeIndex, Content content) {
  const auto [w, h] = kSizes[static_cast<size_t>(sizeIndex)];
  std::vector<Bitmap> frames;
  if (content == kKey) {
    for (const Source& s : kKeySources[sizeIndex]) {
      const Photo& p = LoadPhoto(s.name);
      if (p.width < s.x0 + w || p.height < s.y0 + h) return {};
      frames.push_back(Frame(p, w, h, s.x0, s.y0, nullptr, 0, 0, frames.size() + 1));
    }
    return frames;
  }
  const Source& s = kDeltaBackground[sizeIndex];
  const Photo& p = LoadPhoto(s.name);
  const Photo& cat = LoadPhoto("chelsea.png");
  if (p.width < s.x0 + w || p.height < s.y0 + h || cat.width < 200 || cat.height < 150) return {};
  const Photo object = Patch(cat, 150 - w / 10, 60, w / 5);
  for (int i = 0; i < kDeltaFrames; ++i)
    frames.push_back(Frame(p, w, h, s.x0, s.y0, &object, w / 10 + 3 * i, h / 4 + 2 * i, 100 + i));
  return frames;
}

// --- our codec -------------------------------------------------------------------

struct Encoded {
  std::vector<std::vector<uint8_t>> frames;  // for delta: the key frame first
  double bitsPerPixel = 0, psnr = 0;         // means over the timed frames
};

// Codes every frame once and measures what the timed loop will code: for
// delta the frames after the first.
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
      out.bitsPerPixel += 8.0 * static_cast<double>(f.size()) / (copy.Width() * copy.Height());
      out.psnr += tw::scenes::Psnr(pictures[i], decoded);
    }
  }
  const double n = content == kDelta ? static_cast<double>(pictures.size() - 1) : static_cast<double>(pictures.size());
  out.bitsPerPixel /= n;
  out.psnr /= n;
  return out;
}

struct Case {
  int sizeIndex, quality;
  Content content;
  std::vector<Bitmap> pictures;
  Encoded ours;
};

// Frames and our figures, made once per case and shared by every benchmark.
const Case* GetCase(benchmark::State& state) {
  static std::map<std::tuple<int64_t, int64_t, int64_t>, Case> cache;
  const auto key = std::make_tuple(state.range(0), state.range(1), state.range(2));
  auto it = cache.find(key);
  if (it == cache.end()) {
    Case c{static_cast<int>(state.range(0)), static_cast<int>(state.range(1)), static_cast<Content>(state.range(2)),
           {}, {}};
    c.pictures = Frames(c.sizeIndex, c.content);
    if (!c.pictures.empty()) c.ours = EncodeAll(c.pictures, c.quality, c.content);
    it = cache.emplace(key, std::move(c)).first;
  }
  if (it->second.pictures.empty()) {
    state.SkipWithError("photographs missing: run scripts/fetch-bench-photos.sh");
    return nullptr;
  }
  return &it->second;
}

std::string Label(const Case& c) {
  const auto [w, h] = kSizes[static_cast<size_t>(c.sizeIndex)];
  return std::to_string(w) + "x" + std::to_string(h) + " q" + std::to_string(c.quality) + " " +
         kContentName[c.content];
}

void Report(benchmark::State& state, double bitsPerPixel, double psnr, int frames) {
  state.counters["bpp"] = bitsPerPixel;
  state.counters["PSNR"] = psnr;
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void BM_Encode(benchmark::State& state) {
  const Case* c = GetCase(state);
  if (!c) return;
  std::vector<Bitmap> pictures = c->pictures;
  tw::CVienco encoder;
  encoder.SetQuality(c->quality);
  encoder.Encode(pictures[0], false);
  size_t i = 0;
  int frames = 0;
  for (auto _ : state) {
    i = (i + 1) % pictures.size();
    if (c->content == kDelta && i == 0) i = 1;
    benchmark::DoNotOptimize(encoder.Encode(pictures[i], c->content == kDelta).data());
    ++frames;
  }
  state.SetLabel(Label(*c));
  Report(state, c->ours.bitsPerPixel, c->ours.psnr, frames);
}

void BM_Decode(benchmark::State& state) {
  const Case* c = GetCase(state);
  if (!c) return;
  tw::CVideco decoder;
  Bitmap out;
  decoder.Decode(out, c->ours.frames[0]);
  const size_t first = c->content == kDelta ? 1 : 0;
  size_t i = first;
  int frames = 0;
  for (auto _ : state) {
    decoder.Decode(out, c->ours.frames[i]);
    benchmark::DoNotOptimize(out.Bits().data());
    if (++i == c->ours.frames.size()) i = first;
    ++frames;
  }
  state.SetLabel(Label(*c));
  Report(state, c->ours.bitsPerPixel, c->ours.psnr, frames);
}

void BM_EncodeDecode(benchmark::State& state) {
  const Case* c = GetCase(state);
  if (!c) return;
  std::vector<Bitmap> pictures = c->pictures;
  tw::CVienco encoder;
  tw::CVideco decoder;
  encoder.SetQuality(c->quality);
  Bitmap out;
  decoder.Decode(out, encoder.Encode(pictures[0], false));
  size_t i = 0;
  int frames = 0;
  for (auto _ : state) {
    i = (i + 1) % pictures.size();
    if (c->content == kDelta && i == 0) i = 1;
    decoder.Decode(out, encoder.Encode(pictures[i], c->content == kDelta));
    benchmark::DoNotOptimize(out.Bits().data());
    ++frames;
  }
  state.SetLabel(Label(*c));
  Report(state, c->ours.bitsPerPixel, c->ours.psnr, frames);
}

// --- libjpeg-turbo at matched PSNR --------------------------------------------------

#ifdef TW_HAVE_TURBOJPEG
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
                &buf, &size, TJSAMP_444, quality, TJFLAG_NOREALLOC | TJFLAG_BOTTOMUP);
    return size;
  }
  void Decompress(unsigned long size, Bitmap& out) { Decompress(jpeg.data(), size, out); }  // NOLINT(runtime/int)
  void Decompress(const unsigned char* data, unsigned long size, Bitmap& out) {  // NOLINT(runtime/int)
    tjDecompress2(decompressor, data, size, out.Bits().data(), out.Width(), static_cast<int>(out.Stride()),
                  out.Height(), TJPF_BGRX, TJFLAG_BOTTOMUP);
  }
};

struct JpegFigures {
  int quality = 0;
  double bitsPerPixel = 0, psnr = 0;
};

// The frames JPEG codes: the same ones our timed loop codes.
std::vector<const Bitmap*> TimedFrames(const Case& c) {
  std::vector<const Bitmap*> frames;
  for (size_t i = c.content == kDelta ? 1 : 0; i < c.pictures.size(); ++i) frames.push_back(&c.pictures[i]);
  return frames;
}

JpegFigures MeasureJpeg(const Case& c, int quality) {
  TurboJpeg tj;
  const auto frames = TimedFrames(c);
  Bitmap out(frames[0]->Width(), frames[0]->Height(), PixelFormat::pf32bit);
  JpegFigures f{quality, 0, 0};
  for (const Bitmap* p : frames) {
    const auto size = tj.Compress(*p, quality);
    tj.Decompress(size, out);
    f.bitsPerPixel += 8.0 * static_cast<double>(size) / (p->Width() * p->Height());
    f.psnr += tw::scenes::Psnr(*p, out);
  }
  f.bitsPerPixel /= static_cast<double>(frames.size());
  f.psnr /= static_cast<double>(frames.size());
  return f;
}

// The smallest JPEG quality whose mean PSNR reaches ours (PSNR rises with
// the quality, so a bisection finds it).
const JpegFigures& MatchedJpeg(const Case& c) {
  static std::map<const Case*, JpegFigures> cache;
  auto it = cache.find(&c);
  if (it != cache.end()) return it->second;
  int lo = 1, hi = 100;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    if (MeasureJpeg(c, mid).psnr >= c.ours.psnr)
      hi = mid;
    else
      lo = mid + 1;
  }
  return cache.emplace(&c, MeasureJpeg(c, lo)).first->second;
}

void BM_TurboJpeg(benchmark::State& state, bool compress, bool decompress) {
  const Case* c = GetCase(state);
  if (!c) return;
  const JpegFigures& matched = MatchedJpeg(*c);
  const auto frames = TimedFrames(*c);
  TurboJpeg tj;
  Bitmap out(frames[0]->Width(), frames[0]->Height(), PixelFormat::pf32bit);
  // Decompressing alone goes through every frame in turn, as our decoder
  // does, from files coded beforehand.
  std::vector<std::vector<unsigned char>> coded;
  if (!compress)
    for (const Bitmap* f : frames) {
      const auto length = static_cast<std::ptrdiff_t>(tj.Compress(*f, matched.quality));
      coded.emplace_back(tj.jpeg.begin(), tj.jpeg.begin() + length);
    }
  size_t i = 0;
  int n = 0;
  auto size = tj.Compress(*frames[0], matched.quality);
  for (auto _ : state) {
    i = (i + 1) % frames.size();
    if (compress) size = tj.Compress(*frames[i], matched.quality);
    if (decompress && compress) tj.Decompress(size, out);
    if (!compress) tj.Decompress(coded[i].data(), coded[i].size(), out);
    benchmark::DoNotOptimize(out.Bits().data());
    ++n;
  }
  state.SetLabel(Label(*c) + " jpeg q" + std::to_string(matched.quality));
  Report(state, matched.bitsPerPixel, matched.psnr, n);
}

void BM_TurboJpegCompress(benchmark::State& state) { BM_TurboJpeg(state, true, false); }
void BM_TurboJpegDecompress(benchmark::State& state) { BM_TurboJpeg(state, false, true); }
void BM_TurboJpegRoundTrip(benchmark::State& state) { BM_TurboJpeg(state, true, true); }
#endif

// --- interleaved runs and the summary ------------------------------------------------

// For every case and stage the two codecs run back to back in the order ours,
// JPEG, JPEG, ours (ABBA), and each codec's figure is the mean of its two runs:
// a drift of the shared machine's speed over the four runs cancels out of
// the ratio. Runs of one case and stage stay within seconds of each other.
enum Codec { kOurs = 0, kJpeg = 1 };
constexpr const char* kCodecName[] = {"ours", "jpeg"};

struct Stage {
  const char* name;
  void (*ours)(benchmark::State&);
  void (*jpeg)(benchmark::State&);
};

#ifdef TW_HAVE_TURBOJPEG
constexpr Stage kStages[] = {{"encode", BM_Encode, BM_TurboJpegCompress},
                             {"decode", BM_Decode, BM_TurboJpegDecompress},
                             {"roundtrip", BM_EncodeDecode, BM_TurboJpegRoundTrip}};
constexpr Codec kOrder[] = {kOurs, kJpeg, kJpeg, kOurs};
#else
constexpr Stage kStages[] = {{"encode", BM_Encode, nullptr},
                             {"decode", BM_Decode, nullptr},
                             {"roundtrip", BM_EncodeDecode, nullptr}};
constexpr Codec kOrder[] = {kOurs};
#endif
constexpr size_t kStageCount = std::size(kStages);

struct CaseKey {
  int size, quality, content;
  auto operator<=>(const CaseKey&) const = default;
};

// What one case's runs gave: the codecs' coding figures and, per stage and
// codec, the time per frame of each run.
struct CaseFigures {
  std::string label;
  double bitsPerPixel[2] = {}, psnr[2] = {};
  std::string jpegQuality;
  std::vector<double> microseconds[kStageCount][2];
};

// --- a talk's start -------------------------------------------------------------

// What a new sender costs the receiver, and a new talk the sender: a codec
// constructed and its first frame (a 320x240 key frame) coded or decoded.
void BM_DecoderStart(benchmark::State& state) {
  Bitmap source = tw::scenes::Scene(320, 240, 0, 0);
  tw::CVienco encoder;
  const auto coded = encoder.Encode(source, false);
  const std::vector<uint8_t> frame(coded.begin(), coded.end());
  Bitmap picture;
  for (auto _ : state) {
    tw::CVideco decoder;
    decoder.Decode(picture, frame);
    benchmark::DoNotOptimize(picture.ScanLine(0));
  }
}
BENCHMARK(BM_DecoderStart)->Name("start/decoder_320x240")->Unit(benchmark::kMicrosecond);

void BM_EncoderStart(benchmark::State& state) {
  Bitmap source = tw::scenes::Scene(320, 240, 0, 0);
  for (auto _ : state) {
    tw::CVienco encoder;
    benchmark::DoNotOptimize(encoder.Encode(source, false).data());
  }
}
BENCHMARK(BM_EncoderStart)->Name("start/encoder_320x240")->Unit(benchmark::kMicrosecond);

struct RunSlot {
  CaseKey key;
  size_t stage;
  Codec codec;
};

std::map<std::string, RunSlot>& Slots() {  // by registered name
  static std::map<std::string, RunSlot> slots;
  return slots;
}

void RegisterInterleaved() {
  for (int size = 0; size < static_cast<int>(kSizes.size()); ++size)
    for (int quality : {1, 3, 5})
      for (int content : {kKey, kDelta})
        for (size_t stage = 0; stage < kStageCount; ++stage)
          for (size_t turn = 0; turn < std::size(kOrder); ++turn) {
            const Codec codec = kOrder[turn];
            const auto [w, h] = kSizes[static_cast<size_t>(size)];
            const std::string name = std::string(kStages[stage].name) + "/" + std::to_string(w) + "x" +
                                     std::to_string(h) + "_q" + std::to_string(quality) + "_" +
                                     kContentName[content] + "/" + kCodecName[codec] + "#" + std::to_string(turn + 1);
            Slots()[name] = {{size, quality, content}, stage, codec};
            benchmark::RegisterBenchmark(name.c_str(), codec == kOurs ? kStages[stage].ours : kStages[stage].jpeg)
                ->Args({size, quality, content})
                ->ArgNames({"size", "quality", "content"})
                ->MinTime(0.25)
                ->Unit(benchmark::kMicrosecond);
          }
}

// The console output as usual, and every run's figures kept for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto slot = Slots().find(run.run_name.function_name);
      if (run.error_occurred || slot == Slots().end()) continue;
      const RunSlot& s = slot->second;
      CaseFigures& f = cases_[s.key];
      f.label = run.report_label;
      if (s.codec == kJpeg) f.jpegQuality = run.report_label.substr(run.report_label.rfind(' ') + 1);
      f.bitsPerPixel[s.codec] = run.counters.at("bpp").value;
      f.psnr[s.codec] = run.counters.at("PSNR").value;
      f.microseconds[s.stage][s.codec].push_back(run.GetAdjustedRealTime());
    }
  }

  void PrintSummary() const {
    if (cases_.empty()) return;
    std::printf("\nSummary: times per frame are each codec's mean over its runs in the order ours, JPEG, JPEG, ours;\n"
                "'x' is JPEG's time over ours (above 1: ours is faster). Bits: what JPEG needs for the same PSNR,\n"
                "beside ours (negative: JPEG needs fewer bits).\n");
    std::printf("%-16s %8s %8s %9s %8s %9s", "case", "PSNR", "bpp", "jpeg", "bpp", "bits");
    for (const Stage& stage : kStages) std::printf("  %-22s", (std::string(stage.name) + " us ours/jpeg").c_str());
    std::printf("\n");
    double fewest = 0;
    std::string fewestCase;
    for (const auto& [key, f] : cases_) {
      const double bits = f.bitsPerPixel[kOurs] > 0 ? f.bitsPerPixel[kJpeg] / f.bitsPerPixel[kOurs] - 1 : 0;
      std::printf("%-16s %8.2f %8.3f %9s %8.3f %+8.1f%%", f.label.substr(0, f.label.find(" jpeg")).c_str(),
                  f.psnr[kOurs], f.bitsPerPixel[kOurs], f.jpegQuality.c_str(), f.bitsPerPixel[kJpeg], 100 * bits);
      for (size_t stage = 0; stage < kStageCount; ++stage) {
        const double ours = Mean(f.microseconds[stage][kOurs]), jpeg = Mean(f.microseconds[stage][kJpeg]);
        std::printf("  %8.0f/%-7.0f %5.2fx", ours, jpeg, ours > 0 ? jpeg / ours : 0);
      }
      std::printf("\n");
      if (!f.jpegQuality.empty() && bits < fewest) fewest = bits, fewestCase = f.label;
    }
    if (!fewestCase.empty())
      std::printf("At the same PSNR JPEG needs up to %.0f%% fewer bits than our codec (%s: ours needs %.0f%% more).\n",
                  -100 * fewest, fewestCase.c_str(), 100 * (1 / (1 + fewest) - 1));
  }

 private:
  static double Mean(const std::vector<double>& v) {
    double sum = 0;
    for (double x : v) sum += x;
    return v.empty() ? 0 : sum / static_cast<double>(v.size());
  }

  std::map<CaseKey, CaseFigures> cases_;
};

}  // namespace

int main(int argc, char** argv) {
  RegisterInterleaved();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary();
  benchmark::Shutdown();
  return 0;
}
