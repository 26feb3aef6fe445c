// The graph components over the media-graph layer: the graph's register and
// notices, capture graphs with and without a converter, the grabber's frames
// and bitmaps, graph events through the event window, the video window.
#include "Libraries/DSKit/DSKit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "platform/dshow/convert.h"
#include "tests/video/camera_fixture.h"

namespace tw::dskit {
namespace {

using namespace tw::dshow;
using testing::Camera;
using testing::Video;

// A component that records the notices it receives.
class RecordingComponent final : public IGraphComponent {
 public:
  std::vector<int> notices;
  TFilterGraph* destroyed = nullptr;
  ComPtr<IBaseFilter> GetFilter() override { return nullptr; }
  std::string GetName() override { return "recorder"; }
  void NotifyFilter(int operation, int param) override {
    EXPECT_EQ(param, 0);
    notices.push_back(operation);
  }
  void GraphDestroyed(TFilterGraph& graph) override { destroyed = &graph; }
};

class RecordingSink final : public IGraphEventSink {
 public:
  std::vector<std::pair<int, int>> control;
  std::vector<LONG> events;
  void HandleGraphEvent(LONG event, LONG_PTR, LONG_PTR) override { events.push_back(event); }
  void HandleControlEvent(int event, int param) override { control.emplace_back(event, param); }
  void GraphDestroyed(TFilterGraph&) override {}
};

class GraphTest : public testing::CameraFixture {};

TEST_F(GraphTest, ActivationCreatesTheObjectsOnceAndReachesThemByInterface) {
  TFilterGraph graph;
  graph.SetMode(gmCapture);
  EXPECT_FALSE(graph.As<ICaptureGraphBuilder2>());
  EXPECT_FALSE(graph.RunGraph());
  EXPECT_FALSE(graph.StopGraph());
  graph.SetActive(true);
  ComPtr<IFilterGraph2> manager = graph.As<IFilterGraph2>();
  ASSERT_TRUE(manager);
  EXPECT_TRUE(graph.As<ICaptureGraphBuilder2>());
  EXPECT_TRUE(graph.As<IMediaControl>());
  graph.SetActive(true);
  EXPECT_EQ(graph.As<IFilterGraph2>(), manager);
  EXPECT_TRUE(graph.StopGraph());
  graph.SetMode(gmNormal);
  EXPECT_FALSE(graph.As<ICaptureGraphBuilder2>());
  EXPECT_TRUE(graph.As<IMediaControl>());
  EXPECT_THROW(graph.SetMode(gmDVD), EDirectShowException);  // no DVD navigator here
  EXPECT_FALSE(graph.Active());
}

TEST_F(GraphTest, ComponentsAndSinksGetTheirNoticesInOrder) {
  RecordingComponent a, b;
  RecordingSink sink;
  {
    TFilterGraph graph;
    graph.AttachComponent(a);
    graph.AttachEventSink(sink);
    EXPECT_TRUE(a.notices.empty());
    graph.SetActive(true);
    EXPECT_EQ(a.notices, (std::vector<int>{0, 1}));
    graph.AttachComponent(b);
    EXPECT_EQ(b.notices, (std::vector<int>{0, 1}));
    graph.SetMode(gmCapture);  // rebuilt: every component leaves and joins again
    EXPECT_EQ(a.notices, (std::vector<int>{0, 1, 2, 3, 0, 1}));
    EXPECT_EQ(sink.control, (std::vector<std::pair<int, int>>{{7, 1}, {7, 0}, {7, 1}}));
    EXPECT_TRUE(graph.RunGraph());
    EXPECT_EQ(sink.control.back(), (std::pair{0, 0}));
    graph.DetachComponent(b);
    EXPECT_EQ(b.notices, (std::vector<int>{0, 1, 2, 3, 0, 1, 2, 3}));
    graph.DetachComponent(a);
    EXPECT_EQ(graph.ComponentCount(), 0u);
    graph.AttachComponent(a);
    EXPECT_EQ(graph.ComponentCount(), 1u);
  }
  EXPECT_NE(a.destroyed, nullptr);  // told that the graph went away
  EXPECT_EQ(b.destroyed, nullptr);
}

TEST_F(GraphTest, VolumeAndBalanceAreClamped) {
  TFilterGraph graph;
  graph.SetVolume(12000);
  graph.SetBalance(-20000);
  EXPECT_EQ(graph.Volume(), 10000);
  EXPECT_EQ(graph.Balance(), -10000);
}

// A capture graph as the capture form builds it, over one camera.
struct CaptureGraph {
  TFilterGraph graph;
  TSampleGrabber grabber;
  TFilter source;
  TVideoWindow window{77};
  std::vector<double> times;
  std::mutex mutex;

