// CHub: the server's session layer. It owns the server's CMill, decides
// which logins reach the host, keeps one CPeer for every admitted connection,
// carries out the session commands CMD_READY..CMD_BINARY, announces and
// introduces peers to each other, tells the others when one leaves, and
// carries binary messages between a client and the host.
//
// Peers are named by 32-bit serial ids, looked up on every use; the pipe of
// an admitted connection carries its peer's id as its moniker.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/com/variant.h"
#include "transport/mMill.h"
#include "transport/mSessionCommands.h"

namespace tw {

// Why a peer closed: closed by the host, the connection closed, the
// handshake failed. The code reaches the other peers (CMD_PEER_LEFT) and the
// server control's OnPeerDisconnected as it is: PeerCloseCode.
enum class TPeerClose : int32_t { kPeerClosedByHost = 1, kPeerConnectionClosed = -10, kPeerHandshakeFailed = -11 };
using enum TPeerClose;

constexpr int32_t PeerCloseCode(TPeerClose code) { return static_cast<int32_t>(code); }

// One admitted connection.
struct CPeer {
  enum : uint8_t { Accepted = 0, Connected = 2, Closed = 3 };
  uint32_t Id = 0;        // serial, never 0
  int32_t PipeId = 0;     // its server pipe; the peer id on the wire
  uint32_t Owner = 0;     // the engine's handle, once connected
  std::u16string UserName;
  uint8_t State = Accepted;
  bool Announced = false;  // its CMD_ANNOUNCE went out: a repeated one adds nothing
};

struct THubEvents {
  std::function<void(CPeer&)> OnPeerConnected;
  std::function<void(CPeer&, TPeerClose code)> OnPeerDisconnected;
  std::function<void(CPeer* peer, TCloseReason reason)> OnPeerRejected;  // peer: none when never admitted
  std::function<void(const std::u16string& userName, std::u16string& password, bool& accept)> OnConnectionRequest;
  std::function<void(CPeer&, const com::VARIANT& message)> OnBinaryMessage;
};

class CHub {
 public:
  // `startPump` false leaves the transport's pump to the caller (tests).
  explicit CHub(std::u16string applicationId, bool startPump = true);
  ~CHub();  // drops every connection without events or CMD_PEER_LEFT
  CHub(const CHub&) = delete;
  CHub& operator=(const CHub&) = delete;

  THubEvents Events;
  int32_t LastError = errNone;
  int32_t Port = 0;

  CMill& Mill() { return mill_; }

  bool Start();
  bool Stop();
  bool GetRunning() const { return mill_.IsListening(); }

  // Every operation on a peer validates the id first (errInvalidHandle).
  CPeer* SelectPeer(uint32_t id);
  CPeer* FindPeer(uint32_t id);
  void DisconnectPeer(uint32_t id);
  std::u16string GetPeerName(uint32_t id);
  std::u16string GetPeerAddress(uint32_t id);
  int32_t GetPeerPort(uint32_t id);
  uint32_t GetOwnerPeer(uint32_t id);
  void SetOwnerPeer(uint32_t id, uint32_t owner);
  bool SendBinaryMessage(uint32_t id, const com::VARIANT& message);

  // Settings forwarded to the transport.
  int32_t GetSecurityMode() const { return mill_.SecurityMode; }
  void SetSecurityMode(int32_t mode) { mill_.SecurityMode = mode; }
  std::u16string GetPublicKey() const { return mill_.GetPublicKey(); }
  void SetPublicKey(const std::u16string& k) { mill_.SetPublicKey(k); }
  std::u16string GetPrivateKey() const { return mill_.GetPrivateKey(); }
  void SetPrivateKey(const std::u16string& k) { mill_.SetPrivateKey(k); }
  std::u16string GetSecretKey() const { return mill_.GetSecretKey(); }
  void SetSecretKey(const std::u16string& k) { mill_.SetSecretKey(k); }
  std::u16string GetFingerprints() const { return mill_.GetFingerprints(); }
  void SetFingerprints(const std::u16string& f) { mill_.SetFingerprints(f); }
  std::u16string GetLocalIPList() const;
  std::u16string GetBindAddress() const { return mill_.BindAddress; }
  void SetBindAddress(const std::u16string& a) { mill_.BindAddress = a; }
  bool GenerateKeypair(std::u16string& publicKey, std::u16string& privateKey);
  std::u16string TakeFingerprint(const std::u16string& keyText) { return mill_.TakeFingerprint(keyText); }

  size_t PeerCount() const { return peers_.size(); }

 private:
  void DoConnectionRequest(CPipe& pipe, const std::u16string& appId, const std::u16string& userName,
                           std::u16string& password, bool& accept);
  void DoPeerRejected(CPipe& pipe, TCloseReason reason);
  void DoPipeClosed(CPipe& pipe);
  void DoCommand(CPipe& pipe, int32_t channel, std::string& body);
  CPeer* PipePeer(CPipe& pipe);
  void PeerReady(CPeer& peer);
  void AnnouncePeer(CPeer& sender);
  void IntroducePeer(CPeer& sender, std::string& body);
  void DoBinaryMessage(CPeer& peer, std::string& body);
  void ClosePeer(uint32_t id, TPeerClose code);
  // The peer record of `about`: its peer id, user name, address and port.
  TMessage PeerRecord(const CPeer& about);

  std::u16string appId_;
  CMill mill_;
  std::vector<std::unique_ptr<CPeer>> peers_;  // admission order
  std::unordered_map<uint32_t, CPeer*> byId_;  // every peer in peers_
  uint32_t nextId_ = 0;
};

}  // namespace tw
