// The registry file is INI-like: "[key\path]" lines open a key, "name=value"
// lines follow, "@" names the default value. Bytes that would break the
// format ('%', control characters, and '=', '[', ']', a leading '@', ';' or
// '#' where they would be read as syntax) are written as %HH, so any name and
// value round-trips.
#include "platform/com/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/files/files.h"

namespace tw::com {

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return out;
}

bool SameName(std::string_view a, std::string_view b) { return Lower(a) == Lower(b); }

// "\\a\\\\b\\" -> "a\\b": no empty names, no separators at the ends.
std::string NormalKey(std::string_view key) {
  std::string out;
  size_t i = 0;
  while (i < key.size()) {
    size_t j = key.find('\\', i);
    if (j == std::string_view::npos) j = key.size();
    if (j > i) {
      if (!out.empty()) out += '\\';
      out.append(key.substr(i, j - i));
    }
    i = j + 1;
  }
  return out;
}

bool IsDescendant(std::string_view lowerPath, std::string_view lowerKey) {
  return lowerPath.size() > lowerKey.size() && lowerPath.compare(0, lowerKey.size(), lowerKey) == 0 &&
         lowerPath[lowerKey.size()] == '\\';
}

std::string Escape(std::string_view s, std::string_view special, bool escapeLeading) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    bool escape = c < 0x20 || c == 0x7F || c == '%' || special.find(static_cast<char>(c)) != std::string_view::npos ||
                  (escapeLeading && i == 0 && (c == '@' || c == ';' || c == '#'));
    if (escape) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Unescape(std::string_view s) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex(s[i + 1]) >= 0 && hex(s[i + 2]) >= 0) {
      out += static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

// The exclusive lock of one registry file, held for the object's lifetime.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& lockFile)
      : fd_(::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_ >= 0) {
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
    }
  }
  ~FileLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  bool Held() const { return fd_ >= 0; }

 private:
  int fd_;
};

std::string ClassKey(REFCLSID clsid) { return "CLSID\\" + GuidToString(clsid); }

}  // namespace

void RegistryTree::SetValue(std::string_view key, std::string_view name, std::string_view value) {
  std::string path = NormalKey(key);
  if (path.empty()) return;  // the root holds keys, not values
  Key& k = keys_[Lower(path)];
  if (k.path.empty()) k.path = path;
  for (auto& [n, v] : k.values) {
    if (SameName(n, name)) {
      v = value;
      return;
    }
  }
  k.values.emplace_back(std::string(name), std::string(value));
}

std::optional<std::string> RegistryTree::GetValue(std::string_view key, std::string_view name) const {
  auto it = keys_.find(Lower(NormalKey(key)));
  if (it == keys_.end()) return std::nullopt;
  for (const auto& [n, v] : it->second.values) {
    if (SameName(n, name)) return v;
  }
  return std::nullopt;
}

bool RegistryTree::KeyExists(std::string_view key) const {
  std::string lower = Lower(NormalKey(key));
  if (keys_.count(lower)) return true;
  auto it = keys_.upper_bound(lower);
  return it != keys_.end() && IsDescendant(it->first, lower);
}

bool RegistryTree::DeleteTree(std::string_view key) {
  std::string lower = Lower(NormalKey(key));
  if (lower.empty()) return false;  // the root stays
  bool any = false;
  for (auto it = keys_.begin(); it != keys_.end();) {
    if (it->first == lower || IsDescendant(it->first, lower)) {
      it = keys_.erase(it);
      any = true;
    } else {
      ++it;
    }
  }
  return any;
}

std::vector<std::string> RegistryTree::EnumKeys(std::string_view key) const {
  std::string lower = Lower(NormalKey(key));
  std::map<std::string, std::string> children;  // lower name -> name
  for (const auto& [lowerPath, k] : keys_) {
    size_t start;
    if (lower.empty()) {
      start = 0;
    } else if (IsDescendant(lowerPath, lower)) {
      start = lower.size() + 1;
    } else {
      continue;
    }
    size_t end = k.path.find('\\', start);
    std::string name = k.path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    children.emplace(Lower(name), name);
  }
  std::vector<std::string> names;
  for (auto& [l, n] : children) names.push_back(n);
  return names;
}

std::vector<std::pair<std::string, std::string>> RegistryTree::EnumValues(std::string_view key) const {
  auto it = keys_.find(Lower(NormalKey(key)));
  if (it == keys_.end()) return {};
  return it->second.values;
}

RegistryTree RegistryTree::Parse(std::string_view text) {
  RegistryTree tree;
  std::string current;
  bool inKey = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line.front() == '[') {
      inKey = line.size() >= 2 && line.back() == ']';
      if (inKey) {
        current = Unescape(line.substr(1, line.size() - 2));
        if (NormalKey(current).empty()) inKey = false;
        // A key that is written is kept even while it has no values.
        if (inKey) tree.keys_.try_emplace(Lower(NormalKey(current)), Key{NormalKey(current), {}});
      }
      continue;
    }
    size_t eq = line.find('=');
    if (!inKey || eq == std::string_view::npos) continue;  // not ours: skip it
    std::string_view rawName = line.substr(0, eq);
    std::string name = rawName == "@" ? std::string() : Unescape(rawName);
    tree.SetValue(current, name, Unescape(line.substr(eq + 1)));
  }
  return tree;
}

