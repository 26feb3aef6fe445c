// The container's side of automation: calling a member by name with C++
// arguments (GetIDsOfNames + Invoke), firing a DISPID at a sink, and
// DispatchSink, an IDispatch whose Invoke hands each call to a function
// (a container's event sink).
//
// Arguments are Variants in declaration order (the helpers reverse them);
// ByRef(&x) passes a reference for [out] and [in,out] parameters, the value
// written back lands in x (an old BSTR in x is freed). Results are owned by
// the DispResult.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/dispatch.h"

namespace tw::com {

struct DispResult {
  HRESULT hr = S_OK;
  Variant value;                // the [retval], VT_EMPTY when none
  std::u16string source;        // from EXCEPINFO when hr is DISP_E_EXCEPTION
  std::u16string description;
  SCODE scode = S_OK;           // the member's own failure code, if any
  UINT argErr = 0;              // index (in rgvarg) of a refused argument
  explicit operator bool() const { return SUCCEEDED(hr); }
};

// A VT_BYREF variant pointing at `target` (not owning it).
Variant ByRef(LONG* target);
Variant ByRef(VARIANT_BOOL* target);
Variant ByRef(BSTR* target);
Variant ByRef(VARIANT* target);

// Invoke with `args` in declaration order.
DispResult InvokeDispid(IDispatch* object, DISPID id, WORD flags, std::span<Variant> args);
// GetIDsOfNames, then Invoke; DISP_E_UNKNOWNNAME when the name is unknown.
DispResult InvokeByName(IDispatch* object, std::u16string_view name, WORD flags,
                        std::span<Variant> args);

// A method call by name: Call(control, u"OpenSession", host, port, user, password).
template <class... A>
DispResult Call(IDispatch* object, std::u16string_view name, A&&... args) {
  std::vector<Variant> list{Variant(std::forward<A>(args))...};
  return InvokeByName(object, name, DISPATCH_METHOD, list);
}
DispResult GetProperty(IDispatch* object, std::u16string_view name);
DispResult PutProperty(IDispatch* object, std::u16string_view name, Variant value);

// The handler receives the arguments in declaration order, borrowed (write
// [in,out] values through their VT_BYREF pointers, freeing a BSTR that is
// replaced there), and may set *result,
// which may be null. A failing HRESULT or an exception reaches the caller as
// DISP_E_EXCEPTION with EXCEPINFO, like a member failure.
using DispatchHandler = std::function<HRESULT(DISPID id, std::span<VARIANT> args, VARIANT* result)>;

// An IDispatch that also answers QueryInterface for `eventsIid` (the events
// interface a connection point asks for; GUID_NULL for none).
ComPtr<IDispatch> MakeDispatchSink(REFIID eventsIid, DispatchHandler handler);

}  // namespace tw::com
