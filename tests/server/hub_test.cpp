#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/manual_tick.h"
#include "tests/support/mill_rig.h"
#include "platform/win32/text.h"
#include "platform/win32/tick.h"
#include "server/mParleySrv.h"

using namespace tw;
using namespace tw::test;

namespace {

// A client: its mill, its one pipe and what reached it.
struct Client {
  std::unique_ptr<CMill> mill = std::make_unique<CMill>(TMillSide::Client, false);
  CPipe* pipe = nullptr;
  std::vector<std::pair<int32_t, std::string>> got;  // channel, body
  std::vector<TCloseReason> rejects;
  Client() {
    mill->Events.OnSackReceived = [this](CPipe&, int32_t ch, std::string& body) { got.emplace_back(ch, body); };
    mill->Events.OnPipeRejected = [this](CMill&, CPipe&, TCloseReason r) { rejects.push_back(r); };
  }
  size_t Count(int32_t channel) const {
    return static_cast<size_t>(std::count_if(got.begin(), got.end(), [&](auto& g) { return g.first == channel; }));
  }
  std::vector<int32_t> Channels() const {
    std::vector<int32_t> out;
    for (auto& g : got) out.push_back(g.first);
    return out;
  }
  void Send(int32_t channel, std::string body = {}) {
    pipe->QueueMessage(channel + sackAppBase, TMessage().Raw(body));
  }
};

// The server engine with a scripted host.
struct Rig : ::testing::Test {
  TTWParleySrv srv{false};
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<std::string> log;
  std::vector<TPeerHandle> connected;
  bool accept = true;
  std::u16string password = u"pw";
  std::function<void(TPeerHandle, int32_t)> onDisconnected;

  void SetUp() override {
    srv.Hub().Mill().ErrorLogPath.clear();
    srv.Events.OnConnectionRequest = [this](TPeerHandle h, const std::u16string& user, std::u16string& pw,
                                            bool& ok) {
      log.push_back("request " + win32::Utf16ToUtf8(user) + " " + std::to_string(h));
      pw = password;
      ok = accept;
    };
    srv.Events.OnPeerConnected = [this](TPeerHandle h) {
      connected.push_back(h);
      log.push_back("connected " + win32::Utf16ToUtf8(srv.GetPeerName(h)));
    };
    srv.Events.OnPeerRejected = [this](const std::u16string& user, const std::u16string& addr, int32_t port,
                                       int32_t code) {
      log.push_back("rejected " + win32::Utf16ToUtf8(user) + " " + win32::Utf16ToUtf8(addr) + " " +
                    std::to_string(port != 0) + " " + std::to_string(code));
    };
    srv.Events.OnPeerDisconnected = [this](TPeerHandle h, int32_t code) {
      log.push_back("disconnected " + std::to_string(code));
      if (onDisconnected) onDisconnected(h, code);
    };
    srv.ListeningPort = 0;
    ASSERT_TRUE(srv.Start());
  }

  std::vector<CMill*> Mills() {
    std::vector<CMill*> m{&srv.Hub().Mill()};
    for (auto& c : clients)
      if (c->mill) m.push_back(c->mill.get());
    return m;
  }
  bool Run(const std::function<bool()>& done) { return Drive(Mills(), done); }
  void Settle(int rounds = 30) { tw::test::Settle(Mills(), rounds); }

