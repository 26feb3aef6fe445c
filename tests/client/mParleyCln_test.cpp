// The client engine against the real server engine: the checks of each
// operation in their order, handles that outlive their peers, messages to
// and from the host, what a disconnected or misbehaving peer can no longer
// raise, and destruction with a session open.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_harness.h"
#include "platform/win32/text.h"
#include "server/mHub.h"
#include "transport/twTools.h"

using namespace tw;
using namespace tw::test;
namespace cln = tw::cln;

namespace {

com::Variant Bytes(std::string_view bytes) {
  com::Variant v;
  StrToVarArray(bytes, &v);
  return v;
}

}  // namespace

// --- Checks in order -------------------------------------------------------------------------

TEST(EngineChecks, EachOperationChecksInItsOrder) {
  THarness h;
  TClient& c = h.AddClient();
  const com::Variant notArray(int32_t{5});
  const com::Variant array = Bytes("ab");
  struct Case {
    const char* name;
    std::function<bool()> call;
    bool result;
    int32_t error;
  };
  // Session closed.
  const Case closed[] = {
      {"chat", [&] { return c->SendChatMessage(12345, u"x"); }, false, errSessionNotOpen},
      {"alert", [&] { return c->SendAlertMessage(1, u"x"); }, false, errSessionNotOpen},
      {"binary not an array", [&] { return c->SendBinaryMessage(12345, notArray); }, false, errNotByteArray},
      {"binary", [&] { return c->SendBinaryMessage(0, array); }, false, errSessionNotOpen},
      {"disconnect", [&] { return c->DisconnectPeer(12345); }, false, errInvalidHandle},
      {"close", [&] { return c->CloseSession(); }, true, errInvalidHandle},  // leaves LastError alone
  };
  for (const Case& k : closed) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(k.call(), k.result);
    EXPECT_EQ(c->GetLastError(), k.error);
  }
  EXPECT_TRUE(c.log.empty());  // closing a closed session fires nothing

  // Opening: a second open is busy but still true.
  ASSERT_TRUE(c->OpenSession(u"127.0.0.1", h.Port(), u"c", u"pw"));
  EXPECT_TRUE(c->OpenSession(u"127.0.0.1", h.Port(), u"c", u"pw"));
  EXPECT_EQ(c->GetLastError(), cln::errBusy);
  EXPECT_EQ(c->GetSessionStatus(), cln::ssOpening);
  ASSERT_TRUE(h.Run([&] { return c.Saw("open"); }));
  EXPECT_EQ(c->GetUsername(), u"c");

  const Case open[] = {
      {"open again", [&] { return c->OpenSession(u"127.0.0.1", h.Port(), u"c", u"pw"); }, false, cln::errBusy},
      {"chat to no peer", [&] { return c->SendChatMessage(12345, u"x"); }, false, errInvalidHandle},
      {"alert to handle 0", [&] { return c->SendAlertMessage(0, u"x"); }, false, errInvalidHandle},
      {"binary to no peer", [&] { return c->SendBinaryMessage(12345, array); }, false, errInvalidHandle},
      {"binary not an array", [&] { return c->SendBinaryMessage(0, notArray); }, false, errNotByteArray},
      {"binary to the host", [&] { return c->SendBinaryMessage(0, array); }, true, errNone},
      {"name of no peer", [&] { return !c->GetPeerName(-1).empty(); }, false, errInvalidHandle},
      {"moniker of no peer", [&] { return c->GetMoniker(7) != 0; }, false, errInvalidHandle},
  };
  for (const Case& k : open) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(k.call(), k.result);
    EXPECT_EQ(c->GetLastError(), k.error);
  }
}

TEST(EngineChecks, AFailedOpenLeavesTheTransportsCode) {
  THarness h;
  TClient& c = h.AddClient();
  EXPECT_FALSE(c->OpenSession(u"no-such-host.invalid", 1, u"c", u"pw"));
  EXPECT_NE(c->GetLastError(), errNone);
  EXPECT_EQ(c->GetSessionStatus(), cln::ssClosed);
  c->SetSocksServer(u"no-such-proxy.invalid");
  EXPECT_FALSE(c->OpenSession(u"127.0.0.1", h.Port(), u"c", u"pw"));
  EXPECT_EQ(c->GetLastError(), ReasonCode(crSocks));
  ASSERT_TRUE(h.Settle());
  EXPECT_TRUE(c.log.empty());
}

