#include "crypto/mRSA.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstring>

#include "crypto/mBase64.h"
#include "crypto/mCryptoError.h"
#include "platform/win32/messages.h"
#include "tests/crypto/test_bytes.h"

namespace tw {
namespace {

struct PumpCounter {
  int count = 0;
  win32::ScopedPumpObserver observer{[this] { ++count; }};
};

uint64_t ModPow(uint64_t b, uint64_t e, uint64_t m) {
  uint64_t r = 1;
  for (b %= m; e; e >>= 1, b = b * b % m)
    if (e & 1) r = r * b % m;
  return r;
}

// The toy pair n = 61 · 53 = 3233 with d = 2753 (65537 = 17 mod phi).
const TBigInt kToyN = BigFromUint(3233);
const TBigInt kToyD = BigFromUint(2753);
const TBigInt kE = BigFromUint(65537);

TEST(RsaFraming, OneByteIsOneBlockOfTheMarkerAndItsBits) {
  // k = 12: "111" + "01000001" is one 11-bit block m = 0b11101000001.
  const uint64_t c = ModPow(0b11101000001, 65537, 3233);
  const std::string cipher = RsaEncryptText("A", kE, kToyN);
  EXPECT_EQ(cipher, BigToBytes(BigFromUint(c)));  // the field's leading zeros dropped
  EXPECT_EQ(RsaDecryptText(cipher, kToyD, kToyN), "A");
}

TEST(RsaFraming, RoundTripsEmptyLeadingZeroAndMultiBlockTexts) {
  const std::string texts[] = {"", std::string("\0\0\x01", 3), std::string(2, '\0'), "hello world",
                               "1234567890-=qwertyuiop[]\\asdfghjkl;zxcvbnm,./"};
  for (const auto& t : texts) EXPECT_EQ(RsaDecryptText(RsaEncryptText(t, kE, kToyN), kToyD, kToyN), t) << t;
}

TEST(RsaFraming, TextWithoutMarkerDecodesToEmpty) {
  EXPECT_EQ(RsaDecryptText("", kToyD, kToyN), "");
  EXPECT_EQ(RsaDecryptText(std::string(1, '\x01'), kToyD, kToyN), "");  // 1^d = 1: no "111"
  EXPECT_EQ(RsaDecryptText(std::string(3, '\0'), kToyD, kToyN), "");
}

TEST(RsaFraming, UnusableModuliAreRefusedAtEntry) {
  const std::string moduli[] = {std::string(), std::string(1, '\0'), "\x01", "\x02", "\x0c"};
  for (const std::string& key : moduli) {
    EXPECT_THROW(RsaPublicEncrypt(key, "x"), ECryptoError) << test::ToHex(key);
    EXPECT_THROW(RsaPrivateDecrypt(key, "\x05", "x"), ECryptoError) << test::ToHex(key);
  }
  EXPECT_THROW(RsaPrivateDecrypt("\x0c\xa1", "", "x"), ECryptoError);
  TBigInt released = BigFromUint(3233);
  BigRelease(released);
  EXPECT_THROW(RsaDecryptText("x", kToyD, released), ECryptoError);
}

TEST(RsaFingerprint, IsBase64OfTheMd5OfTheDecodedBytes) {
  EXPECT_EQ(RsaKeyFingerprint(""), "");
  EXPECT_EQ(RsaKeyFingerprint("abc"), "");
  EXPECT_EQ(RsaKeyFingerprint("AQAB"), "AemAL9kGNBordpElxWLZXA==");
  // Foreign characters decode alike, so their texts share a fingerprint.
  EXPECT_EQ(RsaKeyFingerprint("-QAB"), RsaKeyFingerprint(" QAB"));
}

TEST(RsaSeed, TakesFourGuidsInMemoryOrderAndFailsWithThem) {
  int calls = 0;
  const TGuidSource counting = [&calls](com::GUID* g) {
    const uint8_t b = static_cast<uint8_t>(16 * calls++);
    g->Data1 = uint32_t(b + 1) | uint32_t(b + 2) << 8 | uint32_t(b + 3) << 16 | uint32_t(b + 4) << 24;
    g->Data2 = static_cast<uint16_t>((b + 5) | (b + 6) << 8);
    g->Data3 = static_cast<uint16_t>((b + 7) | (b + 8) << 8);
    for (int i = 0; i < 8; ++i) g->Data4[i] = static_cast<uint8_t>(b + 9 + i);
    return com::S_OK;
  };
  const std::string seed = RandomSeed64(counting);
  ASSERT_EQ(seed.size(), 64u);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(static_cast<uint8_t>(seed[i]), i + 1) << i;

  int left = 5;  // the second seed's second GUID fails
  const TGuidSource failing = [&left](com::GUID* g) {
    *g = com::GUID{};
    return --left >= 0 ? com::S_OK : com::E_FAIL;
  };
  std::string pub = "stale", priv = "stale";
  EXPECT_FALSE(RsaGenerateKeypair(pub, priv, failing));
  EXPECT_EQ(pub, "");
  EXPECT_EQ(priv, "");
}

TEST(RsaNextPrime, StepsFromTheOddStartAndPumpsOncePerCandidate) {
  // p = 2^61 - 1 is prime; p - 1 = 2 · (2^60 - 1), so each of the 4 rounds
  // raises to a 60-bit exponent.
  const TBigInt p = BigFromBits(std::string(61, '1'));
  for (uint64_t below : {2u, 3u}) {
    TBigInt x = BigSubtract(p, BigFromUint(below));
    PumpCounter pumps;
    RsaNextPrime(x);
    EXPECT_EQ(BigCompareMagnitude(x, p), 0);
    EXPECT_EQ(pumps.count, 1 + 4 * 60);
  }
  // The start is never tested, and the table's own primes fail trial division.
  TBigInt small = BigFromUint(9970);
  RsaNextPrime(small);
  EXPECT_EQ(BigToBytes(small), BigToBytes(BigFromUint(10007)));
}

// One real key generation from injected GUIDs, checked against OpenSSL: the
// primes are the first probable primes above the seeds, d the inverse of
// 65537 modulo (p-1)(q-1).
class RsaKeypair : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    uint64_t state = 0x5eed;
    auto source = [&state](com::GUID* g) {
      uint8_t bytes[16];
      for (auto& b : bytes) b = static_cast<uint8_t>((state = state * 6364136223846793005ull + 1442695040888963407ull) >> 56);
      std::memcpy(&g->Data1, bytes, 4);
      std::memcpy(&g->Data2, bytes + 4, 2);
      std::memcpy(&g->Data3, bytes + 6, 2);
      std::memcpy(g->Data4, bytes + 8, 8);
      return com::S_OK;
    };
    seeds_ = new std::pair<std::string, std::string>(RandomSeed64(source), RandomSeed64(source));
    state = 0x5eed;
    pub_ = new std::string;
    priv_ = new std::string;
    ok_ = RsaGenerateKeypair(*pub_, *priv_, source);
  }
  static void TearDownTestSuite() {
    delete seeds_;
    delete pub_;
    delete priv_;
  }
  static std::pair<std::string, std::string>* seeds_;
  static std::string* pub_;
  static std::string* priv_;
  static bool ok_;
};