  Client& Connect(const std::u16string& user, const std::u16string& pw = u"",
                  const std::u16string& app = kParleyAppId) {
    clients.push_back(std::make_unique<Client>());
    Client& c = *clients.back();
    c.pipe = c.mill->OpenSession(u"127.0.0.1", srv.Hub().Mill().ListeningPort(), app, user, pw);
    EXPECT_NE(c.pipe, nullptr);
    Run([&] { return c.pipe->State == psSession || c.pipe->State == psClosed; });
    return c;
  }
  // Connects and sends CMD_READY; returns the handle the host got.
  TPeerHandle Join(const std::u16string& user) {
    const size_t before = connected.size();
    Client& c = Connect(user, password);
    c.Send(CMD_READY);
    EXPECT_TRUE(Run([&] { return connected.size() == before + 1 && !c.got.empty(); }));
    return connected.empty() ? 0 : connected.back();
  }
  // The hub's pipe of a client: the one whose remote port is its local port.
  CPipe* ServerPipeOf(const Client& c) {
    for (int32_t id = 1; id < 64; ++id)
      if (CPipe* p = srv.Hub().Mill().GetPipe(id); p && p->RemotePort == c.pipe->LocalPort) return p;
    return nullptr;
  }
  // What `c` receives from the hub: "chat" per relayed message, "left" per
  // departure notice.
  const std::vector<std::string>& RecordRelaysAndDepartures(Client& c) {
    auto& seen = *received.emplace_back(std::make_unique<std::vector<std::string>>());
    c.mill->Events.OnBondSack = [&seen](CPipe&, TSack&) { seen.push_back("chat"); };
    c.mill->Events.OnSackReceived = [&seen](CPipe&, int32_t ch, std::string&) {
      if (ch == CMD_PEER_LEFT) seen.push_back("left");
    };
    return seen;
  }
  std::vector<std::unique_ptr<std::vector<std::string>>> received;
};

// A client on this machine is reported with the machine's first address.
std::string SeenAddress(CMill& server) {
  std::string first = server.FirstLocalAddress();
  return first.empty() ? "127.0.0.1" : first;
}

}  // namespace

TEST_F(Rig, AdmissionTable) {
  struct Case {
    std::u16string app;
    bool bound;
    bool accept;
    bool asked;
    bool admitted;
    const char* rejected;  // the OnPeerRejected line, or ""
  };
  const Case cases[] = {
      {kParleyAppId, true, true, true, true, ""},
      {kParleyAppId, true, false, true, false, "rejected   0 4"},
      {kParleyAppId, false, true, false, false, "rejected   0 4"},
      {u"qxmelnorapkd31", true, true, false, false, "rejected   0 4"},
      {u"QXMELNORAPKD3", true, true, false, false, "rejected   0 4"},
      {u"QXMELNORAPKD311", true, true, false, false, "rejected   0 4"},
  };
  auto request = srv.Events.OnConnectionRequest;
  for (const Case& k : cases) {
    log.clear();
    accept = k.accept;
    srv.Events.OnConnectionRequest = k.bound ? request : nullptr;
    Client& c = Connect(u"", u"", k.app);
    Settle(10);
    const bool asked = !log.empty() && log[0].rfind("request", 0) == 0;
    EXPECT_EQ(asked, k.asked);
    EXPECT_EQ(c.pipe->State == psSession, k.admitted);
    if (*k.rejected) {
      ASSERT_FALSE(log.empty());
      EXPECT_EQ(log.back(), k.rejected);
    }
  }
  EXPECT_EQ(srv.Hub().PeerCount(), 1u);  // only the admitted one holds a CPeer
}

TEST_F(Rig, ConnectionRequestCarriesAValueThatNamesNoPeer) {
  Connect(u"");
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0], "request  -1");
  EXPECT_EQ(srv.GetPeerName(TTWParleySrv::kRequestHandle), u"");
  EXPECT_EQ(srv.LastError, errInvalidHandle);
}

TEST_F(Rig, WrongPasswordIsRejectedWithItsNameAndNoDisconnect) {
  Join(u"alice");
  Client& first = *clients.back();
  password = u"right";
  Client& c = Connect(u"bob", u"wrong");
  ASSERT_TRUE(Run([&] { return c.pipe->State == psClosed; }));
  Settle(10);
  EXPECT_EQ(log.back(), "rejected bob " + SeenAddress(srv.Hub().Mill()) + " 1 22");
  for (auto& l : log) EXPECT_EQ(l.rfind("disconnected", 0), std::string::npos);
  // The connected peer hears of the failed one with -11.
  ASSERT_TRUE(Run([&] { return first.Count(CMD_PEER_LEFT) == 1; }));
  std::string_view body = first.got.back().second;
  ReadIntField(body);
  EXPECT_EQ(ReadIntField(body), PeerCloseCode(kPeerHandshakeFailed));
}

