// CMate: the client's session with the server hub. It owns the client's CMill
// and knows its one session pipe by id, follows the hub's session commands
// from login to logout, keeps one CTube for every other peer the hub
// announces, bonds each tube with a short exchange of tube controls, sends
// messages to one or more peers by the route list the server relays them by,
// answers and counts end-to-end acknowledgements per tube, and reports upward
// through closures that the client engine binds. What peers make it queue on
// its own (acknowledgements, bond replies) is bounded: answers that cannot
// leave yet wait as counts (kAnswersPerCode).
//
// Tubes are named by 32-bit serials (TTubeId) that are never reused within one
// CMate and are looked up on every use, so a stale id is refused, never read.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/variant.h"
#include "platform/win32/window.h"
#include "transport/mMill.h"
#include "transport/twTools.h"

namespace tw::cln {

using TTubeId = uint32_t;  // 0 names no tube (and, in binary messages, the server host)

// Tube states.
enum : uint8_t { tsNew = 0, tsListed = 1, tsBonded = 2, tsClosed = 3 };

// Tube controls: raw codes, routed to exactly one peer, never sealed.
enum : int32_t { BOND_REQUEST = 1, BOND_REPLY = 2, BOND_CLOSE = 3, BOND_BINARY = 4 };

// Session states.
enum : uint8_t { msClosed = 0, msOpening = 1, msOpen = 2 };

// Codes that end a session (OnMateRejected while opening, OnMateClosed when
// open); any other negative value is minus a transport close reason.
enum : int32_t {
  mcClosedLocally = 1,
  mcSecurity = -8,
  mcConnectionClosed = -10,
  mcConnectFailed = -11,
  mcTimeout = -12,
  mcSocks = -21,
};

// The layer's own errors besides the transport's codes.
enum : int32_t { meInvalidTube = 3, meNotByteArray = 4, meBusy = 30 };

// One pending end-to-end acknowledgement: the wire code and the body length.
struct TPendingAck {
  int32_t Code = 0;
  int32_t Length = 0;
};

// Answers that a tube is owed and that could not enter the session pipe
// yet: a count per code (acknowledgements are alike but for their code).
struct THeldAnswer {
  int32_t Code = 0;
  uint64_t Count = 0;
};

// One other peer of the session.
struct CTube {
  TTubeId Id = 0;
  int32_t PeerId = 0;      // the server-side id of the other peer's pipe
  int32_t UserData = 0;    // the engine's handle for this tube; 0 until bonded
  int32_t Port = 0;
  uint8_t State = tsNew;
  bool Requested = false;  // we sent BOND_REQUEST: the other side bonds first
  std::u16string Name;
  std::u16string Address;
  std::deque<TPendingAck> PendingAcks;  // oldest first
  std::vector<THeldAnswer> Held;        // in the order their codes began to wait
};

// Closures to the engine; each fires only when assigned and never while the
// layer is being destroyed.
struct TMateEvents {
  std::function<void()> OnMateOpen;
  std::function<void(int32_t code)> OnMateClosed;
  std::function<void(int32_t code)> OnMateRejected;
  std::function<void(TTubeId)> OnTubeBonded;
  std::function<void(TTubeId)> OnTubeClosed;
  std::function<void(TTubeId, std::string& body, int32_t channel)> OnTubeMessage;
  std::function<void(TTubeId, int32_t channel)> OnTubeAck;
  // tube 0: a binary message from the server host.
  std::function<void(TTubeId, const com::VARIANT& message)> OnTubeBinary;
};

class CMate {
 public:
  static constexpr win32::UINT_PTR kTimerId = 1;
  static constexpr uint32_t kTimerMs = 100;
  static constexpr uint32_t kPurgeEveryMs = 1000;
  // Notices about other peers kept while the session opens (DoPeerNotice).
  static constexpr size_t kMaxEarlyNotices = 1024;
  // What peers make this layer queue on its own, acknowledgements and
  // BOND_REPLY, enters the session pipe only while fewer than
  // kAnswersPerCode answers of its code wait there and answers of at most
  // kAnswerCodes codes do; the rest waits in its tube as a count per code
  // (a repeated BOND_REPLY counts once), for at most kHeldCodesPerTube codes
  // a tube (the application channels are fewer; a further code's
  // acknowledgement is dropped), and leaves as the pipe drains. So a flood of
  // tiny messages costs O(1) per tube and code, not a queued record each.
  static constexpr size_t kAnswersPerCode = 256;
  static constexpr size_t kAnswerCodes = 16;
  static constexpr size_t kHeldCodesPerTube = 128;
  static constexpr win32::UINT kReleaseMessage = win32::WM_USER + 3;

