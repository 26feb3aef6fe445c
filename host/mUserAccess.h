// TUserAccessEditor: the editing logic of the "User access" window, free of
// any GUI. It holds the working copy of the users, one row per user in
// order, and the selected row; the window shows what it holds and forwards
// the operator's actions. Texts cross its interface as UTF-16, the window's
// own text type, and are kept as the 8-bit texts of users.con.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "host/mFileResult.h"
#include "host/mUsers.h"

namespace tw {

class TUserAccessEditor {
 public:
  // Starts from copies of the saved users and selects the first row, if any.
  explicit TUserAccessEditor(const TUsers& saved);

  const TUsers& Users() const { return users_; }
  std::u16string RowText(size_t row) const;

  // The selected row, which is also the user being edited.
  std::optional<size_t> Selected() const { return selected_; }
  void Select(std::optional<size_t> row);  // a row past the end selects none

  // The password field and "Remove" are enabled exactly while a row is
  // selected; the field then shows that user's password, else it is empty.
  bool PasswordEnabled() const { return selected_.has_value(); }
  bool RemoveEnabled() const { return selected_.has_value(); }
  std::u16string PasswordText() const;

  // Appends a user with an empty password, named "NewUser" + the smallest n
  // in 1..999 that no user has (A-Z case ignored; NewUser999 when all are
  // taken), selects its row and returns the row.
  size_t AddUser();

  // The selected user takes `name`; "guest" in any letter case becomes
  // "_" + name. A name that would not survive a save and reload (empty,
  // ']', a line break, blank-edged, a character with no 8-bit form) is
  // refused: false, and the old name stays.
  bool RenameSelected(std::u16string_view name);

  // The selected user's password := `typed` without leading and trailing
  // blanks and control characters. A password that the file cannot hold as
  // typed (an inner line break or NUL, a character with no 8-bit form) is
  // refused: false, and the old password stays.
  bool SetPassword(std::u16string_view typed);

  // The question that "Remove" asks before it deletes the selected user.
  std::u16string RemovePrompt() const;
  // Deletes the selected row's user; then the row at the same place is
  // selected, or the first row when the last one went, or none when no rows
  // remain.
  void RemoveSelected();

 private:
  TUsers users_;
  std::optional<size_t> selected_;
};

// "Ok" of the window: the saved users become the working copy (which empties
// the look-up cache) and users.con in `folder` is rewritten from them. A
// failed save is reported; the server goes on with the edited users.
TFileResult ApplyUserEdits(const TUserAccessEditor& editor, TUserDirectory& directory,
                           const std::string& folder);

}  // namespace tw