// --- Sessions and peers ----------------------------------------------------------------------

TEST(EngineSession, CloseWhileOpeningIsRejectedWithOne) {
  THarness h;
  TClient& c = h.AddClient();
  ASSERT_TRUE(c->OpenSession(u"127.0.0.1", h.Port(), u"c", u"pw"));
  ASSERT_TRUE(c->CloseSession());
  EXPECT_EQ(c.log, (std::vector<std::string>{"rejected 1"}));
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(c.log.size(), 1u);
  EXPECT_TRUE(h.Open(c, u"c"));  // and the engine opens again afterwards
}

TEST(EngineSession, AHandlerMayOpenANewSessionWhenTheOldOneEnded) {
  THarness h;
  ASSERT_TRUE(h.OpenMesh(2));
  TClient& c = h[1];
  // A lost connection: the handler of OnSessionClosed opens again at once.
  c->Events.OnSessionClosed = [&] {
    c.log.push_back("closed");
    c->OpenSession(u"127.0.0.1", h.Port(), u"c1", u"pw");
  };
  h.Server().DisconnectPeer(2);
  ASSERT_TRUE(h.Run([&] { return c.Count("open") == 2; }));
  ASSERT_TRUE(h.Run([&] { return c.connected.size() == 2; }));
  ASSERT_TRUE(c->SendChatMessage(c.connected.back(), u"again"));
  EXPECT_TRUE(h.Run([&] { return h[0].Saw("chat c1 again"); }));
  // A rejected login: the handler retries with the right password.
  TClient& d = h.AddClient();
  d->Events.OnSessionRejected = [&](int32_t code) {
    d.log.push_back("rejected " + std::to_string(code));
    if (d.Count("rejected") == 1) d->OpenSession(u"127.0.0.1", h.Port(), u"d", u"pw");
  };
  ASSERT_TRUE(d->OpenSession(u"127.0.0.1", h.Port(), u"d", u"wrong"));
  EXPECT_TRUE(h.Run([&] { return d.Saw("open"); }));
  EXPECT_EQ(d.log.front(), "rejected -11");
}

TEST(EngineSession, AHandleOutlivesItsPeerAndAReconnectGetsANewOne) {
  THarness h;
  ASSERT_TRUE(h.OpenMesh(2));
  TClient& a = h[0];
  const cln::TPeerHandle first = a.Handle(u"c1");
  a->SetMoniker(first, 77);
  ASSERT_TRUE(h[1]->CloseSession());
  ASSERT_TRUE(h.Run([&] { return a.Saw("disconnected c1"); }));
  EXPECT_EQ(a->GetPeerName(first), u"c1");
  EXPECT_EQ(a->GetLastError(), errNone);
  EXPECT_EQ(a->GetMoniker(first), 77);
  EXPECT_EQ(a->CheckPeer(first)->LinkState, cln::lsDisconnected);
  EXPECT_TRUE(a->DisconnectPeer(first));  // already disconnected: no second event
  EXPECT_EQ(a.Count("disconnected"), 1u);

  ASSERT_TRUE(h.Open(h[1], u"c1"));
  ASSERT_TRUE(h.Run([&] { return a.connected.size() == 2; }));
  const cln::TPeerHandle second = a.Handle(u"c1");
  EXPECT_GT(second, first);
  EXPECT_EQ(a->GetMoniker(second), 0);
  EXPECT_EQ(a->CheckPeer(first)->LinkState, cln::lsDisconnected);
  ASSERT_TRUE(a->SendChatMessage(second, u"back"));
  EXPECT_TRUE(h.Run([&] { return h[1].Saw("chat c0 back"); }));

}

TEST(EngineSession, AMessageSentJustBeforeADisconnectArrivesBeforeIt) {
  THarness h;
  ASSERT_TRUE(h.OpenMesh(2));
  ASSERT_TRUE(h[0]->SendChatMessage(h[0].Handle(u"c1"), u"bye"));
  ASSERT_TRUE(h[0]->DisconnectPeer(h[0].Handle(u"c1")));
  ASSERT_TRUE(h.Run([&] { return h[1].Saw("disconnected c0"); }));
  EXPECT_EQ(std::vector<std::string>(h[1].log.end() - 2, h[1].log.end()),
            (std::vector<std::string>{"chat c0 bye", "disconnected c0"}));
}

