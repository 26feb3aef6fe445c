// The hub, on its real server mill, admits three fake peers: real client
// pipes joined to the hub's pipes without sockets, logging in with names and
// passwords the input picks. The input then has them send session commands
// (READY, ANNOUNCE, INTRODUCE with any id, BINARY with any fields, commands
// meant for clients, unknown ones), hostile frames and relayed messages, and
// has the host send and disconnect, and connections end. The hub keeps its
// books straight: a peer connects once and leaves once, and what the peers
// receive are well-formed commands of the hub.
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
#include "server/mHub.h"

namespace {

using namespace tw;
using tw::fuzz::TFuzzInput;

constexpr int32_t kChannels[] = {CMD_READY,       CMD_WELCOME,   CMD_ANNOUNCE,  CMD_PEER_LISTED, CMD_INTRODUCE,
                                 CMD_PEER_JOINED, CMD_PEER_LEFT, CMD_BINARY,    0,               999};

struct TPeerEnd {
  CPipe* client = nullptr;
  CPipe* server = nullptr;
};

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
  CHub hub(kParleyAppId, false);
  CMill& server = hub.Mill();
  server.ErrorLogPath.clear();
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
  hub.Events.OnPeerDisconnected = [&](CPeer& peer, int32_t) { TW_FUZZ_CHECK(connected.erase(peer.Id) == 1); };
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
    peers[i].server = &fuzz::AddServerPipe(server);
    peers[i].client = &fuzz::AddClientPipe(client, bits & 4 && i == 2 ? "WRONG" : "QXMELNORAPKD31",
                                           kNames[bits & 3], setup & 0x80 && i == 1 ? u"wrong" : u"pw");
  }
  auto settle = [&] {
    for (int round = 0; round < 8; ++round) {
      bool moved = false;
      for (TPeerEnd& p : peers) {
        moved |= fuzz::Shuttle(*p.client, *p.server);
        moved |= fuzz::Shuttle(*p.server, *p.client);
      }
      if (!moved) break;
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
        peer.client->PutRaw(body);
        if (peer.client->State == psSession) peer.client->QueueMessage(channel + sackAppBase);
        peer.client->ClearFields();
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
      case 4: peer.server->FinishSession(crSocket); break;  // the connection ends
      case 5: fuzz::FeedPipe(*peer.server, in.Chunk()); break;  // hostile bytes
      case 6: {  // a message relayed by route list to other peers' pipes
        if (peer.client->State != psSession) break;
        TSack& sack = peer.client->QueueOwn(sackAppBase + CMD_BINARY, StrToField(in.Chunk()));
        for (size_t n = in.Pick(4); n > 0; --n) sack.RouteList += IntToField(static_cast<int32_t>(in.Pick(8)));
        break;
      }
      default: break;
    }
    settle();
    TW_FUZZ_CHECK(hub.PeerCount() <= peers.size());
    TW_FUZZ_CHECK(connected.size() <= hub.PeerCount());
  }
  (void)binaries;
  return 0;
}
