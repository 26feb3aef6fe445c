// IDispatch, the automation interface, with the structures an Invoke call
// carries. Arguments in DISPPARAMS are in reverse order (rgvarg[0] is the
// last argument); named arguments come first, and a property put names its
// value DISPID_PROPERTYPUT.
//
// Ownership: the caller owns DISPPARAMS and its variants; the callee owns
// nothing it is given, writes [out] values through VT_BYREF arguments, and
// hands the caller *result and the BSTRs of EXCEPINFO, which the caller frees
// (ClearExcepInfo).
#pragma once

#include "platform/com/unknown.h"
#include "platform/com/variant.h"

namespace tw::com {

class ITypeInfo;  // type information is not offered: GetTypeInfo answers E_NOTIMPL

struct DISPPARAMS {
  VARIANTARG* rgvarg;
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
};

struct EXCEPINFO {
  WORD wCode;
  WORD wReserved;
  BSTR bstrSource;
  BSTR bstrDescription;
  BSTR bstrHelpFile;
  DWORD dwHelpContext;
  void* pvReserved;
  HRESULT (*pfnDeferredFillIn)(EXCEPINFO*);
  SCODE scode;
};

// Frees the strings of `e` and zeroes it.
void ClearExcepInfo(EXCEPINFO* e);

// Invoke flags.
constexpr WORD DISPATCH_METHOD = 0x1;
constexpr WORD DISPATCH_PROPERTYGET = 0x2;
constexpr WORD DISPATCH_PROPERTYPUT = 0x4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 0x8;

// Reserved DISPIDs.
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_PROPERTYPUT = -3;
constexpr DISPID DISPID_ABOUTBOX = -552;
constexpr DISPID DISPID_AMBIENT_USERMODE = -709;

constexpr LCID LOCALE_USER_DEFAULT = 0x0400;

class IDispatch : public IUnknown {
 public:
  static constexpr IID kIid{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  using Base = IUnknown;

  virtual HRESULT GetTypeInfoCount(UINT* count) = 0;
  virtual HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) = 0;
  virtual HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) = 0;
  virtual HRESULT Invoke(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params,
                         VARIANT* result, EXCEPINFO* excep, UINT* argErr) = 0;

 protected:
  ~IDispatch() = default;
};

// The dispatch interface `I` (IDispatch or one derived from it) with the two
// type-information members answered as every dispatch object of this layer
// answers them: no type information (a count of 0, GetTypeInfo E_NOTIMPL).
// Use it in place of `I` in the interface list:
//   class Sink : public ComObject<Sink, WithoutTypeInfo<IDispatch>> { ... };
template <class I>
class WithoutTypeInfo : public I {
 public:
  HRESULT GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }

 protected:
  ~WithoutTypeInfo() = default;
};

inline constexpr IID IID_IDispatch = IDispatch::kIid;
inline constexpr IID IID_NULL = GUID_NULL;

}  // namespace tw::com
