#include "transport/mSeal.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "crypto/mMD5.h"

namespace tw {

namespace {

// Pad bytes that make body + check word whole blocks.
size_t PadCount(size_t bodySize) {
  const size_t plain = bodySize + kSealCheckWord.size();
  return plain % kSealBlockSize == 0 ? 0 : kSealBlockSize - plain % kSealBlockSize;
}

// Plaintext bytes [at, at + n) of body + check word + pad (the first IV bytes).
void CopyPlain(char* out, std::string_view body, std::string_view iv, size_t at, size_t n) {
  if (at < body.size()) {
    const size_t take = std::min(n, body.size() - at);
    std::memcpy(out, body.data() + at, take);
    out += take;
    at += take;
    n -= take;
  }
  if (n == 0) return;
  char tail[kSealCheckWord.size() + kSealBlockSize];
  std::memcpy(tail, kSealCheckWord.data(), kSealCheckWord.size());
  std::memcpy(tail + kSealCheckWord.size(), iv.data(), kSealBlockSize);
  std::memcpy(out, tail + (at - body.size()), n);
}

}  // namespace

std::string SealIvForTick(uint32_t pumpTick) { return Md5OfString(std::to_string(pumpTick)); }

std::string SealPayload(std::string_view body, std::string_view sessionKey, std::string_view iv) {
  return SealPayload(body, TAesKey(sessionKey), iv);
}

std::string SealPayload(std::string_view body, const TAesKey& key, std::string_view iv) {
  const size_t plain = body.size() + kSealCheckWord.size();
  const size_t pad = PadCount(body.size());
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

size_t SealedSize(size_t bodySize) {
  return kSealHeaderSize + bodySize + kSealCheckWord.size() + PadCount(bodySize);
}

void TSealCursor::Start(std::string& out, size_t bodySize, std::string_view iv) {
  out.push_back(static_cast<char>(PadCount(bodySize)));
  out.append(iv.substr(0, kSealIvSize));
  std::memcpy(chain_, iv.data(), kSealBlockSize);
}

void TSealCursor::Append(std::string& out, std::string_view body, const TAesKey& key, std::string_view iv,
                         size_t at, size_t n) {
  const size_t cipher = SealedSize(body.size()) - kSealHeaderSize;
  n = std::min(n, cipher - std::min(at, cipher));
  const size_t used = at % kSealBlockSize;
  if (used != 0 && n > 0) {  // the rest of the block made last
    const size_t take = std::min(n, kSealBlockSize - used);
    out.append(reinterpret_cast<const char*>(chain_) + used, take);
    at += take;
    n -= take;
  }
  if (n == 0) return;
  // Whole blocks, encrypted in place at the end of `out`; the last one, of
  // which fewer than 16 bytes may be due now, stays as the chain.
  const size_t start = out.size();
  const size_t blocks = (n + kSealBlockSize - 1) / kSealBlockSize * kSealBlockSize;
  out.resize(start + blocks);
  char* p = out.data() + start;
  CopyPlain(p, body, iv, at, blocks);
  uint8_t chain[kSealBlockSize];
  std::memcpy(chain, chain_, kSealBlockSize);
  key.EncryptCbc(p, static_cast<uint32_t>(blocks), p, chain);
  std::memcpy(chain_, p + blocks - kSealBlockSize, kSealBlockSize);
  out.resize(start + n);
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
