// The component registry: a tree of keys and string values in the shape of
// the Windows class registry (CLSID\{...}\InprocServer32 with its default
// value "@" = library path, ThreadingModel, ProgID, TypeLib, Control,
// MiscStatus; <ProgID>\CLSID), kept in one text file. Key and value names are
// case-insensitive and keep the case they were first written in.
//
// The file is TW_COM_REGISTRY, else $XDG_CONFIG_HOME/twparley/registry.ini,
// else ~/.config/twparley/registry.ini. Every change rewrites it atomically
// (a temporary file renamed over it) under an exclusive lock on
// "<file>.lock", so readers see either the old or the new file, never a torn
// one, and concurrent registrations do not lose each other's keys.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/com/types.h"

namespace tw::com {

// Key paths use '\' between names ("CLSID\{...}\InprocServer32"); the value
// name "" (written "@") is the key's default value.
class RegistryTree {
 public:
  void SetValue(std::string_view key, std::string_view name, std::string_view value);
  std::optional<std::string> GetValue(std::string_view key, std::string_view name = {}) const;
  bool KeyExists(std::string_view key) const;
  // Removes `key` and every key below it; false when there was none.
  bool DeleteTree(std::string_view key);
  // Names of the keys directly below `key` ("" for the root), sorted.
  std::vector<std::string> EnumKeys(std::string_view key) const;
  // (name, value) pairs of `key` in the order written.
  std::vector<std::pair<std::string, std::string>> EnumValues(std::string_view key) const;

  static RegistryTree Parse(std::string_view text);
  std::string Serialize() const;

 private:
  struct Key {
    std::string path;  // as first written
    std::vector<std::pair<std::string, std::string>> values;
  };
  std::map<std::string, Key> keys_;  // by lower-case path
};

class Registry {
 public:
  static std::filesystem::path DefaultPath();
  static Registry Default() { return Registry(DefaultPath()); }
  explicit Registry(std::filesystem::path file) : file_(std::move(file)) {}
  const std::filesystem::path& Path() const { return file_; }

  // The whole tree; an absent file reads as empty. REGDB_E_READREGDB when the
  // file exists but cannot be read.
  HRESULT Load(RegistryTree* tree) const;
  // Loads, edits and rewrites the file under the lock. REGDB_E_WRITEREGDB
  // when it cannot be written (the old file then stays as it was).
  HRESULT Update(const std::function<void(RegistryTree&)>& edit);

  HRESULT SetValue(std::string_view key, std::string_view name, std::string_view value);
  std::optional<std::string> GetValue(std::string_view key, std::string_view name = {}) const;
  HRESULT DeleteTree(std::string_view key);  // S_FALSE when the key did not exist
  std::vector<std::string> EnumKeys(std::string_view key) const;
  std::vector<std::pair<std::string, std::string>> EnumValues(std::string_view key) const;

 private:
  std::filesystem::path file_;
};

// What a control library writes in DllRegisterServer.
struct InprocServerRegistration {
  CLSID clsid;
  std::string libraryPath;                    // absolute; see ModulePathOf
  std::string description;                    // default value of the class key
  std::string threadingModel = "Apartment";
  std::string progId;                         // optional
  std::optional<GUID> typeLib;                // LIBID, optional
  std::string version;                        // optional, e.g. "1.0"
  bool control = false;                       // writes the Control key
  std::optional<DWORD> miscStatus;            // MiscStatus\1 (DVASPECT_CONTENT)
};

// Writes CLSID\{clsid} (with InprocServer32 and the optional keys) and
// <ProgID>\CLSID in one update of the default registry.
HRESULT RegisterInprocServer(const InprocServerRegistration& reg);
// Removes CLSID\{clsid} and, when given, the <ProgID> tree.
HRESULT UnregisterInprocServer(REFCLSID clsid, std::string_view progId);

}  // namespace tw::com
