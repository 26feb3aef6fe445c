// The library side of a control: its one class factory (a static-lifetime
// ClassFactory that makes a new control for every request), the count of
// live objects and locks behind DllCanUnloadNow, and DllRegisterServer's
// keys. A control library holds one TControlModule for its class and
// forwards its four exports to it:
//
//   tw::TControlModule g_module(TMyControl::Class(), &TMyControl::Create);
//   TW_CONTROL_MODULE_EXPORTS(g_module)
//
// Ownership: the module and its factory live from library load to unload;
// each reference to the factory and each live control keeps the library
// loaded.
#pragma once

#include "control/cControlShell.h"
#include "platform/com/classes.h"

namespace tw {

class TControlModule {
 public:
  // Makes a new control object (no references yet) that holds a lock on the
  // module for its lifetime.
  using Creator = TControlShell* (*)(com::ModuleLockCount& module);
  TControlModule(const TControlClass& cls, Creator create);
  TControlModule(const TControlModule&) = delete;
  TControlModule& operator=(const TControlModule&) = delete;

  com::HRESULT GetClassObject(com::REFCLSID clsid, com::REFIID iid, void** object);
  com::HRESULT CanUnloadNow() const { return locks_.CanUnload() ? com::S_OK : com::S_FALSE; }
  // Writes (removes) the class, its ProgID, the type library and the two
  // interfaces, and nothing else.
  com::HRESULT Register() const;
  com::HRESULT Unregister() const;

 private:
  // The factory's work: a new control, initialised, queried for `iid`.
  com::HRESULT CreateControl(com::REFIID iid, void** object);

  const TControlClass& class_;
  Creator create_;
  com::ModuleLockCount locks_;
  com::ClassFactory factory_;
};

}  // namespace tw

// Defines the library's four exports (DllGetClassObject, DllCanUnloadNow,
// DllRegisterServer, DllUnregisterServer), each forwarding to `module`.
#define TW_CONTROL_MODULE_EXPORTS(module)                                                              \
  TW_COM_DLL_EXPORT tw::com::HRESULT DllGetClassObject(tw::com::REFCLSID clsid, tw::com::REFIID iid, \
                                                       void** object) {                              \
    return (module).GetClassObject(clsid, iid, object);                                            \
  }                                                                                                \
  TW_COM_DLL_EXPORT tw::com::HRESULT DllCanUnloadNow() { return (module).CanUnloadNow(); }          \
  TW_COM_DLL_EXPORT tw::com::HRESULT DllRegisterServer() { return (module).Register(); }            \
  TW_COM_DLL_EXPORT tw::com::HRESULT DllUnregisterServer() { return (module).Unregister(); }
