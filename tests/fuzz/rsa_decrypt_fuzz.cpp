// Hostile ciphertexts and hostile keys through RSA decryption. The first byte
// picks the case: a ciphertext for the toy pair (n = 3233, d = 2753), a key of
// arbitrary bytes, 1 to 512 of them as two bytes say (which may only be
// refused with ECryptoError), or a round trip of the bytes under the toy pair.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "crypto/mCryptoError.h"
#include "crypto/mRSA.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view all(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string toyN("\x0c\xa1", 2), toyD("\x0a\xc1", 2);
  switch (data[0] % 3) {
    case 0:
      tw::RsaPrivateDecrypt(toyN, toyD, all.substr(0, 48));
      break;
    case 1: {  // keys of 1 to 512 bytes, as the handshake takes them from a peer
      const size_t wanted = size >= 3 ? 1 + (size_t{data[1]} << 8 | data[2]) % 512 : 1;
      const std::string_view keyed = all.substr(std::min<size_t>(all.size(), 2));
      const size_t nLen = std::min(keyed.size(), wanted);
      const std::string_view n = keyed.substr(0, nLen), rest = keyed.substr(nLen);
      const std::string_view d = rest.substr(0, std::min<size_t>(rest.size(), 8));
      try {
        tw::RsaPrivateDecrypt(n, d, rest.substr(d.size(), 32));
        tw::RsaPublicEncrypt(n, d);
      } catch (const tw::ECryptoError&) {
      }
      break;
    }
    default: {
      const std::string_view plain = all.substr(0, 32);
      if (tw::RsaPrivateDecrypt(toyN, toyD, tw::RsaPublicEncrypt(toyN, plain)) != plain) std::abort();
      break;
    }
  }
  return 0;
}