std::pair<std::string, std::string>* RsaKeypair::seeds_ = nullptr;
std::string* RsaKeypair::pub_ = nullptr;
std::string* RsaKeypair::priv_ = nullptr;
bool RsaKeypair::ok_ = false;

BIGNUM* NextPrimeBn(const std::string& seed, BN_CTX* ctx) {
  BIGNUM* x = BN_bin2bn(reinterpret_cast<const unsigned char*>(seed.data()), static_cast<int>(seed.size()), nullptr);
  if (!BN_is_odd(x)) BN_add_word(x, 1);
  do BN_add_word(x, 2);
  while (BN_check_prime(x, ctx, nullptr) != 1);
  return x;
}

std::string BnBytes(const BIGNUM* b) {
  std::string s(static_cast<size_t>(BN_num_bytes(b)), '\0');
  BN_bn2bin(b, reinterpret_cast<unsigned char*>(s.data()));
  return s;
}

TEST_F(RsaKeypair, MatchesTheKeyOpenSslDerivesFromTheSameSeeds) {
  ASSERT_TRUE(ok_);
  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* p = NextPrimeBn(seeds_->first, ctx);
  BIGNUM* q = NextPrimeBn(seeds_->second, ctx);
  BIGNUM* n = BN_new();
  BN_mul(n, p, q, ctx);
  BN_sub_word(p, 1);
  BN_sub_word(q, 1);
  BIGNUM* phi = BN_new();
  BN_mul(phi, p, q, ctx);
  BIGNUM* e = BN_new();
  BN_set_word(e, 65537);
  BIGNUM* d = BN_mod_inverse(nullptr, e, phi, ctx);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(*pub_, Base64Encode(BnBytes(n)));
  EXPECT_EQ(*priv_, Base64Encode(BnBytes(d)));
  for (BIGNUM* b : {p, q, n, phi, e, d}) BN_free(b);
  BN_CTX_free(ctx);
}

TEST_F(RsaKeypair, KeyTextsAndFingerprintHaveTheirShapes) {
  ASSERT_TRUE(ok_);
  const std::string n = Base64Decode(*pub_);
  EXPECT_NE(n[0], '\0');
  EXPECT_EQ(pub_->size(), 4 * ((n.size() + 2) / 3));
  const std::string fp = RsaKeyFingerprint(*pub_);
  EXPECT_EQ(fp.size(), 24u);
  EXPECT_EQ(fp.substr(22), "==");
}

TEST_F(RsaKeypair, SessionKeyHalvesAndLongTextsRoundTrip) {
  ASSERT_TRUE(ok_);
  const std::string half("\0\0\0\0\0\0\0\x05", 8);
  const std::string c = RsaPublicEncryptWithKeyText(*pub_, half);
  EXPECT_LE(c.size(), (BigBitLength(BigFromBytes(Base64Decode(*pub_))) + 7) / 8);
  EXPECT_EQ(RsaPrivateDecryptWithKeyText(*pub_, *priv_, c), half);
  const std::string longText(200, 'L');  // several 1023-bit blocks
  const std::string lc = RsaPublicEncryptWithKeyText(*pub_, longText);
  EXPECT_GT(lc.size(), 128u);
  EXPECT_EQ(RsaPrivateDecryptWithKeyText(*pub_, *priv_, lc), longText);
  // The wrong private key gives noise, never an error.
  EXPECT_NE(RsaPrivateDecryptWithKeyText(*pub_, "AQAB", c), half);
}

}  // namespace
}  // namespace tw
