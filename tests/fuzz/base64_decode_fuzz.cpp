// Hostile text through the tolerant Base64 decoder: it never fails, keeps to
// its length rule, and every byte string survives encoding and decoding.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "crypto/mBase64.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string bytes = tw::Base64Decode(text);
  if (size % 4 != 0 && !bytes.empty()) std::abort();
  if (bytes.size() > size / 4 * 3) std::abort();
  if (tw::Base64Decode(tw::Base64Encode(text)) != text) std::abort();
  return 0;
}
