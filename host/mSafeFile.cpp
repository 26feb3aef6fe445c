// ReplaceFileAtomically: mkstemp beside the target, write, fchmod, fsync,
// rename over the target, then fsync the folder so the rename itself is
// durable. rename() within one folder is atomic, so a reader sees either the
// old file or the new one.
#include "host/mSafeFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace tw {
namespace {

std::string Reason(std::string_view what, const std::string& path, int error) {
  std::string text(what);
  text += " \"";
  text += path;
  text += "\": ";
  text += std::error_code(error, std::generic_category()).message();
  return text;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Closes a descriptor on every path out of a function.
class TFd {
 public:
  explicit TFd(int fd) : fd_(fd) {}
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() { Close(); }
  int Get() const { return fd_; }
  int Close() {
    int rc = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

TFileResult ReadWholeFile(const std::string& path, std::string& contents, bool& exists) {
  contents.clear();
  exists = false;
  TFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.Get() < 0) {
    if (errno == ENOENT) return TFileResult::Success();
    return TFileResult::Failure(Reason("Cannot open", path, errno));
  }
  exists = true;
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      contents.clear();
      return TFileResult::Failure(Reason("Cannot read", path, error));
    }
    if (n == 0) break;
    contents.append(buffer, static_cast<size_t>(n));
  }
  return TFileResult::Success();
}

TFileResult ReplaceFileAtomically(const std::string& path, std::string_view contents,
                                  unsigned mode) {
  std::string tempName = path + ".XXXXXX";
  std::vector<char> tempPath(tempName.begin(), tempName.end());
  tempPath.push_back('\0');
  TFd fd(::mkstemp(tempPath.data()));
  if (fd.Get() < 0) return TFileResult::Failure(Reason("Cannot create a file beside", path, errno));
  tempName.assign(tempPath.data());

  auto fail = [&](std::string_view what) {
    int error = errno;
    fd.Close();
    ::unlink(tempName.c_str());
    return TFileResult::Failure(Reason(what, path, error));
  };
  if (::fchmod(fd.Get(), static_cast<mode_t>(mode)) != 0) return fail("Cannot protect");
  if (!WriteAll(fd.Get(), contents)) return fail("Cannot write");
  if (::fsync(fd.Get()) != 0) return fail("Cannot flush");
  if (fd.Close() != 0) return fail("Cannot write");
  if (::rename(tempName.c_str(), path.c_str()) != 0) return fail("Cannot replace");

  // The new name is in place; make it survive a power cut. A folder that
  // cannot be synced does not undo the save.
  TFd folder(::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.Get() >= 0) ::fsync(folder.Get());
  return TFileResult::Success();
}

}  // namespace tw
