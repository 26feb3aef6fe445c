// The video decoder's two engines must agree: a decoder on the vector code
// (where the processor has AVX2) and one on the portable code see the same
// frames in the same order, as two receivers of one talk would. Each frame is
// refused by both with the same message, or accepted by both with identical
// bitmaps, sizes and quality.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "video/mVideco.h"

namespace {

// The refusal message, or nothing when the frame was accepted.
std::optional<std::string> Decode(tw::CVideco& decoder, tw::win32::Bitmap& bitmap, const std::vector<uint8_t>& frame) {
  try {
    decoder.Decode(bitmap, frame);
    return std::nullopt;
  } catch (const tw::EVideoException& e) {
    return std::string(e.what());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tw::CVideco simd(true), portable(false);
  static tw::win32::Bitmap simdBitmap, portableBitmap;
  const std::vector<uint8_t> frame(data, data + size);  // exact, so a read past the end is caught
  const std::optional<std::string> a = Decode(simd, simdBitmap, frame);
  const std::optional<std::string> b = Decode(portable, portableBitmap, frame);
  TW_FUZZ_CHECK(a == b);
  TW_FUZZ_CHECK(simd.Width() == portable.Width() && simd.Height() == portable.Height());
  TW_FUZZ_CHECK(simd.Quality() == portable.Quality());
  if (a) return 0;
  TW_FUZZ_CHECK(simdBitmap.Width() == portableBitmap.Width() && simdBitmap.Height() == portableBitmap.Height());
  const auto x = simdBitmap.Bits(), y = portableBitmap.Bits();
  TW_FUZZ_CHECK(x.size() == y.size() && std::equal(x.begin(), x.end(), y.begin()));
  return 0;
}
