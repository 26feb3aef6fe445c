// A server pipe and a client pipe of two real mills, joined without sockets,
// run the handshake in the security mode the input picks while the input
// interleaves the honest traffic with hostile frames: any system or
// application message, sealed as the peer would seal it, raw bytes, tampered
// or dropped handshake messages, acknowledgements, route lists and peer ids,
// and bytes or a hang-up arriving while a side is busy with its RSA work.
// Whatever arrives, neither side may crash, leak or admit a session that the
// host refused or whose key exchange did not complete.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "crypto/mBase64.h"
#include "crypto/mRSA.h"
#include "fuzz_input.h"
#include "pipe_link.h"

namespace {

using namespace tw;
using tw::fuzz::TFuzzInput;

// Codes the input picks from: every system code, both sides of the
// application base, acknowledgements and a few without meaning.
constexpr int32_t kCodes[] = {scRecvSize,   scRateLimit,   scError,       scModeOffer,   scModeReply,
                              scClientKey,  scServerKey,   scClientHalf1, scServerHalf1, scClientHalf2,
                              scServerHalf2, scLogin,      scAccept,      scChallenge,   scResponse,
                              0,            999,           1000,          1001,          1035,
                              -1000,        -1001,         -1035,         INT32_MIN,     INT32_MAX};

struct TSide {
  std::unique_ptr<CMill> mill;
  CPipe* pipe = nullptr;
  int opened = 0;  // OnPipeAccepted / OnPipeOpen
  int closes = 0;  // any close event
};

// A body for a system message: mostly well-formed fields around input bytes.
std::string Body(TFuzzInput& in) {
  std::string body;
  const int fields = in.Pick(4);
  for (int i = 0; i < fields; ++i) {
    switch (in.Pick(4)) {
      case 0: PutIntField(body, static_cast<int32_t>(in.Le32())); break;
      case 1: PutStrField(body, in.Chunk()); break;
      case 2: PutStrField(body, in.Chunk(4)); break;  // long enough for a peer key of up to 1020 bytes
      default: body += in.Chunk(); break;
    }
  }
  return body;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput in(data, size);
  const uint8_t setup = in.Byte();
  const int32_t mode = (setup & 3) % 3;
  const bool withUser = setup & 0x04;
  const bool rightPassword = setup & 0x08;
  const bool hostAccepts = !(setup & 0x10);
  const int trust = (setup >> 5) & 3;  // no list, the client's key, another key, both
  const bool hostGivesNoPassword = setup & 0x80;  // the pipe must then make one up

  TSide server{std::make_unique<CMill>(TMillSide::Server, false)};
  TSide client{std::make_unique<CMill>(TMillSide::Client, false)};
  server.mill->ErrorLogPath.clear();
  int hostAcceptances = 0;
  for (TSide* side : {&server, &client}) {
    CMill& mill = *side->mill;
    mill.SecurityMode = mode;
    mill.SecretKey = "fuzz secret";
    mill.Events.OnPipeAccepted = [side](CPipe&) { ++side->opened; };
    mill.Events.OnPipeOpen = [side](CPipe&) { ++side->opened; };
    auto closed = [side](CMill&, CPipe&, TCloseReason) { ++side->closes; };
    mill.Events.OnPipeRejected = closed;
    mill.Events.OnPipeRefused = closed;
    mill.Events.OnPipeClosed = closed;
    mill.Events.OnSackReceived = [](CPipe&, int32_t, std::string&) {};
    mill.Events.OnSackSent = [](CPipe&, int32_t) {};
    mill.Events.OnBondSack = [](CPipe&, TSack& sack) { TW_FUZZ_CHECK(sack.PeerId != 0); };
  }
  server.mill->OwnPublicKey = fuzz::kServerModulus;
  server.mill->OwnPrivateKey = fuzz::kServerPrivate;
  client.mill->OwnPublicKey = fuzz::kClientModulus;
  client.mill->OwnPrivateKey = fuzz::kClientPrivate;
  if (trust & 1) server.mill->AllowedFingerprints.push_back(RsaKeyFingerprint(Base64Encode(fuzz::kClientModulus)));
  if (trust & 2) server.mill->AllowedFingerprints.push_back("AAAAAAAAAAAAAAAAAAAAAA==");
  server.mill->Events.OnPipeLogin = [&](CPipe&, const std::u16string&, const std::u16string&,
                                        std::u16string& password, bool& accept) {
    password = hostGivesNoPassword ? u"" : u"pw";
    accept = hostAccepts;
    if (accept) ++hostAcceptances;
  };

  server.pipe = &fuzz::AddServerPipe(*server.mill);
  client.pipe = &fuzz::AddClientPipe(*client.mill, "FUZZ", withUser ? u"user" : u"",
                                     rightPassword ? u"pw" : u"wrong");
  CPipe& sp = *server.pipe;
  CPipe& cp = *client.pipe;

  // RSA work pumps the thread's messages: an armed injection fires inside the
  // first pump that runs within a message handler, bytes arriving or the
  // connection ending in the middle of the computation.
  struct {
    CPipe* target = nullptr;
    std::string bytes;
    bool close = false;
  } injection;
  win32::ScopedPumpObserver observer([&] {
    if (!injection.target || win32::DispatchDepth() == 0) return;
    CPipe& target = *injection.target;
    injection.target = nullptr;
    if (injection.close)
      target.FinishSession(crSocket);
    else
      fuzz::FeedPipe(target, injection.bytes);
  });

  for (int step = 0; step < 256 && !in.Empty(); ++step) {
    const uint8_t op = in.Byte();
    const bool toServer = op & 0x80;
    CPipe& to = toServer ? sp : cp;
    CPipe& from = toServer ? cp : sp;
    switch (op & 7) {
      case 0:
      case 1:  // honest traffic, in slices
        fuzz::Shuttle(from, to, 1 + (op >> 3 & 3), (op >> 5 & 3) * 7);
        break;
      case 2:  // raw bytes
        fuzz::FeedPipe(to, in.Chunk());
        break;
      case 3: {  // any message, sealed as the peer would seal it
        const int32_t code = kCodes[in.Pick(std::size(kCodes))];
        const uint8_t flags = in.Byte() & (sfAckWanted | sfRouteList | sfPeerId);
        std::string prefix;
        if (flags & sfPeerId) PutIntField(prefix, static_cast<int32_t>(in.Le32()));
        if (flags & sfRouteList) PutStrField(prefix, in.Bytes(4 * in.Pick(4)));
        std::string body = Body(in);
        if (!body.empty() && !to.SessionKey.empty() && IsSealedCode(code)) to.SealIfKeyed(body);
        std::string frame;
        AppendFrame(frame, static_cast<uint8_t>(flags | sfFirstChunk | sfLastChunk), code, prefix + body);
        fuzz::FeedPipe(to, frame);
        break;
      }
      case 4: {  // tamper with or drop the next honest message
        if (from.Queue().Empty()) break;
        TSack& next = from.Queue()[0];
        if (next.BytesSent != 0) break;
        if (op & 0x08) {
          from.Queue().Finish(0);
        } else {
          next.Payload.assign(in.Chunk());
        }
        break;
      }
      case 5: {  // application traffic queued by the upper layer
        CMill& mill = from.Mill();
        if (TSack* sack = mill.SendToPipe(from.Id(), in.Pick(64), TMessage().Str(in.Chunk(8)), op & 0x08)) {
          if (op & 0x10) sack->RouteList = IntToField(static_cast<int32_t>(in.Le32()));
        }
        break;
      }
      case 6:  // rate limit and read size from this side
        from.OwnRateLimit = static_cast<int32_t>(in.Le32());
        from.SendRateLimit();
        break;
      default:
        if (op & 0x08) {  // the connection ends
          from.FinishSession(crSocket);
        } else {  // something happens while the next RSA computation pumps
          injection = {&to, op & 0x10 ? std::string() : std::string(in.Chunk()), (op & 0x10) != 0};
        }
        break;
    }
    TW_FUZZ_CHECK(sp.PostedCount >= 0 && cp.PostedCount >= 0);
    TW_FUZZ_CHECK(sp.Receiver().PartialBytes() <= kDefaultReassemblyCap);
  }
  // Let the honest traffic finish what the script started.
  for (int round = 0; round < 16; ++round) {
    const bool up = fuzz::Shuttle(cp, sp);
    const bool down = fuzz::Shuttle(sp, cp);
    if (!up && !down) break;
  }

  // The server admits only what its host accepted, after a key exchange that
  // gave the key the mode calls for.
  if (sp.State == psSession || server.opened > 0) {
    TW_FUZZ_CHECK(server.opened == 1 && hostAcceptances >= 1);
    if (mode == secRsa) TW_FUZZ_CHECK(sp.SessionKey.size() == 16);
    if (mode == secSharedKey) TW_FUZZ_CHECK(sp.SessionKey == "fuzz secret");
    if (mode == secNone) TW_FUZZ_CHECK(sp.SessionKey.empty());
  }
  // A login that names a user passes only with the password's digest, and
  // never when the host gave no password.
  if ((!rightPassword || hostGivesNoPassword) && !sp.UserName.empty()) TW_FUZZ_CHECK(server.opened == 0);
  TW_FUZZ_CHECK(client.opened <= 1 && server.opened <= 1);
  // A session ends with one close event at most.
  TW_FUZZ_CHECK(server.closes <= 1 && client.closes <= 1);
  return 0;
}
