#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "audio/mDSAudio.h"
#include "tests/audio/voice_rig.h"
#include "tests/support/thrown.h"

namespace tw {
namespace {

using Log = std::vector<std::string>;

class Recorder : public ::testing::Test {
 protected:
  test::VoiceRig rig_;
  TRecorder rec_;
  Log log_;
  std::vector<std::vector<int16_t>> waves_;

  void SetUp() override {
    rec_.OnTalkStart = [this](TRecorder&) { log_.push_back("start"); };
    rec_.OnTalkStop = [this](TRecorder&) { log_.push_back("stop"); };
    rec_.OnLoud = [this](TRecorder&) { log_.push_back("loud"); };
    rec_.OnLoudEnd = [this](TRecorder&) { log_.push_back("quiet"); };
    rec_.OnWave = [this](TRecorder&, const int16_t* s, size_t size) {
      ASSERT_EQ(size, 1024u);
      waves_.emplace_back(s, s + 512);
      log_.push_back("wave");
    };
    rec_.OnPacket = [this](TRecorder&, const uint8_t* packet, const uint8_t* pcm, size_t size, size_t pcmSize) {
      // A silent frame encodes to 4 zero bytes too; the marker is the one
      // whose PCM is 4 bytes.
      if (pcmSize == 4) {
        EXPECT_EQ(size, 4u);
        EXPECT_EQ(packet[0] | packet[1] | packet[2] | packet[3] | pcm[0] | pcm[3], 0);
        log_.push_back("marker");
      } else {
        EXPECT_EQ(pcmSize, 1024u);
        log_.push_back("packet");
      }
    };
    ASSERT_TRUE(rec_.Start());
  }

