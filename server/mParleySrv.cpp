#include "server/mParleySrv.h"

#include <algorithm>

namespace tw {

TTWParleySrv::TTWParleySrv(bool startPump) : hub_(kParleyAppId, startPump) {
  hub_.Events.OnConnectionRequest = [this](const std::u16string& user, std::u16string& password, bool& accept) {
    if (Events.OnConnectionRequest) Events.OnConnectionRequest(kRequestHandle, user, password, accept);
  };
  hub_.Events.OnPeerConnected = [this](CPeer& p) { DoPeerConnected(p); };
  hub_.Events.OnPeerRejected = [this](CPeer* p, TCloseReason reason) { DoPeerRejected(p, reason); };
  hub_.Events.OnPeerDisconnected = [this](CPeer& p, TPeerClose code) { DoPeerDisconnected(p, code); };
  hub_.Events.OnBinaryMessage = [this](CPeer& p, const com::VARIANT& m) { DoBinaryMessage(p, m); };
  timerWindow_ = win32::HiddenWindow([this](win32::HWND, win32::UINT msg, win32::WPARAM, win32::LPARAM) {
    if (msg == win32::WM_TIMER) TimerTick();  // frees records only: raises nothing
    return win32::LRESULT{0};
  });
}

TTWParleySrv::~TTWParleySrv() {
  Events = {};
  hub_.Events = {};
}

TPeerHandle TTWParleySrv::NewHandle() {
  do {
    nextHandle_ = nextHandle_ == INT32_MAX ? 1 : nextHandle_ + 1;
  } while (CheckPeer(nextHandle_));
  return nextHandle_;
}

// --- Start and stop --------------------------------------------------------------

bool TTWParleySrv::Start() {
  LastError = errNone;
  if (hub_.GetRunning()) return false;
  hub_.Port = ListeningPort;
  hub_.Mill().Guard("Start", [&] { hub_.Start(); });
  LastError = hub_.LastError;
  if (LastError == errNone && !hub_.GetRunning()) LastError = errTransport;
  return LastError == errNone;
}

bool TTWParleySrv::Stop() {
  LastError = errNone;
  hub_.Stop();
  return true;
}

// --- Handles --------------------------------------------------------------------

TPeer* TTWParleySrv::CheckPeer(TPeerHandle handle) {
  auto it = byHandle_.find(handle);
  return it == byHandle_.end() ? nullptr : it->second;
}

TPeer* TTWParleySrv::SelectPeer(TPeerHandle handle) {
  LastError = errNone;
  TPeer* p = CheckPeer(handle);
  if (!p) LastError = errInvalidHandle;
  return p;
}

int32_t TTWParleySrv::GetMoniker(TPeerHandle handle) {
  TPeer* p = SelectPeer(handle);
  return p ? p->Moniker : 0;
}

void TTWParleySrv::SetMoniker(TPeerHandle handle, int32_t value) {
  if (TPeer* p = SelectPeer(handle)) p->Moniker = value;
}

void TTWParleySrv::DisconnectPeer(TPeerHandle handle) {
  if (SelectPeer(handle)) ClosePeer(handle, PeerCloseCode(kPeerClosedByHost));
}

std::u16string TTWParleySrv::GetPeerName(TPeerHandle handle) {
  TPeer* p = SelectPeer(handle);
  return p ? p->UserName : u"";
}

std::u16string TTWParleySrv::GetPeerAddress(TPeerHandle handle) {
  TPeer* p = SelectPeer(handle);
  return p ? hub_.GetPeerAddress(p->Peer) : u"";  // empty once the hub freed its CPeer
}

int32_t TTWParleySrv::GetPeerPort(TPeerHandle handle) {
  TPeer* p = SelectPeer(handle);
  return p ? hub_.GetPeerPort(p->Peer) : 0;  // 0 once the hub freed its CPeer
}

bool TTWParleySrv::SendBinaryMessage(TPeerHandle handle, const com::VARIANT& message) {
  TPeer* p = SelectPeer(handle);
  if (!p) return false;
  const bool sent = hub_.SendBinaryMessage(p->Peer, message);
  LastError = hub_.LastError;
  return sent;
}

bool TTWParleySrv::GenerateKeypair(std::u16string& publicKey, std::u16string& privateKey) {
  publicKey.clear();
  privateKey.clear();
  return hub_.GenerateKeypair(publicKey, privateKey);
}

// --- Closing and the purge ----------------------------------------------------------

void TTWParleySrv::ClosePeer(TPeerHandle handle, int32_t code) {
  TPeer* p = CheckPeer(handle);
  if (!p || p->Closed) return;
  p->Closed = true;
  p->ClosedTick = win32::GetTickCount();
  // The purge timer runs only while closed records wait: an idle server
  // does not wake for it.
  if (!purgeTimer_.Running()) purgeTimer_ = win32::WindowTimer(timerWindow_.Handle(), kTimerId, kTimerMs);
  const uint32_t hubPeer = p->Peer;
  if (code > 0) hub_.DisconnectPeer(hubPeer);
  if (Events.OnPeerDisconnected) Events.OnPeerDisconnected(handle, code);
}

void TTWParleySrv::TimerTick() {
  // Each record lives at least a second past its close, so the handle keeps
  // answering for that long, as promised; the purge is wrap-safe.
  const uint32_t now = win32::GetTickCount();
  std::erase_if(peers_, [&](const std::unique_ptr<TPeer>& p) {
    const bool purge = p->Closed && static_cast<uint32_t>(now - p->ClosedTick) >= kPurgeAfterMs;
    if (purge) byHandle_.erase(p->Handle);
    return purge;
  });
  const bool waiting = std::any_of(peers_.begin(), peers_.end(), [](const auto& p) { return p->Closed; });
  if (!waiting) purgeTimer_.Stop();
}

// --- Hooks from the hub ----------------------------------------------------------------

void TTWParleySrv::DoPeerConnected(CPeer& peer) {
  if (peer.Owner && CheckPeer(static_cast<TPeerHandle>(peer.Owner))) return;  // already has a handle
  auto record = std::make_unique<TPeer>();
  record->Handle = NewHandle();
  record->Peer = peer.Id;
  record->UserName = peer.UserName;
  const TPeerHandle handle = record->Handle;
  byHandle_.emplace(handle, record.get());
  peers_.push_back(std::move(record));
  hub_.SetOwnerPeer(peer.Id, static_cast<uint32_t>(handle));
  if (Events.OnPeerConnected) Events.OnPeerConnected(handle);
}

void TTWParleySrv::DoPeerRejected(CPeer* peer, TCloseReason reason) {
  if (!Events.OnPeerRejected) return;
  std::u16string name, address;
  int32_t port = 0;
  if (peer) {
    // Read straight from the records: UTF-16 end to end.
    name = peer->UserName;
    address = hub_.GetPeerAddress(peer->Id);
    port = hub_.GetPeerPort(peer->Id);
  }
  Events.OnPeerRejected(name, address, port, ReasonCode(reason));
}

void TTWParleySrv::DoPeerDisconnected(CPeer& peer, TPeerClose code) {
  ClosePeer(static_cast<TPeerHandle>(peer.Owner), PeerCloseCode(code));
}

void TTWParleySrv::DoBinaryMessage(CPeer& peer, const com::VARIANT& message) {
  if (!Events.OnBinaryMessage) return;
  TPeer* owner = CheckPeer(static_cast<TPeerHandle>(peer.Owner));
  Events.OnBinaryMessage(owner ? owner->Handle : 0, message);
}

}  // namespace tw
