// Whole-file reads and crash-safe whole-file replacement for the host
// program's small files. A replacement never leaves a half-written or missing
// file behind: the new contents go to a temporary file in the same folder,
// reach the disk, and only then take the old file's name.
#pragma once

#include <string>
#include <string_view>

#include "host/mFileResult.h"

namespace tw {

// Reads the file at `path` into `contents`. A missing file is not an error:
// `exists` becomes false and `contents` empty.
TFileResult ReadWholeFile(const std::string& path, std::string& contents, bool& exists);

// Replaces the file at `path` with `contents`, created with permission bits
// `mode` (the files hold secrets: callers pass 0600). On failure the old file
// is left as it was and the temporary file is removed.
TFileResult ReplaceFileAtomically(const std::string& path, std::string_view contents,
                                  unsigned mode);

}  // namespace tw
