#include "transport/mErtiFrame.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "transport/mSeal.h"
#include "transport/twTools.h"

namespace tw {
namespace {

struct Frame {
  uint8_t flags;
  int32_t code;
  std::string chunk;
};

// Splits a well-formed batch into its frames.
std::vector<Frame> SplitFrames(std::string_view batch) {
  std::vector<Frame> frames;
  while (!batch.empty()) {
    EXPECT_EQ(batch.substr(0, 4), kErtiMagic);
    const auto length = static_cast<int32_t>(LoadLe32(batch.data() + 5));
    frames.push_back({static_cast<uint8_t>(batch[4]), static_cast<int32_t>(LoadLe32(batch.data() + 9)),
                      std::string(batch.substr(13, static_cast<size_t>(length) - 4))});
    batch.remove_prefix(9 + static_cast<size_t>(length));
  }
  return frames;
}

std::unique_ptr<TSack> MakeSack(int32_t code, std::string body, uint8_t ack = 0, int32_t peerId = 0,
                                std::string routeList = {}) {
  auto sack = std::make_unique<TSack>();
  sack->Code = code;
  sack->Payload = std::move(body);
  sack->AckWanted = ack;
  sack->PeerId = peerId;
  sack->RouteList = std::move(routeList);
  return sack;
}

std::string FrameBytes(uint8_t flags, int32_t code, std::string_view chunk) {
  std::string out;
  AppendFrame(out, flags, code, chunk);
  return out;
}

std::string FrameWithLength(int32_t length, std::string_view rest = {}) {
  std::string out(kErtiMagic);
  out.push_back(static_cast<char>(sfFirstChunk | sfLastChunk));
  AppendLe32(out, static_cast<uint32_t>(length));
  AppendLe32(out, 1005);
  out.append(rest);
  return out;
}

constexpr uint8_t kWhole = sfFirstChunk | sfLastChunk;

// A receiver that keeps what it posts.
struct Receiver {
  explicit Receiver(size_t cap = kDefaultReassemblyCap)
      : rx({[this](int32_t n) { counted += n; }, [this](std::string& p) { return open(p); },
            [this](std::unique_ptr<TSack> s) { posted.push_back(std::move(s)); }},
           cap) {}
  TFrameFault Feed(std::string_view bytes) {
    rx.Append(bytes);
    return rx.ParseFrames();
  }
  std::function<bool(std::string&)> open = [](std::string&) { return true; };
  std::vector<std::unique_ptr<TSack>> posted;
  int64_t counted = 0;
  TFrameReceiver rx;
};

TEST(ErtiFrame, EmptyBodyIsOneThirteenByteFrame) {
  for (uint8_t ack : {0, 1}) {
    TSendQueue queue;
    queue.Queue(MakeSack(1005, "", ack));
    std::string batch;
    EXPECT_EQ(BuildCart(queue, batch, {}), 1u);
    const std::string expected = std::string("ERTI") + static_cast<char>(kWhole | ack) +
                                 std::string("\x04\0\0\0\xED\x03\0\0", 8);
    EXPECT_EQ(batch, expected);
    EXPECT_TRUE(queue.Empty());

    Receiver r;
    EXPECT_EQ(r.Feed(batch), TFrameFault::None);
    ASSERT_EQ(r.posted.size(), 1u);
    EXPECT_EQ(r.posted[0]->Code, 1005);
    EXPECT_EQ(r.posted[0]->AckWanted, ack);
    EXPECT_TRUE(r.posted[0]->Payload.empty());
    EXPECT_EQ(r.counted, 4);
  }
}

// The sealing hook gives the pipe's key whenever it holds one; BuildCart
// decides by code and body.
TEST(ErtiFrame, SealingFollowsCodeBodyAndKey) {
  struct Row {
    int32_t code;
    const char* body;
    bool keyed;
    bool sealed;
  };
  const Row rows[] = {
      {-1091, "", true, false}, {-1091, "x", true, false}, {1, "abcd", true, false},
      {3, "abcd", true, false},  {20, "abcd", true, false}, {21, "abcd", true, true},
      {23, "abcd", true, true},  {1091, "abcd", true, true}, {1091, "", true, false},
      {1091, "abcd", false, false}, {21, "abcd", false, false},
  };
  const auto key = std::make_shared<const TAesKey>("session");
  const std::string iv = SealIvForTick(77);
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "code " << row.code << " body '" << row.body << "' keyed " << row.keyed);
    TSendQueue queue;
    queue.Queue(MakeSack(row.code, row.body));
    std::string batch;
    BuildCart(queue, batch, {}, {{}, {}, [&] { return row.keyed ? TSealing{key, iv} : TSealing{}; }});
    const auto frames = SplitFrames(batch);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].chunk, row.sealed ? SealPayload(row.body, *key, iv) : std::string(row.body));

    Receiver r;
    r.open = [&](std::string& p) { return !row.keyed || OpenPayload(p, *key); };
    EXPECT_EQ(r.Feed(batch), TFrameFault::None);
    ASSERT_EQ(r.posted.size(), 1u);
    EXPECT_EQ(r.posted[0]->Payload, row.body);
  }
}

