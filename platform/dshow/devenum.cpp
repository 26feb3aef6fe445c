// The system device enumerator with its monikers and property bags, the
// byte form of a moniker, and the registration of the layer's classes.
#include <cstring>

#include "platform/com/bstr.h"
#include "platform/dshow/internal.h"
#include "platform/win32/text.h"

namespace tw::dshow::detail {

namespace {

constexpr char kMonikerPrefix[] = "@device:tw:";

// A device's texts, kept as UTF-8 (camera drivers name their devices in
// UTF-8) and read as UTF-16 strings.
class PropertyBag final : public com::ComObject<PropertyBag, IPropertyBag> {
 public:
  PropertyBag(std::string name, std::string clsid, std::string path)
      : name_(std::move(name)), clsid_(std::move(clsid)), path_(std::move(path)) {}
  HRESULT Read(const char16_t* name, com::VARIANT* value, void*) override {
    if (!name || !value) return com::E_POINTER;
    const std::u16string key(name);
    const std::string* text = key == u"FriendlyName" ? &name_
                              : key == u"CLSID"      ? &clsid_
                              : key == u"DevicePath" ? &path_
                                                     : nullptr;
    if (!text || text->empty()) return com::E_INVALIDARG;
    com::VariantInit(value);
    value->vt = com::VT_BSTR;
    value->bstrVal = com::SysAllocString(std::u16string_view(win32::Utf8ToUtf16(*text)));
    return com::S_OK;
  }

 private:
  std::string name_, clsid_, path_;
};

// Names one camera by its path, or one category (for the category list).
class DeviceMoniker final : public com::ComObject<DeviceMoniker, IMoniker> {
 public:
  explicit DeviceMoniker(std::string path) : path_(std::move(path)) {}

  HRESULT BindToObject(void*, IMoniker*, const GUID& iid, void** object) override {
    if (!object) return com::E_POINTER;
    *object = nullptr;
    for (CameraEntry& e : ListCameras()) {
      if (e.path != path_) continue;
      std::unique_ptr<Camera> camera = e.open();
      if (!camera) return VFW_E_NO_CAPTURE_HARDWARE;
      ComPtr<IBaseFilter> filter = MakeCaptureFilter(std::move(camera));
      if (!filter) return com::E_OUTOFMEMORY;
      return filter->QueryInterface(iid, object);
    }
    return VFW_E_NO_CAPTURE_HARDWARE;
  }
  HRESULT BindToStorage(void*, IMoniker*, const GUID& iid, void** object) override {
    if (!object) return com::E_POINTER;
    *object = nullptr;
    if (iid != IPropertyBag::kIid) return com::E_NOINTERFACE;
    for (const CameraEntry& e : ListCameras()) {
      if (e.path != path_) continue;
      auto bag = com::MakeComObject<PropertyBag>(e.friendlyName, com::GuidToString(CLSID_CaptureSource), e.path);
      return bag->QueryInterface(iid, object);
    }
    return VFW_E_NO_CAPTURE_HARDWARE;
  }
  HRESULT GetDisplayName(std::string* name) override {
    if (!name) return com::E_POINTER;
    *name = kMonikerPrefix + path_;
    return com::S_OK;
  }

