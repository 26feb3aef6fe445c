// The filters of the layer: the capture source around a Camera, the colour
// converter that the capture builder inserts, the sample grabber and the
// video renderer (which draws nothing and records its window's calls).
#include <algorithm>
#include <cstring>

#include "platform/dshow/convert.h"
#include "platform/dshow/internal.h"

namespace tw::dshow::detail {

namespace {

bool SameSize(const AM_MEDIA_TYPE& a, const AM_MEDIA_TYPE& b) {
  const BITMAPINFOHEADER* ha = VideoHeaderOf(a);
  const BITMAPINFOHEADER* hb = VideoHeaderOf(b);
  return ha && hb && ha->biWidth == hb->biWidth && ha->biHeight == hb->biHeight;
}

REFERENCE_TIME FrameTimeOf(const AM_MEDIA_TYPE& mt) {
  REFERENCE_TIME t = 0;
  if (mt.pbFormat && mt.cbFormat >= 48) std::memcpy(&t, mt.pbFormat + 40, sizeof t);
  return t;
}

// ---- Capture source -------------------------------------------------------------------

class CaptureFilter;

class CapturePin final : public PinBase, public IAMStreamConfig, public FrameSink {
 public:
  CapturePin(FilterBase& filter, Camera& camera)
      : PinBase(filter, PINDIR_OUTPUT, &PIN_CATEGORY_CAPTURE), camera_(camera), types_(camera.MediaTypes()) {
    if (!types_.empty()) format_ = types_.front();
  }

  // IUnknown of IAMStreamConfig: the pin's.
  HRESULT QueryInterface(const GUID& iid, void** object) override { return PinBase::QueryInterface(iid, object); }
  ULONG AddRef() override { return PinBase::AddRef(); }
  ULONG Release() override { return PinBase::Release(); }

  void* QueryExtra(const GUID& iid) override {
    return iid == IAMStreamConfig::kIid ? static_cast<IAMStreamConfig*>(this) : nullptr;
  }
  std::vector<MediaType> ListedTypes() override { return types_; }
  std::vector<MediaType> ProposedTypes() override {
    if (types_.empty()) return {};
    return {format_};
  }

  HRESULT SetFormat(const AM_MEDIA_TYPE* mt) override {
    if (!mt) return com::E_POINTER;
    if (IsConnected()) return VFW_E_ALREADY_CONNECTED;
    for (const MediaType& t : types_) {
      const AM_MEDIA_TYPE& o = t.Get();
      if (o.subtype == mt->subtype && o.formattype == mt->formattype && SameSize(o, *mt)) {
        MediaType chosen(*mt);
        if (FrameTimeOf(chosen.Get()) <= 0) chosen = t;
        format_ = chosen;
        return com::S_OK;
      }
    }
    return VFW_E_INVALIDMEDIATYPE;
  }
  HRESULT GetFormat(AM_MEDIA_TYPE** mt) override {
    if (!mt) return com::E_POINTER;
    *mt = nullptr;
    if (types_.empty()) return VFW_E_NO_ACCEPTABLE_TYPES;
    *mt = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!*mt) return com::E_OUTOFMEMORY;
    return CopyMediaType(*mt, &format_.Get());
  }

  HRESULT StartStreaming() {
    if (!IsConnected()) return com::S_OK;  // nothing to feed: runs without frames
    return camera_.Start(ConnectedType(), *this);
  }
  void StopStreaming() { camera_.Stop(); }

  void Deliver(REFERENCE_TIME start, REFERENCE_TIME stop, std::span<const uint8_t> frame) override {
    PinBase::Deliver(Sample{start, stop, frame.data(), frame.size()});
  }
  void Lost() override {
    IUnknown* device = static_cast<IBaseFilter*>(&Filter());
    device->AddRef();  // released by FreeEventParams
    Filter().NotifyGraph(EC_DEVICE_LOST, reinterpret_cast<LONG_PTR>(device), 0);
  }

