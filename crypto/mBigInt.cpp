// Magnitudes are worked on as vectors of base-2^31 digits (least significant
// first) and packed back into TBigInt's counted form. Division is Knuth's
// algorithm D in base 2^31. Modular exponentiation converts to 64-bit limbs
// and runs Montgomery multiplication (R = 2^(64·limbs)) with a fixed window;
// the result is the same number as any other way of computing it, and the
// thread's messages are pumped once per exponent bit.
#include "crypto/mBigInt.h"

#include <algorithm>
#include <random>

#include "crypto/mCryptoError.h"
#include "platform/win32/messages.h"

namespace tw {

namespace {

using Digits = std::vector<uint32_t>;
constexpr uint32_t kMask = 0x7FFFFFFFu;
constexpr int kDigitBits = 31;

// ---- SmallPrimes ----------------------------------------------------------

constexpr std::array<uint32_t, 1228> BuildSmallPrimes() {
  std::array<uint32_t, 1228> out{};
  size_t count = 0;
  for (uint32_t c = 3; c < 10000; c += 2) {
    bool prime = true;
    for (uint32_t d = 3; d * d <= c; d += 2)
      if (c % d == 0) {
        prime = false;
        break;
      }
    if (prime) out[count++] = c;
  }
  return out;
}

}  // namespace

const std::array<uint32_t, 1228> SmallPrimes = BuildSmallPrimes();
static_assert(BuildSmallPrimes()[1227] == 9973);

namespace {

// ---- packing ----------------------------------------------------------------

void Require(const TBigInt& a) {
  if (!a.HasValue()) throw ECryptoError("Big integer without value");
}

void Trim(Digits& d) {
  while (d.size() > 1 && d.back() == 0) d.pop_back();
  if (d.empty()) d.push_back(0);
}

Digits Mag(const TBigInt& a) {
  Require(a);
  return Digits(a.Number.begin() + 1, a.Number.begin() + 1 + a.Number[0]);
}

TBigInt Make(uint8_t sign, Digits mag) {
  Trim(mag);
  TBigInt r;
  r.Sign = sign;
  r.Number.reserve(mag.size() + 1);
  r.Number.push_back(static_cast<uint32_t>(mag.size()));
  r.Number.insert(r.Number.end(), mag.begin(), mag.end());
  return r;
}

bool IsZero(const Digits& d) { return d.size() == 1 && d[0] == 0; }

// ---- magnitude arithmetic -----------------------------------------------------

int Cmp(const Digits& a, const Digits& b) {
  if (a.size() != b.size()) return a.size() > b.size() ? 1 : -1;
  for (size_t i = a.size(); i-- > 0;)
    if (a[i] != b[i]) return a[i] > b[i] ? 1 : -1;
  return 0;
}

Digits AddMag(const Digits& a, const Digits& b) {
  const Digits& x = a.size() >= b.size() ? a : b;
  const Digits& y = a.size() >= b.size() ? b : a;
  Digits r(x.size() + 1);
  uint32_t carry = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const uint32_t s = x[i] + (i < y.size() ? y[i] : 0) + carry;
    r[i] = s & kMask;
    carry = s >> kDigitBits;
  }
  r[x.size()] = carry;
  Trim(r);
  return r;
}

// a - b for |a| >= |b|.
Digits SubMag(const Digits& a, const Digits& b) {
  Digits r(a.size());
  int32_t borrow = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    int64_t s = int64_t(a[i]) - (i < b.size() ? b[i] : 0) - borrow;
    borrow = s < 0 ? 1 : 0;
    r[i] = static_cast<uint32_t>(s & kMask);
  }
  Trim(r);
  return r;
}

Digits MulMag(const Digits& a, const Digits& b) {
  Digits r(a.size() + b.size(), 0);
  for (size_t i = 0; i < a.size(); ++i) {
    uint64_t carry = 0;
    const uint64_t ai = a[i];
    if (ai == 0) continue;
    for (size_t j = 0; j < b.size(); ++j) {
      const uint64_t t = ai * b[j] + r[i + j] + carry;
      r[i + j] = static_cast<uint32_t>(t & kMask);
      carry = t >> kDigitBits;
    }
    size_t k = i + b.size();
    while (carry) {
      const uint64_t t = r[k] + carry;
      r[k++] = static_cast<uint32_t>(t & kMask);
      carry = t >> kDigitBits;
    }
  }
  Trim(r);
  return r;
}

