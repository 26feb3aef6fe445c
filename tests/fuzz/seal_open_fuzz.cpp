// Opening hostile SealedPayloads: any bytes either open to a body that seals
// back to a payload that opens to the same body, or are refused; nothing is
// read out of bounds. The portable AES engine decrypts every payload as well
// (the pipe would use the processor's instructions where it has them), and
// must agree with what OpenPayload made of it.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "crypto/mAES.h"
#include "fuzz_input.h"
#include "transport/mSeal.h"

namespace {

// What the payload opens to when decrypted by the portable engine: the body
// before the check word, or nothing.
std::optional<std::string> OpenPortably(const std::string& payload, const std::string& key) {
  if (payload.size() <= tw::kSealHeaderSize || (payload.size() - tw::kSealHeaderSize) % 16 != 0) return std::nullopt;
  const size_t pad = static_cast<unsigned char>(payload[0]);
  std::string plain(payload.size() - tw::kSealHeaderSize, '\0');
  tw::AesDecryptCbc(payload.data() + tw::kSealHeaderSize, static_cast<uint32_t>(plain.size()), key, plain.data(),
                    reinterpret_cast<const uint8_t*>(payload.data() + 1), tw::TAesPath::Portable);
  const size_t check = tw::kSealCheckWord.size();
  if (pad > 15 || pad + check > plain.size()) return std::nullopt;
  plain.resize(plain.size() - pad);
  if (plain.compare(plain.size() - check, check, tw::kSealCheckWord) != 0) return std::nullopt;
  plain.resize(plain.size() - check);
  return plain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the key length, the key follows, the rest is the payload.
  const size_t keyLength = std::min<size_t>(data[0] % 24 + 1, size - 1);
  const std::string key(reinterpret_cast<const char*>(data + 1), keyLength);
  std::string payload(reinterpret_cast<const char*>(data + 1 + keyLength), size - 1 - keyLength);
  const std::optional<std::string> portable = OpenPortably(payload, key);
  const bool opened = tw::OpenPayload(payload, key);
  TW_FUZZ_CHECK(opened == portable.has_value());
  if (!opened) return 0;
  TW_FUZZ_CHECK(payload == *portable);
  if (payload.empty()) return 0;
  std::string again = tw::SealPayload(payload, key, tw::SealIvForTick(static_cast<uint32_t>(size)));
  const std::string body = payload;
  TW_FUZZ_CHECK(tw::OpenPayload(again, key) && again == body);
  return 0;
}
