// CPipe: one TCP connection of the transport with everything that belongs to
// it: the socket, the connection state, the addresses, the session key, the
// send queue (one message in flight per code), pending acknowledgements, the
// receive side with reassembly, the adaptive read size, an optional rate
// limit, the handshake, and closing with a reason.
//
// A pipe is created and owned by its CMill, which drives it from the pump
// step on the control's thread; nothing here blocks or locks. Received
// messages are posted to the mill window as heap TSack records owned by the
// message until CPipe::DeliverMessage (or the window's release hook) frees it.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/mAES.h"
#include "platform/winsock/winsock.h"
#include "transport/mErtiFrame.h"
#include "transport/twTools.h"

namespace tw {

class CMill;

// Pipe states.
enum : uint8_t {
  psNew = 0,
  psListening = 1,
  psConnecting = 2,
  psSocks4Reply = 3,
  psSocks5Method = 4,
  psSocks5Connect = 5,
  psSocks5Auth = 6,
  psHandshake = 7,
  psSession = 8,
  psClosed = 9,
};

// Why a pipe closed. A close during set-up may carry instead the error
// that ended it (a WinSock error number or the mill's LastError):
// CloseReasonOfError. The value reaches the wire (scError) and the controls
// as it is: ReasonCode.
enum class TCloseReason : int32_t {
  crSocket = 0,
  crLocal = 1,
  crRefused = 4,
  crSecurity = 8,
  crConnectFailed = 11,
  crTimeout = 12,
  crSocks = 21,
  crPassword = 22,
};
using enum TCloseReason;

constexpr TCloseReason CloseReasonOfError(int32_t error) { return static_cast<TCloseReason>(error); }
constexpr int32_t ReasonCode(TCloseReason reason) { return static_cast<int32_t>(reason); }

// Security modes.
enum : int32_t { secNone = 0, secSharedKey = 1, secRsa = 2 };

inline constexpr uint32_t kHandshakeTimeoutMs = 196608;  // 0x30000
inline constexpr uint32_t kFreeDelayMs = 222;
// A closed pipe whose queue never drains (the peer stopped reading) is freed
// at the latest this long after its free-after tick.
inline constexpr uint32_t kSendGiveUpMs = 10000;
// A target whose queue others' messages wait for, and whose socket takes
// no byte for this long, is closed with WSAENOBUFS (TRelayLimits::StallMs).
inline constexpr uint32_t kStallMs = 15000;
// The hub's own notices close a pipe that already holds this many times the
// relay's bound for its peer: relays never take it beyond 3/2 of it.
inline constexpr size_t kHardBoundFactor = 2;
inline constexpr int32_t kMinRecvSize = 1024;
inline constexpr int32_t kMaxRecvSize = 1048576;
inline constexpr int32_t kInitialBufferSize = 1024;
inline constexpr uint32_t kRateWindowMs = 1000;
// One push sends batches while the socket takes them, up to this many times
// the batch budget.
inline constexpr int kPushBudgets = 64;

// The handshake step a pipe expects next; each handler runs only at its own
// step on its own side, so an unsolicited or repeated code fails the pipe.
enum class THandshakeStep : uint8_t {
  None,
  // client
  AwaitModeReply,
  AwaitServerKey,
  AwaitServerHalf1,
  AwaitServerHalf2,
  AwaitChallengeOrAccept,
  AwaitAccept,
  // server
  AwaitModeOffer,
  AwaitClientKey,
  AwaitClientHalf1,
  AwaitClientHalf2,
  AwaitLogin,
  AwaitHostDecision,
  AwaitResponse,
};

class CPipe {
 public:
  explicit CPipe(CMill& mill);
  ~CPipe();  // closes the socket; every queued, partial and pending record goes with it
  CPipe(const CPipe&) = delete;
  CPipe& operator=(const CPipe&) = delete;

  CMill& Mill() { return mill_; }
  int32_t Id() const { return id_; }
  ws::SOCKET Socket() const { return socket_.get(); }
  bool HasSocket() const { return static_cast<bool>(socket_); }
  // Hands the socket over (the mill ends it gracefully); the pipe has none after.
  ws::Socket ReleaseSocket() { return std::move(socket_); }

  // --- Set-up (each does nothing while the mill has an error recorded) -----
  // Makes the pipe's socket; one the pipe held before is closed.
  void CreateSocket();
  // Takes over an accepted socket, closing the one the pipe held; holds none
  // when the mill cannot watch it.
  void AdoptSocket(ws::Socket accepted);
  void SetSendSize(int32_t size);
  void SetRecvSize(int32_t size);
  void BindSocket(const std::string& address, uint16_t port);
  void SetOption(int level, int option, int32_t value);
  void SetBufferOption(int option, int32_t value);
  void StartListening();
  // Starts the non-blocking connect to the host, or to the mill's proxy.
  void Connect(const std::string& host, uint16_t port);

