#include "tests/support/manual_tick.h"
#include "transport/mPipe.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

#include "tests/support/mill_rig.h"
#include "platform/win32/tick.h"
#include "transport/mMill.h"
#include "transport/mSeal.h"

using namespace tw;
using namespace tw::test;

namespace {

// A server and a client mill with an open secNone session between them.
struct Session : ::testing::Test {
  TListeningServer host;
  CMill& server = host.mill;
  TMillProbe& serverProbe = host.probe;
  CMill client{TMillSide::Client, false};
  TMillProbe clientProbe;
  CPipe* cpipe = nullptr;
  int32_t spipe = 0;

  void SetUp() override {
    clientProbe.Attach(client);
    ASSERT_TRUE(server.IsListening());
    cpipe = host.Dial(client);
    ASSERT_NE(cpipe, nullptr);
    ASSERT_TRUE(Drive({&server, &client},
                      [&] { return !serverProbe.opened.empty() && !clientProbe.opened.empty(); }));
    spipe = serverProbe.opened.front();
  }
  std::vector<CMill*> both() { return {&server, &client}; }
};

}  // namespace

TEST_F(Session, AcknowledgementRoundTripFiresSackSentWithTheChannel) {
  ASSERT_NE(server.SendToPipe(spipe, 35, TMessage().Str("hello"), true), nullptr);
  EXPECT_EQ(server.GetPipe(spipe)->PendingAcks().size(), 1u);
  ASSERT_TRUE(Drive(both(), [&] { return !serverProbe.sent.empty(); }));
  ASSERT_EQ(clientProbe.received.size(), 1u);
  EXPECT_EQ(clientProbe.received[0].first, 35);
  EXPECT_EQ(clientProbe.received[0].second, std::string("\x05\0\0\0hello", 9));
  EXPECT_EQ(serverProbe.sent, std::vector<int32_t>{35});
  EXPECT_TRUE(server.GetPipe(spipe)->PendingAcks().empty());
}

TEST_F(Session, MessagesOfOneCodeLeaveInOrderAndOthersInterleave) {
  for (int i = 0; i < 3; ++i) {
    server.SendToPipe(spipe, 40, TMessage().Int(i));
  }
  server.SendToPipe(spipe, 41, TMessage().Int(99));
  ASSERT_TRUE(Drive(both(), [&] { return clientProbe.received.size() == 4; }));
  std::vector<int32_t> order40;
  for (auto& [ch, body] : clientProbe.received)
    if (ch == 40) order40.push_back(static_cast<int32_t>(LoadLe32(body.data())));
  EXPECT_EQ(order40, (std::vector<int32_t>{0, 1, 2}));
}

TEST_F(Session, RefusedMessageLeavesNoFieldsBehind) {
  cpipe->FinishSession(crLocal);
  ASSERT_TRUE(Drive(both(), [&] { return server.GetPipe(spipe)->State == psClosed; }));
  EXPECT_EQ(server.SendToPipe(spipe, 35, TMessage().Str("stale")), nullptr);
  EXPECT_TRUE(server.GetPipe(spipe)->Queue().Empty());
}

TEST_F(Session, ReceiveSizeAnnouncementSetsTheSendBufferClamped) {
  struct Case {
    int32_t announced;
    int32_t expected;
  };
  for (Case c : {Case{4096, 4096}, Case{0, 1024}, Case{-5, 1024}, Case{INT32_MAX, 1048576}}) {
    cpipe->QueueOwn(scRecvSize, IntToField(c.announced));
    CPipe* sp = server.GetPipe(spipe);
    ASSERT_TRUE(Drive(both(), [&] { return sp->SendSize == c.expected; })) << c.announced;
    int buf = 0, len = sizeof buf;
    ws::getsockopt(sp->Socket(), ws::SOL_SOCKET, ws::SO_SNDBUF, &buf, &len);
    EXPECT_EQ(buf, c.expected * 2 + 256) << c.announced;
  }
}

