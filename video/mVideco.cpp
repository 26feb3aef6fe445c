// How the decoder works: a frame is first parsed completely (skip bits and the
// coefficient streams of all three planes) into the decoder's stream buffers,
// checking every value that indexes or scales something; only a frame that
// parsed cleanly and within its length changes the quality, the size and the
// planes. Then, one row of blocks at a time, the coded blocks are rebuilt by
// dequantisation and a fixed-point inverse transform (rows, then columns) and
// the row is converted to RGB into the bitmap while its samples are still in
// the cache.
#include "video/mVideco.h"

#include <algorithm>
#include <cstring>

#include "video/mCodecAvx2.h"

namespace tw {

namespace {

constexpr char kCorruptFrame[] = "Corrupt video frame!";
constexpr int kDcLimit = 127;
// Overflow guards. Parsed coefficients lie within -127..127 and the largest
// dequantisation factor of the 32 that travel is 14,962, so the row pass's
// largest intermediate, 724 x 127 x 14,962, fits 32 bits. Row results beyond
// kRowLimit come only from corrupt frames; limiting them keeps the column
// pass within 32 bits too (its largest product is 724 x 2^21).
constexpr int32_t kRowLimit = 1 << 21;
constexpr int32_t kColumnBias = 32896;  // the level shift 128 x 256, plus 128

inline int32_t Mul(int32_t x, int32_t c) { return Descale(x * c); }

inline uint8_t ClampByte(int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

struct Outputs {
  int32_t o[8];
};

inline Outputs InverseButterfly(int32_t a0, int32_t a1, int32_t a2, int32_t a3, int32_t a4, int32_t a5, int32_t a6,
                                int32_t a7, int32_t b, const TransformConstants& k) {
  const int32_t e0 = a0 + a4 + b, e1 = a0 - a4 + b;
  const int32_t z = Mul(a2 - a6, k.c181);
  const int32_t f = z + (a2 + a6);
  const int32_t E0 = e0 + f, E3 = e0 - f, E1 = e1 + z, E2 = e1 - z;
  const int32_t p = Mul(a1 - a7, k.c139);
  const int32_t q = Mul(a5 - a3, k.c334);
  const int32_t r = (a1 + a7) - (a5 + a3);
  const int32_t t = (a1 + a7) + (a5 + a3);
  const int32_t w = Mul(p + q, k.c181);
  const int32_t x = Mul(r, k.c181);
  const int32_t y = w + (p - q);
  const int32_t O0 = y + t, O1 = x + y, O2 = w + x, O3 = w;
  return {{E0 + O0, E1 + O1, E2 + O2, E3 + O3, E3 - O3, E2 - O2, E1 - O1, E0 - O0}};
}

}  // namespace

// Left as allocated, so that untouched pages cost nothing: the streams and
// skip flags are written for each frame before they are read, and the planes
// are set to 0 as the frames grow (ClearPlanes). Only the last indexes start
// at 0: after a refused frame CodedBlocks may read some that no frame wrote,
// and they index the streams.
struct CVideco::Buffers {
  uint8_t planes[3][kPlaneStride];  // the last picture: Y, Cb, Cr in block order
  PlaneStreams streams[3];
  uint8_t skip[kMaxFrameBlocks];  // of the frame being decoded
};

// Fields of up to 16 bits, least significant bit first. Bits past the end of
// the frame read as 0 and are counted, so the caller can tell an overrun.
class CVideco::BitReader {
 public:
  explicit BitReader(std::span<const uint8_t> bytes)
      : begin_(bytes.data()), p_(bytes.data()), end_(bytes.data() + bytes.size()) {}

  uint32_t Get(int bits) {
    if (pending_ < bits) Refill();
    const auto value = static_cast<uint32_t>(acc_) & ((1u << bits) - 1);
    acc_ >>= bits;
    pending_ -= bits;
    return value;
  }

  // A magnitude of `width` (at most 15) bits, then a sign bit unless it is 0.
  int GetSigned(int width) {
    if (pending_ < width + 1) Refill();
    const int magnitude = static_cast<int>(acc_ & ((1u << width) - 1));
    if (magnitude == 0) {
      acc_ >>= width;
      pending_ -= width;
      return 0;
    }
    const bool negative = (acc_ >> width) & 1;
    acc_ >>= width + 1;
    pending_ -= width + 1;
    return negative ? -magnitude : magnitude;
  }