  // `startPump` false leaves the transport's pump to the caller (tests).
  explicit CMate(std::u16string applicationId, bool startPump = true);
  // Frees the mill, which drops the session without events or messages.
  ~CMate();
  CMate(const CMate&) = delete;
  CMate& operator=(const CMate&) = delete;

  TMateEvents Events;

  CMill& Mill() { return *mill_; }
  int32_t Error() const { return error_; }
  uint8_t State() const { return state_; }
  const std::u16string& UserName() const { return userName_; }
  int32_t SessionPipeId() const { return sessionPipe_; }

  // --- Session -----------------------------------------------------------------
  // True when the state is "opening" after the call: also when it already
  // was (error 30 then).
  bool OpenSession(const std::u16string& host, int32_t port, const std::u16string& user,
                   const std::u16string& password);
  bool CloseSession();
  void Close(int32_t reason);

  // --- Tubes -------------------------------------------------------------------
  bool DisconnectTube(TTubeId tube);
  void CloseTube(TTubeId tube, int32_t reason);
  CTube* CheckTube(TTubeId tube);
  bool SelectTube(TTubeId tube);
  CTube* FindTubeById(int32_t peerId);
  int32_t GetTubeData(TTubeId tube);
  void SetTubeData(TTubeId tube, int32_t data);
  std::u16string GetTubeName(TTubeId tube);
  int32_t GetTubeId(TTubeId tube);
  uint8_t GetTubeState(TTubeId tube);
  int32_t CountPendingAcks(TTubeId tube, int32_t channel);
  size_t TubeCount() const { return tubes_.size(); }
  // Every tube, in announcement order (closed ones until the purge).
  const std::vector<std::unique_ptr<CTube>>& Tubes() const { return tubes_; }

  // --- Sending ------------------------------------------------------------------
  // Queues `body` as channel + 1000 to every valid tube of `targets` (route
  // list from the last target to the first), asking each for an
  // acknowledgement when `ack`. Null when no target is valid (LastError 3).
  // The result is valid until control returns to the message loop or the
  // layer sends again.
  TSack* Send(std::span<const TTubeId> targets, int32_t channel, TMessage body, bool ack = false);
  TSack* Send(TTubeId target, int32_t channel, TMessage body, bool ack = false) {
    return Send(std::span<const TTubeId>(&target, 1), channel, std::move(body), ack);
  }
  // A session command (channel + 1000) to the hub.
  void SendCommand(int32_t channel, TMessage body);
  // A tube control to the one peer of `tube`; nothing without a valid tube.
  void SendTubeControl(TTubeId tube, int32_t code, TMessage body);
  // Tube 0: CMD_BINARY to the server host; else BOND_BINARY to the tube.
  bool SendBinary(TTubeId tube, const com::VARIANT& data);
  int32_t GetChunkSize();

