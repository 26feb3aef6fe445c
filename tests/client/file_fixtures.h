// What file tests share: a fresh work folder, files written and read whole,
// and the bodies of the file messages a test sends by hand.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "client/mCRC32.h"
#include "client/mFiles.h"
#include "platform/win32/text.h"
#include "transport/twTools.h"

namespace tw::test {

// A fresh folder that is the process's current folder while it lives, since
// a kept offered name lands in the current folder.
class TWorkFolder {
 public:
  TWorkFolder() {
    std::string name = (std::filesystem::temp_directory_path() / "twfiles-XXXXXX").string();
    if (!::mkdtemp(name.data())) throw std::runtime_error("no temporary folder");
    path_ = name;
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~TWorkFolder() {
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(path_);
  }
  // Every name in the folder tree, relative, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(path_))
      names.push_back(std::filesystem::relative(e.path(), path_).string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  std::filesystem::path path_, previous_;
};

inline std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

inline void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline bool HasTemporaryFile(const TWorkFolder& dir) {
  for (const std::string& n : dir.Names())
    if (n.find(win32::Utf16ToUtf8(cln::kDefaultTransferSuffix)) != std::string::npos) return true;
  return false;
}

inline std::string Int64(int64_t v) {
  std::string body;
  PutInt64Field(body, v);
  return body;
}

inline std::string Crc(std::string_view bytes) {
  return IntToField(static_cast<int32_t>(Crc32Update(kCrc32Start, bytes)));
}

}  // namespace tw::test
