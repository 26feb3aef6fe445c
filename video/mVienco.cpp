// How the encoder works: one row of blocks at a time, the bitmap is converted
// to Y, Cb and Cr samples held block by block, and each block goes through a
// fixed-point forward transform (columns, then rows) and quantisation by
// reciprocals, of which only the 32 coefficients that travel are kept; the
// row's samples are still in the cache when they are transformed. Luma blocks
// are tested for skipping as they are visited (the chroma of a skipped block
// is not coded). Then the skip bits are written, and each plane's runs of
// last-index differences, DC differences and coefficients go through the
// group coder into the bit writer.
#include "video/mVienco.h"

#include <algorithm>
#include <cstring>

#include "video/mCodecAvx2.h"

namespace tw {

namespace {

constexpr size_t kOutputBytes = 4'194'304;  // the largest frame needs 1,700,104

constexpr int kLumaDcMin = -64;  // 63 already decodes to 255; 64 would not fit a
constexpr int kLumaDcMax = 63;   // DC difference into a group
constexpr int kCoefficientLimit = 127;

inline int32_t Mul(int32_t x, int32_t c) { return Descale(x * c); }

// a / 2^shift == b / 2^shift with division truncating toward zero.
inline bool SameStep(int a, int b, int shift) {
  const auto toward0 = [shift](int v) { return (v + ((v >> 31) & ((1 << shift) - 1))) >> shift; };
  return toward0(a) == toward0(b);
}

inline uint8_t ClampByte(int32_t v) { return static_cast<uint8_t>(std::clamp(v, 0, 255)); }

// One pass of the forward butterfly over the 8 columns of an 8x8 block held
// row by row; output k of column j goes to out[8k + j].
template <typename Sample>
inline void ForwardColumns(const Sample* in, int32_t* out, int32_t b, const TransformConstants& k) {
  for (int j = 0; j < 8; ++j) {
    const int32_t x0 = in[j], x1 = in[8 + j], x2 = in[16 + j], x3 = in[24 + j];
    const int32_t x4 = in[32 + j], x5 = in[40 + j], x6 = in[48 + j], x7 = in[56 + j];
    const int32_t t0 = x0 + x7 - b, t1 = x1 + x6 - b, t2 = x2 + x5 - b, t3 = x3 + x4 - b;
    const int32_t t4 = x3 - x4, t5 = x2 - x5, t6 = x1 - x6, t7 = x0 - x7;
    const int32_t e0 = t0 + t3, e1 = t1 + t2, e2 = t0 - t3;
    const int32_t z1 = Mul(t1 - t2 + e2, k.c181);
    out[j] = e0 + e1;
    out[32 + j] = e0 - e1;
    out[16 + j] = e2 + z1;
    out[48 + j] = e2 - z1;
    const int32_t z3 = Mul(t5 + t6, k.c181);
    const int32_t z = Mul(t4 + t5 + t6 + t7, k.c181);
    const int32_t d = t6 + t7;
    const int32_t r = Mul(z + d, k.c139);
    const int32_t s = Mul(z - d, k.c334);
    const int32_t u = t7 + z3, v = t7 - z3;
    out[8 + j] = u + r;
    out[56 + j] = u - r;
    out[24 + j] = v - s;
    out[40 + j] = v + s;
  }
}

inline void Transpose(const int32_t* in, int32_t* out) {
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) out[8 * c + r] = in[8 * r + c];
}

}  // namespace

// Left as allocated: every part is written for a frame before it is read (the
// saved coefficients and skip flags when the size changes), so untouched
// pages cost nothing.
struct CVienco::Buffers {
  uint8_t row[3][64 * kMaxBlocksPerSide];  // Y, Cb, Cr of one row of blocks, in block order
  PlaneStreams streams[3];
  int16_t saved[kMaxFrameBlocks][3];  // luma zigzag 0..2 when the block was last coded
  uint8_t skip[kMaxFrameBlocks];      // 1 = luma of the block skipped in this frame
  uint8_t output[kOutputBytes];
};

// Bit fields, least significant bit first, into the output.
class CVienco::BitWriter {
 public:
  explicit BitWriter(uint8_t* out) : out_(out) {}