TEST_F(Session, AcceptedPipesGetTheInitialBuffersAndAStaleErrorDoesNotBlockResizing) {
  CPipe* sp = server.GetPipe(spipe);
  int buf = 0, len = sizeof buf;
  ws::getsockopt(sp->Socket(), ws::SOL_SOCKET, ws::SO_RCVBUF, &buf, &len);
  EXPECT_EQ(buf, 1024 * 2 + 256);
  server.LastError = 3;  // left by some unrelated failed call
  cpipe->QueueOwn(scRecvSize, IntToField(8192));
  ASSERT_TRUE(Drive(both(), [&] { return sp->SendSize == 8192; }));
  ws::getsockopt(sp->Socket(), ws::SOL_SOCKET, ws::SO_SNDBUF, &buf, &len);
  EXPECT_EQ(buf, 8192 * 2 + 256);
}

TEST_F(Session, NoSigpipeWhenThePeerResets) {
  struct sigaction old {};
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, &old);
  CPipe* sp = server.GetPipe(spipe);
  // Reset the client's side under a server that keeps sending.
  ws::setsockopt(cpipe->Socket(), ws::SOL_SOCKET, 13 /* SO_LINGER */, "\x01\0\0\0\0\0\0\0", 8);
  cpipe->AdoptSocket(ws::Socket());  // closes the one it replaces
  for (int i = 0; i < 50 && sp->State != psClosed; ++i) {
    server.SendToPipe(spipe, 40, TMessage().Str(std::string(2000, 'x')));
    Settle({&server}, 1);
  }
  EXPECT_EQ(sp->State, psClosed);
  sigaction(SIGPIPE, &old, nullptr);
}

// --- Pure pipe behaviour on a test clock ----------------------------------------

struct PipeClock : ::testing::Test {
  win32::ScopedManualTick tick{5'000'000};
  CMill mill{TMillSide::Client, false};
  CPipe& pipe = mill.AddPipe();
  void Pump() { mill.PumpUp(); }
};

TEST_F(PipeClock, ReceiveSizeDoublesOnFastMeasurementsAndHalvesOnSlowOnes) {
  Pump();
  pipe.AdaptRecvSize(1024);  // first measurement: the start tick was 0, counts as slow
  EXPECT_EQ(pipe.RecvSize, 1024);
  tick.Advance(100);
  Pump();
  pipe.AdaptRecvSize(1024);
  EXPECT_EQ(pipe.RecvSize, 2048);
  ASSERT_FALSE(pipe.Queue().Empty());
  EXPECT_EQ(pipe.Queue()[0].Code, scRecvSize);
  EXPECT_EQ(pipe.Queue()[0].Payload, IntToField(2048));
  tick.Advance(1001);
  Pump();
  pipe.AdaptRecvSize(2048);
  EXPECT_EQ(pipe.RecvSize, 1024);
  tick.Advance(1001);
  Pump();
  pipe.AdaptRecvSize(1024);
  EXPECT_EQ(pipe.RecvSize, 1024);  // never below the bound
  tick.Advance(700);  // between the thresholds: stays
  Pump();
  pipe.AdaptRecvSize(1024);
  EXPECT_EQ(pipe.RecvSize, 1024);
}

TEST_F(PipeClock, RateWindowThrottlesUntilTheWindowTurnsOver) {
  pipe.TakeRateLimit(IntToField(2000));
  EXPECT_EQ(pipe.RateLimit, 2000);
  EXPECT_EQ(CartBudget(TCartLimits{pipe.SendSize, pipe.RateLimit, 0}), 1000);
  Pump();
  pipe.RateWindowStart = mill.PumpTick();
  pipe.RateBytes = 1999;
  EXPECT_FALSE(pipe.CheckRateWindow());
  pipe.RateBytes = 2000;
  EXPECT_TRUE(pipe.CheckRateWindow());
  tick.Advance(1000);
  Pump();
  EXPECT_TRUE(pipe.CheckRateWindow());  // exactly 1000 ms: still the same window
  tick.Advance(1);
  Pump();
  EXPECT_FALSE(pipe.CheckRateWindow());
  EXPECT_EQ(pipe.RateBytes, 0);  // what went beyond carries over
}

