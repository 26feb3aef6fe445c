// The engines on loopback for the timing programs: a server engine that
// admits every login with the password "pw", and a client engine's session
// opened to it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "client/mParleyCln.h"
#include "platform/win32/messages.h"
#include "server/mParleySrv.h"

namespace tw::bench {

// The started server engine on a free port; ends the program when it does
// not start.
inline std::unique_ptr<TTWParleySrv> StartServer() {
  auto server = std::make_unique<TTWParleySrv>();
  server->Hub().Mill().ErrorLogPath.clear();
  server->Events.OnConnectionRequest = [](TPeerHandle, const std::u16string&, std::u16string& pw, bool& ok) {
    pw = u"pw";
    ok = true;
  };
  server->ListeningPort = 0;
  if (!server->Start()) {
    std::fprintf(stderr, "server did not start\n");
    std::exit(1);
  }
  return server;
}

// Opens `c`'s session as `name` and waits (up to 10 s) until it is open.
inline bool Open(cln::TTWParleyCln& c, uint16_t port, const std::u16string& name) {
  if (!c.OpenSession(u"127.0.0.1", port, name, u"pw")) return false;
  return win32::RunUntil([&] { return c.GetSessionStatus() == cln::ssOpen; }, 10000);
}

}  // namespace tw::bench