TEST(EngineSession, DisconnectPeerClosesTheTubeOnBothSides) {
  THarness h;
  ASSERT_TRUE(h.OpenMesh(3));
  ASSERT_TRUE(h[0]->DisconnectPeer(h[0].Handle(u"c1")));
  EXPECT_TRUE(h[0].Saw("disconnected c1"));
  EXPECT_TRUE(h.Run([&] { return h[1].Saw("disconnected c0"); }));
  // The session goes on with the third.
  ASSERT_TRUE(h[0]->SendAlertMessage(h[0].Handle(u"c2"), u"still here"));
  EXPECT_TRUE(h.Run([&] { return h[2].Saw("alert c0 still here"); }));
  EXPECT_FALSE(h[1].Saw("closed"));
}

// --- Messages ----------------------------------------------------------------------------------

TEST(EngineMessages, AlertsChatsAndBinaryReachTheirPeer) {
  THarness h;
  ASSERT_TRUE(h.OpenMesh(3));
  ASSERT_TRUE(h[0]->SendAlertMessage(h[0].Handle(u"c1"), u"héllo"));
  ASSERT_TRUE(h[0]->SendChatMessage(h[0].Handle(u"c2"), u""));
  ASSERT_TRUE(h[2]->SendBinaryMessage(h[2].Handle(u"c1"), Bytes(std::string("\0\xff", 2))));
  ASSERT_TRUE(h.Run([&] { return h[1].log.size() == 5 && h[2].log.size() == 4; }));
  EXPECT_TRUE(h[1].Saw("alert c0 héllo"));
  EXPECT_TRUE(h[1].Saw("binary c2 00ff"));
  EXPECT_TRUE(h[2].Saw("chat c0 "));
  EXPECT_EQ(h[0].log.size(), 3u);  // nothing came back to the sender
}

TEST(EngineMessages, BinaryToAndFromTheHostUsesHandleZero) {
  THarness h;
  ASSERT_TRUE(h.OpenMesh(1));
  ASSERT_TRUE(h[0]->SendBinaryMessage(0, Bytes("up")));
  ASSERT_TRUE(h.Run([&] { return !h.ServerLog().empty() && h.ServerLog().back().rfind("binary", 0) == 0; }));
  EXPECT_EQ(h.ServerLog().back(), "binary c0 7570");
  ASSERT_TRUE(h.Server().SendBinaryMessage(1, Bytes("down")));
  ASSERT_TRUE(h.Run([&] { return h[0].Count("binary") == 1; }));
  EXPECT_TRUE(h[0].Saw("binary 0 646f776e"));
  ASSERT_TRUE(h[0]->SendBinaryMessage(0, Bytes("")));  // an empty array is a message too
  EXPECT_TRUE(h.Run([&] { return h.ServerLog().back() == "binary c0 "; }));
}

TEST(EngineMessages, TalkAndFileCodesAreAcknowledgedAndRaiseNothingYet) {
  THarness h;
  ASSERT_TRUE(h.OpenMesh(2));
  cln::CMate& mate = h[1]->Mate();
  const cln::TTubeId tube = mate.Tubes()[0]->Id;
  const size_t before = h[0].log.size();
  for (int32_t channel : {100, 101, 102, 103, 104, 110, 120, 121, 150, 160, 166, 169, 171}) {
    mate.Send(tube, channel, TMessage().Int(1), true);
  }
  EXPECT_TRUE(h.Run([&] {
    for (int32_t channel : {100, 110, 121, 150, 169, 171})
      if (mate.CountPendingAcks(tube, channel) != 0) return false;
    return true;
  }));
  EXPECT_EQ(h[0].log.size(), before);
}

// --- Faults: bonds, stale tubes ------------------------------------------------------------------

