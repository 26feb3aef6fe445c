// MD5 message digests (RFC 1321), always handled as 16 raw bytes. The entry
// points for the rest of the system are Md5OfString and Md5OfBuffer; the
// context functions are their steps. A context lives on the caller's stack
// and is wiped to zeros when finished.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tw {

struct TMd5Context {
  uint32_t state[4];     // A, B, C, D
  uint32_t bitCount[2];  // message bits absorbed, low word first
  uint8_t buffer[64];    // the part of the message that does not yet fill a block
};

constexpr size_t kMd5DigestSize = 16;

// Zeroes the context and sets the RFC 1321 initial state.
void Md5Start(TMd5Context& ctx);
// Feeds `count` bytes.
void Md5Absorb(TMd5Context& ctx, const void* data, size_t count);
// Feeds a buffer in pieces of at most 16384 bytes (same digest as Md5Absorb).
void Md5AbsorbChunked(TMd5Context& ctx, const void* data, size_t count);
// Pads, writes the 16-byte digest to `digest`, then wipes the context.
void Md5Finish(uint8_t* digest, TMd5Context& ctx);
// The RFC 1321 transform of one 64-byte block.
void Md5Compress(TMd5Context& ctx, const uint8_t* block);

// The 16-byte digest of `bytes` as a byte string; "" for an empty input (no
// digest is computed for it: the login challenge and fingerprints rely on it).
std::string Md5OfString(std::string_view bytes);
// Writes the digest of `count` bytes to `digest` (16 bytes); a count of 0 gives
// the digest of the empty message.
void Md5OfBuffer(const void* data, size_t count, uint8_t* digest);

}  // namespace tw
