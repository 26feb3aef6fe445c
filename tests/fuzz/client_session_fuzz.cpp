// A client engine with fake devices logs in to the real hub without sockets
// (client_rig.h). Two bare peers log in too and, through the hub's relay, send
// the engine any tube control, application message or acknowledgement with
// fields the input picks; the input also injects session commands and bonded
// messages straight into the engine's pipe as if the hub had sent them (any
// peer id), lets time pass, and calls the engine (texts, talks, file offers,
// cancels, disconnects, the end of the session). Files live in a folder the
// target owns. The engine keeps its promises: no event for a handle after its
// disconnect, talk states in range with at most one pending call, bounded
// pending acknowledgements, no byte written past an offer's size, and no
// temporary file left once the engine is gone.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>

#include "client/mParleyCln.h"
#include "client_rig.h"
#include "fuzz_input.h"
#include "pipe_link.h"
#include "platform/com/variant.h"
#include "platform/win32/text.h"
#include "platform/win32/tick.h"
#include "tests/client/media_fakes.h"
#include "tests/support/manual_tick.h"
#include "transport/mSessionCommands.h"

namespace {

using namespace tw;
using namespace tw::cln;
using tw::fuzz::TFuzzInput;
namespace fs = std::filesystem;

// Codes a peer sends: tube controls, every application code the engine
// knows, acknowledgements of what it sends, and a few without meaning.
constexpr int32_t kPeerCodes[] = {
    BOND_REQUEST, BOND_REPLY, BOND_CLOSE, BOND_BINARY, 0, 5, 999,
    sackAppBase + APP_ALERT, sackAppBase + APP_CHAT, sackAppBase + APP_TALK_INVITE, sackAppBase + APP_TALK_ACCEPT,
    sackAppBase + APP_TALK_REFUSE, sackAppBase + APP_TALK_END, sackAppBase + APP_TALK_JOIN, sackAppBase + APP_AUDIO,
    sackAppBase + APP_FRAME, sackAppBase + APP_FRAME_DONE, sackAppBase + APP_FILE_OFFER, sackAppBase + APP_FILE_END,
    sackAppBase + APP_FILE_CANCEL, sackAppBase + APP_FILE_ACCEPT, sackAppBase + APP_FILE_START,
    sackAppBase + APP_FILE_READY, sackAppBase + APP_FILE_DATA, sackAppBase + APP_FILE_DONE, sackAppBase + 170,
    -(sackAppBase + APP_FILE_DATA), -(sackAppBase + APP_FRAME), -(sackAppBase + APP_AUDIO), -(sackAppBase + APP_CHAT),
    sackAppBase, INT32_MIN, INT32_MAX};

// Session commands as the hub would send them, and some it never sends.
constexpr int32_t kHubCommands[] = {CMD_WELCOME, CMD_PEER_LISTED, CMD_PEER_JOINED, CMD_PEER_LEFT, CMD_BINARY,
                                    CMD_READY,   CMD_ANNOUNCE,    CMD_INTRODUCE,   0,             777};

// Fields of a message body: mostly well-formed around the input's bytes.
std::string Body(TFuzzInput& in) {
  std::string body;
  const size_t fields = in.Pick(5);
  for (size_t i = 0; i < fields; ++i) {
    switch (in.Pick(7)) {
      case 0: PutIntField(body, static_cast<int32_t>(in.Le32())); break;
      case 1: PutIntField(body, static_cast<int32_t>(in.Pick(8))); break;  // a small id, code or size
      case 2: PutInt64Field(body, static_cast<int64_t>(in.Le32()) << (in.Pick(4) * 16)); break;
      case 3: PutStrField(body, in.Chunk()); break;
      case 4: PutStrField(body, in.Chunk(16)); break;  // up to 4 KB: voice packets, frames, file data
      case 5: {
        const std::string_view bytes = in.Chunk();
        PutWideField(body, std::u16string(bytes.begin(), bytes.end()));
        break;
      }
      default: body += in.Chunk(); break;
    }
  }
  return body;
}

// The process's own folder, made once and emptied after every run (making
// and removing a folder per run costs more than the run itself).
struct TFolder {
  fs::path path;
  TFolder() {
    path = fs::temp_directory_path() / ("tw-client-session-fuzz-" + std::to_string(::getpid()));
    fs::remove_all(path);
    fs::create_directories(path);
  }
  ~TFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  void Empty() const {
    for (const auto& entry : fs::directory_iterator(path)) fs::remove_all(entry.path());
  }
  std::u16string Wide(const std::string& name) const { return win32::AnsiToWide((path / name).string()); }
};

// Whether any file under `root` ends with `suffix`.
bool HasFileEnding(const fs::path& root, const std::string& suffix) {
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput in(data, size);
  win32::ScopedManualTick clock;
  static const TFolder folder;
  {
    std::ofstream(folder.path / "out.bin", std::ios::binary) << std::string(in.Chunk(8));
  }

  // Two bare peers log in and announce themselves, before or after the engine.
  const uint8_t setup = in.Byte();
  test::TMediaLog media;
  fuzz::TClientRig rig(std::make_shared<test::TFakeMedia>(media, true), setup);
  TTWParleyCln& cln = *rig.Engine;
  auto& raw = rig.Raw;

  // The engine's events, with the handles each may name.
  std::set<TPeerHandle> connected, gone;
  auto live = [&](TPeerHandle h) { TW_FUZZ_CHECK(h > 0 && connected.count(h) == 1 && gone.count(h) == 0); };
  cln.Events.OnPeerConnected = [&](TPeerHandle h) {
    TW_FUZZ_CHECK(h > 0 && connected.insert(h).second);
  };
  cln.Events.OnPeerDisconnected = [&](TPeerHandle h) {
    live(h);
    gone.insert(h);
  };
  cln.Events.OnAlertMessage = [&](TPeerHandle h, const std::u16string&) { live(h); };
  cln.Events.OnChatMessage = [&](TPeerHandle h, const std::u16string&) { live(h); };
  cln.Events.OnBinaryMessage = [&](TPeerHandle h, const com::VARIANT&) {
    if (h != 0) live(h);
  };
  const uint8_t answers = in.Byte();
  cln.Events.OnTalkInvited = [&](TPeerHandle h, bool& okay, bool& audio, bool& video) {
    live(h);
    okay = answers & 1;
    audio = answers & 2;
    video = answers & 4;
    if (answers & 0x80) cln.DisconnectPeer(h);  // the container acts inside the event
  };
  cln.Events.OnTalkBegan = [&](TPeerHandle h) { live(h); };
  cln.Events.OnTalkEnded = [&](TPeerHandle h) { live(h); };
  cln.Events.OnTalkJoined = [&](TPeerHandle h) { live(h); };
  cln.Events.OnTalkRefused = [&](TPeerHandle h, int32_t) { live(h); };
  cln.Events.OnWavePlayed = [&](TPeerHandle h, TBytes) { live(h); };
  cln.Events.OnRemoteFrame = [&](TPeerHandle h, TBytes image) {
    live(h);
    TW_FUZZ_CHECK(image.size() <= 64u << 20);
  };
  int offers = 0;
  cln.Events.OnInFileRequested = [&](TPeerHandle h, std::u16string& path, bool& okay) {
    live(h);
    // Every accepted file lands in the run's folder, under a name of ours.
    const int pick = (answers >> 3) + offers++;
    okay = pick % 5 != 4;
    path = folder.Wide(pick % 3 == 2 ? "sub/in" + std::to_string(pick % 2) : "in" + std::to_string(pick % 2));
    // The container may act inside the event: a second thought, a hang-up.
    if (pick % 7 == 5) cln.CancelInFile(h);
    if (pick % 11 == 10) cln.DisconnectPeer(h);
    if (pick % 13 == 12) cln.CloseSession();
  };
  auto progress = [&](TPeerHandle h, int32_t countLo, int32_t countHi, int32_t sizeLo, int32_t sizeHi) {
    live(h);
    const auto count = static_cast<int64_t>((uint64_t(uint32_t(countHi)) << 32) | uint32_t(countLo));
    const auto total = static_cast<int64_t>((uint64_t(uint32_t(sizeHi)) << 32) | uint32_t(sizeLo));
    TW_FUZZ_CHECK(count >= 0 && count <= total);
  };
  cln.Events.OnInFileProgress = progress;
  cln.Events.OnOutFileProgress = progress;
  cln.Events.OnInFileDone = [&](TPeerHandle h, int32_t) { live(h); };
  cln.Events.OnOutFileDone = [&](TPeerHandle h, int32_t) { live(h); };

  // The hub may refuse the engine, and the devices may fail to start.
  media.failPlayer = setup & 0x04;
  media.failRecorder = setup & 0x08;
  media.failCapture = setup & 0x10;
  rig.Open(setup & 0x20 ? u"eve" : u"me");

  int32_t outFiles = 0;  // transfers the engine started
  auto pickHandle = [&] { return static_cast<TPeerHandle>(in.Pick(5)); };
  auto pickPeerId = [&]() -> int32_t {
    const uint8_t pick = in.Byte();
    if (pick < 0xC0) return raw[pick % 2].server->Id();
    if (pick < 0xF0) return static_cast<int32_t>(pick % 8);
    return static_cast<int32_t>(in.Le32());
  };

  for (int step = 0; step < 192 && !in.Empty(); ++step) {
    const uint8_t op = in.Byte();
    fuzz::TClientRig::TRawPeer& peer = raw[(op >> 7) & 1];
    switch (op & 15) {
      case 0:
      case 1:
      case 2:
      case 3: {  // a bare peer sends the engine anything through the hub's relay
        const int32_t code = kPeerCodes[in.Pick(std::size(kPeerCodes))];
        rig.SendFromPeer(peer, code, Body(in), (op >> 4) & 1);
        break;
      }
      case 4: {  // a frame straight into the engine's pipe, as from the hub
        CPipe* mine = rig.SessionPipe();
        if (!mine) break;
        std::string prefix;
        int32_t code;
        uint8_t flags = sfFirstChunk | sfLastChunk;
        if (op & 0x10) {  // a relayed message from any peer id
          flags |= sfPeerId | ((op >> 5) & sfAckWanted);
          PutIntField(prefix, pickPeerId());
          code = kPeerCodes[in.Pick(std::size(kPeerCodes))];
        } else {  // a session command
          code = kHubCommands[in.Pick(std::size(kHubCommands))] + sackAppBase;
        }
        std::string frame;
        AppendFrame(frame, flags, code, prefix + Body(in));
        fuzz::FeedPipe(*mine, frame);
        break;
      }
      case 5: {  // the hub announces a peer, hostile id and all
        CPipe* mine = rig.SessionPipe();
        if (!mine) break;
        std::string body;
        PutIntField(body, pickPeerId());
        const std::string_view name = in.Chunk();
        PutWideField(body, std::u16string(name.begin(), name.end()));
        PutStrField(body, "127.0.0.1");
        PutIntField(body, 4000);
        std::string frame;
        AppendFrame(frame, sfFirstChunk | sfLastChunk, sackAppBase + (op & 0x10 ? CMD_PEER_JOINED : CMD_PEER_LISTED),
                    body);
        fuzz::FeedPipe(*mine, frame);
        break;
      }
      case 6: {  // texts and binary messages from the engine
        const TPeerHandle h = pickHandle();
        const std::string_view text = in.Chunk();
        if (op & 0x10) {
          com::Variant message;
          if (StrToVarArray(text, &message)) cln.SendBinaryMessage(h, message);
        } else if (op & 0x20) {
          cln.SendChatMessage(h, std::u16string(text.begin(), text.end()));
        } else {
          cln.SendAlertMessage(h, std::u16string(text.begin(), text.end()));
        }
        break;
      }
      case 7: cln.BeginTalk(pickHandle(), op & 0x10, op & 0x20); break;
      case 8: cln.EndTalk(); break;
      case 9: outFiles += cln.RequestOutFile(pickHandle(), folder.Wide(op & 0x10 ? "out.bin" : "missing.bin")); break;
      case 10:
        if (op & 0x10)
          cln.CancelOutFile(pickHandle());
        else
          cln.CancelInFile(pickHandle());
        break;
      case 11: cln.DisconnectPeer(pickHandle()); break;
      case 12: {  // the devices deliver: a voice packet, a camera frame
        if (op & 0x10) {
          const std::string_view packet = in.Chunk();
          cln.Recorder().Events.OnPacket(TBytes(reinterpret_cast<const uint8_t*>(packet.data()), packet.size()));
        } else {
          win32::Bitmap frame(16, 16, win32::PixelFormat::pf24bit);
          cln.Talks().DoCaptureFrame(frame);
        }
        break;
      }
      case 13:  // time passes: timers fire, closed tubes are purged
        clock.Advance(20u << in.Pick(7));
        fuzz::DeliverPosted();
        cln.TimerTick();
        cln.Mate().TimerTick();
        break;
      case 14:
        if (op & 0x10)
          peer.server->FinishSession(crSocket);  // a bare peer's connection ends
        else
          fuzz::FeedPipe(*peer.server, in.Chunk());  // or sends hostile bytes
        break;
      default:
        if ((op & 0x70) == 0x70) {
          cln.CloseSession();
        } else if ((op & 0x70) == 0x60) {
          if (rig.Link) rig.Link->FinishSession(crSocket);  // the hub ends the engine's session
        } else if ((op & 0x70) == 0x50) {
          if (CPipe* mine = rig.SessionPipe()) fuzz::FeedPipe(*mine, in.Chunk());  // bytes of any kind
        }
        break;
    }
    rig.Settle();

    // Talks: states in range, one pending call at most, and it is the caller's.
    int calling = 0;
    for (TPeerHandle h : connected) {
      const TPeer* p = cln.CheckPeer(h);
      TW_FUZZ_CHECK(p != nullptr);
      TW_FUZZ_CHECK(p->Talk.State <= tkInvited);
      if (p->Talk.State == tkCalling) {
        ++calling;
        TW_FUZZ_CHECK(cln.GetCaller() == h);
      }
      // An incoming file never holds more than its offer announced.
      const TInFile& file = p->Files.In;
      if (file.Active) {
        TW_FUZZ_CHECK(file.Received >= 0 && file.Received <= file.Size);
        std::error_code ec;
        const auto onDisk = fs::file_size(file.Temporary, ec);
        TW_FUZZ_CHECK(ec || static_cast<int64_t>(onDisk) == file.Received);
      }
    }
    TW_FUZZ_CHECK(calling <= 1);
    // Without acknowledgements from the peer, flow control stops the engine:
    // a window of voice packets, two frames, and for each transfer it started
    // one file chunk (a cancelled one still awaits its chunk's) and one
    // cancel of a late accept to an offer it gave up.
    for (const auto& tube : cln.Mate().Tubes()) {
      int32_t audio = 0, frames = 0, chunks = 0, cancels = 0;
      for (const TPendingAck& ack : tube->PendingAcks) {
        audio += ack.Code == sackAppBase + APP_AUDIO;
        frames += ack.Code == sackAppBase + APP_FRAME;
        chunks += ack.Code == sackAppBase + APP_FILE_DATA;
        cancels += ack.Code == sackAppBase + APP_FILE_CANCEL;
      }
      TW_FUZZ_CHECK(audio <= TTalkUnit::kMaxPendingAudio && frames <= TTalkUnit::kMaxPendingFrames);
      TW_FUZZ_CHECK(chunks <= outFiles && cancels <= outFiles);
      TW_FUZZ_CHECK(static_cast<size_t>(audio + frames + chunks + cancels) == tube->PendingAcks.size());
    }
  }

  const std::string suffix = win32::WideToAnsi(cln.GetTransferSuffix());
  rig.Engine.reset();
  TW_FUZZ_CHECK(!HasFileEnding(folder.path, suffix));
  folder.Empty();
  return 0;
}
