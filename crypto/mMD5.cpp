// The RFC 1321 transform, fully unrolled, over blocks taken straight from the
// caller's bytes where they are whole and through the context's buffer where
// they are not. Wiping uses a volatile pointer so the compiler keeps it.
#include "crypto/mMD5.h"

#include <algorithm>
#include <cstring>

namespace tw {

namespace {

inline uint32_t Rotl(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

inline uint32_t LoadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void StoreLe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

void Wipe(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n--) *v++ = 0;
}

constexpr size_t kChunk = 16384;

// One absorbed run of whole blocks.
void CompressBlocks(uint32_t* st, const uint8_t* p, size_t blocks);

}  // namespace

void Md5Start(TMd5Context& ctx) {
  std::memset(&ctx, 0, sizeof ctx);
  ctx.state[0] = 0x67452301u;
  ctx.state[1] = 0xEFCDAB89u;
  ctx.state[2] = 0x98BADCFEu;
  ctx.state[3] = 0x10325476u;
}

void Md5Compress(TMd5Context& ctx, const uint8_t* block) { CompressBlocks(ctx.state, block, 1); }

void Md5Absorb(TMd5Context& ctx, const void* data, size_t count) {
  const auto* p = static_cast<const uint8_t*>(data);
  size_t have = (ctx.bitCount[0] >> 3) & 63;
  const uint64_t bits = (uint64_t(ctx.bitCount[1]) << 32 | ctx.bitCount[0]) + uint64_t(count) * 8;
  ctx.bitCount[0] = static_cast<uint32_t>(bits);
  ctx.bitCount[1] = static_cast<uint32_t>(bits >> 32);
  if (have > 0) {
    const size_t take = std::min(count, 64 - have);
    std::memcpy(ctx.buffer + have, p, take);
    p += take;
    count -= take;
    have += take;
    if (have < 64) return;
    CompressBlocks(ctx.state, ctx.buffer, 1);
  }
  if (count >= 64) {
    CompressBlocks(ctx.state, p, count / 64);
    p += count / 64 * 64;
    count %= 64;
  }
  if (count > 0) std::memcpy(ctx.buffer, p, count);
}

void Md5AbsorbChunked(TMd5Context& ctx, const void* data, size_t count) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (count > 0) {
    const size_t piece = std::min(count, kChunk);
    Md5Absorb(ctx, p, piece);
    p += piece;
    count -= piece;
  }
}

void Md5Finish(uint8_t* digest, TMd5Context& ctx) {
  uint8_t length[8];
  StoreLe32(length, ctx.bitCount[0]);
  StoreLe32(length + 4, ctx.bitCount[1]);
  const size_t have = (ctx.bitCount[0] >> 3) & 63;
  static const uint8_t kPadding[64] = {0x80};
  Md5Absorb(ctx, kPadding, have < 56 ? 56 - have : 120 - have);
  Md5Absorb(ctx, length, 8);
  for (int i = 0; i < 4; ++i) StoreLe32(digest + 4 * i, ctx.state[i]);
  Wipe(&ctx, sizeof ctx);
}

std::string Md5OfString(std::string_view bytes) {
  if (bytes.empty()) return {};
  std::string out(kMd5DigestSize, '\0');
  Md5OfBuffer(bytes.data(), bytes.size(), reinterpret_cast<uint8_t*>(out.data()));
  return out;
}

void Md5OfBuffer(const void* data, size_t count, uint8_t* digest) {
  TMd5Context ctx;
  Md5Start(ctx);
  Md5AbsorbChunked(ctx, data, count);
  Md5Finish(digest, ctx);
}

