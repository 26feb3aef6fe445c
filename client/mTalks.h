// TTalkUnit: the engine's talks. A talk is an audio and video conversation
// among two or more peers in which every pair of talkers exchanges media
// through the hub (a full mesh). The unit keeps the invitation protocol
// (APP_TALK_INVITE .. APP_TALK_JOIN) and each peer's talk state, the talker
// list and the one pending callee, and the media that run while a talk is
// set up or has talkers: the player and decoder of each talking peer, the
// engine's recorder and capture. It sends the recorder's voice packets and
// the captured frames to every talker, each with its own flow control, and
// plays and decodes what the talkers send. It reaches the engine only
// through IUnitHost; its part of each peer's record is TPeerTalk.
//
// Everything runs on the engine's thread except DoCaptureFrame, which the
// capture's streaming thread calls; the hand-over between the two is one
// frame-pending flag (an atomic): the streaming thread writes the captured
// bitmap only while it is clear and then sets it, the engine's 20 ms timer
// reads the bitmap only while it is set and clears it when done.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/mCodes.h"
#include "client/mMedia.h"
#include "platform/bitmap/bitmap.h"

namespace tw::cln {

class IUnitHost;
struct TPeer;

// Talk codes (channels; they travel as channel + 1000).
enum : int32_t {
  APP_TALK_INVITE = 100,
  APP_TALK_ACCEPT = 101,
  APP_TALK_REFUSE = 102,
  APP_TALK_END = 103,
  APP_TALK_JOIN = 104,
  APP_AUDIO = 110,
  APP_FRAME = 120,
  APP_FRAME_DONE = 121,
};

// Talk states of a peer.
enum : uint8_t { tkIdle = 0, tkCalling = 1, tkTalking = 2, tkInvited = 3 };

// The unit's part of a peer's record.
struct TPeerTalk {
  uint8_t State = tkIdle;
  // While media run for this peer.
  std::unique_ptr<IPlayer> Player;
  std::unique_ptr<IVideoDecoder> Decoder;
  bool FrameRefused = false;  // its decoder refused a frame of this talk (reported)
  // Whether it may still join a talk we accepted (TTalkUnit::kJoinWindowMs).
  bool ToldOff = false;  // an accept nobody expected was answered END: never a joiner again
  uint64_t EndedIn = 0;  // the acceptance in whose window its last talk with us ended
};

class TTalkUnit {
 public:
  // Flow control: what may stay unacknowledged per talker before further
  // audio packets (frames) to it are dropped.
  static constexpr int32_t kMaxPendingAudio = 33;
  static constexpr int32_t kMaxPendingFrames = 2;
  // A key frame when this long has passed since the last one.
  static constexpr uint32_t kKeyFrameMs = 555;
  // While recording is muted, packets of at most this size still go out (the
  // end-of-talk marker).
  static constexpr size_t kMarkerBytes = 4;
  // The most talkers a talk may have, a call being set up counted. Every
  // frame and voice packet goes out once per talker, so a full mesh of this
  // size is already beyond what a client's link carries; the bound keeps
  // peers that join on their own from piling up players, decoders and
  // traffic.
  static constexpr size_t kMaxTalkers = 16;
  // After we accept an invitation, each talker already in the inviter's talk
  // is told to join us and answers with an APP_TALK_ACCEPT of its own. Such
  // answers from peers we neither called nor talk with are honoured only
  // this long after we accepted, and only while the talk with the inviter
  // runs. The answers are one relayed round trip behind our acceptance (the
  // inviter's join request, then the talker's answer); the window leaves
  // room for them to wait behind the media already queued on slow links and
  // for a few TCP retransmissions; outside it, and whenever we accepted no
  // invitation, an accept from a stranger starts nothing.
  //
  // Nor does one from a peer that cannot be such a talker: one that bonded
  // with us after we accepted (each talker of the inviter's talk was bonded
  // with us before, since it was idle with us when told to join), one whose
  // talk with us ended inside the window (each talker answers once), and
  // one that ever sent an accept we answered with APP_TALK_END (a peer that
  // accepts what nobody asked keeps no claim to join later talks).
  static constexpr uint32_t kJoinWindowMs = 10'000;

