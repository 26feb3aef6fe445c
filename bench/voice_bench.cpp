// The voice path on the virtual sound device, without the network.
//
// BM_MouthToEar: speech into the virtual microphone, recorder, packets,
// player, virtual speaker, on the manual clock. Each run starts the talk at
// a different phase of the 10 ms timers and of the speech; every 128 ms of
// speech gives one delay by cross-correlation. Counters: the median and 95th
// percentile of those delays in ms, and the median SNR in dB (the player's
// notch removes 375..594 Hz, which bounds it), and the playback buffer's
// prebuffer at the end of the runs (it doubles at each dry spell of a talk).
// TW_BENCH_DELAYS=1 prints every delay to stderr.
//
// BM_Recorder / BM_Player: CPU of the recorder (analysis and encoding) and
// of one player (decoding, notch, overlap-add and the playback buffer's
// writes). "audio_s" is seconds of speech per second of CPU (the real-time
// factor); 1000 / audio_s is the CPU ms per second of speech.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "audio/mDSAudio.h"
#include "bench/bench_speech.h"
#include "tests/audio/voice_compare.h"
#include "tests/audio/voice_rig.h"
#include "tests/audio/wav_file.h"

namespace {

const std::vector<int16_t>& Speech() {
  static const std::vector<int16_t> samples = tw::bench::LoadSpeech16k();
  return samples;
}

void BM_MouthToEar(benchmark::State& state) {
  std::vector<double> delays, snrs, prebuffers;
  for (auto _ : state) {
    delays.clear();
    snrs.clear();
    prebuffers.clear();
    for (uint32_t run = 0; run < 20; ++run) {
      tw::test::VoiceRig rig;
      // A different start phase against the timers and the speech each run.
      std::vector<int16_t> speech(Speech().begin() + 16 * 7 * run, Speech().end());
      rig.device().CaptureSamples(speech);
      rig.Run(run % 10);
      tw::TRecorder recorder;
      tw::TPlayer player;
      recorder.OnPacket = [&](tw::TRecorder&, const uint8_t* p, const uint8_t*, size_t n, size_t) {
        player.PlayPacket(p, n);
      };
      player.Start();
      rig.Run(run % 7);
      const uint32_t start = rig.tick().Now();
      recorder.Start();
      rig.Run(static_cast<uint32_t>(speech.size() / 16 + 600));
      prebuffers.push_back(static_cast<double>(player.Playback().Prebuffer()));
      const auto played = rig.device().Played();
      const size_t origin = rig.device().SinkIndexAt(start);
      const std::vector<int16_t> out(played.begin() + static_cast<std::ptrdiff_t>(origin), played.end());
      for (const auto& m : tw::test::MatchSegments(speech, out, 2048, 16 * 250)) {
        if (m.correlation < 0.5) continue;  // no clear match: no delay to read
        delays.push_back(m.delayMs);
        snrs.push_back(m.snrDb);
      }
    }
  }
  if (std::getenv("TW_BENCH_DELAYS") != nullptr)
    for (double d : delays) std::fprintf(stderr, "%.1f\n", d);
  state.counters["delay_median_ms"] = tw::test::Percentile(delays, 0.5);
  state.counters["delay_p95_ms"] = tw::test::Percentile(delays, 0.95);
  state.counters["delay_min_ms"] = tw::test::Percentile(delays, 0.0);
  state.counters["snr_median_db"] = tw::test::Percentile(snrs, 0.5);
  // The adaptive prebuffer at the end of each run, in bytes (500 = 16 ms).
  state.counters["prebuffer_end_median"] = tw::test::Percentile(prebuffers, 0.5);
  state.counters["prebuffer_end_max"] = tw::test::Percentile(prebuffers, 1.0);
  state.counters["segments"] = static_cast<double>(delays.size());
}
BENCHMARK(BM_MouthToEar)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Recorder(benchmark::State& state) {
  tw::test::VoiceRig rig;
  tw::TRecorder recorder;
  size_t packets = 0;
  recorder.OnPacket = [&](tw::TRecorder&, const uint8_t*, const uint8_t*, size_t, size_t) { ++packets; };
  recorder.Start();
  const auto bytes = tw::test::Bytes(Speech());
  for (auto _ : state) {
    for (size_t at = 0; at < bytes.size(); at += 1024) {
      rig.tick().Advance(32);
      recorder.DoData(bytes.data() + at, 1024);
    }
  }
  benchmark::DoNotOptimize(packets);
  state.counters["audio_s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * Speech().size()) / 16000.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Recorder)->Unit(benchmark::kMillisecond);

void BM_Player(benchmark::State& state) {
  tw::test::VoiceRig rig;
  tw::CVodec encoder;
  std::vector<tw::VoicePacket> packets;
  for (size_t at = 0; at + 512 <= Speech().size(); at += 512)
    packets.push_back(encoder.Encode(tw::vodec::ConstFrame(Speech().data() + at, 512)));
  tw::TPlayer player;
  player.Start();
  for (auto _ : state) {
    for (const auto& p : packets) {
      rig.tick().Advance(32);  // the buffer's queue drains as it would in a talk
      player.PlayPacket(p.data(), p.size());
    }
  }
  state.counters["audio_s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * packets.size() * 512) / 16000.0, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Player)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
