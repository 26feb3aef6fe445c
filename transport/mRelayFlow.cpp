// TRelayFlow: admission of relayed messages into their targets, the lanes in
// which the others wait beside their senders, reading and the ceiling, and
// the stall rule.
#include "transport/mRelayFlow.h"

#include <algorithm>

#include "platform/win32/tick.h"
#include "transport/twTools.h"

namespace tw {

namespace {

// Identical empty messages are merged with one of the last few that wait in
// their lane, never across a message of their own code.
constexpr int kCoalesceLookBack = 4;
// How often the targets are swept for the ones that owe much while the hub
// is past its ceiling.
constexpr uint32_t kSweepMs = 1000;

// An empty message merges into the last one of its code waiting in `items`
// when that one is empty and asks the same; true when it did.
bool Coalesce(std::deque<TRelayItem>& items, const TRelayItem& item) {
  if (!item.Body->empty()) return false;
  int looked = 0;
  for (auto it = items.rbegin(); it != items.rend() && looked < kCoalesceLookBack; ++it, ++looked) {
    if (it->Code != item.Code) continue;
    if (!it->Body->empty() || it->AckWanted != item.AckWanted || it->Count == UINT32_MAX) return false;
    ++it->Count;
    return true;
  }
  return false;
}

}  // namespace

size_t RelayCost(size_t bodySize) { return QueuedCost(0) + bodySize; }

TRelayFlow::TRelayFlow(IRelayPipes& pipes, TRelayLimits limits) : Limits(limits), pipes_(pipes) {}

// --- Bodies and the gauge ----------------------------------------------------------

namespace {

// A relayed body with the count it adds to the hub's gauge while it lives.
template <class Gauge>
class TCountedBody {
 public:
  TCountedBody(std::string text, std::shared_ptr<Gauge> gauge) : text_(std::move(text)), gauge_(std::move(gauge)) {
    gauge_->bodies += text_.size();
  }
  ~TCountedBody() { gauge_->bodies -= text_.size(); }
  TCountedBody(const TCountedBody&) = delete;
  TCountedBody& operator=(const TCountedBody&) = delete;
  const std::string& Text() const { return text_; }

 private:
  const std::string text_;
  std::shared_ptr<Gauge> gauge_;
};

}  // namespace

TSharedBody TRelayFlow::MakeBody(std::string bytes) {
  auto holder = std::make_shared<TCountedBody<TGauge>>(std::move(bytes), gauge_);
  return TSharedBody(holder, &holder->Text());
}

void TRelayFlow::AddPartial(int64_t delta) {
  if (delta < 0 && static_cast<size_t>(-delta) > partials_)
    partials_ = 0;
  else
    partials_ = static_cast<size_t>(static_cast<int64_t>(partials_) + delta);
}

// --- Routing -------------------------------------------------------------------------

void TRelayFlow::Route(int32_t sender, std::string_view routeList, int32_t code, const TSharedBody& body,
                       bool ackWanted) {
  const uint64_t serial = ++serial_;
  const TRelayItem item{code, body, ackWanted, 1};
  ForEachRouteId(routeList, [&](int32_t id) {
    if (pipes_.Mark(id, serial)) Offer(sender, id, item);
  });
}

bool TRelayFlow::Admits(int32_t sender, int32_t target, size_t cost) {
  const size_t owed = pipes_.Owed(target);
  if (owed == 0 || owed + cost <= Limits.Bound) return true;
  return pipes_.OwedFrom(target, sender) + cost <= Limits.SmallShare &&
         owed + cost <= Limits.Bound + Limits.Bound / 2;
}

void TRelayFlow::Offer(int32_t sender, int32_t target, const TRelayItem& item) {
  const bool laneWaits = !lanes_.empty() && lanes_.count(LaneKey(sender, target)) != 0;
  if (!laneWaits && Admits(sender, target, RelayCost(item.Body->size()))) {
    pipes_.Queue(target, sender, item);
    TrackPressed(target);
    return;
  }
  Park(sender, target, item);
}

void TRelayFlow::Park(int32_t sender, int32_t target, const TRelayItem& item) {
  auto [it, fresh] = lanes_.try_emplace(LaneKey(sender, target));
  TLane& lane = it->second;
  TSender& waiting = senders_[sender];
  if (fresh) {
    waiting.targets.push_back(target);
    targets_[target].waiting.push_back(sender);
  }
  if (Coalesce(lane.items, item)) return;
  const size_t cost = RelayCost(item.Body->size());
  lane.items.push_back(item);
  lane.bytes += cost;
  waiting.bytes += cost;
}

// --- The pump step -------------------------------------------------------------------

// Sets a flag for as long as it lives: the relay is walking its maps.
class TRelayFlow::TBusy {
 public:
  explicit TBusy(bool& flag) : flag_(flag) { flag_ = true; }
  ~TBusy() { flag_ = false; }
  TBusy(const TBusy&) = delete;
  TBusy& operator=(const TBusy&) = delete;

