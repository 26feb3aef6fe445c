#include "client/mMate.h"

#include <algorithm>
#include <limits>

#include "platform/win32/messages.h"
#include "platform/win32/text.h"
#include "transport/mErrors.h"
#include "transport/mSessionCommands.h"

namespace tw::cln {

namespace {

// Minus a reason taken from the wire, without overflowing on INT32_MIN.
int32_t Negate(int32_t reason) {
  return reason == std::numeric_limits<int32_t>::min() ? std::numeric_limits<int32_t>::max() : -reason;
}

// The code a session that never opened ends with when its pipe closes with
// `reason`: a socket that failed without a reason of its own is a failed
// connect; any other reason (or set-up error) is passed on negated.
int32_t RejectionCode(TCloseReason reason) {
  return reason == crSocket ? mcConnectFailed : Negate(ReasonCode(reason));
}

}  // namespace

CMate::CMate(std::u16string applicationId, bool startPump) : appId_(std::move(applicationId)) {
  lastSecondTick_ = win32::GetTickCount();
  timerWindow_ = win32::HiddenWindow([this](win32::HWND, win32::UINT msg, win32::WPARAM, win32::LPARAM) {
    if (msg == win32::WM_TIMER) TimerTick();
    if (msg == kReleaseMessage) TakeReleaseMessage();
    return win32::LRESULT{0};
  });
  timer_ = win32::WindowTimer(timerWindow_.Handle(), kTimerId, kTimerMs);
  mill_ = std::make_unique<CMill>(TMillSide::Client, startPump);
  TMillEvents& ev = mill_->Events;
  ev.OnPipeOpen = [this](CPipe& p) { GoSessionOpen(p); };
  ev.OnPipeRejected = [this](CMill&, CPipe& p, TCloseReason reason) { GoSessionRejected(p, reason); };
  ev.OnPipeClosed = [this](CMill&, CPipe& p, TCloseReason) { GoSessionClosed(p); };
  ev.OnSackSent = [](CPipe&, int32_t) {};  // the transport's own acknowledgements mean nothing here
  ev.OnSackReceived = [this](CPipe& p, int32_t channel, std::string& body) { GoSackReceived(p, channel, body); };
  ev.OnBondSack = [this](CPipe& p, TSack& s) { GoBondSack(p, s); };
}

CMate::~CMate() {
  destroying_ = true;
  Events = {};
  mill_.reset();
}

// --- Session ---------------------------------------------------------------------

bool CMate::OpenSession(const std::u16string& host, int32_t port, const std::u16string& user,
                        const std::u16string& password) {
  if (state_ != msClosed) {
    error_ = meBusy;
    return state_ == msOpening;
  }
  if (CPipe* pipe = mill_->OpenSession(host, static_cast<uint16_t>(port), appId_, user, password)) {
    state_ = msOpening;
    sessionPipe_ = pipe->Id();
  } else {
    error_ = mill_->LastError;
  }
  return state_ == msOpening;
}

bool CMate::CloseSession() {
  Close(mcClosedLocally);
  return true;
}

void CMate::Close(int32_t reason) {
  if (state_ == msClosed) return;
  const uint8_t old = state_;
  state_ = msClosed;
  earlyNotices_.clear();
  answerCodes_.clear();
  heldTubes_.clear();
  // Last to first by id: a handler may close or purge tubes meanwhile.
  std::vector<TTubeId> ids;
  for (auto& t : tubes_) ids.push_back(t->Id);
  const int32_t pipeId = sessionPipe_;
  for (size_t i = ids.size(); i-- > 0;) CloseTube(ids[i], reason);
  if (CPipe* pipe = mill_->GetPipe(pipeId)) pipe->FinishSession(crLocal);
  if (destroying_) return;
  if (old == msOpening && Events.OnMateRejected) Events.OnMateRejected(reason);
  if (old == msOpen && Events.OnMateClosed) Events.OnMateClosed(reason);
}

// --- Tubes -----------------------------------------------------------------------

CTube* CMate::CheckTube(TTubeId tube) {
  if (tube == 0) return nullptr;
  auto it = std::lower_bound(tubes_.begin(), tubes_.end(), tube,
                             [](const std::unique_ptr<CTube>& t, TTubeId id) { return t->Id < id; });
  return it != tubes_.end() && (*it)->Id == tube ? it->get() : nullptr;
}

bool CMate::SelectTube(TTubeId tube) {
  error_ = 0;
  CTube* t = CheckTube(tube);
  if (!t) error_ = meInvalidTube;
  return t != nullptr;
}

CTube* CMate::FindTubeById(int32_t peerId) {
  for (size_t i = tubes_.size(); i-- > 0;)
    if (tubes_[i]->PeerId == peerId) return tubes_[i].get();
  return nullptr;
}

bool CMate::DisconnectTube(TTubeId tube) {
  if (!SelectTube(tube)) return false;
  CloseTube(tube, mcClosedLocally);
  return true;
}

void CMate::CloseTube(TTubeId tube, int32_t reason) {
  CTube* t = CheckTube(tube);
  if (!t || t->State == tsClosed) return;
  t->State = tsClosed;
  t->Held.clear();  // what it was owed goes with it
  if (reason > 0) {
    // A batch sends its newest message first: the close waits until what
    // was queued before it has gone, or it would overtake it and the peer
    // would drop it.
    if (CPipe* pipe = SessionPipe(); pipe && pipe->State == psSession) {
      TSack& farewell = pipe->QueueLast(BOND_CLOSE, IntToField(reason));
      AppendLe32(farewell.RouteList, static_cast<uint32_t>(t->PeerId));
      pipe->RequestPush();
    }
  }
  if (!destroying_ && Events.OnTubeClosed) Events.OnTubeClosed(tube);
}

int32_t CMate::GetTubeData(TTubeId tube) { return SelectTube(tube) ? CheckTube(tube)->UserData : 0; }

void CMate::SetTubeData(TTubeId tube, int32_t data) {
  if (SelectTube(tube)) CheckTube(tube)->UserData = data;
}

std::u16string CMate::GetTubeName(TTubeId tube) { return SelectTube(tube) ? CheckTube(tube)->Name : u""; }

int32_t CMate::GetTubeId(TTubeId tube) { return SelectTube(tube) ? CheckTube(tube)->PeerId : 0; }

uint8_t CMate::GetTubeState(TTubeId tube) { return SelectTube(tube) ? CheckTube(tube)->State : uint8_t{tsNew}; }

int32_t CMate::CountPendingAcks(TTubeId tube, int32_t channel) {
  if (!SelectTube(tube)) return 0;
  const auto& acks = CheckTube(tube)->PendingAcks;
  return static_cast<int32_t>(
      std::count_if(acks.begin(), acks.end(), [&](const TPendingAck& a) { return a.Code == channel + sackAppBase; }));
}

// --- Sending ---------------------------------------------------------------------

CPipe* CMate::SessionPipe() { return sessionPipe_ ? mill_->GetPipe(sessionPipe_) : nullptr; }

TSack* CMate::Queue(int32_t code, std::string body, int32_t peerId) {
  CPipe* pipe = SessionPipe();
  if (!pipe || pipe->State != psSession) return nullptr;
  TSack& sack = pipe->QueueOwn(code, std::move(body));
  if (peerId != 0) AppendLe32(sack.RouteList, static_cast<uint32_t>(peerId));
  pipe->RequestPush();  // the transport sends it once this handler returns
  return &sack;
}

TSack* CMate::Send(std::span<const TTubeId> targets, int32_t channel, TMessage body, bool ack) {
  // Every target is checked (the error is the last one's); the valid ones
  // are served, with no list of them built on this path of every packet.
  bool anyValid = false;
  for (TTubeId t : targets) anyValid = SelectTube(t) || anyValid;
  if (!anyValid) return nullptr;
  const int32_t code = channel + sackAppBase;
  const auto length = static_cast<int32_t>(body.Size());
  TSack* sack = Queue(code, std::move(body).Take(), 0);
  if (!sack) return nullptr;
  sack->AckWanted = ack ? 1 : 0;
  for (size_t i = targets.size(); i-- > 0;) {
    CTube* t = CheckTube(targets[i]);
    if (!t) continue;
    AppendLe32(sack->RouteList, static_cast<uint32_t>(t->PeerId));
    if (ack) t->PendingAcks.push_back({code, length});
  }
  return sack;
}

void CMate::SendCommand(int32_t channel, TMessage body) {
  Queue(channel + sackAppBase, std::move(body).Take(), 0);
}

void CMate::SendTubeControl(TTubeId tube, int32_t code, TMessage body) {
  if (CTube* t = CheckTube(tube)) Queue(code, std::move(body).Take(), t->PeerId);
}

bool CMate::SendBinary(TTubeId tube, const com::VARIANT& data) {
  error_ = 0;
  const std::optional<std::string> bytes = VarArrayToStr(data);
  if (!bytes) {
    error_ = meNotByteArray;
    return false;
  }
  if (tube == 0) {
    SendCommand(CMD_BINARY, TMessage().Str(*bytes));
  } else if (SelectTube(tube)) {
    SendTubeControl(tube, BOND_BINARY, TMessage().Str(*bytes));
  }
  return true;
}

int32_t CMate::GetChunkSize() { return mill_->GetSendRoom(sessionPipe_); }

// --- Settings --------------------------------------------------------------------

std::u16string CMate::GetServerAddress() { return win32::AnsiToWide(mill_->GetRemoteAddress(sessionPipe_)); }

int32_t CMate::GetServerPort() { return mill_->GetRemotePort(sessionPipe_); }

void CMate::SetSocksPort(int32_t v) { mill_->SocksPort = static_cast<uint16_t>(v); }

bool CMate::GenerateKeypair(std::u16string& publicKey, std::u16string& privateKey) {
  publicKey.clear();
  privateKey.clear();
  return mill_->GenerateKeypair(publicKey, privateKey);
}

// --- Timer -----------------------------------------------------------------------

void CMate::TimerTick() {
  if (destroying_) return;
  // A pipe that could not send may have drained since.
  if (!releasePosted_ && ReleaseHeld()) PostRelease();
  const uint32_t now = win32::GetTickCount();
  if (static_cast<uint32_t>(now - lastSecondTick_) >= kPurgeEveryMs) {
    lastSecondTick_ = now;
    PurgeTubes();
  }
}

void CMate::PurgeTubes() {
  std::erase_if(tubes_, [](const std::unique_ptr<CTube>& t) { return t->State == tsClosed; });
}

// --- Mill events -----------------------------------------------------------------

void CMate::GoSessionOpen(CPipe& pipe) {
  if (destroying_ || state_ == msClosed || pipe.Id() != sessionPipe_) return;
  Queue(CMD_READY + sackAppBase, {}, 0);
}

void CMate::GoSessionRejected(CPipe& pipe, TCloseReason reason) {
  if (destroying_ || state_ == msClosed || pipe.Id() != sessionPipe_) return;
  Close(RejectionCode(reason));
}

void CMate::GoSessionClosed(CPipe& pipe) {
  if (destroying_ || state_ == msClosed || pipe.Id() != sessionPipe_) return;
  const int32_t closed = sessionPipe_;
  Close(mcConnectionClosed);
  if (sessionPipe_ == closed) sessionPipe_ = 0;  // unless a handler opened a new session
}

void CMate::GoSackReceived(CPipe& pipe, int32_t channel, std::string& body) {
  if (destroying_ || pipe.Id() != sessionPipe_) return;
  switch (channel) {
    case CMD_WELCOME: DoLoginAccepted(); break;
    case CMD_PEER_LISTED:
    case CMD_PEER_JOINED:
    case CMD_PEER_LEFT: DoPeerNotice(channel, body); break;
    case CMD_BINARY: DoBinary(0, body); break;
    default: break;
  }
}

void CMate::GoBondSack(CPipe& pipe, TSack& message) {
  if (destroying_ || pipe.Id() != sessionPipe_) return;
  CTube* found = FindTubeById(message.PeerId);
  if (!SelectTube(found ? found->Id : 0)) return;  // no such tube: dropped without a reply
  CTube& tube = *found;
  const int32_t code = message.Code;
  if (code < 0) {
    if (code != std::numeric_limits<int32_t>::min()) DoAck(tube, -code);
  } else if (code >= 1 && code < sackAppBase) {
    DoTubeControl(tube, code, message.Payload);
  } else if (code >= sackAppBase) {
    DoMessage(tube, message);
  }
}

// --- Session commands ------------------------------------------------------------------

void CMate::DoLoginAccepted() {
  if (state_ != msOpening) return;  // a repeated welcome opens nothing twice
  userName_ = mill_->GetPipeUsername(sessionPipe_);
  state_ = msOpen;
  Queue(CMD_ANNOUNCE + sackAppBase, {}, 0);
  if (Events.OnMateOpen) Events.OnMateOpen();
  TakeEarlyNotices();
}

// The hub's batch sends its newest message first, so a notice about another
// peer may arrive before our own CMD_WELCOME; a hostile peer may also time
// its introduction so. A notice is followed only in an open session: one
// that comes while the session opens waits, in arrival order, until
// OnMateOpen has fired, so the engine hears of no peer before its session.
void CMate::DoPeerNotice(int32_t channel, std::string& body) {
  if (state_ == msOpening) {
    // Only a hub that never welcomes us sends more than this meanwhile.
    if (earlyNotices_.size() < kMaxEarlyNotices) earlyNotices_.emplace_back(channel, std::move(body));
    return;
  }
  if (state_ != msOpen) return;
  switch (channel) {
    case CMD_PEER_LISTED: DoPeerListed(body); break;
    case CMD_PEER_JOINED: DoPeerJoined(body); break;
    case CMD_PEER_LEFT: DoPeerLeft(body); break;
    default: break;
  }
}

void CMate::TakeEarlyNotices() {
  std::vector<std::pair<int32_t, std::string>> notices = std::move(earlyNotices_);
  earlyNotices_.clear();
  const int32_t pipe = sessionPipe_;
  // A handler may close the session (or open another) meanwhile.
  for (auto& [channel, body] : notices) {
    if (state_ != msOpen || sessionPipe_ != pipe) return;
    DoPeerNotice(channel, body);
  }
}

CTube& CMate::AddTube(std::string& body) {
  auto tube = std::make_unique<CTube>();
  tube->Id = ++nextTube_;
  tube->State = tsListed;
  tube->PeerId = ReadIntField(body);
  tube->Name = ReadWideField(body);
  tube->Address = win32::AnsiToWide(ReadStrField(body));
  tube->Port = ReadIntField(body);
  tubes_.push_back(std::move(tube));
  return *tubes_.back();
}

// The peer id at the front of an announcement, leaving the body as it is.
static int32_t AnnouncedId(const std::string& body) {
  std::string_view view = body;
  return ReadIntField(view);
}

CTube* CMate::FindOpenTube(int32_t peerId) {
  for (auto it = tubes_.rbegin(); it != tubes_.rend(); ++it)
    if ((*it)->PeerId == peerId && (*it)->State != tsClosed) return it->get();
  return nullptr;
}

// Two clients that log in at the same moment each hear of the other twice:
// listed as a newcomer and joined as a peer that introduced itself. One open
// tube per peer id: a second announcement adds no tube (which would bond
// again and give the engine a second handle for the same peer); it only asks
// for the bond where the first announcement had not.

void CMate::DoPeerListed(std::string& body) {
  if (FindOpenTube(AnnouncedId(body))) return;  // already known: the bond is under way
  CTube& tube = AddTube(body);
  Queue(CMD_INTRODUCE + sackAppBase, IntToField(tube.PeerId), 0);
}

void CMate::DoPeerJoined(std::string& body) {
  CTube* tube = FindOpenTube(AnnouncedId(body));
  if (tube && (tube->State == tsBonded || tube->Requested)) return;
  if (!tube) tube = &AddTube(body);
  tube->Requested = true;
  Queue(BOND_REQUEST, IntToField(mill_->SecurityMode), tube->PeerId);
}

void CMate::DoPeerLeft(std::string& body) {
  const int32_t id = ReadIntField(body);
  const int32_t reason = ReadIntField(body);
  if (CTube* tube = FindTubeById(id)) CloseTube(tube->Id, Negate(reason));
}

// --- Tube controls -----------------------------------------------------------------------

void CMate::DoTubeControl(CTube& tube, int32_t code, std::string& body) {
  switch (code) {
    case BOND_REQUEST: DoBondRequest(tube); break;
    case BOND_REPLY: DoBondReply(tube); break;
    case BOND_CLOSE: CloseTube(tube.Id, Negate(ReadIntField(body))); break;
    case BOND_BINARY:
      if (BondedBySender(tube)) DoBinary(tube.Id, body);
      break;
    default: break;
  }
}

// A tube bonds once: a repeated request is answered again (its sender may
// have missed the reply) but bonds nothing twice, and a closed tube stays
// closed until the purge takes it.
void CMate::DoBondRequest(CTube& tube) {
  if (tube.State == tsClosed) return;
  const bool first = tube.State != tsBonded;
  tube.State = tsBonded;
  Answer(tube, BOND_REPLY);
  if (first && Events.OnTubeBonded) Events.OnTubeBonded(tube.Id);
}

void CMate::DoBondReply(CTube& tube) {
  if (tube.State == tsClosed || tube.State == tsBonded) return;
  tube.State = tsBonded;
  if (Events.OnTubeBonded) Events.OnTubeBonded(tube.Id);
}

void CMate::DoBinary(TTubeId tube, std::string& body) {
  const std::string bytes = ReadStrField(body);
  com::Variant message;
  if (!StrToVarArray(bytes, &message)) return;
  if (Events.OnTubeBinary) Events.OnTubeBinary(tube, message);
}

// --- Application messages and acknowledgements ------------------------------------------

// The peer we asked to bond bonds when it answers, and may send at once: the
// transport cuts the newest message of a batch first, so that message can
// overtake the BOND_REPLY. Anything from that peer proves the bond; it is
// taken as the reply rather than dropped.
bool CMate::BondedBySender(CTube& tube) {
  const TTubeId id = tube.Id;
  if (tube.State == tsListed && tube.Requested) DoBondReply(tube);
  return CheckTube(id) != nullptr;  // the bond's handler may have closed everything
}

void CMate::DoMessage(CTube& tube, TSack& message) {
  if (state_ != msOpen) return;
  const TTubeId id = tube.Id;
  if (!BondedBySender(tube)) return;
  if (message.AckWanted) Answer(*CheckTube(id), -message.Code);
  if (Events.OnTubeMessage) Events.OnTubeMessage(id, message.Payload, message.Code - sackAppBase);
}

void CMate::DoAck(CTube& tube, int32_t code) {
  if (tube.State != tsBonded) return;
  auto matches = [code](const TPendingAck& a) { return a.Code == code; };
  if (std::none_of(tube.PendingAcks.begin(), tube.PendingAcks.end(), matches)) return;
  const TTubeId id = tube.Id;
  if (Events.OnTubeAck) Events.OnTubeAck(id, code - sackAppBase);
  // The handler may have sent (adding records) or closed and purged the tube.
  if (CTube* t = CheckTube(id)) {
    auto it = std::find_if(t->PendingAcks.begin(), t->PendingAcks.end(), matches);
    if (it != t->PendingAcks.end()) t->PendingAcks.erase(it);
  }
}

// --- Answers that wait for the pipe ---------------------------------------------------------

// Answers of one tube and code are alike, so a count keeps them all and
// their order; one that comes while its tube holds some of its code waits
// behind them.
static std::vector<THeldAnswer>::iterator FindHeld(CTube& tube, int32_t code) {
  return std::find_if(tube.Held.begin(), tube.Held.end(), [&](const THeldAnswer& h) { return h.Code == code; });
}

void CMate::Answer(CTube& tube, int32_t code) {
  CPipe* pipe = SessionPipe();
  if (!pipe || pipe->State != psSession) return;
  if (FindHeld(tube, code) == tube.Held.end() && PipeTakesAnswer(*pipe, code)) {
    QueueAnswer(code, tube.PeerId);
  } else {
    Hold(tube, code);
  }
}

bool CMate::PipeTakesAnswer(CPipe& pipe, int32_t code) {
  const size_t waiting = pipe.Queue().Waiting(code);
  if (waiting > 0) return waiting < kAnswersPerCode;
  std::erase_if(answerCodes_, [&](int32_t c) { return pipe.Queue().Waiting(c) == 0; });
  return answerCodes_.size() < kAnswerCodes;
}

void CMate::QueueAnswer(int32_t code, int32_t peerId) {
  if (std::find(answerCodes_.begin(), answerCodes_.end(), code) == answerCodes_.end()) answerCodes_.push_back(code);
  Queue(code, {}, peerId);
}

void CMate::Hold(CTube& tube, int32_t code) {
  auto held = FindHeld(tube, code);
  if (held != tube.Held.end()) {
    if (code != BOND_REPLY) ++held->Count;  // one reply answers every request that waits
  } else if (tube.Held.size() < kHeldCodesPerTube) {
    if (tube.Held.empty()) heldTubes_.push_back(tube.Id);
    tube.Held.push_back({code, 1});
  }
  PostRelease();
}

// One answer of each code a tube holds, tube after tube, while the pipe takes
// them: a peer that is owed many waits behind none of the others.
bool CMate::ReleaseHeld() {
  CPipe* pipe = SessionPipe();
  if (heldTubes_.empty() || !pipe || pipe->State != psSession) return false;
  bool moved = false;
  for (bool progress = true; progress && !heldTubes_.empty();) {
    progress = false;
    for (size_t i = 0; i < heldTubes_.size();) {
      CTube* tube = CheckTube(heldTubes_[i]);
      if (tube && ReleaseOneOfEach(*pipe, *tube)) progress = true;
      if (!tube || tube->Held.empty()) {
        heldTubes_.erase(heldTubes_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
    moved = moved || progress;
  }
  return moved;
}

bool CMate::ReleaseOneOfEach(CPipe& pipe, CTube& tube) {
  bool any = false;
  for (size_t k = 0; k < tube.Held.size();) {
    THeldAnswer& held = tube.Held[k];
    if (!PipeTakesAnswer(pipe, held.Code)) {
      ++k;
      continue;
    }
    QueueAnswer(held.Code, tube.PeerId);
    any = true;
    if (--held.Count == 0) {
      tube.Held.erase(tube.Held.begin() + static_cast<std::ptrdiff_t>(k));
    } else {
      ++k;
    }
  }
  return any;
}

// Released answers leave with the push that queueing them asked for, which
// runs before this message comes back; so the next release finds room as
// fast as the pipe drains. A release that moves nothing posts no more: the
// timer looks again.
void CMate::PostRelease() {
  if (!releasePosted_) releasePosted_ = win32::PostMessageA(timerWindow_.Handle(), kReleaseMessage, 0, 0);
}

void CMate::TakeReleaseMessage() {
  releasePosted_ = false;
  if (!destroying_ && ReleaseHeld() && !heldTubes_.empty()) PostRelease();
}

}  // namespace tw::cln
