// CPipe: socket set-up, reading, sending, delivery, acknowledgements, rate
// and size control, closing. The handshake handlers live in mHandshake.cpp,
// the SOCKS exchange in mSocks.cpp.

#include "transport/mPipe.h"

#include <algorithm>
#include <limits>

#include "platform/win32/messages.h"
#include "transport/mMill.h"
#include "transport/mSeal.h"

namespace tw {

namespace {

int32_t ClampRecvSize(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, kMinRecvSize, kMaxRecvSize));
}

}  // namespace

CPipe::CPipe(CMill& mill)
    : mill_(mill),
      id_(mill.NewPipeId()),
      // The read size adapts to the bytes read (FetchData), not to whole
      // frames: a frame larger than the read size would take more than a
      // second to arrive at that size and the size could never grow.
      receiver_(TJoinHooks{
          nullptr,
          [this](std::string& payload) { return OpenIfKeyed(payload); },
          [this](std::unique_ptr<TSack> sack) { PostSack(std::move(sack)); },
      }) {}

CPipe::~CPipe() = default;  // the socket closes with its owner


void CPipe::RecordError(int32_t reason) { mill_.RecordError(reason); }
bool CPipe::ErrorRecorded() const { return mill_.LastError != 0; }

// --- Set-up ------------------------------------------------------------------

void CPipe::CreateSocket() {
  socket_.reset(ws::socket(ws::AF_INET, ws::SOCK_STREAM, ws::IPPROTO_TCP));
  if (!socket_) {
    RecordError(0);
    return;
  }
  if (!mill_.Watch(*this)) {
    RecordError(0);
    return;
  }
  if (ErrorRecorded()) return;
  ws::u_long on = 1;
  if (ws::ioctlsocket(Socket(), ws::FIONBIO, &on) == ws::SOCKET_ERROR) RecordError(0);
  if (mill_.ReuseAddress) SetOption(ws::SOL_SOCKET, ws::SO_REUSEADDR, -1);
  SetOption(ws::IPPROTO_TCP, ws::TCP_NODELAY, -1);
}

void CPipe::AdoptSocket(ws::Socket accepted) {
  socket_ = std::move(accepted);
  // A socket the mill cannot watch would never be read: the pipe goes without it.
  if (socket_ && !mill_.Watch(*this)) socket_.reset();
}

void CPipe::SetSendSize(int32_t size) {
  SendSize = size;
  SetBufferOption(ws::SO_SNDBUF, size * 2 + 256);
}

void CPipe::SetRecvSize(int32_t size) {
  RecvSize = size;
  SetBufferOption(ws::SO_RCVBUF, size * 2 + 256);
}

void CPipe::SetBufferOption(int option, int32_t value) {
  if (!HasSocket()) return;
  if (State < psConnecting) {
    SetOption(ws::SOL_SOCKET, option, value);  // set-up: the first failure is the one kept
  } else {
    // A live connection resizes whatever an unrelated error recorded in the
    // mill says; a refused size leaves the old buffer, which still works.
    ws::setsockopt(Socket(), ws::SOL_SOCKET, option, &value, sizeof value);
  }
}

void CPipe::SetOption(int level, int option, int32_t value) {
  if (ErrorRecorded() || !HasSocket()) return;
  if (ws::setsockopt(Socket(), level, option, &value, sizeof value) == ws::SOCKET_ERROR) RecordError(0);
}

void CPipe::BindSocket(const std::string& address, uint16_t port) {
  if (ErrorRecorded()) return;
  ws::sockaddr_in sa;
  sa.sin_family = ws::AF_INET;
  sa.sin_port = ws::htons(port);
  sa.sin_addr.s_addr = ws::inet_addr(address.empty() ? "0.0.0.0" : address.c_str());
  if (sa.sin_addr.s_addr == ws::INADDR_NONE) {
    RecordError(ws::WSAEINVAL);
    return;
  }
  if (ws::bind(Socket(), reinterpret_cast<const ws::sockaddr*>(&sa), sizeof sa) == ws::SOCKET_ERROR)
    RecordError(0);
}

