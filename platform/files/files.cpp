// The file calls over POSIX: every descriptor is opened close-on-exec and
// owned by one TFile; calls interrupted by a signal are repeated; an armed
// fault fails a call before it does anything (a short write after it wrote
// what the fault lets through).
#include "platform/files/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "platform/files/internal.h"
#include "platform/win32/text.h"

namespace tw::files {

namespace {

bool HasNul(std::string_view path) { return path.find('\0') != std::string_view::npos; }

TFileResult Failed(std::string_view what, std::string_view path, int code) {
  return TFileResult::Failure(detail::Reason(what, path, code), code);
}

TFileResult FailedFromErrno(std::string_view what, std::string_view path) {
  int code = errno;
  return Failed(what, path, code);
}

// An armed fault for `op`, as the result the call returns; Ok when none.
TFileResult InjectedFailure(Op op, std::string_view what, std::string_view path) {
  detail::FaultHit hit = detail::FaultTakes(op);
  return hit.fails ? Failed(what, path, hit.error) : TFileResult::Success();
}

template <typename Call>
auto Retry(Call call) {
  for (;;) {
    auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

TFileId IdFromStatus(const struct stat& info) {
  return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino)};
}

// Removes a leftover file at `path` so a fresh one can take its name: only a
// regular file that no handle holds, and only the file that was checked.
TFileResult RemoveLeftover(const std::string& path, std::string_view what) {
  struct stat named {};
  if (::lstat(path.c_str(), &named) != 0) return errno == ENOENT ? TFileResult::Success() : FailedFromErrno(what, path);
  if (S_ISLNK(named.st_mode)) return Failed(what, path, ELOOP);
  if (!S_ISREG(named.st_mode)) return Failed(what, path, EEXIST);
  int fd = Retry([&] { return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC); });
  if (fd < 0) return errno == ENOENT ? TFileResult::Success() : FailedFromErrno(what, path);
  TFileResult result = TFileResult::Success();
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) {
    result = FailedFromErrno(what, path);
  } else if (IdFromStatus(opened) != IdFromStatus(named)) {
    result = Failed(what, path, EEXIST);  // replaced while it was looked at
  } else if (Retry([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0 && errno == EWOULDBLOCK) {
    result = TFileResult::Failure(detail::Reason(what, path, "the file is in use"), EBUSY);
  } else if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    result = FailedFromErrno(what, path);
  }
  ::close(fd);
  return result;
}

// Writes all of `count` bytes unless the system refuses; `done` counts them.
bool WriteAll(int fd, const char* data, size_t count, size_t& done) {
  done = 0;
  while (done < count) {
    ssize_t n = Retry([&] { return ::write(fd, data + done, count - done); });
    if (n < 0) return false;
    if (n == 0) {  // the system wrote nothing and said nothing: treat as a full disk
      errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

namespace detail {

std::string Reason(std::string_view what, std::string_view path, std::string_view why) {
  std::string text(what);
  text += " \"";
  for (char c : path) text += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
  text += "\": ";
  text += why;
  return text;
}

std::string Reason(std::string_view what, std::string_view path, int code) {
  return Reason(what, path, std::error_code(code, std::generic_category()).message());
}

}  // namespace detail

TFile::~TFile() { (void)Close(); }

TFile::TFile(TFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), id_(std::exchange(other.id_, {})) {}

TFile& TFile::operator=(TFile&& other) noexcept {
  if (this != &other) {
    (void)Close();
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
    id_ = std::exchange(other.id_, {});
  }
  return *this;
}

TFileResult TFile::Open(const std::string& path, int flags, unsigned mode, Sharing sharing,
                        std::string_view what) {
  (void)Close();
  id_ = {};
  if (HasNul(path)) return Failed(what, path, EINVAL);
  // Non-blocking while opening, so a FIFO at the path cannot hang the caller;
  // only regular files are files here.
  int fd = Retry([&] { return ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, static_cast<mode_t>(mode)); });
  if (fd < 0) return FailedFromErrno(what, path);
  auto refuse = [&](int code, std::string_view why) {
    ::close(fd);
    return TFileResult::Failure(detail::Reason(what, path, why), code);
  };
  struct stat info {};
  if (::fstat(fd, &info) != 0) return refuse(errno, "cannot read its status");
  if (S_ISDIR(info.st_mode)) return refuse(EISDIR, "it is a folder");
  if (!S_ISREG(info.st_mode)) return refuse(EINVAL, "it is not a regular file");
  if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) return refuse(errno, "cannot set it up");
  int lock = (sharing == Sharing::Exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  if (Retry([&] { return ::flock(fd, lock); }) != 0) {
    if (errno == EWOULDBLOCK) return refuse(EBUSY, "the file is in use");
    // A file system without locks (some network and user-space ones) still
    // opens its files, unguarded: refusing them would make them unusable.
    if (errno != ENOLCK && errno != EINVAL && errno != EOPNOTSUPP) return refuse(errno, "cannot lock it");
  }
  fd_ = fd;
  path_ = path;
  id_ = IdFromStatus(info);
  return TFileResult::Success();
}

TFileResult TFile::OpenForReading(const std::string& path, Sharing sharing) {
  (void)Close();
  if (TFileResult fault = InjectedFailure(Op::Open, "Cannot open", path); !fault) return fault;
  return Open(path, O_RDONLY, 0, sharing, "Cannot open");
}

TFileResult TFile::Create(const std::string& path, unsigned mode, Links links) {
  (void)Close();
  if (TFileResult fault = InjectedFailure(Op::Create, "Cannot create", path); !fault) return fault;
  // Emptied only once the lock is held, so a file in use elsewhere keeps its
  // contents.
  int flags = O_RDWR | O_CREAT | (links == Links::Refuse ? O_NOFOLLOW : 0);
  if (TFileResult opened = Open(path, flags, mode, Sharing::Exclusive, "Cannot create"); !opened) return opened;
  if (Retry([&] { return ::ftruncate(fd_, 0); }) != 0) {
    TFileResult failed = FailedFromErrno("Cannot create", path);
    (void)Close();
    return failed;
  }
  return TFileResult::Success();
}

TFileResult TFile::CreateFresh(const std::string& path, unsigned mode) {
  (void)Close();
  if (TFileResult fault = InjectedFailure(Op::Create, "Cannot create", path); !fault) return fault;
  const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
  TFileResult created = Open(path, flags, mode, Sharing::Exclusive, "Cannot create");
  if (created || created.Code != EEXIST) return created;
  // One leftover is removed; a name that is taken again at once stays taken.
  if (TFileResult removed = RemoveLeftover(path, "Cannot create"); !removed) return removed;
  return Open(path, flags, mode, Sharing::Exclusive, "Cannot create");
}

TFileResult TFile::OpenForAppending(const std::string& path, unsigned mode) {
  (void)Close();
  if (TFileResult fault = InjectedFailure(Op::Create, "Cannot open", path); !fault) return fault;
  return Open(path, O_WRONLY | O_CREAT | O_APPEND, mode, Sharing::Exclusive, "Cannot open");
}

TFileResult TFile::CreateUnique(const std::string& prefix, unsigned mode, std::string& path) {
  (void)Close();
  path = prefix + "XXXXXX";
  if (TFileResult fault = InjectedFailure(Op::Create, "Cannot create", path); !fault) return fault;
  if (HasNul(prefix)) return Failed("Cannot create", path, EINVAL);
  int fd = Retry([&] { return ::mkostemp(path.data(), O_CLOEXEC); });
  if (fd < 0) return FailedFromErrno("Cannot create", path);
  fd_ = fd;
  path_ = path;
  struct stat info {};
  if (::fstat(fd, &info) == 0) id_ = IdFromStatus(info);
  // mkostemp gives 0600; fchmod sets exactly `mode`, whatever the umask.
  if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) {
    TFileResult failed = FailedFromErrno("Cannot set the permissions of", path);
    (void)Close();
    ::unlink(path.c_str());
    return failed;
  }
  return TFileResult::Success();
}

TFileResult TFile::Size(int64_t& size) const {
  size = 0;
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return FailedFromErrno("Cannot measure", path_);
  size = static_cast<int64_t>(info.st_size);
  return TFileResult::Success();
}

TFileResult TFile::Seek(int64_t offset) {
  if (TFileResult fault = InjectedFailure(Op::Seek, "Cannot seek in", path_); !fault) return fault;
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return FailedFromErrno("Cannot seek in", path_);
  return TFileResult::Success();
}

TFileResult TFile::Read(void* buffer, size_t count, size_t& done) {
  done = 0;
  if (TFileResult fault = InjectedFailure(Op::Read, "Cannot read", path_); !fault) return fault;
  auto* bytes = static_cast<char*>(buffer);
  while (done < count) {
    ssize_t n = Retry([&] { return ::read(fd_, bytes + done, count - done); });
    if (n < 0) return FailedFromErrno("Cannot read", path_);
    if (n == 0) break;  // the end of the file
    done += static_cast<size_t>(n);
  }
  return TFileResult::Success();
}

TFileResult TFile::Write(const void* data, size_t count, size_t& done) {
  done = 0;
  const auto* bytes = static_cast<const char*>(data);
  detail::FaultHit hit = detail::FaultTakes(Op::Write);
  if (hit.fails) {
    if (hit.partial) (void)WriteAll(fd_, bytes, std::min(hit.keep, count), done);
    return Failed("Cannot write", path_, hit.error);
  }
  if (!WriteAll(fd_, bytes, count, done)) return FailedFromErrno("Cannot write", path_);
  return TFileResult::Success();
}

TFileResult TFile::Write(std::string_view bytes) {
  size_t done = 0;
  return Write(bytes.data(), bytes.size(), done);
}

TFileResult TFile::Sync() {
  if (TFileResult fault = InjectedFailure(Op::Sync, "Cannot flush", path_); !fault) return fault;
  if (Retry([&] { return ::fsync(fd_); }) != 0) return FailedFromErrno("Cannot flush", path_);
  return TFileResult::Success();
}

TFileResult TFile::Close() {
  if (fd_ < 0) return TFileResult::Success();
  int fd = std::exchange(fd_, -1);
  // Linux releases the descriptor even when close() is interrupted: never
  // repeat it, the number may already belong to another file.
  if (::close(fd) != 0 && errno != EINTR) return FailedFromErrno("Cannot write", path_);
  return TFileResult::Success();
}

TFileResult DeleteFile(const std::string& path) {
  if (TFileResult fault = InjectedFailure(Op::Delete, "Cannot delete", path); !fault) return fault;
  if (HasNul(path)) return Failed("Cannot delete", path, EINVAL);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return FailedFromErrno("Cannot delete", path);
  return TFileResult::Success();
}

TFileResult DeleteFile(const std::string& path, const TFileId& only) {
  if (HasNul(path)) return Failed("Cannot delete", path, EINVAL);
  TFileId id;
  if (TFileResult named = IdOf(path, id, Links::Refuse); !named)
    return named.Code == ENOENT ? TFileResult::Success() : named;
  return id == only ? DeleteFile(path) : TFileResult::Success();
}

TFileResult IdOf(const std::string& path, TFileId& id, Links links) {
  id = {};
  if (HasNul(path)) return Failed("Cannot find", path, EINVAL);
  struct stat info {};
  int rc = links == Links::Refuse ? ::lstat(path.c_str(), &info) : ::stat(path.c_str(), &info);
  if (rc != 0) return FailedFromErrno("Cannot find", path);
  id = IdFromStatus(info);
  return TFileResult::Success();
}

TFileResult RenameOver(const std::string& from, const std::string& to) {
  if (TFileResult fault = InjectedFailure(Op::Rename, "Cannot rename a file to", to); !fault) return fault;
  if (HasNul(from) || HasNul(to)) return Failed("Cannot rename a file to", to, EINVAL);
  if (::rename(from.c_str(), to.c_str()) != 0) return FailedFromErrno("Cannot rename a file to", to);
  return TFileResult::Success();
}

TFileResult MakeFolderChain(const std::string& path) {
  if (TFileResult fault = InjectedFailure(Op::MakeFolder, "Cannot create the folder", path); !fault) return fault;
  if (HasNul(path)) return Failed("Cannot create the folder", path, EINVAL);
  if (path.empty()) return Failed("Cannot create the folder", path, ENOENT);
  // Each prefix that ends at a separator, then the whole path.
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    std::string folder = path.substr(0, end);
    bool last = end == std::string::npos;
    if (!folder.empty() && folder.back() != '/' && ::mkdir(folder.c_str(), 0777) != 0) {
      if (errno != EEXIST) return FailedFromErrno("Cannot create the folder", folder);
      struct stat info {};
      if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return Failed("Cannot create the folder", folder, ENOTDIR);
    }
    if (last) break;
  }
  return TFileResult::Success();
}

TFileResult SyncFolder(const std::string& path) {
  if (TFileResult fault = InjectedFailure(Op::Sync, "Cannot flush", path); !fault) return fault;
  if (HasNul(path)) return Failed("Cannot flush", path, EINVAL);
  int fd = Retry([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return FailedFromErrno("Cannot flush", path);
  TFileResult result = TFileResult::Success();
  if (Retry([&] { return ::fsync(fd); }) != 0) result = FailedFromErrno("Cannot flush", path);
  ::close(fd);
  return result;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string PathFromWide(std::u16string_view name) { return win32::Utf16ToUtf8(name); }

}  // namespace tw::files