TEST(EngineFaults, ABondIsOnceAndAClosedTubeRaisesNothingMore) {
  THarness h;
  TClient& a = h.AddClient();
  ASSERT_TRUE(h.Open(a, u"a"));
  TRawClient raw(h, u"raw");
  ASSERT_TRUE(h.Run([&] { return raw.PeerId(u"a") != 0; }));
  const int32_t toA = raw.PeerId(u"a");
  auto replies = [&] {
    return std::count_if(raw.bonds.begin(), raw.bonds.end(), [](auto& b) { return b.code == cln::BOND_REPLY; });
  };
  std::string chat;
  PutWideField(chat, u"hi");

  // Bonds once: a second request is answered, a reply changes nothing.
  for (int32_t code : {cln::BOND_REQUEST, cln::BOND_REQUEST, cln::BOND_REPLY})
    raw.SendRouted(code, IntToField(secNone), toA);
  ASSERT_TRUE(h.Run([&] { return replies() == 2; }));
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(a.connected.size(), 1u);
  EXPECT_EQ(a->PeerCount(), 1u);
  raw.SendRouted(1000 + cln::APP_CHAT, chat, toA);
  ASSERT_TRUE(h.Run([&] { return a.Saw("chat raw hi"); }));

  // The peer closes its tube: after OnPeerDisconnected nothing it sends is
  // delivered, and a late bond does not revive the tube.
  raw.SendRouted(cln::BOND_CLOSE, IntToField(1), toA);
  ASSERT_TRUE(h.Run([&] { return a.Saw("disconnected raw"); }));
  raw.SendRouted(1000 + cln::APP_CHAT, chat, toA);
  raw.SendRouted(cln::BOND_BINARY, StrToField("x"), toA);
  raw.SendRouted(cln::BOND_REQUEST, IntToField(secNone), toA);
  raw.SendRouted(cln::BOND_REPLY, {}, toA);
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(a.Count("chat"), 1u);
  EXPECT_EQ(a.Count("binary"), 0u);
  EXPECT_EQ(a.connected.size(), 1u);
  EXPECT_EQ(replies(), 2);
  EXPECT_EQ(a->Mate().Tubes()[0]->State, cln::tsClosed);
}

TEST(EngineFaults, AMessageThatOvertakesTheBondReplyBondsTheTubeInsteadOfBeingLost) {
  THarness h;
  TRawClient raw(h, u"raw");
  TClient& a = h.AddClient();
  ASSERT_TRUE(h.Open(a, u"a"));
  ASSERT_TRUE(h.Run([&] { return raw.PeerId(u"a") != 0; }));
  raw.SendCommand(CMD_INTRODUCE, IntToField(raw.PeerId(u"a")));
  ASSERT_TRUE(h.Run([&] { return !raw.bonds.empty(); }));
  ASSERT_EQ(raw.bonds[0].code, cln::BOND_REQUEST);
  // The existing peer bonded on the request and greets at once; its greeting
  // leaves before the reply.
  std::string chat;
  PutWideField(chat, u"welcome");
  raw.SendRouted(1000 + cln::APP_CHAT, chat, raw.PeerId(u"a"), true);
  raw.SendRouted(cln::BOND_REPLY, {}, raw.PeerId(u"a"));
  ASSERT_TRUE(h.Run([&] { return a.Saw("chat raw welcome"); }));
  ASSERT_TRUE(h.Settle());
  EXPECT_EQ(a.log, (std::vector<std::string>{"open", "connected raw", "chat raw welcome"}));
  EXPECT_EQ(raw.bonds.back().code, -(1000 + cln::APP_CHAT));
}

TEST(EngineFaults, ASendToAPurgedTubeIsTrueAndLeavesNothingBehind) {
  THarness h({.manualClock = true});
  ASSERT_TRUE(h.OpenMesh(3));
  TClient& a = h[0];
  const cln::TPeerHandle gone = a.Handle(u"c1");
  ASSERT_TRUE(h[1]->CloseSession());
  ASSERT_TRUE(h.Run([&] { return a.Saw("disconnected c1"); }));
  h.Clock().Advance(cln::CMate::kPurgeEveryMs);
  a->Mate().TimerTick();
  ASSERT_EQ(a->Mate().TubeCount(), 1u);

  EXPECT_TRUE(a->SendBinaryMessage(gone, Bytes("lost")));
  EXPECT_EQ(a->GetLastError(), errNone);
  EXPECT_EQ(a->Mate().Error(), cln::meInvalidTube);
  EXPECT_TRUE(a->SendChatMessage(gone, u"lost too"));
  ASSERT_TRUE(a->SendChatMessage(a.Handle(u"c2"), u"only this"));
  ASSERT_TRUE(h.Run([&] { return h[2].Count("chat") == 1; }));
  ASSERT_TRUE(h.Settle());
  EXPECT_TRUE(h[2].Saw("chat c0 only this"));
  EXPECT_EQ(h[2].Count("binary"), 0u);
}

// --- Destruction ---------------------------------------------------------------------------------

