// TTalkUnit: the engine's talks: invitations, the talker list and the media
// that run while a talk has talkers (the player and decoder of each talking
// peer, the engine's recorder and capture). It receives the talk codes
// APP_TALK_INVITE..APP_FRAME_DONE and the recorder's and capture's hand-overs.
//
// For now it keeps no talk: every talk code is received and ignored, and the
// operations answer as with no talk running.
#pragma once

#include <cstdint>
#include <string>

#include "client/mMedia.h"

namespace tw::cln {

class TTWParleyCln;
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

class TTalkUnit {
 public:
  explicit TTalkUnit(TTWParleyCln& engine) : engine_(engine) {}
  TTalkUnit(const TTalkUnit&) = delete;
  TTalkUnit& operator=(const TTalkUnit&) = delete;

  static bool Handles(int32_t channel) {
    return (channel >= APP_TALK_INVITE && channel <= APP_TALK_JOIN) || channel == APP_AUDIO || channel == APP_FRAME;
  }
  void DoMessage(TPeer& peer, int32_t channel, std::string& body);

  // The engine's hooks.
  void TalkEnded(TPeer& peer);          // a peer's talk ends (disconnect, close)
  void EndTalk();                       // ends every talk of this side
  void ReleaseMedia(TPeer* peer);       // stops the shared media when no talker is left
  void SendPendingFrame();              // the 20 ms timer's video step
  void DoWaveRecorded(TBytes samples);  // the recorder's processed PCM
  void DoAudioEncoded(TBytes packet);   // the recorder's voice packets
  void DoCaptureFrame(const win32::Bitmap& frame);  // capture streaming thread

  int32_t TalkCount() const { return 0; }

 private:
  [[maybe_unused]] TTWParleyCln& engine_;
};

}  // namespace tw::cln
