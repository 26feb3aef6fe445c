// TFuzzInput: takes typed values off the front of a fuzz input. Past the end
// every read gives zero or empty, so a target never needs to check lengths.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace tw::fuzz {

class TFuzzInput {
 public:
  TFuzzInput(const uint8_t* data, size_t size) : rest_(reinterpret_cast<const char*>(data), size) {}

  bool Empty() const { return rest_.empty(); }
  size_t Left() const { return rest_.size(); }

  uint8_t Byte() {
    if (rest_.empty()) return 0;
    const auto b = static_cast<uint8_t>(rest_[0]);
    rest_.remove_prefix(1);
    return b;
  }
  bool Bit() { return Byte() & 1; }
  // A value in 0..n-1 (n > 0).
  size_t Pick(size_t n) { return Byte() % n; }
  uint32_t Le32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t{Byte()} << (8 * i);
    return v;
  }
  std::string_view Bytes(size_t n) {
    const std::string_view out = rest_.substr(0, std::min(n, rest_.size()));
    rest_.remove_prefix(out.size());
    return out;
  }
  // A length byte, then that many bytes (scaled by `unit` for longer bodies).
  std::string_view Chunk(size_t unit = 1) { return Bytes(size_t{Byte()} * unit); }
  std::string_view Rest() { return Bytes(rest_.size()); }

 private:
  std::string_view rest_;
};

}  // namespace tw::fuzz

// Stops the run with the failed condition and its line, so that a finding
// names the invariant it broke.
#define TW_FUZZ_CHECK(condition)                                                         \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)
