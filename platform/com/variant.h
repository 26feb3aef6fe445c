// VARIANT: the tagged value that automation calls carry (vt + union). The
// variant owns what it holds (a BSTR, an interface reference, an array)
// unless VT_BYREF is set, in which case it only points at the caller's value.
//
// VariantClear frees the held value; VariantCopy makes a deep copy (BSTRs and
// arrays duplicated, interfaces AddRef'd); VariantChangeType coerces between
// the integer, Boolean and string types. Variant is the clearing C++ holder.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "platform/com/bstr.h"
#include "platform/com/safearray.h"
#include "platform/com/unknown.h"

namespace tw::com {

class IDispatch;

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_INT = 22,
  VT_UINT = 23,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0FFF,
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    SAFEARRAY* parray;
    CHAR cVal;
    USHORT uiVal;
    ULONG ulVal;
    INT intVal;
    UINT uintVal;
    BYTE* pbVal;
    SHORT* piVal;
    LONG* plVal;
    VARIANT_BOOL* pboolVal;
    SCODE* pscode;
    BSTR* pbstrVal;
    IUnknown** ppunkVal;
    IDispatch** ppdispVal;
    SAFEARRAY** pparray;
    VARIANT* pvarVal;
    void* byref;
    CHAR* pcVal;
    USHORT* puiVal;
    ULONG* pulVal;
    INT* pintVal;
    UINT* puintVal;
  };
};
using VARIANTARG = VARIANT;

// Flags of VariantChangeType.
constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
constexpr USHORT VARIANT_ALPHABOOL = 0x02;  // Booleans become "True"/"False", not "-1"/"0"

void VariantInit(VARIANT* v);
// Frees the held value and leaves VT_EMPTY. DISP_E_ARRAYISLOCKED for a
// locked array (the variant is then unchanged), DISP_E_BADVARTYPE for a type
// this layer does not know.
HRESULT VariantClear(VARIANT* v);
// Clears `dest`, then deep-copies `src` into it (VT_BYREF values are copied as
// pointers).
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// Like VariantCopy, but a VT_BYREF source is dereferenced into an owned value.
HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src);
// Coerces `src` (dereferenced when VT_BYREF) to `vt` into `dest`; `dest` may
// be `src`. Integers, Booleans (-1/0) and decimal BSTRs convert among each
// other; a value outside the target's range gives DISP_E_OVERFLOW, an
// impossible conversion DISP_E_TYPEMISMATCH. On failure `dest` is unchanged.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt);

// A variant that clears itself. Constructors make the common owned values.
class Variant : public VARIANT {
 public:
  Variant() { VariantInit(this); }
  Variant(int32_t v) : Variant() { Set(VT_I4).lVal = v; }
  Variant(bool v) : Variant() { Set(VT_BOOL).boolVal = ToVariantBool(v); }
  // Without this a VARIANT_BOOL would promote to int and become VT_I4.
  Variant(VARIANT_BOOL v) : Variant() { Set(VT_BOOL).boolVal = v; }
  Variant(std::u16string_view s) : Variant() { Set(VT_BSTR).bstrVal = SysAllocString(s); }
  Variant(const char16_t* s) : Variant(std::u16string_view(s)) {}
  explicit Variant(IDispatch* d);
  explicit Variant(IUnknown* u);
  Variant(const VARIANT& other) : Variant() { VariantCopy(this, &other); }
  Variant(const Variant& other) : Variant() { VariantCopy(this, &other); }
  Variant(Variant&& other) noexcept : VARIANT(other) { VariantInit(&other); }
  Variant& operator=(Variant other) noexcept {
    std::swap(static_cast<VARIANT&>(*this), static_cast<VARIANT&>(other));
    return *this;
  }
  ~Variant() { VariantClear(this); }

  // Takes over `owned` (which is left VT_EMPTY).
  static Variant Attach(VARIANT& owned) {
    Variant v;
    static_cast<VARIANT&>(v) = owned;
    VariantInit(&owned);
    return v;
  }
  VARIANT Detach() {
    VARIANT v = *this;
    VariantInit(this);
    return v;
  }
  // Clears and hands out the variant for an [out] VARIANT* parameter.
  VARIANT* Out() {
    VariantClear(this);
    return this;
  }

  // Coerced reads; nullopt when the value does not convert.
  std::optional<int32_t> ToInt() const;
  std::optional<bool> ToBool() const;
  std::optional<std::u16string> ToString() const;

 private:
  VARIANT& Set(VARTYPE t) {
    vt = t;
    return *this;
  }
};

// A new VT_ARRAY|VT_UI1 variant, lower bound 0, one element per byte.
// Returns E_OUTOFMEMORY (and leaves `out` VT_EMPTY) when allocation fails.
HRESULT VariantFromBytes(std::span<const uint8_t> bytes, VARIANT* out);
// The bytes of a one-dimensional VT_UI1 (or VT_I1) array variant, also when it
// is passed by reference or wrapped in a VT_BYREF|VT_VARIANT; nullopt for any
// other value.
std::optional<std::vector<uint8_t>> BytesFromVariant(const VARIANT& v);

}  // namespace tw::com