uint32_t DivSmallMag(Digits& a, uint32_t m) {
  uint64_t rem = 0;
  for (size_t i = a.size(); i-- > 0;) {
    const uint64_t cur = rem << kDigitBits | a[i];
    a[i] = static_cast<uint32_t>(cur / m);
    rem = cur % m;
  }
  Trim(a);
  return static_cast<uint32_t>(rem);
}

uint32_t ModSmallMag(const uint32_t* d, size_t n, uint32_t m) {
  uint64_t rem = 0;
  for (size_t i = n; i-- > 0;) rem = (rem << kDigitBits | d[i]) % m;
  return static_cast<uint32_t>(rem);
}

// Shifts left by s < 31 bits into `extra` more digits.
Digits ShiftBitsUp(const Digits& a, int s, size_t extra) {
  Digits r(a.size() + extra, 0);
  uint32_t carry = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    r[i] = ((a[i] << s) & kMask) | carry;
    carry = s == 0 ? 0 : a[i] >> (kDigitBits - s);
  }
  if (extra > 0) r[a.size()] = carry;
  return r;
}

// Knuth's algorithm D: q = a div b, r = a mod b for magnitudes, b non-zero.
void DivModMag(const Digits& a, const Digits& b, Digits& q, Digits& r) {
  if (IsZero(b)) throw ECryptoError("Division by zero");
  if (Cmp(a, b) < 0) {
    q = {0};
    r = a;
    return;
  }
  if (b.size() == 1) {
    q = a;
    r = {DivSmallMag(q, b[0])};
    return;
  }
  const size_t n = b.size();
  const size_t m = a.size() - n;
  int s = 0;
  while ((b[n - 1] << s & 0x40000000u) == 0) ++s;
  const Digits v = ShiftBitsUp(b, s, 0);
  Digits u = ShiftBitsUp(a, s, 1);
  q.assign(m + 1, 0);
  const uint64_t vTop = v[n - 1], vNext = v[n - 2];
  for (size_t j = m + 1; j-- > 0;) {
    const uint64_t num = uint64_t(u[j + n]) << kDigitBits | u[j + n - 1];
    uint64_t qhat = num / vTop;
    uint64_t rhat = num % vTop;
    while (qhat > kMask || qhat * vNext > (rhat << kDigitBits | u[j + n - 2])) {
      --qhat;
      rhat += vTop;
      if (rhat > kMask) break;
    }
    int64_t k = 0;
    uint64_t carry = 0;
    for (size_t i = 0; i < n; ++i) {
      const uint64_t p = qhat * v[i] + carry;
      carry = p >> kDigitBits;
      const int64_t t = int64_t(u[i + j]) - int64_t(p & kMask) + k;
      u[i + j] = static_cast<uint32_t>(t & kMask);
      k = t >> kDigitBits;
    }
    const int64_t t = int64_t(u[j + n]) - int64_t(carry) + k;
    u[j + n] = static_cast<uint32_t>(t & kMask);
    if (t < 0) {  // the estimate was one too large: add the divisor back
      --qhat;
      uint32_t c = 0;
      for (size_t i = 0; i < n; ++i) {
        const uint32_t sum = u[i + j] + v[i] + c;
        u[i + j] = sum & kMask;
        c = sum >> kDigitBits;
      }
      u[j + n] = (u[j + n] + c) & kMask;
    }
    q[j] = static_cast<uint32_t>(qhat);
  }
  Trim(q);
  r.assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t hi = (i + 1 < u.size() && s > 0) ? (u[i + 1] << (kDigitBits - s)) & kMask : 0;
    r[i] = (u[i] >> s) | hi;
  }
  Trim(r);
}

bool DigitBit(const Digits& d, size_t bit) { return (d[bit / kDigitBits] >> (bit % kDigitBits)) & 1; }

size_t BitLength(const Digits& d) {
  if (IsZero(d)) return 1;
  size_t top = 0;
  for (uint32_t t = d.back(); t; t >>= 1) ++top;
  return (d.size() - 1) * kDigitBits + top;
}

// ---- Montgomery kernel on 64-bit limbs -------------------------------------------

__extension__ typedef unsigned __int128 U128;

