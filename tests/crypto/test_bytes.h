// Hex and random byte helpers shared by the crypto tests.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace tw::test {

inline std::string FromHex(std::string_view hex) {
  std::string out;
  auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    while (hex[i] == ' ') ++i;
    out.push_back(static_cast<char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
  }
  return out;
}

inline std::string ToHex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

inline std::string RandomBytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

}  // namespace tw::test
