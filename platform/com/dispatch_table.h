// Dispatch from a static table: the IDispatch side of a dual interface.
// A control lists each member once (name, DISPID, kind, parameters, code) and
// DispatchTable answers GetIDsOfNames (case-insensitive) and Invoke:
// arguments come in reverse order, a put takes its value as the named
// argument DISPID_PROPERTYPUT, by-reference inputs are dereferenced, inputs
// are coerced to the declared types, [out] values are written through the
// caller's VT_BYREF arguments and [out,retval] into *result (which may be
// null). A member that fails (negative HRESULT, or an exception, which the
// table guards) makes Invoke answer DISP_E_EXCEPTION with EXCEPINFO filled
// from the thread's error info.
//
//   static const DispatchTable<ISample> kTable(ISample::kIid, u"Sample", {
//       Method(u"Add", 1, &ISample::Add),              // HRESULT Add(LONG a, LONG b, LONG* sum)
//       PropGet(u"Name", 2, &ISample::get_Name),       // HRESULT get_Name(BSTR* value)
//       PropPut(u"Name", 2, &ISample::put_Name),       // HRESULT put_Name(BSTR value)
//   });
//   HRESULT Invoke(...) override { return kTable.Invoke(*this, id, flags, params, result, excep, argErr); }
//
// or let DispatchImpl (below) write IDispatch's four members.
//
// Parameter directions follow from the member's C++ signature: values and
// VARIANT* are [in], other pointers [out], and a final pointer of a method or
// property get is [out,retval]. Pass explicit PARAMFLAG lists to override
// (e.g. [in,out]). Ownership: [in] values are borrowed for the call; [out]
// values that the member stores (BSTRs, interfaces) pass to the caller.
#pragma once

#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform/com/dispatch.h"
#include "platform/com/errorinfo.h"

namespace tw::com {

enum class DispKind { Method, PropGet, PropPut };

constexpr USHORT PARAMFLAG_NONE = 0x0;
constexpr USHORT PARAMFLAG_FIN = 0x1;
constexpr USHORT PARAMFLAG_FOUT = 0x2;
constexpr USHORT PARAMFLAG_FRETVAL = 0x8;

struct DispParam {
  VARTYPE vt;    // a base type, or VT_VARIANT for "any"
  USHORT flags;  // PARAMFLAG_*
};

// What the table knows of a member, apart from its code.
struct DispMemberInfo {
  std::u16string name;
  DISPID id;
  DispKind kind;
  std::vector<DispParam> params;  // declaration order
};

// One table row. `invoke` receives one variant per declared parameter, in
// declaration order: an [in] parameter holds its coerced value (a VT_VARIANT
// parameter the caller's variant itself, borrowed), an [out] parameter an
// initial value of its declared type that the code overwrites.
template <class T>
struct DispMember {
  DispMemberInfo info;
  std::function<HRESULT(T& self, VARIANT* params)> invoke;
};

// The part of DispatchTable that does not depend on the implementing class.
class DispatchTableCore {
 public:
  DispatchTableCore(REFIID iid, std::u16string source, std::vector<DispMemberInfo> members);

  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) const;
  // `call(index, params)` runs member `index` of the table.
  HRESULT Invoke(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO* excep,
                 UINT* argErr, const std::function<HRESULT(size_t, VARIANT*)>& call) const;

  const std::vector<DispMemberInfo>& Members() const { return members_; }

 private:
  const DispMemberInfo* Find(DISPID id, WORD flags, size_t* index) const;

  IID iid_;
  std::u16string source_;
  std::vector<DispMemberInfo> members_;
};

template <class T>
class DispatchTable {
 public:
  // Throws std::invalid_argument for a row whose parameters are inconsistent
  // (a put without a value, a [retval] that is not last, ...).
  DispatchTable(REFIID iid, std::u16string source, std::vector<DispMember<T>> members)
      : core_(iid, std::move(source), InfosOf(members)) {
    for (auto& m : members) invokers_.push_back(std::move(m.invoke));
  }

  HRESULT GetIDsOfNames(LPOLESTR* names, UINT count, DISPID* ids) const {
    return core_.GetIDsOfNames(names, count, ids);
  }
  HRESULT Invoke(T& self, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT* argErr) const {
    return core_.Invoke(id, flags, params, result, excep, argErr,
                        [&](size_t i, VARIANT* p) { return invokers_[i](self, p); });
  }
  const DispatchTableCore& Core() const { return core_; }

 private:
  static std::vector<DispMemberInfo> InfosOf(const std::vector<DispMember<T>>& members) {
    std::vector<DispMemberInfo> infos;
    for (const auto& m : members) infos.push_back(m.info);
    return infos;
  }

  DispatchTableCore core_;
  std::vector<std::function<HRESULT(T&, VARIANT*)>> invokers_;
};

