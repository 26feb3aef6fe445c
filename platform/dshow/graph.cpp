// The filter graph manager (filters, connections, run and stop, the event
// queue with its notification window, its site's builder callbacks, its log,
// the volume of its audio renderers) and the capture graph builder.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>

#include "platform/com/guid.h"
#include "platform/dshow/internal.h"
#include "platform/files/files.h"
#include "platform/win32/messages.h"

namespace tw::dshow::detail {

namespace {

struct Event {
  LONG code;
  LONG_PTR param1;
  LONG_PTR param2;
};

class FilterEnum final : public com::ComObject<FilterEnum, IEnumFilters> {
 public:
  explicit FilterEnum(std::vector<ComPtr<IBaseFilter>> filters) : filters_(std::move(filters)) {}
  HRESULT Next(ULONG count, IBaseFilter** out, ULONG* fetched) override {
    if (!out) return com::E_POINTER;
    ULONG n = 0;
    while (n < count && pos_ < filters_.size()) filters_[pos_++].CopyTo(&out[n++]);
    if (fetched) *fetched = n;
    return n == count ? com::S_OK : com::S_FALSE;
  }
  HRESULT Reset() override {
    pos_ = 0;
    return com::S_OK;
  }

 private:
  std::vector<ComPtr<IBaseFilter>> filters_;
  size_t pos_ = 0;
};

std::string NameOf(IBaseFilter* filter) {
  FILTER_INFO info{};
  std::string name;
  if (filter && SUCCEEDED(filter->QueryFilterInfo(&info))) {
    if (info.pGraph) info.pGraph->Release();
    for (const char16_t* p = info.achName; *p; ++p) name += static_cast<char>(*p < 0x80 ? *p : '?');
  }
  if (name.empty() && filter) {
    GUID clsid{};
    filter->GetClassID(&clsid);
    name = com::GuidToString(clsid);
  }
  return name;
}

std::string HexOf(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

class FilterGraph final
    : public com::ComObject<FilterGraph, IFilterGraph2, IMediaControl, IMediaEventEx, IMediaEventSink,
                            IObjectWithSite, IServiceProvider, IBasicAudio> {
 public:
  ~FilterGraph() override {
    Stop();
    for (auto& f : filters_) {
      DisconnectPins(f);
      f->JoinFilterGraph(nullptr, nullptr);
    }
    for (const Event& e : events_) FreeEventParams(e.code, e.param1, e.param2);
  }

  // ---- IFilterGraph2 ----
  HRESULT AddFilter(IBaseFilter* filter, const char16_t* name) override {
    if (!filter) return com::E_POINTER;
    if (Find(filter) != filters_.end()) return com::E_INVALIDARG;
    filters_.emplace_back(filter);
    filter->JoinFilterGraph(this, name);
    Log("AddFilter " + NameOf(filter));
    return com::S_OK;
  }
  HRESULT RemoveFilter(IBaseFilter* filter) override {
    auto it = Find(filter);
    if (it == filters_.end()) return VFW_E_NOT_IN_GRAPH;
    ComPtr<IBaseFilter> held = *it;
    Log("RemoveFilter " + NameOf(filter));
    held->Stop();
    DisconnectPins(held);
    held->JoinFilterGraph(nullptr, nullptr);
    filters_.erase(Find(filter));
    return com::S_OK;
  }
  HRESULT EnumFilters(IEnumFilters** out) override {
    if (!out) return com::E_POINTER;
    *out = com::MakeComObject<FilterEnum>(filters_).Detach();
    return *out ? com::S_OK : com::E_OUTOFMEMORY;
  }
  HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* mt) override {
    PinBase* o = PinOf(out);
    PinBase* i = PinOf(in);
    HRESULT hr = CheckPair(o, i);
    if (FAILED(hr)) return hr;
    for (const MediaType& t : o->ProposedTypes()) {
      if (mt && !(mt->subtype == t.Get().subtype && mt->formattype == t.Get().formattype)) continue;
      if (i->Accepts(t.Get())) {
        PinBase::Link(*o, *i, t);
        return com::S_OK;
      }
    }
    return VFW_E_NO_ACCEPTABLE_TYPES;
  }
  HRESULT Connect(IPin* out, IPin* in) override {
    HRESULT hr = TryConnect(out, in);
    if (hr == VFW_E_CANNOT_CONNECT) {
      // The site may add what the pin needs; then one more attempt.
      ComPtr<IAMFilterGraphCallback> callback = site_.As<IAMFilterGraphCallback>();
      if (callback && callback->UnableToRender(out) == com::S_OK) hr = TryConnect(out, in);
    }
    Log("Connect " + HexOf(hr));
    return hr;
  }
  HRESULT TryConnect(IPin* out, IPin* in) {
    HRESULT hr = ConnectDirect(out, in, nullptr);
    if (hr != VFW_E_NO_ACCEPTABLE_TYPES) return hr;
    // No common type: try a colour converter between the two.
    PinBase* o = PinOf(out);
    std::vector<MediaType> proposed = o->ProposedTypes();
    if (proposed.empty() || !ConverterAccepts(proposed.front().Get())) return VFW_E_CANNOT_CONNECT;
    ComPtr<IAMGraphBuilderCallback> builder = site_.As<IAMGraphBuilderCallback>();
    ComPtr<IMoniker> moniker = MakeClassMoniker(CLSID_ColourConverter, "Colour Converter");
    if (!moniker) return com::E_OUTOFMEMORY;
    if (builder && FAILED(builder->SelectedFilter(moniker.Get()))) return VFW_E_CANNOT_CONNECT;
    ComPtr<IBaseFilter> converter;
    hr = moniker->BindToObject(nullptr, nullptr, IBaseFilter::kIid, converter.OutVoid());
    if (FAILED(hr)) return hr;
    if (builder && FAILED(builder->CreatedFilter(converter.Get()))) return VFW_E_CANNOT_CONNECT;
    FilterBase* c = FilterOf(converter.Get());
    if (!c) return com::E_OUTOFMEMORY;
    std::vector<PinBase*> pins = c->Pins();
    AddFilter(converter.Get(), u"Colour Converter");
    if (FAILED(ConnectDirect(out, pins[0], nullptr)) || FAILED(ConnectDirect(pins[1], in, nullptr))) {
      RemoveFilter(converter.Get());
      return VFW_E_CANNOT_CONNECT;
    }
    return com::S_OK;
  }
  HRESULT SetLogFile(uintptr_t file) override {
    auto* log = reinterpret_cast<files::TFile*>(file);
    if (log && !log->IsOpen()) return E_HANDLE;
    log_ = log;
    return com::S_OK;
  }

  // ---- IObjectWithSite and IServiceProvider ----
  HRESULT SetSite(IUnknown* site) override {
    site_ = ComPtr<IUnknown>(site);
    return com::S_OK;
  }
  HRESULT QueryService(const GUID& service, const GUID& iid, void** object) override {
    if (!object) return com::E_POINTER;
    *object = nullptr;
    ComPtr<IServiceProvider> provider = site_.As<IServiceProvider>();
    return provider ? provider->QueryService(service, iid, object) : com::E_NOINTERFACE;
  }

  // ---- IBasicAudio: every audio renderer of the graph ----
  HRESULT put_Volume(LONG volume) override {
    return ForEachAudio([&](IBasicAudio& a) { return a.put_Volume(volume); });
  }
  HRESULT get_Volume(LONG* volume) override {
    if (!volume) return com::E_POINTER;
    return ForFirstAudio([&](IBasicAudio& a) { return a.get_Volume(volume); });
  }
  HRESULT put_Balance(LONG balance) override {
    return ForEachAudio([&](IBasicAudio& a) { return a.put_Balance(balance); });
  }
  HRESULT get_Balance(LONG* balance) override {
    if (!balance) return com::E_POINTER;
    return ForFirstAudio([&](IBasicAudio& a) { return a.get_Balance(balance); });
  }

  // ---- IMediaControl ----
  HRESULT Run() override {
    if (state_ == State_Running) return com::S_OK;
    // Downstream filters first, sources last, so nothing arrives at a stopped filter.
    for (int pass = 0; pass < 2; ++pass) {
      for (auto& f : filters_) {
        FilterBase* b = FilterOf(f.Get());
        if ((b && b->IsSource()) != (pass == 1)) continue;
        HRESULT hr = f->Run(0);
        if (FAILED(hr)) {
          StopFilters();
          return hr;
        }
      }
    }
    state_ = State_Running;
    Log("Run");
    return com::S_OK;
  }
  HRESULT Pause() override {
    for (auto& f : filters_) f->Pause();
    state_ = State_Paused;
    return com::S_OK;
  }
  HRESULT Stop() override {
    if (OnStreamingThread()) return VFW_E_WRONG_STATE;  // would wait for itself
    StopFilters();
    if (state_ != State_Stopped) Log("Stop");
    state_ = State_Stopped;
    return com::S_OK;
  }
  HRESULT GetState(LONG, FILTER_STATE* state) override {
    if (!state) return com::E_POINTER;
    *state = state_;
    return com::S_OK;
  }

  // ---- IMediaEventEx and IMediaEventSink ----
  HRESULT GetEvent(LONG* code, LONG_PTR* param1, LONG_PTR* param2, LONG timeoutMs) override {
    if (!code || !param1 || !param2) return com::E_POINTER;
    std::unique_lock lock(eventMutex_);
    if (timeoutMs != 0) {
      auto ready = [&] { return !events_.empty(); };
      if (timeoutMs < 0) eventReady_.wait(lock, ready);
      else eventReady_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    }
    if (events_.empty()) {
      *code = 0;
      *param1 = *param2 = 0;
      return com::E_ABORT;
    }
    const Event e = events_.front();
    events_.pop_front();
    *code = e.code;
    *param1 = e.param1;
    *param2 = e.param2;
    return com::S_OK;
  }
  HRESULT FreeEventParams(LONG code, LONG_PTR param1, LONG_PTR) override {
    if (code == EC_DEVICE_LOST && param1) reinterpret_cast<IUnknown*>(param1)->Release();
    return com::S_OK;
  }
  HRESULT SetNotifyWindow(OAHWND window, LONG message, LONG_PTR instance) override {
    std::lock_guard lock(eventMutex_);
    window_ = static_cast<win32::HWND>(window);
    message_ = static_cast<win32::UINT>(message);
    instance_ = instance;
    return com::S_OK;
  }
  HRESULT SetNotifyFlags(LONG flags) override {
    if (flags != 0 && flags != AM_MEDIAEVENT_NONOTIFY) return com::E_INVALIDARG;
    std::lock_guard lock(eventMutex_);
    notify_ = flags == 0;
    return com::S_OK;
  }
  HRESULT Notify(LONG code, LONG_PTR param1, LONG_PTR param2) override {
    std::lock_guard lock(eventMutex_);
    events_.push_back({code, param1, param2});
    eventReady_.notify_all();
    if (notify_ && window_ != 0) win32::PostMessageA(window_, message_, 0, instance_);
    return com::S_OK;
  }

 private:
  void Log(const std::string& line) {
    if (log_) log_->Write(line + "\n");  // a log that cannot be written stays silent
  }
  template <class F>
  HRESULT ForEachAudio(F call) {
    HRESULT result = com::E_NOTIMPL;
    for (auto& f : filters_) {
      if (ComPtr<IBasicAudio> a = f.As<IBasicAudio>()) {
        const HRESULT hr = call(*a);
        if (result == com::E_NOTIMPL || (SUCCEEDED(result) && FAILED(hr))) result = hr;
      }
    }
    return result;
  }
  template <class F>
  HRESULT ForFirstAudio(F call) {
    for (auto& f : filters_) {
      if (ComPtr<IBasicAudio> a = f.As<IBasicAudio>()) return call(*a);
    }
    return com::E_NOTIMPL;
  }

  std::vector<ComPtr<IBaseFilter>>::iterator Find(IBaseFilter* filter) {
    return std::find_if(filters_.begin(), filters_.end(), [&](const auto& f) { return f.Get() == filter; });
  }
  static HRESULT CheckPair(PinBase* o, PinBase* i) {
    if (!o || !i) return com::E_POINTER;
    if (o->Direction() != PINDIR_OUTPUT || i->Direction() != PINDIR_INPUT) return com::E_INVALIDARG;
    if (o->IsConnected() || i->IsConnected()) return VFW_E_ALREADY_CONNECTED;
    return com::S_OK;
  }
  static void DisconnectPins(const ComPtr<IBaseFilter>& filter) {
    if (FilterBase* b = FilterOf(filter.Get())) {
      for (PinBase* p : b->Pins()) p->Disconnect();
    }
  }
  void StopFilters() {
    // Sources first: their streaming threads end before anything downstream stops.
    for (int pass = 0; pass < 2; ++pass) {
      for (auto& f : filters_) {
        FilterBase* b = FilterOf(f.Get());
        if ((b && b->IsSource()) == (pass == 0)) f->Stop();
      }
    }
  }

  std::vector<ComPtr<IBaseFilter>> filters_;
  FILTER_STATE state_ = State_Stopped;
  std::mutex eventMutex_;
  std::condition_variable eventReady_;
  std::deque<Event> events_;
  win32::HWND window_ = 0;
  win32::UINT message_ = 0;
  LONG_PTR instance_ = 0;
  bool notify_ = true;
  ComPtr<IUnknown> site_;
  files::TFile* log_ = nullptr;  // the caller's
};

class CaptureGraphBuilder final : public com::ComObject<CaptureGraphBuilder, ICaptureGraphBuilder2> {
 public:
  HRESULT SetFiltergraph(IFilterGraph2* graph) override {
    if (!graph) return com::E_POINTER;
    if (graph_) return com::E_UNEXPECTED;
    graph_ = ComPtr<IFilterGraph2>(graph);
    return com::S_OK;
  }
  HRESULT GetFiltergraph(IFilterGraph2** graph) override {
    if (!graph) return com::E_POINTER;
    if (!graph_) {
      graph_ = MakeFilterGraph().As<IFilterGraph2>();
      if (!graph_) return com::E_OUTOFMEMORY;
    }
    return graph_.CopyTo(graph);
  }
  HRESULT RenderStream(const GUID* category, const GUID*, IUnknown* source, IBaseFilter* intermediate,
                       IBaseFilter* sink) override {
    if (!graph_) return com::E_UNEXPECTED;
    FilterBase* src = FilterOf(source);
    if (!src) return com::E_INVALIDARG;
    PinBase* out = nullptr;
    for (PinBase* p : src->Pins()) {
      if (p->Direction() == PINDIR_OUTPUT && !p->IsConnected() &&
          (!category || (p->Category() && *p->Category() == *category))) {
        out = p;
        break;
      }
    }
    if (!out) return com::E_FAIL;
    for (IBaseFilter* next : {intermediate, sink}) {
      if (!next) continue;
      FilterBase* n = FilterOf(next);
      if (!n) return com::E_INVALIDARG;
      PinBase* in = FirstPin(*n, PINDIR_INPUT);
      if (!in) return VFW_E_CANNOT_CONNECT;
      HRESULT hr = graph_->Connect(out, in);
      if (FAILED(hr)) return hr;
      out = FirstPin(*n, PINDIR_OUTPUT);
      if (!out && next != sink && sink) return VFW_E_CANNOT_CONNECT;
    }
    return com::S_OK;
  }

 private:
  static PinBase* FirstPin(FilterBase& filter, PIN_DIRECTION direction) {
    for (PinBase* p : filter.Pins()) {
      if (p->Direction() == direction && !p->IsConnected()) return p;
    }
    return nullptr;
  }

  ComPtr<IFilterGraph2> graph_;
};

}  // namespace

ComPtr<IUnknown> MakeFilterGraph() {
  return ComPtr<IUnknown>(com::MakeComObject<FilterGraph>()->Identity());
}
ComPtr<IUnknown> MakeCaptureGraphBuilder() {
  return ComPtr<IUnknown>(com::MakeComObject<CaptureGraphBuilder>()->Identity());
}

}  // namespace tw::dshow::detail
