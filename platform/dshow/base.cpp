// Media types, task memory, error texts, reports, and the base of filters and pins.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/dshow/internal.h"

namespace tw::dshow {

// ---- Task memory and media types ----------------------------------------------------

void* CoTaskMemAlloc(size_t size) { return std::malloc(size == 0 ? 1 : size); }
void CoTaskMemFree(void* block) { std::free(block); }

void FreeMediaType(AM_MEDIA_TYPE& mt) {
  if (mt.pbFormat) CoTaskMemFree(mt.pbFormat);
  mt.pbFormat = nullptr;
  mt.cbFormat = 0;
  if (mt.pUnk) mt.pUnk->Release();
  mt.pUnk = nullptr;
}

HRESULT CopyMediaType(AM_MEDIA_TYPE* target, const AM_MEDIA_TYPE* source) {
  if (!target || !source) return com::E_POINTER;
  *target = *source;
  target->pbFormat = nullptr;
  if (source->cbFormat != 0 && source->pbFormat) {
    target->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(source->cbFormat));
    if (!target->pbFormat) {
      target->cbFormat = 0;
      return com::E_OUTOFMEMORY;
    }
    std::memcpy(target->pbFormat, source->pbFormat, source->cbFormat);
  } else {
    target->cbFormat = 0;
  }
  if (target->pUnk) target->pUnk->AddRef();
  return com::S_OK;
}

void DeleteMediaType(AM_MEDIA_TYPE* mt) {
  if (!mt) return;
  FreeMediaType(*mt);
  CoTaskMemFree(mt);
}

const BITMAPINFOHEADER* VideoHeaderOf(const AM_MEDIA_TYPE& mt) {
  if (!mt.pbFormat) return nullptr;
  if (mt.formattype == FORMAT_VideoInfo && mt.cbFormat >= sizeof(VIDEOINFOHEADER))
    return &reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat)->bmiHeader;
  if (mt.formattype == FORMAT_VideoInfo2 && mt.cbFormat >= sizeof(VIDEOINFOHEADER2))
    return &reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat)->bmiHeader;
  return nullptr;
}

BITMAPINFOHEADER* VideoHeaderOf(AM_MEDIA_TYPE& mt) {
  return const_cast<BITMAPINFOHEADER*>(VideoHeaderOf(static_cast<const AM_MEDIA_TYPE&>(mt)));
}

MediaType::MediaType() : mt_{} {
  mt_.bFixedSizeSamples = com::TRUE;
  mt_.lSampleSize = 1;
}

MediaType::MediaType(const AM_MEDIA_TYPE& from) : mt_{} { CopyMediaType(&mt_, &from); }
MediaType::MediaType(const MediaType& other) : MediaType(other.mt_) {}
MediaType& MediaType::operator=(const MediaType& other) {
  if (this != &other) {
    FreeMediaType(mt_);
    CopyMediaType(&mt_, &other.mt_);
  }
  return *this;
}
MediaType::~MediaType() { FreeMediaType(mt_); }

MediaType MediaType::Video(const GUID& subtype, int width, int height, int bits, REFERENCE_TIME frameTime,
                           bool videoInfo2) {
  MediaType t;
  AM_MEDIA_TYPE& mt = t.mt_;
  mt.majortype = MEDIATYPE_Video;
  mt.subtype = subtype;
  mt.formattype = videoInfo2 ? FORMAT_VideoInfo2 : FORMAT_VideoInfo;
  mt.cbFormat = videoInfo2 ? sizeof(VIDEOINFOHEADER2) : sizeof(VIDEOINFOHEADER);
  mt.pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(mt.cbFormat));
  std::memset(mt.pbFormat, 0, mt.cbFormat);
  const int absHeight = height < 0 ? -height : height;
  const DWORD stride = static_cast<DWORD>(((bits * width + 31) / 32) * 4);
  const DWORD image = stride * static_cast<DWORD>(absHeight);
  BITMAPINFOHEADER* h = VideoHeaderOf(mt);
  h->biSize = sizeof(BITMAPINFOHEADER);
  h->biWidth = width;
  h->biHeight = height;
  h->biPlanes = 1;
  h->biBitCount = static_cast<WORD>(bits);
  h->biCompression = subtype == MEDIASUBTYPE_YUY2 ? subtype.Data1 : BI_RGB;
  h->biSizeImage = image;
  // AvgTimePerFrame sits at byte 40 of both blocks.
  std::memcpy(mt.pbFormat + 40, &frameTime, sizeof frameTime);
  mt.lSampleSize = image;
  return t;
}

