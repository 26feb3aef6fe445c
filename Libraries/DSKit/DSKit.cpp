#include "Libraries/DSKit/DSKit.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tw::dskit {

using namespace tw::dshow;

namespace {

constexpr win32::UINT kGraphNotify = win32::WM_APP + 1;  // 0x8001
constexpr int32_t WS_CHILD = 0x40000000;
constexpr int32_t WS_CLIPSIBLINGS = 0x04000000;
constexpr int32_t WS_CAPTION = 0x00C00000;
constexpr int32_t WS_THICKFRAME = 0x00040000;
constexpr int32_t WS_EX_TOPMOST = 0x00000008;
constexpr int32_t WS_EX_DLGMODALFRAME = 0x00000001;
constexpr int32_t WS_EX_WINDOWEDGE = 0x00000100;
constexpr int32_t WS_EX_CLIENTEDGE = 0x00000200;
constexpr int32_t WS_EX_STATICEDGE = 0x00020000;
constexpr int kScreenWidth = 1920;
constexpr int kScreenHeight = 1080;

template <class T>
void EraseOne(std::vector<T*>& list, T* item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it != list.end()) list.erase(it);
}

ComPtr<IUnknown> Create(const GUID& clsid, const GUID& iid) {
  void* object = nullptr;
  HRESULT hr = com::CoCreateInstance(clsid, nullptr, com::CLSCTX_INPROC_SERVER, iid, &object);
  RaiseOnFailure(hr);
  return ComPtr<IUnknown>::Attach(static_cast<IUnknown*>(object));
}

int32_t BalanceFromLinear(int32_t b) {
  const int32_t magnitude = static_cast<int32_t>(std::nearbyint(std::log(std::abs(b) + 1.0) * 1085.73));
  return b < 0 ? -magnitude : magnitude;
}

}  // namespace

// ---- TFilterGraph -----------------------------------------------------------------------

TFilterGraph::TFilterGraph() {
  eventWindow_ = win32::CreateMessageWindow([this](win32::HWND w, win32::UINT m, win32::WPARAM wp, win32::LPARAM lp) {
    return EventWindowProc(w, m, wp, lp);
  });
}

TFilterGraph::~TFilterGraph() {
  try {
    SetActive(false);
  } catch (const std::exception& e) {
    ReportError(e.what());
  }
  if (components_) {
    for (IGraphComponent* c : std::vector<IGraphComponent*>(*components_)) c->GraphDestroyed(*this);
  }
  if (eventSinks_) {
    for (IGraphEventSink* s : std::vector<IGraphEventSink*>(*eventSinks_)) s->GraphDestroyed(*this);
  }
  components_.reset();
  eventSinks_.reset();
  win32::DestroyWindow(eventWindow_);
}

void TFilterGraph::SetActive(bool active) {
  if (active == active_) return;
  if (active)
    Activate();
  else
    Deactivate();
}

void TFilterGraph::SetMode(TGraphMode mode) {
  if (mode == mode_) return;
  const bool wasActive = active_;
  SetActive(false);
  mode_ = mode;
  SetActive(wasActive);
}

