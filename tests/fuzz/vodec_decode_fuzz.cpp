// Fuzz target for the voice decoder: any bytes are a packet, of any length.
// When the input also holds a whole frame, that frame goes through the
// encoder, whose packets must stay within 916 bytes and decode again.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "audio/mVodec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tw::CVodec codec;
  std::array<int16_t, tw::vodec::kFrameSamples> pcm;
  codec.Decode(std::span<const uint8_t>(data, size), pcm);
  for (const int16_t s : pcm)
    if (s > 32766) std::abort();  // dither never reaches the top code

  if (size >= sizeof(pcm)) {
    std::memcpy(pcm.data(), data, sizeof(pcm));
    std::array<uint8_t, tw::vodec::kMaxPacketBytes> packet;
    for (int frame = 0; frame < 2; ++frame) {  // the second sees the kept attenuation
      const size_t length = codec.Encode(pcm, packet);
      if (length < 4 || length > tw::vodec::kMaxEncodedBytes) std::abort();
      codec.Decode(std::span<const uint8_t>(packet.data(), length), pcm);
    }
  }
  return 0;
}
