#include "platform/win32/system.h"

#include <mutex>
#include <utility>

#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tw::win32 {

namespace {

std::mutex g_exeFolderMutex;
std::string g_exeFolderOverride;  // guarded by g_exeFolderMutex; empty: none

}  // namespace

void SetExeFolder(std::string folder) {
  std::lock_guard lock(g_exeFolderMutex);
  g_exeFolderOverride = std::move(folder);
}

std::string ExeFolder() {
  {
    std::lock_guard lock(g_exeFolderMutex);
    if (!g_exeFolderOverride.empty()) return g_exeFolderOverride;
  }
  std::array<char, 4096> buf{};
  ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return "./";
  std::string path(buf.data(), static_cast<size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}

std::string LocalDateTimeText() { return LocalDateTimeText(std::time(nullptr)); }

std::string LocalDateTimeText(std::time_t when) {
  std::tm tm{};
  localtime_r(&when, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

bool SystemRandom(void* out, size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  size_t got = 0;
  while (got < n) {
    ssize_t r = getrandom(p + got, n - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      std::memset(out, 0, n);
      return false;
    }
    got += static_cast<size_t>(r);
  }
  return true;
}

double NowAsOleDate() { return ToOleDate(std::time(nullptr)); }

double ToOleDate(std::time_t when) {
  std::tm tm{};
  localtime_r(&when, &tm);
  // Local wall-clock seconds since the Unix epoch, then shifted to the OLE
  // epoch, 25569 days earlier.
  std::time_t asUtc = timegm(&tm);
  return 25569.0 + static_cast<double>(asUtc) / 86400.0;
}

}  // namespace tw::win32
