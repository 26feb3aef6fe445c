// TIniFile: an INI document (sections in square brackets, key=value lines,
// 8-bit text) read and written with the rules of the Windows profile
// functions, which the host program's settings.ini and users.con follow:
//  - section and key names match without regard to the case of A-Z, and the
//    first matching section, then the first matching key in it, wins;
//  - blanks (spaces and tabs) around names and values are trimmed, and one
//    pair of surrounding quotes (double or single) is stripped from a value;
//  - a missing file, section or key reads as the caller's default;
//  - CRLF and LF line ends are both read; files are written with CRLF.
// Writing changes the document in memory, keeping every other line as it
// stands; Save rewrites the file as a whole, safely (mSafeFile). A value that
// would not read back the same is written inside one extra pair of quotes.
// The document owns its text; nothing is shared with callers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/mFileResult.h"

namespace tw {

// A whole decimal number with an optional sign that fits 32 bits, blanks
// around it ignored; nothing otherwise (ReadInteger's rule).
std::optional<int> ParseInteger(std::string_view text);

class TIniFile {
 public:
  TIniFile() = default;
  static TIniFile FromText(std::string_view text);
  std::string ToText() const;

  // Load: a missing file gives an empty document and success; a file that
  // exists but cannot be read gives an empty document and the reason.
  static TFileResult Load(const std::string& path, TIniFile& document);
  // Save: replaces the file with ToText(), with permission bits `mode`.
  TFileResult Save(const std::string& path, unsigned mode = 0600) const;

  // Section names in file order, duplicates included.
  std::vector<std::string> SectionNames() const;
  size_t SectionCount() const { return sections_.size(); }
  const std::string& SectionName(size_t index) const { return sections_[index].Name; }

  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view defaultValue) const;
  // The value as a whole decimal number (optional sign, 32-bit), else the default.
  int ReadInteger(std::string_view section, std::string_view key, int defaultValue) const;
  // The value of `key` in the section at `index` (for files whose sections are
  // read one by one in order), nothing when the section lacks the key.
  std::optional<std::string> ReadAt(size_t index, std::string_view key) const;

  // Sets `key` in the first matching section: the first matching key line is
  // replaced, else a line is added at the end of the section; a missing
  // section is appended. Names and values that the file cannot hold (line
  // breaks, NUL, ']' in a section name, '=' in a key, empty or blank-edged
  // names) are refused and the document stays as it was.
  TFileResult WriteString(std::string_view section, std::string_view key, std::string_view value);
  TFileResult WriteInteger(std::string_view section, std::string_view key, int value);
  // Appends a new section even when one of that name exists (for users.con,
  // whose sections are read one by one).
  TFileResult AppendSection(std::string_view section);
  // Sets `key` in the section at `index`.
  TFileResult WriteAt(size_t index, std::string_view key, std::string_view value);

  // Whether a section name survives a write and a read unchanged: no ']',
  // line break, NUL or outer blank (the empty name survives as "[]").
  static bool IsStorableSectionName(std::string_view name);

 private:
  struct Section {
    std::string Name;                // as read, trimmed
    std::vector<std::string> Lines;  // the lines below the header, without line ends
  };

  const Section* FindSection(std::string_view name) const;
  Section* FindSection(std::string_view name);

  std::vector<std::string> preamble_;  // lines before the first section
  std::vector<Section> sections_;
};

}  // namespace tw