void TFilterGraph::Activate() {
  try {
    switch (mode_) {
      case gmNormal:
        graphManager_ = Create(CLSID_FilterGraph, IFilterGraph2::kIid).As<IFilterGraph2>();
        break;
      case gmCapture:
        captureBuilder_ = Create(CLSID_CaptureGraphBuilder2, ICaptureGraphBuilder2::kIid).As<ICaptureGraphBuilder2>();
        graphManager_ = Create(CLSID_FilterGraph, IFilterGraph2::kIid).As<IFilterGraph2>();
        captureBuilder_->SetFiltergraph(graphManager_.Get());
        break;
      case gmDVD:
        RaiseOnFailure(com::REGDB_E_CLASSNOTREG);  // no DVD navigator on this platform
        break;
    }
    if (!graphManager_) RaiseOnFailure(com::E_NOINTERFACE);
  } catch (...) {
    graphManager_.Reset();
    captureBuilder_.Reset();
    throw;
  }
  active_ = true;
  if (ComPtr<IMediaEventEx> events = As<IMediaEventEx>()) {
    mediaEvents_ = events;
    mediaEvents_->SetNotifyFlags(0);
    mediaEvents_->SetNotifyWindow(eventWindow_, kGraphNotify, reinterpret_cast<LONG_PTR>(mediaEvents_.Get()));
  }
  graphManager_->SetLogFile(0);
  if (components_) {
    const size_t count = components_->size();
    for (size_t i = 0; i < count; ++i) {
      IGraphComponent* c = (*components_)[i];
      c->NotifyFilter(foAdding, 0);
      const std::string name = c->GetName();
      const std::u16string wide(name.begin(), name.end());
      if (ComPtr<IBaseFilter> f = c->GetFilter()) graphManager_->AddFilter(f.Get(), wide.c_str());
      c->NotifyFilter(foAdded, 0);
    }
  }
  if (OnActivate) OnActivate(*this);
  BroadcastControlEvent(7, 1);
}

void TFilterGraph::Deactivate() {
  BroadcastControlEvent(7, 0);
  if (components_) {
    for (IGraphComponent* c : std::vector<IGraphComponent*>(*components_)) {
      c->NotifyFilter(foRemoving, 0);
      if (ComPtr<IBaseFilter> f = c->GetFilter()) graphManager_->RemoveFilter(f.Get());
      c->NotifyFilter(foRemoved, 0);
    }
  }
  if (mediaEvents_) {
    mediaEvents_->SetNotifyFlags(AM_MEDIAEVENT_NONOTIFY);
    mediaEvents_.Reset();
  }
  graphManager_->SetLogFile(0);
  graphManager_.Reset();
  captureBuilder_.Reset();
  active_ = false;
}

HRESULT TFilterGraph::QueryInterface(const GUID& iid, void** object) {
  if (!object) return com::E_POINTER;
  *object = nullptr;
  if (!active_) return com::E_NOINTERFACE;
  if (mode_ == gmCapture && captureBuilder_ && com::SUCCEEDED(captureBuilder_->QueryInterface(iid, object)))
    return com::S_OK;
  return graphManager_->QueryInterface(iid, object);
}

void TFilterGraph::AttachComponent(IGraphComponent& component) {
  if (!components_) components_ = std::make_unique<std::vector<IGraphComponent*>>();
  components_->push_back(&component);
  if (!active_) return;
  component.NotifyFilter(foAdding, 0);
  const std::string name = component.GetName();
  const std::u16string wide(name.begin(), name.end());
  if (ComPtr<IBaseFilter> f = component.GetFilter()) graphManager_->AddFilter(f.Get(), wide.c_str());
  component.NotifyFilter(foAdded, 0);
}

void TFilterGraph::DetachComponent(IGraphComponent& component) {
  if (!components_) return;
  EraseOne(*components_, &component);
  if (active_) {
    component.NotifyFilter(foRemoving, 0);
    if (ComPtr<IBaseFilter> f = component.GetFilter()) graphManager_->RemoveFilter(f.Get());
    component.NotifyFilter(foRemoved, 0);
  }
  if (components_->empty()) components_.reset();
}

void TFilterGraph::AttachEventSink(IGraphEventSink& sink) {
  if (!eventSinks_) eventSinks_ = std::make_unique<std::vector<IGraphEventSink*>>();
  eventSinks_->push_back(&sink);
}

void TFilterGraph::DetachEventSink(IGraphEventSink& sink) {
  if (!eventSinks_) return;
  EraseOne(*eventSinks_, &sink);
  if (eventSinks_->empty()) eventSinks_.reset();
}

