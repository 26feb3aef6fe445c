#include "crypto/mBigInt.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <random>

#include "crypto/mCryptoError.h"
#include "platform/win32/messages.h"
#include "tests/crypto/test_bytes.h"

namespace tw {
namespace {

TBigInt Dec(const char* text) { return BigFromDecimal(text); }

// Signed decimal-free view for assertions: "-" + hex bytes of the magnitude.
std::string Show(const TBigInt& a) { return (a.Sign ? "" : "-") + test::ToHex(BigToBytes(a)); }

struct PumpCounter {
  int count = 0;
  win32::ScopedPumpObserver observer{[this] { ++count; }};
};

TEST(BigInt, ConversionsKeepTheirEdges) {
  EXPECT_EQ(BigToBytes(BigFromUint(0)), std::string(1, '\0'));
  EXPECT_EQ(BigToBytes(BigFromBytes(std::string("\0\0\x01", 3))), "\x01");
  const TBigInt twoTo31 = BigFromUint(0x80000000u);
  EXPECT_EQ(twoTo31.Number[0], 2u);
  EXPECT_EQ(BigToBytes(twoTo31), std::string("\x80\0\0\0", 4));
  EXPECT_EQ(BigFromBits("1" + std::string(30, '0')).Number[0], 1u);
  EXPECT_EQ(BigFromBits("1" + std::string(31, '0')).Number[0], 2u);
  EXPECT_EQ(BigToBits(BigFromBits("000101")), "101");
  EXPECT_EQ(BigToBits(BigFromUint(0)), "0");
  const TBigInt f4 = Dec("65537");
  EXPECT_EQ(f4.Sign, 1);
  EXPECT_EQ(f4.Number, (std::vector<uint32_t>{1, 65537}));
  EXPECT_EQ(Dec("-12").Sign, 0);
  EXPECT_EQ(BitsToBytes("1"), "\x01");
  EXPECT_EQ(BitsToBytes(""), "");
  EXPECT_EQ(BytesToBits("\x81"), "10000001");
  EXPECT_EQ(BitsToByte("1x000001"), 0x81);
  EXPECT_EQ(BuildByteBitTable()[5], "00000101");
  EXPECT_THROW(BigFromBits(""), ECryptoError);
  EXPECT_THROW(BigFromBytes(""), ECryptoError);
  EXPECT_THROW(Dec("12a"), ECryptoError);
}

TEST(BigInt, SmallPrimesAreTheOddPrimesBelowTenThousand) {
  EXPECT_EQ(SmallPrimes.size(), 1228u);
  EXPECT_EQ(SmallPrimes.front(), 3u);
  EXPECT_EQ(SmallPrimes.back(), 9973u);
}

TEST(BigInt, DivisionIsEuclideanOverMixedSigns) {
  struct Case {
    const char *a, *b;
    const char *q, *r;
  };
  const Case cases[] = {{"-7", "3", "-3", "2"}, {"7", "-3", "-2", "1"}, {"-7", "-3", "3", "2"},
                        {"7", "3", "2", "1"},   {"-6", "3", "-2", "0"}, {"2", "5", "0", "2"}};
  for (const auto& c : cases) {
    TBigInt q, r;
    BigDivide(Dec(c.a), Dec(c.b), q, r);
    EXPECT_EQ(Show(q), Show(Dec(c.q))) << c.a << " / " << c.b;
    EXPECT_EQ(Show(r), Show(Dec(c.r))) << c.a << " / " << c.b;
  }
  TBigInt q, r;
  EXPECT_THROW(BigDivide(Dec("5"), Dec("0"), q, r), ECryptoError);
}

TEST(BigInt, ModSmallOfANegativeMultipleIsZero) {
  EXPECT_EQ(BigModSmall(Dec("-21"), 7), 0u);
  EXPECT_EQ(BigModSmall(Dec("-20"), 7), 1u);
  EXPECT_EQ(BigModSmall(Dec("20"), 7), 6u);
  EXPECT_THROW(BigModSmall(Dec("20"), 0), ECryptoError);
}

TEST(BigInt, AReleasedValueRaisesWhenUsed) {
  TBigInt a = Dec("5");
  BigRelease(a);
  EXPECT_FALSE(a.HasValue());
  EXPECT_THROW(BigAdd(a, Dec("1")), ECryptoError);
  EXPECT_THROW(BigToBits(a), ECryptoError);
  EXPECT_THROW(BigModSmall(a, 3), ECryptoError);
  EXPECT_THROW(BigPowerMod(Dec("2"), a, Dec("7")), ECryptoError);
  TBigInt corrupt;
  corrupt.Number = {5, 1};  // claims more digits than it holds
  EXPECT_THROW(BigCopy(corrupt), ECryptoError);
}

// OpenSSL oracle helpers.
struct Bn {
  BIGNUM* p = BN_new();
  ~Bn() { BN_free(p); }
};

void ToBn(const TBigInt& a, Bn& out) {
  const std::string bytes = BigToBytes(a);
  BN_bin2bn(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()), out.p);
  BN_set_negative(out.p, a.Sign == 0);
}

std::string BnShow(const Bn& b) {
  std::string bytes(static_cast<size_t>(BN_num_bytes(b.p)), '\0');
  BN_bn2bin(b.p, reinterpret_cast<unsigned char*>(bytes.data()));
  if (bytes.empty()) bytes.assign(1, '\0');
  return (BN_is_negative(b.p) ? "-" : "") + test::ToHex(bytes);
}

TBigInt RandomBig(std::mt19937& rng, size_t maxBytes, bool allowNegative) {
  std::string bytes = test::RandomBytes(rng, 1 + rng() % maxBytes);
  TBigInt v = BigFromBytes(bytes);
  if (allowNegative && (rng() & 1)) v.Sign = 0;
  return v;
}

TEST(BigInt, ArithmeticMatchesOpenSslOnRandomInputs) {
  std::mt19937 rng(31);
  BN_CTX* ctx = BN_CTX_new();
  for (int round = 0; round < 400; ++round) {
    const TBigInt a = RandomBig(rng, 80, true), b = RandomBig(rng, 40, true);
    Bn A, B, expect, rem;
    ToBn(a, A);
    ToBn(b, B);
    BN_mul(expect.p, A.p, B.p, ctx);
    const TBigInt product = BigMultiply(a, b);
    if (!BN_is_zero(expect.p)) {
      ASSERT_EQ(Show(product), BnShow(expect));
    }
    BN_add(expect.p, A.p, B.p);
    const TBigInt sum = BigAdd(a, b);
    if (!BN_is_zero(expect.p)) {
      ASSERT_EQ(Show(sum), BnShow(expect));
    }
    BN_sub(expect.p, A.p, B.p);
    const TBigInt diff = BigSubtract(a, b);
    if (!BN_is_zero(expect.p)) {
      ASSERT_EQ(Show(diff), BnShow(expect));
    }
    if (BN_is_zero(B.p)) continue;
    BN_nnmod(rem.p, A.p, B.p, ctx);  // the non-negative remainder
    TBigInt q, r;
    BigDivide(a, b, q, r);
    ASSERT_EQ(Show(r), BnShow(rem));
    // a = q·b + r holds exactly.
    ASSERT_EQ(BigCompareMagnitude(BigSubtract(a, BigAdd(BigMultiply(q, b), r)), BigFromUint(0)), 0);
    Bn W, small;
    BN_set_word(W.p, 9973);
    BN_nnmod(small.p, A.p, W.p, ctx);
    ASSERT_EQ(BigModSmall(a, 9973), BN_get_word(small.p));
  }
  BN_CTX_free(ctx);
}

TEST(BigInt, PowerModMatchesOpenSslAndPumpsOncePerExponentBit) {
  std::mt19937 rng(1024);
  BN_CTX* ctx = BN_CTX_new();
  for (int round = 0; round < 60; ++round) {
    TBigInt n = RandomBig(rng, round < 50 ? 64 : 140, false);
    n.Number[1] |= 1;  // odd
    if (BigCompareMagnitude(n, BigFromUint(3)) < 0) n = BigFromUint(3);
    const TBigInt base = RandomBig(rng, 150, true), e = RandomBig(rng, round % 3 ? 64 : 3, false);
    Bn N, B, E, expect;
    ToBn(n, N);
    ToBn(base, B);
    ToBn(e, E);
    BN_nnmod(B.p, B.p, N.p, ctx);
    BN_mod_exp(expect.p, B.p, E.p, N.p, ctx);
    PumpCounter pumps;
    const TBigInt got = BigPowerMod(base, e, n);
    ASSERT_EQ(Show(got), BnShow(expect));
    ASSERT_EQ(static_cast<size_t>(pumps.count), BN_is_zero(B.p) ? 0 : BigBitLength(e));
  }
  BN_CTX_free(ctx);
}

TEST(BigInt, PowerModEdges) {
  {
    PumpCounter pumps;
    EXPECT_EQ(Show(BigPowerMod(Dec("-21"), Dec("12345"), Dec("7"))), "00");
    EXPECT_EQ(pumps.count, 0);
  }
  {
    PumpCounter pumps;
    EXPECT_EQ(Show(BigPowerMod(Dec("5"), Dec("0"), Dec("7"))), "01");
    EXPECT_EQ(pumps.count, 1);
  }
  EXPECT_EQ(Show(BigPowerMod(Dec("-2"), Dec("3"), Dec("7"))), "06");  // (-2 mod 7)^3 = 125 mod 7
  for (const char* bad : {"0", "1", "2", "8"}) EXPECT_THROW(BigPowerMod(Dec("3"), Dec("5"), Dec(bad)), ECryptoError);
}

TEST(BigInt, MontgomeryReduceDividesByRModuloN) {
  std::mt19937 rng(2048);
  for (int round = 0; round < 50; ++round) {
    TBigInt n = RandomBig(rng, 40, false);
    n.Number[1] |= 1;
    if (BigCompareMagnitude(n, BigFromUint(3)) < 0) n = BigFromUint(3);
    const size_t bits = BigBitLength(n);
    const TBigInt r = BigFromBits("1" + std::string(bits, '0'));
    const auto inverse = BigInverseMod(n, r);
    ASSERT_TRUE(inverse);
    const TBigInt nPrime = BigSubtract(r, *inverse);  // -n^-1 mod R
    const TBigInt t = BigRemainder(RandomBig(rng, 90, false), BigMultiply(n, r));
    const TBigInt reduced = BigMontgomeryReduce(t, n, nPrime, bits);
    ASSERT_LT(BigCompareMagnitude(reduced, n), 0);
    ASSERT_EQ(Show(BigMultiplyMod(reduced, r, n)), Show(BigRemainder(t, n)));
  }
  EXPECT_EQ(Show(BigLowDigits(BigFromUint(0x1FFFFFFFFull), 33)), "01ffffffff");
  EXPECT_EQ(Show(BigLowDigits(BigFromUint(0x1FFFFFFFFull), 31)), "7fffffff");
  EXPECT_EQ(Show(BigMultiplyLow(BigFromUint(0xFFFF), BigFromUint(0xFFFF), 16)), "01");
}

TEST(BigInt, GcdAndInverse) {
  EXPECT_EQ(Show(BigGcd(Dec("462"), Dec("1071"))), "15");
  const auto inv = BigInverseMod(Dec("17"), Dec("3120"));
  ASSERT_TRUE(inv);
  EXPECT_EQ(Show(*inv), Show(Dec("2753")));
  const auto inv2 = BigInverseMod(Dec("3"), Dec("7"));
  ASSERT_TRUE(inv2);
  EXPECT_EQ(Show(*inv2), "05");
  EXPECT_FALSE(BigInverseMod(Dec("65537"), Dec("131074")));  // 2 · 65537
}

TEST(BigInt, ProbablePrimeTest) {
  EXPECT_FALSE(BigIsProbablePrime(Dec("0"), 4));
  EXPECT_FALSE(BigIsProbablePrime(Dec("1"), 4));
  EXPECT_FALSE(BigIsProbablePrime(Dec("1000000000000000000000000000002"), 4));
  EXPECT_FALSE(BigIsProbablePrime(Dec("10403"), 4));  // 101 · 103, trial division
  EXPECT_FALSE(BigTrialDivide(Dec("9973")));           // the table's primes fail too
  // 2^127 - 1 passes for every base; a product of two primes above the table fails.
  const TBigInt m127 = BigFromBits(std::string(127, '1'));
  for (uint32_t index = 0; index < 1227; index += 7) {
    EXPECT_TRUE(BigMillerRabin(m127, 1, [index] { return index; })) << index;
  }
  EXPECT_TRUE(BigIsProbablePrime(m127, 4));
  const TBigInt composite = BigMultiply(Dec("1000003"), Dec("1000033"));
  EXPECT_TRUE(BigTrialDivide(composite));
  EXPECT_FALSE(BigIsProbablePrime(composite, 4));
}

}  // namespace
}  // namespace tw
