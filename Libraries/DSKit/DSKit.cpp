#include "Libraries/DSKit/DSKit.h"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstring>

#include "platform/com/guid.h"
#include "platform/com/variant.h"
#include "platform/win32/text.h"

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
constexpr win32::UINT WM_CONTEXTMENU = 0x007B;
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

// The magnitude follows the volume curve (0 stays 0, 10000 stays 10000); the
// sign is the balance's own: negative favours the left channel.
int32_t BalanceFromLinear(int32_t b) {
  const int32_t magnitude = static_cast<int32_t>(std::nearbyint(std::log(std::abs(b) + 1.0) * 1085.73));
  return b < 0 ? -magnitude : magnitude;
}

std::u16string Wide(const std::string& name) { return std::u16string(name.begin(), name.end()); }

// Keeps the floating-point environment of the caller across a call into the
// mixing renderer, which may change precision and exception masks.
class FpuGuard {
 public:
  FpuGuard() { std::fegetenv(&env_); }
  ~FpuGuard() { std::fesetenv(&env_); }
  FpuGuard(const FpuGuard&) = delete;
  FpuGuard& operator=(const FpuGuard&) = delete;

 private:
  std::fenv_t env_;
};

std::string ReadBagText(IPropertyBag& bag, const char16_t* name) {
  com::Variant value;
  if (bag.Read(name, &value, nullptr) != com::S_OK || value.vt != com::VT_BSTR || !value.bstrVal) return {};
  return win32::Utf16ToUtf8(std::u16string_view(value.bstrVal));
}

}  // namespace

// ---- The graph's site: the builder callbacks and the service that finds the component ----

class TFilterGraph::Site final
    : public com::ComObject<Site, IAMGraphBuilderCallback, IAMFilterGraphCallback, IServiceProvider> {
 public:
  explicit Site(TFilterGraph* owner) : owner_(owner) {}
  void Forget() { owner_ = nullptr; }

  HRESULT SelectedFilter(IMoniker* moniker) override {
    if (!owner_ || !owner_->OnSelectedFilter) return com::S_OK;
    std::string name;
    GUID clsid{};
    ComPtr<IPropertyBag> bag;
    if (moniker && com::SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IPropertyBag::kIid, bag.OutVoid())) &&
        bag) {
      clsid = com::GuidFromString(ReadBagText(*bag, u"CLSID")).value_or(GUID{});
      name = ReadBagText(*bag, u"FriendlyName");
    }
    return owner_->OnSelectedFilter(*owner_, moniker, name, clsid) ? com::S_OK : com::E_FAIL;
  }
  HRESULT CreatedFilter(IBaseFilter* filter) override {
    if (!owner_ || !owner_->OnCreatedFilter) return com::S_OK;
    GUID clsid{};
    if (filter) filter->GetClassID(&clsid);
    return owner_->OnCreatedFilter(*owner_, filter, clsid) ? com::S_OK : com::E_FAIL;
  }
  // The handler's owner is found from the pin, through its filter's graph,
  // which forwards the service request to its site.
  HRESULT UnableToRender(IPin* pin) override {
    if (!pin) return com::S_FALSE;
    ComPtr<IBaseFilter> filter;
    if (com::FAILED(pin->QueryFilter(filter.Out())) || !filter) return com::S_FALSE;
    FILTER_INFO info{};
    if (com::FAILED(filter->QueryFilterInfo(&info)) || !info.pGraph) return com::S_FALSE;
    ComPtr<IFilterGraph> graph = ComPtr<IFilterGraph>::Attach(info.pGraph);
    ComPtr<IServiceProvider> provider = graph.As<IServiceProvider>();
    void* found = nullptr;
    if (!provider ||
        com::FAILED(provider->QueryService(kGraphComponentService, kGraphComponentService, &found)) || !found)
      return com::S_FALSE;
    com::ComPtr<Site> site = com::ComPtr<Site>::Attach(static_cast<Site*>(found));
    TFilterGraph* owner = site->owner_;
    if (!owner || !owner->OnUnableToRender) return com::S_FALSE;
    return owner->OnUnableToRender(*owner, pin) ? com::S_OK : com::S_FALSE;
  }
  HRESULT QueryService(const GUID& service, const GUID& iid, void** object) override {
    if (!object) return com::E_POINTER;
    *object = nullptr;
    if (service != kGraphComponentService || iid != kGraphComponentService) return com::E_NOINTERFACE;
    AddRef();
    *object = this;
    return com::S_OK;
  }

 private:
  TFilterGraph* owner_;
};

