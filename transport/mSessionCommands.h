// The session commands between a client and the server's hub, and the
// application id both sides log in with. They travel as application channels
// (code channel + 1000) on the session pipe; the hub carries them out and the
// client's session layer answers them.
#pragma once

#include <cstdint>

namespace tw {

// Session commands (channels; they travel as code channel + 1000).
enum : int32_t {
  CMD_READY = 20,
  CMD_WELCOME = 21,
  CMD_ANNOUNCE = 30,
  CMD_PEER_LISTED = 31,
  CMD_INTRODUCE = 32,
  CMD_PEER_JOINED = 33,
  CMD_PEER_LEFT = 34,
  CMD_BINARY = 35,
};

inline constexpr const char16_t* kParleyAppId = u"QXMELNORAPKD31";

}  // namespace tw