 private:
  std::string path_;
};

// A category of the category list: its bag names it and gives its id.
class CategoryMoniker final : public com::ComObject<CategoryMoniker, IMoniker> {
 public:
  CategoryMoniker(std::string name, GUID id) : name_(std::move(name)), id_(id) {}
  HRESULT BindToObject(void*, IMoniker*, const GUID&, void** object) override {
    if (object) *object = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT BindToStorage(void*, IMoniker*, const GUID& iid, void** object) override {
    if (!object) return com::E_POINTER;
    *object = nullptr;
    if (iid != IPropertyBag::kIid) return com::E_NOINTERFACE;
    return com::MakeComObject<PropertyBag>(name_, com::GuidToString(id_), "")->QueryInterface(iid, object);
  }
  HRESULT GetDisplayName(std::string* name) override {
    if (!name) return com::E_POINTER;
    *name = "@category:" + com::GuidToString(id_);
    return com::S_OK;
  }

 private:
  std::string name_;
  GUID id_;
};

// Names one of the layer's own filter classes.
class ClassMoniker final : public com::ComObject<ClassMoniker, IMoniker> {
 public:
  ClassMoniker(GUID clsid, std::string name) : clsid_(clsid), name_(std::move(name)) {}
  HRESULT BindToObject(void*, IMoniker*, const GUID& iid, void** object) override {
    return com::CoCreateInstance(clsid_, nullptr, com::CLSCTX_INPROC_SERVER, iid, object);
  }
  HRESULT BindToStorage(void*, IMoniker*, const GUID& iid, void** object) override {
    if (!object) return com::E_POINTER;
    *object = nullptr;
    if (iid != IPropertyBag::kIid) return com::E_NOINTERFACE;
    return com::MakeComObject<PropertyBag>(name_, com::GuidToString(clsid_), "")->QueryInterface(iid, object);
  }
  HRESULT GetDisplayName(std::string* name) override {
    if (!name) return com::E_POINTER;
    *name = "@class:" + com::GuidToString(clsid_);
    return com::S_OK;
  }

 private:
  GUID clsid_;
  std::string name_;
};

class MonikerEnum final : public com::ComObject<MonikerEnum, IEnumMoniker> {
 public:
  explicit MonikerEnum(std::vector<ComPtr<IMoniker>> list) : list_(std::move(list)) {}
  HRESULT Next(ULONG count, IMoniker** out, ULONG* fetched) override {
    if (!out) return com::E_POINTER;
    ULONG n = 0;
    while (n < count && pos_ < list_.size()) list_[pos_++].CopyTo(&out[n++]);
    if (fetched) *fetched = n;
    return n == count ? com::S_OK : com::S_FALSE;
  }
  HRESULT Skip(ULONG count) override {
    pos_ = std::min(list_.size(), pos_ + count);
    return pos_ < list_.size() ? com::S_OK : com::S_FALSE;
  }
  HRESULT Reset() override {
    pos_ = 0;
    return com::S_OK;
  }

 private:
  std::vector<ComPtr<IMoniker>> list_;
  size_t pos_ = 0;
};

class SystemDeviceEnum final : public com::ComObject<SystemDeviceEnum, ICreateDevEnum> {
 public:
  HRESULT CreateClassEnumerator(const GUID& category, IEnumMoniker** out, DWORD) override {
    if (!out) return com::E_POINTER;
    *out = nullptr;
    std::vector<ComPtr<IMoniker>> list;
    if (category == CLSID_VideoInputDeviceCategory) {
      for (const CameraEntry& e : ListCameras()) list.push_back(MakeDeviceMoniker(e.path));
    } else if (category == CLSID_ActiveMovieCategories) {
      list.push_back(ComPtr<IMoniker>(
          com::MakeComObject<CategoryMoniker>("Video Capture Sources", CLSID_VideoInputDeviceCategory).Get()));
    }
    if (list.empty()) return com::S_FALSE;
    *out = com::MakeComObject<MonikerEnum>(std::move(list)).Detach();
    return com::S_OK;
  }
};

// A class object that makes one of the layer's objects.
class Factory final : public com::ComObject<Factory, com::IClassFactory> {
 public:
  using Make = ComPtr<IUnknown> (*)();
  explicit Factory(Make make) : make_(make) {}
  HRESULT CreateInstance(IUnknown* outer, const GUID& iid, void** object) override {
    if (!object) return com::E_POINTER;
    *object = nullptr;
    if (outer) return com::CLASS_E_NOAGGREGATION;
    ComPtr<IUnknown> made = make_();
    if (!made) return com::E_OUTOFMEMORY;
    return made->QueryInterface(iid, object);
  }
  HRESULT LockServer(BOOL) override { return com::S_OK; }