TEST_F(PipeClock, OwnLimitWinsWhenSmaller) {
  pipe.OwnRateLimit = 500;
  pipe.TakeRateLimit(IntToField(2000));
  EXPECT_EQ(pipe.RateLimit, 500);
  pipe.TakeRateLimit(IntToField(100));
  EXPECT_EQ(pipe.RateLimit, 100);
  pipe.OwnRateLimit = 0;
  pipe.TakeRateLimit(IntToField(-1));
  EXPECT_EQ(pipe.RateLimit, 0);
}

TEST_F(PipeClock, CloseEventDependsOnStateAndDirection) {
  struct Case {
    uint8_t state;
    bool incoming;
    const char* event;
  };
  const Case cases[] = {
      {psNew, false, ""},           {psListening, false, ""},     {psConnecting, false, "rejected"},
      {psSocks5Auth, false, "rejected"}, {psHandshake, false, "rejected"}, {psHandshake, true, "refused"},
      {psSession, true, "closed"},  {psSession, false, "closed"},
  };
  for (const Case& c : cases) {
    TMillProbe probe;
    probe.Attach(mill);
    CPipe& p = mill.AddPipe();
    p.State = c.state;
    p.Incoming = c.incoming;
    p.FinishSession(crTimeout);
    p.FinishSession(crLocal);  // a second close does nothing
    if (*c.event) {
      ASSERT_EQ(probe.closes.size(), 1u) << int(c.state);
      EXPECT_EQ(probe.closes[0].event, c.event) << int(c.state);
      EXPECT_EQ(probe.closes[0].reason, crTimeout);
    } else {
      EXPECT_TRUE(probe.closes.empty()) << int(c.state);
    }
    EXPECT_EQ(p.State, psClosed);
  }
}

TEST_F(PipeClock, HandshakeTimesOutAfterItsFullPeriodOnly) {
  TMillProbe probe;
  probe.Attach(mill);
  pipe.State = psHandshake;
  pipe.StateStartTick = win32::GetTickCount();
  tick.Advance(kHandshakeTimeoutMs);
  Pump();
  EXPECT_EQ(pipe.State, psHandshake);
  tick.Advance(1);
  Pump();
  EXPECT_EQ(pipe.State, psClosed);
  ASSERT_EQ(probe.closes.size(), 1u);
  EXPECT_EQ(probe.closes[0].reason, crTimeout);
}

TEST_F(PipeClock, ClosedPipeIsFreedNoEarlierThan222msAndNotWhileSomethingIsPosted) {
  const int32_t id = pipe.Id();
  pipe.State = psSession;
  Pump();
  pipe.FinishSession(crLocal);
  pipe.PostedCount = 1;
  tick.Advance(221);
  Pump();
  ASSERT_NE(mill.GetPipe(id), nullptr);
  tick.Advance(1);
  Pump();
  ASSERT_NE(mill.GetPipe(id), nullptr);  // still posted
  pipe.PostedCount = 0;
  Pump();
  EXPECT_EQ(mill.GetPipe(id), nullptr);
}

TEST_F(PipeClock, FreeAfterTickThatWrapsToZeroStillCountsAsClosed) {
  tick.Set(0xFFFFFFFFu - kFreeDelayMs + 1);  // free-after lands on 0
  const int32_t id = pipe.Id();
  pipe.State = psSession;
  Pump();
  pipe.FinishSession(crLocal);
  EXPECT_EQ(pipe.FreeAfterTick, 0u);
  tick.Advance(kFreeDelayMs);
  Pump();
  EXPECT_EQ(mill.GetPipe(id), nullptr);
}

