// A tiny in-process server for the class runtime tests: one class with a
// dispatch interface, exported through the four Dll* entry points only.
#include "platform/com/classes.h"
#include "platform/com/dispatch_table.h"
#include "platform/com/registry.h"

#include "tests/platform/com/test_server.h"

namespace tw::com {
namespace {

ModuleLockCount g_module;

class ITestAdder : public IDispatch {
 public:
  static constexpr IID kIid = IID_ITestAdder;
  using Base = IDispatch;
  virtual HRESULT Add(LONG a, LONG b, LONG* sum) = 0;
  virtual HRESULT Divide(LONG a, LONG b, LONG* quotient) = 0;

 protected:
  ~ITestAdder() = default;
};

class TestAdder final : public ComObject<TestAdder, DispatchImpl<TestAdder, ITestAdder>> {
 public:
  HRESULT Add(LONG a, LONG b, LONG* sum) override {
    *sum = a + b;
    return S_OK;
  }
  // Raises across the library boundary: the table's guard in the platform
  // library must still recognise the ComError.
  HRESULT Divide(LONG a, LONG b, LONG* quotient) override {
    if (b == 0) throw ComError(E_INVALIDARG, "division by zero");
    *quotient = a / b;
    return S_OK;
  }
  static const DispatchTable<ITestAdder>& DispTable() {
    static const DispatchTable<ITestAdder> table(IID_ITestAdder, u"TestAdder", {
        Method(u"Add", 1, &ITestAdder::Add),
        Method(u"Divide", 2, &ITestAdder::Divide),
    });
    return table;
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
  ComPtr<ClassFactory> factory = MakeComObject<ClassFactory>(g_module, CreateAs<TestAdder>);
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