void TFilterGraph::BroadcastControlEvent(int event, int param) {
  if (!eventSinks_) return;
  for (IGraphEventSink* s : std::vector<IGraphEventSink*>(*eventSinks_)) s->HandleControlEvent(event, param);
}

bool TFilterGraph::RunGraph() {
  ComPtr<IMediaControl> control = As<IMediaControl>();
  if (!control) return false;
  BroadcastControlEvent(0, 0);
  RaiseOnFailure(control->Run());
  return true;
}

bool TFilterGraph::StopGraph() {
  ComPtr<IMediaControl> control = As<IMediaControl>();
  if (!control) return false;
  BroadcastControlEvent(2, 0);
  return RaiseOnFailure(control->Stop()) == com::S_OK;
}

void TFilterGraph::ResetGraph() {
  if (!graphManager_) return;
  StopGraph();
  DisconnectAllPins();
  TFilterList filters(graphManager_.Get());
  if (components_) {
    for (IGraphComponent* c : *components_) {
      if (ComPtr<IBaseFilter> f = c->GetFilter()) filters.Remove(f.Get());
    }
  }
  for (int i = 0; i < filters.Count(); ++i) RaiseOnFailure(graphManager_->RemoveFilter(filters.Filters(i).Get()));
}

void TFilterGraph::DisconnectAllPins() {
  if (!graphManager_) return;
  TFilterList filters(graphManager_.Get());
  for (int i = 0; i < filters.Count(); ++i) {
    TPinList pins(filters.Filters(i).Get());
    for (int j = 0; j < pins.Count(); ++j) RaiseOnFailure(pins.Pins(j)->Disconnect());
  }
}

void TFilterGraph::SetVolume(int32_t volume) { volume_ = std::clamp(volume, 0, 10000); }
void TFilterGraph::SetBalance(int32_t balance) {
  balance_ = std::clamp(balance, -10000, 10000);
  (void)BalanceFromLinear;  // no audio renderer on the capture path takes it
}
void TFilterGraph::SetLinearVolume(bool linear) {
  if (linear == linearVolume_) return;
  linearVolume_ = linear;
  SetVolume(volume_);
  SetBalance(balance_);
}

win32::LRESULT TFilterGraph::EventWindowProc(win32::HWND, win32::UINT message, win32::WPARAM, win32::LPARAM) {
  if (message != kGraphNotify) return 0;
  try {
    DrainGraphEvents();
  } catch (const std::exception& e) {
    ReportError(e.what());
  } catch (...) {
    ReportError("Unknown exception in a graph event handler.");
  }
  return 0;
}

void TFilterGraph::DrainGraphEvents() {
  if (!mediaEvents_) return;
  ComPtr<IMediaEventEx> events = mediaEvents_;  // a handler may deactivate the graph
  LONG code;
  LONG_PTR p1, p2;
  while (events->GetEvent(&code, &p1, &p2, 0) == com::S_OK) {
    struct Free {
      IMediaEventEx* e;
      LONG c;
      LONG_PTR a, b;
      ~Free() { e->FreeEventParams(c, a, b); }
    } free{events.Get(), code, p1, p2};
    DispatchGraphEvent(code, p1, p2);
  }
}

