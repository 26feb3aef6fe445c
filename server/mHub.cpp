#include "server/mHub.h"

#include <algorithm>

#include "platform/win32/text.h"

namespace tw {

CHub::CHub(std::u16string applicationId, bool startPump)
    : appId_(std::move(applicationId)), mill_(TMillSide::Server, startPump) {
  mill_.Events.OnPipeLogin = [this](CPipe& pipe, const std::u16string& app, const std::u16string& user,
                                    std::u16string& password, bool& accept) {
    if (!mill_.Guard("DoConnectionRequest", [&] { DoConnectionRequest(pipe, app, user, password, accept); }))
      accept = false;  // a failed admission is a refusal
  };
  mill_.Events.OnPipeRefused = [this](CMill&, CPipe& pipe, TCloseReason reason) {
    mill_.Guard("DoPeerRejected", [&] { DoPeerRejected(pipe, reason); });
  };
  mill_.Events.OnPipeClosed = [this](CMill&, CPipe& pipe, TCloseReason) {
    mill_.Guard("DoPipeClosed", [&] { DoPipeClosed(pipe); });
  };
  mill_.Events.OnSackSent = [](CPipe&, int32_t) {};
  mill_.Events.OnSackReceived = [this](CPipe& pipe, int32_t channel, std::string& body) {
    mill_.Guard("DoCommand", [&] { DoCommand(pipe, channel, body); });
  };
}

CHub::~CHub() { mill_.Events = {}; }

// --- Start and stop ------------------------------------------------------------

bool CHub::Start() {
  LastError = errNone;
  if (mill_.IsListening()) return false;
  mill_.Guard("Start", [&] { mill_.Listen(static_cast<uint16_t>(Port)); });
  LastError = mill_.LastError;
  if (LastError == errNone && !mill_.IsListening()) LastError = errTransport;
  return LastError == errNone;
}

bool CHub::Stop() {
  LastError = errNone;
  if (mill_.IsListening()) mill_.StopListening();
  return true;
}

// --- Peers -----------------------------------------------------------------------

CPeer* CHub::FindPeer(uint32_t id) {
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : it->second;
}

CPeer* CHub::SelectPeer(uint32_t id) {
  LastError = errNone;
  CPeer* p = FindPeer(id);
  if (!p) LastError = errInvalidHandle;
  return p;
}

CPeer* CHub::PipePeer(CPipe& pipe) { return FindPeer(pipe.Moniker); }

void CHub::DisconnectPeer(uint32_t id) {
  if (SelectPeer(id)) ClosePeer(id, kPeerClosedByHost);
}

std::u16string CHub::GetPeerName(uint32_t id) {
  CPeer* p = SelectPeer(id);
  return p ? p->UserName : u"";
}

std::u16string CHub::GetPeerAddress(uint32_t id) {
  CPeer* p = SelectPeer(id);
  return p ? win32::AnsiToWide(mill_.GetRemoteAddress(p->PipeId)) : u"";
}

int32_t CHub::GetPeerPort(uint32_t id) {
  CPeer* p = SelectPeer(id);
  return p ? mill_.GetRemotePort(p->PipeId) : 0;
}

uint32_t CHub::GetOwnerPeer(uint32_t id) {
  CPeer* p = SelectPeer(id);
  return p ? p->Owner : 0;
}

void CHub::SetOwnerPeer(uint32_t id, uint32_t owner) {
  if (CPeer* p = SelectPeer(id)) p->Owner = owner;
}

bool CHub::SendBinaryMessage(uint32_t id, const com::VARIANT& message) {
  LastError = errNone;
  std::optional<std::string> bytes = VarArrayToStr(message);
  if (!bytes) {
    LastError = errNotByteArray;
    return false;
  }
  CPeer* p = SelectPeer(id);
  if (!p) return false;
  if (p->State != CPeer::Connected) {
    LastError = errSessionNotOpen;
    return false;
  }
  if (!mill_.SendToPipe(p->PipeId, CMD_BINARY, TMessage().Str(*bytes))) {
    LastError = errTransport;  // the session is no longer open
    return false;
  }
  return true;
}

std::u16string CHub::GetLocalIPList() const { return win32::AnsiToWide(mill_.LocalIPList()); }

bool CHub::GenerateKeypair(std::u16string& publicKey, std::u16string& privateKey) {
  publicKey.clear();
  privateKey.clear();
  return mill_.GenerateKeypair(publicKey, privateKey);
}

// --- Hooks from the transport ------------------------------------------------------

void CHub::DoConnectionRequest(CPipe& pipe, const std::u16string& appId, const std::u16string& userName,
                               std::u16string& password, bool& accept) {
  if (appId != appId_) return;  // exact: case and length count
  const int32_t pipeId = pipe.Id();
  if (Events.OnConnectionRequest) Events.OnConnectionRequest(userName, password, accept);
  // The host may have pumped messages while it decided: admit only a pipe
  // that is still there and still in its handshake.
  CPipe* still = mill_.GetPipe(pipeId);
  if (!accept || still != &pipe || pipe.State != psHandshake) return;
  auto peer = std::make_unique<CPeer>();
  do {
    nextId_ = nextId_ == UINT32_MAX ? 1 : nextId_ + 1;
  } while (FindPeer(nextId_));
  peer->Id = nextId_;
  peer->PipeId = pipeId;
  peer->UserName = userName;
  mill_.SetMoniker(pipeId, peer->Id);
  byId_.emplace(peer->Id, peer.get());
  peers_.push_back(std::move(peer));
}

void CHub::DoPeerRejected(CPipe& pipe, TCloseReason reason) {
  CPeer* peer = PipePeer(pipe);
  const uint32_t id = peer ? peer->Id : 0;
  if (Events.OnPeerRejected) mill_.Guard("OnPeerRejected", [&] { Events.OnPeerRejected(peer, reason); });
  // The cleanup runs whether or not anybody listened.
  ClosePeer(id, kPeerHandshakeFailed);
}

void CHub::DoPipeClosed(CPipe& pipe) {
  if (CPeer* peer = PipePeer(pipe)) ClosePeer(peer->Id, kPeerConnectionClosed);
}

void CHub::DoCommand(CPipe& pipe, int32_t channel, std::string& body) {
  LastError = errNone;
  CPeer* peer = PipePeer(pipe);
  if (!peer) {
    LastError = errInvalidHandle;
    mill_.ClosePipe(pipe.Id());
    return;
  }
  switch (channel) {
    case CMD_READY: PeerReady(*peer); break;
    case CMD_ANNOUNCE: AnnouncePeer(*peer); break;
    case CMD_INTRODUCE: IntroducePeer(*peer, body); break;
    case CMD_BINARY: DoBinaryMessage(*peer, body); break;
    default: break;
  }
}

void CHub::PeerReady(CPeer& peer) {
  if (peer.State == CPeer::Connected) return;  // a repeated CMD_READY changes nothing
  peer.State = CPeer::Connected;
  mill_.SendToPipe(peer.PipeId, CMD_WELCOME, TMessage());
  if (Events.OnPeerConnected) Events.OnPeerConnected(peer);
}

TMessage CHub::PeerRecord(const CPeer& about) {
  return TMessage()
      .Int(about.PipeId)
      .Wide(about.UserName)
      .Str(mill_.GetRemoteAddress(about.PipeId))
      .Int(mill_.GetRemotePort(about.PipeId));
}

// Only a connected peer is announced and introduced, and only to other
// connected peers: one that never sent CMD_READY must not make a client
// bond with it before it is a peer at all, nor reach a client whose own
// session has not opened.
//
// The sender's record is made once and copied to every other peer: a
// newcomer among a thousand costs a thousand copies of its bytes into the
// pipes' spare buffers, nothing more. A peer is announced once: every other
// peer knows it from then on, and a repeated CMD_ANNOUNCE would make each
// of them a notice for one command.
void CHub::AnnouncePeer(CPeer& sender) {
  if (sender.State != CPeer::Connected || sender.Announced) return;
  sender.Announced = true;
  const uint32_t senderId = sender.Id;
  const TMessage record = PeerRecord(sender);
  for (size_t i = peers_.size(); i-- > 0;) {
    if (i >= peers_.size()) continue;
    CPeer& other = *peers_[i];
    if (other.Id == senderId || other.State != CPeer::Connected) continue;
    if (!FindPeer(senderId)) return;
    if (!mill_.GetPipe(other.PipeId)) continue;
    mill_.SendToPipe(other.PipeId, CMD_PEER_LISTED, record);
  }
}

void CHub::IntroducePeer(CPeer& sender, std::string& body) {
  if (sender.State != CPeer::Connected) return;
  const int32_t target = ReadIntField(body);
  if (target == sender.PipeId) return;
  CPipe* pipe = mill_.GetPipe(target);
  const CPeer* peer = pipe ? PipePeer(*pipe) : nullptr;
  if (!peer || peer->PipeId != target || peer->State != CPeer::Connected || pipe->State != psSession) return;
  mill_.SendToPipe(target, CMD_PEER_JOINED, PeerRecord(sender));
}

void CHub::DoBinaryMessage(CPeer& peer, std::string& body) {
  const std::string bytes = ReadStrField(body);
  com::VARIANT message;
  com::VariantInit(&message);
  if (!StrToVarArray(bytes, &message)) return;
  struct Release {
    com::VARIANT& v;
    ~Release() { com::VariantClear(&v); }
  } release{message};  // released whatever the handler does
  if (Events.OnBinaryMessage) Events.OnBinaryMessage(peer, message);
}

void CHub::ClosePeer(uint32_t id, TPeerClose code) {
  CPeer* peer = FindPeer(id);
  if (!peer || peer->State == CPeer::Closed) return;
  const uint8_t old = peer->State;
  peer->State = CPeer::Closed;
  const int32_t pipeId = peer->PipeId;
  if (code == kPeerClosedByHost) mill_.ClosePipe(pipeId);
  // The close completes even when the host's handler fails.
  if (old == CPeer::Connected && Events.OnPeerDisconnected) {
    if (CPeer* p = FindPeer(id))
      mill_.Guard("OnPeerDisconnected", [&] { Events.OnPeerDisconnected(*p, code); });
  }
  for (size_t i = peers_.size(); i-- > 0;) {
    if (i >= peers_.size()) continue;
    CPeer& other = *peers_[i];
    if (other.Id == id || other.State != CPeer::Connected) continue;
    // After whatever was relayed to it before: the notice ends what it may take from the peer.
    mill_.SendToPipeLast(other.PipeId, CMD_PEER_LEFT, TMessage().Int(pipeId).Int(PeerCloseCode(code)));
  }
  byId_.erase(id);
  std::erase_if(peers_, [&](const std::unique_ptr<CPeer>& p) { return p->Id == id; });
}

}  // namespace tw
