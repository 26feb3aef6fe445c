// Message fields: the little-endian encodings that every message body is built
// from (IntField, Int64Field, StrField, WideField), their writers, which append
// to a body under construction, and their readers, which take one field off the
// front of a received body. Bodies are 8-bit byte strings; wide text is UTF-16.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace tw::com {
struct VARIANT;
}

namespace tw {

// Writers: each appends one field to `fields`.
void PutIntField(std::string& fields, int32_t value);
void PutInt64Field(std::string& fields, int64_t value);
void PutStrField(std::string& fields, std::string_view bytes);
void PutWideField(std::string& fields, std::u16string_view text);

// TMessage: the body of one message as a value. Fields are appended in order
// and the whole body goes to a send in one call, so nothing built for one
// message can be left over for the next. On a temporary the writers return
// the temporary itself: `Send(TMessage().Int(code).Wide(text))` copies nothing.
class TMessage {
 public:
  TMessage& Int(int32_t value) & { PutIntField(bytes_, value); return *this; }
  TMessage& Int64(int64_t value) & { PutInt64Field(bytes_, value); return *this; }
  TMessage& Str(std::string_view bytes) & { PutStrField(bytes_, bytes); return *this; }
  TMessage& Wide(std::u16string_view text) & { PutWideField(bytes_, text); return *this; }
  // Bytes already encoded as fields (a route list, a forwarded body).
  TMessage& Raw(std::string_view fields) & { bytes_.append(fields); return *this; }

  TMessage&& Int(int32_t value) && { return std::move(Int(value)); }
  TMessage&& Int64(int64_t value) && { return std::move(Int64(value)); }
  TMessage&& Str(std::string_view bytes) && { return std::move(Str(bytes)); }
  TMessage&& Wide(std::u16string_view text) && { return std::move(Wide(text)); }
  TMessage&& Raw(std::string_view fields) && { return std::move(Raw(fields)); }

  const std::string& Bytes() const { return bytes_; }
  size_t Size() const { return bytes_.size(); }
  // The body, for the send that queues it.
  std::string Take() && { return std::move(bytes_); }
  // Empties the body and keeps its buffer: a sender of many messages by
  // reference builds each in the same buffer.
  void Clear() { bytes_.clear(); }

 private:
  std::string bytes_;
};

// One field as a byte string of its own; route lists are concatenated IntFields.
std::string IntToField(int32_t value);
std::string StrToField(std::string_view bytes);

// Readers: each removes the field it read from the front of `body` and returns
// its value. A front that holds no whole field gives 0 or empty and removes
// nothing, with one exception: a StrField whose count is negative as a signed
// value gives empty and removes its 4 count bytes. A WideField with an odd or
// negative count removes nothing. No reader looks past the end of `body`.
int32_t ReadIntField(std::string& body);
int64_t ReadInt64Field(std::string& body);
std::string ReadStrField(std::string& body);
std::u16string ReadWideField(std::string& body);

// The same rules on a borrowed view, which only advances: the cheap way to
// walk a long body field by field.
int32_t ReadIntField(std::string_view& body);
int64_t ReadInt64Field(std::string_view& body);
std::string_view ReadStrField(std::string_view& body);
std::u16string ReadWideField(std::string_view& body);

// Little-endian access to raw bytes, for the frame code as well.
inline uint32_t LoadLe32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}
inline void AppendLe32(std::string& out, uint32_t v) {
  const char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                     static_cast<char>(v >> 24)};
  out.append(b, 4);
}

// Binary messages cross the component boundary as variants holding a
// one-dimensional byte array. VarArrayToStr copies its bytes (an array
// variant with no array gives empty); anything that is not a one-dimensional
// VT_UI1 or VT_I1 array gives nullopt, so callers can answer errNotByteArray.
std::optional<std::string> VarArrayToStr(const com::VARIANT& v);
// A new VT_ARRAY|VT_UI1 variant, bounds 0..n-1 (0..-1 when empty), owned by
// the caller (VariantClear). False when it cannot be allocated.
bool StrToVarArray(std::string_view bytes, com::VARIANT* out);

}  // namespace tw