void TFilterGraph::DispatchGraphEvent(LONG event, LONG_PTR param1, LONG_PTR param2) {
  if (eventSinks_) {
    for (IGraphEventSink* s : std::vector<IGraphEventSink*>(*eventSinks_)) s->HandleGraphEvent(event, param1, param2);
  }
  if (OnDSEvent) OnDSEvent(*this, event, param1, param2);
  const auto l1 = static_cast<LONG>(param1);
  const auto l2 = static_cast<LONG>(param2);
  auto fire = [this](const auto& handler, auto... args) {
    if (handler) handler(*this, args...);
  };
  auto text = [](LONG_PTR p) { return p ? std::u16string(reinterpret_cast<const char16_t*>(p)) : std::u16string(); };
  switch (event) {
    case 1:
      fire(OnGraphComplete, static_cast<HRESULT>(l1), reinterpret_cast<IBaseFilter*>(param2));
      break;
    case 2:
      fire(OnGraphUserAbort);
      break;
    case 3:
      fire(OnGraphErrorAbort, static_cast<HRESULT>(l1));
      break;
    case 6:
      fire(OnGraphStreamErrorStopped, l1, l2);
      break;
    case 7:
      fire(OnGraphStreamErrorStillPlaying, l1, l2);
      break;
    case 8:
      fire(OnGraphErrorStillPlaying, static_cast<HRESULT>(l1));
      break;
    case 9:
      fire(OnGraphPaletteChanged);
      break;
    case 10:
      fire(OnGraphVideoSizeChanged, static_cast<int>(l1 & 0xFFFF), static_cast<int>((l1 >> 16) & 0xFFFF));
      break;
    case 11:
      fire(OnGraphQualityChange);
      break;
    case 13:
      fire(OnGraphClockChanged);
      break;
    case 14:
      fire(OnGraphPaused, static_cast<HRESULT>(l1));
      break;
    case 16:
      fire(OnGraphOpeningFile, l1 == 1);
      break;
    case 17:
      fire(OnGraphBufferingData, l1 == 1);
      break;
    case 18:
      fire(OnGraphFullscreenLost, reinterpret_cast<IBaseFilter*>(param2));
      break;
    case 24:
      if (OnGraphOleEvent) OnGraphOleEvent(*this, text(param1), text(param2));
      break;
    case 26:
      fire(OnGraphStreamControlStopped, reinterpret_cast<IPin*>(param1), l2);
      break;
    case 27:
      fire(OnGraphStreamControlStarted, reinterpret_cast<IPin*>(param1), l2);
      break;
    case 28:
      if (OnGraphEndOfSegment && param1)
        OnGraphEndOfSegment(*this, *reinterpret_cast<const dshow::REFERENCE_TIME*>(param1), l2);
      break;
    case 31:
      fire(OnGraphDeviceLost, reinterpret_cast<com::IUnknown*>(param1), l2 == 0);
      break;
    case 36:
      fire(OnGraphStepComplete);
      break;
    case 48:
      fire(OnGraphTimeCodeAvailable, l1, l2);
      break;
    case 49:
      fire(OnGraphEXTDeviceModeChange, l1, l2);
      break;
    case 80:
      fire(OnGraphChanged);
      break;
    case 81:
      fire(OnGraphClockUnset);
      break;
    case 83:
      fire(OnGraphVMRRenderDevice, l1);
      break;
    case 512:
      fire(OnGraphSNDDevInError, l1, l2);
      break;
    case 513:
      fire(OnGraphSNDDevOutError, l1, l2);
      break;
    default:
      break;
  }
}

// ---- TFilter -------------------------------------------------------------------------------

TFilter::~TFilter() {
  baseFilter_.SetSize(0);
  SetFilterGraph(nullptr);
}

void TFilter::SetFilterGraph(TFilterGraph* graph) {
  if (graph == graph_) return;
  if (graph_) graph_->DetachComponent(*this);
  if (graph) graph->AttachComponent(*this);
  graph_ = graph;
}

HRESULT TFilter::QueryInterface(const GUID& iid, void** object) {
  if (!object) return com::E_POINTER;
  *object = nullptr;
  if (!filter_) return com::E_NOINTERFACE;
  return filter_->QueryInterface(iid, object);
}

void TFilter::NotifyFilter(int operation, int) {
  switch (operation) {
    case foAdding:
      filter_ = baseFilter_.BindFilter();
      break;
    case foRemoving:
      if (filter_) {
        FILTER_STATE state;
        if (filter_->GetState(0, &state) == com::S_OK && (state == State_Paused || state == State_Running))
          filter_->Stop();
      }
      break;
    case foRemoved:
      filter_.Reset();
      break;
    case foRefresh:
      if (graph_) {
        graph_->DetachComponent(*this);
        graph_->AttachComponent(*this);
      }
      break;
    default:
      break;
  }
}