// ---- TFilterGraph -----------------------------------------------------------------------

TFilterGraph::TFilterGraph() : site_(com::MakeComObject<Site>(this)) {
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
  site_->Forget();  // a graph manager still held elsewhere must not reach this object
}

void TFilterGraph::Loaded() {
  if (AutoCreate) SetActive(true);
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
        dvdBuilder_ = Create(CLSID_DvdGraphBuilder, IDvdGraphBuilder::kIid).As<IDvdGraphBuilder>();
        if (dvdBuilder_) dvdBuilder_->GetFiltergraph(graphManager_.Out());
        break;
    }
    if (!graphManager_) RaiseOnFailure(com::E_NOINTERFACE);
  } catch (...) {
    graphManager_.Reset();
    captureBuilder_.Reset();
    dvdBuilder_.Reset();
    throw;
  }
  active_ = true;
  if (ComPtr<IMediaEventEx> events = As<IMediaEventEx>()) {
    mediaEvents_ = events;
    mediaEvents_->SetNotifyFlags(0);
    mediaEvents_->SetNotifyWindow(eventWindow_, kGraphNotify, reinterpret_cast<LONG_PTR>(mediaEvents_.Get()));
  }
  if (ComPtr<IObjectWithSite> withSite = As<IObjectWithSite>()) {
    withSite->SetSite(static_cast<IAMGraphBuilderCallback*>(site_.Get()));
    withSite->SetSite(static_cast<IAMFilterGraphCallback*>(site_.Get()));  // this one stands
  }
  SetGraphEdit(graphEdit_);
  ApplyLogFile(logFile_);  // a log that cannot be made stays off; the name stays
  if (components_) {
    const size_t count = components_->size();
    for (size_t i = 0; i < count; ++i) AddFilterOf(*(*components_)[i]);
  }
  if (OnActivate) OnActivate(*this);
  BroadcastControlEvent(7, 1);
}

void TFilterGraph::AddFilterOf(IGraphComponent& component) {
  component.NotifyFilter(foAdding, 0);
  const std::u16string name = Wide(component.GetName());
  if (ComPtr<IBaseFilter> f = component.GetFilter()) graphManager_->AddFilter(f.Get(), name.c_str());
  component.NotifyFilter(foAdded, 0);
}

void TFilterGraph::RemoveFilterOf(IGraphComponent& component) {
  component.NotifyFilter(foRemoving, 0);
  if (ComPtr<IBaseFilter> f = component.GetFilter()) graphManager_->RemoveFilter(f.Get());
  component.NotifyFilter(foRemoved, 0);
}

void TFilterGraph::Deactivate() {
  BroadcastControlEvent(7, 0);
  if (components_) {
    for (IGraphComponent* c : std::vector<IGraphComponent*>(*components_)) RemoveFilterOf(*c);
  }
  if (mediaEvents_) {
    mediaEvents_->SetNotifyFlags(AM_MEDIAEVENT_NONOTIFY);
    mediaEvents_.Reset();
  }
  if (rotCookie_ != 0) {
    UnregisterGraphFromRot(rotCookie_);
    rotCookie_ = 0;
  }
  graphManager_->SetLogFile(0);
  logStream_.reset();
  if (ComPtr<IObjectWithSite> withSite = graphManager_.As<IObjectWithSite>()) withSite->SetSite(nullptr);
  graphManager_.Reset();
  captureBuilder_.Reset();
  dvdBuilder_.Reset();
  active_ = false;
}

void TFilterGraph::SetGraphEdit(bool publish) {
  if (publish) {
    if (active_ && rotCookie_ == 0) {
      com::DWORD cookie = 0;
      if (com::SUCCEEDED(RegisterGraphInRot(graphManager_.Get(), &cookie))) rotCookie_ = cookie;
    }
  } else if (rotCookie_ != 0) {
    UnregisterGraphFromRot(rotCookie_);
    rotCookie_ = 0;
  }
  graphEdit_ = publish;
}