  explicit CaptureGraph(bool record = true) {
    graph.SetMode(gmCapture);
    if (record) {
      grabber.OnBuffer = [this](TSampleGrabber&, double t, const uint8_t*, int32_t) {
        std::lock_guard lock(mutex);
        times.push_back(t);
      };
    }
    grabber.SetFilterGraph(&graph);
    source.SetFilterGraph(&graph);
    window.SetFilterGraph(&graph);
    TSysDevEnum devices(CLSID_VideoInputDeviceCategory);
    source.BaseFilter().StoreMoniker(devices.MonikerAt(0).Get());
    graph.SetActive(true);
  }
  HRESULT Render() {
    ComPtr<IBaseFilter> src, grab, render;
    source.QueryInterface(IBaseFilter::kIid, src.OutVoid());
    grabber.QueryInterface(IBaseFilter::kIid, grab.OutVoid());
    window.QueryInterface(IBaseFilter::kIid, render.OutVoid());
    return graph.As<ICaptureGraphBuilder2>()->RenderStream(&PIN_CATEGORY_CAPTURE, nullptr, src.Get(), grab.Get(),
                                                           render.Get());
  }
  int FilterCount() { return TFilterList(graph.As<IFilterGraph>().Get()).Count(); }
  size_t Frames() {
    std::lock_guard lock(mutex);
    return times.size();
  }
};

TEST_F(GraphTest, SampleTimesStepByTheFrameTimeOnTheStreamingThread) {
  UseCameras({Camera("cam", {MediaType::Video(MEDIASUBTYPE_RGB24, 160, 120, 24, 625'000)})});
  CaptureGraph g;
  ASSERT_EQ(g.Render(), S_OK);
  EXPECT_EQ(g.FilterCount(), 3);  // no converter for RGB24
  ASSERT_TRUE(g.graph.RunGraph());
  while (g.Frames() < 4) std::this_thread::yield();
  ASSERT_TRUE(g.graph.StopGraph());
  for (size_t i = 0; i < 4; ++i) EXPECT_DOUBLE_EQ(g.times[i], 0.0625 * static_cast<double>(i));
}

TEST_F(GraphTest, ResetKeepsOnlyTheComponentsFiltersDisconnected) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB32, 160, 120, 32)})});
  CaptureGraph g(false);
  ASSERT_EQ(g.Render(), S_OK);
  EXPECT_EQ(g.FilterCount(), 4);  // a converter in front of the grabber
  EXPECT_TRUE(g.window.IsRendererConnected());
  g.graph.ResetGraph();
  EXPECT_EQ(g.FilterCount(), 3);
  EXPECT_FALSE(g.window.IsRendererConnected());
  TFilterList filters(g.graph.As<IFilterGraph>().Get());
  for (int i = 0; i < filters.Count(); ++i) {
    TPinList pins(filters.Filters(i).Get());
    for (int j = 0; j < pins.Count(); ++j) EXPECT_FALSE(pins.Connected(j));
  }
}

TEST_F(GraphTest, TheConverterTurnsYuyvIntoTheGrabbersRgb) {
  const MediaType yuyv = Video(MEDIASUBTYPE_YUY2, 64, 48, 16);
  UseCameras({Camera("cam", {yuyv})});
  CaptureGraph g(false);
  win32::Bitmap frame;
  std::atomic<bool> copied{false};
  g.grabber.OnBuffer = [&](TSampleGrabber& grabber, double, const uint8_t* buffer, int32_t length) {
    if (!copied && grabber.CopyFrameToBitmap(frame, buffer, length)) copied = true;
  };
  ASSERT_EQ(g.Render(), S_OK);
  ASSERT_TRUE(g.graph.RunGraph());
  while (!copied) std::this_thread::yield();
  g.graph.StopGraph();
  const std::vector<uint8_t> source = SyntheticCamera::RenderFrame(yuyv.Get(), 0);
  std::vector<uint8_t> expected(64 * 3 * 48);
  ConvertYuyvToRgb24(source.data(), 128, 64, 48, expected.data(), 192, true);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), frame.Bits().begin(), frame.Bits().end()));
}

