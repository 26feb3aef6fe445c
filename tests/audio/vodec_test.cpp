#include "audio/mVodec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "audio/mDSP.h"
#include "tests/audio/wav_file.h"

namespace tw {
namespace {

using vodec::kFrameSamples;
using Samples = std::array<int16_t, kFrameSamples>;
using Bytes = std::vector<uint8_t>;

Samples Constant(int16_t v) {
  Samples s;
  s.fill(v);
  return s;
}

// Builds packets field by field, LSB first, for decoder cases the encoder
// never writes.
class PacketBuilder {
 public:
  PacketBuilder& Bits(uint32_t v, int n) {
    for (int i = 0; i < n; ++i) {
      if (bit_ % 8 == 0) bytes_.push_back(0);
      if ((v >> i) & 1u) bytes_.back() |= static_cast<uint8_t>(1u << (bit_ % 8));
      ++bit_;
    }
    return *this;
  }
  PacketBuilder& Absent(int bands) { return Bits(0, bands); }
  Bytes Build() const { return bytes_; }

 private:
  Bytes bytes_;
  size_t bit_ = 0;
};

Samples Decoded(CVodec& codec, const Bytes& packet) {
  Samples out;
  codec.Decode(packet, out);
  return out;
}

double SnrDb(std::span<const int16_t> reference, std::span<const int16_t> actual) {
  double signal = 0.0, noise = 0.0;
  for (size_t i = 0; i < reference.size(); ++i) {
    signal += static_cast<double>(reference[i]) * reference[i];
    const double e = static_cast<double>(actual[i]) - reference[i];
    noise += e * e;
  }
  return 10.0 * std::log10(signal / std::max(noise, 1e-9));
}

// Encodes and decodes `pcm` frame by frame (zero-padded to whole frames) and
// returns the SNR of the output against the encoder's limited input.
double RoundTripSnr(const std::vector<int16_t>& pcm, size_t* longest = nullptr) {
  CVodec encoder, decoder;
  int attenuation = 0;
  std::vector<int16_t> limited, decoded;
  for (size_t at = 0; at < pcm.size(); at += kFrameSamples) {
    Samples frame{};
    std::copy_n(pcm.begin() + static_cast<std::ptrdiff_t>(at), std::min(kFrameSamples, pcm.size() - at), frame.begin());
    const VoicePacket packet = encoder.Encode(frame);
    if (longest != nullptr) *longest = std::max(*longest, packet.size());
    vodec::LimitFrame(frame, attenuation);
    limited.insert(limited.end(), frame.begin(), frame.end());
    const Samples out = Decoded(decoder, packet);
    decoded.insert(decoded.end(), out.begin(), out.end());
  }
  return SnrDb(limited, decoded);
}

// --- the packet format -----------------------------------------------------

TEST(VoicePacketFormat, GoldenPackets) {
  struct Golden {
    const char* name;
    int16_t value;
    Bytes packet;
  };
  const Golden cases[] = {
      {"all-zero frame is the end-of-talk marker", 0, {0, 0, 0, 0}},
      // present 1, size 3, magnitude 5, sign 0, fifteen 3-bit zeros, 31 absent bands: 85 bits.
      {"constant 10 has c0 = 5", 10, {0xA7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      // present 1, size 1, magnitude 1, sign 1, fifteen 1-bit zeros, 31 absent: 53 bits.
      {"constant -2 has c0 = -1: magnitude then sign 1", -2, {0x63, 0, 0, 0, 0, 0, 0}},
      {"constant 2 has c0 = 1: sign 0", 2, {0x23, 0, 0, 0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CVodec codec;
    EXPECT_EQ(codec.Encode(Constant(c.value)), c.packet);
  }
  EXPECT_EQ(vodec::EndOfTalkMarker(), Bytes(4, 0));
  EXPECT_TRUE(vodec::IsEndOfTalkMarker(Bytes{1, 2, 3, 4}));
  EXPECT_FALSE(vodec::IsEndOfTalkMarker(Bytes(5, 0)));
}

TEST(VoicePacketFormat, BandSizeIsTheBitLengthOfTheLargestMagnitude) {
  const std::pair<uint32_t, int> lengths[] = {{0, 0}, {1, 1}, {2, 2}, {3, 2}, {4, 3}, {4095, 12}, {4096, 13}, {32767, 15}};
  for (const auto& [m, bits] : lengths) EXPECT_EQ(vodec::BitLength(m), bits) << m;

  // A band whose largest magnitude is 4096 has size 13: 1, 1011, then sixteen
  // 13-bit magnitudes with one sign bit, then 31 absent bands = 245 bits.
  Samples coeffs{};
  coeffs[0] = 4096;
  std::array<uint8_t, vodec::kMaxPacketBytes> out;
  const size_t length = vodec::PackBands(coeffs, out);
  EXPECT_EQ(length, 31u);  // 15 words and one byte for the last 5 bits
  EXPECT_EQ(out[0], 0x1B);
}

TEST(VoicePacketFormat, PackAndUnpackRoundTripAnyCoefficients) {
  std::mt19937 rng(11);
  for (int round = 0; round < 50; ++round) {
    Samples coeffs{};
    const int bits = 1 + round % 15;
    std::uniform_int_distribution<int> d(-((1 << bits) - 1), (1 << bits) - 1);
    for (auto& c : coeffs)
      if (rng() % 3 != 0) c = static_cast<int16_t>(d(rng));
    std::array<uint8_t, vodec::kMaxPacketBytes> out;
    const size_t length = vodec::PackBands(coeffs, out);
    Samples back;
    vodec::UnpackBands(std::span<const uint8_t>(out.data(), length), back);
    ASSERT_EQ(back, coeffs) << "round " << round;
  }
}

// --- the encoder -------------------------------------------------------------

TEST(VodecLimiter, LoudFrameSetsTheAttenuationThatThenRecoversByOnePerFrame) {
  Samples loud{};
  loud[0] = 16000;
  loud[1] = -1000;
  loud[2] = 63;
  int attenuation = 10;
  vodec::LimitFrame(loud, attenuation);
  EXPECT_EQ(attenuation, 63);  // 16000 * 32 div 8000 = 64, then one down
  EXPECT_EQ(loud[0], 16000 * 32 / 63);
  EXPECT_EQ(loud[1], -1000 * 32 / 63);  // -507: truncated toward zero
  EXPECT_EQ(loud[2], 32);

  for (int expected = 62; expected >= 32; --expected) {
    Samples quiet = Constant(6300);
    vodec::LimitFrame(quiet, attenuation);
    ASSERT_EQ(attenuation, expected);
    ASSERT_EQ(quiet[0], 6300 * 32 / expected);
  }
  Samples quiet = Constant(6300);
  vodec::LimitFrame(quiet, attenuation);
  EXPECT_EQ(attenuation, 32);
  EXPECT_EQ(quiet[0], 6300);
}

TEST(VodecLimiter, PeaksUpToTheThresholdPassUnchanged) {
  struct Case {
    int16_t peak;
    int attenuationAfter;
    int16_t sampleAfter;
  };
  const Case cases[] = {{8000, 0, 8000}, {8499, 32, 8499}, {8500, 33, 8500 * 32 / 33}, {-8499, 32, -8499}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.peak);
    Samples frame = Constant(0);
    frame[100] = c.peak;
    int attenuation = 0;
    vodec::LimitFrame(frame, attenuation);
    EXPECT_EQ(attenuation, c.attenuationAfter);
    EXPECT_EQ(frame[100], c.sampleAfter);
  }
}

TEST(VodecLimiter, AttenuationPersistsInTheEncoder) {
  CVodec codec;
  EXPECT_EQ(codec.Attenuation(), 0);
  Samples loud = Constant(0);
  loud[7] = -32768;
  codec.Encode(loud);
  EXPECT_EQ(codec.Attenuation(), 130);  // 32768 * 32 div 8000 = 131, minus one
  codec.Encode(Constant(0));
  EXPECT_EQ(codec.Attenuation(), 129);
}

TEST(VodecPruning, QuietUpperMiddleBandsAreDropped) {
  struct Case {
    size_t bandStart;
    int16_t largest;
    bool dropped;
  };
  const Case cases[] = {
      {240, 2, true},  {240, 3, false}, {224, -2, true}, {208, 2, true},  {192, 2, true},  {192, -3, false},
      {176, 1, true},  {176, 2, false}, {160, -1, true}, {144, 1, true},  {128, 1, true},  {128, -2, false},
      {112, 1, false}, {0, 1, false},   {256, 1, false}, {496, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "band " << c.bandStart << " largest " << c.largest);
    Samples coeffs{};
    coeffs[c.bandStart + 3] = c.largest;
    coeffs[c.bandStart + 9] = 1;
    vodec::PruneBands(coeffs);
    EXPECT_EQ(coeffs[c.bandStart + 3], c.dropped ? 0 : c.largest);
    EXPECT_EQ(coeffs[c.bandStart + 9], c.dropped ? 0 : 1);
  }
}

// The encoder's coefficients are the rounded DCT-II divided by 2N.
TEST(VodecEncoder, CoefficientsAreTheScaledDct) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> d(-8000, 8000);
  Samples frame;
  for (auto& s : frame) s = static_cast<int16_t>(d(rng));
  CVodec codec;
  const VoicePacket packet = codec.Encode(frame);
  Samples coeffs;
  vodec::UnpackBands(packet, coeffs);

  Samples expected;
  for (size_t k = 0; k < kFrameSamples; ++k) {
    long double sum = 0;
    for (size_t i = 0; i < kFrameSamples; ++i)
      sum += frame[i] * std::cos(std::numbers::pi_v<long double> * (2 * i + 1) * k / 1024);
    expected[k] = static_cast<int16_t>(std::nearbyint(static_cast<double>(sum / 1024)));
  }
  vodec::PruneBands(expected);
  EXPECT_EQ(coeffs, expected);
}

TEST(VodecEncoder, PacketsNeverExceed916BytesOnFullScaleInput) {
  std::mt19937 rng(42);
  CVodec codec;
  size_t longest = 0;
  auto check = [&](const Samples& frame) {
    const VoicePacket p = codec.Encode(frame);
    ASSERT_GE(p.size(), 4u);
    ASSERT_LE(p.size(), vodec::kMaxEncodedBytes);
    longest = std::max(longest, p.size());
  };
  for (int round = 0; round < 300; ++round) {
    Samples frame;
    for (auto& s : frame) s = static_cast<int16_t>(rng());
    check(frame);
    if (round % 50 == 0) {
      // Extremes of a full-scale frame: the largest DC, the largest top bin.
      check(Constant(-32768));
      Samples alternating;
      for (size_t i = 0; i < kFrameSamples; ++i) alternating[i] = (i % 2 != 0) ? -32768 : 32767;
      check(alternating);
    }
  }
  // Random full-scale noise yields long packets; the bound is not idle.
  EXPECT_GT(longest, 500u);
}

// --- the decoder -------------------------------------------------------------

TEST(VodecDecoder, DitherReplacesTheLowFiveBits) {
  CVodec codec;
  for (const int16_t c0 : {5, 16, 0, -16}) {
    SCOPED_TRACE(c0);
    Samples coeffs{};
    coeffs[0] = c0;  // every sample decodes to 2 * c0
    std::array<uint8_t, vodec::kMaxPacketBytes> out;
    const size_t length = vodec::PackBands(coeffs, out);
    Samples pcm;
    codec.Decode(std::span<const uint8_t>(out.data(), length), pcm);
    const int base = (2 * c0) & ~31;
    std::array<int, 31> seen{};
    for (const int16_t s : pcm) {
      ASSERT_GE(s, base);
      ASSERT_LE(s, base + 30);
      ++seen[static_cast<size_t>(s - base)];
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 0), 0);  // uniform over 0..30
  }
}

TEST(VodecDecoder, BitsPastAShortPacketReadAsZero) {
  // A long packet first, so a decoder that kept stale bytes would read them.
  std::mt19937 rng(9);
  Samples noise;
  for (auto& s : noise) s = static_cast<int16_t>(rng() % 16000) - 8000;
  CVodec encoder;
  const VoicePacket longPacket = encoder.Encode(noise);
  ASSERT_GT(longPacket.size(), 200u);
  const Bytes truncated(longPacket.begin(), longPacket.begin() + 60);
  Bytes padded = truncated;
  padded.resize(vodec::kMaxPacketBytes, 0);

  CVodec a(77), b(77);
  Decoded(a, longPacket);
  Decoded(b, longPacket);
  EXPECT_EQ(Decoded(a, truncated), Decoded(b, padded));
  EXPECT_EQ(Decoded(a, Bytes{}), Decoded(b, Bytes(4, 0)));  // empty: silence with dither
}

TEST(VodecDecoder, ReadsAtMost1044BytesOfAnOversizedPacket) {
  std::mt19937 rng(13);
  Bytes huge(5000);
  for (auto& byte : huge) byte = static_cast<uint8_t>(rng());
  huge[0] |= 1;  // band 0 present
  const Bytes head(huge.begin(), huge.begin() + vodec::kMaxPacketBytes);
  CVodec a(3), b(3);
  EXPECT_EQ(Decoded(a, huge), Decoded(b, head));

  // Every band present at size 15: exactly 1044 bytes are consumed.
  Bytes full(vodec::kMaxPacketBytes, 0xFF);
  Bytes longer = full;
  longer.push_back(0xFF);
  CVodec c(3), d(3);
  EXPECT_EQ(Decoded(c, full), Decoded(d, longer));
}

TEST(VodecDecoder, PresentBandOfSizeZeroHoldsZerosAndNoFurtherBits) {
  // Band 0 present with size 0, then band 1 present: size 4, c16 = 9, rest 0.
  PacketBuilder withEmptyBand;
  withEmptyBand.Bits(1, 1).Bits(0, 4);
  PacketBuilder withAbsentBand;
  withAbsentBand.Absent(1);
  for (PacketBuilder* p : {&withEmptyBand, &withAbsentBand}) {
    p->Bits(1, 1).Bits(4, 4).Bits(9, 4).Bits(0, 1);
    for (int j = 1; j < 16; ++j) p->Bits(0, 4);
    p->Absent(30);
  }
  Samples coeffs;
  vodec::UnpackBands(withEmptyBand.Build(), coeffs);
  Samples expected{};
  expected[16] = 9;
  EXPECT_EQ(coeffs, expected);

  CVodec a(5), b(5);
  EXPECT_EQ(Decoded(a, withEmptyBand.Build()), Decoded(b, withAbsentBand.Build()));
}

TEST(VodecDecoder, ConstantTenDecodesToDitherAroundZero) {
  CVodec encoder, decoder;
  const Samples pcm = Decoded(decoder, encoder.Encode(Constant(10)));
  for (const int16_t s : pcm) {
    ASSERT_GE(s, 0);
    ASSERT_LE(s, 30);
  }
}

// --- round trip ----------------------------------------------------------------

std::vector<int16_t> Sine(double hz, double amplitude, size_t frames) {
  std::vector<int16_t> pcm(kFrameSamples * frames);
  for (size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2 * std::numbers::pi * hz * i / 16000.0)));
  return pcm;
}

TEST(VodecRoundTrip, SinesKeepAtLeast30DbAgainstTheLimitedInput) {
  for (const double hz : {200.0, 440.0, 1000.0, 1777.0, 2250.0, 2500.0, 3000.0}) {
    for (const double amplitude : {1500.0, 4000.0, 8000.0, 20000.0, 32767.0})
      EXPECT_GE(RoundTripSnr(Sine(hz, amplitude, 16)), 30.0) << hz << " Hz, amplitude " << amplitude;
  }
}

// At amplitude 1000 the codec sits right at its noise floor: the dither alone
// (low five bits replaced) limits a sine of that size to 34.8 dB, and
// dropping the quiet bands between 2 and 4 kHz removes leakage that a sine
// of that size leaves in them, so 27 to 30 dB remain between 200 and 3000 Hz.
TEST(VodecRoundTrip, QuietSinesStayAboveTheCodecsNoiseFloor) {
  for (const double hz : {200.0, 440.0, 1000.0, 1777.0, 2250.0, 2500.0, 3000.0})
    EXPECT_GE(RoundTripSnr(Sine(hz, 1000.0, 16)), 27.0) << hz << " Hz";
}

TEST(VodecRoundTrip, SpeechKeepsAtLeast30DbAgainstTheLimitedInput) {
  const auto wav = test::ReadWav16Mono(test::TestDataPath("speech_16k.wav"));
  ASSERT_EQ(wav.rate, 16000u);
  ASSERT_GT(wav.samples.size(), 16000u * 2);
  size_t longest = 0;
  const double snr = RoundTripSnr(wav.samples, &longest);
  EXPECT_GE(snr, 30.0);
  EXPECT_LE(longest, vodec::kMaxEncodedBytes);
  RecordProperty("speech_snr_db", std::to_string(snr));
}

}  // namespace
}  // namespace tw