TEST(ErtiFrame, BodyThatDoesNotOpenIsAFault) {
  Receiver r;
  r.open = [](std::string&) { return false; };
  EXPECT_EQ(r.Feed(FrameBytes(kWhole, 1091, "garbage")), TFrameFault::SealBroken);
  EXPECT_TRUE(r.posted.empty());
  // Codes below 21 are never opened.
  Receiver plain;
  plain.open = [](std::string&) { return false; };
  EXPECT_EQ(plain.Feed(FrameBytes(kWhole, 20, "login")), TFrameFault::None);
  EXPECT_EQ(plain.posted.size(), 1u);
}

TEST(ErtiFrame, StrayBytesBeforeAFrameAreDropped) {
  Receiver r;
  EXPECT_EQ(r.Feed("\x01\x02" + FrameBytes(kWhole, 1001, "hello")), TFrameFault::None);
  ASSERT_EQ(r.posted.size(), 1u);
  EXPECT_EQ(r.posted[0]->Payload, "hello");
  EXPECT_EQ(r.rx.Buffered(), 0u);
}

TEST(ErtiFrame, FrameSplitOverReadsIsParsedOnItsLastByte) {
  const std::string frame = FrameBytes(kWhole, 1001, std::string(100, 'q'));
  Receiver r;
  for (size_t i = 0; i + 1 < frame.size(); ++i) {
    EXPECT_EQ(r.Feed(frame.substr(i, 1)), TFrameFault::None);
    EXPECT_TRUE(r.posted.empty());
  }
  r.Feed(frame.substr(frame.size() - 1));
  ASSERT_EQ(r.posted.size(), 1u);
  EXPECT_EQ(r.posted[0]->Payload, std::string(100, 'q'));
}

TEST(ErtiFrame, BufferWithoutMagicKeepsOnlyItsLastThreeBytes) {
  Receiver r;
  const std::string garbage(1 << 20, 'x');
  for (int i = 0; i < 8; ++i) {
    r.Feed(garbage);
    EXPECT_LE(r.rx.Buffered(), 3u);
  }
  // A magic split across two reads is still found.
  const std::string frame = FrameBytes(kWhole, 1002, "ok");
  r.Feed("xxxxxxxxxxxxxxxxxxxx" + frame.substr(0, 3));
  EXPECT_EQ(r.rx.Buffered(), 3u);
  r.Feed(frame.substr(3));
  ASSERT_EQ(r.posted.size(), 1u);
  EXPECT_EQ(r.posted[0]->Payload, "ok");
}

TEST(ErtiFrame, MalformedLengthIsAFaultWithoutReadingPastTheFrame) {
  for (int32_t length : {0, 3, -1, INT32_MIN, INT32_MAX, INT32_MAX - 8, kMaxFrameLength + 1}) {
    SCOPED_TRACE(length);
    Receiver r;
    // A good frame before the bad one is still delivered.
    EXPECT_EQ(r.Feed(FrameBytes(kWhole, 1001, "first") + FrameWithLength(length, "tail")),
              TFrameFault::BadLength);
    EXPECT_EQ(r.posted.size(), 1u);
    EXPECT_EQ(r.Feed(FrameBytes(kWhole, 1001, "later")), TFrameFault::BadLength);
    EXPECT_EQ(r.posted.size(), 1u);
    EXPECT_EQ(r.rx.Buffered(), 0u);
  }
}