void TFilterGraph::SetLogFile(const std::string& name) {
  if (!active_ || ApplyLogFile(name)) logFile_ = name;
}

bool TFilterGraph::ApplyLogFile(const std::string& name) {
  graphManager_->SetLogFile(0);
  logStream_.reset();
  if (name.empty()) return true;
  auto stream = std::make_unique<files::TFile>();
  if (!stream->Create(name)) return false;
  if (com::FAILED(graphManager_->SetLogFile(reinterpret_cast<uintptr_t>(stream.get())))) {
    graphManager_->SetLogFile(0);
    return false;
  }
  logStream_ = std::move(stream);
  return true;
}

HRESULT TFilterGraph::QueryInterface(const GUID& iid, void** object) {
  if (!object) return com::E_POINTER;
  *object = nullptr;
  if (com::SUCCEEDED(site_->QueryInterface(iid, object))) return com::S_OK;
  if (!active_) return com::E_NOINTERFACE;
  if (mode_ == gmCapture && captureBuilder_ && com::SUCCEEDED(captureBuilder_->QueryInterface(iid, object)))
    return com::S_OK;
  if (mode_ == gmDVD && dvdBuilder_) {
    if (com::SUCCEEDED(dvdBuilder_->QueryInterface(iid, object))) return com::S_OK;
    if (com::SUCCEEDED(dvdBuilder_->GetDvdInterface(iid, object)) && *object) return com::S_OK;
    *object = nullptr;
  }
  return graphManager_->QueryInterface(iid, object);
}

void TFilterGraph::AttachComponent(IGraphComponent& component) {
  if (!components_) components_ = std::make_unique<std::vector<IGraphComponent*>>();
  components_->push_back(&component);
  if (active_) AddFilterOf(component);
}

void TFilterGraph::DetachComponent(IGraphComponent& component) {
  if (!components_) return;
  EraseOne(*components_, &component);
  if (active_) RemoveFilterOf(component);
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

void TFilterGraph::SetVolume(int32_t volume) {
  volume_ = std::clamp(volume, 0, 10000);
  if (ComPtr<IBasicAudio> audio = As<IBasicAudio>())
    audio->put_Volume(linearVolume_ ? LinearToAttenuation(volume_) : volume_ - 10000);
}

void TFilterGraph::SetBalance(int32_t balance) {
  balance_ = std::clamp(balance, -10000, 10000);
  if (ComPtr<IBasicAudio> audio = As<IBasicAudio>())
    audio->put_Balance(linearVolume_ ? BalanceFromLinear(balance_) : balance_);
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
      if (event >= 257 && event <= 283) DispatchDiscEvent(event, param1, param2);
      break;
  }
}

// The record's bit fields from the lowest bit: hour units and tens, minute
// units and tens, second units and tens (4 bits each), frame units (4 bits),
// frame tens (2 bits), frame-rate code (2 bits).
TDVDTimeCode TFilterGraph::DecodeTimeCode(uint32_t timeCode) {
  auto field = [timeCode](int shift, uint32_t mask) { return static_cast<int>((timeCode >> shift) & mask); };
  TDVDTimeCode t;
  t.hours = field(4, 0xF) * 10 + field(0, 0xF);
  t.minutes = field(12, 0xF) * 10 + field(8, 0xF);
  t.seconds = field(20, 0xF) * 10 + field(16, 0xF);
  t.frames = field(28, 0x3) * 10 + field(24, 0xF);
  const int rate = field(30, 0x3);
  t.frameRate = rate == 1 ? 25 : rate == 3 ? 30 : 0;
  return t;
}

