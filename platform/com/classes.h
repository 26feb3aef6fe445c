// Classes and their factories: CoCreateInstance and friends. A class is found
// first among the class objects registered in this process
// (CoRegisterClassObject), then in the registry (CLSID\{...}\InprocServer32),
// whose library is loaded with dlopen and asked for its class object through
// DllGetClassObject. Loaded libraries stay loaded until CoFreeUnusedLibraries
// finds that their DllCanUnloadNow answers S_OK.
//
// A control library exports exactly the four Dll* functions below (C linkage)
// and counts its live objects and server locks in a ModuleLockCount.
//
// Ownership: objects and class objects come back with one reference for the
// caller. The process table keeps a reference to each registered class object
// until CoRevokeClassObject.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "platform/com/unknown.h"

namespace tw::com {

class IClassFactory : public IUnknown {
 public:
  static constexpr IID kIid{0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using Base = IUnknown;

  // CLASS_E_NOAGGREGATION when `outer` is given and the class cannot be aggregated.
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
  // Keeps the server's library loaded while `lock` is TRUE (counted).
  virtual HRESULT LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};

inline constexpr IID IID_IClassFactory = IClassFactory::kIid;

// Class contexts; every creation here is in-process.
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC | CLSCTX_LOCAL_SERVER;

// CoRegisterClassObject flags.
constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;

// Marks the four entry points of a control library, which builds with hidden
// visibility: TW_COM_DLL_EXPORT HRESULT DllCanUnloadNow() { ... }
#define TW_COM_DLL_EXPORT extern "C" __attribute__((visibility("default")))

// The library entry points, as a control exports them.
using LPFNGETCLASSOBJECT = HRESULT (*)(REFCLSID clsid, REFIID iid, void** object);
using LPFNCANUNLOADNOW = HRESULT (*)();
using LPFNREGISTERSERVER = HRESULT (*)();

// Per-thread initialisation counters: S_OK the first time on a thread,
// S_FALSE after. Nothing in this layer requires them.
HRESULT CoInitialize(void* reserved);
HRESULT CoInitializeEx(void* reserved, DWORD flags);
void CoUninitialize();

HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* classObject, DWORD context, DWORD flags,
                              DWORD* cookie);
HRESULT CoRevokeClassObject(DWORD cookie);

// REGDB_E_CLASSNOTREG when neither the process nor the registry knows the
// class; CO_E_DLLNOTFOUND when its library does not load; CO_E_ERRORINDLL
// when the library lacks DllGetClassObject.
HRESULT CoGetClassObject(REFCLSID clsid, DWORD context, void* serverInfo, REFIID iid, void** object);
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid, void** object);
// Unloads every loaded library whose DllCanUnloadNow answers S_OK.
void CoFreeUnusedLibraries();

// The CLSID under the registry key <progId>\CLSID.
HRESULT CLSIDFromProgID(LPCOLESTR progId, CLSID* clsid);
HRESULT CLSIDFromString(LPCOLESTR text, CLSID* clsid);

// Number of libraries loaded by CoGetClassObject (for tests and diagnostics).
size_t LoadedLibraryCount();

// The path of the shared object (or executable) that contains `address`,
// e.g. of a control library from within itself; empty when unknown.
std::string ModulePathOf(const void* address);

// The live-object and lock count of one library, the basis of its
// DllCanUnloadNow. Objects hold a ModuleLock for their lifetime.
class ModuleLockCount {
 public:
  void Lock() { count_.fetch_add(1, std::memory_order_relaxed); }
  void Unlock() { count_.fetch_sub(1, std::memory_order_acq_rel); }
  bool CanUnload() const { return count_.load(std::memory_order_acquire) == 0; }
  long Count() const { return count_.load(std::memory_order_acquire); }

 private:
  std::atomic<long> count_{0};
};

class ModuleLock {
 public:
  explicit ModuleLock(ModuleLockCount& count) : count_(count) { count_.Lock(); }
  ModuleLock(const ModuleLock& o) : ModuleLock(o.count_) {}
  ModuleLock& operator=(const ModuleLock&) = delete;
  ~ModuleLock() { count_.Unlock(); }

 private:
  ModuleLockCount& count_;
};

// A class object that makes a new object for every request (the instancing
// of both controls), refuses aggregation, and keeps its library loaded while
// it is referenced or locked. `create` makes the object and queries it for
// `iid`; an exception it raises returns E_UNEXPECTED with error info.
//
// Lifetime::Counted: made with MakeComObject for each request of the class
// object; the last Release deletes it.
//   TW_COM_DLL_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
//     if (clsid != CLSID_Mine) return CLASS_E_CLASSNOTAVAILABLE;
//     return MakeComObject<ClassFactory>(g_module, CreateAs<Mine>)->QueryInterface(iid, object);
//   }
// Lifetime::Static: one object that lives as long as the library (a static
// of the library); references only keep the library loaded.
class ClassFactory final : public IClassFactory {
 public:
  enum class Lifetime { Counted, Static };
  using Creator = std::function<HRESULT(REFIID iid, void** object)>;
  ClassFactory(ModuleLockCount& module, Creator create, Lifetime lifetime = Lifetime::Counted);
  ~ClassFactory();
  ClassFactory(const ClassFactory&) = delete;
  ClassFactory& operator=(const ClassFactory&) = delete;

  HRESULT QueryInterface(REFIID iid, void** object) override;
  ULONG AddRef() override;
  ULONG Release() override;
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override;
  HRESULT LockServer(BOOL lock) override;

 private:
  ModuleLockCount& module_;
  Creator create_;
  Lifetime lifetime_;
  std::atomic<ULONG> refs_{0};
};

// A Creator for ClassFactory: a new T (default-constructed) queried for `iid`.
template <class T>
HRESULT CreateAs(REFIID iid, void** object) {
  ComPtr<T> created = MakeComObject<T>();
  if (!created) return E_OUTOFMEMORY;
  return created->QueryInterface(iid, object);
}

}  // namespace tw::com
