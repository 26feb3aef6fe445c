// The portable engine uses four 256-entry round tables per direction (built at
// compile time from the S-box) and the S-boxes for the last round; words hold
// state bytes in big-endian order. The AES-NI engine is compiled for the AES
// instructions only in its own functions, so the rest of the library stays
// baseline x86-64; its CBC decryption runs 8 independent blocks at a time.
#include "crypto/mAES.h"

#include <array>
#include <cstring>

#include "crypto/mCryptoError.h"
#include "crypto/mMD5.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TW_AES_HAVE_X86 1
#endif

namespace tw {

namespace {

using Table = std::array<uint32_t, 256>;
using ByteTable = std::array<uint8_t, 256>;

constexpr uint8_t XTime(uint8_t x) { return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0)); }

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = XTime(a);
    b >>= 1;
  }
  return r;
}

// The multiplicative inverse as x^254 by square and multiply (0 for 0): a few
// dozen products a byte, so the tables stay cheap for any compiler's
// constant-evaluation budget.
constexpr uint8_t GfInverse(uint8_t x) {
  uint8_t result = 1, power = x;
  for (int e = 254; e != 0; e >>= 1) {
    if (e & 1) result = GfMul(result, power);
    power = GfMul(power, power);
  }
  return result;
}

constexpr ByteTable BuildSbox() {
  ByteTable s{};
  for (int x = 0; x < 256; ++x) {
    const uint8_t inv = GfInverse(static_cast<uint8_t>(x));
    uint8_t b = inv, r = inv;
    for (int i = 0; i < 4; ++i) {
      b = static_cast<uint8_t>((b << 1) | (b >> 7));
      r ^= b;
    }
    s[x] = static_cast<uint8_t>(r ^ 0x63);
  }
  return s;
}

constexpr ByteTable kSbox = BuildSbox();

constexpr ByteTable BuildInvSbox() {
  ByteTable s{};
  for (int x = 0; x < 256; ++x) s[kSbox[x]] = static_cast<uint8_t>(x);
  return s;
}

constexpr ByteTable kInvSbox = BuildInvSbox();

constexpr uint32_t Ror8(uint32_t w, int times) {
  for (int i = 0; i < times; ++i) w = (w >> 8) | (w << 24);
  return w;
}

constexpr Table BuildTe(int rot) {
  Table t{};
  for (int x = 0; x < 256; ++x) {
    const uint8_t s = kSbox[x];
    const uint32_t w = uint32_t(GfMul(s, 2)) << 24 | uint32_t(s) << 16 | uint32_t(s) << 8 | GfMul(s, 3);
    t[x] = Ror8(w, rot);
  }
  return t;
}

constexpr Table BuildTd(int rot) {
  Table t{};
  for (int x = 0; x < 256; ++x) {
    const uint8_t s = kInvSbox[x];
    const uint32_t w = uint32_t(GfMul(s, 14)) << 24 | uint32_t(GfMul(s, 9)) << 16 |
                       uint32_t(GfMul(s, 13)) << 8 | GfMul(s, 11);
    t[x] = Ror8(w, rot);
  }
  return t;
}

constexpr Table kTe0 = BuildTe(0), kTe1 = BuildTe(1), kTe2 = BuildTe(2), kTe3 = BuildTe(3);
constexpr Table kTd0 = BuildTd(0), kTd1 = BuildTd(1), kTd2 = BuildTd(2), kTd3 = BuildTd(3);

inline uint32_t LoadBe32(const uint8_t* p) {
  return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline void StoreBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline uint32_t B0(uint32_t w) { return w >> 24; }
inline uint32_t B1(uint32_t w) { return (w >> 16) & 0xFF; }
inline uint32_t B2(uint32_t w) { return (w >> 8) & 0xFF; }
inline uint32_t B3(uint32_t w) { return w & 0xFF; }

uint32_t InvMixColumnWord(uint32_t w) {
  return kTd0[kSbox[B0(w)]] ^ kTd1[kSbox[B1(w)]] ^ kTd2[kSbox[B2(w)]] ^ kTd3[kSbox[B3(w)]];
}

void Wipe(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n--) *v++ = 0;
}

