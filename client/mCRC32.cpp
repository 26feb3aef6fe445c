// Slicing by eight: table k gives the effect of a byte followed by k zero
// bytes, so eight bytes fold into the register with eight independent look-ups
// instead of a chain of eight. The tables are built at compile time.
#include "client/mCRC32.h"

#include <bit>
#include <cstring>

namespace tw {

namespace {

using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables BuildTables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ kCrc32Polynomial : r >> 1;
    t[0][i] = r;
  }
  for (size_t k = 1; k < t.size(); ++k)
    for (size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  return t;
}

constexpr Tables kTables = BuildTables();

inline uint32_t Byte(uint32_t crc, uint8_t b) { return kTables[0][(crc ^ b) & 0xFF] ^ (crc >> 8); }

inline uint32_t LoadLe32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

}  // namespace

uint32_t Crc32Update(uint32_t crc, const void* data, size_t count) {
  const auto* p = static_cast<const uint8_t*>(data);
  for (; count >= 8; p += 8, count -= 8) {
    uint32_t lo = LoadLe32(p) ^ crc;
    uint32_t hi = LoadLe32(p + 4);
    crc = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
          kTables[4][lo >> 24] ^ kTables[3][hi & 0xFF] ^ kTables[2][(hi >> 8) & 0xFF] ^
          kTables[1][(hi >> 16) & 0xFF] ^ kTables[0][hi >> 24];
  }
  for (; count > 0; ++p, --count) crc = Byte(crc, *p);
  return crc;
}

const std::array<uint32_t, 256>& Crc32Table() { return kTables[0]; }

}  // namespace tw
