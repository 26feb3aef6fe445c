// The filter graph: its register and notices, reset, graph events through
// the event window and the reports of what it catches, publishing, the log,
// the builder's questions, volume, disc navigation events, loading; and a
// filter without a moniker.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/com/guid.h"
#include "tests/dskit/graph_rig.h"
#include "tests/support/temp_folder.h"
#include "tests/support/thrown.h"

namespace tw::dskit {
namespace {

using namespace graph_rig;

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

// A component that fails to leave the graph as the graph goes: the graph is
// destroyed all the same, and the failure reported.
TEST_F(GraphTest, AFailureWhileTheGraphGoesIsReportedWithItsStep) {
  struct FailsToLeave final : IGraphComponent {
    std::function<void()> raise;
    ComPtr<IBaseFilter> GetFilter() override { return nullptr; }
    std::string GetName() override { return "leaver"; }
    void NotifyFilter(int operation, int) override {
      if (operation == foRemoving) raise();
    }
    void GraphDestroyed(TFilterGraph&) override {}
  };
  for (const tw::test::Thrown& c : tw::test::ThrownKinds()) {
    std::vector<std::string> reports;
    FailsToLeave component;
    component.raise = c.raise;
    {
      TFilterGraph graph;
      graph.OnFailure = [&](const std::string& text) { reports.push_back(text); };
      graph.AttachComponent(component);
      graph.SetActive(true);
    }
    EXPECT_EQ(reports, std::vector<std::string>{"TFilterGraph.Destroy: " + c.what});
  }
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
