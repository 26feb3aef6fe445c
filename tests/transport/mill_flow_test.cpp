// How messages flow when a peer ends or falls behind: what the mill has read
// before a peer's end is delivered before the close; a closed pipe's socket
// ends so that nothing it sent is lost; a target over its bound holds its
// senders back while it reads, and is closed only when it stops reading.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32/tick.h"
#include "tests/support/manual_tick.h"
#include "tests/support/mill_rig.h"

using namespace tw;
using namespace tw::test;

namespace {

// A peer that sends many messages and ends at once: the mill reads them over
// several steps and sees the end before it has delivered the last ones. Every
// one is still handed up, and the close comes after them (they were dropped:
// the close came first and a closed pipe delivers nothing).
TEST(MillFlow, MessagesReadBeforeAPeersEndAreDeliveredBeforeItsClose) {
  TListeningServer host;
  TRawPeer peer(host.Port());
  LogInPlain(peer);
  ASSERT_TRUE(Drive({&host.mill}, [&] { return !host.probe.opened.empty(); }));
  CPipe* s = host.mill.GetPipe(host.probe.opened[0]);
  size_t receivedAtClose = 0;
  host.mill.Events.OnPipeClosed = [&](CMill&, CPipe& p, TCloseReason r) {
    receivedAtClose = host.probe.received.size();
    host.probe.closes.push_back({"closed", p.Id(), r});
  };

  constexpr size_t kMessages = 1000;
  std::string out;
  for (size_t i = 0; i < kMessages; ++i)
    AppendFrame(out, sfFirstChunk | sfLastChunk, sackAppBase + 91, "chat " + std::to_string(i));
  peer.SendBytes(out);
  peer.HalfClose();
  // Steps only: what they read stays posted until the end has been seen.
  ASSERT_TRUE(PumpUntil({&host.mill}, [&] { return s->EndSeen || s->State == psClosed; }));
  EXPECT_GT(s->PostedCount, 0);
  ASSERT_TRUE(Drive({&host.mill}, [&] { return !host.probe.closes.empty(); }));
  ASSERT_EQ(host.probe.received.size(), kMessages);
  EXPECT_EQ(receivedAtClose, kMessages);
  EXPECT_EQ(host.probe.received.back().second, "chat 999");
  EXPECT_EQ(host.probe.closes[0].reason, crSocket);
}

// A client that closes its pipe with much still on its way, while the
// server has sent it something it never read: the pipe is freed once its
// queue is out, and its socket ends with a half-close and reads on, so the
// server reads everything (a plain close with unread bytes reset the
// connection, and the server's system threw away what it had not read).
TEST(MillFlow, AClosedPipesSocketEndsSoThatEverythingItSentArrives) {
  win32::ScopedManualTick tick;
  TListeningServer host;
  CMill client{TMillSide::Client, false};
  CPipe* c = host.Dial(client);
  ASSERT_TRUE(Drive({&host.mill, &client}, [&] { return c->State == psSession && !host.probe.opened.empty(); }));
  const int32_t sid = host.probe.opened[0];

  constexpr size_t kMessages = 1000;
  for (size_t i = 0; i < kMessages; ++i) {
    c->QueueMessage(sackAppBase + 91, TMessage().Raw(std::string(1024, static_cast<char>('a' + i % 26))));
  }
  host.mill.SendToPipe(sid, 7, TMessage().Str("unread"));
  ASSERT_TRUE(Drive({&host.mill}, [&] { return host.mill.GetPipe(sid)->SendIdle(); }));
  c->FinishSession(crLocal);
  // The client alone: its queue goes into the sockets, then it is freed
  // while the server has read little of it.
  ASSERT_TRUE(Drive({&client}, [&] {
    tick.Advance(50);
    return client.PipeCount() == 0;
  }));
  ASSERT_TRUE(Drive({&host.mill, &client}, [&] { return host.probe.received.size() == kMessages; }));
  EXPECT_TRUE(Drive({&host.mill, &client}, [&] {
    tick.Advance(5);
    return client.LingeringCount() == 0;
  }));
}

// A farewell queued with QueueLast leaves after every message queued before
// it, whatever their codes (a batch cuts its newest message first, so a
// plain queue let it overtake them), and messages queued after it do not
// hold it back.
TEST(MillFlow, AMessageQueuedLastLeavesAfterWhatCameBeforeAndIsNotHeldByWhatFollows) {
  TListeningServer host;
  CMill client{TMillSide::Client, false};
  CPipe* c = host.Dial(client);
  ASSERT_TRUE(Drive({&host.mill, &client}, [&] { return c->State == psSession; }));
  for (int i = 0; i < 8; ++i) {
    c->QueueMessage(sackAppBase + 91, TMessage().Raw(std::string(32 << 10, 'a')));
  }
  c->QueueLast(sackAppBase + 7, "bye");
  for (int i = 0; i < 40; ++i) {
    c->QueueMessage(sackAppBase + 92, TMessage().Raw(std::string(32 << 10, 'b')));
  }
  ASSERT_TRUE(Drive({&host.mill, &client}, [&] { return host.probe.received.size() == 49; }));
  std::vector<int32_t> order;
  for (auto& r : host.probe.received) order.push_back(r.first);
  const auto bye = std::find(order.begin(), order.end(), 7) - order.begin();
  const auto lastA = std::find(order.rbegin(), order.rend(), 91).base() - order.begin() - 1;
  const auto lastB = std::find(order.rbegin(), order.rend(), 92).base() - order.begin() - 1;
  EXPECT_GT(bye, lastA);
  EXPECT_LT(bye, lastB);
}

// Four clients flood one client that reads, slowly: the target's queue
// reaches its bound, the floods wait and their senders are held back (their
// pipes are not read) instead of the target being closed, and what the
// server holds for the target stays within 3/2 of its bound.
TEST(MillFlow, FloodersAreHeldBackWhileTheirTargetReads) {
  win32::ScopedManualTick tick;
  TListeningServer host;
  constexpr size_t kBound = 4 << 20;
  host.mill.Relay()->Limits.Bound = kBound;
  host.mill.Relay()->Limits.SmallShare = kBound / 16;
  std::vector<std::unique_ptr<CMill>> flooders;
  std::vector<CPipe*> pipes;
  for (int i = 0; i < 4; ++i) {
    flooders.push_back(std::make_unique<CMill>(TMillSide::Client, false));
    pipes.push_back(host.Dial(*flooders.back()));
  }
  CMill victim{TMillSide::Client, false};
  TMillProbe pv;
  pv.Attach(victim);
  CPipe* v = host.Dial(victim);
  std::vector<CMill*> all{&host.mill, &victim};
  for (auto& f : flooders) all.push_back(f.get());
  ASSERT_TRUE(Drive(all, [&] {
    return host.probe.opened.size() == 5 && v->State == psSession &&
           std::all_of(pipes.begin(), pipes.end(), [](CPipe* p) { return p->State == psSession; });
  }));
  const int32_t idV = ServerIdOf(host.mill, host.probe, v);
  ASSERT_NE(idV, 0);

  constexpr size_t kWanted = 1600;  // 25 MiB, some 6 times the bound
  size_t maxHeld = 0;
  bool held = false;
  int round = 0;
  std::vector<CMill*> senders{&host.mill};
  for (auto& f : flooders) senders.push_back(f.get());
  const bool done = Drive(senders, [&] {
    tick.Advance(10);
    for (CPipe* p : pipes) {
      while (p->Queue().Bytes() < (64u << 10)) {
        p->QueueMessage(sackAppBase + 91, TMessage().Raw(std::string(16 << 10, 'f'))).RouteList = IntToField(idV);
      }
    }
    if (++round % 4 == 0) {  // the victim reads every fourth round only
      victim.PumpUp();
      while (win32::ProcessMessages()) {
      }
    }
    if (CPipe* sv = host.mill.GetPipe(idV)) maxHeld = std::max(maxHeld, sv->HeldBytes());
    for (int32_t id : host.probe.opened)
      if (!host.mill.Relay()->MayRead(id, 0)) held = true;
    return pv.bonds.size() >= kWanted || !host.probe.closes.empty();
  }, 30000);
  ASSERT_TRUE(done) << pv.bonds.size();
  for (auto& cl : host.probe.closes) ADD_FAILURE() << cl.event << " " << cl.pipe << " " << ReasonCode(cl.reason) << " after " << pv.bonds.size();
  EXPECT_EQ(v->State, psSession);
  EXPECT_TRUE(held) << maxHeld;
  EXPECT_LE(maxHeld, kBound * 3 / 2);
}

// A peer that sends a full target a message and ends at once: its message
// waits beside it, and its close waits for the message to reach the target,
// so that nothing it sent is lost and its departure comes after.
TEST(MillFlow, APeersEndWaitsForItsMessagesThatWaitForAFullTarget) {
  win32::ScopedManualTick tick;
  TListeningServer host;
  constexpr size_t kBound = 4 << 20;
  host.mill.Relay()->Limits.Bound = kBound;
  CMill target{TMillSide::Client, false};
  TMillProbe pt;
  pt.Attach(target);
  CPipe* t = host.Dial(target);
  TRawPeer peer(host.Port());
  LogInPlain(peer);
  ASSERT_TRUE(Drive({&host.mill, &target},
                    [&] { return host.probe.opened.size() == 2 && t->State == psSession; }));
  const int32_t idT = ServerIdOf(host.mill, host.probe, t);
  const int32_t idS = host.probe.opened[0] == idT ? host.probe.opened[1] : host.probe.opened[0];
  // At the close the second message has reached the target: it is in the
  // target's queue (or already out), ahead of any notice of the departure.
  bool deliveredBeforeClose = false;
  host.mill.Events.OnPipeClosed = [&](CMill&, CPipe& p, TCloseReason r) {
    bool queued = false;
    if (CPipe* st = host.mill.GetPipe(idT))
      for (size_t i = 0; i < st->Queue().Size(); ++i) queued = queued || st->Queue()[i].Code == sackAppBase + 92;
    deliveredBeforeClose = !host.mill.Relay()->Waiting(idS) && (queued || pt.bonds.size() == 2);
    host.probe.closes.push_back({"closed", p.Id(), r});
  };

  // Two messages that together pass the bound: the second waits. The peer
  // writes them as its socket takes them, then ends.
  std::string out;
  for (int i = 0; i < 2; ++i) {
    const std::string body = StrToField(IntToField(idT)) + std::string(kBound * 3 / 4, static_cast<char>('a' + i));
    for (size_t at = 0; at < body.size(); at += 60000) {
      const uint8_t flags = static_cast<uint8_t>((at == 0 ? sfFirstChunk : 0) |
                                                 (at + 60000 >= body.size() ? sfLastChunk | sfRouteList : 0));
      AppendFrame(out, flags, sackAppBase + 91 + i, std::string_view(body).substr(at, 60000));
    }
  }
  size_t written = 0;
  ASSERT_TRUE(Drive({&host.mill}, [&] {
    tick.Advance(10);
    written += peer.SendSome(std::string_view(out).substr(written));
    return written == out.size() && host.mill.Relay()->Waiting(idS);
  }, 10000));
  peer.HalfClose();
  Settle({&host.mill}, 20);
  EXPECT_TRUE(host.probe.closes.empty());  // the end waits for the message
  ASSERT_TRUE(Drive({&host.mill, &target}, [&] {
    tick.Advance(10);
    return !host.probe.closes.empty();
  }, 10000));
  EXPECT_TRUE(deliveredBeforeClose);
  EXPECT_EQ(host.probe.closes[0].pipe, idS);
}

// Senders fill targets that read nothing, more than the hub may hold across
// all of them: past its ceiling the senders are no longer read (also those
// whose messages each fit in one frame), so what the hub holds stays near
// the ceiling, while a small message between two other peers still goes.
TEST(MillFlow, PastTheCeilingBulkSendersWaitAndSmallMessagesGoOn) {
  win32::ScopedManualTick tick;
  TListeningServer host;
  TRelayLimits& limits = host.mill.Relay()->Limits;
  limits.Bound = 16 << 20;  // the targets alone would take far more than the ceiling
  limits.Ceiling = 2 << 20;
  constexpr int kPairs = 4;
  std::vector<std::unique_ptr<CMill>> mills;
  std::vector<CPipe*> senders, idle;
  for (int i = 0; i < 2 * kPairs + 2; ++i) mills.push_back(std::make_unique<CMill>(TMillSide::Client, false));
  for (int i = 0; i < 2 * kPairs + 2; ++i) (i < kPairs ? senders : idle).push_back(host.Dial(*mills[i]));
  TMillProbe pb;
  pb.Attach(*mills.back());
  std::vector<CMill*> all{&host.mill};
  for (auto& m : mills) all.push_back(m.get());
  ASSERT_TRUE(Drive(all, [&] {
    return host.probe.opened.size() == mills.size() &&
           std::all_of(idle.begin(), idle.end(), [](CPipe* p) { return p->State == psSession; }) &&
           std::all_of(senders.begin(), senders.end(), [](CPipe* p) { return p->State == psSession; });
  }));
  std::vector<int32_t> targets;
  for (int i = 0; i < kPairs; ++i) targets.push_back(ServerIdOf(host.mill, host.probe, idle[static_cast<size_t>(i)]));
  CPipe* a = idle[kPairs];
  const int32_t idB = ServerIdOf(host.mill, host.probe, idle.back());

  // From here on the targets are not pumped: they read nothing.
  std::vector<CMill*> running{&host.mill, mills[kPairs * 2].get(), mills.back().get()};
  for (int i = 0; i < kPairs; ++i) running.push_back(mills[static_cast<size_t>(i)].get());
  // 300 rounds of the test clock, however long they take in real time (a
  // sanitizer on a busy machine needs more than 10 s for them).
  size_t most = 0;
  bool passed = false;
  for (int round = 0; round < 300; ++round) {
    tick.Advance(10);
    for (int i = 0; i < kPairs; ++i) {
      CPipe* s = senders[static_cast<size_t>(i)];
      while (s->Queue().Bytes() < (512u << 10))
        s->QueueMessage(sackAppBase + 91, TMessage().Raw(std::string(200 << 10, 's'))).RouteList =
            IntToField(targets[static_cast<size_t>(i)]);
    }
    Settle(running, 1);
    most = std::max(most, host.mill.Relay()->Held());
    passed = passed || host.mill.Relay()->PastCeiling();
  }
  EXPECT_TRUE(passed);
  // One read of each sender may cross the ceiling.
  EXPECT_LE(most, limits.Ceiling + kPairs * (kMaxRecvSize + 2 * limits.LightPartial));
  a->QueueMessage(sackAppBase + 92, TMessage().Raw("hello")).RouteList = IntToField(idB);
  EXPECT_TRUE(Drive(running, [&] {
    tick.Advance(10);
    return !pb.bonds.empty();
  }));
  EXPECT_TRUE(host.probe.closes.empty());
}

// Three clients each send one large message to a peer that is not reading
// yet, so that all three reach the hub together, three times what the
// hub may hold for the peer between them. The peer is not closed for what
// others send it: the messages wait for it in turn and it gets all three.
TEST(MillFlow, SeveralSendersFillingOneReaderAtOnceNeverGetItClosed) {
  win32::ScopedManualTick tick;
  TListeningServer host;
  constexpr size_t kBound = 4 << 20;
  host.mill.Relay()->Limits.Bound = kBound;
  std::vector<std::unique_ptr<CMill>> senders;
  std::vector<CPipe*> pipes;
  for (int i = 0; i < 3; ++i) {
    senders.push_back(std::make_unique<CMill>(TMillSide::Client, false));
    pipes.push_back(host.Dial(*senders.back()));
  }
  CMill victim{TMillSide::Client, false};
  TMillProbe pv;
  pv.Attach(victim);
  CPipe* v = host.Dial(victim);
  std::vector<CMill*> all{&host.mill, &victim};
  for (auto& f : senders) all.push_back(f.get());
  ASSERT_TRUE(Drive(all, [&] {
    return host.probe.opened.size() == 4 && v->State == psSession &&
           std::all_of(pipes.begin(), pipes.end(), [](CPipe* p) { return p->State == psSession; });
  }));
  const int32_t idV = ServerIdOf(host.mill, host.probe, v);
  ASSERT_NE(idV, 0);

  constexpr size_t kSize = 3 << 20;
  for (size_t i = 0; i < pipes.size(); ++i)
    pipes[i]->QueueMessage(sackAppBase + 91, TMessage().Raw(std::string(kSize, static_cast<char>('a' + i))))
        .RouteList = IntToField(idV);
  // The victim reads nothing until the three messages have left their senders.
  std::vector<CMill*> withoutVictim{&host.mill};
  for (auto& f : senders) withoutVictim.push_back(f.get());
  ASSERT_TRUE(Drive(withoutVictim, [&] {
    tick.Advance(10);
    return std::all_of(pipes.begin(), pipes.end(), [](CPipe* p) { return p->SendIdle(); });
  }, 20000));
  ASSERT_TRUE(Drive(all, [&] {
    tick.Advance(10);
    return pv.bonds.size() == 3 || !host.probe.closes.empty();
  }, 20000)) << pv.bonds.size();
  EXPECT_TRUE(host.probe.closes.empty());
  EXPECT_EQ(v->State, psSession);
}

// A slow reader S is kept full by a filler; a peer V sends S one small
// message (such as an acknowledgement), which waits there behind the
// filler's bulk. V is not held back for it: a third peer's message to V and
// V's answer go through at once, however long S takes.
TEST(MillFlow, APeerWhoseSmallMessageWaitsInASlowReaderKeepsTalkingToOthers) {
  win32::ScopedManualTick tick;
  TListeningServer host;
  constexpr size_t kBound = 4 << 20;
  host.mill.Relay()->Limits.Bound = kBound;
  CMill filler{TMillSide::Client, false}, slow{TMillSide::Client, false}, victim{TMillSide::Client, false},
      honest{TMillSide::Client, false};
  TMillProbe pv, ph;
  pv.Attach(victim);
  ph.Attach(honest);
  CPipe* f = host.Dial(filler);
  CPipe* s = host.Dial(slow);
  CPipe* v = host.Dial(victim);
  CPipe* h = host.Dial(honest);
  ASSERT_TRUE(Drive({&host.mill, &filler, &slow, &victim, &honest}, [&] {
    return host.probe.opened.size() == 4 && f->State == psSession && s->State == psSession &&
           v->State == psSession && h->State == psSession;
  }));
  const int32_t idS = ServerIdOf(host.mill, host.probe, s), idV = ServerIdOf(host.mill, host.probe, v),
                idH = ServerIdOf(host.mill, host.probe, h);
  ASSERT_TRUE(idS && idV && idH);

  // The filler keeps the slow reader's queue at its bound (S never reads).
  std::vector<CMill*> others{&host.mill, &filler, &victim, &honest};
  auto fill = [&] {
    while (f->Queue().Bytes() < (256u << 10))
      f->QueueMessage(sackAppBase + 91, TMessage().Raw(std::string(64 << 10, 'f'))).RouteList = IntToField(idS);
  };
  ASSERT_TRUE(Drive(others, [&] {
    tick.Advance(10);
    fill();
    const CPipe* ss = host.mill.GetPipe(idS);
    return ss && ss->HeldBytes() >= kBound - (128u << 10);
  }, 20000));
  v->QueueMessage(-(sackAppBase + 92), TMessage()).RouteList = IntToField(idS);
  Settle(others, 5);
  // Ping and answer.
  h->QueueMessage(sackAppBase + 93, TMessage().Raw("ping")).RouteList = IntToField(idV);
  bool answered = false;
  ASSERT_TRUE(Drive(others, [&] {
    tick.Advance(10);
    fill();
    if (!answered && !pv.bonds.empty()) {
      v->QueueMessage(sackAppBase + 93, TMessage().Raw("pong")).RouteList = IntToField(idH);
      answered = true;
    }
    return !ph.bonds.empty();
  }, 5000));
  EXPECT_TRUE(host.mill.Relay()->MayRead(idV, 0));
  EXPECT_TRUE(host.probe.closes.empty());
}

// The hub passes its ceiling through a message that another peer has not
// finished, while a target that reads nothing owes much, within its bound
// and with nothing waiting for it. Nothing else happens at the hub, yet
// that target too is closed once it stalls: past the ceiling the relay
// looks for such targets whether or not anything waits.
TEST(MillFlow, PastTheCeilingATargetThatOwesMuchIsClosedWhenItStallsThoughNothingWaits) {
  win32::ScopedManualTick tick;
  TListeningServer host;
  TRelayFlow& relay = *host.mill.Relay();
  relay.Limits.Bound = 16 << 20;
  relay.Limits.Ceiling = 12 << 20;
  CMill sender{TMillSide::Client, false}, target{TMillSide::Client, false};
  CPipe* s = host.Dial(sender);
  CPipe* t = host.Dial(target);
  TRawPeer raw(host.Port());
  LogInPlain(raw);
  ASSERT_TRUE(Drive({&host.mill, &sender, &target}, [&] {
    return host.probe.opened.size() == 3 && s->State == psSession && t->State == psSession;
  }));
  const int32_t idT = ServerIdOf(host.mill, host.probe, t);

  // The target reads nothing from here on: once its socket's buffers are
  // full it comes to owe megabytes, within its bound.
  ASSERT_TRUE(Drive({&host.mill, &sender}, [&] {
    tick.Advance(10);
    if (s->SendIdle())
      s->QueueMessage(sackAppBase + 91, TMessage().Raw(std::string(256 << 10, 's'))).RouteList = IntToField(idT);
    return host.mill.GetPipe(idT)->HeldBytes() >= (8u << 20);
  }, 10000));
  Settle({&host.mill, &sender}, 20);
  ASSERT_GE(host.mill.GetPipe(idT)->HeldBytes(), relay.Limits.SmallShare);
  ASSERT_TRUE(relay.Idle());
  // The raw peer sends the chunks of a message it never finishes until the
  // hub holds more than its ceiling.
  std::string out;
  const std::string chunk(60000, 'p');
  for (size_t at = 0; at < relay.Limits.Ceiling; at += chunk.size())
    AppendFrame(out, at == 0 ? sfFirstChunk : 0, sackAppBase + 93, chunk);
  size_t written = 0;
  ASSERT_TRUE(Drive({&host.mill}, [&] {
    tick.Advance(10);
    written += raw.SendSome(std::string_view(out).substr(written));
    return relay.PastCeiling();
  }, 10000));
  // Time passes on the test clock, however long the steps take in real time.
  for (uint32_t ms = 0; ms <= 2 * relay.Limits.StallMs && host.probe.closes.empty(); ms += 100) {
    tick.Advance(100);
    Settle({&host.mill}, 1);
  }
  ASSERT_FALSE(host.probe.closes.empty());
  EXPECT_EQ(host.probe.closes[0].pipe, idT);
  EXPECT_EQ(ReasonCode(host.probe.closes[0].reason), ws::WSAENOBUFS);
}

}  // namespace
