#include "transport/mMill.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "tests/support/loopback.h"
#include "tests/support/mill_rig.h"
#include "tests/support/exe_folder.h"
#include "tests/support/manual_tick.h"
#include "platform/win32/system.h"
#include "platform/win32/tick.h"
#include "platform/win32/text.h"
#include "transport/mSeal.h"

using namespace tw;
using namespace tw::test;

namespace {

struct Login {
  bool accept = true;
  std::u16string password;
  int calls = 0;
  std::u16string lastUser, lastApp;
  void Bind(CMill& server) {
    server.Events.OnPipeLogin = [this](CPipe&, const std::u16string& app, const std::u16string& user,
                                       std::u16string& pw, bool& ok) {
      ++calls;
      lastUser = user;
      lastApp = app;
      pw = password;
      ok = accept;
    };
  }
};

// A listening server and a client mill.
struct Pair {
  TListeningServer host;
  CMill& server = host.mill;
  TMillProbe& sp = host.probe;
  CMill client{TMillSide::Client, false};
  TMillProbe cp;
  Pair(int32_t serverMode = secNone, int32_t clientMode = secNone) : host(serverMode) {
    client.SecurityMode = clientMode;
    cp.Attach(client);
  }
  CPipe* Open(const std::u16string& user = u"", const std::u16string& password = u"") {
    if (!server.IsListening() && !server.Listen(0)) return nullptr;
    return host.Dial(client, user, password);
  }
  bool Run(const std::function<bool()>& done) { return Drive({&server, &client}, done); }
  bool Settled() {
    return (!cp.opened.empty() && !sp.opened.empty()) || !cp.closes.empty();
  }
};

}  // namespace

TEST(Mill, EmptyUserNameOpensWithoutChallengeOrKey) {
  Pair p;
  CPipe* c = p.Open();
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(p.Run([&] { return p.Settled(); }));
  EXPECT_EQ(c->State, psSession);
  EXPECT_TRUE(c->SessionKey.empty());
  EXPECT_EQ(p.host.Logins, 1);
  EXPECT_EQ(p.host.LastApp, u"APP");
}

TEST(Mill, PasswordChallengeTable) {
  struct Case {
    const char16_t* hostPassword;
    const char16_t* userPassword;
    bool accept;
    std::optional<TCloseReason> serverReason;  // none: session opens
  };
  const Case cases[] = {
      {u"secret", u"secret", true, std::nullopt},
      {u"p\u00E4ss\u20AC", u"p\u00E4ss\u20AC", true, std::nullopt},  // compared after UTF-8 encoding
      {u"secret", u"Secret", true, crPassword},
      {u"", u"", true, crPassword},  // an empty password from the host admits nobody
      {u"secret", u"secret", false, crRefused},
  };
  for (const Case& k : cases) {
    Pair p;
    p.host.Password = k.hostPassword;
    p.host.Accept = k.accept;
    CPipe* c = p.Open(u"alice", k.userPassword);
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(p.Run([&] { return p.Settled(); }));
    if (!k.serverReason) {
      EXPECT_EQ(c->State, psSession);
      EXPECT_EQ(p.host.LastUser, u"alice");
    } else {
      ASSERT_EQ(p.sp.closes.size(), 1u);
      EXPECT_EQ(p.sp.closes[0].event, "refused");
      EXPECT_EQ(p.sp.closes[0].reason, *k.serverReason);
      ASSERT_EQ(p.cp.closes.size(), 1u);
      EXPECT_EQ(p.cp.closes[0].event, "rejected");
      EXPECT_EQ(p.cp.closes[0].reason, crSocket);
      EXPECT_EQ(p.client.LastError, ReasonCode(*k.serverReason));  // the scError reached the client
    }
  }
}