 private:
  Camera& camera_;
  std::vector<MediaType> types_;
  MediaType format_;
};

class CaptureFilter final : public FilterBase {
 public:
  explicit CaptureFilter(std::unique_ptr<Camera> camera)
      : FilterBase(CLSID_CaptureSource), camera_(std::move(camera)) {
    auto pin = std::make_unique<CapturePin>(*this, *camera_);
    pin_ = pin.get();
    AddPin(std::move(pin));
  }
  ~CaptureFilter() override { camera_->Stop(); }

  bool IsSource() const override { return true; }
  HRESULT OnRun() override {
    if (OnStreamingThread()) return VFW_E_WRONG_STATE;
    return pin_->StartStreaming();
  }
  void OnStop() override { pin_->StopStreaming(); }

 private:
  std::unique_ptr<Camera> camera_;
  CapturePin* pin_;
};

// ---- Colour converter --------------------------------------------------------------------

class ConverterInput;

class ConverterOutput final : public PinBase {
 public:
  ConverterOutput(FilterBase& filter, PinBase& input) : PinBase(filter, PINDIR_OUTPUT), input_(input) {}
  std::vector<MediaType> ListedTypes() override {
    if (!input_.IsConnected()) return {};
    return {Rgb24Like(input_.ConnectedType().Get())};
  }

 private:
  PinBase& input_;
};

class ConverterInput final : public PinBase {
 public:
  explicit ConverterInput(FilterBase& filter) : PinBase(filter, PINDIR_INPUT) {}
  void SetOutput(PinBase* output) { output_ = output; }
  bool Accepts(const AM_MEDIA_TYPE& mt) override { return ConverterAccepts(mt); }
  void Connected() override {
    const MediaType in = ConnectedType();
    const BITMAPINFOHEADER* h = VideoHeaderOf(in.Get());
    subtype_ = in.Get().subtype;
    width_ = h->biWidth;
    height_ = h->biHeight;
    const MediaType out = Rgb24Like(in.Get());
    out_.assign(VideoHeaderOf(out.Get())->biSizeImage, 0);
  }
  void Receive(const Sample& s) override {
    if (!ConvertToRgb24(subtype_, s.data, s.length, width_, height_, out_.data(), out_.size())) return;
    output_->Deliver(Sample{s.start, s.stop, out_.data(), out_.size()});
  }

 private:
  PinBase* output_ = nullptr;
  GUID subtype_{};
  int width_ = 0;
  int height_ = 0;
  std::vector<uint8_t> out_;
};

class ColourConverter final : public FilterBase {
 public:
  ColourConverter() : FilterBase(CLSID_ColourConverter) {
    auto in = std::make_unique<ConverterInput>(*this);
    auto out = std::make_unique<ConverterOutput>(*this, *in);
    in->SetOutput(out.get());
    AddPin(std::move(in));
    AddPin(std::move(out));
  }
};

// ---- Sample grabber ------------------------------------------------------------------------

class GrabberFilter;

class GrabberInput final : public PinBase {
 public:
  GrabberInput(FilterBase& filter, GrabberFilter& grabber) : PinBase(filter, PINDIR_INPUT), grabber_(grabber) {}
  bool Accepts(const AM_MEDIA_TYPE& mt) override;
  void Receive(const Sample& s) override;

 private:
  GrabberFilter& grabber_;
};

class GrabberOutput final : public PinBase {
 public:
  GrabberOutput(FilterBase& filter, PinBase& input) : PinBase(filter, PINDIR_OUTPUT), input_(input) {}
  std::vector<MediaType> ListedTypes() override {
    if (!input_.IsConnected()) return {};
    return {input_.ConnectedType()};
  }

 private:
  PinBase& input_;
};

class GrabberFilter final : public FilterBase, public ISampleGrabber {
 public:
  GrabberFilter() : FilterBase(CLSID_SampleGrabber) {
    auto in = std::make_unique<GrabberInput>(*this, *this);
    auto out = std::make_unique<GrabberOutput>(*this, *in);
    input_ = in.get();
    output_ = out.get();
    AddPin(std::move(in));
    AddPin(std::move(out));
  }

