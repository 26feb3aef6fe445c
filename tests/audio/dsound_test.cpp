#include "audio/mDSound.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "tests/audio/voice_rig.h"

namespace tw {
namespace {

using test::Bytes;

// Sample i of the ramp is i (mod 2^16), so any loss, repeat or reordering shows.
std::vector<int16_t> Ramp(size_t n) {
  std::vector<int16_t> s(n);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<int16_t>(static_cast<uint16_t>(i));
  return s;
}

class Capture : public ::testing::Test {
 protected:
  test::VoiceRig rig_;
  std::vector<int16_t> got_;
  size_t deliveries_ = 0;

  void Attach(CDSRecord& rec) {
    rec.OnData = [this](CDSRecord&, const uint8_t* bytes, size_t length) {
      ++deliveries_;
      const auto s = test::Samples(bytes, length);
      got_.insert(got_.end(), s.begin(), s.end());
    };
  }
};

TEST_F(Capture, DeviceIndexSelectsTheEntryOrTheDefault) {
  rig_.device().CaptureSamples(std::vector<int16_t>(16000, 100));
  rig_.second().CaptureSamples(std::vector<int16_t>(16000, 200));
  const struct {
    int index;
    int16_t heard;
  } cases[] = {{0, 100}, {1, 100}, {2, 200}, {3, 100}, {-1, 100}, {99, 100}};
  for (const auto& c : cases) {
    CDSRecord rec(1);
    Attach(rec);
    got_.clear();
    rec.SetDeviceIndex(c.index);
    ASSERT_TRUE(rec.Start());
    rig_.Run(20);
    ASSERT_FALSE(got_.empty()) << c.index;
    EXPECT_EQ(got_.front(), c.heard) << "index " << c.index;
  }
}

TEST_F(Capture, DeviceNamesListTheDefaultThenEachDevice) {
  CDSRecord rec(1);
  ASSERT_EQ(rec.DeviceCount(), 3);
  EXPECT_EQ(rec.DeviceName(1), "Rig device");
  EXPECT_EQ(rec.DeviceName(2), "Rig second device");
  EXPECT_EQ(rec.DeviceName(3), "");
  EXPECT_THROW(rec.DeviceName(-1), std::out_of_range);
}

TEST_F(Capture, DeliversEveryByteInOrderAcrossTheEndOfTheRing) {
  const auto ramp = Ramp(16 * 5200);
  rig_.device().CaptureSamples(ramp);
  CDSRecord rec(1);
  Attach(rec);
  ASSERT_TRUE(rec.Start());
  rig_.tick().Advance(4990);  // one poll takes nearly the whole 5 s ring
  win32::ProcessMessages();
  rig_.tick().Advance(20);  // the next one wraps: two regions, one block
  win32::ProcessMessages();
  EXPECT_EQ(deliveries_, 2u);
  ASSERT_EQ(got_.size(), 16u * 5010);
  EXPECT_TRUE(std::equal(got_.begin(), got_.end(), ramp.begin()));
}

TEST_F(Capture, AFailedLockDeliversTheSameBytesAtTheNextTick) {
  const auto ramp = Ramp(16000);
  rig_.device().CaptureSamples(ramp);
  CDSRecord rec(1);
  Attach(rec);
  ASSERT_TRUE(rec.Start());
  rig_.device().FailLocks(1);
  rig_.Run(10);
  EXPECT_EQ(deliveries_, 0u);
  rig_.Run(10);
  EXPECT_EQ(deliveries_, 1u);
  ASSERT_EQ(got_.size(), 320u);
  EXPECT_TRUE(std::equal(got_.begin(), got_.end(), ramp.begin()));
}

TEST_F(Capture, StartAndStopReportWhatHappened) {
  CDSRecord rec(1);
  rig_.device().FailOpen();
  EXPECT_FALSE(rec.Start());
  rig_.device().FailBufferCreation();
  EXPECT_FALSE(rec.Start());
  EXPECT_FALSE(rec.Active());
  ASSERT_TRUE(rec.Start());  // nothing of the failed starts stands in the way
  EXPECT_FALSE(rec.Start());  // already active
  rig_.device().FailStops();
  EXPECT_FALSE(rec.Stop());
  EXPECT_TRUE(rec.Active());
  EXPECT_TRUE(rec.Stop());
  EXPECT_FALSE(rec.Stop());
}

TEST_F(Capture, AHandlerMayDestroyTheCaptureThatCalledIt) {
  auto rec = std::make_unique<CDSRecord>(1);
  rec->OnData = [&](CDSRecord&, const uint8_t*, size_t) { rec.reset(); };
  ASSERT_TRUE(rec->Start());
  rig_.Run(30);
  EXPECT_EQ(rec, nullptr);
}

class Playback : public ::testing::Test {
 protected:
  test::VoiceRig rig_;
  CDSPlay play_{1};