TEST(Mill, ModeMatrixWithoutRsa) {
  struct Case {
    int32_t server, client;
    const char* serverKey;
    const char* clientKey;
    // Close reasons, none: opens; the client's LastError, -1: not checked.
    std::optional<TCloseReason> serverReason, clientReason;
    int32_t clientLastError;
  };
  const Case cases[] = {
      {secNone, secNone, "", "", std::nullopt, std::nullopt, 0},
      {secSharedKey, secSharedKey, "k1", "k1", std::nullopt, std::nullopt, 0},
      {secNone, secSharedKey, "", "k1", crSecurity, crSocket, ReasonCode(crSecurity)},
      {secSharedKey, secNone, "k1", "", crSecurity, crSocket, ReasonCode(crSecurity)},
      // Different secrets: the client cannot open the sealed scAccept.
      {secSharedKey, secSharedKey, "k1", "k2", crSocket, crSecurity, -1},
  };
  for (const Case& k : cases) {
    Pair p(k.server, k.client);
    p.server.SetSecretKey(win32::AnsiToWide(k.serverKey));
    p.client.SetSecretKey(win32::AnsiToWide(k.clientKey));
    CPipe* c = p.Open();
    ASSERT_NE(c, nullptr);
    ASSERT_TRUE(p.Run([&] { return p.Settled() && (!k.serverReason || !p.sp.closes.empty()); }))
        << k.server << k.client;
    if (!k.clientReason) {
      EXPECT_EQ(c->State, psSession);
      if (k.server == secSharedKey) {
        EXPECT_EQ(c->SessionKey, k.clientKey);
      }
      continue;
    }
    ASSERT_EQ(p.cp.closes.size(), 1u);
    EXPECT_EQ(p.cp.closes[0].reason, *k.clientReason);
    if (k.clientLastError >= 0) {
      EXPECT_EQ(p.client.LastError, k.clientLastError);
    }
    if (k.serverReason) {
      ASSERT_FALSE(p.sp.closes.empty());
      EXPECT_EQ(p.sp.closes[0].reason, *k.serverReason);
    }
  }
}

TEST(Mill, SharedKeySealsCodes21To23AndNothingBefore) {
  CMill server{TMillSide::Server, false};
  server.ErrorLogPath.clear();
  server.SecurityMode = secSharedKey;
  server.SetSecretKey(u"shared");
  Login login;
  login.password = u"pw";
  login.Bind(server);
  ASSERT_TRUE(server.Listen(0));
  TRawPeer peer(server.ListeningPort());
  ASSERT_TRUE(peer.ok());
  std::vector<TRawPeer::Frame> got;
  auto pumpUntil = [&](int32_t code) {
    return Drive({&server}, [&] {
      for (auto& f : peer.Read()) got.push_back(f);
      return std::any_of(got.begin(), got.end(), [&](auto& f) { return f.code == code; });
    });
  };
  peer.SendFrame(scModeOffer, IntToField(secSharedKey));
  ASSERT_TRUE(pumpUntil(scModeReply));
  EXPECT_EQ(got.back().chunk, IntToField(secSharedKey));  // plain
  std::string login1;
  PutIntField(login1, 1);
  PutStrField(login1, "APP");
  PutStrField(login1, "127.0.0.1");
  PutIntField(login1, 1);
  PutWideField(login1, u"bob");
  peer.SendFrame(scLogin, login1);
  ASSERT_TRUE(pumpUntil(scChallenge));
  const std::string sealed = got.back().chunk;
  // A SealedPayload of a 20-byte StrField: 1 + 16 + 32 bytes.
  EXPECT_EQ(sealed.size(), 49u);
  std::string opened = sealed;
  ASSERT_TRUE(OpenPayload(opened, "shared"));
  EXPECT_EQ(ReadStrField(opened).size(), 16u);
}

// A pipe keeps its session key expanded between messages; changing the key
// must re-key both directions. The side that keeps the old key can then no
// longer open what the other seals, and closes with crSecurity.
TEST(Mill, ASessionKeyChangeRekeysSealingAndOpening) {
  for (bool senderChanges : {true, false}) {
    Pair p(secSharedKey, secSharedKey);
    p.server.SetSecretKey(u"k1");
    p.client.SetSecretKey(u"k1");
    CPipe* c = p.Open();
    ASSERT_TRUE(p.Run([&] { return p.Settled(); }));
    ASSERT_EQ(c->State, psSession);
    CPipe* s = p.server.GetPipe(p.sp.opened.front());
    auto send = [&](const char* text) {
      p.server.SendToPipe(s->Id(), 40, TMessage().Str(text));
    };
    send("first");  // both sides expand and keep "k1"
    ASSERT_TRUE(p.Run([&] { return p.cp.received.size() == 1; }));
    (senderChanges ? s : c)->SessionKey = "k2";
    send("second");
    ASSERT_TRUE(p.Run([&] { return !p.cp.closes.empty(); })) << senderChanges;
    EXPECT_EQ(p.cp.closes[0].reason, crSecurity) << senderChanges;
    EXPECT_EQ(p.cp.received.size(), 1u) << senderChanges;
  }
}

