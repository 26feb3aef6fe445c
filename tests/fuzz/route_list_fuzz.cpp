// The server relays a message by its route list. A real server mill holds
// pipes in every state (in session, in the handshake, closed) and one sender
// in session; the input sends messages whose route lists name any of them,
// unknown ids, repeats and partial words, through the sender's receiver.
// Every relayed copy goes to a pipe in session, once per message, carrying
// the sender's id and the message unchanged; unknown ids are skipped (live
// peers listed after a peer that just left still get it); a list shorter than one id closes the sender. A client mill relays
// nothing.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "pipe_link.h"

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
  const bool serverSide = !(in.Byte() & 0x80);
  CMill mill(serverSide ? TMillSide::Server : TMillSide::Client, false);
  mill.ErrorLogPath.clear();
  mill.Events.OnBondSack = [](CPipe&, TSack&) {};
  mill.Events.OnSackReceived = [](CPipe&, int32_t, std::string&) {};

  // Pipes 1..6: three in session, one in the handshake, one closed, and the
  // sender (also in session).
  std::vector<CPipe*> pipes;
  for (int i = 0; i < 6; ++i) pipes.push_back(&fuzz::AddServerPipe(mill));
  for (int i : {0, 1, 2, 5}) pipes[i]->State = psSession;
  pipes[4]->FinishSession(crLocal);
  CPipe& sender = *pipes[5];

  for (int32_t code = sackAppBase + 1; !in.Empty() && code < sackAppBase + 64; ++code) {
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
    if (serverSide && sender.State == psSession) {
      for (int32_t id : ids) {
        CPipe* target = mill.GetPipe(id);
        if (target && target->State == psSession) expected.insert(target);
      }
    }
    for (CPipe* pipe : pipes) {
      const std::vector<const TSack*> copies = Copies(*pipe, code);
      TW_FUZZ_CHECK(copies.size() == (expected.count(pipe) ? 1u : 0u));
      for (const TSack* copy : copies) {
        TW_FUZZ_CHECK(copy->PeerId == sender.Id() && copy->Payload == body && copy->AckWanted == flags);
        TW_FUZZ_CHECK(copy->RouteList.empty());
      }
    }
  }
  return 0;
}
