// The talk unit against the real server engine, with fake media that write
// down what the engine asked of them: every transition of the talk states
// (against bare peers that say exactly what a test tells them), the talk
// scenarios among real engines, flow control towards a peer that never
// acknowledges, mute, key frames on a test clock, and what a misbehaving
// peer or a failing codec can no longer do.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "client_harness.h"
#include "media_fakes.h"
#include "server/mHub.h"
#include "talk_rig.h"
#include "transport/twTools.h"
#include "video/mCBitmap.h"
#include "video/mVienco.h"

using namespace tw;
using namespace tw::test;
namespace cln = tw::cln;

namespace {

// Engine "a" with fake media, and two bare peers "r1" and "r2" bonded with
// it that never acknowledge anything.
class TalkRig {
 public:
  explicit TalkRig(THarnessOptions options = {}, bool loggingEncoder = false)
      : h(options), a(h.AddClient(std::make_shared<TFakeMedia>(media, loggingEncoder))) {
    WatchTalks(a, [this](cln::TPeerHandle p, bool& okay, bool&, bool&) {
      seenInHandler = a->GetTalkState(p);
      if (inInvite) inInvite(okay);
    });
    EXPECT_TRUE(h.Open(a, u"a"));
    r1 = Bond(u"r1");
    r2 = Bond(u"r2");
    p1 = a.Handle(u"r1");
    p2 = a.Handle(u"r2");
  }

  std::unique_ptr<TRawClient> Bond(const std::u16string& name) {
    auto r = std::make_unique<TRawClient>(h, name);
    EXPECT_TRUE(h.Run([&] { return r->PeerId(u"a") != 0; }));
    r->SendRouted(cln::BOND_REQUEST, IntToField(secNone), r->PeerId(u"a"));
    EXPECT_TRUE(h.Run([&] { return a.Handle(name) != 0; }));
    return r;
  }

  // `r` sends `channel` to a.
  void Say(TRawClient& r, int32_t channel, std::string body = {}) {
    r.SendRouted(channel + sackAppBase, std::move(body), r.PeerId(u"a"));
  }
  void SayCode(TRawClient& r, int32_t channel, int32_t code) { Say(r, channel, IntToField(code)); }

  // The application messages `r` got from a from bond `from` on: "100",
  // "102 30", "110 <size>" for audio and frames.
  static std::vector<std::string> Heard(const TRawClient& r, size_t from = 0) {
    std::vector<std::string> out;
    for (size_t i = from; i < r.bonds.size(); ++i) {
      const auto& b = r.bonds[i];
      if (b.code < sackAppBase) continue;
      const int32_t channel = b.code - sackAppBase;
      std::string body = b.body;
      std::string line = std::to_string(channel);
      if (channel == cln::APP_AUDIO || channel == cln::APP_FRAME)
        line += " " + std::to_string(ReadStrField(body).size());
      else if (!body.empty())
        line += " " + std::to_string(ReadIntField(body));
      out.push_back(line);
    }
    return out;
  }
  static size_t Count(const TRawClient& r, int32_t channel) {
    return static_cast<size_t>(std::count_if(r.bonds.begin(), r.bonds.end(),
                                             [&](const auto& b) { return b.code == channel + sackAppBase; }));
  }

  // a calls r1 (state 1), or talks with it (state 2).
  void Reach(uint8_t state) {
    if (state == cln::tkIdle || state == cln::tkInvited) return;
    ASSERT_TRUE(a->BeginTalk(p1, true, true));
    ASSERT_TRUE(h.Run([&] { return Count(*r1, cln::APP_TALK_INVITE) == 1; }));
    if (state == cln::tkCalling) return;
    Say(*r1, cln::APP_TALK_ACCEPT);
    ASSERT_TRUE(h.Run([&] { return a->GetTalkState(p1) == cln::tkTalking; }));
  }

  // r1 invites a; `inside` runs in a's handler and sets its answer.
  void InvitedBy(TRawClient& r, std::function<void(bool& okay)> inside) {
    inInvite = std::move(inside);
    Say(r, cln::APP_TALK_INVITE);
    // Reads the state without touching LastError.
    EXPECT_TRUE(h.Run([&] { return seenInHandler >= 0 && a->CheckPeer(p1)->Talk.State != cln::tkInvited; }));
  }