TEST_F(GraphTest, CopyFrameToBitmapCopiesAtMostTheImageAndOnlyFromKnownBlocks) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 8, 2, 24)})});  // stride 24, image 48 bytes
  CaptureGraph g(false);
  ASSERT_EQ(g.Render(), S_OK);
  std::vector<uint8_t> buffer(100);
  for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i + 1);
  win32::Bitmap bmp;
  ASSERT_TRUE(g.grabber.CopyFrameToBitmap(bmp, buffer.data(), 100));  // longer: the image only
  EXPECT_TRUE(std::equal(bmp.Bits().begin(), bmp.Bits().end(), buffer.begin()));
  ASSERT_TRUE(g.grabber.CopyFrameToBitmap(bmp, buffer.data(), 10));  // shorter: its bytes only
  EXPECT_EQ(bmp.Bits()[9], 10);
  EXPECT_EQ(bmp.Bits()[10], 0);
  EXPECT_FALSE(g.grabber.CopyFrameToBitmap(bmp, buffer.data(), 0));
  EXPECT_EQ(bmp.Bits()[9], 10);  // untouched
  // Pull mode takes the grabber's buffered sample; none yet.
  EXPECT_FALSE(g.grabber.CopyFrameToBitmap(bmp, nullptr, 0));
}

TEST_F(GraphTest, ABlockWithColourMasksGivesNoPictureAndNoFrameEvent) {
  MediaType masked = Video(MEDIASUBTYPE_RGB24, 16, 8, 24);
  AM_MEDIA_TYPE& mt = masked.Get();
  auto* bigger = static_cast<uint8_t*>(CoTaskMemAlloc(100));
  std::memset(bigger, 0, 100);
  std::memcpy(bigger, mt.pbFormat, mt.cbFormat);
  CoTaskMemFree(mt.pbFormat);
  mt.pbFormat = bigger;
  mt.cbFormat = 100;
  UseCameras({Camera("cam", {masked})});
  CaptureGraph g(false);
  std::atomic<int> calls{0}, copies{0};
  g.grabber.OnBuffer = [&](TSampleGrabber& grabber, double, const uint8_t* buffer, int32_t length) {
    win32::Bitmap bmp;
    if (grabber.CopyFrameToBitmap(bmp, buffer, length)) ++copies;
    ++calls;
  };
  ASSERT_EQ(g.Render(), S_OK);
  ASSERT_TRUE(g.graph.RunGraph());
  while (calls < 3) std::this_thread::yield();
  g.graph.StopGraph();
  EXPECT_EQ(copies.load(), 0);
}

TEST_F(GraphTest, ADeviceThatVanishesIsReportedAsAGraphEventOnTheGraphsThread) {
  auto cam = Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)});
  cam.vanishAfterFrames = 2;
  UseCameras({cam});
  CaptureGraph g(false);
  RecordingSink sink;
  g.graph.AttachEventSink(sink);
  bool lost = false, removed = false;
  std::thread::id thread;
  g.graph.OnGraphDeviceLost = [&](TFilterGraph&, com::IUnknown* device, bool wasRemoved) {
    lost = device != nullptr;
    removed = wasRemoved;
    thread = std::this_thread::get_id();
  };
  ASSERT_EQ(g.Render(), S_OK);
  ASSERT_TRUE(g.graph.RunGraph());
  ASSERT_TRUE(win32::RunUntil([&] { return lost; }, 5000));
  EXPECT_TRUE(removed);
  EXPECT_EQ(thread, std::this_thread::get_id());
  EXPECT_EQ(sink.events, (std::vector<LONG>{EC_DEVICE_LOST}));
  g.graph.DetachEventSink(sink);
}

