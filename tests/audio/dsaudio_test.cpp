#include "audio/mDSAudio.h"

#include <gtest/gtest.h>

#include "audio/mDSound.h"
#include "platform/win32/tick.h"
#include "tests/support/manual_tick.h"

namespace tw {
namespace {

TEST(Looker, FreshHistoryAnswersZero) {
  win32::ScopedManualTick tick(1'000'000);
  const TLooker looker(250, 0.0);
  EXPECT_EQ(looker.MaxWithin(500), 0.0);
  EXPECT_EQ(looker.MeanWithin(500), 0.0);
}

TEST(Looker, WindowSelectsRecentEntries) {
  win32::ScopedManualTick tick(1'000'000);
  TLooker looker(250, 0.0);
  looker.Add(3.0);
  tick.Advance(100);
  looker.Add(1.0);
  tick.Advance(400);  // ages 500 and 400: both inside the window
  EXPECT_EQ(looker.MaxWithin(500), 3.0);
  EXPECT_EQ(looker.MeanWithin(500), 2.0);
  tick.Advance(1);  // the first entry is now 501 ms old
  EXPECT_EQ(looker.MaxWithin(500), 1.0);
  EXPECT_EQ(looker.MeanWithin(500), 1.0);
  tick.Advance(599);
  EXPECT_EQ(looker.MaxWithin(500), 0.0);
  EXPECT_EQ(looker.MeanWithin(500), 0.0);
  // Window 0 counts every entry, the 248 untouched ones included.
  EXPECT_EQ(looker.MaxWithin(0), 3.0);
  EXPECT_EQ(looker.MeanWithin(0), 4.0 / 250);
}

TEST(Looker, MaxNeverDropsBelowZero) {
  win32::ScopedManualTick tick(1'000'000);
  TLooker looker(4, 0.0);
  looker.Add(-5.0);
  EXPECT_EQ(looker.MaxWithin(500), 0.0);
  EXPECT_EQ(looker.MeanWithin(500), -5.0);
}

TEST(Looker, TheValueAfterCapacityOverwritesTheFirst) {
  win32::ScopedManualTick tick(1'000'000);
  TLooker looker(250, 0.0);
  looker.Add(1000.0);
  for (int i = 0; i < 249; ++i) looker.Add(1.0);
  EXPECT_EQ(looker.MaxWithin(0), 1000.0);
  looker.Add(2.0);  // the 251st
  EXPECT_EQ(looker.MaxWithin(0), 2.0);
  EXPECT_DOUBLE_EQ(looker.MeanWithin(0), (249.0 + 2.0) / 250);
}

TEST(Looker, AgesStayRightAcrossTheTickWrap) {
  win32::ScopedManualTick tick(0xFFFFFF00u);
  TLooker looker(250, 0.0);
  looker.Add(4.0);
  tick.Advance(0x200);  // the counter wraps to 0x100; the entry is 512 ms old
  looker.Add(2.0);
  EXPECT_EQ(looker.MaxWithin(512), 4.0);
  EXPECT_EQ(looker.MeanWithin(512), 3.0);
  EXPECT_EQ(looker.MaxWithin(511), 2.0);
  // Never-written entries carry no real tick: with the counter near 0 they
  // must not count as fresh values and dilute the mean.
  EXPECT_EQ(looker.MeanWithin(300), 2.0);
}

TEST(Looker, UnwrittenEntriesStayOutOfWindowsNearTickZero) {
  win32::ScopedManualTick tick(100);
  TLooker looker(250, 7.0);
  looker.Add(1.0);
  EXPECT_EQ(looker.MaxWithin(500), 1.0);
  EXPECT_EQ(looker.MeanWithin(500), 1.0);
  EXPECT_EQ(looker.MaxWithin(0), 7.0);  // window 0: all entries, initial values too
}

TEST(WaveFormatTest, VoicePcmFormatRecord) {
  WaveFormat f;
  FillWaveFormat(f, VoicePcmFormat::kSampleRate, VoicePcmFormat::kBitsPerSample, VoicePcmFormat::kChannels);
  EXPECT_EQ(f.wFormatTag, 1);
  EXPECT_EQ(f.nChannels, 1);
  EXPECT_EQ(f.nSamplesPerSec, 16000u);
  EXPECT_EQ(f.wBitsPerSample, 16);
  EXPECT_EQ(f.nBlockAlign, 2);
  EXPECT_EQ(f.nAvgBytesPerSec, 32000u);
  EXPECT_EQ(f.cbSize, 0);

  FillWaveFormat(f, 44100, 16, 2);
  EXPECT_EQ(f.nBlockAlign, 4);
  EXPECT_EQ(f.nAvgBytesPerSec, 176400u);
}

}  // namespace
}  // namespace tw