void TFilterGraph::DispatchDiscEvent(LONG event, LONG_PTR param1, LONG_PTR param2) {
  const auto l1 = static_cast<LONG>(param1);
  const auto l2 = static_cast<LONG>(param2);
  auto fire = [this](const auto& handler, auto... args) {
    if (handler) handler(*this, args...);
  };
  // A sub-code outside its list calls nothing.
  auto fireNth = [&](std::initializer_list<TNotify*> handlers) {
    if (l1 >= 1 && static_cast<size_t>(l1) <= handlers.size()) fire(*handlers.begin()[l1 - 1]);
  };
  auto language = [&](const TOnLanguage& handler, bool audio) {
    if (!handler) return;
    ComPtr<IDvdInfo2> info = As<IDvdInfo2>();
    if (!info) return;
    com::DWORD lcid = 0;
    if (audio)
      RaiseOnFailure(info->GetAudioLanguage(static_cast<com::ULONG>(l1), &lcid));
    else
      info->GetSubpictureLanguage(static_cast<com::ULONG>(l1), &lcid);
    handler(*this, l1, lcid, EnglishLanguageName(lcid));
  };
  switch (event) {
    case 257:
      fireNth({&OnDVDDomainFirstPlay, &OnDVDDomainVideoManagerMenu, &OnDVDDomainVideoTitleSetMenu, &OnDVDDomainTitle,
               &OnDVDDomainStop});
      break;
    case 258: fire(OnDVDTitleChange, l1); break;
    case 259: fire(OnDVDChapterStart, l1); break;
    case 260: language(OnDVDAudioStreamChange, true); break;
    case 261: language(OnDVDSubpictureStreamChange, false); break;
    case 262: fire(OnDVDAngleChange, l1, l2); break;
    case 263: fire(OnDVDButtonChange, l1, l2); break;
    case 264: fire(OnDVDValidUOPSChange, l1); break;
    case 265: fire(OnDVDStillOn, l1 == 1, l2); break;
    case 266: fire(OnDVDStillOff); break;
    case 267: fire(OnDVDCurrentTime, DecodeTimeCode(static_cast<uint32_t>(l1))); break;
    case 268:
      fireNth({&OnDVDErrorUnexpected, &OnDVDErrorCopyProtectFail, &OnDVDErrorInvalidDVD1_0Disc,
               &OnDVDErrorInvalidDiscRegion, &OnDVDErrorLowParentalLevel, &OnDVDErrorMacrovisionFail,
               &OnDVDErrorIncompatibleSystemAndDecoderRegions, &OnDVDErrorIncompatibleDiscAndDecoderRegions});
      break;
    case 269:
      fireNth({&OnDVDWarningInvalidDVD1_0Disc, &OnDVDWarningFormatNotSupported, &OnDVDWarningIllegalNavCommand,
               &OnDVDWarningOpen, &OnDVDWarningSeek, &OnDVDWarningRead});
      break;
    case 270: fire(OnDVDChapterAutoStop); break;
    case 271: fire(OnDVDNoFP_PGC); break;
    case 272: fire(OnDVDPlaybackRateChange, static_cast<float>(l1) / 10000.0f); break;
    case 273: fire(OnDVDParentalLevelChange, l1); break;
    case 274: fire(OnDVDPlaybackStopped); break;
    case 275: fire(OnDVDAnglesAvailable, l1 == 1); break;
    case 276: fire(OnDVDPlayPeriodAutoStop); break;
    case 277: fire(OnDVDButtonAutoActivated, l1); break;
    case 278: fire(OnDVDCMDStart, l1); break;
    case 279: fire(OnDVDCMDEnd, l1); break;
    case 280: fire(OnDVDDiscEjected); break;
    case 281: fire(OnDVDDiscInserted); break;
    case 282: {
      const auto hmsf = static_cast<uint32_t>(l1);
      const TDVDHMSFTimeCode t{static_cast<uint8_t>(hmsf), static_cast<uint8_t>(hmsf >> 8),
                               static_cast<uint8_t>(hmsf >> 16), static_cast<uint8_t>(hmsf >> 24)};
      fire(OnDVDCurrentHMSFTime, t, DecodeTimeCode(static_cast<uint32_t>(l2)));
      break;
    }
    case 283: fire(OnDVDKaraokeMode, l1 != 0); break;
    default: break;
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
  if (owner_.mode_ == vmVMR && g && g->Active()) owner_.Rebuild();
}

void TVMROptions::SetKeepAspectRatio(bool keep) {
  keepAspectRatio_ = keep;
  if (mode_ != vmrWindowed && mode_ != vmrWindowless) return;
  ComPtr<IVMRAspectRatioControl9> control;
  if (com::SUCCEEDED(owner_.QueryInterface(IVMRAspectRatioControl9::kIid, control.OutVoid())) && control)
    RaiseOnFailure(control->SetAspectRatioMode(keep ? VMR9ARMode_LetterBox : VMR9ARMode_None));
}

TVideoWindow::TVideoWindow(win32::HWND parent)
    : parent_(parent),
      window_(win32::CreateMessageWindow([this](win32::HWND, win32::UINT message, win32::WPARAM wParam,
                                                win32::LPARAM lParam) { return WindowProc(message, wParam, lParam); })) {}

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
  FpuGuard fpu;
  ComPtr<IBaseFilter> filter;
  return com::SUCCEEDED(com::CoCreateInstance(CLSID_VideoMixingRenderer9, nullptr, com::CLSCTX_INPROC,
                                              IBaseFilter::kIid, filter.OutVoid()));
}