TEST(ErtiFrame, LengthBoundsAreAccepted) {
  Receiver r;
  EXPECT_EQ(r.Feed(FrameWithLength(4)), TFrameFault::None);
  const std::string big(kMaxFrameLength - 4, 'b');
  EXPECT_EQ(r.Feed(FrameWithLength(kMaxFrameLength, big)), TFrameFault::None);
  ASSERT_EQ(r.posted.size(), 2u);
  EXPECT_EQ(r.posted[1]->Payload.size(), big.size());
}

TEST(ErtiFrame, FirstBatchOfALongPayloadCutsRoomPlus32) {
  TSendQueue queue;
  queue.Queue(MakeSack(1005, std::string(3000, 'p')));
  std::vector<size_t> chunks;
  std::vector<uint8_t> flags;
  while (!queue.Empty()) {
    std::string batch;
    BuildCart(queue, batch, {1024, 0, 0});
    for (const Frame& f : SplitFrames(batch)) {
      chunks.push_back(f.chunk.size());
      flags.push_back(f.flags);
    }
  }
  EXPECT_EQ(chunks, (std::vector<size_t>{1056, 1056, 888}));
  EXPECT_EQ(flags, (std::vector<uint8_t>{sfFirstChunk, 0, sfLastChunk}));
}

TEST(ErtiFrame, LaterQueuedMessageComesFirstInEachBatch) {
  TSendQueue queue;
  queue.Queue(MakeSack(1005, std::string(3000, 'a')));
  queue.Queue(MakeSack(1006, std::string(3000, 'b')));
  std::string batch;
  BuildCart(queue, batch, {1024, 0, 0});
  const auto frames = SplitFrames(batch);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].code, 1006);
  EXPECT_EQ(frames[0].chunk.size(), 1056u);
  // room = (2048 - 1069) div 2 = 489, plus the 32-byte allowance.
  EXPECT_EQ(frames[1].code, 1005);
  EXPECT_EQ(frames[1].chunk.size(), 521u);
}

TEST(ErtiFrame, FollowerOfACodeWaitsUntilItsLeaderIsCut) {
  TSendQueue queue;
  queue.Queue(MakeSack(1005, std::string(1500, 'a')));
  queue.Queue(MakeSack(1005, "second"));
  queue.Queue(MakeSack(1006, "other"));
  EXPECT_EQ(queue.Size(), 2u);
  std::vector<std::pair<int32_t, uint8_t>> seen;
  while (!queue.Empty()) {
    std::string batch;
    BuildCart(queue, batch, {1024, 0, 0});
    for (const Frame& f : SplitFrames(batch)) seen.emplace_back(f.code, f.flags);
  }
  const std::vector<std::pair<int32_t, uint8_t>> expected = {
      {1006, kWhole}, {1005, sfFirstChunk}, {1005, sfLastChunk}, {1005, kWhole}};
  EXPECT_EQ(seen, expected);
}

TEST(ErtiFrame, BudgetFollowsSendSizeAndRateLimit) {
  EXPECT_EQ(CartBudget({1024, 0, 0}), 1024);
  EXPECT_EQ(CartBudget({4096, 0, 0}), 4096);
  EXPECT_EQ(CartBudget({1024, 2000, 0}), 1000);
  EXPECT_EQ(CartBudget({1024, 4000, 0}), 1024);
  EXPECT_EQ(CartBudget({1024, -5, 0}), 1024);
  EXPECT_EQ(CartBudget({INT32_MAX, 0, 0}), kMaxSendSize);
}

TEST(ErtiFrame, RateWindowStopsTheBatchAndCountsEveryFrame) {
  TSendQueue queue;
  for (int code = 1001; code <= 1004; ++code) queue.Queue(MakeSack(code, std::string(100, 'r')));
  int64_t counted = 0;
  TCartHooks hooks{[&] { return counted >= 200; }, [&](int32_t n) { counted += n; }, {}};
  std::string batch;
  EXPECT_EQ(BuildCart(queue, batch, {4096, 0, 77}, hooks), 2u);
  EXPECT_EQ(counted, 2 * 113);
  EXPECT_EQ(static_cast<int64_t>(batch.size()), counted);
  ASSERT_EQ(queue.Size(), 2u);
  EXPECT_EQ(queue[0].LastSendTick, 0u);  // never visited
}

TEST(ErtiFrame, CutStampsThePumpTick) {
  TSendQueue queue;
  TSack& sack = queue.Queue(MakeSack(1005, std::string(5000, 's')));
  std::string batch;
  BuildCart(queue, batch, {1024, 0, 4242});
  EXPECT_EQ(sack.LastSendTick, 4242u);
  EXPECT_EQ(sack.BytesSent, 1056);
}

