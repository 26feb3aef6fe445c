#include "client/mOfferedName.h"

#include <gtest/gtest.h>

#include <string>

namespace tw::cln {
namespace {

using namespace std::string_literals;

TEST(OfferedName, TheSenderOffersTheNameWithoutFolders) {
  EXPECT_EQ(BareFileName(u"/home/ann/report.pdf"), u"report.pdf");
  EXPECT_EQ(BareFileName(u"report.pdf"), u"report.pdf");
  EXPECT_EQ(BareFileName(u"../up/a b.txt"), u"a b.txt");
}

TEST(OfferedName, TheReceiverTrimsBlanksAndControlsThenOneBackslash) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"  \\dir\\a.txt", u"dir\\a.txt"},
      {u"\t\r\n name.txt \x01\x1f", u"name.txt"},
      {u"\\\\srv\\x", u"\\srv\\x"},  // only one backslash goes
      {u"\0name\0"s, u"name"},       // NUL at either end is a control character
      {u"a  b", u"a  b"},
      {u"   ", u""},
      {u" \t\\dir\\file.txt \r\n", u"dir\\file.txt"},
      {u"plain", u"plain"},
      {u" \\ ", u""},  // the backslash goes after the trim
      {u"", u""},
  };
  for (const auto& [offered, shown] : cases) EXPECT_EQ(TrimOfferedName(offered), shown);
}

// What a container may be shown: a name it can join to a folder of its own.
TEST(OfferedName, OnlyPlainNamesReachTheContainer) {
  const std::pair<std::u16string, bool> cases[] = {
      {u"report.pdf", true}, {u"dir\\a.txt", true}, {u"..x", true},   {u"...", true},
      {u"a b", true},        {u"", false},           {u".", false},     {u"..", false},
      {u"../x", false},      {u"/etc/x", false},     {u"dir/", false},  {u"a\0b"s, false},
  };
  for (const auto& [name, plain] : cases) EXPECT_EQ(IsPlainName(name), plain) << std::string(name.begin(), name.end());
}

// Names a hostile peer may offer: whatever it sends, the file lands in the
// current folder under a plain name, or the offer is refused.
TEST(OfferedName, APeerNamesAFileNeverAPlace) {
  const std::pair<std::u16string, std::optional<std::u16string>> cases[] = {
      {u"report.pdf", u"report.pdf"},
      {u"../x", u"x"},
      {u"../../etc/passwd", u"passwd"},
      {u"/etc/x", u"x"},
      {u"\\\\srv\\share\\x", u"x"},
      {u"dir\\a.txt", u"a.txt"},
      {u"C:\\Windows\\evil.dll", u"evil.dll"},
      {u"a/b\\c", u"c"},
      {u"..x", u"..x"},
      {u"...", u"..."},
      {u"", std::nullopt},
      {u".", std::nullopt},
      {u"..", std::nullopt},
      {u"dir/..", std::nullopt},
      {u"dir\\.", std::nullopt},
      {u"dir/", std::nullopt},
      {u"\\", std::nullopt},
      {u"a\0b"s, std::nullopt},
      {u"ok.txt\0/../../x"s, std::nullopt},
  };
  for (const auto& [name, local] : cases) {
    std::optional<std::u16string> got = SafeLocalName(name);
    EXPECT_EQ(got, local) << std::string(name.begin(), name.end());
    if (got) {
      EXPECT_EQ(got->find_first_of(u"\\/"), std::u16string::npos);
    }
  }
  // Trimmed first, as the receiver does.
  EXPECT_EQ(SafeLocalName(TrimOfferedName(u"  \\dir\\a.txt")), u"a.txt");
  EXPECT_EQ(SafeLocalName(TrimOfferedName(u" .. ")), std::nullopt);
}

}  // namespace
}  // namespace tw::cln
