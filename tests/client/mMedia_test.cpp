// The engine with the real media behind its seams: the recorder and players
// on virtual sound devices, the capture form on the synthetic camera and the
// video codec. The recorder's events reach the engine's setters, a talker
// plays on the device chosen before its talk, frames cross from the capture's
// streaming thread (run this one under ThreadSanitizer too), and a talk of
// three carries pictures and speech between every pair.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client_harness.h"
#include "media_fakes.h"
#include "platform/dsound/dsound.h"
#include "platform/dsound/virtual_device.h"
#include "speech_match.h"
#include "talk_rig.h"
#include "tests/audio/voice_rig.h"
#include "tests/audio/wav_file.h"
#include "tests/video/camera_fixture.h"
#include "video/mCBitmap.h"

using namespace tw;
using namespace tw::test;
namespace cln = tw::cln;

namespace {

class RealMedia : public tw::testing::CameraFixture {};

std::shared_ptr<dsound::VirtualSoundDevice> Device(const std::string& name) {
  return std::make_shared<dsound::VirtualSoundDevice>(name);
}

// Answers invitations with audio only.
TAnswer AcceptAudio() {
  return [](cln::TPeerHandle, bool& okay, bool& audio, bool& video) {
    okay = true;
    audio = true;
    video = false;
  };
}

double Rms(const std::vector<int16_t>& s, size_t from = 0) {
  double sum = 0;
  for (size_t i = from; i < s.size(); ++i) sum += double(s[i]) * s[i];
  return s.size() > from ? std::sqrt(sum / double(s.size() - from)) : 0;
}

// Real media on a manual clock: time moves in 1 ms steps, every timer due runs.
void RunFor(THarness& h, uint32_t ms) {
  for (uint32_t i = 0; i < ms; ++i) {
    h.Clock().Advance(1);
    win32::ProcessMessages();
  }
}

TEST_F(RealMedia, TheRecordersEventsReachTheEngineSettersAndTheTalkPlaysOnTheChosenDevice) {
  THarness h({.manualClock = true});
  auto mic = Device("Mic"), first = Device("Speaker one"), second = Device("Speaker two");
  // One second of a loud tone in the detector's band, then silence.
  // (The player takes out 375 to 594 Hz: the listener hears the 1 kHz part.)
  std::vector<int16_t> tone = Tone(500, 10000, 16000);
  const std::vector<int16_t> upper = Tone(1000, 10000, 16000);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>(tone[i] + upper[i]);
  mic->CaptureSamples(tone);
  dsound::ScopedSoundDevices installed({mic, first, second});
  TClient& a = h.AddClient();
  TClient& b = h.AddClient();
  std::vector<std::string> heard;
  a->SetOnStartRecording([&] { heard.push_back("start"); });
  a->SetOnStopRecording([&] { heard.push_back("stop"); });
  a->SetOnStartAudioOverload([&] { heard.push_back("loud"); });
  a->SetOnStopAudioOverload([&] { heard.push_back("loud end"); });
  a->SetNoiseLevel(0);  // every frame with energy in the band is voice
  b->SetMuteRecording(true);
  EXPECT_EQ(b->GetPlaybackDeviceCount(), 4);  // the default entry and three devices
  EXPECT_EQ(b->GetPlaybackDeviceName(3), u"Speaker two");
  b->SetPlaybackDevice(3);
  size_t played = 0;
  b->Events.OnWavePlayed = [&](cln::TPeerHandle, cln::TBytes s) { played += s.size(); };
  WatchTalks(b, AcceptAudio());
  ASSERT_TRUE(h.Open(a, u"a"));
  ASSERT_TRUE(h.Open(b, u"b"));
  ASSERT_TRUE(h.Run([&] { return a.Handle(u"b") != 0 && b.Handle(u"a") != 0; }));
  a->SetRecordingDevice(1);
  ASSERT_TRUE(a->BeginTalk(a.Handle(u"b"), true, false));
  ASSERT_TRUE(h.Run([&] { return b.Saw("began a") && a->GetTalkCount() == 1; }));
  const uint32_t start = h.Clock().Now();
  RunFor(h, 1600);
  EXPECT_EQ(heard, (std::vector<std::string>{"start", "loud", "loud end", "stop"}));
  // The packets travel in real time while the test clock stands; then b's
  // speaker plays them out.
  EXPECT_TRUE(h.Run([&] { return played >= 28000; }));  // most of the second of tone
  RunFor(h, 1000);
  // The tone reached the second speaker only.
  auto sink = second->Played();
  const size_t from = second->SinkIndexAt(start);
  ASSERT_GT(sink.size(), from);
  EXPECT_GT(Rms(sink, from), 1000);
  EXPECT_LT(Rms(first->Played()), 1);
  // An ended talk tells the recorder's stop event too.
  a->EndTalk();
  EXPECT_EQ(heard.back(), "stop");
  EXPECT_EQ(heard.size(), 5u);
  h.Clients().clear();
}

TEST_F(RealMedia, ASoundDeviceThatFailsFailsBeginTalkWith50AndReleasesTheMedia) {
  THarness h({.manualClock = true});
  auto device = Device("Failing");
  dsound::ScopedSoundDevices installed({device});
  TClient& a = h.AddClient();
  ASSERT_TRUE(h.OpenMesh(2));
  std::vector<std::string> reports;
  a->Mate().Mill().Events.OnMillReport = [&](const std::string& text) { reports.push_back(text); };
  device->FailOpen(1);
  EXPECT_FALSE(a->BeginTalk(a.Handle(u"c1"), true, false));
  EXPECT_EQ(a->GetLastError(), cln::errMediaFailed);
  // The reason reaches the report that the control writes to its error log,
  // followed by the operation that failed for it.
  EXPECT_EQ(reports, (std::vector<std::string>{"*EXP*  CDSPlay.Start: DirectSoundCreate failed ($88780078)",
                                               "*EXP*  TTalkUnit.BeginTalk: the player did not start"}));
  EXPECT_EQ(a->GetCaller(), 0);
  EXPECT_TRUE(a->BeginTalk(a.Handle(u"c1"), true, false));
  h.Clients().clear();
}

// What the capture form catches reaches the error log too.
TEST_F(RealMedia, ACameraThatFailsToStartIsReportedToTheErrorLog) {
  auto cam = tw::testing::Camera("Broken camera", {tw::testing::Video(dshow::MEDIASUBTYPE_RGB24, 160, 120, 24)});
  cam.failStart = true;
  UseCameras({cam});
  THarness h;
  TClient& a = h.AddClient();
  ASSERT_TRUE(h.OpenMesh(2));
  std::vector<std::string> reports;
  a->Mate().Mill().Events.OnMillReport = [&](const std::string& text) { reports.push_back(text); };
  a->FindCaptureCapabilities();
  EXPECT_FALSE(a->BeginTalk(a.Handle(u"c1"), false, true));
  // The capture's reason, then the operation that failed for it.
  EXPECT_EQ(reports, (std::vector<std::string>{
                         "*EXP*  TCapture.StartCapture: No capture hardware is available. ($80040258).",
                         "*EXP*  TTalkUnit.BeginTalk: the capture did not start"}));
  h.Clients().clear();
}

// A camera's name reaches the engine's device list with every letter.
TEST_F(RealMedia, CaptureDeviceNamesKeepTheirLetters) {
  UseCameras({tw::testing::Camera("Kamera f\xC3\xBCr \xC3\x9C / \xE2\x82\xAC / \xE6\x91\x84", {}),
              tw::testing::Camera("Plain", {})});
  THarness h;
  TClient& a = h.AddClient();
  a->FindCaptureCapabilities();
  ASSERT_EQ(a->GetCaptureDeviceCount(), 2);
  EXPECT_EQ(a->GetCaptureDeviceName(0), u"Kamera f\u00FCr \u00DC / \u20AC / \u6444");
  EXPECT_EQ(a->GetCaptureDeviceName(1), u"Plain");
  EXPECT_EQ(a->GetCaptureDeviceName(2), u"");
}

// The capture's frames are taken over on its streaming thread while the
// engine's timer encodes them; the engine is destroyed while frames arrive.
TEST_F(RealMedia, FramesFromTheCaptureThreadReachTheOtherTalker) {
  UseCameras({tw::testing::Camera("Fast camera", {tw::testing::Video(dshow::MEDIASUBTYPE_RGB24, 160, 120, 24)})});
  auto device = Device("Quiet");
  dsound::ScopedSoundDevices installed({device});
  THarness h;
  TMediaLog bMedia;
  TClient& a = h.AddClient();
  TClient& b = h.AddClient(std::make_shared<TFakeMedia>(bMedia));
  ASSERT_TRUE(h.OpenMesh(2));
  WatchTalks(b, Accept());
  a->FindCaptureCapabilities();
  ASSERT_EQ(a->GetCaptureDeviceCount(), 1);
  std::atomic<int> remote{0}, local{0};
  b->Events.OnRemoteFrame = [&](cln::TPeerHandle, cln::TBytes image) {
    EXPECT_EQ(image.size(), kBmpHeaderBytes + 160 * 120 * 4);
    ++remote;
  };
  a->Events.OnLocalFrame = [&](cln::TBytes image) {
    EXPECT_EQ(image.size(), kBmpHeaderBytes + 160 * 120 * 3);
    ++local;
  };
  ASSERT_TRUE(a->BeginTalk(a.Handle(u"c1"), false, true));
  EXPECT_TRUE(h.Run([&] { return remote >= 20; }, 10000));
  EXPECT_GE(local, remote);
  h.Clients().erase(h.Clients().begin());  // a goes while its camera runs
  EXPECT_TRUE(h.Run([&] { return b->GetTalkCount() == 0; }));
  h.Clients().clear();
}

// --- Three talkers ---------------------------------------------------------------------------------

// PSNR of a 32-bit BmpImage against the synthetic camera's frame n.
double Psnr(const std::string& image, int width, int height, uint64_t n) {
  const win32::Bitmap expected = tw::testing::ExpectedFrame(width, height, n);
  double error = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 3; ++c) {
        const double d = double(uint8_t(image[kBmpHeaderBytes + (size_t(y) * width + x) * 4 + c])) -
                         double(expected.Bits()[size_t(y) * expected.Stride() + size_t(x) * 3 + c]);
        error += d * d;
      }
  const double mse = error / (double(width) * height * 3);
  return mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99;
}

