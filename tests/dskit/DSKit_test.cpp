// The graph components over the media-graph layer: the graph's register and
// notices, capture graphs with and without a converter, the grabber's frames
// and bitmaps, graph events through the event window, the video window.
#include "Libraries/DSKit/DSKit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/guid.h"
#include "platform/dshow/convert.h"
#include "platform/shell/canvas.h"
#include "platform/shell/dialog.h"
#include "tests/support/temp_folder.h"
#include "tests/support/thrown.h"
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
  graph.SetMode(gmDVD);  // the navigator's builder makes the graph manager
  EXPECT_TRUE(graph.Active());
  EXPECT_TRUE(graph.As<IDvdGraphBuilder>());
  EXPECT_TRUE(graph.As<IDvdInfo2>());  // through the builder's navigator
  EXPECT_TRUE(graph.As<IMediaControl>());
  graph.SetActive(false);
  ASSERT_TRUE(SetClassRegistered(CLSID_DvdGraphBuilder, false));
  EXPECT_THROW(graph.SetActive(true), EDirectShowException);
  SetClassRegistered(CLSID_DvdGraphBuilder, true);
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

  explicit CaptureGraph(bool record = true, bool activate = true) {
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
    if (activate) graph.SetActive(true);
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

// With a failure hook, what the graph (on its thread) and the grabber (on
// the streaming thread) catch reaches the hook with the step that caught it;
// without one, the grabber's failure goes to the layer's report hook.
TEST_F(GraphTest, WhatTheGraphAndTheGrabberCatchIsReportedWithItsStep) {
  for (const tw::test::Thrown& c : tw::test::ThrownKinds()) {
    auto cam = Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)});
    cam.vanishAfterFrames = 2;
    UseCameras({cam});
    std::mutex mutex;
    std::vector<std::string> reports;
    auto collect = [&](const std::string& text) {
      std::lock_guard lock(mutex);
      reports.push_back(text);
    };
    auto count = [&] {
      std::lock_guard lock(mutex);
      return reports.size();
    };
    {
      CaptureGraph g(false);
      g.graph.OnFailure = collect;
      g.grabber.OnFailure = collect;
      g.graph.OnGraphDeviceLost = [&](TFilterGraph&, com::IUnknown*, bool) { c.raise(); };
      g.grabber.OnBuffer = [&](TSampleGrabber&, double, const uint8_t*, int32_t) { c.raise(); };
      ASSERT_EQ(g.Render(), S_OK);
      ASSERT_TRUE(g.graph.RunGraph());
      EXPECT_TRUE(win32::RunUntil([&] { return count() == 3; }, 5000));
    }
    std::lock_guard lock(mutex);
    EXPECT_EQ(reports, (std::vector<std::string>{"TSampleGrabber.OnBuffer: " + c.what,
                                                 "TSampleGrabber.OnBuffer: " + c.what,
                                                 "TFilterGraph.DrainGraphEvents: " + c.what}));
  }

  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)})});
  std::vector<std::string> reports;
  g_reports = &reports;
  ReportHook previous = SetReportHook(&CollectReport);
  {
    CaptureGraph g(false);
    std::atomic<int> frames{0};
    g.grabber.OnBuffer = [&](TSampleGrabber&, double, const uint8_t*, int32_t) {
      if (++frames == 1) throw std::runtime_error("frame broke");
    };
    ASSERT_EQ(g.Render(), S_OK);
    ASSERT_TRUE(g.graph.RunGraph());
    while (frames < 2) std::this_thread::yield();
    ASSERT_TRUE(g.graph.StopGraph());
  }
  SetReportHook(previous);
  EXPECT_EQ(reports, (std::vector<std::string>{"frame broke"}));
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
  ASSERT_TRUE(SetClassRegistered(CLSID_VideoMixingRenderer9, false));
  window.SetMode(vmVMR);  // a machine without the mixing renderer
  EXPECT_EQ(window.Mode(), vmNormal);
  SetClassRegistered(CLSID_VideoMixingRenderer9, true);
  window.SetMode(vmVMR);
  EXPECT_EQ(window.Mode(), vmVMR);
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


// ---- Graph options: publishing, the log, the builder's questions, volume ----------------

