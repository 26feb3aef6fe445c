// Gives the files kept beside the executable a folder of the test's own.
// Kept in the platform's namespace beside ExeFolder, which it redirects.
#pragma once

#include <string>

namespace tw::win32 {

// Makes ExeFolder() answer `folder` (with a trailing '/') while the object
// lives. Process-wide.
class ScopedExeFolder {
 public:
  explicit ScopedExeFolder(std::string folder);
  ~ScopedExeFolder();
  ScopedExeFolder(const ScopedExeFolder&) = delete;
  ScopedExeFolder& operator=(const ScopedExeFolder&) = delete;
};

}  // namespace tw::win32
