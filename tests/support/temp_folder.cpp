#include "tests/support/temp_folder.h"

#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tw::test {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "twtest-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern + "/";
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  // A test may have taken the write permission away.
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                               ignored);
  std::filesystem::remove_all(path_, ignored);
}

void TempFolder::Write(const std::string& name, const std::string& bytes) const {
  std::ofstream(File(name), std::ios::binary) << bytes;
}

std::string TempFolder::Read(const std::string& name) const {
  std::ifstream in(File(name), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

size_t TempFolder::EntryCount() const {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(path_),
                                           std::filesystem::directory_iterator()));
}

TempRegistry::TempRegistry() { ::setenv("TW_COM_REGISTRY", File().c_str(), 1); }

TempRegistry::~TempRegistry() { ::unsetenv("TW_COM_REGISTRY"); }

}  // namespace tw::test
