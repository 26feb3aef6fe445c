#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <memory>
#include <vector>

#include "audio/mDSAudio.h"
#include "tests/audio/voice_rig.h"
#include "tests/support/thrown.h"

namespace tw {
namespace {

// Stands in for the local recorder's voice level.
struct FixedLevel final : VoiceLevelSource {
  double level = 0;
  double Mean500() const override { return level; }
};

// Packets of a tone, frame after frame with a continuous phase.
std::vector<VoicePacket> TonePackets(double hz, double amplitude, size_t frames) {
  CVodec encoder;
  const auto tone = test::Tone(hz, amplitude, 512 * frames);
  std::vector<VoicePacket> packets;
  for (size_t f = 0; f < frames; ++f)
    packets.push_back(encoder.Encode(vodec::ConstFrame(tone.data() + 512 * f, 512)));
  return packets;
}

double Rms(const std::vector<int16_t>& s, size_t from) {
  double sum = 0;
  for (size_t i = from; i < s.size(); ++i) sum += double(s[i]) * s[i];
  return std::sqrt(sum / double(s.size() - from));
}

class Player : public ::testing::Test {
 protected:
  test::VoiceRig rig_;
  TPlayer player_;
  std::vector<size_t> sizes_;
  std::vector<int16_t> played_;