std::vector<std::string> RunningNames() {
  ComPtr<IRunningObjectTable> table;
  GetRunningObjectTable(0, table.Out());
  std::vector<std::string> names;
  table->EnumRunningNames(&names);
  return names;
}

TEST_F(GraphTest, APublishedGraphCanBeFoundByItsNameWhileActive) {
  const size_t before = RunningNames().size();
  TFilterGraph graph;
  graph.SetGraphEdit(true);  // inactive: only stored
  EXPECT_EQ(graph.RotCookie(), 0u);
  EXPECT_EQ(RunningNames().size(), before);
  graph.SetActive(true);
  ASSERT_NE(graph.RotCookie(), 0u);
  const std::vector<std::string> names = RunningNames();
  ASSERT_EQ(names.size(), before + 1);
  char pid[16];
  std::snprintf(pid, sizeof pid, " pid %x", static_cast<unsigned>(GetCurrentProcessId()));
  EXPECT_EQ(names.back().rfind("!FilterGraph ", 0), 0u) << names.back();
  EXPECT_TRUE(names.back().ends_with(pid)) << names.back();

  // A viewer binds the name and reaches the very graph the component drives.
  const std::u16string item(names.back().begin() + 1, names.back().end());
  ComPtr<IMoniker> moniker;
  ASSERT_EQ(CreateItemMoniker(u"!", item.c_str(), moniker.Out()), S_OK);
  ComPtr<IFilterGraph2> found;
  ASSERT_EQ(moniker->BindToObject(nullptr, nullptr, IFilterGraph2::kIid, found.OutVoid()), S_OK);
  EXPECT_EQ(found, graph.As<IFilterGraph2>());
  found.Reset();

  graph.SetActive(false);  // revoked, but the wish stays for the next activation
  EXPECT_EQ(graph.RotCookie(), 0u);
  EXPECT_EQ(RunningNames().size(), before);
  EXPECT_TRUE(graph.GraphEdit());
  graph.SetActive(true);
  EXPECT_NE(graph.RotCookie(), 0u);
  graph.SetGraphEdit(false);
  EXPECT_EQ(graph.RotCookie(), 0u);
  EXPECT_EQ(RunningNames().size(), before);
  EXPECT_EQ(moniker->BindToObject(nullptr, nullptr, IFilterGraph2::kIid, found.OutVoid()), MK_E_UNAVAILABLE);
  EXPECT_EQ(UnregisterGraphFromRot(0x7FFFFFFF), com::E_INVALIDARG);  // names no registration
}