  HRESULT QueryInterface(const GUID& iid, void** object) override { return FilterBase::QueryInterface(iid, object); }
  ULONG AddRef() override { return FilterBase::AddRef(); }
  ULONG Release() override { return FilterBase::Release(); }
  void* QueryExtra(const GUID& iid) override {
    return iid == ISampleGrabber::kIid ? static_cast<ISampleGrabber*>(this) : nullptr;
  }

  HRESULT SetOneShot(BOOL) override { return com::E_NOTIMPL; }
  HRESULT SetMediaType(const AM_MEDIA_TYPE* mt) override {
    std::lock_guard lock(mutex_);
    wanted_ = mt ? MediaType(*mt) : MediaType();
    return com::S_OK;
  }
  HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* mt) override { return input_->ConnectionMediaType(mt); }
  HRESULT SetBufferSamples(BOOL buffer) override {
    std::lock_guard lock(mutex_);
    bufferSamples_ = buffer != com::FALSE;
    return com::S_OK;
  }
  HRESULT GetCurrentBuffer(LONG* size, LONG* buffer) override {
    if (!size) return com::E_POINTER;
    std::lock_guard lock(mutex_);
    if (!bufferSamples_ || !hasBuffer_) return VFW_E_WRONG_STATE;
    if (!buffer) {
      *size = static_cast<LONG>(buffered_.size());
      return com::S_OK;
    }
    if (*size < static_cast<LONG>(buffered_.size())) return com::E_OUTOFMEMORY;
    std::memcpy(buffer, buffered_.data(), buffered_.size());
    *size = static_cast<LONG>(buffered_.size());
    return com::S_OK;
  }
  HRESULT SetCallback(ISampleGrabberCB* callback, LONG which) override {
    std::lock_guard lock(mutex_);
    callback_ = ComPtr<ISampleGrabberCB>(callback);
    which_ = which;
    return com::S_OK;
  }

  bool Accepts(const AM_MEDIA_TYPE& mt) {
    std::lock_guard lock(mutex_);
    const AM_MEDIA_TYPE& w = wanted_.Get();
    if (w.majortype != GUID{} && w.majortype != mt.majortype) return false;
    if (w.subtype != GUID{} && w.subtype != mt.subtype) return false;
    if (w.formattype != GUID{} && w.formattype != mt.formattype) return false;
    return mt.majortype == MEDIATYPE_Video && VideoHeaderOf(mt) != nullptr;
  }

  void Receive(const Sample& s) {
    ComPtr<ISampleGrabberCB> callback;
    LONG which;
    {
      std::lock_guard lock(mutex_);
      if (bufferSamples_) {
        buffered_.assign(s.data, s.data + s.length);
        hasBuffer_ = true;
      }
      callback = callback_;
      which = which_;
    }
    if (callback) {
      const double time = static_cast<double>(s.start) / 1e7;
      if (which == 1) callback->BufferCB(time, const_cast<BYTE*>(s.data), static_cast<LONG>(s.length));
      else callback->SampleCB(time, nullptr);
    }
    output_->Deliver(s);
  }

 private:
  std::mutex mutex_;
  MediaType wanted_;
  bool bufferSamples_ = false;
  bool hasBuffer_ = false;
  std::vector<uint8_t> buffered_;
  ComPtr<ISampleGrabberCB> callback_;
  LONG which_ = 0;
  GrabberInput* input_;
  GrabberOutput* output_;
};

bool GrabberInput::Accepts(const AM_MEDIA_TYPE& mt) { return grabber_.Accepts(mt); }
void GrabberInput::Receive(const Sample& s) { grabber_.Receive(s); }

// ---- Video renderer -------------------------------------------------------------------------

