// The voice codec: CVodec turns one frame of 512 samples (16 kHz, 16-bit,
// mono; 32 ms) into one VoicePacket and back. The encoder limits the frame's
// peak, takes a DCT-II through a 2048-point FFT, drops quiet bands and packs
// 32 bands of 16 coefficients into an LSB-first bit string; the decoder
// inverts that and dithers the low five bits of every sample.
//
// The recorder owns one CVodec for encoding (its limiter state carries over
// between frames), every talker's player owns one for decoding. Packets are
// plain byte vectors owned by the caller.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "audio/mFFT.h"

namespace tw {

// One encoded frame; 4 to 916 bytes from this encoder.
using VoicePacket = std::vector<uint8_t>;

namespace vodec {

inline constexpr size_t kFrameSamples = 512;
inline constexpr size_t kTransformSize = 4 * kFrameSamples;  // 2048-point FFT
inline constexpr size_t kBandWidth = 16;
inline constexpr size_t kBandCount = kFrameSamples / kBandWidth;  // 32
// Longest packet this encoder writes: 32 x (1 + 4 + 16 x (13 + 1)) bits.
inline constexpr size_t kMaxEncodedBytes = 916;
// Longest packet the format can express (every band at size 15); the decoder
// never reads further.
inline constexpr size_t kMaxPacketBytes = 1044;
// Every packet of exactly this length means "end of talk"; the all-zero
// frame encodes to four zero bytes, the marker itself.
inline constexpr size_t kEndOfTalkMarkerBytes = 4;

using Frame = std::span<int16_t, kFrameSamples>;
using ConstFrame = std::span<const int16_t, kFrameSamples>;

// The four zero bytes of the end-of-talk marker.
VoicePacket EndOfTalkMarker();
inline bool IsEndOfTalkMarker(std::span<const uint8_t> packet) { return packet.size() == kEndOfTalkMarkerBytes; }

// The peak limiter on one frame. A peak above 8000 raises `attenuation` to
// peak*32 div 8000; while it is above 32 it drops by one per frame and the
// frame is scaled by 32/attenuation (truncating). Peaks up to 8499 pass
// unchanged when the attenuation was at most 32.
void LimitFrame(Frame samples, int& attenuation);

// Zeroes the bands at 192..255 whose largest |c| is at most 2 and the bands
// at 128..191 whose largest |c| is at most 1.
void PruneBands(Frame coeffs);

// Significant bits of m: 0 for 0, 1 for 1, 2 for 2..3, ...
int BitLength(uint32_t m);

// Packs 32 band records into `out` and returns the packet length. Magnitudes
// must fit in 15 bits (the encoder keeps them below 2^13).
size_t PackBands(ConstFrame coeffs, std::span<uint8_t, kMaxPacketBytes> out);

// Reads 32 band records from `packet`. Only the first kMaxPacketBytes count;
// bits past the end of a short packet read as zero; a present band of size 0
// holds zeros and carries no magnitude or sign bits.
void UnpackBands(std::span<const uint8_t> packet, Frame coeffs);

}  // namespace vodec

class CVodec {
 public:
  // `ditherSeed` starts the decoder's dither generator (any value serves).
  explicit CVodec(uint32_t ditherSeed = 0x2545F491u);

  // Recorder side: one frame of 512 samples (32 ms of VoicePcmFormat) in,
  // one VoicePacket of 4..916 bytes out. The limiter's attenuation carries
  // over to the next call: use one CVodec per outgoing stream.
  VoicePacket Encode(vodec::ConstFrame pcm);
  // The same into a caller buffer, without allocating; returns the length.
  size_t Encode(vodec::ConstFrame pcm, std::span<uint8_t, vodec::kMaxPacketBytes> out);

  // Player side: one packet of any length in, 512 samples out. Corrupt, short
  // or oversized packets decode with the bits they have (see UnpackBands);
  // nothing fails. A 4-byte packet is the end-of-talk marker: check
  // IsEndOfTalkMarker first, decoding it gives dithered silence.
  void Decode(std::span<const uint8_t> packet, vodec::Frame pcm);
  std::array<int16_t, vodec::kFrameSamples> Decode(std::span<const uint8_t> packet) {
    std::array<int16_t, vodec::kFrameSamples> pcm;
    Decode(packet, pcm);
    return pcm;
  }

  // The limiter's current attenuation (0 at creation, 32 = unity).
  int Attenuation() const { return attenuation_; }

 private:
  void ForwardDct(vodec::Frame samples);  // samples -> coefficients
  void InverseDct(vodec::Frame samples);  // coefficients -> samples
  void Dither(vodec::Frame samples);

  FftTwiddles twiddles_;
  std::vector<double> re_;  // complex work array, split
  std::vector<double> im_;
  std::array<int16_t, vodec::kFrameSamples> frame_{};
  int attenuation_ = 0;
  uint32_t dither_;
};

}  // namespace tw
