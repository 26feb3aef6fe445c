// Shared by the file layer's implementation files only: whether an injected
// fault takes this call.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/files/files.h"

namespace tw::files::detail {

struct FaultHit {
  bool fails = false;
  int error = 0;
  bool partial = false;  // a short write: `keep` bytes go through first
  size_t keep = 0;
};

// "Cannot open "/tmp/x": No such file or directory": `what`, the path in
// quotes and the words for errno `code`. Control characters of the path show
// as '?', so a hostile name cannot break the line it ends up in.
std::string Reason(std::string_view what, std::string_view path, int code);
std::string Reason(std::string_view what, std::string_view path, std::string_view why);

// What an armed fault does to this call; nothing while none is armed.
FaultHit FaultTakes(Op op);

}  // namespace tw::files::detail