TEST_F(GraphTest, TheLogFileFollowsTheGraphAndAFileThatCannotBeMadeKeepsTheOldName) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB32, 16, 8, 32)})});
  test::TempFolder folder;
  const std::string first = folder.File("graph.log");
  const std::string second = folder.File("second.log");
  const std::string unmakeable = folder.File("no such folder/graph.log");
  CaptureGraph g(false);
  g.graph.SetActive(false);
  g.graph.SetLogFile(first);  // inactive: only the name
  EXPECT_EQ(folder.EntryCount(), 0u);
  g.graph.SetActive(true);
  ASSERT_EQ(g.Render(), S_OK);
  ASSERT_TRUE(g.graph.RunGraph());
  ASSERT_TRUE(g.graph.StopGraph());
  const std::string log = folder.Read("graph.log");
  for (const char* line : {"AddFilter ", "AddFilter Colour Converter\n", "Connect 0x00000000\n", "Run\n", "Stop\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;

  folder.Write("second.log", "old contents\n");
  g.graph.SetLogFile(second);  // emptied and written from now on
  EXPECT_EQ(g.graph.LogFile(), second);
  g.graph.SetLogFile(unmakeable);  // silently off; the name stays
  EXPECT_EQ(g.graph.LogFile(), second);
  g.graph.RunGraph();
  g.graph.StopGraph();
  EXPECT_EQ(folder.Read("second.log"), "");
  EXPECT_EQ(folder.Read("graph.log"), log);

  g.graph.SetActive(false);
  g.graph.SetLogFile(unmakeable);  // stored; the activation leaves the log off
  EXPECT_NO_THROW(g.graph.SetActive(true));
  EXPECT_EQ(g.graph.LogFile(), unmakeable);
}

TEST_F(GraphTest, TheBuilderAsksTheGraphsHandlersAboutTheConverterAndAnUnconnectablePin) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB32, 16, 8, 32)})});  // needs a converter before the grabber
  struct Case {
    bool select, createSecond, retry;
    HRESULT render;
    int selected, created, unable;
  };
  const Case cases[] = {
      {false, true, false, VFW_E_CANNOT_CONNECT, 1, 0, 1},  // refused at selection, not retried
      {true, false, true, VFW_E_CANNOT_CONNECT, 2, 2, 1},   // refused when made, retried once, refused again
      {true, true, true, S_OK, 2, 2, 1},                    // refused when made, accepted at the retry
  };
  for (const Case& c : cases) {
    CaptureGraph g(false);
    int selected = 0, created = 0, unable = 0;
    g.graph.OnSelectedFilter = [&](TFilterGraph&, IMoniker* moniker, const std::string& name, const GUID& clsid) {
      ++selected;
      EXPECT_TRUE(moniker);
      EXPECT_EQ(name, "Colour Converter");
      EXPECT_EQ(clsid, CLSID_ColourConverter);
      return c.select;
    };
    g.graph.OnCreatedFilter = [&](TFilterGraph&, IBaseFilter* filter, const GUID& clsid) {
      EXPECT_TRUE(filter);
      EXPECT_EQ(clsid, CLSID_ColourConverter);
      return ++created == 2 && c.createSecond;
    };
    TFilterGraph* owner = nullptr;
    g.graph.OnUnableToRender = [&](TFilterGraph& sender, IPin* pin) {
      ++unable;
      owner = &sender;
      ComPtr<IBaseFilter> filter;
      pin->QueryFilter(filter.Out());
      ComPtr<IBaseFilter> source;
      g.source.QueryInterface(IBaseFilter::kIid, source.OutVoid());
      EXPECT_EQ(filter, source);  // the capture pin that found no way to the grabber
      return c.retry;
    };
    EXPECT_EQ(g.Render(), c.render);
    EXPECT_EQ(selected, c.selected);
    EXPECT_EQ(created, c.created);
    EXPECT_EQ(unable, c.unable);
    EXPECT_EQ(owner, &g.graph);  // found from the pin through the graph's service
  }
}

TEST_F(GraphTest, TheBuilderCallbacksAreTheComponentsOwnInterfacesEvenWhileInactive) {
  TFilterGraph graph;
  EXPECT_TRUE(graph.As<IAMGraphBuilderCallback>());
  EXPECT_TRUE(graph.As<IAMFilterGraphCallback>());
  ComPtr<IServiceProvider> provider = graph.As<IServiceProvider>();
  ASSERT_TRUE(provider);
  void* object = nullptr;
  EXPECT_EQ(provider->QueryService(IServiceProvider::kIid, IServiceProvider::kIid, &object), com::E_NOINTERFACE);
  EXPECT_EQ(graph.As<IAMGraphBuilderCallback>()->SelectedFilter(nullptr), S_OK);  // no handler: go on
}

TEST_F(GraphTest, VolumeAndBalanceReachTheAudioRendererWhenWritten) {
  TFilterGraph graph;
  graph.SetVolume(5000);  // inactive: stored, sent nowhere
  graph.SetActive(true);
  void* object = nullptr;
  ASSERT_EQ(com::CoCreateInstance(CLSID_DSoundRender, nullptr, com::CLSCTX_INPROC_SERVER, IBaseFilter::kIid, &object),
            S_OK);
  ComPtr<IBaseFilter> renderer = ComPtr<IBaseFilter>::Attach(static_cast<IBaseFilter*>(object));
  ASSERT_EQ(graph.As<IFilterGraph>()->AddFilter(renderer.Get(), u"audio"), S_OK);
  ComPtr<IBasicAudio> audio = renderer.As<IBasicAudio>();
  LONG volume = 1, balance = 1;
  audio->get_Volume(&volume);
  EXPECT_EQ(volume, 0);  // nothing sent at activation

  struct Case {
    bool linear;
    int32_t volume, balance;
    LONG sentVolume, sentBalance;
  };
  const Case cases[] = {{true, 0, 0, -10000, 0},          {true, 1000, 1000, -2499, 7501},
                        {true, 5000, -1000, -752, -7501}, {true, 12000, -20000, 0, -10000},
                        {false, 5000, -1000, -5000, -1000}, {false, 0, 10000, -10000, 10000}};
  for (const Case& c : cases) {
    graph.SetLinearVolume(c.linear);
    graph.SetVolume(c.volume);
    graph.SetBalance(c.balance);
    audio->get_Volume(&volume);
    audio->get_Balance(&balance);
    EXPECT_EQ(volume, c.sentVolume) << c.volume;
    EXPECT_EQ(balance, c.sentBalance) << c.balance;
  }
  graph.SetLinearVolume(true);  // sends both again with the other mapping
  audio->get_Volume(&volume);
  audio->get_Balance(&balance);
  EXPECT_EQ(volume, -10000);
  EXPECT_EQ(balance, 10000);
}