TEST_F(PipeClock, ClosedPipeThatCannotSendIsFreedTenSecondsLate) {
  const int32_t id = pipe.Id();
  pipe.CreateSocket();
  pipe.State = psSession;
  Pump();
  pipe.QueueOwn(scError, IntToField(4));
  pipe.FinishSession(crRefused);
  // The socket never turns writable: the queue never drains.
  ws::ScopedFault neverWritable(ws::Call::Select, 1, ws::WSAEWOULDBLOCK, ws::Repeat::Always);
  tick.Advance(kFreeDelayMs + 100);
  Pump();
  ASSERT_NE(mill.GetPipe(id), nullptr);
  tick.Advance(kSendGiveUpMs);
  Pump();
  EXPECT_EQ(mill.GetPipe(id), nullptr);
}

TEST_F(PipeClock, DeliveryPrecedenceFirstMatchWins) {
  TMillProbe probe;
  probe.Attach(mill);
  pipe.State = psSession;
  auto deliver = [&](int32_t code, int32_t peerId, bool ack) {
    auto s = std::make_unique<TSack>();
    s->Code = code;
    s->PeerId = peerId;
    s->AckWanted = ack;
    ++pipe.PostedCount;
    pipe.DeliverMessage(std::move(s));
  };
  deliver(1091, 7, true);  // peer id first: a bond sack, no ack of our own
  ASSERT_EQ(probe.bonds.size(), 1u);
  EXPECT_EQ(probe.bonds[0], std::make_pair(7, 1091));
  EXPECT_TRUE(pipe.Queue().Empty());
  deliver(1091, 0, true);  // application code: ack queued, channel delivered
  ASSERT_EQ(probe.received.size(), 1u);
  EXPECT_EQ(probe.received[0].first, 91);
  ASSERT_EQ(pipe.Queue().Size(), 1u);
  EXPECT_EQ(pipe.Queue()[0].Code, -1091);
  deliver(-1091, 0, false);  // an ack nobody waits for: ignored
  EXPECT_TRUE(probe.sent.empty());
  pipe.AddPendingAck(1050, 3);
  deliver(-1050, 0, false);
  EXPECT_EQ(probe.sent, std::vector<int32_t>{50});
  deliver(INT32_MIN, 0, false);  // negating it must not overflow
  deliver(500, 0, false);       // no meaning: dropped
  EXPECT_EQ(pipe.PostedCount, 0);
}

// The relay queues one body at every target: each pipe sends it sealed
// under its own session key (or plain when it holds none), with the
// sender's peer id, counted for that sender, and nothing copies the body.
TEST_F(PipeClock, RelayedBodyIsHeldOnceAndSealedUnderEachTargetsKey) {
  CPipe* targets[] = {&pipe, &mill.AddPipe(), &mill.AddPipe()};
  const char* keys[] = {"first key", "", "third key"};
  const auto body = std::make_shared<const std::string>(20000, 'r');
  for (int i = 0; i < 3; ++i) {
    CPipe& target = *targets[i];
    target.State = psSession;
    target.SessionKey = keys[i];
    TSack& queued = target.QueueRelayed(1091, body, 42, true);
    EXPECT_EQ(queued.Body().data(), body->data());
    EXPECT_FALSE(target.PushRequested);  // the relay pushes an idle target itself
    EXPECT_GE(target.Queue().BytesFrom(42), body->size());
    EXPECT_EQ(target.Queue().BytesFrom(42), target.Queue().Bytes());
    EXPECT_EQ(target.Queue().BytesFrom(0), 0u);
  }
  EXPECT_EQ(body.use_count(), 4);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    CPipe& target = *targets[i];
    std::vector<std::unique_ptr<TSack>> posted;
    TFrameReceiver peer({{},
                         [&](std::string& p) { return target.SessionKey.empty() || OpenPayload(p, target.SessionKey); },
                         [&](std::unique_ptr<TSack> s) { posted.push_back(std::move(s)); }});
    const TCartHooks hooks{{}, {}, [&] { return target.Sealing(); }};
    while (!target.Queue().Empty()) {
      std::string batch;
      BuildCart(target.Queue(), batch, {4096, 0, mill.PumpTick()}, hooks);
      peer.Append(batch);
      ASSERT_EQ(peer.ParseFrames(), TFrameFault::None);
    }
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0]->Payload, *body);
    EXPECT_EQ(posted[0]->PeerId, 42);
    EXPECT_EQ(posted[0]->AckWanted, 1);
    EXPECT_EQ(target.Queue().BytesFrom(42), 0u);
  }
  EXPECT_EQ(body.use_count(), 1);
}

