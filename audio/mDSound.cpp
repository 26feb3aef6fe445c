#include "audio/mDSound.h"

namespace tw {

void FillWaveFormat(WaveFormat& format, uint32_t rate, uint16_t bits, uint16_t channels) {
  format = {};
  format.wFormatTag = WaveFormat::kFormatPcm;
  format.nChannels = channels;
  format.nSamplesPerSec = rate;
  format.wBitsPerSample = bits;
  format.nBlockAlign = static_cast<uint16_t>(channels * (bits / 8));
  format.nAvgBytesPerSec = format.nBlockAlign * rate;
  format.cbSize = 0;
}

}  // namespace tw
