// The files behind alsa_test.conf's file PCMs, in a fresh temporary folder:
// what the playback PCMs play lands in "played.raw", what the capture PCMs
// deliver is read from "heard.raw". Include only where TW_ALSA_TEST_CONF
// names the configuration.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"

namespace tw::test {

class AlsaTestFiles {
 public:
  // Points TW_ALSA_PLAY_FILE and TW_ALSA_CAPTURE_FILE at this folder's files.
  AlsaTestFiles() {
    ::setenv("TW_ALSA_PLAY_FILE", folder_.File("played.raw").c_str(), 1);
    ::setenv("TW_ALSA_CAPTURE_FILE", folder_.File("heard.raw").c_str(), 1);
  }
  ~AlsaTestFiles() {
    ::unsetenv("TW_ALSA_PLAY_FILE");
    ::unsetenv("TW_ALSA_CAPTURE_FILE");
  }
  AlsaTestFiles(const AlsaTestFiles&) = delete;
  AlsaTestFiles& operator=(const AlsaTestFiles&) = delete;

  // The text of the test configuration.
  static std::string Config() {
    std::ifstream in(TW_ALSA_TEST_CONF);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // Another file in the folder.
  std::string File(const std::string& name) const { return folder_.File(name); }
  // What the playback PCMs played so far.
  std::vector<int16_t> Played() const {
    const std::string bytes = folder_.Read("played.raw");
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
  }
  // What the capture PCMs will deliver.
  void WriteHeard(const std::vector<int16_t>& samples) const {
    folder_.Write("heard.raw", std::string(reinterpret_cast<const char*>(samples.data()), samples.size() * 2));
  }

 private:
  TempFolder folder_;
};

}  // namespace tw::test