TEST_F(GraphTest, EachGraphEventReachesItsHandlerWithItsParametersDecoded) {
  TFilterGraph graph;
  graph.SetActive(true);
  std::vector<std::string> seen;
  auto note = [&seen](std::string what) { seen.push_back(std::move(what)); };
  graph.OnGraphComplete = [&](TFilterGraph&, HRESULT hr, IBaseFilter* r) {
    note("complete " + std::to_string(hr) + (r ? " r" : ""));
  };
  graph.OnGraphUserAbort = [&](TFilterGraph&) { note("user abort"); };
  graph.OnGraphErrorAbort = [&](TFilterGraph&, HRESULT hr) { note("error abort " + std::to_string(hr)); };
  graph.OnGraphStreamErrorStopped = [&](TFilterGraph&, LONG a, LONG b) {
    note("stopped " + std::to_string(a) + "," + std::to_string(b));
  };
  graph.OnGraphVideoSizeChanged = [&](TFilterGraph&, int w, int h) {
    note("size " + std::to_string(w) + "x" + std::to_string(h));
  };
  graph.OnGraphOpeningFile = [&](TFilterGraph&, bool opening) { note(opening ? "opening" : "opened"); };
  graph.OnGraphOleEvent = [&](TFilterGraph&, std::u16string a, std::u16string b) {
    note("ole " + std::to_string(a.size()) + "," + std::to_string(b.size()));
  };
  graph.OnGraphEndOfSegment = [&](TFilterGraph&, REFERENCE_TIME t, LONG n) {
    note("segment " + std::to_string(t) + "," + std::to_string(n));
  };
  graph.OnGraphDeviceLost = [&](TFilterGraph&, com::IUnknown*, bool removed) { note(removed ? "removed" : "back"); };
  graph.OnGraphSNDDevOutError = [&](TFilterGraph&, LONG a, LONG b) {
    note("sound out " + std::to_string(a) + "," + std::to_string(b));
  };
  size_t all = 0;
  graph.OnDSEvent = [&](TFilterGraph&, LONG, LONG_PTR, LONG_PTR) { ++all; };

  static const char16_t kName[] = u"name";
  static const REFERENCE_TIME kTime = 1'234'567'890'123;
  struct Case {
    LONG code;
    LONG_PTR p1, p2;
  };
  const Case cases[] = {{1, 0, 0},
                        {2, 0, 0},
                        {3, com::E_FAIL, 0},
                        {6, 4, 5},
                        {10, (240 << 16) | 320, 0},
                        {16, 1, 0},
                        {16, 0, 0},
                        {24, reinterpret_cast<LONG_PTR>(kName), 0},
                        {28, reinterpret_cast<LONG_PTR>(&kTime), 3},
                        {31, 0, 1},
                        {513, 7, 8},
                        {9999, 0, 0}};  // an unknown code reaches OnDSEvent only
  ComPtr<IMediaEventSink> sink = graph.As<IMediaEventSink>();
  for (const Case& c : cases) sink->Notify(c.code, c.p1, c.p2);
  ASSERT_TRUE(win32::RunUntil([&] { return all == std::size(cases); }, 5000));
  EXPECT_EQ(seen, (std::vector<std::string>{"complete 0", "user abort", "error abort " + std::to_string(com::E_FAIL),
                                            "stopped 4,5", "size 320x240", "opening", "opened", "ole 4,0",
                                            "segment 1234567890123,3", "back", "sound out 7,8"}));
}

std::vector<std::string>* g_reports = nullptr;
void CollectReport(const std::string& text) { g_reports->push_back(text); }

