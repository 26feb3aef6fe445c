// The talk unit alone on a fake host: who may join a talk and for how long
// (on the host's clock), the bound on a talk's size, what a talker's hostile
// audio and frames can do, and the reports of media that fail. The protocol
// among real engines and bare peers is in mTalks_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "client/mTalks.h"
#include "media_fakes.h"
#include "transport/twTools.h"
#include "unit_host_fake.h"
#include "video/mCBitmap.h"
#include "video/mVienco.h"
#include "platform/win32/text.h"

using namespace tw;
using namespace tw::test;
namespace cln = tw::cln;

namespace {

// A talk unit on a fake host with two connected peers "r1" and "r2"; the
// container's talk events go to `log` by the peer's name.
class TalkUnitRig {
 public:
  explicit TalkUnitRig(bool loggingEncoder = false) : host(media, loggingEncoder), unit(host) {
    p1 = host.AddPeer(u"r1").Handle;
    p2 = host.AddPeer(u"r2").Handle;
    cln::TParleyClnEvents& ev = host.events;
    ev.OnTalkInvited = [this](cln::TPeerHandle h, bool& okay, bool&, bool&) {
      log.push_back("invited " + Name(h));
      if (inInvite) inInvite(okay);
    };
    ev.OnTalkBegan = [this](cln::TPeerHandle h) { log.push_back("began " + Name(h)); };
    ev.OnTalkEnded = [this](cln::TPeerHandle h) { log.push_back("ended " + Name(h)); };
    ev.OnTalkJoined = [this](cln::TPeerHandle h) { log.push_back("joined " + Name(h)); };
    ev.OnTalkRefused = [this](cln::TPeerHandle h, int32_t code) {
      log.push_back("refused " + Name(h) + " " + std::to_string(code));
    };
    ev.OnError = [this](int32_t code) { log.push_back("error " + std::to_string(code)); };
  }

  std::string Name(cln::TPeerHandle h) { return win32::Utf16ToUtf8(host.Peer(h).Name); }
  bool Saw(const std::string& line) const { return std::find(log.begin(), log.end(), line) != log.end(); }
  uint8_t State(cln::TPeerHandle h) { return host.Peer(h).Talk.State; }

  // Peer `h` sends `channel` to the unit.
  void Say(cln::TPeerHandle h, int32_t channel, std::string body = {}) { unit.DoMessage(host.Peer(h), channel, body); }
  void SayCode(cln::TPeerHandle h, int32_t channel, int32_t code) { Say(h, channel, IntToField(code)); }

  // The unit calls r1 and r1 accepts.
  void TalkWithR1() {
    ASSERT_TRUE(unit.BeginTalk(host.Peer(p1), true, true));
    Say(p1, cln::APP_TALK_ACCEPT);
    ASSERT_EQ(State(p1), cln::tkTalking);
  }

  // Peer `h` invites the unit; `inside` runs in the container's handler.
  void InvitedBy(cln::TPeerHandle h, std::function<void(bool& okay)> inside) {
    inInvite = std::move(inside);
    Say(h, cln::APP_TALK_INVITE);
  }

