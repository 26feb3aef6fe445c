// The relay's flow control alone, on made-up pipes and a test clock: which
// targets take a message, which senders are held back, which targets are
// closed, for senders, targets, sizes and read rates given as a table; the
// order of one sender's messages; acknowledgement floods held as a count;
// the ceiling across the hub.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "transport/mRelayFlow.h"
#include "transport/twTools.h"

using namespace tw;

namespace {

// Pipes that take what they are queued at a fixed rate per millisecond.
class TFakePipes final : public IRelayPipes {
 public:
  struct TCopy {
    int32_t sender = 0;
    int32_t code = 0;
    size_t cost = 0;
    size_t left = 0;  // bytes not yet taken by the reader
    TSharedBody body;
  };
  struct TFake {
    size_t rate = 0;  // bytes per millisecond
    bool closed = false;
    uint64_t mark = 0;
    uint32_t progress = 0;
    size_t owed = 0;
    std::map<int32_t, size_t> from;
    std::deque<TCopy> queue;
    std::vector<TCopy> received;
  };

  TRelayFlow* flow = nullptr;
  uint32_t now = 1000;
  std::map<int32_t, TFake> pipes;
  std::vector<int32_t> released;

  bool Serves(int32_t id) override { return pipes.count(id) && !pipes[id].closed; }
  bool Mark(int32_t id, uint64_t serial) override {
    if (!Serves(id) || pipes[id].mark == serial) return false;
    pipes[id].mark = serial;
    return true;
  }
  size_t Owed(int32_t id) override { return pipes[id].owed; }
  size_t OwedFrom(int32_t id, int32_t sender) override { return pipes[id].from[sender]; }
  uint32_t LastProgress(int32_t id) override { return pipes[id].progress; }
  void Queue(int32_t id, int32_t sender, const TRelayItem& item) override {
    TFake& p = pipes[id];
    const size_t cost = RelayCost(item.Body->size());
    if (p.owed == 0) p.progress = now;  // a backlog starts now
    p.queue.push_back({sender, item.Code, cost, cost, item.Body});
    p.owed += cost;
    p.from[sender] += cost;
  }
  void CloseStalled(int32_t id) override {
    pipes[id].closed = true;
    flow->Forget(id);
  }
  void Released(int32_t sender) override { released.push_back(sender); }
  void ForEachServed(const std::function<void(int32_t)>& visit) override {
    for (auto& [id, p] : pipes)
      if (!p.closed) visit(id);
  }

