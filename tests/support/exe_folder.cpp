#include "tests/support/exe_folder.h"

#include <utility>

#include "platform/win32/system.h"

namespace tw::win32 {

ScopedExeFolder::ScopedExeFolder(std::string folder) { SetExeFolder(std::move(folder)); }

ScopedExeFolder::~ScopedExeFolder() { SetExeFolder({}); }

}  // namespace tw::win32