void TFilter::GraphDestroyed(TFilterGraph& graph) {
  if (&graph == graph_) graph_ = nullptr;
}

// ---- TSampleGrabber ---------------------------------------------------------------------------

// The grabber's callback object: forwards to its component until the component goes.
class TSampleGrabber::Callback final : public com::ComObject<Callback, ISampleGrabberCB> {
 public:
  explicit Callback(TSampleGrabber* owner) : owner_(owner) {}
  void Forget() {
    std::lock_guard lock(mutex_);
    owner_ = nullptr;
  }
  HRESULT SampleCB(double, IUnknown*) override { return com::S_OK; }
  HRESULT BufferCB(double time, BYTE* buffer, LONG length) override {
    std::lock_guard lock(mutex_);
    return owner_ ? owner_->BufferCB(time, buffer, length) : com::S_OK;
  }

 private:
  std::mutex mutex_;
  TSampleGrabber* owner_;
};

bool TSampleGrabber::SampleGrabberAvailable() {
  ComPtr<IBaseFilter> filter;
  const HRESULT hr =
      com::CoCreateInstance(CLSID_SampleGrabber, nullptr, com::CLSCTX_INPROC, IBaseFilter::kIid, filter.OutVoid());
  return hr == com::S_OK;
}

TSampleGrabber::TSampleGrabber() {
  if (!SampleGrabberAvailable()) throw EAssertionFailed("The SampleGrabber Filter is not available on this system.");
  mediaType_.SetSubtype(MEDIASUBTYPE_RGB24);
  mediaType_.SetFormatType(FORMAT_VideoInfo);
  callback_ = com::MakeComObject<Callback>(this);
}

TSampleGrabber::~TSampleGrabber() {
  SetFilterGraph(nullptr);
  callback_->Forget();
}

void TSampleGrabber::SetFilterGraph(TFilterGraph* graph) {
  if (graph == graph_) return;
  if (graph_) graph_->DetachComponent(*this);
  if (graph) graph->AttachComponent(*this);
  graph_ = graph;
}

HRESULT TSampleGrabber::QueryInterface(const GUID& iid, void** object) {
  if (!object) return com::E_POINTER;
  *object = nullptr;
  if (iid == ISampleGrabberCB::kIid) return callback_->QueryInterface(iid, object);
  if (!filter_) return com::E_NOINTERFACE;
  return filter_->QueryInterface(iid, object);
}

void TSampleGrabber::NotifyFilter(int operation, int) {
  switch (operation) {
    case foAdding: {
      filter_.Reset();
      // The constructor found the class; a failure here leaves the component
      // without a filter, which makes the caller's use of it fail cleanly.
      com::CoCreateInstance(CLSID_SampleGrabber, nullptr, com::CLSCTX_INPROC, IBaseFilter::kIid, filter_.OutVoid());
      break;
    }
    case foAdded: {
      if (!filter_) break;
      grabber_ = filter_.As<ISampleGrabber>();
      TPinList pins(filter_.Get());
      if (!grabber_ || pins.Count() < 2) {
        grabber_.Reset();
        break;
      }
      inputPin_ = pins.Pins(0);
      outputPin_ = pins.Pins(1);
      UpdateMediaType();
      grabber_->SetBufferSamples(com::TRUE);
      grabber_->SetCallback(callback_.Get(), 1);
      break;
    }
    case foRemoving:
      if (filter_) filter_->Stop();
      if (inputPin_) inputPin_->Disconnect();
      if (outputPin_) outputPin_->Disconnect();
      break;
    case foRemoved:
      if (grabber_) {
        grabber_->SetCallback(nullptr, 1);
        grabber_->SetBufferSamples(com::FALSE);
      }
      filter_.Reset();
      grabber_.Reset();
      inputPin_.Reset();
      outputPin_.Reset();
      break;
    case foRefresh:
      UpdateMediaType();
      break;
    default:
      break;
  }
}

