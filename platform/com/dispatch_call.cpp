// Client calls reverse the argument list into DISPPARAMS and copy EXCEPINFO
// into the result; the sink reverses it back for its handler.
#include "platform/com/dispatch_call.h"

#include <algorithm>

#include "platform/com/dispatch_table.h"
#include "platform/com/errorinfo.h"

namespace tw::com {

namespace {

template <class T>
Variant MakeRef(VARTYPE vt, T* target) {
  Variant v;
  v.vt = static_cast<VARTYPE>(VT_BYREF | vt);
  v.byref = target;
  return v;
}

class DispatchSink final : public ComObject<DispatchSink, WithoutTypeInfo<IDispatch>> {
 public:
  DispatchSink(REFIID eventsIid, DispatchHandler handler)
      : eventsIid_(eventsIid), handler_(std::move(handler)) {}

  HRESULT QueryInterface(REFIID iid, void** object) override {
    if (object && eventsIid_ != GUID_NULL && iid == eventsIid_) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    return ComObject::QueryInterface(iid, object);
  }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override {
    for (UINT i = 0; ids && i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT*) override {
    std::vector<VARIANT> args;
    if (params && params->cArgs > 0) {
      if (!params->rgvarg) return E_INVALIDARG;
      args.assign(params->rgvarg, params->rgvarg + params->cArgs);
      std::reverse(args.begin(), args.end());
    }
    if (result) VariantInit(result);
    HRESULT hr = GuardMember([&] { return handler_ ? handler_(id, args, result) : S_OK; });
    if (FAILED(hr)) return ReportMemberFailure(hr, excep, {});
    return hr;
  }

 private:
  IID eventsIid_;
  DispatchHandler handler_;
};

}  // namespace

Variant ByRef(LONG* target) { return MakeRef(VT_I4, target); }
Variant ByRef(VARIANT_BOOL* target) { return MakeRef(VT_BOOL, target); }
Variant ByRef(BSTR* target) { return MakeRef(VT_BSTR, target); }
Variant ByRef(VARIANT* target) { return MakeRef(VT_VARIANT, target); }

DispResult InvokeDispid(IDispatch* object, DISPID id, WORD flags, std::span<Variant> args) {
  DispResult r;
  if (!object) {
    r.hr = E_POINTER;
    return r;
  }
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());  // borrowed copies
  DISPID putId = DISPID_PROPERTYPUT;
  bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
  DISPPARAMS dp{reversed.data(), put ? &putId : nullptr, static_cast<UINT>(reversed.size()),
                put ? 1u : 0u};
  EXCEPINFO excep{};
  r.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &dp, r.value.Out(), &excep, &r.argErr);
  if (r.hr == DISP_E_EXCEPTION) {
    r.scode = excep.scode;
    r.source = BstrView(excep.bstrSource);
    r.description = BstrView(excep.bstrDescription);
  }
  ClearExcepInfo(&excep);
  return r;
}

DispResult InvokeByName(IDispatch* object, std::u16string_view name, WORD flags,
                        std::span<Variant> args) {
  if (!object) return DispResult{E_POINTER};
  std::u16string copy(name);
  LPOLESTR names[] = {copy.data()};
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return DispResult{hr};
  return InvokeDispid(object, id, flags, args);
}

DispResult GetProperty(IDispatch* object, std::u16string_view name) {
  return InvokeByName(object, name, DISPATCH_PROPERTYGET, {});
}

DispResult PutProperty(IDispatch* object, std::u16string_view name, Variant value) {
  return InvokeByName(object, name, DISPATCH_PROPERTYPUT, std::span<Variant>(&value, 1));
}

ComPtr<IDispatch> MakeDispatchSink(REFIID eventsIid, DispatchHandler handler) {
  return MakeComObject<DispatchSink>(eventsIid, std::move(handler));
}

}  // namespace tw::com
