// The format every sound test and benchmark plays and records (16,000 Hz,
// 16-bit, mono PCM), and a playback ring of it made through a sound object.
#pragma once

#include <memory>

#include "platform/dsound/dsound.h"

namespace tw::dsound {

inline WAVEFORMATEX VoiceFormat() {
  WAVEFORMATEX f;
  f.wFormatTag = WAVEFORMATEX::kFormatPcm;
  f.nChannels = 1;
  f.nSamplesPerSec = 16000;
  f.wBitsPerSample = 16;
  f.nBlockAlign = 2;
  f.nAvgBytesPerSec = 32000;
  return f;
}

// A playback ring of `bytes` in `format` (which must outlive the call only);
// null when the sound object refuses it.
inline std::unique_ptr<IDirectSoundBuffer> NewPlaybackRing(IDirectSound& ds, DWORD bytes,
                                                           const WAVEFORMATEX& format) {
  DSBUFFERDESC desc;
  desc.dwBufferBytes = bytes;
  desc.lpwfxFormat = &format;
  std::unique_ptr<IDirectSoundBuffer> ring;
  if (ds.CreateSoundBuffer(desc, &ring) != DS_OK) return nullptr;
  return ring;
}

}  // namespace tw::dsound
