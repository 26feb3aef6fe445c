#include "crypto/mBase64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>

#include "tests/crypto/test_bytes.h"

namespace tw {
namespace {

TEST(Base64, EncodesAndDecodesTheRfc4648Vectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, text] : vectors) {
    EXPECT_EQ(Base64Encode(plain), text);
    EXPECT_EQ(Base64Decode(text), plain);
  }
}

struct DecodeCase {
  std::string text;
  std::string bytes;
};

TEST(Base64, TolerantDecodingFollowsItsOwnRules) {
  const DecodeCase cases[] = {
      {"Z", ""},
      {"Zm", ""},
      {"Zm9", ""},
      {"Zm9vY", ""},
      {"Zm9vYm", ""},
      {"====", ""},
      // Three bytes, then four pad characters: every trailing "=" removes a byte.
      {"Zm9v====", "fo"},
      // A foreign character counts 61, like "=" inside a group: "Zm9" + 61.
      {"Zm99", "fo\x7d"},
      {"Zm9-", "fo\x7d"},
      {"Zm9\n", "fo\x7d"},
      // A line break is not skipped: 5 characters is a wrong length.
      {"Zm9v\n", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(Base64Decode(c.text), c.bytes) << '"' << c.text << '"';
}

TEST(Base64, BytesAbove127InTextAreForeignCharacters) {
  for (int c = 0x80; c < 0x100; ++c) EXPECT_EQ(Base64CharValue(static_cast<char>(c)), 61u);
  EXPECT_EQ(Base64Decode("Zm9\xff"), "fo\x7d");
  EXPECT_EQ(Base64CharValue('A'), 0u);
  EXPECT_EQ(Base64CharValue('/'), 63u);
  EXPECT_EQ(Base64CharValue('='), 61u);
}

TEST(Base64, EncodingMatchesOpenSslAndRoundTripsEveryByte) {
  std::mt19937 rng(4648);
  for (size_t n = 0; n < 300; ++n) {
    const std::string bytes = test::RandomBytes(rng, n);
    std::string expected(4 * ((n + 2) / 3) + 1, '\0');
    const int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()),
                                    reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(n));
    expected.resize(static_cast<size_t>(len));
    const std::string text = Base64Encode(bytes);
    ASSERT_EQ(text, expected);
    ASSERT_EQ(Base64Decode(text), bytes);
  }
}

}  // namespace
}  // namespace tw
