// Test and benchmark helper: reads the samples of a 16-bit mono PCM WAV file
// from the test data folder (TW_TEST_DATA, set by ctest).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace tw::test {

struct WavSamples {
  uint32_t rate = 0;
  std::vector<int16_t> samples;
};

inline std::string TestDataPath(const std::string& name) {
  const char* dir = std::getenv("TW_TEST_DATA");
  return std::string(dir != nullptr ? dir : "tests/data") + "/" + name;
}

// Throws std::runtime_error unless the file is 16-bit mono PCM.
inline WavSamples ReadWav16Mono(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  const std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u16 = [&](size_t at) { return static_cast<uint32_t>(b[at] | (b[at + 1] << 8)); };
  auto u32 = [&](size_t at) { return u16(at) | (u16(at + 2) << 16); };
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0)
    throw std::runtime_error(path + " is not a WAV file");
  WavSamples wav;
  bool format = false;
  for (size_t at = 12; at + 8 <= b.size();) {
    const uint32_t size = u32(at + 4);
    const size_t body = at + 8;
    if (body + size > b.size()) break;
    if (std::memcmp(&b[at], "fmt ", 4) == 0 && size >= 16) {
      if (u16(body) != 1 || u16(body + 2) != 1 || u16(body + 14) != 16)
        throw std::runtime_error(path + " is not 16-bit mono PCM");
      wav.rate = u32(body + 4);
      format = true;
    } else if (std::memcmp(&b[at], "data", 4) == 0 && format) {
      wav.samples.resize(size / 2);
      for (size_t i = 0; i < wav.samples.size(); ++i)
        wav.samples[i] = static_cast<int16_t>(static_cast<uint16_t>(u16(body + 2 * i)));
      return wav;
    }
    at = body + size + (size & 1);
  }
  throw std::runtime_error(path + " has no PCM data");
}

}  // namespace tw::test
