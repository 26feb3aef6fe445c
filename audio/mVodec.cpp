// Encoder: limiter -> DCT-II (the frame mirrored into the odd entries of a
// 2048-point complex FFT) -> band pruning -> bit packing. Decoder: bit
// unpacking -> inverse DCT through the same FFT -> dither.
//
// Bit strings are built LSB first in a 32-bit accumulator and stored as
// 16-bit little-endian words; a final 1..7 pending bits take one byte, 8..15
// a whole word.
#include "audio/mVodec.h"

#include <algorithm>
#include <cstdlib>

#include "audio/mDSP.h"

namespace tw {

namespace vodec {

namespace {

class BitWriter {
 public:
  explicit BitWriter(std::span<uint8_t> out) : out_(out) {}

  // `v` must fit in `n` bits (n <= 16).
  void Write(uint32_t v, int n) {
    acc_ |= v << pending_;
    pending_ += n;
    if (pending_ >= 16) {
      Store(2);
      acc_ >>= 16;
      pending_ -= 16;
    }
  }

  // Stores what is pending and returns the packet length.
  size_t Finish() {
    if (pending_ > 0) Store(pending_ <= 7 ? 1 : 2);
    pending_ = 0;
    return pos_;
  }

 private:
  void Store(size_t bytes) {
    out_[pos_] = static_cast<uint8_t>(acc_);
    if (bytes == 2) out_[pos_ + 1] = static_cast<uint8_t>(acc_ >> 8);
    pos_ += bytes;
  }

  std::span<uint8_t> out_;
  uint32_t acc_ = 0;
  int pending_ = 0;
  size_t pos_ = 0;
};

class BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> packet) : in_(packet.first(std::min(packet.size(), kMaxPacketBytes))) {}

  // n = 1..16. Bits past the end of the packet read as zero.
  uint32_t Read(int n) {
    if (n > pending_) {
      acc_ |= static_cast<uint32_t>(ByteAt(pos_) | (ByteAt(pos_ + 1) << 8)) << pending_;
      pending_ += 16;
      pos_ += 2;
    }
    const uint32_t v = acc_ & ((1u << n) - 1u);
    acc_ >>= n;
    pending_ -= n;
    return v;
  }

 private:
  uint32_t ByteAt(size_t i) const { return i < in_.size() ? in_[i] : 0u; }

  std::span<const uint8_t> in_;
  uint32_t acc_ = 0;
  int pending_ = 0;
  size_t pos_ = 0;
};

int32_t BandPeak(std::span<const int16_t> band) {
  int32_t m = 0;
  for (const int16_t c : band) m = std::max(m, std::abs(static_cast<int32_t>(c)));
  return m;
}

void WriteBand(BitWriter& bits, std::span<const int16_t> band) {
  const uint32_t m = static_cast<uint32_t>(std::min<int32_t>(BandPeak(band), 0x7FFF));
  if (m == 0) {
    bits.Write(0, 1);
    return;
  }
  const int size = BitLength(m);
  bits.Write(1, 1);
  bits.Write(static_cast<uint32_t>(size), 4);
  for (const int16_t c : band) {
    const uint32_t mag = static_cast<uint32_t>(std::min(std::abs(static_cast<int32_t>(c)), 0x7FFF));
    bits.Write(mag, size);
    if (mag != 0) bits.Write(c < 0 ? 1u : 0u, 1);
  }
}

void ReadBand(BitReader& bits, std::span<int16_t> band) {
  std::fill(band.begin(), band.end(), int16_t{0});
  if (bits.Read(1) == 0) return;
  const int size = static_cast<int>(bits.Read(4));
  if (size == 0) return;  // never written by the encoder: zero-bit magnitudes
  for (auto& c : band) {
    const int32_t m = static_cast<int32_t>(bits.Read(size));
    c = static_cast<int16_t>(m != 0 && bits.Read(1) == 1 ? -m : m);
  }
}

}  // namespace

VoicePacket EndOfTalkMarker() { return VoicePacket(kEndOfTalkMarkerBytes, 0); }

void LimitFrame(Frame samples, int& attenuation) {
  const int32_t peak = PeakAbs(samples);
  if (peak > 8000) attenuation = std::max(attenuation, peak * 32 / 8000);
  if (attenuation <= 32) return;
  --attenuation;
  for (auto& s : samples) s = static_cast<int16_t>(s * 32 / attenuation);
}

