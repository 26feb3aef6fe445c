// The ALSA backend against alsa-lib's own file and null plugins: the real
// library and the real device threads, without a sound card.
#include "platform/dsound/alsa_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/win32/tick.h"
#include "tests/platform/dsound/alsa_test_files.h"
#include "tests/platform/dsound/voice_ring.h"
#include "tests/support/manual_tick.h"

namespace tw::dsound {
namespace {

std::vector<int16_t> Ramp(size_t n) {
  std::vector<int16_t> s(n);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<int16_t>(i * 3 + 1);
  return s;
}

class Alsa : public ::testing::Test {
 protected:
  std::shared_ptr<AlsaSoundDevice> Device(const char* pcm, bool play, bool capture) {
    return std::make_shared<AlsaSoundDevice>(pcm, pcm, play, capture, test::AlsaTestFiles::Config());
  }

  std::unique_ptr<IDirectSoundBuffer> Playback(DWORD bytes) {
    if (!ds_) {
      EXPECT_EQ(DirectSoundCreate(nullptr, &ds_), DS_OK);
      EXPECT_EQ(ds_->SetCooperativeLevel(1, DSSCL_NORMAL), DS_OK);
    }
    std::unique_ptr<IDirectSoundBuffer> ring = NewPlaybackRing(*ds_, bytes, format_);
    EXPECT_NE(ring, nullptr);
    return ring;
  }
  std::unique_ptr<IDirectSoundCaptureBuffer> Capture(DWORD bytes) {
    if (!dsc_) {
      EXPECT_EQ(DirectSoundCaptureCreate(nullptr, &dsc_), DS_OK);
    }
    DSCBUFFERDESC desc;
    desc.dwBufferBytes = bytes;
    desc.lpwfxFormat = &format_;
    std::unique_ptr<IDirectSoundCaptureBuffer> ring;
    EXPECT_EQ(dsc_->CreateCaptureBuffer(desc, &ring), DS_OK);
    return ring;
  }
  static void Fill(IDirectSoundBuffer& ring, const std::vector<int16_t>& samples) {
    void *r1, *r2;
    DWORD n1, n2;
    ASSERT_EQ(ring.Lock(0, static_cast<DWORD>(samples.size() * 2), &r1, &n1, &r2, &n2, 0), DS_OK);
    std::memcpy(r1, samples.data(), n1);
    ASSERT_EQ(ring.Unlock(r1, n1, r2, n2), DS_OK);
  }

