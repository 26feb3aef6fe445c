// BSTR: the automation string. A BSTR points at UTF-16 text that is preceded
// by a 4-byte byte length and followed by a NUL unit; a null BSTR counts as
// the empty string everywhere. The Sys* functions are the only allocator, so
// a BSTR made by one module can be freed by any other in the process.
//
// Ownership: whoever receives a BSTR from SysAlloc* owns it and frees it with
// SysFreeString. Bstr is the unique owner for C++ code.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/com/types.h"

namespace tw::com {

using BSTR = OLECHAR*;

// Copies the NUL-terminated `text`; null text gives null. Null on exhaustion.
BSTR SysAllocString(const OLECHAR* text);
// `length` units from `text` (null `text`: zero-filled units), NUL added.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
// `length` bytes from `bytes` (null `bytes`: zero-filled), two NUL bytes added.
BSTR SysAllocStringByteLen(const char* bytes, UINT length);
// Replaces *target by a copy of `text`, freeing the old string. FALSE when
// out of memory (then *target is unchanged).
BOOL SysReAllocString(BSTR* target, const OLECHAR* text);
BOOL SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
UINT SysStringLen(BSTR text);      // in UTF-16 units
UINT SysStringByteLen(BSTR text);  // in bytes

// Conveniences for C++ callers.
BSTR SysAllocString(std::u16string_view text);
std::u16string_view BstrView(BSTR text);  // empty for null

// Unique owner of one BSTR.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::u16string_view text) : s_(SysAllocString(text)) {}
  static Bstr Attach(BSTR owned) {
    Bstr b;
    b.s_ = owned;
    return b;
  }
  static Bstr FromUtf8(std::string_view utf8);
  Bstr(const Bstr& other) : s_(other.s_ ? SysAllocStringLen(other.s_, other.Length()) : nullptr) {}
  Bstr(Bstr&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
  Bstr& operator=(Bstr other) noexcept {
    std::swap(s_, other.s_);
    return *this;
  }
  ~Bstr() { SysFreeString(s_); }

  BSTR Get() const { return s_; }
  BSTR Detach() { return std::exchange(s_, nullptr); }
  // Frees the current string and hands out the slot for an [out] parameter.
  BSTR* Out() {
    Reset();
    return &s_;
  }
  void Reset() { SysFreeString(std::exchange(s_, nullptr)); }
  // The slot for an [in,out] parameter: the callee may free the current
  // string and leave a new one there, which this owner then frees.
  BSTR* InOut() { return &s_; }

  UINT Length() const { return SysStringLen(s_); }
  bool Empty() const { return Length() == 0; }
  std::u16string_view View() const { return BstrView(s_); }
  std::string Utf8() const;

  friend bool operator==(const Bstr& a, const Bstr& b) { return a.View() == b.View(); }
  friend bool operator==(const Bstr& a, std::u16string_view b) { return a.View() == b; }

 private:
  BSTR s_ = nullptr;
};

}  // namespace tw::com
