// The two AES engines must agree byte for byte: CBC encryption and decryption
// of the input's blocks under the input's key, IV and key text, through the
// processor's instructions and the portable tables, in place and not; and
// decryption undoes encryption. Without the AES instructions the portable
// engine is still held to the round trip.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "crypto/mAES.h"
#include "fuzz_input.h"

namespace {

using namespace tw;
using Cbc = void (*)(const void*, uint32_t, const uint8_t*, void*, const uint8_t*, TAesPath);

std::string Run(Cbc cbc, const std::string& in, const uint8_t* key, const uint8_t* iv, TAesPath path, bool inPlace) {
  std::string out = inPlace ? in : std::string(in.size(), '\0');
  cbc(inPlace ? out.data() : in.data(), static_cast<uint32_t>(in.size()), key, out.data(), iv, path);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tw::fuzz::TFuzzInput in(data, size);
  const uint8_t setup = in.Byte();
  uint8_t key[16] = {}, iv[16] = {};
  const std::string_view k = in.Bytes(16), v = in.Bytes(16);
  std::memcpy(key, k.data(), k.size());
  std::memcpy(iv, v.data(), v.size());
  std::string blocks(in.Rest());
  blocks.resize(std::max<size_t>(16, blocks.size() / 16 * 16));
  const bool inPlace = setup & 1;
  const bool ni = AesNiAvailable();

  const std::string portable = Run(AesEncryptCbcRawKey, blocks, key, iv, TAesPath::Portable, inPlace);
  TW_FUZZ_CHECK(Run(AesDecryptCbcRawKey, portable, key, iv, TAesPath::Portable, !inPlace) == blocks);
  if (ni) {
    TW_FUZZ_CHECK(Run(AesEncryptCbcRawKey, blocks, key, iv, TAesPath::AesNi, !inPlace) == portable);
    // Decrypting arbitrary bytes (not only ciphertexts) must agree as well.
    TW_FUZZ_CHECK(Run(AesDecryptCbcRawKey, blocks, key, iv, TAesPath::AesNi, inPlace) ==
                  Run(AesDecryptCbcRawKey, blocks, key, iv, TAesPath::Portable, !inPlace));
  }

  // The same through a key text (its MD5 is the key): the first key bytes.
  const std::string_view keyText = k.substr(0, setup >> 4);
  std::string a(blocks.size(), '\0'), b(blocks.size(), '\0');
  AesEncryptCbc(blocks.data(), static_cast<uint32_t>(blocks.size()), keyText, a.data(), iv, TAesPath::Portable);
  AesEncryptCbc(blocks.data(), static_cast<uint32_t>(blocks.size()), keyText, b.data(), iv, TAesPath::Auto);
  TW_FUZZ_CHECK(a == b);
  AesDecryptCbc(a.data(), static_cast<uint32_t>(a.size()), keyText, a.data(), iv, TAesPath::Auto);
  TW_FUZZ_CHECK(a == blocks);
  return 0;
}