void CPipe::StartListening() {
  if (ErrorRecorded()) return;
  // The system's largest backlog: when hundreds of clients dial at once (a
  // server restart), a short one makes the kernel drop their requests and
  // the clients wait seconds for each retry.
  if (ws::listen(Socket(), ws::SOMAXCONN) == ws::SOCKET_ERROR) {
    RecordError(0);
    return;
  }
  State = psListening;
  QueryLocalAddress();
  QueryLocalPort();
}

void CPipe::Connect(const std::string& host, uint16_t port) {
  if (ErrorRecorded()) return;
  SocksHost = host;
  SocksPort = port;
  const bool viaProxy = !mill_.SocksHost.empty();
  const std::string target = viaProxy ? mill_.SocksHostAnsi() : host;
  const uint16_t targetPort = viaProxy ? mill_.SocksPort : port;
  std::optional<ws::in_addr> addr = CMill::ResolveHost(target);
  if (!addr) {
    RecordError(viaProxy ? ReasonCode(crSocks) : 0);
    return;
  }
  ws::sockaddr_in sa;
  sa.sin_family = ws::AF_INET;
  sa.sin_port = ws::htons(targetPort);
  sa.sin_addr = *addr;
  if (ws::connect(Socket(), reinterpret_cast<const ws::sockaddr*>(&sa), sizeof sa) == ws::SOCKET_ERROR &&
      ws::WSAGetLastError() != ws::WSAEWOULDBLOCK) {
    RecordError(viaProxy ? ReasonCode(crSocks) : 0);
    return;
  }
  StateStartTick = mill_.PumpTick();
  State = psConnecting;
}

namespace {

bool QueryName(ws::SOCKET s, bool peer, std::string& address, uint16_t& port) {
  ws::sockaddr_in sa;
  int len = sizeof sa;
  auto* p = reinterpret_cast<ws::sockaddr*>(&sa);
  int rc = peer ? ws::getpeername(s, p, &len) : ws::getsockname(s, p, &len);
  if (rc == ws::SOCKET_ERROR) {
    address.clear();
    port = 0;
    return false;
  }
  address = ws::inet_ntoa(sa.sin_addr);
  port = ws::ntohs(sa.sin_port);
  return true;
}

}  // namespace

void CPipe::QueryRemoteAddress() {
  if (State < psHandshake) return;
  uint16_t port;
  if (QueryName(Socket(), true, RemoteAddress, port) && RemoteAddress == mill_.LoopbackText()) {
    std::string first = mill_.FirstLocalAddress();
    if (!first.empty()) RemoteAddress = first;
  }
}

void CPipe::QueryRemotePort() {
  if (State < psHandshake) return;
  std::string address;
  QueryName(Socket(), true, address, RemotePort);
}

void CPipe::QueryLocalAddress() {
  uint16_t port;
  QueryName(Socket(), false, LocalAddress, port);
}

void CPipe::QueryLocalPort() {
  std::string address;
  QueryName(Socket(), false, address, LocalPort);
}

void CPipe::QueryAddresses() {
  QueryRemoteAddress();
  QueryRemotePort();
  QueryLocalAddress();
  QueryLocalPort();
}

// --- Queueing ----------------------------------------------------------------

TSack& CPipe::QueueMessage(int32_t code, const TMessage& message) {
  if (SendIdle()) RequestPush();
  // Copied into the buffer that a finished message left (NewRecord): no
  // allocation once a few messages have gone.
  std::unique_ptr<TSack> sack = queue_.NewRecord();
  sack->Payload.assign(message.Bytes());
  return Enqueue(code, std::move(sack));
}

TSack& CPipe::QueueMessage(int32_t code, TMessage&& message) {
  if (SendIdle()) RequestPush();
  return QueueOwn(code, std::move(message).Take());
}

TSack& CPipe::QueueOwn(int32_t code, std::string body) {
  std::unique_ptr<TSack> sack = queue_.NewRecord();
  sack->Payload = std::move(body);
  return Enqueue(code, std::move(sack));
}

TSack& CPipe::QueueRelayed(int32_t code, TSharedBody body, int32_t peerId, bool ackWanted) {
  std::unique_ptr<TSack> sack = queue_.NewRecord();
  sack->Shared = std::move(body);
  sack->PeerId = peerId;
  sack->AckWanted = ackWanted ? 1 : 0;
  return Enqueue(code, std::move(sack));
}

