// Small media-graph routines and classes that the graph components and the
// capture form are built on: HRESULT checking with readable texts, media type
// records and their owners, a device-category lister with monikers, interface
// lists of a graph's filters and of a filter's pins, and a moniker held as
// bytes. Everything runs on the calling thread and keeps no global state.
//
// Ownership: TMediaType owns its record and format block; TEnumMediaType owns
// its entries; TFilterList and TPinList hold counted references.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/dshow/dshow.h"

namespace tw::dskit {

using dshow::AM_MEDIA_TYPE;
using dshow::IBaseFilter;
using dshow::IEnumMediaTypes;
using dshow::IFilterGraph;
using dshow::IMoniker;
using dshow::IPin;
using com::ComPtr;
using com::GUID;
using com::HRESULT;

// A failed HRESULT: "<error text> ($80004005)."
class EDirectShowException : public std::runtime_error {
 public:
  EDirectShowException(const std::string& message, HRESULT code) : std::runtime_error(message), ErrorCode(code) {}
  HRESULT ErrorCode;
};

// A stream form that ends early or claims more bytes than it holds.
class EReadError : public std::runtime_error {
 public:
  EReadError() : std::runtime_error("Stream read error") {}
};

// A broken precondition ("Assertion failure", "IPin not assigned", ...).
class EAssertionFailed : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Raises EDirectShowException for a failed HRESULT; returns any other unchanged.
HRESULT RaiseOnFailure(HRESULT hr);
// The platform's text for an HRESULT, at most 255 characters.
std::string ErrorTextOf(HRESULT hr);

// Copies `source` into `target` (which must be another record) with a new
// format block and one more reference on pUnk. A failed block allocation
// leaves the copy with cbFormat 0.
void CloneMediaTypeRecord(AM_MEDIA_TYPE& target, const AM_MEDIA_TYPE& source);
// Frees the format block (cbFormat 0, pbFormat null) and releases pUnk.
void ReleaseMediaTypeRecord(AM_MEDIA_TYPE& record);

// Publishes `graph` in the running object table under the item name
// "FilterGraph <address> pid <process id in hex>" so that a graph viewer can
// find it; the first failing HRESULT, or that of the registration.
HRESULT RegisterGraphInRot(com::IUnknown* graph, com::DWORD* cookie);
HRESULT UnregisterGraphFromRot(com::DWORD cookie);

// Seven 4-bit fields from the top, then bits 3-2 and bits 1-0.
std::array<uint8_t, 9> UnpackTimeCode(uint32_t timeCode);
// 0..10000 to an attenuation in hundredths of a decibel (-10000..0) and back.
int32_t LinearToAttenuation(int32_t linear);
int32_t AttenuationToLinear(int32_t attenuation);

// Bytes of one DIB row: ((bits x width + 31) div 32) x 4; 15 bits count as 16.
int32_t DibStride(int32_t bits, int32_t width);

// Named entry of a device category.
struct TFilCatNode {
  std::string FriendlyName;  // UTF-8, at most 255 UTF-16 units (never half a character)
  GUID CLSID{};
};

// The filters of one device category, named, and their monikers.
class TSysDevEnum {
 public:
  explicit TSysDevEnum(const GUID& category);
  void SelectCategory(const GUID& category);
  int FilterCount() const { return static_cast<int>(filters_.size()); }
  int CountCategories() const { return static_cast<int>(categories_.size()); }
  // Throws std::out_of_range outside the list.
  TFilCatNode FilterRecord(int i) const;
  TFilCatNode CategoryRecord(int i) const;
  // The moniker at position i of a fresh enumeration of the category; null
  // outside 0 .. FilterCount-1.
  ComPtr<IMoniker> MonikerAt(int i) const;

 private:
  static void EnumerateCategory(std::vector<TFilCatNode>& list, const GUID& category);
  GUID category_{};
  std::vector<TFilCatNode> categories_;
  std::vector<TFilCatNode> filters_;
};

// Owner of one media type record with its format block.
class TMediaType {
 public:
  // All zero except bFixedSizeSamples TRUE and lSampleSize 1, then the major type.
  explicit TMediaType(const GUID& majorType = GUID{});
  explicit TMediaType(const AM_MEDIA_TYPE& record);
  TMediaType(const TMediaType& other) : TMediaType(other.record_) {}
  TMediaType& operator=(const TMediaType& other) {
    Assign(other);
    return *this;
  }
  ~TMediaType();

