// Both operations are the file layer's: the host keeps its own names for them.
#include "host/mSafeFile.h"

#include "platform/files/files.h"

namespace tw {

TFileResult ReadWholeFile(const std::string& path, std::string& contents, bool& exists) {
  return files::ReadWholeFile(path, contents, exists);
}

TFileResult ReplaceFileAtomically(const std::string& path, std::string_view contents,
                                  unsigned mode) {
  return files::SaveAtomically(path, contents, mode);
}

}  // namespace tw
