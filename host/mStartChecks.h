// What the host program checks before it starts the server, and the words it
// uses when a start fails or succeeds. A setting the server cannot run with
// safely (a port outside 0-65535, a security mode that does not exist, a
// secure mode without its secret or keys) is refused with a reason that
// names the settings.ini key to set; a failed start is explained from the
// control's LastError. Texts are plain 8-bit, for the log and the terminal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/mSettings.h"

namespace tw {

// Why the server must not start with `settings`, nothing when it may.
// `mode` is the security mode the host applies (the settings window's value).
std::optional<std::string> SettingsProblem(const THostSettings& settings, int mode);

// The reason of a failed Start in words, from the control's LastError and
// the settings that Start used.
std::string StartFailureText(int32_t lastError, const THostSettings& settings);

// Where the server listens, for the log line after "server is started".
std::string ListeningText(const std::string& bindAddress, int32_t port);

}  // namespace tw