  // --- Settings forwarded to the mill --------------------------------------------
  int32_t GetSecurityMode() const { return mill_->SecurityMode; }
  void SetSecurityMode(int32_t mode) { mill_->SecurityMode = mode; }
  std::u16string GetPublicKey() const { return mill_->GetPublicKey(); }
  void SetPublicKey(const std::u16string& v) { mill_->SetPublicKey(v); }
  std::u16string GetPrivateKey() const { return mill_->GetPrivateKey(); }
  void SetPrivateKey(const std::u16string& v) { mill_->SetPrivateKey(v); }
  std::u16string GetSecretKey() const { return mill_->GetSecretKey(); }
  void SetSecretKey(const std::u16string& v) { mill_->SetSecretKey(v); }
  std::u16string GetFingerprints() const { return mill_->GetFingerprints(); }
  void SetFingerprints(const std::u16string& v) { mill_->SetFingerprints(v); }
  std::u16string GetBindAddress() const { return mill_->BindAddress; }
  void SetBindAddress(const std::u16string& v) { mill_->BindAddress = v; }
  // The session pipe's remote address and port; empty and 0 once the mill
  // has freed the pipe.
  std::u16string GetServerAddress();
  int32_t GetServerPort();
  int32_t GetSocksVersion() const { return mill_->SocksVersion; }
  void SetSocksVersion(int32_t v) { mill_->SocksVersion = v; }
  std::u16string GetSocksServer() const { return mill_->SocksHost; }
  void SetSocksServer(const std::u16string& v) { mill_->SocksHost = v; }
  int32_t GetSocksPort() const { return mill_->SocksPort; }
  void SetSocksPort(int32_t v);
  std::u16string GetSocksUsername() const { return mill_->SocksUser; }
  void SetSocksUsername(const std::u16string& v) { mill_->SocksUser = v; }
  std::u16string GetSocksPassword() const { return mill_->SocksPassword; }
  void SetSocksPassword(const std::u16string& v) { mill_->SocksPassword = v; }
  bool GenerateKeypair(std::u16string& publicKey, std::u16string& privateKey);
  std::u16string TakeFingerprint(const std::u16string& publicKey) { return mill_->TakeFingerprint(publicKey); }

  // The 100 ms timer's work: once a second, destroys the closed tubes.
  // Public for tests on a test clock.
  void TimerTick();
  void PurgeTubes();

 private:
  // Mill events.
  void GoSessionOpen(CPipe& pipe);
  void GoSessionRejected(CPipe& pipe, TCloseReason reason);
  void GoSessionClosed(CPipe& pipe);
  void GoSackReceived(CPipe& pipe, int32_t channel, std::string& body);
  void GoBondSack(CPipe& pipe, TSack& message);

  // Session commands and tube controls.
  void DoLoginAccepted();
  void DoPeerNotice(int32_t channel, std::string& body);
  void TakeEarlyNotices();
  CTube& AddTube(std::string& body);
  // The tube of `peerId` that is not closed, or nullptr.
  CTube* FindOpenTube(int32_t peerId);
  void DoPeerListed(std::string& body);
  void DoPeerJoined(std::string& body);
  void DoPeerLeft(std::string& body);
  void DoTubeControl(CTube& tube, int32_t code, std::string& body);
  void DoBondRequest(CTube& tube);
  void DoBondReply(CTube& tube);
  void DoBinary(TTubeId tube, std::string& body);
  void DoMessage(CTube& tube, TSack& message);
  bool BondedBySender(CTube& tube);
  void DoAck(CTube& tube, int32_t code);

  // Answers (acknowledgements, BOND_REPLY) to one tube: queued at once while
  // the pipe takes them, else held (see kAnswersPerCode).
  void Answer(CTube& tube, int32_t code);
  bool PipeTakesAnswer(CPipe& pipe, int32_t code);
  void QueueAnswer(int32_t code, int32_t peerId);
  void Hold(CTube& tube, int32_t code);
  // Moves held answers into the pipe while it takes them; true when any moved.
  bool ReleaseHeld();
  bool ReleaseOneOfEach(CPipe& pipe, CTube& tube);
  void PostRelease();
  void TakeReleaseMessage();

  CPipe* SessionPipe();
  // Queues `body` as `code` on the session pipe, routed to `peerId` when not 0.
  TSack* Queue(int32_t code, std::string body, int32_t peerId);

  std::u16string appId_;
  std::vector<std::unique_ptr<CTube>> tubes_;  // announcement order; ids ascending
  bool destroying_ = false;
  TTubeId nextTube_ = 0;
  uint32_t lastSecondTick_ = 0;
  win32::HiddenWindow timerWindow_;
  win32::WindowTimer timer_;  // of timerWindow_
  std::unique_ptr<CMill> mill_;
  int32_t sessionPipe_ = 0;  // the id, never a pointer: the mill frees closed pipes
  int32_t error_ = 0;
  uint8_t state_ = msClosed;
  std::u16string userName_;
  // Peer notices (channel, body) that came while the session was opening.
  std::vector<std::pair<int32_t, std::string>> earlyNotices_;
  std::vector<int32_t> answerCodes_;  // codes of answers that may still wait in the pipe
  std::vector<TTubeId> heldTubes_;    // tubes that hold answers, in turn
  bool releasePosted_ = false;        // kReleaseMessage is on its way
};

}  // namespace tw::cln