TEST(ErtiFrame, PrefixesTravelOnTheLastChunkAndAreStripped) {
  struct Row {
    int32_t peerId;
    std::string route;
    uint8_t flags;
  };
  const Row rows[] = {
      {0, IntToField(7) + IntToField(8), sfRouteList},
      {42, "", sfPeerId},
      {42, IntToField(7), sfRouteList | sfPeerId},
  };
  for (const Row& row : rows) {
    for (size_t size : {size_t{0}, size_t{10}, size_t{5000}}) {
      SCOPED_TRACE(testing::Message() << "flags " << int{row.flags} << " size " << size);
      TSendQueue queue;
      queue.Queue(MakeSack(1091, std::string(size, 'z'), 1, row.peerId, row.route));
      std::string stream;
      while (!queue.Empty()) {
        std::string batch;
        BuildCart(queue, batch, {1024, 0, 0});
        stream += batch;
      }
      const auto frames = SplitFrames(stream);
      for (size_t i = 0; i + 1 < frames.size(); ++i) EXPECT_EQ(frames[i].flags & ~sfFirstChunk, 0);
      EXPECT_EQ(frames.back().flags & ~sfFirstChunk, sfLastChunk | sfAckWanted | row.flags);

      Receiver r;
      EXPECT_EQ(r.Feed(stream), TFrameFault::None);
      ASSERT_EQ(r.posted.size(), 1u);
      EXPECT_EQ(r.posted[0]->PeerId, row.peerId);
      EXPECT_EQ(r.posted[0]->RouteList, row.route);
      EXPECT_EQ(r.posted[0]->AckWanted, 1);
      EXPECT_EQ(r.posted[0]->Payload, std::string(size, 'z'));
    }
  }
}

// A chunked message is stripped of the prefixes its code's previous message
// carried before its last chunk tells; every change of pattern must still
// give the right fields.
TEST(ErtiFrame, ChunkedMessagesOfOneCodeMayChangeTheirPrefixes) {
  struct Step {
    int32_t peerId;
    std::string route;
  };
  const Step steps[] = {{42, ""}, {43, ""}, {0, ""}, {0, IntToField(9)}, {0, IntToField(9) + IntToField(8)},
                        {44, IntToField(1)}, {45, ""}, {0, ""}, {0, ""}};
  Receiver r;
  for (const Step& step : steps) {
    TSendQueue queue;
    queue.Queue(MakeSack(1091, std::string(3000, 'm'), 0, step.peerId, step.route));
    while (!queue.Empty()) {
      std::string batch;
      BuildCart(queue, batch, {1024, 0, 0});
      r.Feed(batch);
    }
  }
  ASSERT_EQ(r.posted.size(), std::size(steps));
  for (size_t i = 0; i < std::size(steps); ++i) {
    EXPECT_EQ(r.posted[i]->PeerId, steps[i].peerId) << i;
    EXPECT_EQ(r.posted[i]->RouteList, steps[i].route) << i;
    EXPECT_EQ(r.posted[i]->Payload, std::string(3000, 'm')) << i;
  }
  EXPECT_EQ(r.rx.PartialBytes(), 0u);
}

TEST(ErtiFrame, RouteListWithSpareBytesStopsAtTheLastWholeId) {
  const std::string route = IntToField(7) + IntToField(9) + "\x01\x02";
  Receiver r;
  EXPECT_EQ(r.Feed(FrameBytes(kWhole | sfRouteList, 1091, StrToField(route) + "body")), TFrameFault::None);
  ASSERT_EQ(r.posted.size(), 1u);
  EXPECT_EQ(r.posted[0]->RouteList, IntToField(7) + IntToField(9));
  EXPECT_EQ(r.posted[0]->Payload, "body");
  EXPECT_EQ(RouteIds(route), (std::vector<int32_t>{7, 9}));
}

