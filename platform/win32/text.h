// Text conversions between the encodings the system meets: UTF-16 (the COM
// strings), UTF-8 (Linux file names and the terminal) and the 8-bit system
// code page, which is Windows-1252 here.
#pragma once

#include <string>
#include <string_view>

namespace tw::win32 {

// Invalid sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// The 8-bit code page: every byte maps to one UTF-16 unit; a UTF-16 unit with
// no Windows-1252 byte becomes '?'.
std::u16string AnsiToWide(std::string_view ansi);
std::string WideToAnsi(std::u16string_view wide);

}  // namespace tw::win32
