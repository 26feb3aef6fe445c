// The receiver's per-chunk work in a file transfer, piece by piece: the CRC-32
// update (slicing by eight beside the byte-at-a-time definition), and writing
// chunks through the file layer into a temporary file (page cache, no sync),
// alone and with the CRC, the way a receiver handles each data message.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <random>
#include <string>

#include "client/mCRC32.h"
#include "platform/files/files.h"

namespace {

std::string RandomBytes(size_t n) {
  std::mt19937 gen(7);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

uint32_t ByteAtATime(uint32_t crc, const std::string& bytes) {
  const auto& table = tw::Crc32Table();
  for (unsigned char b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc;
}

void BM_Crc32(benchmark::State& state) {
  const std::string data = RandomBytes(static_cast<size_t>(state.range(0)));
  uint32_t crc = tw::kCrc32Start;
  for (auto _ : state) {
    crc = tw::Crc32Update(crc, data);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32)->Arg(64)->Arg(4096)->Arg(65536)->Arg(1 << 20);

void BM_Crc32ByteAtATime(benchmark::State& state) {
  const std::string data = RandomBytes(static_cast<size_t>(state.range(0)));
  uint32_t crc = tw::kCrc32Start;
  for (auto _ : state) {
    crc = ByteAtATime(crc, data);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc32ByteAtATime)->Arg(65536);

// Chunks of range(0) bytes into one file, restarted every 64 MB so the file
// stays small; range(1) says whether the CRC runs over each chunk too.
void BM_WriteChunks(benchmark::State& state) {
  const size_t chunk = static_cast<size_t>(state.range(0));
  const bool withCrc = state.range(1) != 0;
  const std::string data = RandomBytes(chunk);
  std::string folder = (std::filesystem::temp_directory_path() / "twbench-XXXXXX").string();
  if (!::mkdtemp(folder.data())) return state.SkipWithError("no temporary folder");
  const std::string path = folder + "/transfer";
  tw::files::TFile file;
  size_t written = 0;
  uint32_t crc = tw::kCrc32Start;
  for (auto _ : state) {
    if (written >= (64u << 20) || !file.IsOpen()) {
      if (!file.Create(path)) return state.SkipWithError("cannot create");
      written = 0;
    }
    if (!file.Write(data)) return state.SkipWithError("cannot write");
    if (withCrc) crc = tw::Crc32Update(crc, data);
    written += chunk;
  }
  benchmark::DoNotOptimize(crc);
  (void)file.Close();
  std::filesystem::remove_all(folder);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_WriteChunks)->Args({8192, 0})->Args({8192, 1})->Args({65536, 0})->Args({65536, 1});

}  // namespace

BENCHMARK_MAIN();