// ---- Error texts --------------------------------------------------------------------------

namespace {

const char* TextOf(HRESULT hr) {
  switch (hr) {
    case com::S_OK: return "The operation completed successfully.";
    case com::S_FALSE: return "The operation completed with a false result.";
    case com::E_FAIL: return "Unspecified error.";
    case com::E_NOINTERFACE: return "No such interface supported.";
    case com::E_POINTER: return "Invalid pointer.";
    case com::E_ABORT: return "Operation aborted.";
    case com::E_UNEXPECTED: return "Catastrophic failure.";
    case com::E_OUTOFMEMORY: return "Not enough storage is available to complete this operation.";
    case com::E_INVALIDARG: return "The parameter is incorrect.";
    case com::E_NOTIMPL: return "Not implemented.";
    case com::REGDB_E_CLASSNOTREG: return "Class not registered.";
    case VFW_E_NOT_CONNECTED: return "The operation cannot be performed because the pins are not connected.";
    case VFW_E_ALREADY_CONNECTED: return "The pin is already connected.";
    case VFW_E_NO_ACCEPTABLE_TYPES: return "There is no common media type between these pins.";
    case VFW_E_INVALIDMEDIATYPE: return "The specified media type is invalid.";
    case VFW_E_NOT_STOPPED: return "The operation cannot be performed because the filter is not stopped.";
    case VFW_E_WRONG_STATE: return "The operation could not be performed because the filter is in the wrong state.";
    case VFW_E_CANNOT_CONNECT: return "No combination of intermediate filters could be found to make the connection.";
    case VFW_E_NOT_IN_GRAPH: return "The filter is not in a filter graph.";
    case VFW_E_NO_CAPTURE_HARDWARE: return "No capture hardware is available.";
    case VFW_E_DEVICE_LOST: return "The capture device was removed.";
    case VFW_E_BUFFER_NOTSET: return "No buffer space has been set.";
    case VFW_E_NO_INTERFACE: return "The filter does not support this interface.";
    case E_HANDLE: return "The handle is invalid.";
    case VFW_E_DVD_NO_DISC: return "There is no disc in the drive.";
    case MK_E_UNAVAILABLE: return "Operation unavailable.";
    default: return nullptr;
  }
}

}  // namespace

DWORD AMGetErrorTextA(HRESULT hr, char* buffer, DWORD maxLength) {
  if (!buffer || maxLength == 0) return 0;
  char unknown[48];
  const char* text = TextOf(hr);
  if (!text) {
    std::snprintf(unknown, sizeof unknown, "Unknown error 0x%08X.", static_cast<unsigned>(hr));
    text = unknown;
  }
  const size_t n = std::min<size_t>(std::strlen(text), maxLength - 1);
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return static_cast<DWORD>(n);
}

// ---- Reports ------------------------------------------------------------------------------

namespace {

void WriteToStderr(const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); }

std::atomic<ReportHook> g_reportHook{&WriteToStderr};

}  // namespace

ReportHook SetReportHook(ReportHook hook) { return g_reportHook.exchange(hook ? hook : &WriteToStderr); }
void ReportError(const std::string& text) { g_reportHook.load()(text); }

namespace detail {

// ---- Streaming threads -------------------------------------------------------------------

namespace {
thread_local int t_streaming = 0;
}

StreamingThreadMark::StreamingThreadMark() { ++t_streaming; }
StreamingThreadMark::~StreamingThreadMark() { --t_streaming; }

}  // namespace detail

bool OnStreamingThread() { return detail::t_streaming > 0; }

namespace detail {

// ---- Enumerators ------------------------------------------------------------------------------

namespace {

class MediaTypeEnum final : public com::ComObject<MediaTypeEnum, IEnumMediaTypes> {
 public:
  explicit MediaTypeEnum(std::vector<MediaType> types) : types_(std::move(types)) {}
  HRESULT Next(ULONG count, AM_MEDIA_TYPE** out, ULONG* fetched) override {
    if (!out) return com::E_POINTER;
    ULONG n = 0;
    while (n < count && pos_ < types_.size()) {
      auto* mt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
      if (!mt) break;
      CopyMediaType(mt, &types_[pos_++].Get());
      out[n++] = mt;
    }
    if (fetched) *fetched = n;
    return n == count ? com::S_OK : com::S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    pos_ = std::min(types_.size(), pos_ + count);
    return pos_ < types_.size() ? com::S_OK : com::S_FALSE;
  }
  HRESULT Reset() override {
    pos_ = 0;
    return com::S_OK;
  }

