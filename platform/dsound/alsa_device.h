// AlsaSoundDevice: one ALSA PCM device (libasound). The device opens its PCM
// once per direction, however many buffers use it, and one thread per open
// PCM moves 10 ms periods between the PCM and the buffers' rings: playback
// mixes every playing ring into one period (so two talkers can share a
// hardware device that allows a single opener), capture copies each period
// into every capturing ring. Underruns and overruns are recovered on the
// thread and counted; exceptions never leave it.
//
// The thread never hands a PCM more than the platform's tick allows (plus
// one latency for playback) unless the PCM shows a clock of its own by
// making the thread wait, so stacks without a clock anywhere (the null PCM,
// the file plugin, a converter over either) are paced, and tests drive them
// with a manual clock.
//
// Failures carry alsa-lib's own words: a buffer that cannot be created, and
// a device that fails while it runs, set the calling thread's
// LastErrorText() (the PCM's name and snd_strerror's text). A device that
// fails stays failed for its buffers (DSERR_NODRIVER); a new buffer opens it
// afresh. Nothing else in the project calls ALSA.
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

  // One name hint of the system configuration: the PCM's name, its
  // description (one or two lines) and its direction ("Input", "Output" or
  // empty for both).
  struct Hint {
    std::string name;
    std::string description;
    std::string direction;
  };
  // An entry of the device list made from the hints.
  struct Entry {
    std::string name;
    std::string description;
    bool canPlay = false;
    bool canCapture = false;
  };
  // The entries a user picks from, in the order a desktop user expects:
  // "default" first, then the other plain names (a sound server's, a user's
  // own), then each card's devices, in hint order within each group. The
  // null PCM is left out. A description keeps both lines of the hint ("HDA
  // Intel PCH, ALC892 Analog (Front output / input)"), and entries that
  // would still read alike get their PCM name appended.
  static std::vector<Entry> ArrangeHints(const std::vector<Hint>& hints);

  // The PCM devices the system configuration lists now (its name hints),
  // arranged by ArrangeHints. Empty when ALSA lists none.
  static std::vector<Entry> ListDevices();

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

  // Underruns and overruns that the device threads recovered from, so far.
  unsigned Xruns() const;
  // PCMs this device has opened so far (one per direction while in use).
  unsigned Opens() const;
  // Blocks until the device threads of this device have moved `frames`
  // frames in all, or `timeoutMs` of real time passed; returns whether they
  // did (tests wait on this instead of sleeping).
  bool WaitForFrames(uint64_t frames, uint32_t timeoutMs) const;
  // Fault switch: once the device threads have moved `frames` more frames,
  // every read or write of its PCMs fails as an unplugged card's does
  // (-ENODEV), until the switch is cleared with a negative count.
  void FailAfterFrames(int64_t frames);

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
