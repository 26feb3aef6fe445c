// The two kinds of exception a catch that reports must tell apart: a
// std::exception, reported with its text, and anything else, reported as
// "unknown exception".
#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tw::test {

struct Thrown {
  std::function<void()> raise;
  std::string what;  // the text a report gives for it
};

inline std::vector<Thrown> ThrownKinds() {
  return {{[] { throw std::runtime_error("handler broke"); }, "handler broke"},
          {[] { throw 42; }, "unknown exception"}};
}

}  // namespace tw::test
