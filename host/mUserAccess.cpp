#include "host/mUserAccess.h"

#include "platform/win32/text.h"

namespace tw {
namespace {

constexpr int kMaxNewUserNumber = 999;

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

bool IsSpaceOrControl(char16_t c) { return c <= u' '; }

std::u16string_view TrimSpaceAndControls(std::u16string_view text) {
  while (!text.empty() && IsSpaceOrControl(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpaceOrControl(text.back())) text.remove_suffix(1);
  return text;
}

// The 8-bit form of `text`, when every character has one.
std::optional<std::string> ExactAnsi(std::u16string_view text) {
  std::string ansi = win32::WideToAnsi(text);
  if (win32::AnsiToWide(ansi) != text) return std::nullopt;
  return ansi;
}

}  // namespace

TUserAccessEditor::TUserAccessEditor(const TUsers& saved) : users_(saved) {
  if (!users_.empty()) selected_ = 0;
}

std::u16string TUserAccessEditor::RowText(size_t row) const {
  return win32::AnsiToWide(users_.at(row).Name);
}

void TUserAccessEditor::Select(std::optional<size_t> row) {
  selected_ = row && *row < users_.size() ? row : std::nullopt;
}

std::u16string TUserAccessEditor::PasswordText() const {
  return selected_ ? win32::AnsiToWide(users_[*selected_].Password) : std::u16string();
}

size_t TUserAccessEditor::AddUser() {
  std::string name;
  for (int n = 1; n <= kMaxNewUserNumber; ++n) {
    name = "NewUser" + std::to_string(n);
    bool taken = false;
    for (const TUser& user : users_) taken = taken || SameIgnoringAsciiCase(user.Name, name);
    if (!taken) break;
  }
  users_.push_back({name, ""});
  selected_ = users_.size() - 1;
  return *selected_;
}

bool TUserAccessEditor::RenameSelected(std::u16string_view name) {
  if (!selected_) return false;
  std::optional<std::string> ansi = ExactAnsi(name);
  if (!ansi || !IsStorableUserName(*ansi)) return false;
  if (SameIgnoringAsciiCase(*ansi, "guest")) ansi->insert(0, "_");
  users_[*selected_].Name = std::move(*ansi);
  return true;
}

bool TUserAccessEditor::SetPassword(std::u16string_view typed) {
  if (!selected_) return false;
  std::optional<std::string> ansi = ExactAnsi(TrimSpaceAndControls(typed));
  if (!ansi || ansi->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
    return false;
  users_[*selected_].Password = std::move(*ansi);
  return true;
}

std::u16string TUserAccessEditor::RemovePrompt() const {
  std::u16string name = selected_ ? RowText(*selected_) : std::u16string();
  return name + u" will be deleted! Are you sure?";
}

void TUserAccessEditor::RemoveSelected() {
  if (!selected_) return;
  size_t row = *selected_;
  users_.erase(users_.begin() + static_cast<std::ptrdiff_t>(row));
  if (users_.empty())
    selected_.reset();
  else
    selected_ = row < users_.size() ? row : 0;
}

TFileResult ApplyUserEdits(const TUserAccessEditor& editor, TUserDirectory& directory,
                           const std::string& folder) {
  directory.Assign(editor.Users());
  return SaveUsers(folder, directory.Users());
}

}  // namespace tw