void CheckLength(uint32_t length) {
  if (length == 0) throw ECryptoError("Nothing to do");
  if (length % 16 != 0) throw ECryptoError("Wrong block length");
}

// Resolves Auto and refuses AesNi where the processor lacks it.
bool UseAesNi(TAesPath path) {
  switch (path) {
    case TAesPath::Portable:
      return false;
    case TAesPath::AesNi:
      if (!AesNiAvailable()) throw ECryptoError("AES instructions not available");
      return true;
    case TAesPath::Auto:
      break;
  }
  return AesNiAvailable();
}

// --- portable CBC ---------------------------------------------------------

// The chain between blocks carries the last round's output before its round
// key (u); the next block's source is whitened with round keys 0 and 10 off
// the chain, so one XOR joins the two: u ^ (source ^ rk0 ^ rk10) equals
// (ciphertext ^ source) ^ rk0. The ciphertext u ^ rk10 is written off the
// chain as well.
void PortableEncryptCbc(const uint8_t* src, size_t length, const TAesSchedule& ks, uint8_t* dst,
                        const uint8_t* iv) {
  const uint32_t* rk = ks.words;
  const uint32_t* last = rk + 40;
  const uint32_t w0 = rk[0] ^ last[0], w1 = rk[1] ^ last[1], w2 = rk[2] ^ last[2], w3 = rk[3] ^ last[3];
  uint32_t u0 = LoadBe32(iv) ^ last[0], u1 = LoadBe32(iv + 4) ^ last[1], u2 = LoadBe32(iv + 8) ^ last[2],
           u3 = LoadBe32(iv + 12) ^ last[3];
  for (size_t off = 0; off < length; off += 16) {
    const uint32_t p0 = LoadBe32(src + off) ^ w0, p1 = LoadBe32(src + off + 4) ^ w1;
    const uint32_t p2 = LoadBe32(src + off + 8) ^ w2, p3 = LoadBe32(src + off + 12) ^ w3;
    uint32_t s0 = u0 ^ p0, s1 = u1 ^ p1, s2 = u2 ^ p2, s3 = u3 ^ p3;
    for (int r = 1; r < 10; ++r) {
      const uint32_t* k = rk + 4 * r;
      const uint32_t t0 = kTe0[B0(s0)] ^ kTe1[B1(s1)] ^ kTe2[B2(s2)] ^ kTe3[B3(s3)] ^ k[0];
      const uint32_t t1 = kTe0[B0(s1)] ^ kTe1[B1(s2)] ^ kTe2[B2(s3)] ^ kTe3[B3(s0)] ^ k[1];
      const uint32_t t2 = kTe0[B0(s2)] ^ kTe1[B1(s3)] ^ kTe2[B2(s0)] ^ kTe3[B3(s1)] ^ k[2];
      const uint32_t t3 = kTe0[B0(s3)] ^ kTe1[B1(s0)] ^ kTe2[B2(s1)] ^ kTe3[B3(s2)] ^ k[3];
      s0 = t0, s1 = t1, s2 = t2, s3 = t3;
    }
    u0 = uint32_t(kSbox[B0(s0)]) << 24 | uint32_t(kSbox[B1(s1)]) << 16 | uint32_t(kSbox[B2(s2)]) << 8 | kSbox[B3(s3)];
    u1 = uint32_t(kSbox[B0(s1)]) << 24 | uint32_t(kSbox[B1(s2)]) << 16 | uint32_t(kSbox[B2(s3)]) << 8 | kSbox[B3(s0)];
    u2 = uint32_t(kSbox[B0(s2)]) << 24 | uint32_t(kSbox[B1(s3)]) << 16 | uint32_t(kSbox[B2(s0)]) << 8 | kSbox[B3(s1)];
    u3 = uint32_t(kSbox[B0(s3)]) << 24 | uint32_t(kSbox[B1(s0)]) << 16 | uint32_t(kSbox[B2(s1)]) << 8 | kSbox[B3(s2)];
    StoreBe32(dst + off, u0 ^ last[0]);
    StoreBe32(dst + off + 4, u1 ^ last[1]);
    StoreBe32(dst + off + 8, u2 ^ last[2]);
    StoreBe32(dst + off + 12, u3 ^ last[3]);
  }
}

