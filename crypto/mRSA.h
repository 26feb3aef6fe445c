// RSA key pairs with the fixed public exponent 65537, the "111"-marker block
// framing of short byte strings, and the two text forms keys travel in:
// KeyText (Base64 of the key's minimal big-endian bytes; public: n, private:
// d) and Fingerprint (Base64 of the MD5 of the bytes a KeyText decodes to).
//
// Everything runs on the calling thread and pumps its messages: once per
// exponent bit in every exponentiation and once per prime candidate. Key
// bytes and texts are std::string holding raw 8-bit bytes.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "crypto/mBigInt.h"
#include "platform/com/guid.h"

namespace tw {

// Where key generation takes its random bytes from; the default is
// com::CoCreateGuid. A failed HRESULT fails key generation.
using TGuidSource = std::function<com::HRESULT(com::GUID*)>;

// 64 random bytes: four GUIDs, each appended in memory order (Data1, Data2,
// Data3 least significant byte first, then Data4). Raises if a GUID fails.
std::string RandomSeed64(const TGuidSource& source = {});

// Replaces x by the smallest probable prime strictly above it (candidates
// from the odd start + 2, stepping by 2; one message pump per candidate).
void RsaNextPrime(TBigInt& x);

// Makes a new pair and checks it with RsaSelfTest. True only for a pair that
// passed; on any failure both texts are empty. Never raises.
bool RsaGenerateKeypair(std::string& publicKeyText, std::string& privateKeyText,
                        const TGuidSource& source = {});

// The block framing on a modulus n (odd and at least 3, else ECryptoError).
std::string RsaEncryptText(std::string_view plain, const TBigInt& e, const TBigInt& n);
std::string RsaDecryptText(std::string_view cipher, const TBigInt& d, const TBigInt& n);

// With key bytes (minimal big-endian). An empty key or an unusable modulus
// raises ECryptoError. Decrypting with a wrong key gives noise or "", never
// an error.
std::string RsaPublicEncrypt(std::string_view publicKeyBytes, std::string_view plain);
std::string RsaPrivateDecrypt(std::string_view modulusBytes, std::string_view privateKeyBytes,
                              std::string_view cipher);

// The same with KeyTexts, for callers that hold keys as text.
std::string RsaPublicEncryptWithKeyText(std::string_view publicKeyText, std::string_view plain);
std::string RsaPrivateDecryptWithKeyText(std::string_view publicKeyText, std::string_view privateKeyText,
                                         std::string_view cipher);

// True when the pair decrypts what it encrypted (a fixed 45-byte text).
bool RsaSelfTest(std::string_view modulusBytes, std::string_view privateKeyBytes);

// The Fingerprint of a KeyText: 24 characters ending "==", or "" for a text
// that is empty or decodes to nothing.
std::string RsaKeyFingerprint(std::string_view keyText);

}  // namespace tw