  void QueryRemoteAddress();
  void QueryRemotePort();
  void QueryLocalAddress();
  void QueryLocalPort();
  void QueryAddresses();

  // --- Queueing -------------------------------------------------------------
  // Queues `message` as the body of a new message of `code`; the caller may
  // still set AckWanted, RouteList or PeerId on the result before the next
  // pump step. A message passed by reference is copied into the buffer that
  // a finished message left, so a pipe that is sent many small messages (or
  // one notice sent to many pipes) allocates nothing for each; a temporary
  // is taken whole, without a copy.
  TSack& QueueMessage(int32_t code, const TMessage& message);
  TSack& QueueMessage(int32_t code, TMessage&& message);
  // Queues one of the transport's own messages with its own body.
  TSack& QueueOwn(int32_t code, std::string body = {});
  // Queues a relayed message: `body` is shared with the other targets' queues
  // (nothing copies it), and PeerId and AckWanted are set before it is
  // queued, so the queue counts it for its sender (BytesFrom). The relay
  // pushes an idle target itself, at once.
  TSack& QueueRelayed(int32_t code, TSharedBody body, int32_t peerId, bool ackWanted);
  // Queues a message of the transport's user behind everything queued now:
  // it enters the send queue once every message queued before it has been
  // cut, so it cannot overtake messages of other codes (a farewell after the
  // last data); later messages do not hold it back.
  TSack& QueueLast(int32_t code, std::string body);
  void AddPendingAck(int32_t code, int32_t length) { acks_.push_back({code, length}); }

  // --- Pump-step work ------------------------------------------------------
  void DetectSessionCreated();
  void DetectSessionRejected();
  void FetchData();
  void ParseFrames();
  // Sends the next batches while the socket takes them (see kPushBudgets).
  void PushCart();
  // Asks the mill to push this pipe once the current handler returns; only a
  // pipe in session asks, and only once until the push.
  void RequestPush();
  // What the pipe holds for its peer: the queued messages as QueuedCost
  // counts them and the batch under way.
  size_t HeldBytes() const;
  // The pump tick at which the socket last took bytes, or the backlog began.
  uint32_t LastProgress() const { return progressTick_; }
  // The relay marks each pipe that a message names, so that an id repeated
  // in a route list is served once: false when `serial` marked it already.
  bool MarkRouted(uint64_t serial) {
    if (routeMark_ == serial) return false;
    routeMark_ = serial;
    return true;
  }
  // Whether queueing a body of `adding` bytes would take what the pipe holds
  // beyond the mill's hard bound.
  bool WouldOverfill(size_t adding) const;
  // After a message was queued: closes the pipe (Overfilled) when what it
  // holds is past the hard bound after all, since a queued record may hold
  // more than its body's size (a reused buffer, a body with room to spare);
  // true then, and the message queued is gone with the rest.
  bool CloseIfOverfull();
  // A peer that does not read what it is sent: drops the queue and closes
  // with WSAENOBUFS; its peers hear it left as for any close.
  void Overfilled();
  // The peer's end arrived: closes with `reason`, or, while messages read
  // before it are still posted or wait in the relay for their targets, once
  // the last of them is delivered.
  void EndOfStream(TCloseReason reason);
  // Called after a delivery: closes a pipe whose end waited for it.
  void FinishIfEnded();
  // Dispatches a reassembled message that was posted to the mill window.
  void DeliverMessage(std::unique_ptr<TSack> sack);

  // Closes the pipe: state 9, the close event of the old state, and the
  // free-after tick. The socket stays open until the queue is sent.
  void FinishSession(TCloseReason reason);
  // Sends scError with the reason, then closes with it.
  void Fail(TCloseReason reason);

  // Whether the mill may free this closed pipe at `now`.
  bool ReadyToFree(uint32_t now) const;
  bool TimedOut(uint32_t now) const;

  // --- Rate and size control -----------------------------------------------
  void SendRateLimit();
  void TakeRateLimit(std::string body);
  void UpdateRateLimit();
  bool CheckRateWindow();  // true: throttled
  void AdaptRecvSize(int32_t length);
  void TakeError(std::string body);
  void TakeRecvSize(std::string body);

  // --- Handshake (both sides) ----------------------------------------------
  void StartProtocol();
  void StartServerHandshake();

  // --- Sealing ------------------------------------------------------------
  // The session key and this pump step's IV for BuildCart; no key while the
  // pipe holds none.
  TSealing Sealing();
  void SealIfKeyed(std::string& payload);
  bool OpenIfKeyed(std::string& payload);

  // --- Data (read and written by the mill and the upper layers) ------------
  uint8_t State = psNew;
  bool Incoming = false;
  uint32_t StateStartTick = 0;
  bool Closed = false;          // FreeAfterTick is meaningful only when set
  uint32_t FreeAfterTick = 0;
  int32_t PostedCount = 0;
  bool SendDead = false;        // a hard send error after closing: nothing more goes out
  bool ReadReady = false;       // the mill's readiness set found data or an end this step
  bool PushRequested = false;   // waiting in the mill's push list
  // Something was queued since a push last left the pipe idle. Kept beside
  // the state so that a pump step tells an idle pipe from its first fields.
  bool SendPending = false;
  // The peer's end arrived while messages were posted (EndOfStream): nothing
  // more is read, and the pipe closes with EndReason after the last delivery.
  bool EndSeen = false;
  TCloseReason EndReason = crSocket;

