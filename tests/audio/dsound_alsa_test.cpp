// The playback buffer on the real ALSA backend, through alsa-lib's file
// plugin (the test configuration of tests/platform): no sound card needed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <filesystem>
#include <fstream>

#include "audio/mDSAudio.h"
#include "audio/mDSound.h"
#include "platform/dsound/alsa_device.h"
#include "platform/win32/messages.h"
#include "platform/win32/tick.h"
#include "tests/platform/dsound/alsa_test_files.h"
#include "tests/support/manual_tick.h"

namespace tw {
namespace {

namespace fs = std::filesystem;

TEST(PlaybackOnAlsa, PushedSoundReachesThePcmAfterTheWriteCursor) {
  const test::AlsaTestFiles files;
  {
    win32::ScopedManualTick tick(50'000);
    auto speaker = std::make_shared<dsound::AlsaSoundDevice>("twtest_play", "test speaker", true, false,
                                                             test::AlsaTestFiles::Config());
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
  const std::vector<int16_t> played = files.Played();
  const auto first = std::find(played.begin(), played.end(), int16_t{1234});
  ASSERT_NE(first, played.end());
  EXPECT_EQ(std::count(played.begin(), played.end(), int16_t{1234}), 4000);
  EXPECT_TRUE(std::all_of(first, first + 4000, [](int16_t s) { return s == 1234; }));
  // Nothing but silence before and after it.
  EXPECT_EQ(std::count(played.begin(), played.end(), int16_t{0}), static_cast<long>(played.size() - 4000));
}

// A test directory with the test configuration's files, and the devices.
class AlsaVoice : public ::testing::Test {
 protected:
  void SetUp() override {
    // Two seconds of a 500 Hz tone: voice in the recorder's detector band.
    std::vector<int16_t> tone(32000);
    for (size_t i = 0; i < tone.size(); ++i)
      tone[i] = static_cast<int16_t>(std::lround(8000 * std::sin(2 * 3.14159265358979 * 500 * static_cast<double>(i) / 16000)));
    files_.WriteHeard(tone);
  }

  std::shared_ptr<dsound::AlsaSoundDevice> Device(const char* pcm, bool play, bool capture) {
    return std::make_shared<dsound::AlsaSoundDevice>(pcm, pcm, play, capture, config_);
  }

  // Runs the 10 ms timers until `done` holds: the tick moves 10 ms a step,
  // and while the device threads may move up to `frames` frames in all,
  // each step waits until they caught up with it.
  template <typename Done>
  bool Run(dsound::AlsaSoundDevice& device, uint64_t frames, Done done) {
    uint64_t due = 0;
    for (int step = 0; step < 1000; ++step) {
      if (done()) return true;
      tick_.Advance(10);
      due += 160;
      if (due <= frames)
        device.WaitForFrames(due, 2000);
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      win32::ProcessMessages();
    }
    return done();
  }

  test::AlsaTestFiles files_;
  const std::string config_ = test::AlsaTestFiles::Config();
  win32::ScopedManualTick tick_{70'000};
};

// A capture device that fails after 30 periods ends the talk as silence
// would (marker, then the stop event), stops the recorder and says why; a
// later start opens the device again.
TEST_F(AlsaVoice, ARecorderWhoseDeviceFailsEndsItsTalkStopsAndSaysWhy) {
  auto mic = Device("twtest_capture", false, true);
  dsound::ScopedSoundDevices installed({mic});
  TRecorder rec;
  rec.SetThreshold(0);
  std::vector<std::string> log;
  std::vector<std::string> reasons;
  rec.OnTalkStart = [&](TRecorder&) { log.push_back("start"); };
  rec.OnTalkStop = [&](TRecorder&) { log.push_back("stop"); };
  rec.OnPacket = [&](TRecorder&, const uint8_t*, const uint8_t*, size_t, size_t pcmSize) {
    log.push_back(pcmSize == 4 ? "marker" : "packet");
  };
  rec.OnFailure = [&](const std::string& reason) { reasons.push_back(reason); };
  mic->FailAfterFrames(30 * 160);
  ASSERT_TRUE(rec.Start());
  ASSERT_TRUE(Run(*mic, 30 * 160, [&] { return !reasons.empty(); }));

  ASSERT_EQ(reasons.size(), 1u);
  EXPECT_NE(reasons[0].find("twtest_capture: " + std::string(std::strerror(ENODEV))), std::string::npos) << reasons[0];
  EXPECT_FALSE(rec.Running());
  EXPECT_FALSE(rec.Capture().Active());
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log.front(), "start");
  EXPECT_EQ(log[log.size() - 2], "marker");
  EXPECT_EQ(log.back(), "stop");
  EXPECT_EQ(std::count(log.begin(), log.end(), "packet"), 30 * 160 / 512);

  mic->FailAfterFrames(-1);
  EXPECT_TRUE(rec.Start());
  EXPECT_TRUE(rec.Capture().Active());
  EXPECT_TRUE(rec.Stop());
}

// A playback device that fails after 30 periods stops the player: it says
// why and takes no more packets (nothing more reported as played).
TEST_F(AlsaVoice, APlayerWhoseDeviceFailsStopsTakingPacketsAndSaysWhy) {
  auto speaker = Device("twtest_play", true, false);
  dsound::ScopedSoundDevices installed({speaker});
  TPlayer player;
  std::vector<std::string> reasons;
  int played = 0;
  player.OnFailure = [&](const std::string& reason) { reasons.push_back(reason); };
  player.OnPlayed = [&](TPlayer&, const uint8_t*, size_t) { ++played; };
  CVodec codec;
  std::array<int16_t, 512> frame{};
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<int16_t>(3000 * std::sin(0.3 * static_cast<double>(i)));
  std::array<uint8_t, vodec::kMaxPacketBytes> packet{};
  const size_t size = codec.Encode(frame, packet);
  ASSERT_TRUE(player.Start());
  speaker->FailAfterFrames(30 * 160);
  ASSERT_TRUE(Run(*speaker, 30 * 160, [&] {
    if (player.Started()) player.PlayPacket(packet.data(), size);
    return !reasons.empty();
  }));
  ASSERT_EQ(reasons.size(), 1u);
  EXPECT_NE(reasons[0].find("twtest_play: " + std::string(std::strerror(ENODEV))), std::string::npos) << reasons[0];
  EXPECT_FALSE(player.Started());
  EXPECT_FALSE(player.Playback().Active());
  const int before = played;
  player.PlayPacket(packet.data(), size);
  EXPECT_EQ(played, before);
}

// A start that fails says which step failed and alsa-lib's reason.
TEST_F(AlsaVoice, AFailedStartCarriesTheDevicesReason) {
  auto nobody = Device("twtest_nonexistent", true, true);
  dsound::ScopedSoundDevices installed({nobody});
  CDSPlay play(1);
  CDSRecord record(1);
  std::vector<std::string> reasons;
  play.OnFailure = [&](DeviceFailure kind, const std::string& reason) {
    EXPECT_EQ(kind, DeviceFailure::Start);
    reasons.push_back(reason);
  };
  record.OnFailure = play.OnFailure;
  EXPECT_FALSE(play.Start());
  EXPECT_FALSE(record.Start());
  const std::string why = "twtest_nonexistent: " + std::string(std::strerror(ENOENT));
  ASSERT_EQ(reasons.size(), 2u);
  EXPECT_EQ(reasons[0], "CDSPlay.Start: CreateSoundBuffer failed ($88780078): " + why);
  EXPECT_EQ(reasons[1], "CDSRecord.Start: CreateCaptureBuffer failed ($88780078): " + why);
}

// Each new device object lists the devices afresh (alsa-lib's name hints,
// here from a configuration the test rewrites), so a headset plugged in
// before the next talk is listed, named by both lines of its hint.
TEST_F(AlsaVoice, ANewDeviceObjectListsADevicePluggedInMeanwhile) {
  const fs::path conf = files_.File("asound.conf");
  auto write = [&](bool headset) {
    std::ofstream out(conf);
    out << "pcm.twtest_speaker { type null hint { show on description \"Test card\nAnalog output\" } }\n";
    if (headset) out << "pcm.twtest_headset { type null hint { show on description \"Test card\nHeadset\" } }\n";
  };
  auto names = [](const CDSPlay& play) {
    std::vector<std::string> list;
    for (int i = 0; i < play.DeviceCount(); ++i) list.push_back(play.DeviceName(i));
    return list;
  };
  write(false);
  const char* previous = std::getenv("ALSA_CONFIG_PATH");
  const std::string saved = previous != nullptr ? previous : "";
  ::setenv("ALSA_CONFIG_PATH", conf.c_str(), 1);
  std::vector<std::string> before, after;
  {
    CDSPlay first(1);
    before = names(first);
    write(true);
    // alsa-lib reloads a configuration whose time stamp changed.
    fs::last_write_time(conf, fs::last_write_time(conf) + std::chrono::seconds(2));
    CDSPlay second(1);
    after = names(second);
  }
  if (previous != nullptr)
    ::setenv("ALSA_CONFIG_PATH", saved.c_str(), 1);
  else
    ::unsetenv("ALSA_CONFIG_PATH");
  CDSPlay restored(1);  // lists the system's devices again

  const std::vector<std::string> expectedBefore = {"Default playback device", "Test card (Analog output)",
                                                   "Virtual sound device"};
  const std::vector<std::string> expectedAfter = {"Default playback device", "Test card (Analog output)",
                                                  "Test card (Headset)", "Virtual sound device"};
  EXPECT_EQ(before, expectedBefore);
  EXPECT_EQ(after, expectedAfter);
}

}  // namespace
}  // namespace tw
