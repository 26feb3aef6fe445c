// The codec's constant tables and their derived values.
#include "video/mGlobal.h"

#include <cmath>
#include <numbers>

namespace tw {

const int16_t kQuantTables[6][64] = {
    {30,  40,  50,  60,  80,  100, 120, 129, 40,  50,  60,  80,  100, 120, 111, 135, 50,  60,  80,  100, 120, 108,
     128, 155, 60,  80,  100, 120, 116, 136, 160, 193, 80,  100, 120, 116, 145, 177, 213, 255, 100, 120, 108, 136,
     177, 228, 255, 255, 120, 111, 128, 160, 213, 255, 255, 255, 129, 135, 155, 193, 255, 255, 255, 255},
    {24,  30,  40,  50,  60,  80,  100, 129, 30,  40,  50,  60,  80,  100, 111, 135, 40,  50,  60,  80,  100, 108,
     128, 155, 50,  60,  80,  100, 116, 136, 160, 193, 60,  80,  100, 116, 145, 177, 213, 255, 80,  100, 108, 136,
     177, 228, 255, 255, 100, 111, 128, 160, 213, 255, 255, 255, 129, 135, 155, 193, 255, 255, 255, 255},
    {22,  20,  30,  40,  50, 60, 70, 80,  20,  30,  40,  50,  60, 70, 80,  90,  30,  40,  50,  60, 70, 80,
     90,  100, 40,  50,  60, 70, 80, 90,  100, 110, 50,  60,  70, 80, 90,  100, 110, 130, 60,  70, 80, 90,
     100, 110, 144, 178, 70, 80, 90, 100, 110, 144, 190, 243, 80, 90, 100, 110, 130, 178, 243, 255},
    {20, 14,  18,  24,  30, 40, 60, 70, 14,  18,  24,  30,  40, 60, 70, 80,  18,  24,  30,  40, 60, 70,
     80, 90,  24,  30,  40, 60, 70, 80, 90,  100, 30,  40,  60, 70, 80, 90,  100, 110, 40,  60, 70, 80,
     90, 100, 110, 120, 60, 70, 80, 90, 100, 110, 120, 130, 70, 80, 90, 100, 110, 120, 130, 140},
    {18,  12,  14,  16,  18, 22, 30, 40,  12,  14,  16,  18,  22, 30,  40,  93,  14,  16,  18,  22, 30, 40,
     77,  124, 16,  18,  22, 30, 40, 84,  126, 196, 18,  22,  30, 40,  99,  151, 230, 255, 22,  30, 40, 94,
     161, 255, 255, 255, 30, 40, 95, 150, 255, 255, 255, 255, 40, 127, 166, 255, 255, 255, 255, 255},
    {16, 10, 12, 14, 16, 18, 20, 22, 10, 12, 14, 16, 18, 20, 22, 24, 12, 14, 16, 18, 20, 22,
     24, 28, 14, 16, 18, 20, 22, 24, 28, 32, 16, 18, 20, 22, 24, 28, 32, 40, 18, 20, 22, 24,
     28, 32, 40, 50, 20, 22, 24, 28, 32, 40, 50, 70, 22, 24, 28, 32, 40, 50, 70, 99},
};

const std::array<uint8_t, 64> kNaturalToZigzag = {
    0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42, 3,  8,  12, 17, 25, 30,
    41, 43, 9,  11, 18, 24, 31, 40, 44, 53, 10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38,
    46, 51, 55, 60, 21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63,
};

std::array<uint8_t, 64> ZigzagToNatural() {
  std::array<uint8_t, 64> inverse{};
  for (int n = 0; n < 64; ++n) inverse[kNaturalToZigzag[n]] = static_cast<uint8_t>(n);
  return inverse;
}

double AanScale(int natural) {
  const auto s = [](int k) { return k == 0 ? 1.0 : std::numbers::sqrt2 * std::cos(k * std::numbers::pi / 16); };
  return 1.0 / (8.0 * s(natural / 8) * s(natural % 8));
}

int32_t RoundToInt(double v) { return static_cast<int32_t>(std::nearbyint(v)); }

TransformConstants TransformConstants::Compute() {
  const double pi = std::numbers::pi;
  return {RoundToInt(256 * std::cos(pi / 4)), RoundToInt(128 / std::cos(pi / 8)),
          RoundToInt(128 / std::cos(3 * pi / 8))};
}

}  // namespace tw

namespace tw {

std::vector<CodedBlock> CollectCodedBlocks(const PlaneStreams& streams, const uint8_t* skip, int blocks) {
  std::vector<CodedBlock> coded;
  int cursor[kCodedCoefficients] = {};
  for (int b = 0; b < blocks; ++b) {
    if (skip[b]) continue;
    CodedBlock block;
    block.block = b;
    block.last = streams.last[b];
    for (int z = 0; z <= block.last; ++z) block.zigzag[z] = streams.values[z][cursor[z]++];
    coded.push_back(block);
  }
  return coded;
}

}  // namespace tw
