// The client control library's four exports. The module object (class
// factory and live-object count) is made when the library loads and lives
// until it unloads.
#include "client/cParleyCln.h"
#include "server/cControlModule.h"

namespace {

tw::TControlModule g_module(tw::TtwParleyClnX::Class(), &tw::TtwParleyClnX::Create);

}  // namespace

using tw::com::HRESULT;

TW_COM_DLL_EXPORT HRESULT DllGetClassObject(tw::com::REFCLSID clsid, tw::com::REFIID iid, void** object) {
  return g_module.GetClassObject(clsid, iid, object);
}

TW_COM_DLL_EXPORT HRESULT DllCanUnloadNow() { return g_module.CanUnloadNow(); }

TW_COM_DLL_EXPORT HRESULT DllRegisterServer() { return g_module.Register(); }

TW_COM_DLL_EXPORT HRESULT DllUnregisterServer() { return g_module.Unregister(); }