TEST(ErtiFrame, MalformedPrefixesAreAFault) {
  const std::string body = "body";
  struct Row {
    const char* name;
    uint8_t flags;
    std::string payload;
  };
  const Row rows[] = {
      {"EmptyRouteList", sfRouteList, IntToField(0) + body},
      {"NegativeRouteList", sfRouteList, IntToField(-4) + body},
      {"RouteListLongerThanMessage", sfRouteList, IntToField(12) + IntToField(1) + body},
      {"RouteListWithoutWholeId", sfRouteList, IntToField(3) + body},
      {"RouteListCountCut", sfRouteList, std::string("\x04\x00", 2)},
      {"PeerIdCut", sfPeerId, std::string("\x05\x00", 2)},
      {"PeerIdThenRouteListMissing", sfPeerId | sfRouteList, IntToField(5)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // Whole, and cut into two chunks.
    Receiver whole;
    EXPECT_EQ(whole.Feed(FrameBytes(kWhole | row.flags, 1091, row.payload)), TFrameFault::BadPrefix);
    EXPECT_TRUE(whole.posted.empty());
    Receiver chunked;
    EXPECT_EQ(chunked.Feed(FrameBytes(sfFirstChunk, 1091, row.payload.substr(0, 1)) +
                           FrameBytes(sfLastChunk | row.flags, 1091, row.payload.substr(1))),
              TFrameFault::BadPrefix);
    EXPECT_TRUE(chunked.posted.empty());
  }
}

TEST(ErtiFrame, NewFirstChunkDropsTheOlderPartialOfItsCode) {
  Receiver r;
  r.Feed(FrameBytes(sfFirstChunk, 1005, "old"));
  r.Feed(FrameBytes(sfFirstChunk, 1006, "keep"));
  r.Feed(FrameBytes(sfFirstChunk, 1005, "new"));
  ASSERT_NE(r.rx.FindPartial(1005), nullptr);
  EXPECT_EQ(r.rx.FindPartial(1005)->Payload, "new");
  r.Feed(FrameBytes(sfLastChunk, 1005, "est"));
  r.Feed(FrameBytes(sfLastChunk, 1006, "er"));
  ASSERT_EQ(r.posted.size(), 2u);
  EXPECT_EQ(r.posted[0]->Payload, "newest");
  EXPECT_EQ(r.posted[1]->Payload, "keeper");
  EXPECT_EQ(r.rx.PartialBytes(), 0u);
  EXPECT_EQ(r.rx.FindPartial(1005), nullptr);
}

TEST(ErtiFrame, ChunkWithoutItsFirstIsDropped) {
  Receiver r;
  EXPECT_EQ(r.Feed(FrameBytes(0, 1005, "middle") + FrameBytes(sfLastChunk, 1005, "last")), TFrameFault::None);
  EXPECT_TRUE(r.posted.empty());
  EXPECT_EQ(r.counted, 18);  // dropped chunks still count as received bytes
}

TEST(ErtiFrame, ReassemblyBeyondTheCapIsAFault) {
  const size_t cap = 100000;
  {
    Receiver r(cap);
    const std::string chunk(30000, 'c');
    EXPECT_EQ(r.Feed(FrameBytes(sfFirstChunk, 1001, chunk)), TFrameFault::None);
    EXPECT_EQ(r.Feed(FrameBytes(sfFirstChunk, 1002, chunk)), TFrameFault::None);
    EXPECT_EQ(r.Feed(FrameBytes(0, 1001, chunk)), TFrameFault::None);
    EXPECT_EQ(r.Feed(FrameBytes(0, 1002, chunk)), TFrameFault::ReassemblyTooLarge);
    EXPECT_EQ(r.rx.PartialBytes(), 0u);
  }
  {
    // Empty partials cost their record, so many codes cannot outgrow the cap either.
    Receiver r(cap);
    TFrameFault fault = TFrameFault::None;
    for (int32_t code = 1000; code < 100000 && fault == TFrameFault::None; ++code)
      fault = r.Feed(FrameBytes(sfFirstChunk, code, ""));
    EXPECT_EQ(fault, TFrameFault::ReassemblyTooLarge);
  }
  {
    // Completed messages free their share.
    Receiver r(cap);
    const std::string chunk(40000, 'c');
    for (int i = 0; i < 10; ++i) {
      EXPECT_EQ(r.Feed(FrameBytes(sfFirstChunk, 1001, chunk) + FrameBytes(sfLastChunk, 1001, chunk)),
                TFrameFault::None);
    }
    EXPECT_EQ(r.posted.size(), 10u);
  }
}

TEST(ErtiFrame, LongFollowerChainIsFreedWithoutDeepRecursion) {
  TSendQueue queue;
  for (int i = 0; i < 300000; ++i) queue.Queue(MakeSack(1005, ""));
  EXPECT_EQ(queue.Size(), 1u);
  queue.Clear();
  EXPECT_TRUE(queue.Empty());
}

// Random messages through BuildCart with random budgets and rate limits, the
// stream cut at random points (and fed one byte at a time): every message
// arrives whole, with its flags and prefixes, in order per code.
TEST(ErtiFrame, RandomTrafficRoundTripsInOrderPerCode) {
  std::mt19937 rng(1234567);
  auto uniform = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int32_t codes[] = {-1091, -1005, 1, 2, 3, 10, 20, 21, 23, 999, 1000, 1005, 1091, 1171, 2000000};

  struct Expected {
    std::string body;
    uint8_t ack;
    int32_t peerId;
    std::string route;
  };
  std::map<int32_t, std::deque<Expected>> expected;
  const auto key = std::make_shared<const TAesKey>("random traffic");
  auto open = [&](std::string& p) { return OpenPayload(p, *key); };

  TSendQueue queue;
  std::string stream;
  size_t messages = 0;
  for (int step = 0; step < 400 || !queue.Empty(); ++step) {
    if (step < 400) {
      for (int k = uniform(0, 3); k > 0; --k) {
        const int32_t code = codes[uniform(0, std::size(codes) - 1)];
        const int sizeClass = uniform(0, 9);
        const size_t size = sizeClass < 3 ? 0 : sizeClass < 8 ? uniform(1, 3000) : uniform(3000, 40000);
        std::string body(size, '\0');
        for (char& c : body) c = static_cast<char>(rng());
        const uint8_t ack = static_cast<uint8_t>(uniform(0, 1));
        const int32_t peerId = uniform(0, 2) == 0 ? uniform(1, 1 << 30) : 0;
        std::string route;
        for (int n = uniform(0, 2) == 0 ? uniform(1, 5) : 0; n > 0; --n) route += IntToField(uniform(1, 100));
        expected[code].push_back({body, ack, peerId, route});
        // Some bodies are shared, as the relay queues them.
        if (uniform(0, 2) == 0) {
          auto sack = MakeSack(code, {}, ack, peerId, route);
          sack->Shared = std::make_shared<const std::string>(std::move(body));
          queue.Queue(std::move(sack));
        } else {
          queue.Queue(MakeSack(code, std::move(body), ack, peerId, route));
        }
        ++messages;
      }
    }
    const TCartLimits limits{uniform(0, 4) == 0 ? uniform(16, 200) : uniform(200, 20000),
                             uniform(0, 5) == 0 ? uniform(100, 5000) : 0, static_cast<uint32_t>(step)};
    std::string batch;
    const std::string iv = SealIvForTick(static_cast<uint32_t>(step));
    BuildCart(queue, batch, limits, {{}, {}, [&] { return TSealing{key, iv}; }});
    // Stray bytes between batches (never a whole magic) are skipped.
    if (uniform(0, 10) == 0) {
      for (int n = uniform(1, 20); n > 0; --n) stream.push_back("ERTx"[uniform(0, 3)]);
    }
    stream += batch;
  }

  auto check = [&](size_t maxRead) {
    SCOPED_TRACE(maxRead);
    auto pending = expected;
    Receiver r;
    r.open = open;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = maxRead == 1 ? 1 : std::min<size_t>(stream.size() - at, uniform(1, maxRead));
      ASSERT_EQ(r.Feed(std::string_view(stream).substr(at, n)), TFrameFault::None);
      at += n;
    }
    ASSERT_EQ(r.posted.size(), messages);
    for (const auto& sack : r.posted) {
      auto& queueOfCode = pending[sack->Code];
      ASSERT_FALSE(queueOfCode.empty());
      const Expected& e = queueOfCode.front();
      EXPECT_EQ(sack->Payload, e.body);
      EXPECT_EQ(sack->AckWanted, e.ack);
      EXPECT_EQ(sack->PeerId, e.peerId);
      EXPECT_EQ(sack->RouteList, e.route);
      queueOfCode.pop_front();
    }
    EXPECT_EQ(r.rx.PartialBytes(), 0u);
    EXPECT_EQ(r.rx.Buffered(), 0u);
  };
  check(1 << 16);
  check(700);
  check(1);
}

}  // namespace
}  // namespace tw

