// The library side of a control: its one class factory (a static-lifetime
// ClassFactory that makes a new control for every request), the count of
// live objects and locks behind DllCanUnloadNow, and DllRegisterServer's
// keys. A control library holds one TControlModule for its class and
// forwards its four exports to it:
//
//   tw::TControlModule g_module(TMyControl::Class(), &TMyControl::Create);
//   TW_COM_DLL_EXPORT HRESULT DllGetClassObject(REFCLSID c, REFIID i, void** o) {
//     return g_module.GetClassObject(c, i, o);
//   }
//   ... DllCanUnloadNow, DllRegisterServer, DllUnregisterServer likewise.
//
// Ownership: the module and its factory live from library load to unload;
// each reference to the factory and each live control keeps the library
// loaded.
#pragma once

#include "platform/com/classes.h"
#include "server/cControlShell.h"

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