// A message queued on an idle pipe leaves once the handler that queued it
// returns, without waiting for the sender's next pump step; that push sends
// batch after batch while the socket takes them, so a backlog of one code
// leaves at once and in order, not one message per step. A socket that takes
// only part of a batch, or a rate limit, ends the push; pump steps send the
// rest, still in order.
TEST(Mill, APushDrainsTheBacklogWhileTheSocketTakesIt) {
  struct Case {
    const char* what;
    int shortWrite;     // bytes the third send takes; 0: all
    int32_t rateLimit;  // 0: none
    bool allInFirstPush;
  };
  const Case cases[] = {
      {"socket takes everything", 0, 0, true},
      {"socket takes a little", 100, 0, false},
      {"rate limit", 0, 8192, false},
  };
  constexpr int kMessages = 80;
  auto body = [](int i) { return std::to_string(i) + std::string(256, 'm'); };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Pair p;
    CPipe* c = p.Open();
    ASSERT_TRUE(p.Run([&] { return p.Settled(); }));
    ASSERT_EQ(c->State, psSession);
    c->RateLimit = k.rateLimit;
    std::optional<ws::ScopedShortWrite> shortWrite;
    if (k.shortWrite) shortWrite.emplace(k.shortWrite, 3, ws::Repeat::Once);
    for (int i = 0; i < kMessages; ++i) {
      c->QueueMessage(sackAppBase + 5, TMessage().Str(body(i)));
    }
    while (win32::ProcessMessages()) {
    }
    // Only the server is pumped: what it gets came from that one push. When
    // that push sent everything, the server reads it all however slow the
    // machine; otherwise no wait lets more arrive.
    Drive({&p.server}, [&] { return p.sp.received.size() == kMessages; }, k.allInFirstPush ? 3000 : 300);
    EXPECT_EQ(p.sp.received.size() == kMessages, k.allInFirstPush);
    EXPECT_FALSE(p.sp.received.empty());
    ASSERT_TRUE(p.Run([&] { return p.sp.received.size() == kMessages; }));
    for (int i = 0; i < kMessages; ++i)
      ASSERT_EQ(p.sp.received[i].second, StrToField(body(i))) << i;
  }
}

TEST(Mill, HostileHandshakeInputNeverOpensASession) {
  struct Case {
    const char* name;
    std::vector<std::pair<int32_t, std::string>> frames;
  };
  const std::string loginBody = RawLoginBody(u"bob");
  const Case cases[] = {
      {"unsolicited response", {{scResponse, StrToField("")}}},
      {"unsolicited accept", {{scAccept, ""}}},
      {"login before mode", {{scLogin, loginBody}}},
      {"repeated mode offer", {{scModeOffer, IntToField(0)}, {scModeOffer, IntToField(0)}}},
      {"repeated login", {{scModeOffer, IntToField(0)}, {scLogin, loginBody}, {scLogin, loginBody}}},
      {"response with empty digest", {{scModeOffer, IntToField(0)}, {scLogin, loginBody}, {scResponse, StrToField("")}}},
      {"server half from a client", {{scModeOffer, IntToField(0)}, {scServerHalf2, StrToField("x")}}},
      {"key in plain mode", {{scModeOffer, IntToField(0)}, {scClientKey, StrToField(std::string(100000, 'k'))}}},
  };
  for (const Case& k : cases) {
    CMill server{TMillSide::Server, false};
    server.ErrorLogPath.clear();
    TMillProbe probe;
    probe.Attach(server);
    Login login;
    login.password = u"pw";
    login.Bind(server);
    ASSERT_TRUE(server.Listen(0));
    TRawPeer peer(server.ListeningPort());
    for (auto& [code, body] : k.frames) peer.SendFrame(code, body);
    Drive({&server}, [&] { return !probe.closes.empty(); });
    EXPECT_TRUE(probe.opened.empty()) << k.name;
    ASSERT_FALSE(probe.closes.empty()) << k.name;
    EXPECT_EQ(probe.closes[0].reason, k.name == std::string("response with empty digest") ? crPassword : crSecurity)
        << k.name;
  }
}

TEST(Mill, MalformedFrameClosesWithSecurity) {
  CMill server{TMillSide::Server, false};
  server.ErrorLogPath.clear();
  TMillProbe probe;
  probe.Attach(server);
  Login login;
  login.Bind(server);
  ASSERT_TRUE(server.Listen(0));
  TRawPeer peer(server.ListeningPort());
  peer.SendBytes(std::string("ERTI\x06\x02\0\0\0\0\0\0\0", 13));  // Length 2
  ASSERT_TRUE(Drive({&server}, [&] { return !probe.closes.empty(); }));
  EXPECT_EQ(probe.closes[0].reason, crSecurity);
}

