#include "platform/com/guid.h"

#include <gtest/gtest.h>

#include <set>

using namespace tw::com;

TEST(Guid, NewGuidsAreVersion4AndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    GUID g;
    ASSERT_EQ(CoCreateGuid(&g), S_OK);
    EXPECT_EQ(g.Data3 >> 12, 4);
    EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
    seen.insert(GuidToString(g));
  }
  EXPECT_EQ(seen.size(), 100u);
  EXPECT_EQ(CoCreateGuid(nullptr), E_POINTER);
}

TEST(Guid, TextFormRoundTripsAndRejectsMalformedText) {
  const GUID g{0x00020400, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
  EXPECT_EQ(GuidToString(g), "{00020400-0000-0000-C000-000000000046}");
  EXPECT_EQ(GuidFromString("{00020400-0000-0000-C000-000000000046}"), g);
  EXPECT_EQ(GuidFromString("00020400-0000-0000-c000-000000000046"), g);
  EXPECT_FALSE(GuidFromString("{00020400-0000-0000-C000-00000000004}"));
  EXPECT_FALSE(GuidFromString("{00020400-0000-0000-C000+000000000046}"));
  EXPECT_FALSE(GuidFromString("{0002040G-0000-0000-C000-000000000046}"));
}
