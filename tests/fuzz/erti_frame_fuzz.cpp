// Fuzz target for the frame code and the field readers. The first byte picks
// how the rest is used: as a raw byte stream fed in slices of a data-chosen
// size to a receiver with a data-chosen reassembly cap (so that a first chunk
// can exceed it); as a script of frames (flags, code, chunk) so that random
// inputs reach reassembly and prefix parsing; or as a script of messages that
// go through BuildCart (some with shared bodies, some sealed) and must come
// out of the receiver whole and in order.
// Field readers then walk the same bytes, each reader picked by a byte of its
// own (not by the bytes it reads), and route lists decode to their ids.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "transport/mErtiFrame.h"
#include "transport/mSeal.h"
#include "transport/twTools.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// Frames from a script: [flags][code byte][length byte][chunk bytes]...
std::string ScriptedStream(std::string_view script) {
  std::string stream;
  while (script.size() >= 3) {
    const auto flags = static_cast<uint8_t>(script[0] & 0x1F);
    const int32_t code = 995 + static_cast<uint8_t>(script[1]) % 12;  // a few codes, both sides of 1000
    const size_t n = std::min<size_t>(static_cast<uint8_t>(script[2]), script.size() - 3);
    tw::AppendFrame(stream, flags, code, script.substr(3, n));
    script.remove_prefix(3 + n);
  }
  return stream;
}

// The ids of a route list are its little-endian 4-byte words, a partial last
// word left out.
void CheckRouteIds(std::string_view list) {
  const std::vector<int32_t> ids = tw::RouteIds(list);
  Check(ids.size() == list.size() / 4);
  for (size_t i = 0; i < ids.size(); ++i) Check(ids[i] == static_cast<int32_t>(tw::LoadLe32(list.data() + 4 * i)));
}

void FeedReceiver(std::string_view stream, size_t slice, size_t cap) {
  size_t posted = 0;
  tw::TFrameReceiver rx({{}, [](std::string& p) { return p[0] != '!'; },
                         [&](std::unique_ptr<tw::TSack> sack) {
                           Check(sack->RouteList.size() % 4 == 0);
                           CheckRouteIds(sack->RouteList);
                           ++posted;
                         }},
                        cap);
  for (size_t at = 0; at < stream.size(); at += slice) {
    rx.Append(stream.substr(at, slice));
    const tw::TFrameFault fault = rx.ParseFrames();
    Check(rx.PartialBytes() <= cap);
    if (fault != tw::TFrameFault::None) {
      Check(rx.Buffered() == 0);
      break;
    }
    Check(rx.Buffered() < tw::kFrameCodeOffset + tw::kMaxFrameLength);
  }
}

// Every batch of a queue until it is empty, sealed when `key` is set with
// an IV that changes with each batch (each pump step).
std::string CutAll(tw::TSendQueue& queue, int32_t budget, const std::shared_ptr<const tw::TAesKey>& key) {
  std::string stream;
  for (uint32_t step = 0; !queue.Empty(); ++step) {
    const std::string iv = tw::SealIvForTick(step);
    std::string batch;
    tw::BuildCart(queue, batch, {budget, 0, step}, {{}, {}, [&] { return tw::TSealing{key, iv}; }});
    stream += batch;
  }
  return stream;
}

// Messages from a script: [code byte][size byte][options byte]...; the body
// repeats the options byte. Sent with a budget taken from `budgetByte`, and
// sealed when it says so. Options bit 0x40 queues the body shared (as the
// relay does): its stream must equal that of the same bodies in Payload.
void RoundTrip(std::string_view script, uint8_t budgetByte) {
  tw::TSendQueue queue;
  tw::TSendQueue owned;
  std::map<int32_t, std::deque<std::string>> expected;
  size_t count = 0;
  size_t total = 0;
  while (script.size() >= 3 && count < 64 && total < 32768) {
    const auto options = static_cast<uint8_t>(script[2]);
    std::string body(static_cast<size_t>(static_cast<uint8_t>(script[1])) * (options & 0x80 ? 37 : 1),
                     static_cast<char>(options));
    for (tw::TSendQueue* q : {&queue, &owned}) {
      auto sack = std::make_unique<tw::TSack>();
      sack->Code = 990 + static_cast<uint8_t>(script[0]) % 20;
      if (q == &queue && (options & 0x40)) {
        sack->Shared = std::make_shared<const std::string>(body);
      } else {
        sack->Payload = body;
      }
      sack->AckWanted = options & 1;
      if (options & 2) sack->PeerId = options;
      if (options & 4) sack->RouteList = tw::IntToField(options) + tw::IntToField(3);
      if (q == &queue) expected[sack->Code].push_back(body);
      q->Queue(std::move(sack));
    }
    total += body.size();
    ++count;
    script.remove_prefix(3);
  }
  const int32_t budget = 32 + budgetByte * 16;
  const auto key = budgetByte & 0x40 ? std::make_shared<const tw::TAesKey>("fuzz") : nullptr;
  const std::string stream = CutAll(queue, budget, key);
  Check(stream == CutAll(owned, budget, key));
  size_t posted = 0;
  tw::TFrameReceiver rx({{}, [&](std::string& p) { return !key || tw::OpenPayload(p, *key); },
                         [&](std::unique_ptr<tw::TSack> sack) {
                           auto& pending = expected[sack->Code];
                           Check(!pending.empty() && pending.front() == sack->Payload);
                           pending.pop_front();
                           ++posted;
                         }});
  const size_t slice = 1 + budgetByte % 97;
  for (size_t at = 0; at < stream.size(); at += slice) {
    rx.Append(std::string_view(stream).substr(at, slice));
    Check(rx.ParseFrames() == tw::TFrameFault::None);
  }
  Check(posted == count && rx.PartialBytes() == 0);
}

// The first bytes of `data` pick the readers in turn; the rest is the body.
void WalkFields(std::string_view data) {
  const std::string_view picks = data.substr(0, 8);
  data = data.substr(picks.size(), 1024);  // the string readers shift the body on every read
  CheckRouteIds(data);
  std::string body(data);
  std::string_view view = data;
  const size_t pickCount = std::max<size_t>(picks.size(), 1);
  for (size_t turn = 0; !body.empty(); ++turn) {
    const size_t before = body.size();
    const uint8_t pick = picks.empty() ? 0 : static_cast<uint8_t>(picks[turn % pickCount]);
    switch ((pick >> (turn / pickCount % 4 * 2)) & 3) {
      case 0: tw::ReadIntField(body); tw::ReadIntField(view); break;
      case 1: tw::ReadInt64Field(body); tw::ReadInt64Field(view); break;
      case 2: Check(tw::ReadStrField(body) == tw::ReadStrField(view)); break;
      case 3: Check(tw::ReadWideField(body) == tw::ReadWideField(view)); break;
    }
    Check(body == view);
    if (body.size() == before) {  // nothing whole at the front: skip a byte
      body.erase(0, 1);
      view.remove_prefix(1);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  const size_t slice = 1 + (data[0] >> 1) % 64;
  switch (data[0] % 3) {
    case 0: FeedReceiver(input, slice, size_t{64} << (data[0] >> 5)); break;
    case 1: FeedReceiver(ScriptedStream(input), slice, size_t{64} << (data[0] >> 5)); break;
    case 2: RoundTrip(input, data[0]); break;
  }
  WalkFields(input);
  return 0;
}
