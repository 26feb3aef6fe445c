// Field encodings. The view readers hold the rules; the std::string readers
// run them on a view of the body and then erase what the view consumed.
#include "transport/twTools.h"

#include "platform/com/variant.h"

namespace tw {

namespace {

constexpr size_t kCountSize = 4;

// Runs `read` on a view of `body`, then removes the consumed front of `body`.
template <typename Read>
auto ReadFront(std::string& body, Read read) {
  std::string_view view(body);
  auto value = read(view);
  body.erase(0, body.size() - view.size());
  return value;
}

}  // namespace

void PutIntField(std::string& fields, int32_t value) { AppendLe32(fields, static_cast<uint32_t>(value)); }

void PutInt64Field(std::string& fields, int64_t value) {
  const auto v = static_cast<uint64_t>(value);
  AppendLe32(fields, static_cast<uint32_t>(v));
  AppendLe32(fields, static_cast<uint32_t>(v >> 32));
}

void PutStrField(std::string& fields, std::string_view bytes) {
  AppendLe32(fields, static_cast<uint32_t>(bytes.size()));
  fields.append(bytes);
}

void PutWideField(std::string& fields, std::u16string_view text) {
  AppendLe32(fields, static_cast<uint32_t>(text.size() * 2));
  const size_t at = fields.size();
  fields.resize(at + text.size() * 2);
  char* out = fields.data() + at;
  for (char16_t unit : text) {
    *out++ = static_cast<char>(unit & 0xFF);
    *out++ = static_cast<char>(unit >> 8);
  }
}

std::string IntToField(int32_t value) {
  std::string field;
  PutIntField(field, value);
  return field;
}

std::string StrToField(std::string_view bytes) {
  std::string field;
  field.reserve(kCountSize + bytes.size());
  PutStrField(field, bytes);
  return field;
}

int32_t ReadIntField(std::string_view& body) {
  if (body.size() < kCountSize) return 0;
  const auto value = static_cast<int32_t>(LoadLe32(body.data()));
  body.remove_prefix(kCountSize);
  return value;
}

int64_t ReadInt64Field(std::string_view& body) {
  if (body.size() < 2 * kCountSize) return 0;
  const uint64_t lo = LoadLe32(body.data());
  const uint64_t hi = LoadLe32(body.data() + kCountSize);
  body.remove_prefix(2 * kCountSize);
  return static_cast<int64_t>(lo | hi << 32);
}

std::string_view ReadStrField(std::string_view& body) {
  if (body.size() < kCountSize) return {};
  const auto count = static_cast<int32_t>(LoadLe32(body.data()));
  if (count < 0) {
    body.remove_prefix(kCountSize);
    return {};
  }
  // Compared in size_t: count + 4 cannot overflow there.
  if (static_cast<size_t>(count) > body.size() - kCountSize) return {};
  const std::string_view bytes = body.substr(kCountSize, static_cast<size_t>(count));
  body.remove_prefix(kCountSize + bytes.size());
  return bytes;
}

std::u16string ReadWideField(std::string_view& body) {
  if (body.size() < kCountSize) return {};
  const auto count = static_cast<int32_t>(LoadLe32(body.data()));
  if (count < 0 || count % 2 != 0 || static_cast<size_t>(count) > body.size() - kCountSize) return {};
  std::u16string text(static_cast<size_t>(count) / 2, u'\0');
  const auto* in = reinterpret_cast<const unsigned char*>(body.data() + kCountSize);
  for (char16_t& unit : text) {
    unit = static_cast<char16_t>(in[0] | in[1] << 8);
    in += 2;
  }
  body.remove_prefix(kCountSize + static_cast<size_t>(count));
  return text;
}

int32_t ReadIntField(std::string& body) {
  return ReadFront(body, [](std::string_view& v) { return ReadIntField(v); });
}

int64_t ReadInt64Field(std::string& body) {
  return ReadFront(body, [](std::string_view& v) { return ReadInt64Field(v); });
}

std::string ReadStrField(std::string& body) {
  return ReadFront(body, [](std::string_view& v) { return std::string(ReadStrField(v)); });
}

std::u16string ReadWideField(std::string& body) {
  return ReadFront(body, [](std::string_view& v) { return ReadWideField(v); });
}

std::optional<std::string> VarArrayToStr(const com::VARIANT& v) {
  const com::VARIANT* view = &v;
  while (view->vt == (com::VT_BYREF | com::VT_VARIANT) && view->pvarVal) view = view->pvarVal;
  const bool byteArray = (view->vt & ~com::VT_BYREF) == (com::VT_ARRAY | com::VT_UI1) ||
                         (view->vt & ~com::VT_BYREF) == (com::VT_ARRAY | com::VT_I1);
  if (byteArray) {
    const com::SAFEARRAY* a = (view->vt & com::VT_BYREF) ? (view->pparray ? *view->pparray : nullptr) : view->parray;
    if (!a) return std::string();
  }
  std::optional<std::vector<uint8_t>> bytes = com::BytesFromVariant(v);
  if (!bytes) return std::nullopt;
  return std::string(bytes->begin(), bytes->end());
}

bool StrToVarArray(std::string_view bytes, com::VARIANT* out) {
  return com::SUCCEEDED(com::VariantFromBytes(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), out));
}

}  // namespace tw
