// Base64 text of byte strings (standard alphabet, "=" padding, one line) and
// the tolerant decoder that key and fingerprint texts go through. Neither
// direction fails: malformed text decodes to empty or to what its characters
// give. Byte strings are std::string holding raw 8-bit bytes.
#pragma once

#include <string>
#include <string_view>

namespace tw {

// RFC 4648 Base64 with padding: 4 * ceil(n / 3) characters; "" for "".
std::string Base64Encode(std::string_view bytes);

// A text whose length is not a non-zero multiple of 4 gives "". Otherwise every
// group of 4 characters gives 3 bytes (characters outside the alphabet, "="
// included, count as 61), and then one byte is dropped from the end for every
// "=" at the end of the text. Well-formed text decodes as RFC 4648 says.
std::string Base64Decode(std::string_view text);

// The value 0..63 of an alphabet character; 61 for any other character.
unsigned Base64CharValue(char c);

}  // namespace tw
