// BSTRs live in one malloc block: [uint32 byte length][text][NUL unit]; the
// handed-out pointer is the text, 4 bytes into the block.
#include "platform/com/bstr.h"

#include <cstdlib>
#include <cstring>
#include <limits>

#include "platform/win32/text.h"

namespace tw::com {

namespace {

constexpr size_t kPrefix = sizeof(uint32_t);
// The byte length must fit the 32-bit prefix with room for the terminator.
constexpr size_t kMaxBytes = std::numeric_limits<uint32_t>::max() - kPrefix - 2 * sizeof(OLECHAR);

char* BlockOf(BSTR s) { return reinterpret_cast<char*>(s) - kPrefix; }

BSTR AllocBytes(const void* bytes, size_t byteLen) {
  if (byteLen > kMaxBytes) return nullptr;
  // Two NUL bytes after the text, plus one more unit of padding when the byte
  // length is odd so that the text stays NUL-terminated as UTF-16.
  size_t total = kPrefix + byteLen + 2 + (byteLen & 1);
  char* block = static_cast<char*>(std::malloc(total));
  if (!block) return nullptr;
  uint32_t len32 = static_cast<uint32_t>(byteLen);
  std::memcpy(block, &len32, kPrefix);
  if (bytes) {
    std::memcpy(block + kPrefix, bytes, byteLen);
  } else {
    std::memset(block + kPrefix, 0, byteLen);
  }
  std::memset(block + kPrefix + byteLen, 0, total - kPrefix - byteLen);
  return reinterpret_cast<BSTR>(block + kPrefix);
}

size_t UnitsOf(const OLECHAR* text) {
  size_t n = 0;
  while (text[n]) ++n;
  return n;
}

}  // namespace

BSTR SysAllocString(const OLECHAR* text) {
  if (!text) return nullptr;
  return AllocBytes(text, UnitsOf(text) * sizeof(OLECHAR));
}

BSTR SysAllocString(std::u16string_view text) {
  if (text.size() > kMaxBytes / sizeof(OLECHAR)) return nullptr;
  return AllocBytes(text.data(), text.size() * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  return AllocBytes(text, size_t{length} * sizeof(OLECHAR));
}

BSTR SysAllocStringByteLen(const char* bytes, UINT length) { return AllocBytes(bytes, length); }

BOOL SysReAllocStringLen(BSTR* target, const OLECHAR* text, UINT length) {
  if (!target) return FALSE;
  BSTR fresh = SysAllocStringLen(text, length);
  if (!fresh) return FALSE;
  SysFreeString(*target);
  *target = fresh;
  return TRUE;
}

BOOL SysReAllocString(BSTR* target, const OLECHAR* text) {
  if (!target) return FALSE;
  if (!text) {
    SysFreeString(*target);
    *target = nullptr;
    return TRUE;
  }
  return SysReAllocStringLen(target, text, static_cast<UINT>(UnitsOf(text)));
}

void SysFreeString(BSTR text) {
  if (text) std::free(BlockOf(text));
}

UINT SysStringByteLen(BSTR text) {
  if (!text) return 0;
  uint32_t len;
  std::memcpy(&len, BlockOf(text), kPrefix);
  return len;
}

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }

std::u16string_view BstrView(BSTR text) {
  if (!text) return {};
  return {text, SysStringLen(text)};
}

Bstr Bstr::FromUtf8(std::string_view utf8) { return Bstr(win32::Utf8ToUtf16(utf8)); }

std::string Bstr::Utf8() const { return win32::Utf16ToUtf8(View()); }

}  // namespace tw::com