namespace detail {

// The automation type of a C++ parameter value and where a variant keeps it.
template <class P> struct DispValue { static constexpr bool known = false; };
#define TW_COM_DISP_VALUE(Type, Vt, Field)                    \
  template <> struct DispValue<Type> {                        \
    static constexpr bool known = true;                       \
    static constexpr VARTYPE vt = Vt;                         \
    static Type& Ref(VARIANT& v) { return v.Field; }          \
  };
TW_COM_DISP_VALUE(LONG, VT_I4, lVal)
TW_COM_DISP_VALUE(ULONG, VT_UI4, ulVal)
TW_COM_DISP_VALUE(SHORT, VT_I2, iVal)
TW_COM_DISP_VALUE(USHORT, VT_UI2, uiVal)
TW_COM_DISP_VALUE(CHAR, VT_I1, cVal)
TW_COM_DISP_VALUE(BYTE, VT_UI1, bVal)
TW_COM_DISP_VALUE(VARIANT_BOOL, VT_BOOL, boolVal)
TW_COM_DISP_VALUE(BSTR, VT_BSTR, bstrVal)
TW_COM_DISP_VALUE(IDispatch*, VT_DISPATCH, pdispVal)
TW_COM_DISP_VALUE(IUnknown*, VT_UNKNOWN, punkVal)
#undef TW_COM_DISP_VALUE

template <class P>
struct DispArg {
  static_assert(DispValue<P>::known, "parameter type has no automation type");
  static constexpr VARTYPE vt = DispValue<P>::vt;
  static constexpr USHORT flags = PARAMFLAG_FIN;
  static P Get(VARIANT& v) { return DispValue<P>::Ref(v); }
};
template <>
struct DispArg<VARIANT*> {
  static constexpr VARTYPE vt = VT_VARIANT;
  static constexpr USHORT flags = PARAMFLAG_FIN;
  static VARIANT* Get(VARIANT& v) { return &v; }
};
template <class Q>
  requires DispValue<Q>::known
struct DispArg<Q*> {
  static constexpr VARTYPE vt = DispValue<Q>::vt;
  static constexpr USHORT flags = PARAMFLAG_FOUT;
  static Q* Get(VARIANT& v) { return &DispValue<Q>::Ref(v); }
};

template <class... P>
std::vector<DispParam> ParamsOf(DispKind kind, std::vector<USHORT> flags) {
  std::vector<DispParam> params{DispParam{DispArg<P>::vt, DispArg<P>::flags}...};
  if (!flags.empty()) {
    if (flags.size() != params.size()) throw std::invalid_argument("parameter flags do not match");
    for (size_t i = 0; i < params.size(); ++i) params[i].flags = flags[i];
  } else if (kind != DispKind::PropPut && !params.empty() && params.back().flags == PARAMFLAG_FOUT) {
    params.back().flags = PARAMFLAG_FOUT | PARAMFLAG_FRETVAL;
  }
  return params;
}

template <class U, class... P, size_t... I>
HRESULT CallMember(U& self, HRESULT (U::*fn)(P...), VARIANT* params, std::index_sequence<I...>) {
  return (self.*fn)(DispArg<P>::Get(params[I])...);
}

template <class U, class... P>
DispMember<U> Row(std::u16string name, DISPID id, DispKind kind, HRESULT (U::*fn)(P...),
                  std::vector<USHORT> flags) {
  return {{std::move(name), id, kind, ParamsOf<P...>(kind, std::move(flags))},
          [fn](U& self, VARIANT* params) {
            return CallMember(self, fn, params, std::index_sequence_for<P...>{});
          }};
}

}  // namespace detail

// Rows from member functions; the parameter list follows from the signature.
template <class U, class... P>
DispMember<U> Method(std::u16string name, DISPID id, HRESULT (U::*fn)(P...),
                     std::vector<USHORT> flags = {}) {
  return detail::Row(std::move(name), id, DispKind::Method, fn, std::move(flags));
}
template <class U, class... P>
DispMember<U> PropGet(std::u16string name, DISPID id, HRESULT (U::*fn)(P...),
                      std::vector<USHORT> flags = {}) {
  return detail::Row(std::move(name), id, DispKind::PropGet, fn, std::move(flags));
}
template <class U, class... P>
DispMember<U> PropPut(std::u16string name, DISPID id, HRESULT (U::*fn)(P...),
                      std::vector<USHORT> flags = {}) {
  return detail::Row(std::move(name), id, DispKind::PropPut, fn, std::move(flags));
}

// IDispatch's four members for a class whose dual interface `I` is served by
// the table `Self::DispTable()` (a static function returning a
// DispatchTable<I>):
//   class Sample : public ComObject<Sample, DispatchImpl<Sample, ISample>> { ... };
// No type information is offered; Invoke refuses an interface id other than
// IID_NULL with DISP_E_UNKNOWNINTERFACE, as automation requires.
template <class Self, class I>
class DispatchImpl : public WithoutTypeInfo<I> {
 public:
  HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    return Self::DispTable().GetIDsOfNames(names, count, ids);
  }
  HRESULT Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                 EXCEPINFO* excep, UINT* argErr) override {
    if (iid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    return Self::DispTable().Invoke(static_cast<I&>(*this), id, flags, params, result, excep, argErr);
  }

 protected:
  ~DispatchImpl() = default;
};

// Fills `excep` (when given) for a failed member from this thread's error
// info, which it takes, and answers DISP_E_EXCEPTION; without `excep` the
// member's own HRESULT is returned and the error info stays in the slot.
HRESULT ReportMemberFailure(HRESULT hr, EXCEPINFO* excep, std::u16string_view source);

}  // namespace tw::com
