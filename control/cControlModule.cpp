// Registration writes what a container and a form designer look up: the
// class with its ProgID, threading model, misc status, toolbox bitmap and
// verb, the type library and the two interfaces with the automation proxy.
#include "control/cControlModule.h"

#include <new>

#include "platform/com/registry.h"
#include "platform/win32/text.h"

namespace tw {

using namespace tw::com;

TControlModule::TControlModule(const TControlClass& cls, Creator create)
    : class_(cls),
      create_(create),
      factory_(locks_, [this](REFIID iid, void** object) { return CreateControl(iid, object); },
               ClassFactory::Lifetime::Static) {}

HRESULT TControlModule::CreateControl(REFIID iid, void** object) {
  TControlShell* control = nullptr;
  try {
    control = create_(locks_);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  // One reference while it initialises; QueryInterface adds the caller's.
  ComPtr<IOleObject> ole(control);
  control->Initialize();  // a failure releases the new control on the way out
  return ole->QueryInterface(iid, object);
}

HRESULT TControlModule::GetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  if (!object) return E_POINTER;
  *object = nullptr;
  if (clsid != class_.clsid) return CLASS_E_CLASSNOTAVAILABLE;
  return factory_.QueryInterface(iid, object);
}

namespace {

std::string InterfaceKey(const IID& iid) { return "Interface\\" + GuidToString(iid); }
std::string TypeLibKey(const GUID& libid) { return "TypeLib\\" + GuidToString(libid); }

// Automation's proxy for dispatch and dual interfaces.
constexpr const char* kDispatchProxy = "{00020424-0000-0000-C000-000000000046}";

}  // namespace

HRESULT TControlModule::Register() const {
  // Any address inside this library names it.
  const std::string path = ModulePathOf(reinterpret_cast<const void*>(&InterfaceKey));
  if (path.empty()) return SELFREG_E_CLASS;
  InprocServerRegistration reg;
  reg.clsid = class_.clsid;
  reg.libraryPath = path;
  reg.description = win32::Utf16ToUtf8(class_.displayName);
  reg.threadingModel = "Apartment";
  reg.progId = class_.progId;
  reg.typeLib = class_.libid;
  reg.version = class_.typeLibVersion;
  reg.control = true;
  reg.miscStatus = kControlMiscStatus;
  HRESULT hr = RegisterInprocServer(reg);
  if (FAILED(hr)) return hr;
  const std::string classKey = "CLSID\\" + GuidToString(class_.clsid);
  const std::string libid = GuidToString(class_.libid);
  hr = Registry::Default().Update([&](RegistryTree& t) {
    t.SetValue(classKey + "\\ToolboxBitmap32", "", path + ",1");
    t.SetValue(classKey + "\\Verb\\0", "", "Properties,0,2");
    const std::string lib = TypeLibKey(class_.libid);
    t.DeleteTree(lib);
    const std::string version = lib + "\\" + class_.typeLibVersion;
    t.SetValue(version, "", std::string(class_.typeLibName) + " Library");
    t.SetValue(version + "\\0\\win32", "", path);
    t.SetValue(version + "\\FLAGS", "", "0");
    for (auto [iid, name] : {std::pair{class_.dualIid, class_.dualName}, std::pair{class_.eventsIid, class_.eventsName}}) {
      const std::string key = InterfaceKey(iid);
      t.DeleteTree(key);
      t.SetValue(key, "", name);
      t.SetValue(key + "\\ProxyStubClsid32", "", kDispatchProxy);
      t.SetValue(key + "\\TypeLib", "", libid);
      t.SetValue(key + "\\TypeLib", "Version", class_.typeLibVersion);
    }
  });
  if (FAILED(hr)) Unregister();
  return hr;
}

HRESULT TControlModule::Unregister() const {
  HRESULT hr = UnregisterInprocServer(class_.clsid, class_.progId);
  HRESULT more = Registry::Default().Update([&](RegistryTree& t) {
    t.DeleteTree(TypeLibKey(class_.libid));
    t.DeleteTree(InterfaceKey(class_.dualIid));
    t.DeleteTree(InterfaceKey(class_.eventsIid));
  });
  return FAILED(hr) ? hr : more;
}

}  // namespace tw
