// A client engine in a talk with a bare peer (client_rig.h) receives voice
// packets and video frames with any bytes, as that peer would relay them,
// through the talk unit's receive paths into the real voice decoder of a real
// player (on a virtual sound device) and the real video decoder. Between
// them the input ends the talk and invites again, mutes playback and lets
// time pass. Nothing may crash, and what the decoders hand on stays bounded:
// played sound of at most two blocks a packet, pictures no larger than a
// frame can describe.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "audio/mDSAudio.h"
#include "client/mParleyCln.h"
#include "client_rig.h"
#include "fuzz_input.h"
#include "platform/dsound/dsound.h"
#include "platform/dsound/virtual_device.h"
#include "platform/win32/tick.h"
#include "tests/client/media_fakes.h"
#include "tests/support/manual_tick.h"

namespace {

using namespace tw;
using namespace tw::cln;
using tw::fuzz::TFuzzInput;

// Fake recorder and capture (no devices, nothing captured), real players
// for the talkers and the real video decoder. The engine's first player only
// holds the playback settings: a fake spares every run the making of a real
// one, which costs more than the run.
class TDecodingMedia final : public TMediaFactory {
 public:
  explicit TDecodingMedia(test::TMediaLog& log) : log_(log) {}
  std::unique_ptr<IPlayer> CreatePlayer() override {
    if (std::exchange(first_, false)) return std::make_unique<test::TFakePlayer>(log_);
    return TMediaFactory::CreatePlayer();
  }
  std::unique_ptr<IRecorder> CreateRecorder() override { return std::make_unique<test::TFakeRecorder>(log_); }
  std::unique_ptr<ICaptureSource> CreateCapture() override { return std::make_unique<test::TFakeCapture>(log_); }
  std::unique_ptr<IVideoEncoder> CreateEncoder() override { return std::make_unique<test::TLoggingEncoder>(log_); }

 private:
  test::TMediaLog& log_;
  bool first_ = true;
};

// A BMP's pixel bytes as its header describes them.
int64_t BmpPixelBytes(TBytes image) {
  if (image.size() < 54) return -1;
  int32_t width = 0, height = 0;
  uint16_t bits = 0;
  std::memcpy(&width, image.data() + 18, 4);
  std::memcpy(&height, image.data() + 22, 4);
  std::memcpy(&bits, image.data() + 28, 2);
  const int64_t stride = (int64_t{width} * bits / 8 + 3) / 4 * 4;
  return stride * (height < 0 ? -int64_t{height} : int64_t{height});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput in(data, size);
  win32::ScopedManualTick clock;
  dsound::ScopedSoundDevices devices({std::make_shared<dsound::VirtualSoundDevice>("Fuzz device", false)});
  test::TMediaLog log;
  fuzz::TClientRig rig(std::make_shared<TDecodingMedia>(log), 3);
  TTWParleyCln& cln = *rig.Engine;

  int64_t played = 0;
  cln.Events.OnTalkInvited = [](TPeerHandle, bool& okay, bool& audio, bool& video) { okay = audio = video = true; };
  cln.Events.OnWavePlayed = [&](TPeerHandle, TBytes samples) {
    TW_FUZZ_CHECK(samples.size() % 2 == 0 && samples.size() <= 2 * 2 * TWave::kBlock);
    played += static_cast<int64_t>(samples.size());
  };
  cln.Events.OnRemoteFrame = [&](TPeerHandle, TBytes image) {
    const int64_t pixels = BmpPixelBytes(image);
    TW_FUZZ_CHECK(pixels >= 0 && static_cast<int64_t>(image.size()) >= 54 + pixels);
    TW_FUZZ_CHECK(image.size() <= 64u << 20);
  };
  if (!rig.Open()) return 0;

  // Ann bonds and invites; the engine takes the call with sound and video.
  fuzz::TClientRig::TRawPeer& ann = rig.Raw[0];
  const int32_t annId = ann.server->Id();
  rig.SendFromPeer(ann, BOND_REQUEST, {}, false);
  rig.Settle();
  rig.SendFromPeer(ann, sackAppBase + APP_TALK_INVITE, {}, false);
  rig.Settle();

  int packets = 0;
  for (int step = 0; step < 256 && !in.Empty(); ++step) {
    const uint8_t op = in.Byte();
    switch (op & 7) {
      case 0:
      case 1:
      case 2: {  // a message of voice packets: sizes around the real ones
        std::string body;
        for (size_t n = 1 + (op >> 3 & 3); n > 0 && !in.Empty(); --n) {
          const size_t length = op & 0x20 ? in.Byte() * 8 : in.Byte() + (op & 0x40 ? 256 : 0);
          PutStrField(body, in.Bytes(length));
          ++packets;
        }
        rig.Inject(annId, sackAppBase + APP_AUDIO, body, op & 0x80);
        break;
      }
      case 3:
      case 4: {  // a video frame
        std::string body;
        PutStrField(body, in.Bytes(op & 0x08 ? size_t{in.Byte()} * 32 : in.Byte()));
        rig.Inject(annId, sackAppBase + APP_FRAME, body, true);
        break;
      }
      case 5:  // the end-of-talk marker, or raw bytes as a voice message
        if (op & 0x08) {
          std::string body;
          PutStrField(body, in.Bytes(4));
          rig.Inject(annId, sackAppBase + APP_AUDIO, body, false);
        } else {
          rig.Inject(annId, sackAppBase + APP_AUDIO, in.Chunk(), false);
        }
        break;
      case 6:  // playback muted or not; time passes and the device plays
        cln.SetMutePlayback(op & 0x08);
        clock.Advance(1 + (op >> 4));
        fuzz::DeliverPosted();
        break;
      default:  // the talk ends and Ann calls again
        if (op & 0x08)
          cln.EndTalk();
        else
          rig.Inject(annId, sackAppBase + APP_TALK_END, {}, false);
        rig.Settle();
        rig.SendFromPeer(ann, sackAppBase + APP_TALK_INVITE, {}, false);
        break;
    }
    rig.Settle();
    // A packet decodes to one block at most.
    TW_FUZZ_CHECK(played <= int64_t{packets + 1} * 2 * static_cast<int64_t>(TWave::kBlock));
  }
  return 0;
}
