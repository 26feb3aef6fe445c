#include "transport/twTools.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace tw {
namespace {

using namespace std::string_literals;

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

enum class Kind { Int, Int64, Str, Wide };
using Value = std::variant<int64_t, std::string, std::u16string>;

struct ReaderCase {
  const char* name;
  Kind kind;
  std::string input;
  Value expected;
  size_t left;  // bytes left in the body after the read
};

Value ReadFromString(Kind kind, std::string& body) {
  switch (kind) {
    case Kind::Int: return int64_t{ReadIntField(body)};
    case Kind::Int64: return ReadInt64Field(body);
    case Kind::Str: return ReadStrField(body);
    case Kind::Wide: return ReadWideField(body);
  }
  return {};
}

Value ReadFromView(Kind kind, std::string_view& body) {
  switch (kind) {
    case Kind::Int: return int64_t{ReadIntField(body)};
    case Kind::Int64: return ReadInt64Field(body);
    case Kind::Str: return std::string(ReadStrField(body));
    case Kind::Wide: return ReadWideField(body);
  }
  return {};
}

const ReaderCase kReaderCases[] = {
    {"IntEmpty", Kind::Int, "", int64_t{0}, 0},
    {"IntThreeBytesKeepsThem", Kind::Int, Bytes({7, 0, 0}), int64_t{0}, 3},
    {"IntWhole", Kind::Int, Bytes({7, 0, 0, 0, 9}), int64_t{7}, 1},
    {"IntNegative", Kind::Int, Bytes({0xFE, 0xFF, 0xFF, 0xFF}), int64_t{-2}, 0},
    {"Int64SevenBytesKeepsThem", Kind::Int64, Bytes({1, 0, 0, 0, 1, 0, 0}), int64_t{0}, 7},
    {"Int64TwoToThe32PlusOne", Kind::Int64, Bytes({1, 0, 0, 0, 1, 0, 0, 0}), int64_t{(1LL << 32) + 1}, 0},
    {"Int64Negative", Kind::Int64, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 5}), int64_t{-1}, 1},
    {"StrThreeBytesKeepsThem", Kind::Str, Bytes({2, 0, 0}), ""s, 3},
    {"StrCountTenOverSixKeepsAll", Kind::Str, Bytes({10, 0, 0, 0, 1, 2, 3, 4, 5, 6}), ""s, 10},
    {"StrWhole", Kind::Str, Bytes({2, 0, 0, 0, 0x61, 0x62, 0x63}), "ab"s, 1},
    {"StrZeroCountTakesItsCount", Kind::Str, Bytes({0, 0, 0, 0, 0x61}), ""s, 1},
    {"StrCount7FFFFFFFKeepsAll", Kind::Str, Bytes({0xFF, 0xFF, 0xFF, 0x7F, 1, 2}), ""s, 6},
    {"StrCountFFFFFFFFTakesItsCount", Kind::Str, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 1, 2}), ""s, 2},
    {"StrCount80000000TakesItsCount", Kind::Str, Bytes({0, 0, 0, 0x80}), ""s, 0},
    {"WideThreeBytesKeepsThem", Kind::Wide, Bytes({2, 0, 0}), u""s, 3},
    {"WideOddCountKeepsAll", Kind::Wide, Bytes({3, 0, 0, 0, 0x61, 0, 0x62}), u""s, 7},
    {"WideCountOverBytesKeepsAll", Kind::Wide, Bytes({6, 0, 0, 0, 0x61, 0}), u""s, 6},
    {"WideCountFFFFFFFFKeepsAll", Kind::Wide, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x61, 0}), u""s, 6},
    {"WideCount7FFFFFFFKeepsAll", Kind::Wide, Bytes({0xFF, 0xFF, 0xFF, 0x7F, 0x61, 0}), u""s, 6},
    {"WideCount7FFFFFFEKeepsAll", Kind::Wide, Bytes({0xFE, 0xFF, 0xFF, 0x7F, 0x61, 0}), u""s, 6},
    {"WideZeroCountTakesItsCount", Kind::Wide, Bytes({0, 0, 0, 0, 9}), u""s, 1},
    {"WideWhole", Kind::Wide, Bytes({4, 0, 0, 0, 0x68, 0, 0xAC, 0x20, 1}), u"h\u20AC"s, 1},
    {"WideSurrogatePair", Kind::Wide, Bytes({4, 0, 0, 0, 0x3D, 0xD8, 0x00, 0xDE}), u"\U0001F600"s, 0},
};