  TMediaLog media;  // outlives the engine whose fakes write into it
  THarness h;
  TClient& a;
  std::unique_ptr<TRawClient> r1, r2;
  cln::TPeerHandle p1 = 0, p2 = 0;
  std::function<void(bool& okay)> inInvite;
  int32_t seenInHandler = -1;
};

// --- The transition table ----------------------------------------------------------------------

struct TTransition {
  const char* name;
  uint8_t from;               // a's state for r1 before the event
  void (*event)(TalkRig&);
  bool second;                // the row watches r2 instead of r1
  uint8_t to;                 // a's state for the watched peer afterwards
  std::vector<std::string> events;  // a's talk events
  std::vector<std::string> sent;    // what the watched peer heard from a
};

void PrintTo(const TTransition& t, std::ostream* os) { *os << t.name; }

void Refuse(bool& okay) { okay = false; }
void AcceptIt(bool& okay) { okay = true; }

const TTransition kTransitions[] = {
    {"BeginTalk", 0, [](TalkRig& r) { EXPECT_TRUE(r.a->BeginTalk(r.p1, true, true)); }, false, 1, {}, {"100"}},
    {"InvitationAccepted", 3, [](TalkRig& r) { r.InvitedBy(*r.r1, AcceptIt); }, false, 2,
     {"invited r1", "began r1"}, {"101"}},
    {"InvitationRefused", 3, [](TalkRig& r) { r.InvitedBy(*r.r1, Refuse); }, false, 0,
     {"invited r1", "error 1"}, {"102 1"}},
    {"InvitationAcceptedMediaFail", 3,
     [](TalkRig& r) {
       r.media.failCapture = true;
       r.InvitedBy(*r.r1, AcceptIt);
       EXPECT_EQ(r.a->GetLastError(), cln::errMediaFailed);
     },
     false, 0, {"invited r1"}, {"102 50"}},
    {"CalleeAccepts", 1, [](TalkRig& r) { r.Say(*r.r1, cln::APP_TALK_ACCEPT); }, false, 2, {"began r1"}, {}},
    {"CalleeRefuses", 1, [](TalkRig& r) { r.SayCode(*r.r1, cln::APP_TALK_REFUSE, 7); }, false, 0,
     {"refused r1 7"}, {}},
    {"EndTalkWhileCalling", 1, [](TalkRig& r) { r.a->EndTalk(); }, false, 0, {"refused r1 1"}, {"103"}},
    {"EndWhileCalling", 1, [](TalkRig& r) { r.Say(*r.r1, cln::APP_TALK_END); }, false, 0, {"refused r1 1"}, {}},
    {"DisconnectWhileCalling", 1, [](TalkRig& r) { r.a->DisconnectPeer(r.p1); }, false, 0,
     {"refused r1 1", "disconnected r1"}, {}},
    {"JoinNamingAnIdlePeer", 2,
     [](TalkRig& r) { r.SayCode(*r.r1, cln::APP_TALK_JOIN, r.r1->PeerId(u"r2")); }, true, 2, {"joined r2"}, {"101"}},
    // Having just accepted r1's invitation, a hears from r1's other talkers.
    {"AcceptFromAJoiningPeer", 0,
     [](TalkRig& r) {
       r.InvitedBy(*r.r1, AcceptIt);
       r.Say(*r.r2, cln::APP_TALK_ACCEPT);
     },
     true, 2, {"invited r1", "began r1", "began r2"}, {}},
    {"EndTalkWhileTalking", 2, [](TalkRig& r) { r.a->EndTalk(); }, false, 0, {"ended r1"}, {"103"}},
    {"EndWhileTalking", 2, [](TalkRig& r) { r.Say(*r.r1, cln::APP_TALK_END); }, false, 0, {"ended r1"}, {}},
    {"DisconnectWhileTalking", 2, [](TalkRig& r) { r.a->DisconnectPeer(r.p1); }, false, 0,
     {"ended r1", "disconnected r1"}, {}},
    // The invitation ends inside the handler: the container hears of it once.
    {"EndWhileInvited", 3,
     [](TalkRig& r) {
       r.InvitedBy(*r.r1, [&r](bool& okay) {
         r.Say(*r.r1, cln::APP_TALK_END);
         EXPECT_TRUE(r.h.Run([&] { return r.a->GetTalkState(r.p1) == cln::tkIdle; }));
         okay = true;
       });
     },
     false, 0, {"invited r1", "ended r1"}, {}},
    {"DisconnectWhileInvited", 3,
     [](TalkRig& r) {
       r.InvitedBy(*r.r1, [&r](bool& okay) {
         r.a->DisconnectPeer(r.p1);
         okay = true;
       });
     },
     false, 0, {"invited r1", "ended r1", "disconnected r1"}, {}},
    {"InviteWhileCalling", 1, [](TalkRig& r) { r.Say(*r.r1, cln::APP_TALK_INVITE); }, false, 1, {}, {"102 30"}},
    {"InviteWhileTalking", 2, [](TalkRig& r) { r.Say(*r.r1, cln::APP_TALK_INVITE); }, false, 2, {}, {"102 30"}},
    // What a peer outside the protocol can no longer do.
    {"AcceptFromAPeerNeverInvited", 0, [](TalkRig& r) { r.Say(*r.r1, cln::APP_TALK_ACCEPT); }, false, 0, {},
     {"103"}},
    // a called r1 itself: nobody was told to join a.
    {"AcceptFromAStrangerWhileTalking", 2, [](TalkRig& r) { r.Say(*r.r2, cln::APP_TALK_ACCEPT); }, true, 0, {},
     {"103"}},
    {"AcceptFromAJoiningPeerMediaFail", 0,
     [](TalkRig& r) {
       r.InvitedBy(*r.r1, AcceptIt);
       r.media.failPlayer = true;
       r.Say(*r.r2, cln::APP_TALK_ACCEPT);
     },
     true, 0, {"invited r1", "began r1"}, {"103"}},
    {"AcceptFromAStrangerWhileCalling", 1, [](TalkRig& r) { r.Say(*r.r2, cln::APP_TALK_ACCEPT); }, true, 0, {},
     {"103"}},
    {"JoinNamingADisconnectedPeer", 2,
     [](TalkRig& r) {
       r.a->DisconnectPeer(r.p2);
       r.SayCode(*r.r1, cln::APP_TALK_JOIN, r.r1->PeerId(u"r2"));
     },
     true, 0, {"disconnected r2"}, {}},
    {"RepeatedAccept", 2, [](TalkRig& r) { r.Say(*r.r1, cln::APP_TALK_ACCEPT); }, false, 2, {}, {}},
    {"JoinFromAPeerNotTalking", 0,
     [](TalkRig& r) { r.SayCode(*r.r1, cln::APP_TALK_JOIN, r.r1->PeerId(u"r2")); }, true, 0, {}, {}},
    {"RefuseFromAPeerNotCalled", 1, [](TalkRig& r) { r.SayCode(*r.r2, cln::APP_TALK_REFUSE, 1); }, false, 1, {},
     {}},
    {"RefuseFromATalker", 2, [](TalkRig& r) { r.SayCode(*r.r1, cln::APP_TALK_REFUSE, 1); }, false, 2, {}, {}},
    // Refusing another invitation leaves the call in progress and its media alone.
    {"RefusingAnotherWhileCalling", 1,
     [](TalkRig& r) {
       r.inInvite = Refuse;
       r.Say(*r.r2, cln::APP_TALK_INVITE);
       EXPECT_TRUE(r.h.Run([&] { return r.a.Saw("error 1"); }));
     },
     false, 1, {"invited r2", "error 1"}, {}},
};

class TalkTransitions : public ::testing::TestWithParam<TTransition> {};

TEST_P(TalkTransitions, FollowTheTable) {
  const TTransition& row = GetParam();
  TalkRig rig;
  ASSERT_NE(rig.p2, 0);
  rig.Reach(row.from);
  const size_t events = rig.a.log.size();
  TRawClient& watched = row.second ? *rig.r2 : *rig.r1;
  const cln::TPeerHandle peer = row.second ? rig.p2 : rig.p1;
  const size_t heard = watched.bonds.size();

  row.event(rig);
  rig.h.Run([&] {
    return TalkEvents(rig.a, events).size() >= row.events.size() &&
           TalkRig::Heard(watched, heard).size() >= row.sent.size();
  });
  ASSERT_TRUE(rig.h.Settle());

  EXPECT_EQ(TalkEvents(rig.a, events), row.events);
  EXPECT_EQ(TalkRig::Heard(watched, heard), row.sent);
  EXPECT_EQ(rig.a->GetTalkState(peer), row.to);
  if (row.from == cln::tkInvited) {
    EXPECT_EQ(rig.seenInHandler, cln::tkInvited);
  }
  // The recorder and capture run exactly while a call or a talk exists; a
  // player and a decoder exist for each peer called or talked with (and the
  // engine's own never-started player).
  const bool inUse = rig.a->GetTalkCount() > 0 || rig.a->GetCaller() != 0;
  EXPECT_EQ(rig.media.recording, inUse);
  EXPECT_EQ(rig.media.capturing, inUse);
  int withMedia = 0;
  for (cln::TPeerHandle p : {rig.p1, rig.p2}) {
    const int32_t state = rig.a->GetTalkState(p);
    withMedia += state == cln::tkCalling || state == cln::tkTalking;
  }
  EXPECT_EQ(rig.media.players, 1 + withMedia);
  EXPECT_EQ(rig.media.decoders, withMedia);
}

INSTANTIATE_TEST_SUITE_P(Talks, TalkTransitions, ::testing::ValuesIn(kTransitions),
                         [](const auto& row) { return std::string(row.param.name); });

// --- Scenarios among real engines ----------------------------------------------------------------

// Three engines with fake media, each watched.
struct Trio {
  explicit Trio(size_t n = 3) {
    for (size_t i = 0; i < n; ++i) {
      logs.push_back(std::make_unique<TMediaLog>());
      h.AddClient(std::make_shared<TFakeMedia>(*logs.back()));
    }
    EXPECT_TRUE(h.OpenMesh(n));
    for (size_t i = 0; i < n; ++i) WatchTalks(h[i], Accept());
  }
  cln::TPeerHandle H(size_t at, size_t of) { return h[at].Handle(u"c" + win32::Utf8ToUtf16(std::to_string(of))); }
  std::vector<std::unique_ptr<TMediaLog>> logs;  // outlive the engines
  THarness h;
};

TEST(TalkScenarios, AcceptedInvitationGivesEachSideOneTalker) {
  Trio t(2);
  ASSERT_TRUE(t.h[0]->BeginTalk(t.H(0, 1), true, true));
  EXPECT_EQ(t.h[0]->GetCaller(), t.H(0, 1));
  ASSERT_TRUE(t.h.Run([&] { return t.h[0].Saw("began c1") && t.h[1].Saw("began c0"); }));
  EXPECT_EQ(TalkEvents(t.h[1]), (std::vector<std::string>{"invited c0", "began c0"}));
  for (size_t i : {0u, 1u}) {
    EXPECT_EQ(t.h[i]->GetTalkCount(), 1);
    EXPECT_EQ(t.h[i]->GetTalker(0), t.H(i, 1 - i));
    EXPECT_EQ(t.h[i]->GetTalker(1), 0);
    EXPECT_EQ(t.h[i]->GetCaller(), 0);
    EXPECT_TRUE(t.h[i]->AudioActive());
    EXPECT_TRUE(t.h[i]->VideoActive());
  }
}

TEST(TalkScenarios, RefusedInvitationTellsBothSides) {
  Trio t(2);
  WatchTalks(t.h[1]);  // leaves aOkay false
  ASSERT_TRUE(t.h[0]->BeginTalk(t.H(0, 1), true, false));
  ASSERT_TRUE(t.h.Run([&] { return t.h[0].Saw("refused c1 1"); }));
  EXPECT_EQ(TalkEvents(t.h[1]), (std::vector<std::string>{"invited c0", "error 1"}));
  EXPECT_EQ(t.h[0]->GetCaller(), 0);
  EXPECT_EQ(t.h[0]->GetTalkCount(), 0);
  EXPECT_FALSE(t.logs[0]->recording);
}

TEST(TalkScenarios, CrossedInvitationsAreRefusedBusyOnBothSides) {
  Trio t(2);
  ASSERT_TRUE(t.h[0]->BeginTalk(t.H(0, 1), true, true));
  ASSERT_TRUE(t.h[1]->BeginTalk(t.H(1, 0), true, true));
  ASSERT_TRUE(t.h.Run([&] { return t.h[0].Saw("refused c1 30") && t.h[1].Saw("refused c0 30"); }));
  ASSERT_TRUE(t.h.Settle());
  for (size_t i : {0u, 1u}) {
    EXPECT_EQ(TalkEvents(t.h[i]).size(), 1u);  // no invitation reached a handler
    EXPECT_EQ(t.h[i]->GetTalkState(t.H(i, 1 - i)), cln::tkIdle);
  }
}

TEST(TalkScenarios, ACalleeThatAcceptsJoinsEveryTalkerOfTheInviter) {
  Trio t;
  ASSERT_TRUE(t.h[0]->BeginTalk(t.H(0, 1), true, true));
  ASSERT_TRUE(t.h.Run([&] { return t.h[0].Saw("began c1"); }));
  ASSERT_TRUE(t.h[0]->BeginTalk(t.H(0, 2), true, true));
  ASSERT_TRUE(t.h.Run([&] { return t.h[2].Saw("began c1") && t.h[2].Saw("began c0"); }));
  EXPECT_TRUE(t.h[1].Saw("joined c2"));
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(t.h[i]->GetTalkCount(), 2) << i;
    EXPECT_EQ(t.logs[i]->players, 3) << i;  // one per talker and the engine's own
  }
  // One leaves: the others keep talking with each other.
  t.h[2]->EndTalk();
  ASSERT_TRUE(t.h.Run([&] { return t.h[0].Saw("ended c2") && t.h[1].Saw("ended c2"); }));
  EXPECT_EQ(t.h[0]->GetTalkCount(), 1);
  EXPECT_EQ(t.h[1]->GetTalkCount(), 1);
  EXPECT_TRUE(t.logs[0]->recording);
  EXPECT_FALSE(t.logs[2]->recording);
}