TEST(EngineLifetime, DestroyingWithASessionOpenFiresNothingAndOthersSeeItLeave) {
  THarness h;
  ASSERT_TRUE(h.OpenMesh(3));
  TClient& a = h[0];
  bool fired = false;
  a->Events.OnPeerDisconnected = [&](cln::TPeerHandle) { fired = true; };
  a->Events.OnSessionClosed = [&] { fired = true; };
  a.engine.reset();
  EXPECT_FALSE(fired);
  EXPECT_TRUE(h.Run([&] { return h[1].Saw("disconnected c0") && h[2].Saw("disconnected c0"); }));
}

// --- Helpers -------------------------------------------------------------------------------------

TEST(EngineHelpers, Int64HalvesAndTrimmedNames) {
  EXPECT_EQ(cln::Int64Lo((int64_t{1} << 32) + 5), 5);
  EXPECT_EQ(cln::Int64Hi((int64_t{1} << 32) + 5), 1);
  EXPECT_EQ(cln::Int64Lo(-1), -1);
  EXPECT_EQ(cln::Int64Hi(-1), -1);
  EXPECT_EQ(cln::Int64Hi(int64_t{0x7fffffff} << 32), 0x7fffffff);
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u" \t\\dir\\file.txt \r\n", u"dir\\file.txt"},
      {u"\\\\server\\share", u"\\server\\share"},
      {u"plain", u"plain"},
      {u" \\ ", u""},
      {u"", u""},
  };
  for (auto& [in, out] : cases) EXPECT_EQ(cln::TrimLeadingBackslash(in), out);
}

// --- Media seams ---------------------------------------------------------------------------------

namespace {

// Fakes that write down what the engine asked of them.
struct TMediaLog {
  std::vector<std::string> lines;
};

class TFakeRecorder final : public cln::IRecorder {
 public:
  explicit TFakeRecorder(TMediaLog& log) : log_(log) {}
  ~TFakeRecorder() override { log_.lines.push_back("recorder freed"); }
  bool Start() override { return true; }
  bool Stop() override { return true; }
  int32_t GetDeviceIndex() const override { return 0; }
  void SetDeviceIndex(int32_t) override {}
  int32_t DeviceCount() override { return 0; }
  std::string DeviceName(int32_t) override { return {}; }
  bool GetMuted() const override { return false; }
  void SetMuted(bool) override {}
  int32_t GetThreshold() const override { return threshold_; }
  void SetThreshold(int32_t t) override {
    threshold_ = t;
    log_.lines.push_back("threshold " + std::to_string(t));
  }

 private:
  TMediaLog& log_;
  int32_t threshold_ = 0;
};

class TFakeEncoder final : public cln::IVideoEncoder {
 public:
  explicit TFakeEncoder(TMediaLog& log) : log_(log) {}
  void SetQuality(int32_t q) override { log_.lines.push_back("quality " + std::to_string(q)); }
  std::span<const uint8_t> Encode(win32::Bitmap&, bool) override { return {}; }

 private:
  TMediaLog& log_;
};

class TFakeMedia final : public cln::TMediaFactory {
 public:
  explicit TFakeMedia(TMediaLog& log) : log_(log) {}
  std::unique_ptr<cln::IRecorder> CreateRecorder() override { return std::make_unique<TFakeRecorder>(log_); }
  std::unique_ptr<cln::IVideoEncoder> CreateEncoder() override { return std::make_unique<TFakeEncoder>(log_); }

 private:
  TMediaLog& log_;
};

}  // namespace

TEST(EngineMedia, TheFactoryMakesTheMediaAndTheSettingsReachThem) {
  TMediaLog log;
  auto engine = std::make_unique<cln::TTWParleyCln>(std::make_shared<TFakeMedia>(log));
  EXPECT_EQ(log.lines, (std::vector<std::string>{"threshold 2", "quality 3"}));
  log.lines.clear();
  engine->SetNoiseLevel(-1);  // stored and forwarded unchecked
  for (int32_t q : {0, 6, 5}) engine->SetFrameQuality(q);
  EXPECT_EQ(engine->GetNoiseLevel(), -1);
  EXPECT_EQ(engine->GetFrameQuality(), 5);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"threshold -1", "quality 5"}));
  int started = 0;
  engine->SetOnStartRecording([&] { ++started; });
  engine->Recorder().Events.OnTalkStart();
  EXPECT_EQ(started, 1);
  log.lines.clear();
  engine.reset();
  EXPECT_EQ(log.lines, (std::vector<std::string>{"recorder freed"}));
}
