// Timing program: a talk of two and of four client engines through the
// server's hub on loopback, with the real media: each client's recorder and
// player on a virtual sound device of its own and its capture on the
// synthetic camera at 640x480, quality 3. All engines and the server share
// this process and its main thread (as the tests do); cameras and pumps run
// on their own threads.
//
// Each talker says its own part of a speech recording in a turn of its own
// (the player turns a talker down while its listener speaks). Figures:
//   video   frames per second each listener receives from each talker, and the
//           delay from the camera's delivery of a frame to OnRemoteFrame at the
//           listener (median, 95th percentile, maximum)
//   audio   mouth-to-ear delay: from the talker's microphone to the listener's
//           speaker, by cross-correlation per 128 ms of speech (median, p95,
//           maximum); the parts are long enough for some 240 segments over all
//           pairs of talker and listener, however many parties talk
// A tail percentile is printed only where at least five samples lie beyond
// it; every figure says how many samples it has.
//   cpu     the process's CPU per client (server and all threads included,
//           divided by the number of clients), the main thread's share, and the
//           encode and decode time per frame
// Usage: talks_bench [parties...] (default: 2 4). Needs TW_TEST_DATA or the
// working directory at the source root for tests/data/speech_16k.wav.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/bench_engines.h"
#include "bench/bench_support.h"
#include "client/mParleyCln.h"
#include "platform/dshow/camera.h"
#include "platform/dsound/dsound.h"
#include "platform/dsound/virtual_device.h"
#include "platform/win32/messages.h"
#include "platform/win32/text.h"
#include "platform/win32/tick.h"
#include "server/mParleySrv.h"
#include "tests/audio/voice_compare.h"

using namespace tw;
namespace cln = tw::cln;
using Clock = std::chrono::steady_clock;

namespace {

using bench::Ms;
using bench::StartServer;
using bench::ThreadCpuMs;

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<size_t>(p * double(v.size() - 1) + 0.5))];
}

// A tail percentile means something only with a few samples beyond it: at
// least kTailSamples (a p95 needs 100 samples, a p99 500).
constexpr double kTailSamples = 5;

// "median M ms, pNN T ms (n samples)", the tail left out (with the maximum
// instead) where the sample is too small for it.
std::string Spread(const std::vector<double>& v, double tail) {
  char text[160];
  const int tailPct = static_cast<int>(tail * 100 + 0.5);
  if (v.empty()) {
    std::snprintf(text, sizeof text, "no samples");
  } else if (double(v.size()) * (1 - tail) >= kTailSamples) {
    std::snprintf(text, sizeof text, "median %.1f ms, p%d %.1f ms, max %.1f ms (%zu samples)", Percentile(v, 0.5),
                  tailPct, Percentile(v, tail), Percentile(v, 1), v.size());
  } else {
    std::snprintf(text, sizeof text, "median %.1f ms, max %.1f ms (%zu samples: too few for a p%d)",
                  Percentile(v, 0.5), Percentile(v, 1), v.size(), tailPct);
  }
  return text;
}

// --- Speech ------------------------------------------------------------------------------