class FieldReader : public testing::TestWithParam<ReaderCase> {};

TEST_P(FieldReader, GivesValueAndLeavesTheRest) {
  const ReaderCase& c = GetParam();
  std::string body = c.input;
  EXPECT_EQ(ReadFromString(c.kind, body), c.expected);
  EXPECT_EQ(body, c.input.substr(c.input.size() - c.left));

  std::string_view view = c.input;
  EXPECT_EQ(ReadFromView(c.kind, view), c.expected);
  EXPECT_EQ(view, std::string_view(c.input).substr(c.input.size() - c.left));
}

INSTANTIATE_TEST_SUITE_P(Cases, FieldReader, testing::ValuesIn(kReaderCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST(MessageFields, ShortStrFieldLeavesItsCountForTheNextReader) {
  std::string body = Bytes({10, 0, 0, 0, 1, 2, 3, 4, 5, 6});
  EXPECT_EQ(ReadStrField(body), "");
  EXPECT_EQ(ReadIntField(body), 10);
}

TEST(MessageFields, BodyOfIntEmptyWideAndTwoBytesIsFourteenBytes) {
  std::string body;
  PutIntField(body, 7);
  PutWideField(body, u"");
  PutStrField(body, "ab");
  EXPECT_EQ(body, Bytes({7, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0x61, 0x62}));

  EXPECT_EQ(ReadIntField(body), 7);
  EXPECT_EQ(ReadWideField(body), u"");
  EXPECT_EQ(ReadStrField(body), "ab");
  EXPECT_TRUE(body.empty());
}

TEST(MessageFields, Int64FieldOfTwoToThe32PlusOne) {
  std::string body;
  PutInt64Field(body, (int64_t{1} << 32) + 1);
  EXPECT_EQ(body, Bytes({1, 0, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(ReadInt64Field(body), (int64_t{1} << 32) + 1);
  EXPECT_TRUE(body.empty());
}

TEST(MessageFields, ExtremeValuesRoundTrip) {
  std::string body;
  PutIntField(body, INT32_MIN);
  PutInt64Field(body, INT64_MIN);
  PutInt64Field(body, INT64_MAX);
  const std::string raw("\0\xFF" "x", 3);
  PutStrField(body, raw);
  const std::u16string wide = u"\u00E9\uFFFF\U0010FFFF";
  PutWideField(body, wide);

  EXPECT_EQ(ReadIntField(body), INT32_MIN);
  EXPECT_EQ(ReadInt64Field(body), INT64_MIN);
  EXPECT_EQ(ReadInt64Field(body), INT64_MAX);
  EXPECT_EQ(ReadStrField(body), raw);
  EXPECT_EQ(ReadWideField(body), wide);
  EXPECT_TRUE(body.empty());
}

TEST(MessageFields, EncodersReturnTheFieldAlone) {
  EXPECT_EQ(IntToField(0x01020304), Bytes({4, 3, 2, 1}));
  EXPECT_EQ(IntToField(-1), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(StrToField("xyz"), Bytes({3, 0, 0, 0, 'x', 'y', 'z'}));
  EXPECT_EQ(StrToField(""), Bytes({0, 0, 0, 0}));
  // Route lists are concatenated IntFields, read back as one StrField.
  std::string body = StrToField(IntToField(5) + IntToField(9));
  EXPECT_EQ(ReadStrField(body), Bytes({5, 0, 0, 0, 9, 0, 0, 0}));
}

}  // namespace
}  // namespace tw