TEST(TalkScenarios, AnInviteeAlreadyTalkingDoesNotJoinItsPartnerToTheInviter) {
  Trio t;
  ASSERT_TRUE(t.h[1]->BeginTalk(t.H(1, 2), true, true));
  ASSERT_TRUE(t.h.Run([&] { return t.h[1].Saw("began c2"); }));
  ASSERT_TRUE(t.h[0]->BeginTalk(t.H(0, 1), true, true));
  ASSERT_TRUE(t.h.Run([&] { return t.h[0].Saw("began c1"); }));
  ASSERT_TRUE(t.h.Settle());
  EXPECT_EQ(t.h[1]->GetTalkCount(), 2);
  EXPECT_EQ(t.h[0]->GetTalkCount(), 1);
  EXPECT_EQ(t.h[2]->GetTalkCount(), 1);
  EXPECT_EQ(t.h[0]->GetTalkState(t.H(0, 2)), cln::tkIdle);
}

TEST(TalkScenarios, EndTalkWhileCallingWithdrawsTheInvitationInsideTheCalleesHandler) {
  Trio t(2);
  WatchTalks(t.h[1], [&](cln::TPeerHandle from, bool& okay, bool&, bool&) {
    t.h[0]->EndTalk();  // the caller gives up while the callee is asked
    EXPECT_TRUE(t.h.Run([&] { return t.h[1]->GetTalkState(from) == cln::tkIdle; }));
    okay = true;
  });
  ASSERT_TRUE(t.h[0]->BeginTalk(t.H(0, 1), true, true));
  ASSERT_TRUE(t.h.Run([&] { return t.h[1].Saw("ended c0"); }));
  ASSERT_TRUE(t.h.Settle());
  EXPECT_EQ(TalkEvents(t.h[0]), (std::vector<std::string>{"refused c1 1"}));
  EXPECT_EQ(TalkEvents(t.h[1]), (std::vector<std::string>{"invited c0", "ended c0"}));
  EXPECT_FALSE(t.logs[0]->recording);
  EXPECT_FALSE(t.logs[1]->recording);
}