void TSampleGrabber::UpdateMediaType() {
  if (!grabber_) return;
  filter_->Stop();
  inputPin_->Disconnect();
  grabber_->SetMediaType(&mediaType_.AMMediaType());
}

void TSampleGrabber::GraphDestroyed(TFilterGraph& graph) {
  if (&graph == graph_) graph_ = nullptr;
}

HRESULT TSampleGrabber::BufferCB(double sampleTime, const uint8_t* buffer, int32_t length) {
  if (!OnBuffer) return com::S_OK;
  std::lock_guard lock(section_);
  try {
    OnBuffer(*this, sampleTime, buffer, length);
  } catch (...) {
    // The frame is dropped: nothing may unwind into the streaming thread.
  }
  return com::S_OK;
}

bool TSampleGrabber::CopyFrameToBitmap(win32::Bitmap& bitmap, const uint8_t* buffer, int32_t length) {
  if (buffer && length <= 0) return false;
  if (!grabber_) return false;
  AM_MEDIA_TYPE mt{};
  if (grabber_->GetConnectedMediaType(&mt) != com::S_OK) return false;
  struct Release {
    AM_MEDIA_TYPE& mt;
    ~Release() { ReleaseMediaTypeRecord(mt); }
  } release{mt};
  if (mt.majortype != MEDIATYPE_Video) return false;
  const BITMAPINFOHEADER* h = nullptr;
  if (mt.formattype == FORMAT_VideoInfo && mt.cbFormat == sizeof(VIDEOINFOHEADER))
    h = &reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
  else if (mt.formattype == FORMAT_VideoInfo2 && mt.cbFormat == sizeof(VIDEOINFOHEADER2))
    h = &reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->bmiHeader;
  if (!h) return false;

  win32::PixelFormat format;
  switch (h->biBitCount) {
    case 15:
    case 16:
      format = win32::PixelFormat::pf16bit;
      break;
    case 24:
      format = win32::PixelFormat::pf24bit;
      break;
    case 32:
      format = win32::PixelFormat::pf32bit;
      break;
    default:
      return false;
  }
  if (h->biCompression != BI_RGB || h->biWidth <= 0 || h->biHeight == 0 || h->biWidth > 16384) return false;
  // Top-down frames (negative height) have |height| rows, the top row first.
  const bool topDown = h->biHeight < 0;
  const int32_t rows = topDown ? -h->biHeight : h->biHeight;
  if (rows > 16384) return false;
  const int32_t stride = DibStride(h->biBitCount, h->biWidth);
  const int64_t computed = static_cast<int64_t>(stride) * rows * std::max<int32_t>(h->biPlanes, 1);
  const int64_t image = h->biSizeImage != 0 ? std::min<int64_t>(h->biSizeImage, computed) : computed;

  std::vector<uint8_t> pulled;
  if (!buffer) {
    com::LONG size = 0;
    if (grabber_->GetCurrentBuffer(&size, nullptr) != com::S_OK || size < 1) return false;
    pulled.resize(static_cast<size_t>(size));
    if (grabber_->GetCurrentBuffer(&size, reinterpret_cast<com::LONG*>(pulled.data())) != com::S_OK) return false;
    buffer = pulled.data();
    length = size;
  }
  const size_t n = static_cast<size_t>(std::min<int64_t>(length, image));

  // Reuse the bitmap's pixels when the size and format stay (the usual case).
  if (bitmap.Width() != h->biWidth || bitmap.Height() != rows || bitmap.Format() != format) {
    bitmap = win32::Bitmap(h->biWidth, rows, format);
  }
  std::span<uint8_t> bits = bitmap.Bits();
  if (!topDown) {
    std::memcpy(bits.data(), buffer, std::min(n, bits.size()));
    if (n < bits.size()) std::memset(bits.data() + n, 0, bits.size() - n);
  } else {
    const size_t rowBytes = static_cast<size_t>(stride);
    for (int32_t y = 0; y < rows; ++y) {
      uint8_t* dst = bitmap.ScanLine(y);
      const size_t offset = static_cast<size_t>(y) * rowBytes;
      const size_t take = offset < n ? std::min(rowBytes, n - offset) : 0;
      if (take) std::memcpy(dst, buffer + offset, take);
      if (take < rowBytes) std::memset(dst + take, 0, rowBytes - take);
    }
  }
  return true;
}