std::vector<uint64_t> ToLimbs(const Digits& d, size_t limbs) {
  std::vector<uint64_t> out;
  out.reserve(limbs);
  U128 acc = 0;
  int accBits = 0;
  for (uint32_t digit : d) {
    acc |= U128(digit) << accBits;
    accBits += kDigitBits;
    if (accBits >= 64) {
      out.push_back(static_cast<uint64_t>(acc));
      acc >>= 64;
      accBits -= 64;
    }
  }
  if (accBits > 0) out.push_back(static_cast<uint64_t>(acc));
  out.resize(limbs, 0);
  return out;
}

Digits FromLimbs(const std::vector<uint64_t>& limbs) {
  Digits out;
  U128 acc = 0;
  int accBits = 0;
  for (uint64_t limb : limbs) {
    acc |= U128(limb) << accBits;
    accBits += 64;
    while (accBits >= kDigitBits) {
      out.push_back(static_cast<uint32_t>(acc) & kMask);
      acc >>= kDigitBits;
      accBits -= kDigitBits;
    }
  }
  if (accBits > 0) out.push_back(static_cast<uint32_t>(acc) & kMask);
  Trim(out);
  return out;
}

// out := a·b·R^-1 mod n (CIOS); out may alias a or b; t has limbs + 2 words.
template <int kLimbs>
void MontMul(uint64_t* out, const uint64_t* a, const uint64_t* b, const uint64_t* n, uint64_t n0,
             int runtimeLimbs, uint64_t* t) {
  const int L = kLimbs > 0 ? kLimbs : runtimeLimbs;
  for (int j = 0; j < L + 2; ++j) t[j] = 0;
  for (int i = 0; i < L; ++i) {
    uint64_t c = 0;
    const uint64_t bi = b[i];
    for (int j = 0; j < L; ++j) {
      const U128 p = U128(a[j]) * bi + t[j] + c;
      t[j] = static_cast<uint64_t>(p);
      c = static_cast<uint64_t>(p >> 64);
    }
    U128 s = U128(t[L]) + c;
    t[L] = static_cast<uint64_t>(s);
    t[L + 1] = static_cast<uint64_t>(s >> 64);
    const uint64_t m = t[0] * n0;
    U128 p = U128(m) * n[0] + t[0];
    c = static_cast<uint64_t>(p >> 64);
    for (int j = 1; j < L; ++j) {
      p = U128(m) * n[j] + t[j] + c;
      t[j - 1] = static_cast<uint64_t>(p);
      c = static_cast<uint64_t>(p >> 64);
    }
    s = U128(t[L]) + c;
    t[L - 1] = static_cast<uint64_t>(s);
    t[L] = t[L + 1] + static_cast<uint64_t>(s >> 64);
  }
  bool subtract = t[L] != 0;
  if (!subtract) {
    subtract = true;  // equal counts as not below n
    for (int j = L; j-- > 0;)
      if (t[j] != n[j]) {
        subtract = t[j] > n[j];
        break;
      }
  }
  if (subtract) {
    uint64_t borrow = 0;
    for (int j = 0; j < L; ++j) {
      const U128 d = U128(t[j]) - n[j] - borrow;
      out[j] = static_cast<uint64_t>(d);
      borrow = static_cast<uint64_t>(d >> 64) & 1;
    }
  } else {
    for (int j = 0; j < L; ++j) out[j] = t[j];
  }
}

using MontMulFn = void (*)(uint64_t*, const uint64_t*, const uint64_t*, const uint64_t*, uint64_t, int,
                           uint64_t*);

MontMulFn PickMontMul(size_t limbs) {
  switch (limbs) {
    case 2: return MontMul<2>;
    case 4: return MontMul<4>;
    case 8: return MontMul<8>;
    case 16: return MontMul<16>;
    case 32: return MontMul<32>;
    default: return MontMul<0>;
  }
}

// -n^-1 mod 2^64 for an odd n0 (Newton's iteration doubles the correct bits).
uint64_t NegInverse64(uint64_t n0) {
  uint64_t inv = n0;  // correct to 3 bits
  for (int i = 0; i < 6; ++i) inv *= 2 - n0 * inv;
  return ~inv + 1;
}

void CheckModulus(const Digits& n) {
  if ((n[0] & 1) == 0 || (n.size() == 1 && n[0] < 3))
    throw ECryptoError("Modulus must be odd and at least 3");
}

// ---- private generator for the Rabin-Miller bases ------------------------------

