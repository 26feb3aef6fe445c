// The server relays a message by its route list. A real server mill holds
// pipes in every state (in session, in the handshake, closed) and one sender
// in session; the input sends messages whose route lists name any of them,
// unknown ids, repeats and partial words, through the sender's receiver.
// Every relayed copy goes to a pipe in session, once per message, carrying
// the sender's id and the message unchanged; unknown ids are skipped (live
// peers listed after a peer that just left still get it); a list shorter
// than one id closes the sender. A client mill relays nothing. The relay's
// limits are small: a copy that a full target cannot take waits for it
// beside the sender instead (nothing is dropped, nobody closed for it), a
// sender is held back only while much of its own waits, and no target is
// taken past 3/2 of its bound; the input drains queues and runs the pump
// step's maintenance on a test clock (freeing closed pipes, timing out the
// handshake, moving waiting copies in, closing stalled readers).
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "pipe_link.h"
#include "platform/win32/tick.h"
#include "tests/support/manual_tick.h"

namespace {

using namespace tw;
using tw::fuzz::TFuzzInput;

// Relayed copies of message `code` queued on `pipe`, followers included.
std::vector<const TSack*> Copies(CPipe& pipe, int32_t code) {
  std::vector<const TSack*> out;
  for (size_t i = 0; i < pipe.Queue().Size(); ++i)
    for (const TSack* s = &pipe.Queue()[i]; s; s = s->Next.get())
      if (s->Code == code) out.push_back(s);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzInput in(data, size);
  win32::ScopedManualTick tick;
  const bool serverSide = !(in.Byte() & 0x80);
  CMill mill(serverSide ? TMillSide::Server : TMillSide::Client, false);
  mill.ErrorLogPath.clear();
  constexpr size_t kBound = 1024;
  if (TRelayFlow* relay = mill.Relay()) {
    relay->Limits.Bound = kBound;
    relay->Limits.SmallShare = kBound / 4;
    relay->Limits.Ceiling = kBound;  // passed when a target is full
  }
  mill.Events.OnBondSack = [](CPipe&, TSack&) {};
  mill.Events.OnSackReceived = [](CPipe&, int32_t, std::string&) {};

  // Pipes 1..6: three in session, one in the handshake, one closed, and the
  // sender (also in session).
  std::vector<int32_t> pipeIds;
  for (int i = 0; i < 6; ++i) pipeIds.push_back(fuzz::AddServerPipe(mill).Id());
  for (int i : {0, 1, 2, 5}) mill.GetPipe(pipeIds[i])->State = psSession;
  mill.GetPipe(pipeIds[4])->FinishSession(crLocal);
  const int32_t senderId = pipeIds[5];

  for (int32_t code = sackAppBase + 1; !in.Empty() && code < sackAppBase + 64; ++code) {
    // Between messages: a reader takes its queue, or time passes and the
    // pump step runs its maintenance (which may free closed pipes).
    const uint8_t between = in.Byte();
    if (between & 1) {
      if (CPipe* reader = mill.GetPipe(pipeIds[in.Pick(pipeIds.size())]))
        while (!fuzz::CutBatch(*reader).empty()) {
        }
    }
    if (between & 2) {
      static constexpr uint32_t kSteps[] = {10, 300, kStallMs + 1, kHandshakeTimeoutMs + 1};
      tick.Advance(kSteps[(between >> 2) % std::size(kSteps)]);
      mill.PumpUp();
      fuzz::DeliverPosted();
    }
    CPipe* senderPipe = mill.GetPipe(senderId);
    if (!senderPipe) break;
    CPipe& sender = *senderPipe;
    std::vector<CPipe*> pipes;
    for (int32_t id : pipeIds) pipes.push_back(mill.GetPipe(id));
    std::set<const CPipe*> inSessionBefore;
    for (CPipe* pipe : pipes)
      if (pipe && pipe->State == psSession) inSessionBefore.insert(pipe);
    // Ids: mostly those of the pipes (and 0, 7, 8), sometimes any 32 bits.
    std::string list;
    std::vector<int32_t> ids;
    const size_t count = in.Pick(12);
    for (size_t i = 0; i < count; ++i) {
      const uint8_t pick = in.Byte();
      const int32_t id = pick < 0xF0 ? pick % 9 : static_cast<int32_t>(in.Le32());
      ids.push_back(id);
      PutIntField(list, id);
    }
    list += in.Bytes(in.Pick(4));  // a partial last word
    const std::string body(in.Chunk());
    const uint8_t flags = in.Byte() & sfAckWanted;
    std::string frame;
    AppendFrame(frame, static_cast<uint8_t>(flags | sfFirstChunk | sfLastChunk | sfRouteList), code,
                StrToField(list) + body);
    fuzz::FeedPipe(sender, frame);

    // Who should have a copy: every listed pipe in session, unknown ids skipped.
    // A list shorter than one id is a broken prefix: the sender is closed.
    std::set<const CPipe*> expected;
    if (list.size() < 4) TW_FUZZ_CHECK(sender.State == psClosed);
    if (serverSide && inSessionBefore.count(&sender) && list.size() >= 4) {
      for (int32_t id : ids) {
        CPipe* target = mill.GetPipe(id);
        if (target && target->State == psSession) expected.insert(target);
      }
    }
    TRelayFlow* relay = mill.Relay();
    for (CPipe* pipe : pipes) {
      if (!pipe) continue;
      const std::vector<const TSack*> copies = Copies(*pipe, code);
      const size_t waiting = relay ? relay->WaitingCopies(sender.Id(), pipe->Id(), code) : 0;
      TW_FUZZ_CHECK(copies.size() + waiting == (expected.count(pipe) ? 1u : 0u));
      for (const TSack* copy : copies) {
        TW_FUZZ_CHECK(copy->PeerId == sender.Id() && copy->Body() == body && copy->AckWanted == flags);
        TW_FUZZ_CHECK(copy->RouteList.empty());
      }
    }
    // Held back exactly while much of its own waits.
    if (relay && sender.State == psSession)
      TW_FUZZ_CHECK(relay->MayRead(sender.Id(), 0) == (relay->WaitingBytes(sender.Id()) <= relay->Limits.SmallShare));
  }
  return 0;
}