 private:
  std::vector<MediaType> types_;
  size_t pos_ = 0;
};

class PinEnum final : public com::ComObject<PinEnum, IEnumPins> {
 public:
  explicit PinEnum(std::vector<ComPtr<IPin>> pins) : pins_(std::move(pins)) {}
  HRESULT Next(ULONG count, IPin** out, ULONG* fetched) override {
    if (!out) return com::E_POINTER;
    ULONG n = 0;
    while (n < count && pos_ < pins_.size()) pins_[pos_++].CopyTo(&out[n++]);
    if (fetched) *fetched = n;
    return n == count ? com::S_OK : com::S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    pos_ = std::min(pins_.size(), pos_ + count);
    return pos_ < pins_.size() ? com::S_OK : com::S_FALSE;
  }
  HRESULT Reset() override {
    pos_ = 0;
    return com::S_OK;
  }

 private:
  std::vector<ComPtr<IPin>> pins_;
  size_t pos_ = 0;
};

}  // namespace

ComPtr<IEnumMediaTypes> MakeMediaTypeEnum(std::vector<MediaType> types) {
  return com::MakeComObject<MediaTypeEnum>(std::move(types));
}

// ---- Pins ---------------------------------------------------------------------------------------

PinBase::PinBase(FilterBase& filter, PIN_DIRECTION direction, const GUID* category)
    : filter_(filter), direction_(direction), category_(category) {}

HRESULT PinBase::QueryInterface(const GUID& iid, void** object) {
  if (!object) return com::E_POINTER;
  *object = nullptr;
  if (iid == IPin::kIid || iid == com::IID_IUnknown) {
    *object = static_cast<IPin*>(this);
  } else if (iid == kIidPinBase) {
    *object = this;
  } else {
    *object = QueryExtra(iid);
  }
  if (!*object) return com::E_NOINTERFACE;
  AddRef();
  return com::S_OK;
}

ULONG PinBase::AddRef() { return filter_.AddRef(); }
ULONG PinBase::Release() { return filter_.Release(); }

bool PinBase::IsConnected() {
  std::lock_guard lock(mutex_);
  return peer_ != nullptr;
}

MediaType PinBase::ConnectedType() {
  std::lock_guard lock(mutex_);
  return type_;
}

void PinBase::Link(PinBase& output, PinBase& input, const MediaType& mt) {
  {
    std::scoped_lock lock(output.mutex_, input.mutex_);
    output.peer_ = &input;
    input.peer_ = &output;
    output.type_ = mt;
    input.type_ = mt;
  }
  input.Connected();
  output.Connected();
}

void PinBase::Unlink() {
  PinBase* output = direction_ == PINDIR_OUTPUT ? this : nullptr;
  PinBase* input = direction_ == PINDIR_INPUT ? this : nullptr;
  {
    std::lock_guard lock(mutex_);
    if (!peer_) return;
    (output ? input : output) = peer_;
  }
  {
    // Output first: waits for a delivery in flight.
    std::scoped_lock lock(output->mutex_, input->mutex_);
    if (output->peer_ != input) return;
    output->peer_ = nullptr;
    input->peer_ = nullptr;
    output->type_ = MediaType();
    input->type_ = MediaType();
  }
  input->Disconnected();
  output->Disconnected();
}

HRESULT PinBase::Disconnect() {
  if (!IsConnected()) return com::S_FALSE;
  Unlink();
  return com::S_OK;
}

HRESULT PinBase::ConnectedTo(IPin** pin) {
  if (!pin) return com::E_POINTER;
  std::lock_guard lock(mutex_);
  *pin = peer_;
  if (!peer_) return VFW_E_NOT_CONNECTED;
  peer_->AddRef();
  return com::S_OK;
}

HRESULT PinBase::ConnectionMediaType(AM_MEDIA_TYPE* mt) {
  if (!mt) return com::E_POINTER;
  std::lock_guard lock(mutex_);
  if (!peer_) {
    *mt = AM_MEDIA_TYPE{};
    return VFW_E_NOT_CONNECTED;
  }
  return CopyMediaType(mt, &type_.Get());
}

HRESULT PinBase::QueryDirection(PIN_DIRECTION* direction) {
  if (!direction) return com::E_POINTER;
  *direction = direction_;
  return com::S_OK;
}

HRESULT PinBase::QueryFilter(IBaseFilter** filter) {
  if (!filter) return com::E_POINTER;
  *filter = &filter_;
  filter_.AddRef();
  return com::S_OK;
}

HRESULT PinBase::EnumMediaTypes(IEnumMediaTypes** types) {
  if (!types) return com::E_POINTER;
  *types = MakeMediaTypeEnum(ListedTypes()).Detach();
  return *types ? com::S_OK : com::E_OUTOFMEMORY;
}

void PinBase::Deliver(const Sample& sample) {
  std::lock_guard lock(mutex_);
  if (peer_) peer_->Receive(sample);
}

PinBase* PinOf(IPin* pin) {
  if (!pin) return nullptr;
  void* p = nullptr;
  if (FAILED(pin->QueryInterface(kIidPinBase, &p))) return nullptr;
  auto* base = static_cast<PinBase*>(p);
  base->Release();  // the filter keeps the pin alive
  return base;
}

FilterBase* FilterOf(IUnknown* filter) {
  if (!filter) return nullptr;
  void* p = nullptr;
  if (FAILED(filter->QueryInterface(kIidFilterBase, &p))) return nullptr;
  auto* base = static_cast<FilterBase*>(p);
  base->Release();
  return base;
}

// ---- Filters ------------------------------------------------------------------------------------

HRESULT FilterBase::QueryInterface(const GUID& iid, void** object) {
  if (!object) return com::E_POINTER;
  *object = nullptr;
  if (iid == IBaseFilter::kIid || iid == com::IID_IUnknown) {
    *object = static_cast<IBaseFilter*>(this);
  } else if (iid == kIidFilterBase) {
    *object = this;
  } else {
    *object = QueryExtra(iid);
  }
  if (!*object) return com::E_NOINTERFACE;
  AddRef();
  return com::S_OK;
}

ULONG FilterBase::Release() {
  const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;
  return left;
}

HRESULT FilterBase::GetClassID(GUID* clsid) {
  if (!clsid) return com::E_POINTER;
  *clsid = clsid_;
  return com::S_OK;
}

HRESULT FilterBase::Stop() {
  if (state_.exchange(State_Stopped) != State_Stopped) OnStop();
  return com::S_OK;
}

HRESULT FilterBase::Pause() {
  if (state_.load() == State_Running) {
    OnStop();
  }
  state_ = State_Paused;
  return com::S_OK;
}

HRESULT FilterBase::Run(REFERENCE_TIME) {
  if (state_.load() == State_Running) return com::S_OK;
  HRESULT hr = OnRun();
  if (FAILED(hr)) return hr;
  state_ = State_Running;
  return com::S_OK;
}

HRESULT FilterBase::GetState(DWORD, FILTER_STATE* state) {
  if (!state) return com::E_POINTER;
  *state = state_.load();
  return com::S_OK;
}

HRESULT FilterBase::EnumPins(IEnumPins** pins) {
  if (!pins) return com::E_POINTER;
  std::vector<ComPtr<IPin>> list;
  for (auto& p : pins_) list.emplace_back(p.get());
  *pins = com::MakeComObject<PinEnum>(std::move(list)).Detach();
  return *pins ? com::S_OK : com::E_OUTOFMEMORY;
}

HRESULT FilterBase::JoinFilterGraph(IFilterGraph* graph, const char16_t* name) {
  std::lock_guard lock(graphMutex_);
  graph_ = graph;
  name_ = graph && name ? std::u16string(name) : std::u16string();
  return com::S_OK;
}

HRESULT FilterBase::QueryFilterInfo(FILTER_INFO* info) {
  if (!info) return com::E_POINTER;
  std::lock_guard lock(graphMutex_);
  const size_t n = std::min<size_t>(name_.size(), std::size(info->achName) - 1);
  std::copy_n(name_.begin(), n, info->achName);
  info->achName[n] = u'\0';
  info->pGraph = graph_;
  if (graph_) graph_->AddRef();
  return com::S_OK;
}

std::vector<PinBase*> FilterBase::Pins() {
  std::vector<PinBase*> list;
  for (auto& p : pins_) list.push_back(p.get());
  return list;
}

void FilterBase::NotifyGraph(LONG code, LONG_PTR param1, LONG_PTR param2) {
  std::lock_guard lock(graphMutex_);
  if (!graph_) return;
  ComPtr<IMediaEventSink> sink = ComPtr<IFilterGraph>(graph_).As<IMediaEventSink>();
  if (sink) sink->Notify(code, param1, param2);
}

}  // namespace detail
}  // namespace tw::dshow