class SplitMix64 {
 public:
  explicit SplitMix64(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  uint64_t state_;
};

}  // namespace

bool TBigInt::HasValue() const {
  return !Number.empty() && Number[0] >= 1 && Number.size() >= size_t(Number[0]) + 1;
}

// ---- conversions ----------------------------------------------------------------

uint8_t BitsToByte(std::string_view eightBits) {
  uint8_t v = 0;
  for (size_t i = 0; i < 8 && i < eightBits.size(); ++i) v = static_cast<uint8_t>(v << 1 | (eightBits[i] == '1'));
  return v;
}

std::array<std::string, 256> BuildByteBitTable() {
  std::array<std::string, 256> t;
  for (unsigned b = 0; b < 256; ++b) {
    t[b].resize(8);
    for (int i = 0; i < 8; ++i) t[b][i] = (b >> (7 - i)) & 1 ? '1' : '0';
  }
  return t;
}

std::string BytesToBits(std::string_view bytes) {
  std::string out(bytes.size() * 8, '0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    for (int k = 0; k < 8; ++k)
      if ((b >> (7 - k)) & 1) out[i * 8 + k] = '1';
  }
  return out;
}

std::string BitsToBytes(std::string_view bits) {
  const size_t pad = (8 - bits.size() % 8) % 8;
  std::string out((bits.size() + pad) / 8, '\0');
  for (size_t i = 0; i < bits.size(); ++i)
    if (bits[i] == '1') {
      const size_t pos = i + pad;
      out[pos / 8] = static_cast<char>(static_cast<unsigned char>(out[pos / 8]) | (0x80u >> (pos % 8)));
    }
  return out;
}

std::string BigToBits(const TBigInt& a) {
  const Digits d = Mag(a);
  const size_t len = BitLength(d);
  std::string out(len, '0');
  for (size_t i = 0; i < len; ++i)
    if (DigitBit(d, i)) out[len - 1 - i] = '1';
  return out;
}

TBigInt BigFromBits(std::string_view bits) {
  if (bits.empty()) throw ECryptoError("Empty bit string");
  Digits d((bits.size() + kDigitBits - 1) / kDigitBits, 0);
  for (size_t i = 0; i < bits.size(); ++i)
    if (bits[bits.size() - 1 - i] == '1') d[i / kDigitBits] |= 1u << (i % kDigitBits);
  return Make(1, std::move(d));
}

std::string BigToBytes(const TBigInt& a) {
  const Digits d = Mag(a);
  const size_t len = (BitLength(d) + 7) / 8;
  std::string out(len, '\0');
  for (size_t bit = 0; bit < len * 8 && bit / kDigitBits < d.size(); ++bit)
    if (DigitBit(d, bit)) {
      const size_t byte = len - 1 - bit / 8;
      out[byte] = static_cast<char>(static_cast<unsigned char>(out[byte]) | (1u << (bit % 8)));
    }
  return out;
}

TBigInt BigFromBytes(std::string_view bytes) {
  if (bytes.empty()) throw ECryptoError("Empty byte string");
  Digits d((bytes.size() * 8 + kDigitBits - 1) / kDigitBits, 0);
  for (size_t bit = 0; bit < bytes.size() * 8; ++bit) {
    const auto b = static_cast<unsigned char>(bytes[bytes.size() - 1 - bit / 8]);
    if ((b >> (bit % 8)) & 1) d[bit / kDigitBits] |= 1u << (bit % kDigitBits);
  }
  return Make(1, std::move(d));
}

TBigInt BigFromDecimal(std::string_view text) {
  while (text.size() > 1 && text[0] != '-' && (text[0] < '0' || text[0] > '9')) text.remove_prefix(1);
  uint8_t sign = 1;
  if (!text.empty() && text[0] == '-') {
    sign = 0;
    text.remove_prefix(1);
  }
  if (text.empty()) throw ECryptoError("Invalid decimal text");
  Digits d{0};
  for (char c : text) {
    if (c < '0' || c > '9') throw ECryptoError("Invalid decimal text");
    uint64_t carry = static_cast<uint64_t>(c - '0');
    for (auto& digit : d) {
      const uint64_t t = uint64_t(digit) * 10 + carry;
      digit = static_cast<uint32_t>(t & kMask);
      carry = t >> kDigitBits;
    }
    if (carry) d.push_back(static_cast<uint32_t>(carry));
  }
  return Make(sign, std::move(d));
}