// ---- Disc navigation events -------------------------------------------------------------

TEST(DiscEvents, TimeCodesDecodeTheirDigitsAndFrameRate) {
  struct Case {
    uint32_t code;
    TDVDTimeCode decoded;
  };
  // From the lowest byte: hours, minutes, seconds as BCD pairs; then frame
  // units, two bits of frame tens and two bits of frame-rate code.
  const Case cases[] = {{0x00000000, {0, 0, 0, 0, 0}},
                        {0x64592312, {12, 23, 59, 24, 25}},
                        {0xE9000000, {0, 0, 0, 29, 30}},
                        {0x80000000, {0, 0, 0, 0, 0}}};  // rate code 2 is no rate
  for (const Case& c : cases) EXPECT_EQ(TFilterGraph::DecodeTimeCode(c.code), c.decoded) << std::hex << c.code;
}

TEST_F(GraphTest, DiscEventsReachTheirHandlersAndTheNavigatorSaysThereIsNoDisc) {
  std::vector<std::string> reports;
  g_reports = &reports;
  ReportHook previous = SetReportHook(&CollectReport);
  {
    TFilterGraph graph;
    graph.SetMode(gmDVD);
    graph.SetActive(true);
    std::vector<std::string> seen;
    auto note = [&seen](std::string what) { seen.push_back(std::move(what)); };
    graph.OnDVDDomainTitle = [&](TFilterGraph&) { note("title domain"); };
    graph.OnDVDDomainStop = [&](TFilterGraph&) { note("stop domain"); };
    graph.OnDVDErrorIncompatibleDiscAndDecoderRegions = [&](TFilterGraph&) { note("regions"); };
    graph.OnDVDWarningRead = [&](TFilterGraph&) { note("read warning"); };
    graph.OnDVDButtonChange = [&](TFilterGraph&, LONG total, LONG current) {
      note("buttons " + std::to_string(total) + "," + std::to_string(current));
    };
    graph.OnDVDStillOn = [&](TFilterGraph&, bool noButton, LONG seconds) {
      note(std::string("still ") + (noButton ? "no button " : "button ") + std::to_string(seconds));
    };
    graph.OnDVDCurrentTime = [&](TFilterGraph&, const TDVDTimeCode& t) {
      note("time " + std::to_string(t.hours) + ":" + std::to_string(t.minutes) + "/" + std::to_string(t.frameRate));
    };
    graph.OnDVDPlaybackRateChange = [&](TFilterGraph&, float rate) { note("rate " + std::to_string(rate)); };
    graph.OnDVDCurrentHMSFTime = [&](TFilterGraph&, const TDVDHMSFTimeCode& hmsf, const TDVDTimeCode& t) {
      note("hmsf " + std::to_string(hmsf.hours) + ":" + std::to_string(hmsf.minutes) + ":" +
           std::to_string(hmsf.seconds) + "." + std::to_string(hmsf.frames) + " " + std::to_string(t.seconds));
    };
    graph.OnDVDKaraokeMode = [&](TFilterGraph&, bool played) { note(played ? "karaoke" : "no karaoke"); };
    graph.OnDVDSubpictureStreamChange = [&](TFilterGraph&, LONG n, com::DWORD lcid, const std::string& lang) {
      note("subpicture " + std::to_string(n) + " " + std::to_string(lcid) + " '" + lang + "'");
    };
    bool audioFired = false;
    graph.OnDVDAudioStreamChange = [&](TFilterGraph&, LONG, com::DWORD, const std::string&) { audioFired = true; };
    size_t all = 0;
    graph.OnDSEvent = [&](TFilterGraph&, LONG, LONG_PTR, LONG_PTR) { ++all; };

    struct Case {
      LONG code;
      LONG_PTR p1, p2;
    };
    const Case cases[] = {{257, 4, 0},          {257, 5, 0},         {257, 6, 0},  // 6: no such domain
                          {268, 8, 0},          {268, 9, 0},         {269, 6, 0},
                          {263, 12, 3},         {265, 1, 10},        {265, 0, 255},
                          {267, 0x00003201, 0}, {272, 5000, 0},      {282, 0x0A3B0201, 0x00560000},
                          {283, 0, 0},          {283, 2, 0},         {261, 1, 0},
                          {260, 0, 0}};  // no disc: the audio language cannot be asked, reported
    ComPtr<IMediaEventSink> sink = graph.As<IMediaEventSink>();
    for (const Case& c : cases) sink->Notify(c.code, c.p1, c.p2);
    ASSERT_TRUE(win32::RunUntil([&] { return all == std::size(cases); }, 5000));
    EXPECT_EQ(seen, (std::vector<std::string>{"title domain", "stop domain", "regions", "read warning", "buttons 12,3",
                                              "still no button 10", "still button 255", "time 1:32/0",
                                              "rate " + std::to_string(0.5f), "hmsf 1:2:59.10 56", "no karaoke",
                                              "karaoke", "subpicture 1 0 ''"}));
    EXPECT_FALSE(audioFired);
  }
  SetReportHook(previous);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "There is no disc in the drive. ($80040291).");
}