TEST(Mill, ListenOnAUsedPortFailsWithAddressInUse) {
  CMill a{TMillSide::Server, false}, b{TMillSide::Server, false};
  a.ErrorLogPath.clear();
  b.ErrorLogPath.clear();
  ASSERT_TRUE(a.Listen(0));
  EXPECT_TRUE(a.IsListening());
  EXPECT_FALSE(b.Listen(a.ListeningPort()));
  EXPECT_EQ(b.LastError, ws::WSAEADDRINUSE);
  EXPECT_FALSE(b.IsListening());
}

TEST(Mill, WithoutLoginHandlerConnectionsWaitInTheBacklog) {
  Pair p;
  p.server.Events.OnPipeLogin = nullptr;
  CPipe* c = p.Open();
  ASSERT_NE(c, nullptr);
  Settle({&p.server, &p.client}, 50);
  EXPECT_EQ(p.server.PipeCount(), 0u);
  EXPECT_EQ(c->State, psHandshake);  // connected at TCP level, no answer
  p.host.BindLogin();
  ASSERT_TRUE(p.Run([&] { return p.Settled(); }));
  EXPECT_EQ(c->State, psSession);
}

TEST(Mill, ConnectToAClosedPortIsRejectedWith11) {
  // A bound socket that does not listen holds the port: nothing can take it
  // meanwhile, the dialling socket included.
  const ws::Socket holder = BoundSocket();
  const uint16_t port = LocalPort(holder.get());
  CMill client{TMillSide::Client, false};
  TMillProbe probe;
  probe.Attach(client);
  CPipe* c = client.OpenSession(u"127.0.0.1", port, u"APP", u"", u"");
  ASSERT_NE(c, nullptr);
  ASSERT_TRUE(Drive({&client}, [&] { return !probe.closes.empty(); }));
  EXPECT_EQ(probe.closes[0].event, "rejected");
  EXPECT_EQ(probe.closes[0].reason, crConnectFailed);
}

TEST(Mill, UnresolvableHostFailsAtOnceWithoutEvent) {
  CMill client{TMillSide::Client, false};
  TMillProbe probe;
  probe.Attach(client);
  EXPECT_EQ(client.OpenSession(u"no-such-host.invalid", 1, u"APP", u"", u""), nullptr);
  EXPECT_EQ(client.LastError, ws::WSAHOST_NOT_FOUND);
  Settle({&client}, 5);
  EXPECT_TRUE(probe.closes.empty());
}

// A dead id (a peer that just left) is passed over: the live peers listed
// after it get the message all the same.
TEST(Mill, RelaySkipsDeadIdsAndCarriesTheSendersPeerId) {
  CMill server{TMillSide::Server, false};
  server.ErrorLogPath.clear();
  Login login;
  login.Bind(server);
  TMillProbe sp;
  sp.Attach(server);
  ASSERT_TRUE(server.Listen(0));
  CMill ca{TMillSide::Client, false}, cb{TMillSide::Client, false}, cc{TMillSide::Client, false};
  TMillProbe pa, pb, pc;
  pa.Attach(ca);
  pb.Attach(cb);
  pc.Attach(cc);
  CPipe* a = ca.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
  CPipe* b = cb.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
  CPipe* c = cc.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
  std::vector<CMill*> all{&server, &ca, &cb, &cc};
  ASSERT_TRUE(Drive(all, [&] { return sp.opened.size() == 3 && a->State == psSession && b->State == psSession && c->State == psSession; }));
  // Server pipe ids of B and C, in the order they were accepted.
  auto serverIdOf = [&](CPipe* client) {
    for (int32_t id : sp.opened)
      if (server.GetRemotePort(id) == client->LocalPort) return id;
    return 0;
  };
  const int32_t idA = serverIdOf(a), idB = serverIdOf(b), idC = serverIdOf(c);
  ASSERT_TRUE(idA && idB && idC);
  TSack& s = a->QueueMessage(1091, TMessage().Str("hi"));
  s.RouteList = IntToField(idB) + IntToField(0x7FFF0000) + IntToField(idC);
  ASSERT_TRUE(Drive(all, [&] { return !pb.bonds.empty() && !pc.bonds.empty(); }));
  Settle(all, 30);
  ASSERT_EQ(pb.bonds.size(), 1u);
  EXPECT_EQ(pb.bonds[0], std::make_pair(idA, 1091));
  ASSERT_EQ(pc.bonds.size(), 1u);
  EXPECT_EQ(pc.bonds[0], std::make_pair(idA, 1091));
  // A repeated id is served once.
  TSack& twice = a->QueueMessage(1091, TMessage().Str("again"));
  twice.RouteList = IntToField(idC) + IntToField(idC);
  ASSERT_TRUE(Drive(all, [&] { return pc.bonds.size() == 2; }));
  Settle(all, 30);
  EXPECT_EQ(pc.bonds.size(), 2u);
}