TBigInt BigFromUint(uint64_t value) {
  Digits d;
  do {
    d.push_back(static_cast<uint32_t>(value & kMask));
    value >>= kDigitBits;
  } while (value);
  return Make(1, std::move(d));
}

size_t BigBitLength(const TBigInt& a) { return BitLength(Mag(a)); }

// ---- arithmetic -----------------------------------------------------------------

int BigCompareMagnitude(const TBigInt& a, const TBigInt& b) { return Cmp(Mag(a), Mag(b)); }

TBigInt BigAdd(const TBigInt& a, const TBigInt& b) {
  const Digits x = Mag(a), y = Mag(b);
  if (a.Sign == b.Sign) return Make(a.Sign, AddMag(x, y));
  const int c = Cmp(x, y);
  if (c == 0) return Make(a.Sign, {0});
  return c > 0 ? Make(a.Sign, SubMag(x, y)) : Make(b.Sign, SubMag(y, x));
}

TBigInt BigSubtract(const TBigInt& a, const TBigInt& b) {
  TBigInt negB = b;
  negB.Sign = b.Sign ? 0 : 1;
  return BigAdd(a, negB);
}

void BigNegate(TBigInt& a) {
  Require(a);
  a.Sign = a.Sign ? 0 : 1;
}

void BigAbs(TBigInt& a) {
  Require(a);
  a.Sign = 1;
}

TBigInt BigCopy(const TBigInt& a) {
  Require(a);
  return Make(a.Sign, Mag(a));
}

TBigInt BigMultiply(const TBigInt& a, const TBigInt& b) {
  return Make(a.Sign == b.Sign ? 1 : 0, MulMag(Mag(a), Mag(b)));
}

TBigInt BigSquare(const TBigInt& a) {
  const Digits x = Mag(a);
  return Make(1, MulMag(x, x));
}

void BigDivide(const TBigInt& a, const TBigInt& b, TBigInt& q, TBigInt& r) {
  const Digits x = Mag(a), y = Mag(b);
  Digits qd, rd;
  DivModMag(x, y, qd, rd);
  uint8_t qSign;
  if (a.Sign == 1) {
    qSign = b.Sign;
  } else {
    if (!IsZero(rd)) {
      qd = AddMag(qd, {1});
      rd = SubMag(y, rd);
    }
    qSign = b.Sign == 1 ? 0 : 1;
  }
  q = Make(qSign, std::move(qd));
  r = Make(1, std::move(rd));
}

TBigInt BigRemainder(const TBigInt& a, const TBigInt& m) {
  TBigInt q, r;
  BigDivide(a, m, q, r);
  return r;
}

TBigInt BigSquareMod(const TBigInt& a, const TBigInt& m) { return BigRemainder(BigSquare(a), m); }
TBigInt BigAddMod(const TBigInt& a, const TBigInt& b, const TBigInt& m) { return BigRemainder(BigAdd(a, b), m); }
TBigInt BigMultiplyMod(const TBigInt& a, const TBigInt& b, const TBigInt& m) {
  return BigRemainder(BigMultiply(a, b), m);
}

void BigMulSmall(TBigInt& a, uint32_t m) {
  Digits d = Mag(a);
  uint64_t carry = 0;
  for (auto& digit : d) {
    const uint64_t t = uint64_t(digit) * m + carry;
    digit = static_cast<uint32_t>(t & kMask);
    carry = t >> kDigitBits;
  }
  while (carry) {
    d.push_back(static_cast<uint32_t>(carry & kMask));
    carry >>= kDigitBits;
  }
  a = Make(a.Sign, std::move(d));
}

uint32_t BigDivSmall(TBigInt& a, uint32_t m) {
  if (m == 0) throw ECryptoError("Division by zero");
  Digits d = Mag(a);
  const uint32_t rem = DivSmallMag(d, m);
  a = Make(a.Sign, std::move(d));
  return rem;
}

uint32_t BigModSmall(const TBigInt& a, uint32_t m) {
  Require(a);
  if (m == 0) throw ECryptoError("Division by zero");
  const uint32_t r = ModSmallMag(a.Number.data() + 1, a.Number[0], m);
  return (a.Sign == 0 && r != 0) ? m - r : r;
}

