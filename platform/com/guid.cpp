#include "platform/com/guid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tw::com {

HRESULT CoCreateGuid(GUID* out) {
  if (!out) return E_POINTER;
  uint8_t bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      *out = GUID{};
      return E_FAIL;
    }
    got += static_cast<size_t>(n);
  }
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  GUID g;
  std::memcpy(&g.Data1, bytes, 4);
  std::memcpy(&g.Data2, bytes + 4, 2);
  std::memcpy(&g.Data3, bytes + 6, 2);
  std::memcpy(g.Data4, bytes + 8, 8);
  // Data3's version nibble sits in its high byte when read as a number.
  g.Data3 = static_cast<uint16_t>((g.Data3 & 0x0FFF) | 0x4000);
  *out = g;
  return S_OK;
}

std::string GuidToString(const GUID& g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::optional<GUID> GuidFromString(std::string_view t) {
  if (t.size() == 38 && t.front() == '{' && t.back() == '}') t = t.substr(1, 36);
  if (t.size() != 36 || t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return std::nullopt;
  auto hex = [&](size_t pos, size_t len, uint64_t& v) {
    v = 0;
    for (size_t i = pos; i < pos + len; ++i) {
      char c = t[i];
      int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      v = v * 16 + static_cast<uint64_t>(d);
    }
    return true;
  };
  GUID g{};
  uint64_t v;
  if (!hex(0, 8, v)) return std::nullopt;
  g.Data1 = static_cast<uint32_t>(v);
  if (!hex(9, 4, v)) return std::nullopt;
  g.Data2 = static_cast<uint16_t>(v);
  if (!hex(14, 4, v)) return std::nullopt;
  g.Data3 = static_cast<uint16_t>(v);
  static constexpr size_t kPos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (int i = 0; i < 8; ++i) {
    if (!hex(kPos[i], 2, v)) return std::nullopt;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  return g;
}

}  // namespace tw::com
