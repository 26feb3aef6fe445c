#include "Libraries/DSKit/DSUtil.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/win32/text.h"

namespace tw::dskit {

using dshow::CoTaskMemAlloc;
using dshow::CoTaskMemFree;

HRESULT RaiseOnFailure(HRESULT hr) {
  if (hr >= 0) return hr;
  char code[24];
  std::snprintf(code, sizeof code, " ($%X).", static_cast<unsigned>(hr));
  throw EDirectShowException(ErrorTextOf(hr) + code, hr);
}

std::string ErrorTextOf(HRESULT hr) {
  char text[256];
  dshow::AMGetErrorTextA(hr, text, sizeof text);
  return text;
}

void CloneMediaTypeRecord(AM_MEDIA_TYPE& target, const AM_MEDIA_TYPE& source) {
  if (&target == &source) throw EAssertionFailed("Assertion failure");
  if (source.cbFormat != 0 && !source.pbFormat) throw EAssertionFailed("Assertion failure");
  target = source;
  target.pbFormat = nullptr;
  if (source.cbFormat != 0) {
    target.pbFormat = static_cast<uint8_t*>(CoTaskMemAlloc(source.cbFormat));
    if (target.pbFormat) std::memcpy(target.pbFormat, source.pbFormat, source.cbFormat);
    else target.cbFormat = 0;
  }
  if (target.pUnk) target.pUnk->AddRef();
}

void ReleaseMediaTypeRecord(AM_MEDIA_TYPE& record) {
  if (record.cbFormat != 0) {
    CoTaskMemFree(record.pbFormat);
    record.cbFormat = 0;
    record.pbFormat = nullptr;
  }
  if (record.pUnk) {
    record.pUnk->Release();
    record.pUnk = nullptr;
  }
}

HRESULT RegisterGraphInRot(com::IUnknown* graph, com::DWORD* cookie) {
  if (!graph || !cookie) return com::E_POINTER;
  ComPtr<dshow::IRunningObjectTable> table;
  HRESULT hr = dshow::GetRunningObjectTable(0, table.Out());
  if (com::FAILED(hr)) return hr;
  char name[64];
  std::snprintf(name, sizeof name, "FilterGraph %p pid %x", static_cast<void*>(graph),
                static_cast<unsigned>(dshow::GetCurrentProcessId()));
  const std::u16string item(name, name + std::strlen(name));
  ComPtr<IMoniker> moniker;
  hr = dshow::CreateItemMoniker(u"!", item.c_str(), moniker.Out());
  if (com::FAILED(hr)) return hr;
  return table->Register(0, graph, moniker.Get(), cookie);
}

HRESULT UnregisterGraphFromRot(com::DWORD cookie) {
  ComPtr<dshow::IRunningObjectTable> table;
  const HRESULT hr = dshow::GetRunningObjectTable(0, table.Out());
  return com::FAILED(hr) ? hr : table->Revoke(cookie);
}

std::array<uint8_t, 9> UnpackTimeCode(uint32_t timeCode) {
  std::array<uint8_t, 9> out{};
  for (int i = 0; i < 7; ++i) out[i] = static_cast<uint8_t>((timeCode >> (28 - 4 * i)) & 0xF);
  out[7] = static_cast<uint8_t>((timeCode >> 2) & 3);
  out[8] = static_cast<uint8_t>(timeCode & 3);
  return out;
}

namespace {
// Nearest integer, halves to even.
int32_t RoundEven(double v) { return static_cast<int32_t>(std::nearbyint(v)); }
constexpr double kVolumeFactor = 1085.73;
}  // namespace

int32_t LinearToAttenuation(int32_t linear) { return RoundEven(std::log(linear + 1.0) * kVolumeFactor) - 10000; }

int32_t AttenuationToLinear(int32_t attenuation) {
  const int32_t n = RoundEven(std::log(std::fabs(static_cast<double>(attenuation)) + 1.0) * kVolumeFactor);
  return attenuation < 0 ? n : -n;
}

int32_t DibStride(int32_t bits, int32_t width) {
  if (bits == 15) bits = 16;
  return ((bits * width + 31) / 32) * 4;
}

// ---- TSysDevEnum ----------------------------------------------------------------------

namespace {

// A device's name in UTF-8, cut to 255 UTF-16 units without splitting a
// surrogate pair.
std::string FriendlyNameOf(std::u16string_view name) {
  constexpr size_t kMaxUnits = 255;
  if (name.size() > kMaxUnits) {
    const bool splitsPair = name[kMaxUnits - 1] >= 0xD800 && name[kMaxUnits - 1] <= 0xDBFF;
    name = name.substr(0, splitsPair ? kMaxUnits - 1 : kMaxUnits);
  }
  return win32::Utf16ToUtf8(name);
}

}  // namespace

TSysDevEnum::TSysDevEnum(const GUID& category) {
  EnumerateCategory(categories_, dshow::CLSID_ActiveMovieCategories);
  SelectCategory(category);
}

void TSysDevEnum::SelectCategory(const GUID& category) {
  category_ = category;
  EnumerateCategory(filters_, category);
}

void TSysDevEnum::EnumerateCategory(std::vector<TFilCatNode>& list, const GUID& category) {
  list.clear();
  ComPtr<dshow::ICreateDevEnum> devEnum;
  if (com::FAILED(com::CoCreateInstance(dshow::CLSID_SystemDeviceEnum, nullptr, com::CLSCTX_INPROC,
                                        dshow::ICreateDevEnum::kIid, devEnum.OutVoid())))
    return;
  ComPtr<dshow::IEnumMoniker> monikers;
  if (devEnum->CreateClassEnumerator(category, monikers.Out(), 0) != com::S_OK || !monikers) return;
  ComPtr<IMoniker> moniker;
  while (monikers->Next(1, moniker.Out(), nullptr) == com::S_OK) {
    ComPtr<dshow::IPropertyBag> bag;
    RaiseOnFailure(moniker->BindToStorage(nullptr, nullptr, dshow::IPropertyBag::kIid, bag.OutVoid()));
    TFilCatNode node;
    com::Variant name;
    if (bag->Read(u"FriendlyName", &name, nullptr) == com::S_OK && name.vt == com::VT_BSTR && name.bstrVal) {
      node.FriendlyName = FriendlyNameOf(name.bstrVal);
    }
    com::Variant clsid;
    if (bag->Read(u"CLSID", &clsid, nullptr) == com::S_OK && clsid.vt == com::VT_BSTR && clsid.bstrVal) {
      std::optional<GUID> g = com::GuidFromString(win32::WideToAnsi(std::u16string_view(clsid.bstrVal)));
      if (!g) throw EDirectShowException("The device's class id is not a GUID.", com::E_INVALIDARG);
      node.CLSID = *g;
    }
    list.push_back(std::move(node));
  }
}

TFilCatNode TSysDevEnum::FilterRecord(int i) const {
  if (i < 0 || i >= FilterCount()) throw std::out_of_range("List index out of bounds (" + std::to_string(i) + ")");
  return filters_[i];
}

TFilCatNode TSysDevEnum::CategoryRecord(int i) const {
  if (i < 0 || i >= CountCategories())
    throw std::out_of_range("List index out of bounds (" + std::to_string(i) + ")");
  return categories_[i];
}

ComPtr<IMoniker> TSysDevEnum::MonikerAt(int i) const {
  if (i < 0 || i >= FilterCount()) return nullptr;
  ComPtr<dshow::ICreateDevEnum> devEnum;
  if (com::FAILED(com::CoCreateInstance(dshow::CLSID_SystemDeviceEnum, nullptr, com::CLSCTX_INPROC,
                                        dshow::ICreateDevEnum::kIid, devEnum.OutVoid())))
    return nullptr;
  ComPtr<dshow::IEnumMoniker> monikers;
  if (devEnum->CreateClassEnumerator(category_, monikers.Out(), 0) != com::S_OK || !monikers) return nullptr;
  monikers->Skip(static_cast<com::ULONG>(i));
  ComPtr<IMoniker> moniker;
  monikers->Next(1, moniker.Out(), nullptr);
  monikers->Reset();
  return moniker;
}

// ---- TMediaType ----------------------------------------------------------------------------

TMediaType::TMediaType(const GUID& majorType) : record_{} {
  record_.bFixedSizeSamples = com::TRUE;
  record_.lSampleSize = 1;
  record_.majortype = majorType;
}

TMediaType::TMediaType(const AM_MEDIA_TYPE& record) : record_{} {
  record_.bFixedSizeSamples = com::TRUE;
  record_.lSampleSize = 1;
  CloneMediaTypeRecord(record_, record);
}

TMediaType::~TMediaType() { ReleaseMediaTypeRecord(record_); }

void TMediaType::Assign(const TMediaType& source) {
  if (&source == this) return;
  ReleaseMediaTypeRecord(record_);
  CloneMediaTypeRecord(record_, source.record_);
}

void TMediaType::ResetFormat() {
  if (record_.cbFormat != 0) CoTaskMemFree(record_.pbFormat);
  record_.cbFormat = 0;
  record_.pbFormat = nullptr;
}

bool TMediaType::Equal(const TMediaType& other) const {
  const AM_MEDIA_TYPE& a = record_;
  const AM_MEDIA_TYPE& b = other.record_;
  return a.majortype == b.majortype && a.subtype == b.subtype && a.formattype == b.formattype &&
         a.cbFormat == b.cbFormat && (a.cbFormat == 0 || std::memcmp(a.pbFormat, b.pbFormat, a.cbFormat) == 0);
}

namespace {

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutGuid(std::vector<uint8_t>& out, const GUID& g) {
  PutU32(out, g.Data1);
  out.push_back(static_cast<uint8_t>(g.Data2));
  out.push_back(static_cast<uint8_t>(g.Data2 >> 8));
  out.push_back(static_cast<uint8_t>(g.Data3));
  out.push_back(static_cast<uint8_t>(g.Data3 >> 8));
  out.insert(out.end(), g.Data4, g.Data4 + 8);
}

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

GUID GetGuid(const uint8_t* p) {
  GUID g;
  g.Data1 = GetU32(p);
  g.Data2 = static_cast<uint16_t>(p[4] | p[5] << 8);
  g.Data3 = static_cast<uint16_t>(p[6] | p[7] << 8);
  std::memcpy(g.Data4, p + 8, 8);
  return g;
}

}  // namespace

void TMediaType::WriteData(std::vector<uint8_t>& out) const {
  PutGuid(out, record_.majortype);
  PutGuid(out, record_.subtype);
  PutU32(out, static_cast<uint32_t>(record_.bFixedSizeSamples));
  PutU32(out, static_cast<uint32_t>(record_.bTemporalCompression));
  PutU32(out, record_.lSampleSize);
  PutGuid(out, record_.formattype);
  PutU32(out, 0);  // pUnk
  PutU32(out, record_.cbFormat);
  PutU32(out, 0);  // pbFormat
  if (record_.cbFormat != 0) out.insert(out.end(), record_.pbFormat, record_.pbFormat + record_.cbFormat);
}

size_t TMediaType::ReadData(std::span<const uint8_t> in) {
  ReleaseMediaTypeRecord(record_);
  if (in.size() < kStreamRecordSize) throw EReadError();
  const uint8_t* p = in.data();
  record_.majortype = GetGuid(p);
  record_.subtype = GetGuid(p + 16);
  record_.bFixedSizeSamples = static_cast<com::BOOL>(GetU32(p + 32));
  record_.bTemporalCompression = static_cast<com::BOOL>(GetU32(p + 36));
  record_.lSampleSize = GetU32(p + 40);
  record_.formattype = GetGuid(p + 44);
  record_.pUnk = nullptr;
  const uint32_t length = GetU32(p + 64);
  // The length comes from the stream: it may claim no more than follows.
  if (length > in.size() - kStreamRecordSize) throw EReadError();
  if (length != 0) {
    record_.pbFormat = static_cast<uint8_t*>(CoTaskMemAlloc(length));
    if (!record_.pbFormat) throw std::bad_alloc();
    std::memcpy(record_.pbFormat, p + kStreamRecordSize, length);
    record_.cbFormat = length;
  }
  return kStreamRecordSize + length;
}

// ---- TEnumMediaType ---------------------------------------------------------------------------

void TEnumMediaType::LoadFromPin(IPin* pin) {
  Clear();
  if (!pin) throw EAssertionFailed("IPin not assigned");
  ComPtr<IEnumMediaTypes> types;
  if (pin->EnumMediaTypes(types.Out()) == com::S_OK) LoadFromEnum(types.Get());
}

void TEnumMediaType::LoadFromEnum(IEnumMediaTypes* types) {
  Clear();
  if (!types) throw EAssertionFailed("IEnumMediaType not assigned");
  AM_MEDIA_TYPE* received = nullptr;
  while (types->Next(1, &received, nullptr) == com::S_OK) {
    items_.push_back(std::make_unique<TMediaType>(*received));
    dshow::DeleteMediaType(received);
    received = nullptr;
  }
}

const TMediaType& TEnumMediaType::Items(int i) const {
  if (i < 0 || i >= Count()) throw std::out_of_range("List index out of bounds (" + std::to_string(i) + ")");
  return *items_[i];
}

// ---- TFilterList and TPinList ---------------------------------------------------------------------

TFilterList::TFilterList(IFilterGraph* graph) : graph_(graph) { Update(); }

void TFilterList::Update() {
  if (!graph_) return;
  ComPtr<dshow::IEnumFilters> filters;
  if (com::FAILED(graph_->EnumFilters(filters.Out())) || !filters) return;
  ComPtr<IBaseFilter> f;
  while (filters->Next(1, f.Out(), nullptr) == com::S_OK) items_.push_back(f);
}

ComPtr<IBaseFilter> TFilterList::Filters(int i) const {
  if (i < 0 || i >= Count()) throw std::out_of_range("List index out of bounds (" + std::to_string(i) + ")");
  return items_[i];
}

void TFilterList::Remove(IBaseFilter* filter) {
  std::erase_if(items_, [&](const ComPtr<IBaseFilter>& f) { return f.Get() == filter; });
}

TPinList::TPinList(IBaseFilter* filter) : filter_(filter) { Update(); }

void TPinList::Update() {
  items_.clear();
  if (!filter_) return;
  ComPtr<dshow::IEnumPins> pins;
  if (com::FAILED(filter_->EnumPins(pins.Out())) || !pins) return;
  ComPtr<IPin> p;
  while (pins->Next(1, p.Out(), nullptr) == com::S_OK) items_.push_back(p);
}

ComPtr<IPin> TPinList::Pins(int i) const {
  if (i < 0 || i >= Count()) throw std::out_of_range("List index out of bounds (" + std::to_string(i) + ")");
  return items_[i];
}

bool TPinList::Connected(int i) const {
  ComPtr<IPin> other;
  return com::SUCCEEDED(Pins(i)->ConnectedTo(other.Out())) && other;
}

// ---- TPersistentMemory and TBaseFilter --------------------------------------------------------------

void TPersistentMemory::SetSize(int32_t n) { data_.assign(n > 0 ? static_cast<size_t>(n) : 0, 0); }

void TPersistentMemory::Assign(const TPersistentMemory& source) {
  if (&source != this) data_ = source.data_;
}

bool TPersistentMemory::Equal(const TPersistentMemory& other) const {
  return !other.data_.empty() && other.data_ == data_;
}

void TPersistentMemory::WriteData(std::vector<uint8_t>& out) const {
  PutU32(out, static_cast<uint32_t>(data_.size()));
  out.insert(out.end(), data_.begin(), data_.end());
}

size_t TPersistentMemory::ReadData(std::span<const uint8_t> in) {
  if (in.size() < 4) throw EReadError();
  const int32_t length = static_cast<int32_t>(GetU32(in.data()));
  if (length < 0 || static_cast<size_t>(length) > in.size() - 4) throw EReadError();
  data_.assign(in.begin() + 4, in.begin() + 4 + length);
  return 4 + static_cast<size_t>(length);
}

void TBaseFilter::StoreMoniker(IMoniker* moniker) {
  if (!moniker) {
    SetSize(0);
    return;
  }
  std::vector<uint8_t> bytes;
  RaiseOnFailure(dshow::SaveMonikerToBytes(moniker, &bytes));
  data_ = std::move(bytes);
}

ComPtr<IMoniker> TBaseFilter::LoadMoniker() const {
  if (data_.empty()) return nullptr;
  ComPtr<IMoniker> moniker;
  dshow::LoadMonikerFromBytes(data_, moniker.Out());
  return moniker;
}

ComPtr<IBaseFilter> TBaseFilter::BindFilter() const {
  ComPtr<IMoniker> moniker = LoadMoniker();
  if (!moniker) return nullptr;
  ComPtr<IBaseFilter> filter;
  moniker->BindToObject(nullptr, nullptr, IBaseFilter::kIid, filter.OutVoid());
  return filter;
}

}  // namespace tw::dskit
