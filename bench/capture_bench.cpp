// Capture path costs at 640 x 480: a camera sample through the graph (colour
// converter when needed, sample grabber, copy into the frame bitmap) to the
// frame handler; the YUYV conversion alone; the synthetic camera's own
// pattern; and the CPU that a running capture takes at 16 frames per second.
#include <benchmark/benchmark.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "Libraries/DSKit/DSKit.h"
#include "platform/dshow/camera.h"
#include "platform/dshow/convert.h"
#include "platform/dshow/internal.h"
#include "video/uCapture.h"

namespace {

using namespace tw;
using namespace tw::dshow;

constexpr int kWidth = 640;
constexpr int kHeight = 480;

double CpuSeconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

MediaType TypeOf(const GUID& subtype) {
  const int bits = subtype == MEDIASUBTYPE_RGB24 ? 24 : subtype == MEDIASUBTYPE_RGB32 ? 32 : 16;
  return MediaType::Video(subtype, kWidth, kHeight, bits, 625'000);
}

// Sample to frame handler: a capture graph over a camera of `subtype`, its
// source pin fed directly from this thread (the camera is not running), the
// grabber's handler doing what the capture form's does.
void BM_SampleToOnFrame(benchmark::State& state, GUID subtype) {
  const MediaType type = TypeOf(subtype);
  SyntheticCamera::Options cam;
  cam.types = {type};
  SetSyntheticCameras({cam});
  SetV4l2Io(nullptr);
  {
    dskit::TFilterGraph graph;
    dskit::TSampleGrabber grabber;
    dskit::TFilter source;
    dskit::TVideoWindow window;
    graph.SetMode(dskit::gmCapture);
    grabber.SetFilterGraph(&graph);
    source.SetFilterGraph(&graph);
    window.SetFilterGraph(&graph);
    dskit::TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    source.BaseFilter().StoreMoniker(devices.MonikerAt(0).Get());
    graph.SetActive(true);
    ComPtr<IBaseFilter> src, grab, render;
    source.QueryInterface(IBaseFilter::kIid, src.OutVoid());
    grabber.QueryInterface(IBaseFilter::kIid, grab.OutVoid());
    window.QueryInterface(IBaseFilter::kIid, render.OutVoid());
    graph.As<ICaptureGraphBuilder2>()->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, src.Get(), grab.Get(),
                                                     render.Get());
    win32::Bitmap frameBitmap(0, 0, win32::PixelFormat::pf16bit);
    uint64_t frames = 0;
    grabber.OnBuffer = [&](dskit::TSampleGrabber& g, double, const uint8_t* buffer, int32_t length) {
      g.CopyFrameToBitmap(frameBitmap, buffer, length);
      if (frameBitmap.Format() != win32::PixelFormat::pf24bit) frameBitmap.SetPixelFormat(win32::PixelFormat::pf24bit);
      benchmark::DoNotOptimize(frameBitmap.Bits().data());
      ++frames;
    };
    detail::PinBase* out = detail::FilterOf(src.Get())->Pins().front();
    const std::vector<uint8_t> sample = SyntheticCamera::RenderFrame(type.Get(), 1);
    for (auto _ : state) out->Deliver(detail::Sample{0, 625'000, sample.data(), sample.size()});
    if (frames != static_cast<uint64_t>(state.iterations())) state.SkipWithError("frames were lost");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * sample.size()));
  }
  ResetSyntheticCameras();
  SetV4l2Io(SystemV4l2Io());
}
BENCHMARK_CAPTURE(BM_SampleToOnFrame, rgb24_copy, MEDIASUBTYPE_RGB24)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SampleToOnFrame, rgb32_converted, MEDIASUBTYPE_RGB32)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_SampleToOnFrame, yuy2_converted, MEDIASUBTYPE_YUY2)->Unit(benchmark::kMicrosecond);

void BM_ConvertYuyvToRgb24(benchmark::State& state) {
  const std::vector<uint8_t> yuyv = SyntheticCamera::RenderFrame(TypeOf(MEDIASUBTYPE_YUY2).Get(), 3);
  std::vector<uint8_t> rgb(static_cast<size_t>(kWidth) * 3 * kHeight);
  for (auto _ : state) {
    ConvertToRgb24(MEDIASUBTYPE_YUY2, yuyv.data(), yuyv.size(), kWidth, kHeight, rgb.data(), rgb.size());
    benchmark::DoNotOptimize(rgb.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * yuyv.size()));
}
BENCHMARK(BM_ConvertYuyvToRgb24)->Unit(benchmark::kMicrosecond);

void BM_ConvertRgb32ToRgb24(benchmark::State& state) {
  const std::vector<uint8_t> rgb32 = SyntheticCamera::RenderFrame(TypeOf(MEDIASUBTYPE_RGB32).Get(), 3);
  std::vector<uint8_t> rgb(static_cast<size_t>(kWidth) * 3 * kHeight);
  for (auto _ : state) {
    ConvertToRgb24(MEDIASUBTYPE_RGB32, rgb32.data(), rgb32.size(), kWidth, kHeight, rgb.data(), rgb.size());
    benchmark::DoNotOptimize(rgb.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * rgb32.size()));
}
BENCHMARK(BM_ConvertRgb32ToRgb24)->Unit(benchmark::kMicrosecond);

// What the synthetic camera spends drawing a frame (a real camera does not).
void BM_SyntheticPattern(benchmark::State& state) {
  const MediaType type = TypeOf(MEDIASUBTYPE_RGB24);
  uint64_t n = 0;
  for (auto _ : state) benchmark::DoNotOptimize(SyntheticCamera::RenderFrame(type.Get(), n++));
}
BENCHMARK(BM_SyntheticPattern)->Unit(benchmark::kMicrosecond);

// A running capture form at 16 frames per second for 3 s: the process's CPU
// share, and the streaming thread's CPU per frame (pattern drawing included).
void BM_CapturePathCpuAt16Fps(benchmark::State& state) {
  SyntheticCamera::Options cam;
  cam.types = {TypeOf(MEDIASUBTYPE_RGB24)};
  SetSyntheticCameras({cam});
  SetV4l2Io(nullptr);
  for (auto _ : state) {
    video::TCapture capture;
    std::atomic<int> frames{0};
    std::atomic<double> threadCpu{0};
    capture.OnFrame = [&](video::TCapture&, win32::Bitmap& frame) {
      benchmark::DoNotOptimize(frame.Bits().data());
      threadCpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
      ++frames;
    };
    capture.EnumerateDevices();
    const double cpu0 = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto wall0 = std::chrono::steady_clock::now();
    capture.StartCapture();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    capture.StopCapture();
    const double cpu = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    state.counters["frames"] = frames.load();
    state.counters["cpu_percent"] = 100.0 * cpu / wall;
    state.counters["stream_us_per_frame"] = frames ? 1e6 * threadCpu.load() / frames.load() : 0;
  }
  ResetSyntheticCameras();
  SetV4l2Io(SystemV4l2Io());
}
BENCHMARK(BM_CapturePathCpuAt16Fps)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
