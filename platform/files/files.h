// The file layer: the only code that calls the system's file functions.
// Move-only file handles, 64-bit sizes and offsets, the folder and name
// operations the rest of the system needs, a crash-safe whole-file save, and a
// fault-injection switch for tests. Paths are UTF-8; PathFromWide turns the
// UTF-16 names of the component interfaces into them.
//
// Every operation reports a TFileResult: the errno of the failing call and a
// reason that names the file. A path holding a NUL character names no file
// and is refused with EINVAL (the system would silently cut it short).
//
// Exclusive use: a handle opened exclusively holds an advisory lock on the
// file for its lifetime. While it is open, every other opening through this
// layer fails with EBUSY, in this process or another; a shared reader keeps
// exclusive openers out but lets other shared readers in. (Programs that
// open the file without asking for a lock are not kept out; on a file system
// without locks the file opens unguarded.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/files/file_result.h"

namespace tw::files {

enum class Sharing { Exclusive, SharedRead };
enum class Links { Follow, Refuse };

// Which file a handle or a name stands for: its device and inode. Two names
// (or a name and an open handle) with equal ids are one file.
struct TFileId {
  uint64_t Device = 0;
  uint64_t Inode = 0;
  bool operator==(const TFileId&) const = default;
};

class TFile {
 public:
  TFile() = default;
  ~TFile();
  TFile(TFile&& other) noexcept;
  TFile& operator=(TFile&& other) noexcept;
  TFile(const TFile&) = delete;
  TFile& operator=(const TFile&) = delete;

  // Each opening closes the file this handle held before.
  //
  // Opens an existing regular file for reading only.
  TFileResult OpenForReading(const std::string& path, Sharing sharing = Sharing::Exclusive);
  // Opens the file for reading and writing, for exclusive use, creating it
  // with permission bits `mode` (less the umask) or emptying the file that is
  // there. With Links::Refuse a symbolic link at `path` is not followed: the
  // creation fails with ELOOP and the link's target stays as it was.
  TFileResult Create(const std::string& path, unsigned mode = 0666, Links links = Links::Refuse);
  // Creates a new, empty file at `path` for reading and writing, for
  // exclusive use, with permission bits `mode` (less the umask): the handle
  // holds a file no one else had. A leftover regular file at `path` that no
  // handle holds is removed first, never written (another name of it keeps
  // its contents); one in use fails with EBUSY, a symbolic link with ELOOP
  // (it stays as it is), anything else with EEXIST.
  TFileResult CreateFresh(const std::string& path, unsigned mode = 0666);
  // Opens the file for writing at its end, for exclusive use, creating it
  // with permission bits `mode` (less the umask) when it is not there; every
  // Write goes to the end, after what others appended meanwhile. A symbolic
  // link at `path` is followed (a log kept where the link points).
  TFileResult OpenForAppending(const std::string& path, unsigned mode = 0666);
  // Creates a new file named `prefix` followed by six random characters, for
  // reading and writing, with exactly the permission bits `mode`; `path`
  // receives its name.
  TFileResult CreateUnique(const std::string& prefix, unsigned mode, std::string& path);

  bool IsOpen() const { return fd_ >= 0; }
  const std::string& Path() const { return path_; }
  // The file the handle was opened on (kept after it closes).
  const TFileId& Id() const { return id_; }

  TFileResult Size(int64_t& size) const;
  // Moves the position to `offset` bytes from the start.
  TFileResult Seek(int64_t offset);
  // Reads up to `count` bytes at the position, stopping early only at the end
  // of the file; `done` receives the number read.
  TFileResult Read(void* buffer, size_t count, size_t& done);
  // Writes all `count` bytes at the position. On failure `done` says how many
  // reached the file (a short write: the disk filled up half way).
  TFileResult Write(const void* data, size_t count, size_t& done);
  TFileResult Write(std::string_view bytes);
  // Brings the contents to the disk.
  TFileResult Sync();
  // Closes the file, reporting an error the system kept until the close. The
  // handle is closed whatever the result; closing a closed handle succeeds.
  TFileResult Close();

