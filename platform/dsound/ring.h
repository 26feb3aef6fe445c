// The byte ring behind every looping buffer of both backends, and how a Lock
// of a span of it splits into two regions at the end of the ring.
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "platform/dsound/dsound.h"

namespace tw::dsound::detail {

class LoopingRing {
 public:
  explicit LoopingRing(DWORD size) : bytes_(size, 0) {}

  DWORD size() const { return static_cast<DWORD>(bytes_.size()); }
  uint8_t* data() { return bytes_.data(); }

  // [offset, offset + bytes) as the part up to the end of the ring and the
  // part from its start. DSERR_INVALIDPARAM for an offset outside the ring, an
  // empty span or one longer than the ring.
  HRESULT Regions(DWORD offset, DWORD bytes, void** region1, DWORD* bytes1, void** region2, DWORD* bytes2) {
    if (region1 == nullptr || bytes1 == nullptr) return DSERR_INVALIDPARAM;
    if (offset >= size() || bytes == 0 || bytes > size()) return DSERR_INVALIDPARAM;
    const DWORD first = bytes <= size() - offset ? bytes : size() - offset;
    *region1 = bytes_.data() + offset;
    *bytes1 = first;
    const DWORD second = bytes - first;
    if (region2 != nullptr) *region2 = second > 0 ? bytes_.data() : nullptr;
    if (bytes2 != nullptr) *bytes2 = second;
    if (second > 0 && (region2 == nullptr || bytes2 == nullptr)) return DSERR_INVALIDPARAM;
    return DS_OK;
  }

  // Whether [p, p + n) lies inside the ring (Unlock accepts only its own).
  bool Owns(const void* p, DWORD n) const {
    if (p == nullptr) return n == 0;
    const auto* b = static_cast<const uint8_t*>(p);
    return b >= bytes_.data() && n <= size() && b - bytes_.data() <= static_cast<std::ptrdiff_t>(size() - n);
  }

  void CopyOut(DWORD offset, uint8_t* dst, size_t n) const {
    while (n > 0) {
      const size_t run = std::min<size_t>(n, size() - offset);
      std::memcpy(dst, bytes_.data() + offset, run);
      dst += run;
      n -= run;
      offset = static_cast<DWORD>((offset + run) % size());
    }
  }

  void CopyIn(DWORD offset, const uint8_t* src, size_t n) {
    while (n > 0) {
      const size_t run = std::min<size_t>(n, size() - offset);
      std::memcpy(bytes_.data() + offset, src, run);
      src += run;
      n -= run;
      offset = static_cast<DWORD>((offset + run) % size());
    }
  }

  DWORD Advance(DWORD offset, uint64_t n) const { return static_cast<DWORD>((offset + n) % size()); }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace tw::dsound::detail
