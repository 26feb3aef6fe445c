// SealedPayload: how a message body travels encrypted on a keyed pipe.
//   [1 byte pad count P, 0..15][16 bytes IV][AES-128-CBC of body + "MIKO" + first P bytes of IV]
// The AES key is MD5 of the session key bytes; "MIKO" is the only integrity
// check. The functions are pure; the pipe decides which messages are sealed
// and keeps its session key expanded (TAesKey) between messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/mAES.h"

namespace tw {

inline constexpr std::string_view kSealCheckWord = "MIKO";
inline constexpr size_t kSealHeaderSize = 17;
inline constexpr size_t kSealIvSize = 16;
inline constexpr size_t kSealBlockSize = 16;

// The IV of every message sealed in one pump step: MD5 of the decimal text of
// the pump tick.
std::string SealIvForTick(uint32_t pumpTick);

// The SealedPayload of a non-empty `body`; `iv` must be 16 bytes.
std::string SealPayload(std::string_view body, std::string_view sessionKey, std::string_view iv);
// The same with the session key already expanded: TAesKey(sessionKey).
std::string SealPayload(std::string_view body, const TAesKey& key, std::string_view iv);

// The length of the SealedPayload of a non-empty body of `bodySize` bytes:
// the header, the body, the check word and the pad.
size_t SealedSize(size_t bodySize);

// A SealedPayload cut piece by piece from a body that stays where it is, so
// that one body shared by many pipes is sealed for each with its own key
// without a sealed copy per pipe: Start appends the header, then Append the
// ciphertext in pieces of any size, in order. The cursor holds only the CBC
// chain: the ciphertext block made last, whose bytes past the last piece are
// the next piece's first. The body, key and IV are the caller's and stay the
// same from Start to the last piece; the bytes equal SealPayload's.
class TSealCursor {
 public:
  // Appends the header [P][IV] (`iv` is 16 bytes) of a non-empty body.
  void Start(std::string& out, size_t bodySize, std::string_view iv);
  // Appends ciphertext bytes [at, at + n): `at` is where the last piece
  // ended (0 after Start); at most the bytes left are appended.
  void Append(std::string& out, std::string_view body, const TAesKey& key, std::string_view iv, size_t at,
              size_t n);

 private:
  uint8_t chain_[kSealBlockSize] = {};
};

// Replaces a SealedPayload by its body. False (payload unchanged) when it does
// not open: too short, a ciphertext that is empty or not whole blocks, a pad
// count above 15 or longer than the plaintext allows, or no check word.
bool OpenPayload(std::string& payload, std::string_view sessionKey);
bool OpenPayload(std::string& payload, const TAesKey& key);

}  // namespace tw