TEST(TalkScenarios, BeginTalkChecksInOrder) {
  Trio t(2);
  ASSERT_FALSE(t.h[0]->BeginTalk(12345, true, true));
  EXPECT_EQ(t.h[0]->GetLastError(), cln::errInvalidHandle);
  EXPECT_EQ(t.h[0]->GetTalkState(12345), 0);
  EXPECT_EQ(t.h[0]->GetLastError(), cln::errInvalidHandle);
  t.logs[0]->failPlayer = true;
  ASSERT_FALSE(t.h[0]->BeginTalk(t.H(0, 1), true, true));
  EXPECT_EQ(t.h[0]->GetLastError(), cln::errMediaFailed);
  EXPECT_EQ(t.logs[0]->players, 1);
  t.logs[0]->failPlayer = false;
  ASSERT_TRUE(t.h[0]->BeginTalk(t.H(0, 1), true, true));
  ASSERT_FALSE(t.h[0]->BeginTalk(t.H(0, 1), true, true));
  EXPECT_EQ(t.h[0]->GetLastError(), cln::errBusy);
  ASSERT_TRUE(t.h.Run([&] { return t.h[0]->GetTalkCount() == 1; }));
  const cln::TPeerHandle gone = t.H(0, 1);
  t.h[0]->DisconnectPeer(gone);
  ASSERT_FALSE(t.h[0]->BeginTalk(gone, true, true));
  EXPECT_EQ(t.h[0]->GetLastError(), cln::errWrongState);
}

