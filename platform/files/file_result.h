// The outcome of a file operation: success, or the failing call's errno and
// the reason in words (naming the file), ready for a log line or an error box.
// Callers above the file layer use it for their own file-format checks too,
// with a code of 0.
#pragma once

#include <string>
#include <utility>

namespace tw::files {

struct TFileResult {
  bool Ok = true;
  int Code = 0;       // errno of the failing call; 0 when Ok or not from the system
  std::string Error;  // empty when Ok

  static TFileResult Success() { return {}; }
  static TFileResult Failure(std::string error, int code = 0) { return {false, code, std::move(error)}; }
  explicit operator bool() const { return Ok; }
};

}  // namespace tw::files
