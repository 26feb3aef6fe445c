// The trusted-fingerprint list as the server control takes it (comma text)
// and the check of a peer's key against it. Any text makes a list that reads
// back as the same text; any key bytes are allowed exactly when the list is
// empty or holds the key's fingerprint in any letter case; any key text gives
// a fingerprint of 24 characters ending "==", or nothing.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "crypto/mBase64.h"
#include "fuzz_input.h"
#include "platform/win32/text.h"
#include "transport/mMill.h"

namespace {

using namespace tw;
using tw::fuzz::TFuzzInput;

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static CMill mill(TMillSide::Server, false);
  mill.ErrorLogPath.clear();
  TFuzzInput in(data, size);
  const uint8_t setup = in.Byte();
  const std::string key(in.Chunk());
  const std::u16string fingerprint = mill.TakeFingerprint(win32::AnsiToWide(Base64Encode(key)));
  if (!key.empty()) TW_FUZZ_CHECK(fingerprint.size() == 24 && fingerprint.ends_with(u"=="));

  // The list: the input's text, with the key's own fingerprint (in a case the
  // input picks) spliced in when the setup asks for it.
  std::string text(in.Rest());
  if (setup & 1) {
    std::string own = win32::WideToAnsi(fingerprint);
    for (size_t i = 0; i < own.size(); ++i)
      if (setup >> (1 + i % 7) & 1) own[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(own[i])));
    text.insert(std::min<size_t>(text.size(), setup >> 3), "," + own + ",");
  }
  const std::u16string wide = win32::AnsiToWide(text);
  mill.SetFingerprints(wide);
  TW_FUZZ_CHECK(mill.GetFingerprints() == win32::AnsiToWide(win32::WideToAnsi(wide)));
  for (const std::string& entry : mill.AllowedFingerprints) TW_FUZZ_CHECK(entry.find(',') == std::string::npos);

  const std::string own = win32::WideToAnsi(fingerprint);
  const bool listed = std::any_of(mill.AllowedFingerprints.begin(), mill.AllowedFingerprints.end(),
                                  [&](const std::string& entry) { return SameIgnoringCase(entry, own); });
  const bool allowed = !key.empty() && (mill.AllowedFingerprints.empty() || listed);
  TW_FUZZ_CHECK(mill.IsKeyAllowed(key) == allowed);

  // Any text as a key text: a fingerprint of the bytes it decodes to.
  const std::u16string any = mill.TakeFingerprint(win32::AnsiToWide(text));
  TW_FUZZ_CHECK(any.empty() || (any.size() == 24 && any.ends_with(u"==")));
  return 0;
}