// Decrypts kBlocks blocks given as four words each; `dk` is the decryption
// schedule. Independent blocks run interleaved, which hides the latency of
// the table look-ups (CBC decryption has no chain between blocks).
template <int kBlocks>
inline void PortableDecryptWords(uint32_t (&st)[kBlocks][4], const uint32_t* dk) {
  for (auto& s : st) s[0] ^= dk[40], s[1] ^= dk[41], s[2] ^= dk[42], s[3] ^= dk[43];
  for (int r = 9; r >= 1; --r) {
    const uint32_t* k = dk + 4 * r;
#pragma GCC unroll 4
    for (auto& s : st) {
      const uint32_t t0 = kTd0[B0(s[0])] ^ kTd1[B1(s[3])] ^ kTd2[B2(s[2])] ^ kTd3[B3(s[1])] ^ k[0];
      const uint32_t t1 = kTd0[B0(s[1])] ^ kTd1[B1(s[0])] ^ kTd2[B2(s[3])] ^ kTd3[B3(s[2])] ^ k[1];
      const uint32_t t2 = kTd0[B0(s[2])] ^ kTd1[B1(s[1])] ^ kTd2[B2(s[0])] ^ kTd3[B3(s[3])] ^ k[2];
      const uint32_t t3 = kTd0[B0(s[3])] ^ kTd1[B1(s[2])] ^ kTd2[B2(s[1])] ^ kTd3[B3(s[0])] ^ k[3];
      s[0] = t0, s[1] = t1, s[2] = t2, s[3] = t3;
    }
  }
#pragma GCC unroll 4
  for (auto& s : st) {
    const uint32_t t0 = uint32_t(kInvSbox[B0(s[0])]) << 24 | uint32_t(kInvSbox[B1(s[3])]) << 16 |
                        uint32_t(kInvSbox[B2(s[2])]) << 8 | kInvSbox[B3(s[1])];
    const uint32_t t1 = uint32_t(kInvSbox[B0(s[1])]) << 24 | uint32_t(kInvSbox[B1(s[0])]) << 16 |
                        uint32_t(kInvSbox[B2(s[3])]) << 8 | kInvSbox[B3(s[2])];
    const uint32_t t2 = uint32_t(kInvSbox[B0(s[2])]) << 24 | uint32_t(kInvSbox[B1(s[1])]) << 16 |
                        uint32_t(kInvSbox[B2(s[0])]) << 8 | kInvSbox[B3(s[3])];
    const uint32_t t3 = uint32_t(kInvSbox[B0(s[3])]) << 24 | uint32_t(kInvSbox[B1(s[2])]) << 16 |
                        uint32_t(kInvSbox[B2(s[1])]) << 8 | kInvSbox[B3(s[0])];
    s[0] = t0 ^ dk[0], s[1] = t1 ^ dk[1], s[2] = t2 ^ dk[2], s[3] = t3 ^ dk[3];
  }
}

// Decrypts kBlocks consecutive blocks at `off`; `chain` is the ciphertext
// block before them and becomes the last one of them. All input is read
// before any output is written (in-place use).
template <int kBlocks>
inline void PortableDecryptRun(const uint8_t* src, size_t off, const uint32_t* dk, uint8_t* dst,
                               uint32_t (&chain)[4]) {
  uint32_t x[kBlocks][4], st[kBlocks][4];
  for (int b = 0; b < kBlocks; ++b)
    for (int w = 0; w < 4; ++w) st[b][w] = x[b][w] = LoadBe32(src + off + 16 * b + 4 * w);
  PortableDecryptWords<kBlocks>(st, dk);
  for (int b = 0; b < kBlocks; ++b)
    for (int w = 0; w < 4; ++w) StoreBe32(dst + off + 16 * b + 4 * w, st[b][w] ^ (b == 0 ? chain[w] : x[b - 1][w]));
  for (int w = 0; w < 4; ++w) chain[w] = x[kBlocks - 1][w];
}

