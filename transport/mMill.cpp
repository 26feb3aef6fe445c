// CMill and CPump: the pump's policy, the pump step, listening and accepting,
// delivery of posted messages, the relay, the server API, keys and trust,
// addresses and the error log.

#include "transport/mMill.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "crypto/mBase64.h"
#include "crypto/mRSA.h"
#include "platform/files/files.h"
#include "platform/win32/system.h"
#include "platform/win32/text.h"
#include "transport/mSeal.h"

namespace tw {

namespace {

// WinSock start-up, once per module.
void StartWinsock() {
  static const bool started = [] {
    ws::WSADATA data;
    if (ws::WSAStartup(ws::MAKEWORD(1, 1), &data) != 0) throw std::runtime_error("WSAStartup error");
    return true;
  }();
  (void)started;
}

std::string Ansi(const std::u16string& text) { return win32::WideToAnsi(text); }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

// --- CPump -------------------------------------------------------------------

CPump::CPump(std::atomic<bool>& busy, win32::HWND window, std::function<bool()> mayRest)
    : busy_(busy), window_(window), mayRest_(std::move(mayRest)), ticker_(CMill::kPumpIntervalMs, [this] {
        return Tick();
      }) {}

// A tick that finds the last step unfinished is tried again shortly (see
// win32::TickGrid); ticks never queue.
win32::TickOutcome CPump::Tick() {
  if (mayRest_ && mayRest_()) return win32::TickOutcome::Rested;
  if (busy_.exchange(true)) return win32::TickOutcome::Busy;
  if (!win32::SendNotifyMessageA(window_, CMill::kPumpTick, 0, 0)) busy_.store(false);
  return win32::TickOutcome::Ticked;
}

// --- Creation and destruction ------------------------------------------------

CMill::CMill(TMillSide side, bool startPump) : side_(side), pumpTick_(win32::GetTickCount()) {
  StartWinsock();
  if (side_ == TMillSide::Server) {
    ErrorLogPath = win32::ExeFolder() + kErrorLogFileName;
    relay_ = std::make_unique<TRelayFlow>(relayPort_);
  }
  DetectLoopback();
  RefreshLocalIPList();
  window_ = win32::HiddenWindow(
      [this](win32::HWND, win32::UINT msg, win32::WPARAM wp, win32::LPARAM lp) { return WndProc(msg, wp, lp); },
      [](win32::UINT msg, win32::WPARAM, win32::LPARAM lp) {
        if (msg == kDeliverMessage) delete reinterpret_cast<TSack*>(lp);
      });
  if (startPump) pump_ = std::make_unique<CPump>(busy_, window_.Handle(), [this] { return MayRest(); });
}

CMill::~CMill() {
  pump_.reset();  // waits for the pump thread
  Events = {};    // no events while the pipes go
  listener_.reset();
  byId_.clear();
  pipes_.clear();
}

// --- Window and pump ---------------------------------------------------------

win32::LRESULT CMill::WndProc(win32::UINT msg, win32::WPARAM wParam, win32::LPARAM lParam) {
  // Nothing a handler raises leaves the window procedure.
  const bool done = Guard("CMill.PumpUp", [&] {
    if (msg == kPumpTick) {
      PumpUp();
    } else if (msg == kDeliverMessage) {
      std::unique_ptr<TSack> sack(reinterpret_cast<TSack*>(lParam));
      DeliverPosted(static_cast<int32_t>(wParam), std::move(sack));
    } else if (msg == kPushCarts) {
      pushPosted_ = false;
      PushWaitingCarts();
    }
  });
  if (!done) busy_.store(false);
  return 0;
}

const std::string& CMill::SealIv() {
  if (!sealIvValid_ || sealIvTick_ != pumpTick_) {
    sealIv_ = SealIvForTick(pumpTick_);
    sealIvTick_ = pumpTick_;
    sealIvValid_ = true;
  }
  return sealIv_;
}

void CMill::RequestPush(CPipe& pipe) {
  pipe.PushRequested = true;
  pushList_.push_back(pipe.Id());
  if (!pushPosted_) pushPosted_ = win32::PostMessageA(window_.Handle(), kPushCarts, 0, 0);
}

void CMill::PushWaitingCarts() {
  // By index: a push may close a pipe, whose handlers queue on (and ask for
  // pushes of) others; those are served in this pass too.
  for (size_t i = 0; i < pushList_.size(); ++i) {
    CPipe* pipe = GetPipe(pushList_[i]);
    if (!pipe) continue;
    pipe->PushRequested = false;
    if (pipe->State == psSession) pipe->PushCart();
  }
  pushList_.clear();
}

bool CMill::Watch(CPipe& pipe) { return readiness_.Add(pipe.Socket(), static_cast<uint32_t>(pipe.Id())); }

// Called on the pump thread. The readiness set is asked without taking what
// it reports: the step that follows finds the same sockets ready.
bool CMill::MayRest() {
  if (!resting_.load() || readiness_.AnyReady()) return false;
  restedTicks_.store(true);
  return true;
}

void CMill::PumpUp() {
  pumpTick_ = win32::GetTickCount();
  resting_.store(false);
  restedTicks_.store(false);
  if (!lingering_.empty()) Guard("CMill.PumpUp", [&] { DrainLingering(); });
  Guard("CMill.PumpUp", [&] { SelectReadable(); });
  if (listener_ && listenerReady_) {
    const size_t before = pipes_.size();
    Guard("DetectSessionInvoked", [&] { DetectSessionInvoked(); });
    // What the new connections sent already is read in this step too.
    if (pipes_.size() != before) Guard("CMill.PumpUp", [&] { SelectReadable(); });
  }
  // Messages waiting for their targets go in where there is room now, and
  // targets that stall are closed, before the pipes send and read.
  if (relay_ && !relay_->Idle()) Guard("CMill.PumpUp", [&] { relay_->Step(pumpTick_); });
  // Every pipe was idle in session after the last pass, nothing was queued
  // or closed since and nothing came in: the pass would find no work.
  if (calm_ && readyPipes_ == 0) {
    resting_.store(true);
    busy_.store(false);
    return;
  }
  // Last to first; a failure in one pipe's step never ends the pass over the
  // others. Pipes added by event handlers meanwhile wait for the next step.
  calm_ = true;  // until a pipe with work is seen or something stirs
  bool allIdle = true;
  for (size_t i = pipes_.size(); i-- > 0;) {
    if (i >= pipes_.size()) continue;
    Guard("CMill.PumpUp", [&] { VisitPipe(i); });
    if (i < pipes_.size() && !pipes_[i]->IdleInSession()) allIdle = false;
  }
  // Lingering sockets are read on every step until they end.
  calm_ = calm_ && allIdle && lingering_.empty() && (!relay_ || relay_->Idle());
  resting_.store(calm_);
  busy_.store(false);
}

void CMill::AddPollSockets(ws::fd_set& readable, ws::fd_set& writable) const {
  if (listener_ && listener_->State == psListening && Events.OnPipeLogin) readable.Add(listener_->Socket());
  for (const auto& p : pipes_) {
    if (!p->HasSocket()) continue;
    if (p->State >= psConnecting && p->State <= psSession) readable.Add(p->Socket());
    if (p->State == psConnecting || (p->State > psConnecting && !p->SendDead && !p->SendIdle()))
      writable.Add(p->Socket());
  }
}

// One call to the readiness set, which knows every pipe's socket: an idle
// step costs one system call and no allocation, whatever the number of pipes.
void CMill::SelectReadable() {
  listenerReady_ = false;
  readyPipes_ = 0;
  if (readiness_.Poll(readyTokens_) <= 0) return;
  for (uint64_t token : readyTokens_) {
    const auto id = static_cast<int32_t>(token);
    if (listener_ && listener_->Id() == id) {
      listenerReady_ = true;
    } else if (auto it = byId_.find(id); it != byId_.end()) {
      it->second->ReadReady = true;
      ++readyPipes_;
    }
  }
}

void CMill::VisitPipe(size_t index) {
  CPipe& pipe = *pipes_[index];
  // A pipe in session with nothing read and nothing to send has no work;
  // the test reads only the pipe's first fields, so a step over many idle
  // pipes stays cheap.
  if (pipe.IdleInSession() && !pipe.ReadReady) return;
  if (pipe.State == psNew && !pipe.Closed) return;
  if (pipe.ReadyToFree(pumpTick_)) {
    FreePipe(index);
    return;
  }
  if (pipe.TimedOut(pumpTick_)) {
    pipe.FinishSession(crTimeout);
    return;
  }
  if (pipe.State == psConnecting) {
    pipe.DetectSessionCreated();
    pipe.DetectSessionRejected();
  }
  if (pipe.State >= psConnecting && pipe.State <= psSession) {
    // What the pipe holds of messages not yet whole counts toward the hub's
    // ceiling.
    const size_t unfinished = pipe.Receiver().Unfinished();
    pipe.FetchData();
    pipe.ParseFrames();
    if (relay_)
      relay_->AddPartial(static_cast<int64_t>(pipe.Receiver().Unfinished()) - static_cast<int64_t>(unfinished));
  }
  pipe.ReadReady = false;  // a pipe not read this step asks the readiness set again
  if (pipe.State > psConnecting) pipe.PushCart();
}

// The socket of a pipe that sent everything it could leaves with a
// half-close and lingers; one that cannot send any more (reset) just closes.
void CMill::FreePipe(size_t index) {
  CPipe& pipe = *pipes_[index];
  if (pipe.HasSocket() && !pipe.SendDead && pipe.SendIdle()) {
    ws::Socket socket = pipe.ReleaseSocket();
    readiness_.Remove(socket.get());
    if (ws::shutdown(socket.get(), ws::SD_SEND) == 0) lingering_.push_back({std::move(socket), pumpTick_});
  }
  // The relay forgot the pipe when it closed (PipeClosed).
  if (relay_) relay_->AddPartial(-static_cast<int64_t>(pipe.Receiver().Unfinished()));
  byId_.erase(pipe.Id());
  pipes_.erase(pipes_.begin() + static_cast<ptrdiff_t>(index));
}

// Reads and drops what lingering sockets received, a few buffers a step,
// and closes each once its peer's end arrives, it fails, or kLingerMs pass.
void CMill::DrainLingering() {
  constexpr int kReadsPerStep = 4;
  char scratch[16384];
  for (size_t i = lingering_.size(); i-- > 0;) {
    TLingering& l = lingering_[i];
    bool done = win32::TickDiff(pumpTick_, l.since) > static_cast<int32_t>(kLingerMs);
    for (int r = 0; r < kReadsPerStep && !done; ++r) {
      const int got = ws::recv(l.socket.get(), scratch, sizeof scratch, 0);
      if (got == 0 || (got == ws::SOCKET_ERROR && ws::WSAGetLastError() != ws::WSAEWOULDBLOCK)) done = true;
      if (got <= 0) break;
    }
    if (done) {
      std::swap(l, lingering_.back());
      lingering_.pop_back();
    }
  }
}

// Accepts every waiting connection, up to kAcceptsPerStep; the rest wait for
// the next step. A connection that would leave fewer than kDescriptorMargin
// descriptors free is closed at once, so its client is refused rather than
// the program starved; accepting resumes as peers leave. Any failure but a
// lack of descriptors ends the step's accepting and leaves the connection
// waiting.
void CMill::DetectSessionInvoked() {
  if (listener_->State != psListening || !Events.OnPipeLogin) return;
  for (int i = 0; i < kAcceptsPerStep; ++i) {
    ws::Socket accepted(ws::accept(listener_->Socket(), nullptr, nullptr));
    if (accepted && ws::WithinDescriptorMargin(accepted.get(), kDescriptorMargin)) {
      NoteOutOfDescriptors();
      accepted.reset();
    } else if (accepted) {
      outOfDescriptors_ = false;
      AdmitAccepted(std::move(accepted));
    } else if (ws::WSAGetLastError() != ws::WSAEMFILE || !RefuseForLackOfDescriptors()) {
      return;
    }
  }
}

// Records and logs the lack of descriptors once until an accept succeeds.
void CMill::NoteOutOfDescriptors() {
  if (outOfDescriptors_) return;
  outOfDescriptors_ = true;
  RecordError(ws::WSAEMFILE);
  ReportError("DetectSessionInvoked: out of descriptors");
}

// The process is out of descriptors: frees the reserve to accept the
// waiting connection and close it at once, so its client is refused instead
// of waiting for ever, and takes the reserve again. True when a connection
// was refused.
bool CMill::RefuseForLackOfDescriptors() {
  NoteOutOfDescriptors();
  reserve_.Release();
  const bool refused = static_cast<bool>(ws::Socket(ws::accept(listener_->Socket(), nullptr, nullptr)));
  reserve_.Restore();
  return refused;
}

void CMill::AdmitAccepted(ws::Socket accepted) {
  CPipe& pipe = AddPipe();
  pipe.AdoptSocket(std::move(accepted));
  if (!pipe.HasSocket()) {
    pipe.FinishSession(crSocket);  // never in a session: freed without an event
    return;
  }
  pipe.State = psHandshake;
  pipe.StateStartTick = pumpTick_;
  pipe.Incoming = true;
  pipe.QueryAddresses();
  pipe.SetSendSize(kInitialBufferSize);
  pipe.SetRecvSize(kInitialBufferSize);
  pipe.StartServerHandshake();
}

void CMill::DeliverPosted(int32_t pipeId, std::unique_ptr<TSack> sack) {
  CPipe* pipe = GetPipe(pipeId);
  if (!pipe) return;
  if (pipe->State < psConnecting || pipe->State > psSession) {
    --pipe->PostedCount;
    return;
  }
  if (!Guard("DeliverMessage", [&] { pipe->DeliverMessage(std::move(sack)); })) {
    // DeliverMessage has lowered the posted count on its way out.
    if (CPipe* still = GetPipe(pipeId); still && still->State != psClosed) still->Fail(crSecurity);
  }
  // The peer's end waited for the messages read before it.
  if (CPipe* still = GetPipe(pipeId)) Guard("FinishSession", [&] { still->FinishIfEnded(); });
}

// --- Pipes -------------------------------------------------------------------

int32_t CMill::NewPipeId() {
  for (;;) {
    nextId_ = nextId_ == INT32_MAX ? 1 : nextId_ + 1;
    if (!GetPipe(nextId_)) return nextId_;
  }
}

CPipe& CMill::AddPipe() {
  auto pipe = std::make_unique<CPipe>(*this);
  byId_.emplace(pipe->Id(), pipe.get());
  Stir();
  pipes_.push_back(std::move(pipe));
  return *pipes_.back();
}

CPipe* CMill::GetPipe(int32_t id) {
  if (id == 0) return nullptr;
  if (listener_ && listener_->Id() == id) return listener_.get();
  auto it = byId_.find(id);
  return it == byId_.end() ? nullptr : it->second;
}

bool CMill::SelectPipe(int32_t id) {
  LastError = 0;
  currentId_ = GetPipe(id) ? id : 0;
  if (!currentId_) LastError = errInvalidHandle;
  return currentId_ != 0;
}

// --- Errors ------------------------------------------------------------------

void CMill::RecordError(int32_t reason) {
  if (reason == 0) reason = ws::WSAGetLastError();
  if (reason == 0) reason = errTransport;
  LastError = reason;
}

void CMill::ReportError(const std::string& operation) noexcept {
  try {
    if (side_ == TMillSide::Client) {
      ReportText("*EXP*  " + operation);
    } else if (ErrorLog) {
      ErrorLog->Write(operation);
    } else if (!ErrorLogPath.empty()) {
      TFileErrorLog(ErrorLogPath).Write(operation);
    }
  } catch (...) {
    // Reporting a failure never fails in turn.
  }
}

void CMill::ReportText(const std::string& text) {
  if (Events.OnMillReport) Events.OnMillReport(text);
}

std::string TFileErrorLog::Line(const std::string& operation) {
  std::string tick = std::to_string(win32::GetTickCount());
  if (tick.size() > 4) tick = tick.substr(tick.size() - 4);
  return win32::LocalDateTimeText() + "/" + tick + ": " + operation;
}

void TFileErrorLog::Write(const std::string& operation) noexcept {
  try {
    files::TFile file;
    if (file.OpenForAppending(path_)) (void)file.Write(Line(operation) + "\r\n");
  } catch (...) {
    // Writing the error log never raises.
  }
}

// --- Server ------------------------------------------------------------------

bool CMill::Listen(uint16_t port) {
  LastError = 0;
  listener_.reset();
  listener_ = std::make_unique<CPipe>(*this);
  listener_->CreateSocket();
  listener_->BindSocket(Ansi(BindAddress), port);
  listener_->StartListening();
  if (LastError != 0) {
    listener_->FinishSession(CloseReasonOfError(LastError));
    return false;
  }
  return true;
}

void CMill::StopListening() {
  LastError = 0;
  listener_.reset();
}

bool CMill::IsListening() const { return listener_ && listener_->State == psListening; }

uint16_t CMill::ListeningPort() const { return IsListening() ? listener_->LocalPort : 0; }

bool CMill::ClosePipe(int32_t id) {
  if (!SelectPipe(id)) return false;
  CurrentPipe()->FinishSession(crLocal);
  return true;
}

// The pipe `id` if it takes a message of `bodySize` bytes now.
CPipe* CMill::PipeTaking(int32_t id, size_t bodySize) {
  if (!SelectPipe(id)) return nullptr;
  CPipe& pipe = *CurrentPipe();
  if (pipe.State != psSession) return nullptr;
  if (pipe.WouldOverfill(bodySize)) {
    pipe.Overfilled();
    return nullptr;
  }
  return &pipe;
}

namespace {

// Marks a message just queued on `pipe` as awaiting the peer's acknowledgement.
TSack& AskAck(CPipe& pipe, TSack& sack, bool ackWanted) {
  if (ackWanted) {
    sack.AckWanted = 1;
    pipe.AddPendingAck(sack.Code, static_cast<int32_t>(sack.Payload.size()));
  }
  return sack;
}

}  // namespace

TSack* CMill::SendToPipe(int32_t id, int32_t channel, const TMessage& message, bool ackWanted) {
  CPipe* pipe = PipeTaking(id, message.Size());
  if (!pipe) return nullptr;
  TSack& sack = pipe->QueueMessage(channel + sackAppBase, message);
  if (pipe->CloseIfOverfull()) return nullptr;
  return &AskAck(*pipe, sack, ackWanted);
}

TSack* CMill::SendToPipe(int32_t id, int32_t channel, TMessage&& message, bool ackWanted) {
  CPipe* pipe = PipeTaking(id, message.Size());
  if (!pipe) return nullptr;
  TSack& sack = pipe->QueueMessage(channel + sackAppBase, std::move(message));
  if (pipe->CloseIfOverfull()) return nullptr;
  return &AskAck(*pipe, sack, ackWanted);
}

TSack* CMill::SendToPipeLast(int32_t id, int32_t channel, TMessage message) {
  CPipe* pipe = PipeTaking(id, message.Size());
  if (!pipe) return nullptr;
  if (pipe->SendIdle()) pipe->RequestPush();
  return &pipe->QueueLast(channel + sackAppBase, std::move(message).Take());
}

uint32_t CMill::GetMoniker(int32_t id) { return SelectPipe(id) ? CurrentPipe()->Moniker : 0; }

bool CMill::SetMoniker(int32_t id, uint32_t value) {
  if (!SelectPipe(id)) return false;
  CurrentPipe()->Moniker = value;
  return true;
}

std::string CMill::GetRemoteAddress(int32_t id) { return SelectPipe(id) ? CurrentPipe()->RemoteAddress : ""; }

uint16_t CMill::GetRemotePort(int32_t id) { return SelectPipe(id) ? CurrentPipe()->RemotePort : 0; }

// --- Client ------------------------------------------------------------------

CPipe* CMill::OpenSession(const std::u16string& host, uint16_t port, const std::u16string& appId,
                          const std::u16string& userName, const std::u16string& password) {
  // The trace names everything but the password.
  ReportText("CMill.OpenSession " + Ansi(host) + " " + std::to_string(port) + " " + Ansi(appId) + " " +
             Ansi(userName));
  LastError = 0;
  CPipe& pipe = AddPipe();
  pipe.AppId = Ansi(appId);
  pipe.UserName = userName;
  pipe.Password = password;
  pipe.RemoteAddress = Ansi(host);
  pipe.RemotePort = port;
  pipe.CreateSocket();
  pipe.SetSendSize(kInitialBufferSize);
  pipe.SetRecvSize(kInitialBufferSize);
  pipe.BindSocket(Ansi(BindAddress), 0);
  pipe.Connect(Ansi(host), port);
  if (LastError != 0) {
    pipe.FinishSession(CloseReasonOfError(LastError));
    return nullptr;
  }
  return &pipe;
}

std::u16string CMill::GetPipeUsername(int32_t id) { return SelectPipe(id) ? CurrentPipe()->UserName : u""; }

int32_t CMill::GetSendRoom(int32_t id) {
  CPipe* pipe = GetPipe(id);
  if (!pipe) return 0;
  const int64_t budget = CartBudget(TCartLimits{pipe->SendSize, pipe->RateLimit, pumpTick_});
  int64_t used = 0;
  TSendQueue& queue = pipe->Queue();
  for (size_t i = 0; i < queue.Size(); ++i) {
    const TSack& s = queue[i];
    const int64_t room = (2 * budget - used) / 2;
    used += std::min<int64_t>(room, static_cast<int64_t>(s.Payload.size()) - s.BytesSent);
  }
  const int64_t room = (2 * budget - used) / 2;
  return static_cast<int32_t>(std::max<int64_t>(room, 32));
}

// --- Relay -------------------------------------------------------------------

void CMill::RouteSack(CPipe& from, TSack& sack) {
  // Only a server session relays; the body is shared by every target queue.
  if (!relay_ || from.State != psSession) return;
  relay_->Route(from.Id(), sack.RouteList, sack.Code, relay_->MakeBody(std::move(sack.Payload)), sack.AckWanted != 0);
}

void CMill::PipeClosed(int32_t id) {
  if (relay_) relay_->Forget(id);
}

size_t CMill::HardBound() const {
  return relay_ ? relay_->Limits.Bound * kHardBoundFactor : std::numeric_limits<size_t>::max();
}

// The listening pipe and pipes out of session are never served.
CPipe* CMill::TRelayPort::Served(int32_t id) {
  CPipe* pipe = mill_.GetPipe(id);
  return pipe && pipe != mill_.listener_.get() && pipe->State == psSession ? pipe : nullptr;
}

bool CMill::TRelayPort::Serves(int32_t id) { return Served(id) != nullptr; }

bool CMill::TRelayPort::Mark(int32_t id, uint64_t serial) {
  CPipe* pipe = Served(id);
  return pipe && pipe->MarkRouted(serial);
}

size_t CMill::TRelayPort::Owed(int32_t id) {
  CPipe* pipe = Served(id);
  return pipe ? pipe->HeldBytes() : 0;
}

size_t CMill::TRelayPort::OwedFrom(int32_t id, int32_t sender) {
  CPipe* pipe = Served(id);
  return pipe ? pipe->Queue().BytesFrom(sender) : 0;
}

uint32_t CMill::TRelayPort::LastProgress(int32_t id) {
  CPipe* pipe = Served(id);
  return pipe ? pipe->LastProgress() : mill_.pumpTick_;
}

void CMill::TRelayPort::Queue(int32_t id, int32_t sender, const TRelayItem& item) {
  CPipe* target = Served(id);
  if (!target) return;
  target->QueueRelayed(item.Code, item.Body, sender, item.AckWanted);
  // Forward at once when the target is idle instead of a tick later: a
  // relayed message would otherwise wait a whole pump period on the server.
  if (target->SendBuffer().empty()) target->PushCart();
}

void CMill::TRelayPort::CloseStalled(int32_t id) {
  if (CPipe* pipe = Served(id)) pipe->Overfilled();
}

void CMill::TRelayPort::Released(int32_t sender) {
  if (CPipe* pipe = mill_.GetPipe(sender)) mill_.Guard("FinishSession", [&] { pipe->FinishIfEnded(); });
}

void CMill::TRelayPort::ForEachServed(const std::function<void(int32_t)>& visit) {
  for (const auto& pipe : mill_.pipes_)
    if (pipe->State == psSession) visit(pipe->Id());
}

// --- Keys and trust ------------------------------------------------------------

bool CMill::GenerateKeypair(std::u16string& publicKey, std::u16string& privateKey) {
  publicKey.clear();
  privateKey.clear();
  std::string pub, priv;
  if (!RsaGenerateKeypair(pub, priv)) return false;
  publicKey = win32::AnsiToWide(pub);
  privateKey = win32::AnsiToWide(priv);
  return true;
}

std::u16string CMill::TakeFingerprint(const std::u16string& keyText) {
  return win32::AnsiToWide(RsaKeyFingerprint(Ansi(keyText)));
}

std::u16string CMill::GetPublicKey() const { return win32::AnsiToWide(Base64Encode(OwnPublicKey)); }
void CMill::SetPublicKey(const std::u16string& keyText) { OwnPublicKey = Base64Decode(Ansi(keyText)); }
std::u16string CMill::GetPrivateKey() const { return win32::AnsiToWide(Base64Encode(OwnPrivateKey)); }
void CMill::SetPrivateKey(const std::u16string& keyText) { OwnPrivateKey = Base64Decode(Ansi(keyText)); }
std::u16string CMill::GetSecretKey() const { return win32::AnsiToWide(SecretKey); }
void CMill::SetSecretKey(const std::u16string& text) { SecretKey = Ansi(text); }

std::u16string CMill::GetFingerprints() const {
  std::string text;
  for (size_t i = 0; i < AllowedFingerprints.size(); ++i) {
    if (i) text += ',';
    text += AllowedFingerprints[i];
  }
  return win32::AnsiToWide(text);
}

void CMill::SetFingerprints(const std::u16string& commaText) {
  AllowedFingerprints.clear();
  const std::string text = Ansi(commaText);
  if (text.empty()) return;
  size_t start = 0;
  for (;;) {
    size_t comma = text.find(',', start);
    AllowedFingerprints.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

bool CMill::IsKeyAllowed(const std::string& keyBytes) const {
  if (keyBytes.empty()) return false;
  if (AllowedFingerprints.empty()) return true;
  const std::string fingerprint = RsaKeyFingerprint(Base64Encode(keyBytes));
  if (fingerprint.empty()) return false;
  return std::any_of(AllowedFingerprints.begin(), AllowedFingerprints.end(),
                     [&](const std::string& allowed) { return EqualsIgnoringCase(allowed, fingerprint); });
}

// --- Addresses -----------------------------------------------------------------

std::string CMill::SocksHostAnsi() const { return Ansi(SocksHost); }

std::optional<ws::in_addr> CMill::ResolveHost(const std::string& host) {
  ws::u_long dotted = ws::inet_addr(host.c_str());
  if (dotted != ws::INADDR_NONE) return ws::in_addr{dotted};
  if (host.empty()) return std::nullopt;
  std::optional<ws::hostent> he = ws::gethostbyname(host.c_str());
  if (!he || he->h_addr_list.empty()) return std::nullopt;
  return he->h_addr_list.front();
}

void CMill::DetectLoopback() {
  loopback_ = "127.0.0.1";
  if (auto addr = ResolveHost("localhost")) loopback_ = ws::inet_ntoa(*addr);
}

void CMill::RefreshLocalIPList() {
  localAddresses_.clear();
  char name[64] = {};
  if (ws::gethostname(name, sizeof name) == 0) {
    if (auto he = ws::gethostbyname(name))
      for (const ws::in_addr& a : he->h_addr_list) localAddresses_.push_back(ws::inet_ntoa(a));
  }
  localIpList_.clear();
  for (size_t i = 0; i < localAddresses_.size(); ++i) {
    if (i) localIpList_ += ',';
    localIpList_ += localAddresses_[i];
  }
}

std::string CMill::FirstLocalAddress() const { return localAddresses_.empty() ? "" : localAddresses_.front(); }

}  // namespace tw