TEST(Mill, DestroyWithOpenPipesFiresNoEventsAndFreesWhatIsPosted) {
  auto p = std::make_unique<Pair>();
  CPipe* c = p->Open();
  ASSERT_TRUE(p->Run([&] { return p->Settled(); }));
  ASSERT_EQ(c->State, psSession);
  int events = 0;
  for (CMill* m : {&p->server, &p->client}) {
    m->Events.OnPipeClosed = [&](CMill&, CPipe&, TCloseReason) { ++events; };
    m->Events.OnPipeRejected = [&](CMill&, CPipe&, TCloseReason) { ++events; };
    m->Events.OnPipeRefused = [&](CMill&, CPipe&, TCloseReason) { ++events; };
  }
  // A message queued on the server and one read and posted but not delivered.
  p->server.SendToPipe(p->sp.opened.front(), 35, TMessage().Str("bye"));
  c->QueueMessage(1035, TMessage().Str("posted"));
  PumpUntil({&p->client, &p->server}, [&] { return p->server.GetPipe(p->sp.opened.front())->PostedCount > 0; });
  EXPECT_EQ(p->server.GetPipe(p->sp.opened.front())->PostedCount, 1);
  p.reset();
  EXPECT_EQ(events, 0);
}

TEST(Mill, PeerSeesEndOfFileWhenTheServerMillIsDestroyed) {
  auto server = std::make_unique<CMill>(TMillSide::Server, false);
  server->ErrorLogPath.clear();
  Login login;
  login.Bind(*server);
  ASSERT_TRUE(server->Listen(0));
  TRawPeer peer(server->ListeningPort());
  peer.SendFrame(scModeOffer, IntToField(0));
  ASSERT_TRUE(Drive({server.get()}, [&] { return server->PipeCount() == 1; }));
  server.reset();
  EXPECT_TRUE(peer.WaitForEof());
}

TEST(Mill, FingerprintListRoundTripsAndEmptyEntriesTrustNothing) {
  CMill mill{TMillSide::Server, false};
  mill.SetFingerprints(u"AAAAAAAAAAAAAAAAAAAAAA==,BBBBBBBBBBBBBBBBBBBBBB==");
  EXPECT_EQ(mill.GetFingerprints(), u"AAAAAAAAAAAAAAAAAAAAAA==,BBBBBBBBBBBBBBBBBBBBBB==");
  EXPECT_FALSE(mill.IsKeyAllowed(""));
  mill.SetFingerprints(u"");
  EXPECT_TRUE(mill.IsKeyAllowed("key"));
  EXPECT_FALSE(mill.IsKeyAllowed(""));
  mill.SetFingerprints(u"AAAAAAAAAAAAAAAAAAAAAA==,");
  EXPECT_FALSE(mill.IsKeyAllowed("key"));
}