TEST(DiscEvents, LanguageNamesAreTheLocalesEnglishNames) {
  for (auto [lcid, name] : {std::pair<com::DWORD, const char*>{0x0409, "English"},
                            {0x0809, "English"},
                            {0x0407, "German"},
                            {0x040C, "French"},
                            {0, ""},
                            {0x03FF, ""}})
    EXPECT_EQ(EnglishLanguageName(lcid), name) << std::hex << lcid;
}

// ---- The video window with the mixing renderer ---------------------------------------------

// A capture graph whose window uses the mixing renderer in `mode`.
struct MixingGraph : CaptureGraph {
  explicit MixingGraph(TVMRVideoMode mode, bool activate = true) : CaptureGraph(false, false) {
    window.SetMode(vmVMR);
    window.VMROptions().SetMode(mode);
    if (activate) graph.SetActive(true);
  }
  std::vector<std::string> Calls() {
    ComPtr<IVideoWindowLog> log;
    window.QueryInterface(IVideoWindowLog::kIid, log.OutVoid());
    return log ? log->Calls() : std::vector<std::string>{};
  }
};

TEST_F(GraphTest, AWindowedMixingRendererIsConfiguredAtItsNoticesAndPlacedAtTheRunNotice) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)})});
  MixingGraph g(vmrWindowed);
  EXPECT_EQ(g.Calls(), (std::vector<std::string>{"SetRenderingMode 1", "SetNumberOfStreams 4", "SetRenderingPrefs 0",
                                                 "SetAspectRatioMode 1"}));
  EXPECT_EQ(g.window.VMROptions().Preferences(), 1 << vpForceMixer);  // the mixer request stays
  ASSERT_EQ(g.Render(), S_OK);
  ASSERT_TRUE(g.graph.RunGraph());
  g.graph.StopGraph();
  const std::vector<std::string> calls = g.Calls();
  ASSERT_EQ(calls.size(), 8u);
  EXPECT_EQ(calls[4], "put_Owner 77");
  EXPECT_EQ(calls[7], "SetWindowPosition 0,0,160,120");  // placed; caption and drain only for the plain renderer
  g.window.VMROptions().SetKeepAspectRatio(false);
  EXPECT_EQ(g.Calls().back(), "SetAspectRatioMode 0");
}