  explicit TTalkUnit(IUnitHost& host);
  TTalkUnit(const TTalkUnit&) = delete;
  TTalkUnit& operator=(const TTalkUnit&) = delete;

  static bool Handles(int32_t channel) {
    return (channel >= APP_TALK_INVITE && channel <= APP_TALK_JOIN) || channel == APP_AUDIO || channel == APP_FRAME;
  }
  void DoMessage(TPeer& peer, int32_t channel, std::string& body);

  // --- Operations (the engine selects and checks nothing more) ---------------------
  bool BeginTalk(TPeer& peer, bool audio, bool video);
  void EndTalk();
  // The peer our call waits on, or 0.
  TPeerHandle Callee() const { return callee_; }
  int32_t TalkCount() const { return static_cast<int32_t>(talkers_.size()); }
  TPeerHandle Talker(int32_t index) const;
  bool AudioActive() const { return audioActive_; }
  bool VideoActive() const { return videoActive_; }

  // --- The engine's hooks -----------------------------------------------------------
  void TalkEnded(TPeer& peer);     // a peer's talk ends (END, disconnect, close)
  void ReleaseMedia(TPeer* peer);  // frees a peer's media; the shared ones once unused
  void SendPendingFrame();         // the 20 ms timer's video step
  void DoWaveRecorded(TBytes samples);
  void DoAudioEncoded(TBytes packet);
  void DoCaptureFrame(const win32::Bitmap& frame);  // the capture's streaming thread

 private:
  // Starts the peer's player and decoder and the shared media the talk
  // uses; a failure is reported with the operation that met it.
  bool StartMedia(TPeer& peer, const char* operation);
  // The recorder and capture are in use while a talk has talkers or a call
  // is being set up.
  bool SharedMediaInUse() const { return !talkers_.empty() || callee_ != 0; }
  // No room for another talker.
  bool Full() const { return talkers_.size() + (callee_ != 0 ? 1 : 0) >= kMaxTalkers; }
  // Whether `peer`, accepting though we neither called nor talk with it, may
  // be a talker of the talk we joined last (see kJoinWindowMs).
  bool ExpectsJoiner(const TPeer& peer);
  void ChooseMedia(bool audio, bool video);
  void TalkBegan(TPeer& peer);
  void AddTalker(TPeerHandle handle);
  void RemoveTalker(TPeerHandle handle);
  void SendCode(TPeer& peer, int32_t channel, int32_t code);
  void SendAudio(TPeer& peer, TBytes packet);
  void SendFrame(TPeer& peer);
  void WavePlayed(TPeerHandle handle, TBytes samples);

  void DoTalkInvite(TPeer& peer);
  void DoTalkAccept(TPeer& peer);
  void DoTalkRefuse(TPeer& peer, std::string& body);
  void DoTalkJoin(TPeer& sender, std::string& body);
  void DoAudio(TPeer& peer, std::string& body);
  void DoFrame(TPeer& peer, std::string& body);

  IUnitHost& host_;
  std::vector<TPeerHandle> talkers_;  // in the order their talks began
  std::atomic<size_t> talkerCount_{0};  // the same count, for the streaming thread
  TPeerHandle callee_ = 0;
  // The talk we joined last by accepting an invitation: who invited us (0:
  // nobody, or that talk ended), when we accepted, the bonds open then, and
  // which acceptance it was (counted from 1).
  struct TJoining {
    TPeerHandle inviter = 0;
    uint32_t since = 0;
    uint64_t bonds = 0;
    uint64_t serial = 0;
  } joining_;
  uint64_t acceptances_ = 0;
  bool audioActive_ = false;
  std::atomic<bool> videoActive_{false};
  // The frame hand-over: set by the streaming thread, cleared by the timer.
  std::atomic<bool> framePending_{false};
  win32::Bitmap captured_;
  win32::Bitmap decoded_{0, 0, win32::PixelFormat::pf32bit};
  std::string encoded_;
  std::string localImage_;
  std::string remoteImage_;
  uint32_t keyFrameTick_ = 0;
  bool encodeFailed_ = false;  // the last frame could not be coded (reported)
};

}  // namespace tw::cln