namespace {

#define TW_MD5_STEP(f, a, b, c, d, k, s, t) \
  a += f(b, c, d) + x[k] + (t);             \
  a = Rotl(a, s) + b

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

void CompressBlocks(uint32_t* st, const uint8_t* p, size_t blocks) {
  uint32_t a = st[0], b = st[1], c = st[2], d = st[3];
  for (; blocks > 0; --blocks, p += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLe32(p + 4 * i);
    const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
    TW_MD5_STEP(F, a, b, c, d, 0, 7, 0xd76aa478);
    TW_MD5_STEP(F, d, a, b, c, 1, 12, 0xe8c7b756);
    TW_MD5_STEP(F, c, d, a, b, 2, 17, 0x242070db);
    TW_MD5_STEP(F, b, c, d, a, 3, 22, 0xc1bdceee);
    TW_MD5_STEP(F, a, b, c, d, 4, 7, 0xf57c0faf);
    TW_MD5_STEP(F, d, a, b, c, 5, 12, 0x4787c62a);
    TW_MD5_STEP(F, c, d, a, b, 6, 17, 0xa8304613);
    TW_MD5_STEP(F, b, c, d, a, 7, 22, 0xfd469501);
    TW_MD5_STEP(F, a, b, c, d, 8, 7, 0x698098d8);
    TW_MD5_STEP(F, d, a, b, c, 9, 12, 0x8b44f7af);
    TW_MD5_STEP(F, c, d, a, b, 10, 17, 0xffff5bb1);
    TW_MD5_STEP(F, b, c, d, a, 11, 22, 0x895cd7be);
    TW_MD5_STEP(F, a, b, c, d, 12, 7, 0x6b901122);
    TW_MD5_STEP(F, d, a, b, c, 13, 12, 0xfd987193);
    TW_MD5_STEP(F, c, d, a, b, 14, 17, 0xa679438e);
    TW_MD5_STEP(F, b, c, d, a, 15, 22, 0x49b40821);
    TW_MD5_STEP(G, a, b, c, d, 1, 5, 0xf61e2562);
    TW_MD5_STEP(G, d, a, b, c, 6, 9, 0xc040b340);
    TW_MD5_STEP(G, c, d, a, b, 11, 14, 0x265e5a51);
    TW_MD5_STEP(G, b, c, d, a, 0, 20, 0xe9b6c7aa);
    TW_MD5_STEP(G, a, b, c, d, 5, 5, 0xd62f105d);
    TW_MD5_STEP(G, d, a, b, c, 10, 9, 0x02441453);
    TW_MD5_STEP(G, c, d, a, b, 15, 14, 0xd8a1e681);
    TW_MD5_STEP(G, b, c, d, a, 4, 20, 0xe7d3fbc8);
    TW_MD5_STEP(G, a, b, c, d, 9, 5, 0x21e1cde6);
    TW_MD5_STEP(G, d, a, b, c, 14, 9, 0xc33707d6);
    TW_MD5_STEP(G, c, d, a, b, 3, 14, 0xf4d50d87);
    TW_MD5_STEP(G, b, c, d, a, 8, 20, 0x455a14ed);
    TW_MD5_STEP(G, a, b, c, d, 13, 5, 0xa9e3e905);
    TW_MD5_STEP(G, d, a, b, c, 2, 9, 0xfcefa3f8);
    TW_MD5_STEP(G, c, d, a, b, 7, 14, 0x676f02d9);
    TW_MD5_STEP(G, b, c, d, a, 12, 20, 0x8d2a4c8a);
    TW_MD5_STEP(H, a, b, c, d, 5, 4, 0xfffa3942);
    TW_MD5_STEP(H, d, a, b, c, 8, 11, 0x8771f681);
    TW_MD5_STEP(H, c, d, a, b, 11, 16, 0x6d9d6122);
    TW_MD5_STEP(H, b, c, d, a, 14, 23, 0xfde5380c);
    TW_MD5_STEP(H, a, b, c, d, 1, 4, 0xa4beea44);
    TW_MD5_STEP(H, d, a, b, c, 4, 11, 0x4bdecfa9);
    TW_MD5_STEP(H, c, d, a, b, 7, 16, 0xf6bb4b60);
    TW_MD5_STEP(H, b, c, d, a, 10, 23, 0xbebfbc70);
    TW_MD5_STEP(H, a, b, c, d, 13, 4, 0x289b7ec6);
    TW_MD5_STEP(H, d, a, b, c, 0, 11, 0xeaa127fa);
    TW_MD5_STEP(H, c, d, a, b, 3, 16, 0xd4ef3085);
    TW_MD5_STEP(H, b, c, d, a, 6, 23, 0x04881d05);
    TW_MD5_STEP(H, a, b, c, d, 9, 4, 0xd9d4d039);
    TW_MD5_STEP(H, d, a, b, c, 12, 11, 0xe6db99e5);
    TW_MD5_STEP(H, c, d, a, b, 15, 16, 0x1fa27cf8);
    TW_MD5_STEP(H, b, c, d, a, 2, 23, 0xc4ac5665);
    TW_MD5_STEP(I, a, b, c, d, 0, 6, 0xf4292244);
    TW_MD5_STEP(I, d, a, b, c, 7, 10, 0x432aff97);
    TW_MD5_STEP(I, c, d, a, b, 14, 15, 0xab9423a7);
    TW_MD5_STEP(I, b, c, d, a, 5, 21, 0xfc93a039);
    TW_MD5_STEP(I, a, b, c, d, 12, 6, 0x655b59c3);
    TW_MD5_STEP(I, d, a, b, c, 3, 10, 0x8f0ccc92);
    TW_MD5_STEP(I, c, d, a, b, 10, 15, 0xffeff47d);
    TW_MD5_STEP(I, b, c, d, a, 1, 21, 0x85845dd1);
    TW_MD5_STEP(I, a, b, c, d, 8, 6, 0x6fa87e4f);
    TW_MD5_STEP(I, d, a, b, c, 15, 10, 0xfe2ce6e0);
    TW_MD5_STEP(I, c, d, a, b, 6, 15, 0xa3014314);
    TW_MD5_STEP(I, b, c, d, a, 13, 21, 0x4e0811a1);
    TW_MD5_STEP(I, a, b, c, d, 4, 6, 0xf7537e82);
    TW_MD5_STEP(I, d, a, b, c, 11, 10, 0xbd3af235);
    TW_MD5_STEP(I, c, d, a, b, 2, 15, 0x2ad7d2bb);
    TW_MD5_STEP(I, b, c, d, a, 9, 21, 0xeb86d391);
    a += a0;
    b += b0;
    c += c0;
    d += d0;
  }
  st[0] = a;
  st[1] = b;
  st[2] = c;
  st[3] = d;
}

#undef TW_MD5_STEP

}  // namespace

}  // namespace tw