 private:
  bool& flag_;
};

void TRelayFlow::Step(uint32_t now) {
  {
    const TBusy walking(busy_);
    if (PastCeiling()) WatchPastCeiling(now);
    StepTargets(now);
  }
  Settle();
}

void TRelayFlow::StepTargets(uint32_t now) {
  for (auto it = targets_.begin(); it != targets_.end();) {
    const int32_t id = it->first;
    TTarget& state = it->second;
    if (!pipes_.Serves(id)) {
      for (int32_t sender : state.waiting) DropLane(sender, id);
      it = targets_.erase(it);
      continue;
    }
    AdmitWaiting(id, state);
    CheckStall(id, state, now);
    if (state.waiting.empty() && !state.pressed)
      it = targets_.erase(it);
    else
      ++it;
  }
}

// Each waiting sender in turn moves what fits from its lane into the target;
// one that could not move everything waits behind the others.
void TRelayFlow::AdmitWaiting(int32_t target, TTarget& state) {
  for (size_t turns = state.waiting.size(); turns-- > 0;) {
    const int32_t sender = state.waiting.front();
    state.waiting.pop_front();
    auto lane = lanes_.find(LaneKey(sender, target));
    if (lane == lanes_.end()) continue;
    if (Drain(sender, target, lane->second))
      DropLane(sender, target);
    else
      state.waiting.push_back(sender);
  }
}

// Moves the lane's messages into the target while it admits them, one copy
// of a merged message at a time. True when the lane emptied.
bool TRelayFlow::Drain(int32_t sender, int32_t target, TLane& lane) {
  TSender& waiting = senders_[sender];
  while (!lane.items.empty()) {
    TRelayItem& front = lane.items.front();
    const size_t cost = RelayCost(front.Body->size());
    if (!Admits(sender, target, cost)) return false;
    pipes_.Queue(target, sender, front);
    if (--front.Count > 0) continue;
    lane.bytes -= cost;
    waiting.bytes -= cost;
    lane.items.pop_front();
  }
  return true;
}

bool TRelayFlow::Pressed(int32_t target, const TTarget& state) {
  const size_t owed = pipes_.Owed(target);
  if (owed == 0) return false;
  return !state.waiting.empty() || owed > Limits.Bound || (PastCeiling() && owed >= Limits.SmallShare);
}

// Pressure is timed from when it began or the target last took bytes,
// whichever is later.
void TRelayFlow::CheckStall(int32_t target, TTarget& state, uint32_t now) {
  if (!Pressed(target, state)) {
    state.pressed = false;
    return;
  }
  if (!state.pressed) {
    state.pressed = true;
    state.pressedSince = now;
  }
  uint32_t since = state.pressedSince;
  const uint32_t progress = pipes_.LastProgress(target);
  if (win32::TickDiff(progress, since) > 0) since = progress;
  if (win32::TickDiff(now, since) > static_cast<int32_t>(Limits.StallMs)) stalled_.push_back(target);
}

// A target that a relay just took past its bound (or, past the ceiling, to
// a large debt) is watched from now on, waiters or not.
void TRelayFlow::TrackPressed(int32_t target) {
  const size_t owed = pipes_.Owed(target);
  if (owed > Limits.Bound || (owed >= Limits.SmallShare && PastCeiling())) targets_.try_emplace(target);
}

void TRelayFlow::WatchPastCeiling(uint32_t now) {
  if (lastSweep_ != 0 && win32::TickDiff(now, lastSweep_) < static_cast<int32_t>(kSweepMs)) return;
  lastSweep_ = now;
  pipes_.ForEachServed([&](int32_t id) {
    if (pipes_.Owed(id) >= Limits.SmallShare) targets_.try_emplace(id);
  });
}

// Closes the stalled targets and tells of the senders released, once the
// maps are no longer being walked. Both close pipes, and a close calls
// Forget, which may release more senders: they are told in the same walk,
// as the lists are walked by index to their current ends.
void TRelayFlow::Settle() {
  if (busy_) return;  // the step or settling under way tells them
  const TBusy settling(busy_);
  for (size_t i = 0; i < stalled_.size(); ++i) pipes_.CloseStalled(stalled_[i]);
  stalled_.clear();
  for (size_t i = 0; i < released_.size(); ++i) pipes_.Released(released_[i]);
  released_.clear();
}

// --- Reading -------------------------------------------------------------------------

bool TRelayFlow::MayRead(int32_t sender, size_t partialBytes) const {
  if (!senders_.empty()) {
    auto it = senders_.find(sender);
    if (it != senders_.end() && it->second.bytes > Limits.SmallShare) return false;
  }
  return !(PastCeiling() && partialBytes >= Limits.LightPartial);
}

size_t TRelayFlow::ReadLimit(size_t recvSize) const {
  return PastCeiling() ? std::min(recvSize, Limits.LightPartial) : recvSize;
}

size_t TRelayFlow::WaitingBytes(int32_t sender) const {
  auto it = senders_.find(sender);
  return it == senders_.end() ? 0 : it->second.bytes;
}

size_t TRelayFlow::WaitingTargets(int32_t sender) const {
  auto it = senders_.find(sender);
  return it == senders_.end() ? 0 : it->second.targets.size();
}

size_t TRelayFlow::WaitingCopies(int32_t sender, int32_t target, int32_t code) const {
  auto lane = lanes_.find(LaneKey(sender, target));
  if (lane == lanes_.end()) return 0;
  size_t copies = 0;
  for (const TRelayItem& item : lane->second.items)
    if (item.Code == code) copies += item.Count;
  return copies;
}

// --- Lanes ---------------------------------------------------------------------------

// Removes a lane from the lanes and from its sender (not from the target's
// waiting list, which the caller keeps); a sender left with no lane is
// released.
void TRelayFlow::DropLane(int32_t sender, int32_t target) {
  auto lane = lanes_.find(LaneKey(sender, target));
  if (lane == lanes_.end()) return;
  const size_t bytes = lane->second.bytes;
  lanes_.erase(lane);
  auto s = senders_.find(sender);
  if (s == senders_.end()) return;
  s->second.bytes -= std::min(bytes, s->second.bytes);
  std::erase(s->second.targets, target);
  if (s->second.targets.empty()) {
    senders_.erase(s);
    released_.push_back(sender);
  }
}

void TRelayFlow::Forget(int32_t id) {
  if (auto t = targets_.find(id); t != targets_.end()) {
    const std::deque<int32_t> waiting = std::move(t->second.waiting);
    targets_.erase(t);
    for (int32_t sender : waiting) DropLane(sender, id);
  }
  if (auto s = senders_.find(id); s != senders_.end()) {
    const std::vector<int32_t> targets = std::move(s->second.targets);
    senders_.erase(s);
    for (int32_t target : targets) {
      lanes_.erase(LaneKey(id, target));
      if (auto t = targets_.find(target); t != targets_.end()) std::erase(t->second.waiting, id);
    }
  }
  // Senders whose last lane waited for this pipe are told now: an idle
  // relay is not stepped, so no later step would tell them, and a sender
  // whose end waited for its lane would stay connected for good.
  Settle();
}

}  // namespace tw
