// Arbitrary-precision signed integers for the RSA keys: conversions to and
// from bit strings, bytes and decimal text; arithmetic with Euclidean
// division; modular exponentiation that pumps the calling thread's messages
// once per exponent bit; gcd, modular inverse and a probable-prime test.
//
// A TBigInt owns its digits. A default-constructed or released value has no
// digits; every operation raises ECryptoError when handed one. Results are
// returned by value; the operations marked "in place" change their argument.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw {

struct TBigInt {
  uint8_t Sign = 1;  // 1: non-negative, 0: negative (a zero may carry either)
  // Number[0] is the digit count n >= 1; Number[1..n] are the magnitude's
  // digits in base 2^31, least significant first, the top one non-zero unless
  // the value is 0. Empty: no value.
  std::vector<uint32_t> Number;

  bool HasValue() const;
};

// The 1228 odd primes from 3 to 9973, increasing.
extern const std::array<uint32_t, 1228> SmallPrimes;

// --- conversions ----------------------------------------------------------
// Bit strings are texts of '0' and '1', most significant bit first.
uint8_t BitsToByte(std::string_view eightBits);  // any character but '1' counts as 0
std::array<std::string, 256> BuildByteBitTable();
std::string BytesToBits(std::string_view bytes);
std::string BitsToBytes(std::string_view bits);  // '0'-prefixed to a multiple of 8 first
std::string BigToBits(const TBigInt& a);         // magnitude, "0" for zero
TBigInt BigFromBits(std::string_view bits);      // raises for ""
std::string BigToBytes(const TBigInt& a);        // minimal big-endian; zero gives one 00 byte
TBigInt BigFromBytes(std::string_view bytes);    // big-endian; raises for ""
TBigInt BigFromDecimal(std::string_view text);   // optional '-'; raises for text without digits
TBigInt BigFromUint(uint64_t value);
size_t BigBitLength(const TBigInt& a);  // of the magnitude; 1 for zero

// --- arithmetic -----------------------------------------------------------
int BigCompareMagnitude(const TBigInt& a, const TBigInt& b);  // 1: |a| larger, -1: smaller, 0: equal
TBigInt BigAdd(const TBigInt& a, const TBigInt& b);
TBigInt BigSubtract(const TBigInt& a, const TBigInt& b);
void BigNegate(TBigInt& a);  // in place
void BigAbs(TBigInt& a);     // in place
TBigInt BigCopy(const TBigInt& a);
TBigInt BigMultiply(const TBigInt& a, const TBigInt& b);
TBigInt BigSquare(const TBigInt& a);
// a = q*b + r with 0 <= r < |b| for every combination of signs; b = 0 raises.
void BigDivide(const TBigInt& a, const TBigInt& b, TBigInt& q, TBigInt& r);
TBigInt BigRemainder(const TBigInt& a, const TBigInt& m);
TBigInt BigSquareMod(const TBigInt& a, const TBigInt& m);
TBigInt BigAddMod(const TBigInt& a, const TBigInt& b, const TBigInt& m);
TBigInt BigMultiplyMod(const TBigInt& a, const TBigInt& b, const TBigInt& m);
void BigMulSmall(TBigInt& a, uint32_t m);      // in place, the sign kept
uint32_t BigDivSmall(TBigInt& a, uint32_t m);  // in place on the magnitude; returns the remainder
// |a| mod m, and for a negative a the non-negative residue (0 for a multiple of m).
uint32_t BigModSmall(const TBigInt& a, uint32_t m);
void BigHalve(TBigInt& a);            // in place: magnitude >> 1
void BigShiftDigitDown(TBigInt& a);   // in place: magnitude / 2^31
void BigShiftDigitUp(TBigInt& a);     // in place: magnitude * 2^31
void BigSubMagnitude(TBigInt& a, const TBigInt& b);  // in place |a| -= |b|; raises if |b| > |a|

// Steps of Montgomery reduction with R = 2^bits: |a| mod R; |a·b| mod R; and
// T·R^-1 mod n for 0 <= T < n·R, given nPrime = -n^-1 mod R (one final
// subtraction of n, no division).
TBigInt BigLowDigits(const TBigInt& a, size_t bits);
TBigInt BigMultiplyLow(const TBigInt& a, const TBigInt& b, size_t bits);
TBigInt BigMontgomeryReduce(const TBigInt& t, const TBigInt& n, const TBigInt& nPrime, size_t bits);

// base^|exponent| mod n for an odd n >= 3 (else raises). Pumps the calling
// thread's messages once per bit of the exponent, except when base is a
// multiple of n: then 0 at once, without pumping.
TBigInt BigPowerMod(const TBigInt& base, const TBigInt& exponent, const TBigInt& n);

TBigInt BigGcd(const TBigInt& a, const TBigInt& b);
// The inverse of a modulo m in [0, m-1], or nothing when gcd(a, m) != 1.
std::optional<TBigInt> BigInverseMod(const TBigInt& a, const TBigInt& m);

// --- primality ------------------------------------------------------------
// False for an even n and for one that a SmallPrimes entry divides.
bool BigTrialDivide(const TBigInt& n);
// Rabin-Miller with `rounds` bases drawn from SmallPrimes[0..1226]. The index
// picker returns 0..1226; the default draws from a private generator seeded
// from the system's random source. n < 3 is not prime.
using TBaseIndexPicker = std::function<uint32_t()>;
bool BigMillerRabin(const TBigInt& n, int rounds, const TBaseIndexPicker& pick = {});
bool BigIsProbablePrime(const TBigInt& n, int rounds);

void BigRelease(TBigInt& a);  // frees the digits: no value afterwards

}  // namespace tw