  // Any field of up to 32 bits.
  void Put(uint32_t value, int bits) {
    acc_ |= static_cast<uint64_t>(value) << pending_;
    pending_ += bits;
    if (pending_ >= 32) {
      const auto word = static_cast<uint32_t>(acc_);
      const uint8_t le[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                             static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
      std::memcpy(out_ + pos_, le, 4);
      pos_ += 4;
      acc_ >>= 32;
      pending_ -= 32;
    }
  }

  // The magnitude in `width` bits, then a sign bit (1 = negative) unless 0.
  void PutSigned(int value, int width) {
    if (value == 0) {
      Put(0, width);
    } else {
      const uint32_t magnitude = static_cast<uint32_t>(value < 0 ? -value : value);
      Put(magnitude | (value < 0 ? 1u << width : 0u), width + 1);
    }
  }

  // Writes the pending bits, the last byte filled with zeros; returns the length.
  size_t Finish() {
    for (; pending_ > 0; pending_ -= 8) {
      out_[pos_++] = static_cast<uint8_t>(acc_);
      acc_ >>= 8;
    }
    pending_ = 0;
    return pos_;
  }

 private:
  uint8_t* out_;
  size_t pos_ = 0;
  uint64_t acc_ = 0;
  int pending_ = 0;
};

// Groups of 8 values: a 3-bit width, then the 8 values at that width unless 0.
class CVienco::GroupCoder {
 public:
  explicit GroupCoder(BitWriter& out) : out_(out) {}

  void Add(int value) {
    values_[count_++] = value;
    if (count_ == 8) {
      Write(out_, values_);
      count_ = 0;
    }
  }

  // Adds `n` values in order; whole groups are written straight from `v`.
  void AddRun(const int8_t* v, int n) {
    for (; count_ != 0 && n > 0; --n) Add(*v++);
    for (; n >= 8; v += 8, n -= 8) Write(out_, v);
    for (; n > 0; --n) Add(*v++);
  }

  // Writes a partly filled group, padded with zeros.
  void Finish() {
    if (count_ == 0) return;
    std::fill(values_ + count_, values_ + 8, 0);
    Write(out_, values_);
    count_ = 0;
  }

 private:
  template <typename T>
  static void Write(BitWriter& out, const T* values) {
    unsigned magnitudes = 0;
    for (int i = 0; i < 8; ++i) magnitudes |= static_cast<unsigned>(values[i] < 0 ? -values[i] : values[i]);
    const int width = BitLength(magnitudes);  // the values lie within -127..127
    out.Put(static_cast<uint32_t>(width), 3);
    if (width == 0) return;
    // Four signed values take at most 32 bits: two fields per group.
    for (int half = 0; half < 8; half += 4) {
      uint32_t field = 0;
      int bits = 0;
      for (int i = half; i < half + 4; ++i) {
        const int v = values[i];
        const uint32_t magnitude = static_cast<uint32_t>(v < 0 ? -v : v);
        field |= (magnitude | (static_cast<uint32_t>(v < 0) << width)) << bits;
        bits += width + (v != 0);
      }
      out.Put(field, bits);
    }
  }

