// Speed and quality of the voice codec on real speech (16 kHz mono), one
// 512-sample frame per iteration, beside libopus coding the same speech in
// 20 ms frames at its default complexity and bitrate. The "audio_s" rate
// counter is seconds of speech per second of CPU: the real-time factor.
//
// Two levels of the same speech (the benchmark's argument): 0, the recording
// as it is, loud enough that the limiter cuts its gain; 1, the recording
// scaled to a peak of 7,900, which the limiter leaves alone. Beside the times
// the encode-decode runs report:
//   kbit_s    the bitrate;
//   snr_db    the waveform SNR of the decoded speech against the input after
//             the limiter's gain (our codec: the limited frames are the
//             reference, so the limiter's deliberate gain change is not
//             counted as noise); libopus's decoded speech is aligned by its
//             look-ahead first. libopus is a perceptual codec, so its SNR
//             understates how it sounds; read it as a rough figure;
//   gain_db   the limiter's mean gain over the frames (our codec).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <vector>

#include "audio/mFFT.h"
#include "audio/mVodec.h"
#include "bench/bench_speech.h"
#include "tests/audio/wav_file.h"

#ifdef TW_BENCH_OPUS
#include <opus.h>
#endif

namespace {

constexpr int kLevels = 2;  // 0 as recorded (limited), 1 peak 7,900 (not limited)

std::vector<int16_t> LoadSpeech(int level) {
  auto s = tw::bench::LoadSpeech16k();
  if (level == 1) {
    int peak = 1;
    for (int16_t v : s) peak = std::max(peak, std::abs(static_cast<int>(v)));
    for (int16_t& v : s) v = static_cast<int16_t>(static_cast<int>(v) * 7900 / peak);
  }
  return s;
}

int g_level = 0;  // the level of the running benchmark

const std::vector<int16_t>& Speech() {
  static const std::array<std::vector<int16_t>, kLevels> levels = {LoadSpeech(0), LoadSpeech(1)};
  return levels[static_cast<size_t>(g_level)];
}

void SetLevel(const benchmark::State& state) { g_level = static_cast<int>(state.range(0)); }

size_t FrameCount() { return Speech().size() / tw::vodec::kFrameSamples; }

tw::vodec::ConstFrame FrameAt(size_t i) {
  return tw::vodec::ConstFrame(Speech().data() + i * tw::vodec::kFrameSamples, tw::vodec::kFrameSamples);
}

double SnrDb(double signal, double noise) { return noise == 0 ? 99.0 : 10.0 * std::log10(signal / noise); }

// Our codec over the whole speech: SNR against the limited frames, the
// limiter's mean gain and the bitrate.
void ReportVodecQuality(benchmark::State& state) {
  tw::CVodec encoder, decoder;
  int attenuation = 0;
  double signal = 0, noise = 0, gainDb = 0, bytes = 0;
  std::array<int16_t, tw::vodec::kFrameSamples> limited;
  for (size_t i = 0; i < FrameCount(); ++i) {
    std::copy(FrameAt(i).begin(), FrameAt(i).end(), limited.begin());
    tw::vodec::LimitFrame(limited, attenuation);
    gainDb += attenuation > 32 ? 20.0 * std::log10(32.0 / attenuation) : 0.0;
    const tw::VoicePacket packet = encoder.Encode(FrameAt(i));
    bytes += static_cast<double>(packet.size());
    const auto decoded = decoder.Decode(packet);
    for (size_t k = 0; k < limited.size(); ++k) {
      const double d = static_cast<double>(decoded[k]) - limited[k];
      signal += static_cast<double>(limited[k]) * limited[k];
      noise += d * d;
    }
  }
  state.counters["snr_db"] = SnrDb(signal, noise);
  state.counters["gain_db"] = gainDb / static_cast<double>(FrameCount());
  state.counters["kbit_s"] = bytes * 8.0 / (static_cast<double>(Speech().size()) / 16000.0) / 1000.0;
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
  SetLevel(state);
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
BENCHMARK(BM_VodecEncode)->DenseRange(0, kLevels - 1);

void BM_VodecDecode(benchmark::State& state) {
  SetLevel(state);
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
BENCHMARK(BM_VodecDecode)->DenseRange(0, kLevels - 1);

void BM_VodecEncodeDecode(benchmark::State& state) {
  SetLevel(state);
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
  ReportVodecQuality(state);
}
BENCHMARK(BM_VodecEncodeDecode)->DenseRange(0, kLevels - 1);

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
  SetLevel(state);
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
BENCHMARK(BM_OpusEncode)->DenseRange(0, kLevels - 1);

void BM_OpusDecode(benchmark::State& state) {
  SetLevel(state);
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
BENCHMARK(BM_OpusDecode)->DenseRange(0, kLevels - 1);

// libopus over the whole speech: SNR of the decoded speech, delayed by the
// encoder's look-ahead, and the bitrate.
void ReportOpusQuality(benchmark::State& state) {
  OpusCoders opus;
  int lookahead = 0;
  opus_encoder_ctl(opus.encoder, OPUS_GET_LOOKAHEAD(&lookahead));
  std::vector<int16_t> decoded(Speech().size());
  std::array<unsigned char, 1500> packet;
  double bytes = 0;
  for (size_t i = 0; i < OpusFrames(); ++i) {
    const int n = opus_encode(opus.encoder, OpusFrameAt(i), kOpusFrame, packet.data(), packet.size());
    bytes += n;
    if (opus_decode(opus.decoder, packet.data(), n, decoded.data() + i * kOpusFrame, kOpusFrame, 0) < 0)
      return state.SkipWithError("opus_decode failed");
  }
  double signal = 0, noise = 0;
  const auto delay = static_cast<size_t>(lookahead);
  for (size_t k = 0; k + delay < OpusFrames() * kOpusFrame; ++k) {
    const double x = Speech()[k], d = decoded[k + delay] - x;
    signal += x * x;
    noise += d * d;
  }
  state.counters["snr_db"] = SnrDb(signal, noise);
  state.counters["kbit_s"] = bytes * 8.0 / (static_cast<double>(OpusFrames() * kOpusFrame) / 16000.0) / 1000.0;
}

void BM_OpusEncodeDecode(benchmark::State& state) {
  SetLevel(state);
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
  ReportOpusQuality(state);
}
BENCHMARK(BM_OpusEncodeDecode)->DenseRange(0, kLevels - 1);
#endif

}  // namespace

BENCHMARK_MAIN();
