#include "host/mDataFolder.h"

#include <cstdlib>

#include "platform/win32/system.h"

namespace tw {

std::string HostDataFolder() {
  const char* named = std::getenv("TWPARLEY_HOST_DIR");
  if (named == nullptr || *named == '\0') return win32::ExeFolder();
  std::string folder(named);
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string FileInFolder(std::string_view folder, std::string_view fileName) {
  std::string path(folder.empty() ? std::string_view("./") : folder);
  if (path.back() != '/') path += '/';
  path += fileName;
  return path;
}

}  // namespace tw