TEST_F(Rig, AnnounceIntroduceAndLeaveBetweenThreePeers) {
  Join(u"A");
  Join(u"B");
  Join(u"C");
  Client& a = *clients[0];
  Client& b = *clients[1];
  Client& c = *clients[2];
  // C announces: A and B hear of it.
  std::vector<std::string> order;
  a.mill->Events.OnSackReceived = [&](CPipe&, int32_t ch, std::string& body) {
    a.got.emplace_back(ch, body);
    order.push_back("A" + std::to_string(ch));
  };
  b.mill->Events.OnSackReceived = [&](CPipe&, int32_t ch, std::string& body) {
    b.got.emplace_back(ch, body);
    order.push_back("B" + std::to_string(ch));
  };
  c.Send(CMD_ANNOUNCE);
  ASSERT_TRUE(Run([&] { return order.size() == 2; }));
  EXPECT_EQ(order, (std::vector<std::string>{"A31", "B31"}));
  const std::string record = a.got.back().second;
  std::string_view r = record;
  const int32_t idC = ReadIntField(r);
  EXPECT_EQ(ReadWideField(r), u"C");
  EXPECT_EQ(ReadStrField(r), SeenAddress(srv.Hub().Mill()));
  EXPECT_EQ(ReadIntField(r), c.pipe->LocalPort);
  EXPECT_TRUE(r.empty());
  // Both introduce themselves to C.
  a.Send(CMD_INTRODUCE, IntToField(idC));
  b.Send(CMD_INTRODUCE, IntToField(idC));
  ASSERT_TRUE(Run([&] { return c.Count(CMD_PEER_JOINED) == 2; }));
  std::vector<std::u16string> joined;
  for (auto& [ch, body] : c.got)
    if (ch == CMD_PEER_JOINED) {
      std::string_view v = body;
      ReadIntField(v);
      joined.push_back(ReadWideField(v));
    }
  EXPECT_EQ(joined, (std::vector<std::u16string>{u"B", u"A"}));
  // Introducing to an id that is no live pipe sends nothing.
  const size_t before = c.got.size();
  a.Send(CMD_INTRODUCE, IntToField(0x7FFFFF00));
  Settle();
  EXPECT_EQ(c.got.size(), before);
  // C drops: A and B hear CMD_PEER_LEFT [idC][-10].
  c.mill.reset();
  ASSERT_TRUE(Run([&] {
    return a.Count(CMD_PEER_LEFT) == 1 && b.Count(CMD_PEER_LEFT) == 1;
  }));
  std::string_view left = a.got.back().second;
  EXPECT_EQ(ReadIntField(left), idC);
  EXPECT_EQ(ReadIntField(left), PeerCloseCode(kPeerConnectionClosed));
  EXPECT_EQ(log.back(), "disconnected -10");
}

TEST_F(Rig, DisconnectByTheHostClosesOnceAndTellsTheOthers) {
  const TPeerHandle a = Join(u"A");
  Join(u"B");
  Client& b = *clients[1];
  srv.SetMoniker(a, 77);
  srv.DisconnectPeer(a);
  srv.DisconnectPeer(a);
  ASSERT_TRUE(Run([&] { return b.Count(CMD_PEER_LEFT) == 1; }));
  Settle();
  EXPECT_EQ(std::count(log.begin(), log.end(), "disconnected 1"), 1);
  EXPECT_EQ(b.Count(CMD_PEER_LEFT), 1);
  std::string_view left = b.got.back().second;
  ReadIntField(left);
  EXPECT_EQ(ReadIntField(left), PeerCloseCode(kPeerClosedByHost));
  // Closed but not purged: the record answers, the connection does not.
  EXPECT_EQ(srv.GetPeerName(a), u"A");
  EXPECT_EQ(srv.GetMoniker(a), 77);
  EXPECT_EQ(srv.GetPeerAddress(a), u"");
  EXPECT_EQ(srv.GetPeerPort(a), 0);
  com::VARIANT v;
  com::VariantInit(&v);
  StrToVarArray("x", &v);
  EXPECT_FALSE(srv.SendBinaryMessage(a, v));
  EXPECT_EQ(srv.LastError, errInvalidHandle);
  com::VariantClear(&v);
}