// ---- TVMROptions and TVideoWindow ------------------------------------------------------------

void TVMROptions::SetStreams(uint32_t streams) {
  streams_ = (streams < 1 || streams > 16) ? 1 : streams;
  Rebuild();
}

void TVMROptions::SetPreferences(TVMRPreferences p) {
  preferences_ = p;
  Rebuild();
}

void TVMROptions::SetMode(TVMRVideoMode mode) {
  mode_ = mode;
  Rebuild();
}

void TVMROptions::Rebuild() {
  TFilterGraph* g = owner_.graph_;
  if (owner_.mode_ == vmVMR && g && g->Active()) {
    g->DetachComponent(owner_);
    g->AttachComponent(owner_);
  }
}

TVideoWindow::TVideoWindow(win32::HWND parent)
    : parent_(parent), window_(win32::CreateMessageWindow([](win32::HWND, win32::UINT, win32::WPARAM, win32::LPARAM) {
        return win32::LRESULT{0};
      })) {}

TVideoWindow::~TVideoWindow() {
  try {
    SetFilterGraph(nullptr);  // in an active graph the renderer is stopped and disconnected, which may raise
  } catch (const std::exception& e) {
    ReportError(e.what());
    graph_ = nullptr;
  }
  win32::DestroyWindow(window_);
}

bool TVideoWindow::VMR9Available() {
  ComPtr<IBaseFilter> filter;
  return com::SUCCEEDED(com::CoCreateInstance(CLSID_VideoMixingRenderer9, nullptr, com::CLSCTX_INPROC,
                                              IBaseFilter::kIid, filter.OutVoid()));
}

void TVideoWindow::SetMode(TVideoMode mode) {
  mode_ = (mode == vmVMR && VMR9Available()) ? vmVMR : vmNormal;
  if (graph_ && graph_->Active()) {
    graph_->DetachComponent(*this);
    graph_->AttachComponent(*this);
  }
}

void TVideoWindow::SetFilterGraph(TFilterGraph* graph) {
  if (graph == graph_) return;
  if (graph_) {
    graph_->DetachComponent(*this);
    graph_->DetachEventSink(*this);
  }
  if (graph) {
    graph->AttachComponent(*this);
    graph->AttachEventSink(*this);
  }
  graph_ = graph;
}

void TVideoWindow::GraphDestroyed(TFilterGraph& graph) {
  if (&graph == graph_) graph_ = nullptr;
}

HRESULT TVideoWindow::QueryInterface(const GUID& iid, void** object) {
  if (!object) return com::E_POINTER;
  *object = nullptr;
  if (!renderer_) return com::E_NOINTERFACE;
  return renderer_->QueryInterface(iid, object);
}

bool TVideoWindow::IsRendererConnected() {
  if (!renderer_) return false;
  TPinList pins(renderer_.Get());
  for (int i = 0; i < pins.Count(); ++i) {
    if (pins.Connected(i)) return true;
  }
  return false;
}

