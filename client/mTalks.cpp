#include "client/mTalks.h"

#include "client/mParleyCln.h"

namespace tw::cln {

void TTalkUnit::DoMessage(TPeer&, int32_t, std::string&) {}
void TTalkUnit::TalkEnded(TPeer& peer) { peer.TalkState = tkIdle; }
void TTalkUnit::EndTalk() {}
void TTalkUnit::ReleaseMedia(TPeer*) {}
void TTalkUnit::SendPendingFrame() {}
void TTalkUnit::DoWaveRecorded(TBytes) {}
void TTalkUnit::DoAudioEncoded(TBytes) {}
void TTalkUnit::DoCaptureFrame(const win32::Bitmap&) {}

}  // namespace tw::cln
