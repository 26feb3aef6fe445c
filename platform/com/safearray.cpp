// One-dimensional arrays: the SAFEARRAY header and its data are two
// allocations (the data zero-filled), so copies and empty arrays need no
// special layout. Elements of owning types are freed one by one on destroy.
#include "platform/com/safearray.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "platform/com/variant.h"

namespace tw::com {

namespace {

// Size of one element, 0 for types an array cannot hold.
ULONG ElementSize(VARTYPE vt) {
  switch (vt) {
    case VT_I1:
    case VT_UI1:
      return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
      return 4;
    case VT_BSTR:
      return sizeof(BSTR);
    case VT_UNKNOWN:
    case VT_DISPATCH:
      return sizeof(IUnknown*);
    case VT_VARIANT:
      return sizeof(VARIANT);
    default:
      return 0;
  }
}

USHORT FeaturesOf(VARTYPE vt) {
  switch (vt) {
    case VT_BSTR:
      return FADF_HAVEVARTYPE | FADF_BSTR;
    case VT_UNKNOWN:
      return FADF_HAVEVARTYPE | FADF_UNKNOWN;
    case VT_DISPATCH:
      return FADF_HAVEVARTYPE | FADF_DISPATCH;
    case VT_VARIANT:
      return FADF_HAVEVARTYPE | FADF_VARIANT;
    default:
      return FADF_HAVEVARTYPE;
  }
}

ULONG Count(const SAFEARRAY* a) { return a->rgsabound[0].cElements; }

// Frees the elements that the array owns, leaving the data zeroed.
HRESULT ClearElements(SAFEARRAY* a) {
  if (!a->pvData) return S_OK;
  ULONG n = Count(a);
  switch (a->vt) {
    case VT_BSTR: {
      auto* items = static_cast<BSTR*>(a->pvData);
      for (ULONG i = 0; i < n; ++i) SysFreeString(std::exchange(items[i], nullptr));
      break;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      auto* items = static_cast<IUnknown**>(a->pvData);
      for (ULONG i = 0; i < n; ++i) {
        if (IUnknown* u = std::exchange(items[i], nullptr)) u->Release();
      }
      break;
    }
    case VT_VARIANT: {
      auto* items = static_cast<VARIANT*>(a->pvData);
      for (ULONG i = 0; i < n; ++i) {
        HRESULT hr = VariantClear(&items[i]);
        if (FAILED(hr)) return hr;
      }
      break;
    }
    default:
      break;
  }
  return S_OK;
}

}  // namespace

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements) {
  ULONG size = ElementSize(vt);
  if (size == 0) return nullptr;
  // The upper bound lowerBound + elements - 1 must be a LONG, and the data
  // size must not overflow.
  if (int64_t{lowerBound} + int64_t{elements} - 1 > std::numeric_limits<LONG>::max()) return nullptr;
  if (elements > std::numeric_limits<size_t>::max() / size) return nullptr;
  auto* a = static_cast<SAFEARRAY*>(std::calloc(1, sizeof(SAFEARRAY)));
  if (!a) return nullptr;
  a->cDims = 1;
  a->fFeatures = FeaturesOf(vt);
  a->cbElements = size;
  a->rgsabound[0] = {elements, lowerBound};
  a->vt = vt;
  if (elements > 0) {
    a->pvData = std::calloc(elements, size);
    if (!a->pvData) {
      std::free(a);
      return nullptr;
    }
  }
  return a;
}

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds) {
  if (dims != 1 || !bounds) return nullptr;
  return SafeArrayCreateVector(vt, bounds[0].lLbound, bounds[0].cElements);
}

HRESULT SafeArrayDestroy(SAFEARRAY* a) {
  if (!a) return S_OK;
  if (a->cLocks > 0) return DISP_E_ARRAYISLOCKED;
  HRESULT hr = ClearElements(a);
  if (FAILED(hr)) return hr;
  std::free(a->pvData);
  std::free(a);
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* a, SAFEARRAY** copy) {
  if (!copy) return E_POINTER;
  *copy = nullptr;
  if (!a) return S_OK;
  if (a->cDims != 1) return E_INVALIDARG;
  SAFEARRAY* c = SafeArrayCreateVector(a->vt, a->rgsabound[0].lLbound, Count(a));
  if (!c) return E_OUTOFMEMORY;
  ULONG n = Count(a);
  switch (a->vt) {
    case VT_BSTR: {
      auto* from = static_cast<BSTR*>(a->pvData);
      auto* to = static_cast<BSTR*>(c->pvData);
      for (ULONG i = 0; i < n; ++i) {
        if (!from[i]) continue;
        to[i] = SysAllocStringLen(from[i], SysStringLen(from[i]));
        if (!to[i]) {
          SafeArrayDestroy(c);
          return E_OUTOFMEMORY;
        }
      }
      break;
    }
    case VT_UNKNOWN:
    case VT_DISPATCH: {
      auto* from = static_cast<IUnknown**>(a->pvData);
      auto* to = static_cast<IUnknown**>(c->pvData);
      for (ULONG i = 0; i < n; ++i) {
        to[i] = from[i];
        if (to[i]) to[i]->AddRef();
      }
      break;
    }
    case VT_VARIANT: {
      auto* from = static_cast<VARIANT*>(a->pvData);
      auto* to = static_cast<VARIANT*>(c->pvData);
      for (ULONG i = 0; i < n; ++i) {
        HRESULT hr = VariantCopy(&to[i], &from[i]);
        if (FAILED(hr)) {
          SafeArrayDestroy(c);
          return hr;
        }
      }
      break;
    }
    default:
      if (n > 0) std::memcpy(c->pvData, a->pvData, size_t{n} * a->cbElements);
      break;
  }
  *copy = c;
  return S_OK;
}

HRESULT SafeArrayLock(SAFEARRAY* a) {
  if (!a) return E_INVALIDARG;
  if (a->cLocks == std::numeric_limits<ULONG>::max()) return E_UNEXPECTED;
  ++a->cLocks;
  return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* a) {
  if (!a) return E_INVALIDARG;
  if (a->cLocks == 0) return E_UNEXPECTED;
  --a->cLocks;
  return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* a, void** data) {
  if (!data) return E_INVALIDARG;
  *data = nullptr;
  HRESULT hr = SafeArrayLock(a);
  if (FAILED(hr)) return hr;
  *data = a->pvData;
  return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* a) { return SafeArrayUnlock(a); }

UINT SafeArrayGetDim(SAFEARRAY* a) { return a ? a->cDims : 0; }

UINT SafeArrayGetElemsize(SAFEARRAY* a) { return a ? a->cbElements : 0; }

HRESULT SafeArrayGetVartype(SAFEARRAY* a, VARTYPE* vt) {
  if (!a || !vt) return E_INVALIDARG;
  *vt = a->vt;
  return S_OK;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* a, UINT dim, LONG* bound) {
  if (!a || !bound) return E_INVALIDARG;
  if (dim < 1 || dim > a->cDims) return DISP_E_BADINDEX;
  *bound = a->rgsabound[0].lLbound;
  return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* a, UINT dim, LONG* bound) {
  if (!a || !bound) return E_INVALIDARG;
  if (dim < 1 || dim > a->cDims) return DISP_E_BADINDEX;
  // Creation guarantees that this fits a LONG.
  *bound = static_cast<LONG>(int64_t{a->rgsabound[0].lLbound} + Count(a) - 1);
  return S_OK;
}

}  // namespace tw::com