 private:
  Make make_;
};

ComPtr<IUnknown> AsUnknown(ComPtr<IBaseFilter> f) { return ComPtr<IUnknown>(f.Get()); }

// The layer's classes, registered in the process when the platform library loads.
class ClassRegistration {
 public:
  ClassRegistration() {
    const std::pair<GUID, Factory::Make> classes[] = {
        {CLSID_SystemDeviceEnum, &MakeSystemDeviceEnum},
        {CLSID_FilterGraph, &MakeFilterGraph},
        {CLSID_CaptureGraphBuilder2, &MakeCaptureGraphBuilder},
        {CLSID_SampleGrabber, [] { return AsUnknown(MakeSampleGrabber()); }},
        {CLSID_VideoRenderer, [] { return AsUnknown(MakeVideoRenderer()); }},
        {CLSID_ColourConverter, [] { return AsUnknown(MakeColourConverter()); }},
        {CLSID_DSoundRender, [] { return AsUnknown(MakeAudioRenderer()); }},
        {CLSID_VideoMixingRenderer9, [] { return AsUnknown(MakeMixingRenderer()); }},
        {CLSID_DvdGraphBuilder, &MakeDvdGraphBuilder},
    };
    for (const auto& [clsid, make] : classes) entries_.push_back({clsid, make, 0});
    for (Entry& e : entries_) Register(e);
  }

  bool Set(const GUID& clsid, bool registered) {
    std::lock_guard lock(mutex_);
    for (Entry& e : entries_) {
      if (e.clsid != clsid) continue;
      if (registered && e.cookie == 0) Register(e);
      if (!registered && e.cookie != 0) {
        com::CoRevokeClassObject(e.cookie);
        e.cookie = 0;
      }
      return true;
    }
    return false;
  }

 private:
  struct Entry {
    GUID clsid;
    Factory::Make make;
    DWORD cookie;
  };
  static void Register(Entry& e) {
    com::CoRegisterClassObject(e.clsid, com::MakeComObject<Factory>(e.make)->Identity(), com::CLSCTX_INPROC_SERVER,
                               com::REGCLS_MULTIPLEUSE, &e.cookie);
  }
  std::mutex mutex_;
  std::vector<Entry> entries_;
};

ClassRegistration g_registration;

}  // namespace

ComPtr<IUnknown> MakeSystemDeviceEnum() {
  return ComPtr<IUnknown>(com::MakeComObject<SystemDeviceEnum>()->Identity());
}

ComPtr<IMoniker> MakeClassMoniker(const GUID& clsid, const std::string& friendlyName) {
  return ComPtr<IMoniker>(com::MakeComObject<ClassMoniker>(clsid, friendlyName).Get());
}

ComPtr<IMoniker> MakeDeviceMoniker(const std::string& path) {
  return ComPtr<IMoniker>(com::MakeComObject<DeviceMoniker>(path).Get());
}

}  // namespace tw::dshow::detail

namespace tw::dshow {

bool SetClassRegistered(const GUID& clsid, bool registered) { return detail::g_registration.Set(clsid, registered); }

HRESULT SaveMonikerToBytes(IMoniker* moniker, std::vector<uint8_t>* bytes) {
  if (!moniker || !bytes) return com::E_POINTER;
  std::string name;
  HRESULT hr = moniker->GetDisplayName(&name);
  if (FAILED(hr)) return hr;
  bytes->assign(name.begin(), name.end());
  return com::S_OK;
}

HRESULT LoadMonikerFromBytes(const std::vector<uint8_t>& bytes, IMoniker** moniker) {
  if (!moniker) return com::E_POINTER;
  *moniker = nullptr;
  const std::string name(bytes.begin(), bytes.end());
  const std::string prefix = "@device:tw:";
  if (name.compare(0, prefix.size(), prefix) != 0) return com::E_INVALIDARG;
  *moniker = detail::MakeDeviceMoniker(name.substr(prefix.size())).Detach();
  return com::S_OK;
}

}  // namespace tw::dshow
