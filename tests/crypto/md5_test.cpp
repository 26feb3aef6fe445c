#include "crypto/mMD5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>

#include "tests/crypto/test_bytes.h"

namespace tw {
namespace {

std::string OpenSslMd5(std::string_view bytes) {
  unsigned char d[16];
  unsigned int len = 0;
  EVP_Digest(bytes.data(), bytes.size(), d, &len, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<char*>(d), 16);
}

TEST(Md5, DigestsTheRfc1321TestSuite) {
  const std::pair<const char*, const char*> suite[] = {
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& [message, digest] : suite) EXPECT_EQ(test::ToHex(Md5OfString(message)), digest) << message;
}

TEST(Md5, EmptyInputDependsOnTheEntryPoint) {
  EXPECT_EQ(Md5OfString(""), "");
  uint8_t d[16];
  Md5OfBuffer("", 0, d);
  EXPECT_EQ(test::ToHex(std::string_view(reinterpret_cast<char*>(d), 16)), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5, PaddingBoundariesMatchOpenSsl) {
  for (size_t n : {1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u}) {
    const std::string m(n, 'x');
    EXPECT_EQ(Md5OfString(m), OpenSslMd5(m)) << n;
  }
}

TEST(Md5, MillionAs) {
  const std::string m(1000000, 'a');
  EXPECT_EQ(test::ToHex(Md5OfString(m)), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, PiecewiseAbsorbingAndLongInputsMatchOpenSsl) {
  std::mt19937 rng(1321);
  for (size_t n : {0u, 3u, 100u, 16383u, 16384u, 16385u, 40000u}) {
    const std::string m = test::RandomBytes(rng, n);
    uint8_t one[16], pieces[16];
    Md5OfBuffer(m.data(), m.size(), one);
    TMd5Context ctx;
    Md5Start(ctx);
    for (size_t off = 0; off < n;) {  // uneven pieces straddle block edges
      const size_t take = std::min<size_t>(n - off, rng() % 130);
      Md5Absorb(ctx, m.data() + off, take);
      off += take;
    }
    Md5Finish(pieces, ctx);
    const std::string expected = OpenSslMd5(m);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(one), 16), expected) << n;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pieces), 16), expected) << n;
  }
}

TEST(Md5, FinishWipesTheContext) {
  TMd5Context ctx;
  Md5Start(ctx);
  Md5Absorb(ctx, "secret", 6);
  uint8_t d[16];
  Md5Finish(d, ctx);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&ctx);
  for (size_t i = 0; i < sizeof ctx; ++i) ASSERT_EQ(bytes[i], 0) << i;
}

}  // namespace
}  // namespace tw