void BigHalve(TBigInt& a) {
  Digits d = Mag(a);
  for (size_t i = 0; i < d.size(); ++i) {
    const uint32_t next = i + 1 < d.size() ? d[i + 1] : 0;
    d[i] = (d[i] >> 1) | ((next & 1) << (kDigitBits - 1));
  }
  a = Make(a.Sign, std::move(d));
}

void BigShiftDigitDown(TBigInt& a) {
  Digits d = Mag(a);
  d.erase(d.begin());
  a = Make(a.Sign, std::move(d));
}

void BigShiftDigitUp(TBigInt& a) {
  Digits d = Mag(a);
  d.insert(d.begin(), 0);
  a = Make(a.Sign, std::move(d));
}

void BigSubMagnitude(TBigInt& a, const TBigInt& b) {
  const Digits x = Mag(a), y = Mag(b);
  if (Cmp(x, y) < 0) throw ECryptoError("Magnitude underflow");
  a = Make(a.Sign, SubMag(x, y));
}

TBigInt BigLowDigits(const TBigInt& a, size_t bits) {
  Digits d = Mag(a);
  const size_t keep = bits / kDigitBits;
  if (d.size() > keep) {
    const uint32_t topMask = (1u << (bits % kDigitBits)) - 1;
    d.resize(keep + 1);
    d[keep] &= topMask;
  }
  return Make(1, std::move(d));
}

TBigInt BigMultiplyLow(const TBigInt& a, const TBigInt& b, size_t bits) {
  return BigLowDigits(Make(1, MulMag(Mag(BigLowDigits(a, bits)), Mag(BigLowDigits(b, bits)))), bits);
}

TBigInt BigMontgomeryReduce(const TBigInt& t, const TBigInt& n, const TBigInt& nPrime, size_t bits) {
  const TBigInt m = BigMultiplyLow(t, nPrime, bits);
  Digits sum = AddMag(Mag(t), MulMag(Mag(m), Mag(n)));
  // Divide by R: drop whole digits, then shift the rest down bit by bit.
  const size_t whole = std::min(sum.size() - 1, bits / kDigitBits);
  sum.erase(sum.begin(), sum.begin() + static_cast<std::ptrdiff_t>(whole));
  TBigInt r = Make(1, std::move(sum));
  for (size_t i = 0; i < bits % kDigitBits; ++i) BigHalve(r);
  if (BigCompareMagnitude(r, n) >= 0) BigSubMagnitude(r, n);
  return r;
}

TBigInt BigPowerMod(const TBigInt& base, const TBigInt& exponent, const TBigInt& n) {
  const Digits nd = Mag(n);
  const Digits ed = Mag(exponent);
  CheckModulus(nd);
  TBigInt absN = Make(1, nd);
  const Digits r = Mag(BigRemainder(base, absN));
  if (IsZero(r)) return Make(1, {0});

  const size_t limbs = (BitLength(nd) + 63) / 64;
  const int L = static_cast<int>(limbs);
  const std::vector<uint64_t> nl = ToLimbs(nd, limbs);
  const uint64_t n0 = NegInverse64(nl[0]);
  const MontMulFn mul = PickMontMul(limbs);
  std::vector<uint64_t> scratch(limbs + 2);

  // R^2 mod n, with R = 2^(64·limbs).
  Digits r2Digits(128 * limbs / kDigitBits + 1, 0);
  r2Digits.back() = 1u << (128 * limbs % kDigitBits);
  const std::vector<uint64_t> r2 = ToLimbs(Mag(BigRemainder(Make(1, std::move(r2Digits)), absN)), limbs);

  std::vector<uint64_t> unit(limbs, 0);
  unit[0] = 1;
  std::vector<uint64_t> x(limbs), b = ToLimbs(r, limbs);
  mul(b.data(), b.data(), r2.data(), nl.data(), n0, L, scratch.data());  // base·R
  mul(x.data(), r2.data(), unit.data(), nl.data(), n0, L, scratch.data());  // R: one

  const size_t bits = BitLength(ed);
  const int window = bits >= 256 ? 5 : bits >= 64 ? 4 : 1;
  std::vector<std::vector<uint64_t>> table(size_t(1) << window, std::vector<uint64_t>(limbs));
  table[0] = x;
  for (size_t i = 1; i < table.size(); ++i)
    mul(table[i].data(), table[i - 1].data(), b.data(), nl.data(), n0, L, scratch.data());

  bool started = false;  // x still holds one: its squares are skipped
  for (size_t left = bits; left > 0;) {
    const size_t width = std::min<size_t>(window, left);
    uint32_t value = 0;
    for (size_t k = 0; k < width; ++k) {
      value = value << 1 | (DigitBit(ed, left - 1 - k) ? 1u : 0u);
      if (started) mul(x.data(), x.data(), x.data(), nl.data(), n0, L, scratch.data());
      win32::ProcessMessages();
    }
    if (value) {
      mul(x.data(), x.data(), table[value].data(), nl.data(), n0, L, scratch.data());
      started = true;
    }
    left -= width;
  }
  mul(x.data(), x.data(), unit.data(), nl.data(), n0, L, scratch.data());
  return Make(1, FromLimbs(x));
}