  // Every reader takes what its rate allows over `ms` milliseconds.
  void Read(uint32_t ms) {
    now += ms;
    for (auto& [id, p] : pipes) {
      if (p.closed) continue;
      size_t budget = p.rate * ms;
      if (budget > 0 && !p.queue.empty()) p.progress = now;
      while (budget > 0 && !p.queue.empty()) {
        TCopy& front = p.queue.front();
        const size_t take = std::min(budget, front.left);
        front.left -= take;
        budget -= take;
        if (front.left > 0) break;
        p.owed -= front.cost;
        p.from[front.sender] -= front.cost;
        p.received.push_back(front);
        p.queue.pop_front();
      }
    }
  }
};

std::string Route(std::initializer_list<int32_t> ids) {
  std::string list;
  for (int32_t id : ids) PutIntField(list, id);
  return list;
}

struct TSenderPlan {
  int32_t id;
  size_t size;      // body bytes of each message
  int messages;     // how many it sends while it is read
  std::vector<int32_t> targets;
  uint32_t everyMs = 1;  // one message each this many milliseconds
};

struct TTargetPlan {
  int32_t id;
  size_t rate;  // bytes a millisecond
};

struct TFlowCase {
  const char* name;
  std::vector<TSenderPlan> senders;
  std::vector<TTargetPlan> targets;
  uint32_t runMs;
  std::set<int32_t> held;    // senders that are held back at some time
  std::set<int32_t> closed;  // targets closed for stalling
};

void PrintTo(const TFlowCase& c, std::ostream* os) { *os << c.name; }

constexpr size_t kBound = 64 << 10;
constexpr size_t kShare = 4 << 10;

TRelayLimits SmallLimits() {
  TRelayLimits limits;
  limits.Bound = kBound;
  limits.SmallShare = kShare;
  limits.Ceiling = 64 * kBound;
  limits.LightPartial = 1024;
  return limits;
}

// One relay on made-up pipes, with the small limits.
class RelayFlow : public ::testing::Test {
 protected:
  RelayFlow() { pipes.flow = &flow; }
  // A pump step as the hub's mill takes it: the relay is stepped only when
  // it says it has something to do, so nothing may wait for a step that an
  // idle relay never gets.
  void PumpStep() {
    if (!flow.Idle()) flow.Step(pipes.now);
  }
  TFakePipes pipes;
  TRelayFlow flow{pipes, SmallLimits()};
};

class RelayFlowTable : public RelayFlow, public ::testing::WithParamInterface<TFlowCase> {};

TEST_P(RelayFlowTable, WhoIsHeldAndWhoIsClosed) {
  const TFlowCase& c = GetParam();
  for (const TTargetPlan& t : c.targets) pipes.pipes[t.id].rate = t.rate;
  for (const TSenderPlan& s : c.senders) pipes.pipes[s.id].rate = 1 << 20;

  std::map<int32_t, int> sent;
  std::set<int32_t> held;
  for (uint32_t ms = 0; ms < c.runMs; ++ms) {
    for (const TSenderPlan& s : c.senders) {
      if (!flow.MayRead(s.id, 0)) {
        held.insert(s.id);
        continue;
      }
      if (sent[s.id] == s.messages || ms % s.everyMs != 0) continue;
      std::string list;
      for (int32_t t : s.targets) PutIntField(list, t);
      flow.Route(s.id, list, sackAppBase + 1, flow.MakeBody(std::string(s.size, 'm')), false);
      ++sent[s.id];
    }
    PumpStep();
    pipes.Read(1);
  }

  std::set<int32_t> closed;
  for (auto& [id, p] : pipes.pipes)
    if (p.closed) closed.insert(id);
  EXPECT_EQ(held, c.held);
  EXPECT_EQ(closed, c.closed);
  // Every target that reads and was left open got every message its
  // senders sent it.
  for (const TSenderPlan& s : c.senders) {
    EXPECT_EQ(sent[s.id], s.messages) << "sender " << s.id;
    for (int32_t t : s.targets) {
      if (closed.count(t) || pipes.pipes[t].rate == 0) continue;
      const auto& got = pipes.pipes[t].received;
      EXPECT_EQ(std::count_if(got.begin(), got.end(), [&](const auto& r) { return r.sender == s.id; }), s.messages)
          << "sender " << s.id << " to " << t;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RelayFlowTable,
    ::testing::Values(
        // Three senders of messages near the bound to one reader: each waits
        // its turn, held back meanwhile; the reader is never closed.
        TFlowCase{"ThreeBulkSendersToOneReader",
                  {{1, 48 << 10, 3, {10}}, {2, 48 << 10, 3, {10}}, {3, 48 << 10, 3, {10}}},
                  {{10, 2048}},
                  2000,
                  {1, 2, 3},
                  {}},
        // A filler keeps a slow reader full; a peer that sends it a small
        // message now and then is never held, and its talk with a third
        // peer goes on; the slow reader reads, so it stays.
        TFlowCase{"SmallSenderToAFilledSlowReaderIsNotHeld",
                  {{1, 16 << 10, 200, {10}}, {2, 40, 200, {10, 11}, 100}},
                  {{10, 400}, {11, 1 << 20}},
                  20000,
                  {1},
                  {}},
        // A target that reads nothing while a sender's bulk waits for it is
        // closed after its stall, and the sender goes on to its other target.
        TFlowCase{"NonReaderWithWaitingBulkIsClosedAfterItsStall",
                  {{1, 32 << 10, 6, {10, 11}}},
                  {{10, 0}, {11, 1 << 20}},
                  20000,
                  {1},
                  {10}},
        // A target that reads nothing but owes within its bound keeps its
        // session: nobody waits for it.
        TFlowCase{"NonReaderWithinItsBoundStays",
                  {{1, 8 << 10, 4, {10}}},
                  {{10, 0}},
                  60000,
                  {},
                  {}},
        // Many small senders fill a reader that others wait for: a sender is
        // held only once its own share waits.
        TFlowCase{"ManySmallSendersShareASlowReader",
                  {{1, 512, 400, {10}}, {2, 512, 400, {10}}, {3, 512, 400, {10}}, {4, 512, 400, {10}}},
                  {{10, 256}},
                  20000,
                  {1, 2, 3, 4},
                  {}}),
    [](const auto& param) { return std::string(param.param.name); });

// One sender's messages reach one target in the order it sent them, also
// when some had to wait and later ones would have fitted.
TEST_F(RelayFlow, OneSendersMessagesToOneTargetKeepTheirOrder) {
  pipes.pipes[10].rate = 1024;
  pipes.pipes[1].rate = 1 << 20;
  const std::string route = Route({10});
  for (int i = 0; i < 40; ++i) {
    const size_t size = i % 3 == 0 ? 30 << 10 : 100;  // bulk, then small ones that would fit
    flow.Route(1, route, sackAppBase + i, flow.MakeBody(std::string(size, 'x')), false);
  }
  for (int ms = 0; ms < 5000 && pipes.pipes[10].received.size() < 40; ++ms) {
    PumpStep();
    pipes.Read(1);
  }
  const auto& got = pipes.pipes[10].received;
  ASSERT_EQ(got.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(got[static_cast<size_t>(i)].code, sackAppBase + i);
  EXPECT_FALSE(flow.Waiting(1));
  EXPECT_EQ(pipes.released, std::vector<int32_t>{1});
}

// A flood of empty messages asking for acknowledgements to a full target
// waits as a count: the sender is never held back, and every one arrives.
TEST_F(RelayFlow, AnAcknowledgementFloodToAFullTargetWaitsAsACount) {
  pipes.pipes[10].rate = 0;
  const std::string route = Route({10});
  flow.Route(2, route, sackAppBase + 5, flow.MakeBody(std::string(kBound, 'f')), false);  // a filler
  constexpr int kAcks = 200000;
  for (int i = 0; i < kAcks; ++i) flow.Route(1, route, -(sackAppBase + 7), flow.MakeBody({}), false);
  EXPECT_TRUE(flow.MayRead(1, 0));
  EXPECT_LE(flow.WaitingBytes(1), kShare);
  EXPECT_EQ(flow.WaitingCopies(1, 10, -(sackAppBase + 7)) + pipes.pipes[10].from[1] / RelayCost(0),
            static_cast<size_t>(kAcks));
  pipes.pipes[10].rate = 1 << 20;
  for (int ms = 0; ms < 1000 && flow.Waiting(1); ++ms) {
    PumpStep();
    pipes.Read(1);
  }
  pipes.Read(1);
  const auto& got = pipes.pipes[10].received;
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const auto& r) { return r.sender == 1; }), kAcks);
}

// A repeated id is served once, an id of no pipe in session is passed over.
TEST_F(RelayFlow, ARouteListServesEachLivePipeOnce) {
  pipes.pipes[10];
  pipes.pipes[11];
  pipes.pipes[12].closed = true;
  flow.Route(1, Route({10, 99, 10, 12, 11, 10, 11}) + "\x01\x02", sackAppBase, flow.MakeBody("hi"), false);
  EXPECT_EQ(pipes.pipes[10].queue.size(), 1u);
  EXPECT_EQ(pipes.pipes[11].queue.size(), 1u);
  EXPECT_TRUE(pipes.pipes[12].queue.empty());
}

// Past the ceiling a pipe in the middle of a large message is not read and
// reads are small; the bodies that waited count until their last copy goes.
TEST_F(RelayFlow, PastTheCeilingOnlyLightReadsGoOn) {
  const TRelayLimits& limits = flow.Limits;
  flow.Limits.Ceiling = 3 * kBound;
  for (int32_t id : {10, 11, 12}) pipes.pipes[id];
  EXPECT_TRUE(flow.MayRead(1, 10 << 10));
  EXPECT_EQ(flow.ReadLimit(1 << 20), size_t{1} << 20);
  {
    TSharedBody body = flow.MakeBody(std::string(kBound, 'b'));
    flow.Route(1, Route({10, 11, 12}), sackAppBase, body, false);
  }
  EXPECT_EQ(flow.Held(), kBound);  // one body, however many queues hold it
  flow.AddPartial(2 * kBound);
  EXPECT_TRUE(flow.PastCeiling());
  EXPECT_FALSE(flow.MayRead(2, limits.LightPartial));
  EXPECT_TRUE(flow.MayRead(2, limits.LightPartial - 1));
  EXPECT_EQ(flow.ReadLimit(1 << 20), limits.LightPartial);
  flow.AddPartial(-static_cast<int64_t>(2 * kBound));
  for (int32_t id : {10, 11, 12}) pipes.pipes[id].rate = 1 << 20;
  pipes.Read(1);
  for (int32_t id : {10, 11, 12}) pipes.pipes[id].received.clear();
  EXPECT_EQ(flow.Held(), 0u);
}

// Past the ceiling a target that owes much and takes nothing is closed
// after its stall, though nobody waits for it: it keeps others' bulk waiting.
TEST_F(RelayFlow, PastTheCeilingANonReaderThatOwesMuchIsClosedAfterItsStall) {
  const TRelayLimits& limits = flow.Limits;
  flow.Limits.Ceiling = kBound;
  pipes.pipes[10].rate = 0;
  pipes.pipes[11].rate = 1 << 20;
  TSharedBody kept = flow.MakeBody(std::string(kBound, 'b'));
  flow.Route(1, Route({10}), sackAppBase, kept, false);
  uint32_t closedAfter = 0;
  for (uint32_t ms = 0; ms < 20000 && !pipes.pipes[10].closed; ms += 10) {
    PumpStep();
    pipes.Read(10);
    closedAfter = ms;
  }
  EXPECT_TRUE(pipes.pipes[10].closed);
  EXPECT_GE(closedAfter, limits.StallMs);
  EXPECT_FALSE(pipes.pipes[11].closed);
}

// A sender that closes takes what it had waiting with it; a target that
// closes releases the senders that waited only for it, at once (an idle
// relay gets no step that could tell them later).
TEST_F(RelayFlow, ForgettingAPipeDropsWhatWaitsForItAndWhatItSent) {
  pipes.pipes[10];
  pipes.pipes[11];
  flow.Route(1, Route({10, 11}), sackAppBase, flow.MakeBody(std::string(kBound, 'a')), false);
  flow.Route(1, Route({10, 11}), sackAppBase, flow.MakeBody(std::string(kBound, 'a')), false);
  flow.Route(2, Route({10}), sackAppBase, flow.MakeBody(std::string(kBound, 'b')), false);
  EXPECT_EQ(flow.WaitingTargets(1), 2u);
  EXPECT_TRUE(flow.Waiting(2));
  pipes.pipes[10].closed = true;
  flow.Forget(10);
  EXPECT_FALSE(flow.Waiting(2));
  EXPECT_EQ(flow.WaitingTargets(1), 1u);
  EXPECT_EQ(pipes.released, std::vector<int32_t>{2});
  flow.Forget(1);
  EXPECT_FALSE(flow.Waiting(1));
  EXPECT_TRUE(flow.Idle() || !flow.Waiting(1));
}

}  // namespace
