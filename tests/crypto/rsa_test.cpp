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

// A 1024-bit pair made by OpenSSL (e = 65537), as KeyTexts.
constexpr char kPublic1024[] =
    "sDHND/D84Pq3iIUeK03DdZlzqmdodzguo/yjuC+dAwbeg0qyA5kAaPXWt/CgENr62zYBHPAUHWb/AxTZRLEyjfuyKYmHENI+ppcl9QkcEwmt"
    "uXpqIjwemUAzV1HJ6dwuynKd6TBCTnsTeETSRUpCIDueOkPHvxyVbAFpSA8/bvM=";
constexpr char kPrivate1024[] =
    "dpX+K2WJ/a4hCsx1grXDAQp308/nep4gnhRy6It7RMdByeHjMBKxOPOFQaW9Rbrsrc+KLjzTfPqOVjeZB+evWswDS0X6dwpB6eZtej92X/zf"
    "15lkUmNwHcBc7Rhcsqa7DcH9AycNKoZ1bbAAsh8jVnes1rjWDmdif9NDv0yLbAE=";

TEST(Rsa1024, SessionKeyHalvesAndLongTextsRoundTrip) {
  const std::string half("\0\0\0\0\0\0\0\x05", 8);
  const std::string c = RsaPublicEncryptWithKeyText(kPublic1024, half);
  EXPECT_LE(c.size(), 128u);
  EXPECT_EQ(RsaPrivateDecryptWithKeyText(kPublic1024, kPrivate1024, c), half);
  const std::string longText(200, 'L');  // two 1023-bit blocks
  const std::string lc = RsaPublicEncryptWithKeyText(kPublic1024, longText);
  EXPECT_GT(lc.size(), 128u);
  EXPECT_EQ(RsaPrivateDecryptWithKeyText(kPublic1024, kPrivate1024, lc), longText);
  EXPECT_TRUE(RsaSelfTest(Base64Decode(kPublic1024), Base64Decode(kPrivate1024)));
  // The wrong private key gives noise, never an error.
  EXPECT_NE(RsaPrivateDecryptWithKeyText(kPublic1024, "AQAB", c), half);
}

TEST(Rsa1024, PublicKeyTextHasA24CharacterFingerprint) {
  EXPECT_EQ(std::string_view(kPublic1024).size(), 172u);
  const std::string fp = RsaKeyFingerprint(kPublic1024);
  EXPECT_EQ(fp.size(), 24u);
  EXPECT_EQ(fp.substr(22), "==");
}

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

// The suite's one real key generation, from injected GUIDs, checked against
// OpenSSL: the primes are the first probable primes above the two seeds, d
// the inverse of 65537 modulo (p-1)(q-1).
TEST(RsaKeypair, GeneratedFromInjectedGuidsMatchesWhatOpenSslDerives) {
  uint64_t state = 0x5eed;
  const TGuidSource source = [&state](com::GUID* g) {
    uint8_t bytes[16];
    for (auto& b : bytes)
      b = static_cast<uint8_t>((state = state * 6364136223846793005ull + 1442695040888963407ull) >> 56);
    std::memcpy(&g->Data1, bytes, 4);
    std::memcpy(&g->Data2, bytes + 4, 2);
    std::memcpy(&g->Data3, bytes + 6, 2);
    std::memcpy(g->Data4, bytes + 8, 8);
    return com::S_OK;
  };
  const std::string seedP = RandomSeed64(source), seedQ = RandomSeed64(source);
  state = 0x5eed;
  std::string pub, priv;
  PumpCounter pumps;
  ASSERT_TRUE(RsaGenerateKeypair(pub, priv, source));
  EXPECT_GT(pumps.count, 1024);  // at least the self-test's decryption

  BN_CTX* ctx = BN_CTX_new();
  BIGNUM* p = NextPrimeBn(seedP, ctx);
  BIGNUM* q = NextPrimeBn(seedQ, ctx);
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
  EXPECT_EQ(pub, Base64Encode(BnBytes(n)));
  EXPECT_EQ(priv, Base64Encode(BnBytes(d)));
  for (BIGNUM* b : {p, q, n, phi, e, d}) BN_free(b);
  BN_CTX_free(ctx);
  EXPECT_EQ(RsaKeyFingerprint(pub).size(), 24u);
}

}  // namespace
}  // namespace tw
