#include "platform/win32/text.h"

#include <gtest/gtest.h>

using namespace tw::win32;

TEST(Text, Utf8AndUtf16RoundTripIncludingSurrogates) {
  const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // A é € 😀
  const std::u16string utf16 = u"A\u00E9\u20AC\U0001F600";
  EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
  EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
}

TEST(Text, InvalidSequencesBecomeReplacementCharacters) {
  struct Case { std::string in; std::u16string out; };
  const Case cases[] = {
      {"\xFF", u"\uFFFD"},                  // never a lead byte
      {"\xC3", u"\uFFFD"},                  // truncated
      {"\xC0\xAF", u"\uFFFD\uFFFD"},        // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // encoded surrogate
      {"a\x80z", u"a\uFFFDz"},
  };
  for (const Case& c : cases) EXPECT_EQ(Utf8ToUtf16(c.in), c.out) << c.in;
  EXPECT_EQ(Utf16ToUtf8(u"\xD800x"), "\xEF\xBF\xBDx");  // lone surrogate
}

TEST(Text, AnsiIsWindows1252WithQuestionMarksForTheRest) {
  EXPECT_EQ(AnsiToWide("\x80\x9F\xE9"), u"\u20AC\u0178\u00E9");
  EXPECT_EQ(WideToAnsi(u"\u20AC\u0178\u00E9"), "\x80\x9F\xE9");
  EXPECT_EQ(WideToAnsi(u"\u0416\U0001F600"), "???");  // Cyrillic, and a surrogate pair
  for (int b = 0; b < 256; ++b) {
    std::string one(1, static_cast<char>(b));
    EXPECT_EQ(WideToAnsi(AnsiToWide(one)), one) << b;
  }
}
