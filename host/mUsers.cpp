#include "host/mUsers.h"

#include "host/mDataFolder.h"
#include "host/mIniFile.h"
#include "platform/win32/text.h"

namespace tw {
namespace {

constexpr char kPasswordKey[] = "Pswd";

}  // namespace

TFileResult LoadUsers(const std::string& folder, TUsers& users) {
  TIniFile ini;
  TFileResult result = TIniFile::Load(FileInFolder(folder, kUsersFileName), ini);
  users.clear();
  users.reserve(ini.SectionCount());
  for (size_t i = 0; i < ini.SectionCount(); ++i)
    users.push_back({ini.SectionName(i), ini.ReadAt(i, kPasswordKey).value_or("")});
  return result;
}

TFileResult SaveUsers(const std::string& folder, const TUsers& users) {
  TIniFile ini;
  std::vector<std::string_view> written;  // section names, by section index
  for (const TUser& user : users) {
    size_t index = 0;
    while (index < written.size() && written[index] != user.Name) ++index;
    if (index == written.size()) {
      if (TFileResult added = ini.AppendSection(user.Name); !added) return added;
      written.push_back(user.Name);
    }
    if (TFileResult set = ini.WriteAt(index, kPasswordKey, user.Password); !set) return set;
  }
  return ini.Save(FileInFolder(folder, kUsersFileName), 0600);
}

bool IsStorableUserName(std::string_view name) {
  return !name.empty() && TIniFile::IsStorableSectionName(name);
}

void TUserDirectory::Assign(TUsers users) {
  users_ = std::move(users);
  wideNames_.clear();
  wideNames_.reserve(users_.size());
  for (const TUser& user : users_) wideNames_.push_back(win32::AnsiToWide(user.Name));
  cached_.reset();
}

std::u16string TUserDirectory::GetPassword(std::u16string_view name) {
  if (name.empty()) return {};
  if (cached_ && wideNames_[*cached_] == name) return win32::AnsiToWide(users_[*cached_].Password);
  for (size_t i = users_.size(); i-- > 0;) {
    if (wideNames_[i] == name) {
      cached_ = i;
      return win32::AnsiToWide(users_[i].Password);
    }
  }
  return {};
}

}  // namespace tw
