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

// The IV of every message sealed in one pump step: MD5 of the decimal text of
// the pump tick.
std::string SealIvForTick(uint32_t pumpTick);

// The SealedPayload of a non-empty `body`; `iv` must be 16 bytes.
std::string SealPayload(std::string_view body, std::string_view sessionKey, std::string_view iv);
// The same with the session key already expanded: TAesKey(sessionKey).
std::string SealPayload(std::string_view body, const TAesKey& key, std::string_view iv);

// Replaces a SealedPayload by its body. False (payload unchanged) when it does
// not open: too short, a ciphertext that is empty or not whole blocks, a pad
// count above 15 or longer than the plaintext allows, or no check word.
bool OpenPayload(std::string& payload, std::string_view sessionKey);
bool OpenPayload(std::string& payload, const TAesKey& key);

}  // namespace tw