TEST_F(GraphTest, AWindowlessMixingRendererClipsToTheControlAndFollowsItsSize) {
  MixingGraph g(vmrWindowless);
  const std::string handle = std::to_string(g.window.Handle());
  EXPECT_EQ(g.Calls(), (std::vector<std::string>{"SetRenderingMode 2", "SetNumberOfStreams 4",
                                                 "SetVideoClippingWindow " + handle, "SetRenderingPrefs 0",
                                                 "SetVideoPosition - 0,0,160,120", "SetAspectRatioMode 1"}));
  ComPtr<IVMRWindowlessControl9> control;
  EXPECT_EQ(g.window.QueryInterface(IVMRWindowlessControl9::kIid, control.OutVoid()), S_OK);
  EXPECT_TRUE(control);
  ComPtr<IVideoWindow> window;
  EXPECT_EQ(g.window.QueryInterface(IVideoWindow::kIid, window.OutVoid()), com::E_NOINTERFACE);
  g.window.SetBounds(5, 6, 320, 240);
  EXPECT_EQ(g.Calls().back(), "SetVideoPosition - 0,0,320,240");
}

TEST_F(GraphTest, MixingOptionsRebuildTheRendererOnlyWhereTheyApply) {
  MixingGraph g(vmrWindowed);
  TVMROptions& o = g.window.VMROptions();
  o.SetPreferences(0xFF);  // rebuilt: the renderer keeps what it knows, the mixer request stays
  EXPECT_EQ(o.Preferences(), kVmr9PrefsMask | (1 << vpForceMixer));
  EXPECT_EQ(g.Calls()[2], "SetRenderingPrefs FB");
  o.SetPreferences(0);
  o.SetStreams(2);  // without the mixer request only a changed count is sent
  std::vector<std::string> calls = g.Calls();
  EXPECT_EQ(calls[1], "SetNumberOfStreams 2");
  o.SetStreams(4);
  calls = g.Calls();
  EXPECT_EQ(calls[1], "SetRenderingPrefs 0");

  g.window.SetMode(vmNormal);  // the plain renderer: options are only stored
  ComPtr<IBaseFilter> before = g.window.GetFilter();
  o.SetMode(vmrWindowless);
  o.SetStreams(9);
  EXPECT_EQ(g.window.GetFilter(), before);
  EXPECT_EQ(o.Streams(), 9u);
}

TEST_F(GraphTest, ARenderlessMixingRendererCannotJoinTheGraph) {
  MixingGraph g(vmrRenderless, false);
  try {
    g.graph.SetActive(true);
    FAIL() << "activated";
  } catch (const EDSKitException& e) {
    EXPECT_STREQ(e.what(), "Allocator class not set.");
  }
  EXPECT_FALSE(g.window.GetFilter());
}

// ---- The video window's messages, mouse and painting ---------------------------------------

// A container that records the menus it shows and puts the cursor where the test says.
struct ShellHost final : shell::DialogHost {
  int32_t ShowModal(const shell::DialogSpec&) override { return shell::IDCANCEL; }
  int32_t Popup(const shell::PopupMenu& menu, shell::Point at) override {
    popups.emplace_back(menu.items.size(), at);
    return 0;
  }
  shell::Point CursorPos() override { return cursor; }
  std::vector<std::pair<size_t, shell::Point>> popups;
  shell::Point cursor{1500, 900};
};

struct ScopedShellHost {
  ShellHost host;
  shell::DialogHost* previous = shell::SetDialogHost(&host);
  ~ScopedShellHost() { shell::SetDialogHost(previous); }
};

