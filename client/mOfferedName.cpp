#include "client/mOfferedName.h"

namespace tw::cln {

std::u16string BareFileName(std::u16string_view path) {
  size_t slash = path.find_last_of(u'/');
  return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

std::u16string TrimOfferedName(std::u16string_view offered) {
  auto blank = [](char16_t c) { return c <= u' '; };
  while (!offered.empty() && blank(offered.front())) offered.remove_prefix(1);
  while (!offered.empty() && blank(offered.back())) offered.remove_suffix(1);
  if (!offered.empty() && offered.front() == u'\\') offered.remove_prefix(1);
  return std::u16string(offered);
}

bool IsPlainName(std::u16string_view name) {
  return !name.empty() && name != u"." && name != u".." && name.find_first_of(std::u16string_view(u"/\0", 2)) ==
                                                                                 std::u16string_view::npos;
}

std::optional<std::u16string> SafeLocalName(std::u16string_view name) {
  if (name.find(u'\0') != std::u16string_view::npos) return std::nullopt;
  size_t separator = name.find_last_of(u"\\/");
  std::u16string_view last = separator == std::u16string_view::npos ? name : name.substr(separator + 1);
  if (last.empty() || last == u"." || last == u"..") return std::nullopt;
  return std::u16string(last);
}

}  // namespace tw::cln
