// Saving reads the file first and changes only the keys it owns, the way the
// profile functions do; a file that exists but cannot be read is not
// overwritten, so its other contents are never lost.
#include "host/mSettings.h"

#include "host/mCommaText.h"
#include "host/mDataFolder.h"
#include "host/mIniFile.h"

namespace tw {
namespace {

constexpr char kSecurity[] = "Security";
constexpr char kOptions[] = "Options";
constexpr char kLast[] = "Last";

// Loads the file, lets `change` set its keys, and saves it again.
template <typename Change>
TFileResult Rewrite(const std::string& folder, Change change) {
  const std::string path = FileInFolder(folder, kSettingsFileName);
  TIniFile ini;
  if (TFileResult loaded = TIniFile::Load(path, ini); !loaded) return loaded;
  if (TFileResult changed = change(ini); !changed) return changed;
  return ini.Save(path, 0600);
}

}  // namespace

TFileResult THostSettings::Load(const std::string& folder) {
  TIniFile ini;
  TFileResult result = TIniFile::Load(FileInFolder(folder, kSettingsFileName), ini);
  const THostSettings defaults;
  Mode = ini.ReadInteger(kSecurity, "Mode", defaults.Mode);
  SecretKey = ini.ReadString(kSecurity, "SecretKey", defaults.SecretKey);
  PublicKey = ini.ReadString(kSecurity, "PublicKey", defaults.PublicKey);
  PrivateKey = ini.ReadString(kSecurity, "PrivateKey", defaults.PrivateKey);
  RemoteFingerprints = FromCommaText(ini.ReadString(kSecurity, "RemoteFingerprints", ""));
  LocalFingerprint = ini.ReadString(kSecurity, "LocalFingerprint", defaults.LocalFingerprint);
  Port = ini.ReadString(kOptions, "Port", defaults.Port);
  ServerAddress = ini.ReadString(kOptions, "ServerAddress", defaults.ServerAddress);
  Left = ini.ReadInteger(kLast, "Left", defaults.Left);
  Top = ini.ReadInteger(kLast, "Top", defaults.Top);
  return result;
}

TFileResult THostSettings::Save(const std::string& folder) const {
  return Rewrite(folder, [this](TIniFile& ini) {
    TFileResult results[] = {
        ini.WriteInteger(kSecurity, "Mode", Mode),
        ini.WriteString(kSecurity, "SecretKey", SecretKey),
        ini.WriteString(kSecurity, "PublicKey", PublicKey),
        ini.WriteString(kSecurity, "PrivateKey", PrivateKey),
        ini.WriteString(kSecurity, "RemoteFingerprints", FingerprintsText()),
        ini.WriteString(kSecurity, "LocalFingerprint", LocalFingerprint),
        ini.WriteString(kOptions, "Port", Port),
        ini.WriteString(kOptions, "ServerAddress", ServerAddress),
    };
    for (TFileResult& result : results)
      if (!result) return result;
    return TFileResult::Success();
  });
}

TFileResult THostSettings::SaveWindowPosition(const std::string& folder) const {
  return Rewrite(folder, [this](TIniFile& ini) {
    if (TFileResult result = ini.WriteInteger(kLast, "Left", Left); !result) return result;
    return ini.WriteInteger(kLast, "Top", Top);
  });
}

int THostSettings::PortNumber() const { return ParseInteger(Port).value_or(0); }

std::string THostSettings::FingerprintsText() const { return ToCommaText(RemoteFingerprints); }

}  // namespace tw
