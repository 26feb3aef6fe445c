// Any text parses as a registry tree without failing, and what the writer
// makes of that tree reads back as the same tree.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/com/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  tw::com::RegistryTree tree = tw::com::RegistryTree::Parse(text);
  std::string once = tree.Serialize();
  std::string twice = tw::com::RegistryTree::Parse(once).Serialize();
  if (once != twice) std::abort();
  return 0;
}