TEST_F(Rig, DisconnectFromInsideEveryEvent) {
  // From inside OnPeerDisconnected for the same peer: nothing more happens.
  onDisconnected = [&](TPeerHandle h, int32_t) { srv.DisconnectPeer(h); };
  const TPeerHandle a = Join(u"A");
  srv.DisconnectPeer(a);
  Settle();
  EXPECT_EQ(std::count(log.begin(), log.end(), "disconnected 1"), 1);
  // From inside OnPeerConnected.
  srv.Events.OnPeerConnected = [&](TPeerHandle h) {
    connected.push_back(h);
    srv.DisconnectPeer(h);
  };
  Client& c = Connect(u"B", password);
  c.Send(CMD_READY);
  ASSERT_TRUE(Run([&] { return c.pipe->State == psClosed; }));
  // From inside OnBinaryMessage.
  srv.Events.OnPeerConnected = [&](TPeerHandle h) { connected.push_back(h); };
  srv.Events.OnBinaryMessage = [&](TPeerHandle h, const com::VARIANT&) { srv.DisconnectPeer(h); };
  Join(u"C");
  Client& cc = *clients.back();
  cc.Send(CMD_BINARY, StrToField("bye"));
  ASSERT_TRUE(Run([&] { return cc.pipe->State == psClosed; }));
}

TEST_F(Rig, BinaryMessagesBothWays) {
  std::vector<std::pair<TPeerHandle, std::string>> got;
  srv.Events.OnBinaryMessage = [&](TPeerHandle h, const com::VARIANT& v) {
    got.emplace_back(h, VarArrayToStr(v).value_or("?"));
  };
  // Before CMD_READY the sender has no handle: 0.
  Client& early = Connect(u"early", password);
  early.Send(CMD_BINARY, StrToField(""));
  ASSERT_TRUE(Run([&] { return got.size() == 1; }));
  EXPECT_EQ(got[0], std::make_pair(0, std::string()));
  const TPeerHandle h = Join(u"A");
  Client& a = *clients.back();
  a.Send(CMD_BINARY, StrToField(std::string("\0\x01\xFF", 3)));
  ASSERT_TRUE(Run([&] { return got.size() == 2; }));
  EXPECT_EQ(got[1], std::make_pair(h, std::string("\0\x01\xFF", 3)));

  com::VARIANT v;
  com::VariantInit(&v);
  ASSERT_TRUE(StrToVarArray("to A", &v));
  EXPECT_TRUE(srv.SendBinaryMessage(h, v));
  EXPECT_EQ(srv.LastError, errNone);
  ASSERT_TRUE(Run([&] { return a.Count(CMD_BINARY) == 1; }));
  EXPECT_EQ(a.got.back().second, StrToField("to A"));
  com::VariantClear(&v);
  v.vt = com::VT_I4;
  v.lVal = 5;
  EXPECT_FALSE(srv.SendBinaryMessage(h, v));
  EXPECT_EQ(srv.LastError, errNotByteArray);
}

TEST_F(Rig, RepeatedReadyMakesNoSecondHandle) {
  Join(u"A");
  Client& a = *clients.back();
  a.Send(CMD_READY);
  Settle();
  EXPECT_EQ(connected.size(), 1u);
  EXPECT_EQ(srv.PeerCount(), 1u);
}

TEST_F(Rig, StopKeepsSessionsAndStartListensAgain) {
  const TPeerHandle a = Join(u"A");
  EXPECT_FALSE(srv.Start());
  EXPECT_EQ(srv.LastError, errNone);
  EXPECT_TRUE(srv.Stop());
  EXPECT_FALSE(srv.GetRunning());
  EXPECT_EQ(srv.GetPeerName(a), u"A");
  EXPECT_TRUE(srv.Start());
  EXPECT_TRUE(srv.GetRunning());
  EXPECT_EQ(clients[0]->pipe->State, psSession);
  Join(u"B");
  EXPECT_EQ(connected.size(), 2u);
}

TEST_F(Rig, StartOnAUsedPortReportsTheTransportCode) {
  TTWParleySrv other{false};
  other.Hub().Mill().ErrorLogPath.clear();
  other.ListeningPort = srv.Hub().Mill().ListeningPort();
  EXPECT_FALSE(other.Start());
  EXPECT_EQ(other.LastError, ws::WSAEADDRINUSE);
}

