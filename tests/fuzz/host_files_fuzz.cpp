// Feeds arbitrary bytes to the host program's file readers. The INI reader and
// the comma-text reader may not fail, and what they read must survive a write
// and a second read. Integers read as a digit-by-digit reference reads them.
// The same bytes, written as settings.ini and users.con in a temporary folder,
// go through the real loaders, and what those load survives a save and a
// second load.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>

#include "fuzz_input.h"
#include "host/mCommaText.h"
#include "host/mIniFile.h"
#include "host/mSettings.h"
#include "host/mUsers.h"
#include "platform/win32/text.h"

namespace {

namespace fs = std::filesystem;

// Blanks trimmed, an optional sign, one or more digits, within 32 bits.
std::optional<int> ReferenceInteger(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > int64_t{1} << 31) return std::nullopt;
  }
  if (negative) value = -value;
  if (value > INT32_MAX || value < INT32_MIN) return std::nullopt;
  return static_cast<int>(value);
}

// A temporary folder of this process, removed when it ends; in memory where
// the system has a memory file system, since every save flushes to disk.
fs::path TempBase() {
  std::error_code ignored;
  return fs::is_directory("/dev/shm", ignored) ? fs::path("/dev/shm") : fs::temp_directory_path();
}

struct TTempFolder {
  fs::path path = TempBase() / ("tw_host_files_fuzz." + std::to_string(::getpid()));
  TTempFolder() { fs::create_directories(path); }
  ~TTempFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

const fs::path& Folder() {
  static const TTempFolder folder;
  return folder.path;
}

void WriteFile(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Whether no section before `index` can share its name: names match without
// regard to letter case (Windows-1252 letters too), so only a name of another
// length is surely different.
bool FirstOfItsName(const tw::TIniFile& ini, size_t index) {
  for (size_t j = 0; j < index; ++j)
    if (ini.SectionName(j).size() == ini.SectionName(index).size()) return false;
  return true;
}

void CheckIni(std::string_view input) {
  tw::TIniFile ini = tw::TIniFile::FromText(input);
  std::string text = ini.ToText();
  tw::TIniFile again = tw::TIniFile::FromText(text);
  TW_FUZZ_CHECK(again.SectionNames() == ini.SectionNames());
  TW_FUZZ_CHECK(again.ToText() == text);
  for (size_t i = 0; i < ini.SectionCount(); ++i) {
    const std::string& section = ini.SectionName(i);
    for (const char* key : {"k", "Mode", "Port", "Pswd"}) {
      const std::string value = ini.ReadString(section, key, "");
      TW_FUZZ_CHECK(ini.ReadInteger(section, key, -7) == ReferenceInteger(value).value_or(-7));
      // The first section of a name answers by name what ReadAt gives for it.
      const std::optional<std::string> at = ini.ReadAt(i, key);
      if (FirstOfItsName(ini, i)) TW_FUZZ_CHECK(at.value_or("\x01") == ini.ReadString(section, key, "\x01"));
      // Every value read back from a rewrite of its section reads the same.
      tw::TIniFile fresh;
      if (fresh.WriteString("S", key, value))
        TW_FUZZ_CHECK(tw::TIniFile::FromText(fresh.ToText()).ReadString("S", key, "?") == value);
    }
  }
}

void CheckLoaders(std::string_view input) {
  const std::string folder = Folder().string();
  WriteFile(Folder() / tw::kSettingsFileName, input);
  WriteFile(Folder() / tw::kUsersFileName, input);

  tw::THostSettings settings;
  TW_FUZZ_CHECK(settings.Load(folder).Ok);
  TW_FUZZ_CHECK(settings.PortNumber() == ReferenceInteger(settings.Port).value_or(0));
  if (settings.Save(folder)) {
    tw::THostSettings again;
    TW_FUZZ_CHECK(again.Load(folder).Ok);
    TW_FUZZ_CHECK(again.Mode == settings.Mode && again.SecretKey == settings.SecretKey &&
                  again.PublicKey == settings.PublicKey && again.PrivateKey == settings.PrivateKey &&
                  again.RemoteFingerprints == settings.RemoteFingerprints && again.Port == settings.Port &&
                  again.ServerAddress == settings.ServerAddress && again.Left == settings.Left &&
                  again.Top == settings.Top);
  }

  tw::TUsers users;
  TW_FUZZ_CHECK(tw::LoadUsers(folder, users).Ok);
  bool storable = true;
  for (const tw::TUser& user : users) storable = storable && tw::IsStorableUserName(user.Name);
  if (storable && tw::SaveUsers(folder, users)) {
    tw::TUsers again;
    TW_FUZZ_CHECK(tw::LoadUsers(folder, again).Ok);
    // Users of one name share a section: the reload keeps the later password.
    tw::TUserDirectory before, after;
    before.Assign(users);
    after.Assign(again);
    for (const tw::TUser& user : users) {
      const std::u16string name = tw::win32::AnsiToWide(user.Name);
      TW_FUZZ_CHECK(before.GetPassword(name) == after.GetPassword(name));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  TW_FUZZ_CHECK(tw::ParseInteger(input) == ReferenceInteger(input));
  CheckIni(input);
  std::vector<std::string> items = tw::FromCommaText(input);
  TW_FUZZ_CHECK(tw::FromCommaText(tw::ToCommaText(items)) == items);
  CheckLoaders(input);
  return 0;
}
