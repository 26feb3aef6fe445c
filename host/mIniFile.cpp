// The document keeps the file's lines as they are and interprets them on each
// read, so rewriting one key leaves comments, unknown keys and their spelling
// untouched. Names compare with the Windows-1252 letter case folded.
#include "host/mIniFile.h"

#include <charconv>
#include <limits>
#include <utility>

#include "host/mSafeFile.h"

namespace tw {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Upper case of a Windows-1252 letter, any other byte unchanged.
unsigned char FoldCase(unsigned char c) {
  if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 32);
  switch (c) {
    case 0x9A: return 0x8A;  // s caron
    case 0x9C: return 0x8C;  // oe
    case 0x9E: return 0x8E;  // z caron
    case 0xFF: return 0x9F;  // y diaeresis
    default: return c;
  }
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(static_cast<unsigned char>(a[i])) != FoldCase(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

bool IsQuote(char c) { return c == '"' || c == '\''; }

std::string_view StripQuotes(std::string_view value) {
  if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

// A value the reader would change (outer blanks trimmed, a quote pair
// stripped) goes inside one more pair of double quotes, which the reader
// strips again.
std::string EncodeValue(std::string_view value) {
  bool changedByReader = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()) ||
                                            StripQuotes(value).size() != value.size());
  if (!changedByReader) return std::string(value);
  std::string quoted = "\"";
  quoted += value;
  quoted += '"';
  return quoted;
}

bool HoldsLineBreak(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool IsStorableName(std::string_view name) {
  return !name.empty() && !IsBlank(name.front()) && !IsBlank(name.back()) && !HoldsLineBreak(name);
}

bool IsStorableKey(std::string_view key) {
  return IsStorableName(key) && key.find('=') == std::string_view::npos && key.front() != '[' &&
         key.front() != ';';
}

// The key and raw value of a line, when it is a key line.
struct TKeyLine {
  std::string_view Key;
  std::string_view Value;  // trimmed, quotes not yet stripped
};

std::optional<TKeyLine> ParseKeyLine(std::string_view line) {
  std::string_view text = TrimBlanks(line);
  if (text.empty() || text.front() == ';') return std::nullopt;
  size_t equals = text.find('=');
  if (equals == std::string_view::npos) return std::nullopt;
  TKeyLine parsed{TrimBlanks(text.substr(0, equals)), TrimBlanks(text.substr(equals + 1))};
  if (parsed.Key.empty()) return std::nullopt;
  return parsed;
}

std::optional<std::string_view> FindValue(const std::vector<std::string>& lines,
                                          std::string_view key) {
  for (const std::string& line : lines) {
    std::optional<TKeyLine> parsed = ParseKeyLine(line);
    if (parsed && SameName(parsed->Key, key)) return StripQuotes(parsed->Value);
  }
  return std::nullopt;
}

TFileResult CheckKeyAndValue(std::string_view key, std::string_view value) {
  if (!IsStorableKey(key))
    return TFileResult::Failure("The key name \"" + std::string(key) + "\" cannot be stored");
  if (HoldsLineBreak(value))
    return TFileResult::Failure("The value of " + std::string(key) +
                                " holds a line break, which the file cannot hold");
  return TFileResult::Success();
}

void SetKeyLine(std::vector<std::string>& lines, std::string_view key, std::string_view value) {
  std::string line = std::string(key) + "=" + EncodeValue(value);
  for (std::string& existing : lines) {
    std::optional<TKeyLine> parsed = ParseKeyLine(existing);
    if (parsed && SameName(parsed->Key, key)) {
      existing = std::move(line);
      return;
    }
  }
  // After the section's last non-blank line, so blank separator lines stay
  // in front of the next section.
  size_t at = lines.size();
  while (at > 0 && TrimBlanks(lines[at - 1]).empty()) --at;
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
}

}  // namespace

std::optional<int> ParseInteger(std::string_view text) {
  std::string_view digits = TrimBlanks(text);
  bool negative = !digits.empty() && digits.front() == '-';
  if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
  if (digits.empty() || digits.front() < '0' || digits.front() > '9') return std::nullopt;
  long long magnitude = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  long long value = negative ? -magnitude : magnitude;
  if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
    return std::nullopt;
  return static_cast<int>(value);
}

TIniFile TIniFile::FromText(std::string_view text) {
  TIniFile document;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    std::string_view trimmed = TrimBlanks(line);
    if (!trimmed.empty() && trimmed.front() == '[') {
      std::string_view name = trimmed.substr(1);
      name = TrimBlanks(name.substr(0, name.find(']')));
      document.sections_.push_back({std::string(name), {}});
    } else if (document.sections_.empty()) {
      document.preamble_.emplace_back(line);
    } else {
      document.sections_.back().Lines.emplace_back(line);
    }
  }
  return document;
}