TEST_F(Rig, HandleValidityAcrossTheLifeOfAPeer) {
  win32::ScopedManualTick tick(0xFFFFFF00u);  // the purge runs across the wrap
  const TPeerHandle live = Join(u"A");
  const TPeerHandle closed = Join(u"B");
  srv.DisconnectPeer(closed);
  struct Case {
    const char* name;
    TPeerHandle handle;
    bool valid;
  };
  auto check = [&](const Case& k) {
    srv.GetPeerName(k.handle);
    EXPECT_EQ(srv.LastError, k.valid ? errNone : errInvalidHandle) << k.name << " name";
    srv.SetMoniker(k.handle, 5);
    EXPECT_EQ(srv.GetMoniker(k.handle), k.valid ? 5 : 0) << k.name;
    EXPECT_EQ(srv.LastError, k.valid ? errNone : errInvalidHandle) << k.name << " moniker";
    srv.GetPeerPort(k.handle);
    EXPECT_EQ(srv.LastError, k.valid ? errNone : errInvalidHandle) << k.name << " port";
  };
  for (const Case& k : {Case{"zero", 0, false}, Case{"arbitrary", 12345, false},
                        Case{"request value", TTWParleySrv::kRequestHandle, false}, Case{"live", live, true},
                        Case{"closed", closed, true}})
    check(k);
  tick.Advance(999);
  srv.TimerTick();
  check({"closed +999", closed, true});
  tick.Advance(1);
  srv.TimerTick();
  check({"purged", closed, false});
  check({"live after purge", live, true});
}

// A host handler that fails, with anything at all, must not stop a close
// half way: the others still hear of it and the hub forgets the peer.
TEST_F(Rig, CloseCompletesWhenTheHostsHandlerFailsWithAnything) {
  Join(u"A");
  Join(u"B");
  Client& a = *clients[0];
  Client& b = *clients[1];
  ASSERT_EQ(srv.Hub().PeerCount(), 2u);
  onDisconnected = [](TPeerHandle, int32_t) { throw 42; };
  a.pipe->FinishSession(crLocal);
  ASSERT_TRUE(Run([&] { return b.Count(CMD_PEER_LEFT) == 1; }));
  EXPECT_EQ(srv.Hub().PeerCount(), 1u);
  // A rejection whose handler fails.
  srv.Events.OnPeerRejected = [](const std::u16string&, const std::u16string&, int32_t, int32_t) { throw 42; };
  accept = true;
  password = u"pw";
  Connect(u"C", u"wrong");
  Settle();
  EXPECT_EQ(srv.Hub().PeerCount(), 1u);  // the rejected peer's record is gone too
}

// A client that sends many messages, some to the host and some to another
// client, and ends at once: the hub has read them all before it sees the end,
// hands every one to the host or relays it, and only then tells the host and
// the other peers that the sender left (they were dropped: the close came
// first and a closed pipe delivers nothing).
TEST_F(Rig, EverythingReadBeforeAPeersEndIsDeliveredBeforeItsDeparture) {
  std::vector<std::string> seen;  // "binary" per message, then "disconnected"
  srv.Events.OnBinaryMessage = [&](TPeerHandle, const com::VARIANT&) { seen.push_back("binary"); };
  onDisconnected = [&](TPeerHandle, int32_t) { seen.push_back("disconnected"); };
  Join(u"A");
  Join(u"B");
  Client& a = *clients[0];
  Client& b = *clients[1];
  const std::vector<std::string>& atB = RecordRelaysAndDepartures(b);
  ASSERT_NE(ServerPipeOf(b), nullptr);
  const int32_t serverIdOfB = ServerPipeOf(b)->Id();

  constexpr int kEach = 500;
  for (int i = 0; i < kEach; ++i) {
    a.Send(CMD_BINARY, StrToField("to the host " + std::to_string(i)));
    a.pipe->QueueMessage(sackAppBase + 91, TMessage().Raw("chat " + std::to_string(i))).RouteList = IntToField(serverIdOfB);
  }
  // A sends everything and ends; the hub only runs steps until it has seen
  // the end, so what it read waits posted meanwhile.
  ASSERT_TRUE(Drive({a.mill.get()}, [&] { return a.pipe->SendIdle(); }));
  ASSERT_EQ(ws::shutdown(a.pipe->Socket(), ws::SD_SEND), 0);
  CPipe* sa = ServerPipeOf(a);
  ASSERT_NE(sa, nullptr);
  ASSERT_TRUE(PumpUntil({&srv.Hub().Mill()}, [&] { return sa->EndSeen || sa->State == psClosed; }));
  ASSERT_TRUE(Run([&] { return std::count(atB.begin(), atB.end(), "left") == 1; }));
  ASSERT_EQ(seen.size(), static_cast<size_t>(kEach + 1));
  EXPECT_EQ(seen.back(), "disconnected");
  ASSERT_EQ(atB.size(), static_cast<size_t>(kEach + 1));
  EXPECT_EQ(atB.back(), "left");
}

