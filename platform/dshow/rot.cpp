// The running object table and item monikers: objects published by name in
// this process, for viewers that look for them.
#include <unistd.h>

#include <algorithm>

#include "platform/dshow/internal.h"

namespace tw::dshow {

namespace {

std::string Narrow(const char16_t* text) {
  std::string out;
  for (const char16_t* p = text; p && *p; ++p) {
    const char32_t c = *p;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

class RunningObjectTable final : public com::ComObject<RunningObjectTable, IRunningObjectTable> {
 public:
  HRESULT Register(DWORD, IUnknown* object, IMoniker* name, DWORD* cookie) override {
    if (!object || !name || !cookie) return com::E_POINTER;
    *cookie = 0;
    std::string key;
    const HRESULT hr = name->GetDisplayName(&key);
    if (FAILED(hr)) return hr;
    std::lock_guard lock(mutex_);
    if (Find(key) != entries_.end()) return com::E_INVALIDARG;
    *cookie = ++lastCookie_;
    entries_.push_back({*cookie, key, ComPtr<IUnknown>(object)});
    return com::S_OK;
  }
  HRESULT Revoke(DWORD cookie) override {
    ComPtr<IUnknown> released;  // let go outside the lock: it may be the last reference
    std::lock_guard lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.cookie == cookie; });
    if (cookie == 0 || it == entries_.end()) return com::E_INVALIDARG;
    released = std::move(it->object);
    entries_.erase(it);
    return com::S_OK;
  }
  HRESULT GetObject(IMoniker* name, IUnknown** object) override {
    if (!name || !object) return com::E_POINTER;
    *object = nullptr;
    std::string key;
    const HRESULT hr = name->GetDisplayName(&key);
    if (FAILED(hr)) return hr;
    std::lock_guard lock(mutex_);
    auto it = Find(key);
    if (it == entries_.end()) return MK_E_UNAVAILABLE;
    return it->object.CopyTo(object);
  }
  HRESULT EnumRunningNames(std::vector<std::string>* names) override {
    if (!names) return com::E_POINTER;
    std::lock_guard lock(mutex_);
    names->clear();
    for (const Entry& e : entries_) names->push_back(e.name);
    return com::S_OK;
  }

 private:
  struct Entry {
    DWORD cookie;
    std::string name;
    ComPtr<IUnknown> object;
  };
  std::vector<Entry>::iterator Find(const std::string& name) {
    return std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return e.name == name; });
  }

  std::mutex mutex_;
  std::vector<Entry> entries_;
  DWORD lastCookie_ = 0;
};

class ItemMoniker final : public com::ComObject<ItemMoniker, IMoniker> {
 public:
  explicit ItemMoniker(std::string name) : name_(std::move(name)) {}
  HRESULT BindToObject(void*, IMoniker*, const GUID& iid, void** object) override {
    if (!object) return com::E_POINTER;
    *object = nullptr;
    ComPtr<IRunningObjectTable> table;
    GetRunningObjectTable(0, table.Out());
    ComPtr<IUnknown> found;
    const HRESULT hr = table->GetObject(this, found.Out());
    return FAILED(hr) ? hr : found->QueryInterface(iid, object);
  }
  HRESULT BindToStorage(void*, IMoniker*, const GUID&, void** object) override {
    if (object) *object = nullptr;
    return com::E_NOINTERFACE;
  }
  HRESULT GetDisplayName(std::string* name) override {
    if (!name) return com::E_POINTER;
    *name = name_;
    return com::S_OK;
  }

 private:
  std::string name_;
};

}  // namespace

HRESULT GetRunningObjectTable(DWORD, IRunningObjectTable** table) {
  if (!table) return com::E_POINTER;
  // One table per process, alive until the process ends.
  static IRunningObjectTable* const kTable = com::MakeComObject<RunningObjectTable>().Detach();
  return ComPtr<IRunningObjectTable>(kTable).CopyTo(table);
}

HRESULT CreateItemMoniker(const char16_t* delimiter, const char16_t* item, IMoniker** moniker) {
  if (!moniker) return com::E_POINTER;
  *moniker = com::MakeComObject<ItemMoniker>(Narrow(delimiter) + Narrow(item)).Detach();
  return *moniker ? com::S_OK : com::E_OUTOFMEMORY;
}

DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }

}  // namespace tw::dshow