std::string RegistryTree::Serialize() const {
  std::string out = "; component registry: keys in brackets, @ is the default value\n";
  for (const auto& [lower, k] : keys_) {
    out += '[';
    out += Escape(k.path, "[]", false);
    out += "]\n";
    for (const auto& [n, v] : k.values) {
      out += n.empty() ? std::string("@") : Escape(n, "=[]", true);
      out += '=';
      out += Escape(v, "", false);
      out += '\n';
    }
  }
  return out;
}

std::filesystem::path Registry::DefaultPath() {
  if (const char* env = std::getenv("TW_COM_REGISTRY"); env && *env) return env;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    return std::filesystem::path(xdg) / "twparley" / "registry.ini";
  }
  const char* home = std::getenv("HOME");
  return std::filesystem::path(home && *home ? home : ".") / ".config" / "twparley" / "registry.ini";
}

HRESULT Registry::Load(RegistryTree* tree) const {
  if (!tree) return E_POINTER;
  *tree = RegistryTree();
  std::ifstream in(file_, std::ios::binary);
  if (!in) {
    std::error_code ec;
    return std::filesystem::exists(file_, ec) ? REGDB_E_READREGDB : S_OK;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return REGDB_E_READREGDB;
  *tree = RegistryTree::Parse(text.str());
  return S_OK;
}

HRESULT Registry::Update(const std::function<void(RegistryTree&)>& edit) {
  std::error_code ec;
  if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), ec);
  FileLock lock(file_.string() + ".lock");
  if (!lock.Held()) return REGDB_E_WRITEREGDB;
  RegistryTree tree;
  HRESULT hr = Load(&tree);
  if (FAILED(hr)) return hr;
  edit(tree);
  return files::SaveAtomically(file_.string(), tree.Serialize(), 0600) ? S_OK : REGDB_E_WRITEREGDB;
}

HRESULT Registry::SetValue(std::string_view key, std::string_view name, std::string_view value) {
  if (NormalKey(key).empty()) return E_INVALIDARG;
  return Update([&](RegistryTree& t) { t.SetValue(key, name, value); });
}

std::optional<std::string> Registry::GetValue(std::string_view key, std::string_view name) const {
  RegistryTree tree;
  if (FAILED(Load(&tree))) return std::nullopt;
  return tree.GetValue(key, name);
}

HRESULT Registry::DeleteTree(std::string_view key) {
  bool existed = false;
  HRESULT hr = Update([&](RegistryTree& t) { existed = t.DeleteTree(key); });
  if (FAILED(hr)) return hr;
  return existed ? S_OK : S_FALSE;
}

std::vector<std::string> Registry::EnumKeys(std::string_view key) const {
  RegistryTree tree;
  Load(&tree);
  return tree.EnumKeys(key);
}

std::vector<std::pair<std::string, std::string>> Registry::EnumValues(std::string_view key) const {
  RegistryTree tree;
  Load(&tree);
  return tree.EnumValues(key);
}

HRESULT RegisterInprocServer(const InprocServerRegistration& reg) {
  if (reg.libraryPath.empty()) return E_INVALIDARG;
  std::string key = ClassKey(reg.clsid);
  std::string clsid = GuidToString(reg.clsid);
  return Registry::Default().Update([&](RegistryTree& t) {
    t.DeleteTree(key);  // no stale keys from an earlier registration
    t.SetValue(key, "", reg.description);
    t.SetValue(key + "\\InprocServer32", "", reg.libraryPath);
    t.SetValue(key + "\\InprocServer32", "ThreadingModel", reg.threadingModel);
    if (!reg.progId.empty()) {
      t.SetValue(key + "\\ProgID", "", reg.progId);
      t.DeleteTree(reg.progId);
      t.SetValue(reg.progId, "", reg.description);
      t.SetValue(reg.progId + "\\CLSID", "", clsid);
    }
    if (reg.typeLib) t.SetValue(key + "\\TypeLib", "", GuidToString(*reg.typeLib));
    if (!reg.version.empty()) t.SetValue(key + "\\Version", "", reg.version);
    if (reg.control) t.SetValue(key + "\\Control", "", "");
    if (reg.miscStatus) {
      t.SetValue(key + "\\MiscStatus", "", "0");
      t.SetValue(key + "\\MiscStatus\\1", "", std::to_string(*reg.miscStatus));
    }
  });
}

HRESULT UnregisterInprocServer(REFCLSID clsid, std::string_view progId) {
  return Registry::Default().Update([&](RegistryTree& t) {
    t.DeleteTree(ClassKey(clsid));
    if (!progId.empty()) t.DeleteTree(progId);
  });
}

}  // namespace tw::com