TSack& CPipe::Enqueue(int32_t code, std::unique_ptr<TSack> sack) {
  if (SendIdle()) progressTick_ = mill_.PumpTick();  // a backlog starts now
  SendPending = true;
  mill_.Stir();
  sack->Code = code;
  return queue_.Queue(std::move(sack));
}

TSack& CPipe::QueueLast(int32_t code, std::string body) {
  if (SendIdle()) return QueueOwn(code, std::move(body));
  SendPending = true;
  mill_.Stir();
  std::unique_ptr<TSack> sack = queue_.NewRecord();
  sack->Code = code;
  sack->Payload = std::move(body);
  TSack& queued = *sack;
  last_.push_back({std::move(sack), queue_.NextSeq()});
  return queued;
}

void CPipe::ReleaseTrailing() {
  while (!last_.empty() && queue_.DoneBefore(last_.front().mark)) {
    queue_.Queue(std::move(last_.front().sack));
    last_.pop_front();
  }
}

void CPipe::RequestPush() {
  if (State == psSession && !PushRequested) mill_.RequestPush(*this);
}

size_t CPipe::HeldBytes() const { return queue_.Bytes() + sendBuffer_.size(); }

bool CPipe::WouldOverfill(size_t adding) const { return HeldBytes() + QueuedCost(adding) > mill_.HardBound(); }

bool CPipe::CloseIfOverfull() {
  if (HeldBytes() <= mill_.HardBound()) return false;
  Overfilled();
  return true;
}

bool CPipe::RelayWaiting() const {
  const TRelayFlow* relay = mill_.Relay();
  return relay && relay->Waiting(id_);
}

void CPipe::EndOfStream(TCloseReason reason) {
  if ((PostedCount > 0 || RelayWaiting()) && (State == psHandshake || State == psSession)) {
    EndSeen = true;
    EndReason = reason;
    return;
  }
  FinishSession(reason);
}

void CPipe::FinishIfEnded() {
  if (EndSeen && PostedCount <= 0 && !RelayWaiting() && State != psClosed) FinishSession(EndReason);
}

void CPipe::Overfilled() {
  // The batch under way still leaves whole, so the peer reads a clean end;
  // nothing queued behind it will.
  queue_.Clear();
  last_.clear();
  FinishSession(CloseReasonOfError(ws::WSAENOBUFS));
}

// --- Connect completion ------------------------------------------------------

bool CPipe::SocketWritable() {
  if (!HasSocket()) return false;
  ws::fd_set set;
  set.Add(Socket());
  ws::timeval zero;
  return ws::select(0, nullptr, &set, nullptr, &zero) > 0 && set.Contains(Socket());
}

void CPipe::DetectSessionCreated() {
  mill_.Guard("DetectSessionCreated", [&] {
    if (State != psConnecting || !SocketWritable()) return;
    StateStartTick = mill_.PumpTick();
    if (!mill_.SocksHost.empty())
      SocksConnected();
    else
      StartProtocol();
  });
}

void CPipe::DetectSessionRejected() {
  mill_.Guard("DetectSessionRejected", [&] {
    if (State != psConnecting || !HasSocket()) return;
    ws::fd_set set;
    set.Add(Socket());
    ws::timeval zero;
    if (ws::select(0, nullptr, nullptr, &set, &zero) > 0 && set.Contains(Socket()))
      FinishSession(crConnectFailed);
  });
}

// --- Reading -----------------------------------------------------------------

