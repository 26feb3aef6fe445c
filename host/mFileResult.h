// The host program's file results are the file layer's.
#pragma once

#include "platform/files/file_result.h"

namespace tw {
using files::TFileResult;
}  // namespace tw