void PortableDecryptCbc(const uint8_t* src, size_t length, const TAesSchedule& ks, uint8_t* dst,
                        const uint8_t* iv) {
  uint32_t chain[4] = {LoadBe32(iv), LoadBe32(iv + 4), LoadBe32(iv + 8), LoadBe32(iv + 12)};
  size_t off = 0;
  for (; off + 32 <= length; off += 32) PortableDecryptRun<2>(src, off, ks.words, dst, chain);
  if (off < length) PortableDecryptRun<1>(src, off, ks.words, dst, chain);
}

// --- AES-NI CBC -----------------------------------------------------------

#ifdef TW_AES_HAVE_X86

#define TW_AESNI __attribute__((target("aes,sse4.1")))

// Round keys as the instructions want them: the key bytes in memory order.
void RoundKeyBytes(const TAesSchedule& ks, uint8_t (*out)[16]) {
  for (int r = 0; r < 11; ++r)
    for (int i = 0; i < 4; ++i) StoreBe32(out[r] + 4 * i, ks.words[4 * r + i]);
}

TW_AESNI void LoadRoundKeys(const uint8_t (*bytes)[16], __m128i* out) {
  for (int r = 0; r < 11; ++r) out[r] = _mm_load_si128(reinterpret_cast<const __m128i*>(bytes[r]));
}

// No XOR waits on the chain between blocks: the last round's key operand
// (round key 10) also carries the next block's source whitened with round
// key 0, both known before the chain reaches it, so the last round of one
// block yields the state entering round 1 of the next: c ^ source ^ rk0.
// The ciphertext c is taken off the chain by XORing the whitened source out
// again. The next block is read before this block's output is written.
TW_AESNI void AesNiEncryptCbcKeys(const uint8_t* src, size_t length, const uint8_t (*roundKeys)[16], uint8_t* dst,
                                  const uint8_t* iv) {
  __m128i k[11];
  LoadRoundKeys(roundKeys, k);
  const auto load = [](const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  __m128i x = _mm_xor_si128(_mm_xor_si128(load(iv), k[0]), load(src));
  size_t off = 0;
  for (; off + 16 < length; off += 16) {
#pragma GCC unroll 9
    for (int r = 1; r < 10; ++r) x = _mm_aesenc_si128(x, k[r]);
    const __m128i next = _mm_xor_si128(load(src + off + 16), k[0]);
    x = _mm_aesenclast_si128(x, _mm_xor_si128(k[10], next));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + off), _mm_xor_si128(x, next));
  }
#pragma GCC unroll 9
  for (int r = 1; r < 10; ++r) x = _mm_aesenc_si128(x, k[r]);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + off), _mm_aesenclast_si128(x, k[10]));
  for (auto& key : k) key = _mm_setzero_si128();
}

TW_AESNI void AesNiDecryptCbcKeys(const uint8_t* src, size_t length, const uint8_t (*roundKeys)[16], uint8_t* dst,
                                  const uint8_t* iv) {
  __m128i k[11];
  LoadRoundKeys(roundKeys, k);
  __m128i chain = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
  size_t off = 0;
  constexpr int kWay = 8;
  for (; off + 16 * kWay <= length; off += 16 * kWay) {
    __m128i c[kWay], x[kWay];
#pragma GCC unroll 8
    for (int i = 0; i < kWay; ++i) {
      c[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + off + 16 * i));
      x[i] = _mm_xor_si128(c[i], k[10]);
    }
#pragma GCC unroll 9
    for (int r = 9; r >= 1; --r) {
      const __m128i key = k[r];
#pragma GCC unroll 8
      for (int i = 0; i < kWay; ++i) x[i] = _mm_aesdec_si128(x[i], key);
    }
#pragma GCC unroll 8
    for (int i = 0; i < kWay; ++i) x[i] = _mm_aesdeclast_si128(x[i], k[0]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + off), _mm_xor_si128(x[0], chain));