TEST_F(RealMedia, ATalkOfThreeCarriesPicturesAndSpeechBetweenEveryPair) {
  const std::vector<int16_t> speech = ReadWav16Mono(TestDataPath("speech_16k.wav")).samples;
  ASSERT_GT(speech.size(), 2 * 22400u + 16000u);
  // Each talker says its own second of the speech in a turn of its own, the
  // others being silent meanwhile (a player turns a talker down while its
  // listener speaks).
  constexpr size_t kLead = 12800, kTurn = 20800, kPart = 16000;  // 0.8 s, 1.3 s, 1 s
  std::vector<std::vector<int16_t>> voices(3);
  for (size_t i = 0; i < 3; ++i) {
    voices[i].assign(kLead + i * kTurn, 0);
    const auto part = speech.begin() + static_cast<std::ptrdiff_t>(i * 22400);
    voices[i].insert(voices[i].end(), part, part + kPart);
  }
  std::vector<std::shared_ptr<dsound::VirtualSoundDevice>> devices;
  for (size_t i = 0; i < 3; ++i) {
    devices.push_back(Device("Talker " + std::to_string(i)));
    devices[i]->CaptureSamples(voices[i]);
  }
  dsound::ScopedSoundDevices installed({devices[0], devices[1], devices[2]});

  struct TReceived {
    std::map<cln::TPeerHandle, std::vector<int16_t>> audio;
    std::map<cln::TPeerHandle, int> frames;
    std::map<cln::TPeerHandle, std::string> last;
  };
  std::vector<TReceived> got(3);
  // On the test clock: the sound devices and the engines' timers move only
  // with it, and every 10 ms the session settles, so whatever a talker sent
  // in one period has arrived before the next, however busy the machine is.
  // Only the camera's frames come in real time.
  THarness h({.manualClock = true});
  const auto started = std::chrono::steady_clock::now();
  for (size_t i = 0; i < 3; ++i) {
    TClient& c = h.AddClient();
    c->SetRecordingDevice(static_cast<int32_t>(i) + 1);
    c->SetPlaybackDevice(static_cast<int32_t>(i) + 1);
    c->FindCaptureCapabilities();
    TReceived& r = got[i];
    c->Events.OnWavePlayed = [&r](cln::TPeerHandle p, cln::TBytes s) {
      auto& v = r.audio[p];
      const auto* samples = reinterpret_cast<const int16_t*>(s.data());
      v.insert(v.end(), samples, samples + s.size() / 2);
    };
    c->Events.OnRemoteFrame = [&r](cln::TPeerHandle p, cln::TBytes image) {
      ++r.frames[p];
      r.last[p].assign(reinterpret_cast<const char*>(image.data()), image.size());
    };
  }
  ASSERT_TRUE(h.OpenMesh(3));
  for (size_t i = 0; i < 3; ++i) WatchTalks(h[i], Accept());
  ASSERT_TRUE(h[0]->BeginTalk(h[0].Handle(u"c1"), true, true));
  ASSERT_TRUE(h.Run([&] { return h[0].Saw("began c1"); }));
  ASSERT_TRUE(h[0]->BeginTalk(h[0].Handle(u"c2"), true, true));
  ASSERT_TRUE(h.Run([&] {
    return h[0]->GetTalkCount() == 2 && h[1]->GetTalkCount() == 2 && h[2]->GetTalkCount() == 2;
  }));
  for (uint32_t ms = 0; ms < (kLead + 3 * kTurn) / 16 + 300; ms += 10) {
    h.Clock().Advance(10);
    ASSERT_TRUE(h.Settle());
  }
  // The camera's frame numbers grow with real time (16 a second).
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const auto lastFrame = static_cast<uint64_t>(seconds * 16) + 16;
  h[0]->EndTalk();
  h[1]->EndTalk();

  for (size_t i = 0; i < 3; ++i)
    for (size_t j = 0; j < 3; ++j) {
      if (i == j) continue;
      const cln::TPeerHandle from = h[i].Handle(u"c" + win32::Utf8ToUtf16(std::to_string(j)));
      SCOPED_TRACE("c" + std::to_string(i) + " from c" + std::to_string(j));
      // Pictures: the camera's test pattern, decoded.
      EXPECT_GE(got[i].frames[from], 16);
      const std::string& image = got[i].last[from];
      ASSERT_EQ(image.size(), kBmpHeaderBytes + 160 * 120 * 4);
      double best = 0;
      for (uint64_t n = 0; n <= lastFrame; ++n) best = std::max(best, Psnr(image, 160, 120, n));
      EXPECT_GT(best, 20.0);
      // Speech: the talker's own voice.
      // Against the microphone, and against what a lossless path would have
      // played (the player's own notch applied to the microphone's signal).
      const TSpeechMatch m = MatchSpeech(got[i].audio[from], voices[j]);
      const TSpeechMatch coded = MatchSpeech(got[i].audio[from], PlayerShaped(voices[j]));
      std::printf("c%zu hears c%zu: %zu frames (PSNR %.1f dB); %zu segments of speech, correlation %.2f, SNR %.1f dB "
                  "against the microphone, %.1f dB against its notched signal\n",
                  i, j, size_t(got[i].frames[from]), best, m.segments, m.correlation, m.snrDb, coded.snrDb);
      EXPECT_GE(m.segments, 4u);
      EXPECT_GT(Rms(got[i].audio[from]), 300);  // audible
      EXPECT_GT(m.correlation, 0.6);
      EXPECT_GT(coded.snrDb, 12.0);
    }
  h.Clients().clear();
}

}  // namespace
