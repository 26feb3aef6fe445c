// The hub, on its real server mill, admits three fake peers: real client
// pipes joined to the hub's pipes without sockets, logging in with names and
// passwords the input picks. The input then has them send session commands
// (READY, ANNOUNCE, INTRODUCE with any id, BINARY with any fields, commands
// meant for clients, unknown ones), hostile frames and relayed messages, and
// has the host send and disconnect, and connections end. Peers also ask for
// rate limits and read sizes, stop and resume reading (the relay's bound,
// share and ceiling are small, so messages wait for their targets and
// senders are held back), end their stream
// with messages still undelivered, and the hub's pump step runs its
// maintenance on a test clock (freeing, time-outs, stalled readers). The hub
// keeps its books straight: a peer connects once and leaves once, what the
// peers receive are well-formed commands of the hub, no queue passes its
// hard bound, and a peer's end waits only for what it sent before.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "pipe_link.h"
#include "platform/com/variant.h"
#include "platform/win32/tick.h"
#include "server/mHub.h"
#include "tests/support/manual_tick.h"

namespace {

using namespace tw;
using tw::fuzz::TFuzzInput;

constexpr int32_t kChannels[] = {CMD_READY,       CMD_WELCOME,   CMD_ANNOUNCE,  CMD_PEER_LISTED, CMD_INTRODUCE,
                                 CMD_PEER_JOINED, CMD_PEER_LEFT, CMD_BINARY,    0,               999};

// A peer's two ends. The server's pipe is looked up by id: the pump step
// frees closed pipes.
struct TPeerEnd {
  CPipe* client = nullptr;
  int32_t serverId = 0;
  bool reading = true;  // the client takes what the hub sends it
};

constexpr size_t kBound = 2048;  // the hub's queue bound: small, so floods reach it

// A command a peer received from the hub: its fields must be exactly these.
void CheckReceived(int32_t channel, std::string body) {
  switch (channel) {
    case CMD_WELCOME: TW_FUZZ_CHECK(body.empty()); break;
    case CMD_PEER_LISTED:
    case CMD_PEER_JOINED: {
      std::string_view rest = body;
      TW_FUZZ_CHECK(rest.size() >= 16);
      ReadIntField(rest);
      const size_t before = rest.size();
      ReadWideField(rest);
      TW_FUZZ_CHECK(rest.size() < before);
      ReadStrField(rest);
      TW_FUZZ_CHECK(rest.size() == 4);
      break;
    }
    case CMD_PEER_LEFT: TW_FUZZ_CHECK(body.size() == 8); break;
    case CMD_BINARY: {
      std::string_view rest = body;
      TW_FUZZ_CHECK(rest.size() >= 4);
      ReadStrField(rest);
      TW_FUZZ_CHECK(rest.empty());
      break;
    }
    default: TW_FUZZ_CHECK(!"a command the hub never sends");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput in(data, size);
  win32::ScopedManualTick tick;
  CHub hub(kParleyAppId, false);
  CMill& server = hub.Mill();
  server.ErrorLogPath.clear();
  // Small limits, so that floods fill targets, senders wait and the
  // ceiling is passed (by one peer that reads nothing and owes its bound).
  TRelayFlow& relay = *server.Relay();
  relay.Limits.Bound = kBound;
  relay.Limits.SmallShare = kBound / 4;
  relay.Limits.Ceiling = kBound;
  relay.Limits.LightPartial = kBound / 8;
  CMill client(TMillSide::Client, false);

  std::set<uint32_t> connected, everConnected;
  int binaries = 0;
  hub.Events.OnConnectionRequest = [](const std::u16string& user, std::u16string& password, bool& accept) {
    password = u"pw";
    accept = user != u"eve";
  };
  hub.Events.OnPeerConnected = [&](CPeer& peer) {
    TW_FUZZ_CHECK(everConnected.insert(peer.Id).second);
    connected.insert(peer.Id);
  };
  hub.Events.OnPeerDisconnected = [&](CPeer& peer, TPeerClose) { TW_FUZZ_CHECK(connected.erase(peer.Id) == 1); };
  hub.Events.OnBinaryMessage = [&](CPeer&, const com::VARIANT& message) {
    TW_FUZZ_CHECK(VarArrayToStr(message).has_value());
    ++binaries;
  };
  client.Events.OnSackReceived = [](CPipe&, int32_t channel, std::string& body) { CheckReceived(channel, body); };
  client.Events.OnBondSack = [](CPipe&, TSack& sack) { TW_FUZZ_CHECK(sack.PeerId != 0); };

  // Three peers log in: the setup byte picks each one's name, password and
  // application id.
  static const char16_t* const kNames[] = {u"ann", u"bob", u"eve", u""};
  std::vector<TPeerEnd> peers(3);
  const uint8_t setup = in.Byte();
  for (size_t i = 0; i < peers.size(); ++i) {
    const uint8_t bits = static_cast<uint8_t>(setup >> (2 * i)) ^ static_cast<uint8_t>(i);
    peers[i].serverId = fuzz::AddServerPipe(server).Id();
    peers[i].client = &fuzz::AddClientPipe(client, bits & 4 && i == 2 ? "WRONG" : "QXMELNORAPKD31",
                                           kNames[bits & 3], setup & 0x80 && i == 1 ? u"wrong" : u"pw");
  }
  // Moves traffic as the pump steps would: the hub reads a client only
  // while it is not held back and has not seen its end, and writes to one
  // only while that client reads, within its rate limit.
  auto settle = [&] {
    for (int round = 0; round < 8; ++round) {
      bool moved = false;
      for (TPeerEnd& p : peers) {
        CPipe* s = server.GetPipe(p.serverId);
        if (!s) continue;
        const bool hubReads = s->State <= psSession && !s->EndSeen &&
                              (s->State != psSession || relay.MayRead(s->Id(), s->Receiver().Unfinished()));
        for (int b = 0; hubReads && b < 16; ++b) {
          const std::string batch = fuzz::CutBatch(*p.client);
          if (batch.empty()) break;
          moved = true;
          fuzz::ReadIntoPipe(*s, batch);
          if (!(s = server.GetPipe(p.serverId))) break;
        }
        for (int b = 0; s && p.reading && b < 16; ++b) {
          const std::string batch = fuzz::CutLimitedBatch(*s);
          if (batch.empty()) break;
          moved = true;
          fuzz::FeedPipe(*p.client, batch);
        }
      }
      if (!moved) break;
    }
  };
  // What must hold after every step.
  auto check = [&] {
    for (TPeerEnd& p : peers) {
      CPipe* s = server.GetPipe(p.serverId);
      if (!s) continue;
      TW_FUZZ_CHECK(s->HeldBytes() <= kBound * kHardBoundFactor + 1024);
      // A peer's end waits only for what it sent before: messages still
      // posted, or waiting in the relay for their targets.
      TW_FUZZ_CHECK(!s->EndSeen || s->PostedCount > 0 || relay.Waiting(s->Id()) || s->State == psClosed);
      // A sender is held back only while much of its own waits.
      if (s->State == psSession && !relay.PastCeiling())
        TW_FUZZ_CHECK(relay.MayRead(s->Id(), 0) == (relay.WaitingBytes(s->Id()) <= relay.Limits.SmallShare));
    }
  };
  settle();

  for (int step = 0; step < 128 && !in.Empty(); ++step) {
    const uint8_t op = in.Byte();
    TPeerEnd& peer = peers[(op >> 4) % peers.size()];
    switch (op & 7) {
      case 0:
      case 1: {  // a session command
        const int32_t channel = kChannels[in.Pick(std::size(kChannels))];
        std::string body;
        if (channel == CMD_INTRODUCE) {
          const uint8_t pick = in.Byte();
          PutIntField(body, pick < 0xF0 ? pick % 8 : static_cast<int32_t>(in.Le32()));
        } else if (channel == CMD_BINARY && (op & 8)) {
          PutStrField(body, in.Chunk());
        } else {
          body = in.Chunk();
        }
        if (peer.client->State == psSession) peer.client->QueueMessage(channel + sackAppBase, TMessage().Raw(body));
        break;
      }
      case 2: {  // the host sends a binary message
        com::VARIANT message;
        com::VariantInit(&message);
        if (StrToVarArray(in.Chunk(), &message)) {
          hub.SendBinaryMessage(in.Pick(6), message);
          com::VariantClear(&message);
        }
        break;
      }
      case 3: hub.DisconnectPeer(in.Pick(6)); break;
      case 4:  // the connection ends
        if (CPipe* s = server.GetPipe(peer.serverId)) s->FinishSession(crSocket);
        break;
      case 5:  // hostile bytes
        if (CPipe* s = server.GetPipe(peer.serverId)) fuzz::FeedPipe(*s, in.Chunk());
        break;
      case 6: {  // a message relayed by route list to other peers' pipes
        if (peer.client->State != psSession) break;
        TSack& sack = peer.client->QueueOwn(sackAppBase + CMD_BINARY, StrToField(in.Chunk()));
        for (size_t n = in.Pick(4); n > 0; --n) sack.RouteList += IntToField(static_cast<int32_t>(in.Pick(8)));
        break;
      }
      case 7: {
        CPipe* s = server.GetPipe(peer.serverId);
        switch (in.Pick(6)) {
          case 0:  // the peer asks for a rate limit
            if (peer.client->State == psSession) peer.client->QueueOwn(scRateLimit, IntToField(static_cast<int32_t>(in.Le32() % 8192)));
            break;
          case 1:  // the peer announces a read size
            if (peer.client->State == psSession) peer.client->QueueOwn(scRecvSize, IntToField(static_cast<int32_t>(in.Le32())));
            break;
          case 2: peer.reading = !peer.reading; break;
          case 3: {  // time passes and the hub's pump step runs its maintenance
            static constexpr uint32_t kSteps[] = {10, 300, 1100, kStallMs + 1, kHandshakeTimeoutMs + 1};
            tick.Advance(kSteps[in.Pick(std::size(kSteps))]);
            server.PumpUp();
            fuzz::DeliverPosted();
            break;
          }
          case 4:  // the peer's end arrives, maybe before what it sent is delivered
            if (s && s->State <= psSession && s->State >= psHandshake) {
              ++s->PostedCount;  // as if a message read just before were still posted
              s->EndOfStream(crSocket);
              --s->PostedCount;
              s->FinishIfEnded();
              // Unless its messages still wait in the relay for a full target.
              TW_FUZZ_CHECK(s->State == psClosed || relay.Waiting(s->Id()));
            }
            break;
          default:  // the peer sends a flood to another peer
            if (peer.client->State == psSession) {
              TSack& sack = peer.client->QueueOwn(sackAppBase + CMD_BINARY, std::string(in.Pick(1500), 'f'));
              sack.RouteList = IntToField(peers[in.Pick(peers.size())].serverId);
            }
            break;
        }
        break;
      }
      default: break;
    }
    settle();
    check();
    TW_FUZZ_CHECK(hub.PeerCount() <= peers.size());
    TW_FUZZ_CHECK(connected.size() <= hub.PeerCount());
  }
  (void)binaries;
  return 0;
}
