// The recorded speech of the test data (16 kHz mono), cut to whole 512-sample
// blocks, for the audio benchmarks.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tests/audio/wav_file.h"

namespace tw::bench {

inline std::vector<int16_t> LoadSpeech16k() {
  setenv("TW_TEST_DATA", TW_TEST_DATA_DIR, 0);
  auto s = tw::test::ReadWav16Mono(tw::test::TestDataPath("speech_16k.wav")).samples;
  s.resize(s.size() / 512 * 512);
  return s;
}

}  // namespace tw::bench