// The notice that a peer left waits for what was relayed to its reader before
// it: a reader that is slow to take its backlog still sees every message and
// then the notice, never the notice first (it would drop what follows).
TEST_F(Rig, ADepartureNeverOvertakesWhatWasRelayedBeforeIt) {
  Join(u"A");
  Join(u"B");
  Client& a = *clients[0];
  Client& b = *clients[1];
  const std::vector<std::string>& atB = RecordRelaysAndDepartures(b);
  CPipe* sb = ServerPipeOf(b);
  ASSERT_NE(sb, nullptr);
  const int32_t serverIdOfB = sb->Id();
  bool aLeft = false;
  onDisconnected = [&](TPeerHandle, int32_t) { aLeft = true; };

  // Megabytes for B, who does not read meanwhile: most of it waits in the
  // hub's queue for B when A leaves.
  constexpr int kEach = 1000;
  for (int i = 0; i < kEach; ++i) {
    a.pipe->QueueMessage(sackAppBase + 91, TMessage().Raw("chat " + std::to_string(i) + std::string(16 << 10, '.'))).RouteList = IntToField(serverIdOfB);
  }
  ASSERT_TRUE(Drive({a.mill.get(), &srv.Hub().Mill()}, [&] { return a.pipe->SendIdle(); }));
  a.mill->ClosePipe(a.pipe->Id());
  ASSERT_TRUE(Drive({a.mill.get(), &srv.Hub().Mill()}, [&] { return aLeft; }));
  EXPECT_GT(sb->Queue().Bytes(), 0u);
  ASSERT_TRUE(Run([&] { return std::count(atB.begin(), atB.end(), "left") == 1; }));
  ASSERT_EQ(atB.size(), static_cast<size_t>(kEach + 1));
  EXPECT_EQ(atB.back(), "left");
}