// The send queue counts what a message holds, not just its body: a queue of
// short messages costs at least a record each (it counted the bodies only,
// so a bound on it let the memory held grow to several times the bound).
namespace tw {

TEST(ErtiFrame, QueuedMessagesCountTheirRecordsAndHeapBlocks) {
  TSendQueue queue;
  constexpr size_t kMessages = 1000;
  for (size_t i = 0; i < kMessages; ++i) {
    auto sack = std::make_unique<TSack>();
    sack->Code = sackAppBase + 91;
    sack->Payload = std::string(40, 'c');
    queue.Queue(std::move(sack));
  }
  EXPECT_GE(queue.Bytes(), kMessages * (sizeof(TSack) + 40));
  auto big = std::make_unique<TSack>();
  big->Code = sackAppBase + 92;
  big->Payload = std::string(1 << 20, 'b');
  const size_t cost = QueuedCost(*big);
  EXPECT_GE(cost, (1u << 20) + sizeof(TSack));
  EXPECT_LE(cost, (1u << 20) + sizeof(TSack) + 256);
  const size_t before = queue.Bytes();
  queue.Queue(std::move(big));
  EXPECT_EQ(queue.Bytes(), before + cost);
  queue.Clear();
  EXPECT_EQ(queue.Bytes(), 0u);
}

}  // namespace tw

