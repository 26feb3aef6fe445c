// A tiny in-process server for the class runtime tests: one class with a
// dispatch interface, exported through the four Dll* entry points only.
#include "platform/com/classes.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/registry.h"

#include "tests/com/test_server.h"

namespace tw::com {
namespace {

ModuleLockCount g_module;

class ITestAdder : public IDispatch {
 public:
  static constexpr IID kIid = IID_ITestAdder;
  using Base = IDispatch;
  virtual HRESULT Add(LONG a, LONG b, LONG* sum) = 0;
};

class TestAdder final : public ComObject<TestAdder, DispatchImpl<TestAdder, ITestAdder>> {
 public:
  HRESULT Add(LONG a, LONG b, LONG* sum) override {
    *sum = a + b;
    return S_OK;
  }
  static const DispatchTable<ITestAdder>& DispTable() {
    static const DispatchTable<ITestAdder> table(IID_ITestAdder, u"TestAdder",
                                                 {Method(u"Add", 1, &ITestAdder::Add)});
    return table;
  }

 private:
  ModuleLock lock_{g_module};
};

class AdderFactory final : public ComObject<AdderFactory, IClassFactory> {
 public:
  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    ComPtr<TestAdder> adder = MakeComObject<TestAdder>();
    if (!adder) return E_OUTOFMEMORY;
    return adder->QueryInterface(iid, object);
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      g_module.Lock();
    } else {
      g_module.Unlock();
    }
    return S_OK;
  }

 private:
  ModuleLock lock_{g_module};
};

}  // namespace
}  // namespace tw::com

using namespace tw::com;

TW_COM_DLL_EXPORT HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != CLSID_TestAdder) return CLASS_E_CLASSNOTAVAILABLE;
  ComPtr<AdderFactory> factory = MakeComObject<AdderFactory>();
  if (!factory) return E_OUTOFMEMORY;
  return factory->QueryInterface(iid, object);
}

TW_COM_DLL_EXPORT HRESULT DllCanUnloadNow() { return g_module.CanUnload() ? S_OK : S_FALSE; }

TW_COM_DLL_EXPORT HRESULT DllRegisterServer() {
  InprocServerRegistration reg;
  reg.clsid = CLSID_TestAdder;
  reg.libraryPath = ModulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
  reg.description = "Test adder";
  reg.progId = kTestAdderProgId;
  reg.control = true;
  reg.miscStatus = 0x22191;
  return RegisterInprocServer(reg);
}

TW_COM_DLL_EXPORT HRESULT DllUnregisterServer() {
  return UnregisterInprocServer(CLSID_TestAdder, kTestAdderProgId);
}