TEST(TalkScenarios, EachCalleeThatAcceptsCompletesTheMeshOfFour) {
  Trio t(4);
  for (size_t callee = 1; callee < 4; ++callee) {
    ASSERT_TRUE(t.h[0]->BeginTalk(t.H(0, callee), true, false));
    ASSERT_TRUE(t.h.Run([&] {
      for (size_t i = 0; i <= callee; ++i)
        if (t.h[i]->GetTalkCount() != static_cast<int32_t>(callee)) return false;
      return true;
    })) << callee;
  }
  ASSERT_TRUE(t.h.Settle());
  // Every client sends one voice packet; every other one plays it.
  const std::string voice = Str(120);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(t.h[i]->GetTalkCount(), 3) << i;
    EXPECT_EQ(t.h[i].Count("ended "), 0u) << i;
    t.h[i]->Recorder().Events.OnPacket(Bytes(voice));
  }
  EXPECT_TRUE(t.h.Run([&] {
    return std::all_of(t.logs.begin(), t.logs.end(), [](const auto& l) { return l->played.size() == 3; });
  }));
}

// A calls B and then C (A's join links B and C); B then calls D (B's join
// links D with A and C). Every pair carries voice and frames both ways.
TEST(TalkScenarios, TwoInvitersBuildTheMeshOfFour) {
  Trio t(4);
  // `from` calls `to`: then each of `members` talks with all the others.
  auto call = [&](size_t from, size_t to, std::vector<size_t> members) {
    return t.h[from]->BeginTalk(t.H(from, to), true, true) && t.h.Run([&] {
      return std::all_of(members.begin(), members.end(), [&](size_t i) {
        return t.h[i]->GetTalkCount() == static_cast<int32_t>(members.size() - 1);
      });
    });
  };
  ASSERT_TRUE(call(0, 1, {0, 1}));
  ASSERT_TRUE(call(0, 2, {0, 1, 2}));
  ASSERT_TRUE(call(1, 3, {0, 1, 2, 3}));
  ASSERT_TRUE(t.h.Settle());
  EXPECT_TRUE(t.h[3].Saw("began c0") && t.h[3].Saw("began c2"));
  EXPECT_TRUE(t.h[0].Saw("joined c3") && t.h[2].Saw("joined c3"));

  // Each sends a voice packet of its own size and one frame; each plays and
  // shows those of the three others.
  std::vector<std::vector<cln::TPeerHandle>> shown(4);
  for (size_t i = 0; i < 4; ++i)
    t.h[i]->Events.OnRemoteFrame = [&shown, i](cln::TPeerHandle from, cln::TBytes) { shown[i].push_back(from); };
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(t.h[i].Count("ended "), 0u) << i;
    t.h[i]->Recorder().Events.OnPacket(Bytes(Str(100 + i)));
    t.h[i]->Capture().OnFrame(Picture(64, 48, static_cast<uint8_t>(i)));
    t.h[i]->TimerTick();
  }
  ASSERT_TRUE(t.h.Run([&] {
    return std::all_of(t.logs.begin(), t.logs.end(), [](const auto& l) { return l->played.size() == 3; }) &&
           std::all_of(shown.begin(), shown.end(), [](const auto& s) { return s.size() == 3; });
  }));
  for (size_t i = 0; i < 4; ++i) {
    std::vector<size_t> sizes;
    std::vector<cln::TPeerHandle> others;
    for (size_t j = 0; j < 4; ++j)
      if (j != i) {
        sizes.push_back(100 + j);
        others.push_back(t.H(i, j));
      }
    std::vector<size_t> played = t.logs[i]->played;
    std::sort(played.begin(), played.end());
    std::sort(shown[i].begin(), shown[i].end());
    std::sort(others.begin(), others.end());
    EXPECT_EQ(played, sizes) << i;
    EXPECT_EQ(shown[i], others) << i;
  }
}

// A peer that keeps sending accepts nobody asked for, and one that bonds
// only after a accepted r1's invitation, are each told the talk ended: the
// container was asked about r1 alone, and a's voice and frames go to r1
// alone.
TEST(TalkJoins, NeitherAnAcceptSpammerNorALateComerJoinsATalkTheVictimAccepted) {
  TalkRig rig;
  for (int i = 0; i < 3; ++i) rig.Say(*rig.r2, cln::APP_TALK_ACCEPT);
  ASSERT_TRUE(rig.h.Run([&] { return TalkRig::Count(*rig.r2, cln::APP_TALK_END) == 3; }));
  rig.InvitedBy(*rig.r1, AcceptIt);
  ASSERT_EQ(rig.a->GetTalkState(rig.p1), cln::tkTalking);
  rig.Say(*rig.r2, cln::APP_TALK_ACCEPT);
  std::unique_ptr<TRawClient> r3 = rig.Bond(u"r3");
  rig.Say(*r3, cln::APP_TALK_ACCEPT);
  ASSERT_TRUE(rig.h.Run([&] {
    return TalkRig::Count(*rig.r2, cln::APP_TALK_END) == 4 && TalkRig::Count(*r3, cln::APP_TALK_END) == 1;
  }));

  rig.a->Recorder().Events.OnPacket(Bytes(Str(100)));
  rig.a->Capture().OnFrame(Picture(64, 48, 5));
  rig.a->TimerTick();
  ASSERT_TRUE(rig.h.Run([&] {
    return TalkRig::Count(*rig.r1, cln::APP_AUDIO) == 1 && TalkRig::Count(*rig.r1, cln::APP_FRAME) == 1;
  }));
  ASSERT_TRUE(rig.h.Settle());
  EXPECT_EQ(TalkRig::Heard(*rig.r2), std::vector<std::string>(4, "103"));
  EXPECT_EQ(TalkRig::Heard(*r3), std::vector<std::string>{"103"});
  EXPECT_EQ(TalkEvents(rig.a), (std::vector<std::string>{"invited r1", "began r1"}));
  EXPECT_EQ(rig.a->GetTalkCount(), 1);
}