std::string TIniFile::ToText() const {
  std::string text;
  for (const std::string& line : preamble_) text += line + "\r\n";
  for (const Section& section : sections_) {
    text += "[" + section.Name + "]\r\n";
    for (const std::string& line : section.Lines) text += line + "\r\n";
  }
  return text;
}

TFileResult TIniFile::Load(const std::string& path, TIniFile& document) {
  std::string text;
  bool exists = false;
  TFileResult result = ReadWholeFile(path, text, exists);
  document = FromText(text);
  return result;
}

TFileResult TIniFile::Save(const std::string& path, unsigned mode) const {
  return ReplaceFileAtomically(path, ToText(), mode);
}

std::vector<std::string> TIniFile::SectionNames() const {
  std::vector<std::string> names;
  names.reserve(sections_.size());
  for (const Section& section : sections_) names.push_back(section.Name);
  return names;
}

const TIniFile::Section* TIniFile::FindSection(std::string_view name) const {
  for (const Section& section : sections_)
    if (SameName(section.Name, name)) return &section;
  return nullptr;
}

TIniFile::Section* TIniFile::FindSection(std::string_view name) {
  return const_cast<Section*>(std::as_const(*this).FindSection(name));
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key,
                                 std::string_view defaultValue) const {
  const Section* found = FindSection(section);
  std::optional<std::string_view> value = found ? FindValue(found->Lines, key) : std::nullopt;
  return std::string(value.value_or(defaultValue));
}

int TIniFile::ReadInteger(std::string_view section, std::string_view key, int defaultValue) const {
  return ParseInteger(ReadString(section, key, "")).value_or(defaultValue);
}

std::optional<std::string> TIniFile::ReadAt(size_t index, std::string_view key) const {
  std::optional<std::string_view> value = FindValue(sections_.at(index).Lines, key);
  if (!value) return std::nullopt;
  return std::string(*value);
}

TFileResult TIniFile::WriteString(std::string_view section, std::string_view key,
                                  std::string_view value) {
  if (!IsStorableSectionName(section))
    return TFileResult::Failure("The section name \"" + std::string(section) + "\" cannot be stored");
  if (TFileResult checked = CheckKeyAndValue(key, value); !checked) return checked;
  Section* found = FindSection(section);
  if (!found) found = &sections_.emplace_back(Section{std::string(section), {}});
  SetKeyLine(found->Lines, key, value);
  return TFileResult::Success();
}

TFileResult TIniFile::WriteInteger(std::string_view section, std::string_view key, int value) {
  return WriteString(section, key, std::to_string(value));
}

TFileResult TIniFile::AppendSection(std::string_view section) {
  if (!IsStorableSectionName(section))
    return TFileResult::Failure("The section name \"" + std::string(section) + "\" cannot be stored");
  sections_.push_back({std::string(section), {}});
  return TFileResult::Success();
}

TFileResult TIniFile::WriteAt(size_t index, std::string_view key, std::string_view value) {
  if (TFileResult checked = CheckKeyAndValue(key, value); !checked) return checked;
  SetKeyLine(sections_.at(index).Lines, key, value);
  return TFileResult::Success();
}

bool TIniFile::IsStorableSectionName(std::string_view name) {
  // "[]" reads back as the empty name, so an empty name is storable.
  return name.empty() || (IsStorableName(name) && name.find(']') == std::string_view::npos);
}

}  // namespace tw
