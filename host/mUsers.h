// The users that the host program admits, as users.con keeps them (one
// section per user, named by the user, with the password under "Pswd"), and
// TUserDirectory, which answers the server's login requests from them.
// Names and passwords are 8-bit (Windows-1252) texts, as the file holds them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/mFileResult.h"

namespace tw {

inline constexpr char kUsersFileName[] = "users.con";

struct TUser {
  std::string Name;
  std::string Password;
  bool operator==(const TUser&) const = default;
};
using TUsers = std::vector<TUser>;

// Reads users.con in `folder` section by section in file order; a section
// without "Pswd" gives an empty password, other keys are ignored. A missing
// file gives no users. Names that differ only in letter case stay apart.
TFileResult LoadUsers(const std::string& folder, TUsers& users);
// Rewrites users.con in `folder` with one section per user, in order. Users
// of exactly the same name share one section (at the first one's place),
// holding the later user's password.
TFileResult SaveUsers(const std::string& folder, const TUsers& users);

// Whether a user name survives a save and a reload unchanged: not empty, no
// ']', line break or NUL, no blank at either end.
bool IsStorableUserName(std::string_view name);

// The saved users and a one-entry look-up cache. Owns copies of the users.
class TUserDirectory {
 public:
  void Assign(TUsers users);  // replaces the users and empties the cache
  const TUsers& Users() const { return users_; }

  // The password for a login request: empty when `name` is empty or no user
  // has exactly that name (letter case counts); of users sharing the name,
  // the later one. Names compare as UTF-16, so a character with no 8-bit
  // form never matches the '?' it would become.
  std::u16string GetPassword(std::u16string_view name);

 private:
  TUsers users_;
  std::vector<std::u16string> wideNames_;  // users_[i].Name as UTF-16
  std::optional<size_t> cached_;           // index of the last user found
};

}  // namespace tw