  void SetUp() override {
    player_.OnPlayed = [this](TPlayer&, const uint8_t* bytes, size_t size) {
      sizes_.push_back(size);
      const auto s = test::Samples(bytes, size);
      played_.insert(played_.end(), s.begin(), s.end());
    };
    ASSERT_TRUE(player_.Start());
  }
  void Play(const std::vector<VoicePacket>& packets) {
    for (const auto& p : packets) player_.PlayPacket(p.data(), p.size());
  }
  void Marker() {
    const uint8_t any[4] = {1, 2, 3, 4};
    player_.PlayPacket(any, 4);
  }
};

TEST_F(Player, FirstPacketGives256SamplesAndEveryLaterOne512) {
  Play(TonePackets(1000, 8000, 3));
  const std::vector<size_t> expected{512, 1024, 1024};
  EXPECT_EQ(sizes_, expected);
  EXPECT_EQ(player_.Playback().Queued(), 512 + 1024 + 1024);
}

TEST_F(Player, TheFirstBlockFadesIn) {
  Play(TonePackets(1000, 8000, 1));
  ASSERT_EQ(played_.size(), 256u);
  EXPECT_EQ(played_[0], 0);  // the window starts at 0 and nothing overlaps it
  EXPECT_LT(Rms(std::vector<int16_t>(played_.begin(), played_.begin() + 64), 0), Rms(played_, 192) / 4);
}

TEST_F(Player, AnyFourBytePacketResetsTheOverlap) {
  Play(TonePackets(1000, 8000, 2));
  Marker();
  Play(TonePackets(1000, 8000, 2));
  const std::vector<size_t> expected{512, 1024, 512, 1024};
  EXPECT_EQ(sizes_, expected);
  EXPECT_EQ(played_[256 + 512], 0);  // a fade-in again
}

TEST_F(Player, WhileMutedPacketsAndMarkersAreIgnored) {
  Play(TonePackets(1000, 8000, 1));
  player_.SetMuted(true);
  Marker();
  Play(TonePackets(1000, 8000, 2));
  EXPECT_EQ(sizes_.size(), 1u);
  player_.SetMuted(false);
  Play(TonePackets(1000, 8000, 1));
  EXPECT_EQ(sizes_.back(), 1024u);  // the marker did not reset the overlap
}

TEST_F(Player, TheNotchTakesOut500HzAndLets1kHzThrough) {
  const struct {
    double hz;
    double minDb, maxDb;
  } cases[] = {{500, -200, -20}, {1000, -1.5, 1.5}};
  for (const auto& c : cases) {
    TPlayer player;
    std::vector<int16_t> out;
    player.OnPlayed = [&](TPlayer&, const uint8_t* b, size_t n) {
      const auto s = test::Samples(b, n);
      out.insert(out.end(), s.begin(), s.end());
    };
    ASSERT_TRUE(player.Start());
    for (const auto& p : TonePackets(c.hz, 8000, 12)) player.PlayPacket(p.data(), p.size());
    const double db = 20 * std::log10(Rms(out, 1024) / (8000 / std::sqrt(2.0)));
    EXPECT_GT(db, c.minDb) << c.hz << " Hz";
    EXPECT_LT(db, c.maxDb) << c.hz << " Hz";
  }
}

TEST_F(Player, DuckingDividesByATenthOfTheLocalVoiceLevel) {
  const auto packets = TonePackets(1000, 8000, 8);
  auto playWith = [&](const VoiceLevelSource* level) {
    TPlayer player;
    player.SetRecorder(level);
    std::vector<int16_t> out;
    player.OnPlayed = [&](TPlayer&, const uint8_t* b, size_t n) {
      const auto s = test::Samples(b, n);
      out.insert(out.end(), s.begin(), s.end());
    };
    EXPECT_TRUE(player.Start());
    for (const auto& p : packets) player.PlayPacket(p.data(), p.size());
    return Rms(out, 1024);
  };
  const double plain = playWith(nullptr);
  const struct {
    double level;
    double ratio;
  } cases[] = {{0, 1}, {19.9, 1}, {20, 2}, {40, 4}, {100, 10}};
  for (const auto& c : cases) {
    FixedLevel level;
    level.level = c.level;
    EXPECT_NEAR(plain / playWith(&level), c.ratio, 0.02 * c.ratio) << "mean500 " << c.level;
  }
}

TEST_F(Player, AConstantBlockPlaysAsNearSilence) {
  CVodec encoder;
  const std::vector<int16_t> dc(512, 6000);
  std::vector<VoicePacket> packets(4, encoder.Encode(vodec::ConstFrame(dc.data(), 512)));
  Play(packets);
  EXPECT_LT(Rms(played_, 256), 60.0);
}

TEST_F(Player, TheOutputReachesTheSpeaker) {
  const uint64_t origin = rig_.device().SinkIndexAt(rig_.tick().Now());
  Play(TonePackets(1000, 8000, 4));
  rig_.Run(200);
  const auto sink = rig_.device().Played();
  ASSERT_GE(sink.size(), origin + played_.size());
  // Written from the write cursor: the data start one write lead after the start.
  const size_t lead = 16 * dsound::VirtualSoundDevice::kWriteLeadMs;
  EXPECT_TRUE(std::equal(played_.begin(), played_.end(), sink.begin() + static_cast<std::ptrdiff_t>(origin + lead)));
}

TEST(PlayerLifetime, StartStopResultsAndPacketsWhileStopped) {
  test::VoiceRig rig;
  TPlayer player;
  int played = 0;
  player.OnPlayed = [&](TPlayer&, const uint8_t*, size_t) { ++played; };
  const auto packets = TonePackets(1000, 8000, 1);
  player.PlayPacket(packets[0].data(), packets[0].size());
  EXPECT_EQ(played, 0);
  EXPECT_FALSE(player.Stop());
  rig.device().FailOpen();
  EXPECT_FALSE(player.Start());  // the playback did not start ...
  EXPECT_FALSE(player.Start());  // ... but the player counts as started
  EXPECT_TRUE(player.Stop());
  EXPECT_TRUE(player.Start());
  player.PlayPacket(packets[0].data(), packets[0].size());
  EXPECT_EQ(played, 1);
}

TEST(PlayerFailures, TheFirstPacketThatFailsAfterEachStartIsReported) {
  const auto packets = TonePackets(1000, 8000, 3);
  for (const test::Thrown& c : test::ThrownKinds()) {
    const std::string reported = "TPlayer.PlayPacket: " + c.what;
    test::VoiceRig rig;
    TPlayer player;
    std::vector<std::string> reports;
    player.OnFailure = [&](const std::string& text) { reports.push_back(text); };
    player.OnPlayed = [&](TPlayer&, const uint8_t*, size_t) { c.raise(); };
    ASSERT_TRUE(player.Start());
    for (const auto& p : packets) player.PlayPacket(p.data(), p.size());
    EXPECT_EQ(reports, std::vector<std::string>{reported});
    ASSERT_TRUE(player.Stop());
    ASSERT_TRUE(player.Start());
    player.PlayPacket(packets[0].data(), packets[0].size());
    EXPECT_EQ(reports, (std::vector<std::string>{reported, reported}));
  }
}

TEST(PlayerLifetime, AHandlerMayFreeThePlayerThatCalledIt) {
  test::VoiceRig rig;
  auto player = std::make_unique<TPlayer>();
  player->OnPlayed = [&](TPlayer& p, const uint8_t*, size_t) {
    p.Stop();
    player.reset();
  };
  ASSERT_TRUE(player->Start());
  const auto packets = TonePackets(1000, 8000, 1);
  player->PlayPacket(packets[0].data(), packets[0].size());
  EXPECT_EQ(player, nullptr);
}

}  // namespace
}  // namespace tw