// Who else may join a talk, and the bound on its size: talk_unit_test.cpp.

// --- Where the talk unit differs from a plain reading, on purpose --------------------------------

// The answer to an invitation sets the media of a talk that has no talkers
// yet, even while a call of a's own is pending.
TEST(TalkChoices, AnInvitationAcceptedDuringACallTakesTheHandlersMediaChoice) {
  TalkRig rig;
  ASSERT_TRUE(rig.a->BeginTalk(rig.p2, true, false));
  ASSERT_TRUE(rig.media.recording);
  ASSERT_FALSE(rig.media.capturing);
  rig.a->Events.OnTalkInvited = [](cln::TPeerHandle, bool& okay, bool& audio, bool& video) {
    okay = true;
    audio = false;
    video = true;
  };
  rig.Say(*rig.r1, cln::APP_TALK_INVITE);
  ASSERT_TRUE(rig.h.Run([&] { return rig.a->GetTalkCount() == 1; }));
  EXPECT_FALSE(rig.a->AudioActive());
  EXPECT_TRUE(rig.a->VideoActive());
  EXPECT_FALSE(rig.media.recording);
  EXPECT_TRUE(rig.media.capturing);
  rig.a->Capture().OnFrame(Picture(64, 48, 5));
  rig.a->TimerTick();
  EXPECT_TRUE(rig.h.Run([&] { return TalkRig::Count(*rig.r1, cln::APP_FRAME) == 1; }));
  EXPECT_EQ(rig.a->GetCaller(), rig.p2);
}

// A talk's media go before the container hears that it ended, so a handler
// that calls the same peer again keeps what its new call started.
TEST(TalkChoices, ACallMadeWhenATalkEndsKeepsItsMedia) {
  TalkRig rig;
  rig.Reach(cln::tkTalking);
  rig.a->Events.OnTalkEnded = [&](cln::TPeerHandle h) { EXPECT_TRUE(rig.a->BeginTalk(h, true, true)); };
  rig.Say(*rig.r1, cln::APP_TALK_END);
  ASSERT_TRUE(rig.h.Run([&] { return rig.a->GetCaller() == rig.p1; }));
  EXPECT_EQ(rig.media.players, 2);
  EXPECT_EQ(rig.media.decoders, 1);
  EXPECT_TRUE(rig.media.recording);
  EXPECT_TRUE(rig.media.capturing);
}

// The recorder and capture serve a pending call too: the last talker
// leaving does not take them from the call.
TEST(TalkChoices, TheLastTalkerLeavingDuringACallLeavesTheCallItsMedia) {
  TalkRig rig;
  rig.Reach(cln::tkTalking);
  ASSERT_TRUE(rig.a->BeginTalk(rig.p2, true, true));
  rig.Say(*rig.r1, cln::APP_TALK_END);
  ASSERT_TRUE(rig.h.Run([&] { return rig.a->GetTalkCount() == 0; }));
  EXPECT_TRUE(rig.media.recording);
  EXPECT_TRUE(rig.media.capturing);
  rig.Say(*rig.r2, cln::APP_TALK_ACCEPT);
  ASSERT_TRUE(rig.h.Run([&] { return rig.a->GetTalkCount() == 1; }));
  const std::string voice = Str(100);
  rig.a->Recorder().Events.OnPacket(Bytes(voice));
  EXPECT_TRUE(rig.h.Run([&] { return TalkRig::Count(*rig.r2, cln::APP_AUDIO) == 1; }));
}

// --- Audio and video flow ------------------------------------------------------------------------

// a talks with engine c1 and with bare peer r1, which never acknowledges.
struct SlowTalker {
  SlowTalker() : b(rig.h.AddClient(std::make_shared<TFakeMedia>(bMedia))) {
    WatchTalks(b, Accept());
    EXPECT_TRUE(rig.h.Open(b, u"b"));
    EXPECT_TRUE(rig.h.Run([&] { return rig.a.Handle(u"b") != 0 && b.Handle(u"a") != 0; }));
    EXPECT_TRUE(rig.a->BeginTalk(rig.a.Handle(u"b"), true, true));
    EXPECT_TRUE(rig.h.Run([&] { return rig.a.Saw("began b"); }));
    rig.InvitedBy(*rig.r1, AcceptIt);
    EXPECT_EQ(rig.a->GetTalkCount(), 2);
    bTube = rig.a->CheckPeer(rig.a.Handle(u"b"))->Tube;
  }
  // Waits until b acknowledged everything of `channel`.
  bool Drained(int32_t channel) {
    return rig.h.Run([&] { return rig.a->Mate().CountPendingAcks(bTube, channel) == 0; });
  }
  TMediaLog bMedia;
  TalkRig rig;
  TClient& b;
  cln::TTubeId bTube = 0;
};

