// TRelayFlow: the flow control of the server's relay. For every message that
// a session sends with a route list it decides which targets take it now and
// which it waits for, beside its sender; which senders are not read while
// their messages wait; and which targets are closed because they take
// nothing while others wait for them. It owns the messages that wait and
// sees the pipes only by id, through IRelayPipes, so that it runs alone on a
// test clock.
//
// The rules, with the numbers of TRelayLimits:
// - A target takes a message when it owes its peer nothing, when the message
//   keeps what it owes within Bound, or when the sender's own bytes waiting
//   there stay within SmallShare and the whole within Bound * 3/2: a peer's
//   acknowledgements and chats pass a target that others have filled.
// - Otherwise the message waits beside its sender, behind whatever of that
//   sender already waits for that target, so one sender's messages reach one
//   target in the order it sent them; its messages to other targets go on.
//   Identical empty messages (acknowledgements) that wait are held as a count.
// - A sender is not read while more than SmallShare of its messages wait:
//   one that fills a target stops, one whose few bytes wait keeps talking.
// - Past Ceiling bytes held across the hub (bodies relayed or waiting, and
//   messages not yet whole) a pipe is read only while what it has of
//   messages not yet whole stays below LightPartial, and LightPartial bytes
//   at a time: chats, acknowledgements, commands and logins go on, bulk
//   waits.
// - A target under pressure (owing more than Bound, others' messages waiting
//   for it, or owing SmallShare or more past the ceiling) whose socket takes
//   no byte for StallMs is closed. Nobody is closed because others send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "transport/mErtiFrame.h"

namespace tw {

struct TRelayLimits {
  // What a target may owe its peer before messages wait for it: room for a
  // whole message of the largest size a pipe reassembles.
  size_t Bound = kDefaultReassemblyCap;
  // A sender's bytes in one target (and waiting in all) that never hold it
  // back: thousands of acknowledgements, a long chat.
  size_t SmallShare = size_t{1} << 20;
  // What the hub holds across all pipes before bulk reading waits: eight
  // targets owing a whole bound each. Honest talks and chats need a few MiB;
  // past the ceiling nobody is closed, large transfers only slow down.
  size_t Ceiling = size_t{512} << 20;
  size_t LightPartial = size_t{64} << 10;
  // Long enough for a slow or briefly busy reader, short enough that the
  // senders waiting for it soon go on.
  uint32_t StallMs = 15000;
};

// One message on its way: the shared body and what each copy carries.
struct TRelayItem {
  int32_t Code = 0;
  TSharedBody Body;  // never null
  bool AckWanted = false;
  uint32_t Count = 1;  // identical empty messages waiting as one
};

// What a target queue costs for one relayed body of `size` bytes.
size_t RelayCost(size_t bodySize);

// The pipes as the relay sees them, by id.
class IRelayPipes {
 public:
  virtual ~IRelayPipes() = default;
  // A pipe in session that the relay serves.
  virtual bool Serves(int32_t id) = 0;
  // Marks a pipe that the relay serves as named by the message with this
  // serial. False when it is not served, or was named already (a repeated
  // id is served once).
  virtual bool Mark(int32_t id, uint64_t serial) = 0;
  // What the pipe holds for its peer, all told and from one sender's relays.
  virtual size_t Owed(int32_t id) = 0;
  virtual size_t OwedFrom(int32_t id, int32_t sender) = 0;
  // The tick at which its socket last took bytes, or its backlog began.
  virtual uint32_t LastProgress(int32_t id) = 0;
  // Queues one copy of `item` from `sender`.
  virtual void Queue(int32_t id, int32_t sender, const TRelayItem& item) = 0;
  // Closes a target that takes nothing while it is under pressure.
  virtual void CloseStalled(int32_t id) = 0;
  // Nothing of `sender` waits any more.
  virtual void Released(int32_t sender) = 0;
  // Every pipe in session (looked at past the ceiling only).
  virtual void ForEachServed(const std::function<void(int32_t)>& visit) = 0;
};

class TRelayFlow {
 public:
  explicit TRelayFlow(IRelayPipes& pipes, TRelayLimits limits = {});
  TRelayFlow(const TRelayFlow&) = delete;
  TRelayFlow& operator=(const TRelayFlow&) = delete;