  TMediaLog media;  // outlives the host whose fakes write into it
  TFakeUnitHost host;
  cln::TTalkUnit unit;
  cln::TPeerHandle p1 = 0, p2 = 0;
  std::vector<std::string> log;
  std::function<void(bool& okay)> inInvite;
};

void AcceptIt(bool& okay) { okay = true; }

// --- Who may join a talk -------------------------------------------------------------------------

// After the unit accepted r1's invitation, a peer it never called sends its
// accept: it joins only while the unit may still expect r1's other talkers,
// and only if it could be one of them (bonded with the unit before the
// acceptance, never told off for an accept of its own, not back after its
// talk with the unit ended).
enum class TBeforeAccept {
  kNothing,
  kInviterLeft,    // r1 ended its talk (and talks with the unit again, on the unit's call)
  kSpammed,        // r2 sent an accept before the invitation and was told the talk ended
  kBondedLate,     // the accept comes from r3, which bonded after the acceptance
  kJoinedAndLeft,  // r2 joined on an accept of its own and ended its talk
};

struct TJoinCase {
  const char* name;
  uint32_t afterMs;  // from the acceptance to the accept
  TBeforeAccept before;
  bool joins;
};

void PrintTo(const TJoinCase& c, std::ostream* os) { *os << c.name; }

const TJoinCase kJoinCases[] = {
    {"RightAfterAccepting", 0, TBeforeAccept::kNothing, true},
    {"AtTheWindowsLastMillisecond", cln::TTalkUnit::kJoinWindowMs - 1, TBeforeAccept::kNothing, true},
    {"OnceTheWindowIsOver", cln::TTalkUnit::kJoinWindowMs, TBeforeAccept::kNothing, false},
    {"AfterTheInviterLeft", 0, TBeforeAccept::kInviterLeft, false},
    {"FromAPeerToldOffForAnEarlierAccept", 0, TBeforeAccept::kSpammed, false},
    {"FromAPeerThatBondedAfterTheAcceptance", 0, TBeforeAccept::kBondedLate, false},
    {"FromAJoinerBackAfterItsTalkEnded", 1, TBeforeAccept::kJoinedAndLeft, false},
};

class TalkJoining : public ::testing::TestWithParam<TJoinCase> {};

TEST_P(TalkJoining, AnAcceptFromAPeerNotCalledStartsATalkOnlyWhileJoinersAreExpected) {
  const TJoinCase& c = GetParam();
  TalkUnitRig rig;
  if (c.before == TBeforeAccept::kSpammed) {
    rig.Say(rig.p2, cln::APP_TALK_ACCEPT);
    ASSERT_EQ(rig.host.Heard(rig.p2), (std::vector<std::string>{"103"}));
  }
  rig.InvitedBy(rig.p1, AcceptIt);
  ASSERT_EQ(rig.State(rig.p1), cln::tkTalking);
  rig.host.now += c.afterMs;
  cln::TPeerHandle joiner = rig.p2;
  switch (c.before) {
    case TBeforeAccept::kInviterLeft:
      rig.Say(rig.p1, cln::APP_TALK_END);
      ASSERT_EQ(rig.unit.TalkCount(), 0);
      rig.TalkWithR1();
      break;
    case TBeforeAccept::kBondedLate: joiner = rig.host.AddPeer(u"r3").Handle; break;
    case TBeforeAccept::kJoinedAndLeft:
      rig.Say(rig.p2, cln::APP_TALK_ACCEPT);
      ASSERT_EQ(rig.State(rig.p2), cln::tkTalking);
      rig.Say(rig.p2, cln::APP_TALK_END);
      ASSERT_EQ(rig.State(rig.p2), cln::tkIdle);
      break;
    default: break;
  }
  const size_t heard = rig.host.sent.size();
  const size_t events = rig.log.size();
  rig.Say(joiner, cln::APP_TALK_ACCEPT);
  // What the unit sends now reaches the peer only if it joined.
  const std::string voice = Str(100);
  rig.unit.DoAudioEncoded(Bytes(voice));
  rig.unit.DoCaptureFrame(Picture(64, 48, 7));
  rig.unit.SendPendingFrame();
  ASSERT_EQ(rig.host.Count(rig.p1, cln::APP_FRAME), 1u);
  const std::vector<std::string> began{"began " + rig.Name(joiner)};
  const std::vector<std::string> seen(rig.log.begin() + static_cast<std::ptrdiff_t>(events), rig.log.end());
  if (c.joins) {
    EXPECT_EQ(seen, began);
    EXPECT_EQ(rig.State(joiner), cln::tkTalking);
    EXPECT_EQ(rig.host.Count(joiner, cln::APP_AUDIO), 1u);
    EXPECT_EQ(rig.host.Count(joiner, cln::APP_FRAME), 1u);
  } else {
    EXPECT_EQ(rig.host.Heard(joiner, heard), (std::vector<std::string>{"103"}));
    EXPECT_EQ(seen, std::vector<std::string>{});
    EXPECT_EQ(rig.State(joiner), cln::tkIdle);
    EXPECT_EQ(rig.media.decoders, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(Talks, TalkJoining, ::testing::ValuesIn(kJoinCases),
                         [](const auto& c) { return std::string(c.param.name); });

// A crowd that answers the unit's acceptance: the talk stops growing at its
// bound, and nobody can add to it afterwards.
TEST(TalkJoiningBound, NoPathMakesATalkLargerThanItsBound) {
  TalkUnitRig rig;
  const auto bound = static_cast<int32_t>(cln::TTalkUnit::kMaxTalkers);
  std::vector<cln::TPeerHandle> crowd;
  for (int32_t i = 0; i < bound; ++i)
    crowd.push_back(rig.host.AddPeer(u"s" + win32::Utf8ToUtf16(std::to_string(i))).Handle);
  rig.InvitedBy(rig.p1, AcceptIt);
  for (int32_t i = 0; i < bound - 2; ++i) rig.Say(crowd[static_cast<size_t>(i)], cln::APP_TALK_ACCEPT);
  ASSERT_EQ(rig.unit.TalkCount(), bound - 1);

  // The container accepts an invitation, but the talk filled up while it
  // was being asked: the inviter is told the unit is busy.
  rig.inInvite = [&](bool& okay) {
    rig.Say(crowd[crowd.size() - 2], cln::APP_TALK_ACCEPT);
    EXPECT_EQ(rig.unit.TalkCount(), bound);
    okay = true;
  };
  rig.Say(rig.p2, cln::APP_TALK_INVITE);
  EXPECT_EQ(rig.host.Heard(rig.p2), (std::vector<std::string>{"102 30"}));
  EXPECT_TRUE(rig.Saw("error 30"));

  // Neither a late accept (told the talk ended), nor an invitation (answered
  // busy without asking the container), nor a join, nor a call of its own
  // adds a talker.
  const size_t events = rig.log.size();
  rig.Say(crowd.back(), cln::APP_TALK_ACCEPT);
  rig.Say(rig.p2, cln::APP_TALK_INVITE);
  rig.SayCode(rig.p1, cln::APP_TALK_JOIN, rig.host.HubId(rig.host.Peer(rig.p2)));
  EXPECT_FALSE(rig.unit.BeginTalk(rig.host.Peer(rig.p2), true, true));
  EXPECT_EQ(rig.host.lastError, cln::errBusy);
  EXPECT_EQ(rig.host.Heard(crowd.back()), (std::vector<std::string>{"103"}));
  EXPECT_EQ(rig.host.Heard(rig.p2), (std::vector<std::string>{"102 30", "102 30"}));
  EXPECT_EQ(std::vector<std::string>(rig.log.begin() + static_cast<std::ptrdiff_t>(events), rig.log.end()),
            std::vector<std::string>{});
  EXPECT_EQ(rig.unit.TalkCount(), bound);
  EXPECT_EQ(rig.media.players, 1 + bound);
}

// A join naming no peer the hub knows, a peer whose link is gone, or coming
// from a peer that is no talker, joins nobody.
TEST(TalkJoiningBound, AJoinNamingNoLivePeerJoinsNobody) {
  TalkUnitRig rig;
  rig.TalkWithR1();
  const int32_t r2 = rig.host.HubId(rig.host.Peer(rig.p2));
  rig.SayCode(rig.p2, cln::APP_TALK_JOIN, r2);  // r2 is no talker
  rig.SayCode(rig.p1, cln::APP_TALK_JOIN, 0);
  rig.SayCode(rig.p1, cln::APP_TALK_JOIN, -1);
  rig.SayCode(rig.p1, cln::APP_TALK_JOIN, 100 + 77);
  rig.Say(rig.p1, cln::APP_TALK_JOIN);  // no field at all
  rig.host.Peer(rig.p2).LinkState = cln::lsDisconnected;
  rig.SayCode(rig.p1, cln::APP_TALK_JOIN, r2);
  EXPECT_EQ(rig.unit.TalkCount(), 1);
  EXPECT_EQ(rig.State(rig.p2), cln::tkIdle);
  EXPECT_EQ(rig.media.decoders, 1);
  EXPECT_FALSE(rig.Saw("joined r2"));
}

// --- A talker's hostile audio and frames ----------------------------------------------------------

TEST(TalkFaults, AudioFieldsLongerThanAVoicePacketAreDroppedBeforeThePlayer) {
  TalkUnitRig rig;
  rig.TalkWithR1();
  std::string body;
  for (size_t size : {100u, 1045u, 1044u, 70000u, 4u, 2u, 100u}) PutStrField(body, Str(size));
  rig.Say(rig.p1, cln::APP_AUDIO, body);
  // A field too short for a packet ends the message.
  EXPECT_EQ(rig.media.played, (std::vector<size_t>{100, 1044, 4}));
}

// Refused frames are dropped and reported once a talk: a talker's frames
// cannot fill the error log.
TEST(TalkFaults, ARefusedFrameIsDroppedAndTheNextOneStillDecodes) {
  TalkUnitRig rig;
  rig.TalkWithR1();
  std::vector<std::string> remote;
  rig.host.events.OnRemoteFrame = [&](cln::TPeerHandle, cln::TBytes image) {
    remote.emplace_back(reinterpret_cast<const char*>(image.data()), image.size());
  };
  CVienco encoder;
  win32::Bitmap picture = Picture(64, 48, 200);
  const auto good = encoder.Encode(picture, false);
  const std::string frame(reinterpret_cast<const char*>(good.data()), good.size());
  std::string truncated = frame.substr(0, frame.size() / 2);
  for (const std::string& f : {Str(16, '\xff'), truncated, frame}) rig.Say(rig.p1, cln::APP_FRAME, StrToField(f));
  ASSERT_EQ(remote.size(), 1u);
  EXPECT_EQ(remote[0].size(), kBmpHeaderBytes + 64 * 48 * 4);
  EXPECT_EQ(rig.host.Count(rig.p1, cln::APP_FRAME_DONE), 3u);
  ASSERT_EQ(rig.host.reports.size(), 1u);
  EXPECT_EQ(rig.host.reports[0].rfind("TTalkUnit.DoFrame: ", 0), 0u) << rig.host.reports[0];
  // The next talk with the peer reports again.
  rig.Say(rig.p1, cln::APP_TALK_END);
  rig.TalkWithR1();
  rig.Say(rig.p1, cln::APP_FRAME, StrToField(Str(16, '\xff')));
  EXPECT_EQ(rig.host.reports.size(), 2u);
}

// --- Media that fail ------------------------------------------------------------------------------

// Each part that fails to start fails the call with 50, frees what started,
// and says in the report which part it was.
TEST(TalkReports, ABeginTalkWhoseMediaFailLeavesALineInTheReport) {
  struct TCase {
    bool TMediaLog::*fail;
    const char* line;
  };
  for (const TCase& c : {TCase{&TMediaLog::failPlayer, "TTalkUnit.BeginTalk: the player did not start"},
                         TCase{&TMediaLog::failRecorder, "TTalkUnit.BeginTalk: the recorder did not start"},
                         TCase{&TMediaLog::failCapture, "TTalkUnit.BeginTalk: the capture did not start"}}) {
    TalkUnitRig rig;
    rig.media.*c.fail = true;
    EXPECT_FALSE(rig.unit.BeginTalk(rig.host.Peer(rig.p1), true, true));
    EXPECT_EQ(rig.host.lastError, cln::errMediaFailed);
    EXPECT_EQ(rig.host.reports, std::vector<std::string>{c.line});
    EXPECT_EQ(rig.unit.Callee(), 0);
    EXPECT_EQ(rig.State(rig.p1), cln::tkIdle);
    EXPECT_EQ(rig.media.players, 1);
    EXPECT_FALSE(rig.media.recording);
    EXPECT_FALSE(rig.media.capturing);
    EXPECT_TRUE(rig.host.sent.empty());
  }
}

// An accepted invitation whose media fail is refused with 50, and reported.
TEST(TalkReports, AnAcceptedInvitationWhoseMediaFailIsReported) {
  TalkUnitRig rig;
  rig.media.failCapture = true;
  rig.InvitedBy(rig.p1, AcceptIt);
  EXPECT_EQ(rig.host.lastError, cln::errMediaFailed);
  EXPECT_EQ(rig.host.Heard(rig.p1), (std::vector<std::string>{"102 50"}));
  EXPECT_EQ(rig.host.reports, std::vector<std::string>{"TTalkUnit.AcceptTalk: the capture did not start"});
}

// A run of frames the encoder refuses is reported once; after a frame that
// codes, the next refusal is reported again.
TEST(TalkReports, FramesTheEncoderRefusesAreReportedOnceARun) {
  TalkUnitRig rig(true);
  rig.TalkWithR1();
  auto tick = [&] {
    rig.unit.DoCaptureFrame(Picture(64, 48, 1));
    rig.unit.SendPendingFrame();
  };
  rig.media.failEncoder = true;
  tick();
  tick();
  EXPECT_EQ(rig.host.reports, std::vector<std::string>{"TTalkUnit.SendPendingFrame: Too small image!"});
  rig.media.failEncoder = false;
  tick();
  EXPECT_EQ(rig.host.Count(rig.p1, cln::APP_FRAME), 1u);
  rig.media.failEncoder = true;
  tick();
  EXPECT_EQ(rig.host.reports.size(), 2u);
}

}  // namespace