TEST(TalkFlow, APeerThatNeverAcknowledgesGets33AudioMessagesWhileOthersGetEverything) {
  SlowTalker s;
  const std::string packet = Str(100);
  for (int batch = 0; batch < 2; ++batch) {
    for (int i = 0; i < 20; ++i) s.rig.a->Recorder().Events.OnPacket(cln::TBytes(
        reinterpret_cast<const uint8_t*>(packet.data()), packet.size()));
    ASSERT_TRUE(s.Drained(cln::APP_AUDIO));
  }
  ASSERT_TRUE(s.rig.h.Run([&] { return s.bMedia.played.size() == 40; }));
  ASSERT_TRUE(s.rig.h.Run([&] { return TalkRig::Count(*s.rig.r1, cln::APP_AUDIO) >= 33; }));
  ASSERT_TRUE(s.rig.h.Settle());
  EXPECT_EQ(TalkRig::Count(*s.rig.r1, cln::APP_AUDIO), 33u);
  EXPECT_EQ(s.bMedia.played, std::vector<size_t>(40, 100));
}

TEST(TalkFlow, APeerThatNeverAcknowledgesGetsTwoFramesWhileOthersGetEverything) {
  SlowTalker s;
  int remote = 0;
  s.b->Events.OnRemoteFrame = [&](cln::TPeerHandle, cln::TBytes) { ++remote; };
  const win32::Bitmap frame = Picture(64, 48, 90);
  for (int i = 0; i < 5; ++i) {
    s.rig.a->Capture().OnFrame(frame);
    s.rig.a->TimerTick();
    ASSERT_TRUE(s.Drained(cln::APP_FRAME));
  }
  ASSERT_TRUE(s.rig.h.Run([&] { return remote == 5; }));
  ASSERT_TRUE(s.rig.h.Settle());
  EXPECT_EQ(TalkRig::Count(*s.rig.r1, cln::APP_FRAME), 2u);
  EXPECT_EQ(remote, 5);
}

TEST(TalkFlow, MuteRecordingLetsOnlyTheMarkerOutAndMutePlaybackDropsWhatArrives) {
  Trio t(2);
  ASSERT_TRUE(t.h[0]->BeginTalk(t.H(0, 1), true, false));
  ASSERT_TRUE(t.h.Run([&] { return t.h[0].Saw("began c1"); }));
  int waves = 0;
  t.h[0]->Events.OnWaveRecorded = [&](cln::TBytes) { ++waves; };
  cln::TRecorderEvents& rec = t.h[0]->Recorder().Events;
  const std::string voice = Str(200), marker(4, '\0'), pcm = Str(1024);
  auto send = [&](const std::string& p) { rec.OnPacket(cln::TBytes(reinterpret_cast<const uint8_t*>(p.data()), p.size())); };
  auto wave = [&] { rec.OnWave(cln::TBytes(reinterpret_cast<const uint8_t*>(pcm.data()), pcm.size())); };

  t.h[0]->SetMuteRecording(true);
  EXPECT_TRUE(t.h[0]->GetMuteRecording());
  send(voice);
  wave();
  send(marker);
  t.h[0]->SetMuteRecording(false);
  send(voice);
  wave();
  ASSERT_TRUE(t.h.Run([&] { return t.logs[1]->played.size() == 2; }));
  EXPECT_EQ(t.logs[1]->played, (std::vector<size_t>{4, 200}));
  EXPECT_EQ(waves, 1);

  t.h[1]->SetMutePlayback(true);
  EXPECT_TRUE(t.h[1]->GetMutePlayback());
  send(voice);
  const cln::TTubeId tube = t.h[0]->CheckPeer(t.H(0, 1))->Tube;
  ASSERT_TRUE(t.h.Run([&] { return t.h[0]->Mate().CountPendingAcks(tube, cln::APP_AUDIO) == 0; }));  // acknowledged
  EXPECT_EQ(t.logs[1]->played.size(), 2u);  // and dropped
}

TEST(TalkFlow, AKeyFrameComesWhen555msHavePassedSinceTheLast) {
  TalkRig rig({.manualClock = true}, /*loggingEncoder=*/true);
  rig.Reach(cln::tkTalking);
  const win32::Bitmap frame = Picture(64, 48, 10);
  auto send = [&](uint32_t afterMs) {
    rig.h.Clock().Advance(afterMs);
    rig.a->Capture().OnFrame(frame);
    rig.a->TimerTick();
    return rig.media.allowSkip.back();
  };
  EXPECT_FALSE(send(0));  // the first
  EXPECT_TRUE(send(554));
  EXPECT_FALSE(send(1));  // 555 after the first
  EXPECT_TRUE(send(300));
  EXPECT_TRUE(send(254));
  EXPECT_FALSE(send(1));
  EXPECT_EQ(rig.media.allowSkip.size(), 6u);
}

TEST(TalkFlow, FramesHandedOverWhileOneIsPendingAreDropped) {
  TalkRig rig;
  rig.Reach(cln::tkTalking);
  std::vector<size_t> local;
  rig.a->Events.OnLocalFrame = [&](cln::TBytes image) { local.push_back(image.size()); };
  rig.a->Capture().OnFrame(Picture(64, 48, 1));
  rig.a->Capture().OnFrame(Picture(32, 16, 2));  // pending: dropped
  rig.a->TimerTick();
  rig.a->TimerTick();  // nothing pending
  ASSERT_EQ(local, (std::vector<size_t>{kBmpHeaderBytes + 64 * 48 * 3}));
  ASSERT_TRUE(rig.h.Run([&] { return TalkRig::Count(*rig.r1, cln::APP_FRAME) == 1; }));
  // No talker: nothing is taken over.
  rig.a->EndTalk();
  rig.a->Capture().OnFrame(Picture(64, 48, 3));
  rig.a->TimerTick();
  EXPECT_EQ(local.size(), 1u);
}

