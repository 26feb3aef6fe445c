// The error that the cryptography raises for misuse (a wrong block length, a
// modulus without an inverse, a big integer without a value). Its message is
// the text the caller sees; key generation catches it and reports False.
#pragma once

#include <stdexcept>
#include <string>

namespace tw {

class ECryptoError : public std::runtime_error {
 public:
  explicit ECryptoError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace tw