void CPipe::FetchData() {
  if (State < psConnecting || State > psSession || !ReadReady || EndSeen) return;
  // A sender whose messages fill the targets they wait for is not read, nor,
  // past the hub's ceiling, one in the middle of a large message: TCP holds
  // it back until there is room.
  size_t readLimit = static_cast<size_t>(RecvSize);
  if (TRelayFlow* relay = mill_.Relay(); relay && State == psSession) {
    if (!relay->MayRead(id_, receiver_.Unfinished())) return;
    readLimit = relay->ReadLimit(readLimit);
  }
  ReadReady = false;
  ws::u_long waiting = 0;
  if (ws::ioctlsocket(Socket(), ws::FIONREAD, &waiting) == ws::SOCKET_ERROR ||
      static_cast<int32_t>(waiting) <= 0) {
    // A proxy that hangs up in the middle of its exchange is a SOCKS failure.
    if (State >= psSocks4Reply && State <= psSocks5Auth)
      FinishSession(crSocks);
    else
      EndOfStream(crSocket);
    return;
  }
  const auto want = static_cast<int32_t>(std::min<int64_t>(waiting, static_cast<int64_t>(readLimit)));
  if (State >= psSocks4Reply && State <= psSocks5Auth) {
    std::string bytes(static_cast<size_t>(want), '\0');
    int got = ws::recv(Socket(), bytes.data(), want, 0);
    if (got == ws::SOCKET_ERROR) return;
    bytes.resize(static_cast<size_t>(got));
    TakeSocksReply(bytes);
    return;
  }
  char* into = receiver_.PrepareWrite(static_cast<size_t>(want));
  int got = ws::recv(Socket(), into, want, 0);
  receiver_.CommitWrite(got == ws::SOCKET_ERROR ? 0 : static_cast<size_t>(got));
  if (got > 0) AdaptRecvSize(got);
}

void CPipe::ParseFrames() {
  if (State < psConnecting || State > psSession) return;
  TFrameFault fault = receiver_.ParseFrames();
  if (fault != TFrameFault::None) HandleReceiveFault(fault);
}

void CPipe::HandleReceiveFault(TFrameFault) {
  // Malformed frames, hostile prefixes, oversized reassembly and bodies that
  // do not open all end the pipe the same way; no event about the message.
  if (State != psClosed) FinishSession(crSecurity);
}

void CPipe::PostSack(std::unique_ptr<TSack> sack) {
  ++PostedCount;
  TSack* raw = sack.release();
  if (!win32::PostMessageA(mill_.Window(), CMill::kDeliverMessage, static_cast<win32::WPARAM>(id_),
                           reinterpret_cast<win32::LPARAM>(raw))) {
    delete raw;  // the window is gone: the message has nowhere to go
    --PostedCount;
  }
}

// --- Sending -----------------------------------------------------------------

TCartLimits CPipe::CartLimits() const {
  return TCartLimits{SendSize, RateLimit, mill_.PumpTick()};
}

// Sends batch after batch while the socket takes them whole, up to
// kPushBudgets times the batch budget (the peer's read size, halved by a
// rate limit), so a backlog drains at the speed of the connection rather
// than one message per code and step. Each batch is cut as BuildCart cuts
// it, so the bytes on the wire are the same; but the batches of one pass
// are gathered into the send buffer, as many as the socket's buffer holds,
// and leave in one write, not one write (and one system call) each: a
// queue of many small messages of one code (announcements) would otherwise
// cost a write per message. Stops at once when the socket is full (what it
// did not take waits in the send buffer), when the queue is empty and when
// the rate limit holds the next batch back.
void CPipe::PushCart() {
  mill_.Guard("PushCart", [&] {
    if (State < psSocks4Reply || SendDead || !HasSocket() || SendIdle()) return;
    const int64_t budget = CartBudget(CartLimits());
    const int64_t bound = int64_t{kPushBudgets} * budget;
    // What the socket's buffer was sized to hold (SetSendSize).
    const auto gather = static_cast<size_t>(2 * budget + 256);
    TCartHooks hooks{
        [this] { return CheckRateWindow(); },
        [this](int32_t size) { RateBytes += size; },
        [this] { return Sealing(); },
    };
    for (int64_t pushed = 0; pushed < bound;) {
      while (sendBuffer_.size() < gather) {
        if (!last_.empty()) ReleaseTrailing();
        if (queue_.Empty() || BuildCart(queue_, sendBuffer_, CartLimits(), hooks) == 0) break;
      }
      if (sendBuffer_.empty()) return;
      pushed += static_cast<int64_t>(sendBuffer_.size());
      if (!SendSome()) return;
    }
  });
  SendPending = !SendIdle();
}

