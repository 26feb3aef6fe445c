// Test rig of the voice pipeline: a manual tick clock, one virtual sound
// device installed as the only device of the process, and helpers that move
// time in timer steps and make test signals.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numbers>
#include <random>
#include <vector>

#include "platform/dsound/dsound.h"
#include "platform/dsound/virtual_device.h"
#include "platform/win32/messages.h"
#include "platform/win32/tick.h"
#include "tests/support/manual_tick.h"

namespace tw::test {

class VoiceRig {
 public:
  VoiceRig()
      : device_(std::make_shared<dsound::VirtualSoundDevice>("Rig device")),
        second_(std::make_shared<dsound::VirtualSoundDevice>("Rig second device")),
        devices_({device_, second_}) {}

  dsound::VirtualSoundDevice& device() { return *device_; }
  std::shared_ptr<dsound::VirtualSoundDevice> shared() { return device_; }
  dsound::VirtualSoundDevice& second() { return *second_; }
  win32::ScopedManualTick& tick() { return tick_; }

  // Advances the clock by `ms` in 1 ms steps and runs every timer due.
  void Run(uint32_t ms) {
    for (uint32_t i = 0; i < ms; ++i) {
      tick_.Advance(1);
      win32::ProcessMessages();
    }
  }

 private:
  win32::ScopedManualTick tick_{1'000'000};
  std::shared_ptr<dsound::VirtualSoundDevice> device_;
  std::shared_ptr<dsound::VirtualSoundDevice> second_;
  dsound::ScopedSoundDevices devices_;
};

inline std::vector<int16_t> Tone(double hz, double amplitude, size_t samples, size_t phase = 0) {
  std::vector<int16_t> s(samples);
  for (size_t i = 0; i < samples; ++i)
    s[i] = static_cast<int16_t>(std::lround(amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i + phase) / 16000.0)));
  return s;
}

inline std::vector<int16_t> Noise(double amplitude, size_t samples, uint32_t seed = 7) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> d(-amplitude, amplitude);
  std::vector<int16_t> s(samples);
  for (auto& v : s) v = static_cast<int16_t>(std::lround(d(gen)));
  return s;
}

inline std::vector<uint8_t> Bytes(const std::vector<int16_t>& s) {
  std::vector<uint8_t> b(s.size() * 2);
  std::memcpy(b.data(), s.data(), b.size());
  return b;
}

inline std::vector<int16_t> Samples(const uint8_t* bytes, size_t size) {
  std::vector<int16_t> s(size / 2);
  std::memcpy(s.data(), bytes, s.size() * 2);
  return s;
}

}  // namespace tw::test