TBigInt BigGcd(const TBigInt& a, const TBigInt& b) {
  const int c = BigCompareMagnitude(a, b);
  if (c == 0) return BigCopy(a);
  Digits x = Mag(a), y = Mag(b);
  if (c < 0) std::swap(x, y);
  while (!IsZero(y)) {
    Digits q, r;
    DivModMag(x, y, q, r);
    x = std::move(y);
    y = std::move(r);
  }
  return Make(1, std::move(x));
}

std::optional<TBigInt> BigInverseMod(const TBigInt& a, const TBigInt& m) {
  TBigInt mod = BigCopy(m);
  BigAbs(mod);
  if (IsZero(Mag(mod))) throw ECryptoError("Division by zero");
  TBigInt r1 = BigRemainder(a, mod);
  const TBigInt g = BigGcd(mod, r1);
  if (BigCompareMagnitude(g, BigFromUint(1)) != 0) return std::nullopt;
  TBigInt r0 = mod, t0 = BigFromUint(0), t1 = BigFromUint(1);
  while (!IsZero(Mag(r1))) {
    TBigInt q, r;
    BigDivide(r0, r1, q, r);
    r0 = std::move(r1);
    r1 = std::move(r);
    TBigInt t = BigSubtract(t0, BigMultiply(q, t1));
    t0 = std::move(t1);
    t1 = std::move(t);
  }
  if (t0.Sign == 0 && !IsZero(Mag(t0))) t0 = BigAdd(t0, mod);
  return Make(1, Mag(t0));
}

// ---- primality ------------------------------------------------------------------

bool BigTrialDivide(const TBigInt& n) {
  Require(n);
  if ((n.Number[1] & 1) == 0) return false;
  for (uint32_t p : SmallPrimes)
    if (ModSmallMag(n.Number.data() + 1, n.Number[0], p) == 0) return false;
  return true;
}

bool BigMillerRabin(const TBigInt& n, int rounds, const TBaseIndexPicker& pick) {
  const Digits nd = Mag(n);
  if ((nd[0] & 1) == 0 || (nd.size() == 1 && nd[0] < 3)) return false;
  const TBigInt absN = Make(1, nd);
  const TBigInt one = BigFromUint(1);
  const TBigInt nMinus1 = BigSubtract(absN, one);
  TBigInt m = nMinus1;
  int s = 0;
  while ((m.Number[1] & 1) == 0) {
    BigHalve(m);
    ++s;
  }
  std::random_device device;
  SplitMix64 generator(uint64_t(device()) << 32 | device());
  for (int round = 0; round < rounds; ++round) {
    const uint32_t index = pick ? pick() : static_cast<uint32_t>(generator.Next() % 1227);
    if (index >= 1227) throw ECryptoError("Base index out of range");
    TBigInt z = BigPowerMod(BigFromUint(SmallPrimes[index]), m, absN);
    if (BigCompareMagnitude(z, one) == 0 || BigCompareMagnitude(z, nMinus1) == 0) continue;
    bool passed = false;
    for (int j = 0; j + 1 < s; ++j) {
      z = BigSquareMod(z, absN);
      if (BigCompareMagnitude(z, nMinus1) == 0) {
        passed = true;
        break;
      }
      if (BigCompareMagnitude(z, one) == 0) break;
    }
    if (!passed) return false;
  }
  return true;
}

bool BigIsProbablePrime(const TBigInt& n, int rounds) { return BigTrialDivide(n) && BigMillerRabin(n, rounds); }

void BigRelease(TBigInt& a) {
  a.Number.clear();
  a.Number.shrink_to_fit();
  a.Sign = 1;
}

}  // namespace tw
