// The audio renderer and the mixing renderer. Neither draws nor plays: they
// keep what they are told, check it as the real devices would, and the
// mixing renderer records each call (IVideoWindowLog) for tests of the
// components that configure it.
#include <cstdio>

#include "platform/dshow/internal.h"

namespace tw::dshow::detail {

namespace {

std::string Hex(DWORD v) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", static_cast<unsigned>(v));
  return text;
}

class AudioInput final : public PinBase {
 public:
  explicit AudioInput(FilterBase& filter) : PinBase(filter, PINDIR_INPUT) {}
  bool Accepts(const AM_MEDIA_TYPE& mt) override { return mt.majortype == MEDIATYPE_Audio; }
};

class AudioRenderer final : public FilterBase, public IBasicAudio {
 public:
  AudioRenderer() : FilterBase(CLSID_DSoundRender) { AddPin(std::make_unique<AudioInput>(*this)); }

  HRESULT QueryInterface(const GUID& iid, void** object) override { return FilterBase::QueryInterface(iid, object); }
  ULONG AddRef() override { return FilterBase::AddRef(); }
  ULONG Release() override { return FilterBase::Release(); }
  void* QueryExtra(const GUID& iid) override {
    return iid == IBasicAudio::kIid ? static_cast<IBasicAudio*>(this) : nullptr;
  }

  HRESULT put_Volume(LONG volume) override {
    if (volume < -10000 || volume > 0) return com::E_INVALIDARG;
    volume_ = volume;
    return com::S_OK;
  }
  HRESULT get_Volume(LONG* volume) override {
    if (!volume) return com::E_POINTER;
    *volume = volume_;
    return com::S_OK;
  }
  HRESULT put_Balance(LONG balance) override {
    if (balance < -10000 || balance > 10000) return com::E_INVALIDARG;
    balance_ = balance;
    return com::S_OK;
  }
  HRESULT get_Balance(LONG* balance) override {
    if (!balance) return com::E_POINTER;
    *balance = balance_;
    return com::S_OK;
  }

