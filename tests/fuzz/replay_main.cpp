// Replay driver for fuzz targets under compilers without libFuzzer: runs every
// file of the given corpus folders, then a fixed series of pseudo-random inputs
// (same seed every run), through LLVMFuzzerTestOneInput.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  size_t files = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path p(argv[i]);
    if (std::filesystem::is_directory(p)) {
      for (const auto& e : std::filesystem::recursive_directory_iterator(p))
        if (e.is_regular_file()) { RunFile(e.path()); ++files; }
    } else if (std::filesystem::is_regular_file(p)) {
      RunFile(p);
      ++files;
    }
  }
  std::mt19937 rng(20261210);
  // TW_FUZZ_RANDOM_ROUNDS=0 replays the files alone (coverage of a corpus).
  const char* roundsText = std::getenv("TW_FUZZ_RANDOM_ROUNDS");
  const int rounds = roundsText ? std::atoi(roundsText) : 2000;
  std::vector<uint8_t> buf;
  for (int r = 0; r < rounds; ++r) {
    buf.resize(rng() % 4096);
    for (auto& b : buf) b = static_cast<uint8_t>(rng());
    LLVMFuzzerTestOneInput(buf.data(), buf.size());
  }
  std::printf("replayed %zu corpus files and %d random inputs\n", files, rounds);
  return 0;
}
