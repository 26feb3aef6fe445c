#include "transport/mSeal.h"

#include <gtest/gtest.h>

using namespace tw;

namespace {
const std::string kKey = "session-key-1234";
const std::string kIv = SealIvForTick(123456);
}  // namespace

TEST(Seal, EveryBodyLengthRoundTripsWithTheExpectedSize) {
  for (size_t n = 1; n <= 64; ++n) {
    std::string body(n, '\0');
    for (size_t i = 0; i < n; ++i) body[i] = static_cast<char>(i * 37 + n);
    std::string sealed = SealPayload(body, kKey, kIv);
    EXPECT_EQ(sealed.size(), 17 + 16 * ((n + 4 + 15) / 16)) << n;
    EXPECT_EQ(static_cast<size_t>(sealed[0]), (16 - (n + 4) % 16) % 16) << n;
    EXPECT_EQ(sealed.substr(1, 16), kIv);
    ASSERT_TRUE(OpenPayload(sealed, kKey)) << n;
    EXPECT_EQ(sealed, body) << n;
  }
}

TEST(Seal, WorkedSizes) {
  EXPECT_EQ(SealPayload(std::string(12, 'a'), kKey, kIv).size(), 33u);
  std::string thirteen = SealPayload(std::string(13, 'a'), kKey, kIv);
  EXPECT_EQ(thirteen.size(), 49u);
  EXPECT_EQ(thirteen[0], 15);
}

TEST(Seal, IvIsTheDigestOfTheTickText) {
  EXPECT_EQ(SealIvForTick(7).size(), 16u);
  EXPECT_EQ(SealIvForTick(7), SealIvForTick(7));
  EXPECT_NE(SealIvForTick(7), SealIvForTick(8));
}

TEST(Seal, PayloadsThatDoNotOpen) {
  const std::string good = SealPayload("hello world, twelve+", kKey, kIv);
  struct Case {
    const char* name;
    std::string payload;
    std::string key;
  };
  std::string pad16 = good;
  pad16[0] = 16;
  std::string pad255 = good;
  pad255[0] = static_cast<char>(255);
  std::string tampered = good;
  tampered.back() ^= 1;
  const Case cases[] = {
      {"10 bytes", good.substr(0, 10), kKey},
      {"exactly the header", good.substr(0, 17), kKey},
      {"20-byte ciphertext", good.substr(0, 37), kKey},
      {"pad 16", pad16, kKey},
      {"pad 255", pad255, kKey},
      {"wrong key", good, "another key"},
      {"tampered last block", tampered, kKey},
  };
  for (const Case& c : cases) {
    std::string p = c.payload;
    EXPECT_FALSE(OpenPayload(p, c.key)) << c.name;
  }
}

TEST(Seal, PadLongerThanThePlaintextAllowsDoesNotUnderflow) {
  // One block whose pad count leaves no room for the check word.
  std::string one = SealPayload("abcdefghijkl", kKey, kIv);  // 12 + 4 = 16, P = 0
  one[0] = 13;
  EXPECT_FALSE(OpenPayload(one, kKey));
}

// A body sealed piece by piece, as a shared body is cut into chunks, gives
// SealPayload's bytes whatever the pieces' sizes, block edges included.
TEST(Seal, CursorInPiecesGivesTheSealedPayload) {
  const TAesKey key(kKey);
  const size_t sizes[] = {1, 11, 12, 13, 15, 16, 17, 27, 28, 29, 31, 32, 33, 100, 1000};
  const size_t pieces[] = {1, 3, 15, 16, 17, 33, 5000};
  for (const size_t size : sizes)
    for (const size_t piece : pieces) {
      std::string body(size, '\0');
      for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>(i * 29 + 3);
      const std::string expected = SealPayload(body, key, kIv);
      ASSERT_EQ(SealedSize(size), expected.size()) << size;
      TSealCursor cursor;
      std::string got;
      cursor.Start(got, size, kIv);
      ASSERT_EQ(got.size(), kSealHeaderSize);
      for (size_t at = 0; got.size() < expected.size(); at += piece) {
        const size_t before = got.size();
        cursor.Append(got, body, key, kIv, at, piece);
        ASSERT_GT(got.size(), before) << "size " << size << " piece " << piece;
      }
      EXPECT_EQ(got, expected) << "size " << size << " piece " << piece;
    }
}
