// Fuzz target of the stream forms of the media-graph utilities: a media type
// and a byte block read from arbitrary bytes. What reads is written again and
// must read back equal.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "Libraries/DSKit/DSUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> exact(data, data + size);  // so a read past the end is caught
  const std::span<const uint8_t> in(exact);
  try {
    tw::dskit::TMediaType type;
    const size_t used = type.ReadData(in);
    if (used > size) __builtin_trap();
    std::vector<uint8_t> again;
    type.WriteData(again);
    tw::dskit::TMediaType back;
    back.ReadData(again);
    if (!back.Equal(type)) __builtin_trap();
  } catch (const tw::dskit::EReadError&) {
  }
  try {
    tw::dskit::TPersistentMemory memory;
    if (memory.ReadData(in) > size) __builtin_trap();
  } catch (const tw::dskit::EReadError&) {
  }
  return 0;
}
