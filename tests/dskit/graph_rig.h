// What the graph components' tests share: components and sinks that record
// their notices, the camera fixture, and a capture graph as the capture form
// builds it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "Libraries/DSKit/DSKit.h"
#include "tests/video/camera_fixture.h"

namespace tw::dskit::graph_rig {

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

// Collects what reaches the layer's report hook (a plain function pointer).
inline std::vector<std::string>* g_reports = nullptr;
inline void CollectReport(const std::string& text) { g_reports->push_back(text); }

}  // namespace tw::dskit::graph_rig
