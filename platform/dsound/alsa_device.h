// AlsaSoundDevice: one ALSA PCM device (libasound). Each open buffer owns a
// thread that moves 10 ms periods between its ring and the PCM: a playback
// thread hands the PCM the ring from the play cursor on (the write cursor is
// one period past what it handed over), a capture thread reads into the ring
// at the capture cursor. Underruns and overruns are recovered on the thread
// and counted; exceptions never leave it. PCMs without a clock of their own
// (ALSA's file and null plugins) are paced by the platform's tick, so tests
// drive them with a manual clock. Nothing else in the project calls ALSA.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/dsound/dsound.h"

namespace tw::dsound {

class AlsaSoundDevice final : public SoundDevice {
 public:
  static constexpr DWORD kPeriodMs = 10;

  // `pcm` is an ALSA PCM name ("default", "hw:0,0", ...). `config`, when not
  // empty, is the text of an ALSA configuration that defines that name and is
  // used instead of the system's (tests define file and null PCMs there).
  AlsaSoundDevice(std::string pcm, std::string description, bool canPlay, bool canCapture, std::string config = {});
  ~AlsaSoundDevice() override;

  // The PCM devices the system configuration lists (its name hints), the
  // "default" device first. Empty when ALSA lists none.
  static std::vector<std::shared_ptr<AlsaSoundDevice>> ListDevices();

  const GUID& Guid() const override { return guid_; }
  std::string Description() const override { return description_; }
  std::string Module() const override { return pcm_; }
  bool CanPlay() const override { return canPlay_; }
  bool CanCapture() const override { return canCapture_; }
  HRESULT Open(bool capture) override;
  HRESULT CreatePlaybackRing(const WAVEFORMATEX& format, DWORD bytes,
                             std::unique_ptr<IDirectSoundBuffer>* out) override;
  HRESULT CreateCaptureRing(const WAVEFORMATEX& format, DWORD bytes,
                            std::unique_ptr<IDirectSoundCaptureBuffer>* out) override;

  struct Shared;

  // Underruns and overruns that the buffer threads recovered from, so far.
  unsigned Xruns() const;
  // Blocks until the buffer threads of this device have moved `frames`
  // frames in all, or `timeoutMs` of real time passed; returns whether they
  // did (tests wait on this instead of sleeping).
  bool WaitForFrames(uint64_t frames, uint32_t timeoutMs) const;

 private:
  std::string pcm_;
  std::string description_;
  bool canPlay_;
  bool canCapture_;
  std::string config_;
  GUID guid_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace tw::dsound