TEST_F(PipeClock, MessagesArrivingOutsideTheSessionFireNoEventButAreStillAcknowledged) {
  TMillProbe probe;
  probe.Attach(mill);
  pipe.State = psHandshake;
  auto s = std::make_unique<TSack>();
  s->Code = 1035;
  s->AckWanted = 1;
  ++pipe.PostedCount;
  pipe.DeliverMessage(std::move(s));
  EXPECT_TRUE(probe.received.empty());
  ASSERT_EQ(pipe.Queue().Size(), 1u);
  EXPECT_EQ(pipe.Queue()[0].Code, -1035);
}

// A handler may fail with anything, not only a standard exception: the pipe
// still closes completely and the rest of the pump step still runs.
TEST_F(PipeClock, HandlerFailureOfAnyKindNeitherStrandsAClosedPipeNorEndsThePass) {
  int rejects = 0;
  mill.Events.OnPipeRejected = [&](CMill&, CPipe&, TCloseReason) {
    ++rejects;
    throw 42;
  };
  pipe.State = psHandshake;
  pipe.StateStartTick = tick.Now();
  CPipe& other = mill.AddPipe();
  other.State = psHandshake;
  other.StateStartTick = tick.Now();
  const int32_t a = pipe.Id(), b = other.Id();
  tick.Advance(kHandshakeTimeoutMs + 1);
  EXPECT_NO_THROW(Pump());
  EXPECT_EQ(rejects, 2);  // both timed out in the same step
  EXPECT_TRUE(mill.GetPipe(a)->Closed);
  EXPECT_TRUE(mill.GetPipe(b)->Closed);
  tick.Advance(kFreeDelayMs);
  Pump();
  EXPECT_EQ(mill.GetPipe(a), nullptr);
  EXPECT_EQ(mill.GetPipe(b), nullptr);
}

TEST_F(Session, DeliveryHandlerFailureOfAnyKindFailsThePipeWithSecurity) {
  client.Events.OnSackReceived = [](CPipe&, int32_t, std::string&) { throw 42; };
  server.SendToPipe(spipe, 35, TMessage().Str("boom"));
  ASSERT_TRUE(Drive(both(), [&] { return !clientProbe.closes.empty() && !serverProbe.closes.empty(); }));
  EXPECT_EQ(clientProbe.closes[0].reason, crSecurity);
  EXPECT_EQ(cpipe->PostedCount, 0);
  EXPECT_EQ(server.LastError, ReasonCode(crSecurity));  // the scError went out first
}

// --- Faults of the socket layer under a live session ----------------------------

