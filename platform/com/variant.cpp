// Variants: clearing, deep copies and the integer/Boolean/string coercions.
// A VT_BYREF source is first read into a non-owning "view" of its base type,
// so every conversion below deals with plain values only.
#include "platform/com/variant.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <string>

#include "platform/com/dispatch.h"

namespace tw::com {

namespace {

bool IsScalar(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_ERROR:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

bool IsKnown(VARTYPE vt) {
  if (vt & VT_BYREF) return true;
  if (vt & VT_ARRAY) return true;
  return IsScalar(vt) || vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH;
}

// Reads a VT_BYREF variant into a non-owning variant of its base type.
// Returns false for a null reference or an unknown type.
bool Dereference(const VARIANT& src, VARIANT& view) {
  const VARIANT* s = &src;
  // A reference to a variant may itself hold a reference; follow a few.
  for (int depth = 0; (s->vt & VT_BYREF) && (s->vt & ~VT_BYREF) == VT_VARIANT; ++depth) {
    if (!s->pvarVal || depth > 8) return false;
    s = s->pvarVal;
  }
  if (!(s->vt & VT_BYREF)) {
    view = *s;
    return true;
  }
  if (!s->byref) return false;
  VariantInit(&view);
  VARTYPE base = static_cast<VARTYPE>(s->vt & ~VT_BYREF);
  view.vt = base;
  if (base & VT_ARRAY) {
    view.parray = *s->pparray;
    return true;
  }
  switch (base) {
    case VT_I1: view.cVal = *s->pcVal; break;
    case VT_UI1: view.bVal = *s->pbVal; break;
    case VT_I2: view.iVal = *s->piVal; break;
    case VT_UI2: view.uiVal = *s->puiVal; break;
    case VT_I4: view.lVal = *s->plVal; break;
    case VT_UI4: view.ulVal = *s->pulVal; break;
    case VT_INT: view.intVal = *s->pintVal; break;
    case VT_UINT: view.uintVal = *s->puintVal; break;
    case VT_BOOL: view.boolVal = *s->pboolVal; break;
    case VT_ERROR: view.scode = *s->pscode; break;
    case VT_BSTR: view.bstrVal = *s->pbstrVal; break;
    case VT_UNKNOWN: view.punkVal = *s->ppunkVal; break;
    case VT_DISPATCH: view.pdispVal = *s->ppdispVal; break;
    default: return false;
  }
  return true;
}

struct Range {
  int64_t min, max;
};

// Range of an integer target type; nullopt for non-integers.
std::optional<Range> IntegerRange(VARTYPE vt) {
  switch (vt) {
    case VT_I1: return Range{-128, 127};
    case VT_UI1: return Range{0, 255};
    case VT_I2: return Range{-32768, 32767};
    case VT_UI2: return Range{0, 65535};
    case VT_I4:
    case VT_INT: return Range{std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};
    case VT_UI4:
    case VT_UINT: return Range{0, std::numeric_limits<uint32_t>::max()};
    default: return std::nullopt;
  }
}

void StoreInteger(VARIANT& v, VARTYPE vt, int64_t x) {
  VariantInit(&v);
  v.vt = vt;
  switch (vt) {
    case VT_I1: v.cVal = static_cast<CHAR>(x); break;
    case VT_UI1: v.bVal = static_cast<BYTE>(x); break;
    case VT_I2: v.iVal = static_cast<SHORT>(x); break;
    case VT_UI2: v.uiVal = static_cast<USHORT>(x); break;
    case VT_I4: v.lVal = static_cast<LONG>(x); break;
    case VT_INT: v.intVal = static_cast<INT>(x); break;
    case VT_UI4: v.ulVal = static_cast<ULONG>(x); break;
    case VT_UINT: v.uintVal = static_cast<UINT>(x); break;
    default: break;
  }
}

std::u16string_view Trim(std::u16string_view s) {
  auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// A decimal integer with an optional sign and surrounding blanks.
HRESULT ParseInteger(BSTR text, int64_t& out) {
  std::u16string_view s = Trim(BstrView(text));
  std::string ascii;
  for (char16_t c : s) {
    if (c > 0x7F) return DISP_E_TYPEMISMATCH;
    ascii.push_back(static_cast<char>(c));
  }
  const char* first = ascii.data();
  const char* last = first + ascii.size();
  if (first != last && *first == '+') ++first;
  if (first == last) return DISP_E_TYPEMISMATCH;
  auto [end, ec] = std::from_chars(first, last, out);
  if (ec == std::errc::result_out_of_range) return DISP_E_OVERFLOW;
  if (ec != std::errc{} || end != last) return DISP_E_TYPEMISMATCH;
  return S_OK;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// The integer value of a plain scalar or string; Booleans read as -1/0.
HRESULT IntegerOf(const VARIANT& v, int64_t& out) {
  switch (v.vt) {
    case VT_EMPTY: out = 0; return S_OK;
    case VT_I1: out = v.cVal; return S_OK;
    case VT_UI1: out = v.bVal; return S_OK;
    case VT_I2: out = v.iVal; return S_OK;
    case VT_UI2: out = v.uiVal; return S_OK;
    case VT_I4: out = v.lVal; return S_OK;
    case VT_INT: out = v.intVal; return S_OK;
    case VT_UI4: out = v.ulVal; return S_OK;
    case VT_UINT: out = v.uintVal; return S_OK;
    case VT_BOOL: out = v.boolVal ? -1 : 0; return S_OK;
    case VT_BSTR: return ParseInteger(v.bstrVal, out);
    default: return DISP_E_TYPEMISMATCH;
  }
}

HRESULT ToBoolean(const VARIANT& v, VARIANT& out) {
  bool value;
  if (v.vt == VT_BSTR) {
    std::u16string_view s = Trim(BstrView(v.bstrVal));
    if (EqualsNoCase(s, u"true")) {
      value = true;
    } else if (EqualsNoCase(s, u"false")) {
      value = false;
    } else {
      int64_t x = 0;
      HRESULT hr = ParseInteger(v.bstrVal, x);
      if (hr == DISP_E_OVERFLOW) {
        value = true;  // too large for any integer, so certainly not zero
      } else if (FAILED(hr)) {
        return hr;
      } else {
        value = x != 0;
      }
    }
  } else {
    int64_t x;
    HRESULT hr = IntegerOf(v, x);
    if (FAILED(hr)) return hr;
    value = x != 0;
  }
  VariantInit(&out);
  out.vt = VT_BOOL;
  out.boolVal = ToVariantBool(value);
  return S_OK;
}

HRESULT ToString(const VARIANT& v, USHORT flags, VARIANT& out) {
  std::string text;
  if (v.vt == VT_BOOL && (flags & VARIANT_ALPHABOOL)) {
    text = v.boolVal ? "True" : "False";
  } else if (v.vt != VT_EMPTY) {
    int64_t x;
    HRESULT hr = IntegerOf(v, x);
    if (FAILED(hr)) return hr;
    text = std::to_string(x);
  }
  std::u16string wide(text.begin(), text.end());
  BSTR b = SysAllocString(wide);
  if (!b) return E_OUTOFMEMORY;
  VariantInit(&out);
  out.vt = VT_BSTR;
  out.bstrVal = b;
  return S_OK;
}

HRESULT ToInterface(const VARIANT& v, VARTYPE vt, VARIANT& out) {
  if (v.vt != VT_UNKNOWN && v.vt != VT_DISPATCH) return DISP_E_TYPEMISMATCH;
  IUnknown* from = v.vt == VT_UNKNOWN ? v.punkVal : v.pdispVal;
  VariantInit(&out);
  out.vt = vt;
  if (!from) return S_OK;  // a null reference stays null
  void* p = nullptr;
  HRESULT hr = from->QueryInterface(vt == VT_UNKNOWN ? IID_IUnknown : IID_IDispatch, &p);
  if (FAILED(hr)) {
    VariantInit(&out);
    return DISP_E_TYPEMISMATCH;
  }
  if (vt == VT_UNKNOWN) {
    out.punkVal = static_cast<IUnknown*>(p);
  } else {
    out.pdispVal = static_cast<IDispatch*>(p);
  }
  return S_OK;
}

// Converts the plain value `v` into a new owned value of type `vt`.
HRESULT Convert(const VARIANT& v, USHORT flags, VARTYPE vt, VARIANT& out) {
  if (v.vt == vt) {
    VariantInit(&out);
    return VariantCopy(&out, &v);
  }
  if (v.vt == VT_NULL || (v.vt & VT_ARRAY) || (vt & VT_ARRAY)) return DISP_E_TYPEMISMATCH;
  if (vt == VT_EMPTY) {
    VariantInit(&out);
    return S_OK;
  }
  if (auto range = IntegerRange(vt)) {
    int64_t x;
    HRESULT hr = IntegerOf(v, x);
    if (FAILED(hr)) return hr;
    if (x < range->min || x > range->max) return DISP_E_OVERFLOW;
    StoreInteger(out, vt, x);
    return S_OK;
  }
  switch (vt) {
    case VT_BOOL: return ToBoolean(v, out);
    case VT_BSTR: return ToString(v, flags, out);
    case VT_UNKNOWN:
    case VT_DISPATCH: return ToInterface(v, vt, out);
    case VT_NULL:
    case VT_ERROR: return DISP_E_TYPEMISMATCH;
    default: return DISP_E_BADVARTYPE;
  }
}

}  // namespace

void VariantInit(VARIANT* v) {
  if (!v) return;
  std::memset(v, 0, sizeof *v);
  v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANT* v) {
  if (!v) return E_INVALIDARG;
  if (!IsKnown(v->vt)) return DISP_E_BADVARTYPE;
  if (!(v->vt & VT_BYREF)) {
    if (v->vt & VT_ARRAY) {
      HRESULT hr = SafeArrayDestroy(v->parray);
      if (FAILED(hr)) return hr;
    } else if (v->vt == VT_BSTR) {
      SysFreeString(v->bstrVal);
    } else if (v->vt == VT_UNKNOWN) {
      if (v->punkVal) v->punkVal->Release();
    } else if (v->vt == VT_DISPATCH) {
      if (v->pdispVal) v->pdispVal->Release();
    }
  }
  VariantInit(v);
  return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_INVALIDARG;
  if (dest == src) return S_OK;
  if (!IsKnown(src->vt)) return DISP_E_BADVARTYPE;
  VARIANT copy = *src;
  if (!(src->vt & VT_BYREF)) {
    if (src->vt & VT_ARRAY) {
      HRESULT hr = SafeArrayCopy(src->parray, &copy.parray);
      if (FAILED(hr)) return hr;
    } else if (src->vt == VT_BSTR && src->bstrVal) {
      copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
      if (!copy.bstrVal) return E_OUTOFMEMORY;
    } else if (src->vt == VT_UNKNOWN && src->punkVal) {
      src->punkVal->AddRef();
    } else if (src->vt == VT_DISPATCH && src->pdispVal) {
      src->pdispVal->AddRef();
    }
  }
  HRESULT hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&copy);
    return hr;
  }
  *dest = copy;
  return S_OK;
}

HRESULT VariantCopyInd(VARIANT* dest, const VARIANT* src) {
  if (!dest || !src) return E_INVALIDARG;
  VARIANT view;
  if (!Dereference(*src, view)) return E_INVALIDARG;
  if (dest == src) {
    VARIANT copy;
    VariantInit(&copy);
    HRESULT hr = VariantCopy(&copy, &view);
    if (FAILED(hr)) return hr;
    VariantClear(dest);
    *dest = copy;
    return S_OK;
  }
  return VariantCopy(dest, &view);
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT flags, VARTYPE vt) {
  if (!dest || !src) return E_INVALIDARG;
  if (vt & VT_BYREF) return DISP_E_BADVARTYPE;
  VARIANT view;
  if (!Dereference(*src, view)) return DISP_E_TYPEMISMATCH;
  if (!IsKnown(view.vt)) return DISP_E_BADVARTYPE;
  VARIANT result;
  VariantInit(&result);
  HRESULT hr = Convert(view, flags, vt, result);
  if (FAILED(hr)) return hr;
  // Only now may `dest` (possibly `src` itself) be cleared.
  hr = VariantClear(dest);
  if (FAILED(hr)) {
    VariantClear(&result);
    return hr;
  }
  *dest = result;
  return S_OK;
}

Variant::Variant(IDispatch* d) : Variant() {
  vt = VT_DISPATCH;
  pdispVal = d;
  if (d) d->AddRef();
}

Variant::Variant(IUnknown* u) : Variant() {
  vt = VT_UNKNOWN;
  punkVal = u;
  if (u) u->AddRef();
}

std::optional<int32_t> Variant::ToInt() const {
  Variant r;
  if (FAILED(VariantChangeType(&r, this, 0, VT_I4))) return std::nullopt;
  return r.lVal;
}

std::optional<bool> Variant::ToBool() const {
  Variant r;
  if (FAILED(VariantChangeType(&r, this, 0, VT_BOOL))) return std::nullopt;
  return r.boolVal != VARIANT_FALSE;
}

std::optional<std::u16string> Variant::ToString() const {
  Variant r;
  if (FAILED(VariantChangeType(&r, this, 0, VT_BSTR))) return std::nullopt;
  return std::u16string(BstrView(r.bstrVal));
}

HRESULT VariantFromBytes(std::span<const uint8_t> bytes, VARIANT* out) {
  if (!out) return E_POINTER;
  VariantInit(out);
  if (bytes.size() > std::numeric_limits<ULONG>::max()) return E_INVALIDARG;
  SAFEARRAY* a = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
  if (!a) return E_OUTOFMEMORY;
  if (!bytes.empty()) std::memcpy(a->pvData, bytes.data(), bytes.size());
  out->vt = VT_ARRAY | VT_UI1;
  out->parray = a;
  return S_OK;
}

std::optional<std::vector<uint8_t>> BytesFromVariant(const VARIANT& v) {
  VARIANT view;
  if (!Dereference(v, view)) return std::nullopt;
  if (view.vt != (VT_ARRAY | VT_UI1) && view.vt != (VT_ARRAY | VT_I1)) return std::nullopt;
  SAFEARRAY* a = view.parray;
  if (!a || a->cDims != 1 || a->cbElements != 1) return std::nullopt;
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(a, &data))) return std::nullopt;
  const auto* p = static_cast<const uint8_t*>(data);
  std::vector<uint8_t> bytes(p, p + a->rgsabound[0].cElements);
  SafeArrayUnaccessData(a);
  return bytes;
}

}  // namespace tw::com
