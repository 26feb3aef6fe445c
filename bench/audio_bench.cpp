// Speed of the voice codec on real speech (16 kHz mono), one 512-sample
// frame per iteration, beside libopus coding the same speech in 20 ms frames
// at its default complexity. The "audio_s" rate counter is seconds of speech
// per second of CPU: the real-time factor.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "audio/mFFT.h"
#include "audio/mVodec.h"
#include "tests/audio/wav_file.h"

#ifdef TW_BENCH_OPUS
#include <opus.h>
#endif

namespace {

const std::vector<int16_t>& Speech() {
  static const std::vector<int16_t> samples = [] {
    setenv("TW_TEST_DATA", TW_TEST_DATA_DIR, 0);
    auto s = tw::test::ReadWav16Mono(tw::test::TestDataPath("speech_16k.wav")).samples;
    s.resize(s.size() / 512 * 512);
    return s;
  }();
  return samples;
}

size_t FrameCount() { return Speech().size() / tw::vodec::kFrameSamples; }

tw::vodec::ConstFrame FrameAt(size_t i) {
  return tw::vodec::ConstFrame(Speech().data() + i * tw::vodec::kFrameSamples, tw::vodec::kFrameSamples);
}

void SetRates(benchmark::State& state, size_t samplesPerIteration, double bytes) {
  state.counters["audio_s"] =
      benchmark::Counter(static_cast<double>(state.iterations() * samplesPerIteration) / 16000.0, benchmark::Counter::kIsRate);
  if (bytes > 0)
    state.counters["kbit_s"] = bytes * 8.0 / (static_cast<double>(state.iterations() * samplesPerIteration) / 16000.0) / 1000.0;
}

std::vector<tw::VoicePacket> EncodedSpeech() {
  tw::CVodec encoder;
  std::vector<tw::VoicePacket> packets;
  for (size_t i = 0; i < FrameCount(); ++i) packets.push_back(encoder.Encode(FrameAt(i)));
  return packets;
}

void BM_VodecEncode(benchmark::State& state) {
  tw::CVodec codec;
  std::array<uint8_t, tw::vodec::kMaxPacketBytes> packet;
  size_t frame = 0;
  double bytes = 0;
  for (auto _ : state) {
    bytes += static_cast<double>(codec.Encode(FrameAt(frame), packet));
    benchmark::DoNotOptimize(packet.data());
    frame = (frame + 1) % FrameCount();
  }
  SetRates(state, tw::vodec::kFrameSamples, bytes);
}
BENCHMARK(BM_VodecEncode);

void BM_VodecDecode(benchmark::State& state) {
  const auto packets = EncodedSpeech();
  tw::CVodec codec;
  std::array<int16_t, tw::vodec::kFrameSamples> pcm;
  size_t frame = 0;
  for (auto _ : state) {
    codec.Decode(packets[frame], pcm);
    benchmark::DoNotOptimize(pcm.data());
    frame = (frame + 1) % packets.size();
  }
  SetRates(state, tw::vodec::kFrameSamples, 0);
}
BENCHMARK(BM_VodecDecode);

void BM_VodecEncodeDecode(benchmark::State& state) {
  tw::CVodec encoder, decoder;
  std::array<uint8_t, tw::vodec::kMaxPacketBytes> packet;
  std::array<int16_t, tw::vodec::kFrameSamples> pcm;
  size_t frame = 0;
  for (auto _ : state) {
    const size_t length = encoder.Encode(FrameAt(frame), packet);
    decoder.Decode(std::span<const uint8_t>(packet.data(), length), pcm);
    benchmark::DoNotOptimize(pcm.data());
    frame = (frame + 1) % FrameCount();
  }
  SetRates(state, tw::vodec::kFrameSamples, 0);
}
BENCHMARK(BM_VodecEncodeDecode);

void BM_Fft512Forward(benchmark::State& state) {
  tw::TFFT fft(512);
  for (auto _ : state) {
    fft.Forward(FrameAt(0));
    benchmark::DoNotOptimize(fft.Bins().data());
  }
}
BENCHMARK(BM_Fft512Forward);

#ifdef TW_BENCH_OPUS
constexpr int kOpusFrame = 320;  // 20 ms at 16 kHz

struct OpusCoders {
  OpusCoders() {
    int error = 0;
    encoder = opus_encoder_create(16000, 1, OPUS_APPLICATION_VOIP, &error);
    if (error != OPUS_OK) std::abort();
    decoder = opus_decoder_create(16000, 1, &error);
    if (error != OPUS_OK) std::abort();
  }
  ~OpusCoders() {
    opus_encoder_destroy(encoder);
    opus_decoder_destroy(decoder);
  }
  OpusCoders(const OpusCoders&) = delete;
  OpusCoders& operator=(const OpusCoders&) = delete;
  OpusEncoder* encoder;
  OpusDecoder* decoder;
};

size_t OpusFrames() { return Speech().size() / kOpusFrame; }
const int16_t* OpusFrameAt(size_t i) { return Speech().data() + i * kOpusFrame; }

void BM_OpusEncode(benchmark::State& state) {
  OpusCoders opus;
  std::array<unsigned char, 1500> packet;
  size_t frame = 0;
  double bytes = 0;
  for (auto _ : state) {
    bytes += opus_encode(opus.encoder, OpusFrameAt(frame), kOpusFrame, packet.data(), packet.size());
    frame = (frame + 1) % OpusFrames();
  }
  int complexity = 0;
  opus_encoder_ctl(opus.encoder, OPUS_GET_COMPLEXITY(&complexity));
  state.counters["complexity"] = complexity;
  SetRates(state, kOpusFrame, bytes);
}
BENCHMARK(BM_OpusEncode);

void BM_OpusDecode(benchmark::State& state) {
  OpusCoders opus;
  std::vector<std::vector<unsigned char>> packets;
  std::array<unsigned char, 1500> buffer;
  for (size_t i = 0; i < OpusFrames(); ++i) {
    const int n = opus_encode(opus.encoder, OpusFrameAt(i), kOpusFrame, buffer.data(), buffer.size());
    packets.emplace_back(buffer.begin(), buffer.begin() + n);
  }
  std::array<int16_t, kOpusFrame> pcm;
  size_t frame = 0;
  for (auto _ : state) {
    const auto& p = packets[frame];
    benchmark::DoNotOptimize(opus_decode(opus.decoder, p.data(), static_cast<opus_int32>(p.size()), pcm.data(), kOpusFrame, 0));
    benchmark::DoNotOptimize(pcm.data());
    frame = (frame + 1) % packets.size();
  }
  SetRates(state, kOpusFrame, 0);
}
BENCHMARK(BM_OpusDecode);

void BM_OpusEncodeDecode(benchmark::State& state) {
  OpusCoders opus;
  std::array<unsigned char, 1500> packet;
  std::array<int16_t, kOpusFrame> pcm;
  size_t frame = 0;
  for (auto _ : state) {
    const int n = opus_encode(opus.encoder, OpusFrameAt(frame), kOpusFrame, packet.data(), packet.size());
    benchmark::DoNotOptimize(opus_decode(opus.decoder, packet.data(), n, pcm.data(), kOpusFrame, 0));
    benchmark::DoNotOptimize(pcm.data());
    frame = (frame + 1) % OpusFrames();
  }
  SetRates(state, kOpusFrame, 0);
}
BENCHMARK(BM_OpusEncodeDecode);
#endif

}  // namespace

BENCHMARK_MAIN();