  std::string RemoteAddress;
  uint16_t RemotePort = 0;
  std::string LocalAddress;
  uint16_t LocalPort = 0;

  std::string SocksHost;  // the target the proxy is asked to reach
  uint16_t SocksPort = 0;
  std::string SocksReply;  // a proxy reply gathered across reads

  std::string AppId;  // 8-bit
  std::u16string UserName;
  std::u16string Password;

  std::string SessionKey;
  // Handshake scratch.
  THandshakeStep Step = THandshakeStep::None;
  std::string PeerKey;
  std::string PeerCipher;
  std::string OwnCipher;
  std::string OwnHalf;
  std::string Expected;  // the digest the challenge response must equal
  // Informative values of the handshake; stored, never used.
  int32_t PeerStatedId = 0;
  std::string PeerStatedAddress;
  int32_t PeerStatedPort = 0;
  std::string ServerTimeText;

  int32_t SendSize = kInitialBufferSize;
  int32_t RecvSize = kInitialBufferSize;
  int64_t MeasureBytes = 0;
  uint32_t MeasureStartTick = 0;

  int32_t OwnRateLimit = 0;
  int32_t PeerRateLimit = 0;
  int32_t RateLimit = 0;
  int64_t RateBytes = 0;
  uint32_t RateWindowStart = 0;

  uint32_t Moniker = 0;

  TSendQueue& Queue() { return queue_; }
  const std::deque<TAckEntry>& PendingAcks() const { return acks_; }
  const std::string& SendBuffer() const { return sendBuffer_; }
  TFrameReceiver& Receiver() { return receiver_; }

  // Nothing queued or left in the send buffer.
  bool SendIdle() const { return queue_.Empty() && sendBuffer_.empty() && last_.empty(); }
  // In session with nothing to send: a pump step has work here only when
  // bytes arrive. Reads only the pipe's first fields.
  bool IdleInSession() const { return State == psSession && !SendPending; }

 private:
  TSack& Enqueue(int32_t code, std::unique_ptr<TSack> sack);
  void TakeAck(int64_t code);
  void HandleSystemCode(int32_t code, std::string body);
  void HandleReceiveFault(TFrameFault fault);
  void PostSack(std::unique_ptr<TSack> sack);
  bool SocketWritable();
  bool SendSome();  // true when the whole send buffer went
  TCartLimits CartLimits() const;
  void RecordError(int32_t reason);
  bool ErrorRecorded() const;

  // Handshake handlers; each checks its side and step.
  void TakeModeOffer(std::string body);
  void TakeModeReply(std::string body);
  void TakeClientKey(std::string body);
  void TakeServerKey(std::string body);
  void TakeClientHalf1(std::string body);
  void TakeServerHalf1(std::string body);
  void TakeClientHalf2(std::string body);
  void TakeServerHalf2(std::string body);
  void ApplySecretKey();
  void SendLogin();
  void TakeLogin(std::string body);
  void TakeChallenge(std::string body);
  void TakeResponse(std::string body);
  void AcceptSession();
  void TakeAccept(std::string body);
  bool Expect(THandshakeStep step, bool serverSide);
  bool MakeOwnCipher();
  std::optional<std::string> OpenPeerCipher();
  bool StillHandshaking() const { return State == psHandshake; }

  // SOCKS exchange (client).
  void SocksConnected();
  void TakeSocksReply(std::string_view bytes);
  void TakeSocks4Reply();
  void TakeSocks5Method();
  void TakeSocks5Auth();
  void TakeSocks5Connect();
  void SendSocks5Connect();
  bool SendRaw(const std::string& bytes);

  bool RelayWaiting() const;

  CMill& mill_;
  int32_t id_;
  ws::Socket socket_;
  uint32_t progressTick_ = 0;
  uint64_t routeMark_ = 0;
  TSendQueue queue_;
  // QueueLast: each waits for the messages queued before its mark.
  struct TTrailing {
    std::unique_ptr<TSack> sack;
    uint64_t mark = 0;
  };
  std::deque<TTrailing> last_;
  void ReleaseTrailing();
  std::deque<TAckEntry> acks_;
  std::string sendBuffer_;
  TFrameReceiver receiver_;

  // The session key expanded for sealing, made again only when SessionKey
  // changes (a handshake sets it; tests may change it).
  // Shared with the messages whose sealing it began (TSack::SealKey).
  const std::shared_ptr<const TAesKey>& SealKey();
  std::shared_ptr<const TAesKey> sealKey_;
  std::string sealKeyText_;
};

}  // namespace tw
