// CRC-32 of file transfers: the reflected polynomial 0xEDB88320, a register
// that starts at 0xFFFFFFFF, and no final XOR. The register itself is what
// both sides compare, so "abc" ends at 0xCADBBE3D (the complement of the
// usual CRC-32 value). Updates run over chunks in any split: feeding "ab" then
// "c" gives the register of "abc".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tw {

inline constexpr uint32_t kCrc32Polynomial = 0xEDB88320u;
inline constexpr uint32_t kCrc32Start = 0xFFFFFFFFu;

// The register after `count` more bytes.
uint32_t Crc32Update(uint32_t crc, const void* data, size_t count);
inline uint32_t Crc32Update(uint32_t crc, std::string_view bytes) {
  return Crc32Update(crc, bytes.data(), bytes.size());
}

// The 256-entry byte table: entry i is i shifted right eight times, XORing
// the polynomial after each shift that dropped a 1.
const std::array<uint32_t, 256>& Crc32Table();

}  // namespace tw