  void Assign(const TMediaType& source);
  const AM_MEDIA_TYPE& AMMediaType() const { return record_; }
  AM_MEDIA_TYPE& AMMediaType() { return record_; }
  GUID Subtype() const { return record_.subtype; }
  void SetSubtype(const GUID& g) { record_.subtype = g; }
  GUID FormatType() const { return record_.formattype; }
  void SetFormatType(const GUID& g) { record_.formattype = g; }
  uint32_t FormatLength() const { return record_.cbFormat; }
  void ResetFormat();
  bool Equal(const TMediaType& other) const;

  // The stream form of the property "data": the 72-byte record in its 32-bit
  // layout (little-endian; majortype 0, subtype 16, bFixedSizeSamples 32,
  // bTemporalCompression 36, lSampleSize 40, formattype 44, pUnk 60 written
  // as 0, cbFormat 64, pbFormat 68 written as 0), then cbFormat bytes.
  static constexpr size_t kStreamRecordSize = 72;
  // Written only when there is no ancestor or it differs.
  bool HasData(const TMediaType* ancestor) const { return !ancestor || !ancestor->Equal(*this); }
  void WriteData(std::vector<uint8_t>& out) const;
  // Reads one stream form from `in` and returns the bytes it took. Raises
  // EReadError when the form is cut short or its cbFormat exceeds what
  // follows; the media type then holds no format block.
  size_t ReadData(std::span<const uint8_t> in);

 private:
  AM_MEDIA_TYPE record_;
};

// The media types a pin enumerates, owned.
class TEnumMediaType {
 public:
  void LoadFromPin(IPin* pin);
  void LoadFromEnum(IEnumMediaTypes* types);
  int Count() const { return static_cast<int>(items_.size()); }
  // Throws std::out_of_range outside the list.
  const TMediaType& Items(int i) const;
  TMediaType& Items(int i) { return const_cast<TMediaType&>(std::as_const(*this).Items(i)); }
  void Clear() { items_.clear(); }

 private:
  std::vector<std::unique_ptr<TMediaType>> items_;
};

class TFilterList {
 public:
  explicit TFilterList(IFilterGraph* graph);
  void Update();
  int Count() const { return static_cast<int>(items_.size()); }
  ComPtr<IBaseFilter> Filters(int i) const;
  void Add(IBaseFilter* filter) { items_.emplace_back(filter); }
  void Remove(IBaseFilter* filter);

 private:
  ComPtr<IFilterGraph> graph_;
  std::vector<ComPtr<IBaseFilter>> items_;
};

class TPinList {
 public:
  explicit TPinList(IBaseFilter* filter);
  void Update();
  int Count() const { return static_cast<int>(items_.size()); }
  // Throws std::out_of_range outside the list.
  ComPtr<IPin> Pins(int i) const;
  ComPtr<IPin> FirstPin() const { return Pins(0); }
  bool Connected(int i) const;
  void Add(IPin* pin) { items_.emplace_back(pin); }

 private:
  ComPtr<IBaseFilter> filter_;
  std::vector<ComPtr<IPin>> items_;
};

// One owned byte block.
class TPersistentMemory {
 public:
  void SetSize(int32_t n);
  void Assign(const TPersistentMemory& source);
  bool Equal(const TPersistentMemory& other) const;
  int32_t Size() const { return static_cast<int32_t>(data_.size()); }
  const std::vector<uint8_t>& Data() const { return data_; }

  // The stream form of the property "data": the length as a 32-bit
  // little-endian signed integer, then that many bytes. ReadData raises
  // EReadError for a negative length or one beyond the bytes that follow.
  bool HasData(const TPersistentMemory* ancestor) const { return !ancestor || !ancestor->Equal(*this); }
  void WriteData(std::vector<uint8_t>& out) const;
  size_t ReadData(std::span<const uint8_t> in);

 protected:
  std::vector<uint8_t> data_;
};

// A moniker kept as bytes, bound to a new filter on request.
class TBaseFilter : public TPersistentMemory {
 public:
  void StoreMoniker(IMoniker* moniker);
  ComPtr<IMoniker> LoadMoniker() const;
  ComPtr<IBaseFilter> BindFilter() const;
};

}  // namespace tw::dskit