  TRelayLimits Limits;

  // A body to relay, counted against the ceiling while any copy lives.
  TSharedBody MakeBody(std::string bytes);
  // Relays a message from `sender` to the ids of `routeList` (whole 4-byte
  // ids; those that name no pipe in session are passed over).
  void Route(int32_t sender, std::string_view routeList, int32_t code, const TSharedBody& body, bool ackWanted);
  // Once per pump step: waiting messages enter targets with room, targets
  // that stall are closed.
  void Step(uint32_t now);

  // Whether `sender` may be read now, given what it has of messages not yet
  // whole (under reassembly, or frames not yet whole in its buffer).
  bool MayRead(int32_t sender, size_t partialBytes) const;
  // The most one read may take.
  size_t ReadLimit(size_t recvSize) const;
  // Something of `sender` waits for a target.
  bool Waiting(int32_t sender) const { return senders_.count(sender) != 0; }
  size_t WaitingBytes(int32_t sender) const;
  // Targets that `sender`'s messages wait for.
  size_t WaitingTargets(int32_t sender) const;
  // Copies of messages of `code` from `sender` that wait for `target`.
  size_t WaitingCopies(int32_t sender, int32_t target, int32_t code) const;

  // The pipe closed: what waits for it and what it sent that waits go.
  // Senders left with nothing waiting are told at once (IRelayPipes::Released).
  void Forget(int32_t id);

  // Bytes held across the hub: live bodies and what the mill reports of
  // messages under reassembly (AddPartial).
  size_t Held() const { return gauge_->bodies + partials_; }
  void AddPartial(int64_t delta);
  bool PastCeiling() const { return Held() >= Limits.Ceiling; }
  // A pump step has nothing to do here: nothing waits, no target is
  // watched, nobody is left to tell, and the hub is within its ceiling (past
  // it, the steps look for targets that owe much and stall).
  bool Idle() const {
    return lanes_.empty() && targets_.empty() && released_.empty() && stalled_.empty() && !PastCeiling();
  }

 private:
  struct TGauge {
    size_t bodies = 0;
  };
  // Messages of one sender waiting for one target, in order.
  struct TLane {
    std::deque<TRelayItem> items;
    size_t bytes = 0;
  };
  struct TSender {
    size_t bytes = 0;
    std::vector<int32_t> targets;  // with a lane
  };
  class TBusy;
  struct TTarget {
    std::deque<int32_t> waiting;  // senders with a lane, in the order they began
    bool pressed = false;
    uint32_t pressedSince = 0;
  };

  static uint64_t LaneKey(int32_t sender, int32_t target) {
    return uint64_t{static_cast<uint32_t>(sender)} << 32 | static_cast<uint32_t>(target);
  }
  bool Admits(int32_t sender, int32_t target, size_t cost);
  void Offer(int32_t sender, int32_t target, const TRelayItem& item);
  void Park(int32_t sender, int32_t target, const TRelayItem& item);
  bool Drain(int32_t sender, int32_t target, TLane& lane);
  void StepTargets(uint32_t now);
  void AdmitWaiting(int32_t target, TTarget& state);
  bool Pressed(int32_t target, const TTarget& state);
  void CheckStall(int32_t target, TTarget& state, uint32_t now);
  void TrackPressed(int32_t target);
  void WatchPastCeiling(uint32_t now);
  void DropLane(int32_t sender, int32_t target);
  void Settle();

  IRelayPipes& pipes_;
  std::shared_ptr<TGauge> gauge_ = std::make_shared<TGauge>();
  size_t partials_ = 0;
  uint64_t serial_ = 0;
  uint32_t lastSweep_ = 0;
  std::unordered_map<uint64_t, TLane> lanes_;
  std::unordered_map<int32_t, TSender> senders_;
  std::unordered_map<int32_t, TTarget> targets_;  // with waiters or under pressure
  // Kept between steps: a step allocates nothing once running.
  std::vector<int32_t> stalled_;
  std::vector<int32_t> released_;
  // A step or a settling walks the maps: closes that call Forget meanwhile
  // leave the telling to it.
  bool busy_ = false;
};

}  // namespace tw
