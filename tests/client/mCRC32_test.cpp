#include "client/mCRC32.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace tw {
namespace {

// The register update exactly as defined: one byte at a time through a table
// built bit by bit. The fast path must agree with it on every input.
uint32_t ReferenceCrc(uint32_t crc, std::string_view bytes) {
  for (unsigned char b : bytes) {
    uint32_t r = (crc ^ b) & 0xFF;
    for (int bit = 0; bit < 8; ++bit) r = (r & 1) ? (r >> 1) ^ 0xEDB88320u : r >> 1;
    crc = r ^ (crc >> 8);
  }
  return crc;
}

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

TEST(Crc32, KnownRegistersHaveNoFinalXor) {
  EXPECT_EQ(Crc32Update(kCrc32Start, ""), 0xFFFFFFFFu);  // a file of 0 bytes
  EXPECT_EQ(Crc32Update(kCrc32Start, "abc"), 0xCADBBE3Du);
  EXPECT_EQ(Crc32Update(kCrc32Start, "123456789"), ~0xCBF43926u);
  EXPECT_EQ(Crc32Update(kCrc32Start, std::string(32, '\0')), ~0x190A55ADu);
  EXPECT_EQ(Crc32Table()[0], 0u);
  EXPECT_EQ(Crc32Table()[1], 0x77073096u);
  EXPECT_EQ(Crc32Table()[255], 0x2D02EF8Du);
  for (uint32_t i = 0; i < 256; ++i)
    EXPECT_EQ(Crc32Table()[i], ReferenceCrc(0, std::string(1, static_cast<char>(i)))) << i;
}

// Every length around the eight-byte stride, at every alignment, from any
// register.
TEST(Crc32, AgreesWithTheByteAtATimeDefinitionAtEveryLengthAndAlignment) {
  const std::string data = RandomBytes(200, 1);
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t length = 0; offset + length <= 80; ++length) {
      std::string_view part(data.data() + offset, length);
      ASSERT_EQ(Crc32Update(kCrc32Start, part), ReferenceCrc(kCrc32Start, part)) << offset << "+" << length;
      ASSERT_EQ(Crc32Update(0x12345678u, part), ReferenceCrc(0x12345678u, part)) << offset << "+" << length;
    }
  }
}

// Chunks as a transfer sees them: any split gives the register of the whole.
TEST(Crc32, ChunksInAnySplitGiveTheRegisterOfTheWhole) {
  const std::string data = RandomBytes(1 << 20, 2);
  const uint32_t whole = ReferenceCrc(kCrc32Start, data);
  EXPECT_EQ(Crc32Update(kCrc32Start, data), whole);
  std::mt19937 gen(3);
  for (size_t maxChunk : {1, 7, 33, 4096, 65521}) {
    uint32_t crc = kCrc32Start;
    for (size_t at = 0; at < data.size();) {
      size_t n = std::min<size_t>(1 + gen() % maxChunk, data.size() - at);
      crc = Crc32Update(crc, data.data() + at, n);
      at += n;
    }
    EXPECT_EQ(crc, whole) << "chunks up to " << maxChunk;
  }
  std::string flipped = data;
  flipped[flipped.size() / 2] ^= 0x01;
  EXPECT_NE(Crc32Update(kCrc32Start, flipped), whole);
}

}  // namespace
}  // namespace tw
