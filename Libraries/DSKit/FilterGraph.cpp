#include "Libraries/DSKit/FilterGraph.h"

#include <algorithm>
#include <cmath>

#include "Libraries/DSKit/DSKitInternal.h"
#include "platform/com/errorinfo.h"
#include "platform/com/guid.h"
#include "platform/com/variant.h"
#include "platform/win32/text.h"

namespace tw::dskit {

using namespace tw::dshow;

namespace {

constexpr win32::UINT kGraphNotify = win32::WM_APP + 1;  // 0x8001

template <class T>
void EraseOne(std::vector<T*>& list, T* item) {
  auto it = std::find(list.begin(), list.end(), item);
  if (it != list.end()) list.erase(it);
}

// The magnitude follows the volume curve (0 stays 0, 10000 stays 10000); the
// sign is the balance's own: negative favours the left channel.
int32_t BalanceFromLinear(int32_t b) {
  const int32_t magnitude = static_cast<int32_t>(std::nearbyint(std::log(std::abs(b) + 1.0) * 1085.73));
  return b < 0 ? -magnitude : magnitude;
}

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

TFilterGraph::TFilterGraph()
    : site_(com::MakeComObject<Site>(this)),
      eventWindow_([this](win32::HWND w, win32::UINT m, win32::WPARAM wp, win32::LPARAM lp) {
        return EventWindowProc(w, m, wp, lp);
      }) {}

TFilterGraph::~TFilterGraph() {
  try {
    SetActive(false);
  } catch (...) {
    ReportFailure("TFilterGraph.Destroy", com::CaughtExceptionText());
  }
  if (components_) {
    for (IGraphComponent* c : std::vector<IGraphComponent*>(*components_)) c->GraphDestroyed(*this);
  }
  if (eventSinks_) {
    for (IGraphEventSink* s : std::vector<IGraphEventSink*>(*eventSinks_)) s->GraphDestroyed(*this);
  }
  components_.reset();
  eventSinks_.reset();
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
    mediaEvents_->SetNotifyWindow(eventWindow_.Handle(), kGraphNotify, reinterpret_cast<LONG_PTR>(mediaEvents_.Get()));
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
  } catch (...) {
    ReportFailure("TFilterGraph.DrainGraphEvents", com::CaughtExceptionText());
  }
  return 0;
}

void TFilterGraph::ReportFailure(const std::string& where, const std::string& what) const {
  if (OnFailure)
    OnFailure(where + ": " + what);
  else
    ReportError(what);
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
    case EC_COMPLETE:
      fire(OnGraphComplete, static_cast<HRESULT>(l1), reinterpret_cast<IBaseFilter*>(param2));
      break;
    case EC_USERABORT:
      fire(OnGraphUserAbort);
      break;
    case EC_ERRORABORT:
      fire(OnGraphErrorAbort, static_cast<HRESULT>(l1));
      break;
    case EC_STREAM_ERROR_STOPPED:
      fire(OnGraphStreamErrorStopped, l1, l2);
      break;
    case EC_STREAM_ERROR_STILLPLAYING:
      fire(OnGraphStreamErrorStillPlaying, l1, l2);
      break;
    case EC_ERROR_STILLPLAYING:
      fire(OnGraphErrorStillPlaying, static_cast<HRESULT>(l1));
      break;
    case EC_PALETTE_CHANGED:
      fire(OnGraphPaletteChanged);
      break;
    case EC_VIDEO_SIZE_CHANGED:
      fire(OnGraphVideoSizeChanged, static_cast<int>(l1 & 0xFFFF), static_cast<int>((l1 >> 16) & 0xFFFF));
      break;
    case EC_QUALITY_CHANGE:
      fire(OnGraphQualityChange);
      break;
    case EC_CLOCK_CHANGED:
      fire(OnGraphClockChanged);
      break;
    case EC_PAUSED:
      fire(OnGraphPaused, static_cast<HRESULT>(l1));
      break;
    case EC_OPENING_FILE:
      fire(OnGraphOpeningFile, l1 == 1);
      break;
    case EC_BUFFERING_DATA:
      fire(OnGraphBufferingData, l1 == 1);
      break;
    case EC_FULLSCREEN_LOST:
      fire(OnGraphFullscreenLost, reinterpret_cast<IBaseFilter*>(param2));
      break;
    case EC_OLE_EVENT:
      if (OnGraphOleEvent) OnGraphOleEvent(*this, text(param1), text(param2));
      break;
    case EC_STREAM_CONTROL_STOPPED:
      fire(OnGraphStreamControlStopped, reinterpret_cast<IPin*>(param1), l2);
      break;
    case EC_STREAM_CONTROL_STARTED:
      fire(OnGraphStreamControlStarted, reinterpret_cast<IPin*>(param1), l2);
      break;
    case EC_END_OF_SEGMENT:
      if (OnGraphEndOfSegment && param1)
        OnGraphEndOfSegment(*this, *reinterpret_cast<const dshow::REFERENCE_TIME*>(param1), l2);
      break;
    case EC_DEVICE_LOST:
      fire(OnGraphDeviceLost, reinterpret_cast<com::IUnknown*>(param1), l2 == 0);
      break;
    case EC_STEP_COMPLETE:
      fire(OnGraphStepComplete);
      break;
    case EC_TIMECODE_AVAILABLE:
      fire(OnGraphTimeCodeAvailable, l1, l2);
      break;
    case EC_EXTDEVICE_MODE_CHANGE:
      fire(OnGraphEXTDeviceModeChange, l1, l2);
      break;
    case EC_GRAPH_CHANGED:
      fire(OnGraphChanged);
      break;
    case EC_CLOCK_UNSET:
      fire(OnGraphClockUnset);
      break;
    case EC_VMR_RENDERDEVICE_SET:
      fire(OnGraphVMRRenderDevice, l1);
      break;
    case EC_SNDDEV_IN_ERROR:
      fire(OnGraphSNDDevInError, l1, l2);
      break;
    case EC_SNDDEV_OUT_ERROR:
      fire(OnGraphSNDDevOutError, l1, l2);
      break;
    default:
      if (event >= EC_DVD_FIRST && event <= EC_DVD_LAST) DispatchDiscEvent(event, param1, param2);
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
    case EC_DVD_DOMAIN_CHANGE:
      fireNth({&OnDVDDomainFirstPlay, &OnDVDDomainVideoManagerMenu, &OnDVDDomainVideoTitleSetMenu, &OnDVDDomainTitle,
               &OnDVDDomainStop});
      break;
    case EC_DVD_TITLE_CHANGE: fire(OnDVDTitleChange, l1); break;
    case EC_DVD_CHAPTER_START: fire(OnDVDChapterStart, l1); break;
    case EC_DVD_AUDIO_STREAM_CHANGE: language(OnDVDAudioStreamChange, true); break;
    case EC_DVD_SUBPICTURE_STREAM_CHANGE: language(OnDVDSubpictureStreamChange, false); break;
    case EC_DVD_ANGLE_CHANGE: fire(OnDVDAngleChange, l1, l2); break;
    case EC_DVD_BUTTON_CHANGE: fire(OnDVDButtonChange, l1, l2); break;
    case EC_DVD_VALID_UOPS_CHANGE: fire(OnDVDValidUOPSChange, l1); break;
    case EC_DVD_STILL_ON: fire(OnDVDStillOn, l1 == 1, l2); break;
    case EC_DVD_STILL_OFF: fire(OnDVDStillOff); break;
    case EC_DVD_CURRENT_TIME: fire(OnDVDCurrentTime, DecodeTimeCode(static_cast<uint32_t>(l1))); break;
    case EC_DVD_ERROR:
      fireNth({&OnDVDErrorUnexpected, &OnDVDErrorCopyProtectFail, &OnDVDErrorInvalidDVD1_0Disc,
               &OnDVDErrorInvalidDiscRegion, &OnDVDErrorLowParentalLevel, &OnDVDErrorMacrovisionFail,
               &OnDVDErrorIncompatibleSystemAndDecoderRegions, &OnDVDErrorIncompatibleDiscAndDecoderRegions});
      break;
    case EC_DVD_WARNING:
      fireNth({&OnDVDWarningInvalidDVD1_0Disc, &OnDVDWarningFormatNotSupported, &OnDVDWarningIllegalNavCommand,
               &OnDVDWarningOpen, &OnDVDWarningSeek, &OnDVDWarningRead});
      break;
    case EC_DVD_CHAPTER_AUTOSTOP: fire(OnDVDChapterAutoStop); break;
    case EC_DVD_NO_FP_PGC: fire(OnDVDNoFP_PGC); break;
    case EC_DVD_PLAYBACK_RATE_CHANGE: fire(OnDVDPlaybackRateChange, static_cast<float>(l1) / 10000.0f); break;
    case EC_DVD_PARENTAL_LEVEL_CHANGE: fire(OnDVDParentalLevelChange, l1); break;
    case EC_DVD_PLAYBACK_STOPPED: fire(OnDVDPlaybackStopped); break;
    case EC_DVD_ANGLES_AVAILABLE: fire(OnDVDAnglesAvailable, l1 == 1); break;
    case EC_DVD_PLAYPERIOD_AUTOSTOP: fire(OnDVDPlayPeriodAutoStop); break;
    case EC_DVD_BUTTON_AUTO_ACTIVATED: fire(OnDVDButtonAutoActivated, l1); break;
    case EC_DVD_CMD_START: fire(OnDVDCMDStart, l1); break;
    case EC_DVD_CMD_END: fire(OnDVDCMDEnd, l1); break;
    case EC_DVD_DISC_EJECTED: fire(OnDVDDiscEjected); break;
    case EC_DVD_DISC_INSERTED: fire(OnDVDDiscInserted); break;
    case EC_DVD_CURRENT_HMSF_TIME: {
      const auto hmsf = static_cast<uint32_t>(l1);
      const TDVDHMSFTimeCode t{static_cast<uint8_t>(hmsf), static_cast<uint8_t>(hmsf >> 8),
                               static_cast<uint8_t>(hmsf >> 16), static_cast<uint8_t>(hmsf >> 24)};
      fire(OnDVDCurrentHMSFTime, t, DecodeTimeCode(static_cast<uint32_t>(l2)));
      break;
    }
    case EC_DVD_KARAOKE_MODE: fire(OnDVDKaraokeMode, l1 != 0); break;
    default: break;
  }
}

}  // namespace tw::dskit