// A relayed body shared by many queues goes out as the same body in Payload
// would, byte for byte, with its prefixes and sealed under the queue's key.
namespace tw {
namespace {

std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7) >> 1);
  return s;
}

// Every batch a queue gives until it is empty; the sealing IV changes with
// each batch, as with each pump step.
std::vector<std::string> CutAll(TSendQueue& queue, int32_t budget, std::shared_ptr<const TAesKey> key) {
  std::vector<std::string> batches;
  for (uint32_t step = 1; !queue.Empty(); ++step) {
    const std::string iv = SealIvForTick(step);
    std::string batch;
    BuildCart(queue, batch, {budget, 0, step}, {{}, {}, [&] { return TSealing{key, iv}; }});
    batches.push_back(std::move(batch));
  }
  return batches;
}

TEST(SharedBody, CutsTheFramesThatTheSameBodyInPayloadGives) {
  const size_t sizes[] = {0, 1, 12, 13, 15, 16, 17, 31, 32, 33, 1000, 4099, 70001};
  const int32_t budgets[] = {32, 100, 1024, 65536};
  struct Prefixes {
    int32_t peerId;
    std::string route;
  };
  const Prefixes prefixes[] = {{0, ""}, {77, ""}, {0, IntToField(5) + IntToField(6)}, {9, IntToField(5)}};
  const auto key = std::make_shared<const TAesKey>("target key");
  for (const size_t size : sizes)
    for (const int32_t budget : budgets)
      for (const Prefixes& prefix : prefixes)
        for (const bool keyed : {false, true}) {
          SCOPED_TRACE(testing::Message() << "size " << size << " budget " << budget << " peer " << prefix.peerId
                                          << " route " << prefix.route.size() << " keyed " << keyed);
          const std::string body = Pattern(size, static_cast<unsigned>(size));
          // A message queued after it takes the first batches' room, so that
          // its first chunk may come a step (an IV) later.
          auto fill = [&](TSendQueue& queue, bool shared) {
            auto sack = MakeSack(1091, shared ? "" : body, 1, prefix.peerId, prefix.route);
            if (shared) sack->Shared = std::make_shared<const std::string>(body);
            queue.Queue(std::move(sack));
            queue.Queue(MakeSack(1092, Pattern(150, 3)));
          };
          TSendQueue owned, shared;
          fill(owned, false);
          fill(shared, true);
          const auto expected = CutAll(owned, budget, keyed ? key : nullptr);
          const auto got = CutAll(shared, budget, keyed ? key : nullptr);
          ASSERT_EQ(got, expected);

          Receiver r;
          r.open = [&](std::string& p) { return !keyed || OpenPayload(p, *key); };
          for (const std::string& batch : got) ASSERT_EQ(r.Feed(batch), TFrameFault::None);
          ASSERT_EQ(r.posted.size(), 2u);
          const TSack& relayed = r.posted[1]->Code == 1091 ? *r.posted[1] : *r.posted[0];
          EXPECT_EQ(relayed.Payload, body);
          EXPECT_EQ(relayed.PeerId, prefix.peerId);
          EXPECT_EQ(relayed.RouteList, prefix.route);
          EXPECT_EQ(relayed.AckWanted, 1);
        }
}