  void Push(size_t bytes, int16_t value = 1000) {
    const auto b = Bytes(std::vector<int16_t>(bytes / 2, value));
    ASSERT_TRUE(play_.PushData(b.data(), b.size()));
  }
  // Plays until the queue has run dry.
  void RunDry() {
    for (int i = 0; i < 2000 && play_.Queued() > 0; ++i) rig_.Run(1);
    ASSERT_EQ(play_.Queued(), 0);
  }
};

TEST_F(Playback, PushWhileStoppedIsDropped) {
  const auto b = Bytes(std::vector<int16_t>(256, 1));
  EXPECT_FALSE(play_.PushData(b.data(), b.size()));
}

TEST_F(Playback, FirstPushAfterStartIsWrittenAtOnceWithoutGrowingThePrebuffer) {
  ASSERT_TRUE(play_.Start());
  Push(512);
  EXPECT_EQ(play_.Queued(), 512);
  EXPECT_EQ(play_.Prebuffer(), 500);
  EXPECT_EQ(play_.PendingBytes(), 0u);
}

TEST_F(Playback, EachDrySpellDoublesThePrebufferUpTo16000) {
  ASSERT_TRUE(play_.Start());
  Push(512);
  RunDry();
  const int64_t expected[] = {1000, 2000, 4000, 8000, 16000, 16000};
  for (const int64_t prebuffer : expected) {
    Push(1024);
    EXPECT_EQ(play_.Prebuffer(), prebuffer);
    while (play_.PendingBytes() > 0) Push(1024);  // collected until it exceeds the prebuffer
    EXPECT_GT(play_.Queued(), prebuffer);
    RunDry();
  }
}

TEST_F(Playback, TwoPushesAreCollectedWhenThePrebufferIs2000) {
  ASSERT_TRUE(play_.Start());
  Push(512);
  RunDry();
  Push(1024);  // prebuffer 1000: written at once
  RunDry();
  Push(1024);
  EXPECT_EQ(play_.Prebuffer(), 2000);
  EXPECT_EQ(play_.Queued(), 0);
  EXPECT_EQ(play_.PendingBytes(), 1024u);
  Push(1024);
  EXPECT_EQ(play_.PendingBytes(), 0u);
  EXPECT_EQ(play_.Queued(), 2048);
}

TEST_F(Playback, AMarkerReprimeKeepsThePrebuffer) {
  ASSERT_TRUE(play_.Start());
  Push(512);
  RunDry();
  play_.Reprime();
  Push(1024);
  EXPECT_EQ(play_.Prebuffer(), 500);
}

TEST_F(Playback, TheQueueNeverExceedsOneSecond) {
  ASSERT_TRUE(play_.Start());
  Push(512);
  Push(31500 - 512);
  ASSERT_EQ(play_.Queued(), 31500);
  Push(1024);
  EXPECT_EQ(play_.Queued(), 32000);
}

TEST_F(Playback, ALowQueueStretchesTheBlock) {
  ASSERT_TRUE(play_.Start());
  Push(512);
  RunDry();
  Push(1024);  // prebuffer now 1000
  rig_.tick().Advance(23);  // 736 bytes played: 288 left, below 1000 / 2
  Push(512);
  EXPECT_EQ(play_.Queued(), 288 + 520);
  Push(512);  // 808 queued, not low: as it is
  EXPECT_EQ(play_.Queued(), 808 + 512);
}

TEST(Stretch, AddsTheMeanOfNeighboursBeforeEvery64thSample) {
  std::vector<int16_t> s(512);
  for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<int16_t>(i % 2 == 0 ? -3 * int(i) : 2 * int(i));
  const auto out = CDSPlay::Stretch(s.data(), s.size());
  ASSERT_EQ(out.size(), 520u);
  EXPECT_EQ(CDSPlay::Stretch(s.data(), 256).size(), 260u);
  EXPECT_TRUE(std::equal(s.begin(), s.begin() + 63, out.begin()));
  EXPECT_EQ(out[63], (s[62] + s[63]) / 2);  // (-186 + 126) / 2 = -30
  EXPECT_EQ(out[64], s[63]);
  EXPECT_EQ(out[128], (s[126] + s[127]) / 2);  // the second extra sample sits before s[127]
  EXPECT_EQ(out[129], s[127]);
  std::vector<int16_t> one(64, 0);
  one[62] = -3;
  one[63] = -2;
  EXPECT_EQ(CDSPlay::Stretch(one.data(), one.size())[63], -2);  // -5 / 2 truncates toward zero
}

TEST_F(Playback, AfterTheDataStopOnlyZerosPlay) {
  ASSERT_TRUE(play_.Start());
  const uint64_t origin = rig_.device().SinkIndexAt(rig_.tick().Now());
  Push(32000, 5000);  // one second of sound
  rig_.Run(12000);    // more than two laps of the 5 s ring
  const auto sink = rig_.device().Played();
  ASSERT_GT(sink.size(), origin + 16000 * 11);
  size_t loud = 0, lastLoud = 0;
  for (size_t i = origin; i < sink.size(); ++i)
    if (sink[i] != 0) ++loud, lastLoud = i - origin;
  EXPECT_EQ(loud, 16000u);
  EXPECT_LT(lastLoud, 16000u + 16 * 40);
}

TEST_F(Playback, ALostBufferIsRestoredAndTheWriteGoesThrough) {
  ASSERT_TRUE(play_.Start());
  rig_.device().LoseBufferOnce();
  const uint64_t origin = rig_.device().SinkIndexAt(rig_.tick().Now());
  Push(1024, 4321);
  EXPECT_EQ(play_.Queued(), 1024);
  rig_.Run(100);
  const auto sink = rig_.device().Played();
  EXPECT_EQ(std::count(sink.begin() + static_cast<std::ptrdiff_t>(origin), sink.end(), int16_t{4321}), 512);
}

TEST_F(Playback, AFailedLockDropsThatWriteOnly) {
  ASSERT_TRUE(play_.Start());
  rig_.device().FailLocks(1);
  Push(1024);
  EXPECT_EQ(play_.Queued(), 0);
  Push(1024);
  EXPECT_EQ(play_.Queued(), 1024);
}

TEST_F(Playback, AFailedSilenceWriteIsRetriedAtTheNextTick) {
  ASSERT_TRUE(play_.Start());
  rig_.device().FailLocks(1);
  rig_.Run(10);
  EXPECT_LT(play_.SilenceAhead(), 32000);  // no zeros reached the ring
  rig_.Run(10);
  EXPECT_EQ(play_.SilenceAhead(), 96000);
}

TEST_F(Playback, StartStopAndFailures) {
  rig_.device().FailBufferCreation();
  EXPECT_FALSE(play_.Start());
  EXPECT_FALSE(play_.Active());
  ASSERT_TRUE(play_.Start());
  EXPECT_FALSE(play_.Start());
  Push(512);
  RunDry();
  Push(2000);  // prebuffer 1000 now, 2000 queued
  rig_.device().FailStops();
  EXPECT_FALSE(play_.Stop());
  EXPECT_TRUE(play_.Active());
  ASSERT_TRUE(play_.Stop());
  // A new start begins afresh.
  ASSERT_TRUE(play_.Start());
  EXPECT_EQ(play_.Queued(), 0);
  EXPECT_EQ(play_.Prebuffer(), 500);
  EXPECT_EQ(play_.PendingBytes(), 0u);
  Push(512);
  EXPECT_EQ(play_.Queued(), 512);
}

TEST_F(Playback, DeviceIndexTwoPlaysOnTheSecondDevice) {
  play_.SetDeviceIndex(2);
  ASSERT_TRUE(play_.Start());
  Push(1024, 77);
  rig_.Run(100);
  const auto second = rig_.second().Played();
  EXPECT_EQ(std::count(second.begin(), second.end(), int16_t{77}), 512);
  EXPECT_TRUE(rig_.device().Played().empty());
}

}  // namespace
}  // namespace tw
