// The ALSA backend against alsa-lib's own file and null plugins: the real
// library and the real device threads, without a sound card.
#include "platform/dsound/alsa_device.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/win32/tick.h"

namespace tw::dsound {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<int16_t> ReadSamples(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> s(b.size() / 2);
  std::memcpy(s.data(), b.data(), s.size() * 2);
  return s;
}

std::vector<int16_t> Ramp(size_t n) {
  std::vector<int16_t> s(n);
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<int16_t>(i * 3 + 1);
  return s;
}

class Alsa : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("tw_alsa_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    ::setenv("TW_ALSA_PLAY_FILE", (dir_ / "played.raw").c_str(), 1);
    ::setenv("TW_ALSA_CAPTURE_FILE", (dir_ / "heard.raw").c_str(), 1);
    format_.wFormatTag = WAVEFORMATEX::kFormatPcm;
    format_.nChannels = 1;
    format_.nSamplesPerSec = 16000;
    format_.wBitsPerSample = 16;
    format_.nBlockAlign = 2;
    format_.nAvgBytesPerSec = 32000;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::shared_ptr<AlsaSoundDevice> Device(const char* pcm, bool play, bool capture) {
    return std::make_shared<AlsaSoundDevice>(pcm, pcm, play, capture, ReadText(TW_ALSA_TEST_CONF));
  }

  win32::ScopedManualTick tick_{1'000};
  fs::path dir_;
  WAVEFORMATEX format_;
};

TEST_F(Alsa, PlaybackHandsTheRingToThePcmAtTheClocksPace) {
  auto speaker = Device("twtest_play", true, false);
  ScopedSoundDevices installed({speaker});
  std::unique_ptr<IDirectSound> ds;
  ASSERT_EQ(DirectSoundCreate(nullptr, &ds), DS_OK);
  ASSERT_EQ(ds->SetCooperativeLevel(1, DSSCL_NORMAL), DS_OK);
  DSBUFFERDESC desc;
  desc.dwBufferBytes = 16000;
  desc.lpwfxFormat = &format_;
  std::unique_ptr<IDirectSoundBuffer> ring;
  ASSERT_EQ(ds->CreateSoundBuffer(desc, &ring), DS_OK);
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

  const auto played = ReadSamples(dir_ / "played.raw");
  ASSERT_GE(played.size(), 16u * 200);
  ASSERT_LE(played.size(), ramp.size());
  EXPECT_TRUE(std::equal(played.begin(), played.end(), ramp.begin()));
  EXPECT_EQ(speaker->Xruns(), 0u);
}

TEST_F(Alsa, CaptureFillsTheRingFromThePcm) {
  const auto ramp = Ramp(16000);
  {
    std::ofstream out(dir_ / "heard.raw", std::ios::binary);
    out.write(reinterpret_cast<const char*>(ramp.data()), static_cast<std::streamsize>(ramp.size() * 2));
  }
  auto mic = Device("twtest_capture", false, true);
  ScopedSoundDevices installed({mic});
  std::unique_ptr<IDirectSoundCapture> dsc;
  ASSERT_EQ(DirectSoundCaptureCreate(nullptr, &dsc), DS_OK);
  DSCBUFFERDESC desc;
  desc.dwBufferBytes = 32000;
  desc.lpwfxFormat = &format_;
  std::unique_ptr<IDirectSoundCaptureBuffer> ring;
  ASSERT_EQ(dsc->CreateCaptureBuffer(desc, &ring), DS_OK);
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

TEST_F(Alsa, AnUnknownPcmFailsBufferCreation) {
  auto nobody = Device("twtest_nonexistent", true, true);
  ScopedSoundDevices installed({nobody});
  std::unique_ptr<IDirectSound> ds;
  ASSERT_EQ(DirectSoundCreate(nullptr, &ds), DS_OK);
  ASSERT_EQ(ds->SetCooperativeLevel(1, DSSCL_NORMAL), DS_OK);
  DSBUFFERDESC desc;
  desc.dwBufferBytes = 16000;
  desc.lpwfxFormat = &format_;
  std::unique_ptr<IDirectSoundBuffer> ring;
  EXPECT_EQ(ds->CreateSoundBuffer(desc, &ring), DSERR_NODRIVER);
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
