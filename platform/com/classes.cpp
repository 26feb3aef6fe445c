// The class runtime: one process-wide table of registered class objects and
// one of loaded libraries, both under one mutex. Library code (dlopen, the
// Dll* entry points, factories) always runs with the mutex released, because
// a library may register classes of its own while it loads.
#include "platform/com/classes.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com/errorinfo.h"
#include "platform/com/registry.h"
#include "platform/win32/text.h"

namespace tw::com {

namespace {

struct ClassEntry {
  DWORD cookie;
  CLSID clsid;
  ComPtr<IUnknown> object;
};

struct Library {
  void* handle;
  LPFNCANUNLOADNOW canUnloadNow;  // null: never unloaded
};

struct Runtime {
  std::mutex mutex;
  std::vector<ClassEntry> classes;
  DWORD nextCookie = 1;
  std::map<std::string, Library> libraries;  // by path as registered
};

Runtime& TheRuntime() {
  static Runtime runtime;
  return runtime;
}

thread_local int t_initCount = 0;

// The registered class object for `clsid`, if any.
ComPtr<IUnknown> FindRegistered(REFCLSID clsid) {
  Runtime& rt = TheRuntime();
  std::lock_guard lock(rt.mutex);
  for (const auto& c : rt.classes) {
    if (c.clsid == clsid) return c.object;
  }
  return nullptr;
}

// Loads `path` once; returns the library's DllGetClassObject.
HRESULT LoadLibraryOf(const std::string& path, LPFNGETCLASSOBJECT* getClassObject) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) return CO_E_DLLNOTFOUND;
  auto get = reinterpret_cast<LPFNGETCLASSOBJECT>(::dlsym(handle, "DllGetClassObject"));
  if (!get) {
    ::dlclose(handle);
    return CO_E_ERRORINDLL;
  }
  auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(::dlsym(handle, "DllCanUnloadNow"));
  Runtime& rt = TheRuntime();
  bool known;
  {
    std::lock_guard lock(rt.mutex);
    known = !rt.libraries.emplace(path, Library{handle, canUnload}).second;
  }
  // dlopen counts its handles: drop the extra one of a library already held.
  if (known) ::dlclose(handle);
  *getClassObject = get;
  return S_OK;
}

}  // namespace

HRESULT CoInitialize(void* reserved) { return CoInitializeEx(reserved, 0); }

HRESULT CoInitializeEx(void*, DWORD) { return t_initCount++ == 0 ? S_OK : S_FALSE; }

void CoUninitialize() {
  if (t_initCount > 0) --t_initCount;
}

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD, DWORD, DWORD* cookie) {
  if (!cookie) return E_INVALIDARG;
  *cookie = 0;
  if (!classObject) return E_INVALIDARG;
  Runtime& rt = TheRuntime();
  std::lock_guard lock(rt.mutex);
  if (rt.nextCookie == 0) return E_OUTOFMEMORY;  // every cookie handed out
  *cookie = rt.nextCookie++;
  rt.classes.push_back({*cookie, clsid, ComPtr<IUnknown>(classObject)});
  return S_OK;
}

HRESULT CoRevokeClassObject(DWORD cookie) {
  ComPtr<IUnknown> released;  // released after the mutex
  Runtime& rt = TheRuntime();
  std::lock_guard lock(rt.mutex);
  for (auto it = rt.classes.begin(); it != rt.classes.end(); ++it) {
    if (it->cookie == cookie) {
      released = std::move(it->object);
      rt.classes.erase(it);
      return S_OK;
    }
  }
  return E_INVALIDARG;
}

HRESULT CoGetClassObject(REFCLSID clsid, DWORD, void*, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (ComPtr<IUnknown> registered = FindRegistered(clsid)) {
    return registered->QueryInterface(iid, object);
  }
  std::optional<std::string> path =
      Registry::Default().GetValue("CLSID\\" + GuidToString(clsid) + "\\InprocServer32");
  if (!path || path->empty()) return REGDB_E_CLASSNOTREG;
  LPFNGETCLASSOBJECT get = nullptr;
  HRESULT hr = LoadLibraryOf(*path, &get);
  if (FAILED(hr)) return hr;
  return get(clsid, iid, object);
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  ComPtr<IClassFactory> factory;
  HRESULT hr = CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, factory.OutVoid());
  if (FAILED(hr)) return hr;
  if (!factory) return E_UNEXPECTED;
  return factory->CreateInstance(outer, iid, object);
}

void CoFreeUnusedLibraries() {
  Runtime& rt = TheRuntime();
  std::vector<std::pair<std::string, Library>> candidates;
  {
    std::lock_guard lock(rt.mutex);
    for (const auto& entry : rt.libraries) {
      if (entry.second.canUnloadNow) candidates.push_back(entry);
    }
  }
  for (const auto& [path, lib] : candidates) {
    if (lib.canUnloadNow() != S_OK) continue;
    {
      std::lock_guard lock(rt.mutex);
      auto it = rt.libraries.find(path);
      if (it == rt.libraries.end() || it->second.handle != lib.handle) continue;
      rt.libraries.erase(it);
    }
    ::dlclose(lib.handle);
  }
}

size_t LoadedLibraryCount() {
  Runtime& rt = TheRuntime();
  std::lock_guard lock(rt.mutex);
  return rt.libraries.size();
}

HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid) {
  if (!clsid) return E_INVALIDARG;
  *clsid = GUID_NULL;
  if (!text) return CO_E_CLASSSTRING;
  std::optional<GUID> g = GuidFromString(win32::Utf16ToUtf8(text));
  if (!g) return CO_E_CLASSSTRING;
  *clsid = *g;
  return S_OK;
}

HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid) {
  if (!clsid) return E_INVALIDARG;
  *clsid = GUID_NULL;
  if (!progId || !*progId) return CO_E_CLASSSTRING;
  std::optional<std::string> text = Registry::Default().GetValue(win32::Utf16ToUtf8(progId) + "\\CLSID");
  if (!text) return CO_E_CLASSSTRING;
  std::optional<GUID> g = GuidFromString(*text);
  if (!g) return CO_E_CLASSSTRING;
  *clsid = *g;
  return S_OK;
}

ClassFactory::ClassFactory(ModuleLockCount& module, Creator create, Lifetime lifetime)
    : module_(module), create_(std::move(create)), lifetime_(lifetime) {
  if (lifetime_ == Lifetime::Counted) module_.Lock();  // for as long as it lives
}

ClassFactory::~ClassFactory() {
  if (lifetime_ == Lifetime::Counted) module_.Unlock();
}

HRESULT ClassFactory::QueryInterface(REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
  *object = static_cast<IClassFactory*>(this);
  AddRef();
  return S_OK;
}

ULONG ClassFactory::AddRef() {
  if (lifetime_ == Lifetime::Static) module_.Lock();
  return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG ClassFactory::Release() {
  const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (lifetime_ == Lifetime::Static)
    module_.Unlock();
  else if (left == 0)
    delete this;
  return left;
}

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  if (!create_) return E_UNEXPECTED;
  return GuardMember([&] { return create_(iid, object); }, IID_IClassFactory);
}

HRESULT ClassFactory::LockServer(BOOL lock) {
  if (lock) {
    module_.Lock();
  } else {
    module_.Unlock();
  }
  return S_OK;
}

std::string ModulePathOf(const void* address) {
  Dl_info info{};
  if (!::dladdr(address, &info) || !info.dli_fname || !*info.dli_fname) return {};
  char resolved[PATH_MAX];
  if (::realpath(info.dli_fname, resolved)) return resolved;
  return info.dli_fname;
}

}  // namespace tw::com
