// SAFEARRAY: the automation array, one-dimensional here (the only shape the
// controls exchange: byte arrays for binary messages, images and sound).
// Elements are zero-initialised at creation; arrays of BSTR, VARIANT and
// interface pointers own their elements and free them on destruction.
//
// Ownership: SafeArrayCreate* hands the caller an array it destroys with
// SafeArrayDestroy, which refuses (DISP_E_ARRAYISLOCKED) while the array is
// locked by SafeArrayLock or SafeArrayAccessData.
#pragma once

#include "platform/com/types.h"

namespace tw::com {

using VARTYPE = uint16_t;

struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
};

// Feature bits of SAFEARRAY::fFeatures.
constexpr USHORT FADF_HAVEVARTYPE = 0x0080;
constexpr USHORT FADF_BSTR = 0x0100;
constexpr USHORT FADF_UNKNOWN = 0x0200;
constexpr USHORT FADF_DISPATCH = 0x0400;
constexpr USHORT FADF_VARIANT = 0x0800;

struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
  VARTYPE vt;  // element type (kept in the array instead of before it)
};

// A 1-D array of `elements` items of type `vt` starting at index `lowerBound`.
// Null for an unsupported type, too many elements or exhausted memory.
SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lowerBound, ULONG elements);
// Only `dims` == 1 is supported.
SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT dims, const SAFEARRAYBOUND* bounds);
HRESULT SafeArrayDestroy(SAFEARRAY* array);
HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** copy);

HRESULT SafeArrayLock(SAFEARRAY* array);
HRESULT SafeArrayUnlock(SAFEARRAY* array);
// Locks the array and hands out its data; pair with SafeArrayUnaccessData.
HRESULT SafeArrayAccessData(SAFEARRAY* array, void** data);
HRESULT SafeArrayUnaccessData(SAFEARRAY* array);

UINT SafeArrayGetDim(SAFEARRAY* array);
UINT SafeArrayGetElemsize(SAFEARRAY* array);
HRESULT SafeArrayGetVartype(SAFEARRAY* array, VARTYPE* vt);
// `dim` counts from 1. An empty array starting at 0 has bounds 0..-1.
HRESULT SafeArrayGetLBound(SAFEARRAY* array, UINT dim, LONG* bound);
HRESULT SafeArrayGetUBound(SAFEARRAY* array, UINT dim, LONG* bound);

}  // namespace tw::com