class RendererInput final : public PinBase {
 public:
  RendererInput(FilterBase& filter, std::atomic<uint64_t>& frames) : PinBase(filter, PINDIR_INPUT), frames_(frames) {}
  bool Accepts(const AM_MEDIA_TYPE& mt) override { return mt.majortype == MEDIATYPE_Video; }
  void Receive(const Sample&) override { frames_.fetch_add(1, std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t>& frames_;
};

class VideoRenderer final : public FilterBase, public IVideoWindow, public IVideoWindowLog {
 public:
  VideoRenderer() : FilterBase(CLSID_VideoRenderer) { AddPin(std::make_unique<RendererInput>(*this, frames_)); }

  HRESULT QueryInterface(const GUID& iid, void** object) override { return FilterBase::QueryInterface(iid, object); }
  ULONG AddRef() override { return FilterBase::AddRef(); }
  ULONG Release() override { return FilterBase::Release(); }
  void* QueryExtra(const GUID& iid) override {
    if (iid == IVideoWindow::kIid) return static_cast<IVideoWindow*>(this);
    if (iid == IVideoWindowLog::kIid) return static_cast<IVideoWindowLog*>(this);
    return nullptr;
  }

  HRESULT put_Caption(const char16_t* caption) override {
    std::string text;
    for (const char16_t* p = caption; p && *p; ++p) text += static_cast<char>(*p < 0x80 ? *p : '?');
    return Record("put_Caption " + text);
  }
  HRESULT put_WindowStyle(LONG style) override { return Record("put_WindowStyle " + Hex(style)); }
  HRESULT put_WindowStyleEx(LONG style) override { return Record("put_WindowStyleEx " + Hex(style)); }
  HRESULT put_Visible(LONG visible) override { return Record("put_Visible " + std::to_string(visible)); }
  HRESULT put_Owner(OAHWND owner) override { return Record("put_Owner " + std::to_string(owner)); }
  HRESULT put_MessageDrain(OAHWND drain) override { return Record("put_MessageDrain " + std::to_string(drain)); }
  HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) override {
    return Record("SetWindowPosition " + std::to_string(left) + "," + std::to_string(top) + "," +
                  std::to_string(width) + "," + std::to_string(height));
  }

  std::vector<std::string> Calls() override {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  uint64_t FramesRendered() override { return frames_.load(); }

 private:
  static std::string Hex(LONG v) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(v));
    return text;
  }
  HRESULT Record(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
    return com::S_OK;
  }

  std::mutex mutex_;
  std::vector<std::string> calls_;
  std::atomic<uint64_t> frames_{0};
};

template <class T, class... Args>
ComPtr<IBaseFilter> MakeFilter(Args&&... args) {
  T* filter = new (std::nothrow) T(std::forward<Args>(args)...);
  return ComPtr<IBaseFilter>(static_cast<IBaseFilter*>(static_cast<FilterBase*>(filter)));
}

}  // namespace

bool ConverterAccepts(const AM_MEDIA_TYPE& mt) {
  if (mt.majortype != MEDIATYPE_Video) return false;
  const BITMAPINFOHEADER* h = VideoHeaderOf(mt);
  if (!h || h->biWidth <= 0 || h->biHeight == 0) return false;
  if (mt.subtype == MEDIASUBTYPE_YUY2) return h->biWidth % 2 == 0;
  return mt.subtype == MEDIASUBTYPE_RGB32 || mt.subtype == MEDIASUBTYPE_RGB555 || mt.subtype == MEDIASUBTYPE_RGB565;
}

MediaType Rgb24Like(const AM_MEDIA_TYPE& mt) {
  const BITMAPINFOHEADER* h = VideoHeaderOf(mt);
  const int height = h->biHeight < 0 ? -h->biHeight : h->biHeight;
  return MediaType::Video(MEDIASUBTYPE_RGB24, h->biWidth, height, 24, FrameTimeOf(mt));
}

ComPtr<IBaseFilter> MakeCaptureFilter(std::unique_ptr<Camera> camera) {
  return MakeFilter<CaptureFilter>(std::move(camera));
}
ComPtr<IBaseFilter> MakeColourConverter() { return MakeFilter<ColourConverter>(); }
ComPtr<IBaseFilter> MakeSampleGrabber() { return MakeFilter<GrabberFilter>(); }
ComPtr<IBaseFilter> MakeVideoRenderer() { return MakeFilter<VideoRenderer>(); }

}  // namespace tw::dshow::detail