void TVideoWindow::SetMode(TVideoMode mode) {
  mode_ = (mode == vmVMR && VMR9Available()) ? vmVMR : vmNormal;
  if (graph_ && graph_->Active()) Rebuild();
}

void TVideoWindow::Rebuild() {
  graph_->DetachComponent(*this);
  graph_->AttachComponent(*this);
}

void TVideoWindow::Loaded() {
  savedStyle_ = Style;
  savedExStyle_ = ExStyle;
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
  if (iid == IVMRWindowlessControl9::kIid && windowlessControl_) {
    windowlessControl_.CopyTo(reinterpret_cast<IVMRWindowlessControl9**>(object));
    return com::S_OK;
  }
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
      CreateRenderer();
      break;
    case foAdded:
      RendererAdded();
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
      windowlessControl_.Reset();
      renderer_.Reset();
      break;
    default:
      break;
  }
}

// The renderer must exist: an activation without one fails as a whole, and
// a renderer that cannot be configured is not kept.
void TVideoWindow::CreateRenderer() {
  if (mode_ == vmNormal) {
    renderer_ = Create(CLSID_VideoRenderer, IBaseFilter::kIid).As<IBaseFilter>();
    return;
  }
  FpuGuard fpu;
  try {
    void* object = nullptr;
    RaiseOnFailure(com::CoCreateInstance(CLSID_VideoMixingRenderer9, nullptr, com::CLSCTX_INPROC, IBaseFilter::kIid,
                                         &object));
    renderer_ = ComPtr<IBaseFilter>::Attach(static_cast<IBaseFilter*>(object));
    ComPtr<IVMRFilterConfig9> config = renderer_.As<IVMRFilterConfig9>();
    if (!config) RaiseOnFailure(com::E_NOINTERFACE);
    switch (vmrOptions_.Mode()) {
      case vmrWindowed:
        RaiseOnFailure(config->SetRenderingMode(VMR9Mode_Windowed));
        break;
      case vmrWindowless:
        RaiseOnFailure(config->SetRenderingMode(VMR9Mode_Windowless));
        break;
      case vmrRenderless:
        // Rendering without a window needs an allocator-presenter, which nothing supplies.
        throw EDSKitException("Allocator class not set.");
    }
  } catch (...) {
    renderer_.Reset();
    throw;
  }
}

void TVideoWindow::RendererAdded() {
  if (!renderer_) return;
  if (mode_ == vmNormal) {
    rendererWindow_ = renderer_.As<dshow::IVideoWindow>();
    if (!rendererWindow_) RaiseOnFailure(com::E_NOINTERFACE);
    return;
  }
  ComPtr<IVMRFilterConfig9> config;
  const HRESULT hr = RaiseOnFailure(renderer_->QueryInterface(IVMRFilterConfig9::kIid, config.OutVoid()));
  if (hr != com::S_OK) return;
  if (vmrOptions_.streams_ != 4 || (vmrOptions_.preferences_ & (1 << vpForceMixer))) {
    RaiseOnFailure(config->SetNumberOfStreams(vmrOptions_.streams_));
    com::DWORD streams = 0;
    RaiseOnFailure(config->GetNumberOfStreams(&streams));
    vmrOptions_.streams_ = streams;
  }
  switch (vmrOptions_.Mode()) {
    case vmrWindowed:
      rendererWindow_ = renderer_.As<dshow::IVideoWindow>();
      if (!rendererWindow_) RaiseOnFailure(com::E_NOINTERFACE);
      ApplyRenderingPrefs(*config);
      break;
    case vmrWindowless:
      windowlessControl_ = renderer_.As<IVMRWindowlessControl9>();
      if (!windowlessControl_) RaiseOnFailure(com::E_NOINTERFACE);
      RaiseOnFailure(windowlessControl_->SetVideoClippingWindow(static_cast<dshow::OAHWND>(window_)));
      ApplyRenderingPrefs(*config);
      Resize();
      break;
    case vmrRenderless:
      break;
  }
  vmrOptions_.SetKeepAspectRatio(vmrOptions_.KeepAspectRatio());
}