bool CPipe::SendSome() {
  const int len = static_cast<int>(std::min<size_t>(sendBuffer_.size(), std::numeric_limits<int>::max()));
  const int sent = ws::send(Socket(), sendBuffer_.data(), len, 0);
  if (sent == ws::SOCKET_ERROR) {
    // A closed pipe whose peer has gone can never empty its queue: drop it
    // so the pipe is freed. An open pipe retries; its reader sees the end.
    if (State == psClosed && ws::WSAGetLastError() != ws::WSAEWOULDBLOCK) {
      SendDead = true;
      sendBuffer_.clear();
      queue_.Clear();
      last_.clear();
    }
    return false;
  }
  if (sent > 0) progressTick_ = mill_.PumpTick();
  sendBuffer_.erase(0, static_cast<size_t>(sent));
  return sendBuffer_.empty();
}

// --- Delivery ----------------------------------------------------------------

void CPipe::DeliverMessage(std::unique_ptr<TSack> sack) {
  struct PostedGuard {
    CPipe& pipe;
    ~PostedGuard() { --pipe.PostedCount; }
  } guard{*this};

  if (!sack->RouteList.empty()) {
    mill_.RouteSack(*this, *sack);
  } else if (sack->PeerId != 0) {
    if (State == psSession && mill_.Events.OnBondSack) mill_.Events.OnBondSack(*this, *sack);
  } else if (sack->Code >= sackAppBase) {
    if (sack->AckWanted) QueueOwn(-sack->Code);
    const int32_t channel = sack->Code - sackAppBase;
    sack->Code = channel;
    if (State == psSession && mill_.Events.OnSackReceived)
      mill_.Events.OnSackReceived(*this, channel, sack->Payload);
  } else if (sack->Code < 0) {
    TakeAck(-static_cast<int64_t>(sack->Code));
  } else {
    HandleSystemCode(sack->Code, std::move(sack->Payload));
  }
}

void CPipe::TakeAck(int64_t code) {
  if (State != psSession || code > std::numeric_limits<int32_t>::max()) return;
  auto it = std::find_if(acks_.begin(), acks_.end(), [&](const TAckEntry& e) { return e.Code == code; });
  if (it == acks_.end()) return;
  acks_.erase(it);
  if (mill_.Events.OnSackSent) mill_.Events.OnSackSent(*this, static_cast<int32_t>(code - sackAppBase));
}

void CPipe::HandleSystemCode(int32_t code, std::string body) {
  mill_.ReportText("CPipe.ShipSystemSack " + std::to_string(code));
  switch (code) {
    case scRecvSize: TakeRecvSize(std::move(body)); break;
    case scRateLimit: TakeRateLimit(std::move(body)); break;
    case scError: TakeError(std::move(body)); break;
    case scModeOffer: TakeModeOffer(std::move(body)); break;
    case scModeReply: TakeModeReply(std::move(body)); break;
    case scClientKey: TakeClientKey(std::move(body)); break;
    case scServerKey: TakeServerKey(std::move(body)); break;
    case scClientHalf1: TakeClientHalf1(std::move(body)); break;
    case scServerHalf1: TakeServerHalf1(std::move(body)); break;
    case scClientHalf2: TakeClientHalf2(std::move(body)); break;
    case scServerHalf2: TakeServerHalf2(std::move(body)); break;
    case scLogin: TakeLogin(std::move(body)); break;
    case scAccept: TakeAccept(std::move(body)); break;
    case scChallenge: TakeChallenge(std::move(body)); break;
    case scResponse: TakeResponse(std::move(body)); break;
    default: break;  // no meaning in the transport
  }
}

void CPipe::TakeRecvSize(std::string body) {
  // The peer's read size, bounded: 0 or less would silence the pipe, a value
  // near 2^31 would overflow the batch budget.
  SetSendSize(ClampRecvSize(ReadIntField(body)));
}

void CPipe::TakeError(std::string body) {
  RecordError(ReadIntField(body));
  FinishSession(crSocket);
}

// --- Rate and size control ---------------------------------------------------

void CPipe::SendRateLimit() {
  if (State >= psHandshake) QueueOwn(scRateLimit, IntToField(OwnRateLimit));
}

void CPipe::TakeRateLimit(std::string body) {
  PeerRateLimit = ReadIntField(body);
  UpdateRateLimit();
}

