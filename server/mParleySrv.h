// TTWParleySrv: the server control's engine. It owns the hub, turns the
// hub's connected peers into the opaque handles the container sees, keeps
// each peer's Moniker, the LastError and the ListeningPort, closes peers on
// the host's request and frees closed peer records on a one-second purge
// driven by its 100 ms timer. Handles are 32-bit serials, never reused while
// a record lives, looked up on every call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/com/variant.h"
#include "platform/win32/window.h"
#include "server/mHub.h"

namespace tw {

using TPeerHandle = int32_t;

struct TPeer {
  TPeerHandle Handle = 0;
  uint32_t Peer = 0;  // the hub's CPeer id; the hub validates it at every use
  int32_t Moniker = 0;
  std::u16string UserName;
  bool Closed = false;
  uint32_t ClosedTick = 0;
};

struct TParleySrvEvents {
  // `handle` names no peer yet: every operation refuses it.
  std::function<void(TPeerHandle handle, const std::u16string& userName, std::u16string& password, bool& accept)>
      OnConnectionRequest;
  std::function<void(TPeerHandle)> OnPeerConnected;
  std::function<void(const std::u16string& userName, const std::u16string& address, int32_t port, int32_t code)>
      OnPeerRejected;
  std::function<void(TPeerHandle, int32_t code)> OnPeerDisconnected;
  std::function<void(TPeerHandle, const com::VARIANT& message)> OnBinaryMessage;  // 0: not connected yet
};

class TTWParleySrv {
 public:
  static constexpr win32::UINT_PTR kTimerId = 1;
  static constexpr uint32_t kTimerMs = 100;
  static constexpr uint32_t kPurgeAfterMs = 1000;
  // The value OnConnectionRequest carries: no handle ever takes it.
  static constexpr TPeerHandle kRequestHandle = -1;

  explicit TTWParleySrv(bool startPump = true);
  ~TTWParleySrv();  // drops every connection without events
  TTWParleySrv(const TTWParleySrv&) = delete;
  TTWParleySrv& operator=(const TTWParleySrv&) = delete;

  TParleySrvEvents Events;
  int32_t LastError = errNone;
  int32_t ListeningPort = 0;

  CHub& Hub() { return hub_; }

  bool Start();
  bool Stop();
  bool GetRunning() const { return hub_.GetRunning(); }

  int32_t GetMoniker(TPeerHandle handle);
  void SetMoniker(TPeerHandle handle, int32_t value);
  void DisconnectPeer(TPeerHandle handle);
  std::u16string GetPeerName(TPeerHandle handle);
  std::u16string GetPeerAddress(TPeerHandle handle);
  int32_t GetPeerPort(TPeerHandle handle);
  bool SendBinaryMessage(TPeerHandle handle, const com::VARIANT& message);

  // Settings forwarded to the hub; none touches LastError.
  int32_t GetSecurityMode() const { return hub_.GetSecurityMode(); }
  void SetSecurityMode(int32_t v) { hub_.SetSecurityMode(v); }
  std::u16string GetPublicKey() const { return hub_.GetPublicKey(); }
  void SetPublicKey(const std::u16string& v) { hub_.SetPublicKey(v); }
  std::u16string GetPrivateKey() const { return hub_.GetPrivateKey(); }
  void SetPrivateKey(const std::u16string& v) { hub_.SetPrivateKey(v); }
  std::u16string GetSecretKey() const { return hub_.GetSecretKey(); }
  void SetSecretKey(const std::u16string& v) { hub_.SetSecretKey(v); }
  std::u16string GetFingerprints() const { return hub_.GetFingerprints(); }
  void SetFingerprints(const std::u16string& v) { hub_.SetFingerprints(v); }
  std::u16string GetLocalIPList() const { return hub_.GetLocalIPList(); }
  std::u16string GetBindAddress() const { return hub_.GetBindAddress(); }
  void SetBindAddress(const std::u16string& v) { hub_.SetBindAddress(v); }
  bool GenerateKeypair(std::u16string& publicKey, std::u16string& privateKey);
  std::u16string TakeFingerprint(const std::u16string& keyText) { return hub_.TakeFingerprint(keyText); }

  // The timer's work: frees closed records once 1000 ms have passed since
  // they closed. Public for tests on a test clock.
  void TimerTick();
  size_t PeerCount() const { return peers_.size(); }

 private:
  TPeer* CheckPeer(TPeerHandle handle);
  TPeer* SelectPeer(TPeerHandle handle);
  void ClosePeer(TPeerHandle handle, int32_t code);
  void DoPeerConnected(CPeer& peer);
  void DoPeerRejected(CPeer* peer, TCloseReason reason);
  void DoPeerDisconnected(CPeer& peer, TPeerClose code);
  void DoBinaryMessage(CPeer& peer, const com::VARIANT& message);
  TPeerHandle NewHandle();

  CHub hub_;
  std::vector<std::unique_ptr<TPeer>> peers_;
  std::unordered_map<TPeerHandle, TPeer*> byHandle_;  // every record in peers_
  TPeerHandle nextHandle_ = 0;
  win32::HiddenWindow timerWindow_;
  win32::WindowTimer purgeTimer_;  // of timerWindow_; runs while closed records wait
};

}  // namespace tw