// The hub introduces only peers that are connected: a peer that never sent
// CMD_READY can neither announce nor introduce itself, and CMD_INTRODUCE is
// carried out only towards another connected peer of this hub; a peer is
// announced once. Each case
// sends one command and looks at what every client received.
TEST_F(Rig, OnlyConnectedPeersAreAnnouncedAndIntroduced) {
  Join(u"A");
  Join(u"B");
  Client& a = *clients[0];
  Client& b = *clients[1];
  Client& early = Connect(u"early", password);  // admitted, never sent CMD_READY
  ASSERT_EQ(early.pipe->State, psSession);
  Settle();
  const int32_t idA = ServerPipeOf(a)->Id();
  const int32_t idB = ServerPipeOf(b)->Id();
  const int32_t idEarly = ServerPipeOf(early)->Id();
  struct Case {
    const char* name;
    Client* sender;
    int32_t channel;
    int32_t target;            // CMD_INTRODUCE's body; 0: no body
    Client* reached;           // who hears of the sender, or none
    int32_t heard;             // the channel it hears on
  };
  const Case cases[] = {
      {"a connected peer introduces itself to another", &a, CMD_INTRODUCE, idB, &b, CMD_PEER_JOINED},
      {"a connected peer announces itself", &a, CMD_ANNOUNCE, 0, &b, CMD_PEER_LISTED},
      {"a connected peer announces itself again", &a, CMD_ANNOUNCE, 0, nullptr, 0},
      {"a peer not yet connected announces itself", &early, CMD_ANNOUNCE, 0, nullptr, 0},
      {"a peer not yet connected introduces itself", &early, CMD_INTRODUCE, idA, nullptr, 0},
      {"an introduction to a peer not yet connected", &a, CMD_INTRODUCE, idEarly, nullptr, 0},
      {"an introduction to oneself", &a, CMD_INTRODUCE, idA, nullptr, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    for (Client* c : {&a, &b, &early}) c->got.clear();
    k.sender->Send(k.channel, k.target ? IntToField(k.target) : std::string());
    Settle();
    for (Client* c : {&a, &b, &early}) {
      const size_t expected = c == k.reached ? 1 : 0;
      EXPECT_EQ(c->Count(CMD_PEER_JOINED) + c->Count(CMD_PEER_LISTED), expected);
      if (expected) {
        EXPECT_EQ(c->got.back().first, k.heard);
      }
    }
  }
  // Once it is connected, the early peer is introduced like any other.
  early.Send(CMD_READY);
  ASSERT_TRUE(Run([&] { return early.Count(CMD_WELCOME) == 1; }));
  early.Send(CMD_INTRODUCE, IntToField(idA));
  EXPECT_TRUE(Run([&] { return a.Count(CMD_PEER_JOINED) == 1; }));
}

// A peer whose end waits for its message, which waits in the relay for a
// full target, is closed and announced gone as soon as that target leaves:
// nothing of its own waits any more, and nothing else needs to happen at the
// hub for it to go (it stayed connected until something was next written to
// its dead connection, and for good on a quiet hub).
TEST_F(Rig, APeerWhoseEndWaitedForATargetThatLeavesIsAnnouncedGone) {
  TRelayLimits& limits = srv.Hub().Mill().Relay()->Limits;
  limits.Bound = 1 << 20;
  limits.SmallShare = limits.Bound / 4;
  std::vector<std::u16string> gone;
  onDisconnected = [&](TPeerHandle h, int32_t) { gone.push_back(srv.GetPeerName(h)); };
  Join(u"A");
  Join(u"B");
  Join(u"F");
  Join(u"C");
  Client& a = *clients[0];
  Client& b = *clients[1];
  Client& f = *clients[2];
  Client& c = *clients[3];
  const std::vector<std::string>& atC = RecordRelaysAndDepartures(c);
  CMill& hub = srv.Hub().Mill();
  TRelayFlow& relay = *hub.Relay();
  const int32_t idA = ServerPipeOf(a)->Id();
  CPipe* sb = ServerPipeOf(b);
  const int32_t idB = sb->Id();

  // From here on B reads nothing (its mill is not pumped), and the filler F
  // keeps it just under its bound.
  const std::vector<CMill*> withoutB{&hub, a.mill.get(), f.mill.get(), c.mill.get()};
  ASSERT_TRUE(Drive(withoutB, [&] {
    if (f.pipe->SendIdle())
      f.pipe->QueueMessage(sackAppBase + 91, TMessage().Raw(std::string(64 << 10, 'f'))).RouteList = IntToField(idB);
    return sb->HeldBytes() >= limits.Bound - (128u << 10);
  }, 10000));
  // A's first message to B passes within A's small share, its second waits
  // in the relay; A is still read, and ends.
  for (char fill : {'1', '2'})
    a.pipe->QueueMessage(sackAppBase + 92, TMessage().Raw(std::string(limits.SmallShare * 9 / 10, fill))).RouteList =
        IntToField(idB);
  ASSERT_TRUE(Drive(withoutB, [&] { return a.pipe->SendIdle() && relay.Waiting(idA); }));
  a.mill->ClosePipe(a.pipe->Id());
  ASSERT_TRUE(Drive(withoutB, [&] { return hub.GetPipe(idA)->EndSeen; }));
  EXPECT_EQ(hub.GetPipe(idA)->State, psSession);  // its end waits for its message

  // B leaves. Only the hub and C run: nobody else sends or logs in.
  b.mill.reset();
  ASSERT_TRUE(Drive({&hub, c.mill.get()}, [&] { return std::count(atC.begin(), atC.end(), "left") == 2; }))
      << "departures seen by C: " << std::count(atC.begin(), atC.end(), "left");
  EXPECT_EQ(gone, (std::vector<std::u16string>{u"B", u"A"}));
  const CPipe* sa = hub.GetPipe(idA);
  EXPECT_TRUE(sa == nullptr || sa->State == psClosed);
  EXPECT_FALSE(relay.Waiting(idA));
  EXPECT_TRUE(relay.Idle());
}
