#include "host/mCommaText.h"

#include <gtest/gtest.h>

namespace tw {
namespace {

using Items = std::vector<std::string>;

TEST(CommaText, WritesItemsQuotingOnlyThoseThatNeedIt) {
  struct Case {
    Items items;
    std::string text;
  };
  const Case cases[] = {
      {{}, ""},
      {{"AAAAAAAAAAAAAAAAAAAAAA==", "BBBBBBBBBBBBBBBBBBBBBB=="},
       "AAAAAAAAAAAAAAAAAAAAAA==,BBBBBBBBBBBBBBBBBBBBBB=="},
      {{"two words"}, "\"two words\""},
      {{"a,b"}, "\"a,b\""},
      {{"say \"hi\""}, "\"say \"\"hi\"\"\""},
      {{"tab\there"}, "\"tab\there\""},
      {{""}, "\"\""},
      {{"a", "", "b"}, "a,\"\",b"},
      {{"\xE9t\xE9"}, "\xE9t\xE9"},
  };
  for (const Case& c : cases) EXPECT_EQ(ToCommaText(c.items), c.text) << c.text;
}

TEST(CommaText, ReadsWhatOlderWritersAndHandsWrote) {
  struct Case {
    std::string text;
    Items items;
  };
  const Case cases[] = {
      {"", {}},
      {"  ", {}},
      {"a,b", {"a", "b"}},
      {" a , b ", {"a", "b"}},
      {"a b", {"a", "b"}},  // an unquoted blank separates too
      {"a,,b", {"a", "", "b"}},
      {"a,", {"a"}},
      {"\"x \"\"y\"\"\",z", {"x \"y\"", "z"}},
      {"\"unterminated, still", {"unterminated, still"}},
      {"in\"side", {"in\"side"}},
      {"\"ab\"cd", {"ab", "cd"}},
  };
  for (const Case& c : cases) EXPECT_EQ(FromCommaText(c.text), c.items) << c.text;
}

TEST(CommaText, RoundTripsAnyList) {
  const Items lists[] = {
      {},
      {""},
      {"", ""},
      {"a", ""},
      {" lead", "trail ", "  "},
      {",", ",,", "a,b"},
      {"\"", "\"\"", "x\"y"},
      {std::string("\0\x01\x1F\x7F", 4), "line\r\nbreak"},
      {"\x80\xFF", "plain"},
  };
  for (const Items& items : lists) EXPECT_EQ(FromCommaText(ToCommaText(items)), items) << ToCommaText(items);
}

}  // namespace
}  // namespace tw
