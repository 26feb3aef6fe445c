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

// Close reasons; any other value is a WinSock error recorded during set-up.
enum : int32_t {
  crSocket = 0,
  crLocal = 1,
  crRefused = 4,
  crSecurity = 8,
  crConnectFailed = 11,
  crTimeout = 12,
  crSocks = 21,
  crPassword = 22,
};

// Security modes.
enum : int32_t { secNone = 0, secSharedKey = 1, secRsa = 2 };

inline constexpr uint32_t kHandshakeTimeoutMs = 196608;  // 0x30000
inline constexpr uint32_t kFreeDelayMs = 222;
// A closed pipe whose queue never drains (the peer stopped reading) is freed
// at the latest this long after its free-after tick.
inline constexpr uint32_t kSendGiveUpMs = 10000;
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

  // --- Fields under construction and queueing ------------------------------
  void PutIntField(int32_t v) { tw::PutIntField(fields_, v); }
  void PutInt64Field(int64_t v) { tw::PutInt64Field(fields_, v); }
  void PutStrField(std::string_view v) { tw::PutStrField(fields_, v); }
  void PutWideField(std::u16string_view v) { tw::PutWideField(fields_, v); }
  void PutRaw(std::string_view v) { fields_.append(v); }
  void ClearFields() { fields_.clear(); }
  const std::string& Fields() const { return fields_; }

  // Takes the fields under construction as the body of a new message of
  // `code` and queues it; the caller may still set AckWanted, RouteList or
  // PeerId on the result before the next pump step.
  TSack& QueueMessage(int32_t code);
  // Queues one of the transport's own messages with its own body, leaving
  // the fields under construction alone.
  TSack& QueueOwn(int32_t code, std::string body = {});
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
  // Whether queueing `adding` more bytes would take what the pipe holds for
  // its peer beyond the mill's MaxQueuedBytes.
  bool WouldOverfill(size_t adding) const;
  // A peer that does not read what it is sent: drops the queue and closes
  // with WSAENOBUFS; its peers hear it left as for any close.
  void Overfilled();
  // Dispatches a reassembled message that was posted to the mill window.
  void DeliverMessage(std::unique_ptr<TSack> sack);

  // Closes the pipe: state 9, the close event of the old state, and the
  // free-after tick. The socket stays open until the queue is sent.
  void FinishSession(int32_t reason);
  // Sends scError with the reason, then closes with it.
  void Fail(int32_t reason);

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
  bool SendIdle() const { return queue_.Empty() && sendBuffer_.empty(); }
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

  CMill& mill_;
  int32_t id_;
  ws::Socket socket_;
  std::string fields_;
  TSendQueue queue_;
  std::deque<TAckEntry> acks_;
  std::string sendBuffer_;
  TFrameReceiver receiver_;

  // The session key expanded for sealing, made again only when SessionKey
  // changes (a handshake sets it; tests may change it).
  const TAesKey& SealKey();
  std::unique_ptr<TAesKey> sealKey_;
  std::string sealKeyText_;
};

}  // namespace tw
