#include "platform/com/bstr.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tw::com {
namespace {

uint32_t PrefixOf(BSTR s) {
  uint32_t n;
  std::memcpy(&n, reinterpret_cast<const char*>(s) - 4, 4);
  return n;
}

TEST(Bstr, CarriesByteLengthPrefixAndTrailingNul) {
  BSTR s = SysAllocString(u"héllo");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(PrefixOf(s), 10u);
  EXPECT_EQ(SysStringLen(s), 5u);
  EXPECT_EQ(SysStringByteLen(s), 10u);
  EXPECT_EQ(s[5], u'\0');
  EXPECT_EQ(BstrView(s), u"héllo");
  SysFreeString(s);
}

TEST(Bstr, LengthCountsEmbeddedNuls) {
  const char16_t text[] = {u'a', 0, u'b'};
  BSTR s = SysAllocStringLen(text, 3);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(s[1], 0);
  EXPECT_EQ(s[3], 0);
  SysFreeString(s);
}

TEST(Bstr, ByteLengthStringKeepsOddLengthAndStaysTerminated) {
  BSTR s = SysAllocStringByteLen("abc", 3);
  EXPECT_EQ(SysStringByteLen(s), 3u);
  EXPECT_EQ(SysStringLen(s), 1u);
  EXPECT_EQ(std::memcmp(s, "abc", 3), 0);
  EXPECT_EQ(reinterpret_cast<const char*>(s)[3], 0);
  EXPECT_EQ(s[2], 0);  // a whole NUL unit after the text
  SysFreeString(s);
}

TEST(Bstr, NullCountsAsEmpty) {
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  EXPECT_TRUE(BstrView(nullptr).empty());
  EXPECT_EQ(SysAllocString(static_cast<const OLECHAR*>(nullptr)), nullptr);
  SysFreeString(nullptr);
  EXPECT_EQ(Bstr(), Bstr(u""));
}

TEST(Bstr, ZeroFilledWhenNoTextGiven) {
  BSTR s = SysAllocStringLen(nullptr, 4);
  EXPECT_EQ(SysStringLen(s), 4u);
  for (int i = 0; i <= 4; ++i) EXPECT_EQ(s[i], 0);
  SysFreeString(s);
}

TEST(Bstr, RefusesLengthsBeyondThePrefix) {
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Bstr, ReAllocReplacesAndFreesTheOldString) {
  BSTR s = SysAllocString(u"one");
  EXPECT_EQ(SysReAllocString(&s, u"three"), TRUE);
  EXPECT_EQ(BstrView(s), u"three");
  EXPECT_EQ(SysReAllocString(&s, nullptr), TRUE);
  EXPECT_EQ(s, nullptr);
}

TEST(Bstr, HolderOwnsCopiesAndConvertsUtf8) {
  Bstr a = Bstr::FromUtf8("grüße");
  Bstr b = a;
  EXPECT_NE(a.Get(), b.Get());
  EXPECT_EQ(b.Utf8(), "grüße");
  BSTR* slot = b.Out();
  EXPECT_EQ(*slot, nullptr);
  *slot = SysAllocString(u"x");
  EXPECT_EQ(b, u"x");
  BSTR raw = a.Detach();
  EXPECT_EQ(a.Get(), nullptr);
  Bstr c = Bstr::Attach(raw);
  EXPECT_EQ(c.Utf8(), "grüße");
}

}  // namespace
}  // namespace tw::com