TEST_F(GraphTest, InFullScreenTheContextMenuAndTheMouseUseTheCursorPosition) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)})});
  ScopedShellHost shell;
  CaptureGraph g(false);
  ASSERT_EQ(g.Render(), S_OK);
  const shell::PopupMenu menu{{u"One", u"Two"}, true};
  const shell::PopupMenu manual{{u"One"}, false};
  constexpr win32::UINT WM_CONTEXTMENU = 0x007B;
  const win32::LPARAM at = (20 << 16) | 10;  // (10, 20) on the screen

  struct Case {
    bool fullScreen;
    const shell::PopupMenu* menu;
    win32::LRESULT result;
    std::optional<shell::Point> shownAt;
  };
  const Case cases[] = {{false, &menu, 1, shell::Point{10, 20}},
                        {false, nullptr, 0, std::nullopt},
                        {true, &menu, 1, shell::Point{1500, 900}},
                        {true, &manual, 0, std::nullopt},  // swallowed
                        {true, nullptr, 0, std::nullopt}};
  for (const Case& c : cases) {
    g.window.SetFullScreen(c.fullScreen);
    g.window.PopupMenu = c.menu;
    shell.host.popups.clear();
    EXPECT_EQ(g.window.WindowProc(WM_CONTEXTMENU, 0, at), c.result);
    if (c.shownAt) {
      ASSERT_EQ(shell.host.popups.size(), 1u);
      EXPECT_EQ(shell.host.popups[0].first, c.menu->items.size());
      EXPECT_EQ(shell.host.popups[0].second, *c.shownAt);
    } else {
      EXPECT_TRUE(shell.host.popups.empty());
    }
  }

  std::vector<std::string> mouse;
  g.window.OnMouseDown = [&](TVideoWindow&, int b, uint32_t, int x, int y) {
    mouse.push_back("down " + std::to_string(b) + " " + std::to_string(x) + "," + std::to_string(y));
  };
  g.window.OnMouseMove = [&](TVideoWindow&, uint32_t, int x, int y) {
    mouse.push_back("move " + std::to_string(x) + "," + std::to_string(y));
  };
  g.window.OnMouseUp = [&](TVideoWindow&, int b, uint32_t, int x, int y) {
    mouse.push_back("up " + std::to_string(b) + " " + std::to_string(x) + "," + std::to_string(y));
  };
  g.window.SetFullScreen(true);
  g.window.MouseDown(1, 0, 3, 4);
  g.window.MouseMove(0, 5, 6);
  g.window.SetFullScreen(false);
  g.window.MouseUp(1, 0, 7, 8);
  EXPECT_EQ(mouse, (std::vector<std::string>{"down 1 1500,900", "move 1500,900", "up 1 7,8"}));
}

TEST(VideoWindow, PaintingFillsTheControlInItsColourThenTellsTheOwner) {
  TVideoWindow window;
  window.Color = 0x102030;
  window.SetBounds(4, 5, 64, 48);
  shell::RecordingCanvas canvas;
  size_t opsWhenTold = 99;
  window.OnPaint = [&](TVideoWindow&) { opsWhenTold = canvas.ops.size(); };
  window.Paint(canvas);
  ASSERT_EQ(canvas.ops.size(), 1u);
  EXPECT_EQ(canvas.ops[0].kind, shell::RecordingCanvas::Op::Fill);
  EXPECT_EQ(canvas.ops[0].rect, (shell::Rect{0, 0, 64, 48}));
  EXPECT_EQ(canvas.brush, (shell::Color{shell::Color::Rgb, 0x102030}));
  EXPECT_EQ(opsWhenTold, 1u);
}

TEST_F(GraphTest, StylesKeptAtLoadingShapeTheRenderersWindow) {
  UseCameras({Camera("cam", {Video(MEDIASUBTYPE_RGB24, 16, 8, 24)})});
  CaptureGraph g(false);
  g.window.Style = 0x00C40000;   // caption and sizing frame
  g.window.ExStyle = 0x00000300;  // window and client edges
  g.window.Loaded();
  ASSERT_EQ(g.Render(), S_OK);
  g.window.SetFullScreen(false);
  g.window.SetFullScreen(true);
  ComPtr<IVideoWindowLog> log;
  g.window.QueryInterface(IVideoWindowLog::kIid, log.OutVoid());
  EXPECT_EQ(log->Calls(), (std::vector<std::string>{"put_Owner 77", "put_WindowStyle 44C40000", "put_WindowStyleEx 300",
                                                    "SetWindowPosition 0,0,160,120", "put_Owner 0",
                                                    "put_WindowStyle 0", "put_WindowStyleEx 0",
                                                    "SetWindowPosition 0,0,1920,1080"}));
}

TEST(FilterGraphLoading, AutoCreateActivatesAfterLoading) {
  for (bool autoCreate : {false, true}) {
    TFilterGraph graph;
    graph.AutoCreate = autoCreate;
    graph.Loaded();
    EXPECT_EQ(graph.Active(), autoCreate);
  }
}

}  // namespace
}  // namespace tw::dskit