  // A group: a 3-bit width, then 8 signed values of that width unless it is 0.
  template <typename T>
  void GetGroup(T* values) {
    const int width = static_cast<int>(Get(3));
    if (width == 0) {
      std::fill(values, values + 8, T{0});
      return;
    }
    const uint32_t mask = (1u << width) - 1;
    for (int half = 0; half < 8; half += 4) {
      if (pending_ < 32) Refill();  // four values take at most 32 bits
      for (int i = half; i < half + 4; ++i) {
        const auto bits = static_cast<uint32_t>(acc_);
        const uint32_t magnitude = bits & mask;
        const uint32_t nonZero = magnitude != 0;
        const uint32_t negative = (bits >> width) & nonZero;
        values[i] = static_cast<T>(static_cast<int>((magnitude ^ (0u - negative)) + negative));
        acc_ >>= width + static_cast<int>(nonZero);
        pending_ -= width + static_cast<int>(nonZero);
      }
    }
  }

  // True when more bits were read than the frame holds.
  bool Overrun() const {
    const uint64_t consumed = 8 * (static_cast<uint64_t>(p_ - begin_) + virtual_) - pending_;
    return consumed > 8 * static_cast<uint64_t>(end_ - begin_);
  }

 private:
  void Refill() {
    if (end_ - p_ >= 8) {
      uint64_t word = 0;
      for (int i = 7; i >= 0; --i) word = (word << 8) | p_[i];
      acc_ |= word << pending_;
      p_ += (63 - pending_) >> 3;
      pending_ |= 56;
      return;
    }
    while (pending_ <= 56) {
      uint64_t byte = 0;
      if (p_ < end_)
        byte = *p_++;
      else
        ++virtual_;
      acc_ |= byte << pending_;
      pending_ += 8;
    }
  }

  const uint8_t* begin_;
  const uint8_t* p_;
  const uint8_t* end_;
  uint64_t virtual_ = 0;
  uint64_t acc_ = 0;
  int pending_ = 0;
};

namespace {

// The values of one plane, read in groups of 8 from a bit reader.
template <typename Reader>
class GroupReader {
 public:
  explicit GroupReader(Reader& in) : in_(in) {}

  int Next() {
    if (pos_ == 8) {
      in_.GetGroup(values_);
      pos_ = 0;
    }
    return values_[pos_++];
  }

  // The next `n` values into `out`; whole groups are read straight into it.
  void NextRun(int8_t* out, int n) {
    for (; pos_ < 8 && n > 0; --n) *out++ = static_cast<int8_t>(values_[pos_++]);
    for (; n >= 8; out += 8, n -= 8) in_.GetGroup(out);
    for (; n > 0; --n) *out++ = static_cast<int8_t>(Next());
  }

