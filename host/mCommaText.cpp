// Outside quotes every byte up to and including the blank (0x00-0x20) is a
// separator like the comma; a quoted item runs to the first quote that is not
// doubled, or to the end of the text when it is never closed.
#include "host/mCommaText.h"

namespace tw {
namespace {

bool IsSpaceOrControl(char c) { return static_cast<unsigned char>(c) <= ' '; }

bool NeedsQuotes(std::string_view item) {
  if (item.empty()) return true;
  for (char c : item)
    if (IsSpaceOrControl(c) || c == 0x7F || c == ',' || c == '"') return true;
  return false;
}

void SkipSpace(std::string_view& text) {
  while (!text.empty() && IsSpaceOrControl(text.front())) text.remove_prefix(1);
}

std::string TakeQuoted(std::string_view& text) {
  std::string item;
  text.remove_prefix(1);  // the opening quote
  while (!text.empty()) {
    char c = text.front();
    text.remove_prefix(1);
    if (c != '"') {
      item += c;
    } else if (!text.empty() && text.front() == '"') {
      item += '"';
      text.remove_prefix(1);
    } else {
      break;
    }
  }
  return item;
}

std::string TakePlain(std::string_view& text) {
  size_t length = 0;
  while (length < text.size() && !IsSpaceOrControl(text[length]) && text[length] != ',') ++length;
  std::string item(text.substr(0, length));
  text.remove_prefix(length);
  return item;
}

}  // namespace

std::string ToCommaText(const std::vector<std::string>& items) {
  std::string text;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text += ',';
    const std::string& item = items[i];
    if (!NeedsQuotes(item)) {
      text += item;
      continue;
    }
    text += '"';
    for (char c : item) {
      if (c == '"') text += '"';
      text += c;
    }
    text += '"';
  }
  return text;
}

std::vector<std::string> FromCommaText(std::string_view text) {
  std::vector<std::string> items;
  SkipSpace(text);
  while (!text.empty()) {
    items.push_back(text.front() == '"' ? TakeQuoted(text) : TakePlain(text));
    SkipSpace(text);
    if (!text.empty() && text.front() == ',') {
      text.remove_prefix(1);
      SkipSpace(text);
    }
  }
  return items;
}

}  // namespace tw
