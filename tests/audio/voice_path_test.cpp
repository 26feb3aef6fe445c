// End to end on the virtual device: speech into the microphone, through the
// recorder and its packets into a player, out of the speaker.
#include <gtest/gtest.h>

#include <cstdio>

#include "audio/mDSAudio.h"
#include "tests/audio/voice_compare.h"
#include "tests/audio/voice_rig.h"
#include "tests/audio/wav_file.h"

namespace tw {
namespace {

TEST(VoicePath, SpeechThroughRecorderPacketsAndPlayerReachesTheSpeaker) {
  test::VoiceRig rig;
  const auto wav = test::ReadWav16Mono(test::TestDataPath("speech_16k.wav"));
  ASSERT_TRUE(rig.device().CaptureWavFile(test::TestDataPath("speech_16k.wav")));

  TRecorder recorder;
  TPlayer player;
  size_t packets = 0, markers = 0;
  recorder.OnPacket = [&](TRecorder&, const uint8_t* packet, const uint8_t*, size_t size, size_t) {
    ++(size == 4 ? markers : packets);
    player.PlayPacket(packet, size);
  };
  ASSERT_TRUE(player.Start());
  const uint32_t start = rig.tick().Now();
  ASSERT_TRUE(recorder.Start());
  rig.Run(static_cast<uint32_t>(wav.samples.size() / 16 + 1000));

  const std::vector<int16_t> played = rig.device().Played();
  const size_t origin = rig.device().SinkIndexAt(start);
  ASSERT_GT(played.size(), origin + wav.samples.size());
  const std::vector<int16_t> out(played.begin() + static_cast<std::ptrdiff_t>(origin), played.end());

  // 128 ms segments of speech, delays up to 250 ms.
  const auto segments = test::MatchSegments(wav.samples, out, 2048, 16 * 250);
  ASSERT_GE(segments.size(), 10u);
  std::vector<double> delays, correlations, snrs;
  for (const auto& s : segments) {
    delays.push_back(s.delayMs);
    correlations.push_back(s.correlation);
    snrs.push_back(s.snrDb);
  }
  const double delay = test::Percentile(delays, 0.5);
  const double correlation = test::Percentile(correlations, 0.5);
  std::printf("%zu packets, %zu markers; per 128 ms of speech: delay median %.1f ms (%.1f..%.1f), "
              "correlation median %.2f, SNR median %.1f dB\n",
              packets, markers, delay, test::Percentile(delays, 0), test::Percentile(delays, 1), correlation,
              test::Percentile(snrs, 0.5));
  // Most of the speech is sent as voice; the talk ends with a marker.
  EXPECT_GT(packets, wav.samples.size() / 512 * 3 / 4);
  EXPECT_GE(markers, 1u);
  // The output is the input, delayed by capture polling, framing, the
  // player's half-block overlap, the prebuffer and the write lead.
  EXPECT_GT(delay, 48.0);
  EXPECT_LT(delay, 100.0);
  EXPECT_GT(correlation, 0.6);
}

}  // namespace
}  // namespace tw
