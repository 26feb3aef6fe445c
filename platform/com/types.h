// Scalar types of the component layer, with the names and widths that the
// automation interfaces give them (LONG and ULONG are 32 bits, as on Windows,
// whatever the host's long is). VARIANT_BOOL is its own 16-bit type, so that
// dispatch tables can tell a Boolean parameter from a 16-bit integer.
#pragma once

#include <cstdint>

#include "platform/com/guid.h"

namespace tw::com {

using BYTE = uint8_t;
using CHAR = int8_t;
using SHORT = int16_t;
using USHORT = uint16_t;
using WORD = uint16_t;
using LONG = int32_t;
using ULONG = uint32_t;
using DWORD = uint32_t;
using INT = int32_t;
using UINT = uint32_t;
using BOOL = int32_t;
using LONGLONG = int64_t;
using SCODE = int32_t;
using LCID = uint32_t;
using DISPID = int32_t;
using MEMBERID = DISPID;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

// True is -1 (all bits set), False 0; anything but 0 reads as true.
enum VARIANT_BOOL : int16_t { VARIANT_FALSE = 0, VARIANT_TRUE = -1 };

constexpr VARIANT_BOOL ToVariantBool(bool b) { return b ? VARIANT_TRUE : VARIANT_FALSE; }

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

}  // namespace tw::com
