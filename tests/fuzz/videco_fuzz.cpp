// Fuzz target of the video decoder's portable code (the vector code is held
// to it by videco_diff_fuzz). One decoder lives across inputs, as it does
// across a talk. Each input is decoded as a frame; an input the decoder
// accepts is also decoded cut at every length and with each bit flipped, so
// the seed frames explore the corrupt neighbourhood of real frames.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "video/mVideco.h"

namespace {

void DecodeOne(tw::CVideco& decoder, tw::win32::Bitmap& bitmap, const uint8_t* data, size_t size) {
  try {
    const std::vector<uint8_t> exact(data, data + size);  // so any read past the end is caught
    decoder.Decode(bitmap, exact);
  } catch (const tw::EVideoException&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tw::CVideco decoder(false);
  static tw::win32::Bitmap bitmap;
  try {
    const std::vector<uint8_t> exact(data, data + size);
    decoder.Decode(bitmap, exact);
  } catch (const tw::EVideoException&) {
    return 0;
  }
  if (size > 400) return 0;
  for (size_t n = 0; n < size; ++n) DecodeOne(decoder, bitmap, data, n);
  std::vector<uint8_t> flipped(data, data + size);
  for (size_t bit = 0; bit < 8 * size; ++bit) {
    flipped[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    DecodeOne(decoder, bitmap, flipped.data(), size);
    flipped[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
  }
  return 0;
}