#pragma GCC unroll 8
    for (int i = 1; i < kWay; ++i)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + off + 16 * i), _mm_xor_si128(x[i], c[i - 1]));
    chain = c[kWay - 1];
  }
  for (; off < length; off += 16) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + off));
    __m128i x = _mm_xor_si128(c, k[10]);
    for (int r = 9; r >= 1; --r) x = _mm_aesdec_si128(x, k[r]);
    x = _mm_aesdeclast_si128(x, k[0]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + off), _mm_xor_si128(x, chain));
    chain = c;
  }
  for (auto& key : k) key = _mm_setzero_si128();
}

// The same from a schedule: its round keys in memory order first.
void AesNiEncryptCbc(const uint8_t* src, size_t length, const TAesSchedule& ks, uint8_t* dst, const uint8_t* iv) {
  alignas(16) uint8_t roundKeys[11][16];
  RoundKeyBytes(ks, roundKeys);
  AesNiEncryptCbcKeys(src, length, roundKeys, dst, iv);
  Wipe(roundKeys, sizeof roundKeys);
}

void AesNiDecryptCbc(const uint8_t* src, size_t length, const TAesSchedule& ks, uint8_t* dst, const uint8_t* iv) {
  alignas(16) uint8_t roundKeys[11][16];
  RoundKeyBytes(ks, roundKeys);
  AesNiDecryptCbcKeys(src, length, roundKeys, dst, iv);
  Wipe(roundKeys, sizeof roundKeys);
}

#undef TW_AESNI

#endif  // TW_AES_HAVE_X86

using CbcFunction = void (*)(const uint8_t*, size_t, const TAesSchedule&, uint8_t*, const uint8_t*);

CbcFunction PickEncrypt(bool aesNi) {
#ifdef TW_AES_HAVE_X86
  if (aesNi) return AesNiEncryptCbc;
#endif
  (void)aesNi;
  return PortableEncryptCbc;
}

CbcFunction PickDecrypt(bool aesNi) {
#ifdef TW_AES_HAVE_X86
  if (aesNi) return AesNiDecryptCbc;
#endif
  (void)aesNi;
  return PortableDecryptCbc;
}

}  // namespace

bool AesNiAvailable() {
#ifdef TW_AES_HAVE_X86
  return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse4.1");
#else
  return false;
#endif
}

TAesSchedule AesExpandEncryptKey(const uint8_t* key) {
  TAesSchedule ks;
  uint32_t* w = ks.words;
  for (int i = 0; i < 4; ++i) w[i] = LoadBe32(key + 4 * i);
  uint8_t rcon = 1;
  for (int i = 4; i < 44; ++i) {
    uint32_t t = w[i - 1];
    if (i % 4 == 0) {
      t = (uint32_t(kSbox[B1(t)]) << 24 | uint32_t(kSbox[B2(t)]) << 16 | uint32_t(kSbox[B3(t)]) << 8 |
           kSbox[B0(t)]) ^
          (uint32_t(rcon) << 24);
      rcon = XTime(rcon);
    }
    w[i] = w[i - 4] ^ t;
  }
  return ks;
}

TAesSchedule AesExpandDecryptKey(const uint8_t* key) {
  TAesSchedule ks = AesExpandEncryptKey(key);
  for (int i = 4; i < 40; ++i) ks.words[i] = InvMixColumnWord(ks.words[i]);
  return ks;
}

void AesEncryptBlock(const uint8_t* in, uint8_t* out, const TAesSchedule& schedule) {
  static const uint8_t kZero[16] = {};
  PortableEncryptCbc(in, 16, schedule, out, kZero);
}

void AesDecryptBlock(const uint8_t* in, uint8_t* out, const TAesSchedule& schedule) {
  static const uint8_t kZero[16] = {};
  PortableDecryptCbc(in, 16, schedule, out, kZero);
}

