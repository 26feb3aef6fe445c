// The playback buffer on the real ALSA backend, through alsa-lib's file
// plugin (the test configuration of tests/platform): no sound card needed.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "audio/mDSound.h"
#include "platform/dsound/alsa_device.h"
#include "platform/win32/messages.h"
#include "platform/win32/tick.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

TEST(PlaybackOnAlsa, PushedSoundReachesThePcmAfterTheWriteCursor) {
  const fs::path dir = fs::temp_directory_path() / ("tw_alsa_play_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  ::setenv("TW_ALSA_PLAY_FILE", (dir / "played.raw").c_str(), 1);
  std::ifstream conf(TW_ALSA_TEST_CONF);
  const std::string text((std::istreambuf_iterator<char>(conf)), std::istreambuf_iterator<char>());
  {
    win32::ScopedManualTick tick(50'000);
    auto speaker = std::make_shared<dsound::AlsaSoundDevice>("twtest_play", "test speaker", true, false, text);
    dsound::ScopedSoundDevices installed({speaker});
    CDSPlay play(1);
    ASSERT_EQ(play.DeviceCount(), 2);
    ASSERT_TRUE(play.Start());
    ASSERT_TRUE(speaker->WaitForFrames(480, 5000));  // one latency goes out at once
    std::vector<int16_t> tone(4000, 1234);
    ASSERT_TRUE(play.PushData(reinterpret_cast<const uint8_t*>(tone.data()), tone.size() * 2));
    for (int ms = 0; ms < 600; ms += 10) {
      tick.Advance(10);
      win32::ProcessMessages();
    }
    ASSERT_TRUE(speaker->WaitForFrames(16 * 600, 5000));
    EXPECT_TRUE(play.Stop());
  }
  std::ifstream in(dir / "played.raw", std::ios::binary);
  const std::vector<char> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<int16_t> played(b.size() / 2);
  std::memcpy(played.data(), b.data(), played.size() * 2);
  fs::remove_all(dir);
  const auto first = std::find(played.begin(), played.end(), int16_t{1234});
  ASSERT_NE(first, played.end());
  EXPECT_EQ(std::count(played.begin(), played.end(), int16_t{1234}), 4000);
  EXPECT_TRUE(std::all_of(first, first + 4000, [](int16_t s) { return s == 1234; }));
  // Nothing but silence before and after it.
  EXPECT_EQ(std::count(played.begin(), played.end(), int16_t{0}), static_cast<long>(played.size() - 4000));
}

}  // namespace
}  // namespace tw
