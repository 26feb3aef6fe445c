// CPU per second of playing on ALSA PCMs that have no clock of their own:
// the null PCM, a plug converter over it and the file plugin over it. A
// device thread must wait for the clock on all three instead of spinning.
//
// Plays a looping 5 s ring on each PCM for one second of real time, several
// times, and prints the median CPU seconds the process used per second of
// playing (the main thread only sleeps, so this is the device thread's).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/dsound/alsa_device.h"
#include "platform/dsound/dsound.h"
#include "tests/platform/dsound/voice_ring.h"

namespace {

using namespace tw::dsound;

constexpr char kConfig[] = R"(
pcm.twbench_null { type null }
pcm.twbench_plug { type plug slave.pcm { type null } }
pcm.twbench_file { type file slave.pcm { type null } file "/dev/null" format raw }
)";

constexpr int kRuns = 5;
constexpr auto kPlaying = std::chrono::milliseconds(1000);

// CPU seconds per second of playing, or a negative value when the PCM does not play.
double CpuPerSecond(const char* pcm) {
  auto device = std::make_shared<AlsaSoundDevice>(pcm, pcm, true, false, kConfig);
  ScopedSoundDevices installed({device});
  std::unique_ptr<IDirectSound> ds;
  if (DirectSoundCreate(nullptr, &ds) != DS_OK || ds->SetCooperativeLevel(1, DSSCL_NORMAL) != DS_OK) return -1;
  const std::unique_ptr<IDirectSoundBuffer> ring = NewPlaybackRing(*ds, 160000, VoiceFormat());
  if (!ring) return -1;
  const std::clock_t cpu0 = std::clock();
  const auto wall0 = std::chrono::steady_clock::now();
  if (ring->Play(0, 0, DSBPLAY_LOOPING) != DS_OK) return -1;
  std::this_thread::sleep_for(kPlaying);
  ring->Stop();
  const double cpu = static_cast<double>(std::clock() - cpu0) / CLOCKS_PER_SEC;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  return cpu / wall;
}

}  // namespace

int main() {
  std::printf("%-16s %s\n", "pcm", "cpu_s per s of playing (median of 5; each run's figure)");
  for (const char* pcm : {"twbench_null", "twbench_plug", "twbench_file"}) {
    std::vector<double> runs;
    for (int i = 0; i < kRuns; ++i) runs.push_back(CpuPerSecond(pcm));
    std::vector<double> sorted = runs;
    std::sort(sorted.begin(), sorted.end());
    std::printf("%-16s %.4f  (", pcm, sorted[kRuns / 2]);
    for (double r : runs) std::printf(" %.4f", r);
    std::printf(" )\n");
  }
  return 0;
}
