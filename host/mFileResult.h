// The outcome of reading or writing one of the host program's files: success,
// or the reason in words, ready for an error box.
#pragma once

#include <string>
#include <utility>

namespace tw {

struct TFileResult {
  bool Ok = true;
  std::string Error;  // empty when Ok

  static TFileResult Success() { return {}; }
  static TFileResult Failure(std::string error) { return {false, std::move(error)}; }
  explicit operator bool() const { return Ok; }
};

}  // namespace tw