 private:
  std::atomic<LONG> volume_{0};
  std::atomic<LONG> balance_{0};
};

class MixerInput final : public PinBase {
 public:
  explicit MixerInput(FilterBase& filter) : PinBase(filter, PINDIR_INPUT) {}
  bool Accepts(const AM_MEDIA_TYPE& mt) override { return mt.majortype == MEDIATYPE_Video; }
};

class MixingRenderer final : public FilterBase,
                             public IVMRFilterConfig9,
                             public IVMRWindowlessControl9,
                             public IVMRAspectRatioControl9,
                             public IVideoWindow,
                             public IVideoWindowLog {
 public:
  MixingRenderer() : FilterBase(CLSID_VideoMixingRenderer9) { AddPin(std::make_unique<MixerInput>(*this)); }

  HRESULT QueryInterface(const GUID& iid, void** object) override { return FilterBase::QueryInterface(iid, object); }
  ULONG AddRef() override { return FilterBase::AddRef(); }
  ULONG Release() override { return FilterBase::Release(); }
  void* QueryExtra(const GUID& iid) override {
    if (iid == IVMRFilterConfig9::kIid) return static_cast<IVMRFilterConfig9*>(this);
    if (iid == IVMRAspectRatioControl9::kIid) return static_cast<IVMRAspectRatioControl9*>(this);
    if (iid == IVideoWindowLog::kIid) return static_cast<IVideoWindowLog*>(this);
    std::lock_guard lock(mutex_);
    if (iid == IVideoWindow::kIid && mode_ == VMR9Mode_Windowed) return static_cast<IVideoWindow*>(this);
    if (iid == IVMRWindowlessControl9::kIid && mode_ == VMR9Mode_Windowless)
      return static_cast<IVMRWindowlessControl9*>(this);
    return nullptr;
  }

  // ---- IVMRFilterConfig9 ----
  HRESULT SetNumberOfStreams(DWORD streams) override {
    if (streams < 1 || streams > 16) return com::E_INVALIDARG;
    if (AnyConnected()) return VFW_E_WRONG_STATE;
    return Record("SetNumberOfStreams " + std::to_string(streams), [&] { streams_ = streams; });
  }
  HRESULT GetNumberOfStreams(DWORD* streams) override {
    if (!streams) return com::E_POINTER;
    std::lock_guard lock(mutex_);
    *streams = streams_;
    return com::S_OK;
  }
  HRESULT SetRenderingPrefs(DWORD prefs) override {
    return Record("SetRenderingPrefs " + Hex(prefs), [&] { prefs_ = prefs & kVmr9PrefsMask; });
  }
  HRESULT GetRenderingPrefs(DWORD* prefs) override {
    if (!prefs) return com::E_POINTER;
    std::lock_guard lock(mutex_);
    *prefs = prefs_;
    return com::S_OK;
  }
  HRESULT SetRenderingMode(DWORD mode) override {
    if (mode != VMR9Mode_Windowed && mode != VMR9Mode_Windowless && mode != VMR9Mode_Renderless)
      return com::E_INVALIDARG;
    if (AnyConnected()) return VFW_E_WRONG_STATE;
    return Record("SetRenderingMode " + std::to_string(mode), [&] { mode_ = mode; });
  }
  HRESULT GetRenderingMode(DWORD* mode) override {
    if (!mode) return com::E_POINTER;
    std::lock_guard lock(mutex_);
    *mode = mode_;
    return com::S_OK;
  }

  // ---- IVMRWindowlessControl9 ----
  HRESULT SetVideoPosition(const RECT* source, const RECT* destination) override {
    if (!source && !destination) return com::E_POINTER;
    std::string text = "SetVideoPosition ";
    text += source ? Rect(*source) : "-";
    text += " ";
    text += destination ? Rect(*destination) : "-";
    return Record(text, [] {});
  }
  HRESULT SetVideoClippingWindow(OAHWND window) override {
    return Record("SetVideoClippingWindow " + std::to_string(window), [] {});
  }

  // ---- IVMRAspectRatioControl9 ----
  HRESULT SetAspectRatioMode(DWORD mode) override {
    if (mode != VMR9ARMode_None && mode != VMR9ARMode_LetterBox) return com::E_INVALIDARG;
    return Record("SetAspectRatioMode " + std::to_string(mode), [&] { aspect_ = mode; });
  }
  HRESULT GetAspectRatioMode(DWORD* mode) override {
    if (!mode) return com::E_POINTER;
    std::lock_guard lock(mutex_);
    *mode = aspect_;
    return com::S_OK;
  }

  // ---- IVideoWindow (windowed mode) ----
  HRESULT put_Caption(const char16_t* caption) override {
    std::string text;
    for (const char16_t* p = caption; p && *p; ++p) text += static_cast<char>(*p < 0x80 ? *p : '?');
    return Record("put_Caption " + text, [] {});
  }
  HRESULT put_WindowStyle(LONG style) override { return Record("put_WindowStyle " + Hex(style), [] {}); }
  HRESULT put_WindowStyleEx(LONG style) override { return Record("put_WindowStyleEx " + Hex(style), [] {}); }
  HRESULT put_Visible(LONG visible) override { return Record("put_Visible " + std::to_string(visible), [] {}); }
  HRESULT put_Owner(OAHWND owner) override { return Record("put_Owner " + std::to_string(owner), [] {}); }
  HRESULT put_MessageDrain(OAHWND drain) override {
    return Record("put_MessageDrain " + std::to_string(drain), [] {});
  }
  HRESULT SetWindowPosition(LONG left, LONG top, LONG width, LONG height) override {
    return Record("SetWindowPosition " + std::to_string(left) + "," + std::to_string(top) + "," +
                      std::to_string(width) + "," + std::to_string(height),
                  [] {});
  }

  std::vector<std::string> Calls() override {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  uint64_t FramesRendered() override { return 0; }

 private:
  static std::string Rect(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
  }
  bool AnyConnected() {
    for (PinBase* p : Pins()) {
      if (p->IsConnected()) return true;
    }
    return false;
  }
  template <class Apply>
  HRESULT Record(std::string call, Apply apply) {
    std::lock_guard lock(mutex_);
    apply();
    calls_.push_back(std::move(call));
    return com::S_OK;
  }

  std::mutex mutex_;
  std::vector<std::string> calls_;
  DWORD streams_ = 1;
  DWORD prefs_ = 0;
  DWORD mode_ = VMR9Mode_Windowed;
  DWORD aspect_ = VMR9ARMode_None;
};

template <class T>
ComPtr<IBaseFilter> MakeFilter() {
  T* filter = new (std::nothrow) T();
  return ComPtr<IBaseFilter>(static_cast<IBaseFilter*>(static_cast<FilterBase*>(filter)));
}

}  // namespace

ComPtr<IBaseFilter> MakeAudioRenderer() { return MakeFilter<AudioRenderer>(); }
ComPtr<IBaseFilter> MakeMixingRenderer() { return MakeFilter<MixingRenderer>(); }

}  // namespace tw::dshow::detail