std::vector<int16_t> ReadSpeech() {
  const char* dir = std::getenv("TW_TEST_DATA");
  const std::string path = std::string(dir ? dir : "tests/data") + "/speech_16k.wav";
  std::ifstream f(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  // The "data" chunk of a 16-bit mono PCM file.
  for (size_t i = 12; i + 8 <= bytes.size();) {
    uint32_t size = 0;
    std::memcpy(&size, &bytes[i + 4], 4);
    if (std::memcmp(&bytes[i], "data", 4) == 0) {
      std::vector<int16_t> s(std::min<size_t>(size, bytes.size() - i - 8) / 2);
      std::memcpy(s.data(), &bytes[i + 8], s.size() * 2);
      return s;
    }
    i += 8 + size + (size & 1);
  }
  std::fprintf(stderr, "cannot read %s\n", path.c_str());
  std::exit(1);
}

// `length` samples of the speech from `from` on, wrapping round at its end.
std::vector<int16_t> SpeechPart(const std::vector<int16_t>& speech, size_t from, size_t length) {
  std::vector<int16_t> part;
  part.reserve(length);
  for (size_t i = 0; i < length; ++i) part.push_back(speech[(from + i) % speech.size()]);
  return part;
}

constexpr size_t kSegment = 2048;  // 128 ms at 16 kHz

// The delay (ms) of each loud 128 ms segment of `in` found in `out`, up to `maxLag` samples.
std::vector<double> SegmentDelays(const std::vector<int16_t>& in, const std::vector<int16_t>& out, size_t maxLag) {
  std::vector<double> delays;
  for (const test::SegmentMatch& m : test::MatchSegments(in, out, kSegment, maxLag))
    if (m.correlation > 0.4) delays.push_back(m.delayMs);
  return delays;
}

// --- Frame timing: which capture a received frame came from ------------------------------------

uint64_t SampleHash(const uint8_t* p, size_t n) {
  uint64_t h = 1469598103934665603ull ^ n;
  for (size_t i = 0; i < n; i += 61) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

struct TFrameTimes {
  std::mutex lock;
  std::unordered_map<uint64_t, Clock::time_point> captured;  // by picture
  std::unordered_map<uint64_t, Clock::time_point> encoded;   // by coded frame: its capture time
  std::vector<double> encodeMs, decodeMs;
};

class TTimedCapture final : public cln::ICaptureSource {
 public:
  TTimedCapture(std::unique_ptr<cln::ICaptureSource> real, TFrameTimes& times) : real_(std::move(real)), times_(times) {
    real_->OnFrame = [this](const win32::Bitmap& f) {
      const uint64_t h = SampleHash(f.Bits().data(), f.Bits().size());
      {
        // The synthetic camera shows the same pictures again after a while:
        // the latest capture of a picture is the one being coded.
        std::lock_guard g(times_.lock);
        times_.captured[h] = Clock::now();
      }
      if (OnFrame) OnFrame(f);
    };
  }
  bool StartCapture() override { return real_->StartCapture(); }
  bool StopCapture() override { return real_->StopCapture(); }
  void EnumerateDevices() override { real_->EnumerateDevices(); }
  int32_t DeviceCount() override { return real_->DeviceCount(); }
  std::string DeviceName(int32_t i) override { return real_->DeviceName(i); }
  bool SetDeviceIndex(int32_t i) override { return real_->SetDeviceIndex(i); }
  int32_t FormatCount() override { return real_->FormatCount(); }
  bool GetFormatSize(int32_t i, int32_t& w, int32_t& h) override { return real_->GetFormatSize(i, w, h); }
  bool SetFormatIndex(int32_t i) override { return real_->SetFormatIndex(i); }

 private:
  std::unique_ptr<cln::ICaptureSource> real_;
  TFrameTimes& times_;
};

class TTimedEncoder final : public cln::IVideoEncoder {
 public:
  TTimedEncoder(std::unique_ptr<cln::IVideoEncoder> real, TFrameTimes& times) : real_(std::move(real)), times_(times) {}
  void SetQuality(int32_t q) override { real_->SetQuality(q); }
  std::span<const uint8_t> Encode(win32::Bitmap& bitmap, bool allowSkip) override {
    const uint64_t picture = SampleHash(bitmap.Bits().data(), bitmap.Bits().size());
    const auto t0 = Clock::now();
    const auto out = real_->Encode(bitmap, allowSkip);
    const double ms = Ms(Clock::now() - t0);
    std::lock_guard g(times_.lock);
    times_.encodeMs.push_back(ms);
    if (auto it = times_.captured.find(picture); it != times_.captured.end())
      times_.encoded[SampleHash(out.data(), out.size())] = it->second;
    return out;
  }

 private:
  std::unique_ptr<cln::IVideoEncoder> real_;
  TFrameTimes& times_;
};

class TTimedDecoder final : public cln::IVideoDecoder {
 public:
  TTimedDecoder(std::unique_ptr<cln::IVideoDecoder> real, TFrameTimes& times, Clock::time_point& lastCapture)
      : real_(std::move(real)), times_(times), lastCapture_(lastCapture) {}
  void Decode(win32::Bitmap& bitmap, cln::TBytes frame) override {
    const auto t0 = Clock::now();
    real_->Decode(bitmap, frame);
    const double ms = Ms(Clock::now() - t0);
    std::lock_guard g(times_.lock);
    times_.decodeMs.push_back(ms);
    auto it = times_.encoded.find(SampleHash(frame.data(), frame.size()));
    lastCapture_ = it != times_.encoded.end() ? it->second : Clock::time_point{};
  }

 private:
  std::unique_ptr<cln::IVideoDecoder> real_;
  TFrameTimes& times_;
  Clock::time_point& lastCapture_;
};

// The real media with timing around the capture and the codec.
class TTimedMedia final : public cln::TMediaFactory {
 public:
  explicit TTimedMedia(TFrameTimes& times) : times_(times) {}
  std::unique_ptr<cln::ICaptureSource> CreateCapture() override {
    return std::make_unique<TTimedCapture>(TMediaFactory::CreateCapture(), times_);
  }
  std::unique_ptr<cln::IVideoEncoder> CreateEncoder() override {
    return std::make_unique<TTimedEncoder>(TMediaFactory::CreateEncoder(), times_);
  }
  std::unique_ptr<cln::IVideoDecoder> CreateDecoder() override {
    return std::make_unique<TTimedDecoder>(TMediaFactory::CreateDecoder(), times_, lastCapture);
  }
  Clock::time_point lastCapture;  // of the frame this client decoded last

 private:
  TFrameTimes& times_;
};

// --- The talk ----------------------------------------------------------------------------------

double ProcessCpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
          double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0);
}

