#include "crypto/mAES.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

#include "crypto/mCryptoError.h"
#include "crypto/mMD5.h"
#include "tests/crypto/test_bytes.h"

namespace tw {
namespace {

using test::FromHex;
using test::ToHex;

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// The engines a test runs on: always the portable one, AES-NI where present.
std::vector<TAesPath> Paths() {
  std::vector<TAesPath> p{TAesPath::Portable};
  if (AesNiAvailable()) p.push_back(TAesPath::AesNi);
  return p;
}

TEST(Aes, BlockFunctionsMatchFips197) {
  const std::pair<const char*, std::pair<const char*, const char*>> vectors[] = {
      {"000102030405060708090a0b0c0d0e0f", {"00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"}},
      {"2b7e151628aed2a6abf7158809cf4f3c", {"3243f6a8885a308d313198a2e0370734", "3925841d02dc09fbdc118597196a0b32"}},
  };
  for (const auto& [key, io] : vectors) {
    const std::string k = FromHex(key), in = FromHex(io.first);
    uint8_t out[16], back[16];
    AesEncryptBlock(U8(in), out, AesExpandEncryptKey(U8(k)));
    EXPECT_EQ(ToHex(std::string_view(reinterpret_cast<char*>(out), 16)), io.second);
    AesDecryptBlock(out, back, AesExpandDecryptKey(U8(k)));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back), 16), in);
  }
}

TEST(Aes, CbcWithRawKeyMatchesSp80038a) {
  const std::string key = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
  const std::string iv = FromHex("000102030405060708090a0b0c0d0e0f");
  const std::string plain = FromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const std::string cipher = FromHex(
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
  for (TAesPath path : Paths()) {
    std::string out(64, '\0');
    AesEncryptCbcRawKey(plain.data(), 64, U8(key), out.data(), U8(iv), path);
    EXPECT_EQ(ToHex(out), ToHex(cipher));
    AesDecryptCbcRawKey(cipher.data(), 64, U8(key), out.data(), U8(iv), path);
    EXPECT_EQ(ToHex(out), ToHex(plain));
  }
}

TEST(Aes, KeyTextIsDigestedWithMd5) {
  struct Fixture {
    std::string keyText, iv, plain, cipher;
  };
  const Fixture fixtures[] = {
      {"secret", FromHex("000102030405060708090a0b0c0d0e0f"), "The quick brown fox jumps over t",
       FromHex("97673c668c7ef121a1b9ad268fdc20aff6ca8383780209acbff0239b333fa181")},
      // The empty key text is a key: MD5 of the empty message.
      {"", std::string(16, '\0'), "0123456789abcdef", FromHex("ebe8d7f9bb491f04a868f2773d227438")},
  };
  for (const auto& f : fixtures)
    for (TAesPath path : Paths()) {
      std::string buf = f.plain;
      AesEncryptCbc(buf.data(), static_cast<uint32_t>(buf.size()), f.keyText, buf.data(), U8(f.iv), path);
      EXPECT_EQ(ToHex(buf), ToHex(f.cipher));
      AesDecryptCbc(buf.data(), static_cast<uint32_t>(buf.size()), f.keyText, buf.data(), U8(f.iv), path);
      EXPECT_EQ(buf, f.plain);
    }
}

TEST(Aes, BadLengthsRaiseBeforeTouchingTheDestination) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "Nothing to do"}, {15, "Wrong block length"}, {17, "Wrong block length"}, {33, "Wrong block length"}};
  const uint8_t iv[16] = {};
  const TAesKey kept("k");
  for (const auto& [length, message] : cases)
    for (int call = 0; call < 4; ++call) {
      const std::string src(48, 'a');
      std::string dst(48, 'z');
      try {
        if (call == 0) AesEncryptCbc(src.data(), length, "k", dst.data(), iv);
        if (call == 1) AesDecryptCbc(src.data(), length, "k", dst.data(), iv);
        if (call == 2) kept.EncryptCbc(src.data(), length, dst.data(), iv);
        if (call == 3) kept.DecryptCbc(src.data(), length, dst.data(), iv);
        ADD_FAILURE() << "no error for length " << length << " in call " << call;
      } catch (const ECryptoError& e) {
        EXPECT_STREQ(e.what(), message);
      }
      EXPECT_EQ(dst, std::string(48, 'z'));
    }
}

