// Key generation follows a fixed order (two seeds, two primes, n, phi, d,
// self-test, texts) and turns any error into a False result with empty
// outputs. The framing works on bit strings: the message "111" + bits is cut
// into (k-1)-bit blocks, each raised to the exponent and written as k bits.
// Finding the next prime keeps the candidate's residues modulo the small
// primes and steps them along, so trial division costs no big division per
// candidate; survivors go through the same Rabin-Miller test.
#include "crypto/mRSA.h"

#include <cstring>
#include <vector>

#include "crypto/mBase64.h"
#include "crypto/mCryptoError.h"
#include "crypto/mMD5.h"
#include "platform/win32/messages.h"

namespace tw {

namespace {

constexpr char kSelfTestText[] = "1234567890-=qwertyuiop[]\\asdfghjkl;zxcvbnm,./";
constexpr int kRabinMillerRounds = 4;

TBigInt PublicExponent() { return BigFromDecimal("65537"); }

bool IsAllZeros(std::string_view bits) { return bits.find('1') == std::string_view::npos; }

void PadLeft(std::string& bits, size_t multiple) {
  const size_t rem = bits.size() % multiple;
  if (rem != 0) bits.insert(0, multiple - rem, '0');
}

// A modulus the framing can work with: a value, odd, at least 3.
size_t CheckedBlockWidth(const TBigInt& n) {
  if (!n.HasValue()) throw ECryptoError("Big integer without value");
  const size_t k = BigBitLength(n);
  if ((n.Number[1] & 1) == 0 || k < 2) throw ECryptoError("Modulus must be odd and at least 3");
  return k;
}

TBigInt KeyFromBytes(std::string_view bytes) {
  if (bytes.empty()) throw ECryptoError("Empty key");
  return BigFromBytes(bytes);
}

// Raises each block of `bits` (`width` characters) to `exponent`, writing
// each result as a field of `fieldWidth` characters.
std::string TransformBlocks(std::string_view bits, size_t width, size_t fieldWidth, const TBigInt& exponent,
                            const TBigInt& n) {
  std::string out;
  out.reserve(bits.size() / width * fieldWidth + fieldWidth);
  for (size_t off = 0; off < bits.size(); off += width) {
    const std::string_view block = bits.substr(off, width);
    std::string field = IsAllZeros(block) ? "0" : BigToBits(BigPowerMod(BigFromBits(block), exponent, n));
    PadLeft(field, fieldWidth);
    out += field;
  }
  return out;
}

}  // namespace

std::string RandomSeed64(const TGuidSource& source) {
  std::string seed;
  seed.reserve(64);
  for (int i = 0; i < 4; ++i) {
    com::GUID g{};
    const com::HRESULT hr = source ? source(&g) : com::CoCreateGuid(&g);
    if (com::FAILED(hr)) throw ECryptoError("CoCreateGuid failed");
    uint8_t bytes[16];
    for (int b = 0; b < 4; ++b) bytes[b] = static_cast<uint8_t>(g.Data1 >> (8 * b));
    bytes[4] = static_cast<uint8_t>(g.Data2), bytes[5] = static_cast<uint8_t>(g.Data2 >> 8);
    bytes[6] = static_cast<uint8_t>(g.Data3), bytes[7] = static_cast<uint8_t>(g.Data3 >> 8);
    std::memcpy(bytes + 8, g.Data4, 8);
    seed.append(reinterpret_cast<const char*>(bytes), 16);
  }
  return seed;
}

void RsaNextPrime(TBigInt& x) {
  if (!x.HasValue()) throw ECryptoError("Big integer without value");
  if (x.Sign == 0 && BigCompareMagnitude(x, BigFromUint(0)) != 0)
    throw ECryptoError("Negative start for a prime search");
  if ((x.Number[1] & 1) == 0) x = BigAdd(x, BigFromUint(1));
  std::vector<uint32_t> residues(SmallPrimes.size());
  for (size_t i = 0; i < SmallPrimes.size(); ++i) residues[i] = BigModSmall(x, SmallPrimes[i]);
  uint64_t step = 0;  // candidate = x + 2·step
  for (;;) {
    ++step;
    bool survives = true;
    for (size_t i = 0; i < SmallPrimes.size(); ++i) {
      uint32_t r = residues[i] + 2;
      if (r >= SmallPrimes[i]) r -= SmallPrimes[i];
      residues[i] = r;
      survives = survives && r != 0;
    }
    bool prime = false;
    if (survives) {
      const TBigInt candidate = BigAdd(x, BigFromUint(2 * step));
      prime = BigMillerRabin(candidate, kRabinMillerRounds);
      if (prime) {
        win32::ProcessMessages();
        x = candidate;
        return;
      }
    }
    win32::ProcessMessages();
  }
}

std::string RsaEncryptText(std::string_view plain, const TBigInt& e, const TBigInt& n) {
  const size_t k = CheckedBlockWidth(n);
  std::string message = "111" + BytesToBits(plain);
  PadLeft(message, k - 1);
  std::string joined = TransformBlocks(message, k - 1, k, e, n);
  const size_t first = joined.find('1');
  joined.erase(0, first == std::string::npos ? joined.size() - 1 : first);
  return BitsToBytes(joined);
}

std::string RsaDecryptText(std::string_view cipher, const TBigInt& d, const TBigInt& n) {
  const size_t k = CheckedBlockWidth(n);
  std::string bits = BytesToBits(cipher);
  const size_t first = bits.find('1');
  bits.erase(0, first == std::string::npos ? bits.size() : first);
  PadLeft(bits, k);
  const std::string joined = TransformBlocks(bits, k, k - 1, d, n);
  const size_t marker = joined.find("111");
  if (marker == std::string::npos) return {};
  return BitsToBytes(std::string_view(joined).substr(marker + 3));
}

std::string RsaPublicEncrypt(std::string_view publicKeyBytes, std::string_view plain) {
  return RsaEncryptText(plain, PublicExponent(), KeyFromBytes(publicKeyBytes));
}

std::string RsaPrivateDecrypt(std::string_view modulusBytes, std::string_view privateKeyBytes,
                              std::string_view cipher) {
  const TBigInt n = KeyFromBytes(modulusBytes);
  const TBigInt d = KeyFromBytes(privateKeyBytes);
  return RsaDecryptText(cipher, d, n);
}

std::string RsaPublicEncryptWithKeyText(std::string_view publicKeyText, std::string_view plain) {
  return RsaPublicEncrypt(Base64Decode(publicKeyText), plain);
}

std::string RsaPrivateDecryptWithKeyText(std::string_view publicKeyText, std::string_view privateKeyText,
                                         std::string_view cipher) {
  return RsaPrivateDecrypt(Base64Decode(publicKeyText), Base64Decode(privateKeyText), cipher);
}

bool RsaSelfTest(std::string_view modulusBytes, std::string_view privateKeyBytes) {
  const std::string_view text(kSelfTestText, sizeof kSelfTestText - 1);
  return RsaPrivateDecrypt(modulusBytes, privateKeyBytes, RsaPublicEncrypt(modulusBytes, text)) == text;
}

bool RsaGenerateKeypair(std::string& publicKeyText, std::string& privateKeyText, const TGuidSource& source) {
  publicKeyText.clear();
  privateKeyText.clear();
  try {
    const std::string seedP = RandomSeed64(source);
    const std::string seedQ = RandomSeed64(source);
    TBigInt p = BigFromBytes(seedP);
    RsaNextPrime(p);
    TBigInt q = BigFromBytes(seedQ);
    RsaNextPrime(q);
    const TBigInt n = BigMultiply(p, q);
    const TBigInt one = BigFromUint(1);
    const TBigInt phi = BigMultiply(BigSubtract(p, one), BigSubtract(q, one));
    const std::optional<TBigInt> d = BigInverseMod(PublicExponent(), phi);
    if (!d) return false;
    const std::string publicBytes = BigToBytes(n);
    const std::string privateBytes = BigToBytes(*d);
    if (!RsaSelfTest(publicBytes, privateBytes)) return false;
    publicKeyText = Base64Encode(publicBytes);
    privateKeyText = Base64Encode(privateBytes);
    return true;
  } catch (const std::exception&) {
    publicKeyText.clear();
    privateKeyText.clear();
    return false;
  }
}

std::string RsaKeyFingerprint(std::string_view keyText) {
  if (keyText.empty()) return {};
  return Base64Encode(Md5OfString(Base64Decode(keyText)));
}

}  // namespace tw
