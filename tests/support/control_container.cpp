#include "tests/support/control_container.h"

#include <dlfcn.h>

#include <algorithm>

#include "platform/com/classes.h"
#include "platform/com/errorinfo.h"
#include "platform/win32/text.h"

namespace tw::test {

using namespace tw::com;

HRESULT CallExport(const char* library, const char* name) {
  void* lib = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!lib) return CO_E_DLLNOTFOUND;
  auto fn = reinterpret_cast<LPFNREGISTERSERVER>(::dlsym(lib, name));
  HRESULT hr = fn ? fn() : CO_E_ERRORINDLL;
  ::dlclose(lib);
  return hr;
}

HRESULT LoadedCanUnloadNow(const char* library) {
  void* lib = ::dlopen(library, RTLD_NOW | RTLD_NOLOAD);
  if (!lib) return E_FAIL;
  auto fn = reinterpret_cast<LPFNCANUNLOADNOW>(::dlsym(lib, "DllCanUnloadNow"));
  HRESULT hr = fn();
  ::dlclose(lib);
  return hr;
}

std::string ArgText(const VARIANT& v) {
  const VARIANT* a = &v;
  if (a->vt == (VT_BYREF | VT_VARIANT)) a = a->pvarVal;
  if (a->vt == (VT_ARRAY | VT_UI1)) return "bytes:" + std::to_string(a->parray->rgsabound[0].cElements);
  if (a->vt == (VT_BYREF | VT_BSTR)) return win32::Utf16ToUtf8(BstrView(*a->pbstrVal));
  if (a->vt == (VT_BYREF | VT_BOOL)) return std::to_string(*a->pboolVal);
  Variant copy(*a);
  auto s = copy.ToString();
  return s ? win32::Utf16ToUtf8(*s) : "?";
}

Variant ByteArrayOf(const std::string& bytes) {
  Variant v;
  VariantFromBytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), v.Out());
  return v;
}

TEventSink::TEventSink(REFIID eventsIid) {
  dispatch = MakeDispatchSink(eventsIid, [this](DISPID id, std::span<VARIANT> args, VARIANT*) {
    TEvent e{id, {}};
    for (const VARIANT& a : args) e.args.push_back(ArgText(a));
    events.push_back(e);
    auto it = react.find(id);
    return it == react.end() ? S_OK : it->second(args);
  });
}

size_t TEventSink::Count(DISPID id) const {
  return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const TEvent& e) { return e.id == id; }));
}

const TEvent* TEventSink::Last(DISPID id) const {
  for (auto it = events.rbegin(); it != events.rend(); ++it)
    if (it->id == id) return &*it;
  return nullptr;
}

bool TEventSink::Advise(IUnknown* control, REFIID eventsIid) {
  ComPtr<IConnectionPointContainer> c;
  if (FAILED(control->QueryInterface(IConnectionPointContainer::kIid, c.OutVoid()))) return false;
  ComPtr<IConnectionPoint> point;
  return SUCCEEDED(c->FindConnectionPoint(eventsIid, point.Out())) && SUCCEEDED(point->Advise(dispatch.Get(), &cookie));
}

WORD FlagsOf(Kind k) {
  return k == Kind::Method ? DISPATCH_METHOD : k == Kind::Get ? DISPATCH_PROPERTYGET : DISPATCH_PROPERTYPUT;
}

HRESULT RawInvoke(IDispatch* d, DISPID id, WORD flags, std::vector<Variant>& reversed, VARIANT* result,
                  UINT* argErr, bool namedPut) {
  DISPID put = DISPID_PROPERTYPUT;
  const bool isPut = (flags & DISPATCH_PROPERTYPUT) && namedPut;
  DISPPARAMS dp{reversed.data(), isPut ? &put : nullptr, static_cast<UINT>(reversed.size()), isPut ? 1u : 0u};
  EXCEPINFO excep{};
  HRESULT hr = d->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, result, &excep, argErr);
  ClearExcepInfo(&excep);
  return hr;
}

}  // namespace tw::test
