#include "host/mStartChecks.h"

#include <string_view>

#include "platform/winsock/winsock.h"

namespace tw {
namespace {

constexpr long long kHighestPort = 65535;

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Whether `text` is a whole decimal number (an optional sign, then digits)
// outside 0-65535. Any other text is not a number and reads as port 0.
bool IsPortOutOfRange(std::string_view text) {
  text = TrimBlanks(text);
  const bool negative = !text.empty() && text.front() == '-';
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
  if (text.empty()) return false;
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    if (value <= kHighestPort) value = value * 10 + (c - '0');
  }
  return value > kHighestPort || (negative && value != 0);
}

std::string ModeProblem(const THostSettings& s, int mode) {
  switch (mode) {
    case 0:
      return {};
    case 1:
      if (s.SecretKey.empty())
        return "Mode=1 (shared secret key) has no secret: set SecretKey in [Security] of settings.ini";
      return {};
    case 2:
      if (s.PublicKey.empty() || s.PrivateKey.empty()) {
        std::string missing = s.PublicKey.empty() && s.PrivateKey.empty() ? "PublicKey and PrivateKey"
                              : s.PublicKey.empty()                        ? "PublicKey"
                                                                           : "PrivateKey";
        return "Mode=2 (public/private keys) has no key pair: set " + missing +
               " in [Security] of settings.ini (the Settings window's Generate makes a pair)";
      }
      return {};
    default:
      return "Mode=" + std::to_string(mode) +
             " is not a security mode: set Mode in [Security] of settings.ini to 0 (plain text), "
             "1 (shared secret key) or 2 (public/private keys)";
  }
}

}  // namespace

std::optional<std::string> SettingsProblem(const THostSettings& settings, int mode) {
  if (IsPortOutOfRange(settings.Port))
    return "Port=" + settings.Port +
           " is outside 0-65535: set Port in [Options] of settings.ini to a port number (0 lets the "
           "system pick one)";
  if (std::string problem = ModeProblem(settings, mode); !problem.empty()) return problem;
  return std::nullopt;
}

std::string StartFailureText(int32_t lastError, const THostSettings& s) {
  const std::string code = " (error " + std::to_string(lastError) + ")";
  const std::string address = "ServerAddress=" + s.ServerAddress;
  switch (lastError) {
    case ws::WSAEADDRINUSE:
      return "address in use: another program listens on port " + std::to_string(s.PortNumber()) + " at " +
             s.ServerAddress + "; set another Port in [Options] of settings.ini" + code;
    case ws::WSAEACCES:
      return "permission denied: port " + std::to_string(s.PortNumber()) +
             " is below 1024, which only a privileged program may listen on; set a Port of 1024 or more" +
             code;
    case ws::WSAEINVAL:
    case ws::WSAHOST_NOT_FOUND:
      return "name not found: " + address +
             " is not an IPv4 address; set it to one of this machine's addresses, 127.0.0.1 for this "
             "machine only, or 0.0.0.0 for every interface" + code;
    case ws::WSAEADDRNOTAVAIL:
      return "address not available: " + address + " is not an address of this machine" + code;
    case ws::WSAEMFILE:
      return "too many open files" + code;
    default:
      return "the socket layer failed" + code;
  }
}

std::string ListeningText(const std::string& bindAddress, int32_t port) {
  const std::string address = bindAddress.empty() ? "0.0.0.0" : bindAddress;
  std::string text = "listening on " + address + ":" + std::to_string(port);
  if (address == "0.0.0.0") text += " (every interface)";
  return text;
}

}  // namespace tw
