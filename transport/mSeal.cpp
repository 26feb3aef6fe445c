#include "transport/mSeal.h"

#include <cstring>
#include <string>

#include "crypto/mMD5.h"

namespace tw {

std::string SealIvForTick(uint32_t pumpTick) { return Md5OfString(std::to_string(pumpTick)); }

std::string SealPayload(std::string_view body, std::string_view sessionKey, std::string_view iv) {
  return SealPayload(body, TAesKey(sessionKey), iv);
}

std::string SealPayload(std::string_view body, const TAesKey& key, std::string_view iv) {
  const size_t plain = body.size() + kSealCheckWord.size();
  const size_t pad = plain % 16 == 0 ? 0 : 16 - plain % 16;
  // One buffer, filled once and encrypted in place.
  std::string out(kSealHeaderSize + plain + pad, '\0');
  out[0] = static_cast<char>(pad);
  std::memcpy(out.data() + 1, iv.data(), 16);
  char* p = out.data() + kSealHeaderSize;
  std::memcpy(p, body.data(), body.size());
  std::memcpy(p + body.size(), kSealCheckWord.data(), kSealCheckWord.size());
  std::memcpy(p + plain, iv.data(), pad);
  key.EncryptCbc(p, static_cast<uint32_t>(plain + pad), p, reinterpret_cast<const uint8_t*>(iv.data()));
  return out;
}

bool OpenPayload(std::string& payload, std::string_view sessionKey) {
  return OpenPayload(payload, TAesKey(sessionKey));
}

bool OpenPayload(std::string& payload, const TAesKey& key) {
  if (payload.size() < kSealHeaderSize) return false;
  const size_t cipherLength = payload.size() - kSealHeaderSize;
  const size_t pad = static_cast<unsigned char>(payload[0]);
  if (cipherLength == 0 || cipherLength % 16 != 0) return false;
  if (pad > 15 || pad + kSealCheckWord.size() > cipherLength) return false;
  std::string plain(cipherLength, '\0');
  key.DecryptCbc(payload.data() + kSealHeaderSize, static_cast<uint32_t>(cipherLength), plain.data(),
                 reinterpret_cast<const uint8_t*>(payload.data() + 1));
  plain.resize(plain.size() - pad);
  if (plain.size() < kSealCheckWord.size() ||
      plain.compare(plain.size() - kSealCheckWord.size(), kSealCheckWord.size(), kSealCheckWord) != 0)
    return false;
  plain.resize(plain.size() - kSealCheckWord.size());
  payload = std::move(plain);
  return true;
}

}  // namespace tw