TEST(SharedBody, OneBodyInThreeQueuesIsHeldOnceAndSealedUnderEachKey) {
  const auto body = std::make_shared<const std::string>(Pattern(100000, 1));
  const std::shared_ptr<const TAesKey> keys[] = {std::make_shared<const TAesKey>("a"), nullptr,
                                                 std::make_shared<const TAesKey>("c")};
  TSendQueue queues[3];
  for (TSendQueue& queue : queues) {
    auto sack = queue.NewRecord();
    sack->Code = 1040;
    sack->PeerId = 12;
    sack->Shared = body;
    const size_t cost = QueuedCost(*sack);
    EXPECT_EQ(queue.Queue(std::move(sack)).Body().data(), body->data());
    EXPECT_EQ(queue.Bytes(), cost);
    EXPECT_GE(cost, body->size());
    EXPECT_LE(cost, body->size() + 512);
  }
  EXPECT_EQ(body.use_count(), 4);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    std::string expected = keys[i] ? SealPayload(*body, *keys[i], SealIvForTick(1)) : *body;
    expected.insert(0, IntToField(12));
    std::string wire;
    for (const std::string& batch : CutAll(queues[i], 16384, keys[i]))
      for (const Frame& frame : SplitFrames(batch)) wire += frame.chunk;
    EXPECT_EQ(wire, expected);
    EXPECT_EQ(queues[i].Bytes(), 0u);
    // The finished record goes back blank: it holds the body no more.
    EXPECT_EQ(body.use_count(), 3 - i);
    EXPECT_EQ(queues[i].NewRecord()->Shared, nullptr);
  }
}

// BytesFrom splits Bytes() by the sender each record was queued for, through
// followers, finishing, recycling and senders that come and go.
TEST(SharedBody, BytesFromFollowsEachSendersRecords) {
  TSendQueue queue;
  const auto body = std::make_shared<const std::string>(Pattern(5000, 2));
  std::map<int32_t, size_t> want;
  auto queueFrom = [&](int32_t peer, int32_t code, bool shared) {
    auto sack = queue.NewRecord();
    sack->Code = code;
    sack->PeerId = peer;
    if (shared) {
      sack->Shared = body;
    } else {
      sack->Payload = Pattern(300, 4);
    }
    want[peer] += QueuedCost(*sack);
    TSack& queued = queue.Queue(std::move(sack));
    queued.PeerId = peer + 1000;  // a later change does not move what was counted
  };
  auto check = [&] {
    size_t sum = 0;
    for (const auto& [peer, bytes] : want) {
      EXPECT_EQ(queue.BytesFrom(peer), bytes) << "peer " << peer;
      sum += bytes;
    }
    EXPECT_EQ(queue.Bytes(), sum);
  };
  queueFrom(0, 1, false);
  queueFrom(7, 1040, true);
  queueFrom(9, 1040, true);  // a follower of 7's message
  queueFrom(7, 1041, false);
  queueFrom(9, 1041, true);  // a follower
  check();
  EXPECT_EQ(queue.BytesFrom(3), 0u);
  while (!queue.Empty()) {
    TSack& first = queue[0];
    want[first.QueuedFrom] -= first.QueuedBytes;
    queue.Finish(0);
    check();
  }
  // Many senders, each gone after one message, beside one that stays.
  queueFrom(5, 1050, true);
  for (int32_t peer = 100; peer < 400; ++peer) {
    queueFrom(peer, 1060, false);
    want[peer] -= queue[queue.Size() - 1].QueuedBytes;
    queue.Finish(queue.Size() - 1);
  }
  check();
  queueFrom(9, 1070, true);
  queue.Clear();
  for (auto& [peer, bytes] : want) bytes = 0;
  check();
}

TEST(ErtiFrame, RouteIdsAreWalkedInPlaceAndTheWalkCanStop) {
  const std::string list = IntToField(7) + IntToField(-2) + IntToField(9) + "xy";
  std::vector<int32_t> all;
  ForEachRouteId(list, [&](int32_t id) { all.push_back(id); });
  EXPECT_EQ(all, (std::vector<int32_t>{7, -2, 9}));
  EXPECT_EQ(RouteIds(list), all);
  std::vector<int32_t> untilNegative;
  ForEachRouteId(list, [&](int32_t id) {
    untilNegative.push_back(id);
    return id > 0;
  });
  EXPECT_EQ(untilNegative, (std::vector<int32_t>{7, -2}));
}

}  // namespace
}  // namespace tw
