// SyntheticCamera: a moving test pattern on a streaming thread of its own.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/dshow/camera.h"
#include "platform/dshow/internal.h"

namespace tw::dshow {

namespace {

constexpr REFERENCE_TIME kSixteenFps = 625'000;

// Eight vertical bars (blue, green, red) that scroll 4 pixels a frame, and a
// 16 x 16 white square that moves one pixel a frame along the diagonal.
constexpr uint8_t kBars[8][3] = {{255, 255, 255}, {0, 255, 255}, {255, 255, 0}, {0, 255, 0},
                                 {255, 0, 255},   {0, 0, 255},   {255, 0, 0},   {0, 0, 0}};

int BarAt(int x, int width, uint64_t n) {
  const int shifted = static_cast<int>((static_cast<uint64_t>(x) + n * 4) % static_cast<uint64_t>(width));
  return shifted * 8 / width;
}

struct Square {
  int x, y, size;
};

Square SquareAt(int width, int height, uint64_t n) {
  const int size = std::min({16, width, height});
  return {static_cast<int>(n % static_cast<uint64_t>(std::max(1, width - size + 1))),
          static_cast<int>(n % static_cast<uint64_t>(std::max(1, height - size + 1))), size};
}

size_t StrideOf(int bits, int width) { return static_cast<size_t>(((bits * width + 31) / 32) * 4); }

void PutPixel(const GUID& subtype, uint8_t* p, const uint8_t bgr[3], int bar) {
  if (subtype == MEDIASUBTYPE_RGB24) {
    std::memcpy(p, bgr, 3);
  } else if (subtype == MEDIASUBTYPE_RGB32) {
    std::memcpy(p, bgr, 3);
    p[3] = 0;
  } else if (subtype == MEDIASUBTYPE_RGB555) {
    const unsigned v = (bgr[2] >> 3) << 10 | (bgr[1] >> 3) << 5 | bgr[0] >> 3;
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
  } else if (subtype == MEDIASUBTYPE_RGB565) {
    const unsigned v = (bgr[2] >> 3) << 11 | (bgr[1] >> 2) << 5 | bgr[0] >> 3;
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
  } else if (subtype == MEDIASUBTYPE_RGB8) {
    p[0] = static_cast<uint8_t>(bar);
  }
}

void RenderInto(const AM_MEDIA_TYPE& type, uint64_t n, std::vector<uint8_t>& out) {
  const BITMAPINFOHEADER* h = VideoHeaderOf(type);
  if (!h || h->biWidth <= 0 || h->biHeight == 0) {
    out.clear();
    return;
  }
  const int width = h->biWidth;
  const int height = std::abs(h->biHeight);
  const GUID& subtype = type.subtype;
  const bool yuyv = subtype == MEDIASUBTYPE_YUY2;
  const int bits = yuyv ? 16 : h->biBitCount;
  const size_t stride = yuyv ? static_cast<size_t>(width) * 2 : StrideOf(bits, width);
  out.assign(stride * static_cast<size_t>(height), 0);
  const bool topDown = yuyv || h->biHeight < 0;
  const int bytes = std::max(1, bits / 8);
  // One row of bars, then each row copied and the square drawn over it.
  std::vector<uint8_t> bars(stride, 0);
  for (int x = 0; x < width; ++x) {
    const int bar = BarAt(x, width, n);
    if (yuyv) {
      const uint8_t* c = kBars[bar];
      const int y = (66 * c[2] + 129 * c[1] + 25 * c[0] + 128) / 256 + 16;
      bars[static_cast<size_t>(x) * 2] = static_cast<uint8_t>(y);
      bars[static_cast<size_t>(x) * 2 + 1] = static_cast<uint8_t>(
          x % 2 == 0 ? (-38 * c[2] - 74 * c[1] + 112 * c[0] + 128) / 256 + 128
                     : (112 * c[2] - 94 * c[1] - 18 * c[0] + 128) / 256 + 128);
    } else {
      PutPixel(subtype, bars.data() + static_cast<size_t>(x) * bytes, kBars[bar], bar);
    }
  }
  const uint8_t white[3] = {255, 255, 255};
  const Square sq = SquareAt(width, height, n);
  for (int y = 0; y < height; ++y) {
    uint8_t* row = out.data() + static_cast<size_t>(topDown ? y : height - 1 - y) * stride;
    std::memcpy(row, bars.data(), stride);
    if (y < sq.y || y >= sq.y + sq.size) continue;
    for (int x = sq.x; x < sq.x + sq.size; ++x) {
      if (yuyv) row[static_cast<size_t>(x) * 2] = 235;
      else PutPixel(subtype, row + static_cast<size_t>(x) * bytes, white, 0);
    }
  }
}

REFERENCE_TIME FrameTimeOf(const AM_MEDIA_TYPE& mt) {
  REFERENCE_TIME t = 0;
  if (mt.pbFormat && mt.cbFormat >= 48) std::memcpy(&t, mt.pbFormat + 40, sizeof t);
  return t > 0 ? t : kSixteenFps;
}

}  // namespace

// Shared by the camera and its streaming thread, so a camera destroyed on its
// own streaming thread leaves the thread what it waits on until it ends.
struct SyntheticCamera::Stream {
  std::thread thread;
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
};

SyntheticCamera::SyntheticCamera(Options options) : options_(std::move(options)) {
  if (options_.types.empty()) options_.types = DefaultTypes();
}

SyntheticCamera::~SyntheticCamera() {
  Stop();
  // Destroyed on the streaming thread: the thread ends after this frame and
  // frees the stream it shares.
  if (stream_ && stream_->thread.joinable()) stream_->thread.detach();
}

std::vector<MediaType> SyntheticCamera::DefaultTypes() {
  std::vector<MediaType> types;
  for (const GUID* subtype : {&MEDIASUBTYPE_RGB24, &MEDIASUBTYPE_RGB32}) {
    const int bits = *subtype == MEDIASUBTYPE_RGB24 ? 24 : 32;
    for (auto [w, h] : {std::pair{320, 240}, {160, 120}, {176, 144}, {640, 480}})
      types.push_back(MediaType::Video(*subtype, w, h, bits, kSixteenFps));
  }
  return types;
}

std::vector<MediaType> SyntheticCamera::MediaTypes() { return options_.types; }

std::vector<uint8_t> SyntheticCamera::RenderFrame(const AM_MEDIA_TYPE& type, uint64_t n) {
  std::vector<uint8_t> out;
  RenderInto(type, n, out);
  return out;
}

HRESULT SyntheticCamera::Start(const MediaType& type, FrameSink& sink) {
  if (stream_) return VFW_E_WRONG_STATE;
  if (options_.failStart) return VFW_E_NO_CAPTURE_HARDWARE;
  if (!VideoHeaderOf(type.Get())) return VFW_E_INVALIDMEDIATYPE;
  auto s = std::make_shared<Stream>();
  const REFERENCE_TIME frameTime = FrameTimeOf(type.Get());
  const auto interval = options_.interval.count() >= 0 ? std::chrono::microseconds(options_.interval)
                                                       : std::chrono::microseconds(frameTime / 10);
  const int vanishAfter = options_.vanishAfterFrames;
  // The thread waits for Start to finish: its sink may destroy the camera
  // from the first frames, which must not happen while Start still runs.
  std::unique_lock starting(s->mutex);
  s->thread = std::thread([s, &sink, type, frameTime, interval, vanishAfter] {
    detail::StreamingThreadMark mark;
    { std::lock_guard started(s->mutex); }
    std::vector<uint8_t> frame;
    auto due = std::chrono::steady_clock::now();
    for (uint64_t n = 0;; ++n) {
      if (vanishAfter >= 0 && n == static_cast<uint64_t>(vanishAfter)) {
        sink.Lost();
        return;
      }
      RenderInto(type.Get(), n, frame);
      const REFERENCE_TIME start = static_cast<REFERENCE_TIME>(n) * frameTime;
      sink.Deliver(start, start + frameTime, frame);
      due += interval;
      std::unique_lock lock(s->mutex);
      if (s->wake.wait_until(lock, due, [&s] { return s->stop; })) return;
    }
  });
  stream_ = s;
  return com::S_OK;
}

void SyntheticCamera::Stop() {
  if (!stream_) return;
  {
    std::lock_guard lock(stream_->mutex);
    stream_->stop = true;
  }
  stream_->wake.notify_all();
  if (stream_->thread.get_id() == std::this_thread::get_id()) return;  // ends after this frame
  if (stream_->thread.joinable()) stream_->thread.join();
  stream_.reset();
}

}  // namespace tw::dshow