  test::AlsaTestFiles files_;
  win32::ScopedManualTick tick_{1'000};
  std::unique_ptr<IDirectSound> ds_;
  std::unique_ptr<IDirectSoundCapture> dsc_;
  WAVEFORMATEX format_ = VoiceFormat();
};

TEST_F(Alsa, PlaybackHandsTheRingToThePcmAtTheClocksPace) {
  auto speaker = Device("twtest_play", true, false);
  ScopedSoundDevices installed({speaker});
  std::unique_ptr<IDirectSound> ds;
  ASSERT_EQ(DirectSoundCreate(nullptr, &ds), DS_OK);
  ASSERT_EQ(ds->SetCooperativeLevel(1, DSSCL_NORMAL), DS_OK);
  std::unique_ptr<IDirectSoundBuffer> ring = NewPlaybackRing(*ds, 16000, format_);
  ASSERT_NE(ring, nullptr);
  const auto ramp = Ramp(8000);
  void *r1, *r2;
  DWORD n1, n2;
  ASSERT_EQ(ring->Lock(0, 16000, &r1, &n1, &r2, &n2, 0), DS_OK);
  std::memcpy(r1, ramp.data(), n1);
  ASSERT_EQ(ring->Unlock(r1, n1, r2, n2), DS_OK);

  ASSERT_EQ(ring->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  // The clock stands still: only one latency (40 ms) goes out ahead of it.
  ASSERT_TRUE(speaker->WaitForFrames(480, 5000));
  EXPECT_FALSE(speaker->WaitForFrames(16 * 60, 50));
  tick_.Advance(200);
  ASSERT_TRUE(speaker->WaitForFrames(16 * 200, 5000));
  DWORD play = 0, write = 0;
  ASSERT_EQ(ring->GetCurrentPosition(&play, &write), DS_OK);
  EXPECT_GE(write, 16u * 200 * 2);
  ASSERT_EQ(ring->Stop(), DS_OK);
  ring.reset();  // closes the PCM, which flushes the file

  const auto played = files_.Played();
  ASSERT_GE(played.size(), 16u * 200);
  ASSERT_LE(played.size(), ramp.size());
  EXPECT_TRUE(std::equal(played.begin(), played.end(), ramp.begin()));
  EXPECT_EQ(speaker->Xruns(), 0u);
}

TEST_F(Alsa, CaptureFillsTheRingFromThePcm) {
  const auto ramp = Ramp(16000);
  files_.WriteHeard(ramp);
  auto mic = Device("twtest_capture", false, true);
  ScopedSoundDevices installed({mic});
  auto ring = Capture(32000);
  ASSERT_NE(ring, nullptr);
  ASSERT_EQ(ring->Start(DSCBSTART_LOOPING), DS_OK);
  tick_.Advance(100);
  ASSERT_TRUE(mic->WaitForFrames(1600, 5000));
  ASSERT_EQ(ring->Stop(), DS_OK);
  DWORD read = 0;
  ASSERT_EQ(ring->GetCurrentPosition(nullptr, &read), DS_OK);
  EXPECT_EQ(read, 3200u);  // the clock allows 100 ms, not more
  void *r1, *r2;
  DWORD n1, n2;
  ASSERT_EQ(ring->Lock(0, read, &r1, &n1, &r2, &n2, 0), DS_OK);
  EXPECT_EQ(std::memcmp(r1, ramp.data(), read), 0);
}

TEST_F(Alsa, AnUnknownPcmFailsBufferCreationWithAlsasReason) {
  auto nobody = Device("twtest_nonexistent", true, true);
  ScopedSoundDevices installed({nobody});
  std::unique_ptr<IDirectSound> ds;
  ASSERT_EQ(DirectSoundCreate(nullptr, &ds), DS_OK);
  ASSERT_EQ(ds->SetCooperativeLevel(1, DSSCL_NORMAL), DS_OK);
  DSBUFFERDESC desc;
  desc.dwBufferBytes = 16000;
  desc.lpwfxFormat = &format_;
  std::unique_ptr<IDirectSoundBuffer> ring;
  SetLastErrorText({});
  EXPECT_EQ(ds->CreateSoundBuffer(desc, &ring), DSERR_NODRIVER);
  EXPECT_EQ(LastErrorText(), std::string("twtest_nonexistent: ") + std::strerror(ENOENT));
}

// Every stack that ends in a PCM without a clock is held to the tick, not
// just a null or file PCM at the top.
TEST_F(Alsa, APlugOverTheNullPcmIsPacedByTheClock) {
  auto speaker = Device("twtest_plug", true, false);
  ScopedSoundDevices installed({speaker});
  auto ring = Playback(16000);
  ASSERT_EQ(ring->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  ASSERT_TRUE(speaker->WaitForFrames(480, 5000));
  EXPECT_FALSE(speaker->WaitForFrames(16 * 60, 50));  // one latency ahead of a standing clock, no more
  tick_.Advance(100);
  ASSERT_TRUE(speaker->WaitForFrames(16 * 100, 5000));
  EXPECT_FALSE(speaker->WaitForFrames(16 * 160, 50));
}

// Two talkers on one device share one open PCM, which plays their sum: a
// device that allows one opener (a hw: PCM) serves both.
TEST_F(Alsa, TwoPlaybackBuffersShareOnePcmAndPlayTheirMix) {
  auto speaker = Device("twtest_play", true, false);
  ScopedSoundDevices installed({speaker});
  auto a = Playback(16000);
  auto b = Playback(16000);
  EXPECT_EQ(speaker->Opens(), 1u);
  Fill(*a, std::vector<int16_t>(8000, 1000));
  Fill(*b, std::vector<int16_t>(8000, 234));
  ASSERT_EQ(a->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  ASSERT_EQ(b->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  tick_.Advance(200);
  ASSERT_TRUE(speaker->WaitForFrames(16 * 200, 5000));
  a.reset();
  b.reset();  // the last buffer closes the PCM, which flushes the file
  const auto played = files_.Played();
  ASSERT_GE(played.size(), 16u * 200);
  // One latency may go out before the second buffer plays, and between the
  // two resets the device thread may play B alone.
  const auto mixEnd = played.begin() + 16 * 200;
  EXPECT_TRUE(std::all_of(played.begin(), played.begin() + 640, [](int16_t s) { return s == 1000 || s == 1234; }));
  EXPECT_TRUE(std::all_of(played.begin() + 640, mixEnd, [](int16_t s) { return s == 1234; }));
  const auto alone = std::find(mixEnd, played.end(), int16_t{234});
  EXPECT_TRUE(std::all_of(mixEnd, alone, [](int16_t s) { return s == 1234; }));
  EXPECT_TRUE(std::all_of(alone, played.end(), [](int16_t s) { return s == 234; }));
}

// A device that fails while running (unplugged) reports alsa-lib's reason
// to every buffer on it and stays failed; a new buffer opens it afresh.
TEST_F(Alsa, ADeviceThatVanishesFailsItsBuffersWithTheReasonAndReopens) {
  files_.WriteHeard(Ramp(32000));
  auto mic = Device("twtest_capture", false, true);
  ScopedSoundDevices installed({mic});
  auto ring = Capture(32000);
  ASSERT_NE(ring, nullptr);
  mic->FailAfterFrames(30 * 160);  // 30 periods
  ASSERT_EQ(ring->Start(DSCBSTART_LOOPING), DS_OK);
  tick_.Advance(1000);
  DWORD read = 0;
  HRESULT hr = DS_OK;
  // The device thread reaches the failure when the machine lets it: polled
  // until it shows, however busy the machine (the bound only ends a hang).
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (hr == DS_OK && std::chrono::steady_clock::now() < giveUp) {
    hr = ring->GetCurrentPosition(nullptr, &read);
    if (hr == DS_OK) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(hr, DSERR_NODRIVER);
  EXPECT_EQ(LastErrorText(), std::string("twtest_capture: ") + std::strerror(ENODEV));
  EXPECT_EQ(ring->Start(DSCBSTART_LOOPING), DSERR_NODRIVER);
  EXPECT_EQ(ring->Stop(), DS_OK);

  mic->FailAfterFrames(-1);
  auto again = Capture(32000);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(mic->Opens(), 2u);
  ASSERT_EQ(again->Start(DSCBSTART_LOOPING), DS_OK);
  EXPECT_EQ(again->GetCurrentPosition(nullptr, &read), DS_OK);
}

// The owner writes the whole ring while the device thread plays from it:
// the hand-over through Lock and Unlock is race-free (run under
// ThreadSanitizer), and what was written is what plays.
TEST_F(Alsa, TheWholeRingCanBeRewrittenWhileTheDeviceThreadPlays) {
  auto speaker = Device("twtest_play", true, false);
  ScopedSoundDevices installed({speaker});
  auto ring = Playback(3200);
  Fill(*ring, std::vector<int16_t>(1600, 77));
  ASSERT_EQ(ring->Play(0, 0, DSBPLAY_LOOPING), DS_OK);
  for (int i = 1; i <= 30; ++i) {
    void *r1, *r2;
    DWORD n1, n2;
    ASSERT_EQ(ring->Lock(0, 0, &r1, &n1, &r2, &n2, DSBLOCK_ENTIREBUFFER), DS_OK);
    ASSERT_EQ(n1, 3200u);
    const std::vector<int16_t> same(1600, 77);
    std::memcpy(r1, same.data(), n1);
    ASSERT_EQ(ring->Unlock(r1, n1, r2, n2), DS_OK);
    tick_.Advance(10);
    ASSERT_TRUE(speaker->WaitForFrames(160u * static_cast<unsigned>(i), 5000));
  }
  EXPECT_EQ(ring->Unlock(nullptr, 0, nullptr, 0), DSERR_INVALIDPARAM);  // nothing is locked
  ring.reset();
  const auto played = files_.Played();
  ASSERT_GE(played.size(), 160u * 30);
  EXPECT_TRUE(std::all_of(played.begin(), played.end(), [](int16_t s) { return s == 77; }));
}

TEST(AlsaListing, EntriesAreNamedByBothHintLinesAndListedAsADesktopUserPicksThem) {
  const std::vector<AlsaSoundDevice::Hint> hints = {
      {"null", "Discard all samples (playback) or generate zero samples (capture)", ""},
      {"hw:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog\nDirect hardware device without any conversions", ""},
      {"pulse", "PulseAudio Sound Server", ""},
      {"front:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog\nFront output / input", ""},
      {"default", "Default ALSA Output (currently PulseAudio Sound Server)", ""},
      {"plughw:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog\nHardware device with all software conversions", ""},
      {"hw:CARD=USB,DEV=0", "USB Headset\nUSB Audio", "Output"},
      {"hw:CARD=USB2,DEV=0", "USB Headset\nUSB Audio", "Input"},
  };
  const auto entries = AlsaSoundDevice::ArrangeHints(hints);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"default", "Default ALSA Output (currently PulseAudio Sound Server)"},
      {"pulse", "PulseAudio Sound Server"},
      {"hw:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog (Direct hardware device without any conversions)"},
      {"front:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog (Front output / input)"},
      {"plughw:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog (Hardware device with all software conversions)"},
      {"hw:CARD=USB,DEV=0", "USB Headset (USB Audio) [hw:CARD=USB,DEV=0]"},
      {"hw:CARD=USB2,DEV=0", "USB Headset (USB Audio) [hw:CARD=USB2,DEV=0]"},
  };
  ASSERT_EQ(entries.size(), expected.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].name, expected[i].first);
    EXPECT_EQ(entries[i].description, expected[i].second);
  }
  EXPECT_TRUE(entries[5].canPlay && !entries[5].canCapture);
  EXPECT_TRUE(!entries[6].canPlay && entries[6].canCapture);
}

TEST(AlsaListing, TheNullPcmIsNeverListedAndDefaultComesFirst) {
  const auto devices = AlsaSoundDevice::ListDevices();
  for (size_t i = 0; i < devices.size(); ++i) {
    EXPECT_NE(devices[i].name, "null");
    if (devices[i].name == "default") {
      EXPECT_EQ(i, 0u);
    }
  }
}

}  // namespace
}  // namespace tw::dsound
