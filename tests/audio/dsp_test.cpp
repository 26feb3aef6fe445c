#include "audio/mDSP.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

namespace tw {
namespace {

struct BlockCase {
  const char* name;
  std::vector<int16_t> input;
  std::function<void(std::span<int16_t>)> op;
  std::vector<int16_t> expected;
};

TEST(SampleHelpers, ChangeBlocksAsSpecified) {
  const BlockCase cases[] = {
      {"RemoveDC: mean 3 div 2 = 1", {1, 2}, [](auto b) { RemoveDC(b); }, {0, 1}},
      {"RemoveDC: mean truncates toward zero", {-3, 0}, [](auto b) { RemoveDC(b); }, {-2, 1}},
      {"RemoveDC: range divides by the whole length", {4, 4, 100}, [](auto b) { RemoveDC(b, 0, 1); }, {2, 2, 100}},
      {"RemoveDC: wraps in 16 bits (mean 10922)", {-32768, 32767, 32767}, [](auto b) { RemoveDC(b); }, {21846, 21845, 21845}},
      {"ApplyGain saturates instead of wrapping", {20000, -20000}, [](auto b) { ApplyGain(b, 2.0); }, {32767, -32768}},
      {"ApplyGain rounds halves to even", {1, 3, 5, -1, -3}, [](auto b) { ApplyGain(b, 0.5); }, {0, 2, 2, 0, -2}},
      {"ApplyGain of a huge factor saturates", {1, -1}, [](auto b) { ApplyGain(b, 65536.0 * 65536.0 + 7.0); }, {32767, -32768}},
      {"Attenuate below 2 changes nothing", {5, -7, 32767}, [](auto b) { Attenuate(b, 1.9); }, {5, -7, 32767}},
      {"Attenuate by 2 halves, halves to even", {1, 3, 5, 7, -1, -3, -5, 100},
       [](auto b) { Attenuate(b, 2.0); }, {0, 2, 2, 4, 0, -2, -2, 50}},
      {"Attenuate by 3", {10, -10, 32767}, [](auto b) { Attenuate(b, 3.0); }, {3, -3, 10922}},
      {"LimitPeak scales to the limit", {200, -50, 3}, [](auto b) { LimitPeak(b, 100); }, {100, -25, 2}},
      {"LimitPeak at the peak changes nothing", {200, -50, 3}, [](auto b) { LimitPeak(b, 200); }, {200, -50, 3}},
      {"LimitPeak with limit 0 silences", {200, -50, 3}, [](auto b) { LimitPeak(b, 0); }, {0, 0, 0}},
      {"LimitPeak on silence changes nothing", {0, 0}, [](auto b) { LimitPeak(b, 0); }, {0, 0}},
      {"LimitPeak measures -32768 as 32768", {-32768, 16384}, [](auto b) { LimitPeak(b, 16384); }, {-16384, 8192}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<int16_t> block = c.input;
    c.op(block);
    EXPECT_EQ(block, c.expected);
  }
}

TEST(SampleHelpers, PeakAbsAndBlockLevel) {
  EXPECT_EQ(PeakAbs(std::vector<int16_t>{3, -32768, 5}), 32768);
  EXPECT_EQ(PeakAbs(std::vector<int16_t>(512, 0)), 0);

  const std::vector<int16_t> hundreds(512, 100);
  EXPECT_DOUBLE_EQ(BlockLevel(hundreds), std::sqrt(512.0 * 10000.0) / 512.0);  // about 4.42
  EXPECT_DOUBLE_EQ(BlockLevel(hundreds, 0, 0), BlockLevel(hundreds));         // last 0 is the end
  EXPECT_EQ(BlockLevel(hundreds, 5, 5), 0.0);                                  // first = last
  EXPECT_EQ(BlockLevel(std::vector<int16_t>{7}), 0.0);                        // one sample: first = last
  EXPECT_DOUBLE_EQ(BlockLevel(std::vector<int16_t>{3, 4, 0, 0}, 0, 1), 2.5);  // sqrt(25) / 2
  // Squares of full-scale samples must not overflow.
  const std::vector<int16_t> loud(512, -32768);
  EXPECT_DOUBLE_EQ(BlockLevel(loud), 32768.0 / std::sqrt(512.0));
}

}  // namespace
}  // namespace tw