void TVideoWindow::NotifyFilter(int operation, int) {
  switch (operation) {
    case foAdding:
      // The renderer must exist: an activation without one fails as a whole.
      renderer_ = Create(CLSID_VideoRenderer, IBaseFilter::kIid).As<IBaseFilter>();
      break;
    case foAdded:
      if (renderer_) {
        rendererWindow_ = renderer_.As<dshow::IVideoWindow>();
        if (!rendererWindow_) RaiseOnFailure(com::E_NOINTERFACE);
      }
      break;
    case foRemoving:
      if (renderer_) {
        RaiseOnFailure(renderer_->Stop());
        TPinList pins(renderer_.Get());
        for (int i = 0; i < pins.Count(); ++i) RaiseOnFailure(pins.Pins(i)->Disconnect());
      }
      break;
    case foRemoved:
      rendererWindow_.Reset();
      renderer_.Reset();
      break;
    default:
      break;
  }
}

void TVideoWindow::HandleGraphEvent(LONG event, LONG_PTR, LONG_PTR) {
  if (event == 9 && rendererWindow_) {  // palette changed
    SetFullScreen(fullScreen_);
    PlaceAndDrain();
  }
}

void TVideoWindow::HandleControlEvent(int event, int) {
  if (event != 0 || !IsRendererConnected()) return;
  if (mode_ == vmNormal && rendererWindow_) {
    SetFullScreen(fullScreen_);
    PlaceAndDrain();
  } else if (mode_ == vmVMR) {
    SetFullScreen(fullScreen_);
  }
}

void TVideoWindow::PlaceAndDrain() {
  if (!Name.empty()) {
    const std::u16string caption(Name.begin(), Name.end());
    RaiseOnFailure(rendererWindow_->put_Caption(caption.c_str()));
  }
  RaiseOnFailure(rendererWindow_->put_MessageDrain(static_cast<dshow::OAHWND>(window_)));
}

void TVideoWindow::SetFullScreen(bool full) {
  if (rendererWindow_ && IsRendererConnected()) {
    if (!full) {
      RaiseOnFailure(rendererWindow_->put_Owner(static_cast<dshow::OAHWND>(parent_)));
      RaiseOnFailure(rendererWindow_->put_WindowStyle(savedStyle_ | WS_CHILD | WS_CLIPSIBLINGS));
      RaiseOnFailure(rendererWindow_->put_WindowStyleEx(savedExStyle_));
      RaiseOnFailure(rendererWindow_->SetWindowPosition(left_, top_, width_, height_));
      mouseFromCursor_ = false;
    } else {
      RaiseOnFailure(rendererWindow_->put_Owner(0));
      RaiseOnFailure(rendererWindow_->put_WindowStyle(savedStyle_ & ~(WS_CAPTION | WS_THICKFRAME)));
      int32_t ex = savedExStyle_ & ~(WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE | WS_EX_STATICEDGE);
      if (fullScreenTopMost_) ex |= WS_EX_TOPMOST;
      RaiseOnFailure(rendererWindow_->put_WindowStyleEx(ex));
      RaiseOnFailure(rendererWindow_->SetWindowPosition(0, 0, kScreenWidth, kScreenHeight));
      mouseFromCursor_ = true;
    }
  }
  fullScreen_ = full;
}

void TVideoWindow::SetFullScreenTopMost(bool topMost) {
  fullScreenTopMost_ = topMost;
  if (fullScreen_) SetFullScreen(true);
}

void TVideoWindow::SetVisible(bool visible) {
  visible_ = visible;
  if (rendererWindow_) RaiseOnFailure(rendererWindow_->put_Visible(visible ? -1 : 0));
}

void TVideoWindow::SetBounds(int left, int top, int width, int height) {
  left_ = left;
  top_ = top;
  width_ = width;
  height_ = height;
  Resize();
}

void TVideoWindow::Resize() {
  if (rendererWindow_ && !fullScreen_) rendererWindow_->SetWindowPosition(left_, top_, width_, height_);
}

}  // namespace tw::dskit
