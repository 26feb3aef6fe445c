// THostSettings: the server settings that the host program keeps in
// settings.ini (security mode, keys, trusted fingerprints, listening port and
// bind address) and the main window's position, with the file's defaults.
// Texts are 8-bit (Windows-1252), as the file holds them.
#pragma once

#include <string>
#include <vector>

#include "host/mFileResult.h"

namespace tw {

inline constexpr char kSettingsFileName[] = "settings.ini";

struct THostSettings {
  // [Security]
  int Mode = 0;  // 0 plain, 1 shared secret key, 2 key pair; other values are kept as read
  std::string SecretKey;
  std::string PublicKey;   // KeyText
  std::string PrivateKey;  // KeyText
  std::vector<std::string> RemoteFingerprints;  // kept as comma text
  std::string LocalFingerprint;                 // shown only, never given to the server
  // [Options]
  std::string Port = "2222";
  std::string ServerAddress = "0.0.0.0";
  // [Last]: the main window's position
  int Left = 328;
  int Top = 105;

  // Reads settings.ini in `folder`; whatever is missing keeps the defaults
  // above. A file that exists but cannot be read leaves the defaults and
  // reports why.
  TFileResult Load(const std::string& folder);
  // Writes [Security] Mode, SecretKey, PublicKey, PrivateKey,
  // RemoteFingerprints, LocalFingerprint and [Options] Port, ServerAddress, in
  // that order, keeping the file's other lines ([Last] among them).
  TFileResult Save(const std::string& folder) const;
  // Writes [Last] Left and Top, keeping the file's other lines.
  TFileResult SaveWindowPosition(const std::string& folder) const;

  // The port as the server takes it: the text as a decimal number, 0 when it
  // is not one.
  int PortNumber() const;
  // The trusted fingerprints as the server takes them (comma text).
  std::string FingerprintsText() const;
};

}  // namespace tw
