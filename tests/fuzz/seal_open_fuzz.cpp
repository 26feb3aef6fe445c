// Opening hostile SealedPayloads: any bytes either open to a body that seals
// back to a payload that opens to the same body, or are refused; nothing is
// read out of bounds.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "transport/mSeal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the key length, the key follows, the rest is the payload.
  const size_t keyLength = std::min<size_t>(data[0] % 24 + 1, size - 1);
  const std::string key(reinterpret_cast<const char*>(data + 1), keyLength);
  std::string payload(reinterpret_cast<const char*>(data + 1 + keyLength), size - 1 - keyLength);
  if (!tw::OpenPayload(payload, key)) return 0;
  if (payload.empty()) return 0;
  std::string again = tw::SealPayload(payload, key, tw::SealIvForTick(static_cast<uint32_t>(size)));
  const std::string body = payload;
  if (!tw::OpenPayload(again, key) || again != body) std::abort();
  return 0;
}