TEST_F(GraphTest, AFailingEventHandlerIsReportedNotRaised) {
  auto cam = Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)});
  cam.vanishAfterFrames = 0;
  UseCameras({cam});
  std::vector<std::string> reports;
  g_reports = &reports;
  ReportHook previous = SetReportHook(&CollectReport);
  {
    CaptureGraph g(false);
    g.graph.OnDSEvent = [](TFilterGraph&, LONG, LONG_PTR, LONG_PTR) { throw std::runtime_error("handler broke"); };
    ASSERT_EQ(g.Render(), S_OK);
    ASSERT_TRUE(g.graph.RunGraph());
    EXPECT_TRUE(win32::RunUntil([&] { return !reports.empty(); }, 5000));
  }
  SetReportHook(previous);
  EXPECT_EQ(reports, (std::vector<std::string>{"handler broke"}));
}

TEST_F(GraphTest, TheRunNoticePlacesTheRenderersWindowInTheParent) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)})});
  CaptureGraph g(false);
  ComPtr<IVideoWindowLog> log;
  g.window.QueryInterface(IVideoWindowLog::kIid, log.OutVoid());
  ASSERT_TRUE(log);
  g.graph.BroadcastControlEvent(0, 0);  // unconnected: nothing
  EXPECT_TRUE(log->Calls().empty());
  ASSERT_EQ(g.Render(), S_OK);
  ASSERT_TRUE(g.graph.RunGraph());
  g.graph.StopGraph();
  EXPECT_EQ(log->Calls(), (std::vector<std::string>{"put_Owner 77", "put_WindowStyle 44000000", "put_WindowStyleEx 0",
                                                    "SetWindowPosition 0,0,160,120",
                                                    "put_MessageDrain " + std::to_string(g.window.Handle())}));
  g.window.SetVisible(false);
  EXPECT_EQ(log->Calls().back(), "put_Visible 0");
}

TEST_F(GraphTest, FullScreenAskedBeforeTheRendererIsConnectedWaitsForTheRunNotice) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)})});
  CaptureGraph g(false);
  ComPtr<IVideoWindowLog> log;
  g.window.QueryInterface(IVideoWindowLog::kIid, log.OutVoid());
  g.window.SetFullScreen(true);
  g.window.SetFullScreenTopMost(true);
  EXPECT_TRUE(g.window.FullScreen());
  EXPECT_TRUE(log->Calls().empty());
  ASSERT_EQ(g.Render(), S_OK);
  ASSERT_TRUE(g.graph.RunGraph());
  g.graph.StopGraph();
  const std::vector<std::string> calls = log->Calls();
  ASSERT_GE(calls.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 4),
            (std::vector<std::string>{"put_Owner 0", "put_WindowStyle 0", "put_WindowStyleEx 8",
                                      "SetWindowPosition 0,0,1920,1080"}));
}

TEST(VideoWindow, DefaultsAndOptions) {
  TVideoWindow window;
  EXPECT_EQ(window.Width(), 160);
  EXPECT_EQ(window.Height(), 120);
  EXPECT_EQ(window.Color, 0u);
  EXPECT_TRUE(window.TabStop);
  TVMROptions& o = window.VMROptions();
  EXPECT_EQ(o.Streams(), 4u);
  EXPECT_EQ(o.Preferences(), 1 << vpForceMixer);
  EXPECT_EQ(o.Mode(), vmrWindowed);
  EXPECT_TRUE(o.KeepAspectRatio());
  for (auto [written, stored] : {std::pair{0u, 1u}, {17u, 1u}, {16u, 16u}, {1u, 1u}}) {
    o.SetStreams(written);
    EXPECT_EQ(o.Streams(), stored) << written;
  }
  window.SetMode(vmVMR);  // no mixing renderer on this platform
  EXPECT_EQ(window.Mode(), vmNormal);
}

TEST_F(GraphTest, AFilterWithoutAMonikerJoinsWithoutAFilter) {
  TFilterGraph graph;
  TFilter source;
  source.SetFilterGraph(&graph);
  graph.SetActive(true);
  ComPtr<IBaseFilter> filter;
  EXPECT_EQ(source.QueryInterface(IBaseFilter::kIid, filter.OutVoid()), com::E_NOINTERFACE);
  TSampleGrabber grabber;
  EXPECT_EQ(grabber.BufferCB(0.5, nullptr, 0), S_OK);  // no handler
}

}  // namespace
}  // namespace tw::dskit
