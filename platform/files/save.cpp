// Whole-file reads and crash-safe replacement, built on the layer's own
// handles. A file written under a temporary name beside its target is synced,
// closed and renamed over the target (rename within one folder is atomic),
// then the folder is synced so the new name itself survives a power cut.
#include <cerrno>

#include "platform/files/internal.h"

namespace tw::files {

namespace {

// The step's own reason names the temporary file; the caller knows the
// target, so the reason names that instead, with the system's words.
TFileResult ForTarget(std::string_view what, const std::string& path, const TFileResult& step) {
  return TFileResult::Failure(detail::Reason(what, path, step.Code), step.Code);
}

}  // namespace

TFileResult ReadWholeFile(const std::string& path, std::string& contents, bool& exists) {
  contents.clear();
  exists = false;
  TFile file;
  if (TFileResult opened = file.OpenForReading(path, Sharing::SharedRead); !opened) {
    return opened.Code == ENOENT ? TFileResult::Success() : opened;
  }
  exists = true;
  char buffer[65536];
  for (;;) {
    size_t done = 0;
    if (TFileResult read = file.Read(buffer, sizeof buffer, done); !read) {
      contents.clear();
      return read;
    }
    contents.append(buffer, done);
    if (done < sizeof buffer) return TFileResult::Success();
  }
}

TFileResult CommitOver(TFile& file, const std::string& path) {
  std::string temp = file.Path();
  if (TFileResult synced = file.Sync(); !synced) {
    (void)file.Close();
    return ForTarget("Cannot flush", path, synced);
  }
  // The rename goes by name: it must move the file this handle wrote, not
  // whatever has taken the temporary name since.
  TFileId named;
  if (!IdOf(temp, named, Links::Refuse) || named != file.Id()) {
    (void)file.Close();
    return TFileResult::Failure(
        detail::Reason("Cannot replace", path, "the temporary file is no longer the one written"), ESTALE);
  }
  if (TFileResult closed = file.Close(); !closed) return ForTarget("Cannot write", path, closed);
  if (TFileResult renamed = RenameOver(temp, path); !renamed) return ForTarget("Cannot replace", path, renamed);
  // The new file is in place whatever follows; a folder that cannot be synced
  // only leaves the rename's durability to the file system.
  (void)SyncFolder(FolderOf(path));
  return TFileResult::Success();
}

TFileResult SaveAtomically(const std::string& path, std::string_view contents, unsigned mode) {
  TFile file;
  std::string temp;
  if (TFileResult created = file.CreateUnique(path + ".", mode, temp); !created)
    return ForTarget("Cannot create a file beside", path, created);
  TFileResult result = file.Write(contents);
  if (!result) {
    (void)file.Close();
    result = ForTarget("Cannot write", path, result);
  } else {
    result = CommitOver(file, path);
  }
  if (!result) (void)DeleteFile(temp);  // best effort: the failure reported is the step's
  return result;
}

}  // namespace tw::files
