// Hand-made EncodedFrames for the decoder's tests: a bit writer with the
// codec's field conventions (least significant bit first, signed values as
// magnitude then sign) and readers of the header and skip bits.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace tw::testing {

class FrameBuilder {
 public:
  FrameBuilder& Bits(uint64_t value, int n) {  // n <= 64
    for (int i = 0; i < n; ++i) {
      if (bit_ % 8 == 0) bytes_.push_back(0);
      if ((value >> i) & 1) bytes_.back() |= static_cast<uint8_t>(1 << (bit_ % 8));
      ++bit_;
    }
    return *this;
  }
  FrameBuilder& Signed(int value, int width) {
    Bits(static_cast<uint32_t>(std::abs(value)), width);
    if (value != 0) Bits(value < 0 ? 1 : 0, 1);
    return *this;
  }
  // One group at the given width (0: eight zeros).
  FrameBuilder& Group(const int (&values)[8], int width) {
    Bits(static_cast<uint32_t>(width), 3);
    if (width > 0)
      for (int v : values) Signed(v, width);
    return *this;
  }
  FrameBuilder& Header(int quality, int across, int down) {
    return Bits(static_cast<uint32_t>(quality), 3)
        .Bits(static_cast<uint32_t>(across), 8)
        .Bits(static_cast<uint32_t>(down), 8);
  }
  std::vector<uint8_t> bytes() const { return bytes_; }
  size_t bits() const { return bit_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t bit_ = 0;
};

inline uint32_t ReadBits(const uint8_t* bytes, size_t from, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v |= static_cast<uint32_t>((bytes[(from + i) / 8] >> ((from + i) % 8)) & 1) << i;
  return v;
}

}  // namespace tw::testing