void PruneBands(Frame coeffs) {
  struct Rule {
    size_t start;
    int32_t maxDropped;
  };
  static constexpr Rule kRules[] = {{240, 2}, {224, 2}, {208, 2}, {192, 2},
                                    {176, 1}, {160, 1}, {144, 1}, {128, 1}};
  for (const Rule& r : kRules) {
    const auto band = coeffs.subspan(r.start, kBandWidth);
    if (BandPeak(band) <= r.maxDropped) std::fill(band.begin(), band.end(), int16_t{0});
  }
}

int BitLength(uint32_t m) {
  int n = 0;
  for (; m != 0; m >>= 1) ++n;
  return n;
}

size_t PackBands(ConstFrame coeffs, std::span<uint8_t, kMaxPacketBytes> out) {
  BitWriter bits(out);
  for (size_t b = 0; b < kBandCount; ++b) WriteBand(bits, coeffs.subspan(b * kBandWidth, kBandWidth));
  return bits.Finish();
}

void UnpackBands(std::span<const uint8_t> packet, Frame coeffs) {
  BitReader bits(packet);
  for (size_t b = 0; b < kBandCount; ++b) ReadBand(bits, coeffs.subspan(b * kBandWidth, kBandWidth));
}

}  // namespace vodec

using namespace vodec;

CVodec::CVodec(uint32_t ditherSeed)
    : twiddles_(kTransformSize), re_(kTransformSize), im_(kTransformSize), dither_(ditherSeed != 0 ? ditherSeed : 0x2545F491u) {}

VoicePacket CVodec::Encode(ConstFrame pcm) {
  std::array<uint8_t, kMaxPacketBytes> buffer;
  const size_t length = Encode(pcm, buffer);
  return VoicePacket(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
}

size_t CVodec::Encode(ConstFrame pcm, std::span<uint8_t, kMaxPacketBytes> out) {
  std::copy(pcm.begin(), pcm.end(), frame_.begin());
  LimitFrame(frame_, attenuation_);
  ForwardDct(frame_);
  PruneBands(frame_);
  return PackBands(frame_, out);
}

void CVodec::Decode(std::span<const uint8_t> packet, Frame pcm) {
  UnpackBands(packet, frame_);
  InverseDct(frame_);
  Dither(frame_);
  std::copy(frame_.begin(), frame_.end(), pcm.begin());
}

// c_k = round(sum x_i cos(pi (2i+1) k / 1024) / 1024): with x mirrored into
// re[2i+1] and re[2047-2i] the FFT's bin k is twice that sum.
void CVodec::ForwardDct(Frame samples) {
  std::fill(re_.begin(), re_.end(), 0.0);
  std::fill(im_.begin(), im_.end(), 0.0);
  for (size_t i = 0; i < kFrameSamples; ++i) {
    re_[2 * i + 1] = samples[i];
    re_[kTransformSize - 1 - 2 * i] = samples[i];
  }
  twiddles_.Transform(re_, im_, true);
  for (size_t k = 0; k < kFrameSamples; ++k) samples[k] = RoundToSample(re_[k] / static_cast<double>(kTransformSize));
}

// x_i = 2 c_0 + 4 sum_{k>=1} c_k cos(pi (2i+1) k / 1024): the coefficients
// laid out with the odd symmetry of a DCT-II spectrum, read back at the odd
// entries of the inverse transform.
void CVodec::InverseDct(Frame samples) {
  std::fill(re_.begin(), re_.end(), 0.0);
  std::fill(im_.begin(), im_.end(), 0.0);
  constexpr size_t kHalf = kTransformSize / 2;  // 1024
  for (size_t k = 0; k < kFrameSamples; ++k) {
    re_[k] = samples[k];
    re_[kHalf - k] = -static_cast<double>(samples[k]);
  }
  for (size_t k = 1; k < kHalf; ++k) re_[kHalf + k] = -re_[k];
  twiddles_.Transform(re_, im_, false);
  for (size_t i = 0; i < kFrameSamples; ++i) samples[i] = RoundToSample(re_[2 * i + 1]);
}

// Clears the low five bits (toward minus infinity to a multiple of 32) and
// adds a uniform 0..30; the largest result is 32736 + 30, so nothing wraps.
void CVodec::Dither(Frame samples) {
  for (auto& s : samples) {
    dither_ ^= dither_ << 13;
    dither_ ^= dither_ >> 17;
    dither_ ^= dither_ << 5;
    const auto noise = static_cast<int32_t>((static_cast<uint64_t>(dither_) * 31u) >> 32);
    const auto floor32 = static_cast<int16_t>(static_cast<uint16_t>(s) & 0xFFE0u);
    s = static_cast<int16_t>(floor32 + noise);
  }
}

}  // namespace tw
