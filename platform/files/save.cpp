// Whole-file reads and the crash-safe whole-file save, built on the layer's
// own handles. SaveAtomically writes a temporary file beside the target,
// syncs it, renames it over the target (rename within one folder is atomic),
// then syncs the folder so the new name itself survives a power cut.
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

TFileResult SaveAtomically(const std::string& path, std::string_view contents, unsigned mode) {
  TFile file;
  std::string temp;
  if (TFileResult created = file.CreateUnique(path + ".", mode, temp); !created)
    return ForTarget("Cannot create a file beside", path, created);

  auto fail = [&](std::string_view what, const TFileResult& step) {
    (void)file.Close();
    (void)DeleteFile(temp);  // best effort: the failure reported is the step's
    return ForTarget(what, path, step);
  };
  if (TFileResult r = file.Write(contents); !r) return fail("Cannot write", r);
  if (TFileResult r = file.Sync(); !r) return fail("Cannot flush", r);
  if (TFileResult r = file.Close(); !r) return fail("Cannot write", r);
  if (TFileResult r = RenameOver(temp, path); !r) return fail("Cannot replace", r);

  // The new file is in place whatever follows; a folder that cannot be synced
  // only leaves the rename's durability to the file system, as every save
  // had before this one.
  (void)SyncFolder(FolderOf(path));
  return TFileResult::Success();
}

}  // namespace tw::files