// The renderer gets the preferences without the mixer request (which is the
// control's own) and answers what it took; the mixer request is kept.
void TVideoWindow::ApplyRenderingPrefs(IVMRFilterConfig9& config) {
  constexpr TVMRPreferences kMixer = 1 << vpForceMixer;
  const TVMRPreferences before = vmrOptions_.preferences_;
  RaiseOnFailure(config.SetRenderingPrefs(before & ~kMixer & 0xFF));
  com::DWORD taken = 0;
  RaiseOnFailure(config.GetRenderingPrefs(&taken));
  vmrOptions_.preferences_ = static_cast<TVMRPreferences>((taken & 0xFF) | (before & kMixer));
}

void TVideoWindow::HandleGraphEvent(LONG event, LONG_PTR, LONG_PTR) {
  if (event == 9 && rendererWindow_) {  // palette changed
    SetFullScreen(fullScreen_);
    PlaceAndDrain();
  } else if (event == 83 && vmrOptions_.Mode() == vmrWindowed && rendererWindow_) {  // render device set
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
  if (!Name.empty()) RaiseOnFailure(rendererWindow_->put_Caption(Wide(Name).c_str()));
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
  if (windowlessControl_) mouseFromCursor_ = false;
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
  if (mode_ == vmVMR && vmrOptions_.Mode() == vmrWindowless) {
    if (windowlessControl_) {
      const dshow::RECT destination{0, 0, width_, height_};
      windowlessControl_->SetVideoPosition(nullptr, &destination);
    }
  } else if (mode_ == vmNormal || vmrOptions_.Mode() == vmrWindowed) {
    if (rendererWindow_ && !fullScreen_) rendererWindow_->SetWindowPosition(left_, top_, width_, height_);
  }
}

win32::LRESULT TVideoWindow::WindowProc(win32::UINT message, win32::WPARAM, win32::LPARAM lParam) {
  if (message != WM_CONTEXTMENU) return 0;
  const bool shows = PopupMenu && PopupMenu->autoPopup;
  if (fullScreen_) {
    // The message's position belongs to the covered desktop: use the cursor's.
    if (!shows) return 0;  // dropped
    shell::Popup(*PopupMenu, shell::CursorPos());
    return 1;
  }
  if (!shows) return 0;
  // lParam holds the screen position as two signed 16-bit halves.
  const shell::Point at{static_cast<int16_t>(lParam & 0xFFFF), static_cast<int16_t>((lParam >> 16) & 0xFFFF)};
  shell::Popup(*PopupMenu, at);
  return 1;
}

void TVideoWindow::MouseDown(int button, uint32_t shift, int x, int y) {
  if (mouseFromCursor_) {
    const shell::Point p = shell::CursorPos();
    x = p.x;
    y = p.y;
  }
  if (OnMouseDown) OnMouseDown(*this, button, shift, x, y);
}

void TVideoWindow::MouseMove(uint32_t shift, int x, int y) {
  if (mouseFromCursor_) {
    const shell::Point p = shell::CursorPos();
    x = p.x;
    y = p.y;
  }
  if (OnMouseMove) OnMouseMove(*this, shift, x, y);
}

void TVideoWindow::MouseUp(int button, uint32_t shift, int x, int y) {
  if (mouseFromCursor_) {
    const shell::Point p = shell::CursorPos();
    x = p.x;
    y = p.y;
  }
  if (OnMouseUp) OnMouseUp(*this, button, shift, x, y);
}

void TVideoWindow::Paint(shell::Canvas& canvas) {
  canvas.SetBrushColor(shell::Color{shell::Color::Rgb, Color});
  canvas.FillRect(shell::Rect{0, 0, width_, height_});
  if (OnPaint) OnPaint(*this);
}

}  // namespace tw::dskit