void AesEncryptCbcRawKey(const void* source, uint32_t length, const uint8_t* key, void* destination,
                         const uint8_t* iv, TAesPath path) {
  CheckLength(length);
  const CbcFunction run = PickEncrypt(UseAesNi(path));
  uint8_t chain[16];
  std::memcpy(chain, iv, 16);
  TAesSchedule ks = AesExpandEncryptKey(key);
  run(static_cast<const uint8_t*>(source), length, ks, static_cast<uint8_t*>(destination), chain);
  Wipe(&ks, sizeof ks);
}

void AesDecryptCbcRawKey(const void* source, uint32_t length, const uint8_t* key, void* destination,
                         const uint8_t* iv, TAesPath path) {
  CheckLength(length);
  const CbcFunction run = PickDecrypt(UseAesNi(path));
  uint8_t chain[16];
  std::memcpy(chain, iv, 16);
  TAesSchedule ks = AesExpandDecryptKey(key);
  run(static_cast<const uint8_t*>(source), length, ks, static_cast<uint8_t*>(destination), chain);
  Wipe(&ks, sizeof ks);
}

void AesEncryptCbc(const void* source, uint32_t length, std::string_view keyText, void* destination,
                   const uint8_t* iv, TAesPath path) {
  CheckLength(length);
  uint8_t key[16];
  Md5OfBuffer(keyText.data(), keyText.size(), key);
  AesEncryptCbcRawKey(source, length, key, destination, iv, path);
  Wipe(key, sizeof key);
}

void AesDecryptCbc(const void* source, uint32_t length, std::string_view keyText, void* destination,
                   const uint8_t* iv, TAesPath path) {
  CheckLength(length);
  uint8_t key[16];
  Md5OfBuffer(keyText.data(), keyText.size(), key);
  AesDecryptCbcRawKey(source, length, key, destination, iv, path);
  Wipe(key, sizeof key);
}

TAesKey::TAesKey(std::string_view keyText, TAesPath path) : aesNi_(UseAesNi(path)) {
  uint8_t key[16];
  Md5OfBuffer(keyText.data(), keyText.size(), key);
  encrypt_ = AesExpandEncryptKey(key);
  decrypt_ = AesExpandDecryptKey(key);
  Wipe(key, sizeof key);
#ifdef TW_AES_HAVE_X86
  RoundKeyBytes(encrypt_, roundKeys_[0]);
  RoundKeyBytes(decrypt_, roundKeys_[1]);
#else
  Wipe(roundKeys_, sizeof roundKeys_);
#endif
}

TAesKey::~TAesKey() {
  Wipe(&encrypt_, sizeof encrypt_);
  Wipe(&decrypt_, sizeof decrypt_);
  Wipe(roundKeys_, sizeof roundKeys_);
}

void TAesKey::EncryptCbc(const void* source, uint32_t length, void* destination, const uint8_t* iv) const {
  CheckLength(length);
  uint8_t chain[16];
  std::memcpy(chain, iv, 16);
  const auto* src = static_cast<const uint8_t*>(source);
  auto* dst = static_cast<uint8_t*>(destination);
#ifdef TW_AES_HAVE_X86
  if (aesNi_) return AesNiEncryptCbcKeys(src, length, roundKeys_[0], dst, chain);
#endif
  PortableEncryptCbc(src, length, encrypt_, dst, chain);
}

void TAesKey::DecryptCbc(const void* source, uint32_t length, void* destination, const uint8_t* iv) const {
  CheckLength(length);
  uint8_t chain[16];
  std::memcpy(chain, iv, 16);
  const auto* src = static_cast<const uint8_t*>(source);
  auto* dst = static_cast<uint8_t*>(destination);
#ifdef TW_AES_HAVE_X86
  if (aesNi_) return AesNiDecryptCbcKeys(src, length, roundKeys_[1], dst, chain);
#endif
  PortableDecryptCbc(src, length, decrypt_, dst, chain);
}

}  // namespace tw
