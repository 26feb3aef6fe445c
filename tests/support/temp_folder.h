// Temporary places for tests: a fresh folder under the system's temporary
// folder, removed with its contents when the object goes; and a component
// registry file in such a folder, which TW_COM_REGISTRY names while the
// object lives.
#pragma once

#include <filesystem>
#include <string>

namespace tw::test {

class TempFolder {
 public:
  TempFolder();  // throws std::runtime_error when no folder can be made
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path_; }  // with a trailing '/'
  std::filesystem::path Dir() const { return std::filesystem::path(path_).parent_path(); }
  std::string File(const std::string& name) const { return path_ + name; }

  void Write(const std::string& name, const std::string& bytes) const;
  std::string Read(const std::string& name) const;  // empty when missing
  size_t EntryCount() const;

 private:
  std::string path_;
};

class TempRegistry {
 public:
  TempRegistry();   // sets TW_COM_REGISTRY to File()
  ~TempRegistry();  // unsets it
  TempRegistry(const TempRegistry&) = delete;
  TempRegistry& operator=(const TempRegistry&) = delete;

  const std::string& Folder() const { return folder_.Path(); }  // with a trailing '/'
  std::filesystem::path Dir() const { return folder_.Dir(); }
  std::filesystem::path File() const { return folder_.File("registry.ini"); }
  std::string Text() const { return folder_.Read("registry.ini"); }

 private:
  TempFolder folder_;
};

}  // namespace tw::test