 private:
  TFileResult Open(const std::string& path, int flags, unsigned mode, Sharing sharing,
                   std::string_view what);

  int fd_ = -1;
  std::string path_;
  TFileId id_;
};

// Removes the file at `path`; a file that is not there is no error.
TFileResult DeleteFile(const std::string& path);
// Removes the name `path` only while it names the file `only`: another file
// (or none) at `path` stays as it is, and that is no error.
TFileResult DeleteFile(const std::string& path, const TFileId& only);
// The id of the file at `path`; with Links::Refuse, of a symbolic link there
// itself rather than its target.
TFileResult IdOf(const std::string& path, TFileId& id, Links links = Links::Follow);
// Gives the file at `from` the name `to` in one step, replacing a file at
// `to`: a reader of `to` sees the old file or the new one, never neither. A
// symbolic link at `to` is replaced, not followed.
TFileResult RenameOver(const std::string& from, const std::string& to);
// Creates the folder `path` with every missing folder above it (permission
// bits 0777 less the umask); a folder already there is no error.
TFileResult MakeFolderChain(const std::string& path);
// Brings the folder's entries (new names, renames) to the disk.
TFileResult SyncFolder(const std::string& path);

// The folder part of `path` without its last separator: "a/b/c" -> "a/b",
// "c" -> ".", "/c" -> "/".
std::string FolderOf(const std::string& path);
// A UTF-16 name or path of the component interfaces as a file-system path.
// Unpaired surrogates become U+FFFD; a NUL stays and is refused when used.
std::string PathFromWide(std::u16string_view name);

// Finishes a file written under a temporary name: brings `file` to the disk,
// closes it and renames it over `path` in one step, then syncs the folder.
// Only the file the handle wrote moves: when its temporary name no longer
// names it (something else was put there), nothing is renamed and the commit
// fails with ESTALE. On failure the file is closed and left under its
// temporary name (the caller removes it) and the file at `path` is as it was.
TFileResult CommitOver(TFile& file, const std::string& path);

// Reads the whole file at `path` into `contents` (shared with other readers).
// A missing file is not an error: `exists` becomes false and `contents` empty.
TFileResult ReadWholeFile(const std::string& path, std::string& contents, bool& exists);
// Replaces the file at `path` with `contents`, with exactly the permission
// bits `mode`, so that neither a failure nor a power cut leaves a torn or
// missing file: the bytes go to a temporary file beside it, reach the disk,
// and only then take its name. On failure the old file stays as it was and
// the temporary file is removed.
TFileResult SaveAtomically(const std::string& path, std::string_view contents, unsigned mode);

// Fault injection for tests: make the nth call (1 = the next) of one
// operation fail with the errno `error` without doing anything, once or from
// then on. Faults are process-wide and stay armed until their ScopedFault
// goes away. Open counts OpenForReading; Create counts Create, CreateFresh,
// OpenForAppending and CreateUnique.
enum class Op { Open, Create, Read, Write, Seek, Sync, Rename, Delete, MakeFolder };
enum class Repeat { Once, Always };

class [[nodiscard]] ScopedFault {
 public:
  ScopedFault(Op op, int nth, int error, Repeat repeat = Repeat::Once);
  ~ScopedFault();
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;
  // How many calls this fault has failed so far.
  int failures() const;

 private:
  friend ScopedFault InjectShortWrite(int nth, size_t keep, Repeat repeat);
  ScopedFault(int nth, size_t keep, Repeat repeat);
  int id_;
};

inline ScopedFault InjectFault(Op op, int nth, int error, Repeat repeat = Repeat::Once) {
  return ScopedFault(op, nth, error, repeat);
}
// The nth write writes only its first `keep` bytes and then fails with ENOSPC,
// as on a disk that fills up half way.
ScopedFault InjectShortWrite(int nth, size_t keep, Repeat repeat = Repeat::Once);

}  // namespace tw::files
