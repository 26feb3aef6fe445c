// Encoding works on whole 3-byte groups and pads the last one; decoding uses
// a 256-entry value table so that every byte, 0x80 and above included, maps
// to a value without a signed index.
#include "crypto/mBase64.h"

#include <array>
#include <cstdint>

namespace tw {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr unsigned kForeignValue = 61;

constexpr std::array<uint8_t, 256> BuildValueTable() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = kForeignValue;
  for (unsigned i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<uint8_t>(i);
  return t;
}

constexpr std::array<uint8_t, 256> kValues = BuildValueTable();

}  // namespace

unsigned Base64CharValue(char c) { return kValues[static_cast<unsigned char>(c)]; }

std::string Base64Encode(std::string_view bytes) {
  const size_t n = bytes.size();
  if (n == 0) return {};
  std::string out((n + 2) / 3 * 4, '=');
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t o = 0;
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = uint32_t(p[i]) << 16 | uint32_t(p[i + 1]) << 8 | p[i + 2];
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = kAlphabet[(v >> 6) & 63];
    out[o++] = kAlphabet[v & 63];
  }
  const size_t rest = n - i;  // 0, 1 or 2 bytes left; the pad "=" are already in place
  if (rest > 0) {
    const uint32_t v = uint32_t(p[i]) << 16 | (rest == 2 ? uint32_t(p[i + 1]) << 8 : 0u);
    out[o++] = kAlphabet[v >> 18];
    out[o++] = kAlphabet[(v >> 12) & 63];
    if (rest == 2) out[o] = kAlphabet[(v >> 6) & 63];
  }
  return out;
}

std::string Base64Decode(std::string_view text) {
  const size_t n = text.size();
  if (n < 4 || n % 4 != 0) return {};
  size_t pads = 0;
  while (pads < n && text[n - 1 - pads] == '=') ++pads;
  std::string out(n / 4 * 3, '\0');
  size_t o = 0;
  for (size_t i = 0; i < n; i += 4) {
    const uint32_t a = Base64CharValue(text[i]);
    const uint32_t b = Base64CharValue(text[i + 1]);
    const uint32_t c = Base64CharValue(text[i + 2]);
    const uint32_t d = Base64CharValue(text[i + 3]);
    out[o++] = static_cast<char>((a << 2 | b >> 4) & 0xFF);
    out[o++] = static_cast<char>((b << 4 | c >> 2) & 0xFF);
    out[o++] = static_cast<char>((c << 6 | d) & 0xFF);
  }
  out.resize(pads >= out.size() ? 0 : out.size() - pads);
  return out;
}

}  // namespace tw
