// A client engine logged in to the real hub without sockets, for fuzz
// targets of the client: the hub runs on its own server mill, two bare peers
// ("ann", "bob") log in on another client mill, and the engine dials the
// hub's listener (which never accepts), after which its session pipe drops
// the socket and talks to a hub pipe of its own through pipe_link.h. Nothing
// moves until Settle() shuttles the queued traffic and delivers the posted
// messages; the clock is the caller's.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/mParleyCln.h"
#include "fuzz_input.h"
#include "pipe_link.h"
#include "server/mHub.h"
#include "transport/mSessionCommands.h"

namespace tw::fuzz {

class TClientRig {
 public:
  struct TRawPeer {
    CPipe* client = nullptr;
    CPipe* server = nullptr;  // its id is the peer id the engine knows
  };

  // Bit i of `setup` set: bare peer i announces itself before the engine
  // logs in (and then introduces itself to it), else after (and the hub
  // lists it to the engine). Returns with the bare peers logged in.
  TClientRig(std::shared_ptr<cln::TMediaFactory> media, uint8_t setup)
      : hub_(kParleyAppId, false), others_(TMillSide::Client, false), setup_(setup) {
    CMill& server = hub_.Mill();
    server.ErrorLogPath.clear();
    hub_.Events.OnConnectionRequest = [](const std::u16string& user, std::u16string& password, bool& accept) {
      password = u"pw";
      accept = user != u"eve";
    };
    listening_ = server.Listen(0);
    others_.Events.OnSackReceived = [](CPipe&, int32_t, std::string&) {};
    others_.Events.OnBondSack = [](CPipe&, TSack&) {};
    static const char16_t* const kNames[] = {u"ann", u"bob"};
    for (size_t i = 0; i < Raw.size(); ++i) {
      Raw[i].server = &AddServerPipe(server);
      Raw[i].client = &AddClientPipe(others_, "QXMELNORAPKD31", kNames[i], u"pw");
    }
    Engine = std::make_unique<cln::TTWParleyCln>(std::move(media), false);
    Engine->Mate().Mill().ErrorLogPath.clear();
    Settle();
    for (size_t i = 0; i < Raw.size(); ++i)
      if (setup_ & (1 << i)) Announce(Raw[i]);
  }

  // Opens the engine's session as `user` (the hub refuses "eve") and lets
  // the peers meet it; false when the engine could not even dial.
  bool Open(const std::u16string& user = u"me") {
    if (!listening_ || !Engine->OpenSession(u"127.0.0.1", hub_.Mill().ListeningPort(), user, u"pw")) return false;
    CPipe* mine = SessionPipe();
    TW_FUZZ_CHECK(mine != nullptr);
    mine->AdoptSocket(ws::Socket());
    mine->StartProtocol();
    Link = &AddServerPipe(hub_.Mill());
    Settle();
    // A peer announced before the engine introduces itself, as a client
    // does when the hub lists a newcomer; the others announce now, and the
    // hub lists them to the engine.
    for (size_t i = 0; i < Raw.size(); ++i) {
      if (!(setup_ & (1 << i)) || Raw[i].client->State != psSession) continue;
      Raw[i].client->QueueMessage(CMD_INTRODUCE + sackAppBase, TMessage().Int(Link->Id()));
      Settle();
    }
    for (size_t i = 0; i < Raw.size(); ++i)
      if (!(setup_ & (1 << i))) Announce(Raw[i]);
    return true;
  }

  // The engine's session pipe, or null once the mill freed it.
  CPipe* SessionPipe() { return Engine->Mate().Mill().GetPipe(Engine->Mate().SessionPipeId()); }
  CMill& Hub() { return hub_.Mill(); }

  // Moves what every pipe queued until nothing moves.
  void Settle() {
    for (int round = 0; round < 16; ++round) {
      bool moved = false;
      CPipe* mine = SessionPipe();
      if (mine && Link) {
        moved |= Shuttle(*mine, *Link);
        moved |= Shuttle(*Link, *mine);
      }
      for (TRawPeer& p : Raw) {
        moved |= Shuttle(*p.client, *p.server);
        moved |= Shuttle(*p.server, *p.client);
      }
      DeliverPosted();
      if (!moved) break;
    }
  }

  // Bare peer `from` sends `code` with `body` to the engine through the
  // hub's relay.
  void SendFromPeer(TRawPeer& from, int32_t code, std::string body, bool ackWanted) {
    if (from.client->State != psSession || !Link) return;
    TSack& sack = from.client->QueueOwn(code, std::move(body));
    sack.AckWanted = ackWanted;
    AppendLe32(sack.RouteList, static_cast<uint32_t>(Link->Id()));
  }

  // A message arriving at the engine's pipe as the hub relays it from
  // `peerId`, without passing through the hub.
  void Inject(int32_t peerId, int32_t code, std::string_view body, bool ackWanted) {
    CPipe* mine = SessionPipe();
    if (!mine) return;
    std::string chunk;
    PutIntField(chunk, peerId);
    chunk += body;
    std::string frame;
    AppendFrame(frame, static_cast<uint8_t>(sfFirstChunk | sfLastChunk | sfPeerId | (ackWanted ? sfAckWanted : 0)),
                code, chunk);
    FeedPipe(*mine, frame);
  }

 private:
  void Announce(TRawPeer& p) {
    if (p.client->State != psSession) return;
    p.client->QueueMessage(CMD_READY + sackAppBase, TMessage());
    Settle();
    p.client->QueueMessage(CMD_ANNOUNCE + sackAppBase, TMessage());
    Settle();
  }

  CHub hub_;
  CMill others_;
  uint8_t setup_;
  bool listening_ = false;

 public:
  std::vector<TRawPeer> Raw = std::vector<TRawPeer>(2);
  std::unique_ptr<cln::TTWParleyCln> Engine;  // reset it to see what the engine leaves behind
  CPipe* Link = nullptr;                      // the hub's end of the engine's session
};

}  // namespace tw::fuzz
