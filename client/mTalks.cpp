#include "client/mTalks.h"

#include <algorithm>
#include <exception>

#include "audio/mVodec.h"
#include "client/mParleyCln.h"
#include "platform/win32/tick.h"
#include "transport/twTools.h"
#include "video/mCBitmap.h"

namespace tw::cln {

TTalkUnit::TTalkUnit(TTWParleyCln& engine) : engine_(engine) {}

TPeerHandle TTalkUnit::Talker(int32_t index) const {
  return index >= 0 && index < TalkCount() ? talkers_[static_cast<size_t>(index)] : 0;
}

void TTalkUnit::AddTalker(TPeerHandle handle) {
  talkers_.push_back(handle);
  talkerCount_ = talkers_.size();
}

void TTalkUnit::RemoveTalker(TPeerHandle handle) {
  std::erase(talkers_, handle);
  talkerCount_ = talkers_.size();
}

void TTalkUnit::Send(TPeer& peer, int32_t channel, TMessage body, bool ack) {
  engine_.Mate().Send(peer.Tube, channel, std::move(body), ack);
}

void TTalkUnit::SendCode(TPeer& peer, int32_t channel, int32_t code) { Send(peer, channel, TMessage().Int(code)); }

// --- Operations --------------------------------------------------------------------

bool TTalkUnit::BeginTalk(TPeer& peer, bool audio, bool video) {
  if (peer.LinkState != lsConnected) {
    engine_.SetLastError(errWrongState);
    return false;
  }
  if (peer.TalkState != tkIdle || callee_ != 0 || Full()) {
    engine_.SetLastError(errBusy);
    return false;
  }
  if (talkers_.empty()) {
    audioActive_ = audio;
    videoActive_ = video;
  }
  if (!StartMedia(peer)) {
    ReleaseMedia(&peer);
    engine_.SetLastError(errMediaFailed);
    return false;
  }
  callee_ = peer.Handle;
  peer.TalkState = tkCalling;
  Send(peer, APP_TALK_INVITE);
  return true;
}

// Ends the talk with every talker (last to first), then withdraws the call.
// An invitation being put to the container is left alone.
void TTalkUnit::EndTalk() {
  for (size_t i = talkers_.size(); i-- > 0;) {
    if (i >= talkers_.size()) continue;  // an event handler ended others meanwhile
    if (TPeer* p = engine_.CheckPeer(talkers_[i])) {
      Send(*p, APP_TALK_END);
      TalkEnded(*p);
    }
  }
  if (TPeer* p = engine_.CheckPeer(callee_)) {
    Send(*p, APP_TALK_END);
    TalkEnded(*p);
  }
}

// The peer's talk state goes to idle and its media are released before the
// container hears of it, so a handler that begins a new talk with the same
// peer keeps the media it started.
void TTalkUnit::TalkEnded(TPeer& peer) {
  if (peer.TalkState == tkIdle) return;
  peer.TalkState = tkIdle;
  const TPeerHandle handle = peer.Handle;
  const bool wasCallee = handle == callee_;
  if (handle == joining_.inviter) joining_ = {};  // its talk's members are no longer expected
  if (wasCallee)
    callee_ = 0;
  else
    RemoveTalker(handle);
  ReleaseMedia(&peer);
  if (engine_.Destroying()) return;
  // The recorder hears of every ended talk, whether or not it stops.
  if (auto& stop = engine_.Recorder().Events.OnTalkStop) stop();
  TParleyClnEvents& ev = engine_.Events;
  if (wasCallee) {
    if (ev.OnTalkRefused) ev.OnTalkRefused(handle, errCancelled);
  } else if (ev.OnTalkEnded) {
    ev.OnTalkEnded(handle);
  }
}

// --- Media -------------------------------------------------------------------------

bool TTalkUnit::StartMedia(TPeer& peer) {
  const TPeerHandle handle = peer.Handle;
  peer.Player = engine_.Media().CreatePlayer();
  IPlayer& player = *peer.Player;
  player.SetDeviceIndex(engine_.Player().GetDeviceIndex());
  player.OnPlayed = [this, handle](TBytes samples) { WavePlayed(handle, samples); };
  player.SetRecorder(&engine_.Recorder());
  player.OnFailure = [this](const std::string& reason) { engine_.ReportDeviceFailure(reason); };
  if (!player.Start()) return false;
  if (audioActive_ && !engine_.Recorder().Start()) return false;
  if (videoActive_ && !engine_.Capture().StartCapture()) return false;
  peer.Decoder = engine_.Media().CreateDecoder();
  return true;
}

void TTalkUnit::ReleaseMedia(TPeer* peer) {
  if (!SharedMediaInUse()) {
    engine_.Recorder().Stop();
    engine_.Capture().StopCapture();
    // The streaming thread has stopped: a frame left over belongs to no talk.
    framePending_ = false;
  }
  if (!peer) return;
  if (peer->Player) {
    peer->Player->Stop();
    peer->Player.reset();
  }
  peer->Decoder.reset();
}

// The media of a talk that starts from no talkers, as the container chose
// them for it. A call still unanswered may have started the recorder or the
// capture already: what the choice leaves out stops, what it adds starts
// with the next talker's media.
void TTalkUnit::ChooseMedia(bool audio, bool video) {
  if (callee_ != 0 && audioActive_ && !audio) engine_.Recorder().Stop();
  if (callee_ != 0 && videoActive_ && !video) {
    engine_.Capture().StopCapture();
    framePending_ = false;
  }
  audioActive_ = audio;
  videoActive_ = video;
}

// --- Messages ------------------------------------------------------------------------

void TTalkUnit::DoMessage(TPeer& peer, int32_t channel, std::string& body) {
  switch (channel) {
    case APP_TALK_INVITE: DoTalkInvite(peer); break;
    case APP_TALK_ACCEPT: DoTalkAccept(peer); break;
    case APP_TALK_REFUSE: DoTalkRefuse(peer, body); break;
    case APP_TALK_END: TalkEnded(peer); break;
    case APP_TALK_JOIN: DoTalkJoin(peer, body); break;
    case APP_AUDIO: DoAudio(peer, body); break;
    case APP_FRAME: DoFrame(peer, body); break;
    default: break;
  }
}

void TTalkUnit::DoTalkInvite(TPeer& peer) {
  // Both invited each other at once, it is already in a talk with us, or the
  // talk has no room for another talker.
  if (peer.TalkState != tkIdle || Full()) {
    SendCode(peer, APP_TALK_REFUSE, errBusy);
    return;
  }
  const TPeerHandle handle = peer.Handle;
  peer.TalkState = tkInvited;
  bool okay = false;
  bool audio = SharedMediaInUse() ? audioActive_ : true;
  bool video = SharedMediaInUse() ? videoActive_.load() : true;
  if (engine_.Events.OnTalkInvited) engine_.Events.OnTalkInvited(handle, okay, audio, video);
  // The handler may have pumped messages: the inviter's END, a disconnect or a
  // close ended the invitation there and the container heard of it then.
  TPeer* p = engine_.CheckPeer(handle);
  if (!p || p->TalkState != tkInvited || engine_.Destroying()) return;
  // A refusal leaves the media of a call in progress as they are.
  if (talkers_.empty() && (okay || callee_ == 0)) ChooseMedia(audio, video);
  // Talks the handler began meanwhile may have filled the talk.
  const bool full = okay && Full();
  if (!okay || full) {
    p->TalkState = tkIdle;
    ReleaseMedia(p);
    SendCode(*p, APP_TALK_REFUSE, full ? errBusy : errCancelled);
    if (engine_.Events.OnError) engine_.Events.OnError(full ? errBusy : errCancelled);
    return;
  }
  if (!StartMedia(*p)) {
    // The inviter is told, so it does not wait in its call for ever.
    engine_.SetLastError(errMediaFailed);
    p->TalkState = tkIdle;
    ReleaseMedia(p);
    SendCode(*p, APP_TALK_REFUSE, errMediaFailed);
    return;
  }
  // The talkers of the inviter's talk will answer its join request.
  joining_ = {handle, win32::GetTickCount()};
  Send(*p, APP_TALK_ACCEPT);
  TalkBegan(*p);
}

bool TTalkUnit::ExpectsJoiner() {
  if (joining_.inviter == 0 || win32::GetTickCount() - joining_.since >= kJoinWindowMs) return false;
  const TPeer* inviter = engine_.CheckPeer(joining_.inviter);
  return inviter && inviter->TalkState == tkTalking && inviter->LinkState == lsConnected;
}

// From our callee: the call is answered, and the talkers we already have are
// told to join it. From an idle peer shortly after we accepted an
// invitation: a talker of the inviter's talk that was told to join us.
// Anything else (a peer we neither called nor expect, a repeated answer, one
// that would overfill the talk) starts nothing; an idle peer is told the
// talk ended, so it does not count us as its talker.
void TTalkUnit::DoTalkAccept(TPeer& peer) {
  if (peer.Handle == callee_ && peer.TalkState == tkCalling) {
    callee_ = 0;
    if (!talkers_.empty()) {
      CMate& mate = engine_.Mate();
      const int32_t calleeId = mate.GetTubeId(peer.Tube);
      std::vector<TTubeId> targets;
      for (size_t i = talkers_.size(); i-- > 0;)
        if (TPeer* t = engine_.CheckPeer(talkers_[i])) targets.push_back(t->Tube);
      mate.Send(targets, APP_TALK_JOIN, TMessage().Int(calleeId));
    }
    TalkBegan(peer);
    return;
  }
  if (peer.TalkState != tkIdle) return;
  if (!ExpectsJoiner() || Full()) {
    Send(peer, APP_TALK_END);
    return;
  }
  if (!StartMedia(peer)) {
    ReleaseMedia(&peer);
    Send(peer, APP_TALK_END);
    return;
  }
  TalkBegan(peer);
}

void TTalkUnit::TalkBegan(TPeer& peer) {
  peer.TalkState = tkTalking;
  AddTalker(peer.Handle);
  if (engine_.Events.OnTalkBegan) engine_.Events.OnTalkBegan(peer.Handle);
}

// Only our callee can refuse our call.
void TTalkUnit::DoTalkRefuse(TPeer& peer, std::string& body) {
  if (peer.Handle != callee_ || peer.TalkState != tkCalling) return;
  const int32_t code = ReadIntField(body);
  callee_ = 0;
  peer.TalkState = tkIdle;
  ReleaseMedia(&peer);
  if (engine_.Events.OnTalkRefused) engine_.Events.OnTalkRefused(peer.Handle, code);
}

// A talker of ours tells us that its callee joins the talk. A peer whose
// link is gone is not joined: it could never take part, and its record would
// hold media until the engine goes.
void TTalkUnit::DoTalkJoin(TPeer& sender, std::string& body) {
  if (sender.TalkState != tkTalking || Full()) return;
  CMate& mate = engine_.Mate();
  const CTube* tube = mate.FindTubeById(ReadIntField(body));
  if (!tube) return;
  TPeer* p = engine_.CheckPeer(tube->UserData);
  if (!p || p->Tube != tube->Id || p->LinkState != lsConnected || p->TalkState != tkIdle) return;
  if (!StartMedia(*p)) {
    ReleaseMedia(p);
    return;
  }
  p->TalkState = tkTalking;
  AddTalker(p->Handle);
  Send(*p, APP_TALK_ACCEPT);
  if (engine_.Events.OnTalkJoined) engine_.Events.OnTalkJoined(p->Handle);
}

// --- Audio ---------------------------------------------------------------------------

void TTalkUnit::DoWaveRecorded(TBytes samples) {
  if (engine_.Destroying() || talkers_.empty() || engine_.Recorder().GetMuted()) return;
  if (engine_.Events.OnWaveRecorded) engine_.Events.OnWaveRecorded(samples);
}

void TTalkUnit::DoAudioEncoded(TBytes packet) {
  if (engine_.Destroying() || talkers_.empty()) return;
  if (engine_.Recorder().GetMuted() && packet.size() > kMarkerBytes) return;
  for (size_t i = talkers_.size(); i-- > 0;)
    if (TPeer* p = engine_.CheckPeer(talkers_[i])) SendAudio(*p, packet);
}

void TTalkUnit::SendAudio(TPeer& peer, TBytes packet) {
  CMate& mate = engine_.Mate();
  if (mate.CountPendingAcks(peer.Tube, APP_AUDIO) >= kMaxPendingAudio) return;
  Send(peer, APP_AUDIO, TMessage().Str(std::string_view(reinterpret_cast<const char*>(packet.data()), packet.size())),
       true);
}

// Each field is one voice packet; a field too short to be one ends the
// message, and one longer than any packet can be is dropped unread.
void TTalkUnit::DoAudio(TPeer& peer, std::string& body) {
  if (peer.TalkState != tkTalking || engine_.Player().GetMuted()) return;
  const TPeerHandle handle = peer.Handle;
  std::string_view rest(body);
  while (!rest.empty()) {
    const std::string_view field = ReadStrField(rest);
    if (field.size() < kMarkerBytes) break;
    if (field.size() > vodec::kMaxPacketBytes) continue;
    // A handler of the played sound may have ended the talk meanwhile.
    TPeer* p = engine_.CheckPeer(handle);
    if (!p || p->TalkState != tkTalking || !p->Player) break;
    p->Player->PlayPacket(TBytes(reinterpret_cast<const uint8_t*>(field.data()), field.size()));
  }
}

void TTalkUnit::WavePlayed(TPeerHandle handle, TBytes samples) {
  if (!engine_.Destroying() && engine_.Events.OnWavePlayed) engine_.Events.OnWavePlayed(handle, samples);
}

// --- Video ---------------------------------------------------------------------------

void TTalkUnit::DoCaptureFrame(const win32::Bitmap& frame) {
  if (engine_.Destroying() || talkerCount_.load() == 0 || !videoActive_.load() ||
      framePending_.load(std::memory_order_acquire))
    return;
  captured_ = frame;
  framePending_.store(true, std::memory_order_release);
}

void TTalkUnit::SendPendingFrame() {
  if (engine_.Destroying() || talkers_.empty() || !framePending_.load(std::memory_order_acquire)) return;
  // The hand-over reopens whatever happens below, so video never stops for good.
  struct Reopen {
    std::atomic<bool>& pending;
    ~Reopen() { pending.store(false, std::memory_order_release); }
  } reopen{framePending_};

  const uint32_t tick = win32::GetTickCount();
  const bool key = tick - keyFrameTick_ >= kKeyFrameMs;
  try {
    const std::span<const uint8_t> frame = engine_.Encoder().Encode(captured_, !key);
    encoded_.assign(reinterpret_cast<const char*>(frame.data()), frame.size());
    BitmapToBmp24(captured_, localImage_);
  } catch (const std::exception&) {
    return;  // this frame cannot be coded; the next one may
  }
  if (key) keyFrameTick_ = tick;
  for (size_t i = talkers_.size(); i-- > 0;)
    if (TPeer* p = engine_.CheckPeer(talkers_[i])) SendFrame(*p);
  if (engine_.Events.OnLocalFrame)
    engine_.Events.OnLocalFrame(TBytes(reinterpret_cast<const uint8_t*>(localImage_.data()), localImage_.size()));
}

void TTalkUnit::SendFrame(TPeer& peer) {
  CMate& mate = engine_.Mate();
  if (mate.CountPendingAcks(peer.Tube, APP_FRAME) >= kMaxPendingFrames) return;
  Send(peer, APP_FRAME, TMessage().Str(encoded_), true);
}

// A frame the sender's decoder refuses is dropped; the next key frame mends
// the picture.
void TTalkUnit::DoFrame(TPeer& peer, std::string& body) {
  TParleyClnEvents& ev = engine_.Events;
  // A callee that has not answered yet has a decoder too, but is no talker.
  if (talkers_.empty() || !ev.OnRemoteFrame || peer.TalkState != tkTalking || !peer.Decoder) return;
  std::string_view rest(body);
  const std::string_view frame = ReadStrField(rest);
  if (frame.size() <= 3) return;
  Send(peer, APP_FRAME_DONE);
  try {
    peer.Decoder->Decode(decoded_, TBytes(reinterpret_cast<const uint8_t*>(frame.data()), frame.size()));
    BitmapToBmp32(decoded_, remoteImage_);
  } catch (const std::exception&) {
    return;
  }
  ev.OnRemoteFrame(peer.Handle, TBytes(reinterpret_cast<const uint8_t*>(remoteImage_.data()), remoteImage_.size()));
}

}  // namespace tw::cln
