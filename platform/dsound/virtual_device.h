// VirtualSoundDevice: a speaker and a microphone that run on the process's
// tick clock (platform/win32/tick.h), so tests move sound by advancing a
// manual clock instead of sleeping.
//
// Playback: a playing buffer's play cursor advances by the format's byte rate
// (32 bytes per ms for 16 kHz 16-bit mono), the write cursor runs a fixed
// kWriteLeadMs ahead, and every byte that passes the play cursor is mixed
// into the speaker's sink: a timeline of samples (the first channel) indexed
// by the time since the device was created. Capture: a capturing buffer is
// filled at the same rate from the chosen source (silence, a tone, samples or
// a WAV file from the capture start, or a loopback of a speaker's sink).
//
// Fault switches make the next calls fail, for tests of the layer above.
// One mutex guards the device and its buffers; calls may come from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/dsound/dsound.h"

namespace tw::dsound {

class VirtualSoundDevice final : public SoundDevice {
 public:
  static constexpr DWORD kWriteLeadMs = 10;

  // `keepSink` false: played sound goes nowhere (the process's own virtual
  // device, which may play for hours, keeps no record of it).
  explicit VirtualSoundDevice(std::string description = "Virtual sound device", bool keepSink = true);
  ~VirtualSoundDevice() override;

  const GUID& Guid() const override { return guid_; }
  std::string Description() const override { return description_; }
  std::string Module() const override { return "virtual"; }
  bool CanPlay() const override { return true; }
  bool CanCapture() const override { return true; }
  HRESULT Open(bool capture) override;
  HRESULT CreatePlaybackRing(const WAVEFORMATEX& format, DWORD bytes,
                             std::unique_ptr<IDirectSoundBuffer>* out) override;
  HRESULT CreateCaptureRing(const WAVEFORMATEX& format, DWORD bytes,
                            std::unique_ptr<IDirectSoundCaptureBuffer>* out) override;

  // Capture sources; each replaces the previous one for every buffer.
  void CaptureSilence();
  void CaptureTone(double hz, int16_t amplitude);
  // `samples` from the first capture start on, silence after them.
  void CaptureSamples(std::vector<int16_t> samples);
  // The same from a 16-bit mono PCM WAV file; false if it cannot be read.
  bool CaptureWavFile(const std::string& path);
  // What `speaker` played at the same moment, `delayMs` later.
  void CaptureLoopback(std::shared_ptr<VirtualSoundDevice> speaker, DWORD delayMs = 0);

  // The speaker's sink up to now: sample i was played i / rate seconds after
  // the device was created (0 where nothing played). The rate is that of the
  // first playback buffer.
  std::vector<int16_t> Played();
  // Sample index on the sink's timeline of a tick (for lining up timelines).
  uint64_t SinkIndexAt(DWORD tick) const;

  // Fault switches: the next `count` calls of that kind fail.
  void FailOpen(int count = 1);               // DirectSoundCreate / CaptureCreate: DSERR_NODRIVER
  void FailBufferCreation(int count = 1);     // CreateSoundBuffer / CreateCaptureBuffer: DSERR_OUTOFMEMORY
  void FailLocks(int count = 1);              // Lock of any ring: DSERR_INVALIDCALL
  void FailStops(int count = 1);              // Stop of any ring: DSERR_GENERIC
  // The next Lock of a playback ring loses that ring: its memory is cleared
  // and Lock and Play answer DSERR_BUFFERLOST until Restore.
  void LoseBufferOnce();

  struct Core;

 private:
  std::string description_;
  GUID guid_;
  std::shared_ptr<Core> core_;
};

}  // namespace tw::dsound
