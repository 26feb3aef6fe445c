// The wave-format record handed to sound devices and FillWaveFormat, which
// fills it for linear PCM (the voice pipeline uses 16000 Hz, 16 bits, mono).
#pragma once

#include <cstdint>

namespace tw {

// Layout and field names of the sound devices' format record.
struct WaveFormat {
  static constexpr uint16_t kFormatPcm = 1;
  uint16_t wFormatTag = 0;
  uint16_t nChannels = 0;
  uint32_t nSamplesPerSec = 0;
  uint32_t nAvgBytesPerSec = 0;
  uint16_t nBlockAlign = 0;
  uint16_t wBitsPerSample = 0;
  uint16_t cbSize = 0;
};

// PCM with the given rate, bits per sample and channels; block alignment
// channels x (bits div 8), average bytes per second alignment x rate.
void FillWaveFormat(WaveFormat& format, uint32_t rate, uint16_t bits, uint16_t channels);

}  // namespace tw