// --- Faults --------------------------------------------------------------------------------------

// A talker's oversized audio fields and refused frames: talk_unit_test.cpp.

TEST(TalkFaults, FramesFromACalleeThatHasNotAnsweredAreNotShown) {
  TalkRig rig;
  rig.Reach(cln::tkTalking);
  ASSERT_TRUE(rig.a->BeginTalk(rig.p2, true, true));
  std::vector<cln::TPeerHandle> shown;
  rig.a->Events.OnRemoteFrame = [&](cln::TPeerHandle h, cln::TBytes) { shown.push_back(h); };
  CVienco encoder;
  win32::Bitmap picture = Picture(64, 48, 40);
  const auto coded = encoder.Encode(picture, false);
  const std::string frame = StrToField(std::string(reinterpret_cast<const char*>(coded.data()), coded.size()));
  rig.Say(*rig.r2, cln::APP_FRAME, frame);
  ASSERT_TRUE(rig.h.Settle());
  rig.Say(*rig.r1, cln::APP_FRAME, frame);
  ASSERT_TRUE(rig.h.Run([&] { return !shown.empty(); }));
  ASSERT_TRUE(rig.h.Settle());
  EXPECT_EQ(shown, std::vector<cln::TPeerHandle>{rig.p1});
}

TEST(TalkFaults, AFrameTheEncoderRefusesReopensTheHandOver) {
  TalkRig rig;  // the real encoder
  rig.Reach(cln::tkTalking);
  rig.a->Capture().OnFrame(Picture(4, 4, 1));  // too small to code
  rig.a->TimerTick();
  rig.a->Capture().OnFrame(Picture(64, 48, 1));
  rig.a->TimerTick();
  ASSERT_TRUE(rig.h.Run([&] { return TalkRig::Count(*rig.r1, cln::APP_FRAME) == 1; }));
  ASSERT_TRUE(rig.h.Settle());
  EXPECT_EQ(TalkRig::Count(*rig.r1, cln::APP_FRAME), 1u);
}

TEST(TalkFaults, DestroyingTheEngineStopsTheCaptureBeforeFreeingIt) {
  TalkRig rig;
  rig.Reach(cln::tkTalking);
  rig.media.lines.clear();
  rig.h.Clients().clear();
  const auto& l = rig.media.lines;
  const auto freed = std::find(l.begin(), l.end(), "capture freed");
  ASSERT_NE(freed, l.end());
  EXPECT_NE(std::find(l.begin(), freed, "capture stop"), freed);
  EXPECT_EQ(std::count_if(freed, l.end(), [](const std::string& s) { return s.rfind("capture", 0) == 0; }), 1);
}

// --- Devices and media settings --------------------------------------------------------------------

TEST(TalkSettings, DeviceOperationsReachTheirComponentsAndLeaveLastErrorAlone) {
  TalkRig rig;
  cln::TTWParleyCln& a = *rig.a;
  ASSERT_FALSE(a.BeginTalk(9999, true, true));
  EXPECT_EQ(a.GetCaptureDeviceCount(), 1);
  EXPECT_EQ(a.GetCaptureDeviceName(0), u"Fake camera");
  EXPECT_EQ(a.GetCaptureDeviceName(1), u"");
  a.FindCaptureCapabilities();
  EXPECT_TRUE(a.SelectCaptureDevice(0));
  EXPECT_FALSE(a.SelectCaptureDevice(-1));
  EXPECT_EQ(a.GetFormatCount(), 1);
  int32_t w = 0, hgt = 0;
  EXPECT_TRUE(a.GetFormatSize(0, w, hgt));
  EXPECT_EQ(w * 1000 + hgt, 64048);
  EXPECT_FALSE(a.GetFormatSize(1, w, hgt));
  EXPECT_TRUE(a.SelectCaptureFormat(0));
  EXPECT_EQ(rig.media.lines, (std::vector<std::string>{"enumerate", "device 0", "device -1", "format 0"}));
  EXPECT_EQ(a.GetRecordingDeviceCount(), 2);
  EXPECT_EQ(a.GetRecordingDeviceName(1), u"Fake microphone");
  a.SetRecordingDevice(1);
  EXPECT_EQ(a.GetRecordingDevice(), 1);
  EXPECT_EQ(a.GetPlaybackDeviceCount(), 3);
  EXPECT_EQ(a.GetPlaybackDeviceName(2), u"Fake speaker");
  a.SetNoiseLevel(-1);
  EXPECT_EQ(a.Recorder().GetThreshold(), -1);
  a.SetFrameQuality(0);
  a.SetFrameQuality(6);
  EXPECT_EQ(a.GetFrameQuality(), 3);
  EXPECT_EQ(a.GetLastError(), cln::errInvalidHandle);
  // A talker's player plays on the playback device chosen before its media started.
  a.SetPlaybackDevice(2);
  EXPECT_EQ(a.GetPlaybackDevice(), 2);
  rig.Reach(cln::tkTalking);
  EXPECT_EQ(rig.media.Count("player start 2"), 1u);
  EXPECT_FALSE(a.AudioActive() && !a.VideoActive());
}

}  // namespace