  BitWriter& out_;
  int values_[8] = {};
  int count_ = 0;
};

CVienco::CVienco(bool allowSimd, bool allowAvx512)
    : buf_(std::make_unique_for_overwrite<Buffers>()),
      k_(TransformConstants::Compute()),
      simd_(allowSimd && avx2::Supported()),
      avx512_(simd_ && allowAvx512 && avx2::Avx512Supported()) {
  static constexpr double kWeights[9] = {0.299, 0.587, 0.114, -0.1687, -0.3313, 0.5, 0.5, -0.4187, -0.0813};
  for (int t = 0; t < 9; ++t)
    for (int i = 0; i < 256; ++i) colour_[t][i] = RoundToInt(i * kWeights[t] * 65536);
  simdColour_ = simd_;
  for (int t = 0; t < 9; ++t) {
    colourLinear_[t] = avx2::LinearTable::Of(kWeights[t]);
    for (int i = 0; i < 256; ++i) simdColour_ = simdColour_ && colourLinear_[t](i) == colour_[t][i];
  }
  const auto natural = ZigzagToNatural();
  for (int z = 0; z < kCodedCoefficients; ++z)
    sourceOf_[z] = static_cast<uint8_t>(8 * (natural[z] % 8) + natural[z] / 8);
  avx2::BuildZigzagMasks(sourceOf_, zigzagMasks_);
  avx2::BuildZigzagWords(sourceOf_, zigzagWords_);
  SetQuality(3);
}

CVienco::~CVienco() = default;

void CVienco::SetQuality(int quality) {
  if (quality < kMinQuality || quality > kMaxQuality || quality == quality_) return;
  quality_ = quality;
  for (int n = 0; n < 64; ++n) {
    const int t = 8 * (n % 8) + n / 8;
    reciprocal_[0][t] = RoundToInt(65536 * AanScale(n) / kQuantTables[quality][n]);
    reciprocal_[1][t] = RoundToInt(65536 * AanScale(n) / kQuantTables[quality - 1][n]);
  }
  skipShift_ = quality < 3 ? 2 : 1;  // a step of 4 or 2
}

void CVienco::SetSize(int width, int height) {
  width_ = width;
  height_ = height;
  across_ = width / 8;
  down_ = height / 8;
  blocks_ = across_ * down_;
  // 257 / step matches no quantised coefficient / step: no block is skipped
  // before it has been coded once at this size.
  for (int b = 0; b < blocks_; ++b) std::fill(std::begin(buf_->saved[b]), std::end(buf_->saved[b]), 257);
  std::fill(buf_->skip, buf_->skip + blocks_, 0);
}

std::span<const uint8_t> CVienco::Encode(win32::Bitmap& bitmap, bool allowSkip) {
  const int width = bitmap.Width() / 8 * 8;
  const int height = bitmap.Height() / 8 * 8;
  if (width < 8 || height < 8) throw EVideoException("Too small image!");
  if (width > 8 * kMaxBlocksPerSide || height > 8 * kMaxBlocksPerSide ||
      static_cast<int64_t>(width) * height > kMaxFramePixels)
    throw EVideoException(kTooLargeImage);
  if (width != width_ || height != height_) SetSize(width, height);
  bitmap.SetPixelFormat(win32::PixelFormat::pf24bit);

  for (PlaneStreams& ps : buf_->streams) std::fill(std::begin(ps.counts), std::end(ps.counts), 0);
  for (int by = 0; by < down_; ++by) {
    ConvertBlockRow(bitmap, by);
    for (int bx = 0; bx < across_; ++bx) {
      const int b = by * across_ + bx;
      if (EncodeBlock(0, b, buf_->row[0] + 64 * bx, allowSkip)) continue;
      EncodeBlock(1, b, buf_->row[1] + 64 * bx, allowSkip);
      EncodeBlock(2, b, buf_->row[2] + 64 * bx, allowSkip);
    }
  }

  BitWriter out(buf_->output);
  out.Put(static_cast<uint32_t>(quality_), 3);
  out.Put(static_cast<uint32_t>(across_), 8);
  out.Put(static_cast<uint32_t>(down_), 8);
  // The skip bits of the luma blocks, ahead of the Y streams, up to 32 at once.
  for (int b = 0; b < blocks_; b += 32) {
    const int n = std::min(32, blocks_ - b);
    uint32_t bits = 0;
    for (int i = 0; i < n; ++i) bits |= static_cast<uint32_t>(buf_->skip[b + i]) << i;
    out.Put(bits, n);
  }
  GroupCoder groups(out);
  for (int plane = 0; plane < 3; ++plane) WritePlaneStreams(plane, groups, out);
  return {buf_->output, out.Finish()};
}

void CVienco::ConvertBlockRow(const win32::Bitmap& bitmap, int by) {
  const int32_t* const yr = colour_[0];
  const int32_t* const yg = colour_[1];
  const int32_t* const yb = colour_[2];
  const int32_t* const ur = colour_[3];
  const int32_t* const ug = colour_[4];
  const int32_t* const ub = colour_[5];
  const int32_t* const vr = colour_[6];
  const int32_t* const vg = colour_[7];
  const int32_t* const vb = colour_[8];
  for (int r = 0; r < 8; ++r) {
    const uint8_t* px = bitmap.ScanLine(8 * by + r);
    size_t pos = 8 * r;
    if (simdColour_) {
      avx2::BgrRowToPlanes(px, across_, buf_->row[0] + pos, buf_->row[1] + pos, buf_->row[2] + pos, colourLinear_);
      continue;
    }
    for (int bx = 0; bx < across_; ++bx, pos += 64) {
      uint8_t* y = buf_->row[0] + pos;
      uint8_t* cb = buf_->row[1] + pos;
      uint8_t* cr = buf_->row[2] + pos;
      for (int c = 0; c < 8; ++c, px += 3) {
        const uint8_t b = px[0], g = px[1], red = px[2];
        y[c] = ClampByte((yr[red] + yg[g] + yb[b] + 32768) >> 16);
        cb[c] = ClampByte(((ur[red] + ug[g] + ub[b] + 32768) >> 16) + 128);
        cr[c] = ClampByte(((vr[red] + vg[g] + vb[b] + 32768) >> 16) + 128);
      }
    }
  }
}

// Transforms and quantises one block of `plane` and appends its coefficients
// to the plane's streams. A luma block is first tested for skipping: true
// when it is skipped (nothing of the block is then coded).
bool CVienco::EncodeBlock(int plane, int b, const uint8_t* samples, bool allowSkip) {
  const bool luma = plane == 0;
  PlaneStreams& ps = buf_->streams[plane];
  const int32_t* recip = reciprocal_[luma ? 0 : 1];
  int16_t zz[kCodedCoefficients];
  uint32_t nonZero = 0;  // bit z: coefficient z is not 0
  if (avx512_) {
    nonZero = avx2::ForwardQuantiseAvx512(samples, recip, zigzagWords_, zz, k_);
  } else if (simd_) {
    nonZero = avx2::ForwardQuantise(samples, recip, sourceOf_, zz, zigzagMasks_, k_);
  } else {
    int32_t pass1[64], turned[64], out2[64];  // out2 transposed: 8k + i holds natural 8i + k
    ForwardColumns(samples, pass1, 256, k_);
    Transpose(pass1, turned);
    ForwardColumns(turned, out2, 0, k_);
    for (int z = 0; z < kCodedCoefficients; ++z) {
      const int t = sourceOf_[z];
      const int32_t q = (recip[t] * out2[t] + 32768) >> 16;
      zz[z] = static_cast<int16_t>(std::clamp(q, -kCoefficientLimit, kCoefficientLimit));
      nonZero |= static_cast<uint32_t>(zz[z] != 0) << z;
    }
  }
  if (luma) {
    zz[0] = static_cast<int16_t>(std::clamp<int>(zz[0], kLumaDcMin, kLumaDcMax));
    int16_t* saved = buf_->saved[b];
    if (allowSkip && SameStep(zz[0], saved[0], skipShift_) && SameStep(zz[1], saved[1], skipShift_) &&
        SameStep(zz[2], saved[2], skipShift_)) {
      buf_->skip[b] = 1;
      return true;
    }
    buf_->skip[b] = 0;
    saved[0] = zz[0];
    saved[1] = zz[1];
    saved[2] = zz[2];
  }
  const uint32_t ac = nonZero & ~1u;
  const int last = ac ? 31 - __builtin_clz(ac) : 0;
  ps.last[b] = static_cast<uint8_t>(last);
  for (int s = 0; s <= last; ++s) ps.values[s][ps.counts[s]++] = static_cast<int8_t>(zz[s]);
  return false;
}

void CVienco::WritePlaneStreams(int plane, GroupCoder& groups, BitWriter& out) const {
  const PlaneStreams& ps = buf_->streams[plane];
  const uint8_t* skip = buf_->skip;
  const int firstLast = skip[0] ? 0 : ps.last[0];
  const int firstDc = ps.counts[0] > 0 ? ps.values[0][0] : 0;
  out.Put(static_cast<uint32_t>(firstLast), 5);
  out.PutSigned(firstDc, 7);
  int previous = firstLast;
  for (int b = 0; b < blocks_; ++b) {
    if (skip[b]) continue;
    groups.Add(ps.last[b] - previous);
    previous = ps.last[b];
  }
  previous = firstDc;
  for (int i = 0; i < ps.counts[0]; ++i) {
    groups.Add(ps.values[0][i] - previous);
    previous = ps.values[0][i];
  }
  for (int s = 1; s < kCodedCoefficients; ++s) groups.AddRun(ps.values[s], ps.counts[s]);
  groups.Finish();
}

std::vector<CodedBlock> CVienco::CodedBlocks(int plane) const {
  if (plane < 0 || plane > 2) return {};
  return CollectCodedBlocks(buf_->streams[plane], buf_->skip, blocks_);
}

}  // namespace tw