TEST(Aes, CallsKeepNoStateAndLeaveTheIvAlone) {
  uint8_t iv[16];
  for (int i = 0; i < 16; ++i) iv[i] = static_cast<uint8_t>(i * 7);
  const std::string plain(96, 'p');
  std::string a(96, '\0'), b(96, '\0');
  AesEncryptCbc(plain.data(), 96, "key", a.data(), iv);
  AesEncryptCbc(plain.data(), 96, "key", b.data(), iv);
  EXPECT_EQ(a, b);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(iv[i], static_cast<uint8_t>(i * 7));
}

std::string OpenSslCbc(bool encrypt, const std::string& keyText, const std::string& iv, const std::string& in) {
  uint8_t key[16];
  Md5OfBuffer(keyText.data(), keyText.size(), key);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, U8(iv), encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  std::string out(in.size() + 16, '\0');
  int len = 0, fin = 0;
  EVP_CipherUpdate(ctx, reinterpret_cast<uint8_t*>(out.data()), &len, U8(in), static_cast<int>(in.size()));
  EVP_CipherFinal_ex(ctx, reinterpret_cast<uint8_t*>(out.data()) + len, &fin);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(len + fin));
  return out;
}

TEST(Aes, BothEnginesAgreeWithOpenSslOnRandomInputsInPlace) {
  std::mt19937 rng(197);
  for (int round = 0; round < 60; ++round) {
    const std::string keyText = test::RandomBytes(rng, rng() % 40);
    const std::string iv = test::RandomBytes(rng, 16);
    const std::string plain = test::RandomBytes(rng, 16 * (1 + rng() % 40));
    const auto length = static_cast<uint32_t>(plain.size());
    const std::string expected = OpenSslCbc(true, keyText, iv, plain);
    ASSERT_EQ(OpenSslCbc(false, keyText, iv, expected), plain);
    for (TAesPath path : Paths()) {
      std::string buf = plain;
      AesEncryptCbc(buf.data(), length, keyText, buf.data(), U8(iv), path);
      ASSERT_EQ(buf, expected);
      AesDecryptCbc(buf.data(), length, keyText, buf.data(), U8(iv), path);
      ASSERT_EQ(buf, plain);
      // A kept key gives the same bytes, call after call.
      const TAesKey kept(keyText, path);
      for (int again = 0; again < 2; ++again) {
        kept.EncryptCbc(buf.data(), length, buf.data(), U8(iv));
        ASSERT_EQ(buf, expected);
        kept.DecryptCbc(buf.data(), length, buf.data(), U8(iv));
        ASSERT_EQ(buf, plain);
      }
    }
  }
}

// Source and destination apart: the source stays as it was and the
// encryption, whose engines read each next block ahead, reads nothing past
// the end (the buffers are exactly the length, for the sanitizers).
TEST(Aes, BothEnginesAgreeWithOpenSslBetweenSeparateBuffers) {
  std::mt19937 rng(3);
  for (const uint32_t blocks : {1u, 2u, 3u, 17u, 256u}) {
    const std::string keyText = test::RandomBytes(rng, 16);
    const std::string iv = test::RandomBytes(rng, 16);
    const std::vector<uint8_t> plain = [&] {
      const std::string bytes = test::RandomBytes(rng, 16 * blocks);
      return std::vector<uint8_t>(bytes.begin(), bytes.end());
    }();
    const std::string expected = OpenSslCbc(true, keyText, iv, std::string(plain.begin(), plain.end()));
    for (TAesPath path : Paths()) {
      const std::vector<uint8_t> source = plain;
      std::vector<uint8_t> cipher(source.size()), back(source.size());
      AesEncryptCbc(source.data(), 16 * blocks, keyText, cipher.data(), U8(iv), path);
      EXPECT_EQ(std::string(cipher.begin(), cipher.end()), expected) << blocks << " blocks";
      EXPECT_EQ(source, plain);
      AesDecryptCbc(cipher.data(), 16 * blocks, keyText, back.data(), U8(iv), path);
      EXPECT_EQ(back, plain) << blocks << " blocks";
    }
  }
}

}  // namespace
}  // namespace tw