 private:
  Reader& in_;
  int values_[8] = {};
  int pos_ = 8;
};

}  // namespace

CVideco::CVideco(bool allowSimd)
    : buf_(std::make_unique_for_overwrite<Buffers>()),
      zigzagToNatural_(ZigzagToNatural()),
      k_(TransformConstants::Compute()),
      simd_(allowSimd && avx2::Supported()) {
  for (int z = 0; z < 64; ++z)
    zigzagToTransposed_[z] = static_cast<uint8_t>(8 * (zigzagToNatural_[z] % 8) + zigzagToNatural_[z] / 8);
  for (int i = 0; i < 256; ++i) {
    rFromCr_[i] = RoundToInt((i - 128) * 1.402 * 65536);
    gFromCb_[i] = RoundToInt((i - 128) * -0.34414 * 65536);
    gFromCr_[i] = RoundToInt((i - 128) * -0.71414 * 65536);
    bFromCb_[i] = RoundToInt((i - 128) * 1.772 * 65536);
  }
  const double weights[4] = {1.402, -0.34414, -0.71414, 1.772};
  const int32_t* tables[4] = {rFromCr_, gFromCb_, gFromCr_, bFromCb_};
  simdColour_ = simd_;
  for (int t = 0; t < 4; ++t) {
    colourLinear_[t] = avx2::LinearTable::Of(weights[t]);
    for (int i = 0; i < 256; ++i) simdColour_ = simdColour_ && colourLinear_[t](i - 128) == tables[t][i];
  }
  for (PlaneStreams& ps : buf_->streams) std::fill(std::begin(ps.last), std::end(ps.last), uint8_t{0});
  SetQuality(3);
}

CVideco::~CVideco() = default;

void CVideco::SetQuality(int quality) {
  if (quality < kMinQuality || quality > kMaxQuality || quality == quality_) return;
  quality_ = quality;
  for (int n = 0; n < 64; ++n) {
    dequant_[0][n] = RoundToInt(256 * AanScale(n) * kQuantTables[quality][n]);
    dequant_[1][n] = RoundToInt(256 * AanScale(n) * kQuantTables[quality - 1][n]);
  }
  for (int n = 0; n < 64; ++n)
    for (int t = 0; t < 2; ++t) dequantT_[t][8 * (n % 8) + n / 8] = dequant_[t][n];
}

void CVideco::Decode(win32::Bitmap& bitmap, std::span<const uint8_t> frame) {
  BitReader in(frame);
  const int quality = static_cast<int>(in.Get(3));
  const int across = static_cast<int>(in.Get(8));
  const int down = static_cast<int>(in.Get(8));
  if (64 * across * down > kMaxFramePixels) throw EVideoException(kTooLargeImage);
  if (across == 0 || down == 0) throw EVideoException(kCorruptFrame);
  const int blocks = across * down;
  for (int b = 0; b < blocks; ++b) buf_->skip[b] = static_cast<uint8_t>(in.Get(1));
  for (int plane = 0; plane < 3; ++plane) {
    ParsePlane(plane, blocks, in);
    if (in.Overrun()) throw EVideoException(kCorruptFrame);
  }

  SetQuality(quality);
  ClearPlanes(blocks);
  if (across != across_ || down != down_) {
    across_ = across;
    down_ = down;
    blocks_ = blocks;
    width_ = 8 * across;
    height_ = 8 * down;
  }
  if (bitmap.Format() != win32::PixelFormat::pf32bit)
    bitmap = win32::Bitmap(width_, height_, win32::PixelFormat::pf32bit);
  else
    bitmap.SetSize(width_, height_);
  int cursor[3][kCodedCoefficients] = {};  // per plane: values taken from each stream so far
  for (int by = 0; by < down_; ++by) {
    for (int plane = 0; plane < 3; ++plane) RebuildBlocks(plane, by * across_, (by + 1) * across_, cursor[plane]);
    StoreBlockRow(bitmap, by);
  }
}

// Blocks that no frame has painted hold 0 in every plane: the planes are set
// to 0 as far as the largest frame so far reaches when a larger one comes.
void CVideco::ClearPlanes(int blocks) {
  const size_t reach = static_cast<size_t>(64) * blocks;
  if (reach <= clearedBytes_) return;
  for (uint8_t* plane : buf_->planes) std::memset(plane + clearedBytes_, 0, reach - clearedBytes_);
  clearedBytes_ = reach;
}

void CVideco::ParsePlane(int plane, int blocks, BitReader& in) {
  PlaneStreams& ps = buf_->streams[plane];
  const uint8_t* skip = buf_->skip;
  GroupReader<BitReader> values(in);
  int last = static_cast<int>(in.Get(5));
  int dc = in.GetSigned(7);
  int lasts[kCodedCoefficients] = {};
  for (int b = 0; b < blocks; ++b) {
    if (skip[b]) continue;
    last += values.Next();
    if (last < 0 || last >= kCodedCoefficients) throw EVideoException(kCorruptFrame);
    ps.last[b] = static_cast<uint8_t>(last);
    ++lasts[last];
  }
  int atLeast = 0;  // coded blocks whose last index is at least s
  for (int s = kCodedCoefficients - 1; s >= 0; --s) ps.counts[s] = atLeast += lasts[s];
  for (int i = 0; i < ps.counts[0]; ++i) {
    dc += values.Next();
    if (dc < -kDcLimit || dc > kDcLimit) throw EVideoException(kCorruptFrame);
    ps.values[0][i] = static_cast<int8_t>(dc);
  }
  for (int s = 1; s < kCodedCoefficients; ++s) values.NextRun(ps.values[s], ps.counts[s]);
}

// Rebuilds the coded blocks first..end-1 of `plane`; `cursor` counts the values
// already taken from each stream by the blocks before them.
void CVideco::RebuildBlocks(int plane, int first, int end, int (&cursor)[kCodedCoefficients]) {
  const PlaneStreams& ps = buf_->streams[plane];
  const int32_t* dq = dequant_[plane == 0 ? 0 : 1];
  const int32_t* dqT = dequantT_[plane == 0 ? 0 : 1];
  uint8_t* samples = buf_->planes[plane];
  // Vector path: a block's coefficients are scattered one block ahead of its
  // transform, so that the transform's vector loads do not wait for the
  // scattered 2-byte stores to be forwarded.
  alignas(32) int16_t coefficients[2][64];
  uint8_t* pending = nullptr;  // the block whose coefficients wait in coefficients[slot]
  int slot = 0;
  for (int b = first; b < end; ++b) {
    if (buf_->skip[b]) continue;
    uint8_t* out = samples + static_cast<size_t>(64) * b;
    const int last = ps.last[b];
    if (last == 0) {  // only a DC: every sample is the same
      const int32_t dc = ps.values[0][cursor[0]++] * dq[0];
      std::memset(out, ClampByte(Descale(dc + kColumnBias)), 64);
      continue;
    }
    if (simd_) {
      const int next = pending ? 1 - slot : slot;
      int16_t* c = coefficients[next];
      std::memset(c, 0, sizeof coefficients[next]);
      for (int z = 0; z <= last; ++z) c[zigzagToTransposed_[z]] = ps.values[z][cursor[z]++];
      if (pending) avx2::DequantiseInverse(coefficients[slot], dqT, pending, kRowLimit, k_);
      pending = out;
      slot = next;
    } else {
      int16_t* c = coefficients[0];
      std::memset(c, 0, sizeof coefficients[0]);
      for (int z = 0; z <= last; ++z) c[zigzagToNatural_[z]] = ps.values[z][cursor[z]++];
      InverseTransform(c, dq, out);
    }
  }
  if (pending) avx2::DequantiseInverse(coefficients[slot], dqT, pending, kRowLimit, k_);
}

void CVideco::InverseTransform(const int16_t* coef, const int32_t* dq, uint8_t* samples) const {
  int32_t rows[64];
  for (int r = 0; r < 8; ++r) {
    const int16_t* c = coef + 8 * r;
    const int32_t* q = dq + 8 * r;
    int32_t* row = rows + 8 * r;
    const int32_t a0 = c[0] * q[0];
    if ((c[1] | c[2] | c[3] | c[4] | c[5] | c[6] | c[7]) == 0) {
      for (int k = 0; k < 8; ++k) row[k] = a0;
      continue;
    }
    const Outputs o = InverseButterfly(a0, c[1] * q[1], c[2] * q[2], c[3] * q[3], c[4] * q[4], c[5] * q[5], c[6] * q[6],
                                       c[7] * q[7], 0, k_);
    for (int k = 0; k < 8; ++k) row[k] = std::clamp(o.o[k], -kRowLimit, kRowLimit);
  }
  for (int col = 0; col < 8; ++col) {
    const int32_t* a = rows + col;
    const Outputs o = InverseButterfly(a[0], a[8], a[16], a[24], a[32], a[40], a[48], a[56], kColumnBias, k_);
    for (int k = 0; k < 8; ++k) samples[8 * k + col] = ClampByte(Descale(o.o[k]));
  }
}

void CVideco::StoreBlockRow(win32::Bitmap& bitmap, int by) const {
  for (int r = 0; r < 8; ++r) {
    uint8_t* px = bitmap.ScanLine(8 * by + r);
    size_t pos = static_cast<size_t>(64) * by * across_ + 8 * r;
    if (simdColour_) {
      avx2::PlanesToBgrxRow(buf_->planes[0] + pos, buf_->planes[1] + pos, buf_->planes[2] + pos, across_, px,
                            colourLinear_);
      continue;
    }
    for (int bx = 0; bx < across_; ++bx, pos += 64) {
      const uint8_t* y = buf_->planes[0] + pos;
      const uint8_t* cb = buf_->planes[1] + pos;
      const uint8_t* cr = buf_->planes[2] + pos;
      for (int c = 0; c < 8; ++c, px += 4) {
        const int32_t base = y[c] * 65536 + 32768;
        px[0] = ClampByte((base + bFromCb_[cb[c]]) >> 16);
        px[1] = ClampByte((base + gFromCb_[cb[c]] + gFromCr_[cr[c]]) >> 16);
        px[2] = ClampByte((base + rFromCr_[cr[c]]) >> 16);
        px[3] = 0;
      }
    }
  }
}

std::vector<CodedBlock> CVideco::CodedBlocks(int plane) const {
  if (plane < 0 || plane > 2) return {};
  return CollectCodedBlocks(buf_->streams[plane], buf_->skip, blocks_);
}

}  // namespace tw
