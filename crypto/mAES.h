// AES-128 (FIPS-197) in CBC mode over whole 16-byte blocks, keyed by the MD5
// digest of a key text of any length (the empty text included). No padding,
// no state between calls: each call starts from the IV it is given and never
// changes the caller's IV. Source and destination may be the same buffer.
//
// Two block engines give identical bytes: a portable table-driven one and one
// on the processor's AES instructions, chosen at run time (TAesPath::Auto).
#pragma once

#include <cstdint>
#include <string_view>

namespace tw {

enum class TAesPath { Auto, Portable, AesNi };

// True when the processor has the AES instructions (TAesPath::AesNi usable).
bool AesNiAvailable();

// Encrypts / decrypts `length` bytes from `source` to `destination` with the
// key MD5(keyText) and the 16-byte `iv`. Raises ECryptoError "Nothing to do"
// for a length of 0 and "Wrong block length" for one that is not a multiple of
// 16, before any byte is read or written. Requesting TAesPath::AesNi on a
// processor without it raises as well.
void AesEncryptCbc(const void* source, uint32_t length, std::string_view keyText, void* destination,
                   const uint8_t* iv, TAesPath path = TAesPath::Auto);
void AesDecryptCbc(const void* source, uint32_t length, std::string_view keyText, void* destination,
                   const uint8_t* iv, TAesPath path = TAesPath::Auto);

// The same with a raw 16-byte AES key (the core the two above call).
void AesEncryptCbcRawKey(const void* source, uint32_t length, const uint8_t* key, void* destination,
                         const uint8_t* iv, TAesPath path = TAesPath::Auto);
void AesDecryptCbcRawKey(const void* source, uint32_t length, const uint8_t* key, void* destination,
                         const uint8_t* iv, TAesPath path = TAesPath::Auto);

// Key schedules: 44 words (11 round keys), each word holding 4 key bytes in
// big-endian order. The decryption schedule is that of the equivalent inverse
// cipher: InvMixColumns applied to round keys 1 to 9.
struct TAesSchedule {
  uint32_t words[44];
};
TAesSchedule AesExpandEncryptKey(const uint8_t* key);
TAesSchedule AesExpandDecryptKey(const uint8_t* key);

// A key text's AES key, derived and expanded once for both directions, for a
// caller that encrypts many buffers with one key (a pipe seals every message
// with its session key). EncryptCbc / DecryptCbc give the bytes of
// AesEncryptCbc / AesDecryptCbc with the same key text and raise the same
// errors; they keep no state between calls. The schedules are wiped when
// the key goes.
class TAesKey {
 public:
  explicit TAesKey(std::string_view keyText, TAesPath path = TAesPath::Auto);
  ~TAesKey();
  TAesKey(const TAesKey&) = delete;
  TAesKey& operator=(const TAesKey&) = delete;

  void EncryptCbc(const void* source, uint32_t length, void* destination, const uint8_t* iv) const;
  void DecryptCbc(const void* source, uint32_t length, void* destination, const uint8_t* iv) const;

 private:
  bool aesNi_;
  TAesSchedule encrypt_;
  TAesSchedule decrypt_;
  // For the AES instructions: both schedules' round keys in memory order.
  alignas(16) uint8_t roundKeys_[2][11][16];
};

// One block (portable engine); `in` and `out` may be the same 16 bytes.
void AesEncryptBlock(const uint8_t* in, uint8_t* out, const TAesSchedule& schedule);
void AesDecryptBlock(const uint8_t* in, uint8_t* out, const TAesSchedule& schedule);

}  // namespace tw