TEST_F(Session, ShortWritesKeepTheRestForTheNextPassAndEveryMessageArrivesWhole) {
  ws::ScopedShortWrite shortWrites(7);
  // And a send that fails outright half way through the batch.
  auto wouldBlock = ws::InjectFault(ws::Call::Send, 3, ws::WSAEWOULDBLOCK);
  std::vector<std::string> bodies;
  for (int i = 0; i < 4; ++i) {
    bodies.push_back(std::string(static_cast<size_t>(50 + 40 * i), static_cast<char>('a' + i)));
    server.SendToPipe(spipe, 40 + i, TMessage().Str(bodies.back()));
  }
  ASSERT_TRUE(Drive(both(), [&] { return clientProbe.received.size() == bodies.size(); }));
  EXPECT_GT(shortWrites.shortened(), 10);
  std::vector<std::string> got;
  for (auto& [channel, body] : clientProbe.received) {
    std::string_view v = body;
    got.emplace_back(ReadStrField(v));
  }
  std::sort(got.begin(), got.end());  // four codes interleave in the batch
  EXPECT_EQ(got, bodies);
  EXPECT_EQ(wouldBlock.failures(), 1);
  EXPECT_EQ(cpipe->State, psSession);
}

TEST_F(Session, AClosedPipeWhoseSendsFailHardIsFreedWithoutWaitingForItsQueue) {
  server.SendToPipe(spipe, 40, TMessage().Str(std::string(50000, 'q')));
  auto reset = ws::InjectFault(ws::Call::Send, 1, ws::WSAECONNRESET, ws::Repeat::Always);
  ASSERT_TRUE(server.ClosePipe(spipe));
  // Freed once its 222 ms have passed, not after the give-up time.
  EXPECT_TRUE(Drive({&server}, [&] { return server.GetPipe(spipe) == nullptr; }, 2000));
  EXPECT_GT(reset.failures(), 0);
}

TEST_F(Session, ReadFaultsCloseOnlyWhenTheWaitingCountFails) {
  struct Case {
    ws::Call call;
    bool closes;  // else the message arrives on a later pass
  };
  // The session survives the first case only.
  for (const Case c : {Case{ws::Call::Recv, false}, Case{ws::Call::IoctlSocket, true}}) {
    SCOPED_TRACE(static_cast<int>(c.call));
    server.SendToPipe(spipe, 40, TMessage().Str("ping"));
    ASSERT_TRUE(Drive({&server}, [&] { return server.GetPipe(spipe)->SendIdle(); }));
    {
      auto fault = ws::InjectFault(c.call, 1, ws::WSAECONNRESET);
      ASSERT_TRUE(Drive({&client}, [&] { return fault.failures() == 1; }));
    }
    if (c.closes) {
      ASSERT_EQ(clientProbe.closes.size(), 1u);
      EXPECT_EQ(clientProbe.closes[0].event, "closed");
      EXPECT_EQ(clientProbe.closes[0].reason, crSocket);
    } else {
      EXPECT_TRUE(clientProbe.closes.empty());
      ASSERT_TRUE(Drive({&client}, [&] { return clientProbe.received.size() == 1; }));
      EXPECT_EQ(cpipe->State, psSession);
    }
  }
}

// Many small messages of one code (announcements to a newcomer) leave as the
// same batches as before, but one pass gathers its batches into one write:
// with every write after the first refused, the first already carries many
// messages, in order.
TEST_F(Session, OnePassGathersItsBatchesIntoOneWrite) {
  constexpr int kMessages = 40;  // 30-byte bodies: all fit the socket's buffer of 2 x 1024 + 256
  for (int i = 0; i < kMessages; ++i) {
    server.SendToPipe(spipe, 31, TMessage().Int(i).Str(std::string(22, 'a')));
  }
  auto onlyOneWrite = ws::InjectFault(ws::Call::Send, 2, ws::WSAEWOULDBLOCK, ws::Repeat::Always);
  server.GetPipe(spipe)->PushCart();
  ASSERT_TRUE(Drive({&client}, [&] { return clientProbe.received.size() == kMessages; }, 1000))
      << clientProbe.received.size() << " messages came with the first write";
  for (int i = 0; i < kMessages; ++i) EXPECT_EQ(LoadLe32(clientProbe.received[i].second.data()), uint32_t(i));
}
