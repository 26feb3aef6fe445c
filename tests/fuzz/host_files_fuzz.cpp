// Feeds arbitrary bytes to the INI reader and the comma-text reader: neither
// may fail, and what they read must survive a write and a second read.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "host/mCommaText.h"
#include "host/mIniFile.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);

  tw::TIniFile ini = tw::TIniFile::FromText(input);
  std::string text = ini.ToText();
  tw::TIniFile again = tw::TIniFile::FromText(text);
  Check(again.SectionNames() == ini.SectionNames());
  Check(again.ToText() == text);
  // Every value read back from a rewrite of its section reads the same.
  for (size_t i = 0; i < ini.SectionCount(); ++i) {
    std::string value = ini.ReadString(ini.SectionName(i), "k", "");
    tw::TIniFile fresh;
    if (fresh.WriteString("S", "k", value))
      Check(tw::TIniFile::FromText(fresh.ToText()).ReadString("S", "k", "?") == value);
  }

  std::vector<std::string> items = tw::FromCommaText(input);
  Check(tw::FromCommaText(tw::ToCommaText(items)) == items);
  return 0;
}