TEST(Mill, ErrorLogLineHasDateTickAndOperation) {
  win32::ScopedManualTick tick(4'294'912'345u);
  const auto dir = std::filesystem::temp_directory_path() / ("twlog-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  win32::ScopedExeFolder exe(dir.string() + "/");
  CMill mill{TMillSide::Server, false};
  EXPECT_EQ(mill.ErrorLogPath, dir.string() + "/twsocketserror.log");
  mill.ReportError("PushCart");
  tick.Advance(1);
  mill.ReportError("CMill.PumpUp");
  std::ifstream in(mill.ErrorLogPath, std::ios::binary);
  std::string all{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  // "yyyy-mm-dd hh:nn:ss/NNNN: operation" and CR LF, appended line by line.
  const size_t first = all.find("\r\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(all.substr(19, first - 19), "/2345: PushCart");
  EXPECT_EQ(all.substr(first + 2 + 19), "/2346: CMill.PumpUp\r\n");
  EXPECT_EQ(TFileErrorLog::Line("X").substr(19), "/2346: X");
  std::filesystem::remove_all(dir);
}

TEST(Mill, HandlersThatFailAreContainedAndLoggedByOperation) {
  struct Case {
    const char* handler;
    std::vector<std::string> logged;
    const char* serverClose;  // the server's close event and reason
    TCloseReason reason;
  };
  const Case cases[] = {
      {"OnPipeLogin", {"OnPipeLogin"}, "refused", crRefused},
      {"OnPipeAccepted", {"DeliverMessage"}, "closed", crSecurity},
      {"OnPipeClosed", {"FinishSession"}, "closed", crLocal},
  };
  for (bool standard : {true, false}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.handler) + (standard ? " std::exception" : " int"));
      auto fail = [standard] {
        if (standard) throw std::runtime_error("handler failed");
        throw 42;
      };
      Pair p;
      auto log = std::make_shared<TRecordingLog>();
      p.server.ErrorLog = log;
      const std::string h = c.handler;
      if (h == "OnPipeLogin") {
        p.server.Events.OnPipeLogin = [&](CPipe&, const std::u16string&, const std::u16string&, std::u16string&,
                                          bool&) { fail(); };
      } else if (h == "OnPipeAccepted") {
        p.server.Events.OnPipeAccepted = [&](CPipe&) { fail(); };
      } else {
        auto closed = p.server.Events.OnPipeClosed;
        p.server.Events.OnPipeClosed = [&, closed](CMill& m, CPipe& pipe, TCloseReason r) {
          closed(m, pipe, r);
          fail();
        };
      }
      CPipe* client = p.Open();
      ASSERT_NE(client, nullptr);
      if (h == "OnPipeClosed") {
        ASSERT_TRUE(p.Run([&] { return client->State == psSession && !p.sp.opened.empty(); }));
        p.server.ClosePipe(p.sp.opened[0]);
      }
      ASSERT_TRUE(p.Run([&] { return !p.sp.closes.empty() && !p.cp.closes.empty(); }));
      EXPECT_EQ(log->lines, c.logged);
      EXPECT_EQ(p.sp.closes[0].event, c.serverClose);
      EXPECT_EQ(p.sp.closes[0].reason, c.reason);
      // The pump goes on: the closed pipe is freed in a later step.
      ASSERT_TRUE(p.Run([&] { return p.server.PipeCount() == 0; }));
    }
  }
}

TEST(Mill, ClientReportsExceptionsAndTracesWithoutThePassword) {
  CMill client{TMillSide::Client, false};
  std::vector<std::string> reports;
  client.Events.OnMillReport = [&](const std::string& t) { reports.push_back(t); };
  client.ReportError("PushCart");
  client.OpenSession(u"no-such-host.invalid", 7, u"APP", u"user", u"hunter2");
  ASSERT_GE(reports.size(), 2u);
  EXPECT_EQ(reports[0], "*EXP*  PushCart");
  EXPECT_EQ(reports[1].rfind("CMill.OpenSession ", 0), 0u);
  for (auto& r : reports) EXPECT_EQ(r.find("hunter2"), std::string::npos);
}

TEST(Mill, SendRoomFollowsTheQueue) {
  CMill mill{TMillSide::Client, false};
  CPipe& p = mill.AddPipe();
  EXPECT_EQ(mill.GetSendRoom(p.Id()), 1024);
  p.QueueMessage(1040, TMessage().Raw(std::string(1500, 'x')));
  EXPECT_EQ(mill.GetSendRoom(p.Id()), 512);
  p.QueueMessage(1041, TMessage().Raw(std::string(5000, 'x')));
  EXPECT_EQ(mill.GetSendRoom(p.Id()), 256);
  for (int32_t code = 1042; code < 1046; ++code) {  // 128, 64, 32, then 16
    p.QueueMessage(code, TMessage().Raw(std::string(5000, 'x')));
  }
  EXPECT_EQ(mill.GetSendRoom(p.Id()), 32);  // never below 32
  EXPECT_EQ(mill.GetSendRoom(0), 0);
}

// --- RSA mode ----------------------------------------------------------------------

namespace {

void GiveKeys(CMill& mill) {
  std::u16string pub, priv;
  ASSERT_TRUE(mill.GenerateKeypair(pub, priv));
  mill.SetPublicKey(pub);
  mill.SetPrivateKey(priv);
}

std::u16string Lower(std::u16string s) {
  for (auto& c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return s;
}

}  // namespace

TEST(MillRsa, KeyExchangeGivesBothSidesTheSameSixteenByteKeyClientHalfFirst) {
  Pair p(secRsa, secRsa);
  GiveKeys(p.server);
  GiveKeys(p.client);
  p.host.Password = u"pw";
  CPipe* c = p.Open(u"alice", u"pw");
  ASSERT_TRUE(p.Run([&] { return p.Settled(); }));
  ASSERT_EQ(c->State, psSession);
  CPipe* s = p.server.GetPipe(p.sp.opened.front());
  ASSERT_EQ(c->SessionKey.size(), 16u);
  EXPECT_EQ(c->SessionKey, s->SessionKey);
  EXPECT_EQ(c->SessionKey.substr(0, 8), c->OwnHalf);
  EXPECT_EQ(s->SessionKey.substr(8), s->OwnHalf);
  // Application messages travel sealed and arrive intact.
  p.server.SendToPipe(s->Id(), 40, TMessage().Str("secret text"));
  ASSERT_TRUE(p.Run([&] { return !p.cp.received.empty(); }));
  EXPECT_EQ(p.cp.received[0].second, StrToField("secret text"));
}

TEST(MillRsa, TrustedFingerprintsDecideAndIgnoreCase) {
  struct Case {
    bool listClient;
    bool opens;
  };
  for (Case k : {Case{true, true}, Case{false, false}}) {
    Pair p(secRsa, secRsa);
    GiveKeys(p.server);
    GiveKeys(p.client);
    std::u16string other, otherPriv;
    ASSERT_TRUE(p.server.GenerateKeypair(other, otherPriv));
    const std::u16string listed = k.listClient ? p.client.GetPublicKey() : other;
    p.server.SetFingerprints(u"AAAAAAAAAAAAAAAAAAAAAA==," + Lower(p.server.TakeFingerprint(listed)));
    CPipe* c = p.Open();
    ASSERT_TRUE(p.Run([&] { return p.Settled(); }));
    if (k.opens) {
      EXPECT_EQ(c->State, psSession);
    } else {
      ASSERT_EQ(p.cp.closes.size(), 1u);
      EXPECT_EQ(p.cp.closes[0].reason, crSocket);
      EXPECT_EQ(p.client.LastError, ReasonCode(crSecurity));
    }
  }
}

TEST(MillRsa, ModeMismatchWithRsaFailsWithSecurity) {
  for (auto [sm, cm] : {std::pair{secRsa, secNone}, std::pair{secSharedKey, secRsa}}) {
    Pair p(sm, cm);
    GiveKeys(p.server);
    GiveKeys(p.client);
    p.Open();
    ASSERT_TRUE(p.Run([&] { return !p.cp.closes.empty(); }));
    EXPECT_EQ(p.client.LastError, ReasonCode(crSecurity));
  }
}

TEST(MillRsa, HostileKeysAndSkippedExchangeNeverOpenASession) {
  const std::string login = RawLoginBody();
  struct Case {
    const char* name;
    std::vector<std::pair<int32_t, std::string>> frames;
  };
  const Case cases[] = {
      {"login without exchange", {{scModeOffer, IntToField(secRsa)}, {scLogin, login}}},
      {"empty key", {{scModeOffer, IntToField(secRsa)}, {scClientKey, StrToField("")}}},
      {"even key", {{scModeOffer, IntToField(secRsa)}, {scClientKey, StrToField(std::string(64, '\x02'))},
                    {scClientHalf1, StrToField("abc")}}},
      {"100 KB key", {{scModeOffer, IntToField(secRsa)}, {scClientKey, StrToField(std::string(100000, '\x7F'))}}},
      {"oversized cipher", {{scModeOffer, IntToField(secRsa)}, {scClientKey, StrToField(std::string(64, '\x7F'))},
                            {scClientHalf1, StrToField("x")}, {scClientHalf2, StrToField(std::string(5000, 'c'))}}},
  };
  CMill keys{TMillSide::Server, false};
  std::u16string pub, priv;
  ASSERT_TRUE(keys.GenerateKeypair(pub, priv));
  for (const Case& k : cases) {
    CMill server{TMillSide::Server, false};
    server.ErrorLogPath.clear();
    server.SecurityMode = secRsa;
    server.SetPublicKey(pub);
    server.SetPrivateKey(priv);
    TMillProbe probe;
    probe.Attach(server);
    Login host;
    host.Bind(server);
    ASSERT_TRUE(server.Listen(0));
    TRawPeer peer(server.ListeningPort());
    for (auto& [code, body] : k.frames) peer.SendFrame(code, body);
    Drive({&server}, [&] { return !probe.closes.empty(); });
    EXPECT_TRUE(probe.opened.empty()) << k.name;
    ASSERT_FALSE(probe.closes.empty()) << k.name;
    EXPECT_EQ(probe.closes[0].reason, crSecurity) << k.name;
    EXPECT_EQ(host.calls, 0) << k.name;
  }
}

TEST(MillRsa, RelayedMessageIsResealedUnderTheTargetsKey) {
  CMill server{TMillSide::Server, false};
  server.ErrorLogPath.clear();
  server.SecurityMode = secRsa;
  GiveKeys(server);
  Login login;
  login.Bind(server);
  TMillProbe sp;
  sp.Attach(server);
  ASSERT_TRUE(server.Listen(0));
  CMill ca{TMillSide::Client, false}, cb{TMillSide::Client, false};
  std::string gotBody;
  int32_t gotPeer = 0;
  cb.Events.OnBondSack = [&](CPipe&, TSack& s) {
    gotBody = s.Payload;
    gotPeer = s.PeerId;
  };
  for (CMill* m : {&ca, &cb}) {
    m->SecurityMode = secRsa;
    GiveKeys(*m);
  }
  CPipe* a = ca.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
  std::vector<CMill*> all{&server, &ca, &cb};
  ASSERT_TRUE(Drive(all, [&] { return a->State == psSession && sp.opened.size() == 1; }));
  CPipe* b = cb.OpenSession(u"127.0.0.1", server.ListeningPort(), u"APP", u"", u"");
  ASSERT_TRUE(Drive(all, [&] { return b->State == psSession && sp.opened.size() == 2; }));
  EXPECT_NE(a->SessionKey, b->SessionKey);
  a->QueueMessage(1091, TMessage().Str("for B only")).RouteList = IntToField(sp.opened[1]);
  ASSERT_TRUE(Drive(all, [&] { return !gotBody.empty(); }));
  EXPECT_EQ(gotBody, StrToField("for B only"));
  EXPECT_EQ(gotPeer, sp.opened[0]);
}

TEST(Mill, LoginHandlerThatFailsRefusesTheLoginAtOnce) {
  Pair p;
  p.server.Events.OnPipeLogin = [](CPipe&, const std::u16string&, const std::u16string&, std::u16string&,
                                   bool& accept) {
    accept = true;
    throw 42;
  };
  p.Open(u"user", u"pw");
  ASSERT_TRUE(p.Run([&] { return !p.cp.closes.empty() && !p.sp.closes.empty(); }));
  EXPECT_EQ(p.sp.closes[0].event, "refused");
  EXPECT_EQ(p.sp.closes[0].reason, crRefused);
  EXPECT_EQ(p.client.LastError, ReasonCode(crRefused));
}

TEST(Mill, AFailedAcceptLeavesTheConnectionForTheNextStep) {
  Pair p;
  ASSERT_TRUE(p.server.Listen(0));
  auto fault = ws::InjectFault(ws::Call::Accept, 1, ws::WSAENOBUFS);
  ASSERT_NE(p.Open(), nullptr);
  ASSERT_TRUE(p.Run([&] { return p.Settled(); }));
  EXPECT_EQ(fault.failures(), 1);
  EXPECT_EQ(p.sp.opened.size(), 1u);
  EXPECT_EQ(p.server.PipeCount(), 1u);
}

TEST(Mill, TheFirstFailedSetUpCallIsTheOneKeptAndTheRestIsSkipped) {
  struct Case {
    const char* what;
    ws::Call fails;
    int nth;
    ws::Call skipped;  // a later set-up call that must not run
    bool listen;       // else a client's OpenSession
  };
  const Case cases[] = {
      {"listen: TCP_NODELAY", ws::Call::SetSockOpt, 1, ws::Call::Bind, true},
      {"listen: bind", ws::Call::Bind, 1, ws::Call::Listen, true},
      {"dial: socket", ws::Call::Socket, 1, ws::Call::Connect, false},
      {"dial: SO_SNDBUF", ws::Call::SetSockOpt, 2, ws::Call::Connect, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pair p;
    if (!c.listen) {
      ASSERT_TRUE(p.server.Listen(0));
    }
    auto first = ws::InjectFault(c.fails, c.nth, ws::WSAENOBUFS);
    auto later = ws::InjectFault(c.skipped, 1, ws::WSAEACCES);
    if (c.listen) {
      EXPECT_FALSE(p.server.Listen(0));
      EXPECT_EQ(p.server.LastError, ws::WSAENOBUFS);
      EXPECT_FALSE(p.server.IsListening());
    } else {
      EXPECT_EQ(p.client.OpenSession(u"127.0.0.1", p.server.ListeningPort(), u"APP", u"", u""), nullptr);
      EXPECT_EQ(p.client.LastError, ws::WSAENOBUFS);
      EXPECT_TRUE(p.cp.closes.empty());  // no event from a pipe that never dialled
    }
    EXPECT_EQ(first.failures(), 1);
    EXPECT_EQ(later.failures(), 0);
  }
}
