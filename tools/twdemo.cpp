// A short demonstration of what stands: a server engine listening on a port
// the system picks, a client that opens a session through the handshake with
// a shared secret, says it is ready, and trades binary messages with the
// server's host; then both sides close. Prints what happens and exits.
#include <cstdio>
#include <string>

#include "platform/win32/messages.h"
#include "platform/win32/text.h"
#include "server/mParleySrv.h"
#include "transport/mMill.h"

using namespace tw;

namespace {

std::string Text(const std::u16string& s) { return win32::Utf16ToUtf8(s); }

}  // namespace

int main() {
  TTWParleySrv server;
  server.SetSecurityMode(secSharedKey);
  server.SetSecretKey(u"demo secret");
  server.Events.OnConnectionRequest = [](TPeerHandle, const std::u16string& user, std::u16string& password,
                                         bool& accept) {
    std::printf("server: %s asks to log in\n", Text(user).c_str());
    password = u"swordfish";
    accept = true;
  };
  server.Events.OnPeerConnected = [&](TPeerHandle h) {
    std::printf("server: %s connected from %s\n", Text(server.GetPeerName(h)).c_str(),
                Text(server.GetPeerAddress(h)).c_str());
  };
  bool done = false;
  server.Events.OnBinaryMessage = [&](TPeerHandle h, const com::VARIANT& message) {
    std::string text = VarArrayToStr(message).value_or("");
    std::printf("server: got \"%s\", answering\n", text.c_str());
    com::VARIANT answer;
    com::VariantInit(&answer);
    StrToVarArray("hello back, " + Text(server.GetPeerName(h)), &answer);
    server.SendBinaryMessage(h, answer);
    com::VariantClear(&answer);
  };
  server.Events.OnPeerDisconnected = [&](TPeerHandle, int32_t code) {
    std::printf("server: peer disconnected (%d)\n", code);
    done = true;
  };
  server.ListeningPort = 0;
  if (!server.Start()) {
    std::printf("server: cannot listen (%d)\n", server.LastError);
    return 1;
  }
  const uint16_t port = server.Hub().Mill().ListeningPort();
  std::printf("server: listening on port %u, local addresses %s\n", port, Text(server.GetLocalIPList()).c_str());

  CMill client(TMillSide::Client);
  client.SecurityMode = secSharedKey;
  client.SetSecretKey(u"demo secret");
  client.Events.OnPipeOpen = [](CPipe& pipe) {
    std::printf("client: session open, %zu-byte session key\n", pipe.SessionKey.size());
    pipe.QueueMessage(CMD_READY + sackAppBase);
  };
  client.Events.OnSackReceived = [](CPipe& pipe, int32_t channel, std::string& body) {
    if (channel == CMD_WELCOME) {
      std::printf("client: welcome; sending a binary message\n");
      pipe.PutStrField("hello from the client");
      pipe.QueueMessage(CMD_BINARY + sackAppBase);
    } else if (channel == CMD_BINARY) {
      std::printf("client: got \"%s\"; leaving\n", ReadStrField(body).c_str());
      pipe.FinishSession(crLocal);
    }
  };
  client.Events.OnPipeRejected = [&](CMill&, CPipe&, int32_t reason) {
    std::printf("client: rejected (%d, last error %d)\n", reason, client.LastError);
    done = true;
  };
  if (!client.OpenSession(u"127.0.0.1", port, kParleyAppId, u"alice", u"swordfish")) {
    std::printf("client: cannot connect (%d)\n", client.LastError);
    return 1;
  }
  const bool finished = win32::RunUntil([&] { return done; }, 10000);
  std::printf(finished ? "done\n" : "timed out\n");
  return finished ? 0 : 1;
}