void CPipe::UpdateRateLimit() {
  RateLimit = OwnRateLimit;
  if (PeerRateLimit > 0 && (OwnRateLimit == 0 || PeerRateLimit < OwnRateLimit)) RateLimit = PeerRateLimit;
  RateBytes = 0;
}

bool CPipe::CheckRateWindow() {
  if (RateLimit <= 0 || RateBytes <= 0) return false;
  const uint32_t now = mill_.PumpTick();
  if (static_cast<uint32_t>(now - RateWindowStart) > kRateWindowMs) {
    RateWindowStart = now;
    RateBytes -= RateLimit;  // what went beyond the limit carries over
    return false;
  }
  return RateBytes >= RateLimit;
}

void CPipe::AdaptRecvSize(int32_t length) {
  MeasureBytes += length;
  if (MeasureBytes < RecvSize) return;
  const uint32_t now = mill_.PumpTick();
  const uint32_t elapsed = now - MeasureStartTick;
  int32_t next = RecvSize;
  if (elapsed > 1000 && RecvSize > kMinRecvSize)
    next = RecvSize / 2;
  else if (elapsed < 500 && RecvSize < kMaxRecvSize)
    next = RecvSize * 2;
  if (next != RecvSize) {
    SetRecvSize(next);
    QueueOwn(scRecvSize, IntToField(next));
  }
  MeasureBytes = 0;
  MeasureStartTick = now;
}

// --- Sealing -----------------------------------------------------------------

TSealing CPipe::Sealing() {
  if (SessionKey.empty()) return {};
  return {SealKey(), mill_.SealIv()};
}

void CPipe::SealIfKeyed(std::string& payload) {
  if (payload.empty() || SessionKey.empty()) return;
  payload = SealPayload(payload, *SealKey(), mill_.SealIv());
}

const std::shared_ptr<const TAesKey>& CPipe::SealKey() {
  if (!sealKey_ || sealKeyText_ != SessionKey) {
    sealKey_ = std::make_shared<const TAesKey>(SessionKey);
    sealKeyText_ = SessionKey;
  }
  return sealKey_;
}

bool CPipe::OpenIfKeyed(std::string& payload) {
  if (payload.empty() || SessionKey.empty()) return true;
  return OpenPayload(payload, *SealKey());
}

// --- Closing -----------------------------------------------------------------

void CPipe::FinishSession(TCloseReason reason) {
  if (State == psClosed) return;
  const uint8_t old = State;
  State = psClosed;
  Step = THandshakeStep::None;
  mill_.Stir();
  // Whatever the handler raises, the close completes.
  mill_.Guard("FinishSession", [&] {
    const TMillEvents& ev = mill_.Events;
    if (old >= psConnecting && old <= psSocks5Auth) {
      if (ev.OnPipeRejected) ev.OnPipeRejected(mill_, *this, reason);
    } else if (old == psHandshake) {
      if (Incoming) {
        if (ev.OnPipeRefused) ev.OnPipeRefused(mill_, *this, reason);
      } else if (ev.OnPipeRejected) {
        ev.OnPipeRejected(mill_, *this, reason);
      }
    } else if (old == psSession) {
      if (ev.OnPipeClosed) ev.OnPipeClosed(mill_, *this, reason);
    }
  });
  // After the handlers: the relay lets go of what waited for this pipe, and
  // a peer whose end waited only for that goes now, so its departure comes
  // after this one.
  mill_.PipeClosed(id_);
  Closed = true;
  FreeAfterTick = mill_.PumpTick() + kFreeDelayMs;
}

void CPipe::Fail(TCloseReason reason) {
  QueueOwn(scError, IntToField(ReasonCode(reason)));
  FinishSession(reason);
}

bool CPipe::ReadyToFree(uint32_t now) const {
  if (!Closed || State != psClosed) return false;
  const int32_t past = win32::TickDiff(now, FreeAfterTick);
  if (past < 0 || PostedCount > 0) return false;
  return SendIdle() || SendDead || !HasSocket() || past >= static_cast<int32_t>(kSendGiveUpMs);
}

bool CPipe::TimedOut(uint32_t now) const {
  return State >= psConnecting && State <= psHandshake &&
         static_cast<uint32_t>(now - StateStartTick) > kHandshakeTimeoutMs;
}

}  // namespace tw
