// twregsvr [-u] <library.so>: registers (or, with -u, unregisters) a control
// library by loading it and calling its DllRegisterServer (DllUnregisterServer).
// The registry written is the one the component layer reads (TW_COM_REGISTRY
// or the per-user default). Exit code 0 on S_OK, 1 on failure, 2 on misuse.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/com/classes.h"
#include "platform/com/registry.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: twregsvr [-u] <library.so>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  const char* library = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-u") == 0) {
      unregister = true;
    } else if (argv[i][0] == '-' || library) {
      return Usage();
    } else {
      library = argv[i];
    }
  }
  if (!library) return Usage();

  // An absolute path, so that dlopen does not search the library path and the
  // library registers the file that was named.
  std::error_code ec;
  std::string path = std::filesystem::absolute(library, ec).string();
  if (ec) path = library;
  const char* entry = unregister ? "DllUnregisterServer" : "DllRegisterServer";

  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    std::fprintf(stderr, "twregsvr: cannot load %s: %s\n", path.c_str(), ::dlerror());
    return 1;
  }
  auto fn = reinterpret_cast<tw::com::LPFNREGISTERSERVER>(::dlsym(handle, entry));
  if (!fn) {
    std::fprintf(stderr, "twregsvr: %s has no entry point %s\n", path.c_str(), entry);
    ::dlclose(handle);
    return 1;
  }
  tw::com::HRESULT hr = fn();
  ::dlclose(handle);
  if (hr != tw::com::S_OK) {
    std::fprintf(stderr, "twregsvr: %s in %s failed with 0x%08X\n", entry, path.c_str(),
                 static_cast<unsigned>(hr));
    return 1;
  }
  std::printf("%s in %s succeeded (registry %s).\n", entry, path.c_str(),
              tw::com::Registry::DefaultPath().c_str());
  return 0;
}