struct TClientRig {
  std::shared_ptr<dsound::VirtualSoundDevice> device;
  std::shared_ptr<TTimedMedia> media;
  std::unique_ptr<cln::TTWParleyCln> engine;
  std::vector<int16_t> voice;
  win32::DWORD micStart = 0;  // tick of the recorder's start
  std::map<std::u16string, int> frames;  // by talker name
  std::vector<double> frameDelays;
};

void Talk(size_t parties, const std::vector<int16_t>& speech) {
  // Each talker's part is long enough that the talk yields about
  // kAudioSegments segments of 128 ms over all pairs of talker and listener
  // (a few quiet ones drop out): enough for the p95 of the mouth-to-ear delay.
  constexpr size_t kAudioSegments = 240, kMinPartSegments = 12;
  const size_t pairs = parties * (parties - 1);
  const size_t part = kSegment * std::max(kMinPartSegments, (kAudioSegments + pairs - 1) / pairs);
  constexpr size_t kLead = 24000, kPause = 8000;  // 1.5 s of silence first, 0.5 s between turns
  const size_t turn = part + kPause;
  TFrameTimes times;  // outlives the engines, whose cameras write into it
  std::vector<TClientRig> rigs(parties);
  std::vector<std::shared_ptr<dsound::SoundDevice>> devices;
  for (size_t i = 0; i < parties; ++i) {
    rigs[i].device = std::make_shared<dsound::VirtualSoundDevice>("Client " + std::to_string(i));
    rigs[i].voice.assign(kLead + i * turn, 0);
    const std::vector<int16_t> words = SpeechPart(speech, (i * 24000) % speech.size(), part);
    rigs[i].voice.insert(rigs[i].voice.end(), words.begin(), words.end());
    rigs[i].device->CaptureSamples(rigs[i].voice);
    devices.push_back(rigs[i].device);
  }
  dsound::ScopedSoundDevices installed(devices);
  auto server = StartServer();
  const uint16_t port = server->Hub().Mill().ListeningPort();

  size_t bonded = 0;
  for (size_t i = 0; i < parties; ++i) {
    TClientRig& r = rigs[i];
    r.media = std::make_shared<TTimedMedia>(times);
    r.engine = std::make_unique<cln::TTWParleyCln>(r.media);
    cln::TTWParleyCln& c = *r.engine;
    c.SetRecordingDevice(static_cast<int32_t>(i) + 1);
    c.SetPlaybackDevice(static_cast<int32_t>(i) + 1);
    c.FindCaptureCapabilities();
    for (int32_t f = 0, w = 0, h = 0; f < c.GetFormatCount(); ++f)
      if (c.GetFormatSize(f, w, h) && w == 640) c.SelectCaptureFormat(f);
    c.Events.OnPeerConnected = [&](cln::TPeerHandle) { ++bonded; };
    c.Events.OnTalkInvited = [](cln::TPeerHandle, bool& okay, bool&, bool&) { okay = true; };
    auto started = [&r] {
      if (r.micStart == 0) r.micStart = win32::GetTickCount();
    };
    c.Events.OnTalkBegan = [started](cln::TPeerHandle) { started(); };
    c.Events.OnRemoteFrame = [&r, &c](cln::TPeerHandle p, cln::TBytes) {
      ++r.frames[c.GetPeerName(p)];
      if (r.media->lastCapture != Clock::time_point{}) r.frameDelays.push_back(Ms(Clock::now() - r.media->lastCapture));
    };
    c.OpenSession(u"127.0.0.1", port, u"c" + win32::Utf8ToUtf16(std::to_string(i)), u"pw");
    win32::RunUntil([&] { return c.GetSessionStatus() == cln::ssOpen; }, 10000);
  }
  if (!win32::RunUntil([&] { return bonded == parties * (parties - 1); }, 10000)) {
    std::fprintf(stderr, "peers did not bond\n");
    std::exit(1);
  }
  // c0 calls everyone in turn; each callee joins the talkers so far.
  cln::TTWParleyCln& c0 = *rigs[0].engine;
  rigs[0].micStart = win32::GetTickCount();
  for (size_t k = 0; k < c0.PeerCount(); ++k) {
    const cln::TPeerHandle h = k + 1;
    const int32_t talkers = c0.GetTalkCount();
    if (!c0.BeginTalk(h, true, true) || !win32::RunUntil([&] { return c0.GetTalkCount() == talkers + 1; }, 10000)) {
      std::fprintf(stderr, "talk with peer %d did not begin (%d)\n", h, c0.GetLastError());
      std::exit(1);
    }
  }
  win32::RunUntil([&] {
    for (auto& r : rigs)
      if (r.engine->GetTalkCount() != static_cast<int32_t>(parties) - 1) return false;
    return true;
  }, 10000);

  // Measure from now until every turn is over.
  const auto t0 = Clock::now();
  const double cpu0 = ProcessCpuMs(), main0 = ThreadCpuMs();
  for (auto& r : rigs) r.frames.clear(), r.frameDelays.clear();
  times.encodeMs.clear();
  times.decodeMs.clear();
  const win32::DWORD runMs = static_cast<win32::DWORD>((kLead + parties * turn) / 16 + 500);
  win32::RunUntil([] { return false; }, runMs);
  const double wallMs = Ms(Clock::now() - t0);
  const double cpuMs = ProcessCpuMs() - cpu0, mainMs = ThreadCpuMs() - main0;

  std::vector<double> fps, frameDelays, audioDelays;
  for (size_t l = 0; l < parties; ++l) {
    for (auto& [name, n] : rigs[l].frames) fps.push_back(n / (wallMs / 1000));
    frameDelays.insert(frameDelays.end(), rigs[l].frameDelays.begin(), rigs[l].frameDelays.end());
    const std::vector<int16_t> sink = rigs[l].device->Played();
    for (size_t t = 0; t < parties; ++t) {
      if (t == l) continue;
      const size_t origin = static_cast<size_t>(rigs[l].device->SinkIndexAt(rigs[t].micStart));
      if (origin >= sink.size()) continue;
      const std::vector<int16_t> out(sink.begin() + static_cast<std::ptrdiff_t>(origin), sink.end());
      const auto d = SegmentDelays(rigs[t].voice, out, 16 * 400);
      audioDelays.insert(audioDelays.end(), d.begin(), d.end());
    }
  }
  // The cameras still deliver: stop them before taking their lock for good.
  for (auto& r : rigs) r.engine->EndTalk();
  std::lock_guard g(times.lock);
  std::printf("%zu parties, %.1f s, 640x480 q3 at 16 frames/s captured:\n", parties, wallMs / 1000);
  std::printf("  video: %.1f frames/s per talker received (min %.1f, max %.1f over %zu pairs); capture to "
              "OnRemoteFrame %s\n",
              Percentile(fps, 0.5), Percentile(fps, 0), Percentile(fps, 1), fps.size(),
              Spread(frameDelays, 0.95).c_str());
  std::printf("  audio: mouth to ear %s, one sample a segment of 128 ms\n", Spread(audioDelays, 0.95).c_str());
  std::printf("  cpu: %.1f%% of a core per client (process %.1f%%, main thread %.1f%%); encode %.2f ms, "
              "decode %.2f ms per frame (median)\n",
              100 * cpuMs / wallMs / double(parties), 100 * cpuMs / wallMs, 100 * mainMs / wallMs,
              Percentile(times.encodeMs, 0.5), Percentile(times.decodeMs, 0.5));
}

}  // namespace

int main(int argc, char** argv) {
  dshow::SetV4l2Io(nullptr);  // the synthetic camera only
  const std::vector<int16_t> speech = ReadSpeech();
  std::vector<size_t> parties;
  for (int i = 1; i < argc; ++i) parties.push_back(static_cast<size_t>(std::atoi(argv[i])));
  if (parties.empty()) parties = {2, 4};
  for (size_t n : parties)
    if (n >= 2) Talk(n, speech);
  return 0;
}