  // Hands the samples to the recorder one 32 ms frame at a time.
  void Feed(const std::vector<int16_t>& samples) {
    for (size_t at = 0; at + 512 <= samples.size(); at += 512) {
      rig_.tick().Advance(32);
      const auto b = test::Bytes(std::vector<int16_t>(samples.begin() + static_cast<std::ptrdiff_t>(at),
                                                      samples.begin() + static_cast<std::ptrdiff_t>(at + 512)));
      rec_.DoData(b.data(), b.size());
    }
  }
  void Silence(size_t frames) { Feed(std::vector<int16_t>(512 * frames, 0)); }
  size_t Count(const std::string& what) const { return static_cast<size_t>(std::count(log_.begin(), log_.end(), what)); }
};

TEST_F(Recorder, SilenceAfterCreationTalksForThreeFramesThenSendsTheMarker) {
  Silence(8);
  const Log expected{"start", "wave", "packet", "wave", "packet", "wave", "packet", "marker", "stop"};
  EXPECT_EQ(log_, expected);
  EXPECT_FALSE(rec_.Talking());
  EXPECT_EQ(rec_.SilentFrames(), 4);  // stops counting once the talk is over
}

TEST_F(Recorder, VoiceNeedsBandEnergyAndASpectralPeakToStartATalk) {
  Silence(4);
  log_.clear();
  const struct {
    const char* name;
    std::vector<int16_t> signal;
    bool voice;
  } cases[] = {
      {"500 Hz tone", test::Tone(500, 3000, 512 * 10), true},
      {"1 kHz tone", test::Tone(1000, 3000, 512 * 10), false},
      {"white noise", test::Noise(3000, 512 * 10), false},
  };
  for (const auto& c : cases) {
    Silence(20);  // a fresh 500 ms history
    log_.clear();
    Feed(c.signal);
    EXPECT_EQ(Count("start"), c.voice ? 1u : 0u) << c.name;
    EXPECT_EQ(rec_.Talking(), c.voice) << c.name;
  }
  Feed(test::Tone(500, 3000, 512));
  EXPECT_GE(rec_.PeakBinIndex(), 14u);  // 500 Hz is bin 16 of 31.25 Hz
  EXPECT_LE(rec_.PeakBinIndex(), 17u);
}

TEST_F(Recorder, WithoutThresholdEveryFrameWithBandEnergyIsVoice) {
  rec_.SetThreshold(0);
  Silence(4);
  log_.clear();
  Feed(test::Noise(3000, 512 * 3));
  EXPECT_EQ(Count("start"), 1u);
  EXPECT_EQ(Count("packet"), 3u);
  Silence(4);  // digital silence has no band energy
  EXPECT_EQ(Count("marker"), 1u);
  EXPECT_FALSE(rec_.Talking());
}

TEST_F(Recorder, MutingMidTalkSendsThreeMoreFramesThenEndsTheTalk) {
  Silence(4);
  Feed(test::Tone(500, 3000, 512 * 5));
  ASSERT_TRUE(rec_.Talking());
  const int32_t peak = rec_.Peak();
  log_.clear();
  rec_.SetMuted(true);
  Feed(test::Tone(500, 3000, 512 * 6));
  const Log expected{"wave", "packet", "wave", "packet", "wave", "packet", "marker", "stop"};
  EXPECT_EQ(log_, expected);
  EXPECT_EQ(rec_.Peak(), peak);  // muted frames are not analysed
  EXPECT_EQ(rec_.Mean500(), 0.0);
}

TEST_F(Recorder, GainGrowsTwoPercentPerQuietFrameUpToTwenty) {
  const auto quiet = test::Tone(500, 4, 512 * 160);  // band energy, level far below 5
  Feed(std::vector<int16_t>(quiet.begin(), quiet.begin() + 512));
  EXPECT_DOUBLE_EQ(rec_.Gain(), 1.02);
  Feed(std::vector<int16_t>(quiet.begin() + 512, quiet.begin() + 512 * 151));
  EXPECT_LT(rec_.Gain(), 20.0);
  Feed(std::vector<int16_t>(quiet.begin() + 512 * 151, quiet.begin() + 512 * 152));
  EXPECT_EQ(rec_.Gain(), 20.0);
  Feed(std::vector<int16_t>(quiet.begin() + 512 * 152, quiet.end()));
  EXPECT_EQ(rec_.Gain(), 20.0);
  EXPECT_EQ(rec_.Stop(), true);
  EXPECT_EQ(rec_.Gain(), 20.0);  // kept by stop, reset by start
  ASSERT_TRUE(rec_.Start());
  EXPECT_EQ(rec_.Gain(), 1.0);
}

TEST_F(Recorder, AHighGainClipsTheHostCopyInsteadOfWrappingIt) {
  rec_.SetThreshold(0);
  Feed(test::Tone(500, 4, 512 * 152));
  ASSERT_EQ(rec_.Gain(), 20.0);
  waves_.clear();
  const auto loud = test::Tone(500, 3000, 512);
  Feed(loud);
  ASSERT_EQ(waves_.size(), 1u);
  for (size_t i = 0; i < 512; ++i)
    ASSERT_GE(waves_[0][i] * loud[i], 0) << "sample " << i << " changed sign";
}

TEST_F(Recorder, LoudAndLoudEndFollowTheRawPeak) {
  Silence(4);
  Feed(test::Tone(500, 3000, 512 * 3));
  log_.clear();
  Feed(test::Tone(500, 16000, 512 * 3));
  Feed(test::Tone(500, 15999, 512));
  const Log expected{"wave", "packet", "loud", "wave", "packet", "wave", "packet", "wave", "packet", "quiet"};
  EXPECT_EQ(log_, expected);
}

TEST_F(Recorder, BytesWhileStoppedAreDroppedAndAPartialFrameWaitsForTheNextStart) {
  Silence(4);
  log_.clear();
  const auto tone = test::Bytes(test::Tone(500, 3000, 512 * 2));
  rec_.DoData(tone.data(), 1000);
  ASSERT_TRUE(rec_.Stop());
  rec_.DoData(tone.data() + 1000, 24);  // dropped
  ASSERT_TRUE(rec_.Start());
  rec_.DoData(tone.data() + 1000, 24);
  EXPECT_EQ(Count("packet"), 1u);
}

TEST_F(Recorder, AHandlerThatStopsTheRecorderEndsTheLoop) {
  rec_.OnWave = [this](TRecorder& r, const int16_t*, size_t) {
    log_.push_back("wave");
    r.Stop();
  };
  const auto frames = test::Bytes(std::vector<int16_t>(512 * 3, 0));
  rec_.DoData(frames.data(), frames.size());
  const Log expected{"start", "wave"};
  EXPECT_EQ(log_, expected);
  EXPECT_FALSE(rec_.Running());
}

TEST(RecorderLifetime, AHandlerMayDestroyTheRecorderInsideItsLoop) {
  test::VoiceRig rig;
  const struct {
    const char* event;
  } cases[] = {{"packet"}, {"stop"}, {"start"}};
  for (const auto& c : cases) {
    auto rec = std::make_unique<TRecorder>();
    int calls = 0;
    auto kill = [&] {
      ++calls;
      rec.reset();
    };
    const std::string e = c.event;
    if (e == "packet") rec->OnPacket = [&](TRecorder&, const uint8_t*, const uint8_t*, size_t, size_t) { kill(); };
    if (e == "stop") rec->OnTalkStop = [&](TRecorder&) { kill(); };
    if (e == "start") rec->OnTalkStart = [&](TRecorder&) { kill(); };
    ASSERT_TRUE(rec->Start());
    const auto frames = test::Bytes(std::vector<int16_t>(512 * 6, 0));
    rec->DoData(frames.data(), frames.size());
    EXPECT_EQ(calls, 1) << c.event;
    EXPECT_EQ(rec, nullptr);
  }
}

TEST_F(Recorder, AFailingHandlerNeverLeavesTheCaptureTimer) {
  rig_.device().CaptureTone(500, 3000);
  int packets = 0;
  rec_.OnPacket = [&](TRecorder&, const uint8_t*, const uint8_t*, size_t, size_t) {
    if (++packets == 1) throw std::runtime_error("sink failed");
  };
  rig_.Run(300);
  EXPECT_EQ(rec_.Capture().Timer().Failures(), 1u);
  EXPECT_EQ(rec_.Capture().Timer().LastFailure(), "sink failed");
  EXPECT_GT(packets, 5);
}

TEST_F(Recorder, ACaptureTickThatRaisesIsReportedOnceForARunOfTheSameFailure) {
  for (const test::Thrown& c : test::ThrownKinds()) {
    TRecorder rec;
    Log reports;
    rec.OnFailure = [&](const std::string& text) { reports.push_back(text); };
    rec.OnPacket = [&](TRecorder&, const uint8_t*, const uint8_t*, size_t, size_t) { c.raise(); };
    rig_.device().CaptureTone(500, 3000);
    ASSERT_TRUE(rec.Start());
    rig_.Run(300);
    EXPECT_GT(rec.Capture().Timer().Failures(), 1u);
    EXPECT_EQ(reports, Log{"CDSRecord.Poll: " + c.what});
  }
}

TEST_F(Recorder, FailedCaptureStartStillCountsAsRunning) {
  ASSERT_TRUE(rec_.Stop());
  rig_.device().FailOpen();
  EXPECT_FALSE(rec_.Start());
  EXPECT_TRUE(rec_.Start());  // running already: true, nothing changes
  EXPECT_TRUE(rec_.Stop());
  EXPECT_TRUE(rec_.Start());
  EXPECT_TRUE(rec_.Capture().Active());
}

}  // namespace
}  // namespace tw
