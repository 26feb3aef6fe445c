#include "client/mTalks.h"

#include <algorithm>
#include <exception>

#include "audio/mVodec.h"
#include "client/mPeer.h"
#include "client/mUnitHost.h"
#include "transport/twTools.h"
#include "video/mCBitmap.h"

namespace tw::cln {

TTalkUnit::TTalkUnit(IUnitHost& host) : host_(host) {}

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

void TTalkUnit::SendCode(TPeer& peer, int32_t channel, int32_t code) {
  host_.Send(peer, channel, TMessage().Int(code));
}

// --- Operations --------------------------------------------------------------------

bool TTalkUnit::BeginTalk(TPeer& peer, bool audio, bool video) {
  if (peer.LinkState != lsConnected) {
    host_.SetLastError(errWrongState);
    return false;
  }
  if (peer.Talk.State != tkIdle || callee_ != 0 || Full()) {
    host_.SetLastError(errBusy);
    return false;
  }
  if (talkers_.empty()) {
    audioActive_ = audio;
    videoActive_ = video;
  }
  if (!StartMedia(peer, "TTalkUnit.BeginTalk")) {
    ReleaseMedia(&peer);
    host_.SetLastError(errMediaFailed);
    return false;
  }
  callee_ = peer.Handle;
  peer.Talk.State = tkCalling;
  host_.Send(peer, APP_TALK_INVITE);
  return true;
}

// Ends the talk with every talker (last to first), then withdraws the call.
// An invitation being put to the container is left alone.
void TTalkUnit::EndTalk() {
  for (size_t i = talkers_.size(); i-- > 0;) {
    if (i >= talkers_.size()) continue;  // an event handler ended others meanwhile
    if (TPeer* p = host_.FindPeer(talkers_[i])) {
      host_.Send(*p, APP_TALK_END);
      TalkEnded(*p);
    }
  }
  if (TPeer* p = host_.FindPeer(callee_)) {
    host_.Send(*p, APP_TALK_END);
    TalkEnded(*p);
  }
}

// The peer's talk state goes to idle and its media are released before the
// container hears of it, so a handler that begins a new talk with the same
// peer keeps the media it started.
void TTalkUnit::TalkEnded(TPeer& peer) {
  if (peer.Talk.State == tkIdle) return;
  peer.Talk.State = tkIdle;
  const TPeerHandle handle = peer.Handle;
  const bool wasCallee = handle == callee_;
  // A talk that ends inside the window used up the peer's one answer to the
  // inviter's join request, if it had one.
  peer.Talk.EndedIn = joining_.serial;
  if (handle == joining_.inviter) joining_ = {};  // its talk's members are no longer expected
  if (wasCallee)
    callee_ = 0;
  else
    RemoveTalker(handle);
  ReleaseMedia(&peer);
  if (host_.Destroying()) return;
  // The recorder hears of every ended talk, whether or not it stops.
  if (auto& stop = host_.Recorder().Events.OnTalkStop) stop();
  TParleyClnEvents& ev = host_.Events();
  if (wasCallee) {
    if (ev.OnTalkRefused) ev.OnTalkRefused(handle, errCancelled);
  } else if (ev.OnTalkEnded) {
    ev.OnTalkEnded(handle);
  }
}

// --- Media -------------------------------------------------------------------------

bool TTalkUnit::StartMedia(TPeer& peer, const char* operation) {
  const TPeerHandle handle = peer.Handle;
  peer.Talk.Player = host_.MediaFactory().CreatePlayer();
  IPlayer& player = *peer.Talk.Player;
  player.SetDeviceIndex(host_.Player().GetDeviceIndex());
  player.OnPlayed = [this, handle](TBytes samples) { WavePlayed(handle, samples); };
  player.SetRecorder(&host_.Recorder());
  player.OnFailure = [this](const std::string& reason) { host_.ReportFailure(reason); };
  // The device's own reason, where it has one, went to the report already.
  const char* failed = nullptr;
  if (!player.Start())
    failed = "the player";
  else if (audioActive_ && !host_.Recorder().Start())
    failed = "the recorder";
  else if (videoActive_ && !host_.Capture().StartCapture())
    failed = "the capture";
  if (failed) {
    host_.ReportFailure(std::string(operation) + ": " + failed + " did not start");
    return false;
  }
  peer.Talk.Decoder = host_.MediaFactory().CreateDecoder();
  return true;
}

void TTalkUnit::ReleaseMedia(TPeer* peer) {
  if (!SharedMediaInUse()) {
    host_.Recorder().Stop();
    host_.Capture().StopCapture();
    // The streaming thread has stopped: a frame left over belongs to no talk.
    framePending_ = false;
  }
  if (!peer) return;
  if (peer->Talk.Player) {
    peer->Talk.Player->Stop();
    peer->Talk.Player.reset();
  }
  peer->Talk.Decoder.reset();
  peer->Talk.FrameRefused = false;
}

// The media of a talk that starts from no talkers, as the container chose
// them for it. A call still unanswered may have started the recorder or the
// capture already: what the choice leaves out stops, what it adds starts
// with the next talker's media.
void TTalkUnit::ChooseMedia(bool audio, bool video) {
  if (callee_ != 0 && audioActive_ && !audio) host_.Recorder().Stop();
  if (callee_ != 0 && videoActive_ && !video) {
    host_.Capture().StopCapture();
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
  if (peer.Talk.State != tkIdle || Full()) {
    SendCode(peer, APP_TALK_REFUSE, errBusy);
    return;
  }
  const TPeerHandle handle = peer.Handle;
  peer.Talk.State = tkInvited;
  bool okay = false;
  bool audio = SharedMediaInUse() ? audioActive_ : true;
  bool video = SharedMediaInUse() ? videoActive_.load() : true;
  if (host_.Events().OnTalkInvited) host_.Events().OnTalkInvited(handle, okay, audio, video);
  // The handler may have pumped messages: the inviter's END, a disconnect or a
  // close ended the invitation there and the container heard of it then.
  TPeer* p = host_.FindPeer(handle);
  if (!p || p->Talk.State != tkInvited || host_.Destroying()) return;
  // A refusal leaves the media of a call in progress as they are.
  if (talkers_.empty() && (okay || callee_ == 0)) ChooseMedia(audio, video);
  // Talks the handler began meanwhile may have filled the talk.
  const bool full = okay && Full();
  if (!okay || full) {
    p->Talk.State = tkIdle;
    ReleaseMedia(p);
    SendCode(*p, APP_TALK_REFUSE, full ? errBusy : errCancelled);
    if (host_.Events().OnError) host_.Events().OnError(full ? errBusy : errCancelled);
    return;
  }
  if (!StartMedia(*p, "TTalkUnit.AcceptTalk")) {
    // The inviter is told, so it does not wait in its call for ever.
    host_.SetLastError(errMediaFailed);
    p->Talk.State = tkIdle;
    ReleaseMedia(p);
    SendCode(*p, APP_TALK_REFUSE, errMediaFailed);
    return;
  }
  // The talkers of the inviter's talk will answer its join request.
  joining_ = {handle, host_.Now(), host_.Bonds(), ++acceptances_};
  host_.Send(*p, APP_TALK_ACCEPT);
  TalkBegan(*p);
}

bool TTalkUnit::ExpectsJoiner(const TPeer& peer) {
  if (joining_.inviter == 0 || host_.Now() - joining_.since >= kJoinWindowMs) return false;
  if (peer.Talk.ToldOff || peer.Bond == 0 || peer.Bond > joining_.bonds || peer.Talk.EndedIn == joining_.serial)
    return false;
  const TPeer* inviter = host_.FindPeer(joining_.inviter);
  return inviter && inviter->Talk.State == tkTalking && inviter->LinkState == lsConnected;
}

// From our callee: the call is answered, and the talkers we already have are
// told to join it. From an idle peer shortly after we accepted an
// invitation: a talker of the inviter's talk that was told to join us.
// Anything else (a peer we neither called nor expect, a repeated answer, one
// that would overfill the talk) starts nothing; an idle peer is told the
// talk ended, so it does not count us as its talker, and one we did not
// expect is never honoured as a joiner again.
void TTalkUnit::DoTalkAccept(TPeer& peer) {
  if (peer.Handle == callee_ && peer.Talk.State == tkCalling) {
    callee_ = 0;
    if (!talkers_.empty()) {
      std::vector<TPeer*> targets;
      targets.reserve(talkers_.size());
      for (size_t i = talkers_.size(); i-- > 0;)
        if (TPeer* t = host_.FindPeer(talkers_[i])) targets.push_back(t);
      host_.Send(targets, APP_TALK_JOIN, TMessage().Int(host_.HubId(peer)), false);
    }
    TalkBegan(peer);
    return;
  }
  if (peer.Talk.State != tkIdle) return;
  const bool expected = ExpectsJoiner(peer);
  if (!expected || Full()) {
    if (!expected) peer.Talk.ToldOff = true;
    host_.Send(peer, APP_TALK_END);
    return;
  }
  if (!StartMedia(peer, "TTalkUnit.JoinTalk")) {
    ReleaseMedia(&peer);
    host_.Send(peer, APP_TALK_END);
    return;
  }
  TalkBegan(peer);
}

void TTalkUnit::TalkBegan(TPeer& peer) {
  peer.Talk.State = tkTalking;
  AddTalker(peer.Handle);
  if (host_.Events().OnTalkBegan) host_.Events().OnTalkBegan(peer.Handle);
}

// Only our callee can refuse our call.
void TTalkUnit::DoTalkRefuse(TPeer& peer, std::string& body) {
  if (peer.Handle != callee_ || peer.Talk.State != tkCalling) return;
  const int32_t code = ReadIntField(body);
  callee_ = 0;
  peer.Talk.State = tkIdle;
  ReleaseMedia(&peer);
  if (host_.Events().OnTalkRefused) host_.Events().OnTalkRefused(peer.Handle, code);
}

// A talker of ours tells us that its callee joins the talk. A peer whose
// link is gone is not joined: it could never take part, and its record would
// hold media until the engine goes.
void TTalkUnit::DoTalkJoin(TPeer& sender, std::string& body) {
  if (sender.Talk.State != tkTalking || Full()) return;
  TPeer* p = host_.FindPeerByHubId(ReadIntField(body));
  if (!p || p->LinkState != lsConnected || p->Talk.State != tkIdle) return;
  if (!StartMedia(*p, "TTalkUnit.JoinTalk")) {
    ReleaseMedia(p);
    return;
  }
  p->Talk.State = tkTalking;
  AddTalker(p->Handle);
  host_.Send(*p, APP_TALK_ACCEPT);
  if (host_.Events().OnTalkJoined) host_.Events().OnTalkJoined(p->Handle);
}

// --- Audio ---------------------------------------------------------------------------

void TTalkUnit::DoWaveRecorded(TBytes samples) {
  if (host_.Destroying() || talkers_.empty() || host_.Recorder().GetMuted()) return;
  if (host_.Events().OnWaveRecorded) host_.Events().OnWaveRecorded(samples);
}

void TTalkUnit::DoAudioEncoded(TBytes packet) {
  if (host_.Destroying() || talkers_.empty()) return;
  if (host_.Recorder().GetMuted() && packet.size() > kMarkerBytes) return;
  for (size_t i = talkers_.size(); i-- > 0;)
    if (TPeer* p = host_.FindPeer(talkers_[i])) SendAudio(*p, packet);
}

void TTalkUnit::SendAudio(TPeer& peer, TBytes packet) {
  if (host_.PendingAcks(peer, APP_AUDIO) >= kMaxPendingAudio) return;
  const std::string_view bytes(reinterpret_cast<const char*>(packet.data()), packet.size());
  host_.Send(peer, APP_AUDIO, TMessage().Str(bytes), true);
}

// Each field is one voice packet; a field too short to be one ends the
// message, and one longer than any packet can be is dropped unread.
void TTalkUnit::DoAudio(TPeer& peer, std::string& body) {
  if (peer.Talk.State != tkTalking || host_.Player().GetMuted()) return;
  const TPeerHandle handle = peer.Handle;
  std::string_view rest(body);
  while (!rest.empty()) {
    const std::string_view field = ReadStrField(rest);
    if (field.size() < kMarkerBytes) break;
    if (field.size() > vodec::kMaxPacketBytes) continue;
    // A handler of the played sound may have ended the talk meanwhile.
    TPeer* p = host_.FindPeer(handle);
    if (!p || p->Talk.State != tkTalking || !p->Talk.Player) break;
    p->Talk.Player->PlayPacket(TBytes(reinterpret_cast<const uint8_t*>(field.data()), field.size()));
  }
}

void TTalkUnit::WavePlayed(TPeerHandle handle, TBytes samples) {
  if (!host_.Destroying() && host_.Events().OnWavePlayed) host_.Events().OnWavePlayed(handle, samples);
}

// --- Video ---------------------------------------------------------------------------

void TTalkUnit::DoCaptureFrame(const win32::Bitmap& frame) {
  if (host_.Destroying() || talkerCount_.load() == 0 || !videoActive_.load() ||
      framePending_.load(std::memory_order_acquire))
    return;
  captured_ = frame;
  framePending_.store(true, std::memory_order_release);
}

void TTalkUnit::SendPendingFrame() {
  if (host_.Destroying() || talkers_.empty() || !framePending_.load(std::memory_order_acquire)) return;
  // The hand-over reopens whatever happens below, so video never stops for good.
  struct Reopen {
    std::atomic<bool>& pending;
    ~Reopen() { pending.store(false, std::memory_order_release); }
  } reopen{framePending_};

  const uint32_t tick = host_.Now();
  const bool key = tick - keyFrameTick_ >= kKeyFrameMs;
  try {
    const std::span<const uint8_t> frame = host_.Encoder().Encode(captured_, !key);
    encoded_.assign(reinterpret_cast<const char*>(frame.data()), frame.size());
    BitmapToBmp24(captured_, localImage_);
  } catch (const std::exception& e) {
    // This frame cannot be coded; the next one may. A run of such frames is
    // reported once.
    if (!encodeFailed_) host_.ReportFailure(std::string("TTalkUnit.SendPendingFrame: ") + e.what());
    encodeFailed_ = true;
    return;
  }
  encodeFailed_ = false;
  if (key) keyFrameTick_ = tick;
  for (size_t i = talkers_.size(); i-- > 0;)
    if (TPeer* p = host_.FindPeer(talkers_[i])) SendFrame(*p);
  if (host_.Events().OnLocalFrame)
    host_.Events().OnLocalFrame(TBytes(reinterpret_cast<const uint8_t*>(localImage_.data()), localImage_.size()));
}

void TTalkUnit::SendFrame(TPeer& peer) {
  if (host_.PendingAcks(peer, APP_FRAME) >= kMaxPendingFrames) return;
  host_.Send(peer, APP_FRAME, TMessage().Str(encoded_), true);
}

// A frame the sender's decoder refuses is dropped; the next key frame mends
// the picture.
void TTalkUnit::DoFrame(TPeer& peer, std::string& body) {
  TParleyClnEvents& ev = host_.Events();
  // A callee that has not answered yet has a decoder too, but is no talker.
  if (talkers_.empty() || !ev.OnRemoteFrame || peer.Talk.State != tkTalking || !peer.Talk.Decoder) return;
  std::string_view rest(body);
  const std::string_view frame = ReadStrField(rest);
  if (frame.size() <= 3) return;
  host_.Send(peer, APP_FRAME_DONE);
  try {
    peer.Talk.Decoder->Decode(decoded_, TBytes(reinterpret_cast<const uint8_t*>(frame.data()), frame.size()));
    BitmapToBmp32(decoded_, remoteImage_);
  } catch (const std::exception& e) {
    // Once per talker and talk: a peer's frames cannot fill the log.
    if (!peer.Talk.FrameRefused) host_.ReportFailure(std::string("TTalkUnit.DoFrame: ") + e.what());
    peer.Talk.FrameRefused = true;
    return;
  }
  ev.OnRemoteFrame(peer.Handle, TBytes(reinterpret_cast<const uint8_t*>(remoteImage_.data()), remoteImage_.size()));
}

}  // namespace tw::cln
